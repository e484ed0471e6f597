#include <wx/aui/auibar.h>
#include <wx/aui/auibook.h>
#include <wx/evtloop.h>
#include <wx/intl.h>
#include <wx/listctrl.h>
#include <wx/log.h>
#include <wx/progdlg.h>
#include <wx/sound.h>
#include <wx/toolbar.h>

#include <algorithm>
#include <iostream>

#include "DravonetMain.h"
#include "analog/analogDevice.h"
#include "analog/analogFile.h"
#include "appIcons.h"
#include "captureFiles.h"
#include "captureTriggerWait.h"
#include "countdownDialog.h"
#include "framePrompts.h"
#include "network/oscClientSettings.h"
#include "network/oscTrigger.h"
#include "network/vrpnServerModule.h"
#include "serial/serialTrigger.h"

namespace {

// The wait reads its trigger for this long between two updates of its dialog.
constexpr std::chrono::milliseconds kTriggerPass(40);
// A serial read without a limit would hold the interface until a line came.
constexpr uint32_t kLongestTriggerReadMs = 1000;
constexpr uint32_t kDefaultTriggerReadMs = 100;
constexpr int kCameraKind = 9;  // CAnalogDevice::GetDeviceType of a camera

bool ReadSerialTrigger(double& volts)
{
    return g_serialTrigger.IsOpen() && g_serialTrigger.ReadValue(volts);
}
bool ReadOscTrigger(double& value) { return GetOscTriggerValue(&value); }

// A pass under way ends within a frame; a read that hangs longer is not waited for.
constexpr std::chrono::milliseconds kPassHoldTimeout(500);

// Holds the acquisition of devices between two frames while it lives. GUI thread.
class CPassHolds {
public:
    explicit CPassHolds(const std::vector<CAnalogDevice*>& devices)
    {
        for (CAnalogDevice* device : devices) {
            if (device->HoldPasses(kPassHoldTimeout)) m_held.push_back(device);
        }
    }
    ~CPassHolds()
    {
        for (CAnalogDevice* device : m_held) device->ReleasePasses();
    }
    CPassHolds(const CPassHolds&) = delete;
    CPassHolds& operator=(const CPassHolds&) = delete;

private:
    std::vector<CAnalogDevice*> m_held;  // non-owning
};

}  // namespace

std::vector<CAnalogDevice*> TrackerFrame::CaptureDevices()
{
    return m_captureDeviceSource ? m_captureDeviceSource() : GetDeviceList();
}

void TrackerFrame::SetCaptureDeviceSource(CaptureDeviceSource source)
{
    m_captureDeviceSource = std::move(source);
}

void TrackerFrame::SetTriggerReaders(TriggerReader serial, TriggerReader osc)
{
    m_serialTriggerReader = std::move(serial);
    m_oscTriggerReader = std::move(osc);
}

bool TrackerFrame::WaitForCaptureTrigger(const wxString& title, const wxString& format,
                                         const TriggerReader& reader, double startValue,
                                         const wxString& notice)
{
    g_waiting_for_trigger = true;
    CTriggerWait::Outcome outcome = CTriggerWait::Outcome::Cancelled;
    {
        // The notice (a trigger that cannot be heard) stays above the wait's text.
        const wxString prefix = notice.empty() ? wxString() : notice + "\n";
        wxProgressDialog dialog(title, prefix + _("Waiting..."), 1000, this,
                                wxPD_APP_MODAL | wxPD_CAN_ABORT);
        CTriggerWait wait(reader, startValue, kTriggerPass);
        outcome = wait.Run([&](double value, double elapsedSec) {
            const bool goOn = dialog.Pulse(prefix + wxString::Format(format, value, elapsedSec));
            // The idle handler runs too; it leaves the triggers alone meanwhile.
            if (wxEventLoopBase* loop = wxEventLoopBase::GetActive())
                loop->YieldFor(wxEVT_CATEGORY_ALL);
            return goOn;
        });
    }
    g_waiting_for_trigger = false;
    return outcome == CTriggerWait::Outcome::Fired;
}

