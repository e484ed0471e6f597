#include "analog/analogViewLayout.h"

#include <algorithm>
#include <cmath>

int RoundHalfUp(double value)
{
    const double rounded = std::floor(value + 0.5);
    if (!(rounded > -2e9))
        return -2000000000;
    if (rounded > 2e9)
        return 2000000000;
    return static_cast<int>(rounded);
}

ValueRange ChooseValueRange(double deviceMin, double deviceMax, double observedMin,
                            double observedMax)
{
    ValueRange result;
    double range = deviceMax - deviceMin;
    double top = deviceMax;
    if (range == 0.0 || !std::isfinite(range)) {
        top = observedMax;
        range = observedMax - observedMin;
    }
    if (range == 0.0 || !std::isfinite(range) || !std::isfinite(top)) {
        const double centre = std::isfinite(top) ? top : 0.0;
        result.top = centre + 0.5;
        result.range = 1.0;
        return result;
    }
    if (range < 0.0) {
        // A device that reports min above max: keep larger values higher up.
        top -= range;
        range = -range;
    }
    result.top = top;
    result.range = range;
    return result;
}

int SafeDivisions(int divisions) { return divisions > 0 ? divisions : 1; }

TimeGraphLayout ComputeTimeGraphLayout(int w, int h, bool strip, int gradX, double drawTime,
                                       int rightMargin, int leftMargin)
{
    TimeGraphMargins margins;
    margins.left = std::max(leftMargin, 50);
    margins.right = std::max(rightMargin, strip ? 50 : 100);
    return ComputeTimeGraphLayout(w, h, gradX, drawTime, margins);
}

TimeGraphLayout ComputeTimeGraphLayout(int w, int h, int gradX, double drawTime,
                                       const TimeGraphMargins& margins)
{
    TimeGraphLayout layout;
    layout.left = margins.left;
    layout.right = w - margins.right;
    layout.bottom = h - 30;
    layout.height = h - 130;
    const int divisions = SafeDivisions(gradX);
    layout.dx = static_cast<double>(layout.right - layout.left) / divisions;
    layout.dt = drawTime / divisions;
    layout.drawable = layout.right > layout.left && layout.height > 0;
    return layout;
}

TimeGraphMargins FitTimeGraphMargins(int w, bool strip, int leftNeed, int tagWidth,
                                     int narrowTagWidth, int legendWidth)
{
    TimeGraphMargins m;
    m.tagWidth = std::max(tagWidth, 0);
    m.legend = legendWidth > 0;
    bool fixedMargins = true;
    const auto lay = [&] {
        const int tagPart = m.tagWidth > 0 ? 6 + m.tagWidth : 0;
        m.legendOffset = tagPart + 8;
        const int needed = m.legend ? m.legendOffset + 6 + legendWidth : tagPart + 6;
        // The frame's 3-pixel lines lie 3 pixels outside the plot.
        m.left = std::max(leftNeed, fixedMargins ? 50 : 8);
        m.right = std::max(needed, fixedMargins ? (strip ? 50 : 100) : 6);
        return w - m.left - m.right >= kMinPlotWidth;
    };
    if (lay())
        return m;
    fixedMargins = false;
    if (lay())
        return m;
    if (narrowTagWidth > 0 && narrowTagWidth < m.tagWidth) {
        m.tagWidth = narrowTagWidth;
        if (lay())
            return m;
    }
    m.tagWidth = 0;
    if (lay())
        return m;
    m.legend = false;
    lay();
    return m;
}

StripLane ComputeStripLane(int lane, int laneCount, int plotHeight)
{
    StripLane result;
    const double laneHeight = static_cast<double>(plotHeight) / std::max(laneCount, 1);
    result.top = static_cast<int>(100 + lane * laneHeight);
    result.bottom = static_cast<int>(result.top + laneHeight);
    result.middle = (result.top + result.bottom) / 2;
    return result;
}

int BarLayout::Centre(int index) const
{
    return static_cast<int>(RoundHalfUp((index + 1) * spacing + left));
}

BarLayout ComputeBarLayout(int w, int h, int channelCount, int leftMargin)
{
    BarLayout layout;
    layout.left = std::max(leftMargin, 50);
    layout.right = w - 50;
    if (layout.right - layout.left < kMinPlotWidth) {
        // The frame's 3-pixel lines lie 3 pixels outside the plot.
        layout.left = std::max(leftMargin, 8);
        layout.right = w - 6;
    }
    layout.height = h - 130;
    const int n = std::max(channelCount, 1);
    layout.spacing = static_cast<double>(layout.right - layout.left) / (n + 1);
    const int width = static_cast<int>(layout.spacing / 5);
    layout.barWidth = std::min(std::max(width, 20), 200);
    layout.drawable = layout.right > layout.left && layout.height > 0 && channelCount > 0;
    return layout;
}

