#include "GLcanvas/wx3DWindow.h"

#include "GLcanvas/glShapes.h"

#include <wx/confbase.h>
#include <wx/dcclient.h>
#include <wx/intl.h>
#include <wx/log.h>
#include <wx/menu.h>

#include <GL/gl.h>
#include <GL/glu.h>

#include <algorithm>
#include <cmath>

namespace {

// Multisampling when the display offers it; a display without it still gets
// a double-buffered canvas with depth rather than no window at all.
const int* CanvasAttributes()
{
    static const int kFull[] = {WX_GL_RGBA, WX_GL_DOUBLEBUFFER, WX_GL_SAMPLE_BUFFERS, 1,
                                WX_GL_DEPTH_SIZE, 16, 0};
    static const int kPlain[] = {WX_GL_RGBA, WX_GL_DOUBLEBUFFER, WX_GL_DEPTH_SIZE, 16, 0};
    return wxGLCanvas::IsDisplaySupported(kFull) ? kFull : kPlain;
}

void SetMultisample(bool on)
{
    if (on)
        glEnable(GL_MULTISAMPLE);
    else
        glDisable(GL_MULTISAMPLE);
}

void EnableSmoothing()
{
    glShadeModel(GL_SMOOTH);
    glEnable(GL_POLYGON_SMOOTH);
    glEnable(GL_LINE_SMOOTH);
    glEnable(GL_POINT_SMOOTH);
}

}  // namespace

// A failed context is logged and leaves a window that paints nothing.
my3DCanvas::my3DCanvas(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size,
                       long style, const wxString& name)
    : wxGLCanvas(parent, id, CanvasAttributes(), pos, size, style | wxFULL_REPAINT_ON_RESIZE, name)
{
    m_homeCentre.Clear();
    m_homeEye.Clear();
    auto context = std::make_unique<wxGLContext>(this);
    if (context->IsOK())
        m_context = std::move(context);
    else
        wxLogError(_("OpenGL Error"));
    my3DCanvas::InitSettings();
    my3DCanvas::UpdateRenderSize();
    my3DCanvas::SaveFreeView();
}

my3DCanvas::~my3DCanvas() { m_context.reset(); }

bool my3DCanvas::MakeCurrent()
{
    if (!m_context || !IsShownOnScreen())
        return false;
    return SetCurrent(*m_context);
}

void my3DCanvas::InitSettings()
{
    SetCanvasDefaults();
    SetupCamera();
}

void my3DCanvas::SetupCamera()
{
    m_camera.Reset();
    m_camera.SetCenter(m_homeCentre);
    m_camera.SetEye(m_homeEye);
    const double f = m_farValue;
    m_camera.SetRange(-3.0 * f, 3.0 * f, -3.0 * f, 3.0 * f);
}

LightRecord* my3DCanvas::GetLights(int* count)
{
    if (count != nullptr)
        *count = kLightCount;
    return m_lights;
}

bool my3DCanvas::GetRotationCenter(float out[3])
{
    out[0] = static_cast<float>(m_homeCentre.x);
    out[1] = static_cast<float>(m_homeCentre.y);
    out[2] = static_cast<float>(m_homeCentre.z);
    return true;
}

void my3DCanvas::SaveConfig(wxConfigBase* config)
{
    if (config == nullptr)
        return;
    SaveCanvasConfig(*config);
    m_camera.SaveConfig(config, "cam");
}

void my3DCanvas::LoadConfig(wxConfigBase* config)
{
    const wxGLCamera::LoadReport report;
    if (config != nullptr)
        LoadCanvasConfig(*config);
    m_camera.LoadConfig(config, "cam");
}

void my3DCanvas::ResetView()
{
    m_homeCentre.Set(0.0, 0.0, 0.5);
    m_homeEye.Set(0.0, -4.0, 1.0);
    SetupCamera();
    ResizeViewport();
    Refresh(false);
}

void my3DCanvas::CenterView()
{
    m_homeCentre.Clear();
    m_camera.SetCenter(m_homeCentre);
}

void my3DCanvas::SetBackView()
{
    m_camera.BackView();
    Refresh(false);
}

void my3DCanvas::SetFrontView()
{
    m_camera.FrontView();
    Refresh(false);
}

void my3DCanvas::SetTopView()
{
    m_camera.TopView();
    Refresh(false);
}

void my3DCanvas::SetBottomView()
{
    m_camera.BottomView();
    Refresh(false);
}

void my3DCanvas::SetLeftView()
{
    m_camera.LeftView();
    Refresh(false);
}

void my3DCanvas::SetRightView()
{
    m_camera.RightView();
    Refresh(false);
}

void my3DCanvas::RestoreFreeView() { m_camera.SetState(m_savedView, 12); }

