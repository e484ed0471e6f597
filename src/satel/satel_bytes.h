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

// The whole samples of a sample reply of end bytes in that ending; -1: none end there.
inline int64_t WholeSamples(size_t end, CSerialSatelDevice::Ending ending)
{
    const size_t least = CSerialSatelDevice::kHeaderSize + EndingSize(ending);
    if (end < least || (end - least) % CSerialSatelDevice::kSampleSize != 0) return -1;
    return static_cast<int64_t>((end - least) / CSerialSatelDevice::kSampleSize);
}

}  // namespace satel
