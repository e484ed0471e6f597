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
    const wxScopedCharBuffer narrow = entry.mb_str();
    const std::string text = narrow.data() ? std::string(narrow.data()) : std::string();
    if (!OscServerAddClient(text))
        LogShell(wxLOG_Error, "OnDeviceAddOscClient", wxString(_("Error adding OSC client ")) + entry);
}

void TrackerFrame::OnDeviceRemoveOscClient(wxCommandEvent& /*event*/)
{
    const std::size_t count = OscServerGetClientCount();
    if (count == 0)
        return;
    wxArrayString choices;
    for (std::size_t i = 0; i < count; ++i)
        choices.Add(wxString(OscServerGetClient(i).c_str(), wxConvLibc));
    const int chosen = ShellPrompts().singleChoice(this, _("Select OSC client to remove"),
                                                   _("Remove OSC Client"), choices);
    if (chosen < 0 || static_cast<size_t>(chosen) >= choices.size())
        return;
    const wxString entry = choices[static_cast<size_t>(chosen)];
    const wxScopedCharBuffer narrow = entry.mb_str();
    if (!OscServerRemoveClient(narrow.data() ? std::string(narrow.data()) : std::string()))
        LogShell(wxLOG_Error, "OnDeviceRemoveOscClient", wxString(_("Error removing OSC client ")) + entry);
}
