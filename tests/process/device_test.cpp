#include "process/device.h"

#include "fakeDevice.h"
#include "process/messageQueue.h"

#include <gtest/gtest.h>
#include <wx/log.h>

#include <cmath>
#include <limits>

namespace {

void DrainMessages() { g_messages.Drain(); }

}  // namespace

TEST(DeviceRowTest, ChannelAndTrackerValuesStayInsideTheRow)
{
    CFakeDevice analog("analog", 100.0, false, 3, 1);
    EXPECT_TRUE(analog.SetChannelValue(1.5, 2));
    EXPECT_DOUBLE_EQ(analog.Values()[2], 1.5);
    EXPECT_FALSE(analog.SetChannelValue(1.0, 3));
    EXPECT_FALSE(analog.SetChannelValue(1.0, -1));
    const double pose[7] = {1, 2, 3, 0.1, 0.2, 0.3, 0.9};
    EXPECT_FALSE(analog.SetTrackerValue(pose, 0, false));  // not a tracker

    CFakeDevice tracker("tracker", 100.0, false, 2, 7);
    EXPECT_TRUE(tracker.IsTracker());
    ASSERT_TRUE(tracker.SetTrackerValue(pose, 1, true));
    const double expected[7] = {1, 2, 3, 0.9, 0.1, 0.2, 0.3};
    for (int i = 0; i < 7; ++i)
        EXPECT_DOUBLE_EQ(tracker.Values()[7 + i], expected[i]);
    ASSERT_TRUE(tracker.SetTrackerValue(pose, 0, false));
    for (int i = 0; i < 7; ++i)
        EXPECT_DOUBLE_EQ(tracker.Values()[i], pose[i]);
    // A sensor index past the row is refused, not written beyond it.
    EXPECT_FALSE(tracker.SetTrackerValue(pose, 2, false));
    EXPECT_FALSE(tracker.SetTrackerValue(pose, -1, false));
    EXPECT_FALSE(tracker.SetTrackerValue(nullptr, 0, false));
}

TEST(DeviceRowTest, EnabledValuesFollowTheChannelFlags)
{
    CFakeDevice none("none", 100.0, false, 0, 1);
    EXPECT_EQ(none.Values(), nullptr);
    EXPECT_EQ(none.CopyEnabledValues(), 0);

    CFakeDevice tracker("tracker", 100.0, false, 3, 7);
    for (int i = 0; i < 21; ++i)
        tracker.Values()[i] = i;
    tracker.ChannelOn()[1] = 0;
    ASSERT_EQ(tracker.CopyEnabledValues(), 14);
    EXPECT_DOUBLE_EQ(tracker.Output()[6], 6.0);
    EXPECT_DOUBLE_EQ(tracker.Output()[7], 14.0);
    for (int c = 0; c < 3; ++c)
        tracker.ChannelOn()[c] = 0;
    EXPECT_EQ(tracker.CopyEnabledValues(), 0);
    EXPECT_EQ(tracker.OutputCount(), 0);
}

TEST(DeviceOffsetTest, OffsetsCoverEveryValueOfTheRow)
{
    CFakeDevice tracker("tracker", 10.0, false, 2, 7);
    tracker.SetOffsetTime(0.2);  // two samples at 10 Hz
    tracker.StartOffset();
    EXPECT_TRUE(tracker.IsOffsetRunning());
    for (int sample = 0; sample < 2; ++sample) {
        for (int i = 0; i < 14; ++i)
            tracker.Values()[i] = 10.0 * i + sample;  // mean 10 i + 0.5
        tracker.AccumulateOffset();
    }
    EXPECT_FALSE(tracker.IsOffsetRunning());
    for (int i = 0; i < 14; ++i)
        tracker.Values()[i] = 10.0 * i + 1.5;
    tracker.SubtractOffset();
    for (int i = 0; i < 14; ++i)
        EXPECT_DOUBLE_EQ(tracker.Values()[i], 1.0) << "value " << i;
}

TEST(DeviceOffsetTest, RateZeroEndsAveragingWithoutDividing)
{
    CFakeDevice device("zero", 0.0, false, 1, 1);
    device.StartOffset();
    device.Values()[0] = 4.0;
    device.AccumulateOffset();
    EXPECT_FALSE(device.IsOffsetRunning());
    device.Values()[0] = 5.0;
    device.SubtractOffset();
    EXPECT_DOUBLE_EQ(device.Values()[0], 1.0);
}

