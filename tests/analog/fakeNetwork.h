#pragma once

#include "analog/fakeSinks.h"
#include "process/networkServices.h"

#include <mutex>
#include <string>
#include <vector>

// Network services that note every call in a shared log; installed for the
// life of the object. Used from one thread at a time.
class CFakeNetwork : public CNetworkServices {
public:
    explicit CFakeNetwork(CCallLog* log) : m_log(log) { SetNetworkServices(this); }
    ~CFakeNetwork() override { SetNetworkServices(nullptr); }

    bool IsOscServerStarted() override { return oscStarted; }
    bool OscServerSetData(const std::string& name, const double*, int count, double time) override
    {
        m_log->Add("osc:" + name + ":" + std::to_string(count));
        dataTimes.push_back(time);
        return true;
    }
    bool OscServerSendEvent(const std::string& name, const std::string& text, double time) override
    {
        m_log->Add("event:" + name + ":" + text);
        eventTimes.push_back(time);
        return true;
    }
    bool IsOscTriggerEnabled() override { return false; }
    bool IsOscTriggerConnected() override { return false; }
    bool PollOscTrigger() override { return false; }
    int64_t VrpnServerAddDevice(int, int, int, const char*) override { return 1; }
    void VrpnServerRemoveDevice(int64_t) override {}
    bool VrpnServerSetTracker(int64_t, const double*, int count) override
    {
        m_log->Add("vrpn-tracker:" + std::to_string(count));
        return true;
    }
    bool VrpnServerSetAnalog(int64_t, const double*, int count) override
    {
        m_log->Add("vrpn-analog:" + std::to_string(count));
        return true;
    }
    void VrpnServerMainloop() override { m_log->Add("vrpn-mainloop"); }
    bool VrpnServerSetButton(int64_t, int, int) override
    {
        m_log->Add("vrpn-button");
        return true;
    }

    bool oscStarted = true;
    std::vector<double> dataTimes;
    std::vector<double> eventTimes;

private:
    CCallLog* m_log;
};
