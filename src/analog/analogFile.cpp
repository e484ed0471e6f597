#include "analog/analogFile.h"

#include <wx/intl.h>
#include <wx/log.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "analog/analogDevice.h"
#include "analog/analogThreadWriter.h"
#include "analog/analogWriter.h"
#include "process/deviceOwner.h"

namespace {

// Keeps the markers set at a frame the recording holds: a device that ran on
// after the run ended (a late stop) adds markers past the file's end.
void KeepMarkersInside(RecordMarkers& markers, int64_t frameCount)
{
    size_t kept = 0;
    const size_t count = markers.Count();
    for (size_t i = 0; i < count; ++i) {
        if (static_cast<int64_t>(markers.frames[i]) >= frameCount) continue;
        markers.codes[kept] = markers.codes[i];
        markers.frames[kept] = markers.frames[i];
        markers.labels[kept] = markers.labels[i];
        ++kept;
    }
    markers.codes.resize(kept);
    markers.frames.resize(kept);
    markers.labels.resize(kept);
}

}  // namespace

CAnalogFile::CAnalogFile(CDeviceOwner* owner) : m_owner(owner) {}

CAnalogFile::~CAnalogFile()
{
    // Whatever ended the run, the recording is finished before its writer goes.
    m_recording = false;
    WaitForRecordFrame();
    if (m_runPending) FinishRun();
    CloseWriter();
}

void CAnalogFile::SetDevice(CRecordSource* device)
{
    if (!m_device) m_device = device;
}

void CAnalogFile::SetDevice(CAnalogDevice* device)
{
    if (m_device || !device) return;
    m_deviceLink = std::make_unique<CAnalogDeviceSource>(*device);
    m_device = m_deviceLink.get();
}

void CAnalogFile::SetDuration(double seconds)
{
    std::lock_guard<std::mutex> lock(m_recordMutex);
    m_duration = seconds;
}

bool CAnalogFile::IsAvailable() const { return m_writer && !m_recording.load(); }

void CAnalogFile::WaitForRecordFrame()
{
    // RecordFrame holds the mutex for one frame at most; once it is free again
    // no frame can reach the writer, because m_recording is already clear.
    std::lock_guard<std::mutex> lock(m_recordMutex);
}

void CAnalogFile::CloseWriter()
{
    if (!m_writer) return;
    m_writer->Close();  // a threaded writer is joined first
    m_writer.reset();
}

bool CAnalogFile::OpenWriter(const wxString& folder, const wxString& captureName, int trial,
                             bool exportText, const wxString& exportFolder, bool useThread,
                             int queueDepth, int priority)
{
    m_recording = false;
    WaitForRecordFrame();
    if (m_runPending) FinishRun();  // a replaced recording is finished, not abandoned
    CloseWriter();
    m_openError = 0;
    if (!m_device) return false;
    if (useThread)
        m_writer =
            std::make_unique<CAnalogThreadWriter>(static_cast<uint32_t>(std::max(priority, 0)),
                                                  static_cast<uint64_t>(std::max(queueDepth, 0)));
    else
        m_writer = std::make_unique<CAnalogWriter>();
    const double rate = m_device->GetRate();
    {
        std::lock_guard<std::mutex> lock(m_recordMutex);
        m_rate = rate;
    }
    const int32_t channels = m_device->GetRecordedChannelCount();
    const int32_t dim = m_device->GetChannelDim();
    const wxString extension = m_device->GetExportExtension();
    m_writer->SetTextExtension(extension.empty() ? wxString(kDefaultTextExtension) : extension);
    const wxString path =
        MakeRecordFileName(folder, captureName, m_device->GetDeviceName(), trial, m_extension);
    if (!m_writer->OpenFile(path, channels, dim, rate, exportText, exportFolder)) {
        m_openError = m_writer->GetOpenError() != 0 ? m_writer->GetOpenError() : EIO;
        m_writer.reset();
        return false;
    }
    HeaderPropertyBuffer block;
    RecordNamesOutcome names;
    const uint64_t length = BuildHeaderProperties(m_device->GetHeaderInfo(), block, &names);
    if (!m_writer->WriteProperties(block.data(), length)) {
        // A header cut short holds no recording: nothing of it stays.
        ReportRecordingError(wxString::Format(_("Error creating analog file : %s : %s"), path,
                                              std::strerror(m_writer->GetWriteError())));
        m_openError = m_writer->GetWriteError() != 0 ? m_writer->GetWriteError() : EIO;
        m_writer->Discard();
        m_writer.reset();
        return false;
    }
    ReportNamesLeftOut(path, names);
    m_finishedPath.clear();
    m_endNote.clear();
    m_isRemoved = false;
    return true;
}

