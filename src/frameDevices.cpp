#include "DravonetMain.h"

#include "analog/analogDevice.h"
#include "analog/analogView.h"
#include "frameDeviceViews.h"
#include "frameViewPages.h"
#include "process/device.h"

#include <wx/aui/auibook.h>
#include <wx/fileconf.h>
#include <wx/intl.h>
#include <wx/propgrid/propgrid.h>
#include <wx/textctrl.h>

#include <algorithm>
#include <iostream>

namespace {

// Deletes a device that was refused, saying so on the "Messages" page.
void DeleteRefused(CAnalogDevice* device)
{
    std::cout << "Closing : " << device->GetDeviceName().utf8_string() << "\n";
    CDeviceDeleter{}(device);
}

}  // namespace

std::vector<CAnalogDevice*> TrackerFrame::GetDeviceList()
{
    std::vector<CAnalogDevice*> devices;
    if (!m_mainBook)
        return devices;
    for (size_t i = 0; i < m_mainBook->GetPageCount(); ++i) {
        CAnalogDevice* device = GetPageDevice(m_mainBook->GetPage(i));
        if (device && std::find(devices.begin(), devices.end(), device) == devices.end())
            devices.push_back(device);
    }
    return devices;
}

int TrackerFrame::GetDeviceCount()
{
    return static_cast<int>(GetDeviceList().size());
}

bool TrackerFrame::IsDeviceNameFree(const wxString& devicePath)
{
    for (CAnalogDevice* device : GetDeviceList())
        if (device->GetDevicePath() == devicePath)
            return false;
    return true;
}

bool TrackerFrame::CanOpenDevice(int kind)
{
    if (kind < 0 || m_quitting)
        return false;
    const std::vector<CAnalogDevice*> devices = GetDeviceList();
    const int count = static_cast<int>(devices.size());
    if (count >= GetMaxDeviceCount())
        return false;
    if (count == 0 || kind == 0)
        return true;
    const bool open = std::any_of(devices.begin(), devices.end(), [kind](CAnalogDevice* device) {
        return device->GetDeviceType() == kind;
    });
    if (!open)
        return true;
    // A second device of a kind is allowed, except a second OSC source.
    return kind != 3 && kind < 10;
}

bool TrackerFrame::RegisterDevice(CAnalogDevice* device, bool deleteOnFail)
{
    if (!device) {
        SetErrorMessage(_("Unable to find Device.\n"), true);
        return false;
    }
    if (!device->IsReady()) {
        SetErrorMessage(_("Unable to open Device\n"), true);
        if (deleteOnFail)
            DeleteRefused(device);
        return false;
    }
    device->SetPreciseClock(m_useDayTimer);
    device->SetClockTolerance(m_deviceEps);
    if (!device->Create(m_useClockDelay)) {
        SetErrorMessage(_("Unable to create Device\n"), true);
        if (deleteOnFail)
            DeleteRefused(device);
        return false;
    }
    if (!device->IsFileDevice())
        device->SetWorkerPriority(CNullDevice::WorkerPriorityFromSetting(m_workerPriority));
    return true;
}

void TrackerFrame::ShowDevicePages()
{
    if (m_captureBook && m_viewGrid) {
        const int page = m_captureBook->GetPageIndex(m_viewGrid);
        if (page != wxNOT_FOUND)
            m_captureBook->SetSelection(static_cast<size_t>(page));
    }
    if (m_messageBook && m_messagesText) {
        const int page = m_messageBook->GetPageIndex(m_messagesText);
        if (page != wxNOT_FOUND)
            m_messageBook->SetSelection(static_cast<size_t>(page));
    }
}

void TrackerFrame::NameLastPage(CAnalogDevice* device)
{
    const size_t count = m_mainBook->GetPageCount();
    if (count == 0)
        return;
    m_mainBook->SetPageToolTip(count - 1, device->GetInfo());
    m_mainBook->SetPageText(count - 1, device->GetDisplayName());
}

bool TrackerFrame::AddDeviceView(CAnalogDevice* device, bool deleteOnFail, bool loadConfig)
{
    if (!device || !m_mainBook)
        return false;
    if (!RegisterDevice(device, deleteOnFail))
        return false;
    ShowIn2D(device, loadConfig);
    return true;
}

void TrackerFrame::ShowIn2D(CAnalogDevice* device, bool loadConfig)
{
    const wxSize size = m_mainBook->GetClientSize();
    const wxPoint origin = GetClientAreaOrigin();
    ClearViewSelection();
    // A new device lists its visible channels only once they are shown: the view
    // sizes its history from that list and would take the device for an empty one.
    if (device->GetVisibleCount() > 0 && device->GetVisibleList().empty())
        device->ShowAllChannels();
    auto* view = new CAnalogView(this, origin, size);
    view->SetDevice(device);
    m_mainBook->AddPage(view, device->GetDeviceName(), false);
    m_mainBook->SetSelection(m_mainBook->GetPageCount() - 1);
    if (device->RunThread()) {
        device->ShowAllChannels();
        if (loadConfig) {
            if (std::unique_ptr<wxFileConfig> config = OpenConfig(true)) {
                view->LoadConfig(config.get());
                device->LoadConfig(config.get());
            }
        }
        device->SetOwner(this);
        device->ResetViews();
        SplitMainBook();
        device->AddToVrpn(m_useVrpn);
        UpdateViewGrid();
        ShowDevicePages();
        NameLastPage(device);
    } else {
        // The page stays (the device counts as open), its settings are not applied.
        SetErrorMessage(_("Unable to start streaming\n"), true);
    }
    m_rebuildSettingsGrid = true;
    device->AnalogOffset();
    SelectAnalogView(view);
    JoinCaptureSet(device);
}

bool TrackerFrame::AddDevice3DView(CAnalogDevice* device, bool deleteOnFail, bool loadConfig)
{
    if (!m_useGlCanvas)
        return AddDeviceView(device, deleteOnFail, loadConfig);
    if (!m_mainBook)
        return false;
    if (!RegisterDevice(device, deleteOnFail))
        return false;
    const wxSize size = m_mainBook->GetClientSize();
    const wxPoint origin = GetClientAreaOrigin();
    ClearViewSelection();
    CAnalog3DView* view = Create3DView(this, origin, size, device, this);
    if (!view) {
        // No 3D view can be made here: the device is shown in 2D instead of being lost.
        ShowIn2D(device, loadConfig);
        return true;
    }
    m_mainBook->AddPage(View3DWindow(view), device->GetDeviceName(), false);
    m_mainBook->SetSelection(m_mainBook->GetPageCount() - 1);
    if (!device->RunThread()) {
        SetErrorMessage(_("Unable to start streaming\n"), true);
        Select3DView(view);
        m_rebuildSettingsGrid = true;
        JoinCaptureSet(device);
        return true;
    }
    std::unique_ptr<wxFileConfig> config = loadConfig ? OpenConfig(true) : nullptr;
    if (config) {
        Load3DViewConfig(view, config.get());
        device->LoadConfig(config.get());
        config.reset();
        Update3DSensors(view);
    } else {
        device->ShowAllChannels();
    }
    device->SetOwner(this);
    SplitMainBook();
    device->AddToVrpn(m_useVrpn);
    UpdateViewGrid();
    ShowDevicePages();
    NameLastPage(device);
    device->Reset();
    Select3DView(view);
    m_rebuildSettingsGrid = true;
    JoinCaptureSet(device);
    return true;
}
