#pragma once

#include "GLcanvas/analog3DView.h"
#include "coveredPaintFilter.h"
#include "process/deviceOwner.h"

#include <wx/arrstr.h>
#include <wx/aui/framemanager.h>
#include <wx/frame.h>
#include <wx/string.h>
#include <wx/timer.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <cstdio>  // std::FILE
#include <streambuf>
#include <vector>

class CAnalogDevice;
class CAnalogView;
class CAnalog3DView;
class CVideoView;
class CVrpnDevice;
class CSerialTrigger;
class CTriggerCrossings;
class CStreamCapture;
class wxAuiNotebook;
class wxAuiNotebookEvent;
class wxAuiToolBar;
class wxCheckBoxComboPopup;
class wxComboBox;
class wxComboCtrl;
class wxFileConfig;
class wxKeyEvent;
class wxListCtrl;
class wxMenu;
class wxNotificationMessage;
class wxPropertyGrid;
class wxPropertyGridEvent;
class wxSound;
class wxTextCtrl;

// Command ids shared by menu items and toolbar tools: one id, one handler, one
// update-UI rule for both.
enum : int {
    ID_VIEW_RESTORE = 6012,
    ID_VIEW_SETTINGS = 6013,
    ID_VIEW_CAPTURE = 6014,
    ID_VIEW_INFORMATION = 6015,
    ID_CLEAR_MESSAGES = 6016,
    ID_OPEN_TEST = 6017,
    ID_OPEN_TEST_3D = 6018,
    ID_PAIR_WII = 6019,
    ID_OPEN_WII = 6020,
    ID_FIND_WII = 6021,
    ID_OPEN_VRPN_ANALOG = 6022,
    ID_OPEN_VRPN_TRACKER = 6023,
    ID_OPEN_OSC = 6024,
    ID_OPEN_SATEL = 6025,
    ID_OPEN_FOB = 6026,
    ID_OPEN_FILE = 6027,
    ID_OPEN_CAMERA = 6028,
    ID_CAPTURE_CREATE = 6030,
    ID_CAPTURE_CLOSE = 6031,
    ID_CAPTURE_DELETE_LAST = 6032,
    ID_CAPTURE_NEXT = 6033,
    ID_CAPTURE_START = 6034,
    ID_CAPTURE_STOP = 6035,
    ID_CAPTURE_TOGGLE = 6036,
    ID_CAPTURE_CLEAR_LIST = 6037,
    ID_DEVICE_START_STOP = 6039,
    ID_DEVICE_RESET = 6040,
    ID_DEVICE_OFFSET = 6041,
    ID_OSC_ADD_CLIENT = 6042,
    ID_OSC_REMOVE_CLIENT = 6043,
    ID_VIEW_ADD = 6044,
    ID_VIEW_ADD_3D = 6045,
};

// Window ids of the frame's fixed controls. The main notebook, the settings grid and
// the display timer share 1001; the event table tells them apart by event type.
enum : int {
    ID_MAIN_BOOK = 1001,
    ID_SETTINGS_GRID = 1001,
    ID_DISPLAY_TIMER = 1001,
    ID_VIEW_GRID = 1002,
    ID_ELAPSED_TEXT = 1112,
    ID_TIME_TEXT = 1113,
    ID_GRAPH_COMBO = 1115,
    ID_CHANNEL_LIST = 1116,
    ID_FILE_LIST = 1122,
};

// "/SATEL/m_satel_rate" (an index of the settings grid's choices) as a sampling
// period in milliseconds: 200, 100, 50, otherwise 25.
int SatelPeriodMs(int rateIndex);

// Device kind (CAnalogDevice::GetDeviceType) that a device-opening command opens;
// -1 for a command that opens no device.
int DeviceKindOfCommand(int commandId);

// Process-wide state of the main frame. GUI thread only.
extern CSerialTrigger g_serialTrigger;  // the one serial voltage trigger
extern bool g_waiting_for_trigger;      // "Start capture" waits: idle reads no trigger
extern int g_vrpn_sync_state;           // VRPN synchronisation button, 1 during a capture
extern int g_camera_count;              // cameras found after the frame was shown

