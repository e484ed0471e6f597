#include "DravonetMain.h"

// Placeholder bodies until this group's work lands.

void TrackerFrame::ResetFileList() {}

void TrackerFrame::OnClearFileList(wxCommandEvent& /*event*/) {}

bool TrackerFrame::AddFileListRow(const wxString& /*path*/, int /*frames*/, double /*seconds*/)
{
    return false;
}

wxString TrackerFrame::SelectRecordingFile()
{
    return wxString();
}
