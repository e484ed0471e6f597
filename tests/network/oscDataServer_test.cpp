#include "network/oscDataServer.h"

#include <gtest/gtest.h>

#include "support/allocCounter.h"
#include "oscTestSupport.h"
#include "support/simSeeds.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <future>
#include <random>
#include <thread>

using osctest::ConsoleCapture;
using osctest::FreePort;
using osctest::Peer;
using osctest::Received;

namespace {

// A server listening on a free port whose out port is `local`'s.
struct ServerRig {
    explicit ServerRig(bool sendToLocal, int timeoutMs = 0)
    {
        OscServerSettings settings;
        settings.sendToLocal = sendToLocal;
        settings.timeoutMs = timeoutMs;
        server.SetSettings(settings);
        inPort = FreePort();
        started = server.Start(inPort, local.Port());
    }
    // Sends message from peer to the server's in port and runs a poll.
    bool Deliver(Peer& from, const OscMessage& message)
    {
        return from.Send(inPort, message) && server.Poll();
    }
    ConsoleCapture console;
    Peer local;  // listens at the server's out port
    OscDataServer server;
    int inPort = 0;
    bool started = false;
};

const std::vector<std::string> kWelcome = {"s:connected"};
const std::vector<std::string> kGoodbye = {"s:removed"};

OscMessage Request(const std::string& what) { return OscMessage("/AnalogServer/" + what); }

}  // namespace

TEST(OscDataServerTest, LocalPeerIsWelcomedAtTheStartThenGetsEveryFrame)
{
    ServerRig rig(true);
    ASSERT_TRUE(rig.started);
    EXPECT_TRUE(rig.server.IsStarted());
    EXPECT_TRUE(rig.server.IsConnected());
    Received message;
    ASSERT_TRUE(rig.local.Next(message));
    EXPECT_EQ(message.address, "/AnalogServer");
    EXPECT_EQ(message.args, kWelcome);
    EXPECT_TRUE(rig.console.Has("O <OSC> connected to 127.0.0.1\n"));

    const double values[2] = {1.0, 2.0};
    EXPECT_TRUE(rig.server.SetData("osc_device", values, 2, 0.5));
    ASSERT_TRUE(rig.local.Next(message));
    EXPECT_EQ(message.address, "/data/osc_device");
    EXPECT_EQ(message.tags, "fff");
    EXPECT_EQ(message.numbers, (std::vector<double>{0.5, 1.0, 2.0}));

    // A poll while connected does not welcome again; count 0 sends nothing.
    ASSERT_TRUE(rig.server.Poll());
    EXPECT_FALSE(rig.server.SetData("osc_device", values, 0, 1.0));
    EXPECT_TRUE(rig.server.SendEvent("osc_device", "start", 1.25));
    ASSERT_TRUE(rig.local.Next(message));
    EXPECT_EQ(message.address, "/event/osc_device");
    EXPECT_EQ(message.args, (std::vector<std::string>{"s:start", "f:1.25"}));
    EXPECT_EQ(rig.local.Drain(), 0);
}

// "Send to local" turned on while a client is connected serves the local peer from then
// on; turned off, it gets nothing more and the client goes on.
TEST(OscDataServerTest, LocalPeerIsServedFromWhenSendToLocalIsTurnedOn)
{
    ServerRig rig(false);
    ASSERT_TRUE(rig.started);
    Peer other;
    ASSERT_TRUE(rig.server.AddConfiguredClient(other.HostPort()));
    OscServerSettings settings = rig.server.Settings();
    settings.sendToLocal = true;
    rig.server.SetSettings(settings);
    const double value = 7.0;
    ASSERT_TRUE(rig.server.SetData("dev", &value, 1, 0.0));
    Received message;
    ASSERT_TRUE(rig.local.Next(message));
    EXPECT_EQ(message.args, kWelcome);
    ASSERT_TRUE(rig.local.Next(message));
    EXPECT_EQ(message.numbers.back(), 7.0);
    // Off again: the local peer gets nothing more, the client goes on.
    settings.sendToLocal = false;
    rig.server.SetSettings(settings);
    ASSERT_TRUE(rig.server.Poll());
    ASSERT_TRUE(rig.server.SetData("dev", &value, 1, 0.1));
    EXPECT_EQ(rig.local.Drain(), 0);
    EXPECT_EQ(other.Drain(), 3);  // welcome and two frames
}

