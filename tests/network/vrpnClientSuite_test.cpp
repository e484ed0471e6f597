// The VRPN client device against a server written from the wire description, a seeded
// simulation. The server numbers its sender and types anew on every connection and
// streams reports (tracker poses or analog values, button changes), each value its own,
// and logs what went out whole. A seed draws the faults and their places: sensors
// appearing, channel counts changing, hostile and foreign messages, bursts with repeats,
// times and sequence numbers out of order, types numbered anew, the server stopping,
// flapping or cut off mid-message, a stream that breaks, a slow line, a held client; and
// the trials. Every recorded value was sent for its sensor or channel, in order, or its
// frame is marked as holding values not received (never, or from a link since lost);
// the counts the device keeps and says equal what the server sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "analog/analogReader.h"
#include "analog/steppedDevice.h"
#include "network/vrpnDevice.h"
#include "process/fakeDevice.h"
#include "process/messageQueue.h"
#include "serial/lineLink.h"
#include "support/simSeeds.h"
#include "vrpnTestSupport.h"

namespace {

enum class FaultKind {
    kNewSources,  // tracker: sensors appear; analog: the channel count changes
    kHostile,     // malformed reports, ids past the tables, bad descriptions
    kForeign,     // another device's reports, the other variant's, undescribed types
    kBurst,       // many reports of every source before a frame, some sent twice
    kButtons,
    kRenumber,    // the server describes its types again under new ids
    kStop,        // the connection closes and nobody listens for a while
    kFlap,        // the connection closes, the server still listens
    kCutStop,     // the server stops in the middle of a message
    kBrokenStream,  // a length below the header: the device drops the link
    kSlowLine,    // the bytes come a few at a time
    kHeld,        // rounds sent while the device reads nothing
    kCount
};

constexpr auto kTimeout = std::chrono::seconds(10);  // bounds a broken build only

struct Fault {
    FaultKind kind;
    int step, size;
};

struct Plan {
    bool tracker = true;
    int sources = 1;  // the server's first sensors or channels
    int steps = 0;
    bool timesOut = false;  // headers carry times and sequence numbers in no order
    std::vector<std::pair<int, int>> trials;
    std::vector<Fault> faults;

