#include "wii/wiiDevice.h"

#include <gtest/gtest.h>
#include <wx/fileconf.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "analog/fakeNetwork.h"
#include "analog/fakeSinks.h"
#include "process/messageQueue.h"
#include "support/logCapture.h"
#include "support/tempDir.h"
#include "wii/wiiHidSource.h"
#include "wii/wiiTestSupport.h"

namespace {

using namespace std::chrono_literals;

// Opens the sample row and the offsets to the tests.
class CWiiProbe : public CWiiDevice {
public:
    using CWiiDevice::CWiiDevice;
    double Value(int row) const { return m_values[static_cast<size_t>(row)]; }
    void SetOffset(int row, double value)
    {
        m_offsets[static_cast<size_t>(row)] = value;
        m_offsetCount = 1;
    }
};

class WiiDeviceTest : public WiiSimulatedTest {
protected:
    // Sends one report and lets the device poll until done holds.
    static bool Feed(CWiiSimulator& simulator, CWiiDevice& device,
                     const std::function<bool()>& done)
    {
        if (!simulator.Emit()) return false;
        return WiiUntil(done, [&] { device.PollWiiEvents(); });
    }
    static size_t MarkerCount(const CWiiDevice& device) { return device.GetMarkerCodes().size(); }
};

TEST_F(WiiDeviceTest, BoardChannelsNamesAndSettings)
{
    CWiiSimulator board(CWiiSimulator::Kind::Board);
    board.SetBattery(0x64);  // level 0.5
    m_source->Add(&board);
    ASSERT_EQ(Search(), 1);
    CWiiProbe device(false, 0, false);
    EXPECT_TRUE(device.IsReady());
    EXPECT_TRUE(device.IsBoard());
    EXPECT_EQ(device.GetDeviceType(), 6);
    EXPECT_EQ(device.GetDeviceKey(), "WII Board_ [1]");
    EXPECT_EQ(device.GetDeviceName(), "WII Board_ [1]");
    EXPECT_EQ(device.GetDisplayName(), "Wii Board [1] ");
    EXPECT_EQ(device.GetDevicePath(), "wiiboard_0");
    EXPECT_EQ(CWiiDevice::MakeDevicePath(0, false), "wiiboard_0");
    EXPECT_EQ(CWiiDevice::MakeDevicePath(0, true), "wii_devices");
    EXPECT_EQ(device.GetConfigPath(), "/Analog/wii_wbc");
    EXPECT_EQ(device.GetMaxValue(), 100.0);
    EXPECT_EQ(device.GetMinValue(), -100.0);
    ASSERT_EQ(device.GetChannelCount(), 7);
    const char* names[] = {"Top Right", "Top Left", "Bottom Left", "Bottom Right",
                           "Total",     "Xp",       "Yp"};
    const char* units[] = {"Kg", "Kg", "Kg", "Kg", "Kg", "mm", "mm"};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(device.GetChannelName(i), names[i]);
        EXPECT_EQ(device.GetChannelUnit(i), units[i]);
    }
    EXPECT_EQ(device.GetParamCount(), 12 + 14);
    EXPECT_EQ(device.GetBatteryLevel(), 50);  // a board's scale is 100
    EXPECT_TRUE(device.IsBatteryShown());
    EXPECT_TRUE(device.HasBattery());
    EXPECT_TRUE(device.CanOffset());
    EXPECT_DOUBLE_EQ(device.GetRate(), 25.0);
    EXPECT_DOUBLE_EQ(device.GetPollInterval(), 0.01);
    EXPECT_EQ(device.GetCPXChannel(), 5);
    EXPECT_EQ(device.GetCPXIndex(), 5);
    EXPECT_EQ(device.GetCPYIndex(), 6);
    EXPECT_EQ(device.GetChoiceCount(11), 5);
    EXPECT_EQ(device.GetChoiceLabel(11, 2), "97.5 %");
    EXPECT_EQ(device.GetChoiceLabel(11, 5), "???");
    EXPECT_EQ(device.GetParamLabel(6), "Half Length");
    EXPECT_EQ(device.GetParamKey(1), "Sampling Rate");
    EXPECT_EQ(device.GetParamLabel(1), "Sampling Rate (Hz)");
}

