#include "dsp/cpStat.h"

#include "support/logCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <random>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Points = std::vector<std::pair<double, double>>;

struct Ellipse {
    double meanX, meanY, varX, varY, cov;
};

// Two-pass statistics of the points, the reference for the running ones.
Ellipse TwoPass(const Points& points)
{
    const double n = static_cast<double>(points.size());
    Ellipse e{0, 0, 0, 0, 0};
    for (const auto& [x, y] : points) {
        e.meanX += x;
        e.meanY += y;
    }
    e.meanX /= n;
    e.meanY /= n;
    for (const auto& [x, y] : points) {
        e.varX += (x - e.meanX) * (x - e.meanX);
        e.varY += (y - e.meanY) * (y - e.meanY);
        e.cov += (x - e.meanX) * (y - e.meanY);
    }
    e.varX /= n - 1.0;
    e.varY /= n - 1.0;
    e.cov /= n - 1.0;
    return e;
}

double PathLength(const Points& points)
{
    double length = 0.0;
    for (std::size_t i = 1; i < points.size(); ++i)
        length += std::hypot(points[i].first - points[i - 1].first,
                             points[i].second - points[i - 1].second);
    return length;
}

// Four points whose sample covariance is exactly [[varX, cov], [cov, varY]] up
// to rounding: +-sqrt(3/2) along each axis, coloured by the Cholesky factor.
Points WithCovariance(double varX, double varY, double cov)
{
    const double r = std::sqrt(1.5);
    const double l11 = std::sqrt(varX), l21 = cov / l11, l22 = std::sqrt(varY - l21 * l21);
    Points points;
    for (auto [u, v] : {std::pair(r, 0.0), std::pair(0.0, r), std::pair(-r, 0.0), std::pair(0.0, -r)})
        points.emplace_back(l11 * u, l21 * u + l22 * v);
    return points;
}

CCPStat::Results Feed(CCPStat& stat, const Points& points)
{
    for (const auto& [x, y] : points) stat.Add(x, y);
    return stat.GetResults();
}

}  // namespace

TEST(CPStatTest, WindowIsAtLeastTenAndResetEmptiesIt)
{
    CCPStat stat;
    EXPECT_EQ(stat.GetWindow(), 750);
    EXPECT_EQ(stat.GetLevel(), 4);
    EXPECT_DOUBLE_EQ(stat.GetChiSquare(), 10.597);
    Feed(stat, WithCovariance(4.0, 4.0, 1.0));
    ASSERT_GT(stat.GetResults().area, 0.0);

    stat.SetWindow(750);  // same window: emptied, not re-created
    CCPStat::Results r = stat.GetResults();
    EXPECT_EQ(r.count, 0);
    EXPECT_EQ(r.area, 0.0);
    EXPECT_EQ(r.pathLength, 0.0);
    double x = -1.0, y = -1.0;
    stat.GetOldest(x, y);
    EXPECT_EQ(x, 0.0);
    EXPECT_EQ(y, 0.0);

    stat.SetWindow(5);
    EXPECT_EQ(stat.GetWindow(), 10);

    CLogCapture log;
    stat.SetWindow(std::numeric_limits<int>::max());
    EXPECT_EQ(stat.GetWindow(), CCPStat::kMaxWindow);
    EXPECT_EQ(log.Warnings(), 1);
}

TEST(CPStatTest, FirstSampleSetsTheMeansOnly)
{
    CCPStat stat;
    Feed(stat, WithCovariance(4.0, 4.0, 1.0));
    const CCPStat::Results before = stat.GetResults();
    stat.Reset(false);
    stat.Add(3.0, -2.0);
    const CCPStat::Results r = stat.GetResults();
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(r.meanX, 3.0);
    EXPECT_EQ(r.meanY, -2.0);
    EXPECT_EQ(r.pathLength, 0.0);
    EXPECT_EQ(r.a, before.a);  // nothing computed
    EXPECT_EQ(r.slope, before.slope);
}

TEST(CPStatTest, FullWindowDropsTheOldestSampleAndSegment)
{
    CCPStat stat;
    stat.SetWindow(10);
    Points points;
    for (int i = 0; i < 11; ++i) points.emplace_back(i * i * 0.5, (i % 3) * 2.0);
    const CCPStat::Results r = Feed(stat, points);
    const Points window(points.begin() + 1, points.end());
    const Ellipse e = TwoPass(window);
    EXPECT_EQ(r.count, 10);
    EXPECT_NEAR(r.pathLength, PathLength(window), 1e-9);
    EXPECT_NEAR(r.meanX, e.meanX, 1e-12);
    EXPECT_NEAR(r.meanY, e.meanY, 1e-12);
    double x = 0.0, y = 0.0;
    stat.GetOldest(x, y);
    EXPECT_EQ(x, points[1].first);
}

