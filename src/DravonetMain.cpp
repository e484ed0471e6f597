#include "DravonetMain.h"

#include "appIcons.h"
#include "network/oscClientSettings.h"
#include "network/oscServer.h"
#include "network/oscTrigger.h"
#include "network/vrpnServerModule.h"
#include "process/clock.h"
#include "process/dailyLog.h"
#include "process/trackerWorker.h"
#include "serial/serialTrigger.h"

#include <wx/aui/auibook.h>
#include <wx/display.h>
#include <wx/filename.h>
#include <wx/listctrl.h>
#include <wx/log.h>
#include <wx/notifmsg.h>
#include <wx/propgrid/propgrid.h>
#include <wx/stdpaths.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include <atomic>
#include <iostream>

CSerialTrigger g_serialTrigger(0);
bool g_waiting_for_trigger = false;
int g_vrpn_sync_state = 0;
int g_camera_count = 0;

namespace {

std::atomic<int> s_processorCountOverride{0};

// Creates one folder level when missing; true when the folder exists afterwards.
bool EnsureFolder(const wxString& path)
{
    if (wxFileName::DirExists(path)) return true;
    wxLogNull quiet;  // a folder that cannot be made is not reported
    return wxFileName::Mkdir(path, 0777) && wxFileName::DirExists(path);
}

constexpr long kNotebookStyle = wxAUI_NB_TOP | wxAUI_NB_TAB_SPLIT | wxAUI_NB_TAB_MOVE |
                                wxAUI_NB_SCROLL_BUTTONS | wxAUI_NB_MIDDLE_CLICK_CLOSE |
                                wxBORDER_NONE;

}  // namespace

TrackerFrame::TrackerFrame(wxWindow* parent)
    : wxFrame(parent, wxID_ANY, "Quorvane", wxDefaultPosition, wxDefaultSize,
              wxDEFAULT_FRAME_STYLE | wxCLIP_CHILDREN),
      m_displayTimer(this)
{
    m_quitting = false;
    InitTimeOfDay(true);
    SetConfigDefaults();
    SetIcon(MakeAppIcon());

    const wxString exeDir = wxFileName(wxStandardPaths::Get().GetExecutablePath()).GetPath();
    const wxString sound = exeDir + wxFileName::GetPathSeparator() + "sound.wav";
    m_captureSoundName = wxFileName::FileExists(sound) ? sound : wxString();

    CreateConfigFolders();
    SetLogDirectory(m_configDir);

    // The dock manager is given the frame before the first pane is added: panes and
    // toolbars need their managed window when they are added.
    m_auiManager.SetManagedWindow(this);
    CreateMenus();
    InitStatusBar();
    CreateToolBars();
    CreatePropertyGrids();
    CreatePanes();
    m_framePaintFilter = std::make_unique<CoveredPaintFilter>(this, m_mainBook);
    m_bookPaintFilter = std::make_unique<CoveredPaintFilter>(m_mainBook, m_mainBook);
    BuildSettingsGrid();

    SetMinSize(wxSize(800, 800));
    // The docks take their first sizes from the frame's size at the first layout.
    wxSize size = GetSize();
    size.IncTo(GetMinSize());
    SetSize(size);

    // Default start-up view: the four panes in their docks, the toolbars as they are.
    wxAuiPaneInfoArray& panes = m_auiManager.GetAllPanes();
    for (size_t i = 0; i < panes.GetCount(); ++i) {
        if (!panes[i].IsToolbar()) panes[i].Hide();
    }
    m_auiManager.GetPane("CAPTURE").Right().Position(0).Show();
    m_auiManager.GetPane("SETTINGS").Left().Position(0).Show();
    m_auiManager.GetPane("MAINBOOK").Show();
    m_auiManager.GetPane("MESSAGEBOOK").Show();
    m_perspectives.Add(m_auiManager.SavePerspective());

    LoadWindowPlacement();
    LoadConfig();

    if (GetProcessorCountInUse() < 3) m_useCore = false;
    CTrackerWorker::SetUseCore(m_useCore);

    UpdateTimeTextToolTip();
    m_auiManager.Update();
    UpdateTitle();
    BuildSettingsGrid();
    ApplyExpertMode();

    m_displayTimer.SetOwner(this, ID_DISPLAY_TIMER);
    m_displayTimer.Start(static_cast<int>(m_displayIntervalMs), wxTIMER_CONTINUOUS);

    if (m_useVrpn) StartVrpnServer(m_vrpnServerName.utf8_str().data());
    // Desktop notifications need no set-up on this platform.
}

