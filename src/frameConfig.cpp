#include <wx/aui/aui.h>  // the dock manager and its art provider
#include <wx/display.h>
#include <wx/fileconf.h>
#include <wx/filename.h>
#include <wx/intl.h>
#include <wx/log.h>
#include <wx/utils.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "DravonetMain.h"
#include "analog/recordFormat.h"
#include "configKeys.h"
#include "configPlacement.h"
#include "frameSettingsTable.h"
#include "network/oscServer.h"
#include "process/trackerWorker.h"
#include "settingsFile.h"

namespace {

// Display interval accepted from the file: 0 would spin the display timer and a
// negative one is no interval at all.
constexpr long kMinDisplayIntervalMs = 1;
constexpr long kMaxDisplayIntervalMs = 1000;
// Time the OSC data server is given after starting, before clients are added.
constexpr unsigned long kOscStartSettleMs = 200;

// Sets the group path back when an operation ends, however it ends.
class CPathKeeper {
public:
    explicit CPathKeeper(wxConfigBase& config) : m_config(config), m_path(config.GetPath()) {}
    ~CPathKeeper() { m_config.SetPath(m_path); }
    CPathKeeper(const CPathKeeper&) = delete;
    CPathKeeper& operator=(const CPathKeeper&) = delete;

private:
    wxConfigBase& m_config;
    wxString m_path;
};

long ReadLongOr(const wxConfigBase& config, const char* key, long fallback)
{
    long value = fallback;
    if (!config.Read(key, &value) || value < INT_MIN || value > INT_MAX) return fallback;
    return value;
}

// Gathers what the toolkit says about the lines of the file while it is parsed (one
// message each), so that a damaged file is reported once, in one summary.
class CParseComplaints : public wxLog {
public:
    CParseComplaints() : m_previous(wxLog::SetActiveTarget(this)) {}
    ~CParseComplaints() override { wxLog::SetActiveTarget(m_previous); }
    CParseComplaints(const CParseComplaints&) = delete;
    CParseComplaints& operator=(const CParseComplaints&) = delete;
    std::vector<wxString> texts;

protected:
    void DoLogTextAtLevel(wxLogLevel, const wxString& msg) override { texts.push_back(msg); }

private:
    wxLog* m_previous;
};

struct TriggerLevels {
    double high;
    double low;
};

// A trigger starts at its high level and stops at its low one: a high level not above
// the low one would start and stop a trial at once. Both defaults are used then.
void CheckTriggerLevels(const char* highKey, const char* lowKey, double& high, double& low,
                        const TriggerLevels& defaults, std::vector<wxString>& notes)
{
    if (high > low) return;
    notes.push_back(wxString::Format("%s = %s is not above %s = %s: %s and %s are used", highKey,
                                     wxString::FromCDouble(high), lowKey, wxString::FromCDouble(low),
                                     wxString::FromCDouble(defaults.high),
                                     wxString::FromCDouble(defaults.low)));
    high = defaults.high;
    low = defaults.low;
}

std::vector<wxString> ToVector(const wxArrayString& texts)
{
    return std::vector<wxString>(texts.begin(), texts.end());
}

}  // namespace

