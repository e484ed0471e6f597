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
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sensors.swap(fresh);
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
    StorePoses(values, timeSec);
    m_storedFrames.fetch_add(1, std::memory_order_relaxed);
    m_newData.store(true, std::memory_order_release);
}

// Under m_mutex. A sensor with fewer than three values reads its missing
// position components as 0 rather than reading into the next sensor's values
// (or past the row, for the last one).
void CTrackerViewData::StorePoses(const double* values, double timeSec)
{
    const int dim = m_valuesPerSensor.load(std::memory_order_relaxed);
    int base = 0;
    for (CSensor3D& sensor : m_sensors) {
        const double* v = values + base;
        sensor.SetPosition(dim > 0 ? v[0] : 0.0, dim > 1 ? v[1] : 0.0, dim > 2 ? v[2] : 0.0,
                           timeSec);
        if (dim == 6)
            sensor.SetOrientationEuler(v[3], v[4], v[5]);
        else if (dim == 7)
            sensor.SetOrientationQuat(v[3], v[4], v[5], v[6]);
        base += dim;
    }
}
