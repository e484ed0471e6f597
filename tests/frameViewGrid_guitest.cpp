#include <gtest/gtest.h>
#include <wx/aui/auibook.h>
#include <wx/propgrid/propgrid.h>

#include <thread>

#include "DravonetMain.h"
#include "analog/analogView.h"
#include "frameKeySupport.h"
#include "frameTestSupport.h"
#include "frameViewTestDevice.h"
#include "support/logCapture.h"

#include <wx/textctrl.h>
#include <wx/uiaction.h>

namespace {

class FrameViewGridTest : public FrameTest {
protected:
    CAnalogView* AddDevicePage(CFrameTestDevice& device)
    {
        TrackerFrame* frame = MakeFrame();
        auto* view = new CAnalogView(frame, wxDefaultPosition, wxSize(400, 300));
        view->SetDevice(&device);
        frame->m_mainBook->AddPage(view, device.GetDeviceName(), true);
        frame->UpdateViewGrid();
        return view;
    }

    wxPGProperty* Property(const wxString& name)
    {
        return m_frame->m_viewGrid->GetPropertyByName(name);
    }

    // Edits a property as the user does: the grid sends its change event.
    void Edit(const wxString& name, const wxVariant& value)
    {
        ASSERT_NE(Property(name), nullptr) << name;
        m_frame->m_viewGrid->ChangePropertyValue(name, value);
    }

    CFrameTestDevice m_device;
    CFrameTestDevice m_other;
};

}  // namespace

TEST_F(FrameViewGridTest, GridShowsTheSelectedViewAndItsDevice)
{
    CAnalogView* view = AddDevicePage(m_device);
    ASSERT_NE(Property("Analog_view"), nullptr);
    EXPECT_EQ(Property("grad_x")->GetValue().GetLong(), view->grad_x);
    EXPECT_EQ(Property("test_deviceDevice Name")->GetValueAsString(), "test_device");
    EXPECT_NE(Property("color_channel 7"), nullptr);
    EXPECT_EQ(Property("display_rate"), nullptr);  // advanced mode only
    m_frame->m_expertMode = true;
    m_frame->UpdateViewGrid();
    EXPECT_DOUBLE_EQ(Property("display_rate")->GetValue().GetDouble(), 25.0);

    // While recording, the device's parameters are read-only.
    m_device.SetRecording(true);
    m_frame->UpdateViewGrid();
    EXPECT_TRUE(Property("test_deviceAmplitude")->HasFlag(wxPG_PROP_READONLY));
    EXPECT_FALSE(Property("grad_x")->HasFlag(wxPG_PROP_READONLY));
}

TEST_F(FrameViewGridTest, EditsReachTheViewAndTheDevice)
{
    CAnalogView* view = AddDevicePage(m_device);
    Edit("grad_x", wxVariant(4L));
    EXPECT_EQ(view->grad_x, 4);
    Edit("Graph_mode", wxVariant(5L));
    EXPECT_EQ(view->draw_type, 5);
    EXPECT_TRUE(m_frame->m_rebuildViewGrid);
    RunEvents();
    EXPECT_FALSE(m_frame->m_rebuildViewGrid);

    ASSERT_TRUE(m_device.IsRunning());
    Edit("test_deviceCP Stat time", wxVariant(12.0));
    EXPECT_EQ(m_device.GetCPStatTime(), 12.0);
    EXPECT_TRUE(m_device.IsRunning());  // stopped for the change, started again
    RunEvents();
    EXPECT_DOUBLE_EQ(Property("test_deviceCP Stat time")->GetValue().GetDouble(), 12.0);

    wxVariant colour;
    colour << wxColour(1, 2, 3);
    Edit("color_channel 2", colour);
    EXPECT_EQ(m_device.GetChannelColour(2), CColour(1, 2, 3));

    m_device.SetRecording(true);
    m_frame->UpdateViewGrid();
    m_frame->m_viewGrid->SetPropertyReadOnly("test_deviceCP Stat time", false);
    CLogCapture log;
    m_frame->m_rebuildViewGrid = false;
    Edit("test_deviceCP Stat time", wxVariant(20.0));
    EXPECT_EQ(m_device.GetCPStatTime(), 12.0);  // a recording device ignores the grid
    ASSERT_EQ(log.Warnings(), 1);  // and says why
    EXPECT_NE(log.Messages().back().find("You need to stop recording before changing the device"),
              std::string::npos);
    EXPECT_TRUE(m_frame->m_rebuildViewGrid);  // the kept value shows again
}

TEST_F(FrameViewGridTest, RenamingToTheNameOfAnotherOpenDeviceIsRefusedAtOnce)
{
    m_other.SetName("other");
    AddDevicePage(m_device);
    AddDevicePage(m_other);  // selected
    {
        CLogCapture log;
        Edit("otherDevice Name", wxVariant("test_device"));
        EXPECT_EQ(m_other.GetDeviceName(), "other");
        ASSERT_FALSE(log.Messages().empty());
        EXPECT_NE(log.Messages().back().find(
                      "Device name already exists : test_device. You must change device name"),
                  std::string::npos);
        EXPECT_TRUE(m_frame->m_rebuildViewGrid);
    }
    RunEvents();
    EXPECT_EQ(Property("otherDevice Name")->GetValueAsString(), "other");
    Edit("otherDevice Name", wxVariant("third"));
    EXPECT_EQ(m_other.GetDeviceName(), "third");
}

