#include "analog/analogView.h"
#include "analog/analogViewFormat.h"

#include "analog/fakeSinks.h"
#include "analog/myButton.h"
#include "network/oscSourceSupport.h"
#include "dsp/cpStat.h"
#include "support/logCapture.h"
#include "support/tempDir.h"
#include "viewTestDevice.h"
#include "viewTestSupport.h"

#include <gtest/gtest.h>
#include <wx/fileconf.h>
#include <wx/tooltip.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <future>
#include <thread>

namespace {

using AnalogViewTest = ViewGuiTest;

int ShownIcon(const CAnalogView& view)
{
    int shown = -1;
    for (int i = 0; i < 6; ++i)
        if (view.GetBatteryIcon(i)->IsShown())
            shown = shown == -1 ? i : -2;
    return shown;
}

// A source on the loopback and its stepped device, whose frames a fake view keeps.
struct OscSourceRig {
    OscSourceRig() { device.AddView(&frames); }
    ~OscSourceRig() { device.RemoveView(&frames); }
    // The device's connect message, taken off the source.
    bool Connected()
    {
        osctest::Received request;
        return source.Next(request);
    }
    // Sends the values and steps until a frame carries shown (the visible ones).
    bool Deliver(const std::vector<float>& values, const std::vector<double>& shown)
    {
        if (!source.Send(device.GetBoundListeningPort(), osctest::Floats("/data", values)))
            return false;
        for (int i = 0; i < 2000; ++i) {
            device.Step(true);
            std::lock_guard<std::mutex> lock(frames.mutex);
            if (!frames.frames.empty() && frames.frames.back().values == shown) return true;
            std::this_thread::yield();
        }
        return false;
    }
    osctest::SettingsGuard guard;
    osctest::Peer source;
    const bool configured =
        (SetOscClientSettings(osctest::LoopbackClient(source.Port(), 0)), true);
    osctest::SteppedOscDevice device;
    CFakeView frames;
};

// A 2D view of an OSC source's device, connected.
class AnalogViewOscTest : public AnalogViewTest {
protected:
    void SetUp() override
    {
        AnalogViewTest::SetUp();
        ASSERT_TRUE(rig.Connected());
        view = MakeView(900, 500);
        view->SetDevice(&rig.device);
    }

    OscSourceRig rig;
    CAnalogView* view = nullptr;
};

}  // namespace

TEST_F(AnalogViewTest, ConstructionByClassNameCreatesIconsOnlyWithTheWindow)
{
    wxObject* object = wxCreateDynamicObject("CAnalogView");
    auto* view = dynamic_cast<CAnalogView*>(object);
    ASSERT_NE(view, nullptr);
    // No native window yet: no child may be created on it.
    EXPECT_EQ(view->GetBatteryIcon(0), nullptr);
    EXPECT_TRUE(view->Create(m_panel, wxID_ANY, wxPoint(0, 0), wxSize(300, 200)));
    for (int i = 0; i < 6; ++i) {
        ASSERT_NE(view->GetBatteryIcon(i), nullptr);
        EXPECT_EQ(view->GetBatteryIcon(i)->GetParent(), view);
        EXPECT_FALSE(view->GetBatteryIcon(i)->IsShown());
        EXPECT_EQ(view->GetBatteryIcon(i)->GetSize(), wxSize(48, 48));
        EXPECT_TRUE(view->GetBatteryIcon(i)->m_transparent);
    }
    EXPECT_EQ(view->GetBatteryIcon(0)->GetToolTipText(), "Battery level");
}

TEST_F(AnalogViewTest, ViewsAreNumberedThenNamedAfterTheirDevice)
{
    CAnalogView* first = MakeView(300, 200);
    CAnalogView* second = MakeView(300, 200);
    const int n = CAnalogView::GetViewCount();
    EXPECT_EQ(first->m_name, wxString::Format("Analog Device #%d", n - 1));
    EXPECT_EQ(second->m_name, wxString::Format("Analog Device #%d", n));
    CViewTestDevice device;
    second->SetDevice(&device);
    EXPECT_EQ(second->m_name, "test_device");
    EXPECT_EQ(second->GetTitle(), "test_device");
    device.SetRecordingName("/tmp/trial_1.qvd");
    EXPECT_EQ(second->GetTitle(), "test_device {/tmp/trial_1.qvd}");
    second->m_name.clear();
    EXPECT_EQ(second->GetTitle(), "");
}