void TrackerFrame::OnStartCapture(wxCommandEvent& /*event*/)
{
    if (m_capturing || g_waiting_for_trigger) return;  // a queued loop start, a second key press
    if (m_captureBook && m_auiManager.GetPane("CAPTURE").IsShown()) {
        const int page = m_captureBook->GetPageIndex(m_fileList);
        if (page != wxNOT_FOUND) m_captureBook->SetSelection(page);
    }
    double maxTime = m_captureMaxTime;
    if (CaptureDevices().empty()) return;
    if (!CreateMissingTrialFiles()) return;  // said why; nothing starts
    if (!ConfirmDevicesWithoutOutput()) return;
    bool isTriggered = false;
    if (m_triggerUse) {
        if (!g_serialTrigger.IsOpen()) OpenSerialTrigger();
        if (!g_serialTrigger.IsOpen()) wxLogWarning("%s", _("Serial line is not opened !"));
        const uint32_t timeoutMs =
            m_triggerTimeOut > 0 && m_triggerTimeOut <= int(kLongestTriggerReadMs)
                ? uint32_t(m_triggerTimeOut)
                : kDefaultTriggerReadMs;
        g_serialTrigger.SetTimeout(timeoutMs);
        if (!WaitForCaptureTrigger(
                _("USB External Trigger"), _("Waiting for trigger (%.1f v - %.1f s)"),
                m_serialTriggerReader ? m_serialTriggerReader : ReadSerialTrigger,
                m_triggerThresholdHigh))
            return;
        isTriggered = true;
    } else if (IsOscTriggerEnabled()) {
        // An input that failed before (a port in use) may listen now.
        if (!IsOscTriggerConnected()) StartOscTrigger();
        wxString notice;
        if (!IsOscTriggerConnected()) {
            // Said in the wait itself too: a logged warning shows only once it is over.
            notice = _("Unable to connect OSC server!");
            wxLogWarning("%s", notice);
        }
        if (!WaitForCaptureTrigger(_("OSC External Trigger"),
                                   _("Waiting for osc trigger (%.1f - %.1f s)"),
                                   m_oscTriggerReader ? m_oscTriggerReader : ReadOscTrigger,
                                   GetOscTriggerSettings().highValue, notice))
            return;
        isTriggered = true;
    }
    if (isTriggered && m_triggerLoop) maxTime = 0.0;  // the trigger ends the capture
    if (m_capturePreTime > 0.0 && !m_triggerUse) {
        TCountDown countdown(this);
        countdown.SetDuration(m_capturePreTime * 1000.0);
        if (countdown.ShowModal() != wxID_OK) return;
    }
    StartCaptureDevices(maxTime);
}

void TrackerFrame::StartCaptureDevices(double maxTimeSec)
{
    // A stop asked for by a run of the trial before (a second device at its end
    // while the first one's stop went on) must not end this one.
    TakeCaptureStopRequest();
    const bool isSyncPressed = m_vrpnSyncOutUse && IsVrpnServerRunning();
    if (isSyncPressed) {
        g_vrpn_sync_state = 1;
        VrpnServerSetButton(0, m_vrpnSyncButton, 1);
    }
    int started = 0;
    const std::vector<CAnalogDevice*> devices = CaptureDevices();
    std::vector<CAnalogDevice*> refused;
    {
        // Each device waits between two frames while it is reset and its recording
        // armed: a frame produced in between would reach its views and markers but
        // not its file. Its next frame is its frame 0, the file's first; held
        // together, the devices of a trial also start together.
        CPassHolds holds(devices);
        for (CAnalogDevice* device : devices) {
            // The recorder raises the stop request through its owner at its time limit.
            if (auto* controller = dynamic_cast<CAnalogFile*>(device->GetRecorder()))
                controller->SetOwner(this);
            device->SetRecordDuration(maxTimeSec);
            // The trial starts at frame 0 with only its own markers, whether the device
            // has views (which clear their buffers here) or none.
            device->Reset();
            device->ResetClock();
            device->RestartViews();
            if (device->StartRecording())
                ++started;
            else
                refused.push_back(device);
        }
    }
    for (CAnalogDevice* device : refused) {
        device->ResetViews();
        SetErrorMessage(wxString::Format(_("Unable to start analog writing,  device %s\n"),
                                         device->GetDeviceName()),
                        true);
    }
    m_capturing = started > 0;
    if (!m_capturing && isSyncPressed) {
        // Nothing records: the peers must not believe a capture runs.
        g_vrpn_sync_state = 0;
        VrpnServerSetButton(0, m_vrpnSyncButton, 0);
    }
    SetCaptureTool(m_capturing);
    UpdateTitle();
}

