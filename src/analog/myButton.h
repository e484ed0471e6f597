#pragma once

#include <wx/button.h>
#include <wx/colour.h>

class wxDC;
class wxEraseEvent;
class wxPaintEvent;

// Owner-drawn bitmap button: its picture over a fill colour, or over nothing
// (transparent, the picture drawn with its mask). The 2D view uses six as its
// battery icons; they are child windows owned by the view. GUI thread.
class MyButton : public wxButton {
public:
    MyButton(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size, long style,
             bool transparent);

    // Draws the picture on dc (also used by tests on a memory context).
    void DoPaint(wxDC& dc);

    wxColour m_colour{0, 0, 0};
    bool m_transparent = false;

private:
    void OnEraseBackground(wxEraseEvent& event);
    void OnPaint(wxPaintEvent& event);

    wxDECLARE_EVENT_TABLE();
};
