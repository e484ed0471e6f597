#include "GLcanvas/configDouble.h"

#include <gtest/gtest.h>
#include <wx/fileconf.h>
#include <wx/sstream.h>

#include <clocale>
#include <cstdlib>
#include <memory>
#include <string>

#include "support/tempDir.h"

namespace {

std::unique_ptr<wxFileConfig> MemoryConfig(const wxString& text)
{
    wxStringInputStream input(text);
    return std::make_unique<wxFileConfig>(input);
}

}  // namespace

TEST(ConfigDoubleTest, MissingOrBadEntriesGiveTheDefaultAndNullGivesZero)
{
    auto cfg = MemoryConfig("[Camera]\nLens=2.5\nText=abc\nEmpty=\nNan=nan\nInf=-inf\n");
    EXPECT_EQ(ReadConfigDouble(cfg.get(), "/Camera/Lens", 7.0), 2.5);
    EXPECT_EQ(ReadConfigDouble(cfg.get(), "/Camera/Text", 7.0), 7.0);
    EXPECT_EQ(ReadConfigDouble(cfg.get(), "/Camera/Empty", 7.0), 7.0);
    EXPECT_EQ(ReadConfigDouble(cfg.get(), "/Camera/Missing", 7.0), 7.0);
    // Non-finite text would make a camera or a colour unusable.
    EXPECT_EQ(ReadConfigDouble(cfg.get(), "/Camera/Nan", 7.0), 7.0);
    EXPECT_EQ(ReadConfigDouble(cfg.get(), "/Camera/Inf", 7.0), 7.0);
    EXPECT_EQ(ReadConfigDouble(nullptr, "/Camera/Lens", 7.0), 0.0);
}

using ConfigDoubleLocaleTest = TempDirTest;

// A point-written value reads back under a locale whose decimal separator is a comma.
TEST_F(ConfigDoubleLocaleTest, PointWrittenValuesReadUnderACommaLocale)
{
    // Build a comma locale into the temp directory; skip where the tools are missing.
    const std::string dir = Dir().string();
    const std::string command =
        "localedef -i fr_FR -f UTF-8 '" + dir + "/fr_FR.UTF-8' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << "localedef could not build fr_FR";
    ASSERT_EQ(::setenv("LOCPATH", dir.c_str(), 1), 0);
    if (std::setlocale(LC_NUMERIC, "fr_FR.UTF-8") == nullptr) {
        ::unsetenv("LOCPATH");
        GTEST_SKIP() << "fr_FR locale not available";
    }
    auto cfg = MemoryConfig("[Camera]\nLens=2.5\nSmall=0.25\n");
    const double lens = ReadConfigDouble(cfg.get(), "/Camera/Lens", 7.0);
    const double small = ReadConfigDouble(cfg.get(), "/Camera/Small", 7.0);
    std::setlocale(LC_NUMERIC, "C");
    ::unsetenv("LOCPATH");
    EXPECT_EQ(lens, 2.5);
    EXPECT_EQ(small, 0.25);
}
