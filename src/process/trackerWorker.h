#pragma once

#include "process/clock.h"

#include <wx/thread.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

class CNullDevice;

// The acquisition thread of one device: paces, then calls the device's Process on
// every pass. A joinable toolkit thread owned by its device: the end of its loop is
// signalled under the device's state lock, which is what Close waits for (bounded)
// before it joins the thread and frees the worker.
// Synchronised devices share one group tick at the least common multiple of their
// rates; each member fires on every n-th group tick.
class CTrackerWorker : public wxThread {
public:
    // GUI thread (CNullDevice::Create). The device owns the worker.
    explicit CTrackerWorker(CNullDevice* device);
    ~CTrackerWorker() override;

    // "/Device/use_clock_delay" when the file does not name it. A sleep to an absolute
    // deadline on the monotonic clock is precise to tens of microseconds here, so no
    // core need spin to keep the rate.
    static constexpr bool kDefaultClockDelay = true;

    // GUI thread, before the thread runs: sleep until the next due time after a
    // running pass instead of spinning ("/Device/use_clock_delay").
    void SetShortSleep(bool shortSleep) { m_shortSleep.store(shortSleep); }
    bool IsShortSleep() const { return m_shortSleep.load(); }
    // The worker whose thread calls this, or null outside acquisition threads.
    static CTrackerWorker* Current();
    // Any thread: asks the loop to end at its next pass and wakes it from a sleep.
    void RequestStop();
    // Any thread: wakes the worker from a delay-mode sleep.
    void Wake();
    // GUI thread: keeps the loop out of the device's Process until ReleasePasses, so
    // that what the caller changes reaches the next frame whole. False, holding
    // nothing, when the pass under way did not end within the timeout (a hung read).
    bool HoldPasses(std::chrono::milliseconds timeout);
    // The same in two steps, so that a caller holding several devices asks every one
    // before it waits for any: AskHold keeps the loop from entering a new pass at
    // once; TakeHold then waits until the deadline for the pass under way and, when
    // it did not end, drops the request (false, nothing held).
    void AskHold();
    bool TakeHold(std::chrono::steady_clock::time_point deadline);
    void ReleasePasses();
    // GUI thread, before the thread runs: priority 0 to 100, applied as the thread's nice
    // value (19 to -20) when it starts. The toolkit's own setter would change the nice
    // value of the calling thread on Linux. A busy-looping thread is held at the normal
    // level at most: raised, it would take the GUI thread's core.
    void SetPriorityLevel(unsigned priority) { m_priority.store(static_cast<int>(priority)); }
    static int EffectivePriority(int priority, bool shortSleep);
    // Any thread, while the thread runs: processor time it has used, in seconds (0 before).
    double GetCpuSeconds() const;
    // Any thread: set by RunThread once the thread runs.
    bool IsStarted() const { return m_started.load(); }
    void MarkStarted() { m_started.store(true); }
    // Under the device's state lock: the loop has ended and left the device alone.
    bool HasEnded() const { return m_ended; }

    // Acquisition thread: the device is paced by the group tick (a synchronised device
    // that the group accepted); false for one that paces itself.
    bool IsGroupPaced() const { return m_groupIndex >= 0; }
    // Acquisition thread: the group's elapsed time (seconds) and last tick deviation (us).
    double GetElapsed() const { return m_elapsed; }
    double GetDeviation() const { return m_deviation; }
    // Acquisition thread: program time (us) the group tick of the last fire was due;
    // spaced by the member's period whenever the fire was carried out.
    double GetLastFireDueUs() const { return m_lastFireDueUs.load(); }
    // Acquisition thread: program time (us) the last delay-mode sleep was to end; -1
    // before the first.
    double GetLastSleepUntilUs() const { return m_lastSleepUntilUs; }
    // Acquisition thread: delay-mode sleeps begun so far (pacing only, not lock waits).
    int64_t GetPacingSleeps() const { return m_pacingSleeps; }
    // Acquisition thread, group member: the fires due before programUs are none of the
    // device's (a trial starts then, whatever held the thread): unless the fire last
    // carried out was due at or after it, the next one is the first group tick at or
    // after it, every later one a period of the device after that, and the result is
    // true (the fire last carried out, if this pass made one, is not the trial's).
    bool StartFiresAt(double programUs);
    // Any thread: group fires this member fell so far behind on that their frames
    // repeat the last one.
    int64_t GetRepeatedFires() const { return m_repeatedFires.load(); }
    // Acquisition thread: fires owed as repeats of the last frame (the thread was held
    // more than a second); no fire comes before they are taken.
    int64_t GetHeldRepeats() const { return m_heldRepeats; }
    void TakeHeldRepeats(int64_t count) { m_heldRepeats -= std::min(count, m_heldRepeats); }

    // Any thread: the worker's place in the group as last configured.
    int GetGroupIndex() const { return m_groupIndexShown.load(); }
    int GetGroupRate() const { return m_groupRate.load(); }
    int GetDivisor() const { return m_divisor.load(); }
    double GetPeriodUs() const { return m_periodUs.load(); }

    // The synchronised group. Any thread; the group serialises itself.
    static bool JoinGroup(CTrackerWorker* worker);
    static bool LeaveGroup(CTrackerWorker* worker);
    static void UpdateGroup();
    static void SetGroupRate(CTrackerWorker* worker, int groupRate);
    // GUI thread: after a device setting changed; keeps each device's running state.
    static void RefreshGroup();
    // Any thread: the number of members and the current group rate (0 without members).
    static int GetGroupSize();
    static int GetCurrentGroupRate();
    // Highest group tick rate; a member that would push the rate past it paces itself.
    static constexpr int kMaxGroupRateHz = 50000;

