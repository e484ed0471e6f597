#include "GLcanvas/vector3.h"

#include "GLcanvas/arrayMath.h"

#include <algorithm>
#include <cmath>

namespace {
// Keeps the polar angle off the pole, where the azimuth of an orbiting camera is undefined.
constexpr double kMinPolarAngle = 0.017;
constexpr double kHalfPi = 1.5707963267948966;
}  // namespace

CVector3& CVector3::operator+=(const CVector3& b)
{
    x += b.x;
    y += b.y;
    z += b.z;
    return *this;
}

CVector3& CVector3::operator-=(const CVector3& b)
{
    x -= b.x;
    y -= b.y;
    z -= b.z;
    return *this;
}

CVector3& CVector3::operator*=(double s)
{
    x *= s;
    y *= s;
    z *= s;
    return *this;
}

CVector3& CVector3::operator/=(double s)
{
    x /= s;
    y /= s;
    z /= s;
    return *this;
}

CVector3 CVector3::Cross(const CVector3& b) const
{
    return {y * b.z - z * b.y, z * b.x - x * b.z, x * b.y - y * b.x};
}

double CVector3::Length() const { return std::sqrt(SquaredLength()); }

CVector3 CVector3::Normalized() const
{
    const double length = Length();
    if (length == 0.0) return *this * 0.0;
    return *this / length;
}

bool CVector3::operator==(const CVector3& b) const
{
    const double eps = math_epsilon();
    return !(std::fabs(x - b.x) > eps || std::fabs(y - b.y) > eps || std::fabs(z - b.z) > eps);
}

double CVector3::Angle(const CVector3& b) const
{
    const double lengths = Length() * b.Length();
    if (lengths == 0.0) return 0.0;
    // For parallel vectors rounding can put the quotient a little outside [-1, 1].
    return std::acos(std::min(1.0, std::max(-1.0, (*this * b) / lengths)));
}

void CVector3::ToSpherical(double& r, double& theta, double& phi) const
{
    r = Length();
    if (r == 0.0) {
        theta = phi = 0.0;
        return;
    }
    theta = std::max(kMinPolarAngle, std::acos(std::min(1.0, std::max(-1.0, z / r))));
    if (x == 0.0)
        phi = y < 0.0 ? -kHalfPi : (y > 0.0 ? kHalfPi : 0.0);
    else
        phi = std::atan2(y, x);
}

void CVector3::FromSpherical(double r, double theta, double phi)
{
    x = r * std::sin(theta) * std::cos(phi);
    y = r * std::sin(theta) * std::sin(phi);
    z = r * std::cos(theta);
}
