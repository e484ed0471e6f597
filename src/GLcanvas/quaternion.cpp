#include "GLcanvas/quaternion.h"

#include "GLcanvas/arrayMath.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2.0 * kPi;
constexpr double kMinAxisLength = 1e-7;  // SetAxisAngle: shorter axes mean no turn
constexpr double kSmallSine = 0.0005;    // GetAxisAngle: below, the axis is not divided
constexpr double kPitchGimbal = 1e-7;    // GetEuler: |cos pitch|^2 below this is gimbal lock
constexpr double kAngleSnap = 1e-6;      // GetEuler: angles this close to 0 or 2 pi are 0

inline double Clamp1(double v) { return std::min(1.0, std::max(-1.0, v)); }

double Snap(double angle)
{
    if (std::fabs(angle - kTwoPi) < kAngleSnap || std::fabs(angle) < kAngleSnap) return 0.0;
    return angle;
}

// A turn about one axis with the sign of that axis component, in (-pi, pi].
double SignedTurn(double angle, double component)
{
    double turn = component < 0.0 ? -angle : angle;
    if (turn > kPi) turn -= kTwoPi;
    if (turn <= -kPi) turn += kTwoPi;
    return turn;
}

CQuaternion Combine(const CQuaternion& p, double kp, const CQuaternion& q, double kq)
{
    CQuaternion r;
    r.x = kp * p.x + kq * q.x;
    r.y = kp * p.y + kq * q.y;
    r.z = kp * p.z + kq * q.z;
    r.w = kp * p.w + kq * q.w;
    return r;
}

void TransformTransposed(const CMatrix4& m, double& px, double& py, double& pz)
{
    const double* e = m.GetData();
    const double rx = e[0] * px + e[1] * py + e[2] * pz;
    const double ry = e[4] * px + e[5] * py + e[6] * pz;
    const double rz = e[8] * px + e[9] * py + e[10] * pz;
    px = rx;
    py = ry;
    pz = rz;
}

void Transform(const CMatrix4& m, double& px, double& py, double& pz)
{
    const CVector3 r = m.TransformPoint(CVector3(px, py, pz));
    px = r.x;
    py = r.y;
    pz = r.z;
}

int FrameToWXYZ(const double* frame, double* wxyz)
{
    CQuaternion q;
    q.FromMatrix3Normalized(frame, 3);
    q.GetWXYZ(wxyz);
    return 1;
}

}  // namespace

CQuaternion::CQuaternion(double qw, double qx, double qy, double qz) { Set(qw, qx, qy, qz); }

CQuaternion CQuaternion::FromWXYZ(const double* wxyz)
{
    CQuaternion q;
    q.SetWXYZ(wxyz);
    return q;
}

CQuaternion CQuaternion::FromXYZW(const double* xyzw)
{
    CQuaternion q;
    q.SetXYZW(xyzw);
    return q;
}

void CQuaternion::Set(double qw, double qx, double qy, double qz)
{
    w = qw;
    x = qx;
    y = qy;
    z = qz;
    Normalize();
}

void CQuaternion::SetWXYZ(const double* wxyz)
{
    if (!wxyz) {
        *this = CQuaternion();
        return;
    }
    Set(wxyz[0], wxyz[1], wxyz[2], wxyz[3]);
}

void CQuaternion::SetXYZW(const double* xyzw)
{
    if (!xyzw) {
        *this = CQuaternion();
        return;
    }
    Set(xyzw[3], xyzw[0], xyzw[1], xyzw[2]);
}

void CQuaternion::GetWXYZ(double* out) const
{
    out[0] = w;
    out[1] = x;
    out[2] = y;
    out[3] = z;
}

double CQuaternion::Length() const { return std::sqrt(SquaredLength()); }

void CQuaternion::Normalize()
{
    const double n = Length();
    if (n == 0.0) {
        *this = CQuaternion();
        return;
    }
    const double inverse = 1.0 / n;
    x *= inverse;
    y *= inverse;
    z *= inverse;
    w *= inverse;
}

CQuaternion CQuaternion::Normalized() const
{
    CQuaternion q(*this);
    q.Normalize();
    return q;
}

bool CQuaternion::operator==(const CQuaternion& q) const
{
    return x == q.x && y == q.y && z == q.z && w == q.w;
}

CQuaternion& CQuaternion::operator*=(const CQuaternion& q)
{
    const CQuaternion p(*this);
    x = p.w * q.x + q.w * p.x + p.y * q.z - p.z * q.y;
    y = p.w * q.y + q.w * p.y + p.z * q.x - p.x * q.z;
    z = p.w * q.z + q.w * p.z + p.x * q.y - p.y * q.x;
    w = p.w * q.w - (p.x * q.x + p.y * q.y + p.z * q.z);
    return *this;
}

