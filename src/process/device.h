#pragma once

#include "process/clock.h"
#include "process/lockMutex.h"

#include <wx/string.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class CTrackerWorker;
class CDeviceOwner;

// Root of the device family: the link to the device's acquisition thread, the running
// and start flags, the sampling rate and pacing settings, the data mutex.
// Create, RunThread, Close, Start, Stop and the setters: GUI thread. Process and what it
// reaches: the device's acquisition thread. Getters of flags: any thread.
// A device must be closed (Close) before its most derived part is destroyed, so that
// its thread never runs into a half-destroyed object; delete devices through
// CDeviceDeleter (or call Close first in the most derived destructor).
class CNullDevice {
public:
    explicit CNullDevice(bool synchronised);
    virtual ~CNullDevice();
    CNullDevice(const CNullDevice&) = delete;
    CNullDevice& operator=(const CNullDevice&) = delete;

    virtual bool Create(bool shortSleep);
    virtual bool RunThread();
    virtual bool IsRunning() const { return m_running.load(); }
    virtual void SetRunning(bool running) { m_running.store(running); }
    virtual bool IsAutoStart() const { return m_autoStart.load(); }
    virtual bool IsPreciseClock() const { return m_preciseClock.load(); }
    virtual void SetPreciseClock(bool precise) { m_preciseClock.store(precise); }
    virtual double GetRate() const { return m_rate.load(); }
    virtual bool Process(bool tick, bool running);
    virtual void Stop() { SetRunning(false); }
    virtual void Start() { SetRunning(true); }
    virtual bool IsSynchronised() const { return m_synchronised; }
    virtual void SetTag(int tag) { m_tag.store(tag); }
    virtual int GetTag() const { return m_tag.load(); }
    virtual double GetClockTolerance() const { return m_clockTolerance.load(); }
    virtual void SetClockTolerance(double toleranceUs) { m_clockTolerance.store(toleranceUs); }
    // Stops the device and ends its thread, waiting (bounded) for the end. Idempotent.
    virtual void Close();
    // Acquisition thread: microseconds until the device's own next sample is due (<= 0:
    // now); NaN when it does not know. Lets the delay mode sleep instead of spinning.
    virtual double GetTimeToNextSampleUs() { return std::nan(""); }
    // Acquisition thread: program time (us) at which the device's own next sample is due
    // (-HUGE_VAL: at once); NaN when it does not know. The delay mode sleeps to it.
    virtual double GetNextSampleDueUs() { return std::nan(""); }

    // GUI thread, after Create: the thread's priority on the toolkit's 0 to 100 scale,
    // applied when the thread starts. False without a worker.
    bool SetWorkerPriority(unsigned priority);
    // "/Device/worker_priority": 0 gives 0, 1 gives 50, any other value 100.
    static unsigned WorkerPriorityFromSetting(long setting);

    // Any thread: true once Close has seen the thread end (or there was none).
    bool IsClosed() const { return m_closed.load(); }
    // Any thread: an acquisition thread exists for this device.
    bool HasWorker();
    // Any thread: no acquisition thread runs the device's loop (none, or it has ended).
    bool HasThreadEnded();
    // GUI thread, before Close: the close waits only briefly for the thread and says
    // nothing when it has not ended; the caller then closes the device in the background.
    void SetPromptClose() { m_promptClose.store(true); }
    // GUI thread: keeps the acquisition thread between two passes of Process until
    // ReleasePasses, so that a reset and what is armed with it reach the same next
    // frame. True also without a thread; false when the pass under way did not end
    // within the timeout (a read that hangs), and then nothing is held.
    bool HoldPasses(std::chrono::milliseconds timeout);
    // HoldPasses in two steps (CTrackerWorker::AskHold, TakeHold): ask every device,
    // then take each hold by one deadline, so that a device whose read hangs holds
    // back neither the others' holds nor the time they are held. AskHoldPasses is
    // false when there is no running thread (nothing to hold; TakeHeldPasses true).
    bool AskHoldPasses();
    bool TakeHeldPasses(std::chrono::steady_clock::time_point deadline);
    void ReleasePasses();
    // The data mutex. Lock: true only when the wait failed.
    bool Lock() { return LockMutex(&m_dataMutex); }
    void Unlock() { ReleaseMutex(&m_dataMutex); }

protected:
    // Asks the toolkit for the worker's thread; a seam for tests of the failure path.
    virtual bool CreateWorkerThread(CTrackerWorker& worker);
    // Ends and waits for the thread (bounded). True when no thread remains.
    bool CloseThread();
    // Acquisition thread: the worker running this device, or null.
    CTrackerWorker* GetWorker() const { return m_worker.get(); }

