#pragma once

#include "serial/lineWatch.h"
#include "serial/serialPort.h"

#include <wx/string.h>

#include <cstdint>

// The external trigger voltage from a converter on a serial line that sends text lines
// "data=" followed by a 10-bit reading on a 5 V scale. The main frame owns the one
// instance. GUI thread only.
class CSerialTrigger {
public:
    explicit CSerialTrigger(uint32_t timeoutMs);
    ~CSerialTrigger();
    CSerialTrigger(const CSerialTrigger&) = delete;
    CSerialTrigger& operator=(const CSerialTrigger&) = delete;

    // Opens the port (closing a line already open), raises DTR and reads one value to
    // get in step with the lines. False when the port did not open (its message is
    // on standard error).
    bool Open(const wxString& port, uint32_t baud);
    // Lowers RTS and DTR and closes; nothing when not open.
    void Close();
    bool IsOpen() const { return m_isOpen; }

    // One line's voltage. False, volts untouched, on a time-out, a failed read or a
    // line that is not "data=" and a reading from 0 to 1023. A few failed reads in a
    // row, or the port going away, are said once on the Errors page; the port is then
    // opened again every couple of seconds, and its return is said too.
    bool ReadValue(double& volts);
    bool IsLineLost() const { return m_line.IsLost(); }
    int64_t GetLineLosses() const { return m_line.GetLostCount(); }
    // Lines that came but were refused (not a reading) since the last Open; Close
    // reports them with the losses of the line.
    int64_t GetRefusedLines() const { return m_refusedLines; }
    void SetReopenInterval(std::chrono::milliseconds interval) { m_line.SetReopenInterval(interval); }
    // Parses one received line (trailing white space allowed): the voltage, or false.
    static bool ParseLine(const char* line, size_t length, double& volts);

    // 0: reads wait until a line comes.
    void SetTimeout(uint32_t timeoutMs) { m_timeoutMs = timeoutMs; }
    uint32_t GetTimeout() const { return m_timeoutMs; }
    const SerialSettings& GetSettings() const { return m_settings; }

    static constexpr uint32_t kMaxLine = 32;
    // Longest wait of the first read in Open when reads have no limit: a silent
    // converter must not hold the program at start-up.
    static constexpr uint32_t kOpenSyncMs = 1000;

private:
    // The line's result: 1 a value, 0 a line refused, -1 nothing came, -2 the port failed.
    int ReadLine(double& volts, uint32_t timeoutMs);
    bool Reopen();

    CSerialPort m_port;
    CLineWatch m_line;
    wxString m_portName;
    int64_t m_refusedLines = 0;
    int64_t m_lossesAtOpen = 0;
    bool m_refusalReported = false;
    SerialSettings m_settings;
    uint32_t m_timeoutMs;
    bool m_isOpen = false;
};
