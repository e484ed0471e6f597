#include "GLcanvas/arrayMath.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <limits>
#include <mutex>
#include <exception>
#include <vector>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2.0 * kPi;
// Rounding unit of double, 2^-52, and the elimination tolerance factor built on it.
constexpr double kMachineUnit = std::numeric_limits<double>::epsilon();
constexpr double kEliminationFactor = 5.0 * kMachineUnit;
constexpr double kRankTolerance = 2.0 * kMachineUnit;  // 2^-51
// A wrap of a raw angle in (-pi, pi] is a jump of about 2 pi; half of that tells it from
// real motion between two samples.
constexpr double kDefaultUnwrapThreshold = kPi;
constexpr double kDefaultUnwrapStep = kTwoPi;

std::atomic<double> g_mathEpsilon{1e-8};

// The unwrap filter's history; the mutex only keeps concurrent callers from tearing it.
struct UnwrapState {
    std::mutex mutex;
    double threshold = kDefaultUnwrapThreshold;
    double step = kDefaultUnwrapStep;
    double previous[3] = {0.0, 0.0, 0.0};
    double offset[3] = {0.0, 0.0, 0.0};
};

UnwrapState& Unwrap()
{
    static UnwrapState state;
    return state;
}

inline double& At(double* a, int stride, int r, int c)
{
    return a[static_cast<std::size_t>(r) * static_cast<std::size_t>(stride) +
             static_cast<std::size_t>(c)];
}

inline double At(const double* a, int stride, int r, int c)
{
    return a[static_cast<std::size_t>(r) * static_cast<std::size_t>(stride) +
             static_cast<std::size_t>(c)];
}

inline bool IsAxis(int i) { return i >= 0 && i <= 2; }

inline bool IsCyclic(int i, int j) { return (j - i + 3) % 3 == 1; }

inline double Clamp1(double v) { return std::min(1.0, std::max(-1.0, v)); }

bool IsValidTriple(int i, int j, int k)
{
    return IsAxis(i) && IsAxis(j) && IsAxis(k) && i != j && j != k;
}

// Three-axis conventions (i != k). Near gimbal lock (cos a1 about 0) only a0 + a2 or
// a2 - a0 is defined; a0 is then 0 and a2 is read from row j, which R_j leaves alone.
void ThreeAxisEuler(const double* a, int stride, int i, int j, int k, double* first, double* second)
{
    const double sigma = IsCyclic(i, j) ? 1.0 : -1.0;
    const double eps = math_epsilon();
    const double g = Clamp1(sigma * At(a, stride, i, k));
    const double middle = std::fabs(g) <= eps ? 0.0 : std::asin(g);
    const double otherMiddle = std::fmod(kTwoPi - middle, kTwoPi) - kPi;  // pi - middle
    const double cosMiddle = std::hypot(At(a, stride, j, k), At(a, stride, k, k));
    if (cosMiddle <= eps) {
        const double last = std::atan2(sigma * At(a, stride, j, i), At(a, stride, j, j));
        first[0] = 0.0;
        first[1] = middle;
        first[2] = last;
        second[0] = 0.0;
        second[1] = otherMiddle;
        second[2] = last;
        return;
    }
    first[0] = std::atan2(-sigma * At(a, stride, j, k), At(a, stride, k, k));
    first[1] = middle;
    first[2] = std::atan2(-sigma * At(a, stride, i, j), At(a, stride, i, i));
    second[0] = std::atan2(sigma * At(a, stride, j, k), -At(a, stride, k, k));
    second[1] = otherMiddle;
    second[2] = std::atan2(sigma * At(a, stride, i, j), -At(a, stride, i, i));
}

// Symmetric conventions (i == k), h the axis used by neither. Near gimbal lock (sin a1
// about 0) a0 is 0 and a2 is read from row j.
void SymmetricEuler(const double* a, int stride, int i, int j, double* first, double* second)
{
    const int h = 3 - i - j;
    const double sigma = IsCyclic(i, j) ? 1.0 : -1.0;
    // Rounding can put a diagonal element of a rotation a little above 1.
    const double middle = std::acos(Clamp1(At(a, stride, i, i)));
    const double sinMiddle = std::hypot(At(a, stride, j, i), At(a, stride, h, i));
    if (sinMiddle <= math_epsilon()) {
        const double last = std::atan2(-sigma * At(a, stride, j, h), At(a, stride, j, j));
        first[0] = 0.0;
        first[1] = middle;
        first[2] = last;
        second[0] = 0.0;
        second[1] = -middle;
        second[2] = last;
        return;
    }
    first[0] = std::atan2(At(a, stride, j, i), -sigma * At(a, stride, h, i));
    first[1] = middle;
    first[2] = std::atan2(At(a, stride, i, j), sigma * At(a, stride, i, h));
    second[0] = std::atan2(-At(a, stride, j, i), sigma * At(a, stride, h, i));
    second[1] = -middle;
    second[2] = std::atan2(-At(a, stride, i, j), -sigma * At(a, stride, i, h));
}

