// The Flock of Birds device on a simulated flock: start-up, channels, parameters,
// and the tracker frames its acquisition thread delivers to a view.
#include "Bird/fob_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Bird/fobSimulator.h"
#include "analog/fakeSinks.h"
#include "analog/runningDevice.h"
#include "serial/lineLink.h"
#include "serial/ptyPair.h"
#include "support/logCapture.h"

namespace {

constexpr auto kTimeout = std::chrono::seconds(20);  // bounds a broken build only

struct CPrompts {
    std::vector<std::string> texts;
    std::vector<std::string> captions;
    int yields = 0;
};

// No settling waits; replies get a generous time (a starved simulator may answer a
// second late) unless the test wants a silent flock noticed sooner.
CFobStartup QuickStartup(CPrompts* prompts, uint32_t readTimeoutMs = 5000)
{
    CFobStartup startup;
    startup.flock.minReadTimeoutMs = readTimeoutMs;
    startup.flock.resetMs = 0;
    startup.flock.configureMs = 0;
    startup.flock.resetPulse = false;  // a pseudo-terminal has no modem lines
    startup.retryMs = 0;
    startup.settleMs = 0;
    if (prompts != nullptr) {
        startup.prompt = [prompts](const wxString& text, const wxString& caption) {
            prompts->texts.push_back(text.ToStdString());
            prompts->captions.push_back(caption.ToStdString());
        };
        startup.yield = [prompts] { ++prompts->yields; };
    }
    return startup;
}

// How many logged messages end with text (the log adds time and level in front).
int LogCount(const CLogCapture& log, const std::string& text)
{
    int count = 0;
    for (const std::string& message : log.Messages()) {
        if (message.size() >= text.size() &&
            message.compare(message.size() - text.size(), text.size(), text) == 0)
            ++count;
    }
    return count;
}

int CountOf(const std::string& text, const std::string& part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// A simulated flock of two birds (the first one the master) on its own line.
class FobDeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.IsOk());
        sim.AddBird(1, true);
        sim.AddBird(2, true);
        // Slower than the device reads (177 Hz), so that no backlog builds up.
        sim.streamPeriod = std::chrono::milliseconds(10);
        ASSERT_TRUE(sim.Start());
    }
    std::unique_ptr<CFobDevice> Make(uint32_t hemisphere = 1, float rangeInches = 72.0f,
                                     bool synchronised = false, uint32_t readTimeoutMs = 5000)
    {
        return std::make_unique<CFobDevice>(wxString(sim.SlaveName()), 115200, 1, hemisphere,
                                            rangeInches, synchronised, false,
                                            QuickStartup(&prompts, readTimeoutMs));
    }

    CFobSimulator sim;
    CPrompts prompts;
};

using FobDevice = FobDeviceTest;
using FobDeviceThreads = FobDeviceTest;

}  // namespace

TEST(FobDeviceStartup, EmptyPortGivesOneIdleChannelWithoutAsking)
{
    CLogCapture log;
    CPrompts prompts;
    CFobDevice device("", 115200, 1, 1, 36.0f, true, false, QuickStartup(&prompts));
    EXPECT_FALSE(device.IsReady());
    EXPECT_EQ(device.GetChannelCount(), 1);
    EXPECT_EQ(device.GetChannelDim(), 7);
    EXPECT_TRUE(device.IsTracker());
    EXPECT_TRUE(prompts.texts.empty());
    EXPECT_EQ(LogCount(log, "Error: Serial Port error !!!\n"), 1);
    EXPECT_EQ(device.GetDevicePath(), "");
    device.ReadSample();  // not ready: reads nothing
}

TEST(FobDeviceStartup, FiveFailedOpensAreLoggedOnce)
{
    CLogCapture log;
    CPrompts prompts;
    testing::internal::CaptureStdout();
    CFobDevice device("/nonexistent/fob-line", 115200, 1, 1, 36.0f, true, false,
                      QuickStartup(&prompts));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(device.IsReady());
    EXPECT_EQ(device.GetChannelCount(), 1);
    for (int attempt = 1; attempt <= 5; ++attempt)
        EXPECT_EQ(CountOf(out, "Opening Flock of Birds on /nonexistent/fob-line : " +
                                   std::to_string(attempt) + "\n"),
                  1)
            << out;
    EXPECT_EQ(CountOf(out, "Opening Flock of Birds on"), 5);
    EXPECT_EQ(LogCount(log, "Error: Unable to open Flock of Birds device on /nonexistent/fob-line: "
                            "/nonexistent/fob-line does not exist\n"),
              1);
    EXPECT_EQ(log.Messages().size(), 1u);
    ASSERT_EQ(prompts.texts.size(), 1u);
    EXPECT_EQ(prompts.texts[0], "Flock of Birds device must be in STDBY mode");
}

