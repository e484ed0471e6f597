#include "process/messageQueue.h"

#include <utility>

CMessageQueue g_messages;

bool CMessageQueue::Post(Severity severity, std::string text, bool log)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_messages.size() >= m_capacity) {
            ++m_dropped;
            return false;
        }
        m_messages.push_back(QueuedMessage{severity, std::move(text), log});
    }
    m_posted.notify_all();
    return true;
}

bool CMessageQueue::Post(Severity severity, const wxString& text, bool log)
{
    return Post(severity, std::string(text.utf8_str().data()), log);
}

std::vector<QueuedMessage> CMessageQueue::Drain()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<QueuedMessage> taken(std::make_move_iterator(m_messages.begin()),
                                     std::make_move_iterator(m_messages.end()));
    m_messages.clear();
    return taken;
}

size_t CMessageQueue::TakeDroppedCount()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(m_dropped, 0);
}

bool CMessageQueue::WaitForMessage(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_posted.wait_for(lock, timeout, [this] { return !m_messages.empty(); });
}
