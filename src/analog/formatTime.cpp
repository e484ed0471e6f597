#include "analog/formatTime.h"

#include <wx/translation.h>

#include <algorithm>

// Each integer conversion truncates toward zero, after the subtraction in
// double, so 61.3 s reads "1 mn 1 s 29": stored files' lists show it so.
wxString FormatTime(double seconds)
{
    double t = seconds;
    if (t / 3600.0 >= 1.0) {
        // Clamped so that an absurd value cannot overflow the conversion.
        const int hours = static_cast<int>(std::min(t / 3600.0, 2147483647.0));
        t -= hours * 3600.0;
        int minutes = 0;
        if (t / 60.0 >= 1.0) {
            minutes = static_cast<int>(t / 60.0);
            t -= minutes * 60.0;
        }
        return wxString::Format(_("%d h %d m %d s"), hours, minutes,
                                static_cast<int>(t));
    }
    if (t / 60.0 >= 1.0) {
        const int minutes = static_cast<int>(t / 60.0);
        t -= minutes * 60.0;
        const int secs = static_cast<int>(t);
        const int hundredths = static_cast<int>(100.0 * (t - secs));
        return wxString::Format(_("%d mn %d s %d"), minutes, secs, hundredths);
    }
    return wxString::Format("%.3f s", t);
}