// A line where no unit answers: the box says so and names the device file.
TEST(FobDeviceStartup, ALineWithoutAFlockIsSaidWithItsDeviceFile)
{
    CPtyPair line;  // nobody on the far side answers
    ASSERT_TRUE(line.IsValid());
    CLogCapture log;
    CFobDevice device(wxString(line.SlaveName()), 115200, 1, 1, 36.0f, true, false,
                      QuickStartup(nullptr, 100));
    EXPECT_FALSE(device.IsReady());
    EXPECT_EQ(LogCount(log, "Error: Unable to start Flock of Birds device on " + line.SlaveName() +
                                ": no bird answered on " + line.SlaveName() + "\n"),
              1);
}

TEST_F(FobDevice, TwoBirdsAt115200MakeTwoSensorsAt100Hz)
{
    auto device = Make();
    ASSERT_TRUE(device->IsReady());
    ASSERT_EQ(prompts.texts.size(), 2u);
    EXPECT_EQ(prompts.texts[0], "Flock of Birds device must be in STDBY mode");
    EXPECT_EQ(prompts.texts[1], "Set Flock of Birds in FLY mode");
    EXPECT_EQ(prompts.captions[1], "Flock of Birds");
    EXPECT_GE(prompts.yields, 2);

    EXPECT_EQ(device->GetChannelCount(), 2);
    EXPECT_EQ(device->GetChannelName(0), "Sensor 1");
    EXPECT_EQ(device->GetChannelName(1), "Sensor 2");
    EXPECT_EQ(device->GetChannelUnit(1), "m");
    EXPECT_EQ(device->GetMaxRate(), 177.0);
    EXPECT_EQ(device->GetRate(), 100.0);
    EXPECT_EQ(device->GetDevicePath(), "fob/" + sim.SlaveName());
    EXPECT_EQ(CFobDevice::MakeDevicePath("com3"), "fob/com3");
    EXPECT_EQ(device->GetDeviceName(), "fob_device");
    EXPECT_EQ(device->GetDeviceKey(), "fob_device");
    EXPECT_EQ(device->GetConfigPath(), "/Analog/fob_device");
    EXPECT_EQ(device->GetDeviceType(), 4);
    EXPECT_EQ(device->GetMinValue(), -1.8288);
    EXPECT_EQ(device->GetMaxValue(), 1.8288);
    EXPECT_FALSE(device->CanOffset());
    EXPECT_FALSE(device->CanReset());
    EXPECT_FALSE(device->CanShowCPStat());
    // Every bird streams position and quaternion, angles flipped.
    EXPECT_TRUE(sim.ReceivedSequence({0xF2, ']', 0xF2, 'M', 0}));
    EXPECT_TRUE(sim.WaitForSequence({'P', 0x23, 1, '@'}, kTimeout));

    const wxString info = device->GetInfo();
    EXPECT_NE(info.Find("2 Tracker(s)"), wxNOT_FOUND) << info;
    EXPECT_TRUE(info.EndsWith("\n\nRange of motion : 1.83 (m)\nHemisphere : FORWARD")) << info;
}

