#include "analog/analogViewLayout.h"
#include "analog/analogViewPlacement.h"

#include <gtest/gtest.h>

#include <vector>

TEST(AnalogViewPlacementTest, PlacerRefusesOverlapsAndTheViewsEdge)
{
    CTextPlacer placer;
    placer.Reset(100, 50);
    EXPECT_TRUE(placer.Place({10, 10, 20, 10}));
    EXPECT_FALSE(placer.Place({25, 15, 20, 10}));  // overlaps the first
    EXPECT_TRUE(placer.Place({30, 10, 20, 10}));   // touches it only
    EXPECT_FALSE(placer.Place({90, 30, 20, 10}));  // past the right edge
    EXPECT_FALSE(placer.Place({0, -1, 5, 5}));     // above the top
    EXPECT_FALSE(placer.Place({52, 10, 10, 10}, 3));  // too close with a gap of 3
    placer.Reset(100, 50);
    EXPECT_TRUE(placer.Place({25, 15, 20, 10}));  // a new paint starts empty
}

TEST(AnalogViewPlacementTest, TagsMoveApartInsideTheirRange)
{
    std::vector<int> tops;
    std::vector<bool> shown;
    // Three tags wanting the same place, one near the bottom limit.
    SpreadTags({100, 100, 100, 195}, 10, 90, 200, tops, shown);
    ASSERT_EQ(tops.size(), 4u);
    for (size_t i = 0; i < tops.size(); ++i) {
        EXPECT_TRUE(shown[i]);
        EXPECT_GE(tops[i], 90);
        EXPECT_LE(tops[i] + 10, 200);
        for (size_t j = i + 1; j < tops.size(); ++j)
            EXPECT_GE(std::abs(tops[i] - tops[j]), 10) << i << " " << j;
    }
    // More tags than room: those that fit are shown, apart.
    SpreadTags(std::vector<int>(20, 50), 10, 0, 55, tops, shown);
    int count = 0;
    for (bool s : shown) count += s ? 1 : 0;
    EXPECT_EQ(count, 5);
}

TEST(AnalogViewPlacementTest, LabelsThinAndLegendsFold)
{
    EXPECT_EQ(LabelStep(40.0, 30, 6), 1);
    EXPECT_EQ(LabelStep(20.0, 30, 6), 2);
    EXPECT_EQ(LabelStep(10.0, 30, 6), 4);
    // Two text heights per line while they fit, then closer, then columns.
    EXPECT_EQ(ComputeLegendLayout(4, 10, 100, 200).spacing, 20);
    const LegendLayout close = ComputeLegendLayout(8, 10, 100, 200);
    EXPECT_GE(close.spacing, 11);
    EXPECT_LE(close.spacing * 7 + 10, 100);
    EXPECT_EQ(close.columns, 1);
    const LegendLayout folded = ComputeLegendLayout(30, 10, 100, 200);
    EXPECT_EQ(folded.spacing, 11);
    EXPECT_GT(folded.columns, 1);
    EXPECT_LE((folded.rows - 1) * folded.spacing + 10, 100);
    EXPECT_GE(folded.rows * folded.columns, 30);
}

// Bin b of an N-point transform lies at b x rate / N.
TEST(AnalogViewPlacementTest, SpectrumBinsLieAtTheirFrequency)
{
    EXPECT_DOUBLE_EQ(SpectrumBinFrequency(4, 100.0, 10), 40.0);
    EXPECT_DOUBLE_EQ(SpectrumBinFrequency(100, 100.0, 250), 40.0);
    EXPECT_EQ(SpectrumBinsShown(6, 10, 50.0, 100.0), 6);
    EXPECT_EQ(SpectrumBinsShown(6, 10, 20.0, 100.0), 3);  // 0, 10 and 20 Hz
    const double spectrum[] = {0.1, 0.5, 0.2, 0.9, 0.9};
    EXPECT_EQ(SpectrumPeakBin(spectrum, 5), 3);
    EXPECT_EQ(SpectrumPeakBin(spectrum, 3), 1);  // searched among the shown bins only
}
