#include <gtest/gtest.h>
#include <wx/log.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>
#include <algorithm>

#include "analog/analogReader.h"
#include "analog/testDevice.h"
#include "process/clock.h"
#include "process/trackerWorker.h"
#include "process/messageQueue.h"
#include "support/tempDir.h"
#include "video/VideoDevice.h"
#include "video/videoFakes.h"
#include "video/videoFinisher.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 20s;  // bounds a broken build only

class VideoDeviceThreads : public TempDirTest {
protected:
    // Starts the device's acquisition thread (it starts the device itself).
    static void Run(CVideoDevice& device)
    {
        ASSERT_TRUE(device.Create(false));
        ASSERT_TRUE(device.RunThread());
    }
    // Waits for a state the acquisition thread reaches, by way of the frames it hands over.
    template <typename Predicate>
    static bool WaitFor(CRecordingViewSink& view, Predicate done)
    {
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        for (int frames = view.Frames() + 1; std::chrono::steady_clock::now() < deadline;
             ++frames) {
            if (done()) return true;
            if (!view.WaitForFrames(frames, kTimeout)) return done();
        }
        return done();
    }
    wxLogNull m_quiet;
};

// Runs call on another thread; true when it returned within the time a GUI may wait.
// Whether the call returns while the camera hangs (a first video loads codecs for seconds under
// load). A call that is held up is freed by letting the camera give up, so the test ends.
template <typename Call>
bool ReturnsPromptly(SyntheticCamera& camera, Call call)
{
    auto done = std::async(std::launch::async, call);
    if (done.wait_for(kTimeout) == std::future_status::ready) return true;
    camera.Unblock();
    return false;
}

}  // namespace

TEST_F(VideoDeviceThreads, GrabsAtTheCameraRateAndMeasuresIt)
{
    auto camera = std::make_shared<SyntheticCamera>();
    camera->width = 64;
    camera->height = 48;
    camera->reportedFps = 100.0;
    CCameraFactoryScope scope(SyntheticCameras(camera, 1));
    CVideoDevice device(0, 64, 48, 100, false);
    ASSERT_TRUE(device.IsCameraOpened());
    CRecordingViewSink view;
    device.SetVideoView(&view);
    Run(device);
    // A source that never makes a grab wait is grabbed as fast as a camera behind on its
    // frames for 400 grabs (a busy machine holding a grab up starts no new run), then at
    // its stated rate, which is its rate: the catch-up's grabs are none.
    ASSERT_TRUE(WaitFor(view, [&] { return view.Frames() >= 450; }));
    EXPECT_TRUE(device.IsFrameRateKnown());
    EXPECT_FLOAT_EQ(device.GetCameraFps(), 100.0f);
    device.Close();
    EXPECT_TRUE(device.IsClosed());
}

// Not in the threading suite: the FFMPEG library's own threads are not instrumented, and
// the thread checker reports its buffer hand-overs as races.
using VideoDeviceFile = VideoDeviceThreads;

TEST_F(VideoDeviceFile, CaptureFromAVideoFileReadsBackFrameForFrame)
{
    // The camera is a real OpenCV capture on a file: 150 frames at 50 frames/s. The
    // rate is known after 100 of them; the rest are recorded until the file ends.
    const std::string source = Path("camera.mov").string();
    ASSERT_TRUE(WriteTestVideo(source, 150, 176, 144, 50.0));
    CCameraFactoryScope scope([source](int index) -> std::unique_ptr<CFrameSource> {
        if (index == 0) return std::make_unique<COpenCvFrameSource>(source);
        return std::make_unique<COpenCvFrameSource>(source + ".none");
    });
    EXPECT_EQ(CVideoDevice::GetCameraCount(), 1);
    CVideoDevice device(0, 640, 480, 30, false);
    ASSERT_TRUE(device.IsCameraOpened());
    EXPECT_EQ(device.GetImageWidth(), 176);  // the size the source has, not the request
    EXPECT_DOUBLE_EQ(device.GetRate(), 50.0);
    CRecordingViewSink view;
    device.SetVideoView(&view);
    CStopRequestOwner owner;
    device.SetParentWindow(&owner);
    Run(device);
    ASSERT_TRUE(WaitFor(view, [&] { return device.IsFrameRateKnown(); }));
    ASSERT_TRUE(device.SetupWriter(Dir().string(), "file", 7, false, "", false, 0, 0));
    ASSERT_TRUE(device.StartRecording());
    ASSERT_TRUE(WaitFor(view, [&] { return view.Frames() >= 150; }));
    // The file has ended: grabs fail from here, and the recording holds what came.
    device.FinishRecording();
    const int64_t recorded = device.GetRecordedFrames();
    const wxString name = device.GetWriterFileName();
    EXPECT_EQ(name, wxString(Path("file_cam_1_0007.mov").string()));
    device.StopRecording();
    device.Close();
    EXPECT_GT(recorded, 0);
    const VideoFacts facts = ReadTestVideo(name.ToStdString());
    EXPECT_EQ(facts.frames, recorded);
    EXPECT_EQ(facts.width, 176);
    EXPECT_EQ(facts.height, 144);
    EXPECT_EQ(owner.Requests(), 0);
}

