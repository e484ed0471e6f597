// The OSC source device against a loopback source: connection, channel values,
// channel count changes, parameters, offsets, recording, disconnect.
#include "network/oscDevice.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <random>

#include "analog/analogReader.h"
#include "analog/fakeSinks.h"
#include "network/oscConnection.h"
#include "oscSourceSupport.h"
#include "process/fakeDevice.h"
#include "process/messageQueue.h"
#include "visibleChannelsReader.h"
#include "support/logCapture.h"

using osctest::ConsoleCapture;
using osctest::Floats;
using osctest::FreePort;
using osctest::LoopbackClient;
using osctest::Peer;
using osctest::Received;
using osctest::Responder;
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

TEST_F(OscDeviceTest, NumericArgumentsBecomeChannelsAndFramesReachTheView)
{
    auto device = Open();
    EXPECT_FALSE(device->TakeViewGridRequest());
    ASSERT_TRUE(Deliver(*device, Floats("/data", {1.0f, 2.0f, 3.0f}), {1.0, 2.0, 3.0}));
    EXPECT_EQ(device->ChannelCount(), 3);
    EXPECT_EQ(device->GetVisibleList(), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(device->GetChannelName(2), "Channel #2");
    EXPECT_TRUE(device->TakeViewGridRequest());
    EXPECT_FALSE(device->TakeViewGridRequest());
    // Steps without a new message repeat the latest values.
    TakeFrames();
    device->Step(true);
    device->Step(true);
    for (const CFrame& frame : TakeFrames())
        EXPECT_EQ(frame.values, (std::vector<double>{1, 2, 3}));

    OscMessage ints("/other");
    ints.PushInt32(-4).PushInt32(5);
    ASSERT_TRUE(Deliver(*device, ints, {-4.0, 5.0}));
    EXPECT_EQ(device->ChannelCount(), 2);
    EXPECT_EQ(device->GetChannelName(2), "");  // no name left over from the wider shape
    EXPECT_TRUE(device->TakeViewGridRequest());
}

// A pass took at most 64 datagrams and the receive buffer held a few hundred: after a
// burst of 1000 the device showed message 813 and kept it. One pass takes everything
// waiting, the newest wins, and the listening socket's buffer holds the burst.
TEST_F(OscDeviceTest, OnePassAfterABurstShowsItsLastMessage)
{
    auto device = Open();
    ASSERT_TRUE(Deliver(*device, Floats("/data", {0.0f, 0.0f}), {0.0, 0.0}));
    const int port = device->GetBoundListeningPort();
    float first = 1.0f;
    for (int burst : {1, 2, 63, 64, 65, 129, 300, 1000, 2000}) {
        for (int i = 0; i < burst; ++i)
            ASSERT_TRUE(m_source.Send(port, Floats("/data", {first + float(i), float(burst)})))
                << burst << " " << i;
        // The loopback queues each datagram before send returns.
        device->Step(true);
        EXPECT_EQ(LastFrame(), (std::vector<double>{first + burst - 1.0, double(burst)})) << burst;
        first += float(burst);
    }
}

TEST_F(OscDeviceTest, HostileArgumentCountIsCapped)
{
    auto device = Open();
    OscMessage many("/x");
    for (int i = 0; i < 2000; ++i) many.PushInt32(i);
    ASSERT_TRUE(m_source.Send(device->GetBoundListeningPort(), many));
    ASSERT_TRUE(device->PollUntil([&] { return device->ChannelCount() == kOscMaxChannels; }));
    device->Step(true);
    const std::vector<double> frame = LastFrame();
    ASSERT_EQ(frame.size(), static_cast<size_t>(kOscMaxChannels));
    EXPECT_EQ(frame.back(), kOscMaxChannels - 1.0);
}

// A message of more values than the device keeps channels for lost the rest without a
// word (7 000 values: 5 976 dropped). The first such message is said, every one counted,
// and the totals said when the device closes.
TEST_F(OscDeviceTest, ValuesPastTheChannelsAreSaidOnceAndCounted)
{
    CRecordingOwner owner;  // outlives the device: its notes go to the message queue
    auto device = Open();
    device->SetOwner(&owner);
    g_messages.Drain();
    const int port = device->GetBoundListeningPort();
    // An independent sender first, when installed; our own otherwise.
    std::vector<std::string> command = {"oscsend", "127.0.0.1", std::to_string(port), "/data",
                                        std::string(1100, 'i')};
    for (int i = 0; i < 1100; ++i) command.push_back(std::to_string(i));
    const int status = osctest::RunTool(command);
    if (status != 0) {
        OscMessage wide("/data");
        for (int i = 0; i < 1100; ++i) wide.PushInt32(i);
        ASSERT_TRUE(m_source.Send(port, wide));
    }
    ASSERT_TRUE(device->PollUntil([&] { return device->GetCutMessages() == 1; }));
    ASSERT_TRUE(StepUntilFrame(*device, [] {
        std::vector<double> row(kOscMaxChannels);
        for (int i = 0; i < kOscMaxChannels; ++i) row[static_cast<size_t>(i)] = i;
        return row;
    }()));
    EXPECT_EQ(device->GetDroppedValues(), 76u);
    // Exactly as many values as channels: nothing dropped. Then wider ones.
    for (const int count : {kOscMaxChannels, 7000, 1025}) {
        OscMessage message("/data");
        for (int i = 0; i < count; ++i) message.PushFloat(static_cast<float>(count));
        ASSERT_TRUE(m_source.Send(port, message));
        std::vector<double> row(kOscMaxChannels, count);
        ASSERT_TRUE(StepUntilFrame(*device, row)) << count;
    }
    EXPECT_EQ(device->GetCutMessages(), 3u);
    EXPECT_EQ(device->GetDroppedValues(), 76u + 5976u + 1u);
    EXPECT_EQ(device->ChannelCount(), kOscMaxChannels);
    std::vector<std::string> said;
    for (const QueuedMessage& message : g_messages.Drain()) said.push_back(message.text);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0], "<OSC> osc_device: a message of 1100 values, 76 more than the 1024 "
                       "channels kept (the most a source gets): values past the channels are "
                       "dropped and counted\n");
    device->Close();
    said.clear();
    for (const QueuedMessage& message : g_messages.Drain()) said.push_back(message.text);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0], "<OSC> osc_device: 3 messages carried values past the channels; 6053 "
                       "values were dropped in all\n");
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

