#include "analog/analogReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wx/intl.h>
#include <wx/log.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "analog/recordFormat.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "frames are read in host order");

namespace {

constexpr size_t kCursorBuffer = 64 * 1024;

// Text from the file: UTF-8, or byte for byte when it is not valid UTF-8.
wxString DecodeText(const char* data, size_t size)
{
    if (size == 0) return wxString();
    wxString text = wxString::FromUTF8(data, size);
    if (text.empty()) text = wxString::From8BitData(data, size);
    return text;
}

}  // namespace

// Sequential reads through a buffer; never past the file's size.
class CAnalogReader::CCursor {
public:
    CCursor(int fd, int64_t size) : m_fd(fd), m_size(size), m_buffer(kCursorBuffer) {}
    int64_t Position() const { return m_position; }
    int64_t Size() const { return m_size; }
    int64_t Left() const { return m_size - m_position; }
    void Seek(int64_t position) { m_position = std::min(std::max<int64_t>(position, 0), m_size); }
    bool Read(void* out, size_t size)
    {
        if (static_cast<uint64_t>(Left()) < size) return false;
        char* dest = static_cast<char*>(out);
        while (size > 0) {
            if (m_position < m_bufferStart || m_position >= m_bufferStart + m_bufferFill) {
                const size_t want = static_cast<size_t>(std::min<int64_t>(kCursorBuffer, Left()));
                if (!PreadAll(m_fd, m_buffer.data(), want, m_position)) return false;
                m_bufferStart = m_position;
                m_bufferFill = static_cast<int64_t>(want);
            }
            const int64_t inBuffer = m_bufferStart + m_bufferFill - m_position;
            const size_t take =
                static_cast<size_t>(std::min<int64_t>(inBuffer, static_cast<int64_t>(size)));
            std::memcpy(dest, m_buffer.data() + (m_position - m_bufferStart), take);
            dest += take;
            size -= take;
            m_position += static_cast<int64_t>(take);
        }
        return true;
    }
    bool ReadU8(uint8_t& value) { return Read(&value, 1); }
    bool ReadU32(uint32_t& value)
    {
        uint8_t bytes[4];
        if (!Read(bytes, 4)) return false;
        value = GetU32(bytes);
        return true;
    }
    bool ReadU64(uint64_t& value)
    {
        uint8_t bytes[8];
        if (!Read(bytes, 8)) return false;
        value = GetU64(bytes);
        return true;
    }
    bool ReadF64(double& value)
    {
        uint8_t bytes[8];
        if (!Read(bytes, 8)) return false;
        value = GetF64(bytes);
        return true;
    }

private:
    int m_fd;
    int64_t m_size;
    int64_t m_position = 0;
    std::vector<char> m_buffer;
    int64_t m_bufferStart = 0;
    int64_t m_bufferFill = 0;
};

CAnalogReader::CAnalogReader() = default;

CAnalogReader::~CAnalogReader()
{
    CloseFile();
    Clear();
}

void CAnalogReader::CloseFile()
{
    if (m_file >= 0) ::close(m_file);  // read-only: nothing to lose on a failed close
    m_file = -1;
}

void CAnalogReader::Clear()
{
    m_values.clear();
    m_values.shrink_to_fit();
    m_valueCount = 0;
    m_channelCount = 0;
    m_dim = 1;
    m_frameCount = 0;
    m_rate = 1.0;
    m_markerCodes.clear();
    m_markerFrames.clear();
    m_markerLabels.clear();
    m_channelNames.clear();
    m_deviceKey.clear();
    m_frameScratch.clear();
}

