#include "support/syncLog.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <utility>

extern "C" int __real_fsync(int fd);
extern "C" int __real_fdatasync(int fd);
extern "C" int __real_close(int fd);  // no armed close fault is met here
extern "C" int __real_unlink(const char* path);
extern "C" int __real_rename(const char* from, const char* to);

namespace {

std::mutex g_logLock;  // a leaf lock
std::condition_variable g_logged;
std::string g_folder;  // empty: not logging
bool g_withContents = false;
std::vector<SyncEvent> g_log;
std::string g_failSuffix;
int g_failError = 0;
bool g_failAfterRemoval = false;
std::string g_holdSuffix;  // empty: no flush is to wait
bool g_isHeld = false;
std::string g_heldThread;
std::condition_variable g_released;

bool EndsWith(const std::string& path, const std::string& suffix)
{
    return path.size() >= suffix.size() &&
           path.compare(path.size() - suffix.size(), std::string::npos, suffix) == 0;
}

// With g_logLock held: a name was removed from the flushed folder since its last
// logged flush, and not made again (when the flush lists the folder's names).
bool IsRemovedFrom(const SyncEvent& flush)
{
    const std::string& folder = flush.path;
    for (auto event = g_log.rbegin(); event != g_log.rend(); ++event) {
        if (event->isFolder && event->path == folder) return false;
        if (!event->isRemoval || event->path.rfind(folder + "/", 0) != 0) continue;
        const std::string name = event->path.substr(folder.size() + 1);
        if (std::none_of(flush.entries.begin(), flush.entries.end(),
                         [&name](const auto& entry) { return entry.first == name; }))
            return true;
    }
    return false;
}

// What fd holds now, before its flush; false when it is not under the logged folder.
bool Snapshot(int fd, SyncEvent& event)
{
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    char path[PATH_MAX];
    const ssize_t length = ::readlink(link.c_str(), path, sizeof path);
    event.path.assign(path, size_t(std::max<ssize_t>(length, 0)));
    bool withContents = false;
    {
        std::lock_guard<std::mutex> lock(g_logLock);
        if (g_folder.empty() || event.path.rfind(g_folder, 0) != 0) return false;
        withContents = g_withContents;
    }
    struct stat info {};
    event.isFolder = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
    event.size = info.st_size;
    event.inode = info.st_ino;
    if (event.isFolder) {
        DIR* dir = withContents ? ::opendir(event.path.c_str()) : nullptr;
        while (const dirent* entry = dir ? ::readdir(dir) : nullptr)
            if (entry->d_name[0] != '.' || (entry->d_name[1] != 0 && entry->d_name[1] != '.'))
                event.entries.emplace_back(entry->d_name, entry->d_ino);
        if (dir) ::closedir(dir);
        return true;
    }
    const int reader =
        ::open(link.c_str(), O_RDONLY | O_CLOEXEC);  // the writer's may be write-only
    uint8_t field[8] = {};
    if (reader >= 0 && ::pread(reader, field, 8, 24) == 8)
        for (int i = 7; i >= 0; --i) event.countField = (event.countField << 8) | field[i];
    if (reader >= 0 && withContents) {
        event.bytes.resize(size_t(event.size));
        const ssize_t got = ::pread(reader, event.bytes.data(), event.bytes.size(), 0);
        event.bytes.resize(size_t(std::max<ssize_t>(got, 0)));
    }
    if (reader >= 0) __real_close(reader);
    return true;
}

int Logged(int fd, int (*flush)(int))
{
    SyncEvent event;
    const bool isLogged = Snapshot(fd, event);
    if (isLogged) {
        std::unique_lock<std::mutex> lock(g_logLock);
        if (!g_holdSuffix.empty() && EndsWith(event.path, g_holdSuffix)) {
            g_holdSuffix.clear();
            g_isHeld = true;
            char name[32] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            g_heldThread = name;
            g_released.wait(lock, [] { return !g_isHeld; });
        }
    }
    int result = flush(fd);
    if (!isLogged) return result;
    std::lock_guard<std::mutex> lock(g_logLock);
    const size_t end = event.path.size() - std::min(event.path.size(), g_failSuffix.size());
    if (g_failError != 0 && event.path.compare(end, std::string::npos, g_failSuffix) == 0 &&
        (!g_failAfterRemoval || (event.isFolder && IsRemovedFrom(event)))) {
        errno = std::exchange(g_failError, 0);
        result = -1;
    }
    event.isOk = result == 0;
    if (g_folder.empty()) return result;
    g_log.push_back(std::move(event));
    g_logged.notify_all();
    return result;
}

// Notes the removal of path (its inode first) when remove succeeds on it.
int LoggedRemoval(const char* path, const std::function<int()>& remove)
{
    SyncEvent event;
    event.isRemoval = true;
    const std::string name = path ? path : "";
    const size_t slash = name.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : name.substr(0, slash);
    char real[PATH_MAX];
    if (::realpath(folder.empty() ? "/" : folder.c_str(), real))
        event.path = std::string(real) + "/" + name.substr(slash + 1);
    struct stat info {};
    const bool isNamed = path && ::lstat(path, &info) == 0;
    event.inode = info.st_ino;
    const int result = remove();
    const int error = errno;
    std::lock_guard<std::mutex> lock(g_logLock);
    if (result == 0 && isNamed && !g_folder.empty() && event.path.rfind(g_folder + "/", 0) == 0) {
        g_log.push_back(std::move(event));
        g_logged.notify_all();
    }
    errno = error;
    return result;
}

}  // namespace