void my3DCanvas::SaveFreeView() { m_camera.GetState(m_savedView, 12); }

void my3DCanvas::UpdateRenderSize()
{
    const wxSize size = GetClientSize();
    m_renderWidth = size.GetWidth();
    m_renderHeight = size.GetHeight();
}

void my3DCanvas::SetWireMode(bool wire)
{
    m_flags.wire = wire;
    if (MakeCurrent())
        ApplyRenderModes();
    Refresh(true);
}

void my3DCanvas::SetSmoothMode(bool smooth)
{
    m_flags.smooth = smooth;
    if (MakeCurrent())
        ApplyRenderModes();
    Refresh(true);
}

void my3DCanvas::SetMultiSampling(bool multisampling)
{
    m_flags.multisampling = multisampling;
    if (MakeCurrent())
        ApplyRenderModes();
    Refresh(true);
}

void my3DCanvas::EnableLighting(bool enable)
{
    if (enable) {
        glEnable(GL_LIGHT0);
        glEnable(GL_LIGHT1);
        glEnable(GL_LIGHTING);
    } else {
        glDisable(GL_LIGHTING);
        glDisable(GL_LIGHT0);
        glDisable(GL_LIGHT1);
    }
}

void my3DCanvas::SetupLights()
{
    glLightfv(GL_LIGHT0, GL_POSITION, m_lights[0].position);
    glLightfv(GL_LIGHT0, GL_DIFFUSE, m_lights[0].colour);
    glLightfv(GL_LIGHT1, GL_POSITION, m_lights[1].position);
    glLightfv(GL_LIGHT1, GL_DIFFUSE, m_lights[1].colour);
    EnableLighting(true);
}

void my3DCanvas::InitGL()
{
    SetupLights();
    glDisable(GL_CULL_FACE);
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_DITHER);
    glShadeModel(GL_SMOOTH);
    glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_FASTEST);
    glHint(GL_POLYGON_SMOOTH_HINT, GL_FASTEST);
    glHint(GL_LINE_SMOOTH_HINT, GL_FASTEST);
    glColorMaterial(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE);
    glEnable(GL_COLOR_MATERIAL);
}

void my3DCanvas::ResizeViewport()
{
    const wxSize size = GetClientSize();
    m_notShown = !IsShownOnScreen();
    if (!MakeCurrent())
        return;
    glViewport(0, 0, size.GetWidth(), size.GetHeight());
    m_camera.SetViewport(size.GetWidth(), size.GetHeight());
    m_camera.UpdateModelView();
}

void my3DCanvas::PaintGL()
{
    wxPaintDC dc(this);
    if (!MakeCurrent()) {
        m_frameOwed = true;
        return;
    }
    if (!m_flags.initialised) {
        InitGL();
        ResizeViewport();
        m_flags.initialised = true;
    }
    if (m_notShown)
        ResizeViewport();
    RenderFrame();
    glFlush();
    SwapBuffers();
    m_frameOwed = false;
    ++m_renderedFrames;
}

void my3DCanvas::Render()
{
    RenderFrame();
    glFlush();
    SwapBuffers();
    m_frameOwed = false;
    ++m_renderedFrames;
}

void my3DCanvas::RenderFrame()
{
    glPushAttrib(GL_ALL_ATTRIB_BITS);
    glClearColor(m_background[0], m_background[1], m_background[2], m_background[3]);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glLoadIdentity();
    DrawBackground(true);
    m_camera.UpdateModelView();
    m_camera.Update();
    ApplyRenderModes();
    DrawPlane();
    DrawScene();
    glPopAttrib();
}

void my3DCanvas::ApplyRenderModes()
{
    glDisable(GL_FOG);
    if (m_fogMode >= 0) {
        glEnable(GL_FOG);
        if (m_fogMode == 0)
            glFogi(GL_FOG_MODE, GL_EXP);
        else if (m_fogMode == 1)
            glFogi(GL_FOG_MODE, GL_EXP2);
        else if (m_fogMode == 2)
            glFogi(GL_FOG_MODE, GL_LINEAR);
        glFogfv(GL_FOG_COLOR, m_fogColour);
        glFogf(GL_FOG_DENSITY, static_cast<float>(m_fogDensity));
        glHint(GL_FOG_HINT, GL_DONT_CARE);
        glFogf(GL_FOG_START, static_cast<float>(m_fogStart));
        glFogf(GL_FOG_END, static_cast<float>(m_fogEnd));
    }
    if (!m_flags.wire) {
        glDepthFunc(GL_LEQUAL);
        if (m_flags.smooth) {
            EnableSmoothing();
            glDisable(GL_CULL_FACE);
            SetMultisample(m_flags.multisampling);
        } else {
            glShadeModel(GL_FLAT);
            glCullFace(GL_BACK);
            glDisable(GL_MULTISAMPLE);
        }
        EnableLighting(true);
    } else if (m_flags.smooth) {
        EnableSmoothing();
        glHint(GL_LINE_SMOOTH_HINT, GL_FASTEST);
        SetMultisample(m_flags.multisampling);
    } else {
        glDisable(GL_MULTISAMPLE);
        glShadeModel(GL_FLAT);
    }
}

