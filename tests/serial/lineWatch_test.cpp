#include "serial/lineWatch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using Change = CLineWatch::Change;

// Reads that timed out on a port still there (a stall, a burst of noise) often pass:
// the first attempt to get the line back is due at once, the next ones an interval
// apart. A port that went away gets the interval before its first attempt too.
TEST(LineWatch, TimedOutReadsTryAgainAtOnceAVanishedPortAfterAnInterval)
{
    CLineWatch line(3, std::chrono::seconds(60));
    EXPECT_FALSE(line.IsReopenDue());
    EXPECT_EQ(line.Failed(false), Change::None);
    EXPECT_EQ(line.Failed(false), Change::None);
    EXPECT_EQ(line.Failed(false), Change::Lost);
    EXPECT_TRUE(line.IsReopenDue());
    EXPECT_FALSE(line.IsReopenDue());
    line.ReopenTried();
    EXPECT_FALSE(line.IsReopenDue());
    EXPECT_EQ(line.Failed(false), Change::None);  // said once
    EXPECT_EQ(line.Succeeded(), Change::Back);
    EXPECT_EQ(line.Failed(true), Change::Lost);
    EXPECT_FALSE(line.IsReopenDue());
    EXPECT_EQ(line.GetLostCount(), 2);
}

// With quick attempts, a line lost a moment ago is tried again soon after a failed
// attempt, not a whole interval later; once the quick span is over, the interval holds.
TEST(LineWatch, QuickAttemptsFollowALossForTheirSpanOnly)
{
    using Clock = std::chrono::steady_clock;
    CLineWatch line(1, std::chrono::seconds(60));
    line.SetQuickReopen(std::chrono::milliseconds(20), std::chrono::milliseconds(300));
    const Clock::time_point lostAt = Clock::now();
    EXPECT_EQ(line.Failed(false), Change::Lost);
    EXPECT_TRUE(line.IsReopenDue());
    line.ReopenTried();
    // Due again within the quick span, and attempts go on while it lasts.
    int attempts = 1;
    while (Clock::now() - lostAt < std::chrono::milliseconds(250)) {
        if (line.IsReopenDue()) {
            ++attempts;
            line.ReopenTried();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GE(attempts, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    // The last attempt of the span set the next one an interval on: none for 60 s.
    if (line.IsReopenDue()) line.ReopenTried();
    EXPECT_FALSE(line.IsReopenDue());
}

}  // namespace
