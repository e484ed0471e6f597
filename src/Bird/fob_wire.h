#pragma once

#include <cstddef>
#include <cstdint>

// The Flock of Birds RS-232 wire format: command bytes, the 14-bit data words of
// streamed records and their scaling, the hemisphere and error tables, the line
// capacity. Pure functions, no port: any thread.
namespace fob_wire {

// Commands (one byte each, some followed by data bytes).
constexpr uint8_t kCmdPointReset = '/';
constexpr uint8_t kCmdExamine = 'O';
constexpr uint8_t kCmdChange = 'P';
constexpr uint8_t kCmdWakeUp = 'F';
constexpr uint8_t kCmdSleep = 'G';
constexpr uint8_t kCmdPoint = 'B';
constexpr uint8_t kCmdStream = '@';
constexpr uint8_t kCmdHemisphere = 'L';
constexpr uint8_t kCmdButtonMode = 'M';
constexpr uint8_t kCmdPosition = 'V';
constexpr uint8_t kCmdAngles = 'W';
constexpr uint8_t kCmdPositionAngles = 'Y';
constexpr uint8_t kCmdQuaternion = '\\';
constexpr uint8_t kCmdPositionQuaternion = ']';
constexpr uint8_t kSelectBirdBase = 0xF0;  // + address 1 to 14

// Parameters of the examine and change commands.
constexpr uint8_t kParamBirdStatus = 0x00;
constexpr uint8_t kParamErrorCode = 0x0A;
constexpr uint8_t kParamAddressMode = 0x13;
constexpr uint8_t kParamGroupMode = 0x23;
constexpr uint8_t kParamFlockStatus = 0x24;
constexpr uint8_t kParamAutoConfig = 0x32;

// Data mode bits.
constexpr unsigned kModePosition = 1;
constexpr unsigned kModeAngles = 2;
constexpr unsigned kModeButtons = 4;
constexpr unsigned kModeQuaternion = 8;

constexpr unsigned kMaxBirds = 14;
constexpr uint8_t kPhasingBit = 0x80;
// Largest record: 14 data bytes, the button byte and the trailing address.
constexpr size_t kMaxRecord = 16;

// One word: low byte first, 7 data bits in each byte (the low byte's bit 7 is the
// phasing bit), scaled to the full signed 16-bit range.
int16_t decode_word(uint8_t low, uint8_t high);

// The data-mode command for a mode, 0 when the mode asks for no data.
uint8_t data_mode_command(unsigned mode);

// Number of data bytes (buttons excluded) the mode's records carry; 0 for none.
size_t record_length(unsigned mode);

// The values one record carries, decoded.
struct bird_values {
    float position[3] = {0.0f, 0.0f, 0.0f};          // metres
    float angles[3] = {0.0f, 0.0f, 0.0f};            // degrees
    float quaternion[4] = {0.0f, 0.0f, 0.0f, 0.0f};  // q0 (scalar) first
    uint8_t buttons = 0;
};

// Decodes a record of the given mode into values (only the fields the record
// carries change). False, values untouched, when the length does not fit the mode.
bool decode_record(unsigned mode, bool flip, float rangeInches, const uint8_t* record,
                   size_t length, bird_values& values);

// Hemisphere index 0 to 5: its name and the two bytes sent after 'L'. Null / false
// for an unknown index.
const char* hemisphere_name(unsigned index);
bool hemisphere_bytes(unsigned index, uint8_t bytes[2]);
constexpr unsigned kHemisphereCount = 6;

// The flock's error codes 1 to 35: message and level (below the threshold: only
// printed). False for 0 or an unknown code.
bool error_entry(unsigned code, const char** message, int* level);
constexpr unsigned kMaxErrorCode = 35;

// Highest record rate the line can carry for a mode, in Hz, rounded up; 0 for a
// mode without a known record size, no birds or no baud.
double line_rate(unsigned mode, uint32_t baud, size_t birds);

}  // namespace fob_wire
