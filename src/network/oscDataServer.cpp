#include "network/oscDataServer.h"

#include "network/oscServer.h"

#include <sys/socket.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

constexpr std::size_t kReservedText = 256;
// Destinations a sender's copy holds without growing.
constexpr std::size_t kReservedDestinations = 64;
// Address, tags (one per value, the time, padding) and 8 bytes per value.
constexpr std::size_t kReservedMessageBytes =
    2 * kReservedText + 9 * (OscDataServer::kReservedValues + 1) + 16;
constexpr const char* kLocalHost = "127.0.0.1";
constexpr int kMaxPort = 65535;
constexpr const char* kNotRunning = "the OSC server is not running";
// Frames may come in bursts from several devices: room for them in the kernel.
constexpr int kSendBufferBytes = 4 * 1024 * 1024;
// A send failure without a system error: the datagram went out cut short.
constexpr int kCutShort = -1;

std::string SendErrorText(int code)
{
    if (code == kCutShort) return "datagram cut short";
    if (code == 0) return "reason unknown";
    return std::strerror(code);
}

void DefaultSink(bool isError, const std::string& line)
{
    std::FILE* stream = isError ? stderr : stdout;
    std::fputs(line.c_str(), stream);
    std::fflush(stream);
}

std::atomic<OscConsoleSink> g_consoleSink{&DefaultSink};

std::string FamilyText(const NetAddress& address)
{
    switch (address.Family()) {
        case AF_INET:
            return "IPv4";
        case AF_INET6:
            return "IPv6";
        case AF_UNSPEC:
            return "AF_UNSPEC";
        default:
            return "unknown family '" + std::to_string(address.Family()) + "'";
    }
}

// Every version any server publishes is new, so a sender's copy made for one
// server never passes for another's.
std::atomic<std::uint64_t> g_nextRouteVersion{1};

// Characters an OSC address part may not hold, '/' (a name is one part) and
// control characters, which receivers print or match badly.
bool IsForbiddenInAddressPart(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return true;
    switch (c) {
        case ' ':
        case '#':
        case '*':
        case ',':
        case '?':
        case '[':
        case ']':
        case '{':
        case '}':
        case '/':
            return true;
        default:
            return false;
    }
}

// Appends a device name as one valid address part: forbidden characters become '_'.
void AppendAddressPart(std::string& address, const char* name)
{
    if (name == nullptr) return;
    for (const char* c = name; *c != '\0'; ++c)
        address.push_back(IsForbiddenInAddressPart(*c) ? '_' : *c);
}

// Why ParseHostPort refused a text.
std::string HostPortProblem(const std::string& text)
{
    const std::size_t colon = text.find(':');
    // IPv6: brackets, "::", or several colons after a first group of hex digits.
    const bool isHexGroup = colon != std::string::npos && colon <= 4 &&
                            text.find_first_not_of("0123456789abcdefABCDEF") >= colon;
    const bool hasMoreColons =
        colon != std::string::npos && text.find(':', colon + 1) != std::string::npos;
    if (text.find('[') != std::string::npos || text.find("::") != std::string::npos ||
        (isHexGroup && hasMoreColons))
        return "IPv6 addresses are not supported: give an IPv4 address or a host name";
    if (colon == std::string::npos || colon == 0) return "expected host:port";
    const std::string port = text.substr(colon + 1);
    const std::size_t end = port.find_first_not_of("0123456789");
    if (port.empty() || end == 0) return "port '" + port + "' is not a number";
    if (end != std::string::npos)
        return "unexpected '" + port.substr(end) + "' after port " + port.substr(0, end);
    return "port " + port + " outside 1-" + std::to_string(kMaxPort);
}

void SetReason(std::string* reason, const std::string& text)
{
    if (reason != nullptr) *reason = text;
}

}  // namespace

void SetOscConsoleSink(OscConsoleSink sink)
{
    g_consoleSink.store(sink != nullptr ? sink : &DefaultSink);
}

void OscConsoleLine(bool isError, const std::string& line)
{
    try {
        g_consoleSink.load()(isError, line);
    } catch (...) {  // a console failure must not end the caller
    }
}

