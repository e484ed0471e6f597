#pragma once

#include <wx/string.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <opencv2/core/mat.hpp>
#include <string>
#include <vector>

#include "analog/analogDevice.h"
#include "process/lockMutex.h"
#include "process/messageQueue.h"
#include "video/frameSource.h"
#include "video/videoFile.h"
#include "video/videoFinisher.h"

class CDeviceOwner;
class CVideoViewSink;

wxString GetOpenCVVersion();

// One camera, opened through OpenCV by its index, as a device: its acquisition thread
// grabs the frames as the camera delivers them, measures the real frame rate, hands each
// frame to its view and writes it to a video file while a capture runs, keeping the
// video's time that of the trial. It carries no channel values and no channel recorder. Owned by the main frame; linked (not owning) to its view and to the window
// that takes its stop-capture request.
// Threads: construction, the recording hooks, CloseCamera, SetVideoView, SetParentWindow,
// LoadHandPoseNet, ShowCameraSettings and the statics: GUI thread. AcquireStep and
// GrabFrame: the acquisition thread. Getters: any thread.
class CVideoDevice : public CAnalogDevice {
public:
    // Opens camera index (see IsCameraOpened: the caller deletes a device that failed).
    CVideoDevice(int index, int width, int height, int fps, bool synchronised);
    ~CVideoDevice() override;

    static constexpr int kMaxCameras = 32;
    static constexpr int kDeviceType = 9;

    // Number of cameras, probed once per process.
    static int GetCameraCount();
    static bool IsCameraAvailable(int index);
    // Lowest free camera index, or -1.
    static int FindFreeCamera();
    // Where the probe and OpenCamera get sources from; an empty factory restores the
    // OpenCV capture by index. With ResetCameraProbe, the next query probes again.
    static void SetSourceFactory(FrameSourceFactory factory);
    static void ResetCameraProbe();

    // Overrides of the device base.
    void Close() override;
    // The grab waits for the camera's own next frame: the camera paces itself and stays
    // out of the synchronised group, whose other members it would otherwise hold up.
    bool IsSynchronised() const override { return false; }
    bool Process(bool tick, bool running) override;
    bool CheckClock() override;
    double GetNextSampleDueUs() override;
    double GetSampleTime() const override;
    void AcquireStep() override;
    bool IsReady() const override { return m_opened.load(); }
    wxString GetInfo() override;
    // The video's own duration: its frames at its frame rate.
    double GetRecordTime() const override;
    bool IsRecording() const override { return m_recording.load(); }
    bool StartRecording() override;
    bool FinishRecording() override;
    bool StopRecording() override;
    // Creates folder/captureName_cam_<index + 1>_<trial>.mov; the other arguments are
    // those of the channel recorders and unused here.
    bool SetupWriter(const wxString& folder, const wxString& captureName, int trial,
                     bool exportText, const wxString& exportFolder, bool useThread, int queueDepth,
                     int priority) override;
    wxString GetWriterFileName() const override;
    // GUI thread, after FinishRecording: the video's end is still being written in the
    // background; it is said saved once it is closed and on the disk.
    bool IsVideoFinishing() const { return m_videoFinishing.load(); }
    // A trial runs for this camera, whether or not it still places images (its time limit
    // reached, its disk full).
    bool IsRunOpen() const { return m_runOpen.load(); }
    wxString GetRecordingError() const override;
    // After FinishRecording: what the video's saving is said with when it may not all be
    // on disk; empty for a whole one. Any thread.
    wxString GetEndNote() const;
    void SetRecordDuration(double seconds) override { m_recordDuration.store(seconds); }
    // Frames of the video so far, the image waiting for its slot included.
    int64_t GetRecordedFrames() const override
    {
        return m_recordedFrames.load() + (m_pendingImage.load() >= 0 ? 1 : 0);
    }
    // GUI thread, after StartRecording: the trial's start instant (program time, us), the
    // time of the video's first slot; each image goes to the slot of the time it was taken
    // from there on. StartRecording sets it to its own time; once a slot is written it
    // stays.
    void SetRecordStart(double programUs) override;
    // GUI thread, before StartRecording: the recording's start instant comes later, with
    // SetRecordStart. Until then no image is placed; the last one taken waits for it.
    void AwaitRecordStart();
    // GUI thread: the trial's stop instant; images taken from then on are not placed and
    // the video ends there.
    void SetRecordStop(double programUs) override;
    // GUI thread: no image is placed while the hold lives (one grabbed meanwhile is timed
    // when placed, after it), so that the trial's stop instant can be taken and set
    // (SetRecordStopHeld) with every device's frames held: no image placed before the
    // instant is taken is past it, none placed after is before it.
    std::unique_ptr<CMutexLock> HoldImages();
    // SetRecordStop, with the images held.
    void SetRecordStopHeld(double programUs) { m_recordStopUs = programUs; }
    // SetRecordStart, with the images held: while the run waits for its instant the newest
    // image replaces the one before it, so the instant is taken and set in one hold.
    void SetRecordStartHeld(double programUs);
    double GetRecordStart() const;

