#include "analog/analogDevice.h"

#include "support/allocCounter.h"
#include "analog/fakeNetwork.h"
#include "analog/fakeSinks.h"
#include "analog/plainDevice.h"

#include <gtest/gtest.h>
#include <wx/fileconf.h>
#include <wx/log.h>
#include <wx/sstream.h>

#include <cstring>
#include <memory>

namespace {

using Calls = std::vector<std::string>;

// A device with three channels, a recording fake recorder, VRPN output on,
// an OSC server and two 2D and one 3D views, all noting into one log.
class AnalogDispatchTest : public ::testing::Test {
protected:
    AnalogDispatchTest() : network(&log), view(&log, "2d-a"), view2(&log, "2d-b"), view3D(&log, "3d")
    {
        auto owned = std::make_unique<CFakeRecorder>(&log);
        recorder = owned.get();
        device.SetRecorder(std::move(owned));
        device.SetVrpnOutput(true);
        device.AddView(&view);
        device.AddView3D(&view3D);
        device.AddView(&view2);
    }
    ~AnalogDispatchTest() override { device.RemoveAllViews(); }

    CCallLog log;
    CFakeNetwork network;
    CFakeView view;
    CFakeView view2;
    CFakeView3D view3D;
    CPlainDevice device{3};
    CFakeRecorder* recorder = nullptr;
};

TEST_F(AnalogDispatchTest, OrderRecorderVrpnOscThen2DThen3DViews)
{
    recorder->recording = true;
    device.Step(10.0);
    EXPECT_EQ(log.calls, Calls({"record", "vrpn-analog:3", "vrpn-mainloop", "osc:AnalogDevice:3",
                                "2d-a", "2d-b", "3d"}));
    ASSERT_EQ(recorder->frames.size(), 1u);
    EXPECT_EQ(recorder->frames[0].values, std::vector<double>({10.0, 11.0, 12.0}));
    EXPECT_EQ(view3D.frames[0].values, recorder->frames[0].values);
    device.Step(20.0);
    EXPECT_EQ(view.frames[1].sample, 1u);
    EXPECT_DOUBLE_EQ(view.frames[1].timeSec, 1.0 / 25.0);
    EXPECT_EQ(network.dataTimes, std::vector<double>({0.0, 1.0 / 25.0}));
}

TEST_F(AnalogDispatchTest, EnabledValuesOnlyAndTheVrpnGetsTheFullRow)
{
    recorder->recording = true;
    device.SetVisibleChannels({0, 2});
    log.calls.clear();
    device.Step(1.0);
    EXPECT_EQ(recorder->frames.back().values, std::vector<double>({1.0, 3.0}));
    EXPECT_EQ(log.calls[1], "vrpn-analog:3");
    EXPECT_EQ(log.calls[3], "osc:AnalogDevice:2");
}

TEST_F(AnalogDispatchTest, NoEnabledValueReachesOnlyTheVrpn)
{
    recorder->recording = true;
    device.SetVisibleChannels({7});  // every channel off
    log.calls.clear();
    device.Step(1.0);
    EXPECT_EQ(log.calls, Calls({"vrpn-analog:3", "vrpn-mainloop"}));
}

TEST_F(AnalogDispatchTest, ViewsCanBeLeftOutAndRecordingOff)
{
    device.SetDispatchToViews(false);
    device.Step(1.0);
    EXPECT_EQ(log.calls, Calls({"vrpn-analog:3", "vrpn-mainloop", "osc:AnalogDevice:3"}));
    device.SetDispatchToViews(true);
    device.SetVrpnOutput(false);
    network.oscStarted = false;
    log.calls.clear();
    device.Step(1.0);
    EXPECT_EQ(log.calls, Calls({"2d-a", "2d-b", "3d"}));
}

TEST_F(AnalogDispatchTest, MarkerEventTimeIsFrameOverRate)
{
    device.AddMarker(3, 50, "E 2", true);
    device.AddMarker(4, 60, "quiet", false);
    EXPECT_EQ(log.calls, Calls({"event:AnalogDevice:E 2"}));  // no VRPN button either
    EXPECT_EQ(network.eventTimes, std::vector<double>({2.0}));
    std::vector<uint32_t> codes;
    std::vector<uint32_t> frames;
    std::vector<wxString> labels;
    device.GetMarkers(codes, frames, labels);
    EXPECT_EQ(codes, std::vector<uint32_t>({3, 4}));
    EXPECT_EQ(frames, std::vector<uint32_t>({50, 60}));
    EXPECT_EQ(labels, std::vector<wxString>({"E 2", "quiet"}));
    device.Reset();
    EXPECT_TRUE(device.GetMarkerCodes().empty());
}

TEST_F(AnalogDispatchTest, ZeroRateNeverDivides)
{
    device.SetRate(0.0);
    device.Step(1.0);
    device.Step(1.0);
    EXPECT_EQ(view.frames[1].timeSec, 0.0);
    device.AddMarker(0, 5, "E", true);
    EXPECT_EQ(network.eventTimes, std::vector<double>({0.0}));
    EXPECT_EQ(device.GetRecordTime(), 0.0);
}

TEST_F(AnalogDispatchTest, MainViewAndRemovalKeepOrder)
{
    EXPECT_FALSE(device.IsMainView(&view));  // a 3D view is registered
    EXPECT_TRUE(device.IsMainView3D(&view3D));
    EXPECT_TRUE(device.RemoveView3D(&view3D));
    EXPECT_FALSE(device.RemoveView3D(&view3D));
    EXPECT_TRUE(device.IsMainView(&view));
    EXPECT_FALSE(device.IsMainView(&view2));
    CFakeView third(&log, "2d-c");
    device.AddView(&third);
    device.AddView(nullptr);
    EXPECT_EQ(device.GetViewCount(), 3);
    EXPECT_TRUE(device.RemoveView(&view));
    EXPECT_EQ(device.FindView(&view2), 0);
    EXPECT_EQ(device.FindView(&third), 1);
    EXPECT_EQ(device.FindView(&view), -1);
    EXPECT_TRUE(device.IsMainView(&view2));
    log.calls.clear();
    device.Step(0.0);
    EXPECT_EQ(log.calls, Calls({"vrpn-analog:3", "vrpn-mainloop", "osc:AnalogDevice:3", "2d-b", "2d-c"}));
    device.RemoveAllViews();
    EXPECT_EQ(device.GetAllViewCount(), 0);
    EXPECT_EQ(view2.notes, std::vector<std::string>({"detach"}));
    EXPECT_EQ(third.notes, std::vector<std::string>({"detach"}));
}

TEST_F(AnalogDispatchTest, OperationsOnAllViewsGo2DFirst)
{
    device.AddMarker(0, 0, "gone on reset", false);
    log.calls.clear();
    device.ResetViews();
    EXPECT_EQ(log.calls, Calls({"2d-a:reset", "2d-b:reset", "3d:reset"}));
    EXPECT_TRUE(device.GetMarkerLabels().empty());
    log.calls.clear();
    device.RestartViews();
    device.FreezeViews();
    device.ThawViews();
    device.NotifyBatteryChanged(true);
    view2.dirty = true;
    view3D.dirty = true;
    device.RefreshViews();
    EXPECT_FALSE(device.SaveViewsConfig(nullptr));
    wxStringInputStream empty("");
    wxFileConfig config(empty);
    EXPECT_TRUE(device.SaveViewsConfig(&config));
    EXPECT_EQ(log.calls,
              Calls({"2d-a:restart", "2d-b:restart", "3d:restart", "2d-a:freeze", "2d-b:freeze",
                     "3d:busy", "2d-a:thaw", "2d-b:thaw", "3d:thaw", "2d-a:battery",
                     "2d-b:battery", "2d-b:refresh", "3d:refresh", "2d-a:save", "2d-b:save",
                     "3d:save"}));
}

TEST_F(AnalogDispatchTest, CaptureHooksForwardToTheRecorder)
{
    EXPECT_TRUE(device.SetupWriter("dir", "trial", 3, true, "export", false, 50, 2));
    EXPECT_EQ(recorder->openArgs, "dir|trial|3|1|export|0|50|2");
    device.SetRecordDuration(12.5);
    EXPECT_EQ(recorder->duration, 12.5);
    EXPECT_TRUE(device.StartRecording());
    EXPECT_TRUE(device.IsRecording());
    device.Step(0.0);
    device.Step(0.0);
    EXPECT_EQ(device.GetRecordedFrames(), 2);
    EXPECT_DOUBLE_EQ(device.GetRecordTime(), 1.0 / 25.0);
    EXPECT_EQ(device.GetRecordFileName(), "trial.qvd");
    EXPECT_EQ(device.GetWriterFileName(), "trial.qvd");
    EXPECT_EQ(device.GetExportFileName(), "trial.txt");
    // A run the duration limit ended no longer records, yet it is finished.
    recorder->recording = false;
    EXPECT_TRUE(device.FinishRecording());
    EXPECT_EQ(recorder->finishCalls, 1);
    EXPECT_TRUE(device.StopRecording());

    device.SetRecorder(nullptr);
    EXPECT_FALSE(device.SetupWriter("dir", "trial", 1, false, "", false, 0, 0));
    EXPECT_FALSE(device.StartRecording());
    EXPECT_FALSE(device.FinishRecording());
    EXPECT_FALSE(device.StopRecording());
    EXPECT_FALSE(device.IsRecording());
    EXPECT_EQ(device.GetRecordedFrames(), 0);
    EXPECT_EQ(device.GetWriterFileName(), "");
}

TEST(AnalogRecordTimeTest, TimeOfTheLastFrameProduced)
{
    CPlainDevice device(2);
    EXPECT_EQ(device.GetRecordTime(), 0.0);
    device.Step(0.0);
    EXPECT_EQ(device.GetRecordTime(), 0.0);
    for (int i = 1; i < 26; ++i) device.Step(0.0);
    EXPECT_DOUBLE_EQ(device.GetRecordTime(), 1.0);
}

TEST(AnalogCommandsTest, StartStopAndOffsetNeedAReadyDevice)
{
    CPlainDevice device(2);
    device.SetReady(false);
    {
        wxLogNull quiet;
        device.AnalogStart();
    }
    EXPECT_FALSE(device.IsRunning());
    device.SetReady(true);
    device.AnalogStartStop();
    EXPECT_TRUE(device.IsRunning());
    device.SetReady(false);
    device.AnalogStop();
    EXPECT_TRUE(device.IsRunning());  // not ready: nothing happens
    device.SetReady(true);
    device.AnalogStartStop();
    EXPECT_FALSE(device.IsRunning());
    device.AnalogOffset();
    EXPECT_TRUE(device.IsOffsetRunning() == false);  // the analog device reports none
}

// A recorder that records without allocating, as the real writers must.
class CCountingRecorder : public CFakeRecorder {
public:
    bool RecordFrame(const double* values, int count, uint32_t, double) override
    {
        sum += values[count - 1];
        ++recorded;
        return true;
    }
    double sum = 0.0;
    int recorded = 0;
};

// Copies each frame into a row sized beforehand, as a view's feed must.
class CPreallocatedView : public CFakeView {
public:
    explicit CPreallocatedView(int capacity) : row(static_cast<size_t>(capacity)) {}
    void AddData(const double* values, int count, uint32_t, double) override
    {
        std::memcpy(row.data(), values, sizeof(double) * static_cast<size_t>(count));
        ++fed;
    }
    std::vector<double> row;
    int fed = 0;
};

TEST(AnalogDispatchAllocationTest, DispatchAllocatesNothingPerFrame)
{
    for (int dim : {1, 7}) {
        CPlainDevice device(8, dim, dim == 7);
        auto owned = std::make_unique<CCountingRecorder>();
        CCountingRecorder* recorder = owned.get();
        recorder->recording = true;
        device.SetRecorder(std::move(owned));
        std::vector<std::unique_ptr<CPreallocatedView>> views;
        for (int i = 0; i < 4; ++i) {
            views.push_back(std::make_unique<CPreallocatedView>(8 * dim));
            device.AddView(views.back().get());
        }
        uint64_t allocations = 0;
        {
            CAllocationCount count;
            for (int i = 0; i < 1000; ++i) device.Step(i);
            allocations = count.Count();
        }
        EXPECT_EQ(allocations, 0u) << "values per channel " << dim;
        EXPECT_EQ(recorder->recorded, 1000);
        EXPECT_EQ(views[3]->fed, 1000);
        device.RemoveAllViews();
    }
}

}  // namespace

