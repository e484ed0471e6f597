// my3DCanvas: mouse navigation and the context menu.
#include "GLcanvas/wx3DWindow.h"

#include <wx/intl.h>
#include <wx/menu.h>

#include <cmath>
#include <memory>

namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr double kTurnPerPixel = kPi / 360.0;  // half a degree
}  // namespace

void my3DCanvas::Dolly(double f)
{
    double cx = 0, cy = 0, cz = 0, ex = 0, ey = 0, ez = 0;
    m_camera.GetCenter(&cx, &cy, &cz);
    m_camera.GetEye(&ex, &ey, &ez);
    m_camera.SetEye(ex + f * (ex - cx), ey + f * (ey - cy), ez + f * (ez - cz));
}

void my3DCanvas::OnMouse(wxMouseEvent& event)
{
    if (event.LeftDown() || event.RightDown() || event.MiddleDown())
        m_clicked = true;
    const bool anyButton = event.LeftIsDown() || event.MiddleIsDown() || event.RightIsDown() ||
                           event.Aux1IsDown() || event.Aux2IsDown();
    const float x = static_cast<float>(event.GetX());
    const float y = static_cast<float>(event.GetY());
    if (event.Dragging() && anyButton) {
        m_clicked = true;
        const double dx = x - m_lastMouse[0];
        const double dy = y - m_lastMouse[1];
        const double lens = m_camera.GetLens();
        const double k = lens != 0.0 ? m_panGain / lens : 0.0;
        if (event.LeftIsDown()) {
            if (event.ControlDown()) {
                m_camera.Pan(k * dx, k * dy);
                m_cameraMoved = true;
            } else if (event.AltDown()) {
                Dolly(dy / 30.0);
            } else if (event.ShiftDown()) {
                if (dy < 0)
                    m_camera.ZoomIn();
                else if (dy > 0)
                    m_camera.ZoomOut();
                m_cameraMoved = true;
            } else {
                float p[3];
                const bool hasCentre = GetRotationCenter(p);
                if (!m_rotationLocked) {
                    if (hasCentre)
                        m_camera.OrbitAround(-dx * kTurnPerPixel, -dy * kTurnPerPixel, p[0], p[1],
                                             p[2]);
                    else
                        m_camera.Rotate(dy * kTurnPerPixel, dx * kTurnPerPixel);
                    m_cameraMoved = true;
                }
            }
        } else if (event.MiddleIsDown()) {
            if (event.ControlDown()) {
                Dolly(dy / 30.0);
            } else {
                m_camera.Pan(k * dx, k * dy);
                m_cameraMoved = true;
            }
        }
        Refresh(false);
    } else if (event.RightIsDown()) {
        ShowContextMenu(event.GetPosition());
    } else if (event.GetWheelRotation() != 0) {
        Dolly(-event.GetWheelRotation() / 4000.0);
    }
    m_lastMouse[0] = x;
    m_lastMouse[1] = y;
    event.Skip();
}

wxMenu* my3DCanvas::BuildContextMenu()
{
    auto* menu = new wxMenu;
    menu->Append(ID_3D_CENTER_VIEW, _("Center View"));
    menu->Append(ID_3D_RESET_VIEW, _("Reset View"));
    menu->AppendSeparator();
    if (m_viewItemsInMenu) {
        menu->Append(ID_3D_BACK_VIEW, _("Back View"));
        menu->Append(ID_3D_FRONT_VIEW, _("Front View"));
        menu->Append(ID_3D_LEFT_VIEW, _("Left View"));
        menu->Append(ID_3D_RIGHT_VIEW, _("Right View"));
        menu->Append(ID_3D_TOP_VIEW, _("Top View"));
        menu->Append(ID_3D_BOTTOM_VIEW, _("Bottom View"));
        menu->AppendSeparator();
    }
    menu->AppendCheckItem(ID_3D_WIRE_MODE, _("Wire mode"), _("Toggle Wire mode"))
        ->Check(m_flags.wire);
    menu->AppendCheckItem(ID_3D_SMOOTH_MODE, _("Smooth mode"), _("Toggle Smooth mode"))
        ->Check(m_flags.smooth);
    menu->AppendCheckItem(ID_3D_MULTISAMPLING, _("Multi Sampling mode"),
                          _("Toggle Multi Sampling mode"))
        ->Check(m_flags.multisampling);
    menu->AppendSeparator();
    menu->AppendCheckItem(ID_3D_PERSPECTIVE, _("Perspective mode"), _("Toggle Perspective mode"))
        ->Check(m_camera.IsPerspective());
    return menu;
}

void my3DCanvas::ShowContextMenu(const wxPoint& point)
{
    std::unique_ptr<wxMenu> menu(BuildContextMenu());
    PopupMenu(menu.get(), point);
}
