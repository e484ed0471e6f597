#include "frameViewGridModel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "analog/analogDevice.h"
#include "analog/analogViewFormat.h"
#include "analog/analogViewSettings.h"
#include "analog/testDevice.h"

namespace {

// A device whose own parameters cover every rule of the device section:
// one per type, a choice without choices, a multi-valued one, a missing value
// and a locked one.
class CGridDevice : public CAnalogDevice {
public:
    enum { kText, kFlag, kCount, kGain, kMode, kEmptyChoice, kPair, kMissing, kLocked, kOwn };

    CGridDevice(int channels, const wxString& name) : CAnalogDevice(false)
    {
        m_channelCount = channels;
        m_firstChannelParam = kOwn;
        m_deviceName = name;
        m_ready = true;
        InitChannels();
        ShowAllChannels();
    }
    ~CGridDevice() override { Close(); }

    void* GetParam(int id, int* count, int* type) override
    {
        *count = 1;
        switch (id) {
            case kText:
                *type = PARAM_STRING;
                return &m_text;
            case kFlag:
                *type = PARAM_BOOL;
                return &m_flag;
            case kCount:
                *type = PARAM_INT;
                return &m_count;
            case kGain:
                *type = PARAM_DOUBLE;
                return &m_gain;
            case kMode:
                *type = PARAM_CHOICE;
                return &m_mode;
            case kEmptyChoice:
                *type = PARAM_CHOICE;
                return &m_mode;
            case kPair:
                *count = 2;
                *type = PARAM_DOUBLE;
                return &m_gain;
            case kMissing:
                *type = PARAM_DOUBLE;
                return nullptr;
            case kLocked:
                *type = PARAM_INT;
                return &m_count;
            default:
                return CAnalogDevice::GetParam(id, count, type);
        }
    }
    wxString GetParamLabel(int id) override
    {
        static const char* const kLabels[kOwn] = {"Text",  "Flag", "Count",   "Gain",  "Mode",
                                                  "Empty", "Pair", "Missing", "Locked"};
        return id >= 0 && id < kOwn ? wxString(kLabels[id]) : CAnalogDevice::GetParamLabel(id);
    }
    bool SetParam(const void* value, int id, int count, int type, bool* changed) override
    {
        if (id == kText && type == PARAM_STRING) {
            m_text = *static_cast<const wxString*>(value);
            *changed = !m_text.empty();
            return *changed;
        }
        if (id == kCount && type == PARAM_INT) {
            m_count = *static_cast<const int32_t*>(value);
            *changed = true;
            return true;
        }
        return CAnalogDevice::SetParam(value, id, count, type, changed);
    }
    void OnParamChanged() override { ++m_hookCalls; }
    int GetParamFlags(int id) override { return id == kLocked ? 1 : 0; }
    int GetChoiceCount(int id) override { return id == kMode ? 3 : 0; }
    wxString GetChoiceLabel(int, int k) override { return wxString::Format("choice %d", k); }

    wxString m_text = "hello";
    uint8_t m_flag = 1;
    int32_t m_count = 7;
    double m_gain = 2.5;
    int32_t m_mode = 2;
    int m_hookCalls = 0;
};

std::map<wxString, const CViewGridEntry*> ByName(const CViewGridTable& table)
{
    std::map<wxString, const CViewGridEntry*> names;
    for (const CViewGridEntry& entry : table) {
        EXPECT_TRUE(names.emplace(entry.name, &entry).second) << "duplicate " << entry.name;
    }
    return names;
}

}  // namespace

TEST(ViewGridConversions, DisplayRateAndIntervalFollowTheirLimits)
{
    EXPECT_FLOAT_EQ(FrameRateForInterval(40), 25.0f);
    EXPECT_NEAR(FrameRateForInterval(33), 30.303f, 1e-3);
    EXPECT_EQ(FrameRateForInterval(0), 0.0f);  // never a division by zero
    long interval = -1;
    ASSERT_TRUE(DisplayIntervalForRate(25.0, &interval));
    EXPECT_EQ(interval, 40);
    ASSERT_TRUE(DisplayIntervalForRate(30.0, &interval));
    EXPECT_EQ(interval, 33);
    ASSERT_TRUE(DisplayIntervalForRate(144.0, &interval));
    EXPECT_EQ(interval, 6);
    interval = 99;
    EXPECT_FALSE(DisplayIntervalForRate(9.9, &interval));
    EXPECT_FALSE(DisplayIntervalForRate(145.0, &interval));
    EXPECT_FALSE(DisplayIntervalForRate(std::nan(""), &interval));
    EXPECT_EQ(interval, 99);
}

