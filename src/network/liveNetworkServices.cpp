#include "network/liveNetworkServices.h"

#include "network/oscClientSettings.h"
#include "network/oscServer.h"
#include "network/oscTrigger.h"
#include "network/vrpnServerModule.h"

#include <climits>

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

// VRPN: registry indices beyond int are no registry entry and are refused.
namespace {
bool IsIndex(int64_t index) { return index >= 0 && index <= INT_MAX; }
}  // namespace

int64_t CLiveNetworkServices::VrpnServerAddDevice(int buttons, int channels, int sensors,
                                                  const char* name)
{
    return ::VrpnServerAddDevice(buttons, channels, sensors, name);
}

void CLiveNetworkServices::VrpnServerRemoveDevice(int64_t index)
{
    if (IsIndex(index)) ::VrpnServerRemoveDevice(static_cast<int>(index));
}

bool CLiveNetworkServices::VrpnServerSetTracker(int64_t index, const double* poses, int count)
{
    return IsIndex(index) && ::VrpnServerSetTracker(static_cast<int>(index), poses, count);
}

bool CLiveNetworkServices::VrpnServerSetAnalog(int64_t index, const double* values, int count)
{
    return IsIndex(index) && ::VrpnServerSetAnalog(static_cast<int>(index), values, count);
}

void CLiveNetworkServices::VrpnServerMainloop() { ::VrpnServerMainloop(); }

bool CLiveNetworkServices::VrpnServerSetButton(int64_t index, int button, int state)
{
    return IsIndex(index) && ::VrpnServerSetButton(static_cast<int>(index), button, state);
}
bool CLiveNetworkServices::IsOscTriggerEnabled() { return ::IsOscTriggerEnabled(); }

bool CLiveNetworkServices::IsOscTriggerConnected() { return ::IsOscTriggerConnected(); }

bool CLiveNetworkServices::PollOscTrigger() { return ::PollOscTrigger(); }

CNetworkServices& GetLiveNetworkServices()
{
    static CLiveNetworkServices services;
    return services;
}
