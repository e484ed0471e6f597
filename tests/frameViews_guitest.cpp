#include <gtest/gtest.h>
#include <memory>
#include <wx/aui/auibook.h>
#include <wx/combo.h>
#include <wx/combobox.h>
#include <wx/panel.h>
#include <wx/propgrid/propgrid.h>

#include "DravonetMain.h"
#include "analog/analogView.h"
#include "checkBoxComboPopup.h"
#include "frameTestSupport.h"
#include "frameViewTestDevice.h"
#include "network/oscSourceSupport.h"

namespace {

// A frame with device pages added as the opening commands add them.
class FrameViewsTest : public FrameTest {
protected:
    TrackerFrame* Frame()
    {
        TrackerFrame* frame = MakeFrame();
        frame->SetSize(1200, 900);
        frame->Show();
        return frame;
    }

    CAnalogView* AddDevicePage(CFrameTestDevice& device)
    {
        TrackerFrame* frame = Frame();
        auto* view = new CAnalogView(frame, wxDefaultPosition, wxSize(400, 300));
        view->SetDevice(&device);
        frame->m_mainBook->AddPage(view, device.GetDeviceName(), true);
        frame->SelectAnalogView(view);
        return view;
    }

    void Command(int id, int selection = 0, wxEventType type = wxEVT_MENU)
    {
        wxCommandEvent event(type, id);
        event.SetInt(selection);
        m_frame->GetEventHandler()->ProcessEvent(event);
    }

    // Devices outlive the frame, which the fixture destroys first.
    CFrameTestDevice m_device;
    CFrameTestDevice m_other;
};

}  // namespace

TEST_F(FrameViewsTest, PageLookupsFollowTheSelectedPage)
{
    TrackerFrame* frame = Frame();
    EXPECT_EQ(frame->GetCurrentDevice(), nullptr);
    EXPECT_EQ(frame->GetViewCount(), 0);
    CAnalogView* view = AddDevicePage(m_device);
    EXPECT_EQ(frame->GetCurrentDevice(), &m_device);
    EXPECT_EQ(frame->GetCurrentAnalogView(), view);
    EXPECT_EQ(frame->GetFirstAnalogView(), view);
    EXPECT_EQ(frame->GetCurrent3DView(), nullptr);
    EXPECT_EQ(frame->GetCurrentVideoView(), nullptr);

    // A page that is not a view is no device and no view.
    frame->m_mainBook->AddPage(new wxPanel(frame), "panel", true);
    EXPECT_EQ(frame->GetCurrentDevice(), nullptr);
    EXPECT_EQ(frame->GetCurrentAnalogView(), nullptr);
    EXPECT_EQ(frame->GetViewCount(), 1);
    EXPECT_EQ(frame->GetFirstAnalogView(), view);
}

TEST_F(FrameViewsTest, AddViewShowsTheCurrentDeviceOnASelectedPage)
{
    TrackerFrame* frame = Frame();
    CAnalogView* first = AddDevicePage(m_device);
    Command(ID_VIEW_ADD);
    ASSERT_EQ(frame->m_mainBook->GetPageCount(), 2u);
    CAnalogView* second = frame->GetCurrentAnalogView();
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(second->m_device.load(), &m_device);
    EXPECT_EQ(m_device.GetViewCount(), 2);
    EXPECT_EQ(frame->m_mainBook->GetPageText(1), m_device.GetDisplayName());
    EXPECT_EQ(frame->m_mainBook->GetPageToolTip(1), m_device.GetInfo());
    EXPECT_TRUE(second->m_selected);
    EXPECT_TRUE(second->m_multiView);
    EXPECT_FALSE(first->m_selected);
    EXPECT_TRUE(frame->m_rebuildSettingsGrid);
    // Two pages stand side by side.
    frame->Layout();
    frame->m_mainBook->Layout();
    EXPECT_NE(first->GetScreenPosition().x, second->GetScreenPosition().x);

    Command(ID_VIEW_ADD);
    EXPECT_EQ(frame->m_mainBook->GetPageCount(), 3u);
    EXPECT_EQ(frame->GetViewCount(), 3);

    // Not a tracker: no 3D view.
    Command(ID_VIEW_ADD_3D);
    EXPECT_EQ(frame->m_mainBook->GetPageCount(), 3u);
}

