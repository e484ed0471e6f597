// The OSC client link on its own (no owner: the trigger's list of values), over
// real UDP on the loopback.
#include "network/oscConnection.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "network/oscClientSettings.h"
#include "oscSourceSupport.h"
#include "process/triggerCrossings.h"

using osctest::Bundle;
using osctest::Bytes;
using osctest::ConsoleCapture;
using osctest::Floats;
using osctest::FreePort;
using osctest::Packet;
using osctest::Peer;
using osctest::Received;

namespace {

// A connection to a silent source, opened with a short wait for the first packet.
class OscConnectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_link.SetPatterns("/connect", "/disconnect");
        m_link.SetTimeouts(10, 0);
        ASSERT_TRUE(m_link.Open("/unity_sync", "127.0.0.1", m_source.Port(), 0));
        Received request;
        ASSERT_TRUE(m_source.Next(request));
        ASSERT_EQ(request.address, "/unity_sync/connect");
        m_port = m_link.BoundListeningPort();
    }
    // Sends and polls until the connection has handled a message.
    bool Deliver(const OscMessage& message)
    {
        if (!m_source.Send(m_port, message)) return false;
        return PollUntilHandled();
    }
    bool PollUntilHandled()
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end) {
            if (m_link.Poll()) return true;
            std::this_thread::yield();
        }
        return false;
    }

    ConsoleCapture m_console;
    Peer m_source;
    OscConnection m_link{nullptr};
    int m_port = 0;
};

}  // namespace

TEST_F(OscConnectionTest, SilentSourceStillConnectsAndSaysSo)
{
    EXPECT_TRUE(m_link.IsReady());
    EXPECT_EQ(m_link.LastResult(), kOscConnectOk);
    EXPECT_TRUE(m_console.Has("O <OSC> Sending : /unity_sync/connect\n"));
    EXPECT_TRUE(
        m_console.Has("O <OSC> Connected to 127.0.0.1:" + std::to_string(m_source.Port()) + "\n"));
    EXPECT_FALSE(m_link.Poll());  // nothing waiting: returns at once
    double value = 0.0;
    EXPECT_FALSE(m_link.TakeFirstValue(value));
}

TEST_F(OscConnectionTest, EachMessageLeavesItsNumbersFirstOneFirst)
{
    ASSERT_TRUE(Deliver(Floats("/x", {5.0f})));
    OscMessage two("/x");
    two.PushInt32(7).PushInt32(8);
    ASSERT_TRUE(Deliver(two));
    EXPECT_EQ(m_link.GetValue(0), 7.0);
    EXPECT_EQ(m_link.GetValue(1), 8.0);
    EXPECT_EQ(m_link.GetValue(2), 0.0);
    double value = 0.0;
    ASSERT_TRUE(m_link.TakeFirstValue(value));
    EXPECT_EQ(value, 7.0);
    EXPECT_FALSE(m_link.TakeFirstValue(value));  // the list was emptied
}

// A numeric argument after a string is still the first value: each message
// starts a new list, so the trigger never reads a stale number.
TEST_F(OscConnectionTest, NumberAfterAStringIsTheFirstValueOfItsMessage)
{
    OscMessage first("/x");
    first.PushString("go").PushFloat(2.5f);
    ASSERT_TRUE(Deliver(first));
    OscMessage second("/x");
    second.PushString("go").PushFloat(300.0f);
    ASSERT_TRUE(Deliver(second));
    double value = 0.0;
    ASSERT_TRUE(m_link.TakeFirstValue(value));
    EXPECT_EQ(value, 300.0);
}

TEST_F(OscConnectionTest, MessageWithoutNumbersChangesNothing)
{
    ASSERT_TRUE(Deliver(Floats("/x", {4.0f})));
    OscMessage words("/x");
    words.PushString("a").PushString("b");
    ASSERT_TRUE(Deliver(words));
    EXPECT_EQ(m_link.GetValue(0), 4.0);
}

