#include "analog/analogViewFormat.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>

namespace {

struct Rgb {
    int r, g, b;
};

Rgb Unpack(std::uint32_t packed)
{
    return {static_cast<int>(packed & 0xff), static_cast<int>((packed >> 8) & 0xff),
            static_cast<int>((packed >> 16) & 0xff)};
}

}  // namespace

TEST(AnalogViewFormatTest, ValueTextDropsTrailingZerosKeepingOneDigit)
{
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(FormatViewValue(1.5), "1.5");
    EXPECT_EQ(FormatViewValue(2.0), "2.0");
    EXPECT_EQ(FormatViewValue(-0.25), "-0.25");
    EXPECT_EQ(FormatViewValue(100.0), "100.0");
    EXPECT_EQ(FormatViewValue(0.000001), "0.000001");
    EXPECT_EQ(FormatViewValue(0.0), "0.0");
    EXPECT_EQ(FormatViewValue(-8.0), "-8.0");
}

TEST(AnalogViewFormatTest, ColourMapRunsRedYellowGreenCyanBlueMagenta)
{
    const struct {
        double value;
        Rgb rgb;
    } table[] = {
        {0.0, {255, 0, 0}},   {0.25, {255, 255, 0}}, {0.5, {0, 255, 0}},
        {0.75, {0, 255, 255}}, {1.0, {0, 0, 255}},    {1.25, {255, 0, 255}},
        {1.5, {0, 0, 0}},     {7.0, {0, 0, 0}},      {0.1, {255, 102, 0}},
    };
    for (const auto& row : table) {
        const Rgb rgb = Unpack(ValueToColourRgb(row.value));
        EXPECT_EQ(rgb.r, row.rgb.r) << row.value;
        EXPECT_EQ(rgb.g, row.rgb.g) << row.value;
        EXPECT_EQ(rgb.b, row.rgb.b) << row.value;
    }
    EXPECT_EQ(ValueToColourRgb(0.0), 0x0000ffu);  // red in the low byte
}

TEST(AnalogViewFormatTest, ColourMapClampsOutOfRangeInput)
{
    // Negative values, NaN and huge values stay defined (no overflow).
    EXPECT_EQ(ValueToColourRgb(-0.1), ValueToColourRgb(0.0));
    EXPECT_EQ(ValueToColourRgb(-1e300), ValueToColourRgb(0.0));
    EXPECT_EQ(ValueToColourRgb(std::nan("")), ValueToColourRgb(0.0));
    EXPECT_EQ(ValueToColourRgb(1e300), 0u);
}

TEST(AnalogViewFormatTest, BatteryIconFollowsLevelThresholds)
{
    const struct {
        int level, icon;
    } table[] = {{100, 5}, {81, 5}, {80, 4}, {71, 4}, {70, 3}, {51, 3}, {50, 2},
                 {31, 2},  {30, 1}, {16, 1}, {15, 0}, {0, 0},  {-5, 0}};
    for (const auto& row : table)
        EXPECT_EQ(BatteryIconIndex(row.level), row.icon) << row.level;
}

TEST(AnalogViewFormatTest, MarkerLabelsFadeOverTheWindow)
{
    EXPECT_EQ(MarkerWindowSamples(100.0), 30);
    EXPECT_EQ(MarkerWindowSamples(25.0), 8);  // 7.5 rounds up
    EXPECT_EQ(MarkerLightness(0, 30), 100);
    EXPECT_EQ(MarkerLightness(15, 30), 50);
    EXPECT_EQ(MarkerLightness(30, 30), 0);
    EXPECT_EQ(MarkerLightness(-30, 30), 200);
    EXPECT_EQ(MarkerLightness(31, 30), -1);
    EXPECT_EQ(MarkerLightness(-31, 30), -1);
}

TEST(AnalogViewFormatTest, MarkerWindowBelowFiveThirdsHertzShowsOnlyTheNewest)
{
    EXPECT_EQ(MarkerWindowSamples(1.0), 0);
    EXPECT_EQ(MarkerWindowSamples(0.0), 0);
    EXPECT_EQ(MarkerLightness(0, 0), 100);  // no division by zero
    EXPECT_EQ(MarkerLightness(1, 0), -1);
}

TEST(AnalogViewFormatTest, SevenModeNamesInDrawTypeOrder)
{
    wxArrayString names;
    names.Add("stale");
    ViewDrawTypeNames(names);
    ASSERT_EQ(names.size(), 7u);
    EXPECT_EQ(names[0], "Normal Mode");
    EXPECT_EQ(names[1], "Strip Mode");
    EXPECT_EQ(names[2], "Bar Mode");
    EXPECT_EQ(names[3], "Parametric Mode");
    EXPECT_EQ(names[4], "Pie Chart Mode");
    EXPECT_EQ(names[5], "Power Spectral Density");
    EXPECT_EQ(names[6], "None");
}
