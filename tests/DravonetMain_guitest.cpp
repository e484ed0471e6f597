#include <gtest/gtest.h>
#include <wx/aui/auibar.h>
#include <wx/aui/auibook.h>
#include <wx/combo.h>
#include <wx/combobox.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/filename.h>
#include <wx/icon.h>
#include <wx/image.h>
#include <wx/listctrl.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "DravonetMain.h"
#include "appIcons.h"
#include "frameTestSupport.h"

namespace fs = std::filesystem;

TEST_F(FrameTest, IsBuiltHiddenThenShownAndDestroyed)
{
    TrackerFrame* frame = MakeFrame();
    ASSERT_NE(frame, nullptr);
    EXPECT_FALSE(frame->IsShown());
    frame->Show();
    RunEvents();
    EXPECT_TRUE(frame->IsShown());
    EXPECT_TRUE(frame->m_displayTimer.IsRunning());
    EXPECT_EQ(frame->m_displayTimer.GetInterval(), 40);
    EXPECT_EQ(frame->m_displayTimer.GetId(), 1001);
    DestroyFrame();
}

TEST_F(FrameTest, FirstStartCreatesTheFolderWithItsCaptureAndExportFolders)
{
    ASSERT_FALSE(fs::exists(Path("Quorvane")));
    TrackerFrame* frame = MakeFrame();
    EXPECT_TRUE(fs::is_directory(Path("Quorvane")));
    EXPECT_TRUE(fs::is_directory(Path("Quorvane") / "Export Files"));
    EXPECT_TRUE(fs::is_directory(Path("Quorvane") / "Capture Files"));
    EXPECT_EQ(frame->m_configDir, wxString(Path("Quorvane").string()));
    EXPECT_EQ(frame->m_capturePath, wxString((Path("Quorvane") / "Capture Files").string()));
    EXPECT_EQ(frame->m_exportPath, wxString((Path("Quorvane") / "Export Files").string()));
}

TEST_F(FrameTest, AFolderThatCannotBeMadeLeavesThePathsEmpty)
{
    // A plain file where the folder should be: nothing can go inside it.
    {
        std::ofstream blocker(Path("Quorvane"));
    }
    TrackerFrame* frame = MakeFrame();
    EXPECT_TRUE(frame->m_capturePath.empty());
    EXPECT_TRUE(frame->m_exportPath.empty());
    EXPECT_EQ(frame->GetTitle(), "Quorvane - 1.30 []");
}

TEST_F(FrameTest, DeviceLimitFollowsTheProcessorCount)
{
    struct Case {
        int processors;
        int limit;
    };
    for (const Case c : {Case{1, 1}, Case{2, 1}, Case{3, 2}, Case{8, 7}}) {
        TrackerFrame::SetProcessorCountOverride(c.processors);
        TrackerFrame* frame = MakeFrame();
        frame->m_useCore = true;  // stands for a configuration that asked for pinning
        EXPECT_EQ(frame->GetMaxDeviceCount(), c.limit) << c.processors << " processors";
        EXPECT_EQ(frame->GetStatusBar()->GetStatusText(0),
                  wxString::Format("Max devices : %d", c.limit));
        DestroyFrame();
    }
}

TEST_F(FrameTest, CorePinningIsOffAfterConstructionWithTwoProcessors)
{
    TrackerFrame::SetProcessorCountOverride(2);
    EXPECT_FALSE(MakeFrame()->m_useCore);
}

TEST_F(FrameTest, CannotBeMadeSmallerThan800By800)
{
    TrackerFrame* frame = MakeFrame();
    EXPECT_EQ(frame->GetMinSize(), wxSize(800, 800));
    frame->Show();
    frame->SetSize(wxSize(300, 200));
    RunEvents();
    EXPECT_GE(frame->GetSize().GetWidth(), 800);
    EXPECT_GE(frame->GetSize().GetHeight(), 800);
}

