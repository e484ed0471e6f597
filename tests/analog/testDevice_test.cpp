#include "analog/testDevice.h"

#include "analog/fakeNetwork.h"
#include "analog/fakeSinks.h"

#include <gtest/gtest.h>
#include <wx/log.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

constexpr double kPi = 3.14159265358979323846;

// A test device whose frames are stepped by hand, as its acquisition thread
// would on each tick.
class CSteppedTestDevice : public CTestDevice {
public:
    explicit CSteppedTestDevice(bool tracker) : CTestDevice(false, tracker) {}
    void Step()
    {
        Generate();
        DispatchFrame();
        CountSample();
    }
    const double* Row() const { return m_values.get(); }
    double MaxValue() const { return m_maxValue; }
    double MinValue() const { return m_minValue; }
    double Amplitude() const { return m_amplitude; }
    double Omega() const { return m_omega; }
    double StatTime() const { return m_cpStatTime; }
    int StatLevel() const { return m_cpStatLevel; }
};

bool SetDouble(CTestDevice& device, int id, double value, bool* changed)
{
    wxLogNull quiet;
    return device.SetParam(&value, id, 1, PARAM_DOUBLE, changed);
}

TEST(TestDeviceTest, BuiltInValuesOfBothKinds)
{
    CSteppedTestDevice analog(false);
    EXPECT_EQ(analog.GetDeviceName(), "test_device");
    EXPECT_EQ(analog.GetDeviceKey(), "test_device");
    EXPECT_EQ(analog.GetDevicePath(), "analog/test");
    EXPECT_EQ(analog.GetDisplayName(), "Test Analog");
    EXPECT_EQ(analog.GetConfigPath(), "/Analog/Test_device");
    EXPECT_EQ(analog.GetChannelCount(), 8);
    EXPECT_EQ(analog.GetChannelDim(), 1);
    EXPECT_EQ(analog.GetParamCount(), 6 + 16);
    EXPECT_EQ(analog.GetRate(), 25.0);
    EXPECT_EQ(analog.MaxValue(), 5.0);
    EXPECT_EQ(analog.GetUnitScale(), 0.0010000000474974513);
    EXPECT_EQ(analog.GetChannelUnit(3), "cm");
    EXPECT_EQ(analog.GetBatteryLevel(), 50);
    EXPECT_TRUE(analog.IsReady());
    EXPECT_TRUE(analog.IsRunning());
    EXPECT_FALSE(analog.CanOffset());
    EXPECT_EQ(analog.GetDeviceType(), 1);
    EXPECT_EQ(analog.GetCPStatLevel(), 4);
    EXPECT_EQ(analog.GetCPStatTime(), 30.0);
    EXPECT_EQ(analog.GetInfo(),
              "Test Analog : test_device\n8 Analog Channel(s)\nDim = 1\nSampling Rate = 25 Hz");

    CSteppedTestDevice tracker(true);
    EXPECT_EQ(tracker.GetDeviceName(), "test_device_3D");
    EXPECT_EQ(tracker.GetDevicePath(), "tracker/test");
    EXPECT_EQ(tracker.GetConfigPath(), "/Analog/Test_device3D");
    EXPECT_EQ(tracker.GetChannelDim(), 7);
    EXPECT_EQ(tracker.GetParamCount(), 3 + 16);
    EXPECT_EQ(tracker.MaxValue(), 500.0);
    EXPECT_EQ(tracker.MinValue(), -500.0);
    EXPECT_EQ(tracker.GetInfo(), "Test Tracker : test_device_3D\n8 Tracker(s)\nSampling Rate = 25 Hz");
    EXPECT_EQ(CTestDevice::MakeDevicePath(true), "tracker/test");
    EXPECT_EQ(CTestDevice::MakeDevicePath(false), "analog/test");
}

