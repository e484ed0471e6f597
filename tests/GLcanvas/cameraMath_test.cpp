#include "GLcanvas/cameraMath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

void ExpectMatrixNear(const CMatrix4& m, const double (&rows)[16], double tolerance)
{
    CMatrix4 expected;
    expected.SetTransposed(rows);
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(m.GetData()[i], expected.GetData()[i], tolerance) << "element " << i;
}

}  // namespace

TEST(CameraMathTest, FrustumAndOrthoMatchTheHandComputedMatrices)
{
    CMatrix4 m;
    ASSERT_TRUE(FrustumMatrix(-0.1, 0.1, -0.1, 0.1, 0.1, 30.0, m));
    const double f[16] = {1,
                          0,
                          0,
                          0,  //
                          0,
                          1,
                          0,
                          0,  //
                          0,
                          0,
                          -30.1 / 29.9,
                          -6.0 / 29.9,  //
                          0,
                          0,
                          -1,
                          0};
    ExpectMatrixNear(m, f, 1e-12);

    const double h = 3.5355339059327378;
    ASSERT_TRUE(OrthoMatrix(-h, h, -h, h, -20 * h, 20 * h, m));
    const double o[16] = {1 / h, 0,     0,
                          0,  //
                          0,     1 / h, 0,
                          0,  //
                          0,     0,     -1 / (20 * h),
                          0,  //
                          0,     0,     0,
                          1};
    ExpectMatrixNear(m, o, 1e-12);
}

TEST(CameraMathTest, VolumesOpenGLRefusesAreRefusedAndLeaveTheOutputAlone)
{
    CMatrix4 m;
    m.Translate(1, 2, 3);
    const CMatrix4 before = m;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(FrustumMatrix(-1, 1, -1, 1, 0.0, 10, m));  // near must be above 0
    EXPECT_FALSE(FrustumMatrix(-1, 1, -1, 1, 1, 1, m));
    EXPECT_FALSE(FrustumMatrix(1, 1, -1, 1, 1, 10, m));
    EXPECT_FALSE(OrthoMatrix(-1, 1, 2, 2, -1, 1, m));
    EXPECT_FALSE(OrthoMatrix(-1, nan, -1, 1, -1, 1, m));
    for (int i = 0; i < 16; ++i) EXPECT_EQ(m.GetData()[i], before.GetData()[i]);
}

TEST(CameraMathTest, LookAtPutsTheCentreOnTheNegativeViewAxis)
{
    const CVector3 eye(1, -4, 2);
    const CVector3 centre(0.5, 1, -1);
    CVector3 f, s, u;
    ASSERT_TRUE(ViewFrame(centre - eye, CVector3(0, 0, 1), f, s, u));
    const CMatrix4 m = LookAtMatrix(eye, f, s, u);
    const CVector3 c = m.TransformPoint(centre);
    EXPECT_NEAR(c.x, 0.0, 1e-12);
    EXPECT_NEAR(c.y, 0.0, 1e-12);
    EXPECT_NEAR(c.z, -(centre - eye).Length(), 1e-12);
    const CVector3 e = m.TransformPoint(eye);
    EXPECT_NEAR(e.Length(), 0.0, 1e-12);
    // Up in the world shows up on screen.
    EXPECT_GT(m.TransformPoint(centre + CVector3(0, 0, 1)).y, 0.0);
}

TEST(CameraMathTest, ViewAlongUpStillGivesAnOrthonormalFrame)
{
    CVector3 f, s, u;
    ASSERT_TRUE(ViewFrame(CVector3(0, 0, -3), CVector3(0, 0, 1), f, s, u));
    EXPECT_NEAR(s.x, 1.0, 1e-12);  // the limit of a top view reached from the -y side
    EXPECT_NEAR(u.y, 1.0, 1e-12);
    ASSERT_TRUE(ViewFrame(CVector3(0, 0, 2), CVector3(0, 0, 1), f, s, u));
    EXPECT_NEAR(s.x, 1.0, 1e-12);
    EXPECT_NEAR(u.y, -1.0, 1e-12);
    // Close to the pole the regular frame is used and agrees with the fallback.
    ASSERT_TRUE(ViewFrame(CVector3(0, 0.005, -5), CVector3(0, 0, 1), f, s, u));
    EXPECT_NEAR(s.x, 1.0, 1e-9);
    EXPECT_NEAR(u.y, 1.0, 1e-5);

    CVector3 untouched(7, 7, 7);
    CVector3 s2 = untouched, u2 = untouched;
    EXPECT_FALSE(ViewFrame(CVector3(), CVector3(0, 0, 1), untouched, s2, u2));
    EXPECT_EQ(untouched, CVector3(7, 7, 7));
}

TEST(CameraMathTest, ProductAppliesTheRightFactorFirst)
{
    CMatrix4 t;
    t.Translate(1, 0, 0);
    CMatrix4 r;
    r.RotateZ(1.5707963267948966);
    // r . t: translate, then turn a quarter about z.
    const CVector3 p = MatrixProduct(r, t).TransformPoint(CVector3(0, 0, 0));
    EXPECT_NEAR(p.x, 0.0, 1e-12);
    EXPECT_NEAR(p.y, 1.0, 1e-12);
}
