// Memory and paint cost of the devices' marker lists during a long preview:
// eight test devices (8 channels at 25 Hz, one marker every 2 s) run on their
// own acquisition threads with one view each (5 s of display, the default) and
// nothing recording. Every sample prints the heap in use, the markers the
// devices hold and the time to copy every list once, as the views' paints do.
// The reference is the first sample of the same run: a list that stays as
// long as the views' window keeps heap_growth_bytes and copy_ratio flat.
//   bench_marker_growth [--minutes=60] [--sample-seconds=60] [--devices=8]
#include <malloc.h>
#include <wx/init.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "analog/testDevice.h"
#include "benchCommon.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRepetitions = 5;

// A 2D view with the default display time; it keeps nothing.
class CWindowView : public CBenchViewSink {
public:
    void AddData(const double*, int, uint32_t, double) override {}
    double GetMarkerWindowSec() const override { return 5.0; }
};

struct Options {
    double minutes = 60.0;
    double sampleSeconds = 60.0;
    int devices = 8;
};

Options ReadOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](const char* key) -> const char* {
            const size_t length = std::strlen(key);
            return arg.compare(0, length, key) == 0 ? arg.c_str() + length : nullptr;
        };
        if (const char* minutes = value("--minutes="))
            options.minutes = std::atof(minutes);
        else if (const char* seconds = value("--sample-seconds="))
            options.sampleSeconds = std::atof(seconds);
        else if (const char* count = value("--devices="))
            options.devices = std::atoi(count);
        else {
            std::fprintf(stderr, "unknown option %s\n", arg.c_str());
            std::exit(2);
        }
    }
    options.devices = std::max(1, options.devices);
    options.sampleSeconds = std::max(1.0, options.sampleSeconds);
    return options;
}

size_t HeapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

struct Sample {
    size_t heapBytes = 0;
    size_t markers = 0;
    double copyUs = 0.0;
};

// Copies every device's lists once (what one paint of each view does), median
// of the repetitions.
Sample Measure(const std::vector<std::unique_ptr<CTestDevice>>& devices)
{
    Sample sample;
    sample.heapBytes = HeapInUse();
    std::vector<double> times;
    for (int rep = 0; rep <= kRepetitions; ++rep) {  // the first is the warm-up
        size_t markers = 0;
        const auto start = Clock::now();
        for (const auto& device : devices) {
            std::vector<uint32_t> codes;
            std::vector<uint32_t> frames;
            std::vector<wxString> labels;
            device->GetMarkers(codes, frames, labels);
            markers += frames.size();
        }
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        if (rep > 0) times.push_back(us);
        sample.markers = markers;
    }
    std::sort(times.begin(), times.end());
    sample.copyUs = times[times.size() / 2];
    return sample;
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options = ReadOptions(argc, argv);
    wxInitializer wx;
    if (!wx.IsOk()) return 1;
    std::vector<std::unique_ptr<CTestDevice>> devices;
    std::vector<std::unique_ptr<CWindowView>> views;
    for (int i = 0; i < options.devices; ++i) {
        devices.push_back(std::make_unique<CTestDevice>(false, false));
        views.push_back(std::make_unique<CWindowView>());
        devices.back()->AddView(views.back().get());
        if (!devices.back()->Create(true) || !devices.back()->RunThread()) {
            std::fprintf(stderr, "device %d did not start\n", i);
            return 1;
        }
    }
    const auto start = Clock::now();
    const Clock::time_point end =
        start + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(options.minutes * 60.0));
    std::this_thread::sleep_for(std::chrono::seconds(5));  // warm-up: first markers made
    const Sample reference = Measure(devices);
    for (auto next = Clock::now();;) {
        const Sample sample = Measure(devices);
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf(
            "bench=marker_growth devices=%d minute=%.1f heap_bytes=%zu markers_held=%zu "
            "copy_us=%.1f ref=first_sample ref_heap_bytes=%zu heap_growth_bytes=%lld "
            "ref_copy_us=%.1f copy_ratio=%.2f\n",
            options.devices, elapsed / 60.0, sample.heapBytes, sample.markers, sample.copyUs,
            reference.heapBytes,
            static_cast<long long>(sample.heapBytes) - static_cast<long long>(reference.heapBytes),
            reference.copyUs, reference.copyUs > 0.0 ? sample.copyUs / reference.copyUs : 0.0);
        std::fflush(stdout);
        if (Clock::now() >= end) break;
        next += std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(options.sampleSeconds));
        std::this_thread::sleep_until(std::min(next, end));
    }
    for (size_t i = 0; i < devices.size(); ++i) {
        devices[i]->Close();
        devices[i]->RemoveAllViews();
    }
    return 0;
}
