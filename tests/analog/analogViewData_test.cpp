#include "analog/analogViewData.h"

#include "dsp/cpStat.h"
#include "dsp/dsp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

CViewDataConfig Layout(int channels, int dim = 1)
{
    CViewDataConfig config;
    config.channels = channels;
    config.dim = dim;
    config.drawTimeSec = 1.0;
    config.rateHz = 100.0;
    config.spectrumCount = channels;
    config.dspSize = 64;
    return config;
}

}  // namespace

TEST(AnalogViewDataTest, StoresRowsAtTheShownComponent)
{
    CAnalogViewData data;
    data.Rebuild(Layout(3, 2));
    for (std::uint32_t s = 0; s < 5; ++s) {
        const double row[6] = {1.0 * s, 10.0 + s, 20.0 + s, 30.0 + s, 40.0 + s, 50.0 + s};
        data.AddData(row, 6, s, s / 100.0);
    }
    EXPECT_TRUE(data.IsDirty());
    CViewSnapshot snapshot;
    data.TakeSnapshot(snapshot, 1, 3, false);
    ASSERT_EQ(snapshot.channels, 3);
    ASSERT_EQ(snapshot.frames, 5u);
    EXPECT_DOUBLE_EQ(snapshot.Channel(0)[4], 14.0);
    EXPECT_DOUBLE_EQ(snapshot.Channel(2)[0], 50.0);
    EXPECT_DOUBLE_EQ(snapshot.minValue, 0.0);
    EXPECT_DOUBLE_EQ(snapshot.maxValue, 54.0);
    data.TakeSnapshot(snapshot, 7, 2, true);  // component out of range reads component 0
    ASSERT_EQ(snapshot.frames, 1u);
    ASSERT_EQ(snapshot.channels, 2);
    double last = 0.0;
    ASSERT_TRUE(snapshot.Last(1, last));
    EXPECT_DOUBLE_EQ(last, 24.0);
    EXPECT_EQ(data.CurrentSample(), 4u);
}

TEST(AnalogViewDataTest, ObservedRangeRestartsAfterEachRebuildAndAtSampleZero)
{
    CAnalogViewData data;
    data.Rebuild(Layout(1));
    const double high = 50.0;
    data.AddData(&high, 1, 7, 0.0);  // the first row after a rebuild starts the range
    CViewSnapshot snapshot;
    data.TakeSnapshot(snapshot, 0, 1, false);
    EXPECT_DOUBLE_EQ(snapshot.minValue, 50.0);
    EXPECT_DOUBLE_EQ(snapshot.maxValue, 50.0);
    const double low = 3.0;
    data.AddData(&low, 1, 0, 0.01);
    data.TakeSnapshot(snapshot, 0, 1, false);
    EXPECT_DOUBLE_EQ(snapshot.minValue, 3.0);
    EXPECT_DOUBLE_EQ(snapshot.maxValue, 3.0);
    data.Rebuild(Layout(1));
    const double middle = 9.0;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    data.AddData(&nan, 1, 8, 0.0);
    data.AddData(&middle, 1, 9, 0.01);
    data.TakeSnapshot(snapshot, 0, 1, false);
    EXPECT_DOUBLE_EQ(snapshot.minValue, 9.0);
    EXPECT_DOUBLE_EQ(snapshot.maxValue, 9.0);
}

