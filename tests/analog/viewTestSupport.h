#pragma once

#include "analog/analogView.h"

#include <gtest/gtest.h>
#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/filename.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/imagpng.h>
#include <wx/panel.h>

#include <string>

// A hidden frame to put views in, and the rendering of a view into a bitmap.
class ViewGuiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_frame = new wxFrame(nullptr, wxID_ANY, "view test", wxDefaultPosition, wxSize(1400, 900));
        m_panel = new wxPanel(m_frame, wxID_ANY, wxPoint(0, 0), wxSize(1400, 900));
    }
    void TearDown() override { delete m_frame; }

    CAnalogView* MakeView(int w, int h)
    {
        return new CAnalogView(m_panel, wxPoint(0, 0), wxSize(w, h));
    }

    static wxImage Render(CAnalogView& view)
    {
        const wxSize size = view.GetClientSize();
        wxBitmap bitmap(size.GetWidth(), size.GetHeight(), 24);
        {
            wxMemoryDC dc(bitmap);
            dc.SetBackground(wxBrush(wxColour(1, 2, 3)));
            dc.Clear();
            view.Draw(dc);
        }
        return bitmap.ConvertToImage();
    }

    static void Save(const wxImage& image, const std::string& name)
    {
        wxFileName::Mkdir(QV_TEST_OUTPUT_DIR, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
        // The fastest compression, unfiltered (libpng's PNG_FILTER_NONE): looked at, not kept.
        wxImage fast = image;
        fast.SetOption(wxIMAGE_OPTION_PNG_COMPRESSION_LEVEL, 1);
        fast.SetOption(wxIMAGE_OPTION_PNG_FILTER, 0x08);
        EXPECT_TRUE(fast.SaveFile(QV_TEST_OUTPUT_DIR "/" + name, wxBITMAP_TYPE_PNG));
    }

    static bool PixelIs(const wxImage& image, int x, int y, int r, int g, int b, int tolerance = 8)
    {
        return std::abs(image.GetRed(x, y) - r) <= tolerance &&
               std::abs(image.GetGreen(x, y) - g) <= tolerance &&
               std::abs(image.GetBlue(x, y) - b) <= tolerance;
    }

    wxFrame* m_frame = nullptr;
    wxPanel* m_panel = nullptr;
};