CQuaternion CQuaternion::operator*(const CQuaternion& q) const
{
    CQuaternion r(*this);
    r *= q;
    r.Normalize();
    return r;
}

CQuaternion& CQuaternion::operator*=(double s)
{
    x *= s;
    y *= s;
    z *= s;
    w *= s;
    return *this;
}

CQuaternion CQuaternion::operator*(double s) const
{
    CQuaternion r(*this);
    r *= s;
    r.Normalize();
    return r;
}

CQuaternion& CQuaternion::operator+=(const CQuaternion& q)
{
    x += q.x;
    y += q.y;
    z += q.z;
    w += q.w;
    return *this;
}

CQuaternion& CQuaternion::operator-=(const CQuaternion& q)
{
    x -= q.x;
    y -= q.y;
    z -= q.z;
    w -= q.w;
    return *this;
}

CQuaternion CQuaternion::operator+(const CQuaternion& q) const
{
    CQuaternion r(*this);
    r += q;
    r.Normalize();
    return r;
}

CQuaternion CQuaternion::operator-(const CQuaternion& q) const
{
    CQuaternion r(*this);
    r -= q;
    r.Normalize();
    return r;
}

CQuaternion CQuaternion::operator-() const
{
    CQuaternion r(*this);
    r *= -1.0;
    r.Normalize();
    return r;
}

void CQuaternion::Conjugate()
{
    x = -x;
    y = -y;
    z = -z;
}

CQuaternion CQuaternion::Conjugated() const
{
    CQuaternion r(*this);
    r.Conjugate();
    r.Normalize();
    return r;
}

void CQuaternion::Invert()
{
    double n = SquaredLength();
    if (n == 0.0) n = 1.0;
    x = -x / n;
    y = -y / n;
    z = -z / n;
    w = w / n;
}

CQuaternion CQuaternion::Inverse() const
{
    CQuaternion r(*this);
    r.Invert();
    r.Normalize();
    return r;
}

void CQuaternion::GetAxisAngle(double& ax, double& ay, double& az, double& angle)
{
    Normalize();
    // After normalisation rounding can leave w a little above 1.
    const double cw = Clamp1(w);
    angle = 2.0 * std::acos(cw);
    const double s = std::sqrt(std::fabs(1.0 - cw * cw));
    const double divisor = s < kSmallSine ? 1.0 : s;
    ax = x / divisor;
    ay = y / divisor;
    az = z / divisor;
}

void CQuaternion::GetAxisAngle(double* xyza) { GetAxisAngle(xyza[0], xyza[1], xyza[2], xyza[3]); }

void CQuaternion::GetAxisAngle(double* axis, double& angle)
{
    GetAxisAngle(axis[0], axis[1], axis[2], angle);
}

void CQuaternion::SetAxisAngle(double ax, double ay, double az, double angle)
{
    const double length = std::sqrt(ax * ax + ay * ay + az * az);
    if (length > kMinAxisLength) {
        const double s = std::sin(angle / 2.0) / length;
        x = ax * s;
        y = ay * s;
        z = az * s;
        w = std::cos(angle / 2.0);
    } else {
        *this = CQuaternion();
    }
    Normalize();
}

void CQuaternion::SetAxisAngle(const double* axis, double angle)
{
    SetAxisAngle(axis[0], axis[1], axis[2], angle);
}

void CQuaternion::SetAxisAngle(const CVector3& axis, double angle)
{
    SetAxisAngle(axis.x, axis.y, axis.z, angle);
}

void CQuaternion::ToMatrix3(double* m, int stride) const
{
    double* r0 = m;
    double* r1 = m + stride;
    double* r2 = m + 2 * stride;
    r0[0] = 1.0 - 2.0 * (y * y + z * z);
    r0[1] = 2.0 * (x * y - w * z);
    r0[2] = 2.0 * (x * z + w * y);
    r1[0] = 2.0 * (x * y + w * z);
    r1[1] = 1.0 - 2.0 * (x * x + z * z);
    r1[2] = 2.0 * (y * z - w * x);
    r2[0] = 2.0 * (x * z - w * y);
    r2[1] = 2.0 * (y * z + w * x);
    r2[2] = 1.0 - 2.0 * (x * x + y * y);
}

