#pragma once

// A simulated Flock of Birds on the master side of a pseudo-terminal: answers the
// RS-232 commands a flock answers and, once told to stream, sends one record per
// bird in turn with the bird's address appended.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Bird/fob_wire.h"

// The reading of a word value (a multiple of 4 in the signed 16-bit range) as
// its two bytes, low byte first.
inline void EncodeWord(int16_t value, uint8_t* out)
{
    const uint16_t reading = static_cast<uint16_t>(static_cast<uint16_t>(value) >> 2) & 0x3FFF;
    out[0] = static_cast<uint8_t>(reading & 0x7F);
    out[1] = static_cast<uint8_t>((reading >> 7) & 0x7F);
}

// A record of the given words, phasing bit on its first byte.
inline std::vector<uint8_t> MakeRecord(const std::vector<int16_t>& words)
{
    std::vector<uint8_t> record(words.size() * 2);
    for (size_t i = 0; i < words.size(); ++i) EncodeWord(words[i], &record[2 * i]);
    if (!record.empty()) record[0] |= fob_wire::kPhasingBit;
    return record;
}

class CFobSimulator {
public:
    CFobSimulator() { OpenLine(); }
    ~CFobSimulator()
    {
        Stop();
        if (m_master >= 0) ::close(m_master);
        for (int kept : m_keptSlaves) ::close(kept);
    }
    CFobSimulator(const CFobSimulator&) = delete;
    CFobSimulator& operator=(const CFobSimulator&) = delete;

    bool IsOk() const { return m_master >= 0 && !m_slaveName.empty(); }
    const std::string& SlaveName() const { return m_slaveName; }

    // Set before Start. Flock status bytes for addresses 1 to 14 (bit 7: present,
    // bit 5: takes a hemisphere), the master's address, the error code the flock
    // reports, its addressing mode.
    uint8_t status[fob_wire::kMaxBirds] = {};
    uint32_t masterAddress = 1;
    std::atomic<uint8_t> errorCode{0};
    uint8_t addressMode = 0;
    bool silent = false;               // answers nothing
    bool autoStream = true;            // '@' starts the stream of records
    std::atomic<bool> garbage{false};  // the stream brings no record, only data bytes
    std::chrono::microseconds streamPeriod{2000};  // between two records on the line
    // Set before Start. With sequenceWords each bird's x word counts its records
    // (4 x the record number modulo 8192), and onSend hears of every record just
    // before it goes out (simulator thread).
    bool sequenceWords = false;
    std::function<void(uint32_t address, uint32_t sequence)> onSend;
    std::atomic<int> heldBack{0};  // records of birds the flock was not configured for

    void AddBird(uint32_t address, bool takesHemisphere)
    {
        status[address - 1] = static_cast<uint8_t>(0x80 | (takesHemisphere ? 0x20 : 0x00));
    }

    // The position (word values) and quaternion each streamed record of a bird
    // carries: x = 1024 x address, y = -512 x address, z = 256; q = (16384, 0, 8192, -4096).
    static std::vector<int16_t> StreamWords(uint32_t address)
    {
        return {static_cast<int16_t>(1024 * address),
                static_cast<int16_t>(-512 * static_cast<int>(address)),
                256,
                16384,
                0,
                8192,
                -4096};
    }