TEST_F(FrameViewsTest, ClosedPageLeavesNoViewBehind)
{
    TrackerFrame* frame = Frame();
    AddDevicePage(m_device);
    Command(ID_VIEW_ADD);
    ASSERT_EQ(m_device.GetViewCount(), 2);
    frame->m_mainBook->DeletePage(1);
    EXPECT_EQ(frame->GetViewCount(), 1);
    EXPECT_EQ(m_device.GetViewCount(), 1);
    CAnalogView* remaining = frame->GetFirstAnalogView();
    frame->m_mainBook->SetSelection(0);
    EXPECT_EQ(frame->GetCurrentAnalogView(), remaining);
    EXPECT_EQ(frame->GetCurrentDevice(), &m_device);
    frame->m_mainBook->DeletePage(0);
    EXPECT_EQ(frame->GetCurrentDevice(), nullptr);
    frame->UpdateViewGrid();
    EXPECT_EQ(frame->m_viewGrid->GetPropertyByName("Analog_view"), nullptr);
}

TEST_F(FrameViewsTest, GraphTypeChangesTheSelectedView)
{
    TrackerFrame* frame = Frame();
    CAnalogView* view = AddDevicePage(m_device);
    EXPECT_EQ(frame->m_graphCombo->GetCount(), 7u);
    EXPECT_EQ(frame->m_graphCombo->GetSelection(), view->draw_type);
    frame->m_rebuildViewGrid = false;
    const int resets = m_device.Resets();
    Command(ID_GRAPH_COMBO, 5, wxEVT_COMBOBOX);
    EXPECT_EQ(view->draw_type, 5);
    EXPECT_GT(m_device.Resets(), resets);
    EXPECT_TRUE(frame->m_rebuildViewGrid);

    m_device.SetRecording(true);
    const int recordingResets = m_device.Resets();
    Command(ID_GRAPH_COMBO, 2, wxEVT_COMBOBOX);
    EXPECT_EQ(view->draw_type, 2);
    EXPECT_EQ(m_device.Resets(), recordingResets);  // the buffers of a recording stay
    m_device.SetRecording(false);

    Command(ID_GRAPH_COMBO, 9, wxEVT_COMBOBOX);  // no such mode
    Command(ID_GRAPH_COMBO, -1, wxEVT_COMBOBOX);
    EXPECT_EQ(view->draw_type, 2);
}

TEST_F(FrameViewsTest, ChannelSelectionShowsTheTickedChannels)
{
    TrackerFrame* frame = Frame();
    AddDevicePage(m_device);
    wxCheckBoxComboPopup* popup = frame->m_channelPopup;
    ASSERT_EQ(popup->GetCount(), 8u);
    for (unsigned i = 0; i < 8; ++i) EXPECT_TRUE(popup->IsChecked(i));
    EXPECT_EQ(frame->m_channelCombo->GetValue(), "8 channel(s) selected");

    for (unsigned i = 0; i < 8; ++i) popup->Check(i, i == 1 || i == 3);
    Command(ID_CHANNEL_LIST, 0, wxEVT_CHECKLISTBOX);
    EXPECT_EQ(m_device.GetVisibleList(), (std::vector<int>{1, 3}));
    EXPECT_TRUE(frame->m_rebuildViewGrid);
    EXPECT_EQ(frame->m_channelCombo->GetValue(), "2 channel(s) selected");

    for (unsigned i = 0; i < 8; ++i) popup->Check(i, false);
    frame->ApplyChannelSelection();
    EXPECT_EQ(m_device.GetVisibleList(), (std::vector<int>{1, 3}));

    // A tick past the device's channels (a list left from an earlier shape)
    // never switches every channel off.
    popup->Append("gone");
    popup->Check(8, true);
    frame->ApplyChannelSelection();
    EXPECT_EQ(m_device.GetVisibleList(), (std::vector<int>{1, 3}));
}

