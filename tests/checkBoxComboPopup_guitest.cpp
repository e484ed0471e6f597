#include <gtest/gtest.h>
#include <wx/aui/auibook.h>
#include <wx/combo.h>
#include <wx/propgrid/propgrid.h>

#include <vector>

#include "analog/analogView.h"
#include "checkBoxComboPopup.h"
#include "frameTestSupport.h"
#include "frameViewTestDevice.h"

using CheckBoxComboPopupTest = FrameTest;

TEST_F(CheckBoxComboPopupTest, CountsTheCheckedChannelsAndClicksOnNothingChangeNothing)
{
    TrackerFrame* frame = MakeFrame();
    ASSERT_NE(frame->m_channelPopup, nullptr);
    ASSERT_EQ(frame->m_channelCombo->GetPopupControl(), frame->m_channelPopup);
    wxCheckBoxComboPopup* popup = frame->m_channelPopup;
    EXPECT_EQ(popup->GetId(), 1116);
    EXPECT_EQ(popup->GetControl(), popup);
    EXPECT_EQ(popup->GetHoverItem(), -1);
    EXPECT_EQ(popup->GetStringValue(), "0 channel(s) selected");
    popup->Append("Fx");
    popup->Append("Fy");
    popup->Append("Fz");
    popup->Check(0);
    popup->Check(2);
    EXPECT_EQ(popup->GetStringValue(), "2 channel(s) selected");
    popup->SetStringValue("ignored");
    EXPECT_EQ(popup->GetStringValue(), "2 channel(s) selected");

    // A release with no item under the mouse toggles nothing.
    wxMouseEvent release(wxEVT_LEFT_UP);
    release.SetEventObject(popup);
    popup->ProcessWindowEvent(release);
    EXPECT_TRUE(popup->IsChecked(0));
    EXPECT_FALSE(popup->IsChecked(1));
    EXPECT_TRUE(popup->IsChecked(2));
    EXPECT_EQ(popup->GetHoverItem(), -1);
}

namespace {

// The channels the list ticks.
std::vector<int> Ticked(const wxCheckBoxComboPopup& popup)
{
    std::vector<int> ticked;
    for (unsigned i = 0; i < popup.GetCount(); ++i)
        if (popup.IsChecked(i)) ticked.push_back(static_cast<int>(i));
    return ticked;
}

// Sends a mouse event to the list; true when its handler passed it on to the
// toolkit's own handling.
bool SendMouse(wxCheckBoxComboPopup& popup, wxEventType type, const wxPoint& at)
{
    wxMouseEvent event(type);
    event.SetPosition(at);
    event.SetEventObject(&popup);
    popup.ProcessWindowEvent(event);
    return event.GetSkipped();
}

// Presses and releases the button on item `item` of the open list, on its name
// or on its tick box. A press on the box that reaches the toolkit's list toggles
// the item there, which tells the frame, as the toolkit does.
void ClickItem(wxCheckBoxComboPopup& popup, int item, bool onTickBox = false)
{
    const wxSize size = popup.GetClientSize();
    for (int y = 0; y < size.y; ++y) {
        const wxPoint at(size.x / 2, y);
        if (popup.HitTest(at) != item) continue;
        SendMouse(popup, wxEVT_MOTION, at);
        if (SendMouse(popup, wxEVT_LEFT_DOWN, at) && onTickBox) {
            const unsigned index = static_cast<unsigned>(item);
            popup.Check(index, !popup.IsChecked(index));
            wxCommandEvent toggled(wxEVT_CHECKLISTBOX, popup.GetId());
            toggled.SetInt(item);
            toggled.SetEventObject(&popup);
            popup.ProcessWindowEvent(toggled);
        }
        SendMouse(popup, wxEVT_LEFT_UP, at);
        return;
    }
    ADD_FAILURE() << "item " << item << " is not in the open list";
}

}  // namespace

TEST_F(CheckBoxComboPopupTest, ListOpensOnTheChannelsAsTheyAreAndAClickChangesOnlyItsChannel)
{
    CFrameTestDevice device;
    TrackerFrame* frame = MakeFrame();
    frame->SetSize(1200, 900);
    frame->Show();
    auto* view = new CAnalogView(frame, wxDefaultPosition, wxSize(400, 300));
    view->SetDevice(&device);
    frame->m_mainBook->AddPage(view, device.GetDeviceName(), true);
    frame->SelectAnalogView(view);
    frame->UpdateViewGrid();
    wxCheckBoxComboPopup& popup = *frame->m_channelPopup;
    ASSERT_EQ(Ticked(popup), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));

    // Channel #4 off in the device's grid, while the list stays as it was filled.
    frame->m_viewGrid->ChangePropertyValue("test_deviceChannel #4", wxVariant(false));
    ASSERT_EQ(device.GetVisibleList(), (std::vector<int>{0, 1, 2, 3, 5, 6, 7}));
    frame->m_channelCombo->Popup();
    RunEvents();
    EXPECT_EQ(Ticked(popup), (std::vector<int>{0, 1, 2, 3, 5, 6, 7}));
    EXPECT_EQ(frame->m_channelCombo->GetValue(), "7 channel(s) selected");

    // A click on Channel #5 takes #5 off and leaves #4 off.
    ClickItem(popup, 5);
    RunEvents();
    EXPECT_EQ(device.GetVisibleList(), (std::vector<int>{0, 1, 2, 3, 6, 7}));
    EXPECT_FALSE(frame->m_channelCombo->IsPopupShown());

    // Changed again behind the list's back: #0 off, #4 on; a click on #7 changes #7 alone.
    device.SetVisibleChannels({1, 2, 3, 4, 6, 7});
    frame->m_channelCombo->Popup();
    RunEvents();
    EXPECT_EQ(Ticked(popup), (std::vector<int>{1, 2, 3, 4, 6, 7}));
    ClickItem(popup, 7);
    RunEvents();
    EXPECT_EQ(device.GetVisibleList(), (std::vector<int>{1, 2, 3, 4, 6}));

    // A click on a tick box changes its channel once, whichever way.
    for (const bool isShown : {true, false}) {
        frame->m_channelCombo->Popup();
        RunEvents();
        ClickItem(popup, 6, true);
        RunEvents();
        EXPECT_EQ(device.GetVisibleList(),
                  isShown ? (std::vector<int>{1, 2, 3, 4}) : (std::vector<int>{1, 2, 3, 4, 6}));
    }
    DestroyFrame();  // before the device it shows
}