TEST_F(FrameTest, DefaultStartupLayoutHasTheFourPanesInTheirDocks)
{
    TrackerFrame* frame = MakeFrame();
    wxAuiManager& manager = frame->m_auiManager;
    const wxAuiPaneInfo& settings = manager.GetPane("SETTINGS");
    const wxAuiPaneInfo& capture = manager.GetPane("CAPTURE");
    const wxAuiPaneInfo& main = manager.GetPane("MAINBOOK");
    const wxAuiPaneInfo& messages = manager.GetPane("MESSAGEBOOK");
    ASSERT_TRUE(settings.IsOk() && capture.IsOk() && main.IsOk() && messages.IsOk());
    EXPECT_TRUE(settings.IsShown());
    EXPECT_EQ(settings.dock_direction, wxAUI_DOCK_LEFT);
    EXPECT_EQ(settings.dock_pos, 0);
    EXPECT_TRUE(capture.IsShown());
    EXPECT_EQ(capture.dock_direction, wxAUI_DOCK_RIGHT);
    EXPECT_EQ(capture.dock_pos, 0);
    EXPECT_TRUE(main.IsShown());
    EXPECT_EQ(main.dock_direction, wxAUI_DOCK_CENTER);
    EXPECT_FALSE(main.HasBorder());
    EXPECT_TRUE(messages.IsShown());
    EXPECT_EQ(messages.dock_direction, wxAUI_DOCK_BOTTOM);
    EXPECT_EQ(messages.caption, "Information");
    ASSERT_EQ(frame->m_perspectives.GetCount(), 1u);

    // Pages of the fixed panes.
    EXPECT_EQ(frame->m_mainBook->GetId(), 1001);
    EXPECT_EQ(frame->m_mainBook->GetPageCount(), 0u);
    ASSERT_EQ(frame->m_messageBook->GetPageCount(), 2u);
    EXPECT_EQ(frame->m_messageBook->GetPageText(0), "Messages");
    EXPECT_EQ(frame->m_messageBook->GetPageText(1), "Errors");
    EXPECT_EQ(frame->m_messageBook->GetPage(0), frame->m_messagesText);
    ASSERT_EQ(frame->m_captureBook->GetPageCount(), 2u);
    EXPECT_EQ(frame->m_captureBook->GetPageText(0), "Device");
    EXPECT_EQ(frame->m_captureBook->GetPageText(1), "File List");
    EXPECT_EQ(frame->m_fileList->GetId(), 1122);
    ASSERT_EQ(frame->m_settingsBook->GetPageCount(), 1u);
    EXPECT_EQ(frame->m_settingsBook->GetPageText(0), "Parameters");

    // Every toolbar stands in the top dock and can go to neither side.
    int toolbars = 0;
    const wxAuiPaneInfoArray& panes = manager.GetAllPanes();
    for (size_t i = 0; i < panes.GetCount(); ++i) {
        if (!panes[i].IsToolbar()) continue;
        ++toolbars;
        EXPECT_EQ(panes[i].dock_direction, wxAUI_DOCK_TOP) << panes[i].name;
        EXPECT_FALSE(panes[i].IsLeftDockable()) << panes[i].name;
        EXPECT_FALSE(panes[i].IsRightDockable()) << panes[i].name;
        EXPECT_TRUE(panes[i].IsShown()) << panes[i].name;
    }
    EXPECT_EQ(toolbars, 8);
    for (const char* name :
         {"tbWii", "tbSatel", "tbBird", "tbCamera", "tbDevice", "tbCapture", "tbtime", "tbView"})
        EXPECT_TRUE(manager.GetPane(name).IsToolbar()) << name;
}

TEST_F(FrameTest, TimeReadOutToolTipNamesWhatItShows)
{
    TrackerFrame* frame = MakeFrame();
    ASSERT_NE(frame->m_timeText, nullptr);
    // "/Device/show_delta" is on by default.
    EXPECT_EQ(frame->m_timeText->GetToolTipText(), "Clock Device variability (us)");
    frame->m_showDelta = false;
    frame->UpdateTimeTextToolTip();
    EXPECT_EQ(frame->m_timeText->GetToolTipText(), "Device clock (s)");
    // With the trigger enabled but its port not open, the clock stays named.
    frame->m_triggerUse = true;
    frame->UpdateTimeTextToolTip();
    EXPECT_EQ(frame->m_timeText->GetToolTipText(), "Device clock (s)");
    EXPECT_EQ(frame->m_elapsedText->GetToolTipText(), "Time info");
    EXPECT_EQ(frame->m_timeText->GetId(), 1113);
    EXPECT_EQ(frame->m_elapsedText->GetId(), 1112);
}

TEST_F(FrameTest, GraphTypeComboStartsOnNone)
{
    TrackerFrame* frame = MakeFrame();
    ASSERT_EQ(frame->m_graphCombo->GetCount(), 7u);
    EXPECT_EQ(frame->m_graphCombo->GetString(0), "Normal Mode");
    EXPECT_EQ(frame->m_graphCombo->GetSelection(), 6);
    EXPECT_EQ(frame->m_graphCombo->GetValue(), "None");
    EXPECT_EQ(frame->m_graphCombo->GetToolTipText(), "Current Graph type");
    EXPECT_EQ(frame->m_channelCombo->GetToolTipText(), "Channel selection");
}

