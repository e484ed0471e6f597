// The process-wide OSC trigger input: start, values, restart, stop, and its
// polling from every acquisition thread through the live network services.
#include "network/oscTrigger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "analog/testDevice.h"
#include "network/liveNetworkServices.h"
#include "oscSourceSupport.h"
#include "process/clock.h"
#include "process/networkServices.h"
#include "process/triggerCrossings.h"
#include "support/arrivalStamps.h"
#include "support/tempDir.h"

using osctest::ConsoleCapture;
using osctest::Floats;
using osctest::Peer;
using osctest::Received;
using osctest::RunTool;
using osctest::SettingsGuard;

namespace {

class OscTriggerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetNetworkServices(nullptr);
        m_settings.use = true;
        m_settings.outPort = m_source.Port();
        m_settings.inPort = 0;  // any free port, read back once started
        SetOscTriggerSettings(m_settings);
        OscClientSettings client;
        client.maxTimeoutMs = 10;
        SetOscClientSettings(client);
    }
    // Starts the input and takes its connect message off the source.
    bool Start()
    {
        if (!StartOscTrigger()) return false;
        Received request;
        return m_source.Next(request) && request.address == "/unity_sync/connect";
    }
    bool Send(const OscMessage& message)
    {
        return m_source.Send(GetOscTriggerListeningPort(), message);
    }
    // Polls (as the acquisition threads do) until a value can be read.
    bool PollAndRead(double& value)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end) {
            PollOscTrigger();
            if (GetOscTriggerValue(&value)) return true;
            std::this_thread::yield();
        }
        return false;
    }

    SettingsGuard m_guard;
    ConsoleCapture m_console;
    Peer m_source;
    OscTriggerSettings m_settings;
};

}  // namespace

TEST_F(OscTriggerTest, NoInputAnswersNoAndRestartStartsNothing)
{
    double value = 0.0;
    EXPECT_FALSE(IsOscTriggerConnected());
    EXPECT_FALSE(PollOscTrigger());
    EXPECT_FALSE(GetOscTriggerValue(&value));
    EXPECT_FALSE(RestartOscTrigger());
    EXPECT_FALSE(IsOscTriggerConnected());
    EXPECT_EQ(m_source.Drain(), 0);
}

TEST_F(OscTriggerTest, FirstValueOfTheLatestMessageIsReadOnce)
{
    ASSERT_TRUE(Start());
    EXPECT_TRUE(IsOscTriggerConnected());
    EXPECT_GT(GetOscTriggerListeningPort(), 0);
    ASSERT_TRUE(Send(Floats("/unity_sync", {5.0f})));
    OscMessage two("/unity_sync");
    two.PushInt32(7).PushInt32(8);
    ASSERT_TRUE(Send(two));
    double value = 0.0;
    ASSERT_TRUE(PollAndRead(value));
    EXPECT_EQ(value, 7.0);
    EXPECT_FALSE(GetOscTriggerValue(&value));
    EXPECT_FALSE(GetOscTriggerValue(nullptr));

    // The shell's thresholds: 255 starts, -255 stops.
    ASSERT_TRUE(Send(Floats("/unity_sync", {255.0f})));
    ASSERT_TRUE(PollAndRead(value));
    EXPECT_TRUE(IsOscTriggerStartValue(value, m_settings.highValue));
    ASSERT_TRUE(Send(Floats("/unity_sync", {-255.0f})));
    ASSERT_TRUE(PollAndRead(value));
    EXPECT_TRUE(IsOscTriggerStopValue(value, m_settings.lowValue));
    EXPECT_FALSE(IsOscTriggerStartValue(value, m_settings.highValue));
}

// A stop followed at once by the next start, both received in one poll: each is
// kept, in order, as a crossing of the trigger's values; repeats add nothing.
TEST_F(OscTriggerTest, StopAndStartBetweenTwoReadsAreBothKept)
{
    ASSERT_TRUE(Start());
    CTriggerCrossings& crossings = GetOscTriggerCrossings();
    for (float value : {255.0f, 255.0f, -255.0f, 10.0f, 300.0f})
        ASSERT_TRUE(Send(Floats("/unity_sync", {value})));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (crossings.GetLastValue() != 300.0 && std::chrono::steady_clock::now() < end)
        PollOscTrigger();
    using Kind = TriggerCrossing::Kind;
    std::vector<Kind> kinds;
    TriggerCrossing crossing;
    while (crossings.Pop(crossing)) kinds.push_back(crossing.kind);
    EXPECT_EQ(kinds, (std::vector<Kind>{Kind::Start, Kind::Stop, Kind::Start}));
    // A restart keeps what came before it for the reader; a start begins with none.
    ASSERT_TRUE(Send(Floats("/unity_sync", {-300.0f})));
    while (!crossings.Peek(crossing) && std::chrono::steady_clock::now() < end) PollOscTrigger();
    ASSERT_TRUE(RestartOscTrigger());
    EXPECT_TRUE(crossings.Peek(crossing));
    ASSERT_TRUE(StartOscTrigger());
    EXPECT_FALSE(crossings.Peek(crossing));
}

