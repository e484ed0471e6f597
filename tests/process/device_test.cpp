#include "process/device.h"

#include "fakeDevice.h"
#include "process/messageQueue.h"

#include <gtest/gtest.h>
#include <wx/log.h>

#include <cmath>
#include <limits>
#include <random>

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
    // The live services now reach a real VRPN server: "no services" is installed.
    CNoNetworkServices none;
    SetNetworkServices(&none);
    CFakeDevice analog("alone", 100.0, false, 1, 1);
    analog.CopyEnabledValues();
    EXPECT_FALSE(analog.IsOscServerRunning());
    EXPECT_FALSE(analog.SendOscData(0.0));
    EXPECT_FALSE(analog.SendOscEvent("x", 0.0));
    testing::internal::CaptureStderr();
    analog.AddToVrpn(true);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("<VRPN> Error adding device"),
              std::string::npos);
    SetNetworkServices(nullptr);
}

namespace {

// A device whose clocks are simulated: each check happens at a time the test chooses.
class CSimulatedClockDevice : public CFakeDevice {
public:
    CSimulatedClockDevice(double rateHz, bool precise)
        : CFakeDevice("simulated", rateHz, false, 1, 1, precise)
    {
        ResetClockNow();
    }
    double m_nowUs = 0.0;

protected:
    double ReadProgramClockUs() override { return m_nowUs; }
    void ReadPreciseClock(TimeVal* out) override
    {
        // An arbitrary origin, to cross second boundaries.
        const auto us = static_cast<int64_t>(m_nowUs) + 1700000000LL * 1000000 + 999000;
        out->tv_sec = us / 1000000;
        out->tv_usec = us % 1000000;
    }
};

// Checks the clock at the given step until untilUs; returns the number of ticks.
int CountTicks(CSimulatedClockDevice& device, double stepUs, double untilUs)
{
    int ticks = 0;
    for (; device.m_nowUs <= untilUs; device.m_nowUs += stepUs)
        ticks += device.CheckClock() ? 1 : 0;
    return ticks;
}

}  // namespace

TEST(DevicePacingTest, SlowChecksDoNotLoseThePassTime)
{
    // Checks 333 to 433 us apart: tick k stays due at k x 1000 us, where taking the tick
    // time from the reading would lose about a third of a period on every tick.
    CSimulatedClockDevice device(1000.0, false);
    std::mt19937 random(12345);
    std::uniform_real_distribution<double> jitter(0.0, 100.0);
    int ticks = 0;
    while (device.m_nowUs < 300000.0) {
        ticks += device.CheckClock() ? 1 : 0;
        device.m_nowUs += 333.0 + jitter(random);
    }
    // Ticks due at 0, 1000, ... up to the last check, which came before 300 000 us.
    EXPECT_NEAR(ticks, 300, 1) << "seed 12345";
    EXPECT_NEAR(device.GetElapsedTime(), 0.3, 0.001);
    EXPECT_LT(device.GetClockDeviation(), 434.0);
}

TEST(DevicePacingTest, FractionalPeriodsAreKeptOnBothClocks)
{
    // 300 Hz ticks every 3333.3 us, not every 3000 us (which would give 333 Hz).
    CSimulatedClockDevice program(300.0, false);
    EXPECT_EQ(CountTicks(program, 10.0, 199995.0), 60);  // due at 0 .. 196 667 us
    CSimulatedClockDevice precise(300.0, true);
    EXPECT_EQ(CountTicks(precise, 10.0, 199995.0), 59);  // the first one period later
    EXPECT_NEAR(precise.GetElapsedTime(), 0.2, 0.001);
    // A rate above 1000 Hz no longer ticks on every check.
    CSimulatedClockDevice fast(2500.0, false);
    EXPECT_EQ(CountTicks(fast, 1.0, 99999.0), 250);
}

