#include "GLcanvas/quaternion.h"

#include "GLcanvas/arrayMath.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr unsigned kSeed = 20261207;
using Mat3 = std::array<double, 9>;

CQuaternion RandomRotation(std::mt19937_64& rng)
{
    std::normal_distribution<double> gauss(0.0, 1.0);
    return CQuaternion(gauss(rng), gauss(rng), gauss(rng), gauss(rng));
}

// Same rotation: q and -q are equal as orientations.
void ExpectSameRotation(const CQuaternion& a, const CQuaternion& b, double tolerance)
{
    const double sign = a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w < 0.0 ? -1.0 : 1.0;
    EXPECT_NEAR(a.x, sign * b.x, tolerance);
    EXPECT_NEAR(a.y, sign * b.y, tolerance);
    EXPECT_NEAR(a.z, sign * b.z, tolerance);
    EXPECT_NEAR(a.w, sign * b.w, tolerance);
}

Mat3 Matrix(const CQuaternion& q)
{
    Mat3 m{};
    q.ToMatrix3(m.data(), 3);
    return m;
}

void ExpectNear(const Mat3& a, const Mat3& b, double tolerance)
{
    for (int e = 0; e < 9; ++e) EXPECT_NEAR(a[e], b[e], tolerance) << "element " << e;
}

Mat3 Euler(const double* angles, int i, int j, int k)
{
    Mat3 m{};
    euler_to_matrix(angles, i, j, k, m.data(), 3);
    return m;
}

}  // namespace

TEST(QuaternionTest, ConstructorsStateTheirArrayOrder)
{
    EXPECT_EQ(CQuaternion(1, 0, 0, 0), CQuaternion());
    const double identityXYZW[4] = {0, 0, 0, 1};
    EXPECT_EQ(CQuaternion::FromXYZW(identityXYZW), CQuaternion());
    EXPECT_EQ(CQuaternion::FromXYZW(nullptr), CQuaternion());

    const double values[4] = {1, 2, 3, 4};
    const double n = std::sqrt(30.0);
    const CQuaternion wFirst = CQuaternion::FromWXYZ(values);
    EXPECT_NEAR(wFirst.w, 1 / n, 1e-15);
    EXPECT_NEAR(wFirst.x, 2 / n, 1e-15);
    EXPECT_NEAR(wFirst.z, 4 / n, 1e-15);
    const CQuaternion memberOrder = CQuaternion::FromXYZW(values);
    EXPECT_NEAR(memberOrder.x, 1 / n, 1e-15);
    EXPECT_NEAR(memberOrder.w, 4 / n, 1e-15);
    double out[4];
    wFirst.GetWXYZ(out);
    EXPECT_EQ(out[0], wFirst.w);
    EXPECT_EQ(out[3], wFirst.z);
}

TEST(QuaternionTest, EdgeValues)
{
    CQuaternion zero;
    zero.w = 0.0;
    EXPECT_EQ(zero.Normalized(), CQuaternion());
    zero.Normalize();
    EXPECT_EQ(zero, CQuaternion());

    CQuaternion identity;
    double axis[3], angle = -1.0;
    identity.GetAxisAngle(axis, angle);
    EXPECT_EQ(angle, 0.0);
    EXPECT_EQ(axis[0], 0.0);
    EXPECT_EQ(axis[1], 0.0);
    EXPECT_EQ(axis[2], 0.0);

    CQuaternion shortAxis;
    shortAxis.SetAxisAngle(0, 0, 1e-8, 1.0);
    EXPECT_EQ(shortAxis, CQuaternion());

    const double halfTurnX[9] = {1, 0, 0, 0, -1, 0, 0, 0, -1};
    CQuaternion q;
    q.FromMatrix3(halfTurnX, 3);
    EXPECT_EQ(q.x, 1.0);
    EXPECT_EQ(q.y, 0.0);
    EXPECT_EQ(q.z, 0.0);
    EXPECT_EQ(q.w, 0.0);

    CQuaternion almost = CQuaternion();
    almost.z = 1e-15;
    EXPECT_NE(almost, CQuaternion());  // comparison is exact
}

