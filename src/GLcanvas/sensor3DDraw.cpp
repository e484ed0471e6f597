// CSensor3D: drawing, GUI thread with the canvas's context current.
#include "GLcanvas/sensor3D.h"

#include "GLcanvas/canvasSettings.h"
#include "GLcanvas/glShapes.h"
#include "GLcanvas/glutText.h"

#include <wx/translation.h>

#include <GL/freeglut.h>
#include <GL/gl.h>

void CSensor3D::Draw(bool silent) const
{
    const double dimmed[4] = {m_colour[0] * 0.4, m_colour[1] * 0.4, m_colour[2] * 0.4,
                              m_colour[3] * 0.5};
    // The label keeps its colour, to stay readable: it says the sensor is silent.
    glColor4dv(m_colour);
    if (m_showLabel)
        DrawLabel(silent);
    glColor4dv(silent ? dimmed : m_colour);
    if (m_trailOn && m_trailDuration > 0.0) {
        DrawTrail();
        glColor4dv(silent ? dimmed : m_colour);
    }
    glPushMatrix();
    glTranslatef(static_cast<float>(m_position[0]), static_cast<float>(m_position[1]),
                 static_cast<float>(m_position[2]));
    glPushMatrix();
    glRotated(m_angleDeg, m_axis[0], m_axis[1], m_axis[2]);
    if (m_renderFlags != nullptr && m_renderFlags->wire)
        DrawWireCube(m_objectSize);
    else
        DrawSolidCube(m_objectSize);
    DrawTrihedron(1.5 * m_objectSize, GL_RENDER, -1, false, false);
    glPopMatrix();
    glPopMatrix();
}

void CSensor3D::DrawLabel(bool silent) const
{
    glDisable(GL_LIGHTING);
    wxString text = m_nameInLabel ? wxString::Format("%s [%d]", m_name, m_channel)
                                  : wxString::Format("%d", m_channel);
    if (silent)
        text += _(" (silent)");
    void* font = m_labelFont != nullptr ? m_labelFont : GLUT_BITMAP_TIMES_ROMAN_24;
    glPushMatrix();
    const double h = m_objectSize / 2.0;
    glRasterPos3d(m_position[0] + h, m_position[1] + h, m_position[2] + h);
    DrawGlutText(font, text);
    glPopMatrix();
    glEnable(GL_LIGHTING);
}

void CSensor3D::DrawTrail() const
{
    const uint64_t count = m_trail.Count();
    if (count == 0 || !m_trailOn)
        return;
    glDisable(GL_LIGHTING);
    glPushMatrix();
    glLineWidth(2.0f);
    glColor4dv(m_colour);
    glBegin(GL_LINE_STRIP);
    double xyz[3] = {0.0, 0.0, 0.0};
    for (uint64_t i = 0; i < count; ++i) {
        m_trail.Get(xyz, nullptr, i);
        glVertex3f(static_cast<float>(xyz[0]), static_cast<float>(xyz[1]),
                   static_cast<float>(xyz[2]));
    }
    glEnd();
    glPopMatrix();
    glLineWidth(1.0f);
    glEnable(GL_LIGHTING);
}
