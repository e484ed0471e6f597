#include "DravonetMain.h"

// Placeholder bodies until this group's work lands.

void TrackerFrame::UpdateViewGrid() {}
