#include "GLcanvas/analog3DView.h"

#include "GLcanvas/glTestSupport.h"
#include "analog/testDevice.h"
#include "network/vrpnDevice.h"
#include "network/vrpnServerModule.h"
#include "network/vrpnTestSupport.h"
#include "support/tempDir.h"

#include <gtest/gtest.h>
#include <wx/fileconf.h>
#include <wx/menu.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

// The synthetic tracker with frames of chosen poses (millimetres, w-first
// quaternions), stepped by hand as its acquisition thread would.
class CPoseDevice : public CTestDevice {
public:
    CPoseDevice() : CTestDevice(false, true)
    {
        m_rate = 100.0;
        UpdateVisibleList();
    }
    void SetRateHz(double rate) { m_rate = rate; }
    void StepPoses(const std::vector<double>& poses)
    {
        for (size_t i = 0; i < poses.size() && i < static_cast<size_t>(m_channelCount * m_dim); ++i)
            m_values[i] = poses[i];
        DispatchFrame();
        CountSample();
    }
    bool IsRecording() const override { return recording; }
    // Other channels shown, as a network source takes a new shape on its acquisition
    // thread: no view is reset.
    void Reshape(const std::vector<int>& channels)
    {
        CMutexLock lock(&m_dataMutex);
        for (int i = 0; i < m_channelCount; ++i) m_channelOn[i] = 0;
        for (int channel : channels) m_channelOn[channel] = 1;
        UpdateVisibleList();
    }
    bool recording = false;
    // Sensors whose reports are watched, as a network tracker's are: all silent after
    // an hour, or when told lost.
    CSourceWatch& WatchSensors()
    {
        m_sourceWatch.Configure(SourceKind::kSensor, 1, 3600.0);
        m_sourceWatch.Resize(m_channelCount);
        return m_sourceWatch;
    }
};

// Eight sensors along x, each turned 20 degrees more about z, moving on a
// small circle with the frame number k (so that the trails show).
std::vector<double> Poses(int k)
{
    std::vector<double> poses(56, 0.0);
    for (int i = 0; i < 8; ++i) {
        double* p = &poses[static_cast<size_t>(i) * 7];
        const double a = 0.08 * k;
        p[0] = -420.0 + 120.0 * i + 40.0 * std::cos(a);
        p[1] = 40.0 * std::sin(a);
        p[2] = 150.0 + 20.0 * (i % 3);
        const double half = (20.0 * i) * kPi / 360.0;
        p[3] = std::cos(half);
        p[6] = std::sin(half);
    }
    return poses;
}

// Where sensor i stands at frame k, in scene units.
void SensorAt(int i, int k, double out[3])
{
    const std::vector<double> p = Poses(k);
    for (int j = 0; j < 3; ++j) out[j] = p[static_cast<size_t>(i) * 7 + j] * 0.001;
}

class CSelector : public CView3DOwner {
public:
    void SelectView(CAnalog3DView* view) override
    {
        selected = view;
        ++calls;
    }
    CAnalog3DView* selected = nullptr;
    int calls = 0;
};

class TrackerViewTest : public GLWindowTest {
protected:
    CAnalog3DView* MakeView(const wxSize& size = wxSize(400, 300))
    {
        auto* view = new CAnalog3DView(m_frame, wxPoint(0, 0), size);
        return view;
    }
    void TearDown() override
    {
        GLWindowTest::TearDown();  // the views unlink themselves from the live device
        m_device.reset();
    }
    void Feed(int frames)
    {
        for (int k = 0; k < frames; ++k) m_device->StepPoses(Poses(m_frameCount++));
    }
    // Background (0.3, 0.3, 0.3) as bytes.
    static constexpr int kGrey = 77;

    std::unique_ptr<CPoseDevice> m_device = std::make_unique<CPoseDevice>();
    int m_frameCount = 0;
};

// Pixels of the box around (x, y) that differ between two pictures.
int CountDiff(const wxImage& a, const wxImage& b, int x, int y, int half)
{
    int count = 0;
    for (int j = y - half; j <= y + half; ++j)
        for (int i = x - half; i <= x + half; ++i)
            if (i >= 0 && j >= 0 && i < a.GetWidth() && j < a.GetHeight() &&
                (std::abs(a.GetRed(i, j) - b.GetRed(i, j)) > 12 ||
                 std::abs(a.GetGreen(i, j) - b.GetGreen(i, j)) > 12 ||
                 std::abs(a.GetBlue(i, j) - b.GetBlue(i, j)) > 12))
                ++count;
    return count;
}

int CountColour(const wxImage& image, int x0, int y0, int x1, int y1, int r, int g, int b)
{
    int count = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            if (std::abs(image.GetRed(x, y) - r) < 40 && std::abs(image.GetGreen(x, y) - g) < 40 &&
                std::abs(image.GetBlue(x, y) - b) < 40)
                ++count;
    return count;
}

}  // namespace