TEST(QuaternionTest, AxisAngleOfNearlyUnitQuaternionsIsNeverNaN)
{
    CQuaternion q;
    q.w = std::nextafter(1.0, 2.0);
    double xyza[4];
    q.GetAxisAngle(xyza);
    for (double v : xyza) EXPECT_TRUE(std::isfinite(v));
    EXPECT_EQ(xyza[3], 0.0);

    // Normalising a very small quaternion is inexact and can leave w above 1.
    CQuaternion tiny;
    tiny.w = 1e-160;
    tiny.GetAxisAngle(xyza);
    for (double v : xyza) EXPECT_TRUE(std::isfinite(v));
    EXPECT_EQ(xyza[3], 0.0);
}

TEST(QuaternionTest, RoundTripsThroughMatricesAndAxisAngle)
{
    std::mt19937_64 rng(kSeed);
    for (int trial = 0; trial < 500; ++trial) {
        SCOPED_TRACE(testing::Message() << "seed " << kSeed << " trial " << trial);
        const CQuaternion q = RandomRotation(rng);
        const Mat3 m = Matrix(q);
        CQuaternion fromMatrix;
        fromMatrix.FromMatrix3Normalized(m.data(), 3);
        ExpectSameRotation(fromMatrix, q, 1e-12);
        CQuaternion fromMatrix4;
        fromMatrix4.FromMatrix4(q.ToMatrix4());
        ExpectSameRotation(fromMatrix4.Normalized(), q, 1e-12);
        CQuaternion shoemake;
        shoemake.FromMatrix3Shoemake(m.data(), 3);
        ExpectSameRotation(shoemake.Normalized(), q.Conjugated(), 1e-12);

        CQuaternion copy = q;
        double axis[3], angle = 0.0;
        copy.GetAxisAngle(axis, angle);
        EXPECT_NEAR(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2], 1.0, 1e-9);
        // Rodrigues: the matrix of the axis and angle is the quaternion's matrix.
        const double c = std::cos(angle), s = std::sin(angle), t = 1 - c;
        const double x = axis[0], y = axis[1], z = axis[2];
        ExpectNear(
            m,
            {t * x * x + c, t * x * y - s * z, t * x * z + s * y, t * x * y + s * z, t * y * y + c,
             t * y * z - s * x, t * x * z - s * y, t * y * z + s * x, t * z * z + c},
            1e-9);
        CQuaternion back;
        back.SetAxisAngle(axis, angle);
        ExpectSameRotation(back, q, 1e-9);
    }
}

