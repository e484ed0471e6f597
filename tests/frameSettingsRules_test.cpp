#include "frameSettingsRules.h"

#include "serial/serialPort.h"

#include <gtest/gtest.h>
#include <wx/longlong.h>
#include <wx/variant.h>

#include <cmath>
#include <string>

namespace {

// Stores v through the named rule into a fresh int that starts at start.
int StoreInt(const char* name, const wxVariant& v, int start, bool* stored = nullptr)
{
    const SettingRule* rule = FindSettingRule(name);
    EXPECT_NE(rule, nullptr) << name;
    int target = start;
    const bool ok = rule && StoreSettingValue(*rule, {rule->key, &target, {}}, v);
    if (stored) *stored = ok;
    return target;
}

TEST(FrameSettingsRulesTest, IntegerChecksClampReplaceOrKeep)
{
    const struct {
        const char* name;
        long value;
        int expected;
    } cases[] = {
        {"WII_TIMEOUT", 0, 1},
        {"WII_TIMEOUT", 7, 7},
        {"max_wii_devices", 5, 1},
        {"max_wii_devices", 0, 1},
        {"max_wii_devices", 4, 4},
        {"camera_width", 99, 1000},
        {"camera_width", 4000, 4000},
        {"camera_width", 4001, 1000},
        {"camera_height", 100, 100},
        {"camera_rate", 0, 60},
        {"camera_rate", 1000, 1000},
        {"OSC_TIMEOUT", 0, 100},
        {"OSC_TIMEOUT", 501, 100},
        {"OSC_TIMEOUT", 500, 500},
        {"TRIGGER_OUT_BUTTON", -3, 0},
        {"TRIGGER_TIME_OUT", -1, 0},
        {"osc_client_max_timeout", -5, 5},
        {"osc_client_min_timeout", -5, 5},
        {"OSC_PORT_LIST", 65535, 65535},
        {"OSC_CLINE_SERVER_B_PORT", 1, 1},
        {"BIRD_BAUD", 0, 2400},
        {"BIRD_BAUD", 6, 115200},
        {"USB_TRIGGER_BAUD", 2, 9600},
        // The writer queue: only depths a writer can use; others keep the old one.
        {"Acq_buffer", -3, 12345},
        {"Acq_buffer", 29, 12345},
        {"Acq_buffer", 30, 30},
        {"Acq_buffer", 100000, 100000},
        {"Acq_buffer", 100001, 12345},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StoreInt(c.name, wxVariant(c.value), 12345), c.expected)
            << c.name << " " << c.value;
}

TEST(FrameSettingsRulesTest, RefusedValuesStoreNothing)
{
    const struct {
        const char* name;
        long value;
    } cases[] = {
        {"BIRD_SLEEP", 10000},      {"BIRD_SLEEP", -1},           {"BIRD_BAUD", 7},
        {"BIRD_BAUD", -1},          {"USB_TRIGGER_BAUD", 9},      {"vrpn_listening_port", 0},
        {"OSC_TRIGGER_IN_PORT", 0}, {"OSC_TRIGGER_OUT_PORT", -4}, {"OSC_TRIGGER_OUT_PORT", 70000},
        {"OSC_PORT_LIST", -5},      {"OSC_PORT_SEND", 65536},     {"OSC_CLINE_SERVER_B_PORT", -5},
        {"OSC_CLINE_SERVER_L_PORT", 0}, {"vrpn_listening_port", 65536},
    };
    for (const auto& c : cases) {
        bool stored = true;
        EXPECT_EQ(StoreInt(c.name, wxVariant(c.value), 321, &stored), 321) << c.name;
        EXPECT_FALSE(stored) << c.name;
        // A port refused is said; the others as before.
        const bool isPort = wxString(c.name).Contains("PORT") || wxString(c.name).Contains("port");
        EXPECT_EQ(SettingRefusal(*FindSettingRule(c.name)).empty(), !isPort) << c.name;
    }
    bool stored = false;
    EXPECT_EQ(StoreInt("BIRD_SLEEP", wxVariant(9999L), 500, &stored), 9999);
    EXPECT_TRUE(stored);
}

// A trigger's high level stays above its low one; the count-down is 0 to an hour.
TEST(FrameSettingsRulesTest, LevelsAndCountdownOutsideTheirRangeAreRefusedAndSaid)
{
    const struct {
        const char* name;
        double value, other;  // other: the other level
        bool isStored;
    } cases[] = {
        {"USB_TRIGGER_THRESHOLD_HIGH", 1.0, 1.0, false}, {"USB_TRIGGER_THRESHOLD_HIGH", std::nan(""), 1.0, false},
        {"USB_TRIGGER_THRESHOLD_HIGH", 1.5, 1.0, true},  {"OSC_TRIGGER_THRESHOLD_LOW", 255.0, 255.0, false},
        {"OSC_TRIGGER_THRESHOLD_LOW", -3.0, 4.0, true},  {"Capture_pre_time", 3600.5, 0.0, false},
        {"Capture_pre_time", 3600.0, 0.0, true},
    };
    for (const auto& c : cases) {
        const SettingRule* rule = FindSettingRule(c.name);
        double value = 7.0;
        double other = c.other;
        const ConfigVar bound{"", &other, {}};
        EXPECT_EQ(StoreSettingValue(*rule, {rule->key, &value, {}}, wxVariant(c.value), &bound),
                  c.isStored)
            << c.name << " " << c.value;
        EXPECT_FALSE(SettingRefusal(*rule, &bound).empty()) << c.name;
    }
}

TEST(FrameSettingsRulesTest, HugeNumbersSaturateInsteadOfWrapping)
{
    // 2^32 + 200 would wrap to 200, a valid width.
    const wxVariant huge(wxLongLong((static_cast<wxLongLong_t>(1) << 32) + 200));
    EXPECT_EQ(StoreInt("camera_width", huge, 640), 1000);
    EXPECT_EQ(StoreInt("osc_client_max_timeout", wxVariant(static_cast<long>(INT32_MIN)), 0),
              INT32_MAX);
}

TEST(FrameSettingsRulesTest, ClockToleranceAndRangeChoices)
{
    const SettingRule* tolerance = FindSettingRule("clock_accuray");
    ASSERT_NE(tolerance, nullptr);
    for (double refused : {1000.0, -1.0, 5000.0}) {
        double eps = 0.05;
        EXPECT_FALSE(StoreSettingValue(*tolerance, {tolerance->key, &eps, {}}, wxVariant(refused)));
        EXPECT_DOUBLE_EQ(eps, 0.05);
    }
    for (double accepted : {0.0, 999.9}) {
        double eps = 0.05;
        EXPECT_TRUE(StoreSettingValue(*tolerance, {tolerance->key, &eps, {}}, wxVariant(accepted)));
        EXPECT_DOUBLE_EQ(eps, accepted);
    }

    const SettingRule* range = FindSettingRule("BIRD_RANGE");
    ASSERT_NE(range, nullptr);
    float fobRange = 36.0f;
    EXPECT_TRUE(StoreSettingValue(*range, {range->key, &fobRange, {}}, wxVariant(2L)));
    EXPECT_FLOAT_EQ(fobRange, 144.0f);
    EXPECT_FALSE(StoreSettingValue(*range, {range->key, &fobRange, {}}, wxVariant(3L)));
    EXPECT_FLOAT_EQ(fobRange, 144.0f);
    EXPECT_EQ(ChoiceFromFobRange(72.0f), 1);
    EXPECT_EQ(ChoiceFromFobRange(50.0f), -1);
}

TEST(FrameSettingsRulesTest, TextsAndPorts)
{
    const SettingRule* name = FindSettingRule("vrpn_server_name");
    ASSERT_NE(name, nullptr);
    wxString serverName = "Quorvane";
    EXPECT_FALSE(StoreSettingValue(*name, {name->key, &serverName, {}}, wxVariant(wxString())));
    EXPECT_EQ(serverName, "Quorvane");
    EXPECT_TRUE(StoreSettingValue(*name, {name->key, &serverName, {}}, wxVariant("Lab")));
    EXPECT_EQ(serverName, "Lab");

    const SettingRule* data = FindSettingRule("OSC_DATA_NAME");
    ASSERT_NE(data, nullptr);
    std::string tag = "/data";
    EXPECT_TRUE(StoreSettingValue(*data, {data->key, &tag, {}},
                                  wxVariant(wxString::FromUTF8("/donn\xc3\xa9"
                                                               "es"))));
    EXPECT_EQ(tag,
              "/donn\xc3\xa9"
              "es");

    const SettingRule* port = FindSettingRule("USB_TRIGGER_COM_PORT");
    ASSERT_NE(port, nullptr);
    wxString portName = "com1";
    EXPECT_TRUE(StoreSettingValue(*port, {port->key, &portName, {}}, wxVariant(3L)));
    EXPECT_EQ(portName, "com4");
    wxArrayString offered;
    const long pastTheList = GetComPortNames(offered);
    EXPECT_TRUE(StoreSettingValue(*port, {port->key, &portName, {}}, wxVariant(pastTheList)));
    EXPECT_EQ(portName, "");

    wxArrayString names;
    for (int i = 1; i <= 9; ++i) names.Add(wxString::Format("com%d", i));
    EXPECT_EQ(ChoiceFromComPort("com7", names), 6);
    EXPECT_EQ(ChoiceFromComPort("", names), 0);
    EXPECT_EQ(ChoiceFromComPort("COM7", names), 0);
    EXPECT_EQ(ChoiceFromBaud(115200), 6);
    EXPECT_EQ(ChoiceFromBaud(14400), -1);
}

TEST(FrameSettingsRulesTest, NamesAreExactAndCaseSensitive)
{
    EXPECT_NE(FindSettingRule("OSC_CLINE_SERVER_B_PORT"), nullptr);
    EXPECT_NE(FindSettingRule("OSC_CLENT_SERVER_CONF"), nullptr);
    EXPECT_NE(FindSettingRule("clock_accuray"), nullptr);
    EXPECT_EQ(FindSettingRule("clock_accuracy"), nullptr);
    EXPECT_EQ(FindSettingRule("osc_timeout"), nullptr);
    EXPECT_EQ(FindSettingRule("LOCAL_ADDR"), nullptr);
    EXPECT_STREQ(FindSettingRule("OSC_PORT_LIST")->key, "/OSC/istening_port");
    EXPECT_STREQ(FindSettingRule("HEMISPHERE")->key, "/FOB/hemisphre");
    EXPECT_STREQ(FindSettingRule("EXPORT_TXT")->key, "/Capture/extport_analog");
}

}  // namespace