TEST(ViewGridConversions, SpectrumSizeAndRate)
{
    int32_t size = 0;
    ASSERT_TRUE(DspSizeForTime(1.0, 100.0, &size));
    EXPECT_EQ(size, 100);
    ASSERT_TRUE(DspSizeForTime(0.015, 100.0, &size));
    EXPECT_EQ(size, 2);
    ASSERT_TRUE(DspSizeForTime(1e12, 100.0, &size));
    EXPECT_EQ(size, std::numeric_limits<int32_t>::max());
    size = 5;
    EXPECT_FALSE(DspSizeForTime(0.0, 100.0, &size));
    EXPECT_FALSE(DspSizeForTime(1.0, 0.0, &size));
    EXPECT_FALSE(DspSizeForTime(std::nan(""), 100.0, &size));
    EXPECT_EQ(size, 5);
    EXPECT_EQ(ClampDspRate(80.0, 100.0), 50.0);
    EXPECT_EQ(ClampDspRate(0.0, 100.0), 50.0);
    EXPECT_EQ(ClampDspRate(std::nan(""), 100.0), 50.0);
    EXPECT_EQ(ClampDspRate(12.5, 100.0), 12.5);
}

TEST(ViewGridConversions, IndexAndColourConversions)
{
    EXPECT_EQ(IndexAfterBlank("color_channel 3"), 3);
    EXPECT_EQ(IndexAfterBlank("light_color 0"), 0);
    EXPECT_EQ(IndexAfterBlank("color_channel x"), -1);
    EXPECT_EQ(IndexAfterBlank("color_channel -2"), -1);
    EXPECT_EQ(IndexAfterBlank("color_channel 99999999999999"), -1);
    EXPECT_EQ(IndexAfterBlank("color_channel"), -1);
    EXPECT_EQ(FloatToColourByte(1.0f), 255);
    EXPECT_EQ(FloatToColourByte(0.5f), 127);
    EXPECT_EQ(FloatToColourByte(2.0f), 254);  // 510 keeps its low 8 bits
    EXPECT_EQ(FloatToColourByte(std::nanf("")), 0);
    const float rgb[3] = {0.0f, 0.2f, 1.0f};
    EXPECT_EQ(FloatsToColour(rgb), CColour(0, 51, 255));
}

TEST(ViewGridConversions, ComponentLabelsByDimension)
{
    EXPECT_TRUE(ComponentLabels(1, 1).empty());
    EXPECT_EQ(ComponentLabels(7, 7),
              (std::vector<wxString>{"X", "Y", "Z", "Qw", "Qx", "Qy", "Qz"}));
    EXPECT_EQ(ComponentLabels(6, 6), (std::vector<wxString>{"X", "Y", "Z", "RX", "RY", "RZ"}));
    EXPECT_EQ(ComponentLabels(3, 3),
              (std::vector<wxString>{"Component 1", "Component 2", "Component 3"}));
}

