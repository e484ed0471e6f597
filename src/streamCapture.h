#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <streambuf>
#include <string>

// A character stream buffer that any thread may write into (std::cout and std::cerr
// while the main frame shows them); the GUI thread takes the text out and puts it on
// its page. It keeps no put area, so every write passes the lock and the text of one
// thread stays in the order written. Bounded: text beyond the capacity is dropped and
// counted, so a stalled GUI thread cannot make a writer grow memory without end.
class CStreamCapture : public std::streambuf {
public:
    static constexpr size_t kDefaultCapacity = 4 * 1024 * 1024;
    explicit CStreamCapture(size_t capacity = kDefaultCapacity) : m_capacity(capacity) {}

    // GUI thread, before the buffer is installed: called by the writer whose text
    // lands in an empty buffer, outside the lock (wakes the GUI thread up).
    void SetWakeUp(std::function<void()> wakeUp) { m_wakeUp = std::move(wakeUp); }

    // GUI thread: every complete UTF-8 character waiting, oldest first; a sequence cut
    // by the writer stays until its end arrives.
    std::string Take();
    // GUI thread: everything waiting, cut sequence included (when the buffer is retired).
    std::string TakeAll();
    // Any thread.
    bool HasPending() const { return m_pending.load(); }
    size_t TakeDroppedCount();

protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;

private:
    bool Append(const char* text, size_t count);

    const size_t m_capacity;
    std::function<void()> m_wakeUp;  // set before any writer exists
    mutable std::mutex m_mutex;      // leaf lock: guards m_text and m_dropped
    std::string m_text;
    size_t m_dropped = 0;
    std::atomic<bool> m_pending{false};
};

// Length of the longest prefix of text that does not end inside a UTF-8 sequence.
size_t CompleteUtf8Length(const std::string& text);