    static Plan Draw(uint32_t seed)
    {
        std::mt19937 rng(seed);
        const auto pick = [&](int lo, int hi) {
            return std::uniform_int_distribution<int>(lo, hi)(rng);
        };
        Plan p;
        p.tracker = pick(0, 1) == 0;
        p.sources = pick(1, p.tracker ? 4 : 6);
        p.timesOut = pick(0, 2) == 0;
        int at = pick(2, 12);
        for (int t = pick(1, 3); t > 0; --t) {
            p.trials.push_back({at, pick(10, 50)});
            at += p.trials.back().second + pick(0, 10);
        }
        p.steps = at;
        unsigned kinds = 0;
        while (kinds == 0) kinds = static_cast<unsigned>(pick(0, (1 << int(FaultKind::kCount)) - 1));
        const int percent = pick(3, 25);
        int stops = 0;  // each costs the device's retry interval in real time
        for (int step = 0; step < p.steps; ++step) {
            if (pick(0, 99) >= percent) continue;
            const auto kind = static_cast<FaultKind>(pick(0, int(FaultKind::kCount) - 1));
            if (((kinds >> int(kind)) & 1) == 0) continue;
            const bool isStop = kind == FaultKind::kStop || kind == FaultKind::kFlap ||
                                kind == FaultKind::kCutStop || kind == FaultKind::kBrokenStream;
            if (isStop && ++stops > 2) continue;
            p.faults.push_back({kind, step, pick(isStop ? 0 : 1, isStop ? 4 : 30)});
        }
        return p;
    }
    std::string Describe() const
    {
        std::string text = std::string(tracker ? "tracker" : "analog") + ", " +
                           std::to_string(sources) + " sources, " + std::to_string(steps) +
                           " steps" + (timesOut ? ", times out of order" : "") + ", trials";
        for (const auto& t : trials)
            text += " " + std::to_string(t.first) + "+" + std::to_string(t.second);
        for (const Fault& f : faults)
            text += "; kind " + std::to_string(int(f.kind)) + " step " + std::to_string(f.step) +
                    " size " + std::to_string(f.size);
        return text;
    }
};

// What the device is due to do with a message: keep it (store or cut it), refuse a
// sensor past its own limit, refuse it as malformed or as another refused message, mark
// a button, or ignore it.
enum class Effect { kTaken, kSensorRefused, kMalformed, kRefused, kButton, kIgnored };

struct Sent {
    Effect effect = Effect::kIgnored;
    int number = 0;  // the report's own number, which its values tell
    int source = 0;  // a pose's sensor, an analog report's count
    int button = 0, state = 0;
    int connection = 0;
    uint64_t end = 0;  // the connection's bytes up to its last
    int step = 0;
    bool arrived = false;  // it went out whole
};

// The values of report n: a pose's 7 (VRPN order: x, y, z, qx, qy, qz, qw); channel c's.
double PoseValue(int n, int k) { return n * 16.0 + k + 1; }
double AnalogValue(int n, int c) { return n * 256.0 + c + 0.5; }

class CSimServer {
public:
    explicit CSimServer(std::mt19937& rng, bool timesOut) : m_rng(rng), m_timesOut(timesOut) {}
    ~CSimServer()
    {
        Drop(0);
        StopListening();
    }
    bool Listen()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const int on = 1;
        ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        local.sin_port = htons(static_cast<uint16_t>(m_port));
        socklen_t length = sizeof local;
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            ::listen(m_listener, 4) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&local), &length) != 0)
            return false;
        m_port = ntohs(local.sin_port);
        return true;
    }
    void StopListening()
    {
        if (m_listener >= 0) ::close(m_listener);
        m_listener = -1;
    }
    int Port() const { return m_port; }
    bool IsConnected() const { return m_fd >= 0; }
    int Connection() const { return m_connection; }

    // Takes a waiting connection: cookie, then the opening under ids of its own.
    void TryAccept()
    {
        if (m_fd >= 0 || m_listener < 0) return;
        m_fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK);
        if (m_fd < 0) return;
        ++m_connection;
        m_queued = m_written = 0;
        m_out.clear();
        m_described.clear();
        uint8_t cookie[vrpn::kCookieSize];
        vrpn::MakeCookie(cookie);
        Append(cookie, sizeof cookie);
        m_sender = Draw(0, vrpn::kMaxRemoteIds - 1);
        m_foreign = m_sender;
        while (m_foreign == m_sender) m_foreign = Draw(0, vrpn::kMaxRemoteIds - 1);
        QueueDescription(vrpn::kSenderDescription, m_foreign, "Other");
        QueueDescription(vrpn::kSenderDescription, m_sender, "Sim");
        Renumber();
    }
    // Our types under new ids (a peer may describe an id again at any time).
    void Renumber()
    {
        std::vector<int32_t> ids;
        while (ids.size() < kTypes) {
            const int32_t id = Draw(0, Draw(0, 3) == 0 ? vrpn::kMaxRemoteIds - 1 : 12);
            if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
        }
        for (size_t i = 0; i < kTypes; ++i) {
            m_types[i] = ids[i];
            m_described.push_back(ids[i]);
            QueueDescription(vrpn::kTypeDescription, ids[i], kTypeNames[i]);
        }
    }
    int32_t Type(const char* name) const
    {
        for (size_t i = 0; i < kTypes; ++i)
            if (kTypeNames[i] == name) return m_types[i];
        return -1;
    }
    int32_t Sender() const { return m_sender; }
    int32_t Foreign() const { return m_foreign; }
    // An id none of our types has now.
    int32_t Undescribed()
    {
        int32_t id = 0;
        do id = Draw(0, vrpn::kMaxRemoteIds - 1);
        while (std::find(m_described.begin(), m_described.end(), id) != m_described.end());
        return id;
    }

    void Queue(int32_t sender, int32_t type, const std::vector<uint8_t>& payload, Sent sent,
               int step)
    {
        std::vector<uint8_t> bytes(vrpn::kHeaderSize + vrpn::Padded(payload.size()));
        vrpn::Time time = vrpn::Now();
        if (m_timesOut) time = {Draw(0, 2000000000), Draw(0, 999999)};
        vrpn::EncodeMessage(bytes.data(), bytes.size(), time, sender, type, payload.data(),
                            payload.size());
        if (m_timesOut) vrpn::PutU32(bytes.data() + 20, static_cast<uint32_t>(m_rng()));
        QueueBytes(bytes, sent, step);
    }
    void QueueBytes(const std::vector<uint8_t>& bytes, Sent sent, int step)
    {
        Append(bytes.data(), bytes.size());
        sent.connection = m_connection;
        sent.end = m_queued;
        sent.step = step;
        log.push_back(sent);
    }
    size_t Waiting() const { return m_out.size() - m_outStart; }

    // Writes at most limit bytes of what waits; the messages that went out whole arrived.
    void Flush(size_t limit = std::numeric_limits<size_t>::max())
    {
        if (m_fd < 0) return;
        while (limit > 0 && m_outStart < m_out.size()) {
            const ssize_t sent = ::send(m_fd, m_out.data() + m_outStart,
                                        std::min(limit, m_out.size() - m_outStart),
                                        MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent <= 0) break;
            m_outStart += static_cast<size_t>(sent);
            m_written += static_cast<uint64_t>(sent);
            limit -= static_cast<size_t>(sent);
        }
        if (m_outStart == m_out.size()) {
            m_out.clear();
            m_outStart = 0;
        }
        while (m_arrivedUpTo < log.size() && log[m_arrivedUpTo].end <= m_written)
            log[m_arrivedUpTo++].arrived = true;
    }
    // Reads what the device sent; false once it closed the connection.
    bool Read()
    {
        if (m_fd < 0) return false;
        uint8_t chunk[4096];
        for (;;) {
            const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (got == 0) return false;
            if (got < 0) return errno == EAGAIN || errno == EINTR;
        }
    }
    // Closes the connection once cut bytes more went out; nothing else queued goes out.
    void Drop(size_t cut)
    {
        if (m_fd < 0) return;
        Flush(cut);
        Read();  // what the device sent is taken, so that the close is an orderly one
        ::close(m_fd);
        m_fd = -1;
        m_out.clear();
        m_outStart = 0;
        m_arrivedUpTo = log.size();
    }

    std::vector<Sent> log;

