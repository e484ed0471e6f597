// The OSC receiving device on its own acquisition thread against a sender written from
// the protocol's description: a seed draws what the sender does (shapes, strings, bad
// packets, hostile argument counts, bursts, pauses, a new socket, late or no answers to
// the connect message) and what the device goes through (reconnects, a held thread,
// recordings started and stopped). Every recorded value was sent, in order, for its
// channel, or its frame is among those said; what is said matches what the files show.
// Every frame, shown or recorded, is of one shape: never part of one message and part of
// another over the channels the newer one has.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "analog/analogReader.h"
#include "analog/fakeSinks.h"
#include "network/oscConnection.h"
#include "oscSourceSupport.h"
#include "process/fakeDevice.h"
#include "process/messageQueue.h"
#include "support/simSeeds.h"
#include "support/tempDir.h"

namespace {

enum class Fault {
    kSend,       // one message of the current shape
    kReshape,    // the shape changes: more or fewer values
    kStrings,    // strings, blobs and booleans mixed in
    kMalformed,  // a packet cut short or otherwise not OSC
    kHostile,    // far more values than the device keeps channels for
    kBurst,      // many messages back to back, faster than the device's rate
    kPause,      // the sender stops a while, then goes on
    kNewSender,  // the sender restarts on a new socket
    kReconnect,  // the device reconnects (a connection property changed)
    kHold,       // the device's thread is held
    kRecord,     // a recording starts, or the one under way stops
    kOscsend,    // a message from an independent sender
    kCount
};
enum class Answer { kAtOnce, kLate, kNone };

struct Step {
    Fault fault;
    int a = 0, b = 0;
    int gapMs = 0;           // before the step
    int at = 0, paceUs = 0;  // a reconnect (b 3: to a new port) after `at` of a messages
};

struct Plan {
    double rate = 100.0;
    int shape = 2;
    bool useThread = true;
    bool recordFirst = false;     // a recording from the start
    std::vector<Answer> answers;  // to each connect message in turn
    std::vector<Step> steps;
    int lastBurst = 0, lastWidth = 0;  // the end: a burst, then a message too wide
    int waiting = 0, waitingShape = 1;  // before it: messages left on the old link

