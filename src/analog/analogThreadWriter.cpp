#include "analog/analogThreadWriter.h"

#include <pthread.h>
#include <wx/intl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>

namespace {

// Frame slots of one threaded writer's queue, in bytes, above its two seconds of frames.
constexpr uint64_t kMaxQueueBytes = 64u << 20;
// An idle writer thread wakes this often to flush; the enqueue wakes it sooner
// only when a batch is waiting, so recording a frame costs no system call.
constexpr std::chrono::milliseconds kWriterWakeInterval(20);

}  // namespace

CAnalogThreadWriter::CAnalogThreadWriter(uint32_t priority, uint64_t requestedCapacity)
    : wxThread(wxTHREAD_JOINABLE),
      m_capacity(std::max<uint64_t>(requestedCapacity, 30)),
      m_priority(priority > 100 ? 50 : priority)
{
}

CAnalogThreadWriter::~CAnalogThreadWriter()
{
    Close();
    StopAndJoin();  // a writer that never opened a file may still own a thread
}

void CAnalogThreadWriter::ErrorMessage(const wxString& text) { ReportRecordingError(text); }

bool CAnalogThreadWriter::OpenFile(const wxString& path, int32_t channels, int32_t dim, double rate,
                                   bool exportText, const wxString& exportFolder)
{
    if (m_threadStarted && !m_threadJoined) return false;
    if (IsCreated()) return true;
    if (m_threadCreated) {  // a toolkit thread runs once: one recording per writer
        ErrorMessage(_("Unable to create analog writer thread"));
        return false;
    }
    if (!CAnalogWriter::OpenFile(path, channels, dim, rate, exportText, exportFolder)) {
        ErrorMessage(_("Unable to open analog thread writer : ") + path);
        return false;
    }
    m_channels = channels;
    m_dim = dim;
    // Never less than two seconds of frames, so a slow disk does not drop any;
    // beyond that, no more than the queue's memory budget holds: a depth asking
    // for gigabytes would fail every trial.
    const double twoSeconds = std::isfinite(rate) ? std::min(std::max(rate, 0.0), 1e6) * 2.0 : 0.0;
    const uint64_t budget =
        std::max<uint64_t>(1, kMaxQueueBytes / (std::max<uint64_t>(GetFrameSize(), 1) * 8));
    m_capacity = std::max<uint64_t>(std::min(m_capacity, budget),
                                    static_cast<uint64_t>(std::ceil(twoSeconds)) + 1);
    m_wakeThreshold = std::max<uint64_t>(1, m_capacity / 4);
    try {
        if (GetFrameSize() == 0) throw std::bad_alloc();
        m_slots.assign(m_capacity * GetFrameSize(), 0.0);
    } catch (const std::exception&) {
        ErrorMessage(_("Unable to create analog data buffer"));
        CAnalogWriter::Discard();
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        m_stop = false;
        m_queued = 0;
        m_head = 0;
    }
    if (Create() != wxTHREAD_NO_ERROR) {
        ErrorMessage(_("Unable to create analog writer thread"));
        m_slots.clear();
        CAnalogWriter::Discard();
        return false;
    }
    m_threadCreated = true;
    SetPriority(m_priority);
    return true;
}

bool CAnalogThreadWriter::Start()
{
    if (!IsCreated() || !m_threadCreated || m_threadJoined) {
        ErrorMessage(_("Unable to start analog writer thread"));
        return false;
    }
    if (m_threadStarted) return true;
    // The disk is waited on by a thread of its own: a flush that takes seconds on a
    // busy disk holds neither the queue's draining nor the frames behind it.
    if (!StartSyncThread(false)) return false;
    if (Run() != wxTHREAD_NO_ERROR) {
        ErrorMessage(_("Unable to start analog writer thread"));
        return false;
    }
    m_threadStarted = true;
    return true;
}