int CAnalogReader::GetFileVersion(const wxString& path)
{
    const wxScopedCharBuffer name = path.fn_str();
    const int fd = ::open(name.data(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    uint8_t bytes[8];
    const bool isRead = PreadAll(fd, bytes, sizeof bytes, 0);
    ::close(fd);
    if (!isRead) return 0;
    const uint64_t magic = GetU64(bytes);
    if (magic == kRecordMagic) return 2;
    if (magic == kRecordMagicOld) return 1;
    return 0;
}

bool CAnalogReader::Open(const wxString& path)
{
    Clear();
    const int version = GetFileVersion(path);
    if (version != 1 && version != 2) return false;
    return ReadFileNewFormat(path);
}

void CAnalogReader::Allocate(int32_t channels, int32_t dim, int64_t frames)
{
    m_values.clear();
    m_channelCount = channels;
    m_dim = dim;
    m_frameCount = frames;
    m_valueCount = (channels > 0 && dim > 0) ? uint64_t(channels) * uint64_t(dim) : 0;
    if (m_keepInMemory && m_valueCount > 0 && frames > 0)
        m_values.assign(m_valueCount, std::vector<double>(static_cast<size_t>(frames), 0.0));
}

void CAnalogReader::Resize(int32_t channels, int32_t dim, int64_t frames)
{
    if (channels >= 1 && dim >= 1 && frames >= 1) Allocate(channels, dim, frames);
}

bool CAnalogReader::Refuse()
{
    CloseFile();  // every failure path lets go of the file
    return false;
}

bool CAnalogReader::ReadFileNewFormat(const wxString& path)
{
    if (m_file >= 0) return false;
    const wxScopedCharBuffer name = path.fn_str();
    m_file = ::open(name.data(), O_RDONLY | O_CLOEXEC);
    if (m_file < 0) return false;
    struct stat info {};
    if (::fstat(m_file, &info) != 0 || info.st_size < kMinFileSize) return Refuse();
    const int64_t size = info.st_size;
    CCursor cursor(m_file, size);

    m_deviceType = 0;
    m_isTracker = 0;
    m_unitScale = 0.001;
    m_fileName = path;
    m_dataOffset = 0;
    m_minValue = -1.0;
    m_maxValue = 1.0;

    uint64_t magic = 0;
    if (!cursor.ReadU64(magic)) return Refuse();
    if (magic != kRecordMagic && magic != kRecordMagicOld) {
        const wxString text = path + _(" : is not a Quorvane File!");
        wxLogError("%s", text);
        std::fprintf(stderr, "%s\n", static_cast<const char*>(text.utf8_str()));
        return Refuse();
    }
    m_keepInMemory = 1;
    double rate = 0.0;
    uint32_t channels = 0;
    uint32_t dim = 0;
    uint64_t count = 0;
    uint64_t blockLength = 0;
    if (!cursor.ReadF64(rate) || !cursor.ReadU32(channels) || !cursor.ReadU32(dim) ||
        !cursor.ReadU64(count) || !cursor.ReadU64(blockLength))
        return Refuse();
    m_isTracker = (dim == 6 || dim == 7) ? 1 : 0;
    m_channelCount = static_cast<int32_t>(channels);
    m_dim = static_cast<int32_t>(dim);

    // Limits. Unsigned comparisons refuse negative counts.
    if (!std::isfinite(rate) || rate < 1.0 || channels > uint32_t(kMaxChannels) || dim < 1 ||
        dim > uint32_t(kMaxDim) || static_cast<int64_t>(count) < 0)
        return Refuse();
    if (blockLength > static_cast<uint64_t>(size - kRecordHeaderSize))
        return Refuse();  // the block runs past the end: no frame can follow
    if (!ReadProperties(cursor, blockLength)) return Refuse();
    m_dataOffset = kRecordHeaderSize + static_cast<int64_t>(blockLength);

    // A count never patched (0) or larger than the frames present gives the
    // complete frames in the file, and then there is no trailer.
    const int64_t frameBytes = int64_t(channels) * int64_t(dim) * 8;
    int64_t frames = static_cast<int64_t>(count);
    bool hasTrailer = true;
    if (frameBytes > 0) {
        const int64_t present = (size - m_dataOffset) / frameBytes;
        if (frames == 0 || frames > present) {
            frames = present;
            hasTrailer = false;
        }
    }
    if (frames < kMinFrames) return Refuse();

    cursor.Seek(m_dataOffset);
    if (static_cast<uint64_t>(frameBytes) * static_cast<uint64_t>(frames) > kMemoryLimitBytes)
        m_keepInMemory = 0;
    Allocate(static_cast<int32_t>(channels), static_cast<int32_t>(dim), frames);
    m_rate = rate;
    m_frameScratch.assign(m_valueCount, 0.0);
    if (m_keepInMemory) {
        if (!ReadFramesIntoMemory(cursor)) return Refuse();
    } else {
        // The range comes from the properties; unusable ones fall back to +-1.
        if (!std::isfinite(m_minValue) || !std::isfinite(m_maxValue) || m_minValue > m_maxValue) {
            m_minValue = -1.0;
            m_maxValue = 1.0;
        }
    }
    const int64_t trailerOffset = m_dataOffset + frames * frameBytes;
    if (hasTrailer && trailerOffset < size) {
        cursor.Seek(trailerOffset);
        ReadMarkers(cursor, magic == kRecordMagic);
    }
    if (m_keepInMemory) CloseFile();  // on demand the file stays for GetFrame
    return true;
}

bool CAnalogReader::ReadProperties(CCursor& cursor, uint64_t blockLength)
{
    const int64_t end = kRecordHeaderSize + static_cast<int64_t>(blockLength);
    int doubles = 0;
    bool hasBool = false;
    bool hasInt = false;
    bool hasMin = false;
    bool hasMax = false;
    for (int64_t record = 0; cursor.Position() < end; ++record) {
        uint8_t tag = 0;
        if (!cursor.ReadU8(tag)) break;
        wxString text;
        if (tag == HEADER_PROPERTY_BOOL) {
            uint8_t value = 0;
            if (!cursor.ReadU8(value)) break;
            if (!hasBool) m_isTracker = value != 0 ? 1 : 0;
            hasBool = true;
        } else if (tag == HEADER_PROPERTY_INT) {
            uint32_t value = 0;
            if (!cursor.ReadU32(value)) break;
            if (!hasInt) m_deviceType = static_cast<int32_t>(value);
            hasInt = true;
        } else if (tag == HEADER_PROPERTY_DOUBLE) {
            double value = 0.0;
            if (!cursor.ReadF64(value)) break;
            if (doubles == 0)
                m_unitScale = value;
            else if (doubles == 1)
                hasMin = true, m_minValue = value;
            else if (doubles == 2)
                hasMax = true, m_maxValue = value;
            ++doubles;
        } else if (tag == HEADER_PROPERTY_STRING) {
            uint8_t inner = 0;
            if (!cursor.ReadU8(inner)) break;
            if (inner == HEADER_PROPERTY_INT) {
                uint32_t length = 0;
                if (!cursor.ReadU32(length)) break;
                // A length out of the field's range, or past the bytes left, ends the block.
                if (static_cast<int32_t>(length) < 0 || length > kPropertyStringMax ||
                    int64_t(length) > end - cursor.Position())
                    break;
                char body[kPropertyStringMax];
                if (!cursor.Read(body, length)) break;
                text = DecodeText(body, length);
            }
        }
        if (!text.empty()) {
            if (m_deviceKey.empty())
                m_deviceKey = text;
            else if (record >= 1 && record <= m_channelCount)
                m_channelNames.push_back(text);
        }
    }
    if (!hasMin || !hasMax) {
        m_minValue = -1.0;
        m_maxValue = 1.0;
    }
    return true;
}

bool CAnalogReader::ReadFramesIntoMemory(CCursor& cursor)
{
    if (m_valueCount == 0 || m_frameCount <= 0) return true;
    std::vector<double> frame(m_valueCount);
    bool hasValue = false;
    double minimum = 0.0;
    double maximum = 0.0;
    for (int64_t f = 0; f < m_frameCount; ++f) {
        if (!cursor.Read(frame.data(), m_valueCount * sizeof(double))) return false;
        for (uint64_t v = 0; v < m_valueCount; ++v) {
            const double value = frame[v];
            m_values[v][static_cast<size_t>(f)] = value;
            if (!std::isfinite(value)) continue;  // NaN or infinity would make the range useless
            if (!hasValue) {
                minimum = maximum = value;
                hasValue = true;
            } else {
                minimum = std::min(minimum, value);
                maximum = std::max(maximum, value);
            }
        }
    }
    if (!hasValue) {
        m_minValue = -1.0;
        m_maxValue = 1.0;
        return true;
    }
    const double margin = (maximum - minimum) / 5.0;
    const double widenedMax = std::ceil(maximum + margin);
    const double widenedMin = std::floor(minimum - margin);
    m_maxValue = std::isfinite(widenedMax) ? widenedMax : maximum;
    m_minValue = std::isfinite(widenedMin) ? widenedMin : minimum;
    return true;
}

void CAnalogReader::ReadMarkers(CCursor& cursor, bool hasLabels)
{
    uint64_t count = 0;
    if (!cursor.ReadU64(count) || count == 0 || count > kMaxMarkers) return;
    std::vector<char> label;
    for (uint64_t i = 0; i < count; ++i) {
        uint32_t code = 0;
        uint64_t frame = 0;
        if (!cursor.ReadU32(code) || !cursor.ReadU64(frame))
            return;  // cut off by the end of the file: dropped, and no more markers
        wxString text;
        if (hasLabels) {
            uint64_t length = 0;
            if (!cursor.ReadU64(length) || length > kMaxLabelBytes ||
                length > uint64_t(cursor.Left()))
                return;
            label.resize(static_cast<size_t>(length));
            if (length > 0 && !cursor.Read(label.data(), label.size())) return;
            text = DecodeText(label.data(), label.size());
        }
        m_markerCodes.push_back(code);
        m_markerFrames.push_back(static_cast<uint32_t>(frame));
        m_markerLabels.push_back(text);
    }
}

bool CAnalogReader::GetFrame(double* values, int64_t count, int64_t frame)
{
    if (!values || count <= 0 || static_cast<uint64_t>(count) != m_valueCount || frame < 0 ||
        frame >= m_frameCount)
        return false;
    if (m_keepInMemory && !m_values.empty()) {
        for (uint64_t v = 0; v < m_valueCount; ++v)
            values[v] = m_values[v][static_cast<size_t>(frame)];
        return true;
    }
    if (m_file < 0) return false;
    const size_t bytes = m_valueCount * sizeof(double);
    // pread keeps no file position, so a rewind elsewhere cannot move this read.
    if (!PreadAll(m_file, m_frameScratch.data(), bytes,
                  m_dataOffset + frame * static_cast<int64_t>(bytes))) {
        m_failedReads.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    std::memcpy(values, m_frameScratch.data(), bytes);
    return true;
}

bool CAnalogReader::IsTrackerModel() const
{
    if (m_deviceKey.empty()) return m_dim == 6 || m_dim == 10;
    for (const char* model : {"Liberty", "Patriot", "Liberty LATUS", "MinuteMan", "Fast Track"})
        if (m_deviceKey.CmpNoCase(model) == 0) return true;
    return false;
}
