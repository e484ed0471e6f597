#pragma once

// Counts one kind of event that may come in floods (refused input, connections) and
// says when to tell the user: the first at once, then at most once per interval with
// what came since, and whatever is left when its owner stops.
// Threads: one at a time; its owner serialises every call.

#include <chrono>
#include <cstdint>

class CRepeatNote {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kDefaultInterval{5};

    explicit CRepeatNote(Clock::duration interval = kDefaultInterval) : m_interval(interval) {}

    // Counts events; true when they are to be said now (then TakeUnsaid).
    bool Count(Clock::time_point now, uint64_t count = 1)
    {
        m_total += count;
        m_unsaid += count;
        return IsDue(now);
    }
    // Events wait to be said and the interval since the last note has passed.
    bool IsDue(Clock::time_point now) const
    {
        return m_unsaid > 0 && (!m_hasSaid || now - m_saidAt >= m_interval);
    }
    // The events counted since the last note, now said.
    uint64_t TakeUnsaid(Clock::time_point now)
    {
        const uint64_t unsaid = m_unsaid;
        m_unsaid = 0;
        m_hasSaid = true;
        m_saidAt = now;
        return unsaid;
    }
    uint64_t Unsaid() const { return m_unsaid; }
    // Before the first event (a test that wants every note, or none after the first).
    void SetInterval(Clock::duration interval) { m_interval = interval; }
    uint64_t Total() const { return m_total; }

private:
    Clock::duration m_interval;
    uint64_t m_total = 0;
    uint64_t m_unsaid = 0;
    bool m_hasSaid = false;
    Clock::time_point m_saidAt;
};
