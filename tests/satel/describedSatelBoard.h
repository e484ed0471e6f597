#pragma once
// A SATEL board written from what is known of its line alone, in the ways a board may
// fill what that leaves open: what its two length bytes count, how it ends a sample
// reply, how long its acknowledgements are; and the faults of a real line.

#include "../serial/ptyPair.h"
#include "fakeSatelBoard.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

// Commands are 8 bytes ('#' 'I' 00 03 command argument 00 '*'). 'P', 'C' and 'R' are
// acknowledged; 'B' is answered with every sample gathered since the last answered
// 'B': a 5-byte header ('#' 'I', two length bytes, 'B'), 6 bytes per sample (three
// big-endian int16), then the ending. Samples are RampSample(j), gathered from the
// first 'R' on at the board's rate.
class CDescribedSatelBoard {
public:
    // What the two length bytes count: nothing (0); the bytes from the kind to before
    // the closing '*', as in the commands; the same and the '*'; the sample bytes only.
    enum class Length { Zero, Own, Star, Samples };
    struct Faults {
        int doubleByteEvery = 0;   // every Nth reply with samples: one byte sent twice
        int extraByteEvery = 0;    // every Nth reply with samples: one byte more inside
        int doubleReplyEvery = 0;  // every Nth reply is sent twice
        int dribbleEvery = 0;      // every Nth reply (or the next short one) dribbles
        int dribbleMinMs = 2;
        int dribbleMaxMs = 8;
        int garbageEvery = 0;      // every Nth reply follows a burst of line noise
        int atLeast = 0;           // the run goes on until that many faults were injected
    };

    CDescribedSatelBoard(double rateHz, Length length, bool loneEnding)
        : m_rate(rateHz), m_length(length), m_lone(loneEnding)
    {
    }
    ~CDescribedSatelBoard() { Stop(); }

