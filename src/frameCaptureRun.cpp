#include <wx/aui/auibar.h>
#include <wx/aui/auibook.h>
#include <wx/evtloop.h>
#include <wx/intl.h>
#include <wx/listctrl.h>
#include <wx/log.h>
#include <wx/progdlg.h>
#include <wx/sound.h>
#include <wx/textctrl.h>
#include <wx/toolbar.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <iostream>
#include <thread>
#include <utility>

#include "DravonetMain.h"
#include "analog/analogDevice.h"
#include "analog/analogFile.h"
#include "analog/analogReader.h"
#include "appIcons.h"
#include "captureFiles.h"
#include "captureTriggerWait.h"
#include "countdownDialog.h"
#include "framePrompts.h"
#include "network/oscClientSettings.h"
#include "network/oscTrigger.h"
#include "network/vrpnServerModule.h"
#include "process/clock.h"
#include "process/messageQueue.h"
#include "process/triggerCrossings.h"
#include "serial/serialTrigger.h"
#include "video/VideoDevice.h"

namespace {

// The wait reads its trigger for this long between two updates of its dialog.
constexpr std::chrono::milliseconds kTriggerPass(40);
// A serial read without a limit would hold the interface until a line came.
constexpr uint32_t kLongestTriggerReadMs = 1000;
constexpr uint32_t kDefaultTriggerReadMs = 100;
constexpr int kCameraKind = 9;  // CAnalogDevice::GetDeviceType of a camera
// The wait's readers look this long for a crossing, so that one is acted on as it comes.
constexpr std::chrono::milliseconds kCrossingWait(5);
// While the wait yields, its watch looks for a start this often.
constexpr int kYieldWatchMs = 2;
// A stop that comes before every recording holds the fewest frames a recording is
// read back with waits for them, this long at most: a pulse shorter than a frame
// still gives a trial with data.
constexpr double kFirstFramesHoldUs = 2.0e6;

void WakeForCrossing()
{
    if (wxTheApp) wxWakeUpIdle();
}

// A trial that can no longer start within this of its trigger is dropped, not
// recorded seconds late (stops and starts slower than the sender pile up).
constexpr double kLatestStartUs = 1.0e6;

// False for a start too old to begin its trial now: that trial is said as not
// recorded, and its stop, which follows, is no trigger of any trial.
bool IsTimely(const TriggerCrossing& crossing, const char* input)
{
    if (crossing.kind != TriggerCrossing::Kind::Start) return true;
    const double lateUs = GetProgramTime() - crossing.atUs;
    if (lateUs <= kLatestStartUs) return true;
    g_messages.Post(Severity::Error,
                    wxString::Format(_("%s: a trial was not recorded: its start came %.1f s "
                                       "before it could be started\n"),
                                     input, lateUs / 1.0e6),
                    true);
    WakeForCrossing();
    return false;
}

bool TakeCrossing(CTriggerCrossings& crossings, double& value, const char* input)
{
    TriggerCrossing crossing;
    while (crossings.Pop(crossing)) {
        if (!IsTimely(crossing, input)) continue;
        value = crossing.value;
        return true;
    }
    return false;
}

constexpr char kSerialInput[] = "<COM> serial trigger";
constexpr char kOscInput[] = "<OSC> trigger";

// The next crossing of the serial line, reading what the converter sends for a
// moment when none waits.
bool ReadSerialCrossing(double& value)
{
    CTriggerCrossings& crossings = g_serialTrigger.GetCrossings();
    // A line that brings only lines it cannot read leaves the wait deaf: said meanwhile.
    g_serialTrigger.SayIfDeaf();
    const auto until = std::chrono::steady_clock::now() + kCrossingWait;
    for (;;) {
        if (TakeCrossing(crossings, value, kSerialInput)) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !g_serialTrigger.IsOpen()) return false;
        // Nothing read: the time went by, or the line gives nothing (the pass then sleeps).
        if (g_serialTrigger.ReadLines(static_cast<uint32_t>(left.count())) == 0)
            return TakeCrossing(crossings, value, kSerialInput);
    }
}

bool ReadOscCrossing(double& value)
{
    if (!IsOscTriggerConnected()) return false;
    TriggerCrossing crossing;
    if (!GetOscTriggerCrossings().WaitPop(crossing, kCrossingWait)) return false;
    if (!IsTimely(crossing, kOscInput))
        return TakeCrossing(GetOscTriggerCrossings(), value, kOscInput);
    value = crossing.value;
    return true;
}

bool PollOscCrossing(double& value)
{
    return TakeCrossing(GetOscTriggerCrossings(), value, kOscInput);
}

// The next crossing of the serial line among what came already; never waits.
bool PollSerialCrossing(double& value)
{
    CTriggerCrossings& crossings = g_serialTrigger.GetCrossings();
    if (TakeCrossing(crossings, value, kSerialInput)) return true;
    if (!g_serialTrigger.IsOpen() || g_serialTrigger.ReadLines(0) == 0) return false;
    return TakeCrossing(crossings, value, kSerialInput);
}

// A pass under way ends within a frame; a read that hangs longer is not waited for.
constexpr std::chrono::milliseconds kPassHoldTimeout(500);

