// Painting of the 2D view: the common step, the time graph of the normal and
// strip modes, and the marker overlays.
#include "analog/analogDevice.h"
#include "analog/analogView.h"
#include "analog/analogViewDraw.h"
#include "analog/analogViewFormat.h"
#include "analog/analogViewLayout.h"
#include "analog/analogViewPlacement.h"

#include <wx/dcbuffer.h>
#include <wx/dcclient.h>
#include <wx/dcgraph.h>
#include <wx/graphics.h>

#include <algorithm>
#include <cmath>

namespace {

// Coordinates beyond this are not drawn (a scale gone wild must not reach
// the integer conversions of the toolkit).
constexpr double kFarAway = 1e6;

bool IsDrawable(double v) { return std::isfinite(v) && std::fabs(v) < kFarAway; }

void StrokeLine(wxGraphicsContext& gc, double x1, double y1, double x2, double y2)
{
    if (IsDrawable(x1) && IsDrawable(y1) && IsDrawable(x2) && IsDrawable(y2))
        gc.StrokeLine(x1, y1, x2, y2);
}

}  // namespace

void CAnalogView::OnPaint(wxPaintEvent&)
{
    if (IsDoubleBuffered()) {
        wxPaintDC dc(this);
        Draw(dc);
    } else {
        wxBufferedPaintDC dc(this, wxBUFFER_CLIENT_AREA);
        Draw(dc);
    }
    if (m_batteryDirty.exchange(false)) {
        UpdateBattery(true);
    }
}

void CAnalogView::Draw(wxDC& target)
{
    CAnalogDevice* device = m_device.load();
    if (!device)
        return;
    // Cleared first: a frame arriving while we draw asks for the next paint.
    m_data.ClearDirty();
    wxGraphicsContext* context = wxGraphicsContext::CreateFromUnknownDC(target);
    if (!context)
        return;
    context->SetAntialiasMode(wxANTIALIAS_DEFAULT);
    context->SetInterpolationQuality(wxINTERPOLATION_FAST);
    wxGCDC dc(context);  // owns the context
    m_text.Begin(dc, GetFont());
    const wxSize size = GetClientSize();
    dc.SetBackgroundMode(wxSOLID);
    dc.SetBrush(wxBrush(ToWxColour(bk_color)));
    if (device->IsRecording())
        dc.SetPen(wxPen(wxColour(255, 0, 0), 7));
    else if (m_selected && m_multiView)
        dc.SetPen(wxPen(wxColour(0, 255, 0), 2));
    else
        dc.SetPen(*wxTRANSPARENT_PEN);
    dc.DrawRectangle(0, 0, size.GetWidth(), size.GetHeight());
    if (draw_type == kDrawNone) {
        NotePaintedPicture();
        return;
    }
    dc.SetTextBackground(wxColour(0, 0, 0, 0));
    // One take of the visible channels for the whole paint: the list and the names
    // beside it are of one shape, whatever the acquisition thread does meanwhile.
    m_shown = device->GetVisibleChannels();
    const std::vector<int>& list = m_shown->channels;
    if (list.empty())
        return;
    // A device that changed its channels (a network source taking a new
    // shape) is followed here: the view is rebuilt for them before drawing,
    // also when their count stayed (rows of other channels under these names).
    m_refusedSeen = m_data.RefusedRows();
    const int dim = std::max(device->GetChannelDim(), 1);
    if (static_cast<int>(list.size()) != m_channelCount || dim != m_dim ||
        m_shown->shape != m_builtShape)
        SetBuffer(*m_shown);
    // Taken before the modes take their rows: a row that comes meanwhile asks again.
    NotePaintedPicture();
    switch (draw_type) {
    case kDrawParametric:
        if (list.size() > 1) {
            DrawParametric(dc, list);
            return;
        }
        break;
    case kDrawBar: DrawBars(dc, list); return;
    case kDrawPie: DrawPie(dc, list); return;
    case kDrawSpectrum: DrawSpectra(dc, list); return;
    default: break;
    }
    DrawTimeGraph(dc, list);
}