namespace {

TEST(AnalogViewLinkTest, ViewsStillRegisteredAreDetachedWhenTheDeviceGoes)
{
    CFakeView view;
    CFakeView3D view3D;
    {
        CPlainDevice device(2);
        device.AddView(&view);
        device.AddView3D(&view3D);
    }
    EXPECT_EQ(view.notes, std::vector<std::string>({"detach"}));
    EXPECT_EQ(view3D.notes, std::vector<std::string>({"detach"}));
}

}  // namespace

namespace {

// Adds a marker every framesApart frames from frame first on, for the given
// number of markers, as a device running without a capture does; checks after
// each that the list holds every marker the view can show and stays short.
struct MarkerPace {
    double rateHz;
    int64_t framesApart;
    double windowSec;  // of the device's one view
    int64_t first;     // sample counter of the first marker
    int64_t count;
};

std::string Describe(const MarkerPace& pace)
{
    return std::to_string(pace.rateHz) + " Hz, every " + std::to_string(pace.framesApart) +
           " frames, window " + std::to_string(pace.windowSec) + " s, from frame " +
           std::to_string(pace.first);
}

// The list may hold what the view shows (with the device's margin), and
// doubles at most before it is looked at again.
size_t LongestList(const MarkerPace& pace)
{
    const double keepFrames = std::ceil((pace.windowSec * 1.1 + 1.0) * pace.rateHz);
    const size_t live = static_cast<size_t>(keepFrames / double(pace.framesApart)) + 2;
    return std::max<size_t>(16, 2 * live);
}

void AddMarkersAndCheck(CPlainDevice& device, const MarkerPace& pace, int64_t& next, int64_t count)
{
    const size_t longest = LongestList(pace);
    const int64_t shownFrames = static_cast<int64_t>(pace.windowSec * pace.rateHz);
    for (int64_t i = 0; i < count; ++i, next += pace.framesApart) {
        device.SetSampleCounter(next);
        device.AddMarker(1, static_cast<uint32_t>(next), "E", false);
        const std::vector<uint32_t> frames = device.GetMarkerFrames();
        ASSERT_LE(frames.size(), longest) << "after the marker at frame " << next;
        // Every marker the view shows is there, newest last.
        ASSERT_EQ(frames.back(), static_cast<uint32_t>(next));
        const int64_t shown = std::min<int64_t>(shownFrames / pace.framesApart,
                                                (next - pace.first) / pace.framesApart);
        ASSERT_GE(int64_t(frames.size()), shown + 1) << "after the marker at frame " << next;
        // Plain comparisons: this runs a hundred million times.
        for (int64_t k = 0; k <= shown; ++k) {
            const uint32_t expected = static_cast<uint32_t>(next - k * pace.framesApart);
            if (frames[frames.size() - 1 - size_t(k)] != expected) {
                FAIL() << "marker " << k << " before the newest is at frame "
                       << frames[frames.size() - 1 - size_t(k)] << ", not " << expected
                       << ", after the marker at frame " << next;
            }
        }
    }
}

}  // namespace

