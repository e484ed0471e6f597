#include "serial/serialPort.h"

#include "serial/serialBaud.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include <dirent.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr uint32_t kNoLimit = 0xFFFFFFFFu;
constexpr int kComPortCount = 9;

void ReportError(const char* what, const char* name)
{
    std::fprintf(stderr, "<COM> %s%s\n", what, name);
    std::fflush(stderr);
}

// The speed constant of a rate termios knows by name, or B0 for the others, which
// go through the arbitrary-rate interface.
speed_t StandardSpeed(uint32_t baud)
{
    switch (baud) {
        case 110:
            return B110;
        case 300:
            return B300;
        case 600:
            return B600;
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B0;
    }
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline for poll: -1 without a limit, never below 0.
int RemainingMs(bool hasDeadline, Clock::time_point deadline)
{
    if (!hasDeadline) return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// 1 readable, 0 time-out, -1 the line failed or hung up with nothing left to read.
int WaitFor(int fd, short events, int timeoutMs)
{
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, timeoutMs);
    if (ready < 0) return errno == EINTR ? 0 : -1;
    if (ready == 0) return 0;
    if (entry.revents & events) return 1;
    return -1;  // POLLERR, POLLHUP or POLLNVAL without data
}

// Reads up to maxCount bytes until all came or the deadline passed; with
// stopWhenEmpty it also returns once the queue runs empty after the first bytes.
// The count read, or -2 when the line failed or went away before any byte came.
int ReadUntil(int fd, char* buffer, uint32_t maxCount, bool hasDeadline,
              Clock::time_point deadline, bool stopWhenEmpty)
{
    const uint32_t wanted = maxCount > static_cast<uint32_t>(INT_MAX) ? INT_MAX : maxCount;
    uint32_t count = 0;
    while (count < wanted) {
        const ssize_t got = ::read(fd, buffer + count, wanted - count);
        if (got > 0) {
            count += static_cast<uint32_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        // An empty queue gives EAGAIN (VMIN 1, non-blocking); end of file is a hang-up.
        // Bytes already read are handed over; the next read reports the failure.
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return count > 0 ? static_cast<int>(count) : -2;
        if (stopWhenEmpty && count > 0) break;
        const int remaining = RemainingMs(hasDeadline, deadline);
        if (hasDeadline && remaining == 0) break;
        if (WaitFor(fd, POLLIN, remaining) < 0)
            return count > 0 ? static_cast<int>(count) : -2;
    }
    return static_cast<int>(count);
}

bool IsPortNumber(const std::string& digits, unsigned* number)
{
    if (digits.empty() || digits.size() > 3 || digits[0] == '0') return false;
    unsigned value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    *number = value;
    return true;
}

}  // namespace

void CSerialTimer::Start() { GetSerialTime(&m_seconds, &m_micro); }

uint32_t CSerialTimer::ElapsedMs() const
{
    uint32_t seconds = 0, micro = 0;
    GetSerialTime(&seconds, &micro);
    return ElapsedMsBetween(m_seconds, m_micro, seconds, micro);
}

uint32_t CSerialTimer::ElapsedMsBetween(uint32_t startSec, uint32_t startMicro, uint32_t nowSec,
                                        uint32_t nowMicro)
{
    const int64_t seconds = static_cast<int64_t>(nowSec) - startSec;
    const int64_t micro = static_cast<int64_t>(nowMicro) - startMicro;
    int64_t ms = 0;
    if (micro < 0)
        ms = (seconds - 1) * 1000 + (micro + 1000000) / 1000;
    else
        ms = seconds * 1000 + micro / 1000;
    return ms < 0 ? 0 : static_cast<uint32_t>(ms);
}

int GetSerialTime(uint32_t* seconds, uint32_t* micro)
{
    timespec now{};
    if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0) return -1;
    if (seconds) *seconds = static_cast<uint32_t>(now.tv_sec);
    if (micro) *micro = static_cast<uint32_t>(now.tv_nsec / 1000);
    return 0;
}

CSerialPort::CSerialPort() = default;

CSerialPort::~CSerialPort() { Close(); }

bool CSerialPort::IsSupportedBaud(uint32_t baud)
{
    switch (baud) {
        case 110:
        case 300:
        case 600:
        case 1200:
        case 2400:
        case 4800:
        case 9600:
        case 14400:
        case 19200:
        case 38400:
        case 56000:
        case 57600:
        case 115200:
        case 128000:
        case 256000:
            return true;
        default:
            return false;
    }
}