void CAnalogView::DrawTimeGraph(wxDC& dc, const std::vector<int>& list)
{
    CAnalogDevice* device = m_device.load();
    wxGraphicsContext* gc = dc.GetGraphicsContext();
    if (!device || !gc || !(draw_time > 0.0) || list.empty())
        return;
    const wxSize size = GetClientSize();
    const int w = size.GetWidth();
    const int h = size.GetHeight();
    const bool strip = draw_type == kDrawStrip;
    std::lock_guard<std::mutex> lock(m_mutex);
    const int n = static_cast<int>(list.size());
    m_data.TakeSnapshot(m_snapshot, m_component, n, false);
    if (m_snapshot.frames == 0)
        return;
    const ValueRange range = ChooseValueRange(device->GetMinValue(), device->GetMaxValue(),
                                              m_snapshot.minValue, m_snapshot.maxValue);
    // The right margin holds the newest values and, in normal mode, the
    // legend beside them: both measured, so that neither is cut off nor drawn
    // over the other. The values' column is as wide as the widest value of the
    // range or a value in the exponent form, so the plot does not change width
    // with the digits.
    wxCoord tw = 0, th = 0;
    const double widest = std::max(std::fabs(range.top), std::fabs(range.top - range.range));
    const double valueStep = range.range / SafeDivisions(grad_y);
    int rangeTagWidth = 0;
    m_text.Extent(dc, FormatPlotValue(-widest, valueStep, 3, 4), rangeTagWidth, th);
    m_text.Extent(dc, "-0.000e-00", tw, th);
    const int tagWidth = std::max(rangeTagWidth, tw);
    const int lineHeight = th;
    m_labels.clear();
    for (int c = 0; c < n; ++c)
        m_labels.push_back(VisibleChannelLabel(*m_shown, static_cast<size_t>(c), " "));
    DistinctTails(m_labels, m_tails, &m_heads);
    const bool legendAtRight = !strip || n == 1;
    LegendLayout legend;
    int legendWidth = 0;
    if (legendAtRight) {
        legend = ComputeLegendLayout(n, lineHeight, 108, h - 4);
        int shortest = 0;  // the widest of the names shortened as far as they go
        for (size_t c = 0; c < m_labels.size(); ++c) {
            m_text.Extent(dc, m_labels[c], tw, th);
            legendWidth = std::max(legendWidth, tw);
            shortest =
                std::max(shortest, m_text.ShortestWidth(dc, m_labels[c], m_tails[c], m_heads[c]));
        }
        // The legend takes at most two fifths of the view: longer names are
        // shortened. Up to half the view where the names would not be told
        // apart in two fifths.
        const int margin = 6 + tagWidth + 6;
        const auto limit = [&](int part) {
            return std::max(30, (part - margin - 8) / legend.columns - 8);
        };
        legendWidth = std::min(legendWidth,
                               std::max(limit(w * 2 / 5), std::min(shortest, limit(w / 2))));
    }
    // The value labels (normal mode) or the lanes' range label (strip mode)
    // are written first: the left margin is as wide as they need.
    int leftNeed = strip ? 0 : WriteValueLabels(dc, range, h - 130, lineHeight);
    wxString rangeText;
    if (strip && n > 1) {
        // The span of a lane, to two digits.
        rangeText = FormatAxisValue(range.range, ChooseAxisFormat(range.range / 10, range.range));
        m_text.Extent(dc, rangeText, tw, th);
        leftNeed = kValueLabelLeft + tw + 10;
    }
    const TimeGraphMargins margins = FitTimeGraphMargins(
        w, strip, leftNeed, tagWidth, rangeTagWidth,
        legendAtRight ? legend.columns * (legendWidth + 8) : 0);
    const TimeGraphLayout layout = ComputeTimeGraphLayout(w, h, grad_x, draw_time, margins);
    if (!layout.drawable)
        return;  // smaller than the margins
    const int left = layout.left;
    const int right = layout.right;
    const int bottom = layout.bottom;
    const int plotHeight = layout.height;
    m_placer.Reset(w, h);

    DrawTimeAxes(dc, layout, h);
    if (margins.legend) {
        // A legend down the right margin, beside the newest values.
        const int legendLeft = right + margins.legendOffset;
        for (int c = 0; c < n; ++c) {
            const wxString label =
                m_text.Fit(dc, m_labels[static_cast<size_t>(c)], legendWidth,
                           m_tails[static_cast<size_t>(c)], false, m_heads[static_cast<size_t>(c)]);
            m_text.Extent(dc, label, tw, th);
            const int column = c / legend.rows;
            const TextBox box{legendLeft + column * (legendWidth + 8),
                              108 + legend.spacing * (c % legend.rows), tw, th};
            m_text.SetColour(
                ToWxColour(device->GetChannelColour(list[static_cast<size_t>(c)])));
            if (!label.empty() && m_placer.Place(box))
                m_text.Draw(dc, label, box.x, box.y);
        }
    }

    if (!strip && grad_y > 1) {
        // Value labels left of the plot, thinned to those that fit one above the other.
        m_text.SetColour(ToWxColour(grid_color));
        for (int j = 1; j < grad_y; ++j) {
            const double y = 100 + j * static_cast<double>(plotHeight) / grad_y;
            gc->StrokeLine(left - 1, y, right + 1, y);
            const wxString& text = m_axisTexts[static_cast<size_t>(j - 1)];
            if (text.empty())
                continue;
            m_text.Extent(dc, text, tw, th);
            const TextBox box{kValueLabelLeft, static_cast<int>(y - th / 2), tw, th};
            if (m_placer.Place(box))
                m_text.Draw(dc, text, box.x, box.y);
        }
    }
    const double sx = (right - left) / draw_time;
    double k = plotHeight / range.range;
    const double zeroY = 100 + range.top * k;
    if (!strip) {
        gc->SetPen(wxPen(ToWxColour(zero_color), m_lineWidth));
        StrokeLine(*gc, left - 3, zeroY, right + 3, zeroY);
    }
    double curveZero = zeroY;
    if (strip && n > 1) {
        // Each lane spans the range around its middle, so that a signal on an
        // offset (9.81, a tare) lies in its lane as in the normal plot; the
        // zero level lies that far below the lane's middle (none for a range
        // centred on 0).
        k /= n;
        curveZero = (range.top - range.range / 2) * k;
    }
    DrawCurves(dc, list, layout, w, curveZero, k, sx, margins.tagWidth > 0 ? valueStep : 0.0);
    int markerBottom = bottom;
    // The lanes' scales after the curves' names: a name is never left out for
    // a range label.
    if (strip && n > 1)
        markerBottom = DrawStripScales(dc, list, layout, rangeText);
    DrawEventMarkers(dc, layout, markerBottom, sx, m_snapshot.firstTime);
}