    bool Start()
    {
        if (!IsOk()) return false;
        m_thread = std::thread([this] { Run(); });
        return true;
    }
    void Stop()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable()) m_thread.join();
    }
    void SetStreaming(bool on)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_streaming = on;
    }
    bool IsStreaming()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_streaming;
    }

    // A streamed record of a bird as the flock sends it in the data mode the bird was
    // given: as many of words as the mode carries, the button byte when buttons are on,
    // the address when group mode is on. After the start-up (the modes are set by then).
    std::vector<uint8_t> Record(uint32_t address, const std::vector<int16_t>& words,
                                uint8_t buttons = 0)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const size_t at = (address - 1) % fob_wire::kMaxBirds;
        std::vector<int16_t> carried(words.begin(),
                                     words.begin() + std::min(words.size(), m_words[at]));
        std::vector<uint8_t> record = MakeRecord(carried);
        if (m_buttons[at]) record.push_back(buttons & 0x7F);
        if (m_group) record.push_back(static_cast<uint8_t>(address));
        return record;
    }

    // Waits until the flock was told to append addresses (group mode); false after timeout.
    bool WaitForGroupMode(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_wake.wait_for(lock, timeout, [&] { return m_group; });
    }

    // Every byte received so far.
    std::vector<uint8_t> Received()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }
    void ClearReceived()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.clear();
    }
    // Writes raw bytes to the flock's side (whole, waiting while the line is full).
    bool Send(const std::vector<uint8_t>& bytes) { return SendRaw(bytes.data(), bytes.size()); }

    // True when bytes appear in order, contiguous, in what was received.
    bool ReceivedSequence(const std::vector<uint8_t>& bytes)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return Contains(m_received, bytes);
    }
    // Waits until the sequence was received; false after the timeout.
    bool WaitForSequence(const std::vector<uint8_t>& bytes, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_wake.wait_for(lock, timeout, [&] { return Contains(m_received, bytes); });
    }
    // Ends the line from the simulator's side: the flock's reads fail from now on.
    void HangUp()
    {
        Stop();
        if (m_master >= 0) ::close(m_master);
        m_master = -1;
    }
    // The adapter pulled: as HangUp, but a slave side stays open in here, so that the
    // line's number goes to no other pseudo-terminal while the device still tries it.
    void Unplug()
    {
        if (m_master >= 0 && !m_slaveName.empty()) {
            const int kept = ::open(m_slaveName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (kept >= 0) m_keptSlaves.push_back(kept);
        }
        HangUp();
    }
    // Plugged in again on a new pseudo-terminal (SlaveName() changes). powerCycled: the
    // flock restarted meanwhile: its birds in their power-on data mode (position and
    // angles), group mode off, not configured. False without a pseudo-terminal.
    bool PlugIn(bool powerCycled)
    {
        if (!OpenLine()) return false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = false;
            m_streaming = false;
            m_streamAsked = false;
            m_received.clear();
            if (powerCycled) {
                std::fill(std::begin(m_words), std::end(m_words), size_t{6});
                std::fill(std::begin(m_buttons), std::end(m_buttons), false);
                m_group = false;
                m_configuredFor = 0;
            }
        }
        m_selected = 0;
        return Start();
    }
    // Whether the bird's record goes out (else counted): unconfigured, the master streams alone.
    bool SendsRecord(uint32_t address)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool sends = address == masterAddress ||
                           m_configuredFor >= std::count_if(std::begin(status), std::end(status),
                                                            [](uint8_t s) { return s >= 0x80; });
        heldBack += sends ? 0 : 1;
        return sends;
    }
    // Whether the flock was told to stream since it was plugged in, every command before
    // that done; waits up to timeout for it.
    bool WaitForStreamAsked(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_wake.wait_for(lock, timeout, [&] { return m_streamAsked; });
    }