std::string CSerialPort::DevicePathFor(const char* name)
{
    std::string text = name ? name : "";
    if (text.empty()) return std::string();
    if (text.rfind("\\\\.\\", 0) == 0)  // the Windows device namespace form \\.\COM12
        text.erase(0, 4);
    if (text[0] == '/') return text;
    unsigned number = 0;
    if (text.size() > 3 && (text[0] == 'c' || text[0] == 'C') &&
        (text[1] == 'o' || text[1] == 'O') && (text[2] == 'm' || text[2] == 'M') &&
        IsPortNumber(text.substr(3), &number))
        return "/dev/ttyS" + std::to_string(number - 1);
    // A bare name stays under /dev; no way out of it through "..".
    if (text.find('/') != std::string::npos || text == "." || text == "..") return std::string();
    return "/dev/" + text;
}

std::string CSerialPort::OpenFailureText(int code, const char* name)
{
    const std::string path = DevicePathFor(name);
    if (path.empty()) return std::string("no serial device is named \"") + (name ? name : "") + "\"";
    switch (code) {
        case -1:
            return path + " does not exist";
        case -2:
            return path + " cannot be opened (in use by another program, or not permitted)";
        case -4:
            return path + " does not take the baud rate";
        default:
            return path + " does not take the serial line settings";
    }
}

int CSerialPort::Open(const char* name, const SerialSettings* settings)
{
    const char* label = name ? name : "";
    const auto report = [this](const char* what, const char* port) {
        if (m_reportErrors) ::ReportError(what, port);
    };
    if (settings) m_settings = *settings;
    if (IsOpen()) {  // opening over an open line would lose its descriptor
        report("Error opening ", label);
        return -2;
    }
    const std::string path = DevicePathFor(label);
    if (path.empty()) {
        report("Device not found ", label);
        return -1;
    }
    int fd = -1;
    do {
        // Non-blocking so that opening never waits for carrier; reads wait in poll.
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const bool missing = errno == ENOENT || errno == ENOTDIR;
        report(missing ? "Device not found " : "Error opening ", label);
        return missing ? -1 : -2;
    }
    // Not shared: another holder of the line (even a privileged one) makes us fail.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        report("Error opening ", label);
        return -2;
    }
    m_handle = fd;
    // Exclusive mode keeps other programs out; a device that is no terminal refuses
    // it and then fails the line-state read below.
    (void)::ioctl(fd, TIOCEXCL);

    termios line{};
    if (::tcgetattr(fd, &line) != 0) {
        report("Parameter error on ", label);
        return -3;
    }
    // Raw binary line: no echo, no line editing, no byte translation, receiver on.
    line.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                           ICRNL | IXON | IXOFF | IXANY);
    line.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    line.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    line.c_cflag |= CREAD | CLOCAL;
    line.c_cc[VMIN] = 1;  // with O_NONBLOCK: an empty queue reads EAGAIN, a hang-up 0
    line.c_cc[VTIME] = 0;
    if (m_settings.xonXoff & 1) line.c_iflag |= IXON | IXOFF;
    if (m_settings.rtsControl == 2)
        line.c_cflag |= CRTSCTS;
    else
        line.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);

    if (!IsSupportedBaud(m_settings.baud)) return -4;
    const speed_t speed = StandardSpeed(m_settings.baud);
    if (speed != B0 && (::cfsetispeed(&line, speed) != 0 || ::cfsetospeed(&line, speed) != 0)) {
        report("Unable to set parameters on ", label);
        return -5;
    }

    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    // Settings outside their ranges are refused, not half applied (parity 5 would keep
    // the mark/space bit of the last setting).
    if (m_settings.dataBits < 5 || m_settings.dataBits > 8 || m_settings.parity > 4 ||
        (m_settings.stopBits != 1 && m_settings.stopBits != 2) || m_settings.rtsControl > 3) {
        report("Unable to set parameters on ", label);
        return -5;
    }
    line.c_cflag = (line.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | kSizes[m_settings.dataBits - 5];
    if (m_settings.stopBits == 1)
        line.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    else
        line.c_cflag |= CSTOPB;
    line.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
    line.c_iflag &= ~static_cast<tcflag_t>(INPCK);
    static const tcflag_t kParity[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD,
                                       PARENB | CMSPAR};
    line.c_cflag |= kParity[m_settings.parity];
    if (m_settings.parity != 0) line.c_iflag |= INPCK;
    int status = 0;
    do {
        status = ::tcsetattr(fd, TCSANOW, &line);
    } while (status != 0 && errno == EINTR);
    if (status != 0 || (speed == B0 && !SetArbitraryBaud(fd, m_settings.baud))) {
        report("Unable to set parameters on ", label);
        return -5;
    }
    // tcsetattr succeeds when any part was taken: check the parts that matter.
    termios applied{};
    if (::tcgetattr(fd, &applied) != 0 ||
        (applied.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB)) !=
            (line.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB)) ||
        (speed != B0 && ::cfgetospeed(&applied) != speed)) {
        report("Unable to set parameters on ", label);
        return -5;
    }
    // RTS held low or high as asked; lines a device lacks (pseudo-terminals) stay as they are.
    const uint8_t rtsMode = m_settings.rtsControl;
    if (rtsMode != 2) SetRts(rtsMode != 0);

    m_timeouts.readInterval = 0;
    m_timeouts.readTotalMultiplier = 0;
    m_timeouts.readTotalConstant = kNoLimit;
    m_timeouts.writeTotalMultiplier = 0;
    m_timeouts.writeTotalConstant = kNoLimit;
    if (!ApplyReadTimeout(kNoLimit)) {
        report("Unable to set timeout on ", label);
        return -6;
    }
    return 1;
}