void StartSyncLog(const std::string& folder, bool withContents)
{
    char real[PATH_MAX];  // descriptors name their files by real paths
    std::lock_guard<std::mutex> lock(g_logLock);
    g_folder = ::realpath(folder.c_str(), real) ? std::string(real) : folder;
    g_withContents = withContents;
    g_log.clear();
}

std::vector<SyncEvent> TakeSyncLog()
{
    std::lock_guard<std::mutex> lock(g_logLock);
    g_folder.clear();
    return std::exchange(g_log, {});
}

std::vector<SyncEvent> CopySyncLog()
{
    std::lock_guard<std::mutex> lock(g_logLock);
    return g_log;
}

void MarkSyncLog(const std::string& label)
{
    SyncEvent mark;
    mark.path = label;
    mark.isMark = true;
    std::lock_guard<std::mutex> lock(g_logLock);
    g_log.push_back(std::move(mark));
}

bool WaitForSyncLog(const std::function<bool(const SyncEvent&)>& isReached,
                    std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(g_logLock);
    size_t checked = 0;
    return g_logged.wait_for(lock, timeout, [&] {
        for (; checked < g_log.size(); ++checked)
            if (isReached(g_log[checked])) return true;
        return false;
    });
}

void FailNextSync(const std::string& suffix, int error, bool afterRemoval)
{
    std::lock_guard<std::mutex> lock(g_logLock);
    g_failSuffix = suffix;
    g_failError = error;
    g_failAfterRemoval = afterRemoval;
}

void HoldNextSync(const std::string& suffix)
{
    std::lock_guard<std::mutex> lock(g_logLock);
    g_holdSuffix = suffix;
}

std::string HeldSyncThread()
{
    std::lock_guard<std::mutex> lock(g_logLock);
    return g_isHeld ? g_heldThread : std::string();
}

void ReleaseHeldSync()
{
    {
        std::lock_guard<std::mutex> lock(g_logLock);
        g_holdSuffix.clear();
        g_isHeld = false;
    }
    g_released.notify_all();
}

std::map<std::string, std::string> FilesAfterCut(const std::vector<SyncEvent>& log, size_t end)
{
    std::map<std::string, const SyncEvent*> folders;
    std::map<uint64_t, const SyncEvent*> files;
    for (size_t i = 0; i < std::min(end, log.size()); ++i) {
        const SyncEvent& event = log[i];
        if (event.isMark || !event.isOk) continue;
        (event.isFolder ? folders[event.path] : files[event.inode]) = &event;
    }
    const auto bytesOf = [&files](uint64_t inode) {
        const auto file = files.find(inode);
        return file == files.end() ? std::string() : file->second->bytes;
    };
    std::map<std::string, std::string> kept;
    for (const auto& [folder, listing] : folders)
        for (const auto& [name, inode] : listing->entries) kept[folder + "/" + name] = bytesOf(inode);
    for (size_t i = 0; i < std::min(end, log.size()); ++i) {
        const SyncEvent& removal = log[i];
        if (!removal.isRemoval) continue;
        const std::string folder = removal.path.substr(0, removal.path.rfind('/'));
        const auto listing = folders.find(folder);
        const bool isFlushedAfter = listing != folders.end() && listing->second > &removal;
        if (!isFlushedAfter) kept[removal.path] = bytesOf(removal.inode);
    }
    return kept;
}

extern "C" int __wrap_fsync(int fd) { return Logged(fd, __real_fsync); }
extern "C" int __wrap_fdatasync(int fd) { return Logged(fd, __real_fdatasync); }
extern "C" int __wrap_unlink(const char* path)
{
    return LoggedRemoval(path, [path] { return __real_unlink(path); });
}
extern "C" int __wrap_rename(const char* from, const char* to)
{
    return LoggedRemoval(from, [from, to] { return __real_rename(from, to); });
}
