#pragma once

#include <wx/string.h>

#include <cstdint>
#include <vector>

struct RecordMarkers;

// The tab-separated text export of a recording, streamed to disk through a
// fixed buffer (UTF-8, CR LF, each number in the fewest digits that read back
// exactly, with a decimal point whatever the locale). Its lines go to a file of
// its own beside the export's name (kTextPartSuffix), which takes that name only
// once they are all on disk: under its name an export is whole. Owned by one
// writer and used by one thread at a time, the thread that writes its frames;
// SyncWritten may also come from the one thread that waits on the disk for it.
class CTextExport {
public:
    CTextExport() = default;
    ~CTextExport();
    CTextExport(const CTextExport&) = delete;
    CTextExport& operator=(const CTextExport&) = delete;

    // Removes a file of that name (it is replaced) and creates the file its lines
    // go to until Complete. False, with errno set, when that cannot be created.
    bool Open(const wxString& path, bool withTime, double rate);
    bool IsOpen() const { return m_fd >= 0; }
    // "# path :  channels = K dim = D rate = R"
    void AddHeader(const wxString& recordPath, int32_t channels, int32_t dim, double rate);
    // One line for the frame with the given 0-based index.
    void AddFrame(int64_t index, const double* values, uint64_t count);
    // "event[i]\tframe\tcode\tlabel" for each marker; a TAB, CR or LF of a
    // label becomes a blank, so each event stays one line of four fields.
    void AddMarkers(const RecordMarkers* markers);
    // Writes what is buffered; false after the first failure. A write that
    // fails leaves the file at its last whole line and takes nothing more; the
    // owner tells the user (GetError, GetFramesOnDisk).
    bool Flush();
    // Flushes and waits until the lines are on the disk, with the file's name in
    // its folder the first time: 0, or the errno of a flush that failed.
    int Sync();
    // Waits until the lines already written are on the disk (no flush of the
    // buffer): the thread that waits on the disk while another writes.
    int SyncWritten();
    // Flushes, waits until every line is on the disk, then gives the file the
    // export's name (SyncWritten then waits until its folder holds it): 0, or
    // the errno of a flush that failed. Once only, and no line follows; when the
    // lines are not known on disk or the name cannot be given, they stay in
    // GetPartPath (GetCompleteError says why).
    int Complete();
    bool IsComplete() const { return m_isComplete; }
    int GetCompleteError() const { return m_completeError; }
    const wxString& GetPartPath() const { return m_partPath; }
    // Completes (when not yet done) and closes. False when the export was cut
    // (IsCut), did not take its name (GetCompleteError) or its close failed
    // (GetCloseError).
    bool Close();
    // Closes its file without writing what is buffered; the caller removes it
    // (and flushes its folder).
    void Abandon();
    bool HasFailed() const { return m_failed; }
    // A full disk or a failed write ended the frame lines before all were in;
    // the event lines may still have gone in, into the room kept for them.
    bool IsCut() const { return m_failed || m_framesCut; }
    int GetError() const { return m_error; }  // errno of the cut, 0 without one
    // errno of a close after which the lines may not all be on disk, 0 without one.
    int GetCloseError() const { return m_closeError; }
    // Its name (or folder) was deleted, or given to another file, while it was written.
    bool IsRemoved() const;
    // Whole frame and event lines in the file.
    int64_t GetFramesOnDisk() const { return m_framesOnDisk; }
    size_t GetEventsOnDisk() const { return m_eventsOnDisk; }
    size_t GetEventsAdded() const { return m_eventsAdded; }

private:
    void Append(const char* data, size_t size);
    void Reserve(size_t size);
    void Fail(int error);
    // Keeps room on disk for length bytes after the file's whole lines; false
    // when the disk has no room or they would pass the file-size limit (a
    // file system that keeps none says true within the limit).
    bool ReserveRoom(int64_t length);
    // The buffered bytes, whole lines only, that still leave the event lines
    // their room; error says why when that is not all of them.
    size_t FittingBytes(int& error);
    // The first bytes of the buffer reached the file: those up to the last
    // line end stay, the rest is cut off; lines are counted as they stay.
    void KeepWholeLines(size_t written);

    int m_fd = -1;
    wxString m_path;      // the file's name now: m_partPath until Complete
    wxString m_partPath;  // where the lines go until they are all on disk
    wxString m_finalPath;
    bool m_isComplete = false;
    int m_completeError = 0;
    bool m_withTime = true;
    double m_rate = 1.0;
    bool m_failed = false;
    bool m_framesCut = false;
    bool m_canReserve = true;
    bool m_isFolderSynced = false;
    int64_t m_sizeLimit = 0;  // the process's file-size limit, read at the open
    int m_error = 0;
    int m_closeError = 0;
    std::vector<char> m_buffer;
    size_t m_used = 0;
    // The buffer holds, in this order, header, frame and event lines not yet on disk.
    size_t m_headerLines = 0;
    size_t m_frameLines = 0;
    size_t m_eventLines = 0;
    int64_t m_fileBytes = 0;  // whole lines on disk
    int64_t m_framesOnDisk = 0;
    size_t m_eventsOnDisk = 0;
    size_t m_eventsAdded = 0;
};