// A recording's header fixes its frame layout: the source may not re-shape the
// channels while it runs. After the recording, the next message does.
TEST_F(OscDeviceTest, ChannelCountHoldsWhileRecording)
{
    CRecordingOwner owner;  // outlives the device: its notes reach the messages
    auto device = Open();
    device->SetOwner(&owner);
    ASSERT_TRUE(Deliver(*device, Floats("/x", {1.0f, 2.0f}), {1.0, 2.0}));
    auto owned = std::make_unique<CFakeRecorder>();
    CFakeRecorder* recorder = owned.get();
    device->SetRecorder(std::move(owned));
    ASSERT_TRUE(device->StartRecording());
    ASSERT_TRUE(Deliver(*device, Floats("/x", {3.0f, 4.0f, 5.0f}), {3.0, 4.0}));
    g_messages.Drain();
    ASSERT_TRUE(Deliver(*device, Floats("/x", {6.0f}), {6.0, 4.0}));
    ASSERT_TRUE(Deliver(*device, Floats("/x", {6.5f}), {6.5, 4.0}));
    EXPECT_EQ(device->ChannelCount(), 2);
    // Fewer values than channels: said once for the change, with the channel concerned.
    std::vector<std::string> said;
    for (const QueuedMessage& message : g_messages.Drain()) said.push_back(message.text);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("the source now sends 1 value for the 2 channels kept (the layout "
                           "of the recording under way): channel 2 keeps its last values"),
              std::string::npos)
        << said[0];
    // The value past the recording's layout was dropped: counted, not silent.
    EXPECT_EQ(device->GetCutMessages(), 1u);
    EXPECT_EQ(device->GetDroppedValues(), 1u);
    ASSERT_FALSE(recorder->frames.empty());
    for (const CFrame& frame : recorder->frames) EXPECT_EQ(frame.values.size(), 2u);
    ASSERT_TRUE(device->StopRecording());
    ASSERT_TRUE(Deliver(*device, Floats("/x", {7.0f, 8.0f, 9.0f}), {7.0, 8.0, 9.0}));
    EXPECT_EQ(device->ChannelCount(), 3);
}

