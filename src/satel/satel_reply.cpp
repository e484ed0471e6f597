// The SATEL board's replies, in two parts. Framing: where a reply ends, by the length
// the board gives once it has shown how it counts, else by its ending; what is no
// reply is noise. Accounting: a reply brings samples only when a request waits for it
// and it repeats no earlier reply; a refused one's samples are counted lost, never more
// than the board can have gathered meanwhile.
#include "satel/satel_device.h"

#include "process/messageQueue.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// Reads wait in slices this short, so that closing never waits for a reply.
constexpr int64_t kReadSliceMs = 50;
// An acknowledgement ends at its '*' within this many bytes.
constexpr size_t kMaxAckSize = 16;
// Replies taken in one step, or while one acknowledgement is awaited, at most.
constexpr int kMaxRepliesAtOnce = 64;
// One read of the line takes at most this many bytes.
constexpr size_t kInputRoom = 256;
// Sample replies shorter than this tell nothing of the line's speed.
// A line that pauses longer than this between two bytes of a reply is no slow line
// but a stall; its speed is told over this much time of bytes flowing.
constexpr double kFlowGapUs = 20000.0;
constexpr double kFlowWindowUs = 300000.0;
// Bytes a reply may gain on the line (a burst of noise inside it).
constexpr size_t kNoiseRoom = 48;
constexpr uint8_t kHash = 0x23;  // '#', first header byte
constexpr uint8_t kI = 0x49;     // 'I', second header byte

bool IsConfigCommand(uint8_t kind)
{
    return kind == CSerialSatelDevice::kSetPeriod || kind == CSerialSatelDevice::kConfigure ||
           kind == CSerialSatelDevice::kReset;
}

bool IsKind(uint8_t kind) { return kind == CSerialSatelDevice::kSamples || IsConfigCommand(kind); }

bool IsHeader(const uint8_t* bytes) { return bytes[0] == kHash && bytes[1] == kI && IsKind(bytes[4]); }

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

void CSerialSatelDevice::Unread(const uint8_t* bytes, size_t count)
{
    const size_t left = m_inputCount - m_inputHead;
    count = std::min(count, m_input.size() - left);
    std::memmove(m_input.data() + count, m_input.data() + m_inputHead, left);
    std::memmove(m_input.data(), bytes, count);
    m_inputHead = 0;
    m_inputCount = left + count;
}

void CSerialSatelDevice::ForgetReply()
{
    if (m_refutedBytes > 0) EndRefuted();
    if (m_loneOpen) ConfirmLone();
    m_replyFill = 0;
    m_awaiting = false;
    m_cutting = false;
    m_inputHead = m_inputCount = 0;
    m_inGarbage = false;
    m_requestCount = 0;  // their replies, if any, are gone with the rest
    m_expiredRequests = 0;
}

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

CSerialSatelDevice::LengthRule CSerialSatelDevice::RuleFor(size_t length, size_t count,
                                                           Ending ending)
{
    if (length == 0) return LengthRule::None;
    for (LengthRule rule : {LengthRule::Own, LengthRule::Star, LengthRule::Samples})
        if (LengthEnd(length, rule, ending) == count) return rule;
    return LengthRule::Unknown;
}

int64_t CSerialSatelDevice::Bounded(int64_t samples)
{
    if (samples <= 0) return 0;
    if (m_boundFromUs <= 0.0) return samples;
    // The board's clock may run a little fast; a sample or two may fall either side.
    const double sinceMs = std::max(ReadProgramClockUs() - m_boundFromUs, 0.0) / 1000.0;
    const int64_t held = static_cast<int64_t>(sinceMs * 1.02 / m_period) + 2;
    return std::min(samples, std::max<int64_t>(held - m_countedSince, 0));
}