void SwapRows(double* a, int stride, int r1, int r2, int cols)
{
    for (int c = 0; c < cols; ++c) std::swap(At(a, stride, r1, c), At(a, stride, r2, c));
}

// Largest Euclidean column norm of the m x n system, the scale for rank decisions.
double LargestColumnNorm(int m, int n, const double* const* rows)
{
    double largest = 0.0;
    for (int j = 0; j < n; ++j) {
        double sum = 0.0;
        for (int i = 0; i < m; ++i) sum += rows[i][j] * rows[i][j];
        largest = std::max(largest, sum);
    }
    return std::sqrt(largest);
}

}  // namespace

void set_math_epsilon(double eps) { g_mathEpsilon.store(eps, std::memory_order_relaxed); }

double math_epsilon() { return g_mathEpsilon.load(std::memory_order_relaxed); }

double vec3_dot(const double* a, const double* b)
{
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

void vec3_cross(const double* a, const double* b, double* out)
{
    const double x = a[1] * b[2] - a[2] * b[1];
    const double y = a[2] * b[0] - a[0] * b[2];
    const double z = a[0] * b[1] - a[1] * b[0];
    out[0] = x;
    out[1] = y;
    out[2] = z;
}

void vec3_normalize(double* v)
{
    const double length = std::sqrt(vec3_dot(v, v));
    if (length == 0.0) return;
    v[0] /= length;
    v[1] /= length;
    v[2] /= length;
}

double vec3_unit(const double* v, double* out)
{
    const double length = std::sqrt(vec3_dot(v, v));
    if (length <= math_epsilon()) {
        out[0] = out[1] = out[2] = 0.0;
        return 0.0;
    }
    out[0] = v[0] / length;
    out[1] = v[1] / length;
    out[2] = v[2] / length;
    return length;
}

void matrix_zero(double* a, int rows, int cols)
{
    if (rows < 1 || cols < 1) return;
    std::fill(a, a + static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols), 0.0);
}

void matrix_multiply(const double* A, const double* B, double* P, int r, int n, int c)
{
    if (r < 1 || c < 1) return;
    if (n < 1) {
        matrix_zero(P, r, c);
        return;
    }
    for (int row = 0; row < r; ++row)
        for (int col = 0; col < c; ++col) {
            double sum = 0.0;
            for (int t = 0; t < n; ++t) sum += At(A, n, row, t) * At(B, c, t, col);
            At(P, c, row, col) = sum;
        }
}

void matrix_multiply(const double* A, const double* B, double* P)
{
    matrix_multiply(A, B, P, 3, 3, 3);
}

void swap_columns(double* a, int stride, int rows, int c1, int c2, int* perm)
{
    if (c1 == c2) return;
    for (int r = 0; r < rows; ++r) std::swap(At(a, stride, r, c1), At(a, stride, r, c2));
    if (perm) std::swap(perm[c1], perm[c2]);
}

int axis_rotation_matrix(int axis, double angle, double* a, int stride)
{
    if (!a || axis < 0 || axis > 3 || stride < 3) return 0;
    if (axis == 3) {
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) At(a, stride, r, c) = r == c ? 1.0 : 0.0;
        return 1;
    }
    const int j = (axis + 1) % 3;
    const int k = (axis + 2) % 3;
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    At(a, stride, axis, axis) = 1.0;
    At(a, stride, axis, j) = At(a, stride, axis, k) = 0.0;
    At(a, stride, j, axis) = At(a, stride, k, axis) = 0.0;
    At(a, stride, j, j) = c;
    At(a, stride, j, k) = -s;
    At(a, stride, k, j) = s;
    At(a, stride, k, k) = c;
    return 1;
}

int euler_to_matrix(const double* angles, int i, int j, int k, double* a, int stride)
{
    if (!angles || !a || stride < 3 || !IsValidTriple(i, j, k)) return 0;
    double ri[9], rj[9], rk[9], rij[9], full[9];
    axis_rotation_matrix(i, angles[0], ri, 3);
    axis_rotation_matrix(j, angles[1], rj, 3);
    axis_rotation_matrix(k, angles[2], rk, 3);
    matrix_multiply(ri, rj, rij);
    matrix_multiply(rij, rk, full);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) At(a, stride, r, c) = full[r * 3 + c];
    return 1;
}

