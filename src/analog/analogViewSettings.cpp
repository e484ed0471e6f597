#include "analog/analogViewSettings.h"

#include <wx/confbase.h>
#include <wx/intl.h>
#include <wx/log.h>

#include <climits>
#include <cmath>

namespace {

const char* const kGradX = "/grad_x";
const char* const kGradY = "/grad_y";
const char* const kAutoReset = "/auto_reset";
const char* const kDrawPoly = "/draw_poly";
const char* const kDrawPolyGradient = "/draw_poly_gradient";
const char* const kDspSize = "/dsp_size";
const char* const kDspClearMean = "/dsp_clear_mean";
const char* const kDspUseDb = "/dsp_use_db";
const char* const kDspUseStat = "/dsp_use_stat";
const char* const kDspMaxRate = "/dsp_max_rate";
const char* const kDspNormalize = "/dsp_normalize";
const char* const kDspWindow = "/dps_window";  // spelled so in every stored file
const char* const kDrawTime = "/draw_time";
const char* const kDrawType = "/draw_type";
const char* const kBkColour = "/bk_color";
const char* const kFrameColour = "/frame_color";
const char* const kGridColour = "/grid_color";
const char* const kAnalogColour = "/analog_color";
const char* const kZeroColour = "/zero_color";
const char* const kEllipseColour = "/ellipse_color";

bool ReadColour(wxConfigBase& config, const wxString& key, CColour& colour)
{
    wxString text;
    if (!config.Read(key, &text))
        return false;
    CColour parsed;
    if (!ParseColour(text, parsed) || !parsed.valid)
        return false;
    colour = parsed;
    return true;
}

int ReadDivisions(wxConfigBase& config, const wxString& key)
{
    long value = 0;
    if (!config.Read(key, &value) || value < 1 || value > 100)
        return 10;
    return static_cast<int>(value);
}

bool ReadBool(wxConfigBase& config, const wxString& key, bool fallback)
{
    bool value = fallback;
    if (!config.Read(key, &value))
        return fallback;
    return value;
}

}  // namespace

wxString CAnalogViewSettings::GroupPath(const wxString& deviceKey)
{
    wxString group = "/Analog/AnalogView";
    if (!deviceKey.empty())
        group += "/" + deviceKey;
    return group;
}

double CAnalogViewSettings::ClampMaxRate(double maxRateHz, double rateHz)
{
    const double nyquist = rateHz / 2.0;
    if (!(maxRateHz > 0.0) || maxRateHz > nyquist)
        return nyquist;
    return maxRateHz;
}

void CAnalogViewSettings::LoadSettings(wxConfigBase& config, const wxString& group,
                                       double rateHz)
{
    grad_x = ReadDivisions(config, group + kGradX);
    grad_y = ReadDivisions(config, group + kGradY);
    auto_reset = ReadBool(config, group + kAutoReset, false);
    draw_poly = ReadBool(config, group + kDrawPoly, false);
    draw_poly_gradient = ReadBool(config, group + kDrawPolyGradient, true);
    long size = 0;
    if (config.Read(group + kDspSize, &size)) {
        // A negative or huge size would allocate without bound.
        if (size >= static_cast<long>(kMinDspSize) && size <= static_cast<long>(kMaxDspSize)) {
            dsp_size = static_cast<std::uint64_t>(size);
        } else {
            wxLogWarning("%s", wxString::Format(
                                   _("Spectrum size %ld out of range %llu..%llu, using %llu"), size,
                                   static_cast<unsigned long long>(kMinDspSize),
                                   static_cast<unsigned long long>(kMaxDspSize),
                                   static_cast<unsigned long long>(kDefaultDspSize)));
            dsp_size = kDefaultDspSize;
        }
    }
    dsp_clear_mean = ReadBool(config, group + kDspClearMean, false);
    dsp_use_db = ReadBool(config, group + kDspUseDb, true);
    dsp_use_stat = ReadBool(config, group + kDspUseStat, false);
    double maxRate = rateHz / 2.0;
    config.Read(group + kDspMaxRate, &maxRate);
    dsp_max_rate = ClampMaxRate(maxRate, rateHz);
    dsp_normalize = ReadBool(config, group + kDspNormalize, dsp_normalize);
    long window = 0;
    // A number beyond 32 bits is out of range, not its low half.
    if (config.Read(group + kDspWindow, &window) && window >= INT_MIN && window <= INT_MAX)
        dps_window = static_cast<int>(window);
    double seconds = 0.0;
    if (!config.Read(group + kDrawTime, &seconds) || !(seconds >= 0.1) || seconds > 1000.0)
        seconds = 5.0;
    draw_time = seconds;
    long type = 0;
    if (config.Read(group + kDrawType, &type))
        draw_type = (type >= 0 && type <= 5) ? static_cast<int>(type) : 0;
    ReadColour(config, group + kBkColour, bk_color);
    ReadColour(config, group + kFrameColour, frame_color);
    ReadColour(config, group + kGridColour, grid_color);
    ReadColour(config, group + kAnalogColour, analog_color);
    ReadColour(config, group + kZeroColour, zero_color);
    CColour ellipse;
    if (ReadColour(config, group + kEllipseColour, ellipse))
        SetEllipseColour(ellipse);
}

void CAnalogViewSettings::SetEllipseColour(const CColour& colour)
{
    ellipse_color = CColour(colour.red, colour.green, colour.blue, 128);
}

wxString CAnalogViewSettings::ColourText(const CColour& colour)
{
    if (colour.alpha == 255)
        return wxString::Format("rgb(%d, %d, %d)", colour.red, colour.green, colour.blue);
    return wxString::Format("rgba(%d, %d, %d, %s)", colour.red, colour.green, colour.blue,
                            wxString::FromCDouble(colour.alpha / 255.0, 3));
}

void CAnalogViewSettings::SaveSettings(wxConfigBase& config, const wxString& group) const
{
    config.Write(group + kGradX, static_cast<long>(grad_x));
    config.Write(group + kGradY, static_cast<long>(grad_y));
    config.Write(group + kAutoReset, auto_reset);
    config.Write(group + kDrawTime, draw_time);
    config.Write(group + kDrawPoly, draw_poly);
    config.Write(group + kDrawPolyGradient, draw_poly_gradient);
    config.Write(group + kDspSize, static_cast<long>(static_cast<std::uint32_t>(dsp_size)));
    config.Write(group + kDspWindow, static_cast<long>(dps_window));
    config.Write(group + kDspClearMean, dsp_clear_mean);
    config.Write(group + kDspUseDb, dsp_use_db);
    config.Write(group + kDspUseStat, dsp_use_stat);
    config.Write(group + kDspMaxRate, dsp_max_rate);
    config.Write(group + kDspNormalize, dsp_normalize);
    config.Write(group + kDrawType, static_cast<long>(draw_type));
    config.Write(group + kBkColour, ColourText(bk_color));
    config.Write(group + kFrameColour, ColourText(frame_color));
    config.Write(group + kGridColour, ColourText(grid_color));
    config.Write(group + kAnalogColour, ColourText(analog_color));
    config.Write(group + kZeroColour, ColourText(zero_color));
    config.Write(group + kEllipseColour, ColourText(ellipse_color));
}
