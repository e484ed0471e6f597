#pragma once

// File systems that refuse writes, for the full-disk paths of the recording:
// a file-size limit on this process (every write past it fails like a full
// disk, with EFBIG), and a small tmpfs mounted for a child process only (writes
// fail with ENOSPC). Neither needs anything mounted for the whole machine.

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

// Limits the size of every file this process writes while it lives; SIGXFSZ is
// ignored meanwhile, so a write past the limit only fails.
class CFileSizeLimit {
public:
    explicit CFileSizeLimit(rlim_t bytes)
    {
        m_isSet = ::getrlimit(RLIMIT_FSIZE, &m_saved) == 0;
        m_previous = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        m_isSet = m_isSet && ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~CFileSizeLimit()
    {
        if (m_isSet) ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_previous);
    }
    CFileSizeLimit(const CFileSizeLimit&) = delete;
    CFileSizeLimit& operator=(const CFileSizeLimit&) = delete;
    bool IsSet() const { return m_isSet; }

private:
    struct rlimit m_saved {};
    void (*m_previous)(int) = SIG_DFL;
    bool m_isSet = false;
};

// Exit code of a child that could not mount its file system.
constexpr int kNoTmpfsExit = 77;

namespace refusing_disk_detail {

inline bool WriteText(const std::string& path, const std::string& text)
{
    std::ofstream out(path);
    out << text;
    return bool(out);
}

// A mount namespace of the child's own: as root directly, otherwise inside a
// user namespace that maps the caller's ids.
inline bool EnterOwnMountNamespace()
{
    if (::unshare(CLONE_NEWNS) == 0) return true;
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    return WriteText("/proc/self/setgroups", "deny") &&
           WriteText("/proc/self/uid_map",
                     std::to_string(uid) + " " + std::to_string(uid) + " 1") &&
           WriteText("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
}

}  // namespace refusing_disk_detail

// Runs body in a child process and returns its exit code (body's result), or
// -1 when there was no child or it did not exit. body reports through files.
inline int RunInChild(const std::function<int()>& body)
{
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        const int result = body();
        std::fflush(nullptr);
        ::_exit(result);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs body in a child process that sees a tmpfs of sizeBytes at mountPoint
// (an empty folder); the mount ends with the child. Returns the child's exit
// code (body's result), or kNoTmpfsExit when this machine allows no mount.
// body runs single-threaded in the child and reports through files outside
// mountPoint.
inline int RunOnSmallTmpfs(const std::filesystem::path& mountPoint, size_t sizeBytes,
                           const std::function<int()>& body)
{
    return RunInChild([&] {
        if (!refusing_disk_detail::EnterOwnMountNamespace() ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return kNoTmpfsExit;
        const std::string options = "size=" + std::to_string(sizeBytes);
        if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, options.c_str()) != 0)
            return kNoTmpfsExit;
        return body();
    });
}
