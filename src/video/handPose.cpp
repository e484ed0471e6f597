#include "video/handPose.h"

#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/translation.h>

#include <atomic>
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

namespace handpose {
namespace {

struct Slot {
    cv::dnn::Net net;
    std::atomic<bool> loaded{false};
};

// Constructed on first use, destroyed at exit; each slot belongs to one camera index.
std::array<Slot, kSlots>& Slots()
{
    static std::array<Slot, kSlots> slots;
    return slots;
}

// Bones as keypoint pairs: wrist to the tip of each finger, thumb first.
constexpr int kBones[20][2] = {{0, 1},   {1, 2},   {2, 3},  {3, 4},   {0, 5},   {5, 6},  {6, 7},
                               {7, 8},   {0, 9},   {9, 10}, {10, 11}, {11, 12}, {0, 13}, {13, 14},
                               {14, 15}, {15, 16}, {0, 17}, {17, 18}, {18, 19}, {19, 20}};

std::string Narrow(const wxString& text)
{
    const wxCharBuffer narrow = text.mb_str();
    return narrow.data() != nullptr ? std::string(narrow.data()) : std::string();
}

}  // namespace

wxString DescriptionFile(const wxString& folder)
{
    return folder + wxFileName::GetPathSeparator() + "hand/pose_deploy.prototxt";
}

wxString WeightsFile(const wxString& folder)
{
    return folder + wxFileName::GetPathSeparator() + "hand/pose_iter_102000.caffemodel";
}

bool Read(const wxString& folder, cv::dnn::Net& net, wxString& error)
{
    const wxString description = DescriptionFile(folder);
    const wxString weights = WeightsFile(folder);
    for (const wxString& file : {description, weights}) {
        if (!wxFileExists(file)) {
            error = _("hand-pose model file not found, the overlay stays off: ") + file;
            return false;
        }
    }
    const std::string descriptionName = Narrow(description);
    const std::string weightsName = Narrow(weights);
    if (descriptionName.empty() || weightsName.empty()) {
        error = _("hand-pose model folder name cannot be converted: ") + folder;
        return false;
    }
    try {
        net = cv::dnn::readNet(weightsName, descriptionName);
        if (!net.empty()) return true;
        error = _("hand-pose model could not be read: ") + folder;
    } catch (const std::exception& e) {  // cv::Exception among them
        error = _("hand-pose model could not be read: ") + folder + " (" + wxString(e.what()) + ")";
    }
    return false;
}

bool Install(int index, const cv::dnn::Net& net)
{
    if (index < 0 || index >= kSlots || net.empty()) return false;
    Slot& slot = Slots()[index];
    slot.net = net;
    slot.loaded = true;
    return true;
}

bool IsLoaded(int index) { return index >= 0 && index < kSlots && Slots()[index].loaded.load(); }

bool Run(int index, cv::Mat& image, cv::Mat& blob, cv::Mat& output)
{
    if (!IsLoaded(index) || image.empty()) return false;
    try {
        cv::dnn::blobFromImage(image, blob, 1.0 / 255, cv::Size(kInputSize, kInputSize),
                               cv::Scalar(0, 0, 0), false, false, CV_32F);
        cv::dnn::Net& net = Slots()[index].net;
        net.setInput(blob, "", 1.0, cv::Scalar());
        net.forward(output, "");
        Keypoints points;
        if (!FindKeypoints(output, points)) return false;
        const float sx = static_cast<float>(image.cols) / static_cast<float>(output.size[3]);
        const float sy = static_cast<float>(image.rows) / static_cast<float>(output.size[2]);
        DrawSkeleton(image, points, sx, sy);
        return true;
    } catch (...) {
        return false;
    }
}

bool FindKeypoints(const cv::Mat& output, Keypoints& points)
{
    if (output.dims != 4 || output.type() != CV_32F || output.size[0] < 1 ||
        output.size[1] < kKeypoints || output.size[2] < 1 || output.size[3] < 1 ||
        !output.isContinuous())
        return false;
    const int rows = output.size[2];
    const int cols = output.size[3];
    for (int k = 0; k < kKeypoints; ++k) {
        // Plane k of the first image, viewed in place.
        const cv::Mat plane(rows, cols, CV_32F, const_cast<float*>(output.ptr<float>(0, k)));
        double maxValue = 0.0;
        cv::Point maxAt(-1, -1);
        cv::minMaxLoc(plane, nullptr, &maxValue, nullptr, &maxAt);
        points[k] = static_cast<float>(maxValue) > kMinConfidence ? maxAt : cv::Point(-1, -1);
    }
    return true;
}

void DrawSkeleton(cv::Mat& image, const Keypoints& points, float sx, float sy)
{
    for (const auto& bone : kBones) {
        const cv::Point& a = points[bone[0]];
        const cv::Point& b = points[bone[1]];
        // Row or column 0 counts as not found, as (-1, -1) does.
        if (a.x <= 0 || a.y <= 0 || b.x <= 0 || b.y <= 0) continue;
        const cv::Point pa(cvRound(a.x * sx), cvRound(a.y * sy));
        const cv::Point pb(cvRound(b.x * sx), cvRound(b.y * sy));
        cv::line(image, pa, pb, cv::Scalar(0, 200, 0), 2, cv::LINE_8);
        cv::circle(image, pa, 3, cv::Scalar(0, 0, 200), cv::FILLED, cv::LINE_8);
        cv::circle(image, pb, 3, cv::Scalar(0, 0, 200), cv::FILLED, cv::LINE_8);
    }
}

}  // namespace handpose
