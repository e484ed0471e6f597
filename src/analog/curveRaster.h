#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// An off-screen layer for the long polylines of the 2D view (curves and
// trails): anti-aliased lines of 1 to 3 pixels rasterised into an RGB plus
// alpha buffer, which the view then draws in one go. Tens of thousands of
// segments cost well under a millisecond here, where a vector renderer takes
// tens. Display-free; used by one thread at a time (the GUI thread).
class CCurveRaster {
public:
    // Clears the layer to fully transparent; width x height pixels.
    void Reset(int width, int height);

    // Strokes the polyline through n points (x0, y0, x1, y1, ...) in layer
    // pixels, later lines over earlier ones. Points that are not finite
    // break the line; parts outside the layer are clipped.
    void DrawPolyline(const double* xy, size_t n, std::uint8_t red, std::uint8_t green,
                      std::uint8_t blue, int lineWidth);

    // The same for a curve whose x never decreases (a time curve), drawn column
    // by column: each pixel column covers the curve's y range over a window
    // one line width wide, widened by half the width above and below (a
    // square brush). Several times cheaper than segment by segment.
    void DrawFunctionCurve(const double* xy, size_t n, std::uint8_t red, std::uint8_t green,
                           std::uint8_t blue, int lineWidth);

    // A dotted one-pixel row y from x0 to x1: two pixels on, two off, from x0
    // on, at opacity alpha (as the toolkit draws a dotted pen).
    void DrawDottedRow(int y, int x0, int x1, std::uint8_t red, std::uint8_t green,
                       std::uint8_t blue, std::uint8_t alpha);

    // A straight (not premultiplied) colour with its opacity.
    struct Rgba {
        std::uint8_t red = 0, green = 0, blue = 0, alpha = 255;
    };

    // Fills each pixel column between the polyline (x increasing, as a time
    // curve) and the level baseY, in a colour running linearly from `from`
    // at (gx0, gy0) to `to` at (gx1, gy1), over what is already drawn.
    void FillToLevel(const double* xy, size_t n, double baseY, const Rgba& from, const Rgba& to,
                     double gx0, double gy0, double gx1, double gy1);

    // Writes the drawn rows [Top, Bottom] as straight (not premultiplied)
    // RGBA, row after row, rowStride bytes apart; rows below Bottom up to
    // rowCount are made transparent.
    void CopyRowsRgba(std::uint8_t* out, std::ptrdiff_t rowStride, int rowCount) const;

    int Width() const { return m_width; }
    int Height() const { return m_height; }
    bool IsEmpty() const { return m_bottom < m_top; }
    // Rows [Top, Bottom] hold every drawn pixel.
    int Top() const { return m_top; }
    int Bottom() const { return m_bottom; }
    // Pixels are stored row after row, one 32-bit word each: alpha in the
    // high byte, then red, green and blue (the display's native order, so the
    // rows are painted as they are). Colour is premultiplied by its alpha
    // (alpha 0: transparent).
    size_t Index(int x, int y) const
    {
        return static_cast<size_t>(y) * static_cast<size_t>(m_width) + static_cast<size_t>(x);
    }
    const std::uint32_t* Row(int y) const { return &m_pixels[Index(0, y)]; }
    std::uint32_t WordAt(int x, int y) const { return m_pixels[Index(x, y)]; }
    // Premultiplied red, green and blue.
    std::array<std::uint8_t, 3> RgbAt(int x, int y) const
    {
        const std::uint32_t p = WordAt(x, y);
        return {static_cast<std::uint8_t>(p >> 16), static_cast<std::uint8_t>(p >> 8),
                static_cast<std::uint8_t>(p)};
    }
    std::uint8_t AlphaAt(int x, int y) const { return static_cast<std::uint8_t>(WordAt(x, y) >> 24); }

private:
    void DrawSegment(double x0, double y0, double x1, double y1, double halfWidth);
    void Plot(int x, int y, double coverage);
    void PlotSpan(int x, double lo, double hi);
    void Touch(int x, int top, int bottom);

    int m_width = 0;
    int m_height = 0;
    int m_top = 0;
    int m_bottom = -1;
    int m_left = 0;    // columns [m_left, m_right] hold every drawn pixel
    int m_right = -1;
    std::vector<std::uint32_t> m_pixels;
    std::uint32_t m_colour = 0;  // opaque colour of the current stroke
    struct FillRun {
        int first = 0;  // rows [first, last]; none when first > last
        int last = -1;
        std::int64_t position = 0;  // gradient position at row first
    };
    std::vector<FillRun> m_runs;  // per column, for FillToLevel
    std::vector<std::int32_t> m_blocks;  // per eight columns, for FillToLevel
    static constexpr int kFillBand = 32;  // rows drawn across the blocks at a time
    std::vector<double> m_spanLo;  // per half column, for DrawFunctionCurve
    std::vector<double> m_spanHi;
};