std::vector<ConfigVar> FrameConfigVars(TrackerFrame& f, SharedSettings& s)
{
    using R = ConfigIntRule;
    // A value the program would not use as written keeps the default, said at start.
    const R kPort = R::Keep(kMinPortNumber, kMaxPortNumber);
    const R kPriority = R::Keep(0, 2);  // below normal, normal, highest
    return {
        {kKeyExpertMode, &f.m_expertMode, {}},
        {kKeyUseCore, &f.m_useCore, {}},
        {kKeyDeviceTimer, &f.m_useDayTimer, {}},
        {kKeyDeviceGenTimer, &f.m_genTimer, {}},
        {kKeyDeviceClockDelay, &f.m_useClockDelay, {}},
        {kKeyDeviceWorkerPriority, &f.m_workerPriority, kPriority},
        {kKeyDeviceShowDelta, &f.m_showDelta, {}},
        {kKeyDeviceEps, &f.m_deviceEps, R::Keep(0, 1000, "us")},
        {kKeyWiiTimeOut, &f.m_wiiTimeOut, R::Replace(1, INT_MAX, 1, "s")},
        {kKeyWiiCheck, &f.m_wiiCheck, {}},
        {kKeyWiiRemove, &f.m_wiiRemove, {}},
        {kKeyWiiSetBoard, &f.m_wiiSetBoard, {}},
        {kKeyWiiMaxDevices, &f.m_wiiMaxDevices, R::Replace(1, 4, 1)},
        {kKeyWiiUseMulti, &f.m_wiiUseMulti, {}},
        {kKeyViewUseGlCanvas, &f.m_useGlCanvas, {}},
        {kKeyViewDisplayInterval, &f.m_displayIntervalMs,
         R::Keep(kMinDisplayIntervalMs, kMaxDisplayIntervalMs, "ms")},
        {kKeyCaptureQueueDepth, &f.m_captureQueueDepth,
         R::Clamp(kMinCaptureQueueDepth, kMaxCaptureQueueDepth, "frames")},
        {kKeyCaptureUseThread, &f.m_captureUseThread, {}},
        {kKeyCapturePriority, &f.m_capturePriority, kPriority},
        {kKeyCaptureMaxTime, &f.m_captureMaxTime, R::Keep(0, INT_MAX, "s")},
        {kKeyCapturePreTime, &f.m_capturePreTime, R::Keep(0, kMaxCountdownSec, "s")},
        {kKeyCaptureSound, &f.m_captureSound, {}},
        {kKeyCaptureSoundName, &f.m_captureSoundName, {}},
        {kKeyCaptureAutoFile, &f.m_captureAutoFile, {}},
        {kKeyCaptureExportAnalog, &f.m_exportAnalog, {}},
        {kKeyUseTextHeader, &s.useTextHeader, {}},
        {kKeyUseTextTime, &s.useTextTime, {}},
        {kKeyCaptureExportPath, &f.m_exportPath, {}},
        {kKeyCaptureCapturePath, &f.m_capturePath, {}},
        {kKeySatelComPort, &f.m_satelComPort, {}},
        {kKeySatelRate, &f.m_satelRate, R::Keep(0, 3)},  // 5, 10, 20, 40 Hz
        {kKeyFobComPort, &f.m_fobComPort, {}},
        {kKeyFobSleep, &f.m_fobSleep, R::Keep(0, 9999, "ms")},
        {kKeyFobHemisphere, &f.m_fobHemisphere, R::Keep(0, 5)},
        {kKeyFobSpeed, &f.m_fobSpeed, {}},
        {kKeyFobRange, &f.m_fobRange, {}},
        {kKeyCameraWidth, &f.m_cameraWidth, R::Replace(100, 4000, 1000)},
        {kKeyCameraHeight, &f.m_cameraHeight, R::Replace(100, 4000, 1000)},
        {kKeyCameraRate, &f.m_cameraRate, R::Replace(1, 1000, 60)},
        {kKeyTriggerUsbSpeed, &f.m_triggerSpeed, {}},
        {kKeyTriggerUsbPort, &f.m_triggerPort, {}},
        {kKeyTriggerUsbUse, &f.m_triggerUse, {}},
        {kKeyTriggerThresholdHigh, &f.m_triggerThresholdHigh, {}},
        {kKeyTriggerThresholdLow, &f.m_triggerThresholdLow, {}},
        {kKeyTriggerLoop, &f.m_triggerLoop, {}},
        // A negative time-out would become an endless wait on the serial line.
        {kKeyTriggerTimeOut, &f.m_triggerTimeOut, R::Replace(0, INT_MAX, 0, "ms")},
        {kKeyVrpnSyncOutUse, &f.m_vrpnSyncOutUse, {}},
        {kKeyVrpnSyncButton, &f.m_vrpnSyncButton, R::Replace(0, INT_MAX, 0)},
        {kKeyVrpnUse, &f.m_useVrpn, {}},
        {kKeyVrpnListeningPort, &s.vrpnListeningPort, kPort},
        {kKeyVrpnServerName, &f.m_vrpnServerName, {}},
        {kOscKeySyncAddress, &s.trigger.address, {}},
        {kOscKeySyncInPort, &s.trigger.inPort, kPort},
        {kOscKeySyncOutPort, &s.trigger.outPort, kPort},
        {kOscKeySyncServerName, &s.trigger.serverName, {}},
        {kOscKeySyncUse, &s.trigger.use, {}},
        {kOscKeySyncHighValue, &s.trigger.highValue, {}},
        {kOscKeySyncLowValue, &s.trigger.lowValue, {}},
        {kKeyOscUseServer, &f.m_useOscServer, {}},
        {kKeyOscListeningPort, &f.m_oscListeningPort, kPort},
        {kKeyOscSendingPort, &f.m_oscSendingPort, kPort},
        {kOscKeyUseDouble, &s.server.useDouble, {}},
        {kOscKeyTimeout, &s.server.timeoutMs, R::Keep(1, 500, "ms")},
        {kOscKeySendToLocal, &s.server.sendToLocal, {}},
        {kOscKeyServerSendTime, &s.server.serverSendTime, {}},
        {kOscKeyClientServerName, &s.client.serverName, {}},
        {kOscKeyClientBroadcastPort, &s.client.broadcastPort, kPort},
        {kOscKeyClientListeningPort, &s.client.listeningPort, kPort},
        {kOscKeyClientAddress, &s.client.address, {}},
        {kOscKeyClientDataPattern, &s.client.dataPattern, {}},
        {kOscKeyClientConnect, &s.client.connectPattern, {}},
        {kOscKeyClientDisconnect, &s.client.disconnectPattern, {}},
        {kOscKeyClientLoadConfig, &s.client.loadConfig, {}},
        {kOscKeyTrackerServerName, &s.server.trackerServerName, {}},
        {kOscKeyConnectPattern, &s.server.connectPattern, {}},
        {kOscKeyDisconnectPattern, &s.server.disconnectPattern, {}},
        {kOscKeyRequestPattern, &s.server.requestPattern, {}},
        {kOscKeyServerConnected, &s.server.serverConnected, {}},
        {kOscKeyServerRemoved, &s.server.serverRemoved, {}},
        {kOscKeyServerDataTag, &s.server.serverDataTag, {}},
        {kOscKeyServerEventTag, &s.server.serverEventTag, {}},
        {kOscKeyClientMaxTimeout, &s.client.maxTimeoutMs, R::Keep(0, INT_MAX, "ms")},
        {kOscKeyClientMinTimeout, &s.client.minTimeoutMs, R::Keep(0, INT_MAX, "ms")},
    };
}

