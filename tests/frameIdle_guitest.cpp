#include "DravonetMain.h"
#include "GLcanvas/analog3DView.h"
#include "analog/analogView.h"
#include "analog/testDevice.h"
#include "frameDeviceTestSupport.h"
#include "frameTestSupport.h"
#include "network/vrpnServerModule.h"
#include "serial/ptyPair.h"
#include "serial/serialTrigger.h"

#include <gtest/gtest.h>
#include <wx/aui/auibook.h>
#include <wx/propgrid/propgrid.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>

#include <chrono>
#include <thread>

using FrameIdleTest = FrameTest;

TEST_F(FrameIdleTest, StartupWiiSearchRunsOnTheSecondIdlePass)
{
    TrackerFrame* frame = MakeFrame();
    frame->m_wiiCheck = true;
    frame->m_startupCountdown = 2;
    RunEvents();
    EXPECT_EQ(frame->m_startupCountdown, 1);
    EXPECT_TRUE(frame->GetStatusBar()->GetStatusText(2).empty());
    RunEvents();
    EXPECT_EQ(frame->m_startupCountdown, 0);
    EXPECT_EQ(frame->GetStatusBar()->GetStatusText(2), "(Wii) No device found!");
    frame->SetStatusText(wxEmptyString, 2);
    RunEvents();  // never again
    EXPECT_TRUE(frame->GetStatusBar()->GetStatusText(2).empty());
}

TEST_F(FrameIdleTest, StopRequestOfAnotherThreadIsTakenOnce)
{
    TrackerFrame* frame = MakeFrame();
    std::thread recorder([frame] { frame->RequestCaptureStop(); });
    recorder.join();
    RunEvents();
    EXPECT_FALSE(frame->TakeCaptureStopRequest());
}

TEST_F(FrameIdleTest, VrpnServerIsRestartedOnceWhenNoDeviceRemains)
{
    MakeFrame();
    SetVrpnServerAddress(0x7F000001);  // loopback only
    SetVrpnServerPort(0);
    ASSERT_TRUE(StartVrpnServer("frame_test"));
    ASSERT_GT(VrpnServerAddDevice(0, 2, 0, "gone"), 0);
    ASSERT_EQ(IsVrpnServerStarted(), 2u);
    RunEvents();
    EXPECT_EQ(IsVrpnServerStarted(), 1u);
    EXPECT_TRUE(IsVrpnServerRunning());
    RunEvents();
    EXPECT_EQ(IsVrpnServerStarted(), 1u);
    DestroyFrame();  // the frame's end stops the server
    EXPECT_FALSE(IsVrpnServerRunning());
    SetVrpnServerPort(3883);
    SetVrpnServerAddress(0);
}

TEST_F(FrameIdleTest, DisplayTickWritesTheSelectedPagesTimes)
{
    TrackerFrame* frame = MakeFrame();
    CTestDevice device(false, false);
    auto* view = new CAnalogView(frame->m_mainBook, wxDefaultPosition, wxSize(200, 100));
    view->m_device.store(&device);
    frame->m_mainBook->AddPage(view, "test", true);
    frame->m_showDelta = false;
    frame->m_expertMode = true;  // the device clock is shown in the advanced mode only
    frame->ApplyExpertMode();
    wxTimerEvent tick(frame->m_displayTimer);
    frame->ProcessWindowEvent(tick);
    EXPECT_EQ(frame->m_elapsedText->GetValue(), "0.000 s");
    EXPECT_EQ(frame->m_timeText->GetValue(), "0.000 (s)");
    frame->m_showDelta = true;
    frame->ProcessWindowEvent(tick);
    EXPECT_EQ(frame->m_timeText->GetValue(), "0.000 (us)");
    // While the serial trigger is in use the read-out belongs to its voltage.
    frame->m_triggerUse = true;
    frame->m_timeText->ChangeValue("1.000 (v)");
    frame->ProcessWindowEvent(tick);
    EXPECT_EQ(frame->m_timeText->GetValue(), "1.000 (v)");
    frame->m_mainBook->DeletePage(0);
}

TEST_F(FrameIdleTest, SerialTriggerIsReadWithoutFreezingAndShownAsVolts)
{
    CPtyPair pty;
    ASSERT_TRUE(pty.IsValid());
    TrackerFrame* frame = MakeFrame();
    ASSERT_TRUE(g_serialTrigger.Open(pty.SlaveName(), 19200));
    // "/Trigger/time_out" 0 lets a read wait for ever: the idle pass must not.
    g_serialTrigger.SetTimeout(0);
    frame->m_triggerUse = true;
    frame->m_timeText->ChangeValue("none");
    RunEvents();
    EXPECT_EQ(frame->m_timeText->GetValue(), "none");
    EXPECT_EQ(g_serialTrigger.GetTimeout(), 0u);

    // The line is read as it comes; the limit only bounds a broken build.
    auto shows = [frame](const char* text) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (frame->m_timeText->GetValue() != text && std::chrono::steady_clock::now() < end) {
            RunEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return frame->m_timeText->GetValue() == text;
    };
    ASSERT_TRUE(pty.Send("data=512\n"));
    EXPECT_TRUE(shows("2.500 (v)"));

    // While "Start capture" waits for the rise, the idle handler leaves the line alone.
    g_waiting_for_trigger = true;
    ASSERT_TRUE(pty.Send("data=1023\n"));
    for (int i = 0; i < 20; ++i) {
        RunEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(frame->m_timeText->GetValue(), "2.500 (v)");
    g_waiting_for_trigger = false;
    EXPECT_TRUE(shows("4.995 (v)"));

    // During a capture a reading below the low threshold stops it instead of showing.
    frame->m_capturing = true;
    ASSERT_TRUE(pty.Send("data=100\n"));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (frame->m_capturing && std::chrono::steady_clock::now() < end) RunEvents();
    EXPECT_FALSE(frame->m_capturing);
    EXPECT_EQ(frame->m_timeText->GetValue(), "4.995 (v)");
    frame->m_capturing = false;
    DestroyFrame();
    EXPECT_FALSE(g_serialTrigger.IsOpen());
}

using FrameIdleDeviceTest = FrameDeviceTest;

TEST_F(FrameIdleDeviceTest, MovedSceneCameraReachesTheViewGridWithinOneDisplayTick)
{
    TrackerFrame* frame = MakeFrame();
    ASSERT_TRUE(frame->AddDevice3DView(new CTestDevice(false, true), true, false));
    auto* view = dynamic_cast<CAnalog3DView*>(frame->m_mainBook->GetPage(0));
    ASSERT_NE(view, nullptr);
    RunEvents();
    // A drag or a preset moves the camera; no idle pass follows, only the display timer.
    view->GetCamera()->SetEye(1.5, 2.0, 3.0);
    wxTimerEvent tick(frame->m_displayTimer);
    frame->ProcessWindowEvent(tick);
    wxPGProperty* eyeX = frame->m_viewGrid->GetPropertyByName("CAMX");
    ASSERT_NE(eyeX, nullptr);
    EXPECT_DOUBLE_EQ(eyeX->GetValue().GetDouble(), 1.5);
    EXPECT_FALSE(view->GetCamera()->IsModified());
}
