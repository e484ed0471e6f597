// A device running on its own acquisition thread reaches OSC clients through
// the process-wide OSC data server, with no services installed by hand.
#include "network/liveNetworkServices.h"

#include "analog/fakeSinks.h"
#include "analog/plainDevice.h"
#include "analog/testDevice.h"
#include "network/oscServer.h"
#include "process/networkServices.h"

#include <gtest/gtest.h>

#include "oscTestSupport.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using osctest::ConsoleCapture;
using osctest::FreePort;
using osctest::Peer;
using osctest::Received;

namespace {

// Starts the process-wide server for one test and closes it afterwards.
class CLiveServer {
public:
    explicit CLiveServer(int outPort)
    {
        OscServerSettings settings;
        settings.sendToLocal = true;
        settings.timeoutMs = 0;
        OscServerSetSettings(settings);
        m_started = StartOscServer(FreePort(), outPort);
    }
    ~CLiveServer() { CloseOscServer(); }
    bool IsStarted() const { return m_started; }

private:
    bool m_started = false;
};

}  // namespace

TEST(LiveNetworkServicesTest, DefaultServicesAreTheProcessWideOscServer)
{
    SetNetworkServices(nullptr);
    EXPECT_EQ(&GetNetworkServices(), &GetLiveNetworkServices());
    EXPECT_FALSE(GetNetworkServices().IsOscServerStarted());
    ConsoleCapture console;
    Peer client;
    {
        CLiveServer server(client.Port());
        ASSERT_TRUE(server.IsStarted());
        EXPECT_TRUE(GetNetworkServices().IsOscServerStarted());
    }
    EXPECT_FALSE(GetNetworkServices().IsOscServerStarted());
}

TEST(LiveNetworkServicesThreads, RunningTestDeviceFramesReachAnOscClient)
{
    SetNetworkServices(nullptr);
    ConsoleCapture console;
    Peer client;
    CLiveServer server(client.Port());
    ASSERT_TRUE(server.IsStarted());
    ASSERT_TRUE(OscServerPoll());  // welcomes the local peer
    Received message;
    ASSERT_TRUE(client.Next(message));
    ASSERT_EQ(message.address, "/AnalogServer");

    CTestDevice device(false, false);
    ASSERT_TRUE(device.Create(false));
    ASSERT_TRUE(device.RunThread());
    // Time first, then the 8 enabled channels as floats; times advance by 1/rate.
    double lastTime = -1.0;
    for (int frame = 0; frame < 5; ++frame) {
        ASSERT_TRUE(client.Next(message)) << "frame " << frame;
        if (message.address != "/data/test_device") {
            --frame;  // an "/event" marker message may come in between
            continue;
        }
        ASSERT_EQ(message.tags, std::string(9, 'f'));
        if (lastTime >= 0.0) {
            EXPECT_NEAR(message.numbers[0] - lastTime, 1.0 / device.GetRate(), 1e-6);
        }
        lastTime = message.numbers[0];
        for (int channel = 1; channel < 9; ++channel)
            EXPECT_TRUE(std::isfinite(message.numbers[channel]));
    }
    device.Close();
}

namespace {

// Rows that tell their own shape: a value is the frame's tag x 100 + its channel, and
// channel set k is 0 .. k-2 then 10 + k. A row counted for one set but copied for
// another, or holding a tail an earlier frame left, never reads as a whole set.
class CShapedRowDevice : public CPlainDevice {
public:
    CShapedRowDevice() : CPlainDevice(17) { SetRate(2000.0); }
    void ReadSample() override
    {
        const double tag = static_cast<double>(GetSampleCounter() % 1000) * 100.0;
        for (int c = 0; c < m_channelCount; ++c) m_values[c] = tag + c;
    }
    void AskInit() { m_initPending = true; }  // what a re-shape leaves for the pacing
};

std::vector<int> ChannelSet(int k)
{
    std::vector<int> set;
    for (int c = 0; c + 1 < k; ++c) set.push_back(c);
    set.push_back(10 + k);
    return set;
}

bool IsWholeRow(const double* values, int count)
{
    if (count < 1 || count > 6) return false;
    const double tag = std::floor(values[0] / 100.0);
    const std::vector<int> set = ChannelSet(count);
    for (int i = 0; i < count; ++i) {
        if (values[i] != tag * 100.0 + set[static_cast<size_t>(i)]) return false;
    }
    return true;
}

// Checks each row as the acquisition thread records it.
class CRowCheckingRecorder : public CFakeRecorder {
public:
    bool RecordFrame(const double* values, int count, uint32_t, double) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++frames;
        if (!IsWholeRow(values, count)) ++badRows;
        arrived.notify_all();
        return true;
    }
    bool WaitPast(int64_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, std::chrono::seconds(20), [&] { return frames > count; });
    }
    std::mutex mutex;
    std::condition_variable arrived;
    int64_t frames = 0;
    int64_t badRows = 0;
};

}  // namespace

// The GUI thread re-shapes (switches channels, re-publishes the list as a 3D view's
// build does, resets, asks the pacing to restart as a network device's poll did) while
// the device runs: every recorded row and every OSC datagram carries the count of its
// own row.
TEST(LiveNetworkServicesThreads, ReshapesFromTheGuiThreadKeepEachCountWithItsRow)
{
    SetNetworkServices(nullptr);
    ConsoleCapture console;
    Peer client;
    CLiveServer server(client.Port());
    ASSERT_TRUE(server.IsStarted());
    CShapedRowDevice device;
    auto recorder = std::make_unique<CRowCheckingRecorder>();
    CRowCheckingRecorder& rows = *recorder;
    rows.StartRecording();
    device.SetRecorder(std::move(recorder));
    device.SetVisibleChannels(ChannelSet(1));
    ASSERT_TRUE(device.Create(false));
    ASSERT_TRUE(device.RunThread());
    for (int round = 0; round < 300; ++round) {
        int64_t seen = 0;
        {
            std::lock_guard<std::mutex> lock(rows.mutex);
            seen = rows.frames;
        }
        device.SetVisibleChannels(ChannelSet(1 + round % 6));
        if (round % 3 == 0) device.UpdateVisibleList();
        if (round % 5 == 0) device.Reset();
        device.AskInit();
        device.CheckInit();
        ASSERT_TRUE(rows.WaitPast(seen)) << "round " << round;
    }
    device.Close();
    EXPECT_EQ(rows.badRows, 0) << "of " << rows.frames << " recorded rows";
    OscServerPoll();
    int datagrams = 0;
    int badDatagrams = 0;
    Received message;
    while (client.Next(message, 300)) {
        if (message.address.rfind("/data", 0) != 0) continue;
        ++datagrams;
        const int count = static_cast<int>(message.numbers.size()) - 1;
        if (message.tags != std::string(static_cast<size_t>(count + 1), 'f') ||
            !IsWholeRow(message.numbers.data() + 1, count))
            ++badDatagrams;
    }
    EXPECT_GT(datagrams, 0);
    EXPECT_EQ(badDatagrams, 0) << "of " << datagrams << " datagrams";
}
