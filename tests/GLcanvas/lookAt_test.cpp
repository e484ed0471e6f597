#include "GLcanvas/lookAt.h"

#include "GLcanvas/quaternion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr unsigned kSeed = 20261207;

void ExpectAxisAngle(const double* eye, const double* centre, const double* up, double angle,
                     double ax, double ay, double az)
{
    double axis[3];
    EXPECT_NEAR(LookAtToAxisAngle(eye, centre, up, axis), angle, 1e-12);
    EXPECT_NEAR(axis[0], ax, 1e-12);
    EXPECT_NEAR(axis[1], ay, 1e-12);
    EXPECT_NEAR(axis[2], az, 1e-12);
}

// The view the rotation of the look-at gives: where -Z and +Y go.
void Turned(const double* eye, const double* centre, const double* up, double* forward,
            double* upward)
{
    double axis[3];
    const double angle = LookAtToAxisAngle(eye, centre, up, axis);
    CQuaternion q;
    q.SetAxisAngle(axis, angle);
    forward[0] = 0, forward[1] = 0, forward[2] = -1;
    upward[0] = 0, upward[1] = 1, upward[2] = 0;
    CQuaternion::RotatePoint(forward[0], forward[1], forward[2], q);
    CQuaternion::RotatePoint(upward[0], upward[1], upward[2], q);
}

}  // namespace

TEST(LookAtTest, WorkedViews)
{
    const double eye[3] = {0, 0, 0}, yUp[3] = {0, 1, 0}, xUp[3] = {1, 0, 0};
    const double ahead[3] = {0, 0, -1}, behind[3] = {0, 0, 1}, right[3] = {1, 0, 0};
    ExpectAxisAngle(eye, ahead, yUp, 0.0, 1, 0, 0);
    ExpectAxisAngle(eye, behind, yUp, kPi, 0, 1, 0);
    ExpectAxisAngle(eye, right, yUp, kPi / 2.0, 0, -1, 0);
    ExpectAxisAngle(eye, ahead, xUp, kPi / 2.0, 0, 0, -1);
}

TEST(LookAtTest, RandomViewsTurnTheDefaultViewOntoThem)
{
    std::mt19937_64 rng(kSeed);
    std::uniform_real_distribution<double> value(-3.0, 3.0);
    for (int trial = 0; trial < 200; ++trial) {
        const double eye[3] = {value(rng), value(rng), value(rng)};
        const double centre[3] = {value(rng), value(rng), value(rng)};
        const double up[3] = {value(rng), value(rng), value(rng)};
        double forward[3], upward[3];
        Turned(eye, centre, up, forward, upward);
        const CVector3 f = (CVector3(centre) - CVector3(eye)).Normalized();
        const CVector3 u = (CVector3(up) - f * (f * CVector3(up))).Normalized();
        SCOPED_TRACE(testing::Message() << "seed " << kSeed << " trial " << trial);
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(forward[i], f[i], 1e-9);
            EXPECT_NEAR(upward[i], u[i], 1e-9);
        }
    }
}

TEST(LookAtTest, UpOppositeTheDefaultKeepsTheViewDirection)
{
    const double eye[3] = {0, 0, 0}, centre[3] = {1, 0, 0}, down[3] = {0, -1, 0};
    double forward[3], upward[3];
    Turned(eye, centre, down, forward, upward);
    EXPECT_NEAR(forward[0], 1.0, 1e-12);
    EXPECT_NEAR(upward[1], -1.0, 1e-12);
}

TEST(LookAtTest, ViewsThatCannotBeFormedGiveNoTurn)
{
    const double eye[3] = {1, 2, 3}, centre[3] = {1, 2, 5}, up[3] = {0, 1, 0};
    const double zero[3] = {0, 0, 0}, alongView[3] = {0, 0, 7};
    double axis[3];
    for (const double* bad : {eye, zero, alongView}) {
        axis[0] = axis[1] = axis[2] = 9.0;
        const double angle = bad == eye ? LookAtToAxisAngle(eye, eye, up, axis)
                                        : LookAtToAxisAngle(eye, centre, bad, axis);
        EXPECT_EQ(angle, 0.0);
        EXPECT_EQ(axis[0], 1.0);
        EXPECT_EQ(axis[1], 0.0);
        EXPECT_EQ(axis[2], 0.0);
    }

    double q[4];
    quat_from_axis_cos(q, up, 1.0 + 1e-15);  // cosine rounded above 1
    EXPECT_EQ(q[3], 1.0);
    const double p[4] = {0, 0, std::sqrt(0.5), std::sqrt(0.5)};
    quat_multiply(q, p, p);  // two quarter turns about Z
    EXPECT_NEAR(q[2], 1.0, 1e-15);
    EXPECT_NEAR(q[3], 0.0, 1e-15);
}
