#include "analog/analogViewDraw.h"

#include <gtest/gtest.h>
#include <wx/bitmap.h>
#include <wx/dcgraph.h>
#include <wx/dcmemory.h>
#include <wx/graphics.h>
#include <wx/image.h>

#include <algorithm>
#include <cstdlib>

namespace {

// Draws text at (x, y) on a dark picture through texts, as the view does.
wxImage DrawThrough(CViewText& texts, const wxString& text, const wxColour& colour, int x, int y)
{
    wxBitmap bitmap(160, 40, 24);
    {
        wxMemoryDC memory(bitmap);
        memory.SetBackground(wxBrush(wxColour(10, 20, 30)));
        memory.Clear();
        wxGraphicsContext* context = wxGraphicsContext::CreateFromUnknownDC(memory);
        EXPECT_NE(context, nullptr);
        if (!context)
            return wxImage();
        wxGCDC dc(context);
        dc.SetFont(*wxNORMAL_FONT);
        dc.SetTextForeground(colour);
        texts.Begin(dc);
        texts.Draw(dc, text, x, y);
    }
    return bitmap.ConvertToImage();
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
    int inked = 0, worst = 0;
    for (int y = 0; y < first.GetHeight(); ++y) {
        for (int x = 0; x < first.GetWidth(); ++x) {
            worst = std::max({worst, std::abs(first.GetRed(x, y) - second.GetRed(x, y)),
                              std::abs(first.GetGreen(x, y) - second.GetGreen(x, y)),
                              std::abs(first.GetBlue(x, y) - second.GetBlue(x, y))});
            inked += first.GetRed(x, y) > 128;
        }
    }
    EXPECT_GT(inked, 10);    // the text is there
    EXPECT_LE(worst, 8);     // and the picture is the same text
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
        dc.SetFont(*wxNORMAL_FONT);
        dc.SetTextForeground(wxColour(0, 255, 0));  // the DC's colour is not the texts'
        texts.Begin(dc);
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
