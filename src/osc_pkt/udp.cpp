#include "osc_pkt/udp.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/membarrier.h>
#include <linux/sock_diag.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace {

constexpr std::size_t kReceiveBufferSize = 131072;
constexpr int kMaxPort = 65535;

std::int64_t ToNs(const timespec& time)
{
    return std::int64_t{time.tv_sec} * 1000000000 + time.tv_nsec;
}

struct ClockPair {
    std::int64_t monotonicNs = 0;
    std::int64_t realNs = 0;
};

// The monotonic and the wall clock read at one instant: the closest of a few tries
// (a thread preempted between two readings would skew every stamp by the pause).
ClockPair ReadClocks()
{
    ClockPair best;
    std::int64_t bestSpanNs = -1;
    for (int attempt = 0; attempt < 3; ++attempt) {
        timespec before{}, real{}, after{};
        ::clock_gettime(CLOCK_MONOTONIC, &before);
        ::clock_gettime(CLOCK_REALTIME, &real);
        ::clock_gettime(CLOCK_MONOTONIC, &after);
        const std::int64_t spanNs = ToNs(after) - ToNs(before);
        if (bestSpanNs < 0 || spanNs < bestSpanNs) {
            bestSpanNs = spanNs;
            best = ClockPair{ToNs(before) + spanNs / 2, ToNs(real)};
        }
        if (spanNs < 20000) break;
    }
    return best;
}