uint64_t CAnalogThreadWriter::WriteFrame(const double* values, uint64_t count)
{
    const uint64_t frameSize = GetFrameSize();
    if (!values || count != frameSize || count == 0 || m_slots.empty()) {
        RefuseFrame();  // reported at the finish, as the plain writer's
        return 0;
    }
    if (HasEnded()) {
        LoseFrame();  // the writer thread could not write: the recording ended there
        return 0;
    }
    bool isWakeDue = false;
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        if (m_stop) {
            RefuseFrame();  // the writer thread was asked to end: nothing more is written
            return 0;
        }
        if (m_queued + 1 >= m_capacity) {
            m_droppedFrames.fetch_add(1, std::memory_order_relaxed);  // reported at the finish
            return 0;
        }
        double* slot = m_slots.data() + ((m_head + m_queued) % m_capacity) * frameSize;
        std::memcpy(slot, values, frameSize * sizeof(double));
        ++m_queued;
        isWakeDue = m_writerWaiting && m_queued == m_wakeThreshold;
    }
    if (isWakeDue) m_wake.notify_one();
    return count;
}

void CAnalogThreadWriter::StopThread()
{
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        m_stop = true;
    }
    m_wake.notify_one();
}

void CAnalogThreadWriter::StopAndJoin()
{
    if (!m_threadCreated || m_threadJoined) return;
    StopThread();
    if (!m_threadStarted) {
        // Never started: run it once so it writes what was queued and ends.
        if (Run() != wxTHREAD_NO_ERROR) return;
        m_threadStarted = true;
    }
    Wait();
    m_threadJoined = true;
}

wxThread::ExitCode CAnalogThreadWriter::Entry() noexcept
{
    try {
        pthread_setname_np(pthread_self(), "qv-rec-writer");
        Drain();
    } catch (const std::exception& e) {
        ReportRecordingError(wxString("<REC> writer thread ended: ") + e.what());
    } catch (...) {
        ReportRecordingError("<REC> writer thread ended: unknown failure");
    }
    return nullptr;
}

void CAnalogThreadWriter::Drain()
{
    const uint64_t frameSize = GetFrameSize();
    std::unique_lock<std::mutex> lock(m_queueLock);
    for (;;) {
        if (m_queued == 0) {
            if (m_stop) break;  // every queued frame has been written
            m_writerWaiting = true;
            m_wake.wait_for(lock, kWriterWakeInterval,
                            [this] { return m_stop || m_queued >= m_wakeThreshold; });
            m_writerWaiting = false;
        }
        const uint64_t head = m_head;
        const uint64_t count = std::min(m_queued, m_capacity - head);
        lock.unlock();  // a slot is not reused before m_queued drops
        uint64_t done = 0;
        bool isSyncDue = false;  // never more than an interval's frames at risk
        while (done < count && !isSyncDue) {
            AppendFrame(m_slots.data() + (head + done) * frameSize);
            ++done;
            isSyncDue = IsSyncDue();
        }
        lock.lock();
        m_head = (head + done) % m_capacity;
        m_queued -= done;
        lock.unlock();  // the slots are free again before the disk is waited on
        const auto now = std::chrono::steady_clock::now();
        if (isSyncDue) {
            if (HasSyncThread())
                AskSync();
            else
                SyncRunning();
        } else {
            FlushIfDue(now);
            if (!HasSyncThread()) SyncIfDue(now);
        }
        lock.lock();
    }
    lock.unlock();
    FlushFrames();
}

bool CAnalogThreadWriter::WriteMarkers(const RecordMarkers* markers)
{
    StopAndJoin();
    return CAnalogWriter::WriteMarkers(markers);
}

bool CAnalogThreadWriter::UpdateFrameCount()
{
    StopAndJoin();
    return CAnalogWriter::UpdateFrameCount();
}

bool CAnalogThreadWriter::Finish(const RecordMarkers* markers)
{
    StopAndJoin();
    return CAnalogWriter::Finish(markers);
}

void CAnalogThreadWriter::Discard()
{
    // A thread that never ran is run once to end; it must not write the export meanwhile.
    if (!m_threadStarted) AbandonTextExport();
    StopAndJoin();
    CAnalogWriter::Discard();
    m_slots.clear();
    m_slots.shrink_to_fit();
}

bool CAnalogThreadWriter::Close()
{
    StopAndJoin();
    const bool isOk = CAnalogWriter::Close();
    m_slots.clear();
    m_slots.shrink_to_fit();
    return isOk;
}
