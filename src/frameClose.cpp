#include "DravonetMain.h"

#include "analog/analogDevice.h"
#include "analog/analogView.h"
#include "countdownDialog.h"
#include "frameDeviceViews.h"
#include "framePrompts.h"
#include "frameViewPages.h"
#include "shellLog.h"
#include "stopSignals.h"
#include "process/device.h"
#include "process/deviceCloser.h"
#include "process/trackerWorker.h"
#include "video/videoFinisher.h"

#include <wx/app.h>
#include <wx/aui/auibook.h>
#include <wx/combobox.h>
#include <wx/combo.h>
#include <wx/fileconf.h>
#include <wx/intl.h>
#include <wx/log.h>
#include <wx/notifmsg.h>
#include <wx/progdlg.h>
#include <wx/propgrid/propgrid.h>
#include <wx/evtloop.h>
#include <wx/textctrl.h>

namespace {

bool AskToClose(wxWindow* parent, const wxString& name)
{
    return ShellPrompts().confirm(parent, _("Close ") + name);
}

}  // namespace

bool TrackerFrame::RouteStopSignals(std::string& error)
{
    return CStopSignals::Install(
        [](int signal) {
            // Watcher thread: the GUI thread looks the frames up when it takes the call.
            if (wxTheApp == nullptr) return;
            wxTheApp->CallAfter([signal] {
                std::vector<TrackerFrame*> frames;
                for (wxWindow* window : wxTopLevelWindows)
                    if (auto* frame = dynamic_cast<TrackerFrame*>(window)) frames.push_back(frame);
                for (TrackerFrame* frame : frames) frame->QuitOnSignal(signal);
            });
        },
        error);
}

bool TrackerFrame::IsOutsideEveryLoop() const
{
    const wxEventLoopBase* loop = wxEventLoopBase::GetActive();
    const bool isTopLevel = loop == nullptr || (loop->IsMain() && !loop->IsYielding());
    return isTopLevel && !m_isInTriggerWait && !m_inDeferredWork && !m_isStopping &&
           !m_inSettingChange;
}

void TrackerFrame::QuitOnSignal(int signal)
{
    if (m_quitting || wxTheApp->IsScheduledForDestruction(this)) return;
    if (m_quitSignal == 0) {
        m_quitSignal = signal;
        AppendMessage(wxString::Format(_("%s received: the trial is stopped and Quorvane closes\n"),
                                       CStopSignals::Name(signal)));
    }
    // A wait or a count-down lives on a stack below: it ends first.
    if (m_isInTriggerWait) m_isTriggerWaitCancelled = true;
    for (wxWindow* window : wxTopLevelWindows) {
        auto* countdown = dynamic_cast<TCountDown*>(window);
        if (countdown && countdown->IsModal()) countdown->EndModal(wxID_CANCEL);
    }
    if (!IsOutsideEveryLoop()) return;  // the display timer, or the wait's end, comes back
    if (m_capturing) StopCaptureByHand();
    Close(true);
}

bool TrackerFrame::CheckToQuitAll()
{
    if (m_capturing) {
        LogShell(wxLOG_Warning, "CheckToQuitAll", _("You need to stop recording to quit application"));
        return false;
    }
    const std::vector<CAnalogDevice*> devices = GetDeviceList();
    if (devices.empty()) {
        WaitForVideoEnds();
        return true;
    }
    std::unique_ptr<wxFileConfig> config = OpenConfig(false);
    std::vector<CAnalogDevice*> wereRunning;
    for (CAnalogDevice* device : devices) {
        if (device->IsRunning()) {
            device->AnalogStop();
            wereRunning.push_back(device);
        }
        // Nobody may be there to answer a stop signal's close.
        if (m_quitSignal == 0 && !AskToClose(this, device->GetDeviceName())) {
            for (CAnalogDevice* stopped : wereRunning)
                stopped->AnalogStart();
            return false;
        }
    }
    m_quitting = true;
    if (m_displayTimer.IsRunning())
        m_displayTimer.Stop();
    ShellPrompts().sleep(static_cast<unsigned long>(2 * std::max<int64_t>(m_displayIntervalMs, 0)));
    for (CAnalogDevice* device : devices) {
        if (config) {
            device->SaveViewsConfig(config.get());
            device->SaveConfig(config.get());
        }
    }
    CloseCaptureFiles();
    for (CAnalogDevice* device : devices) {
        // The pages stay until the frame goes: unlink them first so that nothing
        // (a paint, a last idle pass) reaches a deleted device through a view.
        device->RemoveAllViews();
        CDeviceDeleter{}(device);
    }
    // A device whose thread did not stop at once is closed in the background: at the
    // end it is waited for, so that its thread is joined, not left running.
    CDeviceCloser::Instance().CloseAll(CTrackerWorker::GetEndTimeout());
    WaitForVideoEnds();
    ShellPrompts().sleep(200);
    config.reset();  // writes the file
    return true;
}