int CAnalogView::WriteValueLabels(wxDC& dc, const ValueRange& range, int plotHeight,
                                  int lineHeight)
{
    // One label per inner grid line, thinned to those that fit one above the
    // other (the others empty), in m_axisTexts.
    m_axisTexts.clear();
    if (grad_y <= 1)
        return 0;
    const AxisLines lines = ChooseAxisLines(range.top, -range.range / grad_y, grad_y);
    const int step =
        std::max(LabelStep(static_cast<double>(plotHeight) / grad_y, lineHeight, 2), lines.stride);
    int need = 0;
    for (int j = 1; j < grad_y; ++j) {
        m_axisTexts.push_back(
            j % step == 0 ? FormatAxisValue(range.top - j * range.range / grad_y, lines.format)
                          : wxString());
        int tw = 0, th = 0;
        m_text.Extent(dc, m_axisTexts.back(), tw, th);
        need = std::max(need, kValueLabelLeft + tw + kValueLabelGap);
    }
    return need;
}

void CAnalogView::DrawTimeAxes(wxDC& dc, const TimeGraphLayout& layout, int h)
{
    wxGraphicsContext* gc = dc.GetGraphicsContext();
    const int left = layout.left;
    const int right = layout.right;
    const int bottom = layout.bottom;
    const int w = GetClientSize().GetWidth();
    dc.SetPen(wxPen(ToWxColour(frame_color), 3));
    dc.DrawLine(left - 3, 97, left - 3, h - 27);
    dc.DrawLine(left - 3, h - 27, right + 3, h - 27);
    dc.DrawLine(right + 3, h - 27, right + 3, 97);
    dc.DrawLine(left - 3, 97, right + 3, 97);
    NoteFrame(left - 3, 97, right - left + 6, h - 27 - 97, 3);

    const wxColour gridColour = ToWxColour(grid_color);
    m_text.SetColour(gridColour);
    wxCoord tw = 0, th = 0;
    const wxString title = m_text.Fit(dc, GetTitle(), w - 4);
    if (!title.empty()) {
        // Centred over the plot, shifted to stay whole inside the view.
        m_text.Extent(dc, title, tw, th);
        const int titleLeft = std::max(2, std::min((right + left) / 2 - tw / 2, w - 2 - tw));
        const TextBox box{titleLeft, std::max(0, static_cast<int>(50 - 2.0 * th)), tw, th};
        m_placer.Reserve(box);
        m_text.Draw(dc, title, box.x, box.y);
    }
    dc.SetPen(wxPen(gridColour, 1));
    const int divisionsX = SafeDivisions(grad_x);
    const AxisFormat format = ChooseAxisFormat(layout.dt, divisionsX * layout.dt);
    // Time labels thinned to those that fit side by side (the widest is the last).
    m_text.Extent(dc, FormatAxisValue(divisionsX * layout.dt, format), tw, th);
    const int step = LabelStep(layout.dx, tw, 6);
    for (int i = 0; i <= divisionsX; ++i) {
        const double x = left + i * layout.dx;
        if (i > 0 && i < divisionsX)
            gc->StrokeLine(x, 99, x, h - 29);
        if (i % step != 0)
            continue;
        const wxString text = FormatAxisValue(i * layout.dt, format);
        m_text.Extent(dc, text, tw, th);
        // Under the frame's bottom line, whatever the font's height.
        const TextBox box{static_cast<int>(x - tw / 2), std::max(bottom + th / 2, h - 24), tw,
                          th};
        if (m_placer.Place(box))
            m_text.Draw(dc, text, box.x, box.y);
    }
}