// -1: the header says nothing this board's way can read (no length, or none learnt);
// -2: it says what no reply of this board can be (noise that looks like a header).
int64_t CSerialSatelDevice::SamplesByLength()
{
    const size_t length = DecodeU16(m_reply.data() + 2);
    if (m_lengthRule == LengthRule::Unknown || m_ending == Ending::Unknown) return -1;
    if (m_lengthRule == LengthRule::None) return length == 0 ? -1 : -2;
    const size_t end = LengthEnd(length, m_lengthRule, m_ending);
    const size_t closing = EndingSize(m_ending);
    if (end < kHeaderSize + closing || (end - kHeaderSize - closing) % kSampleSize != 0) return -2;
    const int64_t samples = static_cast<int64_t>((end - kHeaderSize - closing) / kSampleSize);
    if (m_boundFromUs > 0.0) {
        const double sinceMs = std::max(ReadProgramClockUs() - m_boundFromUs, 0.0) / 1000.0;
        if (samples > static_cast<int64_t>(sinceMs * 1.02 / m_period) + 2) return -2;
    }
    return samples;
}

int64_t CSerialSatelDevice::SamplesByBytes(size_t count, const uint8_t* tail) const
{
    // Before the board showed its ending, the bytes' own tell: five zero bytes and '*'
    // (no sample of a loaded board) or else a lone '*'.
    Ending ending = m_ending;
    if (ending == Ending::Unknown)
        ending = count >= kHeaderSize + kClosingSize && tail[kClosingSize - 1] == kTerminator &&
                         std::all_of(tail, tail + kClosingSize - 1, [](uint8_t b) { return b == 0; })
                     ? Ending::Block
                     : Ending::Lone;
    const size_t closing = EndingSize(ending);
    if (count <= kHeaderSize + closing) return 0;
    // A byte doubled or dropped makes no sample more or less.
    return static_cast<int64_t>((count - kHeaderSize - closing + kSampleSize / 2) / kSampleSize);
}

void CSerialSatelDevice::Remember(const uint8_t* bytes, size_t count)
{
    if (count < kHeaderSize + kSampleSize) return;
    count = std::min(count, kMaxReply);
    std::memcpy(m_seen[m_seenNext].data(), bytes, count);
    m_seenSize[m_seenNext] = count;
    m_seenNext = (m_seenNext + 1) % kSeen;
}

// A copy of an earlier reply: the same bytes. (A copy damaged on the line cannot be told
// from a damaged fresh reply: successive samples may differ in one byte.)
bool CSerialSatelDevice::IsCopy(const uint8_t* bytes, size_t count) const
{
    if (count < kHeaderSize + kSampleSize) return false;
    for (size_t i = 0; i < kSeen; ++i)
        if (m_seenSize[i] == count && std::memcmp(m_seen[i].data(), bytes, count) == 0) return true;
    return false;
}

CSerialSatelDevice::Reply CSerialSatelDevice::Refuse(size_t count, int64_t samples)
{
    m_damagedReplies.fetch_add(1);
    m_replyFill = 0;
    m_inGarbage = false;
    // A damaged reply of this board answers a request, as a whole one does; one that no
    // request waits for, or that repeats an earlier one, is a copy: nothing is lost.
    bool copy = IsCopy(m_reply.data(), count);
    Remember(m_reply.data(), count);
    if (count >= kHeaderSize && m_reply[4] == kSamples && m_headerPlausible) {
        if (IsRequestWaiting())
            NoteAnswered();
        else
            copy = true;
    }
    m_refusedCopy = copy;
    if (!copy && samples > 0) {
        const int64_t lost = Bounded(samples);
        m_countedSince += lost;
        CountLost(lost);
    }
    return Reply::Damaged;
}

void CSerialSatelDevice::StartRefuted(size_t count)
{
    m_refutedBytes = count;
    m_refutedBase = -1;
    m_refutedRest = 0;
    m_refutedHead = count >= kClosingSize ? SamplesByBytes(count, m_reply.data() + count - kClosingSize) : 0;
    const size_t kept = std::min(count, m_refutedLast.size());
    m_refutedLast.fill(0xFF);
    std::memcpy(m_refutedLast.data() + m_refutedLast.size() - kept, m_reply.data() + count - kept, kept);
}

