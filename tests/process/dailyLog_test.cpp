#include "process/dailyLog.h"

#include "support/tempDir.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <regex>
#include <string>

using DailyLogTest = TempDirTest;

TEST_F(DailyLogTest, AppendsStampedLinesToTheDaysFile)
{
    SetLogDirectory(wxString::FromUTF8(Dir().string()));
    ASSERT_TRUE(WriteLog("first"));
    ASSERT_TRUE(WriteLog("second"));
    const time_t now = std::time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    std::ifstream file(Path(std::string("qv_log") + date + ".txt"));
    ASSERT_TRUE(file.is_open());
    std::string line;
    const std::regex stamped(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\t(\w+))");
    std::smatch match;
    ASSERT_TRUE(std::getline(file, line));
    ASSERT_TRUE(std::regex_match(line, match, stamped)) << line;
    EXPECT_EQ(match[1], "first");
    ASSERT_TRUE(std::getline(file, line));
    ASSERT_TRUE(std::regex_match(line, match, stamped)) << line;
    EXPECT_EQ(match[1], "second");
}

TEST_F(DailyLogTest, MissingFolderIsAFailure)
{
    SetLogDirectory(wxString::FromUTF8(Path("absent").string()));
    EXPECT_FALSE(WriteLog("lost"));
}