std::unique_ptr<wxFileConfig> TrackerFrame::OpenConfig(bool mustExist)
{
    // Always '/' before the file name, whatever the platform's separator.
    const wxString path = m_configDir + "/" + kConfigAppName + ".cfg";
    // A save cut short (a kill, a power cut) may have left the settings in its temporary
    // file: taken when whole, before anything reads the file; a loss is said.
    if (!m_configRecoveryDone) {
        m_configRecoveryDone = true;
        std::string note;
        if (RecoverSettingsFile(path.utf8_string(), note) != SettingsRecovery::kNothing)
            SetErrorMessage(wxString::FromUTF8(note), false);
    }
    // Anything at the path counts: a folder there is no file either.
    const bool exists = wxFileName::Exists(path, wxFILE_EXISTS_ANY);
    if (mustExist && !exists) return nullptr;
    // A file we cannot read would be replaced by defaults when the object is
    // deleted: leave it alone and say so once.
    if (exists && (!wxFileName::FileExists(path) || !wxFileName::IsFileReadable(path))) {
        if (!m_configUnreadableReported) {
            m_configUnreadableReported = true;
            SetErrorMessage(wxString::Format(_("Cannot read configuration file %s: settings are "
                                               "neither loaded nor saved.\n"),
                                             path),
                            false);
        }
        return nullptr;
    }
    std::vector<wxString> complaints;
    std::unique_ptr<wxFileConfig> config;
    {
        CParseComplaints parse;
        config = std::make_unique<CSettingsFile>(kConfigAppName, kConfigVendorName, path);
        complaints.swap(parse.texts);
    }
    // The file is read again for every device and at exit: said once, not per line.
    if (!complaints.empty() && !m_configDamageReported) {
        m_configDamageReported = true;
        const int lines = static_cast<int>(complaints.size());
        SetErrorMessage(wxString::Format(_("Configuration file %s is damaged: %d line(s) were "
                                           "ignored, the other settings are used (first: %s).\n"),
                                         path, lines, complaints.front()),
                        false);
    }
    return config;
}

