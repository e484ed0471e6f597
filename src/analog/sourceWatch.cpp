#include "analog/sourceWatch.h"

#include <wx/translation.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

constexpr uint8_t kRunNever = 1;
constexpr uint8_t kRunSilent = 2;
// Sources named in one text; the others are counted.
constexpr int kNamesShown = 8;

}  // namespace

CSourceWatch::CSourceWatch()
{
    for (auto& lost : m_lostAt) lost.store(-1);
    for (auto& state : m_state) state.store(SourceState::kNever);
}

void CSourceWatch::Configure(SourceKind kind, int firstNumber, double silentAfterSec)
{
    m_kind = kind;
    m_firstNumber = firstNumber;
    SetSilentAfter(silentAfterSec);
}

void CSourceWatch::Resize(int count)
{
    count = std::clamp(count, 0, kMaxSources);
    const int old = m_count.load();
    // A source that comes (back) into the row holds no value received yet. The heard
    // counts only grow, so the dispatching thread's last look at them stays valid.
    for (int i = old; i < count; ++i) {
        m_state[static_cast<size_t>(i)].store(SourceState::kNever);
        m_lostAt[static_cast<size_t>(i)].store(-1);
        m_latched[static_cast<size_t>(i)].store(m_heard[static_cast<size_t>(i)].load());
    }
    if (count != old) m_changes.fetch_add(1);
    m_count.store(count);
}

void CSourceWatch::Latch()
{
    const int count = m_count.load(std::memory_order_relaxed);
    for (int i = 0; i < count; ++i)
        m_latched[static_cast<size_t>(i)].store(
            m_heard[static_cast<size_t>(i)].load(std::memory_order_acquire),
            std::memory_order_release);
    m_isLatching.store(true, std::memory_order_release);
}

SourceState CSourceWatch::State(int source) const
{
    if (source < 0 || source >= m_count.load()) return SourceState::kLive;
    return m_state[static_cast<size_t>(source)].load(std::memory_order_relaxed);
}

void CSourceWatch::Push(int source, SourceState state, int64_t frame)
{
    if (m_eventCount >= kMaxSources) return;
    m_events[static_cast<size_t>(m_eventCount++)] = Event{source, state, frame};
}

void CSourceWatch::Note(int source, SourceState state, int64_t frame)
{
    if (m_silentUnsaid + m_backUnsaid == 0) m_firstUnsaid = Event{source, state, frame};
    if (state == SourceState::kLive)
        ++m_backUnsaid;
    else
        ++m_silentUnsaid;
    m_note.Count(CRepeatNote::Clock::now());
}

// A source is heard when its count moved since the last look; a loss stands until
// something is heard after it.
int CSourceWatch::Update(int64_t frame, double nowUs, bool isRecording)
{
    m_eventCount = 0;
    const int count = m_count.load(std::memory_order_acquire);
    const bool isLatching = m_isLatching.load(std::memory_order_acquire);
    const double silentAfterUs = m_silentAfterUs.load(std::memory_order_relaxed);
    const bool isRunStart = isRecording && !m_runMarked.exchange(true);
    int unreceived = 0;
    for (int i = 0; i < count; ++i) {
        const auto at = static_cast<size_t>(i);
        const uint32_t heard =
            (isLatching ? m_latched[at] : m_heard[at]).load(std::memory_order_acquire);
        // Read-modify-write only when a loss waits: the common frame stays loads only.
        int64_t lostAt = m_lostAt[at].load(std::memory_order_acquire);
        if (lostAt >= 0 && !m_lostAt[at].compare_exchange_strong(lostAt, -1)) lostAt = -1;
        const SourceState state = m_state[at].load(std::memory_order_relaxed);
        SourceState next = state;
        if (heard != m_seen[at]) {
            m_seen[at] = heard;
            m_lastHeardUs[at] = nowUs;
            next = SourceState::kLive;
        }
        if (lostAt >= 0 && static_cast<uint32_t>(lostAt) == heard && state != SourceState::kNever)
            next = SourceState::kSilent;
        else if (next == SourceState::kLive && std::isfinite(silentAfterUs) && !m_isUntimed[at] &&
                 nowUs - m_lastHeardUs[at] > silentAfterUs)
            next = SourceState::kSilent;
        bool isPushed = false;
        if (next != state) {
            m_state[at].store(next, std::memory_order_relaxed);
            m_changes.fetch_add(1, std::memory_order_relaxed);
            // A source first received closes the interval a run marked, nothing else.
            const bool isNews = state != SourceState::kNever || m_runFlags[at].load() != 0;
            if (isNews) Note(i, next, frame);
            if (isRecording && (isNews || next != SourceState::kLive) && !isRunStart) {
                Push(i, next, frame);
                isPushed = true;
            }
        }
        if (next == SourceState::kLive) continue;
        ++unreceived;
        if (isRunStart && !isPushed) Push(i, next, frame);
    }
    if (isRunStart && unreceived > 0) Note(-1, SourceState::kNever, frame);
    m_unreceived = unreceived;
    return unreceived;
}