TrackerFrame::~TrackerFrame()
{
    m_quitting = true;
    if (g_serialTrigger.IsOpen()) g_serialTrigger.Close();
    if (m_displayTimer.IsRunning()) m_displayTimer.Stop();
    StopVrpnServer();
    StopOscTrigger();
    if (!m_captureName.empty()) CloseCaptureFiles();
    ReleaseWiiLibrary();
    SaveConfig();
    SaveWindowPlacement();
    // Out of the handler chains before the managers leave theirs.
    m_bookPaintFilter.reset();
    m_framePaintFilter.reset();
    m_auiManager.UnInit();
    RestoreStreams();
}

void TrackerFrame::CreateConfigFolders()
{
    m_configDir =
        wxStandardPaths::Get().GetDocumentsDir() + wxFileName::GetPathSeparator() + "Quorvane";
    if (!EnsureFolder(m_configDir))
        return;  // nothing is reported; the folders stay empty unless configured
    const wxString exportPath = m_configDir + wxFileName::GetPathSeparator() + _("Export Files");
    if (EnsureFolder(exportPath)) m_exportPath = exportPath;
    const wxString capturePath = m_configDir + wxFileName::GetPathSeparator() + _("Capture Files");
    if (EnsureFolder(capturePath)) m_capturePath = capturePath;
}

void TrackerFrame::CreatePanes()
{
    const int displayHeight = wxDisplay(0u).GetGeometry().GetHeight();
    int paneHeight = 300;
    if (displayHeight / 2.5 > 300) paneHeight = static_cast<int>(displayHeight / 2.5);

    m_settingsBook =
        new wxAuiNotebook(this, wxID_ANY, wxDefaultPosition, wxSize(300, 400), kNotebookStyle);
    m_settingsBook->SetArtProvider(new wxAuiSimpleTabArt);
    m_captureBook =
        new wxAuiNotebook(this, wxID_ANY, wxDefaultPosition, wxSize(300, 400), kNotebookStyle);
    m_captureBook->SetArtProvider(new wxAuiSimpleTabArt);
    m_fileList = new wxListCtrl(this, ID_FILE_LIST, wxDefaultPosition,
                                wxSize(300, paneHeight * 2 / 3), wxLC_REPORT | wxLC_SINGLE_SEL);
    ResetFileList();

    if (m_settingsGrid) m_settingsBook->AddPage(m_settingsGrid, _("Parameters"), false);
    if (m_viewGrid) m_captureBook->AddPage(m_viewGrid, _("Device"), false);
    if (m_fileList) m_captureBook->AddPage(m_fileList, _("File List"), false);

    m_mainBook = new wxAuiNotebook(this, ID_MAIN_BOOK, wxDefaultPosition, wxSize(430, 200),
                                   wxAUI_NB_TOP | wxAUI_NB_TAB_SPLIT | wxAUI_NB_TAB_MOVE |
                                       wxAUI_NB_TAB_EXTERNAL_MOVE | wxAUI_NB_SCROLL_BUTTONS |
                                       wxAUI_NB_CLOSE_ON_ACTIVE_TAB | wxAUI_NB_MIDDLE_CLICK_CLOSE |
                                       wxBORDER_NONE);
    m_messageBook =
        new wxAuiNotebook(this, wxID_ANY, wxDefaultPosition, wxSize(430, 100), kNotebookStyle);
    m_messageBook->SetArtProvider(new wxAuiSimpleTabArt);
    m_messageBook->SetWindowStyleFlag((kNotebookStyle & ~wxAUI_NB_TOP) | wxAUI_NB_BOTTOM);

    const long textStyle = wxTE_MULTILINE | wxTE_READONLY | wxTE_RICH | wxBORDER_NONE;
    m_messagesText =
        new wxTextCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize, textStyle);
    m_errorsText =
        new wxTextCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize, textStyle);

    // Each pane starts at the size its window was made with.
    m_auiManager.AddPane(m_mainBook, wxAuiPaneInfo()
                                         .BestSize(m_mainBook->GetSize())
                                         .Name("MAINBOOK")
                                         .CenterPane()
                                         .Layer(0)
                                         .Position(0)
                                         .PaneBorder(false));
    m_auiManager.AddPane(m_settingsBook, wxAuiPaneInfo()
                                             .BestSize(m_settingsBook->GetSize())
                                             .Name("SETTINGS")
                                             .Caption(_("Settings"))
                                             .Left()
                                             .Layer(1)
                                             .Position(1)
                                             .CloseButton(true)
                                             .MaximizeButton(true));
    m_auiManager.AddPane(m_captureBook, wxAuiPaneInfo()
                                            .BestSize(m_captureBook->GetSize())
                                            .Name("CAPTURE")
                                            .Caption(_("Capture"))
                                            .Right()
                                            .Layer(1)
                                            .Position(1)
                                            .CloseButton(true)
                                            .MaximizeButton(true));
    m_auiManager.AddPane(m_messageBook, wxAuiPaneInfo()
                                            .BestSize(m_messageBook->GetSize())
                                            .Name("MESSAGEBOOK")
                                            .Caption(_("Information"))
                                            .Bottom()
                                            .Layer(0)
                                            .Position(0)
                                            .CloseButton(true));

    m_messageBook->AddPage(m_messagesText, _("Messages"), false);
    m_messageBook->AddPage(m_errorsText, _("Errors"), false);
    RedirectStreams();
}

