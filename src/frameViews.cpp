#include <wx/aui/auibook.h>
#include <wx/combo.h>
#include <wx/combobox.h>

#include "DravonetMain.h"
#include "analog/analogDevice.h"
#include "analog/analogView.h"
#include "analog/analogViewFormat.h"
#include "checkBoxComboPopup.h"
#include "frameViewPages.h"
#include "deviceRun.h"

#include <algorithm>
#include <vector>

// The main frame keeps no list of views: the pages of "MAINBOOK" are the views,
// and each view links to its device. Every lookup reads the notebook anew, so no
// pointer to a page outlives the page.

namespace {

wxWindow* SelectedPage(wxAuiNotebook* book)
{
    if (!book) return nullptr;
    const int selection = book->GetSelection();
    if (selection < 0 || static_cast<size_t>(selection) >= book->GetPageCount()) return nullptr;
    return book->GetPage(static_cast<size_t>(selection));
}

// Fills the graph-type box with names and selects index when it is one of them.
void FillGraphCombo(wxComboBox* combo, const wxArrayString& names, int index)
{
    combo->Clear();
    combo->Append(names);
    if (index >= 0 && static_cast<size_t>(index) < names.size()) combo->SetSelection(index);
}

}  // namespace

CAnalogDevice* TrackerFrame::GetCurrentDevice() { return GetPageDevice(SelectedPage(m_mainBook)); }

CAnalogView* TrackerFrame::GetCurrentAnalogView() { return AsAnalogView(SelectedPage(m_mainBook)); }

CAnalog3DView* TrackerFrame::GetCurrent3DView() { return As3DView(SelectedPage(m_mainBook)); }

CVideoView* TrackerFrame::GetCurrentVideoView() { return AsVideoView(SelectedPage(m_mainBook)); }

CAnalogView* TrackerFrame::GetFirstAnalogView()
{
    if (!m_mainBook) return nullptr;
    for (size_t i = 0; i < m_mainBook->GetPageCount(); ++i)
        if (CAnalogView* view = AsAnalogView(m_mainBook->GetPage(i))) return view;
    return nullptr;
}

CAnalog3DView* TrackerFrame::GetFirst3DView()
{
    if (!m_mainBook) return nullptr;
    for (size_t i = 0; i < m_mainBook->GetPageCount(); ++i)
        if (CAnalog3DView* view = As3DView(m_mainBook->GetPage(i))) return view;
    return nullptr;
}

int TrackerFrame::GetViewCount()
{
    if (!m_mainBook) return 0;
    int count = 0;
    for (size_t i = 0; i < m_mainBook->GetPageCount(); ++i)
        if (IsViewPage(m_mainBook->GetPage(i))) ++count;
    return count;
}

void TrackerFrame::ClearViewSelection()
{
    if (!m_mainBook) return;
    const int count = GetViewCount();
    for (size_t i = 0; i < m_mainBook->GetPageCount(); ++i) {
        wxWindow* page = m_mainBook->GetPage(i);
        if (CAnalogView* view = AsAnalogView(page)) {
            const bool wasMarked = view->m_selected && view->m_multiView;
            view->SetSelected(false, count);
            // A stopped device repaints nothing by itself: take the frame off now.
            if (wasMarked) view->Refresh(false);
        } else if (CAnalog3DView* view3D = As3DView(page)) {
            Set3DViewSelected(view3D, false, count);
        }
    }
}

void TrackerFrame::SelectView(CAnalog3DView* view)
{
    wxWindow* window = View3DWindow(view);
    if (!window || !m_mainBook) return;
    const int index = m_mainBook->GetPageIndex(window);
    if (index == wxNOT_FOUND) return;
    m_mainBook->SetSelection(static_cast<size_t>(index));
    ClearViewSelection();
    Set3DViewSelected(view, true, GetViewCount());
}