    virtual bool IsCameraOpened() const { return m_opened.load(); }
    // Null unties the view; the view must untie itself before it is destroyed.
    virtual void SetVideoView(CVideoViewSink* view);
    virtual void SetParentWindow(CDeviceOwner* owner) { SetOwner(owner); }
    virtual CVideoViewSink* GetVideoView() const { return m_view.load(); }
    virtual int GetImageWidth() const { return m_imageWidth.load(); }
    virtual int GetImageHeight() const { return m_imageHeight.load(); }
    virtual bool IsFrameRateKnown() const { return m_rateKnown.load(); }
    virtual bool HasWriter() const { return m_hasWriter.load(); }
    virtual void CloseCamera();
    virtual float GetCameraFps() const { return m_cameraFps.load(); }
    // Asks the driver for its settings dialog (between two grabs).
    virtual void ShowCameraSettings();
    // Reads folder/hand/pose_deploy.prototxt and folder/hand/pose_iter_102000.caffemodel
    // into this camera's network slot; a missing or bad model is reported and leaves the
    // overlay off. Returns whether a network is loaded for this camera.
    virtual bool LoadHandPoseNet(const wxString& folder);
    virtual void ReleaseHook() {}
    virtual bool OpenCamera(int index, int width, int height, int fps);
    virtual void GrabFrame();

    // Why the camera did not open (empty when it did).
    wxString GetOpenError() const { return m_openError; }
    int GetCameraIndex() const { return m_cameraIndex.load(); }
    // Any thread: grabs that brought no image, frames the video file refused (another
    // size than the file's, or a write failure), frames the display skipped.
    int64_t GetMissedGrabs() const { return m_missedGrabs.load(); }
    int64_t GetUnwrittenFrames() const { return m_unwrittenFrames.load(); }
    // Any thread: frames of the current (or last) video that the camera did not deliver
    // in time, filled with the image before them.
    int64_t GetMissingFrames() const { return m_missingFrames.load(); }
    // Any thread: of those, copies of the first image, which came late.
    int64_t GetLeadingFrames() const { return m_leadingFrames.load(); }
    // Any thread: images that came faster than the video's rate, each giving its place to
    // the next one.
    int64_t GetDroppedFrames() const { return m_droppedFrames.load(); }
    // Any thread: frames stopped coming for longer than the stall time.
    bool IsStalled() const { return m_stalled.load(); }
    // No frame for this long (or five frame periods, if longer) is a stall.
    static constexpr double kStallUs = 1.0e6;
    // A video ends, readable, when less than this (plus what its frames need) is left.
    static constexpr int64_t kVideoReserveBytes = 4 << 20;

protected:
    // Acquisition thread: times the thread slept (voluntary context switches: it waited
    // for a device, a lock or a timer) rather than being held up by other threads; -1
    // when the system cannot say.
    virtual int64_t ReadThreadSleeps();

private:
    // Acquisition thread: the source for one grab, or null; EndGrab hands it back and
    // releases it when CloseCamera came meanwhile.
    CFrameSource* BeginGrab();
    void EndGrab();
    void NoteMissedGrab(double nowUs);
    // Acquisition thread: when the next grab may start, from how this one went.
    void PaceNextGrab(double stated, double dueUs, double grabUs, double doneUs, bool hasSlept);
    // Under the data mutex: places the new image (m_images[index]) in the video's slot of
    // the time it was taken, writing the one before it and filling the slots the camera
    // left empty with it.
    void PlaceFrame(int index, double nowUs);
    // Under the data mutex: the video's time up to the image taken at nowUs; ends the
    // recording at its time limit.
    void NoteRecordTime(double nowUs);
    // Under the data mutex: the recording ends at its time limit.
    void EndAtLimit();
    // Under the data mutex: slots of a video that its time limit ends (the limit's own
    // slot the last).
    int64_t LimitSlots() const;
    // Under the data mutex: writes the waiting image into the slots up to endSlot (at
    // least its own); false when the video ended.
    bool CommitPending(int64_t endSlot);
    // Under the data mutex: image index as the video takes it (scaled to its size).
    const cv::Mat& VideoImage(int index) const
    {
        return m_isScaled[index] ? m_scaled[index] : m_images[index];
    }
    // Under the data mutex: count copies of image into the video; false when it ended.
    bool WriteImages(const cv::Mat& image, int64_t count);
    // Under the data mutex: ends the video early, readable, when the disk is nearly full.
    bool HasRoom();
    void MeasureRate();
    double SpanRate(double medianUs) const;  // 0 for medianUs: no stall is told
    void ResetRateWindow();
    // Any thread: a message for the "Errors" page, tagged with the camera.
    void Report(const wxString& text, Severity severity = Severity::Error);
    // Under the data mutex: finishes the video file; false when no readable video is left
    // of frames written to it. Says how many frames were missing.
    bool CloseVideo();
    // GUI thread, at a run's start: a prepared video whose rate or size is no longer the
    // camera's is made again, empty, under its name.
    void RemakeVideoIfChanged();
    // Opens a video writer; false with error set. Any thread, no lock needed.
    std::unique_ptr<CVideoWriterIo> OpenVideoWriter(const std::string& path, double fps, int width,
                                                    int height, const wxString& name,
                                                    wxString& error);
    // Under the data mutex: hands the video file over, with its counts, as no longer
    // this device's.
    VideoTail TakeVideo();
    // Under the data mutex: closes the video file and forgets it.
    void ReleaseWriter();

