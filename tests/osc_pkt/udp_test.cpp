#include "osc_pkt/udp.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "support/arrivalStamps.h"

namespace {

// A port nobody listens on: bound, read back, released.
int FreePort()
{
    UdpEndpoint probe;
    EXPECT_TRUE(probe.BindTo(0)) << probe.ErrorText();
    return probe.LocalAddress().Port();
}

std::int64_t MonotonicNowNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

}  // namespace

// Datagrams read long after they came each carry when they reached the machine,
// not when they were read.
TEST(UdpEndpointTest, DatagramReadLateKeepsWhenItCame)
{
    ASSERT_TRUE(WaitForArrivalStamps());
    UdpEndpoint receiver;
    ASSERT_TRUE(receiver.BindTo(0)) << receiver.ErrorText();
    UdpEndpoint sender;
    ASSERT_TRUE(sender.ConnectTo("127.0.0.1", receiver.LocalAddress().Port()));
    constexpr std::int64_t kSlackNs = 2000000;  // wall clock to monotonic, and their rates
    std::int64_t sent[2][2] = {};
    for (auto& window : sent) {
        window[0] = MonotonicNowNs();
        ASSERT_TRUE(sender.SendPacket("x", 1));
        window[1] = MonotonicNowNs();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (const auto& window : sent) {
        ASSERT_TRUE(receiver.ReceiveNextPacket(5000));
        const std::int64_t readNs = MonotonicNowNs();
        EXPECT_TRUE(receiver.IsArrivalStamped());
        EXPECT_GE(receiver.PacketArrivalNs(), window[0] - kSlackNs);
        EXPECT_LE(receiver.PacketArrivalNs(), window[1] + kSlackNs);
        EXPECT_LE(receiver.PacketArrivalNs(), readNs);
    }
}

TEST(UdpEndpointTest, DatagramsTravelBetweenLoopbackEndpoints)
{
    UdpEndpoint receiver;
    ASSERT_TRUE(receiver.BindTo(0)) << receiver.ErrorText();
    ASSERT_TRUE(receiver.IsBound());
    const int port = receiver.LocalAddress().Port();
    ASSERT_GT(port, 0);

    UdpEndpoint sender;
    ASSERT_TRUE(sender.ConnectTo("127.0.0.1", port)) << sender.ErrorText();
    EXPECT_FALSE(sender.IsBound());
    const std::string text = "hello";
    ASSERT_TRUE(sender.SendPacket(text.data(), text.size()));
    ASSERT_TRUE(receiver.ReceiveNextPacket(5000));
    EXPECT_EQ(
        std::string(reinterpret_cast<const char*>(receiver.PacketData()), receiver.PacketSize()),
        text);
    EXPECT_EQ(receiver.RemoteAddress().AsText(), "127.0.0.1");
    EXPECT_EQ(receiver.RemoteAddress().Family(), AF_INET);

    // Reply to the sender's address from the bound endpoint.
    UdpEndpoint answer;
    ASSERT_TRUE(answer.BindTo(0));
    UdpEndpoint listener;
    ASSERT_TRUE(listener.BindTo(0));
    NetAddress target;
    std::string error;
    ASSERT_TRUE(NetAddress::Resolve("127.0.0.1", listener.LocalAddress().Port(), target, error));
    EXPECT_EQ(target.Length(), sizeof(sockaddr_in));
    ASSERT_TRUE(answer.SendPacketTo("abcd", 4, target));
    ASSERT_TRUE(listener.ReceiveNextPacket(5000));
    EXPECT_EQ(listener.PacketSize(), 4u);
    EXPECT_EQ(listener.RemoteAddress().Port(), answer.LocalAddress().Port());

    // A zero-length datagram is a packet with no bytes; nothing is sent for 0 bytes.
    EXPECT_FALSE(answer.SendPacketTo("x", 0, target));
    EXPECT_FALSE(answer.SendPacketTo(nullptr, 4, target));
}

TEST(UdpEndpointTest, EveryDatagramReusesOneBuffer)
{
    UdpEndpoint receiver;
    ASSERT_TRUE(receiver.BindTo(0));
    UdpEndpoint sender;
    ASSERT_TRUE(sender.ConnectTo("127.0.0.1", receiver.LocalAddress().Port()));
    ASSERT_TRUE(sender.SendPacket("first...", 8));
    ASSERT_TRUE(receiver.ReceiveNextPacket(5000));
    const std::uint8_t* buffer = receiver.PacketData();
    ASSERT_TRUE(sender.SendPacket("2nd", 3));
    ASSERT_TRUE(receiver.ReceiveNextPacket(5000));
    EXPECT_EQ(receiver.PacketData(), buffer);
    EXPECT_EQ(receiver.PacketSize(), 3u);
}

TEST(UdpEndpointTest, ReceiveTimeOutZeroOnlyPolls)
{
    UdpEndpoint receiver;
    ASSERT_TRUE(receiver.BindTo(0));
    EXPECT_FALSE(receiver.ReceiveNextPacket(0));
    EXPECT_TRUE(receiver.IsOk());
    EXPECT_FALSE(receiver.ReceiveNextPacket(1));
    EXPECT_TRUE(receiver.IsOk());
    // The microsecond wait: nothing within it, then a datagram that waits is taken.
    EXPECT_FALSE(receiver.ReceiveNextPacketUs(0));
    EXPECT_FALSE(receiver.ReceiveNextPacketUs(300));
    EXPECT_TRUE(receiver.IsOk());
    UdpEndpoint sender;
    ASSERT_TRUE(sender.ConnectTo("127.0.0.1", receiver.LocalAddress().Port()));
    ASSERT_TRUE(sender.SendPacket("abcd", 4));
    ASSERT_TRUE(receiver.ReceiveNextPacketUs(5000000));
    EXPECT_EQ(receiver.PacketSize(), 4u);
}

TEST(UdpEndpointTest, OpeningFailuresLeaveAReason)
{
    UdpEndpoint first;
    ASSERT_TRUE(first.BindTo(0));
    UdpEndpoint second;
    EXPECT_FALSE(second.BindTo(first.LocalAddress().Port()));
    EXPECT_EQ(second.ErrorText(),
              "bind failed: port " + std::to_string(first.LocalAddress().Port()) + " is in use");
    EXPECT_FALSE(second.IsOk());

    UdpEndpoint unresolved;
    EXPECT_FALSE(unresolved.ConnectTo("no-such-host.invalid", 5000));
    EXPECT_FALSE(unresolved.ErrorText().empty());
    EXPECT_NE(unresolved.ErrorText(), "connect failed");

    // The resolver would wrap 70000 to 4464 without a word.
    for (int port : {-1, 65536, 70000}) {
        UdpEndpoint endpoint;
        EXPECT_FALSE(endpoint.BindTo(port)) << port;
        EXPECT_FALSE(endpoint.ConnectTo("127.0.0.1", port)) << port;
    }
    UdpEndpoint zero;
    EXPECT_FALSE(zero.ConnectTo("127.0.0.1", 0));
    NetAddress address;
    std::string error;
    EXPECT_FALSE(NetAddress::Resolve("127.0.0.1", 65536, address, error));
    EXPECT_FALSE(address.IsSet());

    UdpEndpoint never;
    EXPECT_FALSE(never.ReceiveNextPacket(0));
    EXPECT_EQ(never.ErrorText(), "not opened..");
    EXPECT_FALSE(never.SendPacket("abcd", 4));
}

TEST(UdpEndpointTest, ConnectedEndpointIgnoresRefusedPeers)
{
    // A connected socket learns of an absent peer by ICMP; that is no hard error.
    UdpEndpoint sender;
    ASSERT_TRUE(sender.ConnectTo("127.0.0.1", FreePort()));
    sender.SendPacket("abcd", 4);
    EXPECT_FALSE(sender.ReceiveNextPacket(50));
    EXPECT_TRUE(sender.IsOk());
}

TEST(NetAddressTest, TextPortAndComparison)
{
    NetAddress unset;
    EXPECT_EQ(unset.AsText(), "");
    EXPECT_EQ(unset.Port(), -1);
    EXPECT_EQ(unset.Length(), 0u);

    NetAddress a;
    NetAddress b;
    std::string error;
    ASSERT_TRUE(NetAddress::Resolve("127.0.0.1", 5000, a, error));
    ASSERT_TRUE(NetAddress::Resolve("127.0.0.1", 6000, b, error));
    EXPECT_EQ(a.AsText(), "127.0.0.1");
    EXPECT_EQ(a.Port(), 5000);
    EXPECT_FALSE(a.SameEndpoint(b));
    EXPECT_TRUE(a.SameEndpoint(b.WithPort(5000)));
    EXPECT_EQ(b.WithPort(12000).Port(), 12000);
}