TEST(AnalogMarkerListTest, MarkersNoViewCanShowAreDroppedWhileNothingRecords)
{
    const MarkerPace paces[] = {
        {25.0, 50, 5.0, 0, 1800},     // a test device for an hour, default display
        {25.0, 50, 5.0, 7, 1800},     // another start phase
        {1.0, 2, 60.0, 0, 5000},      // slow device, long display
        {1000.0, 1, 0.3, 0, 200000},  // a marker on every frame, recent markers only
        {1000.0, 3, 5.0, 4294967296LL - 30000, 40000},  // the 32-bit frames wrap meanwhile
    };
    for (const MarkerPace& pace : paces) {
        SCOPED_TRACE(Describe(pace));
        CPlainDevice device(1);
        device.SetRate(pace.rateHz);
        CFakeView view;
        view.markerWindowSec = pace.windowSec;
        device.AddView(&view);
        EXPECT_DOUBLE_EQ(device.GetMarkerWindowSec(), pace.windowSec);
        int64_t next = pace.first;
        AddMarkersAndCheck(device, pace, next, pace.count);
        device.RemoveAllViews();
    }
}

TEST(AnalogMarkerListTest, EveryMarkerOfARunIsKeptUntilTheRunEnds)
{
    CPlainDevice device(1);
    auto owned = std::make_unique<CFakeRecorder>();
    CFakeRecorder* recorder = owned.get();
    device.SetRecorder(std::move(owned));
    CFakeView view;
    view.markerWindowSec = 5.0;
    device.AddView(&view);
    const MarkerPace pace{25.0, 50, 5.0, 0, 0};
    // A capture of 20 minutes: all of its markers stay, however old.
    recorder->recording = true;
    for (int64_t i = 0; i < 600; ++i) {
        device.SetSampleCounter(i * 50);
        device.AddMarker(1, static_cast<uint32_t>(i * 50), "E", false);
    }
    const std::vector<uint32_t> frames = device.GetMarkerFrames();
    ASSERT_EQ(frames.size(), 600u);
    for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i], i * 50);
    // Once nothing records the list comes back to what the view shows.
    recorder->recording = false;
    int64_t next = 600 * 50;
    for (int64_t i = 0; i < 2000 && device.GetMarkerFrames().size() > LongestList(pace); ++i) {
        device.SetSampleCounter(next);
        device.AddMarker(1, static_cast<uint32_t>(next), "E", false);
        next += 50;
    }
    ASSERT_LE(device.GetMarkerFrames().size(), LongestList(pace));
    AddMarkersAndCheck(device, pace, next, 1000);
    // A view whose display time changes is reset: the device takes its new window.
    view.markerWindowSec = 60.0;
    device.ResetViews();
    EXPECT_DOUBLE_EQ(device.GetMarkerWindowSec(), 60.0);
    device.RemoveAllViews();
    EXPECT_DOUBLE_EQ(device.GetMarkerWindowSec(), 0.0);
}
