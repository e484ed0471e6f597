#include "analog/analogView.h"

#include "viewTestDevice.h"
#include "viewTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

class AnalogViewPaintTest : public ViewGuiTest {
protected:
    CAnalogView* Attach(int w, int h)
    {
        CAnalogView* view = MakeView(w, h);
        view->SetDevice(&m_device);
        return view;
    }
    CViewTestDevice m_device;
};

// Count of pixels in column x, rows [y0, y1), within tolerance of (r, g, b).
int CountInColumn(const wxImage& image, int x, int y0, int y1, int r, int g, int b)
{
    int count = 0;
    for (int y = y0; y < y1; ++y)
        count += std::abs(image.GetRed(x, y) - r) <= 8 && std::abs(image.GetGreen(x, y) - g) <= 8 &&
                 std::abs(image.GetBlue(x, y) - b) <= 8;
    return count;
}

}  // namespace

TEST_F(AnalogViewPaintTest, BackgroundAndBordersOfTheView)
{
    CAnalogView* view = Attach(400, 300);
    view->SetBkColor(wxColour(20, 30, 40));
    view->draw_type = 6;
    wxImage image = Render(*view);
    EXPECT_TRUE(PixelIs(image, 0, 0, 20, 30, 40));
    EXPECT_TRUE(PixelIs(image, 200, 150, 20, 30, 40));
    // Selected among several views: green 2-pixel border.
    view->SetSelected(true, 2);
    image = Render(*view);
    EXPECT_TRUE(PixelIs(image, 0, 150, 0, 255, 0));
    EXPECT_TRUE(PixelIs(image, 5, 150, 20, 30, 40));
    view->SetSelected(true, 1);
    image = Render(*view);
    EXPECT_TRUE(PixelIs(image, 0, 150, 20, 30, 40));
    // Recording: red 7-pixel border, whatever the selection.
    view->SetSelected(true, 2);
    m_device.SetRecordingName("trial.qvd");
    image = Render(*view);
    EXPECT_TRUE(PixelIs(image, 1, 150, 255, 0, 0));
    EXPECT_TRUE(PixelIs(image, 200, 2, 255, 0, 0));
    EXPECT_TRUE(PixelIs(image, 200, 150, 20, 30, 40));
}

TEST_F(AnalogViewPaintTest, ViewWithoutDeviceDrawsNothing)
{
    CAnalogView* view = MakeView(200, 200);
    const wxImage image = Render(*view);
    EXPECT_TRUE(PixelIs(image, 100, 100, 1, 2, 3));
}

TEST_F(AnalogViewPaintTest, ZeroLineFollowsTheDeviceRange)
{
    m_device.SetVisibleChannels({0});
    CAnalogView* view = Attach(600, 430);  // plot 100..400, H = 300
    view->grad_y = 1;
    m_device.StepWith({9.0});
    const int x = 100;
    m_device.SetRange(-10, 10);
    wxImage image = Render(*view);
    EXPECT_GT(CountInColumn(image, x, 248, 253, 0, 255, 0), 0);  // middle: y0 = 250
    m_device.SetRange(0, 10);
    image = Render(*view);
    EXPECT_GT(CountInColumn(image, x, 397, 403, 0, 255, 0), 0);  // bottom edge
    m_device.SetRange(5, 10);
    image = Render(*view);
    EXPECT_EQ(CountInColumn(image, x, 100, 400, 0, 255, 0), 0);  // below the plot
}

