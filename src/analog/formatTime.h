#pragma once

#include <wx/string.h>

// Time read-out used by the shell's displays and the file player:
// "%d h %d m %d s" from one hour, "%d mn %d s %d" (hundredths) from one
// minute, "%.3f s" below (negative values included). Any thread.
wxString FormatTime(double seconds);
