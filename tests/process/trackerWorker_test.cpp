#include "process/trackerWorker.h"

#include "fakeDevice.h"
#include "process/deviceCloser.h"
#include "process/messageQueue.h"

#include <gtest/gtest.h>
#include <wx/log.h>

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <memory>
#include <thread>
#include <vector>

namespace {

// A worker made for its group bookkeeping only; its thread is never created.
struct GroupEntry {
    explicit GroupEntry(double rate)
        : device(std::make_unique<CFakeDevice>(wxString::Format("g%g", rate), rate, true)),
          worker(new CTrackerWorker(device.get()))
    {
        CTrackerWorker::JoinGroup(worker);
    }
    ~GroupEntry()
    {
        CTrackerWorker::LeaveGroup(worker);
        delete worker;  // never created as a thread: nobody else deletes it
    }
    std::unique_ptr<CFakeDevice> device;
    CTrackerWorker* worker;
};

// Notes the nice value of the thread that reads its samples (-100 until it read).
class CNiceProbe : public CFakeDevice {
public:
    CNiceProbe(const wxString& name, double rateHz) : CFakeDevice(name, rateHz, false) {}
    void ReadSample() override
    {
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
        if (errno == 0)
            m_nice.store(nice);
        CFakeDevice::ReadSample();
    }
    std::atomic<int> m_nice{-100};
};

}  // namespace

TEST(WorkerGroupTest, RatesGivePeriodDivisorsAndPacingWorker)
{
    {
        GroupEntry only(100.0);
        EXPECT_EQ(CTrackerWorker::GetCurrentGroupRate(), 100);
        EXPECT_DOUBLE_EQ(only.worker->GetPeriodUs(), 10000.0);
        EXPECT_EQ(only.worker->GetDivisor(), 1);
        EXPECT_EQ(only.worker->GetGroupIndex(), 0);
    }
    {
        GroupEntry fast(250.0);
        GroupEntry slow(100.0);
        EXPECT_EQ(CTrackerWorker::GetCurrentGroupRate(), 500);
        EXPECT_DOUBLE_EQ(slow.worker->GetPeriodUs(), 2000.0);
        EXPECT_EQ(slow.worker->GetGroupIndex(), 0);  // the slowest paces
        EXPECT_EQ(fast.worker->GetGroupIndex(), 1);
        EXPECT_EQ(slow.worker->GetDivisor(), 5);
        EXPECT_EQ(fast.worker->GetDivisor(), 2);
    }
    {
        // Co-prime rates keep their exact period, no longer 0.
        GroupEntry a(100.0);
        GroupEntry b(333.0);
        EXPECT_EQ(CTrackerWorker::GetCurrentGroupRate(), 33300);
        EXPECT_NEAR(a.worker->GetPeriodUs(), 1.0e6 / 33300.0, 1e-9);
        EXPECT_EQ(a.worker->GetDivisor(), 333);
        EXPECT_EQ(b.worker->GetDivisor(), 100);
    }
    {
        GroupEntry only(300.0);
        EXPECT_NEAR(only.worker->GetPeriodUs(), 3333.333333, 1e-5);
    }
    EXPECT_EQ(CTrackerWorker::GetGroupSize(), 0);
    EXPECT_EQ(CTrackerWorker::GetCurrentGroupRate(), 0);
}

TEST(WorkerGroupTest, UnsuitableRatesPaceOutsideTheGroupWithAWarning)
{
    g_messages.Drain();
    GroupEntry base(100.0);
    GroupEntry slow(0.5);
    GroupEntry fractional(25.5);
    GroupEntry coprime(49999.0);  // lcm with 100 is far above the cap
    EXPECT_EQ(CTrackerWorker::GetCurrentGroupRate(), 100);
    EXPECT_EQ(base.worker->GetGroupIndex(), 0);
    EXPECT_EQ(base.worker->GetDivisor(), 1);
    for (const GroupEntry* refused : {&slow, &fractional, &coprime}) {
        EXPECT_EQ(refused->worker->GetGroupIndex(), -1);
        EXPECT_EQ(refused->worker->GetDivisor(), 0);
    }
    const auto messages = g_messages.Drain();
    ASSERT_EQ(messages.size(), 3u);
    for (const QueuedMessage& message : messages) {
        EXPECT_EQ(message.severity, Severity::Warning);
        EXPECT_NE(message.text.find("outside the synchronised group"), std::string::npos);
    }
    // A change of rate lets a refused device in once it fits.
    fractional.device->SetRate(25.0);
    CTrackerWorker::RefreshGroup();
    EXPECT_EQ(fractional.worker->GetGroupIndex(), 0);
    EXPECT_EQ(fractional.worker->GetDivisor(), 4);
    EXPECT_EQ(base.worker->GetDivisor(), 1);
    EXPECT_EQ(CTrackerWorker::GetCurrentGroupRate(), 100);
}

