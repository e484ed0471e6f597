#pragma once

#include <wx/log.h>
#include <wx/string.h>

// A refusal the user must see at once, logged with the main frame's source and the
// handler's name as its place (the default log target shows it in a message box).
inline void LogShell(wxLogLevel level, const char* function, const wxString& text)
{
    wxLogger(level, "DravonetMain", __LINE__, function, wxLOG_COMPONENT).Log("%s", text);
}
