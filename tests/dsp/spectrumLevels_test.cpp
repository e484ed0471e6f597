#include "dsp/spectrumLevels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

double UlpDistance(double got, long double want)
{
    const double rounded = static_cast<double>(want);
    if (got == rounded) return 0.0;
    const double ulp = std::nextafter(std::fabs(rounded), std::numeric_limits<double>::infinity())
                       - std::fabs(rounded);
    return static_cast<double>(std::fabs(static_cast<long double>(got) - want) / ulp);
}

std::vector<double> RandomOutput(std::size_t bins, unsigned seed)
{
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> exponent(-9.0, 11.0);
    std::uniform_real_distribution<double> sign(-1.0, 1.0);
    std::vector<double> output(2 * bins);
    for (auto& v : output) v = sign(rng) * std::pow(10.0, exponent(rng));
    output[0] = output[1] = 0.0;  // an empty bin
    output[2] = 1.0 - 1e-6;       // level exactly 1: 0 dB
    output[3] = 0.0;
    return output;
}

}  // namespace

TEST(SpectrumLevelsTest, NaturalLogIsWithinTwoUlp)
{
    const unsigned seed = 99;
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> exponent(-300.0, 300.0);
    std::vector<double> xs = {1.0,
                              std::nextafter(1.0, 2.0),
                              std::nextafter(1.0, 0.0),
                              std::sqrt(2.0),
                              std::nextafter(std::sqrt(2.0), 0.0),
                              std::sqrt(0.5),
                              1e-6,
                              2.0,
                              0.5,
                              std::numeric_limits<double>::max(),
                              std::numeric_limits<double>::min()};
    for (int i = 0; i < 200000; ++i) xs.push_back(std::pow(10.0, exponent(rng)));
    for (double x : xs) {
        EXPECT_LE(UlpDistance(NaturalLog(x), std::log(static_cast<long double>(x))), 2.0)
            << "x " << x << " seed " << seed;
    }
    EXPECT_EQ(NaturalLog(1.0), 0.0);
    EXPECT_EQ(NaturalLog(std::numeric_limits<double>::infinity()),
              std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(NaturalLog(std::numeric_limits<double>::quiet_NaN())));
}

TEST(SpectrumLevelsTest, LevelsFollowTheirFormulas)
{
    const std::size_t bins = 1025;
    const std::vector<double> output = RandomOutput(bins, 3);
    std::vector<double> magnitude(bins), decibel(bins), normalised(bins);
    ComputeLevels(output.data(), magnitude.data(), 0, bins, LevelScale::kMagnitude);
    ComputeLevels(output.data(), decibel.data(), 0, bins, LevelScale::kDecibel);
    ComputeLevels(output.data(), normalised.data(), 0, bins, LevelScale::kNormalised);
    for (std::size_t i = 0; i < bins; ++i) {
        const double m = std::hypot(output[2 * i], output[2 * i + 1]);
        const double db = 10.0 * std::log10(m + 0.000001);
        EXPECT_NEAR(magnitude[i], m, 1e-15 * m) << i;
        EXPECT_NEAR(decibel[i], db, 1e-13 * (1.0 + std::fabs(db))) << i;
        const double norm = db < 0.0 ? 0.0 : std::min(db / 96.0, 1.0);
        EXPECT_NEAR(normalised[i], norm, 1e-14) << i;
    }
    EXPECT_NEAR(decibel[0], -60.0, 1e-12);
    EXPECT_EQ(normalised[0], 0.0);
    EXPECT_EQ(normalised[1], 0.0);
}

TEST(SpectrumLevelsTest, WideAndPortableVariantsGiveTheSameBits)
{
    const std::size_t bins = 4097;
    const std::vector<double> output = RandomOutput(bins, 17);
    for (LevelScale scale : {LevelScale::kMagnitude, LevelScale::kDecibel, LevelScale::kNormalised}) {
        std::vector<double> best(bins, -1.0), portable(bins, -1.0);
        ComputeLevels(output.data(), best.data(), 3, bins, scale, KernelVariant::kBest);
        ComputeLevels(output.data(), portable.data(), 3, bins, scale, KernelVariant::kPortable);
        EXPECT_EQ(std::memcmp(best.data(), portable.data(), bins * sizeof(double)), 0)
            << "scale " << static_cast<int>(scale);
        EXPECT_EQ(best[2], -1.0);  // bins below first are left alone
    }
}

TEST(SpectrumLevelsTest, ExtremesIncludeZeroAndKeepTheFirstPeak)
{
    double minimum = 1.0, maximum = -1.0;
    std::uint64_t peak = 99;
    const std::vector<double> ramp = {0.1, 0.5, 0.2, 0.9, 0.3, 0.9, 0.9, 0.4, 0.0, 0.9, 0.1};
    for (std::uint64_t first : {0, 1, 2, 3}) {
        FindExtremes(ramp.data(), first, ramp.size(), minimum, maximum, peak);
        EXPECT_EQ(minimum, 0.0);
        EXPECT_EQ(maximum, 0.9);
        EXPECT_EQ(peak, 3u) << "first " << first;
    }
    FindExtremes(ramp.data(), 4, ramp.size(), minimum, maximum, peak);
    EXPECT_EQ(peak, 5u);

    // dB values below 0 dB: no bin above 0, so no peak.
    const std::vector<double> quiet = {-60.0, -30.0, -45.0, -60.0, -12.0, -50.0};
    FindExtremes(quiet.data(), 0, quiet.size(), minimum, maximum, peak);
    EXPECT_EQ(minimum, -60.0);
    EXPECT_EQ(maximum, 0.0);
    EXPECT_EQ(peak, 0u);

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> gaps = {nan, 2.0, nan, 3.0, nan, -1.0, nan};
    FindExtremes(gaps.data(), 0, gaps.size(), minimum, maximum, peak);
    EXPECT_EQ(minimum, -1.0);
    EXPECT_EQ(maximum, 3.0);
    EXPECT_EQ(peak, 3u);

    std::mt19937_64 rng(4);
    std::uniform_int_distribution<int> level(0, 50);
    std::vector<double> values(1001);
    for (auto& v : values) v = level(rng) / 10.0;
    FindExtremes(values.data(), 7, values.size(), minimum, maximum, peak);
    std::uint64_t want = 0;
    double best = 0.0;
    for (std::size_t i = 7; i < values.size(); ++i)
        if (values[i] > best) {
            best = values[i];
            want = i;
        }
    EXPECT_EQ(maximum, best);
    EXPECT_EQ(peak, want);
}
