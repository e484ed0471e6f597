// The OSC source device against a loopback source: connection, channel values,
// channel count changes, parameters, offsets, recording, disconnect.
#include "network/oscDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "analog/fakeSinks.h"
#include "network/oscConnection.h"
#include "oscSourceSupport.h"
#include "process/messageQueue.h"
#include "support/logCapture.h"
#include "visibleChannelsReader.h"

using osctest::ConsoleCapture;
using osctest::Floats;
using osctest::LoopbackClient;
using osctest::Peer;
using osctest::Received;
using osctest::SettingsGuard;
using osctest::SteppedOscDevice;

namespace {

class OscDeviceTest : public ::testing::Test {
protected:
    void SetUp() override { SetOscClientSettings(LoopbackClient(m_source.Port(), 0)); }

    // A new device, its connect message taken off the source.
    std::unique_ptr<SteppedOscDevice> Open()
    {
        auto device = std::make_unique<SteppedOscDevice>();
        Received request;
        EXPECT_TRUE(m_source.Next(request));
        EXPECT_EQ(request.address, "/server/connect");
        device->AddView(&m_view);
        return device;
    }
    // A device on its own acquisition thread, its connect message taken off the source.
    std::unique_ptr<COscDevice> StartDevice()
    {
        auto device = std::make_unique<COscDevice>(false);
        Received request;
        EXPECT_TRUE(m_source.Next(request));
        EXPECT_TRUE(device->Create(false));
        EXPECT_TRUE(device->RunThread());
        return device;
    }
    // Sends the message and steps until a dispatched frame carries the expected row.
    bool Deliver(SteppedOscDevice& device, const OscMessage& message,
                 const std::vector<double>& expected)
    {
        if (!m_source.Send(device.GetBoundListeningPort(), message)) return false;
        return StepUntilFrame(device, expected);
    }
    bool StepUntilFrame(SteppedOscDevice& device, const std::vector<double>& expected)
    {
        for (int i = 0; i < 2000; ++i) {
            device.Step(true);
            if (LastFrame() == expected) return true;
            std::this_thread::yield();
        }
        return false;
    }
    std::vector<double> LastFrame()
    {
        std::lock_guard<std::mutex> lock(m_view.mutex);
        return m_view.frames.empty() ? std::vector<double>() : m_view.frames.back().values;
    }
    // Frames that arrived since the last call.
    std::vector<CFrame> TakeFrames()
    {
        std::lock_guard<std::mutex> lock(m_view.mutex);
        std::vector<CFrame> frames;
        frames.swap(m_view.frames);
        return frames;
    }

    SettingsGuard m_guard;
    ConsoleCapture m_console;
    Peer m_source;
    CFakeView m_view;
};

}  // namespace

TEST_F(OscDeviceTest, IdentityDefaultsAndHandshake)
{
    auto device = Open();
    const int listenPort = device->GetBoundListeningPort();
    EXPECT_GT(listenPort, 0);
    EXPECT_EQ(device->GetDeviceName(), "osc_device");
    EXPECT_EQ(device->GetDeviceKey(), "osc_device");
    EXPECT_EQ(device->GetDisplayName(), "OSC Device");
    EXPECT_EQ(device->GetConfigPath(), "/Analog/osc_client");
    EXPECT_EQ(device->GetDeviceType(), 3);
    EXPECT_FALSE(device->IsTracker());
    EXPECT_EQ(device->ChannelCount(), 1);
    EXPECT_EQ(device->GetRate(), 25.0);
    EXPECT_EQ(device->GetMinValue(), -100.0);
    EXPECT_EQ(device->GetMaxValue(), 100.0);
    EXPECT_TRUE(device->IsReady());
    EXPECT_TRUE(device->CanOffset());
    EXPECT_EQ(device->GetDevicePath(), "/server@127.0.0.1:0");  // as configured
    EXPECT_TRUE(
        device->GetInfo().EndsWith("\n/server@127.0.0.1:" + std::to_string(m_source.Port())));
    EXPECT_EQ(device->GetConnectResult(), kOscConnectOk);  // a silent source still connects
    EXPECT_TRUE(device->IsConnectionReady());
    EXPECT_EQ(device->GetParamLabel(COscDevice::kSamplingRate), "Sampling Rate (Hz)");
    EXPECT_EQ(device->GetParamKey(COscDevice::kDisconnectPattern), "Disconnect Pattern");
    int count = 0;
    int type = 0;
    ASSERT_NE(device->GetParam(COscDevice::kBroadcastPort, &count, &type), nullptr);
    EXPECT_EQ(type, PARAM_INT);
    EXPECT_EQ(device->GetParamKey(COscDevice::kParamCount), "Channel[0].ON");
    EXPECT_EQ(FormatOscDevicePath("/s", "h", 7), "/s@h:7");
}

