#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <wx/debug.h>

#include "support/loadedLibraries.h"
#include "support/tempDir.h"

#include <fstream>

TEST(HarnessTest, WxAssertFailsTheTest)
{
    EXPECT_NONFATAL_FAILURE(wxFAIL_MSG("deliberate"), "deliberate");
}

using HarnessDirTest = TempDirTest;

TEST_F(HarnessDirTest, TemporaryDirectoryIsFreshAndWritable)
{
    ASSERT_TRUE(std::filesystem::is_directory(Dir()));
    EXPECT_TRUE(std::filesystem::is_empty(Dir()));
    std::ofstream(Path("probe.txt")) << "x";
    EXPECT_TRUE(std::filesystem::exists(Path("probe.txt")));
}

// The core tests that need no camera start without OpenCV's video stack: a camera
// test goes into video/, which has a program of its own.
TEST(HarnessTest, ProgramLoadsNoCameraLibrary)
{
    EXPECT_FALSE(LoadedLibraries().empty());
    EXPECT_EQ(LoadedCameraLibraries(), std::vector<std::string>());
}
