// The SATEL board's replies: how they begin and end, and how long they may take.
#include "satel/satel_device.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// Reads wait in slices this short, so that closing never waits for a reply.
constexpr int64_t kReadSliceMs = 50;
// A '*' where a reply could end, with fewer samples before it than the board holds,
// waits this long (at most a period) for a byte that shows it was data: a line that
// hands the reply over in pieces may pause there.
constexpr int64_t kCloseGraceMs = 10;
// An acknowledgement without a length ends at its '*' within this many bytes.
constexpr size_t kMaxAckSize = 16;
// Replies taken in one step, or while one acknowledgement is awaited, at most.
constexpr int kMaxRepliesAtOnce = 64;
// Bytes that are no reply are read off until the line is quiet for two periods, within
// these bounds (the board sends only when asked).
constexpr int64_t kQuietMs = 20;
constexpr int64_t kMaxQuietMs = 50;
// The rest of a cut reply, or bytes that are no reply, are read off up to this many:
// a line that babbles on is left to the next reads.
constexpr size_t kMaxReadOff = size_t{1} << 20;
// Reads fill the input up to this, so that a header read too far fits back in.
constexpr size_t kInputRoom = 256;
constexpr uint8_t kHash = 0x23;  // '#', first header byte
constexpr uint8_t kI = 0x49;     // 'I', second header byte

bool IsConfigCommand(uint8_t kind)
{
    return kind == CSerialSatelDevice::kSetPeriod || kind == CSerialSatelDevice::kConfigure ||
           kind == CSerialSatelDevice::kReset;
}

// A reply's header: '#', 'I', the length, a sample request or a configuration command.
bool IsHeader(const uint8_t* bytes)
{
    return bytes[0] == kHash && bytes[1] == kI &&
           (bytes[4] == CSerialSatelDevice::kSamples || IsConfigCommand(bytes[4]));
}

size_t EndingSize(CSerialSatelDevice::Ending ending)
{
    return ending == CSerialSatelDevice::Ending::Lone ? 1 : CSerialSatelDevice::kClosingSize;
}

}  // namespace

bool CSerialSatelDevice::IsClosing() const { return m_closing.load(); }

int CSerialSatelDevice::Waiting()
{
    const int queued = m_port.Available();
    return static_cast<int>(m_inputCount - m_inputHead) + std::max(queued, 0);
}

int CSerialSatelDevice::ReadByteBefore(uint8_t* byte, Clock::time_point deadline)
{
    for (;;) {
        if (IsClosing()) return -3;
        if (m_inputHead < m_inputCount) {
            *byte = m_input[m_inputHead++];
            return 1;
        }
        // Past the deadline (the thread may have been held up) what came by now still
        // counts.
        const int64_t leftUs =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
        const int64_t waitMs = leftUs <= 0 ? 0 : std::min((leftUs + 999) / 1000, kReadSliceMs);
        const int got = m_port.ReadAvailable(m_input.data(), static_cast<uint32_t>(kInputRoom),
                                             static_cast<uint32_t>(waitMs));
        if (got < 0) return -2;
        if (got > 0) {
            m_inputHead = 0;
            m_inputCount = static_cast<size_t>(got);
            continue;
        }
        if (leftUs <= 0) return 0;
    }
}

// The board sends replies back to back when it answers requests that waited: a reply
// ends where the next one's header follows.
CSerialSatelDevice::Next CSerialSatelDevice::Follows(Clock::time_point deadline)
{
    constexpr size_t kLook = kHeaderSize;
    if (m_inputHead > 0) {
        std::memmove(m_input.data(), m_input.data() + m_inputHead, m_inputCount - m_inputHead);
        m_inputCount -= m_inputHead;
        m_inputHead = 0;
    }
    while (m_inputCount < kLook && !IsClosing()) {
        const int64_t leftUs =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
        const int64_t waitMs = leftUs <= 0 ? 0 : std::min((leftUs + 999) / 1000, kReadSliceMs);
        const int got = m_port.ReadAvailable(m_input.data() + m_inputCount,
                                             static_cast<uint32_t>(kInputRoom - m_inputCount),
                                             static_cast<uint32_t>(waitMs));
        if (got > 0) m_inputCount += static_cast<size_t>(got);
        if (got < 0 || (got == 0 && leftUs <= 0)) break;
    }
    if (m_inputCount == 0) return Next::Nothing;
    const uint8_t* next = m_input.data();
    const bool header = next[0] == kHash && (m_inputCount < 2 || next[1] == kI) &&
                        (m_inputCount < kLook || next[4] == kSamples || IsConfigCommand(next[4]));
    return header ? Next::Reply : Next::Data;
}