TEST_F(FobDevice, ParametersKeepTheirLimits)
{
    auto device = Make();
    ASSERT_TRUE(device->IsReady());
    const char* keys[] = {"Device Name", "Min Value", "Max Value", "Sampling rate"};
    for (int id = 0; id < 4; ++id) {
        EXPECT_EQ(device->GetParamKey(id), keys[id]);
        EXPECT_EQ(device->GetParamLabel(id), keys[id]);
    }
    EXPECT_EQ(device->GetParamKey(4), "Channel[0].ON");
    int count = 0, type = 0;
    ASSERT_NE(device->GetParam(3, &count, &type), nullptr);
    EXPECT_EQ(type, PARAM_DOUBLE);
    EXPECT_EQ(*static_cast<double*>(device->GetParam(3, &count, &type)), 100.0);

    CLogCapture log;
    bool changed = true;
    const double rates[] = {177.0, 10.0, 178.0, 9.9};
    const double expected[] = {177.0, 10.0, 10.0, 10.0};
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(device->SetParam(&rates[i], 3, 1, PARAM_DOUBLE, &changed));
        EXPECT_FALSE(changed);
        EXPECT_EQ(device->GetRate(), expected[i]) << rates[i];
    }
    const int wrongType = 50;
    EXPECT_FALSE(device->SetParam(&wrongType, 3, 1, PARAM_INT, &changed));
    EXPECT_EQ(device->GetRate(), 10.0);

    const double same = 0.5;
    ASSERT_TRUE(device->SetParam(&same, 1, 1, PARAM_DOUBLE, &changed));
    ASSERT_TRUE(device->SetParam(&same, 2, 1, PARAM_DOUBLE, &changed));
    EXPECT_EQ(device->GetMinValue(), -1.8288);
    EXPECT_EQ(device->GetMaxValue(), 1.8288);
    const double high = 3.0;
    ASSERT_TRUE(device->SetParam(&high, 1, 1, PARAM_DOUBLE, &changed));
    EXPECT_EQ(device->GetMinValue(), 1.8288);
    EXPECT_EQ(device->GetMaxValue(), 3.0);

    const wxString name = "left hand";
    ASSERT_TRUE(device->SetParam(&name, 0, 1, PARAM_STRING, &changed));
    EXPECT_TRUE(changed);
    EXPECT_EQ(device->GetDeviceName(), "left hand");
}

TEST_F(FobDevice, InfoNamesEveryHemisphere)
{
    auto device = Make(5, 36.0f);
    ASSERT_TRUE(device->IsReady());
    EXPECT_TRUE(device->GetInfo().EndsWith("\nRange of motion : 0.91 (m)\nHemisphere : DOWN"));
    EXPECT_TRUE(sim.ReceivedSequence({0xF2, 'L', 0x0C, 0x00}));
}

TEST_F(FobDevice, CloseSendsTheFlockToSleep)
{
    auto device = Make();
    ASSERT_TRUE(device->IsReady());
    sim.ClearReceived();
    device->Close();
    EXPECT_FALSE(device->IsReady());
    EXPECT_TRUE(device->IsClosed());
    EXPECT_FALSE(device->GetFlock().IsOpen());
    EXPECT_TRUE(sim.WaitForSequence({0xF1, 'B', 'G'}, std::chrono::seconds(10)));
}

namespace {

// Each bird's frame values as the simulator streams them, range 72 inches.
std::vector<double> ExpectedPose(uint32_t address)
{
    const std::vector<int16_t> words = CFobSimulator::StreamWords(address);
    std::vector<double> pose;
    for (int k = 0; k < 3; ++k)
        pose.push_back(static_cast<float>(words[k]) * (72.0f * (1.0f / 32768.0f) * 0.0254f));
    for (int k = 3; k < 7; ++k) pose.push_back(static_cast<float>(words[k]) * (1.0f / 32768.0f));
    return pose;
}

bool FrameHasBothBirds(const CFrame& frame)
{
    if (frame.values.size() != 14) return false;
    const std::vector<double> one = ExpectedPose(1), two = ExpectedPose(2);
    for (int k = 0; k < 7; ++k) {
        if (std::fabs(frame.values[k] - one[k]) > 1e-6) return false;
        if (std::fabs(frame.values[7 + k] - two[k]) > 1e-6) return false;
    }
    return true;
}

// Waits for the first frame with both birds' values: the view's frame count with it,
// -1 when none came in time.
int FramesUntilBothBirds(CFakeView& view)
{
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const int seen = FramesOf(view);
        if (!view.WaitFrames(seen + 1, kTimeout)) return -1;
        std::lock_guard<std::mutex> lock(view.mutex);
        if (FrameHasBothBirds(view.frames.back())) return view.frameCount;
    }
    return -1;
}

}  // namespace

