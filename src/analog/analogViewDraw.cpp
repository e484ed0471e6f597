#include "analog/analogViewDraw.h"

#include "analog/curveRaster.h"

#include <wx/bitmap.h>
#include <wx/dc.h>
#include <wx/dcmemory.h>
#include <wx/graphics.h>
#include <wx/image.h>
#include <wx/rawbmp.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#ifdef QV_HAVE_CAIRO
#include <cairo.h>
#endif

namespace {

bool IsFinitePoint(const wxPoint2DDouble& p) { return std::isfinite(p.m_x) && std::isfinite(p.m_y); }

#ifdef QV_HAVE_CAIRO
// Paints the drawn rows of the layer through the context's own cairo
// context, as premultiplied pixels: no bitmap of the toolkit in between (it
// would be converted to straight colour and back at each paint). False when
// the context is not cairo's.
bool DrawRasterCairo(wxGraphicsContext& gc, const CCurveRaster& raster, int left, int top)
{
    const wxGraphicsRenderer* renderer = gc.GetRenderer();
    if (!renderer || renderer->GetName() != "cairo")
        return false;
    auto* cr = static_cast<cairo_t*>(gc.GetNativeContext());
    if (!cr)
        return false;
    const int width = raster.Width();
    const int rows = raster.Bottom() - raster.Top() + 1;
    if (cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, width) != width * 4)
        return false;
    // The layer's rows are cairo's premultiplied ARGB32 words already: painted
    // in place, no copy. Cairo only reads its source.
    auto* words = const_cast<std::uint32_t*>(raster.Row(raster.Top()));
    cairo_surface_t* surface =
        cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(words),
                                            CAIRO_FORMAT_ARGB32, width, rows, width * 4);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return false;
    }
    const double y = top + raster.Top();
    cairo_save(cr);
    cairo_set_source_surface(cr, surface, left, y);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_FAST);
    cairo_rectangle(cr, left, y, width, rows);
    cairo_fill(cr);
    cairo_restore(cr);
    cairo_surface_destroy(surface);
    return true;
}
#endif

