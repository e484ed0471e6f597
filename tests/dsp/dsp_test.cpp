#include "dsp/dsp.h"

#include "dsp/runningMoments.h"
#include "support/logCapture.h"

#include <fftw3.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <future>
#include <limits>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr double kTwoPi = 6.283185307179586;

// Magnitudes of the first n/2 + 1 bins of the DFT of `input` zero-padded to n,
// summed directly: the reference the FFT must match up to rounding.
std::vector<double> DftMagnitudes(const std::vector<double>& input, std::size_t n)
{
    std::vector<double> magnitudes(n / 2 + 1);
    for (std::size_t k = 0; k < magnitudes.size(); ++k) {
        long double re = 0.0, im = 0.0;
        for (std::size_t i = 0; i < input.size(); ++i) {
            const long double phase = kTwoPi * static_cast<long double>((k * i) % n) / n;
            re += input[i] * std::cos(phase);
            im -= input[i] * std::sin(phase);
        }
        magnitudes[k] = static_cast<double>(std::sqrt(re * re + im * im));
    }
    return magnitudes;
}

std::vector<double> Windowed(const std::vector<double>& samples, int windowType)
{
    std::vector<double> out(samples);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] *= CDsp::WindowCoefficient(windowType, i, out.size());
    return out;
}

std::vector<double> Spectrum(const CDsp& dsp)
{
    return std::vector<double>(dsp.GetSpectrum(), dsp.GetSpectrum() + dsp.GetBins());
}

void Feed(CDsp& dsp, const std::vector<double>& samples)
{
    for (double x : samples) dsp.AddSample(x, false);
}

std::vector<double> Noise(std::size_t n, unsigned seed)
{
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> noise(0.0, 100.0);
    std::vector<double> xs(n);
    for (auto& x : xs) x = noise(rng);
    return xs;
}

}  // namespace

TEST(DspTest, SizesAreBoundedAndSetTheBinCount)
{
    for (std::uint64_t size = 0; size < 8; ++size) {
        CDsp dsp(size, CDsp::kHann);
        EXPECT_EQ(dsp.GetSize(), 8u);
        EXPECT_EQ(dsp.GetBins(), 5u);
    }
    EXPECT_EQ(CDsp(256, CDsp::kHann).GetBins(), 129u);
    EXPECT_EQ(CDsp(1000, CDsp::kHann).GetBins(), 501u);

    CLogCapture log;
    CDsp huge(std::uint64_t(1) << 40, CDsp::kHann);
    EXPECT_TRUE(huge.IsReady());
    EXPECT_EQ(huge.GetSize(), CDsp::kMaxSize);
    EXPECT_EQ(log.Warnings(), 1);
}

TEST(DspTest, FreedSpectrumIgnoresSamples)
{
    CDsp dsp(64, CDsp::kHann);
    ASSERT_TRUE(dsp.IsReady());
    dsp.Free();
    EXPECT_FALSE(dsp.IsReady());
    EXPECT_EQ(dsp.GetBins(), 0u);
    EXPECT_EQ(dsp.GetSpectrum(), nullptr);
    for (int i = 0; i < 20; ++i) dsp.AddSample(1.0, true);
    EXPECT_FALSE(dsp.Update());
    EXPECT_FALSE(dsp.IsValid());
    dsp.Reset();
    ASSERT_TRUE(dsp.Init(100));
    EXPECT_EQ(dsp.GetBins(), 51u);
    EXPECT_EQ(dsp.GetCount(), 0u);
}

TEST(DspTest, WindowCoefficients)
{
    const double hann[8] = {0, 0.1464, 0.5, 0.8536, 1, 0.8536, 0.5, 0.1464};
    for (std::uint64_t i = 0; i < 8; ++i) {
        EXPECT_NEAR(CDsp::WindowCoefficient(CDsp::kHann, i, 8), hann[i], 1e-4) << i;
        EXPECT_NEAR(CDsp::WindowCoefficient(CDsp::kHamming, i, 8), 0.08 + 0.92 * hann[i], 1e-4);
        EXPECT_EQ(CDsp::WindowCoefficient(CDsp::kRectangular, i, 8), 1.0);
        EXPECT_EQ(CDsp::WindowCoefficient(7, i, 8), 1.0);
    }
}

