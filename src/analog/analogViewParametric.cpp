// Parametric mode of the 2D view: the first two visible channels against
// each other, with the centre-of-pressure confidence ellipse.
#include "analog/analogDevice.h"
#include "analog/analogView.h"
#include "analog/analogViewDraw.h"
#include "analog/analogViewFormat.h"
#include "analog/analogViewLayout.h"
#include "analog/analogViewPlacement.h"
#include "dsp/cpStat.h"

#include <wx/dcgraph.h>
#include <wx/graphics.h>
#include <wx/intl.h>

#include <algorithm>
#include <cmath>

namespace {

// The device channel whose values feed the statistics' x (or y): the
// device's own centre-of-pressure channel, else the channel at that position
// of the row.
int CPChannel(CAnalogDevice& device, const std::vector<int>& list, bool x)
{
    int channel = x ? device.GetCPXChannel() : device.GetCPYChannel();
    if (channel < 0) {
        const int index = x ? device.GetCPXIndex() : device.GetCPYIndex();
        if (index >= 0 && index < static_cast<int>(list.size()))
            channel = list[static_cast<size_t>(index)];
    }
    return channel;
}

wxString CPChannelName(CAnalogDevice& device, int channel)
{
    const wxString name = channel >= 0 ? device.GetChannelName(channel) : wxString();
    return name.empty() ? wxString("?") : name;
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
    std::lock_guard<std::mutex> lock(m_mutex);
    m_data.TakeSnapshot(m_snapshot, m_component, 2, false);
    const ValueRange range = ChooseValueRange(device->GetMinValue(), device->GetMaxValue(),
                                              m_snapshot.minValue, m_snapshot.maxValue);
    const double hi = range.top;
    const double r = range.range;
    const double lo = hi - r;

    // The newest point of the trail.
    const std::uint64_t frames = m_snapshot.channels >= 2 ? m_snapshot.frames : 0;
    bool hasNewest = false;
    double newestX = 0.0, newestY = 0.0;
    {
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
    }
    // Texts measured before the square is laid out: the margins give them room.
    wxCoord tw = 0, th = 0;
    const double widest = std::max(std::fabs(hi), std::fabs(lo));
    const AxisLines yLines = ChooseAxisLines(hi, -r / SafeDivisions(grad_y), SafeDivisions(grad_y));
    const AxisLines xLines = ChooseAxisLines(lo, r / SafeDivisions(grad_x), SafeDivisions(grad_x));
    const AxisFormat& yFormat = yLines.format;
    const AxisFormat& xFormat = xLines.format;
    int labelWidth = 0;  // value labels left of the square
    for (int i = 1; i < grad_y; ++i) {
        m_text.Extent(dc, FormatAxisValue(hi - i * r / grad_y, yFormat), tw, th);
        labelWidth = std::max(labelWidth, tw);
    }
    const wxFont viewFont = m_text.GetFont();
    m_text.SetFont(m_crossFont);
    // The cross-hair's value labels, to the digits that tell values a grid
    // line apart: as wide as a value at the range's end or one in the
    // exponent form.
    const double xStep = r / SafeDivisions(grad_x);
    const double yStep = r / SafeDivisions(grad_y);
    int crossWidth = 0, crossHeight = 0;
    m_text.Extent(dc, FormatPlotValue(-widest, std::min(xStep, yStep), 1, 2), crossWidth,
                  crossHeight);
    m_text.Extent(dc, "-0.0e-00", tw, th);
    crossWidth = std::max(crossWidth, tw);
    const CCPStat::Results cp = m_data.CPStat().GetResults();
    const bool showStat = device->GetShowCPStat() && cp.count > 1;
    wxString lines[5];
    size_t numberAt[5] = {wxString::npos, wxString::npos, wxString::npos, wxString::npos,
                          wxString::npos};
    int statWidth = 0;
    if (showStat) {
        // The statistics come from the device's centre-of-pressure channels,
        // which need not be the two the trail shows: their names come first.
        const int cpX = CPChannel(*device, list, true);
        const int cpY = CPChannel(*device, list, false);
        const wxString unit = device->GetChannelUnit(cpX);
        const double seconds = cp.count / m_rate;
        lines[0] = wxString::Format(_("CP of %s , %s"), CPChannelName(*device, cpX),
                                    CPChannelName(*device, cpY));
        // The numbers keep their digits at any scale; a line too long is
        // shortened in its words, never in its number.
        lines[1] = wxString::Format(NumberAsText(_("CP Stat time %.1f (s)"), &numberAt[1]),
                                    FormatShownValue(seconds, 1));
        lines[2] = wxString::Format(NumberAsText(_("CP Length  %.1f %s"), &numberAt[2]),
                                    FormatShownValue(cp.pathLength, 1), unit);
        lines[3] = wxString::Format(NumberAsText(_("CP Surface %.1f %s^2"), &numberAt[3]),
                                    FormatShownValue(cp.area, 1), unit);
        lines[4] = wxString::Format(NumberAsText(_("CP Mean Velocity %.1f %s/s"), &numberAt[4]),
                                    FormatShownValue(cp.pathLength / seconds, 1), unit);
        for (size_t i = 0; i < 5; ++i) {
            m_text.Extent(dc, lines[i], tw, th);
            statWidth = std::max(statWidth, tw);
            // The blank before the number stays with it.
            if (numberAt[i] != wxString::npos && numberAt[i] > 0 && lines[i][numberAt[i] - 1] == ' ')
                --numberAt[i];
        }
        // In steps of 40 pixels, so that the square does not move with each digit.
        statWidth = (statWidth + 39) / 40 * 40;
    }
    const int statLine = crossHeight + 5;
    const bool statBelow = h > w;
    int rightNeed = crossHeight / 2 + crossWidth + 8;
    int bottomNeed = 0;
    if (showStat && !statBelow)
        rightNeed += crossHeight + statWidth;
    if (showStat && statBelow)
        bottomNeed = 2 * statLine + 5 * statLine;
    // The statistics take at most half the width; longer lines are shortened.
    rightNeed = std::min(rightNeed, std::max(75, w / 2));
    m_text.SetFont(viewFont);
    const int leftNeed = std::max(labelWidth, crossWidth) + 10;
    ParametricLayout p = ComputeParametricLayout(w, h, leftNeed, rightNeed, bottomNeed);
    // In a narrow view the cross-hair's value right of the square (it is also
    // left of it) gives way to the square.
    bool crossRight = true;
    if (p.d < kMinPlotWidth && !(showStat && !statBelow)) {
        const ParametricLayout narrow = ComputeParametricLayout(w, h, leftNeed, 8, bottomNeed);
        if (narrow.d > p.d) {
            p = narrow;
            crossRight = false;
        }
    }
    if (!p.drawable)
        return;  // smaller than the margins
    const ParametricScale scale = ComputeParametricScale(p, device->GetMinValue(),
                                                         device->GetMaxValue(),
                                                         m_snapshot.minValue, m_snapshot.maxValue);
    m_placer.Reset(w, h);
    const wxPen framePen(ToWxColour(frame_color), 3);
    dc.SetPen(framePen);
    dc.DrawRectangle(p.left, p.top, p.right - p.left, p.bottom - p.top);
    NoteFrame(p.left, p.top, p.right - p.left, p.bottom - p.top, 3);
    // The names of the paint's take of the visible channels.
    const wxString xLabel = VisibleChannelLabel(*m_shown, 0, "");
    const wxString yLabel = VisibleChannelLabel(*m_shown, 1, "");
    m_text.SetColour(ToWxColour(grid_color));
    const wxString title = GetTitle();
    if (!title.empty()) {
        const wxString text = m_text.Fit(dc, title + " " + xLabel + " , " + yLabel, w - 4);
        m_text.Extent(dc, text, tw, th);
        const TextBox box{std::max(2, std::min(p.cx - tw / 2, w - 2 - tw)),
                          std::max(0, p.top - 3 * th), tw, th};
        m_placer.Reserve(box);
        m_text.Draw(dc, text, box.x, box.y);
    }
    int px = 0, py = 0;
    if (hasNewest) {
        px = scale.ScreenX(p, newestX);
        py = scale.ScreenY(p, newestY);
    }
    const bool crossX = hasNewest && p.left <= px && px <= p.right;
    const bool crossY = hasNewest && p.top <= py && py <= p.bottom;
    // The cross-hair's labels come first: a grid label under one is left out.
    const wxString crossXText = FormatPlotValue(newestX, xStep, 1, 2);
    const wxString crossYText = FormatPlotValue(newestY, yStep, 1, 2);
    TextBox crossBoxes[4];
    int crossCount = 0;
    m_text.SetFont(m_crossFont);
    if (crossX) {
        m_text.Extent(dc, crossXText, tw, th);
        const int below = static_cast<int>(p.bottom + 1.25 * th);
        const int above = static_cast<int>(p.top - 1.25 * th);
        crossBoxes[crossCount++] = TextBox{px - tw / 2, below, tw, th};
        crossBoxes[crossCount++] = TextBox{px - tw / 2, above, tw, th};
    }
    if (crossY) {
        m_text.Extent(dc, crossYText, tw, th);
        crossBoxes[crossCount++] = TextBox{p.left - 6 - tw, py - th / 2, tw, th};
        if (crossRight)
            crossBoxes[crossCount++] = TextBox{p.right + th / 2, py - th / 2, tw, th};
    }
    bool crossShown[4] = {false, false, false, false};
    for (int i = 0; i < crossCount; ++i)
        crossShown[i] = m_placer.Place(crossBoxes[i]);
    m_text.SetFont(viewFont);
    dc.SetPen(wxPen(ToWxColour(grid_color), 1));
    if (grad_y >= 2) {
        const int step =
            std::max(LabelStep(static_cast<double>(p.d) / grad_y, th, 2), yLines.stride);
        for (int i = 1; i < grad_y; ++i) {
            const int y = RoundHalfUp(static_cast<double>(i) * p.d / grad_y) + p.top;
            dc.DrawLine(p.left - 1, y, p.right + 1, y);
            if (i % step != 0)
                continue;
            const wxString text = FormatAxisValue(scale.hi - i * r / grad_y, yFormat);
            m_text.Extent(dc, text, tw, th);
            const TextBox box{p.left - 6 - tw, y - th / 2, tw, th};
            if (m_placer.Place(box, 3))
                m_text.Draw(dc, text, box.x, box.y);
        }
    }
    if (grad_x >= 2) {
        int widestLabel = 0;
        for (int i = 1; i < grad_x; ++i) {
            m_text.Extent(dc, FormatAxisValue(scale.lo + i * r / grad_x, xFormat), tw, th);
            widestLabel = std::max(widestLabel, tw);
        }
        const int step =
            std::max(LabelStep(static_cast<double>(p.d) / grad_x, widestLabel, 6), xLines.stride);
        for (int i = 1; i < grad_x; ++i) {
            const int x = RoundHalfUp(static_cast<double>(p.d) / grad_x * i) + p.left;
            dc.DrawLine(x, p.top - 1, x, p.bottom + 1);
            if (i % step != 0)
                continue;
            const wxString text = FormatAxisValue(scale.lo + i * r / grad_x, xFormat);
            m_text.Extent(dc, text, tw, th);
            const TextBox box{x - tw / 2, static_cast<int>(p.bottom + 1.25 * th), tw, th};
            if (m_placer.Place(box, 3))
                m_text.Draw(dc, text, box.x, box.y);
        }
    }
    DrawRecentMarkers(dc, 10, 10, false);

    const wxColour trailColour = ToWxColour(analog_color);
    {
        wxDCClipper clip(dc, p.left, p.top, p.right - p.left, p.bottom - p.top);
        DrawTrail(*gc, p, scale, frames, trailColour);
        if (hasNewest) {
            dc.SetPen(wxPen(trailColour, m_lineWidth));
            dc.SetBrush(wxBrush(trailColour));
            dc.DrawEllipse(px - 5, py - 5, 10, 10);
        }
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
    m_text.SetFont(m_crossFont);
    m_text.SetColour(trailColour);
    dc.SetPen(wxPen(ToWxColour(zero_color), 1, wxPENSTYLE_DOT));
    if (crossX)
        dc.DrawLine(px, p.top, px, p.bottom);
    if (crossY)
        dc.DrawLine(p.right, py, p.left, py);
    for (int i = 0; i < crossCount; ++i) {
        const bool isX = crossX && i < 2;
        if (crossShown[i])
            m_text.Draw(dc, isX ? crossXText : crossYText, crossBoxes[i].x, crossBoxes[i].y);
    }
    if (showStat) {
        // Right of the cross-hair's labels, ten lines above the square's
        // bottom; in a portrait view under the square.
        int x = 0, y = 0;
        if (statBelow) {
            x = statLine;
            y = p.bottom + 2 * statLine;
        } else {
            x = p.right + crossHeight / 2 + crossWidth + crossHeight;
            y = std::max(0, p.bottom - 10 * crossHeight);
        }
        for (size_t i = 0; i < 5; ++i) {
            const wxString& line = lines[i];
            const wxString shown =
                m_text.Fit(dc, line, w - 2 - x, numberAt[i], numberAt[i] != wxString::npos);
            m_text.Extent(dc, shown, tw, th);
            const TextBox box{x, y, tw, th};
            if (!shown.empty() && m_placer.Place(box))
                m_text.Draw(dc, shown, box.x, box.y);
            y += statLine;
        }
    }
}
