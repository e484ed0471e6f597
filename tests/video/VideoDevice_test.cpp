#include "video/VideoDevice.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <wx/filefn.h>
#include <wx/log.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "process/messageQueue.h"
#include "support/refusingDisk.h"
#include "support/tempDir.h"
#include "video/videoFakes.h"
#include "video/videoFinisher.h"

namespace {

using namespace std::chrono_literals;

constexpr double kFrame30Us = 1.0e6 / 30.0;

// Runs the device's frames by hand on the device's own test clock.
class VideoDeviceTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        m_camera = std::make_shared<SyntheticCamera>();
    }
    std::unique_ptr<CClockedVideoDevice> Open(int index = 0, int cameras = 1, int fps = 25)
    {
        m_scope.reset();  // the old scope would restore the default after the new one
        m_scope = std::make_unique<CCameraFactoryScope>(SyntheticCameras(m_camera, cameras));
        return std::make_unique<CClockedVideoDevice>(index, 1000, 1000, fps, false);
    }
    // Grabs count frames, one every stepUs, from startUs on; returns the next time.
    static double Grab(CClockedVideoDevice& device, int count, double startUs, double stepUs)
    {
        for (int i = 0; i < count; ++i) device.GrabAt(startUs + i * stepUs);
        return startUs + count * stepUs;
    }
    // Opens a camera and measures its rate (30 frames/s) so that it can record.
    std::unique_ptr<CClockedVideoDevice> OpenMeasured(double* nextUs)
    {
        auto device = Open();
        device->Start();
        *nextUs = Grab(*device, 60, 0.0, kFrame30Us);
        EXPECT_TRUE(device->IsFrameRateKnown());
        return device;
    }

    // Starts recording half a frame period (stepUs) before the next grab, as a start
    // between two frames of the camera comes.
    static bool StartBeforeNextGrab(CClockedVideoDevice& device, double stepUs = kFrame30Us)
    {
        device.SetClockUs(device.ClockUs() + stepUs / 2.0);
        return device.StartRecording();
    }

    std::shared_ptr<SyntheticCamera> m_camera;
    std::unique_ptr<CCameraFactoryScope> m_scope;
    wxLogNull m_quiet;  // the error paths log on purpose
};

}  // namespace

// ---------------------------------------------------------------- cameras of the process

TEST_F(VideoDeviceTest, ProbeCountsCamerasUpToTheFirstThatDoesNotOpen)
{
    CCameraFactoryScope scope(SyntheticCameras(m_camera, 3));
    EXPECT_EQ(CVideoDevice::GetCameraCount(), 3);
    EXPECT_EQ(CVideoDevice::FindFreeCamera(), 0);
    EXPECT_TRUE(CVideoDevice::IsCameraAvailable(2));
    EXPECT_FALSE(CVideoDevice::IsCameraAvailable(3));
    EXPECT_FALSE(CVideoDevice::IsCameraAvailable(-1));
    {
        CVideoDevice first(0, 640, 480, 30, false);
        ASSERT_TRUE(first.IsCameraOpened());
        EXPECT_FALSE(CVideoDevice::IsCameraAvailable(0));
        EXPECT_EQ(CVideoDevice::FindFreeCamera(), 1);
        CVideoDevice again(0, 640, 480, 30, false);  // in use
        EXPECT_FALSE(again.IsCameraOpened());
        EXPECT_FALSE(again.IsReady());
        EXPECT_FALSE(again.GetOpenError().empty());
    }
    EXPECT_TRUE(CVideoDevice::IsCameraAvailable(0));  // freed with its device
}

TEST_F(VideoDeviceTest, EveryIndexOpeningMeansNoCamera)
{
    CCameraFactoryScope scope(SyntheticCameras(m_camera, CVideoDevice::kMaxCameras + 1));
    EXPECT_EQ(CVideoDevice::GetCameraCount(), 0);
    EXPECT_EQ(CVideoDevice::FindFreeCamera(), -1);
    CVideoDevice device(0, 640, 480, 30, false);
    EXPECT_FALSE(device.IsCameraOpened());
}

TEST_F(VideoDeviceTest, ProbesOnceUntilAskedAgain)
{
    auto probes = std::make_shared<std::atomic<int>>(0);
    CCameraFactoryScope scope([this, probes](int index) -> std::unique_ptr<CFrameSource> {
        probes->fetch_add(1);
        auto closed = std::make_shared<SyntheticCamera>();
        closed->opens = false;
        return std::make_unique<CSyntheticSource>(index < 2 ? m_camera : closed);
    });
    EXPECT_EQ(CVideoDevice::GetCameraCount(), 2);
    EXPECT_EQ(CVideoDevice::GetCameraCount(), 2);
    EXPECT_EQ(probes->load(), 3);
    CVideoDevice::ResetCameraProbe();
    EXPECT_EQ(CVideoDevice::GetCameraCount(), 2);
    EXPECT_EQ(probes->load(), 6);
}

// ---------------------------------------------------------------- opening

TEST_F(VideoDeviceTest, OpensWithNamesSettingsAndTheSizeReadBack)
{
    m_camera->width = 640;
    m_camera->height = 480;
    auto device = Open(1, 2, 60);
    ASSERT_TRUE(device->IsCameraOpened());
    EXPECT_TRUE(device->IsReady());
    EXPECT_TRUE(device->GetOpenError().empty());
    EXPECT_EQ(device->GetDeviceName(), "Camera #2");
    EXPECT_EQ(device->GetDisplayName(), "Camera #2");
    EXPECT_EQ(device->GetDeviceKey(), "Video input");
    EXPECT_EQ(device->GetDevicePath(), "Video input #2");
    EXPECT_EQ(device->GetConfigPath(), "/Video/Camera");
    EXPECT_EQ(device->GetDeviceType(), 9);
    EXPECT_EQ(device->GetCameraIndex(), 1);
    EXPECT_EQ(device->GetInfo(), "Camera #2\n640x480");
    EXPECT_EQ(device->GetImageWidth(), 640);
    EXPECT_EQ(device->GetImageHeight(), 480);
    EXPECT_DOUBLE_EQ(device->GetRate(), 30.0);       // what the camera reports
    EXPECT_FLOAT_EQ(device->GetCameraFps(), 60.0f);  // requested, until measured
    EXPECT_FALSE(device->IsFrameRateKnown());
    EXPECT_EQ(device->GetChannelCount(), 0);
    // MJPG first, then rate and size, as the drivers expect them.
    ASSERT_EQ(m_camera->sets.size(), 4u);
    EXPECT_EQ(m_camera->sets[0], std::make_pair(int(cv::CAP_PROP_FOURCC), 1196444237.0));
    EXPECT_EQ(m_camera->sets[1], std::make_pair(int(cv::CAP_PROP_FPS), 60.0));
    EXPECT_EQ(m_camera->sets[2], std::make_pair(int(cv::CAP_PROP_FRAME_WIDTH), 1000.0));
    EXPECT_EQ(m_camera->sets[3], std::make_pair(int(cv::CAP_PROP_FRAME_HEIGHT), 1000.0));
    device->CloseCamera();
    EXPECT_FALSE(device->IsReady());
    EXPECT_EQ(device->GetInfo(), "");
    EXPECT_EQ(device->GetImageWidth(), 0);
    EXPECT_TRUE(CVideoDevice::IsCameraAvailable(1));
}

