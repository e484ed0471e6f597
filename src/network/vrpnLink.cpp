#include "network/vrpnLink.h"

#include <arpa/inet.h>
#include <fcntl.h>
// The kernel's own tcp_info: the C library's lacks the peer's window.
#include <linux/tcp.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace {

// Room for a burst of connections arriving between two passes (a pass accepts a few
// at a time); the kernel caps it at its own limit.
constexpr int kListenBacklog = 256;
constexpr size_t kInCapacity = 2 * (vrpn::kHeaderSize + vrpn::kMaxPayload + 8);
// Reads per pump: one busy peer cannot hold an acquisition thread for long.
constexpr int kMaxReadsPerPump = 8;

std::string ErrnoText(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

sockaddr_in MakeAddress(uint32_t address, int port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = htonl(address);
    result.sin_port = htons(static_cast<uint16_t>(port));
    return result;
}

CFd OpenSocket(int type, std::string& error)
{
    CFd fd(::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.IsOpen()) error = ErrnoText("socket");
    return fd;
}

CFd BindSocket(int type, uint32_t address, int port, std::string& error)
{
    CFd fd = OpenSocket(type, error);
    if (!fd.IsOpen()) return fd;
    if (type == SOCK_STREAM) {
        // A server re-created on its port must bind again at once.
        const int on = 1;
        if (::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
            error = ErrnoText("setsockopt SO_REUSEADDR");
            return CFd();
        }
    }
    const sockaddr_in local = MakeAddress(address, port);
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        error = ErrnoText("bind");
        return CFd();
    }
    return fd;
}

}  // namespace

void CFd::Reset()
{
    if (m_fd >= 0) ::close(m_fd);  // nothing to recover from a failed close of a socket
    m_fd = -1;
}

CFd OpenTcpListener(uint32_t address, int port, std::string& error)
{
    CFd fd = BindSocket(SOCK_STREAM, address, port, error);
    if (fd.IsOpen() && ::listen(fd.Get(), kListenBacklog) != 0) {
        error = ErrnoText("listen");
        return CFd();
    }
    return fd;
}

CFd OpenUdpSocket(uint32_t address, int port, std::string& error)
{
    return BindSocket(SOCK_DGRAM, address, port, error);
}

CFd ConnectTcp(const sockaddr_in& target, bool& connecting, std::string& error)
{
    connecting = false;
    CFd fd = OpenSocket(SOCK_STREAM, error);
    if (!fd.IsOpen()) return fd;
    const int on = 1;
    ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // latency only
    int result = 0;
    do {
        result = ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&target), sizeof target);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        if (errno != EINPROGRESS) {
            error = ErrnoText("connect");
            return CFd();
        }
        connecting = true;
    }
    return fd;
}

int LocalPort(int fd)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return -1;
    return ntohs(local.sin_port);
}

bool ResolveIpv4(const std::string& host, uint32_t& address)
{
    in_addr parsed{};
    if (::inet_pton(AF_INET, host.c_str(), &parsed) == 1) {
        address = ntohl(parsed.s_addr);
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return false;
    address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    ::freeaddrinfo(found);
    return true;
}

CVrpnLink::CVrpnLink(CFd socket, bool connecting, const char* const* typeNames, int typeCount,
                     const std::string& senderName, std::chrono::steady_clock::time_point now,
                     std::chrono::milliseconds cookieTimeout, size_t outCapacity)
    : m_socket(std::move(socket)),
      m_state(connecting ? State::kConnecting : State::kCookie),
      m_cookieDeadline(now + cookieTimeout),
      m_typeNames(typeNames),
      m_typeCount(typeCount),
      m_senderName(senderName),
      m_in(std::make_unique<uint8_t[]>(kInCapacity)),
      m_outCapacity(std::max(outCapacity, kOutCapacity)),
      m_out(std::make_unique<uint8_t[]>(m_outCapacity))
{
    std::fill(std::begin(m_remoteKind), std::end(m_remoteKind), int16_t{-1});
    std::fill(std::begin(m_remoteSenderMatch), std::end(m_remoteSenderMatch), uint8_t{0});
    // Each side writes its cookie first, then reads the peer's.
    vrpn::MakeCookie(m_out.get());
    m_outEnd = vrpn::kCookieSize;
    m_wasEstablished = m_state == State::kCookie;
    if (!m_socket.IsOpen()) Close("no socket");
}

CVrpnLink::~CVrpnLink() = default;

void CVrpnLink::Close(const char* reason)
{
    if (m_state == State::kClosed) return;
    m_state = State::kClosed;
    m_closeReason = reason;
    m_socket.Reset();
}

bool CVrpnLink::CheckConnected()
{
    pollfd poller{m_socket.Get(), POLLOUT, 0};
    const int ready = ::poll(&poller, 1, 0);
    if (ready <= 0) return true;  // still under way (or interrupted: next pump)
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_socket.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        Close("connection failed");
        m_closeError = error != 0 ? error : errno;
        return false;
    }
    m_state = State::kCookie;
    m_wasEstablished = true;
    return true;
}

