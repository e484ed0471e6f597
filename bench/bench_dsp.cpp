// Costs of the 2D view's statistics and spectrum: CCPStat::Add and
// CDsp::AddSample per sample (acquisition thread), CDsp::Compute per spectrum
// and CDsp construction per size (GUI thread), each next to a bare reference
// measured in the same run.
#include "dsp/cpStat.h"
#include "dsp/dsp.h"
#include "process/sampleBuffer.h"

#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

namespace {

constexpr int kRepetitions = 7;

#ifdef NDEBUG
constexpr const char* kBuild = "Release";
#else
constexpr const char* kBuild = "Debug";
#endif

volatile double g_sink = 0.0;  // keeps results alive

// Median wall time of one run of `body`, in nanoseconds, after a warm-up run.
double MedianNs(const std::function<void()>& body)
{
    body();
    std::vector<double> times;
    for (int r = 0; r < kRepetitions; ++r) {
        const auto start = std::chrono::steady_clock::now();
        body();
        const auto stop = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double, std::nano>(stop - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

std::vector<double> Trace(std::size_t n, double offset, double amplitude)
{
    std::mt19937_64 rng(20261207);
    std::normal_distribution<double> noise(0.0, amplitude);
    std::vector<double> values(n);
    double walk = offset;
    for (auto& v : values) v = (walk += noise(rng));
    return values;
}

void BenchCpStat()
{
    constexpr std::size_t kSamples = 1000000;
    const std::vector<double> xs = Trace(kSamples, 100.0, 0.5);
    const std::vector<double> ys = Trace(kSamples, -50.0, 0.5);
    CCPStat stat;
    const double ns = MedianNs([&] {
        stat.Reset(false);
        for (std::size_t i = 0; i < kSamples; ++i) stat.Add(xs[i], ys[i]);
        g_sink = stat.GetResults().area;
    }) / kSamples;
    // Reference: the distance of each step, the least work a path length needs.
    const double refNs = MedianNs([&] {
        double sum = 0.0;
        for (std::size_t i = 1; i < kSamples; ++i) {
            const double dx = xs[i] - xs[i - 1], dy = ys[i] - ys[i - 1];
            sum += std::sqrt(dx * dx + dy * dy);
        }
        g_sink = sum;
    }) / kSamples;
    std::printf("bench=cpstat_add window=%d samples=%zu ns_per_add=%.1f ref=step_distance "
                "ref_ns_per_sample=%.2f ratio=%.2f build=%s\n",
                stat.GetWindow(), kSamples, ns, refNs, ns / refNs, kBuild);
}

void BenchAddSample()
{
    constexpr std::size_t kSamples = 1000000;
    const std::vector<double> xs = Trace(kSamples, 0.0, 1.0);
    CDsp dsp(1024, CDsp::kHann);
    const double ns = MedianNs([&] {
        for (std::size_t i = 0; i < kSamples; ++i) dsp.AddSample(xs[i], false);
    }) / kSamples;
    CRingBuffer ring(1024);
    const double refNs = MedianNs([&] {
        for (std::size_t i = 0; i < kSamples; ++i) ring.Push(xs[i]);
        g_sink = ring.Get(0);
    }) / kSamples;
    std::printf("bench=dsp_add_sample n=1024 samples=%zu ns_per_sample=%.1f ref=ring_push "
                "ref_ns_per_sample=%.2f ratio=%.2f build=%s\n",
                kSamples, ns, refNs, ns / refNs, kBuild);
}

// Median time of one call of `body`, in microseconds, over `calls` calls per repetition.
double MedianUs(int calls, const std::function<void()>& body)
{
    return MedianNs([&] {
        for (int c = 0; c < calls; ++c) body();
    }) / calls / 1000.0;
}

void BenchCompute(int n)
{
    const int calls = std::max(20, 400000 / n);
    const std::vector<double> xs = Trace(static_cast<std::size_t>(n), 0.0, 1000.0);

    double* input = fftw_alloc_real(static_cast<std::size_t>(n));
    fftw_complex* output = fftw_alloc_complex(static_cast<std::size_t>(n / 2 + 1));
    std::copy(xs.begin(), xs.end(), input);
    // Same rigour as CDsp; input preserved so that repeated runs see the same data.
    fftw_plan plan = fftw_plan_dft_r2c_1d(n, input, output, FFTW_ESTIMATE | FFTW_PRESERVE_INPUT);
    const double executeUs = MedianUs(calls, [&] { fftw_execute(plan); });

    struct Scale {
        const char* name;
        bool useDb;
        bool normalize;
    };
    // The view's default first: normalised dB, Hann window.
    for (const Scale& scale : {Scale{"normalised_db", true, true}, Scale{"magnitude", false, false}}) {
        CDsp dsp(static_cast<std::uint64_t>(n), CDsp::kHann);
        dsp.m_useDb = scale.useDb;
        dsp.m_normalize = scale.normalize;
        for (double x : xs) dsp.AddSample(x, false);
        const double computeUs = MedianUs(calls, [&] { dsp.Compute(); });
        g_sink = dsp.GetMaximum();
        std::printf("dsp n=%d compute_us=%.3f fftw_execute_us=%.3f ratio=%.2f scale=%s build=%s\n",
                    n, computeUs, executeUs, computeUs / executeUs, scale.name, kBuild);
    }

    const int inits = std::max(10, 20000 / n);
    const double initUs = MedianUs(inits, [&] {
        CDsp fresh(static_cast<std::uint64_t>(n), CDsp::kHann);
        g_sink = static_cast<double>(fresh.GetBins());
    });
    std::printf("dsp_init n=%d init_us=%.3f fftw_execute_us=%.3f ratio=%.2f build=%s\n", n,
                initUs, executeUs, initUs / executeUs, kBuild);
    fftw_destroy_plan(plan);
    fftw_free(output);
    fftw_free(input);
}

}  // namespace

int main()
{
    BenchCpStat();
    BenchAddSample();
    for (int n : {250, 1024, 4096}) BenchCompute(n);
    return 0;
}