    void SetFaults(const Faults& faults) { m_faults = faults; }
    // Sets the acknowledgements' length field (by default what the length bytes count).
    void SetAckLength(int length) { m_ackLength = length; }
    // Before the device opens the line: the board keeps a look at the line's receive
    // queue (an adapter's own buffer), to know when the device has taken what it sent.
    void Start(CPtyPair& pty)
    {
        m_pty = &pty;
        m_stop = false;
        m_look = ::open(pty.SlaveName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        m_thread = std::thread([this] { Run(); });
    }
    void Stop()
    {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_look >= 0) ::close(m_look);
        m_look = -1;
    }
    // The adapter is plugged in again (another line): the board, whose clock ran on,
    // answers there.
    void Resume(CPtyPair& pty)
    {
        Stop();
        m_vanished = false;
        Start(pty);
    }
    // Samples sent so far (the first n ramp samples), faults injected, and whether the
    // adapter went.
    int64_t Sent() const { return m_sent.load(); }
    // The next reply with samples leaves half-way, and the adapter goes with it. The
    // samples of that reply, the first of them, and whether it went before the device
    // could tell it held samples.
    void VanishSoon() { m_vanishSoon = true; }
    int64_t GoneSamples() const { return m_goneSamples.load(); }
    int64_t GoneFrom() const { return m_goneFrom.load(); }
    bool GoneUnseen() const { return m_unseen.load(); }
    int Injected() const { return m_injected.load(); }
    int InjectedAtLeast() const { return m_faults.atLeast; }
    // The longest sample reply sent (bytes), and the longest time between two bytes
    // of a dribbled reply as they really left (a held-up board thread waits longer).
    size_t LongestReply() const { return m_longestReply.load(); }
    int64_t LongestGapMs() const { return m_longestGapMs.load(); }
    bool Vanished() const { return m_vanished.load(); }

private:
    void Run()
    {
        std::string pending;
        while (!m_stop && !m_vanished) {
            pollfd entry{m_pty->Master(), POLLIN, 0};
            if (::poll(&entry, 1, 5) <= 0 || !(entry.revents & POLLIN)) continue;
            char bytes[64];
            const ssize_t got = ::read(m_pty->Master(), bytes, sizeof bytes);
            if (got <= 0) continue;
            pending.append(bytes, static_cast<size_t>(got));
            while (pending.size() >= 8 && !m_vanished) {
                const char command = pending[4];
                pending.erase(0, 8);
                Answer(command);
            }
        }
    }
    static void PutU16(std::string& out, size_t value)
    {
        out.push_back(static_cast<char>((value >> 8) & 0xFF));
        out.push_back(static_cast<char>(value & 0xFF));
    }
    size_t LengthOf(size_t samples) const
    {
        const size_t ending = m_lone ? 1 : 6;
        switch (m_length) {
            case Length::Own:
                return 6 * samples + ending;
            case Length::Star:
                return 6 * samples + ending + 1;
            case Length::Samples:
                return 6 * samples;
            default:
                return 0;
        }
    }
    std::string Gathered()
    {
        std::string reply = {'#', 'I'};
        size_t count = 0;
        std::string body;
        if (m_clockStarted) {
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
            const int64_t gathered = static_cast<int64_t>(std::floor(seconds * m_rate)) + 1;
            for (int64_t j = m_sent.load(); j < gathered; ++j, ++count) {
                for (int16_t value : RampSample(j)) PutU16(body, static_cast<uint16_t>(value));
            }
            m_sent = std::max(m_sent.load(), gathered);
        }
        PutU16(reply, LengthOf(count));
        reply.push_back('B');
        reply += body;
        if (!m_lone) reply.append(5, '\0');
        reply.push_back('*');
        return reply;
    }
    // Waits (up to two seconds) until the device has read all that was sent; returns
    // the bytes it left. Bytes sent reach the line's receive queue from a kernel worker,
    // late on a loaded machine: a poll of the line hands over what is on its way, so an
    // empty queue means read.
    int WaitUntilTaken() const
    {
        int waiting = 0;
        for (int i = 0; i < 2000 && m_look >= 0; ++i) {
            pollfd entry{m_look, POLLIN, 0};
            if (::poll(&entry, 1, 0) < 0 || ::ioctl(m_look, FIONREAD, &waiting) != 0) return 0;
            if (waiting == 0) return 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return waiting;
    }
    static bool Every(int every, int index) { return every > 0 && index % every == every - 1; }
    void Answer(char command)
    {
        if (command == 'R' && !m_clockStarted) {
            m_clockStarted = true;
            m_start = std::chrono::steady_clock::now();
        }
        if (command != 'B') {
            const int ack = m_ackLength >= 0 ? m_ackLength
                            : m_length == Length::Own  ? 1
                            : m_length == Length::Star ? 2
                                                       : 0;
            std::string reply = {'#', 'I'};
            PutU16(reply, static_cast<size_t>(ack));
            reply.push_back(command);
            reply.push_back('*');
            m_pty->Send(reply);
            return;
        }
        std::string reply = Gathered();
        m_longestReply = std::max(m_longestReply.load(), reply.size());
        const int index = m_replies++;
        const bool hasSample = reply.size() > 5 + (m_lone ? 1u : 6u);
        if (hasSample && (Every(m_faults.doubleByteEvery, index) ||
                          Every(m_faults.extraByteEvery, index))) {
            // Somewhere inside the first sample, its place moving from reply to reply.
            const size_t at = 5 + static_cast<size_t>(index / 2) % 6;
            const char byte = Every(m_faults.doubleByteEvery, index)
                                  ? reply[at]
                                  : static_cast<char>(m_random() & 0xFF);
            reply.insert(reply.begin() + static_cast<std::ptrdiff_t>(at), byte);
            ++m_injected;
        }
        if (Every(m_faults.garbageEvery, index)) {
            // Noise holds no '#': one that began a header would be a reply to anyone.
            std::string noise(1 + m_random() % 24, '\0');
            for (char& c : noise) {
                do c = static_cast<char>(m_random() & 0xFF);
                while (c == '#');
            }
            m_pty->Send(noise);
            ++m_injected;
        }
        if (hasSample && m_vanishSoon.exchange(false)) {
            // The adapter goes once the device has the first half. A device that does
            // not read meanwhile (it gave up on a held-up board and tries again later)
            // sees what it read.
            const std::string half = reply.substr(0, reply.size() / 2);
            m_pty->Send(half);
            const size_t seen =
                half.size() - std::min(half.size(), static_cast<size_t>(WaitUntilTaken()));
            // Without the header's kind and a byte more the device cannot tell a reply
            // with samples: they go without a word.
            m_goneSamples = static_cast<int64_t>((reply.size() - 5 - (m_lone ? 1 : 6)) / 6);
            m_goneFrom = m_sent.load() - m_goneSamples;
            m_unseen = seen <= 5;
            m_pty->CloseMaster();
            m_vanished = true;
            return;
        }
        // A reply dribbled takes its bytes' gaps: one with many samples (after a held-up
        // device) would let the board gather more than any read takes meanwhile. The
        // next small one is dribbled instead.
        m_dribbleDue = m_dribbleDue || Every(m_faults.dribbleEvery, index);
        if (m_dribbleDue && reply.size() <= kDribbledMax) {
            m_dribbleDue = false;
            // The gaps count from the first byte, so that a late wake-up does not add up.
            std::uniform_int_distribution<int> gap(m_faults.dribbleMinMs, m_faults.dribbleMaxMs);
            auto next = std::chrono::steady_clock::now();
            auto last = next;
            for (char byte : reply) {
                const auto now = std::chrono::steady_clock::now();
                m_longestGapMs = std::max<int64_t>(
                    m_longestGapMs.load(),
                    std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count());
                last = now;
                m_pty->Send(&byte, 1);
                next += std::chrono::milliseconds(gap(m_random));
                std::this_thread::sleep_until(next);
            }
            ++m_injected;
        } else {
            m_pty->Send(reply);
        }
        if (Every(m_faults.doubleReplyEvery, index)) {
            m_pty->Send(reply);
            ++m_injected;
        }
    }

    CPtyPair* m_pty = nullptr;  // non-owning; set by Start
    int m_look = -1;            // the line's device side, for its receive queue only
    const double m_rate;
    const Length m_length;
    const bool m_lone;
    int m_ackLength = -1;
    Faults m_faults;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_vanished{false};
    std::atomic<bool> m_vanishSoon{false};
    std::atomic<int64_t> m_goneSamples{0};
    std::atomic<int64_t> m_goneFrom{0};
    std::atomic<bool> m_unseen{false};
    std::atomic<int64_t> m_sent{0};
    std::atomic<int> m_injected{0};
    std::atomic<size_t> m_longestReply{0};
    std::atomic<int64_t> m_longestGapMs{0};
    // Board thread only.
    bool m_clockStarted = false;
    std::chrono::steady_clock::time_point m_start;
    int m_replies = 0;
    bool m_dribbleDue = false;
    // Dribbled replies hold at most 8 samples: at 8 ms a byte, what the board gathers
    // meanwhile stays far below the longest read, even at 1000 Hz.
    static constexpr size_t kDribbledMax = 5 + 8 * 6 + 6;
    std::mt19937 m_random{20261208};
};
