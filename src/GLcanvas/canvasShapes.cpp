#include "GLcanvas/canvasShapes.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <cmath>

namespace {

// Grid lines between the corners a (u = v = 0) and the edges along u and v.
void Grid(const float origin[3], const float u[3], const float v[3], int n)
{
    glLineWidth(1.0f);
    glBegin(GL_LINES);
    for (int i = 0; i <= n && n > 0; ++i) {
        const float t = static_cast<float>(i) / static_cast<float>(n);
        glVertex3f(origin[0] + t * u[0], origin[1] + t * u[1], origin[2] + t * u[2]);
        glVertex3f(origin[0] + t * u[0] + v[0], origin[1] + t * u[1] + v[1],
                   origin[2] + t * u[2] + v[2]);
        glVertex3f(origin[0] + t * v[0], origin[1] + t * v[1], origin[2] + t * v[2]);
        glVertex3f(origin[0] + t * v[0] + u[0], origin[1] + t * v[1] + u[1],
                   origin[2] + t * v[2] + u[2]);
    }
    glEnd();
    glLineWidth(2.0f);
}

// Arrow along +Z from the origin: a shaft and a cone, solid.
void Arrow(double length)
{
    GLUquadric* quadric = gluNewQuadric();
    if (quadric == nullptr)
        return;
    gluQuadricDrawStyle(quadric, GLU_FILL);
    gluQuadricNormals(quadric, GLU_SMOOTH);
    const double head = 0.2 * length;
    const double radius = 0.02 * length;
    gluCylinder(quadric, radius, radius, length - head, 8, 1);
    glPushMatrix();
    glTranslated(0.0, 0.0, length - head);
    gluCylinder(quadric, 2.5 * radius, 0.0, head, 8, 1);
    glPopMatrix();
    gluDeleteQuadric(quadric);
}

// Arrow of length l turned from +Z onto axis 0 (X), 1 (Y) or 2 (Z).
void AxisArrow(int axis, double l)
{
    glPushMatrix();
    if (axis == 0)
        glRotated(90.0, 0.0, 1.0, 0.0);
    else if (axis == 1)
        glRotated(-90.0, 1.0, 0.0, 0.0);
    Arrow(l);
    glPopMatrix();
}

void Box(double h, GLenum mode)
{
    const double c[8][3] = {{-h, -h, -h}, {-h, -h, h}, {-h, h, h}, {-h, h, -h},
                            {h, -h, -h},  {h, -h, h},  {h, h, h},  {h, h, -h}};
    const int faces[6][4] = {{0, 1, 2, 3}, {3, 2, 6, 7}, {7, 6, 5, 4},
                             {4, 5, 1, 0}, {5, 6, 2, 1}, {7, 4, 0, 3}};
    const double normals[6][3] = {{-1, 0, 0}, {0, 1, 0}, {1, 0, 0},
                                  {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
    for (int f = 0; f < 6; ++f) {
        glBegin(mode);
        for (int k = 0; k < 4; ++k) {
            glNormal3dv(normals[f]);
            glVertex3dv(c[faces[f][k]]);
        }
        glEnd();
    }
}

}  // namespace

void CanvasGridXY(float size, float offset, int n)
{
    const float h = size / 2.0f;
    const float origin[3] = {-h, -h, offset};
    const float u[3] = {size, 0.0f, 0.0f};
    const float v[3] = {0.0f, size, 0.0f};
    Grid(origin, u, v, n);
}

void CanvasGridYZ(float size, float offset, int n)
{
    const float h = size / 2.0f;
    const float origin[3] = {offset, -h, -h};
    const float u[3] = {0.0f, size, 0.0f};
    const float v[3] = {0.0f, 0.0f, size};
    Grid(origin, u, v, n);
}

void CanvasGridXZ(float size, float offset, int n)
{
    const float h = size / 2.0f;
    const float origin[3] = {-h, offset, -h};
    const float u[3] = {size, 0.0f, 0.0f};
    const float v[3] = {0.0f, 0.0f, size};
    Grid(origin, u, v, n);
}

void CanvasAxisArrows(float l)
{
    const float colours[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (int axis = 0; axis < 3; ++axis) {
        glColor3fv(colours[axis]);
        AxisArrow(axis, l);
    }
}

void CanvasAxes(float l)
{
    const float a = 0.9f * l;
    const float e = 0.05f * l;
    glBegin(GL_LINES);
    glColor3f(1, 0, 0);
    glVertex3f(0, 0, 0);
    glVertex3f(l, 0, 0);
    glVertex3f(l, 0, 0);
    glVertex3f(a, e, 0);
    glVertex3f(l, 0, 0);
    glVertex3f(a, -e, 0);
    glColor3f(0, 1, 0);
    glVertex3f(0, 0, 0);
    glVertex3f(0, l, 0);
    glVertex3f(0, l, 0);
    glVertex3f(e, a, 0);
    glVertex3f(0, l, 0);
    glVertex3f(-e, a, 0);
    glColor3f(0, 0, 1);
    glVertex3f(0, 0, 0);
    glVertex3f(0, 0, l);
    glVertex3f(0, 0, l);
    glVertex3f(e, 0, a);
    glVertex3f(0, 0, l);
    glVertex3f(-e, 0, a);
    glEnd();
}

void CanvasSolidCube(double size) { Box(size / 2.0, GL_QUADS); }

void CanvasWireCube(double size) { Box(size / 2.0, GL_LINE_LOOP); }

void CanvasTrihedron(double size) { CanvasAxisArrows(static_cast<float>(size)); }
