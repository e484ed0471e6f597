#pragma once

#include "process/sampleBuffer.h"

#include <wx/string.h>

#include <cstdint>

struct CColour;
struct RenderFlags;

// One tracked object of the tracker view: colour, label, last pose and the
// trail of its recent positions. Owned by the view's data (CTrackerViewData).
// The pose setters run in the acquisition thread and allocate nothing; the
// rest, drawing included, in the GUI thread, under the owner's serialisation.
class CSensor3D {
public:
    CSensor3D();

    // Red, green and blue / 255, alpha 0.7.
    void SetColour(const CColour& colour);
    // Scaled by the position scale; pushed into the trail while it runs.
    void SetPosition(double x, double y, double z, double timeSec);
    // Roll, pitch, yaw in radians.
    void SetOrientationEuler(double roll, double pitch, double yaw);
    // w first, normalised before use.
    void SetOrientationQuat(double w, double x, double y, double z);
    // No trail when the duration is shorter than two sample periods.
    void SetTrail(double durationSec, double rateHz);

    // GUI thread, with a current GL context (drawing lives in the GUI library).
    // silent: its values no longer come; drawn dimmed, its label says so.
    void Draw(bool silent = false) const;
    void DrawLabel(bool silent = false) const;
    void DrawTrail() const;

    uint8_t m_showLabel = 1;
    uint8_t m_nameInLabel = 0;
    double m_positionScale = 1.0;
    double m_objectSize = 0.02;
    double m_colour[4] = {1.0, 1.0, 1.0, 1.0};
    double m_position[3] = {0.0, 0.0, 0.0};
    double m_angleDeg = 0.0;
    double m_axis[3] = {0.0, 0.0, 0.0};
    int32_t m_channel = -1;  // 1-based device channel
    wxString m_name;
    void* m_labelFont = nullptr;  // freeglut bitmap font; null takes Times Roman 24
    const RenderFlags* m_renderFlags = nullptr;  // the canvas's, not owned
    CTrackerBuffer m_trail;
    double m_trailDuration = 0.0;
    uint8_t m_trailOn = 0;

private:
    void SetAxisAngle(double w, double x, double y, double z);
};
