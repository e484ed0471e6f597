#include "network/vrpnClient.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum ClientKind { kKindPosQuat = 0, kKindAnalog, kKindButtonChange, kKindCount };
constexpr const char* kClientKindNames[kKindCount] = {vrpn::kPosQuat, vrpn::kAnalogChannel,
                                                      vrpn::kButtonChange};

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

using vrpn::Format;

std::string DescribeDescription(const VrpnRefusal& refusal)
{
    const std::string what = refusal.type == vrpn::kSenderDescription ? "sender description"
                                                                      : "type description";
    switch (refusal.fault) {
        case vrpn::DescriptionFault::kIdOutOfRange:
            return what + Format(" for id %d refused (ids 0 to %d)", refusal.sender,
                                 vrpn::kMaxRemoteIds - 1);
        case vrpn::DescriptionFault::kTooShort:
            return what + Format(" of %zu bytes refused (too short to hold a name)",
                                 refusal.length);
        case vrpn::DescriptionFault::kTooLong:
            return what + Format(" of %zu bytes refused (names up to %zu characters)",
                                 refusal.length, vrpn::kMaxNameLength);
        case vrpn::DescriptionFault::kBadCount:
            return what + Format(" giving a name of %u bytes in %zu refused", refusal.count,
                                 refusal.length >= 4 ? refusal.length - 4 : 0);
        case vrpn::DescriptionFault::kNoNul:
            return what + Format(" whose name of %u bytes does not end in its one NUL refused",
                                 refusal.count);
        case vrpn::DescriptionFault::kNone:
            break;
    }
    return what + " refused";
}

std::string DescribeReport(const VrpnRefusal& refusal)
{
    switch (refusal.ownKind) {
        case kKindPosQuat:
            if (refusal.length != vrpn::kPosQuatSize)
                return Format("tracker report of %zu bytes refused (a pose takes %zu)",
                              refusal.length, vrpn::kPosQuatSize);
            // Numbered from 1, as the 3D view labels sensors.
            return Format("tracker report for sensor %lld refused (sensors 1 to %d)",
                          static_cast<long long>(vrpn::GetI32(refusal.head)) + 1,
                          vrpn::kMaxSensors);
        case kKindAnalog: {
            if (refusal.length < 8)
                return Format("analog report of %zu bytes refused (no channel count)",
                              refusal.length);
            const double count = vrpn::GetF64(refusal.head);
            if (!(count >= 0.0 && count <= vrpn::kMaxAnalogChannels) ||
                count != static_cast<double>(static_cast<int>(count)))
                return Format("analog report with channel count %g refused (whole numbers 0 to "
                              "%d)",
                              count, vrpn::kMaxAnalogChannels);
            const int channels = static_cast<int>(count);
            return Format("analog report of %zu bytes refused (%d channels take %zu)",
                          refusal.length, channels, 8 * (static_cast<size_t>(channels) + 1));
        }
        case kKindButtonChange:
            return Format("button report of %zu bytes refused (a change takes %zu)",
                          refusal.length, vrpn::kButtonChangeSize);
        default:
            return "report refused";
    }
}

}  // namespace

