#include "DravonetMain.h"
#include "GLcanvas/analog3DView.h"
#include "GLcanvas/glCamera.h"
#include "analog/analogDevice.h"
#include "analog/analogView.h"
#include "analog/formatTime.h"
#include "analog/viewSink.h"
#include "network/oscDevice.h"
#include "network/oscServer.h"
#include "network/vrpnDevice.h"
#include "frameViewPages.h"
#include "network/vrpnServerModule.h"
#include "process/deviceCloser.h"
#include "video/VideoDevice.h"
#include "video/VideoView.h"
#include "wiiPair.h"

#include <wx/app.h>
#include <wx/aui/auibar.h>
#include <wx/aui/auibook.h>
#include <wx/notifmsg.h>
#include <wx/propgrid/propgrid.h>
#include <wx/settings.h>
#include <wx/textctrl.h>

#include <memory>

namespace {

// The user is typing into a cell of the grid: a rebuild now would destroy the
// editor and the typed text with it. The rebuild waits until the value is
// committed or the cell is left.
bool IsTypingInGrid(const wxPropertyGrid* grid)
{
    return grid && grid->IsEditorFocused() && grid->IsEditorsValueModified();
}

// Sets a text the display timer refreshes: a text entry lays itself out and redraws on
// each change, even to the same words.
void ChangeShownText(wxTextCtrl* text, const wxString& value)
{
    if (text->GetValue() != value) text->ChangeValue(value);
}

}  // namespace

void TrackerFrame::OnTimer(wxTimerEvent& /*event*/)
{
    if (m_quitting) return;
    // A stop signal that came inside a nested loop is acted on once that is over.
    if (m_quitSignal != 0) {
        QuitOnSignal(m_quitSignal);
        if (m_quitting) return;
    }
    RefreshPages();
    // Idle events can lag by seconds on a loaded machine: the display period bounds
    // how long a stop request, a trigger's crossing or a rebuild waits.
    if (!RunDeferredWork()) ActOnTriggerCrossings();
}

bool TrackerFrame::RunDeferredWork()
{
    // A stop shows a notification and yields: a tick inside it must not start over.
    if (m_inDeferredWork) return false;
    m_inDeferredWork = true;
    PollDevices();
    CheckCameraModified();
    if (m_rebuildSettingsGrid && !IsTypingInGrid(m_settingsGrid)) {
        m_rebuildSettingsGrid = false;
        BuildSettingsGrid();
    }
    if (m_rebuildViewGrid && !IsTypingInGrid(m_viewGrid)) {
        m_rebuildViewGrid = false;
        UpdateViewGrid();
    }
    const bool isStopRequested = TakeCaptureStopRequest();
    if (isStopRequested) StopCapture();
    m_inDeferredWork = false;
    return isStopRequested;
}

void TrackerFrame::RefreshPages()
{
    if (!m_mainBook) return;
    const int selected = m_mainBook->GetSelection();
    const int count = static_cast<int>(m_mainBook->GetPageCount());
    for (int i = 0; i < count; ++i) {
        wxWindow* page = m_mainBook->GetPage(static_cast<size_t>(i));
        if (CAnalogView* view = dynamic_cast<CAnalogView*>(page)) {
            if (i == selected) UpdateAnalogTimeInfo(view);
            if (view->IsDirty()) view->Refresh(false);
        } else if (auto* view3D = dynamic_cast<CAnalog3DView*>(page)) {
            if (i == selected) Update3DTimeInfo(view3D);
            if (view3D->NeedsRefresh()) view3D->RequestRefresh();
        } else if (auto* video = dynamic_cast<CVideoView*>(page)) {
            if (i == selected) UpdateVideoTimeInfo(video);
            if (video->IsDirty()) video->Refresh(true);
        }
    }
}

void TrackerFrame::UpdateAnalogTimeInfo(CAnalogView* view)
{
    if (view) UpdateTimeInfo(view->m_device.load());
}

void TrackerFrame::Update3DTimeInfo(CAnalog3DView* view)
{
    if (view) UpdateTimeInfo(view->GetDevice());
}

void TrackerFrame::UpdateVideoTimeInfo(CVideoView* view)
{
    if (view) UpdateTimeInfo(view->GetDevice());
}

void TrackerFrame::UpdateTimeInfo(CAnalogDevice* device)
{
    if (!device) return;
    if (m_elapsedText) {
        const double t = device->IsRecording() ? device->GetRecordTime() : device->GetSampleTime();
        ChangeShownText(m_elapsedText, FormatTime(t));
    }
    // Hidden outside the advanced mode: it is filled again when shown, at the next tick.
    if (m_timeText && !m_triggerUse && m_timeText->IsShown()) {
        if (m_showDelta)
            ChangeShownText(m_timeText, wxString::Format("%.3f (us)", device->GetClockDeviation()));
        else
            ChangeShownText(m_timeText, wxString::Format("%.3f (s)", device->GetSampleTime()));
    }
}

void TrackerFrame::CheckCameraModified()
{
    if (!m_mainBook) return;
    const int selected = m_mainBook->GetSelection();
    if (selected < 0) return;
    auto* view = dynamic_cast<CAnalog3DView*>(m_mainBook->GetPage(static_cast<size_t>(selected)));
    if (!view) return;
    wxGLCamera* camera = view->GetCamera();
    if (camera && camera->IsModified()) {
        m_rebuildViewGrid = true;
        camera->SetModified(false);
    }
}

