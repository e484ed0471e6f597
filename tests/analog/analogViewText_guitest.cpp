// The texts of the 2D view in every display mode: none is drawn over another
// or past the view's edge, at the sizes lab screens use and with few or many
// channels; the spectrum's peak label names the right frequency; the
// parametric statistics name the channels they come from.
#include "analog/analogView.h"

#include "analog/analogDevice.h"
#include "analog/analogViewPlacement.h"
#include "analog/analogViewFormat.h"
#include "viewTestDevice.h"
#include "viewTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.141592653589793;

// An analog device with any number of channels, named and with a unit, fed
// by the test; its centre-of-pressure statistics come from its last two
// channels.
class CLayoutDevice : public CAnalogDevice {
public:
    CLayoutDevice(int channels, double rateHz) : CAnalogDevice(false)
    {
        m_channelCount = channels;
        m_dim = 1;
        m_rate = rateHz;
        m_minValue = -5.0;
        m_maxValue = 5.0;
        m_deviceName = m_deviceKey = "Layout device";
        InitChannels();
        for (int c = 0; c < channels; ++c)
            SetChannelUnit(c, "cm");
        UpdateVisibleList();
        m_ready = true;
        m_showCPStat = 1;
        m_cpStatTime = 5.0;
    }
    ~CLayoutDevice() override { Close(); }
    int GetCPXIndex() const override { return m_channelCount >= 2 ? m_channelCount - 2 : -1; }
    int GetCPYIndex() const override { return m_channelCount >= 2 ? m_channelCount - 1 : -1; }
    void SetPath(const wxString& path) { m_devicePath = path; }

    void Step(const std::vector<double>& values)
    {
        for (int c = 0; c < m_channelCount; ++c)
            m_values[c] = values[static_cast<size_t>(c)];
        DispatchFrame();
        CountSample();
    }
    // Rows of distinct sines, one per channel, inside the device's range.
    void Sines(int rows)
    {
        std::vector<double> values(static_cast<size_t>(m_channelCount));
        for (int i = 0; i < rows; ++i, ++m_row) {
            const double t = m_row / m_rate;
            for (int c = 0; c < m_channelCount; ++c)
                values[static_cast<size_t>(c)] =
                    (4.0 - 0.1 * c) * std::sin(2 * kPi * (1.5 + 0.7 * c) * t + c);
            // Markers in the history, two close together, and one near the
            // newest row (its label shows in the modes without a time axis).
            if (m_row % 150 == 149 || m_row % 150 == 152 || m_row % 700 == 690)
                AddMarker(1, static_cast<uint32_t>(m_row),
                          wxString::Format("Marker %ld", m_row), false);
            Step(values);
        }
    }

private:
    long m_row = 0;
};

class AnalogViewTextTest : public ViewGuiTest {
protected:
    // Draws the view and lists every text it drew.
    std::vector<CViewText::Drawn> DrawnTexts(CAnalogView& view, wxImage* image = nullptr)
    {
        std::vector<CViewText::Drawn> drawn;
        view.RecordTexts(&drawn);
        const wxImage picture = Render(view);
        view.RecordTexts(nullptr);
        if (image)
            *image = picture;
        return drawn;
    }

    static void ExpectApartAndInside(const std::vector<CViewText::Drawn>& drawn, int w, int h)
    {
        for (size_t i = 0; i < drawn.size(); ++i) {
            const wxRect& a = drawn[i].box;
            const TextBox boxA{a.x, a.y, a.width, a.height};
            EXPECT_TRUE(BoxInside(boxA, w, h))
                << "\"" << drawn[i].text << "\" at " << a.x << "," << a.y << " " << a.width
                << "x" << a.height << " leaves the view";
            for (size_t j = i + 1; j < drawn.size(); ++j) {
                const wxRect& b = drawn[j].box;
                EXPECT_FALSE(BoxesOverlap(boxA, TextBox{b.x, b.y, b.width, b.height}))
                    << "\"" << drawn[i].text << "\" at " << a.x << "," << a.y << " " << a.width
                    << "x" << a.height << " overlaps \"" << drawn[j].text << "\" at " << b.x
                    << "," << b.y << " " << b.width << "x" << b.height;
            }
        }
    }
};

const char* ModeName(int mode)
{
    static const char* names[] = {"normal", "strip", "bar", "parametric", "pie", "spectrum"};
    return names[mode];
}

}  // namespace

