#include "network/oscServer.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

// Read on every frame of every device: answers without creating the server
// object, so an acquisition thread never allocates it.
std::atomic<bool> g_started{false};

}  // namespace

OscDataServer& GetOscDataServer()
{
    static OscDataServer server;
    return server;
}

bool StartOscServer(int inPort, int outPort, std::string* reason)
{
    OscDataServer& server = GetOscDataServer();
    if (server.IsStarted()) return true;
    OscConsoleLine(false, "<OSC> Starting server  inPort " + std::to_string(inPort) + " outPort " +
                              std::to_string(outPort) + "\n");
    if (server.Start(inPort, outPort, reason)) {
        g_started = true;
        return true;
    }
    OscConsoleLine(false, "<OSC> Fail to start osc server\n");
    return false;
}

bool CloseOscServer()
{
    OscDataServer& server = GetOscDataServer();
    g_started = false;
    if (!server.IsStarted()) return true;
    return server.Close();
}

bool IsOscServerStarted() { return g_started.load() && GetOscDataServer().IsStarted(); }

bool IsOscServerConnected() { return GetOscDataServer().IsConnected(); }

bool OscServerPoll() { return GetOscDataServer().Poll(); }

bool OscServerSetData(const char* deviceName, const double* values, int count, double time)
{
    return GetOscDataServer().SetData(deviceName, values, count, time);
}

bool OscServerSendEvent(const char* deviceName, const char* label, double time)
{
    return GetOscDataServer().SendEvent(deviceName, label, time);
}

bool OscServerAddClient(const std::string& hostPort, std::string* reason)
{
    return GetOscDataServer().AddConfiguredClient(hostPort, reason);
}

bool OscServerAddClients() { return GetOscDataServer().AddConfiguredClients(); }

bool OscServerRemoveClient(const std::string& hostPort)
{
    return GetOscDataServer().RemoveConfiguredClient(hostPort);
}

std::string OscServerGetClient(std::size_t index)
{
    return GetOscDataServer().GetConfiguredClient(index);
}

std::size_t OscServerGetClientCount() { return GetOscDataServer().ConfiguredClientCount(); }

bool OscServerClearClients() { return GetOscDataServer().ClearConfiguredClients(); }

void OscServerSetSettings(const OscServerSettings& settings)
{
    GetOscDataServer().SetSettings(settings);
}

OscServerSettings OscServerGetSettings() { return GetOscDataServer().Settings(); }

OscServerStats OscServerGetStats() { return GetOscDataServer().Stats(); }

bool ParseHostPort(const std::string& text, std::string& host, int& port)
{
    host.clear();
    port = 0;
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    // Decimal digits only, to the end: "12x", "9000:1" or " 9000" name no port we could
    // trust, and an IPv6 address ("::1:9000") is not ours to split.
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 9 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    host = text.substr(0, colon);
    port = static_cast<int>(std::strtol(digits.c_str(), nullptr, 10));  // fits: 9 digits
    return true;
}
