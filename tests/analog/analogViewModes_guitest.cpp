#include "analog/analogView.h"

#include "analog/analogViewFormat.h"
#include "dsp/cpStat.h"
#include "viewTestDevice.h"
#include "viewTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

class AnalogViewModesTest : public ViewGuiTest {
protected:
    CAnalogView* Attach(int w, int h, int drawType)
    {
        CAnalogView* view = MakeView(w, h);
        view->draw_type = drawType;
        view->SetDevice(&m_device);
        return view;
    }
    CViewTestDevice m_device;
};

bool IsNear(const wxImage& image, int x, int y, const wxColour& colour, int tolerance = 30)
{
    return std::abs(image.GetRed(x, y) - colour.Red()) <= tolerance &&
           std::abs(image.GetGreen(x, y) - colour.Green()) <= tolerance &&
           std::abs(image.GetBlue(x, y) - colour.Blue()) <= tolerance;
}

// A pixel touched by the magenta outline, anti-aliased fringe included.
bool IsOutline(const wxImage& image, int x, int y)
{
    const int r = image.GetRed(x, y), g = image.GetGreen(x, y), b = image.GetBlue(x, y);
    return r > 40 && b > 40 && g * 2 < r;
}

wxColour MapColour(double value)
{
    const std::uint32_t packed = CAnalogView::ValueToColour(value);
    return wxColour(packed & 0xff, (packed >> 8) & 0xff, (packed >> 16) & 0xff);
}

bool SamePixels(const wxImage& a, const wxImage& b)
{
    return a.GetSize() == b.GetSize() &&
           std::memcmp(a.GetData(), b.GetData(), static_cast<size_t>(a.GetWidth()) *
                                                     static_cast<size_t>(a.GetHeight()) * 3) == 0;
}

}  // namespace

TEST_F(AnalogViewModesTest, BarsStandAtTheirCentresOnTheZeroLine)
{
    m_device.SetVisibleChannels({0, 1, 2, 3, 4});
    CAnalogView* view = Attach(1000, 530, 2);  // H = 400, zero line at 300
    view->grad_y = 1;
    m_device.StepWith({3.0, -3.0, 3.0, 3.0, 3.0});
    const wxImage image = Render(*view);
    Save(image, "view_bars.png");
    // Red bar of channel 0 rises at x = 200 to y = 300 - 3 x 40 = 180.
    EXPECT_TRUE(IsNear(image, 200, 184, wxColour(255, 0, 0), 40));
    EXPECT_TRUE(IsNear(image, 200 - 14, 250, wxColour(255, 0, 0), 140));
    EXPECT_FALSE(IsNear(image, 200, 170, wxColour(255, 0, 0), 60));
    // Green bar of channel 1 hangs below the zero line at x = 350.
    EXPECT_TRUE(IsNear(image, 350, 416, wxColour(0, 255, 0), 40));
    EXPECT_FALSE(IsNear(image, 350, 250, wxColour(0, 255, 0), 60));
    // Bar width 30: nothing of the bar 20 pixels off its centre.
    EXPECT_FALSE(IsNear(image, 200 + 20, 200, wxColour(255, 0, 0), 60));
}

TEST_F(AnalogViewModesTest, EveryModeDrawsItsEdgeCasesWithoutAsserts)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    CAnalogView* view = Attach(600, 400, 2);
    const struct {
        int w, h;
    } sizes[] = {{600, 400}, {400, 600}, {1, 1}, {90, 90}, {160, 140}, {210, 210}};
    for (int type : {2, 3, 4, 5}) {
        for (int variant = 0; variant < 4; ++variant) {
            SCOPED_TRACE(testing::Message() << "type " << type << " variant " << variant);
            m_device.SetRange(variant == 1 ? 0 : -5, variant == 1 ? 0 : 5);
            view->draw_type = type;
            view->grad_x = variant == 2 ? 0 : 10;
            view->grad_y = variant == 2 ? 0 : 10;
            view->dsp_max_rate = variant == 3 ? 1000.0 : 5.0;
            view->dsp_use_stat = variant == 3;
            view->SetSize(600, 400);
            view->ResetBuffers();
            Render(*view);  // empty history, no spectrum yet
            for (int i = 0; i < 30; ++i) {
                const double v = variant == 1 ? 2.0 : (variant == 3 && i % 7 == 0 ? nan : std::sin(i * 0.3));
                m_device.StepWith({v, -v, 0.0, v, 1.0, 0.0, v, v});
            }
            for (const auto& size : sizes) {
                view->SetSize(size.w, size.h);
                Render(*view);
            }
        }
    }
    // All newest values 0: the empty circle; a pie of zero total.
    view->draw_type = 4;
    view->SetSize(600, 400);
    m_device.StepWith({0, 0, 0, 0, 0, 0, 0, 0});
    Render(*view);
}

