#pragma once

#include <wx/arrstr.h>
#include <wx/string.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Line settings handed to CSerialPort::Open, copied whole.
struct SerialSettings {
    uint32_t baud = 19200;   // one of the rates CSerialPort::IsSupportedBaud accepts
    uint32_t parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t dataBits = 8;    // 5 to 8
    uint8_t stopBits = 1;    // 1 or 2
    uint8_t rtsControl = 0;  // 0 disabled (low), 1 enabled (high), 2 handshake, 3 toggle
    uint8_t xonXoff = 0;     // bit 0: software flow control both ways
};

// Communication time-outs in milliseconds; a read waits at most readTotalConstant
// (0 together with the other read fields: no limit).
struct SerialTimeouts {
    uint32_t readInterval = 0;
    uint32_t readTotalMultiplier = 0;
    uint32_t readTotalConstant = 0;
    uint32_t writeTotalMultiplier = 0;
    uint32_t writeTotalConstant = 0;
};

// Millisecond stopwatch of the timed reads, on the monotonic clock so that setting
// the wall clock never cuts a read short or stretches it.
class CSerialTimer {
public:
    void Start();
    uint32_t ElapsedMs() const;
    // The difference of two readings in whole milliseconds (now after start).
    static uint32_t ElapsedMsBetween(uint32_t startSec, uint32_t startMicro, uint32_t nowSec,
                                     uint32_t nowMicro);

private:
    uint32_t m_seconds = 0;
    uint32_t m_micro = 0;
};

// Monotonic time split into seconds and microseconds; 0 on success.
int GetSerialTime(uint32_t* seconds, uint32_t* micro);

// One RS-232 line on a POSIX terminal device. No lock: one thread at a time uses an
// object (opened in the GUI thread, then read by one acquisition thread).
// Port names: "comN" (any case, N >= 1) is /dev/ttyS(N-1); an absolute path is used
// as given; any other name is looked up under /dev ("ttyUSB0" is /dev/ttyUSB0).
class CSerialPort {
public:
    CSerialPort();
    virtual ~CSerialPort();  // closes without touching DTR or RTS
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // 1 open and configured; -1 no such device, -2 could not open (busy, refused),
    // -3 line settings unreadable, -4 baud not supported, -5 settings refused
    // (by the line, or outside the ranges SerialSettings gives),
    // -6 time-outs refused. After -3 to -6 the port stays open: the caller closes.
    // Null settings reuse the last ones. The port must be closed first.
    int Open(const char* name, const SerialSettings* settings);
    // Off: Open leaves its failure messages out (a line that is retried every few
    // seconds while it is away would repeat them).
    void SetReportErrors(bool report) { m_reportErrors = report; }
    void Close();
    bool IsOpen() const { return m_handle >= 0; }

    // 1 written whole, -1 failed (closed port, error or write time-out).
    int WriteChar(uint8_t byte);
    int WriteString(const char* text);
    int WriteBytes(const void* buffer, size_t count);

    // 1 a byte arrived, 0 time-out, -1 closed port (time-outs refused), -2 read failed
    // (the line went away). timeoutMs 0 waits until a byte comes.
    int ReadChar(uint8_t* byte, uint32_t timeoutMs);
    // Reads up to the terminator (stored) or maxCount bytes into buffer, which holds
    // maxCount + 1 bytes. Timed form (timeoutMs > 0): the count stored, NUL-terminated,
    // or 0 on time-out. Blocking form (0): the count up to and with the terminator,
    // -3 when maxCount bytes came without it. Negative ReadChar results pass through;
    // maxCount 0 gives -3.
    int ReadString(char* buffer, char terminator, uint32_t maxCount, uint32_t timeoutMs);
    // Up to maxCount bytes, returning when all came or the time ran out (0: no limit):
    // the count read, -1 closed port, -2 read failed.
    int ReadBytes(void* buffer, uint32_t maxCount, uint32_t timeoutMs);
    // What waits in the receive queue, up to maxCount bytes, after waiting at most
    // waitMs for the first one (0: no wait): the count read (0 none), -1 closed port,
    // -2 the line failed or went away.
    int ReadAvailable(void* buffer, uint32_t maxCount, uint32_t waitMs);

    // Discards what waits in the receive queue; false on a closed port or an error.
    bool FlushReceiver();
    // Bytes waiting in the receive queue, -1 on a closed port or an error.
    int Available();

    // Modem lines. The setters return true when the line took the state, which they
    // then record; a device without modem lines (a pseudo-terminal) refuses.
    bool SetDtr(bool state);
    bool SetDtr() { return SetDtr(true); }
    bool ClearDtr() { return SetDtr(false); }
    bool SetRts(bool state);
    bool SetRts() { return SetRts(true); }
    bool ClearRts() { return SetRts(false); }
    bool IsCts() const;
    bool IsDsr() const;
    bool IsDcd() const;
    bool IsRing() const;
    bool IsDtr() const { return m_dtrState; }
    bool IsRts() const { return m_rtsState; }

    const SerialSettings& GetSettings() const { return m_settings; }
    const SerialTimeouts& GetTimeouts() const { return m_timeouts; }

    // The device path a port name opens.
    static std::string DevicePathFor(const char* name);
    // Why Open gave code, naming the device file: "/dev/ttyS4 does not exist".
    static std::string OpenFailureText(int code, const char* name);
    static bool IsSupportedBaud(uint32_t baud);

protected:
    // Records readTotalConstant; false on a closed port.
    bool ApplyReadTimeout(uint32_t timeoutMs);
    // Modem status bits (TIOCM_*), or -1.
    int ModemStatus() const;

    bool m_rtsState = true;
    bool m_dtrState = true;
    int m_handle = -1;  // file descriptor; -1 when closed
    bool m_reportErrors = true;
    SerialTimeouts m_timeouts;
    SerialSettings m_settings;
};

// The port names offered in the "COM Port" choices: "com1" to "com9", then the serial
// ports found by the last RefreshComPortNames (stable /dev/serial/by-id names first),
// then the kept names it was given. Returns the count. GUI thread, as the three below.
int GetComPortNames(wxArrayString& names);
// The name at index in that list, or an empty text.
wxString GetComPortName(int index);
// Index of name in that list (exact, case-sensitive), or -1.
int FindComPort(const wxString& name);
// Looks for the serial ports on the machine again; keep lists configured names (a path
// no longer present, say) that must stay choosable, so that a choice never loses them.
void RefreshComPortNames(const wxArrayString& keep = wxArrayString());
// The serial device paths under devRoot ("/dev"), by-id links first, then ttyUSB*,
// ttyACM* and the ttyS* ports that com1-com9 do not reach and that sysRoot
// ("/sys/class/tty") says are real. Sorted within each kind.
wxArrayString FindSerialPorts(const std::string& devRoot = "/dev",
                              const std::string& sysRoot = "/sys/class/tty");
