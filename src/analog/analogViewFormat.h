#pragma once

#include <wx/arrstr.h>
#include <wx/string.h>

#include <cstdint>

// Texts and colour arithmetic shared by the 2D view's drawers. Display-free so
// that they are tested without a window. Any thread (no state).

// "%f" with trailing zeros removed, one digit kept after the separator.
wxString FormatViewValue(double value);

// Colour map for shares: 0 red, 0.25 yellow, 0.5 green, 0.75 cyan, 1 blue,
// 1.25 magenta, 1.5 and more black. Packed 0x00BBGGRR. Input clamped to [0, 2].
std::uint32_t ValueToColourRgb(double value);

// Index 0 (empty) to 5 (full) of the battery picture for a level in percent.
int BatteryIconIndex(int levelPercent);

// Marker label window in samples: rate x 0.3 rounded half up; at least 0.
int MarkerWindowSamples(double rateHz);

// Lightness (0 black, 100 the colour, 200 white) of a marker label |d| samples
// from the newest one, d = current sample - marker frame. -1 when not shown.
int MarkerLightness(long long samplesAgo, int windowSamples);

// The seven display-mode names, index = draw_type.
void ViewDrawTypeNames(wxArrayString& names);

// Display modes of the 2D view.
enum ViewDrawType : int {
    kDrawNormal = 0,
    kDrawStrip = 1,
    kDrawBar = 2,
    kDrawParametric = 3,
    kDrawPie = 4,
    kDrawSpectrum = 5,
    kDrawNone = 6,
};
