#include "GLcanvas/glCamera.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <algorithm>
#include <climits>
#include <cmath>

#include "GLcanvas/cameraMath.h"

double wxGLCamera::s_moveDivisor = 200.0;

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kDegree = kPi / 180.0;
constexpr double kPerspectiveNear = 0.1;
constexpr double kMaxLens = 179.0;
constexpr double kMinLens = 0.01;
// tan() of the whole lens angle sets the frustum; past 90 degrees it turns negative and
// mirrors the scene, so wider lenses stop at this angle.
constexpr double kMaxFrustumAngle = 89.0;
constexpr double kDefaultMoveDivisor = 200.0;
// Polar offset of the top, bottom and home views, which keeps the view off the pole.
constexpr double kPoleOffset = 0.001;

bool Finite(double a) { return std::isfinite(a); }

template <typename... T>
bool Finite(double a, T... rest)
{
    return std::isfinite(a) && Finite(rest...);
}

double MoveDivisor()
{
    const double divisor = wxGLCamera::s_moveDivisor;
    return std::isfinite(divisor) && divisor > 0.0 ? divisor : kDefaultMoveDivisor;
}

}  // namespace

wxGLCamera::wxGLCamera() { Reset(); }

wxGLCamera::wxGLCamera(const CVector3& eye, const CVector3& center) : wxGLCamera()
{
    m_eye = eye;
    m_center = center;
    RefreshDirection();
}

wxGLCamera& wxGLCamera::operator=(const wxGLCamera& other)
{
    if (this != &other) {
        const int userInt = m_userInt;
        const bool modified = m_modified;
        m_eye = other.m_eye;
        m_center = other.m_center;
        m_direction = other.m_direction;
        m_up = other.m_up;
        m_previousEye = other.m_previousEye;
        m_followOffset = other.m_followOffset;
        m_lastDirection = other.m_lastDirection;
        m_lens = other.m_lens;
        m_znear = other.m_znear;
        m_zfar = other.m_zfar;
        m_cmin = other.m_cmin;
        m_cmax = other.m_cmax;
        m_aspect = other.m_aspect;
        m_advanceSign = other.m_advanceSign;
        m_panScale = other.m_panScale;
        m_rotation = other.m_rotation;
        m_lastProjection = other.m_lastProjection;
        m_orbital = other.m_orbital;
        m_perspective = other.m_perspective;
        m_showCam = other.m_showCam;
        m_showField = other.m_showField;
        m_userInt = userInt;
        m_modified = modified;
    }
    UpdateProjection(true);
    return *this;
}

void wxGLCamera::Reset()
{
    m_eye.Set(0.0, -5.0, 0.0);
    m_center.Clear();
    m_up.Set(0.0, 0.0, 1.0);
    m_followOffset.Clear();
    m_lens = kDefaultLens;
    m_orbital = true;
    m_perspective = true;
    m_znear = -30.0;
    m_zfar = 30.0;
    m_cmin = -10.0;
    m_cmax = 10.0;
    m_aspect = 1.0;
    m_advanceSign = 1.0;
    m_panScale = 1.0;
    m_rotation.SetIdentity();
    m_showCam = false;
    m_showField = false;
    m_userInt = 0;
    m_lastDirection.Set(0.0, 5.0, 0.0);
    RefreshDirection();
    ComputeProjection(m_lastProjection);
    m_modified = false;
}

void wxGLCamera::RefreshDirection()
{
    m_direction = m_center - m_eye;
    const double length = m_direction.Length();
    if (length > 0.0 && std::isfinite(length)) m_lastDirection = m_direction;
}

double wxGLCamera::ViewDistance() const
{
    const double length = m_direction.Length();
    return length > 0.0 ? length : m_lastDirection.Length();
}

double wxGLCamera::MoveStep() const { return (m_cmax - m_cmin) / MoveDivisor(); }

void wxGLCamera::Changed()
{
    UpdateProjection(true);
    m_modified = true;
}

void wxGLCamera::UpdateDirection()
{
    RefreshDirection();
    m_previousEye = m_eye;
    m_advanceSign = 1.0;
    Changed();
}

void wxGLCamera::SetCenter(double x, double y, double z)
{
    if (!Finite(x, y, z)) return;
    m_center.Set(x, y, z);
    UpdateDirection();
}

void wxGLCamera::GetCenter(double* x, double* y, double* z) const { m_center.Get(*x, *y, *z); }

void wxGLCamera::GetCenter(float* x, float* y, float* z) const
{
    *x = static_cast<float>(m_center.x);
    *y = static_cast<float>(m_center.y);
    *z = static_cast<float>(m_center.z);
}

void wxGLCamera::SetCenter(const CVector3& c)
{
    if (!Finite(c.x, c.y, c.z)) return;
    m_center = c;
    RefreshDirection();
    m_modified = true;
}

