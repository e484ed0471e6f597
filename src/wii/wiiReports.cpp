#include "wii/wiiReports.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr double kDegreesPerRadian = 57.29577951308232;
// Motion Plus: 14-bit rates around this zero; counts per degree per second.
constexpr double kMotionPlusZero = 8192.0;
constexpr double kMotionPlusSlowScale = 8192.0 / 595.0;
constexpr double kMotionPlusFastScale = 8192.0 / 2700.0;
constexpr uint8_t kFullBatteryCode = 0xC8;

uint8_t RumbleBit(bool rumble) { return rumble ? 0x01 : 0x00; }

void PutAddress(uint8_t* out, uint8_t space, uint32_t address, bool rumble)
{
    out[0] = static_cast<uint8_t>(space | RumbleBit(rumble));
    out[1] = static_cast<uint8_t>(address >> 16);
    out[2] = static_cast<uint8_t>(address >> 8);
    out[3] = static_cast<uint8_t>(address);
}

uint16_t BigEndian16(const uint8_t* bytes)
{
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

float ClampUnit(double value) { return static_cast<float>(std::max(-1.0, std::min(1.0, value))); }

bool IsDegenerate(const WiiAccelCalibration& calibration)
{
    for (int i = 0; i < 3; ++i) {
        if (calibration.one[i] == calibration.zero[i]) return true;
    }
    return false;
}

void DecodeStick(uint8_t sx, uint8_t sy, const WiiNunchukCalibration& calibration, WiiJoystick* out)
{
    const uint8_t raw[2] = {sx, sy};
    double axis[2];
    for (int i = 0; i < 2; ++i) {
        const double half = (calibration.stickMax[i] - calibration.stickMin[i]) / 2.0;
        axis[i] = half > 0.0 ? ClampUnit((raw[i] - calibration.stickCentre[i]) / half) : 0.0;
    }
    out->x = static_cast<float>(axis[0]);
    out->y = static_cast<float>(axis[1]);
    out->magnitude = static_cast<float>(std::min(1.0, std::hypot(axis[0], axis[1])));
    out->angle = out->magnitude > 0.0f
                     ? static_cast<float>(std::atan2(axis[0], axis[1]) * kDegreesPerRadian)
                     : 0.0f;
}

}  // namespace

size_t WiiMakeRumble(uint8_t* out, bool rumble)
{
    out[0] = kWiiOutRumble;
    out[1] = RumbleBit(rumble);
    return 2;
}

size_t WiiMakeLeds(uint8_t* out, uint8_t leds, bool rumble)
{
    out[0] = kWiiOutLeds;
    out[1] = static_cast<uint8_t>((leds & 0xF0) | RumbleBit(rumble));
    return 2;
}

size_t WiiMakeReportMode(uint8_t* out, uint8_t mode, bool continuous, bool rumble)
{
    out[0] = kWiiOutReportMode;
    out[1] = static_cast<uint8_t>((continuous ? 0x04 : 0x00) | RumbleBit(rumble));
    out[2] = mode;
    return 3;
}

size_t WiiMakeStatusRequest(uint8_t* out, bool rumble)
{
    out[0] = kWiiOutStatus;
    out[1] = RumbleBit(rumble);
    return 2;
}

size_t WiiMakeRead(uint8_t* out, uint8_t space, uint32_t address, uint16_t size, bool rumble)
{
    out[0] = kWiiOutRead;
    PutAddress(out + 1, space, address, rumble);
    out[5] = static_cast<uint8_t>(size >> 8);
    out[6] = static_cast<uint8_t>(size);
    return 7;
}

size_t WiiMakeWrite(uint8_t* out, uint8_t space, uint32_t address, const uint8_t* data,
                    size_t length, bool rumble)
{
    length = std::min<size_t>(length, 16);
    out[0] = kWiiOutWrite;
    PutAddress(out + 1, space, address, rumble);
    out[5] = static_cast<uint8_t>(length);
    std::memset(out + 6, 0, 16);
    if (data != nullptr && length > 0) std::memcpy(out + 6, data, length);
    return 22;
}

