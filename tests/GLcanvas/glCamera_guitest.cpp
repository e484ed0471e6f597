#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "GLcanvas/glCamera.h"
#include "GLcanvas/glTestWindow.h"

namespace {

constexpr double kPi = 3.141592653589793;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

void ExpectVectorNear(const CVector3& v, double x, double y, double z, double tolerance = 1e-9)
{
    EXPECT_NEAR(v.x, x, tolerance);
    EXPECT_NEAR(v.y, y, tolerance);
    EXPECT_NEAR(v.z, z, tolerance);
}

// The matrix glFrustum or glOrtho would build, row by row.
CMatrix4 Rows(const double (&rows)[16])
{
    CMatrix4 m;
    m.SetTransposed(rows);
    return m;
}

void ExpectMatrixNear(const double* actual, const CMatrix4& expected, double tolerance)
{
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(actual[i], expected.GetData()[i], tolerance) << "element " << i;
}

CMatrix4 DefaultFrustum()  // glFrustum(-0.1, 0.1, -0.1, 0.1, 0.1, 30)
{
    return Rows({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -30.1 / 29.9, -6.0 / 29.9, 0, 0, -1, 0});
}

CMatrix4 DefaultOrtho()  // glOrtho(-h, h, -h, h, -20 h, 20 h), h = 5 sin 45°
{
    const double h = 5.0 * std::sin(kPi / 4.0);
    return Rows({1 / h, 0, 0, 0, 0, 1 / h, 0, 0, 0, 0, -1 / (20 * h), 0, 0, 0, 0, 1});
}

}  // namespace

TEST(GLCameraTest, ResetStateAndOrbitalPresets)
{
    wxGLCamera cam;
    ExpectVectorNear(cam.GetEyeVector(), 0, -5, 0);
    ExpectVectorNear(cam.GetDirection(), 0, 5, 0);
    ExpectVectorNear(cam.GetUp(), 0, 0, 1);
    EXPECT_TRUE(cam.IsOrbital());
    EXPECT_TRUE(cam.IsPerspective());
    EXPECT_FALSE(cam.IsModified());
    EXPECT_EQ(cam.GetNegatedZFar(), -30.0);

    struct Preset {
        void (wxGLCamera::*apply)();
        double x, y, z;
    };
    const Preset presets[] = {{&wxGLCamera::BackView, 0, -5, 0},
                              {&wxGLCamera::FrontView, 0, 5, 0},
                              {&wxGLCamera::LeftView, -5, 0, 0},
                              {&wxGLCamera::RightView, 5, 0, 0},
                              {&wxGLCamera::TopView, 0, -0.005, 5},
                              {&wxGLCamera::BottomView, 0, -0.005, -5},
                              {&wxGLCamera::ResetOrientation, 0.005, -5, 0.005}};
    for (const Preset& p : presets) {
        cam.Reset();
        (cam.*p.apply)();
        ExpectVectorNear(cam.GetEyeVector(), p.x, p.y, p.z);
        ExpectVectorNear(cam.GetCenterVector(), 0, 0, 0);
        EXPECT_TRUE(cam.IsModified());
    }
}

TEST(GLCameraTest, NotOrbitalPresetsTurnTheSceneAndBackFrontCancel)
{
    wxGLCamera cam;
    cam.SetOrbital(false);
    cam.RotateAxis(0, 0.3);
    const CMatrix4 before = cam.GetRotation();
    cam.BackView();
    cam.FrontView();
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(cam.GetRotation().GetData()[i], before.GetData()[i], 1e-12);
    ExpectVectorNear(cam.GetEyeVector(), 0, -5, 0);
    cam.TopView();
    cam.TopView();  // applied twice turns twice: a half turn about the local x axis
    EXPECT_NEAR(cam.GetRotation().GetData()[5], -before.GetData()[5], 1e-12);
}