TEST(DeviceCounterTest, SampleTimeAndCounterWrap)
{
    CFakeDevice device("counter", 25.0, false);
    EXPECT_DOUBLE_EQ(device.GetSampleTime(), 0.0);
    device.CountSample();
    EXPECT_DOUBLE_EQ(device.GetSampleTime(), 0.0);
    device.CountSample();
    EXPECT_DOUBLE_EQ(device.GetSampleTime(), 1.0 / 25.0);
    device.SetSampleCounter(4294967293LL);
    device.CountSample();
    EXPECT_EQ(device.GetSampleCounter(), 0);
    EXPECT_DOUBLE_EQ(device.GetFrameCount(), 0.0);
    EXPECT_EQ(device.ResetCalls(), 1);
}

TEST(DeviceValidatorTest, OutOfRangeAndEmptyValuesFallBackWithAWarning)
{
    CFakeDevice device("validators", 25.0, false);
    wxLogNull quiet;
    EXPECT_DOUBLE_EQ(device.check_real_value(5.0, 1.0, 0.0, 10.0, "x"), 5.0);
    EXPECT_DOUBLE_EQ(device.check_real_value(11.0, 1.0, 0.0, 10.0, "x"), 1.0);
    EXPECT_DOUBLE_EQ(device.check_real_value(std::nan(""), 1.0, 0.0, 10.0, "x"), 1.0);
    EXPECT_EQ(device.check_long_value(-1, 3, 0, 10, "n"), 3);
    EXPECT_EQ(device.check_long_value(10, 3, 0, 10, "n"), 10);
    EXPECT_EQ(device.check_string_value("", "fallback", "s"), "fallback");
    EXPECT_EQ(device.check_string_value("kept", "fallback", "s"), "kept");
}

TEST(DeviceOutputTest, OscAndVrpnGoThroughTheInstalledServices)
{
    CRecordingNetwork network;
    CFakeDevice analog("board", 100.0, false, 3, 1);
    analog.Values()[0] = 1.0;
    analog.Values()[1] = 2.0;
    analog.Values()[2] = 3.0;
    analog.ChannelOn()[1] = 0;
    analog.CopyEnabledValues();
    EXPECT_FALSE(analog.SendOscData(0.5));  // server not started
    network.m_oscStarted = true;
    EXPECT_TRUE(analog.IsOscServerRunning());
    EXPECT_TRUE(analog.SendOscData(0.5));
    EXPECT_EQ(network.m_dataName, "board");
    EXPECT_EQ(network.m_data, (std::vector<double>{1.0, 3.0}));
    EXPECT_DOUBLE_EQ(network.m_dataTime, 0.5);
    analog.SetName("board2");
    EXPECT_TRUE(analog.SendOscData(0.6));
    EXPECT_EQ(network.m_dataName, "board2");
    analog.SetName("board");
    EXPECT_TRUE(analog.SendOscEvent("E 1", 2.0));
    ASSERT_EQ(network.m_events.size(), 1u);
    EXPECT_EQ(network.m_events[0], "board|E 1|2.000000");

    network.m_nextIndex = 4;
    analog.AddToVrpn(true);
    ASSERT_EQ(network.m_added.size(), 1u);
    EXPECT_EQ(network.m_added[0], (std::vector<int>{1, 3, 0}));
    analog.SendVrpnData();
    EXPECT_EQ(network.m_analogIndex, 4);
    EXPECT_EQ(network.m_analog, (std::vector<double>{1.0, 2.0, 3.0}));
    EXPECT_EQ(network.m_mainloops.load(), 1);
    analog.SendVrpnButton(2, 1, false);
    EXPECT_TRUE(network.m_buttons.empty());
    analog.SendVrpnButton(2, 1, true);
    EXPECT_EQ(network.m_buttons.size(), 1u);

    CFakeDevice tracker("wand", 100.0, false, 2, 7);
    tracker.AddToVrpn(true);
    EXPECT_EQ(network.m_added[1], (std::vector<int>{1, 0, 2}));
    tracker.SendVrpnData();
    EXPECT_EQ(network.m_tracker.size(), 14u);

    CFakeDevice empty("empty", 100.0, false, 0, 1);
    empty.AddToVrpn(true);
    EXPECT_EQ(network.m_added.size(), 2u);
    EXPECT_FALSE(empty.SendOscData(0.0));
    analog.Close();
    ASSERT_FALSE(network.m_removed.empty());
    EXPECT_EQ(network.m_removed.back(), 4);
}

TEST(DeviceOutputTest, WithoutServicesNothingIsSent)
{
    CFakeDevice analog("alone", 100.0, false, 1, 1);
    analog.CopyEnabledValues();
    EXPECT_FALSE(analog.IsOscServerRunning());
    EXPECT_FALSE(analog.SendOscData(0.0));
    EXPECT_FALSE(analog.SendOscEvent("x", 0.0));
    testing::internal::CaptureStderr();
    analog.AddToVrpn(true);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("<VRPN> Error adding device"),
              std::string::npos);
}

