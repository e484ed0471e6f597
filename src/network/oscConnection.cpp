#include "network/oscConnection.h"

#include "network/oscClientSettings.h"
#include "network/oscDataServer.h"
#include "network/oscDevice.h"
#include "process/clock.h"
#include "process/triggerCrossings.h"

#include <algorithm>

namespace {

bool IsNumericTag(char tag) { return tag == 'd' || tag == 'f' || tag == 'h' || tag == 'i'; }

void Print(const std::string& line) { OscConsoleLine(false, line); }

}  // namespace

OscConnection::OscConnection(COscDevice* owner) : m_owner(owner), m_host(kOscLoopbackHost) {}

OscConnection::~OscConnection()
{
    if (m_open) SendDisconnect();
    // A socket closed here drops what waits unread, but what the system dropped is said.
    if (m_listen.IsOpen()) NoteLost(m_listen.DroppedCount());
    if (m_malformedNote.Unsaid() > 0) SayMalformed(CRepeatNote::Clock::now());
}

void OscConnection::SetPatterns(const std::string& connectPattern,
                                const std::string& disconnectPattern)
{
    m_connectPattern = connectPattern;
    m_disconnectPattern = disconnectPattern;
}

void OscConnection::SetTimeouts(int connectTimeoutMs, int pollTimeoutMs)
{
    m_connectTimeoutMs = ClampOscTimeout(connectTimeoutMs, kOscMaxConnectTimeoutMs);
    m_pollTimeoutMs = ClampOscTimeout(pollTimeoutMs, kOscMaxClientPollTimeoutMs);
}

bool OscConnection::Open(const std::string& prefix, const std::string& host, int broadcastPort,
                         int listeningPort, OscConnection* previous)
{
    if (m_open) return true;
    m_prefix = prefix;
    m_host = host;
    m_broadcastPort = broadcastPort;
    m_listeningPort = listeningPort;
    m_lastResult = Connect(previous);
    m_open = m_lastResult == kOscConnectOk;
    return m_open;
}

std::string OscConnection::FailureText() const
{
    const auto because = [](const std::string& why) { return why.empty() ? std::string() : " (" + why + ")"; };
    const std::string peer = (m_host.empty() ? std::string("the broadcast address") : m_host) + ":" +
                             std::to_string(m_broadcastPort);
    switch (m_lastResult) {
    case kOscConnectListenFailed:
        return "It cannot listen on UDP port " + std::to_string(m_listeningPort) +
               because(m_listen.ErrorText());
    case kOscConnectAddressFailed:
        return "It cannot send to " + peer + because(m_send.ErrorText());
    case kOscConnectSendFailed:
        return "Its connect message to " + peer + " could not be sent" +
               because(m_send.LastSendError());
    default:
        return std::string();
    }
}

bool OscConnection::SendAddress(const std::string& address)
{
    OscMessage message(address);
    OscPacketBuilder builder;
    builder.AddMessage(message);
    // An invalid address leaves the builder empty: nothing goes out.
    return builder.PacketSize() > 0 &&
           m_send.SendPacket(builder.PacketData(), builder.PacketSize());
}

int OscConnection::Connect(OscConnection* previous)
{
    m_ready = false;
    // Freeing a port and binding it again would drop what arrives in between, and a
    // second socket beside the first shares the datagrams with it: the socket is kept.
    if (previous != nullptr && previous->m_listeningPort == m_listeningPort &&
        previous->m_listen.IsOpen() && previous->m_listen.IsOk() && !m_listen.IsOpen())
        m_listen.Swap(previous->m_listen);
    const bool isListening = m_listen.IsOpen() || m_listen.BindTo(m_listeningPort);
    if (previous != nullptr) previous->Leave();
    if (!isListening) {
        Print("<OSC> Error Listening Port " + std::to_string(m_listeningPort) + "\n");
        return kOscConnectListenFailed;
    }
    m_boundPort = m_listen.LocalAddress().Port();
    // The kernel may grant less than asked (its cap, without the right to force it).
    m_listen.SetReceiveBufferSize(kOscReceiveBufferBytes);
    const int granted = m_listen.ReceiveBufferSize();
    if (granted < kOscReceiveBufferBytes)
        Print("<OSC> Listening Port " + std::to_string(m_listeningPort) + ": receive buffer " +
              std::to_string(granted) + " bytes of " + std::to_string(kOscReceiveBufferBytes) +
              " asked, a burst may be cut\n");
    const bool sendOk =
        m_host.empty() ? m_send.BindTo(m_broadcastPort) : m_send.ConnectTo(m_host, m_broadcastPort);
    if (!sendOk) {
        Print("<OSC> Error address : " + m_host + "  Broadcast Port " +
              std::to_string(m_broadcastPort) + "\n");
        return kOscConnectAddressFailed;
    }
    const std::string address = m_prefix + m_connectPattern;
    Print("<OSC> Sending : " + address + "\n");
    if (!SendAddress(address)) {
        Print("<OSC> Unable to connect server\n");
        return kOscConnectSendFailed;
    }
    Print("<OSC> Connected to " + m_host + ":" + std::to_string(m_broadcastPort) + "\n");
    // The source may answer at once; its messages shape the channels and, unlike a
    // plain count, also deliver their values: nothing the source sent is dropped.
    if (m_listen.ReceiveNextPacket(m_connectTimeoutMs)) {
        CountDatagram();
        m_parser.Init(m_listen.PacketData(), m_listen.PacketSize());
        HandleMessages();
    }
    m_ready = true;
    return kOscConnectOk;
}

