#include "GLcanvas/wx3DWindow.h"

#include "GLcanvas/glTestSupport.h"
#include "support/tempDir.h"

#include <gtest/gtest.h>
#include <wx/fileconf.h>
#include <wx/menu.h>

#include <cmath>
#include <memory>

namespace {

// The canvas with its handlers bound (the canvas binds none itself) and its
// one-time GL set-up counted.
class CTestCanvas : public my3DCanvas {
public:
    CTestCanvas(wxWindow* parent, const wxSize& size)
        : my3DCanvas(parent, wxID_ANY, wxDefaultPosition, size)
    {
        Bind(wxEVT_PAINT, &my3DCanvas::OnPaint, this);
        Bind(wxEVT_SIZE, &my3DCanvas::OnSize, this);
    }
    void InitGL() override
    {
        ++initCount;
        my3DCanvas::InitGL();
    }
    void PaintGL() override
    {
        my3DCanvas::PaintGL();
        ++paintCount;
    }
    int initCount = 0;
    int paintCount = 0;
};

CVector3 Eye(wxGLCamera& camera)
{
    double x = 0, y = 0, z = 0;
    camera.GetEye(&x, &y, &z);
    return CVector3(x, y, z);
}

CVector3 Centre(wxGLCamera& camera)
{
    double x = 0, y = 0, z = 0;
    camera.GetCenter(&x, &y, &z);
    return CVector3(x, y, z);
}

wxMouseEvent Mouse(wxEventType type, int x, int y)
{
    wxMouseEvent event(type);
    event.m_x = x;
    event.m_y = y;
    return event;
}

// A left-button drag from (x0, y0) to (x1, y1) in one motion, with modifier keys.
void Drag(my3DCanvas& canvas, int x0, int y0, int x1, int y1, bool ctrl = false, bool alt = false,
          bool shift = false)
{
    wxMouseEvent down = Mouse(wxEVT_LEFT_DOWN, x0, y0);
    down.m_leftDown = true;
    canvas.OnMouse(down);
    wxMouseEvent move = Mouse(wxEVT_MOTION, x1, y1);
    move.m_leftDown = true;
    move.m_controlDown = ctrl;
    move.m_altDown = alt;
    move.m_shiftDown = shift;
    canvas.OnMouse(move);
}

void ExpectNear(const CVector3& a, const CVector3& b, double tolerance = 1e-6)
{
    EXPECT_NEAR(a.x, b.x, tolerance);
    EXPECT_NEAR(a.y, b.y, tolerance);
    EXPECT_NEAR(a.z, b.z, tolerance);
}

class CanvasTest : public GLWindowTest {
protected:
    CTestCanvas* MakeCanvas(const wxSize& size = wxSize(320, 240))
    {
        return new CTestCanvas(m_frame, size);
    }
};

}  // namespace

TEST_F(CanvasTest, NewCanvasHoldsItsDefaults)
{
    CTestCanvas* canvas = MakeCanvas();
    EXPECT_EQ(canvas->m_renderWidth, 320);  // the client size at construction
    EXPECT_EQ(canvas->m_renderHeight, 240);
    EXPECT_TRUE(canvas->HasContext());
    const RenderFlags* flags = canvas->GetRenderFlags();
    EXPECT_TRUE(flags->smooth);
    EXPECT_TRUE(flags->multisampling);
    EXPECT_FALSE(flags->wire);
    EXPECT_FALSE(flags->initialised);
    EXPECT_EQ(canvas->m_fogMode, -1);
    wxGLCamera& camera = *canvas->GetCamera();
    ExpectNear(Eye(camera), CVector3(0, -4, 1));
    ExpectNear(Centre(camera), CVector3(0, 0, 0.5));
    double state[12];
    ASSERT_TRUE(camera.GetState(state, 12));
    EXPECT_DOUBLE_EQ(state[7], -3000.0);
    EXPECT_DOUBLE_EQ(state[8], 3000.0);
    EXPECT_DOUBLE_EQ(state[9], -3000.0);
    EXPECT_DOUBLE_EQ(state[10], 3000.0);
    int count = 0;
    EXPECT_EQ(canvas->GetLights(&count), &canvas->m_lights[0]);
    EXPECT_EQ(count, 2);
    float centre[3];
    EXPECT_TRUE(canvas->GetRotationCenter(centre));
    EXPECT_FLOAT_EQ(centre[2], 0.5f);
}