TEST_F(TrackerViewTest, NewViewTakesItsOwnSettings)
{
    CAnalog3DView* first = MakeView();
    CAnalog3DView* second = MakeView();
    EXPECT_GE(first->GetId(), 3333);
    EXPECT_EQ(second->GetId(), first->GetId() + 1);
    EXPECT_EQ(first->GetClassInfo()->GetClassName(), wxString("CAnalog3DView"));
    EXPECT_TRUE(first->IsKindOf(wxCLASSINFO(wxGLCanvas)));
    EXPECT_FLOAT_EQ(first->GetBkColor()[0], 0.3f);
    EXPECT_FLOAT_EQ(first->m_fogColour[1], 0.3f);
    EXPECT_DOUBLE_EQ(first->m_fogStart, 1.0);  // a quarter of the canvas's plane size 4
    EXPECT_DOUBLE_EQ(first->m_fogEnd, 2.0);
    EXPECT_FLOAT_EQ(first->GetPlane()->size, 2.0f);
    EXPECT_TRUE(first->GetRenderFlags()->cull);
    EXPECT_DOUBLE_EQ(first->GetObjectSize(), 0.025);
    EXPECT_DOUBLE_EQ(first->GetDrawTime(), 0.5);
    EXPECT_DOUBLE_EQ(first->GetCamera()->GetLens(), 25.0);
    EXPECT_DOUBLE_EQ(wxGLCamera::s_moveDivisor, 200.0);
    std::unique_ptr<wxMenu> menu(first->BuildContextMenu());
    EXPECT_EQ(menu->GetMenuItemCount(), 8u);
    wxArrayString types;
    CAnalog3DView::GetViewTypes(types);
    ASSERT_EQ(types.size(), 7u);
    EXPECT_EQ(types[1], "Front View");
    EXPECT_EQ(types[6], "None");
}

TEST_F(TrackerViewTest, ViewAsksForAFrameUntilOneIsDrawnAndOnEachNewData)
{
    CAnalog3DView* view = MakeView();
    view->SetDevice(m_device.get());
    // Nothing drawn yet, no data: the display timer must still ask for the first frame,
    // or a page whose first paint came before it was on screen stays blank.
    EXPECT_TRUE(view->IsFrameOwed());
    EXPECT_TRUE(view->NeedsRefresh());
    ASSERT_TRUE(WaitShown(*view));
    const auto drawn = [&](uint64_t frames) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (view->GetRenderedFrames() < frames && std::chrono::steady_clock::now() < deadline) {
            view->Refresh(false);
            wxYield();
        }
        return view->GetRenderedFrames() >= frames;
    };
    ASSERT_TRUE(drawn(1));
    EXPECT_FALSE(view->IsFrameOwed());
    EXPECT_FALSE(view->NeedsRefresh());  // a stopped device costs no repaints
    Feed(1);
    EXPECT_TRUE(view->NeedsRefresh());
    ASSERT_TRUE(drawn(view->GetRenderedFrames() + 1));
    EXPECT_FALSE(view->NeedsRefresh());
}

TEST_F(TrackerViewTest, DeviceFeedsOneRecordPerVisibleChannel)
{
    CAnalog3DView* view = MakeView();
    view->SetDevice(m_device.get());
    EXPECT_EQ(m_device->GetView3DCount(), 1);
    EXPECT_EQ(view->GetData().SensorCount(), 8);
    EXPECT_EQ(view->GetData().ExpectedCount(), 56);
    EXPECT_FALSE(view->GetData().HasNewData());  // the view still asks for its first frame
    Feed(3);
    EXPECT_TRUE(view->GetData().HasNewData());
    EXPECT_TRUE(view->NeedsRefresh());
    EXPECT_EQ(view->GetData().CurrentSample(), 2);
    {
        CTrackerViewData::Access access(view->GetData());
        const CSensor3D& s = access.Sensors()[3];
        EXPECT_EQ(s.m_channel, 4);
        EXPECT_NEAR(s.m_angleDeg, 60.0, 1e-9);
        EXPECT_NEAR(s.m_axis[2], 1.0, 1e-9);
        EXPECT_EQ(s.m_trail.Count(), 3u);
        EXPECT_EQ(s.m_renderFlags, view->GetRenderFlags());
    }
    // A channel switched off: the old layout is refused until the rebuild.
    m_device->SetVisibleChannels({1, 4});
    view->Rebuild();
    EXPECT_EQ(view->GetData().SensorCount(), 2);
    Feed(1);
    CTrackerViewData::Access access(view->GetData());
    EXPECT_EQ(access.Sensors()[1].m_channel, 5);
    EXPECT_NEAR(access.Sensors()[1].m_angleDeg, 80.0, 1e-9);
}