std::vector<PieSector> ComputePieSectors(const std::vector<double>& values,
                                         const std::vector<bool>& valid)
{
    std::vector<PieSector> sectors;
    double total = 0.0;
    for (size_t i = 0; i < values.size(); ++i)
        if (i < valid.size() && valid[i] && std::isfinite(values[i]))
            total += std::fabs(values[i]);
    if (!(total > 0.000001) || !std::isfinite(total))
        return sectors;
    double angle = 0.0;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i >= valid.size() || !valid[i] || !std::isfinite(values[i]))
            continue;
        PieSector sector;
        sector.position = static_cast<int>(i);
        sector.share = std::fabs(values[i]) / total;
        sector.start = angle;
        sector.end = angle + 360.0 * sector.share;
        sector.middle = angle + 180.0 * sector.share;
        angle = sector.end;
        sectors.push_back(sector);
    }
    return sectors;
}

PieBox ComputePieBox(int w, int h, int legendRight)
{
    PieBox box;
    box.diameter = std::min(w, h) - 200;
    // In a small view the 100-pixel margins give way first.
    if (box.diameter < kMinPlotWidth)
        box.diameter = std::min(kMinPlotWidth, std::min(w, h) - 20);
    box.left = (w - box.diameter) / 2;
    if (legendRight > 0 && box.left < legendRight + 20) {
        // Centred in the room right of the legend.
        const int room = w - legendRight - 20 - 10;
        box.diameter = std::min(box.diameter, room);
        box.left = legendRight + 20 + (room - box.diameter) / 2;
    }
    box.top = (h - box.diameter) / 2;
    box.cx = box.left + box.diameter / 2;
    box.cy = box.top + box.diameter / 2;
    box.drawable = box.diameter > 0;
    return box;
}

void QuadrantLayout::Origin(int position, int& qx, int& qy) const
{
    switch (position) {
    case 0: qx = cx; qy = 100; break;
    case 1: qx = 50; qy = 100; break;
    case 2: qx = 50; qy = cy; break;
    default: qx = cx; qy = cy; break;
    }
}

QuadrantLayout ComputeQuadrantLayout(int w, int h)
{
    QuadrantLayout layout;
    layout.pw = w - 200;
    layout.ph = h - 200;
    layout.cx = layout.pw / 2 + 50;
    layout.cy = layout.ph / 2 + 100;
    // Each quadrant keeps at least a pixel inside its 1-pixel inset.
    layout.drawable = layout.pw >= 8 && layout.ph >= 8;
    return layout;
}

double QuadrantShare(double value, double total)
{
    if (!(total > 0.0) || !std::isfinite(total) || !std::isfinite(value))
        return 0.0;
    return std::fabs(value) / total;
}

double QuadrantColourInput(double share)
{
    const double t = 1.0 - share;
    return t >= 1.0 ? 0.99 : t;
}

void ComputeColourScaleSize(int displayWidth, int displayHeight, int& width, int& height)
{
    width = std::max(displayWidth / 20, 10);
    height = std::max((displayHeight / 2 / 100) * 100, 100);
}

ParametricLayout ComputeParametricLayout(int w, int h, int leftNeed, int rightNeed,
                                         int bottomNeed)
{
    ParametricLayout layout;
    int left = std::max(75, leftNeed);
    int right = std::max(75, rightNeed);
    if (w - left - right < kMinPlotWidth) {
        // A narrow view: the fixed side margins give way to what the texts need.
        left = std::max(8, leftNeed);
        right = std::max(8, rightNeed);
    }
    const int bottom = std::max(65, bottomNeed);
    layout.d = std::min(w - left - right, h - 65 - bottom);
    layout.left = left + (w - left - right - layout.d) / 2;
    layout.right = layout.left + layout.d;
    layout.top = 65 + (h - 65 - bottom - layout.d) / 2;
    layout.bottom = layout.top + layout.d;
    layout.cx = (layout.left + layout.right) / 2;
    layout.sy = layout.top + layout.bottom;
    layout.cy = layout.sy / 2;
    layout.drawable = layout.d > 0;
    return layout;
}

int ParametricScale::ScreenX(const ParametricLayout& layout, double x) const
{
    return RoundHalfUp(scale * (x - mid) + layout.cx);
}

int ParametricScale::ScreenY(const ParametricLayout& layout, double y) const
{
    return layout.sy - RoundHalfUp(scale * (y - mid) + layout.cy);
}

ParametricScale ComputeParametricScale(const ParametricLayout& layout, double deviceMin,
                                       double deviceMax, double observedMin, double observedMax)
{
    ParametricScale result;
    const ValueRange range = ChooseValueRange(deviceMin, deviceMax, observedMin, observedMax);
    result.hi = range.top;
    result.lo = range.top - range.range;
    result.mid = (result.lo + result.hi) / 2.0;
    result.scale = layout.d / range.range;
    return result;
}

