#include "analog/myButton.h"

#include <wx/dcbuffer.h>
#include <wx/dcclient.h>

wxBEGIN_EVENT_TABLE(MyButton, wxButton)
    EVT_ERASE_BACKGROUND(MyButton::OnEraseBackground)
    EVT_PAINT(MyButton::OnPaint)
wxEND_EVENT_TABLE()

MyButton::MyButton(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size,
                   long style, bool transparent)
    : wxButton(parent, id, wxEmptyString, pos, size, style, wxDefaultValidator,
               wxButtonNameStr),
      m_transparent(transparent)
{
}

void MyButton::OnEraseBackground(wxEraseEvent&)
{
    // Never erased: the picture covers the button, so it does not flicker.
}

void MyButton::OnPaint(wxPaintEvent&)
{
    if (IsDoubleBuffered()) {
        wxPaintDC dc(this);
        DoPaint(dc);
    } else {
        wxBufferedPaintDC dc(this, wxBUFFER_CLIENT_AREA);
        DoPaint(dc);
    }
}

void MyButton::DoPaint(wxDC& dc)
{
    const wxSize size = GetClientSize();
    if (!m_transparent) {
        dc.SetBrush(wxBrush(m_colour));
        dc.SetPen(*wxTRANSPARENT_PEN);
        dc.DrawRectangle(0, 0, size.GetWidth(), size.GetHeight());
    }
    const wxBitmap bitmap = GetBitmapLabel();
    if (bitmap.IsOk())
        dc.DrawBitmap(bitmap, 0, 0, m_transparent);
}
