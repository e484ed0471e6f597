// Axes, arrows, trihedra, grid planes and the screen helpers of the shape library.
#include <GL/glu.h>

#include <algorithm>
#include <cmath>

#include "GLcanvas/glShapes.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr GLuint kNoTexture = GL_INVALID_VALUE;

float g_arrowScale = 1.0f;    // set by DrawArrowTo for one call; 1 between calls
float g_scrollOffset = 0.0f;  // texture offset of DrawScrollingQuad

void Line(double x0, double y0, double z0, double x1, double y1, double z1)
{
    glVertex3d(x0, y0, z0);
    glVertex3d(x1, y1, z1);
}

// Letters drawn as line figures next to the axis tips; e is their size.
void LetterX(double length, double e)
{
    const double x = length + e;
    Line(x, 0, 0, x + e, 0, e);
    Line(x, 0, e, x + e, 0, 0);
}

void LetterY(double length, double e)
{
    const double y = length + e;
    Line(0, y, 0, 0, y, -e);
    Line(0, y, 0, 0, y - e / 2, e / 2);
    Line(0, y, 0, 0, y + e / 2, e / 2);
}

void LetterZ(double length, double e)
{
    const double z = length + e;
    Line(-e / 2, 0, z, e / 2, 0, z);
    Line(-e / 2, 0, z, e / 2, 0, z + e);
    Line(-e / 2, 0, z + e, e / 2, 0, z + e);
}

void AxisX(double length)
{
    const double a = 0.9 * length, e = 0.05 * length;
    Line(0, 0, 0, a, 0, 0);
    Line(a, 0, e, length, 0, 0);
    Line(a, 0, -e, length, 0, 0);
    Line(a, 0, e, a, 0, -e);
}

void AxisY(double length)
{
    const double a = 0.9 * length, e = 0.05 * length;
    Line(0, 0, 0, 0, a, 0);
    Line(0, a, e, 0, length, 0);
    Line(0, a, -e, 0, length, 0);
    Line(0, a, e, 0, a, -e);
}

void AxisZ(double length)
{
    const double a = 0.9 * length, e = 0.05 * length;
    Line(0, 0, 0, 0, 0, a);
    Line(-e, 0, a, 0, 0, length);
    Line(e, 0, a, 0, 0, length);
    Line(-e, 0, a, e, 0, a);
}

// Square border and centre lines of a grid plane; corner(u, v) maps plane coordinates.
template <typename Corner>
void GridFrame(double h, Corner corner)
{
    glLineWidth(2.0f);
    glBegin(GL_LINES);
    const double border[4][2] = {{-h, -h}, {h, -h}, {h, h}, {-h, h}};
    for (int k = 0; k < 4; ++k) {
        corner(border[k][0], border[k][1]);
        corner(border[(k + 1) % 4][0], border[(k + 1) % 4][1]);
    }
    corner(0.0, -h);
    corner(0.0, h);
    corner(-h, 0.0);
    corner(h, 0.0);
    glEnd();
}

template <typename Corner>
void GridPlane(double size, int n, Corner corner)
{
    const double h = size / 2.0;
    float p[4][3];
    const double uv[4][2] = {{-h, -h}, {h, -h}, {-h, h}, {h, h}};
    for (int k = 0; k < 4; ++k) {
        double v[3];
        corner(uv[k][0], uv[k][1], v);
        for (int c = 0; c < 3; ++c) p[k][c] = static_cast<float>(v[c]);
    }
    glLineWidth(1.0f);
    DrawEvalGrid(p[0], p[1], p[2], p[3], n);
    GridFrame(h, [&corner](double u, double v) {
        double w[3];
        corner(u, v, w);
        glVertex3dv(w);
    });
}

}  // namespace

float GetArrowScale() { return g_arrowScale; }
float GetScrollOffset() { return g_scrollOffset; }

void DrawAxes(double length)
{
    const double e = 0.05 * length;
    glBegin(GL_LINES);
    glColor3f(1.0f, 0.0f, 0.0f);
    AxisX(length);
    LetterX(length, e);
    glColor3f(0.0f, 1.0f, 0.0f);
    AxisY(length);
    LetterY(length, e);
    glColor3f(0.0f, 0.0f, 1.0f);
    AxisZ(length);
    LetterZ(length, e);
    glEnd();
}

