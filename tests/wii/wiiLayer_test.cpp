#include "wii/wiiLayer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "wii/wiiHidSource.h"
#include "wii/wiiTestSupport.h"

namespace {

using namespace std::chrono_literals;

class WiiLayerTest : public WiiSimulatedTest {
protected:
    // Sends one report from the simulator and takes what the layer made of it.
    static WiiRemoteData EmitAndTake(CWiiSimulator& simulator, int slot)
    {
        WiiRemoteData taken;
        EXPECT_TRUE(simulator.Emit());
        EXPECT_TRUE(WiiUntil([&] {
            WiiRemoteData peek;
            return TakeWiiRemote(slot, &peek) && (taken = peek).event != kWiiEventNone;
        }));
        return taken;
    }
};

TEST_F(WiiLayerTest, EverySlotQueryIsEmptyBeforeTheFirstSearch)
{
    EXPECT_FALSE(IsWiiInitialised());
    EXPECT_FALSE(IsWiiConnected(0));
    EXPECT_FALSE(IsWiiConnected(-1));
    EXPECT_FALSE(IsWiiConnected(4));
    EXPECT_FALSE(IsAnyWiiConnected());
    EXPECT_FALSE(IsWiiBoard(0));
    EXPECT_FALSE(HasWiiNunchuk(0));
    EXPECT_EQ(GetWiiBatteryLevel(0), 0.0f);
    EXPECT_EQ(GetWiiDeviceName(0), "???");
    EXPECT_EQ(GetWiimote(0), nullptr);
    EXPECT_FALSE(PollWiiDevices());
    WiiRemoteData copy;
    EXPECT_FALSE(TakeWiiRemote(0, &copy));
    EXPECT_FALSE(SetWiiMotionSensing(0, true));
    ResyncWiiDevice(0);
    DisconnectWiiDevice(0);
    CleanupWiiDevices();
    EXPECT_FALSE(WiimoteIsBoard(nullptr));
    EXPECT_FALSE(WiimoteHasNunchuk(nullptr));
    EXPECT_EQ(GetWiiuseVersion(), wiiuse_version());
}

TEST_F(WiiLayerTest, SearchConnectsLightsRumblesAndReportsEachRemote)
{
    CWiiSimulator remote(CWiiSimulator::Kind::Remote);
    CWiiSimulator board(CWiiSimulator::Kind::Board);
    remote.SetBattery(0x64);
    board.SetBattery(0xC8);
    m_source->Add(&remote);
    m_source->Add(&board);
    ASSERT_EQ(Search(), 2);
    EXPECT_NE(m_output.find("<WII> Init wii devices\n<WII> Scanning wii devices...\n"
                            "<WII> Connecting wii devices\n"
                            "<WII> Connected to 2 wiimotes (of 2 found).\n"
                            "<WII> device[0] id = 1 : regular - raw battery level 0.5\n"
                            "<WII> device[1] id = 2 :  wii board - raw battery level 1\n"),
              std::string::npos)
        << m_output;
    // Slot n shows LED n + 1; only slot 0 rumbles.
    EXPECT_TRUE(remote.WaitUntil([&] { return remote.Leds() == kWiiLed1; }));
    EXPECT_TRUE(board.WaitUntil([&] { return board.Leds() == kWiiLed2; }));
    EXPECT_TRUE(remote.Rumbled());
    EXPECT_FALSE(board.Rumbled());

    EXPECT_TRUE(IsWiiInitialised());
    EXPECT_TRUE(IsWiiConnected(0));
    EXPECT_TRUE(IsWiiConnected(1));
    EXPECT_FALSE(IsWiiConnected(2));
    EXPECT_TRUE(IsWiiConnected(-1));
    EXPECT_TRUE(IsWiiConnected(4));
    EXPECT_FALSE(IsWiiBoard(0));
    EXPECT_TRUE(IsWiiBoard(1));
    EXPECT_FALSE(HasWiiNunchuk(0));
    EXPECT_EQ(GetWiiDeviceName(0), "Wiimote[1]");
    EXPECT_EQ(GetWiiDeviceName(1), "WiiBoard[2]");
    EXPECT_EQ(GetWiiDeviceName(2), "???");
    EXPECT_EQ(GetWiiDeviceName(-1), "???");
    EXPECT_FLOAT_EQ(GetWiiBatteryLevel(0), 0.5f);
    EXPECT_FLOAT_EQ(GetWiiBatteryLevel(1), 1.0f);
    EXPECT_EQ(GetWiiBatteryLevel(7), 0.0f);
    ASSERT_NE(GetWiimote(1), nullptr);
    EXPECT_EQ(GetWiimote(1)->id, 2);
    EXPECT_EQ(GetWiimote(4), nullptr);
    // The board streams its extension bytes; the remote its buttons.
    EXPECT_TRUE(board.WaitForMode([](uint8_t mode) { return mode == kWiiModeExtension; }));
    EXPECT_TRUE(remote.WaitForMode([](uint8_t mode) { return mode == kWiiModeButtons; }));
    ASSERT_TRUE(SetWiiMotionSensing(0, true));
    EXPECT_TRUE(remote.WaitForMode([](uint8_t mode) { return mode == kWiiModeAccel; }));
}

TEST_F(WiiLayerTest, BannerComesOnceAndAFailedSearchForgetsEarlierRemotes)
{
    CWiiSimulator remote(CWiiSimulator::Kind::Remote);
    m_source->Add(&remote);
    ASSERT_EQ(Search(), 1);
    const CWiiRemote* earlier = GetWiimote(0);
    ASSERT_EQ(Search(), 1);
    // A record handed out before stays readable (disconnected) until the clean-up.
    EXPECT_FALSE(earlier->IsConnected());
    EXPECT_NE(GetWiimote(0), earlier);
    EXPECT_EQ(m_output.find("loaded."), std::string::npos) << m_output;
    EXPECT_NE(m_output.find("<WII> device[0] id = 1 : regular"), std::string::npos);
    EXPECT_TRUE(remote.WaitUntil([&] { return remote.Leds() == kWiiLed1; }));

    m_source->Clear();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Search(), 0);
    // No adapter to wait for: the search ends at once, after one look.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
    EXPECT_NE(m_output.find("<WII> Failed to find to any wiimote.\n"), std::string::npos);
    EXPECT_TRUE(IsWiiInitialised());
    EXPECT_FALSE(IsWiiConnected(0));
    EXPECT_FALSE(IsAnyWiiConnected());
    EXPECT_EQ(GetWiiDeviceName(0), "???");
}

