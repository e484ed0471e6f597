#include <gtest/gtest.h>
#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/filename.h>
#include <wx/image.h>

#include "support/loadedLibraries.h"

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

// The GUI tests outside the main frame's and the cameras' start without OpenCV's
// video stack: a test that opens the frame or a camera goes into the top level or
// video/, which have a program of their own.
TEST(GuiHarnessTest, ProgramLoadsNoCameraLibrary)
{
    EXPECT_FALSE(LoadedLibraries().empty());
    EXPECT_EQ(LoadedCameraLibraries(), std::vector<std::string>());
}