int matrix_to_euler(const double* a, int stride, int i, int j, int k, double* first, double* second)
{
    if (!a || !first || !second || stride < 3 || !IsValidTriple(i, j, k)) return 0;
    if (i == k)
        SymmetricEuler(a, stride, i, j, first, second);
    else
        ThreeAxisEuler(a, stride, i, j, k, first, second);
    return 1;
}

int frame_from_vectors(const double* primary, const double* secondary, int i, int j, double* a,
                       int stride)
{
    if (!primary || !secondary || !a || stride < 3 || !IsAxis(i) || !IsAxis(j) || i == j) return 0;
    const int k = 3 - i - j;
    double ei[3], ej[3], ek[3], cross[3];
    if (vec3_unit(primary, ei) == 0.0) return 0;
    if (IsCyclic(i, j))
        vec3_cross(ei, secondary, cross);
    else
        vec3_cross(secondary, ei, cross);
    if (vec3_unit(cross, ek) == 0.0) return 0;
    if (IsCyclic(i, j))
        vec3_cross(ek, ei, ej);
    else
        vec3_cross(ei, ek, ej);
    for (int r = 0; r < 3; ++r) {
        At(a, stride, r, i) = ei[r];
        At(a, stride, r, j) = ej[r];
        At(a, stride, r, k) = ek[r];
    }
    return 1;
}

int frame_from_points(const double* origin, const double* p, const double* q, int i, int j,
                      double* a, int stride)
{
    if (!origin || !p || !q) return 0;
    const double primary[3] = {p[0] - origin[0], p[1] - origin[1], p[2] - origin[2]};
    const double secondary[3] = {q[0] - origin[0], q[1] - origin[1], q[2] - origin[2]};
    return frame_from_vectors(primary, secondary, i, j, a, stride);
}

int frame_from_points_zy(const double* p, const double* origin, const double* q, double* a)
{
    return frame_from_points(origin, p, q, 2, 1, a, 3);
}

int frame_from_points_zx(const double* p, const double* origin, const double* q, double* a)
{
    return frame_from_points(origin, p, q, 2, 0, a, 3);
}

void perpendicular_vectors(double* u, double* v, const double* d)
{
    if (std::fabs(d[0]) > std::fabs(d[1])) {
        const double length = std::sqrt(d[0] * d[0] + d[2] * d[2]);
        u[0] = d[2] / length;
        u[1] = 0.0;
        u[2] = -d[0] / length;
    } else {
        const double length = std::sqrt(d[1] * d[1] + d[2] * d[2]);
        if (length == 0.0) {  // only a zero d gets here
            u[0] = u[1] = u[2] = 0.0;
            v[0] = v[1] = v[2] = 0.0;
            return;
        }
        u[0] = 0.0;
        u[1] = -d[2] / length;
        u[2] = d[1] / length;
    }
    vec3_cross(d, u, v);
}

int euler_from_vectors(const double* primary, const double* secondary, double* out)
{
    double frame[9], second[3];
    if (!frame_from_vectors(primary, secondary, 0, 1, frame, 3) ||
        !matrix_to_euler(frame, 3, 0, 1, 2, out, second)) {
        out[0] = out[1] = out[2] = 0.0;
        return 0;
    }
    return 1;
}

void euler_convention_axes(int convention, int* i, int* j, int* k)
{
    static constexpr int kAxes[12][3] = {{0, 1, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0},
                                         {1, 0, 2}, {0, 2, 1}, {0, 1, 0}, {0, 2, 0},
                                         {1, 0, 1}, {1, 2, 1}, {2, 0, 2}, {2, 1, 2}};
    const int index = convention >= 0 && convention < 12 ? convention : 0;
    *i = kAxes[index][0];
    *j = kAxes[index][1];
    *k = kAxes[index][2];
}

int euler_from_points(const double* origin, const double* p, const double* q, double* out, int i,
                      int j, int second)
{
    return euler_from_points(origin, p, q, out, i, j, second, 0);
}

int euler_from_points(const double* origin, const double* p, const double* q, double* out, int i,
                      int j, int second, int convention)
{
    int ai = 0, aj = 0, ak = 0;
    euler_convention_axes(convention, &ai, &aj, &ak);
    double frame[9], firstAngles[3], secondAngles[3];
    if (!frame_from_points(origin, p, q, i, j, frame, 3) ||
        !matrix_to_euler(frame, 3, ai, aj, ak, firstAngles, secondAngles)) {
        out[0] = out[1] = out[2] = 0.0;
        return 0;
    }
    const double* chosen = second ? secondAngles : firstAngles;
    std::copy(chosen, chosen + 3, out);
    return 1;
}

