#include "GLcanvas/matrix4.h"

#include "GLcanvas/arrayMath.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2.0 * kPi;
// Below this |cos b| the roll and yaw of GetEuler are no longer told apart.
constexpr double kGimbalCos = 0.005;

double IntoTurn(double angle)
{
    if (angle < 0.0) angle += kTwoPi;
    return angle == kTwoPi ? 0.0 : angle;
}

// Column c of the rotation part as three doubles.
inline double* Column(double* m, int c) { return m + 4 * c; }

void Normalise(CVector3& v)
{
    const double length = v.Length();
    if (length != 0.0) v /= length;
}

}  // namespace

void CMatrix4::SetIdentity()
{
    std::fill(m_m, m_m + 16, 0.0);
    m_m[0] = m_m[5] = m_m[10] = m_m[15] = 1.0;
}

void CMatrix4::Set(double m00, double m01, double m02, double m03, double m10, double m11,
                   double m12, double m13, double m20, double m21, double m22, double m23,
                   double m30, double m31, double m32, double m33)
{
    const double rows[16] = {m00, m01, m02, m03, m10, m11, m12, m13,
                             m20, m21, m22, m23, m30, m31, m32, m33};
    SetTransposed(rows);
}

void CMatrix4::SetTransposed(const double* a)
{
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) m_m[4 * c + r] = a[4 * r + c];
}

void CMatrix4::GetTransposed(double* a) const
{
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) a[4 * r + c] = m_m[4 * c + r];
}

void CMatrix4::SetAxis(int i, const CVector3& v) { v.Get(m_m + 4 * i); }

void CMatrix4::SetTranslation(const CVector3& v) { v.Get(m_m + 12); }

CMatrix4 CMatrix4::operator+(const CVector3& v) const
{
    CMatrix4 result(*this);
    result.Translate(v);
    return result;
}

CMatrix4 CMatrix4::operator-(const CVector3& v) const
{
    CMatrix4 result(*this);
    result.TranslateBack(v);
    return result;
}

void CMatrix4::Translate(const CVector3& v)
{
    m_m[12] += v.x;
    m_m[13] += v.y;
    m_m[14] += v.z;
}

void CMatrix4::TranslateBack(const CVector3& v)
{
    m_m[12] -= v.x;
    m_m[13] -= v.y;
    m_m[14] -= v.z;
}

void CMatrix4::ScaleTranslation(double s)
{
    for (int i = 12; i < 15; ++i) m_m[i] *= s;
}

void CMatrix4::ScaleBottomRow(const CVector3& v)
{
    m_m[3] *= v.x;
    m_m[7] *= v.y;
    m_m[11] *= v.z;
}

CMatrix4 CMatrix4::operator*(double s) const
{
    CMatrix4 result(*this);
    result *= s;
    return result;
}

CMatrix4 CMatrix4::operator/(double s) const
{
    CMatrix4 result(*this);
    result /= s;
    return result;
}

CMatrix4& CMatrix4::operator*=(double s)
{
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 3; ++r) m_m[4 * c + r] *= s;
    return *this;
}

CMatrix4& CMatrix4::operator/=(double s)
{
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 3; ++r) m_m[4 * c + r] /= s;
    return *this;
}

CMatrix4 CMatrix4::operator+(const CMatrix4& b) const
{
    CMatrix4 result;
    for (int i = 0; i < 16; ++i) result.m_m[i] = m_m[i] + b.m_m[i];
    return result;
}

CMatrix4 CMatrix4::operator-(const CMatrix4& b) const
{
    CMatrix4 result;
    for (int i = 0; i < 16; ++i) result.m_m[i] = m_m[i] - b.m_m[i];
    return result;
}

CMatrix4 CMatrix4::operator*(const CMatrix4& b) const
{
    CMatrix4 result;
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k) sum += m_m[4 * c + k] * b.m_m[4 * k + r];
            result.m_m[4 * c + r] = sum;
        }
    return result;
}

CMatrix4& CMatrix4::operator*=(const CMatrix4& b) { return *this = *this * b; }

CMatrix4 CMatrix4::operator/(const CMatrix4& b) const { return *this * b.RigidInverse(); }

CMatrix4& CMatrix4::operator/=(const CMatrix4& b) { return *this = *this / b; }

void CMatrix4::InvertRigid() { *this = RigidInverse(); }

CMatrix4 CMatrix4::RigidInverse() const
{
    CMatrix4 result(*this);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) result.m_m[4 * c + r] = m_m[4 * r + c];
    for (int i = 0; i < 3; ++i)
        result.m_m[12 + i] =
            -(m_m[4 * i] * m_m[12] + m_m[4 * i + 1] * m_m[13] + m_m[4 * i + 2] * m_m[14]);
    return result;
}

CVector3 CMatrix4::TransformPoint(const CVector3& p) const
{
    return {m_m[0] * p.x + m_m[4] * p.y + m_m[8] * p.z + m_m[12],
            m_m[1] * p.x + m_m[5] * p.y + m_m[9] * p.z + m_m[13],
            m_m[2] * p.x + m_m[6] * p.y + m_m[10] * p.z + m_m[14]};
}

double CMatrix4::TransformZ(double px, double py, double pz) const
{
    return m_m[2] * px + m_m[6] * py + m_m[10] * pz + m_m[14];
}