// Every message of a bundle is acted on, in order, whatever its shape: a stop and
// the next start sent together are two edges of the trigger.
TEST_F(OscConnectionTest, EveryMessageOfABundleIsFedInOrder)
{
    using Kind = TriggerCrossing::Kind;
    CTriggerCrossings crossings;
    crossings.SetLevels(255.0, -255.0, true);
    m_link.SetCrossings(&crossings);
    const Bytes stop = Packet(Floats("/trig", {-255.0f}));
    const Bytes start = Packet(Floats("/trig", {255.0f}));
    OscMessage words("/trig");
    words.PushString("pause");
    struct Case {
        const char* shape;
        Bytes packet;
        std::vector<Kind> kinds;
        double lastFirstValue;  // what the list holds afterwards
    };
    const std::vector<Case> cases = {
        {"stop then start", Bundle(1, {stop, start}), {Kind::Stop, Kind::Start}, 255.0},
        {"start then stop", Bundle(1, {start, stop}), {Kind::Start, Kind::Stop}, -255.0},
        {"future time tag", Bundle(0xe000000000000000ull, {stop, start}), {Kind::Stop, Kind::Start},
         255.0},
        {"nested", Bundle(1, {Bundle(2, {stop}), Bundle(3, {Bundle(4, {start})})}),
         {Kind::Stop, Kind::Start}, 255.0},
        {"empty elements and a message without numbers",
         Bundle(1, {Bytes{}, stop, Packet(words), Bundle(2, {}), start}),
         {Kind::Stop, Kind::Start}, 255.0},
        {"pulse of four", Bundle(1, {stop, start, stop, start}),
         {Kind::Stop, Kind::Start, Kind::Stop, Kind::Start}, 255.0},
        {"stop, start and a second start", Bundle(1, {stop, start, start}),
         {Kind::Stop, Kind::Start}, 255.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shape);
        crossings.Clear();
        ASSERT_TRUE(m_source.SendBytes(m_port, c.packet.data(), c.packet.size()));
        ASSERT_TRUE(PollUntilHandled());
        std::vector<Kind> kinds;
        TriggerCrossing crossing;
        while (crossings.Pop(crossing)) kinds.push_back(crossing.kind);
        EXPECT_EQ(kinds, c.kinds);
        EXPECT_EQ(m_link.GetValue(0), c.lastFirstValue);
    }
    EXPECT_EQ(m_link.GetMalformedCount(), 0u);
    // A bundle with nothing in it is valid OSC: it changes nothing and is no fault.
    const Bytes empty = Bundle(1, {});
    ASSERT_TRUE(m_source.SendBytes(m_port, empty.data(), empty.size()));
    ASSERT_TRUE(m_source.SendBytes(m_port, stop.data(), stop.size()));
    ASSERT_TRUE(PollUntilHandled());
    EXPECT_EQ(m_link.GetValue(0), -255.0);
    EXPECT_EQ(m_link.GetMalformedCount(), 0u);
}

// The later messages of a bundle give their values too: the latest message wins.
TEST_F(OscConnectionTest, BundleLeavesItsLastMessagesValues)
{
    const Bytes bundle =
        Bundle(1, {Packet(Floats("/a", {1.0f})), Packet(Floats("/b", {2.0f, 3.0f}))});
    ASSERT_TRUE(m_source.SendBytes(m_port, bundle.data(), bundle.size()));
    ASSERT_TRUE(PollUntilHandled());
    EXPECT_EQ(m_link.GetValue(0), 2.0);
    EXPECT_EQ(m_link.GetValue(1), 3.0);
}

TEST_F(OscConnectionTest, MalformedPacketsAreDroppedAndTheLinkGoesOn)
{
    const std::vector<std::vector<uint8_t>> bad = {
        {'/', 'x', 0, 0, ',', 'f'},                      // length not a multiple of 4
        {'x', 0, 0, 0, ',', 'f', 0, 0, 0, 0, 0, 0},      // address without '/'
        {'/', 'x', 0, 0, 'f', 0, 0, 0, 0, 0, 0, 0},      // tags without ','
        {'/', 'x', 0, 0, ',', 'f', 'f', 0, 0, 0, 0, 0},  // second argument missing
        {'/', 'x', 0, 0, ',', 'x', 0, 0, 0, 0, 0, 0},    // unknown tag
        {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 6},  // bad element
    };
    for (const auto& packet : bad) {
        ASSERT_TRUE(m_source.SendBytes(m_port, packet.data(), packet.size()));
    }
    EXPECT_FALSE(m_link.Poll());
    double value = 0.0;
    EXPECT_FALSE(m_link.TakeFirstValue(value));
    ASSERT_TRUE(Deliver(Floats("/x", {9.0f})));
    EXPECT_EQ(m_link.GetValue(0), 9.0);
    // Each is counted; the first is said at once, the others wait for the next note.
    EXPECT_EQ(m_link.GetMalformedCount(), bad.size());
    const std::vector<std::string> said = m_console.Containing("malformed");
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0], "O <OSC> Ignored 1 malformed datagram on port " + std::to_string(m_port) +
                           " (1 in all)\n");
}

