#include "process/trackerWorker.h"

#include "process/device.h"
#include "process/messageQueue.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>
#include <vector>

namespace {

thread_local CTrackerWorker* t_currentWorker = nullptr;

std::atomic<bool> g_useCore{false};
std::mutex g_coreMutex;          // leaf lock: guards g_coreTable
std::vector<int> g_coreTable;    // -1 free, else the booked core

// A stopped device's thread passes at this pace.
constexpr std::chrono::microseconds kStoppedSleep{10};
// Delay mode: a stopped device's thread need not pass more often than this.
constexpr double kStoppedDelaySleepUs = 1000.0;
// Longest single sleep, so that a stop request or a group change is seen soon.
constexpr double kMaxSleepUs = 50000.0;
// Delay mode, when the device cannot tell its next due time.
constexpr double kUnknownDueSleepUs = 100.0;
// Delay mode: how much later than asked the kernel may end a sleep, in nanoseconds.
// Its default (50 us) is most of a sample's lateness; a tighter one costs no
// measurable processor time at our wake-up rates.
constexpr unsigned long kTimerSlackNs = 1000;

std::atomic<int64_t> g_endTimeoutMs{10000};

int BookFreeCore()
{
    std::lock_guard<std::mutex> lock(g_coreMutex);
    for (size_t k = 0; k < g_coreTable.size(); ++k) {
        if (g_coreTable[k] < 0) {
            g_coreTable[k] = static_cast<int>(k);
            return static_cast<int>(k);
        }
    }
    return -1;
}

void FreeCore(int slot)
{
    std::lock_guard<std::mutex> lock(g_coreMutex);
    if (slot >= 0 && static_cast<size_t>(slot) < g_coreTable.size() && g_coreTable[slot] == slot)
        g_coreTable[slot] = -1;
}

}  // namespace

uint64_t GetProcessorCount()
{
    const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<uint64_t>(count) : 1;
}

CTrackerWorker* CTrackerWorker::Current() { return t_currentWorker; }

std::chrono::milliseconds CTrackerWorker::GetEndTimeout()
{
    return std::chrono::milliseconds(g_endTimeoutMs.load());
}

void CTrackerWorker::SetEndTimeout(std::chrono::milliseconds timeout)
{
    g_endTimeoutMs.store(timeout.count());
}

CTrackerWorker::CTrackerWorker(CNullDevice* device)
    : wxThread(wxTHREAD_JOINABLE), m_device(device)
{
    m_tolerance = device->GetClockTolerance();
    m_precise = device->IsPreciseClock();
    if (g_useCore.load()) {
        const int slot = BookFreeCore();
        if (slot >= 0) {
            if (SetCore(this, slot))
                m_coreSlot.store(slot);
            else
                FreeCore(slot);
        }
    }
}

CTrackerWorker::~CTrackerWorker()
{
    if (m_joined)
        LeaveGroup(this);
    ReleaseCore();
}

void CTrackerWorker::RequestStop()
{
    m_stopRequested.store(true);
    Wake();
}

bool CTrackerWorker::HoldPasses(std::chrono::milliseconds timeout)
{
    AskHold();
    return TakeHold(std::chrono::steady_clock::now() + timeout);
}

void CTrackerWorker::AskHold() { m_holdRequests.fetch_add(1); }

bool CTrackerWorker::TakeHold(std::chrono::steady_clock::time_point deadline)
{
    bool isOutOfPass = false;
    {
        // The loop enters no pass from here on; the one under way ends first.
        std::unique_lock<std::mutex> lock(m_wakeMutex);
        isOutOfPass = m_wake.wait_until(lock, deadline, [this] { return !m_inPass.load(); });
    }
    if (!isOutOfPass) {
        DropHoldRequest();
        return false;
    }
    m_hold = std::unique_lock<std::mutex>(m_pacingMutex);  // free: no pass can start
    return true;
}

void CTrackerWorker::ReleasePasses()
{
    if (!m_hold.owns_lock()) return;
    m_hold.unlock();
    DropHoldRequest();
}

void CTrackerWorker::DropHoldRequest()
{
    {
        std::lock_guard<std::mutex> lock(m_wakeMutex);
        m_holdRequests.fetch_sub(1);
    }
    m_wake.notify_all();
}

bool CTrackerWorker::EnterPass()
{
    // Marked before the request is read, as a holder asks before it reads the mark:
    // one of the two always sees the other (sequentially consistent).
    m_inPass.store(true);
    if (m_holdRequests.load() == 0) return true;
    LeavePass();
    std::unique_lock<std::mutex> lock(m_wakeMutex);
    m_wake.wait(lock, [this] { return m_holdRequests.load() == 0 || m_stopRequested.load(); });
    return false;
}

void CTrackerWorker::LeavePass()
{
    m_inPass.store(false);
    if (m_holdRequests.load() == 0) return;
    {
        std::lock_guard<std::mutex> lock(m_wakeMutex);  // the holder waits under it
    }
    m_wake.notify_all();
}

bool CTrackerWorker::ShouldEnd() { return m_stopRequested.load() || TestDestroy(); }

