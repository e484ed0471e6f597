// How long the GUI thread makes an event wait while devices run: the real main frame
// with 1, 4 and 8 test devices at 1 kHz, each with its 2D view, display timer running.
// A probe thread posts an event every few milliseconds with its posting time; the
// handler notes how long it waited. The processor time is taken over a second interval
// of the same length without the probe, whose own events would add to it. Both pacing
// modes run, the default one first.
// Runs under a display (xvfb-run). One line per case:
//   gui devices=<n> mode=<busy|delay> event_wait_p50_ms=<> event_wait_p99_ms=<>
//       cpu_pct_per_device=<>
// and a reference line of the same probe with no frame and no device:
//   gui devices=0 mode=reference event_wait_p50_ms=<> event_wait_p99_ms=<> cpu_pct_per_device=0
// Usage: bench_gui_latency [seconds per case, default 4]
#include "DravonetMain.h"
#include "analog/testDevice.h"
#include "framePrompts.h"
#include "process/trackerWorker.h"

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/filename.h>
#include <wx/log.h>
#include <wx/timer.h>

#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

class BenchApp : public wxApp {
public:
    bool OnInit() override { return true; }
};

// The application's test device at a chosen rate.
class CRateTestDevice : public CTestDevice {
public:
    explicit CRateTestDevice(double rateHz) : CTestDevice(false, false)
    {
        m_rate = rateHz;
        UpdateVisibleList();
    }
};

constexpr double kRateHz = 1000.0;
constexpr auto kProbeInterval = std::chrono::milliseconds(5);

double ProcessCpuSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;
    const size_t index =
        std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index),
                     values.end());
    return values[index];
}

struct Result {
    double p50Ms = 0.0;
    double p99Ms = 0.0;
    double cpuPct = 0.0;
};

// Runs the GUI thread's real event loop for the given time; with the probe, a thread
// posts events to it and their waits are returned, without it the process's share of a
// processor.
Result Measure(double seconds, bool probing)
{
    std::mutex waitsMutex;
    std::vector<double> waitsMs;
    waitsMs.reserve(static_cast<size_t>(seconds * 1000.0 / 5.0) + 100);
    std::atomic<bool> stop{false};
    std::thread probe([&] {
        while (probing && !stop.load()) {
            const auto posted = std::chrono::steady_clock::now();
            wxTheApp->CallAfter([posted, &waitsMutex, &waitsMs] {
                const double ms = std::chrono::duration<double, std::milli>(
                                      std::chrono::steady_clock::now() - posted)
                                      .count();
                std::lock_guard<std::mutex> lock(waitsMutex);
                waitsMs.push_back(ms);
            });
            std::this_thread::sleep_for(kProbeInterval);
        }
    });
    wxGUIEventLoop loop;
    wxTimer end;
    end.Bind(wxEVT_TIMER, [&loop](wxTimerEvent&) { loop.Exit(0); });
    const double cpuStart = ProcessCpuSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    end.StartOnce(static_cast<int>(seconds * 1000.0));
    loop.Run();
    const double cpu = ProcessCpuSeconds() - cpuStart;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    stop.store(true);
    probe.join();
    // Events still queued are handled (and counted) before the figures are taken.
    wxTheApp->ProcessPendingEvents();
    std::lock_guard<std::mutex> lock(waitsMutex);
    const double cpuPct = probing ? 0.0 : 100.0 * cpu / wall;
    return {Percentile(waitsMs, 0.50), Percentile(waitsMs, 0.99), cpuPct};
}

void Print(int devices, const char* mode, const Result& r)
{
    std::printf("gui devices=%d mode=%s event_wait_p50_ms=%.2f event_wait_p99_ms=%.2f "
                "cpu_pct_per_device=%.2f\n",
                devices, mode, r.p50Ms, r.p99Ms, devices > 0 ? r.cpuPct / devices : 0.0);
    std::fflush(stdout);
}

// One frame with its devices; printed unless it is the warm-up.
void RunCase(int devices, bool delayMode, double seconds, bool print = true)
{
    TrackerFrame* frame = new TrackerFrame(nullptr);
    frame->m_useClockDelay = delayMode;
    frame->Show(true);
    wxTheApp->Yield(true);
    for (int i = 0; i < devices; ++i) {
        if (!frame->AddDeviceView(new CRateTestDevice(kRateHz), true, false)) {
            std::fprintf(stderr, "bench_gui_latency: device %d did not open\n", i);
            std::exit(1);
        }
    }
    Measure(0.5, false);  // views size themselves and the devices settle
    if (print) {
        Result result = Measure(seconds, true);
        result.cpuPct = Measure(seconds, false).cpuPct;
        Print(devices, delayMode ? "delay" : "busy", result);
    }
    frame->CheckToQuitAll();
    frame->Destroy();
    wxTheApp->ProcessPendingEvents();
    wxTheApp->ProcessIdle();
}

}  // namespace

int main(int argc, char** argv)
{
    // A fresh home: no stored configuration or placement changes the frame.
    char home[] = "/tmp/bench_gui_latency_XXXXXX";
    if (::mkdtemp(home) == nullptr) {
        std::perror("bench_gui_latency: mkdtemp");
        return 1;
    }
    ::setenv("HOME", home, 1);
    ::setenv("XDG_CONFIG_HOME", (std::string(home) + "/.config").c_str(), 1);
    wxApp::SetInstance(new BenchApp);
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
        std::fprintf(stderr, "bench_gui_latency: no display\n");
        return 1;
    }
    wxLog::SetActiveTarget(new wxLogStderr);
    const double seconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 4.0;
    TrackerFrame::SetCaptureCStreams(false);
    ShellPrompts().confirm = [](wxWindow*, const wxString&) { return true; };  // closes ask nothing
    TrackerFrame::SetProcessorCountOverride(64);  // the device limit must not refuse 8
    std::printf("gui default_mode=%s\n", CTrackerWorker::kDefaultClockDelay ? "delay" : "busy");
    // Fonts, themes and the GL and image libraries load on first use: not in a case.
    RunCase(1, CTrackerWorker::kDefaultClockDelay, 1.0, false);
    Print(0, "reference", Measure(seconds, true));
    for (int devices : {1, 4, 8}) {
        RunCase(devices, CTrackerWorker::kDefaultClockDelay, seconds);
        RunCase(devices, !CTrackerWorker::kDefaultClockDelay, seconds);
    }
    wxTheApp->OnExit();
    wxEntryCleanup();
    wxFileName::Rmdir(home, wxPATH_RMDIR_RECURSIVE);
    return 0;
}
