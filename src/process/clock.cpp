#include "process/clock.h"

#include <sys/time.h>

#include <atomic>
#include <cmath>
#include <ctime>
#include <mutex>

namespace {

constexpr int64_t kUsPerSec = 1000000;

int64_t MonotonicNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Taken during static initialisation, before anything else of ours runs.
const int64_t g_programStartNs = MonotonicNs();

std::atomic<bool> g_usePerformanceCounter{true};

// The precise clock's origin: the wall clock at the first reading, then the monotonic
// counter since. Only differences of this clock mean anything.
struct TimeOfDayBase {
    int64_t counterNs = 0;
    TimeVal wall;
};

const TimeOfDayBase& Base()
{
    static const TimeOfDayBase base = [] {
        TimeOfDayBase b;
        b.counterNs = MonotonicNs();
        timeval wall{};
        ::gettimeofday(&wall, nullptr);
        b.wall.tv_sec = wall.tv_sec;
        b.wall.tv_usec = wall.tv_usec;
        return b;
    }();
    return base;
}

}  // namespace

double GetProgramTime()
{
    return static_cast<double>(MonotonicNs() - g_programStartNs) / 1000.0;
}

int64_t ProgramTimeToMonotonicNs(double programTimeUs)
{
    // To the nearest nanosecond: truncated, a whole-microsecond deadline computed in
    // floating point could fall a nanosecond short of it.
    return g_programStartNs + std::llround(programTimeUs * 1000.0);
}

double PreciseTimeToProgramTime(const TimeVal& preciseTime)
{
    if (!g_usePerformanceCounter.load()) {
        TimeVal now;
        GetTimeOfDayNow(&now);
        return GetProgramTime() + TimeValDiffUs(preciseTime, now);
    }
    // The reading shows base.wall + whole microseconds of the counter since base.counterNs.
    const TimeOfDayBase& base = Base();
    return static_cast<double>(base.counterNs - g_programStartNs) / 1000.0 +
           TimeValDiffUs(preciseTime, base.wall);
}

void InitTimeOfDay(bool usePerformanceCounter)
{
    g_usePerformanceCounter.store(usePerformanceCounter);
    TimeVal prime;
    GetTimeOfDayNow(&prime);
    GetTimeOfDayNow(&prime);
}

void GetTimeOfDay(TimeVal* out, TimeZone* tz)
{
    if (tz != nullptr) {
        const time_t now = ::time(nullptr);
        tm local{};
        if (::localtime_r(&now, &local) != nullptr) {
            tz->tz_minuteswest = static_cast<int>(-local.tm_gmtoff / 60);
            tz->tz_dsttime = local.tm_isdst > 0 ? 1 : 0;
        }
    }
    if (out == nullptr)
        return;
    if (g_usePerformanceCounter.load()) {
        const TimeOfDayBase& base = Base();
        const int64_t ticks = MonotonicNs() - base.counterNs;  // monotonic: never below
        const int64_t us = ticks / 1000;
        out->tv_sec = us / kUsPerSec + base.wall.tv_sec;
        out->tv_usec = us % kUsPerSec + base.wall.tv_usec;
        if (out->tv_usec >= kUsPerSec) {
            out->tv_usec -= kUsPerSec;
            out->tv_sec += 1;
        }
    } else {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        out->tv_sec = now.tv_sec;
        out->tv_usec = (now.tv_nsec / 1000000) * 1000;
    }
}

void GetTimeOfDayNow(TimeVal* out) { GetTimeOfDay(out, nullptr); }

TimeVal TimeValAdd(const TimeVal& a, const TimeVal& b)
{
    TimeVal r;
    r.tv_sec = a.tv_sec + b.tv_sec;
    r.tv_usec = a.tv_usec + b.tv_usec;
    if (r.tv_sec > 0) {
        if (r.tv_usec < 0) {
            r.tv_sec -= 1;
            r.tv_usec += kUsPerSec;
        } else if (r.tv_usec >= kUsPerSec) {
            r.tv_sec += 1;
            r.tv_usec -= kUsPerSec;
        }
    } else if (r.tv_sec < 0) {
        if (r.tv_usec > 0) {
            r.tv_sec += 1;
            r.tv_usec -= kUsPerSec;
        } else if (r.tv_usec <= -kUsPerSec) {
            r.tv_sec -= 1;
            r.tv_usec += kUsPerSec;
        }
    } else {
        if (r.tv_usec >= kUsPerSec) {
            r.tv_sec = 1;
            r.tv_usec -= kUsPerSec;
        } else if (r.tv_usec <= -kUsPerSec) {
            r.tv_sec = -1;
            r.tv_usec += kUsPerSec;
        }
    }
    return r;
}

TimeVal TimeValSub(const TimeVal& a, const TimeVal& b)
{
    TimeVal negated;
    negated.tv_sec = -b.tv_sec;
    negated.tv_usec = -b.tv_usec;
    return TimeValAdd(a, negated);
}

bool TimeValGreater(const TimeVal& a, const TimeVal& b)
{
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec > b.tv_usec);
}

bool TimeValEqual(const TimeVal& a, const TimeVal& b)
{
    return a.tv_sec == b.tv_sec && a.tv_usec == b.tv_usec;
}

double TimeValDiffMs(const TimeVal& a, const TimeVal& b)
{
    const TimeVal d = TimeValSub(a, b);
    return static_cast<double>(d.tv_sec) * 1000.0 + static_cast<double>(d.tv_usec) / 1000.0;
}

double TimeValDiffUs(const TimeVal& a, const TimeVal& b)
{
    const TimeVal d = TimeValSub(a, b);
    return static_cast<double>(d.tv_sec) * 1000000.0 + static_cast<double>(d.tv_usec);
}
