#include "DravonetMain.h"

#include <wx/fileconf.h>

// Placeholder bodies until this group's work lands.

std::unique_ptr<wxFileConfig> TrackerFrame::OpenConfig(bool /*mustExist*/)
{
    return nullptr;
}

void TrackerFrame::SetConfigDefaults() {}

void TrackerFrame::LoadConfig() {}

void TrackerFrame::SaveConfig() {}

void TrackerFrame::LoadWindowPlacement() {}

void TrackerFrame::SaveWindowPlacement() {}
