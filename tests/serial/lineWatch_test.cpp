#include "serial/lineWatch.h"

#include <gtest/gtest.h>

#include <chrono>

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

}  // namespace
