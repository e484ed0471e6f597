#pragma once

#include <wx/string.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "analog/recordFormat.h"
#include "analog/recordSource.h"
#include "analog/recorderSink.h"

class CAnalogDevice;
class CAnalogWriter;
class CDeviceOwner;

// The recording controller of one device: creates one writer per trial, passes
// the device's frames to it, ends a run at the duration limit, finishes and
// closes recordings. Owned by its device; owns its writer.
// RecordFrame: acquisition thread. GetTime and IsRecording: any thread.
// Everything else: GUI thread.
class CAnalogFile : public CAnalogRecorder {
public:
    explicit CAnalogFile(CDeviceOwner* owner = nullptr);
    ~CAnalogFile() override;
    CAnalogFile(const CAnalogFile&) = delete;
    CAnalogFile& operator=(const CAnalogFile&) = delete;

    bool StartRecording() override;
    virtual void PauseRecording();
    bool StopRecording() override;
    bool FinishRecording() override;
    bool IsRecording() const override { return m_recording.load(); }
    virtual bool IsAvailable() const;
    bool OpenWriter(const wxString& folder, const wxString& captureName, int trial, bool exportText,
                    const wxString& exportFolder, bool useThread, int queueDepth,
                    int priority) override;
    // Sets the recorded device once; the controller keeps a non-owning link.
    virtual void SetDevice(CRecordSource* device);
    void SetDevice(CAnalogDevice* device);
    bool RecordFrame(const double* values, int count, uint32_t sampleIndex, double time) override;
    int64_t FramesRoom() override;
    virtual wxString GetFileInfo() const { return GetFileName(); }
    int64_t GetFramesWritten() const override;
    void SetDuration(double seconds) override;
    virtual void SetOwner(CDeviceOwner* owner) { m_owner.store(owner); }
    virtual CRecordSource* GetDevice() const { return m_device; }
    virtual void SeekFrame(int64_t frame);
    virtual void SeekTime(double seconds);
    wxString GetFileName() const override;
    wxString GetTextFileName() const override;
    virtual bool IsFilePlayer() const;
    virtual int64_t GetTotalFrames() const;
    // The recording's own time: frames taken by the writer / rate, so a device
    // whose clock restarts (a looping file player) or runs on does not move it.
    double GetTime() const override { return m_time.load(); }
    virtual int32_t GetFrameCount() const;

    // A run was started and has not been finished yet, whether it is still
    // recording or was ended by the duration limit: the device's finish hook
    // must then finish it.
    bool NeedsFinish() const { return m_runPending.load(); }
    // A run whose markers the recording will still take. Any thread.
    bool HoldsMarkers() const override { return m_runPending.load(); }
    // What ended the last finished run early (a write that failed, a trailer
    // that could not be written), as the user is told; empty when the file
    // is whole. GUI thread.
    const wxString& GetEndNote() const { return m_endNote; }
    // The last finished run's file was removed while it ran: nothing of it is
    // on disk. GUI thread.
    bool IsRemoved() const { return m_isRemoved; }
    // Why the last OpenWriter failed (errno), 0 when it did not. GUI thread.
    int GetOpenError() const { return m_openError; }
    // The finaliser of the capture stop: finishes the run of this path when it
    // is still pending (draining and joining a threaded writer first); a
    // recording already finished is left unchanged; a file of no open writer
    // is finished on disk.
    bool FinaliseRecordFile(const wxString& path, int64_t frameCount);
    void SetExtension(const wxString& extension) { m_extension = extension; }
    // GUI thread, after StartRecording: the trial's start instant (program time, us),
    // at which the device's restarted clock has its frame 0 due; frame k is due k
    // periods later.
    void SetRunStart(double programUs);
    // GUI thread: the trial's stop instant. The run keeps the frames due before it,
    // the ones a late thread still owes included, and ends at the first due at or
    // after it (each device of a trial at its own next frame boundary).
    void SetRunStop(double programUs);
    // GUI thread: no frame of the run is offered while the lock lives, so that a stop
    // instant can be chosen and set (SetRunStopHeld) for every device of a trial at once.
    std::unique_lock<std::mutex> HoldFrames() { return std::unique_lock<std::mutex>(m_recordMutex); }
    // With the frames held: the due time (program us) of the last frame the run was
    // offered; none (or no schedule): minus infinity.
    double LastOfferedDueUs() const;
    // SetRunStop, with the frames held.
    void SetRunStopHeld(double programUs);
    // Any thread: the run has every frame due before its stop instant, or no more
    // is coming to it (ended, never set).
    bool HasReachedStop() const { return !m_recording.load(); }
    // GUI thread: ends the run now, with the frames it holds (a device that did not
    // reach its stop instant in time). The frames due before the stop instant that
    // had not come: 0 when the run had them all.
    int64_t EndRunNow();

private:
    // Waits until no RecordFrame is inside the writer; m_recording is clear.
    void WaitForRecordFrame();
    // Acquisition thread, m_recordMutex held: the run ends here (its limit or
    // a write that failed); the GUI thread finishes it on the stop request.
    void EndRun();
    bool FinishRun();
    void CloseWriter();

    std::unique_ptr<CAnalogWriter> m_writer;
    std::atomic<bool> m_recording{false};
    CRecordSource* m_device = nullptr;            // non-owning: the device owns this controller
    std::unique_ptr<CRecordSource> m_deviceLink;  // the adapter when the device is an analog device
    std::atomic<CDeviceOwner*> m_owner;           // non-owning: the main frame
    wxString m_extension = kRecordExtension;
    double m_duration = 0.0;    // guarded by m_recordMutex
    double m_rate = 0.0;        // of the open writer; guarded by m_recordMutex
    int64_t m_framesTaken = 0;  // frames of this run the writer took; guarded by m_recordMutex
    int64_t m_framesOffered = 0;  // frames of this run that came, taken or not; same guard
    double m_runStartUs = -1.0;   // SetRunStart's instant; same guard
    int64_t m_stopFrames = -1;    // frames due before the stop instant, -1 before it; same guard
    bool m_hasEnded = false;      // the run ended itself (its limit, a failed write); same guard
    std::atomic<double> m_time{0.0};
    std::mutex m_recordMutex;  // held by RecordFrame around the writer call
    std::atomic<bool> m_runPending{false};
    std::atomic<bool> m_stopRequested{false};  // the stop request is raised once per run
    wxString m_finishedPath;                   // the last recording finished here
    wxString m_endNote;                        // of the last finished run
    bool m_isRemoved = false;                  // of the last finished run
    int m_openError = 0;                       // of the last OpenWriter
};

// A controller for the device, linked to it; the device takes ownership
// (CAnalogDevice::SetRecorder). GUI thread.
std::unique_ptr<CAnalogFile> MakeRecordingController(CAnalogDevice& device);
// The capture stop's finaliser for a device (threaded saving): forwards to its
// controller, which finishes a pending run and leaves a finished file alone.
bool FinaliseRecordFile(CAnalogDevice& device, const wxString& path, int64_t frameCount);