TEST(ViewGridTableTest, AnalogViewSectionsAndRecordingLocks)
{
    CAnalogViewSettings settings;
    settings.dsp_size = 50;
    settings.dsp_use_stat = true;
    wxArrayString types;
    ViewDrawTypeNames(types);
    CViewGridTable table;
    AppendDisplaySection(table, 40, true);
    AppendAnalogViewSections(table, settings, 2, 3, 3, 100.0, false, types);
    auto names = ByName(table);
    EXPECT_FLOAT_EQ(static_cast<float>(names["display_rate"]->floatValue), 25.0f);
    EXPECT_DOUBLE_EQ(names["DSP_time"]->floatValue, 0.5);
    EXPECT_EQ(names["Graph_mode"]->choices.size(), 7u);
    EXPECT_EQ(names["Value_Cmp"]->choices.size(), 3u);
    EXPECT_EQ(names["Value_Cmp"]->intValue, 2);
    EXPECT_TRUE(names["DSP_prop"]->collapsed);
    EXPECT_TRUE(names["Analog_view"]->background.valid);
    for (const CViewGridEntry& entry : table) EXPECT_FALSE(entry.readOnly) << entry.name;

    CViewGridTable recording;
    AppendDisplaySection(recording, 40, true);
    AppendAnalogViewSections(recording, settings, 0, 1, 1, 100.0, true, types);
    names = ByName(recording);
    EXPECT_EQ(names.count("Value_Cmp"), 0u);
    for (const char* open :
         {"grad_x", "grad_y", "draw_poly", "Bk_Color", "Frame_Color", "Grid_Color", "Base_Color",
          "Curve_Color", "surface_color", "send_to_screen", "display_rate"})
        EXPECT_FALSE(names[open]->readOnly) << open;
    for (const char* locked : {"Display_time", "Graph_mode", "auto_reset", "DSP_time", "dsp_window",
                               "dsp_mean", "dsp_db", "dsp_normalize", "dsp_stat", "dsp_rate"})
        EXPECT_TRUE(names[locked]->readOnly) << locked;
    settings.dsp_use_stat = false;
    CViewGridTable noStat;
    AppendAnalogViewSections(noStat, settings, 0, 1, 1, 0.0, true, types);
    EXPECT_FALSE(ByName(noStat)["dsp_rate"]->readOnly);
    EXPECT_EQ(ByName(noStat)["DSP_time"]->floatValue, 0.0);  // no rate: no division by zero
}

TEST(ViewGridTableTest, DeviceSectionFollowsTheParameterRules)
{
    CGridDevice device(3, "dev");
    CViewGridTable table;
    AppendDeviceSections(table, device, false);
    auto names = ByName(table);
    EXPECT_EQ(names["Analog_device"]->label, "dev");
    EXPECT_EQ(names["devText"]->text, "hello");
    EXPECT_TRUE(names["devFlag"]->boolValue);
    EXPECT_EQ(names["devCount"]->intValue, 7);
    EXPECT_TRUE(names["devCount"]->spin);
    EXPECT_DOUBLE_EQ(names["devGain"]->floatValue, 2.5);
    EXPECT_EQ(names["devMode"]->choices.size(), 3u);
    EXPECT_EQ(names["devMode"]->intValue, 2);
    // No choices, two values, no value: no property, and the next ones still come.
    EXPECT_EQ(names.count("devEmpty") + names.count("devPair") + names.count("devMissing"), 0u);
    EXPECT_TRUE(names["devLocked"]->readOnly);
    EXPECT_FALSE(names["devLocked"]->spin);
    // The channel on/off flags stand in the device category, the names in their own.
    const wxString first = device.GetChannelName(0);
    EXPECT_EQ(names["dev" + first]->kind, CViewGridEntry::kBool);
    EXPECT_EQ(names["Analog_channel"]->label, "dev Channel names");
    EXPECT_EQ(names["devAnalog Channel[1] Name"]->text, first);
    EXPECT_EQ(names["color_channel 2"]->colour.alpha, 255);
    EXPECT_EQ(names["color_channel 2"]->label, device.GetChannelName(2));
    EXPECT_EQ(names.count("color_channel 3"), 0u);

    CViewGridTable locked;
    AppendDeviceSections(locked, device, true);
    for (const CViewGridEntry& entry : locked) {
        if (entry.kind != CViewGridEntry::kCategory && entry.kind != CViewGridEntry::kColour) {
            EXPECT_TRUE(entry.readOnly) << entry.name;
        }
    }
}

TEST(ViewGridTableTest, DeviceWithoutChannelsOrOwnParameters)
{
    CGridDevice bare(0, "");
    CViewGridTable table;
    AppendDeviceSections(table, bare, false);
    auto names = ByName(table);
    EXPECT_EQ(names["Analog_device"]->label, "Analog device");
    EXPECT_EQ(names.count("Analog_channel") + names.count("channel_colors"), 0u);
    // A nameless device's properties are found under the names the grid gave them.
    EXPECT_EQ(FindDeviceParam(bare, "Analog deviceGain"), CGridDevice::kGain);

    CTestDevice test(false, false);
    CViewGridTable testTable;
    AppendDeviceSections(testTable, test, false);
    auto testNames = ByName(testTable);
    EXPECT_EQ(testNames["test_deviceCP Stat Level"]->choices.size(), 5u);
}

