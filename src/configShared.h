#pragma once

// The settings that other subsystems keep process-wide (OSC data server texts,
// OSC source defaults, OSC trigger input, VRPN port, text-export switches),
// fetched into one place so that the configuration file and the settings grid
// handle them like the main frame's own. GUI thread.

#include "network/oscClientSettings.h"
#include "network/oscServerSettings.h"

struct SharedSettings {
    OscServerSettings server;
    OscClientSettings client;
    OscTriggerSettings trigger;
    int vrpnListeningPort = 3883;
    bool useTextHeader = true;
    bool useTextTime = true;

    // Copies of the values in use now.
    static SharedSettings Fetch();
    // Makes these the values in use; services read them when they next start or send.
    void Publish() const;
};
