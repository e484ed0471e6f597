#include "analog/recordFormat.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wx/filename.h>
#include <wx/intl.h>
#include <wx/log.h>
#include <wx/thread.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "process/messageQueue.h"

std::atomic<bool> g_Use_Text_Header{true};
std::atomic<bool> g_Use_Text_Time{true};

void PutU32(uint8_t* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutU64(uint8_t* out, uint64_t value)
{
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutF64(uint8_t* out, double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    PutU64(out, bits);
}

uint32_t GetU32(const uint8_t* in)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | in[i];
    return value;
}

uint64_t GetU64(const uint8_t* in)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | in[i];
    return value;
}

double GetF64(const uint8_t* in)
{
    const uint64_t bits = GetU64(in);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

bool AddBoolProperty(uint8_t* buffer, uint64_t* position, bool value)
{
    if (*position + 2 > kPropertyBlockMax) return false;
    buffer[*position] = HEADER_PROPERTY_BOOL;
    buffer[*position + 1] = value ? 1 : 0;
    *position += 2;
    return true;
}

bool AddIntProperty(uint8_t* buffer, uint64_t* position, int32_t value)
{
    if (*position + 5 > kPropertyBlockMax) return false;
    buffer[*position] = HEADER_PROPERTY_INT;
    PutU32(buffer + *position + 1, static_cast<uint32_t>(value));
    *position += 5;
    return true;
}

bool AddDoubleProperty(uint8_t* buffer, uint64_t* position, double value)
{
    if (*position + 9 > kPropertyBlockMax) return false;
    buffer[*position] = HEADER_PROPERTY_DOUBLE;
    PutF64(buffer + *position + 1, value);
    *position += 9;
    return true;
}

bool AddStringProperty(uint8_t* buffer, uint64_t* position, const char* utf8)
{
    const uint64_t length = utf8 ? std::strlen(utf8) : 0;
    if (*position + 6 + length > kPropertyBlockMax) return false;
    uint8_t* out = buffer + *position;
    out[0] = HEADER_PROPERTY_STRING;
    out[1] = HEADER_PROPERTY_INT;  // the length is itself an int record
    PutU32(out + 2, static_cast<uint32_t>(length));
    if (length > 0) std::memcpy(out + 6, utf8, length);
    *position += 6 + length;
    return true;
}

std::vector<wxString> SelectRecordedNames(const std::vector<wxString>& names, const uint8_t* flags,
                                          int32_t channelCount)
{
    std::vector<wxString> recorded;
    for (int32_t i = 0; i < channelCount; ++i)
        if (!flags || flags[i] != 0)
            recorded.push_back(static_cast<size_t>(i) < names.size() ? names[static_cast<size_t>(i)]
                                                                     : wxString());
    return recorded;
}

wxString DefaultChannelName(int channel) { return wxString::Format(_("Channel #%d"), channel); }

namespace {

constexpr const char* kEllipsis = "\xE2\x80\xA6";  // U+2026, three bytes of UTF-8
constexpr size_t kEllipsisBytes = 3;
constexpr uint64_t kStringPrefix = 6;

// The longest prefix of text of at most maxBytes that ends on a character boundary.
std::string Utf8Prefix(const std::string& text, size_t maxBytes)
{
    if (text.size() <= maxBytes) return text;
    size_t end = maxBytes;
    while (end > 0 && (static_cast<uint8_t>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

// The longest suffix of text of at most maxBytes that starts on a character boundary.
std::string Utf8Suffix(const std::string& text, size_t maxBytes)
{
    if (text.size() <= maxBytes) return text;
    size_t start = text.size() - maxBytes;
    while (start < text.size() && (static_cast<uint8_t>(text[start]) & 0xC0) == 0x80) ++start;
    return text.substr(start);
}

// Where a name too long for its cap is cut: its first head bytes, an ellipsis
// and its last bytes; or, with a window, an ellipsis, the bytes from window on
// and another ellipsis (names alike at both ends keep their middle).
struct NameCut {
    size_t head = 0;
    size_t window = std::string::npos;
};

// name in at most cap bytes: whole when it fits; else its first cap bytes when
// head >= cap, or cut as NameCut says.
std::string ShortenName(const std::string& name, size_t cap, const NameCut& cut)
{
    if (name.size() <= cap) return name;
    if (cut.window != std::string::npos) {
        if (cap < 2 * kEllipsisBytes + 1) return std::string();
        const size_t room = cap - 2 * kEllipsisBytes;
        if (cut.window + room >= name.size())
            return kEllipsis + Utf8Suffix(name, cap - kEllipsisBytes);
        size_t start = std::min(cut.window, name.size());
        while (start < name.size() && (static_cast<uint8_t>(name[start]) & 0xC0) == 0x80) ++start;
        return kEllipsis + Utf8Prefix(name.substr(start), room) + kEllipsis;
    }
    if (cut.head >= cap || cap < kEllipsisBytes + 1) return Utf8Prefix(name, cap);
    return Utf8Prefix(name, cut.head) + kEllipsis +
           Utf8Suffix(name, cap - kEllipsisBytes - cut.head);
}

// The largest length cap at which the first count names still fit in room bytes:
// short names stay whole and only the longest give way.
size_t NameLengthCap(const std::vector<std::string>& names, size_t count, uint64_t room)
{
    size_t longest = 0;
    for (size_t i = 0; i < count; ++i) longest = std::max(longest, names[i].size());
    size_t low = 0;
    size_t high = longest;
    while (low < high) {
        const size_t cap = low + (high - low + 1) / 2;
        uint64_t total = 0;
        for (size_t i = 0; i < count; ++i) total += std::min(names[i].size(), cap);
        if (total <= room)
            low = cap;
        else
            high = cap - 1;
    }
    return low;
}

// How the channel names go into a block that cannot hold them all whole. A
// reader gives a channel without a name (an empty record, or no record) its
// default name, so a default name is stored empty; the others are shortened
// to a shared cap, keeping the part in which they differ; when even that
// leaves two distinct names alike, the names from some channel on are left out.
class CNamePlacer {
public:
    CNamePlacer(const std::vector<wxString>& names, uint64_t room) : m_room(room)
    {
        for (size_t k = 0; k < names.size(); ++k) {
            const std::string name = names[k].utf8_string();
            const std::string byDefault = DefaultChannelName(static_cast<int>(k)).utf8_string();
            m_readWithout.push_back(byDefault);
            m_original.push_back(name.empty() ? byDefault : name);
            m_stored.push_back(name == byDefault ? std::string() : name);
        }
    }

    // The records to write, each as stored; outcome says what was lost.
    std::vector<std::string> Place(RecordNamesOutcome& outcome)
    {
        const size_t most = std::min<size_t>(m_stored.size(), m_room / kStringPrefix);
        size_t records = most;
        if (!TryRecords(records)) {
            // Fewer records leave the others more room; none at all always reads apart.
            size_t low = 0;
            size_t high = most;
            while (high - low > 1) {
                const size_t middle = low + (high - low) / 2;
                if (TryRecords(middle))
                    low = middle;
                else
                    high = middle;
            }
            records = low;
            TryRecords(records);
        }
        std::vector<std::string> written;
        for (size_t k = 0; k < records; ++k) {
            written.push_back(ShortenName(m_stored[k], m_cap, m_cut));
            if (written.back().size() < m_stored[k].size()) ++outcome.shortened;
        }
        for (size_t k = records; k < m_stored.size(); ++k)
            if (m_original[k] != m_readWithout[k]) {
                if (outcome.leftOut == 0) outcome.firstLeftOut = k;
                ++outcome.leftOut;
            }
        return written;
    }

private:
    // Finds a cap and a cut at which the first records names, and the default
    // names of the rest, read back apart; keeps them in m_cap, m_cut. Tries the
    // names' beginnings first, then beginnings with their ends, then the part
    // after what all of them share.
    bool TryRecords(size_t records)
    {
        m_cap = NameLengthCap(m_stored, records, m_room - records * kStringPrefix);
        m_cut = NameCut{m_cap, std::string::npos};
        if (ReadApart(records, m_cap, m_cut)) return true;
        if (m_cap < kEllipsisBytes + 1) return false;
        for (size_t head = m_cap - kEllipsisBytes - 1;; --head) {
            m_cut = NameCut{head, std::string::npos};
            if (ReadApart(records, m_cap, m_cut)) return true;
            if (head == 0) break;
        }
        m_cut = NameCut{0, SharedBeginning(records)};
        return m_cut.window > 0 && ReadApart(records, m_cap, m_cut);
    }

    // Bytes at the beginning of every name written that are the same in all.
    size_t SharedBeginning(size_t records) const
    {
        const std::string* first = nullptr;
        size_t shared = std::string::npos;
        for (size_t k = 0; k < records; ++k) {
            const std::string& name = m_stored[k];
            if (name.empty()) continue;
            if (!first) {
                first = &name;
                shared = name.size();
                continue;
            }
            size_t same = 0;
            while (same < shared && same < name.size() && name[same] == (*first)[same]) ++same;
            shared = same;
        }
        if (!first) return 0;
        while (shared > 0 && shared < first->size() &&
               (static_cast<uint8_t>((*first)[shared]) & 0xC0) == 0x80)
            --shared;
        return shared;
    }

    // Every name written keeps some of itself, and no two names that differ
    // read back alike.
    bool ReadApart(size_t records, size_t cap, const NameCut& cut)
    {
        m_seen.clear();
        for (size_t k = 0; k < m_stored.size(); ++k) {
            std::string read = k < records ? ShortenName(m_stored[k], cap, cut) : std::string();
            if (read.empty() && k < records && !m_stored[k].empty()) return false;
            if (read.empty()) read = m_readWithout[k];
            const auto found = m_seen.emplace(std::move(read), k);
            if (!found.second && m_original[found.first->second] != m_original[k]) return false;
        }
        return true;
    }

    const uint64_t m_room;
    std::vector<std::string> m_original;     // the name as the device shows it
    std::vector<std::string> m_stored;       // empty where the default name reads back
    std::vector<std::string> m_readWithout;  // what a reader shows without a name
    std::unordered_map<std::string, size_t> m_seen;
    size_t m_cap = 0;
    NameCut m_cut;
};

}  // namespace

uint64_t BuildHeaderProperties(const RecordHeaderInfo& info, HeaderPropertyBuffer& buffer,
                               RecordNamesOutcome* outcome)
{
    // Readers place names by their record: string k after the device key names
    // channel k - 1. So no record may be left out while a later one goes in. The
    // small records after the names always go in.
    constexpr uint64_t kTailBytes = 2 + 5 + 3 * 9;
    constexpr uint64_t kRoom = kPropertyBlockMax - kTailBytes;
    RecordNamesOutcome placed;
    placed.total = info.channelNames.size();
    uint64_t position = 0;
    uint8_t* data = buffer.data();
    const std::string key = Utf8Prefix(info.deviceKey.utf8_string(), kRoom - kStringPrefix);
    AddStringProperty(data, &position, key.c_str());
    const uint64_t left = kRoom - position;
    std::vector<std::string> names;
    uint64_t whole = 0;
    for (const wxString& name : info.channelNames) {
        names.push_back(name.utf8_string());
        whole += kStringPrefix + names.back().size();
    }
    if (whole > left) names = CNamePlacer(info.channelNames, left).Place(placed);
    for (const std::string& name : names) AddStringProperty(data, &position, name.c_str());
    AddBoolProperty(data, &position, info.isTracker);
    AddIntProperty(data, &position, info.deviceType);
    AddDoubleProperty(data, &position, info.unitScale);
    AddDoubleProperty(data, &position, info.minValue);
    AddDoubleProperty(data, &position, info.maxValue);
    if (outcome) *outcome = placed;
    return position;
}

void ReportNamesLeftOut(const wxString& path, const RecordNamesOutcome& outcome)
{
    if (outcome.leftOut == 0) return;
    g_messages.Post(
        Severity::Warning,
        wxString::Format(_("<REC> %s : %llu of %llu channel names left out from channel %llu on: "
                           "the file's header has no room for them; those channels play "
                           "back with their default names"),
                         path, static_cast<unsigned long long>(outcome.leftOut),
                         static_cast<unsigned long long>(outcome.total),
                         static_cast<unsigned long long>(outcome.firstLeftOut)));
}

size_t RecordMarkers::Count() const
{
    return std::min(codes.size(), std::min(frames.size(), labels.size()));
}

std::vector<uint8_t> EncodeMarkerTrailer(const RecordMarkers* markers)
{
    const size_t count = markers ? markers->Count() : 0;
    std::vector<uint8_t> out(8);
    PutU64(out.data(), count);
    for (size_t i = 0; i < count; ++i) {
        const wxScopedCharBuffer label = markers->labels[i].utf8_str();
        const size_t labelLength = label.length();
        const size_t start = out.size();
        out.resize(start + 20 + labelLength);
        PutU32(&out[start], markers->codes[i]);
        // The 32-bit frame is taken as signed and sign-extended.
        const int64_t frame = static_cast<int32_t>(markers->frames[i]);
        PutU64(&out[start + 4], static_cast<uint64_t>(frame));
        PutU64(&out[start + 12], labelLength);
        if (labelLength > 0) std::memcpy(&out[start + 20], label.data(), labelLength);
    }
    return out;
}

char* FormatNumberShortest(char* out, char* end, double value)
{
    if (std::isnan(value)) {
        const char* text = std::signbit(value) ? "-nan" : "nan";
        const size_t length = std::strlen(text);
        if (static_cast<size_t>(end - out) < length) return out;
        std::memcpy(out, text, length);
        return out + length;
    }
    // The fewest digits that read back as the same double, in the shorter of
    // the fixed and exponent forms; never the locale's decimal comma.
    const std::to_chars_result result = std::to_chars(out, end, value);
    return result.ec == std::errc() ? result.ptr : out;
}

char* FormatInt(char* out, char* end, int64_t value)
{
    const std::to_chars_result result = std::to_chars(out, end, value);
    return result.ec == std::errc() ? result.ptr : out;
}

wxString MakeRecordFileName(const wxString& folder, const wxString& captureName,
                            const wxString& deviceName, int trial, const wxString& extension)
{
    return folder + wxFileName::GetPathSeparator() + captureName + deviceName +
           wxString::Format("_%.04d", trial) + extension;
}

wxString MakeTextFileName(const wxString& recordPath, const wxString& exportFolder,
                          const wxString& textExtension)
{
    const wxString extension =
        textExtension.empty() ? wxString(kDefaultTextExtension) : textExtension;
    return exportFolder + wxFileName::GetPathSeparator() + wxFileName(recordPath).GetName() +
           extension;
}

bool IsOpenFileGone(int fd, const wxString& path)
{
    struct stat open {};
    if (fd < 0 || ::fstat(fd, &open) != 0) return false;
    if (open.st_nlink == 0) return true;
    struct stat named {};
    if (::stat(path.fn_str().data(), &named) != 0) return errno == ENOENT || errno == ENOTDIR;
    return named.st_dev != open.st_dev || named.st_ino != open.st_ino;
}

void ReportRecordingError(const wxString& text)
{
    std::fprintf(stderr, "%s\n", static_cast<const char*>(text.utf8_str()));
    if (wxThread::IsMain())
        wxLogError("%s", text);
    else
        g_messages.Post(Severity::Error, text, true);
}

int64_t GetFileSizeLimit()
{
    constexpr int64_t kNone = std::numeric_limits<int64_t>::max();
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur >= static_cast<rlim_t>(kNone))
        return kNone;
    return static_cast<int64_t>(limit.rlim_cur);
}

bool ReserveFileRoom(int fd, int64_t end, int64_t length, int64_t sizeLimit, bool& canReserve)
{
    if (length <= 0) return true;
    if (length > sizeLimit - end) {
        // Room kept past the file-size limit would take no byte: stop below it.
        errno = EFBIG;
        return false;
    }
    if (!canReserve) return true;
    int result = 0;
    do {
        // Beyond the end of the file, without changing its size or contents: a
        // crash still leaves only whole lines or frames behind.
        result = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, end, length);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return true;
    if (errno == ENOSPC || errno == EDQUOT) return false;
    canReserve = false;
    return true;
}

int CloseWrittenFile(int fd)
{
    if (::close(fd) == 0 || errno == EINTR || errno == EINPROGRESS) return 0;
    return errno;
}

namespace {

int SyncResult(int result)
{
    if (result == 0 || errno == EINVAL || errno == EROFS || errno == ENOTSUP) return 0;
    return errno;
}

}  // namespace

int SyncFileData(int fd)
{
    int result = 0;
    do {
        result = ::fdatasync(fd);
    } while (result != 0 && errno == EINTR);
    return SyncResult(result);
}

int SyncFolder(const wxString& folder)
{
    const int fd = ::open(folder.fn_str().data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    int result = 0;
    do {
        result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    const int error = SyncResult(result);
    ::close(fd);  // read-only: its close has nothing to lose
    return error;
}

int SyncWrittenFile(const wxString& path)
{
    const int fd = ::open(path.fn_str().data(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 0 : errno;
    const int error = SyncFileData(fd);
    ::close(fd);  // read-only: its close has nothing to lose
    return error != 0 ? error : SyncFolder(FolderOf(path));
}

wxString FolderOf(const wxString& path)
{
    const wxString folder = wxFileName(path).GetPath();
    if (!folder.empty()) return folder;
    return path.StartsWith(wxFileName::GetPathSeparator())
               ? wxString(wxFileName::GetPathSeparator())
               : wxString(".");
}

bool PreadAll(int fd, void* data, size_t size, int64_t offset)
{
    char* next = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = ::pread(fd, next, size, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        next += got;
        size -= static_cast<size_t>(got);
        offset += got;
    }
    return true;
}

namespace {

// Owns a file descriptor; closes it on every path.
class CFd {
public:
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd()
    {
        if (m_fd >= 0) ::close(m_fd);
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_fd; }
    bool Close()
    {
        const int fd = m_fd;
        m_fd = -1;
        const int error = CloseWrittenFile(fd);
        errno = error;
        return error == 0;
    }

private:
    int m_fd;
};

bool PwriteAll(int fd, const void* data, size_t size, int64_t offset)
{
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::pwrite(fd, next, size, offset);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        next += written;
        size -= static_cast<size_t>(written);
        offset += written;
    }
    return true;
}

// True when the bytes from offset to end are exactly one marker trailer.
bool IsWholeTrailer(int fd, int64_t offset, int64_t end)
{
    uint8_t field[8];
    if (end - offset < 8 || !PreadAll(fd, field, 8, offset)) return false;
    const uint64_t count = GetU64(field);
    offset += 8;
    for (uint64_t i = 0; i < count; ++i) {
        if (end - offset < 20 || !PreadAll(fd, field, 8, offset + 12)) return false;
        const uint64_t labelLength = GetU64(field);
        if (labelLength > static_cast<uint64_t>(end - offset - 20)) return false;
        offset += 20 + static_cast<int64_t>(labelLength);
    }
    return offset == end;
}

}  // namespace

bool FinaliseRecordFile(const wxString& path, int64_t frameCount, const RecordMarkers* markers)
{
    const wxScopedCharBuffer name = path.fn_str();
    CFd file(::open(name.data(), O_RDWR | O_CLOEXEC));
    if (file.Get() < 0) return false;  // missing or unopenable: no message, as before
    struct stat info {};
    uint8_t header[kRecordHeaderSize];
    if (::fstat(file.Get(), &info) != 0 || info.st_size < kRecordHeaderSize ||
        !PreadAll(file.Get(), header, sizeof header, 0)) {
        ReportRecordingError(path + _(" : is not a Quorvane File!"));
        return false;
    }
    const uint64_t magic = GetU64(header);
    const int32_t channels = static_cast<int32_t>(GetU32(header + 16));
    const int32_t dim = static_cast<int32_t>(GetU32(header + 20));
    const int64_t count = static_cast<int64_t>(GetU64(header + kRecordCountOffset));
    const uint64_t blockLength = GetU64(header + kRecordBlockLengthOffset);
    const int64_t size = info.st_size;
    if (magic != kRecordMagic || blockLength > static_cast<uint64_t>(size - kRecordHeaderSize)) {
        ReportRecordingError(path + _(" : is not a Quorvane File!"));
        return false;
    }
    if (count != 0) return true;  // already finished: the count is patched only at the finish
    const int64_t dataOffset = kRecordHeaderSize + static_cast<int64_t>(blockLength);
    const int64_t frameBytes = (channels > 0 && dim > 0) ? int64_t(channels) * int64_t(dim) * 8 : 0;
    const int64_t framesPresent = frameBytes > 0 ? (size - dataOffset) / frameBytes : 0;
    if (frameCount == 0 && size > dataOffset && IsWholeTrailer(file.Get(), dataOffset, size))
        return true;  // a finished recording without frames
    // An unfinished recording: its count is what it holds, whatever the caller read.
    const int64_t end = dataOffset + framesPresent * frameBytes;
    if (end != size && ::ftruncate(file.Get(), end) != 0) {
        ReportRecordingError(
            wxString::Format("Error finishing analog file : %s : %s", path, std::strerror(errno)));
        return false;
    }
    uint8_t countField[8];
    PutU64(countField, static_cast<uint64_t>(framesPresent));
    const std::vector<uint8_t> trailer = EncodeMarkerTrailer(markers);
    // Frames and trailer reach the disk before the count that announces them.
    int error = 0;
    const auto isWritten = [&error](bool isOk) {
        if (!isOk) error = errno != 0 ? errno : EIO;
        return isOk;
    };
    const auto isSynced = [&error, &file] { return (error = SyncFileData(file.Get())) == 0; };
    const bool isOk =
        isWritten(PwriteAll(file.Get(), trailer.data(), trailer.size(), end)) && isSynced() &&
        (framesPresent == 0 ||
         (isWritten(PwriteAll(file.Get(), countField, 8, kRecordCountOffset)) && isSynced())) &&
        isWritten(file.Close()) && (error = SyncFolder(FolderOf(path))) == 0;  // and its name
    if (!isOk) {
        ReportRecordingError(
            wxString::Format("Error finishing analog file : %s : %s", path, std::strerror(error)));
        return false;
    }
    return true;
}