// The main window: owns the panes, grids, toolbars, the open devices (through the
// pages of "MAINBOOK") and the capture workflow. Everything here runs in the GUI
// thread except the CDeviceOwner entry points, which say otherwise.
class TrackerFrame : public wxFrame, public CDeviceOwner, public CView3DOwner {
public:
    explicit TrackerFrame(wxWindow* parent);
    ~TrackerFrame() override;

    // ---- frame: DravonetMain.cpp, frameMessages.cpp, frameMenus.cpp, frameToolbars.cpp,
    //      frameIdle.cpp, aboutBox.cpp ----

    // Post-show start-up: cameras, OSC server, OSC and serial triggers, deferred work.
    void InitAfterShow();
    // (Re)starts the OSC data server with its configured clients.
    void RestartOscServer();
    // Open-device limit: processors - 1 with more than two processors, else 1.
    int GetMaxDeviceCount();
    // Processor count used for the device limit and core pinning; 0 restores the
    // machine's. Lets tests stand in for another machine.
    static void SetProcessorCountOverride(int count);
    static int GetProcessorCountInUse();
    // Whether a frame built from now on also takes over the C streams stdout and
    // stderr (printf, fputs) besides std::cout and std::cerr. Off until the
    // application turns it on, so that a test program keeps its own report.
    static void SetCaptureCStreams(bool capture);

    // CDeviceOwner. SetErrorMessage: any thread (other threads' text is handed over
    // to the GUI thread). AppendMessage: any thread, likewise.
    void SetErrorMessage(const wxString& text, bool log) override;
    void AppendMessage(const wxString& text) override;
    // Any thread: raises the stop request and wakes the idle handler.
    void RequestCaptureStop() override;

    // Text written to std::cout / std::cerr and not yet on the pages is moved there.
    void FlushStreams();

    void UpdateTitle();
    void UpdateStartStopTool();
    void UpdateDeviceTools(CAnalogDevice* device);
    void ShowNotification(const wxString& title, const wxString& message, int flags);
    void ScrollMessagesToEnd();
    void ApplyExpertMode();
    // The time read-out's tool tip names what it shows (trigger, variability, clock).
    void UpdateTimeTextToolTip();

    // ---- settings: frameConfig.cpp, frameSettingsGrid.cpp, frameSettingsChange.cpp ----

    // A new configuration object for one operation (deleting it writes the file);
    // null when mustExist and there is no file yet.
    std::unique_ptr<wxFileConfig> OpenConfig(bool mustExist);
    void LoadConfig();
    void SaveConfig();
    void LoadWindowPlacement();
    // The toolbars of the top dock in as many rows as width needs, in the order
    // they stand; true when one moved (the dock manager's update is the caller's).
    bool WrapToolbarRows(int width);
    // Wraps the toolbars for the window's width now and lays the panes out again.
    void FitToolbars();
    void SaveWindowPlacement();
    void BuildSettingsGrid();

    // ---- views: frameViews.cpp, frameViewGrid.cpp, frameViewGridChange.cpp ----

    CAnalogDevice* GetCurrentDevice();
    CAnalogView* GetCurrentAnalogView();
    CAnalog3DView* GetCurrent3DView();
    CVideoView* GetCurrentVideoView();
    CAnalogView* GetFirstAnalogView();
    CAnalog3DView* GetFirst3DView();
    int GetViewCount();
    void ClearViewSelection();
    void SelectView(CAnalog3DView* view) override;
    void SelectAnalogView(CAnalogView* view);
    void Select3DView(CAnalog3DView* view);
    void SplitMainBook();
    void AddCurrentDeviceToVrpn();
    void ApplyChannelSelection();
    // The channel pop-up shows the current device's channels as they are now.
    void RefreshChannelPopup();
    void UpdateViewGrid();

