#pragma once

#include "../serial/ptyPair.h"

#include <algorithm>
#include <cerrno>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

using SatelSample = std::array<int16_t, 3>;

// Sample j of a board on its own clock, unique among the first million: each sensor
// is a saw tooth of 101 values, sensor 1 one step per sample, sensor 2 one per 101
// samples, sensor 3 one per 101 x 101. Each stays in a band of 100, so that a spike
// filter never trips whatever the gap between two samples; sensor 1 passes a low byte
// 0x2A (42), sensor 2 starts there (298) and sensor 3 stays there (554) for ten
// thousand samples: most samples end with a '*' byte.
inline SatelSample RampSample(int64_t j)
{
    const int64_t k = j % (101 * 101 * 101);
    return {static_cast<int16_t>(-8 + k % 101), static_cast<int16_t>(248 + (k / 101 + 50) % 101),
            static_cast<int16_t>(504 + (k / 10201 + 50) % 101)};
}

// The j of RampSample(j) for three sensor values, -1 when they are no such sample.
inline int64_t RampIndex(const SatelSample& sample)
{
    const int a = sample[0] + 8;
    const int b = sample[1] - 248;
    const int c = sample[2] - 504;
    if (a < 0 || a > 100 || b < 0 || b > 100 || c < 0 || c > 100) return -1;
    return a + 101 * ((b + 51) % 101) + 10201 * ((c + 51) % 101);
}

// Follows the ramp samples frame by frame: which sample each frame carries, how many
// the frames skipped and how many frames repeated the previous one.
class CRampFollower {
public:
    // raw: the frame's three sensor values before the board offsets were taken off.
    // False for values that are no board sample, or one older than the last.
    bool Take(const double raw[3])
    {
        SatelSample values{};
        for (int i = 0; i < 3; ++i) {
            if (!(std::fabs(raw[i] - std::lround(raw[i])) < 1e-6)) return false;
            values[i] = static_cast<int16_t>(std::lround(raw[i]));
        }
        int64_t j = RampIndex(values);
        if (j < 0) return false;
        if (frames > 0 && j <= last && stillUntil) {
            // A still spell's value: a fresh sample while the spell has one left after
            // the last (taken so: the repeats that are certain), else a repeat.
            const int64_t end = stillUntil(j);
            if (last > end) return false;
            if (last < end) ++uncertain;
            j = std::min(last + 1, end);
        }
        if (frames > 0 && j < last) return false;
        if (frames == 0)
            first = j;
        else if (j == last)
            ++repeated;
        else
            skipped += j - last - 1;
        last = j;
        ++frames;
        return true;
    }
    int64_t frames = 0;
    int64_t first = -1;
    int64_t last = -1;
    int64_t skipped = 0;
    int64_t repeated = 0;
    // Where a board held its samples still: the last sample carrying sample j's value
    // (none: every sample differs). Frames of such a value that may be repeats.
    std::function<int64_t(int64_t)> stillUntil;
    int64_t uncertain = 0;
};

// Plays the SATEL board on the master side of a pseudo-terminal: answers 'P', 'C' and
// 'R' with a short acknowledgement and 'B' with the next queued reply (or, on its own
// clock, every sample gathered since the last answered 'B'; or the standing sample; or
// no sample). A sample reply is a 5-byte header, 6 bytes per sample (big-endian int16,
// sensors 1 to 3) and six closing bytes: five zero bytes and '*'.
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
    // Stops answering 'B'.
    void SetSilentSamples(bool silent) { m_silentSamples = silent; }
    // Set before Start: the board gathers RampSample(j) at its first 'R' + (phase + j)
    // / rateHz seconds, on the steady clock; 'B' takes what was gathered since the last
    // answered 'B'.
    void SetClock(double rateHz, double phase)
    {
        m_clockRate = rateHz;
        m_clockPhase = phase;
    }
    // The next count 'B' get no reply (what was gathered waits for the next answered one).
    void SkipSampleRequests(int count) { m_skipRequests = count; }

    // The longest sample reply sent so far (bytes).
    size_t LongestReply() const { return m_longestReply.load(); }

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
    void Send(const std::string& bytes) { m_pty.SendUnless(bytes, m_stop); }
    // The clocked board's reply: every sample gathered by now and not yet sent.
    std::string GatheredReply()
    {
        std::vector<SatelSample> samples;
        if (m_clockStarted) {
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - m_clockStart)
                    .count();
            const int64_t gathered =
                seconds < 0.0 ? 0 : static_cast<int64_t>(std::floor(seconds * m_clockRate)) + 1;
            for (; m_sent < gathered; ++m_sent) samples.push_back(RampSample(m_sent));
        }
        return SampleReply(samples);
    }
    void Answer(const std::string& frame)
    {
        const char command = frame[4];
        bool answer = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_commands.push_back(frame);
            if (command == 'R' && m_clockRate > 0.0 && !m_clockStarted) {
                m_clockStarted = true;
                m_clockStart = std::chrono::steady_clock::now() +
                               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                   std::chrono::duration<double>(m_clockPhase / m_clockRate));
            }
            if (command != 'B') {
                answer = true;
            } else if (m_silentSamples) {
            } else if (m_skipRequests > 0) {
                --m_skipRequests;
            } else {
                answer = true;
            }
        }
        m_received.notify_all();
        if (!answer) return;
        std::string reply;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (command != 'B') {
                reply = std::string{'#', 'I', 0, 0, command, '*'};
            } else if (!m_replies.empty()) {
                reply = m_replies.front();
                m_replies.pop_front();
            } else if (m_clockRate > 0.0) {
                reply = GatheredReply();
            } else {
                reply = m_hasStanding ? SampleReply({m_standing}) : SampleReply({});
            }
        }
        if (command == 'B') m_longestReply = std::max(m_longestReply.load(), reply.size());
        Send(reply);
    }

    CPtyPair& m_pty;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_silentSamples{false};
    std::mutex m_mutex;
    std::condition_variable m_received;
    std::vector<std::string> m_commands;
    std::deque<std::string> m_replies;
    SatelSample m_standing{};
    bool m_hasStanding = false;
    std::atomic<int> m_skipRequests{0};
    std::atomic<size_t> m_longestReply{0};
    double m_clockRate = 0.0;              // set before Start
    double m_clockPhase = 0.0;
    bool m_clockStarted = false;  // guarded by m_mutex, as the two below
    std::chrono::steady_clock::time_point m_clockStart;
    int64_t m_sent = 0;
};
