// A whole capture through the application's own road: devices opened by their
// commands, a capture set, a run started and stopped by command, and the files
// read back.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/dir.h>
#include <wx/fileconf.h>
#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/listctrl.h>
#include <wx/propgrid/propgrid.h>
#include <wx/textctrl.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "DravonetMain.h"
#include "captureFiles.h"
#include "analog/analogFileDevice.h"
#include "analog/analogReader.h"
#include "analog/formatTime.h"
#include "frameDeviceTestSupport.h"
#include "stopSignals.h"
#include "support/logCapture.h"
#include "video/VideoDevice.h"
#include "video/videoFakes.h"
#include "video/videoFinisher.h"

namespace {

template <typename Condition>
bool RunUntil(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        wxTheApp->ProcessPendingEvents();
        wxTheApp->ProcessIdle();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

TEST_F(FrameDeviceTest, CaptureOfAnAnalogDeviceAndACameraOpenedByTheirCommands)
{
    auto camera = std::make_shared<SyntheticCamera>();
    camera->width = 64;
    camera->height = 48;
    CCameraFactoryScope cameras(SyntheticCameras(camera, 1));
    TrackerFrame* frame = MakeEightCoreFrame();
    frame->m_cameraWidth = 64;
    frame->m_cameraHeight = 48;
    frame->m_cameraRate = 30;
    g_camera_count = TrackerFrame::CountCameras();
    ShellPrompts().singleChoice = [](wxWindow*, const wxString&, const wxString&, const wxArrayString&) {
        return 0;
    };
    {
        // A device opened by its command is never taken for one without data.
        CLogCapture log;
        wxCommandEvent analog(wxEVT_MENU, ID_OPEN_TEST);
        frame->ProcessWindowEvent(analog);
        for (const std::string& message : log.Messages())
            EXPECT_EQ(message.find("No analog data"), std::string::npos);
    }
    ChooseMenu(frame, ID_OPEN_CAMERA);
    ASSERT_EQ(frame->GetDeviceCount(), 2);
    auto* video = dynamic_cast<CVideoDevice*>(frame->GetDeviceList()[1]);
    ASSERT_NE(video, nullptr);
    // The camera writes files once it knows its frame rate.
    ASSERT_TRUE(RunUntil([&] { return video->IsFrameRateKnown(); }));

    ASSERT_TRUE(frame->OpenCaptureSet("e2e"));
    ChooseMenu(frame, ID_CAPTURE_START);
    ASSERT_TRUE(frame->m_capturing);
    CAnalogDevice* device = frame->GetDeviceList()[0];
    ASSERT_TRUE(RunUntil([&] { return device->GetRecordTime() > 0.5 && video->GetRecordedFrames() > 5; }));
    ChooseMenu(frame, ID_CAPTURE_STOP);
    EXPECT_FALSE(frame->m_capturing);
    // A camera late at the stop has the end of its video written in the background.
    CVideoFinisher::Instance().Wait();

    wxArrayString recordings;
    wxDir::GetAllFiles(frame->m_capturePath, &recordings, "e2e*_0001.*");
    ASSERT_EQ(recordings.size(), 2u) << "a recording and a video";
    for (const wxString& path : recordings) {
        if (path.EndsWith(".qvd")) {
            CAnalogReader reader;
            ASSERT_TRUE(reader.Open(path));
            // Half a second at the device's rate, at least.
            EXPECT_GE(reader.GetFrameCount(), static_cast<int64_t>(0.5 * device->GetRate()));
        } else {
            EXPECT_TRUE(path.EndsWith(".mov"));
            EXPECT_GT(wxFileName::GetSize(path), 0u);
            // The list gives the video's own frames and duration, not a channel
            // recorder's that a camera has no use for.
            const long row = frame->m_fileList->FindItem(-1, wxFileName(path).GetFullName());
            ASSERT_NE(row, -1);
            const VideoFacts facts = ReadTestVideo(path.ToStdString());
            ASSERT_GT(facts.frames, 5);
            EXPECT_EQ(static_cast<int>(frame->m_fileList->GetItemData(row)), facts.frames);
            const wxString expected = wxString::Format(
                "%d (%s", facts.frames, FormatTime(static_cast<double>(facts.frames) / facts.fps));
            EXPECT_EQ(frame->m_fileList->GetItemText(row, 1), expected);
            EXPECT_FALSE(frame->m_fileList->GetItemText(row, 1).Contains("(0.000 s"));
        }
    }
    g_camera_count = 0;
}

TEST_F(FrameDeviceTest, TrialsOfATrackerShownOnlyIn3DStartAtItsFrameZeroWithTheirOwnMarkers)
{
    TrackerFrame* frame = MakeEightCoreFrame();
    ChooseMenu(frame, ID_OPEN_TEST_3D);
    ASSERT_EQ(frame->GetDeviceCount(), 1);
    ASSERT_NE(frame->GetCurrent3DView(), nullptr);
    ASSERT_EQ(frame->GetViewCount(), 1);
    CAnalogDevice* device = frame->GetDeviceList()[0];
    frame->m_captureMaxTime = 0.3;
    ASSERT_TRUE(frame->OpenCaptureSet("three"));
    for (int trial = 1; trial <= 3; ++trial) {
        // Between trials the device runs on and an event of its comes in.
        ASSERT_TRUE(RunUntil([device] { return device->GetSampleTime() >= 0.5; }));
        device->AddMarker(9, 100000, "between trials", false);
        wxCommandEvent start(wxEVT_MENU, ID_CAPTURE_START);
        frame->ProcessWindowEvent(start);
        ASSERT_TRUE(frame->m_capturing) << trial;
        if (trial == 2) {
            // A new trail length would rebuild the view and reset the recording device.
            CLogCapture log;
            ASSERT_NE(frame->m_viewGrid->GetPropertyByName("Display_time"), nullptr);
            frame->m_viewGrid->ChangePropertyValue("Display_time", 3.0);
            EXPECT_EQ(log.Warnings(), 1);
        }
        ASSERT_TRUE(RunUntil([frame] { return !frame->m_capturing; })) << trial;
    }
    const double rate = device->GetRate();
    const wxString name = device->GetFileSafeName();
    frame->CloseCaptureFiles();
    for (int trial = 1; trial <= 3; ++trial) {
        CAnalogReader reader;
        ASSERT_TRUE(reader.Open(
            wxString::Format("%s/three%s_%04d.qvd", frame->m_capturePath, name, trial)));
        const int64_t frames = reader.GetFrameCount();
        EXPECT_GE(frames, static_cast<int64_t>(0.24 * rate)) << trial;
        // The first sensor turns once a second from (25, 0) at the device's frame 0.
        std::vector<double> values(static_cast<size_t>(reader.GetChannelCount() * reader.GetDim()));
        std::vector<double> phases;
        for (int64_t k = 0; k < frames; ++k) {
            ASSERT_TRUE(reader.GetFrame(values.data(), static_cast<int64_t>(values.size()), k));
            const double phase = std::atan2(-values[1] / 25.0, values[0] / 25.0);
            phases.push_back(phase < 0.0 ? phase + 2.0 * M_PI : phase);
        }
        EXPECT_LT(phases.front(), 0.3 * 2.0 * M_PI) << trial;
        int breaks = 0;
        for (size_t k = 1; k < phases.size(); ++k) {
            const double step = std::remainder(phases[k] - phases[k - 1] - 2.0 * M_PI / rate,
                                               2.0 * M_PI);
            if (std::fabs(step) > 1e-6) ++breaks;
        }
        EXPECT_EQ(breaks, 0) << trial << ": every frame follows the one before";
        ASSERT_FALSE(reader.GetMarkerFrames().empty()) << trial;
        EXPECT_EQ(reader.GetMarkerFrames().front(), 0u) << trial;
        for (uint32_t marker : reader.GetMarkerFrames()) EXPECT_LT(marker, frames) << trial;
        for (const wxString& label : reader.GetMarkerLabels())
            EXPECT_NE(label, "between trials") << trial;
    }
}

namespace {

// Records one trial of the frame's devices; the capture set is closed after.
void RecordOneTrial(TrackerFrame* frame, const wxString& name)
{
    ASSERT_TRUE(frame->OpenCaptureSet(name));
    wxCommandEvent start(wxEVT_MENU, ID_CAPTURE_START);
    frame->ProcessWindowEvent(start);
    ASSERT_TRUE(frame->m_capturing);
    CAnalogDevice* device = frame->GetDeviceList()[0];
    ASSERT_TRUE(RunUntil([device] { return device->GetRecordTime() > 0.3; }));
    wxCommandEvent stop(wxEVT_MENU, ID_CAPTURE_STOP);
    frame->ProcessWindowEvent(stop);
    frame->CloseCaptureFiles();
}

}  // namespace

TEST_F(FrameDeviceTest, DevicesOpenedWhileASetIsOpenRecordItsCurrentTrial)
{
    TrackerFrame* frame = MakeEightCoreFrame();
    ChooseMenu(frame, ID_OPEN_TEST);
    ASSERT_EQ(frame->GetDeviceCount(), 1);
    // Two recordings to replay, as two file players.
    RecordOneTrial(frame, "src");
    const wxString recorded = frame->GetDeviceList()[0]->GetFileSafeName();
    const wxString source = wxString::Format("%s/src%s_0001.qvd", frame->m_capturePath, recorded);
    const wxString first = wxString(Path("first.qvd").string());
    const wxString second = wxString(Path("second.qvd").string());
    ASSERT_TRUE(wxCopyFile(source, first) && wxCopyFile(source, second));
    ASSERT_TRUE(
        frame->AddDeviceView(new CAnalogFileDevice(true, Dir().string(), first), true, true));

    // The set is at trial 8 when the 3D test device and the second player open.
    std::ofstream(
        wxString::Format("%s/walk%s_0007.qvd", frame->m_capturePath, recorded).ToStdString())
        << "an earlier trial";
    ASSERT_TRUE(frame->OpenCaptureSet("walk"));
    ASSERT_EQ(frame->m_trialIndex, 8);
    ChooseMenu(frame, ID_OPEN_TEST_3D);
    ASSERT_TRUE(
        frame->AddDeviceView(new CAnalogFileDevice(true, Dir().string(), second), true, true));
    const std::vector<CAnalogDevice*> devices = frame->GetDeviceList();
    ASSERT_EQ(devices.size(), 4u);
    for (CAnalogDevice* device : devices)
        EXPECT_TRUE(device->GetWriterFileName().EndsWith("_0008.qvd")) << device->GetDeviceName();

    CDefaultNoAnswers asked;
    ChooseMenu(frame, ID_CAPTURE_START);
    ASSERT_TRUE(frame->m_capturing);
    EXPECT_TRUE(asked.questions.empty()) << "every device has its output";
    ASSERT_TRUE(RunUntil([&] {
        for (CAnalogDevice* device : devices)
            if (device->GetRecordedFrames() < 5) return false;
        return true;
    }));
    ChooseMenu(frame, ID_CAPTURE_STOP);
    for (CAnalogDevice* device : devices) {
        CAnalogReader reader;
        const wxString path =
            wxString::Format("%s/walk%s_0008.qvd", frame->m_capturePath, device->GetFileSafeName());
        ASSERT_TRUE(reader.Open(path)) << path << " " << reader.GetError();
        EXPECT_GE(reader.GetFrameCount(), 5) << path;
    }
    EXPECT_EQ(frame->m_errorsText->GetValue().Find("Unable to start analog writing"), wxNOT_FOUND)
        << frame->m_errorsText->GetValue();
}

TEST_F(FrameDeviceTest, DeviceOpenedWithoutItsOutputIsNamedBeforeTheStart)
{
    TrackerFrame* frame = MakeEightCoreFrame();
    ChooseMenu(frame, ID_OPEN_TEST);
    ChooseMenu(frame, ID_OPEN_TEST_3D);
    ASSERT_EQ(frame->GetDeviceCount(), 2);
    const wxString name = frame->GetDeviceList()[1]->GetFileSafeName();
    ShellPrompts().confirm = [](wxWindow*, const wxString&) { return true; };
    ASSERT_TRUE(frame->QuitDevice(frame->GetDeviceList()[1]));
    ASSERT_TRUE(frame->OpenCaptureSet("run"));
    ASSERT_EQ(frame->m_trialIndex, 1);
    // Another program's file appears where the 3D device's recording of trial 1
    // would go; the device opens then, without its output, and that is said.
    std::ofstream(wxString::Format("%s/run%s_0001.qvd", frame->m_capturePath, name).ToStdString())
        << "another program's file";
    ChooseMenu(frame, ID_OPEN_TEST_3D);
    ASSERT_EQ(frame->GetDeviceCount(), 2);
    CAnalogDevice* tracker = frame->GetDeviceList()[1];
    EXPECT_TRUE(tracker->GetWriterFileName().empty());
    EXPECT_NE(frame->m_errorsText->GetValue().Find("Error creating capture file for " +
                                                   tracker->GetDeviceName()),
              wxNOT_FOUND);

    CDefaultNoAnswers asked;
    ChooseMenu(frame, ID_CAPTURE_START);
    ASSERT_EQ(asked.questions.size(), 1u);
    EXPECT_NE(asked.questions[0].Find("\n" + tracker->GetDeviceName() + "\n"), wxNOT_FOUND)
        << asked.questions[0];
    EXPECT_FALSE(frame->m_capturing);  // No: nothing started
    EXPECT_FALSE(frame->GetDeviceList()[0]->IsRecording());
    asked.answer = true;
    ChooseMenu(frame, ID_CAPTURE_START);
    EXPECT_TRUE(frame->m_capturing);
    ChooseMenu(frame, ID_CAPTURE_STOP);
}

TEST_F(FrameDeviceTest, ClosingOneDeviceOfAnOpenSetRemovesEveryPendingFileOfItsTrial)
{
    TrackerFrame* frame = MakeEightCoreFrame();
    ChooseMenu(frame, ID_OPEN_TEST);
    ASSERT_EQ(frame->GetDeviceCount(), 1);
    RecordOneTrial(frame, "src");
    const wxString source = wxString::Format("%s/src%s_0001.qvd", frame->m_capturePath,
                                             frame->GetDeviceList()[0]->GetFileSafeName());
    const wxString copy = wxString(Path("played.qvd").string());
    ASSERT_TRUE(wxCopyFile(source, copy));
    ChooseMenu(frame, ID_OPEN_TEST_3D);
    frame->m_exportAnalog = true;
    frame->m_captureAutoFile = true;
    ShellPrompts().confirm = [](wxWindow*, const wxString&) { return true; };
    // The player closes first, then a test device: each closes the set, and
    // every output the set had prepared goes, the closed device's too.
    for (const char* closed : {"played", "test"}) {
        SCOPED_TRACE(closed);
        ASSERT_TRUE(
            frame->AddDeviceView(new CAnalogFileDevice(true, Dir().string(), copy), true, true));
        ASSERT_TRUE(frame->OpenCaptureSet("pending"));
        std::vector<wxString> files;
        CAnalogDevice* closing = nullptr;
        for (CAnalogDevice* device : frame->GetDeviceList()) {
            files.push_back(device->GetWriterFileName());
            files.push_back(device->GetExportFileName());
            if (device->GetFileSafeName().StartsWith(closed)) closing = device;
        }
        ASSERT_NE(closing, nullptr);
        ASSERT_EQ(ExistingFiles(files).size(), files.size());  // exports under their part names
        ASSERT_TRUE(frame->QuitDevice(closing));
        EXPECT_TRUE(frame->m_captureName.empty());
        EXPECT_EQ(ExistingFiles(files), std::vector<wxString>());
        // Left over from the player's round: the player that stays is closed too.
        for (CAnalogDevice* device : frame->GetDeviceList()) {
            if (!device->IsFileDevice()) continue;
            ASSERT_TRUE(frame->QuitDevice(device));
        }
    }
}

namespace {

// Stop signals go to the frames while it lives.
struct CStopSignalsRouted {
    CStopSignalsRouted()
    {
        std::string error;
        EXPECT_TRUE(TrackerFrame::RouteStopSignals(error)) << error;
    }
    ~CStopSignalsRouted() { CStopSignals::Remove(); }
};

// Closed by itself: deleted with the next idle pass, or already.
bool IsClosed(TrackerFrame* frame)
{
    return wxTheApp->IsScheduledForDestruction(frame) ||
           wxTopLevelWindows.IndexOf(frame) == wxNOT_FOUND;
}

}  // namespace

// SIGTERM mid-trial ended the program at once (no frame count, no markers, settings not
// saved), and a close during a trigger wait freed the wait's dialog with the frame. A
// stop signal now stops the trial as "Stop capture" does and closes as the close box
// does, asking nothing; a wait up is cancelled first, and the close follows it.
TEST_F(FrameDeviceTest, AStopSignalOrACloseEndsTheTrialOrTheWaitThenCloses)
{
    const CStopSignalsRouted routed;
    const struct {
        int signal;  // 0: the window's close, which still asks
        bool isInWait;
        const char* set;
    } rows[] = {{SIGTERM, false, "term"}, {SIGINT, false, "int"}, {SIGHUP, false, "hup"},
                {0, true, "close"},       {SIGTERM, true, "wait"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.set);
        int questions = 0;
        ShellPrompts().confirm = [&questions](wxWindow*, const wxString&) { return ++questions, true; };
        TrackerFrame* frame = MakeEightCoreFrame();
        frame->m_wiiTimeOut = 9;  // a setting changed since the last save
        ChooseMenu(frame, ID_OPEN_TEST);
        CAnalogDevice* device = frame->GetDeviceList()[0];
        const wxString path = frame->m_capturePath + "/" + row.set + device->GetFileSafeName() + "_0001.qvd";
        const wxString settings = frame->m_configDir + "/Quorvane.cfg";
        const double rate = device->GetRate();
        ASSERT_TRUE(frame->OpenCaptureSet(row.set));
        const auto stop = [&] { return row.signal ? std::raise(row.signal) == 0 : frame->Close(); };
        int reads = 0;
        bool isClosedInWait = false;
        bool isStartedByTimeOut = false;  // a broken build's wait ends
        const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        if (row.isInWait) {
            frame->m_triggerUse = true;
            frame->m_triggerPort = (Dir() / "no-such-port").string();
            frame->SetTriggerReaders([&](double& volts) {
                isStartedByTimeOut = std::chrono::steady_clock::now() > bound;
                volts = isStartedByTimeOut ? 100.0 : 0.0;
                isClosedInWait = isClosedInWait || IsClosed(frame);
                if (++reads == 3) stop();
                return true;
            }, nullptr);
        }
        ChooseMenu(frame, ID_CAPTURE_START);
        if (!row.isInWait) {
            ASSERT_TRUE(RunUntil([device] { return device->GetRecordTime() > 0.3; }));
            stop();
        }
        EXPECT_FALSE(isStartedByTimeOut);
        EXPECT_FALSE(isClosedInWait);
        ASSERT_TRUE(RunUntil([frame] { return IsClosed(frame); }));
        EXPECT_EQ(questions, row.signal ? 0 : 1);
        m_frame = nullptr;
        RunEvents();  // deletes the frame, which saves the settings
        wxFileConfig saved("Quorvane", "Morvelle", settings, wxEmptyString, wxCONFIG_USE_LOCAL_FILE);
        EXPECT_EQ(saved.ReadLong("/WII/time_out", 0), 9);
        if (row.isInWait) continue;
        CAnalogReader reader;
        ASSERT_TRUE(reader.Open(path)) << path << " " << reader.GetError();
        EXPECT_GE(reader.GetFrameCount(), static_cast<int64_t>(0.3 * rate));
        EXPECT_FALSE(reader.GetMarkerFrames().empty());
    }
}
