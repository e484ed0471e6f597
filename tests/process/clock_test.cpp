#include "process/clock.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TimeVal Tv(int64_t sec, int64_t usec)
{
    TimeVal t;
    t.tv_sec = sec;
    t.tv_usec = usec;
    return t;
}

}  // namespace

TEST(TimeValTest, AdditionCarriesAndBorrowsIntoRange)
{
    struct Case {
        TimeVal a, b, sum;
    };
    const Case cases[] = {
        {Tv(1, 600000), Tv(0, 500000), Tv(2, 100000)},
        {Tv(0, -600000), Tv(0, -500000), Tv(-1, -100000)},
        {Tv(0, 600000), Tv(0, 500000), Tv(1, 100000)},
        {Tv(2, 100000), Tv(0, -300000), Tv(1, 800000)},
        {Tv(-2, -100000), Tv(0, 300000), Tv(-1, -800000)},
        {Tv(-1, -600000), Tv(0, -500000), Tv(-2, -100000)},
        {Tv(0, 400000), Tv(0, -900000), Tv(0, -500000)},
        {Tv(5, 0), Tv(-5, 0), Tv(0, 0)},
        // Past 32-bit seconds: 2^31 s plus change.
        {Tv(2147483647, 999999), Tv(0, 1), Tv(2147483648LL, 0)},
    };
    for (const Case& c : cases) {
        const TimeVal sum = TimeValAdd(c.a, c.b);
        EXPECT_EQ(sum.tv_sec, c.sum.tv_sec) << c.a.tv_sec << "," << c.a.tv_usec;
        EXPECT_EQ(sum.tv_usec, c.sum.tv_usec) << c.a.tv_sec << "," << c.a.tv_usec;
    }
}

TEST(TimeValTest, SubtractionComparisonAndDifferences)
{
    const TimeVal d = TimeValSub(Tv(3, 100000), Tv(1, 900000));
    EXPECT_EQ(d.tv_sec, 1);
    EXPECT_EQ(d.tv_usec, 200000);
    EXPECT_TRUE(TimeValGreater(Tv(1, 2), Tv(1, 1)));
    EXPECT_TRUE(TimeValGreater(Tv(2, 0), Tv(1, 999999)));
    EXPECT_FALSE(TimeValGreater(Tv(1, 1), Tv(1, 1)));
    EXPECT_TRUE(TimeValEqual(Tv(1, 1), Tv(1, 1)));
    EXPECT_FALSE(TimeValEqual(Tv(1, 1), Tv(1, 2)));
    EXPECT_DOUBLE_EQ(TimeValDiffMs(Tv(3, 100000), Tv(1, 900000)), 1200.0);
    EXPECT_DOUBLE_EQ(TimeValDiffUs(Tv(3, 100000), Tv(1, 900000)), 1200000.0);
    EXPECT_DOUBLE_EQ(TimeValDiffUs(Tv(1, 0), Tv(1, 250)), -250.0);
    // Years of microseconds do not overflow.
    EXPECT_DOUBLE_EQ(TimeValDiffUs(Tv(4000000000LL, 0), Tv(0, 0)), 4.0e15);
}

TEST(ClockTest, ProgramClockAndPreciseClockAdvanceTogether)
{
    InitTimeOfDay(true);
    TimeVal startTv;
    GetTimeOfDayNow(&startTv);
    const double startUs = GetProgramTime();
    EXPECT_GE(startUs, 0.0);
    double previous = startUs;
    // Spin (no sleep) until 20 ms have passed on the program clock; it never goes back.
    while (previous - startUs < 20000.0) {
        const double now = GetProgramTime();
        ASSERT_GE(now, previous);
        previous = now;
    }
    TimeVal endTv;
    GetTimeOfDayNow(&endTv);
    const double endUs = GetProgramTime();
    const double preciseUs = TimeValDiffUs(endTv, startTv);
    EXPECT_GE(preciseUs, 20000.0 - 1.0);
    EXPECT_LE(preciseUs, endUs - startUs + 2.0);
    TimeZone zone;
    TimeVal withZone;
    GetTimeOfDay(&withZone, &zone);
    EXPECT_GE(withZone.tv_usec, 0);
    EXPECT_LT(withZone.tv_usec, 1000000);
}

TEST(ClockTest, MillisecondSourceHasWholeMilliseconds)
{
    InitTimeOfDay(false);
    TimeVal now;
    GetTimeOfDayNow(&now);
    InitTimeOfDay(true);
    EXPECT_EQ(now.tv_usec % 1000, 0);
}

// A sleep to the program time of a precise reading ends when the precise clock first
// shows it: not a nanosecond before (the waking pass would find its tick not yet due),
// nor a microsecond after.
TEST(ClockTest, PreciseReadingMapsToTheProgramTimeItIsFirstShown)
{
    // Program times of whole nanoseconds give those nanoseconds, whatever the rounding
    // of their microseconds in floating point.
    const int64_t zeroNs = ProgramTimeToMonotonicNs(0.0);
    for (int64_t ns = 0; ns < 3000000; ns += 7)
        ASSERT_EQ(ProgramTimeToMonotonicNs(static_cast<double>(ns) / 1000.0) - zeroNs, ns);
    InitTimeOfDay(true);
    TimeVal firstTv;
    GetTimeOfDayNow(&firstTv);
    const int64_t firstNs = ProgramTimeToMonotonicNs(PreciseTimeToProgramTime(firstTv));
    for (int i = 0; i < 20000; ++i) {
        const double beforeUs = GetProgramTime();
        TimeVal tv;
        GetTimeOfDayNow(&tv);
        const double afterUs = GetProgramTime();
        const double shownUs = PreciseTimeToProgramTime(tv);
        // Shown from shownUs for one microsecond, and read meanwhile.
        ASSERT_LE(shownUs, afterUs) << i;
        ASSERT_GT(shownUs + 1.0, beforeUs) << i;
        // Whole microseconds of the precise clock are whole microseconds of the counter.
        ASSERT_EQ(ProgramTimeToMonotonicNs(shownUs) - firstNs,
                  static_cast<int64_t>(TimeValDiffUs(tv, firstTv)) * 1000)
            << i;
    }
    // The millisecond source: read against the program clock, within its resolution.
    InitTimeOfDay(false);
    const double beforeUs = GetProgramTime();
    TimeVal tv;
    GetTimeOfDayNow(&tv);
    const double shownUs = PreciseTimeToProgramTime(tv);
    InitTimeOfDay(true);
    EXPECT_LE(shownUs, GetProgramTime());
    EXPECT_GT(shownUs + 1000.0, beforeUs);
}
