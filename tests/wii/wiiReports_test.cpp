#include "wii/wiiReports.h"

#include <fnmatch.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/tempDir.h"
#include "wii/wiiHidSource.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t size)
{
    std::string text;
    char part[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(part, sizeof part, "%02X ", bytes[i]);
        text += part;
    }
    return text;
}

TEST(WiiReports, OutputReportsCarryTheRumbleBit)
{
    uint8_t report[kWiiMaxReport];
    EXPECT_EQ(Hex(report, WiiMakeLeds(report, kWiiLed3, false)), "11 40 ");
    EXPECT_EQ(Hex(report, WiiMakeLeds(report, kWiiLed1 | 0x0F, true)), "11 11 ");
    EXPECT_EQ(Hex(report, WiiMakeRumble(report, true)), "10 01 ");
    EXPECT_EQ(Hex(report, WiiMakeReportMode(report, kWiiModeAccelExtension, true, false)),
              "12 04 35 ");
    EXPECT_EQ(Hex(report, WiiMakeStatusRequest(report, true)), "15 01 ");
    EXPECT_EQ(Hex(report, WiiMakeRead(report, kWiiSpaceRegister, kWiiBoardCalibration, 24, false)),
              "17 04 A4 00 24 00 18 ");
    const uint8_t value = 0x55;
    const size_t size =
        WiiMakeWrite(report, kWiiSpaceRegister, kWiiExtensionInit1, &value, 1, false);
    ASSERT_EQ(size, 22u);
    EXPECT_EQ(Hex(report, 8), "16 04 A4 00 F0 01 55 00 ");
    // More than one report's worth is cut, never written past the report.
    const uint8_t many[20] = {};
    EXPECT_EQ(WiiMakeWrite(report, 0, 0, many, 20, false), 22u);
    EXPECT_EQ(report[5], 16);
}

TEST(WiiReports, DataLayoutsAndButtons)
{
    WiiDataLayout layout;
    ASSERT_TRUE(WiiDataLayoutOf(0x35, &layout));
    EXPECT_EQ(layout.accel, 2);
    EXPECT_EQ(layout.extension, 5);
    EXPECT_EQ(layout.extensionLength, 16);
    ASSERT_TRUE(WiiDataLayoutOf(0x3D, &layout));
    EXPECT_EQ(layout.buttons, -1);
    EXPECT_FALSE(WiiDataLayoutOf(0x20, &layout));
    EXPECT_FALSE(WiiDataLayoutOf(0x3E, &layout));
    const uint8_t buttons[2] = {0xFF, 0xFF};  // the accelerometer's low bits share these
    EXPECT_EQ(WiiDecodeButtons(buttons), kWiiButtonAll);
    const uint8_t up[2] = {0x08, 0x00};
    EXPECT_EQ(WiiDecodeButtons(up), kWiiButtonUp);
    EXPECT_FLOAT_EQ(WiiBatteryLevel(0x64), 0.5f);
    EXPECT_FLOAT_EQ(WiiBatteryLevel(0xFF), 1.0f);
}

