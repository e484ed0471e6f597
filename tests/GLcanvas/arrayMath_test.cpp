#include "GLcanvas/arrayMath.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr unsigned kSeed = 20261207;
using Mat3 = std::array<double, 9>;

Mat3 Euler(const double* angles, int i, int j, int k)
{
    Mat3 m{};
    EXPECT_EQ(euler_to_matrix(angles, i, j, k, m.data(), 3), 1);
    return m;
}

Mat3 Product(const Mat3& a, const Mat3& b)
{
    Mat3 p{};
    matrix_multiply(a.data(), b.data(), p.data());
    return p;
}

Mat3 Axis(int axis, double angle)
{
    Mat3 m{};
    EXPECT_EQ(axis_rotation_matrix(axis, angle, m.data(), 3), 1);
    return m;
}

void ExpectNear(const Mat3& a, const Mat3& b, double tolerance, const char* what)
{
    for (int e = 0; e < 9; ++e) EXPECT_NEAR(a[e], b[e], tolerance) << what << " element " << e;
}

bool AllFinite(const double* v, int n)
{
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(v[i])) return false;
    return true;
}

}  // namespace

TEST(AxisRotationTest, BuildsTheColumnVectorRotationsAndRefusesBadAxes)
{
    const Mat3 rz = Axis(2, 0.3);
    ExpectNear(rz, {std::cos(0.3), -std::sin(0.3), 0, std::sin(0.3), std::cos(0.3), 0, 0, 0, 1},
               1e-15, "R_Z");
    const Mat3 ry = Axis(1, 0.3);
    ExpectNear(ry, {std::cos(0.3), 0, std::sin(0.3), 0, 1, 0, -std::sin(0.3), 0, std::cos(0.3)},
               1e-15, "R_Y");

    // Axis 3 is the identity in a stride-4 array, leaving the fourth column alone.
    std::array<double, 12> wide;
    wide.fill(7.0);
    EXPECT_EQ(axis_rotation_matrix(3, 1.0, wide.data(), 4), 1);
    const std::array<double, 12> identity = {1, 0, 0, 7, 0, 1, 0, 7, 0, 0, 1, 7};
    EXPECT_EQ(wide, identity);

    Mat3 untouched;
    untouched.fill(5.0);
    EXPECT_EQ(axis_rotation_matrix(4, 1.0, untouched.data(), 3), 0);
    EXPECT_EQ(axis_rotation_matrix(-1, 1.0, untouched.data(), 3), 0);
    for (double v : untouched) EXPECT_EQ(v, 5.0);
}

TEST(EulerConventionTest, RefusesRepeatedAndNegativeAxes)
{
    const double angles[3] = {0.1, 0.2, 0.3};
    Mat3 m;
    m.fill(5.0);
    double first[3] = {9, 9, 9}, second[3] = {9, 9, 9};
    EXPECT_EQ(euler_to_matrix(angles, 0, 1, 1, m.data(), 3), 0);
    EXPECT_EQ(euler_to_matrix(angles, 0, 0, 1, m.data(), 3), 0);
    EXPECT_EQ(euler_to_matrix(angles, 3, 1, 0, m.data(), 3), 0);
    EXPECT_EQ(euler_to_matrix(angles, -1, 1, 2, m.data(), 3), 0);
    EXPECT_EQ(euler_to_matrix(angles, 0, -2, 1, m.data(), 3), 0);
    EXPECT_EQ(matrix_to_euler(m.data(), 3, 0, 1, -1, first, second), 0);
    EXPECT_EQ(matrix_to_euler(m.data(), 3, -3, 1, 0, first, second), 0);
    for (double v : m) EXPECT_EQ(v, 5.0);
    EXPECT_EQ(first[0], 9.0);
    EXPECT_EQ(second[2], 9.0);

    // X-Y-X is a valid symmetric convention.
    const Mat3 xyx = Euler(angles, 0, 1, 0);
    ExpectNear(xyx, Product(Product(Axis(0, 0.1), Axis(1, 0.2)), Axis(0, 0.3)), 1e-15, "X-Y-X");
}

