#pragma once

// Look-at description (eye, centre, up) to the axis and angle of the rotation that carries
// the default view (looking along -Z, +Y up) onto it. Quaternions here are four doubles in
// x, y, z, w order, independent of CQuaternion. Any thread.

// Writes the unit axis and returns the angle in [0, 2 pi]. Inputs that give no view (eye at
// the centre, zero up, up along the view direction) give angle 0 about (1, 0, 0).
double LookAtToAxisAngle(const double* eye, const double* centre, const double* up, double* axis);
// Hamilton product p * q.
void quat_multiply(double* out, const double* p, const double* q);
// Turn about a unit axis by acos(c), c clamped to [-1, 1].
void quat_from_axis_cos(double* out, const double* axis, double c);
