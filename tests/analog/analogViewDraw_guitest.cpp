#include "analog/analogViewDraw.h"

#include <gtest/gtest.h>
#include <wx/bitmap.h>
#include <wx/dcgraph.h>
#include <wx/dcmemory.h>
#include <wx/graphics.h>
#include <wx/image.h>
#include <wx/utils.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#ifdef QV_HAVE_CAIRO_XLIB
#include <X11/Xlib.h>
#include <cairo-xlib.h>
#endif

namespace {

// Runs draw on a wxGCDC over a dark picture, as the view's paint does.
template <typename Draw>
wxImage Paint(int width, int height, Draw draw)
{
    wxBitmap bitmap(width, height, 24);
    {
        wxMemoryDC memory(bitmap);
        memory.SetBackground(wxBrush(wxColour(10, 20, 30)));
        memory.Clear();
        wxGraphicsContext* context = wxGraphicsContext::CreateFromUnknownDC(memory);
        EXPECT_NE(context, nullptr);
        if (!context)
            return wxImage();
        context->SetAntialiasMode(wxANTIALIAS_DEFAULT);
        wxGCDC dc(context);
        draw(dc);
    }
    return bitmap.ConvertToImage();
}

int WorstDifference(const wxImage& a, const wxImage& b)
{
    int worst = 0;
    for (int y = 0; y < a.GetHeight(); ++y)
        for (int x = 0; x < a.GetWidth(); ++x)
            worst = std::max({worst, std::abs(a.GetRed(x, y) - b.GetRed(x, y)),
                              std::abs(a.GetGreen(x, y) - b.GetGreen(x, y)),
                              std::abs(a.GetBlue(x, y) - b.GetBlue(x, y))});
    return worst;
}

// Draws text at (x, y) on a dark picture through texts, as the view does.
wxImage DrawThrough(CViewText& texts, const wxString& text, const wxColour& colour, int x, int y)
{
    return Paint(160, 40, [&](wxDC& dc) {
        dc.SetTextForeground(colour);
        texts.Begin(dc, *wxNORMAL_FONT);
        texts.Draw(dc, text, x, y);
    });
}

}  // namespace

// A text drawn again comes from its kept picture: it must look as the text
// laid out afresh, at the same place and in its own colour.
TEST(ViewTextTest, KeptPictureLooksAsTheTextDrawnAfresh)
{
    const wxString text = "-12.5 Hz";
    CViewText fresh;
    const wxImage first = DrawThrough(fresh, text, wxColour(255, 200, 0), 7, 5);
    CViewText kept;
    DrawThrough(kept, text, wxColour(255, 200, 0), 60, 20);  // first use: laid out
    const wxImage second = DrawThrough(kept, text, wxColour(255, 200, 0), 7, 5);  // the picture
    ASSERT_TRUE(first.IsOk() && second.IsOk());
    int inked = 0;
    for (int y = 0; y < first.GetHeight(); ++y)
        for (int x = 0; x < first.GetWidth(); ++x)
            inked += first.GetRed(x, y) > 128;
    EXPECT_GT(inked, 10);                          // the text is there
    EXPECT_LE(WorstDifference(first, second), 8);  // and the picture is the same text
    // Another colour is another picture, not the yellow one.
    const wxImage cyan = DrawThrough(kept, text, wxColour(0, 255, 255), 7, 5);
    const wxImage cyanAgain = DrawThrough(kept, text, wxColour(0, 255, 255), 7, 5);
    int red = 0;
    for (int y = 0; y < cyanAgain.GetHeight(); ++y)
        for (int x = 0; x < cyanAgain.GetWidth(); ++x)
            red = std::max(red, static_cast<int>(cyanAgain.GetRed(x, y)));
    EXPECT_LE(red, 20);
    EXPECT_TRUE(cyan.IsOk());
}

