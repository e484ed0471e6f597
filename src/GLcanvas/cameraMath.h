#pragma once

#include "GLcanvas/matrix4.h"
#include "GLcanvas/vector3.h"

// The matrices a 3D view's camera gives OpenGL, computed without OpenGL so that they can be
// checked and reused anywhere. Column-major like CMatrix4; any thread on its own values.

// Unit view frame of a look-at: forward f along direction, side s = f x up, true up u = s x f.
// False, with the outputs untouched, when direction has no length or is not finite. When the
// direction runs along up, s falls back to the world x axis (minus its part along f), the
// limit a camera reaches when it comes over the pole from the -y side.
bool ViewFrame(const CVector3& direction, const CVector3& up, CVector3& f, CVector3& s,
               CVector3& u);

// What gluLookAt builds from a view frame and an eye.
CMatrix4 LookAtMatrix(const CVector3& eye, const CVector3& f, const CVector3& s, const CVector3& u);

// What glFrustum and glOrtho multiply onto the current matrix; false, with out untouched,
// for the parameters they refuse (empty or non-finite volume, near <= 0 for the frustum).
bool FrustumMatrix(double left, double right, double bottom, double top, double zNear, double zFar,
                   CMatrix4& out);
bool OrthoMatrix(double left, double right, double bottom, double top, double zNear, double zFar,
                 CMatrix4& out);

// Product a . b in column-vector terms: b acts first (what glMultMatrix(b) does after a).
CMatrix4 MatrixProduct(const CMatrix4& a, const CMatrix4& b);
