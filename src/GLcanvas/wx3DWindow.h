#pragma once

#include "GLcanvas/canvasSettings.h"
#include "GLcanvas/glCamera.h"

#include <wx/glcanvas.h>

#include <cstdint>
#include <memory>

class wxMenu;

class wxConfigBase;
class wxEraseEvent;
class wxMouseEvent;
class wxPaintEvent;
class wxSizeEvent;

// Ids of the canvas's context-menu commands; the derived window binds them.
enum {
    ID_3D_CENTER_VIEW = 6999,
    ID_3D_RESET_VIEW,
    ID_3D_BACK_VIEW,
    ID_3D_FRONT_VIEW,
    ID_3D_LEFT_VIEW,
    ID_3D_RIGHT_VIEW,
    ID_3D_TOP_VIEW,
    ID_3D_BOTTOM_VIEW,
    ID_3D_WIRE_MODE,
    ID_3D_SMOOTH_MODE,
    ID_3D_MULTISAMPLING,
    ID_3D_PERSPECTIVE
};

// The OpenGL window: its own context, an embedded camera, two lights, fog,
// background, ground plane with main axes, render flags, mouse navigation and
// a context menu. Draws one frame per paint and calls DrawScene last, for the
// derived window's content. It binds no events itself: the derived window's
// event table sends paint, size, erase and mouse events to its handlers.
// Owned by its parent window. GUI thread only.
class my3DCanvas : public wxGLCanvas, public CCanvasSettings {
public:
    my3DCanvas(wxWindow* parent, wxWindowID id = wxID_ANY, const wxPoint& pos = wxDefaultPosition,
               const wxSize& size = wxDefaultSize, long style = 0,
               const wxString& name = "my3DCanvas");
    ~my3DCanvas() override;
    my3DCanvas(const my3DCanvas&) = delete;
    my3DCanvas& operator=(const my3DCanvas&) = delete;

    virtual void Render();
    virtual void RenderFrame();
    virtual void DrawBackground(bool) {}
    virtual void DrawScene() {}
    virtual void DrawPlane();
    virtual void DrawCornerAxes();
    virtual void InitSettings();
    virtual void SetupCamera();
    virtual wxGLCamera* GetCamera() { return &m_camera; }
    virtual float GetFarValue() const { return m_farValue; }
    virtual void SetFarValue(float value) { m_farValue = value; }
    virtual LightRecord* GetLights(int* count);
    virtual float* GetBkColor() { return m_background; }
    virtual PlaneRecord* GetPlane() { return &m_plane; }
    virtual RenderFlags* GetRenderFlags() { return &m_flags; }
    virtual bool GetRotationCenter(float out[3]);
    virtual void SaveConfig(wxConfigBase* config);
    virtual void LoadConfig(wxConfigBase* config);
    virtual void SetupLights();
    virtual void ApplyPolygonMode();
    virtual void SetBackView();
    virtual void SetFrontView();
    virtual void SetTopView();
    virtual void SetBottomView();
    virtual void SetLeftView();
    virtual void SetRightView();
    virtual void ResetView();
    virtual void CenterView();
    virtual bool QueryHook() { return false; }
    virtual void ApplyRenderModes();
    virtual bool IsRotationLocked() const { return m_rotationLocked; }
    virtual void SetRotationLocked(bool locked) { m_rotationLocked = locked; }
    virtual bool IsWireMode() const { return m_flags.wire; }
    virtual void SetWireMode(bool wire);
    virtual void SetSmoothMode(bool smooth);
    virtual void SetMultiSampling(bool multisampling);
    virtual void EnableLighting(bool enable);
    virtual wxGLContext* GetContext() { return m_context.get(); }
    virtual void RestoreFreeView();
    virtual void SaveFreeView();
    virtual void UpdateRenderSize();
    virtual void PaintGL();
    virtual void OnViewChanged() {}
    virtual void InitGL();
    virtual void ResizeViewport();
    virtual void ShowContextMenu(const wxPoint& point);

    void OnPaint(wxPaintEvent& event);
    void OnSize(wxSizeEvent& event);
    void OnEraseBackground(wxEraseEvent& event);
    void OnMouse(wxMouseEvent& event);

    // The context menu as ShowContextMenu pops it up (the caller owns it).
    wxMenu* BuildContextMenu();
    // Makes the context current; false without a usable context or window.
    bool MakeCurrent();
    bool HasContext() const { return m_context != nullptr; }
    // A paint came while the window could not be drawn (not on screen yet, no context):
    // the frame is still owed, and the display timer asks again.
    bool IsFrameOwed() const { return m_frameOwed; }
    uint64_t GetRenderedFrames() const { return m_renderedFrames; }

    bool m_cameraMoved = false;
    bool m_clicked = false;
    bool m_notShown = true;
    bool m_rotationLocked = false;
    bool m_viewItemsInMenu = true;

protected:
    // Moves the eye along the line to the centre; positive f moves away.
    void Dolly(double f);
    void DrawUnderPlane();

    wxGLCamera m_camera;
    float m_lastMouse[2] = {0.0f, 0.0f};
    double m_savedView[12] = {};
    std::unique_ptr<wxGLContext> m_context;
    bool m_frameOwed = true;
    uint64_t m_renderedFrames = 0;
};
