#include "process/dailyLog.h"

#include "support/tempDir.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
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
    // "YYYY-MM-DD HH:MM:SS" then a tab and the text.
    auto textOf = [&](const std::string& line) {
        if (line.size() < 20 || line.compare(0, 10, date) != 0 || line[10] != ' ' ||
            line[13] != ':' || line[16] != ':' || line[19] != '\t')
            return std::string("<malformed: ") + line + ">";
        return line.substr(20);
    };
    std::string line;
    ASSERT_TRUE(std::getline(file, line));
    EXPECT_EQ(textOf(line), "first");
    ASSERT_TRUE(std::getline(file, line));
    EXPECT_EQ(textOf(line), "second");
    EXPECT_FALSE(std::getline(file, line));
}

TEST_F(DailyLogTest, MissingFolderIsAFailure)
{
    SetLogDirectory(wxString::FromUTF8(Path("absent").string()));
    EXPECT_FALSE(WriteLog("lost"));
}