void CSerialSatelDevice::Unread(const uint8_t* bytes, size_t count)
{
    const size_t left = m_inputCount - m_inputHead;
    std::memmove(m_input.data() + count, m_input.data() + m_inputHead, left);
    std::memcpy(m_input.data(), bytes, count);
    m_inputHead = 0;
    m_inputCount = left + count;
}

void CSerialSatelDevice::ForgetReply()
{
    m_replyFill = 0;
    m_inputHead = m_inputCount = 0;
    m_inGarbage = false;
    m_refusedTail = false;
    SettleRefused();
    m_unseenSamples = 0;
    m_requestCount = 0;  // their replies, if any, are gone with the rest
}

// Sensor bytes may be 0x2A ('*') in any place of a sample. Without a length, a '*'
// ends a sample reply only where the samples before it are whole and it completes a
// closing block (five zero bytes and '*', count 11 + 6n) or is a lone closing byte
// (count 6 + 6n), and only in the way this board ends its replies once that is known.
bool CSerialSatelDevice::CanClose(size_t count, Ending ending) const
{
    if (count <= kHeaderSize || m_reply[count - 1] != kTerminator) return false;
    const size_t body = count - kHeaderSize;
    if (ending == Ending::Lone) return body % kSampleSize == 1;
    if (ending != Ending::Block || body < kClosingSize || body % kSampleSize != 0) return false;
    for (size_t i = count - kClosingSize; i + 1 < count; ++i)
        if (m_reply[i] != 0) return false;
    return true;
}

int CSerialSatelDevice::SamplesIn(size_t count, Ending ending) const
{
    if (!CanClose(count, ending)) return -1;
    return static_cast<int>((count - kHeaderSize - EndingSize(ending)) / kSampleSize);
}

CSerialSatelDevice::Reply CSerialSatelDevice::Refuse(size_t count, bool ended)
{
    m_damagedReplies.fetch_add(1);
    m_replyFill = 0;
    const bool isSampleReply = count > kHeaderSize && m_reply[0] == kHash && m_reply[1] == kI &&
                               m_reply[4] == kSamples;
    if (ended && count > 0 && count <= kHeaderSize && m_reply[0] == kHash &&
        (count < 2 || m_reply[1] == kI) && (count < kHeaderSize || m_reply[4] == kSamples)) {
        // Stopped within its header: what follows before the next header is the rest of
        // this reply (the header's own bytes first), and so are its samples.
        m_refusedTail = true;
        m_refusedHeaderLeft = kHeaderSize - count;
        m_refusedBytes = 0;
        m_refusedLast.fill(0xFF);
        BeginRefused(count, 0);
        return Reply::Damaged;
    }
    size_t bytes = isSampleReply ? count - kHeaderSize : 0;
    if (!ended) {
        // What follows belongs to the refused bytes until the line is quiet: the next
        // reply then starts clean.
        const auto quiet =
            std::chrono::milliseconds(std::clamp<int64_t>(2 * m_period, kQuietMs, kMaxQuietMs));
        for (size_t read = 0; read < kMaxReadOff; ++read) {
            uint8_t byte = 0;
            const int got = ReadByteBefore(&byte, Clock::now() + quiet);
            if (got <= 0) break;
            if (isSampleReply) ++bytes;
        }
    }
    if (!isSampleReply) return Reply::Damaged;
    // Where the board has shown how it counts, its length says how many it sent.
    const int64_t byLength = SamplesByLength(count);
    const int64_t samples = byLength >= 0 ? byLength
                            : ended       ? SamplesOfRefused(bytes)
                                          : static_cast<int64_t>(bytes / kSampleSize);
    // A reply held up on the line past its time-out may still bring its rest: bytes
    // that follow before the next header are its own, and so are their samples.
    m_refusedHeaderLeft = 0;
    m_refusedBytes = bytes;
    m_refusedLast.fill(0xFF);
    const size_t kept = std::min(std::min(bytes, count - kHeaderSize), m_refusedLast.size());
    std::memcpy(m_refusedLast.data() + m_refusedLast.size() - kept,
                m_reply.data() + count - kept, kept);
    // A reply whose own bytes closed with the board's ending (a byte added or lost
    // inside it) has no rest to come.
    m_refusedTail = ended && !(m_ending != Ending::Lone && count - kHeaderSize == bytes &&
                               kept == m_refusedLast.size() &&
                               std::all_of(m_refusedLast.begin(), m_refusedLast.end() - 1,
                                           [](uint8_t b) { return b == 0; }) &&
                               m_refusedLast.back() == kTerminator);
    BeginRefused(count, samples);
    if (!m_refusedTail) SettleRefused();
    return Reply::Damaged;
}

