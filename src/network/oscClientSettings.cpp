#include "network/oscClientSettings.h"

#include <wx/confbase.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <mutex>

namespace {

std::mutex g_settingsMutex;  // leaf lock: guards the two copies below
OscClientSettings g_clientSettings;
OscTriggerSettings g_triggerSettings;
std::atomic<bool> g_triggerEnabled{false};

void ReadText(wxConfigBase& config, const char* key, std::string& value)
{
    wxString text;
    if (config.Read(key, &text)) {
        // OSC addresses and host names travel as bytes: UTF-8, as the data server's texts.
        const wxScopedCharBuffer bytes = text.utf8_str();
        value.assign(bytes.data(), bytes.length());
    }
}

void ReadInt(wxConfigBase& config, const char* key, int& value)
{
    long number = value;
    if (config.Read(key, &number))
        value = static_cast<int>(std::clamp<long>(number, INT_MIN, INT_MAX));
}

void ReadFlag(wxConfigBase& config, const char* key, bool& value)
{
    bool flag = value;
    if (config.Read(key, &flag)) value = flag;
}

void ReadDouble(wxConfigBase& config, const char* key, double& value)
{
    double number = value;
    if (config.Read(key, &number)) value = number;
}

bool WriteText(wxConfigBase& config, const char* key, const std::string& value)
{
    return config.Write(key, wxString::FromUTF8(value.data(), value.size()));
}

}  // namespace

void LoadOscClientSettings(wxConfigBase& config, OscClientSettings& settings)
{
    ReadInt(config, kOscKeyClientMaxTimeout, settings.maxTimeoutMs);
    ReadInt(config, kOscKeyClientMinTimeout, settings.minTimeoutMs);
    ReadText(config, kOscKeyClientServerName, settings.serverName);
    ReadText(config, kOscKeyClientDataPattern, settings.dataPattern);
    ReadText(config, kOscKeyClientConnect, settings.connectPattern);
    ReadText(config, kOscKeyClientDisconnect, settings.disconnectPattern);
    ReadText(config, kOscKeyClientAddress, settings.address);
    ReadInt(config, kOscKeyClientBroadcastPort, settings.broadcastPort);
    ReadInt(config, kOscKeyClientListeningPort, settings.listeningPort);
    ReadFlag(config, kOscKeyClientLoadConfig, settings.loadConfig);
}

bool SaveOscClientSettings(wxConfigBase& config, const OscClientSettings& settings)
{
    bool ok = config.Write(kOscKeyClientMaxTimeout, static_cast<long>(settings.maxTimeoutMs));
    ok = config.Write(kOscKeyClientMinTimeout, static_cast<long>(settings.minTimeoutMs)) && ok;
    ok = WriteText(config, kOscKeyClientServerName, settings.serverName) && ok;
    ok = WriteText(config, kOscKeyClientDataPattern, settings.dataPattern) && ok;
    ok = WriteText(config, kOscKeyClientConnect, settings.connectPattern) && ok;
    ok = WriteText(config, kOscKeyClientDisconnect, settings.disconnectPattern) && ok;
    ok = WriteText(config, kOscKeyClientAddress, settings.address) && ok;
    ok = config.Write(kOscKeyClientBroadcastPort, static_cast<long>(settings.broadcastPort)) && ok;
    ok = config.Write(kOscKeyClientListeningPort, static_cast<long>(settings.listeningPort)) && ok;
    ok = config.Write(kOscKeyClientLoadConfig, settings.loadConfig) && ok;
    return ok;
}

void LoadOscTriggerSettings(wxConfigBase& config, OscTriggerSettings& settings)
{
    ReadFlag(config, kOscKeySyncUse, settings.use);
    ReadText(config, kOscKeySyncServerName, settings.serverName);
    ReadText(config, kOscKeySyncAddress, settings.address);
    ReadInt(config, kOscKeySyncOutPort, settings.outPort);
    ReadInt(config, kOscKeySyncInPort, settings.inPort);
    ReadDouble(config, kOscKeySyncHighValue, settings.highValue);
    ReadDouble(config, kOscKeySyncLowValue, settings.lowValue);
}

bool SaveOscTriggerSettings(wxConfigBase& config, const OscTriggerSettings& settings)
{
    bool ok = config.Write(kOscKeySyncUse, settings.use);
    ok = WriteText(config, kOscKeySyncServerName, settings.serverName) && ok;
    ok = WriteText(config, kOscKeySyncAddress, settings.address) && ok;
    ok = config.Write(kOscKeySyncOutPort, static_cast<long>(settings.outPort)) && ok;
    ok = config.Write(kOscKeySyncInPort, static_cast<long>(settings.inPort)) && ok;
    ok = config.Write(kOscKeySyncHighValue, settings.highValue) && ok;
    ok = config.Write(kOscKeySyncLowValue, settings.lowValue) && ok;
    return ok;
}

void SetOscClientSettings(const OscClientSettings& settings)
{
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    g_clientSettings = settings;
}

OscClientSettings GetOscClientSettings()
{
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    return g_clientSettings;
}

void SetOscTriggerSettings(const OscTriggerSettings& settings)
{
    {
        std::lock_guard<std::mutex> lock(g_settingsMutex);
        g_triggerSettings = settings;
    }
    g_triggerEnabled.store(settings.use);
}

OscTriggerSettings GetOscTriggerSettings()
{
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    return g_triggerSettings;
}

bool IsOscTriggerEnabled() { return g_triggerEnabled.load(std::memory_order_relaxed); }

void SetOscTriggerEnabled(bool enabled)
{
    {
        std::lock_guard<std::mutex> lock(g_settingsMutex);
        g_triggerSettings.use = enabled;
    }
    g_triggerEnabled.store(enabled);
}

bool IsOscTriggerStartValue(double value, double highValue)
{
    return !std::isnan(value) && !std::isnan(highValue) && value >= highValue;
}

bool IsOscTriggerStopValue(double value, double lowValue)
{
    return !std::isnan(value) && !std::isnan(lowValue) && lowValue >= value;
}

int ClampOscTimeout(int timeoutMs, int maxMs)
{
    return std::clamp(timeoutMs, 0, std::max(0, maxMs));
}