// Holds the acquisition of devices between two frames while it lives. Every device
// is asked before any is waited for, and all share one deadline: a device whose read
// hangs (a camera) costs the start at most that, and is started without the hold.
// GUI thread.
class CPassHolds {
public:
    explicit CPassHolds(const std::vector<CAnalogDevice*>& devices)
    {
        std::vector<CAnalogDevice*> asked;
        for (CAnalogDevice* device : devices) {
            if (device->AskHoldPasses()) asked.push_back(device);
        }
        // Held together: taken in one order (by address) whatever the list's, as the stop
        // takes its own, so that two runs never hold two devices' locks in opposite orders.
        std::sort(asked.begin(), asked.end(), std::less<CAnalogDevice*>());
        const auto deadline = std::chrono::steady_clock::now() + kPassHoldTimeout;
        for (CAnalogDevice* device : asked) {
            if (device->TakeHeldPasses(deadline))
                m_held.push_back(device);
            else
                m_missed.push_back(device);
        }
    }
    ~CPassHolds()
    {
        for (CAnalogDevice* device : m_held) device->ReleasePasses();
    }
    CPassHolds(const CPassHolds&) = delete;
    CPassHolds& operator=(const CPassHolds&) = delete;
    // The device runs, and its thread was still inside a pass at the deadline.
    bool IsMissed(const CAnalogDevice* device) const
    {
        return std::find(m_missed.begin(), m_missed.end(), device) != m_missed.end();
    }

private:
    std::vector<CAnalogDevice*> m_held;    // non-owning
    std::vector<CAnalogDevice*> m_missed;  // non-owning
};

// A device whose thread is behind at a stop is waited for this long at most to
// deliver the frames due before the stop instant.
constexpr std::chrono::milliseconds kStopCatchUp(500);

// The shortest frame period (us) of the devices, 0 when none has a rate.
double ShortestFramePeriodUs(const std::vector<CAnalogDevice*>& devices)
{
    double framePeriodUs = 0.0;
    for (CAnalogDevice* device : devices) {
        const double rate = device->GetRate();
        if (!(rate > 0.0) || !std::isfinite(rate)) continue;
        const double periodUs = 1.0e6 / rate;
        if (framePeriodUs == 0.0 || periodUs < framePeriodUs) framePeriodUs = periodUs;
    }
    return framePeriodUs;
}

// A recording that ended short of the trial's stop: the device and the frames due
// before the stop that never came.
struct ShortRecording {
    CAnalogDevice* device;
    int64_t missingFrames;
};

