#include "DravonetMain.h"

// Placeholder bodies until this group's work lands.

void TrackerFrame::OnOpenAnalogFile(wxCommandEvent& /*event*/) {}

void TrackerFrame::OnOpenAnalogTestDevice(wxCommandEvent& /*event*/) {}

void TrackerFrame::OnOpenAnalogTest3DDevice(wxCommandEvent& /*event*/) {}

void TrackerFrame::OnOpenWIIDevice(wxCommandEvent& /*event*/) {}

void TrackerFrame::OnOpenVrpnAnalog(wxCommandEvent& /*event*/) {}

void TrackerFrame::OnOpenVrpnTracker(wxCommandEvent& /*event*/) {}

void TrackerFrame::OnSatelDevice(wxCommandEvent& /*event*/) {}

void TrackerFrame::OnFobDevice(wxCommandEvent& /*event*/) {}

void TrackerFrame::OnOpenCamera(wxCommandEvent& /*event*/) {}

void TrackerFrame::OnOpenOscDevice(wxCommandEvent& /*event*/) {}

void TrackerFrame::OpenVrnpnDevice(bool /*tracker*/) {}

int TrackerFrame::CountCameras()
{
    return 0;
}
