#include "network/oscDataServer.h"

#include "network/oscServer.h"

#include <sys/socket.h>

#include <cstdio>
#include <utility>

namespace {

constexpr std::size_t kReservedValues = 1024;
constexpr std::size_t kReservedText = 256;
constexpr const char* kLocalHost = "127.0.0.1";
// Frames may come in bursts from several devices: room for them in the kernel.
constexpr int kSendBufferBytes = 4 * 1024 * 1024;

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

// Characters an OSC address part may not hold, and '/' (a name is one part).
bool IsForbiddenInAddressPart(char c)
{
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

// The request addresses come from the built-in defaults, once: peers know
// them before any configuration is read, and loading settings never moves them.
OscDataServer::OscDataServer()
    : m_connectAddress(OscServerSettings().trackerServerName + OscServerSettings().connectPattern),
      m_disconnectAddress(OscServerSettings().trackerServerName +
                          OscServerSettings().disconnectPattern),
      m_requestAddress(OscServerSettings().trackerServerName + OscServerSettings().requestPattern)
{
    m_values.reserve(kReservedValues);
    m_name.reserve(kReservedText);
    m_address.reserve(kReservedText);
}

OscDataServer::~OscDataServer() = default;

// ---- start, close, poll ----------------------------------------------------

bool OscDataServer::Start(int inPort, int outPort)
{
    Console console;
    std::lock_guard<std::mutex> control(m_controlMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (IsStarted()) return true;
    for (int port : {inPort, outPort}) {
        if (port > 65535) {
            console.Err("<OSC> Error opening port " + std::to_string(port) +
                        ": port out of range\n");
            return false;
        }
    }
    if (inPort >= 1) m_inPort = inPort;
    if (outPort > 0) m_outPort = outPort;
    if (!m_listener.BindTo(m_inPort)) {
        console.Err("<OSC> Error opening port " + std::to_string(m_inPort) + ": " +
                    m_listener.ErrorText() + "\n");
        return false;
    }
    if (!m_sender.BindTo(0)) {
        console.Err("<OSC> Error opening port 0: " + m_sender.ErrorText() + "\n");
        m_listener.Close();
        return false;
    }
    m_sender.SetSendBufferSize(kSendBufferBytes);
    m_started.store(m_listener.IsOk(), std::memory_order_release);
    ServeLocalPeerLocked(console);
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
    if (!m_destinations.empty()) {
        BuildReplyLocked(m_settings.serverRemoved);
        for (const NetAddress& destination : m_destinations)
            CountSend(
                m_sender.SendPacketTo(m_builder.PacketData(), m_builder.PacketSize(), destination));
    }
    m_clients.clear();
    m_destinations.clear();
    m_listener.Close();
    m_sender.Close();
    m_started.store(false, std::memory_order_release);
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
        if (m_connected && m_clients.empty() && !m_settings.sendToLocal) m_connected = false;
        ServeLocalPeerLocked(console);  // retried on every poll until it succeeds
        timeoutMs = ClampOscPollTimeout(m_settings.timeoutMs);
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
            SendDataLocked();
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
    m_connected = true;
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
    if (FindClientLocked(requester) >= 0) {
        console.Out("<OSC> " + host + ":" + port + " is already connected !\n");
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
        m_clients.push_back(Client{requester, destination, 0});
        RebuildDestinationsLocked();
        console.Out("<OSC> Adding " + host + "\n");
        return true;
    }
    const std::string& why =
        m_sender.ErrorText().empty() ? m_sender.LastSendError() : m_sender.ErrorText();
    console.Out("<OSC> " + why + "\n");
    // Only this requester failed: the peers already reached keep their data.
    m_connected = !m_destinations.empty();
    return false;
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

bool OscDataServer::AddClient(const std::string& host, int port, std::uint64_t entryId)
{
    Console console;
    NetAddress destination;
    std::string error;
    // Name resolution may wait on the network: done before taking the lock.
    if (!NetAddress::Resolve(host, port, destination, error)) {
        console.Out("<OSC> Unable to connect " + host + ":" + std::to_string(port) + "\n");
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    return AddClientLocked(destination, host, port, entryId, console);
}

bool OscDataServer::AddClientLocked(const NetAddress& destination, const std::string& host,
                                    int port, std::uint64_t entryId, Console& console)
{
    if (!IsStarted()) {
        console.Out("<OSC> Unable to connect " + host + ":" + std::to_string(port) + "\n");
        return false;
    }
    if (!SendReplyLocked(m_settings.serverConnected, destination)) return false;
    m_connected = true;
    m_clients.push_back(Client{destination, destination, entryId});
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
    // Hosts only: two peers on one host count as one.
    const std::string host = address.AsText();
    for (std::size_t i = 0; i < m_clients.size(); ++i)
        if (m_clients[i].address.AsText() == host) return static_cast<int>(i);
    return -1;
}

void OscDataServer::ClearClients()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clients.clear();
    RebuildDestinationsLocked();
}

std::size_t OscDataServer::ClientCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_clients.size();
}

// ---- configured entries ----------------------------------------------------

bool OscDataServer::AddConfiguredClient(const std::string& text)
{
    std::string host;
    int port = 0;
    if (!IsStarted() || !ParseHostPort(text, host, port)) return false;
    Console console;
    NetAddress destination;
    std::string error;
    if (!NetAddress::Resolve(host, port, destination, error)) {
        console.Out("<OSC> Unable to connect " + host + ":" + std::to_string(port) + "\n");
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::uint64_t id = m_nextEntryId++;
    if (!AddClientLocked(destination, host, port, id, console)) return false;
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
        m_clients.clear();
        RebuildDestinationsLocked();
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
        // The client this entry made, wherever it now stands in the list.
        for (std::size_t c = 0; c < m_clients.size(); ++c) {
            if (m_clients[c].entryId != m_entries[i].id) continue;
            RemoveClientAtLocked(c, console);
            m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(i));
            return true;
        }
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
    if (IsStarted()) {
        m_clients.clear();
        RebuildDestinationsLocked();
    }
    m_entries.clear();
    return true;
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
    std::lock_guard<std::mutex> lock(m_mutex);
    OscServerStats stats = m_stats;
    stats.wouldBlock = m_sender.WouldBlockCount();
    return stats;
}

// ---- data and events (acquisition threads) ---------------------------------

bool OscDataServer::SetData(const char* name, const double* values, int count, double time)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (count <= 0 || values == nullptr)
        m_values.clear();
    else
        m_values.assign(values, values + count);  // within the reserved capacity
    m_name.assign(name != nullptr ? name : "");
    m_time = time;
    return SendDataLocked();
}

bool OscDataServer::SendDataLocked()
{
    if (!m_connected || m_values.empty()) return false;
    m_address.assign(m_settings.serverDataTag);
    m_address.push_back('/');
    AppendAddressPart(m_address, m_name.c_str());
    m_message.Init(m_address);
    const bool useDouble = m_settings.useDouble;
    if (m_settings.serverSendTime)
        useDouble ? m_message.PushDouble(m_time) : m_message.PushFloat(static_cast<float>(m_time));
    for (double value : m_values)
        useDouble ? m_message.PushDouble(value) : m_message.PushFloat(static_cast<float>(value));
    m_builder.Init().AddMessage(m_message);
    return SendPacketLocked();
}

bool OscDataServer::SendEvent(const char* name, const char* label, double time)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_connected) return false;
    m_address.assign(m_settings.serverEventTag);
    m_address.push_back('/');
    AppendAddressPart(m_address, name);
    m_message.Init(m_address).PushString(label != nullptr ? label : "");
    if (m_settings.useDouble)
        m_message.PushDouble(time);
    else
        m_message.PushFloat(static_cast<float>(time));
    m_builder.Init().AddMessage(m_message);
    return SendPacketLocked();
}

// ---- sending ---------------------------------------------------------------

void OscDataServer::CountSend(bool whole)
{
    ++(whole ? m_stats.packetsSent : m_stats.sendFailures);
}

bool OscDataServer::SendPacketLocked()
{
    const std::size_t size = m_builder.PacketSize();
    if (size == 0) return false;
    bool allWhole = true;
    for (const NetAddress& destination : m_destinations) {
        const bool whole = m_sender.SendPacketTo(m_builder.PacketData(), size, destination);
        CountSend(whole);
        allWhole = allWhole && whole;
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
    CountSend(whole);
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
}
