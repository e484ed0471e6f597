#include "support/syncLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <mutex>

extern "C" int __real_fsync(int fd);
extern "C" int __real_fdatasync(int fd);
extern "C" int __wrap_fsync(int fd);
extern "C" int __real_close(int fd);  // not the fault-injecting one: no armed fault is met here
extern "C" int __wrap_fdatasync(int fd);

namespace {

std::mutex g_logLock;  // a leaf lock
std::string g_folder;  // empty: not logging
std::vector<SyncEvent> g_log;
std::string g_failSuffix;
int g_failError = 0;

std::string LinkPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

int Logged(int fd, int result)
{
    char link[PATH_MAX];
    const ssize_t length = ::readlink(LinkPath(fd).c_str(), link, sizeof link);
    const std::string path = length > 0 ? std::string(link, size_t(length)) : std::string();
    std::lock_guard<std::mutex> lock(g_logLock);
    if (g_folder.empty() || path.compare(0, g_folder.size(), g_folder) != 0) return result;
    SyncEvent event;
    event.path = path;
    struct stat info {};
    if (::fstat(fd, &info) == 0) {
        event.isFolder = S_ISDIR(info.st_mode);
        event.size = info.st_size;
    }
    uint8_t field[8] = {};
    // The writer's descriptor may be write-only: the count is read through one of our own.
    const int reader = event.isFolder ? -1 : ::open(LinkPath(fd).c_str(), O_RDONLY | O_CLOEXEC);
    if (reader >= 0 && ::pread(reader, field, 8, 24) == 8)
        for (int i = 7; i >= 0; --i) event.countField = (event.countField << 8) | field[i];
    if (reader >= 0) __real_close(reader);
    g_log.push_back(event);
    if (g_failError != 0 && path.size() >= g_failSuffix.size() &&
        path.compare(path.size() - g_failSuffix.size(), g_failSuffix.size(), g_failSuffix) == 0) {
        errno = g_failError;
        g_failError = 0;
        return -1;
    }
    return result;
}

}  // namespace

void StartSyncLog(const std::string& folder)
{
    char real[PATH_MAX];  // descriptors name their files by real paths
    std::lock_guard<std::mutex> lock(g_logLock);
    g_folder = ::realpath(folder.c_str(), real) ? std::string(real) : folder;
    g_log.clear();
}

std::vector<SyncEvent> TakeSyncLog()
{
    std::lock_guard<std::mutex> lock(g_logLock);
    g_folder.clear();
    return std::move(g_log);
}

void FailNextSync(const std::string& suffix, int error)
{
    std::lock_guard<std::mutex> lock(g_logLock);
    g_failSuffix = suffix;
    g_failError = error;
}

extern "C" int __wrap_fsync(int fd) { return Logged(fd, __real_fsync(fd)); }
extern "C" int __wrap_fdatasync(int fd) { return Logged(fd, __real_fdatasync(fd)); }
