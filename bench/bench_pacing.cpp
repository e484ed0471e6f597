// Pacing accuracy and cost of the acquisition thread: one self-paced device at several
// rates and a synchronised {100, 250} group, busy and delay modes, against a reference
// loop that sleeps to absolute deadlines with clock_nanosleep(TIMER_ABSTIME). It also
// names the mode that devices use by default.
// Usage: bench_pacing [seconds per repetition, default 1]
#include "process/clock.h"
#include "process/device.h"
#include "process/trackerWorker.h"

#include <wx/init.h>
#include <wx/log.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRepetitions = 5;
constexpr double kWarmUpUs = 200000.0;

// Reading times of the samples, stored without allocating on the acquisition thread.
class CTimeLog {
public:
    explicit CTimeLog(size_t capacity) : m_times(capacity) {}
    void Add(double timeUs)
    {
        const size_t n = m_count.load(std::memory_order_relaxed);
        if (n < m_times.size()) {
            m_times[n] = timeUs;
            m_count.store(n + 1, std::memory_order_release);
        }
    }
    std::vector<double> Take() const
    {
        return {m_times.begin(), m_times.begin() + static_cast<std::ptrdiff_t>(m_count.load())};
    }

private:
    std::vector<double> m_times;
    std::atomic<size_t> m_count{0};
};

class CBenchDevice : public CDevice {
public:
    CBenchDevice(double rateHz, bool synchronised, size_t capacity)
        : CDevice(synchronised, false), m_log(capacity)
    {
        m_rate.store(rateHz);
        m_deviceName = wxString::Format("bench%g", rateHz);
        m_channelCount = 1;
        AllocBuffers();
    }
    ~CBenchDevice() override { Close(); }
    void ReadSample() override { m_log.Add(GetProgramTime()); }
    const CTimeLog& Times() const { return m_log; }

private:
    CTimeLog m_log;
};

struct Figures {
    double achievedHz = 0.0;
    double rateError = 0.0;
    double lateP50 = 0.0;
    double lateP99 = 0.0;
    double lateMax = 0.0;
    double cpuPct = 0.0;
};

double ProcessCpuUs()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
    return values[index];
}

// Rate and lateness against the schedule. A reading is never early, and on a busy
// machine some are late by a time slice: the most punctual reading of the first and of
// the last fifth of the run give the actual period, and each sample's lateness is its
// distance from the schedule through the most punctual reading.
Figures Analyse(const std::vector<double>& allTimes, double rateHz)
{
    std::vector<double> times;
    for (double t : allTimes)
        if (t - allTimes.front() >= kWarmUpUs)
            times.push_back(t);
    Figures figures;
    const size_t n = times.size();
    if (n < 10)
        return figures;
    const double nominalUs = 1e6 / rateHz;
    auto offset = [&](size_t k) { return times[k] - static_cast<double>(k) * nominalUs; };
    auto mostPunctual = [&](size_t from, size_t to) {
        size_t best = from;
        for (size_t k = from; k < to; ++k)
            if (offset(k) < offset(best))
                best = k;
        return best;
    };
    const size_t early = mostPunctual(0, n / 5);
    const size_t late = mostPunctual(n - n / 5, n);
    const double periodUs =
        nominalUs + (offset(late) - offset(early)) / static_cast<double>(late - early);
    figures.achievedHz = 1e6 / periodUs;
    figures.rateError = figures.achievedHz / rateHz - 1.0;
    std::vector<double> lateness(n);
    for (size_t k = 0; k < n; ++k)
        lateness[k] = std::max(0.0, times[k] - (times[early] + (static_cast<double>(k) -
                                                                static_cast<double>(early)) *
                                                                   periodUs));
    figures.lateP50 = Percentile(lateness, 0.50);
    figures.lateP99 = Percentile(lateness, 0.99);
    figures.lateMax = *std::max_element(lateness.begin(), lateness.end());
    return figures;
}

Figures Median(std::vector<Figures> runs)
{
    auto median = [&](double Figures::*field) {
        std::vector<double> values;
        for (const Figures& f : runs)
            values.push_back(f.*field);
        std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
        return values[values.size() / 2];
    };
    Figures m;
    m.achievedHz = median(&Figures::achievedHz);
    m.rateError = median(&Figures::rateError);
    m.lateP50 = median(&Figures::lateP50);
    m.lateP99 = median(&Figures::lateP99);
    m.lateMax = median(&Figures::lateMax);
    m.cpuPct = median(&Figures::cpuPct);
    return m;
}