TEST(WiiReports, AccelerometerCalibrationAndOrientation)
{
    const uint8_t block[10] = {0x80, 0x80, 0x80, 0, 0x9A, 0x9A, 0x9A, 0, 0, 0};
    WiiAccelCalibration calibration;
    ASSERT_TRUE(WiiParseAccelCalibration(block, sizeof block, &calibration));
    WiiGravity gravity;
    const uint8_t flat[3] = {0x80, 0x80, 0x9A};
    WiiGravityOf(flat, calibration, &gravity);
    EXPECT_FLOAT_EQ(gravity.z, 1.0f);
    WiiOrientation orientation;
    WiiOrientationOf(gravity, &orientation);
    EXPECT_NEAR(orientation.roll, 0.0, 1e-6);
    EXPECT_NEAR(orientation.pitch, 0.0, 1e-6);
    const uint8_t onSide[3] = {0x9A, 0x80, 0x80};
    WiiGravityOf(onSide, calibration, &gravity);
    WiiOrientationOf(gravity, &orientation);
    EXPECT_NEAR(orientation.roll, 90.0, 1e-4);
    const uint8_t noseUp[3] = {0x80, 0x9A, 0x80};
    WiiGravityOf(noseUp, calibration, &gravity);
    WiiOrientationOf(gravity, &orientation);
    EXPECT_NEAR(orientation.pitch, 90.0, 1e-4);
    // Each angle against the z axis alone: pitch = atan2(y, z), roll = atan2(x, z).
    const uint8_t tilted[3] = {0x9A, 0x9A, 0x9A};  // 1 g on every axis
    WiiGravityOf(tilted, calibration, &gravity);
    WiiOrientationOf(gravity, &orientation);
    EXPECT_NEAR(orientation.pitch, 45.0, 1e-4);
    EXPECT_NEAR(orientation.roll, 45.0, 1e-4);
    const WiiGravity upsideDown{0.0f, 0.5f, -0.8660254f};
    WiiOrientationOf(upsideDown, &orientation);
    EXPECT_NEAR(orientation.pitch, 150.0, 1e-3);
    EXPECT_NEAR(orientation.roll, 180.0, 1e-3);

    // A blank block (1 g = 0 g) is refused; the defaults stay, nothing divides by zero.
    const uint8_t blank[10] = {};
    WiiAccelCalibration kept;
    EXPECT_FALSE(WiiParseAccelCalibration(blank, sizeof blank, &kept));
    EXPECT_EQ(kept.one[0], WiiAccelCalibration().one[0]);
    WiiAccelCalibration degenerate;
    degenerate.one[1] = degenerate.zero[1];
    WiiGravityOf(flat, degenerate, &gravity);
    EXPECT_TRUE(std::isfinite(gravity.y));
    EXPECT_FALSE(WiiParseAccelCalibration(block, 5, &kept));
}

TEST(WiiReports, NunchukStickAndButtons)
{
    WiiNunchukCalibration calibration;
    const uint8_t block[16] = {0x80, 0x80, 0x80, 0,    0xB3, 0xB3, 0xB3, 0,
                               0xE0, 0x20, 0x80, 0xE0, 0x20, 0x80, 0,    0};
    ASSERT_TRUE(WiiParseNunchukCalibration(block, sizeof block, &calibration));
    WiiNunchukData data;
    uint8_t buttons = 0;
    const uint8_t upLeft[6] = {0x20, 0xE0, 0x80, 0x80, 0xB3, 0x00};  // both buttons down
    WiiDecodeNunchuk(upLeft, calibration, &buttons, &data);
    EXPECT_EQ(buttons, kWiiNunchukC | kWiiNunchukZ);
    EXPECT_NEAR(data.joystick.x, -1.0, 1e-6);
    EXPECT_NEAR(data.joystick.y, 1.0, 1e-6);
    EXPECT_NEAR(data.joystick.magnitude, 1.0, 1e-6);  // bounded to 1
    EXPECT_NEAR(data.joystick.angle, -45.0, 1e-4);
    const uint8_t centred[6] = {0x80, 0x80, 0x80, 0x80, 0xB3, 0x03};
    WiiDecodeNunchuk(centred, calibration, &buttons, &data);
    EXPECT_EQ(buttons, 0);
    EXPECT_EQ(data.joystick.magnitude, 0.0f);
    EXPECT_EQ(data.joystick.angle, 0.0f);
    // A stick range that is no range keeps the defaults.
    uint8_t bad[16];
    std::copy(block, block + 16, bad);
    bad[8] = bad[9] = 0x50;
    WiiNunchukCalibration fallback;
    EXPECT_FALSE(WiiParseNunchukCalibration(bad, sizeof bad, &fallback));
    EXPECT_EQ(fallback.stickMax[0], WiiNunchukCalibration().stickMax[0]);
    EXPECT_EQ(fallback.stickMax[1], 0xE0);
}

