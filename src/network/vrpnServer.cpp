#include "network/vrpnServer.h"

#include "network/vrpnClient.h"
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
// How often a pass asks the sockets what their clients took, at most.
constexpr std::chrono::milliseconds kStuckCheckInterval{100};
// Stuck time-outs allowed to a client that reads, however slowly (see CheckStuck).
constexpr int kSlowReaderTimeouts = 4;
// A cut (frames lost in the queue, or not sent to a client) is said at once; its count
// when it has ended (no loss for this long), at the latest this often, and at stop.
constexpr std::chrono::seconds kLossReportInterval{10};
constexpr std::chrono::seconds kCutQuiet{1};
constexpr const char* kFullText = "as many clients as the server takes are connected";

size_t AnalogReportBytes(size_t analogCount)
{
    if (analogCount == 0) return 0;
    const size_t sent = std::min<size_t>(analogCount, vrpn::kMaxAnalogChannels);
    return vrpn::kHeaderSize + vrpn::Padded(8 * (sent + 1));
}

bool IsEarlier(vrpn::Time a, vrpn::Time b)
{
    return a.sec < b.sec || (a.sec == b.sec && a.usec < b.usec);
}

std::string AddressText(uint32_t address, int port)
{
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%d", (address >> 24) & 255u,
                  (address >> 16) & 255u, (address >> 8) & 255u, address & 255u, port);
    return text;
}

}  // namespace

struct CVrpnServer::Client : public CVrpnLinkHandler {
    Client(CVrpnServer& owner, std::unique_ptr<CVrpnLink> newLink, uint32_t address, int port,
           std::chrono::steady_clock::time_point now)
        : server(owner),
          link(std::move(newLink)),
          peerAddress(address),
          peerPort(port),
          sentAnalog(std::min<size_t>(owner.m_analogCount, vrpn::kMaxAnalogChannels), 0.0),
          tookAt(now)
    {
    }
    bool OnLinkOpen(CVrpnLink& open) override
    {
        isOpen = true;
        server.m_openClients.fetch_add(1);
        server.m_connected.fetch_add(1);
        server.CountNote(server.m_connectNote, peerAddress, peerPort, "",
                         std::chrono::steady_clock::now());
        return server.QueueOpening(open);
    }
    bool OnLinkMessage(CVrpnLink& open, int kind, const vrpn::Message&) override
    {
        if (kind != kKindPing) return true;
        // One pong per ping, then the button states, as stock button servers do.
        if (!open.Queue(vrpn::Now(), kSenderId, kTypePong, nullptr, 0)) return false;
        return server.QueueButtonStates(open, vrpn::Now());
    }
    // The stream is still in step: one bad message costs only itself, never the link.
    bool OnLinkRefused(CVrpnLink&, const VrpnRefusal& refusal) override
    {
        server.CountRefusal(refusal, peerAddress, peerPort, std::chrono::steady_clock::now());
        return true;
    }

    CVrpnServer& server;
    std::unique_ptr<CVrpnLink> link;
    uint32_t peerAddress;
    int peerPort;
    bool isOpen = false;
    bool needsAll = true;  // new: every current value goes first, then the frames
    // The analog channels as its reports last carried them: a frame not sent to it never
    // shows in the reports of the others.
    std::vector<double> sentAnalog;
    uint64_t missedFrames = 0;    // frames not sent to it: it fell behind
    uint64_t reportedMissed = 0;  // of those, already said
    bool isCut = false;           // its cut was said; the count follows when it ends
    std::chrono::steady_clock::time_point missedAt;  // when it last missed a frame
    uint64_t takenBytes = 0;  // acknowledged by the peer at the last check
    std::chrono::steady_clock::time_point tookAt;  // when that count last grew
    bool wasBlocked = false;   // since it last took bytes, its window was seen closed
    bool hasResumed = false;   // it took bytes again after such a wait
};

