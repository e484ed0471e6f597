#include <gtest/gtest.h>
#include <wx/display.h>
#include <wx/textctrl.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <variant>

#include "DravonetMain.h"
#include "configShared.h"
#include "frameSettingsSupport.h"
#include "frameSettingsTable.h"
#include "settingsFile.h"

namespace {

using Value = std::variant<bool, int, int64_t, double, float, wxString, std::string>;

Value ValueOf(const ConfigTarget& target)
{
    return std::visit([](auto* p) -> Value { return *p; }, target);
}

// Every key of the file, spelled as stored (existing files depend on it).
const char* const kEveryKey[] = {
    "/Version",
    "/Application/expert_mode", "/Application/use_core",
    "/Device/timer", "/Device/gen_timer", "/Device/use_clock_delay", "/Device/worker_priority",
    "/Device/show_delta", "/Device/device_eps",
    "/WII/time_out", "/WII/check", "/WII/remove", "/WII/set_wii_board", "/WII/max_devices",
    "/WII/use_multi",
    "/View/use_gl_canvas", "/View/display_interval_ms",
    "/Capture/Capture_queue_depth", "/Capture/Capture_use_thread", "/Capture/Capture_priority",
    "/Capture/Capture_max_time", "/Capture/Capture_pre_time", "/Capture/Capture_sound",
    "/Capture/Capture_sound_name", "/Capture/Capture_auto_file", "/Capture/extport_analog",
    "/Capture/Use_Text_Header", "/Capture/Use_Text_Time", "/Capture/m_export_path",
    "/Capture/m_capture_path",
    "/SATEL/m_satel_com_port", "/SATEL/m_satel_rate",
    "/FOB/com_port", "/FOB/sleep", "/FOB/hemisphre", "/FOB/speed", "/FOB/range",
    "/CAM/camera_width", "/CAM/camera_height", "/CAM/camera_rate",
    "/Trigger/usb_speed", "/Trigger/usb_port", "/Trigger/usb_use", "/Trigger/usb_threshold_high",
    "/Trigger/usb_threshold_low", "/Trigger/loop", "/Trigger/time_out",
    "/VRPN_SYNC/use", "/VRPN_SYNC/button",
    "/VRPN/use_vrpn", "/VRPN/vrpn_listening_port", "/VRPN/vrpn_server_name",
    "/VRPN/vrpn_server_count", "/VRPN/vrpn_server_id_0", "/VRPN/vrpn_server_id_1",
    "/VRPN/vrpn_sync_address", "/VRPN/vrpn_sync_in_port", "/VRPN/vrpn_sync_out_port",
    "/VRPN/vrpn_sync_server_name", "/VRPN/vrpn_sync_use", "/VRPN/vrpn_sync_high_value",
    "/VRPN/vrpn_sync_low_value",
    "/OSC/use_osc_server", "/OSC/istening_port", "/OSC/sending_port", "/OSC/use_double",
    "/OSC/timeout", "/OSC/send_to_local", "/OSC/serverSendTime", "/OSC/nb_client",
    "/OSC/default_client_server_name", "/OSC/default_client_server_broadcast_port",
    "/OSC/default_client_server_listening_port", "/OSC/default_client_server_address",
    "/OSC/default_client_server_data_pattern", "/OSC/default_client_server_data_connect",
    "/OSC/default_client_server_data_disconnect", "/OSC/default_client_server_load_config",
    "/OSC/trackerServerName", "/OSC/connectPattern", "/OSC/disconnectPattern",
    "/OSC/requestPattern", "/OSC/serverConnected", "/OSC/serverRemoved", "/OSC/serverDataTag",
    "/OSC/serverEventTag", "/OSC/osc_client_max_timeout", "/OSC/osc_client_min_timeout",
    "/View/current_perspective",
    "/MainFrame/display_count", "/MainFrame/display_id", "/MainFrame/x", "/MainFrame/y",
    "/MainFrame/w", "/MainFrame/h", "/MainFrame/IsMaximized",
};

class FrameConfigTest : public FrameSettingsTest {
protected:
    // A value of the variable's type unlike its default and accepted by its rule.
    // Texts name existing folders, so that the folder keys keep them too.
    void SetDistinct(const ConfigVar& var, int index)
    {
        struct Setter {
            const ConfigVar& var;
            int index;
            std::string folder;
            void operator()(bool* p) const { *p = !*p; }
            void operator()(int* p) const { *p = Number(); }
            void operator()(int64_t* p) const { *p = Number(); }
            // Falling with the index: each trigger's high level (listed first) stays
            // above its low one.
            void operator()(double* p) const { *p = 200.5 - index; }
            void operator()(float* p) const { *p = 72.0f + index; }
            void operator()(wxString* p) const { *p = wxString::FromUTF8(folder.c_str()); }
            void operator()(std::string* p) const { *p = "/t\xc3\xa9xt_" + std::to_string(index); }
            int Number() const
            {
                if (var.rule.kind == ConfigIntRule::Kind::Any) return 1000 + index;
                // Within the rule, and distinct among ports.
                return static_cast<int>(std::max(var.rule.low, var.rule.high - index));
            }
        };
        const std::string folder = (Dir() / ("f\xc3\xa9_" + std::to_string(index))).string();
        wxFileName::Mkdir(wxString::FromUTF8(folder.c_str()), 0777, wxPATH_MKDIR_FULL);
        std::visit(Setter{var, index, folder}, var.target);
    }
};

TEST_F(FrameConfigTest, FirstStartKeepsDefaultsAndTheExitWritesEveryKey)
{
    TrackerFrame* frame = MakeFrame();
    EXPECT_TRUE(frame->m_showDelta);
    EXPECT_FALSE(frame->IsMaximized());
    EXPECT_EQ(frame->m_displayIntervalMs, 40);
    EXPECT_TRUE(frame->m_errorsText->GetValue().empty());
    DestroyFrame();

    auto file = ReadBack();
    for (const char* key : kEveryKey) {
        if (wxString(key).StartsWith("/VRPN/vrpn_server_id_")) continue;  // empty list
        EXPECT_TRUE(file->HasEntry(key)) << key;
    }
    EXPECT_EQ(file->Read("/Version"), "1.30");
    EXPECT_EQ(file->Read("/View/current_perspective").Find('='), wxNOT_FOUND);
}

TEST_F(FrameConfigTest, EverySettingSurvivesASaveAndAReload)
{
    TrackerFrame::SetProcessorCountOverride(8);  // core pinning stays on
    TrackerFrame* frame = MakeFrame();
    const wxString soundName = frame->m_captureSoundName;
    SharedSettings shared = SharedSettings::Fetch();
    std::vector<ConfigVar> vars = FrameConfigVars(*frame, shared);
    for (size_t i = 0; i < vars.size(); ++i) SetDistinct(vars[i], static_cast<int>(i));
    shared.vrpnListeningPort = FreePort();  // the VRPN server starts on reload
    shared.Publish();
    frame->m_vrpnServerList.Add("Tracker0@localhost");
    frame->m_vrpnServerList.Add(wxString::FromUTF8("Wand@l\xc3\xa9"));
    std::vector<Value> expected;
    for (const ConfigVar& var : vars) expected.push_back(ValueOf(var.target));
    frame->SaveConfig();
    DestroyFrame();

    auto file = ReadBack();
    for (const char* key : kEveryKey) EXPECT_TRUE(file->HasEntry(key)) << key;
    file.reset();

    frame = MakeFrame();
    SharedSettings reloaded = SharedSettings::Fetch();
    const std::vector<ConfigVar> again = FrameConfigVars(*frame, reloaded);
    ASSERT_EQ(again.size(), expected.size());
    for (size_t i = 0; i < again.size(); ++i) {
        // The capture sound is written, never read back.
        if (wxString(again[i].key) == "/Capture/Capture_sound_name") {
            EXPECT_EQ(frame->m_captureSoundName, soundName);
            continue;
        }
        EXPECT_TRUE(ValueOf(again[i].target) == expected[i]) << again[i].key;
    }
    ASSERT_EQ(frame->m_vrpnServerList.GetCount(), 2u);
    EXPECT_EQ(frame->m_vrpnServerList[1], wxString::FromUTF8("Wand@l\xc3\xa9"));
    EXPECT_TRUE(IsVrpnServerRunning());
}

// A hand-edited file: each value the program does not use as written is said once at
// start, with what is used instead (only the queue depth was said before); the next
// start, from the file saved with the values used, says nothing.
TEST_F(FrameConfigTest, EachValueNotUsedAsWrittenIsSaidOnceAtStart)
{
    const struct {
        const char* group;
        const char* line;
        const char* said;  // null: taken as written
    } rows[] = {
        {"Device", "worker_priority=abc", "/Device/worker_priority = abc is not a number: 2 is used"},
        {"Device", "device_eps=nan", "/Device/device_eps = nan is not a number: 0.05 is used"},
        {"WII", "time_out=-2", "/WII/time_out = -2 is out of range (at least 1 s): 1 is used"},
        {"WII", "max_devices=5", "/WII/max_devices = 5 is out of range (1 to 4): 1 is used"},
        {"View", "display_interval_ms=-1",
         "/View/display_interval_ms = -1 is out of range (1 to 1000 ms): 40 is used"},
        {"View", "use_gl_canvas=x", "/View/use_gl_canvas = x is not a number: 1 is used"},
        {"Trigger", "time_out=-7", "/Trigger/time_out = -7 is out of range (at least 0 ms): 0 is used"},
        {"Trigger", "usb_threshold_high=-3", nullptr},
        {"Trigger", "usb_threshold_low=10",
         "/Trigger/usb_threshold_high = -3 is not above /Trigger/usb_threshold_low = 10: 4 and 1 "
         "are used"},
        {"FOB", "range=zz", "/FOB/range = zz is not a number: 36 is used"},
        {"FOB", "sleep=99999999999", "/FOB/sleep = 99999999999 is out of range (0 to 9999 ms): 500 is used"},
        {"Capture", "Capture_max_time=nan", "/Capture/Capture_max_time = nan is not a number: 0 is used"},
        {"Capture", "Capture_pre_time=100000",
         "/Capture/Capture_pre_time = 100000 is out of range (0 to 3600 s): 0 is used"},
        {"Capture", "Capture_priority=99", "/Capture/Capture_priority = 99 is out of range (0 to 2): 1 is used"},
        {"Capture", "Capture_queue_depth=10",
         "/Capture/Capture_queue_depth = 10 is out of range (30 to 100000 frames): 30 is used"},
        {"CAM", "camera_rate=0", "/CAM/camera_rate = 0 is out of range (1 to 1000): 60 is used"},
        {"VRPN", "vrpn_sync_in_port=70000",
         "/VRPN/vrpn_sync_in_port = 70000 is out of range (1 to 65535): 6161 is used"},
        {"VRPN", "vrpn_sync_high_value=inf",
         "/VRPN/vrpn_sync_high_value = inf is out of range (finite numbers): 255 is used"},
        // The server list skips an empty entry, without a word.
        {"VRPN", "vrpn_server_count=3\nvrpn_server_id_0=a\nvrpn_server_id_1=\nvrpn_server_id_2=c", nullptr},
        {"OSC", "istening_port=-5", "/OSC/istening_port = -5 is out of range (1 to 65535): 32000 is used"},
        {"OSC", "timeout=0", "/OSC/timeout = 0 is out of range (1 to 500 ms): 30 is used"},
    };
    std::string text = "Version=1.30\n";
    const char* group = "";
    int said = 0;
    for (const auto& row : rows) {
        if (std::string(group) != row.group) text += std::string("[") + row.group + "]\n";
        group = row.group;
        text += std::string(row.line) + "\n";
        said += row.said != nullptr;
    }
    WriteConfig(text);
    TrackerFrame* frame = MakeFrame();
    const wxString errors = frame->m_errorsText->GetValue();
    for (const auto& row : rows) {
        if (!row.said) continue;
        EXPECT_NE(errors.Find(row.said), wxNOT_FOUND) << row.said << "\n" << errors;
    }
    EXPECT_EQ(errors.Freq('\n'), said) << errors;
    EXPECT_EQ(frame->m_displayIntervalMs, 40);  // -1 would be no interval at all
    EXPECT_DOUBLE_EQ(frame->m_capturePreTime, 0.0);
    EXPECT_DOUBLE_EQ(frame->m_triggerThresholdHigh, 4.0);
    EXPECT_FALSE(frame->m_showDelta);  // a file without the key
    EXPECT_EQ(frame->m_vrpnServerList, wxArrayString(2, std::array<wxString, 2>{"a", "c"}.data()));
    DestroyFrame();
    // The list is saved compacted; the stale entry stays and is ignored.
    EXPECT_EQ(ReadBack()->Read("/VRPN/vrpn_server_id_2"), "c");
    frame = MakeFrame();
    EXPECT_TRUE(frame->m_errorsText->GetValue().empty()) << frame->m_errorsText->GetValue();
}

TEST_F(FrameConfigTest, FileWithoutVersionIsReportedAndStillRead)
{
    WriteConfig("[WII]\ntime_out=9\n[View]\ncurrent_perspective=layout2|name:nothing\n");
    TrackerFrame* frame = MakeFrame();
    EXPECT_EQ(frame->m_wiiTimeOut, 9);
    EXPECT_NE(
        frame->m_errorsText->GetValue().Find(" Configuration file error  (use default values)!"),
        wxNOT_FOUND);
}

TEST_F(FrameConfigTest, StoredLayoutIsUsedOnlyWithTheSameVersion)
{
    // Saved with the information pane hidden.
    TrackerFrame* frame = MakeFrame();
    frame->m_auiManager.GetPane("MESSAGEBOOK").Hide();
    frame->m_auiManager.Update();
    frame->SaveConfig();
    DestroyFrame();
    frame = MakeFrame();
    EXPECT_FALSE(frame->m_auiManager.GetPane("MESSAGEBOOK").IsShown());
    DestroyFrame();

    auto file = ReadBack();
    file->Write("/Version", "1.29");
    file.reset();
    frame = MakeFrame();
    EXPECT_TRUE(frame->m_auiManager.GetPane("MESSAGEBOOK").IsShown());
}

TEST_F(FrameConfigTest, MissingFoldersFallBackToSubfoldersOfTheConfigurationFolder)
{
    const std::string kept = (Dir() / "kept").string();
    wxFileName::Mkdir(kept, 0777);
    WriteConfig("Version=1.30\n[Capture]\nm_capture_path=" + (Dir() / "gone").string() +
                "\nm_export_path=" + kept + "\n");
    TrackerFrame* frame = MakeFrame();
    EXPECT_EQ(frame->m_capturePath, frame->m_configDir + "/Capture");
    EXPECT_TRUE(wxFileName::DirExists(frame->m_capturePath));
    EXPECT_EQ(frame->m_exportPath, kept);
    // Said once, with both folders; the folder that exists is not mentioned.
    const wxString said = "The capture folder " + (Dir() / "gone").string() +
                          " does not exist: recordings go to " + frame->m_capturePath + "\n";
    const wxString messages = frame->m_messagesText->GetValue();
    EXPECT_EQ(messages.Freq('\n'), 1) << messages;
    EXPECT_NE(messages.Find(said), wxNOT_FOUND) << messages;
    // The next start finds the replacement stored and says nothing.
    DestroyFrame();
    frame = MakeFrame();
    EXPECT_EQ(frame->m_capturePath, frame->m_configDir + "/Capture");
    EXPECT_EQ(frame->m_messagesText->GetValue().Find("does not exist"), wxNOT_FOUND);
}

TEST_F(FrameConfigTest, StoredOscClientsReturnWithTheServerOff)
{
    const int inPort = FreePort();
    WriteConfig("Version=1.30\n[OSC]\nuse_osc_server=0\nistening_port=" + std::to_string(inPort) +
                "\nnb_client=5\nnb_client_0=127.0.0.1:7001\nnb_client_1=bad\n"
                "nb_client_2=127.0.0.1:7003\nnb_client_3=127.0.0.1:7003x\n"
                "nb_client_4=127.0.0.1:7001\n");
    TrackerFrame* frame = MakeFrame();
    EXPECT_FALSE(IsOscServerStarted());  // started for the clients, then closed again
    ASSERT_EQ(OscServerGetClientCount(), 2u);
    // Every entry left out is said once, with its reason.
    const wxString errors = frame->m_errorsText->GetValue();
    for (const char* refused : {"bad (", "127.0.0.1:7003x (", "127.0.0.1:7001 ("}) {
        const wxString said = wxString("Error adding OSC client ") + refused;
        EXPECT_NE(errors.Find(said), wxNOT_FOUND) << said << "\n" << errors;
        wxString counted = errors;
        EXPECT_EQ(counted.Replace(said, said), 1u) << said << "\n" << errors;
    }
    frame->SaveConfig();
    auto file = ReadBack();
    EXPECT_EQ(file->ReadLong("/OSC/nb_client", -1), 2);
    EXPECT_EQ(file->Read("/OSC/nb_client_0"), "127.0.0.1:7001");
    EXPECT_EQ(file->Read("/OSC/nb_client_1"), "127.0.0.1:7003");
}

TEST_F(FrameConfigTest, UnreadableFileLeavesDefaultsAndIsNotOverwritten)
{
    // A folder where the file should be: no user can read it as a file, root included.
    ASSERT_TRUE(std::filesystem::create_directories(ConfigPath()));
    std::ofstream(ConfigPath() + "/inside") << "kept";
    TrackerFrame* frame = MakeFrame();
    EXPECT_EQ(frame->m_wiiTimeOut, 3);
    EXPECT_TRUE(frame->m_showDelta);
    EXPECT_NE(frame->m_errorsText->GetValue().Find("Cannot read configuration file"), wxNOT_FOUND);
    frame->SaveConfig();
    DestroyFrame();
    EXPECT_TRUE(std::filesystem::is_directory(ConfigPath()));
    std::ifstream inside(ConfigPath() + "/inside");
    std::string text;
    inside >> text;
    EXPECT_EQ(text, "kept");
}

TEST_F(FrameConfigTest, WindowPlacementIsRestoredAndKeptOnScreen)
{
    const wxRect screen = wxDisplay(0u).GetGeometry();
    const auto placed = [&](int x, int y) {
        WriteConfig("Version=1.30\n[MainFrame]\nx=" + std::to_string(x) +
                    "\ny=" + std::to_string(y) + "\nw=600\nh=600\nIsMaximized=0\n");
        TrackerFrame* frame = MakeFrame();
        const wxPoint position = frame->GetPosition();
        EXPECT_FALSE(frame->IsMaximized());
        DestroyFrame();
        return position;
    };
    EXPECT_EQ(placed(60, 70), wxPoint(60, 70));
    // Beyond the displays: back to 50.
    EXPECT_EQ(placed(screen.width + 500, 10), wxPoint(50, 10));
    EXPECT_EQ(placed(10, screen.height + 1), wxPoint(10, 50));
    // At the very right edge, far to the left or above: the caption must still
    // come back onto a display.
    for (const wxPoint& off : {wxPoint(screen.width, 10), wxPoint(-5000, 10), wxPoint(10, -4000)}) {
        const wxPoint at = placed(off.x, off.y);
        EXPECT_EQ(at, wxPoint(screen.x + 50, screen.y + 50)) << off.x << "," << off.y;
    }
}

TEST_F(FrameConfigTest, WindowPlacementIsSavedAtExit)
{
    TrackerFrame* frame = MakeFrame();
    const wxPoint firstStart = frame->GetPosition();
    frame->Move(firstStart.x + 70, firstStart.y + 80);
    // Whatever the toolkit and a window manager make of the move, the place the frame
    // holds when it goes is the one kept; their pending answers are taken in first.
    for (int pass = 0; pass < 20; ++pass) {
        RunEvents();
        wxYield();
    }
    const wxPoint at = frame->GetPosition();
    EXPECT_NE(at, firstStart);
    DestroyFrame();
    auto file = ReadBack();
    EXPECT_EQ(file->ReadLong("/MainFrame/x", -1), at.x);
    EXPECT_EQ(file->ReadLong("/MainFrame/y", -1), at.y);
    EXPECT_EQ(file->ReadLong("/MainFrame/IsMaximized", -1), 0);
    EXPECT_EQ(file->ReadLong("/MainFrame/display_count", -1),
              static_cast<long>(wxDisplay::GetCount()));
    EXPECT_GT(file->ReadLong("/MainFrame/w", -1), 0);
}

TEST_F(FrameConfigTest, FileWithoutPlacementGoesToTheDefaultPlace)
{
    // Maximising needs a window manager, which the test display lacks: the place is
    // what can be checked here.
    WriteConfig("Version=1.30\n");
    TrackerFrame* frame = MakeFrame();
    EXPECT_EQ(frame->GetPosition(), wxPoint(50, 50));
}

}  // namespace

