// OSC soak: eight synthetic devices at 1 kHz record one-minute trials through threaded
// writers while the OSC data server sends every frame to two loopback clients, on a
// machine the bench loads with busy threads of its own. For each device and trial it
// prints the samples due on the device's schedule over the trial's wall time (the
// reference: every due sample should be taken), the samples taken, the frames in the
// recording file and the longest stall between two samples, with the second of the trial
// it began at (stalls at one second on several devices are stalls they share).
// Usage: bench_osc_soak [--minutes M (15)] [--trial-seconds S (60)] [--busy N (4)]
//                       [--devices N (8)] [--rate HZ (1000)] [--osc 1|0|2 (1)]
// --osc 0 runs the trials without the OSC server, --osc 2 every other one without it:
// the plain way to compare with, under the same load.
#include "analog/analogFile.h"
#include "analog/analogReader.h"
#include "analog/testDevice.h"
#include "benchCommon.h"
#include "benchOsc.h"
#include "network/oscServer.h"
#include "osc_pkt/udp.h"
#include "process/clock.h"
#include "process/trackerWorker.h"

#include <wx/init.h>
#include <wx/log.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kClients = 2;
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
// Frames over which the smallest lateness is taken at each end of a trial: one of
// them comes on time even on a loaded machine, so a lasting shift is a lost slot.
constexpr std::size_t kLatenessWindow = 1000;

#ifdef NDEBUG
constexpr const char* kBuild = "Release";
#else
constexpr const char* kBuild = "Debug";
#endif

struct Options {
    double minutes = 15.0;
    double trialSeconds = 60.0;
    int busyThreads = 4;
    int devices = 8;
    double rateHz = 1000.0;
    int oscMode = 1;  // 1: every trial sends OSC, 0: none, 2: every other trial
};

bool TrialUsesOsc(const Options& options, int trial)
{
    return options.oscMode == 1 || (options.oscMode == 2 && trial % 2 == 0);
}

// The device's recording controller with a log of when each recorded sample was
// taken (program clock, us), kept without allocating on the acquisition thread.
class CLoggingRecorder : public CAnalogRecorder {
public:
    CLoggingRecorder(CAnalogDevice& device, std::size_t capacity)
        : m_inner(MakeRecordingController(device)), m_times(capacity), m_samples(capacity)
    {
    }
    bool RecordFrame(const double* values, int count, uint32_t sample, double timeSec) override
    {
        const bool isRecording = m_inner->IsRecording();
        const bool isTaken = m_inner->RecordFrame(values, count, sample, timeSec);
        if (!isRecording) return isTaken;
        const std::size_t n = m_count.load(std::memory_order_relaxed);
        if (n >= m_times.size()) return isTaken;
        m_times[n] = GetProgramTime();
        m_samples[n] = sample;
        m_count.store(n + 1, std::memory_order_release);
        return isTaken;
    }
    bool IsRecording() const override { return m_inner->IsRecording(); }
    bool OpenWriter(const wxString& folder, const wxString& captureName, int trial,
                    bool exportText, const wxString& exportFolder, bool useThread, int queueDepth,
                    int priority) override
    {
        return m_inner->OpenWriter(folder, captureName, trial, exportText, exportFolder,
                                   useThread, queueDepth, priority);
    }
    bool StartRecording() override
    {
        m_count.store(0);
        return m_inner->StartRecording();
    }
    bool FinishRecording() override { return m_inner->FinishRecording(); }
    bool StopRecording() override { return m_inner->StopRecording(); }
    void SetDuration(double seconds) override { m_inner->SetDuration(seconds); }
    int64_t GetFramesWritten() const override { return m_inner->GetFramesWritten(); }
    double GetTime() const override { return m_inner->GetTime(); }
    wxString GetFileName() const override { return m_inner->GetFileName(); }
    wxString GetTextFileName() const override { return m_inner->GetTextFileName(); }

