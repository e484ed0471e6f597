#include "analog/curveRaster.h"

#include <algorithm>
#include <cmath>

void CCurveRaster::Reset(int width, int height)
{
    m_width = std::max(width, 0);
    m_height = std::max(height, 0);
    const size_t pixels = static_cast<size_t>(m_width) * static_cast<size_t>(m_height);
    m_rgb.assign(pixels * 3, 0);
    m_alpha.assign(pixels, 0);
    m_top = m_height;
    m_bottom = -1;
}

void CCurveRaster::DrawPolyline(const double* xy, size_t n, std::uint8_t red, std::uint8_t green,
                                std::uint8_t blue, int lineWidth)
{
    m_red = red;
    m_green = green;
    m_blue = blue;
    const double halfWidth = std::min(std::max(lineWidth, 1), 3) / 2.0;
    for (size_t i = 1; i < n; ++i) {
        const double x0 = xy[2 * i - 2], y0 = xy[2 * i - 1];
        const double x1 = xy[2 * i], y1 = xy[2 * i + 1];
        if (std::isfinite(x0) && std::isfinite(y0) && std::isfinite(x1) && std::isfinite(y1))
            DrawSegment(x0, y0, x1, y1, halfWidth);
    }
}

void CCurveRaster::Plot(int x, int y, double coverage)
{
    if (x < 0 || y < 0 || x >= m_width || y >= m_height || coverage <= 0.0)
        return;
    const size_t index = static_cast<size_t>(y) * static_cast<size_t>(m_width) + static_cast<size_t>(x);
    std::uint8_t* rgb = &m_rgb[index * 3];
    const int a = coverage >= 1.0 ? 255 : static_cast<int>(coverage * 255.0 + 0.5);
    const int below = m_alpha[index];
    if (a >= 255 || below == 0) {
        // Nothing to blend with: the line's colour at its own coverage.
        rgb[0] = m_red;
        rgb[1] = m_green;
        rgb[2] = m_blue;
        m_alpha[index] = static_cast<std::uint8_t>(std::min(a, 255));
    } else {
        // Source over what earlier lines left, in straight (not premultiplied) colour.
        const int keep = below * (255 - a);  // scaled by 255 x 255
        const int out = a * 255 + keep;      // scaled by 255 x 255
        rgb[0] = static_cast<std::uint8_t>((m_red * a * 255 + rgb[0] * keep + out / 2) / out);
        rgb[1] = static_cast<std::uint8_t>((m_green * a * 255 + rgb[1] * keep + out / 2) / out);
        rgb[2] = static_cast<std::uint8_t>((m_blue * a * 255 + rgb[2] * keep + out / 2) / out);
        m_alpha[index] = static_cast<std::uint8_t>((out + 127) / 255);
    }
    if (y < m_top) m_top = y;
    if (y > m_bottom) m_bottom = y;
}

// Wu's line widened: along the major axis one step per pixel; across it the
// span around the line covers whole pixels inside and partial ones at both
// ends, so steep and shallow lines keep the same weight.
void CCurveRaster::DrawSegment(double x0, double y0, double x1, double y1, double halfWidth)
{
    // Clip far-away coordinates to a margin around the layer first, so that a
    // wild value cannot make the loop run for long.
    const double limit = 4.0 * (m_width + m_height) + 16.0;
    if ((x0 < -limit && x1 < -limit) || (y0 < -limit && y1 < -limit) ||
        (x0 > m_width + limit && x1 > m_width + limit) ||
        (y0 > m_height + limit && y1 > m_height + limit))
        return;
    const double dx = x1 - x0;
    const double dy = y1 - y0;
    const bool steep = std::fabs(dy) > std::fabs(dx);
    double a0 = steep ? y0 : x0, b0 = steep ? x0 : y0;
    double a1 = steep ? y1 : x1, b1 = steep ? x1 : y1;
    if (a1 < a0) {
        std::swap(a0, a1);
        std::swap(b0, b1);
    }
    const double length = a1 - a0;
    const double slope = length > 1e-12 ? (b1 - b0) / length : 0.0;
    const int majorLimit = steep ? m_height : m_width;
    // Pixel p covers [p, p + 1); each major step samples the line at its centre.
    const int first = std::max(static_cast<int>(std::floor(a0)), -1);
    const int last = std::min(static_cast<int>(std::floor(a1)), majorLimit);
    // Across-axis thickness grows with the slope so the line keeps its width.
    const double half = halfWidth * std::sqrt(1.0 + slope * slope);
    for (int a = first; a <= last; ++a) {
        const double t = std::min(std::max(a + 0.5 - a0, 0.0), length);
        const double centre = b0 + slope * t;
        const double lo = centre - half;
        const double hi = centre + half;
        const int loPixel = static_cast<int>(std::floor(lo));
        const int hiPixel = static_cast<int>(std::floor(hi));
        for (int b = loPixel; b <= hiPixel; ++b) {
            const double cover = std::min(hi, b + 1.0) - std::max(lo, static_cast<double>(b));
            if (cover > 0.0) {
                if (steep)
                    Plot(b, a, cover);
                else
                    Plot(a, b, cover);
            }
        }
    }
}
