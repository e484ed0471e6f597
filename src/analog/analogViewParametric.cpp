// Parametric mode of the 2D view: the first two visible channels against
// each other, with the centre-of-pressure confidence ellipse.
#include "analog/analogDevice.h"
#include "analog/analogView.h"
#include "analog/analogViewDraw.h"
#include "analog/analogViewLayout.h"
#include "dsp/cpStat.h"

#include <wx/dcgraph.h>
#include <wx/graphics.h>
#include <wx/intl.h>

#include <cmath>

namespace {

wxString AxisLabel(CAnalogDevice& device, int channel)
{
    const wxString unit = device.GetChannelUnit(channel);
    wxString label = device.GetChannelName(channel);
    if (!unit.empty())
        label += " (" + unit + ")";
    return label;
}

}  // namespace

void CAnalogView::DrawTrail(wxGraphicsContext& gc, const ParametricLayout& p,
                            const ParametricScale& scale, std::uint64_t frames,
                            const wxColour& colour)
{
    const double* xs = m_snapshot.Channel(0);
    const double* ys = frames ? m_snapshot.Channel(1) : nullptr;
    const std::uint64_t stored = m_snapshot.storedRows;
    const std::uint64_t firstRow = stored >= frames ? stored - frames : 0;
    TrailLayer& t = m_trail;
    const std::uint32_t packed = (static_cast<std::uint32_t>(colour.Red()) << 16) |
                                 (static_cast<std::uint32_t>(colour.Green()) << 8) |
                                 colour.Blue();
    // The kept layer goes on while it was drawn for the same square, scale,
    // pen and history, and holds every row still here. Rows that left the
    // history stay drawn until they are more than a 32nd of it: then the
    // layer is drawn afresh.
    const bool same = t.valid && t.history == m_snapshot.history && t.left == p.left &&
                      t.top == p.top && t.right == p.right && t.bottom == p.bottom &&
                      t.lo == scale.lo && t.hi == scale.hi && t.scale == scale.scale &&
                      t.mid == scale.mid && t.component == m_component &&
                      t.lineWidth == m_lineWidth && t.colour == packed && t.hasLast;
    const bool keep = same && t.firstRow <= firstRow && firstRow <= t.endRow &&
                      t.endRow <= stored && firstRow - t.firstRow <= frames / 32;
    std::vector<double>& layerXy = m_layerXy;
    layerXy.clear();
    if (keep) {
        // The new rows, joined to the last point stroked; points on the pixel
        // of the one before are dropped as a full drawing drops them.
        wxPoint2DDouble previous = t.last;
        layerXy.push_back(previous.m_x - p.left);
        layerXy.push_back(previous.m_y - p.top);
        for (std::uint64_t i = t.endRow - firstRow; i < frames; ++i) {
            if (!std::isfinite(xs[i]) || !std::isfinite(ys[i]))
                continue;
            const wxPoint2DDouble point(scale.ScreenX(p, xs[i]), scale.ScreenY(p, ys[i]));
            if (std::floor(previous.m_x) == std::floor(point.m_x) &&
                std::floor(previous.m_y) == std::floor(point.m_y))
                continue;
            layerXy.push_back(point.m_x - p.left);
            layerXy.push_back(point.m_y - p.top);
            previous = point;
        }
        if (layerXy.size() > 2)
            m_trailRaster.DrawPolyline(layerXy.data(), layerXy.size() / 2, colour.Red(),
                                       colour.Green(), colour.Blue(), m_lineWidth);
        t.last = previous;
        t.endRow = stored;
    } else {
        std::vector<wxPoint2DDouble>& points = m_points;
        points.clear();
        points.reserve(static_cast<size_t>(frames));
        for (std::uint64_t i = 0; i < frames; ++i) {
            if (!std::isfinite(xs[i]) || !std::isfinite(ys[i]))
                continue;  // a point that is not a number is skipped
            points.emplace_back(scale.ScreenX(p, xs[i]), scale.ScreenY(p, ys[i]));
        }
        t.valid = false;
        if (points.size() <= 2)
            return;
        // The trail goes through an off-screen layer the size of the square.
        std::vector<wxPoint2DDouble>& drawn = m_drawn;
        DecimateTrail(points, drawn);
        layerXy.reserve(drawn.size() * 2);
        for (const wxPoint2DDouble& point : drawn) {
            layerXy.push_back(point.m_x - p.left);
            layerXy.push_back(point.m_y - p.top);
        }
        m_trailRaster.Reset(p.right - p.left, p.bottom - p.top);
        m_trailRaster.DrawPolyline(layerXy.data(), drawn.size(), colour.Red(), colour.Green(),
                                   colour.Blue(), m_lineWidth);
        t.valid = true;
        t.history = m_snapshot.history;
        t.firstRow = firstRow;
        t.endRow = stored;
        t.left = p.left;
        t.top = p.top;
        t.right = p.right;
        t.bottom = p.bottom;
        t.lo = scale.lo;
        t.hi = scale.hi;
        t.scale = scale.scale;
        t.mid = scale.mid;
        t.component = m_component;
        t.lineWidth = m_lineWidth;
        t.colour = packed;
        t.hasLast = !drawn.empty();
        if (t.hasLast)
            t.last = drawn.back();
    }
    DrawRaster(gc, m_trailRaster, m_trailBitmap, p.left, p.top);
}