    static Plan Draw(uint32_t seed)
    {
        SimDraw pick(seed);
        // Per fault kind, the ranges a and b are drawn from.
        static const int kRanges[][4] = {{0, 0, 0, 0},
                                         {1, 8, 0, 0},
                                         {0, 0, 0, 0},
                                         {0, 4, 0, 2},
                                         {kOscMaxChannels - 2, 2 * kOscMaxChannels + 100, 0, 0},
                                         {2, 400, 0, 0},
                                         {10, 150, 0, 0},
                                         {0, 0, 0, 0},
                                         {0, 300, 0, 3},
                                         {5, 120, 0, 1},
                                         {0, 0, 0, 0},
                                         {0, 0, 0, 0}};
        static_assert(sizeof kRanges / sizeof kRanges[0] == static_cast<size_t>(Fault::kCount));
        Plan p;
        const double rates[] = {25.0, 100.0, 250.0, 500.0};
        p.rate = rates[pick(0, 3)];
        p.shape = pick(1, 6);
        p.useThread = pick(0, 1) == 1;
        p.recordFirst = pick(0, 1) == 1;
        for (int i = 0; i < 8; ++i) p.answers.push_back(static_cast<Answer>(pick(0, 2)));
        const int count = pick(20, 45);
        for (int i = 0; i < count; ++i) {
            // Sends are the most common; every fault kind has its share.
            const int roll = pick(0, 2 * static_cast<int>(Fault::kCount) - 1);
            Step s{roll >= static_cast<int>(Fault::kCount) ? Fault::kSend
                                                           : static_cast<Fault>(roll)};
            s.gapMs = pick(0, 1) ? pick(0, 3) : pick(0, 25);
            const int* range = kRanges[static_cast<int>(s.fault)];
            s.a = pick(range[0], range[1]), s.b = pick(range[2], range[3]);
            if (s.fault == Fault::kSend || s.fault == Fault::kStrings) {
                s.a = pick(0, 3) == 0;
                s.b = pick(0, 3) == 0 ? pick(1, 5) : 0;  // then a bad packet of kind b - 1
            }
            if (s.fault == Fault::kReconnect)
                s.at = pick(0, s.a), s.paceUs = pick(0, 1) * pick(0, 80);
            p.steps.push_back(s);
        }
        // Held before the run's first frame.
        if (p.recordFirst && pick(0, 2) == 0)
            p.steps.insert(p.steps.begin(), Step{Fault::kHold, pick(5, 60), 1, 0});
        p.lastBurst = pick(0, 400);
        p.lastWidth = pick(kOscMaxChannels + 1, 2 * kOscMaxChannels + 100);
        p.waiting = pick(0, 3) == 0 ? 0 : pick(1, 40);
        p.waitingShape = pick(1, 8);
        return p;
    }
    std::string Describe() const
    {
        std::ostringstream text;
        text << "rate " << rate << " shape " << shape << " thread " << useThread << " first "
             << recordFirst << "; answers";
        for (Answer answer : answers) text << " " << static_cast<int>(answer);
        text << "; steps";
        for (const Step& s : steps)
            text << " " << static_cast<int>(s.fault) << "(" << s.a << "," << s.b << ")+" << s.gapMs;
        text << "; last " << lastBurst << " " << lastWidth << "; waiting " << waiting << " "
             << waitingShape;
        return text.str();
    }
};

using osctest::Bytes;

// A message as the description gives it: the address, ',' and the type tags, then each
// argument big-endian (strings and blobs padded to four bytes).
struct Message {
    std::string tags;
    Bytes args;
    std::vector<double> numbers;  // the numeric arguments, in order
    void Number(char tag, double value)
    {
        const float single = static_cast<float>(value);
        uint32_t low = 0;
        std::memcpy(&low, &single, 4);
        uint64_t bits = tag == 'f' ? low : static_cast<uint64_t>(static_cast<int64_t>(value));
        if (tag == 'd') std::memcpy(&bits, &value, 8);
        if (tag == 'd' || tag == 'h') osctest::PutBe32(args, static_cast<uint32_t>(bits >> 32));
        osctest::PutBe32(args, static_cast<uint32_t>(bits));
        tags += tag;
        numbers.push_back(value);
    }
    Bytes Packet(const std::string& address) const
    {
        return osctest::Message(address, "," + tags, args);
    }
};

// Each value tells its message and channel; none is 0, the device's initial value.
double ValueOf(int64_t message, int channel)
{
    return static_cast<double>(message * 4096 + channel + 1);
}

// The sender. Every message it sends is logged under the lock that sends it, so the log's
// order is the order of the wire; a packet that is not OSC is logged as not sent.
class CSender {
public:
    CSender(std::mt19937& rng, int port)
        : m_rng(rng), m_port(port), m_data(std::make_unique<osctest::Peer>())
    {
    }
    // n numeric values of drawn types, with strings, blobs and booleans when mixed; then
    // a bad packet of kind bad - 1 when bad > 0.
    void Send(int n, bool mixed, int bad = 0)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        SendLocked(n, mixed);
        if (bad > 0) MalformedLocked(bad - 1, n + 1);
    }
    // Now and then a bad packet among them.
    void Burst(int count, int n)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int i = 0; i < count; ++i)
            Pick(0, 7) ? SendLocked(n, false) : MalformedLocked(Pick(0, 4), n + Pick(0, 2));
    }
    void Malformed(int kind, int n)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        MalformedLocked(kind, n);
    }
    // oscsend, when installed, sends one message of n values ('i', 'f', 'd' in turn).
    void Oscsend(int n)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const int64_t index = static_cast<int64_t>(m_log.size());
        std::vector<std::string> command = {"oscsend", "127.0.0.1", std::to_string(m_port), "/data",
                                            ""};
        std::vector<double> numbers;
        for (int c = 0; c < n; ++c) {
            numbers.push_back(ValueOf(index, c));
            command[4] += "ifd"[c % 3];
            command.push_back(std::to_string(static_cast<int64_t>(numbers.back())));
        }
        m_log.push_back(osctest::RunTool(command) == 0 ? numbers : std::vector<double>());
        m_datagrams += !m_log.back().empty();
    }
    int64_t Datagrams() const { return m_datagrams.load(); }  // that went out, malformed too
    void NewSocket(int port = 0)  // and sends to port from now on, when given
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_data = std::make_unique<osctest::Peer>();
        if (port > 0) m_port = port;
    }
    // Each message's numbers, by index; empty for one not sent as values.
    const std::vector<std::vector<double>>& Log() const { return m_log; }
    int64_t Count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int64_t>(m_log.size());
    }