TEST(DspTest, NeedsNineSamplesAndComputesOnlyWhenDirty)
{
    CDsp dsp(64, CDsp::kRectangular);
    dsp.m_useDb = false;
    for (int i = 0; i < 8; ++i) dsp.AddSample(2.0, false);
    EXPECT_FALSE(dsp.IsValid());
    EXPECT_FALSE(dsp.Update());
    EXPECT_EQ(dsp.GetSpectrum()[0], 0.0);
    dsp.AddSample(2.0, false);
    EXPECT_TRUE(dsp.IsValid());
    ASSERT_TRUE(dsp.Update());
    EXPECT_NEAR(dsp.GetSpectrum()[0], 18.0, 1e-12);
    // No new sample: no new computation, so a changed setting shows nowhere yet.
    dsp.m_useDb = true;
    EXPECT_TRUE(dsp.Update());
    EXPECT_NEAR(dsp.GetSpectrum()[0], 18.0, 1e-12);
    dsp.AddSample(2.0, true);  // computes at once
    EXPECT_NEAR(dsp.GetSpectrum()[0], std::min(10.0 * std::log10(20.0 + 1e-6) / 96.0, 1.0), 1e-12);

    dsp.Reset();
    EXPECT_EQ(dsp.GetCount(), 0u);
    EXPECT_FALSE(dsp.Update());
}

TEST(DspTest, FillingRingIsWindowedOverItsCountAndZeroPadded)
{
    const std::vector<double> samples = Noise(20, 11);
    CDsp dsp(256, CDsp::kHann);
    dsp.m_useDb = false;
    Feed(dsp, samples);
    ASSERT_TRUE(dsp.Update());
    const std::vector<double> want = DftMagnitudes(Windowed(samples, CDsp::kHann), 256);
    const std::vector<double> got = Spectrum(dsp);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t k = 0; k < want.size(); ++k) EXPECT_NEAR(got[k], want[k], 1e-9) << k;
}

TEST(DspTest, SlidingRingMatchesTheDirectTransformOfTheLatestSamples)
{
    for (std::size_t n : {250, 1000}) {
        const std::vector<double> samples = Noise(n + 77, static_cast<unsigned>(n));
        CDsp dsp(n, CDsp::kHamming);
        dsp.m_useDb = false;
        Feed(dsp, samples);
        ASSERT_TRUE(dsp.Update());
        const std::vector<double> latest(samples.end() - static_cast<long>(n), samples.end());
        const std::vector<double> want = DftMagnitudes(Windowed(latest, CDsp::kHamming), n);
        const std::vector<double> got = Spectrum(dsp);
        for (std::size_t k = 0; k < want.size(); ++k)
            EXPECT_NEAR(got[k], want[k], 1e-9 * (1.0 + want[k])) << "n " << n << " bin " << k;
    }
}

TEST(DspTest, PureSinePeaksAtItsBin)
{
    for (std::size_t n : {250, 256, 1000, 4096}) {
        const std::size_t bin = n / 7;
        CDsp dsp(n, CDsp::kHann);
        for (std::size_t i = 0; i < n; ++i)
            dsp.AddSample(500.0 + 300.0 * std::sin(kTwoPi * static_cast<double>(bin * i) / n), false);
        dsp.m_clearMean = true;
        ASSERT_TRUE(dsp.Update());
        EXPECT_EQ(dsp.GetPeakBin(), bin) << "n " << n;
        EXPECT_GT(dsp.GetMaximum(), 0.3) << "n " << n;
    }
}

