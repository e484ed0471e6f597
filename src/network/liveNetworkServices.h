#pragma once

#include "process/networkServices.h"

// The services devices reach when nothing else is installed: the process-wide OSC
// data server. The OSC trigger input and the VRPN server answer "none". Any thread.
class CLiveNetworkServices : public CNoNetworkServices {
public:
    bool IsOscServerStarted() override;
    bool OscServerSetData(const std::string& name, const double* values, int count,
                          double time) override;
    bool OscServerSendEvent(const std::string& name, const std::string& text,
                            double time) override;
};

// The one live instance, created on first use.
CNetworkServices& GetLiveNetworkServices();