private:
    int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(m_rng); }
    void SendLocked(int n, bool mixed)
    {
        const int64_t index = static_cast<int64_t>(m_log.size());
        Message message;
        for (int c = 0; c < n; ++c) {
            if (mixed && Pick(0, 3) == 0) Extra(message);
            const double value = ValueOf(index, c);
            const char tag = "fdih"[Pick(0, 3)];
            message.Number(tag == 'f' && value >= 16777216.0 ? 'd' : tag,
                           value);  // a float holds it below 2^24
        }
        if (mixed) Extra(message);
        const Bytes packet = message.Packet(Pick(0, 1) ? "/data" : "/any/address");
        const bool isSent = m_data->SendBytes(m_port, packet.data(), packet.size());
        m_log.push_back(isSent ? message.numbers : std::vector<double>());
        m_datagrams += isSent;
    }
    // Not OSC: cut short (also to a length no multiple of four), longer than its
    // arguments, an unknown tag, no tag string, a bundle whose element runs past its end.
    // Each has numbers the device must not take.
    void MalformedLocked(int kind, int n)
    {
        Message message;
        for (int c = 0; c < std::max(n, 1); ++c)
            message.Number('d', ValueOf(static_cast<int64_t>(m_log.size()), c));
        Bytes packet = message.Packet("/data");
        if (kind == 0) packet.resize(packet.size() - (n % 2 == 0 ? 4 : 2));
        if (kind == 1) packet.insert(packet.end(), 4, 0);
        if (kind == 2) packet[8 + message.tags.size()] = 'Z';  // the last tag
        if (kind == 3) packet.erase(packet.begin() + 8, packet.begin() + 12);
        if (kind >= 4) packet = osctest::Bundle(1, {packet}), packet.resize(packet.size() - 8);
        m_log.emplace_back();  // sent, but not as values
        m_datagrams += m_data->SendBytes(m_port, packet.data(), packet.size());
    }
    void Extra(Message& message)
    {
        const int kind = Pick(0, 2);
        message.tags += kind == 0 ? 's' : kind == 1 ? 'b' : Pick(0, 1) ? 'T' : 'F';
        if (kind == 0)
            osctest::PutString(message.args, std::string(static_cast<size_t>(Pick(0, 9)), 'x'));
        if (kind == 1) osctest::PutBe32(message.args, 3), osctest::PutString(message.args, "abc");
    }

    std::mt19937& m_rng;  // the sender's own draws; guarded by m_mutex
    int m_port;
    std::atomic<int64_t> m_datagrams{0};
    std::mutex m_mutex;
    std::unique_ptr<osctest::Peer> m_data;
    std::vector<std::vector<double>> m_log;
};

// An OSC device whose thread can be held: for a real while, and as long again as the
// clock it paces by says, so that a second behind needs no second of the suite's time.
class CHeldOscDevice : public COscDevice {
public:
    CHeldOscDevice() : COscDevice(false) {}
    ~CHeldOscDevice() override { Close(); }
    void Hold(int ms, bool pastASecond)
    {
        m_holdMs = ms;
        m_jumpUs = pastASecond ? 1.05e6 + ms * 1.0e3 : 0.0;
        m_hold = true;
    }
    bool Process(bool tick, bool running) override
    {
        if (m_hold.exchange(false)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(m_holdMs.load()));
            m_offsetUs = m_offsetUs.load() + m_jumpUs.load();
        }
        return COscDevice::Process(tick, running);
    }

protected:
    double ReadProgramClockUs() override { return GetProgramTime() + m_offsetUs.load(); }
    void ReadPreciseClock(TimeVal* out) override
    {
        GetTimeOfDayNow(out);
        const int64_t us = out->tv_sec * 1000000 + out->tv_usec + int64_t(m_offsetUs.load());
        out->tv_sec = us / 1000000, out->tv_usec = us % 1000000;
    }

private:
    std::atomic<bool> m_hold{false};
    std::atomic<int> m_holdMs{0};
    std::atomic<double> m_jumpUs{0.0}, m_offsetUs{0.0};
};

