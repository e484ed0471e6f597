// Cost of naming a device's channels, on the GUI thread: opening a device whose
// configuration holds a name for every channel (its settings read back), and renaming
// every channel one by one. References measured in the same run: the same names read
// from the same configuration into a plain vector (what the names alone cost), assigned
// into a plain vector, and one publish of the whole visible list (what a name would
// cost if each republished every channel's name). Median of 5 after a warm-up.
//   bench_channel_names        prints one line per case and channel count
#include <wx/fileconf.h>
#include <wx/init.h>
#include <wx/sstream.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "analog/analogDevice.h"
#include "benchCommon.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRepetitions = 5;
const char* const kGroup = "/Analog/BenchNames";

// A device with the channels asked for and nothing of its own.
class CNamedDevice : public CAnalogDevice {
public:
    explicit CNamedDevice(int channels) : CAnalogDevice(false)
    {
        m_channelCount = channels;
        m_configPath = kGroup;
        m_ready = true;
        InitChannels();
    }
    ~CNamedDevice() override { Close(); }
    void PublishAll()
    {
        CMutexLock lock(&m_dataMutex);
        PublishVisibleList();
    }
};

wxString SavedName(int channel, int round) { return wxString::Format("Force plate %d.%d", channel, round); }

// A configuration as the program saves it: every channel on, with its name and colour.
std::unique_ptr<wxFileConfig> SavedConfig(int channels)
{
    wxString text = "[Analog/BenchNames]\n";
    for (int i = 0; i < channels; ++i) {
        text += wxString::Format("channel_on_%d=1\nchannel_name_%d=%s\nchannel_color_%d=#102030\n", i,
                                 i, SavedName(i, 0), i);
    }
    wxStringInputStream stream(text);
    return std::make_unique<wxFileConfig>(stream);
}

// Median time of what, in milliseconds; setup runs before each timed call, untimed.
double MedianMs(const std::function<void()>& setup, const std::function<void()>& what)
{
    std::vector<double> times;
    for (int i = 0; i <= kRepetitions; ++i) {
        setup();
        const auto start = Clock::now();
        what();
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (i > 0) times.push_back(ms);  // the first warms up
    }
    return Percentile(times, 0.5);
}

void Measure(int channels)
{
    const std::unique_ptr<wxFileConfig> config = SavedConfig(channels);
    std::unique_ptr<CNamedDevice> device;
    const auto fresh = [&] { device = std::make_unique<CNamedDevice>(channels); };
    const double publishMs = MedianMs(fresh, [&] { device->PublishAll(); });

    const double openMs = MedianMs([&] { device.reset(); }, [&] {
        device = std::make_unique<CNamedDevice>(channels);
        device->LoadConfig(config.get());
    });
    std::vector<wxString> names;
    const double readMs = MedianMs([&] { names.assign(static_cast<size_t>(channels), wxString()); }, [&] {
        for (int i = 0; i < channels; ++i)
            config->Read(wxString::Format("%s/channel_name_%d", kGroup, i), &names[static_cast<size_t>(i)]);
    });
    if (device->GetVisibleChannelName(channels - 1) != SavedName(channels - 1, 0))
        std::fprintf(stderr, "the saved names were not taken\n");
    std::printf("bench=channel_names case=open_with_names channels=%d ms=%.3f ref=read_names_into_vector "
                "ref_ms=%.3f ratio=%.2f publish_once_ms=%.3f\n",
                channels, openMs, readMs, openMs / readMs, publishMs);

    std::vector<wxString> renamed(static_cast<size_t>(channels));
    int round = 0;
    const auto next = [&] {
        ++round;
        for (int i = 0; i < channels; ++i) renamed[static_cast<size_t>(i)] = SavedName(i, round);
    };
    const double renameMs = MedianMs(next, [&] {
        for (int i = 0; i < channels; ++i) device->SetChannelName(i, renamed[static_cast<size_t>(i)]);
    });
    std::vector<wxString> plain(static_cast<size_t>(channels));
    const double assignMs = MedianMs(next, [&] {
        for (int i = 0; i < channels; ++i) plain[static_cast<size_t>(i)] = renamed[static_cast<size_t>(i)];
    });
    if (device->GetVisibleChannelName(channels - 1) != SavedName(channels - 1, round - kRepetitions - 1))
        std::fprintf(stderr, "the new names were not taken\n");
    std::printf("bench=channel_names case=rename_all channels=%d ms=%.3f ref=assign_into_vector "
                "ref_ms=%.3f ratio=%.2f publish_once_ms=%.3f per_name_us=%.3f\n",
                channels, renameMs, assignMs, renameMs / assignMs, publishMs,
                1000.0 * renameMs / channels);
}

}  // namespace

int main()
{
    wxInitializer wx;
    if (!wx.IsOk()) {
        std::fprintf(stderr, "wxWidgets did not start\n");
        return 1;
    }
    for (int channels : {1024, 4096}) Measure(channels);
    return 0;
}
