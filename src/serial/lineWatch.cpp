#include "serial/lineWatch.h"

#include <wx/translation.h>

#include <algorithm>

CLineWatch::CLineWatch(int failuresToLose, std::chrono::milliseconds reopenInterval)
    : m_failuresToLose(std::max(1, failuresToLose)), m_reopenInterval(reopenInterval)
{
}

CLineWatch::Change CLineWatch::Failed(bool vanished)
{
    if (m_lost.load()) return Change::None;
    m_failures = vanished ? m_failuresToLose : m_failures + 1;
    if (m_failures < m_failuresToLose) return Change::None;
    m_lost.store(true);
    m_lostCount.fetch_add(1);
    // Reads that timed out on a port still there (a stall, a burst of noise) are often
    // over by now: the first attempt comes at once. A vanished adapter needs a moment
    // to come back: its first attempt waits an interval.
    m_lostAt = Clock::now();
    m_nextReopen = vanished ? m_lostAt + NextInterval(m_lostAt) : m_lostAt;
    return Change::Lost;
}

CLineWatch::Change CLineWatch::Succeeded()
{
    m_failures = 0;
    if (!m_lost.load()) return Change::None;
    m_lost.store(false);
    return Change::Back;
}

void CLineWatch::Reset()
{
    m_failures = 0;
    m_lost.store(false);
}

bool CLineWatch::IsReopenDue()
{
    if (!m_lost.load()) return false;
    const Clock::time_point now = Clock::now();
    if (now < m_nextReopen) return false;
    m_nextReopen = now + NextInterval(now);
    return true;
}

void CLineWatch::ReopenTried()
{
    const Clock::time_point now = Clock::now();
    m_nextReopen = now + NextInterval(now);
}

std::chrono::milliseconds CLineWatch::NextInterval(Clock::time_point now) const
{
    if (m_quickInterval.count() > 0 && now - m_lostAt < m_quickSpan)
        return std::min(m_quickInterval, m_reopenInterval);
    return m_reopenInterval;
}

wxString CLineWatch::LostText(const wxString& tag, const wxString& device, const wxString& port,
                              int64_t frame)
{
    if (frame < 0)
        return tag + wxString::Format(_("%s: %s does not answer; trying to reopen it every "
                                        "%d s\n"),
                                      device, port, static_cast<int>(kReopenInterval.count() / 1000));
    return tag + wxString::Format(_("%s: %s does not answer from frame %lld on; the frames "
                                    "repeat the last values until it is back\n"),
                                  device, port, static_cast<long long>(frame));
}

wxString CLineWatch::BackText(const wxString& tag, const wxString& device, const wxString& port,
                              int64_t fromFrame, int64_t frame)
{
    if (frame < 0) return tag + wxString::Format(_("%s: %s answers again\n"), device, port);
    if (frame <= fromFrame)
        return tag + wxString::Format(_("%s: %s answers again at frame %lld\n"), device, port,
                                      static_cast<long long>(frame));
    return tag + wxString::Format(_("%s: %s answers again at frame %lld; frames %lld to %lld "
                                    "hold the last values read before\n"),
                                  device, port, static_cast<long long>(frame),
                                  static_cast<long long>(fromFrame),
                                  static_cast<long long>(frame - 1));
}