TEST_F(AnalogViewTest, ViewAndDeviceUnlinkWhicheverGoesFirst)
{
    auto device = std::make_unique<CViewTestDevice>();
    CAnalogView* view = MakeView(300, 200);
    view->SetDevice(device.get());
    EXPECT_EQ(device->FindView(view), 0);
    view->Destroy();
    EXPECT_EQ(device->GetViewCount(), 0);
    device->Step();  // would call into a destroyed view

    CAnalogView* other = MakeView(300, 200);
    other->SetDevice(device.get());
    device.reset();
    EXPECT_EQ(other->m_device.load(), nullptr);
    const wxImage image = Render(*other);  // draws nothing, touches no device
    EXPECT_TRUE(PixelIs(image, 10, 10, 1, 2, 3));
}

TEST_F(AnalogViewTest, SetBufferTakesTheDeviceLayout)
{
    CViewTestDevice device;
    device.SetRateHz(100.0);
    CAnalogView* view = MakeView(600, 400);
    view->dsp_max_rate = 80.0;
    view->m_component = 3;
    view->SetDevice(&device);
    EXPECT_EQ(view->m_channelCount, 8);
    EXPECT_EQ(view->m_dim, 1);
    EXPECT_EQ(view->m_component, 0);
    EXPECT_DOUBLE_EQ(view->m_rate, 100.0);
    EXPECT_DOUBLE_EQ(view->dsp_max_rate, 50.0);
    EXPECT_FALSE(view->GetData().IsFrozen());
    device.Steps(10);
    CViewSnapshot snapshot;
    view->GetData().TakeSnapshot(snapshot, 0, 8, false);
    EXPECT_EQ(snapshot.frames, 10u);

    device.SetRateHz(0.0);
    view->SetBuffer();
    EXPECT_DOUBLE_EQ(view->m_rate, 25.0);

    // In parametric mode the trail spans the statistics window.
    device.SetRateHz(100.0);
    device.SetCPStat(true, 20.0);
    view->draw_type = 3;
    view->SetBuffer();
    EXPECT_DOUBLE_EQ(view->draw_time, 20.0);
    EXPECT_EQ(view->GetData().CPStat().GetWindow(), 2000);

    // A display time that would need a huge history is shortened.
    view->draw_type = 0;
    device.SetRateHz(100000.0);
    {
        CLogCapture log;
        view->SetDrawTime(1000.0);
        EXPECT_EQ(log.Warnings(), 1);
    }
    EXPECT_LT(view->draw_time, 1000.0);
}

TEST_F(AnalogViewTest, NoVisibleChannelIsReportedOnce)
{
    CViewTestDevice device;
    CAnalogView* view = MakeView(300, 200);
    view->SetDevice(&device);
    device.HideAllChannels();
    CLogCapture log;
    view->SetBuffer();
    view->SetBuffer();
    int reports = 0;
    for (const std::string& message : log.Messages())
        reports += message.find("No analog data available !") != std::string::npos;
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(view->m_channelCount, 0);
    EXPECT_FALSE(view->GetData().IsFrozen());
    view->Lock();  // the view's lock is free again
    view->Unlock();
}

TEST_F(AnalogViewTest, ResetsRebuildAndKeepTheFrozenState)
{
    CViewTestDevice device;
    CAnalogView* view = MakeView(300, 200);
    view->SetDevice(&device);
    device.Steps(5);
    view->SetDrawTime(0.0);
    view->SetDrawTime(-1.0);
    EXPECT_DOUBLE_EQ(view->draw_time, 5.0);
    view->FreezeData();
    view->SetDrawTime(10.0);
    EXPECT_DOUBLE_EQ(view->draw_time, 10.0);
    EXPECT_TRUE(view->GetData().IsFrozen());
    device.Steps(5);
    CViewSnapshot snapshot;
    view->GetData().TakeSnapshot(snapshot, 0, 8, false);
    EXPECT_EQ(snapshot.frames, 0u);
    view->ThawData();
    view->Restart();
    EXPECT_FALSE(view->GetData().IsFrozen());
    device.SetReady(false);
    CLogCapture log;
    view->ResetView();
    ASSERT_FALSE(log.Messages().empty());
    EXPECT_NE(log.Messages()[0].find("Device is not ready"), std::string::npos);
}

TEST_F(AnalogViewTest, BatteryIconFollowsTheLevel)
{
    CViewTestDevice device;
    CAnalogView* view = MakeView(400, 300);
    view->SetDevice(&device);
    view->UpdateBattery(true);
    EXPECT_EQ(ShownIcon(*view), -1);  // no battery, no icon
    device.SetBattery(true, 81);
    view->UpdateBattery(true);
    EXPECT_EQ(ShownIcon(*view), 5);
    EXPECT_EQ(view->GetBatteryIcon(5)->GetToolTipText(), "Battery 81%");
    EXPECT_EQ(view->GetBatteryIcon(5)->GetPosition(), wxPoint(400 - 48 - 8, 8));
    device.SetBattery(true, 15);
    view->UpdateBattery(false);
    EXPECT_EQ(ShownIcon(*view), 0);
    device.SetBattery(false, 15);
    view->UpdateBattery(false);
    EXPECT_EQ(ShownIcon(*view), -1);
}