void TrackerFrame::SetCaptureTool(bool isCapturing)
{
    // Every way into and out of a capture passes here: the view grid's device
    // rows, locked while a run is to be finished, follow at the next idle.
    m_rebuildViewGrid = true;
    if (!m_captureToolBar) return;
    m_captureToolBar->SetToolBitmap(
        ID_CAPTURE_TOGGLE, MakeToolBitmap(isCapturing ? ToolImage::Stop : ToolImage::Record));
    m_captureToolBar->SetToolShortHelp(ID_CAPTURE_TOGGLE,
                                       isCapturing ? _("Stop capture") : _("Start capture"));
    m_captureToolBar->Refresh(false);
}

void TrackerFrame::StopCapture()
{
    if (!m_capturing) {
        // A late stop request (a second device at its limit, a trigger after a
        // stop by hand): the trial is already saved; stopping again would
        // open and close an empty extra trial.
        SetCaptureTool(false);
        return;
    }
    m_capturing = false;
    g_vrpn_sync_state = 0;
    const std::vector<CAnalogDevice*> devices = CaptureDevices();
    std::vector<wxString> saved;
    std::vector<wxString> removed;
    for (CAnalogDevice* device : devices) {
        const wxString fileName = device->GetWriterFileName();
        auto* controller = dynamic_cast<CAnalogFile*>(device->GetRecorder());
        const bool hasRun = controller ? controller->NeedsFinish() : device->IsRecording();
        const int64_t frameCount =
            controller ? controller->GetFrameCount() : device->GetRecordedFrames();
        bool isSaved = device->FinishRecording();
        // A camera's video is no recording file: its own finish is all it needs.
        if (m_captureUseThread && !fileName.empty() && device->GetDeviceType() != kCameraKind)
            isSaved = FinaliseRecordFile(*device, fileName, frameCount) || isSaved;
        device->FreezeViews();  // the views take no data while saving
        if (fileName.empty()) continue;
        if (controller && controller->IsRemoved()) {
            // Nothing of it is on disk; its writer has said so, naming the file.
            removed.push_back(fileName);
            continue;
        }
        saved.push_back(fileName);
        // A recording a failed write ended early says where it ends; its
        // writer has reported the failure with its reason.
        const wxString endNote = controller ? controller->GetEndNote() : wxString();
        if (!endNote.empty()) {
            AppendMessage(_("Saving data to : ") + fileName + " : " + endNote + "\n");
            continue;
        }
        if (hasRun && !isSaved) {
            SetErrorMessage(_("Error saving data file : ") + fileName, true);
            continue;
        }
        AppendMessage(_("Saving data to : ") + fileName + "\n");
        if (!m_auiManager.GetPane("CAPTURE").IsShown())
            ShowNotification(_("Saving data"), fileName, wxICON_INFORMATION);
    }
    if (m_vrpnSyncOutUse && IsVrpnServerRunning()) VrpnServerSetButton(0, m_vrpnSyncButton, 0);
    PlayCaptureSound();
    if (saved.empty() && removed.empty())
        SetErrorMessage("Error saving data file : unable to find file !", true);

    struct Row {
        wxString path;
        int64_t frames;
        double seconds;
    };
    std::vector<Row> rows;
    RecordedTrial trial{m_trialIndex, {}};
    for (CAnalogDevice* device : devices) {
        const wxString fileName = device->GetWriterFileName();
        const bool isRemoved =
            std::find(removed.begin(), removed.end(), fileName) != removed.end();
        if (!fileName.empty() && !isRemoved) {
            const CAnalogRecorder* recorder = device->GetRecorder();
            rows.push_back({fileName, device->GetRecordedFrames(),
                            recorder ? recorder->GetTime() : device->GetRecordTime()});
            trial.files.push_back(fileName);
            trial.files.push_back(device->GetExportFileName());
        }
        device->StopRecording();
    }
    for (CAnalogDevice* device : devices) {
        device->ThawViews();
        device->ResetViews();
    }
    bool hasFrames = false;
    for (const Row& row : rows) {
        hasFrames = hasFrames || row.frames > 0;
        AddFileListRow(row.path, static_cast<int>(std::min<int64_t>(row.frames, INT32_MAX)),
                       row.seconds);
    }
    if (rows.empty()) std::cerr << _("Unable to retrieve file information!\n").utf8_str();
    if (hasFrames && !m_captureName.empty()) m_recordedTrials.push_back(trial);
    if (m_captureAutoFile && !m_captureName.empty()) {
        ++m_trialIndex;
        // A trial whose files could not be created is no trial: its number stays free.
        if (!CreateCaptureFiles()) --m_trialIndex;
    }
    SetCaptureTool(false);
    UpdateTitle();
    const bool isTriggerActive = (m_triggerUse && g_serialTrigger.IsOpen()) ||
                                 (IsOscTriggerEnabled() && IsOscTriggerConnected());
    if (m_triggerLoop && isTriggerActive)
        wxQueueEvent(this, new wxCommandEvent(wxEVT_MENU, ID_CAPTURE_START));
}

