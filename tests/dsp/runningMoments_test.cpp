#include "dsp/runningMoments.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

void ExpectSameMoments(const CRunningMoments& a, const CRunningMoments& b)
{
    EXPECT_EQ(a.Count(), b.Count());
    EXPECT_NEAR(a.Mean(), b.Mean(), 1e-12);
    EXPECT_NEAR(a.Variance(), b.Variance(), 1e-12);
    EXPECT_NEAR(a.Skewness(), b.Skewness(), 1e-12);
    EXPECT_NEAR(a.Kurtosis(), b.Kurtosis(), 1e-12);
}

}  // namespace

TEST(RunningMomentsTest, MomentsOfOneToFour)
{
    CRunningMoments m;
    for (double x : {1.0, 2.0, 3.0, 4.0}) m.Push(x);
    EXPECT_EQ(m.Count(), 4);
    EXPECT_DOUBLE_EQ(m.Mean(), 2.5);
    EXPECT_NEAR(m.Variance(), 5.0 / 3.0, 1e-12);  // M2 = 5
    EXPECT_NEAR(m.StandardDeviation(), std::sqrt(5.0 / 3.0), 1e-12);
    EXPECT_NEAR(m.Skewness(), 0.0, 1e-12);
    EXPECT_NEAR(m.Kurtosis(), 4.0 * 10.25 / 25.0 - 3.0, 1e-12);  // -1.36

    CRunningMoments low, high;
    low.Push(1.0);
    low.Push(2.0);
    high.Push(3.0);
    high.Push(4.0);
    ExpectSameMoments(low + high, m);
    low += high;
    ExpectSameMoments(low, m);
}

TEST(RunningMomentsTest, CombinationOfUnequalSkewedParts)
{
    std::mt19937_64 rng(6);
    std::exponential_distribution<double> skewed(0.5);
    CRunningMoments all, a, b;
    for (int i = 0; i < 1000; ++i) {
        const double x = skewed(rng) + 10.0;
        all.Push(x);
        (i < 137 ? a : b).Push(x);
    }
    ExpectSameMoments(a + b, all);
    EXPECT_GT(all.Skewness(), 1.0);
}

TEST(RunningMomentsTest, DegenerateInputGivesZerosNotNaN)
{
    CRunningMoments empty;
    EXPECT_EQ(empty.Variance(), 0.0);
    EXPECT_EQ(empty.Skewness(), 0.0);
    EXPECT_EQ(empty.Kurtosis(), 0.0);

    CRunningMoments one;
    one.Push(3.0);
    EXPECT_EQ(one.Variance(), 0.0);
    EXPECT_EQ(one.Skewness(), 0.0);
    EXPECT_EQ(one.Kurtosis(), 0.0);

    CRunningMoments flat;
    for (int i = 0; i < 10; ++i) flat.Push(0.1);
    EXPECT_EQ(flat.Variance(), 0.0);
    EXPECT_EQ(flat.StandardDeviation(), 0.0);
    EXPECT_EQ(flat.Skewness(), 0.0);
    EXPECT_EQ(flat.Kurtosis(), 0.0);

    const CRunningMoments none = empty + CRunningMoments();
    EXPECT_EQ(none.Count(), 0);
    EXPECT_EQ(none.Mean(), 0.0);
    EXPECT_FALSE(std::isnan(none.Variance()));
    ExpectSameMoments(empty + one, one);
    ExpectSameMoments(one + empty, one);
}

TEST(RunningMomentsTest, NonFiniteValuesAreSkipped)
{
    CRunningMoments m;
    m.Push(1.0);
    m.Push(std::numeric_limits<double>::quiet_NaN());
    m.Push(2.0);
    m.Push(std::numeric_limits<double>::infinity());
    m.Push(3.0);
    m.Push(-std::numeric_limits<double>::infinity());
    m.Push(4.0);
    EXPECT_EQ(m.Count(), 4);
    EXPECT_DOUBLE_EQ(m.Mean(), 2.5);
    EXPECT_NEAR(m.Variance(), 5.0 / 3.0, 1e-12);
}

TEST(RunningMomentsTest, AccurateWithALargeOffset)
{
    const unsigned seed = 1234;
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> xs(200000);
    for (auto& x : xs) x = 1e3 + noise(rng) + 0.3 * noise(rng) * noise(rng);
    CRunningMoments m;
    for (double x : xs) m.Push(x);

    double mean = 0.0;
    for (double x : xs) mean += x;
    mean /= static_cast<double>(xs.size());
    double m2 = 0.0, m3 = 0.0, m4 = 0.0;
    for (double x : xs) {
        const double d = x - mean;
        m2 += d * d;
        m3 += d * d * d;
        m4 += d * d * d * d;
    }
    const double n = static_cast<double>(xs.size());
    const double variance = m2 / (n - 1.0);
    const double skewness = std::sqrt(n) * m3 / std::pow(m2, 1.5);
    const double kurtosis = n * m4 / (m2 * m2) - 3.0;
    EXPECT_NEAR(m.Mean(), mean, 1e-12 * mean) << "seed " << seed;
    EXPECT_NEAR(m.Variance(), variance, 1e-9 * variance) << "seed " << seed;
    EXPECT_NEAR(m.Skewness(), skewness, 1e-7) << "seed " << seed;
    EXPECT_NEAR(m.Kurtosis(), kurtosis, 1e-7) << "seed " << seed;
}