// Datagrams that are not OSC were dropped without a count or a word.
TEST_F(OscTriggerTest, MalformedDatagramsAreCountedAndSaidOnce)
{
    ASSERT_TRUE(Start());
    EXPECT_EQ(GetOscTriggerMalformedCount(), 0u);
    const uint8_t bad[] = {'/', 'x', 0, 0, ',', 'f', 'f', 0, 0, 0, 0, 0};  // arguments missing
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(m_source.SendBytes(GetOscTriggerListeningPort(), bad, sizeof bad));
    ASSERT_TRUE(Send(Floats("/unity_sync", {3.0f})));
    double value = 0.0;
    ASSERT_TRUE(PollAndRead(value));
    EXPECT_EQ(value, 3.0);
    EXPECT_EQ(GetOscTriggerMalformedCount(), 30u);
    EXPECT_EQ(m_console.Containing("malformed").size(), 1u);
    // What was left unsaid is said when the input goes.
    StopOscTrigger();
    const std::vector<std::string> said = m_console.Containing("malformed");
    ASSERT_EQ(said.size(), 2u);
    EXPECT_NE(said[1].find("Ignored 29 malformed datagrams"), std::string::npos) << said[1];
    EXPECT_NE(said[1].find("(30 in all)"), std::string::npos) << said[1];
    EXPECT_EQ(GetOscTriggerMalformedCount(), 0u);
}

TEST_F(OscTriggerTest, FailedStartLeavesNoInput)
{
    Peer taken;
    m_settings.inPort = taken.Port();
    SetOscTriggerSettings(m_settings);
    EXPECT_FALSE(StartOscTrigger());
    EXPECT_FALSE(IsOscTriggerConnected());
    EXPECT_EQ(GetOscTriggerListeningPort(), -1);
    EXPECT_TRUE(
        m_console.Has("O <OSC> Error Listening Port " + std::to_string(taken.Port()) + "\n"));
    EXPECT_FALSE(RestartOscTrigger());
}

TEST_F(OscTriggerTest, RestartReopensWhileEnabledAndStopsWhenNot)
{
    ASSERT_TRUE(Start());
    EXPECT_TRUE(RestartOscTrigger());
    Received message;
    ASSERT_TRUE(m_source.Next(message));
    EXPECT_EQ(message.address, "/unity_sync/disconnect");
    ASSERT_TRUE(m_source.Next(message));
    EXPECT_EQ(message.address, "/unity_sync/connect");
    EXPECT_TRUE(IsOscTriggerConnected());

    SetOscTriggerEnabled(false);
    EXPECT_TRUE(RestartOscTrigger());
    ASSERT_TRUE(m_source.Next(message));
    EXPECT_EQ(message.address, "/unity_sync/disconnect");
    EXPECT_FALSE(IsOscTriggerConnected());
    EXPECT_FALSE(RestartOscTrigger());
    EXPECT_EQ(m_source.Drain(), 0);
}

TEST_F(OscTriggerTest, StopSaysGoodbye)
{
    ASSERT_TRUE(Start());
    StopOscTrigger();
    Received message;
    ASSERT_TRUE(m_source.Next(message));
    EXPECT_EQ(message.address, "/unity_sync/disconnect");
    EXPECT_FALSE(IsOscTriggerConnected());
    StopOscTrigger();
    EXPECT_EQ(m_source.Drain(), 0);
}

