#include "dsp/runningMoments.h"

#include <cmath>

void CRunningMoments::Clear()
{
    *this = CRunningMoments();
}

void CRunningMoments::Push(double x)
{
    if (!std::isfinite(x)) return;
    const std::int64_t q = m_n;
    m_n = q + 1;
    const double n = static_cast<double>(m_n);
    const double d = x - m_mean;
    const double e = d / n;
    const double e2 = e * e;
    const double t = d * e * static_cast<double>(q);
    m_mean += e;
    m_M4 += t * e2 * static_cast<double>(m_n * m_n - 3 * m_n + 3) + 6.0 * e2 * m_M2
            - 4.0 * e * m_M3;
    m_M3 += t * e * (n - 2.0) - 3.0 * e * m_M2;
    m_M2 += t;
}

double CRunningMoments::Variance() const
{
    // M2 can come out a hair below 0 from rounding when all values are equal.
    if (m_n < 2 || !(m_M2 > 0.0)) return 0.0;
    return m_M2 / (static_cast<double>(m_n) - 1.0);
}

double CRunningMoments::StandardDeviation() const
{
    return std::sqrt(Variance());
}

double CRunningMoments::Skewness() const
{
    if (m_n < 2 || !(m_M2 > 0.0)) return 0.0;
    return std::sqrt(static_cast<double>(m_n)) * m_M3 / std::pow(m_M2, 1.5);
}

double CRunningMoments::Kurtosis() const
{
    if (m_n < 2 || !(m_M2 > 0.0)) return 0.0;
    return static_cast<double>(m_n) * m_M4 / (m_M2 * m_M2) - 3.0;
}

CRunningMoments operator+(const CRunningMoments& a, const CRunningMoments& b)
{
    // An empty side adds nothing (and would divide 0 by 0 below).
    if (b.m_n == 0) return a;
    if (a.m_n == 0) return b;
    CRunningMoments c;
    const std::int64_t na = a.m_n;
    const std::int64_t nb = b.m_n;
    c.m_n = na + nb;
    const double n = static_cast<double>(c.m_n);
    const double fa = static_cast<double>(na);
    const double fb = static_cast<double>(nb);
    const double nab = static_cast<double>(na * nb);
    const double d = b.m_mean - a.m_mean;
    const double d2 = d * d;
    const double d4 = d2 * d2;
    c.m_mean = (fa * a.m_mean + fb * b.m_mean) / n;
    c.m_M2 = a.m_M2 + b.m_M2 + d2 * nab / n;
    c.m_M3 = a.m_M3 + b.m_M3 + d * d2 * nab * static_cast<double>(na - nb) / (n * n)
             + 3.0 * d * (fa * b.m_M2 - fb * a.m_M2) / n;
    c.m_M4 = a.m_M4 + b.m_M4
             + d4 * nab * static_cast<double>(na * na - na * nb + nb * nb) / (n * n * n)
             + 6.0 * d2 * (static_cast<double>(na * na) * b.m_M2 + static_cast<double>(nb * nb) * a.m_M2)
                   / (n * n)
             + 4.0 * d * (fa * b.m_M3 - fb * a.m_M3) / n;
    return c;
}

CRunningMoments& CRunningMoments::operator+=(const CRunningMoments& b)
{
    *this = *this + b;
    return *this;
}
