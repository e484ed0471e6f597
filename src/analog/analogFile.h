#pragma once

#include "analog/recordFormat.h"

#include <wx/string.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class CAnalogWriter;

// What the recording controller needs of the device it records; the analog
// device provides it. Called from the GUI thread, except StopCapture, which the
// acquisition thread calls when a run reaches its duration limit.
class CRecordSource {
public:
    virtual ~CRecordSource() = default;
    virtual double GetRate() = 0;
    // Channels recorded per frame (enabled channels), not values.
    virtual int32_t GetRecordedChannelCount() = 0;
    virtual int32_t GetChannelDim() = 0;
    virtual wxString GetDeviceName() = 0;
    virtual wxString GetExportExtension() = 0;
    // Key, names of the recorded channels in frame order, tracker flag, type, scale, range.
    virtual RecordHeaderInfo GetHeaderInfo() = 0;
    // A copy of the marker lists, taken under the device's marker lock.
    virtual RecordMarkers CopyMarkers() = 0;
    virtual bool IsRunning() = 0;
    virtual void Stop() = 0;
    virtual void Start() = 0;
    virtual void StopCapture() = 0;
    virtual bool IsReady() { return true; }
    virtual bool IsFileDevice() { return false; }
    virtual void SeekFrame(int64_t /*frame*/) {}
    virtual void SeekTime(double /*seconds*/) {}
    virtual int64_t GetTotalFrames() { return 0; }
};

// Receives the capture stop request when a run reaches its duration limit.
// RequestStopCapture runs on an acquisition thread: it only sets a flag that
// the GUI thread's idle handler carries out.
class CCaptureOwner {
public:
    virtual ~CCaptureOwner() = default;
    virtual void RequestStopCapture() noexcept = 0;
};

// The recording controller of one device: creates one writer per trial, passes
// the device's frames to it, ends a run at the duration limit, finishes and
// closes recordings. Owned by its device; owns its writer.
// RecordFrame: acquisition thread. GetTime and IsRecording: any thread.
// Everything else: GUI thread.
class CAnalogFile {
public:
    explicit CAnalogFile(CCaptureOwner* owner = nullptr);
    virtual ~CAnalogFile();
    CAnalogFile(const CAnalogFile&) = delete;
    CAnalogFile& operator=(const CAnalogFile&) = delete;

    virtual bool StartRecording();
    virtual void PauseRecording();
    virtual bool StopRecording();
    virtual bool FinishRecording();
    virtual bool IsRecording() const { return m_recording.load(); }
    virtual bool IsAvailable() const;
    virtual bool OpenWriter(const wxString& folder, const wxString& captureName, int trial, bool exportText,
                            const wxString& exportFolder, bool useThread, int queueDepth, int priority);
    virtual void SetDevice(CRecordSource* device);
    virtual void RecordFrame(const double* values, int count, int sampleIndex, double time);
    virtual wxString GetFileInfo() const { return GetFileName(); }
    virtual int64_t GetFramesWritten() const;
    virtual void SetDuration(double seconds);
    virtual void SetOwner(CCaptureOwner* owner) { m_owner.store(owner); }
    virtual CRecordSource* GetDevice() const { return m_device; }
    virtual void SeekFrame(int64_t frame);
    virtual void SeekTime(double seconds);
    virtual wxString GetFileName() const;
    virtual wxString GetTextFileName() const;
    virtual bool IsFilePlayer() const;
    virtual int64_t GetTotalFrames() const;
    virtual double GetTime() const { return m_time.load(); }
    virtual int32_t GetFrameCount() const;

    // A run was started and has not been finished yet, whether it is still
    // recording or was ended by the duration limit: the device's finish hook
    // must then finish it.
    bool NeedsFinish() const { return m_runPending; }
    // The finaliser of the capture stop: finishes the run of this path when it
    // is still pending (draining and joining a threaded writer first); a
    // recording already finished is left unchanged; a file of no open writer
    // is finished on disk.
    bool FinaliseRecordFile(const wxString& path, int64_t frameCount);
    void SetExtension(const wxString& extension) { m_extension = extension; }

private:
    // Waits until no RecordFrame is inside the writer; m_recording is clear.
    void WaitForRecordFrame();
    bool FinishRun();
    void CloseWriter();

    std::unique_ptr<CAnalogWriter> m_writer;
    std::atomic<bool> m_recording{false};
    CRecordSource* m_device = nullptr;          // non-owning: the device owns this controller
    std::atomic<CCaptureOwner*> m_owner;        // non-owning: the main frame
    wxString m_extension = kRecordExtension;
    double m_duration = 0.0;                    // guarded by m_recordMutex
    std::atomic<double> m_time{0.0};
    std::mutex m_recordMutex;                   // held by RecordFrame around the writer call
    bool m_runPending = false;
    std::atomic<bool> m_stopRequested{false};   // the stop request is raised once per run
    wxString m_finishedPath;                    // the last recording finished here
};