bool WiiDataLayoutOf(uint8_t reportId, WiiDataLayout* layout)
{
    WiiDataLayout l;
    switch (reportId) {
        case 0x30:
            l = {0, -1, -1, 0, 3};
            break;
        case 0x31:
            l = {0, 2, -1, 0, 6};
            break;
        case 0x32:
            l = {0, -1, 2, 8, 11};
            break;
        case 0x33:
            l = {0, 2, -1, 0, 18};
            break;
        case 0x34:
            l = {0, -1, 2, 19, 22};
            break;
        case 0x35:
            l = {0, 2, 5, 16, 22};
            break;
        case 0x36:
            l = {0, -1, 12, 9, 22};
            break;
        case 0x37:
            l = {0, 2, 15, 6, 22};
            break;
        case 0x3D:
            l = {-1, -1, 0, 21, 22};
            break;
        default:
            return false;
    }
    *layout = l;
    return true;
}

uint16_t WiiDecodeButtons(const uint8_t* bytes)
{
    return static_cast<uint16_t>(BigEndian16(bytes) & kWiiButtonAll);
}

float WiiBatteryLevel(uint8_t raw)
{
    return std::min(1.0f, static_cast<float>(raw) / static_cast<float>(kFullBatteryCode));
}

bool WiiParseAccelCalibration(const uint8_t* bytes, size_t size, WiiAccelCalibration* out)
{
    if (bytes == nullptr || size < 7) return false;
    WiiAccelCalibration parsed;
    for (int i = 0; i < 3; ++i) {
        parsed.zero[i] = bytes[i];
        parsed.one[i] = bytes[4 + i];
    }
    // An unwritten or damaged block would make every reading a division by zero.
    if (IsDegenerate(parsed)) return false;
    *out = parsed;
    return true;
}

void WiiGravityOf(const uint8_t raw[3], const WiiAccelCalibration& calibration, WiiGravity* out)
{
    float g[3];
    for (int i = 0; i < 3; ++i) {
        const int span = calibration.one[i] - calibration.zero[i];
        g[i] = span != 0 ? static_cast<float>(raw[i] - calibration.zero[i]) / span : 0.0f;
    }
    out->x = g[0];
    out->y = g[1];
    out->z = g[2];
}

void WiiOrientationOf(const WiiGravity& gravity, WiiOrientation* out)
{
    // Gravity alone gives roll and pitch, each against the z axis as the Wii library
    // publishes them, so that readings compare with recordings made elsewhere.
    const double x = gravity.x, y = gravity.y, z = gravity.z;
    out->roll = static_cast<float>(std::atan2(x, z) * kDegreesPerRadian);
    out->pitch = static_cast<float>(std::atan2(y, z) * kDegreesPerRadian);
    out->yaw = 0.0f;
}

bool WiiParseNunchukCalibration(const uint8_t* bytes, size_t size, WiiNunchukCalibration* out)
{
    if (bytes == nullptr || size < 14) return false;
    WiiNunchukCalibration parsed;
    bool whole = WiiParseAccelCalibration(bytes, size, &parsed.accel);
    for (int i = 0; i < 2; ++i) {
        const uint8_t max = bytes[8 + 3 * i];
        const uint8_t min = bytes[9 + 3 * i];
        const uint8_t centre = bytes[10 + 3 * i];
        if (max > min && centre > min && centre < max) {
            parsed.stickMax[i] = max;
            parsed.stickMin[i] = min;
            parsed.stickCentre[i] = centre;
        } else {
            whole = false;
        }
    }
    *out = parsed;
    return whole;
}

void WiiDecodeNunchuk(const uint8_t* bytes, const WiiNunchukCalibration& calibration,
                      uint8_t* buttons, WiiNunchukData* out)
{
    DecodeStick(bytes[0], bytes[1], calibration, &out->joystick);
    const uint8_t accel[3] = {bytes[2], bytes[3], bytes[4]};
    WiiGravityOf(accel, calibration.accel, &out->gravity);
    WiiOrientationOf(out->gravity, &out->orientation);
    // The wire sends the buttons low when pressed.
    *buttons = static_cast<uint8_t>(~bytes[5] & (kWiiNunchukZ | kWiiNunchukC));
}

void WiiDecodePassThroughNunchuk(const uint8_t* bytes, const WiiNunchukCalibration& calibration,
                                 uint8_t* buttons, WiiNunchukData* out)
{
    DecodeStick(bytes[0], bytes[1], calibration, &out->joystick);
    const uint8_t accel[3] = {bytes[2], bytes[3], static_cast<uint8_t>(bytes[4] & 0xFE)};
    WiiGravityOf(accel, calibration.accel, &out->gravity);
    WiiOrientationOf(out->gravity, &out->orientation);
    uint8_t pressed = 0;
    if ((bytes[5] & 0x04) == 0) pressed |= kWiiNunchukZ;
    if ((bytes[5] & 0x08) == 0) pressed |= kWiiNunchukC;
    *buttons = pressed;
}

