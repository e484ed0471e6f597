#include "dsp/dsp.h"

#include "dsp/runningMoments.h"
#include "dsp/spectrumLevels.h"
#include "process/sampleBuffer.h"

#include <fftw3.h>
#include <wx/log.h>

#include <algorithm>
#include <cmath>
#include <new>

namespace {

constexpr double kTwoPi = 6.283185307179586;

std::mutex g_fftwPlannerMutex;  // constant-initialised: safe before main

}  // namespace

std::mutex& FftwPlannerMutex()
{
    return g_fftwPlannerMutex;
}

void CDsp::FftwFree::operator()(void* p) const
{
    std::lock_guard<std::mutex> lock(FftwPlannerMutex());
    fftw_free(p);
}

void CDsp::PlanDestroy::operator()(fftw_plan_s* plan) const
{
    std::lock_guard<std::mutex> lock(FftwPlannerMutex());
    fftw_destroy_plan(plan);
}

double CDsp::WindowCoefficient(int windowType, std::uint64_t i, std::uint64_t length)
{
    // Periodic forms (divided by the length, not length - 1).
    const double phase = kTwoPi * static_cast<double>(i) / static_cast<double>(length);
    switch (windowType) {
    case kHann: return (1.0 - std::cos(phase)) * 0.5;
    case kHamming: return 0.54 - std::cos(phase) * 0.46;
    default: return 1.0;
    }
}

CDsp::CDsp(std::uint64_t size, int windowType) : m_windowType(windowType)
{
    Init(size);
}

CDsp::~CDsp()
{
    Free();
}