TEST(WorkerGroupTest, MembersFireOnTheFirstOfEveryDivisorTicks)
{
    auto firesOn = [](int divisor) {
        std::vector<int> ticks;
        for (uint64_t t = 1; t <= 10; ++t)
            if (CTrackerWorker::CountFires(0, divisor, t - 1, t) == 1)
                ticks.push_back(static_cast<int>(t));
        return ticks;
    };
    EXPECT_EQ(firesOn(1), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(firesOn(2), (std::vector<int>{1, 3, 5, 7, 9}));
    EXPECT_EQ(firesOn(5), (std::vector<int>{1, 6}));
    // Ticks seen late are all counted, none lost; ticks before the base never fire.
    EXPECT_EQ(CTrackerWorker::CountFires(0, 5, 0, 10), 2u);
    EXPECT_EQ(CTrackerWorker::CountFires(7, 2, 3, 9), 1u);
    EXPECT_EQ(CTrackerWorker::CountFires(7, 2, 9, 9), 0u);
}

// Logs, for every sample, when its tick was due on the device's own pacing clock
// (program time): a count by due time, unlike reading times, does not depend on the
// machine's load.
class CDueTimeDevice : public CFakeDevice {
public:
    CDueTimeDevice(const wxString& name, double rateHz, size_t capacity, bool precise = false)
        : CFakeDevice(name, rateHz, false, 1, 1, precise), m_due(capacity)
    {
    }
    void ReadSample() override
    {
        const size_t n = m_dueCount.load();
        if (n < m_due.size()) {
            m_due[n] = m_preciseClock.load() ? PreciseTimeToProgramTime(m_tvNow) - GetClockDeviation()
                                             : m_clockLast;
            m_dueCount.store(n + 1);
        }
        CFakeDevice::ReadSample();
    }
    // Steps between the due times of consecutive samples that are not one period (the
    // precise clock shows whole microseconds): none but where the schedule restarted
    // after falling a second behind, each restart counted (one that came with the last
    // sample taken shows no step).
    int64_t StepsOffThePeriod() const
    {
        const double periodUs = 1.0e6 / GetRate();
        const double slackUs = IsPreciseClock() ? 1.0 : 0.001;
        const size_t n = m_dueCount.load();
        int64_t off = 0;
        for (size_t k = 1; k < n; ++k)
            off += std::fabs(m_due[k] - m_due[k - 1] - periodUs) > slackUs ? 1 : 0;
        return off;
    }
    size_t Count() const { return m_dueCount.load(); }

private:
    std::vector<double> m_due;
    std::atomic<size_t> m_dueCount{0};
};

TEST(AcquisitionThreadTest, OwnPacingHitsTheRateOverTwoSeconds)
{
    // The rates run side by side, each on its own thread: every sample one period after
    // the one before on the device's clock, however late the thread read it.
    const double rates[] = {25.0, 144.0, 300.0, 1000.0};
    std::vector<std::unique_ptr<CDueTimeDevice>> devices;
    for (double rate : rates) {
        devices.push_back(std::make_unique<CDueTimeDevice>(wxString::Format("r%g", rate), rate, 4096));
        ASSERT_TRUE(devices.back()->Create(false));
    }
    for (auto& device : devices)
        ASSERT_TRUE(device->RunThread());
    for (size_t i = 0; i < devices.size(); ++i)
        ASSERT_TRUE(devices[i]->WaitForSamples(static_cast<int64_t>(rates[i] * 2.2) + 2));
    for (size_t i = 0; i < devices.size(); ++i) {
        devices[i]->Close();
        EXPECT_LE(devices[i]->StepsOffThePeriod(), devices[i]->GetReanchorCount()) << rates[i] << " Hz";
    }
}

TEST(AcquisitionThreadTest, DelayModeAndPreciseClockKeepTheRate)
{
    CDueTimeDevice delayed("delayed", 500.0, 2048);
    CDueTimeDevice precise("precise", 300.0, 2048, true);
    for (CDueTimeDevice* device : {&delayed, &precise}) {
        ASSERT_TRUE(device->Create(device == &delayed));
        ASSERT_TRUE(device->RunThread());
    }
    ASSERT_TRUE(delayed.WaitForSamples(560));
    ASSERT_TRUE(precise.WaitForSamples(340));
    delayed.Close();
    precise.Close();
    EXPECT_LE(delayed.StepsOffThePeriod(), delayed.GetReanchorCount());
    EXPECT_LE(precise.StepsOffThePeriod(), precise.GetReanchorCount());
}

TEST(AcquisitionThreadTest, DefaultModeSleepsAndKeepsTheRateOnTheDevicesClock)
{
    ASSERT_TRUE(CTrackerWorker::kDefaultClockDelay);
    CDueTimeDevice device("due", 1000.0, 4096);
    ASSERT_TRUE(device.Create(CTrackerWorker::kDefaultClockDelay));
    ASSERT_TRUE(device.Worker()->IsShortSleep());
    ASSERT_TRUE(device.RunThread());
    const double wallStart = GetProgramTime();
    ASSERT_TRUE(device.WaitForSamples(2100));
    const double wallSeconds = (GetProgramTime() - wallStart) / 1.0e6;
    const double cpuSeconds = device.Worker()->GetCpuSeconds();
    device.Close();
    // Ticks are counted by when they were due, so a late wake-up cannot move one out.
    EXPECT_LE(device.StepsOffThePeriod(), device.GetReanchorCount());
    // Used processor time does not grow with the machine's load: a sleeping thread
    // stays far below a busy one, which takes its whole share of a core.
    EXPECT_LT(cpuSeconds, 0.25 * wallSeconds) << cpuSeconds << " s in " << wallSeconds << " s";
}

namespace {

// Notes, for every sample, when it was due (program time), when the worker's
// last sleep was to end and how often its thread had gone to sleep by then (the
// kernel's count of voluntary switches, as /proc shows it). It takes no lock and
// wakes nobody, so that every sleep of the thread is a pacing sleep.
class CWakeLogDevice : public CFakeDevice {
public:
    struct Entry {
        double dueUs = 0.0;
        double sleepUntilUs = 0.0;
        int64_t pacingSleeps = 0;  // the worker's own count
        long sleeps = 0;           // the kernel's: pacing sleeps and any wait for a lock
        int64_t reanchors = 0;     // schedules restarted after a thread held past a second
    };
    CWakeLogDevice(double rateHz, bool precise, size_t capacity)
        : CFakeDevice(wxString::Format("wake%g", rateHz), rateHz, false, 1, 1, precise),
          m_log(capacity)
    {
    }
    void ReadSample() override
    {
        const size_t n = m_count.load(std::memory_order_relaxed);
        if (n >= m_log.size())
            return;
        rusage usage{};
        ::getrusage(RUSAGE_THREAD, &usage);
        Entry& entry = m_log[n];
        // The due time CheckClock has just passed, told back from its own reading.
        entry.dueUs = m_preciseClock.load()
                          ? PreciseTimeToProgramTime(m_tvNow) - GetClockDeviation()
                          : m_clockLast;
        entry.sleepUntilUs = Worker()->GetLastSleepUntilUs();
        entry.pacingSleeps = Worker()->GetPacingSleeps();
        entry.sleeps = usage.ru_nvcsw;
        entry.reanchors = GetReanchorCount();
        m_count.store(n + 1, std::memory_order_release);
    }
    size_t Count() const { return m_count.load(std::memory_order_acquire); }
    const Entry& At(size_t k) const { return m_log[k]; }

private:
    std::vector<Entry> m_log;
    std::atomic<size_t> m_count{0};
};

}  // namespace

// Delay mode reads every sample at its own due time, at any rate: each sample that was
// not yet due when the previous pass ended comes after exactly one sleep, which ended at
// that sample's due time (not later, which would read it late, nor earlier, which would
// take a second sleep). Samples, rate and times stay exact. Both pacing clocks; whole
// and fractional periods; the devices start at different phases.
TEST(AcquisitionThreadTest, DefaultModeReadsEachSampleAtItsOwnDueTime)
{
    struct Case {
        double rate;
        bool precise;
    };
    const Case cases[] = {{2000.0, false}, {1000.0, true}, {5000.0, true}, {300.0, true}, {700.0, false}};
    std::vector<std::unique_ptr<CWakeLogDevice>> devices;
    for (const Case& c : cases) {
        devices.push_back(std::make_unique<CWakeLogDevice>(
            c.rate, c.precise, static_cast<size_t>(c.rate * 2.5) + 100));
        ASSERT_TRUE(devices.back()->Create(CTrackerWorker::kDefaultClockDelay));
    }
    for (auto& device : devices) {
        ASSERT_TRUE(device->RunThread());
        std::this_thread::sleep_for(std::chrono::microseconds(137));  // another phase each
    }
    for (size_t i = 0; i < devices.size(); ++i) {
        const auto wanted = static_cast<size_t>(cases[i].rate * 2.1) + 2;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (devices[i]->Count() < wanted && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_GE(devices[i]->Count(), wanted) << cases[i].rate << " Hz";
    }
    for (auto& device : devices)
        device->Close();
    for (size_t i = 0; i < devices.size(); ++i) {
        const CWakeLogDevice& device = *devices[i];
        const double rate = cases[i].rate;
        // A tick of the precise clock is due when it shows the next whole microsecond.
        const double slackUs = cases[i].precise ? 1.0 : 0.001;
        int64_t offPeriod = 0;
        size_t ownWake = 0;
        size_t wrongSleeps = 0;
        size_t wrongEnds = 0;
        for (size_t k = 0; k < device.Count(); ++k) {
            const CWakeLogDevice::Entry& entry = device.At(k);
            if (k == 0)
                continue;
            offPeriod += std::fabs(entry.dueUs - device.At(k - 1).dueUs - 1.0e6 / rate) > slackUs ? 1 : 0;
            // The worker's own count: the kernel's also counts waits for a lock another
            // thread held (more of them on a busy machine), and a sleep whose end came
            // before the thread got to it shows there as none.
            const int64_t sleeps = entry.pacingSleeps - device.At(k - 1).pacingSleeps;
            const long kernelSleeps = entry.sleeps - device.At(k - 1).sleeps;
            if (sleeps == 0)
                continue;  // already due when the previous pass ended: a late thread
            // A thread held past a second after its sleep: the sleep was for a tick now repeated.
            if (entry.reanchors != device.At(k - 1).reanchors)
                continue;
            ++ownWake;
            if (sleeps != 1 && ++wrongSleeps <= 3)
                ADD_FAILURE() << rate << " Hz sample " << k << ": " << sleeps << " sleeps, "
                              << kernelSleeps << " by the kernel's count";
            const double endToDueUs = entry.sleepUntilUs - entry.dueUs;
            if ((endToDueUs < -0.001 || endToDueUs > slackUs) && ++wrongEnds <= 3)
                ADD_FAILURE() << rate << " Hz sample " << k << ": the sleep ended "
                              << endToDueUs << " us after the due time";
        }
        EXPECT_EQ(wrongSleeps, 0u) << rate << " Hz";
        EXPECT_EQ(wrongEnds, 0u) << rate << " Hz, " << ownWake << " of " << device.Count()
                                 << " samples after a sleep";
        EXPECT_GT(ownWake, 0u) << rate << " Hz";
        // Every sample one period after the one before, but where the schedule restarted
        // after a second's starvation, each restart counted.
        EXPECT_LE(offPeriod, device.GetReanchorCount()) << rate << " Hz";
    }
}

TEST(AcquisitionThreadTest, BusyModeSpinsAtNoMoreThanNormalPriority)
{
    EXPECT_EQ(CTrackerWorker::EffectivePriority(100, false), 50);
    EXPECT_EQ(CTrackerWorker::EffectivePriority(0, false), 0);
    EXPECT_EQ(CTrackerWorker::EffectivePriority(100, true), 100);
    EXPECT_EQ(CTrackerWorker::EffectivePriority(-1, false), -1);
    CNiceProbe busy("busy", 1000.0);
    ASSERT_TRUE(busy.Create(false));
    ASSERT_TRUE(busy.SetWorkerPriority(100));
    ASSERT_TRUE(busy.RunThread());
    ASSERT_TRUE(busy.WaitForSamples(2));
    EXPECT_EQ(busy.m_nice.load(), 0);
    // Spinning: half a second of processor time comes within a few seconds even on a
    // loaded machine; a sleeping thread at this rate would need minutes.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (busy.Worker()->GetCpuSeconds() < 0.5 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(busy.Worker()->GetCpuSeconds(), 0.5);
    busy.Close();
}

// The rate measure on made-up reading times: a stretch where every reading came late
// (an overloaded machine) is no wrong rate, and a wrong rate is seen.
TEST(WorkerGroupTest, RateMeasureToleratesAStretchOfLateReadings)
{
    const auto readings = [](double periodUs, size_t count, size_t lateFrom, size_t lateTo) {
        std::vector<double> times;
        for (size_t k = 0; k < count; ++k) {
            const double jitter = (k % 7 == 0) ? 0.0 : 300.0 + 100.0 * static_cast<double>(k % 5);
            const double stall = (k >= lateFrom && k < lateTo) ? 6000.0 : 0.0;
            times.push_back(static_cast<double>(k) * periodUs + jitter + stall);
        }
        return times;
    };
    // 250 Hz for 1.2 s; the last fifth of the first second late by 6 ms throughout.
    EXPECT_NEAR(SamplesWithin(readings(4000.0, 300, 200, 250), 1.0e6, 250.0), 250.0, 1.0);
    EXPECT_NEAR(SamplesWithin(readings(4000.0, 300, 0, 0), 1.0e6, 250.0), 250.0, 1.0);
    // Really 245 Hz.
    EXPECT_NEAR(SamplesWithin(readings(1.0e6 / 245.0, 300, 0, 0), 1.0e6, 250.0), 245.0, 1.0);
}

namespace {

// Logs, for every sample of a group member, when the group tick it fired on was due:
// a count by due time, unlike reading times, does not depend on the machine's load.
class CGroupDueDevice : public CFakeDevice {
public:
    CGroupDueDevice(const wxString& name, double rateHz, size_t capacity)
        : CFakeDevice(name, rateHz, true), m_due(capacity)
    {
    }
    void ReadSample() override
    {
        const size_t n = m_dueCount.load();
        if (n < m_due.size() && !m_isLogEnded.load()) {
            m_due[n] = Worker()->GetLastFireDueUs();
            m_dueCount.store(n + 1);
        }
        CFakeDevice::ReadSample();
    }
    // Logs no more: the members that stay after one leaves the group sample on a new
    // schedule, whose first tick need not keep their phase.
    void EndLog() { m_isLogEnded.store(true); }
    // Ticks of this member passed over between its samples, one entry per place where
    // some were (the due times step by whole sample periods); -1 for a step that is not
    // a whole number of periods, or a tick sampled twice or out of order.
    std::vector<int64_t> Gaps(std::string* odd = nullptr) const
    {
        const double periodUs = 1.0e6 / GetRate();
        const size_t n = m_dueCount.load();
        std::vector<int64_t> gaps;
        for (size_t k = 1; k < n; ++k) {
            const double steps = (m_due[k] - m_due[k - 1]) / periodUs;
            const double whole = std::round(steps);
            if (whole < 1.0 || std::fabs(steps - whole) > 1.0e-6) {
                gaps.push_back(-1);
                if (odd != nullptr)
                    *odd += " sample " + std::to_string(k) + " due " +
                            std::to_string(m_due[k] - m_due[k - 1]) + " us after the one before;";
            } else if (whole > 1.0) {
                gaps.push_back(static_cast<int64_t>(whole) - 1);
            }
        }
        return gaps;
    }
    // Samples whose tick was due within windowUs of the first one's.
    int64_t DueWithin(double windowUs) const
    {
        const size_t n = m_dueCount.load();
        if (n == 0) return 0;
        const double first = m_due[0];
        return std::count_if(m_due.begin(), m_due.begin() + static_cast<std::ptrdiff_t>(n),
                             [&](double due) { return due - first < windowUs; });
    }

private:
    std::vector<double> m_due;
    std::atomic<size_t> m_dueCount{0};
    std::atomic<bool> m_isLogEnded{false};
};

// Checks that every tick of the member from its first sample on was sampled once, or
// passed over and said: "<name>: fell ... N frames repeat", once for each place where
// ticks were passed over, until its log ended. Returns the number passed over at each place.
std::vector<int64_t> ExpectEveryTickTakenOrSaid(const CGroupDueDevice& device,
                                                const std::vector<QueuedMessage>& messages)
{
    const std::string name = device.GetDeviceName().ToStdString();
    std::vector<int64_t> said;
    for (const QueuedMessage& message : messages) {
        if (message.text.find(name + ": fell") == std::string::npos) continue;
        const size_t end = message.text.find(" frames repeat");
        size_t begin = end == std::string::npos ? 0 : end;
        while (begin > 0 && std::isdigit(static_cast<unsigned char>(message.text[begin - 1])))
            --begin;
        said.push_back(begin == end || end == std::string::npos
                           ? -1
                           : std::stoll(message.text.substr(begin, end - begin)));
    }
    std::string odd;
    const std::vector<int64_t> gaps = device.Gaps(&odd);
    // Said later, the member may have passed over more after its log ended.
    const std::vector<int64_t> saidWhileLogged(said.begin(),
                                               said.begin() + static_cast<std::ptrdiff_t>(
                                                                  std::min(said.size(), gaps.size())));
    EXPECT_EQ(gaps, saidWhileLogged) << name << odd;
    return gaps;
}

// Bounded wait of the test thread for a condition the acquisition threads bring about.
template <typename Condition>
bool WaitFor(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

TEST(WorkerGroupTest, GroupMembersSampleAtTheirRatesAndShareTheGroupTime)
{
    g_messages.Drain();
    CGroupDueDevice slow("slow", 100.0, 1024);
    CGroupDueDevice fast("fast", 250.0, 1024);
    for (CFakeDevice* device : {&slow, &fast})
        ASSERT_TRUE(device->Create(false));
    ASSERT_TRUE(slow.RunThread());
    ASSERT_TRUE(fast.RunThread());
    ASSERT_TRUE(slow.WaitForSamples(115));
    ASSERT_TRUE(fast.WaitForSamples(290));
    // The member that does not pace reports the group's elapsed time, not 0 nor its
    // own: it reaches what the pacing member read, which in turn reaches it.
    const double slowElapsed = slow.GetElapsedTime();
    EXPECT_GT(slowElapsed, 1.0);
    EXPECT_TRUE(WaitFor([&] { return fast.GetElapsedTime() >= slowElapsed; }));
    const double fastElapsed = fast.GetElapsedTime();
    EXPECT_TRUE(WaitFor([&] { return slow.GetElapsedTime() >= fastElapsed; })) << fastElapsed;
    slow.EndLog();
    fast.EndLog();
    slow.Close();
    fast.Close();
    // Each at its own rate on the group's ticks: every one of its ticks sampled once, or
    // (after a second's starvation on a loaded machine) said repeated.
    const std::vector<QueuedMessage> messages = g_messages.Drain();
    ExpectEveryTickTakenOrSaid(slow, messages);
    ExpectEveryTickTakenOrSaid(fast, messages);
    EXPECT_EQ(CTrackerWorker::GetGroupSize(), 0);
}

TEST(WorkerGroupThreads, MembersJoinAndLeaveARunningGroup)
{
    for (bool delayMode : {false, true}) {
        std::vector<std::unique_ptr<CFakeDevice>> devices;
        const double rates[] = {100.0, 250.0, 500.0};
        for (double rate : rates)
            devices.push_back(std::make_unique<CFakeDevice>(wxString::Format("m%g", rate), rate, true));
        // Join one after the other while the earlier ones run.
        for (auto& device : devices) {
            ASSERT_TRUE(device->Create(delayMode));
            ASSERT_TRUE(device->RunThread());
            ASSERT_TRUE(device->WaitForSamples(5));
        }
        EXPECT_EQ(CTrackerWorker::GetCurrentGroupRate(), 500);
        // The pacing worker leaves: the others go on under a new one.
        devices[0]->Close();
        const int64_t fastBefore = devices[2]->Samples();
        ASSERT_TRUE(devices[2]->WaitForSamples(fastBefore + 20));
        EXPECT_EQ(CTrackerWorker::GetCurrentGroupRate(), 500);
        // A rate change while running, then everyone stopped and restarted by the refresh.
        devices[1]->Stop();
        devices[1]->SetRate(200.0);
        CTrackerWorker::RefreshGroup();
        EXPECT_FALSE(devices[1]->IsRunning());
        EXPECT_TRUE(devices[2]->IsRunning());
        EXPECT_EQ(CTrackerWorker::GetCurrentGroupRate(), 1000);
        devices[1]->Start();
        const int64_t middleBefore = devices[1]->Samples();
        ASSERT_TRUE(devices[1]->WaitForSamples(middleBefore + 10));
        devices[1]->StartOffset();
        devices[2]->ResetClock();
        devices[1]->Close();
        devices[2]->Close();
        EXPECT_EQ(CTrackerWorker::GetGroupSize(), 0);
    }
}

namespace {

// A group member held in its read at a given sample until the test lets it go.
class CHeldMember : public CGroupDueDevice {
public:
    CHeldMember(double rateHz, int64_t holdAt, const wxString& name = "held")
        : CGroupDueDevice(name, rateHz, 4096), m_holdAt(holdAt)
    {
    }
    void ReadSample() override
    {
        CGroupDueDevice::ReadSample();
        if (Samples() != m_holdAt) return;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_held = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_released; });
    }
    bool WaitHeld()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20), [this] { return m_held; });
    }
    void Release()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_released = true;
        }
        m_changed.notify_all();
    }

