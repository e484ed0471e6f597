// The module that holds OpenCV's video module: loaded by the program when it first
// opens a camera or a video file (videoIo.cpp).
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "video/videoIo.h"

namespace {

class CCaptureIo : public CVideoCaptureIo {
public:
    bool IsOpened() const override { return m_capture.isOpened(); }
    bool Set(int property, double value) override { return m_capture.set(property, value); }
    double Get(int property) const override { return m_capture.get(property); }
    bool Grab() override { return m_capture.grab(); }
    bool Retrieve(cv::Mat& image) override { return m_capture.retrieve(image, 0); }
    bool Read(cv::Mat& image) override { return m_capture.read(image); }
    void Release() override { m_capture.release(); }

    cv::VideoCapture m_capture;
};

class CWriterIo : public CVideoWriterIo {
public:
    bool Open(const std::string& path, int api, int fourcc, double fps, int width, int height,
              bool isColor) override
    {
        return m_writer.open(path, api, fourcc, fps, cv::Size(width, height), isColor);
    }
    bool IsOpened() const override { return m_writer.isOpened(); }
    void Write(const cv::Mat& image) override { m_writer.write(image); }
    void Release() override { m_writer.release(); }

private:
    cv::VideoWriter m_writer;
};

// The capture's own constructor opens it; a throw leaves nothing behind.
CVideoCaptureIo* OpenCamera(int cameraIndex, int api)
{
    auto capture = std::make_unique<CCaptureIo>();
    capture->m_capture.open(cameraIndex, api);
    return capture.release();
}

CVideoCaptureIo* OpenFile(const char* fileName, int api)
{
    auto capture = std::make_unique<CCaptureIo>();
    capture->m_capture.open(fileName, api);
    return capture.release();
}

CVideoWriterIo* NewWriter() { return new CWriterIo; }

const VideoIoEntry kEntry{kVideoIoVersion, OpenCamera, OpenFile, NewWriter};

}  // namespace

extern "C" __attribute__((visibility("default"))) const VideoIoEntry* qv_video_io_entry()
{
    return &kEntry;
}
