// Cost of one frame dispatch in the acquisition thread: an analog device of 8
// or 64 channels feeding 0, 1 or 4 registered views that copy the row, with
// recording off; with watched=1 each channel is a source whose receipt is watched (all
// heard every frame). Reference: copying the same row once with memcpy.
#include "analog/analogDevice.h"
#include "benchCommon.h"

#include <wx/init.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int kFrames = 200000;
constexpr int kRepetitions = 5;

// Copies each frame into a preallocated row, as a view's feed does.
class CCopyView : public CBenchViewSink {
public:
    explicit CCopyView(int capacity) : m_row(static_cast<size_t>(capacity)) {}
    void AddData(const double* values, int count, uint32_t sample, double) override
    {
        std::memcpy(m_row.data(), values, sizeof(double) * static_cast<size_t>(count));
        m_sample = sample;
    }

private:
    std::vector<double> m_row;
    uint32_t m_sample = 0;
};

class CBenchDevice : public CAnalogDevice {
public:
    CBenchDevice(int channels, bool watched) : CAnalogDevice(false), m_watched(watched)
    {
        m_channelCount = channels;
        m_configPath = "/Analog/Bench";
        m_rate = 1000.0;
        InitChannels();
        ShowAllChannels();
        if (watched) {
            m_sourceWatch.Configure(SourceKind::kChannel, 1, CSourceWatch::kDefaultSilentAfterSec);
            m_sourceWatch.Resize(channels);
        }
    }
    ~CBenchDevice() override { Close(); }
    void Step(int frame)
    {
        m_values[frame % m_channelCount] = frame;
        if (m_watched)
            for (int i = 0; i < m_channelCount; ++i) m_sourceWatch.Heard(i);
        DispatchFrame();
        CountSample();
    }

private:
    const bool m_watched;
};

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double DispatchNs(int channels, int viewCount, bool watched)
{
    CBenchDevice device(channels, watched);
    std::vector<std::unique_ptr<CCopyView>> views;
    for (int i = 0; i < viewCount; ++i) {
        views.push_back(std::make_unique<CCopyView>(channels));
        device.AddView(views.back().get());
    }
    for (int i = 0; i < kFrames / 10; ++i) device.Step(i);  // warm-up
    std::vector<double> samples;
    for (int r = 0; r < kRepetitions; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kFrames; ++i) device.Step(i);
        const auto end = std::chrono::steady_clock::now();
        samples.push_back(std::chrono::duration<double, std::nano>(end - start).count() / kFrames);
    }
    device.RemoveAllViews();
    return Median(samples);
}

double MemcpyNs(int channels)
{
    std::vector<double> source(static_cast<size_t>(channels), 1.0);
    std::vector<double> target(static_cast<size_t>(channels));
    std::vector<double> samples;
    for (int r = 0; r < kRepetitions; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kFrames; ++i) {
            source[static_cast<size_t>(i % channels)] = i;
            std::memcpy(target.data(), source.data(), sizeof(double) * source.size());
            asm volatile("" : : "r"(target.data()) : "memory");
        }
        const auto end = std::chrono::steady_clock::now();
        samples.push_back(std::chrono::duration<double, std::nano>(end - start).count() / kFrames);
    }
    return Median(samples);
}

}  // namespace

int main(int argc, char** argv)
{
    wxInitializer initializer(argc, argv);
    if (!initializer.IsOk()) {
        std::fprintf(stderr, "wxWidgets could not be initialised\n");
        return 1;
    }
    for (int channels : {8, 64}) {
        const double reference = MemcpyNs(channels);
        for (int views : {0, 1, 4}) {
            for (bool watched : {false, true}) {
                const double ns = DispatchNs(channels, views, watched);
                std::printf("dispatch channels=%d views=%d watched=%d ns_per_frame=%.1f "
                            "ref=memcpy_frame ref_ns_per_frame=%.1f ratio=%.2f\n",
                            channels, views, watched ? 1 : 0, ns, reference,
                            reference > 0.0 ? ns / reference : 0.0);
            }
        }
    }
    return 0;
}
