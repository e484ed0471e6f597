#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "process/deviceOwner.h"
#include "video/VideoDevice.h"
#include "video/frameSource.h"
#include "video/videoIo.h"
#include "video/videoViewSink.h"

// What a synthetic camera does; shared by the source and the test that steers it.
struct SyntheticCamera {
    int width = 320;
    int height = 240;
    double reportedFps = 30.0;
    double reportedWidth = -1.0;  // < 0: the real width
    double reportedHeight = -1.0;
    bool opens = true;
    // Frames delivered before the camera fails (returns no image) or hangs (blocks in
    // Grab until Release or Unblock); -1: never.
    std::atomic<int> failAfter{-1};
    std::atomic<int> hangAfter{-1};
    std::atomic<int> delivered{0};
    std::atomic<int> grabs{0};
    // Frames per second the camera delivers at, each Grab waiting for the next one as a
    // real camera does; 0: at once. pauseAfter frames in, the camera stops delivering for
    // pauseUs (its frames of that time are not made), then goes on.
    double deliverFps = 0.0;
    std::atomic<int> pauseAfter{-1};
    double pauseUs = 0.0;
    std::atomic<bool> paused{false};  // a Grab waits out the pause now
    std::atomic<int> settingsRequests{0};
    std::vector<std::pair<int, double>> sets;  // written before the device's thread runs
    // Draws frame k instead of FillFrame when set (before the device's thread runs).
    std::function<void(cv::Mat&, int)> draw;

    std::mutex mutex;
    std::condition_variable changed;
    bool hanging = false;  // a Grab is blocked
    bool unblocked = false;

    // Test thread: waits until a Grab is blocked.
    bool WaitUntilHanging(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [this] { return hanging; });
    }
    // Test thread: waits until count grabs were asked for; each one after the first means
    // the frame before it went all the way through the device.
    bool WaitForGrabs(int count, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return grabs.load() >= count; });
    }
    void Unblock()
    {
        std::lock_guard<std::mutex> lock(mutex);
        unblocked = true;
        changed.notify_all();
    }
};

// Frames of at least this size carry their number, readable after compression.
constexpr int kStampWidth = 160;
constexpr int kStampHeight = 64;
constexpr int kStampBits = 16;

// The frame number k in 16 black or white blocks along the bottom edge, lowest bit first.
inline void StampFrameNumber(cv::Mat& image, int k)
{
    const int blockWidth = image.cols / kStampBits;
    const int blockHeight = 16;
    for (int bit = 0; bit < kStampBits; ++bit) {
        const int level = ((k >> bit) & 1) != 0 ? 255 : 0;
        image(cv::Rect(bit * blockWidth, image.rows - blockHeight, blockWidth, blockHeight))
            .setTo(cv::Scalar(level, level, level));
    }
}

// The number StampFrameNumber put in a frame (as a video gives it back).
inline int ReadFrameNumber(const cv::Mat& frame)
{
    const int blockWidth = frame.cols / kStampBits;
    int k = 0;
    for (int bit = 0; bit < kStampBits; ++bit) {
        const cv::Rect centre(bit * blockWidth + blockWidth / 4, frame.rows - 12, blockWidth / 2, 8);
        if (cv::mean(frame(centre))[1] > 128.0) k |= 1 << bit;
    }
    return k;
}

// Frame k is filled with grey level (10 k) mod 250, with a blue square in the top-left
// corner and a red one in the top-right corner; a frame large enough carries its number.
inline void FillFrame(cv::Mat& image, int k, int width, int height)
{
    image.create(height, width, CV_8UC3);
    const int level = (10 * k) % 250;
    image.setTo(cv::Scalar(level, level, level));
    const int side = std::max(1, std::min(width, height) / 4);
    image(cv::Rect(0, 0, side, side)).setTo(cv::Scalar(255, 0, 0));
    image(cv::Rect(width - side, 0, side, side)).setTo(cv::Scalar(0, 0, 255));
    if (width >= kStampWidth && height >= kStampHeight) StampFrameNumber(image, k);
}