    // ---- capture: frameFileList.cpp, frameCaptureSet.cpp, frameCaptureRun.cpp ----

    void ResetFileList();
    bool AddFileListRow(const wxString& path, int frames, double seconds);
    // The rows of videos whose end was written in the background, as their files are now.
    void UpdateFinishedVideoRows();
    // Quitting: waits for the videos whose end is still being written, showing it.
    void WaitForVideoEnds();
    wxString SelectRecordingFile();
    bool CheckCaptureFile();
    bool CreateCaptureFiles();
    int DeleteTrialFiles();
    void CloseCaptureFiles();
    void StopCapture();
    // A stop by the user: waits (briefly) until every recording has its first frames.
    void StopCaptureByHand();
    bool OpenSerialTrigger();
    // What the trigger inputs' crossings did: nothing, a stop held until every
    // recording has its first frames, or the capture stopped.
    enum class TriggerAction { None, Held, Stopped };
    // Acts on the crossings of the trigger inputs in the order they came. Called
    // by the idle handler and the display timer.
    TriggerAction ActOnTriggerCrossings();

    // ---- devices: frameDevices.cpp, frameClose.cpp, frameOscClients.cpp,
    //      frameOpenCommands.cpp, frameWii.cpp ----

    // Non-owning: the devices of the "MAINBOOK" pages, in page order, each once.
    std::vector<CAnalogDevice*> GetDeviceList();
    int GetDeviceCount();
    bool IsDeviceNameFree(const wxString& devicePath);
    bool CanOpenDevice(int kind);
    bool RegisterDevice(CAnalogDevice* device, bool deleteOnFail);
    bool AddDeviceView(CAnalogDevice* device, bool deleteOnFail, bool loadConfig);
    bool AddDevice3DView(CAnalogDevice* device, bool deleteOnFail, bool loadConfig);
    // Plays a recording file as a device; a file it cannot play is reported
    // with its name and the reason.
    bool OpenRecordingFile(const wxString& path);
    bool CheckToQuitAll();
    // "Error starting OSC server." and its reason, on the Errors page and in a box.
    void SayOscServerFailure(const std::string& reason);
    // A stop signal (SIGTERM, SIGINT, SIGHUP): the trial stops as by "Stop capture" and
    // the frame closes as by its close box, without a question. A wait or a count-down
    // up ends first; inside any other nested loop the display timer tries again.
    void QuitOnSignal(int signal);
    // Routes the stop signals to QuitOnSignal of the frames there are when the GUI
    // thread takes them. False with the reason in error.
    static bool RouteStopSignals(std::string& error);
    bool CloseAnalogView(CAnalogView* view);
    bool Close3DView(CAnalog3DView* view);
    bool CheckToQuit(wxWindow* page);
    bool QuitDevice(CAnalogDevice* device);
    void OpenVrnpnDevice(bool tracker);
    bool SearchWiiDevices();
    // Cameras found (the first call probes); stored by the post-show start-up.
    static int CountCameras();
    // The newest "MAINBOOK" page takes the device's display name and information.
    void NameLastPage(CAnalogDevice* device);
    // Releases the Wii library; the frame's destruction calls it once.
    void ReleaseWiiLibrary();

private:
    // ---- frame ----
    void CreatePanes();
    void CreatePropertyGrids();
    void CreateMenus();
    void CreateToolBars();
    void InitStatusBar();
    void CreateConfigFolders();
    void RedirectStreams();
    void RestoreStreams();
    // Console text as written; an entry (a message, an error) on a line of its own.
    void AppendText(wxTextCtrl* page, const wxString& text);
    void AppendEntry(wxTextCtrl* page, const wxString& text);
    void DrainMessageQueue();
    void RefreshPages();
    void UpdateAnalogTimeInfo(CAnalogView* view);
    void Update3DTimeInfo(CAnalog3DView* view);
    void UpdateVideoTimeInfo(CVideoView* view);
    void UpdateTimeInfo(CAnalogDevice* device);
    void CheckCameraModified();
    void PollDevices();
    void FollowVrpnServer(CVrpnDevice& device);
    // The deferred work of handlers and other threads (device polls, grid rebuilds,
    // the stop request), from idle and from the display timer alike; true when a
    // stop was carried out.
    bool RunDeferredWork();

