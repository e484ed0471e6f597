// How old the flock's poses are when the device hands out a frame, for flocks of 1, 2,
// 4 and 8 birds streaming 100 records per bird and second on a pseudo-terminal.
// Each record's x word carries its number; the simulator notes when it sent it, and the
// view sink that takes the frames works out each bird's pose age.
//   bench_fob [--seconds N]   (60 by default)
// One line per flock:
//   fob birds=<n> lag_ms_p99=<> records_per_s=<> ... limit_ms=<2 record periods + 5 ms>
// with the first and second half's p99 (a lag that grows shows there) and the frame
// period as reference (a pose is up to one frame period old by sampling alone).
#include "Bird/fob_device.h"

#include "../tests/Bird/fobSimulator.h"
#include "benchCommon.h"

#include <wx/init.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBirdRateHz = 100.0;
constexpr float kRangeInches = 36.0f;
constexpr uint32_t kSlots = 8192;  // record numbers the x word can carry
constexpr uint32_t kBaud = 256000;  // the line carries 8 birds at (almost) 100 Hz
constexpr double kWarmUpSec = 1.0;

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// When each record left the simulator, by bird and record number (slot 0: not yet).
class CSendTimes {
public:
    explicit CSendTimes(size_t birds) : m_times(birds * kSlots) {}
    void Note(uint32_t address, uint32_t sequence)
    {
        m_times[(address - 1) * kSlots + sequence % kSlots].store(NowNs(),
                                                                  std::memory_order_release);
    }
    int64_t Get(size_t bird, uint32_t slot) const
    {
        return m_times[bird * kSlots + slot % kSlots].load(std::memory_order_acquire);
    }

private:
    std::vector<std::atomic<int64_t>> m_times;
};

// Takes the device's frames and keeps each bird's pose age; sized before the run.
class CLagSink : public CBenchViewSink {
public:
    CLagSink(const CSendTimes& times, size_t birds, size_t capacity)
        : m_times(times), m_birds(birds), m_lagMs(capacity), m_frameNs(capacity)
    {
    }
    void AddData(const double* values, int count, uint32_t /*sample*/, double /*timeSec*/) override
    {
        const int64_t now = NowNs();
        const double metresPerWord = kRangeInches / 32768.0 * 0.0254;
        for (size_t bird = 0; bird < m_birds && static_cast<int>(7 * bird) < count; ++bird) {
            const long word = std::lround(values[7 * bird] / metresPerWord);
            if (word <= 0) continue;  // no record of this bird yet
            const int64_t sent = m_times.Get(bird, static_cast<uint32_t>(word / 4));
            const size_t at = m_count.load(std::memory_order_relaxed);
            if (sent == 0 || at >= m_lagMs.size()) continue;
            m_lagMs[at] = static_cast<double>(now - sent) / 1.0e6;
            m_frameNs[at] = now;
            m_count.store(at + 1, std::memory_order_release);
        }
    }

    // The 99th percentile of the ages noted from fromNs to toNs.
    double P99(int64_t fromNs, int64_t toNs) const
    {
        std::vector<double> lags;
        const size_t count = m_count.load(std::memory_order_acquire);
        for (size_t i = 0; i < count; ++i)
            if (m_frameNs[i] >= fromNs && m_frameNs[i] < toNs) lags.push_back(m_lagMs[i]);
        if (lags.empty()) return std::nan("");
        return Percentile(lags, 0.99);
    }

private:
    const CSendTimes& m_times;
    const size_t m_birds;
    std::vector<double> m_lagMs;
    std::vector<int64_t> m_frameNs;
    std::atomic<size_t> m_count{0};
};