TEST(OscDataServerTest, SettingsShapeDataAndEvents)
{
    ServerRig rig(true);
    ASSERT_TRUE(rig.started);
    OscServerSettings settings = rig.server.Settings();
    settings.serverSendTime = false;
    settings.useDouble = true;
    settings.trackerServerName = "/Other";
    settings.serverConnected = "hello";
    settings.serverDataTag = "/values";
    rig.server.SetSettings(settings);
    Received message;
    ASSERT_TRUE(rig.local.Next(message));  // the welcome of the start
    EXPECT_EQ(message.address, "/AnalogServer");
    ASSERT_TRUE(rig.server.Poll());

    const double values[3] = {0.25, -1.0, 3.0};
    ASSERT_TRUE(rig.server.SetData("dev", values, 3, 9.0));
    ASSERT_TRUE(rig.local.Next(message));
    EXPECT_EQ(message.address, "/values/dev");
    EXPECT_EQ(message.tags, "ddd");
    EXPECT_EQ(message.numbers, (std::vector<double>{0.25, -1.0, 3.0}));
    ASSERT_TRUE(rig.server.SendEvent("dev", "mark", 2.0));
    ASSERT_TRUE(rig.local.Next(message));
    EXPECT_EQ(message.tags, "sd");
}

TEST(OscDataServerTest, ConnectRequestDisconnectFromAPeer)
{
    ServerRig rig(false);
    ASSERT_TRUE(rig.started);
    Peer requester;
    const std::string port = std::to_string(requester.Port());

    // Nothing is sent before someone asks, with send_to_local off.
    ASSERT_TRUE(rig.server.Poll());
    EXPECT_FALSE(rig.server.IsConnected());

    ASSERT_TRUE(requester.Send(rig.inPort, Request("connect")));
    rig.server.SetSettings([&] {
        OscServerSettings s = rig.server.Settings();
        s.timeoutMs = osctest::kArriveMs;  // wait for the request, not for time
        return s;
    }());
    ASSERT_TRUE(rig.server.Poll());
    Received message;
    // The reply goes to the requester's host at the out port.
    ASSERT_TRUE(rig.local.Next(message));
    EXPECT_EQ(message.args, kWelcome);
    EXPECT_TRUE(rig.server.IsConnected());
    EXPECT_EQ(rig.server.ClientCount(), 1u);
    EXPECT_TRUE(rig.console.Has("O <OSC> Trying to connect [IPv4 127.0.0.1:" + port + "]\n"));
    EXPECT_TRUE(rig.console.Has("O <OSC> Adding 127.0.0.1\n"));

    // A second request from the same host changes nothing.
    Peer again;
    ASSERT_TRUE(rig.Deliver(again, Request("connect")));
    EXPECT_TRUE(rig.console.Has("O <OSC> 127.0.0.1:" + std::to_string(again.Port()) +
                                " is already connected !\n"));
    EXPECT_EQ(rig.server.ClientCount(), 1u);
    // Repeated requests used to print a line each: they are counted, said again later.
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(rig.Deliver(again, Request("connect")));
    }
    EXPECT_EQ(rig.console.Containing("is already connected").size(), 1u);
    EXPECT_EQ(rig.server.ClientCount(), 1u);

    const double values[1] = {7.0};
    ASSERT_TRUE(rig.server.SetData("dev", values, 1, 1.0));
    ASSERT_TRUE(rig.local.Next(message));
    // A data request resends the stored frame.
    ASSERT_TRUE(rig.Deliver(requester, Request("request")));
    ASSERT_TRUE(rig.local.Next(message));
    EXPECT_EQ(message.address, "/data/dev");
    EXPECT_EQ(message.numbers, (std::vector<double>{1.0, 7.0}));

    // Unknown addresses and malformed packets are ignored.
    ASSERT_TRUE(rig.Deliver(requester, OscMessage("/AnalogServer/other")));
    const char garbage[] = "/AnalogServer/disconnect";  // no type tags
    ASSERT_TRUE(requester.SendBytes(rig.inPort, garbage, 24));
    ASSERT_TRUE(rig.server.Poll());
    EXPECT_EQ(rig.server.ClientCount(), 1u);

    ASSERT_TRUE(rig.Deliver(requester, Request("disconnect")));
    ASSERT_TRUE(rig.local.Next(message));
    EXPECT_EQ(message.args, kGoodbye);
    EXPECT_TRUE(rig.console.Has("O <OSC> Removing [127.0.0.1]\n"));
    EXPECT_EQ(rig.server.ClientCount(), 0u);

    ASSERT_TRUE(rig.Deliver(requester, Request("disconnect")));
    EXPECT_TRUE(rig.console.Has("O <OSC> 127.0.0.1 is not connected\n"));
    // No client and send_to_local off: the next poll stops the data.
    ASSERT_TRUE(rig.Deliver(requester, OscMessage("/wake")));
    EXPECT_FALSE(rig.server.IsConnected());
    EXPECT_FALSE(rig.server.SetData("dev", values, 1, 2.0));
    EXPECT_EQ(rig.local.Drain(), 0);
}