int TrackerFrame::GetMaxDeviceCount()
{
    const int processors = GetProcessorCountInUse();
    return processors > 2 ? processors - 1 : 1;
}

void TrackerFrame::SetProcessorCountOverride(int count)
{
    s_processorCountOverride.store(count > 0 ? count : 0);
}

int TrackerFrame::GetProcessorCountInUse()
{
    const int forced = s_processorCountOverride.load();
    return forced > 0 ? forced : static_cast<int>(GetProcessorCount());
}

void TrackerFrame::OnSize(wxSizeEvent& event)
{
    // The dock manager lays the panes out; the toolbars wrap at every width, as at
    // the first start, so that none stands past the right edge.
    event.Skip();
    FitToolbars();
}

void TrackerFrame::InitAfterShow()
{
    g_camera_count = CountCameras();
    std::cout << g_camera_count << _(" Camera(s) found").utf8_str() << std::endl;
    Update();
    if (!IsOscServerConnected() && m_useOscServer) RestartOscServer();
    if (IsOscTriggerEnabled()) StartOscTrigger();
    if (m_triggerUse) {
        OpenSerialTrigger();
        if (g_serialTrigger.IsOpen() && m_timeText) m_timeText->SetToolTip(_("Trigger value (v)"));
    }
    m_rebuildSettingsGrid = true;
    m_startupCountdown = 2;
}

void TrackerFrame::RestartOscServer()
{
    if (IsOscServerConnected()) {
        CloseOscServer();
        wxMilliSleep(100);
    }
    if (!m_useOscServer) return;
    std::string reason;
    m_useOscServer = StartOscServer(m_oscListeningPort, m_oscSendingPort, &reason);
    if (!m_useOscServer) {
        SayOscServerFailure(reason);
        return;
    }
    wxMilliSleep(100);
    OscServerAddClients();
}

void TrackerFrame::SayOscServerFailure(const std::string& reason)
{
    wxString text = _("Error starting OSC server.");
    // The reason (a port in use) in the box itself: the Errors page alone is easily missed.
    if (!reason.empty()) {
        wxString sentence = wxString::FromUTF8(reason);
        sentence[0] = wxToupper(sentence[0]);
        text += " " + sentence + ".";
    }
    SetErrorMessage(text + "\n", true);
}

void TrackerFrame::UpdateTimeTextToolTip()
{
    if (!m_timeText) return;
    if (m_triggerUse && g_serialTrigger.IsOpen())
        m_timeText->SetToolTip(_("Trigger value (v)"));
    else if (m_showDelta)
        m_timeText->SetToolTip(_("Clock Device variability (us)"));
    else
        m_timeText->SetToolTip(_("Device clock (s)"));
}