TEST_F(WiiLayerTest, ButtonEdgesSurviveUntilTheirTake)
{
    CWiiSimulator remote(CWiiSimulator::Kind::Remote);
    m_source->Add(&remote);
    ASSERT_EQ(Search(), 1);
    ASSERT_TRUE(remote.WaitForMode([](uint8_t mode) { return mode != 0; }));

    remote.SetButtons(kWiiButtonA);
    WiiRemoteData taken = EmitAndTake(remote, 0);
    EXPECT_EQ(taken.event, kWiiEventData);
    EXPECT_EQ(taken.buttons & kWiiButtonA, kWiiButtonA);
    EXPECT_EQ(taken.buttonsHeld & kWiiButtonA, 0);
    taken = EmitAndTake(remote, 0);  // still down: held
    EXPECT_EQ(taken.buttonsHeld & kWiiButtonA, kWiiButtonA);
    remote.SetButtons(0);
    taken = EmitAndTake(remote, 0);
    EXPECT_EQ(taken.buttonsReleased, kWiiButtonA);
    EXPECT_EQ(taken.buttons, 0);

    // A tap between two takes: the press first, the release at the next take.
    remote.SetButtons(kWiiButtonB);
    ASSERT_TRUE(remote.Emit());
    remote.SetButtons(0);
    ASSERT_TRUE(remote.Emit());
    ASSERT_TRUE(WiiUntil([] { return GetWiimote(0)->buttons == kWiiButtonB; }));
    PollWiiDevices();
    ASSERT_TRUE(TakeWiiRemote(0, &taken));
    EXPECT_EQ(taken.buttons, kWiiButtonB);
    EXPECT_EQ(taken.buttonsReleased, 0);
    ASSERT_TRUE(WiiUntil([] { return GetWiimote(0)->buttonsReleased == kWiiButtonB; }));
    ASSERT_TRUE(TakeWiiRemote(0, &taken));
    EXPECT_EQ(taken.buttons, 0);
    EXPECT_EQ(taken.buttonsReleased, kWiiButtonB);
}

