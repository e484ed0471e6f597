// Threading tests of the analog device and the test device (also run under
// ThreadSanitizer): views, channels, names and markers handled by this thread
// while the device's acquisition thread samples and dispatches.
#include "analog/analogDevice.h"
#include "analog/testDevice.h"

#include "analog/fakeSinks.h"
#include "analog/plainDevice.h"
#include "process/networkServices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

// Runs the device on its own acquisition thread for the life of the object.
class CRunningDevice {
public:
    explicit CRunningDevice(CDevice& device) : m_device(device)
    {
        m_started = m_device.Create(false) && m_device.RunThread();
    }
    ~CRunningDevice() { m_device.Close(); }
    CRunningDevice(const CRunningDevice&) = delete;
    CRunningDevice& operator=(const CRunningDevice&) = delete;
    bool IsStarted() const { return m_started; }

private:
    CDevice& m_device;
    bool m_started = false;
};

constexpr auto kTimeout = std::chrono::seconds(20);  // bounds a broken build only

int FramesOf(CFakeView& view)
{
    std::lock_guard<std::mutex> lock(view.mutex);
    return view.frameCount;
}

TEST(AnalogDispatchThreads, ViewsComeAndGoWhileFramesFlowAt1kHz)
{
    CPlainDevice device(4);
    device.SetRate(1000.0);
    CFakeView views[4];
    for (CFakeView& view : views) view.keepFrames = false;
    auto running = std::make_unique<CRunningDevice>(device);
    ASSERT_TRUE(running->IsStarted());
    int removedCounts[4] = {0, 0, 0, 0};
    for (int round = 0; round < 40; ++round) {
        CFakeView& view = views[round % 4];
        const int before = FramesOf(view);
        ASSERT_EQ(before, removedCounts[round % 4]) << "a removed view was fed";
        device.AddView(&view);
        if (round % 3 == 0) device.AddView(&views[(round + 1) % 4]);
        ASSERT_TRUE(view.WaitFrames(before + 3, kTimeout)) << "round " << round;
        ASSERT_TRUE(device.RemoveView(&view));
        if (round % 3 == 0) {
            ASSERT_TRUE(device.RemoveView(&views[(round + 1) % 4]));
        }
        // Once removal returns the dispatch has let go of the view.
        for (int i = 0; i < 4; ++i) removedCounts[i] = FramesOf(views[i]);
    }
    running.reset();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(FramesOf(views[i]), removedCounts[i]);
    EXPECT_EQ(device.GetViewCount(), 0);
}

// OSC services that may be called from the acquisition thread.
class CThreadSafeNetwork : public CNoNetworkServices {
public:
    CThreadSafeNetwork() { SetNetworkServices(this); }
    ~CThreadSafeNetwork() override { SetNetworkServices(nullptr); }
    bool IsOscServerStarted() override { return true; }
    bool OscServerSetData(const std::string& name, const double*, int, double) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        lastName = name;
        ++messages;
        return true;
    }
    bool OscServerSendEvent(const std::string&, const std::string&, double) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++events;
        return true;
    }
    std::string LastName()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return lastName;
    }

private:
    std::mutex m_mutex;
    std::string lastName;
    int messages = 0;
    int events = 0;
};

class CFastTestDevice : public CTestDevice {
public:
    CFastTestDevice() : CTestDevice(false, false) { m_rate = 1000.0; }
};

TEST(AnalogDispatchThreads, RenameWhileRunning)
{
    CThreadSafeNetwork network;
    CFastTestDevice device;
    CFakeView view;
    view.keepFrames = false;
    device.AddView(&view);
    auto running = std::make_unique<CRunningDevice>(device);
    ASSERT_TRUE(running->IsStarted());
    for (int round = 0; round < 20; ++round) {
        const wxString name = wxString::Format("renamed_device_number_%d", round);
        bool changed = false;
        ASSERT_TRUE(device.SetParam(&name, 0, 1, PARAM_STRING, &changed));
        ASSERT_TRUE(changed);
        const int before = FramesOf(view);
        ASSERT_TRUE(view.WaitFrames(before + 3, kTimeout));
        EXPECT_EQ(network.LastName(), name.ToStdString());
        EXPECT_EQ(device.GetDeviceName(), name);
    }
    running.reset();
    device.RemoveAllViews();
}