TEST_F(VideoDeviceThreads, HangingCameraHoldsUpNoCallOfTheGuiThread)
{
    auto camera = std::make_shared<SyntheticCamera>();
    camera->reportedFps = 200.0;
    camera->hangAfter = 20;
    CCameraFactoryScope scope(SyntheticCameras(camera, 1));
    CVideoDevice device(0, 320, 240, 200, false);
    ASSERT_TRUE(device.IsCameraOpened());
    CRecordingViewSink view;
    device.SetVideoView(&view);
    Run(device);
    ASSERT_TRUE(camera->WaitUntilHanging(kTimeout));
    EXPECT_EQ(view.Frames(), 20);
    // The grab is stuck inside the camera; the GUI thread's calls still return.
    EXPECT_TRUE(ReturnsPromptly(*camera, [&] { return device.GetInfo(); }));
    EXPECT_TRUE(ReturnsPromptly(*camera, [&] {
        return device.SetupWriter(Dir().string(), "h", 1, false, "", false, 0, 0);
    }));
    EXPECT_TRUE(ReturnsPromptly(*camera, [&] { return device.StopRecording(); }));
    EXPECT_TRUE(ReturnsPromptly(*camera, [&] { device.SetVideoView(nullptr); }));
    EXPECT_TRUE(ReturnsPromptly(*camera, [&] { device.CloseCamera(); }));
    EXPECT_FALSE(device.IsCameraOpened());
    EXPECT_TRUE(CVideoDevice::IsCameraAvailable(0));
    // The camera gives up at last: the thread releases it and ends.
    camera->Unblock();
    device.Close();
    EXPECT_TRUE(device.IsClosed());
    EXPECT_EQ(view.Frames(), 20);
}

TEST_F(VideoDeviceThreads, CameraThatStopsDeliveringIsReportedOnce)
{
    auto camera = std::make_shared<SyntheticCamera>();
    camera->reportedFps = 200.0;
    camera->failAfter = 10;
    CCameraFactoryScope scope(SyntheticCameras(camera, 1));
    CVideoDevice device(0, 320, 240, 200, false);
    ASSERT_TRUE(device.IsCameraOpened());
    g_messages.Drain();
    Run(device);
    int stalls = 0;
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (stalls == 0 && std::chrono::steady_clock::now() < deadline &&
           g_messages.WaitForMessage(kTimeout)) {
        for (const auto& message : g_messages.Drain())
            stalls += message.text.find("Camera #1: no image from the camera") != std::string::npos;
    }
    EXPECT_EQ(stalls, 1);
    EXPECT_TRUE(device.IsStalled());
    EXPECT_GT(device.GetMissedGrabs(), 0);
    EXPECT_TRUE(device.IsRunning());  // it keeps trying
    device.Close();
    EXPECT_TRUE(device.IsClosed());
    for (const auto& message : g_messages.Drain())  // said once, not once per grab
        EXPECT_EQ(message.text.find("no image from the camera"), std::string::npos);
}

namespace {

// The test device at 1000 Hz in the synchronised group, noting when the group tick of
// each frame it records was due.
class CDueAnalogDevice : public CTestDevice {
public:
    CDueAnalogDevice() : CTestDevice(true, false)
    {
        m_rate = 1000.0;
        m_due.reserve(20000);
    }
    void DispatchFrame() override
    {
        if (IsRecording() && m_due.size() < m_due.capacity())
            m_due.push_back(GetWorker()->GetLastFireDueUs());
        CTestDevice::DispatchFrame();
    }
    // Read after the device's thread has ended.
    const std::vector<double>& Due() const { return m_due; }

private:
    std::vector<double> m_due;
};

}  // namespace

