#include "DravonetMain.h"
#include "shellLog.h"

#include "Bird/fob_device.h"
#include "analog/analogFileDevice.h"
#include "analog/testDevice.h"
#include "frameDeviceViews.h"
#include "framePrompts.h"
#include "network/oscClientSettings.h"
#include "network/oscDevice.h"
#include "network/vrpnDevice.h"
#include "satel/satel_device.h"

#include <wx/aui/framemanager.h>
#include <wx/intl.h>
#include <wx/log.h>
#include <wx/msgdlg.h>
#include <wx/utils.h>

namespace {

void LogAlreadyOpen(const char* function, const wxString& path)
{
    LogShell(wxLOG_Error, function, _("Device is already open : ") + path);
}

// The start-up of a flock asks the user to switch the birds on and keeps the
// window alive while it waits.
CFobStartup FobStartupFor(wxWindow* parent)
{
    CFobStartup startup;
    startup.prompt = [parent](const wxString& text, const wxString& caption) {
        wxMessageBox(text, caption, wxOK | wxCENTRE, parent);
    };
    startup.yield = [] { wxYield(); };
    return startup;
}

}  // namespace

int SatelPeriodMs(int rateIndex)
{
    static const int32_t kPeriods[] = {200, 100, 50};
    return rateIndex >= 0 && rateIndex < 3 ? kPeriods[rateIndex] : 25;
}

void TrackerFrame::OnOpenAnalogTestDevice(wxCommandEvent& /*event*/)
{
    OpenTestDevice(false);
}

void TrackerFrame::OnOpenAnalogTest3DDevice(wxCommandEvent& /*event*/)
{
    OpenTestDevice(true);
}

void TrackerFrame::OpenTestDevice(bool tracker)
{
    if (!CanOpenDevice(1))
        return;
    const wxString path = CTestDevice::MakeDevicePath(tracker);
    if (!IsDeviceNameFree(path)) {
        LogAlreadyOpen(tracker ? "OnOpenAnalogTest3DDevice" : "OnOpenAnalogTestDevice", path);
        return;
    }
    wxBusyCursor busy;
    auto* device = new CTestDevice(m_genTimer, tracker);
    const bool opened = tracker ? AddDevice3DView(device, true, true) : AddDeviceView(device, true, true);
    if (!opened)
        SetErrorMessage(
            tracker ? _("Unable to open 3D tracker\n") : _("Unable to open Analog device\n"), true);
}

void TrackerFrame::OnSatelDevice(wxCommandEvent& /*event*/)
{
    if (!CanOpenDevice(5))
        return;
    const wxString path = CSerialSatelDevice::MakeDevicePath(m_satelComPort);
    if (!IsDeviceNameFree(path)) {
        LogAlreadyOpen("OnSatelDevice", path);
        return;
    }
    wxBusyCursor busy;
    auto* device = new CSerialSatelDevice(m_satelComPort, SatelPeriodMs(m_satelRate), m_genTimer,
                                          400.0, false);
    if (!AddDeviceView(device, true, true)) {
        SetErrorMessage(_("Unable to open SATEL device\n"), true);
        return;
    }
    if (!m_auiManager.GetPane("MESSAGEBOOK").IsShown())
        ShowNotification(_("SATEL "), _("Balance board is now running"), wxICON_INFORMATION);
}

void TrackerFrame::OnFobDevice(wxCommandEvent& /*event*/)
{
    if (!CanOpenDevice(4))
        return;
    const wxString path = CFobDevice::MakeDevicePath(m_fobComPort);
    if (!IsDeviceNameFree(path)) {
        LogAlreadyOpen("OnFobDevice", path);
        return;
    }
    {
        wxBusyCursor busy;
        if (m_useGlCanvas) {
            auto* device = new CFobDevice(m_fobComPort, static_cast<uint32_t>(std::max(m_fobSpeed, 0)),
                                          static_cast<uint32_t>(std::max(m_fobSleep, 0)),
                                          static_cast<uint32_t>(std::max(m_fobHemisphere, 0)),
                                          m_fobRange, true, false, FobStartupFor(this));
            AddDevice3DView(device, true, true);
        } else {
            SetErrorMessage(_("Unable to open Flock of Birds device\n"), true);
        }
    }
    ScrollMessagesToEnd();
}