class CSyntheticSource : public CFrameSource {
public:
    explicit CSyntheticSource(std::shared_ptr<SyntheticCamera> camera) : m_camera(std::move(camera))
    {
    }
    bool IsOpened() const override { return m_camera->opens && !m_released; }
    bool Set(int property, double value) override
    {
        if (property == cv::CAP_PROP_SETTINGS) {
            m_camera->settingsRequests.fetch_add(1);
            return false;
        }
        m_camera->sets.emplace_back(property, value);
        return true;
    }
    double Get(int property) const override
    {
        switch (property) {
            case cv::CAP_PROP_FPS:
                return m_camera->reportedFps;
            case cv::CAP_PROP_FRAME_WIDTH:
                return m_camera->reportedWidth >= 0 ? m_camera->reportedWidth : m_camera->width;
            case cv::CAP_PROP_FRAME_HEIGHT:
                return m_camera->reportedHeight >= 0 ? m_camera->reportedHeight : m_camera->height;
            default:
                return 0.0;
        }
    }
    bool Grab() override
    {
        SyntheticCamera& camera = *m_camera;
        if (camera.deliverFps > 0.0) WaitForNextFrame(camera);
        {
            std::lock_guard<std::mutex> lock(camera.mutex);
            camera.grabs.fetch_add(1);
            camera.changed.notify_all();
        }
        const int delivered = camera.delivered.load();
        if (camera.hangAfter >= 0 && delivered >= camera.hangAfter) {
            std::unique_lock<std::mutex> lock(camera.mutex);
            camera.hanging = true;
            camera.changed.notify_all();
            camera.changed.wait(lock, [&] { return camera.unblocked; });
            camera.hanging = false;
            return false;
        }
        if (camera.failAfter >= 0 && delivered >= camera.failAfter) return false;
        return true;
    }
    bool Retrieve(cv::Mat& image) override
    {
        const int k = m_camera->delivered.fetch_add(1);
        if (m_camera->draw)
            m_camera->draw(image, k);
        else
            FillFrame(image, k, m_camera->width, m_camera->height);
        return true;
    }
    void Release() override { m_released = true; }

private:
    // Frame k of the camera comes at k / deliverFps after its first; a pause moves the
    // later ones on.
    void WaitForNextFrame(SyntheticCamera& camera)
    {
        using Clock = std::chrono::steady_clock;
        const auto period = std::chrono::duration<double, std::micro>(1.0e6 / camera.deliverFps);
        const auto now = Clock::now();
        if (!m_hasStart) {
            m_next = now;
            m_hasStart = true;
        }
        if (camera.pauseAfter >= 0 && camera.delivered.load() >= camera.pauseAfter) {
            camera.pauseAfter = -1;
            camera.paused = true;
            // From this grab on, however late it came: the whole pause goes by without
            // a frame on a loaded machine too.
            m_next = std::max(m_next, now) + std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double, std::micro>(camera.pauseUs));
        }
        if (m_next > now) std::this_thread::sleep_until(m_next);  // the camera's own pace
        camera.paused = false;
        m_next = std::max(m_next, Clock::now() - std::chrono::duration_cast<Clock::duration>(period)) +
                 std::chrono::duration_cast<Clock::duration>(period);
    }

    std::shared_ptr<SyntheticCamera> m_camera;
    bool m_released = false;
    bool m_hasStart = false;
    std::chrono::steady_clock::time_point m_next;
};

// A camera device on a clock the test sets, for steps run by the test itself.
class CClockedVideoDevice : public CVideoDevice {
public:
    using CVideoDevice::CVideoDevice;
    void SetClockUs(double us) { m_nowUs = m_grabStartUs = us; }
    double ClockUs() const { return m_nowUs; }
    // One grab at the given time, when the camera's frame comes: the grab began half a
    // period before and slept until then, as a camera makes it.
    void GrabAt(double us)
    {
        m_nowUs = us;
        m_grabStartUs = us - 0.5e6 / std::max(GetRate(), 1.0);
        GrabFrame();
    }

protected:
    double ReadProgramClockUs() override { return std::exchange(m_grabStartUs, m_nowUs); }
    int64_t ReadThreadSleeps() override { return ++m_sleeps; }

private:
    double m_nowUs = 0.0;
    double m_grabStartUs = 0.0;  // the next reading, then the clock's
    int64_t m_sleeps = 0;
};