// Ends every device's recording at one instant, taken now: each keeps the frames due
// before it (its next frame boundary), a thread that is behind is waited for (bounded),
// a camera drops what it takes after it. The files are finished afterwards. The
// instant is taken and set while every recording's frames and every camera's images
// are held, and no earlier than the due time of a frame one already holds (a device
// thread may send a frame out as it falls due, while the others are still being
// told), so no recording holds a frame due at or after it, no video an image taken
// at or after it.
std::vector<ShortRecording> EndRecordingsNow(const std::vector<CAnalogDevice*>& devices,
                                             double& stopUs)
{
    std::vector<std::pair<CAnalogDevice*, CAnalogFile*>> controllers;
    for (CAnalogDevice* device : devices) {
        if (auto* controller = dynamic_cast<CAnalogFile*>(device->GetRecorder()))
            controllers.emplace_back(device, controller);
    }
    std::vector<CVideoDevice*> cameras;
    for (CAnalogDevice* device : devices) {
        if (auto* camera = dynamic_cast<CVideoDevice*>(device)) cameras.push_back(camera);
    }
    // The holds below are taken together: each kind in one order (by address), whatever
    // the order of the list.
    std::sort(controllers.begin(), controllers.end(), [](const auto& a, const auto& b) {
        return std::less<CAnalogFile*>()(a.second, b.second);
    });
    std::sort(cameras.begin(), cameras.end(), std::less<CVideoDevice*>());
    {
        // The cameras first: one may be writing an image, and the analog frames are held
        // for the shortest time.
        std::vector<std::unique_ptr<CMutexLock>> imageHolds;
        imageHolds.reserve(cameras.size());
        for (CVideoDevice* camera : cameras) imageHolds.push_back(camera->HoldImages());
        std::vector<std::unique_lock<std::mutex>> holds;
        holds.reserve(controllers.size());
        for (const auto& entry : controllers) holds.push_back(entry.second->HoldFrames());
        stopUs = GetProgramTime();
        // Half a microsecond past it: the frame stays due before the stop.
        for (const auto& entry : controllers)
            stopUs = std::max(stopUs, entry.second->LastOfferedDueUs() + 0.5);
        for (const auto& entry : controllers) entry.second->SetRunStopHeld(stopUs);
        for (CVideoDevice* camera : cameras) camera->SetRecordStopHeld(stopUs);
    }
    std::vector<std::pair<CAnalogDevice*, CAnalogFile*>> running;
    std::vector<ShortRecording> shortOnes;
    for (CAnalogDevice* device : devices) device->SetRecordStop(stopUs);
    for (const auto& [device, controller] : controllers) {
        // A device that does not run delivers no more frames.
        if (device->IsRunning())
            running.emplace_back(device, controller);
        else
            controller->EndRunNow();
    }
    const auto deadline = std::chrono::steady_clock::now() + kStopCatchUp;
    for (const auto& [device, controller] : running) {
        while (!controller->HasReachedStop() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        const int64_t missing = controller->EndRunNow();
        if (missing > 0) shortOnes.push_back({device, missing});
    }
    return shortOnes;
}

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

TrackerFrame::TriggerStart TrackerFrame::WaitForCaptureTrigger(
    const wxString& title, const wxString& format, const TriggerReader& reader,
    const TriggerReader& quickReader, CTriggerCrossings* crossings,
    std::function<double()> shownValue, double startValue, bool isRearm, bool mayWait,
    const wxString& notice)
{
    g_waiting_for_trigger = true;
    CTriggerWait wait(reader, startValue, kTriggerPass);
    wait.SetShownValue(std::move(shownValue));
    // A loop's next start that came right after its stop needs no dialog.
    if (isRearm && wait.FiredAlready()) return TriggerStart::Fired;
    if (!mayWait) return TriggerStart::NotYet;
    CTriggerWait::Outcome outcome = CTriggerWait::Outcome::Cancelled;
    {
        // The notice (a trigger that cannot be heard) stays above the wait's text.
        const wxString prefix = notice.empty() ? wxString() : notice + "\n";
        wxProgressDialog dialog(title, prefix + _("Waiting..."), 1000, this,
                                wxPD_APP_MODAL | wxPD_CAN_ABORT);
        // A close meanwhile cancels the wait (OnClose) and follows it, below.
        struct WaitScope {
            TrackerFrame& frame;
            explicit WaitScope(TrackerFrame& f) : frame(f)
            {
                frame.m_isInTriggerWait = true;
                frame.m_isTriggerWaitCancelled = frame.m_quitSignal != 0;
            }
            ~WaitScope()
            {
                frame.m_isInTriggerWait = false;
                if (!frame.m_isCloseAfterWait && frame.m_quitSignal == 0) return;
                frame.m_isCloseAfterWait = false;
                TrackerFrame* self = &frame;  // pending calls go with the frame
                frame.CallAfter([self] {
                    if (self->m_quitSignal != 0)
                        self->QuitOnSignal(self->m_quitSignal);
                    else
                        self->Close();
                });
            }
        } waitScope(*this);
        // Between its passes the wait yields to every pending event, repaints included,
        // which on a loaded machine can take long. A start that comes meanwhile is
        // taken by this watch, which the event loop runs before any repaint, and arms
        // the recording there and then.
        bool hasFiredInYield = false;
        // Decided when the start came: a trial armed here may stop, and the loop's
        // next start wait, before this yield is over, and that wait leaves
        // m_armInWaitSec as none.
        bool isArmedInYield = false;
        wxTimer watch;
        watch.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
            if (hasFiredInYield || !wait.FiredAlready(quickReader)) return;
            hasFiredInYield = true;
            isArmedInYield = m_armInWaitSec >= 0.0;
            watch.Stop();
            ArmInWait(crossings);
        });
        watch.Start(kYieldWatchMs);
        outcome = wait.Run([&](double value, double elapsedSec) {
            const bool goOn = dialog.Pulse(prefix + wxString::Format(format, value, elapsedSec));
            // The idle handler runs too; it leaves the triggers alone meanwhile.
            if (wxEventLoopBase* loop = wxEventLoopBase::GetActive(); loop && !hasFiredInYield)
                loop->YieldFor(wxEVT_CATEGORY_ALL);
            return goOn && !hasFiredInYield && !m_isTriggerWaitCancelled;
        });
        watch.Stop();
        if (hasFiredInYield) return isArmedInYield ? TriggerStart::Armed : TriggerStart::Fired;
    }
    return outcome == CTriggerWait::Outcome::Fired ? TriggerStart::Fired : TriggerStart::Cancelled;
}

void TrackerFrame::ArmInWait(CTriggerCrossings* crossings)
{
    if (m_armInWaitSec < 0.0) return;  // a count-down follows: the wait only ends
    if (crossings != nullptr) m_startCrossingUs = crossings->GetLastTakenTime();
    m_nextWaitNotice.clear();
    // The yield may go on a while: the trial's stop is acted on meanwhile, as any.
    g_waiting_for_trigger = false;
    StartCaptureDevices(m_armInWaitSec);
}

TrackerFrame::TriggerStart TrackerFrame::WaitForSerialTrigger(bool isRearm, bool mayWait,
                                                              const wxString& notice)
{
    if (!g_serialTrigger.IsOpen()) OpenSerialTrigger();
    if (!g_serialTrigger.IsOpen()) wxLogWarning("%s", _("Serial line is not opened !"));
    const uint32_t timeoutMs =
        m_triggerTimeOut > 0 && m_triggerTimeOut <= int(kLongestTriggerReadMs)
            ? uint32_t(m_triggerTimeOut)
            : kDefaultTriggerReadMs;
    g_serialTrigger.SetTimeout(timeoutMs);
    g_serialTrigger.SetLevels(m_triggerThresholdHigh, m_triggerThresholdLow);
    if (!isRearm) {
        // A start by hand acts on what comes from now on.
        g_serialTrigger.ReadLines(0);
        g_serialTrigger.GetCrossings().Clear();
    }
    std::function<double()> shown;
    if (!m_serialTriggerReader)
        shown = [] { return g_serialTrigger.GetCrossings().GetLastValue(); };
    const TriggerStart start = WaitForCaptureTrigger(
        _("USB External Trigger"), _("Waiting for trigger (%.1f v - %.1f s)"),
        m_serialTriggerReader ? m_serialTriggerReader : ReadSerialCrossing,
        m_serialTriggerReader ? m_serialTriggerReader : PollSerialCrossing,
        m_serialTriggerReader ? nullptr : &g_serialTrigger.GetCrossings(), std::move(shown),
        m_triggerThresholdHigh, isRearm, mayWait, notice);
    if (start == TriggerStart::Fired && !m_serialTriggerReader)
        m_startCrossingUs = g_serialTrigger.GetCrossings().GetLastTakenTime();
    return start;
}

