// Hand-tessellated shapes: ellipsoid, tube, sphere and capsule meshes, superellipsoid.
#include <cmath>

#include "GLcanvas/glShapes.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;

void DrawOriginPoint()
{
    glBegin(GL_POINTS);
    glVertex3d(0.0, 0.0, 0.0);
    glEnd();
}

double SignedPower(double base, double exponent)
{
    const double magnitude = std::pow(std::fabs(base), exponent);
    return base < 0.0 ? -magnitude : (base > 0.0 ? magnitude : 0.0);
}

// Point of the superellipsoid at latitude u and longitude v.
void SuperPoint(double u, double v, double e1, double e2, double* out)
{
    const double a = SignedPower(std::cos(u), e1);
    out[0] = SignedPower(std::cos(v), e2) * a;
    out[1] = SignedPower(std::sin(u), e1);
    out[2] = SignedPower(std::sin(v), e2) * a;
}

// Ring point of the unit sphere mesh (poles on y), also its own normal.
void SphereRingVertex(double theta, double phi)
{
    const double p[3] = {std::cos(phi) * std::sin(theta), std::cos(theta),
                         std::sin(phi) * std::sin(theta)};
    glNormal3dv(p);
    glVertex3dv(p);
}

}  // namespace

void face_normal(double* out, const double* p1, const double* p2, const double* p3)
{
    const double a[3] = {p2[0] - p1[0], p2[1] - p1[1], p2[2] - p1[2]};
    const double b[3] = {p3[0] - p1[0], p3[1] - p1[1], p3[2] - p1[2]};
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
    const double length = std::sqrt(out[0] * out[0] + out[1] * out[1] + out[2] * out[2]);
    if (length == 0.0) return;
    out[0] /= length;
    out[1] /= length;
    out[2] /= length;
}

void DrawEllipsoidMesh(double rx, double ry, double rz, int n)
{
    if (n < 1 || !(rx > 0.0) || !(ry > 0.0) || !(rz > 0.0)) {
        DrawOriginPoint();
        return;
    }
    for (int i = 1; i <= n / 2; ++i) {
        const double theta1 = kTwoPi * (i - 1) / n - kPi / 2.0;
        const double theta2 = kTwoPi * i / n - kPi / 2.0;
        glBegin(GL_QUAD_STRIP);
        for (int j = 0; j <= n; ++j) {
            const double phi = kTwoPi * j / n;
            const double thetas[2] = {theta1, theta2};
            const int rows[2] = {i - 1, i};
            for (int k = 0; k < 2; ++k) {
                const double c = std::cos(thetas[k]);
                const double p[3] = {std::cos(phi) * c * rx, std::sin(thetas[k]) * ry,
                                     std::sin(phi) * c * rz};
                const double length = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
                glNormal3f(static_cast<float>(p[0] / length), static_cast<float>(p[1] / length),
                           static_cast<float>(p[2] / length));
                glTexCoord2f(static_cast<float>(j) / n, 2.0f * rows[k] / n);
                glVertex3dv(p);
            }
        }
        glEnd();
    }
}

void DrawTubeMesh(int rings, int slices, double length, double radius, bool solid, bool textured)
{
    if (rings < 1 || slices < 1) return;
    const double dz = length / rings;
    for (int i = 0; i < rings; ++i) {
        const double top = length / 2.0 - i * dz;
        glBegin(solid ? GL_TRIANGLE_STRIP : GL_LINE_LOOP);
        for (int j = 0; j <= slices; ++j) {
            const double a = kTwoPi * j / slices;
            const double x = radius * std::cos(a);
            const double y = radius * std::sin(a);
            glNormal3d(std::cos(a), std::sin(a), 0.0);
            if (textured)
                glTexCoord2d(static_cast<double>(j) / slices, static_cast<double>(i) / rings);
            glVertex3d(x, y, top);
            if (textured)
                glTexCoord2d(static_cast<double>(j) / slices, static_cast<double>(i + 1) / rings);
            glVertex3d(x, y, top - dz);
        }
        glEnd();
    }
}

