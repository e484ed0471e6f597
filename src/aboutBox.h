#pragma once

#include <wx/string.h>

// "wxWidgets 3.2.2"; with format 1 the platform and "-Unicode build" follow.
wxString GetToolkitVersionText(int format);
// "OpenCV\t%d.%d.%d\n" for the image library the program was built with.
wxString GetOpenCVVersion();
// The Wii library's version text.
wxString GetWiiuseVersion();
// The about box's description: the library versions, one per line.
wxString MakeAboutDescription();