TEST_F(VideoDeviceTest, CameraThatFailsToOpenLeavesAnUnreadyDevice)
{
    // Seen by the probe, gone when the device opens it.
    auto opens = std::make_shared<std::atomic<int>>(0);
    CCameraFactoryScope scope([this, opens](int index) -> std::unique_ptr<CFrameSource> {
        auto camera = std::make_shared<SyntheticCamera>();
        camera->opens = index == 0 && opens->fetch_add(1) == 0;
        return std::make_unique<CSyntheticSource>(camera);
    });
    auto device = std::make_unique<CVideoDevice>(0, 640, 480, 30, false);
    EXPECT_FALSE(device->IsCameraOpened());
    EXPECT_FALSE(device->IsReady());
    EXPECT_NE(device->GetOpenError().Find("could not be opened"), wxNOT_FOUND);
    EXPECT_EQ(device->GetInfo(), "");
    EXPECT_FALSE(device->SetupWriter(Dir().string(), "s01", 1, false, "", false, 0, 0));
    EXPECT_FALSE(device->StartRecording());
    EXPECT_TRUE(CVideoDevice::IsCameraAvailable(0));  // not booked by a failed open
    // Its thread runs and closes without a camera.
    ASSERT_TRUE(device->Create(false));
    ASSERT_TRUE(device->RunThread());
    device->Close();
    EXPECT_TRUE(device->IsClosed());
}

TEST_F(VideoDeviceTest, RealCaptureOnMissingSourcesDoesNotOpen)
{
    COpenCvFrameSource missingFile(Path("none.mov").string());
    EXPECT_FALSE(missingFile.IsOpened());
    EXPECT_FALSE(missingFile.Grab());
    cv::Mat image;
    EXPECT_FALSE(missingFile.Retrieve(image));
    EXPECT_DOUBLE_EQ(missingFile.Get(cv::CAP_PROP_FPS), 0.0);
    // A camera index far past any real one, through OpenCV itself.
    COpenCvFrameSource noCamera(CVideoDevice::kMaxCameras + 90);
    EXPECT_FALSE(noCamera.IsOpened());
    // The real probe, on whatever cameras this machine has: past them nothing opens.
    CVideoDevice::ResetCameraProbe();
    const int count = CVideoDevice::GetCameraCount();
    EXPECT_GE(count, 0);
    CVideoDevice past(count, 640, 480, 30, false);
    EXPECT_FALSE(past.IsCameraOpened());
    EXPECT_FALSE(past.IsReady());
    CVideoDevice::ResetCameraProbe();
}

TEST_F(VideoDeviceTest, OpenCvVersionText)
{
    EXPECT_EQ(GetOpenCVVersion(), wxString::Format("OpenCV\t%d.%d.%d\n", CV_VERSION_MAJOR,
                                                   CV_VERSION_MINOR, CV_VERSION_REVISION));
}

// ---------------------------------------------------------------- frames

TEST_F(VideoDeviceTest, MeasuresTheRateOverTwoSecondsOfFrames)
{
    auto device = Open();
    device->Start();
    double next = Grab(*device, 59, 0.0, kFrame30Us);
    EXPECT_FALSE(device->IsFrameRateKnown());
    EXPECT_FLOAT_EQ(device->GetCameraFps(), 25.0f);
    next = Grab(*device, 1, next, kFrame30Us);
    ASSERT_TRUE(device->IsFrameRateKnown());
    // 60 frames span 59 intervals: the rate is the camera's, not 60/59 of it.
    EXPECT_NEAR(device->GetCameraFps(), 30.0f, 0.001f);
    EXPECT_NEAR(device->GetSampleTime(), 59.0 / 30.0, 1e-9);
    // Measured again in every window: the camera slows down to 20 frames/s.
    Grab(*device, 60, next, 1.0e6 / 20.0);
    EXPECT_NEAR(device->GetCameraFps(), 20.0f, 0.001f);
}

TEST_F(VideoDeviceTest, PauseOfTheDeviceDoesNotCountInTheRate)
{
    auto device = Open();
    Grab(*device, 30, 0.0, kFrame30Us);  // half a window
    device->Process(false, false);       // the acquisition thread's pass while stopped
    Grab(*device, 60, 10.0e6, kFrame30Us);
    ASSERT_TRUE(device->IsFrameRateKnown());
    EXPECT_NEAR(device->GetCameraFps(), 30.0f, 0.001f);
}

TEST_F(VideoDeviceTest, CameraWithoutReportedRateIsMeasuredOverTheRequestedOne)
{
    m_camera->reportedFps = 0.0;
    auto device = Open(0, 1, 20);
    ASSERT_TRUE(device->IsCameraOpened());
    EXPECT_DOUBLE_EQ(device->GetRate(), 20.0);  // paced at the requested rate
    device->Start();
    Grab(*device, 39, 0.0, 1.0e6 / 24.0);
    EXPECT_FALSE(device->IsFrameRateKnown());
    EXPECT_FLOAT_EQ(device->GetCameraFps(), 20.0f);
    Grab(*device, 1, 39.0e6 / 24.0, 1.0e6 / 24.0);
    EXPECT_TRUE(device->IsFrameRateKnown());
    EXPECT_NEAR(device->GetCameraFps(), 24.0f, 0.001f);
    // A video already under the trial's name is never replaced.
    const std::string earlier = (Dir() / "s01_cam_1_0001.mov").string();
    { std::ofstream(earlier) << "earlier session"; }
    EXPECT_FALSE(device->SetupWriter(Dir().string(), "s01", 1, false, "", false, 0, 0));
    std::ifstream kept(earlier);
    std::string text;
    std::getline(kept, text);
    EXPECT_EQ(text, "earlier session");
    EXPECT_TRUE(device->SetupWriter(Dir().string(), "s01", 2, false, "", false, 0, 0));
}

TEST_F(VideoDeviceTest, FramesReachTheViewInTheSizeTheyCome)
{
    m_camera->width = 160;
    m_camera->height = 120;  // reported as 1000 x 1000 below, delivered smaller
    m_camera->reportedWidth = 1000;
    m_camera->reportedHeight = 1000;
    auto device = Open();
    CRecordingViewSink view;
    device->SetVideoView(&view);
    EXPECT_EQ(device->GetVideoView(), &view);
    EXPECT_EQ(device->GetImageWidth(), 1000);
    device->GrabAt(1000.0);
    ASSERT_EQ(view.Frames(), 1);
    const cv::Mat last = view.Last();
    EXPECT_EQ(last.cols, 160);
    EXPECT_EQ(last.rows, 120);
    EXPECT_EQ(last.at<cv::Vec3b>(0, 0), cv::Vec3b(255, 0, 0));
    EXPECT_EQ(device->GetImageWidth(), 160);
    EXPECT_EQ(device->GetImageHeight(), 120);
    EXPECT_EQ(device->GetInfo(), "Camera #1\n160x120");
    device->SetVideoView(nullptr);
    device->GrabAt(2000.0);
    EXPECT_EQ(view.Frames(), 1);
}

