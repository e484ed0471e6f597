#include "analog/curveRaster.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

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
