#include "analog/analogWriter.h"

#include <fcntl.h>
#include <unistd.h>
#include <wx/filename.h>
#include <wx/intl.h>
#include <wx/arrstr.h>
#include <wx/log.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "analog/formatTime.h"
#include "captureFiles.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "frames are written in host order");

namespace {

constexpr size_t kFrameBufferBytes = 64 * 1024;
// Frames reach the disk at least this often, so a crash loses little.
constexpr std::chrono::milliseconds kFlushInterval(250);
// A running recording reaches the disk (frames, then their count) at least this
// often: what a power cut may take. Each costs the writer thread two flushes.
constexpr std::chrono::milliseconds kSyncInterval(2000);
// Room kept on disk after the frames for the marker trailer, so that a full
// disk still ends the recording as a finished file: a few hundred markers.
constexpr int64_t kTrailerReserveBytes = 8 * 1024;

// Writes all of data at offset; returns the bytes written and sets error on failure.
size_t PwriteAll(int fd, const void* data, size_t size, int64_t offset, int& error)
{
    const char* next = static_cast<const char*>(data);
    size_t done = 0;
    error = 0;
    while (done < size) {
        const ssize_t written =
            ::pwrite(fd, next + done, size - done, offset + static_cast<int64_t>(done));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            error = written < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<size_t>(written);
    }
    return done;
}

}  // namespace

CAnalogWriter::CAnalogWriter()
    : m_lastFlush(std::chrono::steady_clock::now()), m_syncInterval(kSyncInterval)
{
}

void CAnalogWriter::SetSyncInterval(std::chrono::milliseconds interval)
{
    m_syncInterval = std::max(interval, std::chrono::milliseconds(0));
    UpdateSyncFrames();
}

void CAnalogWriter::UpdateSyncFrames()
{
    const double frames = m_rate * std::chrono::duration<double>(m_syncInterval).count();
    m_syncFrames = m_syncInterval.count() == 0 ? 0
                   : std::isfinite(frames)     ? std::max<int64_t>(1, int64_t(std::ceil(frames)))
                                               : 1;
}

CAnalogWriter::~CAnalogWriter() { CAnalogWriter::Close(); }

bool CAnalogWriter::IsOpen() const { return m_fd >= 0; }

