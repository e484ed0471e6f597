#pragma once

#include "analog/colour.h"

#include <wx/colour.h>
#include <wx/font.h>
#include <wx/geometry.h>
#include <wx/gdicmn.h>
#include <wx/graphics.h>

#include <wx/string.h>

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

class CCurveRaster;
class wxBitmap;
class wxDC;
class wxGraphicsContext;

// Small helpers shared by the 2D view's drawers. GUI thread.

// A plot frame as drawn (for tests of the layout): its lines run along the
// rectangle's edges, pen pixels wide.
struct ViewFrame {
    wxRect lines;
    int pen = 1;
};

inline wxColour ToWxColour(const CColour& colour)
{
    if (!colour.valid)
        return wxColour(255, 255, 0);
    return wxColour(colour.red, colour.green, colour.blue, colour.alpha);
}

inline CColour ToCColour(const wxColour& colour)
{
    if (!colour.IsOk())
        return CColour();
    return CColour(colour.Red(), colour.Green(), colour.Blue(), colour.Alpha());
}

// 0x00BBGGRR as the colour map packs it.
inline wxColour PackedToColour(std::uint32_t packed)
{
    return wxColour(static_cast<unsigned char>(packed & 0xff),
                    static_cast<unsigned char>((packed >> 8) & 0xff),
                    static_cast<unsigned char>((packed >> 16) & 0xff));
}

// Reduces a curve whose x grows with the index to at most two points per
// pixel column (its lowest and highest, in index order), which draws the same
// pixels as the full curve. Non-finite points are dropped, so one bad sample
// does not break the curve.
void DecimateCurve(const std::vector<wxPoint2DDouble>& in, std::vector<wxPoint2DDouble>& out);

// Drops non-finite points of a trail and successive points that fall on the
// same pixel (same picture, fewer strokes).
void DecimateTrail(const std::vector<wxPoint2DDouble>& in, std::vector<wxPoint2DDouble>& out);

// Draws the drawn rows of the layer with its top left at (left, top), through
// cache (a bitmap kept between paints).
void DrawRaster(wxGraphicsContext& gc, CCurveRaster& raster, wxBitmap& cache, int left, int top);

// Texts of the view: drawn straight through the DC's graphics context (the DC
// would lay each text out once more for its bounding box), and measured once
// per text and font, the sizes kept between paints. A text drawn again in the
// same font and colour (axis labels, names) is kept as a picture and copied:
// laying out text costs far more than copying its pixels. GUI thread.
class CViewText {
public:
    // Start of a paint on dc: texts take the DC's text colour until SetColour, and
    // font until SetFont.
    void Begin(wxDC& dc, const wxFont& font);
    // Font of the texts drawn and measured from here on. Kept here, not in the DC:
    // a DC's font change makes the context's font anew, which asks the display
    // server for its resolution each time.
    void SetFont(const wxFont& font) { m_font = font; }
    const wxFont& GetFont() const { return m_font; }
    // Colour of the texts drawn from here on, in place of the DC's text
    // colour: setting that one remakes the context's font, which asks the
    // display server for its resolution each time.
    void SetColour(const wxColour& colour) { m_colour = colour; }
    // Size of the text (its digits taken as equally wide).
    void Extent(wxDC& dc, const wxString& text, int& width, int& height);
    void Draw(wxDC& dc, const wxString& text, int x, int y);
    // The text, or its start and end around an ellipsis, at most maxWidth
    // wide in the DC's font (empty when not even the ellipsis fits). A
    // channel label loses its unit " (...)" before its name is shortened.
    // From tail on the text is kept whole (what tells a label apart from its
    // neighbours, DistinctTails) and only its start is shortened; when even
    // the ellipsis and the tail do not fit, nothing is left. With wholeTail
    // (a number and its unit) the unit is not dropped either. The first head
    // characters (what tells the label apart when it lies at the start) are
    // kept whole in the same way.
    wxString Fit(wxDC& dc, const wxString& text, int maxWidth, size_t tail = wxString::npos,
                 bool wholeTail = false, size_t head = 0);

    // Width of the shortest text Fit makes of a label that keeps its tail
    // (the ellipsis, the tail without the unit, what follows the unit); the
    // text's own width without a tail.
    int ShortestWidth(wxDC& dc, const wxString& text, size_t tail, size_t head = 0);

    // A text as drawn: its visible box (inside the clipping) and its words.
    struct Drawn {
        wxRect box;
        wxString text;
    };
    // While set, every text drawn is also listed there (tests of the layout).
    void SetRecorder(std::vector<Drawn>* recorder) { m_recorder = recorder; }

private:
    struct Key {
        wxString text;
        wxString face;
        int pointSize = 0;
        int weight = 0;
        int family = 0;
        int style = 0;
        std::uint32_t colour = 0;  // 0 when measuring (colour does not change the size)
        bool operator==(const Key& other) const
        {
            return text == other.text && face == other.face && pointSize == other.pointSize &&
                   weight == other.weight &&
                   family == other.family && style == other.style && colour == other.colour;
        }
    };
    struct KeyHash {
        size_t operator()(const Key& key) const;
    };
    struct Picture {
        int uses = 0;
        int width = 0;
        int height = 0;
        wxGraphicsBitmap bitmap;  // made on the second use
        std::shared_ptr<void> copy;  // the same, made like the paint's target
    };
    Key MakeKey(const wxString& text, std::uint32_t colour);
    bool MakePicture(wxGraphicsContext& gc, const wxString& text, Picture& picture);
    // The context's font for the DC's font in the current colour, made once per
    // font, colour and resolution.
    const wxGraphicsFont& GraphicsFont(wxGraphicsContext& gc);

    // Values change from paint to paint: the maps are emptied when they grow large.
    static constexpr size_t kMaxEntries = 4096;
    static constexpr size_t kMaxPictures = 1024;
    std::unordered_map<Key, wxSize, KeyHash> m_extents;
    std::unordered_map<Key, Picture, KeyHash> m_pictures;
    // Fonts made for the resolution of m_dpi: at most a few per paint.
    static constexpr size_t kMaxFonts = 256;
    struct Font {
        wxFont font;
        std::uint32_t colour = 0;
        wxGraphicsFont made;
    };
    std::vector<Font> m_fonts;
    wxRealPoint m_dpi;
    static constexpr int kPaintsPerDpiCheck = 25;
    int m_paintsToDpiCheck = 0;  // paints left before the resolution is asked again
    // The attributes of the last font keyed (asking the toolkit costs more than the lookup).
    wxFont m_keyFont;
    Key m_fontKey;
    wxColour m_colour{*wxBLACK};
    wxFont m_font{*wxNORMAL_FONT};
    std::vector<Drawn>* m_recorder = nullptr;
};

// The round marks at the curves' newest values: a disc of 10 pixels across with a
// 2-pixel outline, both in the curve's colour, as a DC draws it with DrawEllipse.
// Kept as one picture per colour and copied: filling a path through the display
// server costs far more than copying its pixels. GUI thread.
class CDotPictures {
public:
    // The mark whose ellipse box has its top left at (x, y).
    void Draw(wxGraphicsContext& gc, const wxColour& colour, int x, int y);

private:
    static constexpr int kDiameter = 10;
    static constexpr int kPen = 2;
    static constexpr size_t kMaxPictures = 64;
    struct Picture {
        std::uint32_t colour = 0;
        wxGraphicsBitmap bitmap;
        std::shared_ptr<void> copy;  // the same, made like the paint's target
    };
    std::vector<Picture> m_pictures;
};