// A synchronised device on its acquisition thread: once both birds' values came, ten
// more frames hold them, one per tick of the group.
TEST_F(FobDeviceThreads, SynchronisedDeviceFramesFollowTheGroupTick)
{
    auto device = Make(1, 72.0f, true);
    ASSERT_TRUE(device->IsReady());
    CRunningDevice run(*device);
    ASSERT_TRUE(run.Start());
    CFakeView& view = run.view;
    const int heard = FramesUntilBothBirds(view);
    ASSERT_GT(heard, 0);
    ASSERT_TRUE(view.WaitFrames(heard + 10, kTimeout));
    device->Close();
    std::lock_guard<std::mutex> lock(view.mutex);
    for (size_t i = static_cast<size_t>(heard); i < view.frames.size(); ++i) {
        const CFrame& frame = view.frames[i];
        ASSERT_TRUE(FrameHasBothBirds(frame)) << "frame " << i;
        EXPECT_EQ(frame.sample, view.frames[i - 1].sample + 1);
        EXPECT_DOUBLE_EQ(frame.timeSec, frame.sample / 100.0);
    }
}

// A flock whose replies may take long (a long read time-out) still gives its frames
// at the rate while it says nothing: the device never waits out a silent line.
TEST_F(FobDeviceThreads, SilentFlockNeverHoldsTheFrames)
{
    auto device = Make(1, 72.0f, false, 10000);
    ASSERT_TRUE(device->IsReady());
    CRunningDevice run(*device);
    ASSERT_TRUE(run.Start());
    CFakeView& view = run.view;
    ASSERT_TRUE(view.WaitFrames(5, kTimeout));
    sim.SetStreaming(false);
    const int before = FramesOf(view);
    // 50 frames are half a second of frames; a wait of a read time-out per step would
    // take minutes for them, far past the bound.
    ASSERT_TRUE(view.WaitFrames(before + 50, kTimeout));
    device->Close();
    std::lock_guard<std::mutex> lock(view.mutex);
    for (size_t i = 1; i < view.frames.size(); ++i)
        ASSERT_EQ(view.frames[i].sample, view.frames[i - 1].sample + 1) << i;
}

// A pulled cable is said once with the frame where it began; the line is opened again
// and told to stream when it is back, and that is said with its frame.
TEST(FobDeviceLineThreads, PulledCableIsSaidOnceAndTheLineComesBack)
{
    auto first = std::make_unique<CFobSimulator>();
    ASSERT_TRUE(first->IsOk());
    first->AddBird(1, true);
    first->AddBird(2, true);
    first->streamPeriod = std::chrono::milliseconds(5);
    ASSERT_TRUE(first->Start());
    CLineLink link;
    ASSERT_TRUE(link.PointAt(first->SlaveName()));
    CFobDevice device(wxString(link.Path()), 115200, 1, 1, 72.0f, false, false,
                      QuickStartup(nullptr));
    ASSERT_TRUE(device.IsReady());
    device.SetReopenInterval(std::chrono::milliseconds(100));
    g_messages.Drain();
    CMessageLog messages;
    CRunningDevice run(device);
    ASSERT_TRUE(run.Start());
    CFakeView& view = run.view;
    ASSERT_TRUE(view.WaitFrames(5, kTimeout));
    first->HangUp();
    ASSERT_TRUE(messages.WaitFor("does not answer from frame", kTimeout));
    EXPECT_TRUE(device.IsLineLost());
    const int goneAt = FramesOf(view);
    ASSERT_TRUE(view.WaitFrames(goneAt + 10, kTimeout));  // the frames go on meanwhile

    CFobSimulator second;
    ASSERT_TRUE(second.IsOk());
    second.AddBird(1, true);
    second.AddBird(2, true);
    second.streamPeriod = std::chrono::milliseconds(5);
    ASSERT_TRUE(second.Start());
    ASSERT_TRUE(link.PointAt(second.SlaveName()));
    ASSERT_TRUE(messages.WaitFor("answers again at frame", kTimeout));
    EXPECT_TRUE(second.WaitForSequence({'P', 0x23, 1, '@'}, kTimeout));
    EXPECT_FALSE(device.IsLineLost());
    ASSERT_TRUE(view.WaitFrames(FramesOf(view) + 5, kTimeout));
    device.Close();
    second.Stop();
    messages.Take();
    EXPECT_EQ(messages.Count("does not answer"), 1);
    EXPECT_EQ(messages.Count("answers again"), 1);
    const std::string lost = messages.Find("does not answer");
    EXPECT_EQ(lost.rfind("<FOB> fob_device: " + link.Path(), 0), 0u) << lost;
    EXPECT_EQ(lost.back(), '\n');
    EXPECT_EQ(messages.Count("line lost 1 times"), 1);
    EXPECT_EQ(device.GetLineLosses(), 1);
    std::lock_guard<std::mutex> lock(view.mutex);
    for (size_t i = 1; i < view.frames.size(); ++i) {
        ASSERT_EQ(view.frames[i].sample, view.frames[i - 1].sample + 1) << i;
        EXPECT_DOUBLE_EQ(view.frames[i].timeSec, view.frames[i].sample / 100.0);
    }
}

