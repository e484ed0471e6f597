#include "DravonetMain.h"

// Placeholder bodies until this group's work lands.

bool TrackerFrame::SearchWiiDevices()
{
    return false;
}

void TrackerFrame::OnFindWiiDevices(wxCommandEvent& /*event*/) {}

void TrackerFrame::OnPairWIIDevice(wxCommandEvent& /*event*/) {}

void TrackerFrame::ReleaseWiiLibrary() {}