// The offset is subtracted from what was received, once: steps that repeat the
// latest values must not subtract it again and again.
TEST_F(OscDeviceTest, OffsetIsSubtractedOnceFromRepeatedValues)
{
    auto device = Open();
    ASSERT_TRUE(Deliver(*device, Floats("/x", {10.0f, -2.0f}), {10.0, -2.0}));
    device->StartOffset();
    // One second of averaging at 25 Hz, then the offset applies.
    for (int i = 0; i < 30; ++i) device->Step(true);
    TakeFrames();
    for (int i = 0; i < 5; ++i) device->Step(true);
    const std::vector<CFrame> frames = TakeFrames();
    ASSERT_EQ(frames.size(), 5u);
    for (const CFrame& frame : frames) EXPECT_EQ(frame.values, (std::vector<double>{0.0, 0.0}));
    ASSERT_TRUE(Deliver(*device, Floats("/x", {11.0f, -2.0f}), {1.0, 0.0}));
}

// An offset averaged over the old channels never lands on the new ones: the
// averaging starts again on the new shape.
TEST_F(OscDeviceTest, OffsetAveragingRestartsWhenTheChannelsChange)
{
    auto device = Open();
    ASSERT_TRUE(Deliver(*device, Floats("/x", {10.0f, -2.0f}), {10.0, -2.0}));
    device->StartOffset();
    for (int i = 0; i < 10; ++i) device->Step(true);
    ASSERT_TRUE(device->CDevice::IsOffsetRunning());
    ASSERT_TRUE(m_source.Send(device->GetBoundListeningPort(), Floats("/x", {10.0f, -2.0f, 5.0f})));
    ASSERT_TRUE(device->PollUntil([&] { return device->ChannelCount() == 3; }));
    for (int i = 0; i < 30; ++i) device->Step(true);
    EXPECT_FALSE(device->CDevice::IsOffsetRunning());
    TakeFrames();
    device->Step(true);
    EXPECT_EQ(LastFrame(), (std::vector<double>{0.0, 0.0, 0.0}));
}

TEST_F(OscDeviceTest, PropertiesStoreCheckAndReconnectAsTheySay)
{
    auto device = Open();
    bool changed = false;
    const double minValue = -5.0;
    ASSERT_TRUE(device->SetParam(&minValue, COscDevice::kMinValue, 1, PARAM_DOUBLE, &changed));
    EXPECT_TRUE(changed);
    EXPECT_EQ(device->GetMinValue(), -5.0);
    EXPECT_EQ(m_source.Drain(), 0);  // no reconnect

    const wxString pattern = "/values";
    ASSERT_TRUE(device->SetParam(&pattern, COscDevice::kDataPattern, 1, PARAM_STRING, &changed));
    Received message;
    ASSERT_TRUE(m_source.Next(message));
    EXPECT_EQ(message.address, "/server/disconnect");
    ASSERT_TRUE(m_source.Next(message));
    EXPECT_EQ(message.address, "/server/connect");
    EXPECT_TRUE(device->IsConnectionReady());

    const wxString prefix = "/src";
    ASSERT_TRUE(device->SetParam(&prefix, COscDevice::kServerName, 1, PARAM_STRING, &changed));
    ASSERT_TRUE(m_source.Next(message));
    EXPECT_EQ(message.address, "/server/disconnect");
    ASSERT_TRUE(m_source.Next(message));
    EXPECT_EQ(message.address, "/src/connect");

    {
        CLogCapture log;
        const double tooFast = 5000.0;
        ASSERT_TRUE(
            device->SetParam(&tooFast, COscDevice::kSamplingRate, 1, PARAM_DOUBLE, &changed));
        EXPECT_EQ(device->GetRate(), 25.0);
        EXPECT_EQ(log.Warnings(), 1);
    }
    const double rate = 100.0;
    ASSERT_TRUE(device->SetParam(&rate, COscDevice::kSamplingRate, 1, PARAM_DOUBLE, &changed));
    EXPECT_EQ(device->GetRate(), 100.0);

    const int32_t negative = -m_source.Port();
    ASSERT_TRUE(device->SetParam(&negative, COscDevice::kBroadcastPort, 1, PARAM_INT, &changed));
    int count = 0;
    int type = 0;
    EXPECT_EQ(*static_cast<int32_t*>(device->GetParam(COscDevice::kBroadcastPort, &count, &type)),
              m_source.Port());
    ASSERT_TRUE(m_source.Next(message));  // the old link's goodbye
    ASSERT_TRUE(m_source.Next(message));
    EXPECT_EQ(message.address, "/src/connect");
    {
        CLogCapture log;
        const int32_t tooLarge = 70000;
        ASSERT_TRUE(
            device->SetParam(&tooLarge, COscDevice::kListeningPort, 1, PARAM_INT, &changed));
        EXPECT_EQ(log.Warnings(), 1);
        EXPECT_NE(
            *static_cast<int32_t*>(device->GetParam(COscDevice::kListeningPort, &count, &type)),
            tooLarge);
    }
    const wxString name = "pressure";
    ASSERT_TRUE(device->SetParam(&name, COscDevice::kDeviceName, 1, PARAM_STRING, &changed));
    EXPECT_EQ(device->GetDeviceName(), "pressure");
    const wxString empty;
    ASSERT_TRUE(device->SetParam(&empty, COscDevice::kDeviceName, 1, PARAM_STRING, &changed));
    EXPECT_EQ(device->GetDeviceName(), "pressure");
}

