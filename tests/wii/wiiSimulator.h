#pragma once

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "wii/wiiHidSource.h"
#include "wii/wiiReports.h"

// A Wii Remote or Balance Board on the far end of a packet socket pair (one report per
// message, as a hidraw node gives them): it answers the host's output reports as the
// hardware does (status, memory reads in 16-byte chunks, write acknowledgements,
// LEDs, rumble, reporting mode) and streams data reports in the mode it was set to.
class CWiiSimulator {
public:
    // A Wii U Pro Controller shares the remote's product id; it answers like one and
    // gives its own identifier where the extension's is read.
    enum class Kind { Remote, Board, ProController };
    enum class Extension { None, Nunchuk, MotionPlus };

    explicit CWiiSimulator(Kind kind, Extension extension = Extension::None)
        : m_kind(kind), m_extension(extension)
    {
        // Board calibration: 0, 17 and 34 kg, rising by 100 counts per kilogram, then 110.
        for (int sensor = 0; sensor < 4; ++sensor) {
            m_boardCal[0][sensor] = static_cast<uint16_t>(2000 + 100 * sensor);
            m_boardCal[1][sensor] = static_cast<uint16_t>(m_boardCal[0][sensor] + 1700);
            m_boardCal[2][sensor] = static_cast<uint16_t>(m_boardCal[1][sensor] + 1870);
        }
    }
    ~CWiiSimulator() { Disconnect(); }
    CWiiSimulator(const CWiiSimulator&) = delete;
    CWiiSimulator& operator=(const CWiiSimulator&) = delete;