void CAnalogView::DrawParametric(wxDC& dc, const std::vector<int>& list)
{
    CAnalogDevice* device = m_device.load();
    wxGraphicsContext* gc = dc.GetGraphicsContext();
    if (!device || !gc || list.size() < 2)
        return;
    const wxSize size = GetClientSize();
    const int w = size.GetWidth();
    const int h = size.GetHeight();
    const ParametricLayout p = ComputeParametricLayout(w, h);
    if (!p.drawable)
        return;  // smaller than the margins
    const wxPen framePen(ToWxColour(frame_color), 3);
    dc.SetPen(framePen);
    dc.DrawRectangle(p.left, p.top, p.right - p.left, p.bottom - p.top);
    const wxString xLabel = AxisLabel(*device, list[0]);
    const wxString yLabel = AxisLabel(*device, list[1]);
    dc.SetTextForeground(ToWxColour(grid_color));
    wxCoord tw = 0, th = 0;
    const wxString title = GetTitle();
    if (!title.empty()) {
        const wxString text = title + " " + xLabel + " , " + yLabel;
        m_text.Extent(dc, text, tw, th);
        m_text.Draw(dc, text, p.cx - tw / 2, p.top - 3 * th);
    }
    dc.SetPen(wxPen(ToWxColour(grid_color), 1));

    std::lock_guard<std::mutex> lock(m_mutex);
    m_data.TakeSnapshot(m_snapshot, m_component, 2, false);
    const ParametricScale scale =
        ComputeParametricScale(p, device->GetMinValue(), device->GetMaxValue(),
                               m_snapshot.minValue, m_snapshot.maxValue);
    const double r = scale.hi - scale.lo;
    if (grad_y >= 2) {
        for (int i = 1; i < grad_y; ++i) {
            const int y = RoundHalfUp(static_cast<double>(i) * p.d / grad_y) + p.top;
            dc.DrawLine(p.left - 1, y, p.right + 1, y);
            const wxString text = FormatValue(scale.hi - i * r / grad_y);
            m_text.Extent(dc, text, tw, th);
            m_text.Draw(dc, text, p.left - 2 * tw, y - th / 2);
        }
    }
    if (grad_x >= 2) {
        for (int i = 1; i < grad_x; ++i) {
            const int x = RoundHalfUp(static_cast<double>(p.d) / grad_x * i) + p.left;
            dc.DrawLine(x, p.top - 1, x, p.bottom + 1);
            const wxString text = FormatValue(scale.lo + i * r / grad_x);
            m_text.Extent(dc, text, tw, th);
            m_text.Draw(dc, text, x - tw / 2, static_cast<int>(p.bottom + 1.25 * th));
        }
    }
    DrawRecentMarkers(dc, 10, 10, false);

    const wxColour trailColour = ToWxColour(analog_color);
    bool hasNewest = false;
    double newestX = 0.0, newestY = 0.0;
    int px = 0, py = 0;
    {
        wxDCClipper clip(dc, p.left, p.top, p.right - p.left, p.bottom - p.top);
        const std::uint64_t frames = m_snapshot.channels >= 2 ? m_snapshot.frames : 0;
        const double* xs = m_snapshot.Channel(0);
        const double* ys = frames ? m_snapshot.Channel(1) : nullptr;
        for (std::uint64_t i = frames; i-- > 0;) {
            if (!std::isfinite(xs[i]) || !std::isfinite(ys[i]))
                continue;  // a point that is not a number is skipped
            newestX = xs[i];
            newestY = ys[i];
            hasNewest = true;
            break;
        }
        DrawTrail(*gc, p, scale, frames, trailColour);
        if (hasNewest) {
            px = scale.ScreenX(p, newestX);
            py = scale.ScreenY(p, newestY);
            dc.SetPen(wxPen(trailColour, m_lineWidth));
            dc.SetBrush(wxBrush(trailColour));
            dc.DrawEllipse(px - 5, py - 5, 10, 10);
        }
        const CCPStat::Results cp = m_data.CPStat().GetResults();
        if (device->GetShowCPStat() && cp.count > 1 && cp.a > 0 && cp.b > 0) {
            const int ex = RoundHalfUp(p.cx + scale.scale * (cp.meanX - scale.mid));
            const int ey = RoundHalfUp(p.cy + scale.scale * (cp.meanY - scale.mid));
            double width = 0.0, height = 0.0;
            EllipseExtent(scale.scale, cp.a, cp.b, width, height);
            dc.SetPen(wxPen(ToWxColour(frame_color), 2));
            dc.SetBrush(wxBrush(ToWxColour(ellipse_color)));
            DrawRotatedEllipse(dc, ex, p.sy - ey, width, height, -std::atan(cp.slope));
        }
    }
    dc.SetFont(wxFont(11, wxFONTFAMILY_DEFAULT, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_NORMAL));
    dc.SetTextForeground(trailColour);
    dc.SetPen(wxPen(ToWxColour(zero_color), 1, wxPENSTYLE_DOT));
    if (hasNewest) {
        if (p.left <= px && px <= p.right) {
            dc.DrawLine(px, p.top, px, p.bottom);
            const wxString text = wxString::Format("%.1f", newestX);
            m_text.Extent(dc, text, tw, th);
            m_text.Draw(dc, text, px - tw / 2, static_cast<int>(p.bottom + 1.25 * th));
            m_text.Draw(dc, text, px - tw / 2, static_cast<int>(p.top - 1.25 * th));
        }
        if (p.top <= py && py <= p.bottom) {
            dc.DrawLine(p.right, py, p.left, py);
            const wxString text = wxString::Format("%.1f", newestY);
            m_text.Extent(dc, text, tw, th);
            m_text.Draw(dc, text, p.left - 2 * tw, py - th / 2);
            m_text.Draw(dc, text, p.right + th / 2, py - th / 2);
        }
    }
    const CCPStat::Results cp = m_data.CPStat().GetResults();
    if (device->GetShowCPStat() && cp.count > 1) {
        const wxString unit = device->GetChannelUnit(device->GetCPXChannel());
        const double seconds = cp.count / m_rate;
        const wxString lines[4] = {
            wxString::Format(_("CP Stat time %.1f (s)"), seconds),
            wxString::Format(_("CP Length  %.1f %s"), cp.pathLength, unit),
            wxString::Format(_("CP Surface %.1f %s^2"), cp.area, unit),
            wxString::Format(_("CP Mean Velocity %.1f %s/s"), cp.pathLength / seconds, unit),
        };
        m_text.Extent(dc, lines[0], tw, th);
        const int lineHeight = th + 5;
        int x = 0, y = 0;
        if (h > w) {
            x = lineHeight;
            y = p.bottom + 2 * lineHeight;
        } else {
            x = p.right + 2 * th;
            y = p.bottom - 10 * th;
        }
        for (const wxString& line : lines) {
            m_text.Draw(dc, line, x, y);
            y += lineHeight;
        }
    }
}
