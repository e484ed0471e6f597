#pragma once

#include "serial/ptyPair.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>

using SatelSample = std::array<int16_t, 3>;

// Plays the SATEL board on the master side of a pseudo-terminal: answers 'P', 'C' and
// 'R' with a short acknowledgement and 'B' with the next queued reply (or the standing
// sample, or no sample). A sample reply is a 5-byte header, 6 bytes per sample
// (big-endian int16, sensors 1 to 3) and six closing bytes, the last one '*'.
class CFakeSatelBoard {
public:
    explicit CFakeSatelBoard(CPtyPair& pty) : m_pty(pty) {}
    ~CFakeSatelBoard() { Stop(); }

    void Start()
    {
        m_thread = std::thread([this] { Run(); });
    }
    void Stop()
    {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }

    static std::string SampleReply(const std::vector<SatelSample>& samples)
    {
        std::string reply = {'#', 'I', 0, 0, 'B'};
        for (const SatelSample& sample : samples) {
            for (int16_t value : sample) {
                const uint16_t bits = static_cast<uint16_t>(value);
                reply.push_back(static_cast<char>(bits >> 8));
                reply.push_back(static_cast<char>(bits & 0xFF));
            }
        }
        reply.append(5, '\0');
        reply.push_back('*');
        return reply;
    }

    // The bytes the next 'B' gets, sent as they stand.
    void QueueRaw(const std::string& bytes)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_replies.push_back(bytes);
    }
    void Queue(const std::vector<SatelSample>& samples) { QueueRaw(SampleReply(samples)); }
    // Sent on 'B' when nothing is queued; cleared: an empty sample reply.
    void SetStanding(const SatelSample& sample)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_standing = sample;
        m_hasStanding = true;
    }
    // The same reply closed by a lone '*' instead of the six closing bytes.
    static std::string LoneStarReply(const std::vector<SatelSample>& samples)
    {
        std::string reply = SampleReply(samples);
        reply.erase(reply.size() - 6);
        reply.push_back('*');
        return reply;
    }
    // Stops answering 'P', 'C' and 'R'.
    void SetSilent(bool silent) { m_silent = silent; }
    // Stops answering 'B'.
    void SetSilentSamples(bool silent) { m_silentSamples = silent; }

    // The command frames received so far, whole.
    std::vector<std::string> Commands()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_commands;
    }
    bool WaitForCommands(size_t count, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_received.wait_for(lock, timeout, [&] { return m_commands.size() >= count; });
    }
    size_t QueuedCount()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_replies.size();
    }

private:
    void Run()
    {
        std::string pending;
        while (!m_stop) {
            pollfd entry{m_pty.Master(), POLLIN, 0};
            if (::poll(&entry, 1, 10) <= 0 || !(entry.revents & POLLIN)) continue;
            char bytes[64];
            const ssize_t got = ::read(m_pty.Master(), bytes, sizeof bytes);
            if (got <= 0) continue;
            pending.append(bytes, static_cast<size_t>(got));
            while (pending.size() >= 8) {
                const std::string frame = pending.substr(0, 8);
                pending.erase(0, 8);
                Answer(frame);
            }
        }
    }
    void Answer(const std::string& frame)
    {
        std::string reply;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_commands.push_back(frame);
            const char command = frame[4];
            if (command == 'B' && m_silentSamples) {
            } else if (command == 'B') {
                if (!m_replies.empty()) {
                    reply = m_replies.front();
                    m_replies.pop_front();
                } else {
                    reply = m_hasStanding ? SampleReply({m_standing}) : SampleReply({});
                }
            } else if (!m_silent) {
                reply = std::string{'#', 'I', 0, 0, command, '*'};
            }
        }
        m_received.notify_all();
        if (!reply.empty()) m_pty.Send(reply);
    }

    CPtyPair& m_pty;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_silent{false};
    std::atomic<bool> m_silentSamples{false};
    std::mutex m_mutex;
    std::condition_variable m_received;
    std::vector<std::string> m_commands;
    std::deque<std::string> m_replies;
    SatelSample m_standing{};
    bool m_hasStanding = false;
};