TEST(GLCameraTest, ProjectionMatchesTheHandComputedFrustumAndOrtho)
{
    wxGLCamera cam;
    CMatrix4 m;
    ASSERT_TRUE(cam.ComputeProjection(m));
    ExpectMatrixNear(m.GetData(), DefaultFrustum(), 1e-6);
    cam.SetPerspective(false);
    ASSERT_TRUE(cam.ComputeProjection(m));
    ExpectMatrixNear(m.GetData(), DefaultOrtho(), 1e-9);
    // The orthographic window follows the centre through the look-at, wherever it is.
    cam.SetCenter(3, 4, 1);
    cam.SetEye(3, -1, 1);
    ASSERT_TRUE(cam.ComputeProjection(m));
    ExpectMatrixNear(m.GetData(), DefaultOrtho(), 1e-9);
}

TEST(GLCameraTest, IssuedMatricesAreTheComputedOnes)
{
    GLTestWindow window(64, 48);
    ASSERT_TRUE(window.IsCurrent());
    wxGLCamera cam;
    cam.SetViewport(800, 600);
    EXPECT_NEAR(cam.GetAspect(), 1.3333333, 1e-6);
    EXPECT_NEAR(cam.GetPanScale(), 0.16666667, 1e-6);
    cam.SetEye(1, -4, 2);
    glLoadIdentity();
    cam.UpdateModelView();
    cam.Update();
    double projection[16], modelView[16];
    GLint viewport[4];
    glGetDoublev(GL_PROJECTION_MATRIX, projection);
    glGetDoublev(GL_MODELVIEW_MATRIX, modelView);
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[2], 800);
    EXPECT_EQ(viewport[3], 600);
    const double a = cam.GetAspect();
    const double h = 0.1;  // 0.1 tan 45°
    ExpectMatrixNear(
        projection,
        Rows({0.1 / (h * a), 0, 0, 0, 0, 1, 0, 0, 0, 0, -30.1 / 29.9, -6.0 / 29.9, 0, 0, -1, 0}),
        1e-6);
    // OpenGL keeps its matrices in single precision.
    ExpectMatrixNear(modelView, cam.ComputeModelView(), 1e-6);
    int matrixMode = 0;
    glGetIntegerv(GL_MATRIX_MODE, &matrixMode);
    EXPECT_EQ(matrixMode, GL_MODELVIEW);

    // Not orbital: the scene turn follows the look-at.
    cam.SetOrbital(false);
    cam.SetRotation(CQuaternion(std::cos(0.25), 0, 0, std::sin(0.25)));  // 0.5 rad about z
    cam.UpdateModelView();
    glGetDoublev(GL_MODELVIEW_MATRIX, modelView);
    const CVector3 origin(1, 0, 0);
    // The model view turns a point first, then applies the plain look-at.
    wxGLCamera plain;
    plain.SetEye(1, -4, 2);
    const CVector3 turned = cam.GetRotation().TransformPoint(origin);
    EXPECT_NEAR(turned.y, std::sin(0.5), 1e-12);
    CMatrix4 issued;
    for (int i = 0; i < 16; ++i) issued.GetData()[i] = modelView[i];
    const CVector3 p = issued.TransformPoint(origin);
    const CVector3 q = plain.ComputeModelView().TransformPoint(turned);
    ExpectVectorNear(p, q.x, q.y, q.z, 1e-6);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST(GLCameraTest, UnProjectRoundTripsAProjectedPoint)
{
    GLTestWindow window(120, 90);
    ASSERT_TRUE(window.IsCurrent());
    wxGLCamera cam;
    cam.SetViewport(window.Width(), window.Height());
    cam.SetEye(2, -6, 3);
    cam.UpdateModelView();
    cam.Update();
    double x = 0, y = 0, z = 0;
    ASSERT_TRUE(cam.UnProject(30, 20, &x, &y, &z));
    // Project the world point back by hand: it must land on the same pixel.
    CMatrix4 projection;
    ASSERT_TRUE(cam.ComputeProjection(projection));
    const CVector3 eyeSpace = cam.ComputeModelView().TransformPoint(CVector3(x, y, z));
    const double* p = projection.GetData();
    const double cx = p[0] * eyeSpace.x + p[8] * eyeSpace.z;
    const double cy = p[5] * eyeSpace.y + p[9] * eyeSpace.z;
    const double cz = p[10] * eyeSpace.z + p[14];
    const double cw = -eyeSpace.z;
    EXPECT_NEAR((cx / cw + 1) / 2 * window.Width(), 30.0, 1e-3);
    EXPECT_NEAR(window.Height() - (cy / cw + 1) / 2 * window.Height(), 20.0, 1e-3);
    EXPECT_NEAR((cz / cw + 1) / 2, 0.001, 1e-6);

    // The XZ form takes y upward and truncates toward zero.
    int ox = 0, oz = 0;
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(-10, 10, -10, 10, -10, 10);
    glViewport(0, 0, 200, 200);
    glMatrixMode(GL_MODELVIEW);
    glRotated(-90, 1, 0, 0);  // world z shows upward on screen, world y toward the viewer
    // Window point of world (-2.7, ?, 3.9): x = (−2.7 + 10) · 10, y = (3.9 + 10) · 10.
    ASSERT_TRUE(cam.UnProjectXZ(73.0, 139.0, 0.0, &ox, &oz));
    EXPECT_EQ(ox, -2);
    EXPECT_EQ(oz, 3);
}

