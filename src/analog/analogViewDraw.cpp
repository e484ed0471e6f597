#include "analog/analogViewDraw.h"

#include "analog/curveRaster.h"

#include <wx/bitmap.h>
#include <wx/graphics.h>
#include <wx/image.h>
#include <wx/rawbmp.h>

#include <algorithm>
#include <cmath>

namespace {

bool IsFinitePoint(const wxPoint2DDouble& p) { return std::isfinite(p.m_x) && std::isfinite(p.m_y); }

}  // namespace

void DecimateCurve(const std::vector<wxPoint2DDouble>& in, std::vector<wxPoint2DDouble>& out)
{
    out.clear();
    out.reserve(std::min<size_t>(in.size(), 8192));
    size_t i = 0;
    const size_t n = in.size();
    while (i < n) {
        if (!IsFinitePoint(in[i])) {
            ++i;
            continue;
        }
        const double column = std::floor(in[i].m_x);
        size_t low = i, high = i;
        size_t j = i + 1;
        for (; j < n && IsFinitePoint(in[j]) && std::floor(in[j].m_x) == column; ++j) {
            if (in[j].m_y < in[low].m_y) low = j;
            if (in[j].m_y > in[high].m_y) high = j;
        }
        // The column's lowest and highest points in index order: the strokes
        // between them cover the column's whole vertical span.
        out.push_back(in[std::min(low, high)]);
        if (low != high)
            out.push_back(in[std::max(low, high)]);
        i = j;
    }
}

void DecimateTrail(const std::vector<wxPoint2DDouble>& in, std::vector<wxPoint2DDouble>& out)
{
    out.clear();
    out.reserve(std::min<size_t>(in.size(), 8192));
    for (const wxPoint2DDouble& p : in) {
        if (!IsFinitePoint(p))
            continue;
        if (!out.empty() && std::floor(out.back().m_x) == std::floor(p.m_x) &&
            std::floor(out.back().m_y) == std::floor(p.m_y))
            continue;
        out.push_back(p);
    }
}

void DrawRaster(wxGraphicsContext& gc, CCurveRaster& raster, wxBitmap& cache, int left, int top)
{
    if (raster.IsEmpty() || raster.Width() <= 0)
        return;
    const int width = raster.Width();
    const int rows = raster.Bottom() - raster.Top() + 1;
    if (!cache.IsOk() || cache.GetWidth() != width || cache.GetHeight() < rows) {
        cache.Create(width, rows, 32);
        cache.UseAlpha();
    }
    {
        wxAlphaPixelData data(cache, wxPoint(0, 0), wxSize(width, rows));
        if (!data)
            return;
        // The layer keeps premultiplied colour, column after column; the
        // bitmap takes straight colour, row after row.
        static const std::vector<int> inverse = [] {
            std::vector<int> table(256, 0);
            for (int a = 1; a < 256; ++a)
                table[static_cast<size_t>(a)] = (255 << 16) / a;
            return table;
        }();
        wxAlphaPixelData::Iterator row(data);
        for (int y = 0; y < rows; ++y) {
            wxAlphaPixelData::Iterator p = row;
            for (int x = 0; x < width; ++x, ++p) {
                const std::uint8_t alpha = raster.AlphaAt(x, raster.Top() + y);
                p.Alpha() = alpha;
                if (alpha == 0) {
                    p.Red() = p.Green() = p.Blue() = 0;
                    continue;
                }
                const std::uint8_t* rgb = raster.RgbAt(x, raster.Top() + y);
                const int scale = inverse[alpha];
                p.Red() = static_cast<unsigned char>(std::min(255, (rgb[0] * scale + 32768) >> 16));
                p.Green() = static_cast<unsigned char>(std::min(255, (rgb[1] * scale + 32768) >> 16));
                p.Blue() = static_cast<unsigned char>(std::min(255, (rgb[2] * scale + 32768) >> 16));
            }
            row.OffsetY(data, 1);
        }
    }
    gc.DrawBitmap(cache.GetHeight() == rows ? cache : cache.GetSubBitmap(wxRect(0, 0, width, rows)),
                  left, top + raster.Top(), width, rows);
}