// One more byte of a refused reply read on without a length: its ending, where the
// samples before it are whole, ends it; what follows is noise.
void CSerialSatelDevice::NoteRefutedByte(uint8_t byte)
{
    if (m_refutedBytes == 0) return;
    ++m_refutedBytes;
    ++m_refutedRest;
    std::rotate(m_refutedLast.begin(), m_refutedLast.begin() + 1, m_refutedLast.end());
    m_refutedLast.back() = byte;
    if (byte != kTerminator || m_refutedBytes <= kHeaderSize) return;
    // A reply taken back from its lone '*' came whole with its rest (a byte added,
    // doubled or lost inside): its own ending is the last '*' before the next request.
    if (m_refutedBase >= 0) {
        m_refutedStarRest = m_refutedRest;
        return;
    }
    const size_t body = m_refutedBytes - kHeaderSize;
    const bool lone = body % kSampleSize == 1;
    const bool block = body % kSampleSize == 0 &&
                       std::all_of(m_refutedLast.begin(), m_refutedLast.end() - 1,
                                   [](uint8_t b) { return b == 0; });
    const bool ends = m_ending == Ending::Lone    ? lone
                      : m_ending == Ending::Block ? block
                                                  : lone || block;
    if (ends) EndRefuted(true);
}

// A reply closed by a lone '*' is taken, its samples held from the frames, until what
// follows shows that '*' was its own: a header, or nothing for a whole reply time-out.
// Anything else (a byte added inside the samples put a sample's '*' there, or noise
// follows at once) refutes it.
// Quiet since the reply for a quarter period (at most 5 ms) and the pause its line may
// take: nothing was added inside it (such a byte comes with the reply).
void CSerialSatelDevice::ConfirmLoneIfQuiet()
{
    if (!m_loneOpen || Waiting() > 0) return;
    const double quietUs = std::min(m_period * 250.0, 5000.0) + m_unconfirmedGapUs;
    if (ReadProgramClockUs() - m_lastByteUs >= quietUs) ConfirmLone();
}

// How long the line may pause within a reply: thrice the longest pause seen in this
// one (a slow line hands bytes over in bursts), never past the reply time-out.
double CSerialSatelDevice::LinePauseUs() const
{
    return std::min(3.0 * m_replyGapUs, m_replyTimeoutMs * 1000.0);
}

void CSerialSatelDevice::ConfirmLone()
{
    m_unconfirmed = 0;
    m_unconfirmedByLength = -1;
    m_loneOpen = false;
}

void CSerialSatelDevice::RefuteLone()
{
    m_damagedReplies.fetch_add(1);
    const size_t back = std::min(m_unconfirmed, m_queueCount);
    for (size_t i = 0; i < back; ++i) {
        --m_queueCount;
        const size_t at = (m_queueHead + m_queueCount) % m_queue.size();
        m_skippedBeforeNext += m_queueGaps[at][0];
        m_lostBeforeNext += m_queueGaps[at][1];
    }
    m_queuedTotal -= back;
    m_countedSince -= static_cast<int64_t>(back);
    m_lastWasAgain = false;
    if (m_unconfirmedByLength >= 0) {
        const int64_t lost = Bounded(m_unconfirmedByLength);
        m_countedSince += lost;
        CountLost(lost);
    } else {
        // Without a length: the samples taken back, and those of its rest (read up to
        // the next request: NoteRefutedByte).
        m_refutedBytes = kHeaderSize + back * kSampleSize + 1;
        m_refutedLast.fill(0xFF);
        m_refutedBase = static_cast<int64_t>(back);
        m_refutedRest = m_refutedStarRest = 0;
    }
    m_unconfirmed = 0;
    m_unconfirmedByLength = -1;
    m_loneOpen = false;
}