// A request answered twice whose first (or second) copy was refused: the copy that came
// whole, or the one refused, brings the samples once; what was counted lost for the
// refused one is counted as long as no copy shows otherwise.
void CSerialSatelDevice::BeginRefused(size_t count, int64_t samples)
{
    m_refusedAt = count;
    m_refusedDue = samples;
    m_refusedCounted = 0;
    m_refusedMark = m_queuedTotal;
    m_refusedCopy = m_lastReplySize > 0 && (count <= m_lastReplySize || m_lastFate == Fate::Cut) &&
                    std::memcmp(m_reply.data(), m_lastReply.data(),
                                std::min(count, m_lastReplySize)) == 0;
    if (!m_refusedCopy) {
        m_lastFate = Fate::Refused;
        m_lastReplySize = std::min(count, kMaxReply);
        std::memcpy(m_lastReply.data(), m_reply.data(), m_lastReplySize);
    }
    CountRefused();
}

void CSerialSatelDevice::TrackRefused(uint8_t byte)
{
    const size_t at = m_refusedAt++;
    if (m_refusedCopy) {
        // Past the part a cut reply left, a copy of it is its rest.
        if (at < m_lastReplySize ? m_lastReply[at] == byte : m_lastFate == Fate::Cut) return;
        m_refusedCopy = false;
        m_lastFate = Fate::Refused;
        m_lastReplySize = at;
        CountRefused();
    }
    if (m_lastReplySize < kMaxReply) m_lastReply[m_lastReplySize++] = byte;
}

void CSerialSatelDevice::CountRefused()
{
    if (m_refusedCopy || m_refusedDue <= m_refusedCounted) return;
    CountLost(m_refusedDue - m_refusedCounted);
    m_refusedCounted = m_refusedDue;
}

void CSerialSatelDevice::SettleRefused()
{
    if (!m_refusedCopy) return;
    m_refusedCopy = false;
    if (m_refusedAt >= kHeaderSize + kSampleSize || m_refusedAt >= m_lastReplySize) {
        m_refusedDue = m_refusedCounted = 0;  // a copy: the last reply read has its samples
        return;
    }
    // Every reply of a board that gives no length begins alike: a part without a whole
    // sample that matched is no copy.
    m_lastFate = Fate::Refused;
    m_lastReplySize = m_refusedAt;
    CountRefused();
}

bool CSerialSatelDevice::IsCopyOfLast(size_t count) const
{
    const size_t size = m_lastReplySize;
    if (size == 0 || count < size) return false;
    if (count > size && (m_lastFate == Fate::Taken ||
                         (m_lastFate == Fate::Refused && size < kHeaderSize + kSampleSize)))
        return false;
    return std::memcmp(m_reply.data(), m_lastReply.data(), size) == 0;
}

CSerialSatelDevice::Reply CSerialSatelDevice::TakeCopy()
{
    m_repeatedReplies.fetch_add(1);
    m_replyFill = 0;
    // While a request waits, the copy came for it (or a board that holds perfectly still
    // answered it alike): an answer without new samples, the frames repeating the values.
    if (!IsRequestWaiting()) return Reply::Repeat;
    m_replySamples = 0;
    return Reply::Samples;
}

void CSerialSatelDevice::WithdrawRefused()
{
    if (m_queuedTotal != m_refusedMark) return;  // newer samples came: too late to tell
    const int64_t back = std::min(m_refusedCounted, m_lostBeforeNext);
    m_lostBeforeNext -= back;
    m_refusedCounted = m_refusedDue = 0;
}

void CSerialSatelDevice::NoteRefusedTail(const uint8_t* bytes, size_t count)
{
    for (size_t i = 0; i < count && m_refusedTail; ++i) {
        TrackRefused(bytes[i]);
        if (m_refusedHeaderLeft > 0) {
            --m_refusedHeaderLeft;
            continue;
        }
        ++m_refusedBytes;
        std::rotate(m_refusedLast.begin(), m_refusedLast.begin() + 1, m_refusedLast.end());
        m_refusedLast.back() = bytes[i];
        // Counted by its length already, the samples come again only past what it said.
        m_refusedDue = std::max(m_refusedDue, SamplesOfRefused(m_refusedBytes));
        CountRefused();
        // Its ending ends it: what follows before the next header is line noise.
        if (EndsRefused()) {
            m_refusedTail = false;
            SettleRefused();
        }
    }
}

bool CSerialSatelDevice::EndsBefore(size_t count, size_t at) const
{
    const size_t extra = at - m_inputHead;
    const size_t body = count - kHeaderSize + extra;
    // The back-th byte before the header (1: the last).
    const auto before = [&](size_t back) {
        return back <= extra ? m_input[at - back] : m_reply[count + extra - back];
    };
    if (body == 0 || before(1) != kTerminator) return false;
    if (m_ending != Ending::Block && body % kSampleSize == 1) return true;
    if (m_ending == Ending::Lone || body < kClosingSize || body % kSampleSize != 0) return false;
    for (size_t back = 2; back <= kClosingSize; ++back)
        if (before(back) != 0) return false;
    return true;
}