TEST_F(AnalogViewModesTest, PieSectorsFollowTheAbsoluteValues)
{
    m_device.SetVisibleChannels({0, 1, 2});
    // d = 400, centre (500, 300): clear of the legend at the left.
    CAnalogView* view = Attach(1000, 600, 4);
    m_device.StepWith({1.0, -1.0, 2.0});
    const wxImage image = Render(*view);
    Save(image, "view_pie.png");
    // 90 degrees of red (top right), 90 of green (top left), 180 of cyan (bottom).
    EXPECT_TRUE(IsNear(image, 500 + 120, 300 - 60, wxColour(255, 0, 0)));
    EXPECT_TRUE(IsNear(image, 500 - 120, 300 - 60, wxColour(0, 255, 0)));
    EXPECT_TRUE(IsNear(image, 500 + 60, 300 + 120, wxColour(0, 255, 255)));
    EXPECT_TRUE(IsNear(image, 500 - 60, 300 + 120, wxColour(0, 255, 255)));
    EXPECT_TRUE(IsNear(image, 500, 300 + 190, wxColour(0, 255, 255)));
    EXPECT_FALSE(IsNear(image, 500, 300 + 210, wxColour(0, 255, 255)));
}

TEST_F(AnalogViewModesTest, BoardQuadrantsShowEachShareOfTheLoad)
{
    m_device.SetPath("wiiboard_00:11:22");
    m_device.SetVisibleChannels({0, 1, 2, 3});
    CAnalogView* view = Attach(800, 600, 4);  // board 600 x 400, centre (350, 300)
    m_device.StepWith({40.0, 30.0, 20.0, 10.0});
    const wxImage image = Render(*view);
    Save(image, "view_board.png");
    ASSERT_NE(view->GetScaleBitmap(), nullptr);
    EXPECT_TRUE(IsNear(image, 350 + 10, 100 + 10, MapColour(0.6), 3));  // 0: top right, 40 %
    EXPECT_TRUE(IsNear(image, 50 + 10, 100 + 10, MapColour(0.7), 3));   // 1: top left, 30 %
    EXPECT_TRUE(IsNear(image, 50 + 10, 300 + 10, MapColour(0.8), 3));   // 2: bottom left
    EXPECT_TRUE(IsNear(image, 350 + 10, 300 + 10, MapColour(0.9), 3));  // 3: bottom right
    // The scale beside the board: red at the top, nearly blue at the bottom.
    EXPECT_TRUE(IsNear(image, 725, 104, wxColour(255, 0, 0), 20));
    EXPECT_TRUE(IsNear(image, 725, 496, MapColour(0.99), 40));
}

TEST_F(AnalogViewModesTest, BoardWithoutLoadShowsZeroInTheNoLoadColour)
{
    m_device.SetPath("wiiboard_00:11:22");
    m_device.SetVisibleChannels({0, 1, 2, 3});
    CAnalogView* view = Attach(800, 600, 4);
    m_device.StepWith({0.0, 0.0, 0.0, 0.0});
    const wxImage image = Render(*view);
    for (const wxPoint& p : {wxPoint(360, 110), wxPoint(60, 110), wxPoint(60, 310), wxPoint(360, 310)})
        EXPECT_TRUE(IsNear(image, p.x, p.y, MapColour(0.99), 3)) << p.x << "," << p.y;
}