TEST_F(OscTriggerTest, LiveServicesAnswerWithTheTriggerInput)
{
    CNetworkServices& services = GetNetworkServices();
    ASSERT_EQ(&services, &GetLiveNetworkServices());
    EXPECT_TRUE(services.IsOscTriggerEnabled());
    EXPECT_FALSE(services.IsOscTriggerConnected());
    EXPECT_FALSE(services.PollOscTrigger());
    ASSERT_TRUE(Start());
    EXPECT_TRUE(services.IsOscTriggerConnected());
    ASSERT_TRUE(Send(Floats("/unity_sync", {1.0f})));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool handled = false;
    while (!handled && std::chrono::steady_clock::now() < end) handled = services.PollOscTrigger();
    EXPECT_TRUE(handled);
    SetOscTriggerEnabled(false);
    EXPECT_FALSE(services.IsOscTriggerEnabled());
}

// An independent OSC implementation drives the trigger.
TEST_F(OscTriggerTest, ValueSentByOscsendStartsACapture)
{
    ASSERT_TRUE(Start());
    const int status =
        RunTool({"oscsend", "127.0.0.1", std::to_string(GetOscTriggerListeningPort()),
                 "/unity_sync", "f", "300.5"});
    if (status == -1) GTEST_SKIP() << "oscsend (Debian package liblo-tools) is not installed";
    ASSERT_EQ(status, 0);
    double value = 0.0;
    ASSERT_TRUE(PollAndRead(value));
    EXPECT_EQ(value, 300.5);
    EXPECT_TRUE(IsOscTriggerStartValue(value, m_settings.highValue));
}

// Another OSC implementation sends each stop with the next start in one bundle
// (oscsendfile bundles the lines of one time tag): every edge is kept, in order.
TEST_F(OscTriggerTest, StopAndStartInOneBundleFromOscsendfileAreBothKept)
{
    ASSERT_TRUE(Start());
    const CTempFolder folder("oscTriggerBundle");
    const std::string path = folder.Name() + "/trials.osc";
    {
        std::ofstream lines(path);
        // Trial 1 starts alone; each later line pair is one bundle: a stop and the
        // next start; the last stop alone. Values of other kinds ride along.
        lines << "e0000000.00000000 /unity_sync f 255.0\n"
              << "e0000000.10000000 /unity_sync f -255.0\n"
              << "e0000000.10000000 /unity_sync i 255\n"
              << "e0000000.20000000 /unity_sync d -300.0\n"
              << "e0000000.20000000 /unity_sync s x\n"
              << "e0000000.20000000 /unity_sync h 256\n"
              << "e0000000.30000000 /unity_sync f -255.0\n";
    }
    const int status =
        RunTool({"oscsendfile", "127.0.0.1", std::to_string(GetOscTriggerListeningPort()), path});
    if (status == -1) GTEST_SKIP() << "oscsendfile (Debian package liblo-tools) is not installed";
    ASSERT_EQ(status, 0);
    CTriggerCrossings& crossings = GetOscTriggerCrossings();
    using Kind = TriggerCrossing::Kind;
    std::vector<Kind> kinds;
    std::vector<double> values;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (kinds.size() < 6 && std::chrono::steady_clock::now() < end) {
        PollOscTrigger();
        TriggerCrossing crossing;
        while (crossings.Pop(crossing)) {
            kinds.push_back(crossing.kind);
            values.push_back(crossing.value);
        }
    }
    EXPECT_EQ(kinds, (std::vector<Kind>{Kind::Start, Kind::Stop, Kind::Start, Kind::Stop,
                                        Kind::Start, Kind::Stop}));
    EXPECT_EQ(values, (std::vector<double>{255.0, -255.0, 255.0, -300.0, 256.0, -255.0}));
    EXPECT_EQ(GetOscTriggerMalformedCount(), 0u);
}

