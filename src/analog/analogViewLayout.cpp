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

TimeGraphLayout ComputeTimeGraphLayout(int w, int h, bool strip, int gradX, double drawTime)
{
    TimeGraphLayout layout;
    layout.right = strip ? w - 50 : w - 100;
    layout.bottom = h - 30;
    layout.height = h - 130;
    const int divisions = SafeDivisions(gradX);
    layout.dx = static_cast<double>(layout.right - 50) / divisions;
    layout.dt = drawTime / divisions;
    layout.drawable = layout.right > layout.left && layout.height > 0;
    return layout;
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
    return static_cast<int>(RoundHalfUp((index + 1) * spacing + 50));
}

BarLayout ComputeBarLayout(int w, int h, int channelCount)
{
    BarLayout layout;
    layout.height = h - 130;
    const int n = std::max(channelCount, 1);
    layout.spacing = static_cast<double>(w - 100) / (n + 1);
    const int width = static_cast<int>(layout.spacing / 5);
    layout.barWidth = std::min(std::max(width, 20), 200);
    layout.drawable = w > 100 && layout.height > 0 && channelCount > 0;
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

PieBox ComputePieBox(int w, int h)
{
    PieBox box;
    box.diameter = std::min(w, h) - 200;
    box.left = (w - box.diameter) / 2;
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

ParametricLayout ComputeParametricLayout(int w, int h)
{
    ParametricLayout layout;
    layout.d = std::min(w - 150, h - 130);
    layout.left = static_cast<int>((w - layout.d) * 0.5);
    layout.right = layout.left + layout.d;
    layout.top = static_cast<int>((h - layout.d) * 0.5);
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

int SpectrumBinsShown(int nbins, double maxRateHz, double rateHz)
{
    if (nbins < 1)
        return 1;
    if (!(rateHz > 0.0) || !(maxRateHz > 0.0))
        return nbins;
    const int shown = RoundHalfUp(nbins * maxRateHz / (rateHz * 0.5));
    return std::max(1, std::min(shown, nbins));
}

SpectrumCell ComputeSpectrumCell(int x0, int y0, int cw, int ch)
{
    SpectrumCell cell;
    cell.margin = cw / 20 + 10;
    cell.left = x0 + cell.margin;
    cell.top = y0 + cell.margin;
    cell.width = cw - 2 * cell.margin;
    cell.height = ch - 2 * cell.margin;
    cell.bottom = y0 + ch - cell.margin;
    // The clip rectangle is inset by 2 and 4 pixels.
    cell.drawable = cell.width > 4 && cell.height > 6;
    return cell;
}