private:
    static constexpr size_t kTypes = 5;
    static constexpr const char* kTypeNames[kTypes] = {vrpn::kPosQuat, vrpn::kAnalogChannel,
                                                       vrpn::kButtonChange, vrpn::kVelocity,
                                                       vrpn::kPong};
    int32_t Draw(int lo, int hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(m_rng); }
    void Append(const uint8_t* bytes, size_t size)
    {
        m_out.insert(m_out.end(), bytes, bytes + size);
        m_queued += size;
    }
    void QueueDescription(int32_t kind, int32_t id, const char* name)
    {
        uint8_t out[256];
        const size_t size = vrpn::EncodeDescription(out, sizeof out, vrpn::Now(), kind, id, name);
        Append(out, size);
    }

    std::mt19937& m_rng;
    const bool m_timesOut;
    int m_listener = -1;
    int m_port = 0;
    int m_fd = -1;
    int m_connection = 0;
    int32_t m_sender = 0, m_foreign = 0;
    int32_t m_types[kTypes] = {};
    std::vector<int32_t> m_described;  // type ids described on this connection
    std::vector<uint8_t> m_out;
    size_t m_outStart = 0;
    uint64_t m_queued = 0, m_written = 0;  // this connection's bytes
    size_t m_arrivedUpTo = 0;  // log entries settled
};

class CSimDevice : public CStepped<CVrpnDevice> {
public:
    using CStepped<CVrpnDevice>::CStepped;
    void OnButton(int button, int state) override
    {
        ++buttons;
        CVrpnDevice::OnButton(button, state);
    }
    uint64_t buttons = 0;
};

struct Counts {
    uint64_t taken = 0, sensorRefused = 0, malformed = 0, refused = 0, buttons = 0;
    bool Reaches(const Counts& o) const
    {
        return taken >= o.taken && sensorRefused >= o.sensorRefused && malformed >= o.malformed &&
               refused >= o.refused && buttons >= o.buttons;
    }
    bool operator==(const Counts& o) const { return Reaches(o) && o.Reaches(*this); }
    std::string Describe() const
    {
        return "taken " + std::to_string(taken) + ", sensors refused " +
               std::to_string(sensorRefused) + ", malformed " + std::to_string(malformed) +
               ", refused " + std::to_string(refused) + ", buttons " + std::to_string(buttons);
    }
};

Counts Due(const std::vector<Sent>& log)
{
    Counts due;
    for (const Sent& s : log) {
        if (!s.arrived) continue;
        due.taken += s.effect == Effect::kTaken;
        due.sensorRefused += s.effect == Effect::kSensorRefused;
        due.malformed += s.effect == Effect::kMalformed;
        due.refused += s.effect == Effect::kRefused;
        due.buttons += s.effect == Effect::kButton;
    }
    return due;
}

Counts Done(CSimDevice& device, bool tracker)
{
    Counts done;
    // An analog report past a recording's channels is stored too: its cut is counted apart.
    done.taken = device.GetStoredReports() + (tracker ? device.GetCutReports() : 0);
    done.sensorRefused = device.GetRefusedReports();
    done.malformed = device.GetMalformedReports();
    done.refused = device.GetRefusedMessages();
    done.buttons = device.buttons;
    return done;
}

