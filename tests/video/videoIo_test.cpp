#include "video/videoIo.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>

#include "support/loadedLibraries.h"
#include "support/tempDir.h"
#include "video/frameSource.h"
#include "video/videoFakes.h"

namespace {

bool VideoModuleLoaded()
{
    for (const std::string& path : LoadedLibraries()) {
        if (path.find("libopencv_videoio") != std::string::npos) return true;
    }
    return false;
}

// Taken before any test runs: whichever test opens a video first loads the module.
const bool g_isLoadedAtStart = VideoModuleLoaded();

using VideoIoTest = TempDirTest;

// The camera program starts without OpenCV's video module and its two hundred
// libraries; the first video file opened loads it, and what it writes reads back.
TEST_F(VideoIoTest, VideoModuleIsLoadedByTheFirstVideoOpened)
{
    EXPECT_FALSE(g_isLoadedAtStart);
    const std::string path = Path("loaded.mp4").string();
    ASSERT_TRUE(WriteTestVideo(path, 12, 64, 48, 25.0));
    EXPECT_TRUE(VideoModuleLoaded());
    EXPECT_EQ(VideoIoError(), "");

    const VideoFacts facts = ReadTestVideo(path);
    EXPECT_EQ(facts.frames, 12);
    EXPECT_EQ(facts.width, 64);
    EXPECT_EQ(facts.height, 48);
    EXPECT_DOUBLE_EQ(facts.fps, 25.0);

    COpenCvFrameSource source(path);
    ASSERT_TRUE(source.IsOpened());
    cv::Mat image;
    int frames = 0;
    while (source.Grab() && source.Retrieve(image)) ++frames;
    EXPECT_EQ(frames, 12);
    EXPECT_EQ(VideoFourcc('m', 'p', '4', 'v'), 0x7634706d);  // the bytes in file order
}

}  // namespace
