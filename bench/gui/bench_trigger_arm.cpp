// How long after its start a trial records: the real main frame with 8 test devices at
// 1 kHz, each with its 2D view, display timer running, a capture set open. Two ways in:
// a start command posted to the frame as a key press arrives (F9, the reference), and a
// start value sent to the OSC trigger input on the loopback while "Start capture" waits
// for it in Trigger Loop. The time runs from the post or the send to the first frame
// that a device's acquisition thread dispatches into its recording. Each case runs on
// the machine as it is, then with as many busy threads as processors beside it.
// Runs under a display (xvfb-run). One line per case:
//   trigger_arm way=<f9|osc> load=<idle|busy> devices=8 trials=<n> p50_ms=<> p99_ms=<>
//       max_ms=<> arming_begun_p50_ms=<> arming_begun_p99_ms=<> unarmed=<n>
// (p50/p99/max: to the first recorded frame; arming_begun: to the moment the GUI thread
// began arming the devices.)
// Usage: bench_trigger_arm [trials per case, default 40]
#include "DravonetMain.h"
#include "analog/testDevice.h"
#include "framePrompts.h"
#include "network/oscClientSettings.h"
#include "network/oscTrigger.h"
#include "osc_pkt/oscpkt.h"
#include "osc_pkt/udp.h"
#include "process/clock.h"

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/filename.h>
#include <wx/log.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

class BenchApp : public wxApp {
public:
    bool OnInit() override { return true; }
};

constexpr double kRateHz = 1000.0;
constexpr int kDevices = 8;
constexpr auto kTrialLength = std::chrono::milliseconds(150);
// Longer than any arming seen: a trial not recording by then counts as unarmed.
constexpr double kGiveUpMs = 5000.0;

// The application's test device at 1 kHz, noting when its first frame of a recording
// is dispatched (on its acquisition thread).
class CArmWatchDevice : public CTestDevice {
public:
    explicit CArmWatchDevice(const wxString& name) : CTestDevice(false, false)
    {
        m_rate = kRateHz;
        bool changed = false;
        SetParam(&name, 0, 1, PARAM_STRING, &changed);  // a capture set needs distinct names
        UpdateVisibleList();
    }
    bool Process(bool tick, bool running) override
    {
        const bool isRecording = IsRecording();
        const int64_t before = GetSampleCounter();
        const bool result = CTestDevice::Process(tick, running);
        if (isRecording && GetSampleCounter() != before && m_isWatching.exchange(false))
            m_firstFrameUs.store(GetProgramTime());
        return result;
    }
    // The capture start resets each device (GUI thread) just before it arms it.
    void Reset() override
    {
        CTestDevice::Reset();
        if (m_isWatching.load() && m_resetUs.load() == 0.0) m_resetUs.store(GetProgramTime());
    }
    void Watch()
    {
        m_firstFrameUs.store(0.0);
        m_resetUs.store(0.0);
        m_isWatching.store(true);
    }
    double FirstFrameUs() const { return m_firstFrameUs.load(); }
    double ResetUs() const { return m_resetUs.load(); }

private:
    std::atomic<double> m_resetUs{0.0};
    std::atomic<bool> m_isWatching{false};
    std::atomic<double> m_firstFrameUs{0.0};
};

double Percentile(std::vector<double> values, double p)
{
    if (values.empty()) return 0.0;
    const size_t index =
        std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index),
                     values.end());
    return values[index];
}

