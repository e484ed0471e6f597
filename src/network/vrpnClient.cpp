#include "network/vrpnClient.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>

namespace {

enum ClientKind { kKindPosQuat = 0, kKindAnalog, kKindButtonChange, kKindCount };
constexpr const char* kClientKindNames[kKindCount] = {vrpn::kPosQuat, vrpn::kAnalogChannel,
                                                      vrpn::kButtonChange};

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

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
        if (!socket.IsOpen()) return;
        m_link = std::make_unique<CVrpnLink>(std::move(socket), connecting, kClientKindNames,
                                             kKindCount, m_name.service, now);
    }
    if (m_link->Pump(*this, now)) return;
    if (m_connected.exchange(false)) m_drops.fetch_add(1);
    m_link.reset();  // peer ids are forgotten: a new connection describes them again
    m_nextAttempt = now + kRetryInterval;
}

bool CVrpnClient::OnLinkOpen(CVrpnLink& link)
{
    m_connected.store(true);
    m_connects.fetch_add(1);
    return link.QueueDescription(vrpn::Now(), vrpn::kSenderDescription, 0, m_name.service);
}

// A refused report is counted and the link kept; the first is described once.
void CVrpnClient::Refuse(const char* what, const vrpn::Message& message)
{
    if (m_malformed.fetch_add(1) != 0) return;
    m_firstRefusal = std::string(what) + " report of " + std::to_string(message.length) + " bytes";
    if (message.length >= 4)
        m_firstRefusal += " for number " + std::to_string(vrpn::GetI32(message.payload));
}

bool CVrpnClient::OnLinkMessage(CVrpnLink&, int kind, const vrpn::Message& message)
{
    switch (kind) {
        case kKindPosQuat: {
            int32_t sensor = 0;
            double pos[3];
            double quat[4];
            if (!vrpn::DecodePosQuat(message, sensor, pos, quat)) {
                Refuse("tracker", message);
                return true;
            }
            if (m_sink != nullptr) m_sink->OnTrackerReport(sensor, pos, quat);
            return true;
        }
        case kKindAnalog: {
            int count = 0;
            if (!vrpn::DecodeAnalog(message, count, m_values)) {
                Refuse("analog", message);
                return true;
            }
            if (m_sink != nullptr) m_sink->OnAnalogReport(count, m_values);
            return true;
        }
        case kKindButtonChange: {
            int32_t button = 0;
            int32_t state = 0;
            if (!vrpn::DecodeButtonChange(message, button, state)) {
                Refuse("button", message);
                return true;
            }
            if (m_sink != nullptr) m_sink->OnButtonReport(button, state);
            return true;
        }
        default:
            return true;
    }
}
