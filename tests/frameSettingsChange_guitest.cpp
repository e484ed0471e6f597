#include <gtest/gtest.h>
#include <wx/propgrid/propgrid.h>
#include <wx/propgrid/props.h>
#include <wx/textctrl.h>

#include "DravonetMain.h"
#include "configShared.h"
#include "frameSettingsSupport.h"
#include "network/oscSourceSupport.h"
#include "serial/serialTrigger.h"
#include "support/logCapture.h"

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <thread>

namespace {

class FrameSettingsChangeTest : public FrameSettingsTest {
protected:
    TrackerFrame* Frame() { return MakeFrame(); }
    wxPropertyGrid& Grid() { return *Frame()->m_settingsGrid; }

    // Edits the row as the user would: the grid sends its change event.
    void Change(const char* name, const wxVariant& value)
    {
        ASSERT_NE(Grid().GetPropertyByName(name), nullptr) << name;
        Grid().ChangePropertyValue(name, value);
    }
    // Sends the change event of a value typed into the row, which the grid itself
    // would not take (a text, a number its editor refuses).
    void Type(wxPGProperty& typed, const wxVariant& value)
    {
        wxPropertyGridEvent event(wxEVT_PG_CHANGED, ID_SETTINGS_GRID);
        event.SetProperty(&typed);
        event.SetPropertyValue(value);
        Frame()->ProcessWindowEvent(event);
    }
    void Expert()
    {
        Frame()->m_expertMode = true;
        Frame()->BuildSettingsGrid();
    }
};

// A port path from the configuration file that the machine does not list (an adapter
// not plugged in) is shown and kept while other rows change, and can be chosen again.
TEST_F(FrameSettingsChangeTest, ConfiguredPortPathsAreKeptAndShown)
{
    TrackerFrame* frame = Frame();
    const wxString path = "/dev/serial/by-id/usb-qv-test-adapter-if00-port0";
    frame->m_fobComPort = path;
    frame->BuildSettingsGrid();
    auto* port = dynamic_cast<wxEnumProperty*>(Grid().GetPropertyByName("BIRD_COM_PORT"));
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->GetValueAsString(), path);
    const long shown = port->GetChoiceSelection();
    Change("SATEL_RATE", 1L);
    EXPECT_EQ(frame->m_fobComPort, path);
    Change("BIRD_COM_PORT", 1L);
    EXPECT_EQ(frame->m_fobComPort, "com2");
    Change("BIRD_COM_PORT", shown);
    EXPECT_EQ(frame->m_fobComPort, path);
}

TEST_F(FrameSettingsChangeTest, ValuesAreCheckedStoredAndWritten)
{
    TrackerFrame* frame = Frame();
    Expert();
    Change("WII_TIMEOUT", 0L);
    EXPECT_EQ(frame->m_wiiTimeOut, 1);
    EXPECT_EQ(ReadBack()->ReadLong("/WII/time_out", -1), 1);  // written at once
    Change("max_wii_devices", 5L);
    EXPECT_EQ(frame->m_wiiMaxDevices, 1);
    Change("camera_width", 99L);
    EXPECT_EQ(frame->m_cameraWidth, 1000);
    Change("camera_height", 4000L);
    EXPECT_EQ(frame->m_cameraHeight, 4000);
    Change("camera_rate", 0L);
    EXPECT_EQ(frame->m_cameraRate, 60);
    Change("BIRD_SLEEP", 10000L);
    EXPECT_EQ(frame->m_fobSleep, 500);
    Change("BIRD_RANGE", 1L);
    EXPECT_FLOAT_EQ(frame->m_fobRange, 72.0f);
    Change("BIRD_BAUD", 2L);
    EXPECT_EQ(frame->m_fobSpeed, 9600);
    Change("USB_TRIGGER_COM_PORT", 3L);
    EXPECT_EQ(frame->m_triggerPort, "com4");
    Change("TRIGGER_OUT_BUTTON", -3L);
    EXPECT_EQ(frame->m_vrpnSyncButton, 0);
    Change("OSC_TIMEOUT", 501L);
    EXPECT_EQ(OscServerGetSettings().timeoutMs, 100);
    Change("osc_client_max_timeout", -5L);
    EXPECT_EQ(GetOscClientSettings().maxTimeoutMs, 5);
    Change("OSC_CLINE_SERVER_L_PORT", 5L);
    EXPECT_EQ(GetOscClientSettings().listeningPort, 5);
    Change("EXPORT_TXT_HEADER", false);
    EXPECT_FALSE(SharedSettings::Fetch().useTextHeader);
    Change("Acq_priority", 2L);
    EXPECT_EQ(frame->m_capturePriority, 2);

    auto file = ReadBack();
    EXPECT_EQ(file->ReadLong("/CAM/camera_width", -1), 1000);
    EXPECT_EQ(file->ReadLong("/FOB/sleep", -1), 500);
    EXPECT_DOUBLE_EQ(file->ReadDouble("/FOB/range", -1), 72.0);
    EXPECT_EQ(file->Read("/Trigger/usb_port"), "com4");
    EXPECT_EQ(file->ReadLong("/OSC/timeout", -1), 100);
    EXPECT_EQ(file->ReadLong("/Capture/Use_Text_Header", -1), 0);
}

