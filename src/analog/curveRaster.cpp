#include "analog/curveRaster.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <limits>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the layer's words are read byte by byte in little-endian order"
#endif

namespace {

constexpr std::uint32_t kLanes = 0x00ff00ffu;

// x * f / 255, rounded, in each of the two 8-bit lanes of 0x00XX00YY.
inline std::uint32_t ScaleLanes(std::uint32_t lanes, std::uint32_t f)
{
    const std::uint32_t t = lanes * f + 0x00800080u;
    return ((t + ((t >> 8) & kLanes)) >> 8) & kLanes;
}

// Every byte of p times f / 255, rounded.
inline std::uint32_t Scale(std::uint32_t p, std::uint32_t f)
{
    return ScaleLanes(p & kLanes, f) | (ScaleLanes((p >> 8) & kLanes, f) << 8);
}

// Premultiplied source (alpha a) over what is there: no division per pixel.
inline std::uint32_t Over(std::uint32_t source, std::uint32_t a, std::uint32_t destination)
{
    return source + Scale(destination, 255u - a);
}

inline std::uint32_t Pack(int red, int green, int blue, int alpha)
{
    return static_cast<std::uint32_t>(blue) | (static_cast<std::uint32_t>(green) << 8) |
           (static_cast<std::uint32_t>(red) << 16) | (static_cast<std::uint32_t>(alpha) << 24);
}


#ifdef __x86_64__
#include <immintrin.h>

// An eight-column block of runs, prepared once for BlendBlockRowsAvx2:
// first rows, last rows, gradient positions at row `top`, then top, bottom.
constexpr int kBlockWords = 32;
constexpr int kBlockTop = 24;
constexpr int kBlockBottom = 25;

// Prepares the block of eight runs; false when its gradient positions don't
// fit the 32-bit lanes (the caller then draws it the plain way). An empty
// block gets top > bottom.
template <typename Run>
bool PrepareBlock(const Run* runs, std::int64_t step, std::int32_t* block)
{
    int top = std::numeric_limits<int>::max();
    int bottom = -1;
    for (int i = 0; i < 8; ++i) {
        block[i] = runs[i].first;
        block[8 + i] = runs[i].last;
        if (runs[i].first <= runs[i].last) {
            top = std::min(top, runs[i].first);
            bottom = std::max(bottom, runs[i].last);
        }
    }
    block[kBlockTop] = top;
    block[kBlockBottom] = bottom;
    if (top > bottom)
        return true;
    constexpr std::int64_t kLimit = std::int64_t{1} << 30;
    if (step <= -(std::int64_t{1} << 24) || step >= (std::int64_t{1} << 24))
        return false;
    for (int i = 0; i < 8; ++i) {
        const std::int64_t atTop = runs[i].position + (top - runs[i].first) * step;
        const std::int64_t atBottom = atTop + (bottom - top) * step;
        if (std::min(atTop, atBottom) <= -kLimit || std::max(atTop, atBottom) >= kLimit)
            return false;
        block[16 + i] = static_cast<std::int32_t>(atTop);
    }
    return true;
}

// Rows [rowFrom, rowTo] (inside the block's rows) of a prepared block of eight
// columns blended with one AVX2 register: a row of the block is contiguous,
// the columns not covered at a row keep their pixels. Same arithmetic as the
// scalar blend; the positions stay within the lanes (checked when prepared).
__attribute__((target("avx2"))) void BlendBlockRowsAvx2(std::uint32_t* pixels, int width,
                                                       const std::int32_t* block, int rowFrom,
                                                       int rowTo, std::int64_t step,
                                                       const std::uint32_t* steps, int alpha)
{
    const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
    const __m256i last = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 8));
    const __m256i rowStep = _mm256_set1_epi32(static_cast<int>(step));
    __m256i position = _mm256_add_epi32(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 16)),
        _mm256_mullo_epi32(_mm256_set1_epi32(rowFrom - block[kBlockTop]), rowStep));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i highest = _mm256_set1_epi32(256 << 16);
    const __m256i keep = _mm256_set1_epi16(static_cast<short>(255 - alpha));
    const __m256i half = _mm256_set1_epi16(128);
    // The gradient moves by a fraction of a step per row: the colours are
    // looked up again only when a column's step changes.
    __m256i shownK = _mm256_set1_epi32(-1);
    __m256i sources = zero;
    std::uint32_t* pixel = pixels + static_cast<std::ptrdiff_t>(rowFrom) * width;
    for (int row = rowFrom; row <= rowTo; ++row, pixel += width) {
        const __m256i y = _mm256_set1_epi32(row);
        const __m256i outside = _mm256_or_si256(_mm256_cmpgt_epi32(first, y), _mm256_cmpgt_epi32(y, last));
        if (_mm256_movemask_epi8(outside) != -1) {
            const __m256i k = _mm256_srai_epi32(_mm256_min_epi32(_mm256_max_epi32(position, zero), highest), 16);
            if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(k, shownK)) != -1) {
                sources = _mm256_i32gather_epi32(reinterpret_cast<const int*>(steps), k, 4);
                shownK = k;
            }
            __m256i* at = reinterpret_cast<__m256i*>(pixel);
            const __m256i destination = _mm256_loadu_si256(at);
            __m256i low = _mm256_add_epi16(_mm256_mullo_epi16(_mm256_unpacklo_epi8(destination, zero), keep), half);
            __m256i high = _mm256_add_epi16(_mm256_mullo_epi16(_mm256_unpackhi_epi8(destination, zero), keep), half);
            low = _mm256_srli_epi16(_mm256_add_epi16(low, _mm256_srli_epi16(low, 8)), 8);
            high = _mm256_srli_epi16(_mm256_add_epi16(high, _mm256_srli_epi16(high, 8)), 8);
            const __m256i blended = _mm256_add_epi8(_mm256_packus_epi16(low, high), sources);
            _mm256_storeu_si256(at, _mm256_blendv_epi8(blended, destination, outside));
        }
        position = _mm256_add_epi32(position, rowStep);
    }
}