private:
    const int64_t m_holdAt;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_held = false;
    bool m_released = false;
};

}  // namespace

// The slowest member's read blocks for longer than a second: the other member samples
// on meanwhile; the blocked one loses what came before the last second, every sample
// of it counted and said. Counted by the ticks' due times, whatever the machine's load
// (a member that is itself starved for a second loses samples too, and says so).
TEST(WorkerGroupThreads, MemberWhoseReadBlocksHoldsUpNoOtherMember)
{
    for (bool delayMode : {false, true}) {
        g_messages.Drain();
        CHeldMember slow(50.0, 10, "blocking");
        CGroupDueDevice fast("fast", 1000.0, 8192);
        ASSERT_TRUE(slow.Create(delayMode));
        ASSERT_TRUE(slow.RunThread());
        ASSERT_TRUE(slow.WaitForSamples(1));  // in the group before the other joins
        ASSERT_TRUE(fast.Create(delayMode));
        ASSERT_TRUE(fast.RunThread());
        ASSERT_TRUE(slow.WaitHeld());
        const auto heldAt = std::chrono::steady_clock::now();
        // Held until the other member took 1200 samples and for 1.2 s at least: it
        // samples on, and the held one falls more than a second behind.
        const int64_t fastAtHold = fast.Samples();
        ASSERT_TRUE(fast.WaitForSamples(fastAtHold + 1200)) << delayMode;
        std::this_thread::sleep_until(heldAt + std::chrono::milliseconds(1200));
        EXPECT_EQ(slow.Samples(), 10) << delayMode;
        slow.Release();
        ASSERT_TRUE(slow.WaitForSamples(80));
        ASSERT_TRUE(fast.WaitForSamples(fast.Samples() + 100));
        EXPECT_EQ(CTrackerWorker::GetCurrentGroupRate(), 1000);
        const int64_t skipped = slow.Worker()->GetRepeatedFires();
        slow.EndLog();
        fast.EndLog();
        slow.Close();
        fast.Close();
        const std::vector<QueuedMessage> messages = g_messages.Drain();
        // The held member repeated the 1.18 s from its next tick on but the last tick, with
        // no burst, and said it; the other member lost nothing it did not say.
        const std::vector<int64_t> slowGaps = ExpectEveryTickTakenOrSaid(slow, messages);
        ASSERT_FALSE(slowGaps.empty()) << delayMode;
        EXPECT_GE(slowGaps.front(), 58) << delayMode;
        EXPECT_GE(skipped, slowGaps.front()) << delayMode;
        ExpectEveryTickTakenOrSaid(fast, messages);
        EXPECT_EQ(CTrackerWorker::GetGroupSize(), 0);
    }
}