TEST_F(OscConnectionTest, RandomDatagramsNeverBreakTheLink)
{
    const unsigned seed = 20261207;
    std::mt19937 random(seed);
    for (int i = 0; i < 200; ++i) {
        std::vector<uint8_t> packet(4 * (1 + random() % 16));
        for (auto& byte : packet) byte = static_cast<uint8_t>(random());
        if (random() % 2 == 0) packet[0] = '/';
        ASSERT_TRUE(m_source.SendBytes(m_port, packet.data(), packet.size())) << "seed " << seed;
        if (i % 20 == 0) m_link.Poll();
    }
    while (m_link.Poll()) {
    }
    ASSERT_TRUE(Deliver(Floats("/x", {6.0f}))) << "seed " << seed;
    double value = 0.0;
    ASSERT_TRUE(m_link.TakeFirstValue(value));
    EXPECT_EQ(value, 6.0);
    // A flood is said once, then with a running count: not a line per datagram.
    EXPECT_GT(m_link.GetMalformedCount(), 0u);
    EXPECT_EQ(m_console.Containing("malformed").size(), 1u);
}

TEST_F(OscConnectionTest, CloseSaysGoodbyeAndStopsPolling)
{
    m_link.Close();
    Received goodbye;
    ASSERT_TRUE(m_source.Next(goodbye));
    EXPECT_EQ(goodbye.address, "/unity_sync/disconnect");
    EXPECT_FALSE(m_link.IsReady());
    EXPECT_FALSE(m_link.IsOpen());
    ASSERT_TRUE(m_source.Send(m_port, Floats("/x", {1.0f})));
    EXPECT_FALSE(m_link.Poll());
    m_link.Close();  // a second close sends nothing
    EXPECT_EQ(m_source.Drain(), 0);
}

TEST(OscConnectionOpen, FailuresGiveTheirCodeAndMessage)
{
    ConsoleCapture console;
    Peer source;
    Peer taken;
    {
        OscConnection link(nullptr);
        EXPECT_FALSE(link.Open("/s", "127.0.0.1", source.Port(), taken.Port()));
        EXPECT_EQ(link.LastResult(), kOscConnectListenFailed);
        EXPECT_TRUE(
            console.Has("O <OSC> Error Listening Port " + std::to_string(taken.Port()) + "\n"));
        EXPECT_FALSE(link.IsReady());
    }
    {
        OscConnection link(nullptr);
        EXPECT_FALSE(link.Open("/s", "127.0.0.1", 0, 0));
        EXPECT_EQ(link.LastResult(), kOscConnectAddressFailed);
        EXPECT_TRUE(console.Has("O <OSC> Error address : 127.0.0.1  Broadcast Port 0\n"));
    }
    {
        OscConnection link(nullptr);
        link.SetPatterns("/connect", "/disconnect");
        EXPECT_FALSE(link.Open("server", "127.0.0.1", source.Port(), 0));  // no leading '/'
        EXPECT_EQ(link.LastResult(), kOscConnectSendFailed);
        EXPECT_TRUE(console.Has("O <OSC> Unable to connect server\n"));
    }
    EXPECT_EQ(source.Drain(), 0);  // nothing went out, not even a goodbye
}

// A negative time-out would mean "wait forever" to the socket layer: a silent
// source would freeze the thread that connects, and every poll after it.
TEST(OscConnectionThreads, NegativeTimeoutsNeverWaitForever)
{
    ConsoleCapture console;
    Peer source;
    OscConnection link(nullptr);
    link.SetTimeouts(-1, -1);
    auto opened = std::async(std::launch::async, [&] {
        return link.Open("/s", "127.0.0.1", source.Port(), 0) && !link.Poll();
    });
    ASSERT_EQ(opened.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(opened.get());
}

TEST(OscTriggerThresholds, HighStartsLowStopsEqualityCountsNanNever)
{
    EXPECT_TRUE(IsOscTriggerStartValue(255.0, 255.0));
    EXPECT_TRUE(IsOscTriggerStartValue(300.0, 255.0));
    EXPECT_FALSE(IsOscTriggerStartValue(254.9, 255.0));
    EXPECT_FALSE(IsOscTriggerStartValue(std::nan(""), 255.0));
    EXPECT_TRUE(IsOscTriggerStopValue(-255.0, -255.0));
    EXPECT_TRUE(IsOscTriggerStopValue(-300.0, -255.0));
    EXPECT_FALSE(IsOscTriggerStopValue(0.0, -255.0));
    EXPECT_FALSE(IsOscTriggerStopValue(std::nan(""), -255.0));
    EXPECT_FALSE(IsOscTriggerStopValue(-1.0, std::nan("")));
}
