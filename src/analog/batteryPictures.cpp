#include "analog/batteryPictures.h"

#include <wx/dcmemory.h>
#include <wx/bitmap.h>

#include <algorithm>

namespace {

// Never drawn otherwise; becomes the mask.
const wxColour kTransparent(255, 0, 255);

wxColour LevelColour(int index)
{
    if (index <= 1)
        return wxColour(230, 40, 30);
    if (index == 2)
        return wxColour(240, 200, 30);
    return wxColour(40, 200, 60);
}

}  // namespace

wxBitmap MakeBatteryPicture(int index)
{
    index = std::min(std::max(index, 0), kBatteryPictureCount - 1);
    wxBitmap bitmap(kBatteryPictureSize, kBatteryPictureSize, 24);
    {
        wxMemoryDC dc(bitmap);
        dc.SetBackground(wxBrush(kTransparent));
        dc.Clear();
        // Body lying on its side with the terminal to the right.
        const wxColour outline(220, 220, 220);
        dc.SetPen(wxPen(outline, 3));
        dc.SetBrush(*wxTRANSPARENT_BRUSH);
        dc.DrawRectangle(3, 14, 38, 20);
        dc.SetPen(*wxTRANSPARENT_PEN);
        dc.SetBrush(wxBrush(outline));
        dc.DrawRectangle(41, 19, 4, 10);
        // One cell per level; the empty battery shows a red outline only.
        dc.SetBrush(wxBrush(LevelColour(index)));
        for (int cell = 0; cell < index; ++cell)
            dc.DrawRectangle(7 + cell * 6, 18, 5, 12);
        if (index == 0) {
            dc.SetPen(wxPen(LevelColour(0), 3));
            dc.DrawLine(12, 24, 32, 24);
        }
    }
    bitmap.SetMask(new wxMask(bitmap, kTransparent));
    return bitmap;
}