// The server's side of a run: its sources, its rounds of reports and its faults.
class CSimRun {
public:
    CSimRun(const Plan& drawn, uint32_t seed)
        : plan(drawn), rng(seed * 7919u + 1u), server(rng, drawn.timesOut)
    {
        for (int s = 0; s < plan.sources; ++s) sensors.push_back(s);
        channels = plan.sources;
    }
    int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

    void Pose(int sensor, int step, int copies = 1)
    {
        const int n = ++reports;
        double pos[3], quat[4];
        for (int k = 0; k < 3; ++k) pos[k] = PoseValue(n, k);
        for (int k = 0; k < 4; ++k) quat[k] = PoseValue(n, 3 + k);
        std::vector<uint8_t> payload(vrpn::kPosQuatSize);
        vrpn::EncodePosQuat(payload.data(), sensor, pos, quat);
        const Effect effect = !plan.tracker                          ? Effect::kIgnored
                              : sensor < CVrpnDevice::kMaxSensors ? Effect::kTaken
                                                                     : Effect::kSensorRefused;
        for (int i = 0; i < copies; ++i)
            server.Queue(server.Sender(), server.Type(vrpn::kPosQuat), payload,
                         {effect, n, sensor}, step);
    }
    void Analog(int count, int step, int copies = 1)
    {
        const int n = ++reports;
        std::vector<double> values;
        for (int c = 0; c < count; ++c) values.push_back(AnalogValue(n, c));
        std::vector<uint8_t> payload(8 + 8 * values.size());
        vrpn::EncodeAnalog(payload.data(), values.data(), count);
        const Effect effect = plan.tracker || count < 1 ? Effect::kIgnored : Effect::kTaken;
        for (int i = 0; i < copies; ++i)
            server.Queue(server.Sender(), server.Type(vrpn::kAnalogChannel), payload,
                         {effect, n, count}, step);
    }
    void Button(int step)
    {
        Sent sent{Effect::kButton};
        sent.button = Pick(0, 12);
        sent.state = Pick(0, 1);
        std::vector<uint8_t> payload(vrpn::kButtonChangeSize);
        vrpn::EncodeButtonChange(payload.data(), sent.button, sent.state);
        server.Queue(server.Sender(), server.Type(vrpn::kButtonChange), payload, sent, step);
    }
    void Round(int step, int copies)
    {
        if (plan.tracker) {
            for (int s : sensors)
                if (Pick(0, 4) > 0) Pose(s, step, copies);
        } else if (Pick(0, 6) > 0) {
            Analog(channels, step, copies);
        }
    }
    void Hostile(int step)
    {
        const auto description = [](uint32_t count, const std::string& name) {
            std::vector<uint8_t> payload(4 + name.size());
            vrpn::PutU32(payload.data(), count);
            std::memcpy(payload.data() + 4, name.data(), name.size());
            return payload;
        };
        const int32_t sender = server.Sender();
        std::vector<uint8_t> payload;
        switch (Pick(0, 9)) {
            case 0: {  // a sensor past what a tracker takes, or past what the client reads
                const int sensor = Pick(0, 1) ? Pick(CVrpnDevice::kMaxSensors, vrpn::kMaxSensors - 1)
                                              : Pick(vrpn::kMaxSensors, 1 << 30);
                if (sensor < vrpn::kMaxSensors) return Pose(sensor, step);
                payload.assign(vrpn::kPosQuatSize, 0);
                vrpn::PutI32(payload.data(), sensor);
                return Malformed(vrpn::kPosQuat, payload, step);
            }
            case 1:
                payload.assign(vrpn::kPosQuatSize, 0);
                vrpn::PutI32(payload.data(), -Pick(1, 1 << 30));
                return Malformed(vrpn::kPosQuat, payload, step);
            case 2:
                payload.assign(static_cast<size_t>(Pick(0, 9) * 8), 0);
                if (payload.size() == vrpn::kPosQuatSize) payload.push_back(0);
                return Malformed(vrpn::kPosQuat, payload, step);
            case 3: {  // a count that is no count, or more values than it has
                const double counts[] = {129.0, 1e9, -1.0, 2.5, std::nan("")};
                const double count = Pick(0, 1) ? counts[Pick(0, 4)] : Pick(2, 9);
                payload.assign(8 * static_cast<size_t>(Pick(1, 9)), 0);
                if (count == std::floor(count) && count >= 0 && count <= 128)
                    payload.resize(8 * static_cast<size_t>(count));
                vrpn::PutF64(payload.data(), count);
                return Malformed(vrpn::kAnalogChannel, payload, step);
            }
            case 4:
                payload.assign(Pick(0, 1) ? 4 : 12, 0);
                return Malformed(vrpn::kButtonChange, payload, step);
            case 5:
                return server.Queue(sender, Pick(vrpn::kMaxRemoteIds, 1 << 30), payload,
                                    {Effect::kRefused}, step);
            case 6:
                payload.assign(vrpn::kPosQuatSize, 0);
                return server.Queue(Pick(0, 1) ? -Pick(1, 5) : Pick(vrpn::kMaxRemoteIds, 1 << 30),
                                    server.Type(vrpn::kPosQuat), payload, {Effect::kRefused},
                                    step);
            case 7:
                return server.Queue(Pick(vrpn::kMaxRemoteIds, 1 << 30), vrpn::kTypeDescription,
                                    description(22, std::string(vrpn::kPosQuat) + '\0'),
                                    {Effect::kRefused}, step);
            case 8: {
                const std::string name = std::string(vrpn::kPosQuat) + '\0';
                const uint32_t counts[] = {0, 40, 21};
                const int which = Pick(0, 2);
                return server.Queue(Pick(0, 30), vrpn::kTypeDescription,
                                    description(counts[which], which == 2 ? name.substr(0, 21) : name),
                                    {Effect::kRefused}, step);
            }
            default:
                return server.Queue(Pick(0, 30), vrpn::kSenderDescription,
                                    description(97, std::string(96, 'n') + '\0'),
                                    {Effect::kRefused}, step);
        }
    }
    void Malformed(const char* type, const std::vector<uint8_t>& payload, int step)
    {
        server.Queue(server.Sender(), server.Type(type), payload, {Effect::kMalformed}, step);
    }
    // Another device's reports on the server, the other variant's, a type nobody described:
    // none of them is ours.
    void Foreign(int step)
    {
        const int n = ++reports;
        std::vector<uint8_t> payload(vrpn::kPosQuatSize);
        double pos[3] = {PoseValue(n, 0), PoseValue(n, 1), PoseValue(n, 2)};
        double quat[4] = {PoseValue(n, 3), PoseValue(n, 4), PoseValue(n, 5), PoseValue(n, 6)};
        vrpn::EncodePosQuat(payload.data(), Pick(0, 3), pos, quat);
        server.Queue(server.Foreign(), server.Type(vrpn::kPosQuat), payload, {Effect::kIgnored, n},
                     step);
        server.Queue(server.Sender(), server.Undescribed(), payload, {Effect::kIgnored, n}, step);
        const double values[2] = {AnalogValue(n, 0), AnalogValue(n, 1)};
        payload.assign(24, 0);
        vrpn::EncodeAnalog(payload.data(), values, 2);
        server.Queue(server.Foreign(), server.Type(vrpn::kAnalogChannel), payload,
                     {Effect::kIgnored, n}, step);
        if (plan.tracker)
            server.Queue(server.Sender(), server.Type(vrpn::kAnalogChannel), payload,
                         {Effect::kIgnored, n}, step);
        else
            Pose(Pick(0, 3), step);
    }

