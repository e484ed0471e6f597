#include "GLcanvas/matrix4.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr unsigned kSeed = 20261207;

void ExpectNear(const CMatrix4& a, const CMatrix4& b, double tolerance)
{
    for (int e = 0; e < 16; ++e) EXPECT_NEAR(a.GetData()[e], b.GetData()[e], tolerance) << e;
}

}  // namespace

TEST(Matrix4Test, LayoutIsColumnMajor)
{
    CMatrix4 m;
    m.Set(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
    EXPECT_EQ(m.GetData()[1], 5.0);   // row 1, column 0
    EXPECT_EQ(m.GetData()[12], 4.0);  // row 0, column 3: translation x
    EXPECT_EQ(m[2][1], 7.0);          // column 2, row 1
    double rows[16];
    m.GetTransposed(rows);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(rows[i], i + 1.0);

    const CMatrix4 identity;
    EXPECT_EQ(identity.GetData()[0], 1.0);
    EXPECT_EQ(identity.GetData()[15], 1.0);
    EXPECT_EQ(identity.GetData()[4], 0.0);
}

TEST(Matrix4Test, ProductAppliesTheLeftOperandFirst)
{
    CMatrix4 turn, move;
    turn.RotateZ(kPi / 2.0);
    move.SetTranslation(CVector3(1, 0, 0));
    const CVector3 p = (turn * move).TransformPoint(CVector3(1, 0, 0));
    EXPECT_NEAR(p.x, 1.0, 1e-15);  // turned to (0, 1, 0), then moved
    EXPECT_NEAR(p.y, 1.0, 1e-15);

    CMatrix4 rigid;
    rigid.SetRotationEuler(0.3, -0.7, 1.2);
    rigid.SetTranslation(CVector3(2, -1, 5));
    ExpectNear(rigid * rigid.RigidInverse(), CMatrix4(), 1e-14);
    ExpectNear(rigid / rigid, CMatrix4(), 1e-14);
    CMatrix4 inverted = rigid;
    inverted.InvertRigid();
    const CVector3 q = inverted.TransformPoint(rigid.TransformPoint(CVector3(0.5, 0.25, -3)));
    EXPECT_NEAR(q.x, 0.5, 1e-14);
    EXPECT_NEAR(q.z, -3.0, 1e-14);
}

TEST(Matrix4Test, ScalarsScaleOnlyTheRotationPart)
{
    CMatrix4 m;
    m.Set(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
    const CMatrix4 doubled = m * 2.0;
    EXPECT_EQ(doubled.GetData()[0], 2.0);
    EXPECT_EQ(doubled.GetData()[12], 4.0);
    EXPECT_EQ(doubled.GetData()[3], 13.0);
    EXPECT_EQ(doubled.GetData()[15], 16.0);
    m.Translate(CVector3(1, 1, 1));
    m.TranslateBack(CVector3(0, 2, 0));
    EXPECT_EQ(m.GetTranslation(), CVector3(5, 7, 13));
}

TEST(Matrix4Test, FixedAndLocalTurns)
{
    const double a = 0.4;
    CMatrix4 fixed, euler;
    fixed.RotateY(a);
    euler.SetRotationEuler(0, a, 0);
    ExpectNear(fixed, euler, 1e-15);

    // RotateLocalY(a) multiplies by Rot_Y(-a) on the right.
    CMatrix4 start;
    start.SetRotationEuler(0.2, 0.5, -0.3);
    CMatrix4 local = start, right;
    local.RotateLocalY(a);
    right.SetRotationEuler(0, -a, 0);
    ExpectNear(local, right * start, 1e-14);  // right applied first: start . Rot
    CMatrix4 localX = start, rightX;
    localX.RotateLocalX(a);
    rightX.RotateX(a);
    ExpectNear(localX, rightX * start, 1e-14);
}

TEST(Matrix4Test, EulerAnglesOfAMatrix)
{
    double a, b, c;
    CMatrix4().GetEuler(a, b, c);
    EXPECT_EQ(a, 0.0);
    EXPECT_EQ(b, 0.0);
    EXPECT_EQ(c, 0.0);
    CMatrix4 turn;
    turn.RotateX(-0.1);
    turn.GetEuler(a, b, c);
    EXPECT_NEAR(a, 2.0 * kPi - 0.1, 1e-14);

    CMatrix4 moved;
    moved.SetTranslation(CVector3(1, 2, 3));
    moved.SetRotationEuler(0.1, 0.2, 0.3);
    EXPECT_EQ(moved.GetTranslation(), CVector3());

    std::mt19937_64 rng(kSeed);
    std::uniform_real_distribution<double> angle(-kPi, kPi), pitch(-1.5, 1.5);
    for (int trial = 0; trial < 100; ++trial) {
        CMatrix4 m, back;
        m.SetRotationEuler(angle(rng), pitch(rng), angle(rng));
        double abc[3];
        m.GetEuler(abc);
        for (double v : abc) {
            EXPECT_GE(v, 0.0);
            EXPECT_LT(v, 2.0 * kPi);
        }
        back.SetRotationEuler(abc[0], abc[1], abc[2]);
        ExpectNear(back, m, 1e-12);
    }
}

TEST(Matrix4Test, AlignAxisKeepsARightHandedFrame)
{
    for (int i = 0; i < 3; ++i) {
        CMatrix4 m;
        m.SetRotationEuler(0.3, 0.2, 0.1);
        m.SetTranslation(CVector3(4, 5, 6));
        // The second direction lies along the hint axis of the first try, forcing the fallback.
        const CVector3 directions[2] = {CVector3(1, -2, 0.5), m.GetAxis(i == 1 ? 2 : 1) * 3.0};
        for (const CVector3& dir : directions) {
            CMatrix4 aligned = m;
            aligned.AlignAxis(i, dir);
            const CVector3 x = aligned.GetAxis(0), y = aligned.GetAxis(1), z = aligned.GetAxis(2);
            EXPECT_TRUE(aligned.GetAxis(i) == dir.Normalized()) << "axis " << i;
            EXPECT_NEAR(x.Length(), 1.0, 1e-12);
            EXPECT_NEAR(y.Length(), 1.0, 1e-12);
            EXPECT_TRUE(x.Cross(y) == z) << "axis " << i;
            EXPECT_EQ(aligned.GetTranslation(), CVector3(4, 5, 6));
        }
    }
}