TEST(OscDataServerTest, RequestAddressesIgnoreLoadedPatterns)
{
    ServerRig rig(false, osctest::kArriveMs);
    ASSERT_TRUE(rig.started);
    OscServerSettings settings = rig.server.Settings();
    settings.trackerServerName = "/Other";
    settings.connectPattern = "/join";
    rig.server.SetSettings(settings);
    Peer requester;
    ASSERT_TRUE(rig.Deliver(requester, OscMessage("/Other/join")));
    EXPECT_EQ(rig.server.ClientCount(), 0u);
    ASSERT_TRUE(rig.Deliver(requester, Request("connect")));
    Received message;
    ASSERT_TRUE(rig.local.Next(message));
    EXPECT_EQ(message.address, "/Other");  // replies follow the loaded name
    EXPECT_EQ(rig.server.ClientCount(), 1u);
}

// A peer that asked to connect and was then configured at the same destination was
// listed twice and welcomed twice. One destination, one client, one welcome, whichever
// came first. Removing the entry cut the peer off, although it had asked for data itself:
// its own request now stands until it disconnects, and only then is it said goodbye.
TEST(OscDataServerTest, ADirectClientAndAConfiguredEntryAreOneClient)
{
    for (const bool requestFirst : {true, false}) {
        for (const bool removeFirst : {true, false}) {
            SCOPED_TRACE(std::string(requestFirst ? "request first" : "entry first") +
                         (removeFirst ? ", entry removed first" : ", disconnect first"));
            ServerRig rig(false, osctest::kArriveMs);
            ASSERT_TRUE(rig.started);
            Peer requester;
            const auto request = [&](const char* what) {
                ASSERT_TRUE(rig.Deliver(requester, Request(what)));
            };
            // Replies to the requester go to its host at the out port: rig.local.
            if (requestFirst) request("connect");
            ASSERT_TRUE(rig.server.AddConfiguredClient(rig.local.HostPort()));
            if (!requestFirst) request("connect");
            Received message;
            ASSERT_TRUE(rig.local.Next(message));
            EXPECT_EQ(message.args, kWelcome);
            EXPECT_EQ(rig.local.Drain(), 0);  // no second welcome
            EXPECT_EQ(rig.server.ClientCount(), 1u);
            EXPECT_EQ(rig.server.ConfiguredClientCount(), 1u);
            if (requestFirst)
                EXPECT_TRUE(rig.console.Has("O <OSC> Adding client 127.0.0.1 : " +
                                            std::to_string(rig.local.Port()) +
                                            " (connected already: no second welcome)\n"));
            else
                EXPECT_TRUE(rig.console.Has("O <OSC> 127.0.0.1:" +
                                            std::to_string(requester.Port()) +
                                            " is already connected !\n"));
            const double value = 2.0;
            if (removeFirst) {
                // The entry goes; the peer's own request keeps its data, without a goodbye.
                EXPECT_TRUE(rig.server.RemoveConfiguredClient(rig.local.HostPort()));
                EXPECT_TRUE(rig.console.Has(
                    "O <OSC> Removing client 127.0.0.1 : " + std::to_string(rig.local.Port()) +
                    " from the configured clients; it asked for data itself and keeps it until "
                    "it disconnects\n"));
                EXPECT_EQ(rig.server.ConfiguredClientCount(), 0u);
                EXPECT_EQ(rig.server.ClientCount(), 1u);
            }
            ASSERT_TRUE(rig.server.SetData("dev", &value, 1, 0.0));
            ASSERT_TRUE(rig.local.Next(message));
            EXPECT_EQ(message.address, "/data/dev");
            EXPECT_EQ(rig.local.Drain(), 0);
            // The peer leaves: a goodbye, and its data stops.
            request("disconnect");
            ASSERT_TRUE(rig.local.Next(message));
            EXPECT_EQ(message.args, kGoodbye);
            EXPECT_EQ(rig.server.ClientCount(), 0u);
            EXPECT_FALSE(rig.server.SetData("dev", &value, 1, 0.0));
            EXPECT_EQ(rig.local.Drain(), 0);
            // An entry left after the peer's goodbye can still be removed.
            EXPECT_EQ(rig.server.RemoveConfiguredClient(rig.local.HostPort()), !removeFirst);
            EXPECT_EQ(rig.server.ConfiguredClientCount(), 0u);
            EXPECT_FALSE(rig.server.RemoveConfiguredClient(rig.local.HostPort()));
        }
    }
}

