#pragma once

#include <wx/string.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "analog/recordFormat.h"
#include "analog/recordSync.h"
#include "analog/textExport.h"

// Writes one recording file (and its text export) frame by frame in the thread
// that records. Owned by the recording controller (CAnalogFile).
// Open/properties/finish/close: GUI thread. WriteFrame: the recording thread
// (acquisition thread for this plain writer). Counters: any thread.
class CAnalogWriter {
public:
    CAnalogWriter();
    virtual ~CAnalogWriter();
    CAnalogWriter(const CAnalogWriter&) = delete;
    CAnalogWriter& operator=(const CAnalogWriter&) = delete;

    virtual bool OpenFile(const wxString& path, int32_t channels, int32_t dim, double rate,
                          bool exportText, const wxString& exportFolder);
    virtual bool WriteProperties(const uint8_t* block, uint64_t length);
    // Appends the marker trailer once; a recording already finished is left as it is.
    virtual bool WriteMarkers(const RecordMarkers* markers);
    // Takes one frame; returns count when the frame was taken, 0 when it was
    // refused (wrong size, writer not open or finished) or dropped (queue
    // full). Every frame not taken is counted and reported at the finish.
    virtual uint64_t WriteFrame(const double* values, uint64_t count);
    virtual bool Close();
    virtual bool IsOpen() const;
    virtual wxString GetFileName() const { return m_fileName; }
    virtual wxString GetTextFileName() const { return m_textFileName; }
    virtual int64_t GetFrameCount() const
    {
        return m_framesWritten.load(std::memory_order_relaxed);
    }
    virtual void SetTextExtension(const wxString& extension) { m_textExtension = extension; }
    // Writes the frames taken to the file, waits until they are on the disk
    // (and the file's name in its folder), then patches the count that
    // announces them and waits again: the count never runs ahead of its frames.
    virtual bool UpdateFrameCount();
    virtual void StopThread() {}
    // Starts the thread that waits on the disk for the frames of this plain
    // writer while the recording runs (none with a sync interval of zero);
    // false, with a message, when it cannot be had. GUI thread.
    virtual bool Start();
    virtual bool IsCreated() const { return m_created; }

    // Flushes, patches the count with the frames on disk and appends the one
    // trailer, then reports frames that were lost. A trailer that cannot be
    // written leaves the count at 0: the file then reads as one that ends
    // early, every whole frame kept. GUI thread.
    virtual bool Finish(const RecordMarkers* markers);
    bool IsFinished() const { return m_finished.load(); }
    // At most how much of a running recording a power cut may take: the writer
    // thread flushes its frames to disk, then the count, this often (by the
    // recording's own time, or by the clock while frames wait). Zero: only at
    // the finish. The plain writer's frames come on the acquisition thread,
    // which never waits on the disk: a thread of its own (from Start) does the
    // waiting on the same schedule, and writes out the frames of a device fallen
    // silent. Before Start; GUI thread.
    void SetSyncInterval(std::chrono::milliseconds interval);
    // Flushes to disk that failed (errno of the first), 0 without one. GUI thread.
    int GetSyncError() const { return m_syncError; }
    // Removes what OpenFile created (a recording that could not be set up
    // leaves no empty file behind) and flushes its folders, saying what may
    // come back after a power cut. GUI thread.
    virtual void Discard();