// A trial's writer writes its header when the capture files are made, which may be
// long before the trial starts (a trigger awaited): from then on the source may not
// re-shape the channels, or every frame of the trial would be refused by that header.
TEST_F(OscDeviceTest, ChannelCountHoldsFromTheWritersHeaderToItsClose)
{
    auto device = Open();
    CRecordingOwner owner;
    device->SetOwner(&owner);
    std::string folder = (std::filesystem::temp_directory_path() / "qvosc-XXXXXX").string();
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    ASSERT_TRUE(Deliver(*device, Floats("/x", {1.0f, 2.0f}), {1.0, 2.0}));
    ASSERT_TRUE(device->SetupWriter(wxString(folder), "shape", 1, false, "", false, 100, 1));
    const wxString file = device->GetWriterFileName();
    // More and fewer values while the trial waits for its start.
    ASSERT_TRUE(Deliver(*device, Floats("/x", {3.0f, 4.0f, 5.0f}), {3.0, 4.0}));
    ASSERT_TRUE(Deliver(*device, Floats("/x", {6.0f}), {6.0, 4.0}));
    EXPECT_EQ(device->ChannelCount(), 2);
    ASSERT_TRUE(device->StartRecording());
    TakeFrames();
    ASSERT_TRUE(Deliver(*device, Floats("/x", {7.0f, 8.0f, 9.0f}), {7.0, 8.0}));
    for (int i = 0; i < 3; ++i) device->Step(true);
    const size_t recorded = TakeFrames().size();
    ASSERT_TRUE(device->FinishRecording());
    ASSERT_TRUE(device->StopRecording());
    EXPECT_EQ(device->GetCutMessages(), 2u);
    EXPECT_EQ(owner.m_errors, std::vector<wxString>());
    CAnalogReader reader;
    ASSERT_TRUE(reader.Open(file)) << file;
    EXPECT_EQ(reader.GetChannelCount(), 2);
    EXPECT_EQ(reader.GetFrameCount(), static_cast<int64_t>(recorded));
    // The writer closed: the next message re-shapes.
    ASSERT_TRUE(Deliver(*device, Floats("/x", {1.0f, 2.0f, 3.0f}), {1.0, 2.0, 3.0}));
    EXPECT_EQ(device->ChannelCount(), 3);
    device->SetOwner(nullptr);
    device.reset();
    std::error_code error;
    std::filesystem::remove_all(folder, error);
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

TEST_F(OscDeviceTest, CloseSaysGoodbyeOnce)
{
    auto device = Open();
    device->Close();
    Received message;
    ASSERT_TRUE(m_source.Next(message));
    EXPECT_EQ(message.address, "/server/disconnect");
    EXPECT_FALSE(device->IsConnectionReady());
    device->Step(true);
    device.reset();
    EXPECT_EQ(m_source.Drain(), 0);
}

using OscDeviceThreads = OscDeviceTest;

// The source may answer the connect message at once: its first message shapes the
// channels before the device is built, and its values are not thrown away.
TEST_F(OscDeviceThreads, AnswerToTheConnectMessageShapesTheChannels)
{
    const int listenPort = FreePort();
    SetOscClientSettings(LoopbackClient(m_source.Port(), listenPort, 5000));
    Responder responder(m_source, listenPort, Floats("/x", {1.5f, 2.5f, 3.5f}));
    SteppedOscDevice device;
    EXPECT_EQ(responder.Address(), "/server/connect");
    EXPECT_EQ(device.ChannelCount(), 3);
    device.AddView(&m_view);
    device.Step(true);
    EXPECT_EQ(LastFrame(), (std::vector<double>{1.5, 2.5, 3.5}));
}

// The device on its own acquisition thread: values become frames, the source
// re-shapes the channels under the data mutex, and the GUI thread replaces the
// connection while the thread keeps polling.
TEST_F(OscDeviceThreads, RunningDeviceFollowsTheSourceAndSurvivesReconnects)
{
    COscDevice device(false);
    Received request;
    ASSERT_TRUE(m_source.Next(request));
    m_view.keepFrames = true;
    device.AddView(&m_view);
    ASSERT_TRUE(device.Create(false));
    ASSERT_TRUE(device.RunThread());
    int port = device.GetBoundListeningPort();
    const auto waitFor = [&](const std::vector<double>& expected) {
        // The source repeats its message until a frame carries it.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            OscMessage message("/data");
            for (double value : expected) message.PushDouble(value);
            m_source.Send(port, message);
            std::unique_lock<std::mutex> lock(m_view.mutex);
            m_view.arrived.wait_for(lock, std::chrono::milliseconds(20));
            if (!m_view.frames.empty() && m_view.frames.back().values == expected) return true;
        }
        return false;
    };
    ASSERT_TRUE(waitFor({1.0, 2.0}));
    ASSERT_TRUE(waitFor({3.0, 4.0, 5.0, 6.0}));
    EXPECT_EQ(device.GetVisibleCount(), 4);
    EXPECT_TRUE(device.IsRunning());

    const wxString pattern = "/values";
    bool changed = false;
    ASSERT_TRUE(device.SetParam(&pattern, COscDevice::kDataPattern, 1, PARAM_STRING, &changed));
    EXPECT_TRUE(device.IsRunning());
    EXPECT_TRUE(device.IsConnectionReady());
    port = device.GetBoundListeningPort();  // a new link: bound anew
    ASSERT_TRUE(waitFor({7.0}));
    device.Close();
    EXPECT_FALSE(device.IsConnectionReady());
}