TEST_F(WiiLayerTest, NunchukIsFoundAtConnectionAndWhenPluggedLater)
{
    CWiiSimulator withNunchuk(CWiiSimulator::Kind::Remote, CWiiSimulator::Extension::Nunchuk);
    m_source->Add(&withNunchuk);
    ASSERT_EQ(Search(), 1);
    EXPECT_TRUE(HasWiiNunchuk(0));
    EXPECT_FALSE(IsWiiBoard(0));
    ASSERT_TRUE(withNunchuk.WaitForMode([](uint8_t mode) { return mode == kWiiModeExtension; }));
    withNunchuk.SetStick(0xE0, 0x80);  // full right
    withNunchuk.SetNunchukButtons(kWiiNunchukC);
    WiiRemoteData taken = EmitAndTake(withNunchuk, 0);
    EXPECT_NEAR(taken.nunchuk.joystick.x, 1.0, 1e-6);
    EXPECT_NEAR(taken.nunchuk.joystick.y, 0.0, 1e-6);
    EXPECT_NEAR(taken.nunchuk.joystick.angle, 90.0, 1e-4);
    EXPECT_NEAR(taken.nunchuk.joystick.magnitude, 1.0, 1e-6);
    EXPECT_EQ(taken.nunchuk.buttons, kWiiNunchukC);
    EXPECT_EQ(taken.nunchuk.buttonsHeld, 0);

    withNunchuk.Plug(CWiiSimulator::Extension::None);
    EXPECT_TRUE(WiiUntil([] { return !HasWiiNunchuk(0); }));
    withNunchuk.Plug(CWiiSimulator::Extension::Nunchuk);
    EXPECT_TRUE(WiiUntil([] { return HasWiiNunchuk(0); }));
    EXPECT_TRUE(IsWiiConnected(0));
}

TEST_F(WiiLayerTest, FoundButNotPermittedSaysWhatToDo)
{
    CWiiSimulator remote(CWiiSimulator::Kind::Remote);
    CWiiSimulator board(CWiiSimulator::Kind::Board);
    m_source->AddAs(&remote, CWiiHidrawSource::kProductRemote, "Nintendo RVL-CNT-01", "", EACCES);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Search(), 0);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(GetWiiDeniedCount(), 1);
    EXPECT_NE(m_output.find("<WII> Failed to connect to any wiimote.\n"), std::string::npos);
    EXPECT_NE(errors.find("<WII> 1 Wii device(s) found but not opened: permission denied on "
                          "sim:0"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("70-quorvane-wii.rules"), std::string::npos);
    EXPECT_NE(errors.find("udevadm control --reload-rules"), std::string::npos);

    // One that opens beside it connects; the one that does not is still counted.
    m_source->Add(&board);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Search(), 1);
    errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(GetWiiDeniedCount(), 1);
    EXPECT_NE(errors.find("<WII> 1 Wii device(s) found but not opened"), std::string::npos);
    EXPECT_TRUE(IsWiiBoard(0));

    // Nothing refused: nothing said, nothing counted.
    m_source->Clear();
    m_source->Add(&board);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Search(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("not opened"), std::string::npos);
    EXPECT_EQ(GetWiiDeniedCount(), 0);
}