// A copy of the picture made like the paint's target: for a window a surface of the
// display server, so that later paints copy it there without sending its pixels
// again. Null when the context is not cairo's.
std::shared_ptr<void> CopyLikeTarget(wxGraphicsContext& gc, const wxGraphicsBitmap& picture,
                                     int width, int height)
{
#ifdef QV_HAVE_CAIRO
    const wxGraphicsRenderer* renderer = gc.GetRenderer();
    auto* cr = static_cast<cairo_t*>(gc.GetNativeContext());
    auto* source = static_cast<cairo_surface_t*>(picture.GetNativeBitmap());
    if (!renderer || renderer->GetName() != "cairo" || !cr || !source)
        return nullptr;
    cairo_surface_t* copy =
        cairo_surface_create_similar(cairo_get_target(cr), CAIRO_CONTENT_COLOR_ALPHA, width, height);
    if (cairo_surface_status(copy) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(copy);
        return nullptr;
    }
    cairo_t* painter = cairo_create(copy);
    cairo_set_operator(painter, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_surface(painter, source, 0, 0);
    cairo_paint(painter);
    cairo_destroy(painter);
    return std::shared_ptr<void>(copy, [](void* surface) {
        cairo_surface_destroy(static_cast<cairo_surface_t*>(surface));
    });
#else
    (void)gc;
    (void)picture;
    (void)width;
    (void)height;
    return nullptr;
#endif
}

// Draws a picture at (x, y), its own size: the copy like the target when there is one.
void DrawPicture(wxGraphicsContext& gc, const wxGraphicsBitmap& picture, const std::shared_ptr<void>& copy,
                 int x, int y, int width, int height)
{
#ifdef QV_HAVE_CAIRO
    if (copy) {
        auto* cr = static_cast<cairo_t*>(gc.GetNativeContext());
        cairo_save(cr);
        cairo_set_source_surface(cr, static_cast<cairo_surface_t*>(copy.get()), x, y);
        cairo_rectangle(cr, x, y, width, height);
        cairo_fill(cr);
        cairo_restore(cr);
        return;
    }
#else
    (void)copy;
#endif
    gc.DrawBitmap(picture, x, y, width, height);
}

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
    out.reserve(in.size());
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
#ifdef QV_HAVE_CAIRO
    if (DrawRasterCairo(gc, raster, left, top))
        return;
#endif
    const int width = raster.Width();
    // The bitmap keeps its height while the drawn rows vary a little from one
    // paint to the next (rounded up to 32 rows): no new bitmap per paint.
    const int drawnRows = raster.Bottom() - raster.Top() + 1;
    const int rows = std::min(raster.Height(), (drawnRows + 31) / 32 * 32);
    if (!cache.IsOk() || cache.GetWidth() != width || cache.GetHeight() != rows) {
        cache.Create(width, rows, 32);
        cache.UseAlpha();
    }
    {
        wxAlphaPixelData data(cache, wxPoint(0, 0), wxSize(width, rows));
        if (!data)
            return;
        wxAlphaPixelData::Iterator origin(data);
        if (wxAlphaPixelFormat::RED == 0 && wxAlphaPixelFormat::GREEN == 1 &&
            wxAlphaPixelFormat::BLUE == 2 && wxAlphaPixelFormat::ALPHA == 3) {
            raster.CopyRowsRgba(reinterpret_cast<std::uint8_t*>(origin.m_ptr), data.GetRowStride(),
                                rows);
        } else {
            // Another byte order: pixel by pixel (straight colour from the layer).
            wxAlphaPixelData::Iterator row = origin;
            for (int y = 0; y < rows; ++y) {
                const int layerY = raster.Top() + y;
                wxAlphaPixelData::Iterator p = row;
                for (int x = 0; x < width; ++x, ++p) {
                    const bool inside = layerY <= raster.Bottom();
                    const std::uint8_t alpha = inside ? raster.AlphaAt(x, layerY) : 0;
                    const std::array<std::uint8_t, 3> rgb =
                        inside ? raster.RgbAt(x, layerY) : std::array<std::uint8_t, 3>{};
                    p.Alpha() = alpha;
                    p.Red() = alpha ? static_cast<unsigned char>(std::min(255, rgb[0] * 255 / alpha)) : 0;
                    p.Green() = alpha ? static_cast<unsigned char>(std::min(255, rgb[1] * 255 / alpha)) : 0;
                    p.Blue() = alpha ? static_cast<unsigned char>(std::min(255, rgb[2] * 255 / alpha)) : 0;
                }
                row.OffsetY(data, 1);
            }
        }
    }
    gc.DrawBitmap(cache, left, top + raster.Top(), width, rows);
}

size_t CViewText::KeyHash::operator()(const Key& key) const
{
    size_t hash = std::hash<wxString>()(key.text);
    hash ^= static_cast<size_t>(key.pointSize * 31 + key.weight * 7 + key.family * 3 + key.style) +
            key.colour + 0x9e3779b97f4a7c15ull + (hash << 6) + (hash >> 2);
    return hash;
}

CViewText::Key CViewText::MakeKey(const wxString& text, std::uint32_t colour)
{
    const wxFont& font = m_font;
    // A font that shares its data with the last one is the same font.
    if (!m_keyFont.IsOk() || font.GetRefData() != m_keyFont.GetRefData()) {
        m_keyFont = font;
        m_fontKey = Key{wxString(),
                        font.GetFaceName(),
                        font.GetPointSize(),
                        static_cast<int>(font.GetWeight()),
                        static_cast<int>(font.GetFamily()),
                        static_cast<int>(font.GetStyle()),
                        0};
    }
    Key key = m_fontKey;
    key.text = text;
    key.colour = colour;
    return key;
}

