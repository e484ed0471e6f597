#include "analog/analogViewLayout.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(AnalogViewLayoutTest, TimeGraphMarginsAndDivisions)
{
    const TimeGraphLayout normal = ComputeTimeGraphLayout(800, 600, false, 10, 5.0);
    EXPECT_EQ(normal.right, 700);
    EXPECT_EQ(normal.bottom, 570);
    EXPECT_EQ(normal.height, 470);
    EXPECT_DOUBLE_EQ(normal.dx, 65.0);
    EXPECT_DOUBLE_EQ(normal.dt, 0.5);
    EXPECT_TRUE(normal.drawable);
    const TimeGraphLayout strip = ComputeTimeGraphLayout(800, 600, true, 10, 5.0);
    EXPECT_EQ(strip.right, 750);
    // Lanes of a 3-channel strip: height H / 3 each.
    const StripLane lane1 = ComputeStripLane(1, 3, 470);
    EXPECT_EQ(lane1.top, 256);
    EXPECT_EQ(lane1.bottom, 412);
    EXPECT_EQ(lane1.middle, 334);
}

TEST(AnalogViewLayoutTest, TimeGraphGuardsZeroDivisionsAndTinyWindows)
{
    const TimeGraphLayout zero = ComputeTimeGraphLayout(800, 600, false, 0, 5.0);
    EXPECT_TRUE(std::isfinite(zero.dx));
    EXPECT_DOUBLE_EQ(zero.dt, 5.0);
    EXPECT_FALSE(ComputeTimeGraphLayout(120, 100, false, 10, 5.0).drawable);
    EXPECT_FALSE(ComputeTimeGraphLayout(140, 600, false, 10, 5.0).drawable);
}

TEST(AnalogViewLayoutTest, ValueRangeFallsBackToObservedThenToUnitSpan)
{
    ValueRange r = ChooseValueRange(-10, 10, 3, 4);
    EXPECT_DOUBLE_EQ(r.top, 10);
    EXPECT_DOUBLE_EQ(r.range, 20);
    r = ChooseValueRange(0, 0, 2, 6);
    EXPECT_DOUBLE_EQ(r.top, 6);
    EXPECT_DOUBLE_EQ(r.range, 4);
    // A constant signal on a device without a range: finite scale around it.
    r = ChooseValueRange(1, 1, 3, 3);
    EXPECT_DOUBLE_EQ(r.top, 3.5);
    EXPECT_DOUBLE_EQ(r.range, 1);
    r = ChooseValueRange(0, 0, std::nan(""), std::nan(""));
    EXPECT_TRUE(std::isfinite(r.top));
    EXPECT_DOUBLE_EQ(r.range, 1);
}

TEST(AnalogViewLayoutTest, BarsSpacingWidthAndCentres)
{
    const BarLayout five = ComputeBarLayout(1000, 600, 5);
    EXPECT_DOUBLE_EQ(five.spacing, 150);
    EXPECT_EQ(five.barWidth, 30);
    const int centres[] = {200, 350, 500, 650, 800};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(five.Centre(i), centres[i]);
    EXPECT_EQ(ComputeBarLayout(300, 600, 40).barWidth, 20);
    EXPECT_EQ(ComputeBarLayout(5000, 600, 1).barWidth, 200);
    EXPECT_FALSE(ComputeBarLayout(12, 600, 2).drawable);
    EXPECT_FALSE(ComputeBarLayout(800, 120, 2).drawable);
}

TEST(AnalogViewLayoutTest, PieSharesUseAbsoluteValues)
{
    const auto sectors = ComputePieSectors({1, -1, 2}, {true, true, true});
    ASSERT_EQ(sectors.size(), 3u);
    EXPECT_DOUBLE_EQ(sectors[0].start, 0);
    EXPECT_DOUBLE_EQ(sectors[0].end, 90);
    EXPECT_DOUBLE_EQ(sectors[1].end, 180);
    EXPECT_DOUBLE_EQ(sectors[2].end, 360);
    EXPECT_DOUBLE_EQ(sectors[2].middle, 270);
    EXPECT_TRUE(ComputePieSectors({0, 0}, {true, true}).empty());
    // An unreadable channel is skipped, the others share the circle.
    const auto skipped = ComputePieSectors({5, 7, 5}, {true, false, true});
    ASSERT_EQ(skipped.size(), 2u);
    EXPECT_EQ(skipped[1].position, 2);
    EXPECT_DOUBLE_EQ(skipped[1].end, 360);
    const PieBox box = ComputePieBox(800, 600);
    EXPECT_EQ(box.diameter, 400);
    EXPECT_EQ(box.left, 200);
    EXPECT_EQ(box.top, 100);
    EXPECT_EQ(box.cx, 400);
    EXPECT_FALSE(ComputePieBox(15, 600).drawable);
}