TEST_F(VideoDeviceTest, FailedGrabLeavesNoTrace)
{
    m_camera->failAfter = 0;
    auto device = Open();
    CRecordingViewSink view;
    device->SetVideoView(&view);
    device->GrabAt(1000.0);
    device->GrabAt(2000.0);
    EXPECT_EQ(view.Frames(), 0);
    EXPECT_EQ(device->GetMissedGrabs(), 2);
    EXPECT_DOUBLE_EQ(device->GetSampleTime(), 0.0);
    device->SetVideoView(nullptr);  // the view goes first
}

TEST_F(VideoDeviceTest, SettingsDialogIsAskedForBetweenGrabs)
{
    auto device = Open();
    device->ShowCameraSettings();
    EXPECT_EQ(m_camera->settingsRequests.load(), 0);  // not while a grab may run
    device->GrabAt(1000.0);
    EXPECT_EQ(m_camera->settingsRequests.load(), 1);
    device->GrabAt(2000.0);
    EXPECT_EQ(m_camera->settingsRequests.load(), 1);
}

// ---------------------------------------------------------------- recording

TEST_F(VideoDeviceTest, WriterNeedsTheRateAndNamesTheFileAfterTrialAndCamera)
{
    auto device = Open();
    EXPECT_FALSE(device->SetupWriter(Dir().string(), "s01", 3, false, "", false, 0, 0));
    EXPECT_FALSE(device->HasWriter());
    double next = 0.0;
    device = nullptr;
    device = OpenMeasured(&next);
    const std::string expected = Path("s01_cam_1_0003.mov").string();
    ASSERT_TRUE(device->SetupWriter(Dir().string(), "s01", 3, false, "", false, 0, 0));
    EXPECT_TRUE(device->HasWriter());
    EXPECT_EQ(device->GetWriterFileName(), wxString(expected));
    EXPECT_FALSE(device->IsRecording());
    // A second writer is refused and the first kept.
    EXPECT_FALSE(device->SetupWriter(Dir().string(), "s02", 4, false, "", false, 0, 0));
    EXPECT_EQ(device->GetWriterFileName(), wxString(expected));
    EXPECT_FALSE(wxFileExists(Path("s02_cam_1_0004.mov").string()));
    EXPECT_FALSE(device->StopRecording());
    EXPECT_FALSE(device->HasWriter());
    EXPECT_EQ(device->GetWriterFileName(), "");
    EXPECT_FALSE(device->StopRecording());
}

TEST_F(VideoDeviceTest, CaptureWritesEveryFrameIntoAFileThatReadsBack)
{
    double next = 0.0;
    auto device = OpenMeasured(&next);
    ASSERT_TRUE(device->SetupWriter(Dir().string(), "trial", 1, false, "", false, 0, 0));
    const wxString name = device->GetWriterFileName();
    // Frames before the start are not recorded.
    next = Grab(*device, 5, next, kFrame30Us);
    ASSERT_TRUE(StartBeforeNextGrab(*device));
    EXPECT_TRUE(device->IsRecording());
    const int first = m_camera->delivered.load();
    next = Grab(*device, 45, next, kFrame30Us);
    EXPECT_EQ(device->GetRecordedFrames(), 45);
    EXPECT_NEAR(device->GetRecordTime(), 45.0 / 30.0, 1e-6);  // the video's own duration
    EXPECT_TRUE(device->FinishRecording());
    Grab(*device, 5, next, kFrame30Us);  // after the finish: not recorded
    EXPECT_EQ(device->GetRecordedFrames(), 45);
    device->StopRecording();
    const VideoFacts facts = ReadTestVideo(name.ToStdString());
    EXPECT_EQ(facts.frames, 45);
    EXPECT_EQ(facts.width, 320);
    EXPECT_EQ(facts.height, 240);
    // The frames in order: the grey level of frame k is (10 k) mod 250.
    ASSERT_EQ(facts.levels.size(), 45u);
    for (size_t i = 0; i < facts.levels.size(); ++i)
        EXPECT_NEAR(facts.levels[i], (10 * (first + static_cast<int>(i))) % 250, 6.0) << i;
}

TEST_F(VideoDeviceTest, DurationLimitKeepsTheLastFrameAndAsksOnceToStop)
{
    double next = 0.0;
    auto device = OpenMeasured(&next);
    CStopRequestOwner owner;
    device->SetParentWindow(&owner);
    device->SetRecordDuration(1.0);
    ASSERT_TRUE(device->SetupWriter(Dir().string(), "limit", 1, false, "", false, 0, 0));
    const wxString name = device->GetWriterFileName();
    ASSERT_TRUE(StartBeforeNextGrab(*device));
    // Whole microseconds a frame apart: frame 30 is the first at 1000 ms of recording.
    constexpr double kStepUs = 33334.0;
    next = Grab(*device, 30, next, kStepUs);
    EXPECT_TRUE(device->IsRecording());
    EXPECT_EQ(owner.Requests(), 0);
    next = Grab(*device, 1, next, kStepUs);
    EXPECT_FALSE(device->IsRecording());
    EXPECT_EQ(owner.Requests(), 1);
    EXPECT_TRUE(owner.TakeCaptureStopRequest());
    Grab(*device, 10, next, kStepUs);
    EXPECT_EQ(owner.Requests(), 1);
    EXPECT_EQ(device->GetRecordedFrames(), 31);
    EXPECT_NEAR(device->GetRecordTime(), 31.0 / 30.0, 1e-6);
    EXPECT_TRUE(device->HasWriter());  // kept for the shell's stop
    device->SetParentWindow(nullptr);
    device->StopRecording();
    EXPECT_EQ(ReadTestVideo(name.ToStdString()).frames, 31);
}

TEST_F(VideoDeviceTest, FileThatCannotBeCreatedIsReportedAndForgotten)
{
    double next = 0.0;
    auto device = OpenMeasured(&next);
    EXPECT_FALSE(
        device->SetupWriter(Path("missing/folder").string(), "s01", 1, false, "", false, 0, 0));
    EXPECT_FALSE(device->HasWriter());
    EXPECT_EQ(device->GetWriterFileName(), "");
    EXPECT_FALSE(device->StartRecording());
    EXPECT_FALSE(device->IsRecording());
}

TEST_F(VideoDeviceTest, FramesOfAnotherSizeAreScaledToTheVideosSizeAndSaidSo)
{
    double next = 0.0;
    auto device = OpenMeasured(&next);
    ASSERT_TRUE(device->SetupWriter(Dir().string(), "size", 1, false, "", false, 0, 0));
    const wxString name = device->GetWriterFileName();
    ASSERT_TRUE(StartBeforeNextGrab(*device));
    next = Grab(*device, 3, next, kFrame30Us);
    m_camera->width = 200;  // the camera switches its format
    next = Grab(*device, 2, next, kFrame30Us);
    EXPECT_EQ(device->GetRecordedFrames(), 5);
    EXPECT_EQ(device->GetUnwrittenFrames(), 0);
    const int first = m_camera->delivered.load() - 5;
    g_messages.Drain();
    device->StopRecording();
    int said = 0;
    for (const auto& message : g_messages.Drain()) {
        said += message.text.find("changed its image size to 200x") != std::string::npos;
        EXPECT_EQ(message.text.find("could not be written"), std::string::npos);
    }
    EXPECT_EQ(said, 1);
    const std::vector<int> expected{first, first + 1, first + 2, first + 3, first + 4};
    EXPECT_EQ(ReadTestVideo(name.ToStdString()).numbers, expected);
}