    CAnalogFile& Controller() { return *m_inner; }
    // GUI side, once the run has ended.
    std::size_t Count() const { return m_count.load(std::memory_order_acquire); }
    const std::vector<double>& Times() const { return m_times; }
    const std::vector<uint32_t>& Samples() const { return m_samples; }

private:
    std::unique_ptr<CAnalogFile> m_inner;
    std::vector<double> m_times;
    std::vector<uint32_t> m_samples;
    std::atomic<std::size_t> m_count{0};
};

// A test device at the soak's rate under its own name.
class CSoakDevice : public CTestDevice {
public:
    CSoakDevice(int index, double rateHz) : CTestDevice(false, false)
    {
        m_rate = rateHz;
        SetDeviceName(wxString::Format("soak%d", index));
        SeedRandom(static_cast<uint32_t>(index + 1));
    }
};

// Loopback OSC clients, each draining its socket on its own thread.
class Clients {
public:
    Clients()
    {
        for (int i = 0; i < kClients; ++i) {
            auto endpoint = std::make_unique<UdpEndpoint>();
            if (!endpoint->BindTo(0))
                std::fprintf(stderr, "bind: %s\n", endpoint->ErrorText().c_str());
            endpoint->SetReceiveBufferSize(kReceiveBufferBytes);
            m_endpoints.push_back(std::move(endpoint));
        }
        for (int i = 0; i < kClients; ++i)
            m_threads.emplace_back([this, i]() noexcept { Run(i); });
    }
    ~Clients()
    {
        m_stop = true;
        for (std::thread& thread : m_threads) thread.join();
    }
    int Port(int i) const { return m_endpoints[static_cast<std::size_t>(i)]->LocalAddress().Port(); }
    long Received() const { return m_received.load(); }

private:
    void Run(int i) noexcept
    {
        UdpEndpoint& endpoint = *m_endpoints[static_cast<std::size_t>(i)];
        while (!m_stop) {
            if (endpoint.ReceiveNextPacket(100) && endpoint.PacketSize() > 5 &&
                std::memcmp(endpoint.PacketData(), "/data", 5) == 0)
                m_received.fetch_add(1, std::memory_order_relaxed);
        }
    }
    std::vector<std::unique_ptr<UdpEndpoint>> m_endpoints;
    std::vector<std::thread> m_threads;
    std::atomic<long> m_received{0};
    std::atomic<bool> m_stop{false};
};

// The GUI thread's idle polling of the server, and the machine's load.
class Background {
public:
    explicit Background(int busyThreads)
    {
        m_threads.emplace_back([this]() noexcept {
            while (!m_stop) OscServerPoll();
        });
        for (int i = 0; i < busyThreads; ++i) {
            m_threads.emplace_back([this, i]() noexcept {
                volatile double x = 1.0 + i;
                while (!m_stop)
                    for (int k = 0; k < 100000; ++k) x = std::sqrt(x * x + 1.0);
            });
        }
    }
    ~Background()
    {
        m_stop = true;
        for (std::thread& thread : m_threads) thread.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};

struct TrialFigures {
    long due = 0;
    long taken = 0;
    long framesInFile = -1;
    double maxStallMs = 0.0;
    double maxStallAtSec = 0.0;  // since the trial's first sample
    double lateP99Ms = 0.0;
};

// Due: the slots of the device's schedule over the wall time the taken samples span.
// Lateness is measured against the first sample; its smallest value near each end
// drops the ordinary jitter, so what remains is the schedule's lasting shift.
TrialFigures Figures(const CLoggingRecorder& recorder, double rateHz)
{
    TrialFigures figures;
    const std::size_t n = recorder.Count();
    figures.taken = static_cast<long>(n);
    if (n < 2) {
        figures.due = figures.taken;
        return figures;
    }
    const double periodUs = 1.0e6 / rateHz;
    const std::vector<double>& times = recorder.Times();
    const std::vector<uint32_t>& samples = recorder.Samples();
    std::vector<double> lateness(n);
    double maxGapUs = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        lateness[k] = times[k] - times[0] - (samples[k] - samples[0]) * periodUs;
        if (k > 0 && times[k] - times[k - 1] - periodUs > maxGapUs) {
            maxGapUs = times[k] - times[k - 1] - periodUs;
            figures.maxStallAtSec = (times[k - 1] - times[0]) / 1.0e6;
        }
    }
    const std::size_t window = std::min(kLatenessWindow, n);
    const double head = *std::min_element(lateness.begin(), lateness.begin() + window);
    const double tail = *std::min_element(lateness.end() - window, lateness.end());
    const long lost = std::lround((tail - head) / periodUs);
    figures.due = static_cast<long>(samples[n - 1] - samples[0]) + 1 + lost;
    figures.maxStallMs = std::max(0.0, maxGapUs) / 1000.0;
    for (double& late : lateness) late -= head;
    figures.lateP99Ms = Percentile(lateness, 0.99) / 1000.0;
    return figures;
}

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        const double value = std::atof(argv[++i]);
        if (arg == "--minutes")
            options.minutes = value;
        else if (arg == "--trial-seconds")
            options.trialSeconds = value;
        else if (arg == "--busy")
            options.busyThreads = static_cast<int>(value);
        else if (arg == "--devices")
            options.devices = static_cast<int>(value);
        else if (arg == "--rate")
            options.rateHz = value;
        else if (arg == "--osc")
            options.oscMode = static_cast<int>(value);
        else
            return false;
    }
    return options.minutes > 0.0 && options.trialSeconds >= 2.0 && options.busyThreads >= 0 &&
           options.devices >= 1 && options.rateHz >= 1.0 && options.rateHz <= 1000.0 &&
           options.oscMode >= 0 && options.oscMode <= 2;
}