TEST(GLCameraTest, ViewportLensAndRange)
{
    wxGLCamera cam;
    cam.SetViewport(800, 0);
    EXPECT_EQ(cam.GetAspect(), 1.0);
    cam.SetLens(178.5);
    cam.ZoomOut();
    EXPECT_EQ(cam.GetLens(), 179.0);
    cam.ZoomOut();
    EXPECT_EQ(cam.GetLens(), 179.0);
    cam.SetLens(0.5);
    cam.ZoomIn();
    EXPECT_EQ(cam.GetLens(), 0.01);
    cam.SetModified(false);
    cam.SetLens(0);
    EXPECT_EQ(cam.GetLens(), 0.01);
    EXPECT_TRUE(cam.IsModified());
    cam.SetLens(-3);
    EXPECT_EQ(cam.GetLens(), 0.01);

    double cmin, cmax, znear, zfar;
    cam.Reset();
    cam.ExtendRange(-40, 50);
    cam.GetRange(&cmin, &cmax, &znear, &zfar);
    EXPECT_EQ(cmin, -40);
    EXPECT_EQ(cmax, 50);
    EXPECT_EQ(znear, -490);
    EXPECT_EQ(zfar, 500);
    cam.Reset();
    cam.ExtendRange(-20, 5);
    cam.GetRange(&cmin, &cmax, &znear, &zfar);
    EXPECT_EQ(cmin, -20);
    EXPECT_EQ(cmax, 10);
    EXPECT_EQ(znear, -30);
    EXPECT_EQ(zfar, 30);
}

TEST(GLCameraTest, OrbitPanAndMoves)
{
    wxGLCamera cam;
    cam.Orbit(kPi / 2, 0);
    ExpectVectorNear(cam.GetEyeVector(), 5, 0, 0);
    ExpectVectorNear(cam.GetCenterVector(), 0, 0, 0);
    cam.Reset();
    cam.Orbit(0, -2.0);  // past the pole: |pi/2 - 2| on the other side
    double r, theta, phi;
    cam.GetEyeVector().ToSpherical(r, theta, phi);
    EXPECT_NEAR(theta, 2.0 - kPi / 2, 1e-9);
    EXPECT_NEAR(r, 5.0, 1e-9);
    cam.Reset();
    cam.OrbitAround(kPi, 0, 0, -4, 0);
    ExpectVectorNear(cam.GetEyeVector(), 0, -3, 0);
    ExpectVectorNear(cam.GetCenterVector(), 0, 0, 0);

    cam.Reset();
    cam.Pan(200, 0);
    ExpectVectorNear(cam.GetEyeVector(), -0.25, -5, 0);
    ExpectVectorNear(cam.GetCenterVector(), -0.25, 0, 0);
    cam.Reset();
    cam.MoveLeft(false);
    ExpectVectorNear(cam.GetEyeVector(), -0.1, -5, 0);
    ExpectVectorNear(cam.GetCenterVector(), 0, 0, 0);
    cam.MoveUp();
    ExpectVectorNear(cam.GetEyeVector(), -0.1, -5, 0.1);
    ExpectVectorNear(cam.GetCenterVector(), 0, 0, 0.1);
    cam.Reset();
    cam.Dolly(0.1);
    ExpectVectorNear(cam.GetEyeVector(), 0, -4.5, 0);
}

