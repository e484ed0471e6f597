#include "wii/wiiLink.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Errors after which the connection will never carry a report again.
bool IsLost(int error)
{
    return error == ENODEV || error == EPIPE || error == ECONNRESET || error == ENOTCONN ||
           error == EIO || error == EBADF || error == ESHUTDOWN;
}

}  // namespace

CWiiLink::CWiiLink(int fd) : m_fd(fd)
{
    if (m_fd < 0) {
        m_gone = true;
        return;
    }
    const int flags = ::fcntl(m_fd, F_GETFL);
    if (flags < 0 || ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK) < 0)
        Fail("fcntl", errno);  // still usable: reads are guarded by poll
}

CWiiLink::~CWiiLink() { Close(); }

void CWiiLink::Close()
{
    if (m_fd < 0) return;
    // Nothing was written to a file here: a failed close loses no data.
    if (::close(m_fd) != 0) Fail("close", errno);
    m_fd = -1;
    m_gone = true;
}

void CWiiLink::Fail(const char* what, int error)
{
    m_lastError = std::string(what) + ": " + std::strerror(error);
    if (IsLost(error)) m_gone = true;
}

bool CWiiLink::Send(const uint8_t* report, size_t size)
{
    if (m_fd < 0 || m_gone || report == nullptr || size == 0) return false;
    bool isSocket = true;
    for (;;) {
        // A socket whose peer is gone must fail the write, not raise SIGPIPE.
        const ssize_t sent =
            isSocket ? ::send(m_fd, report, size, MSG_NOSIGNAL) : ::write(m_fd, report, size);
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && errno == ENOTSOCK && isSocket) {
            isSocket = false;
            continue;
        }
        if (sent < 0) {
            Fail("write", errno);
            return false;
        }
        // A report is one message: a part of it is no report at all.
        if (static_cast<size_t>(sent) != size) {
            m_lastError = "write: short report";
            return false;
        }
        return true;
    }
}

int CWiiLink::Receive(uint8_t* buffer, size_t capacity, int timeoutMs)
{
    if (m_fd < 0 || m_gone) return -1;
    for (;;) {
        pollfd entry{m_fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, timeoutMs < 0 ? 0 : timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            Fail("poll", errno);
            return -1;
        }
        if (ready == 0) return 0;
        if ((entry.revents & (POLLERR | POLLNVAL)) != 0 && (entry.revents & POLLIN) == 0) {
            m_gone = true;
            m_lastError = "connection lost";
            return -1;
        }
        const ssize_t got = ::read(m_fd, buffer, capacity);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        if (got < 0) {
            Fail("read", errno);
            return -1;
        }
        if (got == 0) {
            // End of stream: the remote went away.
            m_gone = true;
            m_lastError = "connection closed";
            return -1;
        }
        return static_cast<int>(got);
    }
}
