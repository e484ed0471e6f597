#include "analog/analogViewFormat.h"

#include <wx/intl.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numeric>

wxString FormatViewValue(double value)
{
    wxString text = wxString::Format("%f", value);
    while (text.EndsWith("0"))
        text.RemoveLast();
    if (text.EndsWith(".") || text.EndsWith(","))
        text += "0";
    // A value that rounds to zero reads "0.0", not "-0.0".
    if (text.StartsWith("-") && text.find_first_of("123456789") == wxString::npos)
        text.Remove(0, 1);
    return text;
}

namespace {

// Exponent of the leading digit: floor(log10 |value|), for a finite non-zero value.
int DecimalExponent(double value)
{
    // The small slack keeps an exact power of ten (0.001 computed as
    // 0.00099999...) on its own exponent.
    return static_cast<int>(std::floor(std::log10(std::fabs(value)) + 1e-12));
}

// "1.20e-06" -> "1.2e-06", "4.e+05" -> "4e+05".
wxString TrimMantissa(const wxString& text)
{
    const size_t e = text.find_first_of("eE");
    if (e == wxString::npos)
        return text;
    wxString mantissa = text.Left(e);
    if (mantissa.find_first_of(".,") == wxString::npos)
        return text;
    while (mantissa.EndsWith("0"))
        mantissa.RemoveLast();
    if (mantissa.EndsWith(".") || mantissa.EndsWith(","))
        mantissa.RemoveLast();
    return mantissa + text.Mid(e);
}

bool IsDigit(wxUniChar c) { return c >= '0' && c <= '9'; }

// How FormatNumber writes a finite non-zero value: fixed with digits after
// the point, or as mantissa (digits after its point) and exponent.
struct NumberForm {
    bool fixed = true;
    int digits = 0;
    int lead = 0;  // exponent of the leading digit
    int LastDigitExponent() const { return fixed ? -digits : lead - digits; }
};
NumberForm ChooseNumberForm(double value, int decimals, int significant)
{
    NumberForm form;
    decimals = std::min(std::max(decimals, 0), 15);
    significant = std::min(std::max(significant, 1), 16);
    form.lead = DecimalExponent(value);
    const int needed = std::max(decimals, significant - 1 - form.lead);
    // Fixed while it takes few decimals and few integer digits.
    form.fixed = needed <= std::max(5, decimals) && form.lead < 10;
    form.digits = form.fixed ? needed : significant - 1;
    return form;
}

// The format whose last digit is 10^p, for labels none further from 0 than magnitude.
AxisFormat MakeAxisFormat(int p, double magnitude)
{
    AxisFormat format;
    p = std::min(std::max(p, -300), 300);
    format.resolution = std::pow(10.0, p);
    format.decimals = std::max(1, -p);
    const double m = std::isfinite(magnitude) ? std::fabs(magnitude) : 0.0;
    const int lead = m >= format.resolution ? DecimalExponent(m) : p;
    const int fixedLength = std::max(lead, 0) + 1 + 1 + format.decimals;
    const int mantissaDecimals = std::max(0, lead - p);
    const int compactLength = 1 + (mantissaDecimals > 0 ? 1 + mantissaDecimals : 0) + 4;
    format.compact = fixedLength > 8 && compactLength < fixedLength;
    if (!format.compact)
        format.resolution = std::pow(10.0, -format.decimals);
    return format;
}

// Exponent of the last digit a step needs: its own, one more for a step of
// several digits (1.25, 2.5).
int StepDigitExponent(double step)
{
    if (!(step > 0.0) || !std::isfinite(step)) step = 1.0;
    int p = std::min(std::max(DecimalExponent(step), -300), 300);
    const double units = step / std::pow(10.0, p);
    if (std::fabs(units - std::round(units)) > 1e-6 * units) --p;
    return p;
}

// The value a label of the format reads as (FormatAxisValue rounds the same way).
double LabelValue(double value, const AxisFormat& format)
{
    const double steps = std::round(value / format.resolution);
    // Past 2^52 units the quotient itself is rounded: the value is written as it is.
    if (!(std::fabs(steps) < 4503599627370496.0)) return value;
    return steps * format.resolution;
}

// Distance from a finite value to the next double away from zero.
double DoubleSpacing(double value)
{
    const double m = std::fabs(value);
    return std::nextafter(m, std::numeric_limits<double>::infinity()) - m;
}

}  // namespace