namespace {

// Checks the device's own clock in a loop until it ticked count times; each pass then
// spins passUs. Returns the reading time of each tick.
std::vector<double> TickTimes(CFakeDevice& device, int count, double passUs)
{
    std::vector<double> times;
    const double limitUs = GetProgramTime() + 20.0e6;  // bounds a broken build only
    while (static_cast<int>(times.size()) < count && GetProgramTime() < limitUs) {
        if (device.CheckClock())
            times.push_back(GetProgramTime());
        const double until = GetProgramTime() + passUs;
        while (GetProgramTime() < until) {
        }
    }
    return times;
}

}  // namespace

TEST(DevicePacingTest, SlowChecksDoNotLoseThePassTime)
{
    // Each pass takes 15 % of the period: tick k stays due at start + k x period, where
    // taking the tick time from the reading would lose about half a pass on every tick.
    CFakeDevice device("paced", 1000.0, false);
    device.ResetClockNow();
    const std::vector<double> times = TickTimes(device, 320, 150.0);
    ASSERT_EQ(times.size(), 320u);
    EXPECT_NEAR(SamplesWithin(times, 300000.0, 1000.0), 300.0, 1.0);
}

TEST(DevicePacingTest, FractionalPeriodsAreKeptOnBothClocks)
{
    for (bool precise : {false, true}) {
        CFakeDevice device("precise", 300.0, false, 1, 1, precise);
        device.ResetClockNow();
        const std::vector<double> times = TickTimes(device, 70, 0.0);
        ASSERT_EQ(times.size(), 70u);
        // 300 Hz, not 333 Hz: 60 ticks in 200 ms.
        EXPECT_NEAR(SamplesWithin(times, 200000.0, 300.0), 60.0, 1.0) << (precise ? "precise" : "program");
    }
}

TEST(DevicePacingTest, BadRateNeverTicksAndReportsOnce)
{
    DrainMessages();
    for (double rate : {0.0, std::numeric_limits<double>::quiet_NaN(), -5.0}) {
        CFakeDevice device("bad", rate, false);
        device.ResetClockNow();
        for (int i = 0; i < 1000; ++i)
            EXPECT_FALSE(device.CheckClock());
        EXPECT_TRUE(std::isnan(device.GetTimeToNextSampleUs()));
        const auto messages = g_messages.Drain();
        ASSERT_EQ(messages.size(), 1u) << rate;
        EXPECT_EQ(messages[0].severity, Severity::Error);
        EXPECT_NE(messages[0].text.find("bad"), std::string::npos);
        EXPECT_DOUBLE_EQ(device.GetSampleTime(), 0.0);
    }
}

TEST(DevicePacingTest, FallingASecondBehindRestartsTheScheduleOnce)
{
    DrainMessages();
    CFakeDevice device("stalled", 100.0, false);
    device.ResetClockNow();
    ASSERT_TRUE(device.CheckClock());
    // Stand in for a suspended machine: nobody checks the clock for 1.1 s.
    const double until = GetProgramTime() + 1.1e6;
    while (GetProgramTime() < until) {
    }
    EXPECT_TRUE(device.CheckClock());
    EXPECT_EQ(device.GetReanchorCount(), 1);
    // No burst of the 110 missed ticks: the next one is a period away.
    int burst = 0;
    for (int i = 0; i < 100 && device.CheckClock(); ++i)
        ++burst;
    EXPECT_LE(burst, 1);  // one more only if this thread lost the processor for a period
    EXPECT_EQ(g_messages.Drain().size(), 1u);
}

TEST(DeviceOwnerTest, LogGoesThroughTheQueueWithAnOwnerAndToStdoutWithout)
{
    DrainMessages();
    CFakeDevice device("logger", 25.0, false);
    testing::internal::CaptureStdout();
    device.Log("plain text\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "plain text\n");
    CRecordingOwner owner;
    device.SetOwner(&owner);
    device.Log("to the frame");
    const auto messages = g_messages.Drain();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].severity, Severity::Info);
    EXPECT_EQ(messages[0].text, "to the frame");
    EXPECT_TRUE(owner.m_messages.empty());  // the window is the GUI thread's business
    owner.RequestCaptureStop();
    EXPECT_TRUE(owner.TakeCaptureStopRequest());
    EXPECT_FALSE(owner.TakeCaptureStopRequest());
}
