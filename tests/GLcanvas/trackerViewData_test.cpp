#include "GLcanvas/trackerViewData.h"
#include "analog/testDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <thread>
#include <vector>

namespace {

CSensorLayout Layout(int sensors, int dim, double rate = 100.0, double drawTime = 0.5)
{
    CSensorLayout layout;
    for (int i = 0; i < sensors; ++i) {
        layout.channels.push_back(2 * i);
        layout.names.push_back(wxString::Format("S%d", i));
        layout.colours.push_back(CColour(255, static_cast<uint8_t>(10 * i), 0));
    }
    layout.dim = dim;
    layout.rateHz = rate;
    layout.drawTimeSec = drawTime;
    layout.positionScale = 0.5;
    return layout;
}

// One frame of poses: sensor i at (i, 2i, 3i) + t, identity orientation.
std::vector<double> Frame(int sensors, int dim, double t)
{
    std::vector<double> values(static_cast<size_t>(sensors * dim), 0.0);
    for (int i = 0; i < sensors; ++i) {
        double* v = &values[static_cast<size_t>(i * dim)];
        for (int k = 0; k < dim && k < 3; ++k) v[k] = (k + 1) * i + t;
        if (dim == 7) v[3] = 1.0;
    }
    return values;
}

}  // namespace

TEST(TrackerViewData, BuildMakesOneRecordPerVisibleChannel)
{
    CTrackerViewData data;
    data.Build(Layout(3, 7));
    EXPECT_EQ(data.SensorCount(), 3);
    EXPECT_EQ(data.ExpectedCount(), 21);
    CTrackerViewData::Access access(data);
    const auto& sensors = access.Sensors();
    ASSERT_EQ(sensors.size(), 3u);
    EXPECT_EQ(sensors[2].m_channel, 5);  // visible channel 4, 1-based
    EXPECT_EQ(sensors[1].m_name, "S1");
    EXPECT_DOUBLE_EQ(sensors[1].m_colour[1], 10.0 / 255.0);
    EXPECT_DOUBLE_EQ(sensors[1].m_colour[3], 0.7);
    EXPECT_DOUBLE_EQ(sensors[0].m_objectSize, 0.025);
    EXPECT_EQ(sensors[0].m_trailOn, 1);
    EXPECT_EQ(sensors[0].m_trail.Capacity(), 50u);
}

TEST(TrackerViewData, NoVisibleChannelStillGivesOneSensor)
{
    CTrackerViewData data;
    CSensorLayout layout = Layout(0, 7);
    layout.dim = -1;     // read as 7
    layout.rateHz = 0.0; // read as 100
    data.Build(layout);
    EXPECT_EQ(data.SensorCount(), 1);
    EXPECT_EQ(data.ValuesPerSensor(), 7);
    EXPECT_EQ(data.ExpectedCount(), 7);
    EXPECT_DOUBLE_EQ(data.RateHz(), 100.0);
    CTrackerViewData::Access access(data);
    EXPECT_EQ(access.Sensors()[0].m_channel, 1);
}

TEST(TrackerViewData, TrailNeedsTwoSamplePeriods)
{
    CTrackerViewData data;
    data.Build(Layout(1, 7, 100.0, 0.01));
    {
        CTrackerViewData::Access access(data);
        EXPECT_EQ(access.Sensors()[0].m_trailOn, 0);
        EXPECT_EQ(access.Sensors()[0].m_trailDuration, 0.0);
    }
    data.Build(Layout(1, 7, 100.0, 0.02));
    for (int k = 0; k < 5; ++k) {
        const auto frame = Frame(1, 7, k);
        data.AddData(frame.data(), 7, static_cast<uint32_t>(k), k / 100.0);
    }
    CTrackerViewData::Access access(data);
    const CSensor3D& sensor = access.Sensors()[0];
    EXPECT_EQ(sensor.m_trailOn, 1);
    ASSERT_EQ(sensor.m_trail.Count(), 2u);
    double xyz[3] = {0, 0, 0};
    double t = 0;
    sensor.m_trail.Get(xyz, &t, 0);  // oldest kept point: frame 3, scaled by 0.5
    EXPECT_DOUBLE_EQ(xyz[0], 1.5);
    EXPECT_DOUBLE_EQ(t, 0.03);
}

