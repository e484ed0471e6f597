#include "DravonetMain.h"
#include "frameTestSupport.h"

#include <gtest/gtest.h>
#include <wx/accel.h>
#include <wx/aui/auibar.h>
#include <wx/menu.h>

#include <vector>

namespace {

struct UiState {
    bool isEnableSet;
    bool isEnabled;
    bool isCheckSet;
    bool isChecked;
};

UiState QueryUi(TrackerFrame* frame, int id)
{
    wxUpdateUIEvent event(id);
    event.SetEventObject(frame);
    frame->ProcessWindowEvent(event);
    return {event.GetSetEnabled(), event.GetEnabled(), event.GetSetChecked(), event.GetChecked()};
}

bool IsEnabled(TrackerFrame* frame, int id)
{
    const UiState state = QueryUi(frame, id);
    EXPECT_TRUE(state.isEnableSet) << "id " << id;
    return state.isEnabled;
}

void RunCommand(TrackerFrame* frame, int id)
{
    wxCommandEvent event(wxEVT_MENU, id);
    event.SetEventObject(frame);
    frame->ProcessWindowEvent(event);
}

}  // namespace

using FrameMenusTest = FrameTest;

TEST_F(FrameMenusTest, MenuBarHoldsTheFiveMenusWithTheirItemsInOrder)
{
    TrackerFrame* frame = MakeFrame();
    wxMenuBar* bar = frame->GetMenuBar();
    ASSERT_NE(bar, nullptr);
    ASSERT_EQ(bar->GetMenuCount(), 5u);
    EXPECT_EQ(bar->GetMenuLabel(0), "&File");
    EXPECT_EQ(bar->GetMenuLabel(4), "&Help");
    EXPECT_EQ(bar->GetMenu(0), frame->m_fileMenu);

    const std::vector<int> fileIds = {6020, 6019, 6021, -1, 6025, -1, 6026,
                                      -1,   6022, 6023, -1, 6028, -1, 6017,
                                      6018, -1,   6024, -1, 6027, -1, wxID_EXIT};
    const wxMenuItemList& items = frame->m_fileMenu->GetMenuItems();
    ASSERT_EQ(items.size(), fileIds.size());
    size_t i = 0;
    for (const wxMenuItem* item : items) {
        if (fileIds[i] < 0 && fileIds[i] != wxID_EXIT)
            EXPECT_TRUE(item->IsSeparator()) << i;
        else
            EXPECT_EQ(item->GetId(), fileIds[i]) << i;
        ++i;
    }
    EXPECT_EQ(bar->FindItem(ID_OPEN_TEST)->GetItemLabel(), "Open  Analog Test Device");
    EXPECT_EQ(bar->FindItem(ID_VIEW_CAPTURE)->GetItemLabel(), "Show/Hide Capture Pannel");
    EXPECT_TRUE(bar->FindItem(ID_VIEW_CAPTURE)->IsCheckable());
    EXPECT_TRUE(bar->FindItem(ID_DEVICE_START_STOP)->IsCheckable());
    EXPECT_EQ(bar->FindItem(ID_CAPTURE_START)->GetItemLabel(), "Start capture\tF9");
    EXPECT_EQ(bar->FindItem(ID_CAPTURE_NEXT)->GetHelp(), "Next capture");
    EXPECT_TRUE(bar->FindItem(ID_CAPTURE_CLOSE)->GetBitmap().IsOk());
    EXPECT_EQ(bar->FindItem(wxID_ABOUT)->GetHelp(), "Show info about this application");
}

TEST_F(FrameMenusTest, WithNoViewPageEveryCaptureItemAndMostDeviceItemsAreDisabled)
{
    TrackerFrame* frame = MakeFrame();
    for (int id = ID_CAPTURE_CREATE; id <= ID_CAPTURE_CLEAR_LIST; ++id) {
        if (id == 6029 || id == 6038) continue;
        EXPECT_FALSE(IsEnabled(frame, id)) << id;
    }
    for (int id :
         {ID_DEVICE_START_STOP, ID_DEVICE_RESET, ID_DEVICE_OFFSET, ID_VIEW_ADD, ID_VIEW_ADD_3D})
        EXPECT_FALSE(IsEnabled(frame, id)) << id;
    // The OSC client items follow the server, not the page.
    EXPECT_FALSE(IsEnabled(frame, ID_OSC_ADD_CLIENT));
    frame->m_useOscServer = true;
    EXPECT_TRUE(IsEnabled(frame, ID_OSC_ADD_CLIENT));
    EXPECT_FALSE(IsEnabled(frame, ID_OSC_REMOVE_CLIENT));  // no client configured
}

TEST_F(FrameMenusTest, WhileCapturingNoDeviceCanBeOpenedNorTouched)
{
    TrackerFrame* frame = MakeFrame();
    frame->m_useOscServer = true;
    frame->m_capturing = true;
    for (int id = ID_OPEN_TEST; id <= ID_OPEN_CAMERA; ++id)
        EXPECT_FALSE(IsEnabled(frame, id)) << id;
    for (int id = ID_DEVICE_START_STOP; id <= ID_VIEW_ADD_3D; ++id)
        EXPECT_FALSE(IsEnabled(frame, id)) << id;
    // The start/stop check mark is left as it was.
    EXPECT_FALSE(QueryUi(frame, ID_DEVICE_START_STOP).isCheckSet);
}

