#include "video/handPose.h"

#include <gtest/gtest.h>
#include <wx/log.h>

#include <filesystem>
#include <fstream>
#include <opencv2/core.hpp>

#include "process/messageQueue.h"
#include "support/tempDir.h"
#include "video/videoFakes.h"

namespace {

// A network output of 22 maps of rows x cols, all below the confidence threshold.
cv::Mat MakeOutput(int rows, int cols)
{
    const int sizes[4] = {1, handpose::kKeypoints, rows, cols};
    cv::Mat output(4, sizes, CV_32F, cv::Scalar(0.05f));
    return output;
}

void SetPeak(cv::Mat& output, int keypoint, int x, int y, float value)
{
    output.ptr<float>(0, keypoint)[y * output.size[3] + x] = value;
}

using HandPoseTest = TempDirTest;

}  // namespace

TEST(HandPose, KeypointsAreThePeaksAboveTheThreshold)
{
    cv::Mat output = MakeOutput(46, 40);
    SetPeak(output, 0, 10, 20, 0.9f);
    SetPeak(output, 1, 39, 45, 0.11f);
    SetPeak(output, 2, 5, 5, 0.1f);  // not above 0.1
    SetPeak(output, 21, 1, 2, 0.5f);
    handpose::Keypoints points;
    ASSERT_TRUE(handpose::FindKeypoints(output, points));
    EXPECT_EQ(points[0], cv::Point(10, 20));
    EXPECT_EQ(points[1], cv::Point(39, 45));
    EXPECT_EQ(points[2], cv::Point(-1, -1));
    EXPECT_EQ(points[21], cv::Point(1, 2));
    for (int k = 3; k < 21; ++k) EXPECT_EQ(points[k], cv::Point(-1, -1)) << k;
}

TEST(HandPose, OutputsOfAnotherShapeAreRefused)
{
    handpose::Keypoints points;
    EXPECT_FALSE(handpose::FindKeypoints(cv::Mat(), points));
    EXPECT_FALSE(handpose::FindKeypoints(cv::Mat(46, 46, CV_32F), points));
    const int few[4] = {1, 10, 46, 46};
    EXPECT_FALSE(handpose::FindKeypoints(cv::Mat(4, few, CV_32F), points));
    const int sizes[4] = {1, 22, 46, 46};
    EXPECT_FALSE(handpose::FindKeypoints(cv::Mat(4, sizes, CV_8U), points));
}

TEST(HandPose, SkeletonJoinsFoundKeypointsOnly)
{
    cv::Mat image(200, 200, CV_8UC3, cv::Scalar(0, 0, 0));
    handpose::Keypoints points;
    points.fill(cv::Point(-1, -1));
    points[0] = cv::Point(10, 10);
    points[1] = cv::Point(30, 10);  // bone 0-1, drawn scaled by 2
    points[5] = cv::Point(0, 40);   // column 0: counts as not found, bone 0-5 not drawn
    handpose::DrawSkeleton(image, points, 2.0f, 2.0f);
    // The bone: green on the line between (20, 20) and (60, 20).
    EXPECT_EQ(image.at<cv::Vec3b>(20, 40), cv::Vec3b(0, 200, 0));
    // The joints: filled red circles over the ends.
    EXPECT_EQ(image.at<cv::Vec3b>(20, 20), cv::Vec3b(0, 0, 200));
    EXPECT_EQ(image.at<cv::Vec3b>(21, 61), cv::Vec3b(0, 0, 200));
    // Nothing towards (0, 80).
    EXPECT_EQ(cv::countNonZero(image.colRange(0, 15).reshape(1)), 0);
}

TEST_F(HandPoseTest, MissingModelIsReportedAndLoadsNothing)
{
    cv::dnn::Net net;
    wxString error;
    EXPECT_FALSE(handpose::Read(Dir().string(), net, error));
    EXPECT_NE(error.Find("pose_deploy.prototxt"), wxNOT_FOUND);
    EXPECT_TRUE(net.empty());
    EXPECT_FALSE(handpose::Install(0, net));
    EXPECT_FALSE(handpose::Install(handpose::kSlots, net));
}

TEST_F(HandPoseTest, DamagedModelIsReportedWithoutHarm)
{
    std::filesystem::create_directories(Path("hand"));
    std::ofstream(Path("hand/pose_deploy.prototxt")) << "layer { this is not a network";
    std::ofstream(Path("hand/pose_iter_102000.caffemodel")) << "garbage";
    cv::dnn::Net net;
    wxString error;
    EXPECT_FALSE(handpose::Read(Dir().string(), net, error));
    EXPECT_NE(error.Find("could not be read"), wxNOT_FOUND);
}