void wxGLCamera::SetEye(double x, double y, double z)
{
    if (!Finite(x, y, z)) return;
    m_eye.Set(x, y, z);
    UpdateDirection();
}

void wxGLCamera::GetEye(double* x, double* y, double* z) const { m_eye.Get(*x, *y, *z); }

void wxGLCamera::GetEye(float* x, float* y, float* z) const
{
    *x = static_cast<float>(m_eye.x);
    *y = static_cast<float>(m_eye.y);
    *z = static_cast<float>(m_eye.z);
}

void wxGLCamera::SetEye(const CVector3& e) { SetEye(e.x, e.y, e.z); }

void wxGLCamera::GetRange(double* cmin, double* cmax, double* znear, double* zfar) const
{
    *cmin = m_cmin;
    *cmax = m_cmax;
    *znear = m_znear;
    *zfar = m_zfar;
}

void wxGLCamera::SetViewport(int width, int height)
{
    if (width > 0 && height > 0) {
        // The quotient is taken in single precision, as the stored views were tuned with.
        m_aspect = width / static_cast<float>(height);
        const double panScale = (m_cmax - m_cmin) * 5.0 / width * m_aspect;
        if (std::isfinite(panScale)) m_panScale = panScale;
    }
    glViewport(0, 0, std::max(width, 0), std::max(height, 0));
    UpdateProjection(true);
}

void wxGLCamera::Frustum(double lens, double aspect, double zNear, double zFar, CMatrix4& out,
                         bool& isValid) const
{
    const double h = zNear * std::tan(std::min(lens, kMaxFrustumAngle) * kDegree);
    isValid =
        h > 0.0 && aspect > 0.0 && FrustumMatrix(-h * aspect, h * aspect, -h, h, zNear, zFar, out);
}

bool wxGLCamera::ComputeProjection(CMatrix4& out) const
{
    bool isValid = false;
    if (m_perspective) {
        Frustum(m_lens, m_aspect, kPerspectiveNear, m_zfar, out, isValid);
        return isValid && m_zfar > kPerspectiveNear;
    }
    // The window and depth range lie around the centre as the look-at places it: on the
    // view axis, at the viewing distance.
    const double h = ViewDistance() * std::sin(m_lens * kDegree);
    if (!(h > 0.0) || !(m_aspect > 0.0)) return false;
    return OrthoMatrix(-m_aspect * h, m_aspect * h, -h, h, -20.0 * h, 20.0 * h, out);
}

void wxGLCamera::UpdateProjection(bool reset)
{
    RefreshDirection();
    CMatrix4 projection;
    if (ComputeProjection(projection))
        m_lastProjection = projection;
    else
        projection = m_lastProjection;
    if (reset) {
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
    }
    glMultMatrixd(projection.GetData());
    glMatrixMode(GL_MODELVIEW);
}

CMatrix4 wxGLCamera::ComputeModelView() const
{
    CVector3 f, s, u;
    if (!ViewFrame(m_center - m_eye, m_up, f, s, u) && !ViewFrame(m_lastDirection, m_up, f, s, u))
        ViewFrame(CVector3(0.0, 1.0, 0.0), m_up, f, s, u);
    const CMatrix4 lookAt = LookAtMatrix(m_eye, f, s, u);
    return m_orbital ? lookAt : MatrixProduct(lookAt, m_rotation);
}

void wxGLCamera::UpdateModelView()
{
    RefreshDirection();
    glMatrixMode(GL_MODELVIEW);
    glLoadMatrixd(ComputeModelView().GetData());
}

void wxGLCamera::SetPerspective(bool perspective)
{
    m_perspective = perspective;
    UpdateProjection(true);
}

void wxGLCamera::SetOrbital(bool orbital)
{
    m_orbital = orbital;
    UpdateProjection(true);
}

void wxGLCamera::SetRange(double cmin, double cmax, double znear, double zfar)
{
    if (!Finite(cmin, cmax, znear, zfar)) return;
    m_cmin = cmin;
    m_cmax = cmax;
    m_znear = znear;
    m_zfar = zfar;
    UpdateProjection(true);
}

void wxGLCamera::ExtendRange(double min, double max)
{
    if (!Finite(min, max)) return;
    if (m_cmin > min) m_cmin = min;
    if (max > m_cmax) m_cmax = max;
    if (m_znear > min) m_znear = min - 5.0 * std::fabs(max - min);
    if (max > m_zfar) m_zfar = max + 5.0 * std::fabs(max - min);
    Changed();
}

void wxGLCamera::Orbit(double dAzimuth, double dPolar)
{
    OrbitAround(dAzimuth, dPolar, m_center.x, m_center.y, m_center.z);
}