// The configured entry's position used to pick the live client to remove,
// although requests had put other clients before it. A request from the host of an
// entry at another port was answered "already connected" and got no data: a client is
// a host and a port.
TEST(OscDataServerTest, RemovingAnEntryRemovesTheClientItMade)
{
    ServerRig rig(false, osctest::kArriveMs);
    ASSERT_TRUE(rig.started);
    Peer requester, configured;
    Received message;
    ASSERT_TRUE(rig.server.AddConfiguredClient(configured.HostPort()));
    ASSERT_TRUE(configured.Next(message));
    ASSERT_TRUE(rig.Deliver(requester, Request("connect")));
    ASSERT_TRUE(rig.local.Next(message));  // the requester's welcome, at the out port
    ASSERT_EQ(rig.server.ClientCount(), 2u);

    EXPECT_TRUE(rig.server.RemoveConfiguredClient(configured.HostPort()));
    EXPECT_TRUE(rig.console.Has(
        "O <OSC> Removing client 127.0.0.1 : " + std::to_string(configured.Port()) + "\n"));
    EXPECT_EQ(rig.server.ConfiguredClientCount(), 0u);
    ASSERT_TRUE(configured.Next(message));  // its data stops: it is said goodbye
    EXPECT_EQ(message.args, kGoodbye);
    const double value = 4.0;
    ASSERT_TRUE(rig.server.SetData("dev", &value, 1, 0.0));
    EXPECT_EQ(rig.local.Drain(), 1);   // the requester still gets data
    EXPECT_EQ(configured.Drain(), 0);  // the removed client does not

    // Nothing left to remove for that text.
    EXPECT_FALSE(rig.server.RemoveConfiguredClient(configured.HostPort()));
}

TEST(OscDataServerTest, ConfiguredClientsAreAddedAgainAfterARestart)
{
    ServerRig rig(false);
    ASSERT_TRUE(rig.started);
    Peer a;
    Peer b;
    ASSERT_TRUE(rig.server.AddConfiguredClient(a.HostPort()));
    ASSERT_TRUE(rig.server.AddConfiguredClient(b.HostPort()));
    EXPECT_FALSE(rig.server.AddConfiguredClient("127.0.0.1:70000"));  // would wrap to 4464
    EXPECT_FALSE(rig.server.AddConfiguredClient("nohost"));
    EXPECT_EQ(rig.server.ConfiguredClientCount(), 2u);
    ASSERT_TRUE(rig.server.Close());
    EXPECT_EQ(a.Drain() + b.Drain(), 4);  // welcome and goodbye each

    ASSERT_TRUE(rig.server.Start(0, 0));  // the stored ports
    EXPECT_EQ(rig.server.InPort(), rig.inPort);
    ASSERT_TRUE(rig.server.AddConfiguredClients());
    EXPECT_EQ(rig.server.ClientCount(), 2u);
    const double value = 2.0;
    ASSERT_TRUE(rig.server.SetData("dev", &value, 1, 0.0));
    EXPECT_EQ(a.Drain(), 2);
    EXPECT_EQ(b.Drain(), 2);

    // The removed entry's client goes, with a goodbye; the other stays.
    EXPECT_TRUE(rig.server.RemoveConfiguredClient(a.HostPort()));
    ASSERT_TRUE(rig.server.SetData("dev", &value, 1, 0.0));
    EXPECT_EQ(a.Drain(), 1);
    EXPECT_EQ(b.Drain(), 1);
    EXPECT_TRUE(rig.server.ClearConfiguredClients());
    EXPECT_EQ(rig.server.ClientCount(), 0u);
    EXPECT_EQ(rig.server.GetConfiguredClient(0), "");
}

TEST(OscDataServerTest, StartFailuresAreReported)
{
    ConsoleCapture console;
    Peer busy;
    OscDataServer server;
    EXPECT_FALSE(server.Start(busy.Port(), 12000));
    EXPECT_TRUE(console.Has("E <OSC> Error opening port " + std::to_string(busy.Port()) +
                            ": bind failed: port " + std::to_string(busy.Port()) + " is in use\n"));
    EXPECT_FALSE(server.IsStarted());
    EXPECT_FALSE(server.Poll());
    EXPECT_TRUE(server.Close());
    EXPECT_FALSE(server.Start(70000, 12000));
    EXPECT_FALSE(server.Start(FreePort(), 65536));
    EXPECT_FALSE(server.IsStarted());
    EXPECT_FALSE(server.AddConfiguredClient("127.0.0.1:5000"));
    EXPECT_EQ(server.ConfiguredClientCount(), 0u);
}