void CViewText::Extent(wxDC& dc, const wxString& text, int& width, int& height)
{
    // Measured with every digit as a 0: the digits of the view's font are
    // equally wide, and a value that changes from paint to paint is then
    // measured once for its shape, not once per value.
    wxString shape(text);
    for (wxString::iterator it = shape.begin(); it != shape.end(); ++it)
        if (*it >= '1' && *it <= '9')
            *it = '0';
    Key key = MakeKey(shape, 0);
    const auto found = m_extents.find(key);
    if (found != m_extents.end()) {
        width = found->second.GetWidth();
        height = found->second.GetHeight();
        return;
    }
    wxCoord w = 0, h = 0;
    dc.GetTextExtent(shape, &w, &h, nullptr, nullptr, &m_font);
    width = w;
    height = h;
    if (m_extents.size() >= kMaxEntries)
        m_extents.clear();
    m_extents.emplace(std::move(key), wxSize(w, h));
}

bool CViewText::MakePicture(wxGraphicsContext& gc, const wxString& text,
                            Picture& picture)
{
    // The picture is made once: measured exactly, whatever its digits, in the context's
    // font kept for it (the DC would make a font anew for the measure, and again after).
    gc.SetFont(GraphicsFont(gc));
    wxDouble exactWidth = 0.0, exactHeight = 0.0;
    gc.GetTextExtent(text, &exactWidth, &exactHeight);
    const int width = wxRound(exactWidth);
    const int height = wxRound(exactHeight);
    if (width <= 0 || height <= 0 || width > 4096 || height > 1024)
        return false;
    // The text on a transparent picture, in the DC's font and colour.
    wxImage image(width, height, true);
    image.InitAlpha();
    std::fill_n(image.GetAlpha(), static_cast<size_t>(width) * static_cast<size_t>(height), 0);
    wxBitmap bitmap(image, 32);
    {
        wxMemoryDC memory(bitmap);
        std::unique_ptr<wxGraphicsContext> context(wxGraphicsContext::CreateFromUnknownDC(memory));
        if (!context)
            return false;
        context->SetAntialiasMode(wxANTIALIAS_DEFAULT);
        context->SetFont(m_font, m_colour);
        context->DrawText(text, 0, 0);
    }
    picture.bitmap = gc.CreateBitmap(bitmap);
    picture.width = width;
    picture.height = height;
    if (picture.bitmap.IsNull())
        return false;
    picture.copy = CopyLikeTarget(gc, picture.bitmap, width, height);
    return true;
}

