#include "network/vrpnServer.h"

#include "process/messageQueue.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Our own type ids, in the order we describe them.
enum ServerType {
    kTypePosQuat = 0,
    kTypeVelocity,
    kTypeAcceleration,
    kTypeAnalog,
    kTypeButtonChange,
    kTypeButtonStates,
    kTypePong,
    kTypeCount
};
constexpr const char* kServerTypeNames[kTypeCount] = {
    vrpn::kPosQuat,      vrpn::kVelocity,     vrpn::kAcceleration, vrpn::kAnalogChannel,
    vrpn::kButtonChange, vrpn::kButtonStates, vrpn::kPong};
// What we read from clients: only pings (their other messages are dropped).
constexpr const char* kClientTypeNames[] = {vrpn::kPing};
constexpr int kKindPing = 0;
constexpr int32_t kSenderId = 0;
constexpr double kReportIntervalSec = 0.01;
constexpr int kMaxAcceptsPerPass = 16;
constexpr int kMaxRequestsPerPass = 16;
constexpr size_t kRequestSize = 200;  // stock reads at most 199 bytes of a request

std::string AddressText(uint32_t address, int port)
{
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%d", (address >> 24) & 255u,
                  (address >> 16) & 255u, (address >> 8) & 255u, address & 255u, port);
    return text;
}

}  // namespace

struct CVrpnServer::Client : public CVrpnLinkHandler {
    Client(CVrpnServer& owner, std::unique_ptr<CVrpnLink> newLink, uint32_t address, int port)
        : server(owner), link(std::move(newLink)), peerAddress(address), peerPort(port)
    {
    }
    bool OnLinkOpen(CVrpnLink& open) override
    {
        isOpen = true;
        server.m_openClients.fetch_add(1);
        server.m_connected.fetch_add(1);
        g_messages.Post(Severity::Info,
                        "<VRPN> Client connected " + AddressText(peerAddress, peerPort));
        return server.QueueOpening(open);
    }
    bool OnLinkMessage(CVrpnLink& open, int kind, const vrpn::Message&) override
    {
        if (kind != kKindPing) return true;
        // One pong per ping, then the button states, as stock button servers do.
        if (!open.Queue(vrpn::Now(), kSenderId, kTypePong, nullptr, 0)) return false;
        return server.QueueButtonStates(open, vrpn::Now());
    }

    CVrpnServer& server;
    std::unique_ptr<CVrpnLink> link;
    uint32_t peerAddress;
    int peerPort;
    bool isOpen = false;
    bool needsAll = true;  // the next reports carry every value, not only the new ones
    bool isBehind = false;
    std::chrono::steady_clock::time_point behindSince;
    uint64_t sentWhenBehind = 0;
};

CVrpnServer::CVrpnServer(const char* name, size_t analogCount, size_t sensorCount,
                         size_t buttonCount, int port, uint32_t address)
    : m_name(name != nullptr && name[0] != '\0' ? name : "Quorvane"),
      m_analogCount(analogCount),
      m_sensorCount(sensorCount),
      m_buttonCount(buttonCount),
      m_address(address),
      m_analog(analogCount, 0.0),
      m_poses(sensorCount * 7, 0.0),
      m_buttons(buttonCount, 0),
      m_sensorSet(sensorCount, 0),
      m_analogSnapshot(analogCount, 0.0),
      m_posesSnapshot(sensorCount * 7, 0.0),
      m_buttonsSnapshot(buttonCount, 0),
      m_sensorSetSnapshot(sensorCount, 0)
{
    m_clients.reserve(kMaxClients);
    if (m_name.size() > vrpn::kMaxNameLength) {
        m_error = "name longer than " + std::to_string(vrpn::kMaxNameLength) + " characters";
        return;
    }
    // With port 0 the TCP listener picks the port and UDP must follow it; another
    // program may hold that UDP port, so a few picks are tried.
    for (int attempt = 0; attempt < (port == 0 ? 8 : 1); ++attempt) {
        m_listener = OpenTcpListener(address, port, m_error);
        if (!m_listener.IsOpen()) return;
        const int chosen = LocalPort(m_listener.Get());
        m_requests = OpenUdpSocket(address, chosen, m_error);
        if (m_requests.IsOpen()) {
            m_port = chosen;
            break;
        }
        m_listener.Reset();
    }
    if (!m_requests.IsOpen()) return;
    m_error.clear();
    std::printf("Starting VRPN server %s Port : %d\n", m_name.c_str(), m_port);
    std::fflush(stdout);
    m_running = analogCount > 0 || sensorCount > 0 || buttonCount > 0;
}