TEST(OscDataServerTest, NegativeTimeOutDoesNotBlockThePoll)
{
    ServerRig rig(false, -1);
    ASSERT_TRUE(rig.started);
    auto poll = std::async(std::launch::async, [&] { return rig.server.Poll(); });
    if (poll.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        Peer waker;  // free the stuck poll so the test can end
        waker.Send(rig.inPort, OscMessage("/wake"));
        ADD_FAILURE() << "a negative time-out blocked the poll";
    }
    EXPECT_TRUE(poll.get());
    EXPECT_EQ(ClampOscPollTimeout(-5), 0);
    EXPECT_EQ(ClampOscPollTimeout(30), 30);
    EXPECT_EQ(ClampOscPollTimeout(100000), kOscMaxPollTimeoutMs);
}

// The poll's receive wait used to hold the server lock: every acquisition
// thread stalled for the whole time-out on each idle pass of the GUI thread.
TEST(OscDataServerThreads, PollWaitDoesNotStallTheSenders)
{
    ServerRig rig(true, kOscMaxPollTimeoutMs);
    ASSERT_TRUE(rig.started);
    auto poll = std::async(std::launch::async, [&] { return rig.server.Poll(); });
    // The local welcome leaves just before the poll starts waiting.
    Received message;
    ASSERT_TRUE(rig.local.Next(message));
    // A held lock would keep the first of these calls until the wait ends: the frames
    // go out while the poll still waits (a hundred take a few ms, the wait a second).
    for (int frame = 0; frame < 100; ++frame) {
        const double value = frame;
        ASSERT_TRUE(rig.server.SetData("dev", &value, 1, 0.0));
    }
    EXPECT_NE(poll.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    Peer waker;
    ASSERT_TRUE(waker.Send(rig.inPort, OscMessage("/wake")));
    ASSERT_EQ(poll.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(poll.get());
}

namespace {

// Holds every data datagram of the device named "held" inside its send until released.
struct SendHold {
    std::promise<void> entered;
    std::atomic<bool> hasEntered{false};
    std::promise<void> release;
    std::shared_future<void> released{release.get_future().share()};

    static void Observe(void* context, const std::uint8_t* packet, std::size_t size)
    {
        static const std::string kHeld = "/data/held";
        auto* hold = static_cast<SendHold*>(context);
        if (size < kHeld.size() + 1 || std::memcmp(packet, kHeld.c_str(), kHeld.size() + 1) != 0)
            return;
        if (!hold->hasEntered.exchange(true)) hold->entered.set_value();
        hold->released.wait();
    }
};

}  // namespace

// One lock around every device's encoding and sending: a device whose send was held
// (a preempted sender) held every other device's frames with it, and they shared one
// message buffer. Each device now builds its own message and sends without a lock of
// all devices; the held device's frame still goes out whole once it goes on.
TEST(OscDataServerThreads, DeviceHeldInsideItsSendDoesNotHoldTheOthersBack)
{
    ServerRig rig(false);
    ASSERT_TRUE(rig.started);
    Peer client;
    ASSERT_TRUE(rig.server.AddConfiguredClient(client.HostPort()));
    Received message;
    ASSERT_TRUE(client.Next(message));  // the welcome
    SendHold hold;
    rig.server.SetSendObserver(&SendHold::Observe, &hold);
    struct Release {
        SendHold& hold;
        ~Release() { hold.release.set_value(); }  // also when an assertion ends the test
    };
    std::future<bool> held;
    {
        Release release{hold};
        held = std::async(std::launch::async, [&] {
            const double values[3] = {7.0, 8.0, 9.0};
            return rig.server.SetData("held", values, 3, 0.5);
        });
        ASSERT_EQ(hold.entered.get_future().wait_for(std::chrono::seconds(10)),
                  std::future_status::ready);
        for (int threads : {1, 3}) {
            std::vector<std::future<int>> others;
            for (int t = 0; t < threads; ++t) {
                others.push_back(std::async(std::launch::async, [&, t] {
                    const std::string name = "free" + std::to_string(t);
                    int sent = 0;
                    for (int frame = 0; frame < 200; ++frame) {
                        const double values[2] = {double(frame), double(t)};
                        sent += rig.server.SetData(name.c_str(), values, 2, frame * 0.001) ? 1 : 0;
                    }
                    sent += rig.server.SendEvent(name.c_str(), "mark", 0.25) ? 1 : 0;
                    return sent;
                }));
            }
            // The bound only ends a broken build: the held send stays held meanwhile.
            for (auto& other : others) {
                ASSERT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
                EXPECT_EQ(other.get(), 201);
            }
            std::vector<int> next(static_cast<std::size_t>(threads), 0);
            for (int i = 0; i < threads * 201; ++i) {
                ASSERT_TRUE(client.Next(message)) << i;
                if (message.address.rfind("/event/", 0) == 0) continue;
                ASSERT_EQ(message.numbers.size(), 3u) << message.address;
                const auto t = static_cast<std::size_t>(message.numbers[2]);
                ASSERT_LT(t, next.size());
                EXPECT_EQ(message.address, "/data/free" + std::to_string(t));
                EXPECT_EQ(message.numbers[1], next[t]++);
            }
            for (int count : next) EXPECT_EQ(count, 200);
            EXPECT_NE(held.wait_for(std::chrono::seconds(0)), std::future_status::ready);
        }
    }
    ASSERT_EQ(held.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(held.get());
    ASSERT_TRUE(client.Next(message));
    EXPECT_EQ(message.address, "/data/held");
    EXPECT_EQ(message.numbers, (std::vector<double>{0.5, 7.0, 8.0, 9.0}));
    rig.server.SetSendObserver(nullptr, nullptr);
    EXPECT_TRUE(rig.server.Close());
}

// Each sending thread encodes in buffers of its own, sized on its first message: its
// frames and events allocate nothing after that, also when the clients change.
TEST(OscDataServerTest, FramesAndEventsAllocateNothingAfterTheFirst)
{
    ServerRig rig(false);
    ASSERT_TRUE(rig.started);
    Peer first;
    Peer second;
    ASSERT_TRUE(rig.server.AddConfiguredClient(first.HostPort()));
    std::vector<double> values(OscDataServer::kReservedValues, 0.5);
    auto sendAll = [&] {
        bool sent = true;
        for (int frame = 0; frame < 200; ++frame) {
            const int count = 1 + (frame * 37) % static_cast<int>(values.size());
            sent = rig.server.SetData("device name", values.data(), count, frame * 0.001) && sent;
            if (frame % 50 == 0) sent = rig.server.SendEvent("device name", "a label", 0.5) && sent;
        }
        return sent;
    };
    std::thread device([&] {
        EXPECT_TRUE(sendAll());  // sizes this thread's buffers
        {
            CAllocationCount count;
            EXPECT_TRUE(sendAll());
            EXPECT_EQ(count.Count(), 0u);
        }
        ASSERT_TRUE(rig.server.AddConfiguredClient(second.HostPort()));
        CAllocationCount count;
        EXPECT_TRUE(sendAll());
        EXPECT_EQ(count.Count(), 0u);
    });
    device.join();
    EXPECT_TRUE(rig.server.Close());
}

// Close waits for the sends in progress before it says goodbye and closes the socket
// that the devices send on: no frame follows the goodbye, whatever the senders did.
TEST(OscDataServerThreads, NoFrameFollowsTheGoodbyeWhileDevicesSend)
{
    ServerRig rig(false);
    ASSERT_TRUE(rig.started);
    Peer client;
    ASSERT_TRUE(rig.server.AddConfiguredClient(client.HostPort()));
    constexpr int kSenders = 4;
    constexpr int kRounds = 20;
    constexpr int kFramesPerRound = 50;
    std::mutex mutex;
    std::condition_variable changed;
    int round = 0;     // a new round lets each sender send its frames
    int finished = 0;  // senders done with the current round
    std::vector<std::thread> senders;
    for (int t = 0; t < kSenders; ++t) {
        senders.emplace_back([&, t] {
            const std::string name = "dev" + std::to_string(t);
            for (int mine = 1; mine <= kRounds; ++mine) {
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    changed.wait(lock, [&] { return round >= mine; });
                }
                for (int frame = 0; frame < kFramesPerRound; ++frame) {
                    const double value = frame;
                    rig.server.SetData(name.c_str(), &value, 1, 0.0);
                }
                std::lock_guard<std::mutex> lock(mutex);
                ++finished;
                changed.notify_all();
            }
        });
    }
    Received message;
    for (int r = 1; r <= kRounds; ++r) {
        if (r > 1) {
            ASSERT_TRUE(rig.server.Start(rig.inPort, rig.local.Port()));
            ASSERT_TRUE(rig.server.AddConfiguredClients());
        }
        ASSERT_TRUE(client.Next(message));
        ASSERT_EQ(message.args, kWelcome);
        {
            std::lock_guard<std::mutex> lock(mutex);
            round = r;
            finished = 0;
        }
        changed.notify_all();
        // Close while the devices send: the first frame of the round has come.
        do {
            ASSERT_TRUE(client.Next(message)) << r;
        } while (message.address.rfind("/data/", 0) != 0);
        ASSERT_TRUE(rig.server.Close());
        do {
            ASSERT_TRUE(client.Next(message)) << r;
        } while (message.args != kGoodbye);
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return finished == kSenders; });
        }
        // The loopback queues each datagram before send returns: all of them are here.
        EXPECT_FALSE(client.Next(message, 0)) << r << " " << message.address;
    }
    for (std::thread& sender : senders) sender.join();
}

