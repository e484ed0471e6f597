// CAnalog3DView: the scene, the marker labels and the frame. GUI thread, with
// the canvas's context current (called from the canvas's frame render).
#include "GLcanvas/analog3DView.h"

#include "GLcanvas/glutText.h"
#include "analog/analogDevice.h"

#include <GL/gl.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

void CAnalog3DView::DrawScene()
{
    m_drawnState = CurrentSceneState();
    if (m_busy.load() || m_viewType == kNoView)
        return;
    m_data.TakeNewData();  // before drawing: what arrives meanwhile asks for another frame
    CAnalogDevice* device = m_device.load();
    {
        // The feed skips its frames for as long as this lasts, never waits.
        CTrackerViewData::Access access(m_data);
        for (const CSensor3D& sensor : access.Sensors()) {
            // A sensor that never reported has no pose to show; one gone silent shows
            // where it was last, dimmed and labelled so.
            const SourceState state = device != nullptr
                                          ? device->GetChannelReceipt(sensor.m_channel - 1)
                                          : SourceState::kLive;
            if (state != SourceState::kNever)
                sensor.Draw(state == SourceState::kSilent);
        }
    }
    DrawMarkerLabels();

    if (device != nullptr && device->IsRecording()) {
        DrawFrame(255, 0, 0, 7.0f);
    } else if (m_severalViews && m_selected) {
        const bool perspective = m_camera.IsPerspective();
        if (m_viewType != kFreeView) {
            if (perspective)
                DrawFrame(255, 255, 0, 2.0f);
            else
                DrawFrame(0, 255, 255, 2.0f);
        } else if (perspective) {
            DrawFrame(0, 255, 0, 2.0f);
        } else {
            DrawFrame(0, 0, 255, 2.0f);
        }
    }
    if (m_owner != nullptr && m_clicked && !m_selected) {
        m_owner->SelectView(this);
        m_clicked = false;
    }
}

void CAnalog3DView::DrawFrame(unsigned char r, unsigned char g, unsigned char b, float width)
{
    glDisable(GL_LIGHTING);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    glColor3ub(r, g, b);
    glLineWidth(width);
    glBegin(GL_LINE_LOOP);
    glVertex3d(-0.999, -0.999, -1.0);
    glVertex3d(0.999, -0.999, -1.0);
    glVertex3d(0.999, 0.999, -1.0);
    glVertex3d(-0.999, 0.999, -1.0);
    glEnd();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
    glEnable(GL_LIGHTING);
}

// Markers within 0.3 s of the current sample, written in the upper right corner.
void CAnalog3DView::DrawMarkerLabels()
{
    CAnalogDevice* device = m_device.load();
    if (device == nullptr)
        return;
    std::vector<uint32_t> codes;
    std::vector<uint32_t> frames;
    std::vector<wxString> labels;
    device->GetMarkers(codes, frames, labels);
    const double rate = m_data.RateHz();
    const int64_t window = static_cast<int64_t>(0.3 * rate);
    const int64_t current = m_data.CurrentSample();
    for (size_t i = 0; i < frames.size() && i < labels.size(); ++i) {
        const int64_t distance = current - static_cast<int32_t>(frames[i]);
        if (std::llabs(distance) > window)
            continue;
        const wxString time = wxString::Format("%.3f", frames[i] / rate);
        DrawOverlayText(wxString::Format("%s (%s)", labels[i], time));
    }
}

void CAnalog3DView::DrawOverlayText(const wxString& text)
{
    if (text.empty())
        return;
    glDisable(GL_LIGHTING);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glColor3ub(255, 255, 0);
    // 15 pixels per character, as a share of the view's 2 units of width: the
    // text ends inside the view. A text longer than the view starts at its left
    // edge (a raster position outside the view would drop the whole text).
    const int width = std::max(1, GetClientSize().GetWidth());
    const double x = 0.95 - 2.0 * (15.0 * text.length()) / width;
    glRasterPos2d(std::max(x, -0.99), 0.95);
    DrawGlutText(m_overlayFont, text);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
    glEnable(GL_LIGHTING);
}
