#pragma once

#include <wx/intl.h>
#include <wx/log.h>
#include <wx/string.h>

// A refusal the user must see at once, logged with the main frame's source and the
// handler's name as its place (the default log target shows it in a message box).
inline void LogShell(wxLogLevel level, const char* function, const wxString& text)
{
    wxLogger(level, "DravonetMain", __LINE__, function, wxLOG_COMPONENT).Log("%s", text);
}

// The one answer to every change of a recording device's channels or parameters
// (channel list, device commands, view grid): the recording would lose its frames.
inline void LogRecordingRefusal(const char* function)
{
    LogShell(wxLOG_Warning, function, _("You need to stop recording before changing the device"));
}
