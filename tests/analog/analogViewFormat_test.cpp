#include "analog/analogViewFormat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <random>
#include <set>
#include <string>
#include <vector>

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
    EXPECT_EQ(FormatViewValue(-0.0000001), "0.0");  // never "-0.0"
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

namespace {

double Parse(const wxString& text)
{
    return std::strtod(text.utf8_str(), nullptr);
}

bool ParsesWhole(const wxString& text)
{
    const std::string s(text.utf8_str());
    char* end = nullptr;
    std::strtod(s.c_str(), &end);
    return !s.empty() && end == s.c_str() + s.size();
}

}  // namespace

// The labels of an axis read back within half a step as the value of their
// line, and no two lines share one, at any scale and offset; never "-0".
TEST(AnalogViewFormatTest, AxisLabelsReadAsTheirLinesAtAnyScale)
{
    std::setlocale(LC_NUMERIC, "C");
    for (int exponent = -12; exponent <= 9; ++exponent) {
        const double scale = std::pow(10.0, exponent);
        for (double low : {-2.0, -0.7, 0.0, 3.1, 1000.0}) {
            for (double span : {4.0, 5.0, 1.0, 0.37, 12.0}) {
                for (int divisions : {2, 3, 7, 10, 20}) {
                    const double top = (low + span) * scale;
                    const double range = span * scale;
                    const double step = range / divisions;
                    const AxisFormat format =
                        ChooseAxisFormat(step, std::max(std::fabs(top), std::fabs(top - range)));
                    wxString previous;
                    for (int j = 0; j <= divisions; ++j) {
                        const double value = top - j * step;
                        const wxString label = FormatAxisValue(value, format);
                        SCOPED_TRACE(testing::Message() << "line " << value << " of " << top
                                                        << " - " << range << " in " << divisions);
                        ASSERT_TRUE(ParsesWhole(label)) << label;
                        EXPECT_LE(std::fabs(Parse(label) - value), step / 2 * (1 + 1e-9)) << label;
                        EXPECT_NE(label, previous);
                        EXPECT_FALSE(label.StartsWith("-") && Parse(label) == 0.0) << label;
                        // Compact at any scale: the digits of the step and its value.
                        EXPECT_LE(label.length(), 12u) << label;
                        previous = label;
                    }
                }
            }
        }
    }
}

