#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class CAnalogBuffer;
class CCPStat;
class CDsp;

// What a rebuild of the view's data takes from the view and its device.
struct CViewDataConfig {
    int channels = 0;  // visible channels (history channel positions)
    int dim = 1;       // values per channel
    double drawTimeSec = 5.0;
    double rateHz = 25.0;
    int component = 0;           // value of each channel fed to the spectra
    bool feedSpectra = false;    // the power-spectrum mode is shown
    int spectrumCount = 0;       // one spectrum per visible channel
    std::uint64_t dspSize = 250;
    int dspWindow = 2;
    bool dspClearMean = false;
    bool dspUseDb = true;
    bool dspUseStat = false;
    bool dspNormalize = true;
    double dspStatBound = 1.0;   // fraction of the Nyquist frequency
    bool showCPStat = false;
    int cpLevel = 0;
    int cpWindow = 0;            // samples; 0 keeps the window
    int cpXIndex = -1;           // positions in the row of enabled values
    int cpYIndex = -1;
};

// A copy of the history for one paint, so that drawing never holds the lock
// that the feed takes. Values at one component, channel after channel.
struct CViewSnapshot {
    int channels = 0;
    std::uint64_t frames = 0;
    std::vector<double> values;  // channels x frames, oldest first
    double firstTime = 0.0;
    bool overflow = false;       // the history has covered its duration and scrolls
    double minValue = 0.0;       // values fed since the range restarted
    double maxValue = 0.0;
    // Identifies the rows: the history's rebuild count, and the count of rows
    // stored over the view's life up to the newest one here. The first row
    // here is row storedRows - frames.
    std::uint64_t history = 0;
    std::uint64_t storedRows = 0;

    const double* Channel(int c) const { return values.data() + static_cast<size_t>(c) * frames; }
    // Newest value of channel position c; false when there is none.
    bool Last(int c, double& value) const;
};

// The 2D view's data: its history, centre-of-pressure statistics and spectra,
// fed by the device's acquisition thread and rebuilt and read by the GUI
// thread. Display-free, owned by the view.
//
// Two short locks keep the feed and the rebuilds apart: one around the
// statistics and spectra, one around the history. The feed only try-locks
// them and counts a skipped row when the GUI thread holds one; the GUI thread
// holds them for a swap or a copy, never while drawing.
class CAnalogViewData {
public:
    // A history larger than this many bytes is shortened by the view.
    static constexpr std::uint64_t kMaxHistoryBytes = std::uint64_t(64) << 20;

    CAnalogViewData();
    ~CAnalogViewData();
    CAnalogViewData(const CAnalogViewData&) = delete;
    CAnalogViewData& operator=(const CAnalogViewData&) = delete;

    // Acquisition thread. Never waits on the GUI thread and allocates nothing.
    void AddData(const double* values, int count, std::uint32_t sample, double timeSec);

    // GUI thread: re-creates history, statistics and spectra for config; the
    // history restarts empty and the observed range restarts with the next row.
    void Rebuild(const CViewDataConfig& config);
    // GUI thread: copies the history at component (0 when out of range) for
    // the first maxChannels channel positions; with lastOnly only the newest frame.
    void TakeSnapshot(CViewSnapshot& out, int component, int maxChannels, bool lastOnly) const;

    // Longest draw time that keeps a history of rings rings within kMaxHistoryBytes.
    static double CapDrawTime(double drawTimeSec, double rateHz, int rings);

    // While frozen, rows are not stored in the history (statistics and spectra
    // are still fed). Any thread.
    void SetFrozen(bool frozen) { m_frozen.store(frozen); }
    bool IsFrozen() const { return m_frozen.load(); }
    bool IsDirty() const { return m_dirty.load(); }
    void ClearDirty() { m_dirty.store(false); }
    std::uint32_t CurrentSample() const { return m_currentSample.load(); }
    // Rows the feed could not store while the GUI thread held a lock.
    std::uint64_t SkippedRows() const { return m_skippedRows.load(); }
    std::uint64_t StoredRows() const { return m_storedRows.load(); }
    // Rows that did not fit the history built for the channel list.
    std::uint64_t RefusedRows() const { return m_refusedRows.load(); }
    // Feed: a row of other channels than the history was built for, counted as refused.
    void RefuseRow() { m_refusedRows.fetch_add(1, std::memory_order_relaxed); }

    // GUI thread: the objects that only the GUI thread re-creates. Their own
    // operations are safe against the feed (they lock internally).
    CCPStat& CPStat() { return *m_cpStat; }
    const CCPStat& CPStat() const { return *m_cpStat; }
    size_t SpectrumCount() const { return m_dsp.size(); }
    CDsp* Spectrum(size_t i) const { return i < m_dsp.size() ? m_dsp[i].get() : nullptr; }
    int Channels() const { return m_config.channels; }
    int Dim() const { return m_config.dim; }

private:
    void FeedStatistics(const double* values, int count);
    void StoreRow(const double* values, int count, std::uint32_t sample, double timeSec);

    // Guards m_cpStat's window and level, m_dsp (the vector) and m_feed. Leaf
    // lock, taken alone.
    mutable std::mutex m_statsMutex;
    std::unique_ptr<CCPStat> m_cpStat;
    std::vector<std::unique_ptr<CDsp>> m_dsp;
    CViewDataConfig m_feed;  // copy used by the feed

    // Guards m_buffer and the observed range. Leaf lock, taken alone.
    mutable std::mutex m_historyMutex;
    std::unique_ptr<CAnalogBuffer> m_buffer;
    double m_minValue = 0.0;
    double m_maxValue = 0.0;
    bool m_rangeRestart = true;
    std::uint64_t m_history = 0;  // rebuilds of m_buffer

    CViewDataConfig m_config;  // GUI thread's copy of the last rebuild

    std::atomic<bool> m_frozen{false};
    std::atomic<bool> m_busy{false};
    std::atomic<bool> m_dirty{false};
    std::atomic<std::uint32_t> m_currentSample{0};
    std::atomic<std::uint64_t> m_skippedRows{0};
    std::atomic<std::uint64_t> m_storedRows{0};
    std::atomic<std::uint64_t> m_refusedRows{0};
};
