#include <gtest/gtest.h>
#include <wx/frame.h>

#include "analog/analogView.h"
#include "frameViewChange.h"
#include "frameViewTestDevice.h"

namespace {

class ViewChangeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_frame =
            new wxFrame(nullptr, wxID_ANY, "view change", wxDefaultPosition, wxSize(600, 400));
        m_view = new CAnalogView(m_frame, wxPoint(0, 0), wxSize(600, 400));
        m_device.SetRateHz(100.0);
        m_view->SetDevice(&m_device);
    }
    void TearDown() override
    {
        delete m_frame;  // the view unlinks itself from the device
    }

    CAnalogViewChange Change(const wxString& name, double number, bool recording = false)
    {
        CViewGridValue value;
        value.isNumber = true;
        value.number = number;
        value.flag = number != 0.0;
        return ApplyAnalogViewChange(*m_view, m_device, name, value, recording, false);
    }

    CFrameTestDevice m_device;
    wxFrame* m_frame = nullptr;
    CAnalogView* m_view = nullptr;
};

}  // namespace

TEST_F(ViewChangeTest, SpectrumSettingsFollowTheDeviceRate)
{
    EXPECT_TRUE(Change("DSP_time", 1.0).matched);
    EXPECT_EQ(m_view->dsp_size, 100u);
    Change("DSP_time", 0.015);
    EXPECT_EQ(m_view->dsp_size, 2u);
    Change("DSP_time", 0.0);  // refused
    EXPECT_EQ(m_view->dsp_size, 2u);
    Change("dsp_rate", 80.0);
    EXPECT_EQ(m_view->dsp_max_rate, 50.0);
    Change("dsp_rate", 0.0);
    EXPECT_EQ(m_view->dsp_max_rate, 50.0);
    Change("dsp_rate", 20.0);
    EXPECT_EQ(m_view->dsp_max_rate, 20.0);
    Change("dsp_window", 3.0);  // no such window
    EXPECT_EQ(m_view->dps_window, 2);
    Change("dsp_window", 0.0);
    EXPECT_EQ(m_view->dps_window, 0);
}

TEST_F(ViewChangeTest, ViewsAreResetOnlyWhileTheDeviceDoesNotRecord)
{
    const int before = m_device.Resets();
    Change("Display_time", 2.5);
    EXPECT_EQ(m_view->draw_time, 2.5);
    const int reset = m_device.Resets();
    EXPECT_GT(reset, before);
    Change("Display_time", 3.0, true);
    EXPECT_EQ(m_view->draw_time, 3.0);
    EXPECT_EQ(m_device.Resets(), reset);
    Change("Display_time", -1.0);
    EXPECT_EQ(m_view->draw_time, 3.0);
    Change("grad_x", 0.0);
    EXPECT_EQ(m_view->grad_x, 10);
    Change("grad_x", 4.0);
    EXPECT_EQ(m_view->grad_x, 4);
    EXPECT_EQ(m_device.Resets(), reset);
}

TEST_F(ViewChangeTest, GraphModeAndComponentAskForAGridRebuild)
{
    EXPECT_TRUE(Change("Graph_mode", 5.0).rebuildGrid);
    EXPECT_EQ(m_view->draw_type, 5);
    EXPECT_TRUE(Change("Graph_mode", 42.0).rebuildGrid);
    EXPECT_EQ(m_view->draw_type, 5);

    CFrameTestDevice tracker(true);
    m_view->SetDevice(&tracker);
    ASSERT_EQ(m_view->m_dim, 7);
    CViewGridValue value;
    value.isNumber = true;
    value.number = 7.0;
    CAnalogViewChange change =
        ApplyAnalogViewChange(*m_view, tracker, "Value_Cmp", value, false, false);
    EXPECT_TRUE(change.rebuildGrid);
    EXPECT_EQ(m_view->m_component, 0);
    value.number = 3.0;
    change = ApplyAnalogViewChange(*m_view, tracker, "Value_Cmp", value, false, false);
    EXPECT_FALSE(change.rebuildGrid);
    EXPECT_EQ(m_view->m_component, 3);
    m_view->SetDevice(&m_device);
}

TEST_F(ViewChangeTest, ColoursReachTheView)
{
    CViewGridValue value;
    value.colour = CColour(10, 20, 30);
    EXPECT_TRUE(
        ApplyAnalogViewChange(*m_view, m_device, "Grid_Color", value, false, false).matched);
    EXPECT_EQ(m_view->grid_color, CColour(10, 20, 30));
    ApplyAnalogViewChange(*m_view, m_device, "surface_color", value, false, false);
    EXPECT_EQ(m_view->ellipse_color, CColour(10, 20, 30, 128));
    EXPECT_FALSE(ApplyAnalogViewChange(*m_view, m_device, "nothing", value, false, false).matched);
}
