#pragma once

#include <wx/string.h>

// "wxWidgets 3.2.2"; with format 1 the platform and "-Unicode build" follow.
wxString GetToolkitVersionText(int format);
// The about box's description: the library versions, one per line.
wxString MakeAboutDescription();
