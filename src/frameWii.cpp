#include "DravonetMain.h"
#include "shellLog.h"

#include "framePrompts.h"
#include "wii/wiiDevice.h"
#include "wii/wiiLayer.h"
#include "wiiPair.h"

#include <wx/app.h>
#include <wx/filename.h>
#include <wx/intl.h>
#include <wx/log.h>
#include <wx/process.h>
#include <wx/stdpaths.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include <iostream>

namespace {

// The handler of the external pairing tool; its end needs no action.
class MyProcess : public wxProcess {
public:
    MyProcess() : wxProcess(nullptr, -1) {}
    void OnTerminate(int /*pid*/, int /*status*/) override {}
};

// The pairing tool's longest run; past it the program stops waiting (the tool
// keeps running on its own).
constexpr long kPairToolWaitMs = 120000;

}  // namespace

wxString WiiPairToolPath()
{
    const wxFileName executable(wxStandardPaths::Get().GetExecutablePath());
    return executable.GetPathWithSep() + "wii_pairu";
}

wxString WiiNoDeviceStatusText()
{
    const int denied = GetWiiDeniedCount();
    if (denied > 0)
        return wxString::Format(_("(Wii) %d device(s) found but not permitted: see Errors"), denied);
    return _("(Wii) No device found!");
}

bool TrackerFrame::SearchWiiDevices()
{
    wxBusyCursor busy;
    if (m_messagesText)
        AppendMessage("<WII> Searching Wii devices...\n");
    wxYield();
    g_wii_time_out.store(std::max(m_wiiTimeOut, 1));
    m_wiiFoundCount = InitWiiDevices();
    ScrollMessagesToEnd();
    if (!m_auiManager.GetPane("MESSAGEBOOK").IsShown()) {
        // Found but not permitted is not "nothing there": the Errors page says what to do.
        wxString text = wxString::Format(_("Devices detected : %d"), m_wiiFoundCount);
        if (GetWiiDeniedCount() > 0)
            text += "\n" + WiiNoDeviceStatusText();
        ShowNotification("WII", text, wxICON_INFORMATION);
    }
    return m_wiiFoundCount > 0;
}

void TrackerFrame::OnFindWiiDevices(wxCommandEvent& /*event*/)
{
    SearchWiiDevices();
}

void TrackerFrame::OnPairWIIDevice(wxCommandEvent& /*event*/)
{
    const wxString tool = WiiPairToolPath();
    if (wxFileName::FileExists(tool)) {
        std::cout << _("Trying to find wii devices").utf8_string() << std::endl;
        wxBusyCursor busy;
        auto* process = new MyProcess;
        const long pid = wxExecute(tool, wxEXEC_ASYNC | wxEXEC_MAKE_GROUP_LEADER, process);
        if (pid <= 0) {
            delete process;
            std::cout << _("Error running ").utf8_string() << tool.utf8_string() << std::endl;
        } else {
            std::cout << _("Please wait...").utf8_string() << std::endl;
            // The window keeps answering while the tool runs.
            wxStopWatch watch;
            while (wxProcess::Exists(static_cast<int>(pid)) && watch.Time() < kPairToolWaitMs) {
                wxMilliSleep(50);
                wxYield();
            }
            // The process object deletes itself when the tool ends; one still
            // running keeps it.
            std::cout << _("End of wii scanning").utf8_string() << std::endl;
        }
    } else {
        std::cout << _("Trying to find wii devices...").utf8_string() << std::endl;
        std::cout << _("Please wait...").utf8_string() << std::endl;
        wxYield();
        wxBusyCursor busy;
        const int paired = wii_pair(m_wiiMaxDevices, m_wiiFoundCount == 0 ? m_wiiRemove : false);
        if (paired == 0)
            LogShell(wxLOG_Warning, "OnPairWIIDevice", _("No wii device found!"));
        else
            wxLogMessage(_("%d wii device(s) found"), paired);
    }
    ScrollMessagesToEnd();
}

void TrackerFrame::OnOpenWIIDevice(wxCommandEvent& /*event*/)
{
    if (m_wiiFoundCount < 1 || !CanOpenDevice(6))
        return;
    CWiiDevice* device = nullptr;
    if (m_wiiFoundCount == 1) {
        device = new CWiiDevice(m_genTimer, 0, m_wiiSetBoard);
    } else {
        wxArrayString choices;
        for (int i = 0; i < m_wiiFoundCount; ++i)
            choices.Add(wxString::FromUTF8(GetWiiDeviceName(i).c_str()));
        if (m_wiiUseMulti) {
            const wxArrayInt chosen = ShellPrompts().multipleChoice(this, _("Select capture device"),
                                                                    _("WII Device"), choices);
            if (chosen.empty())
                return;
            std::vector<int> slots;
            for (int index : chosen)
                if (index >= 0 && index < m_wiiFoundCount &&
                    IsDeviceNameFree(CWiiDevice::MakeDevicePath(index, false)))
                    slots.push_back(index);
            if (slots.empty()) {
                LogShell(wxLOG_Error, "OnOpenWIIDevice", _("One (or more) Device is already open\n"));
                return;
            }
            device = slots.size() == 1 ? new CWiiDevice(m_genTimer, slots[0], m_wiiSetBoard)
                                       : new CWiiDevice(m_genTimer, slots);
        } else {
            const int index = ShellPrompts().singleChoice(this, _("Select capture device"),
                                                          _("WII Device"), choices);
            if (index < 0 || index >= m_wiiFoundCount)
                return;
            const wxString path = CWiiDevice::MakeDevicePath(index, false);
            if (!IsDeviceNameFree(path)) {
                LogShell(wxLOG_Error, "OnOpenWIIDevice", _("Device is already open : ") + path);
                return;
            }
            device = new CWiiDevice(m_genTimer, index, m_wiiSetBoard);
        }
    }
    AddDeviceView(device, true, true);
}

void TrackerFrame::ReleaseWiiLibrary()
{
    CleanupWiiDevices();
}