void CQuaternion::FromMatrix3(const double* m, int stride)
{
    auto M = [m, stride](int r, int c) { return m[r * stride + c]; };
    const double trace = M(0, 0) + M(1, 1) + M(2, 2);
    // trace + 1 = 4 w^2: near a half turn it is rounding noise, and dividing by its root
    // gives a wrong orientation. Below trace 0 the largest diagonal term leads instead.
    if (trace > 0.0) {
        const double s = 2.0 * std::sqrt(trace + 1.0);
        x = (M(2, 1) - M(1, 2)) / s;
        y = (M(0, 2) - M(2, 0)) / s;
        z = (M(1, 0) - M(0, 1)) / s;
        w = s / 4.0;
    } else if (M(0, 0) > M(1, 1) && M(0, 0) > M(2, 2)) {
        const double s = 2.0 * std::sqrt(std::fabs(1.0 + M(0, 0) - M(1, 1) - M(2, 2)));
        x = s / 4.0;
        y = (M(0, 1) + M(1, 0)) / s;
        z = (M(0, 2) + M(2, 0)) / s;
        w = (M(2, 1) - M(1, 2)) / s;
    } else if (M(1, 1) > M(2, 2)) {
        const double s = 2.0 * std::sqrt(std::fabs(1.0 + M(1, 1) - M(0, 0) - M(2, 2)));
        x = (M(0, 1) + M(1, 0)) / s;
        y = s / 4.0;
        z = (M(1, 2) + M(2, 1)) / s;
        w = (M(0, 2) - M(2, 0)) / s;
    } else {
        const double s = 2.0 * std::sqrt(std::fabs(1.0 + M(2, 2) - M(0, 0) - M(1, 1)));
        x = (M(0, 2) + M(2, 0)) / s;
        y = (M(1, 2) + M(2, 1)) / s;
        z = s / 4.0;
        w = (M(1, 0) - M(0, 1)) / s;
    }
    if (w < 0.0) {  // same rotation, with the sign the trace branch gives
        x = -x;
        y = -y;
        z = -z;
        w = -w;
    }
}

void CQuaternion::FromMatrix3Normalized(const double* m, int stride)
{
    FromMatrix3(m, stride);
    Normalize();
}

void CQuaternion::FromMatrix3Shoemake(const double* m, int stride)
{
    auto M = [m, stride](int r, int c) { return m[r * stride + c]; };
    const double trace = M(0, 0) + M(1, 1) + M(2, 2);
    if (trace > 0.0) {
        double s = std::sqrt(trace + 1.0);
        w = s / 2.0;
        s = 0.5 / s;
        x = (M(1, 2) - M(2, 1)) * s;
        y = (M(2, 0) - M(0, 2)) * s;
        z = (M(0, 1) - M(1, 0)) * s;
        return;
    }
    int i = M(1, 1) > M(0, 0) ? 1 : 0;
    if (M(2, 2) > M(i, i)) i = 2;
    const int j = (i + 1) % 3;
    const int k = (j + 1) % 3;
    double s = std::sqrt(std::fabs(M(i, i) - M(j, j) - M(k, k) + 1.0));
    double* v[3] = {&x, &y, &z};
    *v[i] = s / 2.0;
    s = s != 0.0 ? 0.5 / s : 0.0;
    w = (M(j, k) - M(k, j)) * s;
    *v[j] = (M(i, j) + M(j, i)) * s;
    *v[k] = (M(i, k) + M(k, i)) * s;
}

CMatrix4 CQuaternion::ToMatrix4() const
{
    double rows[9];
    ToMatrix3(rows, 3);
    CMatrix4 m;
    m.Set(rows[0], rows[1], rows[2], 0.0, rows[3], rows[4], rows[5], 0.0, rows[6], rows[7], rows[8],
          0.0, 0.0, 0.0, 0.0, 1.0);
    return m;
}

void CQuaternion::FromMatrix4(const CMatrix4& mat)
{
    double rows[16];
    mat.GetTransposed(rows);
    FromMatrix3(rows, 4);
}

void CQuaternion::SetEuler(double a, double b, double c)
{
    const double s1 = std::sin(a / 2.0), c1 = std::cos(a / 2.0);
    const double s2 = std::sin(b / 2.0), c2 = std::cos(b / 2.0);
    const double s3 = std::sin(c / 2.0), c3 = std::cos(c / 2.0);
    x = s1 * c2 * c3 - c1 * s2 * s3;
    y = c1 * s2 * c3 + s1 * c2 * s3;
    z = c1 * c2 * s3 - s1 * s2 * c3;
    w = c1 * c2 * c3 + s1 * s2 * s3;
    Normalize();
}

void CQuaternion::SetEuler(const double* abc) { SetEuler(abc[0], abc[1], abc[2]); }