TEST(DspTest, ClearMeanZeroesTheLowestBins)
{
    {
        CDsp dsp(256, CDsp::kRectangular);  // 129 bins: bins 0 and 1
        dsp.m_clearMean = true;
        dsp.m_useDb = false;
        Feed(dsp, Noise(256, 3));
        ASSERT_TRUE(dsp.Update());
        EXPECT_EQ(dsp.GetSpectrum()[0], 0.0);
        EXPECT_EQ(dsp.GetSpectrum()[1], 0.0);
        EXPECT_GT(dsp.GetSpectrum()[2], 0.0);
    }
    {
        CDsp dsp(8, CDsp::kRectangular);  // 5 bins: bin 0 only
        dsp.m_clearMean = true;
        dsp.m_useDb = false;
        Feed(dsp, Noise(7, 4));
        EXPECT_FALSE(dsp.Update());
        dsp.AddSample(1.0, false);  // a full ring of 8 is a spectrum, though not above 8 samples
        ASSERT_TRUE(dsp.Update());
        EXPECT_EQ(dsp.GetSpectrum()[0], 0.0);
        EXPECT_GT(dsp.GetSpectrum()[1], 0.0);
    }
    {
        // 1025 bins clear bins 0..10: with 9 to 11 samples nothing is left to compute,
        // and the spectrum of an earlier run does not stay on show.
        CDsp dsp(2048, CDsp::kHann);
        dsp.m_clearMean = true;
        dsp.m_useDb = false;
        Feed(dsp, Noise(2048, 5));
        ASSERT_TRUE(dsp.Update());
        ASSERT_GT(dsp.GetMaximum(), 0.0);
        dsp.Reset();
        Feed(dsp, Noise(11, 6));
        ASSERT_TRUE(dsp.Update());
        EXPECT_EQ(dsp.GetMaximum(), 0.0);
        EXPECT_EQ(dsp.GetMinimum(), 0.0);
        EXPECT_EQ(dsp.GetPeakBin(), 0u);
        const std::vector<double> spectrum = Spectrum(dsp);
        EXPECT_EQ(std::count(spectrum.begin(), spectrum.end(), 0.0), 1025);
    }
}

TEST(DspTest, DecibelFloorAndFullScale)
{
    CDsp quiet(64, CDsp::kHann);
    quiet.m_normalize = false;
    Feed(quiet, std::vector<double>(64, 0.0));
    ASSERT_TRUE(quiet.Update());
    EXPECT_NEAR(quiet.GetSpectrum()[3], -60.0, 1e-9);
    EXPECT_NEAR(quiet.GetMinimum(), -60.0, 1e-9);
    EXPECT_EQ(quiet.GetMaximum(), 0.0);
    quiet.m_normalize = true;
    quiet.AddSample(0.0, true);
    EXPECT_EQ(quiet.GetSpectrum()[3], 0.0);

    // Bin 0 of a constant c over 64 samples is 64 c: 10^9.6 and more read 1.0.
    CDsp loud(64, CDsp::kRectangular);
    Feed(loud, std::vector<double>(64, std::pow(10.0, 9.6) / 64.0 * 1.001));
    ASSERT_TRUE(loud.Update());
    EXPECT_EQ(loud.GetSpectrum()[0], 1.0);
    EXPECT_EQ(loud.GetMaximum(), 1.0);
}

TEST(DspTest, ConstantInputPeaksAtDirectCurrent)
{
    CDsp dsp(128, CDsp::kRectangular);
    dsp.m_useDb = false;
    Feed(dsp, std::vector<double>(100, -2.5));
    ASSERT_TRUE(dsp.Update());
    EXPECT_NEAR(dsp.GetSpectrum()[0], 100 * 2.5, 1e-9);
    EXPECT_EQ(dsp.GetPeakBin(), 0u);
    EXPECT_NEAR(dsp.GetMaximum(), 250.0, 1e-9);
    EXPECT_EQ(dsp.GetMinimum(), 0.0);
}

TEST(DspTest, StatisticsCoverTheBinsBelowTheBound)
{
    CDsp dsp(256, CDsp::kHann);  // 129 bins, bound 0.5: bins 0..63
    dsp.m_useStat = true;
    dsp.m_statBound = 0.5;
    dsp.m_clearMean = true;
    Feed(dsp, Noise(256, 9));
    ASSERT_TRUE(dsp.Update());
    CRunningMoments want;
    for (int i = 0; i < 64; ++i) want.Push(dsp.GetSpectrum()[i]);
    EXPECT_NEAR(dsp.GetSkewness(), want.Skewness(), 1e-12);
    EXPECT_NEAR(dsp.GetKurtosis(), want.Kurtosis(), 1e-12);

    dsp.m_statBound = 0.001;  // no bin enters: 0, not NaN
    dsp.m_clearMean = false;
    dsp.AddSample(1.0, true);
    EXPECT_EQ(dsp.GetSkewness(), 0.0);
    EXPECT_EQ(dsp.GetKurtosis(), 0.0);
}

