#include "analog/curveRaster.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <vector>

namespace {

int AlphaAt(const CCurveRaster& raster, int x, int y)
{
    return raster.AlphaAt(x, y);
}

int RedAt(const CCurveRaster& raster, int x, int y)
{
    return raster.RgbAt(x, y)[0];
}

}  // namespace

TEST(CurveRasterTest, HorizontalLineCoversTwoRowsFully)
{
    CCurveRaster raster;
    raster.Reset(20, 10);
    EXPECT_TRUE(raster.IsEmpty());
    const double xy[] = {2.0, 5.0, 17.0, 5.0};
    raster.DrawPolyline(xy, 2, 255, 0, 0, 2);
    EXPECT_EQ(AlphaAt(raster, 10, 4), 255);
    EXPECT_EQ(AlphaAt(raster, 10, 5), 255);
    EXPECT_EQ(AlphaAt(raster, 10, 3), 0);
    EXPECT_EQ(AlphaAt(raster, 10, 6), 0);
    EXPECT_EQ(RedAt(raster, 10, 4), 255);
    EXPECT_EQ(raster.Top(), 4);
    EXPECT_EQ(raster.Bottom(), 5);
}

TEST(CurveRasterTest, SteepAndShallowLinesKeepTheirWeight)
{
    CCurveRaster raster;
    raster.Reset(100, 100);
    const double diagonal[] = {10.0, 10.0, 90.0, 90.0};
    raster.DrawPolyline(diagonal, 2, 0, 255, 0, 2);
    // Across a 45 degree line of width 2, a row holds about 2 x sqrt(2) of coverage.
    double sum = 0.0;
    for (int x = 0; x < 100; ++x)
        sum += AlphaAt(raster, x, 50) / 255.0;
    EXPECT_NEAR(sum, 2.0 * std::sqrt(2.0), 0.3);
}