// Lines off the step's grid (a constant on an observed range, a range such as
// 0.05 .. 1.05): each label reads as its own line's value, within a twentieth
// of the step, and no two labels of an axis read alike; the same for axes
// running upwards (the parametric x axis) and at offsets where the doubles lie
// further apart than the lines (1e15 +- 1), where only some lines are labelled.
TEST(AnalogViewFormatTest, AxisLabelsReadAsTheirOwnLinesOffTheStepGrid)
{
    std::setlocale(LC_NUMERIC, "C");
    // A constant 7.25 seen over 6.75 .. 7.75 in ten divisions.
    AxisLines lines = ChooseAxisLines(7.75, -0.1, 10);
    EXPECT_EQ(lines.stride, 1);
    const char* constant[] = {"7.65", "7.55", "7.45", "7.35", "7.25",
                              "7.15", "7.05", "6.95", "6.85"};
    for (int j = 1; j < 10; ++j)
        EXPECT_EQ(FormatAxisValue(7.75 - j * 0.1, lines.format), constant[j - 1]);
    lines = ChooseAxisLines(1.05, -0.1, 10);
    EXPECT_EQ(FormatAxisValue(1.05 - 0.1, lines.format), "0.95");
    EXPECT_EQ(FormatAxisValue(1.05 - 9 * 0.1, lines.format), "0.15");
    // On the step's grid nothing changes.
    lines = ChooseAxisLines(1.0, -0.2, 10);
    EXPECT_EQ(FormatAxisValue(0.6, lines.format), "0.6");
    struct Case {
        double first, range;
    } cases[] = {{7.75, 1.0},     {1.05, 1.0},    {-273.15 + 1e-4, 2e-4}, {0.05, 1.0},
                 {1e15 + 1, 2.0}, {-1e12 + 3, 6}, {1e-12 * 0.5, 1e-12},   {9.81 + 0.033, 0.1},
                 {1e15 + 1, 2.5}, {4.5e15, 3.0},  {123.456, 0.3},         {-0.05, 1.0}};
    for (const Case& c : cases) {
        for (int divisions : {2, 4, 5, 8, 10, 20}) {
            for (int direction : {-1, 1}) {
                const double first = direction < 0 ? c.first : c.first - c.range;
                const double step = direction * c.range / divisions;
                lines = ChooseAxisLines(first, step, divisions);
                const double labelled = std::fabs(step) * lines.stride;
                std::set<wxString> seen;
                SCOPED_TRACE(testing::Message() << std::setprecision(17) << first << " by " << step
                                                << " in " << divisions);
                ASSERT_GE(lines.stride, 1);
                for (int j = 0; j <= divisions; j += lines.stride) {
                    const double value = first + j * step;
                    const wxString label = FormatAxisValue(value, lines.format);
                    ASSERT_TRUE(ParsesWhole(label)) << label;
                    // Within a twentieth of the labelled lines' spacing, or
                    // the doubles' own spacing there.
                    const double spacing =
                        std::nextafter(std::fabs(value), 1e300) - std::fabs(value);
                    EXPECT_LE(std::fabs(Parse(label) - value),
                              std::max(labelled / 20, spacing) * (1 + 1e-9))
                        << label;
                    EXPECT_TRUE(seen.insert(label).second) << "repeated " << label;
                }
            }
        }
    }
    // 1e15 +- 1 (doubles 0.125 apart) in ten divisions of 0.2: labelled lines
    // lie at least four doubles apart.
    lines = ChooseAxisLines(1e15 + 1, -0.2, 10);
    EXPECT_EQ(lines.stride, 3);
}

TEST(AnalogViewFormatTest, AxisLabelsOfSmallAndLargeRanges)
{
    std::setlocale(LC_NUMERIC, "C");
    // +-2e-6 in ten divisions, top to bottom.
    AxisFormat format = ChooseAxisFormat(4e-7, 2e-6);
    const char* volts[] = {"1.6e-06", "1.2e-06", "8e-07", "4e-07", "0",
                           "-4e-07",  "-8e-07",  "-1.2e-06", "-1.6e-06"};
    for (int j = 1; j < 10; ++j)
        EXPECT_EQ(FormatAxisValue(2e-6 - j * 4e-7, format), volts[j - 1]);
    format = ChooseAxisFormat(4e5, 2e6);
    EXPECT_EQ(FormatAxisValue(1.6e6, format), "1.6e+06");
    EXPECT_EQ(FormatAxisValue(-4e5, format), "-4e+05");
    // Everyday ranges keep the fixed form with one decimal at least.
    format = ChooseAxisFormat(0.5, 5.0);
    EXPECT_EQ(FormatAxisValue(0.0, format), "0.0");
    EXPECT_EQ(FormatAxisValue(0.5, format), "0.5");
    EXPECT_EQ(FormatAxisValue(5.0, format), "5.0");
    format = ChooseAxisFormat(2.0, 10.0);
    EXPECT_EQ(FormatAxisValue(-8.0, format), "-8.0");
    EXPECT_EQ(FormatAxisValue(-1e-17, format), "0.0");
    format = ChooseAxisFormat(2000.0, 20000.0);
    EXPECT_EQ(FormatAxisValue(16000.0, format), "16000.0");
    // A step of several digits takes one more: 3.75, not 4.0.
    format = ChooseAxisFormat(1.25, 12.5);
    EXPECT_EQ(FormatAxisValue(3.75, format), "3.8");
    EXPECT_EQ(FormatAxisValue(7.5, format), "7.5");
    format = ChooseAxisFormat(1.25e5, 1.25e6);
    EXPECT_EQ(FormatAxisValue(1.25e6, format), "1.25e+06");
    // An offset range keeps all its digits in the shorter fixed form.
    format = ChooseAxisFormat(1.0, 100010.0);
    EXPECT_EQ(FormatAxisValue(100003.0, format), "100003.0");
}