// Device names are one address part: the characters an OSC address part may not hold,
// and '/', become '_' (also without oscdump at hand).
TEST(OscDataServerTest, DeviceNamesBecomeOneAddressPart)
{
    ServerRig rig(true);
    ASSERT_TRUE(rig.started);
    Received message;
    ASSERT_TRUE(rig.local.Next(message));  // the welcome
    const double value = 2.0;
    ASSERT_TRUE(rig.server.SetData("Tracker0@tcp://h:3883 #1", &value, 1, 0.0));
    ASSERT_TRUE(rig.local.Next(message));
    EXPECT_EQ(message.address, "/data/Tracker0@tcp:__h:3883__1");
    ASSERT_TRUE(rig.server.SendEvent("a/b", "x", 0.0));
    ASSERT_TRUE(rig.local.Next(message));
    EXPECT_EQ(message.address, "/event/a_b");
}

// A frame too large for one datagram (here 17000 values; a route that went away is the
// same) failed to every destination and was counted without a word. Each destination's
// first failure is said with its reason, then counted, and the count is said when sending
// works again or at close. Devices send big and small frames on their own threads while
// the polls run where the seed puts them, and the seed draws the clients (one to three, and
// the local peer, served before any poll) and whether entries and requests come and go
// meanwhile. Every steady client gets each small frame once, in order per device, and its
// goodbye at close; the counts said equal the failures, per destination.
class OscSendFailureThreads : public ::testing::TestWithParam<uint32_t> {};