wxString CViewText::Fit(wxDC& dc, const wxString& text, int maxWidth, size_t tail,
                        bool wholeTail, size_t head)
{
    int width = 0, height = 0;
    Extent(dc, text, width, height);
    if (width <= maxWidth)
        return text;
    if (tail != wxString::npos && tail >= text.length())
        tail = wxString::npos;
    // A label "name (unit) ...": the unit goes first, then the name is
    // shortened; what follows the unit (a value) stays whole.
    const size_t open = text.rfind(" (");
    const size_t close = text.rfind(')');
    if (!wholeTail && open != wxString::npos && open > 0 && head <= open &&
        close != wxString::npos && close > open) {
        const wxString nameOnly = text.Left(open);
        const wxString rest = text.Mid(close + 1);
        Extent(dc, nameOnly + rest, width, height);
        if (width <= maxWidth)
            return nameOnly + rest;
        int restWidth = 0;
        Extent(dc, rest, restWidth, height);
        const wxString name = Fit(dc, nameOnly, maxWidth - restWidth,
                                  tail < open ? tail : wxString::npos, false, head);
        if (!name.empty())
            return name + rest;
    }
    const wxString ellipsis = wxString::FromUTF8("\xE2\x80\xA6");
    // The most characters kept (0 .. count) for which the text made of them fits,
    // by halving: widths grow with the characters kept. -1 when none fits.
    const auto most = [&](size_t count, const auto& make) {
        Extent(dc, make(0), width, height);
        if (width > maxWidth)
            return -1;
        size_t low = 0, high = count + 1;  // low fits, high does not
        while (high - low > 1) {
            const size_t middle = (low + high) / 2;
            Extent(dc, make(middle), width, height);
            if (width <= maxWidth)
                low = middle;
            else
                high = middle;
        }
        return static_cast<int>(low);
    };
    if (tail != wxString::npos && tail > 0) {
        const wxString end = text.Mid(tail);
        const int kept =
            most(tail - 1, [&](size_t keep) { return text.Left(keep) + ellipsis + end; });
        // A part of the tail could stand for another label: none at all.
        return kept >= 0 ? text.Left(static_cast<size_t>(kept)) + ellipsis + end : wxString();
    }
    if (wholeTail) {
        return wxString();
    }
    if (head > 0) {
        // What tells the label from the others is its start: kept whole,
        // followed by as much of the rest as fits; nothing when it does not
        // fit (an ellipsis alone, or a shorter start, could be any label).
        if (head >= text.length()) return wxString();
        const int kept = most(text.length() - head - 1, [&](size_t keep) {
            return text.Left(head + keep - keep / 2) + ellipsis + text.Right(keep / 2);
        });
        return kept >= 0 ? text.Left(head + static_cast<size_t>(kept - kept / 2)) + ellipsis +
                               text.Right(static_cast<size_t>(kept / 2))
                         : wxString();
    }
    // Keeps the end of the text (a channel number, a unit) as well as its
    // start. Longest that fits.
    const int kept = most(text.length() - 1, [&](size_t keep) {
        return text.Left(keep - keep / 2) + ellipsis + text.Right(keep / 2);
    });
    if (kept > 0)
        return text.Left(static_cast<size_t>(kept - kept / 2)) + ellipsis +
               text.Right(static_cast<size_t>(kept / 2));
    Extent(dc, ellipsis, width, height);
    return width <= maxWidth ? ellipsis : wxString();
}

int CViewText::ShortestWidth(wxDC& dc, const wxString& text, size_t tail, size_t head)
{
    int width = 0, height = 0;
    if (head > 0 && (tail == wxString::npos || tail >= text.length())) {
        const wxString shortest =
            head >= text.length() ? text : text.Left(head) + wxString::FromUTF8("\xE2\x80\xA6");
        Extent(dc, shortest, width, height);
        return width;
    }
    if (tail == wxString::npos || tail >= text.length()) {
        Extent(dc, text, width, height);
        return width;
    }
    wxString shortest = wxString::FromUTF8("\xE2\x80\xA6");
    const size_t open = text.rfind(" (");
    const size_t close = text.rfind(')');
    if (open != wxString::npos && open > tail && close != wxString::npos && close > open)
        shortest += text.Mid(tail, open - tail) + text.Mid(close + 1);
    else
        shortest += text.Mid(tail);
    Extent(dc, shortest, width, height);
    return width;
}

void CViewText::Draw(wxDC& dc, const wxString& text, int x, int y)
{
    if (m_recorder) {
        int width = 0, height = 0;
        Extent(dc, text, width, height);
        wxRect box(x, y, width, height);
        wxRect clip;
        if (dc.GetClippingBox(clip))
            box.Intersect(clip);
        if (!box.IsEmpty())
            m_recorder->push_back(Drawn{box, text});
    }
    wxGraphicsContext* gc = dc.GetGraphicsContext();
    if (!gc) {
        dc.SetFont(m_font);
        dc.SetTextForeground(m_colour);
        dc.DrawText(text, x, y);
        return;
    }
    Key key = MakeKey(text, m_colour.GetRGBA());
    auto found = m_pictures.find(key);
    if (found == m_pictures.end()) {
        if (m_pictures.size() >= kMaxPictures)
            m_pictures.clear();
        found = m_pictures.emplace(std::move(key), Picture()).first;
    }
    Picture& picture = found->second;
    // A text seen once (a changing value) is laid out and drawn; the
    // view's text background is fully transparent, so the text alone is the
    // same picture.
    if (picture.bitmap.IsNull() && ++picture.uses < 2) {
        gc->SetFont(GraphicsFont(*gc));
        gc->DrawText(text, x, y);
        return;
    }
    if (picture.bitmap.IsNull() && !MakePicture(*gc, text, picture)) {
        gc->SetFont(GraphicsFont(*gc));
        gc->DrawText(text, x, y);
        return;
    }
    DrawPicture(*gc, picture.bitmap, picture.copy, x, y, picture.width, picture.height);
}