// A device joins the group while a member lags behind its ticks: the lagging member
// still takes every sample that was due before the change.
TEST(WorkerGroupThreads, GroupChangeWhileAMemberLagsCostsItNoSample)
{
    struct Case {
        double heldRate;
        int64_t holdAt;
        double joinerRate;
    };
    // The held member at the group's rate, then slower than the joiner: the slower one
    // also keeps its phase, each sample one of its periods after the last one owed.
    for (const Case& c : {Case{1000.0, 100, 100.0}, Case{50.0, 5, 1000.0}}) {
        for (bool delayMode : {false, true}) {
            g_messages.Drain();
            CHeldMember held(c.heldRate, c.holdAt);
            ASSERT_TRUE(held.Create(delayMode));
            ASSERT_TRUE(held.RunThread());
            ASSERT_TRUE(held.WaitHeld());
            // The held member falls 60 ms behind before the group changes.
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            CGroupDueDevice joiner("joiner", c.joinerRate, 4096);
            ASSERT_TRUE(joiner.Create(delayMode));
            ASSERT_TRUE(joiner.RunThread());
            ASSERT_TRUE(joiner.WaitForSamples(3));  // the group has changed meanwhile
            held.Release();
            // Caught up on what it owed, then 200 ms more on the changed group.
            ASSERT_TRUE(held.WaitForSamples(c.holdAt + static_cast<int64_t>(c.heldRate * 0.2)));
            joiner.EndLog();
            held.EndLog();
            joiner.Close();
            held.Close();
            const std::vector<QueuedMessage> messages = g_messages.Drain();
            ExpectEveryTickTakenOrSaid(held, messages);
            ExpectEveryTickTakenOrSaid(joiner, messages);
            EXPECT_EQ(CTrackerWorker::GetGroupSize(), 0);
        }
    }
}