    // The acquisition thread (joinable): made by Create, joined and freed by Close.
    std::unique_ptr<CTrackerWorker> m_worker;  // guarded by m_stateLock
    std::mutex m_stateLock;                    // guards m_worker while the thread ends
    std::condition_variable m_workerEnded;     // the worker's loop has ended
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_closed{false};
    std::atomic<bool> m_promptClose{false};
    std::atomic<bool> m_autoStart{true};
    std::atomic<bool> m_preciseClock{false};
    std::atomic<double> m_rate{25.0};  // Hz
    const bool m_synchronised;
    std::atomic<int> m_tag{-1};
    std::atomic<double> m_clockTolerance{0.05};  // microseconds
    MutexHandle m_dataMutex{nullptr};

private:
    friend class CTrackerWorker;
};

// Deletes a device after closing it. A device whose thread does not end at once is
// handed to the background closer (CDeviceCloser), never freed under its running
// thread nor waited for.
struct CDeviceDeleter {
    void operator()(CNullDevice* device) const;
};

// What every device shares: names, the sample row and the row of enabled values,
// channels, offsets, counters, its own pacing clock, OSC and VRPN output, validators.
class CDevice : public CNullDevice {
public:
    CDevice(bool synchronised, bool preciseClock);
    ~CDevice() override;

    bool Create(bool shortSleep) override;
    bool Process(bool tick, bool running) override;
    void SetPreciseClock(bool precise) override;
    void Close() override;
    double GetTimeToNextSampleUs() override;
    double GetNextSampleDueUs() override;

    virtual wxString GetDeviceKey() const;
    virtual wxString GetDeviceName() const;
    virtual wxString GetDevicePath() const;
    virtual double GetElapsedTime() const { return m_elapsedTime.load(); }
    virtual bool IsOscServerRunning() const;
    // GUI thread. Non-owning; the owner outlives the device or resets it to null.
    virtual void SetOwner(CDeviceOwner* owner) { m_owner.store(owner); }
    // Any thread: with an owner the text goes to its "Messages" page through g_messages,
    // without one to standard output.
    virtual void Log(const wxString& text);
    virtual void AddToVrpn(bool enable);
    virtual bool SetChannelValue(double value, int channel);
    // pose: x, y, z, then the quaternion w, x, y, z (or x, y, z, w with reorder).
    // False for a sensor outside the row.
    virtual bool SetTrackerValue(const double* pose, int sensor, bool reorder);
    virtual int CopyEnabledValues();
    virtual bool IsOffsetRunning() const;
    virtual void StartOffset();
    virtual double GetMinValue() const { return m_minValue; }
    virtual double GetMaxValue() const { return m_maxValue; }
    virtual bool IsTracker() const { return m_dim == 7; }
    virtual double GetClockDeviation() const { return m_clockDeviation.load(); }
    // Any thread: restarts the device's clock; from another thread than the acquisition
    // thread of a running device it takes effect at that thread's next pass.
    virtual void ResetClock();
    // Any thread, before ResetClock: the restarted clock's first tick is due at this
    // program time (us) instead of at the reset, so that the devices of a trial, reset
    // one after another, all count from one instant. Held until the clock's next tick.
    void SetClockStart(double programUs) { m_clockStartAtUs.store(programUs); }
    virtual int64_t GetSampleCounter() const { return m_sampleCounter.load(); }
    virtual double GetFrameCount() const { return m_frameCount.load(); }
    virtual double GetSampleTime() const;
    virtual void ClearClockStats() { m_clockDeviation.store(0.0); }
    virtual void Reset() {}
    virtual double GetUnitScale() const { return 1.0; }
    virtual void OnParamChanged() {}
    virtual void AcquireStep();
    virtual void SendVrpnButton(int button, int state, bool send);
    virtual void CheckInit();
    virtual bool IsTimeToSample(bool tick);
    virtual bool CheckClock();
    virtual void AccumulateOffset();
    virtual void CountSample();
    virtual void DispatchFrame() {}
    virtual void ReadSample() {}
    virtual void ResetCounters();
    virtual void SubtractOffset();
    virtual bool SendOscData(double time);
    virtual bool SendOscEvent(const wxString& text, double time);
    virtual void SendVrpnData();
    virtual void AllocBuffers();
    virtual void FreeBuffers();
    virtual double check_real_value(double value, double fallback, double min, double max,
                                    const wxString& name);
    virtual int32_t check_long_value(int32_t value, int32_t fallback, int32_t min, int32_t max,
                                     const wxString& name);
    virtual wxString check_string_value(const wxString& value, const wxString& fallback,
                                        const wxString& name);

