#include <wx/propgrid/advprops.h>
#include <wx/propgrid/propgrid.h>
#include <wx/propgrid/props.h>
#include <wx/socket.h>
#include <wx/utils.h>

#include "DravonetMain.h"
#include "analog/analogDevice.h"
#include "configShared.h"
#include "frameSettingsRules.h"
#include "serial/serialPort.h"

namespace {

// Appends properties to the category appended last; remembers what to make
// read-only or collapse once everything is in.
class CGridBuilder {
public:
    CGridBuilder(wxPropertyGrid& grid, bool devicesOpen) : m_grid(grid), m_devicesOpen(devicesOpen)
    {
    }

    void Category(const wxString& label, const char* name, bool collapsed)
    {
        m_grid.Append(new wxPropertyCategory(label, name));
        if (collapsed) m_collapsed.push_back(name);
    }
    wxPGProperty* Add(wxPGProperty* property) { return m_grid.Append(property); }
    wxPropertyGrid& Grid() { return m_grid; }
    // Read-only while devices are open; the row's help says why.
    void AddLocked(wxPGProperty* property)
    {
        Add(property);
        if (!m_devicesOpen) return;
        m_grid.SetPropertyReadOnly(property);
        property->SetHelpString(wxString::Format(
            _("Read-only while a device is open: close every device to change \"%s\"."),
            property->GetLabel()));
    }
    void Bool(const wxString& label, const char* name, bool value)
    {
        Add(new wxBoolProperty(label, name, value));
    }
    void Int(const wxString& label, const char* name, long value)
    {
        Add(new wxIntProperty(label, name, value));
    }
    void Float(const wxString& label, const char* name, double value)
    {
        Add(new wxFloatProperty(label, name, value));
    }
    void Text(const wxString& label, const char* name, const wxString& value)
    {
        Add(new wxStringProperty(label, name, value));
    }
    // Choice values are their indexes; an index outside the list selects nothing.
    static wxPGProperty* Enum(const wxString& label, const char* name, const wxArrayString& labels,
                              int index)
    {
        return new wxEnumProperty(label, name, labels, wxArrayInt(), index);
    }
    void Finish()
    {
        for (const char* name : m_collapsed) m_grid.Collapse(name);
    }

private:
    wxPropertyGrid& m_grid;
    const bool m_devicesOpen;
    std::vector<const char*> m_collapsed;
};

wxArrayString Labels(std::initializer_list<const char*> texts)
{
    wxArrayString labels;
    for (const char* text : texts) labels.Add(text);
    return labels;
}

wxString Narrow(const std::string& text) { return wxString::FromUTF8(text.data(), text.size()); }

wxString LocalAddress()
{
    wxIPV4address address;
    if (!address.Hostname(wxGetFullHostName())) return wxString();
    return address.IPAddress();
}

// What every group of rows shows: the process-wide settings and the choice lists.
struct GridChoices {
    SharedSettings shared;
    wxArrayString priorities;
    wxArrayString ports;
};

void AddDeviceRows(CGridBuilder& b, TrackerFrame& f, const GridChoices& c)
{
    b.Category(_("Application"), "APP", false);
    b.Bool(_("Advanced mode"), "expert_mode", f.m_expertMode);

    if (f.m_expertMode) {
        b.Category(_("Devices"), "DEV", false);
        if (TrackerFrame::GetProcessorCountInUse() > 2)
            b.Bool(_("Try to use specific core/thread"), "use_core", f.m_useCore);
        b.AddLocked(
            b.Enum(_("Thread Priority"), "worker_priority", c.priorities, f.m_workerPriority));
        b.AddLocked(new wxBoolProperty(_("Use Synch Timer"), "use_gen_timer", f.m_genTimer));
        b.AddLocked(
            new wxBoolProperty(_("Use DayTime Timer"), "use_daytime_timer", f.m_useDayTimer));
        b.Bool(_("Show clock variability"), "show_delta", f.m_showDelta);
        const CAnalogDevice* device = f.GetCurrentDevice();
        b.Float(_("Clock accuracy (us)"), "clock_accuray",
                device ? device->GetClockTolerance() : f.m_deviceEps);
        b.Bool(_("Use 3D Canvas (tracker)"), "use_gl_canvas", f.m_useGlCanvas);
        b.AddLocked(new wxBoolProperty(_("Use slow clock"), "use_clock_delay", f.m_useClockDelay));
    }

    b.Category(_("Wii Devices"), "WII", true);
    b.Int(_("Wii Timeout (s)"), "WII_TIMEOUT", f.m_wiiTimeOut);
    b.Grid().SetPropertyEditor("WII_TIMEOUT", wxPGEditor_SpinCtrl);
    b.Bool(_("Check WII device"), "check_wii_at_startup", f.m_wiiCheck);
    b.Bool(_("Use multi devices"), "multi_wii", f.m_wiiUseMulti);
    b.Bool(_("Set WII Board"), "set_wii_board", f.m_wiiSetBoard);
    b.Bool(_("Remove WII device"), "remove_wii_device", f.m_wiiRemove);
    b.Int(_("Max WII device"), "max_wii_devices", f.m_wiiMaxDevices);

    b.Category(_("SATEL Device"), "SATEL", true);
    b.AddLocked(b.Enum(_("COM Port"), "SATEL_COM_PORT", c.ports,
                       ChoiceFromComPort(f.m_satelComPort, c.ports)));
    b.AddLocked(b.Enum(_("Sampling rate"), "SATEL_RATE",
                       Labels({"5 Hz", "10 Hz", "20 Hz", "40 Hz"}), f.m_satelRate));

    b.Category(_("FoB Device"), "BORD", true);
    b.AddLocked(b.Enum(_("COM Port"), "BIRD_COM_PORT", c.ports,
                       ChoiceFromComPort(f.m_fobComPort, c.ports)));
    b.AddLocked(b.Enum(_("Hemisphere"), "HEMISPHERE",
                       Labels({"AFT", "FORWARD", "LEFT", "RIGHT", "UP", "DOWN"}),
                       f.m_fobHemisphere));
    b.AddLocked(new wxIntProperty(_("Max Timeout (ms)"), "BIRD_SLEEP", f.m_fobSleep));
    b.AddLocked(
        b.Enum(_("Baud rate"), "BIRD_BAUD", BaudChoiceLabels(), ChoiceFromBaud(f.m_fobSpeed)));
    b.AddLocked(b.Enum(_("Range (inches)"), "BIRD_RANGE", FobRangeChoiceLabels(),
                       ChoiceFromFobRange(f.m_fobRange)));

    b.Category(_("Video device"), "VIDEO_DEVICE", true);
    b.Int(_("Width"), "camera_width", f.m_cameraWidth);
    b.Int(_("Height"), "camera_height", f.m_cameraHeight);
    b.Int(_("Frame Rate"), "camera_rate", f.m_cameraRate);

    const OscClientSettings& client = c.shared.client;
    b.Category(_("OSC device"), "OSC_DEVICE", true);
    b.Text(_("Default Name"), "OSC_CLIENT_SERVER_NAME", Narrow(client.serverName));
    b.Text(_("Default Address"), "OSC_CLIENT_SERVER_ADDRESS", Narrow(client.address));
    b.Int(_("Default broadcast port"), "OSC_CLINE_SERVER_B_PORT", client.broadcastPort);
    b.Int(_("Default listening port"), "OSC_CLINE_SERVER_L_PORT", client.listeningPort);
    b.Text(_("Default Data Pattern"), "OSC_CLIENT_SERVER_PATTERN", Narrow(client.dataPattern));
    b.Text(_("Default Connect Pattern"), "OSC_CLIENT_SERVER_CONNECT",
           Narrow(client.connectPattern));
    b.Text(_("Default DisConnect Pattern"), "OSC_CLIENT_SERVER_DISCONNECT",
           Narrow(client.disconnectPattern));
    b.Int(_("Max Timeout (ms)"), "osc_client_max_timeout", client.maxTimeoutMs);
    b.Int(_("Min Timeout (ms)"), "osc_client_min_timeout", client.minTimeoutMs);
    b.Bool(_("Load device configuration"), "OSC_CLENT_SERVER_CONF", client.loadConfig);
}

// A triggered capture in Trigger Loop ends on its trigger: the maximum time is
// then not applied, and the row says so, greyed while it cannot apply.
void AddMaxTimeRow(CGridBuilder& b, TrackerFrame& f, const GridChoices& c)
{
    wxPGProperty* row =
        b.Add(new wxFloatProperty(_("Max  Time (s)"), "Capture_time", f.m_captureMaxTime));
    const bool isTriggerInUse = f.m_triggerUse || c.shared.trigger.use;
    if (f.m_triggerLoop && isTriggerInUse) {
        row->Enable(false);
        row->SetHelpString(
            _("Not applied while Trigger Loop is on: each trigger's stop ends "
              "its capture. Switch Trigger Loop off to use a maximum time."));
        return;
    }
    row->SetHelpString(
        _("Longest capture in seconds, 0 for no limit. Not applied to "
          "triggered captures while Trigger Loop is on."));
}

void AddFileRows(CGridBuilder& b, TrackerFrame& f, const GridChoices& c)
{
    b.Category(_("File"), "GENERAL", false);
    b.AddLocked(new wxDirProperty(_("Capture directory"), "Capture_dir", f.m_capturePath));
    b.AddLocked(new wxDirProperty(_("Export directory"), "export_dir", f.m_exportPath));
    b.AddLocked(new wxBoolProperty(_("Export to text file"), "EXPORT_TXT", f.m_exportAnalog));
    b.AddLocked(
        new wxBoolProperty(_("Export Text Header"), "EXPORT_TXT_HEADER", c.shared.useTextHeader));
    b.AddLocked(new wxBoolProperty(_("Export Time"), "EXPORT_TXT_TIME", c.shared.useTextTime));
    AddMaxTimeRow(b, f, c);
    b.Bool(_("Auto File"), "AUTO_FILE", f.m_captureAutoFile);
    b.Float(_("Countdown (s)"), "Capture_pre_time", f.m_capturePreTime);
    if (!f.m_captureSoundName.empty()) b.Bool(_("Use Sound"), "Capture_sound", f.m_captureSound);
}

void AddServerRows(CGridBuilder& b, TrackerFrame& f, const GridChoices& c)
{
    const OscServerSettings& server = c.shared.server;
    b.Category(_("OSC server"), "OSC", true);
    b.Bool(_("Use OSC server"), "OSC_SERVER", f.m_useOscServer);
    b.Int(_("Listening port"), "OSC_PORT_LIST", f.m_oscListeningPort);
    b.Int(_("Sending port"), "OSC_PORT_SEND", f.m_oscSendingPort);
    b.Text(_("Server Name"), "OSC_SERVER_NAME", Narrow(server.trackerServerName));
    b.Text(_("Data Name"), "OSC_DATA_NAME", Narrow(server.serverDataTag));
    b.Text(_("Event Name"), "OSC_EVENT_NAME", Narrow(server.serverEventTag));
    if (f.m_expertMode) {
        b.Text(_("Connect Cmd"), "OSC_CONNECT_NAME", Narrow(server.connectPattern));
        b.Text(_("DisConnect Cmd"), "OSC_DISCONNECT_NAME", Narrow(server.disconnectPattern));
        b.Bool(_("Send time tag"), "serverSendTime", server.serverSendTime);
        b.Bool(_("Use double value"), "OSC_DOUBLE", server.useDouble);
        b.Bool(_("Send to local Host"), "OSC_TO_LOCAL", server.sendToLocal);
        b.Int(_("OSC Checking timeout (ms)"), "OSC_TIMEOUT", server.timeoutMs);
        b.Text(_("Connected Message"), "OSC_CONNECTED_NAME", Narrow(server.serverConnected));
        b.Text(_("Removed Message"), "OSC_REMOVED_NAME", Narrow(server.serverRemoved));
    }

    b.Category(_("VRPN Server"), "VRPN", true);
    b.Bool(_("Use VRPN server"), "VRPN_SERVER", f.m_useVrpn);
    b.AddLocked(new wxStringProperty(_("Server Name"), "vrpn_server_name", f.m_vrpnServerName));
    b.AddLocked(new wxIntProperty(_("VRPN Listening Port"), "vrpn_listening_port",
                                  c.shared.vrpnListeningPort));

    b.Category(_("VRPN Synch Out"), "VRPN_OUT", true);
    b.Bool(_("Use VRPN Sync"), "VRPN_OUT_USE", f.m_vrpnSyncOutUse);
    if (f.m_expertMode) b.Int(_("VRPN button ID"), "TRIGGER_OUT_BUTTON", f.m_vrpnSyncButton);

    b.Category(_("Local network"), "LOCAL", true);
    b.Grid().SetPropertyReadOnly(
        b.Add(new wxStringProperty(_("Local IP address"), "LOCAL_ADDR", LocalAddress())));
}

void AddTriggerRows(CGridBuilder& b, TrackerFrame& f, const GridChoices& c)
{
    b.Category(_("External USB Trigger In"), "USB_TRIGGER", true);
    b.Bool(_("Use Serial External Trigger"), "USB_TRIGGER_USE", f.m_triggerUse);
    b.Add(b.Enum(_("COM Port"), "USB_TRIGGER_COM_PORT", c.ports,
                 ChoiceFromComPort(f.m_triggerPort, c.ports)));
    if (f.m_expertMode) {
        b.Add(b.Enum(_("Baud rate"), "USB_TRIGGER_BAUD", BaudChoiceLabels(),
                     ChoiceFromBaud(f.m_triggerSpeed)));
        b.Int(_("Time out (ms)"), "TRIGGER_TIME_OUT", f.m_triggerTimeOut);
    }
    b.Float(_("High Trigger threshold (Volts)"), "USB_TRIGGER_THRESHOLD_HIGH",
            f.m_triggerThresholdHigh);
    b.Float(_("Low Trigger threshold (Volts)"), "USB_TRIGGER_THRESHOLD_LOW",
            f.m_triggerThresholdLow);

    const OscTriggerSettings& trigger = c.shared.trigger;
    b.Category(_("External OSC Trigger In"), "OSC_TRIGGER", true);
    b.Bool(_("Use OSC Trigger"), "OSC_TRIGGER_USE", trigger.use);
    b.Text(_("Address"), "OSC_TRIGGER_ADDR", Narrow(trigger.address));
    b.Text(_("Server Name"), "OSC_TRIGGER_NAME", Narrow(trigger.serverName));
    b.Int(_("In port"), "OSC_TRIGGER_IN_PORT", trigger.inPort);
    b.Int(_("Out port"), "OSC_TRIGGER_OUT_PORT", trigger.outPort);
    b.Float(_("High Trigger threshold"), "OSC_TRIGGER_THRESHOLD_HIGH", trigger.highValue);
    b.Float(_("Low Trigger threshold"), "OSC_TRIGGER_THRESHOLD_LOW", trigger.lowValue);

    b.Category(_("External Trigger In"), "TRIGGER", false);
    b.Bool(_("Trigger Loop"), "TRIGGER_LOOP", f.m_triggerLoop);

    if (f.m_expertMode) {
        b.Category(_("Saving Parameters"), "THREAD", false);
        b.Bool(_("Use Thread"), "ACQ_THREAD", f.m_captureUseThread);
        b.Add(
            b.Enum(_("Saving Thread Priority"), "Acq_priority", c.priorities, f.m_capturePriority));
        b.Int(_("Thread Buffer size (frame)"), "Acq_buffer", f.m_captureQueueDepth);
        b.Grid().SetPropertyEditor("Acq_buffer", wxPGEditor_SpinCtrl);
    }
}

}  // namespace

