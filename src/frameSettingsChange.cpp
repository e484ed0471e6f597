#include <wx/log.h>
#include <wx/msgdlg.h>
#include <wx/propgrid/propgrid.h>

#include <cstdint>

#include "DravonetMain.h"
#include "analog/analogDevice.h"
#include "analog/analogView.h"
#include "analog/recordFormat.h"
#include "configKeys.h"
#include "frameSettingsRules.h"
#include "frameSettingsTable.h"
#include "network/oscServer.h"
#include "network/oscTrigger.h"
#include "network/vrpnServerModule.h"
#include "process/trackerWorker.h"
#include "process/triggerCrossings.h"
#include "serial/serialTrigger.h"
#include "shellLog.h"

namespace {

void ShowRestartBox(const wxString& text)
{
    wxMessageBox(text, "Quorvane", wxOK | wxCENTRE, nullptr);
}

void (*s_restartNotice)(const wxString&) = ShowRestartBox;

bool IsAnyOf(const wxString& name, std::initializer_list<const char*> names)
{
    for (const char* candidate : names)
        if (name == candidate) return true;
    return false;
}

}  // namespace

void TrackerFrame::SetRestartNotice(void (*notice)(const wxString& text))
{
    s_restartNotice = notice ? notice : ShowRestartBox;
}

void TrackerFrame::OnCapturePropertyChange(wxPropertyGridEvent& event)
{
    const wxString name = event.GetPropertyName();
    const wxVariant value = event.GetPropertyValue();
    // A box shown from here runs timers: a rebuild meanwhile waits (BuildSettingsGrid).
    struct ChangeScope {
        bool& isIn;
        explicit ChangeScope(bool& flag) : isIn(flag) { isIn = true; }
        ~ChangeScope() { isIn = false; }
    } scope(m_inSettingChange);
    bool stored = false;
    wxString refusal;
    if (const SettingRule* rule = FindSettingRule(name)) {
        SharedSettings shared = SharedSettings::Fetch();
        const std::vector<ConfigVar> vars = FrameConfigVars(*this, shared);
        const ConfigVar* other = rule->otherKey ? FindConfigVar(vars, rule->otherKey) : nullptr;
        if (const ConfigVar* var = FindConfigVar(vars, rule->key)) {
            stored = StoreSettingValue(*rule, *var, value, other);
            if (!stored) refusal = SettingRefusal(*rule, other);
        }
        // Services read their settings when they (re)start, so this comes first.
        if (stored) shared.Publish();
    }
    if (refusal.empty()) {
        ApplySettingEffect(name, stored);
    } else {
        // A value the program would not use: said, and the grid shows the kept one again.
        LogShell(wxLOG_Warning, "OnCapturePropertyChange", refusal);
        m_rebuildSettingsGrid = true;
    }
    SaveConfig();
}

void TrackerFrame::RestartOrAsk(bool vrpnServer)
{
    if (GetDeviceCount() > 0) {
        s_restartNotice(_("You need to restart application"));
        return;
    }
    if (!vrpnServer) {
        RestartOscTrigger();
        return;
    }
    // A server the user has not switched on is not started by renaming it.
    if (!m_useVrpn && !IsVrpnServerRunning()) return;
    StopVrpnServer();
    StartVrpnServer(m_vrpnServerName.utf8_str().data());
}