private:
    bool OpenLine()
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) return false;
        const char* name = ptsname(m_master);
        if (name == nullptr) return false;
        m_slaveName = name;
        const int flags = fcntl(m_master, F_GETFL);
        if (flags >= 0) fcntl(m_master, F_SETFL, flags | O_NONBLOCK);
        return true;
    }
    static bool Contains(const std::vector<uint8_t>& all, const std::vector<uint8_t>& bytes)
    {
        if (bytes.empty()) return true;
        for (size_t i = 0; i + bytes.size() <= all.size(); ++i) {
            if (std::equal(bytes.begin(), bytes.end(), all.begin() + static_cast<long>(i)))
                return true;
        }
        return false;
    }

    bool SendRaw(const uint8_t* data, size_t size)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (size > 0) {
            const ssize_t written = ::write(m_master, data, size);
            if (written > 0) {
                data += written;
                size -= static_cast<size_t>(written);
                continue;
            }
            if (written < 0 && errno != EAGAIN && errno != EINTR) return false;
            if (std::chrono::steady_clock::now() > deadline) return false;
            pollfd out{m_master, POLLOUT, 0};
            ::poll(&out, 1, 10);
        }
        return true;
    }

    // Length of the command starting with byte, data included.
    static size_t CommandLength(uint8_t command, const std::vector<uint8_t>& pending)
    {
        switch (command) {
            case fob_wire::kCmdExamine:
                return 2;
            case fob_wire::kCmdHemisphere:
                return 3;
            case fob_wire::kCmdButtonMode:
                return 2;
            case fob_wire::kCmdChange:
                return pending.size() < 2 ? 3
                                          : (pending[1] == fob_wire::kParamAutoConfig ||
                                                     pending[1] == fob_wire::kParamGroupMode
                                                 ? 3
                                                 : 2);
            default:
                return 1;
        }
    }

    void Answer(const std::vector<uint8_t>& command)
    {
        if (silent) return;
        if (command[0] == fob_wire::kCmdStream) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_streaming = autoStream;
                m_streamAsked = true;
            }
            m_wake.notify_all();
            return;
        }
        if (command[0] == fob_wire::kCmdPoint || command[0] == fob_wire::kCmdSleep) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_streaming = false;
            return;
        }
        if ((command[0] & 0xF0) == fob_wire::kSelectBirdBase && command[0] != 0xF0) {
            m_selected = command[0] & 0x0F;
            return;
        }
        if (KeepMode(command)) return;
        if (command[0] != fob_wire::kCmdExamine) return;
        switch (command[1]) {
            case fob_wire::kParamErrorCode: {
                const uint8_t code = errorCode.load();
                SendRaw(&code, 1);
                break;
            }
            case fob_wire::kParamAddressMode:
                SendRaw(&addressMode, 1);
                break;
            case fob_wire::kParamFlockStatus:
                SendRaw(status, sizeof status);
                break;
            case fob_wire::kParamBirdStatus: {
                const uint8_t reply[2] = {
                    0x00, static_cast<uint8_t>(m_selected == masterAddress ? 0x80 : 0x00)};
                SendRaw(reply, 2);
                break;
            }
            default:
                break;
        }
    }

    // Data mode (words per record), buttons and group mode, as the commands set them.
    bool KeepMode(const std::vector<uint8_t>& command)
    {
        const size_t at = (m_selected + fob_wire::kMaxBirds - 1) % fob_wire::kMaxBirds;
        std::lock_guard<std::mutex> lock(m_mutex);
        switch (command[0]) {
            case 'V':  // position
            case 'W':  // angles
                m_words[at] = 3;
                return true;
            case 'Y':  // position and angles
                m_words[at] = 6;
                return true;
            case '\\':  // quaternion
                m_words[at] = 4;
                return true;
            case ']':  // position and quaternion
                m_words[at] = 7;
                return true;
            case 'M':
                m_buttons[at] = command[1] != 0;
                return true;
            case 'P':
                if (command[1] == fob_wire::kParamAutoConfig) m_configuredFor = command[2];
                if (command[1] != fob_wire::kParamGroupMode)
                    return command[1] == fob_wire::kParamAutoConfig;
                m_group = command[2] != 0;
                m_wake.notify_all();
                return true;
            default:
                return false;
        }
    }

    void StreamOne()
    {
        std::vector<uint32_t> birds;
        for (uint32_t i = 0; i < fob_wire::kMaxBirds; ++i) {
            if ((status[i] & 0x80) != 0) birds.push_back(i + 1);
        }
        if (garbage.load()) {
            const std::vector<uint8_t> noise(16, 0x11);
            SendRaw(noise.data(), noise.size());
            return;
        }
        if (birds.empty()) return;
        const uint32_t address = birds[m_nextBird++ % birds.size()];
        if (!SendsRecord(address)) return;
        std::vector<int16_t> words = StreamWords(address);
        const uint32_t sequence = m_sequence[address - 1]++;
        if (sequenceWords) words[0] = static_cast<int16_t>(4 * (sequence % 8192));
        std::vector<uint8_t> record = MakeRecord(words);
        record.push_back(static_cast<uint8_t>(address));
        if (onSend) onSend(address, sequence);
        SendRaw(record.data(), record.size());
    }

    void Run()
    {
        std::vector<uint8_t> pending;
        auto nextRecord = std::chrono::steady_clock::now();
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                if (m_stop) return;
            }
            pollfd in{m_master, POLLIN, 0};
            // Wakes for the next record on time: records keep an absolute schedule.
            auto wait = std::chrono::microseconds(1000);
            if (IsStreaming()) {
                const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                    nextRecord - std::chrono::steady_clock::now());
                wait = std::max(std::chrono::microseconds(0), std::min(wait, left));
            }
            const timespec timeout{0, static_cast<long>(wait.count() * 1000)};
            const int ready = ::ppoll(&in, 1, &timeout, nullptr);
            if (ready > 0 && (in.revents & POLLIN) != 0) {
                uint8_t bytes[256];
                const ssize_t got = ::read(m_master, bytes, sizeof bytes);
                if (got > 0) {
                    {
                        std::lock_guard<std::mutex> lock(m_mutex);
                        m_received.insert(m_received.end(), bytes, bytes + got);
                    }
                    m_wake.notify_all();
                    for (ssize_t i = 0; i < got; ++i) {
                        pending.push_back(bytes[i]);
                        if (pending.size() >= CommandLength(pending[0], pending)) {
                            Answer(pending);
                            pending.clear();
                        }
                    }
                }
            } else if (ready > 0) {
                // The other side is closed for a moment: wait for it without spinning.
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wake.wait_for(lock, std::chrono::milliseconds(5), [this] { return m_stop; });
            }
            const auto now = std::chrono::steady_clock::now();
            if (!IsStreaming()) {
                nextRecord = now;
            } else if (now >= nextRecord) {
                StreamOne();
                nextRecord += streamPeriod;
                // Held up for long (a loaded machine): no burst, a new schedule.
                if (now - nextRecord > std::chrono::milliseconds(100)) nextRecord = now;
            }
        }
    }

    int m_master = -1;
    std::string m_slaveName;
    std::thread m_thread;
    std::mutex m_mutex;  // guards m_stop, m_streaming, m_received
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_streaming = false;
    std::vector<uint8_t> m_received;
    uint32_t m_selected = 0;  // simulator thread
    size_t m_nextBird = 0;    // simulator thread
    uint32_t m_sequence[fob_wire::kMaxBirds] = {};  // simulator thread: records per bird
    // Guarded by m_mutex: each bird's words per record and buttons; group mode.
    size_t m_words[fob_wire::kMaxBirds] = {7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
    bool m_buttons[fob_wire::kMaxBirds] = {};
    bool m_group = false;
    long m_configuredFor = 0;  // birds the auto-configuration took; 0 from power-on
    bool m_streamAsked = false;      // guarded by m_mutex
    std::vector<int> m_keptSlaves;  // slave sides of unplugged lines, held till the end
};