CVrpnServer::CVrpnServer(const char* name, size_t analogCount, size_t sensorCount,
                         size_t buttonCount, int port, uint32_t address)
    : m_name(name != nullptr && name[0] != '\0' ? name : "Quorvane"),
      m_analogCount(analogCount),
      m_sensorCount(sensorCount),
      m_buttonCount(buttonCount),
      m_analogReportBytes(AnalogReportBytes(analogCount)),
      m_stateBytes(sensorCount * kPoseReportBytes + m_analogReportBytes),
      // A frame or the current values go out whole: twice the widest, with the reserve.
      m_linkCapacity(std::max(CVrpnLink::kOutCapacity, kReportReserve + 2 * m_stateBytes)),
      m_address(address),
      m_buttons(buttonCount, 0),
      m_latestAnalog(analogCount, 0.0),
      m_latestPoses(sensorCount * 7, 0.0),
      m_analogState(analogCount, 0.0),
      m_poseState(sensorCount * 7, 0.0),
      m_buttonState(buttonCount, 0),
      m_analogLatestCopy(analogCount, 0.0),
      m_poseLatestCopy(sensorCount * 7, 0.0),
      m_analogReplay(analogCount, 0.0),
      m_analogPending(analogCount, 0)
{
    // Room for kQueuedFrames frames of the widest block, within kMaxQueuedValues.
    const size_t frameValues = std::max({analogCount, 7 * sensorCount, size_t{1}});
    const size_t valueCapacity =
        std::max(frameValues, std::min(kQueuedFrames * frameValues, kMaxQueuedValues));
    for (FrameQueue& queue : m_queues) {
        queue.frames.resize(kQueuedFrames);
        queue.values.resize(valueCapacity);
    }
    m_clients.reserve(kMaxClients);
    m_goneCuts.reserve(kMaxClients);
    m_lastStamp = vrpn::Now();
    m_latestTime = m_lastStamp;
    m_stateTime = m_lastStamp;
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

CVrpnServer::~CVrpnServer()
{
    // Losses of the last moments are said too, however recent the last report.
    std::lock_guard<std::mutex> pass(m_passMutex);
    // The frames set since the last pass still go out, as far as the clients take them.
    if (m_running) Pass();
    const auto now = std::chrono::steady_clock::now();
    ReportLosses(now, true);
    SayDueNotes(now, true);
    // Reports a client had not taken yet go with its connection: said, not dropped unseen.
    std::string unsent;
    for (const auto& client : m_clients) {
        if (client->isOpen && client->link->QueuedBytes() > 0)
            unsent += " " + std::to_string(client->link->QueuedBytes()) + " bytes for client " +
                      AddressText(client->peerAddress, client->peerPort) + ";";
    }
    if (unsent.empty()) return;
    unsent.back() = '\n';
    g_messages.Post(Severity::Warning,
                    "<VRPN> Reports the clients had not taken when the server stopped are not "
                    "sent:" + unsent);
}

// The caller holds m_dataMutex. Frame times never go back, even when the clock does,
// so that every client sees its report times in order.
vrpn::Time CVrpnServer::Stamp()
{
    const vrpn::Time now = vrpn::Now();
    if (!IsEarlier(now, m_lastStamp)) m_lastStamp = now;
    return m_lastStamp;
}

bool CVrpnServer::SetAnalog(size_t offset, const double* values, size_t count)
{
    if (values == nullptr || offset > m_analogCount || count > m_analogCount - offset)
        return false;
    return QueueFrame(FrameKind::kAnalog, offset, count, values, count);
}

bool CVrpnServer::SetPoses(size_t offset, const double* poses, size_t count)
{
    if (poses == nullptr || offset > m_sensorCount || count > m_sensorCount - offset)
        return false;
    return QueueFrame(FrameKind::kPoses, offset, count, poses, 7 * count);
}

bool CVrpnServer::SetButton(size_t button, size_t offset, int state)
{
    if (offset > m_buttonCount || button >= m_buttonCount - offset) return false;
    const size_t index = button + offset;
    {
        std::lock_guard<std::mutex> lock(m_dataMutex);
        if (m_buttons[index] == state) return true;
        const vrpn::Time time = Stamp();
        // Queued behind the frames set before it, so that clients see them in that
        // order; a press and release between two passes both go.
        if (AppendFrame(FrameKind::kButton, index, static_cast<uint32_t>(state), nullptr, 0, time))
            m_buttons[index] = state;
        else
            m_buttonsLost.fetch_add(1);  // the state stays old: the next set tries again
    }
    Mainloop();
    return true;
}

bool CVrpnServer::QueueFrame(FrameKind kind, size_t offset, size_t count, const double* values,
                             size_t valueCount)
{
    if (count == 0) return true;
    std::lock_guard<std::mutex> lock(m_dataMutex);
    // Taken in queue order: a frame's time is never before the one queued ahead of it.
    const vrpn::Time time = Stamp();
    m_latestTime = time;
    std::vector<double>& latest = kind == FrameKind::kPoses ? m_latestPoses : m_latestAnalog;
    const size_t first = kind == FrameKind::kPoses ? 7 * offset : offset;
    std::copy(values, values + valueCount, latest.begin() + static_cast<ptrdiff_t>(first));
    if (AppendFrame(kind, offset, count, values, valueCount, time)) return true;
    // Lost for every client that has values: never sent later in another frame's place.
    // A client that opens later starts from the values set last (see TakeQueuedFrames).
    m_framesLost.fetch_add(1);
    m_isQueueOverrun = true;
    return false;
}

// The caller holds m_dataMutex. False, nothing queued, when the queue is full.
bool CVrpnServer::AppendFrame(FrameKind kind, size_t offset, size_t count, const double* values,
                              size_t valueCount, vrpn::Time time)
{
    FrameQueue& queue = *m_filling;
    if (queue.frameCount == queue.frames.size() ||
        queue.values.size() - queue.valueCount < valueCount)
        return false;
    queue.frames[queue.frameCount++] =
        QueuedFrame{time, kind, false, static_cast<uint32_t>(offset), static_cast<uint32_t>(count),
                    static_cast<uint32_t>(queue.valueCount)};
    if (valueCount > 0) {
        std::copy(values, values + valueCount,
                  queue.values.begin() + static_cast<ptrdiff_t>(queue.valueCount));
        queue.valueCount += valueCount;
    }
    return true;
}

bool CVrpnServer::Mainloop()
{
    if (!m_running) return false;
    m_passRequested.store(true);
    // The thread that runs a pass re-checks the request after releasing the lock, so a
    // request left by a thread that found the lock taken is served by it (or, past its
    // few passes, by the next caller: the frames wait in the queue, none is lost).
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
    TakeQueuedFrames();
    const bool isCheckDue = now >= m_nextStuckCheck;
    if (isCheckDue) m_nextStuckCheck = now + std::min<std::chrono::milliseconds>(
                                                 kStuckCheckInterval, m_stuckTimeout / 4);
    for (auto& client : m_clients) {
        CVrpnLink& link = *client->link;
        if (!link.Pump(*client, now)) continue;
        if (!link.IsOpen()) continue;
        SendReports(*client, now);
        if (link.Flush() && isCheckDue) CheckStuck(*client, now);
    }
    DropClosed();
    ReportLosses(now, false);
    SayDueNotes(now, false);
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
            m_clientsRefused.fetch_add(1);
            CountNote(m_refuseNote, ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port), kFullText,
                      now);
            continue;  // closed as it goes
        }
        m_clients.push_back(std::make_unique<Client>(
            *this,
            std::make_unique<CVrpnLink>(std::move(socket), false, kClientTypeNames, 1, m_name, now,
                                        m_cookieTimeout, m_linkCapacity),
            ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port), now));
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
    if (m_clients.size() >= kMaxClients) {
        m_clientsRefused.fetch_add(1);
        CountNote(m_refuseNote, address, static_cast<int>(port), kFullText, now);
        return false;
    }
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
        std::make_unique<CVrpnLink>(std::move(socket), connecting, kClientTypeNames, 1, m_name, now,
                                    m_cookieTimeout, m_linkCapacity),
        address, static_cast<int>(port), now));
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

