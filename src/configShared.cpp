#include "configShared.h"

#include "analog/recordFormat.h"
#include "network/oscServer.h"
#include "network/vrpnServerModule.h"

SharedSettings SharedSettings::Fetch()
{
    SharedSettings shared;
    shared.server = OscServerGetSettings();
    shared.client = GetOscClientSettings();
    shared.trigger = GetOscTriggerSettings();
    shared.vrpnListeningPort = GetVrpnServerPort();
    shared.useTextHeader = g_Use_Text_Header.load();
    shared.useTextTime = g_Use_Text_Time.load();
    return shared;
}

void SharedSettings::Publish() const
{
    OscServerSetSettings(server);
    SetOscClientSettings(client);
    SetOscTriggerSettings(trigger);
    SetVrpnServerPort(vrpnListeningPort);
    g_Use_Text_Header.store(useTextHeader);
    g_Use_Text_Time.store(useTextTime);
}
