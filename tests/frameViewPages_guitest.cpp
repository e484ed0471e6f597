#include "frameViewPages.h"

#include "video/VideoView.h"

#include <gtest/gtest.h>
#include <wx/frame.h>
#include <wx/panel.h>

// A notebook page is told apart by its class; asking a page of another class
// must give null without an invalid downcast on the way (the sanitizer build
// stops on one).
TEST(FrameViewPagesTest, PagesOfAnotherClassAreNoViews)
{
    auto* frame = new wxFrame(nullptr, wxID_ANY, "pages");
    auto* panel = new wxPanel(frame);
    auto* video = new CVideoView(frame);

    EXPECT_EQ(AsAnalogView(panel), nullptr);
    EXPECT_EQ(As3DView(panel), nullptr);
    EXPECT_EQ(AsVideoView(panel), nullptr);
    EXPECT_FALSE(IsViewPage(panel));
    EXPECT_EQ(GetPageDevice(panel), nullptr);
    EXPECT_FALSE(IsViewPage(nullptr));

    EXPECT_EQ(AsAnalogView(video), nullptr);
    EXPECT_EQ(As3DView(video), nullptr);
    EXPECT_EQ(AsVideoView(video), video);
    EXPECT_TRUE(IsViewPage(video));
    EXPECT_EQ(GetPageDevice(video), nullptr);  // not linked to a device

    delete frame;
}
