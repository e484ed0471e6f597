#pragma once

// Which sources of a device (its sensors, birds, channels or board) hold values the
// device did not receive: never, or no longer (silent for a while, or known lost). It
// counts the recorded frames that hold such values, hands the frames where a source goes
// silent or comes back to the device (markers), and says it, rate-limited.
// Owned by its device. Threads: Configure, Resize: GUI thread or a re-shape under the
// device's data mutex; Heard, Lost: any thread, lock-free; Latch: the data mutex held;
// Update and the run counting: the one thread that dispatches the device's frames;
// State, Changes, RunFrames: any thread; RunSummary: GUI thread after the run.

#include <wx/string.h>

#include <array>
#include <atomic>
#include <cstdint>

#include "network/repeatNote.h"

enum class SourceKind : uint8_t { kSensor, kBird, kChannel, kBoard, kWiiDevice };
enum class SourceState : uint8_t { kLive = 0, kNever, kSilent };

class CSourceWatch {
public:
    static constexpr int kMaxSources = 256;
    static constexpr double kDefaultSilentAfterSec = 1.0;
    // Marker codes of the frames where a source goes silent (or is not received when a
    // run starts) and where it comes back.
    static constexpr uint32_t kSilentMarkerCode = 0x5100;
    static constexpr uint32_t kBackMarkerCode = 0x5101;

    struct Event {
        int source = 0;
        SourceState state = SourceState::kLive;  // the state it went to
        int64_t frame = 0;
    };

    CSourceWatch();
    CSourceWatch(const CSourceWatch&) = delete;
    CSourceWatch& operator=(const CSourceWatch&) = delete;

    // Sources numbered from firstNumber in the texts; silent once nothing came for
    // silentAfterSec (infinite: only when Lost says so).
    void Configure(SourceKind kind, int firstNumber, double silentAfterSec);
    void SetSilentAfter(double seconds) { m_silentAfterUs.store(seconds * 1.0e6); }
    // Sources past kMaxSources are not watched. The first min(old, new) keep their state.
    void Resize(int count);
    int Count() const { return m_count.load(); }
    // Before the thread runs: the number a source goes by, when not firstNumber + index.
    void SetNumber(int source, int number)
    {
        if (source >= 0 && source < kMaxSources) m_numbers[static_cast<size_t>(source)] = number;
    }
    // Before the thread runs: a source that may send only when something changes is
    // silent only when Lost says so, never after a pause.
    void SetUntimed(int source, bool isUntimed)
    {
        if (source >= 0 && source < kMaxSources)
            m_isUntimed[static_cast<size_t>(source)] = isUntimed;
    }

    void Heard(int source)
    {
        if (source >= 0 && source < m_count.load(std::memory_order_relaxed))
            m_heard[static_cast<size_t>(source)].fetch_add(1, std::memory_order_release);
    }
    // The source is known gone (unplugged): silent at the next frame, not after a while.
    void Lost(int source)
    {
        if (source < 0 || source >= m_count.load(std::memory_order_relaxed)) return;
        const auto at = static_cast<size_t>(source);
        m_lostAt[at].store(m_heard[at].load(std::memory_order_acquire), std::memory_order_release);
    }
    // For a device whose reports land in a store it copies into its row: called with the
    // data mutex held as it copies, so that what counts as heard is what the row holds.
    void Latch();

    // Once per frame, before its row is copied out: the sources holding values not
    // received. While recording, the events of this frame (and at a run's first frame
    // every source not received) are in Events().
    int Update(int64_t frame, double nowUs, bool isRecording);
    int EventCount() const { return m_eventCount; }
    const Event& EventAt(int i) const { return m_events[static_cast<size_t>(i)]; }

    // The frame just updated was taken by the recording while some source held values
    // not received; isCounted false: it is counted elsewhere (a held tick), but its
    // sources are still the run's.
    void CountRecordedFrame(bool isCounted = true);
    void StartRun();
    int64_t RunFrames() const { return m_runFrames.load(); }
    // "N frames hold values not received (sensor 0 never received, bird 2 silent)";
    // empty when none. recordedFrames: the run's.
    wxString RunSummary(int64_t recordedFrames) const;

    SourceState State(int source) const;
    // Any thread: how often the source was heard (a test waits on it).
    uint32_t HeardCount(int source) const
    {
        return source >= 0 && source < kMaxSources
                   ? m_heard[static_cast<size_t>(source)].load(std::memory_order_acquire)
                   : 0;
    }
    // Counts every change of state: a view redraws on it.
    uint64_t Changes() const { return m_changes.load(); }

    // Text of what changed since the last note, when one is due (the first at once, then
    // at most once per interval); empty otherwise.
    wxString TakeNote(CRepeatNote::Clock::time_point now);
    void SetNoteInterval(CRepeatNote::Clock::duration interval) { m_note.SetInterval(interval); }
    // "sensor 3", "bird 2", ...
    wxString SourceName(int source) const;

private:
    void Push(int source, SourceState state, int64_t frame);
    void Note(int source, SourceState state, int64_t frame);
    wxString DescribeNow() const;

    std::atomic<int> m_count{0};
    SourceKind m_kind = SourceKind::kChannel;
    int m_firstNumber = 0;
    std::array<int, kMaxSources> m_numbers{};  // 0: firstNumber + index
    std::array<bool, kMaxSources> m_isUntimed{};
    std::atomic<double> m_silentAfterUs{kDefaultSilentAfterSec * 1.0e6};
    std::array<std::atomic<uint32_t>, kMaxSources> m_heard{};
    std::array<std::atomic<uint32_t>, kMaxSources> m_latched{};
    std::array<std::atomic<int64_t>, kMaxSources> m_lostAt{};  // heard count at the loss; -1 none
    std::array<std::atomic<SourceState>, kMaxSources> m_state{};
    std::atomic<bool> m_isLatching{false};
    // Dispatching thread only.
    std::array<uint32_t, kMaxSources> m_seen{};
    std::array<double, kMaxSources> m_lastHeardUs{};
    std::array<int64_t, kMaxSources> m_silentFrom{};
    std::array<Event, kMaxSources> m_events{};  // one per source and frame at most
    int m_eventCount = 0;
    std::atomic<bool> m_runMarked{true};  // StartRun (GUI thread) clears it
    int m_unreceived = 0;
    // Run: written by the dispatching thread, read by the GUI thread after the run.
    std::array<std::atomic<uint8_t>, kMaxSources> m_runFlags{};
    std::atomic<int64_t> m_runFrames{0};
    std::atomic<uint64_t> m_changes{0};
    // Notes, dispatching thread.
    CRepeatNote m_note;
    uint64_t m_silentUnsaid = 0;
    uint64_t m_backUnsaid = 0;
    Event m_firstUnsaid;
};