void TrackerFrame::WaitForVideoEnds()
{
    // A video whose end is not written cannot be read: the program ends after it. Said
    // while it lasts, so that nobody starts the program again meanwhile.
    CVideoFinisher& finisher = CVideoFinisher::Instance();
    if (finisher.Pending() == 0)
        return;
    const int64_t total = std::max<int64_t>(1, finisher.FramesLeft());
    const wxString text = _("Writing the end of the camera videos: Quorvane closes once they can be read");
    AppendMessage(text + "\n");
    constexpr int kSteps = 1000;
    const auto framesLeft = [&text](int64_t left) {
        return text + "\n" + wxString::Format(_("%lld video frames left to write"),
                                               static_cast<long long>(left));
    };
    wxProgressDialog progress(_("Closing Quorvane"), framesLeft(total), kSteps, this,
                              wxPD_APP_MODAL | wxPD_AUTO_HIDE | wxPD_ELAPSED_TIME |
                                  wxPD_REMAINING_TIME);
    while (!finisher.WaitFor(std::chrono::milliseconds(100))) {
        const int64_t left = std::min(total, finisher.FramesLeft());
        progress.Update(static_cast<int>(kSteps * (total - left) / total), framesLeft(left));
    }
}

void TrackerFrame::OnClose(wxCloseEvent& event)
{
    if (m_isInTriggerWait) {
        // The wait's dialog, on the wait's stack, would be freed with the frame: the
        // wait ends first and the close follows it.
        m_isTriggerWaitCancelled = true;
        m_isCloseAfterWait = true;
        if (event.CanVeto()) event.Veto();
        return;
    }
    if (CheckToQuitAll()) {
        if (m_displayTimer.IsRunning())
            m_displayTimer.Stop();
        if (m_notification) {
            m_notification->Close();
            m_notification.reset();
        }
        Destroy();
        return;
    }
    if (event.CanVeto())
        event.Veto();
}

void TrackerFrame::OnQuit(wxCommandEvent& /*event*/)
{
    if (!CheckToQuitAll())
        return;
    if (m_notification) {
        m_notification->Close();
        m_notification.reset();
    }
    Destroy();
}

void TrackerFrame::OnPageClose(wxAuiNotebookEvent& event)
{
    auto* book = dynamic_cast<wxAuiNotebook*>(event.GetEventObject());
    if (!book || event.GetSelection() < 0 ||
        static_cast<size_t>(event.GetSelection()) >= book->GetPageCount())
        return;
    wxWindow* page = book->GetPage(static_cast<size_t>(event.GetSelection()));
    bool ok = true;
    if (CAnalogView* view = AsAnalogView(page))
        ok = CloseAnalogView(view);
    else if (CAnalog3DView* view3D = As3DView(page))
        ok = Close3DView(view3D);
    else if (AsVideoView(page))
        ok = CheckToQuit(page);
    else
        return;
    if (!ok) {
        event.Veto();
        return;
    }
    m_rebuildSettingsGrid = true;
    if (GetStatusBar())
        SetStatusText(wxString(), 1);
}

bool TrackerFrame::CloseAnalogView(CAnalogView* view)
{
    if (!view)
        view = GetFirstAnalogView();
    if (!view)
        return true;
    CAnalogDevice* device = GetPageDevice(view);
    if (!device)
        return true;  // an unlinked view carries nothing to close
    if (device->GetAllViewCount() < 2)
        return QuitDevice(device);
    device->RemoveView(view);
    view->DetachDevice();  // the page may outlive this call: it keeps no link
    return true;
}

bool TrackerFrame::Close3DView(CAnalog3DView* view)
{
    if (!view)
        view = GetFirst3DView();
    if (!view)
        return true;
    CAnalogDevice* device = Get3DViewDevice(view);
    if (!device)
        return true;
    if (device->GetAllViewCount() < 2)
        return QuitDevice(device);
    device->RemoveView3D(View3DSink(view));
    View3DSink(view)->DetachDevice();  // the page may outlive this call: it keeps no link
    return true;
}

bool TrackerFrame::CheckToQuit(wxWindow* page)
{
    CVideoView* view = page ? AsVideoView(page) : nullptr;
    if (!view || !GetVideoViewDevice(view))
        return true;
    if (CameraPageRecording(view)) {
        LogShell(wxLOG_Warning, "CheckToQuit", _("You need to stop recording before closing device"));
        return false;
    }
    if (!AskToClose(this, CameraPageName(view)))
        return false;
    ReleaseCameraPage(view);
    return true;
}

bool TrackerFrame::QuitDevice(CAnalogDevice* device)
{
    if (!device)
        return false;
    if (device->IsRecording()) {
        LogShell(wxLOG_Warning, "QuitDevice", _("You need to stop recording before closing device"));
        return false;
    }
    const bool wasRunning = device->IsRunning();
    if (wasRunning)
        device->AnalogStop();
    if (!AskToClose(this, device->GetDeviceName())) {
        if (wasRunning)
            device->AnalogStart();
        return false;
    }
    if (std::unique_ptr<wxFileConfig> config = OpenConfig(false)) {
        device->SaveConfig(config.get());
        device->SaveViewsConfig(config.get());
    }
    // The set is closed while the device is still one of the page devices: its
    // pending trial files go with the others'.
    CloseCaptureFiles();
    device->RemoveAllViews();
    if (m_viewGrid)
        m_viewGrid->Clear();
    if (m_messagesText)
        AppendMessage(wxString::Format("Closing %s \n", device->GetDeviceName()));
    CDeviceDeleter{}(device);
    ShellPrompts().sleep(200);
    if (m_elapsedText)
        m_elapsedText->Clear();
    if (m_timeText)
        m_timeText->Clear();
    if (m_graphCombo && m_graphCombo->GetCount() > 6)
        m_graphCombo->SetSelection(6);
    if (m_channelCombo)
        m_channelCombo->SetText(wxString());
    return true;
}
