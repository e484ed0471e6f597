// The SATEL board's replies: how they end and how long they may take.
#include "satel/satel_device.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

// Reads wait in slices this short, so that closing never waits for a reply.
constexpr int64_t kReadSliceMs = 50;
// A reply arrives as one burst; bytes that a USB adapter holds back come within this.
constexpr uint32_t kStrayGapMs = 50;

}  // namespace

int CSerialSatelDevice::ReadReply(uint8_t* buffer, size_t maxCount, bool stripHeader,
                                  uint32_t timeoutMs)
{
    if (!m_port.IsOpen() || buffer == nullptr || maxCount == 0) return 0;
    maxCount = std::min(maxCount, kMaxReply);
    if (timeoutMs == 0) timeoutMs = stripHeader ? m_replyTimeoutMs : m_configTimeoutMs;
    const int count = stripHeader ? ReadSampleReply(maxCount, timeoutMs)
                                  : ReadAck(maxCount, timeoutMs);
    m_lineVanished = count == -2;
    if (count < 1 || static_cast<size_t>(count) > maxCount) return 0;
    if (stripHeader && static_cast<size_t>(count) > kHeaderSize) {
        std::memcpy(buffer, m_reply.data() + kHeaderSize, count - kHeaderSize);
        return count - static_cast<int>(kHeaderSize);
    }
    std::memcpy(buffer, m_reply.data(), static_cast<size_t>(count));
    return count;
}

bool CSerialSatelDevice::IsClosing()
{
    std::lock_guard<std::mutex> lock(m_closeMutex);
    return m_closing;
}

int CSerialSatelDevice::ReadByteBefore(uint8_t* byte, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        if (IsClosing()) return -3;
        const int64_t left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 deadline - std::chrono::steady_clock::now())
                                 .count();
        if (left <= 0) return 0;
        const int got =
            m_port.ReadChar(byte, static_cast<uint32_t>(std::min(left, kReadSliceMs)));
        if (got != 0) return got < 0 ? -2 : 1;
    }
}

int CSerialSatelDevice::ReadAck(size_t maxCount, uint32_t timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t count = 0;
    while (count < maxCount) {
        uint8_t byte = 0;
        const int got = ReadByteBefore(&byte, deadline);
        if (got <= 0) return got;
        m_reply[count++] = byte;
        if (byte == kTerminator) break;
    }
    return static_cast<int>(count);
}

// Sensor bytes may be 0x2A too (a value of 42 is one). A '*' can close a sample reply
// only where the samples before it are whole: after six closing bytes (count 11 + 6n)
// or as a lone closing byte (count 6 + 6n); the two never fall on the same count.
// Until a reply told which ending this board uses, a '*' closes only when nothing
// follows it; elsewhere it is data, unless nothing follows it either.
int CSerialSatelDevice::ReadSampleReply(size_t maxCount, uint32_t timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t count = 0;
    bool strayStar = false;  // the last byte was a '*' that did not close the reply
    while (count < maxCount) {
        uint8_t byte = 0;
        const int got =
            ReadByteBefore(&byte, strayStar ? Clock::now() + std::chrono::milliseconds(kStrayGapMs)
                                            : deadline);
        if (got < 0) return got;
        if (got == 0) {
            if (!strayStar) return 0;
            const bool six = count >= kHeaderSize + kClosingSize &&
                             (count - kHeaderSize - kClosingSize) % kSampleSize == 0;
            const bool one = count >= kHeaderSize + 1 && (count - kHeaderSize - 1) % kSampleSize == 0;
            if (m_ending == 0 && (six || one)) m_ending = six ? kClosingSize : 1;
            return static_cast<int>(count);
        }
        strayStar = false;
        m_reply[count++] = byte;
        if (byte != kTerminator) continue;
        const bool closes = m_ending != 0 && count >= kHeaderSize + m_ending &&
                            (count - kHeaderSize - m_ending) % kSampleSize == 0;
        if (closes) return static_cast<int>(count);
        strayStar = true;
    }
    return static_cast<int>(count);
}

int CSerialSatelDevice::SamplesIn(int count)
{
    if (count < 1) return -1;
    const size_t bytes = static_cast<size_t>(count);
    if ((bytes - 1) % kSampleSize == 0) return static_cast<int>((bytes - 1) / kSampleSize);
    if (bytes >= kClosingSize && (bytes - kClosingSize) % kSampleSize == 0)
        return static_cast<int>((bytes - kClosingSize) / kSampleSize);
    return -1;
}