TEST(CurveRasterTest, NotANumberBreaksTheLineAndFarPointsAreCheap)
{
    CCurveRaster raster;
    raster.Reset(50, 50);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double xy[] = {0.0, 10.0, 20.0, 10.0, nan, nan, 30.0, 40.0, 45.0, 40.0};
    raster.DrawPolyline(xy, 5, 255, 255, 255, 2);
    EXPECT_GT(AlphaAt(raster, 10, 10), 0);
    EXPECT_EQ(AlphaAt(raster, 25, 25), 0);  // no line through the gap
    EXPECT_GT(AlphaAt(raster, 40, 40), 0);
    const auto start = std::chrono::steady_clock::now();
    const double far[] = {-1e300, 1e300, 1e300, -1e300, 1e12, 5.0, -1e12, 5.0};
    raster.DrawPolyline(far, 4, 255, 255, 255, 2);
    // Bounds a broken build only: the far segment is walked within the layer.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(CurveRasterTest, FillRunsBetweenCurveAndLevelAndBlendsOver)
{
    CCurveRaster raster;
    raster.Reset(10, 10);
    const double xy[] = {0.0, 2.0, 10.0, 2.0};
    const CCurveRaster::Rgba blue{0, 0, 255, 128};
    raster.FillToLevel(xy, 2, 6.0, blue, blue, 0, 0, 10, 10);
    EXPECT_EQ(AlphaAt(raster, 5, 1), 0);
    EXPECT_EQ(AlphaAt(raster, 5, 2), 128);
    EXPECT_EQ(AlphaAt(raster, 5, 5), 128);
    EXPECT_EQ(AlphaAt(raster, 5, 6), 0);
    // A second translucent layer over the first: 1 - 0.5 x 0.5 opaque.
    raster.FillToLevel(xy, 2, 6.0, blue, blue, 0, 0, 10, 10);
    EXPECT_NEAR(AlphaAt(raster, 5, 3), 192, 1);
    // Below the level as well (negative values hang down).
    raster.Reset(10, 10);
    const double low[] = {0.0, 8.0, 10.0, 8.0};
    const CCurveRaster::Rgba dark{0, 0, 0, 255};
    const CCurveRaster::Rgba light{200, 200, 200, 255};
    raster.FillToLevel(low, 2, 4.0, dark, light, 0, 0, 0, 10);
    EXPECT_EQ(AlphaAt(raster, 5, 3), 0);
    EXPECT_EQ(AlphaAt(raster, 5, 4), 255);
    EXPECT_LT(RedAt(raster, 5, 4), RedAt(raster, 5, 7));  // the gradient runs downwards
    // Colour is kept premultiplied: half-covered red reads half red.
    raster.Reset(10, 10);
    const CCurveRaster::Rgba red{255, 0, 0, 128};
    raster.FillToLevel(xy, 2, 6.0, red, red, 0, 0, 10, 10);
    EXPECT_EQ(RedAt(raster, 5, 3), 128);
}

TEST(CurveRasterTest, AreaDrawnManyColumnsAtOnceMatchesColumnByColumn)
{
    // A wavy curve over 37 columns: the runs overlap partly, so the wide paths
    // (eight and four columns, the eight in bands of rows) and the single-column
    // path all work; each column alone must give the same pixels. The
    // gradients run inside the area, off both of its ends, and change steps by
    // a huge amount per row.
    constexpr int kWidth = 37;
    constexpr int kHeight = 60;
    std::vector<double> xy;
    for (int i = 0; i <= 2 * kWidth; ++i) {
        xy.push_back(i * 0.5);
        xy.push_back(30.0 + 25.0 * std::sin(i * 0.37) + (i % 5 == 0 ? 7.0 : 0.0));
    }
    const CCurveRaster::Rgba dark{10, 40, 90, 128};
    const CCurveRaster::Rgba light{250, 200, 120, 128};
    struct Gradient {
        double x0, y0, x1, y1;
    };
    for (const Gradient& g : {Gradient{0, 0, kWidth, kHeight}, Gradient{10, 20, 14, 30},
                              Gradient{0, 30, 0, 30.00001}, Gradient{5, 50, 30, 5}}) {
        SCOPED_TRACE(g.y1);
        CCurveRaster whole;
        whole.Reset(kWidth, kHeight);
        whole.FillToLevel(xy.data(), xy.size() / 2, 31.0, dark, light, g.x0, g.y0, g.x1, g.y1);
        whole.FillToLevel(xy.data(), xy.size() / 2, 20.0, light, dark, g.x0, g.y0, g.x1, g.y1);
        CCurveRaster single;
        single.Reset(kWidth, kHeight);
        for (double level : {31.0, 20.0}) {
            for (int column = 0; column < kWidth; ++column) {
                // The curve's height at the column's centre, held across the column.
                const size_t i = static_cast<size_t>(2 * column + 1);
                const double y = xy[2 * i + 1];
                const double flat[] = {static_cast<double>(column), y, column + 1.0, y};
                single.FillToLevel(flat, 2, level, level == 31.0 ? dark : light,
                                   level == 31.0 ? light : dark, g.x0, g.y0, g.x1, g.y1);
            }
        }
        int differing = 0;
        for (int x = 0; x < kWidth; ++x)
            for (int y = 0; y < kHeight; ++y)
                if (whole.WordAt(x, y) != single.WordAt(x, y))
                    ++differing;
        EXPECT_EQ(differing, 0);
        EXPECT_GT(whole.AlphaAt(20, 31), 0);  // something was drawn
    }
}

TEST(CurveRasterTest, DottedRowTwoOnTwoOffAndCopiedStraight)
{
    CCurveRaster raster;
    raster.Reset(12, 4);
    raster.DrawDottedRow(2, -3, 20, 200, 100, 50, 255);
    const int expected[12] = {0, 255, 255, 0, 0, 255, 255, 0, 0, 255, 255, 0};
    for (int x = 0; x < 12; ++x)
        EXPECT_EQ(AlphaAt(raster, x, 2), expected[x]) << "x " << x;
    EXPECT_EQ(raster.Top(), 2);
    EXPECT_EQ(raster.Bottom(), 2);
    // Straight colour out: a half-covered pixel reads its full colour.
    raster.Reset(12, 4);
    raster.DrawDottedRow(1, 0, 11, 200, 100, 50, 128);
    std::vector<std::uint8_t> rgba(12 * 4 * 2, 0xff);
    raster.CopyRowsRgba(rgba.data(), 12 * 4, 2);
    EXPECT_NEAR(rgba[0], 200, 1);
    EXPECT_NEAR(rgba[1], 100, 1);
    EXPECT_NEAR(rgba[2], 50, 1);
    EXPECT_EQ(rgba[3], 128);
    EXPECT_EQ(rgba[2 * 4 + 3], 0);       // a gap
    EXPECT_EQ(rgba[12 * 4 + 3], 0);      // the row below the drawn one is cleared
    // Opaque pixels come out in the same byte order; the layer holds the
    // display's native words (alpha, red, green, blue from the high byte).
    raster.Reset(12, 4);
    raster.DrawDottedRow(0, 0, 11, 200, 100, 50, 255);
    EXPECT_EQ(raster.WordAt(1, 0), 0xffc86432u);
    EXPECT_EQ(raster.RgbAt(1, 0)[0], 200);
    EXPECT_EQ(raster.RgbAt(1, 0)[2], 50);
    raster.CopyRowsRgba(rgba.data(), 12 * 4, 2);
    EXPECT_EQ(rgba[4], 200);
    EXPECT_EQ(rgba[5], 100);
    EXPECT_EQ(rgba[6], 50);
    EXPECT_EQ(rgba[7], 255);
}

// A level line is drawn row by row; over a filled background its pixels must
// be those of the general stroke (a line off level by far less than a pixel),
// also at partly covered rows and where it leaves the layer.
TEST(CurveRasterTest, LevelLineMatchesGeneralStroke)
{
    for (const double y : {10.37, 0.2, 39.83, 20.07}) {
        for (const int lineWidth : {1, 2, 3}) {
            CCurveRaster level;
            CCurveRaster general;
            for (CCurveRaster* raster : {&level, &general}) {
                raster->Reset(300, 40);
                const double area[] = {0.0, 5.0, 150.0, 35.0, 300.0, 12.0};
                raster->FillToLevel(area, 3, 20.0, {200, 40, 90, 128}, {20, 140, 190, 128}, 0.0, 0.0,
                                    300.0, 40.0);
            }
            const double flat[] = {-2.0, y, 250.3, y};
            const double tilted[] = {-2.0, y, 250.3, y + 1e-9};
            level.DrawPolyline(flat, 2, 10, 220, 30, lineWidth);
            general.DrawPolyline(tilted, 2, 10, 220, 30, lineWidth);
            ASSERT_EQ(level.Top(), general.Top());
            ASSERT_EQ(level.Bottom(), general.Bottom());
            for (int row = 0; row < 40; ++row)
                for (int x = 0; x < 300; ++x)
                    ASSERT_EQ(level.WordAt(x, row), general.WordAt(x, row))
                            << "y " << y << " width " << lineWidth << " at " << x << "," << row;
        }
    }
}
