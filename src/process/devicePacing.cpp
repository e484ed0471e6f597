// CDevice's own pacing: devices outside the synchronised group tick on their own clock.
#include "process/device.h"

#include "process/messageQueue.h"
#include "process/trackerWorker.h"

#include <wx/intl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace {

bool IsUsableRate(double rate) { return rate > 0.0 && std::isfinite(rate); }

TimeVal ShiftTimeVal(const TimeVal& time, double us)
{
    const auto whole = static_cast<int64_t>(std::llround(std::fabs(us)));
    const TimeVal shift{whole / 1000000, whole % 1000000};
    return us < 0.0 ? TimeValSub(time, shift) : TimeValAdd(time, shift);
}

}  // namespace

void CDevice::ResetClock()
{
    const CTrackerWorker* current = CTrackerWorker::Current();
    bool isDeferred = false;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        isDeferred = m_worker != nullptr && m_worker->IsStarted() && m_worker.get() != current;
        if (isDeferred) {
            m_clockResetRequested.store(true);  // the running thread owns the pacing fields
            // A thread asleep until the old schedule's next tick (a period at most)
            // would start the new one that late.
            m_worker->Wake();
        }
    }
    if (!isDeferred) ResetClockNow();
}

void CDevice::ResetClockNow()
{
    m_clockResetRequested.store(false);
    // Kept until the first tick: a device that resets again before it (a player
    // rewinding to its first frame) still starts at the trial's instant.
    const double startAtUs = m_clockStartAtUs.load();
    ReadPreciseClock(&m_tvNow);
    m_tvLast = m_tvNow;
    m_tvStart = m_tvNow;
    m_tvAnchor = m_tvNow;
    m_clockStart = ReadProgramClockUs();
    m_clockNow = ReadProgramClockUs();
    const double rate = m_rate.load();
    const double periodUs = IsUsableRate(rate) ? 1.0e6 / rate : 0.0;
    if (startAtUs >= 0.0) {
        // A trial's common instant, already past when the thread resets: its first
        // tick is due then on either clock, and the ticks since are caught up.
        // The precise reading's program time: taken between two program readings, again
        // when the thread was interrupted between them.
        double beforeUs = 0.0;
        double afterUs = 0.0;
        for (int attempt = 0; attempt < 4; ++attempt) {
            beforeUs = ReadProgramClockUs();
            ReadPreciseClock(&m_tvNow);
            afterUs = ReadProgramClockUs();
            if (afterUs - beforeUs < 2.0) break;
        }
        const double preciseSinceUs = std::max(0.0, 0.5 * (beforeUs + afterUs) - startAtUs);
        m_tvLast = m_tvNow;
        m_tvStart = ShiftTimeVal(m_tvNow, -preciseSinceUs);
        m_tvAnchor = ShiftTimeVal(m_tvStart, -periodUs);
        m_clockStart = std::min(m_clockNow, startAtUs);
        m_clockNow = m_clockStart;
    }
    // The program clock's first tick is due at once, the precise clock's one period later.
    m_clockLast = m_clockNow - periodUs;
    m_clockAnchor = m_clockLast;
    m_anchorOffsetUs = 0.0;
    m_tickIndex = 0;
    m_pacedRate = rate;
    m_heldRepeats = 0;  // ticks of the schedule just left
    m_isHeldSpell = false;
    m_elapsedTime.store(0.0);
    ClearClockStats();
}

int64_t CDevice::HeldRepeatStep(double rate)
{
    const double tenth = IsUsableRate(rate) ? std::floor(rate / 10.0) : 1.0;
    return static_cast<int64_t>(std::clamp(tenth, 1.0, static_cast<double>(kHeldRepeatsPerPass)));
}

int64_t CDevice::PayHeldRepeats(int64_t owed)
{
    if (owed <= 0) return 0;
    if (!IsRunning()) {
        // The ticks owed are dropped with the stop: the spell ends here, so that the
        // frames read after the start are not taken for repeats.
        if (m_isHeldSpell) MarkHeldSpellEnd();
        m_isHeldSpell = false;
        return owed;
    }
    if (!m_isHeldSpell) {
        m_isHeldSpell = true;
        MarkHeldSpell(owed);
    }
    int64_t step = std::min(owed, HeldRepeatStep(m_rate.load()));
    const int64_t room = HeldRepeatRoom();
    if (room >= step)
        m_heldRoomWaits = 0;
    else if (m_heldRoomWaits < kMaxHeldRoomWaits) {
        ++m_heldRoomWaits;
        step = std::max<int64_t>(room, 0);
    }
    for (int64_t i = 0; i < step; ++i) {
        DispatchRepeat();
        CountSample();
    }
    m_heldRepeatCount.fetch_add(step);
    if (step == owed) {
        m_isHeldSpell = false;
        m_heldRoomWaits = 0;
        MarkHeldSpellEnd();
    } else {
        // The writer's thread drains the queue meanwhile: a burst faster than it would
        // overflow the queue, and a dropped frame moves every later one.
        std::this_thread::sleep_for(
            std::chrono::microseconds(static_cast<int64_t>(kHeldRepeatPauseUs)));
    }
    return step;
}