std::string vrpn::Format(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string DescribeVrpnRefusal(const VrpnRefusal& refusal)
{
    switch (refusal.kind) {
        case VrpnRefusal::kTypeId:
            return Format("message of type id %d refused (ids 0 to %d)", refusal.type,
                          vrpn::kMaxRemoteIds - 1);
        case VrpnRefusal::kSenderId:
            return Format("message from sender id %d refused (ids 0 to %d)", refusal.sender,
                          vrpn::kMaxRemoteIds - 1);
        case VrpnRefusal::kDescription:
            return DescribeDescription(refusal);
        case VrpnRefusal::kReport:
            return DescribeReport(refusal);
    }
    return "message refused";
}

bool ParseVrpnName(const std::string& name, VrpnName& out, std::string& error)
{
    const size_t first = name.find('@');
    const size_t last = name.rfind('@');
    if (first == std::string::npos || first == 0) {
        error = "no service@host in \"" + name + "\"";
        return false;
    }
    VrpnName parsed;
    parsed.service = name.substr(0, first);
    if (parsed.service.size() > vrpn::kMaxNameLength) {
        error = "service name too long";
        return false;
    }
    std::string location = name.substr(last + 1);
    if (StartsWith(location, "file:") || StartsWith(location, "x-vrsh:")) {
        error = "log playback and remote start are not supported";
        return false;
    }
    parsed.tcpOnly = location.find("tcp:") != std::string::npos;
    for (const char* scheme : {"x-vrpn://", "x-vrpn:", "tcp://", "tcp:"}) {
        if (StartsWith(location, scheme)) {
            location.erase(0, std::char_traits<char>::length(scheme));
            break;
        }
    }
    const size_t hostEnd = location.find_first_of(":/");
    parsed.host = location.substr(0, hostEnd);
    if (parsed.host.empty()) {
        error = "no host in \"" + name + "\"";
        return false;
    }
    const size_t colon = location.rfind(':');
    if (colon != std::string::npos) {
        const char* digits = location.c_str() + colon + 1;
        char* end = nullptr;
        errno = 0;
        const long port = std::strtol(digits, &end, 10);
        if (end == digits || *end != '\0' || errno != 0 || port < 1 || port > 65535) {
            error = "bad port in \"" + name + "\"";
            return false;
        }
        parsed.port = static_cast<int>(port);
    }
    out = parsed;
    return true;
}

CVrpnClient::CVrpnClient(const std::string& name, CVrpnClientSink* sink) : m_sink(sink)
{
    if (!ParseVrpnName(name, m_name, m_error)) return;
    uint32_t address = 0;
    if (!ResolveIpv4(m_name.host, address)) {
        m_error = "cannot resolve host " + m_name.host;
        return;
    }
    m_target.sin_family = AF_INET;
    m_target.sin_addr.s_addr = htonl(address);
    m_target.sin_port = htons(static_cast<uint16_t>(m_name.port));
    m_valid = true;
}

CVrpnClient::~CVrpnClient() = default;

// We always connect directly over TCP: every server accepts that, and all our traffic
// then stays on the one stream (no UDP description is sent).
void CVrpnClient::Mainloop()
{
    if (!m_valid) return;
    const auto now = std::chrono::steady_clock::now();
    if (!m_link) {
        if (m_hasAttempted && now < m_nextAttempt) return;
        m_hasAttempted = true;
        m_nextAttempt = now + kRetryInterval;
        bool connecting = false;
        std::string error;
        CFd socket = ConnectTcp(m_target, connecting, error);
        if (!socket.IsOpen()) {
            ++m_unanswered;
            m_lastUnanswered = error;
            return;
        }
        m_link = std::make_unique<CVrpnLink>(std::move(socket), connecting, kClientKindNames,
                                             kKindCount, m_name.service, now);
    }
    if (m_link->Pump(*this, now)) return;
    if (!m_connected.load() && m_link->WasEstablished()) {
        // The server took the connection but the link never opened.
        ++m_failedOpenings;
        m_lastOpeningFailure = m_link->CloseReason();
    } else if (!m_connected.load()) {
        // Nothing took it: no server at that address (yet).
        ++m_unanswered;
        m_lastUnanswered = m_link->CloseReason();
        if (m_link->CloseError() != 0)
            m_lastUnanswered += std::string(": ") + std::strerror(m_link->CloseError());
    }
    if (m_connected.exchange(false)) {
        m_lastDropReason = m_link->CloseReason();
        if (m_link->CloseError() != 0)
            m_lastDropReason += std::string(": ") + std::strerror(m_link->CloseError());
        m_drops.fetch_add(1);
    }
    m_link.reset();  // peer ids are forgotten: a new connection describes them again
    m_nextAttempt = now + kRetryInterval;
}

bool CVrpnClient::OnLinkOpen(CVrpnLink& link)
{
    m_connected.store(true);
    m_connects.fetch_add(1);
    return link.QueueDescription(vrpn::Now(), vrpn::kSenderDescription, 0, m_name.service);
}

void CVrpnClient::Remember(const VrpnRefusal& refusal)
{
    if (!m_hasRefused) m_firstRefusal = refusal;
    m_hasRefused = true;
    m_lastRefusal = refusal;
}

// A refused report is counted and the link kept.
void CVrpnClient::RefuseReport(int kind, const vrpn::Message& message)
{
    VrpnRefusal refusal;
    refusal.kind = VrpnRefusal::kReport;
    refusal.ownKind = kind;
    refusal.sender = message.sender;
    refusal.type = message.type;
    refusal.length = message.length;
    std::memcpy(refusal.head, message.payload, std::min(message.length, sizeof refusal.head));
    Remember(refusal);
    m_malformed.fetch_add(1);
}

// Every other refusal too: the stream is still in step, so one bad message costs only
// itself, never the reports behind it.
bool CVrpnClient::OnLinkRefused(CVrpnLink&, const VrpnRefusal& refusal)
{
    Remember(refusal);
    m_refusedMessages.fetch_add(1);
    return true;
}

bool CVrpnClient::OnLinkMessage(CVrpnLink&, int kind, const vrpn::Message& message)
{
    switch (kind) {
        case kKindPosQuat: {
            int32_t sensor = 0;
            double pos[3];
            double quat[4];
            if (!vrpn::DecodePosQuat(message, sensor, pos, quat)) {
                RefuseReport(kKindPosQuat, message);
                return true;
            }
            if (m_sink != nullptr) m_sink->OnTrackerReport(sensor, pos, quat);
            return true;
        }
        case kKindAnalog: {
            int count = 0;
            if (!vrpn::DecodeAnalog(message, count, m_values)) {
                RefuseReport(kKindAnalog, message);
                return true;
            }
            if (m_sink != nullptr) m_sink->OnAnalogReport(count, m_values);
            return true;
        }
        case kKindButtonChange: {
            int32_t button = 0;
            int32_t state = 0;
            if (!vrpn::DecodeButtonChange(message, button, state)) {
                RefuseReport(kKindButtonChange, message);
                return true;
            }
            if (m_sink != nullptr) m_sink->OnButtonReport(button, state);
            return true;
        }
        default:
            return true;
    }
}