// Takes the frames queued since the last pass and brings the current values up to
// them; notes where a client's analog reports fall: each analog frame goes out once,
// frames of devices whose channels do not overlap share a report, and a button change
// comes after the channels set before it.
void CVrpnServer::TakeQueuedFrames()
{
    bool hasLost = false;
    vrpn::Time latestTime;
    {
        std::lock_guard<std::mutex> lock(m_dataMutex);
        std::swap(m_filling, m_sending);
        m_filling->frameCount = 0;
        m_filling->valueCount = 0;
        hasLost = m_isQueueOverrun;
        m_isQueueOverrun = false;
        if (hasLost) {
            std::copy(m_latestAnalog.begin(), m_latestAnalog.end(), m_analogLatestCopy.begin());
            std::copy(m_latestPoses.begin(), m_latestPoses.end(), m_poseLatestCopy.begin());
            latestTime = m_latestTime;
        }
    }
    std::fill(m_analogPending.begin(), m_analogPending.end(), uint8_t{0});
    for (size_t i = 0; i < m_sending->frameCount; ++i) {
        QueuedFrame& frame = m_sending->frames[i];
        const double* values = m_sending->values.data() + frame.first;
        m_stateTime = frame.time;
        switch (frame.kind) {
            case FrameKind::kPoses:
                // The channels set before the poses go out before them: report times
                // stay in queue order.
                frame.reportBefore = std::find(m_analogPending.begin(), m_analogPending.end(),
                                               uint8_t{1}) != m_analogPending.end();
                if (frame.reportBefore)
                    std::fill(m_analogPending.begin(), m_analogPending.end(), uint8_t{0});
                std::copy(values, values + 7 * size_t{frame.count},
                          m_poseState.begin() + 7 * static_cast<ptrdiff_t>(frame.offset));
                break;
            case FrameKind::kAnalog: {
                const auto first = m_analogPending.begin() + frame.offset;
                const auto last = first + frame.count;
                frame.reportBefore = std::find(first, last, uint8_t{1}) != last;
                if (frame.reportBefore)
                    std::fill(m_analogPending.begin(), m_analogPending.end(), uint8_t{0});
                std::fill(first, last, uint8_t{1});
                std::copy(values, values + frame.count, m_analogState.begin() + frame.offset);
                break;
            }
            case FrameKind::kButton:
                // The channels set before the change go out before it.
                frame.reportBefore = std::find(m_analogPending.begin(), m_analogPending.end(),
                                               uint8_t{1}) != m_analogPending.end();
                if (frame.reportBefore)
                    std::fill(m_analogPending.begin(), m_analogPending.end(), uint8_t{0});
                m_buttonState[frame.offset] = static_cast<int32_t>(frame.count);
                break;
        }
    }
    m_reportAnalogAtEnd = std::find(m_analogPending.begin(), m_analogPending.end(), uint8_t{1}) !=
                          m_analogPending.end();
    // Frames lost since the last pass left the values behind: the current values, which
    // only a client that opens gets, are the ones set last.
    if (hasLost) {
        m_analogState.swap(m_analogLatestCopy);
        m_poseState.swap(m_poseLatestCopy);
        m_stateTime = latestTime;
    }
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
    const size_t length = vrpn::EncodeButtonStates(payload, m_buttonState.data(), count);
    return link.Queue(time, kSenderId, kTypeButtonStates, payload, length);
}