    // A new connection: the host's end, or -1. A connection still open is dropped.
    int Connect()
    {
        Disconnect();
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return -1;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_far = pair[1];
            m_mode = 0;
            m_motionPlusActive = false;
            m_motionPlusInit = false;
        }
        m_stop = false;
        m_thread = std::thread([this] { Run(); });
        return pair[0];
    }
    // The remote goes away (out of range, batteries out).
    void Disconnect()
    {
        m_stop = true;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_far >= 0) ::shutdown(m_far, SHUT_RDWR);
        }
        if (m_thread.joinable()) m_thread.join();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_far >= 0) ::close(m_far);
        m_far = -1;
    }

    // What the remote shows; each takes effect from the next report.
    void SetButtons(uint16_t buttons)
    {
        Set([&] { m_buttons = buttons; });
    }
    void SetNunchukButtons(uint8_t pressed)
    {
        Set([&] { m_nunchukButtons = pressed; });
    }
    void SetStick(uint8_t x, uint8_t y)
    {
        Set([&] {
            m_stick[0] = x;
            m_stick[1] = y;
        });
    }
    void SetAccel(uint8_t x, uint8_t y, uint8_t z)
    {
        Set([&] {
            m_accel[0] = x;
            m_accel[1] = y;
            m_accel[2] = z;
        });
    }
    void SetBattery(uint8_t raw)
    {
        Set([&] { m_battery = raw; });
    }
    // Corner loads, kilograms: top right, top left, bottom right, bottom left.
    void SetLoads(double tr, double tl, double br, double bl)
    {
        Set([&] {
            const double kg[4] = {tr, br, tl, bl};  // the board's own order
            for (int s = 0; s < 4; ++s) m_boardRaw[s] = RawOf(kg[s], s);
        });
    }
    // Degrees per second, in the slow (fine) range.
    void SetRates(double yaw, double roll, double pitch)
    {
        Set([&] {
            m_rates[0] = static_cast<int>(std::lround(8192.0 + yaw * 8192.0 / 595.0));
            m_rates[1] = static_cast<int>(std::lround(8192.0 + roll * 8192.0 / 595.0));
            m_rates[2] = static_cast<int>(std::lround(8192.0 + pitch * 8192.0 / 595.0));
        });
    }
    // Plugs an extension in (or out, with None): the remote says so in a status report.
    void Plug(Extension extension)
    {
        Set([&] {
            m_extension = extension;
            m_motionPlusActive = false;
        });
        SendStatus();
    }
    // Another driver of the remote (the kernel's) sets a reporting mode of its own.
    void ForceMode(uint8_t mode)
    {
        Set([&] { m_mode = mode; });
    }
    // Streams data reports every periodMs while a mode is set; 0 stops the stream.
    void SetStreamPeriod(int periodMs) { m_streamMs = periodMs; }
    // Reports and answers the host has no room for are lost, as over the air, instead of
    // waiting for it to read: a host that reads nothing meanwhile never holds the remote.
    void SetLossy(bool isLossy) { m_lossy = isLossy; }

    // Sends one data report now, in the mode set; false when no mode is set yet.
    bool Emit() { return EmitRaw(Build()); }

    // Sends the bytes as a report, as they stand (line noise, a report of the wrong size).
    bool EmitRaw(const std::vector<uint8_t>& report)
    {
        return !report.empty() && Send(report.data(), report.size());
    }
    // The data report of the mode set, not sent (empty: no mode yet).
    std::vector<uint8_t> Build()
    {
        uint8_t report[kWiiMaxReport];
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::vector<uint8_t>(report, report + BuildData(report));
    }
    // A status report nobody asked for, as when an extension is seated again.
    void Announce() { SendStatus(); }
    // How the device answers a read of its calibration (a board's loads, a remote's
    // accelerometer): late by lateMs, only its first chunk, with two bytes swapped (a
    // board's points then do not rise), or with the error flag.
    enum class CalibrationFault { None, Late, Partial, Garbled, Error };
    void SetCalibrationFault(CalibrationFault fault, int lateMs = 0)
    {
        Set([&] {
            m_calFault = fault;
            m_calLateMs = lateMs;
        });
    }
    // Another reader of the device (the kernel's driver): each read is answered for it
    // too, at another address, before the host's own answer.
    void SetForeignReads(bool on) { m_foreignReads = on; }
    // The accelerometer calibration a remote's host takes from the read it answers: the
    // defaults after an error.
    WiiAccelCalibration TakenAccelCalibration() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        uint8_t block[10];
        for (uint32_t i = 0; i < 10; ++i) MemoryAt(0, kWiiAccelCalibrationAddress + i, &block[i]);
        if (m_calFault == CalibrationFault::Garbled) Garble(block, 10);
        WiiAccelCalibration taken;
        for (int i = 0; i < 3 && m_calFault != CalibrationFault::Error; ++i) {
            taken.zero[i] = block[i];
            taken.one[i] = block[4 + i];
        }
        return taken;
    }
    // Away: not found by a search (out of range, switched off).
    void SetAway(bool away) { m_away = away; }
    bool IsAway() const { return m_away.load(); }
    // True once both sides have taken all the other sent (or no connection is open):
    // the remote answered every request, the host read every report.
    bool IsQuiet() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        int in = 0, out = 0;
        if (m_far < 0) return true;
        if (::ioctl(m_far, SIOCINQ, &in) != 0 || in != 0 || m_answering.load()) return false;
        return ::ioctl(m_far, SIOCOUTQ, &out) == 0 && out == 0;
    }

    uint8_t Leds() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_leds;
    }
    bool Rumbled() const { return m_rumbled.load(); }
    uint8_t Mode() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_mode;
    }
    bool IsMotionPlusActive() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_motionPlusActive;
    }
    // Waits until what the host sent satisfies done (checked after each report).
    bool WaitUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::unique_lock<std::mutex> lock(m_waitMutex);
        return m_answered.wait_for(lock, timeout, done);
    }
    // Waits until the host has set a reporting mode that satisfies accept.
    bool WaitForMode(const std::function<bool(uint8_t)>& accept,
                     std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return accept(m_mode); });
    }

    uint16_t RawOf(double kg, int sensor) const
    {
        const double at0 = m_boardCal[0][sensor], at17 = m_boardCal[1][sensor],
                     at34 = m_boardCal[2][sensor];
        const double raw =
            kg < 17.0 ? at0 + kg / 17.0 * (at17 - at0) : at17 + (kg - 17.0) / 17.0 * (at34 - at17);
        return static_cast<uint16_t>(std::lround(std::max(0.0, raw)));
    }

