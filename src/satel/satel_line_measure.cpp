// How fast a SATEL board's line carries its sample replies, told from what the reads of
// the line brought and the frames that fell due while a long reply was on its way.
#include "satel/satel_line_measure.h"

#include <algorithm>

namespace {

// A wait on an empty line longer than this inside a reply is the board pausing (a
// stall), none of the line's speed.
constexpr double kPauseUs = 50000.0;
// Replies up to this long tell nothing of the line: a board may send a short one a
// byte at a time.
constexpr size_t kShortReply = 64;
// A line that carries less than this share of the rate is too slow. Bytes that came at
// no known time are left out with their time, so the line seems faster, if anything.
constexpr double kSlowShare = 0.9;

}  // namespace

void CSatelLineMeasure::NoteEmpty(double nowUs)
{
    m_emptyUs = nowUs;
    m_untimed = false;
}

uint32_t CSatelLineMeasure::NoteRead(double nowUs, size_t bytes, bool backlog, bool full)
{
    if (++m_readCount == 0) m_readCount = 1;
    // The bytes came since the line was last found empty or read. A long wait for them
    // is the line's time if it brought about what the line carried in that time so far
    // (a reader held up, or one that woke late, while the line went on); far fewer: the
    // board paused meanwhile, whether the reader waited on the line or was held up.
    // Before the line showed its pace a long wait tells nothing.
    const double gapUs = nowUs - std::max(m_readUs, m_emptyUs);
    m_readUs = nowUs;
    const double pace = static_cast<double>(m_flowBytes) / std::max(m_flowUs, 1.0);
    const bool paused = gapUs > kPauseUs && (m_flowUs < kPauseUs ||
                                             static_cast<double>(bytes) < 0.5 * pace * gapUs);
    // Behind a read that took all its room, bytes came at no known time until the
    // line is found empty again.
    m_untimed = paused || full || (backlog && m_untimed);
    m_readGaps[m_readCount % kReadsKept] = m_untimed ? -1.0 : gapUs;
    return m_readCount;
}

void CSatelLineMeasure::NoteReplyStart(uint32_t read)
{
    // The reply before ended with the read that was pending: the line may have been idle
    // after its last bytes.
    m_pendingBytes = 0;
    m_pendingAll = 0;
    m_pendingRead = read;
    m_pendingUs = GapOf(read) >= 0.0 ? 0.0 : -1.0;
}

double CSatelLineMeasure::GapOf(uint32_t read) const
{
    if (read == 0 || m_readCount - read >= kReadsKept) return -1.0;
    return m_readGaps[read % kReadsKept];
}

void CSatelLineMeasure::CommitPending()
{
    // The read's time carried all its bytes of the reply: only the long reply's share of
    // it goes with the bytes counted (a reader held up while a paced reply began would
    // else count the whole wait for a few bytes past the short part).
    if (m_pendingBytes > 0 && m_pendingUs >= 0.0) {
        m_flowUs +=
            m_pendingUs * static_cast<double>(m_pendingBytes) / static_cast<double>(m_pendingAll);
        m_flowBytes += m_pendingBytes;
    }
    m_pendingBytes = 0;
    m_pendingAll = 0;
    m_pendingUs = -1.0;
}

bool CSatelLineMeasure::NoteReplyByte(uint32_t read, size_t count)
{
    if (m_slow || read == 0) return false;
    if (read != m_pendingRead) {
        // More of the same reply came: the line was busy through the read before.
        CommitPending();
        m_pendingRead = read;
        m_pendingUs = GapOf(read);
    }
    ++m_pendingAll;
    if (count > kShortReply) ++m_pendingBytes;
    if (m_flowUs < m_judgeAtUs) return false;
    m_judgeAtUs = m_flowUs + kWindowUs;
    // Each frame due takes one sample's bytes. Slow only where two windows in a row
    // carried fewer than the rate: a pause of the board that one read took in tells
    // nothing of the line. The figure is over both.
    const auto carried = [this](double us, int64_t bytes) {
        return Rate() * static_cast<double>(bytes) * m_periodUs / (kSampleSize * us);
    };
    const double limit = kSlowShare * Rate();
    const bool slow = carried(m_flowUs - m_windowUs, m_flowBytes - m_windowBytes) < limit;
    const double pair = carried(m_flowUs - m_pairUs, m_flowBytes - m_pairBytes);
    const bool said = slow && m_windowSlow && pair < limit;
    m_pairUs = m_windowUs;
    m_pairBytes = m_windowBytes;
    m_windowUs = m_flowUs;
    m_windowBytes = m_flowBytes;
    m_windowSlow = slow;
    if (!said) return false;
    m_slow = true;
    m_carried = pair;
    return true;
}