TEST(DevicePacingTest, ClockRestartedAtAnInstantGoneByHasItsFirstTickDueThenOnBothClocks)
{
    // A trial's devices are reset one after the other and all restart from one instant:
    // a reset 7.5 ms after it still has tick 0 due at it, the ticks since caught up at
    // once, and every later tick k at the instant + k periods; a reset before the
    // first tick (a player rewinding) keeps the instant, one after it does not.
    for (const bool precise : {false, true}) {
        SCOPED_TRACE(precise ? "precise clock" : "program clock");
        CSimulatedClockDevice device(400.0, precise);  // 2500 us
        device.m_nowUs = 1000000.0;
        CountTicks(device, 100.0, 1003000.0);
        device.SetClockStart(1010000.0);
        device.m_nowUs = 1017500.0;
        device.ResetClock();
        device.ResetClock();
        // Due at 1010 000, 1012 500, 1015 000, 1017 500: all at once.
        int atOnce = 0;
        while (device.CheckClock()) ++atOnce;
        EXPECT_EQ(atOnce, 4);
        EXPECT_EQ(CountTicks(device, 10.0, 1109995.0), 36);  // 1020 000 .. 1107 500
        device.m_nowUs = 1200000.0;
        device.ResetClock();  // after the first tick: from now, as ever
        const int later = CountTicks(device, 10.0, 1209995.0);
        EXPECT_EQ(later, precise ? 3 : 4) << "no catching up of the trial before";
    }
}

TEST(DevicePacingTest, RateChangeGoesOnFromTheLastTick)
{
    CSimulatedClockDevice device(100.0, false);
    EXPECT_EQ(CountTicks(device, 10.0, 95000.0), 10);  // 0 .. 90 ms
    device.SetRate(200.0);
    EXPECT_EQ(CountTicks(device, 10.0, 195000.0), 21);  // 95 .. 195 ms every 5 ms
    EXPECT_NEAR(device.GetTimeToNextSampleUs(), 200000.0 - device.m_nowUs, 1e-6);
}

TEST(DevicePacingTest, FallingASecondBehindRepeatsTheMissedTicksInSteps)
{
    // Nobody checked the clock for 1.1 s (suspended machine): the ticks but the last one
    // due repeat the last frame, at most a step of them per check, with no burst after.
    for (const double rate : {100.0, 5000.0}) {
        g_messages.Drain();
        CSimulatedClockDevice device(rate, false);
        device.SetRunning(true);
        ASSERT_TRUE(device.CheckClock());
        device.m_nowUs = 1.1e6;
        const auto missed = static_cast<int64_t>(std::llround(rate * 1.1)) - 1;
        int checks = 1;
        while (!device.CheckClock()) ++checks;
        const int64_t step = CDevice::HeldRepeatStep(rate);
        EXPECT_EQ(checks, (missed + step - 1) / step) << rate;
        EXPECT_EQ(device.GetReanchorCount(), 1);
        EXPECT_EQ(device.GetHeldRepeatCount(), missed) << rate;
        EXPECT_EQ(device.GetSampleCounter(), missed) << rate;
        EXPECT_NEAR(device.GetTimeToNextSampleUs(), 1.0e6 / rate, 1e-6);
        EXPECT_EQ(CountTicks(device, 1.0, 1.1e6 + 1.0e6 / rate - 1.0), 0);
        EXPECT_EQ(CountTicks(device, 1.0, 1.1e6 + 1.0e6 / rate), 1);
        const auto messages = g_messages.Drain();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].severity, Severity::Error);
        EXPECT_NE(messages[0].text.find(std::to_string(missed) + " frames repeat the last values"), std::string::npos);
    }
}

// A machine that keeps stalling must not fill the Errors page: one report per device
// per ten seconds, each a line of its own; the count keeps every re-anchor.
TEST(DevicePacingTest, ReanchorsAreReportedAtMostOncePerTenSeconds)
{
    g_messages.Drain();
    CSimulatedClockDevice device(100.0, false);
    ASSERT_TRUE(device.CheckClock());
    for (int i = 1; i <= 4; ++i) {
        device.m_nowUs += 2.0e6;  // 2, 4, 6, 8 s: each check comes two seconds late
        EXPECT_TRUE(device.CheckClock());
    }
    EXPECT_EQ(device.GetReanchorCount(), 4);
    auto messages = g_messages.Drain();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text.back(), '\n');
    EXPECT_NE(messages[0].text.find("frames repeat the last values"), std::string::npos);
    device.m_nowUs = 11.9e6;  // 9.9 s after the report
    EXPECT_TRUE(device.CheckClock());
    EXPECT_TRUE(g_messages.Drain().empty());
    device.m_nowUs = 14.0e6;
    EXPECT_TRUE(device.CheckClock());
    EXPECT_EQ(device.GetReanchorCount(), 6);
    messages = g_messages.Drain();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text.back(), '\n');
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
        EXPECT_EQ(messages[0].text.back(), '\n');
        EXPECT_DOUBLE_EQ(device.GetSampleTime(), 0.0);
    }
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
