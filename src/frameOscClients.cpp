#include "DravonetMain.h"

// Placeholder bodies until this group's work lands.

void TrackerFrame::OnDeviceAddOscClient(wxCommandEvent& /*event*/) {}

void TrackerFrame::OnDeviceRemoveOscClient(wxCommandEvent& /*event*/) {}
