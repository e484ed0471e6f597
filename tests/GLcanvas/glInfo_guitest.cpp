#include "GLcanvas/glInfo.h"

#include <gtest/gtest.h>
#include <wx/frame.h>
#include <wx/glcanvas.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

TEST(GLInfo, ExtensionsAreSplitAtBlanksAndSorted)
{
    std::vector<std::string> names;
    const char text[] = "GL_B  GL_A GL_C ";
    GLInfo::SplitExtensions(text, names);
    EXPECT_EQ(names, (std::vector<std::string>{"GL_A", "GL_B", "GL_C"}));
    EXPECT_STREQ(text, "GL_B  GL_A GL_C ");  // the driver's text stays as it was
    GLInfo info;
    info.extensions = names;
    EXPECT_TRUE(info.IsExtensionSupported("GL_A"));
    EXPECT_FALSE(info.IsExtensionSupported("gl_a"));
    EXPECT_FALSE(info.IsExtensionSupported("GL_"));
}

TEST(GLInfo, ReportWithoutExtensions)
{
    GLInfo info;
    info.vendor = "V";
    info.version = "2.1";
    info.renderer = "R";
    info.redBits = 8;
    info.alphaBits = 2;
    info.maxTextureSize = 4096;
    const std::string report = info.Report();
    EXPECT_EQ(report.rfind("\nOpenGL Driver Info\n==================\nVendor: V\nVersion: 2.1\n"
                           "Renderer: R\n\nColor Bits(R,G,B,A): (8, 0, 0, 2)\n",
                           0),
              0u);
    EXPECT_NE(report.find("Max Texture Size: 4096x4096\n"), std::string::npos);
    const std::string tail = "Total Number of Extensions: 0\n" + std::string(30, '=') + "\n" +
                             std::string(70, '=') + "\n";
    ASSERT_GE(report.size(), tail.size());
    EXPECT_EQ(report.substr(report.size() - tail.size()), tail);

    testing::internal::CaptureStdout();
    info.Print();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), report + "\n");
}

// A real context under the test display.
TEST(GLInfo, QueryReadsTheCurrentContext)
{
    auto* frame = new wxFrame(nullptr, wxID_ANY, "gl info", wxDefaultPosition, wxSize(200, 200));
    const int attributes[] = {WX_GL_RGBA, WX_GL_DOUBLEBUFFER, WX_GL_DEPTH_SIZE, 16, 0};
    auto* canvas = new wxGLCanvas(frame, wxID_ANY, attributes);
    frame->Show();
    auto context = std::make_unique<wxGLContext>(canvas);
    for (int i = 0; i < 50 && !canvas->IsShownOnScreen(); ++i) wxYield();
    ASSERT_TRUE(canvas->IsShownOnScreen());
    ASSERT_TRUE(canvas->SetCurrent(*context));
    GLInfo info;
    ASSERT_TRUE(info.Query());
    EXPECT_FALSE(info.vendor.empty());
    EXPECT_FALSE(info.version.empty());
    EXPECT_GT(info.maxLights, 7);
    EXPECT_GT(info.depthBits, 0);
    EXPECT_FALSE(info.extensions.empty());
    const size_t count = info.extensions.size();
    EXPECT_TRUE(std::is_sorted(info.extensions.begin(), info.extensions.end()));
    EXPECT_TRUE(info.IsExtensionSupported(info.extensions.front()));
    ASSERT_TRUE(info.Query());
    EXPECT_EQ(info.extensions.size(), count);  // a second query does not double the list
    context.reset();
    delete frame;
}
