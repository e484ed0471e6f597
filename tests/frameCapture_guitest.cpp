// Capture control of the main frame with running test devices: capture set,
// start and stop, automatic numbering, the stop request, deleting a trial,
// trigger waits and the capture file list.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/aui/auibook.h>
#include <wx/evtloop.h>
#include <wx/filename.h>
#include <wx/listctrl.h>
#include <wx/modalhook.h>
#include <wx/msgdlg.h>
#include <wx/progdlg.h>
#include <wx/propgrid/propgrid.h>
#include <wx/textctrl.h>
#include <wx/textdlg.h>
#include <wx/uiaction.h>
#include <wx/weakref.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <atomic>
#include <chrono>
#include <charconv>
#include <condition_variable>
#include <functional>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <iostream>
#include <mutex>
#include <random>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "DravonetMain.h"
#include "countdownDialog.h"
#include "analog/analogFileDevice.h"
#include "analog/analogReader.h"
#include "analog/analogView.h"
#include "analog/fakeSinks.h"
#include "analog/formatTime.h"
#include "analog/paramType.h"
#include "analog/recordBytes.h"
#include "analog/testDevice.h"
#include "captureFiles.h"
#include "checkBoxComboPopup.h"
#include "frameKeySupport.h"
#include "framePrompts.h"
#include "frameTestSupport.h"
#include "network/liveNetworkServices.h"
#include "network/oscClientSettings.h"
#include "network/oscSourceSupport.h"
#include "network/oscTrigger.h"
#include "osc_pkt/udp.h"
#include "process/clock.h"
#include "process/triggerCrossings.h"
#include "serial/lineLink.h"
#include "serial/ptyPair.h"
#include "serial/serialTrigger.h"
#include "support/arrivalStamps.h"
#include "support/logCapture.h"
#include "support/refusingDisk.h"
#include "support/simSeeds.h"
#include "video/VideoDevice.h"
#include "video/videoFakes.h"
#include "video/videoFinisher.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kTimeout = 20s;  // bounds a broken build only

class CFastTestDevice : public CTestDevice {
public:
    explicit CFastTestDevice(const wxString& name, double rateHz = 500.0) : CTestDevice(false, false)
    {
        m_rate = rateHz;
        bool changed = false;
        SetParam(&name, 0, 1, PARAM_STRING, &changed);
    }
    void SetRateHz(double rateHz)
    {
        m_rate = rateHz;
        ResetClock();
    }
    // Its channels become sources that never deliver: its frames hold values not received.
    void WatchChannelsNeverHeard()
    {
        m_sourceWatch.Configure(SourceKind::kChannel, 1, HUGE_VAL);
        m_sourceWatch.Resize(m_channelCount);
    }
};

// A view that, as the channel view does, restarts its device's clock when a
// capture starts, so that the capture's time begins at 0.
class CRestartingView : public CFakeView {
public:
    void Restart() override
    {
        CFakeView::Restart();
        if (device) {
            device->Reset();
            device->ResetClock();
        }
        // A real view rebuilds its buffers (spectra take milliseconds) after that.
        if (rebuildTime.count() > 0) std::this_thread::sleep_for(rebuildTime);
    }
    CAnalogDevice* device = nullptr;  // non-owning
    std::chrono::microseconds rebuildTime{0};
};

class CaptureFrameTest : public FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        std::filesystem::create_directories(Path("capture"));
        std::filesystem::create_directories(Path("export"));
        for (auto& device : m_devices) {
            device.view.keepFrames = false;
            device.view.device = device.get();
            device->AddView(&device.view);
            // Sleeping between samples: the tests run beside others.
            ASSERT_TRUE(device->Create(true) && device->RunThread());
        }
        // A trigger input started by a capture listens on a free port.
        m_savedTrigger = GetOscTriggerSettings();
        OscTriggerSettings trigger = m_savedTrigger;
        trigger.inPort = 0;
        SetOscTriggerSettings(trigger);
        TrackerFrame* frame = MakeFrame();
        frame->m_capturePath = Folder("capture");
        frame->m_exportPath = Folder("export");
        frame->m_captureMaxTime = 0.0;
        frame->m_capturePreTime = 0.0;
        frame->m_triggerUse = false;
        frame->SetCaptureDeviceSource([this] {
            return std::vector<CAnalogDevice*>{m_devices[0].get(), m_devices[1].get()};
        });
    }

    void TearDown() override
    {
        StopOscTrigger();
        SetOscTriggerSettings(m_savedTrigger);
        SetOscTriggerEnabled(false);
        ResetShellPrompts();
        g_serialTrigger.Close();
        if (m_frame) {
            m_frame->CloseCaptureFiles();
            m_frame->SetCaptureDeviceSource([] { return std::vector<CAnalogDevice*>(); });
        }
        DestroyFrame();
        for (auto& device : m_devices) {
            device->Close();
            device->RemoveAllViews();
        }
        FrameTest::TearDown();
    }

    wxString Folder(const std::string& name) const { return wxString(Path(name).string()); }
    wxString CaptureFile(const std::string& name) const
    {
        return Folder("capture") + "/" + wxString(name);
    }
    bool Exists(const std::string& name) const { return std::filesystem::exists(Path(name)); }

    void Command(int id)
    {
        wxCommandEvent event(wxEVT_MENU, id);
        event.SetEventObject(m_frame);
        m_frame->ProcessWindowEvent(event);
    }

    // The serial trigger in Trigger Loop, on the converter's side of a pseudo-terminal.
    void UseSerialTriggerLoop(const CPtyPair& pty, int timeOutMs)
    {
        m_frame->m_triggerUse = true;
        m_frame->m_triggerLoop = true;
        m_frame->m_triggerPort = wxString(pty.SlaveName());
        m_frame->m_triggerTimeOut = timeOutMs;
    }

    // The user unticks the first channel in the toolbar's list.
    void UntickFirstChannel()
    {
        m_frame->m_channelPopup->Check(0, false);
        wxCommandEvent untick(wxEVT_CHECKLISTBOX, ID_CHANNEL_LIST);
        untick.SetInt(0);
        untick.SetEventObject(m_frame->m_channelPopup);
        m_frame->ProcessWindowEvent(untick);
    }

    // Waits, with no event running, until the capture limit ended both devices' runs.
    bool WaitRunsEnded()
    {
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        while ((m_devices[0]->IsRecording() || m_devices[1]->IsRecording()) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        return !m_devices[0]->IsRecording() && !m_devices[1]->IsRecording();
    }

    // Waits while both devices deliver frames to the running recording.
    void RecordFrames(int count)
    {
        for (auto& device : m_devices) {
            int before = 0;
            {
                std::lock_guard<std::mutex> lock(device.view.mutex);
                before = device.view.frameCount;
            }
            ASSERT_TRUE(device.view.WaitFrames(before + count, kTimeout));
        }
    }

    // Opens the set and records its first trial, of `frames` frames at least, by command.
    void RecordFirstTrial(const wxString& name, int frames)
    {
        ASSERT_TRUE(m_frame->OpenCaptureSet(name));
        Command(ID_CAPTURE_START);
        ASSERT_TRUE(m_frame->m_capturing);
        RecordFrames(frames);
        Command(ID_CAPTURE_STOP);
    }

    // Shows the first device in a page of its own, selected as the user selects it:
    // the channel list and the capture commands act on it.
    CAnalogView* ShowFirstDevice()
    {
        m_devices[0]->ShowAllChannels();  // as a device opened by its command
        auto* view = new CAnalogView(m_frame, wxDefaultPosition, wxSize(300, 200));
        view->SetDevice(m_devices[0].get());
        m_frame->m_mainBook->AddPage(view, "dev1", true);
        m_frame->SelectAnalogView(view);
        return view;
    }

    // Runs the GUI thread's events until the condition holds.
    template <typename Condition>
    bool RunUntil(Condition condition)
    {
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            RunEvents();
            std::this_thread::sleep_for(1ms);  // the acquisition threads run meanwhile
        }
        return true;
    }

    struct Device {
        explicit Device(const char* name) : device(std::make_unique<CFastTestDevice>(name)) {}
        CFastTestDevice* operator->() { return device.get(); }
        CFastTestDevice* get() { return device.get(); }
        std::unique_ptr<CFastTestDevice> device;
        CRestartingView view;
    };
    Device m_devices[2] = {Device("dev1"), Device("dev2")};
    OscTriggerSettings m_savedTrigger;
};

int64_t FramesInFile(const wxString& path)
{
    CAnalogReader reader;
    return reader.Open(path) ? reader.GetFrameCount() : -1;
}

constexpr double kTwoPi = 6.283185307179586;

// The phase of a test analog frame (0 at the device's frame 0, one turn per
// second): its first channel is 2.5 cos, its second 2.75 sin of the phase + 1/8 turn.
double AnalogPhase(const double* values)
{
    const double c = values[0] / 2.5;
    const double s = std::sqrt(2.0) * values[1] / 2.75 - c;
    const double phase = std::atan2(s, c);
    return phase < 0.0 ? phase + kTwoPi : phase;
}

// The phase steps between the frames of a recording of a test analog device
// that differ from one frame of its rate; -1 when the file cannot be read.
int64_t PhaseBreaks(const wxString& path, double rate)
{
    CAnalogReader reader;
    if (!reader.Open(path)) return -1;
    const int64_t count = reader.GetChannelCount() * reader.GetDim();
    std::vector<double> values(static_cast<size_t>(count));
    int64_t breaks = 0;
    double last = -1.0;
    for (int64_t frame = 0; frame < reader.GetFrameCount(); ++frame) {
        if (!reader.GetFrame(values.data(), count, frame)) return -1;
        const double phase = AnalogPhase(values.data());
        if (last >= 0.0) {
            const double step = std::remainder(phase - last - kTwoPi / rate, kTwoPi);
            if (std::fabs(step) > 1e-6) ++breaks;
        }
        last = phase;
    }
    return breaks;
}

TEST_F(CaptureFrameTest, CreateSetNamesFilesAfterThoseInTheFolder)
{
    {
        std::ofstream old(Path("capture/subjdev1_0003.qvd"));
        old << "earlier trial";
    }
    ASSERT_TRUE(m_frame->OpenCaptureSet("subj"));
    EXPECT_EQ(m_frame->m_captureName, "subj");
    EXPECT_EQ(m_frame->m_trialIndex, 4);
    EXPECT_TRUE(Exists("capture/subjdev1_0004.qvd"));
    EXPECT_TRUE(Exists("capture/subjdev2_0004.qvd"));
    // An export takes its name once its trial is saved whole.
    EXPECT_TRUE(Exists("export/subjdev1_0004.txt.part"));
    EXPECT_EQ(std::filesystem::file_size(Path("capture/subjdev1_0003.qvd")), 13u);
    EXPECT_NE(m_frame->m_messagesText->GetValue().Find("Creating capture file : "), wxNOT_FOUND);

    m_frame->CloseCaptureFiles();  // automatic numbering: the unrecorded outputs go
    EXPECT_TRUE(m_frame->m_captureName.empty());
    EXPECT_EQ(m_frame->m_trialIndex, 0);
    EXPECT_FALSE(Exists("capture/subjdev1_0004.qvd"));
    EXPECT_FALSE(Exists("export/subjdev1_0004.txt"));
    EXPECT_FALSE(Exists("export/subjdev1_0004.txt.part"));
    EXPECT_TRUE(Exists("capture/subjdev1_0003.qvd"));
}

// Answers the capture name dialog once it shows: with the text, or Cancel.
void AnswerNameDialog(TrackerFrame* frame, const wxString& answer, bool confirm)
{
    frame->CallAfter([answer, confirm] {
        for (wxWindow* window : wxTopLevelWindows) {
            if (auto* dialog = dynamic_cast<wxTextEntryDialog*>(window)) {
                dialog->SetValue(answer);
                dialog->EndModal(confirm ? wxID_OK : wxID_CANCEL);
                return;
            }
        }
        ADD_FAILURE() << "no name dialog";
    });
}

TEST_F(CaptureFrameTest, NameDialogOpensTheSetCancelOpensNothing)
{
    AnswerNameDialog(m_frame, "typed", false);
    Command(ID_CAPTURE_CREATE);
    EXPECT_TRUE(m_frame->m_captureName.empty());
    EXPECT_TRUE(std::filesystem::is_empty(Path("capture")));
    AnswerNameDialog(m_frame, "typed", true);
    Command(ID_CAPTURE_CREATE);
    EXPECT_EQ(m_frame->m_captureName, "typed");
    EXPECT_TRUE(Exists("capture/typeddev2_0001.qvd"));
}

TEST_F(CaptureFrameTest, CaptureNameThatLeavesTheFolderIsRefused)
{
    EXPECT_FALSE(m_frame->OpenCaptureSet("../subj"));
    EXPECT_TRUE(m_frame->m_captureName.empty());
    EXPECT_FALSE(m_frame->OpenCaptureSet(""));
    EXPECT_TRUE(std::filesystem::is_empty(Path("capture")));
}

TEST_F(CaptureFrameTest, StartStopWritesOneRecordingPerDeviceAndOpensTheNextTrial)
{
    ASSERT_TRUE(m_frame->OpenCaptureSet("run"));
    m_devices[0]->WatchChannelsNeverHeard();
    Command(ID_CAPTURE_START);
    ASSERT_TRUE(m_frame->m_capturing);
    RecordFrames(50);
    Command(ID_CAPTURE_STOP);
    EXPECT_FALSE(m_frame->m_capturing);
    // Said with the file: how many of its frames hold values not received, and whose.
    const wxString said = m_frame->m_messagesText->GetValue();
    const int64_t watched = FramesInFile(CaptureFile("rundev1_0001.qvd"));
    EXPECT_NE(said.Find(wxString::Format("dev1: %lld of %lld frames hold values not received "
                                         "(channel 1 never received",
                                         static_cast<long long>(watched),
                                         static_cast<long long>(watched))),
              wxNOT_FOUND)
        << said;
    EXPECT_EQ(said.Find("dev2: "), wxNOT_FOUND);
    for (const char* name : {"rundev1_0001.qvd", "rundev2_0001.qvd"}) {
        const int64_t frames = FramesInFile(CaptureFile(name));
        EXPECT_GE(frames, 50) << name;
        const long row = m_frame->m_fileList->FindItem(-1, name);
        ASSERT_GE(row, 0) << name;
        EXPECT_EQ(static_cast<int64_t>(m_frame->m_fileList->GetItemData(row)), frames);
        EXPECT_TRUE(m_frame->m_fileList->GetItemText(row, 1).StartsWith(
            wxString::Format("%lld (", static_cast<long long>(frames))));
        EXPECT_TRUE(m_frame->m_fileList->GetItemText(row, 2).EndsWith("Kb"));
        EXPECT_FALSE(m_frame->m_fileList->GetItemText(row, 3).empty());
    }
    EXPECT_EQ(m_frame->m_fileList->GetItemCount(), 2);
    EXPECT_NE(m_frame->m_messagesText->GetValue().Find("Saving data to : "), wxNOT_FOUND);
    // Automatic numbering: the next trial is ready.
    EXPECT_EQ(m_frame->m_trialIndex, 2);
    EXPECT_TRUE(Exists("capture/rundev1_0002.qvd"));
    EXPECT_EQ(m_devices[0]->GetWriterFileName(), CaptureFile("rundev1_0002.qvd"));
}

TEST_F(CaptureFrameTest, StartWithoutOpenOutputsFailsOnEveryDevice)
{
    m_frame->m_captureAutoFile = false;
    ASSERT_TRUE(m_frame->OpenCaptureSet("man"));
    Command(ID_CAPTURE_START);
    RecordFrames(5);
    Command(ID_CAPTURE_STOP);
    EXPECT_FALSE(m_devices[0]->IsRecording());
    EXPECT_TRUE(m_devices[0]->GetWriterFileName().empty());
    Command(ID_CAPTURE_START);
    EXPECT_FALSE(m_frame->m_capturing);
    EXPECT_NE(
        m_frame->m_errorsText->GetValue().Find("Unable to start analog writing,  device dev2"),
        wxNOT_FOUND);
    Command(ID_CAPTURE_NEXT);
    EXPECT_EQ(m_frame->m_trialIndex, 2);
    EXPECT_TRUE(Exists("capture/mandev2_0002.qvd"));
}

TEST_F(CaptureFrameTest, SameDeviceNamesRefuseTheSet)
{
    const wxString name = "dev1";
    bool changed = false;
    ASSERT_TRUE(m_devices[1]->SetParam(&name, 0, 1, PARAM_STRING, &changed));
    EXPECT_FALSE(m_frame->CheckCaptureFile());
    EXPECT_FALSE(m_frame->OpenCaptureSet("dup"));
    EXPECT_TRUE(m_frame->m_captureName.empty());
    EXPECT_TRUE(std::filesystem::is_empty(Path("capture")));
}

TEST_F(CaptureFrameTest, DeviceThatCannotOpenItsFileIsReportedOthersKeepTheirs)
{
    // A name longer than a file name may be.
    const wxString name(wxUniChar('n'), 300);
    bool changed = false;
    ASSERT_TRUE(m_devices[1]->SetParam(&name, 0, 1, PARAM_STRING, &changed));
    ASSERT_TRUE(m_frame->OpenCaptureSet("part"));
    EXPECT_TRUE(Exists("capture/partdev1_0001.qvd"));
    EXPECT_NE(m_frame->m_errorsText->GetValue().Find("Error creating capture file for " + name),
              wxNOT_FOUND);
    // The start says first which device will not be recorded; No starts nothing.
    CDefaultNoAnswers asked;
    Command(ID_CAPTURE_START);
    ASSERT_EQ(asked.questions.size(), 1u);
    EXPECT_EQ(asked.questions[0],
              "No capture file is open for trial 1 of these devices: they will "
              "not be recorded.\n" +
                  name + "\n\nStart the capture without them?");
    EXPECT_FALSE(m_frame->m_capturing);
    EXPECT_FALSE(m_devices[0]->IsRecording());
    asked.answer = true;
    Command(ID_CAPTURE_START);
    EXPECT_EQ(asked.questions.size(), 2u);
    EXPECT_TRUE(m_frame->m_capturing);
    RecordFrames(10);
    Command(ID_CAPTURE_STOP);
    EXPECT_GE(FramesInFile(CaptureFile("partdev1_0001.qvd")), 10);
}

TEST_F(CaptureFrameTest, ExistingRecordingIsNeverReplaced)
{
    m_frame->m_captureAutoFile = false;
    ASSERT_TRUE(m_frame->OpenCaptureSet("keep"));
    {
        // Another program's file appears where the next trial would go.
        std::ofstream other(Path("capture/keepdev2_0002.qvd"));
        other << "precious";
    }
    Command(ID_CAPTURE_NEXT);
    EXPECT_EQ(std::filesystem::file_size(Path("capture/keepdev2_0002.qvd")), 8u);
    EXPECT_TRUE(m_devices[1]->GetWriterFileName().empty());
    EXPECT_EQ(m_devices[0]->GetWriterFileName(), CaptureFile("keepdev1_0002.qvd"));
    EXPECT_NE(m_frame->m_errorsText->GetValue().Find("Error creating capture file for dev2"),
              wxNOT_FOUND);
}

TEST_F(CaptureFrameTest, DurationLimitStopsTheCaptureThroughIdle)
{
    m_frame->m_captureMaxTime = 0.2;
    ASSERT_TRUE(m_frame->OpenCaptureSet("limit"));
    Command(ID_CAPTURE_START);
    ASSERT_TRUE(m_frame->m_capturing);
    ASSERT_TRUE(RunUntil([this] { return !m_frame->m_capturing; }));
    int64_t most = 0;
    for (const char* name : {"limitdev1_0001.qvd", "limitdev2_0001.qvd"}) {
        const int64_t frames = FramesInFile(CaptureFile(name));
        EXPECT_LE(frames, 105) << name;  // no more than the limit, whichever device it is
        most = std::max(most, frames);
    }
    // The device that reached the limit holds 0.2 s at 500 Hz. The other stops with it:
    // on a loaded machine its thread may lag behind and hold fewer.
    EXPECT_GE(most, 100);
    EXPECT_EQ(m_frame->m_trialIndex, 2);
    EXPECT_EQ(m_frame->m_fileList->GetItemCount(), 2);
}

TEST_F(CaptureFrameTest, LateStopRequestAfterAStopOpensNoExtraTrialNorEndsTheNext)
{
    RecordFirstTrial("late", 10);
    ASSERT_EQ(m_frame->m_trialIndex, 2);
    m_frame->RequestCaptureStop();  // as a recorder at its limit would, a moment too late
    RunEvents();
    Command(ID_CAPTURE_STOP);
    EXPECT_EQ(m_frame->m_trialIndex, 2);
    EXPECT_FALSE(Exists("capture/latedev1_0003.qvd"));
    EXPECT_EQ(m_frame->m_fileList->GetItemCount(), 2);
    // A request that comes while the stop runs and is still waiting when the
    // next trial starts belongs to the trial before: the new one goes on.
    m_frame->RequestCaptureStop();
    Command(ID_CAPTURE_START);
    ASSERT_TRUE(m_frame->m_capturing);
    RunEvents();
    EXPECT_TRUE(m_frame->m_capturing);
    RecordFrames(10);
    Command(ID_CAPTURE_STOP);
    EXPECT_GE(FramesInFile(CaptureFile("latedev1_0002.qvd")), 10);
}