bool RunCase(size_t birds, double seconds)
{
    CFobSimulator sim;
    if (!sim.IsOk()) {
        std::fprintf(stderr, "bench_fob: no pseudo-terminal\n");
        return false;
    }
    for (uint32_t address = 1; address <= birds; ++address) sim.AddBird(address, true);
    sim.streamPeriod = std::chrono::microseconds(
        static_cast<int64_t>(1.0e6 / (kBirdRateHz * static_cast<double>(birds))));
    sim.sequenceWords = true;
    CSendTimes times(birds);
    sim.onSend = [&times](uint32_t address, uint32_t sequence) { times.Note(address, sequence); };
    if (!sim.Start()) return false;

    CFobStartup startup;
    startup.flock.resetMs = 0;
    startup.flock.configureMs = 0;
    startup.flock.resetPulse = false;  // a pseudo-terminal has no modem lines
    startup.flock.minReadTimeoutMs = 500;  // the shell's default command delay
    startup.retryMs = 0;
    startup.settleMs = 0;
    // The start-up talks on the standard output: keep the bench's lines alone there.
    std::fflush(stdout);
    const int savedOut = ::dup(STDOUT_FILENO);
    const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (savedOut >= 0 && quiet >= 0) ::dup2(quiet, STDOUT_FILENO);
    CFobDevice device(wxString(sim.SlaveName()), kBaud, 1, 1, kRangeInches, true, false, startup);
    std::fflush(stdout);
    if (savedOut >= 0) {
        ::dup2(savedOut, STDOUT_FILENO);
        ::close(savedOut);
    }
    if (quiet >= 0) ::close(quiet);
    if (!device.IsReady()) {
        std::fprintf(stderr, "bench_fob: the flock of %zu did not start\n", birds);
        return false;
    }
    const double rate = device.GetRate();
    const size_t capacity =
        static_cast<size_t>((seconds + kWarmUpSec + 5.0) * rate * static_cast<double>(birds));
    CLagSink sink(times, birds, capacity);
    device.AddView(&sink);
    if (!device.Create(false) || !device.RunThread()) {
        device.RemoveView(&sink);
        return false;
    }
    device.Start();
    const int64_t startNs = NowNs() + static_cast<int64_t>(kWarmUpSec * 1.0e9);
    const uint64_t routedAtStart = [&] {
        std::this_thread::sleep_until(Clock::now() + std::chrono::duration<double>(kWarmUpSec));
        return device.GetFlock().get_routed_records();
    }();
    std::this_thread::sleep_until(Clock::now() + std::chrono::duration<double>(seconds));
    const int64_t endNs = NowNs();
    const uint64_t routed = device.GetFlock().get_routed_records() - routedAtStart;
    device.Close();
    device.RemoveView(&sink);
    sim.Stop();

    const int64_t halfNs = startNs + (endNs - startNs) / 2;
    const double p99 = sink.P99(startNs, endNs);
    const double recordPeriodMs = 1000.0 / kBirdRateHz;
    const double framePeriodMs = 1000.0 / rate;
    std::printf("fob birds=%zu seconds=%.0f lag_ms_p99=%.2f records_per_s=%.1f "
                "lag_ms_p99_first_half=%.2f lag_ms_p99_second_half=%.2f device_rate_hz=%.0f "
                "limit_ms=%.1f ref=frame_period ref_ms=%.2f ratio=%.2f line_losses=%lld\n",
                birds, seconds, p99, static_cast<double>(routed) / seconds,
                sink.P99(startNs, halfNs), sink.P99(halfNs, endNs), rate,
                2.0 * recordPeriodMs + 5.0, framePeriodMs, p99 / framePeriodMs,
                static_cast<long long>(device.GetLineLosses()));
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    wxInitializer initializer(argc, argv);
    if (!initializer.IsOk()) {
        std::fprintf(stderr, "bench_fob: wxWidgets did not start\n");
        return 1;
    }
    const double seconds = ReadSecondsOption(argc, argv, 60.0);
    if (seconds <= 0.0) return 2;
    bool ok = true;
    for (size_t birds : {1, 2, 4, 8}) ok = RunCase(birds, seconds) && ok;
    return ok ? 0 : 1;
}