// A frame asks for a picture only when it changes one: a repeated pose asks
// while the longest trail still holds other positions (capacity - 1 frames),
// then never; a move of one sensor, of its orientation only, or a Euler pose
// asks at once; with no trail a repeat never asks.
TEST(TrackerViewData, RepeatedPosesAskForNoPictureOnceTheTrailsHoldThem)
{
    for (double drawTime : {0.5, 0.0, 0.02}) {
        SCOPED_TRACE(testing::Message() << "trail " << drawTime << " s");
        CTrackerViewData data;
        data.Build(Layout(3, 7, 100.0, drawTime));
        const uint64_t trail = drawTime >= 0.02 ? static_cast<uint64_t>(drawTime * 100) : 0;
        std::vector<double> frame = Frame(3, 7, 0.0);
        data.AddData(frame.data(), 21, 0, 0.0);
        EXPECT_TRUE(data.HasNewData());
        uint64_t asked = 0;
        for (uint32_t k = 1; k <= 300; ++k) {
            data.TakeNewData();
            data.AddData(frame.data(), 21, k, k / 100.0);
            asked += data.HasNewData();
        }
        EXPECT_EQ(asked, trail > 0 ? trail - 1 : 0);
        EXPECT_EQ(data.StoredFrames(), 301u);
        // One sensor turns without moving.
        data.TakeNewData();
        frame[14 + 3] = std::sqrt(0.5);
        frame[14 + 6] = std::sqrt(0.5);
        data.AddData(frame.data(), 21, 301, 3.01);
        EXPECT_TRUE(data.HasNewData());
        // One sensor moves by the least step a double takes.
        data.TakeNewData();
        frame[7] = std::nextafter(frame[7], 10.0);
        data.AddData(frame.data(), 21, 302, 3.02);
        EXPECT_TRUE(data.HasNewData());
    }
    CTrackerViewData euler;
    euler.Build(Layout(1, 6, 100.0, 0.0));
    std::vector<double> pose = {1.0, 2.0, 3.0, 0.1, 0.2, 0.3};
    euler.AddData(pose.data(), 6, 0, 0.0);
    euler.TakeNewData();
    euler.AddData(pose.data(), 6, 1, 0.01);
    EXPECT_FALSE(euler.HasNewData());
    pose[5] = 0.31;
    euler.AddData(pose.data(), 6, 2, 0.02);
    EXPECT_TRUE(euler.HasNewData());
}

TEST(TrackerViewData, FeedSetsPosesAndOrientations)
{
    CTrackerViewData data;
    data.Build(Layout(2, 7));
    std::vector<double> frame = Frame(2, 7, 1.0);
    // Sensor 1 turned 90 degrees about x, w first.
    const double h = std::sqrt(0.5);
    frame[7 + 3] = h;
    frame[7 + 4] = h;
    data.AddData(frame.data(), 14, 42, 0.42);
    EXPECT_TRUE(data.HasNewData());
    EXPECT_EQ(data.CurrentSample(), 42);
    CTrackerViewData::Access access(data);
    const auto& s = access.Sensors();
    EXPECT_DOUBLE_EQ(s[1].m_position[0], 1.0);  // (1 + 1) x 0.5
    EXPECT_DOUBLE_EQ(s[1].m_position[2], 2.0);  // (3 + 1) x 0.5
    EXPECT_NEAR(s[1].m_angleDeg, 90.0, 1e-9);
    EXPECT_NEAR(s[1].m_axis[0], 1.0, 1e-9);
    // The identity gives angle 0 and a zero axis.
    EXPECT_DOUBLE_EQ(s[0].m_angleDeg, 0.0);
    EXPECT_DOUBLE_EQ(s[0].m_axis[0], 0.0);
    EXPECT_DOUBLE_EQ(s[0].m_axis[2], 0.0);
}