    void OnSize(wxSizeEvent& event);
    void OnTimer(wxTimerEvent& event);
    void OnIdle(wxIdleEvent& event);
    void OnClearMessages(wxCommandEvent& event);
    void OnToggleSettingsPane(wxCommandEvent& event);
    void OnToggleCapturePane(wxCommandEvent& event);
    void OnToggleInformationPane(wxCommandEvent& event);
    void OnUpdateOpenItems(wxUpdateUIEvent& event);
    void OnUpdatePaneItems(wxUpdateUIEvent& event);
    void OnUpdateCaptureItems(wxUpdateUIEvent& event);
    void OnUpdateDeviceItems(wxUpdateUIEvent& event);
    void OnStartStopDevice(wxCommandEvent& event);
    // F9, F10 and F11 whatever window has the focus.
    void OnCharHook(wxKeyEvent& event);
    void OnAbout(wxCommandEvent& event);

    // ---- settings ----
    void SetConfigDefaults();
    void OnCapturePropertyChange(wxPropertyGridEvent& event);

    // ---- views ----
    void OnRestoreStartupView(wxCommandEvent& event);
    void OnDeviceReset(wxCommandEvent& event);
    void OnDeviceOffset(wxCommandEvent& event);
    void OnAddView(wxCommandEvent& event);
    void OnAdd3DView(wxCommandEvent& event);
    void OnGraphTypeSelected(wxCommandEvent& event);
    void OnChannelListChecked(wxCommandEvent& event);
    void OnPageChanged(wxAuiNotebookEvent& event);
    void OnViewPropertyChange(wxPropertyGridEvent& event);

    // ---- capture ----
    void OnClearFileList(wxCommandEvent& event);
    void OnCreateCaptureFile(wxCommandEvent& event);
    void OnNextCapture(wxCommandEvent& event);
    void OnDeleteLastTrial(wxCommandEvent& event);
    void OnCloseCaptureFile(wxCommandEvent& event);
    void OnStartCapture(wxCommandEvent& event);
    void OnStopCapture(wxCommandEvent& event);
    void OnToggleCapture(wxCommandEvent& event);