TEST(DspTest, PeakBinIsFoundAfreshEachTime)
{
    const std::size_t n = 128;
    CDsp dsp(n, CDsp::kHann);
    for (std::size_t i = 0; i < n; ++i)
        dsp.AddSample(1e3 * std::sin(kTwoPi * static_cast<double>(20 * i) / n), false);
    ASSERT_TRUE(dsp.Update());
    ASSERT_EQ(dsp.GetPeakBin(), 20u);
    // Silence: no normalised bin rises above 0, so there is no peak to show.
    dsp.Reset();
    Feed(dsp, std::vector<double>(n, 0.0));
    ASSERT_TRUE(dsp.Update());
    EXPECT_EQ(dsp.GetMaximum(), 0.0);
    EXPECT_EQ(dsp.GetPeakBin(), 0u);
}

TEST(DspTest, NonFiniteSamplesEnterAsZero)
{
    std::vector<double> samples = Noise(64, 21);
    std::vector<double> withGaps(samples);
    samples[5] = samples[40] = samples[41] = 0.0;
    withGaps[5] = std::numeric_limits<double>::quiet_NaN();
    withGaps[40] = std::numeric_limits<double>::infinity();
    withGaps[41] = -std::numeric_limits<double>::infinity();
    CDsp clean(64, CDsp::kHann), gappy(64, CDsp::kHann);
    Feed(clean, samples);
    Feed(gappy, withGaps);
    ASSERT_TRUE(clean.Update());
    ASSERT_TRUE(gappy.Update());
    EXPECT_EQ(Spectrum(gappy), Spectrum(clean));
    EXPECT_FALSE(std::isnan(gappy.GetMaximum()));
}

TEST(DspTest, CreatingASpectrumRunsNoMeasurement)
{
    // A measuring planner leaves measured wisdom for the size behind; an
    // estimating one does not. 1234 is a size no other test uses.
    constexpr int kSize = 1234;
    CDsp dsp(kSize, CDsp::kHann);
    ASSERT_TRUE(dsp.IsReady());
    std::lock_guard<std::mutex> lock(FftwPlannerMutex());
    double* input = fftw_alloc_real(kSize);
    fftw_complex* output = fftw_alloc_complex(kSize / 2 + 1);
    fftw_plan measured = fftw_plan_dft_r2c_1d(kSize, input, output,
                                              FFTW_MEASURE | FFTW_DESTROY_INPUT | FFTW_WISDOM_ONLY);
    EXPECT_EQ(measured, nullptr);
    if (measured) fftw_destroy_plan(measured);
    fftw_free(output);
    fftw_free(input);
}

TEST(DspThreads, SpectraAreCreatedAndDestroyedInSeveralThreads)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 40;
    std::atomic<int> wrongPeaks{0};
    std::vector<std::future<void>> done;
    for (int t = 0; t < kThreads; ++t) {
        done.push_back(std::async(std::launch::async, [t, &wrongPeaks] {
            for (int r = 0; r < kRounds; ++r) {
                const std::size_t n = 64 + static_cast<std::size_t>((t * kRounds + r) * 37 % 700);
                CDsp dsp(n, CDsp::kHann);
                const std::size_t bin = n / 5;
                for (std::size_t i = 0; i < n; ++i)
                    dsp.AddSample(std::sin(kTwoPi * static_cast<double>(bin * i) / n) * 1e3, false);
                if (!dsp.Update() || dsp.GetPeakBin() != bin) ++wrongPeaks;
            }
        }));
    }
    for (auto& d : done) ASSERT_EQ(d.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(wrongPeaks.load(), 0);
}

TEST(DspThreads, FeedWhileTheSpectrumIsComputed)
{
    constexpr std::size_t kN = 512;
    constexpr int kSamples = 200000;
    CDsp dsp(kN, CDsp::kHann);
    std::atomic<bool> fed{false};
    std::thread feeder([&] {
        for (int i = 0; i < kSamples; ++i)
            dsp.AddSample(1e3 * std::sin(kTwoPi * static_cast<double>(40 * i) / kN), false);
        fed = true;
    });
    int computations = 0;
    while (!fed) {
        if (dsp.Update()) ++computations;
    }
    feeder.join();
    ASSERT_TRUE(dsp.Update());
    EXPECT_EQ(dsp.GetPeakBin(), 40u);
    EXPECT_EQ(dsp.GetCount(), kN);
    (void)computations;
}
