#include "analog/formatTime.h"

#include <gtest/gtest.h>

namespace {

struct TimeCase {
    double seconds;
    const char* text;
};

TEST(FormatTimeTest, ReadOutTable)
{
    const TimeCase cases[] = {
        {0.0, "0.000 s"},
        {59.9994, "59.999 s"},
        {60.0, "1 mn 0 s 0"},
        {61.25, "1 mn 1 s 25"},
        {61.3, "1 mn 1 s 29"},  // hundredths truncated after the subtraction
        {3600.0, "1 h 0 m 0 s"},
        {3600.0 + 120.0 + 5.5, "1 h 2 m 5 s"},
        {2 * 86400.0 + 5.0, "48 h 0 m 5 s"},
        {-1.5, "-1.500 s"},
    };
    for (const TimeCase& c : cases)
        EXPECT_EQ(FormatTime(c.seconds), c.text) << "seconds " << c.seconds;
}

TEST(FormatTimeTest, AbsurdValuesDoNotOverflow)
{
    EXPECT_FALSE(FormatTime(1e300).empty());
    EXPECT_FALSE(FormatTime(std::numeric_limits<double>::quiet_NaN()).empty());
}

}  // namespace
