#pragma once

// IPv4 UDP endpoint and socket address on which every OSC exchange runs. The
// caller drives every receive and send; each endpoint is used by one thread at
// a time (its owner says which), and owns its socket.

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// A socket address (IPv4 in practice); family 0 means unset.
class NetAddress {
public:
    NetAddress();

    int Family() const { return m_storage.ss_family; }
    bool IsSet() const { return Family() != 0; }
    // Length handed to the system when sending to this address.
    socklen_t Length() const;
    // Numeric host text; empty when unset or not convertible.
    std::string AsText() const;
    // Numeric port, -1 when unset or not convertible.
    int Port() const;
    // Same address with another port (IPv4 and IPv6 only).
    NetAddress WithPort(int port) const;
    // Same family, host and port.
    bool SameEndpoint(const NetAddress& other) const;
    void Clear();

    sockaddr* Raw() { return reinterpret_cast<sockaddr*>(&m_storage); }
    const sockaddr* Raw() const { return reinterpret_cast<const sockaddr*>(&m_storage); }
    static constexpr socklen_t Capacity() { return sizeof(sockaddr_storage); }

    // Resolves an IPv4 host (name or dotted text) and a port 1..65535.
    // False with a reason when it does not resolve or the port is out of range.
    static bool Resolve(const std::string& host, int port, NetAddress& address, std::string& error);

private:
    sockaddr_storage m_storage;
};

// Outcome of one datagram handed to the system.
enum class UdpSendResult { Whole, Short, WouldBlock, Failed };

// Sends one datagram on a socket without waiting (a full socket buffer gives
// WouldBlock); retries an interrupted call. Touches no endpoint state, so any
// number of threads may send on one socket at once. errorCode: errno of a failure.
UdpSendResult SendDatagram(int handle, const void* data, std::size_t size,
                           const NetAddress& address, int* errorCode = nullptr);

// One UDP socket: bound to a local port (receives, and sends to any address)
// or connected to one peer. The error text is empty while the endpoint is usable.
class UdpEndpoint {
public:
    UdpEndpoint();
    ~UdpEndpoint();
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    // Binds to port 0..65535 on every local IPv4 address (0: any free port).
    bool BindTo(int port);
    // Connects to host:port (port 1..65535).
    bool ConnectTo(const std::string& host, int port);
    void Close();
    // Exchanges sockets, addresses and buffers: a socket handed on keeps what waits on it.
    void Swap(UdpEndpoint& other) noexcept;
    // From now on every datagram is dropped (and counted among DroppedCount); returns
    // once none let in before is still on its way to the queue, so that the queue then
    // holds all that will be read. False when closed or the system cannot promise that.
    bool StopReceiving();
    // Datagrams the system dropped for this socket: its queue full, or after
    // StopReceiving. 0 when closed.
    std::uint64_t DroppedCount() const;

    // Waits up to timeoutMs (negative: without limit, 0: only polls) for one
    // datagram; the sender becomes the remote address. False when nothing came
    // or on error (a hard error closes the socket and sets the error text).
    bool ReceiveNextPacket(int timeoutMs);
    // The same with a time-out in microseconds (0: only polls; never without limit).
    bool ReceiveNextPacketUs(std::int64_t timeoutUs);
    const std::uint8_t* PacketData() const { return m_buffer.data(); }
    std::size_t PacketSize() const { return m_received; }
    // When the last datagram reached the machine (CLOCK_MONOTONIC, ns): the kernel's
    // stamp, or the moment it was read where the kernel gave none; never later than the
    // read. A reader held for a while still knows how far apart datagrams came.
    std::int64_t PacketArrivalNs() const { return m_arrivalNs; }
    bool IsArrivalStamped() const { return m_isArrivalStamped; }  // by the kernel

    // Sends one datagram to the remote address (the connected peer).
    bool SendPacket(const void* data, std::size_t size);
    // Sends one datagram to the given address. Sends never block: a full
    // socket buffer counts as a dropped datagram (WouldBlockCount).
    bool SendPacketTo(const void* data, std::size_t size, const NetAddress& address);

    bool IsOk() const { return m_error.empty(); }
    bool IsBound() const { return m_local.IsSet(); }
    bool IsOpen() const { return m_handle != -1; }
    // The socket, -1 when closed; for senders that share it (see SendDatagram).
    int Handle() const { return m_handle; }
    const std::string& ErrorText() const { return m_error; }
    // Why the last send failed (empty after a successful one).
    const std::string& LastSendError() const { return m_lastSendError; }
    const NetAddress& LocalAddress() const { return m_local; }
    const NetAddress& RemoteAddress() const { return m_remote; }
    std::uint64_t WouldBlockCount() const { return m_wouldBlock; }
    // Asks for a receive buffer of at least `bytes` (forced past the system cap
    // when the process may). False when the socket is not open.
    bool SetReceiveBufferSize(int bytes);
    bool SetSendBufferSize(int bytes);
    // The payload bytes the kernel lets the receive queue hold (half of what it
    // reports, which counts its own bookkeeping too); 0 when the socket is not open.
    int ReceiveBufferSize() const;

private:
    bool OpenSocket(const std::string& host, int port);
    bool Receive(const timespec* timeout);  // null: without limit
    bool SendRaw(const void* data, std::size_t size, const NetAddress* address);
    void SetErrorOnce(const std::string& text);

    std::string m_error;
    int m_handle = -1;
    NetAddress m_local;
    NetAddress m_remote;
    bool m_connected = false;
    // One receive buffer for the endpoint's life: datagrams never reallocate it.
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_received = 0;
    std::int64_t m_arrivalNs = 0;
    bool m_isArrivalStamped = false;
    std::string m_lastSendError;
    std::uint64_t m_wouldBlock = 0;
};