void TrackerFrame::BuildSettingsGrid()
{
    if (!m_settingsGrid) return;
    // Inside the grid's own change handler the toolkit only hides what Clear() removes
    // (a box shown there runs timers, and a rebuild with them): every category would
    // show twice. The rebuild follows the handler.
    if (m_inSettingChange) {
        m_rebuildSettingsGrid = true;
        return;
    }
    const bool devicesOpen = GetDeviceCount() > 0;
    GridChoices choices;
    choices.shared = SharedSettings::Fetch();
    choices.priorities.Add(_("Below Normal"));
    choices.priorities.Add(_("Normal"));
    choices.priorities.Add(_("Highest Priority"));
    // The ports present now, and the configured ones even when absent: a path the
    // user typed into the configuration is shown and kept, never replaced.
    wxArrayString configuredPorts;
    for (const wxString* port : {&m_satelComPort, &m_fobComPort, &m_triggerPort})
        configuredPorts.Add(*port);
    RefreshComPortNames(configuredPorts);
    GetComPortNames(choices.ports);
    // The spin editor is one of the additional editors; registering twice is harmless.
    wxPropertyGrid::RegisterAdditionalEditors();

    wxPropertyGrid& grid = *m_settingsGrid;
    const bool wasFrozen = grid.IsFrozen();
    if (!wasFrozen) grid.Freeze();
    // The user's place survives the rebuild: the categories they opened or closed, the
    // scroll and the row they were on.
    std::vector<std::pair<wxString, bool>> categories;
    for (wxPropertyGridIterator it = grid.GetIterator(wxPG_ITERATE_CATEGORIES); !it.AtEnd(); ++it)
        categories.emplace_back((*it)->GetName(), (*it)->IsExpanded());
    const int placeStates = wxPropertyGrid::ScrollPosState | wxPropertyGrid::SelectionState;
    const wxString place = grid.SaveEditableState(placeStates);
    grid.Clear();
    CGridBuilder b(grid, devicesOpen);

    AddDeviceRows(b, *this, choices);
    AddFileRows(b, *this, choices);
    AddServerRows(b, *this, choices);
    AddTriggerRows(b, *this, choices);
    b.Finish();
    for (const auto& [name, isExpanded] : categories) {
        if (!grid.GetPropertyByName(name)) continue;  // gone with the expert mode
        if (isExpanded)
            grid.Expand(name);
        else
            grid.Collapse(name);
    }

    const wxColour yellow(255, 255, 155);
    const wxColour cream(255, 255, 200);
    for (const char* name : {"WII", "OSC"}) grid.SetPropertyBackgroundColour(name, yellow);
    for (const char* name : {"GENERAL", "VRPN"}) grid.SetPropertyBackgroundColour(name, cream);
    grid.SetPropertyAttributeAll(wxPG_BOOL_USE_CHECKBOX, true);

    if (!categories.empty()) grid.RestoreEditableState(place, placeStates);
    // Only our own freeze is undone: a caller's must stay balanced.
    if (!wasFrozen) grid.Thaw();
}