TEST_F(AnalogViewTest, TransparentButtonDrawsOnlyItsPicture)
{
    CAnalogView* view = MakeView(400, 300);
    MyButton* icon = view->GetBatteryIcon(5);
    wxBitmap bitmap(48, 48, 24);
    {
        wxMemoryDC dc(bitmap);
        dc.SetBackground(wxBrush(wxColour(0, 0, 255)));
        dc.Clear();
        icon->DoPaint(dc);
    }
    const wxImage image = bitmap.ConvertToImage();
    EXPECT_TRUE(PixelIs(image, 1, 1, 0, 0, 255));     // the background shows through
    EXPECT_TRUE(PixelIs(image, 8, 24, 40, 200, 60));  // a charge cell of the full battery
    EXPECT_TRUE(PixelIs(image, 3, 24, 220, 220, 220));  // the outline
}

class AnalogViewConfigTest : public TempDirTest {};

TEST_F(AnalogViewConfigTest, SaveAndLoadThroughTheDeviceGroup)
{
    wxFrame* frame = new wxFrame(nullptr, wxID_ANY, "config");
    CViewTestDevice device;
    device.SetRateHz(100.0);
    auto* saved = new CAnalogView(frame, wxDefaultPosition, wxSize(200, 200));
    saved->SetDevice(&device);
    saved->grad_x = 4;
    saved->draw_type = 2;
    saved->SetBkColor(wxColour(10, 20, 30));
    saved->SetEllipseColor(wxColour(1, 2, 3, 255));
    wxFileConfig config("", "", Path("qv.ini").string(), "", wxCONFIG_USE_LOCAL_FILE);
    saved->SaveConfig(&config);
    saved->SaveConfig(nullptr);
    EXPECT_TRUE(config.HasEntry("/Analog/AnalogView/test_device/grad_x"));
    EXPECT_EQ(config.Read("/Analog/AnalogView/test_device/ellipse_color", ""),
              "rgba(1, 2, 3, 0.502)");
    auto* loaded = new CAnalogView(frame, wxDefaultPosition, wxSize(200, 200));
    loaded->SetDevice(&device);
    loaded->LoadConfig(&config);
    EXPECT_EQ(loaded->grad_x, 4);
    EXPECT_EQ(loaded->draw_type, 2);
    EXPECT_EQ(loaded->bk_color, CColour(10, 20, 30));
    EXPECT_EQ(loaded->ellipse_color, CColour(1, 2, 3, 128));
    EXPECT_EQ(loaded->GetBackgroundColour(), wxColour(10, 20, 30));
    EXPECT_EQ(loaded->GetBatteryIcon(2)->GetBackgroundColour(), wxColour(10, 20, 30));
    delete frame;
}

// The device's frames arrive from another thread at about 10 kHz while the
// GUI thread rebuilds and paints the view: nothing crashes, the view keeps
// its rows, and the feed never waits on painting.
TEST_F(AnalogViewTest, FeedAt10kHzWhileRebuilding)
{
    CViewTestDevice device;
    device.SetRateHz(10000.0);
    CAnalogView* view = MakeView(640, 360);
    view->SetDevice(&device);
    std::atomic<bool> stop{false};
    std::promise<void> started;
    std::thread feeder([&] {
        started.set_value();
        auto next = std::chrono::steady_clock::now();
        while (!stop.load()) {
            next += std::chrono::microseconds(100);
            std::this_thread::sleep_until(next);
            device.Step();
        }
    });
    ASSERT_EQ(started.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    for (int i = 0; i < 1000; ++i) {
        view->draw_type = i % 6;
        view->ResetBuffers();
        if (i % 50 == 0)
            Render(*view);
    }
    stop.store(true);
    feeder.join();
    device.Steps(3);
    CViewSnapshot snapshot;
    view->GetData().TakeSnapshot(snapshot, 0, 8, false);
    EXPECT_GT(snapshot.frames, 0u);
}

// A source that takes a new shape with as many visible channels as before (two of four
// shown, then two of two) refuses no row: the view still rebuilds its history, so that
// no row of the hidden fourth channel is drawn under the name of the new second one.
TEST_F(AnalogViewOscTest, ReshapedToTheSameCountDropsTheOldChannelsRows)
{
    osctest::SteppedOscDevice& device = rig.device;
    const auto deliver = [&](const std::vector<float>& values, const std::vector<double>& shown) {
        return rig.Deliver(values, shown);
    };
    ASSERT_TRUE(deliver({1.0f, 2.0f, 3.0f, 4.0f}, {1.0, 2.0, 3.0, 4.0}));
    Render(*view);
    device.SetVisibleChannels({0, 3});
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(deliver({1.0f, 2.0f, 3.0f, 40.0f}, {1.0, 40.0}));
    Render(*view);
    ASSERT_EQ(view->m_channelCount, 2);
    // Two channels now: all on, both shown, the same count of values per row.
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(deliver({1.0f, 2.0f}, {1.0, 2.0}));
    EXPECT_EQ(device.GetVisibleList(), (std::vector<int>{0, 1}));
    // Until the view is painted its history keeps the old channels' rows only, and the
    // rows it refused ask for the paint.
    EXPECT_TRUE(view->IsDirty());
    const auto secondColumn = [&] {
        CViewSnapshot snapshot;
        view->GetData().TakeSnapshot(snapshot, 0, 2, false);
        return std::vector<double>(snapshot.Channel(1), snapshot.Channel(1) + snapshot.frames);
    };
    const std::vector<double> kept = secondColumn();
    EXPECT_GE(kept.size(), 5u);
    EXPECT_EQ(std::count(kept.begin(), kept.end(), 2.0), 0);
    Render(*view);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(deliver({1.0f, 2.0f}, {1.0, 2.0}));
    const std::vector<double> shown = secondColumn();
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown, std::vector<double>(shown.size(), 2.0));
}

