#include <wx/app.h>
#include <wx/aui/auibook.h>
#include <wx/combo.h>
#include <wx/propgrid/propgrid.h>
#include <wx/thread.h>
#include <wx/toplevel.h>

#include "DravonetMain.h"
#include "analog/analogDevice.h"
#include "analog/analogView.h"
#include "deviceRun.h"
#include "frameViewGridFill.h"
#include "frameViewPages.h"

namespace {

// GUI thread: raises the rebuild flag of every main frame; the idle handler
// carries the rebuild out.
void FlagViewGridRebuild()
{
    for (wxWindow* window : wxTopLevelWindows)
        if (auto* frame = dynamic_cast<TrackerFrame*>(window)) frame->m_rebuildViewGrid = true;
}

}  // namespace

void TrackerFrame::UpdateViewGrid()
{
    // A device that learns its channel count from its data may ask from its
    // acquisition thread: only a request crosses over, carrying no window pointer.
    if (!wxIsMainThread()) {
        if (wxTheApp) wxTheApp->CallAfter([] { FlagViewGridRebuild(); });
        return;
    }
    const int selection = m_mainBook ? m_mainBook->GetSelection() : wxNOT_FOUND;
    if (selection < 0 || static_cast<size_t>(selection) >= m_mainBook->GetPageCount()) {
        if (m_viewGrid) m_viewGrid->Clear();
        m_viewGridPage = nullptr;
        m_viewGridDevice = nullptr;
        return;
    }
    wxWindow* page = m_mainBook->GetPage(static_cast<size_t>(selection));
    CAnalogView* view = AsAnalogView(page);
    CAnalog3DView* view3D = view ? nullptr : As3DView(page);
    CAnalogDevice* device = GetPageDevice(page);
    UpdateDeviceTools(device);
    // A grid edit may have switched channels: the toolbar's summary follows (an
    // open list is left alone under the user's mouse).
    if ((view || view3D) && m_channelCombo && !m_channelCombo->IsPopupShown())
        FillChannelPopup(device);
    if (m_viewGrid && device) {
        CViewGridTable table;
        if (m_expertMode)
            AppendDisplaySection(table, static_cast<long>(m_displayIntervalMs),
                                 device->GetDispatchToViews());
        const bool recording = view && HasRunToFinish(*device);
        if (view) {
            wxArrayString drawTypes;
            CAnalogView::GetDrawTypes(drawTypes);
            AppendAnalogViewSections(table, *view, view->m_component, view->m_dim,
                                     device->GetChannelDim(), device->GetRate(), recording,
                                     drawTypes);
        } else if (view3D) {
            C3DViewGridValues values;
            if (Read3DGridValues(view3D, values)) Append3DViewSections(table, values);
        }
        AppendDeviceSections(table, *device, recording);

        const bool wasFrozen = m_viewGrid->IsFrozen();
        if (!wasFrozen) m_viewGrid->Freeze();
        m_viewGrid->Clear();
        FillViewGrid(*m_viewGrid, table);
        if (!wasFrozen) m_viewGrid->Thaw();
        m_viewGridPage = page;
        m_viewGridDevice = device;
    }
    SaveConfig();
}