TEST_F(AnalogViewPaintTest, NormalAndStripEdgeCasesDrawWithoutAsserts)
{
    CAnalogView* view = Attach(700, 450);
    m_device.Steps(3);
    const struct {
        int type, w, h, gradX, gradY;
        bool poly, gradient;
    } cases[] = {
        {0, 700, 450, 10, 10, false, true}, {1, 700, 450, 10, 10, false, true},
        {0, 700, 450, 0, 0, true, true},    {1, 700, 450, 0, 0, true, false},
        {0, 60, 40, 10, 10, true, true},    {1, 20, 300, 10, 10, false, true},
        {3, 700, 450, 10, 10, false, true}, {9, 700, 450, 10, 10, false, true},
        {-1, 700, 450, 10, 10, true, true}, {1, 700, 131, 10, 10, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " size " << c.w << "x" << c.h);
        view->SetSize(c.w, c.h);
        view->draw_type = c.type;
        view->grad_x = c.gradX;
        view->grad_y = c.gradY;
        view->draw_poly = c.poly;
        view->draw_poly_gradient = c.gradient;
        Render(*view);
    }
    // Parametric with one visible channel is the normal mode.
    view->SetSize(700, 450);
    view->grad_x = view->grad_y = 10;
    view->draw_poly = false;
    m_device.SetVisibleChannels({2});
    m_device.Steps(5);
    view->draw_type = 0;
    const wxImage normal = Render(*view);
    view->draw_type = 3;
    const wxImage parametric = Render(*view);
    EXPECT_EQ(0, memcmp(normal.GetData(), parametric.GetData(), 700 * 450 * 3));
}

TEST_F(AnalogViewPaintTest, ConstantSignalAndNotANumberStayDrawable)
{
    m_device.SetVisibleChannels({0, 1});
    m_device.SetRange(0, 0);
    CAnalogView* view = Attach(500, 400);
    for (int i = 0; i < 20; ++i)
        m_device.StepWith({3.0, 3.0});
    Render(*view);
    view->draw_type = 2;
    Render(*view);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    m_device.SetRange(-10, 10);
    for (int i = 0; i < 20; ++i)
        m_device.StepWith({i == 10 ? nan : 1.0, std::sin(i * 0.5)});
    m_device.StepWith({nan, nan});
    for (int type : {0, 1, 2, 3, 4, 5}) {
        view->draw_type = type;
        view->draw_poly = type == 1;
        view->ResetBuffers();
        for (int i = 0; i < 20; ++i)
            m_device.StepWith({i == 10 ? nan : 1.0, std::sin(i * 0.5)});
        Render(*view);
    }
}

TEST_F(AnalogViewPaintTest, CurvesOfTheTestDeviceInNormalAndStripModes)
{
    CAnalogView* view = Attach(900, 560);
    m_device.Steps(200);  // 8 s at 25 Hz: the 5 s window has filled and scrolls
    wxImage image = Render(*view);
    Save(image, "view_normal.png");
    // Legend in the right margin, in the channel colours: red for channel 0.
    bool redLegend = false;
    for (int y = 100; y < 140 && !redLegend; ++y)
        for (int x = 806; x < 880 && !redLegend; ++x)
            redLegend = PixelIs(image, x, y, 255, 0, 0, 40);
    EXPECT_TRUE(redLegend);
    view->draw_type = 1;
    view->draw_poly = true;
    image = Render(*view);
    Save(image, "view_strip.png");
    view->draw_type = 0;
    view->draw_poly = true;
    view->draw_poly_gradient = true;
    Save(Render(*view), "view_normal_fill.png");
}

TEST_F(AnalogViewPaintTest, CurvesGrowFromTheLeftBeforeTheWindowFills)
{
    m_device.SetVisibleChannels({0});
    m_device.SetRange(-10, 10);
    CAnalogView* view = Attach(600, 430);
    view->grad_y = 1;
    for (int i = 0; i < 25; ++i)  // 1 s of a constant 5
        m_device.StepWith({5.0});
    const wxImage image = Render(*view);
    // x of the newest point: 51.5 + 24/25 s x (450/5) px/s = 137.9; y = 250 - 5 x 15 = 175.
    EXPECT_TRUE(PixelIs(image, 100, 175, 255, 0, 0, 40));
    EXPECT_FALSE(PixelIs(image, 300, 175, 255, 0, 0, 40));
}