// Processors kept busy beside the application while it lives.
class CBusyThreads {
public:
    explicit CBusyThreads(unsigned count)
    {
        for (unsigned i = 0; i < count; ++i)
            m_threads.emplace_back([this] {
                volatile unsigned long spin = 0;
                while (!m_stop.load(std::memory_order_relaxed)) spin = spin + 1;
            });
    }
    ~CBusyThreads()
    {
        m_stop = true;
        for (auto& thread : m_threads) thread.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};

struct Bench {
    TrackerFrame* frame = nullptr;
    std::vector<CArmWatchDevice*> devices;  // owned by the frame
    UdpEndpoint sender;
    NetAddress to;  // the trigger input
};

bool AllRecording(const Bench& bench, bool recording)
{
    for (const CArmWatchDevice* device : bench.devices)
        if (device->IsRecording() != recording) return false;
    return true;
}

// Milliseconds from startUs to the first recorded frame of the earliest device (and,
// in reactionMs, to the start of the arming); -1 when none records in time.
double WaitForFirstFrame(const Bench& bench, double startUs, double& reactionMs)
{
    for (;;) {
        double first = 0.0;
        double reset = 0.0;
        for (const CArmWatchDevice* device : bench.devices) {
            const double at = device->FirstFrameUs();
            if (at > 0.0 && (first == 0.0 || at < first)) first = at;
            const double resetAt = device->ResetUs();
            if (resetAt > 0.0 && (reset == 0.0 || resetAt < reset)) reset = resetAt;
        }
        if (first > 0.0) {
            reactionMs = reset > 0.0 ? (reset - startUs) / 1000.0 : -1.0;
            return (first - startUs) / 1000.0;
        }
        if ((GetProgramTime() - startUs) / 1000.0 > kGiveUpMs) return -1.0;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

bool WaitUntil(const std::function<bool()>& isDone)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(int(kGiveUpMs));
    while (!isDone()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void PostCommand(TrackerFrame* frame, int id)
{
    wxQueueEvent(frame, new wxCommandEvent(wxEVT_MENU, id));
}

bool SendTrigger(Bench& bench, float value)
{
    OscMessage message("/unity_sync");
    message.PushFloat(value);
    OscPacketBuilder builder;
    builder.AddMessage(message);
    return bench.sender.SendPacketTo(builder.PacketData(), builder.PacketSize(), bench.to);
}

// Runs trials on a driver thread while the GUI thread runs its event loop; the delays.
struct Delays {
    std::vector<double> firstFrameMs;
    std::vector<double> reactionMs;  // to the arming's start
};

Delays RunTrials(Bench& bench, bool isOsc, int trials, int& unarmed)
{
    Delays delays;
    unarmed = 0;
    wxGUIEventLoop loop;
    std::thread driver([&] {
        std::mt19937 random(12345);
        std::uniform_int_distribution<int> pauseMs(250, 330);  // the stop done; any phase of the wait
        for (int trial = 0; trial < trials; ++trial) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs(random)));
            for (CArmWatchDevice* device : bench.devices) device->Watch();
            const double startUs = GetProgramTime();
            if (isOsc)
                SendTrigger(bench, 255.0f);
            else
                PostCommand(bench.frame, ID_CAPTURE_START);
            double reactionMs = -1.0;
            const double delayMs = WaitForFirstFrame(bench, startUs, reactionMs);
            if (delayMs < 0.0) {
                ++unarmed;
            } else {
                delays.firstFrameMs.push_back(delayMs);
                if (reactionMs >= 0.0) delays.reactionMs.push_back(reactionMs);
            }
            WaitUntil([&] { return AllRecording(bench, true); });
            std::this_thread::sleep_for(kTrialLength);
            if (isOsc && trial == trials - 1) {
                // The last stop does not wait again.
                std::atomic<bool> isLoopOff{false};
                wxTheApp->CallAfter([&] {
                    bench.frame->m_triggerLoop = false;
                    isLoopOff = true;
                });
                WaitUntil([&] { return isLoopOff.load(); });
            }
            if (isOsc)
                SendTrigger(bench, -255.0f);
            else
                PostCommand(bench.frame, ID_CAPTURE_STOP);
            WaitUntil([&] { return AllRecording(bench, false); });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the stop's rest
        wxTheApp->CallAfter([&loop] { loop.Exit(0); });
    });
    if (isOsc) {
        bench.frame->m_triggerLoop = true;
        PostCommand(bench.frame, ID_CAPTURE_START);  // the first wait
    }
    loop.Run();
    driver.join();
    return delays;
}

void RunCase(Bench& bench, bool isOsc, bool isBusy, int trials)
{
    SetOscTriggerEnabled(isOsc);
    std::unique_ptr<CBusyThreads> busy;
    if (isBusy) busy = std::make_unique<CBusyThreads>(std::max(2u, std::thread::hardware_concurrency()));
    int unarmed = 0;
    const Delays delays = RunTrials(bench, isOsc, trials, unarmed);
    busy.reset();
    const std::vector<double>& first = delays.firstFrameMs;
    std::printf("trigger_arm way=%s load=%s devices=%d trials=%d p50_ms=%.2f p99_ms=%.2f "
                "max_ms=%.2f arming_begun_p50_ms=%.2f arming_begun_p99_ms=%.2f unarmed=%d\n",
                isOsc ? "osc" : "f9", isBusy ? "busy" : "idle", kDevices, trials,
                Percentile(first, 0.50), Percentile(first, 0.99),
                first.empty() ? 0.0 : *std::max_element(first.begin(), first.end()),
                Percentile(delays.reactionMs, 0.50), Percentile(delays.reactionMs, 0.99), unarmed);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    // A fresh home: no stored configuration or placement changes the frame.
    char home[] = "/tmp/bench_trigger_arm_XXXXXX";
    if (::mkdtemp(home) == nullptr) {
        std::perror("bench_trigger_arm: mkdtemp");
        return 1;
    }
    ::setenv("HOME", home, 1);
    ::setenv("XDG_CONFIG_HOME", (std::string(home) + "/.config").c_str(), 1);
    wxApp::SetInstance(new BenchApp);
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
        std::fprintf(stderr, "bench_trigger_arm: no display\n");
        return 1;
    }
    wxLog::SetActiveTarget(new wxLogStderr);
    const int trials = argc > 1 ? std::max(5, std::atoi(argv[1])) : 40;
    TrackerFrame::SetCaptureCStreams(false);
    ShellPrompts().confirm = [](wxWindow*, const wxString&) { return true; };
    TrackerFrame::SetProcessorCountOverride(64);  // the device limit must not refuse 8

    Bench bench;
    if (!bench.sender.BindTo(0)) {
        std::fprintf(stderr, "bench_trigger_arm: no loopback port\n");
        return 1;
    }
    OscClientSettings client = GetOscClientSettings();
    client.maxTimeoutMs = 10;  // the sender answers no connect message
    SetOscClientSettings(client);
    OscTriggerSettings trigger = GetOscTriggerSettings();
    trigger.inPort = 0;
    trigger.outPort = bench.sender.LocalAddress().Port();
    SetOscTriggerSettings(trigger);
    SetOscTriggerEnabled(true);
    if (!StartOscTrigger()) {
        std::fprintf(stderr, "bench_trigger_arm: the trigger input does not listen\n");
        return 1;
    }
    std::string error;
    if (!NetAddress::Resolve("127.0.0.1", GetOscTriggerListeningPort(), bench.to, error)) {
        std::fprintf(stderr, "bench_trigger_arm: %s\n", error.c_str());
        return 1;
    }

    bench.frame = new TrackerFrame(nullptr);
    bench.frame->Show(true);
    wxTheApp->Yield(true);
    for (int i = 0; i < kDevices; ++i) {
        auto* device = new CArmWatchDevice(wxString::Format("dev%d", i + 1));
        if (!bench.frame->AddDeviceView(device, true, false)) {
            std::fprintf(stderr, "bench_trigger_arm: device %d did not open\n", i);
            return 1;
        }
        bench.devices.push_back(device);
    }
    bench.frame->m_capturePath = wxString(home);
    bench.frame->m_exportPath = wxString(home);
    bench.frame->m_exportAnalog = false;
    if (!bench.frame->OpenCaptureSet("arm")) {
        std::fprintf(stderr, "bench_trigger_arm: no capture set\n");
        return 1;
    }
    int warmUnarmed = 0;
    RunTrials(bench, false, 3, warmUnarmed);  // fonts, writers and views settle
    for (const bool isBusy : {false, true}) {
        RunCase(bench, false, isBusy, trials);
        RunCase(bench, true, isBusy, trials);
    }
    bench.frame->CloseCaptureFiles();
    bench.frame->CheckToQuitAll();
    bench.frame->Destroy();
    wxTheApp->ProcessPendingEvents();
    wxTheApp->ProcessIdle();
    StopOscTrigger();
    wxTheApp->OnExit();
    wxEntryCleanup();
    wxFileName::Rmdir(home, wxPATH_RMDIR_RECURSIVE);
    return 0;
}