// Console lines gathered under the lock and written once it is released:
// declare it before the lock guard so it is destroyed after it.
class OscDataServer::Console {
public:
    Console() = default;
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;
    ~Console()
    {
        for (const auto& [isError, line] : m_lines) OscConsoleLine(isError, line);
    }
    void Out(std::string line) { m_lines.emplace_back(false, std::move(line)); }
    void Err(std::string line) { m_lines.emplace_back(true, std::move(line)); }

private:
    std::vector<std::pair<bool, std::string>> m_lines;
};

// One thread's encoding buffers and its copy of the route: each acquisition
// thread is one device, so no two devices share them.
class OscDataServer::Sender {
public:
    Sender()
    {
        route.destinations.reserve(kReservedDestinations);
        route.slots.reserve(kReservedDestinations);
        route.dataTag.reserve(kReservedText);
        route.eventTag.reserve(kReservedText);
        address.reserve(kReservedText);
        message.Reserve(kReservedValues + 1, kReservedMessageBytes);
        builder.Reserve(kReservedMessageBytes);
    }
    const OscDataServer* server = nullptr;  // whose route the copy is
    std::uint64_t version = 0;
    Route route;
    std::string address;
    OscMessage message;
    OscPacketBuilder builder;
};

OscDataServer::Sender& OscDataServer::ThisThreadSender()
{
    thread_local Sender sender;
    return sender;
}

unsigned OscDataServer::SendGate::Enter() noexcept
{
    for (;;) {
        const unsigned epoch = m_epoch.load();
        const unsigned side = epoch & 1U;
        m_inside[side].fetch_add(1);
        // A waiter that flipped the side meanwhile may not have seen us: go round.
        if (m_epoch.load() == epoch) return side;
        Leave(side);
    }
}

void OscDataServer::SendGate::Leave(unsigned side) noexcept
{
    if (m_inside[side].fetch_sub(1) == 1 && m_waiting.load()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_drained.notify_all();
    }
}

void OscDataServer::SendGate::WaitForSendsInProgress()
{
    const unsigned side = m_epoch.fetch_add(1) & 1U;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_waiting = true;
    m_drained.wait(lock, [&] { return m_inside[side].load() == 0; });
    m_waiting = false;
}

// The request addresses come from the built-in defaults, once: peers know
// them before any configuration is read, and loading settings never moves them.
OscDataServer::OscDataServer()
    : m_connectAddress(OscServerSettings().trackerServerName + OscServerSettings().connectPattern),
      m_disconnectAddress(OscServerSettings().trackerServerName +
                          OscServerSettings().disconnectPattern),
      m_requestAddress(OscServerSettings().trackerServerName + OscServerSettings().requestPattern)
{
    m_record.reserve(kReservedMessageBytes);
    m_resend.reserve(kReservedMessageBytes);
    m_slots = std::make_unique<SendSlot[]>(kTrackedDestinations);
}

OscDataServer::~OscDataServer()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connected = false;
    m_sender.Close();
    PublishLocked();
}

// ---- start, close, poll ----------------------------------------------------

