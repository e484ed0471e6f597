#include "network/oscServer.h"

#include <gtest/gtest.h>
#include <wx/fileconf.h>

#include "oscTestSupport.h"
#include "support/tempDir.h"

using osctest::ConsoleCapture;
using osctest::FreePort;
using osctest::Peer;
using osctest::Received;

namespace {

// The process-wide server, closed and emptied around each test.
class OscServerApiTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset()
    {
        CloseOscServer();
        OscServerClearClients();
        OscServerSettings settings;
        settings.sendToLocal = false;
        settings.timeoutMs = 0;
        OscServerSetSettings(settings);
    }
    ConsoleCapture m_console;
};

}  // namespace

TEST(ParseHostPortTest, SplitsAtTheFirstColon)
{
    std::string host = "x";
    int port = 1;
    EXPECT_TRUE(ParseHostPort("127.0.0.1:6969", host, port));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 6969);
    EXPECT_TRUE(ParseHostPort("localhost:0", host, port));  // the range is the caller's
    EXPECT_EQ(port, 0);

    // Characters past the port used to be dropped: "12x" became port 12.
    for (const char* bad :
         {"", "nocolon", ":6969", "host:", "host:abc", "host: x1", "host:99999999999999999999",
          "localhost:12x", "127.0.0.1:9000:1", "localhost: 9000", "host: +42", "a:-3", "a:1:2",
          "[::1]:9000", "::1:9000", "host:9000 "}) {
        EXPECT_FALSE(ParseHostPort(bad, host, port)) << bad;
        EXPECT_EQ(host, "") << bad;
        EXPECT_EQ(port, 0) << bad;
    }
}

TEST_F(OscServerApiTest, StartAndCloseSayWhatTheyDo)
{
    const int inPort = FreePort();
    EXPECT_FALSE(IsOscServerStarted());
    ASSERT_TRUE(StartOscServer(inPort, 12000));
    EXPECT_TRUE(IsOscServerStarted());
    EXPECT_TRUE(StartOscServer(inPort, 12000));  // already started: true, silent
    EXPECT_TRUE(OscServerPoll());
    EXPECT_TRUE(CloseOscServer());
    EXPECT_TRUE(CloseOscServer());  // not started: true, silent
    EXPECT_FALSE(IsOscServerStarted());
    EXPECT_FALSE(OscServerPoll());
    const std::vector<std::string> expected = {
        "O <OSC> Starting server  inPort " + std::to_string(inPort) + " outPort 12000\n",
        "O <OSC> Closing server\n"};
    EXPECT_EQ(m_console.Take(), expected);

    Peer busy;
    std::string reason;
    EXPECT_FALSE(StartOscServer(busy.Port(), 12000, &reason));
    const std::string port = std::to_string(busy.Port());
    // The reason, for the box, says the port is in use.
    EXPECT_EQ(reason, "it cannot listen on UDP port " + port + " (bind failed: port " + port +
                          " is in use)");
    const std::vector<std::string> failure = {
        "O <OSC> Starting server  inPort " + port + " outPort 12000\n",
        "E <OSC> Error opening port " + port + ": bind failed: port " + port + " is in use\n",
        "O <OSC> Fail to start osc server\n"};
    EXPECT_EQ(m_console.Take(), failure);
    EXPECT_FALSE(IsOscServerStarted());
}

TEST_F(OscServerApiTest, ClientListEdgeCases)
{
    Peer client;
    // Refused before the server runs, and nothing is remembered.
    std::string reason;
    EXPECT_FALSE(OscServerAddClient(client.HostPort(), &reason));
    EXPECT_EQ(reason, "the OSC server is not running");
    EXPECT_EQ(OscServerGetClientCount(), 0u);
    EXPECT_FALSE(OscServerAddClients());

    Peer out;
    ASSERT_TRUE(StartOscServer(FreePort(), out.Port()));
    EXPECT_TRUE(OscServerAddClients());  // no entries: nothing to do
    // A refusal used to give no reason: each says which part is wrong.
    const struct {
        const char* text;
        const char* reason;
    } bad[] = {
        {"127.0.0.1", "expected host:port"},
        {":6969", "expected host:port"},
        {"127.0.0.1:abc", "port 'abc' is not a number"},
        {"127.0.0.1:", "port '' is not a number"},
        {"localhost:99999", "port 99999 outside 1-65535"},
        {"127.0.0.1:0", "port 0 outside 1-65535"},
        {"127.0.0.1:-1", "port '-1' is not a number"},
        {"localhost:12x", "unexpected 'x' after port 12"},
        {"127.0.0.1:9000:1", "unexpected ':1' after port 9000"},
        {"localhost: 9000", "port ' 9000' is not a number"},
        {"[::1]:9000", "IPv6 addresses are not supported"},
        {"::1:9000", "IPv6 addresses are not supported"},
        {"fe80::1:9000", "IPv6 addresses are not supported"},
        {"fe80:0:0:0:0:0:0:1:9000", "IPv6 addresses are not supported"},
        {"127.0.0.1:65536", "port 65536 outside 1-65535"},
        {"127.0.0.1:99999999999999999999", "port 99999999999999999999 outside 1-65535"},
        {"no-such-host.invalid:6969", "host no-such-host.invalid not found ("},
    };
    for (const auto& c : bad) {
        reason.clear();
        EXPECT_FALSE(OscServerAddClient(c.text, &reason)) << c.text;
        EXPECT_EQ(reason.rfind(c.reason, 0), 0u) << c.text << ": " << reason;
    }
    EXPECT_EQ(OscServerGetClientCount(), 0u);

    reason = "unchanged";
    ASSERT_TRUE(OscServerAddClient(client.HostPort(), &reason));
    EXPECT_EQ(reason, "unchanged");
    // Each destination once, however it is spelled: the same entry again or by name.
    for (const std::string& again :
         {client.HostPort(), "localhost:" + std::to_string(client.Port())}) {
        reason.clear();
        EXPECT_FALSE(OscServerAddClient(again, &reason)) << again;
        EXPECT_EQ(reason, "already in the list as " + client.HostPort()) << again;
    }
    EXPECT_TRUE(IsOscServerConnected());
    ASSERT_EQ(OscServerGetClientCount(), 1u);
    EXPECT_EQ(OscServerGetClient(0), client.HostPort());
    EXPECT_EQ(OscServerGetClient(1), "");
    EXPECT_EQ(client.Drain(), 1);

    const double values[2] = {3.0, 4.0};
    EXPECT_TRUE(OscServerSetData("dev", values, 2, 1.0));
    Received message;
    ASSERT_TRUE(client.Next(message));
    EXPECT_EQ(message.numbers, (std::vector<double>{1.0, 3.0, 4.0}));
    EXPECT_EQ(client.Drain(), 0);  // one copy

    EXPECT_FALSE(OscServerRemoveClient("127.0.0.1:1"));
    EXPECT_TRUE(OscServerRemoveClient(client.HostPort()));
    EXPECT_EQ(OscServerGetClientCount(), 0u);
    ASSERT_TRUE(OscServerAddClient(client.HostPort()));  // listed again once removed
    EXPECT_EQ(OscServerGetClientCount(), 1u);
    EXPECT_TRUE(OscServerClearClients());
    EXPECT_EQ(OscServerGetClientCount(), 0u);
    EXPECT_FALSE(OscServerSetData("dev", values, 2, 1.0) && client.Drain() > 0);
}