TEST_F(VideoDeviceTest, ClosingTheCameraClosesItsFileAndUntiesItsView)
{
    double next = 0.0;
    auto device = OpenMeasured(&next);
    CRecordingViewSink view;
    device->SetVideoView(&view);
    ASSERT_TRUE(device->SetupWriter(Dir().string(), "close", 2, false, "", false, 0, 0));
    const wxString name = device->GetWriterFileName();
    ASSERT_TRUE(StartBeforeNextGrab(*device));
    Grab(*device, 10, next, kFrame30Us);
    device->CloseCamera();
    EXPECT_EQ(view.Detached(), 1);
    EXPECT_EQ(device->GetVideoView(), nullptr);
    EXPECT_FALSE(device->HasWriter());
    EXPECT_FALSE(device->IsRecording());
    EXPECT_EQ(ReadTestVideo(name.ToStdString()).frames, 10);
    device->GrabAt(next + 1.0e6);  // a closed camera grabs nothing
    EXPECT_EQ(view.Frames(), 10);
}

// ---------------------------------------------------------------- the trial's time

namespace {

// The numbers a video of frames grabbed at the given times holds when each frame goes to
// its slot (time from the first over the period, rounded) and a slot the camera left
// empty repeats the frame before it.
std::vector<int> ExpectedNumbers(int first, const std::vector<double>& timesUs, double periodUs)
{
    std::vector<int> numbers;
    for (size_t i = 0; i < timesUs.size(); ++i) {
        const auto slot = static_cast<size_t>(std::llround((timesUs[i] - timesUs[0]) / periodUs));
        while (numbers.size() < slot) numbers.push_back(numbers.back());
        numbers.push_back(first + static_cast<int>(i));
    }
    return numbers;
}

bool Said(const std::vector<QueuedMessage>& messages, const std::string& text)
{
    for (const QueuedMessage& message : messages)
        if (message.text.find(text) != std::string::npos) return true;
    return false;
}

}  // namespace

TEST_F(VideoDeviceTest, StallKeepsTheVideoOnTheTrialsTimeAndTheNextTrialItsRate)
{
    double next = 0.0;
    auto device = OpenMeasured(&next);
    ASSERT_TRUE(device->SetupWriter(Dir().string(), "stall", 1, false, "", false, 0, 0));
    const wxString name = device->GetWriterFileName();
    ASSERT_TRUE(StartBeforeNextGrab(*device));
    const int first = m_camera->delivered.load();
    // 1 s of frames, 4 s without any, 2 s of frames: the rate window spans the stall.
    std::vector<double> times;
    for (int i = 0; i < 30; ++i) times.push_back(next + i * kFrame30Us);
    for (int i = 0; i < 60; ++i) times.push_back(next + 4.0e6 + (30 + i) * kFrame30Us);
    for (double t : times) device->GrabAt(t);
    g_messages.Drain();
    EXPECT_TRUE(device->FinishRecording());
    EXPECT_EQ(device->GetRecordedFrames(), 210);  // 7 s at 30 frames/s
    EXPECT_NEAR(device->GetRecordTime(), 7.0, 1e-6);
    EXPECT_EQ(device->GetMissingFrames(), 120);
    EXPECT_TRUE(Said(g_messages.Drain(), "120 of the 210 frames"));
    device->StopRecording();
    const VideoFacts facts = ReadTestVideo(name.ToStdString());
    EXPECT_EQ(facts.numbers, ExpectedNumbers(first, times, kFrame30Us));
    // The stall is no part of the camera's rate: the next trial's video runs at 30.
    EXPECT_NEAR(device->GetCameraFps(), 30.0f, 0.01f);
    ASSERT_TRUE(device->SetupWriter(Dir().string(), "stall", 2, false, "", false, 0, 0));
    const wxString second = device->GetWriterFileName();
    ASSERT_TRUE(StartBeforeNextGrab(*device));
    Grab(*device, 30, times.back() + kFrame30Us, kFrame30Us);
    device->StopRecording();
    const VideoFacts healthy = ReadTestVideo(second.ToStdString());
    EXPECT_EQ(healthy.frames, 30);
    EXPECT_NEAR(healthy.fps, 30.0, 0.01);
}

TEST_F(VideoDeviceTest, SlowDeliveryRepeatsTheLastImageAndSaysHowManyFramesWereMissing)
{
    double next = 0.0;
    auto device = OpenMeasured(&next);
    ASSERT_TRUE(device->SetupWriter(Dir().string(), "slow", 1, false, "", false, 0, 0));
    const wxString name = device->GetWriterFileName();
    ASSERT_TRUE(StartBeforeNextGrab(*device));
    const int first = m_camera->delivered.load();
    // 1 s at 30 frames/s, 4 s at 5, 1 s at 30; and a second run slowed to 12 frames/s,
    // whose frames fall between the video's slots.
    std::vector<double> times;
    double t = next;
    for (int i = 0; i < 30; ++i, t += kFrame30Us) times.push_back(t);
    t += 2.0e5 - kFrame30Us;
    for (int i = 0; i < 20; ++i, t += 2.0e5) times.push_back(t);
    t += kFrame30Us - 2.0e5;
    for (int i = 0; i < 30; ++i, t += kFrame30Us) times.push_back(t);
    for (int i = 0; i < 24; ++i, t += 1.0e6 / 12.0) times.push_back(t);
    for (double time : times) device->GrabAt(time);
    const std::vector<int> expected = ExpectedNumbers(first, times, kFrame30Us);
    g_messages.Drain();
    EXPECT_TRUE(device->FinishRecording());
    EXPECT_EQ(device->GetRecordedFrames(), static_cast<int64_t>(expected.size()));
    EXPECT_EQ(device->GetMissingFrames(), static_cast<int64_t>(expected.size() - times.size()));
    EXPECT_NEAR(device->GetRecordTime(), (times.back() - times.front()) / 1.0e6 + 1.0 / 30.0, 0.02);
    EXPECT_TRUE(Said(g_messages.Drain(), "did not come from the camera in time"));
    device->StopRecording();
    EXPECT_EQ(ReadTestVideo(name.ToStdString()).numbers, expected);
}

TEST_F(VideoDeviceTest, CameraLateAtTheStartAndHungAtTheEndFillsTheWholeTrial)
{
    double next = 0.0;
    auto device = OpenMeasured(&next);
    ASSERT_TRUE(device->SetupWriter(Dir().string(), "hung", 1, false, "", false, 0, 0));
    const wxString name = device->GetWriterFileName();
    const double startUs = next - kFrame30Us / 2.0;
    ASSERT_TRUE(StartBeforeNextGrab(*device));
    const int first = m_camera->delivered.load();
    // The first frame 1 s after the start, then 1 s of frames, then none for 2 s.
    const double last = Grab(*device, 30, startUs + 1.001e6, kFrame30Us) - kFrame30Us;
    device->SetClockUs(last + 2.0e6);
    g_messages.Drain();
    EXPECT_TRUE(device->FinishRecording());
    // The 30 slots before the first image are copies of it, the 59 after the last image
    // repeat it.
    EXPECT_EQ(device->GetRecordedFrames(), 30 + 30 + 59);
    EXPECT_EQ(device->GetMissingFrames(), 30 + 59);
    EXPECT_EQ(device->GetLeadingFrames(), 30);
    device->StopRecording();
    CVideoFinisher::Instance().Wait();
    // What is said is what the file holds: the copies at the start are copies of a later
    // image, not of one before them.
    const std::vector<QueuedMessage> said = g_messages.Drain();
    EXPECT_TRUE(Said(said, "the camera's first image of the trial came 1.001 s after its start: "
                           "the first 30 frames of"));
    EXPECT_TRUE(Said(said, "59 of the 119 frames of"));
    std::vector<int> expected(31, first);
    for (int i = 1; i < 30; ++i) expected.push_back(first + i);
    expected.insert(expected.end(), 59, first + 29);
    EXPECT_EQ(ReadTestVideo(name.ToStdString()).numbers, expected);
}