bool OscDataServer::Start(int inPort, int outPort, std::string* reason)
{
    Console console;
    std::lock_guard<std::mutex> control(m_controlMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (IsStarted()) return true;
    for (int port : {inPort, outPort}) {
        if (port > 65535) {
            console.Err("<OSC> Error opening port " + std::to_string(port) +
                        ": port out of range\n");
            if (reason) *reason = "port " + std::to_string(port) + " is out of range (1 to 65535)";
            return false;
        }
    }
    if (inPort >= 1) m_inPort = inPort;
    if (outPort > 0) m_outPort = outPort;
    if (!m_listener.BindTo(m_inPort)) {
        console.Err("<OSC> Error opening port " + std::to_string(m_inPort) + ": " +
                    m_listener.ErrorText() + "\n");
        if (reason)
            *reason = "it cannot listen on UDP port " + std::to_string(m_inPort) + " (" +
                      m_listener.ErrorText() + ")";
        return false;
    }
    if (!m_sender.BindTo(0)) {
        console.Err("<OSC> Error opening port 0: " + m_sender.ErrorText() + "\n");
        if (reason) *reason = "it has no socket to send from (" + m_sender.ErrorText() + ")";
        m_listener.Close();
        return false;
    }
    m_sender.SetSendBufferSize(kSendBufferBytes);
    m_started.store(m_listener.IsOk(), std::memory_order_release);
    ServeLocalPeerLocked(console);
    PublishLocked();
    return true;
}

bool OscDataServer::Close()
{
    Console console;
    std::lock_guard<std::mutex> control(m_controlMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connected = false;
    if (!IsStarted()) return true;
    console.Out("<OSC> Closing server\n");
    m_hasLocalPeer = false;
    RebuildDestinationsLocked();  // the clients' destinations, each once
    // No frame follows the goodbye, and no sender still uses the socket we close.
    m_gate.WaitForSendsInProgress();
    if (!m_destinations.empty()) {
        BuildReplyLocked(m_settings.serverRemoved);
        for (const NetAddress& destination : m_destinations)
            CountSend(m_sender.SendPacketTo(m_builder.PacketData(), m_builder.PacketSize(),
                                            destination)
                          ? UdpSendResult::Whole
                          : UdpSendResult::Failed);
    }
    ReportSendFailuresLocked(console, true);
    m_clients.clear();
    m_destinations.clear();
    m_listener.Close();
    m_sender.Close();
    m_started.store(false, std::memory_order_release);
    PublishLocked();
    return true;
}

bool OscDataServer::Poll()
{
    Console console;
    std::lock_guard<std::mutex> control(m_controlMutex);
    int timeoutMs = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!IsStarted() || !m_listener.IsOk()) return false;
        if (m_connected && m_clients.empty() && !m_settings.sendToLocal)
            SetConnectedLocked(false);
        ServeLocalPeerLocked(console);  // retried on every poll until it succeeds
        timeoutMs = ClampOscPollTimeout(m_settings.timeoutMs);
        ReportSendFailuresLocked(console, false);
        if (m_repeatConnectNote.Unsaid() > 0) {
            const auto now = CRepeatNote::Clock::now();
            if (m_repeatConnectNote.IsDue(now)) SayRepeatConnectsLocked(console, now);
        }
    }
    // The wait happens without the data lock: acquisition threads keep sending.
    if (!m_listener.ReceiveNextPacket(timeoutMs)) return true;
    m_parser.Init(m_listener.PacketData(), m_listener.PacketSize());
    if (!m_parser.IsOk()) return true;  // malformed requests are ignored
    const NetAddress requester = m_listener.RemoteAddress();
    std::lock_guard<std::mutex> lock(m_mutex);
    while (const OscMessage* message = m_parser.PopMessage()) {
        const std::string& address = message->Address();
        if (address == m_connectAddress)
            HandleConnectLocked(requester, console);
        else if (address == m_disconnectAddress)
            HandleDisconnectLocked(requester, console);
        else if (address == m_requestAddress)
            ResendRecordLocked();
    }
    return true;
}

// ---- peers -----------------------------------------------------------------

// The local peer is served whenever "send to local" is on and the server is started,
// whatever came first: a start, a poll, a client or a settings change.
void OscDataServer::ServeLocalPeerLocked(Console& console)
{
    if (!IsStarted() || !m_settings.sendToLocal) return;
    if (!m_hasLocalPeer) {
        ConnectLocalLocked(console);
        return;
    }
    SetConnectedLocked(true);
}

bool OscDataServer::ConnectLocalLocked(Console& console)
{
    NetAddress local;
    std::string error;
    if (!NetAddress::Resolve(kLocalHost, m_outPort, local, error)) return false;
    const bool whole = SendReplyLocked(m_settings.serverConnected, local);
    if (whole) {
        m_connected = true;
        m_localPeer = local;
        m_hasLocalPeer = true;
        RebuildDestinationsLocked();
        console.Out(std::string("<OSC> connected to ") + kLocalHost + "\n");
    }
    return whole;
}

