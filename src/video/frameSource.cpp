#include "video/frameSource.h"

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "video/videoIo.h"

namespace {

// Cameras are asked through the kernel's capture interface only: any back end would also
// wake the camera-over-USB libraries, which slow the probe and leak at start-up.
#if defined(__linux__)
constexpr int kCameraApi = cv::CAP_V4L2;
#else
constexpr int kCameraApi = cv::CAP_ANY;
#endif

}  // namespace

COpenCvFrameSource::COpenCvFrameSource(int index)
{
    try {
        m_capture = OpenVideoCapture(index, kCameraApi);
    } catch (...) {
        m_capture.reset();
    }
}

COpenCvFrameSource::COpenCvFrameSource(const std::string& fileName)
{
    try {
        // The files are ours, written through FFMPEG: read them back the same way.
        m_capture = OpenVideoCapture(fileName, cv::CAP_FFMPEG);
    } catch (...) {
        m_capture.reset();
    }
}

COpenCvFrameSource::~COpenCvFrameSource() { Release(); }

bool COpenCvFrameSource::IsOpened() const
{
    try {
        return m_capture != nullptr && m_capture->IsOpened();
    } catch (...) {
        return false;
    }
}

bool COpenCvFrameSource::Set(int property, double value)
{
    try {
        return m_capture != nullptr && m_capture->Set(property, value);
    } catch (...) {
        return false;
    }
}

double COpenCvFrameSource::Get(int property) const
{
    try {
        return m_capture != nullptr ? m_capture->Get(property) : 0.0;
    } catch (...) {
        return 0.0;
    }
}

bool COpenCvFrameSource::Grab()
{
    try {
        return m_capture != nullptr && m_capture->Grab();
    } catch (...) {
        return false;
    }
}

bool COpenCvFrameSource::Retrieve(cv::Mat& image)
{
    try {
        return m_capture != nullptr && m_capture->Retrieve(image);
    } catch (...) {
        return false;
    }
}

void COpenCvFrameSource::Release()
{
    try {
        if (m_capture != nullptr) m_capture->Release();
    } catch (...) {
    }
    m_capture.reset();
}