TEST_F(CaptureFrameTest, UnreadableCaptureFolderOpensNoSet)
{
    std::ofstream(Path("not-a-folder")) << "x";
    m_frame->m_capturePath = Folder("not-a-folder");
    EXPECT_FALSE(m_frame->OpenCaptureSet("subj"));
    EXPECT_TRUE(m_frame->m_captureName.empty());
    EXPECT_NE(m_frame->m_errorsText->GetValue().Find("Unable to read the capture folder"),
              wxNOT_FOUND);
}

TEST_F(CaptureFrameTest, DeleteLastTrialTakesBackOnlyTrialsOfThisSet)
{
    {
        std::ofstream old(Path("capture/deldev1_0001.qvd"));
        old << "earlier session";
    }
    ASSERT_TRUE(m_frame->OpenCaptureSet("del"));
    ASSERT_EQ(m_frame->m_trialIndex, 2);
    Command(ID_CAPTURE_START);
    RecordFrames(20);
    Command(ID_CAPTURE_STOP);
    ASSERT_EQ(m_frame->m_trialIndex, 3);
    ASSERT_EQ(m_frame->m_fileList->GetItemCount(), 2);

    // The user is asked first, with the trial and its files named; No keeps everything.
    CDefaultNoAnswers asked;
    Command(ID_CAPTURE_DELETE_LAST);
    ASSERT_EQ(asked.questions.size(), 1u);
    EXPECT_EQ(asked.questions[0], "Delete trial 2 of \"del\"? 4 file(s) will be deleted.");
    EXPECT_EQ(m_frame->m_trialIndex, 3);
    EXPECT_GE(FramesInFile(CaptureFile("deldev1_0002.qvd")), 20);
    EXPECT_TRUE(Exists("export/deldev2_0002.txt"));
    EXPECT_TRUE(Exists("capture/deldev1_0003.qvd"));
    EXPECT_EQ(m_frame->m_fileList->GetItemCount(), 2);

    asked.answer = true;
    Command(ID_CAPTURE_DELETE_LAST);
    ASSERT_EQ(asked.questions.size(), 2u);
    // Trial 3's prepared files went; trial 2 is to be recorded again.
    EXPECT_EQ(m_frame->m_trialIndex, 2);
    EXPECT_FALSE(Exists("capture/deldev1_0003.qvd"));
    EXPECT_EQ(FramesInFile(CaptureFile("deldev1_0002.qvd")), -1);  // fresh, nothing recorded
    EXPECT_EQ(m_devices[0]->GetWriterFileName(), CaptureFile("deldev1_0002.qvd"));
    EXPECT_EQ(m_frame->m_fileList->GetItemCount(), 0);
    EXPECT_EQ(m_frame->m_fileList->GetColumnCount(), 4);

    // Trial 1 belongs to an earlier session: a second delete leaves it.
    Command(ID_CAPTURE_DELETE_LAST);
    ASSERT_EQ(asked.questions.size(), 3u);
    EXPECT_EQ(asked.questions[2], "Delete trial 2 of \"del\"? 4 file(s) will be deleted.");
    EXPECT_EQ(m_frame->m_trialIndex, 2);
    EXPECT_EQ(std::filesystem::file_size(Path("capture/deldev1_0001.qvd")), 15u);
    EXPECT_TRUE(Exists("capture/deldev1_0002.qvd"));
}

// Keeps what each modal dialog shows and answers it in the user's place.
class CDialogAnswer : public wxModalDialogHook {
public:
    explicit CDialogAnswer(int answer) : m_answer(answer) { Register(); }
    ~CDialogAnswer() override { Unregister(); }
    struct Shown {
        wxString caption;
        wxString message;
        long style = 0;
    };
    std::vector<Shown> shown;

protected:
    int Enter(wxDialog* dialog) override
    {
        Shown seen;
        if (auto* box = dynamic_cast<wxMessageDialog*>(dialog)) {
            seen.caption = box->GetCaption();
            seen.message = box->GetMessage();
            seen.style = box->GetMessageDialogStyle();
        }
        shown.push_back(seen);
        return m_answer;
    }
    void Exit(wxDialog*) override {}

private:
    int m_answer;
};

TEST_F(CaptureFrameTest, DeleteLastTrialAsksInAMessageBoxWithNoPreselected)
{
    RecordFirstTrial("ask", 10);
    ASSERT_EQ(m_frame->m_trialIndex, 2);
    {
        CDialogAnswer no(wxID_NO);
        Command(ID_CAPTURE_DELETE_LAST);
        ASSERT_EQ(no.shown.size(), 1u);
        EXPECT_EQ(no.shown[0].caption, "Quorvane");
        EXPECT_EQ(no.shown[0].message, "Delete trial 1 of \"ask\"? 4 file(s) will be deleted.");
        EXPECT_EQ(no.shown[0].style & (wxYES_NO | wxNO_DEFAULT), wxYES_NO | wxNO_DEFAULT);
    }
    EXPECT_EQ(m_frame->m_trialIndex, 2);
    EXPECT_GE(FramesInFile(CaptureFile("askdev1_0001.qvd")), 10);
    {
        CDialogAnswer yes(wxID_YES);
        Command(ID_CAPTURE_DELETE_LAST);
        EXPECT_EQ(yes.shown.size(), 1u);
    }
    EXPECT_EQ(m_frame->m_trialIndex, 1);
    EXPECT_EQ(FramesInFile(CaptureFile("askdev1_0001.qvd")), -1);  // fresh, nothing recorded
    EXPECT_FALSE(Exists("capture/askdev1_0002.qvd"));
}

TEST_F(CaptureFrameTest, CloseDuringARunKeepsTheRecording)
{
    ASSERT_TRUE(m_frame->OpenCaptureSet("quit"));
    Command(ID_CAPTURE_START);
    RecordFrames(20);
    m_frame->CloseCaptureFiles();  // the destruction path while capturing
    EXPECT_FALSE(m_frame->m_capturing);
    EXPECT_GE(FramesInFile(CaptureFile("quitdev1_0001.qvd")), 20);
}

// The progress dialog of a trigger wait, found as the user sees it.
wxGenericProgressDialog* FindWaitDialog()
{
    for (wxWindow* window : wxTopLevelWindows) {
        if (auto* dialog = dynamic_cast<wxGenericProgressDialog*>(window)) return dialog;
    }
    return nullptr;
}

TEST_F(CaptureFrameTest, SerialTriggerStartsAtItsHighThresholdWithoutCountdown)
{
    m_frame->m_triggerUse = true;
    m_frame->m_triggerPort = Folder("no-such-port");
    m_frame->m_triggerThresholdHigh = 4.0;
    m_frame->m_capturePreTime = 30.0;  // a count-down would hold the test
    std::vector<double> readings = {3.9, 3.99, 4.0};
    size_t next = 0;
    bool sawDialog = false;
    m_frame->SetTriggerReaders(
        [&](double& volts) {
            sawDialog = sawDialog || FindWaitDialog() != nullptr;
            if (next >= readings.size()) {
                ADD_FAILURE() << "the start value did not start";
                volts = 100.0;  // ends the wait of a broken build
                return true;
            }
            volts = readings[next++];
            return true;
        },
        nullptr);
    ASSERT_TRUE(m_frame->OpenCaptureSet("trig"));
    Command(ID_CAPTURE_START);
    EXPECT_TRUE(sawDialog);
    EXPECT_EQ(next, 3u);
    EXPECT_TRUE(m_frame->m_capturing);
    EXPECT_FALSE(g_waiting_for_trigger);
    Command(ID_CAPTURE_STOP);
}

TEST_F(CaptureFrameTest, CancelledWaitStartsNothingAndKeepsTheOutputs)
{
    m_frame->m_triggerUse = true;
    m_frame->m_triggerPort = Folder("no-such-port");
    int reads = 0;
    auto clickTime = std::chrono::steady_clock::now();
    m_frame->SetTriggerReaders(
        [&](double& volts) {
            volts = 1.0;
            if (reads > 3 && std::chrono::steady_clock::now() - clickTime > kTimeout) {
                ADD_FAILURE() << "Cancel did not end the wait";
                volts = 100.0;
            }
            if (++reads == 3) {
                wxGenericProgressDialog* dialog = FindWaitDialog();
                EXPECT_NE(dialog, nullptr);
                if (!dialog) return true;
                wxWindow* cancel = dialog->FindWindow(wxID_CANCEL);
                EXPECT_NE(cancel, nullptr);
                if (!cancel) return true;
                wxCommandEvent click(wxEVT_BUTTON, wxID_CANCEL);
                click.SetEventObject(cancel);
                cancel->GetEventHandler()->ProcessEvent(click);
                clickTime = std::chrono::steady_clock::now();
                EXPECT_TRUE(g_waiting_for_trigger);
            }
            return true;
        },
        nullptr);
    ASSERT_TRUE(m_frame->OpenCaptureSet("cancel"));
    Command(ID_CAPTURE_START);
    EXPECT_GE(reads, 3);
    EXPECT_FALSE(m_frame->m_capturing);
    EXPECT_FALSE(g_waiting_for_trigger);
    EXPECT_FALSE(m_devices[0]->IsRecording());
    EXPECT_EQ(m_devices[0]->GetWriterFileName(), CaptureFile("canceldev1_0001.qvd"));
}

TEST_F(CaptureFrameTest, OscTriggerIsFollowedByTheCountdownSerialTriggerTakesPrecedence)
{
    SetOscTriggerEnabled(true);  // not connected: warned, waited for all the same
    std::vector<double> values = {-300.0, 254.9, 255.0};
    size_t next = 0;
    int serialReads = 0;
    m_frame->SetTriggerReaders(
        [&](double& volts) {
            volts = 5.0;
            return ++serialReads > 0;
        },
        [&](double& value) {
            if (next >= values.size()) return false;
            value = values[next++];
            return true;
        });
    m_frame->m_capturePreTime = 0.3;
    ASSERT_TRUE(m_frame->OpenCaptureSet("osc"));
    const double before = GetProgramTime();
    Command(ID_CAPTURE_START);
    EXPECT_EQ(next, 3u);
    EXPECT_EQ(serialReads, 0);
    EXPECT_GE((GetProgramTime() - before) / 1000.0, 290.0);  // the count-down ran
    EXPECT_TRUE(m_frame->m_capturing);
    Command(ID_CAPTURE_STOP);

    // Both enabled: only the serial trigger is waited for.
    m_frame->m_triggerUse = true;
    m_frame->m_triggerPort = Folder("no-such-port");
    next = 0;
    Command(ID_CAPTURE_START);
    EXPECT_EQ(serialReads, 1);
    EXPECT_EQ(next, 0u);
    EXPECT_TRUE(m_frame->m_capturing);
}

TEST_F(CaptureFrameTest, LoopModeOnARealSerialTriggerRearmsWithoutTimeLimit)
{
    CPtyPair pty;
    ASSERT_TRUE(pty.IsValid());
    UseSerialTriggerLoop(pty, 0);         // reads must still come back
    m_frame->m_captureMaxTime = 0.05;     // not applied to triggered captures in loop mode
    ASSERT_TRUE(pty.Send("data=100\n"));  // taken by the port's opening
    ASSERT_TRUE(m_frame->OpenSerialTrigger());
    m_frame->FlushStreams();
    EXPECT_NE(m_frame->m_messagesText->GetValue().Find("Serial trigger connected to"), wxNOT_FOUND);
    // The start's wait reads the injected rising edge; the idle handler reads the line.
    int starts = 0;
    m_frame->SetTriggerReaders(
        [&](double& volts) {
            ++starts;
            volts = 4.4;
            return true;
        },
        nullptr);
    ASSERT_TRUE(m_frame->OpenCaptureSet("loop"));
    Command(ID_CAPTURE_START);
    ASSERT_TRUE(m_frame->m_capturing);
    RecordFrames(100);  // 0.2 s: past the maximum time
    RunEvents();
    EXPECT_TRUE(m_frame->m_capturing);
    // Below the low threshold the idle handler stops; the queued start re-arms. The
    // converter sends its reading all the time, as a real one does.
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        while (feeding.load() && pty.Send("data=100\n")) std::this_thread::sleep_for(10ms);
    });
    const bool isRearmed = RunUntil([&] { return starts >= 2; });
    feeding = false;
    feeder.join();
    ASSERT_TRUE(isRearmed) << "trial " << m_frame->m_trialIndex << " starts " << starts << "\n"
                           << m_frame->m_errorsText->GetValue();
    // The converter is silent now: the last re-armed capture runs on.
    ASSERT_TRUE(RunUntil([this] { return m_frame->m_capturing; }));
    EXPECT_GE(m_frame->m_trialIndex, 2);
    EXPECT_GE(starts, 2);
    EXPECT_GE(FramesInFile(CaptureFile("loopdev1_0001.qvd")), 100);
    m_frame->m_triggerLoop = false;
    const std::string last =
        wxString::Format("loopdev1_%04d.qvd", int(m_frame->m_trialIndex)).ToStdString();
    Command(ID_CAPTURE_STOP);
    EXPECT_TRUE(Exists("capture/" + last));
}

// How often text occurs in a page.
int Occurrences(const wxString& page, const wxString& text)
{
    int count = 0;
    for (size_t at = page.find(text); at != wxString::npos; at = page.find(text, at + 1)) ++count;
    return count;
}

// Trials the program says it did not record: dropped from a full queue, or too late.
int SaidNotRecorded(const wxString& errors)
{
    int count = Occurrences(errors, "a trial was not recorded");
    const std::string text = errors.ToStdString();
    const std::string tail = " trials were not recorded";
    for (size_t at = text.find(tail); at != std::string::npos; at = text.find(tail, at + 1)) {
        size_t from = at;
        while (from > 0 && std::isdigit(static_cast<unsigned char>(text[from - 1]))) --from;
        count += std::atoi(text.substr(from, at - from).c_str());
    }
    return count;
}

// A stimulus program or a converter: sends each value of its schedule at its
// time, counted from Begin(), on a thread of its own, noting when each went out.
class CTriggerSender {
public:
    struct Step {
        int atMs;
        double value;
    };
    using Send = std::function<bool(double value)>;
    CTriggerSender(std::vector<Step> steps, Send send)
        : m_steps(std::move(steps)), m_send(std::move(send)), m_sentAt(m_steps.size())
    {
    }
    ~CTriggerSender() { Join(); }
    void Begin()
    {
        m_thread = std::thread([this] {
            const auto start = std::chrono::steady_clock::now();
            for (size_t i = 0; i < m_steps.size(); ++i) {
                std::this_thread::sleep_until(start + std::chrono::milliseconds(m_steps[i].atMs));
                m_sentAt[i] = std::chrono::steady_clock::now();
                if (!m_send(m_steps[i].value)) m_failed = true;
            }
            m_done = true;
        });
    }
    void Join()
    {
        if (m_thread.joinable()) m_thread.join();
    }
    bool IsDone() const { return m_done.load(); }
    bool HasFailed() const { return m_failed.load(); }
    // Seconds between two steps as they went out (after IsDone).
    double Between(size_t first, size_t second) const
    {
        return std::chrono::duration<double>(m_sentAt[second] - m_sentAt[first]).count();
    }
    // Steps that went out more than limitSec after the one before (a starved sender),
    // the first one counted from since when given (the line silent until then).
    int Gaps(double limitSec, std::chrono::steady_clock::time_point since = {}) const
    {
        int gaps = 0;
        if (since != std::chrono::steady_clock::time_point() && !m_sentAt.empty())
            gaps += std::chrono::duration<double>(m_sentAt[0] - since).count() > limitSec ? 1 : 0;
        for (size_t i = 1; i < m_sentAt.size(); ++i) gaps += Between(i - 1, i) > limitSec ? 1 : 0;
        return gaps;
    }

private:
    const std::vector<Step> m_steps;
    const Send m_send;
    std::vector<std::chrono::steady_clock::time_point> m_sentAt;
    std::atomic<bool> m_done{false};
    std::atomic<bool> m_failed{false};
    std::thread m_thread;
};

// A recording, with what the program says of it, against its trial as the triggers came:
// the last frame is the one due before the stop, and a delay of a frame or less is not
// said, at 500 frames a second.
constexpr double kFrameSlack = 0.008;

// Trials of lengthMs, each next start gapMs after the stop before, from firstMs on.
std::vector<CTriggerSender::Step> Trials(int count, int lengthMs, int gapMs, double start,
                                         double stop, int firstMs = 100)
{
    std::vector<CTriggerSender::Step> steps;
    for (int k = 0; k < count; ++k) {
        const int at = firstMs + k * (lengthMs + gapMs);
        steps.push_back({at, start});
        steps.push_back({at + lengthMs, stop});
    }
    return steps;
}

// Clicks Cancel in the trigger wait shown now, as the user does.
bool CancelWait()
{
    wxGenericProgressDialog* dialog = FindWaitDialog();
    wxWindow* cancel = dialog ? dialog->FindWindow(wxID_CANCEL) : nullptr;
    if (!cancel) return false;
    wxCommandEvent click(wxEVT_BUTTON, wxID_CANCEL);
    click.SetEventObject(cancel);
    cancel->GetEventHandler()->ProcessEvent(click);
    return true;
}

// True inside a yield of the event loop (the trigger wait's, say).
bool IsYielding()
{
    wxEventLoopBase* loop = wxEventLoopBase::GetActive();
    return loop != nullptr && loop->IsYielding();
}

// The longest a converter's line may have been silent between two of its lines, as a
// reader could see it: from before one send to after the next. The sender's thread;
// read after it is done.
class CLineGaps {
public:
    bool Note(std::chrono::steady_clock::time_point before, bool isSent)
    {
        if (m_isStarted)
            m_longest = std::max(m_longest, std::chrono::steady_clock::now() - m_lastBefore);
        m_isStarted = true;
        m_lastBefore = before;
        return isSent;
    }
    double LongestMs() const
    {
        return std::chrono::duration<double, std::milli>(m_longest).count();
    }

private:
    bool m_isStarted = false;
    std::chrono::steady_clock::time_point m_lastBefore;
    std::chrono::steady_clock::duration m_longest{};
};

// The serial trigger's own thread, held before its next read of the port once asked,
// until the window has read the line kHeldReads times: each read more than a read
// time-out after the one before. Bounded, so that a failing build ends.
struct SLineHold {
    static constexpr int kHeldReads = 4;
    std::mutex mutex;
    std::condition_variable changed;
    bool isAsked = false;
    bool isHeld = false;
    int reads = 0;
};
SLineHold g_lineHold;

void HoldTriggerLine()
{
    std::unique_lock<std::mutex> lock(g_lineHold.mutex);
    if (!g_lineHold.isAsked) return;
    g_lineHold.isAsked = false;
    g_lineHold.isHeld = true;
    g_lineHold.changed.wait_for(lock, std::chrono::seconds(5),
                                [] { return g_lineHold.reads >= SLineHold::kHeldReads; });
    g_lineHold.isHeld = false;
}

class CaptureTriggerTest : public CaptureFrameTest {
protected:
    void SetUp() override
    {
        CaptureFrameTest::SetUp();
        OscClientSettings client = GetOscClientSettings();
        client.maxTimeoutMs = 10;  // the sender answers no connect message
        SetOscClientSettings(client);
        OscTriggerSettings trigger = GetOscTriggerSettings();
        trigger.inPort = 0;  // a free port: tests run side by side
        trigger.outPort = m_source.Port();
        SetOscTriggerSettings(trigger);
    }
    void TearDown() override
    {
        SetOscClientSettings(OscClientSettings());
        CaptureFrameTest::TearDown();
    }

    // The OSC trigger input listening, with the stimulus program as its source.
    CTriggerSender::Send UseOscTrigger()
    {
        SetOscTriggerEnabled(true);
        EXPECT_TRUE(StartOscTrigger());
        const int port = GetOscTriggerListeningPort();
        return [this, port](double value) {
            return m_source.Send(port, osctest::Floats("/unity_sync", {float(value)}));
        };
    }