void wxGLCamera::OrbitAround(double dAzimuth, double dPolar, double px, double py, double pz)
{
    if (!Finite(dAzimuth, dPolar, px, py, pz)) return;
    const CVector3 pivot(px, py, pz);
    double r, theta, phi;
    (m_eye - pivot).ToSpherical(r, theta, phi);
    CVector3 offset;
    offset.FromSpherical(r, std::fabs(theta + dPolar), phi + dAzimuth);
    m_eye = pivot + offset;
    m_direction = pivot - m_eye;
    Changed();
}

void wxGLCamera::Rotate(double a, double b)
{
    if (!Finite(a, b)) return;
    if (m_orbital) {
        Orbit(-b, -a);
        return;
    }
    m_rotation.RotateX(a);
    m_rotation.RotateZ(b);
    Changed();
}

void wxGLCamera::RotateAxis(int axis, double angle)
{
    if (!Finite(angle)) return;
    if (m_orbital) {
        if (axis == 2)
            Orbit(angle, 0.0);
        else
            Orbit(0.0, angle);
        return;
    }
    m_rotation.RotateLocal(axis, angle);
    Changed();
}

void wxGLCamera::ResetOrientation()
{
    m_rotation.SetIdentity();
    if (m_orbital) {
        const double d = ViewDistance();
        m_eye = m_center + CVector3(kPoleOffset * d, -d, kPoleOffset * d);
    }
    UpdateDirection();
}

void wxGLCamera::ResetLens()
{
    m_lens = kDefaultLens;
    Changed();
}

void wxGLCamera::ZoomOut()
{
    m_lens = std::min(m_lens + 1.0, kMaxLens);
    Changed();
}

void wxGLCamera::ZoomIn()
{
    m_lens = std::max(m_lens - 1.0, kMinLens);
    Changed();
}

void wxGLCamera::SetLens(double lens)
{
    if (lens > 0.0 && lens <= kMaxLens) {
        m_lens = lens;
        UpdateProjection(true);
    }
    m_modified = true;
}

void wxGLCamera::TopView()
{
    if (m_orbital) {
        const double d = ViewDistance();
        m_eye = m_center + CVector3(0.0, -kPoleOffset * d, d);
    } else {
        m_rotation.RotateLocalX(kPi / 2.0);
    }
    UpdateDirection();
}

void wxGLCamera::BottomView()
{
    if (m_orbital) {
        const double d = ViewDistance();
        m_eye = m_center + CVector3(0.0, -kPoleOffset * d, -d);
    } else {
        m_rotation.RotateLocalX(kPi / 2.0);
    }
    UpdateDirection();
}

void wxGLCamera::LeftView()
{
    if (m_orbital)
        m_eye = m_center + CVector3(-ViewDistance(), 0.0, 0.0);
    else
        m_rotation.RotateLocalZ(kPi);
    UpdateDirection();
}

void wxGLCamera::RightView()
{
    if (m_orbital)
        m_eye = m_center + CVector3(ViewDistance(), 0.0, 0.0);
    else
        m_rotation.RotateLocalZ(kPi);
    UpdateDirection();
}

void wxGLCamera::BackView()
{
    if (m_orbital)
        m_eye = m_center + CVector3(0.0, -ViewDistance(), 0.0);
    else
        m_rotation.RotateLocalZ(kPi / 2.0);
    UpdateDirection();
}

void wxGLCamera::FrontView()
{
    if (m_orbital)
        m_eye = m_center + CVector3(0.0, ViewDistance(), 0.0);
    else
        m_rotation.RotateLocalZ(-kPi / 2.0);
    UpdateDirection();
}

void wxGLCamera::MoveLeft(bool withCenter)
{
    const double step = MoveStep();
    m_eye.x -= step;
    if (withCenter) m_center.x -= step;
    Changed();
}

void wxGLCamera::MoveRight(bool withCenter)
{
    const double step = MoveStep();
    m_eye.x += step;
    if (withCenter) m_center.x += step;
    Changed();
}

void wxGLCamera::MoveForward(bool withCenter)
{
    const double step = MoveStep();
    m_eye.y += step;
    if (withCenter) m_center.y += step;
    Changed();
}

void wxGLCamera::MoveBackward(bool withCenter)
{
    const double step = MoveStep();
    m_eye.y -= step;
    if (withCenter) m_center.y -= step;
    Changed();
}

void wxGLCamera::MoveDown(bool withCenter)
{
    const double step = MoveStep();
    m_eye.z -= step;
    if (withCenter) m_center.z -= step;
    Changed();
}

void wxGLCamera::MoveUp()
{
    const double step = MoveStep();
    m_eye.z += step;
    m_center.z += step;
    Changed();
}

void wxGLCamera::TranslateEye(double dx, double dy, double dz)
{
    if (!Finite(dx, dy, dz)) return;
    m_eye += CVector3(dx, dy, dz);
    Changed();
}

