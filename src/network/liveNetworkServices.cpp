#include "network/liveNetworkServices.h"

#include "network/oscClientSettings.h"
#include "network/oscServer.h"
#include "network/oscTrigger.h"

bool CLiveNetworkServices::IsOscServerStarted() { return ::IsOscServerStarted(); }

bool CLiveNetworkServices::OscServerSetData(const std::string& name, const double* values,
                                            int count, double time)
{
    return ::OscServerSetData(name.c_str(), values, count, time);
}

bool CLiveNetworkServices::OscServerSendEvent(const std::string& name, const std::string& text,
                                              double time)
{
    return ::OscServerSendEvent(name.c_str(), text.c_str(), time);
}

bool CLiveNetworkServices::IsOscTriggerEnabled() { return ::IsOscTriggerEnabled(); }

bool CLiveNetworkServices::IsOscTriggerConnected() { return ::IsOscTriggerConnected(); }

bool CLiveNetworkServices::PollOscTrigger() { return ::PollOscTrigger(); }

CNetworkServices& GetLiveNetworkServices()
{
    static CLiveNetworkServices services;
    return services;
}