bool CSerialSatelDevice::EndsRefused() const
{
    if (m_refusedLast.back() != kTerminator) return false;
    if (m_ending == Ending::Lone) return (m_refusedBytes - 1) % kSampleSize == 0;
    return m_refusedBytes >= kClosingSize && (m_refusedBytes - kClosingSize) % kSampleSize == 0 &&
           std::all_of(m_refusedLast.begin(), m_refusedLast.end() - 1,
                       [](uint8_t b) { return b == 0; });
}

// The samples the board sent in a refused reply of that many bytes after its header,
// read to a '*': its closing bytes are none, and a byte doubled or dropped on the line
// makes no sample more or less.
int64_t CSerialSatelDevice::SamplesOfRefused(size_t bytes) const
{
    const size_t closing = EndingSize(m_ending == Ending::Unknown ? Ending::Block : m_ending);
    return bytes > closing
               ? static_cast<int64_t>((bytes - closing + kSampleSize / 2) / kSampleSize)
               : 0;
}

int64_t CSerialSatelDevice::SamplesByLength(size_t count) const
{
    if (count < kHeaderSize || m_ending == Ending::Unknown) return -1;
    const size_t end = LengthEnd(DecodeU16(m_reply.data() + 2), m_lengthRule, m_ending);
    const size_t closing = EndingSize(m_ending);
    if (end < kHeaderSize + closing || (end - kHeaderSize - closing) % kSampleSize != 0) return -1;
    return static_cast<int64_t>((end - kHeaderSize - closing) / kSampleSize);
}

size_t CSerialSatelDevice::LengthEnd(size_t length, LengthRule rule, Ending ending)
{
    switch (rule) {
        case LengthRule::Own:
            return kHeaderSize + length;
        case LengthRule::Star:
            return kHeaderSize - 1 + length;
        case LengthRule::Samples:
            return ending == Ending::Unknown ? 0 : kHeaderSize + length + EndingSize(ending);
        default:
            return 0;
    }
}

CSerialSatelDevice::LengthRule CSerialSatelDevice::RuleFor(size_t length, size_t count,
                                                           Ending ending)
{
    if (length == 0) return LengthRule::None;
    for (LengthRule rule : {LengthRule::Own, LengthRule::Star, LengthRule::Samples})
        if (LengthEnd(length, rule, ending) == count) return rule;
    return LengthRule::Unknown;
}

void CSerialSatelDevice::NoteGarbage()
{
    if (m_inGarbage) return;
    m_inGarbage = true;
    m_damagedReplies.fetch_add(1);
}

void CSerialSatelDevice::NoteRequest()
{
    if (m_requestCount == kRequestRing) {
        m_requestHead = (m_requestHead + 1) % kRequestRing;
        --m_requestCount;
    }
    m_requestUs[(m_requestHead + m_requestCount) % kRequestRing] = ReadProgramClockUs();
    ++m_requestCount;
}

bool CSerialSatelDevice::IsRequestWaiting()
{
    // A request unanswered for this long (the board let it pass) waits no more.
    const double liveUs = std::max(4.0 * m_replyTimeoutMs, 500.0) * 1000.0;
    const double nowUs = ReadProgramClockUs();
    for (size_t i = 0; i < m_requestCount; ++i)
        if (nowUs - m_requestUs[(m_requestHead + i) % kRequestRing] < liveUs) return true;
    return false;
}

void CSerialSatelDevice::NoteAnswered()
{
    if (m_requestCount == 0) {
        // A request that was flushed: the reply holds at most what came since now.
        if (m_lastAnsweredUs <= 0.0) m_lastAnsweredUs = ReadProgramClockUs();
        return;
    }
    m_lastAnsweredUs = m_requestUs[m_requestHead];
    m_requestHead = (m_requestHead + 1) % kRequestRing;
    --m_requestCount;
}