// Sensors changed to as many others (no frame of a wrong length): their frames are
// refused until the view has rebuilt its sensors for them, then each pose is shown under
// its own channel, never under the name of the channel it replaced.
TEST_F(TrackerViewTest, SensorsChangedToAsManyOthersShowTheirPosesOnlyAfterTheRebuild)
{
    CAnalog3DView* view = MakeView();
    view->SetDevice(m_device.get());
    m_device->SetVisibleChannels({1, 4});
    view->Rebuild();
    Feed(1);
    const uint64_t stored = view->GetData().StoredFrames();
    m_device->Reshape({2, 6});
    Feed(2);
    EXPECT_EQ(view->GetData().StoredFrames(), stored);
    EXPECT_TRUE(view->NeedsRefresh());
    view->RequestRefresh();  // what the display timer does for a view that asks
    Feed(1);
    EXPECT_EQ(view->GetData().StoredFrames(), stored + 1);
    CTrackerViewData::Access access(view->GetData());
    ASSERT_EQ(access.Sensors().size(), 2u);
    EXPECT_EQ(access.Sensors()[0].m_channel, 3);
    EXPECT_EQ(access.Sensors()[1].m_channel, 7);
    EXPECT_NEAR(access.Sensors()[1].m_angleDeg, 120.0, 1e-9);
}

// Against the same scene without sensors (view type "None"): each sensor's
// cube and a point of its trail show; the picture is saved for a look.
// A view closed before its device leaves the device no link to it.
TEST_F(TrackerViewTest, ClosedViewIsNoLongerFed)
{
    CAnalog3DView* view = MakeView();
    view->SetDevice(m_device.get());
    CAnalog3DView* other = MakeView();
    other->SetDevice(m_device.get());
    EXPECT_EQ(m_device->GetView3DCount(), 2);
    delete view;
    EXPECT_EQ(m_device->GetView3DCount(), 1);
    Feed(3);  // would reach freed memory through a stale link
    EXPECT_EQ(other->GetData().StoredFrames(), 3u);
}

TEST_F(TrackerViewTest, SensorsTrailsAndLabelsAreDrawn)
{
    CAnalog3DView* view = MakeView();
    ASSERT_TRUE(WaitShown(*view));
    view->SetDevice(m_device.get());
    m_device->ClearMarkers();
    Feed(40);
    view->SetViewType(6);
    const wxImage empty = RenderAndRead(*view);
    view->SetViewType(0);
    const wxImage image = RenderAndRead(*view);
    Save(image, "trackerView_sensors.png");
    EXPECT_TRUE(Near(image, 2, 2, kGrey, kGrey, kGrey, 3));
    for (int i = 0; i < 8; ++i) {
        double p[3];
        SensorAt(i, m_frameCount - 1, p);
        int x = 0, y = 0;
        ASSERT_TRUE(Project(p, x, y)) << "sensor " << i;
        EXPECT_GT(CountDiff(empty, image, x, y, 2), 12) << "sensor " << i;
        SensorAt(i, m_frameCount - 20, p);  // half-way along the trail
        ASSERT_TRUE(Project(p, x, y));
        EXPECT_GT(CountDiff(empty, image, x, y, 1), 0) << "trail " << i;
    }
    // The labels: the channel numbers above and right of each cube.
    double p[3];
    SensorAt(7, m_frameCount - 1, p);
    int x = 0, y = 0;
    ASSERT_TRUE(Project(p, x, y));
    EXPECT_GT(CountDiff(empty, image, x + 10, y - 12, 8), 5);

    // Larger cubes, closer: each turned 20 degrees more about z than the last.
    view->SetObjectSize(0.1);
    view->GetCamera()->SetEye(0.0, -0.9, 0.6);
    Feed(40);
    Save(RenderAndRead(*view), "trackerView_closeup.png");
}

TEST_F(TrackerViewTest, NoneViewTypeDrawsNeitherMarkersNorFrame)
{
    CAnalog3DView* view = MakeView();
    ASSERT_TRUE(WaitShown(*view));
    view->SetDevice(m_device.get());
    Feed(5);
    m_device->AddMarker(1, 4, "Now", false);
    m_device->recording = true;
    view->SetViewType(6);
    EXPECT_EQ(view->GetViewType(), 6);
    const wxImage none = RenderAndRead(*view);
    Save(none, "trackerView_none.png");
    EXPECT_EQ(CountColour(none, 0, 0, 400, 4, 255, 0, 0), 0);
    EXPECT_EQ(CountColour(none, 200, 0, 400, 40, 255, 255, 0), 0);
    view->SetViewType(0);
    const wxImage drawn = RenderAndRead(*view);
    EXPECT_GT(CountColour(drawn, 0, 0, 400, 4, 255, 0, 0), 100);
    EXPECT_GT(CountColour(drawn, 200, 0, 400, 40, 255, 255, 0), 10);
}