TEST(AnalogMarkerThreads, AddedByOneThreadReadAndClearedByAnother)
{
    CPlainDevice device(2);
    CFakeView view;  // comes and goes: the markers it may show change meanwhile
    view.markerWindowSec = 2.0;
    std::atomic<bool> done{false};
    std::atomic<int> readRounds{0};
    std::thread acquisition([&] {
        // Adds while the other thread reads, however the threads are scheduled: it
        // starts after the reader's first round and waits for another one halfway.
        auto awaitRound = [&] {
            const int seen = readRounds.load();
            while (readRounds.load() == seen) std::this_thread::yield();
        };
        for (uint32_t i = 0; i < 20000; ++i) {
            if (i == 0 || i == 10000) awaitRound();
            device.SetSampleCounter(i);  // old markers are dropped as the frames go on
            device.AddMarker(i, i, "E", false);
        }
        done = true;
    });
    int rounds = 0;
    while (!done.load()) {
        if (rounds % 6 == 0) device.AddView(&view);
        if (rounds % 6 == 3) device.RemoveView(&view);
        std::vector<uint32_t> codes;
        std::vector<uint32_t> frames;
        std::vector<wxString> labels;
        device.GetMarkers(codes, frames, labels);
        ASSERT_EQ(codes.size(), frames.size());
        ASSERT_EQ(codes.size(), labels.size());
        for (size_t i = 0; i < codes.size(); ++i) ASSERT_EQ(codes[i], frames[i]);
        if (++rounds % 10 == 0) device.ClearMarkers();
        readRounds.store(rounds);
    }
    acquisition.join();
    const std::vector<uint32_t> codes = device.GetMarkerCodes();
    if (!codes.empty()) {  // a late clear may have emptied it
        EXPECT_EQ(codes.back(), 19999u);
    }
    EXPECT_LE(codes.size(), 2 * (2 * 1.1 + 1.0) * 25 + 16) << "the old markers went";
    EXPECT_GT(rounds, 0);
    device.RemoveAllViews();
}

// Keeps the lengths of the rows it is fed.
class CLengthView : public CFakeView {
public:
    void AddData(const double* values, int count, uint32_t sample, double timeSec) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (count != 3 && count != 4) ++badLengths;
        }
        CFakeView::AddData(values, count, sample, timeSec);
    }
    int badLengths = 0;
};

TEST(AnalogDispatchThreads, ChannelsAndSettingsChangeWhileRunning)
{
    CFastTestDevice device;  // 8 channels; channel 7 is switched
    CLengthView view;
    view.keepFrames = false;
    device.SetVisibleChannels({0, 1, 2});
    device.AddView(&view);
    auto running = std::make_unique<CRunningDevice>(device);
    ASSERT_TRUE(running->IsStarted());
    for (int round = 0; round < 30; ++round) {
        bool changed = false;
        const uint8_t on = round % 2 == 0 ? 1 : 0;
        ASSERT_TRUE(device.SetParam(&on, 6 + 7, 1, PARAM_BOOL, &changed));
        const double amplitude = 1.0 + round % 5;
        ASSERT_TRUE(device.SetParam(&amplitude, 1, 1, PARAM_DOUBLE, &changed));
        const int before = FramesOf(view);
        ASSERT_TRUE(view.WaitFrames(before + 2, kTimeout));
        EXPECT_EQ(device.GetEnabledChannelCount(), on ? 4 : 3);
    }
    running.reset();
    device.RemoveAllViews();
    std::lock_guard<std::mutex> lock(view.mutex);
    EXPECT_EQ(view.badLengths, 0);
}

// Notes, with each frame, when the device's schedule has the next one due: a busy machine
// delays the frames, not the schedule they keep.
class CTimedView : public CFakeView {
public:
    explicit CTimedView(CDevice& device) : m_device(device) {}
    void AddData(const double* values, int count, uint32_t sample, double timeSec) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            arrivals.push_back(m_device.GetNextSampleDueUs());
        }
        CFakeView::AddData(values, count, sample, timeSec);
    }
    std::vector<double> arrivals;  // program time, us

private:
    CDevice& m_device;
};

TEST(TestDeviceThreads, TwoSecondsAt25HzGiveFiftyFramesAndTwoMarkers)
{
    CTestDevice device(false, false);
    CTimedView view(device);
    device.AddView(&view);
    auto running = std::make_unique<CRunningDevice>(device);
    ASSERT_TRUE(running->IsStarted());
    // Frame 55 comes 2.2 s after the first: the two-second window is complete.
    ASSERT_TRUE(view.WaitFrames(56, kTimeout));
    running.reset();
    device.RemoveAllViews();
    std::lock_guard<std::mutex> lock(view.mutex);
    // Frames per two seconds from the schedule's drift: each due time's offset from k
    // periods, the least one early and late.
    const double periodUs = 1.0e6 / 25.0;
    std::vector<double> offsets;
    for (size_t k = 0; k < view.arrivals.size(); ++k) {
        const double us = view.arrivals[k] - view.arrivals.front();
        if (us >= 2.0e6) break;
        offsets.push_back(us - static_cast<double>(k) * periodUs);
    }
    ASSERT_GE(offsets.size(), 40u);
    const auto fifth = static_cast<std::ptrdiff_t>(offsets.size() / 5);
    const double early = *std::min_element(offsets.begin(), offsets.begin() + fifth);
    const double late = *std::min_element(offsets.end() - fifth, offsets.end());
    EXPECT_NEAR(50.0 - (late - early) / periodUs, 50.0, 1.0);
    EXPECT_EQ(view.frames[0].sample, 0u);
    EXPECT_EQ(view.frames[50].sample, 50u);
    EXPECT_DOUBLE_EQ(view.frames[50].timeSec, 2.0);
    const std::vector<uint32_t> markers = device.GetMarkerFrames();
    ASSERT_GE(markers.size(), 2u);
    EXPECT_EQ(markers[0], 0u);
    EXPECT_EQ(markers[1], 50u);
    EXPECT_EQ(device.GetMarkerLabels()[1], "E 2");
}

}  // namespace