void CSerialPort::Close()
{
    if (m_handle < 0) return;
    (void)::ioctl(m_handle, TIOCNXCL);  // let others open the line again
    // The descriptor is gone after close whatever it returns; nothing was written
    // that a failed close could lose (writes complete before they return).
    (void)::close(m_handle);
    m_handle = -1;
}

bool CSerialPort::ApplyReadTimeout(uint32_t timeoutMs)
{
    if (m_handle < 0 || ::fcntl(m_handle, F_GETFL) < 0) return false;
    m_timeouts.readTotalConstant = timeoutMs;
    return true;
}

int CSerialPort::WriteChar(uint8_t byte) { return WriteBytes(&byte, 1); }

int CSerialPort::WriteString(const char* text)
{
    if (!text) return -1;
    return WriteBytes(text, std::strlen(text));
}

int CSerialPort::WriteBytes(const void* buffer, size_t count)
{
    if (m_handle < 0 || (!buffer && count > 0)) return -1;
    const uint64_t limitMs = static_cast<uint64_t>(m_timeouts.writeTotalMultiplier) * count +
                             m_timeouts.writeTotalConstant;
    const bool hasDeadline = limitMs != 0 && m_timeouts.writeTotalConstant != kNoLimit;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    const char* next = static_cast<const char*>(buffer);
    while (count > 0) {
        const ssize_t written = ::write(m_handle, next, count);
        if (written > 0) {
            next += written;
            count -= static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        const int remaining = RemainingMs(hasDeadline, deadline);
        if (hasDeadline && remaining == 0) return -1;
        if (WaitFor(m_handle, POLLOUT, remaining) < 0) return -1;
    }
    return 1;
}

int CSerialPort::ReadChar(uint8_t* byte, uint32_t timeoutMs)
{
    if (!ApplyReadTimeout(timeoutMs)) return -1;
    if (!byte) return -2;
    return ReadBytes(byte, 1, timeoutMs);
}

int CSerialPort::ReadBytes(void* buffer, uint32_t maxCount, uint32_t timeoutMs)
{
    if (!ApplyReadTimeout(timeoutMs)) return -1;
    if (!buffer && maxCount > 0) return -2;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    return ReadUntil(m_handle, static_cast<char*>(buffer), maxCount, timeoutMs != 0, deadline,
                     false);
}

int CSerialPort::ReadAvailable(void* buffer, uint32_t maxCount, uint32_t waitMs)
{
    if (m_handle < 0) return -1;
    if (!buffer || maxCount == 0) return 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    return ReadUntil(m_handle, static_cast<char*>(buffer), maxCount, true, deadline, true);
}

int CSerialPort::ReadString(char* buffer, char terminator, uint32_t maxCount, uint32_t timeoutMs)
{
    if (timeoutMs == 0) {
        if (maxCount == 0 || !buffer || maxCount > static_cast<uint32_t>(INT_MAX)) return -3;
        for (uint32_t count = 0; count < maxCount;) {
            uint8_t byte = 0;
            const int got = ReadChar(&byte, 0);
            if (got < 0) return got;
            if (got == 0) continue;
            buffer[count++] = static_cast<char>(byte);
            if (static_cast<char>(byte) == terminator) {
                buffer[count] = '\0';
                return static_cast<int>(count);
            }
        }
        return -3;
    }
    CSerialTimer timer;
    timer.Start();
    if (maxCount == 0 || !buffer || maxCount > static_cast<uint32_t>(INT_MAX)) return -3;
    uint32_t count = 0;
    for (;;) {
        const uint32_t elapsed = timer.ElapsedMs();
        if (elapsed >= timeoutMs) {
            buffer[count] = '\0';
            return 0;
        }
        uint8_t byte = 0;
        const int got = ReadChar(&byte, timeoutMs - elapsed);
        if (got < 0) return got;
        if (got == 0) continue;
        buffer[count++] = static_cast<char>(byte);
        if (static_cast<char>(byte) == terminator || count == maxCount) {
            buffer[count] = '\0';
            return static_cast<int>(count);
        }
    }
}

bool CSerialPort::FlushReceiver() { return m_handle >= 0 && ::tcflush(m_handle, TCIFLUSH) == 0; }

int CSerialPort::Available()
{
    if (m_handle < 0) return -1;
    int waiting = 0;
    if (::ioctl(m_handle, FIONREAD, &waiting) != 0) return -1;
    return waiting;
}

bool CSerialPort::SetDtr(bool state)
{
    if (m_handle < 0) return false;
    int bits = TIOCM_DTR;
    if (::ioctl(m_handle, state ? TIOCMBIS : TIOCMBIC, &bits) != 0) return false;
    m_dtrState = state;
    return true;
}

bool CSerialPort::SetRts(bool state)
{
    if (m_handle < 0) return false;
    int bits = TIOCM_RTS;
    if (::ioctl(m_handle, state ? TIOCMBIS : TIOCMBIC, &bits) != 0) return false;
    m_rtsState = state;
    return true;
}

int CSerialPort::ModemStatus() const
{
    if (m_handle < 0) return -1;
    int bits = 0;
    if (::ioctl(m_handle, TIOCMGET, &bits) != 0) return -1;
    return bits;
}

bool CSerialPort::IsCts() const
{
    const int bits = ModemStatus();
    return bits >= 0 && (bits & TIOCM_CTS);
}

bool CSerialPort::IsDsr() const
{
    const int bits = ModemStatus();
    return bits >= 0 && (bits & TIOCM_DSR);
}

bool CSerialPort::IsDcd() const
{
    const int bits = ModemStatus();
    return bits >= 0 && (bits & TIOCM_CAR);
}

bool CSerialPort::IsRing() const
{
    const int bits = ModemStatus();
    return bits >= 0 && (bits & TIOCM_RNG);
}

namespace {

wxArrayString& FoundPorts()
{
    static wxArrayString found;  // GUI thread
    return found;
}

bool ListDirectory(const std::string& path, std::vector<std::string>& entries)
{
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return false;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") entries.push_back(name);
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end());
    return true;
}

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// A 8250-style port that exists answers a type other than 0 (unknown) in sysfs.
bool IsRealUartPort(const std::string& sysRoot, const std::string& name)
{
    std::FILE* file = std::fopen((sysRoot + "/" + name + "/type").c_str(), "r");
    if (file == nullptr) return false;
    int type = 0;
    const bool read = std::fscanf(file, "%d", &type) == 1;
    std::fclose(file);
    return read && type != 0;
}

}  // namespace