TEST_F(WiiDeviceTest, BoardLoadsGiveTotalAndCentreOfPressure)
{
    CWiiSimulator board(CWiiSimulator::Kind::Board);
    m_source->Add(&board);
    ASSERT_EQ(Search(), 1);
    CWiiProbe device(false, 0, false);
    ASSERT_TRUE(board.WaitForMode([](uint8_t mode) { return mode == kWiiModeExtension; }));

    // The weight scale changes the total only.
    const double scale = 2.0;
    bool changed = true;
    ASSERT_TRUE(device.SetParam(&scale, 8, 1, PARAM_DOUBLE, &changed));
    EXPECT_FALSE(changed);
    board.SetLoads(0.0, 0.0, 5.0, 15.0);  // all on the bottom, more on the left
    ASSERT_TRUE(Feed(board, device, [&] { return std::fabs(device.Value(4) - 40.0) < 0.1; }));
    EXPECT_NEAR(device.Value(5), (5.0 - 15.0) * 220.0 / 20.0, 0.2);
    EXPECT_NEAR(device.Value(6), -110.0, 0.2);

    // Nobody on the board: no centre of pressure to divide out.
    board.SetLoads(0.1, 0.1, 0.1, 0.1);
    ASSERT_TRUE(Feed(board, device, [&] { return std::fabs(device.Value(4) - 0.8) < 0.05; }));
    EXPECT_EQ(device.Value(5), 0.0);
    EXPECT_EQ(device.Value(6), 0.0);

    // Offsets taken come off the corners before the centre is computed.
    device.SetOffset(0, 5.0);
    device.SetOffset(1, 5.0);
    board.SetLoads(10.0, 10.0, 0.0, 0.0);
    ASSERT_TRUE(Feed(board, device, [&] { return std::fabs(device.Value(0) - 5.0) < 0.05; }));
    EXPECT_NEAR(device.Value(4), 20.0, 0.1);  // (5 + 5) x 2
    EXPECT_NEAR(device.Value(6), 110.0, 0.2);
}

TEST_F(WiiDeviceTest, ButtonsBecomeMarkersOnPressAndRelease)
{
    CWiiSimulator remote(CWiiSimulator::Kind::Remote);
    m_source->Add(&remote);
    ASSERT_EQ(Search(), 1);
    CCallLog log;
    CFakeNetwork network(&log);
    network.oscStarted = true;
    CWiiProbe device(false, 0, false);
    EXPECT_EQ(device.GetDisplayName(), "Wiimote [1] ");
    EXPECT_EQ(device.GetDeviceName(), "WII Remote_ [1]");
    EXPECT_EQ(device.GetConfigPath(), "/Analog/wii_wct");
    ASSERT_EQ(device.GetChannelCount(), 6);
    EXPECT_EQ(device.GetChannelName(3), "Yaw rate");
    EXPECT_EQ(device.GetChannelUnit(3), "deg/s");
    // Motion sensing was asked for: orientation comes with the buttons.
    ASSERT_TRUE(remote.WaitForMode([](uint8_t mode) { return mode == kWiiModeAccel; }));

    remote.SetButtons(kWiiButtonA);
    ASSERT_TRUE(Feed(remote, device, [&] { return MarkerCount(device) == 1; }));
    remote.Emit();
    remote.Emit();                      // held: nothing new
    remote.SetAccel(0x9A, 0x80, 0x80);  // on its side: a change to wait for
    ASSERT_TRUE(Feed(remote, device, [&] { return device.Value(2) > 80.0; }));
    EXPECT_EQ(MarkerCount(device), 1u);
    remote.SetButtons(0);
    ASSERT_TRUE(Feed(remote, device, [&] { return MarkerCount(device) == 2; }));
    std::vector<uint32_t> codes, frames;
    std::vector<wxString> labels;
    device.GetMarkers(codes, frames, labels);
    EXPECT_EQ(codes, (std::vector<uint32_t>{0, 0}));
    EXPECT_EQ(labels[0], "BT_A");
    EXPECT_EQ(labels[1], "BT_A");
    // The press is announced, the release is not.
    int announced = 0;
    for (const std::string& call : log.calls) announced += call == "event:WII Remote_ [1]:BT_A";
    EXPECT_EQ(announced, 1);
}

