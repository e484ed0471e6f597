#pragma once

#include <atomic>
#include <memory>
#include <mutex>

class CRingBuffer;

// Statistics of a centre-of-pressure trace (x/y pairs) over a sliding window of
// the latest samples: means, confidence ellipse and path length. A 2D view holds
// one by value.
//
// Threads: Add (and the operations it uses) runs in the acquisition thread that
// feeds the view; GetResults and SetLevel in any thread. SetWindow and Reset
// re-create or empty the window and run only while nobody calls Add.
class CCPStat {
public:
    // What the display reads, copied as of one sample.
    struct Results {
        int count = 0;
        double pathLength = 0.0;
        double area = 0.0;
        double a = 0.0;      // semi-axis across the slope direction (the major one)
        double b = 0.0;      // semi-axis along the slope direction (the minor one)
        double slope = 0.0;  // dy/dx of the direction of b
        double meanX = 0.0;  // as of the last computation
        double meanY = 0.0;
    };

    // Windows longer than this are shortened, with a warning: two rings of
    // doubles of this length are allocated.
    static constexpr int kMaxWindow = 1 << 22;
    static constexpr int kMinWindow = 10;

    CCPStat();
    ~CCPStat();
    CCPStat(const CCPStat&) = delete;
    CCPStat& operator=(const CCPStat&) = delete;

    // Any thread. Confidence level index 0..4 (90, 95, 97.5, 99, 99.5 %);
    // others use 90 %. Takes effect at the next computation.
    void SetLevel(int level);
    // While nobody feeds (view rebuild).
    void SetWindow(int samples);
    void Reset(bool windowChanged);

    // Feeding thread: one sample into the window; non-finite samples are skipped.
    void Add(double x, double y);
    void Compute();
    void Update();

    void PushPair(double x, double y);
    void DropOldest();
    void GetOldest(double& x, double& y) const;
    void PopOldest(double& x, double& y);

    Results GetResults() const;  // any thread
    int GetLevel() const { return m_level.load(std::memory_order_relaxed); }
    int GetWindow() const { return m_window; }
    double GetChiSquare() const { return m_chiSquare.load(std::memory_order_relaxed); }

    static double ChiSquareOfLevel(int level);

private:
    void Publish();

    // Window statistics, kept as deviations from running means (Welford) so
    // that a large offset does not cancel away the spread over long runs.
    double m_runMeanX = 0.0;
    double m_runMeanY = 0.0;
    double m_m2x = 0.0;  // sum of squared deviations of x
    double m_m2y = 0.0;
    double m_cxy = 0.0;  // sum of products of the x and y deviations
    std::unique_ptr<CRingBuffer> m_xRing;
    std::unique_ptr<CRingBuffer> m_yRing;
    std::atomic<int> m_level{4};
    int m_window = 750;
    std::atomic<double> m_chiSquare{10.597};
    double m_lastX = 0.0;
    double m_lastY = 0.0;

    Results m_state;               // written by the feeding thread only
    mutable std::mutex m_mutex;    // guards m_published; a leaf lock
    Results m_published;
};