// What follows an unconfirmed reply, by the deadline: a header confirms it, other bytes
// refute it, nothing for the whole wait confirms it. Pending: a frame fell due first.
CSerialSatelDevice::Reply CSerialSatelDevice::SettleLone(Clock::time_point yieldAt)
{
    uint8_t next[kHeaderSize];
    size_t got = 0;
    int read = 1;
    const bool yieldFirst = yieldAt < m_byteDeadline;
    while (got < kHeaderSize && (read = ReadByteBefore(&next[got], yieldFirst ? yieldAt : m_byteDeadline)) == 1) {
        ++got;
        if (next[0] != kHash || (got >= 2 && next[1] != kI)) break;
    }
    Unread(next, got);
    if (read == -3) return Reply::Closing;
    const bool header = got > 0 && next[0] == kHash && (got < 2 || next[1] == kI) &&
                        (got < kHeaderSize || IsKind(next[4]));
    if (got > 0 && !header) {
        RefuteLone();
    } else if (got == kHeaderSize || (got == 0 && read == 0 && !(yieldFirst && Clock::now() < m_byteDeadline))) {
        ConfirmLone();
    } else if (read == 0 && yieldFirst && Clock::now() < m_byteDeadline) {
        return Reply::Pending;
    } else if (read == 0) {
        ConfirmLone();  // part of a header, then nothing: the next reads tell the rest
    }
    return Reply::Ack;
}

void CSerialSatelDevice::EndRefuted(bool closed)
{
    // Bytes that followed hold the rest of its samples only where they close as the
    // board's replies do; else they are noise before the next reply.
    int64_t samples = closed ? SamplesByBytes(m_refutedBytes, m_refutedLast.data()) : m_refutedHead;
    if (m_refutedBase >= 0)
        samples = m_refutedBase + static_cast<int64_t>((m_refutedStarRest + kSampleSize / 2) / kSampleSize);
    const int64_t lost = Bounded(samples);
    m_refutedBytes = 0;
    m_refutedBase = -1;
    m_countedSince += lost;
    CountLost(lost);
}

// Bytes of sample replies as they come, the time they took (gaps longer than the line
// pausing within a reply left out): what the line carries, said once when it is too
// slow for the rate.
void CSerialSatelDevice::NoteLineByte()
{
    const double nowUs = ReadProgramClockUs();
    const double gapUs = nowUs - m_lastByteUs;
    m_replyGapUs = std::max(m_replyGapUs, gapUs);
    m_lastByteUs = nowUs;
    if (m_slowLineSaid || gapUs > kFlowGapUs) return;
    m_flowUs += gapUs;
    ++m_flowBytes;
    if (m_flowUs < kFlowWindowUs) return;
    const double rate = 1000.0 / m_period;
    const double carried = m_flowBytes / (m_flowUs / 1.0e6) / kSampleSize;
    m_flowUs = 0.0;
    m_flowBytes = 0;
    if (carried >= 0.9 * rate) return;
    m_slowLineSaid = true;
    g_messages.Post(Severity::Error,
                    TextHead() + wxString::Format(_("the line carries about %.0f samples a "
                                                    "second, fewer than the %.0f a second of this "
                                                    "rate; frames repeat the last values while "
                                                    "the replies fall behind\n"),
                                                  carried, rate));
}

