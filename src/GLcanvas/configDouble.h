#pragma once

#include <wx/string.h>

class wxConfigBase;

// Reads a configuration double written with a point as decimal separator, under any locale.
// A missing entry, text that is not a number, or a value that is not finite gives def; a null
// configuration gives 0. GUI thread, like every use of the configuration object.
double ReadConfigDouble(wxConfigBase* cfg, const wxString& key, double def);
