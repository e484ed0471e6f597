#pragma once

class wxBitmap;
namespace cv {
class Mat;
}

// Copies an 8-bit BGR image into a 24-bit bitmap of the same size, in place: the bitmap
// is never re-created here (the caller sizes it once per frame size). False, and the
// bitmap untouched, for another image type, an empty image or a bitmap of another size
// or depth. GUI thread (bitmaps belong to it).
// With fastPath, a bitmap whose pixels lie in memory as 24-bit rows is filled by one
// colour conversion over all rows; otherwise, or with fastPath false, pixel by pixel.
bool ocvConvertMatBitmapTowxBitmap(const cv::Mat& image, wxBitmap& bitmap, bool fastPath = true);
