// Bar mode, pie chart mode and the balance-board quadrants of the 2D view.
#include "analog/analogDevice.h"
#include "analog/analogView.h"
#include "analog/analogViewDraw.h"
#include "analog/analogViewFormat.h"
#include "analog/analogViewLayout.h"
#include "analog/analogViewPlacement.h"

#include <wx/dcgraph.h>
#include <wx/dcmemory.h>
#include <wx/display.h>
#include <wx/graphics.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.141592653589793;

// The forms of the bars' values, the first that fits their columns taken:
// the digits of the other values, then fewer, then in small type.
struct BarValueForm {
    int decimals;
    int significant;
    bool small;
};
constexpr BarValueForm kBarValueForms[] = {
    {3, 4, false}, {2, 3, false}, {2, 3, true}, {1, 2, true}};
constexpr int kBarValueFormCount = 4;

// Newest value of channel position c of the snapshot, when there is one
// and it is a number.
bool NewestValue(const CViewSnapshot& snapshot, int c, double& value)
{
    return snapshot.Last(c, value) && std::isfinite(value);
}

}  // namespace

void CAnalogView::DrawBars(wxDC& dc, const std::vector<int>& list)
{
    CAnalogDevice* device = m_device.load();
    if (!device || list.empty())
        return;
    const wxSize size = GetClientSize();
    const int w = size.GetWidth();
    const int h = size.GetHeight();
    const int n = static_cast<int>(list.size());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_data.TakeSnapshot(m_snapshot, m_component, n, true);
    const ValueRange range = ChooseValueRange(device->GetMinValue(), device->GetMaxValue(),
                                              m_snapshot.minValue, m_snapshot.maxValue);
    wxCoord tw = 0, th = 0;
    m_text.Extent(dc, "0", tw, th);
    const int lineHeight = th;
    // The value labels are written first: the left margin is as wide as they need.
    const int leftNeed = WriteValueLabels(dc, range, h - 130, lineHeight);
    const BarLayout layout = ComputeBarLayout(w, h, n, leftNeed);
    if (!layout.drawable)
        return;  // smaller than the margins
    const int left = layout.left;
    const int right = layout.right;
    const int plotHeight = layout.height;
    const int plotBottom = 100 + plotHeight;
    const wxColour gridColour = ToWxColour(grid_color);
    m_text.SetColour(gridColour);
    dc.SetPen(wxPen(ToWxColour(frame_color), 3));
    dc.DrawLine(left - 3, 97, left - 3, h - 27);
    dc.DrawLine(left - 3, h - 27, right + 3, h - 27);
    dc.DrawLine(right + 3, h - 27, right + 3, 97);
    dc.DrawLine(left - 3, 97, right + 3, 97);
    NoteFrame(left - 3, 97, right - left + 6, h - 27 - 97, 3);
    m_placer.Reset(w, h);
    const wxString title = m_text.Fit(dc, GetTitle(), w - 4);
    if (!title.empty()) {
        m_text.Extent(dc, title, tw, th);
        const TextBox box{w / 2 - tw / 2, std::max(0, 100 - 2 * th), tw, th};
        m_placer.Reserve(box);
        m_text.Draw(dc, title, box.x, box.y);
    }
    dc.SetPen(wxPen(gridColour, 1));
    for (int j = 1; j < grad_y; ++j) {
        const int y = RoundHalfUp(static_cast<double>(j) * plotHeight / grad_y) + 100;
        dc.DrawLine(left - 1, y, right + 1, y);
        const wxString& text = m_axisTexts[static_cast<size_t>(j - 1)];
        if (text.empty())
            continue;
        m_text.Extent(dc, text, tw, th);
        const TextBox box{kValueLabelLeft, y - th / 2, tw, th};
        if (m_placer.Place(box))
            m_text.Draw(dc, text, box.x, box.y);
    }
    const double k = plotHeight / range.range;
    const int zeroY = RoundHalfUp(range.top * k) + 100;
    dc.SetPen(wxPen(ToWxColour(zero_color), m_lineWidth));
    dc.DrawLine(left - 3, zeroY, right + 3, zeroY);
    // Names wider than the bars' spacing alternate between two lines (every
    // other one a line further from the zero line), shortened to twice the
    // spacing when even that is too narrow.
    int widestName = 0;
    m_labels.clear();
    for (int i = 0; i < n; ++i) {
        m_labels.push_back(VisibleChannelLabel(*m_shown, static_cast<size_t>(i), " "));
        m_text.Extent(dc, m_labels.back(), tw, th);
        widestName = std::max(widestName, tw);
    }
    DistinctTails(m_labels, m_tails, &m_heads);
    const int spacing = static_cast<int>(layout.spacing);
    const bool alternate = widestName + 6 > spacing;
    const int nameLimit = alternate ? 2 * spacing - 6 : spacing;
    // A text inside the plot is drawn whole or not at all.
    const auto inPlot = [&](const TextBox& box) {
        return box.y >= 100 && box.Bottom() <= plotBottom;
    };
    // The values inside their bars' columns, all in one form: the first in
    // which the widest fits (fewer digits, then the small type), else none.
    // No form writes fewer digits than tell values a grid line apart.
    const double valueStep = range.range / SafeDivisions(grad_y);
    const wxFont viewFont = m_text.GetFont();
    int valueForm = -1;
    for (int f = 0; f < kBarValueFormCount && valueForm < 0; ++f) {
        m_text.SetFont(kBarValueForms[f].small ? m_valueFont : viewFont);
        bool fits = true;
        for (int i = 0; i < n && fits; ++i) {
            double v = 0.0;
            if (!NewestValue(m_snapshot, i, v))
                continue;
            m_text.Extent(dc, FormatPlotValue(v, valueStep, kBarValueForms[f].decimals,
                                              kBarValueForms[f].significant), tw, th);
            fits = tw <= spacing - 2;
        }
        if (fits)
            valueForm = f;
    }
    m_text.SetFont(viewFont);
    {
        wxDCClipper clip(dc, left, 100, right - left, plotHeight);
        const int barWidth = layout.barWidth;
        // Bars first, then the names over them, then the values: a name is
        // never left out for a value.
        for (int pass = 0; pass < 3; ++pass) {
            for (int i = 0; i < n; ++i) {
                double v = 0.0;
                if (!NewestValue(m_snapshot, i, v))
                    continue;
                const int cx = layout.Centre(i);
                // From the range's top, not as a difference from the zero
                // line: on an offset (1e9 +- 1) both lie far off in pixels.
                const int valueY = RoundHalfUp(100 + (range.top - v) * k);
                const bool rising = valueY < zeroY;
                const int away = rising ? -1 : 1;  // from the zero line to the bar's end
                if (pass == 2) {
                    if (valueForm < 0)
                        continue;
                    const BarValueForm& form = kBarValueForms[valueForm];
                    m_text.SetFont(form.small ? m_valueFont : viewFont);
                    DrawBarValue(dc, FormatPlotValue(v, valueStep, form.decimals, form.significant),
                                 cx, valueY, rising, plotBottom);
                    m_text.SetFont(viewFont);
                    continue;
                }
                if (pass == 0) {
                    const int channel = list[static_cast<size_t>(i)];
                    const wxColour colour = ToWxColour(device->GetChannelColour(channel));
                    const wxColour dark = colour.ChangeLightness(50);
                    // The drawn part, within a few pixels of the plot.
                    const int end = std::min(std::max(valueY, 96), plotBottom + 4);
                    const int base = std::min(std::max(zeroY, 96), plotBottom + 4);
                    const int height = std::abs(end - base);
                    const int barLeft = cx - barWidth / 2;
                    if (rising && height > 0)
                        dc.GradientFillLinear(wxRect(barLeft, end, barWidth, height), dark,
                                              colour, wxNORTH);
                    else if (height > 0)
                        dc.GradientFillLinear(wxRect(barLeft, base, barWidth, height), dark,
                                              colour, wxSOUTH);
                    continue;
                }
                // The name across the zero line from the bar.
                const wxString nameText = m_text.Fit(dc, m_labels[static_cast<size_t>(i)],
                                                     nameLimit, m_tails[static_cast<size_t>(i)],
                                                     false, m_heads[static_cast<size_t>(i)]);
                wxCoord nw = 0, nh = 0;
                m_text.Extent(dc, nameText, nw, nh);
                int nameTop = rising ? zeroY + nh / 2 : zeroY - (nh / 2 + nh);
                if (alternate && i % 2 == 1)
                    nameTop -= away * (nh + 1);
                const TextBox name{cx - nw / 2, nameTop, nw, nh};
                if (!nameText.empty() && inPlot(name) && m_placer.Place(name))
                    m_text.Draw(dc, nameText, name.x, name.y);
            }
        }
    }
    th = lineHeight;
    DrawRecentMarkers(dc, w / 2, 100 - 4 * th, true);
}