    // Any thread: number of values in a row (channels x values per channel).
    int64_t GetRowLength() const { return m_rowLength; }
    int GetChannelCount() const { return m_channelCount; }
    int GetDim() const { return m_dim; }
    // Any thread: how often the pacing fell more than a second behind (a held thread).
    int64_t GetReanchorCount() const { return m_reanchorCount.load(); }
    // Any thread: frames written as repeats of the last one for ticks the held thread
    // could not read.
    int64_t GetHeldRepeatCount() const { return m_heldRepeatCount.load(); }

    // A pacing clock that falls further behind than this reads no burst: the ticks it
    // missed but the last are written as repeats of the last frame.
    static constexpr double kMaxLagUs = 1.0e6;
    static constexpr double kReanchorReportUs = 10.0e6;
    // Repeats written per pass at most: a tenth of a second of frames, 1024 at most
    // (about 1 us each), then a pause of kHeldRepeatPauseUs before the next pass: they
    // catch up at ten times the rate at most, and no faster than the writer's queue has
    // room for them. The readings resume a tenth of the hold late, or later behind a
    // slow writer (and catch that up as any late thread does).
    static constexpr int64_t kHeldRepeatsPerPass = 1024;
    static constexpr double kHeldRepeatPauseUs = 10000.0;
    // Passes the repeats wait at most for room in the writer's queue (two seconds): a
    // writer that takes nothing for longer drops them, as it would any frame.
    static constexpr int kMaxHeldRoomWaits = 200;
    static int64_t HeldRepeatStep(double rate);

protected:
    // Acquisition thread: offset from the schedule's anchor (us) of the next tick of the
    // device's own pacing; NaN when it has none, -HUGE_VAL when a new one starts at once.
    double NextDueOffsetUs() const;
    // Acquisition thread: the reset itself (ResetClock defers to here while running).
    void ResetClockNow();
    // Acquisition thread: writes a step (HeldRepeatStep) of the owed repeats (the
    // first of a spell marks it, the last ends it); a stopped device takes none and owes
    // none. Returns how many are paid.
    int64_t PayHeldRepeats(int64_t owed);
    // Acquisition thread: one frame that repeats the last frame's row, for a tick the
    // thread was held through; and the marks of a spell of them (count: its repeats).
    // A device without a recorded row writes nothing.
    virtual void DispatchRepeat() {}
    // Repeats the recording can take now without dropping one.
    virtual int64_t HeldRepeatRoom() { return INT64_MAX; }
    virtual void MarkHeldSpell(int64_t /*count*/) {}
    virtual void MarkHeldSpellEnd() {}
    // The clocks the device paces itself by; a seam for a simulated clock in tests.
    virtual double ReadProgramClockUs() { return GetProgramTime(); }
    virtual void ReadPreciseClock(TimeVal* out) { GetTimeOfDayNow(out); }
    // Any thread: posts a message tagged with the device name to the Errors page.
    void PostError(const wxString& text);
    // Acquisition thread: the name in the locale's 8-bit encoding, converted again only
    // when the name changed, so that sending a frame does not allocate.
    const std::string& GetOscName();

