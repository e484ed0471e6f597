#include "process/triggerCrossings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "process/clock.h"

namespace {

using Kind = TriggerCrossing::Kind;

std::vector<Kind> Drain(CTriggerCrossings& crossings)
{
    std::vector<Kind> kinds;
    TriggerCrossing crossing;
    while (crossings.Pop(crossing)) kinds.push_back(crossing.kind);
    return kinds;
}

TEST(TriggerCrossings, EveryChangeIsKeptInOrderRepeatsAreOne)
{
    CTriggerCrossings serial;
    serial.SetLevels(4.0, 1.0, false);  // the serial trigger: strictly below its low level
    for (double volts : {0.5, 4.2, 4.5, 2.0, 0.99, 1.0, 0.2, 4.0, 3.9}) serial.Feed(volts);
    EXPECT_EQ(Drain(serial), (std::vector<Kind>{Kind::Stop, Kind::Start, Kind::Stop, Kind::Start}));
    EXPECT_DOUBLE_EQ(serial.GetLastValue(), 3.9);

    CTriggerCrossings osc;
    osc.SetLevels(255.0, -255.0, true);  // the OSC trigger: its low value included
    for (double value : {255.0, -255.0, 255.0, 255.0, std::nan(""), -300.0}) osc.Feed(value);
    TriggerCrossing first;
    ASSERT_TRUE(osc.Peek(first));
    EXPECT_EQ(first.kind, Kind::Start);
    EXPECT_EQ(first.value, 255.0);
    EXPECT_EQ(Drain(osc), (std::vector<Kind>{Kind::Start, Kind::Stop, Kind::Start, Kind::Stop}));
    // Once taken, the same level again is a new crossing.
    osc.Feed(-300.0);
    EXPECT_EQ(Drain(osc), (std::vector<Kind>{Kind::Stop}));
    osc.Feed(300.0);
    osc.Clear();
    EXPECT_TRUE(Drain(osc).empty());
}

TEST(TriggerCrossings, FullQueueKeepsTheEarliestAndCountsTheRest)
{
    CTriggerCrossings crossings;
    crossings.SetLevels(1.0, 0.0, true);
    const int fed = int(CTriggerCrossings::kCapacity) + 9;
    for (int i = 0; i < fed; ++i) crossings.Feed(i % 2 == 0 ? 1.0 : 0.0);
    const std::vector<Kind> kinds = Drain(crossings);
    ASSERT_EQ(kinds.size(), CTriggerCrossings::kCapacity);
    for (size_t i = 0; i < kinds.size(); ++i)
        EXPECT_EQ(kinds[i], i % 2 == 0 ? Kind::Start : Kind::Stop) << i;
    EXPECT_EQ(crossings.TakeOverflows(), 9);
    EXPECT_EQ(crossings.TakeOverflows(), 0);
}

// After a storm overflowed the queue, a level the input keeps sending is acted on
// once there is room, with the time its dropped crossing came; repeats while the
// queue is still full are that one crossing, counted once.
TEST(TriggerCrossings, LevelStandingAfterAnOverflowIsQueuedOnceThereIsRoom)
{
    for (const bool isStormEndingHigh : {true, false}) {
        SCOPED_TRACE(isStormEndingHigh ? "storm ends on a start" : "storm ends on a stop");
        CTriggerCrossings crossings;
        crossings.SetLevels(255.0, -255.0, true);
        const int fed = int(CTriggerCrossings::kCapacity) + (isStormEndingHigh ? 5 : 6);
        for (int i = 0; i < fed; ++i) crossings.Feed(i % 2 == 0 ? 255.0 : -255.0, 1000.0 + i);
        const double standing = isStormEndingHigh ? 255.0 : -255.0;
        const Kind standingKind = isStormEndingHigh ? Kind::Start : Kind::Stop;
        // Still full: the level sent again and again is the one dropped crossing.
        for (int i = 0; i < 10; ++i) crossings.Feed(standing, 5000.0 + i);
        EXPECT_EQ(crossings.TakeOverflows(), fed - int(CTriggerCrossings::kCapacity));
        // The reader takes one; the level, sent on, now goes in.
        TriggerCrossing crossing;
        ASSERT_TRUE(crossings.Pop(crossing));
        crossings.Feed(standing, 6000.0);
        crossings.Feed(standing, 6001.0);  // waiting already: nothing more
        std::vector<TriggerCrossing> rest;
        while (crossings.Pop(crossing)) rest.push_back(crossing);
        ASSERT_EQ(rest.size(), CTriggerCrossings::kCapacity);
        EXPECT_EQ(rest.back().kind, standingKind);
        EXPECT_EQ(rest.back().atUs, 1000.0 + fed - 1);  // when its crossing came
        EXPECT_EQ(crossings.TakeOverflows(), 0);
        // Taken: the same level again is a new crossing as before.
        crossings.Feed(standing, 7000.0);
        ASSERT_TRUE(crossings.Pop(crossing));
        EXPECT_EQ(crossing.atUs, 7000.0);
        // The level that changes instead is queued as it comes.
        crossings.Feed(-standing, 8000.0);
        ASSERT_TRUE(crossings.Pop(crossing));
        EXPECT_EQ(crossing.kind, isStormEndingHigh ? Kind::Stop : Kind::Start);
    }
}

int s_wakeUps = 0;
void CountWakeUp() { ++s_wakeUps; }

// A reader waiting for a crossing wakes when one comes from another thread; a
// feeder far ahead of its reader loses nothing while the queue has room.
TEST(TriggerCrossingsThreads, ReaderWakesAndTakesEveryCrossingInOrder)
{
    CTriggerCrossings crossings;
    crossings.SetLevels(1.0, -1.0, true);
    s_wakeUps = 0;
    crossings.SetWakeUp(CountWakeUp);
    constexpr int kCrossings = 2000;
    std::atomic<int> taken{0};
    std::thread feeder([&] {
        for (int i = 0; i < kCrossings; ++i) {
            // Never more than half a queue ahead of the reader.
            while (i - taken.load() >= int(CTriggerCrossings::kCapacity / 2))
                std::this_thread::yield();
            crossings.Feed(0.0);  // between the levels: no crossing
            crossings.Feed(i % 2 == 0 ? 2.0 : -2.0);
        }
    });
    int inOrder = 0;
    for (int i = 0; i < kCrossings; ++i) {
        TriggerCrossing crossing;
        if (!crossings.WaitPop(crossing, std::chrono::seconds(10))) break;
        if (crossing.kind == (i % 2 == 0 ? Kind::Start : Kind::Stop)) ++inOrder;
        taken.store(i + 1);
    }
    feeder.join();
    EXPECT_EQ(inOrder, kCrossings);
    EXPECT_EQ(crossings.TakeOverflows(), 0);
    EXPECT_EQ(s_wakeUps, kCrossings);
    TriggerCrossing none;
    EXPECT_FALSE(crossings.WaitPop(none, std::chrono::milliseconds(1)));
}

}  // namespace

// A crossing keeps the time it came, so that a start taken late can say how late.
TEST(TriggerCrossings, EachCrossingKeepsTheTimeItCame)
{
    CTriggerCrossings osc;
    osc.SetLevels(255.0, -255.0, true);
    EXPECT_EQ(osc.GetLastTakenTime(), 0.0);
    const double before = GetProgramTime();
    osc.Feed(255.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const double between = GetProgramTime();
    osc.Feed(-255.0);
    const double after = GetProgramTime();
    TriggerCrossing start;
    ASSERT_TRUE(osc.Pop(start));
    EXPECT_GE(start.atUs, before);
    EXPECT_LE(start.atUs, between);
    EXPECT_EQ(osc.GetLastTakenTime(), start.atUs);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    TriggerCrossing stop;
    ASSERT_TRUE(osc.Pop(stop));
    EXPECT_GE(stop.atUs, between);
    EXPECT_LE(stop.atUs, after);  // fed then, not taken now
    EXPECT_EQ(osc.GetLastTakenTime(), stop.atUs);
}