TEST(EulerConventionTest, MatchesTheWrittenXYZFormulaAndWorkedValues)
{
    const double a[3] = {0.3, 0.4, 0.5};
    const double s0 = std::sin(a[0]), c0 = std::cos(a[0]), s1 = std::sin(a[1]), c1 = std::cos(a[1]),
                 s2 = std::sin(a[2]), c2 = std::cos(a[2]);
    ExpectNear(Euler(a, 0, 1, 2),
               {c1 * c2, -c1 * s2, s1, s0 * s1 * c2 + c0 * s2, c0 * c2 - s0 * s1 * s2, -s0 * c1,
                s0 * s2 - c0 * s1 * c2, c0 * s1 * s2 + s0 * c2, c0 * c1},
               1e-15, "X-Y-Z");

    const Mat3 m = Euler(a, 0, 1, 2);
    double first[3], second[3];
    ASSERT_EQ(matrix_to_euler(m.data(), 3, 0, 1, 2, first, second), 1);
    EXPECT_NEAR(first[0], 0.3, 1e-12);
    EXPECT_NEAR(first[1], 0.4, 1e-12);
    EXPECT_NEAR(first[2], 0.5, 1e-12);
    EXPECT_NEAR(second[0], 0.3 - kPi, 1e-12);
    EXPECT_NEAR(second[1], kPi - 0.4, 1e-12);
    EXPECT_NEAR(second[2], 0.5 - kPi, 1e-12);

    const Mat3 identity = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    ASSERT_EQ(matrix_to_euler(identity.data(), 3, 0, 1, 2, first, second), 1);
    EXPECT_EQ(first[0], 0.0);
    EXPECT_EQ(first[1], 0.0);
    EXPECT_EQ(first[2], 0.0);
    EXPECT_NEAR(second[1], -kPi, 1e-15);
    // The second triple is a real solution too, not just a middle angle.
    ExpectNear(Euler(second, 0, 1, 2), identity, 1e-12, "identity, second solution");
}

// angles -> matrix -> both solutions -> matrix, for every convention.
TEST(EulerConventionTest, RoundTripsAllTwelveConventionsBothSolutions)
{
    std::mt19937_64 rng(kSeed);
    std::uniform_real_distribution<double> angle(-kPi, kPi);
    for (int convention = 0; convention < 12; ++convention) {
        int i = 0, j = 0, k = 0;
        euler_convention_axes(convention, &i, &j, &k);
        for (int trial = 0; trial < 200; ++trial) {
            const double angles[3] = {angle(rng), angle(rng), angle(rng)};
            const Mat3 m = Euler(angles, i, j, k);
            double first[3], second[3];
            ASSERT_EQ(matrix_to_euler(m.data(), 3, i, j, k, first, second), 1);
            SCOPED_TRACE(testing::Message()
                         << "seed " << kSeed << " convention " << convention << " trial " << trial);
            ExpectNear(Euler(first, i, j, k), m, 1e-10, "first");
            ExpectNear(Euler(second, i, j, k), m, 1e-10, "second");
            // Angles in the principal range come back as they were.
            const bool isPrincipal = i == k ? angles[1] > 0.0 : std::fabs(angles[1]) < kPi / 2.0;
            if (isPrincipal) {
                for (int a = 0; a < 3; ++a) EXPECT_NEAR(first[a], angles[a], 1e-8);
            }
        }
    }
}

TEST(EulerConventionTest, GimbalLockAndRightAnglesStayExact)
{
    for (int convention = 0; convention < 12; ++convention) {
        int i = 0, j = 0, k = 0;
        euler_convention_axes(convention, &i, &j, &k);
        // Middle angle at the lock: +-pi/2 for three axes, 0 or pi for symmetric triples.
        const double locks[2] = {i == k ? 0.0 : kPi / 2.0, i == k ? kPi : -kPi / 2.0};
        for (double lock : locks) {
            const double angles[3] = {0.7, lock, -0.4};
            const Mat3 m = Euler(angles, i, j, k);
            double first[3], second[3];
            ASSERT_EQ(matrix_to_euler(m.data(), 3, i, j, k, first, second), 1);
            SCOPED_TRACE(testing::Message() << "convention " << convention << " lock " << lock);
            EXPECT_EQ(first[0], 0.0);
            ExpectNear(Euler(first, i, j, k), m, 1e-10, "first");
            ExpectNear(Euler(second, i, j, k), m, 1e-10, "second");
        }
    }
    // A first angle of exactly pi/2 away from the lock is kept, not read as 0.
    const double angles[3] = {kPi / 2.0, 0.3, 0.2};
    const Mat3 m = Euler(angles, 0, 1, 2);
    double first[3], second[3];
    ASSERT_EQ(matrix_to_euler(m.data(), 3, 0, 1, 2, first, second), 1);
    EXPECT_NEAR(first[0], kPi / 2.0, 1e-12);
    ExpectNear(Euler(second, 0, 1, 2), m, 1e-12, "second");
}