    // Starts a capture by command: the sender begins once the wait shows, and a
    // wait still shown is cancelled once isOver() holds, or long after the sender
    // is done. True when the sender is done, no capture runs and, in loop mode, the
    // loop's last wait was cancelled.
    bool RunTriggeredCaptures(CTriggerSender& sender, const std::function<bool()>& isOver)
    {
        const bool isLoop = m_frame->m_triggerLoop;
        bool hasBegun = false;
        bool isCancelled = false;
        std::chrono::steady_clock::time_point doneAt;
        wxTimer driver;  // fires inside the wait's yields and modal loops
        driver.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
            if (!hasBegun && FindWaitDialog()) {
                hasBegun = true;
                sender.Begin();
            }
            if (!hasBegun || !sender.IsDone() || !FindWaitDialog()) return;
            const auto now = std::chrono::steady_clock::now();
            if (doneAt == std::chrono::steady_clock::time_point()) doneAt = now;
            if (isOver() || now - doneAt > 5s) isCancelled = CancelWait() || isCancelled;
        });
        driver.Start(5);
        Command(ID_CAPTURE_START);
        const bool isEnded = RunUntil(
            [&] { return (isCancelled || !isLoop) && sender.IsDone() && !m_frame->m_capturing; });
        driver.Stop();
        sender.Join();
        EXPECT_FALSE(sender.HasFailed());
        return isEnded;
    }

    // In Trigger Loop, count trials of lengthMs, gapMs apart, sent on the OSC trigger
    // and recorded in the capture set set, or said not recorded (a start the busy
    // machine could not act on in time: m_saidLost); the loop's last wait is then
    // cancelled. The sender, for the times its values went out.
    std::unique_ptr<CTriggerSender> RecordLoopTrials(const std::string& set, int count,
                                                     int lengthMs, int gapMs)
    {
        if (!m_oscSend) m_oscSend = UseOscTrigger();
        m_frame->m_triggerLoop = true;
        EXPECT_TRUE(m_frame->OpenCaptureSet(set));
        const size_t errorsFrom = m_frame->m_errorsText->GetValue().length();
        const auto saidLost = [&] {
            return Occurrences(m_frame->m_errorsText->GetValue().Mid(errorsFrom),
                               "a trial was not recorded");
        };
        auto sender = std::make_unique<CTriggerSender>(
            Trials(count, lengthMs, gapMs, 255.0, -255.0), m_oscSend);
        EXPECT_TRUE(RunTriggeredCaptures(
            *sender, [&] { return m_frame->m_trialIndex + saidLost() > count; }))
            << m_frame->m_errorsText->GetValue();
        EXPECT_EQ(m_frame->m_trialIndex + saidLost(), count + 1) << set;
        m_saidLost += saidLost();
        return sender;
    }
    int m_saidLost = 0;
    // Trials of this set recorded or said not recorded: at least count.
    bool AreTrialsAccounted(int count) const
    {
        return int(m_frame->m_trialIndex) - 1 +
                   SaidNotRecorded(m_frame->m_errorsText->GetValue()) >=
               count;
    }
    // The delay Messages says trial started (verb "started") or stopped ("stopped")
    // after its trigger, in ms (0 when not said), in the messages text; -1 when said
    // more than once.
    static double SaidStartDelayMs(const wxString& messages, int trial,
                                   const std::string& tail = " ms after its trigger\n",
                                   const std::string& verb = "started")
    {
        const std::string head = "Trial " + std::to_string(trial) + " " + verb + " ";
        const std::string text = messages.ToStdString();
        double delayMs = 0.0;
        int count = 0;
        for (size_t at = text.find(head); at != std::string::npos; at = text.find(head, at + 1)) {
            // Read whatever the locale: the program writes its messages with a point.
            const char* number = text.data() + at + head.size();
            double value = 0.0;
            const auto [end, error] = std::from_chars(number, text.data() + text.size(), value);
            if (error != std::errc() || end == number ||
                text.compare(static_cast<size_t>(end - text.data()), tail.size(), tail) != 0)
                continue;
            delayMs = value;
            ++count;
        }
        return count > 1 ? -1.0 : delayMs;
    }
    static double SaidStopDelayMs(const wxString& messages, int trial)
    {
        return SaidStartDelayMs(messages, trial, " ms after its trigger\n", "stopped");
    }
    // The ms Errors says the recording file ends before its trial's stop (a device
    // too far behind to deliver its last frames); 0 when not said, -1 when said twice.
    static double SaidShortMs(const wxString& errors, const wxString& file)
    {
        const std::string head = "Recording " + file.ToStdString() + " ends ";
        const std::string text = errors.ToStdString();
        double shortMs = 0.0;
        int count = 0;
        for (size_t at = text.find(head); at != std::string::npos; at = text.find(head, at + 1)) {
            const size_t open = text.find(" frames (", at + head.size());
            if (open == std::string::npos) continue;
            const char* number = text.data() + open + 9;
            double value = 0.0;
            const auto [end, error] = std::from_chars(number, text.data() + text.size(), value);
            if (error != std::errc() || end == number) continue;
            shortMs = value;
            ++count;
        }
        return count > 1 ? -1.0 : shortMs;
    }
    // Errors without what it says of a device held too far behind (its frames
    // repeated, its recording ending short): counted in the trial's check.
    static wxString ErrorsBesideLaggingDevices(const wxString& errors)
    {
        wxString rest;
        for (const wxString& line : wxSplit(errors, '\n', '\0')) {
            if (line.empty()) continue;
            if (line.StartsWith("Recording ") && line.Contains(" before the trial's stop: device "))
                continue;
            if (line.Contains("pacing fell more than one second behind"))
                continue;
            rest += line + "\n";
        }
        return rest;
    }
    // What the program guarantees of a triggered trial: its recording (frames on the
    // device's own clock), plus the start delay it says, minus the stop delay it says,
    // plus the frames it says a device could not deliver, is the time between the
    // trigger's start and stop as they came to the program, less a lead of leadSeconds
    // (a count-down). sentSeconds, the trial as sent, is told on failure. The start
    // delay said, in ms (0: none said).
    double ExpectTrialRecorded(const std::string& set, int trial, double sentSeconds,
                               const wxString& messages, int devices = 2,
                               double leadSeconds = 0.0, const std::string& startTail =
                                                             " ms after its trigger\n")
    {
        const double startMs = SaidStartDelayMs(messages, trial, startTail);
        const double stopMs = SaidStopDelayMs(messages, trial);
        EXPECT_GE(startMs, 0.0) << set << " trial " << trial << " start said once at most";
        EXPECT_GE(stopMs, 0.0) << set << " trial " << trial << " stop said once at most";
        const wxString errors = m_frame->m_errorsText->GetValue();
        // The trial between its triggers as they came to the program: the sender's, but
        // for the time each took to reach the input's thread, which a busy machine
        // stretches (a thread held 300 ms) and nobody can tell.
        const auto [startCameUs, stopCameUs] = m_frame->GetTrialTriggerTimes(trial);
        EXPECT_GT(startCameUs, 0.0) << set << " trial " << trial << " started by its trigger";
        // A trial of one bundle stops as it starts.
        EXPECT_GE(stopCameUs, startCameUs)
            << set << " trial " << trial << " stopped by its trigger";
        const double cameSeconds = (stopCameUs - startCameUs) / 1.0e6;
        for (int device = 1; device <= devices; ++device) {
            const wxString file =
                CaptureFile(wxString::Format("%sdev%d_%04d.qvd", set, device, trial).ToStdString());
            double shortMs = SaidShortMs(errors, file);
            EXPECT_GE(shortMs, 0.0) << file << " said short once at most";
            // Frames a writer too far behind could not keep are said at the file's close.
            const std::string text = errors.ToStdString();
            const std::string head = "<REC> " + file.ToStdString() + " : ";
            for (size_t at = text.find(head); at != std::string::npos;
                 at = text.find(head, at + 1)) {
                char* end = nullptr;
                const double frames = std::strtod(text.c_str() + at + head.size(), &end);
                if (std::strncmp(end, " frames dropped, the writer", 27) == 0)
                    shortMs += 2.0 * frames;
            }
            const double recorded = TrialSeconds(set, trial, device);
            EXPECT_GT(recorded, 0.0) << set << " trial " << trial << " device " << device;
            EXPECT_NEAR(recorded + (startMs - stopMs + shortMs) / 1000.0, cameSeconds - leadSeconds,
                        kFrameSlack)
                << set << " trial " << trial << " device " << device << ", sent " << sentSeconds
                << " s, came " << cameSeconds << " s, recorded " << recorded
                << " s, said: started " << startMs << " ms, stopped " << stopMs << " ms late, "
                << shortMs << " ms short\n" << messages << errors;
        }
        return startMs;
    }
    // Every trial of the sender (steps start, stop, start, ...) recorded as it came.
    // The start delays said, in ms (0: none said).
    std::vector<double> ExpectTrials(const std::string& set, const CTriggerSender& sender,
                                     int count, size_t messagesFrom, int devices = 2)
    {
        const wxString messages = m_frame->m_messagesText->GetValue().Mid(messagesFrom);
        std::vector<double> delays;
        for (int trial = 1; trial <= count; ++trial)
            delays.push_back(ExpectTrialRecorded(
                set, trial, sender.Between(2 * trial - 2, 2 * trial - 1), messages, devices));
        return delays;
    }

    // Seconds of the trial's recording of device index (1 or 2); -1 when unreadable.
    double TrialSeconds(const std::string& set, int trial, int device = 1) const
    {
        const int64_t frames = FramesInFile(
            CaptureFile(wxString::Format("%sdev%d_%04d.qvd", set, device, trial).ToStdString()));
        return frames < 0 ? -1.0 : double(frames) / 500.0;
    }

    osctest::SettingsGuard m_guard;
    osctest::Peer m_source;  // the stimulus program's socket
    CTriggerSender::Send m_oscSend;
};

// A trial armed while the wait yields (a start taken by its watch), whose stop, and
// the next start or none, are acted on before that yield is over (a busy machine
// delivers them in one burst): the next trial is started once, by its own start, and
// keeps every frame from its start instant on; without its start, none. The window's
// steps are held to that order.
TEST_F(CaptureTriggerTest, StopAndNextStartActedOnInTheYieldThatArmedATrialStartItOnce)
{
    UseOscTrigger();  // a loop re-arms while its trigger listens
    // Due while the arming goes on (its views take 10 ms to restart): run by the same yield.
    for (auto& device : m_devices) device.view.rebuildTime = 10ms;
    for (const bool isNextStartInBurst : {true, false}) {
        const std::string set = isNextStartInBurst ? "yield" : "yieldnone";
        SCOPED_TRACE(set);
        m_frame->m_triggerLoop = true;
        ASSERT_TRUE(m_frame->OpenCaptureSet(set));
        int startsGiven = 0;
        bool isStopping = false;
        wxString seen = "no start read in a yield";
        wxTimer burst;  // trial 1's stop, and the next start, acted on in the yield
        // Starts are read only inside a yield: trial 1's by the wait's watch, trial 2's
        // by the loop's re-arm inside the stop.
        m_frame->SetTriggerReaders(nullptr, [&](double& value) {
            if (!IsYielding() || startsGiven >= (isNextStartInBurst ? 2 : 1) ||
                (startsGiven == 1 && !isStopping))
                return false;
            if (++startsGiven == 1) burst.StartOnce(1);
            value = 255.0;
            return true;
        });
        burst.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
            // Still inside the yield that armed trial 1, its wait still shown.
            seen = wxString::Format("yielding %d, wait shown %d, capturing %d", IsYielding(),
                                    FindWaitDialog() != nullptr, m_frame->m_capturing);
            if (!IsYielding() || !FindWaitDialog() || !m_frame->m_capturing) return;
            RecordFrames(20);
            GetOscTriggerCrossings().Feed(-255.0);
            isStopping = true;
            const auto until = std::chrono::steady_clock::now() + kTimeout;
            while (m_frame->ActOnTriggerCrossings() != TrackerFrame::TriggerAction::Stopped &&
                   std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(1ms);
            isStopping = false;
            seen = "stopped in the yield";
        });
        Command(ID_CAPTURE_START);
        ASSERT_EQ(seen, "stopped in the yield");
        EXPECT_EQ(m_frame->m_trialIndex, 2);
        EXPECT_EQ(m_frame->m_capturing, isNextStartInBurst);
        if (m_frame->m_capturing) RecordFrames(100);
        m_frame->m_triggerLoop = false;
        Command(ID_CAPTURE_STOP);
        m_frame->CloseCaptureFiles();
        RunEvents();  // a loop start queued meanwhile finds the set closed
        EXPECT_EQ(startsGiven, isNextStartInBurst ? 2 : 1);
        for (int trial : {1, 2}) {
            const wxString file =
                CaptureFile(wxString::Format("%sdev1_%04d.qvd", set, trial).ToStdString());
            if (trial == 2 && !isNextStartInBurst) {
                EXPECT_EQ(FramesInFile(file), -1) << file << ": no trial without its start";
                continue;
            }
            EXPECT_GE(FramesInFile(file), trial == 1 ? 20 : 100) << file;
            // One start: one run of the device's frames, from its frame 0.
            EXPECT_EQ(PhaseBreaks(file, 500.0), 0) << file;
        }
    }
    EXPECT_EQ(ErrorsBesideLaggingDevices(m_frame->m_errorsText->GetValue()), "");
}

// Acquisition passes that leave the OSC trigger unpolled while held, as on a machine
// too busy to run them: its datagrams wait in the socket meanwhile. Installed for a
// test; the one instance outlives every device thread that may still reach it.
class CPollingHold : public CLiveNetworkServices {
public:
    static CPollingHold& Installed()
    {
        // The tests that hold polling judge the trigger's edges by when they came.
        EXPECT_TRUE(WaitForArrivalStamps());
        static CPollingHold hold;
        hold.m_isHeld = false;
        SetNetworkServices(&hold);
        return hold;
    }
    ~CPollingHold() override { SetNetworkServices(nullptr); }
    bool PollOscTrigger() override
    {
        return !m_isHeld.load() && CLiveNetworkServices::PollOscTrigger();
    }
    void Hold(bool isHeld) { m_isHeld = isHeld; }
    struct Uninstall {
        ~Uninstall() { SetNetworkServices(nullptr); }
    };

private:
    CPollingHold() = default;
    std::atomic<bool> m_isHeld{false};
};

bool IsCountdownShown()
{
    return std::any_of(wxTopLevelWindows.begin(), wxTopLevelWindows.end(),
                       [](wxWindow* window) {
                           return dynamic_cast<TCountDown*>(window) && window->IsShown();
                       });
}

// A pulse far shorter than a frame: its trial still holds the device's first frames.
TEST_F(CaptureTriggerTest, PulseShorterThanAFrameStillGivesAReadableTrial)
{
    CFastTestDevice slow("slow", 4.0);  // 4 frames a second
    ASSERT_TRUE(slow.Create(true) && slow.RunThread());
    m_frame->SetCaptureDeviceSource([&slow] { return std::vector<CAnalogDevice*>{&slow}; });
    const CTriggerSender::Send send = UseOscTrigger();
    ASSERT_TRUE(m_frame->OpenCaptureSet("short"));
    CTriggerSender sender({{100, 255.0}, {110, -255.0}}, send);
    const bool isEnded = RunTriggeredCaptures(sender, [&] { return AreTrialsAccounted(1); });
    m_frame->CloseCaptureFiles();
    m_frame->SetCaptureDeviceSource([this] {
        return std::vector<CAnalogDevice*>{m_devices[0].get(), m_devices[1].get()};
    });
    slow.Close();
    ASSERT_TRUE(isEnded);
    // Read back as every recording is: a file needs two frames at least. A device so
    // starved that it gave none while the stop was held for them is said, with no file.
    const wxString file = CaptureFile("shortslow_0001.qvd");
    const wxString errors = m_frame->m_errorsText->GetValue();
    if (Occurrences(errors, "No frame of device slow came during trial 1: no file kept") == 1) {
        EXPECT_EQ(FramesInFile(file), -1) << errors;
        return;
    }
    EXPECT_GE(FramesInFile(file), 2) << errors;
}

// A trial that ends during the count-down is not recorded, is said, and its stop
// never ends the next trial: the later trials keep their own files and lengths.
TEST_F(CaptureTriggerTest, StopDuringTheCountdownCancelsThatStartAndIsSaid)
{
    const CTriggerSender::Send send = UseOscTrigger();
    m_frame->m_capturePreTime = 0.3;
    const std::string countdown = " ms after its trigger and its 0.3 s count-down\n";
    // Each value's send on the program's clock (before, after): its arrival lies between.
    std::vector<std::array<double, 2>> sentUs;
    const auto timed = [&](double value) {
        const double beforeUs = GetProgramTime();
        const bool isSent = send(value);
        sentUs.push_back({beforeUs, GetProgramTime()});
        return isSent;
    };
    // Each start and stop pair sent: cancelled and said when its stop came less than the
    // count-down after its start (a cancelled trial's number is the next one's), else
    // recorded as the triggers came. A busy machine may send a pulse late, not the
    // program misjudge it. The next trial's number.
    const auto expectPulses = [&](const std::string& set, const CTriggerSender& sender,
                                  size_t errorsFrom, size_t messagesFrom) {
        const wxString errors = m_frame->m_errorsText->GetValue().Mid(errorsFrom);
        const wxString messages = m_frame->m_messagesText->GetValue().Mid(messagesFrom);
        constexpr double kStampSlackUs = 2000.0;
        int trial = 1;
        size_t saidFrom = 0;
        for (size_t start = 0; start + 1 < sentUs.size(); start += 2) {
            SCOPED_TRACE(set + " pulse " + std::to_string(start / 2 + 1));
            const size_t said = errors.find(
                wxString::Format("The trigger stopped trial %d during the count-down", trial),
                saidFrom);
            if (said != wxString::npos) {
                saidFrom = said + 1;
                EXPECT_LT(sentUs[start + 1][0] - sentUs[start][1], 0.3e6 + kStampSlackUs);
                continue;
            }
            EXPECT_GE(sentUs[start + 1][1] - sentUs[start][0], 0.3e6 - kStampSlackUs)
                << "recorded, not cancelled: " << errors;
            const auto [startCameUs, stopCameUs] = m_frame->GetTrialTriggerTimes(trial);
            EXPECT_GE(stopCameUs - startCameUs, 0.3e6);
            ExpectTrialRecorded(set, trial, sender.Between(start, start + 1), messages, 2, 0.3,
                                countdown);
            ++trial;
        }
        EXPECT_EQ(TrialSeconds(set, trial), -1.0) << "a file beside its trials";
        return trial;
    };
    // Also with no acquisition pass polling while the count-down shows: its stop
    // still cancels the trial, not a trial started after the count-down.
    const CPollingHold::Uninstall uninstall;
    CPollingHold& hold = CPollingHold::Installed();
    for (const bool isHeld : {false, true}) {
        const std::string set = isHeld ? "oncepollheld" : "once";
        ASSERT_TRUE(m_frame->OpenCaptureSet(set));
        const size_t errorsFrom = m_frame->m_errorsText->GetValue().length();
        const size_t messagesFrom = m_frame->m_messagesText->GetValue().length();
        // Held once the count-down shows, until 400 ms after the stop went out (the
        // count-down is over by then); timers run only in the program's own loops.
        std::atomic<bool> wasHeld{false};
        wxTimer holder;
        holder.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
            if (wasHeld || !IsCountdownShown()) return;
            wasHeld = true;
            hold.Hold(true);
        });
        if (isHeld) holder.Start(1);
        sentUs.clear();
        CTriggerSender sender({{100, 255.0}, {200, -255.0}}, [&](double value) {
            const bool isSent = timed(value);
            if (value < 0.0 && isHeld) {
                std::this_thread::sleep_for(400ms);
                hold.Hold(false);
            }
            return isSent;
        });
        ASSERT_TRUE(RunTriggeredCaptures(sender, [&] { return AreTrialsAccounted(1); }));
        holder.Stop();
        hold.Hold(false);
        EXPECT_EQ(wasHeld.load(), isHeld);
        expectPulses(set, sender, errorsFrom, messagesFrom);
        m_frame->CloseCaptureFiles();
    }

    m_frame->m_triggerLoop = true;
    ASSERT_TRUE(m_frame->OpenCaptureSet("loop"));
    const size_t errorsFrom = m_frame->m_errorsText->GetValue().length();
    const size_t messagesFrom = m_frame->m_messagesText->GetValue().length();
    // A first trial shorter than the count-down, then two that outlast it.
    sentUs.clear();
    CTriggerSender sender(
        {{100, 255.0}, {200, -255.0}, {400, 255.0}, {1200, -255.0}, {1400, 255.0}, {2200, -255.0}},
        timed);
    ASSERT_TRUE(RunTriggeredCaptures(sender, [&] { return m_frame->m_trialIndex > 2; }))
        << m_frame->m_errorsText->GetValue();
    EXPECT_EQ(m_frame->m_trialIndex, expectPulses("loop", sender, errorsFrom, messagesFrom));
}