// Each queued frame goes out once, in order, whole, or is counted as not sent to the
// client (it fell behind: there was no room for it). A new client first gets every current
// value; until they fit it gets only the button changes (reliable). No frame goes out
// again later: a client that fell behind goes on with the next frames that fit.
void CVrpnServer::SendReports(Client& client, std::chrono::steady_clock::time_point now)
{
    CVrpnLink& link = *client.link;
    if (client.needsAll) {
        QueueFrames(client, false);
        if (!link.IsOpen() || !QueueState(link)) return;
        client.needsAll = false;
        std::copy(m_analogState.begin(),
                  m_analogState.begin() + static_cast<ptrdiff_t>(client.sentAnalog.size()),
                  client.sentAnalog.begin());
        return;
    }
    const size_t missed = QueueFrames(client, true);
    if (missed == 0) return;
    // Frames missed after a quiet stretch are a new cut, said at once.
    if (now - client.missedAt >= kCutQuiet) client.isCut = false;
    client.missedFrames += missed;
    client.missedAt = now;
    m_framesSkipped.fetch_add(missed);
}

// Room for bytes of reports besides the reserve, sending what waits when the queue is
// full: a client that reads takes a pass of any size.
bool CVrpnServer::MakeRoom(CVrpnLink& link, size_t bytes)
{
    const size_t needed = kReportReserve + bytes;
    if (link.FreeBytes() >= needed) return true;
    return link.Flush() && link.IsOpen() && link.FreeBytes() >= needed;
}