TEST_F(WiiDeviceTest, NunchukPluggedLaterGivesMarkersButNoValues)
{
    CWiiSimulator remote(CWiiSimulator::Kind::Remote);
    m_source->Add(&remote);
    ASSERT_EQ(Search(), 1);
    CWiiProbe device(false, 0, false);
    ASSERT_EQ(device.GetChannelCount(), 6);
    ASSERT_TRUE(remote.WaitForMode([](uint8_t mode) { return mode == kWiiModeAccel; }));
    remote.Plug(CWiiSimulator::Extension::Nunchuk);
    ASSERT_TRUE(WiiUntil([] { return HasWiiNunchuk(0); }, [&] { device.PollWiiEvents(); }));
    ASSERT_TRUE(remote.WaitForMode([](uint8_t mode) { return mode == kWiiModeAccelExtension; }));
    remote.SetNunchukButtons(kWiiNunchukZ);
    remote.SetStick(0xE0, 0x80);
    ASSERT_TRUE(Feed(remote, device, [&] { return MarkerCount(device) == 1; }));
    remote.SetAccel(0x9A, 0x80, 0x80);
    ASSERT_TRUE(Feed(remote, device, [&] { return device.Value(2) > 80.0; }));
    EXPECT_EQ(device.GetMarkerLabels()[0], "BT_Z");
    EXPECT_EQ(device.GetMarkerCodes()[0], 12u);
    EXPECT_EQ(device.GetChannelCount(), 6);  // the layout stays as it was made
}

TEST_F(WiiDeviceTest, SeveralDevicesLayTheirBlocksInListOrder)
{
    CWiiSimulator remote(CWiiSimulator::Kind::Remote, CWiiSimulator::Extension::Nunchuk);
    CWiiSimulator board(CWiiSimulator::Kind::Board);
    m_source->Add(&remote);
    m_source->Add(&board);
    ASSERT_EQ(Search(), 2);
    CLogCapture logs;
    CWiiProbe device(false, std::vector<int>{0, 1, 3});
    ASSERT_EQ(logs.Messages().size(), 1u);
    EXPECT_NE(logs.Messages()[0].find("Unable to connect Wii device 4"), std::string::npos);
    EXPECT_TRUE(device.IsSeveral());
    EXPECT_EQ(device.GetDeviceName(), "wii_multi_device");
    EXPECT_EQ(device.GetDisplayName(), "3 Wii Devices ");
    EXPECT_EQ(device.GetDevicePath(), "wii_devices");
    EXPECT_EQ(device.GetConfigPath(), "/Analog/wii_devices");
    ASSERT_EQ(device.GetChannelCount(), 20);
    EXPECT_EQ(device.GetChannelName(0), "Yaw[1]");
    EXPECT_EQ(device.GetChannelName(12), "Joystick Y[1]");
    EXPECT_EQ(device.GetChannelName(13), "Top Right[2]");
    EXPECT_EQ(device.GetChannelName(19), "Yp[2]");
    EXPECT_EQ(device.GetChannelUnit(13), "");
    EXPECT_EQ(device.GetParamCount(), 6 + 40);
    EXPECT_EQ(device.GetCPXIndex(), -1);
    EXPECT_TRUE(device.GetParamKey(6).StartsWith("Channel["));

    ASSERT_TRUE(board.WaitForMode([](uint8_t mode) { return mode == kWiiModeExtension; }));
    board.SetLoads(10.0, 10.0, 0.0, 0.0);
    board.SetButtons(kWiiButtonA);  // the board's own button
    ASSERT_TRUE(Feed(board, device, [&] { return std::fabs(device.Value(17) - 20.0) < 0.05; }));
    EXPECT_NEAR(device.Value(13), 10.0, 0.01);
    EXPECT_NEAR(device.Value(19), 110.0, 0.1);
    ASSERT_EQ(MarkerCount(device), 1u);
    EXPECT_EQ(device.GetMarkerLabels()[0], "BT_A_2");

    // A slot listed twice would split its events between two blocks: it gets one.
    CLogCapture again;
    CWiiProbe twice(false, std::vector<int>{1, 1});
    EXPECT_EQ(twice.GetChannelCount(), 7);
    EXPECT_EQ(again.Messages().size(), 1u);
}

