// The texts of the 2D view in every display mode: none is drawn over another
// or past the view's edge, at the sizes lab screens use and with few or many
// channels; the spectrum's peak label names the right frequency; the
// parametric statistics name the channels they come from.
#include "analog/analogView.h"

#include "analog/analogDevice.h"
#include "analog/analogViewFormat.h"
#include "analog/analogViewLayout.h"
#include "analog/analogViewPlacement.h"
#include "dsp/cpStat.h"
#include "viewTestDevice.h"
#include "viewTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
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
    void SetRange(double low, double high)
    {
        m_minValue = low;
        m_maxValue = high;
    }
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

    // Rows of distinct sines kept away from zero, of either sign: channel c
    // between 0.4 and 1.6 times scale, negative for odd c.
    void AwayFromZero(int rows, double scale)
    {
        std::vector<double> values(static_cast<size_t>(m_channelCount));
        for (int i = 0; i < rows; ++i, ++m_row) {
            const double t = m_row / m_rate;
            for (int c = 0; c < m_channelCount; ++c)
                values[static_cast<size_t>(c)] =
                    (c % 2 ? -scale : scale) * (1.0 + 0.6 * std::sin(2 * kPi * (0.9 + 0.3 * c) * t + c));
            Step(values);
        }
    }

    // Rows of signals on an offset, channel c near its own level between
    // offset - 0.9 half and offset + 0.9 half (a wobble of a hundredth of half
    // on it); the newest row's values come back in newest.
    void OnOffset(int rows, double offset, double half, std::vector<double>& newest)
    {
        newest.assign(static_cast<size_t>(m_channelCount), 0.0);
        const int spread = std::max(m_channelCount - 1, 1);
        for (int i = 0; i < rows; ++i, ++m_row) {
            const double t = m_row / m_rate;
            for (int c = 0; c < m_channelCount; ++c)
                newest[static_cast<size_t>(c)] =
                    offset + half * (-0.9 + 1.8 * c / spread) +
                    0.01 * half * std::sin(2 * kPi * (0.9 + 0.3 * c) * t + c);
            Step(newest);
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
    // The same, with the plot frames it drew.
    std::vector<CViewText::Drawn> DrawnTexts(CAnalogView& view, std::vector<ViewFrame>& frames,
                                             wxImage* image)
    {
        view.RecordFrames(&frames);
        std::vector<CViewText::Drawn> drawn = DrawnTexts(view, image);
        view.RecordFrames(nullptr);
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

const wxString kEllipsis = wxString::FromUTF8("\xE2\x80\xA6");

// The whole text as a number in C notation, when it is one.
bool ReadNumber(const wxString& text, double& value)
{
    const std::string s(text.utf8_str());
    if (s.empty() || s[0] == ' ')
        return false;
    char* end = nullptr;
    value = std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size() && std::isfinite(value);
}

// Half a unit of the last digit a number text shows ("1.25" 0.005, "4e-07" 5e-08).
double HalfLastDigit(const wxString& text)
{
    const std::string s(text.utf8_str());
    const size_t e = s.find_first_of("eE");
    const std::string mantissa = s.substr(0, e);
    const size_t point = mantissa.find('.');
    const int decimals = point == std::string::npos ? 0 : static_cast<int>(mantissa.size() - point - 1);
    const int exponent = e == std::string::npos ? 0 : std::atoi(s.c_str() + e + 1);
    return 0.5 * std::pow(10.0, exponent - decimals);
}

// The number that follows prefix in text (up to the next blank).
bool NumberAfter(const wxString& text, const wxString& prefix, double& value, wxString* token = nullptr)
{
    const size_t at = text.find(prefix);
    if (at == wxString::npos)
        return false;
    const wxString rest = text.Mid(at + prefix.length()).Trim(false);
    const wxString number = rest.BeforeFirst(' ');
    if (token)
        *token = number;
    return ReadNumber(number, value);
}

// Every text box keeps off every plot frame's lines: a band of pen / 2 + 1
// pixels either side of each line.
void ExpectOffFrames(const std::vector<CViewText::Drawn>& drawn, const std::vector<ViewFrame>& frames)
{
    for (const ViewFrame& frame : frames) {
        const int g = frame.pen / 2 + 1;
        const wxRect& r = frame.lines;
        const wxRect bands[] = {wxRect(r.x - g, r.y - g, 2 * g + 1, r.height + 2 * g + 1),
                                wxRect(r.x + r.width - g, r.y - g, 2 * g + 1, r.height + 2 * g + 1),
                                wxRect(r.x - g, r.y - g, r.width + 2 * g + 1, 2 * g + 1),
                                wxRect(r.x - g, r.y + r.height - g, r.width + 2 * g + 1, 2 * g + 1)};
        for (const CViewText::Drawn& text : drawn)
            for (const wxRect& band : bands)
                EXPECT_FALSE(text.box.Intersects(band))
                    << "\"" << text.text << "\" at " << text.box.x << "," << text.box.y << " "
                    << text.box.width << "x" << text.box.height << " lies on the frame along "
                    << r.x << "," << r.y << " " << r.width << "x" << r.height;
    }
}

// Lines of one axis: line i at pixel position at(i) stands for value(i); lines step apart.
struct Axis {
    std::function<double(int)> at;
    std::function<double(int)> value;
    int first = 0;
    int last = 0;
    double step = 1.0;
    const char* name = "";
    double within = 0.5;  // how far a label may read from its line, in steps
};

// The labels of an axis (given by index into drawn, with their centre along
// the axis) read back as the value of the line they stand at, within half a
// step, and no two are alike. With strict, every candidate must be such a
// label; otherwise texts away from every line (the cross-hair's) are passed.
int ExpectAxisLabels(const std::vector<CViewText::Drawn>& drawn, const std::vector<size_t>& candidates,
                     const std::vector<double>& centres, const Axis& axis, bool strict,
                     std::vector<bool>& isLabel)
{
    std::vector<wxString> seen;
    for (size_t k = 0; k < candidates.size(); ++k) {
        const CViewText::Drawn& text = drawn[candidates[k]];
        double number = 0.0;
        const bool isNumber = ReadNumber(text.text, number);
        int nearest = axis.first;
        for (int i = axis.first; i <= axis.last; ++i)
            if (std::fabs(axis.at(i) - centres[k]) < std::fabs(axis.at(nearest) - centres[k]))
                nearest = i;
        const bool atLine = std::fabs(axis.at(nearest) - centres[k]) <= 2.0;
        if (!strict && !atLine)
            continue;
        EXPECT_TRUE(isNumber) << axis.name << " label \"" << text.text << "\" is no number";
        EXPECT_TRUE(atLine) << axis.name << " label \"" << text.text << "\" at " << centres[k]
                            << " stands at no line";
        if (!isNumber || !atLine)
            continue;
        isLabel[candidates[k]] = true;
        EXPECT_LE(std::fabs(number - axis.value(nearest)), axis.step * axis.within * (1 + 1e-9))
            << axis.name << " label \"" << text.text << "\" stands for " << axis.value(nearest)
            << " (lines " << axis.step << " apart)";
        EXPECT_TRUE(std::find(seen.begin(), seen.end(), text.text) == seen.end())
            << axis.name << " label \"" << text.text << "\" stands for two lines";
        seen.push_back(text.text);
    }
    return static_cast<int>(seen.size());
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

// Axis labels say the value of their line at any scale (volts in 1e-6, newtons
// in 1e6): within half a step of it and no two alike; no text lies on a plot
// frame; a value of a signal that is never zero never reads as zero, and the
// statistics keep every digit of their numbers.
TEST_F(AnalogViewTextTest, LabelsReadAsTheirLinesAndKeepOffThePlotAtAnyScale)
{
    const struct {
        double scale;
        const char* name;
    } scales[] = {{1e-6, "1e-6"}, {1.0, "1"}, {1e6, "1e6"}};
    const struct {
        double low, high;  // times the scale
        const char* name;
    } ranges[] = {{-2.0, 2.0, "sym"}, {-0.7, 4.3, "asym"}};
    const wxSize sizes[] = {wxSize(640, 480), wxSize(1280, 720)};
    for (const auto& scale : scales) {
        for (const auto& range : ranges) {
            for (int channels : {1, 8, 64}) {
                for (int mode : {kDrawNormal, kDrawStrip, kDrawBar, kDrawParametric}) {
                    CLayoutDevice device(channels, 100.0);
                    const double hi = range.high * scale.scale;
                    const double span = (range.high - range.low) * scale.scale;
                    const double lo = hi - span;
                    device.SetRange(lo, hi);
                    CAnalogView* view = MakeView(1280, 720);
                    view->draw_type = mode;
                    view->SetDevice(&device);
                    device.AwayFromZero(700, scale.scale);
                    const int shown = mode == kDrawParametric && channels < 2 ? kDrawNormal : mode;
                    for (const wxSize& size : sizes) {
                        SCOPED_TRACE(testing::Message()
                                     << ModeName(mode) << " mode, range " << lo << " .. " << hi
                                     << ", " << channels << " channel(s), " << size.x << "x"
                                     << size.y);
                        view->SetSize(size);
                        std::vector<ViewFrame> frames;
                        wxImage image;
                        const std::vector<CViewText::Drawn> drawn = DrawnTexts(*view, frames, &image);
                        Save(image, std::string("view_scale_") + ModeName(mode) + "_" +
                                        scale.name + "_" + range.name + "_" +
                                        std::to_string(channels) + "ch_" +
                                        std::to_string(size.x) + ".png");
                        ExpectApartAndInside(drawn, size.x, size.y);
                        ExpectOffFrames(drawn, frames);
                        ASSERT_EQ(frames.size(), 1u);
                        const wxRect f = frames[0].lines;
                        std::vector<bool> isLabel(drawn.size(), false);
                        std::vector<size_t> left, below;
                        std::vector<double> leftAt, belowAt;
                        for (size_t k = 0; k < drawn.size(); ++k) {
                            const wxRect& box = drawn[k].box;
                            const double cx = box.x + box.width / 2.0;
                            const double cy = box.y + box.height / 2.0;
                            if (box.GetRight() < f.x - 2 && cy >= f.y && cy <= f.GetBottom()) {
                                left.push_back(k);
                                leftAt.push_back(cy);
                            }
                            if (box.y > f.GetBottom() + 2 && cx >= f.x && cx <= f.GetRight()) {
                                below.push_back(k);
                                belowAt.push_back(cx);
                            }
                        }
                        const int gy = view->grad_y;
                        const int gx = view->grad_x;
                        if (shown == kDrawParametric) {
                            // The square: grid lines at rounded divisions of its side.
                            const double d = f.width;
                            const Axis yAxis{[&](int i) { return std::floor(i * d / gy + 0.5) + f.y; },
                                             [&](int i) { return hi - i * span / gy; }, 1, gy - 1,
                                             span / gy, "y"};
                            const Axis xAxis{[&](int i) { return std::floor(d / gx * i + 0.5) + f.x; },
                                             [&](int i) { return lo + i * span / gx; }, 1, gx - 1,
                                             span / gx, "x"};
                            // (The cross-hair's labels come first: few grid labels may be left.)
                            EXPECT_GT(ExpectAxisLabels(drawn, left, leftAt, yAxis, false, isLabel), 0);
                            EXPECT_GT(ExpectAxisLabels(drawn, below, belowAt, xAxis, false, isLabel), 0);
                        } else {
                            // The plot lies 3 pixels inside the frame's lines.
                            const double plotLeft = f.x + 3, plotRight = f.GetRight() + 1 - 3;
                            const double top = f.y + 3, bottom = f.GetBottom() + 1 - 3;
                            if (shown == kDrawStrip && channels > 1) {
                                // Each lane's range label states the span of the lane.
                                EXPECT_FALSE(left.empty());
                                for (size_t k : left) {
                                    double number = 0.0;
                                    EXPECT_TRUE(ReadNumber(drawn[k].text, number)) << drawn[k].text;
                                    EXPECT_NEAR(number, span, span / 20) << drawn[k].text;
                                    isLabel[k] = true;
                                }
                            } else if (shown != kDrawStrip) {
                                const Axis yAxis{[&](int i) { return top + i * (bottom - top) / gy; },
                                                 [&](int i) { return hi - i * span / gy; }, 1,
                                                 gy - 1, span / gy, "value"};
                                EXPECT_GT(ExpectAxisLabels(drawn, left, leftAt, yAxis, true, isLabel), 1);
                            }
                            if (shown != kDrawBar) {
                                const double dt = view->draw_time / gx;
                                const Axis tAxis{
                                    [&](int i) { return plotLeft + i * (plotRight - plotLeft) / gx; },
                                    [&](int i) { return i * dt; }, 0, gx, dt, "time"};
                                EXPECT_GT(ExpectAxisLabels(drawn, below, belowAt, tAxis, true, isLabel), 1);
                            }
                        }
                        // The values shown: every channel stays away from zero.
                        int values = 0;
                        for (size_t k = 0; k < drawn.size(); ++k) {
                            double number = 0.0;
                            if (!isLabel[k] && ReadNumber(drawn[k].text, number)) {
                                EXPECT_NE(number, 0.0) << "\"" << drawn[k].text << "\"";
                                ++values;
                            }
                        }
                        // (Bars of 64 channels are too narrow for their values.)
                        if ((shown != kDrawStrip || channels == 1) && channels <= 8) {
                            EXPECT_GT(values, 0);
                        }
                        // The lanes' names come before their range labels.
                        if (shown == kDrawStrip && channels == 8) {
                            int names = 0;
                            for (const CViewText::Drawn& text : drawn)
                                names += text.text.StartsWith("Channel #");
                            EXPECT_EQ(names, channels);
                        }
                        if (shown == kDrawParametric) {
                            const CCPStat::Results cp = view->GetData().CPStat().GetResults();
                            const double seconds = cp.count / 100.0;
                            const struct {
                                const char* prefix;
                                double value;
                                bool nonZero;
                            } lines[] = {{"CP Length", cp.pathLength, true},
                                         {"CP Surface", cp.area, false},
                                         {"CP Mean Velocity", cp.pathLength / seconds, true}};
                            int found = 0;
                            for (const CViewText::Drawn& text : drawn) {
                                // A line shortened in its words keeps its number whole.
                                if (text.text.StartsWith("CP ") && !text.text.StartsWith("CP of") &&
                                    text.text.Contains(kEllipsis)) {
                                    double number = 0.0;
                                    wxString token;
                                    EXPECT_TRUE(text.text.Contains(kEllipsis + " ") &&
                                                NumberAfter(text.text, kEllipsis + " ", number, &token))
                                        << "\"" << text.text << "\"";
                                    bool known = std::fabs(number - seconds) <= HalfLastDigit(token);
                                    for (const auto& line : lines)
                                        known = known || std::fabs(number - line.value) <=
                                                             HalfLastDigit(token) * 1.001;
                                    EXPECT_TRUE(known) << "\"" << text.text << "\"";
                                }
                                for (const auto& line : lines) {
                                    double number = 0.0;
                                    wxString token;
                                    if (!text.text.StartsWith(line.prefix))
                                        continue;
                                    ++found;
                                    ASSERT_TRUE(NumberAfter(text.text, line.prefix, number, &token))
                                        << "\"" << text.text << "\"";
                                    EXPECT_NEAR(number, line.value, HalfLastDigit(token) * 1.001)
                                        << "\"" << text.text << "\"";
                                    if (line.nonZero) {
                                        EXPECT_NE(number, 0.0) << "\"" << text.text << "\"";
                                    }
                                }
                            }
                            // The path in volts is shorter than 1: no surface.
                            if (scale.scale < 1.0) {
                                EXPECT_EQ(cp.area, 0.0);
                            }
                            if (size.x == 1280) {
                                EXPECT_EQ(found, 3);
                            }
                        }
                    }
                    view->Destroy();
                }
            }
        }
    }
}

// The texts left of the plot (value labels) and below it, with their centres
// across the axis, against the one plot frame drawn.
struct AxisTexts {
    std::vector<size_t> left, below;
    std::vector<double> leftAt, belowAt;
};
AxisTexts SplitAxisTexts(const std::vector<CViewText::Drawn>& drawn, const wxRect& f)
{
    AxisTexts out;
    for (size_t k = 0; k < drawn.size(); ++k) {
        const wxRect& box = drawn[k].box;
        const double cx = box.x + box.width / 2.0;
        const double cy = box.y + box.height / 2.0;
        if (box.GetRight() < f.x - 2 && cy >= f.y && cy <= f.GetBottom()) {
            out.left.push_back(k);
            out.leftAt.push_back(cy);
        }
        if (box.y > f.GetBottom() + 2 && cx >= f.x && cx <= f.GetRight()) {
            out.below.push_back(k);
            out.belowAt.push_back(cx);
        }
    }
    return out;
}

// Lines off the step's grid: a constant 7.25 on an observed range (6.75 ..
// 7.75), a device range 0.05 .. 1.05, and 1e15 +- 1 (doubles 0.125 apart):
// in the normal, bar and parametric modes each value label reads as its own
// line's value (within a twentieth of the step; at 1e15 within the doubles'
// spacing), and no two alike.
TEST_F(AnalogViewTextTest, LabelsReadAsTheirOwnLinesOffTheStepGrid)
{
    const struct {
        double low, high;  // the device's range; equal: the view scales to what it saw
        double constant;   // fed to every channel when not NaN, else sines on the range
        double top, span;  // the scale the view takes
        double within;     // of a step
        const char* name;
    } cases[] = {{0.0, 0.0, 7.25, 7.75, 1.0, 0.05, "constant"},
                 {0.05, 1.05, std::nan(""), 1.05, 1.0, 0.05, "offgrid"},
                 {-0.95, 0.05, std::nan(""), 0.05, 1.0, 0.05, "offgridneg"},
                 {1e15 - 1, 1e15 + 1, std::nan(""), 1e15 + 1, 2.0, 0.5, "1e15"}};
    for (const auto& c : cases) {
        for (int mode : {kDrawNormal, kDrawBar, kDrawParametric}) {
            CLayoutDevice device(2, 100.0);
            device.SetRange(c.low, c.high);
            CAnalogView* view = MakeView(1280, 720);
            view->draw_type = mode;
            view->SetDevice(&device);
            std::vector<double> newest;
            if (std::isnan(c.constant))
                device.OnOffset(300, (c.low + c.high) / 2, (c.high - c.low) / 2, newest);
            else
                for (int i = 0; i < 300; ++i) device.Step({c.constant, c.constant});
            for (const wxSize& size : {wxSize(640, 480), wxSize(1280, 720)}) {
                SCOPED_TRACE(testing::Message()
                             << ModeName(mode) << " mode, " << c.name << ", " << size.x << "x"
                             << size.y);
                view->SetSize(size);
                std::vector<ViewFrame> frames;
                wxImage image;
                const std::vector<CViewText::Drawn> drawn = DrawnTexts(*view, frames, &image);
                Save(image, std::string("view_offgrid_") + ModeName(mode) + "_" + c.name + "_" +
                                std::to_string(size.x) + ".png");
                ASSERT_EQ(frames.size(), 1u);
                const wxRect f = frames[0].lines;
                const AxisTexts texts = SplitAxisTexts(drawn, f);
                std::vector<bool> isLabel(drawn.size(), false);
                const int gy = view->grad_y;
                const int gx = view->grad_x;
                const double hi = c.top, span = c.span, lo = hi - span;
                if (mode == kDrawParametric) {
                    const double d = f.width;
                    Axis yAxis{[&](int i) { return std::floor(i * d / gy + 0.5) + f.y; },
                               [&](int i) { return hi - i * span / gy; }, 1, gy - 1, span / gy, "y"};
                    Axis xAxis{[&](int i) { return std::floor(d / gx * i + 0.5) + f.x; },
                               [&](int i) { return lo + i * span / gx; }, 1, gx - 1, span / gx, "x"};
                    yAxis.within = xAxis.within = c.within;
                    EXPECT_GT(ExpectAxisLabels(drawn, texts.left, texts.leftAt, yAxis, false, isLabel), 0);
                    // (Labels of 17 digits leave no room below a small square.)
                    EXPECT_GE(ExpectAxisLabels(drawn, texts.below, texts.belowAt, xAxis, false, isLabel),
                              size.x == 1280 ? 1 : 0);
                } else {
                    const double top = f.y + 3, bottom = f.GetBottom() + 1 - 3;
                    Axis yAxis{[&](int i) { return top + i * (bottom - top) / gy; },
                               [&](int i) { return hi - i * span / gy; }, 1, gy - 1, span / gy,
                               "value"};
                    yAxis.within = c.within;
                    EXPECT_GT(ExpectAxisLabels(drawn, texts.left, texts.leftAt, yAxis, true, isLabel), 1);
                }
            }
            view->Destroy();
        }
    }
}

// One infinite sample among +-4 sines on a device whose range is observed
// (Min = Max): every mode keeps the scale of the finite samples. Normal, bar
// and parametric value labels reach past 3 in both directions; strip lanes
// state a span near 8.
TEST_F(AnalogViewTextTest, InfiniteSamplesLeaveTheObservedScaleInEveryMode)
{
    const double inf = std::numeric_limits<double>::infinity();
    for (double bad : {inf, -inf}) {
        for (int mode : {kDrawNormal, kDrawStrip, kDrawBar, kDrawParametric}) {
            SCOPED_TRACE(testing::Message() << ModeName(mode) << " mode, " << bad);
            CLayoutDevice device(3, 100.0);
            device.SetRange(0.0, 0.0);
            CAnalogView* view = MakeView(1280, 720);
            view->draw_type = mode;
            view->SetDevice(&device);
            for (int k = 0; k < 400; ++k) {
                const double t = k / 100.0;
                std::vector<double> row = {4.0 * std::sin(2 * kPi * 1.5 * t),
                                           4.0 * std::cos(2 * kPi * 0.7 * t),
                                           4.0 * std::sin(2 * kPi * 2.1 * t + 1)};
                if (k == 150) row[k % 3] = bad;
                device.Step(row);
            }
            std::vector<ViewFrame> frames;
            wxImage image;
            const std::vector<CViewText::Drawn> drawn = DrawnTexts(*view, frames, &image);
            Save(image, std::string("view_infinite_") + ModeName(mode) + (bad > 0 ? "_plus" : "_minus") +
                            ".png");
            ASSERT_EQ(frames.size(), 1u);
            const AxisTexts texts = SplitAxisTexts(drawn, frames[0].lines);
            double highest = -1e300, lowest = 1e300;
            int numbers = 0;
            for (size_t k : texts.left) {
                double number = 0.0;
                if (!ReadNumber(drawn[k].text, number))
                    continue;
                ++numbers;
                highest = std::max(highest, number);
                lowest = std::min(lowest, number);
            }
            ASSERT_GT(numbers, 0);
            if (mode == kDrawStrip) {
                EXPECT_NEAR(highest, 8.0, 0.5);
                EXPECT_NEAR(lowest, 8.0, 0.5);
            } else {
                EXPECT_GT(highest, 3.0);
                EXPECT_LT(lowest, -3.0);
            }
            view->Destroy();
        }
    }
}

// 64 channels whose 40-character names differ only in their first two
// characters, in bar mode: every name shown tells its bar from the others
// (it keeps its start), or none is shown; at 1920x1080 they are shown.
TEST_F(AnalogViewTextTest, BarNamesDifferingAtTheirStartTellTheirBarsApart)
{
    const wxString common = "_force_plate_left_rear_sensor_signal_al";
    ASSERT_EQ(common.length() + 2, 41u);
    CLayoutDevice device(64, 100.0);
    for (int c = 0; c < 64; ++c) {
        device.SetChannelName(c, wxString::Format("%02d", c) + common.Left(38));
        device.SetChannelUnit(c, "");
    }
    CAnalogView* view = MakeView(800, 800);
    view->draw_type = kDrawBar;
    view->SetDevice(&device);
    device.AwayFromZero(300, 2.0);
    for (const wxSize& size : {wxSize(800, 800), wxSize(1920, 1080), wxSize(1280, 720)}) {
        SCOPED_TRACE(testing::Message() << size.x << "x" << size.y);
        view->SetSize(size);
        wxImage image;
        const std::vector<CViewText::Drawn> drawn = DrawnTexts(*view, &image);
        Save(image, "view_bar_names_" + std::to_string(size.x) + ".png");
        int names = 0;
        std::vector<wxString> seen;
        for (const CViewText::Drawn& text : drawn) {
            double number = 0.0;
            if (ReadNumber(text.text, number) || text.text.StartsWith("Layout"))
                continue;  // values, labels and the title
            ++names;
            const wxString start = text.text.BeforeFirst(kEllipsis[0]);
            const wxString end =
                text.text.Contains(kEllipsis) ? text.text.AfterFirst(kEllipsis[0]) : wxString();
            int matches = 0;
            for (int channel = 0; channel < 64; ++channel) {
                const wxString name = device.GetChannelName(channel);
                if (text.text.Contains(kEllipsis) ? name.StartsWith(start) && name.EndsWith(end)
                                                  : name == text.text)
                    ++matches;
            }
            EXPECT_EQ(matches, 1) << "\"" << text.text << "\" names " << matches << " bars";
            EXPECT_TRUE(std::find(seen.begin(), seen.end(), text.text) == seen.end())
                << "\"" << text.text << "\" twice";
            seen.push_back(text.text);
        }
        if (size.x == 1920) {
            EXPECT_GE(names, 32);
        }
    }
    view->Destroy();
}

// The shortened names of many channels stay apart: each names one channel only.
TEST_F(AnalogViewTextTest, ShortenedNamesStayApart)
{
    const struct {
        int mode;
        int channels;
        bool shortened;  // names too long for their room at 640x480
    } cases[] = {{kDrawNormal, 64, true}, {kDrawStrip, 64, false}, {kDrawBar, 16, true},
                 {kDrawBar, 64, false},   {kDrawPie, 64, false},  {kDrawSpectrum, 64, true}};
    for (const auto& c : cases) {
        const int mode = c.mode;
        CLayoutDevice device(c.channels, 100.0);
        CAnalogView* view = MakeView(640, 480);
        view->draw_type = mode;
        view->SetDevice(&device);
        device.Sines(700);
        for (const wxSize& size : {wxSize(640, 480), wxSize(1280, 720)}) {
            SCOPED_TRACE(testing::Message() << ModeName(mode) << " mode, " << size.x << "x" << size.y);
            view->SetSize(size);
            wxImage image;
            const std::vector<CViewText::Drawn> drawn = DrawnTexts(*view, &image);
            Save(image, std::string("view_names_") + ModeName(mode) + "_" +
                            std::to_string(c.channels) + "ch_" +
                            std::to_string(size.x) + ".png");
            int shortened = 0;
            std::vector<wxString> seen;
            for (const CViewText::Drawn& text : drawn) {
                if (!text.text.Contains(kEllipsis) || !wxString("Channel #").StartsWith(text.text.BeforeFirst(kEllipsis[0])))
                    continue;
                ++shortened;
                const wxString start = text.text.BeforeFirst(kEllipsis[0]);
                wxString end = text.text.AfterFirst(kEllipsis[0]).Trim();
                if (end.EndsWith(" (cm)"))
                    end = end.Left(end.length() - 5);
                int matches = 0;
                for (int channel = 0; channel < c.channels; ++channel) {
                    const wxString name = device.GetChannelName(channel);
                    if (name.StartsWith(start) && name.EndsWith(end) &&
                        name.length() >= start.length() + end.length())
                        ++matches;
                }
                EXPECT_EQ(matches, 1) << "\"" << text.text << "\" names " << matches << " channels";
                EXPECT_TRUE(std::find(seen.begin(), seen.end(), text.text) == seen.end())
                    << "\"" << text.text << "\" twice";
                seen.push_back(text.text);
            }
            if (size.x == 640 && c.shortened) {
                EXPECT_GT(shortened, 0);  // the case at hand
            }
        }
        view->Destroy();
    }
}

// In dense grids every spectrum cell draws its plot; the statistics lines
// give way first.
TEST_F(AnalogViewTextTest, SpectrumCellsKeepTheirPlotInDenseGrids)
{
    const struct {
        int channels;
        wxSize size;
    } cases[] = {{64, wxSize(1280, 720)}, {32, wxSize(640, 480)}, {64, wxSize(640, 480)},
                 {16, wxSize(640, 480)},  {4, wxSize(1280, 720)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, " << c.size.x << "x" << c.size.y);
        CLayoutDevice device(c.channels, 100.0);
        CAnalogView* view = MakeView(c.size.x, c.size.y);
        view->draw_type = kDrawSpectrum;
        view->dsp_use_stat = true;
        view->SetDevice(&device);
        device.Sines(400);
        std::vector<ViewFrame> frames;
        wxImage image;
        const std::vector<CViewText::Drawn> drawn = DrawnTexts(*view, frames, &image);
        Save(image, "view_spectrum_stat_" + std::to_string(c.channels) + "ch_" +
                        std::to_string(c.size.x) + ".png");
        ExpectApartAndInside(drawn, c.size.x, c.size.y);
        ExpectOffFrames(drawn, frames);
        const SpectraGrid grid = ComputeSpectraGrid(c.size.x, c.size.y, c.channels);
        ASSERT_EQ(frames.size(), static_cast<size_t>(c.channels));
        for (const ViewFrame& frame : frames) {
            EXPECT_GE(frame.lines.height, grid.cellHeight / 3 - 2);
            EXPECT_GE(frame.lines.width, grid.cellWidth / 3);
        }
        // Where the cells are large the statistics are all there.
        if (c.channels == 4) {
            int statistics = 0;
            for (const CViewText::Drawn& text : drawn)
                statistics += text.text.StartsWith("Skewness") || text.text.StartsWith("Kurtosis");
            EXPECT_EQ(statistics, 2 * c.channels);
        }
        view->Destroy();
    }
}

// Each bar's value stays in the bar's own column, reads as the bar's value,
// and a grid line does not run through it (a minus sign would be lost).
TEST_F(AnalogViewTextTest, BarValuesStayInTheirColumnsOverTheGrid)
{
    for (int channels : {4, 16}) {
        for (const wxSize& size : {wxSize(640, 480), wxSize(1280, 720)}) {
            SCOPED_TRACE(testing::Message() << channels << " bars, " << size.x << "x" << size.y);
            CLayoutDevice device(channels, 100.0);
            CAnalogView* view = MakeView(size.x, size.y);
            view->draw_type = kDrawBar;
            view->SetDevice(&device);
            // Values whose labels (under the bars' ends) lie across the grid
            // line at -4: the bars end 12 pixels above it.
            std::vector<double> values;
            for (int c = 0; c < channels; ++c)
                values.push_back(-(4.0 - 12.0 * 10.0 / (size.y - 130)) - 0.004 * c);
            device.Step(values);
            std::vector<ViewFrame> frames;
            wxImage image;
            const std::vector<CViewText::Drawn> drawn = DrawnTexts(*view, frames, &image);
            Save(image, "view_bar_values_" + std::to_string(channels) + "_" +
                            std::to_string(size.x) + ".png");
            ASSERT_EQ(frames.size(), 1u);
            ExpectOffFrames(drawn, frames);
            const int left = frames[0].lines.x + 3;
            const int top = frames[0].lines.y + 3;
            const int plotHeight = frames[0].lines.GetBottom() + 1 - 3 - top;
            const double spacing = static_cast<double>(size.x - 50 - left) / (channels + 1);
            std::vector<bool> column(static_cast<size_t>(channels), false);
            int crossings = 0;
            for (const CViewText::Drawn& text : drawn) {
                double number = 0.0;
                if (!ReadNumber(text.text, number) || text.box.x < left)
                    continue;  // the value labels at the left
                const double centre = text.box.x + text.box.width / 2.0;
                const int i = static_cast<int>(std::floor((centre - left) / spacing + 0.5)) - 1;
                ASSERT_TRUE(i >= 0 && i < channels) << text.text;
                EXPECT_FALSE(column[static_cast<size_t>(i)]) << text.text;
                column[static_cast<size_t>(i)] = true;
                EXPECT_GE(text.box.x, left + (i + 0.5) * spacing) << text.text;
                EXPECT_LE(text.box.GetRight(), left + (i + 1.5) * spacing) << text.text;
                EXPECT_NEAR(number, values[static_cast<size_t>(i)], HalfLastDigit(text.text) * 1.001)
                    << text.text;
                EXPECT_LT(number, 0.0) << text.text;
                // The grid lines' rows through the label are not drawn across it.
                for (int j = 1; j < view->grad_y; ++j) {
                    const int y = static_cast<int>(std::floor(j * plotHeight / 10.0 + 0.5)) + top;
                    if (y < text.box.y || y > text.box.GetBottom())
                        continue;
                    ++crossings;
                    int green = 0;
                    for (int x = text.box.x; x <= text.box.GetRight(); ++x)
                        green += PixelIs(image, x, y, 0, 128, 0, 40);
                    EXPECT_LT(green, text.box.width * 3 / 4) << text.text << " on the line at " << y;
                }
            }
            EXPECT_EQ(std::count(column.begin(), column.end(), true), channels);
            EXPECT_GT(crossings, 0);
            view->Destroy();
        }
    }
}

namespace {

// The signals of the lab on an offset: an accelerometer at rest, a load cell
// with its tare, a 24-bit reading; the device's range holds them.
struct OffsetSignal {
    double offset, half;
    const char* name;
};
const OffsetSignal kOffsetSignals[] = {
    {9.81, 0.005, "9.81"}, {1000.001, 1e-4, "1000.001"}, {1e9, 1.0, "1e9"}};

// The channel whose newest value a shown number reads as, within a tenth of
// the grid step; -1 when none.
int ReadsAs(double number, const std::vector<double>& newest, double step)
{
    for (size_t c = 0; c < newest.size(); ++c)
        if (std::fabs(number - newest[c]) <= step / 10 * (1 + 1e-9))
            return static_cast<int>(c);
    return -1;
}

}  // namespace

// Signals on an offset in every mode: each value shown (the newest values
// beside the curves, the bars' values, the pie's legend, the parametric
// cross-hair) reads within a tenth of a grid step of its channel's value, and
// each bar ends at its value.
TEST_F(AnalogViewTextTest, ValuesOnAnOffsetReadToATenthOfTheGridStep)
{
    for (const OffsetSignal& signal : kOffsetSignals) {
        for (int channels : {2, 8, 16}) {
            for (int mode : {kDrawNormal, kDrawStrip, kDrawBar, kDrawParametric, kDrawPie}) {
                CLayoutDevice device(channels, 100.0);
                device.SetRange(signal.offset - signal.half, signal.offset + signal.half);
                CAnalogView* view = MakeView(1280, 720);
                view->draw_type = mode;
                view->SetDevice(&device);
                std::vector<double> newest;
                device.OnOffset(700, signal.offset, signal.half, newest);
                const double span = 2 * signal.half;
                for (const wxSize& size : {wxSize(1280, 720), wxSize(640, 480)}) {
                    SCOPED_TRACE(testing::Message() << ModeName(mode) << " mode, " << signal.name
                                                    << ", " << channels << " channels, "
                                                    << size.x << "x" << size.y);
                    view->SetSize(size);
                    std::vector<ViewFrame> frames;
                    wxImage image;
                    const std::vector<CViewText::Drawn> drawn = DrawnTexts(*view, frames, &image);
                    Save(image, std::string("view_offset_") + ModeName(mode) + "_" + signal.name +
                                    "_" + std::to_string(channels) + "ch_" +
                                    std::to_string(size.x) + ".png");
                    ExpectApartAndInside(drawn, size.x, size.y);
                    const wxRect f = frames.empty() ? wxRect() : frames[0].lines;
                    std::vector<bool> seen(static_cast<size_t>(channels), false);
                    int values = 0;
                    for (const CViewText::Drawn& text : drawn) {
                        wxString token = text.text;
                        double number = 0.0;
                        double step = span / view->grad_y;
                        if (mode == kDrawPie) {
                            if (!token.StartsWith("  : "))
                                continue;
                            token = token.Mid(4).Trim();
                        } else if (mode == kDrawParametric) {
                            // The cross-hair's labels over and right of the square.
                            const bool over = text.box.GetBottom() < f.y;
                            const bool right = text.box.x > f.GetRight();
                            if (!over && !right)
                                continue;
                            step = span / (over ? view->grad_x : view->grad_y);
                        } else if (mode == kDrawBar) {
                            if (text.box.x <= f.x)
                                continue;  // the value labels left of the plot
                        } else if (text.box.x <= f.GetRight()) {
                            continue;  // the newest values right of the plot
                        }
                        if (!ReadNumber(token, number))
                            continue;
                        ++values;
                        const int c = ReadsAs(number, newest, step);
                        EXPECT_GE(c, 0) << "\"" << text.text << "\" reads as no channel's value";
                        if (c < 0)
                            continue;
                        if (mode == kDrawParametric) {
                            const bool over = text.box.GetBottom() < f.y;
                            EXPECT_EQ(c, over ? 0 : 1) << "\"" << text.text << "\"";
                            EXPECT_GE(number, signal.offset - signal.half) << text.text;
                            EXPECT_LE(number, signal.offset + signal.half) << text.text;
                        } else {
                            EXPECT_FALSE(seen[static_cast<size_t>(c)]) << "\"" << text.text
                                                                        << "\" twice";
                            seen[static_cast<size_t>(c)] = true;
                        }
                    }
                    // Where the values have room they are all there.
                    if (size.x == 1280 && channels <= 8) {
                        EXPECT_EQ(values, mode == kDrawParametric ? 2 : channels);
                    }
                    if (mode == kDrawStrip) {
                        // Each curve in its lane, which spans the range.
                        ASSERT_EQ(frames.size(), 1u);
                        const int top = f.y + 3;
                        const int plotHeight = f.GetBottom() + 1 - 3 - top;
                        const int x = f.GetRight() - 40;
                        for (int c = 0; c < channels; ++c) {
                            const StripLane lane = ComputeStripLane(c, channels, plotHeight);
                            const double y = lane.middle - (newest[c] - signal.offset) *
                                                               plotHeight / channels / span;
                            const wxColour colour = ToWxColour(device.GetChannelColour(c));
                            int nearest = 1000;
                            for (int row = top; row < top + plotHeight; ++row)
                                if (PixelIs(image, x, row, colour.Red(), colour.Green(),
                                            colour.Blue(), 40))
                                    nearest = std::min(nearest, std::abs(row - static_cast<int>(y)));
                            EXPECT_LE(nearest, 3) << "curve " << c << " not at " << y;
                        }
                    }
                    if (mode == kDrawBar) {
                        ASSERT_EQ(frames.size(), 1u);
                        const int left = f.x + 3;
                        const int top = f.y + 3;
                        const int right = f.GetRight() + 1 - 3;
                        const double plotHeight = f.GetBottom() + 1 - 3 - top;
                        const double spacing = static_cast<double>(right - left) / (channels + 1);
                        for (int c = 0; c < channels; ++c) {
                            const int x = static_cast<int>(std::floor((c + 1) * spacing + left + 0.5)) - 6;
                            const double end = top + (signal.offset + signal.half - newest[c]) *
                                                         plotHeight / span;
                            const wxColour colour = ToWxColour(device.GetChannelColour(c));
                            const auto isBar = [&](int y) {
                                return PixelIs(image, x, y, colour.Red(), colour.Green(),
                                               colour.Blue(), 50);
                            };
                            EXPECT_TRUE(isBar(static_cast<int>(end) + 4))
                                << "bar " << c << " short of " << end;
                            EXPECT_FALSE(isBar(static_cast<int>(end) - 4))
                                << "bar " << c << " past " << end;
                        }
                    }
                }
                view->Destroy();
            }
        }
    }
}

// The pie's legend with many channels: a value is shown only after its
// channel's name, and the names stay apart.
TEST_F(AnalogViewTextTest, PieLegendShowsNoValueWithoutItsName)
{
    for (int channels : {8, 16, 64}) {
        CLayoutDevice device(channels, 100.0);
        CAnalogView* view = MakeView(640, 480);
        view->draw_type = kDrawPie;
        view->SetDevice(&device);
        device.Sines(700);
        for (const wxSize& size : {wxSize(640, 480), wxSize(570, 600), wxSize(1280, 720)}) {
            SCOPED_TRACE(testing::Message() << channels << " channels, " << size.x << "x" << size.y);
            view->SetSize(size);
            wxImage image;
            const std::vector<CViewText::Drawn> drawn = DrawnTexts(*view, &image);
            Save(image, "view_pie_legend_" + std::to_string(channels) + "ch_" +
                            std::to_string(size.x) + ".png");
            ExpectApartAndInside(drawn, size.x, size.y);
            int names = 0, values = 0;
            for (const CViewText::Drawn& text : drawn) {
                if (text.text.Contains("#"))
                    ++names;
                if (!text.text.StartsWith("  : "))
                    continue;
                ++values;
                bool named = false;
                for (const CViewText::Drawn& name : drawn)
                    named = named || (name.box.y == text.box.y &&
                                      name.box.GetRight() + 1 == text.box.x &&
                                      !name.text.StartsWith("  : "));
                EXPECT_TRUE(named) << "\"" << text.text << "\" at " << text.box.x << ","
                                   << text.box.y << " without a name";
            }
            // Every channel is named in its colour's line.
            EXPECT_EQ(names, channels);
            if (size.x == 1280 && channels <= 16) {
                EXPECT_EQ(values, channels);
            }
        }
        view->Destroy();
    }
}

// A millivolt signal in volts: on the normalised dB scale every bin is
// below 0 dB and reads 0. The cell says so instead of showing statistics of
// nothing; a signal of volts beside it keeps its statistics.
TEST_F(AnalogViewTextTest, SpectrumBelowZeroDecibelsSaysSo)
{
    CLayoutDevice device(2, 100.0);
    CAnalogView* view = MakeView(1280, 720);
    view->draw_type = kDrawSpectrum;
    view->dsp_use_stat = true;
    view->SetDevice(&device);
    for (int i = 0; i < 600; ++i)
        device.Step({0.001 * std::sin(2 * kPi * 12.0 * i / 100.0),
                     4.0 * std::sin(2 * kPi * 7.0 * i / 100.0)});
    wxImage image;
    const std::vector<CViewText::Drawn> drawn = DrawnTexts(*view, &image);
    Save(image, "view_spectrum_below_0dB.png");
    ExpectApartAndInside(drawn, 1280, 720);
    const SpectraGrid grid = ComputeSpectraGrid(1280, 720, 2);
    int notes = 0;
    int statistics[2] = {0, 0};
    for (const CViewText::Drawn& text : drawn) {
        const int cell = text.box.x / grid.cellWidth;
        if (text.text == "below 0 dB") {
            ++notes;
            EXPECT_EQ(cell, 0);
        }
        if (text.text.StartsWith("Skewness") || text.text.StartsWith("Kurtosis"))
            ++statistics[std::min(cell, 1)];
    }
    EXPECT_EQ(notes, 1);
    EXPECT_EQ(statistics[0], 0);
    EXPECT_EQ(statistics[1], 2);
    view->Destroy();
}

// The view at the width the minimum window (800 x 800, default panels) gives
// it: the plot keeps at least 100 pixels in every mode with a plot; the values'
// column, the legend and the fixed margins give way first.
TEST_F(AnalogViewTextTest, ViewOfTheMinimumWindowKeepsItsPlot)
{
    const wxSize size(185, 480);
    for (int channels : {1, 8}) {
        for (int mode : {kDrawNormal, kDrawStrip, kDrawBar, kDrawParametric, kDrawPie}) {
            if (mode == kDrawParametric && channels < 2)
                continue;
            SCOPED_TRACE(testing::Message() << ModeName(mode) << " mode, " << channels
                                            << " channel(s)");
            CLayoutDevice device(channels, 100.0);
            CAnalogView* view = MakeView(size.x, size.y);
            view->draw_type = mode;
            view->SetDevice(&device);
            std::vector<double> newest;
            device.OnOffset(700, 9.81, 0.005, newest);
            device.SetRange(9.805, 9.815);
            std::vector<ViewFrame> frames;
            wxImage image;
            const std::vector<CViewText::Drawn> drawn = DrawnTexts(*view, frames, &image);
            Save(image, std::string("view_narrow_") + ModeName(mode) + "_" +
                            std::to_string(channels) + "ch.png");
            ExpectApartAndInside(drawn, size.x, size.y);
            ExpectOffFrames(drawn, frames);
            if (mode == kDrawPie) {
                // The pie (no frame) keeps what the legend leaves it: its
                // sectors reach 40 pixels right of the legend.
                int coloured = 0;
                for (int x = size.x / 2; x < size.x; ++x)
                    coloured += !PixelIs(image, x, size.y / 2, 0, 0, 0, 10);
                EXPECT_GE(coloured, 40);
            } else {
                ASSERT_EQ(frames.size(), 1u);
                EXPECT_GE(frames[0].lines.width - 6, kMinPlotWidth);
                EXPECT_LE(frames[0].lines.GetRight(), size.x - 1);
            }
            view->Destroy();
        }
    }
}