TEST(AnalogViewLayoutTest, QuadrantsGoTopRightThenCounterClockwise)
{
    const QuadrantLayout q = ComputeQuadrantLayout(800, 600);
    EXPECT_EQ(q.pw, 600);
    EXPECT_EQ(q.ph, 400);
    EXPECT_EQ(q.cx, 350);
    EXPECT_EQ(q.cy, 300);
    int x = 0, y = 0;
    q.Origin(0, x, y);
    EXPECT_EQ(x, 350);
    EXPECT_EQ(y, 100);
    q.Origin(1, x, y);
    EXPECT_EQ(x, 50);
    EXPECT_EQ(y, 100);
    q.Origin(2, x, y);
    EXPECT_EQ(x, 50);
    EXPECT_EQ(y, 300);
    q.Origin(3, x, y);
    EXPECT_EQ(x, 350);
    EXPECT_EQ(y, 300);
    EXPECT_DOUBLE_EQ(QuadrantShare(40, 100), 0.4);
    EXPECT_DOUBLE_EQ(QuadrantShare(-40, 100), 0.4);
    // No load at all: 0 % rather than 0/0.
    EXPECT_DOUBLE_EQ(QuadrantShare(0, 0), 0.0);
    EXPECT_DOUBLE_EQ(QuadrantColourInput(0.0), 0.99);
    EXPECT_DOUBLE_EQ(QuadrantColourInput(1.0), 0.0);
    EXPECT_DOUBLE_EQ(QuadrantColourInput(0.25), 0.75);
    EXPECT_FALSE(ComputeQuadrantLayout(200, 600).drawable);
}

TEST(AnalogViewLayoutTest, ColourScaleImageHasAMinimumSize)
{
    int w = 0, h = 0;
    ComputeColourScaleSize(1920, 1040, w, h);
    EXPECT_EQ(w, 96);
    EXPECT_EQ(h, 500);
    ComputeColourScaleSize(0, 0, w, h);  // no display: still one row per band
    EXPECT_EQ(w, 10);
    EXPECT_EQ(h, 100);
    ComputeColourScaleSize(150, 150, w, h);
    EXPECT_EQ(w, 10);
    EXPECT_EQ(h, 100);
}

TEST(AnalogViewLayoutTest, ParametricSquareAndScale)
{
    const ParametricLayout p = ComputeParametricLayout(650, 530);
    EXPECT_EQ(p.d, 400);
    EXPECT_EQ(p.left, 125);
    EXPECT_EQ(p.right, 525);
    EXPECT_EQ(p.top, 65);
    EXPECT_EQ(p.bottom, 465);
    EXPECT_EQ(p.cx, 325);
    EXPECT_EQ(p.cy, 265);
    // Symmetric range: 0 at the centre, as drawn by every symmetric device.
    const ParametricScale sym = ComputeParametricScale(p, -10, 10, 0, 0);
    EXPECT_DOUBLE_EQ(sym.scale, 20.0);
    EXPECT_EQ(sym.ScreenX(p, 0), 325);
    EXPECT_EQ(sym.ScreenY(p, 0), 265);
    EXPECT_EQ(sym.ScreenY(p, 10), 65);
    // Observed 2..6: the labels run 2..6 and the points stay inside the square.
    const ParametricScale obs = ComputeParametricScale(p, 0, 0, 2, 6);
    EXPECT_DOUBLE_EQ(obs.scale, 100.0);
    EXPECT_EQ(obs.ScreenX(p, 2), 125);
    EXPECT_EQ(obs.ScreenX(p, 6), 525);
    EXPECT_EQ(obs.ScreenY(p, 6), 65);
    EXPECT_EQ(obs.ScreenY(p, 2), 465);
    double width = 0, height = 0;
    EllipseExtent(20.0, 3.0, 1.5, width, height);
    EXPECT_DOUBLE_EQ(width, 60.0);
    EXPECT_DOUBLE_EQ(height, 120.0);
    EXPECT_FALSE(ComputeParametricLayout(14, 600).drawable);
}

