#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

// The thread that waits on the disk for a running recording, so that the thread
// writing its frames never does: it makes durable what the writer last flushed
// when asked, or once an interval has passed with nothing asked; meanwhile it may
// run a shorter chore (a plain writer's frames that waited in its buffer).
// Start/Stop: GUI thread, while no frame is written. Publish/Ask: the thread that
// writes the frames. The callbacks run on the sync thread, with no lock held.
class CRecordSyncThread {
public:
    struct Work {
        // Makes the frames flushed so far durable: the file up to end, then frames.
        std::function<void(int64_t frames, int64_t end)> sync;
        // Runs every choreInterval while the thread waits; none when empty.
        std::function<void()> chore;
        std::chrono::milliseconds choreInterval{0};
    };

    CRecordSyncThread() = default;
    ~CRecordSyncThread() { Stop(); }
    CRecordSyncThread(const CRecordSyncThread&) = delete;
    CRecordSyncThread& operator=(const CRecordSyncThread&) = delete;

    // Starts the thread with what is on file now; false when no thread could be had.
    bool Start(std::chrono::milliseconds interval, int64_t frames, int64_t end, Work work);
    // Joins the thread; what it was making durable is done first.
    void Stop();
    // The frames in the file after a flush, and the offset after them.
    void Publish(int64_t frames, int64_t end);
    // What was published is to be made durable now.
    void Ask();

private:
    void Run() noexcept;

    std::chrono::milliseconds m_interval{0};
    Work m_work;  // set before the thread exists
    std::thread m_thread;
    std::mutex m_lock;  // a leaf lock: guards the four fields below only
    std::condition_variable m_wake;
    int64_t m_flushedFrames = 0;
    int64_t m_flushedEnd = 0;
    bool m_isAsked = false;
    bool m_stop = false;
};
