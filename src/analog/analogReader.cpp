#include "analog/analogReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wx/intl.h>
#include <wx/log.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "analog/recordFormat.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "frames are read in host order");

namespace {

constexpr size_t kCursorBuffer = 64 * 1024;
// How far from the end a trailer is looked for when the count was never
// written: tens of thousands of markers with their labels.
constexpr int64_t kTrailerSearchBytes = 4 * 1024 * 1024;

// Whether the bytes are exactly one marker trailer, from its count to its last label.
bool IsWholeTrailer(const uint8_t* data, uint64_t size, bool hasLabels)
{
    const uint64_t recordBytes = hasLabels ? 20 : 12;
    if (size < 8 || GetU64(data) > (size - 8) / recordBytes) return false;
    const uint64_t count = GetU64(data);
    uint64_t at = 8;
    for (uint64_t i = 0; i < count; ++i) {
        if (size - at < recordBytes) return false;
        const uint64_t length = hasLabels ? GetU64(data + at + 12) : 0;
        at += recordBytes;
        if (length > size - at) return false;
        at += length;
    }
    return at == size;
}

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
    m_error.clear();
    m_notes.clear();
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
    if (version == 1 || version == 2) return ReadFileNewFormat(path);
    const int fd = ::open(path.fn_str().data(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Refuse(std::strerror(errno));
    ::close(fd);
    return Refuse(_("not a Quorvane File"));
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

bool CAnalogReader::Refuse(const wxString& reason)
{
    CloseFile();  // every failure path lets go of the file
    m_error = reason;
    return false;
}

bool CAnalogReader::ReadFileNewFormat(const wxString& path)
{
    if (m_file >= 0) return false;
    m_error.clear();
    m_notes.clear();
    m_droppedMarkers = 0;
    const wxScopedCharBuffer name = path.fn_str();
    m_file = ::open(name.data(), O_RDONLY | O_CLOEXEC);
    if (m_file < 0) return Refuse(std::strerror(errno));
    struct stat info {};
    if (::fstat(m_file, &info) != 0) return Refuse(std::strerror(errno));
    if (info.st_size < kMinFileSize)
        return Refuse(wxString::Format(_("too short to be a recording (%lld bytes)"),
                                       static_cast<long long>(info.st_size)));
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
    if (!cursor.ReadU64(magic)) return Refuse(_("read error"));
    if (magic != kRecordMagic && magic != kRecordMagicOld) {
        const wxString text = path + _(" : is not a Quorvane File!");
        wxLogError("%s", text);
        std::fprintf(stderr, "%s\n", static_cast<const char*>(text.utf8_str()));
        return Refuse(_("not a Quorvane File"));
    }
    m_keepInMemory = 1;
    double rate = 0.0;
    uint32_t channels = 0;
    uint32_t dim = 0;
    uint64_t count = 0;
    uint64_t blockLength = 0;
    if (!cursor.ReadF64(rate) || !cursor.ReadU32(channels) || !cursor.ReadU32(dim) ||
        !cursor.ReadU64(count) || !cursor.ReadU64(blockLength))
        return Refuse(_("read error"));
    m_isTracker = (dim == 6 || dim == 7) ? 1 : 0;
    m_channelCount = static_cast<int32_t>(channels);
    m_dim = static_cast<int32_t>(dim);

    // Limits. Unsigned comparisons refuse negative counts.
    if (!std::isfinite(rate) || rate < 1.0)
        return Refuse(wxString::Format(_("sampling rate %g Hz out of range"), rate));
    // A file without channels has nothing to play; any frame a writer takes plays.
    if (channels < 1 || channels > uint32_t(kRecordMaxFrameValues))
        return Refuse(wxString::Format(_("channel count %lld out of range (1 to %lld)"),
                                       static_cast<long long>(static_cast<int32_t>(channels)),
                                       static_cast<long long>(kRecordMaxFrameValues)));
    if (dim < 1 || dim > uint32_t(kRecordMaxDim))
        return Refuse(wxString::Format(_("values per channel %d out of range (1 to %d)"),
                                       static_cast<int32_t>(dim), int(kRecordMaxDim)));
    if (!IsRecordableFrame(channels, dim))
        return Refuse(wxString::Format(
            _("%u channels of %u values: more than a frame holds (%lld values at most)"), channels,
            dim, static_cast<long long>(kRecordMaxFrameValues)));
    if (static_cast<int64_t>(count) < 0)
        return Refuse(
            wxString::Format(_("frame count %lld out of range"), static_cast<long long>(count)));
    if (blockLength > static_cast<uint64_t>(size - kRecordHeaderSize))
        return Refuse(_("the property block runs past the end of the file"));
    if (!ReadProperties(cursor, blockLength)) return Refuse(_("read error"));
    m_dataOffset = kRecordHeaderSize + static_cast<int64_t>(blockLength);

    const bool hasLabels = magic == kRecordMagic;
    int64_t frames = 0;
    if (!DecideFrameCount(cursor, count, hasLabels, frames)) return false;

    const uint64_t frameBytes = uint64_t(channels) * dim * 8;
    cursor.Seek(m_dataOffset);
    if (frameBytes * static_cast<uint64_t>(frames) > kMemoryLimitBytes) m_keepInMemory = 0;
    Allocate(static_cast<int32_t>(channels), static_cast<int32_t>(dim), frames);
    m_rate = rate;
    m_frameScratch.assign(m_valueCount, 0.0);
    if (m_keepInMemory) {
        if (!ReadFramesIntoMemory(cursor)) return Refuse(_("read error"));
    } else {
        // The range comes from the properties; unusable ones fall back to +-1.
        if (!std::isfinite(m_minValue) || !std::isfinite(m_maxValue) || m_minValue > m_maxValue) {
            m_minValue = -1.0;
            m_maxValue = 1.0;
        }
    }
    if (m_droppedMarkers > 0)
        m_notes.push_back(wxString::Format(_("%llu marker(s) outside its %lld frames dropped"),
                                           static_cast<unsigned long long>(m_droppedMarkers),
                                           static_cast<long long>(frames)));
    if (m_keepInMemory) CloseFile();  // on demand the file stays for GetFrame
    return true;
}

bool CAnalogReader::DecideFrameCount(CCursor& cursor, uint64_t count, bool hasLabels,
                                     int64_t& frames)
{
    const int64_t size = cursor.Size();
    const int64_t frameBytes = int64_t(m_channelCount) * int64_t(m_dim) * 8;
    const int64_t present = (size - m_dataOffset) / frameBytes;
    const auto tooFew = [this](int64_t held) {
        return Refuse(wxString::Format(_("holds %lld frame(s); a recording has at least %lld"),
                                       static_cast<long long>(held),
                                       static_cast<long long>(kMinFrames)));
    };
    if (count == 0) {
        // Never patched: a recording that was not finished runs to the end of
        // the file, without markers. A finished one without frames holds only
        // its trailer.
        cursor.Seek(m_dataOffset);
        if (ReadMarkers(cursor, hasLabels, -1) == TrailerShape::Whole) return tooFew(0);
        // Finished, but its count never reached the disk: whole frames, then the
        // trailer, which is no frame.
        const int64_t counted = FramesBeforeTrailer(cursor, hasLabels, present);
        if (counted >= 0) {
            if (counted < kMinFrames) return tooFew(counted);
            frames = counted;
            cursor.Seek(m_dataOffset + counted * frameBytes);
            ReadMarkers(cursor, hasLabels, counted);
            m_notes.push_back(wxString::Format(
                _("its frame count was never written: %lld frames read, up to its markers"),
                static_cast<long long>(counted)));
            return true;
        }
        if (present < kMinFrames) return tooFew(present);
        frames = present;
        m_notes.push_back(wxString::Format(
            _("the recording was not finished: %lld frames read to the end of the file, "
              "without markers"),
            static_cast<long long>(present)));
        return true;
    }
    const int64_t announced = static_cast<int64_t>(count);
    if (announced > present) {
        // Cut short after it was finished (a copy that did not complete, say):
        // what is there is read.
        if (present < kMinFrames) return tooFew(present);
        frames = present;
        m_notes.push_back(
            wxString::Format(_("the file ends early: its header announces %lld frames, it "
                               "holds %lld; no markers"),
                             static_cast<long long>(announced), static_cast<long long>(present)));
        return true;
    }
    if (announced < kMinFrames) return tooFew(announced);
    frames = announced;
    const int64_t trailerOffset = m_dataOffset + announced * frameBytes;
    if (trailerOffset == size) {
        m_notes.push_back(_("the file ends after its frames, without its markers"));
        return true;
    }
    cursor.Seek(trailerOffset);
    switch (ReadMarkers(cursor, hasLabels, announced)) {
        case TrailerShape::Whole:
            return true;
        case TrailerShape::CutShort:
            m_notes.push_back(wxString::Format(
                _("the file ends inside its markers: %zu marker(s) read"), m_markerCodes.size()));
            return true;
        case TrailerShape::Contradicted:
            break;
    }
    if (HasMarkedTrailerElsewhere(cursor, hasLabels, trailerOffset)) {
        // A whole trailer that is not where the header puts it: the header is
        // what was damaged, and its frames would be misread.
        m_markerCodes.clear();
        m_markerFrames.clear();
        m_markerLabels.clear();
        return Refuse(wxString::Format(_("damaged: its header (%lld frames of %d x %d values) "
                                         "does not match the file's size and marker trailer"),
                                       static_cast<long long>(announced), m_channelCount, m_dim));
    }
    // Damage after the frames (bytes lost, added or changed, a copy cut short, a
    // trial the disk never had all of): every frame the header announces is
    // there and read; of the markers, those read whole before the damage.
    m_notes.push_back(wxString::Format(
        _("what follows its %lld frames is damaged or unfinished: %zu marker(s) read, "
          "the rest ignored"),
        static_cast<long long>(announced), m_markerCodes.size()));
    return true;
}

int64_t CAnalogReader::ReadTail(CCursor& cursor, std::vector<uint8_t>& window) const
{
    const int64_t windowStart = std::max(m_dataOffset, cursor.Size() - kTrailerSearchBytes);
    window.resize(static_cast<size_t>(cursor.Size() - windowStart));
    cursor.Seek(windowStart);
    if (!cursor.Read(window.data(), window.size())) window.clear();
    return cursor.Size() - static_cast<int64_t>(window.size());
}

bool CAnalogReader::HasMarkedTrailerElsewhere(CCursor& cursor, bool hasLabels,
                                              int64_t trailerOffset) const
{
    std::vector<uint8_t> window;
    const int64_t windowStart = ReadTail(cursor, window);
    // Zeros read as a trailer without markers: only one with markers tells.
    for (size_t at = 0; at + 8 <= window.size(); ++at)
        if (windowStart + int64_t(at) != trailerOffset && GetU64(window.data() + at) != 0 &&
            IsWholeTrailer(window.data() + at, window.size() - at, hasLabels))
            return true;
    return false;
}

int64_t CAnalogReader::FramesBeforeTrailer(CCursor& cursor, bool hasLabels, int64_t present)
{
    const int64_t frameBytes = int64_t(m_channelCount) * int64_t(m_dim) * 8;
    std::vector<uint8_t> window;
    const int64_t windowStart = ReadTail(cursor, window);
    // The longest tail that is one: a marker's own last bytes (an empty label's
    // zero length) read as a trailer without markers, a frame's bytes hardly ever.
    const int64_t first = (windowStart - m_dataOffset + frameBytes - 1) / frameBytes;
    for (int64_t frames = first; frames <= present; ++frames) {
        const int64_t offset = m_dataOffset + frames * frameBytes;
        if (IsWholeTrailer(window.data() + (offset - windowStart),
                           static_cast<uint64_t>(cursor.Size() - offset), hasLabels))
            return frames;
    }
    return -1;
}

bool CAnalogReader::ReadProperties(CCursor& cursor, uint64_t blockLength)
{
    const int64_t end = kRecordHeaderSize + static_cast<int64_t>(blockLength);
    int doubles = 0;
    int64_t strings = 0;
    bool hasBool = false;
    bool hasInt = false;
    bool hasMin = false;
    bool hasMax = false;
    while (cursor.Position() < end) {
        uint8_t tag = 0;
        if (!cursor.ReadU8(tag)) break;
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
            wxString text;
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
            // The first string is the device key; string k after it names channel
            // k - 1, so an empty or missing name leaves that channel its own.
            if (strings == 0)
                m_deviceKey = text;
            else if (strings <= m_channelCount)
                m_channelNames.push_back(text);
            ++strings;
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

CAnalogReader::TrailerShape CAnalogReader::ReadMarkers(CCursor& cursor, bool hasLabels,
                                                       int64_t frames)
{
    // A trailer the end of the file cuts short is read as far as it goes, but
    // only when what was read of it is plausible: data taken for a trailer
    // gives counts and lengths far beyond these.
    const bool keep = frames >= 0;
    const uint64_t recordBytes = hasLabels ? 20 : 12;
    std::vector<char> label;
    for (int trailer = 0; trailer < 2; ++trailer) {
        uint64_t count = 0;
        // Fewer than 8 bytes where a trailer should start: a count one frame too
        // large leaves just that, so it is no file cut inside its trailer.
        if (!cursor.ReadU64(count)) return TrailerShape::Contradicted;
        const bool isPlausible = count <= kMaxMarkers;
        const bool keepThese = keep && trailer == 0 && isPlausible;
        if (count > uint64_t(cursor.Left()) / recordBytes && !isPlausible)
            return TrailerShape::Contradicted;
        for (uint64_t i = 0; i < count; ++i) {
            uint32_t code = 0;
            uint64_t frame = 0;
            if (!cursor.ReadU32(code) || !cursor.ReadU64(frame))
                return isPlausible ? TrailerShape::CutShort : TrailerShape::Contradicted;
            uint64_t length = 0;
            if (hasLabels) {
                if (!cursor.ReadU64(length))
                    return isPlausible ? TrailerShape::CutShort : TrailerShape::Contradicted;
                if (length > uint64_t(cursor.Left())) {
                    const bool isCut = isPlausible && length <= kMaxLabelBytes;
                    return isCut ? TrailerShape::CutShort : TrailerShape::Contradicted;
                }
            }
            if (!keepThese) {
                cursor.Seek(cursor.Position() + static_cast<int64_t>(length));
                continue;
            }
            label.resize(static_cast<size_t>(std::min<uint64_t>(length, kMaxLabelBytes)));
            if (!label.empty() && !cursor.Read(label.data(), label.size()))
                return TrailerShape::CutShort;
            cursor.Seek(cursor.Position() + static_cast<int64_t>(length - label.size()));
            // Frames are written sign-extended from 32 bits: -1 stands for 2^32 - 1.
            const int64_t signedFrame = static_cast<int64_t>(frame);
            const bool isWord = signedFrame >= INT32_MIN && signedFrame <= UINT32_MAX;
            const int64_t at = signedFrame < 0 ? signedFrame & 0xFFFFFFFF : signedFrame;
            if (!isWord || at >= frames) {
                ++m_droppedMarkers;
                continue;
            }
            m_markerCodes.push_back(code);
            m_markerFrames.push_back(static_cast<uint32_t>(at));
            m_markerLabels.push_back(DecodeText(label.data(), label.size()));
        }
        if (keep && trailer == 0 && !isPlausible)
            m_notes.push_back(wxString::Format(_("its %llu markers are not read (more than %llu)"),
                                               static_cast<unsigned long long>(count),
                                               static_cast<unsigned long long>(kMaxMarkers)));
        // A file finished twice by an older version holds a second trailer.
        if (cursor.Left() == 0) return TrailerShape::Whole;
    }
    return TrailerShape::Contradicted;
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