// This pass's frames and button changes in order (only the button changes without
// reports), each frame whole or not at all. Returns the frames whose reports did not
// fit (the client fell behind: the rest of the pass is not sent to it). A button change
// that does not fit closes the link.
size_t CVrpnServer::QueueFrames(Client& client, bool withReports)
{
    CVrpnLink& link = *client.link;
    const size_t sentChannels = client.sentAnalog.size();
    std::copy(client.sentAnalog.begin(), client.sentAnalog.end(), m_analogReplay.begin());
    vrpn::Time analogTime;
    bool isBehind = false;
    size_t missed = 0;
    size_t carried = 0;  // analog frames in the replay that no report carried yet
    // The analog report of the frames carried so far; when it does not fit they are lost.
    const auto reportCarried = [&] {
        if (!isBehind && MakeRoom(link, m_analogReportBytes) &&
            QueueAnalog(link, m_analogReplay.data(), analogTime)) {
            std::copy(m_analogReplay.begin(),
                      m_analogReplay.begin() + static_cast<ptrdiff_t>(sentChannels),
                      client.sentAnalog.begin());
            carried = 0;
            return;
        }
        isBehind = true;
        missed += carried;
        carried = 0;
    };
    uint8_t payload[vrpn::kButtonChangeSize];
    for (size_t i = 0; i < m_sending->frameCount; ++i) {
        const QueuedFrame& frame = m_sending->frames[i];
        const double* values = m_sending->values.data() + frame.first;
        if (frame.kind == FrameKind::kButton) {
            if (withReports && frame.reportBefore) reportCarried();
            if (frame.offset >= static_cast<uint32_t>(vrpn::kMaxButtons)) continue;
            const size_t length = vrpn::EncodeButtonChange(
                payload, static_cast<int32_t>(frame.offset), static_cast<int32_t>(frame.count));
            if (!link.Queue(frame.time, kSenderId, kTypeButtonChange, payload, length)) {
                link.Close("client too slow");
                return missed;
            }
            continue;
        }
        if (!withReports) continue;
        if (frame.reportBefore) reportCarried();
        if (isBehind) {
            ++missed;
            continue;
        }
        if (frame.kind == FrameKind::kPoses) {
            // Every sensor of the frame or none: room for all is made first.
            if (!MakeRoom(link, frame.count * kPoseReportBytes)) {
                isBehind = true;
                ++missed;
                continue;
            }
            for (uint32_t sensor = 0; sensor < frame.count; ++sensor)
                QueuePose(link, frame.offset + sensor, values + 7 * sensor, frame.time);
            continue;
        }
        std::copy(values, values + frame.count, m_analogReplay.begin() + frame.offset);
        analogTime = frame.time;
        ++carried;
    }
    if (withReports && m_reportAnalogAtEnd) reportCarried();
    return missed;
}

// Every current value, whole or not at all: each sensor's pose and the analog channels,
// stamped with the newest frame they hold.
bool CVrpnServer::QueueState(CVrpnLink& link)
{
    if (!MakeRoom(link, m_stateBytes)) return false;
    for (size_t sensor = 0; sensor < m_sensorCount; ++sensor)
        QueuePose(link, sensor, &m_poseState[7 * sensor], m_stateTime);
    return m_analogCount == 0 || QueueAnalog(link, m_analogState.data(), m_stateTime);
}

// The caller made room (MakeRoom).
bool CVrpnServer::QueuePose(CVrpnLink& link, size_t sensor, const double* pose, vrpn::Time time)
{
    // Our poses hold the quaternion w first; VRPN puts w last.
    const double quat[4] = {pose[4], pose[5], pose[6], pose[3]};
    const int32_t number = static_cast<int32_t>(sensor);
    uint8_t payload[vrpn::kVelocitySize];
    size_t length = vrpn::EncodePosQuat(payload, number, pose, quat);
    if (!link.Queue(time, kSenderId, kTypePosQuat, payload, length)) return false;
    length = vrpn::EncodeVelocity(payload, number, quat, kReportIntervalSec);
    return link.Queue(time, kSenderId, kTypeVelocity, payload, length) &&
           link.Queue(time, kSenderId, kTypeAcceleration, payload, length);
}

// The caller made room (MakeRoom).
bool CVrpnServer::QueueAnalog(CVrpnLink& link, const double* values, vrpn::Time time)
{
    // Stock clients hold 128 channels: never more.
    const int count = static_cast<int>(std::min<size_t>(m_analogCount, vrpn::kMaxAnalogChannels));
    uint8_t payload[8 + 8 * vrpn::kMaxAnalogChannels];
    const size_t length = vrpn::EncodeAnalog(payload, values, count);
    return link.Queue(time, kSenderId, kTypeAnalog, payload, length);
}

