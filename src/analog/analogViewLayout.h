#pragma once

#include <cstdint>
#include <vector>

// Pixel layout of the 2D view's display modes, as plain arithmetic so that it
// is tested against known sizes without drawing. Any thread (no state).
// Coordinates: client pixels, origin top left, y downwards.

// Value labels left of a plot start at this x and end at least this many
// pixels left of the plot (its frame's 3-pixel line runs 3 pixels left of it).
constexpr int kValueLabelLeft = 2;
constexpr int kValueLabelGap = 7;

// floor(v + 0.5): the drawers' rounding.
int RoundHalfUp(double value);

// Vertical value scale: the value at the top of the plot and the span.
struct ValueRange {
    double top = 1.0;
    double range = 1.0;
};

// The device range; when it is 0 the observed range; when that is 0 too (or not
// a number) a span of 1 centred on the value, so the scale stays finite.
ValueRange ChooseValueRange(double deviceMin, double deviceMax, double observedMin,
                            double observedMax);

// Grid divisions as used for drawing: 0 or less counts as 1.
int SafeDivisions(int divisions);

// Normal (overlaid) and strip (lanes) time graph.
struct TimeGraphLayout {
    int left = 50;
    int top = 100;
    int right = 0;    // R
    int bottom = 0;   // B
    int height = 0;   // H
    double dx = 0.0;  // pixels per time division
    double dt = 0.0;  // seconds per time division
    bool drawable = false;  // plot width and height above 0
};
// rightMargin: pixels right of the plot for the legend and the newest values;
// 0 or less takes the fixed margin (100 normal, 50 strip). leftMargin: pixels
// left of the plot for the value labels, at least 50.
TimeGraphLayout ComputeTimeGraphLayout(int w, int h, bool strip, int gradX, double drawTime,
                                       int rightMargin = 0, int leftMargin = 0);

// The narrowest plot a view keeps while it is wide enough: its margins give
// way first.
constexpr int kMinPlotWidth = 100;

// Margins of a time graph and what they hold. Texts right of the plot: the
// newest values' column 6 pixels from it, then the legend.
struct TimeGraphMargins {
    int left = 50;         // pixels left of the plot
    int right = 100;       // pixels right of the plot
    int tagWidth = 0;      // the newest values' column; 0: no values
    bool legend = false;   // the legend is shown
    int legendOffset = 0;  // pixels from the plot's right edge to the legend
};
// leftNeed: what the value labels need; tagWidth the newest values' column,
// narrowTagWidth the same for values of the range only (no exponent form);
// legendWidth the whole legend (0: none). In a narrow view the margins give
// way before the plot keeps less than kMinPlotWidth: the fixed ones (50 left,
// 100 or 50 right) shrink to their texts, the values' column narrows to
// narrowTagWidth, then the values go, then the legend.
TimeGraphMargins FitTimeGraphMargins(int w, bool strip, int leftNeed, int tagWidth,
                                     int narrowTagWidth, int legendWidth);
// The time graph between margins as fitted.
TimeGraphLayout ComputeTimeGraphLayout(int w, int h, int gradX, double drawTime,
                                       const TimeGraphMargins& margins);

// One lane of strip mode.
struct StripLane {
    int top = 0;
    int bottom = 0;
    int middle = 0;
};
StripLane ComputeStripLane(int lane, int laneCount, int plotHeight);

// Bar mode: spacing, bar width and bar centres.
struct BarLayout {
    int left = 50;    // plot's left edge
    int right = 0;    // plot's right edge: 50 pixels from the view's
    double spacing = 0.0;
    int barWidth = 20;
    int height = 0;  // plot height H
    bool drawable = false;
    int Centre(int index) const;
};
// leftMargin: pixels left of the plot for the value labels, at least 50. In a
// narrow view the fixed margins give way to what the labels need before the
// plot keeps less than kMinPlotWidth.
BarLayout ComputeBarLayout(int w, int h, int channelCount, int leftMargin = 0);

// Pie mode: sector angles in degrees counter-clockwise from the positive x axis.
struct PieSector {
    int position = 0;  // visible-list position
    double share = 0.0;
    double start = 0.0;
    double end = 0.0;
    double middle = 0.0;
};
// values[i] with valid[i]; an empty result when the total is at most 1e-6.
std::vector<PieSector> ComputePieSectors(const std::vector<double>& values,
                                         const std::vector<bool>& valid);
struct PieBox {
    int diameter = 0;
    int left = 0;
    int top = 0;
    int cx = 0;
    int cy = 0;
    bool drawable = false;
};
// legendRight: the right edge of a legend at the view's left (0: none); the
// pie keeps 20 pixels right of it and 10 from the view's right edge. In a
// small view the 100-pixel margins give way before the pie is narrower than
// kMinPlotWidth.
PieBox ComputePieBox(int w, int h, int legendRight = 0);