// A view sink that keeps the last frame and counts frames and detaches.
class CRecordingViewSink : public CVideoViewSink {
public:
    void SetImage(const cv::Mat& image) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        image.copyTo(m_last);
        ++m_frames;
        m_changed.notify_all();
    }
    void DetachDevice() override { m_detached.fetch_add(1); }

    bool WaitForFrames(int count, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_frames >= count; });
    }
    int Frames()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames;
    }
    cv::Mat Last()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_last.clone();
    }
    int Detached() const { return m_detached.load(); }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    cv::Mat m_last;
    int m_frames = 0;
    std::atomic<int> m_detached{0};
};

class CStopRequestOwner : public CDeviceOwner {
public:
    void SetErrorMessage(const wxString&, bool) override {}
    void AppendMessage(const wxString&) override {}
    void RequestCaptureStop() override
    {
        m_requests.fetch_add(1);
        CDeviceOwner::RequestCaptureStop();
    }
    int Requests() const { return m_requests.load(); }

private:
    std::atomic<int> m_requests{0};
};

// Installs a factory for the cameras of a test and restores the default afterwards.
class CCameraFactoryScope {
public:
    explicit CCameraFactoryScope(FrameSourceFactory factory)
    {
        CVideoDevice::SetSourceFactory(std::move(factory));
        CVideoDevice::ResetCameraProbe();
    }
    ~CCameraFactoryScope()
    {
        CVideoDevice::SetSourceFactory(FrameSourceFactory());
        CVideoDevice::ResetCameraProbe();
    }
    CCameraFactoryScope(const CCameraFactoryScope&) = delete;
    CCameraFactoryScope& operator=(const CCameraFactoryScope&) = delete;
};

// count synthetic cameras sharing one behaviour; index count and above do not open.
inline FrameSourceFactory SyntheticCameras(std::shared_ptr<SyntheticCamera> camera, int count)
{
    return [camera, count](int index) -> std::unique_ptr<CFrameSource> {
        auto closed = std::make_shared<SyntheticCamera>();
        closed->opens = false;
        return std::make_unique<CSyntheticSource>(index < count ? camera : closed);
    };
}

// Writes a video file of count frames (FillFrame) through the FFMPEG back end.
inline bool WriteTestVideo(const std::string& path, int count, int width, int height, double fps)
{
    std::unique_ptr<CVideoWriterIo> writer = NewVideoWriter();
    if (writer == nullptr ||
        !writer->Open(path, cv::CAP_FFMPEG, VideoFourcc('m', 'p', '4', 'v'), fps, width, height, true))
        return false;
    cv::Mat frame;
    for (int k = 0; k < count; ++k) {
        FillFrame(frame, k, width, height);
        writer->Write(frame);
    }
    writer->Release();
    return true;
}

// Frames and size of a video file, read through.
struct VideoFacts {
    int frames = 0;
    int width = 0;
    int height = 0;
    std::vector<double> levels;  // mean of the centre of each frame (blue channel)
    std::vector<int> numbers;    // the number each frame carries (large frames)
    double fps = 0.0;            // the frame rate the file states
};

inline VideoFacts ReadTestVideo(const std::string& path)
{
    VideoFacts facts;
    std::unique_ptr<CVideoCaptureIo> capture = OpenVideoCapture(path, cv::CAP_FFMPEG);
    if (capture == nullptr || !capture->IsOpened()) return facts;
    facts.fps = capture->Get(cv::CAP_PROP_FPS);
    cv::Mat frame;
    while (capture->Read(frame)) {
        if (frame.cols >= kStampWidth && frame.rows >= kStampHeight)
            facts.numbers.push_back(ReadFrameNumber(frame));
        ++facts.frames;
        facts.width = frame.cols;
        facts.height = frame.rows;
        const cv::Rect centre(frame.cols / 4, frame.rows / 2, frame.cols / 2, frame.rows / 4);
        facts.levels.push_back(cv::mean(frame(centre))[0]);
    }
    return facts;
}
