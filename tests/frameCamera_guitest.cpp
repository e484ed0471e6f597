#include "DravonetMain.h"

#include "frameDeviceTestSupport.h"
#include "process/deviceCloser.h"
#include "process/trackerWorker.h"
#include "support/logCapture.h"
#include "video/VideoDevice.h"
#include "video/VideoView.h"
#include "video/videoFakes.h"
#include "video/videoFinisher.h"
#include "captureFiles.h"
#include "support/refusingDisk.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/aui/auibook.h>
#include <wx/filefn.h>
#include <wx/listctrl.h>
#include <wx/textctrl.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

TEST_F(FrameDeviceTest, CameraOpensOnItsOwnPageAndClosingItFreesTheIndex)
{
    auto camera = std::make_shared<SyntheticCamera>();
    CCameraFactoryScope cameras(SyntheticCameras(camera, 1));
    TrackerFrame* frame = MakeFrame();
    g_camera_count = TrackerFrame::CountCameras();
    ASSERT_EQ(g_camera_count, 1);
    wxArrayString offered;
    ShellPrompts().singleChoice = [&](wxWindow*, const wxString&, const wxString&, const wxArrayString& choices) {
        offered = choices;
        return 0;
    };
    wxCommandEvent open(wxEVT_MENU, ID_OPEN_CAMERA);
    frame->ProcessWindowEvent(open);
    ASSERT_EQ(offered.size(), 1u);
    EXPECT_EQ(offered[0], "Camera #1");
    ASSERT_EQ(frame->GetDeviceCount(), 1);
    auto* view = dynamic_cast<CVideoView*>(frame->m_mainBook->GetPage(0));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(frame->GetDeviceList()[0]->GetDeviceType(), 9);
    EXPECT_FALSE(CVideoDevice::IsCameraAvailable(0));  // in use
    // A camera has no channels to draw: no 2D view is offered, nor made by the command.
    wxUpdateUIEvent addViewState(ID_VIEW_ADD);
    frame->ProcessWindowEvent(addViewState);
    EXPECT_TRUE(addViewState.GetSetEnabled());
    EXPECT_FALSE(addViewState.GetEnabled());
    wxCommandEvent addView(wxEVT_MENU, ID_VIEW_ADD);
    frame->ProcessWindowEvent(addView);
    EXPECT_EQ(frame->m_mainBook->GetPageCount(), 1u);
    offered.clear();
    frame->ProcessWindowEvent(open);  // every camera in use: nothing offered
    EXPECT_TRUE(offered.empty());
    EXPECT_EQ(frame->GetDeviceCount(), 1);

    ShellPrompts().confirm = [](wxWindow*, const wxString&) { return false; };
    EXPECT_FALSE(frame->CheckToQuit(view));
    EXPECT_EQ(frame->GetDeviceCount(), 1);
    ShellPrompts().confirm = [](wxWindow*, const wxString&) { return true; };
    EXPECT_TRUE(frame->CheckToQuit(view));
    EXPECT_EQ(frame->GetDeviceCount(), 0);  // the page no longer shows a camera
    EXPECT_TRUE(CVideoDevice::IsCameraAvailable(0));
    g_camera_count = 0;
}

TEST_F(FrameDeviceTest, CameraThatDoesNotOpenIsReportedAndGone)
{
    auto camera = std::make_shared<SyntheticCamera>();
    CCameraFactoryScope cameras(SyntheticCameras(camera, 1));
    TrackerFrame* frame = MakeFrame();
    g_camera_count = TrackerFrame::CountCameras();
    camera->opens = false;  // found at start-up, gone when asked for
    ShellPrompts().singleChoice = [](wxWindow*, const wxString&, const wxString&, const wxArrayString&) {
        return 0;
    };
    CLogCapture log;
    wxCommandEvent open(wxEVT_MENU, ID_OPEN_CAMERA);
    frame->ProcessWindowEvent(open);
    EXPECT_EQ(frame->GetDeviceCount(), 0);
    EXPECT_EQ(frame->m_mainBook->GetPageCount(), 0u);
    bool reported = false;
    for (const std::string& message : log.Messages())
        reported = reported || message.find("Unable to open Video Camera") != std::string::npos;
    EXPECT_TRUE(reported);
    g_camera_count = 0;
}

namespace {

// Opens the first camera offered through its command; true when it is the one device.
bool OpenFirstCamera(TrackerFrame* frame)
{
    ShellPrompts().singleChoice = [](wxWindow*, const wxString&, const wxString&, const wxArrayString&) {
        return 0;
    };
    wxCommandEvent open(wxEVT_MENU, ID_OPEN_CAMERA);
    frame->ProcessWindowEvent(open);
    return frame->GetDeviceCount() == 1;
}

}  // namespace