TEST(EulerConventionTest, DiagonalRoundedAboveOneGivesNoNaN)
{
    const double above = std::nextafter(1.0, 2.0);
    for (int i = 0; i < 3; ++i) {
        Mat3 m = {1, 0, 0, 0, 1, 0, 0, 0, 1};
        m[4 * i] = above;
        const int j = (i + 1) % 3;
        double first[3], second[3];
        ASSERT_EQ(matrix_to_euler(m.data(), 3, i, j, i, first, second), 1);
        EXPECT_TRUE(AllFinite(first, 3)) << "axis " << i;
        EXPECT_TRUE(AllFinite(second, 3)) << "axis " << i;
        EXPECT_EQ(first[1], 0.0);
    }
}

TEST(FrameTest, BuildsRightHandedFramesAndRefusesDegenerateInput)
{
    std::mt19937_64 rng(kSeed);
    std::uniform_real_distribution<double> component(-2.0, 2.0);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            if (i == j) continue;
            const int k = 3 - i - j;
            const double primary[3] = {component(rng), component(rng), component(rng)};
            const double secondary[3] = {component(rng), component(rng), component(rng)};
            Mat3 m{};
            ASSERT_EQ(frame_from_vectors(primary, secondary, i, j, m.data(), 3), 1);
            double ei[3], ej[3], ek[3], unit[3], cross[3];
            for (int r = 0; r < 3; ++r) {
                ei[r] = m[3 * r + i];
                ej[r] = m[3 * r + j];
                ek[r] = m[3 * r + k];
            }
            vec3_unit(primary, unit);
            for (int r = 0; r < 3; ++r) EXPECT_NEAR(ei[r], unit[r], 1e-12);
            EXPECT_NEAR(vec3_dot(ej, ej), 1.0, 1e-12);
            EXPECT_NEAR(vec3_dot(ei, ej), 0.0, 1e-12);
            EXPECT_NEAR(vec3_dot(ek, secondary), 0.0, 1e-12);  // secondary in the (i, j) plane
            EXPECT_GT(vec3_dot(ej, secondary), 0.0);
            // Right-handed: the 3x3 block is a rotation (X x Y = Z).
            const double x[3] = {m[0], m[3], m[6]}, y[3] = {m[1], m[4], m[7]};
            vec3_cross(x, y, cross);
            for (int r = 0; r < 3; ++r) EXPECT_NEAR(cross[r], m[3 * r + 2], 1e-12);
        }

    const double along[3] = {1, 2, 3}, twice[3] = {2, 4, 6}, zero[3] = {0, 0, 0};
    Mat3 m;
    m.fill(5.0);
    EXPECT_EQ(frame_from_vectors(along, twice, 0, 1, m.data(), 3), 0);
    EXPECT_EQ(frame_from_vectors(zero, along, 0, 1, m.data(), 3), 0);
    EXPECT_EQ(frame_from_vectors(along, twice, 1, 1, m.data(), 3), 0);
    EXPECT_EQ(frame_from_vectors(along, zero, -1, 1, m.data(), 3), 0);
    EXPECT_EQ(frame_from_points(zero, along, twice, 0, 3, m.data(), 3), 0);
    for (double v : m) EXPECT_EQ(v, 5.0);

    // Fixed forms: Z along p - origin, then Y (or X) towards q.
    const double origin[3] = {1, 1, 1}, p[3] = {1, 1, 3}, q[3] = {1, 4, 1};
    ASSERT_EQ(frame_from_points_zy(p, origin, q, m.data()), 1);
    ExpectNear(m, {1, 0, 0, 0, 1, 0, 0, 0, 1}, 1e-15, "zy");
    const double qx[3] = {5, 1, 1};
    ASSERT_EQ(frame_from_points_zx(p, origin, qx, m.data()), 1);
    ExpectNear(m, {1, 0, 0, 0, 1, 0, 0, 0, 1}, 1e-15, "zx");
}