    // ---- devices ----
    void OnClose(wxCloseEvent& event);
    void OnQuit(wxCommandEvent& event);
    void OnPageClose(wxAuiNotebookEvent& event);
    void OnDeviceAddOscClient(wxCommandEvent& event);
    void OnDeviceRemoveOscClient(wxCommandEvent& event);
    void OnOpenAnalogFile(wxCommandEvent& event);
    void OnOpenAnalogTestDevice(wxCommandEvent& event);
    void OnOpenAnalogTest3DDevice(wxCommandEvent& event);
    void OnOpenWIIDevice(wxCommandEvent& event);
    void OnOpenVrpnAnalog(wxCommandEvent& event);
    void OnOpenVrpnTracker(wxCommandEvent& event);
    void OnSatelDevice(wxCommandEvent& event);
    void OnFobDevice(wxCommandEvent& event);
    void OnOpenCamera(wxCommandEvent& event);
    void OnOpenOscDevice(wxCommandEvent& event);
    void OnFindWiiDevices(wxCommandEvent& event);
    void OnPairWIIDevice(wxCommandEvent& event);

public:
    // Shared state (members of the frame that several groups use). GUI thread only,
    // except as noted. The stop request of a recording is CDeviceOwner's atomic
    // (RequestCaptureStop / TakeCaptureStopRequest).
    wxAuiManager m_auiManager;
    wxAuiNotebook* m_mainBook = nullptr;
    wxAuiNotebook* m_settingsBook = nullptr;
    wxAuiNotebook* m_captureBook = nullptr;
    wxAuiNotebook* m_messageBook = nullptr;
    // Keep the dock managers from redrawing their decorations when only a 2D view
    // of the main book repaints (the frame's and the main book's own manager).
    std::unique_ptr<CoveredPaintFilter> m_framePaintFilter;
    std::unique_ptr<CoveredPaintFilter> m_bookPaintFilter;
    wxPropertyGrid* m_settingsGrid = nullptr;
    wxPropertyGrid* m_viewGrid = nullptr;
    wxListCtrl* m_fileList = nullptr;
    wxTextCtrl* m_messagesText = nullptr;
    wxTextCtrl* m_errorsText = nullptr;
    wxTextCtrl* m_timeText = nullptr;
    wxTextCtrl* m_elapsedText = nullptr;
    wxComboBox* m_graphCombo = nullptr;
    wxComboCtrl* m_channelCombo = nullptr;
    wxCheckBoxComboPopup* m_channelPopup = nullptr;  // owned by m_channelCombo
    wxAuiToolBar* m_deviceToolBar = nullptr;
    wxAuiToolBar* m_captureToolBar = nullptr;
    wxMenu* m_fileMenu = nullptr;  // owned by the menu bar
    std::streambuf* m_oldCoutBuffer = nullptr;
    std::streambuf* m_oldCerrBuffer = nullptr;
    wxTimer m_displayTimer;
    wxArrayString m_perspectives;  // entry 0: the default start-up layout
    wxString m_configDir;
    wxString m_capturePath;
    wxString m_exportPath;
    wxString m_captureName;  // empty: no capture set open
    int64_t m_trialIndex = 0;
    bool m_capturing = false;
    int m_startupCountdown = 0;
    bool m_rebuildSettingsGrid = false;
    bool m_inSettingChange = false;  // the settings grid's change handler runs
    bool m_rebuildViewGrid = false;
    bool m_quitting = false;
    bool m_captureAutoFile = true;  // "/Capture/Capture_auto_file"
    bool m_exportAnalog = true;     // "/Capture/extport_analog"
    int m_wiiFoundCount = 0;

    // ---- frame (own members) ----
private:
    // Buffers of std::cout and std::cerr while redirected; process-wide, they outlive
    // the frame so that a thread still inside a write never meets a freed buffer.
    CStreamCapture* m_coutCapture = nullptr;
    CStreamCapture* m_cerrCapture = nullptr;
    std::FILE* m_oldStdout = nullptr;  // the C streams before they were taken over
    std::FILE* m_oldStderr = nullptr;
    wxAuiToolBar* m_timeToolBar = nullptr;
    std::unique_ptr<wxNotificationMessage> m_notification;
    bool m_inDeferredWork = false;  // RunDeferredWork runs (a yield may re-enter)