TEST(DeviceLifecycleThreads, CreateRunCloseDestroyManyTimes)
{
    for (int round = 0; round < 200; ++round) {
        DevicePtr device(new CFakeDevice("cycle", 1000.0, (round % 2) == 0));
        auto* fake = static_cast<CFakeDevice*>(device.get());
        ASSERT_TRUE(fake->Create(round % 3 == 0));
        ASSERT_TRUE(fake->RunThread());
        if (round % 4 == 0) {
            ASSERT_TRUE(fake->WaitForSamples(1));
        }
        device.reset();
    }
    EXPECT_EQ(CTrackerWorker::GetGroupSize(), 0);
}

namespace {

class CNoThreadDevice : public CFakeDevice {
public:
    CNoThreadDevice() : CFakeDevice("nothread", 100.0, true) {}

protected:
    bool CreateWorkerThread(CTrackerWorker&) override { return false; }
};

}  // namespace

TEST(DeviceLifecycleThreads, FailedCreateLeavesNothingToWaitFor)
{
    wxLogNull quiet;
    CRecordingOwner owner;
    DevicePtr device(new CNoThreadDevice);
    auto* fake = static_cast<CNoThreadDevice*>(device.get());
    fake->SetOwner(&owner);
    EXPECT_FALSE(fake->Create(false));
    ASSERT_EQ(owner.m_errors.size(), 1u);
    EXPECT_EQ(owner.m_errors[0], "Unable to create device process");
    EXPECT_FALSE(owner.m_logFlags[0]);
    EXPECT_FALSE(fake->HasWorker());
    EXPECT_FALSE(fake->RunThread());
    fake->Close();
    EXPECT_TRUE(fake->IsClosed());
    fake->Close();  // idempotent
    EXPECT_EQ(CTrackerWorker::GetGroupSize(), 0);
}

