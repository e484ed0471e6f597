#pragma once

#include <memory>
#include <string>

namespace cv {
class Mat;
}  // namespace cv

// Cameras and video files go through OpenCV's video module, which the program loads the
// first time one is opened: that module brings in over two hundred libraries (codecs,
// media frameworks), a sixth of a second at every start of a process that links it,
// camera or not. Every call may throw what OpenCV throws: callers guard them.

// A camera or a video file being read. Used by one thread at a time.
class CVideoCaptureIo {
public:
    virtual ~CVideoCaptureIo() = default;

    virtual bool IsOpened() const = 0;
    // Capture properties by OpenCV id (cv::CAP_PROP_...).
    virtual bool Set(int property, double value) = 0;
    virtual double Get(int property) const = 0;
    virtual bool Grab() = 0;
    virtual bool Retrieve(cv::Mat& image) = 0;
    // Grab and Retrieve.
    virtual bool Read(cv::Mat& image) = 0;
    virtual void Release() = 0;
};

// A video file being written. Used by one thread at a time.
class CVideoWriterIo {
public:
    virtual ~CVideoWriterIo() = default;

    virtual bool Open(const std::string& path, int api, int fourcc, double fps, int width,
                      int height, bool isColor) = 0;
    virtual bool IsOpened() const = 0;
    virtual void Write(const cv::Mat& image) = 0;
    virtual void Release() = 0;
};

// Any thread. Null when the video module cannot be loaded: the first failure is said on
// the Errors page, VideoIoError() keeps why.
std::unique_ptr<CVideoCaptureIo> OpenVideoCapture(int cameraIndex, int api);
std::unique_ptr<CVideoCaptureIo> OpenVideoCapture(const std::string& fileName, int api);
std::unique_ptr<CVideoWriterIo> NewVideoWriter();
std::string VideoIoError();

// A four-character code as the video writer takes it.
constexpr int VideoFourcc(char c1, char c2, char c3, char c4)
{
    return (c1 & 255) | ((c2 & 255) << 8) | ((c3 & 255) << 16) | ((c4 & 255) << 24);
}

// What the module hands out through its one exported function.
struct VideoIoEntry {
    int version;
    CVideoCaptureIo* (*openCamera)(int cameraIndex, int api);
    CVideoCaptureIo* (*openFile)(const char* fileName, int api);
    CVideoWriterIo* (*newWriter)();
};
constexpr int kVideoIoVersion = 1;
extern "C" const VideoIoEntry* qv_video_io_entry();
