// Line I/O of the SATEL board: bytes read ahead and read again, the requests that
// wait for a reply, replies that wait on the line, and how fast the line carries them.
#include "satel/satel_device.h"

#include "satel/satel_bytes.h"
#include "process/messageQueue.h"

#include <wx/translation.h>

#include <algorithm>
#include <chrono>
#include <cstring>

using namespace satel;

namespace {

using Clock = std::chrono::steady_clock;

// Reads wait in slices this short, so that closing never waits for a reply.
constexpr int64_t kReadSliceMs = 50;
// Replies taken in one step, or while one acknowledgement is awaited, at most.
constexpr int kMaxRepliesAtOnce = 64;
// One read of the line takes at most this many bytes.
constexpr size_t kInputRoom = 256;
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
            // A byte read again keeps the read that brought it, unless noted already.
            m_byteRead = m_unreadLeft > 0 ? m_inputReads[m_inputHead] : m_readCount;
            *byte = m_input[m_inputHead++];
            if (m_unreadLeft > 0) --m_unreadLeft;
            m_takenReads[m_takenCount++ % m_takenReads.size()] = m_byteRead;
            return 1;
        }
        // Past the deadline (the thread may have been held up) what came by now still
        // counts.
        const int64_t leftUs =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
        const int64_t waitMs = leftUs <= 0 ? 0 : std::min((leftUs + 999) / 1000, kReadSliceMs);
        // Bytes that waited on the line came after it was last seen empty, or after the
        // read before.
        const bool backlog = m_port.Available() > 0;
        if (!backlog) m_lineMeasure.NoteEmpty(ReadProgramClockUs());
        const int got = m_port.ReadAvailable(m_input.data(), static_cast<uint32_t>(kInputRoom),
                                             static_cast<uint32_t>(waitMs));
        if (got < 0) return -2;
        if (got == 0) m_lineMeasure.NoteEmpty(ReadProgramClockUs());
        if (got > 0) {
            m_inputHead = 0;
            m_inputCount = static_cast<size_t>(got);
            m_unreadLeft = 0;
            m_readCount = m_lineMeasure.NoteRead(ReadProgramClockUs(), m_inputCount, backlog,
                                                 m_inputCount == kInputRoom);
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
    // They are the last bytes taken: each keeps its read (0 once noted, or unknown).
    std::memmove(m_inputReads.data() + count, m_inputReads.data() + m_inputHead,
                 std::min(m_unreadLeft, left) * sizeof(m_inputReads[0]));
    const size_t known = std::min({count, m_takenCount, m_takenReads.size()});
    for (size_t i = 0; i < count; ++i) {
        const size_t back = count - i;
        m_inputReads[i] =
            back <= known ? m_takenReads[(m_takenCount - back) % m_takenReads.size()] : 0;
    }
    m_takenCount -= std::min(count, m_takenCount);
    m_inputHead = 0;
    m_inputCount = left + count;
    m_unreadLeft = std::min(m_unreadLeft + count, m_inputCount);
}

void CSerialSatelDevice::ForgetReply()
{
    if (m_refutedBytes > 0) EndRefuted();
    m_stoppedHeader = false;
    m_tookAhead = false;
    // A reply closed by a lone '*' that nothing followed on this line: its samples are
    // lost, not shown (its last byte may have gone with the line).
    if (m_loneOpen) {
        m_loneAsked = true;
        RefuteLone(false);
    }
    m_replyFill = 0;
    m_awaiting = false;
    m_cutting = false;
    m_inputHead = m_inputCount = 0;
    m_unreadLeft = 0;
    m_inGarbage = false;
    m_requestCount = 0;  // their replies, if any, are gone with the rest
    m_expiredRequests = m_expiredMissed = 0;
    m_setUpCount = 0;
}

// The first byte of a reply: the time before its read was the board's.
void CSerialSatelDevice::NoteReplyStart()
{
    m_lastByteUs = ReadProgramClockUs();
    m_firstByteUs = m_lastByteUs;
    m_replyGapUs = 0.0;
    m_lineMeasure.NoteReplyStart(m_byteRead);
    NotedTaken();
}

void CSerialSatelDevice::NotedTaken()
{
    if (m_takenCount > 0) m_takenReads[(m_takenCount - 1) % m_takenReads.size()] = 0;
}

// A byte of a reply after its first: the longest pause inside it, and what the line
// carries, said once when that is too slow for the rate.
void CSerialSatelDevice::NoteLineByte(size_t count)
{
    const double nowUs = ReadProgramClockUs();
    m_replyGapUs = std::max(m_replyGapUs, nowUs - m_lastByteUs);
    m_lastByteUs = nowUs;
    NotedTaken();
    if (!m_lineMeasure.NoteReplyByte(m_byteRead, count)) return;
    g_messages.Post(Severity::Error,
                    TextHead() + wxString::Format(_("the line carries about %.0f samples a "
                                                    "second, fewer than the %.0f a second of this "
                                                    "rate; frames repeat the last values while "
                                                    "the replies fall behind\n"),
                                                  m_lineMeasure.Carried(), m_lineMeasure.Rate()));
}

void CSerialSatelDevice::NoteRequest(double sentUs)
{
    // A board that gives no length may send a refuted reply's rest later still, stalled:
    // it ends at the next header. What comes once this request went may be junk too.
    if (m_refutedBytes > 0 && m_refutedBase >= 0 && !RestToHeader()) EndRefuted();
    if (m_refutedBytes > 0 && m_refutedBase >= 0 && !m_refutedAsked) {
        m_refutedAsked = true;
        m_refutedAskedRest = m_refutedStarRest;
    }
    if (m_requestCount == kRequestRing) {
        m_requestHead = (m_requestHead + 1) % kRequestRing;
        --m_requestCount;
    }
    m_requestUs[(m_requestHead + m_requestCount) % kRequestRing] = sentUs;
    m_requestMissed[(m_requestHead + m_requestCount) % kRequestRing] = false;
    ++m_requestCount;
    ++m_requestsNoted;
    m_noiseAwaiting = 0;
}