void TrackerFrame::SelectAnalogView(CAnalogView* view)
{
    if (!view) return;
    ClearViewSelection();
    view->SetSelected(true, GetViewCount());
    view->Refresh(false);
    if (m_graphCombo) {
        wxArrayString names;
        CAnalogView::GetDrawTypes(names);
        FillGraphCombo(m_graphCombo, names, view->draw_type);
    }
    FillChannelPopup(view->m_device.load());
}

void TrackerFrame::Select3DView(CAnalog3DView* view)
{
    if (!view) return;
    ClearViewSelection();
    Set3DViewSelected(view, true, GetViewCount());
    if (m_graphCombo) {
        wxArrayString names;
        Get3DViewTypes(names);
        FillGraphCombo(m_graphCombo, names, Get3DViewType(view));
    }
    FillChannelPopup(Get3DViewDevice(view));
}

void TrackerFrame::FillChannelPopup(CAnalogDevice* device)
{
    m_channelPopupDevice = device;
    if (m_channelPopup) {
        wxArrayString names;
        const int count = device ? device->GetChannelCount() : 0;
        for (int i = 0; i < count; ++i) names.Add(device->GetChannelName(i));
        // The same channels keep their items (a refill from a click keeps the
        // item under the mouse); only the ticks follow the device.
        if (m_channelPopup->GetStrings() != names) {
            m_channelPopup->Clear();
            m_channelPopup->Append(names);
        }
        std::vector<bool> shown(static_cast<size_t>(count), false);
        if (device)
            for (int index : device->GetVisibleList())
                if (index >= 0 && index < count) shown[static_cast<size_t>(index)] = true;
        for (int i = 0; i < count; ++i)
            m_channelPopup->Check(static_cast<unsigned>(i), shown[static_cast<size_t>(i)]);
    }
    if (m_channelCombo && m_channelPopup) m_channelCombo->SetText(m_channelPopup->GetStringValue());
}

void TrackerFrame::RefreshChannelPopup() { FillChannelPopup(GetCurrentDevice()); }

void TrackerFrame::SplitMainBook()
{
    if (!m_mainBook || m_mainBook->GetPageCount() != 2) return;
    m_mainBook->Split(0, wxLEFT);
    m_mainBook->Split(1, wxRIGHT);
}

void TrackerFrame::AddCurrentDeviceToVrpn()
{
    wxWindow* page = SelectedPage(m_mainBook);
    if (!AsAnalogView(page) && !As3DView(page)) return;  // a camera page serves no VRPN
    if (CAnalogDevice* device = GetPageDevice(page)) device->AddToVrpn(m_useVrpn);
}

void TrackerFrame::ApplyChannelSelection()
{
    CAnalogDevice* device = GetCurrentDevice();
    // The list was filled for one device; ticks never reach another one.
    if (!device || !m_channelPopup || device != m_channelPopupDevice) return;
    if (RefusedWhileRecording(*device, "ApplyChannelSelection")) {
        // A new channel set would reset the device under its recording: the list
        // shows the channels that are recorded again.
        const std::vector<int>& visible = device->GetVisibleList();
        for (unsigned i = 0; i < m_channelPopup->GetCount(); ++i)
            m_channelPopup->Check(
                i, std::find(visible.begin(), visible.end(), static_cast<int>(i)) != visible.end());
        return;
    }
    const int channels = device->GetChannelCount();
    std::vector<int> shown;
    const unsigned count = m_channelPopup->GetCount();
    for (unsigned i = 0; i < count; ++i)
        if (m_channelPopup->IsChecked(i) && static_cast<int>(i) < channels)
            shown.push_back(static_cast<int>(i));
    // Without a valid tick the device keeps its channels: one always stays shown.
    if (shown.empty()) return;
    device->SetVisibleChannels(shown);
    if (m_channelCombo) m_channelCombo->SetText(m_channelPopup->GetStringValue());
    m_rebuildViewGrid = true;
}

void TrackerFrame::OnRestoreStartupView(wxCommandEvent& /*event*/)
{
    if (m_perspectives.empty()) return;
    m_auiManager.LoadPerspective(m_perspectives[0], true);
    FitToolbars();
}