bool CAnalogFile::StartRecording()
{
    if (m_writer && m_writer->IsOpen() && !m_recording.load() && !m_writer->IsFinished()) {
        if (!m_writer->Start()) return false;
        m_stopRequested = false;
        m_time = 0.0;
        {
            std::lock_guard<std::mutex> lock(m_recordMutex);
            m_framesTaken = 0;
            m_framesOffered = 0;
            m_runStartUs = -1.0;
            m_stopFrames = -1;
            m_hasEnded = false;
        }
        m_runPending = true;
        m_recording = true;
        return true;
    }
    if (m_writer)
        std::fprintf(stderr, "Data writer not ready or is already in use (%d)\n",
                     m_recording.load() ? 1 : 0);
    return m_recording.load();
}

void CAnalogFile::PauseRecording()
{
    if (m_writer && m_writer->IsOpen()) {
        m_recording = false;
        WaitForRecordFrame();
    }
}

bool CAnalogFile::RecordFrame(const double* values, int count, uint32_t /*sampleIndex*/,
                              double deviceTime)
{
    if (!m_recording.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> lock(m_recordMutex);
    if (!m_recording.load() || !m_writer || !m_device || count <= 0) return false;
    if (m_stopFrames >= 0 && m_framesOffered >= m_stopFrames) {
        m_recording = false;  // due at or after the trial's stop: not its frame
        return false;
    }
    ++m_framesOffered;
    const uint64_t size = static_cast<uint64_t>(count);
    const bool isTaken = m_writer->WriteFrame(values, size) == size;
    if (m_writer->HasEnded()) {
        EndRun();  // the disk took no more: the recording ends with what it holds
        return isTaken;
    }
    if (!isTaken) return false;  // refused or dropped: counted by the writer, reported at the finish
    // The run's own time: the device's may restart (a looping player) or
    // include frames from before the start.
    const double time =
        (m_rate > 0.0 && std::isfinite(m_rate)) ? double(m_framesTaken) / m_rate : deviceTime;
    ++m_framesTaken;
    m_time.store(time, std::memory_order_relaxed);
    if (m_duration > 0.0 && time >= m_duration) EndRun();
    return true;
}

int64_t CAnalogFile::FramesRoom()
{
    std::lock_guard<std::mutex> lock(m_recordMutex);
    const auto* queue = dynamic_cast<const CAnalogThreadWriter*>(m_writer.get());
    if (!m_recording.load() || queue == nullptr) return INT64_MAX;
    // What its thread has not written yet is in the queue. Half of it is kept for the
    // frames read meanwhile: frames that can wait leave them the room.
    const int64_t queued = m_framesTaken - queue->GetFrameCount();
    return static_cast<int64_t>(queue->GetCapacity() / 2) - std::max<int64_t>(queued, 0);
}

void CAnalogFile::SetRunStart(double programUs)
{
    std::lock_guard<std::mutex> lock(m_recordMutex);
    m_runStartUs = programUs;
}

void CAnalogFile::SetRunStop(double programUs)
{
    std::lock_guard<std::mutex> lock(m_recordMutex);
    SetRunStopHeld(programUs);
}

void CAnalogFile::SetRunStopHeld(double programUs)
{
    const bool hasSchedule = m_rate > 0.0 && std::isfinite(m_rate) && m_runStartUs >= 0.0;
    // Frame k is due at start + k / rate: those due before the stop are ceil of it.
    // A run that ended itself (at its time limit) owes no frame to a stop that came later.
    m_stopFrames = hasSchedule && !m_hasEnded
                       ? static_cast<int64_t>(std::ceil(std::max(0.0, programUs - m_runStartUs) *
                                                        m_rate / 1.0e6))
                       : m_framesOffered;
    if (m_framesOffered >= m_stopFrames) m_recording = false;
}

double CAnalogFile::LastOfferedDueUs() const
{
    const bool hasSchedule = m_rate > 0.0 && std::isfinite(m_rate) && m_runStartUs >= 0.0;
    if (!hasSchedule || m_framesOffered == 0) return -std::numeric_limits<double>::infinity();
    return m_runStartUs + double(m_framesOffered - 1) * 1.0e6 / m_rate;
}

int64_t CAnalogFile::EndRunNow()
{
    m_recording = false;
    std::lock_guard<std::mutex> lock(m_recordMutex);  // no frame is inside the writer now
    // A run that ended itself meanwhile (caught up to its time limit) owes nothing past it.
    return m_stopFrames > m_framesOffered && !m_hasEnded ? m_stopFrames - m_framesOffered : 0;
}

void CAnalogFile::EndRun()
{
    m_recording = false;
    m_hasEnded = true;
    m_device->StopCapture();
    CDeviceOwner* owner = m_owner.load();
    if (owner && !m_stopRequested.exchange(true)) owner->RequestCaptureStop();
}

bool CAnalogFile::FinishRun()
{
    RecordMarkers markers = m_device ? m_device->CopyMarkers() : RecordMarkers();
    // Every frame reaches the file first (a threaded writer is drained and
    // joined), so the count below is the file's own.
    m_writer->UpdateFrameCount();
    KeepMarkersInside(markers, m_writer->GetFrameCount());
    const bool isFinished = m_writer->Finish(&markers);
    // The run's time is that of the frames the file holds, not of those queued.
    const int64_t frames = m_writer->GetFramesOnDisk();
    {
        std::lock_guard<std::mutex> lock(m_recordMutex);
        if (m_rate > 0.0 && std::isfinite(m_rate))
            m_time = frames > 0 ? double(frames - 1) / m_rate : 0.0;
    }
    m_endNote = m_writer->GetEndNote();
    m_isRemoved = m_writer->IsRemoved();
    m_runPending = false;
    m_finishedPath = m_writer->GetFileName();
    return isFinished;
}

bool CAnalogFile::FinishRecording()
{
    // False when there is nothing to finish; a run the duration limit ended
    // is finished like any other.
    if (!m_writer || !m_writer->IsOpen() || !m_device || m_writer->IsFinished()) return false;
    m_recording = false;
    WaitForRecordFrame();
    const bool wasRunning = m_device->IsRunning();
    if (wasRunning) m_device->Stop();
    // Drains and joins a threaded writer, then patches the count and writes
    // the one trailer; a finished recording is left as it is.
    const bool isFinished = FinishRun();
    if (wasRunning) m_device->Start();
    return isFinished;
}

bool CAnalogFile::StopRecording()
{
    if (!m_writer || !m_writer->IsOpen() || !m_device) return false;
    m_recording = false;
    WaitForRecordFrame();
    if (m_runPending) FinishRun();
    if (m_device->IsRunning()) {
        m_device->Stop();
        CloseWriter();
        m_device->Start();
    } else {
        CloseWriter();
    }
    return true;
}

bool CAnalogFile::FinaliseRecordFile(const wxString& path, int64_t frameCount)
{
    if (m_writer && m_writer->IsOpen() && m_writer->GetFileName() == path) {
        return m_writer->IsFinished() || FinishRecording();
    }
    if (!m_finishedPath.empty() && m_finishedPath == path)
        return true;  // finished here already: one count, one trailer
    const RecordMarkers markers = m_device ? m_device->CopyMarkers() : RecordMarkers();
    return ::FinaliseRecordFile(path, frameCount, &markers);
}

int64_t CAnalogFile::GetFramesWritten() const
{
    return (m_writer && m_writer->IsOpen()) ? m_writer->GetFrameCount() : 0;
}

int32_t CAnalogFile::GetFrameCount() const
{
    return m_writer ? static_cast<int32_t>(m_writer->GetFrameCount()) : 0;
}

wxString CAnalogFile::GetFileName() const
{
    return (m_writer && m_writer->IsOpen()) ? m_writer->GetFileName() : wxString();
}

wxString CAnalogFile::GetTextFileName() const
{
    return (m_writer && m_writer->IsOpen()) ? m_writer->GetTextFileName() : wxString();
}

bool CAnalogFile::IsFilePlayer() const
{
    return m_device && m_device->IsReady() && m_device->IsFileDevice();
}

void CAnalogFile::SeekFrame(int64_t frame)
{
    if (IsFilePlayer()) m_device->SeekFrame(frame);
}

void CAnalogFile::SeekTime(double seconds)
{
    if (IsFilePlayer()) m_device->SeekTime(seconds);
}

int64_t CAnalogFile::GetTotalFrames() const
{
    return IsFilePlayer() ? m_device->GetTotalFrames() : 0;
}

std::unique_ptr<CAnalogFile> MakeRecordingController(CAnalogDevice& device)
{
    auto controller = std::make_unique<CAnalogFile>();
    controller->SetDevice(&device);
    return controller;
}

bool FinaliseRecordFile(CAnalogDevice& device, const wxString& path, int64_t frameCount)
{
    if (auto* controller = dynamic_cast<CAnalogFile*>(device.GetRecorder()))
        return controller->FinaliseRecordFile(path, frameCount);
    RecordMarkers markers;
    device.GetMarkers(markers.codes, markers.frames, markers.labels);
    return FinaliseRecordFile(path, frameCount, &markers);
}