bool CAnalogWriter::OpenFile(const wxString& path, int32_t channels, int32_t dim, double rate,
                             bool exportText, const wxString& exportFolder)
{
    Close();
    m_created = false;
    m_openError = 0;
    if (!IsRecordableFrame(channels, dim)) {
        // A frame the player could not take back is not recorded.
        m_openError = EINVAL;
        ReportRecordingError(wxString::Format(
            _("Error creating analog file : %s : %d channels of %d values: more than a frame "
              "holds (%lld values at most)"),
            path, channels, dim, static_cast<long long>(kRecordMaxFrameValues)));
        return false;
    }
    const wxScopedCharBuffer name = path.fn_str();
    ::unlink(name.data());  // an existing recording is replaced without question
    m_rate = rate;
    m_fd = ::open(name.data(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        // The reason (missing or read-only folder, full disk) is what the user acts on.
        m_openError = errno;
        const char* reason = std::strerror(errno);
        std::fprintf(stderr, "Error creating analog file : %s : %s\n", name.data(), reason);
        wxLogError("%s", _("Error creating analog file : ") + path + " : " + wxString(reason));
        return false;
    }
    m_fileName = path;
    m_textFileName.clear();
    m_framesWritten = 0;
    m_framesOnDisk = 0;
    m_failedFrames = 0;
    m_refusedFrames = 0;
    m_writeError = 0;
    m_finishError = 0;
    m_canReserve = true;
    m_sizeLimit = GetFileSizeLimit();
    m_isCountPatched = false;
    m_countOnDisk = 0;
    m_syncedEnd = -1;
    m_syncedFrames = 0;
    m_isFolderSynced = false;
    m_syncError = 0;
    UpdateSyncFrames();
    m_isRemoved = false;
    m_isExportRemoved = false;
    m_isExportEndSaid = false;
    m_endNote.clear();
    m_propertiesWritten = false;
    m_finished = false;
    m_bufferedFrames = 0;
    m_frameSize = (channels > 0 && dim > 0) ? uint64_t(channels) * uint64_t(dim) : 0;
    m_frameBytes = m_frameSize * sizeof(double);
    try {
        m_bufferFrames =
            m_frameBytes > 0 ? std::max<uint64_t>(1, kFrameBufferBytes / m_frameBytes) : 0;
        m_buffer.assign(m_bufferFrames * m_frameSize, 0.0);
        m_aside.assign(m_bufferFrames * m_frameSize, 0.0);
        m_asideTaken = 0;
        m_asideSet = 0;
    } catch (const std::exception&) {
        m_openError = ENOMEM;
        ReportRecordingError(_("Unable to create analog data buffer"));
        Discard();
        return false;
    }
    // The header, the largest property block and the trailer's room must fit:
    // a disk without them could keep no frame of this recording.
    if (!WriteHeader(channels, dim, rate) ||
        !Reserve(8 + int64_t(kPropertyBlockMax) + kTrailerReserveBytes)) {
        m_openError = errno != 0 ? errno : EIO;
        ReportRecordingError(wxString::Format(_("Error creating analog file : %s : %s"), path,
                                              std::strerror(errno)));
        Discard();
        return false;
    }
    OpenTextExport(exportFolder, exportText ? channels : -1, dim, rate);
    m_lastFlush = std::chrono::steady_clock::now();
    m_lastSync = m_lastFlush;
    m_created = true;
    return true;
}

bool CAnalogWriter::WriteHeader(int32_t channels, int32_t dim, double rate)
{
    uint8_t header[kRecordBlockLengthOffset];
    PutU64(header, kRecordMagic);
    PutF64(header + kRecordRateOffset, rate);
    PutU32(header + 16, static_cast<uint32_t>(channels));
    PutU32(header + 20, static_cast<uint32_t>(dim));
    PutU64(header + kRecordCountOffset, 0);  // patched when the recording is finished
    m_countOffset = kRecordCountOffset;
    int error = 0;
    const bool isWritten = PwriteAll(m_fd, header, sizeof header, 0, error) == sizeof header;
    errno = error;
    m_dataEnd = kRecordBlockLengthOffset;
    return isWritten;
}

void CAnalogWriter::OpenTextExport(const wxString& exportFolder, int32_t channels, int32_t dim,
                                   double rate)
{
    m_textFile.reset();
    if (channels < 0 || exportFolder.empty() || !wxFileName::DirExists(exportFolder))
        return;  // export off or no folder: no export, no message
    m_textFileName = MakeTextFileName(m_fileName, exportFolder, m_textExtension);
    auto text = std::make_unique<CTextExport>();
    if (!text->Open(m_textFileName, g_Use_Text_Time.load(), rate)) {
        ReportRecordingError(_("Error creating text file : ") + m_textFileName);
        m_textFileName.clear();  // nothing of that name was created
        return;                  // the recording goes on without export
    }
    if (g_Use_Text_Header.load()) text->AddHeader(m_fileName, channels, dim, rate);
    m_textFile = std::move(text);
}

bool CAnalogWriter::Reserve(int64_t length)
{
    return ReserveFileRoom(m_fd, m_dataEnd, length, m_sizeLimit, m_canReserve);
}

bool CAnalogWriter::ReserveSpace(uint64_t& frames, int& error)
{
    if (Reserve(int64_t(frames * m_frameBytes) + kTrailerReserveBytes)) return true;
    error = errno;
    // The most frames that still leave the trailer its room.
    frames = LargestFitting(frames, [this](uint64_t count) {
        return Reserve(int64_t(count * m_frameBytes) + kTrailerReserveBytes);
    });
    return false;
}

void CAnalogWriter::ReleaseReserve()
{
    // Truncating to the same size frees what was kept beyond it.
    if (m_fd >= 0 && m_canReserve && m_propertiesWritten) {
        if (::ftruncate(m_fd, m_dataEnd) != 0) m_canReserve = false;
    }
}

bool CAnalogWriter::WriteProperties(const uint8_t* block, uint64_t length)
{
    if (!IsOpen() || m_propertiesWritten) return false;
    if (!block || length > kPropertyBlockCapacity) length = 0;
    uint8_t record[8 + kPropertyBlockCapacity];
    PutU64(record, length);
    if (length > 0) std::memcpy(record + 8, block, length);
    int error = 0;
    const size_t size = 8 + length;
    const size_t written = PwriteAll(m_fd, record, size, kRecordBlockLengthOffset, error);
    m_propertiesWritten = true;
    m_dataEnd = kRecordHeaderSize + static_cast<int64_t>(length);
    if (written != size) {
        EndRecording(error != 0 ? error : EIO);  // no frame can follow an incomplete block
        return false;
    }
    return true;
}

void CAnalogWriter::EndRecording(int error)
{
    int none = 0;
    m_writeError.compare_exchange_strong(none, error != 0 ? error : EIO);
}

uint64_t CAnalogWriter::WriteFrame(const double* values, uint64_t count)
{
    if (!IsOpen() || m_finished || !values || count != m_frameSize || count == 0) {
        RefuseFrame();  // reported at the finish
        return 0;
    }
    if (HasEnded()) {
        LoseFrame();  // the recording ended at its last frame on disk
        return 0;
    }
    if (!m_flushesWaitingFrames) return TakeFrame(values) ? count : 0;
    std::unique_lock<std::mutex> hold(m_bufferLock, std::try_to_lock);
    // The sync thread is writing out frames that waited: this one is set aside,
    // unless that room is full (a disk held that long would hold this thread too).
    if (!hold.owns_lock() && SetFrameAside(values)) return count;
    if (!hold.owns_lock()) hold.lock();
    TakeFramesAside();
    return TakeFrame(values) ? count : 0;
}

bool CAnalogWriter::TakeFrame(const double* values)
{
    if (!AppendFrame(values)) return false;
    if (m_hasSyncThread && IsSyncDue()) AskSync();
    return true;
}

bool CAnalogWriter::SetFrameAside(const double* values)
{
    const uint64_t set = m_asideSet.load(std::memory_order_relaxed);
    if (set - m_asideTaken.load(std::memory_order_acquire) >= m_bufferFrames) return false;
    std::memcpy(m_aside.data() + (set % m_bufferFrames) * m_frameSize, values, m_frameBytes);
    m_framesWritten.fetch_add(1, std::memory_order_relaxed);
    m_asideSet.store(set + 1, std::memory_order_release);
    return true;
}

void CAnalogWriter::TakeFramesAside()
{
    const uint64_t set = m_asideSet.load(std::memory_order_acquire);
    uint64_t taken = m_asideTaken.load(std::memory_order_relaxed);
    for (; taken != set; ++taken)
        AppendFrame(m_aside.data() + (taken % m_bufferFrames) * m_frameSize, true);
    m_asideTaken.store(taken, std::memory_order_release);
}

void CAnalogWriter::FlushWaitingFrames()
{
    std::lock_guard<std::mutex> hold(m_bufferLock);
    const bool hasAside =
        m_asideSet.load(std::memory_order_acquire) != m_asideTaken.load(std::memory_order_relaxed);
    if (m_finished.load() || (m_bufferedFrames == 0 && !hasAside) ||
        std::chrono::steady_clock::now() - m_lastFlush < kFlushInterval)
        return;  // the frame thread writes its own frames while they come
    TakeFramesAside();
    FlushFrames();
}

bool CAnalogWriter::Start() { return StartSyncThread(true); }

bool CAnalogWriter::StartSyncThread(bool flushesWaitingFrames)
{
    if (m_hasSyncThread || m_syncFrames == 0 || !IsOpen()) return true;
    m_flushesWaitingFrames = flushesWaitingFrames;
    CRecordSyncThread::Work work;
    work.sync = [this](int64_t frames, int64_t end) {
        MakeDurable(frames, end, false);
        if (m_textFile) NoteSyncError(m_textFile->SyncWritten());
    };
    if (flushesWaitingFrames) {
        // A silent device's last frames are written out meanwhile.
        work.chore = [this] { FlushWaitingFrames(); };
        work.choreInterval = kFlushInterval;
    }
    if (!m_sync.Start(m_syncInterval, m_framesOnDisk, m_dataEnd, std::move(work))) {
        m_flushesWaitingFrames = false;
        ReportRecordingError(_("Unable to start analog writer thread"));
        return false;
    }
    m_hasSyncThread = true;
    return true;
}

void CAnalogWriter::AskSync()
{
    FlushFrames();
    m_lastSync = std::chrono::steady_clock::now();
    m_syncedFrames = m_framesOnDisk;
    m_sync.Ask();
}

void CAnalogWriter::StopSyncThread()
{
    if (!m_hasSyncThread) return;
    m_sync.Stop();
    m_hasSyncThread = false;
    // The frame thread no longer writes: what it set aside goes in after its frames.
    if (m_flushesWaitingFrames) TakeFramesAside();
    m_flushesWaitingFrames = false;
}

bool CAnalogWriter::AppendFrame(const double* values, bool isCounted)
{
    if (!m_propertiesWritten) WriteProperties(nullptr, 0);
    if (HasEnded()) {
        if (isCounted) m_framesWritten.fetch_sub(1, std::memory_order_relaxed);
        LoseFrame();
        return false;
    }
    const int64_t frameEnd = int64_t((m_bufferedFrames + 1) * m_frameBytes);
    if (frameEnd > m_sizeLimit - kTrailerReserveBytes - m_dataEnd) {
        // The file-size limit: the recording ends with the frames before this
        // one and keeps its trailer's room below the limit, as at a full disk.
        FlushFrames();
        EndRecording(EFBIG);
        if (isCounted) m_framesWritten.fetch_sub(1, std::memory_order_relaxed);
        LoseFrame();
        return false;
    }
    std::memcpy(m_buffer.data() + m_bufferedFrames * m_frameSize, values, m_frameBytes);
    ++m_bufferedFrames;
    if (!isCounted) m_framesWritten.fetch_add(1, std::memory_order_relaxed);
    if (m_bufferedFrames == m_bufferFrames)
        FlushFrames();
    else
        FlushIfDue(std::chrono::steady_clock::now());
    return true;
}

bool CAnalogWriter::FlushIfDue(std::chrono::steady_clock::time_point now)
{
    if (now - m_lastFlush < kFlushInterval) return true;
    return FlushFrames();
}

void CAnalogWriter::SyncIfDue(std::chrono::steady_clock::time_point now)
{
    if (m_syncFrames > 0 && now - m_lastSync >= m_syncInterval &&
        m_framesOnDisk + int64_t(m_bufferedFrames) > m_syncedFrames)
        SyncRunning();
}

void CAnalogWriter::SyncRunning()
{
    FlushFrames();
    m_lastSync = std::chrono::steady_clock::now();
    m_syncedFrames = m_framesOnDisk;  // tried once per interval, whatever the outcome
    MakeDurable(m_framesOnDisk, m_dataEnd, false);
    if (m_textFile) NoteSyncError(m_textFile->Sync());
}

void CAnalogWriter::NoteSyncError(int error)
{
    if (error != 0 && m_syncError == 0) m_syncError = error;
}

bool CAnalogWriter::MakeDurable(int64_t count, int64_t dataEnd, bool isFinal)
{
    if (m_fd < 0) return false;
    if (dataEnd == m_syncedEnd && count == m_countOnDisk && m_isFolderSynced) return true;
    int error = SyncFileData(m_fd);
    if (error == 0) m_syncedEnd = dataEnd;
    if (!m_isFolderSynced && (error == 0 || isFinal)) {
        const int folderError = SyncFolder(FolderOf(m_fileName));
        m_isFolderSynced = folderError == 0;
        if (error == 0) error = folderError;
    }
    NoteSyncError(error);
    if (error != 0 && !isFinal) return true;  // the count waits for frames known on disk
    if (count == m_countOnDisk) return true;
    if (!PatchCount(count, error)) {
        if (isFinal) m_finishError = error;
        return false;
    }
    NoteSyncError(SyncFileData(m_fd));
    return true;
}

bool CAnalogWriter::FlushFrames()
{
    m_lastFlush = std::chrono::steady_clock::now();
    if (m_fd < 0) return false;
    bool isOk = true;
    if (m_bufferedFrames > 0) {
        int error = 0;
        uint64_t frames = HasEnded() ? 0 : m_bufferedFrames;
        if (frames > 0) ReserveSpace(frames, error);  // a full disk keeps the trailer's room
        size_t written = 0;
        if (frames > 0) {
            int writeError = 0;
            written =
                PwriteAll(m_fd, m_buffer.data(), frames * m_frameBytes, m_dataEnd, writeError);
            if (writeError != 0) error = writeError;
        }
        const uint64_t complete = written / m_frameBytes;
        if (m_textFile)  // a line only for a frame that reached the file
            for (uint64_t i = 0; i < complete; ++i)
                m_textFile->AddFrame(m_framesOnDisk + int64_t(i), m_buffer.data() + i * m_frameSize,
                                     m_frameSize);
        m_framesOnDisk += static_cast<int64_t>(complete);
        m_dataEnd += static_cast<int64_t>(complete * m_frameBytes);
        if (complete < m_bufferedFrames) {
            if (written % m_frameBytes != 0) {
                // Cut a partial frame: only whole frames may stand before the trailer.
                if (::ftruncate(m_fd, m_dataEnd) != 0 && error == 0) error = errno;
                Reserve(kTrailerReserveBytes);  // the cut gave back the room kept beyond
            }
            // The recording ends with the frames on disk; the lost ones are counted.
            const uint64_t lost = m_bufferedFrames - complete;
            m_framesWritten.fetch_sub(static_cast<int64_t>(lost), std::memory_order_relaxed);
            m_failedFrames.fetch_add(lost, std::memory_order_relaxed);
            EndRecording(error);
            isOk = false;
        }
        m_bufferedFrames = 0;
    }
    if (m_textFile) m_textFile->Flush();
    if (m_hasSyncThread) m_sync.Publish(m_framesOnDisk, m_dataEnd);
    return isOk;
}

bool CAnalogWriter::PatchCount(int64_t count, int& error)
{
    uint8_t field[8];
    PutU64(field, static_cast<uint64_t>(count));
    if (PwriteAll(m_fd, field, sizeof field, m_countOffset, error) != sizeof field) {
        if (error == 0) error = EIO;
        return false;
    }
    m_isCountPatched = count != 0;
    m_countOnDisk = count;
    return true;
}

bool CAnalogWriter::UpdateFrameCount()
{
    if (!IsOpen()) return false;
    StopSyncThread();
    FlushFrames();
    // With no frame the field keeps 0.
    return MakeDurable(m_countOffset > 0 ? m_framesOnDisk : m_countOnDisk, m_dataEnd, true);
}

bool CAnalogWriter::WriteMarkers(const RecordMarkers* markers)
{
    if (!IsOpen()) return false;
    StopSyncThread();
    if (m_finished) return true;  // one trailer per recording
    if (!m_propertiesWritten) WriteProperties(nullptr, 0);
    FlushFrames();
    const std::vector<uint8_t> trailer = EncodeMarkerTrailer(markers);
    int error = 0;
    const size_t written = PwriteAll(m_fd, trailer.data(), trailer.size(), m_dataEnd, error);
    m_finished = true;
    if (m_textFile) {
        m_textFile->AddMarkers(markers);
        m_textFile->Flush();
    }
    if (written != trailer.size()) {
        // No partial trailer, and no count without its trailer: the file then
        // reads as a recording that ends early, every whole frame kept.
        if (::ftruncate(m_fd, m_dataEnd) != 0 && error == 0) error = errno;
        int countError = 0;
        if (m_isCountPatched) PatchCount(0, countError);
        m_finishError = error != 0 ? error : EIO;
        return false;
    }
    m_dataEnd += static_cast<int64_t>(trailer.size());
    return true;
}

bool CAnalogWriter::Finish(const RecordMarkers* markers)
{
    if (!IsOpen()) return false;
    StopSyncThread();
    if (m_finished) return true;
    m_isRemoved = IsOpenFileGone(m_fd, m_fileName);
    m_isExportRemoved = m_textFile && m_textFile->IsRemoved();
    if (m_textFile) {
        // The export is whole first: its new name then reaches the disk with the
        // trailer's flush below (on most file systems one commit for both).
        FlushFrames();
        m_textFile->AddMarkers(markers);
        NoteSyncError(m_textFile->Complete());
    }
    bool hasTrailer = false;
    if (UpdateFrameCount()) {
        hasTrailer = WriteMarkers(markers);
    } else {
        // A count that did not go in takes no trailer after it either.
        m_finished = true;
        if (m_textFile) {
            m_textFile->AddMarkers(markers);
            m_textFile->Flush();
        }
    }
    ReleaseReserve();
    // The trailer (or the cut that replaced it) and the export's lines are on
    // the disk, the export under its name, before the recording is said saved.
    NoteSyncError(SyncFileData(m_fd));
    if (m_textFile) NoteSyncError(m_textFile->SyncWritten());
    DescribeEnd(hasTrailer);
    ReportLostFrames();
    return hasTrailer;
}

wxString CAnalogWriter::DescribeExportEnd() const
{
    if (m_textFile && m_textFile->GetCompleteError() != 0)
        return wxString::Format(_("text export left as %s : %s"), m_textFile->GetPartPath(),
                                std::strerror(m_textFile->GetCompleteError()));
    if (!m_textFile || !m_textFile->IsCut()) return wxString();
    const int64_t frames = m_textFile->GetFramesOnDisk();
    const double seconds = m_rate > 0.0 ? double(frames) / m_rate : 0.0;
    const bool hasEvents = m_textFile->GetEventsOnDisk() >= m_textFile->GetEventsAdded();
    return wxString::Format(_("text export cut at %s (%lld frames kept)%s : %s"),
                            FormatTime(seconds), static_cast<long long>(frames),
                            hasEvents ? wxString() : wxString(_(", without its events")),
                            std::strerror(m_textFile->GetError()));
}

void CAnalogWriter::DescribeEnd(bool hasTrailer)
{
    m_endNote.clear();
    if (m_isRemoved) {
        // Its frames went to a file without a name: nothing of it is on disk.
        m_endNote = _("the recording was removed while it ran");
        ReportRecordingError(_("<REC> Error writing analog file : ") + m_fileName + " : " +
                             m_endNote);
        return;
    }
    // One note, said once, for the recording and its export.
    wxString exportEnd = DescribeExportEnd();
    if (m_isExportRemoved) exportEnd = _("text export removed while it ran");
    m_isExportEndSaid = !exportEnd.empty();
    // Whole or not, a recording the disk did not confirm may lose what it holds.
    const wxString syncNote =
        m_syncError == 0 ? wxString()
                         : wxString::Format(_("a flush to disk failed, what was written may not "
                                              "all be on disk : %s"),
                                            std::strerror(m_syncError));
    const int writeError = m_writeError.load();
    if (writeError == 0 && hasTrailer) {
        if (!syncNote.empty()) {
            m_endNote = exportEnd.empty() ? syncNote : syncNote + "; " + exportEnd;
            ReportRecordingError(_("<REC> Error writing analog file : ") + m_fileName + " : " +
                                 m_endNote);
            return;
        }
        if (exportEnd.empty()) return;  // whole
        m_endNote = exportEnd;
        ReportRecordingError(_("<REC> Error writing text file : ") + m_textFileName + " : " +
                             exportEnd);
        return;
    }
    const int error = writeError != 0 ? writeError : (m_finishError != 0 ? m_finishError : EIO);
    const double seconds = m_rate > 0.0 ? double(m_framesOnDisk) / m_rate : 0.0;
    const long long frames = static_cast<long long>(m_framesOnDisk);
    if (hasTrailer)
        m_endNote = wxString::Format(_("recording cut at %s (%lld frames kept) : %s"),
                                     FormatTime(seconds), frames, std::strerror(error));
    else
        m_endNote = wxString::Format(
            _("the file ends early at %s (%lld frames kept), without its markers : %s"),
            FormatTime(seconds), frames, std::strerror(error));
    if (!exportEnd.empty()) m_endNote += "; " + exportEnd;
    if (!syncNote.empty()) m_endNote += "; " + syncNote;
    ReportRecordingError(_("<REC> Error writing analog file : ") + m_fileName + " : " + m_endNote);
}

void CAnalogWriter::ReportLostFrames()
{
    const uint64_t failed = GetFailedFrames();
    const uint64_t dropped = GetDroppedFrames();
    const uint64_t refused = GetRefusedFrames();
    if (refused > 0)
        ReportRecordingError(wxString::Format(
            _("<REC> %s : %llu frames refused, wrong frame size or writer already stopped"),
            m_fileName, static_cast<unsigned long long>(refused)));
    if (failed > 0 && m_endNote.empty())  // a cut recording has said where it ends
        ReportRecordingError(wxString::Format(_("<REC> %s : %llu frames could not be written"),
                                              m_fileName, static_cast<unsigned long long>(failed)));
    if (dropped > 0)
        ReportRecordingError(
            wxString::Format(_("<REC> %s : %llu frames dropped, the writer queue was full"),
                             m_fileName, static_cast<unsigned long long>(dropped)));
}

bool CAnalogWriter::CloseFiles()
{
    bool isOk = true;
    if (m_fd >= 0) {
        const int error = CloseWrittenFile(m_fd);
        if (error != 0) {
            ReportRecordingError(
                wxString::Format(_("<REC> Error closing analog file : %s : %s (what was written "
                                   "may not all be on disk)"),
                                 m_fileName, std::strerror(error)));
            isOk = false;
        }
        m_fd = -1;
    }
    if (m_textFile) {
        if (!m_textFile->Close()) {
            isOk = false;
            // A cut after the finish (or without one) is told here, once.
            if ((m_textFile->IsCut() || m_textFile->GetCompleteError() != 0) && !m_isExportEndSaid)
                ReportRecordingError(_("<REC> Error writing text file : ") + m_textFileName +
                                     " : " + DescribeExportEnd());
            m_isExportEndSaid =
                m_isExportEndSaid || m_textFile->IsCut() || m_textFile->GetCompleteError() != 0;
            if (m_textFile->GetCloseError() != 0)
                ReportRecordingError(wxString::Format(
                    _("<REC> Error closing text file : %s : %s (what was written may not all be "
                      "on disk)"),
                    m_textFileName, std::strerror(m_textFile->GetCloseError())));
        }
        m_textFile.reset();
    }
    m_buffer.clear();
    m_buffer.shrink_to_fit();
    m_aside.clear();
    m_aside.shrink_to_fit();
    m_bufferedFrames = 0;
    return isOk;
}

bool CAnalogWriter::Close()
{
    StopSyncThread();
    if (m_fd < 0 && !m_textFile) return true;  // closing twice does nothing
    if (m_fd >= 0 && !m_propertiesWritten)
        WriteProperties(nullptr, 0);  // a header without a block is still a whole header
    FlushFrames();
    ReleaseReserve();
    const bool isOk = CloseFiles();
    m_fileName.clear();  // the export name stays readable
    m_created = false;
    return isOk;
}

void CAnalogWriter::AbandonTextExport()
{
    if (m_textFile) m_textFile->Abandon();
    m_textFile.reset();
}

void CAnalogWriter::Discard()
{
    const wxString recording = m_fileName;
    const wxString text = m_textFileName;  // set only for an export this writer created
    StopSyncThread();
    if (m_fd >= 0) ::close(m_fd);  // removed next: its close has nothing to tell
    m_fd = -1;
    AbandonTextExport();
    m_buffer.clear();
    m_buffer.shrink_to_fit();
    m_aside.clear();
    m_aside.shrink_to_fit();
    m_bufferedFrames = 0;
    // Flushed away from their folders too: a file nobody measured must not come
    // back after a power cut beside the trial.
    wxString error;
    if (!RemoveFiles({recording, text}, error)) {
        for (const wxString& line : wxSplit(error, '\n', '\0'))
            ReportRecordingError(_("Unable to delete ") + line);
    }
    m_fileName.clear();
    m_textFileName.clear();
    m_created = false;
}
