#pragma once

#include <wx/string.h>

// Bitmap text of the 3D scene through freeglut. GUI thread.

// Initialises freeglut once per process. Its initialisation ends the process
// when it finds no X display, so without one the text is left out instead.
void InitGlutText();
bool IsGlutTextReady();
// Each character of text (UTF-8 bytes) at the current raster position.
void DrawGlutText(void* font, const wxString& text);