TEST(DeviceLifecycleThreads, CreatedButNeverRunIsClosedAtOnce)
{
    DevicePtr device(new CFakeDevice("unrun", 100.0, true));
    auto* fake = static_cast<CFakeDevice*>(device.get());
    ASSERT_TRUE(fake->Create(false));
    EXPECT_FALSE(fake->Create(false));  // one worker only
    fake->Close();
    EXPECT_TRUE(fake->IsClosed());
    EXPECT_FALSE(fake->HasWorker());
    EXPECT_EQ(fake->Samples(), 0);
    EXPECT_FALSE(fake->RunThread());
}

namespace {

// Blocks inside a sample until released, as a device stuck on its port would.
class CStuckDevice : public CFakeDevice {
public:
    // Other tests' devices may be in the background closer too: a test that hands one
    // over names it and learns from `freed` when the closer let it go.
    explicit CStuckDevice(const wxString& name = "stuck", std::atomic<bool>* freed = nullptr)
        : CFakeDevice(name, 100.0, false), m_freed(freed)
    {
    }
    ~CStuckDevice() override
    {
        Close();
        if (m_freed != nullptr) m_freed->store(true);
    }
    void ReadSample() override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_inside = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_released; });
    }
    bool WaitInside()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20), [this] { return m_inside; });
    }
    void Release()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_released = true;
        }
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_inside = false;
    bool m_released = false;
    std::atomic<bool>* m_freed;
};

}  // namespace

