#include "GLcanvas/trackerViewData.h"

#include <algorithm>
#include <cmath>

void CTrackerViewData::Build(const CSensorLayout& layout)
{
    const int count = std::max(1, static_cast<int>(layout.channels.size()));
    const int dim = layout.dim < 0 ? 7 : layout.dim;
    const double rate = layout.rateHz > 0.0 && std::isfinite(layout.rateHz) ? layout.rateHz : 100.0;

    // Made outside the lock: the feed only skips for the swap below.
    std::vector<CSensor3D> fresh(static_cast<size_t>(count));
    uint64_t trailPoints = 0;
    for (int i = 0; i < count; ++i) {
        CSensor3D& sensor = fresh[static_cast<size_t>(i)];
        const size_t k = static_cast<size_t>(i);
        const int channel = k < layout.channels.size() ? layout.channels[k] : i;
        if (k < layout.names.size())
            sensor.m_name = layout.names[k];
        if (k < layout.colours.size())
            sensor.SetColour(layout.colours[k]);
        sensor.m_renderFlags = layout.renderFlags;
        sensor.SetTrail(layout.drawTimeSec, rate);
        sensor.m_channel = channel + 1;
        sensor.m_objectSize = layout.objectSize;
        sensor.m_positionScale = layout.positionScale;
        if (sensor.m_trailOn)
            trailPoints = std::max(trailPoints, sensor.m_trail.Capacity());
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sensors.swap(fresh);
        m_trailPoints = trailPoints;
        m_stillFrames = 0;
        m_sensorCount = count;
        m_valuesPerSensor = dim;
        m_expectedCount = count * dim;
        m_rateHz = rate;
    }
    // The former records go here, outside the lock.
}

void CTrackerViewData::Clear()
{
    std::vector<CSensor3D> old;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sensors.swap(old);
        m_sensorCount = 0;
        m_expectedCount = 0;
    }
}

void CTrackerViewData::AddData(const double* values, int count, uint32_t sample, double timeSec)
{
    if (values == nullptr || count == 0)
        return;
    std::unique_lock<std::mutex> lock(m_mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        m_skippedFrames.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (m_sensors.empty() || count != m_expectedCount.load(std::memory_order_relaxed)) {
        m_refusedFrames.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    m_currentSample.store(static_cast<int32_t>(sample), std::memory_order_relaxed);
    const bool moved = StorePoses(values, timeSec);
    m_stillFrames = moved ? 0 : m_stillFrames + 1;
    m_storedFrames.fetch_add(1, std::memory_order_relaxed);
    // A device repeating its last pose changes nothing on screen once the
    // trails hold that pose alone: no frame is asked for then.
    if (moved || m_stillFrames < m_trailPoints)
        m_newData.store(true, std::memory_order_release);
}

namespace {

bool Same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

bool SamePose(const CSensor3D& sensor, const double position[3], double angle,
              const double axis[3])
{
    for (int k = 0; k < 3; ++k) {
        if (!Same(sensor.m_position[k], position[k]) || !Same(sensor.m_axis[k], axis[k]))
            return false;
    }
    return Same(sensor.m_angleDeg, angle);
}

}  // namespace

// Under m_mutex. A sensor with fewer than three values reads its missing
// position components as 0 rather than reading into the next sensor's values
// (or past the row, for the last one).
bool CTrackerViewData::StorePoses(const double* values, double timeSec)
{
    const int dim = m_valuesPerSensor.load(std::memory_order_relaxed);
    int base = 0;
    bool moved = false;
    for (CSensor3D& sensor : m_sensors) {
        const double* v = values + base;
        double position[3], axis[3];
        std::copy(sensor.m_position, sensor.m_position + 3, position);
        std::copy(sensor.m_axis, sensor.m_axis + 3, axis);
        const double angle = sensor.m_angleDeg;
        sensor.SetPosition(dim > 0 ? v[0] : 0.0, dim > 1 ? v[1] : 0.0, dim > 2 ? v[2] : 0.0,
                           timeSec);
        if (dim == 6)
            sensor.SetOrientationEuler(v[3], v[4], v[5]);
        else if (dim == 7)
            sensor.SetOrientationQuat(v[3], v[4], v[5], v[6]);
        moved = moved || !SamePose(sensor, position, angle, axis);
        base += dim;
    }
    return moved;
}
