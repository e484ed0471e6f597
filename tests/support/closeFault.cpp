#include "support/closeFault.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <mutex>
#include <vector>

extern "C" int __real_close(int fd);
extern "C" int __wrap_close(int fd);

namespace {

struct CloseFault {
    std::string suffix;
    int error;
};

std::mutex g_faultLock;  // a leaf lock
std::vector<CloseFault> g_faults;
std::atomic<int> g_armed{0};

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string PathOf(int fd)
{
    char link[PATH_MAX];
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = ::readlink(proc.c_str(), link, sizeof link);
    return length > 0 ? std::string(link, size_t(length)) : std::string();
}

}  // namespace

void FailNextClose(const std::string& suffix, int error)
{
    std::lock_guard<std::mutex> lock(g_faultLock);
    g_faults.push_back({suffix, error});
    g_armed = int(g_faults.size());
}

int ClearCloseFaults()
{
    std::lock_guard<std::mutex> lock(g_faultLock);
    const int left = int(g_faults.size());
    g_faults.clear();
    g_armed = 0;
    return left;
}

extern "C" int __wrap_close(int fd)
{
    if (g_armed.load() == 0 || fd < 0) return __real_close(fd);
    const std::string path = PathOf(fd);
    int error = 0;
    {
        std::lock_guard<std::mutex> lock(g_faultLock);
        for (auto fault = g_faults.begin(); fault != g_faults.end(); ++fault)
            if (!path.empty() && EndsWith(path, fault->suffix)) {
                error = fault->error;
                g_faults.erase(fault);
                break;
            }
        g_armed = int(g_faults.size());
    }
    const int result = __real_close(fd);
    if (error == 0 || result != 0) return result;
    errno = error;
    return -1;
}