// Progress is what the peer takes: the bytes its side acknowledged. A client with bytes
// waiting (unacknowledged, or in its queue) that takes none for the stuck time-out is
// dropped, whatever the stream's rate. A peer's window reopens only once it has read a
// large step (about 100 kB on loopback), so a client that reads slowly shows progress
// seconds apart: one seen to take bytes again after its window had closed gets
// kSlowReaderTimeouts time-outs; one that never did (it stopped reading) gets one.
void CVrpnServer::CheckStuck(Client& client, std::chrono::steady_clock::time_point now)
{
    CVrpnLink& link = *client.link;
    uint64_t taken = 0;
    bool isWindowClosed = false;
    if (!link.ReadPeerProgress(taken, isWindowClosed)) taken = link.SentBytes();  // unknown
    const bool isWaiting = taken < link.SentBytes() || link.QueuedBytes() > 0;
    if (!isWaiting || taken != client.takenBytes) {
        // A reader that caught up at once has nothing waiting by the next check: what it
        // took since it was blocked is still its resumption.
        client.hasResumed = client.hasResumed || (taken != client.takenBytes && client.wasBlocked);
        client.wasBlocked = false;
        client.takenBytes = taken;
        client.tookAt = now;
        return;
    }
    client.wasBlocked = client.wasBlocked || isWindowClosed;
    const auto allowed = client.hasResumed ? kSlowReaderTimeouts * m_stuckTimeout : m_stuckTimeout;
    if (now - client.tookAt >= allowed) link.Close("client stopped reading");
}

void CVrpnServer::DropClosed()
{
    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < m_clients.size();) {
        Client& client = *m_clients[i];
        if (client.link->GetState() != CVrpnLink::State::kClosed) {
            ++i;
            continue;
        }
        if (client.isOpen) {
            m_openClients.fetch_sub(1);
            m_dropped.fetch_add(1);
            CountNote(m_dropNote, client.peerAddress, client.peerPort, client.link->CloseReason(),
                      now);
            // What it missed and was not said yet is said with the next loss report, at
            // once: its cut ends here.
            if (client.missedFrames > client.reportedMissed)
                m_goneCuts.push_back(GoneCut{client.peerAddress, client.peerPort,
                                             client.missedFrames - client.reportedMissed});
        }
        m_clients.erase(m_clients.begin() + static_cast<ptrdiff_t>(i));
    }
}

// Frames that did not reach a client are said, never silent. A cut (frames lost in the
// queue, or frames not sent to a client that fell behind) is said at once, with the count so
// far; later frames of the same cut are counted and said when it ends (no loss for
// kCutQuiet, or the client is gone), at the latest every kLossReportInterval, and at stop.
void CVrpnServer::ReportLosses(std::chrono::steady_clock::time_point now, bool isFinal)
{
    const uint64_t lost = m_framesLost.load();
    const uint64_t buttons = m_buttonsLost.load();
    const auto hasEnded = [&](std::chrono::steady_clock::time_point lossAt) {
        return now - lossAt >= kCutQuiet;
    };
    if (lost + buttons > m_queueLossesSeen) {
        // Losses after a quiet stretch are a new cut, said at once.
        if (hasEnded(m_queueLossAt)) m_isQueueCut = false;
        m_queueLossAt = now;
        m_queueLossesSeen = lost + buttons;
    }
    bool hasUnsaid = !m_goneCuts.empty() || lost > m_reportedLost || buttons > m_reportedButtons;
    bool isDue = isFinal || !m_goneCuts.empty() || !m_hasReportedLoss ||
                 now - m_lastLossReport >= kLossReportInterval;
    const bool isQueueUnsaid = lost > m_reportedLost || buttons > m_reportedButtons;
    isDue = isDue || (isQueueUnsaid && (!m_isQueueCut || hasEnded(m_queueLossAt)));
    for (const auto& client : m_clients) {
        if (client->missedFrames == client->reportedMissed) continue;
        hasUnsaid = true;
        isDue = isDue || !client->isCut || hasEnded(client->missedAt);
    }
    if (!hasUnsaid || !isDue) {
        // A cut whose count was all said ends quietly: the next loss is a new cut.
        if (m_isQueueCut && hasEnded(m_queueLossAt)) m_isQueueCut = false;
        for (const auto& client : m_clients) {
            if (client->isCut && hasEnded(client->missedAt)) client->isCut = false;
        }
        return;
    }
    std::string text = "<VRPN> Not every frame reached the clients:";
    if (lost > m_reportedLost)
        text += " " + std::to_string(lost - m_reportedLost) + " frames lost (queue full);";
    if (buttons > m_reportedButtons)
        text += " " + std::to_string(buttons - m_reportedButtons) +
                " button changes lost (queue full);";
    for (const auto& client : m_clients) {
        if (client->missedFrames == client->reportedMissed) continue;
        text += " " + std::to_string(client->missedFrames - client->reportedMissed) +
                " frames not sent to client " + AddressText(client->peerAddress, client->peerPort) +
                ", which fell behind;";
        client->reportedMissed = client->missedFrames;
        client->isCut = !hasEnded(client->missedAt);
    }
    for (const GoneCut& gone : m_goneCuts)
        text += " " + std::to_string(gone.missed) + " frames not sent to client " +
                AddressText(gone.address, gone.port) + ", which fell behind and is gone;";
    m_goneCuts.clear();
    if (isQueueUnsaid) m_isQueueCut = !hasEnded(m_queueLossAt);
    text.back() = '\n';
    g_messages.Post(Severity::Warning, text);
    m_reportedLost = lost;
    m_reportedButtons = buttons;
    m_hasReportedLoss = true;
    m_lastLossReport = now;
}