int64_t CSerialSatelDevice::ReadOffCutRest(size_t count, size_t total)
{
    const auto timeout = std::chrono::milliseconds(m_replyTimeoutMs);
    const size_t taken = (count - kHeaderSize) / kSampleSize;
    if (total > 0) {
        // The length says where the reply ends.
        size_t read = count;
        while (read < total) {
            uint8_t byte = 0;
            if (ReadByteBefore(&byte, Clock::now() + timeout) <= 0) break;
            ++read;
        }
        const size_t samplesEnd = std::min(read, total - EndingSize(m_ending));
        const size_t whole = (samplesEnd - kHeaderSize) / kSampleSize;
        return static_cast<int64_t>(whole > taken ? whole - taken : 0);
    }
    // Groups of six bytes, aligned on the samples, until the ending.
    uint8_t group[kSampleSize];
    size_t inGroup = (count - kHeaderSize) % kSampleSize;
    std::memcpy(group, m_reply.data() + count - inGroup, inGroup);
    const auto grace = std::chrono::milliseconds(std::min<int64_t>(kCloseGraceMs, m_period));
    int64_t lost = 0;
    for (size_t read = 0; read < kMaxReadOff; ++read) {
        uint8_t byte = 0;
        if (ReadByteBefore(&byte, Clock::now() + timeout) <= 0) break;
        group[inGroup++] = byte;
        bool closes = false;
        if (byte == kTerminator) {
            closes = (inGroup == 1 && m_ending != Ending::Block) ||
                     (inGroup == kSampleSize && m_ending != Ending::Lone &&
                      std::all_of(group, group + kSampleSize - 1, [](uint8_t b) { return b == 0; }));
        }
        if (closes && Follows(Clock::now() + grace) != Next::Data) return lost;
        if (inGroup == kSampleSize) {
            ++lost;
            inGroup = 0;
        }
    }
    return lost;
}

// Where the board has shown what its length bytes count, the length ends its replies;
// otherwise (and where the length stops agreeing) the framing does: a '*' after whole
// samples that completes the board's ending.
CSerialSatelDevice::Ending CSerialSatelDevice::ClosesAt(size_t count, int expected,
                                                       uint32_t timeoutMs)
{
    const size_t length = DecodeU16(m_reply.data() + 2);
    const auto grace = std::chrono::milliseconds(std::min<int64_t>(kCloseGraceMs, m_period));
    // A lone '*' with nothing after it yet is looked past this long: a quarter period
    // at most, so that the reads keep up with the board, and not at all at the fastest
    // rates (there the next read comes before the samples are shown: RetractUnseen).
    const auto lonePeek =
        m_period >= 4 ? std::min<Clock::duration>(grace, std::chrono::microseconds(m_period * 250))
                      : Clock::duration::zero();
    m_loneUnseen = false;
    for (Ending ending : {Ending::Block, Ending::Lone}) {
        if ((m_ending != Ending::Unknown && ending != m_ending) || !CanClose(count, ending))
            continue;
        const size_t end = LengthEnd(length, m_lengthRule, ending);
        if (end != 0) {
            if (count < end) continue;  // the length says data follows
            // It says the reply ends here: unless bytes that are no reply's header
            // follow at once (a byte came in, and this '*' is data). A lone '*' is
            // looked past even when nothing waits yet: a byte doubled or added in a
            // sample puts a sample's last byte '*' where the length ends the reply.
            if (count == end) {
                Next next = Next::Nothing;
                if (Waiting() > 0)
                    next = Follows(Clock::now() + grace);
                else if (ending == Ending::Lone && lonePeek.count() > 0)
                    next = Follows(Clock::now() + lonePeek);
                if (next == Next::Data) continue;
                m_loneUnseen = ending == Ending::Lone && next == Next::Nothing;
                return ending;
            }
        }
        // Closed unless data follows: with fewer samples than the board holds, bytes
        // on their way, a length that by every reading ends further on, or a lone '*'
        // (a sample's last byte, shifted by a byte added before it: a shorter look),
        // what comes next tells.
        const int samples = SamplesIn(count, ending);
        const bool longer = m_lengthRule == LengthRule::Unknown && length != 0 &&
                            LengthEnd(length, LengthRule::Star, ending) > count;
        const bool waiting = Waiting() > 0;
        const bool look = samples + 1 < expected || waiting || longer;
        // A length that says more follows is worth a whole reply time-out of waiting.
        const auto wait = longer ? std::chrono::milliseconds(timeoutMs) : grace;
        if (!look && ending == Ending::Lone) {
            const Next next =
                lonePeek.count() > 0 ? Follows(Clock::now() + lonePeek) : Next::Nothing;
            if (next == Next::Data) continue;
            m_loneUnseen = next == Next::Nothing;
            return ending;
        }
        if (look && Follows(Clock::now() + wait) == Next::Data) continue;
        return ending;
    }
    return Ending::Unknown;
}