TEST_F(TrackerViewTest, MarkersNearTheCurrentSampleAreWritten)
{
    CAnalog3DView* view = MakeView();
    ASSERT_TRUE(WaitShown(*view));
    view->SetDevice(m_device.get());
    m_device->ClearMarkers();
    Feed(100);  // current sample 99; the window is 0.3 x 100 = 30 samples
    const int top = 0, bottom = 40, left = 200, right = 400;
    m_device->AddMarker(1, 68, "early", false);  // 31 samples back
    wxImage image = RenderAndRead(*view);
    EXPECT_EQ(CountColour(image, left, top, right, bottom, 255, 255, 0), 0);
    m_device->AddMarker(2, 69, "Go", false);  // 30 samples back
    image = RenderAndRead(*view);
    Save(image, "trackerView_marker.png");
    EXPECT_GT(CountColour(image, left, top, right, bottom, 255, 255, 0), 10);
    // The whole label inside the view: nothing written into its last columns.
    EXPECT_EQ(CountColour(image, 395, 0, 400, 40, 255, 255, 0), 0);
    // A label longer than the view starts at its left edge rather than vanishing.
    m_device->AddMarker(3, 99, wxString('W', 40), false);
    image = RenderAndRead(*view);
    EXPECT_GT(CountColour(image, 0, 0, 40, 40, 255, 255, 0), 10);
}

TEST_F(TrackerViewTest, FramesShowRecordingAndSelection)
{
    CAnalog3DView* view = MakeView();
    ASSERT_TRUE(WaitShown(*view));
    view->SetDevice(m_device.get());
    Feed(2);
    // One view, selected: no frame.
    view->SetSelected(true, 1);
    wxImage image = RenderAndRead(*view);
    EXPECT_TRUE(Near(image, 200, 1, kGrey, kGrey, kGrey, 3));
    // Several views, this one selected: green for a perspective free view...
    view->SetSelected(true, 2);
    image = RenderAndRead(*view);
    EXPECT_TRUE(Near(image, 200, 0, 0, 255, 0, 40)) << int(image.GetGreen(200, 0));
    // ...blue orthographic, yellow and cyan for a preset.
    view->GetCamera()->SetPerspective(false);
    image = RenderAndRead(*view);
    EXPECT_TRUE(Near(image, 200, 0, 0, 0, 255, 40));
    view->SetViewType(4);
    image = RenderAndRead(*view);
    EXPECT_TRUE(Near(image, 200, 0, 0, 255, 255, 40));
    view->GetCamera()->SetPerspective(true);
    image = RenderAndRead(*view);
    EXPECT_TRUE(Near(image, 200, 0, 255, 255, 0, 40));
    // Recording wins, also for a view that is not selected.
    view->SetSelected(false, 2);
    m_device->recording = true;
    image = RenderAndRead(*view);
    Save(image, "trackerView_recording.png");
    EXPECT_TRUE(Near(image, 200, 2, 255, 0, 0, 40));
    EXPECT_TRUE(Near(image, 2, 150, 255, 0, 0, 40));
}

TEST_F(TrackerViewTest, ClickSelectsTheViewThroughItsOwner)
{
    CAnalog3DView* view = MakeView();
    ASSERT_TRUE(WaitShown(*view));
    CSelector owner;
    view->SetOwner(&owner);
    view->SetDevice(m_device.get());
    RenderAndRead(*view);
    EXPECT_EQ(owner.calls, 0);
    wxMouseEvent down(wxEVT_LEFT_DOWN);
    down.m_leftDown = true;
    view->OnMouse(down);
    RenderAndRead(*view);
    EXPECT_EQ(owner.selected, view);
    EXPECT_FALSE(view->m_clicked);
    view->SetSelected(true, 2);
    view->OnMouse(down);
    RenderAndRead(*view);
    EXPECT_EQ(owner.calls, 1);
}

TEST_F(TrackerViewTest, ViewTypesLockAndRestoreTheFreeCamera)
{
    CAnalog3DView* view = MakeView();
    wxGLCamera& camera = *view->GetCamera();
    camera.SetEye(0.3, -1.2, 0.8);
    double before[12], after[12];
    camera.GetState(before, 12);
    view->SetViewType(4);
    EXPECT_TRUE(view->IsRotationLocked());
    double x = 0, y = 0, z = 0;
    camera.GetEye(&x, &y, &z);
    EXPECT_GT(z, 0.8);  // from above
    view->SetViewType(0);
    EXPECT_FALSE(view->IsRotationLocked());
    camera.GetState(after, 12);
    for (int i = 0; i < 12; ++i) EXPECT_NEAR(after[i], before[i], 1e-9) << i;
    // Reset View returns to a free view that can be turned again.
    view->SetViewType(2);
    wxCommandEvent reset(wxEVT_MENU, ID_3D_RESET_VIEW);
    view->OnResetView(reset);
    EXPECT_EQ(view->GetViewType(), 0);
    EXPECT_FALSE(view->IsRotationLocked());
    EXPECT_DOUBLE_EQ(camera.GetLens(), 25.0);
}