bool CVrpnLink::Flush()
{
    if (m_state == State::kClosed || m_state == State::kConnecting) return m_state != State::kClosed;
    while (m_outStart < m_outEnd) {
        const ssize_t sent = ::send(m_socket.Get(), m_out.get() + m_outStart, m_outEnd - m_outStart,
                                    MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            m_closeError = errno;
            Close("send failed");
            return false;
        }
        m_outStart += static_cast<size_t>(sent);
        m_sentBytes += static_cast<uint64_t>(sent);
    }
    if (m_outStart == m_outEnd) m_outStart = m_outEnd = 0;
    return true;
}

bool CVrpnLink::ReadPeerProgress(uint64_t& acknowledged, bool& isWindowClosed) const
{
    if (!m_socket.IsOpen()) return false;
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(m_socket.Get(), IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return false;
    // Kernels before 5.4 fill less: without the peer's window there is no answer.
    if (length < offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd) return false;
    acknowledged = info.tcpi_bytes_acked;
    isWindowClosed = info.tcpi_snd_wnd == 0;
    return true;
}

bool CVrpnLink::Queue(vrpn::Time time, int32_t sender, int32_t type, const uint8_t* payload,
                      size_t length)
{
    if (m_state == State::kClosed) return false;
    const size_t needed = vrpn::kHeaderSize + vrpn::Padded(length);
    if (m_outCapacity - m_outEnd < needed && m_outStart > 0) {
        std::memmove(m_out.get(), m_out.get() + m_outStart, m_outEnd - m_outStart);
        m_outEnd -= m_outStart;
        m_outStart = 0;
    }
    const size_t written = vrpn::EncodeMessage(m_out.get() + m_outEnd, m_outCapacity - m_outEnd,
                                               time, sender, type, payload, length);
    m_outEnd += written;
    return written > 0;
}

bool CVrpnLink::QueueDescription(vrpn::Time time, int32_t kind, int32_t id,
                                 const std::string& name)
{
    uint8_t message[vrpn::kHeaderSize + vrpn::kMaxDescriptionPayload + 8];
    const size_t size = vrpn::EncodeDescription(message, sizeof message, time, kind, id, name);
    if (size == 0) return false;
    return Queue(time, id, kind, message + vrpn::kHeaderSize,
                 vrpn::GetU32(message) - vrpn::kHeaderSize);
}

bool CVrpnLink::Receive()
{
    for (int i = 0; i < kMaxReadsPerPump && m_inSize < kInCapacity; ++i) {
        const ssize_t got =
            ::recv(m_socket.Get(), m_in.get() + m_inSize, kInCapacity - m_inSize, MSG_DONTWAIT);
        if (got == 0) {
            m_isPeerDone = true;
            return true;
        }
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            m_closeError = errno;
            Close("receive failed");
            return false;
        }
        m_inSize += static_cast<size_t>(got);
    }
    return true;
}

// A refused message is the owner's to forgive; otherwise the link closes for it.
bool CVrpnLink::Refuse(CVrpnLinkHandler& handler, const VrpnRefusal& refusal, const char* reason)
{
    if (handler.OnLinkRefused(*this, refusal)) return true;
    Close(reason);
    return false;
}