namespace {

// When a datagram was handed to loopback, on the program clock: its arrival lies
// between the two readings.
struct SendWindow {
    double beforeUs = 0.0;
    double afterUs = 0.0;
};

// Conversion between the kernel's wall-clock stamp and the program clock, and the
// clocks' rates over a second: far below a frame.
constexpr double kStampSlackUs = 2000.0;

// No acquisition pass polls meanwhile: every datagram waits in the socket.
void HoldPolling(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Polls once the hold is over, as the first pass after it would, and takes every
// crossing queued; the read's own time comes back in readUs.
std::vector<TriggerCrossing> PollOnceAndTake(std::size_t expected, double& readUs)
{
    CTriggerCrossings& crossings = GetOscTriggerCrossings();
    std::vector<TriggerCrossing> taken;
    readUs = GetProgramTime();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (taken.size() < expected && std::chrono::steady_clock::now() < end) {
        PollOscTrigger();
        TriggerCrossing crossing;
        while (crossings.Pop(crossing)) taken.push_back(crossing);
    }
    return taken;
}

void ExpectCameIn(const TriggerCrossing& crossing, const SendWindow& sent, const char* what)
{
    EXPECT_GE(crossing.atUs, sent.beforeUs - kStampSlackUs) << what;
    EXPECT_LE(crossing.atUs, sent.afterUs + kStampSlackUs) << what;
}

}  // namespace

// Every poller was held while a trial's start and stop came 450 ms apart: read
// together, each keeps when it came, so the trial is 450 ms long, not 0 (a stop
// taken for one during the 0.3 s count-down would cancel a recorded trial).
TEST_F(OscTriggerTest, StartAndStopReadInOnePollKeepWhenEachCame)
{
    ASSERT_TRUE(WaitForArrivalStamps());
    ASSERT_TRUE(Start());
    SendWindow start, stop;
    start.beforeUs = GetProgramTime();
    ASSERT_TRUE(Send(Floats("/unity_sync", {255.0f})));
    start.afterUs = GetProgramTime();
    HoldPolling(450);
    stop.beforeUs = GetProgramTime();
    ASSERT_TRUE(Send(Floats("/unity_sync", {-255.0f})));
    stop.afterUs = GetProgramTime();
    HoldPolling(150);
    double readUs = 0.0;
    const std::vector<TriggerCrossing> taken = PollOnceAndTake(2, readUs);
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].kind, TriggerCrossing::Kind::Start);
    EXPECT_EQ(taken[1].kind, TriggerCrossing::Kind::Stop);
    ExpectCameIn(taken[0], start, "start");
    ExpectCameIn(taken[1], stop, "stop");
    EXPECT_GE(taken[1].atUs - taken[0].atUs, stop.beforeUs - start.afterUs - kStampSlackUs);
    EXPECT_LT(taken[1].atUs, readUs);
    EXPECT_EQ(GetOscTriggerCrossings().GetLastTakenTime(), taken[1].atUs);
}

// Several short pulses queued behind a held poller, one datagram each, at both
// rates a sender might use: every edge keeps its own arrival, in order.
TEST_F(OscTriggerTest, PulsesQueuedWhilePollingIsHeldKeepTheirSpacing)
{
    ASSERT_TRUE(WaitForArrivalStamps());
    ASSERT_TRUE(Start());
    for (int gapMs : {40, 5}) {
        SCOPED_TRACE(gapMs);
        std::vector<SendWindow> sent;
        for (int edge = 0; edge < 6; ++edge) {
            if (edge > 0) HoldPolling(gapMs);
            SendWindow window;
            window.beforeUs = GetProgramTime();
            ASSERT_TRUE(Send(Floats("/unity_sync", {edge % 2 == 0 ? 255.0f : -255.0f})));
            window.afterUs = GetProgramTime();
            sent.push_back(window);
        }
        HoldPolling(100);
        double readUs = 0.0;
        const std::vector<TriggerCrossing> taken = PollOnceAndTake(sent.size(), readUs);
        ASSERT_EQ(taken.size(), sent.size());
        for (std::size_t i = 0; i < taken.size(); ++i) {
            EXPECT_EQ(taken[i].kind,
                      i % 2 == 0 ? TriggerCrossing::Kind::Start : TriggerCrossing::Kind::Stop);
            ExpectCameIn(taken[i], sent[i], i % 2 == 0 ? "start" : "stop");
            if (i > 0) {
                EXPECT_GT(taken[i].atUs, taken[i - 1].atUs);
            }
        }
    }
}

// A stop and the next start in one bundle came together: both carry the bundle's
// arrival, between the trial before and the one after, read in one late poll.
TEST_F(OscTriggerTest, StopAndStartOfOneBundleCarryItsArrival)
{
    ASSERT_TRUE(WaitForArrivalStamps());
    ASSERT_TRUE(Start());
    std::vector<SendWindow> sent(3);
    const auto sendBytes = [&](const osctest::Bytes& bytes, SendWindow& window) {
        window.beforeUs = GetProgramTime();
        const bool isSent = m_source.SendBytes(GetOscTriggerListeningPort(), bytes.data(), bytes.size());
        window.afterUs = GetProgramTime();
        return isSent;
    };
    const osctest::Bytes start = osctest::Packet(Floats("/unity_sync", {255.0f}));
    const osctest::Bytes stop = osctest::Packet(Floats("/unity_sync", {-255.0f}));
    ASSERT_TRUE(sendBytes(start, sent[0]));
    HoldPolling(200);
    ASSERT_TRUE(sendBytes(osctest::Bundle(1, {stop, start}), sent[1]));
    HoldPolling(200);
    ASSERT_TRUE(sendBytes(stop, sent[2]));
    HoldPolling(100);
    double readUs = 0.0;
    const std::vector<TriggerCrossing> taken = PollOnceAndTake(4, readUs);
    ASSERT_EQ(taken.size(), 4u);
    ExpectCameIn(taken[0], sent[0], "first start");
    ExpectCameIn(taken[1], sent[1], "bundled stop");
    EXPECT_EQ(taken[2].atUs, taken[1].atUs);
    ExpectCameIn(taken[3], sent[2], "last stop");
    EXPECT_EQ(taken[1].kind, TriggerCrossing::Kind::Stop);
    EXPECT_EQ(taken[2].kind, TriggerCrossing::Kind::Start);
}