// Texts take the colour set on the text cache, not the DC's, whether laid out
// afresh or copied from a kept picture; each colour has its own font.
TEST(ViewTextTest, TextsTakeTheColourSetOnTheCache)
{
    CViewText texts;
    wxBitmap bitmap(240, 40, 24);
    {
        wxMemoryDC memory(bitmap);
        memory.SetBackground(wxBrush(wxColour(0, 0, 0)));
        memory.Clear();
        wxGraphicsContext* context = wxGraphicsContext::CreateFromUnknownDC(memory);
        ASSERT_NE(context, nullptr);
        wxGCDC dc(context);
        dc.SetTextForeground(wxColour(0, 255, 0));  // the DC's colour is not the texts'
        texts.Begin(dc, *wxNORMAL_FONT);
        texts.SetColour(wxColour(255, 0, 0));
        texts.Draw(dc, "8888", 2, 5);  // laid out
        texts.SetColour(wxColour(0, 0, 255));
        texts.Draw(dc, "8888", 80, 5);  // laid out, same text in another colour
        texts.Draw(dc, "8888", 160, 5);  // its kept picture
    }
    const wxImage image = bitmap.ConvertToImage();
    const auto strongest = [&image](int left, int right, int channel) {
        int most = 0;
        for (int y = 0; y < image.GetHeight(); ++y)
            for (int x = left; x < right; ++x) {
                const int v = channel == 0 ? image.GetRed(x, y)
                                           : channel == 1 ? image.GetGreen(x, y) : image.GetBlue(x, y);
                most = std::max(most, v);
            }
        return most;
    };
    EXPECT_GT(strongest(0, 78, 0), 128);
    EXPECT_LE(strongest(0, 78, 2), 20);
    for (const int left : {78, 158}) {
        EXPECT_GT(strongest(left, left + 78, 2), 128);
        EXPECT_LE(strongest(left, left + 78, 0), 20);
    }
    EXPECT_LE(strongest(0, 240, 1), 20);  // nothing in the DC's green
}


// Texts are measured and drawn in the font set on the cache, whatever the DC's font.
TEST(ViewTextTest, TextsTakeTheFontSetOnTheCache)
{
    CViewText texts;
    const wxFont large(24, wxFONTFAMILY_DEFAULT, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_NORMAL);
    int normalWidth = 0, largeWidth = 0, height = 0;
    int inkedRows[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        const wxImage image = Paint(300, 60, [&](wxDC& dc) {
            dc.SetFont(*wxSMALL_FONT);  // not the texts' font
            texts.Begin(dc, *wxNORMAL_FONT);
            texts.Extent(dc, "Channel 12", normalWidth, height);
            texts.SetFont(large);
            EXPECT_EQ(texts.GetFont(), large);
            texts.Extent(dc, "Channel 12", largeWidth, height);
            texts.SetColour(*wxWHITE);
            texts.Draw(dc, "Channel 12", 2, 2);  // laid out, then from its picture
        });
        for (int y = 0; y < image.GetHeight(); ++y)
            for (int x = 0; x < image.GetWidth(); ++x)
                if (image.GetRed(x, y) > 128) {
                    ++inkedRows[i];
                    break;
                }
    }
    EXPECT_GT(largeWidth, normalWidth * 3 / 2);
    EXPECT_GT(inkedRows[0], 14);  // taller than the small or the normal font draws
    EXPECT_EQ(inkedRows[0], inkedRows[1]);
}

// The newest value's mark, copied from its kept picture, looks as the ellipse the DC
// draws afresh with a 2-pixel pen and a brush of the same colour.
TEST(ViewTextTest, KeptMarkLooksAsTheEllipseDrawnAfresh)
{
    const wxColour colour(255, 160, 40);
    const wxImage fresh = Paint(40, 40, [&](wxDC& dc) {
        dc.SetPen(wxPen(colour, 2));
        dc.SetBrush(wxBrush(colour));
        dc.DrawEllipse(13, 11, 10, 10);
    });
    CDotPictures dots;
    const wxImage first = Paint(40, 40, [&](wxDC& dc) { dots.Draw(*dc.GetGraphicsContext(), colour, 13, 11); });
    const wxImage kept = Paint(40, 40, [&](wxDC& dc) { dots.Draw(*dc.GetGraphicsContext(), colour, 13, 11); });
    ASSERT_TRUE(fresh.IsOk() && first.IsOk() && kept.IsOk());
    int inked = 0;
    for (int y = 0; y < fresh.GetHeight(); ++y)
        for (int x = 0; x < fresh.GetWidth(); ++x)
            inked += fresh.GetRed(x, y) > 128;
    EXPECT_GT(inked, 60);  // a disc of about 100 pixels
    EXPECT_LE(WorstDifference(fresh, first), 4);
    EXPECT_LE(WorstDifference(fresh, kept), 4);
    // Another colour is another mark.
    const wxImage blue = Paint(40, 40, [&](wxDC& dc) { dots.Draw(*dc.GetGraphicsContext(), *wxBLUE, 13, 11); });
    EXPECT_LE(blue.GetRed(18, 16), 20);
    EXPECT_GT(blue.GetBlue(18, 16), 200);
}