TEST_F(FrameSettingsChangeTest, ClockToleranceOutOfRangeIsShownAgain)
{
    TrackerFrame* frame = Frame();
    Expert();
    frame->m_rebuildSettingsGrid = false;
    Change("clock_accuray", 1000.0);
    EXPECT_DOUBLE_EQ(frame->m_deviceEps, 0.05);
    EXPECT_TRUE(frame->m_rebuildSettingsGrid);
    RunEvents();
    EXPECT_DOUBLE_EQ(Grid().GetPropertyValueAsDouble("clock_accuray"), 0.05);
    Change("clock_accuray", 999.9);
    EXPECT_DOUBLE_EQ(frame->m_deviceEps, 999.9);
}

TEST_F(FrameSettingsChangeTest, ExpertModeShowsItsRowsAtTheNextIdlePass)
{
    TrackerFrame* frame = Frame();
    Change("expert_mode", true);
    EXPECT_TRUE(frame->m_expertMode);
    EXPECT_TRUE(frame->m_rebuildViewGrid);
    RunEvents();
    EXPECT_NE(Grid().GetPropertyByName("THREAD"), nullptr);
    EXPECT_EQ(ReadBack()->ReadLong("/Application/expert_mode", -1), 1);
}

TEST_F(FrameSettingsChangeTest, OscServerSwitchStartsAndStopsTheServer)
{
    TrackerFrame* frame = Frame();
    Change("OSC_PORT_LIST", static_cast<long>(FreePort()));
    Change("OSC_SERVER", true);
    EXPECT_TRUE(IsOscServerStarted());
    EXPECT_TRUE(frame->m_useOscServer);
    Change("OSC_SERVER", false);
    EXPECT_FALSE(IsOscServerStarted());
    EXPECT_EQ(ReadBack()->ReadLong("/OSC/use_osc_server", -1), 0);
}

TEST_F(FrameSettingsChangeTest, FailedOscServerStartIsReportedAndSwitchedOff)
{
    TrackerFrame* frame = Frame();
    UdpEndpoint busy;
    ASSERT_TRUE(busy.BindTo(0));
    Change("OSC_PORT_LIST", static_cast<long>(busy.LocalAddress().Port()));
    frame->m_rebuildSettingsGrid = false;
    Change("OSC_SERVER", true);
    EXPECT_FALSE(IsOscServerStarted());
    EXPECT_FALSE(frame->m_useOscServer);
    EXPECT_TRUE(frame->m_rebuildSettingsGrid);
    // The box says why: the port is in use.
    const wxString port = wxString::Format("%d", busy.LocalAddress().Port());
    EXPECT_NE(frame->m_errorsText->GetValue().Find("Error starting OSC server. It cannot listen on "
                                                   "UDP port " + port + " (bind failed: port " +
                                                   port + " is in use)."),
              wxNOT_FOUND)
        << frame->m_errorsText->GetValue();
    EXPECT_EQ(ReadBack()->ReadLong("/OSC/use_osc_server", -1), 0);
}

TEST_F(FrameSettingsChangeTest, OscServerTextsReachTheServer)
{
    Frame();
    Change("OSC_DATA_NAME", wxString::FromUTF8("/donn\xc3\xa9"
                                               "es"));
    EXPECT_EQ(OscServerGetSettings().serverDataTag,
              "/donn\xc3\xa9"
              "es");
    Change("OSC_SERVER_NAME", "/Lab");
    EXPECT_EQ(OscServerGetSettings().trackerServerName, "/Lab");
    EXPECT_EQ(ReadBack()->Read("/OSC/trackerServerName"), "/Lab");
}