void DrawAxesEx(double lx, double ly, double lz)
{
    glLineWidth(1.0f);
    const auto axis = [](void (*shaft)(double), void (*letter)(double, double), double length) {
        glLineWidth(2.0f);
        glBegin(GL_LINES);
        shaft(length);
        glEnd();
        glLineWidth(1.0f);
        glBegin(GL_LINES);
        letter(length, 0.05 * length);
        glEnd();
    };
    glColor3f(1.0f, 0.0f, 0.0f);
    axis(AxisX, LetterX, lx);
    glColor3f(0.0f, 1.0f, 0.0f);
    axis(AxisY, LetterY, ly);
    glColor3f(0.0f, 0.0f, 1.0f);
    axis(AxisZ, LetterZ, lz);
    glLineWidth(1.0f);
}

void DrawAxisLetters(double length)
{
    const double e = 0.05 * length;
    glBegin(GL_LINES);
    glColor3f(1.0f, 0.0f, 0.0f);
    LetterX(length, e);
    glColor3f(0.0f, 1.0f, 0.0f);
    LetterY(length, e);
    glColor3f(0.0f, 0.0f, 1.0f);
    LetterZ(length, e);
    glEnd();
}

void DrawAxisArrow(double length, bool solid, bool withHead)
{
    const double k = g_arrowScale != 0.0f ? g_arrowScale : 1.0;
    const double head = std::min(length / 5.0, 0.05) * k;
    const double radius = std::clamp(length / 90.0, 0.0005, 0.004) * k;
    glPushAttrib(GL_ALL_ATTRIB_BITS);
    glPushMatrix();
    DrawCylinder(withHead ? length - head : length, radius, radius, 15, 10, solid, false, true);
    if (withHead) {
        glTranslated(0.0, 0.0, length - head);
        DrawCylinder(head, 5.0 * radius, 0.0, 15, 10, solid, false, true);
    }
    glPopMatrix();
    glPopAttrib();
}

void DrawArrowTo(double dx, double dy, double dz, bool solid, bool withHead, double scale)
{
    const double length = std::sqrt(dx * dx + dy * dy + dz * dz);
    if (!(length >= 1e-5) || !std::isfinite(length)) return;
    const double c = dz / length;
    const double theta = c < -1.0 ? kPi : std::acos(std::min(c, 1.0));
    double alpha = 90.0;
    double beta = theta * 180.0 / kPi;
    if (!(c > 1.0) && std::sin(theta) != 0.0) {
        const double d = dx < 0.0 ? -dy : dy;
        const double t = std::clamp(d / (length * std::sin(theta)), -1.0, 1.0);
        alpha = 90.0 + std::asin(t) * 180.0 / kPi;
    }
    if (dx < 0.0) beta = -beta;
    g_arrowScale = static_cast<float>(scale);
    glPushMatrix();
    glRotatef(static_cast<float>(alpha), 0.0f, 0.0f, 1.0f);
    glRotatef(static_cast<float>(beta), 1.0f, 0.0f, 0.0f);
    DrawAxisArrow(length, solid, withHead);
    glPopMatrix();
    g_arrowScale = 1.0f;
}