TEST_F(OscServerApiTest, AddingAllConfiguredClientsSkipsTheFailures)
{
    Peer a;
    Peer out;
    ASSERT_TRUE(StartOscServer(FreePort(), out.Port()));
    ASSERT_TRUE(OscServerAddClient(a.HostPort()));
    ASSERT_TRUE(CloseOscServer());
    m_console.Take();
    // Entries survive the close and come back with the next start.
    ASSERT_EQ(OscServerGetClientCount(), 1u);
    ASSERT_TRUE(StartOscServer(0, 0));
    EXPECT_TRUE(OscServerAddClients());
    EXPECT_TRUE(
        m_console.Has("O <OSC> Adding client 127.0.0.1 : " + std::to_string(a.Port()) + "\n"));
    const double value = 1.0;
    EXPECT_TRUE(OscServerSetData("dev", &value, 1, 0.0));
    EXPECT_TRUE(OscServerSendEvent("dev", "label", 0.5));
    EXPECT_EQ(a.Drain(), 5);  // welcome, goodbye, welcome, data, event
}

using OscServerSettingsTest = TempDirTest;

TEST_F(OscServerSettingsTest, SettingsRoundTripThroughTheConfigurationFile)
{
    const wxString path = Path("settings.cfg").string();
    OscServerSettings defaults;
    {
        wxFileConfig config(wxEmptyString, wxEmptyString, path, wxEmptyString,
                            wxCONFIG_USE_LOCAL_FILE);
        OscServerSettings loaded;
        LoadOscServerSettings(config, loaded);  // empty file: defaults stay
        EXPECT_EQ(loaded.trackerServerName, "/AnalogServer");
        EXPECT_EQ(loaded.serverDataTag, "/data");
        EXPECT_EQ(loaded.serverEventTag, "/event");
        EXPECT_TRUE(loaded.serverSendTime);
        EXPECT_FALSE(loaded.useDouble);
        EXPECT_TRUE(loaded.sendToLocal);
        EXPECT_EQ(loaded.timeoutMs, 30);

        OscServerSettings changed;
        changed.trackerServerName = "/Srv";
        changed.serverRemoved = "bye";
        changed.useDouble = true;
        changed.serverSendTime = false;
        changed.sendToLocal = false;
        changed.timeoutMs = -4;
        ASSERT_TRUE(SaveOscServerSettings(config, changed));
        ASSERT_TRUE(config.Flush());
    }
    wxFileConfig config(wxEmptyString, wxEmptyString, path, wxEmptyString, wxCONFIG_USE_LOCAL_FILE);
    long timeout = 0;
    EXPECT_TRUE(config.Read("/OSC/timeout", &timeout));
    EXPECT_EQ(timeout, -4);
    wxString text;
    EXPECT_TRUE(config.Read("/OSC/serverSendTime", &text));
    OscServerSettings loaded;
    LoadOscServerSettings(config, loaded);
    EXPECT_EQ(loaded.trackerServerName, "/Srv");
    EXPECT_EQ(loaded.serverRemoved, "bye");
    EXPECT_TRUE(loaded.useDouble);
    EXPECT_FALSE(loaded.serverSendTime);
    EXPECT_FALSE(loaded.sendToLocal);
    EXPECT_EQ(loaded.timeoutMs, -4);
    EXPECT_EQ(ClampOscPollTimeout(loaded.timeoutMs), 0);
}
