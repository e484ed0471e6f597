#pragma once

// A raw VRPN peer on 127.0.0.1 for the server and device tests: it speaks the bytes
// itself, so the tests check our layer against the protocol, not against itself.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "network/vrpnDevice.h"
#include "network/vrpnServerModule.h"
#include "network/vrpnWire.h"

namespace vrpntest {

// Bounds a wait that only a broken build runs out.
constexpr std::chrono::seconds kTimeout{10};

struct Received {
    int32_t sender = 0;
    int32_t type = 0;
    uint32_t length = 0;  // header length field
    std::vector<uint8_t> payload;
    std::vector<uint8_t> wire;  // the whole message as it came, padding included
};

// Runs step (one server pass, say) until done says so; false at the timeout.
inline bool PumpUntil(const std::function<void()>& step, const std::function<bool()>& done,
                      std::chrono::milliseconds limit = kTimeout)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        step();
        if (done()) return true;
    }
    return false;
}

// Starts the process-wide server on a free loopback port for one test.
class CServerFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetVrpnServerPort(0);
        SetVrpnServerAddress(INADDR_LOOPBACK);
    }
    void TearDown() override
    {
        StopVrpnServer();
        SetVrpnServerCookieTimeout(CVrpnLink::kCookieTimeout);
        SetVrpnServerStuckTimeout(CVrpnServer::kStuckTimeout);
        SetVrpnServerPort(vrpn::kDefaultPort);
        SetVrpnServerAddress(0);
    }
};

class Peer {
public:
    ~Peer() { Close(); }
    void Close()
    {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    int Fd() const { return m_fd; }

    // receiveBuffer > 0 shrinks the socket's receive buffer first (a peer that never
    // reads then fills the server's queue soon).
    bool Connect(int port, int receiveBuffer = 0)
    {
        Close();
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (receiveBuffer > 0)
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        target.sin_port = htons(static_cast<uint16_t>(port));
        const int result = ::connect(m_fd, reinterpret_cast<sockaddr*>(&target), sizeof target);
        return result == 0 || errno == EINPROGRESS;
    }
    // Adopts a socket (a call-back accepted by a test listener).
    void Adopt(int fd) { Close(); m_fd = fd; }

    bool Send(const void* data, size_t size)
    {
        const uint8_t* next = static_cast<const uint8_t*>(data);
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        while (size > 0 && std::chrono::steady_clock::now() < deadline) {
            const ssize_t sent = ::send(m_fd, next, size, MSG_NOSIGNAL);
            if (sent < 0) {
                if (errno == EAGAIN || errno == EINTR) {
                    pollfd poller{m_fd, POLLOUT, 0};
                    ::poll(&poller, 1, 10);
                    continue;
                }
                return false;
            }
            next += sent;
            size -= static_cast<size_t>(sent);
        }
        return size == 0;
    }
    bool Send(const std::vector<uint8_t>& bytes) { return Send(bytes.data(), bytes.size()); }
    bool SendCookie()
    {
        uint8_t cookie[vrpn::kCookieSize];
        vrpn::MakeCookie(cookie);
        return Send(cookie, sizeof cookie);
    }
    bool SendDescription(int32_t kind, int32_t id, const std::string& name)
    {
        uint8_t out[256];
        const size_t size = vrpn::EncodeDescription(out, sizeof out, vrpn::Time{}, kind, id, name);
        return size > 0 && Send(out, size);
    }
    bool SendMessage(int32_t sender, int32_t type, const uint8_t* payload, size_t length)
    {
        std::vector<uint8_t> out(vrpn::kHeaderSize + vrpn::Padded(length));
        const size_t size = vrpn::EncodeMessage(out.data(), out.size(), vrpn::Time{}, sender,
                                                type, payload, length);
        return size > 0 && Send(out.data(), size);
    }

    // Reads what waits (a short poll: this is the wait for the next bytes).
    bool ReadSome()
    {
        if (m_fd < 0) return false;
        pollfd poller{m_fd, POLLIN, 0};
        if (::poll(&poller, 1, 1) <= 0) return true;
        // Taken bytes leave the front in one move, not one message at a time: a fast
        // stream must not cost the reader more than the server.
        if (m_start > 0) {
            m_in.erase(m_in.begin(), m_in.begin() + static_cast<ptrdiff_t>(m_start));
            m_start = 0;
        }
        uint8_t chunk[65536];
        const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got == 0) {
            m_peerClosed = true;
            return false;
        }
        if (got > 0) m_in.insert(m_in.end(), chunk, chunk + got);
        return true;
    }
    // Appends bytes read elsewhere (by a thread that only reads) to what was read.
    void Feed(const std::vector<uint8_t>& bytes)
    {
        if (m_start > 0) {
            m_in.erase(m_in.begin(), m_in.begin() + static_cast<ptrdiff_t>(m_start));
            m_start = 0;
        }
        m_in.insert(m_in.end(), bytes.begin(), bytes.end());
    }
    bool PeerClosed() const { return m_peerClosed; }
    // The connection is established (the server's kernel took it), without waiting.
    bool IsEstablished() const
    {
        pollfd poller{m_fd, POLLOUT, 0};
        if (::poll(&poller, 1, 0) <= 0) return false;
        int error = 0;
        socklen_t length = sizeof error;
        return ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }

    // Takes the 24-byte cookie from what was read.
    bool TakeCookie(std::vector<uint8_t>& cookie)
    {
        if (m_in.size() - m_start < vrpn::kCookieSize) return false;
        const auto first = m_in.begin() + static_cast<ptrdiff_t>(m_start);
        cookie.assign(first, first + vrpn::kCookieSize);
        m_start += vrpn::kCookieSize;
        return true;
    }
    // Takes one message; descriptions also fill the name tables.
    bool TakeMessage(Received& out)
    {
        if (m_in.size() - m_start < vrpn::kHeaderSize) return false;
        const uint8_t* data = m_in.data() + m_start;
        const uint32_t length = vrpn::GetU32(data);
        const size_t total = vrpn::kHeaderSize + vrpn::Padded(length - vrpn::kHeaderSize);
        if (m_in.size() - m_start < total) return false;
        out.length = length;
        out.sender = vrpn::GetI32(data + 12);
        out.type = vrpn::GetI32(data + 16);
        out.payload.assign(data + vrpn::kHeaderSize, data + length);
        out.wire.assign(data, data + total);
        m_start += total;
        if (out.type == vrpn::kSenderDescription || out.type == vrpn::kTypeDescription) {
            const std::string name(reinterpret_cast<const char*>(out.payload.data()) + 4);
            (out.type == vrpn::kSenderDescription ? senders : types)[out.sender] = name;
        }
        return true;
    }
    std::string TypeName(int32_t type) const
    {
        const auto found = types.find(type);
        return found == types.end() ? std::string() : found->second;
    }
    int32_t TypeId(const std::string& name) const
    {
        for (const auto& [id, text] : types) {
            if (text == name) return id;
        }
        return -100;
    }

    std::map<int32_t, std::string> senders;
    std::map<int32_t, std::string> types;

private:
    int m_fd = -1;
    std::vector<uint8_t> m_in;
    size_t m_start = 0;  // bytes of m_in already taken
    bool m_peerClosed = false;
};

inline void ServerPass() { VrpnServerMainloop(); }

// Pumps the server until the peer has a message that match accepts (the ones before are
// taken and dropped); false at the timeout or when the server closed the connection.
inline bool Await(Peer& peer, Received& out, const std::function<bool(const Received&)>& match,
                  const std::function<void()>& step = ServerPass)
{
    return PumpUntil(
        [&] {
            step();
            peer.ReadSome();
        },
        [&] {
            while (peer.TakeMessage(out)) {
                if (match(out)) return true;
            }
            return peer.PeerClosed();
        }) &&
           !peer.PeerClosed();
}

// Until the server closes the peer's connection.
inline bool AwaitClose(Peer& peer, const std::function<void()>& step = ServerPass)
{
    return PumpUntil(
        [&] {
            step();
            peer.ReadSome();
            Received ignored;
            while (peer.TakeMessage(ignored)) {
            }
        },
        [&] { return peer.PeerClosed(); });
}

// Connects to the server, exchanges cookies and reads the opening up to the
// description of the pong type (the last one our server sends).
inline bool OpenPeer(Peer& peer, int port, std::vector<uint8_t>* cookie = nullptr,
                     int receiveBuffer = 0)
{
    if (!peer.Connect(port, receiveBuffer) || !peer.SendCookie()) return false;
    std::vector<uint8_t> received;
    if (!PumpUntil(
            [&] {
                ServerPass();
                peer.ReadSome();
            },
            [&] { return peer.TakeCookie(received); }))
        return false;
    if (cookie != nullptr) *cookie = received;
    Received message;
    return Await(peer, message, [](const Received& m) {
        return m.type == vrpn::kTypeDescription && m.payload.size() > 4 &&
               std::string(reinterpret_cast<const char*>(m.payload.data()) + 4) == vrpn::kPong;
    });
}