void DrawTrihedron(double size, GLenum renderMode, int highlight, bool withRings, bool selectable)
{
    const bool isPicking = renderMode == GL_SELECT && selectable;
    const float colours[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    const double tips[3][3] = {{size, 0, 0}, {0, size, 0}, {0, 0, size}};
    for (int axis = 0; axis < 3; ++axis) {
        if (highlight == axis)
            glColor3f(1.0f, 1.0f, 0.0f);
        else
            glColor3fv(colours[axis]);
        if (isPicking) glPushName(static_cast<GLuint>(2 + axis));
        DrawArrowTo(tips[axis][0], tips[axis][1], tips[axis][2], true, true, 1.0);
        if (isPicking) glPopName();
    }
    if (!withRings) return;
    const double d = 2.0 * size / 3.0;
    // A torus lies in the XY plane around Z; turn it into each axis' plane.
    const float turns[3][4] = {{90, 0, 1, 0}, {90, 1, 0, 0}, {0, 0, 0, 1}};
    for (int axis = 0; axis < 3; ++axis) {
        if (highlight == axis + 3)
            glColor3f(1.0f, 1.0f, 0.0f);
        else
            glColor3fv(colours[axis]);
        if (isPicking) glPushName(static_cast<GLuint>(5 + axis));
        glPushMatrix();
        if (turns[axis][0] != 0.0f)
            glRotatef(turns[axis][0], turns[axis][1], turns[axis][2], turns[axis][3]);
        DrawTorus(d / 100.0, d, 8, 30, GL_QUADS, false);
        glPopMatrix();
        if (isPicking) glPopName();
    }
}

void DrawAxisArrows(double length)
{
    glColor3f(1.0f, 0.0f, 0.0f);
    DrawArrowTo(length, 0, 0, true, true, 1.0);
    glColor3f(0.0f, 1.0f, 0.0f);
    DrawArrowTo(0, length, 0, true, true, 1.0);
    glColor3f(0.0f, 0.0f, 1.0f);
    DrawArrowTo(0, 0, length, true, true, 1.0);
    DrawAxisLetters(length);
}

void DrawEvalGrid(const float* p00, const float* p10, const float* p01, const float* p11, int n)
{
    if (n < 1) return;  // the evaluator refuses an empty grid
    float net[12];
    const float* corners[4] = {p00, p10, p01, p11};
    for (int k = 0; k < 4; ++k)
        for (int c = 0; c < 3; ++c) net[3 * k + c] = corners[k][c];
    glEnable(GL_MAP2_VERTEX_3);
    glMap2f(GL_MAP2_VERTEX_3, 0.0f, 1.0f, 3, 2, 0.0f, 1.0f, 6, 2, net);
    glMapGrid2f(n, 0.0f, 1.0f, n, 0.0f, 1.0f);
    glEvalMesh2(GL_LINE, 0, n, 0, n);
    glDisable(GL_MAP2_VERTEX_3);
}

void DrawGridPlaneXY(double size, double offset, int n)
{
    GridPlane(size, n, [offset](double u, double v, double* p) {
        p[0] = u;
        p[1] = v;
        p[2] = offset;
    });
}

void DrawGridPlaneYZ(double size, double offset, int n)
{
    GridPlane(size, n, [offset](double u, double v, double* p) {
        p[0] = offset;
        p[1] = u;
        p[2] = v;
    });
}

void DrawGridPlaneXZ(double size, double offset, int n)
{
    GridPlane(size, n, [offset](double u, double v, double* p) {
        p[0] = u;
        p[1] = offset;
        p[2] = v;
    });
}

int WindowToWorld(int winX, int winY, double* x, double* y, double* z)
{
    GLdouble modelView[16], projection[16];
    GLint viewport[4];
    glGetDoublev(GL_MODELVIEW_MATRIX, modelView);
    glGetDoublev(GL_PROJECTION_MATRIX, projection);
    glGetIntegerv(GL_VIEWPORT, viewport);
    const double yw = static_cast<double>(viewport[3]) - winY;
    GLfloat depth = 1.0f;
    glReadPixels(winX, static_cast<int>(yw), 1, 1, GL_DEPTH_COMPONENT, GL_FLOAT, &depth);
    return gluUnProject(winX, yw, depth, modelView, projection, viewport, x, y, z);
}

void DrawScrollingQuad(const double* centre, double halfSize, GLuint texture, bool modulate)
{
    glDisable(GL_LIGHTING);
    if (texture == kNoTexture) {
        glDisable(GL_TEXTURE_2D);
        glColor3f(0.0f, 0.5f, 1.0f);
    } else {
        glEnable(GL_TEXTURE_2D);
        glBindTexture(GL_TEXTURE_2D, texture);
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, modulate ? GL_MODULATE : GL_DECAL);
    }
    glShadeModel(GL_FLAT);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
    glDepthRange(1.0, 1.0);  // the quad lands on the far plane, behind everything
    const double s = halfSize;
    const double k = halfSize / 4.0;
    const double o = g_scrollOffset;
    const double z = centre[2] + 1.0;
    glBegin(GL_QUADS);
    glNormal3d(0.0, 0.0, -1.0);
    glTexCoord2d(o - k, o - k);
    glVertex3d(centre[0] - s, centre[1] - s, z);
    glTexCoord2d(o - k, o + k);
    glVertex3d(centre[0] - s, centre[1] + s, z);
    glTexCoord2d(o + k, o + k);
    glVertex3d(centre[0] + s, centre[1] + s, z);
    glTexCoord2d(o + k, o - k);
    glVertex3d(centre[0] + s, centre[1] - s, z);
    glEnd();
    g_scrollOffset += 0.002f;
    if (g_scrollOffset > 1.0f) g_scrollOffset -= 1.0f;
    glDepthFunc(GL_LESS);
    glDepthRange(0.0, 1.0);
}
