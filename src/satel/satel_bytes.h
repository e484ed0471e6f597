#pragma once

#include "satel/satel_device.h"

#include <cstddef>
#include <cstdint>

// The SATEL board's reply bytes, shared by the reading of its replies.
namespace satel {

constexpr uint8_t kHash = 0x23;  // '#', first header byte
constexpr uint8_t kI = 0x49;     // 'I', second header byte

inline bool IsConfigCommand(uint8_t kind)
{
    return kind == CSerialSatelDevice::kSetPeriod || kind == CSerialSatelDevice::kConfigure ||
           kind == CSerialSatelDevice::kReset;
}

inline bool IsKind(uint8_t kind)
{
    return kind == CSerialSatelDevice::kSamples || IsConfigCommand(kind);
}

inline bool IsHeader(const uint8_t* bytes)
{
    return bytes[0] == kHash && bytes[1] == kI && IsKind(bytes[4]);
}

inline size_t EndingSize(CSerialSatelDevice::Ending ending)
{
    return ending == CSerialSatelDevice::Ending::Lone ? 1 : CSerialSatelDevice::kClosingSize;
}

}  // namespace satel
