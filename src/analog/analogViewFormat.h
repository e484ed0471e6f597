#pragma once

#include <wx/arrstr.h>
#include <wx/string.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// Texts and colour arithmetic shared by the 2D view's drawers. Display-free so
// that they are tested without a window. Any thread (no state).

// "%f" with trailing zeros removed, one digit kept after the separator.
wxString FormatViewValue(double value);

// Numbers on screen: one formatter for the axis labels, the values shown beside
// curves, bars and legends, and the statistics. A shown number keeps its
// significant digits at any scale and is never "-0".

// How the labels of one axis are written: lines step apart, none further from 0
// than magnitude. Fixed ("0.8", "120.0", at least one decimal) while that is at
// most 8 characters; past that the shorter mantissa-and-exponent form ("4e-07",
// "1.6e+06"). Either form has the digits of the step (one more for a step such
// as 1.25), so that each label reads back as its line's value (within half a
// step at worst) and neighbours differ.
struct AxisFormat {
    double resolution = 0.1;  // the unit of the last digit written
    int decimals = 1;         // fixed form: digits after the point
    bool compact = false;     // each label as mantissa and exponent
};
AxisFormat ChooseAxisFormat(double step, double magnitude);
// The labels of the lines first + j * step, j = 0 .. divisions (step may be
// negative): each labelled line reads as its own value, also where the lines
// lie off the step's grid (a constant 7.25 seen over 6.75 .. 7.75). Where the
// lines lie closer than the values there can be told apart (1e15 +- 1), only
// every stride-th line (j a multiple of stride) is labelled, so that no two
// labels read alike.
struct AxisLines {
    AxisFormat format;
    int stride = 1;
};
AxisLines ChooseAxisLines(double first, double step, int divisions);
wxString FormatAxisValue(double value, const AxisFormat& format);

// A measured value, at least decimals digits after the point and at least
// significant digits in all; values too small or too large for that in a few
// characters in the mantissa-and-exponent form ("-1.000e-06"). A non-zero value
// never reads as zero.
wxString FormatNumber(double value, int decimals, int significant);
// The values of a place that would print "%.<decimals>f": decimals + 1 significant digits.
inline wxString FormatShownValue(double value, int decimals)
{
    return FormatNumber(value, decimals, decimals + 1);
}
// A value shown on or beside a plot whose grid lines lie step apart: written
// as FormatNumber(value, decimals, significant) where that is precise to a
// fifth of the step, else with the digits down to a fifth of the step (in the
// mantissa-and-exponent form where that is shorter). It then reads within a
// tenth of the step of the value, so values a line apart never read alike.
wxString FormatPlotValue(double value, double step, int decimals, int significant);
// A message format (translated) with its first "%.<n>f" turned into "%s", for a
// number written by FormatNumber; start receives where that number begins in
// the message when nothing before it is replaced (npos when the format has none).
wxString NumberAsText(const wxString& format, size_t* start = nullptr);

// For each of a set of labels shown together, where its distinct part begins:
// the word (in a one-word label, the run of digits or letters) in which it
// first differs from the most alike other label. A label shortened around an
// ellipsis keeps that part ("Channel #10" -> "C...#10"), so shortened labels
// stay apart. npos where that part is the label's start (nothing to drop).
// Where that part lies at the label's start instead (names that differ only
// in their first characters), heads receives, when given, how many of its
// first characters a shortened label keeps: no other label starts with them
// (0 where the tail is kept, or nothing needs keeping).
void DistinctTails(const std::vector<wxString>& labels, std::vector<size_t>& starts,
                   std::vector<size_t>* heads = nullptr);

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