void wxGLCamera::TranslateEye(const CVector3& v) { TranslateEye(v.x, v.y, v.z); }

void wxGLCamera::TranslateCenter(double dx, double dy, double dz)
{
    if (!Finite(dx, dy, dz)) return;
    m_center += CVector3(dx, dy, dz);
    Changed();
}

void wxGLCamera::LookAt(double x, double y, double z)
{
    if (!Finite(x, y, z)) return;
    m_center.Set(x, y, z);
    Changed();
}

void wxGLCamera::Dolly(double f)
{
    if (!Finite(f)) return;
    RefreshDirection();
    m_eye += m_direction * f;
    Changed();
}

void wxGLCamera::MoveTo(double x, double y, double z, bool steer)
{
    if (!Finite(x, y, z)) return;
    m_eye.Set(x, y, z);
    if (!steer) {
        UpdateDirection();
        return;
    }
    if (m_eye != m_previousEye) {
        // Look ahead along the motion, scaled by the scene extent.
        m_direction = (m_eye - m_previousEye) * (m_cmax - m_cmin);
        m_center = m_eye + m_direction;
    }
    m_previousEye = m_eye;
    Changed();
}

void wxGLCamera::Advance(CVector3& v, double distance)
{
    if (!Finite(v.x, v.y, v.z, distance)) return;
    v = v.Normalized();
    const double sign = m_advanceSign < 0.0 ? -1.0 : (m_advanceSign > 0.0 ? 1.0 : 0.0);
    v *= sign * distance;
    m_advanceSign = distance;
    m_previousEye = m_eye;
    m_eye += v;
    Changed();
}

void wxGLCamera::FollowCenter(double x, double y, double z, bool record)
{
    if (!Finite(x, y, z)) return;
    m_center.Set(x, y, z);
    if (record)
        m_followOffset = m_eye - m_center;
    else
        m_eye = m_center + m_followOffset;
    Changed();
}

void wxGLCamera::Pan(double dx, double dy)
{
    if (!Finite(dx, dy)) return;
    // A wider lens pans faster.
    const double k = 0.25 * m_lens / kDefaultLens;
    const double a = dx / MoveDivisor() * k;
    const double b = dy / MoveDivisor() * k;
    RefreshDirection();
    CVector3 f, s, u;
    if (!ViewFrame(m_direction, m_up, f, s, u)) ViewFrame(m_lastDirection, m_up, f, s, u);
    if (a != 0.0) {
        m_eye -= s * (m_panScale * a);
        m_center -= s * (m_panScale * a);
    }
    if (b != 0.0) {
        m_eye += u * (m_panScale * b);
        m_center += u * (m_panScale * b);
    }
    UpdateDirection();
}

void wxGLCamera::SetRotation(const CQuaternion& q)
{
    if (!Finite(q.x, q.y, q.z, q.w)) return;
    m_rotation = q.ToMatrix4();
}

void wxGLCamera::SetRotation(const double wxyz[4])
{
    CQuaternion q;
    q.SetWXYZ(wxyz);
    SetRotation(q);
}

bool wxGLCamera::UnProject(int x, int y, double* ox, double* oy, double* oz) const
{
    GLdouble modelView[16], projection[16];
    GLint viewport[4];
    glGetDoublev(GL_MODELVIEW_MATRIX, modelView);
    glGetDoublev(GL_PROJECTION_MATRIX, projection);
    glGetIntegerv(GL_VIEWPORT, viewport);
    const float wx = static_cast<float>(x);
    const float wy = static_cast<float>(viewport[3]) - static_cast<float>(y);
    const float wz = 0.001f;
    GLdouble px, py, pz;
    if (gluUnProject(wx, wy, wz, modelView, projection, viewport, &px, &py, &pz) != GL_TRUE)
        return false;
    *ox = px;
    *oy = py;
    *oz = pz;
    return true;
}

bool wxGLCamera::UnProjectXZ(double x, double y, double /*ignored*/, int* ox, int* oz) const
{
    GLdouble modelView[16], projection[16];
    GLint viewport[4];
    glGetDoublev(GL_MODELVIEW_MATRIX, modelView);
    glGetDoublev(GL_PROJECTION_MATRIX, projection);
    glGetIntegerv(GL_VIEWPORT, viewport);
    GLdouble px, py, pz;
    if (gluUnProject(x, y, 0.01, modelView, projection, viewport, &px, &py, &pz) != GL_TRUE)
        return false;
    // Outside the int range the truncation is undefined.
    const auto inRange = [](double v) { return v > INT_MIN - 1.0 && v < INT_MAX + 1.0; };
    if (!inRange(px) || !inRange(pz)) return false;
    *ox = static_cast<int>(px);
    *oz = static_cast<int>(pz);
    return true;
}