TEST_F(OscDeviceTest, ListeningPortInUseLeavesAReadyDeviceThatRetriesOnChange)
{
    Peer taken;
    SetOscClientSettings(LoopbackClient(m_source.Port(), taken.Port()));
    SteppedOscDevice device;
    EXPECT_TRUE(
        m_console.Has("O <OSC> Error Listening Port " + std::to_string(taken.Port()) + "\n"));
    EXPECT_EQ(device.GetConnectResult(), kOscConnectListenFailed);
    EXPECT_TRUE(device.IsReady());
    EXPECT_FALSE(device.IsConnectionReady());
    device.Step(true);  // polling a failed link does nothing
    EXPECT_EQ(m_source.Drain(), 0);

    const int32_t freePort = 0;
    bool changed = false;
    ASSERT_TRUE(device.SetParam(&freePort, COscDevice::kListeningPort, 1, PARAM_INT, &changed));
    EXPECT_EQ(device.GetConnectResult(), kOscConnectOk);
    EXPECT_TRUE(device.IsConnectionReady());
}

using OscDeviceThreads = OscDeviceTest;

// The GUI thread asking for the connection's state must never make a due pass
// skip its sample.
TEST_F(OscDeviceThreads, StatusQueriesNeverCostASample)
{
    auto device = Open();
    std::atomic<bool> done{false};
    std::atomic<long> queries{0};
    std::thread gui([&] {
        while (!done.load()) {
            if (device->IsConnectionReady() && device->GetConnectResult() == kOscConnectOk &&
                device->GetBoundListeningPort() > 0)
                queries.fetch_add(1);
        }
    });
    while (queries.load() == 0) std::this_thread::yield();
    TakeFrames();
    for (int i = 0; i < 10000; ++i) device->Step(true);
    done = true;
    gui.join();
    EXPECT_EQ(TakeFrames().size(), 10000u);
}

// The GUI thread reads channel names, units and colours while the source keeps
// re-shaping the channels on the acquisition thread: every read sees one shape.
TEST_F(OscDeviceThreads, ChannelTextsReadWhileTheSourceReshapes)
{
    const std::unique_ptr<COscDevice> started = StartDevice();
    COscDevice& device = *started;
    const int port = device.GetBoundListeningPort();
    std::atomic<bool> done{false};
    std::thread source([&] {
        for (int i = 0; i < 400 && !done.load(); ++i) {
            OscMessage message("/data");
            for (int k = 0; k <= i % 12; ++k) message.PushFloat(1.0f);
            m_source.Send(port, message);
        }
    });
    long reads = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < end) {
        const int count = device.GetChannelCount();
        for (int n = 0; n < 12; ++n) {
            const wxString name = device.GetChannelName(n);
            if (n < count && !name.empty()) {
                EXPECT_TRUE(name.StartsWith("Channel #"));
            }
            device.GetChannelUnit(n);
            device.GetVisibleChannelName(n);
            device.GetChannelColour(n);
            int valueCount = 0;
            int type = 0;
            const int id = COscDevice::kParamCount + n;
            if (const void* value = device.GetParam(id, &valueCount, &type)) {
                if (type == PARAM_BOOL) {
                    EXPECT_EQ(*static_cast<const uint8_t*>(value), 1);
                }
            }
            device.GetParamLabel(id);
            device.GetParamKey(id);
            EXPECT_GE(device.GetParamCount(), COscDevice::kParamCount + 2);
            ++reads;
        }
    }
    done = true;
    source.join();
    device.Close();
    EXPECT_GT(reads, 0);
}