private:
    template <typename F>
    void Set(F change)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        change();
    }
    bool Send(const uint8_t* report, size_t size)
    {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        int far = -1;
        {
            std::lock_guard<std::mutex> state(m_mutex);
            far = m_far;
        }
        if (far < 0) return false;
        const ssize_t sent = ::send(far, report, size, MSG_NOSIGNAL | (m_lossy ? MSG_DONTWAIT : 0));
        return sent == static_cast<ssize_t>(size);
    }

    void Run() noexcept
    {
        auto next = std::chrono::steady_clock::now();
        uint8_t report[64];
        while (!m_stop.load()) {
            int far = -1;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                far = m_far;
            }
            const int streamMs = m_streamMs.load();
            int waitMs = 20;
            if (streamMs > 0) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      next - std::chrono::steady_clock::now())
                                      .count();
                waitMs = static_cast<int>(std::max<long long>(0, left));
            }
            pollfd entry{far, POLLIN, 0};
            const int ready = ::poll(&entry, 1, waitMs);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return;
            if (ready > 0) {
                m_answering = true;
                const ssize_t got = ::recv(far, report, sizeof report, 0);
                if (got > 0) Answer(report, static_cast<size_t>(got));
                m_answering = false;
                if (got <= 0) return;  // the host closed, or we were stopped
                continue;
            }
            if (streamMs > 0 && std::chrono::steady_clock::now() >= next) {
                next += std::chrono::milliseconds(streamMs);
                Emit();
            }
        }
    }

    void SendStatus()
    {
        uint8_t status[7] = {kWiiInStatus, 0, 0, 0, 0, 0, 0};
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            PutButtons(status + 1);
            status[3] = static_cast<uint8_t>(m_leds | (HasExtensionLocked() ? 0x02 : 0x00));
            status[6] = m_battery;
        }
        Send(status, sizeof status);
    }

    bool HasExtensionLocked() const
    {
        return m_kind != Kind::Remote || m_extension == Extension::Nunchuk || m_motionPlusActive;
    }

    void PutButtons(uint8_t* out) const
    {
        out[0] = static_cast<uint8_t>(m_buttons >> 8);
        out[1] = static_cast<uint8_t>(m_buttons);
    }

    void Answer(const uint8_t* report, size_t size)
    {
        if (size < 2) return;
        const bool rumble = (report[1] & 0x01) != 0;
        if (rumble) m_rumbled = true;
        switch (report[0]) {
            case kWiiOutLeds:
                Set([&] { m_leds = report[1] & 0xF0; });
                break;
            case kWiiOutReportMode:
                if (size >= 3) {
                    Set([&] { m_mode = report[2]; });
                    m_changed.notify_all();
                }
                break;
            case kWiiOutStatus:
                SendStatus();
                break;
            case kWiiOutWrite:
                if (size >= 22) Write(report);
                break;
            case kWiiOutRead:
                if (size >= 7) Read(report);
                break;
            default:
                break;
        }
        {
            std::lock_guard<std::mutex> lock(m_waitMutex);
        }
        m_answered.notify_all();
    }

    void Write(const uint8_t* report)
    {
        const uint32_t address =
            static_cast<uint32_t>((report[2] << 16) | (report[3] << 8) | report[4]);
        const uint8_t value = report[6];
        bool wakes = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            // A Motion Plus wakes only when its init register was written first.
            if (address == kWiiMotionPlusInit && value == 0x55 && HasMotionPlusLocked()) {
                m_motionPlusInit = true;
            } else if (address == kWiiMotionPlusActivate && HasMotionPlusLocked() &&
                       !m_motionPlusActive && m_motionPlusInit) {
                m_motionPlusActive = true;
                wakes = true;
            } else if (address == kWiiExtensionInit1 && value == 0x55 && m_motionPlusActive) {
                m_motionPlusActive = false;
                wakes = true;
            }
        }
        uint8_t ack[5] = {kWiiInAck, 0, 0, kWiiOutWrite, 0};
        Send(ack, sizeof ack);
        if (wakes) SendStatus();
    }

    bool HasMotionPlusLocked() const { return m_extension == Extension::MotionPlus; }

    // The memory the host may read, by address; false where there is none.
    bool MemoryAt(uint8_t space, uint32_t address, uint8_t* value) const
    {
        if ((space & 0x04) == 0) {
            if (address < 0x16 || address >= 0x20) return false;
            // Not the defaults: a host that ignores it shows other angles.
            const uint8_t accel[10] = {0x7F, 0x81, 0x80, 0, 0x9B, 0x9D, 0x9A, 0, 0, 0};
            *value = accel[address - 0x16];
            return true;
        }
        if (address >= kWiiExtensionId && address < kWiiExtensionId + 6) {
            uint8_t id[6] = {0, 0, 0xA4, 0x20, 0, 0};
            if (m_kind == Kind::Board) {
                id[4] = 0x04;
                id[5] = 0x02;
            } else if (m_kind == Kind::ProController) {
                id[4] = 0x01;
                id[5] = 0x20;
            } else if (m_motionPlusActive) {
                id[4] = 0x04;
                id[5] = 0x05;
            } else if (m_extension != Extension::Nunchuk) {
                return false;
            }
            *value = id[address - kWiiExtensionId];
            return true;
        }
        if (address >= kWiiMotionPlusId && address < kWiiMotionPlusId + 6) {
            if (!HasMotionPlusLocked() || m_motionPlusActive) return false;
            const uint8_t id[6] = {0, 0, 0xA6, 0x20, 0, 0x05};
            *value = id[address - kWiiMotionPlusId];
            return true;
        }
        if (m_kind == Kind::Board && address >= kWiiBoardCalibration &&
            address < kWiiBoardCalibration + 24) {
            const uint32_t at = address - kWiiBoardCalibration;
            const uint16_t word = m_boardCal[at / 8][(at % 8) / 2];
            *value = static_cast<uint8_t>(at % 2 == 0 ? word >> 8 : word);
            return true;
        }
        if (m_extension == Extension::Nunchuk && address >= kWiiNunchukCalibration &&
            address < kWiiNunchukCalibration + 16) {
            const uint8_t cal[16] = {0x80, 0x80, 0x80, 0,    0xB3, 0xB3, 0xB3, 0,
                                     0xE0, 0x20, 0x80, 0xE0, 0x20, 0x80, 0,    0};
            *value = cal[address - kWiiNunchukCalibration];
            return true;
        }
        return false;
    }

    void Read(const uint8_t* report)
    {
        const uint8_t space = report[1] & 0xFE;
        const uint32_t address =
            static_cast<uint32_t>((report[2] << 16) | (report[3] << 8) | report[4]);
        const size_t size = static_cast<size_t>((report[5] << 8) | report[6]);
        CalibrationFault fault = CalibrationFault::None;
        int lateMs = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_kind == Kind::Board
                    ? (space & 0x04) != 0 && address == kWiiBoardCalibration
                    : (space & 0x04) == 0 && address == kWiiAccelCalibrationAddress) {
                fault = m_calFault;
                lateMs = m_calLateMs;
            }
        }
        if (fault == CalibrationFault::Late)
            std::this_thread::sleep_for(std::chrono::milliseconds(lateMs));
        if (m_foreignReads) {
            uint8_t foreign[22] = {kWiiInReadData, 0, 0, 0x50};  // 6 bytes, no error
            foreign[4] = static_cast<uint8_t>((address + 0x40) >> 8);
            foreign[5] = static_cast<uint8_t>(address + 0x40);
            Send(foreign, sizeof foreign);
        }
        for (size_t done = 0; done < size; done += 16) {
            if (fault == CalibrationFault::Partial && done > 0) return;
            uint8_t reply[22] = {kWiiInReadData};
            const size_t length = std::min<size_t>(16, size - done);
            bool ok = true;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                PutButtons(reply + 1);
                for (size_t i = 0; i < length && ok; ++i)
                    ok = MemoryAt(space, static_cast<uint32_t>(address + done + i), &reply[6 + i]);
            }
            const uint32_t at = static_cast<uint32_t>(address + done);
            if (fault == CalibrationFault::Garbled) Garble(reply + 6, length);
            if (fault == CalibrationFault::Error) ok = false;
            reply[3] = static_cast<uint8_t>(((length - 1) << 4) | (ok ? 0 : 8));
            reply[4] = static_cast<uint8_t>(at >> 8);
            reply[5] = static_cast<uint8_t>(at);
            Send(reply, sizeof reply);
            if (!ok) return;  // an error ends the read
        }
    }

    static void Garble(uint8_t* chunk, size_t length) { std::swap(chunk[0], chunk[8 % length]); }

    // Under m_mutex: the data report of the current mode, its size (0: no mode).
    size_t BuildData(uint8_t* out)
    {
        WiiDataLayout layout;
        if (m_mode == 0 || !WiiDataLayoutOf(m_mode, &layout)) return 0;
        std::memset(out, 0, kWiiMaxReport);
        out[0] = m_mode;
        uint8_t* body = out + 1;
        if (layout.buttons >= 0) PutButtons(body + layout.buttons);
        if (layout.accel >= 0) std::memcpy(body + layout.accel, m_accel, 3);
        if (layout.extension >= 0) {
            uint8_t* ext = body + layout.extension;
            if (m_kind == Kind::Board) {
                for (int s = 0; s < 4; ++s) {
                    ext[2 * s] = static_cast<uint8_t>(m_boardRaw[s] >> 8);
                    ext[2 * s + 1] = static_cast<uint8_t>(m_boardRaw[s]);
                }
            } else if (m_motionPlusActive) {
                PutMotionPlus(ext);
            } else if (m_extension == Extension::Nunchuk) {
                ext[0] = m_stick[0];
                ext[1] = m_stick[1];
                ext[2] = ext[3] = 0x80;
                ext[4] = 0xB3;
                ext[5] = static_cast<uint8_t>(~m_nunchukButtons & 0x03);
            }
        }
        return layout.size;
    }

    void PutMotionPlus(uint8_t* ext) const
    {
        ext[0] = static_cast<uint8_t>(m_rates[0]);
        ext[1] = static_cast<uint8_t>(m_rates[1]);
        ext[2] = static_cast<uint8_t>(m_rates[2]);
        ext[3] = static_cast<uint8_t>(((m_rates[0] >> 6) & 0xFC) | 0x03);  // slow yaw, pitch
        ext[4] = static_cast<uint8_t>(((m_rates[1] >> 6) & 0xFC) | 0x02);  // slow roll
        ext[5] = static_cast<uint8_t>(((m_rates[2] >> 6) & 0xFC) | 0x02);  // Motion Plus data
    }

    const Kind m_kind;
    mutable std::mutex m_mutex;  // guards the state below
    std::mutex m_sendMutex;      // one report at a time on the socket
    std::condition_variable m_changed;
    std::mutex m_waitMutex;  // pairs with m_answered; guards nothing else
    std::condition_variable m_answered;
    int m_far = -1;
    Extension m_extension;
    bool m_motionPlusActive = false;
    bool m_motionPlusInit = false;
    uint8_t m_mode = 0;
    uint8_t m_leds = 0;
    uint16_t m_buttons = 0;
    uint8_t m_nunchukButtons = 0;
    uint8_t m_stick[2] = {0x80, 0x80};
    uint8_t m_accel[3] = {0x80, 0x80, 0x9A};
    uint8_t m_battery = 0x64;
    uint16_t m_boardCal[3][4] = {};
    uint16_t m_boardRaw[4] = {2000, 2100, 2200, 2300};
    int m_rates[3] = {8192, 8192, 8192};
    CalibrationFault m_calFault = CalibrationFault::None;
    int m_calLateMs = 0;
    std::atomic<bool> m_away{false};
    std::atomic<bool> m_foreignReads{false};
    std::atomic<bool> m_answering{false};
    std::atomic<bool> m_rumbled{false};
    std::atomic<int> m_streamMs{0};
    std::atomic<bool> m_lossy{false};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Hands the simulators to the Wii platform as if the HID layer drove them.
