// Boxes, GLU quadric shapes, the torus, the wedge and the band.
#include "GLcanvas/glShapes.h"

#include <GL/glu.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "GLcanvas/glQuadric.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr int kDefaultSlices = 15;
constexpr int kDefaultStacks = 10;
constexpr int kSimpleSlices = 7;
constexpr int kSimpleStacks = 3;
constexpr int kDiskLoops = 10;

// Corner indices and normals of the six box faces.
constexpr int kBoxFaces[6][4] = {{0, 1, 2, 3}, {3, 2, 6, 7}, {7, 6, 5, 4},
                                 {4, 5, 1, 0}, {5, 6, 2, 1}, {7, 4, 0, 3}};
constexpr double kBoxNormals[6][3] = {{-1, 0, 0}, {0, 1, 0}, {1, 0, 0},
                                      {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};

// Filled shapes get smooth normals, wire shapes lines; textured implies filled.
void SetQuadricStyle(GLUquadric* q, bool solid, bool textured)
{
    if (textured || solid) {
        gluQuadricDrawStyle(q, GLU_FILL);
        gluQuadricNormals(q, GLU_SMOOTH);
    } else {
        gluQuadricDrawStyle(q, GLU_LINE);
    }
    if (textured) gluQuadricTexture(q, GL_TRUE);
}

// A cylinder closed (unless a radius is 0) by disks facing outward at both ends.
void QuadricCylinder(GLUquadric* q, double length, double baseRadius, double topRadius, int slices,
                     int stacks, bool withDisks)
{
    gluCylinder(q, baseRadius, topRadius, length, slices, stacks);
    if (!withDisks) return;
    if (baseRadius != 0.0) {
        gluQuadricOrientation(q, GLU_INSIDE);
        gluDisk(q, 0.0, baseRadius, slices, kDiskLoops);
        gluQuadricOrientation(q, GLU_OUTSIDE);
    }
    if (topRadius != 0.0) {
        glPushMatrix();
        glTranslated(0.0, 0.0, length);
        gluDisk(q, 0.0, topRadius, slices, kDiskLoops);
        glPopMatrix();
    }
}

void Normalize(double* v)
{
    const double length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (length == 0.0) return;
    v[0] /= length;
    v[1] /= length;
    v[2] /= length;
}

}  // namespace

CQuadric::Maker CQuadric::s_maker = gluNewQuadric;

void CQuadric::SetMaker(Maker maker) { s_maker = maker != nullptr ? maker : gluNewQuadric; }

int DrawBox(double x0, double x1, double y0, double y1, double z0, double z1, GLenum mode,
            bool textured, double texScale)
{
    if (x0 > x1) std::swap(x0, x1);
    if (y0 > y1) std::swap(y0, y1);
    if (z0 > z1) std::swap(z0, z1);
    const double corners[8][3] = {{x0, y0, z0}, {x0, y0, z1}, {x0, y1, z1}, {x0, y1, z0},
                                  {x1, y0, z0}, {x1, y0, z1}, {x1, y1, z1}, {x1, y1, z0}};
    const double s = texScale;
    const double texCoords[4][2] = {{0, 0}, {s, 0}, {s, s}, {0, s}};
    for (int face = 0; face < 6; ++face) {
        glBegin(mode);
        for (int k = 0; k < 4; ++k) {
            glNormal3dv(kBoxNormals[face]);
            if (textured) glTexCoord2dv(texCoords[k]);
            glVertex3dv(corners[kBoxFaces[face][k]]);
        }
        glEnd();
    }
    return textured ? 384 : 96;
}

int DrawWireCube(double size)
{
    const double h = size / 2.0;
    return DrawBox(-h, h, -h, h, -h, h, GL_LINE_LOOP, false, 1.0);
}

int DrawSolidCube(double size)
{
    const double h = size / 2.0;
    return DrawBox(-h, h, -h, h, -h, h, GL_QUADS, false, 1.0);
}

int DrawTexturedCube(double size, double texScale)
{
    const double h = size / 2.0;
    return DrawBox(-h, h, -h, h, -h, h, GL_QUADS, true, texScale);
}

int DrawWireBox(double w, double h, double d)
{
    return DrawBox(-w / 2, w / 2, -h / 2, h / 2, -d / 2, d / 2, GL_LINE_LOOP, false, 1.0);
}

int DrawSolidBox(double w, double h, double d)
{
    return DrawBox(-w / 2, w / 2, -h / 2, h / 2, -d / 2, d / 2, GL_QUADS, false, 1.0);
}

int DrawTexturedBox(double w, double h, double d, double texScale)
{
    return DrawBox(-w / 2, w / 2, -h / 2, h / 2, -d / 2, d / 2, GL_QUADS, true, texScale);
}

