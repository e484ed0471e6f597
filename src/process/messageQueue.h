#pragma once

#include <wx/string.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

// Info goes to the "Messages" page, Warning and Error to the "Errors" page.
enum class Severity { Info, Warning, Error };

struct QueuedMessage {
    Severity severity = Severity::Info;
    std::string text;  // UTF-8
    bool log = false;  // also log it as an error (SetErrorMessage's flag)
};

// Text from acquisition and writer threads on its way to the GUI thread, which
// drains it. Bounded: a full queue drops the message and counts it.
class CMessageQueue {
public:
    static constexpr size_t kDefaultCapacity = 1024;
    explicit CMessageQueue(size_t capacity = kDefaultCapacity) : m_capacity(capacity) {}

    // Any thread. False when the queue is full (the drop is counted).
    bool Post(Severity severity, std::string text, bool log = false);
    bool Post(Severity severity, const wxString& text, bool log = false);
    // GUI thread: takes every waiting message, oldest first.
    std::vector<QueuedMessage> Drain();
    // Any thread: messages dropped since the last call.
    size_t TakeDroppedCount();
    // Any thread: true once a message waits, false after the timeout.
    bool WaitForMessage(std::chrono::milliseconds timeout);

private:
    const size_t m_capacity;
    std::mutex m_mutex;  // leaf lock: guards the fields below
    std::condition_variable m_posted;
    std::deque<QueuedMessage> m_messages;
    size_t m_dropped = 0;
};

// The process-wide queue that the main frame drains.
extern CMessageQueue g_messages;