TEST_F(WiiDeviceTest, ParametersKeepTheirLimits)
{
    CWiiSimulator remote(CWiiSimulator::Kind::Remote);
    remote.SetBattery(0x64);
    m_source->Add(&remote);
    ASSERT_EQ(Search(), 1);
    CWiiDevice device(false, 0, false);
    EXPECT_EQ(device.GetBatteryLevel(), 100);  // a remote's scale is 200
    // Fresh batteries read above the scale: shown as full, not as 200 %.
    CWiiSimulator fresh(CWiiSimulator::Kind::Remote);
    fresh.SetBattery(0xC8);
    m_source->Clear();
    m_source->Add(&fresh);
    ASSERT_EQ(Search(), 1);
    EXPECT_EQ(CWiiDevice(false, 0, false).GetBatteryLevel(), 100);
    bool changed = false;
    const double five = 5.0;
    ASSERT_TRUE(device.SetParam(&five, 2, 1, PARAM_DOUBLE, &changed));
    ASSERT_TRUE(device.SetParam(&five, 3, 1, PARAM_DOUBLE, &changed));
    EXPECT_EQ(device.GetMinValue(), -1.0);
    EXPECT_EQ(device.GetMaxValue(), -1.0);
    const double ten = 10.0, high = 200.0;
    ASSERT_TRUE(device.SetParam(&high, 3, 1, PARAM_DOUBLE, &changed));
    ASSERT_TRUE(device.SetParam(&ten, 2, 1, PARAM_DOUBLE, &changed));
    ASSERT_TRUE(device.SetParam(&five, 3, 1, PARAM_DOUBLE, &changed));
    EXPECT_EQ(device.GetMinValue(), 5.0);
    EXPECT_EQ(device.GetMaxValue(), 10.0);

    CLogCapture logs;
    const double sixty = 60.0;
    ASSERT_TRUE(device.SetParam(&sixty, 1, 1, PARAM_DOUBLE, &changed));
    EXPECT_DOUBLE_EQ(device.GetRate(), 25.0);
    ASSERT_EQ(logs.Messages().size(), 1u);
    EXPECT_NE(logs.Messages()[0].find("Invalid value Sampling Rate (Hz) [1.000000, 50.000000]"),
              std::string::npos);
    const double forty = 40.0;
    ASSERT_TRUE(device.SetParam(&forty, 1, 1, PARAM_DOUBLE, &changed));
    EXPECT_TRUE(changed);
    EXPECT_DOUBLE_EQ(device.GetRate(), 40.0);
    EXPECT_DOUBLE_EQ(device.GetPollInterval(), 0.00625);

    // A value of the wrong type is refused, not reported as taken.
    const int32_t wrong = 1;
    EXPECT_FALSE(device.SetParam(&wrong, 1, 1, PARAM_INT, &changed));
    EXPECT_FALSE(changed);
    // A remote has no board settings: id 7 is its first channel switch.
    int count = 0, type = 0;
    EXPECT_NE(device.GetParam(6, &count, &type), nullptr);
    EXPECT_EQ(type, PARAM_BOOL);
    EXPECT_EQ(device.GetParamLabel(6), "Estimate Yaw from Yaw velocity");
    EXPECT_EQ(device.GetParamKey(7), "Channel[0].ON");
    EXPECT_EQ(device.GetChoiceCount(11), 0);
}