TEST(AnalogViewLayoutTest, SpectraGridForOneTwoThreeAndFiveChannels)
{
    SpectraGrid g = ComputeSpectraGrid(800, 600, 1);
    EXPECT_EQ(g.columns, 1);
    EXPECT_EQ(g.rows, 1);
    EXPECT_EQ(g.cellWidth, 800);
    g = ComputeSpectraGrid(800, 600, 2);
    EXPECT_EQ(g.columns, 2);
    EXPECT_EQ(g.rows, 1);
    g = ComputeSpectraGrid(600, 800, 2);
    EXPECT_EQ(g.columns, 1);
    EXPECT_EQ(g.rows, 2);
    g = ComputeSpectraGrid(800, 600, 3);
    EXPECT_EQ(g.columns, 2);
    EXPECT_EQ(g.rows, 2);
    int x = 0, y = 0;
    g.Cell(2, x, y);
    EXPECT_EQ(x, 200);  // centred: shifted by cw / 2
    EXPECT_EQ(y, 300);
    g.Cell(1, x, y);
    EXPECT_EQ(x, 400);
    EXPECT_EQ(y, 0);
    g = ComputeSpectraGrid(900, 600, 5);
    EXPECT_EQ(g.columns, 3);
    EXPECT_EQ(g.rows, 2);
    g.Cell(3, x, y);
    EXPECT_EQ(x, 150);
    g.Cell(4, x, y);
    EXPECT_EQ(x, 450);
    EXPECT_EQ(y, 300);
}

TEST(AnalogViewLayoutTest, SpectrumBinsAndCellMargins)
{
    EXPECT_EQ(SpectrumBinsShown(129, 256, 50, 100), 129);
    EXPECT_EQ(SpectrumBinsShown(129, 256, 25, 100), 65);
    // A max rate above the Nyquist frequency never shows more than the spectrum.
    EXPECT_EQ(SpectrumBinsShown(129, 256, 80, 100), 129);
    EXPECT_EQ(SpectrumBinsShown(129, 256, 0.001, 100), 1);
    const SpectrumCell cell = ComputeSpectrumCell(0, 0, 400, 300);
    EXPECT_EQ(cell.margin, 30);
    EXPECT_EQ(cell.width, 340);
    EXPECT_EQ(cell.bottom, 270);
    EXPECT_FALSE(ComputeSpectrumCell(0, 0, 20, 300).drawable);
}

// The left margin follows the value labels; the plot keeps its right edge.
TEST(AnalogViewLayoutTest, LeftMarginFollowsTheValueLabels)
{
    const TimeGraphLayout wide = ComputeTimeGraphLayout(800, 600, false, 10, 5.0, 0, 90);
    EXPECT_EQ(wide.left, 90);
    EXPECT_EQ(wide.right, 700);
    EXPECT_DOUBLE_EQ(wide.dx, 61.0);
    EXPECT_EQ(ComputeTimeGraphLayout(800, 600, false, 10, 5.0, 0, 20).left, 50);
    const BarLayout bars = ComputeBarLayout(1000, 600, 4, 100);
    EXPECT_EQ(bars.left, 100);
    EXPECT_DOUBLE_EQ(bars.spacing, 170.0);
    EXPECT_EQ(bars.Centre(0), 270);
    EXPECT_EQ(bars.Centre(3), 780);
    EXPECT_FALSE(ComputeBarLayout(300, 600, 4, 300).drawable);
}

