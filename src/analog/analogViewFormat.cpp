#include "analog/analogViewFormat.h"

#include <wx/intl.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

wxString FormatViewValue(double value)
{
    wxString text = wxString::Format("%f", value);
    while (text.EndsWith("0"))
        text.RemoveLast();
    if (text.EndsWith(".") || text.EndsWith(","))
        text += "0";
    return text;
}

std::uint32_t ValueToColourRgb(double value)
{
    // Clamped so that the integer conversion below is always defined.
    if (!(value > 0.0))
        value = 0.0;
    value = std::min(value, 2.0);
    const int i = static_cast<int>(value * 256.0 * 4.0);
    const int segment = i / 256;
    const int f = i - 256 * segment;
    const int g = 255 - f;
    int r = 0, gr = 0, b = 0;
    switch (segment) {
    case 0: r = 255; gr = f; b = 0; break;
    case 1: r = g; gr = 255; b = 0; break;
    case 2: r = 0; gr = 255; b = f; break;
    case 3: r = 0; gr = g; b = 255; break;
    case 4: r = f; gr = 0; b = 255; break;
    case 5: r = 255; gr = 0; b = g; break;
    default: break;
    }
    return static_cast<std::uint32_t>(r) | (static_cast<std::uint32_t>(gr) << 8) |
           (static_cast<std::uint32_t>(b) << 16);
}

int BatteryIconIndex(int levelPercent)
{
    if (levelPercent > 80) return 5;
    if (levelPercent > 70) return 4;
    if (levelPercent > 50) return 3;
    if (levelPercent > 30) return 2;
    if (levelPercent > 15) return 1;
    return 0;
}

int MarkerWindowSamples(double rateHz)
{
    const double window = std::floor(rateHz * 0.3 + 0.5);
    if (!(window > 0.0))
        return 0;
    return window > 1e9 ? 1000000000 : static_cast<int>(window);
}

int MarkerLightness(long long samplesAgo, int windowSamples)
{
    const long long distance = samplesAgo < 0 ? -samplesAgo : samplesAgo;
    if (windowSamples < 0 || distance > windowSamples)
        return -1;
    // Below 5/3 Hz the window is 0: only a marker on the newest sample shows,
    // in the colour itself.
    if (windowSamples == 0)
        return 100;
    const float ratio = static_cast<float>(samplesAgo) / static_cast<float>(windowSamples);
    return static_cast<int>(std::floor(std::fabs(ratio - 1.0f) * 100.0 + 0.5));
}

void ViewDrawTypeNames(wxArrayString& names)
{
    names.Clear();
    names.Add(_("Normal Mode"));
    names.Add(_("Strip Mode"));
    names.Add(_("Bar Mode"));
    names.Add(_("Parametric Mode"));
    names.Add(_("Pie Chart Mode"));
    names.Add(_("Power Spectral Density"));
    names.Add(_("None"));
}