bool WiiParseBoardCalibration(const uint8_t* bytes, size_t size, uint16_t out[3][4])
{
    if (bytes == nullptr || size < 24) return false;
    bool valid = true;
    for (int point = 0; point < 3; ++point) {
        for (int sensor = 0; sensor < 4; ++sensor)
            out[point][sensor] = BigEndian16(bytes + 8 * point + 2 * sensor);
    }
    for (int sensor = 0; sensor < 4; ++sensor)
        valid = valid && out[0][sensor] < out[1][sensor] && out[1][sensor] < out[2][sensor];
    return valid;
}

float WiiBoardWeight(uint16_t raw, const uint16_t calibration[3][4], int sensor)
{
    if (sensor < 0 || sensor > 3) return 0.0f;
    const double at0 = calibration[0][sensor];
    const double at17 = calibration[1][sensor];
    const double at34 = calibration[2][sensor];
    // Equal points would divide by zero: such a board has no usable calibration.
    if (!(at0 < at17 && at17 < at34)) return 0.0f;
    const double kg =
        raw < at17 ? 17.0 * (raw - at0) / (at17 - at0) : 17.0 + 17.0 * (raw - at17) / (at34 - at17);
    return static_cast<float>(kg);
}

void WiiDecodeBoard(const uint8_t* bytes, WiiBoardData* board)
{
    for (int sensor = 0; sensor < 4; ++sensor) board->raw[sensor] = BigEndian16(bytes + 2 * sensor);
    if (!board->calibrationValid) {
        board->topRight = board->bottomRight = board->topLeft = board->bottomLeft = 0.0f;
        return;
    }
    board->topRight = WiiBoardWeight(board->raw[0], board->calibration, 0);
    board->bottomRight = WiiBoardWeight(board->raw[1], board->calibration, 1);
    board->topLeft = WiiBoardWeight(board->raw[2], board->calibration, 2);
    board->bottomLeft = WiiBoardWeight(board->raw[3], board->calibration, 3);
}

int WiiExpansionFromId(const uint8_t* id)
{
    if (id[2] != 0xA4 || id[3] != 0x20) return kWiiExpansionOther;
    const uint16_t kind = static_cast<uint16_t>((id[4] << 8) | id[5]);
    switch (kind) {
        case 0x0000:
            return kWiiExpansionNunchuk;
        case 0x0402:
            return kWiiExpansionBoard;
        case 0x0405:
            return kWiiExpansionMotionPlus;
        case 0x0505:
            return kWiiExpansionMotionPlusNunchuk;
        default:
            return kWiiExpansionOther;
    }
}

bool WiiIsInactiveMotionPlus(const uint8_t* id)
{
    return id[2] == 0xA6 && id[3] == 0x20 && id[5] == 0x05;
}

bool WiiIsProControllerId(const uint8_t* id)
{
    return id[2] == 0xA4 && id[3] == 0x20 && id[4] == 0x01 && id[5] == 0x20;
}

bool WiiDecodeMotionPlus(const uint8_t* bytes, WiiMotionPlusData* out)
{
    if ((bytes[5] & 0x02) == 0) return false;
    const int yaw = bytes[0] | ((bytes[3] & 0xFC) << 6);
    const int roll = bytes[1] | ((bytes[4] & 0xFC) << 6);
    const int pitch = bytes[2] | ((bytes[5] & 0xFC) << 6);
    const bool yawSlow = (bytes[3] & 0x02) != 0;
    const bool pitchSlow = (bytes[3] & 0x01) != 0;
    const bool rollSlow = (bytes[4] & 0x02) != 0;
    auto rate = [](int raw, bool slow) {
        return static_cast<float>((raw - kMotionPlusZero) /
                                  (slow ? kMotionPlusSlowScale : kMotionPlusFastScale));
    };
    out->yawRate = rate(yaw, yawSlow);
    out->rollRate = rate(roll, rollSlow);
    out->pitchRate = rate(pitch, pitchSlow);
    return true;
}