// A network source that grows from one channel to three: its view follows on
// its own, as the display timer repaints it, and draws three moving curves.

TEST_F(AnalogViewOscTest, GrowingToThreeChannelsIsDrawnWithoutAReset)
{
    osctest::SteppedOscDevice& device = rig.device;
    int row = 0;
    // Sends one row of sines and steps until a frame carries it.
    const auto deliver = [&](int channels) {
        std::vector<float> values;
        for (int c = 0; c < channels; ++c)
            values.push_back(static_cast<float>(80.0 * std::sin(0.3 * row + 2.0 * c)));
        ++row;
        return rig.Deliver(values, std::vector<double>(values.begin(), values.end()));
    };
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(deliver(1));
    ASSERT_TRUE(view->IsDirty());
    Render(*view);
    for (int i = 0; i < 80; ++i) {
        ASSERT_TRUE(deliver(3));
        // What the display timer does: a view that asks for it is painted.
        if (view->IsDirty())
            Render(*view);
    }
    const wxImage image = Render(*view);
    Save(image, "view_osc_grown.png");
    EXPECT_EQ(view->m_channelCount, 3);
    // Each channel's colour spans many rows of the plot: a moving curve.
    for (int c = 0; c < 3; ++c) {
        const CColour colour = device.GetChannelColour(c);
        int top = image.GetHeight(), bottom = -1;
        for (int y = 100; y < image.GetHeight() - 30; ++y)
            for (int x = 60; x < 450; ++x)
                if (PixelIs(image, x, y, colour.red, colour.green, colour.blue, 40)) {
                    top = std::min(top, y);
                    bottom = std::max(bottom, y);
                }
        EXPECT_GT(bottom - top, 60) << "channel " << c;
    }
}

// The display timer repaints a view only when its picture would change: in the modes
// that show the newest values (and in the empty one) a frame repeating them asks for
// no paint; one that changes a value does, and the time graph asks at every frame.
TEST_F(AnalogViewOscTest, OnlyAChangedPictureAsksForAPaint)
{
    struct Mode {
        int drawType;
        bool repeatAsks;
        bool changeAsks;
    };
    for (const Mode& mode : {Mode{kDrawBar, false, true}, Mode{kDrawPie, false, true},
                             Mode{kDrawParametric, false, true}, Mode{kDrawNone, false, false},
                             Mode{kDrawNormal, true, true}}) {
        SCOPED_TRACE(mode.drawType);
        view->draw_type = mode.drawType;
        // The first paint of a mode may rebuild the history: a second one shows the rows.
        for (int paint = 0; paint < 2; ++paint) {
            ASSERT_TRUE(rig.Deliver({1.0f, 2.0f}, {1.0, 2.0}));
            Render(*view);
        }
        ASSERT_TRUE(rig.Deliver({1.0f, 2.0f}, {1.0, 2.0}));
        ASSERT_TRUE(rig.Deliver({1.0f, 2.0f}, {1.0, 2.0}));
        EXPECT_EQ(view->IsDirty(), mode.repeatAsks);
        ASSERT_TRUE(rig.Deliver({1.0f, 3.0f}, {1.0, 3.0}));
        EXPECT_EQ(view->IsDirty(), mode.changeAsks);
        Render(*view);
        EXPECT_FALSE(view->IsDirty());
    }
}
