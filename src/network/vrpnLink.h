#pragma once

// One TCP connection to a VRPN peer (our server's client, or our client's server):
// cookie exchange, non-blocking buffered I/O, and the peer's id -> name tables,
// translated to the owner's own kinds of message. Used by one thread at a time: its
// owner serialises every call.

#include "network/vrpnWire.h"

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// A socket descriptor, closed with its owner.
class CFd {
public:
    CFd() = default;
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd() { Reset(); }
    CFd(CFd&& other) noexcept : m_fd(other.Release()) {}
    CFd& operator=(CFd&& other) noexcept
    {
        if (this != &other) {
            Reset();
            m_fd = other.Release();
        }
        return *this;
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    int Release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset();

private:
    int m_fd = -1;
};

// Sockets, all non-blocking and close-on-exec. An invalid CFd and the reason on failure.
// address and port in host order; port 0 picks a free one.
CFd OpenTcpListener(uint32_t address, int port, std::string& error);
CFd OpenUdpSocket(uint32_t address, int port, std::string& error);
// Starts a connection; connecting is set while it is still under way.
CFd ConnectTcp(const sockaddr_in& target, bool& connecting, std::string& error);
// Local port of a bound socket, -1 when unknown.
int LocalPort(int fd);
// IPv4 address text (dotted) or a name: false when it does not resolve to IPv4.
bool ResolveIpv4(const std::string& host, uint32_t& address);

class CVrpnLink;

// A message that breaks the protocol but not the stream: its bounds were whole, so the
// link can drop it alone and read on.
struct VrpnRefusal {
    enum Kind {
        kTypeId,       // a type id past the peers' tables (0..1999)
        kSenderId,     // a sender id outside 0..1999
        kDescription,  // a sender or type description that fails its checks
        kReport,       // a report of one of the owner's kinds that fails its checks
    };
    Kind kind = kTypeId;
    int32_t sender = 0;
    int32_t type = 0;
    size_t length = 0;  // unpadded payload bytes
    vrpn::DescriptionFault fault = vrpn::DescriptionFault::kNone;
    uint32_t count = 0;  // a description's name length field
    int ownKind = -1;    // kReport: the owner's kind of message
    uint8_t head[8] = {};  // kReport: the payload's first bytes (zeros past its end)
};

// What the owner of a link does with it.
class CVrpnLinkHandler {
public:
    virtual ~CVrpnLinkHandler() = default;
    // The peer's cookie was accepted: queue the opening descriptions. False drops the link.
    virtual bool OnLinkOpen(CVrpnLink& link) = 0;
    // A message of one of the owner's kinds from the awaited sender. False drops the link
    // (a malformed payload).
    virtual bool OnLinkMessage(CVrpnLink& link, int kind, const vrpn::Message& message) = 0;
    // A message the link refuses (VrpnRefusal). True drops that message alone and keeps
    // the link; the default closes the link, naming what was refused.
    virtual bool OnLinkRefused(CVrpnLink& link, const VrpnRefusal& refusal)
    {
        (void)link;
        (void)refusal;
        return false;
    }
};

class CVrpnLink {
public:
    enum class State { kConnecting, kCookie, kOpen, kClosed };
    // Default output room; a server whose reports are wider gives its links more.
    static constexpr size_t kOutCapacity = 256 * 1024;
    static constexpr std::chrono::seconds kCookieTimeout{5};

    // Takes the socket. typeNames (kept, not copied: static texts) give the kinds the owner
    // handles, by position; only messages of senderName reach the owner.
    CVrpnLink(CFd socket, bool connecting, const char* const* typeNames, int typeCount,
              const std::string& senderName, std::chrono::steady_clock::time_point now,
              std::chrono::milliseconds cookieTimeout = kCookieTimeout,
              size_t outCapacity = kOutCapacity);
    ~CVrpnLink();
    CVrpnLink(const CVrpnLink&) = delete;
    CVrpnLink& operator=(const CVrpnLink&) = delete;

    // Sends what waits, reads what came and hands over every complete message.
    // False once the link is closed (CloseReason says why).
    bool Pump(CVrpnLinkHandler& handler, std::chrono::steady_clock::time_point now);
    // Appends one message to the output queue; false, nothing queued, without room.
    bool Queue(vrpn::Time time, int32_t sender, int32_t type, const uint8_t* payload,
               size_t length);
    bool QueueDescription(vrpn::Time time, int32_t kind, int32_t id, const std::string& name);
    // Sends what it can now, without waiting.
    bool Flush();
    void Close(const char* reason);

    State GetState() const { return m_state; }
    bool IsOpen() const { return m_state == State::kOpen; }
    // The TCP connection was made (the peer was there), whatever came of it since.
    bool WasEstablished() const { return m_wasEstablished; }
    size_t QueuedBytes() const { return m_outEnd - m_outStart; }
    // Bytes that can still be queued (the queue moves to the front when needed).
    size_t FreeBytes() const { return m_outCapacity - QueuedBytes(); }
    size_t OutCapacity() const { return m_outCapacity; }
    // Bytes the socket has taken so far.
    uint64_t SentBytes() const { return m_sentBytes; }
    // What the peer took: the bytes its side acknowledged so far, and whether it now
    // advertises no room for more. False when the kernel does not tell.
    bool ReadPeerProgress(uint64_t& acknowledged, bool& isWindowClosed) const;
    const char* CloseReason() const { return m_closeReason; }
    // The system's error behind the close (errno), 0 when none.
    int CloseError() const { return m_closeError; }
    int Fd() const { return m_socket.Get(); }

private:
    bool CheckConnected();
    bool Receive();
    bool Deliver(CVrpnLinkHandler& handler);
    bool HandleSystem(CVrpnLinkHandler& handler, const vrpn::Message& message);
    bool Refuse(CVrpnLinkHandler& handler, const VrpnRefusal& refusal, const char* reason);

    CFd m_socket;
    State m_state;
    const char* m_closeReason = "";
    int m_closeError = 0;
    bool m_wasEstablished = false;
    // The peer ended its stream: what came before its end is still delivered.
    bool m_isPeerDone = false;
    std::chrono::steady_clock::time_point m_cookieDeadline;
    const char* const* m_typeNames;
    int m_typeCount;
    std::string m_senderName;
    // The peer's numbering: its type id -> our kind (-1 unknown); its sender id -> ours?
    int16_t m_remoteKind[vrpn::kMaxRemoteIds];
    uint8_t m_remoteSenderMatch[vrpn::kMaxRemoteIds];
    std::unique_ptr<uint8_t[]> m_in;
    size_t m_inSize = 0;
    const size_t m_outCapacity;
    std::unique_ptr<uint8_t[]> m_out;
    size_t m_outStart = 0;
    size_t m_outEnd = 0;
    uint64_t m_sentBytes = 0;
};