class CWiiSimulatedSource : public CWiiHidSource {
public:
    void Add(CWiiSimulator* simulator, uint16_t product = 0x0306)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_simulators.push_back({simulator, product, {}, {}, 0});
    }
    // A device as the system shows it: its HID name and bound driver, and the error
    // opening it gives (EACCES: found but not ours to open).
    void AddAs(CWiiSimulator* simulator, uint16_t product, std::string name, std::string driver,
               int openError = 0)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_simulators.push_back({simulator, product, std::move(name), std::move(driver), openError});
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_simulators.clear();
    }
    bool CanDiscover() override { return m_canDiscover.load(); }
    void Scan(std::vector<WiiHidCandidate>& found) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (size_t i = 0; i < m_simulators.size(); ++i) {
            const Entry& entry = m_simulators[i];
            if (entry.simulator->IsAway()) continue;
            WiiHidCandidate candidate;
            candidate.path = "sim:" + std::to_string(i);
            candidate.product = entry.product;
            candidate.name = entry.name;
            candidate.driver = entry.driver;
            candidate.hidDevice =
                entry.driver.empty() ? "" : "0005:057E:0306.000" + std::to_string(i);
            found.push_back(candidate);
        }
    }
    int Open(const WiiHidCandidate& candidate, int* error) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const size_t index = std::stoul(candidate.path.substr(4));
        if (index >= m_simulators.size()) return -1;
        if (m_simulators[index].openError != 0) {
            if (error != nullptr) *error = m_simulators[index].openError;
            return -1;
        }
        return m_simulators[index].simulator->Connect();
    }
    std::atomic<bool> m_canDiscover{false};

private:
    struct Entry {
        CWiiSimulator* simulator;
        uint16_t product;
        std::string name;
        std::string driver;
        int openError;
    };
    std::mutex m_mutex;
    std::vector<Entry> m_simulators;
};