// The camera stops delivering for 2 s in the middle of a trial: the analog device beside
// it, synchronised as the shell opens it, records every one of its samples, and the video
// keeps the trial's time with the last image repeated through the hang.
TEST_F(VideoDeviceFile, HangingGrabCostsASynchronisedAnalogDeviceNoSample)
{
    auto camera = std::make_shared<SyntheticCamera>();
    camera->deliverFps = 30.0;
    CCameraFactoryScope scope(SyntheticCameras(camera, 1));
    CVideoDevice video(0, 320, 240, 30, true);
    ASSERT_TRUE(video.IsCameraOpened());
    CRecordingViewSink view;
    video.SetVideoView(&view);
    CDueAnalogDevice analog;
    for (CAnalogDevice* device : {static_cast<CAnalogDevice*>(&video), static_cast<CAnalogDevice*>(&analog)}) {
        ASSERT_TRUE(device->Create(true));
        ASSERT_TRUE(device->RunThread());
    }
    ASSERT_TRUE(WaitFor(view, [&] { return video.IsFrameRateKnown(); }));
    ASSERT_TRUE(analog.SetupWriter(Dir().string(), "sync", 1, false, "", true, 4096, 0));
    ASSERT_TRUE(video.SetupWriter(Dir().string(), "sync", 1, false, "", false, 0, 0));
    const wxString analogFile = analog.GetWriterFileName();
    const wxString videoFile = video.GetWriterFileName();
    ASSERT_TRUE(analog.StartRecording());
    ASSERT_TRUE(video.StartRecording());
    const double startUs = GetProgramTime();
    // A third of a second of frames, a hang of 1 s, then a third of a second more.
    constexpr double kHangSec = 1.0;
    constexpr int kAround = 10;
    camera->pauseUs = kHangSec * 1.0e6;
    camera->pauseAfter = camera->delivered.load() + kAround;
    const int resumed = camera->pauseAfter.load() + kAround;
    ASSERT_TRUE(WaitFor(view, [&] { return camera->delivered.load() >= resumed; }));
    // The video ends when its finish is asked; closing it (a flush to a busy disk) may take long.
    const double shortestSec = (GetProgramTime() - startUs) / 1.0e6;
    video.FinishRecording();
    const double longestSec = (GetProgramTime() - startUs) / 1.0e6;
    analog.FinishRecording();
    const int64_t videoFrames = video.GetRecordedFrames();
    const int64_t missing = video.GetMissingFrames();
    const int64_t dropped = video.GetDroppedFrames();
    const double videoSec = video.GetRecordTime();
    video.StopRecording();
    analog.StopRecording();
    video.Close();
    analog.Close();
    video.SetVideoView(nullptr);
    CVideoFinisher::Instance().Wait();  // a late last frame may leave the video's end to it

    // Every tick of the analog device is in its file, one millisecond after the other.
    const std::vector<double>& due = analog.Due();
    ASSERT_GT(due.size(), static_cast<size_t>(kHangSec * 1000.0));  // through the hang
    // One millisecond after the other, but where the machine held the analog thread back
    // past its lag limit and it restarted its schedule (said, counted): the camera's
    // hang is no cause of that.
    const int64_t restarts = analog.GetReanchorCount();
    int64_t gaps = 0;
    double skippedUs = 0.0;
    for (size_t i = 1; i < due.size(); ++i) {
        const double stepUs = due[i] - due[i - 1];
        if (stepUs > 1001.0 && gaps < restarts) {
            ++gaps;
            skippedUs += stepUs - 1000.0;
            continue;
        }
        EXPECT_NEAR(stepUs, 1000.0, 1.0) << i;
    }
    // None left out: as many ticks as milliseconds from the first to the last (a loaded
    // machine may have the thread catch up on ticks due before the trial's start).
    EXPECT_NEAR(static_cast<double>(due.size()),
                (due.back() - due.front() - skippedUs) / 1000.0 + 1.0, 1.0);
    CAnalogReader reader;
    ASSERT_TRUE(reader.Open(analogFile));
    EXPECT_NEAR(static_cast<double>(reader.GetFrameCount()), static_cast<double>(due.size()), 1.0);
    // The video lasts as long as the trial, the hang filled with the image before it.
    EXPECT_GE(videoSec, shortestSec - 0.1);
    EXPECT_LE(videoSec, longestSec + 0.1);
    const VideoFacts facts = ReadTestVideo(videoFile.ToStdString());
    ASSERT_GT(facts.fps, 0.0);
    // At least the slots of the hang at the file's rate, less the two at its ends that
    // the frames before and after it may hold; a loaded machine may add frames the
    // camera was late with, each of them a repeat below like those of the hang.
    EXPECT_GE(missing, static_cast<int64_t>(kHangSec * facts.fps) - 2) << facts.fps;
    // The frames before and after the hang, but for those that came faster than the
    // video's slots and gave their place to the next, and the last one the camera gave,
    // which may come after the stop.
    EXPECT_LE(missing, videoFrames - 2 * kAround + 1 + dropped);
    ASSERT_EQ(facts.frames, videoFrames);
    ASSERT_EQ(facts.numbers.size(), static_cast<size_t>(videoFrames));
    int repeats = 0;
    int64_t skipped = 0;
    for (size_t i = 1; i < facts.numbers.size(); ++i) {
        const int step = facts.numbers[i] - facts.numbers[i - 1];
        EXPECT_GE(step, 0) << i;
        repeats += step == 0 ? 1 : 0;
        skipped += std::max(0, step - 1);
    }
    EXPECT_EQ(repeats, missing);
    EXPECT_LE(skipped, dropped);
}