// A stop that comes after the count-down was due to end, while the window is held
// inside it (a busy machine), ends a trial that began: the trial is recorded, and its
// recording with the delays said makes the trial as its triggers came.
TEST_F(CaptureTriggerTest, StopAfterTheCountdownsEndWhileTheWindowIsHeldEndsARecordedTrial)
{
    const CTriggerSender::Send live = UseOscTrigger();
    m_frame->m_capturePreTime = 0.3;
    // The stop goes out 450 ms after the start went out at least, however late a busy
    // machine let the sender run: both came past the count-down.
    double startSentUs = 0.0;
    const auto send = [&](double value) {
        if (value < 0.0) {
            const double leftUs = startSentUs + 450.0e3 - GetProgramTime();
            if (leftUs > 0.0)
                std::this_thread::sleep_for(std::chrono::duration<double, std::micro>(leftUs));
        }
        const bool isSent = live(value);
        if (value > 0.0) startSentUs = GetProgramTime();
        return isSent;
    };
    ASSERT_TRUE(m_frame->OpenCaptureSet("held"));
    // The count-down shown, the window is held until the stop has come, 150 ms after
    // the count-down's end.
    bool isHeld = false;
    wxTimer holder;
    holder.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        if (isHeld || !IsCountdownShown()) return;
        isHeld = true;
        const auto until = std::chrono::steady_clock::now() + kTimeout;
        TriggerCrossing next;
        while (!(GetOscTriggerCrossings().Peek(next) &&
                 next.kind == TriggerCrossing::Kind::Stop) &&
               std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(1ms);
    });
    holder.Start(2);
    const size_t messagesFrom = m_frame->m_messagesText->GetValue().length();
    CTriggerSender sender({{100, 255.0}, {550, -255.0}}, send);
    ASSERT_TRUE(RunTriggeredCaptures(sender, [&] { return AreTrialsAccounted(1); }));
    holder.Stop();
    EXPECT_TRUE(isHeld);
    const wxString messages = m_frame->m_messagesText->GetValue().Mid(messagesFrom);
    EXPECT_EQ(m_frame->m_errorsText->GetValue().Find("during the count-down"), wxNOT_FOUND)
        << m_frame->m_errorsText->GetValue();
    ExpectTrialRecorded("held", 1, sender.Between(0, 1), messages, 2, 0.3,
                        " ms after its trigger and its 0.3 s count-down\n");
    m_frame->CloseCaptureFiles();

    // No acquisition pass polls from before the start until 150 ms after the stop,
    // 450 ms later: both are read together, and the trial is still as they came.
    const CPollingHold::Uninstall uninstall;
    CPollingHold& hold = CPollingHold::Installed();
    ASSERT_TRUE(m_frame->OpenCaptureSet("pollheld"));
    const size_t errorsFrom = m_frame->m_errorsText->GetValue().length();
    const size_t pollMessagesFrom = m_frame->m_messagesText->GetValue().length();
    hold.Hold(true);
    CTriggerSender polled({{100, 255.0}, {550, -255.0}}, [&](double value) {
        const bool isSent = send(value);
        if (value < 0.0) {
            std::this_thread::sleep_for(150ms);
            hold.Hold(false);
        }
        return isSent;
    });
    ASSERT_TRUE(RunTriggeredCaptures(polled, [&] { return AreTrialsAccounted(1); }));
    const wxString errors = m_frame->m_errorsText->GetValue().Mid(errorsFrom);
    EXPECT_EQ(errors.Find("during the count-down"), wxNOT_FOUND) << errors;
    ExpectTrialRecorded("pollheld", 1, polled.Between(0, 1),
                        m_frame->m_messagesText->GetValue().Mid(pollMessagesFrom), 2, 0.3,
                        " ms after its trigger and its 0.3 s count-down\n");
}

// Without Auto File the loop still opens each next trial's files before it waits:
// every trial is recorded, none fails to start.
TEST_F(CaptureTriggerTest, LoopWithoutAutoFileRecordsEveryTrial)
{
    m_frame->m_captureAutoFile = false;
    constexpr int kTrials = 3;
    const auto sender = RecordLoopTrials("manual", kTrials, 500, 100);
    ExpectTrials("manual", *sender, kTrials, 0);
    EXPECT_EQ(TrialSeconds("manual", kTrials + 1), -1.0);
    EXPECT_EQ(m_frame->m_errorsText->GetValue().Find("Unable to start analog writing"),
              wxNOT_FOUND);
}

// A start that comes late because the views take long to restart, after a count-down:
// the delay said is the one beyond the count-down, and with the count-down and the
// recording it makes the sender's trial.
TEST_F(CaptureTriggerTest, LateStartAfterACountdownSaysTheDelayBeyondIt)
{
    const CTriggerSender::Send send = UseOscTrigger();
    m_frame->m_capturePreTime = 0.3;
    constexpr auto kSlowRestart = 60ms;
    for (auto& device : m_devices) device.view.rebuildTime = kSlowRestart;
    ASSERT_TRUE(m_frame->OpenCaptureSet("count"));
    const size_t messagesFrom = m_frame->m_messagesText->GetValue().length();
    CTriggerSender sender({{100, 255.0}, {800, -255.0}}, send);
    ASSERT_TRUE(RunTriggeredCaptures(sender, [&] { return AreTrialsAccounted(1); }));
    for (auto& device : m_devices) device.view.rebuildTime = 0ms;
    const wxString messages = m_frame->m_messagesText->GetValue().Mid(messagesFrom);
    const double saidMs =
        SaidStartDelayMs(messages, 1, " ms after its trigger and its 0.3 s count-down\n");
    EXPECT_GE(saidMs, double(std::size(m_devices) * kSlowRestart.count())) << messages;
    EXPECT_EQ(SaidStartDelayMs(messages, 1), 0.0) << messages;  // said one way only
    // With the count-down and the recording, the trial as its triggers came.
    ExpectTrialRecorded("count", 1, sender.Between(0, 1), messages, 2, 0.3,
                        " ms after its trigger and its 0.3 s count-down\n");
}

// Counts the serial trigger's wakes (its thread took bytes) and wakes the window.
std::atomic<int64_t> g_triggerLineWakes{0};
void CountTriggerLineWake()
{
    ++g_triggerLineWakes;
    if (wxTheApp) wxWakeUpIdle();
}

// A converter whose lines wait while the window is busy: the start is told late by
// as much as its line waited, counted from when the line came.
TEST_F(CaptureTriggerTest, SerialStartThatWaitsWhileTheWindowIsBusyIsToldFromItsLine)
{
    CPtyPair pty;
    ASSERT_TRUE(pty.IsValid());
    UseSerialTriggerLoop(pty, 100);
    m_frame->m_triggerLoop = false;
    ASSERT_TRUE(m_frame->OpenSerialTrigger());
    g_serialTrigger.SetWakeUp(CountTriggerLineWake);
    std::atomic<int64_t> wakesAtStart{std::numeric_limits<int64_t>::max() - 2};
    constexpr double kBlock = -1.0;  // a step that makes the window busy
    constexpr auto kBusy = 500ms;
    std::atomic<bool> isBlockAsked{false};
    wxTimer blocker;  // fires inside the wait's yields
    std::atomic<double> busyEndUs{0.0};
    blocker.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        if (!isBlockAsked.exchange(false)) return;
        std::this_thread::sleep_for(kBusy);
        // Busy until the line's own thread has read the start's line, however late a
        // busy machine lets it come to it: the second read it finishes after the line
        // was sent began after that (a read, then its wake).
        const auto until = std::chrono::steady_clock::now() + kTimeout;
        while (g_triggerLineWakes.load() < wakesAtStart.load() + 2
               && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(1ms);
        busyEndUs = GetProgramTime();
    });
    blocker.Start(2);
    std::vector<CTriggerSender::Step> lines;
    int at = 0;
    for (; at < 200; at += 10) lines.push_back({at, 100});
    lines.push_back({at, kBlock});
    for (at += 10; at < 300; at += 10) lines.push_back({at, 100});
    const size_t start = lines.size();  // sent while the window is busy
    for (; at < 1000; at += 10) lines.push_back({at, 900});
    const size_t stop = lines.size();
    for (; at < 1200; at += 10) lines.push_back({at, 100});
    ASSERT_EQ(lines[start].value, 900);
    std::atomic<double> startSentUs{0.0};
    CTriggerSender sender(lines, [&](double reading) {
        if (reading == kBlock) {
            isBlockAsked = true;
            return true;
        }
        const bool isStart = reading == 900 && startSentUs.load() == 0.0;
        if (isStart) startSentUs = GetProgramTime();
        const bool isSent = pty.Send("data=" + std::to_string(int(reading)) + "\n");
        if (isStart) wakesAtStart = g_triggerLineWakes.load();
        return isSent;
    });
    ASSERT_TRUE(m_frame->OpenCaptureSet("busy"));
    const size_t messagesFrom = m_frame->m_messagesText->GetValue().length();
    ASSERT_TRUE(RunTriggeredCaptures(sender, [&] { return AreTrialsAccounted(1); }))
        << m_frame->m_errorsText->GetValue();
    blocker.Stop();
    const wxString messages = m_frame->m_messagesText->GetValue().Mid(messagesFrom);
    // Recording and said delay make the trial as its lines came, the start's line
    // stamped when it came, not when the busy window got to it.
    ExpectTrialRecorded("busy", 1, sender.Between(start, stop), messages);
    const double startCameUs = m_frame->GetTrialTriggerTimes(1).first;
    EXPECT_GE(startCameUs, startSentUs.load());
    EXPECT_LT(startCameUs, busyEndUs.load()) << messages;
}

// A trial armed while the wait yields, whose line is lost before that yield is over
// and lost again later in the trial: the trial's loss is said once.
TEST_F(CaptureTriggerTest, LineLostInTheYieldThatArmedATrialIsSaidOnceForIt)
{
    auto first = std::make_unique<CPtyPair>();
    CPtyPair second;
    ASSERT_TRUE(first->IsValid() && second.IsValid());
    CLineLink link;
    ASSERT_TRUE(link.PointAt(first->SlaveName()));
    m_frame->m_triggerUse = true;
    m_frame->m_triggerPort = wxString(link.Path());
    m_frame->m_triggerTimeOut = 100;
    ASSERT_TRUE(m_frame->OpenSerialTrigger());
    g_serialTrigger.SetReopenInterval(50ms);
    // The start is read only inside a yield: by the wait's watch.
    bool isStarted = false;
    wxTimer unplug;  // the line lost, acted on in the yield
    m_frame->SetTriggerReaders(
        [&](double& volts) {
            if (!IsYielding() || isStarted) return false;
            isStarted = true;
            unplug.StartOnce(1);
            volts = 100.0;
            return true;
        },
        nullptr);
    for (auto& device : m_devices) device.view.rebuildTime = 10ms;
    const int64_t lossesBefore = g_serialTrigger.GetLineLosses();
    wxString seen = "no start read in a yield";
    unplug.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        if (!IsYielding() || !FindWaitDialog() || !m_frame->m_capturing) return;
        first->CloseMaster();
        const auto until = std::chrono::steady_clock::now() + kTimeout;
        while (g_serialTrigger.GetLineLosses() == lossesBefore &&
               std::chrono::steady_clock::now() < until) {
            m_frame->ActOnTriggerCrossings();
            std::this_thread::sleep_for(1ms);
        }
        seen = "lost in the yield";
    });
    ASSERT_TRUE(m_frame->OpenCaptureSet("lost"));
    Command(ID_CAPTURE_START);
    ASSERT_EQ(seen, "lost in the yield");
    ASSERT_TRUE(m_frame->m_capturing);
    // Plugged into another converter, which answers, and unplugged again.
    ASSERT_TRUE(link.PointAt(second.SlaveName()));
    ASSERT_TRUE(
        RunUntil([&] { return second.Send("data=900\n") && !g_serialTrigger.IsLineLost(); }));
    second.CloseMaster();
    ASSERT_TRUE(RunUntil([&] { return g_serialTrigger.GetLineLosses() == lossesBefore + 2; }));
    RunEvents();
    EXPECT_TRUE(m_frame->m_capturing);
    m_frame->m_triggerUse = false;
    Command(ID_CAPTURE_STOP);
    g_serialTrigger.SetReopenInterval(CLineWatch::kReopenInterval);
    g_serialTrigger.Close();
    const wxString errors = m_frame->m_errorsText->GetValue();
    EXPECT_EQ(Occurrences(errors, "was lost during trial 1: the trial runs on without its trigger"),
              1)
        << errors;
}

// A converter that falls silent right after a trial's stop, while that stop waits for
// a slow device's first frames: the silence came after the stop, which the trial heard:
// no loss of the line is said for it.
TEST_F(CaptureTriggerTest, SilenceAfterAStopThatWaitsForTheFirstFramesCostsTheTrialNothing)
{
    CFastTestDevice slow("slow", 1.0);  // its second frame a second after the start
    ASSERT_TRUE(slow.Create(true) && slow.RunThread());
    m_frame->SetCaptureDeviceSource([&slow] { return std::vector<CAnalogDevice*>{&slow}; });
    CPtyPair pty;
    ASSERT_TRUE(pty.IsValid());
    UseSerialTriggerLoop(pty, 100);
    m_frame->m_triggerLoop = false;
    // The line is silent from its opening until the converter's first line.
    const auto openedAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_frame->OpenSerialTrigger());
    std::vector<CTriggerSender::Step> lines;
    int at = 0;
    for (; at < 100; at += 10) lines.push_back({at, 100});
    for (; at < 200; at += 10) lines.push_back({at, 900});
    lines.push_back({at, 100});  // the stop, the converter's last line
    CTriggerSender sender(lines, [&](double reading) {
        return pty.Send("data=" + std::to_string(int(reading)) + "\n");
    });
    ASSERT_TRUE(m_frame->OpenCaptureSet("quiet"));
    const int64_t lossesBefore = g_serialTrigger.GetLineLosses();
    const bool isEnded = RunTriggeredCaptures(sender, [&] { return AreTrialsAccounted(1); });
    const int64_t trials = m_frame->m_trialIndex;
    m_frame->CloseCaptureFiles();
    m_frame->SetCaptureDeviceSource([this] {
        return std::vector<CAnalogDevice*>{m_devices[0].get(), m_devices[1].get()};
    });
    slow.Close();
    ASSERT_TRUE(isEnded) << m_frame->m_errorsText->GetValue();
    const wxString errors = m_frame->m_errorsText->GetValue();
    // A start the busy machine acted on too late is said, not recorded.
    EXPECT_EQ(trials + Occurrences(errors, "a trial was not recorded"), 2) << errors;
    // Its frames, unless the device was said to have delivered too few by the stop.
    if (trials == 2 && Occurrences(errors, "quietslow_0001.qvd ends ") == 0) {
        EXPECT_GE(FramesInFile(CaptureFile("quietslow_0001.qvd")), 2) << errors;
    }
    // Whether the silence was counted while the stop waited (three read time-outs in
    // the second the device takes), no loss is this trial's: only a line the starved
    // sender really left silent past the time-out may be; one before its first line is
    // the line's, not the trial's.
    const int silences = sender.Gaps(0.1);
    EXPECT_LE(g_serialTrigger.GetLineLosses(), lossesBefore + 1 + sender.Gaps(0.1, openedAt))
        << errors;
    EXPECT_LE(Occurrences(errors, "was lost during trial"), silences) << errors;
}