TrackerFrame::TriggerStart TrackerFrame::WaitForOscTrigger(bool isRearm, bool mayWait,
                                                           const wxString& notice)
{
    // An input that failed before (a port in use) may listen now.
    std::string reason;
    if (!IsOscTriggerConnected()) StartOscTrigger(&reason);
    const OscTriggerSettings trigger = GetOscTriggerSettings();
    GetOscTriggerCrossings().SetLevels(trigger.highValue, trigger.lowValue, true);
    wxString shownNotice = notice;
    if (!IsOscTriggerConnected()) {
        // Said in the wait itself too: a logged warning shows only once it is over.
        const wxString deaf = _("Unable to connect OSC server!") +
                              (reason.empty() ? wxString() : " " + wxString::FromUTF8(reason));
        wxLogWarning("%s", deaf);
        shownNotice = notice.empty() ? deaf : deaf + "\n" + notice;
    }
    if (!isRearm) GetOscTriggerCrossings().Clear();
    std::function<double()> shown;
    if (!m_oscTriggerReader) shown = [] { return GetOscTriggerCrossings().GetLastValue(); };
    const TriggerStart start = WaitForCaptureTrigger(
        _("OSC External Trigger"), _("Waiting for osc trigger (%.1f - %.1f s)"),
        m_oscTriggerReader ? m_oscTriggerReader : ReadOscCrossing,
        m_oscTriggerReader ? m_oscTriggerReader : PollOscCrossing,
        m_oscTriggerReader ? nullptr : &GetOscTriggerCrossings(), std::move(shown),
        trigger.highValue, isRearm, mayWait, shownNotice);
    if (start == TriggerStart::Fired && !m_oscTriggerReader)
        m_startCrossingUs = GetOscTriggerCrossings().GetLastTakenTime();
    return start;
}

void TrackerFrame::OnStartCapture(wxCommandEvent& /*event*/) { RunCaptureStart(true); }

bool TrackerFrame::RunCaptureStart(bool mayWait)
{
    // Until this start waits (or ends), the crossings since the loop's stop are its own.
    const bool isRearm = m_loopRearmPending;
    struct RearmEnd {
        bool& pending;
        bool isQueuedAgain = false;
        ~RearmEnd()
        {
            if (!isQueuedAgain) pending = false;
        }
    } rearmEnd{m_loopRearmPending};
    struct WaitEnd {
        ~WaitEnd() { g_waiting_for_trigger = false; }
    };
    // A queued loop start, a second key press; a set closed meanwhile.
    if (m_capturing || g_waiting_for_trigger) return false;
    if (isRearm && m_captureName.empty()) return false;
    if (m_captureBook && m_auiManager.GetPane("CAPTURE").IsShown()) {
        const int page = m_captureBook->GetPageIndex(m_fileList);
        if (page != wxNOT_FOUND) m_captureBook->SetSelection(page);
    }
    double maxTime = m_captureMaxTime;
    m_startCrossingUs = 0.0;
    m_startCountdownUs = 0.0;
    const std::vector<CAnalogDevice*> devices = CaptureDevices();
    if (devices.empty()) return false;
    if (!mayWait) {
        // Nothing to ask: every device holds its output, and no count-down.
        const bool hasEveryOutput =
            std::none_of(devices.begin(), devices.end(), [](CAnalogDevice* device) {
                return device->GetWriterFileName().empty();
            });
        if (!hasEveryOutput || (m_capturePreTime > 0.0 && !m_triggerUse)) {
            rearmEnd.isQueuedAgain = true;
            return false;
        }
    }
    if (!CreateMissingTrialFiles()) return false;  // said why; nothing starts
    if (!ConfirmDevicesWithoutOutput()) return false;
    const WaitEnd waitEnd;  // also through the count-down that follows a trigger
    const wxString notice = m_nextWaitNotice;
    TriggerReader stopReader;
    bool isTriggered = false;
    if (m_triggerUse || IsOscTriggerEnabled()) {
        const bool isSerial = m_triggerUse;
        // Without a count-down to follow, a start the wait meets while it yields arms
        // the recording at once.
        const bool isCountdownNext = m_capturePreTime > 0.0 && !m_triggerUse;
        m_armInWaitSec = isCountdownNext ? -1.0 : (m_triggerLoop ? 0.0 : maxTime);
        const TriggerStart start = isSerial
                                       ? WaitForSerialTrigger(isRearm, mayWait, notice)
                                       : WaitForOscTrigger(isRearm, mayWait, notice);
        m_armInWaitSec = -1.0;
        if (start == TriggerStart::Armed) {
            // Its stop may have come before the wait was over: a loop's next start is
            // then queued, and stays so.
            if (!m_capturing && m_loopRearmPending) rearmEnd.isQueuedAgain = true;
            return m_capturing;
        }
        if (start == TriggerStart::NotYet) {
            // The notice stays for the wait that follows.
            rearmEnd.isQueuedAgain = true;
            return false;
        }
        m_nextWaitNotice.clear();
        if (start == TriggerStart::Cancelled) return false;
        isTriggered = true;
        if (!isSerial) stopReader = m_oscTriggerReader ? m_oscTriggerReader : PollOscCrossing;
    }
    if (isTriggered && m_triggerLoop) maxTime = 0.0;  // the trigger ends the capture
    if (m_capturePreTime > 0.0 && !m_triggerUse) {
        const int result = RunCaptureCountdown(stopReader);
        if (result == wxID_ABORT) {
            // The trial ended before its recording would begin: nothing of it is kept,
            // and its stop is not left for the next one.
            const wxString text = wxString::Format(
                _("The trigger stopped trial %lld during the count-down: it was not recorded\n"),
                static_cast<long long>(m_trialIndex));
            SetErrorMessage(text, false);
            if (m_triggerLoop) {
                m_nextWaitNotice = wxString(text).Trim();
                rearmEnd.isQueuedAgain = true;
                QueueLoopStart();
            }
            return false;
        }
        if (result != wxID_OK) return false;
        // The trial was to start at the count-down's end: later than that is delay.
        if (m_startCrossingUs > 0.0) m_startCountdownUs = m_capturePreTime * 1.0e6;
    }
    g_waiting_for_trigger = false;
    StartCaptureDevices(maxTime);
    return m_capturing;
}

