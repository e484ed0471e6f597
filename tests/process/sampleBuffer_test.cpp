#include "process/sampleBuffer.h"

#include "support/logCapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

TEST(RingBufferTest, WrapsAndReadsFromTheOldest)
{
    CRingBuffer ring(3);
    for (double v : {1.0, 2.0, 3.0, 4.0}) ring.Push(v);
    EXPECT_EQ(ring.Count(), 3u);
    EXPECT_DOUBLE_EQ(ring.Get(0), 2.0);
    EXPECT_DOUBLE_EQ(ring.Get(1), 3.0);
    EXPECT_DOUBLE_EQ(ring.Get(2), 4.0);
    EXPECT_DOUBLE_EQ(ring.Get(3), 0.0);

    double room[3] = {};
    EXPECT_FALSE(ring.CopyTo(room, 2));
    ASSERT_TRUE(ring.CopyTo(room, 3));
    EXPECT_EQ(std::vector<double>(room, room + 3), (std::vector<double>{2.0, 3.0, 4.0}));

    ring.Reset();
    EXPECT_EQ(ring.Count(), 0u);
    EXPECT_DOUBLE_EQ(ring.Get(1), 0.0);
}

TEST(RingBufferTest, CopiedRangeReadsAsGetAcrossTheWrap)
{
    CRingBuffer ring(5);
    std::vector<double> out(6, -1.0);
    for (int pushed = 1; pushed <= 12; ++pushed) {
        ring.Push(pushed);
        const std::uint64_t count = ring.Count();
        for (std::uint64_t first = 0; first <= count; ++first) {
            for (std::uint64_t n = 0; first + n <= count; ++n) {
                ASSERT_TRUE(ring.CopyRange(out.data(), first, n));
                for (std::uint64_t i = 0; i < n; ++i)
                    ASSERT_DOUBLE_EQ(out[i], ring.Get(first + i)) << pushed << " " << first;
            }
            EXPECT_FALSE(ring.CopyRange(out.data(), first, count - first + 1));
        }
    }
    CAnalogBuffer buffer(2, 1, 1.0, 3.0);
    for (int f = 0; f < 7; ++f) {
        const double row[2] = {10.0 + f, 20.0 + f};
        ASSERT_TRUE(buffer.AddFrame(row, 2, f));
    }
    double values[2] = {};
    ASSERT_TRUE(buffer.CopyValues(values, buffer.Count() - 2, 2, 1, 0));
    EXPECT_DOUBLE_EQ(values[0], 25.0);
    EXPECT_DOUBLE_EQ(values[1], 26.0);
    EXPECT_FALSE(buffer.CopyValues(values, 0, 1, 2, 0));
    EXPECT_FALSE(buffer.CopyValues(values, 0, 1, 0, 1));
    EXPECT_FALSE(buffer.CopyValues(values, buffer.Count(), 1, 0, 0));
}

TEST(RingBufferTest, FillingRingReadsTheZeroFill)
{
    CRingBuffer ring(3);
    ring.Push(7.0);
    EXPECT_EQ(ring.Count(), 1u);
    EXPECT_DOUBLE_EQ(ring.Get(0), 7.0);
    EXPECT_DOUBLE_EQ(ring.Get(1), 0.0);
    EXPECT_DOUBLE_EQ(ring.Get(2), 0.0);
    EXPECT_DOUBLE_EQ(ring.Get(3), 0.0);
    ring.PopFront();  // kept for callers: changes nothing
    EXPECT_EQ(ring.Count(), 1u);

    CRingBuffer empty(0);
    empty.Push(1.0);
    EXPECT_EQ(empty.Count(), 0u);
    EXPECT_DOUBLE_EQ(empty.Get(0), 0.0);
    EXPECT_TRUE(empty.CopyTo(nullptr, 0));
}

TEST(RingBufferTest, UnallocatableCapacityLeavesNoStorage)
{
    CRingBuffer ring(std::uint64_t(1) << 62);  // more bytes than an address space holds
    EXPECT_FALSE(ring.IsOk());
    ring.Push(1.0);
    EXPECT_EQ(ring.Count(), 0u);
    EXPECT_DOUBLE_EQ(ring.Get(0), 0.0);
}

TEST(AnalogBufferTest, CapacityIsOneFrameMoreThanDurationTimesRate)
{
    CAnalogBuffer half(2, 1, 0.5, 100.0);
    EXPECT_EQ(half.Capacity(), 51u);
    CAnalogBuffer view(2, 1, 5.0, 100.0);
    EXPECT_EQ(view.Capacity(), 501u);

    CAnalogBuffer none(2, 1, 0.0, 100.0);
    EXPECT_FALSE(none.HasRings());
    const double row[2] = {1.0, 2.0};
    EXPECT_FALSE(none.AddFrame(row, 2, 0.0));
    EXPECT_EQ(none.Count(), 0u);
    EXPECT_FALSE(none.GetLastValue(nullptr, 0, 0, nullptr));
}