void OscConnection::Close()
{
    if (!m_open) return;
    SendDisconnect();
    m_open = false;
}

bool OscConnection::SendDisconnect()
{
    if (!m_send.IsOk()) return false;
    const bool sent = SendAddress(m_prefix + m_disconnectPattern);
    m_ready = false;
    return sent;
}

// Every message of a bundle counts, in its order: a stop and the next start sent
// together are two edges. A packet the decoder refuses is refused whole.
bool OscConnection::HandleMessages()
{
    if (!m_parser.IsOk()) {
        CountMalformed();
        return false;
    }
    bool handled = false;
    for (const OscMessage* message = m_parser.PopMessage(); message != nullptr;
         message = m_parser.PopMessage()) {
        if (!message->IsOk()) {
            CountMalformed();
            continue;
        }
        HandleMessage(*message);
        handled = true;
    }
    return handled;  // false for an empty bundle
}

// Counted always; said at once, then at most every few seconds with what came since: a
// flood of bad datagrams must not flood the log.
void OscConnection::CountMalformed()
{
    m_malformed.fetch_add(1);
    const auto now = CRepeatNote::Clock::now();
    if (m_malformedNote.Count(now)) SayMalformed(now);
}

void OscConnection::SayMalformed(CRepeatNote::Clock::time_point now)
{
    const std::uint64_t since = m_malformedNote.TakeUnsaid(now);
    Print("<OSC> Ignored " + std::to_string(since) + " malformed datagram" +
          (since == 1 ? "" : "s") + " on port " + std::to_string(BoundListeningPort()) + " (" +
          std::to_string(m_malformedNote.Total()) + " in all)\n");
}

bool OscConnection::Poll(std::int64_t waitUs)
{
    if (!m_ready.load()) return false;
    if (m_busy.exchange(true)) return false;  // another thread polls: skip, never wait
    const bool handled =
        TakeWaiting(std::max<std::int64_t>(waitUs, std::int64_t{m_pollTimeoutMs} * 1000));
    // What a flood left unsaid is said once its interval has passed.
    if (m_malformedNote.Unsaid() > 0) {
        const auto now = CRepeatNote::Clock::now();
        if (m_malformedNote.IsDue(now)) SayMalformed(now);
    }
    m_busy.store(false);
    return handled;
}

// Everything waiting is taken, so that a source faster than our passes never leaves us
// showing old values; the latest message wins. The first receive waits up to timeoutUs.
bool OscConnection::TakeWaiting(std::int64_t timeoutUs)
{
    bool handled = false;
    for (int i = 0; i < kOscMaxPacketsPerPoll && m_listen.ReceiveNextPacketUs(timeoutUs); ++i) {
        timeoutUs = 0;
        CountDatagram();
        m_parser.Init(m_listen.PacketData(), m_listen.PacketSize());
        handled = HandleMessages() || handled;
    }
    return handled;
}

// The datagrams waiting hold the source's latest values; closing the socket would drop
// them unseen. Taken after the goodbye, so that what the source sent until it heard it
// is in too.
void OscConnection::Retire()
{
    const bool wasReady = m_ready.load();
    Close();
    if (wasReady && !m_busy.exchange(true)) {
        TakeWaiting(0);
        m_busy.store(false);
    }
}

