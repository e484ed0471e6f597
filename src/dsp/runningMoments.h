#pragma once

#include <cstdint>

// One-pass count, mean and second to fourth central moment sums of a stream
// of doubles; stores no values. Used by one thread at a time.
class CRunningMoments {
public:
    CRunningMoments() = default;

    void Clear();
    // Non-finite values are skipped: one would poison every later result.
    void Push(double x);

    std::int64_t Count() const { return m_n; }
    double Mean() const { return m_mean; }
    // Fewer than two values, or no spread, give 0.0 for the three below.
    double Variance() const;
    double StandardDeviation() const;
    double Skewness() const;
    // Excess kurtosis: 0 for a normal distribution.
    double Kurtosis() const;

    CRunningMoments& operator+=(const CRunningMoments& b);
    friend CRunningMoments operator+(const CRunningMoments& a, const CRunningMoments& b);

private:
    std::int64_t m_n = 0;
    double m_mean = 0.0;
    double m_M2 = 0.0;  // sums of the 2nd, 3rd and 4th powers of the deviations
    double m_M3 = 0.0;
    double m_M4 = 0.0;
};