void CAnalogView::DrawBarValue(wxDC& dc, const wxString& text, int cx, int valueY, bool rising,
                               int plotBottom)
{
    int vw = 0, vh = 0;
    m_text.Extent(dc, text, vw, vh);
    // Moved a line further out where it would cover another text, and kept
    // whole inside the plot.
    const int away = rising ? -1 : 1;
    const int wanted = rising ? valueY - (vh / 2 + vh) : valueY + vh / 2;
    for (int shift = 0; shift < 3; ++shift) {
        const int top =
            std::min(std::max(wanted + away * shift * (vh + 1), 101), plotBottom - 1 - vh);
        const TextBox box{cx - vw / 2, top, vw, vh};
        if (!m_placer.Place(box))
            continue;
        // On the background colour: a grid line through the digits would
        // hide a minus sign.
        wxGraphicsContext* gc = dc.GetGraphicsContext();
        if (gc) {
            gc->SetPen(*wxTRANSPARENT_PEN);
            gc->SetBrush(wxBrush(ToWxColour(bk_color)));
            gc->DrawRectangle(box.x - 1, box.y, box.w + 2, box.h);
        }
        m_text.Draw(dc, text, box.x, box.y);
        return;
    }
}

void CAnalogView::DrawPie(wxDC& dc, const std::vector<int>& list)
{
    CAnalogDevice* device = m_device.load();
    if (!device)
        return;
    if (list.size() == 4 && device->GetDevicePath().StartsWith("wiiboard_")) {
        DrawBoardQuadrants(dc, list);
        return;
    }
    const wxSize size = GetClientSize();
    const int w = size.GetWidth();
    const int h = size.GetHeight();
    m_text.SetColour(ToWxColour(grid_color));
    m_placer.Reset(w, h);
    wxCoord tw = 0, th = 0;
    const wxString title = m_text.Fit(dc, GetTitle(), w - 4);
    if (!title.empty()) {
        m_text.Extent(dc, title, tw, th);
        const TextBox box{w / 2 - tw / 2, th, tw, th};
        m_placer.Reserve(box);
        m_text.Draw(dc, title, box.x, box.y);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const int n = static_cast<int>(list.size());
    if (n > 0) {
        m_data.TakeSnapshot(m_snapshot, m_component, n, true);
        std::vector<double> values(static_cast<size_t>(n), 0.0);
        std::vector<bool> valid(static_cast<size_t>(n), false);
        for (int i = 0; i < n; ++i)
            valid[static_cast<size_t>(i)] = NewestValue(m_snapshot, i, values[static_cast<size_t>(i)]);
        const std::vector<PieSector> sectors = ComputePieSectors(values, valid);
        // The values to the digits the other modes' grid of the same range
        // gives them.
        const ValueRange range = ChooseValueRange(device->GetMinValue(), device->GetMaxValue(),
                                                  m_snapshot.minValue, m_snapshot.maxValue);
        const double valueStep = range.range / SafeDivisions(grad_y);
        // The legend down the left side, as wide as its longest line (names
        // shortened past two fifths of the view); the pie keeps to its right.
        // A line is the name, kept as a picture between paints, and the value
        // beside it, laid out afresh.
        m_labels.clear();
        m_valueTexts.clear();
        int legendWidth = 0;
        int nameWidest = 0;
        int valueWidth = 0;
        for (const PieSector& sector : sectors) {
            m_labels.push_back(
                VisibleChannelLabel(*m_shown, static_cast<size_t>(sector.position), " "));
            m_valueTexts.push_back(
                "  : " +
                FormatPlotValue(values[static_cast<size_t>(sector.position)], valueStep, 3, 4) +
                " ");
            int nameWidth = 0;
            m_text.Extent(dc, m_labels.back(), nameWidth, th);
            m_text.Extent(dc, m_valueTexts.back(), tw, th);
            legendWidth = std::max(legendWidth, nameWidth + tw);
            nameWidest = std::max(nameWidest, nameWidth);
            valueWidth = std::max(valueWidth, tw);
        }
        DistinctTails(m_labels, m_tails, &m_heads);
        int shortest = 0;  // the widest of the names shortened as far as they go
        for (size_t s = 0; s < m_labels.size(); ++s)
            shortest =
                std::max(shortest, m_text.ShortestWidth(dc, m_labels[s], m_tails[s], m_heads[s]));
        m_text.Extent(dc, "0", tw, th);
        const int lineHeight = th;
        const LegendLayout legend = ComputeLegendLayout(n, lineHeight, 122, h - 4);
        // Up to half the view where the names would not be told apart in two fifths.
        const auto limit = [&](int part) { return std::max(30, (part - 10) / legend.columns - 8); };
        // Where the names would not be told apart beside their values, the
        // legend shows the names alone: a value is nothing without its name.
        const bool showValues = shortest + valueWidth <= limit(w / 2);
        if (!showValues) {
            legendWidth = nameWidest;
            valueWidth = 0;
        }
        legendWidth = std::min(legendWidth, std::max(limit(w * 2 / 5),
                                                     std::min(shortest + valueWidth, limit(w / 2))));
        const int legendRight =
            sectors.empty() ? 0 : 10 + legend.columns * (legendWidth + 8);
        const PieBox box = ComputePieBox(w, h, legendRight);
        const double radius = box.diameter / 2.0;
        const wxColour background = ToWxColour(bk_color);
        for (size_t s = 0; s < sectors.size(); ++s) {
            const PieSector& sector = sectors[s];
            const int channel = list[static_cast<size_t>(sector.position)];
            const wxColour colour = ToWxColour(device->GetChannelColour(channel));
            dc.SetPen(wxPen(colour, 2));
            dc.SetBrush(wxBrush(colour));
            m_text.SetColour(colour);
            // An empty sector would be drawn by the toolkit as a whole circle.
            if (box.drawable && sector.end - sector.start > 1e-9)
                dc.DrawEllipticArc(box.left, box.top, box.diameter, box.diameter, sector.start,
                                   sector.end);
            const double a = sector.start * kPi / 180.0;
            dc.SetPen(wxPen(background, 1));
            if (box.drawable)
                dc.DrawLine(box.cx, box.cy, RoundHalfUp(box.cx + radius * std::cos(a)),
                            RoundHalfUp(box.cy - radius * std::sin(a)));
            const wxString name = m_text.Fit(dc, m_labels[s], legendWidth - valueWidth, m_tails[s],
                                             false, m_heads[s]);
            int nameWidth = 0;
            m_text.Extent(dc, name, nameWidth, th);
            const wxString value = showValues ? m_valueTexts[s] : wxString();
            m_text.Extent(dc, value, tw, th);
            const int row = sector.position % legend.rows;
            const int column = sector.position / legend.rows;
            const TextBox text{10 + column * (legendWidth + 8), 122 + legend.spacing * row,
                               nameWidth + tw, th};
            // A value without its channel's name could be any channel's.
            if (!name.empty() && m_placer.Place(text)) {
                m_text.Draw(dc, name, text.x, text.y);
                if (!value.empty())
                    m_text.Draw(dc, value, text.x + nameWidth, text.y);
            }
        }
        // The shares in large type over the sectors, centred halfway between
        // the centre and the rim; a share with no room is left out.
        const wxFont previous = m_text.GetFont();
        m_text.SetFont(m_shareFont);
        m_text.SetColour(background);
        for (const PieSector& sector : sectors) {
            if (!box.drawable || !(sector.middle > 0 && sector.share > 0.01))
                continue;
            const double m = sector.middle * kPi / 180.0;
            const wxString share = wxString::Format("%.1f %%", sector.share * 100);
            m_text.Extent(dc, share, tw, th);
            // Halfway to the rim; a sector narrower there than the text has
            // its share further out, where it is wide enough for most of it,
            // or none.
            const double half = std::min(sector.share, 0.5) * kPi;
            double distance = box.diameter / 4.0;
            if (2.0 * distance * std::sin(half) < tw) {
                distance = box.diameter * 0.375;
                if (2.0 * distance * std::sin(half) < 0.6 * tw)
                    continue;
            }
            const TextBox text{RoundHalfUp(box.cx + distance * std::cos(m)) - tw / 2,
                               RoundHalfUp(box.cy - distance * std::sin(m)) - th / 2, tw, th};
            if (m_placer.Place(text))
                m_text.Draw(dc, share, text.x, text.y);
        }
        m_text.SetFont(previous);
        if (sectors.empty() && box.drawable)
            dc.DrawEllipticArc(box.left, box.top, box.diameter, box.diameter, 0, 360);
    }
    DrawRecentMarkers(dc, 10, 10, false);
}

void CAnalogView::DrawBoardQuadrants(wxDC& dc, const std::vector<int>& list)
{
    if (list.size() != 4)
        return;
    wxGraphicsContext* gc = dc.GetGraphicsContext();
    const wxSize size = GetClientSize();
    const int w = size.GetWidth();
    const int h = size.GetHeight();
    const QuadrantLayout layout = ComputeQuadrantLayout(w, h);
    if (!layout.drawable || !gc)
        return;  // too small for the board and its scale
    const int pw = layout.pw;
    const int ph = layout.ph;
    m_text.SetColour(ToWxColour(grid_color));
    m_placer.Reset(w, h);
    wxCoord tw = 0, th = 0;
    const wxString title = m_text.Fit(dc, GetTitle(), w - 4);
    if (!title.empty()) {
        m_text.Extent(dc, title, tw, th);
        const TextBox box{std::max(2, (w - 100) / 2 - tw / 2), th, tw, th};
        m_placer.Reserve(box);
        m_text.Draw(dc, title, box.x, box.y);
    }
    const wxPen framePen(ToWxColour(frame_color), 2);
    dc.SetPen(framePen);
    dc.DrawRectangle(50, 100, pw, ph);
    NoteFrame(50, 100, pw, ph, 2);
    dc.DrawLine(layout.cx, 100, layout.cx, h - 100);
    dc.DrawLine(50, layout.cy, w - 150, layout.cy);
    CreateColourScale();
    if (m_scaleBitmap && m_scaleBitmap->IsOk())
        gc->DrawBitmap(*m_scaleBitmap, w - 100, 101, 50, ph);
    dc.SetBrush(*wxTRANSPARENT_BRUSH);
    dc.DrawRectangle(w - 100, 100, 50, ph);
    NoteFrame(w - 100, 100, 50, ph, 2);
    const int step = ph / 10;
    for (int p = 100; p >= 0; p -= 10) {
        const int y = 101 + ((100 - p) / 10) * step;
        const wxString text = wxString::Format(" %d %%", p);
        m_text.Extent(dc, text, tw, th);
        m_text.Draw(dc, text, w - 47, y - th / 2);
        if (p > 0 && p < 100) {
            dc.DrawLine(w - 100, y, w - 93, y);
            dc.DrawLine(w - 50, y, w - 57, y);
        }
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    m_data.TakeSnapshot(m_snapshot, m_component, 4, true);
    double values[4] = {0, 0, 0, 0};
    bool valid[4] = {false, false, false, false};
    double total = 0.0;
    for (int i = 0; i < 4; ++i) {
        valid[i] = NewestValue(m_snapshot, i, values[i]);
        if (valid[i])
            total += std::fabs(values[i]);
    }
    const wxFont previous = m_text.GetFont();
    m_text.SetFont(m_shareFont);
    m_text.SetColour(wxColour(0, 0, 0));
    for (int i = 0; i < 4; ++i) {
        if (!valid[i])
            continue;
        // No load at all reads 0 % in the no-load colour.
        const double share = QuadrantShare(values[i], total);
        const wxColour colour = PackedToColour(ValueToColour(QuadrantColourInput(share)));
        int qx = 0, qy = 0;
        layout.Origin(i, qx, qy);
        dc.SetPen(wxPen(colour, 1));
        dc.SetBrush(wxBrush(colour));
        dc.DrawRectangle(qx + 1, qy + 1, pw / 2 - 2, ph / 2 - 2);
        const wxString text = wxString::Format("%.0f %%", share * 100);
        m_text.Extent(dc, text, tw, th);
        m_text.Draw(dc, text, qx + pw / 4 - tw / 2, qy + ph / 4 - th / 2);
    }
    m_text.SetFont(previous);
    DrawRecentMarkers(dc, layout.cx, 70, true);
}

void CAnalogView::CreateColourScale()
{
    if (m_scaleBitmap)
        return;
    int displayIndex = wxDisplay::GetFromWindow(this);
    if (displayIndex == wxNOT_FOUND)
        displayIndex = 0;
    const wxRect area = wxDisplay(static_cast<unsigned>(displayIndex)).GetClientArea();
    int width = 0, height = 0;
    ComputeColourScaleSize(area.GetWidth(), area.GetHeight(), width, height);
    auto bitmap = std::make_unique<wxBitmap>(width, height);
    {
        wxMemoryDC dc(*bitmap);
        const int band = height / 100;
        for (int k = 0; k < 100; ++k) {
            const wxColour colour = PackedToColour(ValueToColour(k / 100.0));
            dc.SetPen(wxPen(colour, 1));
            dc.SetBrush(wxBrush(colour));
            dc.DrawRectangle(0, k * band, width, band);
        }
    }
    m_scaleBitmap = std::move(bitmap);
}