CSerialSatelDevice::Reply CSerialSatelDevice::CloseSampleReply(size_t count, Ending ending)
{
    const size_t length = DecodeU16(m_reply.data() + 2);
    const int samples = SamplesIn(count, ending);
    m_replyFill = 0;
    m_inGarbage = false;
    if (m_lengthRule != LengthRule::Unknown) {
        const bool agrees = m_lengthRule == LengthRule::None
                                ? length == 0
                                : LengthEnd(length, m_lengthRule, ending) == count;
        if (!agrees) {
            // Whole by its framing, it is taken whatever its length says; the length
            // decides no more until the board's way is learnt again.
            m_lengthRule = LengthRule::Unknown;
            m_ruleCandidate = LengthRule::Unknown;
            m_ruleVotes = 0;
        }
    }
    // An empty reply of length 0 fits a board that gives none and one that counts the
    // sample bytes alike: it tells nothing.
    if (m_lengthRule == LengthRule::Unknown && (samples > 0 || length != 0)) {
        const LengthRule rule = RuleFor(length, count, ending);
        if (rule == LengthRule::Unknown) {
            m_ruleVotes = 0;
        } else if (rule == m_ruleCandidate) {
            if (++m_ruleVotes >= 2) m_lengthRule = rule;
        } else {
            m_ruleCandidate = rule;
            m_ruleVotes = 1;
        }
    }
    if (m_ending == Ending::Unknown) m_ending = ending;
    m_otherEndingRun = 0;
    // The same samples again are a copy of the last reply (a request answered twice):
    // never queued again after newer ones. A copy of a refused reply brings its samples.
    if (samples > 0 && IsCopyOfLast(count)) {
        if (m_lastFate != Fate::Refused) return TakeCopy();
        WithdrawRefused();
    }
    std::memcpy(m_lastReply.data(), m_reply.data(), count);
    m_lastReplySize = count;
    m_lastFate = Fate::Taken;
    m_replySamples = samples;
    return Reply::Samples;
}

CSerialSatelDevice::Reply CSerialSatelDevice::FinishSampleReply(size_t count)
{
    for (Ending ending : {Ending::Block, Ending::Lone}) {
        if ((m_ending == Ending::Unknown || ending == m_ending) && CanClose(count, ending))
            return CloseSampleReply(count, ending);
    }
    // Fits neither ending (a byte doubled or dropped on the line): refused, and the
    // board's ending stays, unless reply after reply fits only the other one.
    const Ending other = m_ending == Ending::Block  ? Ending::Lone
                         : m_ending == Ending::Lone ? Ending::Block
                                                    : Ending::Unknown;
    if (other != Ending::Unknown && CanClose(count, other)) {
        if (++m_otherEndingRun >= 3) {
            m_ending = other;
            m_otherEndingRun = 0;
        }
    } else {
        m_otherEndingRun = 0;
    }
    return Refuse(count, true);
}

