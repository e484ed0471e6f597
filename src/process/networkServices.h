#pragma once

#include <cstdint>
#include <string>

class wxString;

// A device name or marker label as OSC carries it: the program's own Unicode text in
// UTF-8, whatever the current locale (which may not hold the text at all).
std::string OscText(const wxString& text);

// The network services that devices use from their acquisition threads: the OSC data
// server, the OSC trigger input and the VRPN server. Every operation: any thread;
// implementations serialise themselves against the GUI thread's polling.
class CNetworkServices {
public:
    virtual ~CNetworkServices() = default;

    virtual bool IsOscServerStarted() = 0;
    // Sends "/data" + "/" + name with the values to every connected client.
    virtual bool OscServerSetData(const std::string& name, const double* values, int count,
                                  double time) = 0;
    // Sends an "/event" message to every connected client.
    virtual bool OscServerSendEvent(const std::string& name, const std::string& text,
                                    double time) = 0;

    // "/VRPN/vrpn_sync_use": the OSC trigger input is serviced on every pass.
    virtual bool IsOscTriggerEnabled() = 0;
    virtual bool IsOscTriggerConnected() = 0;
    virtual bool PollOscTrigger() = 0;

    // Registry index of the device's share of the server; 0 means failure.
    virtual int64_t VrpnServerAddDevice(int buttons, int channels, int sensors,
                                        const char* name) = 0;
    virtual void VrpnServerRemoveDevice(int64_t index) = 0;
    // count poses of 7 doubles: x, y, z, qw, qx, qy, qz.
    virtual bool VrpnServerSetTracker(int64_t index, const double* poses, int count) = 0;
    virtual bool VrpnServerSetAnalog(int64_t index, const double* values, int count) = 0;
    virtual void VrpnServerMainloop() = 0;
    virtual bool VrpnServerSetButton(int64_t index, int button, int state) = 0;
};

// No server and no trigger: every query is false, every send fails, nothing happens.
class CNoNetworkServices : public CNetworkServices {
public:
    bool IsOscServerStarted() override { return false; }
    bool OscServerSetData(const std::string&, const double*, int, double) override
    {
        return false;
    }
    bool OscServerSendEvent(const std::string&, const std::string&, double) override
    {
        return false;
    }
    bool IsOscTriggerEnabled() override { return false; }
    bool IsOscTriggerConnected() override { return false; }
    bool PollOscTrigger() override { return false; }
    int64_t VrpnServerAddDevice(int, int, int, const char*) override { return 0; }
    void VrpnServerRemoveDevice(int64_t) override {}
    bool VrpnServerSetTracker(int64_t, const double*, int) override { return false; }
    bool VrpnServerSetAnalog(int64_t, const double*, int) override { return false; }
    void VrpnServerMainloop() override {}
    bool VrpnServerSetButton(int64_t, int, int) override { return false; }
};

// Any thread: the installed services, or the live process-wide servers.
CNetworkServices& GetNetworkServices();
// GUI thread: installs services (null restores the live servers). The object must outlive
// every acquisition thread that may still use it; install before devices open.
void SetNetworkServices(CNetworkServices* services);
