#pragma once

// The client link to an OSC source: announces itself with a "connect" message,
// listens on its own port for the source's packets, and says goodbye with a
// "disconnect" message. It feeds an OSC device (its owner) or, without owner,
// keeps the numbers it receives in a short list (the OSC trigger input).
//
// Threads: Open, Close and destruction run on one thread (GUI) while no poll
// runs; the owner of the connection serialises them against polling. Poll:
// any thread, one at a time (a second poller is refused at once). GetValue and
// TakeFirstValue: any thread.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "network/repeatNote.h"
#include "osc_pkt/oscpkt.h"
#include "osc_pkt/udp.h"

class COscDevice;
class CTriggerCrossings;

// A source gets at most this many channels; numeric arguments past it are dropped,
// so that one hostile datagram cannot make thousands of channels.
constexpr int kOscMaxChannels = 1024;
// The listening socket's receive buffer: room for a burst of a fast source.
constexpr int kOscReceiveBufferBytes = 4 * 1024 * 1024;
// A poll takes every datagram waiting; the receive buffer holds fewer than this even
// of empty ones, so the bound only ends a pass that a flood would keep going.
constexpr int kOscMaxPacketsPerPoll = 1 << 16;

// Results of Connect.
enum OscConnectResult : int {
    kOscConnectOk = 0,
    kOscConnectListenFailed = 1,
    kOscConnectAddressFailed = 2,
    kOscConnectSendFailed = 3,
};

class OscConnection {
public:
    // owner: non-owning, outlives the connection; null for the trigger input.
    explicit OscConnection(COscDevice* owner);
    ~OscConnection();  // sends the disconnect message when open
    OscConnection(const OscConnection&) = delete;
    OscConnection& operator=(const OscConnection&) = delete;

    // Before Open. The texts are appended to the prefix to form the two addresses.
    void SetPatterns(const std::string& connectPattern, const std::string& disconnectPattern);
    // Before Open, without owner: each message's first number also goes to crossings
    // (non-owning, outlives the connection), so that none is lost between two reads.
    void SetCrossings(CTriggerCrossings* crossings) { m_crossings = crossings; }
    // A restart's moment (program time, us): a crossing whose datagram came earlier
    // (it waited on the port across the restart) is stamped as coming then.
    void SetEarliestArrival(double atUs) { m_earliestUs = atUs; }
    // Before Open; clamped to 0..kOscMaxConnectTimeoutMs and 0..kOscMaxClientPollTimeoutMs.
    void SetTimeouts(int connectTimeoutMs, int pollTimeoutMs);

    // True at once when already open; otherwise runs the handshake once. previous: the
    // link this one replaces (retired, same owner), or null. When it was asked for the
    // same port, its socket is handed over with what waits there, so that nothing sent
    // to that port is lost between the two; another port it leaves (Leave) once this
    // one listens.
    bool Open(const std::string& prefix, const std::string& host, int broadcastPort,
              int listeningPort, OscConnection* previous = nullptr);
    int Connect(OscConnection* previous = nullptr);
    void Close();
    // Close, then takes what came on the listening port before it closes with the
    // connection. Same thread rules as Close.
    void Retire();
    // Stops listening: what reached the port until then is taken, what came after is
    // counted (GetLostDatagramCount) and said. Same thread rules as Close.
    void Leave();
    bool SendDisconnect();

    // Receives and handles the datagrams waiting (every message of each, in order);
    // true when at least one message was handled. The first receive waits for the
    // longer of the poll time-out and waitUs (the caller's idle time).
    bool Poll(std::int64_t waitUs = 0);
    void HandleMessage(const OscMessage& message);
    // Number of numeric arguments ('d', 'f', 'h', 'i'); adapts the owner's channels.
    int CountChannels(const std::string& typeTags);
    void StoreValue(double value, int index);

    // Without owner: the received value at index, 0.0 out of range.
    double GetValue(int index) const;
    // Without owner: the first received value, then the list is emptied; false when
    // nothing was received since the last call.
    bool TakeFirstValue(double& value);

    // Any thread: datagrams ignored because they were not valid OSC (a bad packet, a
    // message whose arguments run past its end). Said once, then every few seconds.
    std::uint64_t GetMalformedCount() const { return m_malformed.load(); }
    // Any thread: datagrams read from the listening port, malformed ones included.
    std::uint64_t GetDatagramCount() const { return m_datagrams.load(); }
    // Any thread: datagrams the system dropped on this link's listening socket (its
    // queue full, or come after it stopped listening); counted when it leaves or closes.
    std::uint64_t GetLostDatagramCount() const { return m_lost.load(); }

    bool IsOpen() const { return m_open; }
    bool IsReady() const { return m_ready.load(); }
    int LastResult() const { return m_lastResult; }
    // Why the last Open failed, with the port or the host; empty when it did not.
    std::string FailureText() const;
    // The local port the listening endpoint is bound to (differs from the asked one for 0).
    // The port stays known once the socket is handed on or left.
    int BoundListeningPort() const
    {
        return m_listen.IsOpen() ? m_listen.LocalAddress().Port() : m_boundPort;
    }
    const std::string& Host() const { return m_host; }

private:
    bool SendAddress(const std::string& address);
    bool TakeWaiting(std::int64_t timeoutUs);  // the poller
    bool HandleMessages();                     // of the packet in m_parser
    void CountMalformed();  // the poller
    void CountDatagram();   // the poller
    // Counted, told to the owner and said.
    void NoteLost(std::uint64_t lost);
    void SayMalformed(CRepeatNote::Clock::time_point now);
    void StoreValueLocked(double value, int index);  // m_valuesMutex held

    COscDevice* const m_owner;  // non-owning
    CTriggerCrossings* m_crossings = nullptr;  // non-owning
    double m_earliestUs = -1.0e300;
    UdpEndpoint m_listen;
    UdpEndpoint m_send;
    bool m_open = false;
    std::string m_prefix;
    std::string m_host;
    std::string m_connectPattern;
    std::string m_disconnectPattern;
    int m_broadcastPort = 0;
    int m_listeningPort = 0;
    int m_boundPort = -1;  // the listening socket's port, once it listened
    int m_connectTimeoutMs = 500;
    int m_pollTimeoutMs = 0;
    int m_lastResult = -1;
    std::atomic<bool> m_ready{false};
    std::atomic<bool> m_busy{false};
    OscPacketParser m_parser;  // the poller's; reused so that polling does not allocate
    std::atomic<std::uint64_t> m_malformed{0};
    std::atomic<std::uint64_t> m_datagrams{0};
    std::atomic<std::uint64_t> m_lost{0};
    CRepeatNote m_malformedNote;  // the poller's

    mutable std::mutex m_valuesMutex;  // leaf lock: the received values (no owner)
    std::array<double, kOscMaxChannels> m_values{};
    std::size_t m_valueCount = 0;
};