// The kernel's own Wii driver shares the remote: it is named with what to do about it,
// and the reporting mode it sets behind the device's back is set again.
TEST_F(WiiLayerTest, KernelWiiDriverIsNamedAndItsReportingModeIsUndone)
{
    CWiiSimulator remote(CWiiSimulator::Kind::Remote);
    m_source->AddAs(&remote, CWiiHidrawSource::kProductRemote, "Nintendo RVL-CNT-01", "wiimote");
    testing::internal::CaptureStderr();
    ASSERT_EQ(Search(), 1);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("<WII> sim:0 (0005:057E:0306.0000) is driven by the kernel's Wii "
                          "driver (wiimote)"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("sudo modprobe -r hid_wiimote"), std::string::npos);
    ASSERT_TRUE(SetWiiMotionSensing(0, true));
    ASSERT_TRUE(remote.WaitForMode([](uint8_t mode) { return mode == kWiiModeAccel; }));

    remote.ForceMode(kWiiModeButtons);  // what the kernel's driver does on its own
    remote.SetStreamPeriod(10);
    EXPECT_TRUE(WiiUntil([&] { return remote.Mode() == kWiiModeAccel; }));
    EXPECT_GE(GetWiimote(0)->ForeignModeChanges(), 1);
    remote.SetStreamPeriod(0);

    // A remote no other driver holds is said nothing about.
    CWiiSimulator alone(CWiiSimulator::Kind::Remote);
    m_source->Clear();
    m_source->AddAs(&alone, CWiiHidrawSource::kProductRemote, "Nintendo RVL-CNT-01", "hid-generic");
    testing::internal::CaptureStderr();
    ASSERT_EQ(Search(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(WiiLayerTest, ProControllerIsNotTakenForARemote)
{
    CWiiSimulator pro(CWiiSimulator::Kind::ProController);
    CWiiSimulator remote(CWiiSimulator::Kind::Remote, CWiiSimulator::Extension::MotionPlus);
    // No HID name to tell them apart: the identifier it gives does.
    m_source->Add(&pro, CWiiHidrawSource::kProductRemotePlus);
    m_source->Add(&remote, CWiiHidrawSource::kProductRemotePlus);
    ASSERT_EQ(Search(), 1);
    EXPECT_NE(m_output.find("<WII> sim:0 is a Wii U Pro Controller, not a Wii Remote: left alone"),
              std::string::npos)
        << m_output;
    EXPECT_NE(m_output.find("<WII> Connected to 1 wiimotes (of 2 found).\n"), std::string::npos);
    EXPECT_NE(m_output.find("<WII> device[0] id = 1 : motion plus"), std::string::npos);
    EXPECT_EQ(GetWiimote(0)->GetCandidate().path, "sim:1");
    EXPECT_FALSE(IsWiiConnected(1));
}

TEST(WiiFormat, FormatsTextsOfAnyLength)
{
    EXPECT_EQ(FormatStdString("WiiBoard[%d]", 1), "WiiBoard[1]");
    const std::string longer(600, 'x');
    const std::string formatted = FormatStdString("%s", longer.c_str());
    EXPECT_EQ(formatted.size(), 600u);
    EXPECT_EQ(formatted, longer);
    const std::string edge(511, 'y');
    EXPECT_EQ(FormatStdString("%s", edge.c_str()), edge);
    EXPECT_EQ(FormatStdString("%s!", edge.c_str()), edge + "!");
}

TEST(WiiMotion, TraceLinePrintsRollAndRates)
{
    WiiRemoteData remote;
    remote.state = kWiiStateAccelerometer;
    remote.orientation.roll = 12.5f;
    remote.expansion = kWiiExpansionMotionPlus;
    remote.motionPlus = {1.0f, 2.0f, 3.0f};
    testing::internal::CaptureStdout();
    PrintWiiMotion(&remote);
    PrintWiiMotion(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "wiimote roll  = 12.5 Motion+ angular rates (deg/sec) 2 , 1 , 3\n");
}

// The system's own HID nodes, as on a machine without any remote: nothing is found,
// nothing is said on the error stream, and the search does not hang.
TEST(WiiSystemSearch, WithoutRemotesEndsQuietly)
{
    std::vector<WiiHidCandidate> present;
    CWiiHidrawSource().Scan(present);
    if (!present.empty()) GTEST_SKIP() << "a Wii remote is connected to this machine";
    SetWiiHidSource(nullptr);
    g_wii_time_out = 1;
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    std::string output;
    const int connected = SearchWii(&output);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const std::string errors = testing::internal::GetCapturedStderr();
    g_wii_time_out = 3;
    CleanupWiiDevices();
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(errors, "");
    EXPECT_NE(output.find("<WII> Failed to find to any wiimote.\n"), std::string::npos);
    // At most the time-out when an adapter could still bring one.
    EXPECT_LT(elapsed, std::chrono::seconds(3));
}

}  // namespace
