#include "network/vrpnWire.h"

#include <sys/time.h>

#include <cstring>

namespace vrpn {

namespace {

constexpr char kMagic[] = "vrpn: ver. 07.38";
constexpr size_t kMagicLength = 16;
constexpr size_t kMajorLength = 14;  // "vrpn: ver. 07." : only the major must match

}  // namespace

Time Now()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return Time{static_cast<int32_t>(now.tv_sec), static_cast<int32_t>(now.tv_usec)};
}

void PutU32(uint8_t* out, uint32_t value)
{
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

void PutI32(uint8_t* out, int32_t value) { PutU32(out, static_cast<uint32_t>(value)); }

void PutF64(uint8_t* out, double value)
{
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
}

uint32_t GetU32(const uint8_t* in)
{
    return (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) |
           uint32_t{in[3]};
}

int32_t GetI32(const uint8_t* in) { return static_cast<int32_t>(GetU32(in)); }

double GetF64(const uint8_t* in)
{
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | in[i];
    double value = 0.0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void MakeCookie(uint8_t out[kCookieSize])
{
    std::memset(out, 0, kCookieSize);
    std::memcpy(out, kMagic, kMagicLength);
    out[16] = ' ';
    out[17] = ' ';
    out[18] = '0';
}

bool IsCookieAccepted(const uint8_t in[kCookieSize])
{
    if (std::memcmp(in, kMagic, kMajorLength) != 0) return false;
    return in[18] >= '0' && in[18] <= '3';
}

size_t EncodeMessage(uint8_t* out, size_t capacity, Time time, int32_t sender, int32_t type,
                     const uint8_t* payload, size_t length)
{
    const size_t total = kHeaderSize + Padded(length);
    if (length > kMaxPayload || total > capacity) return 0;
    PutU32(out, static_cast<uint32_t>(kHeaderSize + length));
    PutI32(out + 4, time.sec);
    PutI32(out + 8, time.usec);
    PutI32(out + 12, sender);
    PutI32(out + 16, type);
    PutU32(out + 20, 0);  // sequence: receivers ignore it
    if (length > 0) std::memcpy(out + kHeaderSize, payload, length);
    std::memset(out + kHeaderSize + length, 0, Padded(length) - length);
    return total;
}

size_t EncodeDescription(uint8_t* out, size_t capacity, Time time, int32_t kind, int32_t id,
                         std::string_view name)
{
    if (name.size() > kMaxNameLength) return 0;
    uint8_t payload[4 + kMaxNameLength + 1];
    PutU32(payload, static_cast<uint32_t>(name.size() + 1));
    std::memcpy(payload + 4, name.data(), name.size());
    payload[4 + name.size()] = 0;
    return EncodeMessage(out, capacity, time, id, kind, payload, name.size() + 5);
}

ParseResult ParseMessage(const uint8_t* data, size_t size, Message& out, size_t& consumed)
{
    if (size < kHeaderSize) return ParseResult::kNeedMore;
    const uint32_t length = GetU32(data);
    // Bounds first: the length comes from the peer.
    if (length < kHeaderSize || length - kHeaderSize > kMaxPayload) return ParseResult::kMalformed;
    const size_t payloadLength = length - kHeaderSize;
    const size_t total = kHeaderSize + Padded(payloadLength);
    if (size < total) return ParseResult::kNeedMore;
    out.time = Time{GetI32(data + 4), GetI32(data + 8)};
    out.sender = GetI32(data + 12);
    out.type = GetI32(data + 16);
    out.payload = data + kHeaderSize;
    out.length = payloadLength;
    consumed = total;
    return ParseResult::kComplete;
}

DescriptionFault CheckDescription(const Message& message)
{
    if (message.sender < 0 || message.sender >= kMaxRemoteIds)
        return DescriptionFault::kIdOutOfRange;
    if (message.length < 5) return DescriptionFault::kTooShort;
    if (message.length > kMaxDescriptionPayload) return DescriptionFault::kTooLong;
    const uint32_t count = GetU32(message.payload);
    if (count < 1 || count > message.length - 4) return DescriptionFault::kBadCount;
    const char* text = reinterpret_cast<const char*>(message.payload + 4);
    // The name ends at its first NUL, which must be the one at count - 1.
    if (text[count - 1] != '\0' || std::memchr(text, '\0', count - 1) != nullptr)
        return DescriptionFault::kNoNul;
    return DescriptionFault::kNone;
}

bool DecodeDescription(const Message& message, std::string_view& name)
{
    if (CheckDescription(message) != DescriptionFault::kNone) return false;
    name = std::string_view(reinterpret_cast<const char*>(message.payload + 4),
                            GetU32(message.payload) - 1);
    return true;
}

size_t EncodePosQuat(uint8_t* out, int32_t sensor, const double pos[3], const double quat[4])
{
    PutI32(out, sensor);
    PutI32(out + 4, sensor);  // filler: stock repeats the sensor
    for (int i = 0; i < 3; ++i) PutF64(out + 8 + 8 * i, pos[i]);
    for (int i = 0; i < 4; ++i) PutF64(out + 32 + 8 * i, quat[i]);
    return kPosQuatSize;
}

size_t EncodeVelocity(uint8_t* out, int32_t sensor, const double quat[4], double dt)
{
    PutI32(out, sensor);
    PutI32(out + 4, sensor);
    for (int i = 0; i < 3; ++i) PutF64(out + 8 + 8 * i, 0.0);
    for (int i = 0; i < 4; ++i) PutF64(out + 32 + 8 * i, quat[i]);
    PutF64(out + 64, dt);
    return kVelocitySize;
}

size_t EncodeAnalog(uint8_t* out, const double* values, int count)
{
    PutF64(out, static_cast<double>(count));
    for (int i = 0; i < count; ++i) PutF64(out + 8 + 8 * i, values[i]);
    return 8 * (static_cast<size_t>(count) + 1);
}

size_t EncodeButtonChange(uint8_t* out, int32_t button, int32_t state)
{
    PutI32(out, button);
    PutI32(out + 4, state);
    return kButtonChangeSize;
}

size_t EncodeButtonStates(uint8_t* out, const int32_t* states, int count)
{
    PutI32(out, count);
    for (int i = 0; i < count; ++i) PutI32(out + 4 + 4 * i, states[i]);
    return 4 * (static_cast<size_t>(count) + 1);
}

bool DecodePosQuat(const Message& message, int32_t& sensor, double pos[3], double quat[4])
{
    if (message.length != kPosQuatSize) return false;
    const int32_t number = GetI32(message.payload);
    if (number < 0 || number >= kMaxSensors) return false;
    sensor = number;
    for (int i = 0; i < 3; ++i) pos[i] = GetF64(message.payload + 8 + 8 * i);
    for (int i = 0; i < 4; ++i) quat[i] = GetF64(message.payload + 32 + 8 * i);
    return true;
}

bool DecodeAnalog(const Message& message, int& count, double values[kMaxAnalogChannels])
{
    if (message.length < 8) return false;
    const double n = GetF64(message.payload);
    // Also refuses NaN: every comparison with it is false.
    if (!(n >= 0.0 && n <= kMaxAnalogChannels) || n != static_cast<double>(static_cast<int>(n)))
        return false;
    const int channels = static_cast<int>(n);
    if (message.length < 8 * (static_cast<size_t>(channels) + 1)) return false;
    for (int i = 0; i < channels; ++i) values[i] = GetF64(message.payload + 8 + 8 * i);
    count = channels;
    return true;
}

bool DecodeButtonChange(const Message& message, int32_t& button, int32_t& state)
{
    if (message.length != kButtonChangeSize) return false;
    button = GetI32(message.payload);
    state = GetI32(message.payload + 4);
    return true;
}

}  // namespace vrpn