// Joined devices whose values tell their frame: frame f (from 1) of global sensor g holds
// f * kLabStep + 7 g + k in row value k; of analog channel c (global) f * kLabStep + c.
constexpr double kLabStep = 100000.0;

struct LabLayout {
    std::vector<int> trackers;  // sensors of each tracker device
    std::vector<int> analogs;   // channels of each analog device
    int SensorCount() const
    {
        int total = 0;
        for (int sensors : trackers) total += sensors;
        return total;
    }
};

// Adds the layout's devices to the running server: trackers first, then analogs, no
// buttons. Their registry indices follow the program's own block (1, 2, ...).
inline bool AddLabDevices(const LabLayout& layout)
{
    int index = 1;
    for (int sensors : layout.trackers) {
        if (VrpnServerAddDevice(0, 0, sensors, nullptr) != index++) return false;
    }
    for (int channels : layout.analogs) {
        if (VrpnServerAddDevice(0, channels, 0, nullptr) != index++) return false;
    }
    return true;
}

// Frame f of tracker t (its first global sensor first) and of analog a.
inline void LabPoses(int frame, int firstSensor, int sensors, std::vector<double>& poses)
{
    poses.resize(static_cast<size_t>(7 * sensors));
    for (int s = 0; s < sensors; ++s) {
        for (int k = 0; k < 7; ++k)
            poses[static_cast<size_t>(7 * s + k)] = frame * kLabStep + 7 * (firstSensor + s) + k;
    }
}
inline void LabAnalog(int frame, int firstChannel, int channels, std::vector<double>& values)
{
    values.resize(static_cast<size_t>(channels));
    for (int c = 0; c < channels; ++c)
        values[static_cast<size_t>(c)] = frame * kLabStep + firstChannel + c;
}

// What one client received of a lab stream: per sensor and report type the frames in
// order; per analog device the frames its channels took, each new one once (reports carry
// every channel, so a device's values repeat while another's change); fields that do not
// belong to one frame; report times that went back.
struct LabReports {
    explicit LabReports(const LabLayout& shape) : layout(shape)
    {
        for (auto& frames : poses) frames.resize(static_cast<size_t>(layout.SensorCount()));
        analog.resize(layout.analogs.size());
    }
    // The frame a value stands for at a global index; 0 for the values before any frame.
    static int FrameOf(double value) { return static_cast<int>(value / kLabStep); }

    void Take(const Peer& peer, const Received& message)
    {
        if (message.type < 0) return;
        const std::string name = peer.TypeName(message.type);
        const int kind = name == vrpn::kPosQuat         ? 0
                         : name == vrpn::kVelocity      ? 1
                         : name == vrpn::kAcceleration  ? 2
                         : name == vrpn::kAnalogChannel ? 3
                                                        : -1;
        if (kind < 0) return;
        const vrpn::Time time{vrpn::GetI32(message.wire.data() + 4),
                              vrpn::GetI32(message.wire.data() + 8)};
        if (time.sec < lastTime.sec || (time.sec == lastTime.sec && time.usec < lastTime.usec))
            ++timesBack;
        lastTime = time;
        const uint8_t* payload = message.payload.data();
        if (kind == 3) {
            TakeAnalog(message);
            return;
        }
        const int sensor = vrpn::GetI32(payload);
        if (sensor < 0 || sensor >= layout.SensorCount()) {
            ++mismatches;
            return;
        }
        // The quaternion x (row value 4) is in every tracker report; the position only in
        // the pose.
        const double quatX = vrpn::GetF64(payload + 32);
        const int frame = FrameOf(quatX);
        // The values before any frame (zeros), as every current value carries them.
        if (quatX == 0.0) {
            if (kind == 0 && !std::all_of(payload + 8, payload + 64,
                                          [](uint8_t byte) { return byte == 0; }))
                ++mismatches;
            return;
        }
        const double base = frame * kLabStep + 7 * sensor;
        if (quatX != base + 4) ++mismatches;
        if (kind == 0) {
            const int order[7] = {0, 1, 2, 4, 5, 6, 3};  // wire x y z qx qy qz qw
            for (int i = 0; i < 7; ++i) {
                if (vrpn::GetF64(payload + 8 + 8 * i) != base + order[i]) ++mismatches;
            }
        }
        if (frame > 0)
            poses[static_cast<size_t>(kind)][static_cast<size_t>(sensor)].push_back(frame);
    }
    void TakeAnalog(const Received& message)
    {
        const int count = static_cast<int>(vrpn::GetF64(message.payload.data()));
        int first = 0;
        for (size_t d = 0; d < layout.analogs.size(); ++d) {
            const int channels = layout.analogs[d];
            if (first + channels > count) break;
            const double value0 = vrpn::GetF64(message.payload.data() + 8 + 8 * first);
            const int frame = FrameOf(value0);
            for (int c = 0; c < channels; ++c) {
                const double want = frame == 0 ? 0.0 : frame * kLabStep + first + c;
                if (vrpn::GetF64(message.payload.data() + 8 + 8 * (first + c)) != want)
                    ++mismatches;
            }
            std::vector<int>& frames = analog[d];
            if (frame > 0 && (frames.empty() || frames.back() != frame)) frames.push_back(frame);
            first += channels;
        }
    }

