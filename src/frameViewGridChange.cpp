#include <wx/app.h>
#include <wx/log.h>
#include <wx/aui/auibook.h>
#include <wx/propgrid/propgrid.h>

#include "DravonetMain.h"
#include "analog/analogDevice.h"
#include "analog/analogView.h"
#include "analog/analogViewDraw.h"
#include "analog/paramType.h"
#include "frameViewChange.h"
#include "frameViewGridFill.h"
#include "frameViewPages.h"
#include "process/trackerWorker.h"
#include "deviceRun.h"
#include "shellLog.h"

bool TrackerFrame::IsNameOfAnotherDevice(CAnalogDevice& device, const wxString& property,
                                         const wxString& newName)
{
    // The device's own first parameter, a text, is its name.
    int count = 0;
    int type = PARAM_NONE;
    if (FindDeviceParam(device, property) != 0 || !device.GetParam(0, &count, &type) ||
        type != PARAM_STRING || newName == device.GetDeviceName())
        return false;
    for (CAnalogDevice* other : GetDeviceList())
        if (other != &device && other->GetDeviceName() == newName) return true;
    return false;
}

void TrackerFrame::OnViewPropertyChange(wxPropertyGridEvent& event)
{
    if (!m_mainBook) return;
    const int selection = m_mainBook->GetSelection();
    if (selection < 0 || static_cast<size_t>(selection) >= m_mainBook->GetPageCount()) return;
    wxWindow* page = m_mainBook->GetPage(static_cast<size_t>(selection));
    CAnalogDevice* device = GetPageDevice(page);
    if (!device) return;
    // The grid shows another page or device than the selected one (a page closed
    // or changed since it was filled): its names would reach the wrong device.
    if (page != m_viewGridPage || device != m_viewGridDevice) {
        m_rebuildViewGrid = true;
        return;
    }
    wxPGProperty* property = event.GetProperty();
    if (!property) return;
    CAnalogView* view = AsAnalogView(page);
    CAnalog3DView* view3D = view ? nullptr : As3DView(page);
    wxWindow* window3D = View3DWindow(view3D);
    const bool recording = HasRunToFinish(*device);
    const bool running = device->IsRunning();
    const wxString name = property->GetName();
    const CViewGridValue value = ReadViewGridValue(property->GetValue());

    // Program-wide properties.
    long intervalMs = 0;
    if (name == "display_rate" && value.isNumber &&
        DisplayIntervalForRate(value.number, &intervalMs)) {
        m_displayIntervalMs = intervalMs;
        m_displayTimer.Stop();
        m_displayTimer.Start(static_cast<int>(intervalMs), wxTIMER_CONTINUOUS);
    } else if (name == "send_to_screen") {
        device->SetDispatchToViews(value.flag);
        if (window3D) window3D->Refresh(true);
        if (view) view->Refresh(true);
    }

    if (name.StartsWith("color_channel ")) {
        const int channel = IndexAfterBlank(name);
        if (channel >= 0 && channel < device->GetChannelCount() && value.colour.valid) {
            device->SetChannelColour(channel, value.colour);
            if (view) view->Refresh(true);
        }
        if (view3D) Update3DSensors(view3D);
    }

    if (view) {
        if (ApplyAnalogViewChange(*view, *device, name, value, recording, running).rebuildGrid)
            m_rebuildViewGrid = true;
        SelectAnalogView(view);
    } else if (view3D) {
        C3DViewGridValues values;
        if (Read3DGridValues(view3D, values)) {
            const C3DGridChange change = Apply3DGridChange(name, value, values);
            // A new trail or object size rebuilds the view, which resets its device.
            const bool isRebuild =
                change == C3DGridChange::kDrawTime || change == C3DGridChange::kObjectSize;
            if (recording && isRebuild) {
                LogRecordingRefusal("OnViewPropertyChange");
                m_rebuildViewGrid = true;
            } else if (change != C3DGridChange::kNone) {
                Push3DGridChange(view3D, values, change);
            }
        }
        if (window3D) window3D->Refresh(false);
        Select3DView(view3D);
    }

    if (recording) {
        // A recording device takes no parameter from the grid; the grid shows its
        // value again.
        if (FindDeviceParam(*device, name) >= 0) {
            LogRecordingRefusal("OnViewPropertyChange");
            m_rebuildViewGrid = true;
        }
        return;
    }
    if (IsNameOfAnotherDevice(*device, name, value.text)) {
        // Every later trial of the set would fail on the shared name.
        wxLogError(_("Device name already exists : %s. You must change device name"), value.text);
        m_rebuildViewGrid = true;  // the grid shows the kept name again
        return;
    }
    const CDeviceParamChange change = ApplyDeviceParamChange(*device, name, value, running);
    if (!change.handed) return;
    m_rebuildViewGrid = true;
    if (!change.changed) return;
    if (m_genTimer) CTrackerWorker::RefreshGroup();
    const int index = m_mainBook->GetPageIndex(page);
    if (index != wxNOT_FOUND)
        m_mainBook->SetPageToolTip(static_cast<size_t>(index), device->GetInfo());
    if (running)
        device->AnalogStart();
    else if (view)
        view->Refresh(true);
    else if (window3D)
        window3D->Refresh(true);
    wxYield();
}
