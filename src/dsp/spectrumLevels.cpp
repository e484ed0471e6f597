#include "dsp/spectrumLevels.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr double kDbPerNeper = 4.3429448190325175;  // 10 / ln(10)
constexpr double kNormalisedPerNeper = kDbPerNeper / 96.0;  // 96 dB is full scale
constexpr double kMagnitudeFloor = 0.000001;         // -60 dB for an empty bin
// ln 2 split so that exponent x kLn2Hi is exact for every double exponent.
constexpr double kLn2Hi = 0x1.62e42fef00000p-1;
constexpr double kLn2Lo = 0x1.473de6af278edp-34;
constexpr std::uint64_t kSqrt2Mantissa = 0x6A09E667F3BCDull;
constexpr std::uint64_t kExponentMagic = 0x4330000000000000ull;  // 2^52 as bits
constexpr double kTwoPow52 = 4503599627370496.0;

#if defined(__GNUC__) && defined(__x86_64__)
#define QV_HAVE_AVX2_VARIANT 1
#define QV_INLINE inline __attribute__((always_inline))
#else
#define QV_INLINE inline
#endif

// x = 2^e m with m in [sqrt(1/2), sqrt(2)); ln m = 2 atanh(s), s = (m - 1) / (m + 1),
// |s| < 0.1716, summed as the odd series up to s^21 (the next term is below 1e-18).
// Branch-free integer steps, so the loop around it vectorises.
QV_INLINE double LnKernel(double x)
{
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    // Exponent field, one lower when the mantissa is below sqrt(2).
    const std::uint64_t biased = (bits - kSqrt2Mantissa) >> 52;
    const std::uint64_t mantissaBits = bits - ((biased - 1022) << 52);
    double m;
    std::memcpy(&m, &mantissaBits, sizeof m);
    const std::uint64_t exponentBits = biased | kExponentMagic;
    double e;
    std::memcpy(&e, &exponentBits, sizeof e);
    e -= kTwoPow52 + 1022.0;

    const double f = m - 1.0;
    const double s = f / (2.0 + f);
    const double z = s * s;
    const double z2 = z * z;
    const double z4 = z2 * z2;
    // 1/3 z + 1/5 z^2 + ... + 1/21 z^10, in pairs to shorten the dependency chain.
    const double p01 = 1.0 / 3 + z * (1.0 / 5);
    const double p23 = 1.0 / 7 + z * (1.0 / 9);
    const double p45 = 1.0 / 11 + z * (1.0 / 13);
    const double p67 = 1.0 / 15 + z * (1.0 / 17);
    const double p89 = 1.0 / 19 + z * (1.0 / 21);
    const double low = p01 + z2 * p23;
    const double high = p45 + z2 * p67 + z4 * p89;
    const double r = z * (low + z4 * high);
    const double twoS = 2.0 * s;
    const double ln = e * kLn2Hi + (e * kLn2Lo + (twoS + twoS * r));
    // Infinity and NaN fail the test and pass through.
    return x <= std::numeric_limits<double>::max() ? ln : x;
}

QV_INLINE double Magnitude(const double* output, std::uint64_t i)
{
    const double re = output[2 * i];
    const double im = output[2 * i + 1];
    return std::sqrt(re * re + im * im);
}

QV_INLINE void LevelsLoop(const double* __restrict output, double* __restrict spectrum,
                          std::uint64_t first, std::uint64_t end, LevelScale scale)
{
    switch (scale) {
    case LevelScale::kMagnitude:
        for (std::uint64_t i = first; i < end; ++i) spectrum[i] = Magnitude(output, i);
        break;
    case LevelScale::kDecibel:
        for (std::uint64_t i = first; i < end; ++i)
            spectrum[i] = LnKernel(Magnitude(output, i) + kMagnitudeFloor) * kDbPerNeper;
        break;
    case LevelScale::kNormalised:
        for (std::uint64_t i = first; i < end; ++i) {
            // Levels up to 1 are 0 dB or less, which normalise to 0.
            const double level = Magnitude(output, i) + kMagnitudeFloor;
            const double v = LnKernel(level) * kNormalisedPerNeper;
            spectrum[i] = level <= 1.0 ? 0.0 : (v < 1.0 ? v : 1.0);
        }
        break;
    }
}

