#pragma once

#include <chrono>
#include <functional>
#include <utility>

// The wait of "Start capture" for a trigger reading to reach its start value:
// reads the trigger, and between passes tells the caller (the progress
// dialog), which may cancel. Readings are taken as they come (the inputs give
// their crossings, in order); a reader with nothing to give does not make the
// wait spin: the pass then sleeps until its end. Display-free; GUI thread.
class CTriggerWait {
public:
    // One reading into value; false when none came (time-out, no input).
    using Reader = std::function<bool(double& value)>;
    // Between passes: the last reading (0 before the first) and the seconds
    // waited; false cancels the wait.
    using Progress = std::function<bool(double lastValue, double elapsedSec)>;
    enum class Outcome { Fired, Cancelled };

    CTriggerWait(Reader reader, double startValue, std::chrono::milliseconds passLength);

    // What the progress shows (the input's live reading); without it, the last reading.
    void SetShownValue(std::function<double()> shownValue) { m_shownValue = std::move(shownValue); }
    Outcome Run(const Progress& progress);
    // Takes what the reader holds already, without waiting for more: true when a
    // start value was among it (a loop's next start that came with its stop).
    bool FiredAlready() { return FiredAlready(m_reader); }
    // The same with another reader of the same input (one that never waits).
    bool FiredAlready(const Reader& reader);
    double GetLastValue() const { return m_lastValue; }
    long GetReadCount() const { return m_readCount; }

private:
    bool IsStart(double value) const;  // not a number never starts
    // Reads until the trigger fires or the pass ends; true when it fired.
    bool ReadPass(std::chrono::steady_clock::time_point passEnd);

    Reader m_reader;
    std::function<double()> m_shownValue;
    double m_startValue;
    std::chrono::milliseconds m_passLength;
    double m_lastValue = 0.0;
    long m_readCount = 0;
};