bool CVrpnLink::HandleSystem(CVrpnLinkHandler& handler, const vrpn::Message& message)
{
    if (message.type != vrpn::kSenderDescription && message.type != vrpn::kTypeDescription)
        return true;  // UDP and log descriptions: we use TCP only and never log for a peer
    const vrpn::DescriptionFault fault = vrpn::CheckDescription(message);
    if (fault != vrpn::DescriptionFault::kNone) {
        VrpnRefusal refusal;
        refusal.kind = VrpnRefusal::kDescription;
        refusal.sender = message.sender;
        refusal.type = message.type;
        refusal.length = message.length;
        refusal.fault = fault;
        refusal.count = message.length >= 4 ? vrpn::GetU32(message.payload) : 0;
        return Refuse(handler, refusal, "malformed description");
    }
    const std::string_view name(reinterpret_cast<const char*>(message.payload + 4),
                                vrpn::GetU32(message.payload) - 1);
    if (message.type == vrpn::kSenderDescription) {
        m_remoteSenderMatch[message.sender] = name == m_senderName ? 1 : 0;
        return true;
    }
    int16_t kind = -1;
    for (int i = 0; i < m_typeCount; ++i) {
        if (name == m_typeNames[i]) kind = static_cast<int16_t>(i);
    }
    m_remoteKind[message.sender] = kind;
    return true;
}

bool CVrpnLink::Deliver(CVrpnLinkHandler& handler)
{
    size_t start = 0;
    while (m_state == State::kOpen) {
        vrpn::Message message;
        size_t consumed = 0;
        const vrpn::ParseResult result =
            vrpn::ParseMessage(m_in.get() + start, m_inSize - start, message, consumed);
        if (result == vrpn::ParseResult::kNeedMore) break;
        if (result == vrpn::ParseResult::kMalformed) {
            Close("malformed message length");
            return false;
        }
        start += consumed;
        if (message.type < 0) {
            if (!HandleSystem(handler, message)) return false;
            continue;
        }
        if (message.type >= vrpn::kMaxRemoteIds || message.sender < 0 ||
            message.sender >= vrpn::kMaxRemoteIds) {
            VrpnRefusal refusal;
            refusal.kind = message.type >= vrpn::kMaxRemoteIds ? VrpnRefusal::kTypeId
                                                               : VrpnRefusal::kSenderId;
            refusal.sender = message.sender;
            refusal.type = message.type;
            refusal.length = message.length;
            if (!Refuse(handler, refusal, "id out of range")) return false;
            continue;
        }
        const int kind = m_remoteKind[message.type];
        // Undescribed or foreign: silently dropped, as peers do.
        if (kind < 0 || !m_remoteSenderMatch[message.sender]) continue;
        if (!handler.OnLinkMessage(*this, kind, message)) {
            Close("malformed payload");
            return false;
        }
    }
    if (start > 0) {
        std::memmove(m_in.get(), m_in.get() + start, m_inSize - start);
        m_inSize -= start;
    }
    return m_state != State::kClosed;
}

bool CVrpnLink::Pump(CVrpnLinkHandler& handler, std::chrono::steady_clock::time_point now)
{
    if (m_state == State::kClosed) return false;
    if (m_state != State::kOpen && now > m_cookieDeadline) {
        Close("no cookie in time");
        return false;
    }
    if (m_state == State::kConnecting && (!CheckConnected() || m_state == State::kConnecting))
        return m_state != State::kClosed;
    if (!Flush() || !Receive()) return false;
    if (m_state == State::kCookie && m_inSize >= vrpn::kCookieSize) {
        if (!vrpn::IsCookieAccepted(m_in.get())) {
            Close("cookie refused");
            return false;
        }
        std::memmove(m_in.get(), m_in.get() + vrpn::kCookieSize, m_inSize - vrpn::kCookieSize);
        m_inSize -= vrpn::kCookieSize;
        m_state = State::kOpen;
        if (!handler.OnLinkOpen(*this)) {
            Close("opening refused");
            return false;
        }
    }
    // Reports a server sent just before it stopped are as measured as any other.
    if (m_state == State::kOpen && !Deliver(handler)) return false;
    if (m_isPeerDone) {
        Close("peer closed the connection");
        return false;
    }
    return Flush();
}