TEST_F(AnalogViewModesTest, BoardPathWithThreeChannelsIsAnOrdinaryPie)
{
    m_device.SetPath("wiiboard_00:11:22");
    m_device.SetVisibleChannels({0, 1, 2});
    CAnalogView* view = Attach(800, 600, 4);
    m_device.StepWith({1.0, 1.0, 1.0});
    Render(*view);
    EXPECT_EQ(view->GetScaleBitmap(), nullptr);
}

TEST_F(AnalogViewModesTest, ParametricCentresAnAsymmetricRange)
{
    m_device.SetVisibleChannels({0, 1});
    m_device.SetRange(0, 0);  // the observed range, 2 .. 6, is used
    CAnalogView* view = Attach(650, 530, 3);
    m_device.StepWith({2.0, 2.0});
    m_device.StepWith({6.0, 6.0});
    m_device.StepWith({4.0, 4.0});
    const wxImage image = Render(*view);
    Save(image, "view_parametric_observed.png");
    // The newest point (4, 4) is the middle of the range: the centre of the square.
    // (Probed beside the cross-hair through its centre.)
    EXPECT_TRUE(IsNear(image, 322, 262, wxColour(255, 255, 0), 30));
    EXPECT_TRUE(IsNear(image, 328, 268, wxColour(255, 255, 0), 30));
}

TEST_F(AnalogViewModesTest, ConfidenceEllipseSpansBothFullAxes)
{
    m_device.SetVisibleChannels({6, 7});  // the CP channels: x and y of the plot
    m_device.SetCPStat(true, 20.0);       // 500 samples at 25 Hz
    // The square over -5 .. 5 leaves room for the statistics at its right.
    CAnalogView* view = Attach(900, 530, 3);
    view->SetFrameColor(wxColour(255, 0, 255));
    view->SetAnalogColor(wxColour(0, 0, 0));  // trail and texts invisible on the background
    view->grad_x = view->grad_y = 1;
    for (int i = 0; i < 500; ++i) {
        const double x = 1.0 * std::sin(i * 0.37);
        const double y = 0.5 * std::sin(i * 0.91) + 0.3 * x;
        m_device.StepWith({0, 0, 0, 0, 0, 0, x, y});
    }
    const CCPStat::Results cp = view->GetData().CPStat().GetResults();
    ASSERT_EQ(cp.count, 500);
    ASSERT_GT(cp.a, 0.0);
    ASSERT_GT(cp.b, 0.0);
    const wxImage image = Render(*view);
    Save(image, "view_ellipse.png");
    // The square's 3-pixel frame, found on the middle row and column.
    int left = -1, right = -1, top = -1, bottom = -1;
    for (int x = 0; x < image.GetWidth() && left < 0; ++x)
        if (IsOutline(image, x, 265)) left = x + 1;
    for (int x = image.GetWidth() - 1; x >= 0 && right < 0; --x)
        if (IsOutline(image, x, 265)) right = x - 1;
    const int middle = (left + right) / 2;
    for (int y = 0; y < image.GetHeight() && top < 0; ++y)
        if (IsOutline(image, left + 10, y)) top = y + 1;
    for (int y = image.GetHeight() - 1; y >= 0 && bottom < 0; --y)
        if (IsOutline(image, left + 10, y)) bottom = y - 1;
    ASSERT_GT(right - left, 100);
    EXPECT_NEAR(bottom - top, right - left, 1);
    // Extent of the outline inside the square (the square's frame excluded).
    int minX = 10000, maxX = -1, minY = 10000, maxY = -1;
    for (int y = top + 5; y < bottom - 5; ++y)
        for (int x = left + 5; x < right - 5; ++x)
            if (IsOutline(image, x, y)) {
                minX = std::min(minX, x);
                maxX = std::max(maxX, x);
                minY = std::min(minY, y);
                maxY = std::max(maxY, y);
            }
    ASSERT_LT(minX, maxX);
    const double scale = (right - left) / 10.0;
    const double halfW = scale * cp.b;  // along the slope direction
    const double halfH = scale * cp.a;
    const double angle = -std::atan(cp.slope);
    const double halfX = std::hypot(halfW * std::cos(angle), halfH * std::sin(angle));
    const double halfY = std::hypot(halfW * std::sin(angle), halfH * std::cos(angle));
    // The 2-pixel outline reaches a pixel beyond the ellipse on each side;
    // its anti-aliased fringe up to one more. The scale, read off the frame,
    // may be a pixel in 400 off.
    EXPECT_NEAR(maxX - minX + 1 - 3, 2 * halfX, 1.5);
    EXPECT_NEAR(maxY - minY + 1 - 3, 2 * halfY, 1.5);
    const double centreX = middle + scale * cp.meanX;
    EXPECT_NEAR((minX + maxX) / 2.0, centreX, 1.5);
}