// Runs the devices at the given rates for seconds; returns one figure set per rate.
std::vector<Figures> RunDevices(const std::vector<double>& rates, bool synchronised, bool delay,
                                double seconds)
{
    std::vector<std::unique_ptr<CBenchDevice>> devices;
    for (double rate : rates) {
        devices.push_back(std::make_unique<CBenchDevice>(
            rate, synchronised, static_cast<size_t>(rate * (seconds + 1.0)) + 100));
        if (!devices.back()->Create(delay)) {
            std::fprintf(stderr, "bench_pacing: no acquisition thread\n");
            std::exit(1);
        }
    }
    const double cpuStart = ProcessCpuUs();
    const double wallStart = GetProgramTime();
    for (auto& device : devices)
        device->RunThread();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds + kWarmUpUs / 1e6));
    const double cpuUs = ProcessCpuUs() - cpuStart;
    const double wallUs = GetProgramTime() - wallStart;
    // The steady run only: closing a group's pacing member first re-forms the group.
    std::vector<std::vector<double>> logs;
    for (auto& device : devices)
        logs.push_back(device->Times().Take());
    for (auto& device : devices)
        device->Close();
    std::vector<Figures> figures;
    for (size_t i = 0; i < devices.size(); ++i) {
        figures.push_back(Analyse(logs[i], rates[i]));
        figures.back().cpuPct = 100.0 * cpuUs / wallUs;
    }
    return figures;
}

// The reference: one thread per rate sleeping to absolute deadlines.
std::vector<Figures> RunReference(const std::vector<double>& rates, double seconds)
{
    std::vector<std::unique_ptr<CTimeLog>> logs;
    std::vector<std::thread> threads;
    std::atomic<bool> stop{false};
    const double cpuStart = ProcessCpuUs();
    const double wallStart = GetProgramTime();
    for (double rate : rates) {
        logs.push_back(std::make_unique<CTimeLog>(static_cast<size_t>(rate * (seconds + 1.0)) + 100));
        CTimeLog* log = logs.back().get();
        threads.emplace_back([log, rate, &stop] {
            timespec next{};
            ::clock_gettime(CLOCK_MONOTONIC, &next);
            int64_t k = 0;
            const int64_t startNs = static_cast<int64_t>(next.tv_sec) * 1000000000 + next.tv_nsec;
            while (!stop.load()) {
                log->Add(GetProgramTime());
                ++k;
                // Deadlines from the start, with the exact (fractional) period.
                const int64_t dueNs = startNs + static_cast<int64_t>(k * (1e9 / rate));
                next.tv_sec = dueNs / 1000000000;
                next.tv_nsec = dueNs % 1000000000;
                while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds + kWarmUpUs / 1e6));
    stop.store(true);
    for (std::thread& thread : threads)
        thread.join();
    const double cpuUs = ProcessCpuUs() - cpuStart;
    const double wallUs = GetProgramTime() - wallStart;
    std::vector<Figures> figures;
    for (size_t i = 0; i < rates.size(); ++i) {
        figures.push_back(Analyse(logs[i]->Take(), rates[i]));
        figures.back().cpuPct = 100.0 * cpuUs / wallUs;
    }
    return figures;
}

void Print(double rate, const char* mode, const Figures& f, const char* extra)
{
    std::printf("pacing rate=%g mode=%s achieved=%.4f rate_error=%.2e late_p50_us=%.1f "
                "late_p99_us=%.1f late_max_us=%.1f cpu_pct=%.1f%s\n",
                rate, mode, f.achievedHz, f.rateError, f.lateP50, f.lateP99, f.lateMax, f.cpuPct,
                extra);
    std::fflush(stdout);
}

// Repeats a case and prints the median figures of each device.
template <typename Run>
void Case(const std::vector<double>& rates, const char* mode, const char* extra, Run run)
{
    std::vector<std::vector<Figures>> perRate(rates.size());
    for (int r = 0; r < kRepetitions; ++r) {
        const std::vector<Figures> figures = run();
        for (size_t i = 0; i < rates.size(); ++i)
            perRate[i].push_back(figures[i]);
    }
    for (size_t i = 0; i < rates.size(); ++i)
        Print(rates[i], mode, Median(perRate[i]), extra);
}

}  // namespace

int main(int argc, char** argv)
{
    wxInitializer initializer(argc, argv);
    if (!initializer.IsOk()) {
        std::fprintf(stderr, "bench_pacing: wxWidgets could not be initialised\n");
        return 1;
    }
    wxLog::SetActiveTarget(new wxLogStderr);
    const double seconds = argc > 1 ? std::max(0.3, std::atof(argv[1])) : 1.0;
    InitTimeOfDay(true);
    // The mode a device paces in when the configuration does not choose one.
    std::printf("pacing default_mode=%s\n", CTrackerWorker::kDefaultClockDelay ? "delay" : "busy");
    for (double rate : {100.0, 144.0, 300.0, 1000.0, 2000.0, 5000.0, 10000.0}) {
        const std::vector<double> rates{rate};
        Case(rates, "reference", "", [&] { return RunReference(rates, seconds); });
        Case(rates, "busy", "", [&] { return RunDevices(rates, false, false, seconds); });
        Case(rates, "delay", "", [&] { return RunDevices(rates, false, true, seconds); });
    }
    const std::vector<double> group{100.0, 250.0};
    const char* groupTag = " group=100+250";
    Case(group, "reference", groupTag, [&] { return RunReference(group, seconds); });
    Case(group, "busy", groupTag, [&] { return RunDevices(group, true, false, seconds); });
    Case(group, "delay", groupTag, [&] { return RunDevices(group, true, true, seconds); });
    return 0;
}