// An independent OSC implementation as the source.
TEST_F(OscDeviceTest, ArgumentsSentByOscsendBecomeChannelValues)
{
    auto device = Open();
    const int status =
        osctest::RunTool({"oscsend", "127.0.0.1", std::to_string(device->GetBoundListeningPort()),
                          "/data", "sfi", "label", "1.5", "7"});
    if (status == -1) GTEST_SKIP() << "oscsend (Debian package liblo-tools) is not installed";
    ASSERT_EQ(status, 0);
    ASSERT_TRUE(StepUntilFrame(*device, {1.5, 7.0}));
    EXPECT_EQ(device->ChannelCount(), 2);
}

// A source that keeps changing its shape while the device runs: every frame a
// view receives is whole (n values, each equal to n), never a mix of two shapes.
TEST_F(OscDeviceThreads, ShapeChangesNeverTearAFrame)
{
    COscDevice device(false);
    Received request;
    ASSERT_TRUE(m_source.Next(request));
    const double rate = 1000.0;
    bool changed = false;
    ASSERT_TRUE(device.SetParam(&rate, COscDevice::kSamplingRate, 1, PARAM_DOUBLE, &changed));
    device.AddView(&m_view);
    ASSERT_TRUE(device.Create(false));
    ASSERT_TRUE(device.RunThread());
    const int port = device.GetBoundListeningPort();
    std::mt19937 random(7);  // fixed seed: the shapes sent
    int lastShape = 0;
    for (int i = 0; i < 300; ++i) {
        const int shape = 1 + static_cast<int>(random() % 8);
        OscMessage message("/data");
        for (int k = 0; k < shape; ++k) message.PushInt32(shape);
        ASSERT_TRUE(m_source.Send(port, message));
        lastShape = shape;
        EXPECT_GE(device.GetVisibleCount(), 1);  // the GUI thread reads under the data mutex
        if (i % 30 == 0) {
            std::unique_lock<std::mutex> lock(m_view.mutex);
            m_view.arrived.wait_for(lock, std::chrono::milliseconds(5));
        }
    }
    // The last shape arrives in the end.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool arrived = false;
    while (!arrived && std::chrono::steady_clock::now() < end) {
        std::unique_lock<std::mutex> lock(m_view.mutex);
        m_view.arrived.wait_for(lock, std::chrono::milliseconds(20));
        arrived = !m_view.frames.empty() &&
                  m_view.frames.back().values == std::vector<double>(lastShape, lastShape);
    }
    device.Close();
    EXPECT_TRUE(arrived);
    std::lock_guard<std::mutex> lock(m_view.mutex);
    for (const CFrame& frame : m_view.frames) {
        if (frame.values == std::vector<double>{0.0}) continue;  // before the first message
        const double size = static_cast<double>(frame.values.size());
        for (double value : frame.values) ASSERT_EQ(value, size) << "frame " << frame.sample;
    }
}

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
    const long reads = nettest::ReadVisibleChannels(device, 12, [&] {
        return burstSent.load() && device.GetVisibleList().size() == 3;
    });
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
