#include "DravonetMain.h"

#include "frameTestSupport.h"

#include <gtest/gtest.h>
#include <wx/app.h>

TEST_F(FrameTest, IsBuiltShownAndDestroyed)
{
    TrackerFrame* frame = MakeFrame();
    ASSERT_NE(frame, nullptr);
    EXPECT_FALSE(frame->IsShown());
    frame->Show();
    RunEvents();
    EXPECT_TRUE(frame->IsShown());
    DestroyFrame();
}