// Infinities and NaN anywhere in a row (first value, later value, first
// row, after a restart) are left out of the observed range; the finite values
// of the same rows are not.
TEST(AnalogViewDataTest, NonFiniteSamplesNeverEnterTheObservedRange)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double bad : {inf, -inf, nan}) {
        for (int at = 0; at < 3; ++at) {
            SCOPED_TRACE(testing::Message() << bad << " at " << at);
            CAnalogViewData data;
            data.Rebuild(Layout(3));
            CViewSnapshot snapshot;
            for (std::uint32_t s = 0; s < 40; ++s) {
                double row[3] = {4.0 * std::sin(0.3 * s), -2.0, 1.0};
                if (s % 7 == 0) row[at] = bad;
                data.AddData(row, 3, s, s / 100.0);
            }
            data.TakeSnapshot(snapshot, 0, 3, false);
            EXPECT_TRUE(std::isfinite(snapshot.minValue));
            EXPECT_TRUE(std::isfinite(snapshot.maxValue));
            EXPECT_LE(snapshot.maxValue, 4.0);
            EXPECT_GE(snapshot.minValue, -4.0);
            EXPECT_GT(snapshot.maxValue, 3.9);
            EXPECT_LT(snapshot.minValue, -3.9);
            // A row of nothing but non-finite values at sample 0 restarts the
            // range at the next finite one.
            const double none[3] = {bad, bad, bad};
            data.AddData(none, 3, 0, 0.0);
            const double next[3] = {bad, 7.5, bad};
            data.AddData(next, 3, 1, 0.01);
            data.TakeSnapshot(snapshot, 0, 3, false);
            EXPECT_DOUBLE_EQ(snapshot.minValue, 7.5);
            EXPECT_DOUBLE_EQ(snapshot.maxValue, 7.5);
        }
    }
}

TEST(AnalogViewDataTest, FrozenStopsTheHistoryButNotTheSpectra)
{
    CAnalogViewData data;
    CViewDataConfig config = Layout(2);
    config.feedSpectra = true;
    config.dspWindow = 0;
    config.dspUseDb = false;
    data.Rebuild(config);
    data.SetFrozen(true);
    for (std::uint32_t s = 0; s < 20; ++s) {
        const double row[2] = {1.0, 2.0};
        data.AddData(row, 2, s, s / 100.0);
    }
    CViewSnapshot snapshot;
    data.TakeSnapshot(snapshot, 0, 2, false);
    EXPECT_EQ(snapshot.frames, 0u);
    EXPECT_FALSE(data.IsDirty());
    ASSERT_EQ(data.SpectrumCount(), 2u);
    ASSERT_TRUE(data.Spectrum(1)->Update());
    // A constant input without window: bin 0 holds count x value.
    EXPECT_DOUBLE_EQ(data.Spectrum(1)->GetSpectrum()[0], 40.0);
    data.SetFrozen(false);
    const double row[2] = {1.0, 2.0};
    data.AddData(row, 2, 20, 0.2);
    data.TakeSnapshot(snapshot, 0, 2, false);
    EXPECT_EQ(snapshot.frames, 1u);
}

TEST(AnalogViewDataTest, SpectraTakeTheComponentOfEachChannel)
{
    CAnalogViewData data;
    CViewDataConfig config = Layout(3, 7);
    config.component = 2;
    config.feedSpectra = true;
    config.dspWindow = 0;
    config.dspUseDb = false;
    data.Rebuild(config);
    std::vector<double> row(21);
    for (size_t i = 0; i < row.size(); ++i)
        row[i] = static_cast<double>(i);
    for (std::uint32_t s = 0; s < 10; ++s)
        data.AddData(row.data(), 21, s, s / 100.0);
    const double expected[3] = {2.0, 9.0, 16.0};
    for (size_t c = 0; c < 3; ++c) {
        ASSERT_TRUE(data.Spectrum(c)->Update());
        EXPECT_DOUBLE_EQ(data.Spectrum(c)->GetSpectrum()[0], 10 * expected[c]) << c;
    }
    // A component that is not below the values per channel falls back to 0.
    config = Layout(3, 1);
    config.component = 2;
    config.feedSpectra = true;
    data.Rebuild(config);
    CViewSnapshot snapshot;
    const double small[3] = {1, 2, 3};
    data.AddData(small, 3, 0, 0.0);
    data.TakeSnapshot(snapshot, 2, 3, true);
    double last = 0;
    ASSERT_TRUE(snapshot.Last(2, last));
    EXPECT_DOUBLE_EQ(last, 3.0);
}