TEST_F(AnalogViewTextTest, NoTextOverlapsAnotherOrLeavesTheViewInAnyMode)
{
    const struct {
        int w, h;
    } sizes[] = {{640, 480}, {1280, 720}, {1920, 1080}};
    for (int channels : {1, 8, 16}) {
        for (int mode = kDrawNormal; mode <= kDrawSpectrum; ++mode) {
            CLayoutDevice device(channels, 100.0);
            CAnalogView* view = MakeView(1280, 720);
            view->draw_type = mode;
            view->dsp_use_stat = true;
            view->SetDevice(&device);
            device.Sines(700);  // the history has filled: the newest values show
            for (const auto& size : sizes) {
                SCOPED_TRACE(testing::Message() << ModeName(mode) << " mode, " << channels
                                                << " channel(s), " << size.w << "x" << size.h);
                view->SetSize(size.w, size.h);
                wxImage image;
                const std::vector<CViewText::Drawn> drawn = DrawnTexts(*view, &image);
                EXPECT_FALSE(drawn.empty());
                ExpectApartAndInside(drawn, size.w, size.h);
                if (size.w == 1280 && channels != 1)
                    Save(image, std::string("view_text_") + ModeName(mode) + "_" +
                                    std::to_string(channels) + ".png");
            }
            view->Destroy();
        }
    }
}

TEST_F(AnalogViewTextTest, BoardQuadrantTextsStayApart)
{
    CLayoutDevice device(4, 100.0);
    device.SetPath("wiiboard_layout");
    CAnalogView* view = MakeView(1280, 720);
    view->draw_type = kDrawPie;
    view->SetDevice(&device);
    device.Sines(50);
    for (const auto& size : {wxSize(640, 480), wxSize(1280, 720), wxSize(1920, 1080)}) {
        SCOPED_TRACE(testing::Message() << size.x << "x" << size.y);
        view->SetSize(size);
        wxImage image;
        const std::vector<CViewText::Drawn> drawn = DrawnTexts(*view, &image);
        ExpectApartAndInside(drawn, size.x, size.y);
        if (size.x == 1280)
            Save(image, "view_text_board.png");
    }
}

// The peak of a sine lies within half a bin (rate / N / 2) of its frequency,
// for transforms of 10 samples up to 256 and several rates.
TEST_F(AnalogViewTextTest, SpectrumPeakLabelNamesTheSineFrequency)
{
    const struct {
        double rate;
        int size;
        double frequency;
    } cases[] = {{100, 10, 40.0},   {100, 250, 40.0}, {100, 250, 12.3}, {200, 250, 37.3},
                 {1000, 256, 123.0}, {50, 64, 20.0},   {100, 10, 21.0},  {60, 32, 7.7}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.frequency << " Hz at " << c.rate << " Hz, N = "
                                        << c.size);
        CLayoutDevice device(1, c.rate);
        CAnalogView* view = MakeView(800, 500);
        view->draw_type = kDrawSpectrum;
        view->dsp_size = static_cast<std::uint64_t>(c.size);
        view->SetDevice(&device);
        for (int i = 0; i < 2 * c.size + 20; ++i)
            device.Step({4.0 * std::sin(2 * kPi * c.frequency * i / c.rate + 0.3)});
        double peak = -1.0;
        for (const CViewText::Drawn& text : DrawnTexts(*view)) {
            if (text.text.EndsWith(" Hz")) {
                EXPECT_TRUE(text.text.BeforeFirst(' ').ToCDouble(&peak)) << text.text;
            }
        }
        // Half a bin, and the label's last digit.
        EXPECT_NEAR(peak, c.frequency, c.rate / c.size / 2.0 + 0.05);
        view->Destroy();
    }
}

// The ellipse and the statistics come from the device's centre-of-pressure
// channels, the trail from the first two visible ones: the text says which.
TEST_F(AnalogViewTextTest, ParametricStatisticsNameTheirChannels)
{
    CViewTestDevice device;  // 8 channels; its statistics come from channels 6 and 7
    device.SetCPStat(true, 5.0);
    CAnalogView* view = MakeView(1280, 720);
    view->draw_type = kDrawParametric;
    view->SetDevice(&device);
    device.Steps(300);
    bool named = false;
    for (const CViewText::Drawn& text : DrawnTexts(*view))
        named = named || (text.text.Contains(device.GetChannelName(6)) &&
                          text.text.Contains(device.GetChannelName(7)) &&
                          !text.text.Contains(device.GetChannelName(0)));
    EXPECT_TRUE(named);
}