// The same with Debian's oscsend as the sender, one process per edge.
TEST_F(OscTriggerTest, EdgesFromOscsendReadTogetherKeepWhenEachCame)
{
    ASSERT_TRUE(WaitForArrivalStamps());
    ASSERT_TRUE(Start());
    const std::string port = std::to_string(GetOscTriggerListeningPort());
    SendWindow start, stop;
    start.beforeUs = GetProgramTime();
    const int status = RunTool({"oscsend", "127.0.0.1", port, "/unity_sync", "f", "255"});
    start.afterUs = GetProgramTime();
    if (status == -1) GTEST_SKIP() << "oscsend (Debian package liblo-tools) is not installed";
    ASSERT_EQ(status, 0);
    HoldPolling(300);
    stop.beforeUs = GetProgramTime();
    ASSERT_EQ(RunTool({"oscsend", "127.0.0.1", port, "/unity_sync", "i", "-255"}), 0);
    stop.afterUs = GetProgramTime();
    HoldPolling(150);
    double readUs = 0.0;
    const std::vector<TriggerCrossing> taken = PollOnceAndTake(2, readUs);
    ASSERT_EQ(taken.size(), 2u);
    ExpectCameIn(taken[0], start, "start");
    ExpectCameIn(taken[1], stop, "stop");
}

using OscTriggerThreads = OscTriggerTest;

// Every acquisition thread polls on every pass while the GUI thread reads,
// restarts and stops: nothing is lost between two reads, nothing races.
TEST_F(OscTriggerThreads, ManyPollersOneReaderRestartsAndStops)
{
    ASSERT_TRUE(Start());
    std::atomic<bool> done{false};
    std::atomic<long> handled{0};
    std::vector<std::thread> pollers;
    for (int i = 0; i < 4; ++i) {
        pollers.emplace_back([&] {
            while (!done.load()) {
                if (PollOscTrigger()) handled.fetch_add(1);
            }
        });
    }
    for (int k = 1; k <= 20; ++k) {
        ASSERT_TRUE(Send(Floats("/unity_sync", {float(k)})));
        double value = 0.0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        bool read = false;
        while (!read && std::chrono::steady_clock::now() < end) {
            read = GetOscTriggerValue(&value);
            // Every other value the reader also receives itself, as the count-down does.
            if (!read && k % 2 == 1 && DrainOscTrigger()) handled.fetch_add(1);
            if (!read) std::this_thread::yield();
        }
        ASSERT_TRUE(read) << "value " << k;
        EXPECT_EQ(value, k);
        if (k == 10) {
            EXPECT_TRUE(RestartOscTrigger());
        }
    }
    StopOscTrigger();
    EXPECT_FALSE(PollOscTrigger());
    done = true;
    for (auto& poller : pollers) poller.join();
    EXPECT_GE(handled.load(), 20);
}

// A running device services the trigger on its passes: the GUI thread reads the
// value without polling itself.
TEST_F(OscTriggerThreads, RunningDevicePollsTheTrigger)
{
    ASSERT_TRUE(Start());
    CTestDevice device(false, false);
    ASSERT_TRUE(device.Create(false));
    ASSERT_TRUE(device.RunThread());
    ASSERT_TRUE(Send(Floats("/unity_sync", {42.0f})));
    double value = 0.0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool read = false;
    while (!read && std::chrono::steady_clock::now() < end) {
        read = GetOscTriggerValue(&value);
        if (!read) std::this_thread::yield();
    }
    device.Close();
    ASSERT_TRUE(read);
    EXPECT_EQ(value, 42.0);
}