void CViewText::Begin(wxDC& dc, const wxFont& font)
{
    m_colour = dc.GetTextForeground();
    m_font = font;
    wxGraphicsContext* gc = dc.GetGraphicsContext();
    if (!gc)
        return;
    // The window may have moved to a display of another resolution: seen within a
    // second's paints. Not at every paint: the display server is asked each time.
    if (m_paintsToDpiCheck-- > 0)
        return;
    m_paintsToDpiCheck = kPaintsPerDpiCheck;
    wxRealPoint dpi;
    gc->GetDPI(&dpi.x, &dpi.y);
    if (dpi != m_dpi)
        m_fonts.clear();
    m_dpi = dpi;
}

const wxGraphicsFont& CViewText::GraphicsFont(wxGraphicsContext& gc)
{
    const wxFont& font = m_font;
    const std::uint32_t colour = m_colour.GetRGBA();
    for (const Font& known : m_fonts) {
        if (known.colour == colour && known.font == font)
            return known.made;
    }
    if (m_fonts.size() >= kMaxFonts)
        m_fonts.clear();
    // What the DC itself makes when its text colour is set (no scale on the view's DC).
    m_fonts.push_back(Font{font, colour, gc.CreateFont(font, m_colour)});
    return m_fonts.back().made;
}

void CDotPictures::Draw(wxGraphicsContext& gc, const wxColour& colour, int x, int y)
{
    // The outline reaches half its width beyond the ellipse box.
    constexpr int margin = kPen / 2;
    constexpr int side = kDiameter + 2 * margin;
    const std::uint32_t key = colour.GetRGBA();
    for (const Picture& known : m_pictures) {
        if (known.colour == key) {
            DrawPicture(gc, known.bitmap, known.copy, x - margin, y - margin, side, side);
            return;
        }
    }
    wxImage image(side, side, true);
    image.InitAlpha();
    std::fill_n(image.GetAlpha(), static_cast<size_t>(side) * side, 0);
    wxBitmap bitmap(image, 32);
    {
        wxMemoryDC memory(bitmap);
        std::unique_ptr<wxGraphicsContext> context(wxGraphicsContext::CreateFromUnknownDC(memory));
        if (!context) {
            gc.SetPen(wxPen(colour, kPen));
            gc.SetBrush(wxBrush(colour));
            gc.DrawEllipse(x, y, kDiameter, kDiameter);
            return;
        }
        context->SetAntialiasMode(wxANTIALIAS_DEFAULT);
        context->SetPen(wxPen(colour, kPen));
        context->SetBrush(wxBrush(colour));
        context->DrawEllipse(margin, margin, kDiameter, kDiameter);
    }
    if (m_pictures.size() >= kMaxPictures)
        m_pictures.clear();
    Picture picture{key, gc.CreateBitmap(bitmap), nullptr};
    picture.copy = CopyLikeTarget(gc, picture.bitmap, side, side);
    m_pictures.push_back(std::move(picture));
    const Picture& made = m_pictures.back();
    DrawPicture(gc, made.bitmap, made.copy, x - margin, y - margin, side, side);
}
