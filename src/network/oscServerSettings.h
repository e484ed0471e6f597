#pragma once

// Settings of the OSC data server and their configuration keys.

#include <string>

class wxConfigBase;

// Configuration keys, spelled as stored.
constexpr const char* kOscKeyTrackerServerName = "/OSC/trackerServerName";
constexpr const char* kOscKeyConnectPattern = "/OSC/connectPattern";
constexpr const char* kOscKeyDisconnectPattern = "/OSC/disconnectPattern";
constexpr const char* kOscKeyRequestPattern = "/OSC/requestPattern";
constexpr const char* kOscKeyServerConnected = "/OSC/serverConnected";
constexpr const char* kOscKeyServerRemoved = "/OSC/serverRemoved";
constexpr const char* kOscKeyServerDataTag = "/OSC/serverDataTag";
constexpr const char* kOscKeyServerEventTag = "/OSC/serverEventTag";
constexpr const char* kOscKeyServerSendTime = "/OSC/serverSendTime";
constexpr const char* kOscKeyUseDouble = "/OSC/use_double";
constexpr const char* kOscKeyTimeout = "/OSC/timeout";
constexpr const char* kOscKeySendToLocal = "/OSC/send_to_local";
constexpr const char* kOscKeyClientCount = "/OSC/nb_client";
constexpr const char* kOscKeyClientFormat = "/OSC/nb_client_%d";

constexpr int kOscDefaultInPort = 32000;
constexpr int kOscDefaultOutPort = 12000;
// A poll never waits longer than this, whatever the configuration says.
constexpr int kOscMaxPollTimeoutMs = 1000;

// The server's texts and flags. Request addresses are formed once from the
// built-in defaults when the server is created; the request patterns here are
// kept for the configuration file only.
struct OscServerSettings {
    std::string trackerServerName = "/AnalogServer";
    std::string connectPattern = "/connect";
    std::string disconnectPattern = "/disconnect";
    std::string requestPattern = "/request";
    std::string serverConnected = "connected";
    std::string serverRemoved = "removed";
    std::string serverDataTag = "/data";
    std::string serverEventTag = "/event";
    bool serverSendTime = true;
    bool useDouble = false;
    int timeoutMs = 30;
    bool sendToLocal = true;
};

// Reads every key present into settings (missing keys keep their value).
// GUI thread.
void LoadOscServerSettings(wxConfigBase& config, OscServerSettings& settings);
// Writes every key. GUI thread.
bool SaveOscServerSettings(wxConfigBase& config, const OscServerSettings& settings);
// The poll time-out actually used: the setting clamped to 0..1000 ms.
int ClampOscPollTimeout(int timeoutMs);