    // ---- settings (configuration variables, keys of the configuration file) ----
public:
    bool m_expertMode = false;              // "/Application/expert_mode"
    bool m_useCore = false;                 // "/Application/use_core"
    bool m_useDayTimer = false;             // "/Device/timer"
    bool m_genTimer = true;                 // "/Device/gen_timer"
    bool m_useClockDelay = true;            // "/Device/use_clock_delay"
    int m_workerPriority = 2;               // "/Device/worker_priority"
    bool m_showDelta = true;                // "/Device/show_delta"
    double m_deviceEps = 0.05;              // "/Device/device_eps"
    int m_wiiTimeOut = 3;                   // "/WII/time_out"
    bool m_wiiCheck = false;                // "/WII/check"
    bool m_wiiRemove = true;                // "/WII/remove"
    bool m_wiiSetBoard = false;             // "/WII/set_wii_board"
    int m_wiiMaxDevices = 1;                // "/WII/max_devices"
    bool m_wiiUseMulti = false;             // "/WII/use_multi"
    bool m_useGlCanvas = true;              // "/View/use_gl_canvas"
    int64_t m_displayIntervalMs = 40;       // "/View/display_interval_ms"
    int m_captureQueueDepth = 100;          // "/Capture/Capture_queue_depth"
    bool m_captureUseThread = true;         // "/Capture/Capture_use_thread"
    int m_capturePriority = 1;              // "/Capture/Capture_priority"
    double m_captureMaxTime = 0.0;          // "/Capture/Capture_max_time"
    double m_capturePreTime = 0.0;          // "/Capture/Capture_pre_time"
    bool m_captureSound = false;            // "/Capture/Capture_sound"
    wxString m_captureSoundName;            // "/Capture/Capture_sound_name"
    wxString m_satelComPort = "com1";       // "/SATEL/m_satel_com_port"
    int m_satelRate = 3;                    // "/SATEL/m_satel_rate"
    wxString m_fobComPort = "com1";         // "/FOB/com_port"
    int m_fobSleep = 500;                   // "/FOB/sleep"
    int m_fobHemisphere = 5;                // "/FOB/hemisphre"
    int m_fobSpeed = 115200;                // "/FOB/speed"
    float m_fobRange = 36.0f;               // "/FOB/range"
    int m_cameraWidth = 1000;               // "/CAM/camera_width"
    int m_cameraHeight = 1000;              // "/CAM/camera_height"
    int m_cameraRate = 60;                  // "/CAM/camera_rate"
    int m_triggerSpeed = 115200;            // "/Trigger/usb_speed"
    wxString m_triggerPort = "com1";        // "/Trigger/usb_port"
    bool m_triggerUse = false;              // "/Trigger/usb_use"
    double m_triggerThresholdHigh = 4.0;    // "/Trigger/usb_threshold_high"
    double m_triggerThresholdLow = 1.0;     // "/Trigger/usb_threshold_low"
    bool m_triggerLoop = false;             // "/Trigger/loop"
    int m_triggerTimeOut = 0;               // "/Trigger/time_out"
    bool m_vrpnSyncOutUse = false;          // "/VRPN_SYNC/use"
    int m_vrpnSyncButton = 0;               // "/VRPN_SYNC/button"
    bool m_useVrpn = false;                 // "/VRPN/use_vrpn"
    wxString m_vrpnServerName = "Quorvane"; // "/VRPN/vrpn_server_name"
    wxArrayString m_vrpnServerList;         // "/VRPN/vrpn_server_count", "_id_%d"
    bool m_useOscServer = false;            // "/OSC/use_osc_server"
    int m_oscListeningPort = 32000;         // "/OSC/istening_port"
    int m_oscSendingPort = 12000;           // "/OSC/sending_port"
    // The process-wide settings of other subsystems (VRPN port, OSC server texts, OSC
    // client and trigger defaults, text export) live with their owners.

    // Shows the "You need to restart application" notice (a message box); tests
    // put their own in (null restores the box).
    static void SetRestartNotice(void (*notice)(const wxString& text));

private:
    // The immediate effect of a settings-grid change, after the value was stored.
    void ApplySettingEffect(const wxString& name, bool stored);
    // Restarts the VRPN server or the OSC trigger input with no device open; asks for
    // a restart of the application otherwise.
    void RestartOrAsk(bool vrpnServer);
    // Loading steps: the stored OSC clients (starting the server for them) and the
    // capture and export folders that no longer exist.
    void LoadOscClients(wxFileConfig& config);
    // Says when the stored writer queue depth was out of range and what is used.
    void LoadFolders();
    bool m_configUnreadableReported = false;  // an unreadable file is reported once
    bool m_configDamageReported = false;      // so is a file with lines the parser ignored
    bool m_configRecoveryDone = false;        // a save cut short is looked for once, at start

    // ---- views (own members) ----
    // The view grid's property names device's name and newName is that of another
    // open device.
    bool IsNameOfAnotherDevice(CAnalogDevice& device, const wxString& property,
                               const wxString& newName);
    // Fills the channel pop-up with the device's channels, its shown ones ticked.
    void FillChannelPopup(CAnalogDevice* device);
    // Adds a new view page of device, selected, captioned and split as a new view is.
    void AddViewPage(wxWindow* page, CAnalogDevice* device);
    // Identities only, never dereferenced: what the channel pop-up and the view
    // grid were last filled for, so that an edit never reaches another device.
    CAnalogDevice* m_channelPopupDevice = nullptr;
    wxWindow* m_viewGridPage = nullptr;
    CAnalogDevice* m_viewGridDevice = nullptr;