TEST(AnalogBufferTest, StoresFramesAndRefusesOversizedRows)
{
    CAnalogBuffer buffer(2, 2, 0.03, 100.0);  // 4 frames of 2 channels x 2 components
    ASSERT_EQ(buffer.Capacity(), 4u);
    const double tooLong[5] = {};
    EXPECT_FALSE(buffer.AddFrame(tooLong, 5, 0.0));
    EXPECT_FALSE(buffer.AddFrame(nullptr, 4, 0.0));
    EXPECT_EQ(buffer.Count(), 0u);

    for (int f = 0; f < 6; ++f) {
        const double row[4] = {f + 0.0, f + 0.1, f + 0.2, f + 0.3};
        ASSERT_TRUE(buffer.AddFrame(row, 4, f * 0.01));
    }
    EXPECT_EQ(buffer.Count(), 4u);
    EXPECT_DOUBLE_EQ(buffer.FirstTime(), 0.02);
    EXPECT_DOUBLE_EQ(buffer.LastTime(), 0.05);
    EXPECT_TRUE(buffer.IsTimeOverflow());

    double value = -1.0, time = -1.0;
    ASSERT_TRUE(buffer.GetValue(&value, 1, 1, 0, &time));  // frame 3, channel 1, component 0
    EXPECT_DOUBLE_EQ(value, 3.2);
    EXPECT_DOUBLE_EQ(time, 0.03);
    ASSERT_TRUE(buffer.GetLastValue(&value, 0, 1, &time));
    EXPECT_DOUBLE_EQ(value, 5.1);
    EXPECT_DOUBLE_EQ(time, 0.05);

    // At or beyond the count: true, outputs untouched.
    value = time = -1.0;
    EXPECT_TRUE(buffer.GetValue(&value, 4, 0, 0, &time));
    EXPECT_DOUBLE_EQ(value, -1.0);
    EXPECT_DOUBLE_EQ(time, -1.0);
}

TEST(AnalogBufferTest, SameInitEmptiesAndClearsOverflow)
{
    CAnalogBuffer buffer(1, 1, 0.05, 100.0);
    const double row[1] = {1.0};
    ASSERT_TRUE(buffer.AddFrame(row, 1, 0.06));
    EXPECT_TRUE(buffer.IsTimeOverflow());
    buffer.Init(1, 1, 0.05, 100.0);
    EXPECT_FALSE(buffer.IsTimeOverflow());
    EXPECT_EQ(buffer.Count(), 0u);
    EXPECT_EQ(buffer.Capacity(), 6u);
    buffer.Init(1, 1, 0.1, 100.0);
    EXPECT_EQ(buffer.Capacity(), 11u);
}

TEST(AnalogBufferTest, RefusesChannelOrComponentOutOfRange)
{
    CAnalogBuffer buffer(2, 3, 1.0, 10.0);
    const double row[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(buffer.AddFrame(row, 6, 0.0));
    double value = -1.0, time = -1.0;
    EXPECT_FALSE(buffer.GetValue(&value, 0, 2, 0, &time));  // would read the time ring
    EXPECT_FALSE(buffer.GetValue(&value, 0, 0, 3, &time));  // would read channel 1
    EXPECT_FALSE(buffer.GetValue(&value, 0, 1000000, 0, &time));
    EXPECT_FALSE(buffer.GetLastValue(&value, 5, 0, &time));
    EXPECT_FALSE(buffer.GetLastValue(&value, 0, 7, &time));
    EXPECT_DOUBLE_EQ(value, -1.0);
    ASSERT_TRUE(buffer.GetValue(&value, 0, 1, 2, &time));
    EXPECT_DOUBLE_EQ(value, 6.0);
}

TEST(AnalogBufferTest, ShortRowKeepsEveryRingAlignedWithTheTimes)
{
    CAnalogBuffer buffer(3, 1, 0.02, 100.0);  // 3 frames
    const double full[3] = {1.0, 2.0, 3.0};
    const double shortRow[1] = {10.0};
    ASSERT_TRUE(buffer.AddFrame(full, 3, 0.00));
    ASSERT_TRUE(buffer.AddFrame(shortRow, 1, 0.01));
    ASSERT_TRUE(buffer.AddFrame(full, 3, 0.02));
    ASSERT_TRUE(buffer.AddFrame(full, 3, 0.03));  // wraps
    // Frame at 0.01 is now the oldest: its missing values read 0.0, not a later frame's.
    double value = -1.0, time = -1.0;
    ASSERT_TRUE(buffer.GetValue(&value, 0, 2, 0, &time));
    EXPECT_DOUBLE_EQ(time, 0.01);
    EXPECT_DOUBLE_EQ(value, 0.0);
    ASSERT_TRUE(buffer.GetValue(&value, 0, 0, 0, &time));
    EXPECT_DOUBLE_EQ(value, 10.0);
    ASSERT_TRUE(buffer.GetLastValue(&value, 2, 0, &time));
    EXPECT_DOUBLE_EQ(value, 3.0);
    EXPECT_DOUBLE_EQ(time, 0.03);
}

TEST(AnalogBufferTest, UnusableCapacityIsRefusedWithAWarning)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double rate : {nan, inf, -100.0}) {
        CLogCapture log;
        CAnalogBuffer buffer(2, 1, 5.0, rate);
        EXPECT_FALSE(buffer.HasRings()) << "rate " << rate;
        EXPECT_EQ(log.Warnings(), 1) << "rate " << rate;
        const double row[2] = {1.0, 2.0};
        EXPECT_FALSE(buffer.AddFrame(row, 2, 0.0));
    }
    CLogCapture log;
    CAnalogBuffer infinite(2, 1, inf, 100.0);
    EXPECT_FALSE(infinite.HasRings());
    EXPECT_EQ(log.Warnings(), 1);
}

