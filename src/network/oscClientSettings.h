#pragma once

// Settings of the OSC source connections (defaults of a new OSC device, the
// connection time-outs) and of the OSC trigger input, with their configuration
// keys. The shell loads them and installs them process-wide.

#include <string>

class wxConfigBase;

// Configuration keys, spelled as stored.
constexpr const char* kOscKeyClientServerName = "/OSC/default_client_server_name";
constexpr const char* kOscKeyClientDataPattern = "/OSC/default_client_server_data_pattern";
constexpr const char* kOscKeyClientConnect = "/OSC/default_client_server_data_connect";
constexpr const char* kOscKeyClientDisconnect = "/OSC/default_client_server_data_disconnect";
constexpr const char* kOscKeyClientAddress = "/OSC/default_client_server_address";
constexpr const char* kOscKeyClientBroadcastPort = "/OSC/default_client_server_broadcast_port";
constexpr const char* kOscKeyClientListeningPort = "/OSC/default_client_server_listening_port";
constexpr const char* kOscKeyClientLoadConfig = "/OSC/default_client_server_load_config";
constexpr const char* kOscKeyClientMaxTimeout = "/OSC/osc_client_max_timeout";
constexpr const char* kOscKeyClientMinTimeout = "/OSC/osc_client_min_timeout";

constexpr const char* kOscKeySyncUse = "/VRPN/vrpn_sync_use";
constexpr const char* kOscKeySyncServerName = "/VRPN/vrpn_sync_server_name";
constexpr const char* kOscKeySyncAddress = "/VRPN/vrpn_sync_address";
constexpr const char* kOscKeySyncOutPort = "/VRPN/vrpn_sync_out_port";
constexpr const char* kOscKeySyncInPort = "/VRPN/vrpn_sync_in_port";
constexpr const char* kOscKeySyncHighValue = "/VRPN/vrpn_sync_high_value";
constexpr const char* kOscKeySyncLowValue = "/VRPN/vrpn_sync_low_value";

// The local loopback host, as a numeric text: it resolves without a name service.
constexpr const char* kOscLoopbackHost = "127.0.0.1";

// Time-outs are clamped to these: a negative one would mean "wait forever" to the
// socket layer and freeze the thread that connects or polls.
constexpr int kOscMaxConnectTimeoutMs = 10000;
constexpr int kOscMaxClientPollTimeoutMs = 1000;

struct OscClientSettings {
    std::string serverName = "/server";
    std::string dataPattern = "/data";
    std::string connectPattern = "/connect";
    std::string disconnectPattern = "/disconnect";
    std::string address = kOscLoopbackHost;
    int broadcastPort = 32000;
    int listeningPort = 1200;
    bool loadConfig = true;
    int maxTimeoutMs = 500;  // wait for the source's first packet when connecting
    int minTimeoutMs = 0;    // receive time-out of a poll (0: look and return)
};

struct OscTriggerSettings {
    bool use = false;
    std::string serverName = "/unity_sync";
    std::string address = kOscLoopbackHost;
    int outPort = 6969;        // the source's port: connect and disconnect messages go there
    int inPort = 6161;         // our listening port
    double highValue = 255.0;  // a value at or above it starts a capture
    double lowValue = -255.0;  // a value at or below it stops a capture
};

// Read every key present (missing or unreadable keys keep their value) / write
// every key. GUI thread.
void LoadOscClientSettings(wxConfigBase& config, OscClientSettings& settings);
bool SaveOscClientSettings(wxConfigBase& config, const OscClientSettings& settings);
void LoadOscTriggerSettings(wxConfigBase& config, OscTriggerSettings& settings);
bool SaveOscTriggerSettings(wxConfigBase& config, const OscTriggerSettings& settings);

// The process-wide copies. Set: GUI thread; Get: any thread (a copy under a lock).
void SetOscClientSettings(const OscClientSettings& settings);
OscClientSettings GetOscClientSettings();
// Also sets the enabled flag from settings.use.
void SetOscTriggerSettings(const OscTriggerSettings& settings);
OscTriggerSettings GetOscTriggerSettings();

// "/VRPN/vrpn_sync_use": any thread, one atomic load (read on every acquisition pass).
bool IsOscTriggerEnabled();
void SetOscTriggerEnabled(bool enabled);

// Threshold tests of a received trigger value; a value that is not a number never fires.
bool IsOscTriggerStartValue(double value, double highValue);  // value >= high
bool IsOscTriggerStopValue(double value, double lowValue);    // value <= low

// A time-out clamped to 0..maxMs.
int ClampOscTimeout(int timeoutMs, int maxMs);