void TrackerFrame::SetConfigDefaults()
{
    m_expertMode = false;
    m_useCore = false;
    m_useDayTimer = false;
    m_genTimer = true;
    m_useClockDelay = CTrackerWorker::kDefaultClockDelay;
    m_workerPriority = 2;
    m_showDelta = true;
    m_deviceEps = 0.05;
    m_wiiTimeOut = 3;
    m_wiiCheck = false;
    m_wiiRemove = true;
    m_wiiSetBoard = false;
    m_wiiMaxDevices = 1;
    m_wiiUseMulti = false;
    m_useGlCanvas = true;
    m_displayIntervalMs = 40;
    m_captureQueueDepth = 100;
    m_captureUseThread = true;
    m_capturePriority = 1;
    m_captureMaxTime = 0.0;
    m_capturePreTime = 0.0;
    m_captureSound = false;
    m_captureAutoFile = true;
    m_exportAnalog = true;
    m_satelComPort = "com1";
    m_satelRate = 3;
    m_fobComPort = "com1";
    m_fobSleep = 500;
    m_fobHemisphere = 5;
    m_fobSpeed = 115200;
    m_fobRange = 36.0f;
    m_cameraWidth = 1000;
    m_cameraHeight = 1000;
    m_cameraRate = 60;
    m_triggerSpeed = 115200;
    m_triggerPort = "com1";
    m_triggerUse = false;
    m_triggerThresholdHigh = 4.0;
    m_triggerThresholdLow = 1.0;
    m_triggerLoop = false;
    m_triggerTimeOut = 0;
    m_vrpnSyncOutUse = false;
    m_vrpnSyncButton = 0;
    m_useVrpn = false;
    m_vrpnServerName = kConfigAppName;
    m_vrpnServerList.Clear();
    m_useOscServer = false;
    m_oscListeningPort = 32000;
    m_oscSendingPort = 12000;
    // The process-wide settings start from their built-in values too: a frame made
    // again in the same process must not inherit what the last one loaded.
    SharedSettings().Publish();
}

void TrackerFrame::LoadConfig()
{
    std::unique_ptr<wxFileConfig> config = OpenConfig(true);
    if (!config) return;
    {
        CPathKeeper keeper(*config);
        wxString version = kConfigVersion;
        if (!config->Read(kKeyVersion, &version))
            SetErrorMessage(_(" Configuration file error  (use default values)!\n"), false);

        SharedSettings shared = SharedSettings::Fetch();
        const std::vector<ConfigVar> vars = FrameConfigVars(*this, shared);
        // Only this key has another default when the file exists.
        m_showDelta = false;
        const TriggerLevels serialDefaults{m_triggerThresholdHigh, m_triggerThresholdLow};
        const TriggerLevels oscDefaults{shared.trigger.highValue, shared.trigger.lowValue};
        // Each value the program does not use as written is said once, here.
        std::vector<wxString> notes;
        for (const char* group : {"/Application/", "/Device/", "/View/", "/SATEL/", "/FOB/",
                                  "/CAM/", "/Trigger/", "/WII/"})
            ReadConfigGroup(*config, vars, group, &notes);
        const wxString soundName = m_captureSoundName;  // never read back
        ReadConfigGroup(*config, vars, "/Capture/", &notes);
        m_captureSoundName = soundName;
        ReadConfigGroup(*config, vars, "/VRPN_SYNC/", &notes);
        ReadConfigGroup(*config, vars, "/VRPN/", &notes);
        m_vrpnServerList.Clear();
        for (const wxString& server :
             ReadConfigList(*config, kKeyVrpnServerCount, kKeyVrpnServerIdFormat))
            m_vrpnServerList.Add(server);
        ReadConfigGroup(*config, vars, "/OSC/", &notes);
        CheckTriggerLevels(kKeyTriggerThresholdHigh, kKeyTriggerThresholdLow,
                           m_triggerThresholdHigh, m_triggerThresholdLow, serialDefaults, notes);
        CheckTriggerLevels(kOscKeySyncHighValue, kOscKeySyncLowValue, shared.trigger.highValue,
                           shared.trigger.lowValue, oscDefaults, notes);
        for (const wxString& note : notes) SetErrorMessage(note + "\n", false);
        // The server starts with the texts and flags just read.
        shared.Publish();
        LoadOscClients(*config);
        if (!m_useOscServer) CloseOscServer();

        LoadFolders();
        if (version == kConfigVersion) {
            const wxString current = PerspectiveToConfig(m_auiManager.SavePerspective());
            wxString stored = current;
            config->Read(kKeyViewPerspective, &stored, current);
            m_auiManager.LoadPerspective(PerspectiveFromConfig(stored), true);
            m_auiManager.Update();
            FitToolbars();  // stored on a wider screen, perhaps
        }
    }
}