wxArrayString FindSerialPorts(const std::string& devRoot, const std::string& sysRoot)
{
    wxArrayString ports;
    std::vector<std::string> links;
    if (ListDirectory(devRoot + "/serial/by-id", links)) {
        for (const std::string& link : links) ports.Add(devRoot + "/serial/by-id/" + link);
    }
    std::vector<std::string> devices;
    ListDirectory(devRoot, devices);
    for (const char* kind : {"ttyUSB", "ttyACM"}) {
        for (const std::string& name : devices) {
            if (StartsWith(name, kind)) ports.Add(devRoot + "/" + name);
        }
    }
    for (const std::string& name : devices) {
        unsigned number = 0;
        // com1 to com9 already reach ttyS0 to ttyS8.
        if (StartsWith(name, "ttyS") && IsPortNumber(name.substr(4), &number) &&
            number >= static_cast<unsigned>(kComPortCount) && IsRealUartPort(sysRoot, name))
            ports.Add(devRoot + "/" + name);
    }
    return ports;
}

void RefreshComPortNames(const wxArrayString& keep)
{
    wxArrayString found = FindSerialPorts();
    wxArrayString names;
    for (int i = 1; i <= kComPortCount; ++i) names.Add(wxString::Format("com%d", i));
    for (const wxString& port : found) {
        if (names.Index(port, true) == wxNOT_FOUND) names.Add(port);
    }
    for (const wxString& port : keep) {
        if (!port.empty() && names.Index(port, true) == wxNOT_FOUND) names.Add(port);
    }
    names.RemoveAt(0, static_cast<size_t>(kComPortCount));
    FoundPorts() = names;
}

int GetComPortNames(wxArrayString& names)
{
    names.Clear();
    for (int i = 1; i <= kComPortCount; ++i) names.Add(wxString::Format("com%d", i));
    for (const wxString& port : FoundPorts()) names.Add(port);
    return static_cast<int>(names.GetCount());
}

wxString GetComPortName(int index)
{
    wxArrayString names;
    const int count = GetComPortNames(names);
    if (index < 0 || index >= count) return wxString();
    return names[static_cast<size_t>(index)];
}

int FindComPort(const wxString& name)
{
    wxArrayString names;
    GetComPortNames(names);
    for (size_t i = 0; i < names.GetCount(); ++i) {
        if (names[i] == name) return static_cast<int>(i);
    }
    return -1;
}