TEST(ViewGridTableTest, DuplicateParameterNamesStayDistinct)
{
    CGridDevice device(2, "dev");
    int count = 0;
    int type = 0;
    // Two channels of the same name: each on/off flag keeps its own property.
    wxString same = "Same";
    bool changed = false;
    const int firstName = CGridDevice::kOwn + 2;
    ASSERT_TRUE(device.SetParam(&same, firstName, 1, PARAM_STRING, &changed));
    ASSERT_TRUE(device.SetParam(&same, firstName + 1, 1, PARAM_STRING, &changed));
    ASSERT_NE(device.GetParam(CGridDevice::kOwn, &count, &type), nullptr);
    CViewGridTable table;
    AppendDeviceSections(table, device, false);
    ByName(table);  // fails on a duplicate
    EXPECT_EQ(FindDeviceParam(device, "devSame"), CGridDevice::kOwn);
    EXPECT_EQ(FindDeviceParam(device, wxString::Format("devSame#%d", CGridDevice::kOwn + 1)),
              CGridDevice::kOwn + 1);
    EXPECT_EQ(FindDeviceParam(device, "devNothing"), -1);
}

TEST(ViewGridTableTest, ThreeDSectionsNameLightsFromZeroAndCategoriesFromOne)
{
    C3DViewGridValues values;
    values.lights.resize(2);
    values.lights[1] = {1.0f, 2.0f, 3.0f, 1.0f, 1.0f, 0.5f, 0.0f, 1.0f};
    values.eye = {1.0f, 2.0f, 3.0f};
    CViewGridTable table;
    Append3DViewSections(table, values);
    auto names = ByName(table);
    EXPECT_EQ(names["Light_2"]->parent, "3DLights");
    EXPECT_EQ(names["light_color 1"]->parent, "Light_2");
    EXPECT_EQ(names["light_color 1"]->colour, CColour(255, 127, 0));
    EXPECT_EQ(names["Position_2"]->parent, "Light_2");
    EXPECT_DOUBLE_EQ(names["light_position_z 1"]->floatValue, 3.0);
    EXPECT_EQ(names["CAMY"]->parent, "camera_position");
    EXPECT_DOUBLE_EQ(names["CAMY"]->floatValue, 2.0);
    EXPECT_EQ(names["CAMERA_POS"]->label, "Camera ");
    EXPECT_TRUE(names["Plane Position"]->collapsed);
    EXPECT_EQ(names.count("light_color 2"), 0u);
}

TEST(ViewGridTableTest, ThreeDChangesKeepTheirLimits)
{
    C3DViewGridValues values;
    values.lights.resize(2);
    values.drawTime = 4.0;
    CViewGridValue number;
    number.isNumber = true;
    number.number = -1.0;
    EXPECT_EQ(Apply3DGridChange("Display_time", number, values), C3DGridChange::kNone);
    EXPECT_EQ(values.drawTime, 4.0);
    number.number = 0.0;
    EXPECT_EQ(Apply3DGridChange("Display_time", number, values), C3DGridChange::kDrawTime);
    EXPECT_EQ(Apply3DGridChange("object_size", number, values), C3DGridChange::kNone);
    EXPECT_EQ(Apply3DGridChange("Grid number", number, values), C3DGridChange::kNone);
    number.number = 2.25;
    EXPECT_EQ(Apply3DGridChange("CAMY", number, values), C3DGridChange::kEye);
    EXPECT_EQ(values.eye[1], 2.25f);
    EXPECT_EQ(Apply3DGridChange("light_position_x 1", number, values), C3DGridChange::kLights);
    EXPECT_EQ(values.lights[1][0], 2.25f);
    EXPECT_EQ(Apply3DGridChange("light_position_x 2", number, values), C3DGridChange::kNone);
    EXPECT_EQ(Apply3DGridChange("light_position_y x", number, values), C3DGridChange::kNone);
    CViewGridValue colour;
    colour.colour = CColour(255, 0, 51);
    // An out-of-range light still sets the lights up again, and changes no light.
    EXPECT_EQ(Apply3DGridChange("light_color 5", colour, values), C3DGridChange::kLights);
    EXPECT_EQ(values.lights[0][4], 0.0f);
    EXPECT_EQ(Apply3DGridChange("light_color 0", colour, values), C3DGridChange::kLights);
    EXPECT_EQ(values.lights[0][4], 1.0f);
    values.background[3] = 0.5f;
    EXPECT_EQ(Apply3DGridChange("3Dbkcolor", colour, values), C3DGridChange::kBackground);
    EXPECT_FLOAT_EQ(values.background[2], 0.2f);
    EXPECT_EQ(values.background[3], 0.5f);
    EXPECT_EQ(Apply3DGridChange("Unknown", number, values), C3DGridChange::kNone);
}

