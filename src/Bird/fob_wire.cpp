#include "Bird/fob_wire.h"

#include <cmath>

namespace fob_wire {

namespace {

enum class record_kind { none, position_angles, position_quaternion, angles, position, quaternion };

// Which record a mode streams; the order decides when a mode holds several bits.
record_kind kind_of(unsigned mode)
{
    const bool hasPosition = (mode & kModePosition) != 0;
    if (hasPosition && (mode & kModeAngles) != 0) return record_kind::position_angles;
    if (hasPosition && (mode & kModeQuaternion) != 0) return record_kind::position_quaternion;
    if ((mode & kModeAngles) != 0) return record_kind::angles;
    if (hasPosition) return record_kind::position;
    if ((mode & kModeQuaternion) != 0) return record_kind::quaternion;
    return record_kind::none;
}

struct hemisphere_entry {
    const char* name;
    uint8_t bytes[2];
};
constexpr hemisphere_entry kHemispheres[kHemisphereCount] = {
    {"AFT", {0x00, 0x01}},   {"FORWARD", {0x00, 0x00}}, {"LEFT", {0x06, 0x01}},
    {"RIGHT", {0x06, 0x00}}, {"UP", {0x0C, 0x01}},      {"DOWN", {0x0C, 0x00}},
};

struct error_row {
    const char* message;
    int level;
};
// Codes 1 to 35; 20 to 27 share one text.
constexpr error_row kErrors[kMaxErrorCode] = {
    {"System Ram Failure", 2},
    {"Non-Volatile Storage Write Failure", 2},
    {"PCB Configuration Data Corrupt", 0},
    {"Bird Transmitter Calibration Data Corrupt or Not Connected", 0},
    {"Bird Sensor Calibration Data Corrupt or Not Connected", 0},
    {"Invalid RS232 Command", 1},
    {"Not an FBB Master", 1},
    {"No Birds accessible in Device List", 1},
    {"Bird is Not Initialized", 1},
    {"FBB Serial Port Receive Error - Intra Bird Bus", 0},
    {"RS232 Serial Port Receive Error", 0},
    {"FBB Serial Port Receive Error - FBB Host Bus", 0},
    {"No FBB Command Response", 0},
    {"Invalid FBB Host Command", 0},
    {"FBB Run Time Error", 2},
    {"Invalid CPU Speed", 2},
    {"No FBB Data", 0},
    {"Illegal Baud Rate", 0},
    {"Slave Acknowledge Error", 0},
    {"CPU Error", 2},
    {"CPU Error", 2},
    {"CPU Error", 2},
    {"CPU Error", 2},
    {"CPU Error", 2},
    {"CPU Error", 2},
    {"CPU Error", 2},
    {"CPU Error", 2},
    {"CRT Synchronization", 0},
    {"Transmitter Not accessible", 0},
    {"Extended Range Transmitter Not Attached", 1},
    {"CPU Time Overflow", 1},
    {"Sensor Saturated", 0},
    {"Slave Configuration", 0},
    {"Watch Dog Timer", 0},
    {"Over Temperature", 0},
};

constexpr float kInchToMetre = 0.0254f;
constexpr float kWordScale = 1.0f / 32768.0f;
constexpr float kAngleScale = 180.0f / 32768.0f;

// Word i of a record.
float word(const uint8_t* record, size_t i)
{
    return static_cast<float>(decode_word(record[2 * i], record[2 * i + 1]));
}

void decode_position(const uint8_t* record, float rangeInches, float out[3])
{
    const float scale = rangeInches * kWordScale * kInchToMetre;
    for (size_t i = 0; i < 3; ++i) out[i] = word(record, i) * scale;
}

void decode_quaternion(const uint8_t* record, float out[4])
{
    for (size_t i = 0; i < 4; ++i) out[i] = word(record, i) * kWordScale;
}

}  // namespace

int16_t decode_word(uint8_t low, uint8_t high)
{
    // 7 bits from each byte: the phasing bit and a stray high bit 7 fall out.
    const uint16_t bits = static_cast<uint16_t>(((high & 0x7Fu) << 9) | ((low & 0x7Fu) << 2));
    return static_cast<int16_t>(bits);
}

uint8_t data_mode_command(unsigned mode)
{
    const bool hasPosition = (mode & kModePosition) != 0;
    if (hasPosition && (mode & kModeAngles) != 0) return kCmdPositionAngles;
    if (hasPosition && (mode & kModeQuaternion) != 0) return kCmdPositionQuaternion;
    if (hasPosition) return kCmdPosition;
    if ((mode & kModeAngles) != 0) return kCmdAngles;
    if ((mode & kModeQuaternion) != 0) return kCmdQuaternion;
    return 0;
}

size_t record_length(unsigned mode)
{
    switch (kind_of(mode)) {
        case record_kind::position_angles:
            return 12;
        case record_kind::position_quaternion:
            return 14;
        case record_kind::angles:
            return 6;
        case record_kind::position:
            return 6;
        case record_kind::quaternion:
            return 8;
        default:
            return 0;
    }
}

bool decode_record(unsigned mode, bool flip, float rangeInches, const uint8_t* record,
                   size_t length, bird_values& values)
{
    if (record == nullptr) return false;
    if ((mode & kModeButtons) != 0) {
        if (length < 1) return false;
        --length;
    }
    const record_kind kind = kind_of(mode);
    if (kind == record_kind::none || length != record_length(mode)) return false;
    switch (kind) {
        case record_kind::position_angles: {
            decode_position(record, rangeInches, values.position);
            const float a = word(record, 3) * kAngleScale;
            const float b = word(record, 4) * kAngleScale;
            const float c = word(record, 5) * kAngleScale;
            values.angles[0] = flip ? -b : a;
            values.angles[1] = flip ? -a : b;
            values.angles[2] = c;
            break;
        }
        case record_kind::position_quaternion:
            decode_position(record, rangeInches, values.position);
            decode_quaternion(record + 6, values.quaternion);
            break;
        case record_kind::angles: {
            const float a = word(record, 0) * kAngleScale;
            const float b = word(record, 1) * kAngleScale;
            const float c = word(record, 2) * kAngleScale;
            values.angles[0] = flip ? -b : a;
            values.angles[1] = flip ? -c : b;
            values.angles[2] = flip ? a : c;
            break;
        }
        case record_kind::position:
            decode_position(record, rangeInches, values.position);
            break;
        case record_kind::quaternion:
            decode_quaternion(record, values.quaternion);
            break;
        default:
            return false;
    }
    if ((mode & kModeButtons) != 0) values.buttons = record[length];
    return true;
}

const char* hemisphere_name(unsigned index)
{
    return index < kHemisphereCount ? kHemispheres[index].name : nullptr;
}

bool hemisphere_bytes(unsigned index, uint8_t bytes[2])
{
    if (index >= kHemisphereCount) return false;
    bytes[0] = kHemispheres[index].bytes[0];
    bytes[1] = kHemispheres[index].bytes[1];
    return true;
}

bool error_entry(unsigned code, const char** message, int* level)
{
    if (code < 1 || code > kMaxErrorCode) return false;
    if (message != nullptr) *message = kErrors[code - 1].message;
    if (level != nullptr) *level = kErrors[code - 1].level;
    return true;
}

double line_rate(unsigned mode, uint32_t baud, size_t birds)
{
    if (birds == 0 || baud < 1) return 0.0;
    double k = 0.0;
    switch (mode) {
        case 1:
        case 2:
            k = 515.0;
            break;
        case 3:
            k = 412.0;
            break;
        case 9:
            k = 353.0;
            break;
        default:
            return 0.0;
    }
    return std::ceil(k * baud / 115200.0 / static_cast<double>(birds));
}

}  // namespace fob_wire
