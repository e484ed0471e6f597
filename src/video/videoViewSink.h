#pragma once

namespace cv {
class Mat;
}

// What a camera device asks of the window that shows its frames. The GUI library's
// camera view implements it; the device keeps a non-owning pointer, set and cleared by
// the GUI thread under the device's data mutex.
class CVideoViewSink {
public:
    virtual ~CVideoViewSink() = default;

    // Acquisition thread, under the device's data mutex: keeps a copy of image (8-bit,
    // 3 channels, BGR; the device overwrites it next frame). Reuses its storage while
    // the size holds; never waits for painting (the display may skip a frame).
    virtual void SetImage(const cv::Mat& image) = 0;
    // GUI thread: the device forgets the view (the camera closes): drop the link to it.
    virtual void DetachDevice() = 0;
};
