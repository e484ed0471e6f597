#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <wx/debug.h>

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
