#pragma once

// Rotation, Euler-angle, frame and linear-algebra routines on plain double arrays.
//
// Matrices are row-major with an explicit row stride: element (r, c) is a[r * stride + c].
// 3x3 rotations written into larger arrays use the top-left block only. Axis indices are
// 0 = X, 1 = Y, 2 = Z; rotations follow the column-vector convention. An Euler triple
// (i, j, k) means R = R_i(a0) * R_j(a1) * R_k(a2); i == k gives the symmetric conventions.
//
// Unless stated otherwise a routine returns 1 on success and 0 for refused arguments, in
// which case it writes nothing. All routines may be called from any thread; the unwrap
// filter keeps one history for the whole process, so interleaving callers mix it up.

// Process-wide tolerance for vector equality, frame construction, Euler extraction and
// interpolation; 1e-8 unless changed here.
void set_math_epsilon(double eps);
double math_epsilon();

double vec3_dot(const double* a, const double* b);
void vec3_cross(const double* a, const double* b, double* out);
// Divides v by its length in place; a zero vector stays as it is.
void vec3_normalize(double* v);
// out = v / |v| and returns |v|; when |v| is at most the math epsilon out = 0, result 0.
double vec3_unit(const double* v, double* out);

void matrix_zero(double* a, int rows, int cols);
// P (r x c) = A (r x n) * B (n x c), each row-major with its own width as stride; P is
// zeroed when n < 1. P must not share storage with A or B.
void matrix_multiply(const double* A, const double* B, double* P, int r, int n, int c);
void matrix_multiply(const double* A, const double* B, double* P);  // 3x3
// Swaps columns c1 and c2 in rows 0..rows-1, and perm[c1] with perm[c2] when perm is given.
void swap_columns(double* a, int stride, int rows, int c1, int c2, int* perm);

// R_axis(angle) into the 3x3 block; axis 3 writes the identity, other axes are refused.
int axis_rotation_matrix(int axis, double angle, double* a, int stride);
// R_i(a0) * R_j(a1) * R_k(a2); refuses indices outside 0..2, i == j and j == k.
int euler_to_matrix(const double* angles, int i, int j, int k, double* a, int stride);
// Both angle triples whose euler_to_matrix reproduce the rotation a. At gimbal lock the
// first angle of both triples is 0 and the third carries the combined turn.
int matrix_to_euler(const double* a, int stride, int i, int j, int k, double* first,
                    double* second);

// Right-handed orthonormal frame whose axis i points along primary and whose (i, j) plane
// holds secondary, written as columns i, j, k = 3 - i - j of the 3x3 block. Fails on a
// primary vector or cross product no longer than the math epsilon.
int frame_from_vectors(const double* primary, const double* secondary, int i, int j, double* a,
                       int stride);
// frame_from_vectors(p - origin, q - origin, i, j).
int frame_from_points(const double* origin, const double* p, const double* q, int i, int j,
                      double* a, int stride);
// Fixed forms with a 3x3 output: axis Z along p - origin, and Y (zy) or X (zx) in the plane
// of q - origin. Note the order: p first, then origin.
int frame_from_points_zy(const double* p, const double* origin, const double* q, double* a);
int frame_from_points_zx(const double* p, const double* origin, const double* q, double* a);
// u and v perpendicular to d (and to each other); unit when d is. Zero for a zero d.
void perpendicular_vectors(double* u, double* v, const double* d);

// X-Y-Z angles (first solution) of the frame (i, j) = (0, 1); out = 0 and result 0 on failure.
int euler_from_vectors(const double* primary, const double* secondary, double* out);
// Angles of the frame of three points: X-Y-Z, or the numbered convention (0 X-Y-Z,
// 1 Y-Z-X, 2 Z-X-Y, 3 Z-Y-X, 4 Y-X-Z, 5 X-Z-Y, 6 X-Y-X, 7 X-Z-X, 8 Y-X-Y, 9 Y-Z-Y,
// 10 Z-X-Z, 11 Z-Y-Z; any other number is X-Y-Z). second != 0 picks the second solution.
// out = 0 and result 0 on failure.
int euler_from_points(const double* origin, const double* p, const double* q, double* out, int i,
                      int j, int second);
int euler_from_points(const double* origin, const double* p, const double* q, double* out, int i,
                      int j, int second, int convention);
// The axis triple of a convention number above.
void euler_convention_axes(int convention, int* i, int* j, int* k);

// X-Y-Z angles of R(angles) * R_X(ax) * R_Y(ay) * R_Z(az), in place.
int rotate_euler(double* angles, double ax, double ay, double az);

// Angle unwrapping: a jump of at least threshold between calls shifts that component's
// offset by trunc(jump / threshold) * step. Defaults: threshold pi, step 2 pi.
// The history is cleared by either reset; a threshold of 0 or below turns the filter off.
void reset_angle_unwrap(double threshold, double step);
void reset_angle_unwrap();  // the defaults
void unwrap_angles(double* angles);

// Signed element of largest magnitude in rows r0..r1-1, columns c0..c1-1 (0 when empty).
double find_pivot(const double* a, int rows, int stride, int r0, int r1, int c0, int c1, int& row,
                  int& col);
// Gauss-Jordan elimination with complete pivoting of m equations over n unknown columns
// plus `extra` right-hand-side columns. perm receives the column order (n entries): after
// a full-rank run, row s of each extra column is the value of unknown perm[s]. skip lists
// unknown columns kept out of the pivot search, ended by -1 or after n entries; it may be
// null. Returns 0 (rank 0) for refused arguments.
int gauss_jordan(double* a, int rows, int stride, int m, int n, int extra, int* perm, int& rank,
                 double& pivot, const int* skip);
// Solves A x = b for an n x n A; returns the rank (x is meaningful only when it is n).
int solve_linear(const double* A, const double* b, double* x, int n);
// Inverse of an n x n A; returns the rank (Ainv is meaningful only when it is n).
int invert_matrix(const double* A, double* Ainv, int n);
// Householder least squares: minimises |A x - b| for A given as m rows of n doubles (A is
// overwritten); b holds m values on entry and the n unknowns on exit. Returns 0 on
// success, 1 for bad sizes (m < 1, n < 1, m < n), 2 for a column that is zero from the
// diagonal down, 3 on rank deficiency, 4 when memory runs out.
int least_squares_qr(int m, int n, double* const* rows, double* b);