TEST_F(FrameMenusTest, WiiItemsFollowTheLastSearch)
{
    TrackerFrame* frame = MakeFrame();
    frame->m_wiiFoundCount = 0;
    EXPECT_TRUE(IsEnabled(frame, ID_PAIR_WII));
    EXPECT_TRUE(IsEnabled(frame, ID_FIND_WII));
    EXPECT_FALSE(IsEnabled(frame, ID_OPEN_WII));
    frame->m_wiiFoundCount = 2;
    EXPECT_FALSE(IsEnabled(frame, ID_PAIR_WII));
    EXPECT_FALSE(IsEnabled(frame, ID_FIND_WII));
    // "Open WII Device" then follows whether a device may be opened at all.
    EXPECT_EQ(IsEnabled(frame, ID_OPEN_WII), frame->CanOpenDevice(6));
    frame->m_quitting = true;
    frame->m_wiiFoundCount = 0;
    EXPECT_FALSE(IsEnabled(frame, ID_PAIR_WII));
    frame->m_quitting = false;
}

TEST_F(FrameMenusTest, OpenItemsAskWhetherTheirKindMayBeOpened)
{
    EXPECT_EQ(DeviceKindOfCommand(ID_OPEN_TEST), 1);
    EXPECT_EQ(DeviceKindOfCommand(ID_OPEN_TEST_3D), 1);
    EXPECT_EQ(DeviceKindOfCommand(ID_PAIR_WII), -1);
    EXPECT_EQ(DeviceKindOfCommand(ID_OPEN_WII), 6);
    EXPECT_EQ(DeviceKindOfCommand(ID_FIND_WII), -1);
    EXPECT_EQ(DeviceKindOfCommand(ID_OPEN_VRPN_ANALOG), 7);
    EXPECT_EQ(DeviceKindOfCommand(ID_OPEN_VRPN_TRACKER), 8);
    EXPECT_EQ(DeviceKindOfCommand(ID_OPEN_OSC), 3);
    EXPECT_EQ(DeviceKindOfCommand(ID_OPEN_SATEL), 5);
    EXPECT_EQ(DeviceKindOfCommand(ID_OPEN_FOB), 4);
    EXPECT_EQ(DeviceKindOfCommand(ID_OPEN_FILE), 2);
    EXPECT_EQ(DeviceKindOfCommand(ID_OPEN_CAMERA), 9);
    TrackerFrame* frame = MakeFrame();
    for (int id : {ID_OPEN_TEST, ID_OPEN_SATEL, ID_OPEN_FILE, ID_OPEN_CAMERA})
        EXPECT_EQ(IsEnabled(frame, id), frame->CanOpenDevice(DeviceKindOfCommand(id))) << id;
}

TEST_F(FrameMenusTest, PaneItemsAreCheckedWhileTheirPaneShowsAndNeverDisabled)
{
    TrackerFrame* frame = MakeFrame();
    for (int id : {ID_VIEW_SETTINGS, ID_VIEW_CAPTURE, ID_VIEW_INFORMATION}) {
        const UiState shown = QueryUi(frame, id);
        EXPECT_TRUE(shown.isCheckSet && shown.isChecked) << id;
        EXPECT_FALSE(shown.isEnableSet) << id;
        RunCommand(frame, id);
        const UiState hidden = QueryUi(frame, id);
        EXPECT_TRUE(hidden.isCheckSet && !hidden.isChecked) << id;
        RunCommand(frame, id);
        EXPECT_TRUE(QueryUi(frame, id).isChecked) << id;
    }
    frame->m_quitting = true;
    const UiState quitting = QueryUi(frame, ID_VIEW_SETTINGS);
    EXPECT_FALSE(quitting.isCheckSet || quitting.isEnableSet);
    frame->m_quitting = false;
}

TEST_F(FrameMenusTest, CapturePaneCommandTakesTheCaptureToolbarAlong)
{
    TrackerFrame* frame = MakeFrame();
    wxAuiManager& manager = frame->m_auiManager;
    // The toolbar hidden on its own: hiding the pane hides both, showing shows both.
    manager.GetPane("tbCapture").Hide();
    RunCommand(frame, ID_VIEW_CAPTURE);
    EXPECT_FALSE(manager.GetPane("CAPTURE").IsShown());
    EXPECT_FALSE(manager.GetPane("tbCapture").IsShown());
    RunCommand(frame, ID_VIEW_CAPTURE);
    EXPECT_TRUE(manager.GetPane("CAPTURE").IsShown());
    EXPECT_TRUE(manager.GetPane("tbCapture").IsShown());
    // Shown alone while the pane is hidden: the next command shows the pane, and
    // the one after hides both.
    RunCommand(frame, ID_VIEW_CAPTURE);
    manager.GetPane("tbCapture").Show();
    RunCommand(frame, ID_VIEW_CAPTURE);
    EXPECT_TRUE(manager.GetPane("CAPTURE").IsShown());
    EXPECT_TRUE(manager.GetPane("tbCapture").IsShown());
    RunCommand(frame, ID_VIEW_CAPTURE);
    EXPECT_FALSE(manager.GetPane("tbCapture").IsShown());
}

TEST_F(FrameMenusTest, SpaceIsTheStartStopAcceleratorAndDoesNothingWithoutAPage)
{
    TrackerFrame* frame = MakeFrame();
    wxAcceleratorTable* table = frame->GetAcceleratorTable();
    ASSERT_NE(table, nullptr);
    EXPECT_TRUE(table->IsOk());
    // With no page the command changes nothing, not even the tool.
    wxAuiToolBar* tools = frame->m_deviceToolBar;
    const wxString help = tools->GetToolShortHelp(ID_DEVICE_START_STOP);
    RunCommand(frame, ID_DEVICE_START_STOP);
    EXPECT_EQ(tools->GetToolShortHelp(ID_DEVICE_START_STOP), help);
    EXPECT_EQ(help, "Stop device streaming");
    EXPECT_EQ(tools->FindTool(ID_DEVICE_START_STOP)->GetLabel(), "Stop device");
}
