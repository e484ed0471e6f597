#include "analog/analogViewData.h"
#include "analog/testDevice.h"
#include "analog/viewSink.h"
#include "dsp/dsp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

// The display-free half of a 2D view as the device sees it: every frame goes
// to the view's data exactly as the window forwards it.
class CDataSink : public CAnalogViewSink {
public:
    void AddData(const double* values, int count, uint32_t sample, double timeSec) override
    {
        m_data.AddData(values, count, sample, timeSec);
    }
    void ResetView() override {}
    void Restart() override {}
    void FreezeData() override { m_data.SetFrozen(true); }
    void ThawData() override { m_data.SetFrozen(false); }
    void NotifyBatteryChanged(bool) override {}
    bool IsDirty() const override { return m_data.IsDirty(); }
    void RequestRefresh() override {}
    void SaveConfig(wxConfigBase*) override {}
    void DetachDevice() override {}

    CAnalogViewData m_data;
};

class CFastTestDevice : public CTestDevice {
public:
    CFastTestDevice() : CTestDevice(false, false)
    {
        UpdateVisibleList();
        m_rate = 10000.0;
    }
    void Step()
    {
        Generate();
        DispatchFrame();
        CountSample();
    }
};

}  // namespace

// The test device produces 10 kHz on its own thread while the GUI side
// rebuilds the view's data 1000 times, copies it and computes spectra, and
// now and then unregisters and registers the view.
TEST(AnalogViewFeedThreads, TestDeviceAt10kHzAgainstRebuilds)
{
    CFastTestDevice device;
    CDataSink sink;
    device.AddView(&sink);
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> frames{0};
    std::promise<void> started;
    std::thread acquisition([&] {
        started.set_value();
        auto next = std::chrono::steady_clock::now();
        while (!stop.load()) {
            next += std::chrono::microseconds(100);
            std::this_thread::sleep_until(next);
            device.Step();
            frames.fetch_add(1);
        }
    });
    ASSERT_EQ(started.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    CViewSnapshot snapshot;
    for (int i = 0; i < 1000; ++i) {
        CViewDataConfig config;
        config.channels = static_cast<int>(device.GetVisibleList().size());
        config.spectrumCount = config.channels;
        config.dim = device.GetChannelDim();
        config.rateHz = device.GetRate();
        config.drawTimeSec = 0.5;
        config.feedSpectra = (i % 2) == 0;
        config.dspSize = 128;
        config.showCPStat = true;
        config.cpWindow = 200;
        config.cpXIndex = device.GetCPXIndex();
        config.cpYIndex = device.GetCPYIndex();
        sink.m_data.Rebuild(config);
        sink.m_data.TakeSnapshot(snapshot, 0, config.channels, false);
        if (sink.m_data.SpectrumCount() > 0)
            sink.m_data.Spectrum(0)->Update();
        if (i % 100 == 50) {
            EXPECT_TRUE(device.RemoveView(&sink));
            device.AddView(&sink);
        }
    }
    stop.store(true);
    acquisition.join();
    EXPECT_TRUE(device.RemoveView(&sink));
    EXPECT_GT(frames.load(), 0u);
    EXPECT_GT(sink.m_data.StoredRows(), 0u);
}
