#pragma once

#include <wx/string.h>

// Daily log file "qv_log<date>.txt" in a chosen folder. Any thread.
void SetLogDirectory(const wxString& dir);
// Appends "<date> <time>\t<text>\n"; false (with a message on stderr) when it cannot.
bool WriteLog(const wxString& text);
