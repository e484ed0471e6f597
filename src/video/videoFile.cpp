#include "video/videoFile.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <memory>

namespace {

constexpr int64_t kUnlimited = std::numeric_limits<int64_t>::max();
// FAT file systems hold no file of 4 GiB or more.
constexpr long kMsdosMagic = 0x4d44;
constexpr int64_t kFatLargestFile = (int64_t{1} << 32) - 1;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

uint64_t BigEndian(const unsigned char* bytes, int count)
{
    uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
    return value;
}

}  // namespace

int64_t VideoFileSize(const std::string& file)
{
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) return 0;
    return static_cast<int64_t>(status.st_size);
}

int64_t VideoFileRoom(const std::string& folder, const std::string& file)
{
    struct statvfs space {};
    if (::statvfs(folder.c_str(), &space) != 0) return -1;
    int64_t room = static_cast<int64_t>(space.f_bavail) * static_cast<int64_t>(space.f_frsize);
    const int64_t size = VideoFileSize(file);
    int64_t largest = kUnlimited;
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        largest = static_cast<int64_t>(std::min<rlim_t>(limit.rlim_cur, kUnlimited));
    struct statfs system {};
    if (::statfs(folder.c_str(), &system) == 0 && system.f_type == kMsdosMagic)
        largest = std::min(largest, kFatLargestFile);
    if (largest != kUnlimited) room = std::min(room, std::max<int64_t>(0, largest - size));
    return room;
}

bool HasMovieIndex(const std::string& file)
{
    std::unique_ptr<std::FILE, FileCloser> in(std::fopen(file.c_str(), "rb"));
    if (in == nullptr) return false;
    const int64_t size = VideoFileSize(file);
    // The top-level boxes follow each other: a size, a type, and a 64-bit size when the
    // first says 1. A box that runs past the end is one a failed write cut.
    int64_t at = 0;
    while (at + 8 <= size) {
        std::array<unsigned char, 16> head{};
        if (::fseeko(in.get(), at, SEEK_SET) != 0 || std::fread(head.data(), 1, 8, in.get()) != 8)
            return false;
        int64_t boxSize = static_cast<int64_t>(BigEndian(head.data(), 4));
        if (boxSize == 1) {
            if (std::fread(head.data() + 8, 1, 8, in.get()) != 8) return false;
            const uint64_t large = BigEndian(head.data() + 8, 8);
            if (large > static_cast<uint64_t>(kUnlimited)) return false;
            boxSize = static_cast<int64_t>(large);
        } else if (boxSize == 0) {
            boxSize = size - at;  // to the end of the file
        }
        if (boxSize < 8 || at + boxSize > size) return false;
        if (head[4] == 'm' && head[5] == 'o' && head[6] == 'o' && head[7] == 'v') return true;
        at += boxSize;
    }
    return false;
}