TEST_F(HandPoseTest, CameraWithoutModelRunsWithoutOverlay)
{
    auto camera = std::make_shared<SyntheticCamera>();
    CCameraFactoryScope scope(SyntheticCameras(camera, 1));
    CClockedVideoDevice device(0, 320, 240, 30, false);
    ASSERT_TRUE(device.IsCameraOpened());
    EXPECT_FALSE(device.LoadHandPoseNet(""));
    g_messages.Drain();
    EXPECT_FALSE(device.LoadHandPoseNet(Dir().string()));
    bool reported = false;
    for (const auto& message : g_messages.Drain())
        reported |= message.text.find("hand-pose model file not found") != std::string::npos;
    EXPECT_TRUE(reported);
    CRecordingViewSink view;
    device.SetVideoView(&view);
    device.GrabAt(1000.0);
    ASSERT_EQ(view.Frames(), 1);
    cv::Mat expected;
    FillFrame(expected, 0, 320, 240);
    EXPECT_EQ(cv::norm(view.Last(), expected, cv::NORM_INF), 0.0);
    device.SetVideoView(nullptr);  // the view goes first
}

namespace {

// A stand-in for the hand network with the same input and output shapes and no weights:
// 24 maps, each the 8 x 8 maximum of a colour plane of the input.
void WriteStandInModel(const std::filesystem::path& folder)
{
    std::filesystem::create_directories(folder / "hand");
    std::ofstream(folder / "hand/pose_deploy.prototxt")
        << "name: \"standin\"\n"
           "input: \"data\"\ninput_dim: 1\ninput_dim: 3\ninput_dim: 368\ninput_dim: 368\n"
           "layer { name: \"cat\" type: \"Concat\" bottom: \"data\" bottom: \"data\"\n"
           "  bottom: \"data\" bottom: \"data\" bottom: \"data\" bottom: \"data\"\n"
           "  bottom: \"data\" bottom: \"data\" top: \"cat\" }\n"
           "layer { name: \"pool\" type: \"Pooling\" bottom: \"cat\" top: \"pool\"\n"
           "  pooling_param { pool: MAX kernel_size: 8 stride: 8 } }\n";
    std::ofstream(folder / "hand/pose_iter_102000.caffemodel");  // no weights to hold
}

}  // namespace

TEST_F(HandPoseTest, OverlayShowsOnTheDisplayAndNeverInTheFile)
{
    WriteStandInModel(Dir());
    auto camera = std::make_shared<SyntheticCamera>();
    camera->width = 368;
    camera->height = 368;
    // Black with a white spot: every map peaks at cell (12, 12), drawn at pixel (96, 96).
    camera->draw = [](cv::Mat& image, int) {
        image.create(368, 368, CV_8UC3);
        image.setTo(cv::Scalar(0, 0, 0));
        image(cv::Rect(100, 100, 9, 9)).setTo(cv::Scalar(255, 255, 255));
    };
    CCameraFactoryScope scope(SyntheticCameras(camera, 1));
    CClockedVideoDevice device(0, 368, 368, 30, false);
    ASSERT_TRUE(device.IsCameraOpened());
    ASSERT_TRUE(device.LoadHandPoseNet(Dir().string()));
    CRecordingViewSink view;
    device.SetVideoView(&view);
    double now = 0.0;
    for (int i = 0; i < 60; ++i, now += 1.0e6 / 30.0) device.GrabAt(now);
    EXPECT_EQ(view.Last().at<cv::Vec3b>(96, 96), cv::Vec3b(0, 0, 200));  // a joint
    ASSERT_TRUE(device.IsFrameRateKnown());
    ASSERT_TRUE(device.SetupWriter(Dir().string(), "pose", 1, false, "", false, 0, 0));
    const std::string name = device.GetWriterFileName().ToStdString();
    device.SetClockUs(now - 1.0e6 / 60.0);  // the start falls between two frames
    ASSERT_TRUE(device.StartRecording());
    // While recording the frames go out as the camera took them.
    for (int i = 0; i < 10; ++i, now += 1.0e6 / 30.0) device.GrabAt(now);
    EXPECT_EQ(view.Last().at<cv::Vec3b>(96, 96), cv::Vec3b(0, 0, 0));
    device.FinishRecording();
    device.GrabAt(now);
    EXPECT_EQ(view.Last().at<cv::Vec3b>(96, 96), cv::Vec3b(0, 0, 200));
    device.StopRecording();
    std::unique_ptr<CVideoCaptureIo> file = OpenVideoCapture(name, cv::CAP_FFMPEG);
    ASSERT_NE(file, nullptr);
    cv::Mat frame;
    int frames = 0;
    while (file->Read(frame)) {
        ++frames;
        EXPECT_LT(cv::norm(frame(cv::Rect(90, 90, 8, 8)), cv::NORM_INF), 40.0) << frames;
    }
    EXPECT_EQ(frames, 10);
    device.SetVideoView(nullptr);
}
