#pragma once

#include <cstdint>

// What one Wii Remote or Balance Board last reported: the plain, copyable part of a
// remote record. The platform layer writes it while polling; readers take copies
// through the Wii layer, which serialises both.

// State flags.
constexpr int kWiiStateConnected = 0x0008;
constexpr int kWiiStateAccelerometer = 0x0020;

// Expansion types.
constexpr int kWiiExpansionNone = 0;
constexpr int kWiiExpansionNunchuk = 1;
constexpr int kWiiExpansionOther = 2;  // classic controller and the like: read as none
constexpr int kWiiExpansionBoard = 4;
constexpr int kWiiExpansionMotionPlus = 5;
constexpr int kWiiExpansionMotionPlusNunchuk = 6;

// Event codes left by a poll.
constexpr int kWiiEventNone = 0;
constexpr int kWiiEventData = 1;
constexpr int kWiiEventDisconnect = 4;
constexpr int kWiiEventUnexpectedDisconnect = 5;

// Button masks of the remote (as the core buttons report them, high byte first).
constexpr uint16_t kWiiButtonTwo = 0x0001;
constexpr uint16_t kWiiButtonOne = 0x0002;
constexpr uint16_t kWiiButtonB = 0x0004;
constexpr uint16_t kWiiButtonA = 0x0008;
constexpr uint16_t kWiiButtonMinus = 0x0010;
constexpr uint16_t kWiiButtonHome = 0x0080;
constexpr uint16_t kWiiButtonLeft = 0x0100;
constexpr uint16_t kWiiButtonRight = 0x0200;
constexpr uint16_t kWiiButtonDown = 0x0400;
constexpr uint16_t kWiiButtonUp = 0x0800;
constexpr uint16_t kWiiButtonPlus = 0x1000;
constexpr uint16_t kWiiButtonAll = 0x1F9F;
// Nunchuk buttons (pressed = set, unlike the wire).
constexpr uint8_t kWiiNunchukZ = 0x01;
constexpr uint8_t kWiiNunchukC = 0x02;

// Parts of a data report: what the last one handled carried.
constexpr uint8_t kWiiPartAngles = 0x01;
constexpr uint8_t kWiiPartRates = 0x02;
constexpr uint8_t kWiiPartNunchuk = 0x04;
constexpr uint8_t kWiiPartLoads = 0x08;

// LED masks: LED n + 1 lights slot n.
constexpr uint8_t kWiiLed1 = 0x10;
constexpr uint8_t kWiiLed2 = 0x20;
constexpr uint8_t kWiiLed3 = 0x40;
constexpr uint8_t kWiiLed4 = 0x80;

struct WiiOrientation {
    float roll = 0.0f;   // degrees
    float pitch = 0.0f;  // degrees
    float yaw = 0.0f;    // degrees; no camera, so no absolute yaw: stays 0
};

struct WiiGravity {
    float x = 0.0f, y = 0.0f, z = 0.0f;  // in g
};

struct WiiJoystick {
    float angle = 0.0f;      // degrees, 0 = up, clockwise
    float magnitude = 0.0f;  // 0..1
    float x = 0.0f;          // -1..1
    float y = 0.0f;          // -1..1
};

struct WiiNunchukData {
    // Since the last take: down now or pressed meanwhile; down since before; let go.
    uint8_t buttons = 0;
    uint8_t buttonsHeld = 0;
    uint8_t buttonsReleased = 0;
    WiiOrientation orientation;
    WiiGravity gravity;
    WiiJoystick joystick;
};

struct WiiBoardData {
    // Interpolated corner loads, kilograms.
    float topRight = 0.0f, topLeft = 0.0f, bottomRight = 0.0f, bottomLeft = 0.0f;
    // Raw sensor values and their calibration (0, 17 and 34 kg), in the board's order
    // top right, bottom right, top left, bottom left.
    uint16_t raw[4] = {0, 0, 0, 0};
    uint16_t calibration[3][4] = {};
    bool calibrationValid = false;
};

struct WiiMotionPlusData {
    float rollRate = 0.0f, pitchRate = 0.0f, yawRate = 0.0f;  // degrees per second
};

struct WiiRemoteData {
    int id = 0;                 // 1-based number given at connection
    int state = 0;              // kWiiState... bits
    float batteryLevel = 0.0f;  // 0..1
    int expansion = kWiiExpansionNone;
    int type = 0;  // non-zero: Motion Plus built in
    int event = kWiiEventNone;
    uint8_t parts = 0;  // kWiiPart... bits of the last data report
    // Which device the record holds, the same through every search; 0 for none.
    uint64_t serial = 0;
    // Since the last take: down now or pressed meanwhile; down since before; let go.
    uint16_t buttons = 0;
    uint16_t buttonsHeld = 0;
    uint16_t buttonsReleased = 0;
    WiiOrientation orientation;
    WiiGravity gravity;
    WiiNunchukData nunchuk;
    WiiBoardData board;
    WiiMotionPlusData motionPlus;
    uint8_t leds = 0;
    bool rumble = false;
};