TEST_F(FrameSettingsChangeTest, OscTriggerSwitchedOffStopsTheInput)
{
    Frame();
    OscTriggerSettings trigger = GetOscTriggerSettings();
    trigger.use = true;
    trigger.inPort = FreePort();
    trigger.outPort = FreePort();
    SetOscTriggerSettings(trigger);
    Grid().SetPropertyValue("OSC_TRIGGER_USE", true);
    ASSERT_TRUE(StartOscTrigger());
    ASSERT_GE(GetOscTriggerListeningPort(), 0);
    Change("OSC_TRIGGER_USE", false);
    EXPECT_FALSE(IsOscTriggerEnabled());
    EXPECT_EQ(GetOscTriggerListeningPort(), -1);
    // A port of 0 changes nothing, but the file is still written.
    std::remove(ConfigPath().c_str());
    Change("OSC_TRIGGER_IN_PORT", 0L);
    EXPECT_EQ(GetOscTriggerSettings().inPort, trigger.inPort);
    EXPECT_TRUE(wxFileName::FileExists(ConfigPath()));
}

TEST_F(FrameSettingsChangeTest, VrpnRenameRestartsOnlyAServerInUse)
{
    TrackerFrame* frame = Frame();
    Change("vrpn_server_name", "Lab");
    EXPECT_EQ(frame->m_vrpnServerName, "Lab");
    EXPECT_FALSE(IsVrpnServerRunning());  // switched off: renaming starts nothing
    Change("vrpn_server_name", "");
    EXPECT_EQ(frame->m_vrpnServerName, "Lab");

    SetVrpnServerPort(0);  // any free port
    frame->m_useVrpn = true;
    Change("vrpn_server_name", "Lab2");
    EXPECT_TRUE(IsVrpnServerRunning());
    EXPECT_EQ(GetVrpnServerName(), "Lab2");
    Change("vrpn_listening_port", 0L);
    EXPECT_EQ(GetVrpnServerPort(), 0);
}

TEST_F(FrameSettingsChangeTest, SerialTriggerSettingsWithTheTriggerOff)
{
    TrackerFrame* frame = Frame();
    Expert();
    Change("TRIGGER_TIME_OUT", -1L);
    EXPECT_EQ(frame->m_triggerTimeOut, 0);
    EXPECT_EQ(g_serialTrigger.GetTimeout(), 0u);
    Change("TRIGGER_TIME_OUT", 250L);
    EXPECT_EQ(g_serialTrigger.GetTimeout(), 250u);
    Change("USB_TRIGGER_BAUD", 3L);
    EXPECT_EQ(frame->m_triggerSpeed, 19200);
    EXPECT_FALSE(g_serialTrigger.IsOpen());
    g_serialTrigger.SetTimeout(0);
}

TEST_F(FrameSettingsChangeTest, UnknownPropertyStillWritesTheFile)
{
    TrackerFrame* frame = Frame();
    std::remove(ConfigPath().c_str());
    wxStringProperty stray("Stray", "NO_SUCH_SETTING", "x");
    wxPropertyGridEvent event(wxEVT_PG_CHANGED, ID_SETTINGS_GRID);
    event.SetProperty(&stray);
    frame->ProcessWindowEvent(event);
    EXPECT_TRUE(wxFileName::FileExists(ConfigPath()));
}

TEST_F(FrameSettingsChangeTest, CaptureFolderChangeIsKept)
{
    TrackerFrame* frame = Frame();
    const wxString folder = wxString::FromUTF8((Dir() / "trials").c_str());
    Change("Capture_dir", folder);
    EXPECT_EQ(frame->m_capturePath, folder);
    EXPECT_EQ(ReadBack()->Read("/Capture/m_capture_path"), folder);
}


// A value the program would not use is refused with a sentence, and the grid shows the
// kept value again: a maximum time that is no time, a queue depth no writer can use, and
// (taken without a word before) a port outside 1-65535, a trigger's high level not above
// its low one, a negative count-down.
TEST_F(FrameSettingsChangeTest, RowsRefuseValuesOutsideTheirRangeWithASentence)
{
    TrackerFrame* frame = Frame();
    const auto maxTime = [frame] { return frame->m_captureMaxTime; };
    const auto depth = [frame] { return double(frame->m_captureQueueDepth); };
    const struct {
        const char* name;
        wxVariant value;
        std::function<double()> kept;
    } rows[] = {
        {"Capture_time", -5.0, maxTime},
        {"Capture_time", std::numeric_limits<double>::quiet_NaN(), maxTime},
        {"Capture_time", "abc", maxTime},
        {"Acq_buffer", 29L, depth},
        {"Acq_buffer", wxLongLong(4294967297LL), depth},
        {"OSC_PORT_LIST", -5L, [frame] { return frame->m_oscListeningPort; }},
        {"OSC_TRIGGER_OUT_PORT", 70000L, [] { return GetOscTriggerSettings().outPort; }},
        {"USB_TRIGGER_THRESHOLD_HIGH", -3.0, [frame] { return frame->m_triggerThresholdHigh; }},
        {"OSC_TRIGGER_THRESHOLD_LOW", 300.0, [] { return GetOscTriggerSettings().lowValue; }},
        {"Capture_pre_time", -2.0, [frame] { return frame->m_capturePreTime; }},
    };
    for (const auto& row : rows) {
        const double before = row.kept();
        CLogCapture log;
        frame->m_rebuildSettingsGrid = false;
        wxStringProperty typed(row.name, row.name);
        Type(typed, row.value);
        EXPECT_EQ(row.kept(), before) << row.name;
        EXPECT_EQ(log.Warnings(), 1) << row.name;
        EXPECT_TRUE(frame->m_rebuildSettingsGrid) << row.name;  // shows the kept value
    }
    EXPECT_DOUBLE_EQ(ReadBack()->ReadDouble("/Capture/Capture_max_time", -1), 0.0);
    Change("USB_TRIGGER_THRESHOLD_LOW", -3.0);  // within range: taken
    EXPECT_DOUBLE_EQ(frame->m_triggerThresholdLow, -3.0);
    Change("Capture_time", 2.5);
    EXPECT_DOUBLE_EQ(frame->m_captureMaxTime, 2.5);
}

