// Processor time of an idle 3D tracker view: 8 sensors at 240 Hz in an
// 800 x 600 view, the display timer every 40 ms, for a few seconds per case.
// Runs under a display (xvfb-run; LIBGL_ALWAYS_SOFTWARE=1 for software GL).
// One line per case:
//   view3d case=<no_data|still|moving> cpu_pct=<process cpu / wall> frames=<drawn>
//          ref=redraw_every_tick ref_cpu_pct=<> ref_frames=<>
// The reference draws on every display tick whatever changed, as a view that
// does not look at its data would, measured in the same run.
#include "GLcanvas/analog3DView.h"
#include "analog/analogDevice.h"

#include <wx/app.h>
#include <wx/frame.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

namespace {

class BenchApp : public wxApp {
public:
    bool OnInit() override { return true; }
};

// A tracker of 8 sensors whose frames the benchmark's own feeding thread
// dispatches at the device rate, as its acquisition thread would.
class CBenchTracker : public CAnalogDevice {
public:
    static constexpr int kSensors = 8;

    CBenchTracker() : CAnalogDevice(false)
    {
        m_channelCount = kSensors;
        m_dim = 7;
        m_rate = 240.0;
        m_deviceName = m_deviceKey = "bench_tracker";
        InitChannels();
        UpdateVisibleList();
        m_ready = true;
    }
    ~CBenchTracker() override
    {
        StopFeeding();
        Close();
    }
    // moving: every frame a new pose; otherwise the same pose again and again.
    void StartFeeding(bool moving)
    {
        m_stop = false;
        m_feeder = std::thread([this, moving] { Feed(moving); });
    }
    void StopFeeding()
    {
        m_stop = true;
        if (m_feeder.joinable())
            m_feeder.join();
    }

private:
    void Feed(bool moving) noexcept
    {
        auto next = std::chrono::steady_clock::now();
        const auto period = std::chrono::microseconds(1000000 / 240);
        for (long k = 0; !m_stop.load(); ++k) {
            const double a = moving ? 0.05 * k : 0.0;
            for (int i = 0; i < kSensors; ++i) {
                double* p = &m_values[static_cast<size_t>(i) * 7];
                p[0] = 0.1 * i - 0.35 + 0.05 * std::cos(a);
                p[1] = 0.05 * std::sin(a);
                p[2] = 0.1 + 0.02 * i;
                p[3] = 1.0;
                p[4] = p[5] = p[6] = 0.0;
            }
            DispatchFrame();
            CountSample();
            next += period;
            std::this_thread::sleep_until(next);
        }
    }

    std::atomic<bool> m_stop{false};
    std::thread m_feeder;
};

double ProcessCpuSec()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

struct Result {
    double cpuPct = 0.0;
    unsigned long long frames = 0;
};

// Runs the display timer's passes over the view for seconds; everyTick draws
// on every pass (the reference), otherwise only when the view asks.
Result Run(CAnalog3DView& view, double seconds, bool everyTick)
{
    const auto period = std::chrono::milliseconds(40);
    const uint64_t framesBefore = view.GetRenderedFrames();
    const double cpuBefore = ProcessCpuSec();
    const auto start = std::chrono::steady_clock::now();
    auto next = start;
    while (std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds)) {
        if (everyTick || view.NeedsRefresh())
            view.RequestRefresh();
        view.Update();
        wxTheApp->Yield(true);
        next += period;
        std::this_thread::sleep_until(next);
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Result result;
    result.cpuPct = 100.0 * (ProcessCpuSec() - cpuBefore) / wall;
    result.frames = view.GetRenderedFrames() - framesBefore;
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    wxApp::SetInstance(new BenchApp);
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
        std::fprintf(stderr, "bench_view3d: no display (run it under xvfb-run)\n");
        return 1;
    }
    const double seconds = argc > 1 ? std::atof(argv[1]) : 4.0;
    {
        auto* frame = new wxFrame(nullptr, wxID_ANY, "bench", wxDefaultPosition, wxSize(820, 640));
        auto* view = new CAnalog3DView(frame, wxPoint(0, 0), wxSize(800, 600));
        frame->Show();
        const auto shownBy = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!view->IsShownOnScreen() && std::chrono::steady_clock::now() < shownBy)
            wxTheApp->Yield(true);
        CBenchTracker device;
        view->SetDevice(&device);
        view->SetDrawTime(0.5);
        Run(*view, 0.5, true);  // warm-up: contexts, fonts, first frames
        const struct {
            const char* name;
            bool feeding;
            bool moving;
        } cases[] = {{"no_data", false, false}, {"still", true, false}, {"moving", true, true}};
        for (const auto& c : cases) {
            if (c.feeding)
                device.StartFeeding(c.moving);
            Run(*view, 1.0, false);  // a still pose's trail has settled after 0.5 s
            const Result own = Run(*view, seconds, false);
            const Result reference = Run(*view, seconds, true);
            device.StopFeeding();
            std::printf("view3d case=%s cpu_pct=%.1f frames=%llu ref=redraw_every_tick "
                        "ref_cpu_pct=%.1f ref_frames=%llu\n",
                        c.name, own.cpuPct, own.frames, reference.cpuPct, reference.frames);
            std::fflush(stdout);
        }
        view->SetDevice(nullptr);
        device.RemoveAllViews();
        frame->Destroy();
        wxTheApp->Yield(true);
    }
    wxEntryCleanup();
    return 0;
}