    // A frame write failed (full disk, write error): the recording ends
    // there, with the frames already on disk, and takes no further frame.
    // Any thread.
    bool HasEnded() const { return m_writeError.load(std::memory_order_relaxed) != 0; }
    int GetWriteError() const { return m_writeError.load(std::memory_order_relaxed); }
    // Why the last OpenFile failed (errno), 0 after a success. GUI thread.
    int GetOpenError() const { return m_openError; }
    // Set by Finish when the recording was cut or ends early: what ended it,
    // where, and whether the markers are in the file. Empty for a whole
    // recording. GUI thread.
    const wxString& GetEndNote() const { return m_endNote; }
    // Set by Finish when the file was removed while it was recorded (its name,
    // or its folder, deleted or replaced): nothing of it is on disk. GUI thread.
    bool IsRemoved() const { return m_isRemoved; }
    // Frames the file holds; the count Finish patched in. GUI thread, after Finish.
    int64_t GetFramesOnDisk() const { return m_framesOnDisk; }
    // Frames that could not be written to disk (full disk, write errors).
    uint64_t GetFailedFrames() const { return m_failedFrames.load(std::memory_order_relaxed); }
    // Frames refused because the queue was full (threaded writer only).
    virtual uint64_t GetDroppedFrames() const { return 0; }
    // Frames refused on arrival: not the size of a frame of this recording, or
    // the writer no longer takes frames. Both writers count them alike.
    uint64_t GetRefusedFrames() const { return m_refusedFrames.load(std::memory_order_relaxed); }

protected:
    // Buffers one frame for the file; writes the buffer when it is full or has
    // waited longer than the flush interval; false when the frame was not
    // taken (the recording ended, or the frame would pass the file-size
    // limit). The thread that writes frames; isCounted: already among those
    // taken (a frame set aside while the buffer was being written out).
    bool AppendFrame(const double* values, bool isCounted = false);
    // Writes buffered frames and their text lines; false on a write failure.
    bool FlushFrames();
    bool FlushIfDue(std::chrono::steady_clock::time_point now);
    // The writer thread: an interval's frames have come since the last flush to disk.
    bool IsSyncDue() const
    {
        return m_syncFrames > 0 &&
               m_framesOnDisk + int64_t(m_bufferedFrames) - m_syncedFrames >= m_syncFrames;
    }
    // Flushes the frames taken to disk, then their count (and the export's lines).
    void SyncRunning();
    // SyncRunning when the interval has passed by the clock with frames not on disk.
    void SyncIfDue(std::chrono::steady_clock::time_point now);
    // Frame thread: the frames written so far are to reach the disk now, through
    // the sync thread (started by Start, before the frames come).
    void AskSync();
    // Start of both writers: the sync thread, which for the plain writer also writes
    // out frames that waited a flush interval in its buffer for a frame after them.
    bool StartSyncThread(bool flushesWaitingFrames);
    bool HasSyncThread() const { return m_hasSyncThread; }
    void ReportLostFrames();
    // Ends the recording at the frames on disk; the first error is kept.
    void EndRecording(int error);
    // Counts a frame that is not taken; any thread that writes frames.
    void RefuseFrame() { m_refusedFrames.fetch_add(1, std::memory_order_relaxed); }
    // Drops the text export unwritten (its file is about to be removed).
    void AbandonTextExport();
    // Counts a frame that comes after the recording ended; any thread.
    void LoseFrame() { m_failedFrames.fetch_add(1, std::memory_order_relaxed); }
    uint64_t GetFrameSize() const { return m_frameSize; }
    double GetRate() const { return m_rate; }

private:
    bool WriteHeader(int32_t channels, int32_t dim, double rate);
    void OpenTextExport(const wxString& exportFolder, int32_t channels, int32_t dim, double rate);
    // Makes sure the disk holds room for frames more frames and, after them,
    // the trailer's reserve; lowers frames to what fits when it does not.
    // False when frames had to be lowered (error then says why).
    bool ReserveSpace(uint64_t& frames, int& error);
    bool Reserve(int64_t length);
    bool PatchCount(int64_t count, int& error);
    // The frames (and trailer) on disk, the file's name in its folder once,
    // then count and a second flush. A failed flush is noted; while running
    // the count then waits, at the finish it goes in all the same. False when
    // the count could not be written.
    bool MakeDurable(int64_t count, int64_t dataEnd, bool isFinal);
    // Plain writer, with m_bufferLock held: the frame and its sync request.
    bool TakeFrame(const double* values);
    // Frame thread, while the sync thread holds the buffer: sets the frame aside;
    // false when that room is full.
    bool SetFrameAside(const double* values);
    // With m_bufferLock held: the frames set aside go to the buffer, in order.
    void TakeFramesAside();
    // Sync thread: writes the buffer out when its frames waited a flush interval.
    void FlushWaitingFrames();
    // GUI thread: joins the sync thread; the frame thread no longer writes.
    void StopSyncThread();
    void NoteSyncError(int error);
    void UpdateSyncFrames();
    // Gives back the room kept beyond the end of the file.
    void ReleaseReserve();
    void DescribeEnd(bool hasTrailer);
    // Where a text export that a write failure cut ends; empty when it is whole.
    wxString DescribeExportEnd() const;
    bool CloseFiles();

    wxString m_fileName;
    wxString m_textFileName;
    int m_fd = -1;
    std::unique_ptr<CTextExport> m_textFile;
    std::atomic<int64_t> m_framesWritten{0};  // frames accepted and not known to be lost
    int64_t m_countOffset = 0;
    wxString m_textExtension = kDefaultTextExtension;
    double m_rate = 1.0;
    bool m_created = false;

    uint64_t m_frameSize = 0;  // values per frame
    uint64_t m_frameBytes = 0;
    bool m_propertiesWritten = false;
    std::atomic<bool> m_finished{false};  // trailer written: no frame may follow
    int64_t m_dataEnd = 0;                // file offset after the last frame on disk
    int64_t m_framesOnDisk = 0;
    std::vector<double> m_buffer;  // frames not yet written, whole frames only
    uint64_t m_bufferFrames = 0;   // capacity of m_buffer in frames
    uint64_t m_bufferedFrames = 0;
    std::chrono::steady_clock::time_point m_lastFlush;
    std::atomic<uint64_t> m_failedFrames{0};
    std::atomic<uint64_t> m_refusedFrames{0};
    std::atomic<int> m_writeError{0};  // errno of the write that ended the recording
    bool m_canReserve = true;          // the file system keeps room for us (fallocate)
    int64_t m_sizeLimit = 0;           // the process's file-size limit, read at the open
    bool m_isCountPatched = false;
    std::chrono::milliseconds m_syncInterval;
    int64_t m_syncFrames = 0;    // frames of one sync interval at the recording's rate
    int64_t m_syncedFrames = 0;  // frames on disk at the last flush to disk while running
    std::chrono::steady_clock::time_point m_lastSync;
    int64_t m_countOnDisk = 0;  // the count field as last written
    int64_t m_syncedEnd = -1;   // m_dataEnd at the last flush to disk that succeeded
    bool m_isFolderSynced = false;
    int m_syncError = 0;
    bool m_isRemoved = false;
    bool m_isExportRemoved = false;
    bool m_isExportEndSaid = false;  // the export's cut has been told
    int m_openError = 0;
    int m_finishError = 0;  // errno of a count or trailer that could not be written
    wxString m_endNote;

    // Set before the sync thread starts, cleared after it was joined.
    bool m_hasSyncThread = false;
    bool m_flushesWaitingFrames = false;  // the sync thread writes the buffer out too
    // Plain writer with a sync thread: taken before the sync thread's lock. Guards the
    // buffer and the file's end against the sync thread; the frame thread never waits
    // on it while the room for frames set aside holds them.
    std::mutex m_bufferLock;
    std::vector<double> m_aside;  // a ring of m_bufferFrames frames
    std::atomic<uint64_t> m_asideTaken{0};  // advanced by the holder of m_bufferLock
    std::atomic<uint64_t> m_asideSet{0};    // advanced by the frame thread
    CRecordSyncThread m_sync;  // started by StartSyncThread; its chore takes m_bufferLock
};
