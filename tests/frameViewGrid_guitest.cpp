#include <gtest/gtest.h>
#include <wx/aui/auibook.h>
#include <wx/propgrid/propgrid.h>
#include <wx/textctrl.h>
#include <wx/uiaction.h>
#include <wx/weakref.h>

#include <thread>

#include "DravonetMain.h"
#include "analog/analogView.h"
#include "frameKeySupport.h"
#include "frameTestSupport.h"
#include "frameViewTestDevice.h"
#include "support/logCapture.h"

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

// Keys typed through the display server: the suite runs alone, as the keyboard
// focus belongs to the whole display.
class FrameViewGridKeys : public FrameViewGridTest {
protected:
    // Shows the frame and puts the keyboard focus into the editor of the device's
    // name cell, its text selected; null when that fails. The reference goes null
    // when the grid destroys its editor.
    wxWeakRef<wxTextCtrl> EditDeviceName()
    {
        if (!keytest::ShowForKeys(m_frame)) return nullptr;
        // No rebuild is left to replace the editor under the keys.
        if (!keytest::PumpUntil(
                [this] { return !m_frame->m_rebuildViewGrid && !m_frame->m_rebuildSettingsGrid; }))
            return nullptr;
        wxPGProperty* name = Property(m_device.GetDeviceName() + "Device Name");
        if (!name || !m_frame->m_viewGrid->SelectProperty(name, true)) return nullptr;
        wxWeakRef<wxTextCtrl> editor(
            dynamic_cast<wxTextCtrl*>(m_frame->m_viewGrid->GetEditorControl()));
        if (!editor || !keytest::FocusForKeys(editor)) return nullptr;
        editor->SelectAll();
        return editor;
    }
};

TEST_F(FrameViewGridKeys, SpaceTypedIntoAGridCellStaysThereAndTheDeviceRuns)
{
    CAnalogView* view = AddDevicePage(m_device);
    ASSERT_TRUE(m_device.IsRunning());
    wxWeakRef<wxTextCtrl> editor = EditDeviceName();
    ASSERT_TRUE(editor);
    wxUIActionSimulator keys;
    keys.Text("Left foot");
    ASSERT_TRUE(
        keytest::PumpUntil([&editor] { return !editor || editor->GetValue().EndsWith("foot"); }));
    ASSERT_TRUE(editor);
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

TEST_F(FrameViewGridKeys, RebuildAskedWhileTheUserTypesWaitsUntilTheValueIsCommitted)
{
    AddDevicePage(m_device);
    wxWeakRef<wxTextCtrl> editor = EditDeviceName();
    ASSERT_TRUE(editor);
    wxUIActionSimulator keys;
    keys.Text("Left");
    ASSERT_TRUE(keytest::PumpUntil([&editor] { return !editor || editor->GetValue() == "Left"; }));
    ASSERT_TRUE(editor);
    // A source that changed its channels asks for a rebuild; the display timer runs.
    m_frame->m_rebuildViewGrid = true;
    wxTimerEvent tick(m_frame->m_displayTimer);
    m_frame->ProcessWindowEvent(tick);
    ASSERT_TRUE(editor) << "the editor and the typed text are kept";
    EXPECT_EQ(editor->GetValue(), "Left");
    EXPECT_EQ(m_frame->m_viewGrid->GetEditorControl(), editor.get());
    ASSERT_TRUE(m_frame->m_rebuildViewGrid);
    // Committed, the value is the device's and the rebuild follows.
    keytest::PressKey(WXK_RETURN);
    ASSERT_TRUE(keytest::PumpUntil([this] { return m_device.GetDeviceName() == "Left"; }));
    ASSERT_TRUE(keytest::PumpUntil([this] { return !m_frame->m_rebuildViewGrid; }));
    EXPECT_NE(Property("LeftDevice Name"), nullptr);
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