TEST(TestDeviceTest, FirstAnalogFramesAndMarkerCadence)
{
    CTestDevice::s_analogNotify = true;
    CCallLog log;
    CFakeNetwork network(&log);
    CSteppedTestDevice device(false);
    device.SeedRandom(12345);
    CFakeView view;
    device.AddView(&view);
    device.Step();
    ASSERT_EQ(view.frames.size(), 1u);
    const std::vector<double>& first = view.frames[0].values;
    ASSERT_EQ(first.size(), 8u);
    EXPECT_DOUBLE_EQ(first[0], 2.5);
    EXPECT_DOUBLE_EQ(first[1], 2.75 * std::sin(kPi / 4.0));
    EXPECT_DOUBLE_EQ(first[2], 3.0 * std::cos(kPi / 2.0));
    EXPECT_DOUBLE_EQ(first[5], 3.75 * std::sin(5.0 * kPi / 4.0));
    const double maxStep = std::sqrt(2.0) / (2.0 * 5.0);
    EXPECT_GE(first[6], -maxStep);
    EXPECT_LT(first[6], maxStep);
    EXPECT_GE(first[7], -maxStep);
    EXPECT_LT(first[7], maxStep);
    EXPECT_EQ(view.frames[0].sample, 0u);
    EXPECT_EQ(view.frames[0].timeSec, 0.0);
    for (int i = 1; i <= 60; ++i) device.Step();
    EXPECT_EQ(view.frames[25].timeSec, 1.0);
    EXPECT_EQ(device.GetMarkerLabels(), std::vector<wxString>({"E 1", "E 2"}));
    EXPECT_EQ(device.GetMarkerFrames(), std::vector<uint32_t>({0, 50}));
    EXPECT_EQ(device.GetMarkerCodes(), std::vector<uint32_t>({0, 0}));
    // The notify flag alternates: E 1 announced itself, E 2 did not.
    EXPECT_TRUE(CTestDevice::s_analogNotify.load());
    int events = 0;
    for (const std::string& call : log.calls) events += call.rfind("event:", 0) == 0 ? 1 : 0;
    EXPECT_EQ(events, 1);
    EXPECT_NE(std::find(log.calls.begin(), log.calls.end(), "event:test_device:E 1"), log.calls.end());
    EXPECT_EQ(network.eventTimes, std::vector<double>({0.0}));
    // A reset restarts the numbering and the walks.
    device.Reset();
    EXPECT_TRUE(device.GetMarkerLabels().empty());
    device.Step();
    EXPECT_EQ(device.GetMarkerLabels(), std::vector<wxString>({"E 1"}));
    device.RemoveView(&view);
}

TEST(TestDeviceTest, FirstTrackerFrame)
{
    CSteppedTestDevice device(true);
    CFakeView3D view;
    device.AddView3D(&view);
    device.Step();
    ASSERT_EQ(view.frames.size(), 1u);
    const std::vector<double>& row = view.frames[0].values;
    ASSERT_EQ(row.size(), 56u);
    const double sensor0[] = {250.0, -0.0, 0.0, 1.0, 0.0, 0.0, 0.0};
    const double sensor1[] = {-252.5, -0.0, 100.0, 1.0, 0.0, 0.0, 0.0};
    for (int k = 0; k < 7; ++k) {
        EXPECT_DOUBLE_EQ(row[k], sensor0[k]) << k;
        EXPECT_DOUBLE_EQ(row[7 + k], sensor1[k]) << k;
    }
    EXPECT_DOUBLE_EQ(row[2 * 7 + 0], 255.0);     // sensor 2: x positive again
    EXPECT_DOUBLE_EQ(row[2 * 7 + 2], 200.0);     // z grows by 2 A per sensor
    EXPECT_EQ(device.GetMarkerLabels(), std::vector<wxString>({"E 1"}));
    device.RemoveView3D(&view);
}

TEST(TestDeviceTest, ParameterLimits)
{
    CSteppedTestDevice analog(false);
    CSteppedTestDevice tracker(true);
    bool changed = true;
    EXPECT_TRUE(SetDouble(analog, 1, 200.0, &changed));
    EXPECT_FALSE(changed);
    EXPECT_EQ(analog.Amplitude(), 5.0);
    SetDouble(tracker, 1, 200.0, &changed);
    EXPECT_EQ(tracker.Amplitude(), 50.0);
    SetDouble(analog, 1, 50.0, &changed);
    EXPECT_EQ(analog.Amplitude(), 5.0);
    SetDouble(tracker, 1, 50.0, &changed);
    EXPECT_EQ(tracker.Amplitude(), 50.0);
    SetDouble(analog, 1, 0.05, &changed);
    SetDouble(tracker, 1, 0.05, &changed);
    EXPECT_EQ(analog.Amplitude(), 5.0);
    EXPECT_EQ(tracker.Amplitude(), 50.0);
    SetDouble(analog, 1, 8.0, &changed);
    SetDouble(tracker, 1, 8.0, &changed);
    EXPECT_EQ(analog.MaxValue(), 8.0);
    EXPECT_EQ(analog.MinValue(), -8.0);
    EXPECT_EQ(tracker.MaxValue(), 80.0);
    EXPECT_EQ(tracker.MinValue(), -80.0);

    SetDouble(analog, 2, 0.0, &changed);
    SetDouble(analog, 2, 40.0, &changed);
    EXPECT_EQ(analog.Omega(), 2.0 * kPi);
    SetDouble(analog, 2, 0.3141592653589793, &changed);
    EXPECT_EQ(analog.Omega(), 0.3141592653589793);
    SetDouble(analog, 2, 31.41592653589793, &changed);
    EXPECT_EQ(analog.Omega(), 31.41592653589793);

    const int32_t level = 7;
    EXPECT_TRUE(analog.SetParam(&level, 5, 1, PARAM_CHOICE, &changed));
    EXPECT_TRUE(changed);
    EXPECT_EQ(analog.StatLevel(), 0);
    SetDouble(analog, 4, 2.0, &changed);
    EXPECT_TRUE(changed);
    EXPECT_EQ(analog.StatTime(), 30.0);
    // A value of the wrong type changes nothing.
    const int32_t wrong = 3;
    EXPECT_TRUE(analog.SetParam(&wrong, 1, 1, PARAM_INT, &changed));
    EXPECT_EQ(analog.Amplitude(), 8.0);
    EXPECT_TRUE(analog.IsRunning());  // restarted after each change
}

