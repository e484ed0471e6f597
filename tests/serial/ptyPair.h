#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

// A pseudo-terminal whose master side plays the instrument: the code under test
// opens SlaveName() as its serial port.
class CPtyPair {
public:
    CPtyPair()
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) return;
        char name[128] = {};
        if (::ptsname_r(m_master, name, sizeof name) == 0) m_slave = name;
    }
    ~CPtyPair()
    {
        if (m_master >= 0) ::close(m_master);
        if (m_keptSlave >= 0) ::close(m_keptSlave);
    }
    CPtyPair(const CPtyPair&) = delete;
    CPtyPair& operator=(const CPtyPair&) = delete;

    bool IsValid() const { return m_master >= 0 && !m_slave.empty(); }
    const std::string& SlaveName() const { return m_slave; }
    int Master() const { return m_master; }
    // The instrument unplugged. A slave side stays open in here so that the line's
    // number is not handed to another test's pseudo-terminal while the code under test
    // still tries the old name.
    void CloseMaster()
    {
        if (m_master < 0) return;
        if (m_keptSlave < 0 && !m_slave.empty())
            m_keptSlave = ::open(m_slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ::close(m_master);
        m_master = -1;
    }

    // Writes every byte to the port's receive side.
    bool Send(const void* data, size_t size)
    {
        const char* next = static_cast<const char*>(data);
        while (size > 0) {
            const ssize_t written = ::write(m_master, next, size);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return false;
            next += written;
            size -= static_cast<size_t>(written);
        }
        return true;
    }
    bool Send(const std::string& text) { return Send(text.data(), text.size()); }
    // The same, in small writes as the line takes them, given up once stop is set: a
    // line nobody reads any more holds the writer no longer.
    bool SendUnless(const std::string& text, const std::atomic<bool>& stop)
    {
        for (size_t at = 0; at < text.size();) {
            if (stop) return false;
            pollfd entry{m_master, POLLOUT, 0};
            if (::poll(&entry, 1, 10) <= 0 || !(entry.revents & POLLOUT)) continue;
            const ssize_t written =
                ::write(m_master, text.data() + at, std::min<size_t>(64, text.size() - at));
            if (written < 0 && errno != EINTR && errno != EAGAIN) return false;
            if (written > 0) at += static_cast<size_t>(written);
        }
        return true;
    }

    // Reads exactly size bytes that the port sent, or fails after timeoutMs.
    bool Receive(void* data, size_t size, int timeoutMs = 5000)
    {
        char* next = static_cast<char*>(data);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (size > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) return false;
            pollfd entry{m_master, POLLIN, 0};
            const int ready = ::poll(&entry, 1, static_cast<int>(left));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
            const ssize_t got = ::read(m_master, next, size);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            next += got;
            size -= static_cast<size_t>(got);
        }
        return true;
    }

    // The slave's line settings as the port left them (termios requests on the master
    // act on the slave).
    bool GetSlaveSettings(termios* line) const { return ::tcgetattr(m_master, line) == 0; }

private:
    int m_master = -1;
    int m_keptSlave = -1;
    std::string m_slave;
};
