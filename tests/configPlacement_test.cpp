#include "configPlacement.h"

#include <gtest/gtest.h>

#include <random>

namespace {

const std::vector<ScreenRect> kOneScreen = {{0, 0, 1920, 1080}};
// Two side by side: summed width 3200, tallest 1200.
const std::vector<ScreenRect> kTwoScreens = {{0, 0, 1920, 1080}, {1920, 0, 1280, 1200}};

WindowPlacement Stored(int x, int y, int w, int h)
{
    WindowPlacement p;
    p.x = x;
    p.y = y;
    p.width = w;
    p.height = h;
    p.maximized = false;
    return p;
}

TEST(ConfigPlacementTest, PositionAndSizeClampedToTheDisplays)
{
    const WindowPlacement fit =
        FitWindowPlacement(Stored(3300, 1300, 4000, 1500), kTwoScreens, 900);
    EXPECT_EQ(fit.x, 50);
    EXPECT_EQ(fit.y, 50);
    EXPECT_EQ(fit.width, 3100);
    EXPECT_EQ(fit.height, 1100);

    // On the second display, inside the limits: kept as stored.
    const WindowPlacement kept = FitWindowPlacement(Stored(2000, 100, 800, 900), kTwoScreens, 900);
    EXPECT_EQ(kept.x, 2000);
    EXPECT_EQ(kept.y, 100);
    EXPECT_EQ(kept.width, 800);
    EXPECT_EQ(kept.height, 900);
    EXPECT_FALSE(kept.maximized);
}

TEST(ConfigPlacementTest, DefaultsOfAFileWithoutPlacement)
{
    const WindowPlacement fit = FitWindowPlacement(WindowPlacement(), kOneScreen, 820);
    EXPECT_EQ(fit.x, 50);
    EXPECT_EQ(fit.y, 50);
    EXPECT_EQ(fit.width, 600);
    EXPECT_EQ(fit.height, 600);
    EXPECT_TRUE(fit.maximized);
}

TEST(ConfigPlacementTest, PositionOffEveryScreenIsBroughtBack)
{
    // At the very right edge (which the size rules let through), far left, far
    // above, and in the gap of two displays that do not touch.
    const std::vector<ScreenRect> gap = {{0, 0, 1000, 800}, {3000, 0, 1000, 800}};
    const struct {
        int x, y;
        const std::vector<ScreenRect>* displays;
    } cases[] = {
        {1920, 10, &kOneScreen}, {-5000, 10, &kOneScreen}, {10, -3000, &kOneScreen},
        {1500, 10, &gap},        {1910, 10, &kOneScreen},
    };
    for (const auto& c : cases) {
        const WindowPlacement fit =
            FitWindowPlacement(Stored(c.x, c.y, 600, 600), *c.displays, 800);
        EXPECT_TRUE(IsCaptionVisible(fit.x, fit.y, 800, *c.displays)) << c.x << "," << c.y;
        EXPECT_EQ(fit.x, 50) << c.x << "," << c.y;
        EXPECT_EQ(fit.y, 50) << c.x << "," << c.y;
    }
    // A display left of the primary one: negative positions on it are kept.
    const std::vector<ScreenRect> leftOfPrimary = {{0, 0, 1920, 1080}, {-1280, 0, 1280, 1024}};
    const WindowPlacement left =
        FitWindowPlacement(Stored(-1200, 40, 600, 600), leftOfPrimary, 800);
    EXPECT_EQ(left.x, -1200);
    EXPECT_EQ(left.y, 40);
}

TEST(ConfigPlacementTest, NoDisplayOrTinyDisplayKeepsAUsableSize)
{
    const WindowPlacement none = FitWindowPlacement(Stored(10, 10, 600, 600), {}, 800);
    EXPECT_GT(none.width, 0);
    EXPECT_GT(none.height, 0);
    const WindowPlacement tiny =
        FitWindowPlacement(Stored(10, 10, 600, 600), {{0, 0, 80, 60}}, 800);
    EXPECT_GT(tiny.width, 0);
    EXPECT_GT(tiny.height, 0);
}

TEST(ConfigPlacementTest, RandomPlacementsAlwaysEndVisible)
{
    const unsigned seed = 20261207;
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> coordinate(-100000, 100000);
    std::uniform_int_distribution<int> extent(1, 5000);
    for (int i = 0; i < 2000; ++i) {
        std::vector<ScreenRect> displays;
        const int count = 1 + i % 3;
        for (int d = 0; d < count; ++d)
            displays.push_back({coordinate(random) / 20, coordinate(random) / 20,
                                100 + extent(random), 100 + extent(random)});
        const WindowPlacement stored =
            Stored(coordinate(random), coordinate(random), extent(random), extent(random));
        const int frameWidth = 200 + extent(random);
        const WindowPlacement fit = FitWindowPlacement(stored, displays, frameWidth);
        ASSERT_TRUE(IsCaptionVisible(fit.x, fit.y, frameWidth, displays))
            << "seed " << seed << " case " << i;
        ASSERT_GT(fit.width, 0) << "seed " << seed << " case " << i;
        ASSERT_GT(fit.height, 0) << "seed " << seed << " case " << i;
    }
}

}  // namespace

namespace {

TEST(ConfigPlacementTest, FirstStartTakesMostOfTheFirstDisplay)
{
    const WindowPlacement first = FirstStartPlacement(kTwoScreens);
    EXPECT_EQ(first.x, 50);
    EXPECT_EQ(first.y, 50);
    EXPECT_EQ(first.width, 1820);
    EXPECT_EQ(first.height, 930);
    EXPECT_FALSE(first.maximized);
    // A small display keeps a smaller margin; no display leaves the defaults.
    const WindowPlacement small = FirstStartPlacement({{10, 20, 320, 240}});
    EXPECT_EQ(small.x, 10 + 30);
    EXPECT_EQ(small.y, 20 + 30);
    EXPECT_EQ(small.width, 320 - 60);
    EXPECT_EQ(small.height, 240 - 30 - 100);
    EXPECT_EQ(FirstStartPlacement({}).width, WindowPlacement().width);
}

TEST(ConfigPlacementTest, ToolbarsWrapIntoRowsThatFit)
{
    EXPECT_EQ(ArrangeToolbarRows({100, 200, 300}, 1000), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(ArrangeToolbarRows({400, 400, 400, 100}, 900), (std::vector<int>{0, 0, 1, 1}));
    // Wider than the space: a row of its own.
    EXPECT_EQ(ArrangeToolbarRows({100, 1200, 100}, 1000), (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(ArrangeToolbarRows({}, 1000).empty());
}

}  // namespace