TEST_F(FrameViewsTest, ChannelListOfAnotherDeviceIsNotApplied)
{
    TrackerFrame* frame = Frame();
    AddDevicePage(m_device);
    auto* view = new CAnalogView(frame, wxDefaultPosition, wxSize(400, 300));
    view->SetDevice(&m_other);
    frame->m_mainBook->AddPage(view, "other", false);
    // The list still shows m_device's channels while m_other's page is selected
    // without the selection having followed.
    frame->m_mainBook->ChangeSelection(1);
    for (unsigned i = 0; i < 8; ++i) frame->m_channelPopup->Check(i, i == 0);
    frame->ApplyChannelSelection();
    EXPECT_EQ(m_other.GetVisibleList().size(), 8u);
    EXPECT_EQ(m_device.GetVisibleList().size(), 8u);
}

TEST_F(FrameViewsTest, PageChangeFollowsTheNewPage)
{
    TrackerFrame* frame = Frame();
    CAnalogView* first = AddDevicePage(m_device);
    m_other.SetName("other_device");
    AddDevicePage(m_other);
    frame->m_rebuildViewGrid = false;
    frame->m_mainBook->SetSelection(0);
    EXPECT_EQ(frame->GetStatusBar()->GetStatusText(1), m_device.GetDevicePath());
    EXPECT_TRUE(frame->m_rebuildViewGrid);
    EXPECT_TRUE(first->m_selected);
}

TEST_F(FrameViewsTest, DeviceCommandsActOnTheCurrentDevice)
{
    TrackerFrame* frame = Frame();
    Command(ID_DEVICE_RESET);  // no page: nothing to act on
    Command(ID_DEVICE_OFFSET);
    AddDevicePage(m_device);
    const int resets = m_device.Resets();
    Command(ID_DEVICE_RESET);
    EXPECT_GT(m_device.Resets(), resets);
    frame->m_mainBook->AddPage(new wxPanel(frame), "panel", true);
    const int panelResets = m_device.Resets();
    Command(ID_DEVICE_RESET);
    EXPECT_EQ(m_device.Resets(), panelResets);
}

TEST_F(FrameViewsTest, RestoreStartupViewBringsThePanesBack)
{
    TrackerFrame* frame = Frame();
    frame->m_auiManager.GetPane("SETTINGS").Hide();
    frame->m_auiManager.GetPane("CAPTURE").Float();
    frame->m_auiManager.Update();
    ASSERT_FALSE(frame->m_auiManager.GetPane("SETTINGS").IsShown());
    Command(ID_VIEW_RESTORE);
    EXPECT_TRUE(frame->m_auiManager.GetPane("SETTINGS").IsShown());
    EXPECT_EQ(frame->m_auiManager.GetPane("SETTINGS").dock_direction, wxAUI_DOCK_LEFT);
    EXPECT_TRUE(frame->m_auiManager.GetPane("CAPTURE").IsDocked());
    EXPECT_EQ(frame->m_auiManager.GetPane("CAPTURE").dock_direction, wxAUI_DOCK_RIGHT);
}

// A network source that changes its channel count: the channel selector
// follows its new shape at the next idle pass, with no "Reset device".
TEST_F(FrameViewsTest, ChannelSelectorFollowsASourceThatGrows)
{
    osctest::SettingsGuard guard;
    osctest::Peer source;
    SetOscClientSettings(osctest::LoopbackClient(source.Port(), 0));
    auto device = std::make_unique<osctest::SteppedOscDevice>();
    osctest::Received request;
    ASSERT_TRUE(source.Next(request));  // the connect message
    TrackerFrame* frame = Frame();
    auto* view = new CAnalogView(frame, wxDefaultPosition, wxSize(400, 300));
    view->SetDevice(device.get());
    frame->m_mainBook->AddPage(view, device->GetDeviceName(), true);
    frame->SelectAnalogView(view);
    EXPECT_EQ(frame->m_channelPopup->GetCount(), 1u);
    ASSERT_TRUE(source.Send(device->GetBoundListeningPort(),
                            osctest::Floats("/data", {1.0f, 2.0f, 3.0f})));
    ASSERT_TRUE(device->PollUntil([&] { return device->ChannelCount() == 3; }));
    wxTheApp->ProcessIdle();
    EXPECT_EQ(frame->m_channelPopup->GetCount(), 3u);
    EXPECT_EQ(frame->m_channelCombo->GetValue(), "3 channel(s) selected");
    // The page goes before the device it shows.
    frame->m_mainBook->DeletePage(frame->m_mainBook->GetPageIndex(view));
}