    const Plan& plan;
    std::mt19937 rng;
    CSimServer server;
    std::vector<int> sensors;
    int channels = 1;
    int reports = 0;
};

}  // namespace

class VrpnClientSuite : public ::testing::TestWithParam<uint32_t> {
protected:
    // Runs the device's loop and the server's until the device took what went out.
    ::testing::AssertionResult Deliver(size_t limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        for (;;) {
            m_run->server.Flush(limit);
            m_device->Pump();
            if (!m_run->server.Read()) {
                m_run->server.Drop(0);
                if (!m_device->IsConnected()) return ::testing::AssertionSuccess();
            }
            if (m_run->server.Waiting() == 0 &&
                Done(*m_device, m_run->plan.tracker).Reaches(Due(m_run->server.log)))
                return ::testing::AssertionSuccess();
            if (std::chrono::steady_clock::now() > deadline)
                return ::testing::AssertionFailure()
                       << "the device did " << Done(*m_device, m_run->plan.tracker).Describe()
                       << " of " << Due(m_run->server.log).Describe();
        }
    }
    // Until the device saw the connection close.
    ::testing::AssertionResult AwaitLoss()
    {
        if (vrpntest::PumpUntil([&] { m_device->Pump(); }, [&] { return !m_device->IsConnected(); }))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the device did not see the server go";
    }
    // Until the device is connected again (after its retry interval).
    ::testing::AssertionResult AwaitLink()
    {
        if (vrpntest::PumpUntil(
                [&] {
                    m_run->server.TryAccept();
                    m_run->server.Flush();
                    m_run->server.Read();
                    m_device->Pump();
                },
                [&] { return m_device->IsConnected(); }))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the device did not connect";
    }