    const LabLayout layout;
    std::vector<std::vector<int>> poses[3];  // pose, velocity, acceleration; per sensor
    std::vector<std::vector<int>> analog;    // per analog device
    int mismatches = 0;
    int timesBack = 0;
    vrpn::Time lastTime;
};

// The counts the server said, "<n><what>" summed over every message.
inline uint64_t SaidCount(const std::vector<std::string>& said, const std::string& what)
{
    uint64_t total = 0;
    for (const std::string& text : said) {
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            const size_t start = text.rfind(' ', at - 1) + 1;
            total += std::stoull(text.substr(start, at - start));
        }
    }
    return total;
}

// A non-blocking listener on 127.0.0.1:port (0: a free one, then port is set to it); -1
// when it cannot listen. A server that comes back keeps its port.
inline int ListenLoopback(int& port, int backlog)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t length = sizeof local;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(listener, backlog) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        ::close(listener);
        return -1;
    }
    port = ntohs(local.sin_port);
    return listener;
}

// A server of our own making on 127.0.0.1 that says what a test wants: it takes the
// device's connection, exchanges cookies and describes one tracker service.
class CRawTrackerServer {
public:
    CRawTrackerServer() { Listen(0); }
    ~CRawTrackerServer() { ::close(m_listener); }
    int Port() const { return m_port; }

    bool Listen(int port)
    {
        m_port = port;
        m_listener = ListenLoopback(m_port, 1);
        return m_listener >= 0;
    }
    // The server goes away: its connection closes, and with stopListening nobody
    // answers on its port until Listen(Port()) again.
    void GoAway(bool stopListening)
    {
        m_peer.Close();
        if (!stopListening) return;
        ::close(m_listener);
        m_listener = -1;
    }

    // Until the device is connected and has the opening; pump runs the device's side
    // (its Poll when empty).
    bool Open(CVrpnDevice& device, std::function<void()> pump = {})
    {
        if (!pump) pump = [&device] { device.Poll(); };
        std::vector<uint8_t> cookie;
        return PumpUntil(pump, [&] {
                   const int socket = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK);
                   if (socket >= 0) m_peer.Adopt(socket);
                   return socket >= 0;
               }) && m_peer.SendCookie() &&
               PumpUntil(
                   [&] {
                       pump();
                       m_peer.ReadSome();
                   },
                   [&] { return m_peer.TakeCookie(cookie); }) &&
               m_peer.SendDescription(vrpn::kSenderDescription, 0, "Raw") &&
               m_peer.SendDescription(vrpn::kTypeDescription, 0, vrpn::kPosQuat) &&
               m_peer.SendDescription(vrpn::kTypeDescription, 1, vrpn::kButtonChange) &&
               m_peer.SendDescription(vrpn::kTypeDescription, 2, vrpn::kAnalogChannel) &&
               PumpUntil(pump, [&] { return device.IsConnected(); });
    }
    // Any payload under our type 0 (pose), 1 (button change) or 2 (analog).
    bool SendRaw(int32_t type, const std::vector<uint8_t>& payload)
    {
        return m_peer.SendMessage(0, type, payload.data(), payload.size());
    }
    bool SendPose(int32_t sensor, const double pos[3], const double quat[4])
    {
        uint8_t payload[vrpn::kPosQuatSize];
        const size_t length = vrpn::EncodePosQuat(payload, sensor, pos, quat);
        return m_peer.SendMessage(0, 0, payload, length);
    }

private:
    int m_listener = -1;
    int m_port = 0;
    vrpntest::Peer m_peer;
};

}  // namespace vrpntest