bool OscDataServer::HandleConnectLocked(const NetAddress& requester, Console& console)
{
    const std::string host = requester.AsText();
    const std::string port = std::to_string(requester.Port());
    const int known = FindClientLocked(requester);
    if (known >= 0) {
        // A configured entry at the destination it asks for becomes its own request too:
        // removing the entry then leaves it its data.
        m_clients[static_cast<std::size_t>(known)].asked = true;
        m_repeatConnectPeer = host + ":" + port;
        const auto now = CRepeatNote::Clock::now();
        if (m_repeatConnectNote.Count(now)) SayRepeatConnectsLocked(console, now);
        return true;
    }
    if (requester.IsSet())
        console.Out("<OSC> Trying to connect [" + FamilyText(requester) + " " + host + ":" + port +
                    "]\n");
    else
        console.Out("<OSC> Trying to connect [AF_UNSPEC]\n");
    // Replies and data go to the requester's host at our out port.
    const NetAddress destination = requester.WithPort(m_outPort);
    if (requester.IsSet() && SendReplyLocked(m_settings.serverConnected, destination)) {
        m_connected = true;
        m_clients.push_back(Client{requester, destination, 0, true});
        RebuildDestinationsLocked();
        console.Out("<OSC> Adding " + host + "\n");
        return true;
    }
    const std::string& why =
        m_sender.ErrorText().empty() ? m_sender.LastSendError() : m_sender.ErrorText();
    console.Out("<OSC> " + why + "\n");
    // Only this requester failed: the peers already reached keep their data.
    SetConnectedLocked(!m_destinations.empty());
    return false;
}

// A peer that repeats its request (every frame, say) must not flood the console.
void OscDataServer::SayRepeatConnectsLocked(Console& console, CRepeatNote::Clock::time_point now)
{
    const std::uint64_t since = m_repeatConnectNote.TakeUnsaid(now);
    std::string line = "<OSC> " + m_repeatConnectPeer + " is already connected !";
    if (m_repeatConnectNote.Total() > 1)
        line += " (" + std::to_string(since) + " requests since the last note, " +
                std::to_string(m_repeatConnectNote.Total()) + " in all)";
    console.Out(line + "\n");
}

bool OscDataServer::HandleDisconnectLocked(const NetAddress& requester, Console& console)
{
    const int index = FindClientLocked(requester);
    if (index < 0) {
        console.Out("<OSC> " + requester.AsText() + " is not connected\n");
        return false;
    }
    const Client client = m_clients[static_cast<std::size_t>(index)];
    const bool whole = SendReplyLocked(m_settings.serverRemoved, client.destination);
    console.Out("<OSC> Removing [" + client.address.AsText() + "]\n");
    m_clients.erase(m_clients.begin() + index);
    RebuildDestinationsLocked();
    return whole;
}

bool OscDataServer::AddClient(const std::string& host, int port, std::uint64_t entryId,
                              std::string* reason)
{
    Console console;
    NetAddress destination;
    std::string error;
    // Name resolution may wait on the network: done before taking the lock.
    if (!NetAddress::Resolve(host, port, destination, error)) {
        console.Out("<OSC> Unable to connect " + host + ":" + std::to_string(port) + "\n");
        if (port < 1 || port > kMaxPort)
            SetReason(reason, "port " + std::to_string(port) + " outside 1-" +
                                  std::to_string(kMaxPort));
        else
            SetReason(reason, "host " + host + " not found (" + error + ")");
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    return AddClientLocked(destination, host, port, entryId, console, reason);
}

bool OscDataServer::AddClientLocked(const NetAddress& destination, const std::string& host,
                                    int port, std::uint64_t entryId, Console& console,
                                    std::string* reason)
{
    if (!IsStarted()) {
        console.Out("<OSC> Unable to connect " + host + ":" + std::to_string(port) + "\n");
        SetReason(reason, kNotRunning);
        return false;
    }
    // Each destination once: a second record for it would welcome the peer twice.
    for (Client& client : m_clients) {
        if (!client.destination.SameEndpoint(destination)) continue;
        if (entryId != 0 && client.entryId == 0) {
            // The peer asked to connect before it was configured: the entry takes that
            // client, which has had its welcome.
            client.entryId = entryId;
            console.Out("<OSC> Adding client " + host + " : " + std::to_string(port) +
                        " (connected already: no second welcome)\n");
            return true;
        }
        std::string listed = destination.AsText() + ":" + std::to_string(destination.Port());
        for (const Entry& entry : m_entries) {
            if (entry.id == client.entryId) listed = entry.text;
        }
        SetReason(reason, "already in the list as " + listed);
        return false;
    }
    // The local peer had its welcome when it was reached.
    const bool isLocalPeer = m_hasLocalPeer && m_settings.sendToLocal &&
                             m_localPeer.SameEndpoint(destination);
    if (!isLocalPeer && !SendReplyLocked(m_settings.serverConnected, destination)) {
        SetReason(reason, "no welcome could be sent (" + m_sender.LastSendError() + ")");
        return false;
    }
    m_connected = true;
    m_clients.push_back(Client{destination, destination, entryId, false});
    RebuildDestinationsLocked();
    console.Out("<OSC> Adding client " + host + " : " + std::to_string(port) + "\n");
    return true;
}

bool OscDataServer::RemoveClientAt(std::size_t index)
{
    Console console;
    std::lock_guard<std::mutex> lock(m_mutex);
    return RemoveClientAtLocked(index, console);
}

bool OscDataServer::RemoveClientAtLocked(std::size_t index, Console& console)
{
    if (index >= m_clients.size()) return false;
    const NetAddress& address = m_clients[index].address;
    console.Out("<OSC> Removing client " + address.AsText() + " : " +
                std::to_string(address.Port()) + "\n");
    m_clients.erase(m_clients.begin() + static_cast<std::ptrdiff_t>(index));
    RebuildDestinationsLocked();
    return true;
}

int OscDataServer::FindClient(const NetAddress& address) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return FindClientLocked(address);
}