TEST(CPStatTest, ShortPathShowsNoEllipse)
{
    CCPStat stat;
    const CCPStat::Results r = Feed(stat, {{0.0, 0.0}, {0.3, 0.1}, {0.1, 0.4}, {0.2, 0.2}});
    EXPECT_LT(r.pathLength, 1.0);
    EXPECT_EQ(r.a, 0.0);
    EXPECT_EQ(r.b, 0.0);
    EXPECT_EQ(r.area, 0.0);
}

TEST(CPStatTest, EllipseAxesFollowTheCovariance)
{
    const double chi = 10.597;
    {
        CCPStat stat;  // spread along y = x
        const CCPStat::Results r = Feed(stat, WithCovariance(4.0, 4.0, 3.0));
        EXPECT_NEAR(r.slope, -1.0, 1e-12);
        EXPECT_NEAR(r.a, std::sqrt(chi * 7.0), 1e-9);
        EXPECT_NEAR(r.b, std::sqrt(chi * 1.0), 1e-9);
        EXPECT_NEAR(r.area, r.a * r.b * 3.141592653589793, 1e-9);
    }
    {
        CCPStat stat;  // spread along y = -x
        const CCPStat::Results r = Feed(stat, WithCovariance(4.0, 4.0, -3.0));
        EXPECT_NEAR(r.slope, 1.0, 1e-12);
        EXPECT_NEAR(r.a, std::sqrt(chi * 7.0), 1e-9);
    }
    {
        CCPStat stat;  // var x 2, var y 1, cov 0.5
        const CCPStat::Results r = Feed(stat, WithCovariance(2.0, 1.0, 0.5));
        EXPECT_NEAR(r.slope, (-2.0 - std::sqrt(8.0)) / 2.0, 1e-9);  // -2.414
        EXPECT_GT(r.a, r.b);
        // The variances along the principal axes are the eigenvalues 1.5 +- sqrt(0.5).
        EXPECT_NEAR(r.a, std::sqrt(chi * (1.5 + std::sqrt(0.5))), 1e-9);
        EXPECT_NEAR(r.b, std::sqrt(chi * (1.5 - std::sqrt(0.5))), 1e-9);
    }
}

TEST(CPStatTest, LevelSelectsTheChiSquareQuantile)
{
    CCPStat stat;
    const double expected[] = {4.605, 5.991, 7.378, 9.21, 10.597};
    for (int level = 0; level < 5; ++level) {
        stat.SetLevel(level);
        EXPECT_EQ(stat.GetChiSquare(), expected[level]);
    }
    stat.SetLevel(7);
    EXPECT_EQ(stat.GetLevel(), 7);
    EXPECT_EQ(stat.GetChiSquare(), 4.605);
    const CCPStat::Results r = Feed(stat, WithCovariance(4.0, 4.0, 3.0));
    EXPECT_NEAR(r.a, std::sqrt(4.605 * 7.0), 1e-9);
}

TEST(CPStatTest, ZeroCovarianceGivesAxesAlongXAndY)
{
    CCPStat stat;  // var x 6, var y 2/3, cov exactly 0
    const CCPStat::Results r = Feed(stat, {{3.0, 0.0}, {-3.0, 0.0}, {0.0, 1.0}, {0.0, -1.0}});
    EXPECT_EQ(r.slope, 0.0);
    EXPECT_FALSE(std::isnan(r.a));
    EXPECT_FALSE(std::isnan(r.b));
    EXPECT_NEAR(r.a, std::sqrt(10.597 * 2.0 / 3.0), 1e-9);  // across the x axis
    EXPECT_NEAR(r.b, std::sqrt(10.597 * 6.0), 1e-5);        // along it
    EXPECT_GT(r.area, 0.0);
}

TEST(CPStatTest, CollinearTraceGivesAFlatEllipseNotNaN)
{
    // Along a line the variance across it is 0, and rounding can take it below 0.
    std::mt19937_64 rng(77);
    std::uniform_real_distribution<double> step(-1.0, 1.0);
    for (double slope : {0.1, 1.0 / 3.0, 3.0, -7.0, 1e-3}) {
        CCPStat stat;
        stat.SetWindow(50);
        for (int i = 0; i < 200; ++i) {
            const double x = 1000.0 + 10.0 * step(rng);
            stat.Add(x, 500.0 + slope * x);
        }
        const CCPStat::Results r = stat.GetResults();
        EXPECT_FALSE(std::isnan(r.a)) << "slope " << slope;
        EXPECT_FALSE(std::isnan(r.b)) << "slope " << slope;
        EXPECT_FALSE(std::isnan(r.area)) << "slope " << slope;
        EXPECT_GE(r.area, 0.0);
        EXPECT_LT(std::min(r.a, r.b), 1e-5 * std::max(r.a, r.b)) << "slope " << slope;
    }
}