// Counts an event of a note's kind; says it when due.
void CVrpnServer::CountNote(Note& note, uint32_t address, int port, const char* reason,
                            std::chrono::steady_clock::time_point now)
{
    note.address = address;
    note.port = port;
    note.reason = reason;
    if (note.counter.Count(now)) SayNote(note, now);
}

void CVrpnServer::SayNote(Note& note, std::chrono::steady_clock::time_point now)
{
    const uint64_t count = note.counter.TakeUnsaid(now);
    std::string text =
        std::string("<VRPN> ") + note.before + AddressText(note.address, note.port) + note.after;
    if (note.reason[0] != '\0') text += std::string(": ") + note.reason;
    if (note.counter.Total() > 1)
        text += " (" + std::to_string(count) + " since the last note, " +
                std::to_string(note.counter.Total()) + " in all)";
    g_messages.Post(note.severity, text);
}

// Notes whose events wait: said when their interval has passed, or at stop.
void CVrpnServer::SayDueNotes(std::chrono::steady_clock::time_point now, bool isFinal)
{
    for (Note* note : {&m_connectNote, &m_dropNote, &m_refuseNote}) {
        if (isFinal ? note->counter.Unsaid() > 0 : note->counter.IsDue(now)) SayNote(*note, now);
    }
    CRepeatNote& refusals = m_refusalNote.counter;
    if (isFinal ? refusals.Unsaid() > 0 : refusals.IsDue(now)) SayRefusals(now);
}

void CVrpnServer::CountRefusal(const VrpnRefusal& refusal, uint32_t address, int port,
                               std::chrono::steady_clock::time_point now)
{
    m_messagesRefused.fetch_add(1);
    RefusalNote& note = m_refusalNote;
    if (note.counter.Total() == 0) note.first = refusal;
    note.last = refusal;
    note.address = address;
    note.port = port;
    if (note.counter.Count(now)) SayRefusals(now);
}

void CVrpnServer::SayRefusals(std::chrono::steady_clock::time_point now)
{
    RefusalNote& note = m_refusalNote;
    const uint64_t count = note.counter.TakeUnsaid(now);
    std::string text = "<VRPN> Refused a message from client " +
                       AddressText(note.address, note.port) + ": ";
    if (note.counter.Total() == 1)
        text += DescribeVrpnRefusal(note.first);
    else
        text += std::to_string(count) + " since the last note, " +
                std::to_string(note.counter.Total()) + " in all (first: " +
                DescribeVrpnRefusal(note.first) + "; last: " + DescribeVrpnRefusal(note.last) +
                ")";
    g_messages.Post(Severity::Warning, text + "; the connection is kept");
}

CVrpnServerStats CVrpnServer::GetStats() const
{
    CVrpnServerStats stats;
    stats.connected = m_connected.load();
    stats.dropped = m_dropped.load();
    stats.requestsRefused = m_requestsRefused.load();
    stats.selfRequests = m_selfRequests.load();
    stats.clientsRefused = m_clientsRefused.load();
    stats.framesLost = m_framesLost.load();
    stats.framesSkipped = m_framesSkipped.load();
    stats.buttonsLost = m_buttonsLost.load();
    stats.messagesRefused = m_messagesRefused.load();
    return stats;
}