void my3DCanvas::ApplyPolygonMode()
{
    if (!m_flags.wire) {
        glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
        glShadeModel(GL_SMOOTH);
        glEnable(GL_DEPTH_TEST);
    } else {
        glPolygonMode(GL_FRONT_AND_BACK, GL_LINE);
    }
    if (m_flags.smooth) {
        EnableSmoothing();
        SetMultisample(m_flags.multisampling);
    } else {
        glShadeModel(GL_FLAT);
        glDisable(GL_MULTISAMPLE);
    }
    if (m_flags.cull)
        glEnable(GL_CULL_FACE);
    else
        glDisable(GL_CULL_FACE);
}

void my3DCanvas::DrawUnderPlane()
{
    float colour[4];
    UnderPlaneColour(m_background, colour);
    const float h = m_plane.size / 2.0f;
    glColor4fv(colour);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glDepthMask(GL_FALSE);
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    glBegin(GL_POLYGON);
    glVertex3f(-h, -h, 0.0f);
    glVertex3f(h, -h, 0.0f);
    glVertex3f(h, h, 0.0f);
    glVertex3f(-h, h, 0.0f);
    glEnd();
    glDepthMask(GL_TRUE);
    glDisable(GL_BLEND);
}

void my3DCanvas::DrawPlane()
{
    const int grid = DrawnGridCount(m_plane.gridCount);
    if (m_plane.visible) {
        glColor3fv(m_plane.colour);
        glPushMatrix();
        glTranslatef(m_plane.position[0], m_plane.position[1], m_plane.position[2]);
        switch (m_plane.kind) {
        case 0:
            DrawUnderPlane();
            glColor3fv(m_plane.colour);
            DrawGridPlaneXY(m_plane.size, 0.0f, grid);
            break;
        case 1:
            DrawGridPlaneYZ(m_plane.size, 0.0f, grid);
            break;
        case 2:
            DrawGridPlaneXZ(m_plane.size, 0.0f, grid);
            break;
        default:
            break;
        }
        glPopMatrix();
    }
    if (m_plane.showAxes && m_plane.axisSize > 0.0f) {
        glPushMatrix();
        DrawAxisArrows(m_plane.axisSize);
        glPopMatrix();
    }
}

void my3DCanvas::DrawCornerAxes()
{
    EnableLighting(false);
    GLint viewport[4];
    GLdouble modelview[16];
    GLdouble projection[16];
    glGetIntegerv(GL_VIEWPORT, viewport);
    glGetDoublev(GL_MODELVIEW_MATRIX, modelview);
    glGetDoublev(GL_PROJECTION_MATRIX, projection);
    const double m = std::abs(viewport[3] - viewport[1]) / 20.0;
    const double ax = viewport[0] + 1.5 * m;
    const double ay = 1.5 * m;
    GLfloat depth = 0.0f;
    glReadPixels(static_cast<GLint>(ax), static_cast<GLint>(ay), 1, 1, GL_DEPTH_COMPONENT,
                 GL_FLOAT, &depth);
    double p[3] = {0, 0, 0};
    double q[3] = {0, 0, 0};
    gluUnProject(ax, ay, depth, modelview, projection, viewport, &p[0], &p[1], &p[2]);
    gluUnProject(ax + m, ay, depth, modelview, projection, viewport, &q[0], &q[1], &q[2]);
    const double length = std::sqrt((q[0] - p[0]) * (q[0] - p[0]) +
                                    (q[1] - p[1]) * (q[1] - p[1]) + (q[2] - p[2]) * (q[2] - p[2]));
    glPushMatrix();
    glDisable(GL_DEPTH_TEST);
    glEnable(GL_LINE_SMOOTH);
    glLineWidth(2.0f);
    glTranslatef(static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2]));
    DrawAxes(length);
    glLineWidth(1.0f);
    glEnable(GL_DEPTH_TEST);
    glPopMatrix();
    EnableLighting(true);
}

void my3DCanvas::OnPaint(wxPaintEvent&) { PaintGL(); }

void my3DCanvas::OnSize(wxSizeEvent&) { ResizeViewport(); }

void my3DCanvas::OnEraseBackground(wxEraseEvent&) {}