TEST(ViewGridDeviceChange, TakenValueLeavesTheRestartToTheCaller)
{
    CTestDevice device(false, false);
    ASSERT_TRUE(device.IsRunning());
    CViewGridValue value;
    value.isNumber = true;
    value.number = 12.0;
    const CDeviceParamChange change =
        ApplyDeviceParamChange(device, "test_deviceCP Stat time", value, true);
    EXPECT_TRUE(change.matched);
    EXPECT_TRUE(change.changed);
    EXPECT_EQ(change.type, PARAM_DOUBLE);
    EXPECT_EQ(device.GetCPStatTime(), 12.0);
    EXPECT_FALSE(device.IsRunning());
}

TEST(ViewGridDeviceChange, RefusedValueRestartsTheStoppedDevice)
{
    CTestDevice device(false, false);
    CViewGridValue value;
    value.isNumber = true;
    value.number = 1.0e6;  // beyond the amplitude's limit
    const CDeviceParamChange change =
        ApplyDeviceParamChange(device, "test_deviceAmplitude", value, true);
    EXPECT_TRUE(change.matched);
    EXPECT_FALSE(change.changed);
    EXPECT_TRUE(device.IsRunning());
    value.isNumber = false;  // not a number at all: the device is not asked
    EXPECT_FALSE(ApplyDeviceParamChange(device, "test_deviceOmega", value, true).changed);
    EXPECT_TRUE(device.IsRunning());
}

TEST(ViewGridDeviceChange, LockedAndUnknownParametersChangeNothing)
{
    CGridDevice device(2, "dev");
    device.Start();
    CViewGridValue value;
    value.isNumber = true;
    value.number = 3.0;
    CDeviceParamChange locked = ApplyDeviceParamChange(device, "devLocked", value, true);
    EXPECT_TRUE(locked.matched);
    EXPECT_FALSE(locked.handed);
    EXPECT_FALSE(locked.changed);
    EXPECT_EQ(device.m_count, 7);
    EXPECT_TRUE(device.IsRunning());  // never stopped for a locked parameter
    EXPECT_FALSE(ApplyDeviceParamChange(device, "devPair", value, false).changed);
    EXPECT_FALSE(ApplyDeviceParamChange(device, "otherCount", value, false).matched);
    value.number = 1.0e12;  // no 32-bit integer
    EXPECT_FALSE(ApplyDeviceParamChange(device, "devCount", value, false).changed);
    EXPECT_EQ(device.m_count, 7);
    value.number = 9.0;
    EXPECT_TRUE(ApplyDeviceParamChange(device, "devCount", value, false).changed);
    EXPECT_EQ(device.m_count, 9);
    EXPECT_EQ(device.m_hookCalls, 0);
}

TEST(ViewGridDeviceChange, RenamingRunsTheDeviceHook)
{
    CGridDevice device(1, "dev");
    CViewGridValue value;
    value.text = "renamed";
    const CDeviceParamChange change = ApplyDeviceParamChange(device, "devText", value, false);
    EXPECT_TRUE(change.changed);
    EXPECT_EQ(device.m_text, "renamed");
    EXPECT_EQ(device.m_hookCalls, 1);
    value.text.clear();  // refused by the device: no hook
    EXPECT_FALSE(ApplyDeviceParamChange(device, "devText", value, false).changed);
    EXPECT_EQ(device.m_hookCalls, 1);
}
