#include "DravonetMain.h"

#include "frameDeviceTestSupport.h"
#include "support/logCapture.h"
#include "video/VideoDevice.h"
#include "video/VideoView.h"
#include "video/videoFakes.h"

#include <gtest/gtest.h>
#include <wx/aui/auibook.h>

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