// The views and the view grid read the visible channels, their names and units on the
// GUI thread while the source re-shapes the channels on the acquisition thread: each
// read sees one whole list (0 .. n-1, n at most 12), never freed or half-made storage.
TEST_F(OscDeviceThreads, VisibleChannelsReadWhileTheSourceReshapes)
{
    const std::unique_ptr<COscDevice> started = StartDevice();
    COscDevice& device = *started;
    const int port = device.GetBoundListeningPort();
    std::atomic<bool> burstSent{false};
    std::atomic<bool> done{false};
    // A burst of shapes, then three values again and again until the device has them (a
    // full receive buffer may drop a datagram).
    std::thread source([&] {
        for (int i = 0; i < 600; ++i) {
            OscMessage message("/data");
            for (int k = 0; k <= (i * 5) % 12; ++k) message.PushFloat(1.0f);
            m_source.Send(port, message);
            if (i % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        burstSent = true;
        while (!done.load()) {
            m_source.Send(port, Floats("/data", {1.0f, 1.0f, 1.0f}));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const long reads = nettest::ReadVisibleChannels(
        device, 12, [&] { return burstSent.load() && device.GetVisibleList().size() == 3; });
    done = true;
    source.join();
    device.Close();
    EXPECT_GT(reads, 0);
}

namespace {

// Hands out its acquisition thread's CPU clock once that thread has run a step.
class CpuProbeDevice : public COscDevice {
public:
    CpuProbeDevice() : COscDevice(false) {}
    bool Process(bool tick, bool running) override
    {
        if (!m_hasClock.load()) {
            clockid_t clock;
            if (::pthread_getcpuclockid(::pthread_self(), &clock) == 0) {
                m_clock = clock;
                m_hasClock.store(true);
            }
        }
        return COscDevice::Process(tick, running);
    }
    bool HasClock() const { return m_hasClock.load(); }
    // CPU seconds the acquisition thread has used.
    double CpuSeconds() const
    {
        timespec used{};
        if (!m_hasClock.load() || ::clock_gettime(m_clock, &used) != 0) return -1.0;
        return static_cast<double>(used.tv_sec) + used.tv_nsec * 1e-9;
    }

private:
    std::atomic<bool> m_hasClock{false};
    clockid_t m_clock{};  // written before m_hasClock is set
};

// CPU share of the probe's thread over half a second of wall time (a spinning thread
// shows most of a core in any part of it).
double IdleCpuShare(const CpuProbeDevice& device)
{
    const double cpuStart = device.CpuSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    // A measurement window, not a wait for an event.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double cpu = device.CpuSeconds() - cpuStart;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    return cpu / wall;
}

}  // namespace

// The step polled the source without waiting, so a device with nothing to read kept a
// core busy in system calls; it now waits in the receive call until its next sample.
TEST_F(OscDeviceThreads, IdleSourceDeviceWaitsInsteadOfSpinning)
{
    CpuProbeDevice device;
    Received request;
    ASSERT_TRUE(m_source.Next(request));
    device.AddView(&m_view);
    // The pacing loop that passes without sleeping ("/Device/use_clock_delay" off): only
    // the receive wait keeps this thread from spinning.
    ASSERT_TRUE(device.Create(false));
    ASSERT_TRUE(device.RunThread());
    ASSERT_TRUE(
        osctest::PumpUntil([&] { return device.HasClock() && device.GetSampleCounter() > 2; }));
    // Running, no datagram: a few percent of a core at most (the margin is wide).
    const double running = IdleCpuShare(device);
    EXPECT_LT(running, 0.15) << "running device used " << running * 100 << " % of a core";
    EXPECT_TRUE(device.IsRunning());
    // A datagram still arrives at once and becomes the next frame.
    OscMessage message("/data");
    message.PushDouble(4.5);
    ASSERT_TRUE(m_source.Send(device.GetBoundListeningPort(), message));
    ASSERT_TRUE(osctest::PumpUntil([&] { return LastFrame() == std::vector<double>{4.5}; }));
    // Stopped, it still listens, and idles the same way.
    device.Stop();
    const double stopped = IdleCpuShare(device);
    EXPECT_LT(stopped, 0.15) << "stopped device used " << stopped * 100 << " % of a core";
    device.Close();
}
