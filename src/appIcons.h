#pragma once

#include <wx/bitmap.h>
#include <wx/icon.h>

// The program's pictures, drawn at start-up on a transparent background: the frame
// icon, the toolbar tools (32 x 32) and the Capture menu items (16 x 16). GUI thread.
enum class ToolImage {
    PairWii,      // a handset sending radio waves
    SearchWii,    // a blue disc with a white Bluetooth rune
    OpenWii,      // the Wii name in grey lettering
    Satel,        // a flat board in a green frame
    Bird,         // a red bird in flight
    Camera,       // a white web camera on a stand
    Pause,        // a blue disc with two white bars
    Play,         // a blue disc with a white triangle
    Reset,        // a blue circular arrow
    Offset,       // a green disc with a white downward arrow
    CreateFile,   // a white sheet with a yellow badge
    Record,       // a red disc
    Stop,         // a red filled square
    NextFile,     // a white sheet with a green plus badge
    CloseFile,    // a white sheet with a red cross badge
};

enum class MenuImage {
    Close,   // a red disc with a white cross
    Record,  // a red disc
    Pause,   // two red vertical bars
};

wxBitmap MakeToolBitmap(ToolImage image);
wxBitmap MakeMenuBitmap(MenuImage image);
wxIcon MakeAppIcon();
// The about box's picture, 296 x 286.
wxBitmap MakeAboutPicture();
