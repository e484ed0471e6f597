#pragma once

#include <wx/string.h>

#include <cstdint>

// A channel colour, kept in the core without the toolkit's GUI colour class.
// Names and texts follow the toolkit's colour database and its
// name-or-CSS text form, so configuration files stay interchangeable.
struct CColour {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    uint8_t alpha = 255;
    bool valid = false;

    constexpr CColour() = default;
    constexpr CColour(uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255)
        : red(r), green(g), blue(b), alpha(a), valid(true)
    {
    }
    bool operator==(const CColour& other) const
    {
        return valid == other.valid && red == other.red && green == other.green &&
               blue == other.blue && alpha == other.alpha;
    }
    bool operator!=(const CColour& other) const { return !(*this == other); }
};

// Looks a colour-database name up (case-insensitive, "GRAY" read as "GREY").
// False when the database does not know it.
bool FindColourByName(const wxString& name, CColour& colour);

// Parses a database name, "#RGB", "#RRGGBB", "rgb(r, g, b)" or "rgba(r, g, b, a)"
// with a in 0..1. False, and colour untouched, when the text is none of these.
bool ParseColour(const wxString& text, CColour& colour);

// The database name (lower case) when one has this opaque value, else
// "rgb(r, g, b)", or "rgba(r, g, b, a)" with a in 0..1 for a translucent colour.
wxString ColourToString(const CColour& colour);

// Number of entries of the channel palette.
constexpr int kPaletteSize = 48;

// Database name of palette entry i (0 <= i < kPaletteSize).
const char* PaletteName(int i);

// Default colour of channel n: palette entry n mod 48; a name the database
// does not know gives yellow.
CColour PaletteColour(int channel);
