#include "GLcanvas/vector3.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {
constexpr double kPi = 3.141592653589793;
constexpr unsigned kSeed = 20261207;
}  // namespace

TEST(Vector3Test, EqualityAllowsTheMathEpsilonAndZeroStaysZero)
{
    EXPECT_EQ(CVector3().Normalized(), CVector3());
    EXPECT_NEAR(CVector3(0, 0, -7).Normalized().z, -1.0, 1e-15);
    const CVector3 a(1, 2, 3);
    EXPECT_TRUE(a == CVector3(1 + 1e-9, 2 - 1e-9, 3 + 1e-9));
    EXPECT_TRUE(a != CVector3(1, 2, 3 + 1e-7));
}

TEST(Vector3Test, AngleOfParallelVectorsIsNeverNaN)
{
    std::mt19937_64 rng(kSeed);
    std::uniform_real_distribution<double> value(-10.0, 10.0);
    std::uniform_real_distribution<double> scale(0.1, 5.0);
    int roundedAboveOne = 0;
    for (int trial = 0; trial < 2000; ++trial) {
        const CVector3 a(value(rng), value(rng), value(rng));
        const double k = scale(rng);
        const CVector3 same = a * k;
        const double quotient = (a * same) / (a.Length() * same.Length());
        roundedAboveOne += quotient > 1.0;
        const double angle = a.Angle(same);
        ASSERT_TRUE(std::isfinite(angle)) << "seed " << kSeed << " trial " << trial;
        EXPECT_NEAR(angle, 0.0, 1e-7);
        EXPECT_NEAR(a.Angle(-same), kPi, 1e-7);
    }
    EXPECT_GT(roundedAboveOne, 0);  // the case the clamp is for did occur
    EXPECT_EQ(CVector3().Angle(CVector3(1, 0, 0)), 0.0);
    EXPECT_NEAR(CVector3(1, 0, 0).Angle(CVector3(0, 2, 0)), kPi / 2.0, 1e-15);
}

TEST(Vector3Test, SphericalCoordinates)
{
    double r = 0, theta = 0, phi = 0;
    CVector3(0, 0, 5).ToSpherical(r, theta, phi);
    EXPECT_EQ(r, 5.0);
    EXPECT_EQ(theta, 0.017);
    EXPECT_EQ(phi, 0.0);
    CVector3(0, -2, 0).ToSpherical(r, theta, phi);
    EXPECT_DOUBLE_EQ(phi, -kPi / 2.0);
    CVector3().ToSpherical(r, theta, phi);
    EXPECT_EQ(r, 0.0);
    EXPECT_EQ(theta, 0.0);

    const CVector3 p(1.5, -2.0, 0.7);
    p.ToSpherical(r, theta, phi);
    CVector3 back;
    back.FromSpherical(r, theta, phi);
    EXPECT_NEAR(back.x, p.x, 1e-12);
    EXPECT_NEAR(back.y, p.y, 1e-12);
    EXPECT_NEAR(back.z, p.z, 1e-12);
}
