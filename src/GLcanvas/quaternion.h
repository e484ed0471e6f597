#pragma once

#include "GLcanvas/matrix4.h"

// An orientation of the 3D display: x, y, z (vector part) and w, in that member order.
// Arrays from devices and the camera come w first; every operation that takes or gives
// an array says which order it uses. Operations marked "normalised" return unit values.
// A plain value type that any thread may use on its own copies; comparison is exact.
class CQuaternion {
public:
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    double w = 1.0;

    CQuaternion() = default;
    // w first; normalised.
    CQuaternion(double qw, double qx, double qy, double qz);
    // From an array in w, x, y, z order (tracker records, camera orientation); normalised.
    static CQuaternion FromWXYZ(const double* wxyz);
    // From an array in member order x, y, z, w; normalised. A null array gives the identity.
    static CQuaternion FromXYZW(const double* xyzw);

    void Set(double qw, double qx, double qy, double qz);  // normalised
    void SetWXYZ(const double* wxyz);                      // normalised
    void SetXYZW(const double* xyzw);                      // normalised
    void GetWXYZ(double* out) const;

    double Length() const;
    double SquaredLength() const { return x * x + y * y + z * z + w * w; }
    // Unit length; a zero quaternion becomes the identity.
    void Normalize();
    CQuaternion Normalized() const;

    bool operator==(const CQuaternion& q) const;
    bool operator!=(const CQuaternion& q) const { return !(*this == q); }

    CQuaternion operator*(const CQuaternion& q) const;  // Hamilton product, normalised
    CQuaternion& operator*=(const CQuaternion& q);      // this * q, not normalised
    CQuaternion operator*(double s) const;              // normalised, so a unit value stays
    CQuaternion& operator*=(double s);
    CQuaternion operator+(const CQuaternion& q) const;  // normalised
    CQuaternion operator-(const CQuaternion& q) const;  // normalised
    CQuaternion& operator+=(const CQuaternion& q);
    CQuaternion& operator-=(const CQuaternion& q);
    CQuaternion operator-() const;  // normalised

    CQuaternion Conjugated() const;  // normalised
    void Conjugate();
    CQuaternion Inverse() const;  // normalised
    void Invert();

    // Unit axis and angle in [0, 2 pi]; normalises this quaternion first. The identity
    // gives angle 0 and a zero axis.
    void GetAxisAngle(double& ax, double& ay, double& az, double& angle);
    void GetAxisAngle(double* xyza);
    void GetAxisAngle(double* axis, double& angle);
    // An axis of length 1e-7 or less gives the identity; normalised.
    void SetAxisAngle(double ax, double ay, double az, double angle);
    void SetAxisAngle(const double* axis, double angle);
    void SetAxisAngle(const CVector3& axis, double angle);

    // 3x3 rotation as a row-major array whose rows lie stride doubles apart.
    void ToMatrix3(double* m, int stride) const;
    void FromMatrix3(const double* m, int stride);  // not normalised
    void FromMatrix3Normalized(const double* m, int stride);
    // Converts the transposed matrix: the conjugate of FromMatrix3 for a rotation.
    void FromMatrix3Shoemake(const double* m, int stride);
    CMatrix4 ToMatrix4() const;
    void FromMatrix4(const CMatrix4& mat);  // rotation part only, not normalised

    // Roll a about X, then pitch b about the fixed Y, then yaw c about the fixed Z.
    void SetEuler(double a, double b, double c);  // normalised
    void SetEuler(const double* abc);
    void GetEuler(double* abc);  // normalises this quaternion first
    // X-Y-Z angles, R = Rx(a0) Ry(a1) Rz(a2); returns 1, 0 when the extraction fails.
    int GetEulerXYZ(double* abc);
    // Angles in the named axis order; second != 0 picks the second solution. Returns 1, or
    // 0 with out untouched.
    int GetEulerAnglesYZX(double* out, int second) const;
    int GetEulerAnglesXZY(double* out, int second) const;
    int GetEulerAnglesXYZ(double* out, int second) const;
    void GetEulerByMatrix(double* abc) const;
    void SetEulerByMatrix(double a, double b, double c);  // not normalised

    // Frames to orientations, written w first and normalised; 0 with out untouched when the
    // frame is refused (see frame_from_vectors).
    static int FromVectors(const double* primary, const double* secondary, double* wxyz);
    static int FromDirection(const double* from, const double* to, double* wxyz, int i, int j);
    static int FromPoints(const double* origin, const double* a, const double* b, double* wxyz,
                          int i, int j);

    // Exponential of the pure quaternion (x, y, z) (w is ignored), and its inverse: for a unit
    // quaternion Log gives (axis * angle / 2, 0), so Exp(Log(q)) == q.
    CQuaternion Exp() const;
    CQuaternion Log() const;
    // Spherical interpolation from this (t = 0) to q2 (t = 1), the long way when the dot
    // product is negative. This quaternion takes the result, which is also returned.
    CQuaternion Slerp(const CQuaternion& q2, double t);
    CQuaternion Lerp(const CQuaternion& q2, double t) const;  // normalised

    // Point replaced by R p (or R^T p for the inverse), R from q or from SetRotationEuler.
    static void RotatePoint(double& px, double& py, double& pz, const CQuaternion& q);
    static void RotatePointNormalized(double& px, double& py, double& pz, const CQuaternion& q);
    static void RotatePoint(double& px, double& py, double& pz, double a, double b, double c);
    static void RotatePoint(double& px, double& py, double& pz, const double* abc);
    static void RotatePointInverse(double& px, double& py, double& pz, const CQuaternion& q);
    static void RotatePointInverseNormalized(double& px, double& py, double& pz,
                                             const CQuaternion& q);
    static void RotatePointInverse(double& px, double& py, double& pz, double a, double b,
                                   double c);
    static void RotatePointInverse(double& px, double& py, double& pz, const double* abc);
};

// Column-major matrix that flattens geometry onto the plane a (A, B, C, D) as seen from the
// light b (x, y, z, w).
void ShadowMatrix(double* out16, const double* a4, const double* b4);
// Plane (n, -n . p1) through three points, n = (p2 - p1) x (p3 - p1) not normalised.
void PlaneFromPoints(double* out4, const double* p1, const double* p2, const double* p3);