int OscDataServer::FindClientLocked(const NetAddress& address) const
{
    // A client is a host and a port. A peer asking from any port of its host is served at
    // our out port there (two peers of one host count as one), or else is the client whose
    // data already goes to the port it asks from; a client configured at another port of
    // that host is another client.
    const NetAddress served = address.WithPort(m_outPort);
    int found = -1;
    for (std::size_t i = 0; i < m_clients.size(); ++i) {
        if (m_clients[i].destination.SameEndpoint(served)) return static_cast<int>(i);
        if (found < 0 && m_clients[i].destination.SameEndpoint(address))
            found = static_cast<int>(i);
    }
    return found;
}

void OscDataServer::ClearClients()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clients.clear();
    RebuildDestinationsLocked();
}

void OscDataServer::SetSendObserver(OscSendObserver observer, void* context)
{
    m_observerContext.store(context);
    m_observer.store(observer);
}

std::size_t OscDataServer::ClientCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_clients.size();
}

// ---- configured entries ----------------------------------------------------

bool OscDataServer::AddConfiguredClient(const std::string& text, std::string* reason)
{
    if (!IsStarted()) {
        SetReason(reason, kNotRunning);
        return false;
    }
    std::string host;
    int port = 0;
    if (!ParseHostPort(text, host, port)) {
        SetReason(reason, HostPortProblem(text));
        return false;
    }
    std::uint64_t id = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        id = m_nextEntryId++;
    }
    if (!AddClient(host, port, id, reason)) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.push_back(Entry{text, id});
    return true;
}

bool OscDataServer::AddConfiguredClients()
{
    if (!IsStarted()) return false;
    std::vector<Entry> entries;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_entries.empty()) return true;
        entries = m_entries;
        DropEntryClientsLocked();
    }
    for (const Entry& entry : entries) {
        std::string host;
        int port = 0;
        if (!ParseHostPort(entry.text, host, port)) continue;
        if (!AddClient(host, port, entry.id)) {
            Console console;
            console.Err("Error Adding OSC client " + host + ":" + std::to_string(port) + "\n");
        }
    }
    return true;
}

bool OscDataServer::RemoveConfiguredClient(const std::string& text)
{
    Console console;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].text != text) continue;
        std::string host;
        int port = 0;
        if (!ParseHostPort(text, host, port)) return false;
        const std::uint64_t id = m_entries[i].id;
        m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(i));
        // The client this entry made, wherever it now stands in the list. Gone already
        // (the peer said goodbye): the entry goes alone, or it could never be removed.
        for (std::size_t c = 0; c < m_clients.size(); ++c) {
            Client& client = m_clients[c];
            if (client.entryId != id) continue;
            if (client.asked) {
                // Its own request stands until it disconnects: data and no goodbye.
                client.entryId = 0;
                console.Out("<OSC> Removing client " + host + " : " + std::to_string(port) +
                            " from the configured clients; it asked for data itself and keeps "
                            "it until it disconnects\n");
                return true;
            }
            const NetAddress destination = client.destination;
            RemoveClientAtLocked(c, console);
            // The goodbye only when its data really stops (the local peer may share it).
            bool stillServed = false;
            for (const NetAddress& known : m_destinations)
                stillServed = stillServed || known.SameEndpoint(destination);
            if (!stillServed && IsStarted()) SendReplyLocked(m_settings.serverRemoved, destination);
            return true;
        }
        return true;
    }
    return false;
}

