#include "video/VideoDevice.h"

#include <sys/resource.h>
#include <unistd.h>
#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/log.h>
#include <wx/translation.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/core/version.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <utility>
#include <vector>

#include "process/deviceOwner.h"
#include "process/messageQueue.h"
#include "video/handPose.h"
#include "video/videoFile.h"
#include "video/videoFinisher.h"
#include "video/videoIo.h"
#include "video/videoViewSink.h"

namespace {

constexpr double kMjpg = 1196444237.0;  // four-character code "MJPG"

// The cameras of the process. Used by the GUI thread; the mutex keeps a test's factory
// swap and a probe apart.
struct CameraTable {
    std::mutex mutex;  // leaf lock
    int count = 0;
    bool probePending = true;
    std::array<uint8_t, CVideoDevice::kMaxCameras> inUse{};
    FrameSourceFactory factory;
};

CameraTable& Cameras()
{
    static CameraTable table;
    return table;
}

std::unique_ptr<CFrameSource> MakeSource(int index)
{
    FrameSourceFactory factory;
    {
        std::lock_guard<std::mutex> lock(Cameras().mutex);
        factory = Cameras().factory;
    }
    std::unique_ptr<CFrameSource> source;
    if (factory) source = factory(index);
    if (!factory || source == nullptr) source = std::make_unique<COpenCvFrameSource>(index);
    return source;
}

void SetInUse(int index, bool inUse)
{
    if (index < 0 || index >= CVideoDevice::kMaxCameras) return;
    std::lock_guard<std::mutex> lock(Cameras().mutex);
    Cameras().inUse[static_cast<size_t>(index)] = inUse ? 1 : 0;
}

// Repeats at a trial's end written at once; more are written in the background. A stop
// that falls between two frames leaves one.
constexpr int64_t kRepeatsAtOnce = 3;

bool IsUsableRate(double rate) { return std::isfinite(rate) && rate > 0.0; }

// A camera may deliver a little faster than it says: grabs may start 1.25 times as often
// as its rate (the stated or the measured one, the faster), so that none of its frames
// waits for one.
constexpr double kGrabSpacing = 0.8;
// A grab that took less than this share of the fastest spacing found a frame waiting: the camera
// delivers faster than the grabs come (faster than it says, or frames it held back), and
// the next grab starts at once, up to this many times the stated rate: a frame left
// waiting is one the camera drops when it makes more. Grabbing that fast catches up
// any backlog a camera's buffers hold within about a second; a source that never makes a
// grab wait (no camera: a file, a test pattern) is paced at its stated rate after that.
constexpr double kWaitingShare = 0.1;
constexpr double kFastestGrabs = 4.0;
constexpr double kLongestWaitingRunSec = 1.0;
constexpr int64_t kShortestWaitingRun = 8;
constexpr double kRunOutWaitShare = 0.5;
constexpr int64_t kFreeRunningRun = 16;
// Intervals this far from the window's median (as a share of it) are a gap in the delivery
// or frames the camera held back and delivered at once after it, not its rate.
constexpr double kIntervalSpread = 0.5;
// An interval below this share of the window's mean follows a frame held back.
constexpr double kHeldShare = 0.25;
// Rates this close (as a share) tell the same.
constexpr double kRateAgreement = 0.1;
// The frames after a gap that tell whether they make up for it.
constexpr size_t kStallCheckedFrames = 4;
// A prepared video whose rate is further than this share from the camera's at the
// trial's start is made again at the camera's.
constexpr double kRemakeShare = 0.03;
// An image taken in the last part of a slot that is taken already waits for the next one.
constexpr double kNextSlotShare = 0.5;

std::string NarrowName(const wxString& name)
{
    const wxCharBuffer narrow = name.fn_str();
    return narrow.data() != nullptr ? std::string(narrow.data()) : std::string();
}

// The video's frame rate as the MPEG-4 encoder takes it: its time base (the rate in steps
// of 1, 0.1, 0.01 or 0.001) must stay below 65536, or the file cannot be opened.
double VideoFileRate(double fps)
{
    double scale = 1000.0;
    while (scale > 1.0 && fps * scale > 65535.0) scale /= 10.0;
    return std::max(1.0, std::round(fps * scale)) / scale;
}

wxString MegaBytes(int64_t bytes)
{
    return wxString::Format("%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
}

// A frame size as a driver reports it; nonsense (negative, not a number) reads as unknown.
int ToSize(double value)
{
    return std::isfinite(value) && value > 0.0 && value < 1.0e6 ? static_cast<int>(value) : 0;
}

}  // namespace

wxString GetOpenCVVersion()
{
    return wxString::Format("OpenCV\t%d.%d.%d\n", CV_VERSION_MAJOR, CV_VERSION_MINOR,
                            CV_VERSION_REVISION);
}

// ---------------------------------------------------------------- cameras of the process

int CVideoDevice::GetCameraCount()
{
    {
        std::lock_guard<std::mutex> lock(Cameras().mutex);
        if (!Cameras().probePending) return Cameras().count;
    }
    int count = 0;
    bool allOpen = true;
    // The index past the last camera always fails to open; OpenCV would warn about it
    // on the error stream at every start.
    const cv::utils::logging::LogLevel logLevel =
        cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    for (int index = 0; index < kMaxCameras; ++index) {
        std::unique_ptr<CFrameSource> source = MakeSource(index);
        if (!source->IsOpened()) {
            count = index;
            allOpen = false;
            break;
        }
        source->Release();
    }
    cv::utils::logging::setLogLevel(logLevel);
    // A back end that opens any index tells nothing about real cameras.
    if (allOpen) count = 0;
    std::lock_guard<std::mutex> lock(Cameras().mutex);
    Cameras().inUse.fill(0);
    Cameras().probePending = false;
    Cameras().count = count;
    return count;
}

bool CVideoDevice::IsCameraAvailable(int index)
{
    const int count = GetCameraCount();
    std::lock_guard<std::mutex> lock(Cameras().mutex);
    return index >= 0 && index < count && Cameras().inUse[static_cast<size_t>(index)] == 0;
}

int CVideoDevice::FindFreeCamera()
{
    const int count = GetCameraCount();
    std::lock_guard<std::mutex> lock(Cameras().mutex);
    for (int index = 0; index < count; ++index)
        if (Cameras().inUse[static_cast<size_t>(index)] == 0) return index;
    return -1;
}

void CVideoDevice::SetSourceFactory(FrameSourceFactory factory)
{
    std::lock_guard<std::mutex> lock(Cameras().mutex);
    Cameras().factory = std::move(factory);
}

void CVideoDevice::ResetCameraProbe()
{
    std::lock_guard<std::mutex> lock(Cameras().mutex);
    Cameras().probePending = true;
}

// ---------------------------------------------------------------- construction

CVideoDevice::CVideoDevice(int index, int width, int height, int fps, bool synchronised)
    : CAnalogDevice(synchronised)
{
    m_configPath = "/Video/Camera";
    m_displayName = _("Camera");
    {
        std::lock_guard<std::mutex> lock(m_nameMutex);
        m_deviceKey = _("Camera");
    }
    m_deviceType = kDeviceType;
    // A camera writes videos: no channel recording, whose time would stand for the video's.
    SetRecorder(nullptr);
    m_cameraFps = static_cast<float>(fps);
    m_windowStart = GetProgramTime();
    if (!IsCameraAvailable(index)) {
        m_openError = wxString::Format(_("<CAM> camera %d is not available (%d found)"), index + 1,
                                       GetCameraCount());
        return;
    }
    if (!OpenCamera(index, width, height, fps)) {
        m_openError = wxString::Format(_("<CAM> camera %d could not be opened"), index + 1);
        return;
    }
    m_opened = true;
    SetInUse(index, true);
    m_ready = true;
    SetDeviceName(wxString::Format(_("Camera #%d"), index + 1));
    m_displayName = GetDeviceName();
    {
        std::lock_guard<std::mutex> lock(m_nameMutex);
        m_deviceKey = "Video input";
        m_devicePath = wxString::Format("Video input #%d", index + 1);
    }
    const wxCharBuffer stall = (GetDeviceName() + _(": no image from the camera")).utf8_str();
    m_stallMessage = std::string("<CAM> ") + (stall.data() != nullptr ? stall.data() : "");
    // The rate measurement spans about two seconds of frames. A camera that does not
    // say its rate is measured over the requested one, so it still learns its rate.
    const double reported = m_reportedRate;
    const double windowRate = IsUsableRate(reported) ? reported : static_cast<double>(fps);
    m_windowLength = IsUsableRate(windowRate) ? static_cast<int>(std::lround(2.0 * windowRate)) : 0;
    m_intervals.reserve(static_cast<size_t>(std::max(m_windowLength, 1)));
    m_intervalScratch.reserve(m_intervals.capacity());
    m_windowStart = GetProgramTime();
    m_windowCount = 0;
}

CVideoDevice::~CVideoDevice()
{
    // The acquisition thread ends before the source, writer and scratch images go.
    Close();
    StopRecording();
}

bool CVideoDevice::OpenCamera(int index, int width, int height, int fps)
{
    if (m_opened.load()) return false;
    m_cameraIndex = index;
    std::unique_ptr<CFrameSource> source = MakeSource(index);
    if (!source->IsOpened()) return false;
    source->Set(cv::CAP_PROP_FOURCC, kMjpg);
    source->Set(cv::CAP_PROP_FPS, fps);
    source->Set(cv::CAP_PROP_FRAME_WIDTH, width);
    source->Set(cv::CAP_PROP_FRAME_HEIGHT, height);
    m_imageWidth = ToSize(source->Get(cv::CAP_PROP_FRAME_WIDTH));
    m_imageHeight = ToSize(source->Get(cv::CAP_PROP_FRAME_HEIGHT));
    const double rate = source->Get(cv::CAP_PROP_FPS);
    m_reportedRate = rate;
    // Paced at the reported rate; a camera that reports none at the requested one.
    if (IsUsableRate(rate))
        m_rate = rate;
    else if (fps > 0)
        m_rate = static_cast<double>(fps);
    m_stallUs = std::max(kStallUs, 5.0e6 / m_rate.load());
    std::lock_guard<std::mutex> lock(m_sourceMutex);
    m_source = std::move(source);
    return true;
}

// ---------------------------------------------------------------- closing

void CVideoDevice::CloseCamera()
{
    if (!m_opened.load()) return;
    ReleaseHook();
    std::unique_ptr<CFrameSource> source;
    {
        // A grab in progress keeps its source; EndGrab releases it when the grab returns,
        // so a camera that hangs never holds up this thread.
        std::lock_guard<std::mutex> lock(m_sourceMutex);
        m_opened = false;
        if (!m_grabbing) source = std::move(m_source);
    }
    {
        CMutexLock lock(&m_dataMutex);
        CVideoViewSink* view = m_view.exchange(nullptr);
        if (view != nullptr) view->DetachDevice();
        m_recording = false;
        m_runOpen = false;
        ReleaseWriter();
    }
    if (source != nullptr) source->Release();
    m_imageWidth = 0;
    m_imageHeight = 0;
    SetInUse(m_cameraIndex.load(), false);
}

void CVideoDevice::Close()
{
    if (m_opened.load()) CloseCamera();
    CAnalogDevice::Close();
}

void CVideoDevice::SetVideoView(CVideoViewSink* view)
{
    // The grab step hands frames over under this lock: no frame reaches a view being untied.
    CMutexLock lock(&m_dataMutex);
    m_view = view;
}

void CVideoDevice::ShowCameraSettings()
{
    // The capture object is not thread-safe: the acquisition thread asks between grabs.
    if (m_opened.load()) m_settingsRequested = true;
}

bool CVideoDevice::LoadHandPoseNet(const wxString& folder)
{
    if (folder.empty()) {
        CMutexLock lock(&m_dataMutex);
        m_modelFolder.clear();
        return m_poseLoaded.load();
    }
    if (!m_opened.load()) {
        Report(_("the hand-pose network needs an open camera"));
        return m_poseLoaded.load();
    }
    // Read outside the data mutex: a large model must not stall the frames.
    cv::dnn::Net net;
    wxString error;
    const bool isRead = handpose::Read(folder, net, error);
    CMutexLock lock(&m_dataMutex);
    m_modelFolder = folder;
    if (isRead && handpose::Install(m_cameraIndex.load(), net))
        m_poseLoaded = true;
    else if (!isRead)
        Report(error);
    return m_poseLoaded.load();
}

// ---------------------------------------------------------------- recording

bool CVideoDevice::SetupWriter(const wxString& folder, const wxString& captureName, int trial, bool,
                               const wxString&, bool, int, int)
{
    int width = 0;
    int height = 0;
    {
        CMutexLock lock(&m_dataMutex);
        if (m_writer != nullptr) return false;
        m_recordingError.clear();
        if (!m_opened.load()) {
            m_recordingError = _("the camera is closed");
            return false;
        }
        if (!m_rateKnown.load()) {
            // The video's frame rate is the camera's measured one: about two seconds of
            // frames after the camera opens.
            m_recordingError = _("the camera has not measured its frame rate yet; try again "
                                 "once its picture runs");
            return false;
        }
        width = m_imageWidth.load();
        height = m_imageHeight.load();
    }
    const wxString name = folder + wxFileName::GetPathSeparator() + captureName +
                          wxString::Format("_cam_%d", m_cameraIndex.load() + 1) +
                          wxString::Format("_%.04d", trial) + ".mov";
    const std::string path = NarrowName(name);
    const std::string folderPath = NarrowName(folder);
    wxString error;
    if (wxFileExists(name)) {
        // A video of an earlier session under the same name stays as it is.
        error = _("Capture file already exists, it is not replaced : ") + name;
        Report(error);
    } else if (path.empty()) {
        error = _("the name cannot be written in the system's encoding: ") + name;
    } else {
        const int64_t room = VideoFileRoom(folderPath, path);
        if (room >= 0 && room < 2 * kVideoReserveBytes)
            error = wxString::Format(_("only %s left for %s"), MegaBytes(room), name);
    }
    std::unique_ptr<CVideoWriterIo> writer;
    const double fps = VideoFileRate(static_cast<double>(m_cameraFps.load()));
    if (error.empty()) writer = OpenVideoWriter(path, fps, width, height, name, error);
    CVideoRoom room;
    if (error.empty()) room = CVideoRoom(path, folderPath);
    CMutexLock lock(&m_dataMutex);
    if (!error.empty()) {
        m_recordingError = error;
        return false;
    }
    m_writer = std::move(writer);
    m_room = std::move(room);
    m_writerWidth = width;
    m_writerHeight = height;
    m_writerFps = fps;
    m_videoFileName = name;
    m_videoPath = path;
    m_videoFolder = folderPath;
    m_videoEnded = false;
    m_videoFinishing = false;
    m_recordedFrames = 0;
    m_missingFrames = 0;
    m_leadingFrames = 0;
    m_droppedFrames = 0;
    m_pendingSlot = -1;
    m_pendingImage = -1;
    m_nextSlot = 0;
    m_recordTime = 0.0;
    m_recording = false;
    m_hasWriter = true;
    return true;
}

std::unique_ptr<CVideoWriterIo> CVideoDevice::OpenVideoWriter(const std::string& path, double fps,
                                                             int width, int height,
                                                             const wxString& name, wxString& error)
{
    std::unique_ptr<CVideoWriterIo> writer = NewVideoWriter();
    try {
        if (writer != nullptr && width > 0 && height > 0)
            writer->Open(path, cv::CAP_FFMPEG, VideoFourcc('m', 'p', '4', 'v'), fps, width, height,
                         true);
    } catch (const std::exception& e) {
        Report(e.what());
    }
    bool isOpen = false;
    try {
        isOpen = writer != nullptr && writer->IsOpened();
    } catch (...) {
    }
    if (isOpen) return writer;
    error = _("Error creating video file : ") + name;
    wxLogError("%s", error);
    return nullptr;
}

void CVideoDevice::RemakeVideoIfChanged()
{
    std::unique_ptr<CVideoWriterIo> old;
    CVideoRoom oldRoom;
    std::string path;
    wxString name;
    double fps = 0.0;
    int width = 0;
    int height = 0;
    {
        CMutexLock lock(&m_dataMutex);
        if (m_writer == nullptr || m_runOpen.load() || m_recordedFrames.load() > 0) return;
        // The file was made when the trial before it stopped: the camera may have changed
        // its rate or size since.
        const double measured = VideoFileRate(static_cast<double>(m_cameraFps.load()));
        width = m_imageWidth.load();
        height = m_imageHeight.load();
        const bool isRateOff = m_rateKnown.load() && std::abs(measured - m_writerFps) > kRemakeShare * measured;
        const bool isSizeOff = width > 0 && height > 0 && (width != m_writerWidth || height != m_writerHeight);
        if (!isRateOff && !isSizeOff) return;
        fps = isRateOff ? measured : m_writerFps;
        if (!isSizeOff) {
            width = m_writerWidth;
            height = m_writerHeight;
        }
        path = m_videoPath;
        name = m_videoFileName;
        old = std::move(m_writer);
        oldRoom = std::move(m_room);
        m_hasWriter = false;
    }
    // Opening a video takes a while: the camera goes on meanwhile, nothing records.
    try {
        old->Release();
    } catch (...) {
    }
    oldRoom.Release();
    wxString error;
    std::unique_ptr<CVideoWriterIo> writer;
    if (::unlink(path.c_str()) == 0 || errno == ENOENT)
        writer = OpenVideoWriter(path, fps, width, height, name, error);
    else
        error = _("Error creating video file : ") + name;
    CVideoRoom room;
    if (writer != nullptr) room = CVideoRoom(path, m_videoFolder);
    CMutexLock lock(&m_dataMutex);
    if (writer == nullptr) {
        m_recordingError = error;
        m_videoFileName.clear();
        m_videoPath.clear();
        return;
    }
    m_writer = std::move(writer);
    m_room = std::move(room);
    m_writerFps = fps;
    m_writerWidth = width;
    m_writerHeight = height;
    m_hasWriter = true;
}

bool CVideoDevice::StartRecording()
{
    RemakeVideoIfChanged();
    CMutexLock lock(&m_dataMutex);
    if (m_writer == nullptr) {
        if (m_recordingError.empty()) m_recordingError = _("no video file is open for this trial");
        return false;
    }
    m_videoStartUs = ReadProgramClockUs();
    m_startOpen = std::exchange(m_awaitStart, false);
    m_recordStopUs = -1.0;
    m_pendingSlot = -1;
    m_pendingImage = -1;
    m_nextSlot = 0;
    m_endNote.clear();
    m_runOpen = true;
    m_recording = true;
    return true;
}

void CVideoDevice::AwaitRecordStart()
{
    CMutexLock lock(&m_dataMutex);
    m_awaitStart = true;
}

void CVideoDevice::SetRecordStart(double programUs)
{
    CMutexLock lock(&m_dataMutex);
    SetRecordStartHeld(programUs);
}

void CVideoDevice::SetRecordStartHeld(double programUs)
{
    m_awaitStart = false;
    m_startOpen = false;
    if (!m_runOpen.load() || m_nextSlot > 0 || m_writerFps <= 0.0) return;  // slots are written
    m_videoStartUs = programUs;
    if (m_pendingImage.load() < 0) return;
    // The first image waits for its slot: it takes the one of the new start.
    const double at = (m_pendingTakenUs - programUs) * m_writerFps / 1.0e6;
    if (at < 0.0) {
        m_pendingImage = -1;  // taken before the trial
        return;
    }
    m_pendingSlot = static_cast<int64_t>(std::floor(at));
    m_pendingMoved = false;
}

void CVideoDevice::SetRecordStop(double programUs)
{
    CMutexLock lock(&m_dataMutex);
    m_recordStopUs = programUs;
}

std::unique_ptr<CMutexLock> CVideoDevice::HoldImages()
{
    return std::make_unique<CMutexLock>(&m_dataMutex);
}

double CVideoDevice::GetRecordStart() const
{
    // Taking the lock changes nothing of the device.
    CMutexLock lock(const_cast<MutexHandle*>(&m_dataMutex));
    return m_videoStartUs;
}

bool CVideoDevice::FinishRecording()
{
    CMutexLock lock(&m_dataMutex);
    const bool wasRunning = m_runOpen.exchange(false);
    m_recording = false;  // no image is placed from here on
    m_startOpen = false;  // never set: the run counts from its StartRecording
    // The waiting image stays one the acquisition thread keeps clear of until written.
    const int pending = m_pendingImage.load();
    if (m_writer == nullptr) {
        m_pendingImage = -1;
        return m_videoEnded;  // ended early: what it holds is kept
    }
    if (wasRunning && m_recordedFrames.load() == 0 && pending < 0) {
        CloseVideo();
        m_recordingError = _("no image came from the camera during the trial: there is no video");
        Report(m_recordingError);
        return false;
    }
    if (pending < 0) return CloseVideo();
    // The video lasts as long as the trial (within its time limit): a camera that stopped
    // delivering before the trial's end leaves its last image repeated up to it.
    double endUs = ReadProgramClockUs();
    if (m_recordStopUs >= 0.0) endUs = std::min(endUs, m_recordStopUs);
    const double duration = m_recordDuration.load();
    const double limitUs = m_videoStartUs + duration * 1.0e6;
    if (duration > 0.0) endUs = std::min(endUs, limitUs);
    const double periodUs = 1.0e6 / m_writerFps;
    // Ended by its time limit, the video ends with the slot the limit falls in.
    const bool isLimitEnd = duration > 0.0 && endUs >= limitUs;
    const int64_t trialSlots = isLimitEnd ? LimitSlots()
                                          : std::llround((endUs - m_videoStartUs) / periodUs);
    // Ended by the trial's stop, the video has the trial's slots, not one more: an image
    // taken in the part of a slot the rounding leaves out has no place.
    const bool isStopEnd = (m_recordStopUs >= 0.0 && endUs >= m_recordStopUs) || isLimitEnd;
    if (m_pendingSlot >= trialSlots && m_nextSlot >= trialSlots && m_nextSlot > 0 &&
        (m_pendingMoved || isStopEnd)) {
        // Moved past the trial's end for want of a slot: the trial's last slot has its image.
        if (m_pendingMoved) m_droppedFrames.fetch_add(1);
        m_pendingImage = -1;
        return CloseVideo();
    }
    const int64_t endSlot = isStopEnd ? std::min(m_pendingSlot + 1, trialSlots) : m_pendingSlot + 1;
    if (!CommitPending(endSlot)) return m_videoEnded;
    const int64_t missing = trialSlots - m_nextSlot;
    const cv::Mat& last = VideoImage(pending);
    if (missing <= kRepeatsAtOnce) {
        if (missing > 0 && WriteImages(last, missing)) m_missingFrames.fetch_add(missing);
        m_pendingImage = -1;
        return CloseVideo();
    }
    // Each repeat is an encoding (about 5 ms at 1280x720): a long hang would freeze the
    // window for seconds. The video's end is written and closed in the background; the
    // file's own counts are known now.
    VideoTail video = TakeVideo();
    video.image = last.clone();
    m_pendingImage = -1;
    video.count = missing;
    video.missing += missing;
    m_missingFrames.fetch_add(missing);
    m_recordedFrames.fetch_add(missing);
    m_videoFinishing = true;
    CVideoFinisher::Instance().Add(std::move(video));
    return true;
}

// False even when a file was closed: callers treat a camera's stop as nothing to report.
bool CVideoDevice::StopRecording()
{
    if (!m_hasWriter.load() && m_videoFileName.empty()) return false;
    if (m_runOpen.load()) FinishRecording();
    m_recording = false;
    CMutexLock lock(&m_dataMutex);
    m_runOpen = false;
    ReleaseWriter();
    return false;
}

VideoTail CVideoDevice::TakeVideo()
{
    VideoTail video;
    video.writer = std::move(m_writer);
    m_hasWriter = false;
    video.name = m_videoFileName;
    video.path = m_videoPath;
    video.folder = m_videoFolder;
    video.tag = "<CAM> " + GetDeviceName() + ": ";
    video.fps = m_writerFps;
    video.frames = m_recordedFrames.load();
    video.missing = m_missingFrames.load();
    video.leading = m_leadingFrames.load();
    video.firstLateSec = m_firstLateSec;
    video.dropped = m_droppedFrames.load();
    video.unwritten = m_unwrittenFrames.exchange(0);
    video.scaled = std::exchange(m_scaledImages, 0);
    video.scaledWidth = m_scaledWidth;
    video.scaledHeight = m_scaledHeight;
    video.width = m_writerWidth;
    video.height = m_writerHeight;
    video.reserve = kVideoReserveBytes;
    video.room = std::move(m_room);
    return video;
}

bool CVideoDevice::CloseVideo()
{
    // The image waiting for its slot is the video's last.
    if (m_writer != nullptr) CommitPending(m_pendingSlot + 1);
    m_pendingImage = -1;
    if (m_writer == nullptr) return m_videoEnded;
    VideoTail video = TakeVideo();
    wxString error;
    const bool isKept = CloseVideoFile(video, &error);
    m_endNote = video.endNote;
    if (isKept) return true;
    m_recordingError = error;
    m_recordedFrames = 0;
    m_recordTime = 0.0;
    return false;
}

void CVideoDevice::ReleaseWriter()
{
    CloseVideo();
    m_videoFileName.clear();
    m_videoPath.clear();
    m_videoEnded = false;
    m_videoFinishing = false;
}

void CVideoDevice::Report(const wxString& text, Severity severity)
{
    g_messages.Post(severity, "<CAM> " + GetDeviceName() + ": " + text);
}

wxString CVideoDevice::GetWriterFileName() const { return m_videoFileName; }

wxString CVideoDevice::GetEndNote() const
{
    CMutexLock lock(const_cast<MutexHandle*>(&m_dataMutex));
    return m_endNote;
}

wxString CVideoDevice::GetRecordingError() const
{
    // Taking the lock changes nothing of the device.
    CMutexLock lock(const_cast<MutexHandle*>(&m_dataMutex));
    return m_recordingError;
}

double CVideoDevice::GetRecordTime() const
{
    const double fps = m_writerFps;
    const int64_t frames = GetRecordedFrames();
    return fps > 0.0 ? static_cast<double>(frames) / fps : m_recordTime.load() / 1000.0;
}

double CVideoDevice::GetSampleTime() const { return m_frameTime.load() / 1000.0; }

wxString CVideoDevice::GetInfo()
{
    if (!m_opened.load()) return wxString();
    return wxString::Format("%s\n%dx%d", m_displayName, m_imageWidth.load(), m_imageHeight.load());
}

// ---------------------------------------------------------------- acquisition thread

bool CVideoDevice::Process(bool tick, bool running)
{
    if (!running) {
        // A stopped camera shows its last image; nothing is grabbed. The pause must not
        // count in the rate, which the next video file is written at.
        ResetRateWindow();
        return false;
    }
    if (IsTimeToSample(tick)) AcquireStep();
    return false;
}

bool CVideoDevice::CheckClock()
{
    const double nowUs = ReadProgramClockUs();
    m_elapsedTime = (nowUs - m_clockStart) / 1.0e6;
    return nowUs >= m_nextGrabUs;
}

double CVideoDevice::GetNextSampleDueUs() { return m_nextGrabUs; }

void CVideoDevice::AcquireStep() { GrabFrame(); }

int64_t CVideoDevice::ReadThreadSleeps()
{
    struct rusage usage {};
    if (::getrusage(RUSAGE_THREAD, &usage) != 0) return -1;
    return static_cast<int64_t>(usage.ru_nvcsw);
}

CFrameSource* CVideoDevice::BeginGrab()
{
    std::lock_guard<std::mutex> lock(m_sourceMutex);
    if (!m_opened.load() || m_source == nullptr) return nullptr;
    m_grabbing = true;
    return m_source.get();
}

void CVideoDevice::EndGrab()
{
    std::unique_ptr<CFrameSource> closed;
    {
        std::lock_guard<std::mutex> lock(m_sourceMutex);
        m_grabbing = false;
        if (!m_opened.load()) closed = std::move(m_source);
    }
    if (closed != nullptr) closed->Release();
}

// The grab itself runs without the data mutex, so that a camera that stops delivering
// never holds up the GUI thread's recording and closing calls.
void CVideoDevice::GrabFrame()
{
    CFrameSource* source = BeginGrab();
    if (source == nullptr) return;
    const double stated = m_rate.load();
    const double periodUs = IsUsableRate(stated) ? 1.0e6 / stated : 0.0;
    const double dueUs = m_nextGrabUs;
    const double grabUs = ReadProgramClockUs();
    m_nextGrabUs = grabUs + kGrabSpacing * periodUs;
    if (m_settingsRequested.exchange(false)) source->Set(cv::CAP_PROP_SETTINGS, 0);
    // Only this thread changes which image is the last one or sets the waiting one.
    int index = 0;
    const int waiting = m_pendingImage.load();
    while (index == m_lastImage || index == waiting) ++index;
    cv::Mat& image = m_images[index];
    const int64_t sleepsBefore = ReadThreadSleeps();
    const bool hasFrame = source->Grab();
    const double doneUs = ReadProgramClockUs();  // the frame came: decoding it is not waiting
    const bool hasSlept = sleepsBefore < 0 || ReadThreadSleeps() != sleepsBefore;
    // Held past a period in a grab it never slept in: the machine held the thread, and the
    // camera's buffers may have lost frames meanwhile.
    if (periodUs > 0.0 && !hasSlept && doneUs - grabUs > periodUs) m_isWindowHeldUp = true;
    const bool isGrabbed = hasFrame && source->Retrieve(image);
    EndGrab();
    if (isGrabbed && IsUsableRate(stated)) PaceNextGrab(stated, dueUs, grabUs, doneUs, hasSlept);
    if (!isGrabbed || image.cols < 1 || image.rows < 1) {
        NoteMissedGrab(ReadProgramClockUs());
        return;
    }
    CMutexLock lock(&m_dataMutex);
    if (!m_opened.load()) return;  // closed during the grab
    const double now = ReadProgramClockUs();
    if (m_firstFrameTime < 0.0) m_firstFrameTime = now;
    if (m_windowCount == 0) m_windowStart = now;
    else if (m_intervals.size() < m_intervals.capacity()) m_intervals.push_back(now - m_lastFrameTime);
    ++m_windowCount;
    m_frameTime = (now - m_firstFrameTime) / 1000.0;
    m_lastFrameTime = now;
    m_stalled = false;
    // Sizes follow the frames: a camera may deliver another size than it reported.
    if (image.cols != m_imageWidth.load()) m_imageWidth = image.cols;
    if (image.rows != m_imageHeight.load()) m_imageHeight = image.rows;
    if (m_recording.load() && m_writer != nullptr) PlaceFrame(index, now);
    m_lastImage = index;
    m_hasImage = true;
    // After the file write: the video holds the camera's frames, only the display the
    // skeleton. Not while recording: a network pass takes longer than a frame, and the
    // recording must not lose frames to the overlay.
    if (m_poseLoaded.load() && !m_recording.load() && !m_poseBusy.exchange(true)) {
        handpose::Run(m_cameraIndex.load(), image, m_poseBlob, m_poseOutput);
        m_poseBusy = false;
    }
    CVideoViewSink* view = m_view.load();
    if (view != nullptr) view->SetImage(image);
    MeasureRate();
}

void CVideoDevice::PaceNextGrab(double stated, double dueUs, double grabUs, double doneUs,
                                bool hasSlept)
{
    // The next grab comes before the camera's next frame: a period as the camera delivers
    // now (the time since its last image, when the grab waited for it and that is shorter
    // than the stated one) after this one.
    const double periodUs = 1.0e6 / stated;
    const double fastestUs = 1.0e6 / (kFastestGrabs * stated);
    const double blockedUs = doneUs - grabUs;
    // A grab that never slept found its frame waiting, however long a busy machine held
    // the thread meanwhile: only a grab that slept waited for the camera.
    const bool wasWaiting = blockedUs < kWaitingShare * fastestUs || !hasSlept;
    const auto longestRun = std::max(
        kShortestWaitingRun, static_cast<int64_t>(kLongestWaitingRunSec * kFastestGrabs * stated));
    // A source whose run ran out never makes a grab wait; a grab that slept half a period
    // for its frame says it is a camera after all.
    const bool hasRunOut = m_waitingRun > longestRun;
    if (wasWaiting) {
        if (++m_waitingRun == std::min(kFreeRunningRun, longestRun + 1)) {
            // More frames found waiting than a camera's buffers hold: a source that never
            // makes a grab wait (a file, a test pattern) has the rate it states, and the
            // grabs' own times (the catch-up's, or a busy machine's) are not its rate.
            m_isFreeRunning = true;
            ResetRateWindow();
            m_cameraFps = static_cast<float>(stated);
            m_rateKnown = true;
        }
    } else if (!hasRunOut || blockedUs >= kRunOutWaitShare * periodUs) {
        // A camera after all: the frames found waiting were a thread a busy machine held
        // up. Its rate is the one measured before, until a window measures it again.
        if (m_isFreeRunning && m_measuredFps > 0.0f) m_cameraFps = m_measuredFps;
        m_isFreeRunning = false;
        m_waitingRun = 0;
    }
    double nextPeriodUs = periodUs;
    if (!wasWaiting && !hasRunOut && m_lastGrabDoneUs >= 0.0)
        nextPeriodUs = std::min(periodUs, doneUs - m_lastGrabDoneUs);
    m_lastGrabDoneUs = doneUs;
    if (wasWaiting && m_waitingRun <= longestRun)
        m_nextGrabUs = grabUs + fastestUs;
    else if (!wasWaiting)
        m_nextGrabUs = doneUs + std::max(fastestUs, kGrabSpacing * nextPeriodUs);
    else  // at its stated rate, on a schedule of its own; a grab held past a period starts it anew
        m_nextGrabUs = grabUs - dueUs < periodUs ? dueUs + periodUs : grabUs + periodUs;
}

void CVideoDevice::PlaceFrame(int index, double nowUs)
{
    // After the trial's stop: neither written nor counted as scaled or unwritten.
    if (m_recordStopUs >= 0.0 && nowUs >= m_recordStopUs) return;
    const cv::Mat& image = m_images[index];
    if (image.type() != CV_8UC3) {
        m_unwrittenFrames.fetch_add(1);
        return;
    }
    m_isScaled[index] = image.cols != m_writerWidth || image.rows != m_writerHeight;
    if (m_isScaled[index]) {
        // The camera changed its size: the video keeps its own, and the image's content,
        // scaled as the view shows it, into a buffer of the image's own kept for it.
        if (m_scaledImages++ == 0) {
            m_scaledWidth = image.cols;
            m_scaledHeight = image.rows;
        }
        try {
            cv::resize(image, m_scaled[index], cv::Size(m_writerWidth, m_writerHeight), 0, 0,
                       cv::INTER_AREA);
        } catch (...) {
            m_unwrittenFrames.fetch_add(1);
            return;
        }
    }
    if (m_startOpen) {
        // Its slot is known once the trial's instant is: the newest image waits for it.
        m_pendingSlot = 0;
        m_pendingMoved = false;
        m_pendingTakenUs = nowUs;
        m_pendingImage = index;
        return;
    }
    // Slot k stands for the time from k to k + 1 periods after the video's start: each
    // image goes to the slot it was taken in, so the video lasts as long as the trial
    // whatever rate the camera delivers at.
    const double periodUs = 1.0e6 / m_writerFps;
    const double at = (nowUs - m_videoStartUs) / periodUs;
    if (at < 0.0) return;  // taken before the video's start
    auto slot = static_cast<int64_t>(std::floor(at));
    if (m_recordDuration.load() > 0.0 && slot >= LimitSlots()) {
        // Taken after the slot of the time limit (a slow camera's next image): the video
        // ends with that slot, the image before filling it.
        CommitPending(LimitSlots());
        m_pendingImage = -1;
        EndAtLimit();
        return;
    }
    bool isMoved = false;
    if (m_pendingImage.load() >= 0) {
        if (slot <= m_pendingSlot) {
            // The slot is taken: an image taken in the second half of its slot waits for
            // the next one; else it takes the waiting image's place.
            if (static_cast<double>(m_pendingSlot + 1) - at <= kNextSlotShare) {
                slot = m_pendingSlot + 1;
                isMoved = true;
            } else {
                m_droppedFrames.fetch_add(1);
                m_pendingMoved = slot < m_pendingSlot;
                m_pendingTakenUs = nowUs;
                m_pendingImage = index;
                NoteRecordTime(nowUs);
                return;
            }
        }
        if (!CommitPending(slot)) return;
    }
    m_pendingSlot = slot;
    m_pendingMoved = isMoved;
    m_pendingTakenUs = nowUs;
    m_pendingImage = index;
    NoteRecordTime(nowUs);
}

bool CVideoDevice::CommitPending(int64_t endSlot)
{
    const int pending = m_pendingImage.load();
    if (pending < 0) return true;
    // The waiting image fills its slot and the ones after it the camera left empty; the
    // video's first one, when late, also the ones before it.
    const int64_t count = std::max<int64_t>(1, endSlot - m_nextSlot);
    if (m_nextSlot == 0 && m_pendingSlot > 0) {
        m_leadingFrames = std::min(m_pendingSlot, count - 1);
        m_firstLateSec = (m_pendingTakenUs - m_videoStartUs) / 1.0e6;
    }
    m_nextSlot += count;
    if (!WriteImages(VideoImage(pending), count)) return false;
    m_missingFrames.fetch_add(count - 1);
    return true;
}

void CVideoDevice::NoteRecordTime(double nowUs)
{
    m_recordTime = (nowUs - m_videoStartUs) / 1000.0;
    const double duration = m_recordDuration.load();
    if (duration > 0.0 && m_recordTime.load() / 1000.0 >= duration) EndAtLimit();
}

void CVideoDevice::EndAtLimit()
{
    // The GUI thread stops the capture on the request.
    m_recording = false;
    CDeviceOwner* owner = m_owner.load();
    if (owner != nullptr) owner->RequestCaptureStop();
}

int64_t CVideoDevice::LimitSlots() const
{
    return static_cast<int64_t>(std::floor(m_recordDuration.load() * m_writerFps)) + 1;
}

bool CVideoDevice::WriteImages(const cv::Mat& image, int64_t count)
{
    if (image.cols != m_writerWidth || image.rows != m_writerHeight || image.type() != CV_8UC3) {
        m_unwrittenFrames.fetch_add(count);  // the file's size is fixed; reported at its close
        return true;
    }
    for (int64_t i = 0; i < count; ++i) {
        if (m_writer == nullptr || !HasRoom()) return false;
        try {
            m_writer->Write(image);
        } catch (...) {
            m_unwrittenFrames.fetch_add(1);
            continue;
        }
        m_recordedFrames.fetch_add(1);
    }
    return true;
}

bool CVideoDevice::HasRoom()
{
    // The writer says nothing of a failed write and leaves a file no player reads; the
    // video ends while its index still fits.
    int64_t room = 0;
    if (m_room.Keep(m_recordedFrames.load(), kVideoReserveBytes, &room)) return true;
    m_recording = false;
    m_pendingImage = -1;
    const int64_t frames = m_recordedFrames.load();
    const bool isKept = CloseVideo();
    m_videoEnded = isKept && frames > 0;
    if (isKept) {
        m_recordingError = VideoEndedText(room, m_videoFileName, frames, m_writerFps);
        Report(m_recordingError);
    } else {
        // Said lost, naming it: the trial's stop lists nothing and saves nothing of it.
        m_videoFileName.clear();
        m_videoPath.clear();
    }
    return false;
}

void CVideoDevice::ResetRateWindow()
{
    m_windowCount = 0;
    m_intervals.clear();
    m_isWindowHeldUp = false;
}

void CVideoDevice::MeasureRate()
{
    if (m_isFreeRunning) {
        ResetRateWindow();
        return;
    }
    if (m_windowLength < 1 || m_windowCount < m_windowLength) return;
    if (m_intervals.empty()) {
        ResetRateWindow();
        return;
    }
    // Around the median interval: a stall (frames never made) far above it and frames
    // held back far below it are no part of the camera's rate.
    m_intervalScratch.assign(m_intervals.begin(), m_intervals.end());
    const auto middle = m_intervalScratch.begin() +
                        static_cast<std::ptrdiff_t>(m_intervalScratch.size() / 2);
    std::nth_element(m_intervalScratch.begin(), middle, m_intervalScratch.end());
    const double medianUs = *middle;
    double healthyUs = 0.0;
    size_t healthy = 0;
    for (double interval : m_intervals) {
        if (std::abs(interval - medianUs) > kIntervalSpread * medianUs) continue;
        healthyUs += interval;
        ++healthy;
    }
    const double medianRate =
        healthyUs > 0.0 ? static_cast<double>(healthy) * 1.0e6 / healthyUs : 0.0;
    const double spanRate = SpanRate(2 * healthy >= m_intervals.size() ? medianUs : 0.0);
    const auto near = [](double a, double b) {
        return IsUsableRate(a) && IsUsableRate(b) && std::abs(a - b) <= kRateAgreement * b;
    };
    // Where the two differ, frames were either lost or held back: the rate the camera
    // states tells which, else the median's rate stands. In a window where the machine
    // held the thread up, frames may have been lost: its span tells nothing then.
    double rate = 0.0;
    if (near(spanRate, medianRate) || (!m_isWindowHeldUp && near(spanRate, m_reportedRate)))
        rate = spanRate;
    else if (IsUsableRate(medianRate) && 2 * healthy >= m_intervals.size())
        rate = medianRate;
    if (IsUsableRate(rate)) {
        m_measuredFps = static_cast<float>(rate);
        m_cameraFps = m_measuredFps;
        m_rateKnown = true;
    }
    ResetRateWindow();
}

double CVideoDevice::SpanRate(double medianUs) const
{
    // Over the window's span, without a frame lost: exact, whatever the jitter, and right
    // for a camera that holds frames back and delivers them at once. N frames span N - 1
    // intervals: dividing N by the span would overstate the rate.
    double spanUs = 0.0;
    for (double interval : m_intervals) spanUs += interval;
    // From the end of a run of frames held back and delivered at once to the end of
    // another: the first frames of such a run were taken long before they came, and a
    // window that begins or ends within one would misstate the time its frames span.
    const double heldUs = kHeldShare * spanUs / static_cast<double>(m_intervals.size());
    size_t begin = 0;
    size_t end = m_intervals.size();
    while (begin < end && m_intervals[begin] < heldUs) spanUs -= m_intervals[begin++];
    if (end > begin && m_intervals[end - 1] < heldUs) {
        while (end > begin && m_intervals[end - 1] < heldUs) spanUs -= m_intervals[--end];
        if (end > begin) spanUs -= m_intervals[--end];
    }
    // A gap the frames after it do not make up for (none held back, none faster than usual)
    // is a stall, frames never made or lost: no part of the span, or a short one would pass
    // for the rate the camera states. One made up for was a thread held while frames waited.
    size_t count = end - begin;
    for (size_t i = begin; medianUs > 0.0 && i < end; ++i) {
        if (m_intervals[i] <= (1.0 + kIntervalSpread) * medianUs) continue;
        double afterUs = 0.0;
        size_t after = 0;
        bool isHeldAfter = false;
        for (size_t j = i + 1; j < end && after < kStallCheckedFrames; ++j, ++after) {
            afterUs += m_intervals[j];
            isHeldAfter = isHeldAfter || m_intervals[j] < heldUs;
        }
        const double usualUs = (1.0 - kRateAgreement) * medianUs * static_cast<double>(after);
        if (after == 0 || isHeldAfter || afterUs < usualUs) continue;
        spanUs -= m_intervals[i];
        --count;
    }
    return spanUs > 0.0 ? static_cast<double>(count) * 1.0e6 / spanUs : 0.0;
}

void CVideoDevice::NoteMissedGrab(double nowUs)
{
    m_missedGrabs.fetch_add(1);
    if (m_lastFrameTime < 0.0) m_lastFrameTime = nowUs;  // none yet: count from now
    if (!m_stalled.load() && nowUs - m_lastFrameTime > m_stallUs) {
        m_stalled = true;
        g_messages.Post(Severity::Error, m_stallMessage);
    }
}