// The converter is unplugged in the middle of a trial and plugged in again: the trial
// that ran without its trigger is named, and the next trial records as sent.
TEST_F(CaptureTriggerTest, ConverterUnpluggedMidTrialIsSaidNamingTheTrial)
{
    auto first = std::make_unique<CPtyPair>();
    CPtyPair second;
    ASSERT_TRUE(first->IsValid() && second.IsValid());
    CLineLink link;
    ASSERT_TRUE(link.PointAt(first->SlaveName()));
    m_frame->m_triggerUse = true;
    m_frame->m_triggerLoop = true;
    m_frame->m_triggerPort = wxString(link.Path());
    m_frame->m_triggerTimeOut = 100;
    ASSERT_TRUE(m_frame->OpenSerialTrigger());
    g_serialTrigger.SetReopenInterval(50ms);
    // Steps: readings on the line in use; kUnplug pulls the cable, kPlug plugs it back.
    constexpr double kUnplug = -1.0;
    constexpr double kPlug = -2.0;
    std::atomic<CPtyPair*> line{first.get()};
    std::vector<CTriggerSender::Step> steps;
    int at = 0;
    auto lines = [&](int untilMs, double reading) {
        for (; at < untilMs; at += 10) steps.push_back({at, reading});
    };
    lines(100, 100);
    lines(600, 900);  // trial 1 begins
    steps.push_back({at, kUnplug});
    at += 300;
    steps.push_back({at, kPlug});
    lines(at + 300, 900);
    lines(at + 300, 100);  // trial 1 ends
    const size_t secondStart = steps.size();
    lines(at + 800, 900);  // trial 2
    const size_t secondStop = steps.size();
    lines(at + 300, 100);
    bool isUnplugged = false;  // the sender's
    CLineGaps plugged;
    // Pulled mid-trial: once the window began it. Lines still in the line when it is
    // pulled are gone with it, however long the program's threads were held.
    std::atomic<bool> isTrialOn{false};
    const auto watch = [&](wxIdleEvent& event) {
        event.Skip();
        isTrialOn = isTrialOn || m_frame->m_capturing;
    };
    CTriggerSender sender(steps, [&](double reading) {
        const auto before = std::chrono::steady_clock::now();
        if (reading == kUnplug) {
            const auto until = before + kTimeout;
            while (!isTrialOn && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(1ms);
            isUnplugged = true;
            first->CloseMaster();
            return true;
        }
        if (reading == kPlug) {
            isUnplugged = false;
            line = &second;
            return link.PointAt(second.SlaveName());
        }
        if (isUnplugged) return true;
        const bool isSent = line.load()->Send("data=" + std::to_string(int(reading)) + "\n");
        return line.load() == &second ? plugged.Note(before, isSent) : isSent;
    });
    ASSERT_TRUE(m_frame->OpenCaptureSet("plug"));
    const size_t messagesFrom = m_frame->m_messagesText->GetValue().length();
    m_frame->Bind(wxEVT_IDLE, watch);
    const bool isEnded = RunTriggeredCaptures(sender, [&] { return AreTrialsAccounted(2); });
    m_frame->Unbind(wxEVT_IDLE, watch);
    ASSERT_TRUE(isEnded) << m_frame->m_errorsText->GetValue();
    g_serialTrigger.SetReopenInterval(CLineWatch::kReopenInterval);
    const wxString errors = m_frame->m_errorsText->GetValue();
    // A start acted on too late (a stop slowed by the machine) is said, not recorded.
    EXPECT_EQ(m_frame->m_trialIndex - 1 + SaidNotRecorded(errors), 2) << errors;
    EXPECT_EQ(Occurrences(errors, "was lost during trial 1: the trial runs on without its trigger"),
              1)
        << errors;
    // Trial 2 ran on the plugged line, which answered all along: no loss is said for
    // it, however late the program's own threads ran, unless the converter itself (the
    // sender's thread, on a busy machine) fell silent three read time-outs long.
    const double silentMs = plugged.LongestMs();
    if (silentMs < 3 * 100.0) {
        EXPECT_EQ(Occurrences(errors, "was lost during trial 2"), 0)
            << "converter silent at most " << silentMs << " ms\n"
            << errors;
    } else {
        EXPECT_LE(Occurrences(errors, "was lost during trial 2"), 1) << errors;
    }
    const wxString messages = m_frame->m_messagesText->GetValue().Mid(messagesFrom);
    if (m_frame->m_trialIndex == 3) {
        ExpectTrialRecorded("plug", 2, sender.Between(secondStart, secondStop), messages);
    }
}

// The line's own thread held up in the middle of a trial (a busy machine) while the
// converter goes on sending its level, and the window reads on for more than three
// read time-outs: the line answered all along. No loss is said for the trial, and the
// trial records from its start to its stop as they came, none of the held lines lost.
// The converter begins only after more than three read time-outs of the wait: that
// loss, over before the trial began, is none of the trial's.
TEST_F(CaptureTriggerTest, LineThreadHeldMidTrialWhileTheConverterSendsIsNoLoss)
{
    CPtyPair pty;
    ASSERT_TRUE(pty.IsValid());
    UseSerialTriggerLoop(pty, 100);
    m_frame->m_triggerLoop = false;
    ASSERT_TRUE(m_frame->OpenSerialTrigger());
    {
        std::lock_guard<std::mutex> lock(g_lineHold.mutex);
        g_lineHold.isAsked = false;
        g_lineHold.reads = 0;
    }
    g_serialTrigger.SetBeforeRead(HoldTriggerLine);
    constexpr double kHold = -1.0;  // a step that asks for the hold
    std::vector<CTriggerSender::Step> lines;
    int at = 400;
    for (; at < 500; at += 10) lines.push_back({at, 100});
    const size_t start = lines.size();
    for (; at < 1700; at += 10) lines.push_back({at, at == 800 ? kHold : 900});
    const size_t stop = lines.size();
    for (; at < 1900; at += 10) lines.push_back({at, 100});
    CLineGaps gaps;
    CTriggerSender sender(lines, [&](double reading) {
        const auto before = std::chrono::steady_clock::now();
        if (reading == kHold) {
            std::lock_guard<std::mutex> lock(g_lineHold.mutex);
            g_lineHold.isAsked = true;
            return true;
        }
        return gaps.Note(before, pty.Send("data=" + std::to_string(int(reading)) + "\n"));
    });
    // The window's reads while the line's thread is held, as its idle handler makes them.
    std::chrono::steady_clock::time_point nextRead;
    bool wasHeld = false;
    const auto reader = [&](wxIdleEvent& event) {
        event.Skip();  // the window's own idle work goes on
        bool isHeld = false;
        {
            std::lock_guard<std::mutex> lock(g_lineHold.mutex);
            isHeld = g_lineHold.isHeld && g_lineHold.reads < SLineHold::kHeldReads;
        }
        const auto now = std::chrono::steady_clock::now();
        if (isHeld && !wasHeld) nextRead = now + 110ms;
        wasHeld = isHeld;
        if (!isHeld || now < nextRead) return;
        m_frame->ActOnTriggerCrossings();
        nextRead = std::chrono::steady_clock::now() + 110ms;
        {
            std::lock_guard<std::mutex> lock(g_lineHold.mutex);
            ++g_lineHold.reads;
        }
        g_lineHold.changed.notify_all();
    };
    ASSERT_TRUE(m_frame->OpenCaptureSet("held"));
    m_frame->Bind(wxEVT_IDLE, reader);
    const size_t messagesFrom = m_frame->m_messagesText->GetValue().length();
    const bool isEnded = RunTriggeredCaptures(sender, [&] { return AreTrialsAccounted(1); });
    m_frame->Unbind(wxEVT_IDLE, reader);
    g_serialTrigger.SetBeforeRead(nullptr);
    ASSERT_TRUE(isEnded) << m_frame->m_errorsText->GetValue();
    {
        std::lock_guard<std::mutex> lock(g_lineHold.mutex);
        EXPECT_EQ(g_lineHold.reads, SLineHold::kHeldReads);
    }
    EXPECT_EQ(m_frame->m_trialIndex, 2);
    const wxString errors = m_frame->m_errorsText->GetValue();
    // Said only where the converter itself (the sender's thread) fell silent so long.
    if (gaps.LongestMs() < 3 * 100.0) {
        EXPECT_EQ(Occurrences(errors, "was lost during trial 1"), 0)
            << "converter silent at most " << gaps.LongestMs() << " ms\n"
            << errors;
    }
    const wxString messages = m_frame->m_messagesText->GetValue().Mid(messagesFrom);
    ExpectTrialRecorded("held", 1, sender.Between(start, stop), messages);
}

// ---- seeded trigger simulation: both inputs live, one in use ----

// What a seed adds to the plain trials of the input in use.
enum class TriggerFault {
    OtherInputTrials,  // the OSC sender makes trials of its own while the serial trigger is in use
    Bundle,            // a trial's stop and the next start in one bundle (one burst of lines)
    Overflow,          // one bundle (burst) of more whole trials than the crossing queue holds
    LineForms,         // serial lines ended by CR LF, LF, CR or LF CR, with NULs and 8-bit bytes
    Noise,             // lines that are no reading, and stray bytes, between the readings
    SlowStarts,        // starting a trial takes longer than the sender's gaps
    SilentStart,       // the converter's first line comes more than three read time-outs late
    Restart,           // the OSC trigger restarted amid the stream, on its port or a new one
    Count
};

// A seed's schedule: the input in use, its faults, and every packet each sender sends.
struct TriggerPlan {
    struct Packet {
        bool isOsc = false;
        std::vector<float> values;  // OSC: one message, or a bundle of several
        std::string bytes;          // serial: lines as the converter writes them
    };
    bool isSerial = false;
    std::bitset<size_t(TriggerFault::Count)> faults;
    std::chrono::milliseconds restart{0};  // each view's restart when a trial starts
    int trials = 0;                        // made by the sender in use
    std::vector<Packet> packets;
    std::vector<CTriggerSender::Step> steps;  // value: the packet's index
    size_t restartPacket = size_t(-1);        // sends nothing: the OSC trigger restarts
    bool isNewPort = false;                   // the restart moves it to a new port

    bool Has(TriggerFault fault) const { return faults[size_t(fault)]; }
    std::string Describe() const
    {
        return std::string(isSerial ? "serial" : "osc") + " faults " + faults.to_string() +
               " trials " + std::to_string(trials) + " restart " + std::to_string(restart.count()) +
               " ms" + (isNewPort ? " new port" : "");
    }
    void Send(int atMs, Packet packet)
    {
        steps.push_back({atMs, double(packets.size())});
        packets.push_back(std::move(packet));
    }

    static TriggerPlan Draw(uint32_t seed)
    {
        std::mt19937 rng(seed);
        const auto pick = [&](int low, int high) {
            return low + int(rng() % uint32_t(high - low + 1));
        };
        TriggerPlan plan;
        plan.isSerial = pick(0, 1) == 1;
        for (size_t i = 0; i < size_t(TriggerFault::SilentStart); ++i)
            plan.faults[i] = pick(0, 1) == 1;
        if (plan.Has(TriggerFault::SlowStarts))
            plan.restart = std::chrono::milliseconds(pick(20, 60));
        // The input in use: its levels (true: a start) at 10 ms steps; a bundle holds several.
        std::vector<std::pair<int, std::vector<bool>>> edges;
        const int count = pick(3, 5);
        const int bundleAfter = plan.Has(TriggerFault::Bundle) ? pick(0, count - 2) : -1;
        const int overflowBefore = plan.Has(TriggerFault::Overflow) ? pick(0, count - 1) : -1;
        int at = 100;
        for (int k = 0; k < count; ++k) {
            if (k == overflowBefore) {
                const int pairs = pick(17, 24);
                edges.push_back({at, {}});
                for (int i = 0; i < pairs; ++i)
                    edges.back().second.insert(edges.back().second.end(), {true, false});
                plan.trials += pairs;
                at += 10 * pick(3, 15);
            }
            if (k > 0 && k - 1 == bundleAfter)
                edges.back().second.push_back(true);
            else
                edges.push_back({at, {true}});
            at += 10 * pick(4, 25);
            edges.push_back({at, {false}});
            ++plan.trials;
            if (k != bundleAfter) at += 10 * pick(3, 20);
        }
        const int endMs = at + 100;
        if (!plan.isSerial) {
            for (const auto& [atMs, levels] : edges) {
                Packet packet{true, {}, {}};
                for (bool isHigh : levels)
                    packet.values.push_back(float(isHigh ? pick(255, 300) : -pick(255, 300)));
                plan.Send(atMs, std::move(packet));
            }
            return plan;
        }
        const char* forms[] = {"\r\n", "\n", "\r", "\n\r"};
        const std::string noise[] = {"#\r\n", "data=12x\r\n", "\xff\xfe", std::string(1, '\0'),
                                     "ok\n"};
        const auto line = [&](bool isHigh) {
            std::string text =
                plan.Has(TriggerFault::Noise) && pick(0, 4) == 0 ? noise[pick(0, 4)] : "";
            const bool isOdd = plan.Has(TriggerFault::LineForms) && pick(0, 2) == 0;
            const std::string reading =
                "data=" + std::to_string(isHigh ? pick(820, 1023) : pick(0, 200));
            if (isOdd && pick(0, 1) == 0)
                text += std::string("da\0t", 4) + reading.substr(3);  // a NUL inside
            else
                text += reading;
            return text + (plan.Has(TriggerFault::LineForms) ? forms[pick(0, 3)] : "\r\n") +
                   (isOdd ? std::string("\0\x80", 2) : "");
        };
        // The converter sends its level every 10 ms; a bundle is a burst of lines at once.
        bool isHigh = false;
        size_t next = 0;
        for (int t = 0; t < endMs; t += 10) {
            Packet packet;
            for (; next < edges.size() && edges[next].first == t; ++next) {
                for (bool level : edges[next].second) packet.bytes += line(level);
                isHigh = edges[next].second.back();
            }
            if (packet.bytes.empty()) packet.bytes = line(isHigh);
            plan.Send(t, std::move(packet));
        }
        // The OSC sender, not in use, makes trials of its own meanwhile.
        for (int i = plan.Has(TriggerFault::OtherInputTrials) ? pick(2, 4) : 0; i > 0; --i) {
            const int start = pick(0, endMs);
            plan.Send(start, Packet{true, {255.0f}, {}});
            plan.Send(start + pick(20, 150), Packet{true, {-255.0f}, {}});
        }
        // Drawn last, so that every other fault of a seed stays as it was drawn.
        plan.faults[size_t(TriggerFault::SilentStart)] = pick(0, 1) == 1;
        if (plan.Has(TriggerFault::SilentStart)) {
            // Its first line is the first start: the line is lost and opened again by then.
            const int leadMs = 10 * pick(30, 60);
            const auto isLeadIn = [&](const CTriggerSender::Step& step) {
                return !plan.packets[size_t(step.value)].isOsc && step.atMs < 100;
            };
            plan.steps.erase(std::remove_if(plan.steps.begin(), plan.steps.end(), isLeadIn),
                             plan.steps.end());
            for (auto& step : plan.steps) {
                if (!plan.packets[size_t(step.value)].isOsc) step.atMs += leadMs;
            }
        }
        plan.faults[size_t(TriggerFault::Restart)] = pick(0, 1) == 1;
        if (plan.Has(TriggerFault::Restart)) {
            plan.isNewPort = pick(0, 1) == 1;
            plan.restartPacket = plan.packets.size();
            plan.Send(pick(100, endMs), Packet{true, {}, {}});
        }
        std::stable_sort(plan.steps.begin(), plan.steps.end(),
                         [](const auto& a, const auto& b) { return a.atMs < b.atMs; });
        return plan;
    }
};

class TriggerSimulation : public CaptureTriggerTest,
                          public ::testing::WithParamInterface<uint32_t> {};

// Every trial the sender in use made is one recording, as long as its pulse came within
// a frame once the delays said are counted, or is said as not recorded; the other
// input's values start and stop nothing; no recording runs past the sender's last state.
TEST_P(TriggerSimulation, EveryTrialSentIsOneRecordingOrSaidLost)
{
    const uint32_t seed = GetParam();
    const TriggerPlan plan = TriggerPlan::Draw(seed);
    SCOPED_TRACE("replay with QV_SIM_SEED=" + std::to_string(seed) + ": " + plan.Describe());
    CPtyPair pty;
    ASSERT_TRUE(pty.IsValid());
    UseOscTrigger();  // both inputs live
    std::atomic<int> port{GetOscTriggerListeningPort()};
    const std::uint64_t lostBefore = GetOscTriggerLostCount();
    const std::uint64_t readBefore = GetOscTriggerDatagramCount();
    std::atomic<std::uint64_t> oscSent{0};
    // The restart runs on the GUI thread, as a change of settings does. Datagrams go on
    // to a port kept; to a new one the sender in use sends once it listens.
    std::atomic<bool> isRestartDue{false};
    std::atomic<bool> isRestarted{false};
    wxTimer restarter;
    restarter.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        if (!isRestartDue || isRestarted) return;
        if (plan.isNewPort) {
            OscTriggerSettings trigger = GetOscTriggerSettings();
            trigger.inPort = osctest::Peer().Port();  // free a moment ago
            SetOscTriggerSettings(trigger);
        }
        EXPECT_TRUE(RestartOscTrigger());
        port = GetOscTriggerListeningPort();
        isRestarted = true;
    });
    restarter.Start(3);
    m_frame->m_triggerLoop = true;
    if (plan.isSerial) {
        UseSerialTriggerLoop(pty, 100);
        ASSERT_TRUE(m_frame->OpenSerialTrigger());
    }
    for (auto& device : m_devices) device.view.rebuildTime = plan.restart;
    CTriggerSender sender(plan.steps, [&](double index) {
        if (size_t(index) == plan.restartPacket) {
            isRestartDue = true;
            // The converter must not fall silent meanwhile: the serial trigger's wait
            // reads it without a pause; the OSC sender, not in use, then goes on.
            // On a port kept, values that are neither start nor stop go on meanwhile.
            const bool isHeld = plan.isNewPort && !plan.isSerial;
            const osctest::Bytes filler = osctest::Packet(osctest::Floats("/unity_sync", {0.0f}));
            const auto until = std::chrono::steady_clock::now() + 5s;
            while (!plan.isNewPort && !isRestarted && std::chrono::steady_clock::now() < until) {
                if (!m_source.SendBytes(port, filler.data(), filler.size())) return false;
                ++oscSent;
                std::this_thread::sleep_for(50us);
            }
            while (isHeld && !isRestarted && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(1ms);
            return !isHeld || isRestarted.load();
        }
        const TriggerPlan::Packet& packet = plan.packets[size_t(index)];
        if (!packet.isOsc) return pty.Send(packet.bytes);
        std::vector<osctest::Bytes> messages;
        for (float value : packet.values)
            messages.push_back(osctest::Packet(osctest::Floats("/unity_sync", {value})));
        const osctest::Bytes bytes =
            messages.size() == 1 ? messages[0] : osctest::Bundle(1, messages);
        ++oscSent;
        return m_source.SendBytes(port, bytes.data(), bytes.size());
    });
    ASSERT_TRUE(m_frame->OpenCaptureSet("sim"));
    const size_t messagesFrom = m_frame->m_messagesText->GetValue().length();
    const auto accounted = [&] {
        return int(m_frame->m_trialIndex) - 1 + SaidNotRecorded(m_frame->m_errorsText->GetValue());
    };
    // Over once every trial is accounted for, or long after the sender is done.
    const bool isEnded = RunTriggeredCaptures(sender, [&] { return accounted() >= plan.trials; });
    restarter.Stop();
    EXPECT_EQ(isRestarted.load(), plan.Has(TriggerFault::Restart));
    // Datagrams the system dropped on the trigger's ports are counted and said.
    const std::uint64_t lost = GetOscTriggerLostCount() - lostBefore;
    DrainOscTrigger();
    // Every datagram sent was read or counted lost; the sender not in use keeps sending
    // to a port left until it learns the new one.
    if (!plan.isSerial || !plan.isNewPort) {
        EXPECT_EQ(GetOscTriggerDatagramCount() - readBefore + lost, oscSent.load());
    }
    const wxString errors = m_frame->m_errorsText->GetValue();
    ASSERT_TRUE(isEnded) << "a recording ran past the sender's last state\n" << errors;
    const int recorded = int(m_frame->m_trialIndex) - 1;
    // A line lost during a trial is said, and may cost a stop; only the converter's own
    // silence of three read time-outs loses it, one before its first line being over
    // before any trial began.
    double silentSec = 0.0;
    for (size_t i = 0, last = plan.steps.size(); i < plan.steps.size(); ++i) {
        if (plan.packets[size_t(plan.steps[i].value)].isOsc) continue;
        if (last < i) silentSec = std::max(silentSec, sender.Between(last, i));
        last = i;
    }
    const int saidLost = Occurrences(errors, "was lost during trial");
    if (silentSec < 0.3) {
        EXPECT_EQ(saidLost, 0) << "converter silent at most " << silentSec << " s\n" << errors;
    }
    if (saidLost == 0 && lost == 0) {
        EXPECT_EQ(accounted(), plan.trials) << recorded << " recorded\n" << errors;
    }
    const wxString messages = m_frame->m_messagesText->GetValue().Mid(messagesFrom);
    double lastStopUs = 0.0;
    for (int trial = 1; trial <= recorded; ++trial) {
        ExpectTrialRecorded("sim", trial, -1.0, messages);
        const auto [startUs, stopUs] = m_frame->GetTrialTriggerTimes(trial);
        EXPECT_GE(startUs, lastStopUs) << "trial " << trial << " began before the one before ended";
        lastStopUs = stopUs;
    }
    EXPECT_EQ(TrialSeconds("sim", recorded + 1), -1.0);
}
INSTANTIATE_TEST_SUITE_P(Seeds, TriggerSimulation, ::testing::ValuesIn(SimSeeds(3)), SimSeedName());

// ---- one trial, one start instant and one stop instant for every device ----

// A device that notes, from its own thread, when each of its frames went out, and
// the start and stop instants each trial gives it. Optionally slow to stop, as a
// device is on a loaded machine.
template <typename Base>
class CNotingDevice : public Base {
public:
    template <typename... Args>
    explicit CNotingDevice(Args&&... args) : Base(std::forward<Args>(args)...)
    {
        m_frameUs.reserve(1u << 20);
    }
    void DispatchFrame() override
    {
        const double nowUs = GetProgramTime();
        Base::DispatchFrame();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frameUs.push_back(nowUs);
    }
    void SetRecordStart(double programUs) override
    {
        Base::SetRecordStart(programUs);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_trials.push_back({programUs, -1.0, this->GetWriterFileName()});
    }
    void SetRecordStop(double programUs) override
    {
        Base::SetRecordStop(programUs);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_trials.empty()) m_trials.back().stopUs = programUs;
    }
    void Stop() override
    {
        if (stopTime.load().count() > 0) std::this_thread::sleep_for(stopTime.load());
        Base::Stop();
    }
    struct Trial {
        double startUs;
        double stopUs;
        wxString file;
    };
    std::vector<Trial> Trials()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_trials;
    }
    std::vector<double> FrameTimes()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frameUs;
    }
    void SetRateHz(double rateHz)
    {
        this->m_rate = rateHz;
        this->ResetClock();
    }
    std::atomic<std::chrono::microseconds> stopTime{std::chrono::microseconds(0)};

private:
    std::mutex m_mutex;
    std::vector<double> m_frameUs;
    std::vector<Trial> m_trials;
};

template <typename Base>
void NameTestDevice(CNotingDevice<Base>& device, const wxString& name, double rateHz)
{
    bool changed = false;
    device.SetParam(&name, 0, 1, PARAM_STRING, &changed);
    device.SetRateHz(rateHz);
}

// Threads that keep every core busy while they live: a loaded machine.
class CBusyMachine {
public:
    explicit CBusyMachine(bool isBusy)
    {
        const unsigned count = isBusy ? std::max(2u, std::thread::hardware_concurrency()) : 0u;
        for (unsigned i = 0; i < count; ++i)
            m_threads.emplace_back([this] {
                volatile uint64_t spin = 0;
                while (!m_done.load(std::memory_order_relaxed)) spin = spin + 1;
            });
    }
    ~CBusyMachine()
    {
        m_done = true;
        for (std::thread& thread : m_threads) thread.join();
    }

private:
    std::atomic<bool> m_done{false};
    std::vector<std::thread> m_threads;
};

// How the frames of one device's trial lie against the trial's instants (us).
struct TrialSpan {
    double firstAfterStartUs = 0.0;  // its frame 0 went out this long after the start
    double lastBeforeStopUs = 0.0;   // its last frame went out this long before the stop
};

// The frames Errors says a recording ends short of its trial's stop by (its device's
// thread too far behind on a loaded machine); 0 when it says nothing.
int64_t SaidMissingFrames(const wxString& errors, const wxString& file)
{
    const wxString head = "Recording " + file + " ends ";
    const int at = errors.Find(head);
    if (at == wxNOT_FOUND) return 0;
    long long frames = 0;
    return errors.Mid(size_t(at) + head.length()).BeforeFirst(' ').ToLongLong(&frames) ? frames
                                                                                      : -1;
}

// The recording of each trial of the device holds exactly the frames due between the
// trial's start and stop instants: frame k due at start + k periods, the first due at
// or after the stop left out; those that did not come in time are said on Errors.
// Its frame 0 went out after the start, and no frame went out before it was due,
// whatever the load. The spans, for the figures.
template <typename Device>
std::vector<TrialSpan> ExpectFramesBetweenTheInstants(Device& device, double rateHz,
                                                      const wxString& errors)
{
    std::vector<TrialSpan> spans;
    const std::vector<double> frames = device.FrameTimes();
    const double periodUs = 1.0e6 / rateHz;
    for (const auto& trial : device.Trials()) {
        SCOPED_TRACE(trial.file.ToStdString());
        EXPECT_GT(trial.stopUs, trial.startUs);
        const int64_t recorded = FramesInFile(trial.file);
        const auto due = static_cast<int64_t>(std::ceil((trial.stopUs - trial.startUs) / periodUs));
        const int64_t said = SaidMissingFrames(errors, trial.file);
        EXPECT_EQ(recorded + said, due) << "frames due in " << (trial.stopUs - trial.startUs) / 1000.0
                                        << " ms at " << rateHz << " Hz, " << said << " said";
        const auto first = std::upper_bound(frames.begin(), frames.end(), trial.startUs);
        if (recorded <= 0 || frames.end() - first < recorded) {
            ADD_FAILURE() << "frames noted after the start: " << frames.end() - first;
            continue;
        }
        for (int64_t k = 0; k < recorded; ++k) {
            // 20 us: the precise clock's whole microseconds and its conversions to the
            // program clock; a frame out a period early would be 1000 us or more.
            EXPECT_GE(first[k] - (trial.startUs + double(k) * periodUs), -20.0) << "frame " << k;
        }
        if (frames.end() - first > recorded) {
            EXPECT_GE(first[recorded] - trial.stopUs, -20.0) << "the first frame left out";
        }
        spans.push_back({first[0] - trial.startUs, trial.stopUs - first[recorded - 1]});
    }
    return spans;
}