int TrackerFrame::RunCaptureCountdown(const TriggerReader& stopReader)
{
    TCountDown countdown(this);
    countdown.SetDuration(m_capturePreTime * 1000.0);
    if (stopReader) {
        const double lowValue = GetOscTriggerSettings().lowValue;
        // A stop that came once the count-down was due to end (the window was held
        // meanwhile) ends a trial that began: it is left for that trial, which then
        // records and says how late it started and stopped.
        CTriggerCrossings* crossings = m_oscTriggerReader ? nullptr : &GetOscTriggerCrossings();
        const double endUs =
            m_startCrossingUs > 0.0 ? m_startCrossingUs + m_capturePreTime * 1.0e6 : 0.0;
        countdown.SetStopCheck([&stopReader, lowValue, crossings, endUs] {
            // Held acquisition threads must not hide a stop that came in the count-down.
            if (crossings != nullptr) DrainOscTrigger();
            double value = 0.0;
            for (;;) {
                TriggerCrossing next;
                if (crossings != nullptr && endUs > 0.0 && crossings->Peek(next) &&
                    next.kind == TriggerCrossing::Kind::Stop && next.atUs >= endUs)
                    return false;
                if (!stopReader(value)) return false;
                if (IsOscTriggerStopValue(value, lowValue)) return true;
            }
        });
    }
    return countdown.ShowModal();
}