#ifdef QV_HAVE_CAIRO_XLIB
// On screen the view paints to surfaces of the display server, where kept pictures are
// copied once and drawn from there: they must look as texts and marks drawn afresh.
TEST(ViewTextTest, PicturesKeptOnTheDisplayServerLookAsDrawnAfresh)
{
    // The toolkit's own connection, as the view's paints use it.
    const wxDisplayInfo info = wxGetDisplayInfo();
    ASSERT_EQ(info.type, wxDisplayX11);
    auto* display = static_cast<Display*>(info.dpy);
    ASSERT_NE(display, nullptr);
    const int screen = DefaultScreen(display);
    constexpr int width = 300, height = 60;
    const Pixmap pixmap = XCreatePixmap(display, RootWindow(display, screen), width, height,
                                        static_cast<unsigned>(DefaultDepth(display, screen)));
    cairo_surface_t* target = cairo_xlib_surface_create(display, pixmap, DefaultVisual(display, screen),
                                                        width, height);
    ASSERT_EQ(cairo_surface_status(target), CAIRO_STATUS_SUCCESS);
    // What the view's pictures are made from: the text and the mark drawn afresh on a
    // picture of the toolkit.
    const wxColour yellow(255, 200, 0), green(0, 255, 128);
    const wxImage expected = Paint(100, height, [&](wxDC& dc) {
        CViewText fresh;
        fresh.Begin(dc, *wxNORMAL_FONT);
        fresh.SetColour(yellow);
        fresh.Draw(dc, "-12.5 Hz", 5, 5);
        dc.SetPen(wxPen(green, 2));
        dc.SetBrush(wxBrush(green));
        dc.DrawEllipse(20, 35, 10, 10);
    });
    ASSERT_TRUE(expected.IsOk());
    cairo_t* cr = cairo_create(target);
    cairo_set_source_rgb(cr, 10 / 255.0, 20 / 255.0, 30 / 255.0);
    cairo_paint(cr);
    {
        wxGraphicsContext* context =
            wxGraphicsRenderer::GetCairoRenderer()->CreateContextFromNativeContext(cr);
        ASSERT_NE(context, nullptr);
        context->SetAntialiasMode(wxANTIALIAS_DEFAULT);
        wxGCDC dc(context);
        // Middle: laid out once; right third: the picture, copied from the server.
        CViewText texts;
        texts.Begin(dc, *wxNORMAL_FONT);
        texts.SetColour(yellow);
        texts.Draw(dc, "-12.5 Hz", 105, 5);
        texts.Draw(dc, "-12.5 Hz", 205, 5);
        CDotPictures dots;
        dots.Draw(*context, green, 220, 35);
    }
    cairo_destroy(cr);
    // Read back from the server.
    cairo_surface_t* copy = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    cairo_t* reader = cairo_create(copy);
    cairo_set_source_surface(reader, target, 0, 0);
    cairo_paint(reader);
    cairo_destroy(reader);
    cairo_surface_flush(copy);
    cairo_surface_write_to_png(copy, QV_TEST_OUTPUT_DIR "/viewPicturesOnServer.png");
    const unsigned char* data = cairo_image_surface_get_data(copy);
    const int stride = cairo_image_surface_get_stride(copy);
    const auto pixel = [&](int x, int y) {
        return *reinterpret_cast<const std::uint32_t*>(data + y * stride + x * 4) & 0xffffff;
    };
    int inked = 0, worst = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < 100; ++x) {
            const std::uint32_t right = pixel(x + 200, y);
            worst = std::max({worst, std::abs(static_cast<int>((right >> 16) & 0xff) - expected.GetRed(x, y)),
                              std::abs(static_cast<int>((right >> 8) & 0xff) - expected.GetGreen(x, y)),
                              std::abs(static_cast<int>(right & 0xff) - expected.GetBlue(x, y))});
            inked += expected.GetGreen(x, y) > 128;
        }
    }
    cairo_surface_destroy(copy);
    cairo_surface_destroy(target);
    XFreePixmap(display, pixmap);
    EXPECT_GT(inked, 60);  // the text and the mark
    EXPECT_LE(worst, 8);
}
#endif
