#pragma once

#include <cstdint>

// Per-bin loops of the spectrum: window, values from the complex output of a real FFT. Kept in
// their own unit so that the loops vectorise (the unit is built without errno
// from math functions) and so that a wider instruction set is used when the
// processor has it; every variant rounds the same way.

enum class LevelScale {
    kMagnitude,   // |X|
    kDecibel,     // 10 log10(|X| + 1e-6)
    kNormalised,  // the dB value / 96, clamped to 0..1
};

// kBest uses the widest registers the processor has; kPortable the baseline
// instruction set (both give the same bits; tests compare them).
enum class KernelVariant { kBest, kPortable };

// spectrum[i] for i in [first, end) from output[2i] (real) and output[2i+1] (imaginary).
void ComputeLevels(const double* output, double* spectrum, std::uint64_t first, std::uint64_t end,
                   LevelScale scale, KernelVariant variant = KernelVariant::kBest);

// values[i] *= window[i] for i in [0, n).
void ApplyWindow(double* values, const double* window, std::uint64_t n);

// Smallest and largest of spectrum[first, end) together with 0.0, and the
// first bin holding the largest when it is above 0 (else 0). NaN is ignored.
void FindExtremes(const double* spectrum, std::uint64_t first, std::uint64_t end,
                  double& minimum, double& maximum, std::uint64_t& peak);

// Natural logarithm of a positive normal number, within 2 ulp; infinity and
// NaN come back unchanged. Inline form of what ComputeLevels uses.
double NaturalLog(double x);