std::string OscDataServer::GetConfiguredClient(std::size_t index) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return index < m_entries.size() ? m_entries[index].text : std::string();
}

std::size_t OscDataServer::ConfiguredClientCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries.size();
}

bool OscDataServer::ClearConfiguredClients()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (IsStarted()) DropEntryClientsLocked();
    m_entries.clear();
    return true;
}

// The clients the configured entries made; a peer that asked for data itself stays,
// no longer tied to an entry.
void OscDataServer::DropEntryClientsLocked()
{
    std::vector<Client> kept;
    for (Client& client : m_clients) {
        if (!client.asked) continue;
        client.entryId = 0;
        kept.push_back(client);
    }
    m_clients.swap(kept);
    RebuildDestinationsLocked();
}

// ---- settings and state ----------------------------------------------------

void OscDataServer::SetSettings(const OscServerSettings& settings)
{
    Console console;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_settings = settings;
    RebuildDestinationsLocked();
    ServeLocalPeerLocked(console);
}

OscServerSettings OscDataServer::Settings() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_settings;
}

bool OscDataServer::IsConnected() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connected;
}

int OscDataServer::InPort() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_inPort;
}

int OscDataServer::OutPort() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_outPort;
}

OscServerStats OscDataServer::Stats() const
{
    OscServerStats stats;
    stats.packetsSent = m_packetsSent.load();
    stats.sendFailures = m_sendFailures.load();
    stats.wouldBlock = m_wouldBlock.load();
    return stats;
}

// ---- data and events (acquisition threads) ---------------------------------

// Copies the route when the GUI side published a change since the last copy;
// the reader lock is held for the copy only, never across a send.
void OscDataServer::Refresh(Sender& sender) const
{
    if (sender.server == this &&
        sender.version == m_routeVersion.load(std::memory_order_acquire))
        return;
    std::shared_lock<std::shared_mutex> lock(m_routeMutex);
    sender.route.handle = m_route.handle;
    sender.route.connected = m_route.connected;
    sender.route.destinations.assign(m_route.destinations.begin(), m_route.destinations.end());
    sender.route.slots.assign(m_route.slots.begin(), m_route.slots.end());
    sender.route.dataTag.assign(m_route.dataTag);
    sender.route.eventTag.assign(m_route.eventTag);
    sender.route.useDouble = m_route.useDouble;
    sender.route.sendTime = m_route.sendTime;
    sender.server = this;
    sender.version = m_routeVersion.load(std::memory_order_relaxed);
}

bool OscDataServer::SetData(const char* name, const double* values, int count, double time)
{
    const unsigned side = m_gate.Enter();
    Sender& sender = ThisThreadSender();
    Refresh(sender);
    bool sent = false;
    if (count <= 0 || values == nullptr) {
        std::unique_lock<std::mutex> record(m_recordMutex, std::try_to_lock);
        if (record.owns_lock()) m_record.clear();
    } else {
        const Route& route = sender.route;
        sender.address.assign(route.dataTag);
        sender.address.push_back('/');
        AppendAddressPart(sender.address, name);
        OscMessage& message = sender.message;
        message.Init(sender.address);
        if (route.sendTime)
            route.useDouble ? message.PushDouble(time)
                            : message.PushFloat(static_cast<float>(time));
        for (int i = 0; i < count; ++i)
            route.useDouble ? message.PushDouble(values[i])
                            : message.PushFloat(static_cast<float>(values[i]));
        sender.builder.Init().AddMessage(message);
        {
            std::unique_lock<std::mutex> record(m_recordMutex, std::try_to_lock);
            if (record.owns_lock())
                m_record.assign(sender.builder.PacketData(),
                                sender.builder.PacketData() + sender.builder.PacketSize());
        }
        sent = SendBuilt(sender);
    }
    m_gate.Leave(side);
    return sent;
}