int DrawSphere(double radius, int slices, int stacks, bool solid, bool textured)
{
    CQuadric quadric;
    if (!quadric) return 0;
    if (slices == 0) slices = kDefaultSlices;
    if (stacks == 0) stacks = kDefaultStacks;
    SetQuadricStyle(quadric.Get(), solid, textured);
    glPushMatrix();
    gluSphere(quadric.Get(), radius, slices, stacks);
    glPopMatrix();
    const int count = slices * stacks * 4;
    return textured ? count * 4 : count;
}

int DrawTexturedSphere(double radius, int slices, int stacks)
{
    return DrawSphere(radius, slices, stacks, true, true);
}

int DrawSolidSphere(double radius, int slices, int stacks)
{
    return DrawSphere(radius, slices, stacks, true, false);
}

int DrawWireSphere(double radius, int slices, int stacks)
{
    return DrawSphere(radius, slices, stacks, false, false);
}

int DrawEllipsoid(double rz, double rx, double ry, int slices, int stacks, bool solid,
                  bool textured)
{
    CQuadric quadric;
    if (!quadric) return 0;
    if (slices == 0) slices = kDefaultSlices;
    if (stacks == 0) stacks = kDefaultStacks;
    SetQuadricStyle(quadric.Get(), solid, textured);
    // The scale would shear the normals; GL_NORMALIZE is put back as it was.
    const bool wasNormalizing = glIsEnabled(GL_NORMALIZE) == GL_TRUE;
    glEnable(GL_NORMALIZE);
    glPushMatrix();
    glScaled(rx, ry, rz);
    gluSphere(quadric.Get(), 1.0, slices, stacks);
    glPopMatrix();
    if (!wasNormalizing) glDisable(GL_NORMALIZE);
    const int count = slices * stacks * 4;
    return textured ? count * 4 : count;
}

int DrawTexturedEllipsoid(double rz, double rx, double ry, int slices, int stacks)
{
    return DrawEllipsoid(rz, rx, ry, slices, stacks, true, true);
}

int DrawSolidEllipsoid(double rz, double rx, double ry, int slices, int stacks)
{
    return DrawEllipsoid(rz, rx, ry, slices, stacks, true, false);
}

int DrawWireEllipsoid(double rz, double rx, double ry, int slices, int stacks)
{
    return DrawEllipsoid(rz, rx, ry, slices, stacks, false, false);
}

int DrawCylinder(double length, double baseRadius, double topRadius, int slices, int stacks,
                 bool solid, bool textured, bool simple)
{
    CQuadric quadric;
    if (!quadric) return 0;
    if (simple) {
        slices = kSimpleSlices;
        stacks = kSimpleStacks;
    }
    SetQuadricStyle(quadric.Get(), solid, textured);
    QuadricCylinder(quadric.Get(), length, baseRadius, topRadius, slices, stacks, !simple);
    return simple ? kSimpleSlices * kSimpleStacks * 4 : slices * stacks * 4 + 600;
}

int DrawTexturedCylinder(double length, double baseRadius, double topRadius, int slices, int stacks,
                         bool simple)
{
    return DrawCylinder(length, baseRadius, topRadius, slices, stacks, true, true, simple);
}

int DrawSolidCylinder(double length, double baseRadius, double topRadius, int slices, int stacks,
                      bool simple)
{
    return DrawCylinder(length, baseRadius, topRadius, slices, stacks, true, false, simple);
}

int DrawWireCylinder(double length, double baseRadius, double topRadius, int slices, int stacks,
                     bool simple)
{
    return DrawCylinder(length, baseRadius, topRadius, slices, stacks, false, false, simple);
}

int DrawCapsule(double length, double radius, int slices, int stacks, bool solid, bool textured,
                bool simple)
{
    CQuadric quadric;
    if (!quadric) return 0;
    if (simple) {
        slices = kSimpleSlices;
        stacks = kSimpleStacks;
    }
    SetQuadricStyle(quadric.Get(), solid, textured);
    gluCylinder(quadric.Get(), radius, radius, length, slices, stacks);
    if (!simple) {
        gluSphere(quadric.Get(), radius, slices, stacks);
        glPushMatrix();
        glTranslated(0.0, 0.0, length);
        gluSphere(quadric.Get(), radius, slices, stacks);
        glPopMatrix();
    }
    return simple ? kSimpleSlices * kSimpleStacks * 4 : slices * stacks * 4 + 600;
}

int DrawTexturedCapsule(double length, double radius, int slices, int stacks, bool simple)
{
    return DrawCapsule(length, radius, slices, stacks, true, true, simple);
}

int DrawCone(double radius, double height, bool solid, bool textured)
{
    CQuadric quadric;
    if (!quadric) return 0;
    SetQuadricStyle(quadric.Get(), solid, textured);
    gluCylinder(quadric.Get(), radius, 0.0, height, kDefaultSlices, kDefaultStacks);
    return 3000;
}