    // ---- capture (own members) ----
public:
    // Opens the capture set of that name for the open devices (the name dialog's
    // answer); false, with the set closed again, when no output could be opened.
    bool OpenCaptureSet(const wxString& name);
    // A device opened while the set is open gets its output for the current
    // trial, as the set's creation gives every device one; a failure is reported.
    void JoinCaptureSet(CAnalogDevice* device);
    // Test seams: the devices a capture acts on (by default GetDeviceList) and the
    // readings of the serial and OSC triggers (by default the process-wide inputs).
    using CaptureDeviceSource = std::function<std::vector<CAnalogDevice*>()>;
    using TriggerReader = std::function<bool(double& value)>;
    void SetCaptureDeviceSource(CaptureDeviceSource source);
    void SetTriggerReaders(TriggerReader serial, TriggerReader osc);
    // Program times trial's starting and stopping trigger came ({0, 0}: none known).
    std::pair<double, double> GetTrialTriggerTimes(int64_t trial) const
    {
        const auto found = m_trialTriggerTimes.find(trial);
        return found == m_trialTriggerTimes.end() ? std::pair{0.0, 0.0} : found->second;
    }

private:
    // A trial recorded in the open set: "Delete Last Trial" may take it back.
    struct RecordedTrial {
        int64_t trial = 0;
        std::vector<wxString> files;  // recordings and text exports
    };
    // Defined with the capture code, so that only it needs the sound header.
    struct SoundDeleter {
        void operator()(wxSound* sound) const;
    };
    std::vector<CAnalogDevice*> CaptureDevices();
    // A capture or export folder that does not exist is created when the user
    // agrees; false, with the reason shown, when it is still missing.
    bool EnsureCaptureFolder(const wxString& folder);
    // The outcome of a trigger wait; NotYet: no start had come and the wait was
    // not to be shown; Armed: the start came while the wait yielded, and the
    // recording started there.
    enum class TriggerStart { Fired, NotYet, Cancelled, Armed };
    // Waits for reader to give the start value (a loop's start that came already
    // fires without the dialog). shownValue: the input's live reading for the
    // dialog (null: the last one read). mayWait false: only a start already there.
    // quickReader: the same input read without waiting; crossings: its queue (null
    // for a test's reader).
    TriggerStart WaitForCaptureTrigger(const wxString& title, const wxString& format,
                                       const TriggerReader& reader,
                                       const TriggerReader& quickReader,
                                       CTriggerCrossings* crossings,
                                       std::function<double()> shownValue, double startValue,
                                       bool isRearm, bool mayWait, const wxString& notice);
    // A start met while the wait yields: the recording starts there (unless a
    // count-down is to follow).
    void ArmInWait(CTriggerCrossings* crossings);
    // The waits of "Start capture" on each trigger input. notice: said above the
    // wait's text. isRearm: a loop's next start.
    TriggerStart WaitForSerialTrigger(bool isRearm, bool mayWait, const wxString& notice);
    TriggerStart WaitForOscTrigger(bool isRearm, bool mayWait, const wxString& notice);
    // "Start capture": waits for the trigger, counts down and starts the devices.
    // mayWait false (a loop's next trial, right at its stop): starts only when its
    // start came already and nothing is to be asked or counted down; false then,
    // with the loop's start still pending, when it did not start.
    bool RunCaptureStart(bool mayWait);
    // Queues the loop's next "Start capture", which keeps the crossings come since.
    void QueueLoopStart();
    void StartCaptureDevices(double maxTimeSec);
    // Says on Messages how long after its trigger (crossingUs, program time) the trial
    // just armed started, when that is more than a frame of its fastest device.
    void SayLateStart(const std::vector<CAnalogDevice*>& devices,
                      const std::vector<CAnalogDevice*>& refused, double crossingUs);
    // The count-down before a capture; after a trigger, a stop value it reads ends
    // it with wxID_ABORT. Its modal result.
    int RunCaptureCountdown(const TriggerReader& stopReader);
    TriggerAction ActOnCrossings(CTriggerCrossings& crossings);
    // When the running trial began: its start trigger's time, else its start (us).
    double TrialStartUs() const;
    // Says, on the Errors page and logged, which trial ran while the serial trigger's
    // line was lost (once per loss); none when the lines read with the loss held the
    // trial's stop.
    void SayTrialWithoutTrigger(bool isStopHeard);
    // Says, on the Errors page and logged, how many crossings input dropped.
    void ReportTriggerOverflows(CTriggerCrossings& crossings, const wxString& input);
    bool HasEveryRecordingItsFirstFrames();
    // Names the devices that hold no output and would not be recorded, and asks
    // whether to start without them (No preselected); true to go on.
    bool ConfirmDevicesWithoutOutput();
    // At a capture start: opens the outputs the devices lack (the next trial's,
    // when a stop could not create them); false, with the reason said, when
    // none could be opened and nothing may start.
    bool CreateMissingTrialFiles();
    void SetCaptureTool(bool isCapturing);
    void PlayCaptureSound();
    void DeleteCaptureFiles(const std::vector<wxString>& files);
    // Asks before "Delete Last Trial" removes files (No preselected); true to go on.
    bool ConfirmDeleteLastTrial();
    void RemoveFileListRows(const std::vector<wxString>& files);

