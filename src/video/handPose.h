#pragma once

#include <wx/string.h>

#include <opencv2/core/types.hpp>
#include <opencv2/dnn/dnn.hpp>

namespace cv {
class Mat;
}

#include <array>

// The hand-pose overlay of the camera devices: a Caffe network per camera index that
// finds 22 hand keypoints in an image, and the skeleton drawn from them. The network
// slots are process-wide; each camera's acquisition thread uses its own slot, and the
// camera device serialises loading with its passes (its data mutex).
namespace handpose {

constexpr int kKeypoints = 22;
constexpr int kSlots = 32;  // one per camera index
constexpr int kInputSize = 368;
constexpr float kMinConfidence = 0.1f;
using Keypoints = std::array<cv::Point, kKeypoints>;

// The model files inside a folder the user supplies.
wxString DescriptionFile(const wxString& folder);
wxString WeightsFile(const wxString& folder);

// GUI thread: reads the network of folder. False, with the reason in error, for a
// missing or unreadable model (nothing is downloaded: the user supplies the files).
bool Read(const wxString& folder, cv::dnn::Net& net, wxString& error);
// GUI thread, under the camera device's data mutex (no pass runs): puts net into the slot
// of a camera index. False for an index outside the table.
bool Install(int index, const cv::dnn::Net& net);
// Any thread: a network was loaded into the slot.
bool IsLoaded(int index);

// Acquisition thread: one pass of the slot's network on image, drawing the skeleton on
// it. blob and output are the caller's scratch matrices, reused between frames. False
// when the network failed on this image (nothing drawn).
bool Run(int index, cv::Mat& image, cv::Mat& blob, cv::Mat& output);

// The keypoints of a network output (1 x planes x H x W, 32-bit float): the maximum of
// each of the first 22 planes when above kMinConfidence, else (-1, -1). False for an
// output of another shape.
bool FindKeypoints(const cv::Mat& output, Keypoints& points);
// Draws the 20 bones whose two keypoints were found (x > 0 and y > 0), scaled from the
// output's grid to the image by sx and sy.
void DrawSkeleton(cv::Mat& image, const Keypoints& points, float sx, float sy);

}  // namespace handpose