// The board sends nothing but its replies, in the order of the requests: bytes that
// follow a '*' at once show that it was data (a sample 0, 0, 42 looks like a closing
// block until the next byte comes). A reply on its way is read to its end: each byte
// may take up to the time-out. Bytes before a reply's header are line noise: skipped.
CSerialSatelDevice::Reply CSerialSatelDevice::ReadOneReply(size_t room, uint32_t timeoutMs,
                                                           int expected)
{
    room = std::min(std::max(room, kHeaderSize + kClosingSize), kMaxReply);
    const auto timeout = std::chrono::milliseconds(timeoutMs);
    auto deadline = Clock::now() + timeout;
    size_t count = std::min(m_replyFill, room);
    m_replyFill = 0;
    m_replySamples = 0;
    m_loneUnseen = false;  // of this reply only (a copy dropped, a cut reply: none)
    size_t noise = 0;
    // Places a sample reply could have ended, though bytes followed: where its length
    // ends it, the first lone '*' (sample bytes never close so), the last closing block
    // (a sample 0, 0, 42 closes so).
    size_t atLength = 0;
    size_t firstLone = 0;
    size_t lastBlock = 0;
    Ending atLengthEnding = Ending::Unknown;
    for (;;) {
        uint8_t byte = 0;
        const int got = ReadByteBefore(&byte, deadline);
        if (got == 0 && count > kHeaderSize && m_reply[4] == kSamples &&
            m_reply[count - 1] == kTerminator)
            return FinishSampleReply(count);  // nothing after its '*'
        if (got == 0 || got == -3) {
            m_replyFill = count;
            if (got == 0 && count == 0 && noise > 0) return Reply::Noise;
            return got == 0 ? Reply::None : Reply::Closing;
        }
        if (got < 0) {
            // The samples of a reply the line took away with it are the board's: as
            // many as its length says where the board has shown how it counts, else
            // those that came.
            if (count > kHeaderSize && m_reply[4] == kSamples) {
                const int64_t byLength = SamplesByLength(count);
                CountLost(byLength >= 0 ? byLength
                                        : static_cast<int64_t>((count - kHeaderSize) / kSampleSize));
            }
            return Reply::Vanished;
        }
        deadline = Clock::now() + timeout;
        m_reply[count++] = byte;
        if ((count == 1 && byte != kHash) || (count == 2 && byte != kI)) {
            if (m_refusedTail) {
                const uint8_t pair[2] = {kHash, byte};
                if (count == 2 && byte != kHash)
                    NoteRefusedTail(pair, 2);
                else
                    NoteRefusedTail(&byte, 1);
            }
            if (m_unseenSamples > 0) RetractUnseen();
            NoteGarbage();
            count = byte == kHash ? 1 : 0;
            m_reply[0] = byte;
            // Said at once when nothing follows it; a babbling line: the next step.
            if (++noise >= kMaxReply || (count == 0 && Waiting() == 0)) return Reply::Noise;
            continue;
        }
        if (count == 2) {  // a header begins
            m_refusedTail = false;
            SettleRefused();
            m_unseenSamples = 0;
        }
        if (count < kHeaderSize) continue;
        const size_t length = DecodeU16(m_reply.data() + 2);
        const uint8_t kind = m_reply[4];
        if (kind != kSamples) {
            // An acknowledgement, up to its '*', whatever its length counts; a '*'
            // that the length puts inside it by every reading is data when more
            // follows.
            if (kind == kTerminator) return Refuse(count, false);
            if (count > kHeaderSize && byte == kTerminator) {
                const bool inside = length != 0 && length < kMaxAckSize &&
                                    LengthEnd(length, LengthRule::Star, Ending::Lone) > count;
                const auto grace =
                    std::chrono::milliseconds(std::min<int64_t>(kCloseGraceMs, m_period));
                if (!inside || Follows(Clock::now() + grace) != Next::Data) {
                    m_inGarbage = false;
                    m_replyFill = 0;
                    return Reply::Ack;
                }
            }
            if (count >= kMaxAckSize) return Refuse(count, false);
            continue;
        }
        // Where the length ended it, a '*' further on is line noise (but for one just
        // after a lone ending: a byte added inside the samples looks alike).
        const bool ended =
            atLength != 0 && (atLengthEnding == Ending::Block || count > atLength + 1);
        if (byte == kTerminator && !ended) {
            const Ending ending = ClosesAt(count, expected, timeoutMs);
            if (ending != Ending::Unknown) return CloseSampleReply(count, ending);
            // The next reply's header already after it: this one ended here, a byte
            // added or lost on the line (its ending came after its time-out), or at its
            // closing block before line noise. Never read into the next reply.
            if (Waiting() >= static_cast<int>(kHeaderSize) &&
                Follows(Clock::now()) == Next::Reply) {
                if (lastBlock == 0) return FinishSampleReply(count);
                const Reply reply = CloseSampleReply(lastBlock, Ending::Block);
                NoteGarbage();
                return reply;
            }
            for (Ending can : {Ending::Block, Ending::Lone}) {
                if ((m_ending != Ending::Unknown && can != m_ending) || !CanClose(count, can))
                    continue;
                if (m_lengthRule != LengthRule::Unknown && m_lengthRule != LengthRule::None &&
                    LengthEnd(length, m_lengthRule, can) == count) {
                    atLength = count;
                    atLengthEnding = can;
                }
                if (can == Ending::Lone && firstLone == 0) firstLone = count;
                if (can == Ending::Block) lastBlock = count;
            }
        }
        // The next reply's header, with line noise between: this reply ended at the place
        // it could, the rest was noise. Said once the header is read, or (the room running
        // out first) waiting to be read; the header is read again.
        const size_t end = atLength != 0 ? atLength : firstLone != 0 ? firstLone : lastBlock;
        if (end != 0) {
            const Ending ending = atLength != 0    ? atLengthEnding
                                  : firstLone != 0 ? Ending::Lone
                                                   : Ending::Block;
            bool next =
                count >= end + kHeaderSize && IsHeader(m_reply.data() + count - kHeaderSize);
            if (next) {
                Unread(m_reply.data() + count - kHeaderSize, kHeaderSize);
            } else if (count >= room && std::min(RoomForReply(), kMaxReply) <= count) {
                for (size_t at = m_inputHead; at + kHeaderSize <= m_inputCount; ++at) {
                    if (!IsHeader(m_input.data() + at)) continue;
                    // Bytes that end by the board's ending right before it are the rest of
                    // a reply longer than the room, no noise (unless its length ended it).
                    next = atLength != 0 || !EndsBefore(count, at);
                    if (next) m_inputHead = at;
                    break;
                }
            }
            if (next) {
                const Reply reply = CloseSampleReply(end, ending);
                NoteGarbage();
                return reply;
            }
        }
        if (count >= room) {
            // The board may have answered later than the room was reckoned: it holds
            // at most what it gathered since the request the last reply answered.
            room = std::max(room, std::min(RoomForReply(), kMaxReply));
            // A copy of the last reply read is read as far as that one.
            if (count < m_lastReplySize &&
                std::memcmp(m_reply.data(), m_lastReply.data(), count) == 0)
                room = m_lastReplySize;
            if (count < room) continue;
            const size_t total = LengthEnd(length, m_lengthRule, m_ending);
            const bool copy = IsCopyOfLast(count);
            if (copy && m_lastFate != Fate::Refused) {
                ReadOffCutRest(count, total > count ? total : 0);  // counted by the first
                return TakeCopy();
            }
            if (copy) WithdrawRefused();
            // Longer than the read: its whole samples are taken, the rest is read off
            // and its samples counted as lost.
            m_cutReplies.fetch_add(1);
            m_replySamples = static_cast<int>((count - kHeaderSize) / kSampleSize);
            CountLost(ReadOffCutRest(count, total > count ? total : 0));
            std::memcpy(m_lastReply.data(), m_reply.data(), count);
            m_lastReplySize = count;
            m_lastFate = Fate::Cut;
            return Reply::Samples;
        }
    }
}