// A camera whose grab hangs is closed without the window waiting for it: its page goes
// at once, the video it had opened for the next trial (without a frame) does not stay,
// and the device is freed in the background once the camera lets go.
TEST_F(FrameDeviceTest, ClosingAHungCameraKeepsTheWindowAnsweringAndLeavesNoEmptyVideo)
{
    auto camera = std::make_shared<SyntheticCamera>();
    camera->reportedFps = 100.0;
    CCameraFactoryScope cameras(SyntheticCameras(camera, 1));
    TrackerFrame* frame = MakeFrame();
    frame->m_cameraRate = 100;
    g_camera_count = TrackerFrame::CountCameras();
    ASSERT_TRUE(OpenFirstCamera(frame));
    auto* video = dynamic_cast<CVideoDevice*>(frame->GetDeviceList()[0]);
    ASSERT_NE(video, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!video->IsFrameRateKnown() && std::chrono::steady_clock::now() < deadline)
        camera->WaitForGrabs(camera->grabs.load() + 1, std::chrono::seconds(1));
    ASSERT_TRUE(video->IsFrameRateKnown());
    ASSERT_TRUE(frame->OpenCaptureSet("hung"));
    const wxString pending = video->GetWriterFileName();
    ASSERT_TRUE(wxFileExists(pending));
    camera->hangAfter = camera->delivered.load() + 2;
    ASSERT_TRUE(camera->WaitUntilHanging(std::chrono::seconds(20)));

    const auto savedTimeout = CTrackerWorker::GetEndTimeout();
    CTrackerWorker::SetEndTimeout(std::chrono::minutes(10));  // a wait would show
    // Should closing wait for the camera, the camera gives up after 5 s and the test says so.
    std::promise<void> closed;
    std::atomic<bool> waitedFor{false};
    std::thread watchdog([&] {
        if (closed.get_future().wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            waitedFor = true;
            camera->Unblock();
        }
    });
    auto* view = dynamic_cast<CVideoView*>(frame->m_mainBook->GetPage(0));
    ShellPrompts().confirm = [](wxWindow*, const wxString&) { return true; };
    const bool isClosed = frame->CheckToQuit(view);
    closed.set_value();
    watchdog.join();
    EXPECT_FALSE(waitedFor.load());
    EXPECT_TRUE(isClosed);
    EXPECT_EQ(frame->GetDeviceCount(), 0);
    EXPECT_TRUE(CVideoDevice::IsCameraAvailable(0));
    EXPECT_FALSE(wxFileExists(pending));  // no empty video for a trial never run
    EXPECT_EQ(CDeviceCloser::Instance().Pending(), waitedFor.load() ? 0u : 1u);
    // The camera lets go: the idle pass frees the device.
    camera->Unblock();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (CDeviceCloser::Instance().Pending() > 0 && std::chrono::steady_clock::now() < end) {
        wxTheApp->ProcessPendingEvents();
        wxTheApp->ProcessIdle();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(CDeviceCloser::Instance().Pending(), 0u);
    CTrackerWorker::SetEndTimeout(savedTimeout);
    g_camera_count = 0;
}

// A camera that cannot record says why, in its own words, at the set's creation and at
// the start.
TEST_F(FrameDeviceTest, CameraThatCannotRecordSaysWhy)
{
    auto camera = std::make_shared<SyntheticCamera>();
    camera->failAfter = 0;  // no frame: the rate is never measured
    CCameraFactoryScope cameras(SyntheticCameras(camera, 1));
    TrackerFrame* frame = MakeFrame();
    g_camera_count = TrackerFrame::CountCameras();
    ASSERT_TRUE(OpenFirstCamera(frame));
    CLogCapture log;
    frame->OpenCaptureSet("early");
    ChooseMenu(frame, ID_CAPTURE_START);
    EXPECT_FALSE(frame->m_capturing);
    int created = 0;
    int started = 0;
    for (const std::string& message : log.Messages()) {
        if (message.find("Error creating capture file for Camera #1 : the camera has not measured "
                         "its frame rate") != std::string::npos)
            ++created;
        if (message.find("Unable to start recording, device Camera #1 : the camera has not "
                         "measured its frame rate") != std::string::npos)
            ++started;
        EXPECT_EQ(message.find("analog writing"), std::string::npos) << message;
    }
    EXPECT_EQ(created, 1);
    EXPECT_EQ(started, 1);
    g_camera_count = 0;
}

namespace {

// A camera of the test's own, its frames grabbed by hand on its own clock: one trial of
// 30 frames, then hungSec without any, so that the video's end is written in the
// background. Returns the video's name; frames are count x height, noise when noisy.
wxString RecordTrialEndingHung(CClockedVideoDevice& device, const std::string& folder,
                               const std::string& base, double hungSec)
{
    constexpr double kStepUs = 1.0e6 / 30.0;
    device.Start();
    double next = 0.0;
    for (int i = 0; i < 60; ++i, next += kStepUs) device.GrabAt(next);
    if (!device.SetupWriter(folder, base, 1, false, "", false, 0, 0)) return wxString();
    const wxString name = device.GetWriterFileName();
    device.SetClockUs(next - kStepUs / 2.0);
    if (!device.StartRecording()) return wxString();
    for (int i = 0; i < 30; ++i, next += kStepUs) device.GrabAt(next);
    device.SetClockUs(next - kStepUs / 2.0 + hungSec * 1.0e6);
    return device.FinishRecording() ? name : wxString();
}

}  // namespace

// The file list shows a video whose end was written in the background as its file is
// once written: here cut short by the file-size limit.
TEST_F(FrameDeviceTest, VideoRowTellsWhatTheFileHoldsOnceItsEndIsWritten)
{
    auto camera = std::make_shared<SyntheticCamera>();
    camera->width = 640;
    camera->height = 480;
    auto random = std::make_shared<cv::RNG>(5);
    camera->draw = [random](cv::Mat& image, int k) {
        FillFrame(image, k, 640, 480);
        random->fill(image(cv::Rect(0, 0, 640, 460)), cv::RNG::UNIFORM, 0, 256);
    };
    CCameraFactoryScope cameras(SyntheticCameras(camera, 1));
    TrackerFrame* frame = MakeFrame();
    CClockedVideoDevice device(0, 640, 480, 30, false);
    CVideoFinisher::Instance().TakeFinished();
    const wxString name = RecordTrialEndingHung(device, Dir().string(), "rows", 30.0);
    ASSERT_FALSE(name.empty());
    const int64_t listed = device.GetRecordedFrames();
    ASSERT_EQ(listed, 930);
    // As the stop lists it: the frames the video is to have, the file as it is now.
    ASSERT_TRUE(frame->AddFileListRow(name, static_cast<int>(listed), device.GetRecordTime()));
    {
        CFileSizeLimit limit(static_cast<rlim_t>(std::filesystem::file_size(name.ToStdString())) +
                             (1 << 20));
        ASSERT_TRUE(limit.IsSet());
        CVideoFinisher::Instance().Wait();
    }
    device.StopRecording();
    wxTheApp->ProcessIdle();  // the idle pass updates the rows
    const VideoFacts facts = ReadTestVideo(name.ToStdString());
    ASSERT_GE(facts.frames, 30);
    ASSERT_LT(facts.frames, 930);
    const long row = frame->m_fileList->FindItem(-1, wxFileName(name).GetFullName());
    ASSERT_GE(row, 0);
    EXPECT_EQ(frame->m_fileList->GetItemData(row), static_cast<wxUIntPtr>(facts.frames));
    EXPECT_EQ(frame->m_fileList->GetItemText(row, 1), FormatFramesCell(facts.frames, facts.frames / 30.0));
    EXPECT_EQ(frame->m_fileList->GetItemText(row, 2),
              FormatFileSize(static_cast<double>(std::filesystem::file_size(name.ToStdString()))));
}

// Quitting while a video's end is still written: the program says so and ends only once
// the video can be read.
TEST_F(FrameDeviceTest, QuittingWhileAVideosEndIsWrittenWaitsForItAndSaysSo)
{
    auto camera = std::make_shared<SyntheticCamera>();
    camera->width = 640;
    camera->height = 480;
    CCameraFactoryScope cameras(SyntheticCameras(camera, 1));
    TrackerFrame* frame = MakeFrame();
    CClockedVideoDevice device(0, 640, 480, 30, false);
    const wxString name = RecordTrialEndingHung(device, Dir().string(), "quit", 10.0);
    ASSERT_FALSE(name.empty());
    const int64_t listed = device.GetRecordedFrames();
    device.StopRecording();
    ASSERT_GT(CVideoFinisher::Instance().Pending(), 0u);
    ASSERT_TRUE(frame->CheckToQuitAll());
    EXPECT_EQ(CVideoFinisher::Instance().Pending(), 0u);
    EXPECT_NE(frame->m_messagesText->GetValue().Find("Writing the end of the camera videos"),
              wxNOT_FOUND);
    EXPECT_EQ(ReadTestVideo(name.ToStdString()).frames, listed);
}
