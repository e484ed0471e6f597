#include <gtest/gtest.h>
#include <wx/frame.h>
#include <wx/propgrid/advprops.h>
#include <wx/propgrid/propgrid.h>

#include "analog/analogViewFormat.h"
#include "analog/analogViewSettings.h"
#include "analog/testDevice.h"
#include "frameViewGridFill.h"

namespace {

class ViewGridFillTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_frame = new wxFrame(nullptr, wxID_ANY, "grid test", wxDefaultPosition, wxSize(400, 800));
        m_grid = new wxPropertyGrid(m_frame, 1002, wxDefaultPosition, wxSize(400, 800));
    }
    void TearDown() override { delete m_frame; }

    wxFrame* m_frame = nullptr;
    wxPropertyGrid* m_grid = nullptr;
};

}  // namespace

TEST_F(ViewGridFillTest, TwoDPageAndDeviceFillTheGrid)
{
    CTestDevice device(false, false);
    CAnalogViewSettings settings;
    wxArrayString types;
    ViewDrawTypeNames(types);
    CViewGridTable table;
    AppendDisplaySection(table, 40, true);
    AppendAnalogViewSections(table, settings, 0, 1, 1, 25.0, true, types);
    AppendDeviceSections(table, device, true);
    FillViewGrid(*m_grid, table);

    wxPGProperty* rate = m_grid->GetPropertyByName("display_rate");
    ASSERT_NE(rate, nullptr);
    EXPECT_DOUBLE_EQ(rate->GetValue().GetDouble(), 25.0);
    EXPECT_FALSE(m_grid->IsPropertyEnabled("grad_x") == false);
    EXPECT_TRUE(m_grid->GetPropertyByName("Display_time")->HasFlag(wxPG_PROP_READONLY));
    EXPECT_FALSE(m_grid->GetPropertyByName("grad_x")->HasFlag(wxPG_PROP_READONLY));
    EXPECT_TRUE(m_grid->GetPropertyByName("test_deviceAmplitude")->HasFlag(wxPG_PROP_READONLY));
    EXPECT_EQ(m_grid->GetPropertyByName("grad_x")->GetParent()->GetName(), "Analog_view");
    EXPECT_EQ(m_grid->GetPropertyByName("dsp_rate")->GetParent()->GetName(), "DSP_prop");
    EXPECT_EQ(m_grid->GetPropertyByName("color_channel 0")->GetParent()->GetName(),
              "channel_colors");
    EXPECT_FALSE(m_grid->GetPropertyByName("DSP_prop")->IsExpanded());
    EXPECT_EQ(m_grid->GetPropertyByName("Graph_mode")->GetValueAsString(), types[0]);
    EXPECT_EQ(m_grid->GetPropertyByName("test_deviceCP Stat Level")->GetValueAsString(), "99.5 %");
    EXPECT_EQ(m_grid->GetPropertyByName("test_deviceAmplitude")->GetCell(0).GetBgCol(),
              wxColour(255, 255, 155))
        << m_grid->GetPropertyByName("test_deviceAmplitude")
               ->GetCell(0)
               .GetBgCol()
               .GetAsString()
               .ToStdString();
    EXPECT_TRUE(
        m_grid->GetPropertyByName("draw_poly")->GetAttribute(wxPG_BOOL_USE_CHECKBOX).GetBool());
}

TEST_F(ViewGridFillTest, ThreeDSectionsNestTheirSubCategories)
{
    C3DViewGridValues values;
    values.lights.resize(2);
    CViewGridTable table;
    Append3DViewSections(table, values);
    FillViewGrid(*m_grid, table);
    EXPECT_EQ(m_grid->GetPropertyByName("light_position_x 1")->GetParent()->GetName(),
              "Position_2");
    EXPECT_EQ(m_grid->GetPropertyByName("Position_2")->GetParent()->GetName(), "Light_2");
    EXPECT_EQ(m_grid->GetPropertyByName("CAM_VIEWZ")->GetParent()->GetName(), "camera_look");
    EXPECT_EQ(m_grid->GetPropertyByName("plane_Y")->GetParent()->GetName(), "Plane Position");
    EXPECT_EQ(m_grid->GetPropertyByName("Axis Size")->GetParent()->GetName(), "3DPlane");
}

TEST_F(ViewGridFillTest, EditedValuesReadBack)
{
    CViewGridValue number = ReadViewGridValue(wxVariant(2.5));
    EXPECT_TRUE(number.isNumber);
    EXPECT_EQ(number.number, 2.5);
    CViewGridValue integer = ReadViewGridValue(wxVariant(7L));
    EXPECT_TRUE(integer.isNumber);
    EXPECT_EQ(integer.number, 7.0);
    EXPECT_TRUE(ReadViewGridValue(wxVariant(true)).flag);
    EXPECT_EQ(ReadViewGridValue(wxVariant(wxString("abc"))).text, "abc");
    wxVariant colour;
    colour << wxColour(1, 2, 3);
    EXPECT_EQ(ReadViewGridValue(colour).colour, CColour(1, 2, 3));
    EXPECT_FALSE(ReadViewGridValue(wxVariant()).isNumber);
}