void TrackerFrame::OnOpenAnalogFile(wxCommandEvent& /*event*/)
{
    const wxString path = SelectRecordingFile();
    if (path.empty())
        return;
    OpenRecordingFile(path);
}

bool TrackerFrame::OpenRecordingFile(const wxString& path)
{
    if (!IsDeviceNameFree(path)) {
        LogAlreadyOpen("OnOpenAnalogFile", path);
        return false;
    }
    wxBusyCursor busy;
    auto* device = new CAnalogFileDevice(m_genTimer, m_capturePath, path);
    if (!device->IsReady()) {
        SetErrorMessage(
            wxString::Format(_("Unable to open recording %s : %s\n"), path, device->GetLoadError()),
            true);
        CDeviceDeleter{}(device);
        return false;
    }
    const bool opened = device->IsTracker() ? AddDevice3DView(device, true, true)
                                            : AddDeviceView(device, true, true);
    if (!opened) return false;
    UpdateViewGrid();
    BuildSettingsGrid();
    UpdateStartStopTool();
    return true;
}

void TrackerFrame::OnOpenOscDevice(wxCommandEvent& /*event*/)
{
    if (!CanOpenDevice(3))
        return;
    auto* device = new COscDevice(m_genTimer);
    if (AddDeviceView(device, true, GetOscClientSettings().loadConfig))
        m_rebuildViewGrid = true;
    else
        SetErrorMessage(_("Unable to open Analog device\n"), true);
}

void TrackerFrame::OnOpenVrpnAnalog(wxCommandEvent& /*event*/)
{
    OpenVrnpnDevice(false);
}

void TrackerFrame::OnOpenVrpnTracker(wxCommandEvent& /*event*/)
{
    OpenVrnpnDevice(true);
}

void TrackerFrame::OpenVrnpnDevice(bool tracker)
{
    if (!CanOpenDevice(tracker ? 8 : 7))
        return;
    wxString server;
    if (!m_vrpnServerList.empty()) {
        const int chosen = ShellPrompts().singleChoice(this, _("Select vrpn server"), _("VRPN Server"),
                                                       m_vrpnServerList);
        if (chosen >= 0 && static_cast<size_t>(chosen) < m_vrpnServerList.size())
            server = m_vrpnServerList[static_cast<size_t>(chosen)];
    }
    if (server.empty()) {
        server = ShellPrompts().textEntry(this, _("Enter vrpn server name and address"),
                                          _("VRPN Client"), "TestDevice@localhost");
        if (server.empty())
            return;
    }
    const wxString path = CVrpnDevice::MakeDevicePath(server, tracker);
    if (!IsDeviceNameFree(path)) {
        LogAlreadyOpen("OpenVrnpnDevice", path);
        return;
    }
    auto* device = new CVrpnDevice(m_genTimer, server, tracker);
    device->Poll();
    // The address joins the remembered list once a server answers there (PollDevices).
    if (tracker)
        AddDevice3DView(device, true, true);
    else
        AddDeviceView(device, true, true);
}

void TrackerFrame::OnOpenCamera(wxCommandEvent& /*event*/)
{
    if (!CanOpenDevice(9) || g_camera_count < 1)
        return;
    wxArrayString choices;
    std::vector<int> indexes;
    for (int i = 0; i < g_camera_count; ++i) {
        if (!IsCameraAvailable(i))
            continue;
        choices.Add(wxString::Format(_("Camera #%d"), i + 1));
        indexes.push_back(i);
    }
    if (choices.empty())
        return;
    const int chosen = ShellPrompts().singleChoice(this, _("Select Camera"), _("Video Device"), choices);
    if (chosen < 0 || static_cast<size_t>(chosen) >= indexes.size())
        return;
    OpenCameraPage(*this, indexes[static_cast<size_t>(chosen)]);
}

int TrackerFrame::CountCameras()
{
    return CountCamerasFound();
}
