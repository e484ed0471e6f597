// The VRPN client device against a server written from the wire description, a seeded
// simulation. The server numbers its senders and types anew on every connection and
// streams reports (tracker poses or analog values, button changes), each value its own,
// and logs what went out whole. A seed draws the faults and their places: sensors
// appearing, channel counts changing, hostile and foreign messages, bursts with repeats,
// times and sequence numbers out of order, types numbered anew, the server stopping,
// flapping or cut off mid-message, a stream that breaks, a slow line, a held client, no
// server at all, notes held back for an hour; and the trials. Every recorded value was
// sent for its sensor or channel, in order, or its frame is marked as holding values not
// received (never, or from a link since lost); what the device counts and says equals
// what the server sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "analog/analogReader.h"
#include "analog/fakeNetwork.h"
#include "analog/steppedDevice.h"
#include "network/vrpnDevice.h"
#include "process/fakeDevice.h"
#include "process/messageQueue.h"
#include "serial/lineLink.h"
#include "support/simSeeds.h"
#include "support/tempDir.h"
#include "vrpnTestSupport.h"

namespace {

enum class FaultKind {
    kNewSources,  // tracker: sensors appear; analog: the channel count changes
    kHostile,     // malformed reports, ids past the tables, bad descriptions
    kForeign,     // another device's reports, the other variant's, undescribed types
    kBurst,       // many reports of every source before a frame, some sent twice
    kButtons,
    kRenumber,    // the server describes its types again under new ids
    kSlowLine,    // the bytes come a few at a time
    kHeld,        // rounds sent while the device reads nothing
    kStop,        // the connection closes and nobody listens for a while
    kFlap,        // the connection closes, the server still listens
    kCutStop,     // the server stops in the middle of a message
    kBrokenStream,  // a length below the header: the device drops the link
    kCount
};
constexpr bool IsStop(FaultKind kind) { return kind >= FaultKind::kStop; }

struct Fault {
    FaultKind kind;
    int step, size;
};

struct Plan {
    bool tracker = true;
    int sources = 1;  // the server's first sensors or channels
    int steps = 0;
    bool timesOut = false;  // headers carry times and sequence numbers in no order
    int late = 0;           // frames made before the server takes the first connection
    bool refuse = false;    // the first connection is answered with another version's cookie
    bool quiet = false;     // notes at most once an hour: the first at once, the rest at the close
    bool absent = false;    // no server ever answers
    std::vector<std::pair<int, int>> trials;
    std::vector<bool> threadedWriters;
    std::vector<Fault> faults;

