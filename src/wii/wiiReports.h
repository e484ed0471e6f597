#pragma once

#include <cstddef>
#include <cstdint>

#include "wii/wiiRecord.h"

// The bytes of the Wii Remote's HID reports: output reports the host sends, input
// reports it decodes, and the calibration arithmetic. Pure functions, any thread.
// Every report starts with its report id; the low bit of an output report's first
// payload byte carries the rumble motor's state.

constexpr size_t kWiiMaxReport = 23;  // id + 22 bytes: the largest report either way

// Output reports.
constexpr uint8_t kWiiOutRumble = 0x10;
constexpr uint8_t kWiiOutLeds = 0x11;
constexpr uint8_t kWiiOutReportMode = 0x12;
constexpr uint8_t kWiiOutStatus = 0x15;
constexpr uint8_t kWiiOutWrite = 0x16;
constexpr uint8_t kWiiOutRead = 0x17;
// Input reports.
constexpr uint8_t kWiiInStatus = 0x20;
constexpr uint8_t kWiiInReadData = 0x21;
constexpr uint8_t kWiiInAck = 0x22;
// Data reporting modes used here.
constexpr uint8_t kWiiModeButtons = 0x30;
constexpr uint8_t kWiiModeAccel = 0x31;
constexpr uint8_t kWiiModeExtension = 0x34;
constexpr uint8_t kWiiModeAccelExtension = 0x35;

// Address spaces of the read and write reports.
constexpr uint8_t kWiiSpaceEeprom = 0x00;
constexpr uint8_t kWiiSpaceRegister = 0x04;
// Addresses.
constexpr uint32_t kWiiAccelCalibrationAddress = 0x000016;  // 10 bytes
constexpr uint32_t kWiiExtensionInit1 = 0xA400F0;           // 0x55: plain (unencrypted) data
constexpr uint32_t kWiiExtensionInit2 = 0xA400FB;           // 0x00
constexpr uint32_t kWiiExtensionId = 0xA400FA;              // 6 bytes
constexpr uint32_t kWiiNunchukCalibration = 0xA40020;       // 14 bytes used
constexpr uint32_t kWiiBoardCalibration = 0xA40024;         // 24 bytes
constexpr uint32_t kWiiMotionPlusId = 0xA600FA;             // 6 bytes while inactive
constexpr uint32_t kWiiMotionPlusInit = 0xA600F0;           // 0x55 before activating
constexpr uint32_t kWiiMotionPlusActivate = 0xA600FE;       // 0x04 alone, 0x05 with a nunchuk

// Status report flags.
constexpr uint8_t kWiiStatusBatteryLow = 0x01;
constexpr uint8_t kWiiStatusExtension = 0x02;

size_t WiiMakeRumble(uint8_t* out, bool rumble);
size_t WiiMakeLeds(uint8_t* out, uint8_t leds, bool rumble);
size_t WiiMakeReportMode(uint8_t* out, uint8_t mode, bool continuous, bool rumble);
size_t WiiMakeStatusRequest(uint8_t* out, bool rumble);
size_t WiiMakeRead(uint8_t* out, uint8_t space, uint32_t address, uint16_t size, bool rumble);
// length 1..16 (longer is cut to 16); the payload is padded with zeros.
size_t WiiMakeWrite(uint8_t* out, uint8_t space, uint32_t address, const uint8_t* data,
                    size_t length, bool rumble);

// Where a data report (0x30..0x3f) keeps its parts: offsets after the id, -1 for none.
struct WiiDataLayout {
    int buttons = -1;
    int accel = -1;
    int extension = -1;
    int extensionLength = 0;
    size_t size = 0;  // whole report, id included
};
bool WiiDataLayoutOf(uint8_t reportId, WiiDataLayout* layout);

// The core buttons: two bytes, high first, masked to the real buttons.
uint16_t WiiDecodeButtons(const uint8_t* bytes);
// Status byte to 0..1; a remote's fresh batteries read about 0xC8.
float WiiBatteryLevel(uint8_t raw);

// Accelerometer calibration: readings at 0 g and at 1 g on each axis.
struct WiiAccelCalibration {
    uint8_t zero[3] = {0x80, 0x80, 0x80};
    uint8_t one[3] = {0x9A, 0x9A, 0x9A};
};
// False, and the defaults kept, when the block is degenerate (1 g equal to 0 g).
bool WiiParseAccelCalibration(const uint8_t* bytes, size_t size, WiiAccelCalibration* out);
void WiiGravityOf(const uint8_t raw[3], const WiiAccelCalibration& calibration, WiiGravity* out);
void WiiOrientationOf(const WiiGravity& gravity, WiiOrientation* out);

struct WiiNunchukCalibration {
    WiiAccelCalibration accel;
    uint8_t stickMax[2] = {0xE0, 0xE0};
    uint8_t stickMin[2] = {0x20, 0x20};
    uint8_t stickCentre[2] = {0x80, 0x80};
};
// Accelerometer and joystick parts each fall back to the defaults when degenerate.
bool WiiParseNunchukCalibration(const uint8_t* bytes, size_t size, WiiNunchukCalibration* out);
// Six extension bytes to buttons (pressed = set), orientation and joystick.
void WiiDecodeNunchuk(const uint8_t* bytes, const WiiNunchukCalibration& calibration,
                      uint8_t* buttons, WiiNunchukData* out);
// The nunchuk bytes a Motion Plus passes through (pass-through mode).
void WiiDecodePassThroughNunchuk(const uint8_t* bytes, const WiiNunchukCalibration& calibration,
                                 uint8_t* buttons, WiiNunchukData* out);

// 24 bytes: 0, 17 and 34 kg, each four big-endian values (TR, BR, TL, BL). Valid only
// when every sensor's three points rise.
bool WiiParseBoardCalibration(const uint8_t* bytes, size_t size, uint16_t out[3][4]);
// One sensor's load in kilograms; 0 without a valid calibration.
float WiiBoardWeight(uint16_t raw, const uint16_t calibration[3][4], int sensor);
// Eight extension bytes to raw values and corner loads.
void WiiDecodeBoard(const uint8_t* bytes, WiiBoardData* board);

// Six identifier bytes to an expansion type.
int WiiExpansionFromId(const uint8_t* id);
// True for a Motion Plus that is plugged in but not active (its own identifier).
bool WiiIsInactiveMotionPlus(const uint8_t* id);
// True for the identifier a Wii U Pro Controller gives in the extension's place: it
// shares the remote's product id but is no remote.
bool WiiIsProControllerId(const uint8_t* id);

// Six Motion Plus bytes. False when they carry pass-through extension data instead.
bool WiiDecodeMotionPlus(const uint8_t* bytes, WiiMotionPlusData* out);