void EllipseExtent(double scale, double semiAxisA, double semiAxisB, double& width,
                   double& height)
{
    width = 2.0 * scale * semiAxisB;
    height = 2.0 * scale * semiAxisA;
}

void SpectraGrid::Cell(int index, int& x0, int& y0) const
{
    const int column = index % columns;
    const int row = index / columns;
    x0 = column * cellWidth + (row + 1 == rows ? offset : 0);
    y0 = row * cellHeight;
}

SpectraGrid ComputeSpectraGrid(int w, int h, int channelCount)
{
    SpectraGrid grid;
    const int n = std::max(channelCount, 1);
    const int a = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(n))));
    const int b = static_cast<int>(std::ceil(static_cast<double>(n) / a));
    if (h <= w) {
        grid.columns = a;
        grid.rows = b;
    } else {
        grid.columns = b;
        grid.rows = a;
    }
    grid.cellWidth = RoundHalfUp(static_cast<double>(w) / grid.columns);
    grid.cellHeight = RoundHalfUp(static_cast<double>(h) / grid.rows);
    grid.offset = ((grid.columns * grid.rows - n) * grid.cellWidth) / 2;
    return grid;
}

double SpectrumBinFrequency(double bin, double rateHz, std::uint64_t size)
{
    if (size == 0)
        return 0.0;
    return bin * rateHz / static_cast<double>(size);
}

int SpectrumBinsShown(int nbins, std::uint64_t size, double maxRateHz, double rateHz)
{
    if (nbins < 1)
        return 1;
    if (!(rateHz > 0.0) || !(maxRateHz > 0.0) || size == 0 || !std::isfinite(maxRateHz))
        return nbins;
    // Bins 0 .. floor(maxRate x size / rate); the small slack keeps a bin lying
    // exactly on the bound despite rounding.
    const double last = std::floor(maxRateHz * static_cast<double>(size) / rateHz + 1e-9);
    if (!(last < nbins))
        return nbins;
    return std::max(1, static_cast<int>(last) + 1);
}

int SpectrumPeakBin(const double* spectrum, int shown)
{
    int peak = -1;
    for (int b = 0; spectrum && b < shown; ++b) {
        if (!std::isfinite(spectrum[b]))
            continue;
        if (peak < 0 || spectrum[b] > spectrum[peak])
            peak = b;
    }
    return peak;
}

SpectrumCell ComputeSpectrumCell(int x0, int y0, int cw, int ch, const SpectrumCellText& text)
{
    SpectrumCell cell;
    cell.margin = cw / 20 + 10;
    const int th = text.lineHeight;
    cell.statLines = th > 0 ? std::max(text.statLines, 0) : 0;
    cell.peakLabel = th > 0;
    cell.frequencyLabels = text.firstHalf > 0 || text.lastHalf > 0;
    cell.levelLabels = th > 0 && text.levelWidth > 0;
    const int minHeight = std::max(2 * th, ch / 3);
    const int minWidth = cw / 3;
    int top = 0, bottom = 0, left = 0, right = 0;
    const auto lay = [&] {
        top = bottom = left = right = cell.margin;
        if (th > 0) {
            // The name line, the statistics, and the peak label 5 pixels over
            // the plot; the frequency labels 5 pixels under it.
            top = std::max(top, (th + 2) + cell.statLines * (th + 1) +
                                    (cell.peakLabel ? th + 5 : 2));
            if (cell.frequencyLabels)
                bottom = std::max(bottom, 5 + th + 2);
            if (cell.levelLabels)
                left = std::max(left, text.levelWidth + 8);
        }
        if (cell.frequencyLabels) {
            left = std::max(left, text.firstHalf + 2);
            right = std::max(right, text.lastHalf + 2);
        }
    };
    for (lay(); ch - top - bottom < minHeight; lay()) {
        if (cell.statLines > 0)
            --cell.statLines;
        else if (cell.peakLabel)
            cell.peakLabel = false;
        else if (cell.frequencyLabels)
            cell.frequencyLabels = false;
        else
            break;
    }
    for (; cw - left - right < minWidth; lay()) {
        if (cell.levelLabels)
            cell.levelLabels = false;
        else if (cell.frequencyLabels)
            cell.frequencyLabels = false;
        else
            break;
    }
    cell.left = x0 + left;
    cell.top = y0 + top;
    cell.width = cw - left - right;
    cell.height = ch - top - bottom;
    cell.bottom = y0 + ch - bottom;
    // The clip rectangle is inset by 2 and 4 pixels.
    cell.drawable = cell.width > 4 && cell.height > 6;
    return cell;
}
