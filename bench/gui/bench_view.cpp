// Paint time of the 2D view in each display mode at 1280 x 720, and the cost of
// its data feed. Runs under a display (xvfb-run). One line per case:
//   view mode=<mode> fill=<0|1> paint_ms=<median> cpu_ms=<median> ref=blit ref_blit_ms=<median> ratio=<>
//   view adddata_ns=<median> ref=memcpy_row ref_ns=<median>
//   view still mode=<mode> ticks=<n> paints=<n> tick_ms=<median> ref=paint_every_tick ref_ms=<median>
#include "analog/analogDevice.h"
#include "analog/analogView.h"

#include <wx/app.h>
#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/panel.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <vector>

namespace {

class BenchApp : public wxApp {
public:
    bool OnInit() override { return true; }
};

// An analog device with any number of channels, fed by the benchmark itself.
class CBenchDevice : public CAnalogDevice {
public:
    CBenchDevice(int channels, double rateHz) : CAnalogDevice(false)
    {
        m_channelCount = channels;
        m_dim = 1;
        m_rate = rateHz;
        m_minValue = -5.0;
        m_maxValue = 5.0;
        m_deviceName = m_deviceKey = "bench_device";
        InitChannels();
        UpdateVisibleList();
        m_ready = true;
    }
    bool GetShowCPStat() const override { return m_showStat; }
    int GetCPXIndex() const override { return 0; }
    int GetCPYIndex() const override { return 1; }
    bool m_showStat = false;
};

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
int g_repetitions = 7;  // more for profiling: second argument

double ThreadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Median wall time on the steady clock; cpuMs gets the median processor time
// of this thread, which a busy machine disturbs less.
double MedianMs(const std::function<void()>& work, double* cpuMs = nullptr)
{
    work();  // warm-up
    std::vector<double> times;
    std::vector<double> cpu;
    for (int i = 0; i < g_repetitions; ++i) {
        const double cpuStart = ThreadCpuMs();
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(std::chrono::duration<double, std::milli>(
                            std::chrono::steady_clock::now() - start)
                            .count());
        cpu.push_back(ThreadCpuMs() - cpuStart);
    }
    std::sort(times.begin(), times.end());
    std::sort(cpu.begin(), cpu.end());
    if (cpuMs)
        *cpuMs = cpu[cpu.size() / 2];
    return times[times.size() / 2];
}

void Feed(CAnalogView& view, int channels, int frames, double rateHz, std::uint32_t& sample)
{
    std::vector<double> row(static_cast<size_t>(channels));
    for (int f = 0; f < frames; ++f, ++sample) {
        const double t = sample / rateHz;
        for (int c = 0; c < channels; ++c)
            row[static_cast<size_t>(c)] = 4.0 * std::sin(6.283185307179586 * (1.0 + 0.3 * c) * t +
                                                         c) * std::cos(0.05 * t * (c + 1));
        view.AddData(row.data(), channels, sample, t);
    }
}

struct Case {
    const char* mode;
    int drawType;
    int channels;
    double rateHz;
    double drawTime;
    bool fill;
    int dspSize;
    bool showStat;
};

void RunCase(wxWindow* parent, const Case& c, double referenceMs)
{
    CBenchDevice device(c.channels, c.rateHz);
    device.m_showStat = c.showStat;
    auto* view = new CAnalogView(parent, wxPoint(0, 0), wxSize(kWidth, kHeight));
    view->draw_type = c.drawType;
    view->draw_time = c.drawTime;
    view->draw_poly = c.fill;
    view->dsp_size = static_cast<std::uint64_t>(c.dspSize);
    view->SetDevice(&device);
    std::uint32_t sample = 0;
    Feed(*view, c.channels, static_cast<int>(c.drawTime * c.rateHz) + 10, c.rateHz, sample);
    wxBitmap bitmap(kWidth, kHeight, 24);
    double cpuMs = 0.0;
    const double paintMs = MedianMs(
        [&] {
            Feed(*view, c.channels, 1, c.rateHz, sample);  // a new frame, as between two paints
            wxMemoryDC dc(bitmap);
            view->Draw(dc);
        },
        &cpuMs);
    std::printf("view mode=%s fill=%d paint_ms=%.3f cpu_ms=%.3f ref=blit ref_blit_ms=%.3f ratio=%.1f\n",
                c.mode, c.fill ? 1 : 0, paintMs, cpuMs, referenceMs,
                referenceMs > 0.0 ? paintMs / referenceMs : 0.0);
    std::fflush(stdout);
    view->Destroy();
}

void RunAddData(wxWindow* parent)
{
    const int channels = 16;
    CBenchDevice device(channels, 1000.0);
    auto* view = new CAnalogView(parent, wxPoint(0, 0), wxSize(kWidth, kHeight));
    view->SetDevice(&device);
    std::vector<double> row(channels, 1.0);
    std::vector<double> copy(channels, 0.0);
    constexpr int kRows = 200000;
    std::uint32_t sample = 0;
    const double feedMs = MedianMs([&] {
        for (int i = 0; i < kRows; ++i, ++sample) {
            row[0] = i;
            view->AddData(row.data(), channels, sample, sample / 1000.0);
        }
    });
    const double copyMs = MedianMs([&] {
        for (int i = 0; i < kRows; ++i) {
            row[0] = i;
            std::memcpy(copy.data(), row.data(), sizeof(double) * channels);
        }
    });
    std::printf("view adddata_ns=%.1f channels=%d ref=memcpy_row ref_ns=%.1f\n",
                feedMs * 1e6 / kRows, channels, copyMs * 1e6 / kRows);
    std::fflush(stdout);
    view->Destroy();
}

// A view whose device holds still (every row the same), checked at the display
// timer's rate as the frame does: what one tick costs now, against painting at
// every tick as a view that asks whenever a row came would.
void RunStill(wxWindow* parent, const char* mode, int drawType, int channels)
{
    CBenchDevice device(channels, 100.0);
    auto* view = new CAnalogView(parent, wxPoint(0, 0), wxSize(kWidth, kHeight));
    view->draw_type = drawType;
    view->SetDevice(&device);
    wxBitmap bitmap(kWidth, kHeight, 24);
    std::vector<double> row(static_cast<size_t>(channels), 1.5);
    std::uint32_t sample = 0;
    const auto feedTick = [&] {  // four rows between two display ticks
        for (int i = 0; i < 4; ++i, ++sample)
            view->AddData(row.data(), channels, sample, sample / 100.0);
    };
    for (int i = 0; i < 3; ++i) {
        feedTick();
        wxMemoryDC dc(bitmap);
        view->Draw(dc);
    }
    constexpr int kTicks = 50;
    int paints = 0;
    const double tickMs = MedianMs([&] {
        for (int t = 0; t < kTicks; ++t) {
            feedTick();
            if (view->IsDirty()) {
                ++paints;
                wxMemoryDC dc(bitmap);
                view->Draw(dc);
            }
        }
    });
    const double everyMs = MedianMs([&] {
        for (int t = 0; t < kTicks; ++t) {
            feedTick();
            wxMemoryDC dc(bitmap);
            view->Draw(dc);
        }
    });
    std::printf("view still mode=%s ticks=%d paints=%d tick_ms=%.4f ref=paint_every_tick ref_ms=%.4f\n",
                mode, kTicks, paints / (g_repetitions + 1), tickMs / kTicks, everyMs / kTicks);
    std::fflush(stdout);
    view->Destroy();
}

}  // namespace

