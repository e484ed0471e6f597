#include "analog/textExport.h"

#include <fcntl.h>
#include <unistd.h>
#include <wx/intl.h>
#include <wx/log.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "analog/recordFormat.h"

namespace {

constexpr size_t kTextBufferSize = 64 * 1024;
constexpr size_t kNumberMax = kNumberTextMax + 8;  // longest number text, with margin
// Room kept on disk after the frame lines for the event lines, so that a full
// disk still lets the export end with its events: about a hundred of them.
constexpr int64_t kEventReserveBytes = 8 * 1024;

}  // namespace

CTextExport::~CTextExport() { Close(); }

bool CTextExport::Open(const wxString& path, bool withTime, double rate)
{
    Close();
    const wxString part = path + kTextPartSuffix;
    const wxScopedCharBuffer name = path.fn_str();
    const wxScopedCharBuffer partName = part.fn_str();
    if (!name || !partName) {
        errno = EILSEQ;
        return false;
    }
    ::unlink(name.data());  // an export of that name is replaced without question
    m_fd = ::open(partName.data(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_fd < 0) return false;
    m_path = part;
    m_partPath = part;
    m_finalPath = path;
    m_isComplete = false;
    m_completeError = 0;
    m_withTime = withTime;
    m_rate = rate;
    m_failed = false;
    m_framesCut = false;
    m_canReserve = true;
    m_isFolderSynced = false;
    m_sizeLimit = GetFileSizeLimit();
    m_error = 0;
    m_closeError = 0;
    m_buffer.assign(kTextBufferSize, 0);
    m_used = 0;
    m_headerLines = m_frameLines = m_eventLines = 0;
    m_fileBytes = 0;
    m_framesOnDisk = 0;
    m_eventsOnDisk = m_eventsAdded = 0;
    // Room for the header and the events from the start: a disk that fills up
    // with the recording's frames still takes them.
    ReserveRoom(kEventReserveBytes);
    return true;
}

void CTextExport::Reserve(size_t size)
{
    if (m_buffer.size() - m_used < size) Flush();
    if (m_buffer.size() - m_used < size)  // a line longer than the buffer
        m_buffer.resize(m_used + size);
}

void CTextExport::Append(const char* data, size_t size)
{
    Reserve(size);
    std::memcpy(m_buffer.data() + m_used, data, size);
    m_used += size;
}

void CTextExport::AddHeader(const wxString& recordPath, int32_t channels, int32_t dim, double rate)
{
    if (!IsOpen() || IsCut()) return;
    char numbers[3 * kNumberMax];
    char* end = numbers + sizeof numbers;
    char* k = FormatInt(numbers, end, channels);
    char* d = FormatInt(k, end, dim);
    char* r = FormatNumberShortest(d, end, rate);
    std::string line = "# ";
    line += recordPath.utf8_str().data();
    line += " : ";
    line += " channels = ";
    line.append(numbers, k);
    line += " dim = ";
    line.append(k, d);
    line += " rate = ";
    line.append(d, r);
    line += "\r\n";
    Append(line.data(), line.size());
    ++m_headerLines;
    Flush();  // into the room kept at the start, before any frame line
}

void CTextExport::AddFrame(int64_t index, const double* values, uint64_t count)
{
    if (!IsOpen() || IsCut() || m_isComplete) return;
    Reserve((count + 1) * (kNumberMax + 1) + 2);
    // The flush that made room may have met the end of the disk: a later, shorter
    // line must not follow the lines that did not fit.
    if (IsCut()) return;
    char* out = m_buffer.data() + m_used;
    char* const limit = m_buffer.data() + m_buffer.size();
    if (m_withTime) {
        out = FormatNumberShortest(out, limit, static_cast<double>(index) / m_rate);
        if (count > 0) *out++ = '\t';
    }
    for (uint64_t i = 0; i < count; ++i) {
        if (i > 0) *out++ = '\t';
        out = FormatNumberShortest(out, limit, values[i]);
    }
    *out++ = '\r';
    *out++ = '\n';
    m_used = static_cast<size_t>(out - m_buffer.data());
    ++m_frameLines;
}

void CTextExport::AddMarkers(const RecordMarkers* markers)
{
    if (!IsOpen() || !markers || m_isComplete) return;
    const size_t count = markers->Count();
    m_eventsAdded += count;
    Flush();  // the frame lines first, within their room: the events take the rest
    if (m_failed) return;
    for (size_t i = 0; i < count; ++i) {
        // The frame is printed as the signed 32-bit number the trailer stores,
        // the code unsigned.
        std::string line = "event[" + std::to_string(i) + "]\t" +
                           std::to_string(static_cast<int32_t>(markers->frames[i])) + "\t" +
                           std::to_string(markers->codes[i]) + "\t";
        const size_t labelStart = line.size();
        line += markers->labels[i].utf8_str().data();
        // The recording keeps the label as it is; here it must not end the field or the line.
        std::replace_if(
            line.begin() + long(labelStart), line.end(),
            [](char c) { return c == '\t' || c == '\r' || c == '\n'; }, ' ');
        line += "\r\n";
        Append(line.data(), line.size());
        ++m_eventLines;
    }
}

bool CTextExport::IsRemoved() const { return IsOpenFileGone(m_fd, m_path); }

void CTextExport::Fail(int error)
{
    if (m_failed) return;
    m_failed = true;
    m_error = error != 0 ? error : EIO;
}

void CTextExport::KeepWholeLines(size_t written)
{
    if (written == m_used) {  // all of it: every buffered line is whole on disk
        m_fileBytes += static_cast<int64_t>(written);
        m_framesOnDisk += static_cast<int64_t>(m_frameLines);
        m_eventsOnDisk += m_eventLines;
        m_headerLines = m_frameLines = m_eventLines = 0;
        return;
    }
    size_t kept = written;
    while (kept > 0 && m_buffer[kept - 1] != '\n') --kept;
    if (kept < written) {
        // A line cut short would end the export in the middle of a number. Should
        // the cut fail too, the counts below still say where the whole lines end.
        int result = 0;
        do {
            result = ::ftruncate(m_fd, static_cast<off_t>(m_fileBytes + int64_t(kept)));
        } while (result != 0 && errno == EINTR);
    }
    m_fileBytes += static_cast<int64_t>(kept);
    size_t lines = static_cast<size_t>(std::count(m_buffer.data(), m_buffer.data() + kept, '\n'));
    lines -= std::min(lines, m_headerLines);
    const size_t frames = std::min(lines, m_frameLines);
    lines -= frames;
    m_framesOnDisk += static_cast<int64_t>(frames);
    m_eventsOnDisk += std::min(lines, m_eventLines);
    m_headerLines = m_frameLines = m_eventLines = 0;
}

bool CTextExport::ReserveRoom(int64_t length)
{
    return ReserveFileRoom(m_fd, m_fileBytes, length, m_sizeLimit, m_canReserve);
}

size_t CTextExport::FittingBytes(int& error)
{
    // Header and event lines go into the room kept for them.
    if (m_frameLines == 0 || ReserveRoom(int64_t(m_used) + kEventReserveBytes)) return m_used;
    error = errno;
    size_t fitting = static_cast<size_t>(LargestFitting(m_used, [this](uint64_t bytes) {
        return ReserveRoom(int64_t(bytes) + kEventReserveBytes);
    }));
    while (fitting > 0 && m_buffer[fitting - 1] != '\n') --fitting;
    return fitting;
}

bool CTextExport::Flush()
{
    if (!IsOpen()) return true;
    int shortfall = 0;
    const size_t fitting = m_failed ? 0 : FittingBytes(shortfall);
    if (fitting == 0 && m_used > 0 && (m_failed || m_framesCut)) {
        m_used = 0;  // the file ended at its last whole line
        m_headerLines = m_frameLines = m_eventLines = 0;
        return !m_failed;
    }
    const char* next = m_buffer.data();
    size_t left = fitting;
    while (left > 0) {
        const ssize_t written = ::write(m_fd, next, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            Fail(written < 0 ? errno : ENOSPC);
            break;
        }
        next += written;
        left -= static_cast<size_t>(written);
    }
    KeepWholeLines(fitting - left);
    if (!m_failed && fitting < m_used) {
        // The disk is full: the frame lines end here, the events keep their room.
        m_framesCut = true;
        if (m_error == 0) m_error = shortfall != 0 ? shortfall : ENOSPC;
    }
    m_used = 0;
    return !m_failed;
}

int CTextExport::Sync()
{
    if (!IsOpen()) return 0;
    Flush();
    return SyncWritten();
}

int CTextExport::SyncWritten()
{
    if (!IsOpen()) return 0;
    int error = SyncFileData(m_fd);
    if (error == 0 && !m_isFolderSynced) {
        error = SyncFolder(FolderOf(m_path));
        m_isFolderSynced = error == 0;
    }
    return error;
}

int CTextExport::Complete()
{
    if (!IsOpen() || m_isComplete) return 0;
    m_isComplete = true;
    Flush();
    // The lines are on the disk before the name says the export is there; when
    // the disk cannot say so they stay where they are.
    const int error = SyncFileData(m_fd);
    if (error != 0 || ::rename(m_partPath.fn_str().data(), m_finalPath.fn_str().data()) != 0) {
        m_completeError = error != 0 ? error : errno;
        return error;
    }
    m_path = m_finalPath;
    m_isFolderSynced = false;  // SyncWritten: its folder now holds it under its name
    return 0;
}

bool CTextExport::Close()
{
    if (!IsOpen()) return true;
    int syncError = Complete();
    if (syncError == 0) syncError = SyncWritten();
    // Truncating to the same size gives back the room kept beyond the end; the
    // lines themselves are on disk whether or not that works.
    if (m_canReserve && ::ftruncate(m_fd, static_cast<off_t>(m_fileBytes)) != 0)
        m_canReserve = false;
    // A failed close cuts no line: it may have lost what the disk had not yet taken.
    m_closeError = CloseWrittenFile(m_fd);
    if (m_closeError == 0) m_closeError = syncError;
    m_fd = -1;
    m_buffer.clear();
    m_buffer.shrink_to_fit();
    m_used = 0;
    return !IsCut() && m_closeError == 0 && m_completeError == 0;
}

void CTextExport::Abandon()
{
    if (IsOpen()) ::close(m_fd);  // removed next: its close has nothing to tell
    m_fd = -1;
    m_buffer.clear();
    m_buffer.shrink_to_fit();
    m_used = 0;
}