void TrackerFrame::StartCaptureDevices(double maxTimeSec)
{
    // A stop asked for by a run of the trial before (a second device at its end
    // while the first one's stop went on) must not end this one.
    TakeCaptureStopRequest();
    // A loss of the serial line from now on is this trial's; one over before it (a
    // converter silent while the start was awaited) is not, a line still lost is.
    m_serialLossesSeen = g_serialTrigger.GetLineLosses() - (g_serialTrigger.IsLineLost() ? 1 : 0);
    m_serialLossTrialSaid = -1;
    // The OSC trigger's stops come on acquisition threads: they wake the idle handler.
    GetOscTriggerCrossings().SetWakeUp(WakeForCrossing);
    const bool isSyncPressed = m_vrpnSyncOutUse && IsVrpnServerRunning();
    if (isSyncPressed) {
        g_vrpn_sync_state = 1;
        VrpnServerSetButton(0, m_vrpnSyncButton, 1);
    }
    m_captureStartUs = GetProgramTime();
    int started = 0;
    const std::vector<CAnalogDevice*> devices = CaptureDevices();
    std::vector<CAnalogDevice*> refused;
    auto arm = [&](CAnalogDevice* device) {
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
    };
    // The trial's one instant: every clock restarts from it, whenever the device was
    // armed, and every file counts from it.
    auto startAtTheInstant = [this](CAnalogDevice* device) {
        device->SetClockStart(m_captureStartUs);
        device->ResetClock();
        if (auto* controller = dynamic_cast<CAnalogFile*>(device->GetRecorder()))
            controller->SetRunStart(m_captureStartUs);
        device->SetRecordStart(m_captureStartUs);
    };
    // The cameras are armed first and held by nothing: a grab lasts up to a frame of
    // the camera (for ever, when it hangs), and a hold would keep the other devices
    // that long. Their videos place no image before the trial's instant is set.
    std::vector<CAnalogDevice*> held;
    std::vector<CVideoDevice*> cameras;
    for (CAnalogDevice* device : devices) {
        if (auto* camera = dynamic_cast<CVideoDevice*>(device)) {
            camera->AwaitRecordStart();
            arm(camera);
            cameras.push_back(camera);
        } else {
            held.push_back(device);
        }
    }
    // Held in one order (by address), as the stop holds them.
    std::sort(cameras.begin(), cameras.end(), std::less<CVideoDevice*>());
    // Devices whose frames go to a recording and whose thread was still inside a pass
    // (a read that outlasted the hold): armed then, their recording would open with
    // the frames the thread sends before it takes the trial's reset.
    std::vector<CAnalogDevice*> late;
    {
        // Each device waits between two frames while it is reset and its recording
        // armed: a frame produced in between would reach its views and markers but
        // not its file. Its next frame is its frame 0, the file's first; held
        // together, the devices of a trial also start together.
        CPassHolds holds(held);
        for (CAnalogDevice* device : held) {
            if (holds.IsMissed(device) &&
                dynamic_cast<CAnalogFile*>(device->GetRecorder()) != nullptr)
                late.push_back(device);
            else
                arm(device);
        }
        {
            // The instant is set on the cameras with their images held (a placement is
            // short): an image placed before it was taken before the instant, and none
            // taken after it gives its place uncounted to a newer one while the run waits.
            std::vector<std::unique_ptr<CMutexLock>> imageHolds;
            imageHolds.reserve(cameras.size());
            for (CVideoDevice* camera : cameras) imageHolds.push_back(camera->HoldImages());
            m_captureStartUs = GetProgramTime();
            for (CVideoDevice* camera : cameras) camera->SetRecordStartHeld(m_captureStartUs);
        }
        for (CAnalogDevice* device : held) {
            if (std::find(late.begin(), late.end(), device) == late.end())
                startAtTheInstant(device);
        }
    }
    // Each is held once out of its pass (the others run meanwhile) and armed at the
    // trial's instant: its clock catches up the frames due since. One that stays in its
    // pass is armed as it is.
    for (CAnalogDevice* device : late) {
        CPassHolds hold({device});
        arm(device);
        startAtTheInstant(device);
    }
    const double startCrossingUs = std::exchange(m_startCrossingUs, 0.0);
    if (started > 0 && startCrossingUs > 0.0) SayLateStart(devices, refused, startCrossingUs);
    if (started > 0) m_trialTriggerTimes[m_trialIndex] = {startCrossingUs, 0.0};
    for (CAnalogDevice* device : refused) {
        device->ResetViews();
        // A device that says why (a camera writes videos) is reported in its own words.
        const wxString reason = device->GetRecordingError();
        SetErrorMessage(reason.empty() ? wxString::Format(_("Unable to start analog writing,  device %s\n"),
                                                          device->GetDeviceName())
                                       : wxString::Format(_("Unable to start recording, device %s : %s\n"),
                                                          device->GetDeviceName(), reason),
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

void TrackerFrame::SayLateStart(const std::vector<CAnalogDevice*>& devices,
                                const std::vector<CAnalogDevice*>& refused, double crossingUs)
{
    // Each device's frame 0 is due at the trial's start instant: what came before is lost.
    const double countdownUs = std::exchange(m_startCountdownUs, 0.0);
    const double delayUs = m_captureStartUs - crossingUs - countdownUs;
    std::vector<CAnalogDevice*> started;
    for (CAnalogDevice* device : devices) {
        if (std::find(refused.begin(), refused.end(), device) == refused.end())
            started.push_back(device);
    }
    if (delayUs <= ShortestFramePeriodUs(started)) return;
    if (countdownUs > 0.0) {
        AppendMessage(wxString::Format(_("Trial %lld started %.1f ms after its trigger and its "
                                         "%.1f s count-down\n"),
                                       static_cast<long long>(m_trialIndex), delayUs / 1000.0,
                                       countdownUs / 1.0e6));
        return;
    }
    AppendMessage(wxString::Format(_("Trial %lld started %.1f ms after its trigger\n"),
                                   static_cast<long long>(m_trialIndex), delayUs / 1000.0));
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
    // Its yields run idle passes: the crossings that came meanwhile wait for the loop.
    struct StoppingScope {
        bool& isStopping;
        explicit StoppingScope(bool& flag) : isStopping(flag) { isStopping = true; }
        ~StoppingScope() { isStopping = false; }
    } stopping(m_isStopping);
    const std::vector<CAnalogDevice*> devices = CaptureDevices();
    // Every device's recording ends at this one instant before any file is finished:
    // finishing one takes time that the others would go on recording.
    double stopUs = 0.0;
    for (const ShortRecording& recording : EndRecordingsNow(devices, stopUs)) {
        // Its thread was too far behind: the recording ends early, and says so.
        const double rate = recording.device->GetRate();
        SetErrorMessage(
            wxString::Format(_("Recording %s ends %lld frames (%.1f ms) before the trial's "
                               "stop: device %s could not deliver them in time\n"),
                             recording.device->GetWriterFileName(),
                             static_cast<long long>(recording.missingFrames),
                             rate > 0.0 ? 1000.0 * double(recording.missingFrames) / rate : 0.0,
                             recording.device->GetDeviceName()),
            true);
    }
    const double stopCrossingUs = std::exchange(m_stopCrossingUs, 0.0);
    if (auto trial = m_trialTriggerTimes.find(m_trialIndex); trial != m_trialTriggerTimes.end())
        trial->second.second = stopCrossingUs;
    if (stopCrossingUs > 0.0 && stopUs - stopCrossingUs > ShortestFramePeriodUs(devices)) {
        AppendMessage(wxString::Format(_("Trial %lld stopped %.1f ms after its trigger\n"),
                                       static_cast<long long>(m_trialIndex),
                                       (stopUs - stopCrossingUs) / 1000.0));
    }
    std::vector<wxString> saved;
    std::vector<wxString> removed;
    std::vector<wxString> notified;
    for (CAnalogDevice* device : devices) {
        const wxString fileName = device->GetWriterFileName();
        const wxString exportName = device->GetExportFileName();
        auto* controller = dynamic_cast<CAnalogFile*>(device->GetRecorder());
        const auto* camera = dynamic_cast<const CVideoDevice*>(device);
        const bool hasRun = controller ? controller->NeedsFinish()
                                       : camera != nullptr ? camera->IsRunOpen() : device->IsRecording();
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
        if (hasRun && device->GetRecordedFrames() == 0 &&
            (!controller || controller->GetEndNote().empty())) {
            // A trial the device gave no frame to (a hung read, a stop right after
            // the start) leaves no file that reads as a recording of it.
            wxString error;
            if (!RemoveFiles({fileName, exportName}, error))
                SetErrorMessage(_("Unable to delete ") + error, true);
            removed.push_back(fileName);
            if (!controller) continue;  // a camera says so in its own words
            SetErrorMessage(wxString::Format(_("No frame of device %s came during trial %lld: "
                                               "no file kept\n"),
                                             device->GetDeviceName(),
                                             static_cast<long long>(m_trialIndex)),
                            true);
            continue;
        }
        saved.push_back(fileName);
        // Frames made of values the device never received, or no longer, are said
        // with the file, not left for the analysis to find.
        const wxString unreceived = device->GetUnreceivedNote();
        const wxString unreceivedLine =
            unreceived.empty() ? wxString()
                               : device->GetDeviceName() + ": " + unreceived + " in " +
                                     fileName + "\n";
        // A recording a failed write ended early says where it ends; its
        // writer has reported the failure with its reason.
        const wxString endNote = controller ? controller->GetEndNote()
                                 : camera   ? camera->GetEndNote()
                                            : wxString();
        if (!endNote.empty()) {
            AppendMessage(_("Saving data to : ") + fileName + " : " + endNote + "\n");
            if (!unreceivedLine.empty()) AppendMessage(unreceivedLine);
            continue;
        }
        if (hasRun && !isSaved) {
            SetErrorMessage(_("Error saving data file : ") + fileName, true);
            continue;
        }
        // A video whose end is still being written is said saved once it is on the disk
        // (UpdateFinishedVideoRows), or said lost.
        if (camera != nullptr && camera->IsVideoFinishing()) continue;
        AppendMessage(_("Saving data to : ") + fileName + "\n");
        if (!unreceivedLine.empty()) AppendMessage(unreceivedLine);
        if (!m_auiManager.GetPane("CAPTURE").IsShown()) notified.push_back(fileName);
    }
    if (m_vrpnSyncOutUse && IsVrpnServerRunning()) VrpnServerSetButton(0, m_vrpnSyncButton, 0);
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
    for (const Row& row : rows) hasFrames = hasFrames || row.frames > 0;
    if (hasFrames && !m_captureName.empty()) m_recordedTrials.push_back(trial);
    const bool isTriggerActive = (m_triggerUse && g_serialTrigger.IsOpen()) ||
                                 (IsOscTriggerEnabled() && IsOscTriggerConnected());
    // A stop signal's stop is the last: the program closes.
    const bool isLooping =
        m_triggerLoop && isTriggerActive && !m_captureName.empty() && m_quitSignal == 0;
    bool hasNextFiles = false;
    // A loop is the request for the next trial: its files are opened with or
    // without Auto File, so that the next trigger records.
    if ((m_captureAutoFile || isLooping) && !m_captureName.empty()) {
        ++m_trialIndex;
        hasNextFiles = CreateCaptureFiles();
        // A trial whose files could not be created is no trial: its number stays free.
        if (!hasNextFiles) --m_trialIndex;
    }
    if (isLooping && !hasNextFiles) {
        // Said now, before the subject does a trial that nothing would record.
        SetErrorMessage(wxString::Format(_("Trigger Loop stopped: no capture file could be "
                                           "opened for trial %lld\n"),
                                         static_cast<long long>(m_trialIndex + 1)),
                        true);
    } else if (isLooping) {
        // A start that came during the stop records now, not after the file list,
        // the sound and a round through the event queue: each of its frames
        // until then would be lost.
        m_loopRearmPending = true;
        if (!RunCaptureStart(false) && m_loopRearmPending) QueueLoopStart();
    }
    for (const Row& row : rows)
        AddFileListRow(row.path, static_cast<int>(std::min<int64_t>(row.frames, INT32_MAX)),
                       row.seconds);
    if (rows.empty()) std::cerr << _("Unable to retrieve file information!\n").utf8_str();
    for (const wxString& fileName : notified)
        ShowNotification(_("Saving data"), fileName, wxICON_INFORMATION);
    PlayCaptureSound();
    SetCaptureTool(m_capturing);
    UpdateTitle();
}

void TrackerFrame::QueueLoopStart()
{
    m_loopRearmPending = true;
    wxQueueEvent(this, new wxCommandEvent(wxEVT_MENU, ID_CAPTURE_START));
}

bool TrackerFrame::HasEveryRecordingItsFirstFrames()
{
    for (CAnalogDevice* device : CaptureDevices()) {
        if (!device->IsRecording()) continue;
        auto* controller = dynamic_cast<CAnalogFile*>(device->GetRecorder());
        const int64_t frames =
            controller ? controller->GetFrameCount() : device->GetRecordedFrames();
        if (frames < CAnalogReader::kMinFrames) return false;
    }
    return true;
}

double TrackerFrame::TrialStartUs() const
{
    const auto trial = m_trialTriggerTimes.find(m_trialIndex);
    if (trial != m_trialTriggerTimes.end() && trial->second.first > 0.0) return trial->second.first;
    return m_captureStartUs;
}

TrackerFrame::TriggerAction TrackerFrame::ActOnCrossings(CTriggerCrossings& crossings)
{
    TriggerCrossing crossing;
    while (crossings.Peek(crossing)) {
        // A stop that came before the trial's start (its trigger, or the start itself
        // for a trial begun without one) belongs to no trial of this run.
        if (m_capturing && crossing.kind == TriggerCrossing::Kind::Stop &&
            crossing.atUs >= TrialStartUs()) {
            if (!HasEveryRecordingItsFirstFrames() &&
                GetProgramTime() - m_captureStartUs < kFirstFramesHoldUs)
                return TriggerAction::Held;
            crossings.Pop(crossing);
            m_stopCrossingUs = crossing.atUs;  // a stop acted on late says so
            StopCapture();
            return TriggerAction::Stopped;
        }
        // A start while capturing repeats the one that started it; without a
        // capture or a wait, or before the trial began, a crossing is no trigger.
        crossings.Pop(crossing);
    }
    return TriggerAction::None;
}

void TrackerFrame::ReportTriggerOverflows(CTriggerCrossings& crossings, const wxString& input)
{
    const int64_t lost = crossings.TakeOverflows();
    if (lost == 0) return;
    // Trials were merged or lost: the user hears of it while the session goes on.
    SetErrorMessage(
        input + wxString::Format(_(": %lld start or stop values came faster than "
                                   "they could be acted on and were dropped: %lld "
                                   "trials were not recorded\n"),
                                 static_cast<long long>(lost), static_cast<long long>(lost / 2)),
        true);
}

TrackerFrame::TriggerAction TrackerFrame::ActOnTriggerCrossings()
{
    // The wait and the count-down take the crossings themselves; a stop in progress
    // leaves them to the loop's next wait.
    if (g_waiting_for_trigger || m_isStopping) return TriggerAction::None;
    const bool isKeptForLoop = !m_capturing && m_loopRearmPending;
    if (IsOscTriggerEnabled() && IsOscTriggerConnected()) {
        CTriggerCrossings& crossings = GetOscTriggerCrossings();
        if (m_triggerUse) {
            // The serial trigger is the one in use when both are on: the OSC values
            // start and stop nothing, and are not kept for later either.
            TriggerCrossing unused;
            while (crossings.Pop(unused)) {
            }
            crossings.TakeOverflows();
        } else {
            ReportTriggerOverflows(crossings, kOscInput);
            if (!isKeptForLoop) {
                const TriggerAction action = ActOnCrossings(crossings);
                if (action != TriggerAction::None) return action;
            }
        }
    }
    if (!m_triggerUse || !g_serialTrigger.IsOpen() || isKeptForLoop) return TriggerAction::None;
    g_serialTrigger.SetLevels(m_triggerThresholdHigh, m_triggerThresholdLow);
    const bool hasRead = g_serialTrigger.ReadLines(0) > 0;
    CTriggerCrossings& crossings = g_serialTrigger.GetCrossings();
    ReportTriggerOverflows(crossings, kSerialInput);
    const TriggerAction action = ActOnCrossings(crossings);
    // A silence is counted from the last byte on: the lines read with it came before
    // it, and a trial whose stop was among them heard that stop.
    SayTrialWithoutTrigger(action != TriggerAction::None);
    if (action == TriggerAction::None && hasRead && m_timeText)
        m_timeText->ChangeValue(wxString::Format("%.3f (v)", crossings.GetLastValue()));
    return action;
}

void TrackerFrame::SayTrialWithoutTrigger(bool isStopHeard)
{
    const int64_t losses = g_serialTrigger.GetLineLosses();
    if (losses == m_serialLossesSeen) return;
    m_serialLossesSeen = losses;
    // A line that comes back and goes again (a port opened while it vanished) costs
    // the same trial: said once.
    if (isStopHeard || !m_capturing || m_serialLossTrialSaid == m_trialIndex) return;
    m_serialLossTrialSaid = m_trialIndex;
    // The line's loss is said by the trigger; which trial it cost is said here.
    SetErrorMessage(wxString::Format(_("<COM> serial trigger: the line from %s was lost during "
                                       "trial %lld: the trial runs on without its trigger, and "
                                       "its stop may not be heard\n"),
                                     m_triggerPort, static_cast<long long>(m_trialIndex)),
                    true);
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

void TrackerFrame::OnStopCapture(wxCommandEvent& /*event*/) { StopCaptureByHand(); }

void TrackerFrame::OnToggleCapture(wxCommandEvent& event)
{
    if (m_capturing)
        StopCaptureByHand();
    else
        OnStartCapture(event);
}

void TrackerFrame::StopCaptureByHand()
{
    // A stop that comes right after its start (both pressed while a slow stop ran)
    // still ends a trial that every device has frames in: the frames of a few
    // periods, waited for here without the interface, as a hung device is not.
    const auto until = std::chrono::steady_clock::now() + kStopCatchUp;
    while (m_capturing && !HasEveryRecordingItsFirstFrames() &&
           GetProgramTime() - m_captureStartUs < kFirstFramesHoldUs &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    StopCapture();
}

bool TrackerFrame::OpenSerialTrigger()
{
    if (g_serialTrigger.IsOpen()) g_serialTrigger.Close();
    // Lines come on the trigger's own thread: they wake the idle handler.
    g_serialTrigger.SetWakeUp(WakeForCrossing);
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
