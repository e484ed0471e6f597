#pragma once

// Byte layout of the VRPN 07 wire protocol: cookie, message header, the device
// messages we send and read. Big-endian integers and doubles, payloads padded to 8.
// Pure functions on caller buffers: no allocation, any thread.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vrpn {

constexpr int kDefaultPort = 3883;
constexpr size_t kCookieSize = 24;
constexpr size_t kHeaderSize = 24;
// Stock receivers hold 64008 payload bytes; more from a peer is refused.
constexpr size_t kMaxPayload = 64008;
constexpr int kMaxRemoteIds = 2000;
constexpr size_t kMaxDescriptionPayload = 100;
constexpr size_t kMaxNameLength = 95;
constexpr int kMaxAnalogChannels = 128;
constexpr int kMaxButtons = 256;
// Sensor numbers index channel arrays on the receiving side: a larger one is refused.
constexpr int kMaxSensors = 1024;
constexpr size_t kPosQuatSize = 64;
constexpr size_t kVelocitySize = 72;
constexpr size_t kButtonChangeSize = 8;

// System message types (negative ids).
constexpr int32_t kSenderDescription = -1;
constexpr int32_t kTypeDescription = -2;
constexpr int32_t kUdpDescription = -3;
constexpr int32_t kLogDescription = -4;

// Type names, spelled as every peer registers them.
constexpr const char* kPosQuat = "vrpn_Tracker Pos_Quat";
constexpr const char* kVelocity = "vrpn_Tracker Velocity";
constexpr const char* kAcceleration = "vrpn_Tracker Acceleration";
constexpr const char* kAnalogChannel = "vrpn_Analog Channel";
constexpr const char* kButtonChange = "vrpn_Button Change";
constexpr const char* kButtonStates = "vrpn_Button States";
constexpr const char* kPing = "vrpn_Base ping_message";
constexpr const char* kPong = "vrpn_Base pong_message";

struct Time {
    int32_t sec = 0;
    int32_t usec = 0;
};
// Wall-clock time, as peers stamp their messages.
Time Now();

// One message as it stands in a receive buffer; payload points into that buffer.
struct Message {
    Time time;
    int32_t sender = 0;
    int32_t type = 0;
    const uint8_t* payload = nullptr;
    size_t length = 0;  // unpadded payload bytes
};

constexpr size_t Padded(size_t length) { return (length + 7) & ~size_t{7}; }

void PutU32(uint8_t* out, uint32_t value);
void PutI32(uint8_t* out, int32_t value);
void PutF64(uint8_t* out, double value);
uint32_t GetU32(const uint8_t* in);
int32_t GetI32(const uint8_t* in);
double GetF64(const uint8_t* in);

// Our cookie: "vrpn: ver. 07.38", two blanks, log digit '0', five NULs.
void MakeCookie(uint8_t out[kCookieSize]);
// A peer's cookie: major 07 and a log digit '0'..'3'; the minor may differ.
bool IsCookieAccepted(const uint8_t in[kCookieSize]);

// Writes header, payload and zero padding. Bytes written, 0 when it does not fit.
size_t EncodeMessage(uint8_t* out, size_t capacity, Time time, int32_t sender, int32_t type,
                     const uint8_t* payload, size_t length);
// Sender (-1) or type (-2) description of our id with its name (<= kMaxNameLength).
size_t EncodeDescription(uint8_t* out, size_t capacity, Time time, int32_t kind, int32_t id,
                         std::string_view name);

enum class ParseResult { kComplete, kNeedMore, kMalformed };
// One message from the start of data. kComplete sets consumed to its padded size;
// kMalformed for a length below the header or above kMaxPayload.
ParseResult ParseMessage(const uint8_t* data, size_t size, Message& out, size_t& consumed);
// What is wrong with a sender or type description, kNone when nothing is.
enum class DescriptionFault { kNone, kIdOutOfRange, kTooShort, kTooLong, kBadCount, kNoNul };
DescriptionFault CheckDescription(const Message& message);
// A sender or type description: id in 0..1999, 1 <= N <= payload - 4, payload <= 100,
// the name ending in its one NUL at N - 1. False for anything else.
bool DecodeDescription(const Message& message, std::string_view& name);

// Device payloads. Pose: position x, y, z, quaternion x, y, z, w (VRPN order).
size_t EncodePosQuat(uint8_t* out, int32_t sensor, const double pos[3], const double quat[4]);
// Velocity or acceleration: zero vector, the quaternion and its interval (s).
size_t EncodeVelocity(uint8_t* out, int32_t sensor, const double quat[4], double dt);
size_t EncodeAnalog(uint8_t* out, const double* values, int count);  // count <= 128
size_t EncodeButtonChange(uint8_t* out, int32_t button, int32_t state);
size_t EncodeButtonStates(uint8_t* out, const int32_t* states, int count);  // count <= 256

// Readers check sizes and counts first; false leaves the outputs untouched.
bool DecodePosQuat(const Message& message, int32_t& sensor, double pos[3], double quat[4]);
bool DecodeAnalog(const Message& message, int& count, double values[kMaxAnalogChannels]);
bool DecodeButtonChange(const Message& message, int32_t& button, int32_t& state);

}  // namespace vrpn
