#pragma once
// What the OSC benchmark programs share: the process-wide server started on a free
// port with loopback clients at the given ports, nothing sent to the local peer.

#include "network/oscServer.h"
#include "osc_pkt/udp.h"

#include <string>
#include <vector>

inline bool StartOscServerForClients(const std::vector<int>& clientPorts)
{
    CloseOscServer();
    OscServerClearClients();
    OscServerSettings settings;
    settings.sendToLocal = false;
    OscServerSetSettings(settings);
    UdpEndpoint probe;
    probe.BindTo(0);
    const int inPort = probe.LocalAddress().Port();
    probe.Close();
    if (!StartOscServer(inPort, 12000)) return false;
    for (int port : clientPorts)
        if (!OscServerAddClient("127.0.0.1:" + std::to_string(port))) return false;
    return true;
}
