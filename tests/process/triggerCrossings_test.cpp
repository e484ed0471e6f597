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
    // Taken or not, the same level again is no new crossing: only a change is.
    osc.Feed(-300.0);
    EXPECT_TRUE(Drain(osc).empty());
    osc.Feed(300.0);
    osc.Clear();
    EXPECT_TRUE(Drain(osc).empty());
}

// A full queue drops the oldest whole trials waiting (a start and its stop), never the
// running trial's stop ahead of them nor the newest crossing: the input ends in the
// sender's last state (a bundle of 40 alternating values ending on a stop, say).
TEST(TriggerCrossings, FullQueueDropsWholeOlderTrialsNeverTheNewest)
{
    for (const bool isCapturing : {false, true}) {
        SCOPED_TRACE(isCapturing ? "a trial runs" : "no trial runs");
        CTriggerCrossings crossings;
        crossings.SetLevels(255.0, -255.0, true);
        TriggerCrossing crossing;
        if (isCapturing) {
            crossings.Feed(255.0, 1.0);
            ASSERT_TRUE(crossings.Pop(crossing));  // the running trial's start
        }
        const int fed = 40;
        for (int i = 0; i < fed; ++i)
            crossings.Feed((i % 2 == 0) != isCapturing ? 255.0 : -255.0, 100.0 + i);
        std::vector<TriggerCrossing> kept;
        while (crossings.Pop(crossing)) kept.push_back(crossing);
        EXPECT_EQ(crossings.TakeOverflows(), fed - int(kept.size()));
        EXPECT_EQ((fed - kept.size()) % 2, 0u);
        ASSERT_GE(kept.size(), CTriggerCrossings::kCapacity - 1);
        EXPECT_EQ(kept.back().atUs, 100.0 + fed - 1);  // the newest, in the sender's last state
        EXPECT_EQ(kept.front().atUs, isCapturing ? 100.0 : 100.0 + double(fed - int(kept.size())))
            << "the running trial's stop stays";
        for (size_t i = 1; i < kept.size(); ++i) EXPECT_NE(kept[i].kind, kept[i - 1].kind) << i;
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