wxThread::ExitCode CTrackerWorker::Entry() noexcept
{
    t_currentWorker = this;
    try {
        ::pthread_setname_np(::pthread_self(), "qv-acquisition");
        if (::pthread_getcpuclockid(::pthread_self(), &m_cpuClock) == 0)
            m_hasCpuClock.store(true);
        ApplyCore();
        ApplyPriority();
        if (m_shortSleep.load())
            ::prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0);  // best effort
        if (!ShouldEnd()) {
            if (m_device->IsAutoStart())
                m_device->Start();
            if (m_device->IsSynchronised())
                m_joined = JoinGroup(this);
            RunLoop();
        }
    } catch (const std::exception& e) {
        g_messages.Post(Severity::Error, std::string("<ACQ> acquisition thread ended: ") + e.what());
    } catch (...) {
        g_messages.Post(Severity::Error, std::string("<ACQ> acquisition thread ended: unknown failure"));
    }
    try {
        m_device->Stop();
        if (m_joined && LeaveGroup(this))
            m_joined = false;
    } catch (...) {
        g_messages.Post(Severity::Error, std::string("<ACQ> acquisition thread: failure while ending"));
    }
    // From here on the thread touches neither the device nor the group.
    {
        std::lock_guard<std::mutex> lock(m_device->m_stateLock);
        m_ended = true;
    }
    m_device->m_workerEnded.notify_all();
    return nullptr;
}

void CTrackerWorker::OnExit() { ReleaseCore(); }

void CTrackerWorker::RunLoop()
{
    while (!ShouldEnd()) {
        if (!EnterPass()) continue;  // held meanwhile: the end may have been asked for
        const bool fire = m_joined && GroupPass();
        const bool isRunning = m_device->IsRunning();
        {
            std::lock_guard<std::mutex> lock(m_pacingMutex);
            m_device->Process(fire, isRunning);
        }
        LeavePass();
        if (!isRunning && m_shortSleep.load())
            WaitUntilProgramTime(GetProgramTime() + kStoppedDelaySleepUs);
        else if (!isRunning)
            std::this_thread::sleep_for(kStoppedSleep);
        else if (m_shortSleep.load())
            WaitForNextDue(m_joined && m_groupIndex >= 0);
    }
}

void CTrackerWorker::WaitForNextDue(bool isGroupMember)
{
    if (isGroupMember) {
        WaitForGroupTick();
        return;
    }
    // Each sample at its own due time: a device's reading is not held back for the
    // next one, whatever the rate.
    const double dueUs = m_device->GetNextSampleDueUs();
    WaitUntilProgramTime(std::isnan(dueUs) ? GetProgramTime() + kUnknownDueSleepUs : dueUs);
}

void CTrackerWorker::WaitUntilProgramTime(double dueUs)
{
    const double nowUs = GetProgramTime();
    if (dueUs <= nowUs)
        return;
    dueUs = std::min(dueUs, nowUs + kMaxSleepUs);
    m_lastSleepUntilUs = dueUs;
    ++m_pacingSleeps;
    // steady_clock is CLOCK_MONOTONIC, the program clock's source: an absolute deadline.
    const std::chrono::steady_clock::time_point deadline{
        std::chrono::nanoseconds(ProgramTimeToMonotonicNs(dueUs))};
    std::unique_lock<std::mutex> lock(m_wakeMutex);
    // A wake-up (a clock restarted meanwhile) ends the sleep: the due time may be sooner.
    m_wake.wait_until(lock, deadline,
                      [this] { return m_stopRequested.load() || m_wakeRequested.load(); });
    m_wakeRequested = false;
}

void CTrackerWorker::ApplyCore()
{
    const int core = m_pendingCore.load();
    if (core < 0)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    if (::pthread_setaffinity_np(::pthread_self(), sizeof set, &set) != 0) {
        std::fputs("Error in SetThreadAffinityMask\n", stderr);
        const int slot = m_coreSlot.exchange(-1);
        FreeCore(slot);
    }
}

int CTrackerWorker::EffectivePriority(int priority, bool shortSleep)
{
    constexpr int kNormalPriority = 50;
    return shortSleep || priority < 0 ? priority : std::min(priority, kNormalPriority);
}

double CTrackerWorker::GetCpuSeconds() const
{
    if (!m_hasCpuClock.load())
        return 0.0;
    timespec used{};
    if (::clock_gettime(m_cpuClock, &used) != 0)
        return 0.0;
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

void CTrackerWorker::ApplyPriority()
{
    const int priority = EffectivePriority(m_priority.load(), m_shortSleep.load());
    if (priority < 0)
        return;
    const int nice = 20 - (2 * priority) / 5 - (priority == 0 ? 1 : 0);  // 0..100 -> 19..-20
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    if (::setpriority(PRIO_PROCESS, tid, nice) != 0) {
        // Raising it needs privileges: say so once, the thread runs at its default.
        static std::atomic<bool> isReported{false};
        if (!isReported.exchange(true))
            std::fprintf(stderr, "<ACQ> acquisition thread priority %d not applied: %s\n", priority,
                         std::strerror(errno));
    }
}

void CTrackerWorker::ReleaseCore()
{
    const int slot = m_coreSlot.exchange(-1);
    FreeCore(slot);
}

void CTrackerWorker::SetUseCore(bool useCore)
{
    const uint64_t count = GetProcessorCount();
    std::lock_guard<std::mutex> lock(g_coreMutex);
    if (count > 2) {
        g_useCore.store(useCore);
        g_coreTable.assign(static_cast<size_t>(count), -1);
    } else {
        g_useCore.store(false);
    }
}

bool CTrackerWorker::IsUsingCores() { return g_useCore.load(); }

bool CTrackerWorker::SetCore(CTrackerWorker* worker, int core)
{
    if (core < 0)
        return true;
    const uint64_t count = GetProcessorCount();
    if (static_cast<uint64_t>(core) >= count) {
        std::fprintf(stderr, "Slected core = %dCore number : [O to %llu] \n", core,
                     static_cast<unsigned long long>(count));
        return false;
    }
    if (worker == nullptr)
        return false;
    // The ideal processor has no Linux counterpart; the affinity mask does the placing.
    worker->m_pendingCore.store(core);
    if (Current() == worker)
        worker->ApplyCore();
    return true;
}