    static Plan Draw(uint32_t seed)
    {
        SimDraw pick(seed);
        Plan p;
        p.tracker = pick(0, 1) == 0;
        p.sources = pick(1, p.tracker ? 4 : 6);
        p.timesOut = pick(0, 2) == 0;
        int at = pick(2, 12);
        for (int t = pick(1, 3); t > 0; --t) {
            p.trials.push_back({at, pick(10, 50)});
            p.threadedWriters.push_back(pick(0, 1) == 0);
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
            if (((kinds >> int(kind)) & 1) == 0 || (IsStop(kind) && ++stops > 2)) continue;
            p.faults.push_back({kind, step, pick(IsStop(kind) ? 0 : 1, IsStop(kind) ? 4 : 30)});
        }
        p.late = pick(0, 1) * pick(1, 5);
        p.refuse = pick(0, 3) == 0;
        p.quiet = pick(1, 3) == 2;
        p.absent = pick(0, 9) == 0;
        p.refuse = p.refuse && !p.absent;
        return p;
    }
    std::string Describe() const
    {
        std::string text = std::string(tracker ? "tracker" : "analog") + ", " +
                           std::to_string(sources) + " sources, " + std::to_string(steps) +
                           " steps" + (timesOut ? ", times out of order" : "") + ", " +
                           std::to_string(late) + " late" + (refuse ? ", refused" : "") +
                           (quiet ? ", quiet" : "") + (absent ? ", absent" : "") + ", trials";
        for (size_t t = 0; t < trials.size(); ++t)
            text += " " + std::to_string(trials[t].first) + "+" + std::to_string(trials[t].second) +
                    (threadedWriters[t] ? " threaded" : "");
        for (const Fault& f : faults)
            text += "; kind " + std::to_string(int(f.kind)) + " step " + std::to_string(f.step) +
                    " size " + std::to_string(f.size);
        return text;
    }
};

using vrpn::Format;

// What the device is due to do with a message: keep it (store or cut it), refuse a
// sensor past its own limit, refuse it as malformed or as another refused message (the
// text says why), mark a button, or ignore it.
enum class Effect { kTaken, kSensorRefused, kMalformed, kRefused, kButton, kIgnored };

struct Sent {
    Sent(Effect what = Effect::kIgnored, int n = 0, int at = 0) : effect(what), number(n), source(at)
    {
    }
    Effect effect = Effect::kIgnored;
    int number = 0;  // the report's own number, which its values tell
    int source = 0;  // a pose's sensor, an analog report's count
    int button = 0, state = 0;
    std::string refusal;
    int connection = 0;
    uint64_t end = 0;  // the connection's bytes up to its last
    int step = 0;
    bool arrived = false;  // it went out whole
};

// The values of report n: a pose's 7 (VRPN order: x, y, z, qx, qy, qz, qw); channel c's.
// A third has no short form: a value that passed through a float would show it.
double PoseValue(int n, int k) { return n * 16.0 + k + 1 + 1.0 / 3; }
double AnalogValue(int n, int c) { return n * 256.0 + c + 1.0 / 3; }

class CSimServer {
public:
    CSimServer(std::mt19937& rng, bool timesOut) : m_rng(rng), m_timesOut(timesOut) {}
    ~CSimServer()
    {
        Drop(0);
        StopListening();
    }
    bool Listen()
    {
        m_listener = vrpntest::ListenLoopback(m_port, 4);
        return m_listener >= 0;
    }
    void StopListening()
    {
        if (m_listener >= 0) ::close(m_listener);
        m_listener = -1;
    }
    bool IsListening() const { return m_listener >= 0; }
    // Takes a waiting connection and answers with another major version's cookie: the
    // socket, to close once the device said it, or -1.
    int Refuse()
    {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK);
        uint8_t cookie[vrpn::kCookieSize];
        vrpn::MakeCookie(cookie);
        cookie[12] = '8';
        if (fd >= 0) ::send(fd, cookie, sizeof cookie, MSG_NOSIGNAL);
        return fd;
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
        m_described.clear();
        uint8_t cookie[vrpn::kCookieSize];
        vrpn::MakeCookie(cookie);
        Append(cookie, sizeof cookie);
        m_sender = Draw(0, vrpn::kMaxRemoteIds - 1);
        do m_foreign = Draw(0, vrpn::kMaxRemoteIds - 1);
        while (m_foreign == m_sender);
        QueueDescription(vrpn::kSenderDescription, m_foreign, "Other");
        QueueDescription(vrpn::kSenderDescription, m_sender, "Sim");
        Renumber();
    }
    // Our types under new ids (a peer may describe an id again at any time).
    void Renumber()
    {
        for (size_t i = 0; i < kTypes; ++i) {
            do m_types[i] = Draw(0, Draw(0, 3) == 0 ? vrpn::kMaxRemoteIds - 1 : 12);
            while (std::find(m_types, m_types + i, m_types[i]) != m_types + i);
            m_described.push_back(m_types[i]);
            QueueDescription(vrpn::kTypeDescription, m_types[i], kTypeNames[i]);
        }
    }
    int32_t Type(const char* name) const
    {
        return m_types[std::find(kTypeNames, kTypeNames + kTypes, name) - kTypeNames];
    }
    int32_t Sender() const { return m_sender; }
    int32_t Foreign() const { return m_foreign; }
    // An id no type was described under on this connection.
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
        QueueBytes(bytes, std::move(sent), step);
    }
    void QueueBytes(const std::vector<uint8_t>& bytes, Sent sent, int step)
    {
        Append(bytes.data(), bytes.size());
        sent.connection = m_connection;
        sent.end = m_queued;
        sent.step = step;
        log.push_back(std::move(sent));
    }
    size_t Waiting() const { return m_out.size() - m_outStart; }

    // Writes at most limit bytes of what waits; the messages that went out whole arrived.
    void Flush(size_t limit = std::numeric_limits<size_t>::max())
    {
        while (m_fd >= 0 && limit > 0 && m_outStart < m_out.size()) {
            const ssize_t sent = ::send(m_fd, m_out.data() + m_outStart,
                                        std::min(limit, m_out.size() - m_outStart),
                                        MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent <= 0) break;
            m_outStart += static_cast<size_t>(sent);
            m_written += static_cast<uint64_t>(sent);
            limit -= static_cast<size_t>(sent);
        }
        while (m_arrivedUpTo < log.size() && log[m_arrivedUpTo].end <= m_written)
            log[m_arrivedUpTo++].arrived = true;
    }
    // Reads what the device sent; false once it closed the connection.
    bool Read()
    {
        uint8_t chunk[4096];
        for (ssize_t got = 1; m_fd >= 0;) {
            got = ::recv(m_fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (got == 0) return false;
            if (got < 0) return errno == EAGAIN || errno == EINTR;
        }
        return false;
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
        Append(out, vrpn::EncodeDescription(out, sizeof out, vrpn::Now(), kind, id, name));
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
    size_t m_arrivedUpTo = 0;              // log entries settled
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

// Per effect (but ignored): what the device is due to do with what went out, what it did.
using Counts = std::array<uint64_t, 5>;

std::string Describe(const Counts& c)
{
    const char* const names[] = {"taken ", ", sensors refused ", ", malformed ", ", refused ",
                                 ", buttons "};
    std::string text;
    for (size_t i = 0; i < c.size(); ++i) text += names[i] + std::to_string(c[i]);
    return text;
}

bool Reaches(const Counts& done, const Counts& due)
{
    return std::equal(done.begin(), done.end(), due.begin(), std::greater_equal<uint64_t>());
}

Counts Due(const std::vector<Sent>& log)
{
    Counts due{};
    for (const Sent& s : log)
        if (s.arrived && s.effect != Effect::kIgnored) ++due[static_cast<size_t>(s.effect)];
    return due;
}

Counts Done(CSimDevice& device, bool tracker)
{
    // An analog report past a recording's channels is stored too: its cut is counted apart.
    return {device.GetStoredReports() + (tracker ? device.GetCutReports() : 0),
            device.GetRefusedReports(), device.GetMalformedReports(), device.GetRefusedMessages(),
            device.buttons};
}

// The server's side of a run: its sources, its rounds of reports and its faults.
class CSimRun {
public:
    CSimRun(const Plan& drawn, uint32_t seed)
        : plan(drawn), rng(seed * 7919u + 1u), server(rng, drawn.timesOut)
    {
        for (int s = 0; s < plan.sources; ++s) sensors.push_back(s);
        channels = plan.sources;
        hostiles = Pick(0, 9);
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
        const Effect effect = plan.tracker ? Effect::kIgnored : Effect::kTaken;
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
            // In either order: the highest sensor may come first.
            for (size_t i = 0, n = sensors.size(); i < n; ++i)
                if (Pick(0, 4) > 0) Pose(sensors[step % 2 ? i : n - 1 - i], step, copies);
        } else if (Pick(0, 6) > 0) {
            Analog(channels, step, copies);
        }
    }
    // A message that fails its checks, and the words the device refuses it with.
    void Hostile(int step)
    {
        const auto description = [](uint32_t count, const std::string& name) {
            std::vector<uint8_t> payload(4 + name.size());
            vrpn::PutU32(payload.data(), count);
            std::memcpy(payload.data() + 4, name.data(), name.size());
            return payload;
        };
        const std::string typeName = std::string(vrpn::kPosQuat) + '\0';
        std::vector<uint8_t> payload;
        Sent refused{Effect::kRefused};
        int32_t sender = server.Sender();
        int32_t type = vrpn::kTypeDescription;
        switch (hostiles++ % 10) {  // every kind in turn
            case 0:  // a sensor past what a tracker takes
                return Pose(Pick(CVrpnDevice::kMaxSensors, vrpn::kMaxSensors - 1), step);
            case 1:  // past what the client reads
                return Malformed(vrpn::kPosQuat, std::vector<uint8_t>(vrpn::kPosQuatSize),
                                 Pick(0, 1) ? -Pick(1, 1 << 30) : Pick(vrpn::kMaxSensors, 1 << 30),
                                 step);
            case 2: {
                payload.assign(static_cast<size_t>(Pick(0, 9) * 8), 0);
                if (payload.size() == vrpn::kPosQuatSize) payload.push_back(0);
                return Malformed(vrpn::kPosQuat, payload, 0, step);
            }
            case 3: {  // no count, a count that is none, or fewer values than it says
                const double counts[] = {129.0, 1e9, -1.0, 2.5, std::nan("")};
                const int form = Pick(0, 2);
                const double count = form == 1 ? counts[Pick(0, 4)] : Pick(1, 9);
                payload.assign(form == 0 ? static_cast<size_t>(Pick(0, 7))
                                         : 8 * static_cast<size_t>(form == 1 ? Pick(1, 9) : count),
                               0);
                if (payload.size() >= 8) vrpn::PutF64(payload.data(), count);
                return Malformed(vrpn::kAnalogChannel, payload, 0, step);
            }
            case 4:
                return Malformed(vrpn::kButtonChange, std::vector<uint8_t>(Pick(0, 1) ? 4 : 12), 0,
                                 step);
            case 5:
                type = Pick(vrpn::kMaxRemoteIds, 1 << 30);
                refused.refusal = Format("message of type id %d refused (ids 0 to 1999)", type);
                break;
            case 6:
                sender = Pick(0, 1) ? -Pick(1, 5) : Pick(vrpn::kMaxRemoteIds, 1 << 30);
                type = server.Type(vrpn::kPosQuat);
                payload.assign(vrpn::kPosQuatSize, 0);
                refused.refusal = Format("message from sender id %d refused (ids 0 to 1999)", sender);
                break;
            case 7:
                sender = Pick(0, 1) ? -Pick(1, 5) : Pick(vrpn::kMaxRemoteIds, 1 << 30);
                payload = description(22, typeName);
                refused.refusal = Format("type description for id %d refused (ids 0 to 1999)", sender);
                break;
            case 8: {
                const uint32_t count = Pick(0, 1) ? 0 : Pick(23, 90);
                sender = Pick(0, 30);
                payload = description(count, typeName);
                refused.refusal =
                    Format("type description giving a name of %u bytes in 22 refused", count);
                break;
            }
            default: {
                const int form = Pick(0, 2);
                sender = Pick(0, 30);
                type = Pick(0, 1) ? vrpn::kTypeDescription : vrpn::kSenderDescription;
                const char* what = type == vrpn::kTypeDescription ? "type" : "sender";
                if (form == 0) {
                    payload = description(97, std::string(96, 'n') + '\0');
                    refused.refusal = Format("%s description of 101 bytes refused (names up to 95 "
                                             "characters)", what);
                } else if (form == 1) {
                    payload = description(21, typeName.substr(0, 21));
                    refused.refusal = Format("%s description whose name of 21 bytes does not end "
                                             "in its one NUL refused", what);
                } else {
                    payload.assign(static_cast<size_t>(Pick(0, 4)), 0);
                    refused.refusal = Format("%s description of %zu bytes refused (too short to "
                                             "hold a name)", what, payload.size());
                }
            }
        }
        server.Queue(sender, type, payload, refused, step);
    }
    void Malformed(const char* type, std::vector<uint8_t> payload, int sensor, int step)
    {
        Sent sent{Effect::kMalformed};
        const size_t length = payload.size();
        if (type == vrpn::kPosQuat && length == vrpn::kPosQuatSize) {
            vrpn::PutI32(payload.data(), sensor);
            sent.refusal = Format("tracker report for sensor %lld refused (sensors 1 to 1024)",
                                  static_cast<long long>(sensor) + 1);
        } else if (type == vrpn::kPosQuat) {
            sent.refusal = Format("tracker report of %zu bytes refused (a pose takes 64)", length);
        } else if (type == vrpn::kButtonChange) {
            sent.refusal = Format("button report of %zu bytes refused (a change takes 8)", length);
        } else if (length < 8) {
            sent.refusal = Format("analog report of %zu bytes refused (no channel count)", length);
        } else {
            const double count = vrpn::GetF64(payload.data());
            sent.refusal = count == std::floor(count) && count >= 0 && count <= 128
                               ? Format("analog report of %zu bytes refused (%d channels take %zu)",
                                        length, static_cast<int>(count),
                                        8 * static_cast<size_t>(count + 1))
                               : Format("analog report with channel count %g refused (whole "
                                        "numbers 0 to 128)",
                                        count);
        }
        server.Queue(server.Sender(), server.Type(type), payload, sent, step);
    }
    // Another device's reports on the server, the other variant's, a type nobody described:
    // none of them is ours.
    void Foreign(int step)
    {
        const int n = ++reports;
        std::vector<uint8_t> payload(vrpn::kPosQuatSize);
        const double pos[3] = {PoseValue(n, 0), PoseValue(n, 1), PoseValue(n, 2)};
        const double quat[4] = {PoseValue(n, 3), PoseValue(n, 4), PoseValue(n, 5), PoseValue(n, 6)};
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
    int hostiles = 0;
};

// The note held back until the close: the state then, with the losses and the frames
// since the first note (which came with the frames made before the first connection).
std::string HeldLinkNote(bool connected, const std::vector<std::string>& reasons,
                         size_t lossesSince, uint64_t framesSince, int port)
{
    const auto frames = static_cast<unsigned long long>(framesSince);
    std::string text;
    if (connected) {
        text = reasons.empty() ? "connected to the server"
                               : Format("link to the server back after %llu frames made without "
                                        "it (they hold the last values)",
                                        frames);
        if (lossesSince > 1)
            text += Format("; lost %zu times since the last note (last: %s)", lossesSince,
                           reasons.back().c_str());
    } else if (lossesSince > 0) {
        text = "link to the server lost (" + reasons.back() +
               "); frames hold the last values until it is back";
        if (lossesSince > 1 || frames > 0)
            text += Format(" (lost %zu times since the last note, %llu frames made without it)",
                           lossesSince, frames);
    } else {
        text = Format("no server answers at 127.0.0.1:%d (connection failed: Connection refused) "
                      "since the link was lost; tried again every 2 s",
                      port);
        if (frames > 0)
            text += Format(" (%llu frames made without it, holding the last values)", frames);
    }
    return ": " + text + "\n";
}

}  // namespace

class VrpnClientSuite : public ::testing::TestWithParam<uint32_t> {
protected:
    // Runs the device's loop and the server's until the device took what went out.
    ::testing::AssertionResult Deliver(size_t limit)
    {
        CSimServer& server = m_run->server;
        const auto deadline = std::chrono::steady_clock::now() + vrpntest::kTimeout;
        for (;;) {
            server.Flush(limit);
            m_device->Pump();
            if (!server.Read()) server.Drop(0);  // the device closed the connection
            if ((server.Waiting() == 0 || !server.IsConnected()) &&
                Reaches(Done(*m_device, m_run->plan.tracker), Due(server.log)))
                return ::testing::AssertionSuccess();
            if (std::chrono::steady_clock::now() > deadline)
                return ::testing::AssertionFailure()
                       << "the device did " << Describe(Done(*m_device, m_run->plan.tracker))
                       << " of " << Describe(Due(server.log));
        }
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
    // The faults of a step before its round.
    void Disturb(const Fault& f, int step, size_t& limit)
    {
        CSimRun& run = *m_run;
        switch (f.kind) {
            case FaultKind::kNewSources:
                if (run.plan.tracker)
                    run.sensors.push_back(run.Pick(0, 9) == 0
                                              ? CVrpnDevice::kMaxSensors - 1
                                              : *std::max_element(run.sensors.begin(),
                                                                  run.sensors.end()) +
                                                    run.Pick(1, 3));
                else
                    run.channels = run.Pick(1, 10);
                break;
            case FaultKind::kHostile:
                // One at a time: each refusal's words are then said.
                for (int i = 1 + f.size % 10; i > 0; --i) {
                    run.Hostile(step);
                    EXPECT_TRUE(Deliver(std::numeric_limits<size_t>::max()));
                }
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
                run.server.Renumber();
                break;
            case FaultKind::kSlowLine:
                limit = static_cast<size_t>(f.size);
                break;
            case FaultKind::kHeld:  // the device reads nothing meanwhile: the buffers fill
                for (int i = 0; i < 4 * f.size; ++i) {
                    run.Round(step, 1);
                    run.server.Flush();
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(f.size));
                break;
            default:
                break;
        }
    }
    // The server stops after the step's round (the broken stream: the device drops it).
    ::testing::AssertionResult Stop(const Fault& f, int step)
    {
        CSimServer& server = m_run->server;
        if (f.kind == FaultKind::kBrokenStream) {
            std::vector<uint8_t> header(vrpn::kHeaderSize, 0);
            vrpn::PutU32(header.data(), static_cast<uint32_t>(m_run->Pick(0, 23)));
            server.QueueBytes(header, {}, step);
            if (!Deliver(std::numeric_limits<size_t>::max()))
                return ::testing::AssertionFailure() << "the broken stream was not read";
        } else if (f.kind == FaultKind::kCutStop) {
            m_run->Pose(0, step);  // in part only
            server.Drop(server.Waiting() - static_cast<size_t>(m_run->Pick(1, 80)));
        }
        server.Drop(0);
        if (f.kind == FaultKind::kStop || f.kind == FaultKind::kCutStop) server.StopListening();
        if (vrpntest::PumpUntil([&] { m_device->Pump(); }, [&] { return !m_device->IsConnected(); }))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the device did not see the server go";
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
    const CTempFolder folder("qvvrpnsim");
    m_run = std::make_unique<CSimRun>(plan, seed);
    CSimServer& server = m_run->server;
    ASSERT_TRUE(server.Listen());
    const std::string name = Format("Sim@tcp://127.0.0.1:%d", server.Port());
    m_device = std::make_unique<CSimDevice>(false, wxString(name), plan.tracker);
    CSimDevice& device = *m_device;
    device.SetOwner(&m_owner);  // its notes go to the message queue
    device.SetNoteInterval(plan.quiet ? std::chrono::hours(1) : std::chrono::hours(0));
    if (plan.absent) server.StopListening();  // its port refuses every try
    // Sources that only pause are the silence suite's; here a link lost marks them.
    device.GetSourceWatch().SetSilentAfter(HUGE_VAL);
    g_messages.Drain();
    CMessageLog messages;
    CCallLog calls;
    CFakeNetwork network(&calls);  // presses are announced
    std::vector<std::string> linkDue;  // the notes each loss and return is due
    for (int i = 0; i < plan.late; ++i) device.Step();
    if (plan.refuse) {
        int refused = -1;
        ASSERT_TRUE(vrpntest::PumpUntil(
            [&] {
                device.Pump();
                refused = refused < 0 ? server.Refuse() : refused;
                messages.Take();
            },
            [&] { return messages.Count("(cookie refused)") > 0; }));
        ::close(refused);
        linkDue.push_back(
            ": the server answered but the link did not open (cookie refused); tried again every "
            "2 s" +
            (plan.late > 0 ? Format(" (1 tries since the last note, %d frames made without it)",
                                    plan.late)
                           : std::string()) +
            "\n");
    }
    if (plan.absent)
        linkDue.push_back(Format(": no server answers at 127.0.0.1:%d (connection failed: "
                                 "Connection refused); tried again every 2 s\n",
                                 server.Port()));
    else
        ASSERT_TRUE(AwaitLink());
    if (plan.refuse)
        linkDue.push_back(": connected to the server\n");
    else if (plan.late > 0 && !plan.absent)
        linkDue.push_back(Format(": connected to the server after %d frames made without it "
                                 "(they hold the first values)\n",
                                 plan.late));

    std::vector<int> lostAt(2, -1);  // per connection, the step whose frame came after its loss
    std::vector<std::string> lossReasons;
    std::vector<wxString> files;
    std::vector<int> fileChannels;
    std::vector<int64_t> said;
    uint64_t framesWithout = static_cast<uint64_t>(plan.late), framesSinceLoss = 0;
    int shown = device.GetChannelCount();  // the views' channels
    device.TakeViewGridRequest();
    // Outside a recording a tracker has its highest sensor + 1 channels, an analog device
    // the last report's count.
    const auto held = [&](int step) {
        return std::any_of(plan.trials.begin(), plan.trials.end(), [&](const auto& trial) {
            return step >= trial.first && step < trial.first + trial.second;
        });
    };
    int shape = 1;
    size_t shaped = 0;  // log entries taken into shape
    int downUntil = -1;
    size_t trial = 0;
    for (int step = 0; step < plan.steps; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        if (trial < plan.trials.size() && step == plan.trials[trial].first) {
            ASSERT_TRUE(device.SetupWriter(folder.Name(), "vrpn", static_cast<int>(trial) + 1,
                                           false, "", plan.threadedWriters[trial], 100, 1));
            files.push_back(device.GetWriterFileName());
            fileChannels.push_back(device.GetChannelCount());
            device.Reset();
            ASSERT_TRUE(device.StartRecording());
        }
        if (step == downUntil) {
            ASSERT_TRUE(server.IsListening() || server.Listen());
            ASSERT_TRUE(AwaitLink());
            lostAt.push_back(-1);
            linkDue.push_back(Format(": link to the server back after %llu frames made without it "
                                     "(they hold the last values)\n",
                                     static_cast<unsigned long long>(framesSinceLoss)));
        }
        size_t limit = std::numeric_limits<size_t>::max();
        for (const Fault& f : plan.faults)
            if (f.step == step && server.IsConnected()) Disturb(f, step, limit);
        if (server.IsConnected()) {
            m_run->Round(step, 1);
            ASSERT_TRUE(Deliver(limit));
        }
        for (const Fault& f : plan.faults) {
            if (f.step != step || !server.IsConnected() || !IsStop(f.kind)) continue;
            ASSERT_TRUE(Stop(f, step));
            const bool isBroken = f.kind == FaultKind::kBrokenStream;
            lossReasons.push_back(isBroken ? "malformed message length"
                                           : "peer closed the connection");
            linkDue.push_back(": link to the server lost (" + lossReasons.back() +
                              "); frames hold the last values until it is back\n");
            if (!server.IsListening()) {
                // Nobody listens: the device's next attempt is refused, and said.
                ASSERT_TRUE(vrpntest::PumpUntil([&] { device.Pump(); },
                                                [&] { return device.IsServerUnanswered(); }));
                linkDue.push_back(Format(": no server answers at 127.0.0.1:%d (connection failed: "
                                         "Connection refused) since the link was lost; tried "
                                         "again every 2 s\n",
                                         server.Port()));
            }
            framesSinceLoss = 0;
            lostAt[static_cast<size_t>(server.Connection())] = step;
            downUntil = step + 1 + f.size;
        }
        device.Step();
        // The views are rebuilt once per re-shape, and only then.
        EXPECT_EQ(device.TakeViewGridRequest(), device.GetChannelCount() != shown);
        shown = device.GetChannelCount();
        for (; shaped < server.log.size(); ++shaped) {
            const Sent& s = server.log[shaped];
            if (s.arrived && s.effect == Effect::kTaken && !held(s.step))
                shape = plan.tracker ? std::max(shape, s.source + 1) : s.source;
        }
        EXPECT_EQ(shown, shape);
        messages.Take();
        framesWithout += device.IsConnected() ? 0 : 1;
        framesSinceLoss += device.IsConnected() ? 0 : 1;
        if (trial < plan.trials.size() &&
            step + 1 == plan.trials[trial].first + plan.trials[trial].second) {
            ASSERT_TRUE(device.FinishRecording());
            said.push_back(device.GetUnreceivedFrames());
            ASSERT_TRUE(device.StopRecording());
            ++trial;
        }
    }
    const Counts done = Done(device, plan.tracker);
    const uint64_t cut = device.GetCutReports();
    const uint64_t dropped = device.GetDroppedValues();
    EXPECT_EQ(device.GetConnectCount(), static_cast<uint64_t>(server.Connection()));
    EXPECT_EQ(device.GetDropCount(), static_cast<uint64_t>(
                                         std::count_if(lostAt.begin(), lostAt.end(),
                                                       [](int at) { return at >= 0; })));
    EXPECT_EQ(device.GetFramesWithoutServer(), framesWithout);
    const bool connected = device.IsConnected();
    for (int c = 0; c < device.GetChannelCount(); ++c)
        EXPECT_EQ(device.GetChannelName(c), wxString::Format("Channel #%d", c));
    const size_t saidBeforeClose = messages.texts.size();
    device.Close();
    messages.Take();

    // Each loss said with its reason, each return with the frames made meanwhile.
    std::vector<std::string> linkSaid;
    size_t linkBeforeClose = 0;
    for (size_t i = 0; i < messages.texts.size(); ++i) {
        const std::string& text = messages.texts[i];
        if (text.find(": link to the server ") != std::string::npos ||
            text.find(": connected to the server") != std::string::npos ||
            text.find(": the server answered but") != std::string::npos ||
            text.find(": no server answers at ") != std::string::npos) {
            linkSaid.push_back(text.substr(text.find(": ")));
            linkBeforeClose += i < saidBeforeClose ? 1 : 0;
        }
    }
    EXPECT_EQ(linkBeforeClose, plan.quiet ? std::min<size_t>(linkSaid.size(), 1) : linkSaid.size());
    // Held notes: the first said at once, what came since said once at the close.
    const bool isHeld = plan.quiet && !plan.absent && linkDue.size() > 1;
    if (isHeld) {
        const size_t firstLost = plan.late == 0 && !plan.refuse ? 1 : 0;
        linkDue.resize(1);
        linkDue.push_back(HeldLinkNote(connected, lossReasons, lossReasons.size() - firstLost,
                                       framesWithout - static_cast<uint64_t>(plan.late),
                                       server.Port()));
    }
    // No server at all: each later try said with the frames made since the last note (held:
    // at the close), the rest of them when the device closes.
    uint64_t framesSaid = 0;
    for (size_t i = 1; plan.absent && i < linkSaid.size(); ++i) {
        const std::string head = linkDue[0].substr(0, linkDue[0].size() - 1) + " (";
        ASSERT_EQ(linkSaid[i].compare(0, head.size(), head), 0) << linkSaid[i];
        const uint64_t frames = std::stoull(linkSaid[i].substr(head.size()));
        EXPECT_EQ(linkSaid[i], head + std::to_string(frames) +
                                   " frames made without it, holding no received values)\n");
        framesSaid += frames;
    }
    if (plan.absent) linkSaid.resize(std::min<size_t>(linkSaid.size(), 1));
    EXPECT_EQ(linkSaid, linkDue);
    EXPECT_LE(framesSaid, framesWithout);
    EXPECT_EQ(messages.Count(Format("closed without ever reaching the server; %llu frames were "
                                    "made without it",
                                    static_cast<unsigned long long>(framesWithout))),
              plan.absent && framesSaid < framesWithout ? 1 : 0);
    EXPECT_EQ(messages.Count(Format("closed without a server; %llu frames were made without it "
                                    "(%llu since the link was lost)",
                                    static_cast<unsigned long long>(framesWithout),
                                    static_cast<unsigned long long>(framesSinceLoss))),
              connected || lossReasons.empty() || isHeld ? 0 : 1);

    // The device took, refused and marked what went out whole, nothing else.
    const std::vector<Sent>& log = server.log;
    EXPECT_EQ(done, Due(log)) << "device " << Describe(done) << ", server " << Describe(Due(log));
    // Presses are announced, releases not.
    EXPECT_EQ(std::count_if(calls.calls.begin(), calls.calls.end(),
                            [](const std::string& call) { return call.rfind("event:", 0) == 0; }),
              std::count_if(log.begin(), log.end(), [](const Sent& s) {
                  return s.arrived && s.effect == Effect::kButton && s.state != 0;
              }));
    // Each refusal said as it came: the first at once, then with the count in all, the
    // first and the last one's words.
    std::vector<std::string> refusals;
    for (const Sent& s : log)
        if (s.arrived && !s.refusal.empty()) refusals.push_back(s.refusal);
    size_t at = 0;
    uint64_t total = 0;
    for (const std::string& text : messages.texts) {
        const size_t first = text.find(" in all (first: ");
        const size_t last = text.find("; last: ");
        if (first != std::string::npos && last != std::string::npos) {
            total = std::stoull(text.substr(text.rfind(", ", first) + 2));
            EXPECT_EQ(text.substr(first + 16, last - first - 16), refusals.at(0));
            const std::string lastSaid = text.substr(last + 8, text.find("); the connection") - last - 8);
            const auto found = std::find(refusals.begin() + static_cast<long>(at), refusals.end(), lastSaid);
            ASSERT_NE(found, refusals.end()) << text;
            at = static_cast<size_t>(found - refusals.begin());
        } else if (text.find(" (the connection is kept; later ones are counted)") != std::string::npos) {
            EXPECT_EQ(text, "<VRPN> " + name + ": " + refusals.at(0) +
                                " (the connection is kept; later ones are counted)\n");
            total = 1;
        }
    }
    EXPECT_EQ(total, refusals.size());
    EXPECT_EQ(messages.Count("refused (at most 256 sensors)"), done[1] > 0 ? 1 : 0);

    // Reports past a recording's channels: cut, counted and said.
    uint64_t cutDue = 0, droppedDue = 0;
    for (const Sent& s : log) {
        for (size_t t = 0; t < files.size() && s.arrived && s.effect == Effect::kTaken; ++t) {
            const int kept = fileChannels[t];
            if (s.step >= plan.trials[t].first &&
                s.step < plan.trials[t].first + plan.trials[t].second &&
                (plan.tracker ? s.source >= kept : s.source > kept)) {
                ++cutDue;
                droppedDue += plan.tracker ? 7 : static_cast<uint64_t>(s.source - kept);
            }
        }
    }
    EXPECT_EQ(cut, cutDue);
    EXPECT_EQ(dropped, droppedDue);
    if (cut > 1) {
        EXPECT_EQ(messages.Count(Format("%llu reports carried values past the channels; %llu "
                                        "values were dropped in all",
                                        static_cast<unsigned long long>(cut),
                                        static_cast<unsigned long long>(dropped))),
                  1);
    }

    // Each file: every value sent for its source, in order, by the frame's step, or its
    // frame marked for that source (never received, or from a link since lost); the
    // presses of the trial as markers; the frames said to hold values not received.
    const int dim = plan.tracker ? 7 : 1;
    std::vector<int> lastReport(CVrpnDevice::kMaxSensors, 0);
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
        std::vector<std::pair<int64_t, wxString>> presses, pressesDue;
        for (size_t m = 0; m < reader.GetMarkerLabels().size(); ++m) {
            const wxString& label = reader.GetMarkerLabels()[m];
            const int64_t frame = reader.GetMarkerFrames()[m];
            const uint32_t code = reader.GetMarkerCodes()[m];
            if (code < CSourceWatch::kSilentMarkerCode)
                presses.push_back({frame, label + wxString::Format(" #%u", code)});
            for (int c = 0; c < channels; ++c)
                if (label.StartsWith(device.GetSourceWatch().SourceName(c) + " "))
                    marks[static_cast<size_t>(c)].push_back({frame, !label.EndsWith(" back")});
        }
        for (const Sent& s : log)
            if (s.arrived && s.effect == Effect::kButton && s.step >= first &&
                s.step < first + plan.trials[t].second)
                pressesDue.push_back({s.step - first, wxString::Format("BT[%d] : %d #%d", s.button,
                                                                       s.state, s.button)});
        EXPECT_EQ(presses, pressesDue);

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
                const std::string where = Format("frame %lld (step %d) source %d",
                                                 static_cast<long long>(f), step, c);
                if (plan.tracker ? std::vector<double>(v, v + 7) ==
                                       std::vector<double>{0, 0, 0, 1, 0, 0, 0}
                                 : v[0] == 0.0) {
                    EXPECT_TRUE(isMarked) << where << " holds no value received, unmarked";
                    continue;
                }
                const int n = static_cast<int>(std::floor(v[0] / (plan.tracker ? 16.0 : 256.0)));
                const auto s = std::find_if(log.begin(), log.end(), [&](const Sent& sent) {
                    return sent.number == n && sent.arrived && sent.effect == Effect::kTaken;
                });
                ASSERT_NE(s, log.end()) << where << ": value " << v[0] << " never sent whole";
                for (int k = 0; k < dim; ++k) {
                    const int order[7] = {0, 1, 2, 6, 3, 4, 5};  // w first
                    ASSERT_EQ(v[k], plan.tracker ? PoseValue(n, order[k]) : AnalogValue(n, c))
                        << where << " value " << k;
                }
                ASSERT_TRUE(plan.tracker ? s->source == c : s->source > c) << where;
                ASSERT_LE(s->step, step) << where << ": report " << n << " not sent yet";
                ASSERT_GE(n, lastReport[static_cast<size_t>(c)]) << where << " went back";
                lastReport[static_cast<size_t>(c)] = n;
                const int lost = lostAt[static_cast<size_t>(s->connection)];
                EXPECT_EQ(isMarked, lost >= 0 && lost <= step)
                    << where << ": report " << n << " of connection " << s->connection;
            }
            unreceived += isAnyMarked ? 1 : 0;
        }
        EXPECT_EQ(said[t], unreceived);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, VrpnClientSuite, ::testing::ValuesIn(SimSeeds(8)), SimSeedName());
