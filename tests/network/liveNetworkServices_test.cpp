// A device running on its own acquisition thread reaches OSC clients through
// the process-wide OSC data server, with no services installed by hand.
#include "network/liveNetworkServices.h"

#include "analog/testDevice.h"
#include "network/oscServer.h"
#include "process/networkServices.h"

#include <gtest/gtest.h>

#include "oscTestSupport.h"

#include <cmath>

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