// Spread of the spans: the widest gap between the devices' first frames and between
// their last frames, over trials, in ms; printed for the figures.
void PrintSpread(const char* title, const std::vector<std::vector<TrialSpan>>& devices,
                 size_t from, size_t to)
{
    double firstSpread = 0.0;
    double lastSpread = 0.0;
    double firstLate = 0.0;
    const size_t trials = to - from;
    for (size_t t = from; t < to; ++t) {
        double firstLow = 1e18, firstHigh = -1e18, lastLow = 1e18, lastHigh = -1e18;
        for (const auto& spans : devices) {
            if (t >= spans.size()) continue;
            firstLow = std::min(firstLow, spans[t].firstAfterStartUs);
            firstHigh = std::max(firstHigh, spans[t].firstAfterStartUs);
            lastLow = std::min(lastLow, spans[t].lastBeforeStopUs);
            lastHigh = std::max(lastHigh, spans[t].lastBeforeStopUs);
            firstLate = std::max(firstLate, spans[t].firstAfterStartUs);
        }
        firstSpread = std::max(firstSpread, firstHigh - firstLow);
        lastSpread = std::max(lastSpread, lastHigh - lastLow);
    }
    std::printf("%s: trials=%zu first_frame_spread_ms=%.3f last_frame_spread_ms=%.3f "
                "latest_first_frame_ms=%.3f\n",
                title, trials, firstSpread / 1000.0, lastSpread / 1000.0, firstLate / 1000.0);
    std::fflush(stdout);
}

// The four devices of a lab's trial: analog at 1000 Hz, a tracker at 250 Hz, a
// looping player at 500 Hz, analog at 100 Hz.
class CaptureTrialDevices {
public:
    explicit CaptureTrialDevices(const std::string& sourcePath)
        : fast(false, false), tracker(false, true), player(false, "", SaveSource(sourcePath)),
          slow(false, false)
    {
        NameTestDevice(fast, "fast", 1000.0);
        NameTestDevice(tracker, "tracker", 250.0);
        NameTestDevice(slow, "slow", 100.0);
    }
    bool Run()
    {
        for (CAnalogDevice* device : All())
            if (!device->Create(true) || !device->RunThread()) return false;
        return player.IsReady();
    }
    ~CaptureTrialDevices()
    {
        for (CAnalogDevice* device : All()) device->Close();
    }
    std::vector<CAnalogDevice*> All() { return {&fast, &tracker, &player, &slow}; }
    void SetStopTime(std::chrono::microseconds time)
    {
        fast.stopTime = time;
        tracker.stopTime = time;
        player.stopTime = time;
        slow.stopTime = time;
    }
    // Prints the figures of trials [from, to) of each part under its title.
    void ExpectEveryTrialBetweenItsInstants(
        const wxString& errors, const std::vector<std::tuple<const char*, size_t, size_t>>& parts)
    {
        std::vector<std::vector<TrialSpan>> spans;
        {
            SCOPED_TRACE("fast");
            spans.push_back(ExpectFramesBetweenTheInstants(fast, 1000.0, errors));
        }
        {
            SCOPED_TRACE("tracker");
            spans.push_back(ExpectFramesBetweenTheInstants(tracker, 250.0, errors));
        }
        {
            SCOPED_TRACE("player");
            spans.push_back(ExpectFramesBetweenTheInstants(player, 500.0, errors));
        }
        {
            SCOPED_TRACE("slow");
            spans.push_back(ExpectFramesBetweenTheInstants(slow, 100.0, errors));
        }
        for (const auto& [title, from, to] : parts) PrintSpread(title, spans, from, to);
    }

    CNotingDevice<CTestDevice> fast;
    CNotingDevice<CTestDevice> tracker;
    CNotingDevice<CAnalogFileDevice> player;
    CNotingDevice<CTestDevice> slow;

private:
    // A 500 Hz recording of 4000 frames for the player.
    static std::string SaveSource(const std::string& path)
    {
        Bytes source;
        source.Header(99887755, 500.0, 1, 1, 4000, 0);
        for (int f = 0; f < 4000; ++f) source.F64(f);
        source.U64(0);
        source.Save(path);
        return path;
    }
};

TEST_F(CaptureFrameTest, EveryDeviceOfATrialRecordsFromItsStartInstantToItsStopInstant)
{
    // Trials by hand of four devices of four rates, on an idle and on a loaded
    // machine, both writers; in every other trial the devices are slow to stop (as a
    // loaded machine makes them), the first of them finished while the others would
    // record on. Each file holds the frames due between the trial's two instants.
    // Four trials of each machine: each writer with and without a slow stop.
    CaptureTrialDevices devices(Path("source.qvd").string());
    ASSERT_TRUE(devices.Run());
    m_frame->SetCaptureDeviceSource([&devices] { return devices.All(); });
    m_frame->m_exportAnalog = false;
    ASSERT_TRUE(m_frame->OpenCaptureSet("span"));
    int trial = 0;
    for (const bool isLoaded : {false, true}) {
        CBusyMachine busy(isLoaded);
        for (int k = 0; k < 4; ++k, ++trial) {
            m_frame->m_captureUseThread = k < 2;
            devices.SetStopTime(std::chrono::microseconds(k % 2 == 1 ? 50000 : 0));
            Command(ID_CAPTURE_START);
            ASSERT_TRUE(m_frame->m_capturing) << trial;
            const double lengthUs = 100000.0 + 37000.0 * k;
            const double startUs = devices.fast.Trials().back().startUs;
            ASSERT_TRUE(RunUntil([&] { return GetProgramTime() - startUs > lengthUs; }));
            Command(ID_CAPTURE_STOP);
            ASSERT_FALSE(m_frame->m_capturing);
        }
    }
    devices.SetStopTime(std::chrono::microseconds(0));
    m_frame->CloseCaptureFiles();
    m_frame->SetCaptureDeviceSource([] { return std::vector<CAnalogDevice*>(); });
    devices.ExpectEveryTrialBetweenItsInstants(
        m_frame->m_errorsText->GetValue(), {{"by hand, idle", 0, 4}, {"by hand, loaded", 4, 8}});
    EXPECT_EQ(devices.fast.Trials().size(), 8u);
    const wxString messages = m_frame->m_messagesText->GetValue();
    EXPECT_EQ(Occurrences(messages, "Saving data to"), 32) << messages;
}