void TrackerFrame::LoadOscClients(wxFileConfig& config)
{
    const std::vector<wxString> entries =
        ReadConfigEntries(config, kOscKeyClientCount, kOscKeyClientFormat);
    OscServerClearClients();
    if (entries.empty()) return;
    if (!IsOscServerConnected()) {
        StartOscServer(m_oscListeningPort, m_oscSendingPort);
        wxMilliSleep(kOscStartSettleMs);
    }
    for (const wxString& entry : entries) {
        // Host names go to the resolver as UTF-8, as the client command sends them.
        std::string reason;
        if (OscServerAddClient(entry.utf8_string(), &reason)) continue;
        // An entry left out is said: data would otherwise stop reaching that client unseen.
        SetErrorMessage(wxString::Format(_("Error adding OSC client %s (%s)\n"), entry,
                                         wxString::FromUTF8(reason)),
                        false);
    }
}

void TrackerFrame::LoadFolders()
{
    // The user learns where the files go now: a recording looked for in the old
    // folder would seem lost.
    const auto replaceMissing = [this](wxString& folder, const wxString& name,
                                       const wxString& format) {
        if (wxFileName::DirExists(folder)) return;
        const wxString fallback = m_configDir + wxFileName::GetPathSeparator() + name;
        if (!wxFileName::DirExists(fallback) && !wxFileName::Mkdir(fallback, 0777)) return;
        AppendMessage(wxString::Format(format, folder, fallback));
        folder = fallback;
    };
    replaceMissing(m_capturePath, _("Capture"),
                   _("The capture folder %s does not exist: recordings go to %s\n"));
    replaceMissing(m_exportPath, _("Export"),
                   _("The export folder %s does not exist: text exports go to %s\n"));
}

void TrackerFrame::SaveConfig()
{
    std::unique_ptr<wxFileConfig> config = OpenConfig(false);
    if (!config) return;
    CPathKeeper keeper(*config);
    config->Write(kKeyVersion, wxString(kConfigVersion));
    SharedSettings shared = SharedSettings::Fetch();
    for (const ConfigVar& var : FrameConfigVars(*this, shared)) {
        WriteConfigVar(*config, var);
        // The two lists go where their keys stand in the file's order.
        if (std::strcmp(var.key, kKeyVrpnServerName) == 0)
            WriteConfigList(*config, kKeyVrpnServerCount, kKeyVrpnServerIdFormat,
                            ToVector(m_vrpnServerList));
        if (std::strcmp(var.key, kOscKeyServerSendTime) == 0) {
            std::vector<wxString> clients;
            for (size_t i = 0; i < OscServerGetClientCount(); ++i)
                clients.push_back(wxString::FromUTF8(OscServerGetClient(i)));
            WriteConfigList(*config, kOscKeyClientCount, kOscKeyClientFormat, clients);
        }
    }
    config->Write(kKeyViewPerspective, PerspectiveToConfig(m_auiManager.SavePerspective()));
}

void TrackerFrame::SaveWindowPlacement()
{
    std::unique_ptr<wxFileConfig> config = OpenConfig(false);
    if (!config) return;
    CPathKeeper keeper(*config);
    config->SetPath(kGroupMainFrame);
    config->Write(kKeyFrameDisplayCount, static_cast<long>(wxDisplay::GetCount()));
    config->Write(kKeyFrameDisplayId, static_cast<long>(wxDisplay::GetFromWindow(this)));
    // A minimised frame has no placement worth keeping: the last one stays.
    if (IsIconized()) return;
    const wxPoint position = GetPosition();
    const wxSize client = GetClientSize();
    config->Write(kKeyFrameX, static_cast<long>(position.x));
    config->Write(kKeyFrameY, static_cast<long>(position.y));
    config->Write(kKeyFrameW, static_cast<long>(client.x));
    config->Write(kKeyFrameH, static_cast<long>(client.y));
    config->Write(kKeyFrameMaximized, IsMaximized() ? 1L : 0L);
}

