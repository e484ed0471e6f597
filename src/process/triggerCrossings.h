#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

// One reading of a trigger input that reached its start value or its stop value.
struct TriggerCrossing {
    enum class Kind { Start, Stop };
    Kind kind = Kind::Start;
    double value = 0.0;
    double atUs = 0.0;  // program time its reading came (fed, or stamped on arrival)
};

// The crossings of a trigger input, kept in the order its readings came, so that a
// stop quickly followed by the next start, or a pulse shorter than the reader's
// passes, is acted on whole. Only changes are crossings: a reading repeating the
// last crossing fed adds nothing, so a converter that sends its level all the time
// leaves one entry per change and the queue alternates. Bounded: a crossing that
// finds the queue full makes room by dropping the oldest whole trial waiting (a
// start and its stop), counted for the reader to say so; the newest crossing is
// never dropped, so the input ends in the sender's last state. Owned by its input;
// Feed: the thread that receives the readings (an acquisition thread for OSC, the
// GUI thread for the serial line), never allocates nor waits; the rest: any thread.
class CTriggerCrossings {
public:
    static constexpr std::size_t kCapacity = 32;

    // A start is a reading at or above high; a stop a reading at or below low
    // (isLowInclusive) or strictly below it. A value that is not a number is neither.
    void SetLevels(double high, double low, bool isLowInclusive);
    void Feed(double value);
    // The reading came at atUs (program time), earlier than it is fed.
    void Feed(double value, double atUs);
    // Called by Feed, outside the lock, after each crossing queued: tells the
    // reader's thread to look (null: nobody to wake).
    void SetWakeUp(void (*wakeUp)()) { m_wakeUp.store(wakeUp); }

    bool Peek(TriggerCrossing& crossing) const;
    bool Pop(TriggerCrossing& crossing);
    // Pops the next crossing, waiting up to timeout for one to come.
    bool WaitPop(TriggerCrossing& crossing, std::chrono::microseconds timeout);
    void Clear();
    // Crossings dropped on a full queue since the last call (two per trial).
    int64_t TakeOverflows();
    // The last reading fed (0 before the first), crossing or not.
    double GetLastValue() const;
    // Program time (us) the last crossing taken (popped) came; 0 before the first.
    double GetLastTakenTime() const;

private:
    bool PopLocked(TriggerCrossing& crossing);
    // Full: drops the oldest start waiting and the stop after it.
    void DropOldestTrialLocked();
    TriggerCrossing& At(std::size_t index) { return m_ring[(m_head + index) % kCapacity]; }

    mutable std::mutex m_mutex;  // leaf lock: everything below
    std::condition_variable m_arrived;
    std::array<TriggerCrossing, kCapacity> m_ring{};
    std::size_t m_head = 0;
    std::size_t m_count = 0;
    double m_high = 0.0;
    double m_low = 0.0;
    bool m_isLowInclusive = true;
    double m_lastValue = 0.0;
    int64_t m_overflows = 0;
    double m_lastTakenAtUs = 0.0;
    bool m_hasLast = false;  // the last crossing fed (none after Clear)
    TriggerCrossing::Kind m_lastKind = TriggerCrossing::Kind::Start;
    std::atomic<void (*)()> m_wakeUp{nullptr};
};