    // GUI thread: core placement ("/Application/use_core"), only with more than 2 processors.
    static void SetUseCore(bool useCore);
    static bool IsUsingCores();
    // Any thread: books the core for the worker's thread, applied when its loop starts
    // (or at once when called from that thread). False with a message on stderr for a
    // core out of range.
    static bool SetCore(CTrackerWorker* worker, int core);
    int GetCoreSlot() const { return m_coreSlot.load(); }

    // Time Close allows for a worker's end before it reports an error (10 s by default).
    static std::chrono::milliseconds GetEndTimeout();
    static void SetEndTimeout(std::chrono::milliseconds timeout);

    // Number of fire points among group ticks (fromTick, toTick] for a member whose
    // configuration began at baseTick: it fires on the first of every divisor ticks.
    static uint64_t CountFires(uint64_t baseTick, int divisor, uint64_t fromTick, uint64_t toTick);

protected:
    ExitCode Entry() noexcept override;
    void OnExit() override;

private:
    bool ShouldEnd();
    void RunLoop();
    // Acquisition thread, around a pass: false, after waiting, while a hold is asked for.
    bool EnterPass();
    void LeavePass();
    void DropHoldRequest();
    void ApplyCore();
    void ApplyPriority();
    void ReleaseCore();
    // Group pass: refreshes the configuration after a group change and returns whether
    // this member fires now. Ticks are a function of the group's schedule and the clock,
    // so no member's pass (nor a read that blocks in it) holds up another member.
    bool GroupPass();
    void SyncGroupConfig();
    // The member's clock relative to the schedule's anchor, in microseconds.
    double ReadAnchoredNowUs();
    // Offset from the anchor of the due time of group tick `tick`.
    double DueOffsetUs(uint64_t tick) const;
    // Owes as repeats the fires a member fell more than a second behind on, all but
    // the last one due, and says so.
    void RepeatHeldFires(double lateUs);
    // Delay mode: sleeps until shortly before the next due time.
    void WaitForNextDue(bool isGroupMember);
    void WaitUntilProgramTime(double dueUs);
    void WaitForGroupTick();
    static void SetGroupRateLocked(CTrackerWorker* worker, int groupRate);

    CNullDevice* const m_device;  // non-owning; the device waits for our end
    std::atomic<bool> m_shortSleep{false};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_started{false};
    bool m_joined = false;  // acquisition thread only
    double m_lastSleepUntilUs = -1.0;  // acquisition thread
    int64_t m_pacingSleeps = 0;        // acquisition thread
    bool m_ended = false;   // guarded by the device's m_stateLock

    std::mutex m_pacingMutex;  // held around the device's Process, as the device expects
    std::mutex m_wakeMutex;    // leaf lock: delay-mode sleeps and holds wait on m_wake
    std::condition_variable m_wake;
    std::atomic<int> m_holdRequests{0};  // changed under m_wakeMutex
    std::atomic<bool> m_inPass{false};   // the loop is inside a pass
    std::atomic<bool> m_wakeRequested{false};  // set by Wake under m_wakeMutex
    std::unique_lock<std::mutex> m_hold;  // GUI thread: the hold HoldPasses took

    // Group configuration: written by UpdateGroup under the group lock, copied into the
    // plain fields below by the worker's own thread when the group generation changes.
    int m_cfgIndex = -1;
    int m_cfgDivisor = 0;
    double m_cfgPeriodUs = 0.0;
    uint64_t m_cfgBaseTick = 0;
    int m_refusal = 0;  // why the group refused the device (0: it did not)

    // Acquisition thread's copy. Group tick n is due at m_anchorUs + (n - m_anchorTick) x
    // period; this member fires on ticks m_baseTick + 1 + k x divisor.
    uint64_t m_seenGeneration = 0;
    int m_groupIndex = -1;
    int m_divisorLocal = 0;
    double m_periodLocal = 0.0;
    uint64_t m_baseTick = 0;
    uint64_t m_nextFireTick = 0;
    uint64_t m_owedFires = 0;     // due before the last group change, not yet carried out
    int64_t m_heldRepeats = 0;    // fires owed as repeats, before any other
    double m_owedDueUs = 0.0;     // program time the next of them was due
    double m_owedPeriodUs = 0.0;
    uint64_t m_anchorTick = 0;
    double m_anchorUs = 0.0;
    TimeVal m_tvAnchor;               // the precise clock's reading at m_anchorUs
    double m_tvAnchorProgramUs = 0.0;  // program time the precise clock shows m_tvAnchor
    double m_startUs = 0.0;            // program time the group began
    double m_tolerance = 0.0;
    bool m_precise = false;
    double m_elapsed = 0.0;
    double m_deviation = 0.0;

    // Shown to other threads.
    std::atomic<int> m_groupIndexShown{-1};
    std::atomic<int> m_groupRate{0};
    std::atomic<int> m_divisor{0};
    std::atomic<double> m_periodUs{0.0};
    std::atomic<int> m_coreSlot{-1};
    std::atomic<int> m_pendingCore{-1};
    std::atomic<int> m_priority{-1};  // -1: leave the thread as created
    std::atomic<bool> m_hasCpuClock{false};
    clockid_t m_cpuClock{};  // written before m_hasCpuClock is set
    std::atomic<double> m_lastFireDueUs{-1.0};  // program time the last fired tick was due
    std::atomic<int64_t> m_repeatedFires{0};
};

// Number of logical processors.
uint64_t GetProcessorCount();