void CQuaternion::GetEuler(double* abc)
{
    Normalize();
    const double g = 2.0 * (x * z - w * y);
    double roll = 0.0, pitch = 0.0, yaw = 0.0;
    bool isGimbal = true;
    if (std::fabs(1.0 - g * g) < kPitchGimbal) {
        pitch = std::atan2(-g, 0.0);
    } else {
        const double k = std::sqrt(std::fabs(1.0 - g * g));
        pitch = std::atan2(-g, k);
        if (g != 1.0 && g != -1.0 && k != 0.0) {
            roll = std::atan2(2.0 * (w * x + y * z), 1.0 - 2.0 * (x * x + y * y));
            yaw = std::atan2(2.0 * (x * y + w * z), 1.0 - 2.0 * (y * y + z * z));
            isGimbal = false;
        }
    }
    if (isGimbal) {
        yaw = 0.0;
        roll = std::atan2(2.0 * (w * x - y * z), 1.0 - 2.0 * (x * x + z * z));
    }
    abc[0] = Snap(roll);
    abc[1] = Snap(pitch);
    abc[2] = Snap(yaw);
}

int CQuaternion::GetEulerXYZ(double* abc)
{
    double ax = 0.0, ay = 0.0, az = 0.0, angle = 0.0;
    GetAxisAngle(ax, ay, az, angle);
    double out[3] = {0.0, 0.0, 0.0};
    // A turn about one coordinate axis keeps that axis's sign: a negative turn comes back
    // negative rather than as its size about the positive axis.
    if (ax == 0.0 && ay == 0.0) {
        out[2] = SignedTurn(angle, az);
    } else if (ax == 0.0 && az == 0.0) {
        out[1] = SignedTurn(angle, ay);
    } else if (ay == 0.0 && az == 0.0) {
        out[0] = SignedTurn(angle, ax);
    } else {
        double m[9], second[3];
        ToMatrix3(m, 3);
        if (!matrix_to_euler(m, 3, 0, 1, 2, out, second)) return 0;
    }
    std::copy(out, out + 3, abc);
    return 1;
}

namespace {

int EulerAngles(const CQuaternion& q, int i, int j, int k, double* out, int second)
{
    double m[9], first[3], other[3];
    q.ToMatrix3(m, 3);
    if (!matrix_to_euler(m, 3, i, j, k, first, other)) return 0;
    const double* chosen = second ? other : first;
    std::copy(chosen, chosen + 3, out);
    return 1;
}

}  // namespace

int CQuaternion::GetEulerAnglesYZX(double* out, int second) const
{
    return EulerAngles(*this, 1, 2, 0, out, second);
}

int CQuaternion::GetEulerAnglesXZY(double* out, int second) const
{
    return EulerAngles(*this, 0, 2, 1, out, second);
}

int CQuaternion::GetEulerAnglesXYZ(double* out, int second) const
{
    return EulerAngles(*this, 0, 1, 2, out, second);
}

void CQuaternion::GetEulerByMatrix(double* abc) const { ToMatrix4().GetEuler(abc); }

void CQuaternion::SetEulerByMatrix(double a, double b, double c)
{
    CMatrix4 m;
    m.SetRotationEuler(a, b, c);
    FromMatrix4(m);
}

int CQuaternion::FromVectors(const double* primary, const double* secondary, double* wxyz)
{
    double frame[9];
    if (!frame_from_vectors(primary, secondary, 0, 1, frame, 3)) return 0;
    return FrameToWXYZ(frame, wxyz);
}

int CQuaternion::FromDirection(const double* from, const double* to, double* wxyz, int i, int j)
{
    double d[3] = {to[0] - from[0], to[1] - from[1], to[2] - from[2]};
    vec3_normalize(d);
    double p1[3], p2[3], frame[9];
    perpendicular_vectors(p1, p2, d);
    if (!frame_from_vectors(d, p1, i, j, frame, 3)) return 0;
    return FrameToWXYZ(frame, wxyz);
}

int CQuaternion::FromPoints(const double* origin, const double* a, const double* b, double* wxyz,
                            int i, int j)
{
    double frame[9];
    if (!frame_from_points(origin, a, b, i, j, frame, 3)) return 0;
    return FrameToWXYZ(frame, wxyz);
}

CQuaternion CQuaternion::Exp() const
{
    CQuaternion r(*this);
    const double angle = std::sqrt(x * x + y * y + z * z);
    if (angle > math_epsilon()) {
        const double k = std::sin(angle) / angle;
        r.x *= k;
        r.y *= k;
        r.z *= k;
    }
    r.w = std::cos(angle);
    return r;
}