TEST_P(OscSendFailureThreads, EachDestinationsFailuresAreSaidWithTheirCount)
{
    const uint32_t seed = GetParam();
    SCOPED_TRACE("replay with QV_SIM_SEED=" + std::to_string(seed));
    std::mt19937 draw(seed);
    const bool toLocal = draw() % 2 == 0;
    const bool churns = draw() % 2 == 0;  // entries and requests come and go while sending
    const bool sharesLocal = toLocal && draw() % 2 == 0;  // an entry at the local peer's address
    ServerRig rig(toLocal);
    ASSERT_TRUE(rig.started);
    std::vector<Peer> peers(1 + draw() % 3);
    Received welcome;
    for (Peer& peer : peers) {
        ASSERT_TRUE(rig.server.AddConfiguredClient(peer.HostPort()));
        EXPECT_TRUE(rig.console.Has("O <OSC> Adding client 127.0.0.1 : " +
                                    std::to_string(peer.Port()) + "\n"));
        ASSERT_TRUE(peer.Next(welcome));
        EXPECT_EQ(welcome.args, kWelcome);
    }
    // The steady destinations: the clients, and the local peer when it is served.
    std::vector<Peer*> steady;
    for (Peer& peer : peers) steady.push_back(&peer);
    if (toLocal) {
        ASSERT_TRUE(rig.local.Next(welcome));
        EXPECT_EQ(welcome.args, kWelcome);
        steady.push_back(&rig.local);
    }
    // One destination, one client: no second welcome, one copy of each frame, and an entry
    // for it again is refused.
    if (sharesLocal) {
        ASSERT_TRUE(rig.server.AddConfiguredClient(rig.local.HostPort()));
        std::string reason;
        EXPECT_FALSE(rig.server.AddConfiguredClient(rig.local.HostPort(), &reason));
        EXPECT_EQ(reason, "already in the list as " + rig.local.HostPort());
    }
    // Per device thread, which of its frames are too big.
    const int threads = 1 + static_cast<int>(draw() % 3);
    std::vector<std::vector<bool>> plans(static_cast<size_t>(threads));
    int big = 0;
    int small = 0;
    for (auto& plan : plans) {
        const int stretch = 1 + static_cast<int>(draw() % 40);  // frames per big/small run
        bool isBig = draw() % 2 == 0;
        for (int frame = 0; frame < 200; ++frame) {
            if (frame % stretch == 0 && draw() % 2 == 0) isBig = !isBig;
            plan.push_back(isBig);
            (isBig ? big : small) += 1;
        }
    }
    const bool endsFailing = draw() % 2 == 0;  // the last frame fails, told only at close
    std::atomic<int> running{threads};
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([&, t] {
            const std::string name = "dev" + std::to_string(t);
            std::vector<double> values(17000, 0.5);
            int frame = 0;
            for (const bool isBig : plans[static_cast<size_t>(t)]) {
                values[0] = frame++;
                rig.server.SetData(name.c_str(), values.data(), isBig ? 17000 : 2, 0.0);
            }
            running.fetch_sub(1);
        });
    }
    std::vector<int> received(steady.size(), 0);
    std::vector<std::vector<int>> lastFrame(steady.size(), std::vector<int>(threads + 1, -1));
    std::vector<bool> saidGoodbye(steady.size(), false);
    std::vector<int> replies(steady.size(), 0);  // messages besides the data after the welcome
    const auto take = [&](size_t p, const Received& message) {
        saidGoodbye[p] = message.args == kGoodbye;
        if (message.address.compare(0, 9, "/data/dev") != 0) {
            ++replies[p];
            return;
        }
        ++received[p];
        const auto t = static_cast<size_t>(std::stoi(message.address.substr(9)));
        ASSERT_LT(t, lastFrame[p].size());
        ASSERT_EQ(message.numbers.size(), 3u);
        EXPECT_LT(lastFrame[p][t], message.numbers[1]) << message.address << ": twice or back";
        lastFrame[p][t] = static_cast<int>(message.numbers[1]);
    };
    const auto drain = [&] {
        Received message;
        for (size_t p = 0; p < steady.size(); ++p)
            while (steady[p]->Next(message, 0)) take(p, message);
    };
    Peer coming;
    Peer requester;
    for (int round = 0; running.load() > 0; ++round) {
        // No assertion may end the test while the senders run.
        if (draw() % 4 == 0) {
            EXPECT_TRUE(rig.server.Poll());
        }
        if (churns) {
            EXPECT_TRUE(rig.server.AddConfiguredClient(coming.HostPort()));
            EXPECT_TRUE(rig.server.RemoveConfiguredClient(coming.HostPort()));
            requester.Send(rig.inPort, Request(round % 2 ? "connect" : "disconnect"));
        }
        drain();
        std::this_thread::yield();
    }
    for (std::thread& sender : senders) sender.join();
    ASSERT_TRUE(rig.server.Poll());
    std::vector<double> last(17000, 1.0);
    last[0] = 200;
    rig.server.SetData("dev0", last.data(), endsFailing ? 17000 : 2, 0.0);
    (endsFailing ? big : small) += 1;
    ASSERT_TRUE(rig.server.Poll());
    ASSERT_TRUE(rig.server.Close());
    // Entries outlive the server.
    EXPECT_EQ(rig.server.ConfiguredClientCount(), peers.size() + (sharesLocal ? 1 : 0));
    for (size_t p = 0; p < steady.size(); ++p) {
        SCOPED_TRACE("peer " + std::to_string(p));
        Received message;
        while (steady[p]->Next(message, osctest::kQuietMs)) take(p, message);
        EXPECT_EQ(received[p], small);
        // A client hears its goodbye, once, and nothing else; the local peer nothing but its
        // data, and the goodbye of an entry at its address (requests from its host are
        // answered there).
        if (steady[p] != &rig.local) {
            EXPECT_TRUE(saidGoodbye[p]) << "no goodbye at close";
            EXPECT_EQ(replies[p], 1);
        } else if (!churns) {
            EXPECT_EQ(replies[p], sharesLocal ? 1 : 0);
        }
        // Each stretch of failures: its first said with the reason, then its count.
        const std::string prefix =
            "E <OSC> Sending to 127.0.0.1:" + std::to_string(steady[p]->Port());
        const std::vector<std::string> said = rig.console.Containing(prefix);
        int counted = 0;
        for (size_t i = 0; i < said.size(); ++i) {
            if (i % 2 == 0) {
                EXPECT_EQ(said[i], prefix + " failed: Message too long; failures are counted "
                                            "until it works again\n");
                continue;
            }
            counted += std::stoi(said[i].substr(prefix.size() + 2));
            const std::string end = said[i].substr(said[i].find(" datagrams failed"));
            EXPECT_TRUE(end == " datagrams failed; it works again\n" ||
                        end == " datagrams failed, until the server closed\n")
                << said[i];
        }
        EXPECT_EQ(said.size() % 2, 0u);
        EXPECT_EQ(counted, big);
        EXPECT_EQ(said.empty(), big == 0);
        EXPECT_TRUE(!endsFailing ||
                    (!said.empty() && said.back().find("until the server closed") != std::string::npos));
    }
    if (!churns) {
        EXPECT_EQ(rig.server.Stats().sendFailures, static_cast<std::uint64_t>(steady.size() * big));
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, OscSendFailureThreads, ::testing::ValuesIn(SimSeeds(4)),
                         SimSeedName());