namespace {

// Turns components (p, q) of every rotation column: p' = c p - s q, q' = s p + c q.
void TurnRows(double* m, int p, int q, double angle)
{
    const double c = std::cos(angle), s = std::sin(angle);
    for (int col = 0; col < 3; ++col) {
        double* column = Column(m, col);
        const double vp = column[p], vq = column[q];
        column[p] = c * vp - s * vq;
        column[q] = s * vp + c * vq;
    }
}

// Mixes columns i and j: Ci' = c Ci + s Cj, Cj' = c Cj - s Ci.
void MixColumns(double* m, int i, int j, double angle)
{
    const double c = std::cos(angle), s = std::sin(angle);
    double* ci = Column(m, i);
    double* cj = Column(m, j);
    for (int r = 0; r < 3; ++r) {
        const double vi = ci[r], vj = cj[r];
        ci[r] = c * vi + s * vj;
        cj[r] = c * vj - s * vi;
    }
}

}  // namespace

void CMatrix4::RotateX(double angle) { TurnRows(m_m, 1, 2, angle); }
void CMatrix4::RotateY(double angle) { TurnRows(m_m, 2, 0, angle); }
void CMatrix4::RotateZ(double angle) { TurnRows(m_m, 0, 1, angle); }

void CMatrix4::Rotate(int axis, double angle)
{
    if (axis == 0) RotateX(angle);
    if (axis == 1) RotateY(angle);
    if (axis == 2) RotateZ(angle);
}

void CMatrix4::RotateLocalX(double angle) { MixColumns(m_m, 1, 2, angle); }
void CMatrix4::RotateLocalY(double angle) { MixColumns(m_m, 0, 2, angle); }
void CMatrix4::RotateLocalZ(double angle) { MixColumns(m_m, 0, 1, angle); }

void CMatrix4::RotateLocal(int axis, double angle)
{
    if (axis == 0) RotateLocalX(angle);
    if (axis == 1) RotateLocalY(angle);
    if (axis == 2) RotateLocalZ(angle);
}

void CMatrix4::NormalizeRotation()
{
    const double length = GetAxis(0).Length();
    *this /= length;
}

void CMatrix4::CopyRotation(const CMatrix4& b)
{
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 3; ++r) m_m[4 * c + r] = b.m_m[4 * c + r];
}

void CMatrix4::AlignAxis(int i, const CVector3& dir)
{
    if (i < 0 || i > 2) return;
    CVector3 d = dir;
    Normalise(d);
    CVector3 X = GetAxis(0), Y = GetAxis(1), Z = GetAxis(2);
    const double eps = math_epsilon();
    if (i == 0) {
        X = d;
        const CVector3 first = d.Cross(Y);
        if (first.Length() >= eps) {
            Z = first;
            Normalise(Z);
            Y = Z.Cross(d);
        } else {
            Y = Z.Cross(d);
            Normalise(Y);
            Z = d.Cross(Y);
        }
    } else if (i == 1) {
        Y = d;
        const CVector3 first = d.Cross(Z);
        if (first.Length() >= eps) {
            X = first;
            Normalise(X);
            Z = X.Cross(d);
        } else {
            Z = X.Cross(d);
            Normalise(Z);
            X = d.Cross(Z);
        }
    } else {
        Z = d;
        const CVector3 first = Y.Cross(d);
        if (first.Length() >= eps) {
            X = first;
            Normalise(X);
            Y = d.Cross(X);
        } else {
            Y = d.Cross(X);
            Normalise(Y);
            X = Y.Cross(d);
        }
    }
    SetAxis(0, X);
    SetAxis(1, Y);
    SetAxis(2, Z);
}

void CMatrix4::SetRotationEuler(double a, double b, double c)
{
    std::fill(m_m, m_m + 16, 0.0);
    m_m[15] = 1.0;
    const double sa = std::sin(a), ca = std::cos(a);
    const double sb = std::sin(b), cb = std::cos(b);
    const double sc = std::sin(c), cc = std::cos(c);
    Set(cb * cc, -cb * sc, sb, 0.0,                                     //
        sa * sb * cc + ca * sc, ca * cc - sa * sb * sc, -sa * cb, 0.0,  //
        sa * sc - ca * sb * cc, ca * sb * sc + sa * cc, ca * cb, 0.0,   //
        0.0, 0.0, 0.0, 1.0);
}

void CMatrix4::SetEuler(const CVector3& v)
{
    SetIdentity();
    SetRotationEuler(v.x, v.y, v.z);
}

void CMatrix4::GetEuler(double& a, double& b, double& c) const
{
    const double sinB = m_m[8];
    a = 0.0;
    if (sinB >= 1.0) {
        b = kPi / 2.0;
    } else if (sinB <= -1.0) {
        b = -kPi / 2.0;
    } else {
        b = std::asin(sinB);
        const double cosB = std::cos(b);
        if (std::fabs(cosB) > kGimbalCos) {
            a = std::atan2(-m_m[9] / cosB, m_m[10] / cosB);
            c = std::atan2(-m_m[4] / cosB, m_m[0] / cosB);
            a = IntoTurn(a);
            b = IntoTurn(b);
            c = IntoTurn(c);
            return;
        }
    }
    c = std::atan2(m_m[1], m_m[5]);
    b = IntoTurn(b);
    c = IntoTurn(c);
}

void CMatrix4::GetEuler(double* abc) const { GetEuler(abc[0], abc[1], abc[2]); }