TEST(WiiReports, BoardWeightsInterpolateAndRefuseFlatCalibration)
{
    uint8_t block[24];
    for (int point = 0; point < 3; ++point) {
        for (int sensor = 0; sensor < 4; ++sensor) {
            const int value = 1000 + 1000 * point + 10 * sensor;
            block[8 * point + 2 * sensor] = static_cast<uint8_t>(value >> 8);
            block[8 * point + 2 * sensor + 1] = static_cast<uint8_t>(value);
        }
    }
    uint16_t calibration[3][4];
    ASSERT_TRUE(WiiParseBoardCalibration(block, sizeof block, calibration));
    EXPECT_EQ(calibration[2][3], 3030);
    EXPECT_FLOAT_EQ(WiiBoardWeight(1500, calibration, 0), 8.5f);
    EXPECT_FLOAT_EQ(WiiBoardWeight(2500, calibration, 0), 25.5f);
    EXPECT_FLOAT_EQ(WiiBoardWeight(1010, calibration, 1), 0.0f);
    EXPECT_FLOAT_EQ(WiiBoardWeight(500, calibration, 0), -8.5f);
    EXPECT_EQ(WiiBoardWeight(1500, calibration, 4), 0.0f);

    WiiBoardData board;
    std::copy(&calibration[0][0], &calibration[0][0] + 12, &board.calibration[0][0]);
    board.calibrationValid = true;
    const uint8_t ext[8] = {0x05, 0xDC, 0x03, 0xF2, 0x07, 0xD0, 0x07, 0xDA};  // TR BR TL BL
    WiiDecodeBoard(ext, &board);
    EXPECT_FLOAT_EQ(board.topRight, 8.5f);
    EXPECT_FLOAT_EQ(board.bottomRight, 0.0f);
    EXPECT_FLOAT_EQ(board.topLeft, 17.0f - 17.0f * 20.0f / 1000.0f);
    EXPECT_FLOAT_EQ(board.bottomLeft, 17.0f - 17.0f * 20.0f / 1000.0f);

    // Equal points would divide by zero: the board reads no load at all.
    block[8] = block[0];
    block[9] = block[1];
    EXPECT_FALSE(WiiParseBoardCalibration(block, sizeof block, calibration));
    EXPECT_EQ(WiiBoardWeight(1500, calibration, 0), 0.0f);
    board.calibrationValid = false;
    WiiDecodeBoard(ext, &board);
    EXPECT_EQ(board.topRight, 0.0f);
    EXPECT_EQ(board.raw[0], 1500);
}

TEST(WiiReports, ExtensionIdentifiersAndMotionPlusRates)
{
    const uint8_t nunchuk[6] = {0, 0, 0xA4, 0x20, 0x00, 0x00};
    const uint8_t board[6] = {0, 0, 0xA4, 0x20, 0x04, 0x02};
    const uint8_t plus[6] = {0, 0, 0xA4, 0x20, 0x04, 0x05};
    const uint8_t plusNunchuk[6] = {0, 0, 0xA4, 0x20, 0x05, 0x05};
    const uint8_t classic[6] = {0, 0, 0xA4, 0x20, 0x01, 0x01};
    const uint8_t inactivePlus[6] = {0, 0, 0xA6, 0x20, 0x00, 0x05};
    EXPECT_EQ(WiiExpansionFromId(nunchuk), kWiiExpansionNunchuk);
    EXPECT_EQ(WiiExpansionFromId(board), kWiiExpansionBoard);
    EXPECT_EQ(WiiExpansionFromId(plus), kWiiExpansionMotionPlus);
    EXPECT_EQ(WiiExpansionFromId(plusNunchuk), kWiiExpansionMotionPlusNunchuk);
    EXPECT_EQ(WiiExpansionFromId(classic), kWiiExpansionOther);
    EXPECT_EQ(WiiExpansionFromId(inactivePlus), kWiiExpansionOther);
    EXPECT_TRUE(WiiIsInactiveMotionPlus(inactivePlus));
    EXPECT_FALSE(WiiIsInactiveMotionPlus(plus));
    const uint8_t pro[6] = {0, 0, 0xA4, 0x20, 0x01, 0x20};
    EXPECT_TRUE(WiiIsProControllerId(pro));
    for (const uint8_t* id : {nunchuk, board, plus, plusNunchuk, classic, inactivePlus})
        EXPECT_FALSE(WiiIsProControllerId(id));
    EXPECT_TRUE(WiiIsProControllerName("Nintendo RVL-CNT-01-UC"));
    EXPECT_FALSE(WiiIsProControllerName("Nintendo RVL-CNT-01-TR"));
    EXPECT_FALSE(WiiIsProControllerName("Nintendo RVL-CNT-01"));
    EXPECT_FALSE(WiiIsProControllerName(""));

    // Zero rates in the slow range; pass-through data is no rate at all.
    const uint8_t still[6] = {0x00, 0x00, 0x00, 0x80 | 0x03, 0x80 | 0x02, 0x80 | 0x02};
    WiiMotionPlusData rates;
    ASSERT_TRUE(WiiDecodeMotionPlus(still, &rates));
    EXPECT_FLOAT_EQ(rates.yawRate, 0.0f);
    EXPECT_FLOAT_EQ(rates.rollRate, 0.0f);
    EXPECT_FLOAT_EQ(rates.pitchRate, 0.0f);
    const uint8_t fast[6] = {0x00, 0x00, 0x00, 0xC0, 0x80 | 0x02, 0x80 | 0x02};
    ASSERT_TRUE(WiiDecodeMotionPlus(fast, &rates));
    EXPECT_NEAR(rates.yawRate, 4096.0 / (8192.0 / 2700.0), 1e-3);
    const uint8_t passThrough[6] = {0x80, 0x80, 0x80, 0x80, 0xB2, 0x0C};
    EXPECT_FALSE(WiiDecodeMotionPlus(passThrough, &rates));
}

