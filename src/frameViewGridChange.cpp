#include "DravonetMain.h"

#include <wx/propgrid/propgrid.h>

// Placeholder bodies until this group's work lands.

void TrackerFrame::OnViewPropertyChange(wxPropertyGridEvent& /*event*/) {}