void CSourceWatch::CountRecordedFrame(bool isCounted)
{
    if (m_unreceived <= 0) return;
    if (isCounted) m_runFrames.fetch_add(1, std::memory_order_relaxed);
    const int count = m_count.load(std::memory_order_relaxed);
    for (int i = 0; i < count; ++i) {
        const SourceState state = m_state[static_cast<size_t>(i)].load(std::memory_order_relaxed);
        if (state == SourceState::kLive) continue;
        m_runFlags[static_cast<size_t>(i)].fetch_or(
            state == SourceState::kNever ? kRunNever : kRunSilent, std::memory_order_relaxed);
    }
}

void CSourceWatch::StartRun()
{
    m_runFrames.store(0);
    for (auto& flags : m_runFlags) flags.store(0);
    m_runMarked = false;
}

wxString CSourceWatch::SourceName(int source) const
{
    const char* kind = "channel";
    switch (m_kind) {
        case SourceKind::kSensor:
            kind = "sensor";
            break;
        case SourceKind::kBird:
            kind = "bird";
            break;
        case SourceKind::kBoard:
            kind = "board";
            break;
        case SourceKind::kWiiDevice:
            kind = "Wii device";
            break;
        case SourceKind::kChannel:
            break;
    }
    const int number =
        source >= 0 && source < kMaxSources ? m_numbers[static_cast<size_t>(source)] : 0;
    return wxString::Format("%s %d", kind, number != 0 ? number : m_firstNumber + source);
}

wxString CSourceWatch::RunSummary(int64_t recordedFrames) const
{
    const int64_t frames = m_runFrames.load();
    if (frames <= 0) return wxString();
    wxString names;
    int shown = 0;
    int more = 0;
    for (int i = 0; i < kMaxSources; ++i) {
        const uint8_t flags = m_runFlags[static_cast<size_t>(i)].load();
        if (flags == 0) continue;
        if (shown == kNamesShown) {
            ++more;
            continue;
        }
        if (shown++ > 0) names += ", ";
        names += SourceName(i) + ((flags & kRunSilent) != 0 ? _(" silent") : _(" never received"));
    }
    if (more > 0) names += wxString::Format(_(" and %d more"), more);
    return wxString::Format(_("%lld of %lld frames hold values not received (%s)"),
                            static_cast<long long>(frames),
                            static_cast<long long>(std::max(recordedFrames, frames)), names);
}

wxString CSourceWatch::DescribeNow() const
{
    wxString names;
    int shown = 0;
    int more = 0;
    const int count = m_count.load();
    for (int i = 0; i < count; ++i) {
        const SourceState state = m_state[static_cast<size_t>(i)].load();
        if (state == SourceState::kLive) continue;
        if (shown == kNamesShown) {
            ++more;
            continue;
        }
        if (shown++ > 0) names += ", ";
        names +=
            SourceName(i) + (state == SourceState::kSilent ? _(" silent") : _(" never received"));
    }
    if (shown == 0) return _("every source received");
    if (more > 0) names += wxString::Format(_(" and %d more"), more);
    return _("not received now: ") + names;
}

wxString CSourceWatch::TakeNote(CRepeatNote::Clock::time_point now)
{
    if (!m_note.IsDue(now)) return wxString();
    m_note.TakeUnsaid(now);
    const Event first = m_firstUnsaid;
    const uint64_t silent = std::exchange(m_silentUnsaid, 0);
    const uint64_t back = std::exchange(m_backUnsaid, 0);
    const auto frame = static_cast<long long>(first.frame);
    wxString text;
    if (first.source < 0)
        text = wxString::Format(_("the recording starts at frame %lld with values not received"),
                                frame);
    else if (first.state == SourceState::kSilent)
        text = wxString::Format(_("%s silent from frame %lld (its frames hold its last values)"),
                                SourceName(first.source), frame);
    else if (first.state == SourceState::kLive)
        text = wxString::Format(_("%s back at frame %lld"), SourceName(first.source), frame);
    else
        text =
            wxString::Format(_("%s not received from frame %lld"), SourceName(first.source), frame);
    if (silent + back > 1)
        text += wxString::Format(_("; since the last note %llu went silent and %llu came back"),
                                 static_cast<unsigned long long>(silent),
                                 static_cast<unsigned long long>(back));
    if (silent + back > 1 || first.source < 0) text += "; " + DescribeNow();
    return text;
}
