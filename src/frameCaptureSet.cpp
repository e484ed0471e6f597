#include "DravonetMain.h"

// Placeholder bodies until this group's work lands.

void TrackerFrame::OnCreateCaptureFile(wxCommandEvent& /*event*/) {}

bool TrackerFrame::CheckCaptureFile()
{
    return false;
}

bool TrackerFrame::CreateCaptureFiles()
{
    return false;
}

void TrackerFrame::OnNextCapture(wxCommandEvent& /*event*/) {}

int TrackerFrame::DeleteTrialFiles()
{
    return 0;
}

void TrackerFrame::OnDeleteLastTrial(wxCommandEvent& /*event*/) {}

void TrackerFrame::CloseCaptureFiles() {}

void TrackerFrame::OnCloseCaptureFile(wxCommandEvent& /*event*/) {}
