#pragma once

#include "GLcanvas/sensor3D.h"
#include "analog/colour.h"

#include <wx/string.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

struct RenderFlags;

// What a rebuild of the sensor records takes from the device and the view;
// gathered by the GUI thread before it takes the data's lock (lock order:
// device, then view).
struct CSensorLayout {
    std::vector<int> channels;       // visible channels, 0-based; may be empty
    std::vector<wxString> names;     // one per sensor (visible channel names)
    std::vector<CColour> colours;    // one per sensor
    int dim = 7;                     // values per sensor; negative reads as 7
    double rateHz = 25.0;            // <= 0 reads as 100
    double positionScale = 1.0;
    double drawTimeSec = 0.5;
    double objectSize = 0.025;
    const RenderFlags* renderFlags = nullptr;  // the canvas's, not owned
};

// The tracker view's sensor records and their feed: display-free, owned by
// the view. The acquisition thread writes poses and trails through AddData;
// the GUI thread rebuilds the records and draws them while holding the lock
// (Access). The feed only try-locks it and counts a skipped frame while the
// GUI thread holds it: the display may skip, the acquisition never waits.
class CTrackerViewData {
public:
    CTrackerViewData() = default;
    CTrackerViewData(const CTrackerViewData&) = delete;
    CTrackerViewData& operator=(const CTrackerViewData&) = delete;

    // GUI thread: replaces the records; at least one sensor.
    void Build(const CSensorLayout& layout);
    // GUI thread: no records; every frame is refused until the next Build.
    void Clear();

    // Acquisition thread; allocates nothing. Frames whose count is not the
    // expected value count are refused and counted (a device whose layout
    // changed feeds nothing until the view is rebuilt). A frame asks for a new
    // picture (HasNewData) only when it changes what is drawn: a pose, or a
    // trail still holding other positions.
    void AddData(const double* values, int count, uint32_t sample, double timeSec);

    // GUI thread: holds the records for drawing.
    class Access {
    public:
        explicit Access(const CTrackerViewData& data) : m_lock(data.m_mutex), m_data(data) {}
        const std::vector<CSensor3D>& Sensors() const { return m_data.m_sensors; }

    private:
        std::lock_guard<std::mutex> m_lock;
        const CTrackerViewData& m_data;
    };

    // Any thread.
    int SensorCount() const { return m_sensorCount.load(); }
    int ValuesPerSensor() const { return m_valuesPerSensor.load(); }
    int ExpectedCount() const { return m_expectedCount.load(); }
    double RateHz() const { return m_rateHz.load(); }
    int32_t CurrentSample() const { return m_currentSample.load(); }
    bool HasNewData() const { return m_newData.load(); }
    // GUI thread, as a frame is drawn: data stored from here on asks for the next one.
    void TakeNewData() { m_newData.store(false); }
    uint64_t StoredFrames() const { return m_storedFrames.load(); }
    uint64_t SkippedFrames() const { return m_skippedFrames.load(); }
    uint64_t RefusedFrames() const { return m_refusedFrames.load(); }
    // Feed: a frame of other channels than the sensors were built for, counted as refused.
    void RefuseFrame() { m_refusedFrames.fetch_add(1, std::memory_order_relaxed); }

private:
    // True when a sensor's pose changed.
    bool StorePoses(const double* values, double timeSec);

    mutable std::mutex m_mutex;  // the view's lock: records against drawing and rebuilds
    std::vector<CSensor3D> m_sensors;  // guarded by m_mutex
    uint64_t m_trailPoints = 0;        // guarded by m_mutex: the longest trail's points
    uint64_t m_stillFrames = 0;        // guarded by m_mutex: frames since a pose last changed
    std::atomic<int> m_sensorCount{0};
    std::atomic<int> m_valuesPerSensor{7};
    std::atomic<int> m_expectedCount{0};
    std::atomic<double> m_rateHz{25.0};
    std::atomic<int32_t> m_currentSample{0};
    std::atomic<bool> m_newData{false};
    std::atomic<uint64_t> m_storedFrames{0};
    std::atomic<uint64_t> m_skippedFrames{0};
    std::atomic<uint64_t> m_refusedFrames{0};
};