TEST_F(WiiDeviceTest, SlotsThatAreNotConnectedGiveAPlainDeviceThatIsNotReady)
{
    CWiiSimulator remote(CWiiSimulator::Kind::Remote);
    m_source->Add(&remote);
    ASSERT_EQ(Search(), 1);
    // Slot 7 is no slot: the layer's "any slot" answer must not make it connected.
    for (int slot : {1, 7, -1}) {
        CWiiDevice device(false, slot, false);
        EXPECT_FALSE(device.IsReady()) << slot;
        EXPECT_EQ(device.GetChannelCount(), 6);
        EXPECT_EQ(device.GetDevicePath(), "");
        EXPECT_EQ(device.GetConfigPath(), "/Analog/wii_device");
        EXPECT_EQ(device.GetDisplayName(), wxString::Format("Wii Device [%d] ", slot + 1));
        EXPECT_FALSE(device.IsBatteryShown());
        EXPECT_EQ(CWiiDevice::MakeDevicePath(slot, false), "Invalid wii device");
        device.PollWiiEvents();
        device.DispatchWiiEvent(slot);
    }
}

TEST_F(WiiDeviceTest, RunningBoardDeviceDispatchesFramesAtItsRate)
{
    CWiiSimulator board(CWiiSimulator::Kind::Board);
    board.SetStreamPeriod(10);
    m_source->Add(&board);
    ASSERT_EQ(Search(), 1);
    board.SetLoads(12.0, 8.0, 0.0, 0.0);
    CFakeView view;
    CWiiDevice device(false, 0, false);
    const double rate = 50.0;
    bool changed = false;
    ASSERT_TRUE(device.SetParam(&rate, 1, 1, PARAM_DOUBLE, &changed));
    device.AddView(&view);
    ASSERT_TRUE(device.Create(false));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(device.RunThread());
    ASSERT_TRUE(view.WaitFrames(30, 20s));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    device.Close();
    // Paced by its own clock: 30 frames at 50 Hz take about 0.6 s, never much less.
    EXPECT_GT(elapsed, 0.45);
    std::lock_guard<std::mutex> lock(view.mutex);
    ASSERT_GE(view.frames.size(), 30u);
    for (size_t i = 0; i < view.frames.size(); ++i) {
        EXPECT_EQ(view.frames[i].sample, i);
        EXPECT_DOUBLE_EQ(view.frames[i].timeSec, static_cast<double>(i) / rate);
    }
    const CFrame& last = view.frames.back();
    ASSERT_EQ(last.values.size(), 7u);
    EXPECT_NEAR(last.values[0], 12.0, 0.01);
    EXPECT_NEAR(last.values[4], 20.0, 0.02);
    EXPECT_NEAR(last.values[5], (12.0 - 8.0) * 220.0 / 20.0, 0.2);
    EXPECT_NEAR(last.values[6], 110.0, 0.1);
}

class WiiDeviceConfigTest : public TempDirTest {};

TEST_F(WiiDeviceConfigTest, CentreOfPressureAloneExportsAsCp)
{
    auto source = std::make_shared<CWiiSimulatedSource>();
    CWiiSimulator board(CWiiSimulator::Kind::Board);
    source->Add(&board);
    SetWiiHidSource(source);
    ASSERT_EQ(SearchWii(), 1);
    {
        wxFileConfig config(wxEmptyString, wxEmptyString, Path("wii.cfg").string(), wxEmptyString,
                            wxCONFIG_USE_LOCAL_FILE);
        for (int i = 0; i < 7; ++i)
            config.Write(wxString::Format("/Analog/wii_wbc/channel_on_%d", i), i == 5 || i == 6);
        config.Write("/Analog/wii_wbc/Half Width", 150.0);
        CWiiDevice device(false, 0, false);
        EXPECT_EQ(device.GetExportExtension(), ".txt");
        ASSERT_TRUE(device.LoadConfig(&config));
        EXPECT_EQ(device.GetExportExtension(), ".cp");
        EXPECT_EQ(device.GetCPXIndex(), 0);
        EXPECT_EQ(device.GetCPYIndex(), 1);
        int count = 0, type = 0;
        EXPECT_DOUBLE_EQ(*static_cast<double*>(device.GetParam(7, &count, &type)), 150.0);
        const uint8_t on = 1;
        bool changed = false;
        ASSERT_TRUE(device.SetParam(&on, 12, 1, PARAM_BOOL, &changed));  // channel 0 on
        EXPECT_EQ(device.GetExportExtension(), ".txt");
    }
    CleanupWiiDevices();
    SetWiiHidSource(nullptr);
}

}  // namespace