CVrpnServer::~CVrpnServer() = default;

bool CVrpnServer::SetAnalog(size_t offset, const double* values, size_t count)
{
    if (values == nullptr || offset > m_analogCount || count > m_analogCount - offset)
        return false;
    std::lock_guard<std::mutex> lock(m_dataMutex);
    std::copy(values, values + count, m_analog.begin() + static_cast<ptrdiff_t>(offset));
    m_analogSet = m_analogSet || count > 0;
    return true;
}

bool CVrpnServer::SetPoses(size_t offset, const double* poses, size_t count)
{
    if (poses == nullptr || offset > m_sensorCount || count > m_sensorCount - offset)
        return false;
    std::lock_guard<std::mutex> lock(m_dataMutex);
    std::copy(poses, poses + 7 * count, m_poses.begin() + static_cast<ptrdiff_t>(7 * offset));
    std::fill_n(m_sensorSet.begin() + static_cast<ptrdiff_t>(offset), count, uint8_t{1});
    return true;
}

bool CVrpnServer::SetButton(size_t button, size_t offset, int state)
{
    if (offset > m_buttonCount || button >= m_buttonCount - offset) return false;
    const size_t index = button + offset;
    {
        std::lock_guard<std::mutex> lock(m_dataMutex);
        if (m_buttons[index] == state) return true;
        m_buttons[index] = state;
        // Every change is kept in order, so a press and release between two passes
        // both reach the clients.
        if (m_buttonQueueSize < kButtonQueue)
            m_buttonQueue[m_buttonQueueSize++] = ButtonEvent{static_cast<int32_t>(index), state};
        else
            m_buttonsLost.fetch_add(1);
    }
    Mainloop();
    return true;
}

bool CVrpnServer::Mainloop()
{
    if (!m_running) return false;
    m_passRequested.store(true);
    // The thread that runs a pass re-checks the request after releasing the lock, so a
    // request left by a thread that found the lock taken is never stranded.
    for (int round = 0; round < 2 && m_passRequested.load(); ++round) {
        std::unique_lock<std::mutex> pass(m_passMutex, std::try_to_lock);
        if (!pass.owns_lock()) return true;
        for (int run = 0; run < 3 && m_passRequested.exchange(false); ++run) Pass();
    }
    return true;
}

void CVrpnServer::Pass()
{
    const auto now = std::chrono::steady_clock::now();
    AcceptConnections(now);
    ReadRequests(now);
    TakeSnapshot();
    const vrpn::Time time = vrpn::Now();
    for (auto& client : m_clients) {
        CVrpnLink& link = *client->link;
        if (!link.Pump(*client, now)) continue;
        if (!link.IsOpen()) continue;
        SendReports(*client, time);
        if (link.Flush()) CheckStuck(*client, now);
    }
    DropClosed();
}

void CVrpnServer::AcceptConnections(std::chrono::steady_clock::time_point now)
{
    for (int i = 0; i < kMaxAcceptsPerPass; ++i) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        CFd socket(::accept4(m_listener.Get(), reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!socket.IsOpen()) return;  // EAGAIN, or a failed accept: next pass
        if (m_clients.size() >= kMaxClients) {
            m_requestsRefused.fetch_add(1);
            continue;  // closed as it goes
        }
        m_clients.push_back(std::make_unique<Client>(
            *this,
            std::make_unique<CVrpnLink>(std::move(socket), false, kClientTypeNames, 1, m_name,
                                        now, m_cookieTimeout),
            ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port)));
    }
}

void CVrpnServer::ReadRequests(std::chrono::steady_clock::time_point now)
{
    for (int i = 0; i < kMaxRequestsPerPass; ++i) {
        char text[kRequestSize];
        sockaddr_in source{};
        socklen_t length = sizeof source;
        const ssize_t got = ::recvfrom(m_requests.Get(), text, sizeof text - 1, MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&source), &length);
        if (got < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (!HandleRequest(text, static_cast<size_t>(got), ntohl(source.sin_addr.s_addr), now))
            m_requestsRefused.fetch_add(1);
    }
}

