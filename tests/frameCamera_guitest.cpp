#include "DravonetMain.h"

#include "frameDeviceTestSupport.h"
#include "process/deviceCloser.h"
#include "process/trackerWorker.h"
#include "support/logCapture.h"
#include "video/VideoDevice.h"
#include "video/VideoView.h"
#include "video/videoFakes.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/aui/auibook.h>
#include <wx/filefn.h>

#include <atomic>
#include <chrono>
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