TEST_F(TrackerViewTest, SettersRefuseWhatTheyCannotDraw)
{
    CAnalog3DView* view = MakeView();
    view->SetDevice(m_device.get());
    view->SetDrawTime(-1.0);
    view->SetObjectSize(0.0);
    EXPECT_DOUBLE_EQ(view->GetDrawTime(), 0.5);
    EXPECT_DOUBLE_EQ(view->GetObjectSize(), 0.025);
    view->SetDrawTime(0.01);  // shorter than two periods at 100 Hz: no trail
    {
        CTrackerViewData::Access access(view->GetData());
        EXPECT_EQ(access.Sensors()[0].m_trailOn, 0);
    }
    view->SetObjectSize(0.05);
    CTrackerViewData::Access access(view->GetData());
    EXPECT_DOUBLE_EQ(access.Sensors()[0].m_objectSize, 0.05);
}

namespace {

// One pass of the display timer over a view, as the main frame makes it: a
// view that asks for a frame is drawn once. True when a frame was drawn.
bool DisplayTick(CAnalog3DView& view)
{
    if (!view.NeedsRefresh())
        return false;
    const uint64_t before = view.GetRenderedFrames();
    view.RequestRefresh();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (view.GetRenderedFrames() == before && std::chrono::steady_clock::now() < deadline) {
        view.Update();
        wxYield();
    }
    return view.GetRenderedFrames() == before + 1;
}

// Lets any paint still on its way arrive: frames drawn meanwhile.
uint64_t StrayFrames(CAnalog3DView& view)
{
    const uint64_t before = view.GetRenderedFrames();
    for (int i = 0; i < 5; ++i) {
        view.Update();
        wxYield();
    }
    return view.GetRenderedFrames() - before;
}

// A view (already shown) drawn until it asks for nothing more.
bool Settled(CAnalog3DView& view)
{
    for (int i = 0; i < 20 && view.NeedsRefresh(); ++i) DisplayTick(view);
    StrayFrames(view);
    return !view.NeedsRefresh();
}

}  // namespace

// One pass of the display timer with the frame drawn at once, without
// processing window events (no paint of the window system's comes between):
// true when the view asked for a frame.
bool AskedTick(CAnalog3DView& view)
{
    if (!view.NeedsRefresh())
        return false;
    EXPECT_TRUE(view.MakeCurrent());
    view.RenderFrame();
    glFinish();
    return true;
}

// A device repeating its last pose costs frames only while the trails still
// show the former poses (one frame per sample until each trail holds the last
// pose alone), and none after; a pose that changes, a marker that comes into
// or leaves the corner and the recording frame each ask for exactly one.
TEST_F(TrackerViewTest, IdleViewIsNotRedrawnWhileNothingItShowsChanges)
{
    for (double drawTime : {0.5, 0.0}) {
        SCOPED_TRACE(testing::Message() << "trails of " << drawTime << " s");
        CAnalog3DView* view = MakeView();
        view->SetDevice(m_device.get());
        view->SetDrawTime(drawTime);
        m_device->ClearMarkers();
        m_device->recording = false;
        ASSERT_TRUE(WaitShown(*view));
        ASSERT_TRUE(Settled(*view));
        uint64_t trail = 0;
        {
            CTrackerViewData::Access access(view->GetData());
            trail = access.Sensors()[0].m_trailOn ? access.Sensors()[0].m_trail.Capacity() : 0;
        }
        EXPECT_EQ(trail, drawTime > 0 ? 50u : 0u);
        // Moving: a frame for every sample.
        int asked = 0;
        for (int k = 0; k < 20; ++k) {
            Feed(1);
            asked += AskedTick(*view);
        }
        EXPECT_EQ(asked, 20);
        // Still: the trails shrink onto the last pose, one frame each, then nothing.
        const std::vector<double> still = Poses(m_frameCount - 1);
        asked = 0;
        for (int k = 0; k < 200; ++k) {
            m_device->StepPoses(still);
            asked += AskedTick(*view);
        }
        EXPECT_EQ(asked, trail > 0 ? static_cast<int>(trail) - 1 : 0);
        EXPECT_FALSE(view->NeedsRefresh());
        // A marker at the current sample comes into the corner: one frame; it
        // stays 30 samples (0.3 s at 100 Hz), then leaves: one frame more.
        const uint32_t now = static_cast<uint32_t>(view->GetData().CurrentSample());
        m_device->AddMarker(1, now, "Still", false);
        asked = AskedTick(*view);
        for (int k = 0; k < 60; ++k) {
            m_device->StepPoses(still);
            asked += AskedTick(*view);
        }
        EXPECT_EQ(asked, 2);
        // Recording shows a frame: one frame when it starts, one when it stops.
        m_device->recording = true;
        EXPECT_TRUE(AskedTick(*view));
        m_device->StepPoses(still);
        EXPECT_FALSE(AskedTick(*view));
        m_device->recording = false;
        EXPECT_TRUE(AskedTick(*view));
        // A pose that changes again is drawn at once.
        Feed(1);
        EXPECT_TRUE(AskedTick(*view));
        view->Destroy();
        wxYield();
        m_device->ClearMarkers();
    }
}