TEST(TestDeviceTest, DeviceNameRefusesEmptyAndIsMadeFileSafe)
{
    CSteppedTestDevice device(false);
    bool changed = false;
    const wxString empty;
    {
        wxLogNull quiet;
        EXPECT_TRUE(device.SetParam(&empty, 0, 1, PARAM_STRING, &changed));
    }
    EXPECT_FALSE(changed);
    EXPECT_EQ(device.GetDeviceName(), "test_device");
    const wxString risky = "../up\\and/over\x01";
    EXPECT_TRUE(device.SetParam(&risky, 0, 1, PARAM_STRING, &changed));
    EXPECT_TRUE(changed);
    EXPECT_EQ(device.GetDeviceName(), risky);
    EXPECT_EQ(device.GetFileSafeName(), ".._up_and_over_");
    const wxString dots = "..";
    EXPECT_TRUE(device.SetParam(&dots, 0, 1, PARAM_STRING, &changed));
    EXPECT_EQ(device.GetFileSafeName(), "_..");
    int count = 0;
    int type = 0;
    const auto* name = static_cast<const wxString*>(device.GetParam(0, &count, &type));
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(type, PARAM_STRING);
    EXPECT_EQ(*name, "..");
}

TEST(TestDeviceTest, ChoicesAndCentreOfPressureIndices)
{
    CSteppedTestDevice analog(false);
    EXPECT_EQ(analog.GetChoiceCount(5), 5);
    EXPECT_EQ(analog.GetChoiceCount(4), 0);
    EXPECT_EQ(analog.GetChoiceLabel(5, 2), "97.5 %");
    EXPECT_EQ(analog.GetChoiceLabel(5, 5), "???");
    EXPECT_EQ(analog.GetChoiceLabel(4, 0), "???");
    EXPECT_EQ(analog.GetParamLabel(3), "Show CP stat");
    EXPECT_EQ(analog.GetParamKey(4), "CP Stat time");
    EXPECT_EQ(analog.GetCPXIndex(), 6);
    EXPECT_EQ(analog.GetCPYIndex(), 7);
    bool changed = false;
    const uint8_t off = 0;
    ASSERT_TRUE(analog.SetParam(&off, 6 + 2, 1, PARAM_BOOL, &changed));
    EXPECT_EQ(analog.GetCPXIndex(), 5);
    EXPECT_EQ(analog.GetCPYIndex(), 6);
    ASSERT_TRUE(analog.SetParam(&off, 6 + 6, 1, PARAM_BOOL, &changed));
    EXPECT_EQ(analog.GetCPXIndex(), -1);

    CSteppedTestDevice tracker(true);
    EXPECT_EQ(tracker.GetCPXIndex(), -1);
    EXPECT_EQ(tracker.GetCPYIndex(), -1);
    int count = 0;
    int type = 0;
    const void* flag = tracker.GetParam(3, &count, &type);
    EXPECT_NE(flag, nullptr);
    EXPECT_EQ(type, PARAM_BOOL);  // channel 0's switch, not "Show CP stat"
    EXPECT_EQ(tracker.GetParamKey(3), "Channel[0].ON");
}

TEST(TestDeviceTest, EachDeviceDrawsFromItsOwnGenerator)
{
    // Two devices seeded alike walk alike however their frames interleave.
    CSteppedTestDevice a(false);
    CSteppedTestDevice b(false);
    a.SeedRandom(7);
    b.SeedRandom(7);
    std::vector<double> walkA;
    std::vector<double> walkB;
    for (int i = 0; i < 5; ++i) {
        a.Step();
        walkA.push_back(a.Row()[6]);
    }
    for (int i = 0; i < 5; ++i) {
        b.Step();
        a.Step();
        walkB.push_back(b.Row()[6]);
    }
    EXPECT_EQ(walkA, walkB);
}

}  // namespace
