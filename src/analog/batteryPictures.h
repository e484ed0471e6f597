#pragma once

#include <wx/bitmap.h>

// The six 48 x 48 battery pictures of the 2D view, 0 empty to 5 full, with a
// transparent background (mask). GUI thread.
constexpr int kBatteryPictureCount = 6;
constexpr int kBatteryPictureSize = 48;
wxBitmap MakeBatteryPicture(int index);
