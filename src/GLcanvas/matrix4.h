#pragma once

#include "GLcanvas/vector3.h"

// A 4x4 transform of the 3D display in the element order OpenGL's matrix calls take:
// column-major (row r, column c is element 4c + r), rotation in elements 0-2, 4-6, 8-10,
// translation in 12-14. Matrices act on column vectors. A plain value type that any thread
// may use on its own copies.
class CMatrix4 {
public:
    CMatrix4() { SetIdentity(); }

    void SetIdentity();
    // Sixteen values row by row, stored column-major.
    void Set(double m00, double m01, double m02, double m03, double m10, double m11, double m12,
             double m13, double m20, double m21, double m22, double m23, double m30, double m31,
             double m32, double m33);
    // Exchange with row-major arrays of sixteen doubles.
    void SetTransposed(const double* a);
    void GetTransposed(double* a) const;

    double* GetData() { return m_m; }
    const double* GetData() const { return m_m; }
    double* operator[](int c) { return m_m + 4 * c; }  // column c
    const double* operator[](int c) const { return m_m + 4 * c; }

    CVector3 GetAxis(int i) const { return CVector3(m_m + 4 * i); }
    void SetAxis(int i, const CVector3& v);
    CVector3 GetTranslation() const { return CVector3(m_m + 12); }
    const double* GetTranslationData() const { return m_m + 12; }
    void SetTranslation(const CVector3& v);
    void SetTranslation(int i, double value) { m_m[12 + i] = value; }

    CMatrix4 operator+(const CVector3& v) const;  // translated copies
    CMatrix4 operator-(const CVector3& v) const;
    void Translate(const CVector3& v);
    void Translate(double dx, double dy, double dz) { Translate(CVector3(dx, dy, dz)); }
    void TranslateBack(const CVector3& v);
    void ScaleTranslation(double s);
    void ScaleBottomRow(const CVector3& v);
    void ScaleBottomRow(int i, double s) { m_m[4 * i + 3] *= s; }

    // Scalar operators scale the 3x3 rotation part only.
    CMatrix4 operator*(double s) const;
    CMatrix4 operator/(double s) const;
    CMatrix4& operator*=(double s);
    CMatrix4& operator/=(double s);

    CMatrix4 operator+(const CMatrix4& b) const;
    CMatrix4 operator-(const CMatrix4& b) const;
    // a * b applies a first and b after it (b * a in column-vector terms).
    CMatrix4 operator*(const CMatrix4& b) const;
    CMatrix4& operator*=(const CMatrix4& b);
    // Product with the rigid inverse of b.
    CMatrix4 operator/(const CMatrix4& b) const;
    CMatrix4& operator/=(const CMatrix4& b);

    // Inverse of a rotation-plus-translation matrix (orthonormality is not checked).
    void InvertRigid();
    CMatrix4 RigidInverse() const;

    CVector3 TransformPoint(const CVector3& p) const;
    double TransformZ(double px, double py, double pz) const;

    // Turns in fixed axes: the 3x3 part R becomes Rot * R.
    void RotateX(double angle);
    void RotateY(double angle);
    void RotateZ(double angle);
    void Rotate(int axis, double angle);  // axis 0, 1, 2; others do nothing
    // Turns in the matrix's own axes; RotateLocalY turns the other way from RotateY.
    void RotateLocalX(double angle);
    void RotateLocalY(double angle);
    void RotateLocalZ(double angle);
    void RotateLocal(int axis, double angle);

    // Divides the 3x3 part by the length of its first column.
    void NormalizeRotation();
    void CopyRotation(const CMatrix4& b);
    // Makes column i (0..2) the unit direction and re-orthonormalises the others.
    void AlignAxis(int i, const CVector3& dir);

    // Clears the matrix (translation too) and writes R = Rx(a) * Ry(b) * Rz(c).
    void SetRotationEuler(double a, double b, double c);
    void SetEuler(const CVector3& v);
    // Inverse of SetRotationEuler with each angle in [0, 2 pi).
    void GetEuler(double& a, double& b, double& c) const;
    void GetEuler(double* abc) const;

private:
    double m_m[16];
};
