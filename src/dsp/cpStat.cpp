#include "dsp/cpStat.h"

#include "process/sampleBuffer.h"

#include <wx/log.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.141592653589793;
// Below this path length (in the trace's units) the ellipse is not shown.
constexpr double kMinPathLength = 1.0;

}  // namespace

double CCPStat::ChiSquareOfLevel(int level)
{
    // Chi-square quantiles with two degrees of freedom, as the level choice lists them.
    switch (level) {
    case 1: return 5.991;
    case 2: return 7.378;
    case 3: return 9.21;
    case 4: return 10.597;
    default: return 4.605;
    }
}

CCPStat::CCPStat()
{
    Reset(true);
}

CCPStat::~CCPStat() = default;

void CCPStat::SetLevel(int level)
{
    m_level.store(level, std::memory_order_relaxed);
    m_chiSquare.store(ChiSquareOfLevel(level), std::memory_order_relaxed);
}

void CCPStat::SetWindow(int samples)
{
    int window = std::max(samples, kMinWindow);
    if (window > kMaxWindow) {
        wxLogWarning("dsp/cpStat SetWindow: window of %d samples shortened to %d", window,
                     kMaxWindow);
        window = kMaxWindow;
    }
    const bool changed = window != m_window;
    m_window = window;
    Reset(changed);
}

void CCPStat::Reset(bool windowChanged)
{
    m_runMeanX = m_runMeanY = 0.0;
    m_m2x = m_m2y = m_cxy = 0.0;
    m_state.count = 0;
    m_state.area = 0.0;
    m_state.pathLength = 0.0;
    if (windowChanged || !m_xRing || !m_yRing) {
        m_xRing.reset();
        m_yRing.reset();
        auto xRing = std::make_unique<CRingBuffer>(static_cast<std::uint64_t>(m_window));
        auto yRing = std::make_unique<CRingBuffer>(static_cast<std::uint64_t>(m_window));
        if (xRing->IsOk() && yRing->IsOk()) {
            m_xRing = std::move(xRing);
            m_yRing = std::move(yRing);
        } else {
            wxLogWarning("dsp/cpStat Reset: no memory for a window of %d samples", m_window);
        }
    } else {
        m_xRing->Reset();
        m_yRing->Reset();
    }
    Publish();
}

void CCPStat::Add(double x, double y)
{
    if (!m_xRing || !m_yRing) return;
    if (!std::isfinite(x) || !std::isfinite(y)) return;
    Results& s = m_state;
    if (s.count == m_window) {
        // Full: the oldest sample and the first segment of the path leave the window.
        const double x0 = m_xRing->Get(0), y0 = m_yRing->Get(0);
        const double x1 = m_xRing->Get(1), y1 = m_yRing->Get(1);
        s.pathLength -= std::sqrt((x1 - x0) * (x1 - x0) + (y1 - y0) * (y1 - y0));
        DropOldest();
        const double rest = static_cast<double>(s.count - 1);
        const double dx = x0 - m_runMeanX;
        m_runMeanX -= dx / rest;
        const double dy = y0 - m_runMeanY;
        m_m2x -= dx * (x0 - m_runMeanX);
        m_cxy -= (x0 - m_runMeanX) * dy;
        m_runMeanY -= dy / rest;
        m_m2y -= dy * (y0 - m_runMeanY);
    } else {
        ++s.count;
    }
    PushPair(x, y);
    if (s.count > 1) {
        const double n = static_cast<double>(s.count);
        const double dx = x - m_runMeanX;
        m_runMeanX += dx / n;
        const double dy = y - m_runMeanY;
        m_runMeanY += dy / n;
        m_m2x += dx * (x - m_runMeanX);
        m_m2y += dy * (y - m_runMeanY);
        m_cxy += dx * (y - m_runMeanY);
        s.pathLength += std::sqrt((x - m_lastX) * (x - m_lastX) + (y - m_lastY) * (y - m_lastY));
        Update();
    } else {
        s.meanX = m_runMeanX = x;
        s.meanY = m_runMeanY = y;
        m_m2x = m_m2y = m_cxy = 0.0;
        s.pathLength = 0.0;
    }
    m_lastX = x;
    m_lastY = y;
    Publish();
}

void CCPStat::Update()
{
    if (m_state.pathLength < kMinPathLength) {
        m_state.a = m_state.b = m_state.area = 0.0;
        return;
    }
    Compute();
}

void CCPStat::Compute()
{
    Results& s = m_state;
    if (s.count < 2) return;
    const double n1 = static_cast<double>(s.count) - 1.0;
    s.meanX = m_runMeanX;
    s.meanY = m_runMeanY;
    const double varX = std::max(m_m2x / n1, 0.0);
    const double varY = std::max(m_m2y / n1, 0.0);
    const double cov = m_cxy / n1;

    // Slope of the minor axis: the root of m^2 + k m - 1 = 0 whose sign is
    // opposite to cov. The other root is -1/m, which avoids the cancellation of
    // (-k + s) / 2 when |k| is large. With no covariance the axes lie along x and y.
    double slope = 0.0;
    if (cov != 0.0) {
        const double k = (varX - varY) / cov;
        // sqrt(k^2 + 4), which is |k| to double precision long before k^2 overflows.
        const double root = std::fabs(k) < 1e150 ? std::sqrt(k * k + 4.0) : std::fabs(k);
        double m1 = 0.0, m2 = 0.0;
        if (k >= 0.0) {
            m2 = (-k - root) / 2.0;
            m1 = -1.0 / m2;
        } else {
            m1 = (-k + root) / 2.0;
            m2 = -1.0 / m1;
        }
        slope = cov < 0.0 ? m1 : m2;
        if (!std::isfinite(slope)) slope = 0.0;
    }
    s.slope = slope;

    double p2 = 1e12, twoP = -2e6, p2Plus1 = 1000000000001.0;  // p = -1e6 for a flat slope
    if (std::fabs(slope) > 1e-10) {
        const double p = -1.0 / slope;
        p2 = p * p;
        twoP = 2.0 * p;
        p2Plus1 = p2 + 1.0;
    }
    const double chiSquare = m_chiSquare.load(std::memory_order_relaxed);
    // Variances across and along the slope direction; rounding may take them below 0.
    const double across = (varX * slope * slope - 2.0 * slope * cov + varY) / (1.0 + slope * slope);
    const double along = (varX * p2 - twoP * cov + varY) / p2Plus1;
    s.a = std::sqrt(chiSquare * std::max(across, 0.0));
    s.b = std::sqrt(chiSquare * std::max(along, 0.0));
    s.area = s.a * kPi * s.b;
}

void CCPStat::PushPair(double x, double y)
{
    if (!m_xRing || !m_yRing) return;
    m_xRing->Push(x);
    m_yRing->Push(y);
}

void CCPStat::DropOldest()
{
    if (!m_xRing || !m_yRing) return;
    m_xRing->PopFront();
    m_yRing->PopFront();
}

void CCPStat::GetOldest(double& x, double& y) const
{
    if (!m_xRing || !m_yRing) return;
    x = m_xRing->Get(0);
    y = m_yRing->Get(0);
}

void CCPStat::PopOldest(double& x, double& y)
{
    GetOldest(x, y);
    DropOldest();
}

CCPStat::Results CCPStat::GetResults() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_published;
}

void CCPStat::Publish()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_published = m_state;
}