bool HasAvx2()
{
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

}  // namespace

void CCurveRaster::Reset(int width, int height)
{
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (width == m_width && height == m_height) {
        // Only what the last drawing touched needs clearing.
        const int left = std::max(m_left, 0);
        const int right = std::min(m_right, m_width - 1);
        for (int y = std::max(m_top, 0); y <= std::min(m_bottom, m_height - 1) && right >= left; ++y)
            std::fill_n(&m_pixels[Index(left, y)], right - left + 1, 0u);
    } else {
        m_width = width;
        m_height = height;
        m_pixels.assign(static_cast<size_t>(m_width) * static_cast<size_t>(m_height), 0u);
    }
    m_top = m_height;
    m_bottom = -1;
    m_left = m_width;
    m_right = -1;
}

inline void CCurveRaster::Touch(int x, int top, int bottom)
{
    if (top < m_top) m_top = top;
    if (bottom > m_bottom) m_bottom = bottom;
    if (x < m_left) m_left = x;
    if (x > m_right) m_right = x;
}

inline void CCurveRaster::Plot(int x, int y, double coverage)
{
    if (x < 0 || y < 0 || x >= m_width || y >= m_height || !(coverage > 0.0))
        return;
    std::uint32_t& pixel = m_pixels[Index(x, y)];
    if (coverage >= 1.0) {
        pixel = m_colour;
    } else {
        const std::uint32_t a = static_cast<std::uint32_t>(coverage * 255.0 + 0.5);
        if (a == 0)
            return;
        pixel = Over(Scale(m_colour, a), a, pixel);
    }
    Touch(x, y, y);
}

void CCurveRaster::DrawPolyline(const double* xy, size_t n, std::uint8_t red, std::uint8_t green,
                                std::uint8_t blue, int lineWidth)
{
    m_colour = Pack(red, green, blue, 255);
    const double halfWidth = std::min(std::max(lineWidth, 1), 3) / 2.0;
    for (size_t i = 1; i < n; ++i) {
        const double x0 = xy[2 * i - 2], y0 = xy[2 * i - 1];
        const double x1 = xy[2 * i], y1 = xy[2 * i + 1];
        if (std::isfinite(x0) && std::isfinite(y0) && std::isfinite(x1) && std::isfinite(y1))
            DrawSegment(x0, y0, x1, y1, halfWidth);
    }
}

