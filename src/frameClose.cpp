#include "DravonetMain.h"

#include <wx/aui/auibook.h>

// Placeholder bodies until this group's work lands.

void TrackerFrame::OnClose(wxCloseEvent& event)
{
    event.Skip();
}

void TrackerFrame::OnQuit(wxCommandEvent& /*event*/)
{
    Close();
}

bool TrackerFrame::CheckToQuitAll()
{
    return true;
}

void TrackerFrame::OnPageClose(wxAuiNotebookEvent& event)
{
    event.Skip();
}

bool TrackerFrame::CloseAnalogView(CAnalogView* /*view*/)
{
    return true;
}

bool TrackerFrame::Close3DView(CAnalog3DView* /*view*/)
{
    return true;
}

bool TrackerFrame::CheckToQuit(wxWindow* /*page*/)
{
    return true;
}

bool TrackerFrame::QuitDevice(CAnalogDevice* /*device*/)
{
    return false;
}