TEST(DeviceLifecycleThreads, CloseOfAStuckThreadIsBoundedAndReported)
{
    wxLogNull quiet;
    g_messages.Drain();
    const auto savedTimeout = CTrackerWorker::GetEndTimeout();
    CTrackerWorker::SetEndTimeout(std::chrono::milliseconds(100));
    CStuckDevice device;
    ASSERT_TRUE(device.Create(false));
    ASSERT_TRUE(device.RunThread());
    ASSERT_TRUE(device.WaitInside());
    device.Close();
    EXPECT_FALSE(device.IsClosed());
    EXPECT_TRUE(device.HasWorker());
    const auto messages = g_messages.Drain();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].severity, Severity::Error);
    device.Release();
    CTrackerWorker::SetEndTimeout(savedTimeout);
    device.Close();
    EXPECT_TRUE(device.IsClosed());
    EXPECT_FALSE(device.HasWorker());
}

// A device held in a read is let go at once: the caller never waits for its thread, the
// background closer frees it once the read returns, and nothing is said as an error.
TEST(DeviceLifecycleThreads, DeviceHeldInAReadIsClosedInTheBackground)
{
    wxLogNull quiet;
    g_messages.Drain();
    const auto savedTimeout = CTrackerWorker::GetEndTimeout();
    CTrackerWorker::SetEndTimeout(std::chrono::minutes(10));  // a wait would show
    std::atomic<bool> freed{false};
    auto* device = new CStuckDevice("held_in_read", &freed);
    ASSERT_TRUE(device->Create(false));
    ASSERT_TRUE(device->RunThread());
    ASSERT_TRUE(device->WaitInside());
    CDeviceDeleter{}(device);
    CDeviceCloser& closer = CDeviceCloser::Instance();
    EXPECT_GE(closer.Pending(), 1u);
    EXPECT_GE(closer.Collect(), 1u);
    EXPECT_FALSE(freed.load());  // still in its read
    int said = 0;
    for (const auto& message : g_messages.Drain()) {
        if (message.text.find("held_in_read") == std::string::npos) continue;
        ++said;
        EXPECT_EQ(message.severity, Severity::Warning);
        EXPECT_NE(message.text.find("held_in_read: does not stop at once"), std::string::npos);
    }
    EXPECT_EQ(said, 1);
    device->Release();
    EXPECT_TRUE(WaitFor([&] {
        closer.Collect();
        return freed.load();
    }));
    CTrackerWorker::SetEndTimeout(savedTimeout);
}

// At the program's end the closer waits for the threads it holds and joins them; one
// still held in its read when the time is up is left as it is.
TEST(DeviceLifecycleThreads, ClosingAllAtTheEndJoinsTheThreadsThatEnd)
{
    wxLogNull quiet;
    std::atomic<bool> freed{false};
    auto* device = new CStuckDevice("held_at_end", &freed);
    ASSERT_TRUE(device->Create(false));
    ASSERT_TRUE(device->RunThread());
    ASSERT_TRUE(device->WaitInside());
    CDeviceDeleter{}(device);
    CDeviceCloser& closer = CDeviceCloser::Instance();
    EXPECT_GE(closer.CloseAll(std::chrono::milliseconds(0)), 1u);
    EXPECT_FALSE(freed.load());
    device->Release();  // its thread ends a moment later: the close waits for it
    EXPECT_EQ(closer.CloseAll(std::chrono::minutes(1)), 0u);
    EXPECT_TRUE(freed.load());
    g_messages.Drain();
}

TEST(DeviceStateThreads, HeldPassesWaitForTheReleaseInEitherModeAStuckOneIsNotWaitedFor)
{
    for (bool shortSleep : {true, false}) {
        SCOPED_TRACE(shortSleep ? "sleeping" : "spinning");
        CFakeDevice device("held", 5000.0, false);
        ASSERT_TRUE(device.Create(shortSleep));
        ASSERT_TRUE(device.RunThread());
        ASSERT_TRUE(device.WaitForSamples(10));
        for (int round = 0; round < 20; ++round) {
            ASSERT_TRUE(device.HoldPasses(std::chrono::seconds(20)));
            // Between two passes: nothing samples while the counter is changed.
            const int64_t before = device.Samples();
            device.SetSampleCounter(-1000);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // 5 periods
            EXPECT_EQ(device.Samples(), before);
            EXPECT_EQ(device.GetSampleCounter(), -1000);
            device.ReleasePasses();
            ASSERT_TRUE(device.WaitForSamples(before + 2));
        }
    }
    wxLogNull quiet;
    CStuckDevice stuck;
    ASSERT_TRUE(stuck.Create(false));
    ASSERT_TRUE(stuck.RunThread());
    ASSERT_TRUE(stuck.WaitInside());
    EXPECT_FALSE(stuck.HoldPasses(std::chrono::milliseconds(20)));
    // Asked together, holds share one deadline: the stuck device, waited for first
    // until it, holds back neither the other's hold (taken after the deadline, its
    // pass having ended meanwhile) nor its frames before it.
    CFakeDevice other("other", 5000.0, false);
    ASSERT_TRUE(other.Create(true) && other.RunThread());
    ASSERT_TRUE(other.WaitForSamples(10));
    for (int round = 0; round < 5; ++round) {
        ASSERT_TRUE(stuck.AskHoldPasses());
        ASSERT_TRUE(other.AskHoldPasses());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
        EXPECT_FALSE(stuck.TakeHeldPasses(deadline));
        EXPECT_TRUE(other.TakeHeldPasses(deadline));
        const int64_t before = other.Samples();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(other.Samples(), before);
        other.ReleasePasses();
        ASSERT_TRUE(other.WaitForSamples(before + 2));
    }
    other.Close();
    stuck.Release();
    stuck.Close();
    EXPECT_TRUE(stuck.IsClosed());
}

