// The SATEL board's replies: how they end and how long they may take.
#include "satel/satel_device.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// Reads wait in slices this short, so that closing never waits for a reply.
constexpr int64_t kReadSliceMs = 50;
// A '*' where a reply could end, with fewer samples before it than the time since the
// request holds, waits this long (at most a period) for a byte that shows it was data:
// a line that hands the reply over in pieces may pause there.
constexpr int64_t kCloseGraceMs = 10;

}  // namespace

int CSerialSatelDevice::ReadReply(uint8_t* buffer, size_t maxCount, bool stripHeader,
                                  uint32_t timeoutMs)
{
    if (!m_port.IsOpen() || buffer == nullptr || maxCount == 0) return 0;
    maxCount = std::min(maxCount, kMaxReply);
    if (timeoutMs == 0) timeoutMs = stripHeader ? m_replyTimeoutMs : m_configTimeoutMs;
    int count = 0;
    if (stripHeader) {
        m_replyFill = 0;
        count = ReadSampleReply(maxCount, timeoutMs);
        m_replyFill = 0;  // a reply that did not come whole is not waited for here
    } else {
        count = ReadAck(maxCount, timeoutMs);
    }
    m_lineVanished = count == -2;
    if (count < 1 || static_cast<size_t>(count) > maxCount) return 0;
    if (stripHeader && static_cast<size_t>(count) > kHeaderSize) {
        std::memcpy(buffer, m_reply.data() + kHeaderSize, count - kHeaderSize);
        return count - static_cast<int>(kHeaderSize);
    }
    std::memcpy(buffer, m_reply.data(), static_cast<size_t>(count));
    return count;
}

bool CSerialSatelDevice::IsClosing() const { return m_closing.load(); }

int CSerialSatelDevice::ReadByteBefore(uint8_t* byte, Clock::time_point deadline)
{
    for (;;) {
        if (IsClosing()) return -3;
        const int64_t leftUs =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
        if (leftUs <= 0) {
            // Past the deadline (the thread may have been held up): what came by now
            // still counts.
            const int got = m_port.ReadAvailable(byte, 1, 0);
            return got < 0 ? -2 : got;
        }
        const int64_t waitMs = std::min((leftUs + 999) / 1000, kReadSliceMs);
        const int got = m_port.ReadChar(byte, static_cast<uint32_t>(waitMs));
        if (got != 0) return got < 0 ? -2 : 1;
    }
}