TEST(TrackerViewData, EulerAndPositionOnlyLayouts)
{
    CTrackerViewData euler;
    euler.Build(Layout(1, 6));
    const std::vector<double> pose = {0, 0, 0, 0.0, 0.0, M_PI / 2};  // yaw 90 degrees
    euler.AddData(pose.data(), 6, 1, 0.01);
    {
        CTrackerViewData::Access access(euler);
        EXPECT_NEAR(access.Sensors()[0].m_angleDeg, 90.0, 1e-9);
        EXPECT_NEAR(access.Sensors()[0].m_axis[2], 1.0, 1e-9);
    }
    CTrackerViewData plain;
    plain.Build(Layout(2, 3));
    const auto frame = Frame(2, 3, 4.0);
    plain.AddData(frame.data(), 6, 1, 0.01);
    CTrackerViewData::Access access(plain);
    EXPECT_DOUBLE_EQ(access.Sensors()[1].m_position[1], 3.0);
    EXPECT_DOUBLE_EQ(access.Sensors()[1].m_angleDeg, 0.0);
}

// A layout of fewer than three values per sensor: the row holds exactly the
// sensors' values, so reading three per sensor would run past it.
TEST(TrackerViewData, ShortLayoutReadsOnlyItsOwnValues)
{
    CTrackerViewData data;
    data.Build(Layout(2, 1));
    auto* row = new double[2]{4.0, 6.0};  // exact size: a sanitizer sees any overrun
    data.AddData(row, 2, 1, 0.0);
    delete[] row;
    CTrackerViewData::Access access(data);
    EXPECT_DOUBLE_EQ(access.Sensors()[1].m_position[0], 3.0);
    EXPECT_DOUBLE_EQ(access.Sensors()[1].m_position[1], 0.0);
    EXPECT_DOUBLE_EQ(access.Sensors()[1].m_position[2], 0.0);
}

TEST(TrackerViewData, WrongCountsAndBadQuaternionsAreRefused)
{
    CTrackerViewData data;
    const auto frame = Frame(2, 7, 1.0);
    data.AddData(frame.data(), 14, 1, 0.0);  // before any build
    EXPECT_FALSE(data.HasNewData());
    data.Build(Layout(2, 7));
    data.AddData(frame.data(), 7, 1, 0.0);
    data.AddData(frame.data(), 0, 1, 0.0);
    EXPECT_FALSE(data.HasNewData());
    EXPECT_EQ(data.RefusedFrames(), 2u);
    std::vector<double> turned = frame;
    turned[3] = 0.0;
    turned[4] = 1.0;  // 180 degrees about x
    data.AddData(turned.data(), 14, 2, 0.0);
    std::vector<double> broken = frame;
    broken[3] = std::nan("");
    data.AddData(broken.data(), 14, 3, 0.0);
    CTrackerViewData::Access access(data);
    EXPECT_NEAR(access.Sensors()[0].m_angleDeg, 180.0, 1e-9);  // the last good pose stays
}

TEST(TrackerViewDataThreads, FeedNeverWaitsWhileTheRecordsAreHeld)
{
    CTrackerViewData data;
    data.Build(Layout(8, 7));
    const auto frame = Frame(8, 7, 1.0);
    std::future<void> fed;
    {
        CTrackerViewData::Access access(data);
        fed = std::async(std::launch::async, [&] {
            for (int k = 0; k < 1000; ++k)
                data.AddData(frame.data(), 56, static_cast<uint32_t>(k), k / 1000.0);
        });
        // Finishes while the lock is still held: nothing in the feed waits.
        ASSERT_EQ(fed.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    }
    fed.get();
    EXPECT_EQ(data.SkippedFrames(), 1000u);
    EXPECT_EQ(data.StoredFrames(), 0u);
}

// The acquisition thread feeds at 1 kHz while the GUI thread rebuilds and
// walks the records as a paint does; every frame is stored, skipped or refused.
TEST(TrackerViewDataThreads, FeedAt1kHzWhileRebuildingAndDrawing)
{
    constexpr int kFrames = 400;
    CTrackerViewData data;
    data.Build(Layout(4, 7, 1000.0, 0.2));
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        const auto frame = Frame(4, 7, 0.5);
        auto next = std::chrono::steady_clock::now();
        for (int k = 0; k < kFrames; ++k) {
            next += std::chrono::microseconds(1000);
            std::this_thread::sleep_until(next);  // pacing, as the worker does
            data.AddData(frame.data(), 28, static_cast<uint32_t>(k), k / 1000.0);
        }
        done = true;
    });
    int rebuilds = 0;
    double sum = 0.0;
    while (!done.load()) {
        if (++rebuilds % 3 == 0)
            data.Build(Layout(rebuilds % 2 ? 4 : 3, 7, 1000.0, 0.2));
        CTrackerViewData::Access access(data);
        for (const CSensor3D& s : access.Sensors()) {
            sum += s.m_position[0] + s.m_angleDeg;
            double xyz[3];
            for (uint64_t i = 0; i < s.m_trail.Count(); ++i) {
                s.m_trail.Get(xyz, nullptr, i);
                sum += xyz[2];
            }
        }
    }
    feeder.join();
    EXPECT_EQ(data.StoredFrames() + data.SkippedFrames() + data.RefusedFrames(),
              static_cast<uint64_t>(kFrames));
    EXPECT_GT(data.StoredFrames(), 0u);
    EXPECT_GE(sum, 0.0);
}

