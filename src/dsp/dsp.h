#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

class CRingBuffer;
struct fftw_plan_s;

// Serialises every FFTW call but fftw_execute: the planner keeps process-wide
// state, and plans are made and destroyed in more than one thread.
std::mutex& FftwPlannerMutex();

// Power spectrum of the latest N samples of one channel: window, real-to-complex
// FFT, magnitude or normalised dB per bin, extremes, peak bin and optional bin
// statistics. A 2D view owns one per visible channel.
//
// Threads: AddSample runs in the acquisition thread; Update, Compute and the
// results in the GUI thread. The two meet only under a short lock around the
// sample ring, so a computation never reads a half-written ring and the feed
// never waits on a transform. Init and Free run while nobody feeds.
class CDsp {
public:
    static constexpr std::uint64_t kMinSize = 8;
    static constexpr std::uint64_t kMaxSize = 65536;
    // A spectrum needs more samples than this, or a full ring.
    static constexpr std::uint64_t kMinSamples = 8;

    enum WindowType { kRectangular = 0, kHann = 1, kHamming = 2 };

    CDsp(std::uint64_t size, int windowType);
    virtual ~CDsp();
    CDsp(const CDsp&) = delete;
    CDsp& operator=(const CDsp&) = delete;

    // GUI thread (or the owner's feeding thread while it is stopped). Size
    // clamped to kMinSize..kMaxSize; false (not ready) when memory runs out.
    bool Init(std::uint64_t size);
    void Free();

    // Acquisition thread. Non-finite samples enter as 0.0. computeNow only
    // where the feeding thread also reads the results.
    void AddSample(double value, bool computeNow);
    // GUI thread: computes when samples arrived since the last computation;
    // false while there are too few samples for a spectrum.
    bool Update();
    bool IsValid() const;  // any thread
    void Reset();          // any thread: empties the ring
    void Compute();        // GUI thread

    const double* GetSpectrum() const { return m_spectrum.get(); }
    bool IsReady() const { return m_ready; }
    std::uint64_t GetSize() const { return m_n; }
    std::uint64_t GetBins() const { return m_bins; }
    std::uint64_t GetCount() const;
    int GetWindowType() const { return m_windowType; }
    double GetMaximum() const { return m_maximum; }
    double GetMinimum() const { return m_minimum; }
    double GetKurtosis() const { return m_kurtosis; }
    double GetSkewness() const { return m_skewness; }
    std::uint64_t GetPeakBin() const { return m_peakBin; }

    // Coefficient i of a periodic window of the given type and length.
    static double WindowCoefficient(int windowType, std::uint64_t i, std::uint64_t length);

private:
    struct FftwFree {
        void operator()(void* p) const;
    };
    struct PlanDestroy {
        void operator()(fftw_plan_s* plan) const;
    };
    void ComputeBins(std::uint64_t firstBin);
    bool HasEnoughSamples(std::uint64_t count) const;

    std::unique_ptr<double[]> m_spectrum;          // m_bins values
    std::unique_ptr<double[]> m_window;            // coefficients for a full ring
    std::unique_ptr<double[], FftwFree> m_input;   // N values; the transform may overwrite it
    std::unique_ptr<double[], FftwFree> m_output;  // m_bins complex values, re/im interleaved
    std::unique_ptr<CRingBuffer> m_ring;
    bool m_ready = false;
    std::uint64_t m_n = 0;
    std::unique_ptr<fftw_plan_s, PlanDestroy> m_plan;
    std::uint64_t m_bins = 0;
    int m_windowType = 0;
    double m_maximum = 0.0;
    double m_minimum = 0.0;
    double m_kurtosis = 0.0;
    double m_skewness = 0.0;
    std::uint64_t m_peakBin = 0;

    mutable std::mutex m_ringMutex;  // guards m_ring, m_count, m_dirty; a leaf lock
    std::uint64_t m_count = 0;
    bool m_dirty = false;

public:
    // Set by the owner after construction, read by Compute (GUI thread).
    bool m_clearMean = false;
    bool m_useDb = true;
    bool m_useStat = false;
    double m_statBound = 1.0;  // fraction of the bins that enter the statistics
    bool m_normalize = true;   // dB mapped to 0..1 (96 dB and above: 1)
};
