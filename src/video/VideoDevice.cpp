#include "video/VideoDevice.h"

#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/log.h>
#include <wx/translation.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/core/version.hpp>
#include <opencv2/videoio.hpp>
#include <utility>

#include "process/deviceOwner.h"
#include "process/messageQueue.h"
#include "video/handPose.h"
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

bool IsUsableRate(double rate) { return std::isfinite(rate) && rate > 0.0; }

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
        if (m_writer != nullptr || !m_rateKnown.load() || !m_opened.load()) return false;
        width = m_imageWidth.load();
        height = m_imageHeight.load();
    }
    const wxString name = folder + wxFileName::GetPathSeparator() + captureName +
                          wxString::Format("_cam_%d", m_cameraIndex.load() + 1) +
                          wxString::Format("_%.04d", trial) + ".mov";
    if (wxFileExists(name)) {
        // A video of an earlier session under the same name stays as it is.
        Report(_("Capture file already exists, it is not replaced : ") + name);
        return false;
    }
    auto writer = std::make_unique<cv::VideoWriter>();
    const wxCharBuffer narrow = name.fn_str();
    try {
        if (narrow.data() != nullptr && width > 0 && height > 0)
            writer->open(narrow.data(), cv::CAP_FFMPEG, cv::VideoWriter::fourcc('m', 'p', '4', 'v'),
                         static_cast<double>(m_cameraFps.load()), cv::Size(width, height), true);
    } catch (const std::exception& e) {
        Report(e.what());
    }
    bool isOpen = false;
    try {
        isOpen = writer->isOpened();
    } catch (...) {
    }
    if (!isOpen) {
        wxLogError("%s", _("Error creating video file : ") + name);
        return false;
    }
    CMutexLock lock(&m_dataMutex);
    m_writer = std::move(writer);
    m_writerWidth = width;
    m_writerHeight = height;
    m_videoFileName = name;
    m_recordedFrames = 0;
    m_recordTime = 0.0;
    m_recording = false;
    m_hasWriter = true;
    return true;
}

bool CVideoDevice::StartRecording()
{
    CMutexLock lock(&m_dataMutex);
    if (m_writer == nullptr) return false;
    m_recording = true;
    return true;
}

bool CVideoDevice::FinishRecording()
{
    CMutexLock lock(&m_dataMutex);
    if (m_writer == nullptr) return false;
    m_recording = false;
    return true;
}

// False even when a file was closed: callers treat a camera's stop as nothing to report.
bool CVideoDevice::StopRecording()
{
    if (!m_hasWriter.load()) return false;
    FinishRecording();
    CMutexLock lock(&m_dataMutex);
    ReleaseWriter();
    return false;
}

void CVideoDevice::ReleaseWriter()
{
    if (m_writer == nullptr) return;
    try {
        m_writer->release();
    } catch (const std::exception& e) {
        Report(m_videoFileName + ": " + e.what());
    }
    m_writer.reset();
    m_hasWriter = false;
    // The writer reports no closing status: a file that is not there after frames went
    // in is a failed recording and must not pass unnoticed.
    if (m_recordedFrames.load() > 0 &&
        (!wxFileExists(m_videoFileName) || wxFileName::GetSize(m_videoFileName) == 0))
        Report(_("video file missing or empty after closing: ") + m_videoFileName);
    const int64_t unwritten = m_unwrittenFrames.exchange(0);
    if (unwritten > 0)
        Report(wxString::Format(_("%lld frame(s) could not be written to "),
                                static_cast<long long>(unwritten)) +
               m_videoFileName);
    m_videoFileName.clear();
}

void CVideoDevice::Report(const wxString& text)
{
    g_messages.Post(Severity::Error, "<CAM> " + GetDeviceName() + ": " + text);
}

wxString CVideoDevice::GetWriterFileName() const { return m_videoFileName; }

double CVideoDevice::GetRecordTime() const { return m_recordTime.load() / 1000.0; }

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
        m_windowCount = 0;
        return false;
    }
    if (IsTimeToSample(tick)) AcquireStep();
    return false;
}

void CVideoDevice::AcquireStep() { GrabFrame(); }

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
    if (m_settingsRequested.exchange(false)) source->Set(cv::CAP_PROP_SETTINGS, 0);
    const bool isGrabbed = source->Grab() && source->Retrieve(m_image);
    EndGrab();
    if (!isGrabbed || m_image.cols < 1 || m_image.rows < 1) {
        NoteMissedGrab(ReadProgramClockUs());
        return;
    }
    CMutexLock lock(&m_dataMutex);
    if (!m_opened.load()) return;  // closed during the grab
    const double now = ReadProgramClockUs();
    if (m_firstFrameTime < 0.0) m_firstFrameTime = now;
    if (m_windowCount == 0) m_windowStart = now;
    ++m_windowCount;
    m_frameTime = (now - m_firstFrameTime) / 1000.0;
    m_lastFrameTime = now;
    m_stalled = false;
    // Sizes follow the frames: a camera may deliver another size than it reported.
    if (m_image.cols != m_imageWidth.load()) m_imageWidth = m_image.cols;
    if (m_image.rows != m_imageHeight.load()) m_imageHeight = m_image.rows;
    if (m_recording.load() && m_writer != nullptr) WriteFrame(now);
    // After the file write: the video holds the camera's frames, only the display the
    // skeleton. Not while recording: a network pass takes longer than a frame, and the
    // recording must not lose frames to the overlay.
    if (m_poseLoaded.load() && !m_recording.load() && !m_poseBusy.exchange(true)) {
        handpose::Run(m_cameraIndex.load(), m_image, m_poseBlob, m_poseOutput);
        m_poseBusy = false;
    }
    CVideoViewSink* view = m_view.load();
    if (view != nullptr) view->SetImage(m_image);
    MeasureRate(now);
}

void CVideoDevice::WriteFrame(double nowUs)
{
    if (m_image.cols != m_writerWidth || m_image.rows != m_writerHeight ||
        m_image.type() != CV_8UC3) {
        m_unwrittenFrames.fetch_add(1);  // the file's size is fixed; reported at its close
        return;
    }
    try {
        m_writer->write(m_image);
    } catch (...) {
        m_unwrittenFrames.fetch_add(1);
        return;
    }
    if (m_recordedFrames.load() == 0) m_recordStart = nowUs;
    m_recordedFrames.fetch_add(1);
    m_recordTime = (nowUs - m_recordStart) / 1000.0;
    const double duration = m_recordDuration.load();
    if (duration > 0.0 && m_recordTime.load() / 1000.0 >= duration) {
        // This frame is in the file; the GUI thread stops the capture on the request.
        m_recording = false;
        CDeviceOwner* owner = m_owner.load();
        if (owner != nullptr) owner->RequestCaptureStop();
    }
}

void CVideoDevice::MeasureRate(double nowUs)
{
    if (m_windowCount != m_windowLength) return;
    const double spanMs = (nowUs - m_windowStart) / 1000.0;
    // The window's N frames span N - 1 intervals: dividing N by the span would overstate
    // the rate, and the video files would play fast.
    if (spanMs > 0.0 && m_windowCount > 1) {
        m_cameraFps = static_cast<float>((m_windowCount - 1) * 1000.0 / spanMs);
        m_rateKnown = true;
    }
    m_windowCount = 0;
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