// Balance-board quadrant display.
struct QuadrantLayout {
    int pw = 0;  // board width
    int ph = 0;  // board height
    int cx = 0;  // x of the vertical centre line
    int cy = 0;  // y of the horizontal centre line
    bool drawable = false;
    // Top left of the quadrant of channel position 0 (top right), 1 (top
    // left), 2 (bottom left) or 3 (bottom right).
    void Origin(int position, int& qx, int& qy) const;
};
QuadrantLayout ComputeQuadrantLayout(int w, int h);
// Share of one load and the colour-map input for it; a zero total gives 0 %
// in the no-load colour.
double QuadrantShare(double value, double total);
double QuadrantColourInput(double share);

// Size of the colour-scale image for a display client area: a twentieth of
// its width by half its height in whole hundreds, never below 10 x 100 (one
// pixel row per band), so a tiny or missing display still gives an image.
void ComputeColourScaleSize(int displayWidth, int displayHeight, int& width, int& height);

// Parametric mode: the square plot and its value mapping.
struct ParametricLayout {
    int d = 0;
    int left = 0;
    int right = 0;
    int top = 0;
    int bottom = 0;
    int cx = 0;
    int cy = 0;
    int sy = 0;  // top + bottom
    bool drawable = false;
};
// The square between margins of at least 75 (left, right) and 65 (top,
// bottom) pixels, centred in the room they leave; a margin grows to what its
// texts need (leftNeed, rightNeed, bottomNeed). In a view too narrow for a
// kMinPlotWidth square the side margins shrink to their texts' needs.
ParametricLayout ComputeParametricLayout(int w, int h, int leftNeed = 0, int rightNeed = 0,
                                         int bottomNeed = 0);

// Maps values to the square: the middle of [lo, hi] lies at the centre on both
// axes, so the grid labels (lo..hi) and the drawn points agree.
struct ParametricScale {
    double lo = -1.0;
    double hi = 1.0;
    double scale = 1.0;  // pixels per unit
    double mid = 0.0;
    int ScreenX(const ParametricLayout& layout, double x) const;
    int ScreenY(const ParametricLayout& layout, double y) const;
};
ParametricScale ComputeParametricScale(const ParametricLayout& layout, double deviceMin,
                                       double deviceMax, double observedMin, double observedMax);

// Extent in pixels of the confidence ellipse: full width along the slope
// direction and full height across it.
void EllipseExtent(double scale, double semiAxisA, double semiAxisB, double& width,
                   double& height);

// Power-spectrum mode: the cell grid.
struct SpectraGrid {
    int columns = 1;
    int rows = 1;
    int cellWidth = 0;
    int cellHeight = 0;
    int offset = 0;  // x shift of the cells of an incomplete last row
    void Cell(int index, int& x0, int& y0) const;
};
SpectraGrid ComputeSpectraGrid(int w, int h, int channelCount);

// Frequency of bin b of a transform of size samples at rateHz: b x rate / size.
double SpectrumBinFrequency(double bin, double rateHz, std::uint64_t size);
// Bins of a spectrum of nbins (transform of size samples) whose frequency lies
// within 0 .. maxRate for a device at rateHz: between 1 and nbins.
int SpectrumBinsShown(int nbins, std::uint64_t size, double maxRateHz, double rateHz);
// The strongest of the first shown bins (the first of equal ones); -1 when
// none is a number.
int SpectrumPeakBin(const double* spectrum, int shown);

// Sizes of the texts around a spectrum plot: the plot gives them room.
struct SpectrumCellText {
    int lineHeight = 0;     // height of a line of text
    int levelWidth = 0;     // widest level-scale label, left of the plot
    int firstHalf = 0;      // half the width of the first frequency label
    int lastHalf = 0;       // half the width of the last frequency label
    int statLines = 0;      // lines of statistics above the peak label
};

// Plot rectangle inside a spectrum cell, and the texts around it that have room.
struct SpectrumCell {
    int margin = 0;
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    int bottom = 0;
    bool drawable = false;
    int statLines = 0;             // statistics lines kept (the first ones)
    bool peakLabel = false;        // the peak's frequency over the plot
    bool frequencyLabels = false;  // the labels under the frequency ticks
    bool levelLabels = false;      // the level scale left of the plot
};
// Below the cell's top: the name line, the statistics lines, the peak label;
// below the plot the frequency labels; the level scale on the left. Each
// margin is at least the one of an empty cell (a twentieth of its width and 10).
// The plot comes first: where it would be lower than a third of the cell (and
// two lines) the statistics lines go, then the peak label, then the frequency
// labels; where it would be narrower than a third of the cell the level scale
// goes, then the frequency labels.
SpectrumCell ComputeSpectrumCell(int x0, int y0, int cw, int ch,
                                 const SpectrumCellText& text = SpectrumCellText());
