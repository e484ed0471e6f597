#include "video/videoFile.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <memory>
#include <utility>

#include "analog/recordFormat.h"

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

// Size of the open file; by its name when it is not open.
int64_t OpenFileSize(int fd, const std::string& file)
{
    struct stat status {};
    if (fd >= 0 && ::fstat(fd, &status) == 0) return static_cast<int64_t>(status.st_size);
    return VideoFileSize(file);
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

CVideoRoom::CVideoRoom(const std::string& file, const std::string& folder)
    : m_file(file), m_folder(folder), m_sizeLimit(GetFileSizeLimit())
{
    do {
        m_fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
    } while (m_fd < 0 && errno == EINTR);
    struct stat status {};
    if (m_fd >= 0 && ::fstat(m_fd, &status) == 0) {
        m_device = static_cast<uint64_t>(status.st_dev);
        m_inode = static_cast<uint64_t>(status.st_ino);
        m_lastSize = static_cast<int64_t>(status.st_size);
    }
}

CVideoRoom::~CVideoRoom() { Release(); }

CVideoRoom::CVideoRoom(CVideoRoom&& other) noexcept { *this = std::move(other); }

CVideoRoom& CVideoRoom::operator=(CVideoRoom&& other) noexcept
{
    if (this == &other) return *this;
    Release();
    m_file = std::move(other.m_file);
    m_folder = std::move(other.m_folder);
    m_fd = std::exchange(other.m_fd, -1);
    m_canReserve = other.m_canReserve;
    m_sizeLimit = other.m_sizeLimit;
    m_largestGrowth = other.m_largestGrowth;
    m_lastSize = other.m_lastSize;
    m_keptEnd = other.m_keptEnd;
    m_device = other.m_device;
    m_inode = other.m_inode;
    return *this;
}

bool CVideoRoom::Keep(int64_t frames, int64_t reserve, int64_t* room)
{
    // Bytes the video's index takes per frame, with room to spare.
    constexpr int64_t kIndexBytesPerFrame = 64;
    const int64_t size = OpenFileSize(m_fd, m_file);
    m_largestGrowth = std::max(m_largestGrowth, size - m_lastSize);
    m_lastSize = size;
    // The encoder holds up to a few frames before they reach the file.
    const int64_t needed = reserve + 4 * m_largestGrowth + kIndexBytesPerFrame * (frames + 1);
    if (m_fd >= 0 && m_canReserve) {
        // A limit set while the file is open counts too.
        const int64_t sizeLimit = std::min(m_sizeLimit, GetFileSizeLimit());
        // Only the room beyond what is kept is asked for: a file system that cannot give
        // a range whole (tmpfs) takes back the room it had kept in it, and another program
        // writing meanwhile takes that, the index's with it.
        const int64_t from = std::max(size, m_keptEnd);
        if (size + needed <= from ||
            ReserveFileRoom(m_fd, from, size + needed - from, sizeLimit, m_canReserve)) {
            if (m_canReserve) {
                m_keptEnd = std::max(m_keptEnd, size + needed);
                return true;
            }
            // else the free space tells, below
        } else {
            *room = std::max<int64_t>(0, VideoFileRoom(m_folder, m_file));
            return false;
        }
    }
    const int64_t left = VideoFileRoom(m_folder, m_file);
    if (left < 0 || left >= needed) return true;
    *room = left;
    return false;
}

void CVideoRoom::Release()
{
    if (m_fd < 0) return;
    // The room kept beyond the end goes back to the disk; the file keeps its bytes.
    const int64_t size = OpenFileSize(m_fd, m_file);
    if (m_canReserve) {
        int result = 0;
        do {
            result = ::ftruncate(m_fd, static_cast<off_t>(size));
        } while (result != 0 && errno == EINTR);
        ::fallocate(m_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, size, int64_t{1} << 40);
    }
    ::close(m_fd);
    m_fd = -1;
}

bool CVideoRoom::IsSameFile() const
{
    struct stat status {};
    if (::stat(m_file.c_str(), &status) != 0) return false;
    return m_fd < 0 || (static_cast<uint64_t>(status.st_dev) == m_device &&
                        static_cast<uint64_t>(status.st_ino) == m_inode);
}
