#include "process/dailyLog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

namespace {

std::mutex g_logMutex;  // leaf lock: the directory and the appends
wxString g_logDirectory;

}  // namespace

void SetLogDirectory(const wxString& dir)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_logDirectory = dir;
}

bool WriteLog(const wxString& text)
{
    const time_t now = ::time(nullptr);
    tm local{};
    if (::localtime_r(&now, &local) == nullptr)
        return false;
    char stamp[64];
    char date[32];
    if (std::strftime(stamp, sizeof stamp, "%Y-%m-%d %X", &local) == 0 ||
        std::strftime(date, sizeof date, "%Y-%m-%d", &local) == 0)
        return false;

    std::lock_guard<std::mutex> lock(g_logMutex);
    const std::string path =
        std::string(g_logDirectory.utf8_str().data()) + "/qv_log" + date + ".txt";
    std::FILE* file = std::fopen(path.c_str(), "a");
    if (file == nullptr) {
        std::fprintf(stderr, "<LOG> cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    const bool written = std::fprintf(file, "%s\t%s\n", stamp, text.utf8_str().data()) >= 0;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "<LOG> cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}
