// Framing of the SATEL board's replies: where a reply ends, by the length the board
// gives once it has shown how it counts, else by its ending; what is no reply is noise.
#include "satel/satel_device.h"

#include "satel/satel_bytes.h"

#include <algorithm>
#include <chrono>
#include <cstring>

using namespace satel;

namespace {

using Clock = std::chrono::steady_clock;

// An acknowledgement ends at its '*' within this many bytes.
constexpr size_t kMaxAckSize = 16;
// Bytes a reply may gain on the line (a burst of noise inside it).
constexpr size_t kNoiseRoom = 48;

}  // namespace

// Sensor bytes may be '*' anywhere. Without a length a '*' ends a sample reply only
// where the samples before it are whole and it completes the board's ending: five zero
// bytes and '*' (count 11 + 6n), or a lone '*' (count 6 + 6n).
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

bool CSerialSatelDevice::BlockOffEnd(size_t count) const
{
    if (m_ending != Ending::Block || count < kHeaderSize + kClosingSize ||
        m_reply[count - 1] != kTerminator || DecodeU16(m_reply.data() + 2) != 0)
        return false;
    const size_t off = (count - kHeaderSize) % kSampleSize;
    if (off != 1 && off != kSampleSize - 1) return false;
    return std::all_of(m_reply.begin() + static_cast<std::ptrdiff_t>(count - kClosingSize),
                       m_reply.begin() + static_cast<std::ptrdiff_t>(count - 1),
                       [](uint8_t b) { return b == 0; });
}

// Whether the '*' at m_reply[count - 1] is a length byte of a header that begins right
// before it (noise, or a reply cut short, then the next reply): no ending.
bool CSerialSatelDevice::InHeaderLength(size_t count) const
{
    for (size_t at : {size_t{3}, size_t{4}})
        if (count > at && m_reply[count - at] == kHash && m_reply[count - at + 1] == kI)
            return true;
    return false;
}

// While a board configured again shows its way anew: a reply closed in another ending
// than its former one whose length, read the former way, ends it a byte off (one
// doubled, dropped or added: the two ways then fit the same bytes) is that way damaged,
// but for the second such reply in a row (the board was reset to the other way). Its
// samples, by either way, are counted lost once the next reply tells which it was.
// So too while its ending is known again but its length rule is not: a reply whose
// length, read the former rule, ends it a byte off fits another rule by its bytes.
bool CSerialSatelDevice::FormerWayDamaged(size_t count, Ending ending)
{
    const bool ruleAnew = m_ending != Ending::Unknown && m_ending == m_formerEnding &&
                          m_lengthRule == LengthRule::Unknown;
    if ((m_ending != Ending::Unknown && !ruleAnew) || m_formerEnding == Ending::Unknown) return false;
    // Longer than its length can mean any way: damaged, it shows no way (refused after).
    const size_t length = DecodeU16(m_reply.data() + 2);
    if (length > 0 && count > LengthEnd(length, LengthRule::Samples, ending)) return false;
    const auto countRest = [this](int64_t samples) {
        const int64_t lost = Bounded(samples);
        m_countedSince += lost;
        CountLost(lost);
        m_otherWayRest = {0, 0};
    };
    if (ending == m_formerEnding && !ruleAnew) {
        // Only a reply whole the former way tells that the refused one was that way; one
        // that counts its length otherwise came from a board set up anew since, and
        // tells nothing of it: the fewer stand.
        if (LengthEnd(length, m_formerRule, ending) == count)
            countRest(m_otherWayRest[0]);
        else
            m_otherWayRest = {0, 0};
        m_otherWayRun = 0;
        return false;
    }
    if (m_formerRule == LengthRule::Unknown || m_formerRule == LengthRule::None) return false;
    const size_t end = LengthEnd(length, m_formerRule, m_formerEnding);
    const size_t closing = EndingSize(m_formerEnding);
    if (ruleAnew && end == count) {
        countRest(m_otherWayRest[0]);
        m_otherWayRun = 0;
        return false;
    }
    if ((end + 1 != count && end != count + 1) || end < kHeaderSize + closing ||
        !BlockNearEnd(count)) {
        countRest(m_otherWayRest[1]);
        return false;
    }
    if (++m_otherWayRun >= 2) {
        countRest(m_otherWayRest[1]);
        return false;
    }
    const int64_t own = SamplesIn(count, ending);
    // A length that makes no whole samples the former way was never sent that way: the
    // bytes, whole the other way, are what the board sent. Said now, as nothing later
    // tells more (the board may be configured again before its next reply).
    const int64_t former = WholeSamples(end, m_formerEnding);
    if (former < 0) {
        m_otherWayCounted = own;
        return true;
    }
    m_otherWayCounted = std::min(former, own);
    const bool whole = RuleFor(length, count, ending) != LengthRule::Unknown;
    m_otherWayWhole = whole && (m_otherWayWhole || m_otherWayRest[0] + m_otherWayRest[1] == 0);
    m_otherWayRest[0] += former - m_otherWayCounted;
    m_otherWayRest[1] += own - m_otherWayCounted;
    return true;
}