// A camera hung through the last 10 s of a 720p trial: the 300 repeats of its last image
// (an encoding each) are written after the stop has returned, the trial's counts hold at
// once, and the next trial records meanwhile.
TEST_F(VideoDeviceTest, LongHangAtTheEndIsFilledWithoutHoldingUpTheStop)
{
    m_camera->width = 1280;
    m_camera->height = 720;
    double next = 0.0;
    auto device = OpenMeasured(&next);
    ASSERT_TRUE(device->SetupWriter(Dir().string(), "long", 1, false, "", false, 0, 0));
    const wxString name = device->GetWriterFileName();
    ASSERT_TRUE(StartBeforeNextGrab(*device));
    const int first = m_camera->delivered.load();
    const double last = Grab(*device, 30, next, kFrame30Us) - kFrame30Us;
    device->SetClockUs(last + 10.0e6 + kFrame30Us / 2.0);
    g_messages.Drain();
    CVideoFinisher::Instance().Wait();
    CVideoFinisher::Instance().TakeFinished();
    // The 300 encodings take about 1.4 s at this size: the stop hands them over instead
    // of writing them itself, and the video is finished in the background.
    EXPECT_TRUE(device->FinishRecording());
    EXPECT_EQ(device->GetRecordedFrames(), 330);
    EXPECT_NEAR(device->GetRecordTime(), 11.0, 1e-6);
    EXPECT_EQ(device->GetMissingFrames(), 300);
    device->StopRecording();
    // The next trial's video is another file: it needs nothing of the last one.
    ASSERT_TRUE(device->SetupWriter(Dir().string(), "long", 2, false, "", false, 0, 0));
    const wxString second = device->GetWriterFileName();
    ASSERT_TRUE(StartBeforeNextGrab(*device));
    const int secondFirst = m_camera->delivered.load();
    Grab(*device, 30, last + 10.0e6 + 1.5 * kFrame30Us, kFrame30Us);
    EXPECT_TRUE(device->FinishRecording());
    device->StopRecording();
    CVideoFinisher::Instance().Wait();
    EXPECT_TRUE(Said(g_messages.Drain(), "300 of the 330 frames"));
    const std::vector<FinishedVideo> finished = CVideoFinisher::Instance().TakeFinished();
    ASSERT_EQ(finished.size(), 1u) << "the first video, finished in the background";
    EXPECT_EQ(finished[0].name, name);
    EXPECT_EQ(finished[0].listedFrames, 330);
    EXPECT_EQ(finished[0].frames, 330);
    std::vector<int> expected;
    for (int i = 0; i < 30; ++i) expected.push_back(first + i);
    expected.insert(expected.end(), 300, first + 29);
    EXPECT_EQ(ReadTestVideo(name.ToStdString()).numbers, expected);
    expected.clear();
    for (int i = 0; i < 30; ++i) expected.push_back(secondFirst + i);
    EXPECT_EQ(ReadTestVideo(second.ToStdString()).numbers, expected);
}

TEST_F(VideoDeviceTest, FileSizeLimitEndsTheVideoReadable)
{
    // Noise does not compress: the file grows by tens of kilobytes a frame.
    cv::RNG random(1234);
    m_camera->draw = [&random](cv::Mat& image, int k) {
        FillFrame(image, k, 320, 240);
        random.fill(image(cv::Rect(0, 0, 320, 200)), cv::RNG::UNIFORM, 0, 256);
    };
    double next = 0.0;
    auto device = OpenMeasured(&next);
    ASSERT_TRUE(device->SetupWriter(Dir().string(), "full", 1, false, "", false, 0, 0));
    const wxString name = device->GetWriterFileName();
    ASSERT_TRUE(StartBeforeNextGrab(*device));
    g_messages.Drain();
    int64_t recorded = 0;
    {
        CFileSizeLimit limit(8 << 20);
        ASSERT_TRUE(limit.IsSet());
        next = Grab(*device, 600, next, kFrame30Us);
        EXPECT_FALSE(device->IsRecording());
        recorded = device->GetRecordedFrames();
        EXPECT_GT(recorded, 10);
        EXPECT_LT(recorded, 600);
        EXPECT_TRUE(Said(g_messages.Drain(), "the rest of the trial has no video"));
        EXPECT_TRUE(device->FinishRecording());  // what it holds is kept
        EXPECT_EQ(device->GetWriterFileName(), name);
        device->StopRecording();
    }
    const VideoFacts facts = ReadTestVideo(name.ToStdString());
    ASSERT_EQ(facts.frames, recorded);
    for (int i = 0; i < facts.frames; ++i) EXPECT_EQ(facts.numbers[static_cast<size_t>(i)], 60 + i);
}

// A full disk (a small file system of the test's own): the video ends readable, and the
// next trial is refused for the same reason, said in the camera's words.
TEST_F(VideoDeviceTest, FullDiskEndsTheVideoReadableAndTheNextTrialSaysWhy)
{
    const std::filesystem::path disk = Path("disk");
    ASSERT_TRUE(std::filesystem::create_directory(disk));
    const std::string report = Path("report.txt").string();
    double next = 0.0;
    auto device = OpenMeasured(&next);
    cv::RNG random(99);
    m_camera->draw = [&random](cv::Mat& image, int k) {
        FillFrame(image, k, 320, 240);
        random.fill(image(cv::Rect(0, 0, 320, 200)), cv::RNG::UNIFORM, 0, 256);
    };
    const int result = RunOnSmallTmpfs(disk, 10 << 20, [&]() -> int {
        if (!device->SetupWriter(disk.string(), "full", 1, false, "", false, 0, 0)) return 1;
        const std::string name = device->GetWriterFileName().ToStdString();
        if (!StartBeforeNextGrab(*device)) return 2;
        Grab(*device, 600, next, kFrame30Us);
        const int64_t recorded = device->GetRecordedFrames();
        if (device->IsRecording() || recorded < 10 || !device->FinishRecording()) return 3;
        device->StopRecording();
        const VideoFacts facts = ReadTestVideo(name);
        if (facts.frames != recorded || facts.numbers.empty() || facts.numbers.front() != 60 ||
            facts.numbers.back() != 60 + recorded - 1)
            return 4;
        if (device->SetupWriter(disk.string(), "full", 2, false, "", false, 0, 0)) return 5;
        std::ofstream(report) << device->GetRecordingError().ToStdString();
        return device->StartRecording() ? 6 : 0;
    });
    if (result == kNoTmpfsExit) GTEST_SKIP() << "no file system of our own on this machine";
    EXPECT_EQ(result, 0);
    std::ifstream in(report);
    std::string reason;
    std::getline(in, reason);
    EXPECT_NE(reason.find("left for"), std::string::npos) << reason;
}