int CAnalogView::DrawStripScales(wxDC& dc, const std::vector<int>& list,
                                 const TimeGraphLayout& layout, const wxString& rangeText)
{
    CAnalogDevice* device = m_device.load();
    const int n = static_cast<int>(list.size());
    const int left = layout.left;
    const double laneHeight = static_cast<double>(layout.height) / n;
    wxCoord tw = 0, th = 0;
    int laneBottom = 100 + layout.height;
    for (int c = 0; c < n; ++c) {
        const StripLane lane = ComputeStripLane(c, n, layout.height);
        const wxColour colour = ToWxColour(device->GetChannelColour(list[static_cast<size_t>(c)]));
        dc.SetPen(wxPen(colour, 2));
        const int barTop = static_cast<int>(lane.middle - laneHeight / 2);
        const int barBottom = static_cast<int>(lane.middle + laneHeight / 2);
        dc.DrawLine(left - 1, barTop, left - 1, barBottom);
        dc.DrawLine(left - 10, barTop, left, barTop);
        dc.DrawLine(left - 10, barBottom, left, barBottom);
        m_text.SetColour(colour);
        m_text.Extent(dc, rangeText, tw, th);
        const TextBox box{std::max(0, left - 10 - tw), lane.middle, tw, th};
        if (m_placer.Place(box))
            m_text.Draw(dc, rangeText, box.x, box.y);
        laneBottom = lane.bottom;
    }
    return laneBottom;
}