void CCurveRaster::DrawFunctionCurve(const double* xy, size_t n, std::uint8_t red,
                                     std::uint8_t green, std::uint8_t blue, int lineWidth)
{
    m_colour = Pack(red, green, blue, 255);
    const double half = std::min(std::max(lineWidth, 1), 3) / 2.0;
    size_t first = 0;
    while (first < n && !(std::isfinite(xy[2 * first]) && std::isfinite(xy[2 * first + 1])))
        ++first;
    if (first >= n || m_width <= 0)
        return;
    size_t last = n - 1;
    while (last > first && !(std::isfinite(xy[2 * last]) && std::isfinite(xy[2 * last + 1])))
        --last;
    const double xStart = xy[2 * first];
    const double xEnd = xy[2 * last];
    // The curve's y range over each half column, then each column takes the
    // ranges of the two pixels wide window around it: a square brush as wide
    // as the line, so steep parts keep the width of flat ones.
    const int slots = 2 * m_width + 2;
    m_spanLo.assign(static_cast<size_t>(slots), std::numeric_limits<double>::infinity());
    m_spanHi.assign(static_cast<size_t>(slots), -std::numeric_limits<double>::infinity());
    auto valueAt = [&](size_t segmentStart, double x) {
        const double x0 = xy[2 * segmentStart], y0 = xy[2 * segmentStart + 1];
        const double x1 = xy[2 * segmentStart + 2], y1 = xy[2 * segmentStart + 3];
        return x1 > x0 ? y0 + (y1 - y0) * (x - x0) / (x1 - x0) : y1;
    };
    const int firstSlot = std::max(0, static_cast<int>(std::floor(2.0 * xStart)) + 1);
    const int lastSlot = std::min(slots - 1, static_cast<int>(std::floor(2.0 * xEnd)) + 1);
    size_t i = first;  // last vertex at or left of the slot's left edge
    for (int slot = firstSlot; slot <= lastSlot; ++slot) {
        // Slot k covers x in [(k - 1) / 2, k / 2).
        const double left = std::max((slot - 1) * 0.5, xStart);
        const double right = std::min(slot * 0.5, xEnd);
        if (right < left)
            continue;
        while (i + 1 < last && xy[2 * (i + 1)] <= left)
            ++i;
        double lo = i < last ? valueAt(i, left) : xy[2 * i + 1];
        double hi = lo;
        size_t j = i + 1;
        for (; j <= last && xy[2 * j] <= right; ++j) {
            lo = std::min(lo, xy[2 * j + 1]);
            hi = std::max(hi, xy[2 * j + 1]);
        }
        if (j <= last) {
            const double y = valueAt(j - 1, right);
            lo = std::min(lo, y);
            hi = std::max(hi, y);
        }
        m_spanLo[static_cast<size_t>(slot)] = lo;
        m_spanHi[static_cast<size_t>(slot)] = hi;
    }
    const int firstColumn = std::max(0, static_cast<int>(std::floor(xStart - half)));
    const int lastColumn = std::min(m_width - 1, static_cast<int>(std::floor(xEnd + half)));
    for (int column = firstColumn; column <= lastColumn; ++column) {
        // Column c spans x in [c, c + 1): slots 2c + 1 and 2c + 2; its window
        // [c - 0.5, c + 1.5) adds slots 2c and 2c + 3.
        double lo = std::numeric_limits<double>::infinity();
        double hi = -lo;
        for (int slot = 2 * column; slot <= 2 * column + 3 && slot < slots; ++slot) {
            lo = std::min(lo, m_spanLo[static_cast<size_t>(slot)]);
            hi = std::max(hi, m_spanHi[static_cast<size_t>(slot)]);
        }
        if (std::isfinite(lo) && std::isfinite(hi))
            PlotSpan(column, lo - half, hi + half);
    }
}

void CCurveRaster::PlotSpan(int x, double lo, double hi)
{
    lo = std::max(lo, 0.0);
    hi = std::min(hi, static_cast<double>(m_height));
    if (!(hi > lo) || x < 0 || x >= m_width)
        return;
    const int firstRow = static_cast<int>(lo);
    const int lastRow = std::min(static_cast<int>(hi), m_height - 1);
    Plot(x, firstRow, std::min(hi, firstRow + 1.0) - lo);
    if (lastRow <= firstRow)
        return;
    // Rows strictly between the ends are covered whole: the opaque colour.
    // Colour and stride held locally: the stores could alias the members.
    const std::uint32_t colour = m_colour;
    const std::ptrdiff_t stride = m_width;
    std::uint32_t* pixel = &m_pixels[Index(x, firstRow)];
    for (int y = firstRow + 1; y < lastRow; ++y) {
        pixel += stride;
        *pixel = colour;
    }
    Touch(x, firstRow, lastRow);
    Plot(x, lastRow, std::min(hi, lastRow + 1.0) - lastRow);
}