// An address is remembered once a server answered there; the device's page says while
// none does.
void TrackerFrame::FollowVrpnServer(CVrpnDevice& device)
{
    const wxString& name = device.GetVrpnName();
    if (device.GetConnectCount() > 0 && m_vrpnServerList.Index(name, true) == wxNOT_FOUND)
        m_vrpnServerList.Add(name);
    if (!device.TakeDisplayChange() || !m_mainBook) return;
    for (size_t i = 0; i < m_mainBook->GetPageCount(); ++i) {
        if (GetPageDevice(m_mainBook->GetPage(i)) == &device)
            m_mainBook->SetPageText(i, device.GetDisplayName());
    }
}

void TrackerFrame::PollDevices()
{
    // Devices whose work must run in the GUI thread: the file player's pacing and
    // the network sources' requests for a rebuilt view grid.
    for (CAnalogDevice* device : GetDeviceList()) {
        if (!device) continue;
        device->Poll();
        bool reshaped = false;
        if (auto* osc = dynamic_cast<COscDevice*>(device)) {
            reshaped = osc->TakeViewGridRequest();
        } else if (auto* vrpn = dynamic_cast<CVrpnDevice*>(device)) {
            reshaped = vrpn->TakeViewGridRequest();
            FollowVrpnServer(*vrpn);
        }
        if (!reshaped) continue;
        // The source changed its channels: the grid, and the channel selector
        // when it lists this device, follow (its views rebuild when painted).
        m_rebuildViewGrid = true;
        if (device == m_channelPopupDevice) FillChannelPopup(device);
    }
}

void TrackerFrame::OnIdle(wxIdleEvent& event)
{
    if (m_quitting) {
        event.RequestMore();
        return;
    }
    // Text and messages of other threads reach the pages first, in their order.
    FlushStreams();
    DrainMessageQueue();
    // Devices that could not stop at once are freed once their thread has ended.
    CDeviceCloser::Instance().Collect();
    UpdateFinishedVideoRows();

    if (m_startupCountdown > 0) {
        --m_startupCountdown;
        if (m_startupCountdown == 0 && m_wiiCheck) {
            if (SearchWiiDevices())
                SetStatusText(wxString::Format(_("%d Wii device(s) found"), m_wiiFoundCount), 2);
            else
                SetStatusText(WiiNoDeviceStatusText(), 2);
        }
    }

    if (GetDeviceCount() == 0 && IsVrpnServerStarted() > 1) RestartVrpnServer(nullptr);
    if (IsVrpnServerRunning()) {
        if (m_vrpnSyncOutUse) VrpnServerSetButton(0, m_vrpnSyncButton, g_vrpn_sync_state);
        VrpnServerMainloop();
    }

    if (RunDeferredWork()) {
        event.RequestMore();
        return;
    }

    // The OSC trigger's crossings, then the serial line's, each in the order they came.
    const TriggerAction triggerAction = ActOnTriggerCrossings();
    if (triggerAction != TriggerAction::None) event.RequestMore();
    if (triggerAction == TriggerAction::Stopped) return;

    if (m_useOscServer) OscServerPoll();
}

void TrackerFrame::ApplyExpertMode()
{
    if (m_timeText) {
        m_timeText->Show(m_expertMode);
        if (m_timeToolBar) m_timeToolBar->Realize();
    }
    m_rebuildSettingsGrid = true;
    m_rebuildViewGrid = true;
}

void TrackerFrame::CreatePropertyGrids()
{
    m_auiManager.SetDockSizeConstraint(0.39, 0.2);
    m_settingsGrid = new wxPropertyGrid(this, ID_SETTINGS_GRID, wxDefaultPosition, wxDefaultSize,
                                        wxBORDER_SUNKEN | wxTAB_TRAVERSAL);
    // A row's help (why it is read-only) shows where the pointer is, not in the
    // status bar, whose first field holds the device limit.
    m_settingsGrid->SetExtraStyle(m_settingsGrid->GetExtraStyle() | wxPG_EX_HELP_AS_TOOLTIPS);
    m_viewGrid = new wxPropertyGrid(this, ID_VIEW_GRID, wxDefaultPosition, wxDefaultSize,
                                    wxBORDER_SUNKEN | wxTAB_TRAVERSAL);
    const wxColour menuColour = wxSystemSettings::GetColour(wxSYS_COLOUR_MENU);
    m_settingsGrid->SetCellBackgroundColour(menuColour);
    m_viewGrid->SetCellBackgroundColour(menuColour);
}

void TrackerFrame::ShowNotification(const wxString& title, const wxString& message, int flags)
{
    // One notification object, made on first use and kept.
    if (!m_notification) m_notification = std::make_unique<wxNotificationMessage>();
    wxNotificationMessage* notification = m_notification.get();
    notification->SetParent(this);
    notification->SetMessage(message);
    notification->SetTitle(title);
    notification->SetFlags(flags);
    notification->Show(wxNotificationMessage::Timeout_Auto);
    wxYield();
}

void TrackerFrame::ScrollMessagesToEnd()
{
    if (!m_messagesText) return;
    FlushStreams();
    const long last = m_messagesText->GetLastPosition();
    m_messagesText->ShowPosition(last > 0 ? last - 1 : 0);
    const int position = m_messagesText->GetScrollPos(wxVERTICAL);
    m_messagesText->SetScrollPos(wxVERTICAL, position - m_messagesText->GetSize().GetHeight() - 1,
                                 true);
}