bool OscDataServer::SendEvent(const char* name, const char* label, double time)
{
    const unsigned side = m_gate.Enter();
    Sender& sender = ThisThreadSender();
    Refresh(sender);
    const Route& route = sender.route;
    sender.address.assign(route.eventTag);
    sender.address.push_back('/');
    AppendAddressPart(sender.address, name);
    sender.message.Init(sender.address).PushString(label != nullptr ? label : "");
    if (route.useDouble)
        sender.message.PushDouble(time);
    else
        sender.message.PushFloat(static_cast<float>(time));
    sender.builder.Init().AddMessage(sender.message);
    const bool sent = SendBuilt(sender);
    m_gate.Leave(side);
    return sent;
}

// Sends the sender's packet to its copy of the destinations; no lock is held.
bool OscDataServer::SendBuilt(const Sender& sender)
{
    const Route& route = sender.route;
    const std::size_t size = sender.builder.PacketSize();
    if (!route.connected || route.handle == -1 || route.destinations.empty() || size == 0)
        return false;
    const std::uint8_t* packet = sender.builder.PacketData();
    bool allWhole = true;
    for (std::size_t i = 0; i < route.destinations.size(); ++i) {
        if (const OscSendObserver observer = m_observer.load())
            observer(m_observerContext.load(), packet, size);
        int code = 0;
        const UdpSendResult result =
            SendDatagram(route.handle, packet, size, route.destinations[i], &code);
        CountSend(result);
        CountSend(route.slots[i], result, code);
        allWhole = allWhole && result == UdpSendResult::Whole;
    }
    return allWhole;
}

// ---- sending (GUI thread) --------------------------------------------------

