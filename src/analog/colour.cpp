#include "analog/colour.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

struct NamedColour {
    const char* name;
    uint8_t red, green, blue;
};

// The names the toolkit's colour database knows, with the values it gives them.
constexpr NamedColour kDatabase[] = {
    {"AQUAMARINE", 112, 219, 147},      {"BLACK", 0, 0, 0},
    {"BLUE", 0, 0, 255},                {"BLUE VIOLET", 159, 95, 159},
    {"BROWN", 165, 42, 42},             {"CADET BLUE", 95, 159, 159},
    {"CORAL", 255, 127, 0},             {"CORNFLOWER BLUE", 66, 66, 111},
    {"CYAN", 0, 255, 255},              {"DARK GREY", 47, 47, 47},
    {"DARK GREEN", 47, 79, 47},         {"DARK OLIVE GREEN", 79, 79, 47},
    {"DARK ORCHID", 153, 50, 204},      {"DARK SLATE BLUE", 107, 35, 142},
    {"DARK SLATE GREY", 47, 79, 79},    {"DARK TURQUOISE", 112, 147, 219},
    {"DIM GREY", 84, 84, 84},           {"FIREBRICK", 142, 35, 35},
    {"FOREST GREEN", 35, 142, 35},      {"GOLD", 204, 127, 50},
    {"GOLDENROD", 219, 219, 112},       {"GREY", 128, 128, 128},
    {"GREEN", 0, 255, 0},               {"GREEN YELLOW", 147, 219, 112},
    {"INDIAN RED", 79, 47, 47},         {"KHAKI", 159, 159, 95},
    {"LIGHT BLUE", 191, 216, 216},      {"LIGHT GREY", 192, 192, 192},
    {"LIGHT MAGENTA", 255, 119, 255},   {"LIGHT STEEL BLUE", 143, 143, 188},
    {"LIME GREEN", 50, 204, 50},        {"MAGENTA", 255, 0, 255},
    {"MAROON", 142, 35, 107},           {"MEDIUM AQUAMARINE", 50, 204, 153},
    {"MEDIUM BLUE", 50, 50, 204},       {"MEDIUM FOREST GREEN", 107, 142, 35},
    {"MEDIUM GOLDENROD", 234, 234, 173}, {"MEDIUM GREY", 100, 100, 100},
    {"MEDIUM ORCHID", 147, 112, 219},   {"MEDIUM SEA GREEN", 66, 111, 66},
    {"MEDIUM SLATE BLUE", 127, 0, 255}, {"MEDIUM SPRING GREEN", 127, 255, 0},
    {"MEDIUM TURQUOISE", 112, 219, 219}, {"MEDIUM VIOLET RED", 219, 112, 147},
    {"MIDNIGHT BLUE", 47, 47, 79},      {"NAVY", 35, 35, 142},
    {"ORANGE", 204, 50, 50},            {"ORANGE RED", 255, 0, 127},
    {"ORCHID", 219, 112, 219},          {"PALE GREEN", 143, 188, 143},
    {"PINK", 255, 192, 203},            {"PLUM", 234, 173, 234},
    {"PURPLE", 176, 0, 255},            {"RED", 255, 0, 0},
    {"SALMON", 111, 66, 66},            {"SEA GREEN", 35, 142, 107},
    {"SIENNA", 142, 107, 35},           {"SKY BLUE", 50, 153, 204},
    {"SLATE BLUE", 0, 127, 255},        {"SPRING GREEN", 0, 255, 127},
    {"STEEL BLUE", 35, 107, 142},       {"TAN", 219, 147, 112},
    {"THISTLE", 216, 191, 216},         {"TURQUOISE", 173, 234, 234},
    {"VIOLET", 79, 47, 79},             {"VIOLET RED", 204, 50, 153},
    {"WHEAT", 216, 216, 191},           {"WHITE", 255, 255, 255},
    {"YELLOW", 255, 255, 0},            {"YELLOW GREEN", 153, 204, 50},
};

// "MIDNIGHT" and "BLUE, NAVY" are not database names: those channels get yellow.
constexpr const char* kPalette[kPaletteSize] = {
    "RED",         "GREEN",           "CYAN",          "YELLOW",           "GREY",
    "PINK",        "LIGHT BLUE",      "GREEN YELLOW",  "MAGENTA",          "AQUAMARINE",
    "ORANGE",      "PURPLE",          "BROWN",         "CADET BLUE",       "CORAL",
    "CORNFLOWER BLUE", "BLUE",        "GOLDENROD",     "YELLOW GREEN",     "LIGHT STEEL BLUE",
    "SALMON",      "MIDNIGHT",        "INDIAN RED",    "KHAKI",            "WHEAT",
    "DARK OLIVE GREEN", "FIREBRICK",  "DARK SLATE BLUE", "MEDIUM VIOLET RED", "ORCHID",
    "SKY BLUE",    "SIENNA",          "SEA GREEN",     "MEDIUM ORCHID",    "TURQUOISE",
    "THISTLE",     "TAN",             "BLUE VIOLET",   "VIOLET RED",       "ORANGE RED",
    "SLATE BLUE",  "MEDIUM TURQUOISE", "PALE GREEN",   "DARK ORCHID",      "BLUE, NAVY",
    "MAROON",      "VIOLET",          "GOLD",
};

