#include "analog/colour.h"

#include <gtest/gtest.h>

namespace {

TEST(ColourTest, PaletteOrderAndFallbacks)
{
    EXPECT_EQ(PaletteColour(0), CColour(255, 0, 0));
    EXPECT_EQ(PaletteColour(1), CColour(0, 255, 0));
    EXPECT_EQ(PaletteColour(2), CColour(0, 255, 255));
    EXPECT_STREQ(PaletteName(21), "MIDNIGHT");
    EXPECT_STREQ(PaletteName(44), "BLUE, NAVY");
    EXPECT_STREQ(PaletteName(47), "GOLD");
    // The two names the colour database does not know give yellow.
    EXPECT_EQ(PaletteColour(21), CColour(255, 255, 0));
    EXPECT_EQ(PaletteColour(44), CColour(255, 255, 0));
    for (int i = 0; i < kPaletteSize; ++i) {
        CColour colour;
        const bool known = FindColourByName(PaletteName(i), colour);
        EXPECT_EQ(known, i != 21 && i != 44) << PaletteName(i);
    }
}

TEST(ColourTest, ChannelsPastThePaletteWrapAround)
{
    EXPECT_EQ(PaletteColour(48), PaletteColour(0));
    EXPECT_EQ(PaletteColour(48 + 17), PaletteColour(17));
    EXPECT_EQ(PaletteColour(1000), PaletteColour(1000 % 48));
}

TEST(ColourTest, ParsesTheToolkitTextForms)
{
    CColour c;
    ASSERT_TRUE(ParseColour("red", c));
    EXPECT_EQ(c, CColour(255, 0, 0));
    ASSERT_TRUE(ParseColour("  Light Steel Blue", c));
    EXPECT_EQ(c, CColour(143, 143, 188));
    ASSERT_TRUE(ParseColour("dark slate gray", c));
    EXPECT_EQ(c, CColour(47, 79, 79));
    ASSERT_TRUE(ParseColour("#FF8000", c));
    EXPECT_EQ(c, CColour(255, 128, 0));
    ASSERT_TRUE(ParseColour("#abc", c));
    EXPECT_EQ(c, CColour(170, 187, 204));
    ASSERT_TRUE(ParseColour("rgb(1,2,3)", c));
    EXPECT_EQ(c, CColour(1, 2, 3));
    ASSERT_TRUE(ParseColour("RGB( 300 , 0, 0 )", c));
    EXPECT_EQ(c, CColour(255, 0, 0));
    ASSERT_TRUE(ParseColour("rgba(1, 2, 3, 0.5)", c));
    EXPECT_EQ(c, CColour(1, 2, 3, 128));
}

TEST(ColourTest, RefusesWhatIsNotAColour)
{
    const CColour before(9, 9, 9);
    for (const char* text : {"", "garbage", "MIDNIGHT", "BLUE, NAVY", "#12345", "#1234567",
                             "#ggg", "rgb(1,2)", "rgb(1,2,3", "rgb(1,2,3) x", "rgba(1,2,3,nan)"}) {
        CColour c = before;
        EXPECT_FALSE(ParseColour(text, c)) << text;
        EXPECT_EQ(c, before) << text;
    }
}

TEST(ColourTest, WritesNameOrCssAndReadsItBack)
{
    EXPECT_EQ(ColourToString(CColour(255, 0, 0)), "red");
    EXPECT_EQ(ColourToString(CColour(191, 216, 216)), "light blue");
    EXPECT_EQ(ColourToString(CColour(255, 128, 0)), "rgb(255, 128, 0)");
    EXPECT_EQ(ColourToString(CColour(10, 20, 30, 128)), "rgba(10, 20, 30, 0.502)");
    EXPECT_EQ(ColourToString(CColour()), "");
    for (int i = 0; i < kPaletteSize; ++i) {
        CColour back;
        ASSERT_TRUE(ParseColour(ColourToString(PaletteColour(i)), back)) << i;
        EXPECT_EQ(back, PaletteColour(i)) << i;
    }
    CColour back;
    ASSERT_TRUE(ParseColour(ColourToString(CColour(10, 20, 30, 128)), back));
    EXPECT_EQ(back, CColour(10, 20, 30, 128));
}

}  // namespace