int DrawSphereMesh(double radius, bool solid, int /*ignored*/, int slices, int stacks)
{
    if (slices < 3) slices = 15;
    if (stacks < 3) stacks = 10;
    glScalef(static_cast<float>(radius), static_cast<float>(radius), static_cast<float>(radius));
    const double dTheta = kPi / stacks;
    const double dPhi = kTwoPi / slices;

    glBegin(GL_TRIANGLE_FAN);
    glNormal3d(0.0, 1.0, 0.0);
    glVertex3d(0.0, 1.0, 0.0);
    for (int j = 0; j <= slices; ++j) SphereRingVertex(dTheta, j * dPhi);
    glEnd();

    glBegin(GL_TRIANGLE_FAN);
    glNormal3d(0.0, -1.0, 0.0);
    glVertex3d(0.0, -1.0, 0.0);
    for (int j = slices; j >= 0; --j) SphereRingVertex(kPi - dTheta, j * dPhi);
    glEnd();

    for (int i = 1; i < stacks - 1; ++i) {
        const double theta = i * dTheta;
        glBegin(solid ? GL_QUAD_STRIP : GL_LINE_LOOP);
        for (int j = 0; j <= slices; ++j) {
            SphereRingVertex(theta, j * dPhi);
            SphereRingVertex(theta + dTheta, j * dPhi);
        }
        glEnd();
    }
    return stacks * slices * 4;
}

int DrawCapsuleMesh(double length, double radius, double rings, double slices, bool solid)
{
    const double tubeLength = solid ? length : length - 2.0 * radius;
    const double capOffset = solid ? 0.0 : radius;
    const int ringCount = static_cast<int>(rings);
    const int sliceCount = static_cast<int>(slices);
    glPushMatrix();
    glPushMatrix();
    glTranslated(0.0, 0.0, length / 2.0);
    DrawTubeMesh(ringCount, sliceCount, tubeLength, radius, solid, false);
    glPopMatrix();
    glPushMatrix();
    glTranslated(0.0, 0.0, capOffset);
    glRotated(90.0, 0.0, 1.0, 0.0);
    int count = DrawSphereMesh(radius, solid, 1, ringCount, sliceCount);
    glPopMatrix();
    glPushMatrix();
    glTranslated(0.0, 0.0, tubeLength + capOffset);
    glRotated(-90.0, 0.0, 1.0, 0.0);
    count += DrawSphereMesh(radius, solid, 1, ringCount, sliceCount);
    glPopMatrix();
    glPopMatrix();
    return static_cast<int>(rings * slices * 4) + count;
}

int DrawCapsuleEx(double length, double radius, bool ownMesh, int slices, int stacks, bool simple)
{
    if (ownMesh) return DrawCapsuleMesh(length, radius, slices, stacks, true);
    return DrawCapsule(length, radius, slices, stacks, true, false, simple);
}

int DrawWireCapsuleMesh(double length, double radius, double rings, double slices)
{
    return DrawCapsuleMesh(length, radius, rings, slices, false);
}

void DrawSuperellipsoid(double e1, double e2, int n, bool strip)
{
    // Exponents that are not above 0 would put infinite points on the axes.
    if (n < 4 || !(e1 > 0.0) || !(e2 > 0.0) || !std::isfinite(e1) || !std::isfinite(e2)) {
        DrawOriginPoint();
        return;
    }
    if (e1 > 10.0 && e2 > 10.0) {
        glBegin(GL_LINES);
        glVertex3d(-1, 0, 0);
        glVertex3d(1, 0, 0);
        glVertex3d(0, -1, 0);
        glVertex3d(0, 1, 0);
        glVertex3d(0, 0, -1);
        glVertex3d(0, 0, 1);
        glEnd();
        return;
    }
    const double delta = 0.06283185307179587 / n;
    const auto vertex = [&](double u, double v, double s, double t) {
        double p[3], pu[3], pv[3], normal[3];
        SuperPoint(u, v, e1, e2, p);
        SuperPoint(u + delta, v, e1, e2, pu);
        SuperPoint(u, v + delta, e1, e2, pv);
        // Taken in this order the normal points out of the surface, so front lights light it.
        face_normal(normal, pv, p, pu);
        glNormal3dv(normal);
        glTexCoord2d(s, t);
        glVertex3dv(p);
    };
    for (int i = 1; i <= n / 2; ++i) {
        const double theta1 = kTwoPi * (i - 1) / n - kPi / 2.0;
        const double theta2 = kTwoPi * i / n - kPi / 2.0;
        glBegin(strip ? GL_TRIANGLE_STRIP : GL_QUAD_STRIP);
        for (int j = 0; j <= n; ++j) {
            const double phi = j == n ? 0.0 : kTwoPi * j / n;
            const double s = static_cast<double>(j) / n;
            vertex(theta2, phi, s, 2.0 * i / n);
            vertex(theta1, phi, s, (2.0 * i - 2.0) / n);
        }
        glEnd();
    }
}
