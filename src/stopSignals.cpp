#include "stopSignals.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr unsigned char kEndWatch = 0;  // no signal has number 0

// Written by the handler, read by the watcher; -1 while not installed.
int g_pipe[2] = {-1, -1};
std::thread g_watcher;
CStopSignals::Handler g_handler;  // set before the watcher starts

// Async-signal-safe: one write, errno kept for the code it interrupted. A full pipe
// (signals far faster than they are read) loses only repeats.
extern "C" void OnStopSignal(int signal)
{
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    ssize_t written = 0;
    do {
        written = ::write(g_pipe[1], &number, 1);
    } while (written < 0 && errno == EINTR);
    errno = savedErrno;
}

void Watch() noexcept
{
    pthread_setname_np(pthread_self(), "qv-signals");
    for (;;) {
        unsigned char number = kEndWatch;
        const ssize_t got = ::read(g_pipe[0], &number, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || number == kEndWatch) return;
        try {
            g_handler(number);
        } catch (...) {
            // Nothing may leave a thread; the next signal is still handled.
        }
    }
}

bool SetAction(void (*action)(int), std::string& error)
{
    for (const int signal : kSignals) {
        struct sigaction what {};
        what.sa_handler = action;
        sigemptyset(&what.sa_mask);
        what.sa_flags = SA_RESTART;  // other threads' calls go on undisturbed
        if (::sigaction(signal, &what, nullptr) != 0) {
            error = std::string("sigaction ") + CStopSignals::Name(signal) + ": " +
                    std::strerror(errno);
            return false;
        }
    }
    return true;
}

void ClosePipe()
{
    for (int& end : g_pipe) {
        if (end >= 0) ::close(end);  // a pipe: nothing written is lost
        end = -1;
    }
}

}  // namespace

bool CStopSignals::Install(Handler handler, std::string& error)
{
    if (g_pipe[0] >= 0) return true;
    if (::pipe2(g_pipe, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    // The handler must never block on a full pipe.
    if (::fcntl(g_pipe[1], F_SETFL, O_NONBLOCK) != 0) {
        error = std::string("fcntl: ") + std::strerror(errno);
        ClosePipe();
        return false;
    }
    g_handler = std::move(handler);
    try {
        g_watcher = std::thread(Watch);
    } catch (const std::exception& e) {
        error = std::string("no watcher thread: ") + e.what();
        ClosePipe();
        return false;
    }
    if (!SetAction(OnStopSignal, error)) {
        std::string ignored;
        SetAction(SIG_DFL, ignored);
        Remove();
        return false;
    }
    return true;
}

void CStopSignals::Remove()
{
    if (g_pipe[0] < 0) return;
    std::string ignored;
    SetAction(SIG_DFL, ignored);
    const unsigned char end = kEndWatch;
    ssize_t written = 0;
    do {
        written = ::write(g_pipe[1], &end, 1);
    } while (written < 0 && errno == EINTR);
    if (written != 1) {
        // A full pipe holds signals: the watcher reads them, then finds the pipe closed.
        ::close(g_pipe[1]);
        g_pipe[1] = -1;
    }
    if (g_watcher.joinable()) g_watcher.join();
    ClosePipe();
    g_handler = nullptr;
}

const char* CStopSignals::Name(int signal)
{
    switch (signal) {
        case SIGTERM:
            return "SIGTERM";
        case SIGINT:
            return "SIGINT";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "a stop signal";
    }
}