void OscConnection::CountDatagram()
{
    m_datagrams.fetch_add(1, std::memory_order_relaxed);
    if (m_owner != nullptr) m_owner->CountDatagram();
}

void OscConnection::NoteLost(std::uint64_t lost)
{
    if (lost == 0) return;
    m_lost.fetch_add(lost);
    if (m_owner != nullptr) m_owner->CountLostDatagrams(lost);
    Print("<OSC> " + std::to_string(lost) + " datagram" + (lost == 1 ? "" : "s") + " on port " +
          std::to_string(BoundListeningPort()) +
          " could not be taken (its queue full, or come after it was left)\n");
}

void OscConnection::Leave()
{
    if (!m_listen.IsOpen()) return;
    // Without the promise that nothing is still on its way in, a datagram may yet
    // come between the last read and the close: said, as it would be lost unseen.
    const bool isStopped = m_listen.StopReceiving();
    if (!m_busy.exchange(true)) {
        TakeWaiting(0);
        m_busy.store(false);
    }
    NoteLost(m_listen.DroppedCount());
    m_listen.Close();
    if (!isStopped)
        Print("<OSC> Port " + std::to_string(BoundListeningPort()) +
              " left without a barrier: a datagram come in its last moment may be lost unseen\n");
}

int OscConnection::CountChannels(const std::string& typeTags)
{
    int count = 0;
    for (char tag : typeTags) count += IsNumericTag(tag) ? 1 : 0;
    if (m_owner != nullptr && count >= 1) m_owner->SetChannelCount(count);
    return count;
}

void OscConnection::HandleMessage(const OscMessage& message)
{
    // The address is not examined: any message of the source is taken.
    if (CountChannels(message.TypeTags()) == 0) return;
    std::unique_lock<std::mutex> values(m_valuesMutex, std::defer_lock);
    if (m_owner == nullptr) values.lock();
    OscArgCursor args = message.Args();
    // The k-th numeric argument is channel k, whatever non-numeric arguments precede it:
    // the channel count is the number of numeric arguments, so every one has a channel.
    int channel = 0;
    double first = 0.0;
    for (char tag : message.TypeTags()) {
        double value = 0.0;
        switch (tag) {
            case 'd':
                value = args.PopDouble();
                break;
            case 'f':
                value = args.PopFloat();
                break;
            case 'h':
                value = args.PopInt64();
                break;
            case 'i':
                value = args.PopInt32();
                break;
            default:
                args.Skip();
                continue;
        }
        if (!args.IsOk()) {
            CountMalformed();  // nor is a malformed message a crossing
            return;
        }
        if (m_owner != nullptr)
            m_owner->SetChannelValue(value, channel);
        else
            StoreValueLocked(value, channel);
        if (channel == 0) first = value;
        ++channel;
    }
    if (values.owns_lock()) values.unlock();  // a leaf lock: released before the next one
    // Stamped with when its datagram came, not when a busy poller read it: a start and
    // a stop read together still stand as far apart as they were sent.
    if (m_crossings != nullptr && channel > 0) {
        const std::int64_t cameNs = m_listen.PacketArrivalNs() - ProgramTimeToMonotonicNs(0.0);
        m_crossings->Feed(first, std::max(static_cast<double>(cameNs) / 1000.0, m_earliestUs));
    }
}

void OscConnection::StoreValue(double value, int index)
{
    if (m_owner != nullptr) {
        m_owner->SetChannelValue(value, index);
        return;
    }
    std::lock_guard<std::mutex> lock(m_valuesMutex);
    StoreValueLocked(value, index);
}

// Index 0 starts a new list; an index inside it replaces, any other appends.
void OscConnection::StoreValueLocked(double value, int index)
{
    if (index < 0) return;
    const auto at = static_cast<std::size_t>(index);
    if (at == 0) {
        m_valueCount = 0;
    } else if (at < m_valueCount) {
        m_values[at] = value;
        return;
    }
    if (m_valueCount < m_values.size()) m_values[m_valueCount++] = value;
}

double OscConnection::GetValue(int index) const
{
    std::lock_guard<std::mutex> lock(m_valuesMutex);
    if (index < 0 || static_cast<std::size_t>(index) >= m_valueCount) return 0.0;
    return m_values[static_cast<std::size_t>(index)];
}

bool OscConnection::TakeFirstValue(double& value)
{
    std::lock_guard<std::mutex> lock(m_valuesMutex);
    if (m_valueCount == 0) return false;
    value = m_values[0];
    m_valueCount = 0;
    return true;
}