// A measured rate with more decimals than the encoder's time base holds still gives a
// video, at the rate rounded to what the file can state.
TEST_F(VideoDeviceTest, VideoOfAnOddMeasuredRateOpens)
{
    for (double rate : {87.3456, 119.8765, 29.97012, 7.123456}) {
        auto device = Open(0, 1, 30);
        device->Start();
        const double stepUs = 1.0e6 / rate;
        const double next = Grab(*device, 60, 0.0, stepUs);
        ASSERT_TRUE(device->IsFrameRateKnown()) << rate;
        EXPECT_NEAR(device->GetCameraFps(), rate, 0.001) << rate;
        const std::string trial = "odd" + std::to_string(static_cast<int>(rate * 1000));
        ASSERT_TRUE(device->SetupWriter(Dir().string(), trial, 1, false, "", false, 0, 0)) << rate;
        const wxString name = device->GetWriterFileName();
        ASSERT_TRUE(StartBeforeNextGrab(*device, stepUs));
        Grab(*device, 10, next, stepUs);
        device->StopRecording();
        const VideoFacts facts = ReadTestVideo(name.ToStdString());
        EXPECT_EQ(facts.frames, 10) << rate;
        EXPECT_NEAR(facts.fps, rate, 0.01) << rate;
        device.reset();
    }
}

// ---------------------------------------------------------------- delivery that changes

namespace {

// Records one trial of images grabbed at the given times from the video's start, the
// video made at fileFps, and checks the decoded video against the trial's time: one frame
// per slot of the trial, each the image taken in its slot (or in the second half of the
// slot before, when its own slot was taken), a repeat only where no image was taken, and
// the counts said matching the file.
void RecordsTheTrialsTime(std::shared_ptr<SyntheticCamera> camera, const std::string& dir,
                          double fileFps, const std::vector<double>& offsetsUs, double trialUs,
                          const std::string& what)
{
    SCOPED_TRACE(what);
    CCameraFactoryScope scope(SyntheticCameras(camera, 1));
    CClockedVideoDevice device(0, 1000, 1000, 30, false);
    device.Start();
    const double periodUs = 1.0e6 / fileFps;
    double next = 0.0;
    for (int i = 0; i < 60; ++i, next += periodUs) device.GrabAt(next);
    ASSERT_NEAR(device.GetCameraFps(), fileFps, 0.01);
    ASSERT_TRUE(device.SetupWriter(dir, what, 1, false, "", false, 0, 0));
    const std::string name = device.GetWriterFileName().ToStdString();
    ASSERT_TRUE(device.StartRecording());
    const double startUs = next + 1.0e6;
    device.SetRecordStart(startUs);  // the trial's own instant, as the capture start sets it
    EXPECT_DOUBLE_EQ(device.GetRecordStart(), startUs);
    const int first = camera->delivered.load();
    for (double offset : offsetsUs) device.GrabAt(startUs + offset);
    device.SetClockUs(startUs + trialUs);
    g_messages.Drain();
    ASSERT_TRUE(device.FinishRecording());
    device.StopRecording();
    CVideoFinisher::Instance().Wait();
    const auto slots = static_cast<size_t>(std::llround(trialUs / periodUs));
    const VideoFacts facts = ReadTestVideo(name);
    ASSERT_EQ(facts.numbers.size(), slots);
    EXPECT_EQ(device.GetRecordedFrames(), static_cast<int64_t>(slots));
    EXPECT_NEAR(facts.fps, fileFps, 0.01);
    std::vector<size_t> taken(slots + 1, 0);  // images taken in each slot
    for (double offset : offsetsUs) ++taken[std::min(slots, static_cast<size_t>(offset / periodUs))];
    int64_t repeats = 0;
    size_t distinct = 0;
    int lastOwn = -1;  // the last image seen in its own slot
    for (size_t k = 0; k < slots; ++k) {
        const int number = facts.numbers[k];
        ASSERT_GE(number, first) << k;
        ASSERT_LT(number - first, static_cast<int>(offsetsUs.size())) << k;
        const double at = offsetsUs[static_cast<size_t>(number - first)] / periodUs;
        // Slots before the first image's own are copies of it; later ones repeat the
        // image before them.
        const bool isLeading = lastOwn < 0 && number == facts.numbers[0] &&
                               at >= static_cast<double>(k + 1);
        if (isLeading || number == lastOwn) {
            EXPECT_EQ(taken[k], 0u) << "slot " << k << " repeats while an image was taken in it";
            ++repeats;
            continue;
        }
        ++distinct;
        EXPECT_GT(number, lastOwn) << k;
        lastOwn = number;
        EXPECT_GE(at, static_cast<double>(k) - 0.5) << "slot " << k;
        EXPECT_LT(at, static_cast<double>(k) + 1.0) << "slot " << k;
    }
    EXPECT_EQ(device.GetMissingFrames(), repeats);
    EXPECT_EQ(device.GetDroppedFrames(), static_cast<int64_t>(offsetsUs.size() - distinct));
    const std::vector<QueuedMessage> said = g_messages.Drain();
    if (device.GetDroppedFrames() > 0) {
        EXPECT_TRUE(Said(said, std::to_string(device.GetDroppedFrames()) +
                                   " images came from the camera faster than"));
    }
}

// Times from 5 ms on, at rate until each change: {until us, rate}.
std::vector<double> Delivery(const std::vector<std::pair<double, double>>& spans)
{
    std::vector<double> times;
    double t = 5000.0;
    for (const auto& [untilUs, rate] : spans)
        for (; t < untilUs; t += 1.0e6 / rate) times.push_back(t);
    return times;
}

}  // namespace

// A camera that delivers faster than the rate its video was made with: the video still
// lasts as long as the trial, each image in the slot of its time.
TEST_F(VideoDeviceTest, CameraFasterThanItsVideoKeepsTheTrialsTime)
{
    RecordsTheTrialsTime(m_camera, Dir().string(), 15.0, Delivery({{1.0e6, 15.0}, {6.1e6, 30.0}}),
                         6.1e6, "speedup15to30");
    RecordsTheTrialsTime(m_camera, Dir().string(), 30.0,
                         Delivery({{2.0e6, 30.0}, {4.5e6, 45.0}, {7.0e6, 30.0}}), 7.0e6,
                         "burst45");
    RecordsTheTrialsTime(m_camera, Dir().string(), 60.0,
                         Delivery({{1.0e6, 60.0}, {2.0e6, 90.0}, {3.0e6, 60.0}}), 3.0e6,
                         "burst90at60");
    RecordsTheTrialsTime(m_camera, Dir().string(), 7.5, Delivery({{1.0e6, 7.5}, {4.0e6, 29.97}}),
                         4.0e6, "speedup7to30");
    // Held back for 200 ms, then six at once, 1 ms apart.
    std::vector<double> held;
    for (int group = 0; group < 20; ++group)
        for (int i = 0; i < 6; ++i) held.push_back(200.0e3 * (group + 1) + 1.0e3 * i);
    RecordsTheTrialsTime(m_camera, Dir().string(), 30.0, held, 4.3e6, "holdThenBurst");
}