void OscDataServer::CountSend(UdpSendResult result)
{
    if (result == UdpSendResult::Whole) {
        m_packetsSent.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    m_sendFailures.fetch_add(1, std::memory_order_relaxed);
    if (result == UdpSendResult::WouldBlock) m_wouldBlock.fetch_add(1, std::memory_order_relaxed);
}

// Any thread: no lock, no allocation.
void OscDataServer::CountSend(SendSlot* slot, UdpSendResult result, int errorCode)
{
    if (slot == nullptr) return;
    if (result == UdpSendResult::Whole) {
        slot->wholes.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    slot->lastError.store(result == UdpSendResult::Short ? kCutShort : errorCode,
                          std::memory_order_relaxed);
    slot->failures.fetch_add(1);
}

// The slot of a destination: its own while slots last, then the shared one.
OscDataServer::SendSlot* OscDataServer::SlotForLocked(const NetAddress& destination)
{
    for (std::size_t i = 0; i < m_slotCount; ++i) {
        if (!m_slots[i].isShared && m_slots[i].address.SameEndpoint(destination))
            return &m_slots[i];
    }
    if (m_slotCount + 1 < kTrackedDestinations) {
        m_slots[m_slotCount].address = destination;
        return &m_slots[m_slotCount++];
    }
    SendSlot& shared = m_slots[kTrackedDestinations - 1];
    shared.isShared = true;
    m_slotCount = kTrackedDestinations;
    return &shared;
}

// A destination's failures: the first said with its reason, then counted, and the count
// said when sending to it works again (a poll that saw sends go out and none fail), when
// it is no longer a destination, or at close.
void OscDataServer::ReportSendFailuresLocked(Console& console, bool isClosing)
{
    for (std::size_t i = 0; i < m_slotCount; ++i) {
        SendSlot& slot = m_slots[i];
        const std::uint64_t failures = slot.failures.load();
        const std::uint64_t wholes = slot.wholes.load(std::memory_order_relaxed);
        const auto name = [&slot] {
            return slot.isShared ? std::string("other destinations")
                                 : slot.address.AsText() + ":" +
                                       std::to_string(slot.address.Port());
        };
        if (!slot.isFailing && failures != slot.said) {
            slot.isFailing = true;
            slot.episodeStart = slot.said;
            console.Err("<OSC> Sending to " + name() + " failed: " +
                        SendErrorText(slot.lastError.load(std::memory_order_relaxed)) +
                        "; failures are counted until it works again\n");
        } else if (slot.isFailing) {
            bool isDestination = false;
            for (const SendSlot* used : m_destinationSlots)
                isDestination = isDestination || used == &slot;
            const bool isQuiet = failures == slot.seenFailures;
            std::string end;
            if (isClosing)
                end = ", until the server closed";
            else if (isQuiet && wholes > slot.seenWholes)
                end = "; it works again";
            else if (isQuiet && !isDestination)
                end = "; it is no longer a destination";
            if (!end.empty()) {
                console.Err("<OSC> Sending to " + name() + ": " +
                            std::to_string(failures - slot.episodeStart) + " datagrams failed" +
                            end + "\n");
                slot.isFailing = false;
                slot.said = failures;
            }
        }
        if (isClosing && slot.isFailing) {  // failed since this poll's first note
            console.Err("<OSC> Sending to " + name() + ": " +
                        std::to_string(failures - slot.episodeStart) +
                        " datagrams failed, until the server closed\n");
            slot.isFailing = false;
            slot.said = failures;
        }
        slot.seenFailures = failures;
        slot.seenWholes = wholes;
    }
}

bool OscDataServer::ResendRecordLocked()
{
    if (!m_connected) return false;
    {
        std::lock_guard<std::mutex> record(m_recordMutex);
        m_resend.assign(m_record.begin(), m_record.end());
    }
    if (m_resend.empty()) return false;
    bool allWhole = true;
    for (std::size_t i = 0; i < m_destinations.size(); ++i) {
        int code = 0;
        const UdpSendResult result = SendDatagram(m_sender.Handle(), m_resend.data(),
                                                  m_resend.size(), m_destinations[i], &code);
        CountSend(result);
        CountSend(m_destinationSlots[i], result, code);
        allWhole = allWhole && result == UdpSendResult::Whole;
    }
    return allWhole && !m_destinations.empty();
}

void OscDataServer::BuildReplyLocked(const std::string& word)
{
    m_message.Init(m_settings.trackerServerName).PushString(word);
    m_builder.Init().AddMessage(m_message);
}

bool OscDataServer::SendReplyLocked(const std::string& word, const NetAddress& destination)
{
    BuildReplyLocked(word);
    const bool whole =
        m_sender.SendPacketTo(m_builder.PacketData(), m_builder.PacketSize(), destination);
    CountSend(whole ? UdpSendResult::Whole : UdpSendResult::Failed);
    return whole;
}

void OscDataServer::RebuildDestinationsLocked()
{
    m_destinations.clear();
    if (m_hasLocalPeer && m_settings.sendToLocal) m_destinations.push_back(m_localPeer);
    for (const Client& client : m_clients) {
        bool isNew = true;
        for (const NetAddress& known : m_destinations)
            isNew = isNew && !known.SameEndpoint(client.destination);
        if (isNew) m_destinations.push_back(client.destination);
    }
    m_destinationSlots.clear();
    for (const NetAddress& destination : m_destinations)
        m_destinationSlots.push_back(SlotForLocked(destination));
    PublishLocked();
}

void OscDataServer::SetConnectedLocked(bool connected)
{
    if (m_connected == connected) return;
    m_connected = connected;
    PublishLocked();
}

// Hands the senders what they need; a version they have copied already is kept,
// so that polling without a change does not make every sender copy again.
void OscDataServer::PublishLocked()
{
    const int handle = m_started.load() ? m_sender.Handle() : -1;
    std::unique_lock<std::shared_mutex> lock(m_routeMutex);
    bool isSame = m_route.handle == handle && m_route.connected == m_connected &&
                  m_route.destinations.size() == m_destinations.size() &&
                  m_route.dataTag == m_settings.serverDataTag &&
                  m_route.eventTag == m_settings.serverEventTag &&
                  m_route.useDouble == m_settings.useDouble &&
                  m_route.sendTime == m_settings.serverSendTime;
    for (std::size_t i = 0; isSame && i < m_destinations.size(); ++i)
        isSame = m_route.destinations[i].SameEndpoint(m_destinations[i]);
    if (isSame && m_routeVersion.load() != 0) return;
    m_route.handle = handle;
    m_route.connected = m_connected;
    m_route.destinations = m_destinations;
    m_route.slots = m_destinationSlots;
    m_route.dataTag = m_settings.serverDataTag;
    m_route.eventTag = m_settings.serverEventTag;
    m_route.useDouble = m_settings.useDouble;
    m_route.sendTime = m_settings.serverSendTime;
    m_routeVersion.store(g_nextRouteVersion.fetch_add(1), std::memory_order_release);
}