TEST(FrameTest, VectorHelpersKeepTheirEdgeValues)
{
    const double tiny[3] = {1e-9, 0, 0};
    double out[3] = {9, 9, 9};
    EXPECT_EQ(vec3_unit(tiny, out), 0.0);
    EXPECT_EQ(out[0], 0.0);
    EXPECT_EQ(out[1], 0.0);
    EXPECT_EQ(out[2], 0.0);

    double zero[3] = {0, 0, 0};
    vec3_normalize(zero);
    EXPECT_EQ(zero[0], 0.0);

    const double up[3] = {0, 0, 1};
    double u[3], v[3];
    perpendicular_vectors(u, v, up);
    EXPECT_EQ(u[0], 0.0);
    EXPECT_EQ(u[1], -1.0);
    EXPECT_EQ(u[2], 0.0);
    EXPECT_EQ(v[0], 1.0);
    EXPECT_EQ(v[1], 0.0);
    EXPECT_EQ(v[2], 0.0);
    const double slanted[3] = {0.6, 0.0, 0.8};
    perpendicular_vectors(u, v, slanted);
    EXPECT_NEAR(vec3_dot(u, slanted), 0.0, 1e-15);
    EXPECT_NEAR(vec3_dot(v, slanted), 0.0, 1e-15);
    EXPECT_NEAR(vec3_dot(u, v), 0.0, 1e-15);
    perpendicular_vectors(u, v, zero);  // no direction: zeros, not NaN
    EXPECT_TRUE(AllFinite(u, 3) && AllFinite(v, 3));
}

TEST(FrameTest, EulerAnglesOfVectorsAndPoints)
{
    // A frame turned by known X-Y-Z angles, described by its X and Y axes.
    const double angles[3] = {0.2, -0.5, 1.1};
    const Mat3 m = Euler(angles, 0, 1, 2);
    const double origin[3] = {1, -2, 0.5};
    const double xAxis[3] = {m[0], m[3], m[6]}, yAxis[3] = {m[1], m[4], m[7]};
    const double p[3] = {origin[0] + 2 * xAxis[0], origin[1] + 2 * xAxis[1],
                         origin[2] + 2 * xAxis[2]};
    const double q[3] = {origin[0] + xAxis[0] + 3 * yAxis[0], origin[1] + xAxis[1] + 3 * yAxis[1],
                         origin[2] + xAxis[2] + 3 * yAxis[2]};
    double out[3];
    ASSERT_EQ(euler_from_vectors(xAxis, yAxis, out), 1);
    for (int a = 0; a < 3; ++a) EXPECT_NEAR(out[a], angles[a], 1e-12);
    ASSERT_EQ(euler_from_points(origin, p, q, out, 0, 1, 0), 1);
    for (int a = 0; a < 3; ++a) EXPECT_NEAR(out[a], angles[a], 1e-12);

    // Each numbered convention describes the same frame.
    for (int convention = 0; convention < 13; ++convention) {
        int i = 0, j = 0, k = 0;
        euler_convention_axes(convention, &i, &j, &k);
        for (int second = 0; second < 2; ++second) {
            ASSERT_EQ(euler_from_points(origin, p, q, out, 0, 1, second, convention), 1);
            ExpectNear(Euler(out, i, j, k), m, 1e-12, "numbered convention");
        }
    }

    const double zero[3] = {0, 0, 0};
    out[0] = out[1] = out[2] = 9.0;
    EXPECT_EQ(euler_from_vectors(zero, yAxis, out), 0);
    EXPECT_EQ(out[0], 0.0);
    EXPECT_EQ(out[2], 0.0);
    out[1] = 9.0;
    EXPECT_EQ(euler_from_points(origin, origin, q, out, 0, 1, 0, 6), 0);
    EXPECT_EQ(out[1], 0.0);
}