TEST_F(FrameSettingsChangeTest, OscTriggerSwitchedOnAtRunTimeHearsATriggerAtOnce)
{
    osctest::SettingsGuard restore;  // process-wide trigger settings
    TrackerFrame* frame = Frame();
    osctest::Peer source;  // the program sending the trigger, on 127.0.0.1
    OscTriggerSettings trigger = GetOscTriggerSettings();
    trigger.use = false;
    trigger.inPort = FreePort();
    trigger.outPort = source.Port();
    SetOscTriggerSettings(trigger);
    frame->BuildSettingsGrid();
    ASSERT_EQ(GetOscTriggerListeningPort(), -1);
    Change("OSC_TRIGGER_USE", true);
    ASSERT_EQ(GetOscTriggerListeningPort(), trigger.inPort);
    EXPECT_TRUE(IsOscTriggerConnected());
    ASSERT_TRUE(source.Send(trigger.inPort, osctest::Floats("/unity_sync", {255.0f})));
    // Acquisition threads poll the input; here the test does.
    double value = 0.0;
    bool isHeard = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!isHeard && std::chrono::steady_clock::now() < end) {
        PollOscTrigger();
        isHeard = GetOscTriggerValue(&value);
        if (!isHeard) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(isHeard);
    EXPECT_EQ(value, 255.0);

    // A port that cannot be listened on is said at once.
    Change("OSC_TRIGGER_USE", false);
    UdpEndpoint busy;
    ASSERT_TRUE(busy.BindTo(0));
    trigger.inPort = busy.LocalAddress().Port();
    SetOscTriggerSettings(trigger);
    Change("OSC_TRIGGER_USE", true);
    EXPECT_EQ(GetOscTriggerListeningPort(), -1);
    EXPECT_NE(frame->m_errorsText->GetValue().Find(wxString::Format(
                  "Unable to connect OSC server! It cannot listen on UDP port %d (bind failed: "
                  "port %d is in use)",
                  trigger.inPort, trigger.inPort)),
              wxNOT_FOUND)
        << frame->m_errorsText->GetValue();
}

// In Trigger Loop a triggered capture ends on its trigger: the maximum time's row
// says so, and is greyed while a trigger is in use with the loop on.
TEST_F(FrameSettingsChangeTest, MaxTimeRowSaysTriggerLoopDoesNotApplyIt)
{
    TrackerFrame* frame = Frame();
    auto row = [this] { return Grid().GetPropertyByName("Capture_time"); };
    ASSERT_NE(row(), nullptr);
    EXPECT_TRUE(row()->IsEnabled());
    EXPECT_NE(row()->GetHelpString().Find("Not applied to triggered captures while Trigger Loop "
                                          "is on"),
              wxNOT_FOUND);
    frame->m_triggerUse = true;  // as if in use, without opening a port
    Change("TRIGGER_LOOP", true);
    RunEvents();  // the grid is rebuilt at the next idle pass
    ASSERT_NE(row(), nullptr);
    EXPECT_FALSE(row()->IsEnabled());
    EXPECT_TRUE(row()->GetHelpString().StartsWith("Not applied while Trigger Loop is on"));
    Change("TRIGGER_LOOP", false);
    RunEvents();
    EXPECT_TRUE(row()->IsEnabled());
    // Without a trigger in use the loop starts nothing: the time applies.
    frame->m_triggerUse = false;
    Change("TRIGGER_LOOP", true);
    RunEvents();
    EXPECT_TRUE(row()->IsEnabled());
}

}  // namespace