// The curves of the time graph, with their labels, fills, newest-sample marks
// and values, clipped to the plot.
void CAnalogView::DrawCurves(wxDC& dc, const std::vector<int>& list, const TimeGraphLayout& layout,
                             int w, double zeroY, double k, double sx, double valueStep)
{
    CAnalogDevice* device = m_device.load();
    wxGraphicsContext* gc = dc.GetGraphicsContext();
    const bool strip = draw_type == kDrawStrip;
    const int n = static_cast<int>(list.size());
    const int left = layout.left;
    const int right = layout.right;
    const int bottom = layout.bottom;
    const int plotHeight = layout.height;
    const wxPen framePen(ToWxColour(frame_color), 3);
    wxCoord tw = 0, th = 0;
    {
        wxDCClipper clip(dc, left, 100, w - left, plotHeight);
        // The curves go to an off-screen layer over the plot, drawn at once
        // after the fills; marks and values come last, on top.
        m_raster.Reset(w - left, plotHeight);
        std::vector<wxPoint2DDouble>& points = m_points;
        points.resize(static_cast<size_t>(m_snapshot.frames));
        std::vector<wxPoint2DDouble>& drawn = m_drawn;
        std::vector<double>& layerXy = m_layerXy;
        struct Newest {
            wxColour colour;
            wxPoint2DDouble point;
            double y0;
        };
        std::vector<Newest> newest;
        int labelHeight = 0;
        if (strip && n > 1) {
            // The lanes' dotted zero lines, under every curve, in the layer
            // (a dotted stroke through the toolkit costs more than the curves).
            const wxColour zero = ToWxColour(zero_color);
            for (int c = 0; c < n && c < m_snapshot.channels; ++c) {
                const StripLane lane = ComputeStripLane(c, n, plotHeight);
                const double level = lane.middle + zeroY;
                if (level >= lane.top && level <= lane.bottom)
                    m_raster.DrawDottedRow(static_cast<int>(level) - 100, -3, right + 3 - left,
                                           zero.Red(), zero.Green(), zero.Blue(), 223);
            }
        }
        for (int c = 0; c < n && c < m_snapshot.channels; ++c) {
            const int channel = list[static_cast<size_t>(c)];
            const wxString& label = m_labels[static_cast<size_t>(c)];
            const wxColour colour = ToWxColour(device->GetChannelColour(channel));
            double y0 = zeroY;
            int laneTop = 100;
            int laneBottom = bottom;
            m_text.Extent(dc, label, tw, th);
            labelHeight = th;
            if (strip && n > 1) {
                // The lane's name under its zero line, left out where the
                // lanes are lower than a line of text.
                const StripLane lane = ComputeStripLane(c, n, plotHeight);
                y0 = lane.middle + zeroY;
                laneTop = lane.top;
                laneBottom = lane.bottom;
                m_text.SetColour(colour);
                const wxString shown =
                    m_text.Fit(dc, label, right - left - 2, m_tails[static_cast<size_t>(c)], false,
                               m_heads[static_cast<size_t>(c)]);
                m_text.Extent(dc, shown, tw, th);
                const TextBox box{left + 2, lane.middle + 2, tw, th};
                if (!shown.empty() && box.Bottom() <= bottom && m_placer.Place(box))
                    m_text.Draw(dc, shown, box.x, box.y);
            }
            const double* values = m_snapshot.Channel(c);
            for (size_t i = 0; i < points.size(); ++i)
                points[i] = wxPoint2DDouble(left + 1.5 + (static_cast<double>(i) / m_rate) * sx,
                                            y0 - values[i] * k);
            DecimateCurve(points, drawn);
            newest.push_back({colour, points.back(), y0});
            layerXy.clear();
            for (const wxPoint2DDouble& p : drawn) {
                layerXy.push_back(p.m_x - left);
                layerXy.push_back(p.m_y - 100.0);
            }
            if (draw_poly && drawn.size() >= 2) {
                // The area between the curve and its zero level, at alpha 128.
                CCurveRaster::Rgba from{colour.Red(), colour.Green(), colour.Blue(), 128};
                CCurveRaster::Rgba to = from;
                if (draw_poly_gradient) {
                    const wxColour dark = colour.ChangeLightness(25);
                    const wxColour light = colour.ChangeLightness(125);
                    from = {dark.Red(), dark.Green(), dark.Blue(), 128};
                    to = {light.Red(), light.Green(), light.Blue(), 128};
                }
                m_raster.FillToLevel(layerXy.data(), drawn.size(), y0 - 100.0, from, to, 0.0,
                                     laneTop - 100.0, right - left, laneBottom - 100.0);
            }
            m_raster.DrawFunctionCurve(layerXy.data(), layerXy.size() / 2, colour.Red(),
                                       colour.Green(), colour.Blue(), 2);
            if (draw_poly && drawn.size() >= 2) {
                // The area's outline back along the zero level.
                const double closing[] = {layerXy[layerXy.size() - 2], layerXy.back(),
                                          layerXy[layerXy.size() - 2], y0 - 100.0, -2.0, y0 - 100.0};
                m_raster.DrawPolyline(closing, 3, colour.Red(), colour.Green(), colour.Blue(), 2);
            }
        }
        DrawRaster(*gc, m_raster, m_rasterBitmap, left, 100);
        // Newest values beside their curves' ends, moved apart where they
        // would overlap, inside the plot's height.
        std::vector<int>& wanted = m_tagWanted;
        wanted.clear();
        for (size_t c = 0; c < newest.size(); ++c)
            wanted.push_back(IsDrawable(newest[c].point.m_y)
                                 ? static_cast<int>(newest[c].point.m_y - labelHeight / 2.0)
                                 : 100);
        const bool tags = m_snapshot.overflow && valueStep > 0.0;
        if (tags)
            SpreadTags(wanted, labelHeight, 100, 100 + plotHeight, m_tagTops, m_tagShown);
        for (size_t c = 0; c < newest.size(); ++c) {
            const wxPoint2DDouble& point = newest[c].point;
            if (!IsDrawable(point.m_x) || !IsDrawable(point.m_y))
                continue;  // a sample that is not a number gets no mark
            const wxColour& colour = newest[c].colour;
            if (draw_poly && m_snapshot.overflow) {
                gc->SetPen(framePen);
                StrokeLine(*gc, right + 1, point.m_y, right + 1, newest[c].y0);
            }
            m_dots.Draw(*gc, colour, static_cast<int>(point.m_x) - 5,
                        static_cast<int>(point.m_y) - 5);
            if (tags && m_tagShown[c]) {
                const double* values = m_snapshot.Channel(static_cast<int>(c));
                const wxString text = FormatPlotValue(values[m_snapshot.frames - 1],
                                                      valueStep, 3, 4);
                m_text.SetColour(colour);
                m_text.Extent(dc, text, tw, th);
                // Right of the frame even where samples lie far apart.
                const TextBox box{std::max(static_cast<int>(point.m_x + 5), right + 6),
                                  m_tagTops[c], tw, th};
                if (m_placer.Place(box))
                    m_text.Draw(dc, text, box.x, box.y);
            }
        }
    }
}