TEST(GLCameraTest, AdvanceMoveToFollowAndLookAt)
{
    wxGLCamera cam;
    CVector3 v(0, 3, 0);
    cam.Advance(v, 2);
    ExpectVectorNear(cam.GetEyeVector(), 0, -3, 0);
    ExpectVectorNear(v, 0, 2, 0);
    CVector3 w(0, 1, 0);
    cam.Advance(w, -1);
    ExpectVectorNear(cam.GetEyeVector(), 0, -4, 0);
    w.Set(0, 1, 0);
    cam.Advance(w, -1);
    ExpectVectorNear(cam.GetEyeVector(), 0, -3, 0);

    wxGLCamera mover;
    mover.SetEye(0, -5, 0);
    mover.MoveTo(1, -5, 0, true);
    ExpectVectorNear(mover.GetCenterVector(), 21, -5, 0);  // motion (1, 0, 0) times 20
    mover.MoveTo(1, -5, 0, true);
    ExpectVectorNear(mover.GetCenterVector(), 21, -5, 0);

    cam.Reset();
    cam.FollowCenter(1, 1, 1, true);
    cam.FollowCenter(2, 3, 4, false);
    ExpectVectorNear(cam.GetEyeVector(), 1, -3, 3);

    cam.Reset();
    cam.SetEye(0, -2, 0);
    cam.TranslateEye(0, -1, 0);
    cam.LookAt(1, 1, 1);
    ExpectVectorNear(cam.GetPreviousEye(), 0, -2, 0);
    cam.SetCenter(1, 1, 1);
    ExpectVectorNear(cam.GetPreviousEye(), 0, -3, 0);
}

TEST(GLCameraTest, AssignmentKeepsTheTargetsOwnFlags)
{
    wxGLCamera source;
    source.SetEye(1, 2, 3);
    source.SetPerspective(false);
    source.SetUserInt(7);
    wxGLCamera target;
    target.SetUserInt(3);
    target = source;
    ExpectVectorNear(target.GetEyeVector(), 1, 2, 3);
    EXPECT_FALSE(target.IsPerspective());
    EXPECT_EQ(target.GetUserInt(), 3);
    EXPECT_FALSE(target.IsModified());
}

// Faults a careless caller or a bad sample could cause; the view must stay usable.
TEST(GLCameraTest, NonFiniteInputsLeaveTheCameraAsItWas)
{
    wxGLCamera cam;
    cam.SetEye(kNaN, 0, 0);
    cam.SetCenter(0, kNaN, 0);
    cam.SetCenter(CVector3(0, 0, kNaN));
    cam.MoveTo(kNaN, 1, 1, true);
    cam.FollowCenter(1, kNaN, 1, false);
    cam.Orbit(kNaN, 0);
    cam.Pan(std::numeric_limits<double>::infinity(), 0);
    cam.Dolly(kNaN);
    cam.SetRange(0, 1, 2, kNaN);
    cam.ExtendRange(kNaN, 1);
    cam.SetLens(kNaN);
    CVector3 v(kNaN, 0, 0);
    cam.Advance(v, 1);
    ExpectVectorNear(cam.GetEyeVector(), 0, -5, 0);
    ExpectVectorNear(cam.GetCenterVector(), 0, 0, 0);
    EXPECT_EQ(cam.GetLens(), 45.0);
    double cmin, cmax, znear, zfar;
    cam.GetRange(&cmin, &cmax, &znear, &zfar);
    EXPECT_EQ(zfar, 30.0);
    const CMatrix4 m = cam.ComputeModelView();
    for (int i = 0; i < 16; ++i) EXPECT_TRUE(std::isfinite(m.GetData()[i]));
}