bool CDsp::Init(std::uint64_t size)
{
    Free();
    std::uint64_t n = std::max(size, kMinSize);
    if (n > kMaxSize) {
        wxLogWarning("dsp/dsp Init: spectrum size %llu shortened to %llu",
                     static_cast<unsigned long long>(n), static_cast<unsigned long long>(kMaxSize));
        n = kMaxSize;
    }
    const std::uint64_t bins = n / 2 + 1;
    std::unique_ptr<CRingBuffer> ring;
    try {
        m_spectrum = std::make_unique<double[]>(bins);
        m_window = std::make_unique<double[]>(n);
        ring = std::make_unique<CRingBuffer>(n);
    } catch (const std::bad_alloc&) {
        ring.reset();
    }
    double* input = nullptr;
    double* output = nullptr;
    fftw_plan plan = nullptr;
    if (ring && ring->IsOk() && m_window) {
        std::lock_guard<std::mutex> lock(FftwPlannerMutex());
        input = fftw_alloc_real(n);
        output = reinterpret_cast<double*>(fftw_alloc_complex(bins));
        // Estimated, not measured: measuring costs up to seconds per new size and
        // would run on every view rebuild; the result is the same up to rounding.
        if (input && output)
            plan = fftw_plan_dft_r2c_1d(static_cast<int>(n), input,
                                        reinterpret_cast<fftw_complex*>(output),
                                        FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
    }
    // Owned from here, so every early return releases them.
    m_input.reset(input);
    m_output.reset(output);
    m_plan.reset(plan);
    if (!m_plan) {
        wxLogWarning("dsp/dsp Init: no memory or no FFT plan for a spectrum of size %llu",
                     static_cast<unsigned long long>(n));
        ring.reset();
        Free();
        return false;
    }
    std::fill(m_input.get(), m_input.get() + n, 0.0);
    for (std::uint64_t i = 0; i < n; ++i) m_window[i] = WindowCoefficient(m_windowType, i, n);
    {
        std::lock_guard<std::mutex> lock(m_ringMutex);
        m_ring = std::move(ring);
        m_count = 0;
        m_dirty = false;
    }
    m_n = n;
    m_bins = bins;
    m_peakBin = 0;
    m_maximum = 0.0;
    m_ready = true;
    return true;
}

void CDsp::Free()
{
    m_ready = false;
    m_plan.reset();  // before the arrays it refers to
    m_input.reset();
    m_output.reset();
    m_spectrum.reset();
    m_window.reset();
    {
        std::lock_guard<std::mutex> lock(m_ringMutex);
        m_ring.reset();
        m_count = 0;
        m_dirty = false;
    }
    m_n = 0;
    m_bins = 0;
    m_maximum = 0.0;
    m_peakBin = 0;
}

void CDsp::AddSample(double value, bool computeNow)
{
    if (!m_ready) return;
    if (!std::isfinite(value)) value = 0.0;  // one NaN would blank every bin
    bool computeHere = false;
    {
        std::lock_guard<std::mutex> lock(m_ringMutex);
        if (m_count == m_n)
            m_ring->PopFront();
        else
            ++m_count;
        m_ring->Push(value);
        m_dirty = true;
        computeHere = computeNow && HasEnoughSamples(m_count);
    }
    if (computeHere) Compute();
}

bool CDsp::Update()
{
    if (!m_ready) return false;
    bool dirty = false;
    {
        std::lock_guard<std::mutex> lock(m_ringMutex);
        if (!HasEnoughSamples(m_count)) return false;
        dirty = m_dirty;
    }
    if (dirty) Compute();
    return true;
}

bool CDsp::HasEnoughSamples(std::uint64_t count) const
{
    // A full ring always counts: the smallest ring (8) never holds more than 8.
    return count > kMinSamples || (count == m_n && m_n > 0);
}

bool CDsp::IsValid() const
{
    return m_ready && HasEnoughSamples(GetCount());
}

std::uint64_t CDsp::GetCount() const
{
    std::lock_guard<std::mutex> lock(m_ringMutex);
    return m_count;
}

void CDsp::Reset()
{
    if (!m_ready) return;
    std::lock_guard<std::mutex> lock(m_ringMutex);
    m_ring->Reset();
    m_count = 0;
    m_dirty = false;
}

void CDsp::Compute()
{
    if (!m_ready) return;
    double* in = m_input.get();
    std::uint64_t count = 0;
    {
        // The copy is the only moment the feed may wait for; the transform runs unlocked.
        std::lock_guard<std::mutex> lock(m_ringMutex);
        count = m_count;
        if (!m_ring->CopyTo(in, count)) return;
        m_dirty = false;
    }
    if (count < m_n) {
        // Still filling: window the samples held and pad with zeros.
        for (std::uint64_t i = 0; i < count; ++i)
            in[i] *= WindowCoefficient(m_windowType, i, count);
        std::fill(in + count, in + m_n, 0.0);
    } else {
        ApplyWindow(in, m_window.get(), m_n);
    }
    fftw_execute(m_plan.get());

    m_maximum = 0.0;
    m_minimum = 0.0;
    m_peakBin = 0;  // a spectrum with no bin above 0 must not show an old peak
    std::uint64_t firstBin = 0;
    if (m_clearMean) {
        const std::uint64_t last = m_bins / 100;
        std::fill(m_spectrum.get(), m_spectrum.get() + last + 1, 0.0);
        firstBin = last + 1;
    }
    if (count <= firstBin) {
        // Too few samples for any bin above the cleared ones: show an empty spectrum.
        std::fill(m_spectrum.get() + firstBin, m_spectrum.get() + m_bins, 0.0);
        if (m_useStat) m_skewness = m_kurtosis = 0.0;
        return;
    }
    ComputeBins(firstBin);
}

void CDsp::ComputeBins(std::uint64_t firstBin)
{
    const double* spectrum = m_spectrum.get();
    const std::uint64_t bins = m_bins;
    const LevelScale scale = !m_useDb ? LevelScale::kMagnitude
                             : m_normalize ? LevelScale::kNormalised
                                           : LevelScale::kDecibel;
    ComputeLevels(m_output.get(), m_spectrum.get(), firstBin, bins, scale);
    double minimum = 0.0, maximum = 0.0;
    std::uint64_t peak = 0;
    FindExtremes(spectrum, firstBin, bins, minimum, maximum, peak);
    m_minimum = minimum;
    m_maximum = maximum;
    m_peakBin = peak;

    if (!m_useStat) return;
    CRunningMoments moments;
    for (std::uint64_t i = 0; i < firstBin; ++i) moments.Push(0.0);  // the cleared bins
    const double limit = std::floor(static_cast<double>(bins) * m_statBound);
    const std::uint64_t statBins =
        limit > 0.0 ? static_cast<std::uint64_t>(std::min(limit, static_cast<double>(bins))) : 0;
    for (std::uint64_t i = firstBin; i < statBins; ++i) moments.Push(spectrum[i]);
    m_skewness = moments.Skewness();
    m_kurtosis = moments.Kurtosis();
}