TEST(FrameTest, RotateEulerTurnsInTheFramesOwnAxes)
{
    double angles[3] = {0.3, -0.2, 0.9};
    const Mat3 before = Euler(angles, 0, 1, 2);
    ASSERT_EQ(rotate_euler(angles, 0.1, 0.4, -0.6), 1);
    const Mat3 expected =
        Product(Product(Product(before, Axis(0, 0.1)), Axis(1, 0.4)), Axis(2, -0.6));
    ExpectNear(Euler(angles, 0, 1, 2), expected, 1e-12, "rotate_euler");
}

TEST(AngleUnwrapTest, DefaultsFollowAWrapAcrossPi)
{
    reset_angle_unwrap();
    double a[3] = {3.1, 0.5, -3.0};
    unwrap_angles(a);  // the first triple passes unchanged
    EXPECT_EQ(a[0], 3.1);
    EXPECT_EQ(a[1], 0.5);
    EXPECT_EQ(a[2], -3.0);
    double b[3] = {-3.1, 1.5, 3.0};  // two wraps and a real move of 1 rad
    unwrap_angles(b);
    EXPECT_NEAR(b[0], 2.0 * kPi - 3.1, 1e-12);
    EXPECT_EQ(b[1], 1.5);
    EXPECT_NEAR(b[2], 3.0 - 2.0 * kPi, 1e-12);
    double c[3] = {-3.0, 1.6, 2.9};  // small moves keep the offsets
    unwrap_angles(c);
    EXPECT_NEAR(c[0], 2.0 * kPi - 3.0, 1e-12);
    EXPECT_EQ(c[1], 1.6);
    EXPECT_NEAR(c[2], 2.9 - 2.0 * kPi, 1e-12);
}

TEST(AngleUnwrapTest, ResetSetsAnyThresholdAndStep)
{
    reset_angle_unwrap(1.57, kPi);
    double a[3] = {3.1, 0.0, 0.0};
    unwrap_angles(a);
    double b[3] = {-3.1, 1.0, 0.0};
    unwrap_angles(b);
    EXPECT_NEAR(b[0], -3.1 + 3.0 * kPi, 1e-12);  // trunc(6.2 / 1.57) = 3 steps
    EXPECT_EQ(b[1], 1.0);

    reset_angle_unwrap(0.0, 1.0);  // no threshold: no unwrapping, no division by zero
    double c[3] = {1.0, 1.0, 1.0}, d[3] = {-1.0, 2.0, 3.0};
    unwrap_angles(c);
    unwrap_angles(d);
    EXPECT_EQ(d[0], -1.0);
    reset_angle_unwrap();
}

TEST(GaussJordanTest, InvertsKnownMatrices)
{
    const double a2[4] = {4, 7, 2, 6};
    double inv2[4];
    ASSERT_EQ(invert_matrix(a2, inv2, 2), 2);
    const double expected2[4] = {0.6, -0.7, -0.2, 0.4};
    for (int e = 0; e < 4; ++e) EXPECT_NEAR(inv2[e], expected2[e], 1e-14);

    // 4x4 Hilbert matrix: the inverse has integer entries.
    double hilbert[16];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) hilbert[4 * r + c] = 1.0 / (r + c + 1);
    const double hilbertInverse[16] = {16,  -120,  240,  -140,  -120, 1200, -2700, 1680,
                                       240, -2700, 6480, -4200, -140, 1680, -4200, 2800};
    double inv4[16];
    ASSERT_EQ(invert_matrix(hilbert, inv4, 4), 4);
    for (int e = 0; e < 16; ++e) EXPECT_NEAR(inv4[e], hilbertInverse[e], 1e-8) << e;

    const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    double inv3[9];
    ASSERT_EQ(invert_matrix(identity, inv3, 3), 3);
    for (int e = 0; e < 9; ++e) EXPECT_EQ(inv3[e], identity[e]);

    // Random matrices: A * inverse(A) is the identity.
    std::mt19937_64 rng(kSeed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    const int n = 6;
    std::vector<double> a(n * n), inverse(n * n), product(n * n);
    for (double& v : a) v = value(rng);
    ASSERT_EQ(invert_matrix(a.data(), inverse.data(), n), n);
    matrix_multiply(a.data(), inverse.data(), product.data(), n, n, n);
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c)
            EXPECT_NEAR(product[n * r + c], r == c ? 1.0 : 0.0, 1e-10) << "seed " << kSeed;
}

