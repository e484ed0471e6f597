#pragma once

#include <GL/gl.h>

// Immediate-mode OpenGL 1.x shapes drawn into the current context and modelview. Thread of
// the current context only (the GUI thread, during a paint or a selection pass). Shapes are
// centred on the origin, except cylinders, cones and capsules, which stand on it along +Z.
// Most return a rough primitive count that callers may add up for statistics.

// Boxes and cubes (384 when textured, else 96). Each pair of bounds is sorted first.
int DrawBox(double x0, double x1, double y0, double y1, double z0, double z1, GLenum mode,
            bool textured, double texScale);
// The classic teapot, standing on z; drawn only where freeglut can run.
void DrawSolidTeapot(double size);
void DrawWireTeapot(double size);
int DrawWireCube(double size);
int DrawSolidCube(double size);
int DrawTexturedCube(double size, double texScale);
int DrawWireBox(double w, double h, double d);
int DrawSolidBox(double w, double h, double d);
int DrawTexturedBox(double w, double h, double d, double texScale);

// Quadric shapes; they draw nothing and return 0 when GLU cannot make a quadric.
// slices 0 means 15 and stacks 0 means 10.
int DrawSphere(double radius, int slices, int stacks, bool solid, bool textured);
int DrawTexturedSphere(double radius, int slices, int stacks);
int DrawSolidSphere(double radius, int slices, int stacks);
int DrawWireSphere(double radius, int slices, int stacks);
int DrawEllipsoid(double rz, double rx, double ry, int slices, int stacks, bool solid,
                  bool textured);
int DrawTexturedEllipsoid(double rz, double rx, double ry, int slices, int stacks);
int DrawSolidEllipsoid(double rz, double rx, double ry, int slices, int stacks);
int DrawWireEllipsoid(double rz, double rx, double ry, int slices, int stacks);
// simple: 7 slices, 3 stacks and no end disks.
int DrawCylinder(double length, double baseRadius, double topRadius, int slices, int stacks,
                 bool solid, bool textured, bool simple);
int DrawTexturedCylinder(double length, double baseRadius, double topRadius, int slices, int stacks,
                         bool simple);
int DrawSolidCylinder(double length, double baseRadius, double topRadius, int slices, int stacks,
                      bool simple);
int DrawWireCylinder(double length, double baseRadius, double topRadius, int slices, int stacks,
                     bool simple);
int DrawCapsule(double length, double radius, int slices, int stacks, bool solid, bool textured,
                bool simple);
int DrawTexturedCapsule(double length, double radius, int slices, int stacks, bool simple);
int DrawCone(double radius, double height, bool solid, bool textured);
int DrawWireCone(double radius, double height);
int DrawSolidCone(double radius, double height);
int DrawTexturedCone(double radius, double height);

// Hand-tessellated shapes.
void DrawEllipsoidMesh(double rx, double ry, double rz, int n);  // poles on Y
void DrawTubeMesh(int rings, int slices, double length, double radius, bool solid, bool textured);
void DrawBand(double radius, double height, bool solid);
// Scales the current matrix by radius without pushing it: callers push.
int DrawSphereMesh(double radius, bool solid, int ignored, int slices, int stacks);
int DrawCapsuleMesh(double length, double radius, double rings, double slices, bool solid);
int DrawCapsuleEx(double length, double radius, bool ownMesh, int slices, int stacks, bool simple);
int DrawWireCapsuleMesh(double length, double radius, double rings, double slices);
void DrawSuperellipsoid(double e1, double e2, int n, bool strip);
void DrawTorus(double minorRadius, double majorRadius, int sides, int rings, GLenum mode,
               bool textured);
void DrawWireTorus(double minorRadius, double majorRadius);
void DrawSolidTorus(double minorRadius, double majorRadius);
void DrawTexturedTorus(double minorRadius, double majorRadius);
int DrawWedge(double length, double width, bool solid, bool textured);
int DrawWireWedge(double length, double width);
int DrawSolidWedge(double length, double width);
int DrawTexturedWedge(double length, double width);

// Axes, arrows, grids and helpers. The axis colours are red X, green Y, blue Z.
void DrawAxes(double length);
void DrawAxesEx(double lx, double ly, double lz);
void DrawAxisArrow(double length, bool solid, bool withHead);
void DrawArrowTo(double dx, double dy, double dz, bool solid, bool withHead, double scale);
// With renderMode GL_SELECT and selectable, arrows carry names 2, 3, 4 and rings 5, 6, 7;
// highlight (0-2 arrows, 3-5 rings) draws that part in yellow.
void DrawTrihedron(double size, GLenum renderMode, int highlight, bool withRings, bool selectable);
void DrawAxisArrows(double length);
void DrawAxisLetters(double length);
// p00, p10, p01, p11: three floats each; an n x n line grid across the quadrilateral.
void DrawEvalGrid(const float* p00, const float* p10, const float* p01, const float* p11, int n);
// Leave the line width at 2.
void DrawGridPlaneXY(double size, double offset, int n);
void DrawGridPlaneYZ(double size, double offset, int n);
void DrawGridPlaneXZ(double size, double offset, int n);
// World point under a window pixel (y down) at the depth read back there; GL_TRUE on
// success.
int WindowToWorld(int winX, int winY, double* x, double* y, double* z);
// texture 1281 (GL_INVALID_VALUE) means no texture; the quad lands on the far plane.
void DrawScrollingQuad(const double* centre, double halfSize, GLuint texture, bool modulate);
void face_normal(double* out, const double* p1, const double* p2, const double* p3);

// Process-wide arrow scale and texture scroll offset, for views and tests.
float GetArrowScale();
float GetScrollOffset();
