#pragma once

#include <cstdint>

// Program clock and precise time-of-day clock, both on CLOCK_MONOTONIC so that
// setting the wall clock never makes pacing jump. Every function: any thread.

// Seconds and microseconds. 64-bit fields: no overflow in 2038 nor after long runs.
struct TimeVal {
    int64_t tv_sec = 0;
    int64_t tv_usec = 0;
};

// Filled by GetTimeOfDay when asked: offset of local time west of UTC, and daylight saving.
struct TimeZone {
    int tz_minuteswest = 0;
    int tz_dsttime = 0;
};

// Microseconds since program start (monotonic).
double GetProgramTime();

// Chooses the source of the precise clock: the monotonic counter (true, the default)
// or the wall clock at millisecond resolution (false), and primes it.
void InitTimeOfDay(bool usePerformanceCounter);
void GetTimeOfDay(TimeVal* out, TimeZone* tz);
void GetTimeOfDayNow(TimeVal* out);

TimeVal TimeValAdd(const TimeVal& a, const TimeVal& b);
TimeVal TimeValSub(const TimeVal& a, const TimeVal& b);
bool TimeValGreater(const TimeVal& a, const TimeVal& b);
bool TimeValEqual(const TimeVal& a, const TimeVal& b);
double TimeValDiffMs(const TimeVal& a, const TimeVal& b);
double TimeValDiffUs(const TimeVal& a, const TimeVal& b);

// Absolute monotonic time (nanoseconds, CLOCK_MONOTONIC) of a program-clock reading,
// for sleeping to a deadline with clock_nanosleep(TIMER_ABSTIME).
int64_t ProgramTimeToMonotonicNs(double programTimeUs);

// Program time (us) at which the precise clock first shows the given reading: exact with
// the monotonic counter as its source, from a reading of both clocks with the wall clock.
double PreciseTimeToProgramTime(const TimeVal& preciseTime);
