#include "GLcanvas/sensor3D.h"

#include "GLcanvas/quaternion.h"
#include "analog/colour.h"

#include <cmath>

namespace {
constexpr double kRadToDeg = 180.0 / 3.14159265358979323846;
}

CSensor3D::CSensor3D() : m_trail(0.5, 25.0) {}

void CSensor3D::SetColour(const CColour& colour)
{
    m_colour[0] = colour.red / 255.0;
    m_colour[1] = colour.green / 255.0;
    m_colour[2] = colour.blue / 255.0;
    m_colour[3] = 0.7;
}

void CSensor3D::SetPosition(double x, double y, double z, double timeSec)
{
    m_position[0] = x * m_positionScale;
    m_position[1] = y * m_positionScale;
    m_position[2] = z * m_positionScale;
    if (m_trailDuration > 0.0)
        m_trail.Push(m_position, timeSec);
}

void CSensor3D::SetOrientationEuler(double roll, double pitch, double yaw)
{
    CQuaternion q;
    q.SetEuler(roll, pitch, yaw);
    SetAxisAngle(q.w, q.x, q.y, q.z);
}

void CSensor3D::SetOrientationQuat(double w, double x, double y, double z)
{
    SetAxisAngle(w, x, y, z);
}

void CSensor3D::SetAxisAngle(double w, double x, double y, double z)
{
    // A device's garbage must not reach glRotated: the last good pose stays.
    if (!std::isfinite(w) || !std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z))
        return;
    CQuaternion q(w, x, y, z);
    double angle = 0.0;
    q.GetAxisAngle(m_axis, angle);
    m_angleDeg = angle * kRadToDeg;
}

void CSensor3D::SetTrail(double durationSec, double rateHz)
{
    if (2.0 / rateHz > durationSec) {
        m_trailDuration = 0.0;
        m_trailOn = 0;
        m_trail.Free();
        return;
    }
    m_trailDuration = durationSec;
    if (durationSec > 0.0) {
        m_trail.Init(durationSec, rateHz);
        m_trailOn = 1;
    } else {
        m_trailOn = 0;
    }
}