    CRecordingOwner m_owner;  // outlives the device
    std::unique_ptr<CSimRun> m_run;
    std::unique_ptr<CSimDevice> m_device;
};

TEST_P(VrpnClientSuite, EveryRecordedValueWasSentInOrderOrIsSaid)
{
    const uint32_t seed = GetParam();
    const Plan plan = Plan::Draw(seed);
    SCOPED_TRACE("replay with QV_SIM_SEED=" + std::to_string(seed) + ": " + plan.Describe());
    std::string folder = (std::filesystem::temp_directory_path() / "qvvrpnsim-XXXXXX").string();
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    m_run = std::make_unique<CSimRun>(plan, seed);
    CSimRun& run = *m_run;
    CSimServer& server = run.server;
    ASSERT_TRUE(server.Listen());
    m_device = std::make_unique<CSimDevice>(
        false, wxString::Format("Sim@tcp://127.0.0.1:%d", server.Port()), plan.tracker);
    CSimDevice& device = *m_device;
    device.SetOwner(&m_owner);  // its notes go to the message queue
    device.SetNoteInterval(std::chrono::seconds(0));
    // Sources that only pause are the silence suite's; here a link lost marks them.
    device.GetSourceWatch().SetSilentAfter(HUGE_VAL);
    g_messages.Drain();
    CMessageLog messages;
    ASSERT_TRUE(AwaitLink());

    const int dim = plan.tracker ? 7 : 1;
    std::vector<int> lostAt;  // per connection, the step whose frame first came after its loss
    std::vector<wxString> files;
    std::vector<int> fileChannels;
    std::vector<int64_t> said;
    uint64_t framesWithout = 0;
    int losses = 0;
    int downUntil = -1;
    bool isListening = true;
    size_t trial = 0;
    for (int step = 0; step < plan.steps; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        if (trial < plan.trials.size() && step == plan.trials[trial].first) {
            ASSERT_TRUE(device.SetupWriter(folder, "vrpn", static_cast<int>(trial) + 1, false, "",
                                           false, 100, 1));
            files.push_back(device.GetWriterFileName());
            fileChannels.push_back(device.GetChannelCount());
            device.Reset();
            ASSERT_TRUE(device.StartRecording());
        }
        if (step == downUntil) {
            if (!isListening) {
                ASSERT_TRUE(server.Listen());
            }
            isListening = true;
            ASSERT_TRUE(AwaitLink());
        }
        size_t limit = std::numeric_limits<size_t>::max();
        for (const Fault& f : plan.faults) {
            if (f.step != step || !server.IsConnected()) continue;
            switch (f.kind) {
                case FaultKind::kNewSources:
                    if (plan.tracker) {
                        const int top = *std::max_element(run.sensors.begin(), run.sensors.end());
                        run.sensors.push_back(run.Pick(0, 9) == 0 ? CVrpnDevice::kMaxSensors - 1
                                                                  : top + run.Pick(1, 3));
                    } else {
                        run.channels = run.Pick(1, 10);
                    }
                    break;
                case FaultKind::kHostile:
                    for (int i = 1 + f.size % 3; i > 0; --i) run.Hostile(step);
                    break;
                case FaultKind::kForeign:
                    run.Foreign(step);
                    break;
                case FaultKind::kBurst:
                    for (int i = 0; i < f.size; ++i) run.Round(step, run.Pick(0, 3) == 0 ? 2 : 1);
                    break;
                case FaultKind::kButtons:
                    for (int i = 1 + f.size % 4; i > 0; --i) run.Button(step);
                    break;
                case FaultKind::kRenumber:
                    server.Renumber();
                    break;
                case FaultKind::kSlowLine:
                    limit = static_cast<size_t>(f.size);
                    break;
                case FaultKind::kHeld:
                    // The device reads nothing meanwhile: the socket's buffers fill.
                    for (int i = 0; i < 4 * f.size; ++i) {
                        run.Round(step, 1);
                        server.Flush();
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(f.size));
                    break;
                default:
                    break;
            }
        }
        if (server.IsConnected()) {
            run.Round(step, 1);
            ASSERT_TRUE(Deliver(limit)) << Due(server.log).Describe();
        }
        for (const Fault& f : plan.faults) {
            if (f.step != step || !server.IsConnected()) continue;
            const bool isStop = f.kind == FaultKind::kStop || f.kind == FaultKind::kFlap ||
                                f.kind == FaultKind::kCutStop || f.kind == FaultKind::kBrokenStream;
            if (!isStop) continue;
            if (f.kind == FaultKind::kBrokenStream) {
                std::vector<uint8_t> header(vrpn::kHeaderSize, 0);
                vrpn::PutU32(header.data(), static_cast<uint32_t>(run.Pick(0, 23)));
                server.QueueBytes(header, {}, step);
                ASSERT_TRUE(Deliver(limit));
            } else if (f.kind == FaultKind::kCutStop) {
                run.Round(step, 1);
                run.Pose(0, step);  // in part only
                server.Drop(server.Waiting() - static_cast<size_t>(run.Pick(1, 80)));
            }
            server.Drop(0);
            if (f.kind == FaultKind::kStop || f.kind == FaultKind::kCutStop) {
                server.StopListening();
                isListening = false;
            }
            ASSERT_TRUE(AwaitLoss());
            ++losses;
            lostAt.resize(static_cast<size_t>(server.Connection()) + 1, -1);
            lostAt[static_cast<size_t>(server.Connection())] = step;
            downUntil = step + 1 + f.size;
            break;
        }
        device.Step();
        messages.Take();
        framesWithout += device.IsConnected() ? 0 : 1;
        if (trial < plan.trials.size() &&
            step + 1 == plan.trials[trial].first + plan.trials[trial].second) {
            ASSERT_TRUE(device.FinishRecording());
            said.push_back(device.GetUnreceivedFrames());
            ASSERT_TRUE(device.StopRecording());
            ++trial;
        }
    }
    lostAt.resize(static_cast<size_t>(server.Connection()) + 1, -1);
    const Counts done = Done(device, plan.tracker);
    const uint64_t cut = device.GetCutReports();
    const uint64_t dropped = device.GetDroppedValues();
    EXPECT_EQ(device.GetDropCount(), static_cast<uint64_t>(losses));
    EXPECT_EQ(device.GetConnectCount(), static_cast<uint64_t>(server.Connection()));
    EXPECT_EQ(device.GetFramesWithoutServer(), framesWithout);
    device.Close();
    messages.Take();

    // The device took, refused and marked what went out whole, nothing else.
    const std::vector<Sent>& log = server.log;
    EXPECT_EQ(done, Due(log)) << "device " << done.Describe() << ", server "
                              << Due(log).Describe();
    // The refusals said: the first at once, then each with the count in all.
    const uint64_t refusals = done.malformed + done.refused;
    if (refusals > 1) {
        EXPECT_GT(messages.Count(std::to_string(refusals) + " in all (first: "), 0)
            << refusals << " refusals";
    }
    if (refusals == 1) {
        EXPECT_EQ(messages.Count("(the connection is kept; later ones are counted)"), 1);
    }
    EXPECT_EQ(messages.Count("refused (at most 256 sensors)"), done.sensorRefused > 0 ? 1 : 0);

    // Reports past a recording's channels: cut, counted and said.
    uint64_t cutDue = 0, droppedDue = 0;
    for (const Sent& s : log) {
        if (!s.arrived || s.effect != Effect::kTaken) continue;
        for (size_t t = 0; t < files.size(); ++t) {
            const int first = plan.trials[t].first;
            if (s.step < first || s.step >= first + plan.trials[t].second) continue;
            const int kept = fileChannels[t];
            if (plan.tracker ? s.source >= kept : s.source > kept) {
                ++cutDue;
                droppedDue += plan.tracker ? 7 : static_cast<uint64_t>(s.source - kept);
            }
        }
    }
    EXPECT_EQ(cut, cutDue);
    EXPECT_EQ(dropped, droppedDue);
    if (cut > 1) {
        EXPECT_EQ(messages.Count(std::to_string(cut) + " reports carried values past the channels; " +
                                 std::to_string(dropped) + " values were dropped in all"),
                  1);
    }

    // Each file: every value sent for its source, in order, by the frame's step, or its
    // frame marked for that source (never received, or from a link since lost); the
    // presses of the trial as markers; the frames said to hold values not received.
    std::vector<int> last(CVrpnDevice::kMaxSensors + 130, 0);  // per source, its last report
    const auto findSent = [&](int n) -> const Sent* {
        for (const Sent& s : log)
            if (s.number == n && s.arrived) return &s;
        return nullptr;
    };
    for (size_t t = 0; t < files.size(); ++t) {
        SCOPED_TRACE("trial " + std::to_string(t));
        const int first = plan.trials[t].first;
        CAnalogReader reader;
        ASSERT_TRUE(reader.Open(files[t]));
        const int channels = reader.GetChannelCount();
        ASSERT_EQ(channels, fileChannels[t]);
        ASSERT_EQ(reader.GetDim(), dim);
        ASSERT_EQ(reader.GetFrameCount(), plan.trials[t].second);
        std::vector<std::vector<std::pair<int64_t, bool>>> marks(static_cast<size_t>(channels));
        std::vector<wxString> presses;
        std::vector<int64_t> pressFrames;
        for (size_t m = 0; m < reader.GetMarkerLabels().size(); ++m) {
            const wxString& label = reader.GetMarkerLabels()[m];
            if (reader.GetMarkerCodes()[m] < CSourceWatch::kSilentMarkerCode) {
                presses.push_back(label);
                pressFrames.push_back(reader.GetMarkerFrames()[m]);
                continue;
            }
            for (int c = 0; c < channels; ++c)
                if (label.StartsWith(device.GetSourceWatch().SourceName(c) + " "))
                    marks[static_cast<size_t>(c)].push_back(
                        {reader.GetMarkerFrames()[m], !label.EndsWith(" back")});
        }
        std::vector<wxString> pressesDue;
        std::vector<int64_t> pressFramesDue;
        for (const Sent& s : log)
            if (s.arrived && s.effect == Effect::kButton && s.step >= first &&
                s.step < first + plan.trials[t].second) {
                pressesDue.push_back(wxString::Format("BT[%d] : %d", s.button, s.state));
                pressFramesDue.push_back(s.step - first);
            }
        EXPECT_EQ(presses, pressesDue);
        EXPECT_EQ(pressFrames, pressFramesDue);

        std::vector<double> row(static_cast<size_t>(channels * dim));
        int64_t unreceived = 0;
        for (int64_t f = 0; f < reader.GetFrameCount(); ++f) {
            const int step = first + static_cast<int>(f);
            ASSERT_TRUE(reader.GetFrame(row.data(), static_cast<int64_t>(row.size()), f));
            bool isAnyMarked = false;
            for (int c = 0; c < channels; ++c) {
                const double* v = &row[static_cast<size_t>(c * dim)];
                bool isMarked = false;
                for (const auto& mark : marks[static_cast<size_t>(c)])
                    if (mark.first <= f) isMarked = mark.second;
                isAnyMarked = isAnyMarked || isMarked;
                const std::string where = "frame " + std::to_string(f) + " (step " +
                                          std::to_string(step) + ") source " + std::to_string(c);
                const bool isInitial =
                    plan.tracker ? std::vector<double>(v, v + 7) ==
                                       std::vector<double>{0, 0, 0, 1, 0, 0, 0}
                                 : v[0] == 0.0;
                if (isInitial) {
                    EXPECT_TRUE(isMarked) << where << " holds no value received, unmarked";
                    continue;
                }
                const int n = static_cast<int>(std::floor(plan.tracker ? v[0] / 16.0 : v[0] / 256.0));
                const Sent* s = findSent(n);
                ASSERT_NE(s, nullptr) << where << ": value " << v[0] << " never sent whole";
                if (plan.tracker) {
                    ASSERT_TRUE(s->effect == Effect::kTaken && s->source == c) << where << " report " << n;
                    const int order[7] = {0, 1, 2, 6, 3, 4, 5};  // w first
                    for (int k = 0; k < 7; ++k)
                        ASSERT_EQ(v[k], PoseValue(n, order[k])) << where << " value " << k;
                } else {
                    ASSERT_TRUE(s->effect == Effect::kTaken && s->source > c &&
                                v[0] == AnalogValue(n, c))
                        << where << " report " << n;
                }
                ASSERT_LE(s->step, step) << where << ": report " << n << " not sent yet";
                ASSERT_GE(n, last[static_cast<size_t>(c)]) << where << " went back";
                last[static_cast<size_t>(c)] = n;
                const int lost = lostAt[static_cast<size_t>(s->connection)];
                const bool isFromLostLink = lost >= 0 && lost <= step;
                EXPECT_EQ(isMarked, isFromLostLink)
                    << where << ": report " << n << " of connection " << s->connection
                    << (isMarked ? " marked" : " unmarked");
            }
            unreceived += isAnyMarked ? 1 : 0;
        }
        EXPECT_EQ(said[t], unreceived);
    }
    std::error_code error;
    std::filesystem::remove_all(folder, error);
}

INSTANTIATE_TEST_SUITE_P(Seeds, VrpnClientSuite, ::testing::ValuesIn(SimSeeds(4)), SimSeedName());