void CCurveRaster::DrawDottedRow(int y, int x0, int x1, std::uint8_t red, std::uint8_t green,
                                 std::uint8_t blue, std::uint8_t alpha)
{
    if (y < 0 || y >= m_height || alpha == 0)
        return;
    const std::uint32_t a = alpha;
    const std::uint32_t source = Scale(Pack(red, green, blue, 255), a);
    bool drawn = false;
    for (int x = x0; x <= x1 && x < m_width; ++x) {
        if (x < 0 || ((x - x0) & 3) > 1)
            continue;
        std::uint32_t& pixel = m_pixels[Index(x, y)];
        pixel = Over(source, a, pixel);
        if (!drawn) {
            Touch(x, y, y);
            drawn = true;
        }
    }
    if (drawn)
        Touch(std::min(x1, m_width - 1), y, y);
}

void CCurveRaster::FillToLevel(const double* xy, size_t n, double baseY, const Rgba& from,
                               const Rgba& to, double gx0, double gy0, double gx1, double gy1)
{
    if (n < 2 || !std::isfinite(baseY))
        return;
    // Gradient position t(x, y) = ((x - gx0) gdx + (y - gy0) gdy) / |g|^2, linear in y.
    const double gdx = gx1 - gx0;
    const double gdy = gy1 - gy0;
    const double norm = gdx * gdx + gdy * gdy;
    const double ty = norm > 0.0 ? gdy / norm : 0.0;
    // The premultiplied colour at each of the 257 gradient steps.
    std::uint32_t steps[257];
    for (int k = 0; k <= 256; ++k) {
        const int a = from.alpha + ((to.alpha - from.alpha) * k >> 8);
        steps[k] = Scale(Pack(from.red + ((to.red - from.red) * k >> 8),
                              from.green + ((to.green - from.green) * k >> 8),
                              from.blue + ((to.blue - from.blue) * k >> 8), 255),
                         static_cast<std::uint32_t>(a));
    }
    // Gradient positions in 1/65536 of the 256 steps.
    const std::int64_t step = static_cast<std::int64_t>(std::min(std::max(ty, -1e6), 1e6) * 16777216.0);
    // Each column's run first, then the runs drawn four columns at a time
    // where they overlap (the pixels of one row lie side by side).
    const int firstColumn = std::max(0, static_cast<int>(std::ceil(xy[0] - 0.5)));
    const int lastColumn = std::min(m_width - 1, static_cast<int>(std::floor(xy[2 * (n - 1)] - 0.5)));
    if (firstColumn > lastColumn)
        return;
    m_runs.resize(static_cast<size_t>(m_width));
    size_t segment = 1;
    for (int column = firstColumn; column <= lastColumn; ++column) {
        FillRun& run = m_runs[static_cast<size_t>(column)];
        run.first = 0;
        run.last = -1;
        const double cx = column + 0.5;
        while (segment < n - 1 && xy[2 * segment] < cx)
            ++segment;
        const double x0 = xy[2 * segment - 2], y0 = xy[2 * segment - 1];
        const double x1 = xy[2 * segment], y1 = xy[2 * segment + 1];
        if (!std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(x1) || !std::isfinite(y1))
            continue;  // no area under a point that is not a number
        const double y = x1 > x0 ? y0 + (y1 - y0) * (cx - x0) / (x1 - x0) : y1;
        const double lo = std::min(y, baseY);
        const double hi = std::max(y, baseY);
        run.first = std::max(0, static_cast<int>(std::ceil(lo - 0.5)));
        run.last = std::min(m_height - 1, static_cast<int>(std::floor(hi - 0.5)));
        const double t = norm > 0.0 ? ((cx - gx0) * gdx + (run.first + 0.5 - gy0) * gdy) / norm : 0.0;
        run.position = static_cast<std::int64_t>(std::min(std::max(t, -1e6), 1e6) * 16777216.0);
        if (run.first <= run.last)
            Touch(column, run.first, run.last);
    }
    // Rows [from, to] of one column, position being the gradient at row `from`.
    auto blendRun = [&](int runColumn, int firstRow, int lastRow, std::int64_t position) {
        if (firstRow > lastRow)
            return;
        std::uint32_t* pixel = &m_pixels[Index(runColumn, firstRow)];
        for (int row = firstRow; row <= lastRow; ++row, position += step, pixel += m_width) {
            const std::int64_t k = std::min<std::int64_t>(std::max<std::int64_t>(position >> 16, 0), 256);
            const std::uint32_t source = steps[k];
            *pixel = Over(source, source >> 24, *pixel);
        }
    };
    int column = firstColumn;
#ifdef __x86_64__
    if (from.alpha == to.alpha && HasAvx2()) {
        // The blocks are prepared once, then drawn in bands of rows, every
        // block of a band before the next band: going down a whole column at
        // a time touches a new page at each row and evicts the lines before
        // the neighbouring block comes to use them.
        const int blocks = (lastColumn - firstColumn + 1) / 8;
        m_blocks.resize(static_cast<size_t>(blocks) * kBlockWords);
        int rowTop = m_height, rowBottom = -1;
        for (int b = 0; b < blocks; ++b, column += 8) {
            std::int32_t* block = &m_blocks[static_cast<size_t>(b) * kBlockWords];
            if (PrepareBlock(&m_runs[static_cast<size_t>(column)], step, block)) {
                if (block[kBlockTop] <= block[kBlockBottom]) {
                    rowTop = std::min(rowTop, block[kBlockTop]);
                    rowBottom = std::max(rowBottom, block[kBlockBottom]);
                }
                continue;
            }
            for (int i = 0; i < 8; ++i) {
                const FillRun& run = m_runs[static_cast<size_t>(column + i)];
                blendRun(column + i, run.first, run.last, run.position);
            }
            block[kBlockTop] = 0;  // drawn
            block[kBlockBottom] = -1;
        }
        for (int bandTop = rowTop; bandTop <= rowBottom; bandTop += kFillBand) {
            const int bandBottom = std::min(rowBottom, bandTop + kFillBand - 1);
            for (int b = 0; b < blocks; ++b) {
                const std::int32_t* block = &m_blocks[static_cast<size_t>(b) * kBlockWords];
                const int rowFrom = std::max(block[kBlockTop], bandTop);
                const int rowTo = std::min(block[kBlockBottom], bandBottom);
                if (rowFrom <= rowTo)
                    BlendBlockRowsAvx2(m_pixels.data() + firstColumn + 8 * b, m_width, block, rowFrom,
                                       rowTo, step, steps, from.alpha);
            }
        }
    }
#endif
#ifdef __SSE2__
    if (from.alpha == to.alpha) {
        const __m128i zero = _mm_setzero_si128();
        const __m128i keep = _mm_set1_epi16(static_cast<short>(255 - from.alpha));
        const __m128i half = _mm_set1_epi16(128);
        for (; column + 3 <= lastColumn; column += 4) {
            const FillRun* runs = &m_runs[static_cast<size_t>(column)];
            int commonFirst = runs[0].first, commonLast = runs[0].last;
            for (int i = 1; i < 4; ++i) {
                commonFirst = std::max(commonFirst, runs[i].first);
                commonLast = std::min(commonLast, runs[i].last);
            }
            std::int64_t position[4];
            for (int i = 0; i < 4; ++i) {
                const FillRun& run = runs[i];
                if (commonFirst > commonLast) {
                    blendRun(column + i, run.first, run.last, run.position);
                    continue;
                }
                blendRun(column + i, run.first, commonFirst - 1, run.position);
                blendRun(column + i, commonLast + 1, run.last,
                         run.position + (commonLast + 1 - run.first) * step);
                position[i] = run.position + (commonFirst - run.first) * step;
            }
            if (commonFirst > commonLast)
                continue;
            std::uint32_t* pixel = &m_pixels[Index(column, commonFirst)];
            // Where the gradient stays inside its steps over the whole run (the
            // usual case), the positions need no clamping per row.
            const std::int64_t span = (commonLast - commonFirst) * step;
            bool inside = step > -(std::int64_t{1} << 25) && step < (std::int64_t{1} << 25);
            for (int i = 0; i < 4; ++i) {
                const std::int64_t a = position[i], b = position[i] + span;
                inside = inside && std::min(a, b) >= 0 && (std::max(a, b) >> 16) <= 256;
            }
            if (inside) {
                std::int32_t p0 = static_cast<std::int32_t>(position[0]), p1 = static_cast<std::int32_t>(position[1]);
                std::int32_t p2 = static_cast<std::int32_t>(position[2]), p3 = static_cast<std::int32_t>(position[3]);
                const std::int32_t rowStep = static_cast<std::int32_t>(step);
                for (int row = commonFirst; row <= commonLast; ++row, pixel += m_width) {
                    const __m128i sources = _mm_set_epi32(static_cast<int>(steps[p3 >> 16]), static_cast<int>(steps[p2 >> 16]),
                                                          static_cast<int>(steps[p1 >> 16]), static_cast<int>(steps[p0 >> 16]));
                    p0 += rowStep;
                    p1 += rowStep;
                    p2 += rowStep;
                    p3 += rowStep;
                    const __m128i destination = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixel));
                    __m128i low = _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(destination, zero), keep), half);
                    __m128i high = _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(destination, zero), keep), half);
                    low = _mm_srli_epi16(_mm_add_epi16(low, _mm_srli_epi16(low, 8)), 8);
                    high = _mm_srli_epi16(_mm_add_epi16(high, _mm_srli_epi16(high, 8)), 8);
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(pixel),
                                     _mm_add_epi8(_mm_packus_epi16(low, high), sources));
                }
                continue;
            }
            for (int row = commonFirst; row <= commonLast; ++row, pixel += m_width) {
                std::uint32_t source[4];
                for (int i = 0; i < 4; ++i) {
                    source[i] = steps[std::min<std::int64_t>(std::max<std::int64_t>(position[i] >> 16, 0), 256)];
                    position[i] += step;
                }
                // The scalar blend, eight bytes at a time in 16-bit lanes.
                const __m128i destination = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixel));
                __m128i low = _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(destination, zero), keep), half);
                __m128i high = _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(destination, zero), keep), half);
                low = _mm_srli_epi16(_mm_add_epi16(low, _mm_srli_epi16(low, 8)), 8);
                high = _mm_srli_epi16(_mm_add_epi16(high, _mm_srli_epi16(high, 8)), 8);
                const __m128i sources = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(pixel),
                                 _mm_add_epi8(_mm_packus_epi16(low, high), sources));
            }
        }
    }
