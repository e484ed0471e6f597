#include <gtest/gtest.h>
#include <wx/button.h>

#include <string>

#include "countdownDialog.h"
#include "process/clock.h"

namespace {

TEST(CountdownDialog, BuiltAsOneBigButton)
{
    TCountDown dialog(nullptr);
    EXPECT_EQ(dialog.GetClientSize(), wxSize(300, 300));
    ASSERT_NE(dialog.GetButton(), nullptr);
    EXPECT_EQ(dialog.GetButton()->GetId(), wxID_OK);
    EXPECT_EQ(dialog.GetButton()->GetLabel(), "OK");
    EXPECT_EQ(dialog.GetButton()->GetFont().GetPointSize(), 64);
    EXPECT_EQ(dialog.GetDuration(), -1.0);
    EXPECT_FALSE(dialog.IsRunning());
}

TEST(CountdownDialog, EndsByItselfWithOkAndShowsOkLast)
{
    TCountDown dialog(nullptr);
    dialog.SetDuration(300.0);
    const double before = GetProgramTime();
    EXPECT_EQ(dialog.ShowModal(), wxID_OK);
    const double elapsedMs = (GetProgramTime() - before) / 1000.0;
    EXPECT_GE(elapsedMs, 290.0);
    EXPECT_LT(elapsedMs, 30000.0);
    EXPECT_EQ(dialog.GetButton()->GetLabel(), "OK");
    EXPECT_FALSE(dialog.IsRunning());
}

TEST(CountdownDialog, ButtonEndsAtOnce)
{
    TCountDown dialog(nullptr);
    dialog.SetDuration(60000.0);
    dialog.CallAfter([&dialog] {
        // The remaining time is shown in tenths meanwhile.
        EXPECT_TRUE(dialog.IsRunning());
        wxCommandEvent click(wxEVT_BUTTON, wxID_OK);
        click.SetEventObject(dialog.GetButton());
        dialog.GetButton()->GetEventHandler()->ProcessEvent(click);
    });
    const double before = GetProgramTime();
    EXPECT_EQ(dialog.ShowModal(), wxID_OK);
    EXPECT_LT((GetProgramTime() - before) / 1000.0, 30000.0);
}

// The trigger that started the capture stopped during the count-down: the dialog
// ends at its next tick with wxID_ABORT, long before its time.
TEST(CountdownDialog, StopCheckEndsItWithAbort)
{
    TCountDown dialog(nullptr);
    dialog.SetDuration(60000.0);
    int checks = 0;
    dialog.SetStopCheck([&checks] { return ++checks == 3; });
    const double before = GetProgramTime();
    EXPECT_EQ(dialog.ShowModal(), wxID_ABORT);
    EXPECT_EQ(checks, 3);
    EXPECT_LT((GetProgramTime() - before) / 1000.0, 30000.0);
    EXPECT_FALSE(dialog.IsRunning());
}

TEST(CountdownDialog, LabelCountsDownWithoutDurationNothingEnds)
{
    TCountDown dialog(nullptr);
    // Not shown: nothing to count.
    EXPECT_FALSE(dialog.Tick(GetProgramTime() + 1e9));
    dialog.SetDuration(2000.0);
    dialog.CallAfter([&dialog] {
        const double now = GetProgramTime();
        EXPECT_FALSE(dialog.Tick(now + 400e3));
        const double shown = std::stod(dialog.GetButton()->GetLabel().ToStdString());
        EXPECT_LE(shown, 1.6);
        EXPECT_GE(shown, 1.0);
        EXPECT_TRUE(dialog.Tick(now + 2100e3));
        EXPECT_EQ(dialog.GetButton()->GetLabel(), "OK");
        dialog.EndModal(wxID_CANCEL);
    });
    EXPECT_EQ(dialog.ShowModal(), wxID_CANCEL);

    TCountDown endless(nullptr);
    endless.CallAfter([&endless] {
        EXPECT_FALSE(endless.Tick(GetProgramTime() + 3600e6));
        EXPECT_TRUE(endless.IsRunning());
        endless.EndModal(wxID_CANCEL);
    });
    EXPECT_EQ(endless.ShowModal(), wxID_CANCEL);
}

}  // namespace