TEST_F(FrameTest, ExpertModeShowsTheTimeReadOut)
{
    TrackerFrame* frame = MakeFrame();
    EXPECT_FALSE(frame->m_timeText->IsShown());
    EXPECT_TRUE(frame->m_rebuildSettingsGrid);
    EXPECT_TRUE(frame->m_rebuildViewGrid);
    frame->m_expertMode = true;
    frame->ApplyExpertMode();
    EXPECT_TRUE(frame->m_timeText->IsShown());
}

TEST_F(FrameTest, TitleShowsTheCaptureFolderAndTheOpenCaptureSet)
{
    TrackerFrame* frame = MakeFrame();
    const wxString folder = frame->m_capturePath;
    EXPECT_EQ(frame->GetTitle(), "Quorvane - 1.30 [" + folder + "]");
    frame->m_capturePath = "/data";
    frame->m_captureName = "walk";
    frame->m_trialIndex = 3;
    frame->m_capturing = true;
    frame->UpdateTitle();
    EXPECT_EQ(frame->GetTitle(), "Quorvane - 1.30 [/data]- walk [3]");
    frame->m_capturing = false;
    frame->m_captureName.clear();
    frame->m_trialIndex = 0;
    frame->UpdateTitle();
    EXPECT_EQ(frame->GetTitle(), "Quorvane - 1.30 [/data]");
}

TEST_F(FrameTest, DisplayTimerTickWithoutPagesChangesNothing)
{
    TrackerFrame* frame = MakeFrame();
    frame->m_elapsedText->ChangeValue("unchanged");
    wxTimerEvent tick(frame->m_displayTimer);
    frame->ProcessWindowEvent(tick);
    EXPECT_EQ(frame->m_elapsedText->GetValue(), "unchanged");
}

TEST_F(FrameTest, ShownFrameScreenshot)
{
    TrackerFrame* frame = MakeFrame();
    frame->SetSize(wxRect(0, 0, 1200, 850));
    frame->Show();
    std::cout << "0 Camera(s) found" << std::endl;
    std::cerr << "<TEST> an error line\n";
    for (int i = 0; i < 20; ++i) {
        RunEvents();
        wxYield();
    }
    EXPECT_TRUE(SaveShot(frame, "mainFrame.png"));
    EXPECT_NE(frame->m_messagesText->GetValue().Find("Camera(s) found"), wxNOT_FOUND);
}

TEST_F(FrameTest, NotificationAndScrollingWorkWithoutADesktop)
{
    TrackerFrame* frame = MakeFrame();
    frame->Show();
    frame->ShowNotification("WII", "2 Wii device(s) found", wxICON_INFORMATION);
    frame->ShowNotification("WII", "again, through the same notification", wxICON_INFORMATION);
    for (int i = 0; i < 200; ++i)
        std::cout << "line " << i << "\n";
    frame->ScrollMessagesToEnd();  // takes the waiting text first
    EXPECT_NE(frame->m_messagesText->GetValue().Find("line 199\n"), wxNOT_FOUND);
}

TEST_F(FrameTest, AboutPictureKeepsItsWordInsideTheDisc)
{
    const wxImage picture = MakeAboutPicture().ConvertToImage();
    ASSERT_EQ(picture.GetSize(), wxSize(296, 286));
    ASSERT_TRUE(picture.HasAlpha());
    // The disc: 256 across at (20, 15). Nothing is drawn outside it (the box
    // shows the picture on a light ground, where white letters would vanish),
    // and the word's white letters stand inside, off its edge.
    const double centreX = 148, centreY = 143, radius = 128;
    int outside = 0;
    int whiteInside = 0;
    int whiteNearEdge = 0;
    for (int y = 0; y < picture.GetHeight(); ++y) {
        for (int x = 0; x < picture.GetWidth(); ++x) {
            const double distance = std::hypot(x + 0.5 - centreX, y + 0.5 - centreY);
            const bool isWhite = picture.GetAlpha(x, y) > 128 && picture.GetRed(x, y) > 200 &&
                                 picture.GetGreen(x, y) > 200 && picture.GetBlue(x, y) > 200;
            if (distance > radius + 1.5 && picture.GetAlpha(x, y) != 0) ++outside;
            if (isWhite && distance <= radius) ++whiteInside;
            if (isWhite && distance > radius - 8) ++whiteNearEdge;
        }
    }
    EXPECT_EQ(outside, 0);
    EXPECT_EQ(whiteNearEdge, 0);
    EXPECT_GT(whiteInside, 500) << "the word is drawn";
}
