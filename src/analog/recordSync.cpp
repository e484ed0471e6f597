#include "analog/recordSync.h"

#include <pthread.h>
#include <wx/string.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "analog/recordFormat.h"

bool CRecordSyncThread::Start(std::chrono::milliseconds interval, int64_t frames, int64_t end,
                              Work work)
{
    if (m_thread.joinable()) return true;
    m_interval = interval;
    m_work = std::move(work);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = false;
        m_isAsked = false;
        m_flushedFrames = frames;
        m_flushedEnd = end;
    }
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

void CRecordSyncThread::Stop()
{
    if (!m_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void CRecordSyncThread::Publish(int64_t frames, int64_t end)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_flushedFrames = frames;
    m_flushedEnd = end;
}

void CRecordSyncThread::Ask()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_isAsked = true;
    }
    m_wake.notify_one();
}

void CRecordSyncThread::Run() noexcept
{
    try {
        pthread_setname_np(pthread_self(), "qv-rec-sync");
        std::unique_lock<std::mutex> lock(m_lock);
        auto deadline = std::chrono::steady_clock::now() + m_interval;
        while (!m_stop) {
            // By the frames' own time when they come, by the clock when they lag; the
            // chore runs meanwhile.
            const auto wake =
                m_work.chore
                    ? std::min(deadline, std::chrono::steady_clock::now() + m_work.choreInterval)
                    : deadline;
            m_wake.wait_until(lock, wake, [this] { return m_stop || m_isAsked; });
            if (m_stop) break;
            if (m_work.chore) {
                lock.unlock();  // the writer's own locks come first
                m_work.chore();
                lock.lock();
                if (m_stop) break;
            }
            if (!m_isAsked && std::chrono::steady_clock::now() < deadline) continue;
            const int64_t frames = m_flushedFrames;
            const int64_t end = m_flushedEnd;
            m_isAsked = false;
            lock.unlock();  // the frame thread goes on writing meanwhile
            m_work.sync(frames, end);
            lock.lock();
            deadline = std::chrono::steady_clock::now() + m_interval;
        }
    } catch (const std::exception& e) {
        ReportRecordingError(wxString("<REC> sync thread ended: ") + e.what());
    } catch (...) {
        ReportRecordingError("<REC> sync thread ended: unknown failure");
    }
}