// A shown value keeps its significant digits at any scale and never reads as
// zero unless it is zero.
TEST(AnalogViewFormatTest, ShownValuesKeepTheirDigits)
{
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(FormatShownValue(1.5, 3), "1.500");
    EXPECT_EQ(FormatShownValue(-1.0, 3), "-1.000");
    EXPECT_EQ(FormatShownValue(123.456, 3), "123.456");
    EXPECT_EQ(FormatShownValue(-1e-6, 3), "-1.000e-06");
    EXPECT_EQ(FormatShownValue(1000987.5, 1), "1000987.5");
    EXPECT_EQ(FormatShownValue(7.5, 1), "7.5");
    EXPECT_EQ(FormatShownValue(0.0, 3), "0.000");
    EXPECT_EQ(FormatShownValue(-0.0, 1), "0.0");
    EXPECT_EQ(FormatShownValue(0.05, 3), "0.05000");
    for (int decimals : {1, 3}) {
        for (int exponent = -15; exponent <= 14; ++exponent) {
            for (double mantissa : {1.0, 1.234567, 4.99996, 9.99996, -1.0, -3.533484, -9.87654}) {
                const double value = mantissa * std::pow(10.0, exponent);
                const wxString text = FormatShownValue(value, decimals);
                SCOPED_TRACE(testing::Message() << value << " with " << decimals << " decimals: "
                                                << text);
                ASSERT_TRUE(ParsesWhole(text));
                EXPECT_NE(Parse(text), 0.0);
                // decimals + 1 significant digits at least.
                EXPECT_LE(std::fabs(Parse(text) - value),
                          std::fabs(value) * 0.5 * std::pow(10.0, -decimals) * (1 + 1e-9));
                EXPECT_LE(text.length(), 17u);
            }
        }
    }
}

TEST(AnalogViewFormatTest, MessageFormatTakesTheNumberAsText)
{
    size_t start = 0;
    EXPECT_EQ(NumberAsText("CP Surface %.1f %s^2", &start), "CP Surface %s %s^2");
    EXPECT_EQ(start, 11u);
    EXPECT_EQ(NumberAsText("100%% of %.3f", &start), "100%% of %s");
    EXPECT_EQ(start, 8u);  // "100% of " is eight characters
    EXPECT_EQ(NumberAsText("%s: %.1f", &start), "%s: %s");
    EXPECT_EQ(start, wxString::npos);  // where it lands depends on the name
    EXPECT_EQ(NumberAsText("Skewness %f %d", &start), "Skewness %s %d");
    EXPECT_EQ(start, 9u);
    EXPECT_EQ(NumberAsText("no number", &start), "no number");
    EXPECT_EQ(start, wxString::npos);
}

// Where each label's distinct part starts: a shortened label keeps it.
TEST(AnalogViewFormatTest, DistinctTailsKeepWhatTellsLabelsApart)
{
    std::vector<wxString> labels;
    for (int c = 0; c < 64; ++c)
        labels.push_back(wxString::Format("Channel #%d (cm) ", c));
    std::vector<size_t> starts;
    DistinctTails(labels, starts);
    ASSERT_EQ(starts.size(), 64u);
    for (size_t c = 0; c < 64; ++c)
        EXPECT_EQ(starts[c], 8u) << labels[c];  // "#0", "#1", "#10": the number's word
    DistinctTails({"Force X (N) ", "Force Y (N) ", "Force Z (N) "}, starts);
    EXPECT_EQ(starts, (std::vector<size_t>{6, 6, 6}));
    DistinctTails({"Left plate", "Right plate"}, starts);
    EXPECT_EQ(starts, (std::vector<size_t>{wxString::npos, wxString::npos}));
    DistinctTails({"CH12", "CH13", "CH2"}, starts);
    EXPECT_EQ(starts, (std::vector<size_t>{2, 2, 2}));
    DistinctTails({"Alone"}, starts);
    EXPECT_EQ(starts, (std::vector<size_t>{wxString::npos}));
    // Names that differ only at their start keep their start through the
    // difference (and the rest of its number): no other name starts so.
    std::vector<size_t> heads;
    labels.clear();
    for (int c = 0; c < 64; ++c)
        labels.push_back(wxString::Format("%02d_force_plate_left_rear_sensor_signal", c));
    DistinctTails(labels, starts, &heads);
    ASSERT_EQ(heads.size(), 64u);
    for (size_t c = 0; c < 64; ++c) {
        EXPECT_EQ(starts[c], wxString::npos) << labels[c];
        EXPECT_EQ(heads[c], 2u) << labels[c];
    }
    DistinctTails({"Ax_long_common_name", "Bx_long_common_name", "Cy_long_common_name"}, starts,
                  &heads);
    EXPECT_EQ(heads, (std::vector<size_t>{1, 1, 1}));
    DistinctTails({"abc_tail", "abd_tail", "b_tail"}, starts, &heads);
    EXPECT_EQ(heads, (std::vector<size_t>{3, 3, 1}));
    // Where the distinct part is a later word, the tail is kept instead.
    DistinctTails({"Force X (N) ", "Force Y (N) "}, starts, &heads);
    EXPECT_EQ(heads, (std::vector<size_t>{0, 0}));
    EXPECT_EQ(starts, (std::vector<size_t>{6, 6}));
}