int DrawWireCone(double radius, double height) { return DrawCone(radius, height, false, false); }
int DrawSolidCone(double radius, double height) { return DrawCone(radius, height, true, false); }
int DrawTexturedCone(double radius, double height) { return DrawCone(radius, height, true, true); }

void DrawBand(double radius, double height, bool solid)
{
    glBegin(solid ? GL_QUAD_STRIP : GL_LINE_LOOP);
    float angle = 0.0f;
    for (int i = 0; i < 63; ++i, angle += 0.1f) {  // 0, 0.1 ... 6.2 in single precision
        const double x = radius * std::cos(angle);
        const double y = radius * std::sin(angle);
        glVertex3d(x, y, height);
        glVertex3d(x, y, 0.0);
    }
    glVertex3d(radius, 0.0, height);
    glVertex3d(radius, 0.0, 0.0);
    glEnd();
}

void DrawTorus(double minorRadius, double majorRadius, int sides, int rings, GLenum mode,
               bool textured)
{
    if (sides < 1 || rings < 1) return;
    const auto vertex = [&](int i, int j) {
        const double theta = kTwoPi * i / rings;
        const double phi = kTwoPi * j / sides;
        const double d = majorRadius + minorRadius * std::cos(phi);
        glNormal3d(std::cos(theta) * std::cos(phi), -std::sin(theta) * std::cos(phi),
                   std::sin(phi));
        if (textured) glTexCoord2d(static_cast<double>(i) / rings, static_cast<double>(j) / sides);
        glVertex3d(std::cos(theta) * d, -std::sin(theta) * d, minorRadius * std::sin(phi));
    };
    for (int i = 0; i < rings; ++i)
        for (int j = 0; j < sides; ++j) {
            glBegin(mode);
            vertex(i, j + 1);
            vertex(i + 1, j + 1);
            vertex(i + 1, j);
            vertex(i, j);
            glEnd();
        }
}

void DrawWireTorus(double minorRadius, double majorRadius)
{
    DrawTorus(minorRadius, majorRadius, 5, 10, GL_LINE_LOOP, false);
}

void DrawSolidTorus(double minorRadius, double majorRadius)
{
    DrawTorus(minorRadius, majorRadius, 8, 30, GL_QUADS, false);
}

void DrawTexturedTorus(double minorRadius, double majorRadius)
{
    DrawTorus(minorRadius, majorRadius, 8, 15, GL_QUADS, true);
}

int DrawWedge(double length, double width, bool solid, bool textured)
{
    const double h = length / 2.0;
    const double w = width;
    const double p[5][3] = {{0, 0, h}, {0, -w, h - w}, {0, w, h - w}, {w, 0, h - w}, {0, 0, -h}};
    const int triangles[4][3] = {{0, 1, 3}, {0, 3, 2}, {1, 4, 3}, {2, 3, 4}};
    const int back[4] = {0, 2, 4, 1};
    const double triangleTex[4][3][2] = {{{0, 0}, {1, 0}, {1, 1}},
                                         {{0, 0}, {0, 1}, {1, 1}},
                                         {{0, 0}, {0, 1}, {1, 1}},
                                         {{0, 0}, {1, 0}, {1, 1}}};
    const double backTex[4][2] = {{0, 0}, {0, 1}, {1, 1}, {1, 0}};

    // One normal per point: the sum of the normals of the faces that meet there.
    double normals[5][3] = {};
    const auto addFace = [&](const int* corners, int count) {
        double n[3];
        face_normal(n, p[corners[0]], p[corners[1]], p[corners[2]]);
        for (int k = 0; k < count; ++k)
            for (int c = 0; c < 3; ++c) normals[corners[k]][c] += n[c];
    };
    for (const auto& t : triangles) addFace(t, 3);
    addFace(back, 4);
    for (auto& n : normals) Normalize(n);

    const auto vertex = [&](int index, const double* tex) {
        glNormal3dv(normals[index]);
        if (textured) glTexCoord2dv(tex);
        glVertex3dv(p[index]);
    };
    glBegin(solid ? GL_TRIANGLES : GL_LINE_LOOP);
    for (int t = 0; t < 4; ++t)
        for (int k = 0; k < 3; ++k) vertex(triangles[t][k], triangleTex[t][k]);
    glEnd();
    glBegin(solid ? GL_QUADS : GL_LINE_LOOP);
    for (int k = 0; k < 4; ++k) vertex(back[k], backTex[k]);
    glEnd();
    return 60;
}

int DrawWireWedge(double length, double width) { return DrawWedge(length, width, false, false); }
int DrawSolidWedge(double length, double width) { return DrawWedge(length, width, true, false); }
int DrawTexturedWedge(double length, double width) { return DrawWedge(length, width, true, true); }