// Late frames followed by the ones the camera held back, delivered at once: the rate is
// the camera's, and so is the next video's.
TEST_F(VideoDeviceTest, RateAfterLateFramesIsTheCamerasOwn)
{
    for (double rate : {30.0, 60.0, 119.88, 7.5}) {
        auto device = Open(0, 1, 30);
        device->Start();
        const double periodUs = 1.0e6 / rate;
        // Every 10th frame comes three periods late, the three after it held back and
        // delivered within 0.3 ms of it; the others on time with 10 % jitter.
        double t = 0.0;
        for (int i = 0; i < 600; ++i) {
            const int phase = i % 10;
            double at = i * periodUs + ((i * 7919) % 21 - 10) * 0.01 * periodUs;
            if (phase >= 6) at = (i - phase + 9) * periodUs + (phase - 6) * 100.0;
            t = std::max(t + 1.0, at);
            device->GrabAt(t);
        }
        ASSERT_TRUE(device->IsFrameRateKnown()) << rate;
        EXPECT_NEAR(device->GetCameraFps(), rate, rate * 0.01) << rate;
        device.reset();
    }
    // A camera that states 30 frames/s and holds six back at a time, delivering them 1 ms
    // apart: its rate is still 30, not the bursts'.
    auto device = Open(0, 1, 30);
    device->Start();
    for (int i = 0; i < 120; ++i) device->GrabAt(200.0e3 * (i / 6 + 1) + 1.0e3 * (i % 6));
    ASSERT_TRUE(device->IsFrameRateKnown());
    EXPECT_NEAR(device->GetCameraFps(), 30.0, 0.3);
}

// ---------------------------------------------------------------- the end written later

namespace {

// Noise does not compress: each frame adds tens of kilobytes to the file.
std::function<void(cv::Mat&, int)> NoiseFrames(int width, int height, uint64_t seed)
{
    auto random = std::make_shared<cv::RNG>(seed);
    return [random, width, height](cv::Mat& image, int k) {
        FillFrame(image, k, width, height);
        random->fill(image(cv::Rect(0, 0, width, height - 20)), cv::RNG::UNIFORM, 0, 256);
    };
}

bool SaidAny(const std::vector<QueuedMessage>& messages, const std::string& text,
             std::string* which)
{
    for (const QueuedMessage& message : messages)
        if (message.text.find(text) != std::string::npos) {
            *which = message.text;
            return true;
        }
    return false;
}

}  // namespace

// Delete Last Trial while a hung camera's end is still written: the trial's file goes, the
// same trial is recorded again under the same name, and nothing is said of the old video.
TEST_F(VideoDeviceTest, DeletedTrialsVideoIsDroppedQuietlyWhileItsNameRecordsAgain)
{
    m_camera->width = 1280;
    m_camera->height = 720;
    double next = 0.0;
    auto device = OpenMeasured(&next);
    ASSERT_TRUE(device->SetupWriter(Dir().string(), "again", 1, false, "", false, 0, 0));
    const wxString name = device->GetWriterFileName();
    ASSERT_TRUE(StartBeforeNextGrab(*device));
    next = Grab(*device, 30, next, kFrame30Us);
    device->SetClockUs(next + 10.0e6);  // hung for 10 s: 300 repeats to write
    ASSERT_TRUE(device->FinishRecording());
    device->StopRecording();
    ASSERT_GT(CVideoFinisher::Instance().Pending(), 0u);
    CVideoFinisher::Instance().TakeFinished();
    g_messages.Drain();
    // The trial is deleted and recorded again, its video still open when the old end is
    // done.
    ASSERT_TRUE(std::filesystem::remove(name.ToStdString()));
    ASSERT_TRUE(device->SetupWriter(Dir().string(), "again", 1, false, "", false, 0, 0));
    ASSERT_EQ(device->GetWriterFileName(), name);
    ASSERT_TRUE(StartBeforeNextGrab(*device));
    const int first = m_camera->delivered.load();
    next = Grab(*device, 30, next + 10.0e6 + kFrame30Us, kFrame30Us);
    CVideoFinisher::Instance().Wait();
    std::string which;
    const std::vector<QueuedMessage> said = g_messages.Drain();
    EXPECT_FALSE(SaidAny(said, name.ToStdString(), &which)) << which;
    EXPECT_TRUE(CVideoFinisher::Instance().TakeFinished().empty());
    ASSERT_TRUE(device->FinishRecording());
    device->StopRecording();
    std::vector<int> expected;
    for (int i = 0; i < 30; ++i) expected.push_back(first + i);
    EXPECT_EQ(ReadTestVideo(name.ToStdString()).numbers, expected);
    EXPECT_FALSE(SaidAny(g_messages.Drain(), "lost", &which)) << which;
}

// The file-size limit reached while a hung camera's end is written: the video ends
// readable, and what the window lists of it is what the file holds.
TEST_F(VideoDeviceTest, VideoCutWhileItsEndIsWrittenTellsWhatTheFileHolds)
{
    m_camera->width = 640;
    m_camera->height = 480;
    m_camera->draw = NoiseFrames(640, 480, 7);
    double next = 0.0;
    auto device = OpenMeasured(&next);
    ASSERT_TRUE(device->SetupWriter(Dir().string(), "cut", 1, false, "", false, 0, 0));
    const std::string name = device->GetWriterFileName().ToStdString();
    ASSERT_TRUE(StartBeforeNextGrab(*device));
    next = Grab(*device, 30, next, kFrame30Us);
    device->SetClockUs(next - kFrame30Us / 2.0 + 30.0e6);  // hung for 30 s: 900 repeats
    CVideoFinisher::Instance().TakeFinished();
    g_messages.Drain();
    ASSERT_TRUE(device->FinishRecording());
    const int64_t listed = device->GetRecordedFrames();
    EXPECT_EQ(listed, 930);
    FinishedVideo finished;
    {
        // Below the room a video keeps for its index: its end stops at once.
        CFileSizeLimit limit(static_cast<rlim_t>(std::filesystem::file_size(name)) + (1 << 20));
        ASSERT_TRUE(limit.IsSet());
        CVideoFinisher::Instance().Wait();
    }
    device->StopRecording();
    const std::vector<FinishedVideo> all = CVideoFinisher::Instance().TakeFinished();
    ASSERT_EQ(all.size(), 1u);
    finished = all.front();
    const VideoFacts facts = ReadTestVideo(name);
    EXPECT_EQ(finished.name, wxString(name));
    EXPECT_EQ(finished.listedFrames, listed);
    ASSERT_GE(facts.frames, 30);
    EXPECT_LT(facts.frames, 930);
    EXPECT_EQ(finished.frames, facts.frames);
    EXPECT_NEAR(finished.seconds, facts.frames / 30.0, 1e-6);
    std::string which;
    const std::vector<QueuedMessage> said = g_messages.Drain();
    EXPECT_TRUE(SaidAny(said, "the rest of the trial has no video", &which));
    EXPECT_FALSE(SaidAny(said, "lost", &which)) << which;
}