TEST_F(CanvasTest, FirstPaintSetsUpGLOnce)
{
    CTestCanvas* canvas = MakeCanvas();
    ASSERT_TRUE(WaitShown(*canvas));
    canvas->Refresh(false);
    ASSERT_TRUE(WaitPainted(canvas->paintCount, 1));
    EXPECT_EQ(canvas->initCount, 1);
    EXPECT_TRUE(canvas->GetRenderFlags()->initialised);
    canvas->Refresh(false);
    ASSERT_TRUE(WaitPainted(canvas->paintCount, 2));
    EXPECT_EQ(canvas->initCount, 1);
}

TEST_F(CanvasTest, DragsPanDollyZoomAndOrbit)
{
    CTestCanvas* canvas = MakeCanvas();
    wxGLCamera& camera = *canvas->GetCamera();

    // Ctrl wins over Alt: a pan moves eye and centre together.
    CVector3 eye = Eye(camera), centre = Centre(camera);
    Drag(*canvas, 100, 100, 145, 100, true, true);
    EXPECT_TRUE(canvas->m_cameraMoved);
    EXPECT_TRUE(canvas->m_clicked);
    const CVector3 shift = Eye(camera) - eye;
    EXPECT_GT(shift.Length(), 1e-6);
    ExpectNear(Centre(camera) - centre, shift);

    // Alt wins over Shift: a dolly along the line of sight, lens unchanged.
    canvas->m_cameraMoved = false;
    eye = Eye(camera);
    centre = Centre(camera);
    const double lens = camera.GetLens();
    Drag(*canvas, 100, 100, 100, 130, false, true, true);
    EXPECT_FALSE(canvas->m_cameraMoved);
    EXPECT_DOUBLE_EQ(camera.GetLens(), lens);
    ExpectNear(Centre(camera), centre);
    EXPECT_NEAR((Eye(camera) - centre).Length(), 2.0 * (eye - centre).Length(), 1e-9);

    // Shift without vertical motion: no zoom, but the camera counts as moved.
    Drag(*canvas, 100, 100, 140, 100, false, false, true);
    EXPECT_DOUBLE_EQ(camera.GetLens(), lens);
    EXPECT_TRUE(canvas->m_cameraMoved);
    Drag(*canvas, 100, 100, 100, 90, false, false, true);
    EXPECT_DOUBLE_EQ(camera.GetLens(), lens - 1.0);
}

TEST_F(CanvasTest, LeftDragOrbitsAboutTheHomeCentreUnlessLocked)
{
    CTestCanvas* canvas = MakeCanvas();
    wxGLCamera& camera = *canvas->GetCamera();
    canvas->SetRotationLocked(true);
    const CVector3 eye = Eye(camera);
    Drag(*canvas, 0, 100, 360, 100);
    ExpectNear(Eye(camera), eye);
    EXPECT_FALSE(canvas->m_cameraMoved);
    EXPECT_TRUE(canvas->m_clicked);

    canvas->SetRotationLocked(false);
    // 360 pixels in 36 steps: half a degree per pixel, -pi in all.
    wxMouseEvent down = Mouse(wxEVT_LEFT_DOWN, 0, 100);
    down.m_leftDown = true;
    canvas->OnMouse(down);
    for (int x = 10; x <= 360; x += 10) {
        wxMouseEvent move = Mouse(wxEVT_MOTION, x, 100);
        move.m_leftDown = true;
        canvas->OnMouse(move);
    }
    EXPECT_TRUE(canvas->m_cameraMoved);
    ExpectNear(Eye(camera), CVector3(0, 4, 1), 1e-3);
    ExpectNear(Centre(camera), CVector3(0, 0, 0.5));
}

TEST_F(CanvasTest, WheelDolliesThreePercentPerNotch)
{
    CTestCanvas* canvas = MakeCanvas();
    wxGLCamera& camera = *canvas->GetCamera();
    const CVector3 centre = Centre(camera);
    const double d = (Eye(camera) - centre).Length();
    wxMouseEvent wheel = Mouse(wxEVT_MOUSEWHEEL, 10, 10);
    wheel.m_wheelRotation = 120;
    canvas->OnMouse(wheel);
    EXPECT_NEAR((Eye(camera) - centre).Length(), 0.97 * d, 1e-9);
    wheel.m_wheelRotation = -120;
    canvas->OnMouse(wheel);
    EXPECT_NEAR((Eye(camera) - centre).Length(), 0.97 * 1.03 * d, 1e-9);
}