int CSerialSatelDevice::ReadAck(size_t maxCount, uint32_t timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
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

// Sensor bytes may be 0x2A ('*') in any place of a sample. A '*' ends a sample reply
// only where the samples before it are whole and it completes a closing block (five
// zero bytes and '*', count 11 + 6n) or is a lone closing byte (count 6 + 6n); the two
// never fall on the same count. Both endings are taken, whichever this board uses.
bool CSerialSatelDevice::CanClose(size_t count) const
{
    if (count <= kHeaderSize) return false;
    const size_t body = count - kHeaderSize;
    if (body % kSampleSize == 1) return true;
    if (body < kClosingSize || body % kSampleSize != 0) return false;
    for (size_t i = count - kClosingSize; i + 1 < count; ++i)
        if (m_reply[i] != 0) return false;
    return true;
}

// The board sends nothing but its reply: bytes that follow a '*' at once show that it
// was data (a sample 0, 0, 42 looks like a closing block until the next byte comes).
// A reply on its way is read to its end: each byte may take up to the time-out.
int CSerialSatelDevice::ReadSampleReply(size_t maxCount, uint32_t timeoutMs, int expected)
{
    const auto timeout = std::chrono::milliseconds(timeoutMs);
    const auto grace = std::chrono::milliseconds(std::min<int64_t>(kCloseGraceMs, m_period));
    auto deadline = Clock::now() + timeout;
    size_t count = std::min(m_replyFill, maxCount);
    m_replyClosed = false;
    bool mayClose = false;  // the last byte is a '*' that ends the reply unless more comes
    while (count < maxCount) {
        uint8_t byte = 0;
        const int got = ReadByteBefore(&byte, mayClose ? Clock::now() + grace : deadline);
        if (got == 0 && mayClose) break;
        if (got <= 0) {
            m_replyFill = got == 0 ? count : 0;
            return got;
        }
        mayClose = false;
        m_reply[count++] = byte;
        deadline = Clock::now() + timeout;
        if (byte != kTerminator || !CanClose(count) || m_port.Available() > 0) continue;
        const size_t body = count - kHeaderSize;
        const int samples = static_cast<int>(
            (body - (body % kSampleSize == 1 ? 1 : kClosingSize)) / kSampleSize);
        if (samples + 1 >= expected) {
            m_replyClosed = true;
            break;
        }
        mayClose = true;
    }
    if (mayClose) m_replyClosed = true;
    m_replyFill = 0;
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

bool CSerialSatelDevice::TakeReply(int count, size_t room, bool late)
{
    if (count == -3) {
        m_replyPending = false;
        m_lastOutcome = ReadOutcome::Empty;  // closing: nobody is to blame
        return false;
    }
    if (count < 0) {
        m_replyPending = false;
        m_lineVanished = true;
        m_lastOutcome = ReadOutcome::Failed;
        return false;
    }
    if (count == 0) {
        // The reply may still come: the next step takes it (or what is left of it).
        if (!late && m_replyFill == 0) m_missedReplies.fetch_add(1);
        m_replyPending = true;
        m_lastOutcome = ReadOutcome::Missed;
        return false;
    }
    m_replyPending = false;
    // After the header: whole samples, then the closing byte or bytes. A reply longer
    // than the largest read is cut: its whole samples are taken, the rest is dropped
    // with the next request, and the cut is counted.
    const size_t bytes = static_cast<size_t>(count);
    int samples = bytes > kHeaderSize ? SamplesIn(count - static_cast<int>(kHeaderSize)) : -1;
    if (!m_replyClosed) {
        samples = bytes > kHeaderSize ? static_cast<int>((bytes - kHeaderSize) / kSampleSize) : -1;
        if (bytes >= room) {
            m_cutReplies.fetch_add(1);
            m_expectStale = true;
        }
    }
    if (samples < 0) {
        m_lastOutcome = ReadOutcome::Damaged;
        m_damagedReplies.fetch_add(1);
        return false;
    }
    if (late) m_lateReplies.fetch_add(1);
    m_lastOutcome = samples == 0 ? ReadOutcome::Empty : ReadOutcome::Samples;
    const bool initialising = m_initPending.load();
    for (int j = 0; j < samples; ++j) {
        double values[3];
        DecodeSample(m_reply.data() + kHeaderSize + static_cast<size_t>(j) * kSampleSize, values);
        if (initialising) std::copy(values, values + 3, m_previous);
        QueueSample(values);
    }
    return samples > 0;
}

bool CSerialSatelDevice::TakeLateReply()
{
    m_replyPending = false;
    const int waiting = m_port.Available();
    if (waiting <= 0) {
        // Nothing more came: a reply that stopped midway is refused, a missing one
        // is asked for again.
        if (m_replyFill > 0) m_damagedReplies.fetch_add(1);
        m_replyFill = 0;
        return false;
    }
    const int count = ReadSampleReply(m_replyRoom, m_replyTimeoutMs);
    if (count == 0) {
        m_damagedReplies.fetch_add(1);
        m_replyFill = 0;
        return false;
    }
    TakeReply(count, m_replyRoom, true);
    return true;
}

void CSerialSatelDevice::DrainCutReply()
{
    m_expectStale = false;
    const uint32_t quietMs = static_cast<uint32_t>(std::min<int64_t>(kCloseGraceMs, m_period));
    // Bounded: a line that babbles on is left to the next reads to refuse.
    for (size_t taken = 0; taken < kMaxReply && !IsClosing();) {
        const int got = m_port.ReadAvailable(m_frames.data(), static_cast<uint32_t>(kMaxReply), quietMs);
        if (got <= 0) break;
        taken += static_cast<size_t>(got);
    }
}
