#include "DravonetMain.h"

#include "frameDeviceTestSupport.h"
#include "support/logCapture.h"
#include "wii/wiiDevice.h"
#include "wii/wiiLayer.h"
#include "wii/wiiPlatform.h"
#include "wiiPair.h"
#include "wii/wiiSimulator.h"

#include <gtest/gtest.h>
#include <wx/aui/auibook.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>

#include <cerrno>

class FrameWiiTest : public FrameDeviceTest {
protected:
    void TearDown() override
    {
        FrameDeviceTest::TearDown();
        CleanupWiiDevices();
        SetWiiHidSource(nullptr);
    }
};

TEST_F(FrameWiiTest, SearchCountsTheConnectedAndOneFoundOpensWithoutADialog)
{
    TrackerFrame* frame = MakeFrame();
    auto source = std::make_shared<CWiiSimulatedSource>();
    SetWiiHidSource(source);
    frame->m_wiiTimeOut = 1;

    EXPECT_FALSE(frame->SearchWiiDevices());  // nothing there
    EXPECT_EQ(frame->m_wiiFoundCount, 0);
    frame->FlushStreams();
    EXPECT_NE(frame->m_messagesText->GetValue().Find("<WII> Searching Wii devices...\n"), wxNOT_FOUND);
    wxCommandEvent open(wxEVT_MENU, ID_OPEN_WII);
    frame->ProcessWindowEvent(open);  // none found: nothing to open
    EXPECT_EQ(frame->GetDeviceCount(), 0);

    CWiiSimulator board(CWiiSimulator::Kind::Board);
    source->Add(&board);
    source->m_canDiscover = true;
    EXPECT_EQ(wii_pair(4, true), 1);  // what the system drives now
    EXPECT_EQ(wii_pair(0, false), 0);
    ASSERT_TRUE(frame->SearchWiiDevices());
    EXPECT_EQ(frame->m_wiiFoundCount, 1);
    int dialogs = 0;
    ShellPrompts().singleChoice = [&](wxWindow*, const wxString&, const wxString&, const wxArrayString&) {
        return ++dialogs, 0;
    };
    frame->ProcessWindowEvent(open);
    EXPECT_EQ(dialogs, 0);
    ASSERT_EQ(frame->GetDeviceCount(), 1);
    EXPECT_EQ(frame->GetDeviceList()[0]->GetDeviceType(), 6);
}

// A device found that the user may not open is no "No device found!": the status bar
// says so and the Errors page says what to do.
TEST_F(FrameWiiTest, StartupSearchThatMayNotOpenADeviceSaysWhatToDo)
{
    TrackerFrame::SetCaptureCStreams(true);  // the Wii layer reports with the C library
    TrackerFrame* frame = MakeFrame();
    auto source = std::make_shared<CWiiSimulatedSource>();
    SetWiiHidSource(source);
    CWiiSimulator remote(CWiiSimulator::Kind::Remote);
    source->AddAs(&remote, 0x0306, "Nintendo RVL-CNT-01", "", EACCES);
    frame->m_wiiTimeOut = 1;
    frame->m_wiiCheck = true;
    frame->m_startupCountdown = 2;
    RunEvents();
    RunEvents();
    EXPECT_EQ(frame->m_wiiFoundCount, 0);
    EXPECT_EQ(frame->GetStatusBar()->GetStatusText(2),
              "(Wii) 1 device(s) found but not permitted: see Errors");
    frame->FlushStreams();
    const wxString errors = frame->m_errorsText->GetValue();
    EXPECT_NE(errors.Find("<WII> 1 Wii device(s) found but not opened: permission denied"),
              wxNOT_FOUND)
        << errors;
    EXPECT_NE(errors.Find("70-quorvane-wii.rules"), wxNOT_FOUND);

    // Once it may be opened, the search finds and connects it.
    source->Clear();
    source->Add(&remote);
    EXPECT_TRUE(frame->SearchWiiDevices());
    EXPECT_EQ(WiiNoDeviceStatusText(), "(Wii) No device found!");
}