// A value shown on a plot reads within a tenth of the grid step of itself, so
// values a line apart never read alike, at any offset; a short form already
// that precise stays as it was.
TEST(AnalogViewFormatTest, PlotValuesReadToATenthOfTheGridStep)
{
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(FormatPlotValue(1.5, 1.0, 3, 4), "1.500");
    EXPECT_EQ(FormatPlotValue(-4.0, 1.0, 1, 2), "-4.0");
    EXPECT_EQ(FormatPlotValue(-1e-6, 0.4, 3, 4), "-1.000e-06");
    EXPECT_EQ(FormatPlotValue(0.0, 0.001, 3, 4), "0.000");
    EXPECT_EQ(FormatPlotValue(9.81, 0.001, 3, 4), "9.8100");
    EXPECT_EQ(FormatPlotValue(9.8064, 0.001, 1, 2), "9.8064");
    EXPECT_EQ(FormatPlotValue(1000.001, 2e-5, 3, 4), "1000.001000");
    EXPECT_EQ(FormatPlotValue(1e9 + 0.5, 0.2, 3, 4), "1000000000.500");
    EXPECT_EQ(FormatPlotValue(1e9 + 0.5, 0.2, 1, 2), "1000000000.50");
    EXPECT_EQ(FormatPlotValue(2.5e12, 1e6, 3, 4), "2500000000000");
    EXPECT_EQ(FormatPlotValue(2.5e15, 1e9, 3, 4), "2.5000000e+15");
    std::mt19937 random(36);
    const struct {
        double offset, half;
    } signals[] = {{9.81, 0.004},  {1000.001, 1e-4}, {1e9, 1.0},   {-9.81, 0.004},
                   {0.0, 5.0},     {1e-6, 2e-6},     {1e6, 3e6},   {-2.5e12, 1e6},
                   {123.456, 0.05}, {0.3, 1e-7}};
    for (const auto& s : signals) {
        for (int divisions : {1, 4, 10, 20}) {
            const double step = 2.0 * s.half / divisions;
            std::uniform_real_distribution<double> within(s.offset - s.half, s.offset + s.half);
            for (int i = 0; i < 200; ++i) {
                const double value = within(random);
                for (int decimals : {1, 2, 3}) {
                    const wxString text = FormatPlotValue(value, step, decimals, decimals + 1);
                    const wxString next =
                        FormatPlotValue(value + step, step, decimals, decimals + 1);
                    SCOPED_TRACE(testing::Message() << value << " on a step of " << step << ": "
                                                    << text << ", " << next);
                    ASSERT_TRUE(ParsesWhole(text));
                    // A double's own rounding aside.
                    EXPECT_LE(std::fabs(Parse(text) - value),
                              step / 10 + 4e-16 * std::fabs(value));
                    EXPECT_NE(text, next);
                    EXPECT_LE(text.length(), 20u);
                }
            }
        }
    }
}