int rotate_euler(double* angles, double ax, double ay, double az)
{
    double m[9], turn[9], product[9], second[3];
    if (!angles || !euler_to_matrix(angles, 0, 1, 2, m, 3)) return 0;
    const double turns[3] = {ax, ay, az};
    for (int axis = 0; axis < 3; ++axis) {
        axis_rotation_matrix(axis, turns[axis], turn, 3);
        matrix_multiply(m, turn, product);
        std::copy(product, product + 9, m);
    }
    double result[3];
    if (!matrix_to_euler(m, 3, 0, 1, 2, result, second)) return 0;
    std::copy(result, result + 3, angles);
    return 1;
}

void reset_angle_unwrap(double threshold, double step)
{
    UnwrapState& state = Unwrap();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.threshold = threshold;
    state.step = step;
    std::fill(state.previous, state.previous + 3, 0.0);
    std::fill(state.offset, state.offset + 3, 0.0);
}

void reset_angle_unwrap() { reset_angle_unwrap(kDefaultUnwrapThreshold, kDefaultUnwrapStep); }

void unwrap_angles(double* angles)
{
    UnwrapState& state = Unwrap();
    std::lock_guard<std::mutex> lock(state.mutex);
    // All-zero history means the first call since start or reset: nothing to compare with.
    const bool hasHistory =
        state.previous[0] != 0.0 || state.previous[1] != 0.0 || state.previous[2] != 0.0;
    for (int i = 0; i < 3; ++i) {
        const double jump = state.previous[i] - angles[i];
        // A threshold of 0 (or below) would divide by zero: such a filter does nothing.
        if (hasHistory && state.threshold > 0.0 && std::fabs(jump) >= state.threshold)
            state.offset[i] += std::trunc(jump / state.threshold) * state.step;
        state.previous[i] = angles[i];
        angles[i] += state.offset[i];
    }
}

double find_pivot(const double* a, int rows, int stride, int r0, int r1, int c0, int c1, int& row,
                  int& col)
{
    row = r0;
    col = c0;
    double best = 0.0;
    r1 = std::min(r1, rows);
    for (int r = r0; r < r1; ++r)
        for (int c = c0; c < c1; ++c) {
            const double value = At(a, stride, r, c);
            if (std::fabs(value) > std::fabs(best)) {
                best = value;
                row = r;
                col = c;
            }
        }
    return best;
}

int gauss_jordan(double* a, int rows, int stride, int m, int n, int extra, int* perm, int& rank,
                 double& pivot, const int* skip)
{
    rank = 0;
    pivot = 0.0;
    const long long width = static_cast<long long>(n) + extra;
    if (!a || !perm || m < 1 || n < 1 || extra < 0 || m > rows || stride < width) return 0;
    // The list ends at -1 but never runs past n entries, so an unterminated list is safe.
    int skipCount = 0;
    if (skip) {
        while (skipCount < n && skip[skipCount] != -1) {
            if (skip[skipCount] < 0 || skip[skipCount] >= n) return 0;
            ++skipCount;
        }
    }
    const int cols = static_cast<int>(width);
    for (int c = 0; c < n; ++c) perm[c] = c;

    // Reserved columns go to the end. Entries name original columns, found through perm,
    // so an earlier swap cannot make a later entry move the wrong column; repeats are
    // reserved once.
    int searchEnd = n;
    for (int e = 0; e < skipCount; ++e) {
        const int position = static_cast<int>(std::find(perm, perm + searchEnd, skip[e]) - perm);
        if (position == searchEnd) continue;  // already reserved
        --searchEnd;
        swap_columns(a, stride, m, position, searchEnd, perm);
    }

    double tolerance = 0.0;
    const int steps = std::min(m, searchEnd);
    for (int s = 0; s < steps; ++s) {
        int pivotRow = s, pivotCol = s;
        const double p = find_pivot(a, rows, stride, s, m, s, searchEnd, pivotRow, pivotCol);
        pivot = std::fabs(p);
        if (s == 0) tolerance = kEliminationFactor * pivot * m;
        if (p == 0.0 || (s > 0 && pivot < tolerance)) break;
        rank = s + 1;
        if (pivotRow != s) SwapRows(a, stride, s, pivotRow, cols);
        swap_columns(a, stride, m, s, pivotCol, perm);
        for (int i = 0; i < m; ++i) {
            if (i == s) continue;
            const double factor = At(a, stride, i, s) / At(a, stride, s, s);
            if (factor == 0.0) continue;
            for (int c = s; c < cols; ++c) At(a, stride, i, c) -= factor * At(a, stride, s, c);
        }
        for (int c = 0; c < cols; ++c) At(a, stride, s, c) /= p;
    }
    return 1;
}

