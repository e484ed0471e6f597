#pragma once

#include "process/networkServices.h"

// The services devices reach when nothing else is installed: the process-wide OSC
// data server and OSC trigger input. The VRPN server answers "none". Any thread.
class CLiveNetworkServices : public CNoNetworkServices {
public:
    bool IsOscServerStarted() override;
    bool OscServerSetData(const std::string& name, const double* values, int count,
                          double time) override;
    bool OscServerSendEvent(const std::string& name, const std::string& text, double time) override;
    bool IsOscTriggerEnabled() override;
    bool IsOscTriggerConnected() override;
    bool PollOscTrigger() override;
};

// The one live instance, created on first use.
CNetworkServices& GetLiveNetworkServices();
