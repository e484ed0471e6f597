#include <gtest/gtest.h>
#include <wx/propgrid/propgrid.h>
#include <wx/propgrid/props.h>

#include <map>

#include "DravonetMain.h"
#include "framePrompts.h"
#include "frameSettingsSupport.h"
#include "frameViewTestDevice.h"
#include "serial/serialPort.h"

namespace {

const char* const kAlways[] = {
    "APP", "expert_mode", "WII", "WII_TIMEOUT", "check_wii_at_startup", "multi_wii",
    "set_wii_board", "remove_wii_device", "max_wii_devices", "SATEL", "SATEL_COM_PORT",
    "SATEL_RATE", "BORD", "BIRD_COM_PORT", "HEMISPHERE", "BIRD_SLEEP", "BIRD_BAUD", "BIRD_RANGE",
    "VIDEO_DEVICE", "camera_width", "camera_height", "camera_rate", "OSC_DEVICE",
    "OSC_CLIENT_SERVER_NAME", "OSC_CLIENT_SERVER_ADDRESS", "OSC_CLINE_SERVER_B_PORT",
    "OSC_CLINE_SERVER_L_PORT", "OSC_CLIENT_SERVER_PATTERN", "OSC_CLIENT_SERVER_CONNECT",
    "OSC_CLIENT_SERVER_DISCONNECT", "osc_client_max_timeout", "osc_client_min_timeout",
    "OSC_CLENT_SERVER_CONF", "GENERAL", "Capture_dir", "export_dir", "EXPORT_TXT",
    "EXPORT_TXT_HEADER", "EXPORT_TXT_TIME", "Capture_time", "AUTO_FILE", "Capture_pre_time", "OSC",
    "OSC_SERVER", "OSC_PORT_LIST", "OSC_PORT_SEND", "OSC_SERVER_NAME", "OSC_DATA_NAME",
    "OSC_EVENT_NAME", "VRPN", "VRPN_SERVER", "vrpn_server_name", "vrpn_listening_port", "VRPN_OUT",
    "VRPN_OUT_USE", "LOCAL", "LOCAL_ADDR", "USB_TRIGGER", "USB_TRIGGER_USE",
    "USB_TRIGGER_COM_PORT", "USB_TRIGGER_THRESHOLD_HIGH", "USB_TRIGGER_THRESHOLD_LOW",
    "OSC_TRIGGER", "OSC_TRIGGER_USE", "OSC_TRIGGER_ADDR", "OSC_TRIGGER_NAME",
    "OSC_TRIGGER_IN_PORT", "OSC_TRIGGER_OUT_PORT", "OSC_TRIGGER_THRESHOLD_HIGH",
    "OSC_TRIGGER_THRESHOLD_LOW", "TRIGGER", "TRIGGER_LOOP",
};
const char* const kExpertOnly[] = {
    "DEV", "worker_priority", "use_gen_timer", "use_daytime_timer", "show_delta", "clock_accuray",
    "use_gl_canvas", "use_clock_delay", "OSC_CONNECT_NAME", "OSC_DISCONNECT_NAME",
    "serverSendTime", "OSC_DOUBLE", "OSC_TO_LOCAL", "OSC_TIMEOUT", "OSC_CONNECTED_NAME",
    "OSC_REMOVED_NAME", "TRIGGER_OUT_BUTTON", "USB_TRIGGER_BAUD", "TRIGGER_TIME_OUT", "THREAD",
    "ACQ_THREAD", "Acq_priority", "Acq_buffer",
};

class FrameSettingsGridTest : public FrameSettingsTest {
protected:
    wxPropertyGrid& Grid() { return *MakeFrame()->m_settingsGrid; }
    bool Has(const char* name) { return Grid().GetPropertyByName(name) != nullptr; }
    int Choice(const char* name)
    {
        auto* property = dynamic_cast<wxEnumProperty*>(Grid().GetPropertyByName(name));
        EXPECT_NE(property, nullptr) << name;
        return property ? property->GetChoiceSelection() : -2;
    }
};

TEST_F(FrameSettingsGridTest, ExpertModeAddsItsRows)
{
    TrackerFrame* frame = MakeEightCoreFrame();
    for (const char* name : kAlways) EXPECT_TRUE(Has(name)) << name;
    for (const char* name : kExpertOnly) EXPECT_FALSE(Has(name)) << name;
    EXPECT_FALSE(Has("use_core"));

    frame->m_expertMode = true;
    frame->BuildSettingsGrid();
    for (const char* name : kAlways) EXPECT_TRUE(Has(name)) << name;
    for (const char* name : kExpertOnly) EXPECT_TRUE(Has(name)) << name;
    EXPECT_TRUE(Has("use_core"));
    EXPECT_EQ(Grid().GetPropertyLabel("Capture_time"), "Max  Time (s)");
    EXPECT_EQ(Grid().GetPropertyLabel("clock_accuray"), "Clock accuracy (us)");
}

TEST_F(FrameSettingsGridTest, CorePinningRowNeedsMoreThanTwoProcessors)
{
    TrackerFrame::SetProcessorCountOverride(2);
    TrackerFrame* frame = MakeFrame();
    frame->m_expertMode = true;
    frame->BuildSettingsGrid();
    EXPECT_TRUE(Has("DEV"));
    EXPECT_FALSE(Has("use_core"));
}

TEST_F(FrameSettingsGridTest, ShowsStoredValuesAndChoices)
{
    TrackerFrame* frame = MakeFrame();
    frame->m_satelComPort = "";
    frame->m_fobComPort = "com7";
    frame->m_triggerPort = "/dev/ttyUSB0";
    frame->m_fobSpeed = 14400;
    frame->m_fobRange = 50.0f;
    frame->m_fobHemisphere = 2;
    frame->m_wiiTimeOut = 17;
    frame->m_expertMode = true;
    frame->m_triggerSpeed = 9600;
    frame->m_deviceEps = 0.25;
    frame->BuildSettingsGrid();
    EXPECT_EQ(Choice("SATEL_COM_PORT"), 0);
    EXPECT_EQ(Choice("BIRD_COM_PORT"), 6);
    // A configured path the machine does not offer is shown as it is, not as com1.
    const int trigger = Choice("USB_TRIGGER_COM_PORT");
    EXPECT_EQ(GetComPortName(trigger), "/dev/ttyUSB0");
    EXPECT_EQ(Choice("BIRD_BAUD"), -1);
    EXPECT_EQ(Choice("BIRD_RANGE"), -1);
    EXPECT_EQ(Choice("HEMISPHERE"), 2);
    EXPECT_EQ(Choice("USB_TRIGGER_BAUD"), 2);
    EXPECT_EQ(Choice("SATEL_RATE"), 3);
    EXPECT_EQ(Grid().GetPropertyValueAsInt("WII_TIMEOUT"), 17);
    // No device page selected: the configured tolerance.
    EXPECT_DOUBLE_EQ(Grid().GetPropertyValueAsDouble("clock_accuray"), 0.25);

    frame->m_fobSpeed = 57600;
    frame->m_fobRange = 144.0f;
    frame->BuildSettingsGrid();
    EXPECT_EQ(Choice("BIRD_BAUD"), 5);
    EXPECT_EQ(Choice("BIRD_RANGE"), 2);
}

TEST_F(FrameSettingsGridTest, SoundRowOnlyWithASoundFile)
{
    TrackerFrame* frame = MakeFrame();
    frame->m_captureSoundName = "";
    frame->BuildSettingsGrid();
    EXPECT_FALSE(Has("Capture_sound"));
    frame->m_captureSoundName = "/x/sound.wav";
    frame->BuildSettingsGrid();
    EXPECT_TRUE(Has("Capture_sound"));
}

TEST_F(FrameSettingsGridTest, CategoriesCheckBoxesAndReadOnlyRows)
{
    Grid();
    wxPropertyGrid& grid = Grid();
    EXPECT_TRUE(grid.IsPropertyExpanded("APP"));
    EXPECT_TRUE(grid.IsPropertyExpanded("GENERAL"));
    EXPECT_TRUE(grid.IsPropertyExpanded("TRIGGER"));
    for (const char* name : {"WII", "SATEL", "BORD", "VIDEO_DEVICE", "OSC_DEVICE", "OSC", "VRPN",
                             "VRPN_OUT", "LOCAL", "USB_TRIGGER", "OSC_TRIGGER"})
        EXPECT_FALSE(grid.IsPropertyExpanded(name)) << name;
    EXPECT_TRUE(grid.GetPropertyByName("LOCAL_ADDR")->HasFlag(wxPG_PROP_READONLY));
    // No device open: the device rows are editable.
    EXPECT_FALSE(grid.GetPropertyByName("SATEL_COM_PORT")->HasFlag(wxPG_PROP_READONLY));
    EXPECT_FALSE(grid.GetPropertyByName("Capture_dir")->HasFlag(wxPG_PROP_READONLY));
    const wxVariant checkbox =
        grid.GetPropertyByName("USB_TRIGGER_USE")->GetAttribute(wxPG_BOOL_USE_CHECKBOX);
    EXPECT_TRUE(!checkbox.IsNull() && checkbox.GetBool());
    EXPECT_EQ(grid.GetPropertyBackgroundColour("WII_TIMEOUT"), wxColour(255, 255, 155));
    EXPECT_EQ(grid.GetPropertyBackgroundColour("vrpn_server_name"), wxColour(255, 255, 200));
}

TEST_F(FrameSettingsGridTest, RowsLockedByAnOpenDeviceSayWhyInTheirHelp)
{
    TrackerFrame* frame = MakeFrame();
    wxPropertyGrid& grid = Grid();
    // Shown where the pointer rests: the status bar's first field keeps the device limit.
    EXPECT_TRUE(grid.GetExtraStyle() & wxPG_EX_HELP_AS_TOOLTIPS);
    EXPECT_TRUE(grid.GetPropertyByName("Capture_dir")->GetHelpString().empty());
    ASSERT_TRUE(frame->AddDeviceView(new CFrameTestDevice, true, false));
    frame->BuildSettingsGrid();
    for (const char* name : {"Capture_dir", "export_dir", "EXPORT_TXT", "SATEL_COM_PORT",
                             "BIRD_BAUD", "vrpn_server_name"}) {
        wxPGProperty* row = grid.GetPropertyByName(name);
        ASSERT_NE(row, nullptr) << name;
        EXPECT_TRUE(row->HasFlag(wxPG_PROP_READONLY)) << name;
        EXPECT_EQ(row->GetHelpString(),
                  "Read-only while a device is open: close every device to "
                  "change \"" +
                      row->GetLabel() + "\".")
            << name;
    }
    EXPECT_FALSE(grid.GetPropertyByName("AUTO_FILE")->HasFlag(wxPG_PROP_READONLY));
    EXPECT_TRUE(grid.GetPropertyByName("AUTO_FILE")->GetHelpString().empty());
    ShellPrompts().confirm = [](wxWindow*, const wxString&) { return true; };
    ShellPrompts().sleep = [](unsigned long) {};
    EXPECT_TRUE(frame->CheckToQuitAll());
    ResetShellPrompts();
}

// Each category's name, as often as the grid holds it.
std::map<wxString, int> CategoryCounts(wxPropertyGrid& grid)
{
    std::map<wxString, int> counts;
    for (wxPropertyGridIterator it = grid.GetIterator(wxPG_ITERATE_CATEGORIES); !it.AtEnd(); ++it)
        ++counts[(*it)->GetName()];
    return counts;
}

TrackerFrame* s_noticeFrame = nullptr;

// After an edit of an OSC, trigger or port row the grid was rebuilt with the category
// just edited collapsed, and once showed every category twice while a box was up.
TEST_F(FrameSettingsGridTest, AnEditKeepsTheUsersPlaceInTheGrid)
{
    TrackerFrame* frame = MakeFrame();
    wxPropertyGrid& grid = Grid();
    UdpEndpoint busy;
    ASSERT_TRUE(busy.BindTo(0));
    frame->m_oscListeningPort = busy.LocalAddress().Port();  // the server cannot start
    const std::map<wxString, int> once = CategoryCounts(grid);
    // A box the change shows (a restart asked for with a device open) runs a timer's rebuild.
    s_noticeFrame = frame;
    TrackerFrame::SetRestartNotice([](const wxString&) { s_noticeFrame->BuildSettingsGrid(); });
    const struct {
        const char* category;
        const char* name;
        wxVariant value;
    } rows[] = {
        {"OSC", "OSC_PORT_LIST", -5L},
        {"OSC", "OSC_SERVER", true},
        {"OSC_TRIGGER", "OSC_TRIGGER_USE", false},
        {"USB_TRIGGER", "USB_TRIGGER_THRESHOLD_HIGH", -3.0},
        {"OSC_TRIGGER", "OSC_TRIGGER_ADDR", "/other"},  // with the device below: the box
    };
    for (const auto& row : rows) {
        if (wxString(row.name) == "OSC_TRIGGER_ADDR") {
            ASSERT_TRUE(frame->AddDeviceView(new CFrameTestDevice, true, false));
            frame->BuildSettingsGrid();
        }
        grid.Expand(row.category);
        grid.Collapse("GENERAL");
        grid.SelectProperty(row.name);
        grid.ChangePropertyValue(row.name, row.value);
        EXPECT_EQ(CategoryCounts(grid), once) << row.name;
        RunEvents();  // the rebuild
        EXPECT_TRUE(grid.IsPropertyExpanded(row.category)) << row.name;
        EXPECT_FALSE(grid.IsPropertyExpanded("GENERAL")) << row.name;
        EXPECT_EQ(grid.GetSelection(), grid.GetPropertyByName(row.name)) << row.name;
        EXPECT_EQ(CategoryCounts(grid), once) << row.name;
        grid.Collapse(row.category);
    }
    ShellPrompts().confirm = [](wxWindow*, const wxString&) { return true; };
    ShellPrompts().sleep = [](unsigned long) {};
    EXPECT_TRUE(frame->CheckToQuitAll());
    ResetShellPrompts();
}

TEST_F(FrameSettingsGridTest, RebuildInsideACallersFreezeKeepsItBalanced)
{
    wxPropertyGrid& grid = Grid();
    grid.Freeze();
    MakeFrame()->BuildSettingsGrid();
    EXPECT_TRUE(grid.IsFrozen());
    grid.Thaw();
    EXPECT_FALSE(grid.IsFrozen());
}

}  // namespace
