#include "network/oscServerSettings.h"

#include <wx/confbase.h>

#include <algorithm>

namespace {

void ReadText(wxConfigBase& config, const char* key, std::string& value)
{
    wxString text;
    if (config.Read(key, &text)) {
        // Narrow UTF-8 text: OSC addresses and words travel as bytes.
        const wxScopedCharBuffer bytes = text.utf8_str();
        value.assign(bytes.data(), bytes.length());
    }
}

void ReadFlag(wxConfigBase& config, const char* key, bool& value)
{
    bool flag = value;
    if (config.Read(key, &flag)) value = flag;
}

}  // namespace

void LoadOscServerSettings(wxConfigBase& config, OscServerSettings& settings)
{
    ReadText(config, kOscKeyTrackerServerName, settings.trackerServerName);
    ReadText(config, kOscKeyConnectPattern, settings.connectPattern);
    ReadText(config, kOscKeyDisconnectPattern, settings.disconnectPattern);
    ReadText(config, kOscKeyRequestPattern, settings.requestPattern);
    ReadText(config, kOscKeyServerConnected, settings.serverConnected);
    ReadText(config, kOscKeyServerRemoved, settings.serverRemoved);
    ReadText(config, kOscKeyServerDataTag, settings.serverDataTag);
    ReadText(config, kOscKeyServerEventTag, settings.serverEventTag);
    ReadFlag(config, kOscKeyServerSendTime, settings.serverSendTime);
    ReadFlag(config, kOscKeyUseDouble, settings.useDouble);
    ReadFlag(config, kOscKeySendToLocal, settings.sendToLocal);
    long timeout = settings.timeoutMs;
    if (config.Read(kOscKeyTimeout, &timeout))
        settings.timeoutMs = static_cast<int>(std::clamp<long>(timeout, -1000000, 1000000));
}

bool SaveOscServerSettings(wxConfigBase& config, const OscServerSettings& settings)
{
    bool ok = true;
    const auto text = [&](const char* key, const std::string& value) {
        ok = config.Write(key, wxString::FromUTF8(value.data(), value.size())) && ok;
    };
    text(kOscKeyTrackerServerName, settings.trackerServerName);
    text(kOscKeyConnectPattern, settings.connectPattern);
    text(kOscKeyDisconnectPattern, settings.disconnectPattern);
    text(kOscKeyRequestPattern, settings.requestPattern);
    text(kOscKeyServerConnected, settings.serverConnected);
    text(kOscKeyServerRemoved, settings.serverRemoved);
    text(kOscKeyServerDataTag, settings.serverDataTag);
    text(kOscKeyServerEventTag, settings.serverEventTag);
    ok = config.Write(kOscKeyServerSendTime, settings.serverSendTime) && ok;
    ok = config.Write(kOscKeyUseDouble, settings.useDouble) && ok;
    ok = config.Write(kOscKeySendToLocal, settings.sendToLocal) && ok;
    ok = config.Write(kOscKeyTimeout, static_cast<long>(settings.timeoutMs)) && ok;
    return ok;
}

int ClampOscPollTimeout(int timeoutMs)
{
    // A negative value would block the GUI thread forever.
    return std::clamp(timeoutMs, 0, kOscMaxPollTimeoutMs);
}