class WiiHidrawSourceTest : public TempDirTest {
protected:
    void AddNode(const std::string& name, const std::string& uevent)
    {
        const std::filesystem::path device = Dir() / "class" / "hidraw" / name / "device";
        std::filesystem::create_directories(device);
        std::ofstream(device / "uevent") << uevent;
    }
};

TEST_F(WiiHidrawSourceTest, FindsRemotesByTheirHidIdentifier)
{
    AddNode("hidraw0", "DRIVER=hid-generic\nHID_ID=0003:0000046D:0000C077\nHID_NAME=Mouse\n");
    AddNode("hidraw10", "HID_ID=0005:0000057E:00000306\nHID_NAME=Nintendo RVL-CNT-01\n");
    AddNode("hidraw2", "DRIVER=wiimote\nHID_ID=0005:0000057E:00000330\n");
    AddNode("hidraw3", "HID_NAME=no id\n");
    std::filesystem::create_directories(Dir() / "class" / "hidraw" / "hidraw4");  // no uevent
    CWiiHidrawSource source(Dir().string(), "/devices");
    std::vector<WiiHidCandidate> found;
    source.Scan(found);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].path, "/devices/hidraw2");
    EXPECT_EQ(found[0].product, CWiiHidrawSource::kProductRemotePlus);
    EXPECT_EQ(found[1].path, "/devices/hidraw10");
    EXPECT_EQ(found[1].product, CWiiHidrawSource::kProductRemote);

    EXPECT_FALSE(source.CanDiscover());
    std::filesystem::create_directories(Dir() / "class" / "bluetooth" / "hci0");
    EXPECT_TRUE(source.CanDiscover());

    // A node that cannot be opened is said once, on the error stream.
    testing::internal::CaptureStderr();
    int error = 0;
    EXPECT_EQ(source.Open(found[0], &error), -1);
    EXPECT_EQ(error, ENOENT);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("<WII> Cannot open /devices/hidraw2"),
              std::string::npos);
}

// The node's device link names the HID device, its driver link the driver bound to
// it, as the kernel lays them out; a Pro Controller is left out by its HID name.
TEST_F(WiiHidrawSourceTest, TellsTheBoundDriverAndLeavesProControllersOut)
{
    namespace fs = std::filesystem;
    const fs::path hid = Dir() / "devices" / "0005:057E:0306.0007";
    const fs::path drivers = Dir() / "bus" / "hid" / "drivers";
    fs::create_directories(hid);
    fs::create_directories(drivers / "wiimote");
    std::ofstream(hid / "uevent") << "HID_ID=0005:0000057E:00000306\nHID_NAME=Nintendo RVL-CNT-01\n";
    fs::create_directory_symlink(drivers / "wiimote", hid / "driver");
    fs::create_directories(Dir() / "class" / "hidraw" / "hidraw5");
    fs::create_directory_symlink(hid, Dir() / "class" / "hidraw" / "hidraw5" / "device");
    AddNode("hidraw6", "HID_ID=0005:0000057E:00000330\nHID_NAME=Nintendo RVL-CNT-01-UC\n");
    AddNode("hidraw7", "DRIVER=hid-generic\nHID_ID=0005:0000057E:00000330\n"
                       "HID_NAME=Nintendo RVL-CNT-01-TR\n");
    CWiiHidrawSource source(Dir().string(), "/dev");
    std::vector<WiiHidCandidate> found;
    source.Scan(found);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].path, "/dev/hidraw5");
    EXPECT_EQ(found[0].driver, "wiimote");
    EXPECT_EQ(found[0].hidDevice, "0005:057E:0306.0007");
    EXPECT_EQ(found[0].name, "Nintendo RVL-CNT-01");
    EXPECT_EQ(found[1].path, "/dev/hidraw7");
    EXPECT_EQ(found[1].driver, "hid-generic");
    EXPECT_EQ(found[1].name, "Nintendo RVL-CNT-01-TR");

    const std::string notice = WiiKernelDriverNotice(found[0]);
    EXPECT_EQ(notice.rfind("<WII> /dev/hidraw5 (0005:057E:0306.0007) is driven by the kernel's "
                           "Wii driver (wiimote)",
                           0),
              0u)
        << notice;
    EXPECT_NE(notice.find("sudo modprobe -r hid_wiimote"), std::string::npos);
    EXPECT_EQ(notice.back(), '\n');
    EXPECT_EQ(WiiKernelDriverNotice(found[1]), "");
}

