#include <gtest/gtest.h>
#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/filename.h>
#include <wx/image.h>

TEST(GuiHarnessTest, DrawsIntoABitmapAndSavesIt)
{
    wxBitmap bitmap(64, 32);
    {
        wxMemoryDC dc(bitmap);
        dc.SetBackground(*wxWHITE_BRUSH);
        dc.Clear();
        dc.SetBrush(*wxRED_BRUSH);
        dc.SetPen(*wxRED_PEN);
        dc.DrawRectangle(0, 0, 32, 32);
    }
    const wxImage image = bitmap.ConvertToImage();
    EXPECT_EQ(image.GetRed(10, 10), 255);
    EXPECT_EQ(image.GetGreen(10, 10), 0);
    EXPECT_EQ(image.GetGreen(50, 10), 255);
    wxFileName::Mkdir(QV_TEST_OUTPUT_DIR, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
    EXPECT_TRUE(image.SaveFile(QV_TEST_OUTPUT_DIR "/harness.png", wxBITMAP_TYPE_PNG));
}