namespace {

// The tracker device at a rate of our choosing.
class CFastTracker : public CTestDevice {
public:
    explicit CFastTracker(double rate) : CTestDevice(false, true)
    {
        m_rate = rate;
        UpdateVisibleList();
    }
};

// A 3D view without a window: its data, fed by the device's dispatch.
class CDataSink : public CAnalog3DViewSink {
public:
    void AddData(const double* values, int count, uint32_t sample, double timeSec) override
    {
        data.AddData(values, count, sample, timeSec);
        frames.fetch_add(1);
    }
    void ResetView() override {}
    void Restart() override {}
    void SetBusy() override {}
    void ThawData() override {}
    bool NeedsRefresh() const override { return data.HasNewData(); }
    void RequestRefresh() override {}
    void SaveConfig(wxConfigBase*) override {}
    void DetachDevice() override {}

    // As the view rebuilds: device read first, then the records replaced.
    void Rebuild(CAnalogDevice& device)
    {
        const bool wasRunning = device.IsRunning();
        if (wasRunning) device.Stop();
        device.UpdateVisibleList();
        CSensorLayout layout;
        layout.channels = device.GetVisibleList();
        for (size_t i = 0; i < layout.channels.size(); ++i) {
            layout.names.push_back(device.GetVisibleChannelName(static_cast<int>(i)));
            layout.colours.push_back(device.GetChannelColour(layout.channels[i]));
        }
        layout.dim = device.GetChannelDim();
        layout.rateHz = device.GetRate();
        layout.positionScale = device.GetUnitScale();
        layout.drawTimeSec = 0.25;
        data.Build(layout);
        if (wasRunning) device.Start();
    }

    CTrackerViewData data;
    std::atomic<int> frames{0};
};

}  // namespace

// The device's own acquisition thread at 1 kHz feeds the data while this
// thread, as the GUI does, switches channels, rebuilds and walks the records.
TEST(TrackerViewDataThreads, DeviceFeedsWhileTheViewRebuilds)
{
    CFastTracker device(1000.0);
    CDataSink sink;
    sink.Rebuild(device);
    device.AddView3D(&sink);
    ASSERT_TRUE(device.Create(false) && device.RunThread());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int rebuilds = 0;
    int nextRebuild = 40;
    int rebuiltAt = 0;
    double sum = 0.0;
    // Counted from each rebuild: a burst of frames after a stall of this thread
    // still leaves every layout 40 frames to take, and the last one at least one.
    while ((rebuilds < 6 || sink.frames.load() < 300 || sink.frames.load() <= rebuiltAt) &&
           std::chrono::steady_clock::now() < deadline) {
        const int frames = sink.frames.load();
        if (frames >= nextRebuild) {  // every 40 frames: new channels
            nextRebuild = frames + 40;
            if (++rebuilds % 2)
                device.SetVisibleChannels({0, 2, 5});
            else
                device.SetVisibleChannels({0, 1, 2, 3, 4, 5, 6, 7});
            sink.Rebuild(device);
            rebuiltAt = sink.frames.load();  // read after the restart: later frames are its
        }
        CTrackerViewData::Access access(sink.data);
        for (const CSensor3D& s : access.Sensors()) sum += s.m_position[2] + s.m_trail.Count();
    }
    EXPECT_GE(rebuilds, 6);
    device.RemoveView3D(&sink);
    device.Close();
    EXPECT_GE(sink.frames.load(), 300);
    EXPECT_GT(sink.data.StoredFrames(), 0u);
    EXPECT_GE(sum, 0.0);
}