TEST_F(CanvasTest, ContextMenuEntries)
{
    CTestCanvas* canvas = MakeCanvas();
    std::unique_ptr<wxMenu> full(canvas->BuildContextMenu());
    EXPECT_EQ(full->GetMenuItemCount(), 15u);
    EXPECT_EQ(full->FindItemByPosition(3)->GetItemLabelText(), "Back View");
    canvas->m_viewItemsInMenu = false;
    std::unique_ptr<wxMenu> menu(canvas->BuildContextMenu());
    ASSERT_EQ(menu->GetMenuItemCount(), 8u);
    EXPECT_EQ(menu->FindItemByPosition(0)->GetId(), ID_3D_CENTER_VIEW);
    EXPECT_EQ(menu->FindItemByPosition(1)->GetItemLabelText(), "Reset View");
    EXPECT_TRUE(menu->FindItemByPosition(2)->IsSeparator());
    EXPECT_EQ(menu->FindItemByPosition(3)->GetId(), ID_3D_WIRE_MODE);
    EXPECT_FALSE(menu->IsChecked(ID_3D_WIRE_MODE));
    EXPECT_TRUE(menu->IsChecked(ID_3D_SMOOTH_MODE));
    EXPECT_TRUE(menu->IsChecked(ID_3D_MULTISAMPLING));
    EXPECT_TRUE(menu->FindItemByPosition(6)->IsSeparator());
    EXPECT_EQ(menu->FindItemByPosition(7)->GetHelp(), "Toggle Perspective mode");
    EXPECT_EQ(menu->IsChecked(ID_3D_PERSPECTIVE), canvas->GetCamera()->IsPerspective());
}

TEST_F(CanvasTest, CenterViewMovesThePivotToTheOrigin)
{
    CTestCanvas* canvas = MakeCanvas();
    canvas->CenterView();
    float centre[3] = {1, 1, 1};
    canvas->GetRotationCenter(centre);
    EXPECT_FLOAT_EQ(centre[2], 0.0f);
    ExpectNear(Centre(*canvas->GetCamera()), CVector3(0, 0, 0));
    canvas->ResetView();
    ExpectNear(Centre(*canvas->GetCamera()), CVector3(0, 0, 0.5));
    ExpectNear(Eye(*canvas->GetCamera()), CVector3(0, -4, 1));
}

TEST_F(CanvasTest, SceneShowsBackgroundPlaneAndAxes)
{
    CTestCanvas* canvas = MakeCanvas();
    ASSERT_TRUE(WaitShown(*canvas));
    wxImage image = RenderAndRead(*canvas);
    Save(image, "canvas_default.png");
    // Background (0.2, 0.3, 0.5) in the top corner, above the floor.
    EXPECT_TRUE(Near(image, 2, 2, 51, 77, 128, 3));
    int x = 0, y = 0;
    const double red[3] = {0.3, 0.0, 0.0};  // on the red x axis arrow
    ASSERT_TRUE(Project(red, x, y));
    EXPECT_GT(CountOther(image, x, y, 3, 51, 77, 128), 0);
    EXPECT_GT(image.GetRed(x, y), image.GetBlue(x, y));

    // Axis size 0 hides the axes even when they are shown.
    canvas->m_plane.visible = false;
    canvas->m_plane.axisSize = 0.0f;
    image = RenderAndRead(*canvas);
    EXPECT_EQ(CountOther(image, x, y, 3, 51, 77, 128), 0);
    // A hidden plane with shown axes still draws the axes.
    canvas->m_plane.axisSize = 0.5f;
    image = RenderAndRead(*canvas);
    EXPECT_GT(CountOther(image, x, y, 3, 51, 77, 128), 0);
}

class CanvasConfigTest : public TempDirTest {};

TEST_F(CanvasConfigTest, SettingsAndCameraSurviveARestart)
{
    auto* frame = new wxFrame(nullptr, wxID_ANY, "config", wxDefaultPosition, wxSize(300, 200));
    auto* first = new CTestCanvas(frame, wxSize(200, 150));
    auto* second = new CTestCanvas(frame, wxSize(100, 100));
    first->SetWireMode(true);
    first->m_plane.gridCount = 7;
    first->GetCamera()->SetEye(1.0, -2.0, 3.0);
    {
        wxFileConfig config("qv", "qv", Path("qv.cfg").string(), "", wxCONFIG_USE_LOCAL_FILE);
        first->SaveConfig(&config);
        EXPECT_TRUE(config.HasEntry("/3DCanvas/plane_visble"));
        EXPECT_TRUE(config.HasEntry("/cam/Camera/Eye_0"));
        config.Flush();
    }
    wxFileConfig config("qv", "qv", Path("qv.cfg").string(), "", wxCONFIG_USE_LOCAL_FILE);
    second->LoadConfig(&config);
    EXPECT_TRUE(second->IsWireMode());
    EXPECT_EQ(second->m_plane.gridCount, 7);
    EXPECT_EQ(second->m_renderWidth, first->m_renderWidth);
    ExpectNear(Eye(*second->GetCamera()), CVector3(1, -2, 3));
    delete frame;
}