void TrackerFrame::SoundDeleter::operator()(wxSound* sound) const { delete sound; }

void TrackerFrame::PlayCaptureSound()
{
    if (!m_captureSound || m_captureSoundName.empty()) return;
    // Kept until the next stop: the sound plays on after this returns.
    std::unique_ptr<wxSound, SoundDeleter> sound(new wxSound);
    if (!sound->Create(m_captureSoundName)) return;  // a sound that does not load is skipped
    sound->Play(wxSOUND_ASYNC);
    m_captureSoundPlayer = std::move(sound);
}

void TrackerFrame::OnStopCapture(wxCommandEvent& /*event*/) { StopCapture(); }

void TrackerFrame::OnToggleCapture(wxCommandEvent& event)
{
    if (m_capturing)
        StopCapture();
    else
        OnStartCapture(event);
}

bool TrackerFrame::OpenSerialTrigger()
{
    if (g_serialTrigger.IsOpen()) g_serialTrigger.Close();
    const bool isOpen = g_serialTrigger.Open(m_triggerPort, static_cast<uint32_t>(m_triggerSpeed));
    const wxString text =
        (isOpen ? _("Serial trigger connected to ") : _("Error opening serial trigger ")) +
        m_triggerPort + wxString::Format(" @ %d", int(m_triggerSpeed));
    std::cout << text.utf8_str() << std::endl;
    return isOpen;
}

bool TrackerFrame::ConfirmDevicesWithoutOutput()
{
    // A device without an output records nothing: the user hears of it before
    // the trial, not from the Errors page after it.
    wxString missing;
    bool isAnyOpen = false;
    for (CAnalogDevice* device : CaptureDevices()) {
        if (device->GetWriterFileName().empty())
            missing += "\n" + device->GetDeviceName();
        else
            isAnyOpen = true;
    }
    // With no output at all nothing starts, and every device says so.
    if (missing.empty() || !isAnyOpen) return true;
    return ShellPrompts().confirmDefaultNo(
        this, wxString::Format(_("No capture file is open for trial %lld of these devices: they "
                                 "will not be recorded.%s\n\nStart the capture without them?"),
                               static_cast<long long>(m_trialIndex), missing));
}
