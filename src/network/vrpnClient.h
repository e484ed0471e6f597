#pragma once

// Our side of a VRPN client connection: one device name ("Service@host[:port]"), one TCP
// connection to its server, tracker, analog and button reports of that service handed to
// a sink. Constructed on the GUI thread; Mainloop and the queries: the one thread at a
// time that its owner lets run it. Never waits on the network.

#include "network/vrpnLink.h"

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

// Receives the reports, on the thread running the client's loop.
class CVrpnClientSink {
public:
    virtual ~CVrpnClientSink() = default;
    // Quaternion in VRPN order x, y, z, w; sensor 0..kMaxSensors-1.
    virtual void OnTrackerReport(int sensor, const double pos[3], const double quat[4]) = 0;
    // count 0..128.
    virtual void OnAnalogReport(int count, const double* values) = 0;
    virtual void OnButtonReport(int button, int state) = 0;
};

// A device name taken apart: service before the first '@', location after the last.
struct VrpnName {
    std::string service;
    std::string host;
    int port = 3883;
    bool tcpOnly = false;  // the location asked for a direct TCP connection
};
// False, with a reason, for a name without service or host, an unusable port, or a
// location scheme we do not serve (log playback, remote start).
bool ParseVrpnName(const std::string& name, VrpnName& out, std::string& error);

namespace vrpn {
// printf into a text of at most 255 bytes: the parts of the notes.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
}  // namespace vrpn

// What a refused message was and what was wrong with it, for the user.
std::string DescribeVrpnRefusal(const VrpnRefusal& refusal);

class CVrpnClient : private CVrpnLinkHandler {
public:
    // Seconds between connection attempts while the server is unreachable.
    static constexpr std::chrono::seconds kRetryInterval{2};

    CVrpnClient(const std::string& name, CVrpnClientSink* sink);
    ~CVrpnClient() override;
    CVrpnClient(const CVrpnClient&) = delete;
    CVrpnClient& operator=(const CVrpnClient&) = delete;

    // The name parsed and its host resolved; otherwise GetError says why.
    bool IsValid() const { return m_valid; }
    const std::string& GetError() const { return m_error; }
    const VrpnName& GetName() const { return m_name; }

    // Connects when due, reads what came and delivers the reports.
    void Mainloop();
    // Any thread.
    bool IsConnected() const { return m_connected.load(); }
    uint64_t GetConnectCount() const { return m_connects.load(); }
    uint64_t GetDropCount() const { return m_drops.load(); }
    // Reports refused, the connection kept: a wrong length, an analog count past 128 or a
    // sensor number outside 0..kMaxSensors-1. A hostile server must not cost the link.
    uint64_t GetMalformedCount() const { return m_malformed.load(); }
    // Other messages refused, the connection kept: ids past the peers' tables,
    // descriptions that fail their checks.
    uint64_t GetRefusedMessageCount() const { return m_refusedMessages.load(); }
    // The first and the latest refused message of either kind. Same thread as Mainloop.
    const VrpnRefusal& GetFirstRefusal() const { return m_firstRefusal; }
    const VrpnRefusal& GetLastRefusal() const { return m_lastRefusal; }
    // Why the last connection was lost; empty before a loss. Same thread as Mainloop.
    const std::string& GetLastDropReason() const { return m_lastDropReason; }
    // Connections the server took but that never opened (its cookie refused or late),
    // and why the last one closed. Same thread as Mainloop.
    uint64_t GetFailedOpenings() const { return m_failedOpenings; }
    // Connection attempts that no server took (refused, unreachable), and why the last
    // one failed. Same thread as Mainloop.
    uint64_t GetUnansweredAttempts() const { return m_unanswered; }
    const std::string& GetLastUnanswered() const { return m_lastUnanswered; }
    const std::string& GetLastOpeningFailure() const { return m_lastOpeningFailure; }

private:
    bool OnLinkOpen(CVrpnLink& link) override;
    bool OnLinkMessage(CVrpnLink& link, int kind, const vrpn::Message& message) override;
    bool OnLinkRefused(CVrpnLink& link, const VrpnRefusal& refusal) override;
    void RefuseReport(int kind, const vrpn::Message& message);
    void Remember(const VrpnRefusal& refusal);

    VrpnName m_name;
    bool m_valid = false;
    std::string m_error;
    sockaddr_in m_target{};
    CVrpnClientSink* m_sink;  // non-owning; outlives the client
    std::unique_ptr<CVrpnLink> m_link;
    bool m_hasAttempted = false;
    std::chrono::steady_clock::time_point m_nextAttempt;
    double m_values[vrpn::kMaxAnalogChannels];
    VrpnRefusal m_firstRefusal;
    VrpnRefusal m_lastRefusal;
    bool m_hasRefused = false;
    std::string m_lastDropReason;
    uint64_t m_failedOpenings = 0;
    std::string m_lastOpeningFailure;
    uint64_t m_unanswered = 0;
    std::string m_lastUnanswered;
    std::atomic<bool> m_connected{false};
    std::atomic<uint64_t> m_connects{0};
    std::atomic<uint64_t> m_drops{0};
    std::atomic<uint64_t> m_malformed{0};
    std::atomic<uint64_t> m_refusedMessages{0};
};