TEST_F(FrameViewGridTest, SpaceTypedIntoAGridCellStaysThereAndTheDeviceRuns)
{
    CAnalogView* view = AddDevicePage(m_device);
    ASSERT_TRUE(m_device.IsRunning());
    ASSERT_TRUE(keytest::ShowForKeys(m_frame));
    // No rebuild is left to replace the editor under the keys.
    ASSERT_TRUE(keytest::PumpUntil(
        [this] { return !m_frame->m_rebuildViewGrid && !m_frame->m_rebuildSettingsGrid; }));
    wxPropertyGrid* grid = m_frame->m_viewGrid;
    wxPGProperty* name = Property("test_deviceDevice Name");
    ASSERT_NE(name, nullptr);
    ASSERT_TRUE(grid->SelectProperty(name, true));
    auto* editor = dynamic_cast<wxTextCtrl*>(grid->GetEditorControl());
    ASSERT_NE(editor, nullptr);
    ASSERT_TRUE(keytest::FocusForKeys(editor));
    editor->SelectAll();
    wxUIActionSimulator keys;
    keys.Text("Left foot");
    ASSERT_TRUE(keytest::PumpUntil([editor] { return editor->GetValue().EndsWith("foot"); }))
        << editor->GetValue();
    EXPECT_EQ(editor->GetValue(), "Left foot");
    EXPECT_TRUE(m_device.IsRunning());
    keytest::PressKey(WXK_RETURN);
    ASSERT_TRUE(keytest::PumpUntil([this] { return m_device.GetDeviceName() == "Left foot"; }));
    EXPECT_TRUE(m_device.IsRunning());

    // Outside a text entry Space still starts and stops the device.
    ASSERT_TRUE(keytest::FocusForKeys(view));
    keytest::PressKey(WXK_SPACE);
    EXPECT_TRUE(keytest::PumpUntil([this] { return !m_device.IsRunning(); }));
}

TEST_F(FrameViewGridTest, DisplayRateRestartsTheTimer)
{
    AddDevicePage(m_device);
    m_frame->m_expertMode = true;
    m_frame->UpdateViewGrid();
    Edit("display_rate", wxVariant(30.0));
    EXPECT_EQ(m_frame->m_displayIntervalMs, 33);
    EXPECT_EQ(m_frame->m_displayTimer.GetInterval(), 33);
    EXPECT_TRUE(m_frame->m_displayTimer.IsRunning());
    Edit("display_rate", wxVariant(145.0));
    EXPECT_EQ(m_frame->m_displayIntervalMs, 33);
}

TEST_F(FrameViewGridTest, EditAfterThePageChangedNeverReachesAnotherDevice)
{
    AddDevicePage(m_device);
    AddDevicePage(m_other);  // the same name: the grid's names fit both devices
    m_frame->m_mainBook->ChangeSelection(0);
    m_frame->UpdateViewGrid();
    // m_device's page closes; m_other's page is selected before the grid follows.
    m_frame->m_mainBook->DeletePage(0);
    m_frame->m_mainBook->ChangeSelection(0);
    m_frame->m_rebuildViewGrid = false;
    const double before = m_other.GetCPStatTime();
    Edit("test_deviceCP Stat time", wxVariant(99.0));
    EXPECT_EQ(m_other.GetCPStatTime(), before);
    EXPECT_TRUE(m_frame->m_rebuildViewGrid);
    RunEvents();
    Edit("test_deviceCP Stat time", wxVariant(99.0));
    EXPECT_EQ(m_other.GetCPStatTime(), 99.0);
}

TEST_F(FrameViewGridTest, NoSelectedPageEmptiesTheGrid)
{
    AddDevicePage(m_device);
    m_frame->m_mainBook->DeletePage(0);
    m_frame->UpdateViewGrid();
    EXPECT_EQ(m_frame->m_viewGrid->GetRoot()->GetChildCount(), 0u);
}

TEST_F(FrameViewGridTest, RebuildAskedFromAnotherThreadWaitsForIdle)
{
    AddDevicePage(m_device);
    m_frame->m_viewGrid->Clear();
    m_frame->m_rebuildViewGrid = false;
    TrackerFrame* frame = m_frame;
    std::thread worker([frame] { frame->UpdateViewGrid(); });
    worker.join();
    EXPECT_EQ(Property("Analog_view"), nullptr);  // nothing touched the grid
    EXPECT_FALSE(m_frame->m_rebuildViewGrid);
    wxTheApp->ProcessPendingEvents();
    EXPECT_TRUE(m_frame->m_rebuildViewGrid);
    EXPECT_EQ(Property("Analog_view"), nullptr);
    wxTheApp->ProcessIdle();
    EXPECT_NE(Property("Analog_view"), nullptr);
    EXPECT_FALSE(m_frame->m_rebuildViewGrid);
}