TEST(GLCameraTest, EyeOnTheCentreOrViewAlongUpKeepsAUsableView)
{
    wxGLCamera cam;
    cam.Dolly(1.0);  // eye onto the centre
    ExpectVectorNear(cam.GetEyeVector(), 0, 0, 0);
    // Still looking along +y, as before: the centre direction is kept.
    CMatrix4 m = cam.ComputeModelView();
    EXPECT_NEAR(m.TransformPoint(CVector3(0, 1, 0)).z, -1.0, 1e-12);
    // The presets find their way out at the last viewing distance.
    cam.BackView();
    ExpectVectorNear(cam.GetEyeVector(), 0, -5, 0);
    // Orthographic projection with the eye on the centre still has a volume.
    cam.Dolly(1.0);
    cam.SetPerspective(false);
    CMatrix4 p;
    EXPECT_TRUE(cam.ComputeProjection(p));

    // Straight down along up: world +y shows upward on screen, like the top preset.
    cam.Reset();
    cam.SetEye(0, 0, 5);
    m = cam.ComputeModelView();
    EXPECT_NEAR(m.TransformPoint(CVector3(0, 1, 0)).y, 1.0, 1e-12);
    EXPECT_NEAR(m.TransformPoint(CVector3(1, 0, 0)).x, 1.0, 1e-12);
    // Pan still moves sideways there.
    cam.Pan(200, 0);
    ExpectVectorNear(cam.GetCenterVector(), -0.25, 0, 0);
}

TEST(GLCameraTest, BadProjectionParametersReissueTheLastGoodProjection)
{
    GLTestWindow window(32, 32);
    ASSERT_TRUE(window.IsCurrent());
    wxGLCamera cam;
    cam.Update();
    double good[16];
    glGetDoublev(GL_PROJECTION_MATRIX, good);
    cam.SetRange(-10, 10, -30, 0.05);  // far in front of the fixed near of 0.1
    double after[16];
    glGetDoublev(GL_PROJECTION_MATRIX, after);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(after[i], good[i]);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));

    // A zero-width viewport keeps the aspect and pan scale, so a pan stays finite.
    cam.Reset();
    cam.SetViewport(0, 600);
    EXPECT_EQ(cam.GetAspect(), 1.0);
    EXPECT_EQ(cam.GetPanScale(), 1.0);
    cam.Pan(10, 10);
    EXPECT_TRUE(std::isfinite(cam.GetEyeVector().x));
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST(GLCameraTest, WideLensesNeverMirrorTheScene)
{
    wxGLCamera cam;
    for (double lens : {89.0, 100.0, 179.0}) {
        cam.SetLens(lens);
        CMatrix4 p;
        ASSERT_TRUE(cam.ComputeProjection(p));
        EXPECT_GT(p.GetData()[0], 0.0) << lens;
        EXPECT_GT(p.GetData()[5], 0.0) << lens;
    }
    cam.SetLens(500);
    EXPECT_EQ(cam.GetLens(), 179.0);
}

TEST(GLCameraTest, AMovementDivisorOfZeroStepsAsTheDefault)
{
    const double saved = wxGLCamera::s_moveDivisor;
    wxGLCamera::s_moveDivisor = 0.0;
    wxGLCamera cam;
    cam.MoveLeft(true);
    cam.Pan(200, 0);
    wxGLCamera::s_moveDivisor = saved;
    ExpectVectorNear(cam.GetEyeVector(), -0.35, -5, 0);
    ExpectVectorNear(cam.GetCenterVector(), -0.35, 0, 0);
}
