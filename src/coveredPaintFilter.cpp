#include "coveredPaintFilter.h"

#include <wx/aui/auibook.h>
#include <wx/region.h>
#include <wx/window.h>

#if defined(__WXGTK3__) && defined(QV_HAVE_CAIRO)
#include <cairo.h>
#endif

#include <cmath>

namespace {

// The exact region this paint draws. The toolkit's update region is only the bounding
// box of what was invalidated (two split views, or a view and a tool, and the decorated
// gap between them); the paint context is clipped to the exact rectangles.
wxRegion PaintedRegion(wxWindow* host)
{
#if defined(__WXGTK3__) && defined(QV_HAVE_CAIRO)
    if (cairo_t* cr = host->GTKPaintContext()) {
        cairo_rectangle_list_t* list = cairo_copy_clip_rectangle_list(cr);
        wxRegion region;
        const bool exact = list && list->status == CAIRO_STATUS_SUCCESS;
        if (exact) {
            for (int i = 0; i < list->num_rectangles; ++i) {
                const cairo_rectangle_t& r = list->rectangles[i];
                const int x = static_cast<int>(std::floor(r.x));
                const int y = static_cast<int>(std::floor(r.y));
                const int right = static_cast<int>(std::ceil(r.x + r.width));
                const int bottom = static_cast<int>(std::ceil(r.y + r.height));
                if (right > x && bottom > y) region.Union(x, y, right - x, bottom - y);
            }
        }
        if (list) cairo_rectangle_list_destroy(list);
        if (exact) return region;
    }
#endif
    return host->GetUpdateRegion();
}

// The window's rectangle in the client coordinates of `host`, one of its ancestors
// (empty when it is not). Summed from the positions the toolkit keeps: asking for
// screen positions would wait for the display server on every paint.
wxRect RectInHost(const wxWindow* window, const wxWindow* host)
{
    wxPoint origin;
    const wxWindow* w = window;
    for (; w && w != host; w = w->GetParent()) {
        if (w->IsTopLevel()) return wxRect();
        origin += w->GetPosition();
        const wxWindow* parent = w->GetParent();
        if (parent && parent != host) origin += parent->GetClientAreaOrigin();
    }
    return w ? wxRect(origin, window->GetSize()) : wxRect();
}

}  // namespace

CoveredPaintFilter::CoveredPaintFilter(wxWindow* host, wxAuiNotebook* pages)
    : m_host(host), m_pages(pages)
{
    Bind(wxEVT_PAINT, &CoveredPaintFilter::OnPaint, this);
    m_host->PushEventHandler(this);
}

CoveredPaintFilter::~CoveredPaintFilter() { Detach(); }

void CoveredPaintFilter::Detach()
{
    if (!m_host) return;
    m_host->RemoveEventHandler(this);
    m_host = nullptr;
}

bool CoveredPaintFilter::IsCovered(const wxRegion& update) const
{
    if (!m_host || update.IsEmpty()) return false;
    wxRegion rest(update);
    const auto subtract = [this, &rest](const wxWindow* cover) {
        if (!cover || cover->GetBackgroundStyle() != wxBG_STYLE_PAINT || !cover->IsShownOnScreen())
            return;
        const wxRect rect = RectInHost(cover, m_host);
        if (!rect.IsEmpty()) rest.Subtract(rect);
    };
    for (const wxWindow* child : m_host->GetChildren()) {
        if (rest.IsEmpty()) break;
        subtract(child);
    }
    const size_t count = m_pages ? m_pages->GetPageCount() : 0;
    for (size_t i = 0; i < count && !rest.IsEmpty(); ++i) subtract(m_pages->GetPage(i));
    return rest.IsEmpty();
}

void CoveredPaintFilter::OnPaint(wxPaintEvent& event)
{
    if (!m_host || event.GetEventObject() != m_host || !IsCovered(PaintedRegion(m_host))) {
        event.Skip();
        return;
    }
    // Swallowed without a paint context: on this toolkit the region needs no
    // validation, and making one would ask the theme for the host's colours and font.
}