CSerialSatelDevice::Reply CSerialSatelDevice::SettlePartialReply()
{
    if (m_replyFill == 0) return Reply::Ack;
    if (Waiting() > 0) return ReadOneReply(m_replyRoom, m_replyTimeoutMs);
    // Nothing more came since its time-out: it stopped midway.
    const size_t count = m_replyFill;
    if (count > kHeaderSize && m_reply[4] == kSamples && m_reply[count - 1] == kTerminator)
        return FinishSampleReply(count);
    return Refuse(count, true);
}

CSerialSatelDevice::Reply CSerialSatelDevice::TakeWaitingReplies()
{
    bool took = false;
    for (int i = 0; i < kMaxRepliesAtOnce && Waiting() > 0; ++i) {
        m_replyRoom = RoomForReply();
        const Reply reply = ReadOneReply(m_replyRoom, m_replyTimeoutMs);
        if (reply == Reply::Samples) {
            TakeReply(true);
            took = true;
        } else if (reply == Reply::None || reply == Reply::Vanished || reply == Reply::Closing) {
            return reply;
        }
    }
    return took ? Reply::Samples : Reply::Ack;
}

bool CSerialSatelDevice::AwaitAck(uint8_t command, uint32_t timeoutMs)
{
    if (timeoutMs == 0) timeoutMs = m_configTimeoutMs;
    for (int i = 0; i < kMaxRepliesAtOnce; ++i) {
        m_replyRoom = RoomForReply();
        switch (ReadOneReply(m_replyRoom, timeoutMs)) {
            case Reply::Ack:
                // Another command's acknowledgement came late: this one's follows.
                if (m_reply[4] == command || !IsConfigCommand(m_reply[4])) return true;
                break;
            case Reply::Samples:
                TakeReply(true);
                break;
            case Reply::Damaged:
            case Reply::Repeat:
            case Reply::Noise:
                break;
            case Reply::Vanished:
                m_lineVanished = true;
                return false;
            case Reply::None:
            case Reply::Closing:
                return false;
        }
    }
    return false;
}

size_t CSerialSatelDevice::RoomForReply(int atLeastSamples)
{
    int held = atLeastSamples;
    if (m_lastAnsweredUs > 0.0) {
        const double sinceMs =
            std::min(std::max(ReadProgramClockUs() - m_lastAnsweredUs, 0.0) / 1000.0, 60000.0);
        held = std::max(held, static_cast<int>(sinceMs) / m_period);
    }
    return SampleReplySize(held, static_cast<int>(m_replyTimeoutMs) / m_period + 1);
}

void CSerialSatelDevice::TakeReply(bool late)
{
    NoteAnswered();
    ++m_takenReplies;
    const bool initialising = m_initPending.load();
    if (late && !initialising) m_lateReplies.fetch_add(1);
    for (int j = 0; j < m_replySamples; ++j) {
        double values[3];
        DecodeSample(m_reply.data() + kHeaderSize + static_cast<size_t>(j) * kSampleSize, values);
        if (initialising) std::copy(values, values + 3, m_previous);
        QueueSample(values);
        ++m_takenSamples;
    }
    m_unseenSamples = m_loneUnseen ? m_replySamples : 0;
    m_unseenMark = m_queuedTotal;
    m_loneUnseen = false;
}

void CSerialSatelDevice::RetractUnseen()
{
    size_t retract = static_cast<size_t>(m_unseenSamples);
    m_unseenSamples = 0;
    if (m_queuedTotal != m_unseenMark) return;  // newer samples came: too late to tell
    int64_t lost = 0;
    for (; retract > 0 && m_queueCount > 0; --retract, ++lost) {
        --m_queueCount;
        const size_t at = (m_queueHead + m_queueCount) % m_queue.size();
        m_skippedBeforeNext += m_queueGaps[at][0];
        m_lostBeforeNext += m_queueGaps[at][1];
    }
    CountLost(lost);
}

void CSerialSatelDevice::CountLost(int64_t samples)
{
    if (samples > 0 && IsRunning()) m_lostBeforeNext += samples;
}