// "<dotted address> <port>" NUL. Only a numeric address equal to the datagram's source is
// called back, and only once while a connection to it is pending or open.
bool CVrpnServer::HandleRequest(const char* text, size_t size, uint32_t source,
                                std::chrono::steady_clock::time_point now)
{
    char request[kRequestSize];
    std::memcpy(request, text, size);
    request[size] = '\0';
    const char* blank = std::strchr(request, ' ');
    if (blank == nullptr || blank == request || blank - request > 15) return false;
    const std::string host(request, static_cast<size_t>(blank - request));
    for (char c : host) {
        if (!((c >= '0' && c <= '9') || c == '.')) return false;
    }
    char* end = nullptr;
    errno = 0;
    const long port = std::strtol(blank + 1, &end, 10);
    if (end == blank + 1 || *end != '\0' || errno != 0 || port < 1024 || port > 65535)
        return false;
    in_addr parsed{};
    if (::inet_pton(AF_INET, host.c_str(), &parsed) != 1) return false;
    const uint32_t address = ntohl(parsed.s_addr);
    if (address != source) return false;
    // Calling back our own listener would make the server its own client, twice.
    if (IsOwnAddress(address, port)) {
        if (m_selfRequests.fetch_add(1) == 0)
            g_messages.Post(Severity::Warning,
                            "<VRPN> Refused a connection request naming this server's own "
                            "address " + AddressText(address, static_cast<int>(port)));
        return false;
    }
    for (const auto& client : m_clients) {
        if (client->peerAddress == address && client->peerPort == port) return false;
    }
    if (m_clients.size() >= kMaxClients) return false;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr = parsed;
    target.sin_port = htons(static_cast<uint16_t>(port));
    bool connecting = false;
    std::string error;
    CFd socket = ConnectTcp(target, connecting, error);
    if (!socket.IsOpen()) return false;
    m_clients.push_back(std::make_unique<Client>(
        *this,
        std::make_unique<CVrpnLink>(std::move(socket), connecting, kClientTypeNames, 1, m_name,
                                    now, m_cookieTimeout),
        address, static_cast<int>(port)));
    return true;
}