// Asks the kernel to stamp each datagram with when it reached the machine, to the
// nanosecond where it can, else to the microsecond; without either, reads are stamped.
void EnableArrivalStamps(int handle)
{
    const int on = 1;
    if (::setsockopt(handle, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0)
        ::setsockopt(handle, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
}

struct AddrInfoFree {
    void operator()(addrinfo* info) const { ::freeaddrinfo(info); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

// Resolves host (empty: passive, any local address) and port for IPv4 datagrams.
bool ResolveIPv4(const std::string& host, int port, AddrInfoList& list, std::string& error)
{
    char service[64];
    std::snprintf(service, sizeof service, "%d", port);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = host.empty() ? AI_PASSIVE : 0;
    addrinfo* result = nullptr;
    const int status =
        ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service, &hints, &result);
    if (status != 0) {
        error = status == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(status);
        return false;
    }
    list.reset(result);
    return true;
}

bool CloseHandle(int& handle)
{
    if (handle == -1) return true;
    const int result = ::close(handle);
    handle = -1;
    return result == 0;
}

}  // namespace

// ---- NetAddress ------------------------------------------------------------

NetAddress::NetAddress() { Clear(); }

void NetAddress::Clear() { std::memset(&m_storage, 0, sizeof m_storage); }

socklen_t NetAddress::Length() const
{
    switch (Family()) {
        case 0:
            return 0;
        case AF_INET:
            return sizeof(sockaddr_in);
        case AF_INET6:
            return sizeof(sockaddr_in6);
        default:
            return sizeof(sockaddr_storage);
    }
}

std::string NetAddress::AsText() const
{
    if (!IsSet()) return std::string();
    char host[512];
    char service[512];
    if (::getnameinfo(Raw(), Length(), host, sizeof host, service, sizeof service,
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return std::string();
    return host;
}

int NetAddress::Port() const
{
    switch (Family()) {
        case AF_INET:
            return ntohs(reinterpret_cast<const sockaddr_in*>(&m_storage)->sin_port);
        case AF_INET6:
            return ntohs(reinterpret_cast<const sockaddr_in6*>(&m_storage)->sin6_port);
        default:
            return -1;
    }
}

NetAddress NetAddress::WithPort(int port) const
{
    NetAddress copy = *this;
    const auto netPort = htons(static_cast<std::uint16_t>(port));
    if (Family() == AF_INET)
        reinterpret_cast<sockaddr_in*>(&copy.m_storage)->sin_port = netPort;
    else if (Family() == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&copy.m_storage)->sin6_port = netPort;
    return copy;
}

bool NetAddress::SameEndpoint(const NetAddress& other) const
{
    if (Family() != other.Family()) return false;
    if (Family() == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&m_storage);
        const auto* b = reinterpret_cast<const sockaddr_in*>(&other.m_storage);
        return a->sin_port == b->sin_port && a->sin_addr.s_addr == b->sin_addr.s_addr;
    }
    if (Family() == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&m_storage);
        const auto* b = reinterpret_cast<const sockaddr_in6*>(&other.m_storage);
        return a->sin6_port == b->sin6_port &&
               std::memcmp(&a->sin6_addr, &b->sin6_addr, sizeof a->sin6_addr) == 0;
    }
    return std::memcmp(&m_storage, &other.m_storage, sizeof m_storage) == 0;
}

bool NetAddress::Resolve(const std::string& host, int port, NetAddress& address, std::string& error)
{
    // The resolver would silently wrap a port past 65535.
    if (port < 1 || port > kMaxPort) {
        error = "port out of range";
        return false;
    }
    if (host.empty()) {
        error = "empty host";
        return false;
    }
    AddrInfoList list;
    if (!ResolveIPv4(host, port, list, error)) return false;
    if (list->ai_addrlen > Capacity()) {
        error = "address too long";
        return false;
    }
    address.Clear();
    std::memcpy(&address.m_storage, list->ai_addr, list->ai_addrlen);
    return true;
}

// ---- UdpEndpoint -----------------------------------------------------------

UdpEndpoint::UdpEndpoint() = default;

UdpEndpoint::~UdpEndpoint() { Close(); }

void UdpEndpoint::SetErrorOnce(const std::string& text)
{
    if (m_error.empty()) m_error = text;
}

void UdpEndpoint::Close()
{
    // A datagram socket has nothing to flush; a failed close loses nothing.
    CloseHandle(m_handle);
    m_connected = false;
}

void UdpEndpoint::Swap(UdpEndpoint& other) noexcept
{
    std::swap(m_error, other.m_error);
    std::swap(m_handle, other.m_handle);
    std::swap(m_local, other.m_local);
    std::swap(m_remote, other.m_remote);
    std::swap(m_connected, other.m_connected);
    m_buffer.swap(other.m_buffer);
    std::swap(m_received, other.m_received);
    std::swap(m_arrivalNs, other.m_arrivalNs);
    std::swap(m_isArrivalStamped, other.m_isArrivalStamped);
    std::swap(m_lastSendError, other.m_lastSendError);
    std::swap(m_wouldBlock, other.m_wouldBlock);
}

// A filter that keeps nothing stops the queue from growing, and each datagram it
// refuses is counted. One let in just before may still be on its way to the queue on
// another processor; the receive path runs as one read-side section, so a full grace
// period (what the global barrier waits for) sees every such one queued.
bool UdpEndpoint::StopReceiving()
{
    if (m_handle == -1) return false;
    sock_filter dropAll{BPF_RET | BPF_K, 0, 0, 0};
    sock_fprog program{1, &dropAll};
    if (::setsockopt(m_handle, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0)
        return false;
    return ::syscall(SYS_membarrier, MEMBARRIER_CMD_GLOBAL, 0, 0) == 0;
}

std::uint64_t UdpEndpoint::DroppedCount() const
{
    if (m_handle == -1) return 0;
    std::uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof info;
    if (::getsockopt(m_handle, SOL_SOCKET, SO_MEMINFO, info, &length) != 0 ||
        length < sizeof(std::uint32_t) * (SK_MEMINFO_DROPS + 1))
        return 0;
    return info[SK_MEMINFO_DROPS];
}

bool UdpEndpoint::BindTo(int port) { return OpenSocket(std::string(), port); }

bool UdpEndpoint::ConnectTo(const std::string& host, int port) { return OpenSocket(host, port); }

bool UdpEndpoint::OpenSocket(const std::string& host, int port)
{
    Close();
    m_error.clear();
    m_local.Clear();
    m_remote.Clear();
    m_received = 0;
    const bool isBind = host.empty();
    if (port < (isBind ? 0 : 1) || port > kMaxPort) {
        m_error = "port " + std::to_string(port) + " out of range";
        return false;
    }
    AddrInfoList list;
    std::string error;
    if (!ResolveIPv4(host, port, list, error)) {
        m_error = error;
        return false;
    }
    int failure = 0;  // errno of the last refusal: the reason said
    for (const addrinfo* info = list.get(); info != nullptr && m_handle == -1;
         info = info->ai_next) {
        if (info->ai_addrlen > NetAddress::Capacity()) continue;
        m_handle = ::socket(info->ai_family, info->ai_socktype | SOCK_CLOEXEC, info->ai_protocol);
        if (m_handle == -1) continue;
        EnableArrivalStamps(m_handle);
        // No SO_REUSEADDR: a port in use must fail here, not share datagrams.
        if (isBind) {
            socklen_t length = NetAddress::Capacity();
            if (::bind(m_handle, info->ai_addr, info->ai_addrlen) == 0 &&
                ::getsockname(m_handle, m_local.Raw(), &length) == 0)
                break;
            failure = errno;
            m_local.Clear();
        } else if (::connect(m_handle, info->ai_addr, info->ai_addrlen) == 0) {
            std::memcpy(m_remote.Raw(), info->ai_addr, info->ai_addrlen);
            m_connected = true;
            break;
        } else {
            failure = errno;
        }
        CloseHandle(m_handle);
    }
    if (m_handle == -1) {
        m_error = isBind ? "bind failed" : "connect failed";
        // The user learns why: a port another program holds is the common case.
        if (isBind && failure == EADDRINUSE)
            m_error = "bind failed: port " + std::to_string(port) + " is in use";
        else if (failure != 0)
            m_error += std::string(": ") + std::strerror(failure);
    }
    return IsOk();
}

bool UdpEndpoint::ReceiveNextPacket(int timeoutMs)
{
    if (timeoutMs < 0) return Receive(nullptr);
    const timespec timeout{timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000L};
    return Receive(&timeout);
}

bool UdpEndpoint::ReceiveNextPacketUs(std::int64_t timeoutUs)
{
    if (timeoutUs < 0) timeoutUs = 0;
    const timespec timeout{static_cast<time_t>(timeoutUs / 1000000),
                           static_cast<long>(timeoutUs % 1000000) * 1000L};
    return Receive(&timeout);
}

bool UdpEndpoint::Receive(const timespec* timeout)
{
    m_received = 0;
    if (!IsOk() || m_handle == -1) {
        SetErrorOnce("not opened..");
        return false;
    }
    if (m_buffer.size() != kReceiveBufferSize) m_buffer.resize(kReceiveBufferSize);
    // ppoll rather than select: descriptors past FD_SETSIZE stay safe, and the wait is
    // as fine as the caller's schedule needs.
    pollfd entry{m_handle, POLLIN, 0};
    if (::ppoll(&entry, 1, timeout, nullptr) <= 0) return false;
    iovec data{m_buffer.data(), m_buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(timeval))];
    msghdr header{};
    header.msg_name = m_remote.Raw();
    header.msg_namelen = NetAddress::Capacity();
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(m_handle, &header, MSG_DONTWAIT);
    if (got < 0) {
        const int code = errno;
        if (code == EINTR || code == EAGAIN || code == EWOULDBLOCK || code == ECONNRESET ||
            code == ECONNREFUSED)
            return false;
        char text[512];
        std::snprintf(text, sizeof text, "system error #%d", code);
        SetErrorOnce(text);
        Close();
        return false;
    }
    m_received = static_cast<std::size_t>(got);
    m_isArrivalStamped = false;
    timespec stamp{};
    for (cmsghdr* item = CMSG_FIRSTHDR(&header); item != nullptr;
         item = CMSG_NXTHDR(&header, item)) {
        if (item->cmsg_level != SOL_SOCKET) continue;
        if (item->cmsg_type == SCM_TIMESTAMPNS && item->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            std::memcpy(&stamp, CMSG_DATA(item), sizeof stamp);
            m_isArrivalStamped = true;
        } else if (item->cmsg_type == SCM_TIMESTAMP &&
                   item->cmsg_len >= CMSG_LEN(sizeof(timeval))) {
            timeval micro{};
            std::memcpy(&micro, CMSG_DATA(item), sizeof micro);
            stamp = timespec{micro.tv_sec, static_cast<long>(micro.tv_usec) * 1000L};
            m_isArrivalStamped = true;
        }
    }
    const ClockPair now = ReadClocks();
    // The kernel stamps on the wall clock: its age now, moved to the monotonic clock. A
    // wall clock set back meanwhile makes no datagram come after it was read.
    const std::int64_t ageNs =
        m_isArrivalStamped ? std::max<std::int64_t>(0, now.realNs - ToNs(stamp)) : 0;
    m_arrivalNs = now.monotonicNs - ageNs;
    return true;
}

bool UdpEndpoint::SendPacket(const void* data, std::size_t size)
{
    return SendRaw(data, size, m_connected ? nullptr : &m_remote);
}

bool UdpEndpoint::SendPacketTo(const void* data, std::size_t size, const NetAddress& address)
{
    return SendRaw(data, size, &address);
}

UdpSendResult SendDatagram(int handle, const void* data, std::size_t size,
                           const NetAddress& address, int* errorCode)
{
    for (;;) {
        const ssize_t sent = ::sendto(handle, data, size, MSG_DONTWAIT | MSG_NOSIGNAL,
                                      address.Raw(), address.Length());
        if (sent >= 0)
            return static_cast<std::size_t>(sent) == size ? UdpSendResult::Whole
                                                          : UdpSendResult::Short;
        if (errno == EINTR) continue;
        if (errorCode != nullptr) *errorCode = errno;
        return errno == EAGAIN || errno == EWOULDBLOCK ? UdpSendResult::WouldBlock
                                                       : UdpSendResult::Failed;
    }
}

bool UdpEndpoint::SendRaw(const void* data, std::size_t size, const NetAddress* address)
{
    if (!IsOk() || m_handle == -1) {
        SetErrorOnce("not opened..");
        return false;
    }
    if (data == nullptr || size == 0) return false;
    if (address != nullptr && !address->IsSet()) {
        m_lastSendError = "no destination";
        return false;
    }
    if (address != nullptr) {
        int code = 0;
        const UdpSendResult result = SendDatagram(m_handle, data, size, *address, &code);
        if (result == UdpSendResult::WouldBlock) ++m_wouldBlock;
        if (result == UdpSendResult::Whole || result == UdpSendResult::Short)
            m_lastSendError.clear();
        else
            m_lastSendError = std::strerror(code);
        return result == UdpSendResult::Whole;
    }
    for (;;) {
        const ssize_t sent = ::send(m_handle, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent >= 0) {
            m_lastSendError.clear();
            return static_cast<std::size_t>(sent) == size;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) ++m_wouldBlock;
        m_lastSendError = std::strerror(errno);
        return false;
    }
}

bool UdpEndpoint::SetReceiveBufferSize(int bytes)
{
    if (m_handle == -1) return false;
    if (::setsockopt(m_handle, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0) return true;
    return ::setsockopt(m_handle, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

bool UdpEndpoint::SetSendBufferSize(int bytes)
{
    if (m_handle == -1) return false;
    if (::setsockopt(m_handle, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) == 0) return true;
    return ::setsockopt(m_handle, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
}

int UdpEndpoint::ReceiveBufferSize() const
{
    if (m_handle == -1) return 0;
    int bytes = 0;
    socklen_t length = sizeof bytes;
    if (::getsockopt(m_handle, SOL_SOCKET, SO_RCVBUF, &bytes, &length) != 0) return 0;
    return bytes / 2;
}