    std::vector<RecordedTrial> m_recordedTrials;  // of the open set, oldest first
    // A loop's next start is queued: the crossings that came since the stop are its.
    bool m_loopRearmPending = false;
    bool m_isStopping = false;      // StopCapture runs (its yields run idle passes)
    // A trigger wait runs: its progress dialog lives on the wait's stack as a child of
    // this frame, which must outlive it. A close meanwhile cancels the wait and follows it.
    bool m_isInTriggerWait = false;
    bool m_isTriggerWaitCancelled = false;
    bool m_isCloseAfterWait = false;
    int m_quitSignal = 0;  // the stop signal being acted on (0: none)
    // Nothing of ours is on the stack below this call: no wait, stop, yield or dialog.
    bool IsOutsideEveryLoop() const;
    double m_captureStartUs = 0.0;  // program time of the last capture start
    // Program time the trigger that started the coming capture came (0: none known).
    double m_startCrossingUs = 0.0;
    double m_startCountdownUs = 0.0;  // the count-down the coming capture's trigger began
    double m_armInWaitSec = -1.0;     // the maximum time of a start armed in the wait (<0: none)
    int64_t m_serialLossesSeen = 0;   // losses of the serial trigger's line said or before
    int64_t m_serialLossTrialSaid = -1;  // the trial last said to run without its trigger
    // Program time the trigger that stops the running capture came (0: none known).
    double m_stopCrossingUs = 0.0;
    // By trial: program times its starting and its stopping trigger came (0: none
    // known), the instants its said delays are counted from.
    std::map<int64_t, std::pair<double, double>> m_trialTriggerTimes;
    wxString m_nextWaitNotice;      // said inside the loop's next wait
    CaptureDeviceSource m_captureDeviceSource;
    TriggerReader m_serialTriggerReader;
    TriggerReader m_oscTriggerReader;
    std::unique_ptr<wxSound, SoundDeleter> m_captureSoundPlayer;  // kept while it plays

    // ---- devices (own members) ----
    // The 2D road after registration: page, thread, settings, owner, grids.
    void ShowIn2D(CAnalogDevice* device, bool loadConfig);
    // The "Device" page of "CAPTURE" and the "Messages" page come to the front.
    void ShowDevicePages();
    void OpenTestDevice(bool tracker);

    wxDECLARE_EVENT_TABLE();
};
