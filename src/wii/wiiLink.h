#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One HID connection to a remote: whole reports in and out over a file descriptor (a
// hidraw node, or one end of a packet socket pair). Owns the descriptor. Not locked:
// its remote's owner serialises the calls.
class CWiiLink {
public:
    // Takes the descriptor (closed by Close and the destructor); made non-blocking.
    explicit CWiiLink(int fd);
    ~CWiiLink();
    CWiiLink(const CWiiLink&) = delete;
    CWiiLink& operator=(const CWiiLink&) = delete;

    bool IsOpen() const { return m_fd >= 0; }
    // True once the far side went away (end of stream, device removed).
    bool IsGone() const { return m_gone; }
    // One report, id first, written whole. False when it could not be.
    bool Send(const uint8_t* report, size_t size);
    // One report into buffer: its size, 0 when none came within timeoutMs (0: do not
    // wait), -1 when the connection is gone or failed.
    int Receive(uint8_t* buffer, size_t capacity, int timeoutMs);
    void Close();
    const std::string& GetLastError() const { return m_lastError; }

private:
    void Fail(const char* what, int error);

    int m_fd = -1;
    bool m_gone = false;
    std::string m_lastError;
};