void TrackerFrame::OnDeviceReset(wxCommandEvent& /*event*/)
{
    CAnalogDevice* device = GetCurrentDevice();
    if (!device || RefusedWhileRecording(*device, "OnDeviceReset")) return;
    device->ResetViews();
}

void TrackerFrame::OnDeviceOffset(wxCommandEvent& /*event*/)
{
    CAnalogDevice* device = GetCurrentDevice();
    if (!device || RefusedWhileRecording(*device, "OnDeviceOffset")) return;
    device->AnalogOffset();
}

void TrackerFrame::AddViewPage(wxWindow* page, CAnalogDevice* device)
{
    m_mainBook->AddPage(page, device->GetDeviceName(), false);
    m_mainBook->SetSelection(m_mainBook->GetPageCount() - 1);
    SplitMainBook();
    const int index = m_mainBook->GetPageIndex(page);
    if (index != wxNOT_FOUND) {
        m_mainBook->SetPageToolTip(static_cast<size_t>(index), device->GetInfo());
        m_mainBook->SetPageText(static_cast<size_t>(index), device->GetDisplayName());
    }
    m_rebuildSettingsGrid = true;
}

void TrackerFrame::OnAddView(wxCommandEvent& /*event*/)
{
    CAnalogDevice* device = GetCurrentDevice();
    if (!device || !m_mainBook || !HasChannelsToView(*device)) return;
    const wxSize size = m_mainBook->GetClientSize();
    const wxPoint origin = GetClientAreaOrigin();
    ClearViewSelection();
    auto* view = new CAnalogView(this, origin, size);
    view->SetDevice(device);
    AddViewPage(view, device);
    SelectAnalogView(view);
}

void TrackerFrame::OnAdd3DView(wxCommandEvent& /*event*/)
{
    CAnalogDevice* device = GetCurrentDevice();
    if (!device || !m_mainBook || !device->IsTracker()) return;
    const wxSize size = m_mainBook->GetClientSize();
    const wxPoint origin = GetClientAreaOrigin();
    ClearViewSelection();
    CAnalog3DView* view = Create3DView(this, origin, size, device, this);
    wxWindow* window = View3DWindow(view);
    if (!window) return;
    AddViewPage(window, device);
    Select3DView(view);
}

void TrackerFrame::OnGraphTypeSelected(wxCommandEvent& event)
{
    wxWindow* page = SelectedPage(m_mainBook);
    const int selection = event.GetSelection();
    // Seven display modes and seven camera presets, 0 to 6.
    if (selection < 0 || selection > kDrawNone) return;
    if (CAnalogView* view = AsAnalogView(page)) {
        view->draw_type = selection;
        CAnalogDevice* device = view->m_device.load();
        if (device && !HasRunToFinish(*device))
            device->ResetViews();
        else
            view->Refresh(true);
        m_rebuildViewGrid = true;
    } else if (CAnalog3DView* view3D = As3DView(page)) {
        Set3DViewType(view3D, selection);
    }
}

void TrackerFrame::OnChannelListChecked(wxCommandEvent& /*event*/) { ApplyChannelSelection(); }

void TrackerFrame::OnPageChanged(wxAuiNotebookEvent& event)
{
    event.Skip();
    if (m_quitting) return;
    auto* book = dynamic_cast<wxAuiNotebook*>(event.GetEventObject());
    if (!book) return;
    const int selection = event.GetSelection();
    if (selection < 0 || static_cast<size_t>(selection) >= book->GetPageCount()) return;
    wxWindow* page = book->GetPage(static_cast<size_t>(selection));
    wxString text;
    if (CAnalogView* view = AsAnalogView(page)) {
        if (CAnalogDevice* device = view->m_device.load()) text = device->GetDevicePath();
        SelectAnalogView(view);
    } else if (CAnalog3DView* view3D = As3DView(page)) {
        if (CAnalogDevice* device = Get3DViewDevice(view3D)) text = device->GetDevicePath();
        Select3DView(view3D);
    }
    if (!text.empty()) {
        if (GetStatusBar()) SetStatusText(text, 1);
        m_rebuildViewGrid = true;
    }
}
