#pragma once

#include <wx/string.h>

#include <cstdint>

// What an analog device asks of its recording controller. The device owns
// one; the capture hooks forward to it. Threads as marked.
class CAnalogRecorder {
public:
    virtual ~CAnalogRecorder() = default;

    // Acquisition thread, every frame while IsRecording(); values belong to
    // the device and are overwritten by the next frame. Must not allocate. True when the
    // recording took the frame.
    virtual bool RecordFrame(const double* values, int count, uint32_t sample, double timeSec) = 0;
    virtual bool IsRecording() const = 0;  // any thread
    // Acquisition thread: frames that may come now and still leave a writer's queue room
    // for a second of frames (may be negative); a recording that queues nothing has
    // room for any.
    virtual int64_t FramesRoom() { return INT64_MAX; }
    // A run whose markers the recording will still take: recording, or ended
    // (its limit) and not finished yet. The device keeps every marker then.
    // Any thread.
    virtual bool HoldsMarkers() const { return IsRecording(); }

    // GUI thread.
    virtual bool OpenWriter(const wxString& folder, const wxString& captureName, int trial,
                            bool exportText, const wxString& exportFolder, bool useThread,
                            int queueDepth, int priority) = 0;
    virtual bool StartRecording() = 0;
    // Finishes a run that was started and not finished yet, also one that the
    // duration limit ended; false when there is none.
    virtual bool FinishRecording() = 0;
    virtual bool StopRecording() = 0;
    virtual void SetDuration(double seconds) = 0;
    virtual int64_t GetFramesWritten() const = 0;
    virtual double GetTime() const = 0;  // time of the last recorded frame, seconds
    virtual wxString GetFileName() const = 0;
    virtual wxString GetTextFileName() const = 0;
};
