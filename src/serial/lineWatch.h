#pragma once

#include <wx/string.h>

#include <atomic>
#include <chrono>
#include <cstdint>

// Whether one serial line answers. A few failed reads in a row, or the port going
// away, make it lost; the first good read after that makes it back. Each change is
// returned once, so the owner says it once. While lost, an attempt to reopen the
// line is due at most once per reopen interval; after reads that timed out on a port
// that is still there the first attempt is due at once. For a line that feeds frames
// it also keeps the last frame that carried values read from the line, so that a loss
// names the first frame that holds them. Owned by the device or trigger that reads
// the line; used by its reading thread only (the getters: any thread).
class CLineWatch {
public:
    enum class Change { None, Lost, Back };
    static constexpr int kFailuresToLose = 3;
    static constexpr std::chrono::milliseconds kReopenInterval{2000};

    explicit CLineWatch(int failuresToLose = kFailuresToLose,
                        std::chrono::milliseconds reopenInterval = kReopenInterval);

    // A read that brought nothing usable; vanished: the port itself failed.
    Change Failed(bool vanished);
    Change Succeeded();
    // While lost: true when an attempt to reopen is due; the next one then waits an
    // interval.
    bool IsReopenDue();
    // After an attempt to reopen: the next one waits a whole interval from now, so
    // that attempts that take long never follow each other back to back.
    void ReopenTried();
    bool IsLost() const { return m_lost.load(); }
    // A line opened anew: answering, no failures (the lost count stays).
    void Reset();
    // Frame frame carries values read from the line (-1: none yet, counters restarted).
    void NoteFreshFrame(int64_t frame) { m_lastFreshFrame = frame; }
    // The first frame after the last one that carried values read from the line.
    int64_t GetFrozenFrom() const { return m_lastFreshFrame + 1; }
    // Any thread: how often the line was lost since construction.
    int64_t GetLostCount() const { return m_lostCount.load(); }
    void SetReopenInterval(std::chrono::milliseconds interval) { m_reopenInterval = interval; }
    // For the first span after a loss, attempts come every interval instead: a board
    // that was busy a moment is back after the pause and one attempt. Zero: none.
    void SetQuickReopen(std::chrono::milliseconds interval, std::chrono::milliseconds span)
    {
        m_quickInterval = interval;
        m_quickSpan = span;
    }

    // The Errors page texts, each ending with a line end. tag: "<SATEL> ", "<FOB> "...
    // A frame below 0 leaves the frames out (a line without frames, the trigger).
    static wxString LostText(const wxString& tag, const wxString& device, const wxString& port,
                             int64_t frame);
    static wxString BackText(const wxString& tag, const wxString& device, const wxString& port,
                             int64_t fromFrame, int64_t frame);

private:
    using Clock = std::chrono::steady_clock;
    const int m_failuresToLose;
    std::chrono::milliseconds m_reopenInterval;
    std::chrono::milliseconds m_quickInterval{0};
    std::chrono::milliseconds m_quickSpan{0};
    Clock::time_point m_lostAt;
    // The wait before the next attempt: short in the first span after the loss.
    std::chrono::milliseconds NextInterval(Clock::time_point now) const;
    int m_failures = 0;
    std::atomic<bool> m_lost{false};
    std::atomic<int64_t> m_lostCount{0};
    Clock::time_point m_nextReopen;
    int64_t m_lastFreshFrame = -1;
};