int main(int argc, char** argv)
{
    wxApp::SetInstance(new BenchApp);
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
        std::fprintf(stderr, "bench_view: no display (run it under xvfb-run)\n");
        return 1;
    }
    {
        auto* frame = new wxFrame(nullptr, wxID_ANY, "bench", wxDefaultPosition, wxSize(1400, 900));
        auto* panel = new wxPanel(frame);
        // The reference: a bare copy of a whole 1280 x 720 picture into the
        // same kind of target, measured in this run.
        wxBitmap picture(kWidth, kHeight, 24);
        {
            wxMemoryDC dc(picture);
            dc.SetBackground(*wxBLUE_BRUSH);
            dc.Clear();
            dc.SetPen(*wxWHITE_PEN);
            dc.DrawLine(0, 0, kWidth, kHeight);
        }
        wxBitmap bitmap(kWidth, kHeight, 24);
        const double blitMs = MedianMs([&] {
            wxMemoryDC dc(bitmap);
            dc.DrawBitmap(picture, 0, 0);
        });
        const Case cases[] = {
            {"normal", 0, 16, 1000.0, 5.0, false, 250, false},
            {"normal", 0, 16, 1000.0, 5.0, true, 250, false},
            {"strip", 1, 16, 1000.0, 5.0, false, 250, false},
            {"strip", 1, 16, 1000.0, 5.0, true, 250, false},
            {"bar", 2, 64, 1000.0, 5.0, false, 250, false},
            {"pie", 4, 48, 1000.0, 5.0, false, 250, false},
            {"parametric", 3, 2, 1000.0, 120.0, false, 250, true},
            {"spectrum", 5, 16, 1000.0, 5.0, false, 256, false},
        };
        // An optional argument keeps only the cases of that mode ("adddata": the feed).
        const wxString only = argc > 1 ? wxString(argv[1]) : wxString();
        if (argc > 2)
            g_repetitions = std::max(5, std::atoi(wxString(argv[2]).mb_str()));
        for (const Case& c : cases)
            if (only.empty() || only == c.mode)
                RunCase(panel, c, blitMs);
        if (only.empty() || only == "adddata")
            RunAddData(panel);
        if (only.empty() || only == "still") {
            RunStill(panel, "bar", 2, 64);
            RunStill(panel, "pie", 4, 48);
            RunStill(panel, "parametric", 3, 2);
            RunStill(panel, "none", 6, 16);
        }
        delete frame;
    }
    wxTheApp->OnExit();
    wxEntryCleanup();
    return 0;
}