TEST(GaussJordanTest, SolvesAndReportsRank)
{
    const double a[9] = {2, 1, -1, -3, -1, 2, -2, 1, 2};
    const double b[3] = {8, -11, -3};
    double x[3];
    ASSERT_EQ(solve_linear(a, b, x, 3), 3);
    EXPECT_NEAR(x[0], 2.0, 1e-12);
    EXPECT_NEAR(x[1], 3.0, 1e-12);
    EXPECT_NEAR(x[2], -1.0, 1e-12);

    double singular[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    int perm[3], rank = -1;
    double pivot = 0.0;
    ASSERT_EQ(gauss_jordan(singular, 3, 3, 3, 3, 0, perm, rank, pivot, nullptr), 1);
    EXPECT_EQ(rank, 2);
    const double singularCopy[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    double inverse[9];
    EXPECT_EQ(invert_matrix(singularCopy, inverse, 3), 2);
}

TEST(GaussJordanTest, RefusesBadSizesBeforeAllocating)
{
    const double a[1] = {1.0}, b[1] = {1.0};
    double x[1] = {7.0};
    EXPECT_EQ(solve_linear(a, b, x, -1), 0);
    EXPECT_EQ(solve_linear(a, b, x, 0), 0);
    EXPECT_EQ(invert_matrix(a, x, -5), 0);
    EXPECT_EQ(x[0], 7.0);
    double rows[1] = {1.0};
    double* rowPointers[1] = {rows};
    EXPECT_EQ(least_squares_qr(-3, -3, rowPointers, x), 1);
    int perm[1];
    int rank = 9;
    double pivot = 0.0;
    double work[2] = {1.0, 1.0};
    EXPECT_EQ(gauss_jordan(work, 1, 2, 1, -1, 1, perm, rank, pivot, nullptr), 0);
    EXPECT_EQ(rank, 0);
}

TEST(GaussJordanTest, SkipListIsCappedAndNamesOriginalColumns)
{
    // x0 + x1 + x2 = 6, x1 = 2, with x0 kept out of the pivots: x0 is a free unknown (0).
    double a[2 * 4] = {1, 1, 1, 6, 0, 1, 0, 2};
    int perm[3], rank = 0;
    double pivot = 0.0;
    // Three entries and no terminator: the walk stops at n entries (the 7 is never read
    // as a column). Repeats of column 0 reserve it once.
    const int unterminated[4] = {0, 0, 0, 7};
    ASSERT_EQ(gauss_jordan(a, 2, 4, 2, 3, 1, perm, rank, pivot, unterminated), 1);
    EXPECT_EQ(rank, 2);
    EXPECT_EQ(perm[2], 0);  // the reserved column sits last
    double x[3] = {0, 0, 0};
    for (int s = 0; s < rank; ++s) x[perm[s]] = a[4 * s + 3];
    EXPECT_NEAR(x[1], 2.0, 1e-14);
    EXPECT_NEAR(x[2], 4.0, 1e-14);

    // Reserving 0 and then 2: column 2 must still be found after 0 took its place.
    double c[3 * 4] = {1, 1, 1, 6, 0, 1, 0, 2, 1, 0, 2, 7};
    const int skip[3] = {0, 2, -1};
    ASSERT_EQ(gauss_jordan(c, 3, 4, 3, 3, 1, perm, rank, pivot, skip), 1);
    EXPECT_EQ(rank, 1);
    EXPECT_EQ(perm[0], 1);  // only x1 is pivoted
    const int outOfRange[2] = {3, -1};
    EXPECT_EQ(gauss_jordan(c, 3, 4, 3, 3, 1, perm, rank, pivot, outOfRange), 0);
}

TEST(LeastSquaresTest, FitsAnOverdeterminedLine)
{
    // y = a + b t through noisy points; compare with the normal equations.
    std::mt19937_64 rng(kSeed);
    std::normal_distribution<double> noise(0.0, 0.05);
    const int m = 20;
    std::vector<double> storage(m * 2), b(m);
    std::vector<double*> rows(m);
    double ata[4] = {0, 0, 0, 0}, atb[2] = {0, 0};
    for (int i = 0; i < m; ++i) {
        const double t = 0.25 * i;
        rows[i] = &storage[2 * i];
        rows[i][0] = 1.0;
        rows[i][1] = t;
        b[i] = 1.5 - 0.8 * t + noise(rng);
        ata[0] += 1.0;
        ata[1] += t;
        ata[2] += t;
        ata[3] += t * t;
        atb[0] += b[i];
        atb[1] += t * b[i];
    }
    double normal[2];
    ASSERT_EQ(solve_linear(ata, atb, normal, 2), 2);
    ASSERT_EQ(least_squares_qr(m, 2, rows.data(), b.data()), 0);
    EXPECT_NEAR(b[0], normal[0], 1e-10) << "seed " << kSeed;
    EXPECT_NEAR(b[1], normal[1], 1e-10) << "seed " << kSeed;
    EXPECT_NEAR(b[0], 1.5, 0.1);
    EXPECT_NEAR(b[1], -0.8, 0.05);

    // An exact square system is solved exactly.
    double r0[3] = {2, 1, -1}, r1[3] = {-3, -1, 2}, r2[3] = {-2, 1, 2};
    double* square[3] = {r0, r1, r2};
    double rhs[3] = {8, -11, -3};
    ASSERT_EQ(least_squares_qr(3, 3, square, rhs), 0);
    EXPECT_NEAR(rhs[0], 2.0, 1e-12);
    EXPECT_NEAR(rhs[1], 3.0, 1e-12);
    EXPECT_NEAR(rhs[2], -1.0, 1e-12);
}

TEST(LeastSquaresTest, ReportsBadShapesZeroColumnsAndRankDeficiency)
{
    double r0[3] = {1, 2, 3}, r1[3] = {4, 5, 6};
    double* wide[2] = {r0, r1};
    double b[3] = {1, 2, 3};
    EXPECT_EQ(least_squares_qr(2, 3, wide, b), 1);

    double z0[2] = {0, 1}, z1[2] = {0, 2}, z2[2] = {0, 3};
    double* zeroColumn[3] = {z0, z1, z2};
    EXPECT_EQ(least_squares_qr(3, 2, zeroColumn, b), 2);

    // The second column is 3 times the first: after the first reflection it is rounding
    // noise, which must not be solved as if it were data.
    std::mt19937_64 rng(kSeed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    int deficient = 0;
    for (int trial = 0; trial < 20; ++trial) {
        double d[5][2], rhs[5];
        double* rows[5];
        for (int i = 0; i < 5; ++i) {
            d[i][0] = value(rng);
            d[i][1] = 3.0 * d[i][0];
            rhs[i] = value(rng);
            rows[i] = d[i];
        }
        const int result = least_squares_qr(5, 2, rows, rhs);
        EXPECT_NE(result, 0) << "seed " << kSeed << " trial " << trial;
        deficient += result == 3;
    }
    EXPECT_GT(deficient, 0);
}

// The tolerance and the unwrap history are process-wide: concurrent use must not race.
TEST(ArrayMathThreads, SharedValuesSurviveConcurrentCallers)
{
    reset_angle_unwrap();
    auto work = [] {
        for (int n = 0; n < 2000; ++n) {
            double angles[3] = {n % 2 ? 3.1 : -3.1, 0.1, 0.2};
            unwrap_angles(angles);
            const double primary[3] = {1, 2, 3}, secondary[3] = {0, 1, 0};
            double frame[9];
            EXPECT_EQ(frame_from_vectors(primary, secondary, 0, 1, frame, 3), 1);
        }
    };
    std::thread first(work), second(work);
    for (int n = 0; n < 2000; ++n) set_math_epsilon(1e-8);
    first.join();
    second.join();
    double angles[3] = {0.0, 0.1, 0.2};
    unwrap_angles(angles);
    EXPECT_TRUE(AllFinite(angles, 3));
    reset_angle_unwrap();
}
