#include "support/syncLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>
#include <utility>

extern "C" int __real_fsync(int fd);
extern "C" int __real_fdatasync(int fd);
extern "C" int __real_close(int fd);  // no armed close fault is met here

namespace {

std::mutex g_logLock;  // a leaf lock
std::string g_folder;  // empty: not logging
std::vector<SyncEvent> g_log;
std::string g_failSuffix;
int g_failError = 0;

int Logged(int fd, int result)
{
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    char path[PATH_MAX];
    const ssize_t length = ::readlink(link.c_str(), path, sizeof path);
    SyncEvent event{std::string(path, size_t(std::max<ssize_t>(length, 0)))};
    std::lock_guard<std::mutex> lock(g_logLock);
    if (g_folder.empty() || event.path.rfind(g_folder, 0) != 0) return result;
    struct stat info {};
    event.isFolder = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
    event.size = info.st_size;
    uint8_t field[8] = {};
    const int reader =
        ::open(link.c_str(), O_RDONLY | O_CLOEXEC);  // the writer's may be write-only
    if (!event.isFolder && reader >= 0 && ::pread(reader, field, 8, 24) == 8)
        for (int i = 7; i >= 0; --i) event.countField = (event.countField << 8) | field[i];
    if (reader >= 0) __real_close(reader);
    g_log.push_back(event);
    const size_t end = event.path.size() - std::min(event.path.size(), g_failSuffix.size());
    if (g_failError == 0 || event.path.compare(end, std::string::npos, g_failSuffix) != 0)
        return result;
    errno = std::exchange(g_failError, 0);
    return -1;
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
    return std::exchange(g_log, {});
}

void FailNextSync(const std::string& suffix, int error)
{
    std::lock_guard<std::mutex> lock(g_logLock);
    g_failSuffix = suffix;
    g_failError = error;
}

extern "C" int __wrap_fsync(int fd) { return Logged(fd, __real_fsync(fd)); }
extern "C" int __wrap_fdatasync(int fd) { return Logged(fd, __real_fdatasync(fd)); }