// A save cut short left the settings in its temporary file and none in place: the next
// start took the defaults without a word and wrote them back at exit. A whole copy is
// taken; a cut one is removed and the loss said; the exit then saves in place.
TEST_F(FrameConfigTest, ASaveCutShortIsTakenWhenWholeOrSaidLost)
{
    ASSERT_TRUE(std::filesystem::create_directories(ConfigDir()));
    const std::string temp = SettingsTempPath(ConfigPath());
    std::ofstream(temp) << "Version=1.30\n[WII]\ntime_out=7\n" << kSettingsEndLine << "\n";
    TrackerFrame* frame = MakeFrame();
    EXPECT_EQ(frame->m_wiiTimeOut, 7);
    EXPECT_NE(frame->m_errorsText->GetValue().Find("the settings are taken from"), wxNOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(temp));
    DestroyFrame();
    EXPECT_EQ(ReadBack()->Read("/WII/time_out", 0L), 7);

    std::filesystem::remove(ConfigPath());
    std::ofstream(temp) << "Version=1.30\n[WII]\ntime_out=5\n[Vi";
    frame = MakeFrame();
    EXPECT_EQ(frame->m_wiiTimeOut, 3);
    EXPECT_NE(frame->m_errorsText->GetValue().Find("The settings were lost"), wxNOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(temp));
    frame->m_wiiTimeOut = 4;
    DestroyFrame();
    EXPECT_EQ(ReadBack()->Read("/WII/time_out", 0L), 4);
    EXPECT_FALSE(std::filesystem::exists(temp));
}