// A device whose pose is not a number (a lost sensor) repeats it as well:
// repeated NaN poses cost no frames once the trail holds them.
TEST_F(TrackerViewTest, RepeatedPosesThatAreNotNumbersCostNoFrames)
{
    CAnalog3DView* view = MakeView();
    view->SetDevice(m_device.get());
    view->SetDrawTime(0.0);
    ASSERT_TRUE(WaitShown(*view));
    ASSERT_TRUE(Settled(*view));
    std::vector<double> lost = Poses(0);
    for (int i = 0; i < 3; ++i) lost[static_cast<size_t>(i)] = std::nan("");
    m_device->StepPoses(lost);
    EXPECT_TRUE(AskedTick(*view));
    int asked = 0;
    for (int k = 0; k < 20; ++k) {
        m_device->StepPoses(lost);
        asked += AskedTick(*view);
    }
    EXPECT_EQ(asked, 0);
}

namespace {

// A VRPN tracker device stepped by hand on a simulated clock, one sample per step.
class CSteppedVrpnTracker : public CVrpnDevice {
public:
    explicit CSteppedVrpnTracker(const wxString& name) : CVrpnDevice(false, name, true)
    {
        ResetClock();
    }
    void Step() { Process(true, true); }

protected:
    void ReadPreciseClock(TimeVal* out) override
    {
        m_simulatedUs += 10000;
        out->tv_sec = m_simulatedUs / 1000000;
        out->tv_usec = m_simulatedUs % 1000000;
    }

private:
    int64_t m_simulatedUs = 0;
};

// Sensors 2 and 4 never reported: nothing of them is drawn (no cube piled at the origin
// or at their initial pose). Sensor 6 went silent: drawn dimmed where it was last, its
// label saying so. The others as ever.
TEST_F(TrackerViewTest, OnlyReportedSensorsAreDrawnAndSilentOnesDimmed)
{
    CAnalog3DView* view = MakeView();
    ASSERT_TRUE(WaitShown(*view));
    view->SetDevice(m_device.get());
    m_device->ClearMarkers();
    Feed(20);
    const wxImage before = RenderAndRead(*view);
    CSourceWatch& watch = m_device->WatchSensors();
    for (int i : {0, 2, 4, 5, 6, 7}) watch.Heard(i);
    Feed(1);
    watch.Lost(5);
    Feed(1);
    EXPECT_TRUE(view->NeedsRefresh());
    view->SetViewType(6);
    const wxImage empty = RenderAndRead(*view);
    view->SetViewType(0);
    const wxImage image = RenderAndRead(*view);
    Save(image, "trackerView_receipts.png");
    for (int i = 0; i < 8; ++i) {
        double p[3];
        SensorAt(i, m_frameCount - 1, p);
        int x = 0, y = 0;
        ASSERT_TRUE(Project(p, x, y)) << "sensor " << i;
        const int drawn = CountDiff(empty, image, x, y, 2);
        if (i == 1 || i == 3)
            EXPECT_EQ(drawn, 0) << "sensor " << i;
        else
            EXPECT_GT(drawn, 12) << "sensor " << i;
        if (i == 5) {
            // Dimmed: darker than it was drawn while it reported.
            const int was = before.GetRed(x, y) + before.GetGreen(x, y) + before.GetBlue(x, y);
            const int now = image.GetRed(x, y) + image.GetGreen(x, y) + image.GetBlue(x, y);
            EXPECT_LT(now, was);
        }
    }
    view->SetObjectSize(0.08);
    view->GetCamera()->SetEye(0.0, -0.9, 0.6);
    Feed(2);
    Save(RenderAndRead(*view), "trackerView_receipts_closeup.png");
}

class TrackerViewVrpnTest : public TrackerViewTest {
protected:
    void SetUp() override
    {
        TrackerViewTest::SetUp();
        SetVrpnServerPort(0);
        SetVrpnServerAddress(INADDR_LOOPBACK);
    }
    void TearDown() override
    {
        TrackerViewTest::TearDown();
        StopVrpnServer();
        SetVrpnServerPort(vrpn::kDefaultPort);
        SetVrpnServerAddress(0);
    }
    // Sensor i of n in a row along x (metres, moving with the step), turned
    // about z by 10 i degrees.
    static std::vector<double> ServedPoses(int n, int step)
    {
        std::vector<double> poses(static_cast<size_t>(n) * 7, 0.0);
        for (int i = 0; i < n; ++i) {
            double* p = &poses[static_cast<size_t>(i) * 7];
            p[0] = 0.1 * i - 0.35 + 0.0001 * step;
            p[1] = -0.05;
            p[2] = 0.1 + 0.02 * i;
            const double half = 10.0 * i * kPi / 360.0;
            p[3] = std::cos(half);
            p[6] = std::sin(half);
        }
        return poses;
    }
};

}  // namespace