AxisFormat ChooseAxisFormat(double step, double magnitude)
{
    return MakeAxisFormat(StepDigitExponent(step), magnitude);
}

AxisLines ChooseAxisLines(double first, double step, int divisions)
{
    AxisLines lines;
    const double size = std::fabs(step);
    if (divisions < 1 || !(size > 0.0) || !std::isfinite(size) || !std::isfinite(first)) {
        lines.format = ChooseAxisFormat(size, std::isfinite(first) ? first : 0.0);
        return lines;
    }
    const double last = first + divisions * step;
    const double magnitude = std::max(std::fabs(first), std::fabs(last));
    // Lines closer than a few doubles apart cannot be told apart by their
    // values (1e15 +- 1 holds doubles 0.125 apart): only every stride-th is labelled.
    const double spacing = DoubleSpacing(magnitude);
    const double wanted = std::ceil(4.0 * spacing / size - 1e-9);
    lines.stride = wanted > 1.0 ? static_cast<int>(std::min(wanted, 1e6)) : 1;
    const double labelStep = size * lines.stride;
    // Each labelled line reads as its own value: the digits of the step, and
    // more where the lines lie off that step's grid (a range 0.05 .. 1.05 in
    // steps of 0.1), up to two more.
    const double tolerance = std::max(labelStep / 20.0, spacing);
    const int p = StepDigitExponent(labelStep);
    for (int extra = 0; extra <= 2; ++extra) {
        lines.format = MakeAxisFormat(p - extra, magnitude);
        bool readsAsItsLine = true;
        for (int j = 0; j <= divisions && readsAsItsLine; j += lines.stride) {
            const double value = first + j * step;
            readsAsItsLine = std::fabs(LabelValue(value, lines.format) - value) <= tolerance;
        }
        if (readsAsItsLine) break;
    }
    return lines;
}

wxString FormatAxisValue(double value, const AxisFormat& format)
{
    if (!std::isfinite(value))
        return wxString::Format("%g", value);
    // The value on the grid of the last digit: a line a hair off its place
    // (sums of steps) reads as its place, and one within half a unit of 0 as 0.
    const double steps = std::round(value / format.resolution);
    if (steps == 0.0 || !std::isfinite(steps))
        return format.compact ? wxString("0") : wxString::Format("%.*f", format.decimals, 0.0);
    const double rounded = LabelValue(value, format);
    if (!format.compact)
        return wxString::Format("%.*f", format.decimals, rounded);
    const int digits = std::max(0, DecimalExponent(rounded) -
                                       DecimalExponent(format.resolution));
    return TrimMantissa(wxString::Format("%.*e", std::min(digits, 16), rounded));
}

wxString FormatNumber(double value, int decimals, int significant)
{
    decimals = std::min(std::max(decimals, 0), 15);
    significant = std::min(std::max(significant, 1), 16);
    if (!std::isfinite(value))
        return wxString::Format("%g", value);
    if (value == 0.0)
        return wxString::Format("%.*f", decimals, 0.0);  // +0 and -0 alike
    const NumberForm form = ChooseNumberForm(value, decimals, significant);
    return wxString::Format(form.fixed ? "%.*f" : "%.*e", form.digits, value);
}