#endif
    for (; column <= lastColumn; ++column) {
        const FillRun& run = m_runs[static_cast<size_t>(column)];
        blendRun(column, run.first, run.last, run.position);
    }
}

void CCurveRaster::CopyRowsRgba(std::uint8_t* out, std::ptrdiff_t rowStride, int rowCount) const
{
    // 65536 / alpha, rounded down: straight colour without a division per pixel.
    static const std::vector<std::uint32_t> inverse = [] {
        std::vector<std::uint32_t> table(256, 0);
        for (std::uint32_t a = 1; a < 256; ++a)
            table[a] = (255u << 16) / a;
        return table;
    }();
    const int drawn = IsEmpty() ? 0 : std::min(rowCount, m_bottom - m_top + 1);
    const std::uint32_t* table = inverse.data();
    const int left = std::max(m_left, 0);
    const int right = std::min(m_right, m_width - 1);
    for (int y = 0; y < drawn; ++y) {
        const std::uint32_t* source = &m_pixels[Index(0, m_top + y)];
        std::uint32_t* target = reinterpret_cast<std::uint32_t*>(out + y * rowStride);
        std::fill_n(target, left, 0u);
        for (int x = left; x <= right; ++x) {
            const std::uint32_t p = source[x];
            const std::uint32_t alpha = p >> 24;
            if (alpha == 0 || alpha == 255) {
                // Transparent is all zero; opaque is straight already.
                target[x] = (p & 0xff00ff00u) | ((p & 0xffu) << 16) | ((p >> 16) & 0xffu);
                continue;
            }
            const std::uint32_t scale = table[alpha];
            const std::uint32_t red = std::min(255u, (((p >> 16) & 0xff) * scale + 32768) >> 16);
            const std::uint32_t green = std::min(255u, (((p >> 8) & 0xff) * scale + 32768) >> 16);
            const std::uint32_t blue = std::min(255u, ((p & 0xff) * scale + 32768) >> 16);
            target[x] = red | (green << 8) | (blue << 16) | (alpha << 24);
        }
        if (right + 1 < m_width)
            std::fill_n(target + right + 1, m_width - right - 1, 0u);
    }
    for (int y = std::max(drawn, 0); y < rowCount; ++y)
        std::memset(out + y * rowStride, 0, 4 * static_cast<size_t>(m_width));
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
    // Steps and pixels outside the layer are skipped here, so that the pixels
    // need no test of their own; the drawn box is noted once per segment.
    const int minorLimit = steep ? m_width : m_height;
    const int stride = steep ? 1 : m_width;        // one step across
    const int majorStride = steep ? m_width : 1;   // one step along
    const int firstStep = std::max(first, 0);
    const int lastStep = std::min(last, majorLimit - 1);
    int minMinor = minorLimit, maxMinor = -1;
    if (!steep && slope == 0.0 && firstStep <= lastStep) {
        // A level line (the fill's outline along its zero level): every step
        // has the same span, so each of its few rows is blended in one run
        // along the row, with the coverage of the loop below.
        const double lo = b0 - half;
        const double hi = b0 + half;
        if (!(hi > 0.0) || !(lo < minorLimit))
            return;
        const int loPixel = std::max(static_cast<int>(std::floor(lo)), 0);
        const int hiPixel = std::min(static_cast<int>(std::ceil(hi)) - 1, minorLimit - 1);
        for (int b = loPixel; b <= hiPixel; ++b) {
            std::uint32_t* pixel = &m_pixels[Index(firstStep, b)];
            const double cover = std::min(hi, b + 1.0) - std::max(lo, static_cast<double>(b));
            if (cover >= 1.0) {
                std::fill_n(pixel, lastStep - firstStep + 1, m_colour);
            } else if (cover > 0.0) {
                const std::uint32_t alpha = static_cast<std::uint32_t>(cover * 255.0 + 0.5);
                const std::uint32_t source = Scale(m_colour, alpha);
                for (int a = firstStep; alpha > 0 && a <= lastStep; ++a, ++pixel)
                    *pixel = Over(source, alpha, *pixel);
            }
        }
        Touch(firstStep, loPixel, hiPixel);
        Touch(lastStep, loPixel, hiPixel);
        return;
    }
    for (int a = firstStep; a <= lastStep; ++a) {
        const double t = std::min(std::max(a + 0.5 - a0, 0.0), length);
        const double centre = b0 + slope * t;
        const double lo = centre - half;
        const double hi = centre + half;
        if (!(hi > 0.0) || !(lo < minorLimit))
            continue;
        const int loPixel = std::max(static_cast<int>(std::floor(lo)), 0);
        // The last pixel that the span reaches into (not one it only touches).
        const int hiPixel = std::min(static_cast<int>(std::ceil(hi)) - 1, minorLimit - 1);
        std::uint32_t* pixel = &m_pixels[static_cast<size_t>(a) * static_cast<size_t>(majorStride) +
                                         static_cast<size_t>(loPixel) * static_cast<size_t>(stride)];
        for (int b = loPixel; b <= hiPixel; ++b, pixel += stride) {
            const double cover = std::min(hi, b + 1.0) - std::max(lo, static_cast<double>(b));
            if (cover >= 1.0) {
                *pixel = m_colour;
            } else if (cover > 0.0) {
                const std::uint32_t alpha = static_cast<std::uint32_t>(cover * 255.0 + 0.5);
                if (alpha > 0)
                    *pixel = Over(Scale(m_colour, alpha), alpha, *pixel);
            }
        }
        minMinor = std::min(minMinor, loPixel);
        maxMinor = std::max(maxMinor, hiPixel);
    }
    if (maxMinor < minMinor)
        return;
    if (steep) {
        Touch(minMinor, firstStep, lastStep);
        Touch(maxMinor, firstStep, lastStep);
    } else {
        Touch(firstStep, minMinor, maxMinor);
        Touch(lastStep, minMinor, maxMinor);
    }
}
