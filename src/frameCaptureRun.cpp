#include "DravonetMain.h"

// Placeholder bodies until this group's work lands.

void TrackerFrame::OnStartCapture(wxCommandEvent& /*event*/) {}

void TrackerFrame::StopCapture() {}

void TrackerFrame::OnStopCapture(wxCommandEvent& /*event*/) {}

void TrackerFrame::OnToggleCapture(wxCommandEvent& /*event*/) {}

bool TrackerFrame::OpenSerialTrigger()
{
    return false;
}
