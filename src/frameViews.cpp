#include "DravonetMain.h"

#include <wx/aui/auibook.h>

// Placeholder bodies until this group's work lands.

CAnalogDevice* TrackerFrame::GetCurrentDevice()
{
    return nullptr;
}

CAnalogView* TrackerFrame::GetCurrentAnalogView()
{
    return nullptr;
}

CAnalog3DView* TrackerFrame::GetCurrent3DView()
{
    return nullptr;
}

CVideoView* TrackerFrame::GetCurrentVideoView()
{
    return nullptr;
}

CAnalogView* TrackerFrame::GetFirstAnalogView()
{
    return nullptr;
}

CAnalog3DView* TrackerFrame::GetFirst3DView()
{
    return nullptr;
}

int TrackerFrame::GetViewCount()
{
    return 0;
}

void TrackerFrame::ClearViewSelection() {}

void TrackerFrame::SelectView(CAnalog3DView* /*view*/) {}

void TrackerFrame::SelectAnalogView(CAnalogView* /*view*/) {}

void TrackerFrame::Select3DView(CAnalog3DView* /*view*/) {}

void TrackerFrame::SplitMainBook() {}

void TrackerFrame::AddCurrentDeviceToVrpn() {}

void TrackerFrame::ApplyChannelSelection() {}

void TrackerFrame::OnRestoreStartupView(wxCommandEvent& /*event*/) {}

void TrackerFrame::OnDeviceReset(wxCommandEvent& /*event*/) {}

void TrackerFrame::OnDeviceOffset(wxCommandEvent& /*event*/) {}

void TrackerFrame::OnAddView(wxCommandEvent& /*event*/) {}

void TrackerFrame::OnAdd3DView(wxCommandEvent& /*event*/) {}

void TrackerFrame::OnGraphTypeSelected(wxCommandEvent& /*event*/) {}

void TrackerFrame::OnChannelListChecked(wxCommandEvent& /*event*/) {}

void TrackerFrame::OnPageChanged(wxAuiNotebookEvent& event)
{
    event.Skip();
}
