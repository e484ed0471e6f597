#include "DravonetMain.h"
#include "shellLog.h"

#include "framePrompts.h"
#include "network/oscServer.h"

#include <wx/intl.h>
#include <wx/log.h>

void TrackerFrame::OnDeviceAddOscClient(wxCommandEvent& /*event*/)
{
    const wxString entry = ShellPrompts().textEntry(this, _("Enter OSC address and Port"),
                                                    _("OSC Client"), "127.0.0.1:6969");
    if (entry.empty())
        return;
    // UTF-8 whatever the locale: a host the locale cannot hold is still reported as typed.
    const wxScopedCharBuffer utf8 = entry.utf8_str();
    std::string reason;
    if (!OscServerAddClient(std::string(utf8.data(), utf8.length()), &reason)) {
        wxString text = wxString(_("Error adding OSC client ")) + entry;
        if (!reason.empty())
            text += " (" + wxString::FromUTF8(reason) + ")";
        LogShell(wxLOG_Error, "OnDeviceAddOscClient", text);
    }
}

void TrackerFrame::OnDeviceRemoveOscClient(wxCommandEvent& /*event*/)
{
    const std::size_t count = OscServerGetClientCount();
    if (count == 0)
        return;
    wxArrayString choices;
    for (std::size_t i = 0; i < count; ++i)
        choices.Add(wxString::FromUTF8(OscServerGetClient(i)));
    const int chosen = ShellPrompts().singleChoice(this, _("Select OSC client to remove"),
                                                   _("Remove OSC Client"), choices);
    if (chosen < 0 || static_cast<size_t>(chosen) >= choices.size())
        return;
    const wxString entry = choices[static_cast<size_t>(chosen)];
    const wxScopedCharBuffer utf8 = entry.utf8_str();
    if (!OscServerRemoveClient(std::string(utf8.data(), utf8.length())))
        LogShell(wxLOG_Error, "OnDeviceRemoveOscClient", wxString(_("Error removing OSC client ")) + entry);
}