TEST(CPStatTest, NonFiniteSamplesAreSkipped)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    CCPStat clean, noisy;
    clean.SetWindow(10);
    noisy.SetWindow(10);
    std::mt19937_64 rng(5);
    std::normal_distribution<double> noise(0.0, 2.0);
    for (int i = 0; i < 40; ++i) {
        const double x = noise(rng), y = noise(rng);
        clean.Add(x, y);
        noisy.Add(x, y);
        if (i % 7 == 3) noisy.Add(nan, y);
        if (i % 11 == 5) noisy.Add(x, inf);
    }
    const CCPStat::Results a = clean.GetResults(), b = noisy.GetResults();
    EXPECT_EQ(a.count, b.count);
    EXPECT_DOUBLE_EQ(a.pathLength, b.pathLength);
    EXPECT_DOUBLE_EQ(a.area, b.area);
    EXPECT_DOUBLE_EQ(a.meanX, b.meanX);
    EXPECT_GT(b.area, 0.0);
}

TEST(CPStatTest, LongRunWithOffsetMatchesTwoPassOverTheWindow)
{
    const unsigned seed = 20261207;
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    CCPStat stat;
    const int window = stat.GetWindow();
    Points recent(static_cast<std::size_t>(window));
    constexpr long kSamples = 10000000;
    for (long i = 0; i < kSamples; ++i) {
        const double u = noise(rng), v = noise(rng);
        const double x = 1e3 + 2.0 * u, y = 1e3 + 0.8 * u + 0.6 * v;
        stat.Add(x, y);
        recent[static_cast<std::size_t>(i % window)] = {x, y};
    }
    // The window, oldest first.
    const std::size_t next = static_cast<std::size_t>(kSamples % window);
    Points ordered(recent.begin() + static_cast<long>(next), recent.end());
    ordered.insert(ordered.end(), recent.begin(), recent.begin() + static_cast<long>(next));

    const Ellipse e = TwoPass(ordered);
    const double chi = stat.GetChiSquare();
    const double k = (e.varX - e.varY) / e.cov;
    const double slope = (-k - std::sqrt(k * k + 4.0)) / 2.0;  // cov > 0
    const double p = -1.0 / slope;
    const double a = std::sqrt(chi * (e.varX * slope * slope - 2 * slope * e.cov + e.varY)
                               / (1 + slope * slope));
    const double b = std::sqrt(chi * (e.varX * p * p - 2 * p * e.cov + e.varY) / (p * p + 1));

    const CCPStat::Results r = stat.GetResults();
    auto relative = [](double got, double want) { return std::fabs(got - want) / std::fabs(want); };
    EXPECT_EQ(r.count, window);
    EXPECT_LT(relative(r.meanX, e.meanX), 1e-9) << "seed " << seed;
    EXPECT_LT(relative(r.meanY, e.meanY), 1e-9) << "seed " << seed;
    EXPECT_LT(relative(r.slope, slope), 1e-9) << "seed " << seed;
    EXPECT_LT(relative(r.a, a), 1e-9) << "seed " << seed;
    EXPECT_LT(relative(r.b, b), 1e-9) << "seed " << seed;
    EXPECT_LT(relative(r.area, a * b * 3.141592653589793), 1e-9) << "seed " << seed;
    EXPECT_LT(relative(r.pathLength, PathLength(ordered)), 1e-9) << "seed " << seed;
}

TEST(CPStatThreads, ResultsAreReadWhileTheTraceIsFed)
{
    CCPStat stat;
    stat.SetWindow(100);
    std::atomic<bool> fed{false};
    std::thread feeder([&] {
        std::mt19937_64 rng(8);
        std::normal_distribution<double> noise(0.0, 3.0);
        for (int i = 0; i < 100000; ++i) stat.Add(noise(rng), noise(rng));
        fed = true;
    });
    int level = 0;
    bool consistent = true;
    while (!fed) {
        stat.SetLevel(level++ % 5);  // the level may change at any time
        const CCPStat::Results r = stat.GetResults();
        // One snapshot: the area belongs to its own semi-axes.
        consistent = consistent && std::fabs(r.area - r.a * r.b * 3.141592653589793) <= 1e-9 * (1.0 + r.area);
    }
    feeder.join();
    EXPECT_TRUE(consistent);
    EXPECT_EQ(stat.GetResults().count, 100);
}