TEST(QuaternionTest, HalfTurnsSurviveTheMatrixRoundTrip)
{
    std::mt19937_64 rng(kSeed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    for (int trial = 0; trial < 300; ++trial) {
        CQuaternion q;
        q.SetAxisAngle(gauss(rng), gauss(rng), gauss(rng), kPi);
        CQuaternion back;
        back.FromMatrix3Normalized(Matrix(q).data(), 3);
        ExpectSameRotation(back, q, 1e-12);
    }
    // Between a quarter and a half turn the result keeps w > 0, as below a quarter turn.
    CQuaternion q;
    q.SetAxisAngle(1, 2, 3, 2.5);
    CQuaternion back;
    back.FromMatrix3(Matrix(q).data(), 3);
    EXPECT_NEAR(back.x, q.x, 1e-12);
    EXPECT_NEAR(back.y, q.y, 1e-12);
    EXPECT_NEAR(back.z, q.z, 1e-12);
    EXPECT_NEAR(back.w, q.w, 1e-12);
}

TEST(QuaternionTest, ProductComposesRotations)
{
    std::mt19937_64 rng(kSeed);
    for (int trial = 0; trial < 50; ++trial) {
        const CQuaternion p = RandomRotation(rng), q = RandomRotation(rng);
        Mat3 expected{};
        const Mat3 mp = Matrix(p), mq = Matrix(q);
        matrix_multiply(mp.data(), mq.data(), expected.data());
        ExpectNear(Matrix(p * q), expected, 1e-12);
        ExpectNear(Matrix(p * p.Inverse()), Matrix(CQuaternion()), 1e-12);
    }
}

TEST(QuaternionTest, RollPitchYaw)
{
    std::mt19937_64 rng(kSeed);
    std::uniform_real_distribution<double> angle(-kPi, kPi), pitch(-1.5, 1.5);
    for (int trial = 0; trial < 200; ++trial) {
        const double a = angle(rng), b = pitch(rng), c = angle(rng);
        CQuaternion q;
        q.SetEuler(a, b, c);
        // About X by a, then the fixed Y by b, then the fixed Z by c: R = Rz Ry Rx.
        const double zyx[3] = {c, b, a};
        ExpectNear(Matrix(q), Euler(zyx, 2, 1, 0), 1e-12);
        double abc[3];
        q.GetEuler(abc);
        EXPECT_NEAR(abc[0], a, 1e-9) << "seed " << kSeed << " trial " << trial;
        EXPECT_NEAR(abc[1], b, 1e-9);
        EXPECT_NEAR(abc[2], c, 1e-9);
    }
    double abc[3];
    CQuaternion up, down;
    up.SetEuler(0.5, kPi / 2.0, 0.2);
    up.GetEuler(abc);
    EXPECT_NEAR(abc[0], 0.3, 1e-6);
    EXPECT_NEAR(abc[1], kPi / 2.0, 1e-6);
    EXPECT_EQ(abc[2], 0.0);
    down.SetEuler(0.5, -kPi / 2.0, 0.2);
    down.GetEuler(abc);
    EXPECT_NEAR(abc[0], 0.7, 1e-6);
    EXPECT_NEAR(abc[1], -kPi / 2.0, 1e-6);

    CQuaternion small;
    small.SetEuler(1e-7, 0.0, 0.0);
    small.GetEuler(abc);
    EXPECT_EQ(abc[0], 0.0);
}

TEST(QuaternionTest, EulerConventionsOfAnOrientation)
{
    std::mt19937_64 rng(kSeed);
    for (int trial = 0; trial < 100; ++trial) {
        CQuaternion q = RandomRotation(rng);
        const Mat3 m = Matrix(q);
        double out[3];
        for (int second = 0; second < 2; ++second) {
            ASSERT_EQ(q.GetEulerAnglesYZX(out, second), 1);
            ExpectNear(Euler(out, 1, 2, 0), m, 1e-10);
            ASSERT_EQ(q.GetEulerAnglesXZY(out, second), 1);
            ExpectNear(Euler(out, 0, 2, 1), m, 1e-10);
            ASSERT_EQ(q.GetEulerAnglesXYZ(out, second), 1);
            ExpectNear(Euler(out, 0, 1, 2), m, 1e-10);
        }
        ASSERT_EQ(q.GetEulerXYZ(out), 1);
        ExpectNear(Euler(out, 0, 1, 2), m, 1e-10);

        double abc[3];
        q.GetEulerByMatrix(abc);
        CQuaternion back;
        back.SetEulerByMatrix(abc[0], abc[1], abc[2]);
        ExpectSameRotation(back.Normalized(), q, 1e-9);
    }
}

TEST(QuaternionTest, EulerXYZOfASingleAxisTurnKeepsItsSign)
{
    const double turns[3] = {-0.5, 0.3, -2.9};
    for (int axis = 0; axis < 3; ++axis) {
        double direction[3] = {0, 0, 0};
        direction[axis] = 1.0;
        for (double turn : turns) {
            CQuaternion q;
            q.SetAxisAngle(direction, turn);
            double out[3];
            ASSERT_EQ(q.GetEulerXYZ(out), 1);
            for (int i = 0; i < 3; ++i)
                EXPECT_NEAR(out[i], i == axis ? turn : 0.0, 1e-12) << "axis " << axis;
        }
    }
}

TEST(QuaternionTest, SlerpEndsAndOppositeInputs)
{
    CQuaternion p, q;
    p.SetAxisAngle(0, 0, 1, 0.2);
    q.SetAxisAngle(0, 0, 1, 1.4);
    CQuaternion start = p;
    EXPECT_EQ(start.Slerp(q, 0.0), p);
    EXPECT_EQ(start, p);
    CQuaternion end = p;
    const CQuaternion atEnd = end.Slerp(q, 1.0);
    ExpectSameRotation(atEnd, q, 1e-15);
    CQuaternion middle = p;
    const CQuaternion returned = middle.Slerp(q, 0.5);
    EXPECT_EQ(returned, middle);  // this holds the result too
    double axis[3], angle = 0.0;
    middle.GetAxisAngle(axis, angle);
    EXPECT_NEAR(angle, 0.8, 1e-12);

    // Opposite quaternions: a unit path through a perpendicular, ending at the second.
    CQuaternion a;
    a.SetAxisAngle(1, 2, 3, 0.9);
    CQuaternion minusA = a;
    minusA *= -1.0;
    for (int step = 0; step <= 10; ++step) {
        CQuaternion along = a;
        const CQuaternion r = along.Slerp(minusA, step / 10.0);
        EXPECT_NEAR(r.Length(), 1.0, 1e-12) << "step " << step;
        const double toA = r.x * a.x + r.y * a.y + r.z * a.z + r.w * a.w;
        EXPECT_NEAR(toA, std::cos(kPi * step / 10.0), 1e-12) << "step " << step;
    }
    CQuaternion last = a;
    last.Slerp(minusA, 1.0);
    EXPECT_NEAR(last.w, minusA.w, 1e-15);
    EXPECT_NEAR(last.x, minusA.x, 1e-15);

    const CQuaternion lerp = p.Lerp(q, 0.5);
    EXPECT_NEAR(lerp.Length(), 1.0, 1e-15);
}

TEST(QuaternionTest, LogIsTheInverseOfExp)
{
    std::mt19937_64 rng(kSeed);
    std::uniform_real_distribution<double> value(-1.5, 1.5);
    for (int trial = 0; trial < 100; ++trial) {
        CQuaternion v;
        v.x = value(rng);
        v.y = value(rng);
        v.z = value(rng);
        v.w = 0.0;
        const CQuaternion back = v.Exp().Log();
        EXPECT_NEAR(back.x, v.x, 1e-12) << "seed " << kSeed << " trial " << trial;
        EXPECT_NEAR(back.y, v.y, 1e-12);
        EXPECT_NEAR(back.z, v.z, 1e-12);
        EXPECT_NEAR(back.w, 0.0, 1e-12);
        const CQuaternion q = RandomRotation(rng);  // any sign of w
        const CQuaternion again = q.Log().Exp();
        EXPECT_NEAR(again.x, q.x, 1e-12);
        EXPECT_NEAR(again.w, q.w, 1e-12);
    }
    const CQuaternion logIdentity = CQuaternion().Log();
    EXPECT_EQ(logIdentity.x, 0.0);
    EXPECT_EQ(logIdentity.w, 0.0);
}

TEST(QuaternionTest, OrientationsFromFrames)
{
    const double primary[3] = {0, 2, 0}, secondary[3] = {-1, 0, 0};
    double wxyz[4] = {9, 9, 9, 9};
    ASSERT_EQ(CQuaternion::FromVectors(primary, secondary, wxyz), 1);
    const CQuaternion quarter = CQuaternion::FromWXYZ(wxyz);  // +X to +Y: a quarter turn about Z
    EXPECT_NEAR(quarter.w, std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(quarter.z, std::sqrt(0.5), 1e-15);

    const double from[3] = {1, 1, 1}, to[3] = {1, 1, 4};
    ASSERT_EQ(CQuaternion::FromDirection(from, to, wxyz, 2, 0), 1);
    double px = 0, py = 0, pz = 1;
    CQuaternion::RotatePoint(px, py, pz, CQuaternion::FromWXYZ(wxyz));
    EXPECT_NEAR(pz, 1.0, 1e-15);  // Z stays along the direction

    const double origin[3] = {0, 0, 0}, a[3] = {0, 0, 3}, b[3] = {0, 5, 0};
    ASSERT_EQ(CQuaternion::FromPoints(origin, a, b, wxyz, 0, 1), 1);
    px = 1, py = 0, pz = 0;
    CQuaternion::RotatePoint(px, py, pz, CQuaternion::FromWXYZ(wxyz));
    EXPECT_NEAR(pz, 1.0, 1e-15);

    double untouched[4] = {9, 9, 9, 9};
    EXPECT_EQ(CQuaternion::FromVectors(primary, primary, untouched), 0);
    EXPECT_EQ(CQuaternion::FromDirection(from, from, untouched, 2, 0), 0);
    EXPECT_EQ(CQuaternion::FromPoints(origin, a, b, untouched, 1, 1), 0);
    for (double v : untouched) EXPECT_EQ(v, 9.0);
}

TEST(QuaternionTest, RotatesPointsBothWays)
{
    CQuaternion q;
    q.SetAxisAngle(0, 0, 1, kPi / 2.0);
    double x = 1, y = 0, z = 0;
    CQuaternion::RotatePoint(x, y, z, q);
    EXPECT_NEAR(y, 1.0, 1e-15);
    CQuaternion::RotatePointInverse(x, y, z, q);
    EXPECT_NEAR(x, 1.0, 1e-15);
    EXPECT_NEAR(y, 0.0, 1e-15);

    CQuaternion unnormalised;
    unnormalised.z = q.z * 3;
    unnormalised.w = q.w * 3;
    x = 1, y = 0, z = 0;
    CQuaternion::RotatePointNormalized(x, y, z, unnormalised);
    EXPECT_NEAR(y, 1.0, 1e-15);
    CQuaternion::RotatePointInverseNormalized(x, y, z, unnormalised);
    EXPECT_NEAR(x, 1.0, 1e-15);

    const double abc[3] = {0.3, -0.4, 1.2};
    x = 0.5, y = -1, z = 2;
    CQuaternion::RotatePoint(x, y, z, abc);
    CQuaternion::RotatePointInverse(x, y, z, abc[0], abc[1], abc[2]);
    EXPECT_NEAR(x, 0.5, 1e-14);
    EXPECT_NEAR(y, -1.0, 1e-14);
    EXPECT_NEAR(z, 2.0, 1e-14);
}

TEST(QuaternionTest, ShadowMatrixFlattensOntoThePlane)
{
    const double p1[3] = {0, 0, 1}, p2[3] = {1, 0, 1}, p3[3] = {0, 1, 1};
    double plane[4];
    PlaneFromPoints(plane, p1, p2, p3);
    EXPECT_EQ(plane[0], 0.0);
    EXPECT_EQ(plane[2], 1.0);
    EXPECT_EQ(plane[3], -1.0);

    const double light[4] = {2, 3, 10, 1};
    double shadow[16];
    ShadowMatrix(shadow, plane, light);
    CMatrix4 m;
    for (int i = 0; i < 16; ++i) m.GetData()[i] = shadow[i];
    const double point[4] = {1, -1, 4, 1};
    double projected[4] = {0, 0, 0, 0};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) projected[r] += m[c][r] * point[c];
    EXPECT_NEAR(projected[2] / projected[3], 1.0, 1e-14);  // lands on z = 1
    // On the line from the light through the point.
    const double t = (light[2] - 1.0) / (light[2] - point[2]);
    EXPECT_NEAR(projected[0] / projected[3], light[0] + t * (point[0] - light[0]), 1e-14);
}