// VRPN trackers start with one channel and grow as reports for more sensors
// arrive, after their 3D views were made: the first device opened and a later
// one (two clients of our own server, which serves 3 + 5 sensors) each get a
// view that takes the new shape and draws every sensor's pose.
TEST_F(TrackerViewVrpnTest, ViewFollowsTheSensorsItsTrackerFinds)
{
    const int blocks[2] = {3, 5};
    const int total = blocks[0] + blocks[1];
    int served[2] = {0, 0};
    for (int b = 0; b < 2; ++b) {
        served[b] = VrpnServerAddDevice(0, 0, blocks[b], b == 0 ? "Served" : nullptr);
        ASSERT_GT(served[b], 0);
    }
    const int port = GetVrpnServerBoundPort();
    ASSERT_GT(port, 0);
    const wxString name = wxString::Format("%s@tcp://127.0.0.1:%d", GetVrpnServerName(), port);
    std::unique_ptr<CSteppedVrpnTracker> devices[2];
    CAnalog3DView* views[2] = {nullptr, nullptr};
    for (int d = 0; d < 2; ++d) {
        devices[d] = std::make_unique<CSteppedVrpnTracker>(name);
        views[d] = new CAnalog3DView(m_frame, wxPoint(d * 410, 0), wxSize(400, 300));
        ASSERT_TRUE(WaitShown(*views[d]));
        views[d]->SetDevice(devices[d].get());
        EXPECT_EQ(views[d]->GetData().SensorCount(), 1);
    }
    int step = 0;
    std::vector<double> poses;
    const auto shown = [&](int d) {
        if (views[d]->GetData().SensorCount() != total)
            return false;
        CTrackerViewData::Access access(views[d]->GetData());
        for (int i = 0; i < total; ++i) {
            const CSensor3D& s = access.Sensors()[static_cast<size_t>(i)];
            if (s.m_position[0] != poses[static_cast<size_t>(i) * 7] * devices[d]->GetUnitScale())
                return false;
        }
        return true;
    };
    ASSERT_TRUE(vrpntest::PumpUntil(
        [&] {
            poses = ServedPoses(total, ++step);
            VrpnServerSetTracker(served[0], poses.data(), blocks[0]);
            VrpnServerSetTracker(served[1], poses.data() + 7 * blocks[0], blocks[1]);
            VrpnServerMainloop();
            for (auto& device : devices) {
                device->Poll();
                device->Step();
            }
            for (CAnalog3DView* view : views) DisplayTick(*view);
        },
        [&] { return shown(0) && shown(1); }))
        << "sensors " << views[0]->GetData().SensorCount() << " and "
        << views[1]->GetData().SensorCount() << ", channels " << devices[0]->GetChannelCount()
        << " and " << devices[1]->GetChannelCount();
    for (int d = 0; d < 2; ++d) {
        SCOPED_TRACE(d == 0 ? "first device" : "later device");
        EXPECT_EQ(devices[d]->GetChannelCount(), total);
        EXPECT_EQ(views[d]->GetData().ExpectedCount(), 7 * total);
        const double scale = devices[d]->GetUnitScale();
        CTrackerViewData::Access access(views[d]->GetData());
        for (int i = 0; i < total; ++i) {
            const CSensor3D& s = access.Sensors()[static_cast<size_t>(i)];
            EXPECT_EQ(s.m_channel, i + 1);
            EXPECT_NEAR(s.m_angleDeg, 10.0 * i, 1e-9);
            EXPECT_EQ(s.m_position[1], -0.05 * scale);
            EXPECT_EQ(s.m_position[2], (0.1 + 0.02 * i) * scale);
        }
    }
    // The scenes show them: saved for a look.
    Save(RenderAndRead(*views[0]), "trackerView_vrpn_first.png");
    Save(RenderAndRead(*views[1]), "trackerView_vrpn_later.png");
    for (int d = 0; d < 2; ++d) {
        views[d]->Destroy();
        devices[d]->Close();
    }
    wxYield();
}

class TrackerViewConfigTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        m_frame = new wxFrame(nullptr, wxID_ANY, "config", wxDefaultPosition, wxSize(300, 200));
    }
    void TearDown() override
    {
        delete m_frame;
        TempDirTest::TearDown();
    }
    std::unique_ptr<wxFileConfig> Config()
    {
        return std::make_unique<wxFileConfig>("qv", "qv", Path("qv.cfg").string(), "",
                                              wxCONFIG_USE_LOCAL_FILE);
    }
    wxFrame* m_frame = nullptr;
    CPoseDevice m_device;
};

TEST_F(TrackerViewConfigTest, RoundTripUnderTheDevicePath)
{
    auto* view = new CAnalog3DView(m_frame);
    view->SetDevice(&m_device);
    view->SetDrawTime(3.5);
    view->SetObjectSize(0.04);
    view->GetCamera()->SetEye(0.5, -2.0, 1.5);
    {
        auto config = Config();
        m_device.SaveViewsConfig(config.get());
        const wxString path = "/Analog/Analog3DView/" + m_device.GetDeviceName();
        EXPECT_EQ(view->ConfigPath(), path);
        EXPECT_TRUE(config->HasEntry(path + "/draw_time"));
        EXPECT_TRUE(config->HasEntry(path + "/Camera/Eye_0"));
        EXPECT_TRUE(config->HasEntry("/3DCanvas/plane_size"));
        config->Flush();
    }
    auto* other = new CAnalog3DView(m_frame);
    other->SetDevice(&m_device);
    auto config = Config();
    other->LoadConfig(config.get());
    EXPECT_DOUBLE_EQ(other->GetDrawTime(), 3.5);
    EXPECT_DOUBLE_EQ(other->GetObjectSize(), 0.04);
    double x = 0, y = 0, z = 0;
    other->GetCamera()->GetEye(&x, &y, &z);
    EXPECT_DOUBLE_EQ(z, 1.5);
    EXPECT_DOUBLE_EQ(other->m_fogEnd, other->GetPlane()->size);
    EXPECT_DOUBLE_EQ(other->m_fogStart, 0.25 * other->GetPlane()->size);
    EXPECT_FLOAT_EQ(other->m_fogColour[0], other->GetBkColor()[0]);
}

TEST_F(TrackerViewConfigTest, BadStoredValuesTakeTheDefaults)
{
    auto* view = new CAnalog3DView(m_frame);
    view->SetDevice(&m_device);
    const wxString path = "/Analog/Analog3DView/" + m_device.GetDeviceName();
    struct Case {
        const char* drawTime;
        const char* objectSize;
        double expectedTime;
        double expectedSize;
    };
    for (const Case& c : {Case{"2000", "abc", 1.0, 0.025}, Case{"-1", "-3", 1.0, 0.025},
                          Case{"1000", "0", 1000.0, 0.025}, Case{"0", "0.5", 0.0, 0.5},
                          Case{"x", "nan", 1.0, 0.025}}) {
        {
            auto config = Config();
            config->Write(path + "/draw_time", wxString(c.drawTime));
            config->Write(path + "/object_size", wxString(c.objectSize));
            config->Flush();
        }
        auto config = Config();
        view->LoadConfig(config.get());
        EXPECT_DOUBLE_EQ(view->GetDrawTime(), c.expectedTime) << c.drawTime;
        EXPECT_DOUBLE_EQ(view->GetObjectSize(), c.expectedSize) << c.objectSize;
    }
}

// The device's acquisition thread at 1 kHz while this (GUI) thread rebuilds
// and repaints: the feed goes on while a paint holds the records.
class TrackerViewThreads : public TrackerViewTest {};

TEST_F(TrackerViewThreads, AcquisitionRunsOnWhilePainting)
{
    m_device->SetRateHz(1000.0);
    CAnalog3DView* view = MakeView();
    ASSERT_TRUE(WaitShown(*view));
    view->SetDevice(m_device.get());
    ASSERT_TRUE(m_device->Create(false) && m_device->RunThread());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int round = 0; round < 30 && std::chrono::steady_clock::now() < deadline; ++round) {
        if (round % 5 == 4)
            view->Rebuild();
        view->Refresh(false);
        view->Update();
        RenderAndRead(*view);
    }
    {
        // Held as a paint holds it: samples still advance.
        CTrackerViewData::Access access(view->GetData());
        const int64_t start = m_device->GetSampleCounter();
        while (m_device->GetSampleCounter() < start + 50 &&
               std::chrono::steady_clock::now() < deadline) {
        }
        EXPECT_GE(m_device->GetSampleCounter(), start + 50);
    }
    m_device->Close();
    EXPECT_GT(view->GetData().StoredFrames(), 0u);
    EXPECT_GT(view->GetData().SkippedFrames(), 0u);
    Save(RenderAndRead(*view), "trackerView_threads.png");
}