// A disk that another program fills during a trial, all at once or on and on (taking
// every block freed, as a download does): the room kept for the video's index holds, and
// the frames written stay readable.
TEST_F(VideoDeviceTest, DiskFilledByAnotherProgramLeavesTheVideoReadable)
{
    const std::filesystem::path disk = Path("disk");
    ASSERT_TRUE(std::filesystem::create_directory(disk));
    const std::string report = Path("report.txt").string();
    double next = 0.0;
    auto device = OpenMeasured(&next);
    m_camera->draw = NoiseFrames(320, 240, 11);
    for (const bool isFilledOnAndOn : {false, true}) {
        SCOPED_TRACE(isFilledOnAndOn ? "on and on" : "at once");
        const int result = RunOnSmallTmpfs(disk, 24 << 20, [&]() -> int {
            if (!device->SetupWriter(disk.string(), "filled", 1, false, "", false, 0, 0)) return 1;
            const std::string name = device->GetWriterFileName().ToStdString();
            if (!StartBeforeNextGrab(*device)) return 2;
            const int first = m_camera->delivered.load();
            next = Grab(*device, 45, next, kFrame30Us);
            // Another program takes every byte left, and with it, every byte freed.
            const int filler = ::open((disk / "filler").c_str(), O_WRONLY | O_CREAT, 0600);
            const std::string block(1 << 12, 'x');
            const auto fill = [&] {
                while (::write(filler, block.data(), block.size()) > 0) {
                }
            };
            fill();
            std::atomic<bool> isFilling{isFilledOnAndOn};
            std::thread onAndOn([&] {
                while (isFilling.load()) fill();
            });
            next = Grab(*device, 60, next, kFrame30Us);
            const int64_t recorded = device->GetRecordedFrames();
            const bool isFinished = !device->IsRecording() && device->FinishRecording();
            device->StopRecording();
            isFilling = false;
            onAndOn.join();
            ::close(filler);
            if (!isFinished || recorded < 45) return 3;
            const VideoFacts facts = ReadTestVideo(name);
            std::ofstream(report) << facts.frames << ' ' << recorded << ' '
                                  << (facts.numbers.empty() ? -1 : facts.numbers.front() - first)
                                  << ' ' << (facts.numbers.empty() ? -1 : facts.numbers.back() - first);
            return 0;
        });
        if (result == kNoTmpfsExit) GTEST_SKIP() << "no file system of our own on this machine";
        ASSERT_EQ(result, 0);
        std::ifstream in(report);
        int64_t frames = -1, recorded = -1, front = -2, back = -2;
        in >> frames >> recorded >> front >> back;
        EXPECT_EQ(frames, recorded);
        EXPECT_EQ(front, 0);
        EXPECT_EQ(back, recorded - 1);
    }
}

// A video whose file is removed during its trial is said so, never saved.
TEST_F(VideoDeviceTest, VideoRemovedDuringItsTrialIsSaidAndNotSaved)
{
    double next = 0.0;
    auto device = OpenMeasured(&next);
    ASSERT_TRUE(device->SetupWriter(Dir().string(), "gone", 1, false, "", false, 0, 0));
    const wxString name = device->GetWriterFileName();
    ASSERT_TRUE(StartBeforeNextGrab(*device));
    next = Grab(*device, 20, next, kFrame30Us);
    ASSERT_TRUE(std::filesystem::remove(name.ToStdString()));
    Grab(*device, 20, next, kFrame30Us);
    g_messages.Drain();
    EXPECT_FALSE(device->FinishRecording());
    std::string which;
    EXPECT_TRUE(SaidAny(g_messages.Drain(), "was removed while it ran", &which));
    device->StopRecording();
    EXPECT_FALSE(wxFileExists(name));
}

// The trial's start and stop instants, set by the capture after the start: the video's
// slots count from the one and end at the other, whatever came before.
TEST_F(VideoDeviceTest, TrialsStopGivesTheVideosSlotsWhereverItFalls)
{
    // The stop instant at every part of a slot (the slot count rounded down and up),
    // the camera's images early, mid and late in their slots, a camera delivering
    // through the stop and one hung from slot 14 on: the video has exactly the slots of
    // the trial's time, each with the image taken in it or, after a hang, the last one.
    double next = 0.0;
    auto device = OpenMeasured(&next);
    int trial = 0;
    for (const double phase : {0.05, 0.5, 0.9}) {
        for (const double stopAt : {20.1, 20.3, 20.49, 20.51, 20.7, 20.95}) {
            for (const int delivered : {25, 14}) {
                SCOPED_TRACE("images at " + std::to_string(phase) + " of their slot, stop at " +
                             std::to_string(stopAt) + " slots, " + std::to_string(delivered) +
                             " images");
                ASSERT_TRUE(device->SetupWriter(Dir().string(), "stop", ++trial, false, "", false, 0, 0));
                const wxString name = device->GetWriterFileName();
                ASSERT_TRUE(StartBeforeNextGrab(*device));
                const double startUs = next - phase * kFrame30Us;
                device->SetRecordStart(startUs);
                device->SetRecordStop(startUs + stopAt * kFrame30Us);
                const int first = m_camera->delivered.load();
                next = Grab(*device, delivered, next, kFrame30Us);
                next += (25 - delivered) * kFrame30Us;  // the hang
                device->SetClockUs(next - kFrame30Us / 2.0);
                ASSERT_TRUE(device->FinishRecording());
                const int64_t slots = std::llround(stopAt);
                // The images of the video: taken before the stop, within its slots.
                int64_t placed = 0;
                while (placed < std::min<int64_t>(delivered, slots) && double(placed) + phase < stopAt)
                    ++placed;
                EXPECT_EQ(device->GetRecordedFrames(), slots);
                EXPECT_EQ(device->GetMissingFrames(), slots - placed);
                device->StopRecording();
                CVideoFinisher::Instance().Wait();
                std::vector<int> expected;
                for (int64_t k = 0; k < slots; ++k)
                    expected.push_back(first + static_cast<int>(std::min<int64_t>(k, placed - 1)));
                EXPECT_EQ(ReadTestVideo(name.ToStdString()).numbers, expected);
                next = Grab(*device, 5, next, kFrame30Us);  // between two trials
            }
        }
    }
    g_messages.Drain();
}

TEST_F(VideoDeviceTest, TrialsInstantsSetTheVideosFirstAndLastSlots)
{
    double next = 0.0;
    auto device = OpenMeasured(&next);
    ASSERT_TRUE(device->SetupWriter(Dir().string(), "instants", 1, false, "", false, 0, 0));
    const wxString name = device->GetWriterFileName();
    ASSERT_TRUE(StartBeforeNextGrab(*device));
    const int first = m_camera->delivered.load();
    device->GrabAt(next);  // waits for its slot: the start may still move
    // The trial began 10 periods before the camera's first image (a camera hung at the
    // start) and stops after 40 periods.
    const double startUs = next - 10.2 * kFrame30Us;
    device->SetRecordStart(startUs);
    EXPECT_DOUBLE_EQ(device->GetRecordStart(), startUs);
    device->SetRecordStop(startUs + 40.0 * kFrame30Us);
    Grab(*device, 40, next + kFrame30Us, kFrame30Us);  // the last 10 after the stop
    device->SetRecordStart(0.0);  // a slot is written: the start stays
    EXPECT_DOUBLE_EQ(device->GetRecordStart(), startUs);
    device->SetClockUs(startUs + 60.0 * kFrame30Us);
    ASSERT_TRUE(device->FinishRecording());
    device->StopRecording();
    EXPECT_EQ(device->GetLeadingFrames(), 10);
    std::vector<int> expected(10, first);
    for (int i = 0; i < 30; ++i) expected.push_back(first + i);
    EXPECT_EQ(ReadTestVideo(name.ToStdString()).numbers, expected);
}