CQuaternion CQuaternion::Log() const
{
    CQuaternion r(*this);
    const double n = Length();
    const double sine = std::sqrt(x * x + y * y + z * z);
    if (sine > 0.0) {
        // atan2 keeps the half angle right for w <= 0, where atan(sine / w) would not.
        const double k = std::atan2(sine, w) / sine;
        r.x *= k;
        r.y *= k;
        r.z *= k;
    }
    r.w = n > 0.0 ? std::log(n) : 0.0;
    return r;
}

CQuaternion CQuaternion::Slerp(const CQuaternion& q2, double t)
{
    const double eps = math_epsilon();
    const double d = x * q2.x + y * q2.y + z * q2.z + w * q2.w;
    CQuaternion result;
    if (d + 1.0 > eps) {
        double k1 = 1.0 - t, k2 = t;
        if (1.0 - d > eps) {
            const double theta = std::acos(d);
            const double sine = std::sin(theta);
            k1 = std::sin((1.0 - t) * theta) / sine;
            k2 = std::sin(t * theta) / sine;
        }
        result = Combine(*this, k1, q2, k2);
    } else {
        // Opposite quaternions: no unique great circle joins them, so the path runs through
        // a quaternion perpendicular to both, reached at t = 0.5, at constant speed.
        CQuaternion perpendicular;
        perpendicular.x = -y;
        perpendicular.y = x;
        perpendicular.z = -w;
        perpendicular.w = z;
        const double halfPi = kPi / 2.0;
        if (t <= 0.5)
            result = Combine(*this, std::cos(2.0 * t * halfPi), perpendicular,
                             std::sin(2.0 * t * halfPi));
        else
            result = Combine(perpendicular, std::cos((2.0 * t - 1.0) * halfPi), q2,
                             std::sin((2.0 * t - 1.0) * halfPi));
    }
    *this = result;
    return result;
}

CQuaternion CQuaternion::Lerp(const CQuaternion& q2, double t) const
{
    CQuaternion r = Combine(*this, 1.0 - t, q2, t);
    r.Normalize();
    return r;
}

void CQuaternion::RotatePoint(double& px, double& py, double& pz, const CQuaternion& q)
{
    Transform(q.ToMatrix4(), px, py, pz);
}

void CQuaternion::RotatePointNormalized(double& px, double& py, double& pz, const CQuaternion& q)
{
    Transform(q.Normalized().ToMatrix4(), px, py, pz);
}

void CQuaternion::RotatePoint(double& px, double& py, double& pz, double a, double b, double c)
{
    CMatrix4 m;
    m.SetRotationEuler(a, b, c);
    Transform(m, px, py, pz);
}

void CQuaternion::RotatePoint(double& px, double& py, double& pz, const double* abc)
{
    RotatePoint(px, py, pz, abc[0], abc[1], abc[2]);
}

void CQuaternion::RotatePointInverse(double& px, double& py, double& pz, const CQuaternion& q)
{
    TransformTransposed(q.ToMatrix4(), px, py, pz);
}

void CQuaternion::RotatePointInverseNormalized(double& px, double& py, double& pz,
                                               const CQuaternion& q)
{
    TransformTransposed(q.Normalized().ToMatrix4(), px, py, pz);
}

void CQuaternion::RotatePointInverse(double& px, double& py, double& pz, double a, double b,
                                     double c)
{
    CMatrix4 m;
    m.SetRotationEuler(a, b, c);
    TransformTransposed(m, px, py, pz);
}

void CQuaternion::RotatePointInverse(double& px, double& py, double& pz, const double* abc)
{
    RotatePointInverse(px, py, pz, abc[0], abc[1], abc[2]);
}

void ShadowMatrix(double* out16, const double* a4, const double* b4)
{
    const double d = a4[0] * b4[0] + a4[1] * b4[1] + a4[2] * b4[2] + a4[3] * b4[3];
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 4; ++k) out16[4 * i + k] = (i == k ? d : 0.0) - a4[i] * b4[k];
}

void PlaneFromPoints(double* out4, const double* p1, const double* p2, const double* p3)
{
    const double u[3] = {p2[0] - p1[0], p2[1] - p1[1], p2[2] - p1[2]};
    const double v[3] = {p3[0] - p1[0], p3[1] - p1[1], p3[2] - p1[2]};
    double n[3];
    vec3_cross(u, v, n);
    out4[0] = n[0];
    out4[1] = n[1];
    out4[2] = n[2];
    out4[3] = -vec3_dot(n, p1);
}
