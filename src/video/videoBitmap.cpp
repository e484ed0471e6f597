#include "video/videoBitmap.h"

#include <wx/bitmap.h>
#include <wx/rawbmp.h>

#include <cstdint>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace {

// The toolkit's native 24-bit layout, in the order OpenCV calls RGB or BGR.
constexpr bool kNativeIsRgb = wxNativePixelFormat::BitsPerPixel == 24 &&
                              wxNativePixelFormat::RED == 0 && wxNativePixelFormat::GREEN == 1 &&
                              wxNativePixelFormat::BLUE == 2;
constexpr bool kNativeIsBgr = wxNativePixelFormat::BitsPerPixel == 24 &&
                              wxNativePixelFormat::RED == 2 && wxNativePixelFormat::GREEN == 1 &&
                              wxNativePixelFormat::BLUE == 0;

bool FitsBitmap(const cv::Mat& image, const wxBitmap& bitmap)
{
    return !image.empty() && image.type() == CV_8UC3 && image.dims == 2 && bitmap.IsOk() &&
           bitmap.GetWidth() == image.cols && bitmap.GetHeight() == image.rows &&
           bitmap.GetDepth() == 24;
}

}  // namespace

bool ocvConvertMatBitmapTowxBitmap(const cv::Mat& image, wxBitmap& bitmap, bool fastPath)
{
    if (!FitsBitmap(image, bitmap)) return false;
    wxNativePixelData data(bitmap);
    if (!data) return false;
    wxNativePixelData::Iterator row(data);
    const int stride = data.GetRowStride();
    if (fastPath && (kNativeIsRgb || kNativeIsBgr) && stride >= image.cols * 3) {
        // The bitmap's rows seen as an OpenCV image: one call converts (or copies) them all.
        cv::Mat target(image.rows, image.cols, CV_8UC3, row.m_ptr, static_cast<size_t>(stride));
        try {
            if (kNativeIsRgb)
                cv::cvtColor(image, target, cv::COLOR_BGR2RGB);
            else
                image.copyTo(target);
            // A reallocation would mean the view no longer pointed into the bitmap.
            return target.data == row.m_ptr;
        } catch (...) {
            return false;
        }
    }
    for (int y = 0; y < image.rows; ++y) {
        const uint8_t* source = image.ptr<uint8_t>(y);  // rows may not be contiguous
        wxNativePixelData::Iterator pixel = row;
        for (int x = 0; x < image.cols; ++x, ++pixel, source += 3) {
            pixel.Blue() = source[0];
            pixel.Green() = source[1];
            pixel.Red() = source[2];
        }
        row.OffsetY(data, 1);
    }
    return true;
}