QV_INLINE void WindowLoop(double* __restrict values, const double* __restrict window,
                          std::uint64_t n)
{
    for (std::uint64_t i = 0; i < n; ++i) values[i] *= window[i];
}

// Four independent chains: a single running maximum waits on every compare.
// Each chain keeps the first bin of its maximum; the lowest of those among the
// chains that reach the overall maximum is the first bin holding it.
QV_INLINE void ExtremesLoop(const double* __restrict v, std::uint64_t first, std::uint64_t end,
                            double& minimum, double& maximum, std::uint64_t& peak)
{
    double lo[4] = {0.0, 0.0, 0.0, 0.0};
    double hi[4] = {0.0, 0.0, 0.0, 0.0};
    std::uint64_t at[4] = {0, 0, 0, 0};
    std::uint64_t i = first;
    for (; i + 4 <= end; i += 4) {
        for (int k = 0; k < 4; ++k) {
            const double x = v[i + k];
            lo[k] = x < lo[k] ? x : lo[k];
            at[k] = x > hi[k] ? i + k : at[k];
            hi[k] = x > hi[k] ? x : hi[k];
        }
    }
    for (; i < end; ++i) {
        lo[0] = v[i] < lo[0] ? v[i] : lo[0];
        if (v[i] > hi[0]) {
            hi[0] = v[i];
            at[0] = i;
        }
    }
    minimum = lo[0];
    maximum = hi[0];
    peak = at[0];
    for (int k = 1; k < 4; ++k) {
        minimum = lo[k] < minimum ? lo[k] : minimum;
        if (hi[k] > maximum || (hi[k] == maximum && hi[k] > 0.0 && at[k] < peak)) {
            maximum = hi[k];
            peak = at[k];
        }
    }
}

void LevelsDefault(const double* output, double* spectrum, std::uint64_t first, std::uint64_t end,
                   LevelScale scale)
{
    LevelsLoop(output, spectrum, first, end, scale);
}

#ifdef QV_HAVE_AVX2_VARIANT
// Same operations on wider registers: no fused multiply-add, so identical results.
__attribute__((target("avx2"))) void LevelsAvx2(const double* output, double* spectrum,
                                                std::uint64_t first, std::uint64_t end,
                                                LevelScale scale)
{
    LevelsLoop(output, spectrum, first, end, scale);
}

__attribute__((target("avx2"))) void WindowAvx2(double* values, const double* window,
                                                std::uint64_t n)
{
    WindowLoop(values, window, n);
}

__attribute__((target("avx2"))) void ExtremesAvx2(const double* v, std::uint64_t first,
                                                  std::uint64_t end, double& minimum,
                                                  double& maximum, std::uint64_t& peak)
{
    ExtremesLoop(v, first, end, minimum, maximum, peak);
}

bool HasAvx2()
{
    static const bool hasAvx2 = __builtin_cpu_supports("avx2");
    return hasAvx2;
}
#endif

}  // namespace

void ComputeLevels(const double* output, double* spectrum, std::uint64_t first, std::uint64_t end,
                   LevelScale scale, KernelVariant variant)
{
#ifdef QV_HAVE_AVX2_VARIANT
    if (variant == KernelVariant::kBest && HasAvx2()) {
        LevelsAvx2(output, spectrum, first, end, scale);
        return;
    }
#endif
    LevelsDefault(output, spectrum, first, end, scale);
}

void ApplyWindow(double* values, const double* window, std::uint64_t n)
{
#ifdef QV_HAVE_AVX2_VARIANT
    if (HasAvx2()) {
        WindowAvx2(values, window, n);
        return;
    }
#endif
    WindowLoop(values, window, n);
}

void FindExtremes(const double* spectrum, std::uint64_t first, std::uint64_t end,
                  double& minimum, double& maximum, std::uint64_t& peak)
{
#ifdef QV_HAVE_AVX2_VARIANT
    if (HasAvx2()) {
        ExtremesAvx2(spectrum, first, end, minimum, maximum, peak);
        return;
    }
#endif
    ExtremesLoop(spectrum, first, end, minimum, maximum, peak);
}

double NaturalLog(double x)
{
    return LnKernel(x);
}
