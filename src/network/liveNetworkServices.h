#pragma once

#include "process/networkServices.h"

// The services devices reach when nothing else is installed: the process-wide OSC
// data server, OSC trigger input and VRPN server. Any thread.
class CLiveNetworkServices : public CNoNetworkServices {
public:
    bool IsOscServerStarted() override;
    bool OscServerSetData(const std::string& name, const double* values, int count,
                          double time) override;
    bool OscServerSendEvent(const std::string& name, const std::string& text,
                            double time) override;

    // VRPN: the process-wide server of vrpnServerModule.h.
    int64_t VrpnServerAddDevice(int buttons, int channels, int sensors,
                                const char* name) override;
    void VrpnServerRemoveDevice(int64_t index) override;
    bool VrpnServerSetTracker(int64_t index, const double* poses, int count) override;
    bool VrpnServerSetAnalog(int64_t index, const double* values, int count) override;
    void VrpnServerMainloop() override;
    bool VrpnServerSetButton(int64_t index, int button, int state) override;
    bool IsOscTriggerEnabled() override;
    bool IsOscTriggerConnected() override;
    bool PollOscTrigger() override;
};

// The one live instance, created on first use.
CNetworkServices& GetLiveNetworkServices();