// Our port on our listening address, or on any address of this host when we listen on
// every interface (an address is ours when a socket can be bound to it).
bool CVrpnServer::IsOwnAddress(uint32_t address, long port) const
{
    if (port != m_port) return false;
    if (m_address != 0) return address == m_address;
    if ((address >> 24) == 127) return true;
    CFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!probe.IsOpen()) return true;  // cannot tell: refusing is the safe side
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    return ::bind(probe.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

void CVrpnServer::TakeSnapshot()
{
    std::lock_guard<std::mutex> lock(m_dataMutex);
    std::copy(m_analog.begin(), m_analog.end(), m_analogSnapshot.begin());
    std::copy(m_poses.begin(), m_poses.end(), m_posesSnapshot.begin());
    std::copy(m_buttons.begin(), m_buttons.end(), m_buttonsSnapshot.begin());
    std::copy(m_sensorSet.begin(), m_sensorSet.end(), m_sensorSetSnapshot.begin());
    std::fill(m_sensorSet.begin(), m_sensorSet.end(), uint8_t{0});
    m_analogSetSnapshot = m_analogSet;
    m_analogSet = false;
    std::copy(m_buttonQueue, m_buttonQueue + m_buttonQueueSize, m_eventSnapshot);
    m_eventCount = m_buttonQueueSize;
    m_buttonQueueSize = 0;
}

bool CVrpnServer::QueueOpening(CVrpnLink& link)
{
    const vrpn::Time time = vrpn::Now();
    if (!link.QueueDescription(time, vrpn::kSenderDescription, kSenderId, m_name)) return false;
    for (int type = 0; type < kTypeCount; ++type) {
        if (!link.QueueDescription(time, vrpn::kTypeDescription, type, kServerTypeNames[type]))
            return false;
    }
    return QueueButtonStates(link, time);
}

bool CVrpnServer::QueueButtonStates(CVrpnLink& link, vrpn::Time time)
{
    if (m_buttonCount == 0) return true;
    // Stock clients trust the count: never more than they hold.
    const int count = static_cast<int>(std::min<size_t>(m_buttonCount, vrpn::kMaxButtons));
    uint8_t payload[4 + 4 * vrpn::kMaxButtons];
    const size_t length = vrpn::EncodeButtonStates(payload, m_buttonsSnapshot.data(), count);
    return link.Queue(time, kSenderId, kTypeButtonStates, payload, length);
}

// Each frame's values go out once: a device's frame sets its own block and runs a pass,
// so a pass reports only what was set since the last one.
void CVrpnServer::SendReports(Client& client, vrpn::Time time)
{
    CVrpnLink& link = *client.link;
    uint8_t payload[8 + 8 * vrpn::kMaxAnalogChannels];
    // Button changes are reliable: a client that cannot take them is dropped.
    for (size_t i = 0; i < m_eventCount; ++i) {
        const ButtonEvent& event = m_eventSnapshot[i];
        if (event.button >= vrpn::kMaxButtons) continue;  // past what a client holds
        const size_t length = vrpn::EncodeButtonChange(payload, event.button, event.state);
        if (!link.Queue(time, kSenderId, kTypeButtonChange, payload, length)) {
            link.Close("client too slow");
            return;
        }
    }
    // Reports are state: a client behind by half its queue skips this pass's reports
    // and gets every value once it has caught up.
    if (link.QueuedBytes() > CVrpnLink::kOutCapacity / 2) {
        m_framesSkipped.fetch_add(1);
        client.needsAll = true;
        return;
    }
    const bool all = client.needsAll;
    client.needsAll = false;
    for (size_t sensor = 0; sensor < m_sensorCount; ++sensor) {
        if (!all && m_sensorSetSnapshot[sensor] == 0) continue;
        const double* pose = &m_posesSnapshot[7 * sensor];
        // Our poses hold the quaternion w first; VRPN puts w last.
        const double quat[4] = {pose[4], pose[5], pose[6], pose[3]};
        const int32_t number = static_cast<int32_t>(sensor);
        size_t length = vrpn::EncodePosQuat(payload, number, pose, quat);
        bool queued = link.Queue(time, kSenderId, kTypePosQuat, payload, length);
        length = vrpn::EncodeVelocity(payload, number, quat, kReportIntervalSec);
        queued = queued && link.Queue(time, kSenderId, kTypeVelocity, payload, length);
        queued = queued && link.Queue(time, kSenderId, kTypeAcceleration, payload, length);
        if (!queued) {
            m_framesSkipped.fetch_add(1);
            client.needsAll = true;
            return;
        }
    }
    if (m_analogCount > 0 && (all || m_analogSetSnapshot)) {
        const int count = static_cast<int>(std::min<size_t>(m_analogCount, vrpn::kMaxAnalogChannels));
        const size_t length = vrpn::EncodeAnalog(payload, m_analogSnapshot.data(), count);
        if (!link.Queue(time, kSenderId, kTypeAnalog, payload, length)) {
            m_framesSkipped.fetch_add(1);
            client.needsAll = true;
        }
    }
}

// A client past half its queue that takes no byte for the stuck time-out is dropped.
void CVrpnServer::CheckStuck(Client& client, std::chrono::steady_clock::time_point now)
{
    CVrpnLink& link = *client.link;
    if (link.QueuedBytes() <= CVrpnLink::kOutCapacity / 2) {
        client.isBehind = false;
        return;
    }
    if (!client.isBehind || link.SentBytes() != client.sentWhenBehind) {
        client.isBehind = true;
        client.behindSince = now;
        client.sentWhenBehind = link.SentBytes();
        return;
    }
    if (now - client.behindSince >= m_stuckTimeout) link.Close("client stopped reading");
}

void CVrpnServer::DropClosed()
{
    for (size_t i = 0; i < m_clients.size();) {
        Client& client = *m_clients[i];
        if (client.link->GetState() != CVrpnLink::State::kClosed) {
            ++i;
            continue;
        }
        if (client.isOpen) {
            m_openClients.fetch_sub(1);
            m_dropped.fetch_add(1);
            g_messages.Post(Severity::Info, "<VRPN> Client " +
                                                AddressText(client.peerAddress, client.peerPort) +
                                                " dropped: " + client.link->CloseReason());
        }
        m_clients.erase(m_clients.begin() + static_cast<ptrdiff_t>(i));
    }
}

CVrpnServerStats CVrpnServer::GetStats() const
{
    CVrpnServerStats stats;
    stats.connected = m_connected.load();
    stats.dropped = m_dropped.load();
    stats.requestsRefused = m_requestsRefused.load();
    stats.selfRequests = m_selfRequests.load();
    stats.framesSkipped = m_framesSkipped.load();
    stats.buttonsLost = m_buttonsLost.load();
    return stats;
}