namespace {

// Its own members are used on every sample; its destructor forgets to Close.
class CCarelessDevice : public CDevice {
public:
    CCarelessDevice() : CDevice(false, false), m_history(64, 0.0)
    {
        m_rate.store(2000.0);
        m_channelCount = 1;
        AllocBuffers();
    }
    void ReadSample() override
    {
        m_history[m_next] = m_values[0];
        m_next = (m_next + 1) % m_history.size();
        m_samples.fetch_add(1);
    }
    std::vector<double> m_history;
    size_t m_next = 0;
    std::atomic<int> m_samples{0};
};

}  // namespace

TEST(DeviceLifecycleThreads, DeleterEndsTheThreadBeforeDerivedMembersGo)
{
    for (int round = 0; round < 20; ++round) {
        DevicePtr device(new CCarelessDevice);
        auto* careless = static_cast<CCarelessDevice*>(device.get());
        ASSERT_TRUE(careless->Create(false));
        ASSERT_TRUE(careless->RunThread());
        while (careless->m_samples.load() < 3) {
            std::this_thread::yield();
        }
        device.reset();  // AddressSanitizer reports any sample taken after this point
    }
}

TEST(DeviceStateThreads, SettingsFromTheGuiThreadWhileSampling)
{
    g_messages.Drain();
    CRecordingNetwork network;
    network.m_triggerEnabled = true;
    CRecordingOwner owner;
    CFakeDevice device("busy", 1000.0, false, 2, 1);
    device.SetOwner(&owner);
    ASSERT_TRUE(device.Create(true));
    ASSERT_TRUE(device.RunThread());
    ASSERT_TRUE(device.WaitForSamples(10));
    for (int i = 0; i < 20; ++i) {
        device.Stop();
        device.StartOffset();
        device.SetClockTolerance(0.1 * i);
        device.Start();
        device.ResetClock();
        (void)device.GetElapsedTime();
        (void)device.GetSampleCounter();
        (void)device.IsOffsetRunning();
    }
    const int64_t before = device.Samples();
    ASSERT_TRUE(device.WaitForSamples(before + 20));
    device.Close();
    // Every pass services the OSC trigger input while it is enabled and connected.
    EXPECT_GT(network.m_polls.load(), 20);
}

TEST(DeviceStateThreads, LogFromTheAcquisitionThreadIsQueued)
{
    g_messages.Drain();
    class CLoggingDevice : public CFakeDevice {
    public:
        CLoggingDevice() : CFakeDevice("talker", 500.0, false) {}
        void ReadSample() override
        {
            if (m_sampleCounter.load() == 3)
                Log("sample three");
            CFakeDevice::ReadSample();
        }
    };
    CRecordingOwner owner;
    CLoggingDevice device;
    device.SetOwner(&owner);
    ASSERT_TRUE(device.Create(false));
    ASSERT_TRUE(device.RunThread());
    ASSERT_TRUE(g_messages.WaitForMessage(std::chrono::seconds(20)));
    device.Close();
    const auto messages = g_messages.Drain();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "sample three");
    EXPECT_TRUE(owner.m_messages.empty());
}

TEST(CoreTest, SetCoreReportsCoresOutOfRange)
{
    CFakeDevice device("cores", 100.0, false);
    ASSERT_TRUE(device.Create(false));
    CTrackerWorker* worker = device.Worker();
    const uint64_t count = GetProcessorCount();
    ASSERT_GE(count, 1u);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(CTrackerWorker::SetCore(worker, static_cast<int>(count) + 3));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Slected core = " + std::to_string(count + 3) + "Core number : [O to " +
                  std::to_string(count) + "] \n");
    testing::internal::CaptureStderr();
    EXPECT_TRUE(CTrackerWorker::SetCore(worker, -1));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    device.Close();
}

TEST(CoreTest, BookedCoreHoldsTheThreadFromItsFirstPass)
{
    class CCoreProbe : public CFakeDevice {
    public:
        CCoreProbe() : CFakeDevice("probe", 200.0, false) {}
        void ReadSample() override
        {
            cpu_set_t set;
            CPU_ZERO(&set);
            if (sched_getaffinity(0, sizeof set, &set) == 0)
                m_cpuCount.store(CPU_COUNT(&set) == 1 && CPU_ISSET(0, &set) ? 1 : CPU_COUNT(&set));
            CFakeDevice::ReadSample();
        }
        std::atomic<int> m_cpuCount{-1};
    };
    if (GetProcessorCount() <= 2)
        GTEST_SKIP() << "core placement needs more than 2 processors";
    CTrackerWorker::SetUseCore(true);
    CCoreProbe device;
    ASSERT_TRUE(device.Create(false));
    EXPECT_EQ(device.Worker()->GetCoreSlot(), 0);
    ASSERT_TRUE(device.RunThread());
    ASSERT_TRUE(device.WaitForSamples(2));
    EXPECT_EQ(device.m_cpuCount.load(), 1);
    device.Close();
    CTrackerWorker::SetUseCore(false);
}

TEST(WorkerPriorityTest, SettingMapsToTheScaleAndLowPriorityReachesTheThread)
{
    EXPECT_EQ(CNullDevice::WorkerPriorityFromSetting(0), 0u);
    EXPECT_EQ(CNullDevice::WorkerPriorityFromSetting(1), 50u);
    EXPECT_EQ(CNullDevice::WorkerPriorityFromSetting(2), 100u);
    EXPECT_EQ(CNullDevice::WorkerPriorityFromSetting(-3), 100u);
    CNiceProbe device("nice", 200.0);
    EXPECT_FALSE(device.SetWorkerPriority(0));  // no thread yet
    const int callerNice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    ASSERT_TRUE(device.Create(false));
    ASSERT_TRUE(device.SetWorkerPriority(0));
    ASSERT_TRUE(device.RunThread());
    ASSERT_TRUE(device.WaitForSamples(2));
    device.Close();
    EXPECT_EQ(device.m_nice.load(), 19);
    // The caller's own priority is left alone.
    EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid))), callerNice);
}