// While a board configured again shows its ending anew, a lone '*' that ends five zero
// bytes but for one byte among or before them may be a block's, a byte doubled or added
// inside (the samples after it shifted). Where the length fits that reading, the reply is
// refused: its samples by the block's reading now, the one more of the lone reading once
// the next reply shows that ending. A second such reply in a row is taken: the board ends
// so.
bool CSerialSatelDevice::BlockByteOff(size_t count)
{
    if (m_ending != Ending::Unknown || m_formerEnding == Ending::Unknown ||
        count < kHeaderSize + kClosingSize + 1)
        return false;
    if (std::count(m_reply.begin() + static_cast<std::ptrdiff_t>(count - kClosingSize - 1),
                   m_reply.begin() + static_cast<std::ptrdiff_t>(count - 1), uint8_t{0}) <
        static_cast<std::ptrdiff_t>(kClosingSize - 1))
        return false;
    const size_t length = DecodeU16(m_reply.data() + 2);
    if (length != 0 && RuleFor(length, count - 1, Ending::Block) == LengthRule::Unknown)
        return false;
    if (++m_blockOffRun >= 2) return false;
    m_blockOffRest = length == 0 || RuleFor(length, count, Ending::Lone) != LengthRule::Unknown;
    return true;
}

// Whether a reply that closed in another ending can be one that ends with a block, a byte
// lost, doubled or added: then four of the six bytes before its '*' at least are zeros.
bool CSerialSatelDevice::BlockNearEnd(size_t count) const
{
    if (m_formerEnding != Ending::Block) return true;
    if (count < kHeaderSize + kClosingSize) return false;
    const auto from = m_reply.begin() + static_cast<std::ptrdiff_t>(count - kClosingSize - 1);
    return std::count(from, from + static_cast<std::ptrdiff_t>(kClosingSize), uint8_t{0}) >=
           static_cast<std::ptrdiff_t>(kClosingSize - 2);
}