void TrackerFrame::LoadWindowPlacement()
{
    std::unique_ptr<wxFileConfig> config = OpenConfig(true);
    std::vector<ScreenRect> displays;
    for (unsigned i = 0; i < wxDisplay::GetCount(); ++i) {
        const wxRect area = wxDisplay(i).GetGeometry();
        displays.push_back({area.x, area.y, area.width, area.height});
    }
    WindowPlacement stored;
    bool isStored = false;
    if (config) {
        CPathKeeper keeper(*config);
        config->SetPath(kGroupMainFrame);
        isStored = config->HasEntry(kKeyFrameX) || config->HasEntry(kKeyFrameY) ||
                   config->HasEntry(kKeyFrameW) || config->HasEntry(kKeyFrameH);
        stored.x = ReadLongOr(*config, kKeyFrameX, stored.x);
        stored.y = ReadLongOr(*config, kKeyFrameY, stored.y);
        stored.width = ReadLongOr(*config, kKeyFrameW, stored.width);
        stored.height = ReadLongOr(*config, kKeyFrameH, stored.height);
        stored.maximized = ReadLongOr(*config, kKeyFrameMaximized, 1) == 1;
    }
    WindowPlacement fit;
    if (isStored) {
        fit = FitWindowPlacement(stored, displays, GetSize().x);
    } else {
        // First start: room for every toolbar. A file without the group opens maximised,
        // as it always did.
        fit = FirstStartPlacement(displays);
        fit.maximized = config && stored.maximized;
    }
    Move(fit.x, fit.y);
    SetClientSize(fit.width, fit.height);
    // The layout that "reset" returns to is the first start's, rows included.
    if (!isStored && WrapToolbarRows(GetClientSize().x) && m_perspectives.GetCount() == 1)
        m_perspectives[0] = m_auiManager.SavePerspective();
    if (fit.maximized) Maximize();
}

bool TrackerFrame::WrapToolbarRows(int width)
{
    // The toolbars of the top dock, in the order they stand (row, then place).
    struct Bar {
        wxAuiPaneInfo* pane;
        int width;
    };
    std::vector<Bar> bars;
    wxAuiPaneInfoArray& panes = m_auiManager.GetAllPanes();
    const int border = m_auiManager.GetArtProvider()->GetMetric(wxAUI_DOCKART_PANE_BORDER_SIZE);
    for (size_t i = 0; i < panes.GetCount(); ++i) {
        wxAuiPaneInfo& pane = panes[i];
        if (!pane.IsToolbar() || !pane.window || !pane.IsShown() || !pane.IsDocked() ||
            pane.dock_direction != wxAUI_DOCK_TOP)
            continue;
        bars.push_back({&pane, pane.window->GetBestSize().x + 2 * border});
    }
    std::stable_sort(bars.begin(), bars.end(), [](const Bar& a, const Bar& b) {
        return a.pane->dock_row != b.pane->dock_row ? a.pane->dock_row < b.pane->dock_row
                                                    : a.pane->dock_pos < b.pane->dock_pos;
    });
    std::vector<int> widths;
    for (const Bar& bar : bars) widths.push_back(bar.width);
    const std::vector<int> rows = ArrangeToolbarRows(widths, width);
    bool isMoved = false;
    int position = 0;
    for (size_t i = 0; i < bars.size(); ++i) {
        position = i > 0 && rows[i] == rows[i - 1] ? position + 1 : 0;
        wxAuiPaneInfo& pane = *bars[i].pane;
        if (pane.dock_row == rows[i] && pane.dock_pos == position) continue;
        pane.Row(rows[i]).Position(position);
        isMoved = true;
    }
    return isMoved;
}

void TrackerFrame::FitToolbars()
{
    if (WrapToolbarRows(GetClientSize().x)) m_auiManager.Update();
}