CSerialSatelDevice::Reply CSerialSatelDevice::CloseSampleReply(size_t count, Ending ending)
{
    const size_t length = DecodeU16(m_reply.data() + 2);
    const int samples = SamplesIn(count, ending);
    m_replyFill = 0;
    m_inGarbage = false;
    // Learnt from whole replies: the ending from the first, the length rule from two
    // that agree (an empty reply of length 0 tells nothing).
    if (m_ending == Ending::Unknown) m_ending = ending;
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
    m_replySamples = samples;
    m_replyLone = ending == Ending::Lone;
    // No request waits: the board answered more than it was asked. The same bytes as an
    // earlier reply but not the last one taken: its samples are older than those taken.
    // The last reply's bytes again, asked for, are a still board's fresh values.
    const bool last = samples > 0 && m_lastTakenSize == count &&
                      std::memcmp(m_seen[m_lastTakenSeen].data(), m_reply.data(), count) == 0;
    bool copy = !last && samples > 0 && IsCopy(m_reply.data(), count);
    // A moving board's reply never comes again byte for byte.
    for (int j = 1; last && j < samples && !copy; ++j)
        copy = std::memcmp(m_reply.data() + kHeaderSize, m_reply.data() + kHeaderSize + j * kSampleSize,
                           kSampleSize) != 0;
    const size_t slot = m_seenNext;
    Remember(m_reply.data(), count);
    bool answers = !copy && IsRequestWaiting();
    if (!answers && !copy && !last && m_lastWasAgain && m_queuedTotal == m_againMark) {
        // More replies than requests, and the last one taken repeated the one before:
        // that one was the copy (it came as a request was sent), this is the answer. What
        // frames showed of the copy were repeats.
        const size_t queued = std::min(m_againSamples, m_queueCount);
        for (size_t i = 0; i < queued; ++i) {
            --m_queueCount;
            const size_t at = (m_queueHead + m_queueCount) % m_queue.size();
            m_skippedBeforeNext += m_queueGaps[at][0];
            m_lostBeforeNext += m_queueGaps[at][1];
        }
        if (IsRunning())
            m_repeatedFrames.fetch_add(static_cast<int64_t>(m_againSamples - queued));
        m_queuedTotal -= queued;
        m_repeatedReplies.fetch_add(1);
        m_lastWasAgain = false;
        answers = true;
    }
    if (samples == 0) {
        // Empty replies alike: two in a row may be one and its copy, told by a reply
        // that follows with no request left.
        m_replyAgain = answers && m_lastTakenEmpty;
        return answers ? Reply::Samples : Reply::Repeat;
    }
    if (!answers) {
        m_repeatedReplies.fetch_add(1);
        m_replySamples = 0;
        return Reply::Repeat;
    }
    m_replyAgain = last;
    m_lastTakenSeen = slot;
    m_lastTakenSize = count;
    return Reply::Samples;
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

// The rest of a reply longer than the largest read: read off (a frame that falls due
// meanwhile goes first), its samples counted lost. Ack: read off.
CSerialSatelDevice::Reply CSerialSatelDevice::ReadOffCut(uint32_t timeoutMs)
{
    const auto timeout = std::chrono::milliseconds(timeoutMs);
    const double yieldLeftUs = m_yieldAtUs - ReadProgramClockUs();
    const auto yieldAt = yieldLeftUs > 1.0e12 ? Clock::time_point::max()
                                              : Clock::now() + std::chrono::microseconds(
                                                                   static_cast<int64_t>(
                                                                       std::max(yieldLeftUs, 0.0)));
    for (;;) {
        uint8_t byte = 0;
        const bool yieldFirst = yieldAt < m_byteDeadline;
        const int got = ReadByteBefore(&byte, yieldFirst ? yieldAt : m_byteDeadline);
        if (got == -3) return Reply::Closing;
        if (got == 0 && yieldFirst && Clock::now() < m_byteDeadline) return Reply::Pending;
        bool done = got <= 0;
        if (got > 0) {
            m_byteDeadline = Clock::now() + timeout;
            ++m_cutRead;
            if (m_cutTotal > 0) {
                done = m_cutRead >= m_cutTotal;
            } else {
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
        }
        if (!done) continue;
        m_cutting = false;
        int64_t lost = m_cutLost;
        if (m_cutTotal > 0) {
            const size_t end = std::min(m_cutRead, m_cutTotal - EndingSize(m_ending));
            lost = static_cast<int64_t>((end - kHeaderSize) / kSampleSize) - m_cutLost;
        }
        lost = Bounded(lost);
        m_countedSince += lost;
        CountLost(lost);
        if (got < 0) return Reply::Vanished;
        return Reply::Ack;
    }
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
    size_t count = m_replyFill;
    m_replyFill = 0;
    m_replySamples = 0;
    const double yieldLeftUs = m_yieldAtUs - ReadProgramClockUs();
    const auto yieldAt = yieldLeftUs > 1.0e12 ? Clock::time_point::max()
                                              : Clock::now() + std::chrono::microseconds(
                                                                   static_cast<int64_t>(
                                                                       std::max(yieldLeftUs, 0.0)));
    size_t noise = 0;
    if (m_loneOpen && count == 0) {
        const Reply settled = SettleLone(Clock::time_point::max());
        if (settled != Reply::Ack) {
            m_awaiting = settled == Reply::Pending;
            return settled;
        }
    }
    // What a refused reply held: as many as its length says, else by its bytes; none for
    // a header that is no reply of this board.
    const auto refuseCount = [this](size_t bytes) -> int64_t {
        if (!m_headerPlausible) return 0;
        if (m_byLength >= 0) return m_byLength;
        return bytes >= kClosingSize
                   ? SamplesByBytes(bytes, m_reply.data() + bytes - kClosingSize)
                   : 0;
    };
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
        if (got == 0) {
            // (A refused reply's rest may still come after a pause: it ends at a header.)
            if (count == 0) return noise > 0 ? Reply::Noise : Reply::None;
            // A reply that stopped midway. Without a length, bytes that follow before the
            // next header are its rest, held up on the line: its samples are told by all
            // of them.
            if (count >= kHeaderSize && m_reply[4] == kSamples) {
                // One that closed with the board's block, a byte added or lost inside,
                // has no rest to come (a lone '*' may be a sample's byte).
                const size_t closing = kClosingSize;
                const bool ended = m_ending != Ending::Lone && count >= kHeaderSize + closing &&
                                   m_reply[count - 1] == kTerminator &&
                                   std::all_of(m_reply.begin() + static_cast<std::ptrdiff_t>(count - closing),
                                               m_reply.begin() + static_cast<std::ptrdiff_t>(count - 1),
                                               [](uint8_t b) { return b == 0; });
                if (m_byLength >= 0 || !m_headerPlausible || ended)
                    return Refuse(count, refuseCount(count));
                const Reply reply = Refuse(count, 0);
                if (!m_refusedCopy) StartRefuted(count);
                return reply;
            }
            // A header that stopped before its kind (a line held up) while a request
            // waits: its length, or the bytes that follow, tell its samples.
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
        if (got < 0) {
            // The samples of a reply the line took away with it are the board's.
            if (count > kHeaderSize && m_reply[4] == kSamples) {
                const int64_t lost = Bounded(refuseCount(count));
                m_countedSince += lost;
                CountLost(lost);
            }
            return Reply::Vanished;
        }
        m_byteDeadline = Clock::now() + timeout;
        m_reply[count++] = byte;
        if (count > 1 && (count <= kHeaderSize || m_reply[4] == kSamples)) {
            NoteLineByte();
        } else {
            m_lastByteUs = ReadProgramClockUs();
            m_firstByteUs = m_lastByteUs;
            m_replyGapUs = 0.0;
        }
        if ((count == 1 && byte != kHash) || (count == 2 && byte != kI)) {
            if (count == 2) NoteRefutedByte(kHash);
            if (byte != kHash) NoteRefutedByte(byte);
            NoteGarbage();
            count = byte == kHash ? 1 : 0;
            m_reply[0] = byte;
            if (++noise >= kMaxReply || (count == 0 && Waiting() == 0)) return Reply::Noise;
            continue;
        }
        if (count < kHeaderSize) continue;
        if (count == kHeaderSize) {
            if (!IsKind(m_reply[4])) {
                // No header: its '#' was noise, what follows is read again.
                NoteRefutedByte(kHash);
                NoteGarbage();
                ++noise;
                Unread(m_reply.data() + 1, kHeaderSize - 1);
                count = 0;
                continue;
            }
            if (m_refutedBytes > 0) EndRefuted();
            m_byLength = -1;
            m_lengthEnd = 0;
            m_headerPlausible = true;
            // Before the board showed how it counts, a length still says the reply is
            // no shorter than the least it can mean: no '*' closes it before.
            const size_t length = DecodeU16(m_reply.data() + 2);
            m_minEnd = m_lengthRule == LengthRule::Unknown && length > 0 ? kHeaderSize - 1 + length : 0;
            if (m_reply[4] == kSamples) {
                const int64_t byLength = SamplesByLength();
                m_headerPlausible = byLength != -2;
                if (byLength >= 0) {
                    m_byLength = byLength;
                    m_lengthEnd = LengthEnd(DecodeU16(m_reply.data() + 2), m_lengthRule, m_ending);
                }
            }
        }
        if (m_reply[4] != kSamples) {
            if (count > kHeaderSize && byte == kTerminator) {
                m_inGarbage = false;
                return Reply::Ack;
            }
            if (count >= kMaxAckSize) return Refuse(count, 0);
            continue;
        }
        if (m_lengthEnd > 0) {
            // The board's length ends it: its ending must stand there.
            if (count < m_lengthEnd && count < kMaxReply) continue;
            if (count == m_lengthEnd) {
                if (CanClose(count, m_ending)) return CloseSampleReply(count, m_ending);
                // A byte lost or added, or noise inside: read on to its end or the
                // next header, its samples those its length says.
                m_lengthEnd = 0;
                continue;
            }
        } else if (byte == kTerminator && count >= m_minEnd) {
            for (Ending ending : {Ending::Block, Ending::Lone}) {
                if ((m_ending != Ending::Unknown && ending != m_ending) || !CanClose(count, ending))
                    continue;
                // Where the length failed, or the header is none of this board's, the
                // ending only tells where the refused bytes end.
                if (m_byLength >= 0 || !m_headerPlausible) return Refuse(count, refuseCount(count));
                // Before the board's ending is known, a '*' first in a sample of a board
                // that ends with a block: more follows at once.
                if (ending == Ending::Lone && m_ending == Ending::Unknown && LoneFollowed(count))
                    continue;
                return CloseSampleReply(count, ending);
            }
        }
        if (count >= 2 * kHeaderSize && IsHeader(m_reply.data() + count - kHeaderSize)) {
            // The next reply: this one stopped before its ending. Far short of the least
            // its length can mean, it was noise that looked like a header.
            Unread(m_reply.data() + count - kHeaderSize, kHeaderSize);
            // So was it where no more than one request waits: two replies cannot answer it.
            if (count - kHeaderSize + kNoiseRoom < m_minEnd || m_requestCount + m_expiredRequests <= 1)
                m_headerPlausible = false;
            return Refuse(count - kHeaderSize, refuseCount(count - kHeaderSize));
        }
        if (count >= kMaxReply) {
            // Longer than the largest read: its whole samples are taken, its rest read
            // off and counted lost.
            m_cutReplies.fetch_add(1);
            m_replyLone = false;
            m_replySamples = static_cast<int>((count - kHeaderSize) / kSampleSize);
            m_cutting = true;
            m_cutRead = count;
            m_cutTotal = m_lengthEnd;
            m_cutInGroup = (count - kHeaderSize) % kSampleSize;
            std::memcpy(m_cutGroup.data(), m_reply.data() + count - m_cutInGroup, m_cutInGroup);
            m_cutLost = m_cutTotal > 0 ? static_cast<int64_t>(m_replySamples) : 0;
            m_inGarbage = false;
            if (!IsRequestWaiting()) {
                m_replySamples = 0;
                return Reply::Repeat;
            }
            return Reply::Samples;
        }
    }
}

void CSerialSatelDevice::NoteGarbage()
{
    if (m_inGarbage) return;
    m_inGarbage = true;
    m_damagedReplies.fetch_add(1);
}

void CSerialSatelDevice::NoteRequest(double sentUs)
{
    if (m_refutedBytes > 0 && m_refutedBase >= 0) EndRefuted();
    if (m_requestCount == kRequestRing) {
        m_requestHead = (m_requestHead + 1) % kRequestRing;
        --m_requestCount;
    }
    m_requestUs[(m_requestHead + m_requestCount) % kRequestRing] = sentUs;
    ++m_requestCount;
}

bool CSerialSatelDevice::IsRequestWaiting()
{
    // A request unanswered for this long (the board let it pass) waits no more. Judged
    // when the reply began: a long reply on a slow line, or a device held up while
    // reading it, still answers the request it began to answer.
    const double liveUs = (std::max(4.0 * m_replyTimeoutMs, 500.0) + 2000.0) * 1000.0;
    const double nowUs = std::min(ReadProgramClockUs(), m_firstByteUs);
    while (m_requestCount > 0 && nowUs - m_requestUs[m_requestHead] >= liveUs) {
        m_requestHead = (m_requestHead + 1) % kRequestRing;
        --m_requestCount;
        m_expiredRequests = std::min(m_expiredRequests + 1, kRequestRing);
    }
    // Replies come in order: one after all that wait was answered may be that of a
    // request given up on behind a backlog (a slow line, a held-up device).
    return m_requestCount > 0 || m_expiredRequests > 0;
}

void CSerialSatelDevice::NoteAnswered()
{
    // The bound reaches back a reply more: a reply may answer an older request than
    // the one the last reply was taken for (one that waited on, or was flushed).
    m_boundFromUs = m_lastAnsweredUs;
    m_countedSince = 0;
    if (m_requestCount == 0 && m_expiredRequests > 0) --m_expiredRequests;
    if (m_requestCount == 0) {
        // A request that was flushed: the reply holds at most what came since now.
        if (m_lastAnsweredUs <= 0.0) m_lastAnsweredUs = ReadProgramClockUs();
        return;
    }
    m_lastAnsweredUs = m_requestUs[m_requestHead];
    m_requestHead = (m_requestHead + 1) % kRequestRing;
    --m_requestCount;
}

CSerialSatelDevice::Reply CSerialSatelDevice::SettlePartialReply()
{
    if (m_replyFill == 0 && !m_awaiting && !m_cutting) return Reply::Ack;
    return ReadOneReply(m_replyTimeoutMs);
}

CSerialSatelDevice::Reply CSerialSatelDevice::TakeWaitingReplies()
{
    bool took = false;
    for (int i = 0; i < kMaxRepliesAtOnce && Waiting() > 0; ++i) {
        const Reply reply = ReadOneReply(m_replyTimeoutMs);
        if (reply == Reply::Samples) {
            TakeReply(true);
            took = true;
        } else if (reply == Reply::None || reply == Reply::Vanished || reply == Reply::Closing ||
                   reply == Reply::Pending) {
            return reply;
        }
    }
    return took ? Reply::Samples : Reply::Ack;
}

bool CSerialSatelDevice::AwaitAck(uint8_t command, uint32_t timeoutMs)
{
    if (timeoutMs == 0) timeoutMs = m_configTimeoutMs;
    for (int i = 0; i < kMaxRepliesAtOnce; ++i) {
        // The rest of a cut reply read off ends as an acknowledgement does, but it is
        // the board's samples: the replies after it answer requests and come before
        // this command's acknowledgement.
        const bool cutRest = m_cutting;
        switch (ReadOneReply(timeoutMs)) {
            case Reply::Ack:
                // Another command's acknowledgement came late: this one's follows.
                if (cutRest) break;
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
            case Reply::Pending:
            case Reply::Closing:
                return false;
        }
    }
    return false;
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
        QueueSample(values);
        ++m_takenSamples;
    }
    m_countedSince += m_replySamples;
    // An empty one too where no length says it is empty: a '*' added after its header
    // may have closed it.
    if (m_replyLone && (m_replySamples > 0 || m_byLength < 0)) {
        m_loneOpen = true;
        m_unconfirmed = static_cast<size_t>(m_replySamples);
        m_unconfirmedByLength = m_byLength;
        m_unconfirmedGapUs = LinePauseUs();
    }
    m_replyLone = false;
    m_lastWasAgain = m_replyAgain;
    m_lastTakenEmpty = m_replySamples == 0;
    m_againSamples = static_cast<size_t>(m_replySamples);
    m_againMark = m_queuedTotal;
    m_replyAgain = false;
}

void CSerialSatelDevice::CountLost(int64_t samples)
{
    if (samples > 0 && IsRunning()) m_lostBeforeNext += samples;
}