bool StartServer(const Clients& clients)
{
    std::vector<int> ports;
    for (int i = 0; i < kClients; ++i) ports.push_back(clients.Port(i));
    return StartOscServerForClients(ports);
}

void QuietConsole(bool, const std::string&) {}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: bench_osc_soak [--minutes M] [--trial-seconds S] [--busy N] "
                     "[--devices N] [--rate HZ] [--osc 1|0]\n");
        return 2;
    }
    wxInitializer initializer(argc, argv);
    if (!initializer.IsOk()) {
        std::fprintf(stderr, "bench_osc_soak: wxWidgets could not be initialised\n");
        return 1;
    }
    wxLog::SetActiveTarget(new wxLogStderr);
    SetOscConsoleSink(&QuietConsole);
    std::error_code error;
    char pattern[] = "/tmp/bench_osc_soak_XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string folder = made;

    Clients clients;
    Background background(options.busyThreads);
    const auto capacity =
        static_cast<std::size_t>(options.rateHz * (options.trialSeconds + 10.0));
    std::vector<std::unique_ptr<CSoakDevice, CDeviceDeleter>> devices;
    std::vector<CLoggingRecorder*> recorders;
    for (int d = 0; d < options.devices; ++d) {
        devices.emplace_back(new CSoakDevice(d, options.rateHz));
        CSoakDevice& device = *devices.back();
        auto recorder = std::make_unique<CLoggingRecorder>(device, capacity);
        recorders.push_back(recorder.get());
        device.SetRecorder(std::move(recorder));
        if (!device.Create(CTrackerWorker::kDefaultClockDelay) || !device.RunThread()) {
            std::printf("bench=osc_soak error=device_not_started device=%d\n", d);
            return 1;
        }
        device.SetWorkerPriority(CNullDevice::WorkerPriorityFromSetting(2));
    }

    const int trials = std::max(1, static_cast<int>(std::lround(options.minutes * 60.0 /
                                                               options.trialSeconds)));
    long totalLost = 0;
    long totalFileShort = 0;
    double worstStallMs = 0.0;
    long lostWithoutOsc = 0;
    double worstStallWithoutOscMs = 0.0;
    for (int trial = 0; trial < trials; ++trial) {
        const bool useOsc = TrialUsesOsc(options, trial);
        if (useOsc && !IsOscServerStarted() && !StartServer(clients)) {
            std::printf("bench=osc_soak error=server_not_started\n");
            return 1;
        }
        if (!useOsc) CloseOscServer();
        const OscServerStats before = OscServerGetStats();
        const long receivedBefore = clients.Received();
        for (auto& device : devices) {
            if (!device->SetupWriter(folder, "soak", trial, false, folder, true, 100, 1)) {
                std::printf("bench=osc_soak error=writer_not_opened trial=%d\n", trial);
                return 1;
            }
        }
        // As the shell starts a capture: each device's trial begins at its frame 0.
        for (auto& device : devices) {
            device->SetRecordDuration(options.trialSeconds);
            device->Reset();
            device->ResetClock();
            device->RestartViews();
            if (!device->StartRecording()) {
                std::printf("bench=osc_soak error=recording_not_started trial=%d\n", trial);
                return 1;
            }
        }
        const auto limit = Clock::now() + std::chrono::duration<double>(options.trialSeconds * 2 + 10);
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            bool anyRecording = false;
            for (auto& device : devices) anyRecording = anyRecording || device->IsRecording();
            if (!anyRecording || Clock::now() > limit) break;
        }
        const OscServerStats after = OscServerGetStats();
        for (int d = 0; d < options.devices; ++d) {
            CSoakDevice& device = *devices[static_cast<std::size_t>(d)];
            CLoggingRecorder& recorder = *recorders[static_cast<std::size_t>(d)];
            const wxString fileName = device.GetWriterFileName();
            const int64_t frameCount = recorder.Controller().GetFrameCount();
            device.FinishRecording();
            FinaliseRecordFile(device, fileName, frameCount);
            device.StopRecording();
            TrialFigures figures = Figures(recorder, options.rateHz);
            CAnalogReader reader;
            if (reader.Open(fileName)) figures.framesInFile = static_cast<long>(reader.GetFrameCount());
            std::filesystem::remove(fileName.ToStdString(), error);
            totalFileShort += figures.taken - figures.framesInFile;
            if (useOsc) {
                totalLost += figures.due - figures.taken;
                worstStallMs = std::max(worstStallMs, figures.maxStallMs);
            } else {
                lostWithoutOsc += figures.due - figures.taken;
                worstStallWithoutOscMs = std::max(worstStallWithoutOscMs, figures.maxStallMs);
            }
            std::printf(
                "bench=osc_soak osc=%d trial=%d device=%d due=%ld taken=%ld frames_in_file=%ld "
                "max_stall_ms=%.2f max_stall_at_s=%.3f late_p99_ms=%.3f ref=due build=%s\n",
                useOsc ? 1 : 0, trial, d, figures.due, figures.taken,
                figures.framesInFile, figures.maxStallMs, figures.maxStallAtSec,
                figures.lateP99Ms, kBuild);
        }
        std::printf(
            "bench=osc_soak_trial trial=%d osc_packets_sent=%llu osc_send_failures=%llu "
            "osc_would_block=%llu osc_received=%ld\n",
            trial, static_cast<unsigned long long>(after.packetsSent - before.packetsSent),
            static_cast<unsigned long long>(after.sendFailures - before.sendFailures),
            static_cast<unsigned long long>(after.wouldBlock - before.wouldBlock),
            clients.Received() - receivedBefore);
        std::fflush(stdout);
    }
    std::printf(
        "bench=osc_soak_summary osc_mode=%d trials=%d devices=%d rate_hz=%.0f busy_threads=%d "
        "samples_lost=%ld file_short=%ld max_stall_ms=%.2f ref=without_osc "
        "ref_samples_lost=%ld ref_max_stall_ms=%.2f build=%s\n",
        options.oscMode, trials, options.devices, options.rateHz, options.busyThreads, totalLost,
        totalFileShort, worstStallMs, lostWithoutOsc, worstStallWithoutOscMs, kBuild);
    devices.clear();
    CloseOscServer();
    std::filesystem::remove_all(folder, error);
    return totalLost == 0 && lostWithoutOsc == 0 && totalFileShort == 0 ? 0 : 3;
}
