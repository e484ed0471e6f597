#pragma once

#include <wx/thread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "analog/analogWriter.h"

// A writer whose frames are queued by the recording thread and written by a
// writer thread of its own. Owned by the recording controller, which joins the
// thread (Finish, Close, destructor) before it deletes the writer.
// WriteFrame: acquisition thread (copies into a preallocated slot, never waits
// on the disk). Entry: writer thread. Everything else: GUI thread.
class CAnalogThreadWriter : public CAnalogWriter, public wxThread {
public:
    CAnalogThreadWriter(uint32_t priority, uint64_t requestedCapacity);
    ~CAnalogThreadWriter() override;

    bool OpenFile(const wxString& path, int32_t channels, int32_t dim, double rate, bool exportText,
                  const wxString& exportFolder) override;
    uint64_t WriteFrame(const double* values, uint64_t count) override;
    bool WriteMarkers(const RecordMarkers* markers) override;
    bool Close() override;
    bool IsOpen() const override { return IsCreated(); }
    bool UpdateFrameCount() override;
    void StopThread() override;
    bool Start() override;
    bool Finish(const RecordMarkers* markers) override;
    void Discard() override;
    uint64_t GetDroppedFrames() const override
    {
        return m_droppedFrames.load(std::memory_order_relaxed);
    }

    uint64_t GetCapacity() const { return m_capacity; }
    uint32_t GetWriterPriority() const { return m_priority; }
    // Stops the thread after it has written every queued frame, and joins it.
    void StopAndJoin();

protected:
    ExitCode Entry() noexcept override;

private:
    void ErrorMessage(const wxString& text);
    void Drain();

    uint64_t m_capacity;
    uint64_t m_queued = 0;  // guarded by m_queueLock
    uint64_t m_head = 0;    // guarded by m_queueLock
    uint32_t m_priority;
    std::mutex m_queueLock;  // a leaf lock: copies a frame, nothing more
    std::condition_variable m_wake;
    bool m_stop = true;            // guarded by m_queueLock
    bool m_writerWaiting = false;  // guarded by m_queueLock
    uint64_t m_wakeThreshold = 1;
    int32_t m_channels = 0;
    int32_t m_dim = 0;
    std::vector<double> m_slots;  // m_capacity frames of GetFrameSize() values
    std::atomic<uint64_t> m_droppedFrames{0};
    bool m_threadCreated = false;
    bool m_threadStarted = false;
    bool m_threadJoined = false;
};
