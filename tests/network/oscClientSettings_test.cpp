// Settings of the OSC sources and trigger in the configuration file, and an OSC
// device's own group loaded from it.
#include "network/oscClientSettings.h"

#include <gtest/gtest.h>
#include <wx/fileconf.h>
#include <wx/sstream.h>

#include "network/oscDevice.h"
#include "oscSourceSupport.h"

using osctest::ConsoleCapture;
using osctest::LoopbackClient;
using osctest::Peer;
using osctest::Received;
using osctest::SettingsGuard;

namespace {

// An in-memory configuration: read from a text, never written to disk.
std::unique_ptr<wxFileConfig> MemoryConfig(const wxString& text)
{
    wxStringInputStream input(text);
    return std::make_unique<wxFileConfig>(input);
}

}  // namespace

TEST(OscClientSettingsTest, DefaultsMissingKeysAndRoundTrip)
{
    auto empty = MemoryConfig("");
    OscClientSettings client;
    LoadOscClientSettings(*empty, client);
    EXPECT_EQ(client.serverName, "/server");
    EXPECT_EQ(client.address, "127.0.0.1");
    EXPECT_EQ(client.broadcastPort, 32000);
    EXPECT_EQ(client.listeningPort, 1200);
    EXPECT_EQ(client.maxTimeoutMs, 500);
    EXPECT_EQ(client.minTimeoutMs, 0);
    EXPECT_TRUE(client.loadConfig);
    OscTriggerSettings trigger;
    LoadOscTriggerSettings(*empty, trigger);
    EXPECT_FALSE(trigger.use);
    EXPECT_EQ(trigger.serverName, "/unity_sync");
    EXPECT_EQ(trigger.outPort, 6969);
    EXPECT_EQ(trigger.inPort, 6161);
    EXPECT_EQ(trigger.highValue, 255.0);
    EXPECT_EQ(trigger.lowValue, -255.0);

    client.serverName = "/sensor";
    client.address = "10.1.2.3";
    client.broadcastPort = 9000;
    client.minTimeoutMs = 3;
    client.loadConfig = false;
    trigger.use = true;
    trigger.inPort = 7000;
    trigger.highValue = 1.5;
    auto config = MemoryConfig("");
    ASSERT_TRUE(SaveOscClientSettings(*config, client));
    ASSERT_TRUE(SaveOscTriggerSettings(*config, trigger));
    OscClientSettings clientBack;
    OscTriggerSettings triggerBack;
    LoadOscClientSettings(*config, clientBack);
    LoadOscTriggerSettings(*config, triggerBack);
    EXPECT_EQ(clientBack.serverName, "/sensor");
    EXPECT_EQ(clientBack.address, "10.1.2.3");
    EXPECT_EQ(clientBack.broadcastPort, 9000);
    EXPECT_EQ(clientBack.minTimeoutMs, 3);
    EXPECT_FALSE(clientBack.loadConfig);
    EXPECT_TRUE(triggerBack.use);
    EXPECT_EQ(triggerBack.inPort, 7000);
    EXPECT_EQ(triggerBack.highValue, 1.5);
    long stored = 0;
    EXPECT_TRUE(config->Read("/VRPN/vrpn_sync_in_port", &stored));
    EXPECT_EQ(stored, 7000);
}

TEST(OscClientSettingsTest, DeviceGroupLoadsThenReconnectsOnce)
{
    SettingsGuard guard;
    ConsoleCapture console;
    Peer source;
    Peer other;
    SetOscClientSettings(LoopbackClient(source.Port(), 0));
    COscDevice device(false);
    Received message;
    ASSERT_TRUE(source.Next(message));
    auto config =
        MemoryConfig(wxString::Format("[Analog/osc_client]\n"
                                      "Server Name=/cfg\n"
                                      "Broadcast Port=%d\n"
                                      "Sampling Rate (Hz)=50\n"
                                      "Device Name=balance\n",
                                      other.Port()));
    ASSERT_TRUE(device.LoadConfig(config.get()));
    EXPECT_EQ(device.GetRate(), 50.0);
    EXPECT_EQ(device.GetDeviceName(), "balance");
    ASSERT_TRUE(source.Next(message));  // the old link's goodbye
    EXPECT_EQ(message.address, "/server/disconnect");
    EXPECT_EQ(source.Drain(), 0);
    ASSERT_TRUE(other.Next(message));
    EXPECT_EQ(message.address, "/cfg/connect");
    EXPECT_EQ(other.Drain(), 0);

    auto saved = MemoryConfig("");
    ASSERT_TRUE(device.SaveConfig(saved.get()));
    wxString server;
    EXPECT_TRUE(saved->Read("/Analog/osc_client/Server Name", &server));
    EXPECT_EQ(server, "/cfg");
}
