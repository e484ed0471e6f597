#include "checkBoxComboPopup.h"

#include "frameTestSupport.h"

#include <gtest/gtest.h>
#include <wx/combo.h>

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