int solve_linear(const double* A, const double* b, double* x, int n)
{
    // Checked before any allocation: a bad n must not become a size.
    if (!A || !b || !x || n < 1 || n == std::numeric_limits<int>::max()) return 0;
    try {
        const int stride = n + 1;
        std::vector<double> work(static_cast<std::size_t>(n) * static_cast<std::size_t>(stride));
        std::vector<int> perm(static_cast<std::size_t>(n));
        for (int r = 0; r < n; ++r) {
            for (int c = 0; c < n; ++c) At(work.data(), stride, r, c) = At(A, n, r, c);
            At(work.data(), stride, r, n) = b[r];
        }
        int rank = 0;
        double pivot = 0.0;
        gauss_jordan(work.data(), n, stride, n, n, 1, perm.data(), rank, pivot, nullptr);
        for (int s = 0; s < n; ++s) x[perm[s]] = At(work.data(), stride, s, n);
        return rank;
    } catch (const std::exception&) {  // size overflow or no memory
        return 0;
    }
}

int invert_matrix(const double* A, double* Ainv, int n)
{
    if (!A || !Ainv || n < 1 || n > std::numeric_limits<int>::max() / 2) return 0;
    try {
        const int stride = 2 * n;
        std::vector<double> work(static_cast<std::size_t>(n) * static_cast<std::size_t>(stride));
        std::vector<int> perm(static_cast<std::size_t>(n));
        for (int r = 0; r < n; ++r) {
            for (int c = 0; c < n; ++c) At(work.data(), stride, r, c) = At(A, n, r, c);
            At(work.data(), stride, r, n + r) = 1.0;
        }
        int rank = 0;
        double pivot = 0.0;
        gauss_jordan(work.data(), n, stride, n, n, n, perm.data(), rank, pivot, nullptr);
        for (int s = 0; s < n; ++s)
            for (int c = 0; c < n; ++c) At(Ainv, n, perm[s], c) = At(work.data(), stride, s, n + c);
        return rank;
    } catch (const std::exception&) {
        return 0;
    }
}

int least_squares_qr(int m, int n, double* const* rows, double* b)
{
    if (!rows || !b || m < 1 || n < 1 || m < n) return 1;
    std::vector<double> diagonal;
    try {
        diagonal.resize(static_cast<std::size_t>(n));
    } catch (const std::exception&) {
        return 4;
    }
    // A column that dwindles to rounding noise against the largest column means rank
    // deficiency, also for the last column, which the neighbour test below cannot judge.
    const double noiseLevel = kRankTolerance * m * LargestColumnNorm(m, n, rows);
    const double eps = math_epsilon();
    for (int k = 0; k < n; ++k) {
        double squares = 0.0;
        for (int i = k; i < m; ++i) squares += rows[i][k] * rows[i][k];
        if (squares == 0.0) return 2;
        const double sigma = std::sqrt(squares);
        if (sigma <= noiseLevel) return 3;
        const double u = rows[k][k] >= eps ? sigma : -sigma;
        diagonal[k] = -u;
        const double beta = 1.0 / (squares + u * rows[k][k]);
        rows[k][k] += u;

        double largest = 0.0;
        for (int j = k + 1; j < n; ++j) {
            double w = 0.0, columnSquares = 0.0;
            for (int i = k; i < m; ++i) {
                w += rows[i][k] * rows[i][j];
                columnSquares += rows[i][j] * rows[i][j];
            }
            largest = std::max(largest, columnSquares);
            for (int i = k; i < m; ++i) rows[i][j] -= beta * w * rows[i][k];
        }
        if (std::sqrt(largest) * kRankTolerance > sigma) return 3;

        double w = 0.0;
        for (int i = k; i < m; ++i) w += rows[i][k] * b[i];
        for (int i = k; i < m; ++i) b[i] -= beta * w * rows[i][k];
    }
    for (int i = n - 1; i >= 0; --i) {
        double sum = b[i];
        for (int j = i + 1; j < n; ++j) sum -= rows[i][j] * b[j];
        b[i] = sum / diagonal[i];
    }
    return 0;
}