bool CDevice::CheckClock()
{
    const CTrackerWorker* worker = GetWorker();
    if (m_synchronised && worker != nullptr && worker->IsGroupPaced())
        return false;
    if (m_clockResetRequested.load())
        ResetClockNow();
    const double rate = m_rate.load();
    if (!IsUsableRate(rate)) {
        if (!m_rateErrorShown) {
            m_rateErrorShown = true;
            PostError(_("sampling rate is not a positive number: no samples"));
        }
        return false;
    }
    m_rateErrorShown = false;
    if (m_heldRepeats > 0) {
        // Ticks of the paced rate the thread was held through go first, in steps.
        const int64_t paid = PayHeldRepeats(m_heldRepeats);
        m_heldRepeats -= paid;
        m_tickIndex += paid;
        m_clockLast = m_clockAnchor + m_anchorOffsetUs +
                      static_cast<double>(m_tickIndex) * (1.0e6 / m_pacedRate);
        if (m_heldRepeats > 0) return false;
    }
    const double periodUs = 1.0e6 / rate;
    if (rate != m_pacedRate) {
        // A new rate: the schedule goes on from the last tick with the new period; after
        // an unusable rate the first tick is due at once.
        if (IsUsableRate(m_pacedRate)) {
            m_anchorOffsetUs += static_cast<double>(m_tickIndex) * (1.0e6 / m_pacedRate);
        } else if (m_preciseClock.load()) {
            TimeVal now;
            ReadPreciseClock(&now);
            m_anchorOffsetUs = TimeValDiffUs(now, m_tvAnchor) - periodUs;
        } else {
            m_anchorOffsetUs = ReadProgramClockUs() - m_clockAnchor - periodUs;
        }
        m_tickIndex = 0;
        m_pacedRate = rate;
    }
    const double tolerance = m_clockTolerance.load();
    const double dueOffsetUs = m_anchorOffsetUs + static_cast<double>(m_tickIndex + 1) * periodUs;
    double lateUs = 0.0;
    double nowUs = 0.0;
    bool isTime = false;
    if (m_preciseClock.load()) {
        ReadPreciseClock(&m_tvNow);
        nowUs = TimeValDiffUs(m_tvNow, m_tvAnchor);
        lateUs = nowUs - dueOffsetUs;
        isTime = lateUs >= 0.0 || std::fabs(lateUs) < tolerance;
        m_elapsedTime.store(TimeValDiffMs(m_tvNow, m_tvStart) / 1000.0);
    } else {
        m_clockNow = ReadProgramClockUs();
        nowUs = m_clockNow - m_clockAnchor;
        lateUs = nowUs - dueOffsetUs;
        isTime = lateUs > 0.0 || lateUs > -tolerance;
        m_elapsedTime.store((m_clockNow - m_clockStart) / 1000.0 / 1000.0);
    }
    if (!isTime)
        return false;
    m_clockStartAtUs.store(-1.0);
    m_clockDeviation.store(std::fabs(lateUs));
    if (lateUs > kMaxLagUs) {
        // Suspended or stopped in a debugger: no burst of readings made now for ticks
        // long gone. The ticks before the last one due repeat the last frame, so that
        // every later frame keeps its place in time; the last one is read now.
        const auto missed = static_cast<int64_t>(std::floor(lateUs / periodUs));
        m_reanchorCount.fetch_add(1);
        const double reportUs = ReadProgramClockUs();
        if (!m_hasReanchorReport || reportUs - m_lastReanchorReportUs >= kReanchorReportUs) {
            m_hasReanchorReport = true;
            m_lastReanchorReportUs = reportUs;
            PostError(wxString::Format(_("pacing fell more than one second behind; %lld "
                                         "frames repeat the last values"),
                                       static_cast<long long>(missed)));
        }
        const int64_t paid = PayHeldRepeats(missed);
        m_heldRepeats = missed - paid;
        m_tickIndex += paid;
        if (m_heldRepeats > 0) {
            m_clockLast =
                m_clockAnchor + m_anchorOffsetUs + static_cast<double>(m_tickIndex) * periodUs;
            return false;
        }
    }
    ++m_tickIndex;
    m_clockLast = m_clockAnchor + m_anchorOffsetUs + static_cast<double>(m_tickIndex) * periodUs;
    if (m_preciseClock.load())
        m_tvLast = m_tvNow;
    return true;
}

double CDevice::GetTimeToNextSampleUs()
{
    const double dueOffsetUs = NextDueOffsetUs();
    if (!std::isfinite(dueOffsetUs))
        return dueOffsetUs < 0.0 ? 0.0 : dueOffsetUs;
    if (m_preciseClock.load()) {
        TimeVal now;
        ReadPreciseClock(&now);
        return dueOffsetUs - TimeValDiffUs(now, m_tvAnchor);
    }
    return dueOffsetUs - (ReadProgramClockUs() - m_clockAnchor);
}

double CDevice::GetNextSampleDueUs()
{
    const double dueOffsetUs = NextDueOffsetUs();
    if (!std::isfinite(dueOffsetUs))
        return dueOffsetUs;  // unknown, or due at once
    // The precise clock shows whole microseconds: the tick is due when it shows the
    // next whole one, not a fraction earlier, or the wake-up would find it not yet due.
    if (m_preciseClock.load())
        return PreciseTimeToProgramTime(m_tvAnchor) + std::ceil(dueOffsetUs);
    return m_clockAnchor + dueOffsetUs;
}

double CDevice::NextDueOffsetUs() const
{
    const CTrackerWorker* worker = GetWorker();
    if (m_synchronised && worker != nullptr && worker->IsGroupPaced())
        return std::nan("");
    const double rate = m_rate.load();
    if (!IsUsableRate(rate))
        return std::nan("");
    if (rate != m_pacedRate || m_clockResetRequested.load())
        return -HUGE_VAL;  // due at once: CheckClock settles the schedule on its next pass
    return m_anchorOffsetUs + static_cast<double>(m_tickIndex + 1) * (1.0e6 / rate);
}