void TrackerFrame::ApplySettingEffect(const wxString& name, bool stored)
{
    if (name == "Capture_dir") {
        UpdateTitle();
    } else if (name == "Capture_time") {
        if (!stored) {
            LogShell(wxLOG_Warning, "OnCapturePropertyChange",
                     _("The maximum capture time is a number of seconds, 0 or more (0: no "
                       "limit); the time is kept"));
            m_rebuildSettingsGrid = true;  // shows the kept value again
        }
    } else if (name == "Acq_buffer") {
        if (!stored) {
            LogShell(wxLOG_Warning, "OnCapturePropertyChange",
                     wxString::Format(_("The thread buffer size is %d to %d frames; the size is "
                                        "kept"),
                                      kMinCaptureQueueDepth, kMaxCaptureQueueDepth));
            m_rebuildSettingsGrid = true;  // shows the kept value again
        }
    } else if (name == "expert_mode") {
        ApplyExpertMode();
    } else if (name == "use_core") {
        if (GetDeviceCount() == 0)
            CTrackerWorker::SetUseCore(m_useCore);
        else
            wxLogMessage(_("You need to restart %s"), "Quorvane");
    } else if (name == "clock_accuray") {
        if (!stored) {
            m_rebuildSettingsGrid = true;  // shows the kept value again
            return;
        }
        CAnalogView* view = GetCurrentAnalogView();
        CAnalogDevice* device = view ? view->m_device.load() : nullptr;
        if (device) {
            device->SetClockTolerance(m_deviceEps);
            device->ClearClockStats();
        }
        if (view) view->ResetView();
    } else if (name == "show_delta") {
        UpdateTimeTextToolTip();
    } else if (name == "check_wii_at_startup") {
        if (m_wiiCheck && m_wiiFoundCount == 0) SearchWiiDevices();
    } else if (name == "VRPN_SERVER") {
        AddCurrentDeviceToVrpn();
    } else if (IsAnyOf(name, {"vrpn_server_name", "vrpn_listening_port"})) {
        if (stored) RestartOrAsk(true);
    } else if (IsAnyOf(name, {"OSC_TRIGGER_OUT_PORT", "OSC_TRIGGER_IN_PORT", "OSC_TRIGGER_NAME",
                              "OSC_TRIGGER_ADDR"})) {
        if (stored) RestartOrAsk(false);
    } else if (IsAnyOf(name, {"OSC_TRIGGER_THRESHOLD_HIGH", "OSC_TRIGGER_THRESHOLD_LOW"})) {
        const OscTriggerSettings trigger = GetOscTriggerSettings();
        GetOscTriggerCrossings().SetLevels(trigger.highValue, trigger.lowValue, true);
    } else if (name == "TRIGGER_LOOP") {
        m_rebuildSettingsGrid = true;  // the maximum time's row follows
    } else if (name == "OSC_TRIGGER_USE") {
        m_rebuildSettingsGrid = true;  // the maximum time's row follows
        // Switched on in a running program, the input listens at once.
        if (!IsOscTriggerEnabled())
            StopOscTrigger();
        else if (std::string reason; !StartOscTrigger(&reason))
            SetErrorMessage(_("Unable to connect OSC server!") + " " + wxString::FromUTF8(reason) + "\n",
                            true);
    } else if (name == "OSC_SERVER") {
        if (!m_useOscServer) {
            CloseOscServer();
        } else if (std::string reason; !IsOscServerConnected() &&
                   !StartOscServer(m_oscListeningPort, m_oscSendingPort, &reason)) {
            SayOscServerFailure(reason);
            m_useOscServer = false;
            m_rebuildSettingsGrid = true;
        }
    } else if (IsAnyOf(name,
                       {"OSC_PORT_LIST", "OSC_PORT_SEND", "OSC_SERVER_NAME", "OSC_CONNECT_NAME",
                        "OSC_DISCONNECT_NAME", "OSC_CONNECTED_NAME", "OSC_REMOVED_NAME",
                        "OSC_DATA_NAME", "OSC_EVENT_NAME", "OSC_TO_LOCAL"})) {
        if (IsOscServerConnected()) RestartOscServer();
    } else if (name == "USB_TRIGGER_USE") {
        m_rebuildSettingsGrid = true;  // the maximum time's row follows
        if (m_triggerUse)
            OpenSerialTrigger();
        else if (g_serialTrigger.IsOpen())
            g_serialTrigger.Close();
        UpdateTimeTextToolTip();
    } else if (IsAnyOf(name, {"USB_TRIGGER_COM_PORT", "USB_TRIGGER_BAUD"})) {
        if (m_triggerUse) OpenSerialTrigger();
    } else if (name == "TRIGGER_TIME_OUT") {
        if (stored) g_serialTrigger.SetTimeout(static_cast<uint32_t>(m_triggerTimeOut));
    }
}