int CSerialSatelDevice::SamplesIn(size_t count, Ending ending) const
{
    if (!CanClose(count, ending)) return -1;
    return static_cast<int>((count - kHeaderSize - EndingSize(ending)) / kSampleSize);
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

std::array<CSerialSatelDevice::Reading, 3> CSerialSatelDevice::Readings(size_t length,
                                                                       Ending ending)
{
    std::array<Reading, 3> readings{};
    size_t i = 0;
    for (LengthRule rule : kReadRules) {
        const size_t end = LengthEnd(length, rule, ending);
        readings[i++] = {end, WholeSamples(end, ending)};
    }
    return readings;
}

CSerialSatelDevice::LengthRule CSerialSatelDevice::RuleFor(size_t length, size_t count,
                                                           Ending ending)
{
    if (length == 0) return LengthRule::None;
    for (LengthRule rule : {LengthRule::Own, LengthRule::Star, LengthRule::Samples})
        if (LengthEnd(length, rule, ending) == count) return rule;
    return LengthRule::Unknown;
}

// -1: the header says nothing this board's way can read (no length, or none learnt);
// -2: it says what no reply of this board can be (noise that looks like a header).
int64_t CSerialSatelDevice::SamplesByLength(size_t at, LengthRule rule, Ending ending)
{
    const size_t length = DecodeU16(m_reply.data() + at + 2);
    if (rule == LengthRule::Unknown || ending == Ending::Unknown) return -1;
    if (rule == LengthRule::None) return length == 0 ? -1 : -2;
    const size_t end = LengthEnd(length, rule, ending);
    const size_t closing = EndingSize(ending);
    if (end < kHeaderSize + closing || (end - kHeaderSize - closing) % kSampleSize != 0) return -2;
    const int64_t samples = static_cast<int64_t>((end - kHeaderSize - closing) / kSampleSize);
    if (m_boundFromUs > 0.0) {
        const double sinceMs = std::max(ReadProgramClockUs() - m_boundFromUs, 0.0) / 1000.0;
        if (samples > static_cast<int64_t>(sinceMs * 1.02 / m_period) + 2) return -2;
    }
    return samples;
}

void CSerialSatelDevice::NoteGarbage()
{
    m_stoppedHeader = false;  // the rest of the reply that stopped
    m_tookAhead = false;
    if (m_inGarbage) return;
    m_inGarbage = true;
    m_damagedReplies.fetch_add(1);
}

// A byte added inside the samples may put a sample's '*' where a lone ending stands
// (where the length ends the reply too): the byte after it tells, '#' or none (the
// board sends nothing after its reply until asked again) but for a line that hands the
// reply over in pieces, looked past a moment.
bool CSerialSatelDevice::LoneFollowed(size_t count)
{
    if (SamplesIn(count, Ending::Lone) <= 0 && m_ending != Ending::Unknown) return false;
    // A quarter period (none at the fastest rates, where the reply comes at once), and
    // thrice the time a byte of this reply took to come (a slow or dribbling line).
    const auto look = std::chrono::microseconds(
        (m_period < 4 ? 0 : std::min<int64_t>(m_period * 250, 5000)) +
        static_cast<int64_t>(LinePauseUs()));
    // A header follows (all of it, or as much as came), or nothing: noise may hold a '#'.
    uint8_t next[kHeaderSize];
    size_t got = 0;
    const auto deadline = Clock::now() + look;
    while (got < kHeaderSize && ReadByteBefore(&next[got], deadline) == 1) ++got;
    Unread(next, got);
    if (got == 0) return false;
    const bool header = next[0] == kHash && (got < 2 || next[1] == kI) &&
                        (got < kHeaderSize || IsKind(next[4]));
    return !header;
}

// The rest of a reply longer than the largest read (one without a length): read off
// (a frame that falls due meanwhile goes first), its samples counted lost (none for a
// copy's). Ack: read off.
CSerialSatelDevice::Reply CSerialSatelDevice::ReadOffCut(uint32_t timeoutMs)
{
    const auto timeout = std::chrono::milliseconds(timeoutMs);
    const auto yieldAt = YieldPoint();
    for (;;) {
        uint8_t byte = 0;
        const bool yieldFirst = yieldAt < m_byteDeadline;
        const int got = ReadByteBefore(&byte, yieldFirst ? yieldAt : m_byteDeadline);
        if (got == -3) return Reply::Closing;
        if (got == 0 && yieldFirst && Clock::now() < m_byteDeadline) return Reply::Pending;
        bool done = got <= 0;
        if (got > 0) {
            m_byteDeadline = Clock::now() + timeout;
            m_cutGroup[m_cutInGroup++] = byte;
            if (m_cutInGroup >= kHeaderSize && IsHeader(m_cutGroup.data() + m_cutInGroup - kHeaderSize)) {
                Unread(m_cutGroup.data() + m_cutInGroup - kHeaderSize, kHeaderSize);
                done = true;
            } else if (byte == kTerminator &&
                       ((m_cutInGroup == 1 && m_ending != Ending::Block) ||
                        (m_cutInGroup == kSampleSize && m_ending != Ending::Lone &&
                         std::all_of(m_cutGroup.begin(), m_cutGroup.end() - 1,
                                     [](uint8_t b) { return b == 0; })))) {
                done = true;
            } else if (m_cutInGroup == kSampleSize) {
                ++m_cutLost;
                m_cutInGroup = 0;
            }
        }
        if (!done) continue;
        m_cutting = false;
        const int64_t lost = m_cutCopy ? 0 : Bounded(m_cutLost);
        m_countedSince += lost;
        CountLost(lost);
        if (got < 0) return Reply::Vanished;
        return Reply::Ack;
    }
}

Clock::time_point CSerialSatelDevice::YieldPoint()
{
    const double yieldLeftUs = m_yieldAtUs - ReadProgramClockUs();
    return yieldLeftUs > 1.0e12 ? Clock::time_point::max()
                                : Clock::now() + std::chrono::microseconds(
                                                     static_cast<int64_t>(std::max(yieldLeftUs, 0.0)));
}

// What a refused reply held: as many as its length says (read the way the board is
// being learnt, or showed before), else by its bytes (noise inside makes more of them);
// none for a header that is no reply of this board.
int64_t CSerialSatelDevice::RefusedSamples(size_t bytes) const
{
    if (!m_headerPlausible) return 0;
    if (m_byLength >= 0) return m_byLength;
    const int64_t guess = SamplesByLengthGuess(bytes, true);
    if (guess >= 0) return guess;
    if (bytes < kClosingSize) return 0;
    return NoMoreThanLength(SamplesByBytes(bytes, m_reply.data() + bytes - kClosingSize),
                            bytes >= kHeaderSize ? DecodeU16(m_reply.data() + 2) : 0);
}

// The samples the header in m_reply says while the board's way is not (yet) learnt: read
// the way it is being learnt, or showed before it was learnt again (after a loss), or
// else any way that makes whole samples (the fewest); -1: none. The reply holds at least
// count bytes. grown: it was refused whole, count bytes with noise inside; only the ways
// being learnt or shown before tell, and a length past its bytes (noise that looks like
// a header) says nothing.
int64_t CSerialSatelDevice::SamplesByLengthGuess(size_t count, bool grown) const
{
    const size_t length = DecodeU16(m_reply.data() + 2);
    const Ending ending = m_ending != Ending::Unknown ? m_ending : m_formerEnding;
    if (length == 0 || ending == Ending::Unknown) return -1;
    const size_t closing = EndingSize(ending);
    int64_t fewest = -1;
    for (LengthRule rule : {m_ruleCandidate, m_formerRule, LengthRule::Own, LengthRule::Star,
                            LengthRule::Samples}) {
        const size_t end = LengthEnd(length, rule, ending);
        if (grown && (rule == LengthRule::Unknown ||
                      (rule != m_ruleCandidate && rule != m_formerRule) || end > count + 2))
            continue;
        if ((end < count && !grown) || end < kHeaderSize + closing ||
            (end - kHeaderSize - closing) % kSampleSize != 0)
            continue;
        const int64_t samples = static_cast<int64_t>((end - kHeaderSize - closing) / kSampleSize);
        if (rule == m_ruleCandidate || rule == m_formerRule) return samples;
        fewest = fewest < 0 ? samples : std::min(fewest, samples);
    }
    return fewest;
}

// A reply refused while the board's way is learnt again (set up after a loss): its
// length read the way the board showed before tells its samples, where that makes whole
// samples within its bytes (an ending its noise completes may fit another length rule);
// else byBytes, what its bytes tell.
int64_t CSerialSatelDevice::FormerWayOr(size_t count, int64_t byBytes, bool grown)
{
    return SamplesByLengthGuess(count, true) >= 0 ? RefusedAnew(count, grown) : byBytes;
}

// The board sends nothing but its replies, in the order of the requests. A reply on
// its way is read to its end: each byte may take up to the time-out.
CSerialSatelDevice::Reply CSerialSatelDevice::ReadOneReply(uint32_t timeoutMs)
{
    const auto timeout = std::chrono::milliseconds(timeoutMs);
    if (!m_awaiting && m_replyFill == 0 && !m_cutting) m_byteDeadline = Clock::now() + timeout;
    m_awaiting = false;
    if (m_cutting) {
        const Reply reply = ReadOffCut(timeoutMs);
        m_awaiting = reply == Reply::Pending;
        return reply;  // Ack: read off, nothing more asked for
    }
    const size_t count = m_replyFill;
    m_replyFill = 0;
    m_replySamples = 0;
    const auto yieldAt = YieldPoint();
    if (m_loneOpen && count == 0) {
        const Reply settled = SettleLone(Clock::time_point::max());
        if (settled != Reply::Ack) {
            m_awaiting = settled == Reply::Pending;
            return settled;
        }
    }
    return ReadReplyBytes(count, yieldAt, timeoutMs);
}

CSerialSatelDevice::Reply CSerialSatelDevice::ReadReplyBytes(size_t count, Clock::time_point yieldAt,
                                                             uint32_t timeoutMs)
{
    const auto timeout = std::chrono::milliseconds(timeoutMs);
    size_t noise = 0;
    for (;;) {
        uint8_t byte = 0;
        // Only a reply on its way gives way to the frames (a slow line); one awaited is
        // awaited as long as a reply may take.
        const bool yieldFirst = count > 0 && yieldAt < m_byteDeadline;
        const int got = ReadByteBefore(&byte, yieldFirst ? yieldAt : m_byteDeadline);
        if (got == -3) {
            m_replyFill = count;
            return Reply::Closing;
        }
        if (got == 0 && yieldFirst && Clock::now() < m_byteDeadline) {
            m_replyFill = count;
            m_awaiting = count == 0;
            return Reply::Pending;
        }
        // (A refused reply's rest may still come after a pause: it ends at a header.)
        if (got == 0 && count == 0) return noise > 0 ? Reply::Noise : Reply::None;
        if (got == 0) return ReplyStopped(count);
        if (got < 0) {
            // The samples of a reply the line took away with it are the board's. A header
            // inside began it, as where it stops: the one before was noise.
            if (m_innerAt > 0 && m_outerClose == 0) count = TakeInner(count);
            if (count > kHeaderSize && m_reply[4] == kSamples) CountVanished(count);
            return Reply::Vanished;
        }
        m_byteDeadline = Clock::now() + timeout;
        m_reply[count++] = byte;
        if (count > 1 && (count <= kHeaderSize || m_reply[4] == kSamples)) {
            NoteLineByte(count);
        } else {
            NoteReplyStart();
        }
        if ((count == 1 && byte != kHash) || (count == 2 && byte != kI)) {
            // What follows a reply closed by a lone '*' is a header or it refutes that
            // '*' (its last byte came after the wait for it).
            if (m_loneOpen) RefuteLone();
            if (count == 2) NoteRefutedByte(kHash);
            if (byte != kHash) NoteRefutedByte(byte);
            NoteGarbage();
            count = byte == kHash ? 1 : 0;
            m_reply[0] = byte;
            // A reply begins at this '#' if any: the board gathered its samples before.
            if (count == 1) m_firstByteUs = ReadProgramClockUs();
            if (++noise >= kLongestNoise || (count == 0 && Waiting() == 0)) return Reply::Noise;
            continue;
        }
        if (count < kHeaderSize) continue;
        if (count == kHeaderSize) {
            if (!IsKind(m_reply[4])) {
                // No header: its '#' was noise, what follows is read again.
                if (m_loneOpen) RefuteLone();
                NoteRefutedByte(kHash);
                NoteGarbage();
                ++noise;
                Unread(m_reply.data() + 1, kHeaderSize - 1);
                count = 0;
                continue;
            }
            OpenHeader();
        }
        if (m_reply[4] != kSamples) {
            if (count > kHeaderSize && byte == kTerminator) {
                m_inGarbage = false;
                m_stoppedHeader = false;
                m_tookAhead = false;  // the replies before a set-up came before its answer
                NoteSetUpAnswered();
                return Reply::Ack;
            }
            if (count >= kMaxAckSize) return Refuse(count, 0);
            continue;
        }
        const Reply inner = SettleInner(count);
        if (inner != Reply::None) return inner;
        if (m_lengthEnd > 0) {
            // The board's length ends it: its ending must stand there.
            if (count < m_lengthEnd && count < kMaxReply) continue;
            if (count == m_lengthEnd) {
                // In the ending its header was read by: a set-up while it came (a frame
                // fell due midway) forgot the board's way, not this reply's.
                if (CanClose(count, m_lengthEnding) && !InHeaderLength(count))
                    return CloseSampleReply(count, m_lengthEnding);
                // A byte lost or added, or noise inside: read on to its end or the
                // next header, its samples those its length says.
                m_lengthEnd = 0;
                continue;
            }
        } else if (byte == kTerminator && count >= m_minEnd && m_innerAt == 0 &&
                   !InHeaderLength(count)) {
            for (Ending ending : {Ending::Block, Ending::Lone}) {
                if ((m_ending != Ending::Unknown && ending != m_ending) || !CanClose(count, ending))
                    continue;
                // A reply sent again from a few requests back holds more samples than
                // the time since allows, yet it is whole: a copy, not damage.
                if (!m_headerPlausible && IsCopy(m_reply.data(), count))
                    return CloseSampleReply(count, ending);
                // Where the length failed, or the header is none of this board's, the
                // ending only tells where the refused bytes end.
                if (m_byLength >= 0 || !m_headerPlausible) return Refuse(count, RefusedSamples(count));
                // A block a byte off ends the reply whatever follows: junk right behind
                // it would be read as its samples.
                if (ending == Ending::Lone && BlockByteOff(count)) {
                    const size_t blockBody = count - 1 - kHeaderSize - kClosingSize;
                    return Refuse(count, FormerWayOr(count, static_cast<int64_t>(blockBody / kSampleSize)));
                }
                // Before the board's ending is known, a '*' first in a sample of a board
                // that ends with a block: more follows at once.
                if (ending == Ending::Lone && m_ending == Ending::Unknown && LoneFollowed(count))
                    continue;
                if (FormerWayDamaged(count, ending)) return Refuse(count, m_otherWayCounted);
                // Longer than its length can mean whichever way the board counts: noise
                // or bytes added inside, before its way is learnt. Its bytes then tell
                // no ending: the length is read both ways, the fewer said now.
                const size_t length = DecodeU16(m_reply.data() + 2);
                if (length > 0 && count > LengthEnd(length, LengthRule::Samples, ending))
                    return Refuse(count, FormerWayOr(count, FewerReading(SamplesIn(count, ending),
                                                                         length, m_ending),
                                                     true));
                return CloseSampleReply(count, ending);
            }
            // Five zero bytes and '*' a byte off whole samples from a board that ends
            // with a block and gives no length: its block, a byte doubled or lost inside
            // (samples there would put a '*' in a high byte, out of range). What follows
            // is the next reply or noise before it: read on, junk behind it would be
            // counted as its samples.
            if (BlockOffEnd(count)) return Refuse(count, RefusedAnew(count));
        }
        if (count >= 2 * kHeaderSize && IsHeader(m_reply.data() + count - kHeaderSize)) {
            // The next reply: this one stopped before its ending. Far short of the least
            // its length can mean, it was noise that looked like a header.
            Unread(m_reply.data() + count - kHeaderSize, kHeaderSize);
            // So was it where no more than one request waits: two replies cannot answer it
            // (an acknowledgement answers a command: the reply before it may be the one).
            if (count - kHeaderSize + kNoiseRoom < m_minEnd ||
                (m_requestCount + m_expiredRequests <= 1 && m_reply[count - 1] == kSamples))
                m_headerPlausible = false;
            return Refuse(count - kHeaderSize, RefusedAnew(count - kHeaderSize));
        }
        if (count >= kMaxReply) {
            // Past the most a length can mean: damaged, or noise behind a header.
            if (m_byLength >= 0 || !m_headerPlausible || DecodeU16(m_reply.data() + 2) != 0)
                return Refuse(count, RefusedSamples(count));
            return StartCut(count);
        }
    }
}

CSerialSatelDevice::Reply CSerialSatelDevice::ReplyStopped(size_t count)
{
    const int64_t lostBefore = m_lostBeforeNext;
    const int64_t unsureBefore = m_unsureBeforeNext;
    m_refusedAnswered = false;
    const Reply reply = RefuseStoppedReply(count);
    // Taken as the answer to the request, as a reply would be: the schedule of the
    // requests is kept. Its own reply, where it was noise, may follow still.
    if (reply == Reply::Damaged && m_refusedAnswered && !m_stoppedHeader && IsRunning()) {
        m_tookAhead = true;
        m_aheadLost = std::max<int64_t>(m_lostBeforeNext - lostBefore, 0);
        m_aheadUnsure = std::max<int64_t>(m_unsureBeforeNext - unsureBefore, 0);
        m_aheadCounted = m_countedSince;
        m_aheadMark = m_queuedTotal;
    }
    return reply;
}

// A reply that stopped midway. Without a length, bytes that follow before the next
// header are its rest, held up on the line: its samples are told by all of them.
CSerialSatelDevice::Reply CSerialSatelDevice::RefuseStoppedReply(size_t count)
{
    // The header inside began the reply that stopped, the one before it noise, unless
    // that one closed whole at its length.
    if (m_innerAt > 0 && m_outerClose > 0) return CloseOuter(count);
    if (m_innerAt > 0) count = TakeInner(count);
    if (count >= kHeaderSize && m_reply[4] == kSamples) {
        // One that closed with the board's block, a byte added or lost inside,
        // has no rest to come (a lone '*' may be a sample's byte).
        const size_t closing = kClosingSize;
        const bool ended = m_ending != Ending::Lone && count >= kHeaderSize + closing &&
                           m_reply[count - 1] == kTerminator &&
                           std::all_of(m_reply.begin() + static_cast<std::ptrdiff_t>(count - closing),
                                       m_reply.begin() + static_cast<std::ptrdiff_t>(count - 1),
                                       [](uint8_t b) { return b == 0; });
        if (m_byLength >= 0 && m_headerPlausible) return RefuseStopped(count);
        if (m_byLength >= 0 || !m_headerPlausible || ended ||
            SamplesByLengthGuess(count, true) >= 0)
            return Refuse(count, RefusedAnew(count));
        const Reply reply = Refuse(count, 0);
        if (!m_refusedCopy) StartRefuted(count);
        return reply;
    }
    // A header that stopped before its kind (a line held up) while a request
    // waits: its length, or the bytes that follow, tell its samples.
    if (count > 0 && count < kHeaderSize - 1 && IsRequestWaiting()) {
        const Reply reply = Refuse(count, 0);
        StartRefuted(count);
        return reply;
    }
    if (count == kHeaderSize - 1 && IsRequestWaiting()) {
        const int64_t byLength = SamplesByLength();
        if (byLength >= 0) return Refuse(count, byLength);
        if (byLength == -1) {
            const Reply reply = Refuse(count, 0);
            StartRefuted(count);
            return reply;
        }
    }
    return Refuse(count, 0);
}

// A header in noise may give a length the board's way can mean: read by it, the reply
// behind runs into or past its length. A whole sample header inside whose own length
// reads the board's way (no more than it can have gathered) is noted; the ending found
// where that length ends shows the bytes before it were noise. The reply read by the
// length before it, closing first, waits for that (a sample's '*' may end it there).
CSerialSatelDevice::Reply CSerialSatelDevice::SettleInner(size_t& count)
{
    if (m_innerAt == 0 && m_lengthEnd >= count) NoteInnerHeader(count);
    if (m_innerAt == 0) return Reply::None;
    if (count == m_innerEnd) {
        if (InnerCloses(count)) {
            count = TakeInner(count);  // closed below, at its length
            return Reply::None;
        }
        if (m_outerClose > 0) return CloseOuter(count);
        m_innerAt = 0;
        return Reply::None;
    }
    if (count == m_lengthEnd && m_innerEnd > count && m_innerEnd - count <= kLongestNoise &&
        CanClose(count, m_lengthEnding) && !InHeaderLength(count)) {
        m_outerClose = count;
        m_lengthEnd = 0;
    }
    return Reply::None;
}

// The header inside is read the way the one before it was: a set-up while they came
// (a frame fell due) forgot the board's way, not theirs.
void CSerialSatelDevice::NoteInnerHeader(size_t count)
{
    const size_t at = count - kHeaderSize;
    if (count < 2 * kHeaderSize || !IsHeader(m_reply.data() + at) || m_reply[count - 1] != kSamples ||
        SamplesByLength(at, m_lengthReadRule, m_lengthEnding) < 0)
        return;
    m_innerAt = at;
    m_innerEnd = at + LengthEnd(DecodeU16(m_reply.data() + at + 2), m_lengthReadRule, m_lengthEnding);
    m_outerClose = 0;
}

// The reply that closed at its length was whole: what followed is read again.
CSerialSatelDevice::Reply CSerialSatelDevice::CloseOuter(size_t count)
{
    const size_t end = m_outerClose;
    Unread(m_reply.data() + end, count - end);
    m_innerAt = 0;
    m_outerClose = 0;
    return CloseSampleReply(end, m_lengthEnding);
}

bool CSerialSatelDevice::InnerCloses(size_t count) const
{
    if (m_reply[count - 1] != kTerminator || InHeaderLength(count)) return false;
    for (size_t i = count - EndingSize(m_lengthEnding); i + 1 < count; ++i)
        if (m_reply[i] != 0) return false;
    return true;
}

// The bytes before the inner header are refused as noise (they answer no request); the
// reply is read on from that header. Returns its bytes so far.
size_t CSerialSatelDevice::TakeInner(size_t count)
{
    const size_t at = m_innerAt;
    const LengthRule rule = m_lengthReadRule;
    const Ending ending = m_lengthEnding;
    m_damagedReplies.fetch_add(1);
    std::memmove(m_reply.data(), m_reply.data() + at, count - at);
    OpenHeader();
    // Its length ends it the way it was noted by, whatever a set-up since forgot.
    const int64_t byLength = SamplesByLength(0, rule, ending);
    if (m_lengthEnd == 0 && byLength >= 0) {
        m_byLength = byLength;
        m_lengthEnd = LengthEnd(DecodeU16(m_reply.data() + 2), rule, ending);
        m_lengthEnding = ending;
        m_lengthReadRule = rule;
        m_minEnd = 0;
    }
    return count - at;
}

// A whole header in m_reply: what its length says of the reply it opens.
void CSerialSatelDevice::OpenHeader()
{
    if (m_refutedBytes > 0) EndRefuted();
    m_byLength = -1;
    m_lengthEnd = 0;
    m_innerAt = 0;
    m_outerClose = 0;
    m_headerPlausible = true;
    // Before the board showed how it counts, a length still says the reply is
    // no shorter than the least it can mean: no '*' closes it before.
    const size_t length = DecodeU16(m_reply.data() + 2);
    m_minEnd = m_lengthRule == LengthRule::Unknown && length > 0 ? kHeaderSize - 1 + length : 0;
    if (m_reply[4] != kSamples) return;
    const int64_t byLength = SamplesByLength();
    m_headerPlausible = byLength != -2;
    if (byLength >= 0) {
        m_byLength = byLength;
        m_lengthEnd = LengthEnd(length, m_lengthRule, m_ending);
        m_lengthEnding = m_ending;
        m_lengthReadRule = m_lengthRule;
    }
}

// Longer than the largest read (a reply without a length): its whole samples are taken,
// its rest read off and counted lost.
CSerialSatelDevice::Reply CSerialSatelDevice::StartCut(size_t count)
{
    m_cutReplies.fetch_add(1);
    m_replyLone = false;
    m_replySamples = static_cast<int>((count - kHeaderSize) / kSampleSize);
    m_cutting = true;
    m_cutInGroup = (count - kHeaderSize) % kSampleSize;
    std::memcpy(m_cutGroup.data(), m_reply.data() + count - m_cutInGroup, m_cutInGroup);
    m_cutLost = 0;
    m_inGarbage = false;
    m_cutCopy = !IsRequestWaiting();
    if (m_cutCopy && AnswersAhead()) {
        m_stoppedHeader = true;  // TakeReply takes no other request
        m_stoppedLost = m_stoppedCounted = 0;
        UseAhead();
        m_cutCopy = false;
    }
    m_tookAhead = false;
    if (m_cutCopy) {
        m_replySamples = 0;
        return Reply::Repeat;
    }
    return Reply::Samples;
}