TEST_F(AnalogViewModesTest, TestDeviceInCentreOfPressureMode)
{
    m_device.SetVisibleChannels({6, 7});
    m_device.SetCPStat(true, 10.0);
    CAnalogView* view = Attach(900, 600, 3);
    m_device.Steps(400);
    Save(Render(*view), "view_parametric.png");
}

TEST_F(AnalogViewModesTest, SpectraOfTheTestDevice)
{
    m_device.SetRateHz(100.0);
    CAnalogView* view = MakeView(1000, 640);
    view->draw_type = 5;
    view->dsp_size = 256;
    view->dsp_use_stat = true;
    view->SetDevice(&m_device);
    m_device.Steps(300);
    const wxImage image = Render(*view);
    Save(image, "view_spectra.png");
    // 8 channels, landscape: 3 x 3 cells of 333 x 213; channel 0 is red and its
    // bars rise from the bottom of its plot.
    int red = 0;
    for (int x = 30; x < 300; ++x)
        red += image.GetRed(x, 213 - 33) > 100 && image.GetGreen(x, 213 - 33) < 60 &&
                       image.GetBlue(x, 213 - 33) < 60
                   ? 1
                   : 0;
    EXPECT_GT(red, 0);
}

// The trail's layer is kept between paints and only the new rows are added:
// the picture must be the one a drawing from scratch gives (a pen colour
// change and back forces that), while the history fills and after it scrolled.
TEST_F(AnalogViewModesTest, ParametricTrailDrawnInStepsLooksAsDrawnAtOnce)
{
    m_device.SetVisibleChannels({6, 7});
    m_device.SetCPStat(true, 20.0);  // a history of 500 rows at 25 Hz
    CAnalogView* view = Attach(650, 530, 3);
    int row = 0;
    auto steps = [&](int count) {
        for (int i = 0; i < count; ++i, ++row) {
            const double x = 3.0 * std::sin(row * 0.05) + 0.3 * std::sin(row * 1.3);
            const double y = 3.0 * std::cos(row * 0.031);
            m_device.StepWith({0, 0, 0, 0, 0, 0, x, y});
        }
    };
    auto fresh = [&] {
        view->SetAnalogColor(wxColour(0, 200, 0));
        Render(*view);
        view->SetAnalogColor(wxColour(255, 255, 0));
        return Render(*view);
    };
    view->SetAnalogColor(wxColour(255, 255, 0));
    steps(40);
    Render(*view);
    for (int i = 0; i < 6; ++i) {
        steps(i == 3 ? 1 : 37);  // also a step within one pixel
        Render(*view);
    }
    steps(20);
    const wxImage stepped = Render(*view);
    const wxImage whole = fresh();
    ASSERT_TRUE(SamePixels(stepped, whole)) << "while filling";
    // The history is full and scrolls: rows that left it are not drawn.
    steps(500 - row + 200);
    Render(*view);
    steps(100);
    const wxImage scrolled = Render(*view);
    ASSERT_TRUE(SamePixels(scrolled, fresh())) << "after scrolling";
}