constexpr CColour kYellow(255, 255, 0);

int ClampByte(long value) { return value < 0 ? 0 : (value > 255 ? 255 : static_cast<int>(value)); }

int HexDigit(wxUniChar c)
{
    const int v = static_cast<int>(c.GetValue());
    if (v >= '0' && v <= '9') return v - '0';
    if (v >= 'a' && v <= 'f') return v - 'a' + 10;
    if (v >= 'A' && v <= 'F') return v - 'A' + 10;
    return -1;
}

bool ParseHex(const wxString& text, CColour& colour)
{
    const size_t digits = text.length() - 1;
    if (digits != 3 && digits != 6) return false;
    int values[6];
    for (size_t i = 0; i < digits; ++i) {
        values[i] = HexDigit(text[i + 1]);
        if (values[i] < 0) return false;
    }
    if (digits == 3)
        colour = CColour(static_cast<uint8_t>(values[0] * 17), static_cast<uint8_t>(values[1] * 17),
                         static_cast<uint8_t>(values[2] * 17));
    else
        colour = CColour(static_cast<uint8_t>(values[0] * 16 + values[1]),
                         static_cast<uint8_t>(values[2] * 16 + values[3]),
                         static_cast<uint8_t>(values[4] * 16 + values[5]));
    return true;
}

// "rgb(r, g, b)" and "rgba(r, g, b, a)", any case, blanks allowed.
bool ParseFunctional(const wxString& text, CColour& colour)
{
    const std::string narrow = text.Lower().ToStdString();
    long r = 0, g = 0, b = 0;
    double a = 1.0;
    char tail = 0;
    int consumed = 0;
    if (std::sscanf(narrow.c_str(), "rgba ( %ld , %ld , %ld , %lf %c%n", &r, &g, &b, &a, &tail,
                    &consumed) == 5 &&
        tail == ')') {
        if (!std::isfinite(a)) return false;
        a = a < 0.0 ? 0.0 : (a > 1.0 ? 1.0 : a);
    } else if (std::sscanf(narrow.c_str(), "rgb ( %ld , %ld , %ld %c%n", &r, &g, &b, &tail,
                           &consumed) == 4 &&
               tail == ')') {
        a = 1.0;
    } else {
        return false;
    }
    if (narrow.find_first_not_of(" \t", static_cast<size_t>(consumed)) != std::string::npos)
        return false;
    colour = CColour(static_cast<uint8_t>(ClampByte(r)), static_cast<uint8_t>(ClampByte(g)),
                     static_cast<uint8_t>(ClampByte(b)),
                     static_cast<uint8_t>(std::lround(a * 255.0)));
    return true;
}

}  // namespace

bool FindColourByName(const wxString& name, CColour& colour)
{
    wxString key = name.Upper();
    key.Trim(true).Trim(false);
    key.Replace("GRAY", "GREY");
    for (const NamedColour& entry : kDatabase) {
        if (key == entry.name) {
            colour = CColour(entry.red, entry.green, entry.blue);
            return true;
        }
    }
    return false;
}

bool ParseColour(const wxString& text, CColour& colour)
{
    wxString trimmed = text;
    trimmed.Trim(true).Trim(false);
    if (trimmed.empty()) return false;
    if (trimmed[0] == '#') return ParseHex(trimmed, colour);
    if (trimmed.Lower().StartsWith("rgb")) return ParseFunctional(trimmed, colour);
    return FindColourByName(trimmed, colour);
}

wxString ColourToString(const CColour& colour)
{
    if (!colour.valid) return wxString();
    if (colour.alpha == 255) {
        for (const NamedColour& entry : kDatabase) {
            if (entry.red == colour.red && entry.green == colour.green && entry.blue == colour.blue)
                return wxString(entry.name).Lower();
        }
        return wxString::Format("rgb(%d, %d, %d)", colour.red, colour.green, colour.blue);
    }
    // The alpha is written with a dot whatever the locale, as the toolkit does.
    return wxString::Format("rgba(%d, %d, %d, %s)", colour.red, colour.green, colour.blue,
                            wxString::FromCDouble(colour.alpha / 255.0, 3));
}

const char* PaletteName(int i)
{
    return (i >= 0 && i < kPaletteSize) ? kPalette[i] : "";
}

CColour PaletteColour(int channel)
{
    if (channel < 0) return kYellow;
    CColour colour;
    return FindColourByName(kPalette[channel % kPaletteSize], colour) ? colour : kYellow;
}