void CAnalogView::DrawEventMarkers(wxDC& dc, const TimeGraphLayout& layout, int bottom, double sx,
                                   double firstTime)
{
    const int left = layout.left;
    const int right = layout.right;
    CAnalogDevice* device = m_device.load();
    if (!device)
        return;
    std::vector<uint32_t> codes;
    std::vector<uint32_t> frames;
    std::vector<wxString> labels;
    device->GetMarkers(codes, frames, labels);
    if (frames.empty())
        return;
    const wxColour colour = ToWxColour(analog_color);
    dc.SetPen(wxPen(colour, 1, wxPENSTYLE_LONG_DASH));
    m_text.SetColour(colour);
    const wxFont previous = m_text.GetFont();
    m_text.SetFont(m_markerFont);
    for (size_t m = 0; m < frames.size() && m < labels.size(); ++m) {
        double x = frames[m] / m_rate;
        if (firstTime > 0.0)
            x -= firstTime;
        x = left + x * sx;
        if (!(x >= left && x <= right))
            continue;
        const int xi = static_cast<int>(x);
        dc.DrawLine(xi, 99, xi, bottom + 3);
        wxCoord tw = 0, th = 0;
        m_text.Extent(dc, labels[m], tw, th);
        const TextBox box{xi - tw / 2, static_cast<int>(99 - 1.5 * th), tw, th};
        if (m_placer.Place(box))
            m_text.Draw(dc, labels[m], box.x, box.y);
    }
    m_text.SetFont(previous);
}

void CAnalogView::DrawRecentMarkers(wxDC& dc, int x, int y, bool centre)
{
    CAnalogDevice* device = m_device.load();
    if (!device)
        return;
    std::vector<uint32_t> codes;
    std::vector<uint32_t> frames;
    std::vector<wxString> labels;
    device->GetMarkers(codes, frames, labels);
    const int window = MarkerWindowSamples(m_rate);
    m_text.SetFont(m_recentFont);
    const wxColour colour = ToWxColour(analog_color);
    const long long current = m_data.CurrentSample();
    int offset = 0;
    for (size_t m = 0; m < frames.size() && m < labels.size(); ++m) {
        const int lightness = MarkerLightness(current - static_cast<long long>(frames[m]), window);
        if (lightness < 0)
            continue;
        m_text.SetColour(colour.ChangeLightness(lightness));
        const wxString text = wxString::Format("%s (%s)", labels[m],
                                               wxString::Format("%.3f", frames[m] / m_rate));
        wxCoord tw = 0, th = 0;
        m_text.Extent(dc, text, tw, th);
        const int left = centre ? x - tw / 2 : x;
        const int top = centre ? y - th / 2 : y;
        // A label with no room (over another text) is left out.
        const TextBox box{left, top + offset, tw, th};
        if (m_placer.Place(box))
            m_text.Draw(dc, text, box.x, box.y);
        offset += th + 3;
    }
}

void CAnalogView::DrawRotatedEllipse(wxDC& dc, double cx, double cy, double w, double h,
                                     double angle)
{
    wxGraphicsContext* gc = dc.GetGraphicsContext();
    if (!gc || !std::isfinite(cx) || !std::isfinite(cy) || !std::isfinite(w) ||
        !std::isfinite(h) || !std::isfinite(angle))
        return;
    if (std::fabs(angle) > 0.001) {
        gc->PushState();
        gc->Translate(cx, cy);
        gc->Rotate(angle);
        gc->DrawEllipse(-w / 2, -h / 2, w, h);
        gc->PopState();
    } else {
        gc->DrawEllipse(cx - w / 2, cy - h / 2, w, h);
    }
}