TEST(AnalogViewDataTest, RowsOfAnotherChannelListAreNeverReadOutOfRange)
{
    CAnalogViewData data;
    CViewDataConfig config = Layout(4);
    config.feedSpectra = true;
    config.showCPStat = true;
    config.cpXIndex = 2;
    config.cpYIndex = 3;
    data.Rebuild(config);
    // Heap rows of exactly their length, so a read past the end is caught.
    auto shortRow = std::make_unique<double[]>(2);
    shortRow[0] = 1.0;
    shortRow[1] = 2.0;
    for (std::uint32_t s = 0; s < 20; ++s)
        data.AddData(shortRow.get(), 2, s, s / 100.0);
    EXPECT_EQ(data.Spectrum(0)->GetCount(), 0u);
    EXPECT_EQ(data.CPStat().GetResults().count, 0);
    auto longRow = std::make_unique<double[]>(6);
    data.AddData(longRow.get(), 6, 20, 0.2);
    EXPECT_EQ(data.RefusedRows(), 1u);
    CViewSnapshot snapshot;
    data.TakeSnapshot(snapshot, 0, 4, false);
    EXPECT_EQ(snapshot.frames, 20u);  // short rows are stored, padded
}

TEST(AnalogViewDataTest, HistoryIsCappedForHighRates)
{
    EXPECT_DOUBLE_EQ(CAnalogViewData::CapDrawTime(5.0, 1000.0, 17), 5.0);
    const double capped = CAnalogViewData::CapDrawTime(1000.0, 100000.0, 17);
    EXPECT_LT(capped, 1000.0);
    EXPECT_LE((capped * 100000.0 + 1) * 17 * sizeof(double),
              static_cast<double>(CAnalogViewData::kMaxHistoryBytes));
    EXPECT_DOUBLE_EQ(CAnalogViewData::CapDrawTime(5.0, 0.0, 17), 5.0);
}

TEST(AnalogViewDataTest, CentreOfPressureIsFedFromItsRowPositions)
{
    CAnalogViewData data;
    CViewDataConfig config = Layout(4);
    config.showCPStat = true;
    config.cpLevel = 1;
    config.cpWindow = 50;
    config.cpXIndex = 2;
    config.cpYIndex = 3;
    data.Rebuild(config);
    EXPECT_EQ(data.CPStat().GetWindow(), 50);
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 3.0);
    for (std::uint32_t s = 0; s < 60; ++s) {
        const double row[4] = {100.0, 100.0, noise(random), noise(random)};
        data.AddData(row, 4, s, s / 100.0);
    }
    const CCPStat::Results results = data.CPStat().GetResults();
    EXPECT_EQ(results.count, 50);
    EXPECT_GT(results.a, 0.0);
    EXPECT_LT(std::fabs(results.meanX), 3.0);
}

// The acquisition thread feeds as fast as it can while the GUI thread
// rebuilds and copies: no race (TSan), no read of a freed object (ASan), and
// every row is either stored or counted as skipped.
TEST(AnalogViewDataThreads, FeedAgainstRebuildsAndSnapshots)
{
    CAnalogViewData data;
    CViewDataConfig config = Layout(8);
    config.feedSpectra = true;
    config.showCPStat = true;
    config.cpXIndex = 0;
    config.cpYIndex = 1;
    data.Rebuild(config);
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> fed{0};
    std::promise<void> started;
    std::thread feeder([&] {
        double row[8] = {};
        std::uint32_t sample = 0;
        started.set_value();
        while (!stop.load()) {
            for (int c = 0; c < 8; ++c)
                row[c] = std::sin(0.01 * sample + c);
            data.AddData(row, 8, sample, sample / 10000.0);
            ++sample;
            fed.fetch_add(1);
        }
    });
    ASSERT_EQ(started.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    CViewSnapshot snapshot;
    const std::uint64_t storedBefore = data.StoredRows();
    for (int i = 0; i < 1000; ++i) {
        config.channels = config.spectrumCount = 1 + i % 8;
        config.feedSpectra = (i % 3) != 0;
        config.drawTimeSec = 0.5 + (i % 4);
        data.Rebuild(config);
        data.TakeSnapshot(snapshot, 0, 8, (i % 2) == 0);
        if (data.SpectrumCount() > 0)
            data.Spectrum(0)->Update();
        data.CPStat().GetResults();
    }
    stop.store(true);
    feeder.join();
    EXPECT_GT(fed.load(), 0u);
    EXPECT_LE(data.StoredRows() - storedBefore + data.SkippedRows(), fed.load());
}