// The plot of a spectrum cell comes first: the texts around it go, the
// statistics first, until it keeps a third of the cell.
TEST(AnalogViewLayoutTest, SpectrumCellGivesUpTextsBeforeItsPlot)
{
    SpectrumCellText text;
    text.lineHeight = 15;
    text.levelWidth = 35;
    text.firstHalf = 10;
    text.lastHalf = 14;
    text.statLines = 2;
    // Room for everything.
    SpectrumCell cell = ComputeSpectrumCell(0, 0, 320, 360, text);
    EXPECT_EQ(cell.statLines, 2);
    EXPECT_TRUE(cell.peakLabel && cell.frequencyLabels && cell.levelLabels);
    EXPECT_EQ(cell.top, 17 + 2 * 16 + 20);
    // 16 channels at 640x480: the second line goes.
    cell = ComputeSpectrumCell(0, 0, 160, 120, text);
    EXPECT_EQ(cell.statLines, 1);
    EXPECT_GE(cell.height, 40);
    // 64 channels at 1280x720: no statistics, the plot a third of the cell.
    cell = ComputeSpectrumCell(0, 0, 160, 90, text);
    EXPECT_EQ(cell.statLines, 0);
    EXPECT_TRUE(cell.peakLabel);
    EXPECT_GE(cell.height, 30);
    // 64 channels at 640x480: the peak and frequency labels go too.
    cell = ComputeSpectrumCell(0, 0, 80, 60, text);
    EXPECT_EQ(cell.statLines, 0);
    EXPECT_FALSE(cell.peakLabel);
    EXPECT_FALSE(cell.frequencyLabels);
    EXPECT_TRUE(cell.drawable);
    EXPECT_GE(cell.height, 25);
    // A narrow cell gives up its level scale.
    cell = ComputeSpectrumCell(0, 0, 70, 300, text);
    EXPECT_FALSE(cell.levelLabels);
    EXPECT_GE(cell.width, 70 / 3);
}

// In a narrow view (the minimum window's) the margins give way before the
// plot does: the fixed ones, then the newest values' column, then the legend.
TEST(AnalogViewLayoutTest, NarrowViewKeepsItsPlotBeforeItsMargins)
{
    // Wide: the fixed margins and everything in them.
    TimeGraphMargins m = FitTimeGraphMargins(1280, false, 40, 70, 45, 120);
    EXPECT_EQ(m.left, 50);
    EXPECT_EQ(m.tagWidth, 70);
    EXPECT_TRUE(m.legend);
    EXPECT_EQ(m.legendOffset, 6 + 70 + 8);
    EXPECT_EQ(m.right, 6 + 70 + 8 + 6 + 120);
    EXPECT_EQ(FitTimeGraphMargins(1280, false, 40, 10, 10, 0).right, 100);
    EXPECT_EQ(FitTimeGraphMargins(1280, true, 0, 10, 10, 0).right, 50);
    for (int w : {185, 200, 240, 300, 400}) {
        for (bool strip : {false, true}) {
            SCOPED_TRACE(testing::Message() << w << " pixels, strip " << strip);
            m = FitTimeGraphMargins(w, strip, 38, 70, 45, strip ? 0 : 110);
            const TimeGraphLayout layout = ComputeTimeGraphLayout(w, 500, 10, 5.0, m);
            EXPECT_GE(layout.right - layout.left, kMinPlotWidth);
            EXPECT_GE(layout.left, 38);  // the value labels keep their room
            EXPECT_EQ(w - layout.right, m.right);
        }
    }
    // What goes, in order.
    m = FitTimeGraphMargins(270, false, 38, 70, 45, 60);
    EXPECT_TRUE(m.legend);
    EXPECT_EQ(m.tagWidth, 45);
    m = FitTimeGraphMargins(230, false, 38, 70, 45, 60);
    EXPECT_TRUE(m.legend);
    EXPECT_EQ(m.tagWidth, 0);
    m = FitTimeGraphMargins(185, false, 38, 70, 45, 60);
    EXPECT_FALSE(m.legend);
    EXPECT_EQ(m.tagWidth, 0);
    // Bars: the fixed margins give way too.
    for (int w : {185, 200, 240}) {
        const BarLayout bars = ComputeBarLayout(w, 500, 8, 38);
        EXPECT_TRUE(bars.drawable);
        EXPECT_GE(bars.right - bars.left, kMinPlotWidth) << w;
        EXPECT_LE(bars.right, w - 6);
    }
    const BarLayout wide = ComputeBarLayout(1000, 500, 8, 38);
    EXPECT_EQ(wide.left, 50);
    EXPECT_EQ(wide.right, 950);
    // The parametric square and the pie: their fixed margins give way too.
    for (int w : {185, 240}) {
        const ParametricLayout p = ComputeParametricLayout(w, 480, 60, 8);
        EXPECT_GE(p.d, kMinPlotWidth) << w;
        EXPECT_GE(p.left, 60);
        EXPECT_LE(p.right, w - 8);
        EXPECT_GE(ComputePieBox(w, 480).diameter, kMinPlotWidth) << w;
    }
    EXPECT_EQ(ComputeParametricLayout(650, 530).d, 400);  // the margins of a wide view stay
    EXPECT_EQ(ComputePieBox(800, 600).diameter, 400);
}