// What a run's end says, beside its file.
struct CRunFile {
    wxString file;
    int64_t recorded = 0, unreceived = 0, held = 0;
    int64_t sent = 0;  // messages sent while it ran
};

class COscReceiverRig {
public:
    COscReceiverRig(uint32_t seed, const Plan& plan, const std::string& folder)
        : m_plan(plan),
          m_folder(folder),
          m_rng(seed ^ 0x5eedu),
          m_listenPort(osctest::FreePort()),
          m_sender(m_rng, m_listenPort)
    {
        OscClientSettings settings = osctest::LoopbackClient(m_source.Port(), m_listenPort, 20);
        SetOscClientSettings(settings);
        m_answerer = std::thread([this] { AnswerConnects(); });
        m_device = std::make_unique<CHeldOscDevice>();
        const double rate = plan.rate;
        bool changed = false;
        m_device->SetParam(&rate, COscDevice::kSamplingRate, 1, PARAM_DOUBLE, &changed);
        m_device->GetSourceWatch().SetSilentAfter(0.1);
        m_device->SetOwner(&m_owner);
        m_device->AddView(&m_view);
        EXPECT_TRUE(m_device->Create(false));
        EXPECT_TRUE(m_device->RunThread());
    }
    ~COscReceiverRig()
    {
        m_device.reset();
        StopAnswering();
        EXPECT_EQ(m_source.Drain(0), 0) << "the source heard from a closed device";
    }
    void Play()
    {
        int shape = m_plan.shape;
        if (m_plan.recordFirst) ToggleRecording();
        for (const Step& s : m_plan.steps) {
            std::this_thread::sleep_for(std::chrono::milliseconds(s.gapMs));
            const Fault f = s.fault;
            if (f == Fault::kSend) m_sender.Send(shape, s.a != 0, s.b);
            if (f == Fault::kReshape) m_sender.Send(shape = s.a, false);
            if (f == Fault::kStrings) m_sender.Send(s.a != 0 ? 0 : shape, true);  // or strings only
            if (f == Fault::kHostile) m_sender.Send(s.a, false);
            if (f == Fault::kBurst) m_sender.Burst(s.a, shape);
            if (f == Fault::kPause) std::this_thread::sleep_for(std::chrono::milliseconds(s.a));
            if (f == Fault::kNewSender) m_sender.NewSocket(), m_sender.Send(shape, false);
            if (f == Fault::kReconnect) ReconnectAmidStream(s, shape);
            if (f == Fault::kHold) m_device->Hold(s.a, s.b != 0);
            if (f == Fault::kRecord) ToggleRecording();
            if (f == Fault::kOscsend) m_sender.Oscsend(shape);
            if (f == Fault::kMalformed) {
                // Then quiet for two frames: a bad packet taken would be in one of them.
                m_sender.Malformed(s.a, shape + s.b);
                std::this_thread::sleep_for(
                    std::chrono::microseconds(static_cast<int>(2.5e6 / m_plan.rate)));
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        if (m_device->IsRecording()) ToggleRecording();
        // Free to re-shape, the device comes to show the answer to its connect message,
        // then the last message of a burst, wider than the channels a source gets. Every
        // connect is answered as drawn first: a late answer may be lost with the old link.
        EXPECT_TRUE(osctest::PumpUntil([&] { return m_connects.load() == 1 + m_reconnects; }));
        if (m_plan.waiting > 0) ReconnectWithMessagesWaiting();
        m_answerAll = true;
        ExpectShown(m_sender.Count(), [&] { Reconnect(); });
        ExpectShown(m_sender.Count() + m_plan.lastBurst, [&] {
            m_sender.Burst(m_plan.lastBurst, m_plan.shape);
            m_sender.Send(m_plan.lastWidth, false);
        });
        // Each link said goodbye once, the last at the close.
        m_device->Close();
        EXPECT_FALSE(m_device->IsConnectionReady());
        StopAnswering();
        osctest::Received request;
        while (m_source.Next(request, 0)) m_goodbyes += request.address == "/server/disconnect";
        EXPECT_EQ(m_goodbyes, m_connects.load());
    }
    const std::vector<CRunFile>& Runs() const { return m_runs; }
    // Every frame the views were given.
    const std::vector<CFrame>& Shown() const { return m_view.frames; }
    const CSender& Sender() const { return m_sender; }
    CHeldOscDevice& Device() { return *m_device; }

private:
    // Takes the connect messages off the source's port and answers each as the plan says:
    // at once, after the device stopped waiting, or not at all.
    void AnswerConnects()
    {
        for (size_t k = 0; !m_stopAnswering.load();) {
            osctest::Received request;
            if (!m_source.Next(request, 20)) continue;
            m_goodbyes += request.address == "/server/disconnect";
            if (request.address != "/server/connect") continue;
            Answer answer =
                m_answerAll.load() ? Answer::kAtOnce : m_plan.answers[k % m_plan.answers.size()];
            if (m_unanswered.exchange(false)) answer = Answer::kNone;
            ++k;
            if (answer == Answer::kLate) std::this_thread::sleep_for(std::chrono::milliseconds(40));
            if (answer != Answer::kNone) m_sender.Send(m_plan.shape, false);
            ++m_connects;
        }
    }
    // The thread kept out of its passes, messages wait on the old link as the settings
    // change; the new one's connect unanswered, the last of them comes to show.
    void ReconnectWithMessagesWaiting()
    {
        m_unanswered = true;
        ExpectShown(m_sender.Count() + m_plan.waiting - 1, [&] {
            const bool held = m_device->HoldPasses(std::chrono::seconds(5));
            EXPECT_TRUE(held);
            m_sender.Burst(m_plan.waiting - 1, m_plan.waitingShape);
            m_sender.Send(m_plan.waitingShape, false);
            Reconnect();
            if (held) m_device->ReleasePasses();
        });
        EXPECT_TRUE(osctest::PumpUntil([&] { return m_connects.load() == 1 + m_reconnects; }));
    }
    void StopAnswering()
    {
        m_stopAnswering = true;
        if (m_answerer.joinable()) m_answerer.join();
    }
    // What send() sends, message index comes to show whole in a frame (as many values as
    // the channels a source gets), its channels named as many and no more, and the views
    // asked once for a new grid when the count is not the one shown before.
    template <typename Send>
    void ExpectShown(int64_t index, Send send)
    {
        TakeLastFrame();
        send();
        EXPECT_TRUE(osctest::PumpUntil([&] { return m_sender.Count() > index; }));
        const std::vector<double>& numbers = m_sender.Log()[static_cast<size_t>(index)];
        const std::vector<double> row(
            numbers.begin(), numbers.begin() + std::min<size_t>(numbers.size(), kOscMaxChannels));
        const bool shown = osctest::PumpUntil([&] { return TakeLastFrame() == row; });
        EXPECT_TRUE(shown) << "message " << index << " of " << numbers.size() << " values";
        const int count = m_device->GetChannelCount();
        EXPECT_EQ(m_device->GetChannelName(count - 1), wxString::Format("Channel #%d", count - 1));
        EXPECT_EQ(m_device->GetChannelName(count), "");
        EXPECT_EQ(m_device->GetVisibleList().size(), static_cast<size_t>(count));
        const bool asked = m_device->TakeViewGridRequest();
        EXPECT_TRUE(asked || count == m_shownCount) << m_shownCount << " to " << count;
        EXPECT_FALSE(m_device->TakeViewGridRequest());
        m_shownCount = count;
    }
    // The view's last frame since the last call (none: empty).
    std::vector<double> TakeLastFrame()
    {
        std::lock_guard<std::mutex> lock(m_view.mutex);
        std::vector<double> last;
        if (m_view.frames.size() > m_framesTaken) last = m_view.frames.back().values;
        m_framesTaken = m_view.frames.size();
        return last;
    }
    // To the same port the stream goes on as the device reconnects: none of it may be
    // lost. To a new one (b 3) the stream, and all else, waits for it to listen.
    void ReconnectAmidStream(const Step& s, int shape)
    {
        const bool isNewPort = s.b == 3;
        EXPECT_TRUE(!isNewPort ||
                    osctest::PumpUntil([&] { return m_connects == 1 + m_reconnects; }));
        std::promise<void> reached, listens;
        std::thread stream([&] {
            for (int i = 0; i < s.a; ++i) {
                if (i == s.at) reached.set_value();
                if (i == s.at && isNewPort) listens.get_future().wait();
                m_sender.Send(shape, false);
                std::this_thread::sleep_for(std::chrono::microseconds(s.paceUs));
            }
            if (s.at == s.a) reached.set_value();
        });
        reached.get_future().wait();
        Reconnect(isNewPort ? osctest::FreePort() : 0);
        listens.set_value();
        stream.join();
    }
    // A new listening port when given, else a property that plays no part in the exchange.
    void Reconnect(int32_t port = 0)
    {
        const wxString pattern = wxString::Format("/data%zu", m_runs.size() + (m_reconnects++));
        bool changed = false;
        if (port > 0) m_sender.NewSocket(port);
        EXPECT_TRUE(
            port > 0 ? m_device->SetParam(&port, COscDevice::kListeningPort, 1, PARAM_INT, &changed)
                     : m_device->SetParam(&pattern, COscDevice::kDataPattern, 1, PARAM_STRING,
                                          &changed));
    }
    // As a trial does: the writer and its header first, then, between two passes, the
    // reset and the start; at the end the finish, then the writer closed.
    void ToggleRecording()
    {
        CHeldOscDevice& device = *m_device;
        if (device.IsRecording()) {
            // A few frames more, so what was sent before the stop is in (and a recording
            // holds two frames at least; fewer is no file the reader takes).
            const int64_t due = std::max<int64_t>(2, device.GetRecordedFrames() + 3);
            EXPECT_TRUE(osctest::PumpUntil([&] { return device.GetRecordedFrames() >= due; }));
            const int64_t sent = m_sender.Count() - m_runStart;
            EXPECT_TRUE(device.FinishRecording());
            m_runs.push_back({device.GetWriterFileName(), device.GetRecordedFrames(),
                              device.GetUnreceivedFrames(), device.GetHeldRepeatFrames(), sent});
            device.StopRecording();
            return;
        }
        ASSERT_TRUE(device.SetupWriter(m_folder, "osc", static_cast<int>(m_runs.size()) + 1, false,
                                       "", m_plan.useThread, 100, 1));
        // Its header is written: a new shape while the trial waits may not re-shape it.
        m_sender.Send(device.GetChannelCount() % 8 + 1, false);
        std::this_thread::sleep_for(
            std::chrono::microseconds(static_cast<int>(2.5e6 / m_plan.rate)));
        const bool asked = device.AskHoldPasses();
        const bool held =
            device.TakeHeldPasses(std::chrono::steady_clock::now() + std::chrono::seconds(5));
        EXPECT_TRUE(held);
        device.Reset();
        device.ResetClock();
        EXPECT_TRUE(device.StartRecording());
        m_runStart = m_sender.Count();
        if (asked && held) device.ReleasePasses();
    }

    const Plan& m_plan;
    const std::string m_folder;
    std::mt19937 m_rng;
    osctest::SettingsGuard m_settings;
    osctest::Peer m_source;  // where the device sends its connect and disconnect messages
    const int m_listenPort;
    CSender m_sender;
    std::atomic<bool> m_stopAnswering{false}, m_answerAll{false}, m_unanswered{false};
    std::atomic<int> m_connects{0};  // answered
    int m_goodbyes = 0;              // heard by the source; the answerer's until it ends
    std::thread m_answerer;
    CRecordingOwner m_owner;  // outlives the device: its notes go to the message queue
    CFakeView m_view;
    std::unique_ptr<CHeldOscDevice> m_device;
    size_t m_framesTaken = 0;
    int m_shownCount = 1;  // the channels last shown; a device starts with one
    std::vector<CRunFile> m_runs;
    int m_reconnects = 0;
    int64_t m_runStart = 0;  // messages sent before the run
};

// Frames [from, to) of a channel that the file's markers say hold values not received
// (never, when any value may stand there), or repeat the last ones (a held thread).
struct Span {
    int64_t from, to;
    bool never;
};

std::vector<std::vector<Span>> MarkedSpans(const CAnalogReader& reader, const CSourceWatch& watch,
                                           int channels, std::vector<Span>& held)
{
    const int64_t end = reader.GetFrameCount();
    std::vector<std::vector<Span>> marked(static_cast<size_t>(channels));
    for (size_t m = 0; m < reader.GetMarkerCodes().size(); ++m) {
        const wxString& label = reader.GetMarkerLabels()[m];
        const int64_t at = reader.GetMarkerFrames()[m];
        if (label.StartsWith("thread held:")) held.push_back({at, end, false});
        if (label == "thread back" && !held.empty()) held.back().to = at;
        for (int c = 0; c < channels; ++c) {
            const wxString name = watch.SourceName(c);
            std::vector<Span>& list = marked[static_cast<size_t>(c)];
            const bool isOpen = !list.empty() && list.back().to == end;
            if (label == name + " back" && isOpen) list.back().to = at;
            if ((label == name + " silent" || label == name + " not received") && !isOpen)
                list.push_back({at, end, label.EndsWith(" not received")});
        }
    }
    return marked;
}

using Log = std::vector<std::vector<double>>;

// The message that sent value for channel c, or -1 when none did.
int64_t SentIn(double value, int c, const Log& log)
{
    const auto code = static_cast<int64_t>(value) - 1;
    const int64_t m = code >= 0 ? code / 4096 : -1;
    const bool isSent = m >= 0 && m < static_cast<int64_t>(log.size()) && code % 4096 == c &&
                        log[static_cast<size_t>(m)].size() > static_cast<size_t>(c) &&
                        log[static_cast<size_t>(m)][static_cast<size_t>(c)] == value;
    return isSent ? m : -1;
}

// The newest message whose values a row holds (-1: none). A row is of one shape: every
// channel that message has holds its value (a held layout keeps older values only past
// them); torn is the first channel that does not, or -1.
int64_t NewestIn(const double* row, int width, const Log& log, int& torn)
{
    int64_t newest = -1;
    for (int c = 0; c < width; ++c) newest = std::max(newest, SentIn(row[c], c, log));
    torn = -1;
    const size_t has = newest < 0 ? 0 : log[static_cast<size_t>(newest)].size();
    for (int c = 0; c < width && static_cast<size_t>(c) < has && torn < 0; ++c)
        torn = SentIn(row[c], c, log) == newest ? -1 : c;
    return newest;
}

// Every frame the views got is of one shape, and once values were shown none is a row
// of values nobody sent (a row read before the values it should hold).
void CheckShown(const std::vector<CFrame>& frames, const Log& log)
{
    bool shown = false;
    for (const CFrame& frame : frames) {
        int torn = -1;
        const int width = static_cast<int>(frame.values.size());
        const bool holds = NewestIn(frame.values.data(), width, log, torn) >= 0;
        EXPECT_EQ(torn, -1) << "shown frame " << frame.sample << " of " << width
                            << " channels is torn at channel " << torn;
        EXPECT_TRUE(holds || !shown)
            << "shown frame " << frame.sample << " of " << width << " channels holds no value sent";
        if (torn >= 0 || (shown && !holds)) return;
        shown = shown || holds;
    }
}

// The values of the run's file that were sent, or -1 when its last frames repeat
// (a held thread's ticks are no news of the source).
int64_t CheckRun(const CRunFile& run, const Log& log, const CSourceWatch& watch)
{
    int64_t taken = 0;
    SCOPED_TRACE(run.file.ToStdString());
    CAnalogReader reader;
    if (!reader.Open(run.file)) {
        ADD_FAILURE() << reader.GetError();
        return 0;
    }
    const int channels = reader.GetChannelCount();
    EXPECT_EQ(reader.GetDim(), 1);
    // The channels are those of a message sent (at most as many as a source gets), or
    // the one a device starts with.
    bool isShapeSent = channels == 1;
    for (const std::vector<double>& numbers : log)
        isShapeSent = isShapeSent || std::min<size_t>(numbers.size(), kOscMaxChannels) ==
                                         static_cast<size_t>(channels);
    EXPECT_TRUE(isShapeSent) << channels << " channels";
    EXPECT_EQ(reader.GetFrameCount(), run.recorded);
    std::vector<Span> held;
    const auto marked = MarkedSpans(reader, watch, channels, held);
    std::vector<int64_t> last(static_cast<size_t>(channels), 0);  // message last seen per channel
    std::vector<double> row(static_cast<size_t>(channels));
    int64_t markedFrames = 0, heldFrames = 0;
    for (int64_t f = 0; f < reader.GetFrameCount(); ++f) {
        EXPECT_TRUE(reader.GetFrame(row.data(), channels, f));
        bool isMarked = false, isHeld = false;
        for (const Span& span : held) isHeld = isHeld || (f >= span.from && f < span.to);
        heldFrames += isHeld ? 1 : 0;
        for (int c = 0; c < channels; ++c) {
            bool never = false;
            for (const Span& span : marked[static_cast<size_t>(c)]) {
                if (f < span.from || f >= span.to) continue;
                isMarked = true;
                never = never || span.never;
            }
            const double value = row[static_cast<size_t>(c)];
            const int64_t m = SentIn(value, c, log);
            const bool isSent = m >= 0;
            taken += isSent ? 1 : 0;
            if (never) continue;
            EXPECT_TRUE(isSent) << "frame " << f << " channel " << c << " holds " << value
                                << ", never sent for it";
            if (!isSent) return taken;
            EXPECT_GE(m, last[static_cast<size_t>(c)])
                << "frame " << f << " channel " << c << " goes back to message " << m;
            last[static_cast<size_t>(c)] = m;
        }
        // A repeat is said as one, whatever its values hold.
        markedFrames += isMarked && !isHeld ? 1 : 0;
        int torn = -1;
        NewestIn(row.data(), channels, log, torn);
        EXPECT_EQ(torn, -1) << "frame " << f << " is torn at channel " << torn;
        if (torn >= 0) return taken;
    }
    EXPECT_EQ(run.unreceived, markedFrames);
    EXPECT_EQ(run.held, heldFrames);
    const int64_t end = reader.GetFrameCount();
    for (const Span& span : held)
        if (span.to > end - 3) return -1;
    return taken;
}

class OscReceiverSuite : public TempDirTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(OscReceiverSuite, EveryRecordedValueWasSentInOrderOrItsFrameIsSaid)
{
    const uint32_t seed = GetParam();
    const Plan plan = Plan::Draw(seed);
    SCOPED_TRACE("replay with QV_SIM_SEED=" + std::to_string(seed) + ": " + plan.Describe());
    osctest::ConsoleCapture console;
    g_messages.Drain();
    COscReceiverRig rig(seed, plan, Dir().string());
    rig.Play();
    // The last message was wider than the channels: counted, said at the first such
    // message, and the totals said at the close.
    const uint64_t cut = rig.Device().GetCutMessages(), dropped = rig.Device().GetDroppedValues();
    EXPECT_GE(cut, 1u);
    EXPECT_GE(dropped, static_cast<uint64_t>(plan.lastWidth - kOscMaxChannels));
    const std::string totals =
        wxString::Format(
            "<OSC> osc_device: %llu messages carried values past the channels; %llu values were "
            "dropped in all\n",
            static_cast<unsigned long long>(cut), static_cast<unsigned long long>(dropped))
            .ToStdString();
    int saidFirst = 0, saidTotals = 0;
    for (const QueuedMessage& message : g_messages.Drain()) {
        saidFirst += message.text.find("values past the channels are dropped and counted\n") !=
                     std::string::npos;
        saidTotals += message.text == totals;
    }
    EXPECT_EQ(saidFirst, 1);
    EXPECT_EQ(saidTotals, cut > 1 ? 1 : 0);
    int64_t sent = 0, taken = 0;
    for (const CRunFile& run : rig.Runs()) {
        const int64_t values = CheckRun(run, rig.Sender().Log(), rig.Device().GetSourceWatch());
        taken += std::max<int64_t>(values, 0);
        sent += values >= 0 ? run.sent : 0;
    }
    CheckShown(rig.Shown(), rig.Sender().Log());
    uint64_t said = 0;  // every datagram went to a port listened on: read, or said lost
    for (const std::string& line : console.Containing(" could not be taken"))
        said += std::stoull(line.substr(std::strlen("<OSC> ")));
    EXPECT_EQ(said, rig.Device().GetLostDatagrams());
    EXPECT_EQ(rig.Device().GetReceivedDatagrams() + said, uint64_t(rig.Sender().Datagrams()));
    // Saying every frame unreceived is no way out: what is sent is recorded.
    EXPECT_TRUE(sent < 10 || taken > 0) << sent << " messages sent while recording";
}

INSTANTIATE_TEST_SUITE_P(Seeds, OscReceiverSuite, ::testing::ValuesIn(SimSeeds(4)), SimSeedName());

}  // namespace