wxString FormatPlotValue(double value, double step, int decimals, int significant)
{
    const wxString text = FormatNumber(value, decimals, significant);
    if (!std::isfinite(value) || value == 0.0 || !(step > 0.0) || !std::isfinite(step))
        return text;
    const int lead = DecimalExponent(value);
    // The unit wanted: the largest power of ten not above a fifth of the step.
    const int wanted = std::max(DecimalExponent(step / 5.0), -300);
    if (ChooseNumberForm(value, decimals, significant).LastDigitExponent() <= wanted)
        return text;
    // Digits from the leading one down to the unit wanted, at most as many as
    // a double holds.
    const int digits = std::min(std::max(lead - wanted + 1, 1), 17);
    const int fixedDecimals = std::max(0, -wanted);
    const int fixedLength =
        std::max(lead, 0) + 1 + (fixedDecimals > 0 ? 1 + fixedDecimals : 0) + (value < 0);
    const int compactLength = digits + (digits > 1) + 4 + (value < 0);
    if (fixedLength <= compactLength && fixedDecimals <= 17)
        return wxString::Format("%.*f", fixedDecimals, value);
    return wxString::Format("%.*e", digits - 1, value);
}

wxString NumberAsText(const wxString& format, size_t* start)
{
    static const wxString conversions = "diouxXeEfFgGaAcspn";
    wxString out;
    size_t printed = 0;  // characters the output prints up to here
    bool exact = true;   // nothing before varies in length
    bool replaced = false;
    if (start)
        *start = wxString::npos;
    for (size_t i = 0; i < format.length();) {
        if (format[i] != '%') {
            out += format[i++];
            ++printed;
            continue;
        }
        if (i + 1 < format.length() && format[i + 1] == '%') {
            out += "%%";
            ++printed;
            i += 2;
            continue;
        }
        size_t end = i + 1;
        while (end < format.length() && conversions.find(format[end]) == wxString::npos)
            ++end;
        const wxString directive = format.Mid(i, end + 1 - i);
        bool isFixed = !replaced && end < format.length() && format[end] == 'f';
        for (size_t k = 1; isFixed && k + 1 < directive.length(); ++k)
            isFixed = directive[k] == '.' || IsDigit(directive[k]);
        if (isFixed) {
            out += "%s";
            replaced = true;
            if (start && exact)
                *start = printed;
        } else {
            out += directive;
            exact = false;
        }
        i = end + 1;
    }
    return out;
}

void DistinctTails(const std::vector<wxString>& labels, std::vector<size_t>& starts,
                   std::vector<size_t>* heads)
{
    const size_t n = labels.size();
    starts.assign(n, wxString::npos);
    if (heads)
        heads->assign(n, 0);
    if (n < 2)
        return;
    // The most alike other label is a neighbour in sorted order.
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return labels[a] < labels[b]; });
    const auto shared = [&](size_t a, size_t b) {
        const wxString& x = labels[a];
        const wxString& y = labels[b];
        size_t k = 0;
        while (k < x.length() && k < y.length() && x[k] == y[k])
            ++k;
        return k;
    };
    for (size_t k = 0; k < n; ++k) {
        const size_t i = order[k];
        size_t common = 0;
        if (k > 0)
            common = std::max(common, shared(i, order[k - 1]));
        if (k + 1 < n)
            common = std::max(common, shared(i, order[k + 1]));
        const wxString& label = labels[i];
        if (label.empty()) continue;
        const size_t at = std::min(common, label.length() - 1);
        if (heads) {
            // Through the first difference, and the rest of its number: no
            // other label starts with that.
            size_t end = std::min(common + 1, label.length());
            while (IsDigit(label[at]) && end < label.length() && IsDigit(label[end])) ++end;
            (*heads)[i] = end;
        }
        if (common == 0) continue;
        // The word holding the first difference (the last word when the
        // label is the start of another one); in a label of one word, the
        // run of digits (or of other characters) holding it.
        size_t begin = std::min(common, label.length());
        while (begin > 0 && label[begin - 1] != ' ')
            --begin;
        if (begin == 0) {
            const bool digit = IsDigit(label[at]);
            begin = at;
            while (begin > 0 && IsDigit(label[begin - 1]) == digit)
                --begin;
        }
        if (begin > 0) {
            starts[i] = begin;
            if (heads) (*heads)[i] = 0;  // the distinct part is kept as the tail
        }
    }
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
