#pragma once

#include <functional>
#include <memory>
#include <string>

namespace cv {
class Mat;
}  // namespace cv

class CVideoCaptureIo;

// Where a camera device takes its images from: a capture opened on a camera index or a
// video file, or anything else that delivers 8-bit BGR images. Owned by one camera device.
// Open, Set, Get, Release: the thread that owns the device while its acquisition thread
// is not grabbing; Grab and Retrieve: the acquisition thread.
class CFrameSource {
public:
    virtual ~CFrameSource() = default;

    virtual bool IsOpened() const = 0;
    // Capture properties by OpenCV id (CAP_PROP_...); false when refused or failed.
    virtual bool Set(int property, double value) = 0;
    // 0 when the source does not know the property.
    virtual double Get(int property) const = 0;
    // Waits for the next image; false when none came (end of stream, unplugged, failure).
    virtual bool Grab() = 0;
    // The grabbed image into image, reusing its storage when the size is unchanged.
    virtual bool Retrieve(cv::Mat& image) = 0;
    virtual void Release() = 0;
};

// Makes the source of a camera index; the result may be unopened, never null.
using FrameSourceFactory = std::function<std::unique_ptr<CFrameSource>(int index)>;

// OpenCV's capture as frame source. Every OpenCV call is guarded: OpenCV throws.
class COpenCvFrameSource : public CFrameSource {
public:
    // A camera by index, through the system's own capture interface (V4L2 on Linux).
    explicit COpenCvFrameSource(int index);
    // A video file (tests, replays), through the FFMPEG back end.
    explicit COpenCvFrameSource(const std::string& fileName);
    ~COpenCvFrameSource() override;

    bool IsOpened() const override;
    bool Set(int property, double value) override;
    double Get(int property) const override;
    bool Grab() override;
    bool Retrieve(cv::Mat& image) override;
    void Release() override;

private:
    std::unique_ptr<CVideoCaptureIo> m_capture;
};