    std::atomic<bool> m_initPending{true};
    bool m_closeOnDestroy = true;
    wxString m_deviceName{"null_device"};
    wxString m_deviceKey{"null_device"};
    wxString m_devicePath;
    std::atomic<CDeviceOwner*> m_owner{nullptr};  // non-owning
    std::atomic<bool> m_vrpnOutput{false};
    std::atomic<int64_t> m_vrpnIndex{0};
    std::unique_ptr<double[]> m_values;  // m_channelCount x m_dim, channel c at c x m_dim
    std::unique_ptr<double[]> m_output;  // values of the enabled channels
    double m_maxValue = 10.0;
    double m_minValue = -10.0;
    int m_outputCount = 0;
    int m_channelCount = 0;
    int m_dim = 1;
    int64_t m_rowLength = 0;
    std::unique_ptr<uint8_t[]> m_channelOn;
    double m_offsetTime = 1.0;  // seconds
    double m_offsetElapsed = 0.0;
    std::unique_ptr<double[]> m_offsets;  // one per value of the row
    std::atomic<bool> m_offsetRunning{false};
    std::atomic<bool> m_offsetRequested{false};  // StartOffset's hand-over to the thread
    int m_offsetCount = 0;
    std::atomic<int64_t> m_sampleCounter{0};
    std::atomic<double> m_frameCount{0.0};
    // Own pacing: the last tick's due time (not its reading) and the anchor of the
    // schedule, so that tick k is due at anchor + k x period and nothing drifts.
    TimeVal m_tvLast, m_tvNow, m_tvStart, m_tvAnchor;
    double m_clockStart = 0.0, m_clockLast = 0.0, m_clockNow = 0.0, m_clockAnchor = 0.0;
    double m_anchorOffsetUs = 0.0;  // due time of tick 0 after the anchor
    int64_t m_tickIndex = 0;
    double m_pacedRate = 0.0;
    bool m_rateErrorShown = false;
    // Acquisition thread: program time of the last re-anchor report; reports come at
    // most once per kReanchorReportUs, the count keeps every one.
    double m_lastReanchorReportUs = 0.0;
    bool m_hasReanchorReport = false;
    std::atomic<bool> m_clockResetRequested{false};
    std::atomic<double> m_clockStartAtUs{-1.0};  // SetClockStart's instant; -1: none
    std::atomic<int64_t> m_reanchorCount{0};
    std::atomic<int64_t> m_heldRepeatCount{0};
    int64_t m_heldRepeats = 0;   // acquisition thread: own pacing's ticks owed as repeats
    bool m_isHeldSpell = false;  // acquisition thread: a spell's repeats are being paid
    int m_heldRoomWaits = 0;     // acquisition thread: passes in a row a full queue held them
    std::atomic<double> m_elapsedTime{0.0};
    std::atomic<double> m_clockDeviation{0.0};
    int m_vrpnButtons = 1;
    mutable std::mutex m_nameMutex;  // leaf lock: guards the three names, read from any thread

private:
    wxString m_oscNameSource;  // guarded by m_nameMutex
    std::string m_oscName;     // acquisition thread
    bool m_hasOscName = false;
};

using DevicePtr = std::unique_ptr<CNullDevice, CDeviceDeleter>;