    std::atomic<bool> m_opened{false};
    std::atomic<bool> m_recording{false};  // frames go to the video
    std::atomic<bool> m_runOpen{false};    // a trial runs for this camera
    std::atomic<int> m_cameraIndex{-1};
    wxString m_openError;

    // The source and its hand-over between the acquisition thread and CloseCamera.
    std::mutex m_sourceMutex;  // leaf lock: guards the two fields below
    std::unique_ptr<CFrameSource> m_source;
    bool m_grabbing = false;
    std::atomic<bool> m_settingsRequested{false};

    // Guarded by the data mutex.
    std::unique_ptr<CVideoWriterIo> m_writer;
    wxString m_videoFileName;
    std::string m_videoPath;    // the same, for the file system
    std::string m_videoFolder;
    wxString m_recordingError;  // why the last video could not be set up, started or kept
    wxString m_endNote;         // the trial's video closed here
    bool m_videoEnded = false;  // the video ended early, its frames kept
    bool m_awaitStart = false;  // AwaitRecordStart came: the next StartRecording leaves it open
    bool m_startOpen = false;   // the run waits for SetRecordStart
    cv::Mat m_scaled[3];           // m_images[k] of another size, scaled to the video's
    bool m_isScaled[3] = {false, false, false};
    int64_t m_scaledImages = 0;    // of the current video
    int m_scaledWidth = 0;         // the size the first of them came at
    int m_scaledHeight = 0;
    int m_writerWidth = 0;
    int m_writerHeight = 0;
    double m_writerFps = 0.0;
    wxString m_modelFolder;
    double m_videoStartUs = 0.0;   // us of the program clock, the video's slot 0
    CVideoRoom m_room;             // kept on the disk for the video's next frame and index
    int64_t m_pendingSlot = -1;    // slot of the image not yet written
    bool m_pendingMoved = false;   // it went to the slot after its own
    double m_pendingTakenUs = 0.0;
    int64_t m_nextSlot = 0;        // the first slot not written
    double m_recordStopUs = -1.0;  // us of the program clock, the trial's stop; -1: none
    double m_firstLateSec = 0.0;   // how late the video's first image came
    std::atomic<CVideoViewSink*> m_view{nullptr};  // non-owning; set under the data mutex
    std::atomic<bool> m_hasWriter{false};
    std::atomic<bool> m_videoFinishing{false};  // handed to the finisher, not yet released
    // The grabbed frames: the acquisition thread retrieves into one that is neither the
    // last nor the one waiting for its slot, outside the data mutex, and makes it the last
    // under it. The waiting one is set by the acquisition thread and cleared by either.
    cv::Mat m_images[3];
    int m_lastImage = 0;
    std::atomic<int> m_pendingImage{-1};
    bool m_hasImage = false;

    std::atomic<int> m_imageWidth{0};
    std::atomic<int> m_imageHeight{0};
    std::atomic<float> m_cameraFps{0.0f};
    std::atomic<bool> m_rateKnown{false};
    std::atomic<int64_t> m_recordedFrames{0};
    std::atomic<int64_t> m_missingFrames{0};
    std::atomic<int64_t> m_leadingFrames{0};
    std::atomic<int64_t> m_droppedFrames{0};
    std::atomic<double> m_recordTime{0.0};      // ms
    std::atomic<double> m_frameTime{0.0};       // ms
    std::atomic<double> m_recordDuration{0.0};  // s, 0: no limit

    // Acquisition thread only.
    cv::Mat m_poseBlob;
    cv::Mat m_poseOutput;
    int m_windowLength = 0;
    int m_windowCount = 0;
    double m_windowStart = 0.0;      // us
    std::vector<double> m_intervals;  // of the window's frames, us; sized at open
    std::vector<double> m_intervalScratch;
    double m_firstFrameTime = -1.0;  // us
    double m_lastFrameTime = -1.0;   // us
    double m_nextGrabUs = 0.0;       // program time the next grab may start
    double m_lastGrabDoneUs = -1.0;  // program time the last image came
    int64_t m_waitingRun = 0;        // grabs in a row that found a frame waiting
    bool m_isFreeRunning = false;    // the source never makes a grab wait: its stated rate
    float m_measuredFps = 0.0f;      // the last window's rate, 0: none measured
    bool m_isWindowHeldUp = false;   // the machine held a grab of the window up past a period
    double m_stallUs = kStallUs;
    double m_reportedRate = 0.0;  // what the camera said at open, Hz
    std::atomic<bool> m_poseBusy{false};
    std::atomic<bool> m_poseLoaded{false};

    std::atomic<int64_t> m_missedGrabs{0};
    std::atomic<int64_t> m_unwrittenFrames{0};
    std::atomic<bool> m_stalled{false};
    std::string m_stallMessage;  // made at open: posting it needs no formatting
};