void CSerialSatelDevice::NoteSetUpSent()
{
    const size_t last = (m_setUpHead + m_setUpCount + kSetUpRing - 1) % kSetUpRing;
    if (m_setUpCount > 0 && m_setUpAfter[last] == m_requestsNoted) {
        ++m_setUpRun[last];
        return;
    }
    // The oldest, never acknowledged (the line dropped them), go first.
    if (m_setUpCount == kSetUpRing) {
        m_setUpHead = (m_setUpHead + 1) % kSetUpRing;
        --m_setUpCount;
    }
    const size_t at = (m_setUpHead + m_setUpCount) % kSetUpRing;
    m_setUpAfter[at] = m_requestsNoted;
    m_setUpRun[at] = 1;
    ++m_setUpCount;
}

void CSerialSatelDevice::NoteSetUpAnswered()
{
    if (m_setUpCount == 0) return;
    // It answers the oldest step waiting: requests sent after that one, before a set-up
    // tried again since, still wait for their replies (a board held up answers them
    // late, in order).
    const uint64_t before = m_setUpAfter[m_setUpHead];
    if (--m_setUpRun[m_setUpHead] == 0) {
        m_setUpHead = (m_setUpHead + 1) % kSetUpRing;
        --m_setUpCount;
    }
    // Those given up on came before the ones that wait.
    const uint64_t first = m_requestsNoted - m_requestCount;
    if (before < first) {
        m_expiredRequests = std::min<size_t>(m_expiredRequests, first - before);
        m_expiredMissed = std::min(m_expiredMissed, m_expiredRequests);
        return;
    }
    m_expiredRequests = m_expiredMissed = 0;
    const size_t dropped = static_cast<size_t>(std::min<uint64_t>(m_requestCount, before - first));
    m_requestHead = (m_requestHead + dropped) % kRequestRing;
    m_requestCount -= dropped;
}

bool CSerialSatelDevice::IsRequestWaiting()
{
    // A request unanswered for this long (the board let it pass) waits no more. Judged
    // when the reply began: a long reply on a slow line, or a device held up while
    // reading it, still answers the request it began to answer.
    const double liveUs = (std::max(4.0 * m_replyTimeoutMs, 500.0) + 2000.0) * 1000.0;
    const double nowUs = std::min(ReadProgramClockUs(), m_firstByteUs);
    while (m_requestCount > 0 && nowUs - m_requestUs[m_requestHead] >= liveUs) {
        if (m_requestMissed[m_requestHead])
            m_expiredMissed = std::min(m_expiredMissed + 1, kRequestRing);
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
    m_tookAhead = false;  // a reply took a request: the one before took its own
    m_answeredMissed = false;
    if (m_requestCount == 0 && m_expiredRequests > 0) {
        --m_expiredRequests;
        m_answeredMissed = m_expiredMissed > 0;
        if (m_expiredMissed > 0) --m_expiredMissed;
    }
    if (m_requestCount == 0) {
        // A request that was flushed: the reply holds at most what came since now.
        if (m_lastAnsweredUs <= 0.0) m_lastAnsweredUs = ReadProgramClockUs();
        return;
    }
    m_lastAnsweredUs = m_requestUs[m_requestHead];
    m_answeredMissed = m_requestMissed[m_requestHead];
    // Set-ups sent before this request were answered, or dropped by the line, by now.
    const uint64_t answered = m_requestsNoted - m_requestCount;
    while (m_setUpCount > 0 && m_setUpAfter[m_setUpHead] <= answered) {
        m_setUpHead = (m_setUpHead + 1) % kSetUpRing;
        --m_setUpCount;
    }
    m_requestHead = (m_requestHead + 1) % kRequestRing;
    --m_requestCount;
}

void CSerialSatelDevice::NoteMissed()
{
    m_missedReplies.fetch_add(1);
    if (m_requestCount > 0)
        m_requestMissed[(m_requestHead + m_requestCount - 1) % kRequestRing] = true;
}

CSerialSatelDevice::Reply CSerialSatelDevice::SettlePartialReply()
{
    if (m_replyFill == 0 && !m_awaiting && !m_cutting) return Reply::Ack;
    return ReadAnswer(m_replyTimeoutMs);
}

// Noise before an awaited reply is no missed reply: on a slow line a burst comes a byte
// at a time, each within the time-out, and the reply follows it. The reply is awaited as
// long as bytes keep coming (the frames that fall due go first); only a line that goes
// quiet, or noise longer than any reply, ends the wait.
CSerialSatelDevice::Reply CSerialSatelDevice::ReadAnswer(uint32_t timeoutMs)
{
    const bool awaited = m_replyFill == 0 && !m_cutting && (m_awaiting || IsRequestWaiting());
    Reply reply = ReadOneReply(timeoutMs);
    if (!awaited) return reply;
    const auto yieldAt = YieldPoint();
    while (reply == Reply::Noise && ++m_noiseAwaiting < kLongestNoise) {
        m_awaiting = true;  // the last byte set the deadline of the next
        if (Clock::now() >= yieldAt) return Reply::Pending;
        reply = ReadOneReply(timeoutMs);
    }
    return reply;
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