// The udev rule that ships with the program opens the remotes' and boards' hidraw
// nodes to the user, and nothing else; the install step puts it in place.
TEST(WiiHidraw, ShippedUdevRuleCoversRemotesAndBoardsOnly)
{
    namespace fs = std::filesystem;
    // This file's name may be relative to wherever it was compiled: look from the
    // test program's folder and those above it.
    fs::path source(__FILE__);
    std::error_code error;
    for (fs::path base = fs::read_symlink("/proc/self/exe", error).parent_path();
         source.is_relative() && !base.empty() && base != base.root_path();
         base = base.parent_path()) {
        if (fs::exists(base / source)) source = base / source;
    }
    const fs::path root = source.parent_path().parent_path().parent_path();
    std::ifstream rule(root / "tools" / "udev" / "70-quorvane-wii.rules");
    ASSERT_TRUE(rule) << root;
    std::vector<std::string> patterns;
    for (std::string line; std::getline(rule, line);) {
        if (line.empty() || line[0] == '#') continue;
        EXPECT_NE(line.find("SUBSYSTEM==\"hidraw\""), std::string::npos) << line;
        EXPECT_NE(line.find("TAG+=\"uaccess\""), std::string::npos) << line;
        const std::string key = "KERNELS==\"";
        const size_t at = line.find(key);
        ASSERT_NE(at, std::string::npos) << line;
        const size_t start = at + key.size();
        patterns.push_back(line.substr(start, line.find('"', start) - start));
    }
    // The HID device's name, as the kernel gives it: bus, vendor, product, instance.
    auto covered = [&](const char* hidDevice) {
        for (const std::string& pattern : patterns)
            if (::fnmatch(pattern.c_str(), hidDevice, 0) == 0) return true;
        return false;
    };
    EXPECT_TRUE(covered("0005:057E:0306.0001"));
    EXPECT_TRUE(covered("0005:057E:0330.000A"));
    EXPECT_FALSE(covered("0005:057E:2009.0003"));
    EXPECT_FALSE(covered("0003:046D:C077.0002"));
    std::ifstream install(root / "tools" / "packages.sh");
    const std::string script((std::istreambuf_iterator<char>(install)),
                             std::istreambuf_iterator<char>());
    EXPECT_NE(script.find("udev/70-quorvane-wii.rules"), std::string::npos);
    EXPECT_NE(script.find("/etc/udev/rules.d/"), std::string::npos);
}

TEST(WiiHidraw, NoHidLayerFindsNothingQuietly)
{
    CWiiHidrawSource source("/nonexistent-sys", "/dev");
    std::vector<WiiHidCandidate> found;
    testing::internal::CaptureStderr();
    source.Scan(found);
    EXPECT_FALSE(source.CanDiscover());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(found.empty());
    uint16_t product = 0;
    EXPECT_FALSE(CWiiHidrawSource::ParseHidId("HID_ID=0005:0000057E:00000307\n", &product));
    EXPECT_FALSE(CWiiHidrawSource::ParseHidId("XHID_ID=0005:0000057E:00000306\n", &product));
    EXPECT_FALSE(CWiiHidrawSource::ParseHidId("HID_ID=garbage\n", &product));
    EXPECT_TRUE(CWiiHidrawSource::ParseHidId("A=1\nHID_ID=0005:0000057E:00000306", &product));
    EXPECT_EQ(product, 0x0306);
}

}  // namespace
