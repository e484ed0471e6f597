#include "GLcanvas/cameraMath.h"

#include <cmath>

namespace {

// Squared length below which a cross product of unit vectors counts as parallel.
constexpr double kParallelSquared = 1e-18;

bool IsFinite(const CVector3& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

bool IsUsableVolume(double left, double right, double bottom, double top, double zNear, double zFar)
{
    const double values[] = {left, right, bottom, top, zNear, zFar};
    for (double v : values)
        if (!std::isfinite(v)) return false;
    return left != right && bottom != top && zNear != zFar;
}

}  // namespace

bool ViewFrame(const CVector3& direction, const CVector3& up, CVector3& f, CVector3& s, CVector3& u)
{
    const double length = direction.Length();
    if (!(length > 0.0) || !std::isfinite(length) || !IsFinite(up)) return false;
    const CVector3 forward = direction / length;
    CVector3 side = forward.Cross(up);
    if (side.SquaredLength() < kParallelSquared) {
        const CVector3 x(1.0, 0.0, 0.0);
        side = x - forward * (forward * x);
        if (side.SquaredLength() < kParallelSquared) side = CVector3(0.0, 1.0, 0.0);
    }
    side = side.Normalized();
    f = forward;
    s = side;
    u = side.Cross(forward);
    return true;
}

CMatrix4 LookAtMatrix(const CVector3& eye, const CVector3& f, const CVector3& s, const CVector3& u)
{
    CMatrix4 m;
    m.Set(s.x, s.y, s.z, -(s * eye),  //
          u.x, u.y, u.z, -(u * eye),  //
          -f.x, -f.y, -f.z, f * eye,  //
          0.0, 0.0, 0.0, 1.0);
    return m;
}

bool FrustumMatrix(double left, double right, double bottom, double top, double zNear, double zFar,
                   CMatrix4& out)
{
    if (!IsUsableVolume(left, right, bottom, top, zNear, zFar) || zNear <= 0.0 || zFar <= 0.0)
        return false;
    const double w = right - left;
    const double h = top - bottom;
    const double d = zFar - zNear;
    out.Set(2.0 * zNear / w, 0.0, (right + left) / w, 0.0,           //
            0.0, 2.0 * zNear / h, (top + bottom) / h, 0.0,           //
            0.0, 0.0, -(zFar + zNear) / d, -2.0 * zFar * zNear / d,  //
            0.0, 0.0, -1.0, 0.0);
    return true;
}

bool OrthoMatrix(double left, double right, double bottom, double top, double zNear, double zFar,
                 CMatrix4& out)
{
    if (!IsUsableVolume(left, right, bottom, top, zNear, zFar)) return false;
    const double w = right - left;
    const double h = top - bottom;
    const double d = zFar - zNear;
    out.Set(2.0 / w, 0.0, 0.0, -(right + left) / w,   //
            0.0, 2.0 / h, 0.0, -(top + bottom) / h,   //
            0.0, 0.0, -2.0 / d, -(zFar + zNear) / d,  //
            0.0, 0.0, 0.0, 1.0);
    return true;
}

CMatrix4 MatrixProduct(const CMatrix4& a, const CMatrix4& b)
{
    CMatrix4 out;
    double* o = out.GetData();
    const double* pa = a.GetData();
    const double* pb = b.GetData();
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k) sum += pa[4 * k + r] * pb[4 * c + k];
            o[4 * c + r] = sum;
        }
    return out;
}