// The frame number that follows before in text, or -1.
long long FrameAfter(const std::string& text, const std::string& before)
{
    const size_t at = text.find(before);
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + before.size());
}

// A flock that falls silent is declared lost some read time-outs later: the message
// names the first frame that holds the last record's values. Its port is still there,
// so the stream is asked for again at once (not a reopen interval later), and the
// return names the frames that held the values.
TEST(FobDeviceLineThreads, SilentFlockNamesTheFirstFrozenFrame)
{
    CFobSimulator sim;
    ASSERT_TRUE(sim.IsOk());
    sim.AddBird(1, true);
    sim.sequenceWords = true;  // every record moves the bird
    sim.streamPeriod = std::chrono::milliseconds(4);
    ASSERT_TRUE(sim.Start());
    // Replies must come within the short time-out during the set-up too: on a starved
    // machine the set-up is tried again, as a user would, until one is done.
    std::unique_ptr<CFobDevice> made;
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (!(made && made->IsReady()) && std::chrono::steady_clock::now() < deadline) {
        made.reset();
        made = std::make_unique<CFobDevice>(wxString(sim.SlaveName()), 115200, 1, 1, 72.0f,
                                            false, false, QuickStartup(nullptr, 100));
    }
    CFobDevice& device = *made;
    ASSERT_TRUE(device.IsReady());
    device.SetReopenInterval(std::chrono::seconds(60));  // beyond the test's bounds
    g_messages.Drain();
    CMessageLog messages;
    {
        CRunningDevice run(device);
        ASSERT_TRUE(run.Start());
        CFakeView& view = run.view;
        ASSERT_TRUE(view.WaitFrames(20, kTimeout));
        // Records taken and in the frames.
        const auto until = std::chrono::steady_clock::now() + kTimeout;
        while (device.GetFlock().get_routed_records() < 3 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(view.WaitFrames(FramesOf(view) + 2, kTimeout));
        // The first silence said from here on, and its end. A starved machine may have made
        // a silence before (a stream begun late, a held simulator), whose stream command can
        // come after the stop and start the stream again: it is stopped until one is said.
        std::string lost, returned;
        messages.Take();
        messages.texts.clear();
        auto stoppedAt = std::chrono::steady_clock::time_point();
        while (returned.empty() && std::chrono::steady_clock::now() < until) {
            if (lost.empty() && std::chrono::steady_clock::now() - stoppedAt > std::chrono::seconds(2)) {
                sim.SetStreaming(false);
                stoppedAt = std::chrono::steady_clock::now();
            }
            messages.WaitFor("answers again at frame", std::chrono::milliseconds(50));
            for (const std::string& text : messages.texts) {
                if (text.find("does not answer from frame") != std::string::npos) lost = text;
                if (!lost.empty() && text.find("answers again at frame") != std::string::npos) {
                    returned = text;
                    break;
                }
            }
        }
        ASSERT_FALSE(returned.empty());
        ASSERT_TRUE(view.WaitFrames(FramesOf(view) + 5, kTimeout));
        device.Close();
        sim.Stop();
        const long long back = FrameAfter(returned, "again at frame ");
        std::lock_guard<std::mutex> lock(view.mutex);
        ASSERT_GT(back, 1);
        ASSERT_LT(back, static_cast<long long>(view.frames.size()));
        const auto& frames = view.frames;
        const size_t at = static_cast<size_t>(back);
        ASSERT_EQ(frames[at].sample, at);
        EXPECT_NE(frames[at].values[0], frames[at - 1].values[0]);  // new records again
        // The run of frames before it that hold one value: its first frame is the last
        // one with a new record.
        size_t fresh = at - 1;
        while (fresh > 0 && frames[fresh - 1].values[0] == frames[at - 1].values[0]) --fresh;
        const long long frozen = frames[fresh + 1].sample;
        EXPECT_EQ(FrameAfter(lost, "from frame "), frozen) << lost;
        EXPECT_EQ(FrameAfter(returned, "; frames "), frozen) << returned;
    }
}