TEST(AnalogBufferTest, HugeHistoryIsCappedByTheByteBudget)
{
    CLogCapture log;
    // A day at 1 MHz over 64 channels: far beyond memory.
    CAnalogBuffer buffer(64, 1, 86400.0, 1e6);
    ASSERT_TRUE(buffer.HasRings());
    EXPECT_EQ(log.Warnings(), 1);
    EXPECT_EQ(buffer.Capacity(), kMaxSampleBufferBytes / (65 * sizeof(double)));
    const double row[64] = {};
    EXPECT_TRUE(buffer.AddFrame(row, 64, 0.0));

    CLogCapture tooManyRings;
    CAnalogBuffer rings(std::uint64_t(1) << 40, 1, 1.0, 1.0);
    EXPECT_FALSE(rings.HasRings());
    EXPECT_EQ(tooManyRings.Warnings(), 1);
}

TEST(TrackerBufferTest, CapacityRoundsDurationTimesRate)
{
    CTrackerBuffer trail(2.0, 60.0);
    EXPECT_EQ(trail.Capacity(), 120u);
    CTrackerBuffer tiny(0.02, 60.0);  // 1.2 points
    EXPECT_FALSE(tiny.HasRings());
    tiny.Push(1.0, 2.0, 3.0, 0.0);
    EXPECT_EQ(tiny.Count(), 0u);
    CTrackerBuffer half(0.025, 60.0);  // 1.5 rounds away from zero
    EXPECT_EQ(half.Capacity(), 2u);
    CTrackerBuffer noRate(2.0, 0.0);
    EXPECT_FALSE(noRate.HasRings());

    CLogCapture log;
    CTrackerBuffer endless(std::numeric_limits<double>::infinity(), 60.0);
    EXPECT_FALSE(endless.HasRings());
    EXPECT_EQ(log.Warnings(), 1);
}

TEST(TrackerBufferTest, KeepsTheLatestPoints)
{
    CTrackerBuffer trail(0.05, 60.0);  // 3 points
    ASSERT_EQ(trail.Capacity(), 3u);
    for (int i = 0; i < 4; ++i) {
        const double xyz[3] = {i + 0.0, i + 0.5, -i + 0.0};
        trail.Push(xyz, i * 0.02);
    }
    EXPECT_EQ(trail.Count(), 3u);
    EXPECT_TRUE(trail.IsTimeOverflow());
    double xyz[3] = {}, time = -1.0;
    trail.Get(xyz, &time, 0);
    EXPECT_DOUBLE_EQ(xyz[0], 1.0);
    EXPECT_DOUBLE_EQ(xyz[1], 1.5);
    EXPECT_DOUBLE_EQ(xyz[2], -1.0);
    EXPECT_DOUBLE_EQ(time, 0.02);
    time = -1.0;
    trail.Get(xyz, &time, 3);
    EXPECT_DOUBLE_EQ(time, -1.0);
    trail.Free();
    EXPECT_FALSE(trail.IsTimeOverflow());
    EXPECT_EQ(trail.Count(), 0u);
}