// A test analog device whose thread can be made to hang inside its pass, as a read
// that never returns.
class CHangingTestDevice : public CNotingDevice<CTestDevice> {
public:
    CHangingTestDevice() : CNotingDevice<CTestDevice>(false, false) {}
    bool Process(bool tick, bool running) override
    {
        while (hang.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return CNotingDevice<CTestDevice>::Process(tick, running);
    }
    std::atomic<bool> hang{false};
};

TEST_F(CaptureFrameTest, DeviceThatGaveNoFrameToATrialLeavesNoFileAndIsNotSaidSaved)
{
    CHangingTestDevice hung;
    NameTestDevice(hung, "hung", 500.0);
    ASSERT_TRUE(hung.Create(true) && hung.RunThread());
    m_frame->SetCaptureDeviceSource(
        [&] { return std::vector<CAnalogDevice*>{&hung, m_devices[0].get()}; });
    ASSERT_TRUE(m_frame->OpenCaptureSet("none"));
    const wxString hungFile = hung.GetWriterFileName();
    const wxString hungExport = hung.GetExportFileName();
    ASSERT_TRUE(wxFileName::Exists(hungFile));
    hung.hang = true;  // its read hangs through the whole trial
    Command(ID_CAPTURE_START);
    ASSERT_TRUE(m_frame->m_capturing);
    RecordFrames(50);
    Command(ID_CAPTURE_STOP);
    ASSERT_FALSE(m_frame->m_capturing);
    hung.hang = false;
    EXPECT_FALSE(wxFileName::Exists(hungFile)) << "a recording of no frame is not kept";
    EXPECT_TRUE(hungExport.empty() || !wxFileName::Exists(hungExport));
    const wxString messages = m_frame->m_messagesText->GetValue();
    EXPECT_EQ(messages.Find("Saving data to : " + hungFile), wxNOT_FOUND) << messages;
    EXPECT_EQ(m_frame->m_fileList->FindItem(-1, wxFileName(hungFile).GetFullName()), -1);
    EXPECT_NE(m_frame->m_errorsText->GetValue().Find(
                  "No frame of device hung came during trial 1: no file kept"),
              wxNOT_FOUND)
        << m_frame->m_errorsText->GetValue();
    // The other device's trial is whole and listed.
    const wxString other = CaptureFile("nonedev1_0001.qvd");
    EXPECT_GE(FramesInFile(other), 50);
    EXPECT_NE(m_frame->m_fileList->FindItem(-1, wxFileName(other).GetFullName()), -1);
    m_frame->CloseCaptureFiles();
    m_frame->SetCaptureDeviceSource([] { return std::vector<CAnalogDevice*>(); });
    hung.Close();
}

// A test analog device whose thread can be stopped inside the sending of a frame: its
// pass then outlasts the hold a trial's start waits for.
class CStallingTestDevice : public CNotingDevice<CTestDevice> {
public:
    CStallingTestDevice() : CNotingDevice<CTestDevice>(false, false) { m_sent.reserve(1u << 16); }
    void DispatchFrame() override
    {
        if (stall.load()) {
            stalled = true;
            while (stall.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const double nowUs = GetProgramTime();
        {
            std::lock_guard<std::mutex> lock(m_sentMutex);
            m_sent.emplace_back(nowUs, GetSampleCounter());
        }
        CNotingDevice<CTestDevice>::DispatchFrame();
    }
    size_t SentCount()
    {
        std::lock_guard<std::mutex> lock(m_sentMutex);
        return m_sent.size();
    }
    // When the frames of each trial went out: from the last frame 0 sent between its
    // start and stop, as long as they follow one another. A thread held past the start sends
    // frames of its old count before it takes the trial's reset.
    std::vector<double> FrameTimes()
    {
        std::vector<double> times;
        const auto trials = Trials();
        std::lock_guard<std::mutex> lock(m_sentMutex);
        for (size_t t = 0; t < trials.size(); ++t) {
            const double endUs = t + 1 < trials.size() ? trials[t + 1].startUs : HUGE_VAL;
            auto first = m_sent.end();
            for (auto frame = m_sent.begin(); frame != m_sent.end(); ++frame) {
                if (frame->first > trials[t].startUs && frame->first < trials[t].stopUs &&
                    frame->second == 0)
                    first = frame;
            }
            for (int64_t k = 0; first != m_sent.end() && first->second == k && first->first < endUs;
                 ++first, ++k)
                times.push_back(first->first);
        }
        return times;
    }
    std::atomic<bool> stall{false};
    std::atomic<bool> stalled{false};

private:
    std::mutex m_sentMutex;
    std::vector<std::pair<double, int64_t>> m_sent;
};

// A test analog device that, as its recording starts (or is given the trial's
// instant), lets the stalled device go on and waits until that one sent frames more
// frames: the window's thread slow between two devices of a start.
class CReleasingTestDevice : public CNotingDevice<CTestDevice> {
public:
    explicit CReleasingTestDevice(CStallingTestDevice& stalled)
        : CNotingDevice<CTestDevice>(false, false), m_stalled(stalled)
    {
    }
    bool StartRecording() override
    {
        const bool isStarted = CNotingDevice<CTestDevice>::StartRecording();
        if (!atTheInstant) Release();
        return isStarted;
    }
    void SetRecordStart(double programUs) override
    {
        CNotingDevice<CTestDevice>::SetRecordStart(programUs);
        if (atTheInstant) Release();
    }
    int frames = 0;
    bool atTheInstant = false;

private:
    void Release()
    {
        if (!m_stalled.stall.exchange(false)) return;
        const size_t sent = m_stalled.SentCount() + size_t(frames);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (m_stalled.SentCount() < sent && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }

    CStallingTestDevice& m_stalled;
};

TEST_F(CaptureFrameTest, DeviceStalledPastTheStartsHoldRecordsOnlyTheTrialsFrames)
{
    // A device's thread is stalled inside the sending of a frame as a trial starts,
    // longer than the start holds a device, and goes on while another device starts:
    // the frame it held, alone or with more. Its recording holds the trial's frames
    // only: its frame 0 due at the start instant, one phase step each.
    CStallingTestDevice stalled;
    CReleasingTestDevice releasing(stalled);
    NameTestDevice(stalled, "stalled", 500.0);
    NameTestDevice(releasing, "releasing", 500.0);
    ASSERT_TRUE(stalled.Create(true) && stalled.RunThread());
    ASSERT_TRUE(releasing.Create(true) && releasing.RunThread());
    m_frame->m_exportAnalog = false;
    ASSERT_TRUE(m_frame->OpenCaptureSet("stall"));
    for (const int frames : {1, 20}) {
        SCOPED_TRACE(std::to_string(frames) + " frames sent before the instant");
        // First of the trial's devices, let go as the other one starts; then last, let
        // go as the other one is given the trial's instant.
        const bool isFirst = frames == 1;
        m_frame->SetCaptureDeviceSource([&, isFirst] {
            return isFirst ? std::vector<CAnalogDevice*>{&stalled, &releasing}
                           : std::vector<CAnalogDevice*>{&releasing, &stalled};
        });
        releasing.frames = frames;
        releasing.atTheInstant = !isFirst;
        stalled.stalled = false;
        stalled.stall = true;
        ASSERT_TRUE(RunUntil([&] { return stalled.stalled.load(); }));
        Command(ID_CAPTURE_START);
        ASSERT_TRUE(m_frame->m_capturing);
        const double startUs = stalled.Trials().back().startUs;
        ASSERT_TRUE(RunUntil([&] { return GetProgramTime() - startUs > 150000.0; }));
        Command(ID_CAPTURE_STOP);
        ASSERT_FALSE(m_frame->m_capturing);
        const wxString file = stalled.Trials().back().file;
        EXPECT_EQ(PhaseBreaks(file, 500.0), 0) << file;
        CAnalogReader reader;
        ASSERT_TRUE(reader.Open(file));
        std::vector<double> values(size_t(reader.GetChannelCount() * reader.GetDim()));
        ASSERT_TRUE(reader.GetFrame(values.data(), int64_t(values.size()), 0));
        EXPECT_NEAR(std::remainder(AnalogPhase(values.data()), kTwoPi), 0.0, 1e-6) << file;
    }
    m_frame->CloseCaptureFiles();
    m_frame->SetCaptureDeviceSource([] { return std::vector<CAnalogDevice*>(); });
    const wxString errors = m_frame->m_errorsText->GetValue();
    ExpectFramesBetweenTheInstants(stalled, 500.0, errors);
    ExpectFramesBetweenTheInstants(releasing, 500.0, errors);
    stalled.Close();
    releasing.Close();
}

TEST_F(CaptureFrameTest, StartAndStopPressedDuringASlowStopGiveATrialWithFramesOfEveryDevice)
{
    // The first trial's devices are slow to stop; the user presses Start and then
    // Stop meanwhile: both run once the stop is over, one right after the other.
    CaptureTrialDevices devices(Path("source.qvd").string());
    ASSERT_TRUE(devices.Run());
    m_frame->SetCaptureDeviceSource([&devices] { return devices.All(); });
    m_frame->m_captureAutoFile = true;
    ASSERT_TRUE(m_frame->OpenCaptureSet("press"));
    for (int round = 0; round < 4; ++round) {
        Command(ID_CAPTURE_START);
        ASSERT_TRUE(m_frame->m_capturing);
        ASSERT_TRUE(RunUntil([&] { return devices.slow.GetSampleCounter() >= 10; }));
        devices.SetStopTime(std::chrono::microseconds(50000));
        wxQueueEvent(m_frame, new wxCommandEvent(wxEVT_MENU, ID_CAPTURE_START));
        wxQueueEvent(m_frame, new wxCommandEvent(wxEVT_MENU, ID_CAPTURE_STOP));
        Command(ID_CAPTURE_STOP);
        devices.SetStopTime(std::chrono::microseconds(0));
        const int64_t trial = m_frame->m_trialIndex;
        ASSERT_TRUE(RunUntil([&] { return m_frame->m_trialIndex == trial + 1 && !m_frame->m_capturing; }))
            << round;
    }
    m_frame->CloseCaptureFiles();
    m_frame->SetCaptureDeviceSource([] { return std::vector<CAnalogDevice*>(); });
    // Every trial of every device is a recording with its frames, listed and said.
    const wxString messages = m_frame->m_messagesText->GetValue();
    auto expectEveryTrial = [&](auto& device) {
        const auto trials = device.Trials();
        EXPECT_EQ(trials.size(), 8u);
        for (const auto& trial : trials) {
            SCOPED_TRACE(trial.file.ToStdString());
            EXPECT_GE(FramesInFile(trial.file), CAnalogReader::kMinFrames);
            EXPECT_NE(messages.Find("Saving data to : " + trial.file), wxNOT_FOUND);
            EXPECT_NE(m_frame->m_fileList->FindItem(-1, wxFileName(trial.file).GetFullName()), -1);
        }
    };
    expectEveryTrial(devices.fast);
    expectEveryTrial(devices.tracker);
    expectEveryTrial(devices.player);
    expectEveryTrial(devices.slow);
}

// A camera and an analog device recorded together: the video's time against the
// analog file's. The camera delivers at 30 frames per second.
class CaptureCameraTest : public CaptureFrameTest {
protected:
    void SetUp() override
    {
        CaptureFrameTest::SetUp();
        m_camera = std::make_shared<SyntheticCamera>();
        // Large enough for each frame to carry its number.
        m_camera->width = kStampWidth;
        m_camera->height = kStampHeight;
        m_camera->deliverFps = 30.0;
        m_cameras = std::make_unique<CCameraFactoryScope>(SyntheticCameras(m_camera, 1));
        m_video = std::make_unique<CVideoDevice>(0, kStampWidth, kStampHeight, 30, false);
        ASSERT_TRUE(m_video->Create(true) && m_video->RunThread());
        NameTestDevice(m_analog, "analog", 500.0);
        ASSERT_TRUE(m_analog.Create(true) && m_analog.RunThread());
        ASSERT_TRUE(RunUntil([&] { return m_video->IsFrameRateKnown(); }));
    }
    void TearDown() override
    {
        m_camera->hangAfter = -1;
        m_camera->Unblock();
        if (m_frame) {
            m_frame->CloseCaptureFiles();
            m_frame->SetCaptureDeviceSource([] { return std::vector<CAnalogDevice*>(); });
        }
        m_analog.Close();
        m_video->CloseCamera();
        m_video->Close();
        CVideoFinisher::Instance().Wait();
        m_video.reset();
        m_cameras.reset();
        CaptureFrameTest::TearDown();
    }
    // Records one trial of both devices, in this order, lasting about lengthMs; during
    // runs between the start and the stop.
    void RecordTrial(const std::string& set, const std::vector<CAnalogDevice*>& order, int lengthMs,
                     const std::function<void()>& during = {})
    {
        m_frame->SetCaptureDeviceSource([order] { return order; });
        ASSERT_TRUE(m_frame->OpenCaptureSet(set));
        m_videoFile = m_video->GetWriterFileName();
        m_analogFile = m_analog.GetWriterFileName();
        Command(ID_CAPTURE_START);
        ASSERT_TRUE(m_frame->m_capturing);
        const double startUs = m_analog.Trials().back().startUs;
        if (during) during();
        ASSERT_TRUE(RunUntil([&] { return GetProgramTime() - startUs > lengthMs * 1000.0; }));
        Command(ID_CAPTURE_STOP);
        ASSERT_FALSE(m_frame->m_capturing);
        CVideoFinisher::Instance().Wait();
    }
    // The video lasts as long as the trial, whatever the camera delivered and however
    // late: slot 0 at the trial's start instant and as many slots as its stop instant
    // gives at the file's rate (rounded as the writer rounds), its missing start and end
    // filled with copies; the analog file counts from the same two instants.
    void ExpectVideoOfTheTrialsSlots()
    {
        const int64_t analogFrames = FramesInFile(m_analogFile);
        ASSERT_GT(analogFrames, 0);
        ASSERT_FALSE(m_analog.Trials().empty());
        const auto trial = m_analog.Trials().back();
        ASSERT_GT(trial.stopUs, trial.startUs);
        EXPECT_EQ(m_video->GetRecordStart(), trial.startUs);
        const VideoFacts facts = ReadTestVideo(m_videoFile.ToStdString());
        ASSERT_GT(facts.fps, 0.0) << m_videoFile;
        ASSERT_EQ(facts.numbers.size(), size_t(facts.frames));
        const auto slots = std::llround((trial.stopUs - trial.startUs) * facts.fps / 1.0e6);
        EXPECT_EQ(facts.frames, slots)
            << "trial of " << (trial.stopUs - trial.startUs) / 1000.0 << " ms at " << facts.fps
            << " frames/s; " << analogFrames << " analog frames";
        // The camera's images in the order it took them, each once at most in a row of
        // its copies.
        for (size_t i = 1; i < facts.numbers.size(); ++i)
            EXPECT_GE(facts.numbers[i], facts.numbers[i - 1]) << "frame " << i;
        std::printf("video %d frames at %.3f/s, trial %.3f ms, analog %lld frames\n", facts.frames,
                    facts.fps, (trial.stopUs - trial.startUs) / 1000.0,
                    static_cast<long long>(analogFrames));
        std::fflush(stdout);
    }

    std::shared_ptr<SyntheticCamera> m_camera;
    std::unique_ptr<CCameraFactoryScope> m_cameras;
    std::unique_ptr<CVideoDevice> m_video;
    CNotingDevice<CTestDevice> m_analog{false, false};
    wxString m_videoFile;
    wxString m_analogFile;
};

// A camera hung at the start or at the stop: the seeded camera trials (frameCameraTrials).

TEST_F(CaptureCameraTest, SlowStopTakesNoVideoFramePastTheTrialsStop)
{
    // The camera delivers throughout; the analog device before it is slow to stop.
    RecordTrial("slowstop", {&m_analog, m_video.get()}, 500,
                [&] { m_analog.stopTime = std::chrono::microseconds(150000); });
    m_analog.stopTime = std::chrono::microseconds(0);
    ExpectVideoOfTheTrialsSlots();
    ExpectFramesBetweenTheInstants(m_analog, 500.0, m_frame->m_errorsText->GetValue());
}

// An analog device that holds the window's thread, as a busy machine does, where it is
// told the trial's stop instant: until the camera has taken three more images.
class CStopHoldingDevice : public CNotingDevice<CTestDevice> {
public:
    explicit CStopHoldingDevice(std::shared_ptr<SyntheticCamera> camera)
        : CNotingDevice<CTestDevice>(false, false), m_camera(std::move(camera))
    {
    }
    void SetRecordStop(double programUs) override
    {
        // Grab k + 1 asked for: image k went all the way through the device.
        const int grabs = m_camera->grabs.load();
        if (holds.load()) m_camera->WaitForGrabs(grabs + 4, std::chrono::seconds(2));
        CNotingDevice<CTestDevice>::SetRecordStop(programUs);
    }
    std::atomic<bool> holds{true};

private:
    std::shared_ptr<SyntheticCamera> m_camera;
};

TEST_F(CaptureCameraTest, WindowHeldAfterTheStopInstantTakesNoVideoFramePastIt)
{
    // The window's thread is held after the trial's stop instant is taken, before the
    // camera is told (it comes after the held device): the images the camera takes
    // meanwhile are past the trial's stop. Trials ending in either half of a slot.
    CStopHoldingDevice holding(m_camera);
    NameTestDevice(holding, "holding", 500.0);
    ASSERT_TRUE(holding.Create(true) && holding.RunThread());
    int trial = 0;
    for (const int lengthMs : {200, 217}) {
        SCOPED_TRACE(std::to_string(lengthMs) + " ms");
        m_frame->CloseCaptureFiles();
        RecordTrial("held" + std::to_string(++trial), {&holding, &m_analog, m_video.get()},
                    lengthMs);
        ExpectVideoOfTheTrialsSlots();
    }
    m_frame->CloseCaptureFiles();
    m_frame->SetCaptureDeviceSource([] { return std::vector<CAnalogDevice*>(); });
    holding.Close();
    const wxString errors = m_frame->m_errorsText->GetValue();
    ExpectFramesBetweenTheInstants(m_analog, 500.0, errors);
    ExpectFramesBetweenTheInstants(holding, 500.0, errors);
}

TEST_F(CaptureCameraTest, VideoHasTheTrialsSlotsOnAnIdleAndALoadedMachine)
{
    // Trials whose lengths end at every part of a video slot (rounded up and down),
    // the camera delivering throughout, with every core idle; then trials with every
    // core kept busy, whose lengths the load decides.
    int trial = 0;
    for (const bool isLoaded : {false, true}) {
        CBusyMachine busy(isLoaded);
        const std::vector<int> lengthsMs =
            isLoaded ? std::vector<int>{200, 217, 233} : std::vector<int>{200, 208, 217, 225, 233};
        for (const int lengthMs : lengthsMs) {
            SCOPED_TRACE((isLoaded ? "loaded, " : "idle, ") + std::to_string(lengthMs) + " ms");
            m_frame->CloseCaptureFiles();
            RecordTrial("slots" + std::to_string(++trial), {&m_analog, m_video.get()}, lengthMs);
            ExpectVideoOfTheTrialsSlots();
        }
    }
    ExpectFramesBetweenTheInstants(m_analog, 500.0, m_frame->m_errorsText->GetValue());
}

TEST_F(CaptureTriggerTest, TriggeredTrialsOfFourDevicesRecordFromTheirStartToTheirStopInstant)
{
    // Trials started and stopped by the OSC trigger in Trigger Loop, on an idle and
    // on a loaded machine: each device's file holds the frames due between the
    // trial's two instants, and a stop acted on late is said once with its delay.
    CaptureTrialDevices devices(Path("source.qvd").string());
    ASSERT_TRUE(devices.Run());
    m_frame->SetCaptureDeviceSource([&devices] { return devices.All(); });
    m_frame->m_exportAnalog = false;
    constexpr int kTrials = 4;
    const size_t messagesFrom = m_frame->m_messagesText->GetValue().length();
    {
        RecordLoopTrials("trigidle", kTrials, 300, 150);
    }
    {
        CBusyMachine busy(true);
        RecordLoopTrials("trigload", kTrials, 300, 150);
    }
    m_frame->CloseCaptureFiles();
    m_frame->SetCaptureDeviceSource([] { return std::vector<CAnalogDevice*>(); });
    ASSERT_EQ(devices.fast.Trials().size() + size_t(m_saidLost), size_t(2 * kTrials));
    devices.ExpectEveryTrialBetweenItsInstants(
        m_frame->m_errorsText->GetValue(), {{"by trigger, idle", 0, kTrials}, {"by trigger, loaded", kTrials, 2 * kTrials}});
    const wxString messages = m_frame->m_messagesText->GetValue().Mid(messagesFrom);
    for (int trial = 1; trial <= kTrials; ++trial)
        EXPECT_LE(Occurrences(messages, wxString::Format("Trial %d stopped ", trial)), 2)
            << "once per set at most\n" << messages;
}

TEST_F(CaptureTriggerTest, StopActedOnMoreThanAFrameLateIsSaidWithItsDelay)
{
    // A trial started by the OSC trigger; its stop comes while the interface is busy
    // for 80 ms (said with its delay), then in next trials at once (said only when it
    // was acted on more than a frame of the fastest device, 2 ms, late, and then with
    // no more than the time that went by).
    const auto send = UseOscTrigger();
    ASSERT_TRUE(m_frame->OpenCaptureSet("late"));
    for (const int busyMs : {80, 0, 0, 0}) {
        const int64_t trial = m_frame->m_trialIndex;
        CTriggerSender sender({{50, 255.0}}, send);
        bool hasBegun = false;
        wxTimer driver;
        driver.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
            if (!hasBegun && FindWaitDialog()) {
                hasBegun = true;
                sender.Begin();
            }
        });
        driver.Start(5);
        Command(ID_CAPTURE_START);
        driver.Stop();
        sender.Join();
        ASSERT_TRUE(m_frame->m_capturing) << busyMs;
        RecordFrames(20);
        const size_t messagesFrom = m_frame->m_messagesText->GetValue().length();
        const double fedUs = GetProgramTime();
        GetOscTriggerCrossings().Feed(-255.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(busyMs));
        ASSERT_TRUE(RunUntil([&] { return !m_frame->m_capturing; }));
        const double elapsedMs = (GetProgramTime() - fedUs) / 1000.0;
        const std::string said = m_frame->m_messagesText->GetValue().Mid(messagesFrom).ToStdString();
        const std::string head = "Trial " + std::to_string(trial) + " stopped ";
        const size_t at = said.find(head);
        if (busyMs > 0) {
            ASSERT_NE(at, std::string::npos) << said;
        }
        if (at == std::string::npos) continue;  // acted on within a frame
        double delayMs = 0.0;
        const char* number = said.data() + at + head.size();
        const auto [end, error] = std::from_chars(number, said.data() + said.size(), delayMs);
        ASSERT_EQ(error, std::errc()) << said;
        const std::string tail = " ms after its trigger\n";
        EXPECT_EQ(said.compare(size_t(end - said.data()), tail.size(), tail), 0) << said;
        EXPECT_GE(delayMs, std::max(2.0, double(busyMs)));
        EXPECT_LE(delayMs, elapsedMs);
        EXPECT_EQ(said.find(head, at + 1), std::string::npos) << "said once";
    }
}

TEST_F(CaptureFrameTest, FileListRowsAddUpAndResetKeepsColumns)
{
    wxListCtrl* list = m_frame->m_fileList;
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->GetColumnCount(), 4);
    {
        std::ofstream file(Path("capture/a_0001.qvd"), std::ios::binary);
        file << std::string(512 * 1024, 'x');
    }
    const wxString path = CaptureFile("a_0001.qvd");
    EXPECT_FALSE(m_frame->AddFileListRow(path, 0, 1.0));
    EXPECT_FALSE(m_frame->AddFileListRow(CaptureFile("missing_0001.qvd"), 10, 1.0));
    EXPECT_FALSE(m_frame->AddFileListRow("", 10, 1.0));
    ASSERT_TRUE(m_frame->AddFileListRow(path, 1000, 20.0));
    ASSERT_TRUE(m_frame->AddFileListRow(path, 500, 10.0));
    ASSERT_EQ(list->GetItemCount(), 1);
    EXPECT_EQ(list->GetItemText(0, 0), "a_0001.qvd");
    EXPECT_EQ(list->GetItemText(0, 1), "1500 (10.000 s");
    EXPECT_EQ(list->GetItemText(0, 2), "512.00 Kb");
    EXPECT_EQ(list->GetItemData(0), 1500u);
    Command(ID_CAPTURE_CLEAR_LIST);
    EXPECT_EQ(list->GetItemCount(), 0);
    EXPECT_EQ(list->GetColumnCount(), 4);
    wxListItem header;
    header.SetMask(wxLIST_MASK_TEXT);
    ASSERT_TRUE(list->GetColumn(1, header));
    EXPECT_EQ(header.GetText(), "Frames");
}

TEST_F(CaptureFrameTest, ChannelListChangeDuringACaptureIsRefusedAndTheFileStaysWhole)
{
    ShowFirstDevice();
    ASSERT_EQ(m_frame->m_channelPopup->GetCount(), 8u);
    ASSERT_TRUE(m_frame->OpenCaptureSet("chan"));
    Command(ID_CAPTURE_START);
    ASSERT_TRUE(m_frame->m_capturing);
    RecordFrames(50);
    {
        CLogCapture log;
        UntickFirstChannel();
        ASSERT_EQ(log.Warnings(), 1);
        EXPECT_NE(
            log.Messages().back().find("You need to stop recording before changing the device"),
            std::string::npos);
        // The other device commands are refused alike.
        Command(ID_DEVICE_RESET);
        Command(ID_DEVICE_START_STOP);
        EXPECT_EQ(log.Warnings(), 3);
    }
    EXPECT_TRUE(m_frame->m_channelPopup->IsChecked(0));
    EXPECT_EQ(m_devices[0]->GetVisibleList().size(), 8u);
    EXPECT_TRUE(m_devices[0]->IsRunning());
    RecordFrames(50);
    Command(ID_CAPTURE_STOP);
    const wxString file = CaptureFile("chandev1_0001.qvd");
    EXPECT_GE(FramesInFile(file), 100);
    EXPECT_EQ(PhaseBreaks(file, 500.0), 0) << "every frame follows the one before";
}

TEST_F(CaptureFrameTest, StopRequestIsCarriedOutByTheDisplayTimerWithoutIdle)
{
    m_frame->m_captureMaxTime = 0.2;
    ASSERT_TRUE(m_frame->OpenCaptureSet("tick"));
    Command(ID_CAPTURE_START);
    ASSERT_TRUE(m_frame->m_capturing);
    // A busy event loop: no idle event runs while the recorders reach their limit.
    ASSERT_TRUE(WaitRunsEnded());
    ASSERT_TRUE(m_frame->m_capturing);
    // The next display tick carries the stop out.
    wxTimerEvent tick(m_frame->m_displayTimer);
    m_frame->ProcessWindowEvent(tick);
    EXPECT_FALSE(m_frame->m_capturing);
    EXPECT_EQ(m_frame->m_fileList->GetItemCount(), 2);
    EXPECT_EQ(m_frame->m_trialIndex, 2);
}

TEST_F(CaptureFrameTest, RunEndedByItsLimitRefusesDeviceChangesUntilTheStopIsCarriedOut)
{
    ShowFirstDevice();
    ASSERT_EQ(m_frame->m_channelPopup->GetCount(), 8u);
    m_frame->m_captureMaxTime = 0.2;
    ASSERT_TRUE(m_frame->OpenCaptureSet("ended"));
    Command(ID_CAPTURE_START);
    ASSERT_TRUE(m_frame->m_capturing);
    m_devices[0]->AddMarker(7, 3, "cue", false);
    // No event runs: the limit ends both runs, their stop is still to be carried out.
    ASSERT_TRUE(WaitRunsEnded());
    ASSERT_TRUE(m_frame->m_capturing);
    {
        CLogCapture log;
        UntickFirstChannel();
        Command(ID_DEVICE_RESET);
        Command(ID_DEVICE_OFFSET);
        Command(ID_DEVICE_START_STOP);
        EXPECT_EQ(log.Warnings(), 4);
        for (const std::string& message : log.Messages())
            EXPECT_NE(message.find("You need to stop recording before changing the device"),
                      std::string::npos)
                << message;
    }
    EXPECT_TRUE(m_frame->m_channelPopup->IsChecked(0));
    EXPECT_EQ(m_devices[0]->GetVisibleList().size(), 8u);
    EXPECT_TRUE(m_devices[0]->IsRunning());
    wxTimerEvent tick(m_frame->m_displayTimer);
    m_frame->ProcessWindowEvent(tick);
    ASSERT_FALSE(m_frame->m_capturing);
    const wxString file = CaptureFile("endeddev1_0001.qvd");
    {
        CAnalogReader reader;
        ASSERT_TRUE(reader.Open(file));
        EXPECT_EQ(reader.GetChannelCount(), 8);
        EXPECT_GE(reader.GetFrameCount(), 50);
        EXPECT_LE(reader.GetFrameCount(), 105);
        const std::vector<uint32_t>& codes = reader.GetMarkerCodes();
        EXPECT_NE(std::find(codes.begin(), codes.end(), 7u), codes.end()) << "the marker is kept";
    }
    EXPECT_EQ(PhaseBreaks(file, 500.0), 0) << "every frame follows the one before";
    // Once the stop is carried out the device takes changes again.
    CLogCapture log;
    Command(ID_DEVICE_RESET);
    EXPECT_EQ(log.Warnings(), 0);
}

TEST_F(CaptureFrameTest, DeviceRowsAreEditableAgainAfterEveryWayOutOfACapture)
{
    ShowFirstDevice();
    m_frame->UpdateViewGrid();
    wxPropertyGrid& grid = *m_frame->m_viewGrid;
    const auto isLocked = [&grid] {
        wxPGProperty* row = grid.GetPropertyByName("dev1Amplitude");
        return row == nullptr || row->HasFlag(wxPG_PROP_READONLY);
    };
    ASSERT_FALSE(isLocked());
    const auto editDuringTheRun = [&] {
        // Refused with a warning box; the grid is to show the kept value again.
        CLogCapture log;
        grid.ChangePropertyValue("dev1Amplitude", wxVariant(2.0));
        EXPECT_EQ(log.Warnings(), 1);
        EXPECT_TRUE(m_frame->m_rebuildViewGrid);
    };

    // The run ends at its limit while the refusal's box is up; then one display
    // tick rebuilds the grid (the run still pending: locked) and carries out the
    // stop. F10, pressed again, finds no capture.
    m_frame->m_captureMaxTime = 0.2;
    ASSERT_TRUE(m_frame->OpenCaptureSet("sticky"));
    Command(ID_CAPTURE_START);
    ASSERT_TRUE(m_frame->m_capturing);
    editDuringTheRun();
    ASSERT_TRUE(WaitRunsEnded());
    wxTimerEvent tick(m_frame->m_displayTimer);
    m_frame->ProcessWindowEvent(tick);
    ASSERT_FALSE(m_frame->m_capturing);
    for (int press = 0; press < 3; ++press) Command(ID_CAPTURE_STOP);
    RunEvents();
    EXPECT_FALSE(isLocked()) << "after a stop at the time limit";

    // The same after a stop by hand, and after closing the set during a run.
    m_frame->m_captureMaxTime = 0.0;
    Command(ID_CAPTURE_START);
    ASSERT_TRUE(m_frame->m_capturing);
    editDuringTheRun();
    RunEvents();
    ASSERT_TRUE(isLocked());
    Command(ID_CAPTURE_STOP);
    RunEvents();
    EXPECT_FALSE(isLocked()) << "after a stop by hand";
    Command(ID_CAPTURE_START);
    ASSERT_TRUE(m_frame->m_capturing);
    editDuringTheRun();
    RunEvents();
    ASSERT_TRUE(isLocked());
    m_frame->CloseCaptureFiles();
    RunEvents();
    EXPECT_FALSE(isLocked()) << "after the set was closed";
}

TEST_F(CaptureFrameTest, TrialsOfADeviceWithoutAViewStartAtItsFrameZeroWithTheirOwnMarkers)
{
    CFastTestDevice bare("bare");
    ASSERT_TRUE(bare.Create(true) && bare.RunThread());
    m_frame->SetCaptureDeviceSource([&bare] { return std::vector<CAnalogDevice*>{&bare}; });
    m_frame->m_captureMaxTime = 0.3;
    ASSERT_TRUE(m_frame->OpenCaptureSet("solo"));
    for (int trial = 1; trial <= 3; ++trial) {
        // Between trials the device runs on and an event of its comes in.
        ASSERT_TRUE(RunUntil([&bare] { return bare.GetSampleTime() >= 0.5; }));
        bare.AddMarker(9, 100000, "between trials", false);
        Command(ID_CAPTURE_START);
        ASSERT_TRUE(m_frame->m_capturing) << trial;
        ASSERT_TRUE(RunUntil([this] { return !m_frame->m_capturing; })) << trial;
    }
    m_frame->CloseCaptureFiles();
    m_frame->SetCaptureDeviceSource([] { return std::vector<CAnalogDevice*>(); });
    bare.Close();
    for (int trial = 1; trial <= 3; ++trial) {
        CAnalogReader reader;
        ASSERT_TRUE(
            reader.Open(CaptureFile(wxString::Format("solobare_%04d.qvd", trial).ToStdString())));
        const int64_t frames = reader.GetFrameCount();
        // 0.3 s at 500 Hz, counted from the trial's start.
        EXPECT_GE(frames, 120) << trial;
        std::vector<double> first(static_cast<size_t>(reader.GetChannelCount()));
        ASSERT_TRUE(reader.GetFrame(first.data(), reader.GetChannelCount(), 0));
        // The first frame is one of the device's first after the restart (0.2 s of slack
        // for a loaded machine).
        EXPECT_LT(AnalogPhase(first.data()), 0.2 * kTwoPi) << trial;
        ASSERT_FALSE(reader.GetMarkerFrames().empty()) << trial;
        EXPECT_EQ(reader.GetMarkerFrames().front(), 0u) << trial;
        EXPECT_EQ(reader.GetMarkerLabels().front(), "E 1") << trial;
        for (uint32_t frame : reader.GetMarkerFrames()) EXPECT_LT(frame, frames) << trial;
        for (const wxString& label : reader.GetMarkerLabels())
            EXPECT_NE(label, "between trials") << trial;
    }
}

TEST_F(CaptureFrameTest, EveryTrialOfEveryDeviceStartsAtItsFrameZeroWithItsFirstMarker)
{
    // Many short trials of three devices at a high rate, two of them with views that
    // take their time to restart: whatever the device produces while the capture
    // starts, each file begins with the device's frame 0 and that frame's marker.
    constexpr double kRate = 2000.0;
    CFastTestDevice bare("bare", kRate);
    ASSERT_TRUE(bare.Create(true) && bare.RunThread());
    // A player of a recording whose frame f holds f, with a marker at its frame 0.
    constexpr int kSourceFrames = 4000;
    Bytes source;
    source.Header(99887755, kRate, 1, 1, kSourceFrames, 0);
    for (int f = 0; f < kSourceFrames; ++f) source.F64(f);
    source.U64(1).Marker(3, 0, "go");
    const std::string sourcePath = Path("source.qvd").string();
    source.Save(sourcePath);
    CAnalogFileDevice player(false, "", sourcePath);
    ASSERT_TRUE(player.IsReady());
    ASSERT_TRUE(player.Create(true) && player.RunThread());
    for (auto& device : m_devices) {
        device->SetRateHz(kRate);
        device.view.rebuildTime = std::chrono::microseconds(int(2e6 / kRate));
    }
    const std::vector<CAnalogDevice*> devices{m_devices[0].get(), &bare, &player,
                                              m_devices[1].get()};
    m_frame->SetCaptureDeviceSource([&devices] { return devices; });
    m_frame->m_exportAnalog = false;
    constexpr int kTrials = 24;
    ASSERT_TRUE(m_frame->OpenCaptureSet("many"));
    for (int trial = 1; trial <= kTrials; ++trial) {
        m_frame->m_captureUseThread = trial % 2 == 1;  // both writers
        Command(ID_CAPTURE_START);
        ASSERT_TRUE(m_frame->m_capturing) << trial;
        for (CAnalogDevice* device : devices)
            ASSERT_TRUE(RunUntil([device] { return device->GetSampleCounter() >= 20; })) << trial;
        Command(ID_CAPTURE_STOP);
    }
    m_frame->CloseCaptureFiles();
    m_frame->SetCaptureDeviceSource([] { return std::vector<CAnalogDevice*>(); });
    bare.Close();
    player.Close();
    int late = 0;
    for (int trial = 1; trial <= kTrials; ++trial) {
        for (const char* name : {"dev1", "bare", "dev2"}) {
            const wxString file =
                CaptureFile(wxString::Format("many%s_%04d.qvd", name, trial).ToStdString());
            SCOPED_TRACE(file.ToStdString());
            CAnalogReader reader;
            ASSERT_TRUE(reader.Open(file));
            ASSERT_GE(reader.GetFrameCount(), 20);
            std::vector<double> first(static_cast<size_t>(reader.GetChannelCount()));
            ASSERT_TRUE(reader.GetFrame(first.data(), reader.GetChannelCount(), 0));
            // Frame 0 has phase 0; frame 1 is a 2000th of a turn on.
            const double phase = AnalogPhase(first.data());
            const bool isFrameZero = std::min(phase, kTwoPi - phase) < 0.5 * kTwoPi / kRate;
            EXPECT_TRUE(isFrameZero) << "first frame at " << phase * kRate / kTwoPi;
            late += isFrameZero ? 0 : 1;
            EXPECT_EQ(PhaseBreaks(file, kRate), 0) << "every frame follows the one before";
            ASSERT_FALSE(reader.GetMarkerFrames().empty());
            EXPECT_EQ(reader.GetMarkerFrames().front(), 0u);
            EXPECT_EQ(reader.GetMarkerLabels().front(), "E 1");
        }
        const wxString file = CaptureFile(wxString::Format("manysource_%04d.qvd", trial).ToStdString());
        SCOPED_TRACE(file.ToStdString());
        CAnalogReader reader;
        ASSERT_TRUE(reader.Open(file));
        ASSERT_GE(reader.GetFrameCount(), 20);
        for (int64_t k = 0; k < std::min<int64_t>(reader.GetFrameCount(), kSourceFrames); ++k) {
            double value = -1.0;
            ASSERT_TRUE(reader.GetFrame(&value, 1, k));
            if (value != double(k)) {
                ADD_FAILURE() << "frame " << k << " holds source frame " << value;
                late += k == 0 ? 1 : 0;
                break;
            }
        }
        ASSERT_FALSE(reader.GetMarkerFrames().empty());
        EXPECT_EQ(reader.GetMarkerFrames().front(), 0u);
        EXPECT_EQ(reader.GetMarkerLabels().front(), "go");
    }
    EXPECT_EQ(late, 0) << "of " << 4 * kTrials << " recordings";
}

TEST_F(CaptureFrameTest, WriteFailureDuringACaptureIsSaidOnceAndListedAsOnDisk)
{
    // Every file of this process refuses to grow past 20 KB, as a full disk
    // would: about 0.6 s of the test devices' frames. Set once the files are
    // open, the writers learn of it from a failed write; set before, as
    // ulimit -f sets it, they keep the trailer's room below it.
    m_frame->m_exportAnalog = false;
    for (int run = 0; run < 4; ++run) {
        const bool isLimitKnown = run >= 2;
        const bool useThread = run % 2 == 0;
        SCOPED_TRACE(testing::Message() << (useThread ? "threaded" : "plain")
                                        << (isLimitKnown ? ", limit known" : ""));
        m_frame->m_captureUseThread = useThread;
        const wxString name =
            wxString(useThread ? "full" : "plainfull") + (isLimitKnown ? "known" : "");
        std::unique_ptr<CFileSizeLimit> startLimit;
        if (isLimitKnown) startLimit = std::make_unique<CFileSizeLimit>(20 * 1024);
        ASSERT_TRUE(m_frame->OpenCaptureSet(name));
        wxString errors;  // the recording's errors, as logged (a box in the application)
        {
            CFileSizeLimit limit(20 * 1024);
            ASSERT_TRUE(limit.IsSet());
            CLogCapture log;
            Command(ID_CAPTURE_START);
            ASSERT_TRUE(m_frame->m_capturing);
            // The failed writes end the runs and raise the stop: no stop by hand.
            ASSERT_TRUE(RunUntil([this] { return !m_frame->m_capturing; }));
            for (const std::string& message : log.Messages()) errors += message + "\n";
        }
        const wxString messages = m_frame->m_messagesText->GetValue();
        int cutRecordings = 0;
        for (const char* device : {"dev1", "dev2"}) {
            const wxString file = CaptureFile((name + device + "_0001.qvd").ToStdString());
            SCOPED_TRACE(file.ToStdString());
            CAnalogReader reader;
            ASSERT_TRUE(reader.Open(file)) << "the recording reads back";
            const int64_t frames = reader.GetFrameCount();
            EXPECT_GT(frames, 100);
            EXPECT_LT(frames * 64, 20 * 1024);
            EXPECT_EQ(PhaseBreaks(file, 500.0), 0) << "every frame follows the one before";
            // The list shows the frames and the time on disk, not those queued.
            const long row =
                m_frame->m_fileList->FindItem(-1, wxFileName(file).GetFullName(), false);
            ASSERT_GE(row, 0);
            EXPECT_EQ(int64_t(m_frame->m_fileList->GetItemData(row)), frames);
            EXPECT_EQ(m_frame->m_fileList->GetItemText(row, 1),
                      FormatFramesCell(long(frames), double(frames - 1) / 500.0));
            // Said once, with the file, the reason and the time kept.
            const wxString kept = wxString::Format(" (%lld frames kept)", (long long)frames);
            const wxString said = "<REC> Error writing analog file : " + file + " : ";
            if (isLimitKnown) {
                EXPECT_LE(frames * 64, 20 * 1024 - 8 * 1024) << "the trailer's room stays free";
                // The first device at the limit stops the capture: the other,
                // a frame or two behind, may end whole just before it.
                if (Occurrences(errors, said) == 0) {
                    EXPECT_EQ(Occurrences(messages, "Saving data to : " + file + "\n"), 1)
                        << messages;
                    continue;
                }
                ++cutRecordings;
            }
            EXPECT_EQ(Occurrences(errors, said), 1) << errors;
            const wxString line = errors.Mid(errors.find(said)).BeforeFirst('\n');
            EXPECT_TRUE(
                line.EndsWith(kept + " : File too large") ||
                (!isLimitKnown && line.EndsWith(kept + ", without its markers : File too large")))
                << line;
            EXPECT_EQ(Occurrences(messages, "Saving data to : " + file + " : "), 1) << messages;
            EXPECT_EQ(Occurrences(messages, "Saving data to : " + file + "\n"), 0) << messages;
            EXPECT_NE(messages.find(FormatTime(double(frames) / 500.0) + kept), wxString::npos)
                << messages;
        }
        if (isLimitKnown) {
            EXPECT_GE(cutRecordings, 1);
        }
        m_frame->CloseCaptureFiles();
    }
}

TEST_F(CaptureFrameTest, RecordingRemovedDuringATrialIsSaidAndNotListedAsSaved)
{
    m_frame->m_exportAnalog = false;
    for (bool useThread : {true, false}) {
        SCOPED_TRACE(useThread ? "threaded" : "plain");
        m_frame->m_captureUseThread = useThread;
        const wxString name = useThread ? "gone" : "plaingone";
        std::filesystem::create_directories(Path("capture"));
        ASSERT_TRUE(m_frame->OpenCaptureSet(name));
        Command(ID_CAPTURE_START);
        ASSERT_TRUE(m_frame->m_capturing);
        RecordFrames(100);
        // The capture folder goes while the trial runs.
        std::filesystem::remove_all(Path("capture"));
        RecordFrames(100);
        wxString errors;
        {
            CLogCapture log;
            Command(ID_CAPTURE_STOP);
            for (const std::string& message : log.Messages()) errors += message + "\n";
        }
        const wxString messages = m_frame->m_messagesText->GetValue();
        for (const char* device : {"dev1", "dev2"}) {
            const wxString file = CaptureFile((name + device + "_0001.qvd").ToStdString());
            SCOPED_TRACE(file.ToStdString());
            EXPECT_FALSE(wxFileName::FileExists(file));
            EXPECT_EQ(Occurrences(messages, "Saving data to : " + file), 0) << messages;
            EXPECT_EQ(Occurrences(errors, "<REC> Error writing analog file : " + file +
                                              " : the recording was removed while it ran\n"),
                      1)
                << errors;
            EXPECT_EQ(m_frame->m_fileList->FindItem(-1, wxFileName(file).GetFullName(), false),
                      -1);
        }
        m_frame->CloseCaptureFiles();
    }
}

TEST_F(CaptureFrameTest, TrialWhoseFilesCannotBeCreatedLeavesNoFileAndKeepsItsNumber)
{
    m_frame->m_exportAnalog = true;
    ASSERT_TRUE(m_frame->OpenCaptureSet("next"));
    ASSERT_EQ(m_frame->m_trialIndex, 1);
    Command(ID_CAPTURE_START);
    RecordFrames(300);  // more than the writers keep before they write
    {
        // No file may grow past 20 bytes: trial 1 ends early and trial 2 cannot be created.
        CFileSizeLimit limit(20);
        ASSERT_TRUE(limit.IsSet());
        Command(ID_CAPTURE_STOP);
    }
    EXPECT_FALSE(m_frame->m_capturing);
    EXPECT_EQ(m_frame->m_trialIndex, 1);
    EXPECT_TRUE(m_frame->GetTitle().EndsWith("- next [1]")) << m_frame->GetTitle();
    for (const char* file : {"capture/nextdev1_0002.qvd", "capture/nextdev2_0002.qvd",
                             "export/nextdev1_0002.txt", "export/nextdev2_0002.txt"})
        EXPECT_FALSE(Exists(file)) << file;
    EXPECT_NE(m_frame->m_errorsText->GetValue().Find("Error creating capture file for dev2"),
              wxNOT_FOUND);
    // Trial 1 keeps the whole frames it had written.
    EXPECT_GE(FramesInFile(CaptureFile("nextdev1_0001.qvd")), 100);
    EXPECT_NE(
        m_frame->m_messagesText->GetValue().Find(
            "Saving data to : " + CaptureFile("nextdev1_0001.qvd") + " : the file ends early at "),
        wxNOT_FOUND);

    // By hand: a trial that cannot be created keeps its number free as well.
    m_frame->m_captureAutoFile = false;
    {
        CFileSizeLimit limit(20);
        ASSERT_TRUE(limit.IsSet());
        Command(ID_CAPTURE_NEXT);
    }
    EXPECT_EQ(m_frame->m_trialIndex, 1);
    EXPECT_FALSE(Exists("capture/nextdev1_0002.qvd"));
    Command(ID_CAPTURE_NEXT);
    EXPECT_EQ(m_frame->m_trialIndex, 2);
    EXPECT_TRUE(Exists("capture/nextdev1_0002.qvd"));
}

TEST_F(CaptureFrameTest, AfterAFullDiskTheSetRecordsAgainOnceThereIsRoom)
{
    m_frame->m_exportAnalog = true;
    ASSERT_TRUE(m_frame->OpenCaptureSet("again"));
    Command(ID_CAPTURE_START);
    RecordFrames(300);
    {
        // The disk fills up: trial 1 ends early and trial 2 cannot be created.
        CFileSizeLimit limit(20);
        ASSERT_TRUE(limit.IsSet());
        Command(ID_CAPTURE_STOP);
        EXPECT_TRUE(m_devices[0]->GetWriterFileName().empty());
        // Still full: F9 says why, for each device, and nothing starts.
        m_frame->m_errorsText->Clear();
        const auto restartsBefore = m_devices[0].view.notes.size();
        Command(ID_CAPTURE_START);
        EXPECT_FALSE(m_frame->m_capturing);
        const wxString errors = m_frame->m_errorsText->GetValue();
        for (const char* device : {"dev1", "dev2"})
            EXPECT_NE(errors.Find(wxString("Error creating capture file for ") + device + " : " +
                                  CaptureFile(std::string("again") + device + "_0002.qvd") +
                                  " : File too large"),
                      wxNOT_FOUND)
                << errors;
        EXPECT_EQ(errors.Find("Unable to start analog writing"), wxNOT_FOUND) << errors;
        EXPECT_EQ(m_devices[0].view.notes.size(), restartsBefore) << "no view was reset";
        EXPECT_FALSE(Exists("capture/againdev1_0002.qvd"));
    }
    EXPECT_EQ(m_frame->m_trialIndex, 1);
    // Room again: F9 opens trial 2 and records it.
    Command(ID_CAPTURE_START);
    ASSERT_TRUE(m_frame->m_capturing);
    EXPECT_EQ(m_frame->m_trialIndex, 2);
    EXPECT_TRUE(m_frame->GetTitle().EndsWith("- again [2]")) << m_frame->GetTitle();
    RecordFrames(50);
    Command(ID_CAPTURE_STOP);
    for (const char* file : {"againdev1_0002.qvd", "againdev2_0002.qvd"}) {
        EXPECT_GE(FramesInFile(CaptureFile(file)), 50) << file;
        EXPECT_EQ(PhaseBreaks(CaptureFile(file), 500.0), 0) << file;
    }
    EXPECT_TRUE(Exists("export/againdev1_0002.txt"));
    EXPECT_EQ(m_frame->m_trialIndex, 3);
    EXPECT_TRUE(Exists("capture/againdev1_0003.qvd"));
}

TEST_F(CaptureFrameTest, MissingCaptureFolderIsCreatedWhenTheUserAgrees)
{
    int questions = 0;
    bool answer = false;
    ShellPrompts().confirm = [&](wxWindow*, const wxString& text) {
        ++questions;
        EXPECT_NE(text.Find("does not exist"), wxNOT_FOUND);
        return answer;
    };
    m_frame->m_capturePath = Folder("new/trials");
    EXPECT_FALSE(m_frame->OpenCaptureSet("subj"));
    EXPECT_EQ(questions, 1);
    EXPECT_FALSE(Exists("new"));
    EXPECT_TRUE(m_frame->m_captureName.empty());
    answer = true;
    EXPECT_TRUE(m_frame->OpenCaptureSet("subj"));
    EXPECT_EQ(questions, 2);
    EXPECT_TRUE(Exists("new/trials/subjdev1_0001.qvd"));
}

TEST_F(CaptureFrameTest, FolderOrFileTheSystemRefusesIsReportedWithItsReason)
{
    // Where the folder should be stands a file: no user, root included, can write there.
    std::ofstream(Path("plain")) << "x";
    ShellPrompts().confirm = [](wxWindow*, const wxString&) { return true; };
    m_frame->m_capturePath = Folder("plain") + "/trials";
    EXPECT_FALSE(m_frame->OpenCaptureSet("subj"));
    EXPECT_NE(m_frame->m_errorsText->GetValue().Find("Not a directory"), wxNOT_FOUND)
        << m_frame->m_errorsText->GetValue();

    // A device whose file name the system refuses: its reason follows the message.
    m_frame->m_capturePath = Folder("capture");
    const wxString name(wxUniChar('n'), 300);
    bool changed = false;
    ASSERT_TRUE(m_devices[1]->SetParam(&name, 0, 1, PARAM_STRING, &changed));
    ASSERT_TRUE(m_frame->OpenCaptureSet("why"));
    EXPECT_NE(m_frame->m_errorsText->GetValue().Find("Error creating capture file for " + name +
                                                     " : " + Folder("capture")),
              wxNOT_FOUND);
    EXPECT_NE(m_frame->m_errorsText->GetValue().Find("File name too long"), wxNOT_FOUND);
}

TEST_F(CaptureFrameTest, OscTriggerThatCannotListenSaysSoInsideTheWait)
{
    UdpEndpoint busy;  // the trigger's port is taken
    ASSERT_TRUE(busy.BindTo(0));
    OscTriggerSettings trigger = GetOscTriggerSettings();
    trigger.use = true;
    trigger.inPort = busy.LocalAddress().Port();
    SetOscTriggerSettings(trigger);
    wxString shown;
    m_frame->SetTriggerReaders(nullptr, [&](double& value) {
        wxGenericProgressDialog* dialog = FindWaitDialog();
        if (!dialog) return false;
        shown = dialog->GetMessage();
        value = trigger.highValue;
        return true;
    });
    ASSERT_TRUE(m_frame->OpenCaptureSet("deaf"));
    Command(ID_CAPTURE_START);
    EXPECT_TRUE(shown.StartsWith(wxString::Format(
        "Unable to connect OSC server! It cannot listen on UDP port %d (bind failed: port %d is "
        "in use)",
        trigger.inPort, trigger.inPort)))
        << shown;
    EXPECT_TRUE(m_frame->m_capturing);
    Command(ID_CAPTURE_STOP);
}

// Keys typed through the display server: the suite runs alone, as the keyboard
// focus belongs to the whole display.
class CaptureFrameKeys : public CaptureFrameTest {};

TEST_F(CaptureFrameKeys, F9AndF10WithTheFocusInTheSettingsGridStartAndStopACapture)
{
    ShowFirstDevice();
    ASSERT_TRUE(m_frame->OpenCaptureSet("keys"));
    ASSERT_TRUE(keytest::ShowForKeys(m_frame));
    // The user clicked into the settings grid.
    ASSERT_TRUE(keytest::FocusForKeys(m_frame->m_settingsGrid));
    keytest::PressKey(WXK_F9);
    ASSERT_TRUE(keytest::PumpUntil([this] { return m_frame->m_capturing; }));
    RecordFrames(10);
    ASSERT_TRUE(keytest::FocusForKeys(m_frame->m_settingsGrid));
    keytest::PressKey(WXK_F10);
    ASSERT_TRUE(keytest::PumpUntil([this] { return !m_frame->m_capturing; }));
    EXPECT_GE(FramesInFile(CaptureFile("keysdev1_0001.qvd")), 10);
    EXPECT_EQ(m_frame->m_trialIndex, 2);
}

TEST_F(CaptureFrameKeys, AfterACaptureEndedAtItsLimitTypingReachesTheDeviceGridAndSpaceStaysThere)
{
    ShowFirstDevice();
    m_frame->UpdateViewGrid();
    m_frame->m_captureMaxTime = 0.2;
    ASSERT_TRUE(m_frame->OpenCaptureSet("typed"));
    Command(ID_CAPTURE_START);
    ASSERT_TRUE(m_frame->m_capturing);
    {
        CLogCapture log;  // refused: the run is on
        m_frame->m_viewGrid->ChangePropertyValue("dev1Amplitude", wxVariant(2.0));
    }
    ASSERT_TRUE(WaitRunsEnded());
    ASSERT_TRUE(keytest::ShowForKeys(m_frame));
    ASSERT_TRUE(keytest::PumpUntil([this] {
        return !m_frame->m_capturing && !m_frame->m_rebuildViewGrid &&
               !m_frame->m_rebuildSettingsGrid;
    }));
    Command(ID_CAPTURE_STOP);  // pressed again: no capture to stop
    ASSERT_TRUE(keytest::PumpUntil([this] { return !m_frame->m_rebuildViewGrid; }));
    // The start brought the file list to the front; the user goes back to the grid.
    m_frame->m_captureBook->SetSelection(
        static_cast<size_t>(m_frame->m_captureBook->GetPageIndex(m_frame->m_viewGrid)));
    wxPGProperty* name = m_frame->m_viewGrid->GetPropertyByName("dev1Device Name");
    ASSERT_NE(name, nullptr);
    ASSERT_TRUE(m_frame->m_viewGrid->SelectProperty(name, true));
    wxWeakRef<wxTextCtrl> editor(
        dynamic_cast<wxTextCtrl*>(m_frame->m_viewGrid->GetEditorControl()));
    ASSERT_TRUE(editor && editor->IsEditable()) << "the device row is locked";
    ASSERT_TRUE(keytest::FocusForKeys(editor));
    editor->SelectAll();
    wxUIActionSimulator keys;
    keys.Text("Left foot");
    keytest::PressKey(WXK_RETURN);
    ASSERT_TRUE(
        keytest::PumpUntil([this] { return m_devices[0]->GetDeviceName() == "Left foot"; }));
    EXPECT_TRUE(m_devices[0]->IsRunning()) << "the Space went to the device";
}

}  // namespace
