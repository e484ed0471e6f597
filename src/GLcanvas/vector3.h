#pragma once

// A point or direction of the 3D display, in double precision; a plain value type that any
// thread may use on its own copies. Equality allows the process-wide math epsilon.
class CVector3 {
public:
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;

    CVector3() = default;
    CVector3(double vx, double vy, double vz) : x(vx), y(vy), z(vz) {}
    explicit CVector3(const double* v) : x(v[0]), y(v[1]), z(v[2]) {}

    void Clear() { x = y = z = 0.0; }
    void Set(double vx, double vy, double vz)
    {
        x = vx;
        y = vy;
        z = vz;
    }
    void Set(const double* v) { Set(v[0], v[1], v[2]); }

    double* GetData() { return &x; }
    const double* GetData() const { return &x; }
    void Get(double* v) const
    {
        v[0] = x;
        v[1] = y;
        v[2] = z;
    }
    void Get(double& vx, double& vy, double& vz) const
    {
        vx = x;
        vy = y;
        vz = z;
    }
    double& operator[](int i) { return (&x)[i]; }  // no range check
    double operator[](int i) const { return (&x)[i]; }

    CVector3 operator+(const CVector3& b) const { return {x + b.x, y + b.y, z + b.z}; }
    CVector3 operator-(const CVector3& b) const { return {x - b.x, y - b.y, z - b.z}; }
    CVector3& operator+=(const CVector3& b);
    CVector3& operator-=(const CVector3& b);
    CVector3 operator*(double s) const { return {x * s, y * s, z * s}; }
    CVector3 operator/(double s) const { return {x / s, y / s, z / s}; }
    CVector3& operator*=(double s);
    CVector3& operator/=(double s);
    CVector3 operator-() const { return {-x, -y, -z}; }
    double operator*(const CVector3& b) const { return x * b.x + y * b.y + z * b.z; }  // dot
    CVector3 Cross(const CVector3& b) const;

    double Length() const;
    double GetLength() const { return Length(); }
    double SquaredLength() const { return x * x + y * y + z * z; }
    // Copy of unit length; a zero vector stays zero.
    CVector3 Normalized() const;

    bool operator==(const CVector3& b) const;
    bool operator!=(const CVector3& b) const { return !(*this == b); }

    // Angle to b in [0, pi]; 0 when either vector has zero length.
    double Angle(const CVector3& b) const;
    // Radius, polar angle from +Z (never below 0.017 rad) and azimuth from +X.
    void ToSpherical(double& r, double& theta, double& phi) const;
    void FromSpherical(double r, double theta, double phi);
};

static_assert(sizeof(CVector3) == 3 * sizeof(double), "GetData hands out x, y, z as an array");
