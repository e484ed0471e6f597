#pragma once

#include <wx/event.h>

class wxAuiNotebook;
class wxWindow;

// Sits on top of a window's handler chain (above its dock manager) and swallows a
// paint whose whole region lies under children or notebook pages that paint every
// pixel themselves (their background style is wxBG_STYLE_PAINT). On this toolkit a child's repaint also sends
// its ancestors a paint clipped to the child's rectangle; the dock manager would then
// redraw every caption, border and sash, none of which shows there.
class CoveredPaintFilter : public wxEvtHandler {
public:
    // `host` must outlive the filter's place in its chain; `pages` (may be null) gives
    // covering windows besides the host's own children.
    CoveredPaintFilter(wxWindow* host, wxAuiNotebook* pages);
    ~CoveredPaintFilter() override;
    CoveredPaintFilter(const CoveredPaintFilter&) = delete;
    CoveredPaintFilter& operator=(const CoveredPaintFilter&) = delete;

    // Takes the filter out of the host's chain; called before the host goes.
    void Detach();

    // True when every part of the host's region `update` (client coordinates) lies
    // under a shown child or page that paints itself whole.
    bool IsCovered(const wxRegion& update) const;

private:
    void OnPaint(wxPaintEvent& event);

    wxWindow* m_host;
    wxAuiNotebook* m_pages;
};
