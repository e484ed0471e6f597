#include "streamCapture.h"

#include <utility>

std::streambuf::int_type CStreamCapture::overflow(int_type ch)
{
    if (traits_type::eq_int_type(ch, traits_type::eof()))
        return traits_type::not_eof(ch);
    const char c = traits_type::to_char_type(ch);
    Append(&c, 1);
    return ch;
}

std::streamsize CStreamCapture::xsputn(const char* text, std::streamsize count)
{
    if (count <= 0)
        return 0;
    Append(text, static_cast<size_t>(count));
    // Dropped text is still reported as written: a full page must not put the
    // writer's stream into a failed state.
    return count;
}

bool CStreamCapture::Append(const char* text, size_t count)
{
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_text.size() + count > m_capacity) {
            m_dropped += count;
            return false;
        }
        wasEmpty = m_text.empty();
        m_text.append(text, count);
        m_pending.store(true);
    }
    if (wasEmpty && m_wakeUp)
        m_wakeUp();
    return true;
}

std::string CStreamCapture::Take()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const size_t length = CompleteUtf8Length(m_text);
    std::string taken = m_text.substr(0, length);
    m_text.erase(0, length);
    m_pending.store(!m_text.empty());
    return taken;
}

std::string CStreamCapture::TakeAll()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string taken;
    taken.swap(m_text);
    m_pending.store(false);
    return taken;
}

size_t CStreamCapture::TakeDroppedCount()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(m_dropped, 0);
}

size_t CompleteUtf8Length(const std::string& text)
{
    // Look back at most 3 bytes for the lead byte of a sequence that is not complete.
    const size_t size = text.size();
    for (size_t back = 1; back <= 3 && back <= size; ++back) {
        const unsigned char c = static_cast<unsigned char>(text[size - back]);
        if ((c & 0xC0) == 0x80)
            continue;  // continuation byte: keep looking for its lead
        size_t needed = 1;
        if ((c & 0xE0) == 0xC0)
            needed = 2;
        else if ((c & 0xF0) == 0xE0)
            needed = 3;
        else if ((c & 0xF8) == 0xF0)
            needed = 4;
        return needed > back ? size - back : size;
    }
    return size;  // plain text, or stray continuation bytes that no lead will complete
}
