#pragma once

#include "process/messageQueue.h"
#include "support/tempDir.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

// A port path that the test points at one pseudo-terminal and then another: the cable
// is pulled by closing the first one's instrument side, and plugged in again by
// pointing the path at the second. Lives in a fresh directory of its own.
class CLineLink {
public:
    CLineLink() : m_dir("qv-line"), m_path((m_dir.Path() / "line").string()) {}

    bool PointAt(const std::string& target)
    {
        if (!m_dir.IsMade()) return false;
        std::error_code error;
        std::filesystem::remove(m_path, error);
        std::filesystem::create_symlink(target, m_path, error);
        return !error;
    }
    // The device file gone: nothing at the path until it is pointed somewhere again.
    bool Remove()
    {
        std::error_code error;
        return std::filesystem::remove(m_path, error) && !error;
    }
    const std::string& Path() const { return m_path; }

private:
    const CTempFolder m_dir;
    const std::string m_path;
};

// The texts of the process-wide message queue, gathered as they come.
class CMessageLog {
public:
    // Waits until a message holding part came; false after the timeout.
    bool WaitFor(const std::string& part, std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            Take();
            if (Count(part) > 0) return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            g_messages.WaitForMessage(std::min(left, std::chrono::milliseconds(100)));
        }
    }
    void Take()
    {
        for (const QueuedMessage& message : g_messages.Drain()) texts.push_back(message.text);
    }
    int Count(const std::string& part) const
    {
        return static_cast<int>(std::count_if(texts.begin(), texts.end(), [&](const std::string& t) {
            return t.find(part) != std::string::npos;
        }));
    }
    // The first message holding part, or an empty text.
    std::string Find(const std::string& part) const
    {
        for (const std::string& text : texts)
            if (text.find(part) != std::string::npos) return text;
        return std::string();
    }

    std::vector<std::string> texts;
};
