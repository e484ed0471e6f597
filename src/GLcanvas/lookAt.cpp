#include "GLcanvas/lookAt.h"

#include "GLcanvas/arrayMath.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kParallel = 1e-8;  // squared lengths below this count as zero

double NoTurn(double* axis)
{
    axis[0] = 1.0;
    axis[1] = axis[2] = 0.0;
    return 0.0;
}

}  // namespace

void quat_multiply(double* out, const double* p, const double* q)
{
    const double x = p[1] * q[2] - q[1] * p[2] + q[3] * p[0] + p[3] * q[0];
    const double y = q[0] * p[2] - p[0] * q[2] + q[3] * p[1] + p[3] * q[1];
    const double z = p[0] * q[1] - q[0] * p[1] + q[3] * p[2] + p[3] * q[2];
    const double w = p[3] * q[3] - (p[0] * q[0] + p[1] * q[1] + p[2] * q[2]);
    out[0] = x;
    out[1] = y;
    out[2] = z;
    out[3] = w;
}

void quat_from_axis_cos(double* out, const double* axis, double c)
{
    const double half = std::acos(std::min(1.0, std::max(-1.0, c))) / 2.0;
    const double s = std::sin(half);
    out[0] = axis[0] * s;
    out[1] = axis[1] * s;
    out[2] = axis[2] * s;
    out[3] = std::cos(half);
}

double LookAtToAxisAngle(const double* eye, const double* centre, const double* up, double* axis)
{
    const double toCentre[3] = {centre[0] - eye[0], centre[1] - eye[1], centre[2] - eye[2]};
    double f[3], u[3];
    if (vec3_unit(toCentre, f) == 0.0 || vec3_unit(up, u) == 0.0) return NoTurn(axis);
    const double along = vec3_dot(f, u);
    const double across[3] = {u[0] - f[0] * along, u[1] - f[1] * along, u[2] - f[2] * along};
    if (vec3_unit(across, u) == 0.0) return NoTurn(axis);

    // q1 turns -Z onto f.
    double q1[4] = {0.0, 0.0, 0.0, 1.0};
    const double planar = f[0] * f[0] + f[1] * f[1];
    if (planar >= kParallel) {
        const double root = std::sqrt(planar);
        const double a[3] = {f[1] / root, -f[0] / root, 0.0};
        quat_from_axis_cos(q1, a, -f[2]);
    } else if (f[2] > 0.0) {
        q1[1] = 1.0;  // looking along +Z: half turn about Y
        q1[3] = 0.0;
    }
    const double q1Conjugate[4] = {-q1[0], -q1[1], -q1[2], q1[3]};
    const double defaultUp[4] = {0.0, 1.0, 0.0, 0.0};
    double v[4];
    quat_multiply(v, q1, defaultUp);
    quat_multiply(v, v, q1Conjugate);

    // q2 turns v onto u about the view direction. Both are perpendicular to f, so when they
    // are opposite the half turn is about f itself, which keeps the view direction.
    double b[3];
    vec3_cross(v, u, b);
    if (vec3_dot(b, b) < kParallel) std::copy(f, f + 3, b);
    vec3_normalize(b);
    double q2[4], q[4];
    quat_from_axis_cos(q2, b, vec3_dot(u, v));
    quat_multiply(q, q2, q1);

    if (q[3] > 1.0) return NoTurn(axis);
    if (q[3] < -1.0) {
        NoTurn(axis);
        return 2.0 * kPi;
    }
    const double half = std::acos(q[3]);
    const double s = std::sin(half);
    if (std::fabs(s) < 1e-8) {
        NoTurn(axis);
    } else {
        axis[0] = q[0] / s;
        axis[1] = q[1] / s;
        axis[2] = q[2] / s;
    }
    return 2.0 * half;
}
