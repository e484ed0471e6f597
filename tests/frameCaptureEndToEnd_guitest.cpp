// A whole capture through the application's own road: devices opened by their
// commands, a capture set, a run started and stopped by command, and the files
// read back.
#include "DravonetMain.h"

#include "analog/analogReader.h"
#include <wx/textctrl.h>
#include "frameDeviceTestSupport.h"
#include "support/logCapture.h"
#include "video/VideoDevice.h"
#include "video/videoFakes.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/dir.h>
#include <wx/filename.h>

#include <chrono>
#include <thread>

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
    TrackerFrame::SetProcessorCountOverride(8);
    TrackerFrame* frame = MakeFrame();
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
    wxCommandEvent openCamera(wxEVT_MENU, ID_OPEN_CAMERA);
    frame->ProcessWindowEvent(openCamera);
    ASSERT_EQ(frame->GetDeviceCount(), 2);
    auto* video = dynamic_cast<CVideoDevice*>(frame->GetDeviceList()[1]);
    ASSERT_NE(video, nullptr);
    // The camera writes files once it knows its frame rate.
    ASSERT_TRUE(RunUntil([&] { return video->IsFrameRateKnown(); }));

    ASSERT_TRUE(frame->OpenCaptureSet("e2e"));
    wxCommandEvent start(wxEVT_MENU, ID_CAPTURE_START);
    frame->ProcessWindowEvent(start);
    ASSERT_TRUE(frame->m_capturing);
    CAnalogDevice* device = frame->GetDeviceList()[0];
    ASSERT_TRUE(RunUntil([&] { return device->GetRecordTime() > 0.5 && video->GetRecordedFrames() > 5; }));
    wxCommandEvent stop(wxEVT_MENU, ID_CAPTURE_STOP);
    frame->ProcessWindowEvent(stop);
    EXPECT_FALSE(frame->m_capturing);

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
        }
    }
    g_camera_count = 0;
}
