#pragma once

#include "process/triggerCrossings.h"
#include "serial/lineWatch.h"
#include "serial/serialPort.h"

#include <wx/string.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

// The external trigger voltage from a converter on a serial line that sends text lines
// "data=" followed by a 10-bit reading on a 5 V scale. Every line is read, in the
// order it came; each reading also goes to the crossings (start at or above the high
// level, stop strictly below the low one), so that a low shorter than the owner's
// passes still ends a trial. While the port is open a reader thread of its own takes
// the bytes as they come and notes when: each reading, and its crossing, carries the
// time its line arrived, however late the owner reads it. The main frame owns the one
// instance. GUI thread only (the crossings and SetWakeUp: any thread).
class CSerialTrigger {
public:
    explicit CSerialTrigger(uint32_t timeoutMs);
    ~CSerialTrigger();
    CSerialTrigger(const CSerialTrigger&) = delete;
    CSerialTrigger& operator=(const CSerialTrigger&) = delete;

    // Opens the port (closing a line already open), raises DTR and reads one value to
    // get in step with the lines. False when the port did not open (its message is
    // on standard error).
    bool Open(const wxString& port, uint32_t baud);
    // Lowers RTS and DTR and closes; nothing when not open.
    void Close();
    bool IsOpen() const { return m_isOpen; }

    // The next line's voltage, in order (nothing received is skipped). False, volts
    // untouched, on a time-out, a failed read or a line that is not "data=" and a
    // reading from 0 to 1023. A few silent time-outs in a row (see ReadLines), or the
    // port going away, are said once on the Errors page; the port is then opened again
    // every couple of seconds, and its return is said too.
    bool ReadValue(double& volts);
    // Every whole line received so far, in order, waiting at most waitMs for the first
    // byte when none waits: the number of readings taken. The line counts as silent
    // (as a read that timed out) once per read time-out through which the port, as
    // the reader found it, brought no byte: a reader or caller held up while bytes
    // wait is no silence of the converter.
    int ReadLines(uint32_t waitMs);
    // Start at or above high, stop strictly below low.
    void SetLevels(double high, double low) { m_crossings.SetLevels(high, low, false); }
    CTriggerCrossings& GetCrossings() { return m_crossings; }
    bool IsLineLost() const { return m_line.IsLost(); }
    int64_t GetLineLosses() const { return m_line.GetLostCount(); }
    // Lines that came but were refused (not a reading) since the last Open; Close
    // reports them with the losses of the line.
    int64_t GetRefusedLines() const { return m_refusedLines; }
    void SetReopenInterval(std::chrono::milliseconds interval) { m_line.SetReopenInterval(interval); }
    // While only refused lines come since the last reading: says so on the Errors page,
    // with their count, once every few seconds. The wait for a start calls it.
    void SayIfDeaf();
    void SetDeafNoteInterval(std::chrono::milliseconds interval) { m_deafNoteInterval = interval; }
    // Parses one received line: the voltage, or false. NULs, white space, control and
    // 8-bit bytes before the reading, and white space after it, are skipped as noise.
    static bool ParseLine(const char* line, size_t length, double& volts);

    // Called by the reader thread after bytes came: tells the owner's thread to read
    // them (null: nobody to wake).
    void SetWakeUp(void (*wakeUp)()) { m_wakeUp.store(wakeUp); }
    // Called by the reader thread before each read of the port (null: nothing); a test
    // holds the thread there, as a busy machine may.
    void SetBeforeRead(void (*beforeRead)()) { m_beforeRead.store(beforeRead); }
    // Bytes that came while the owner left kArrivedChunks of them unread: dropped and
    // counted, said at Close.
    int64_t GetDroppedBytes() const;

    // 0: reads wait until a line comes.
    void SetTimeout(uint32_t timeoutMs) { m_timeoutMs = timeoutMs; }
    uint32_t GetTimeout() const { return m_timeoutMs; }
    const SerialSettings& GetSettings() const { return m_settings; }

    static constexpr uint32_t kMaxLine = 32;
    // Longest wait of the first read in Open when reads have no limit: a silent
    // converter must not hold the program at start-up.
    static constexpr uint32_t kOpenSyncMs = 1000;

private:
    using Clock = std::chrono::steady_clock;
    // The line's result: 1 a value, 0 a line refused, -1 nothing came, -2 the port failed.
    int ReadLine(double& volts, uint32_t timeoutMs);
    // What waits on the port, after at most waitMs for the first byte: the count
    // received, 0 none, below 0 the port failed.
    int Receive(uint32_t waitMs);
    // One whole line (up to and with its line end, or kMaxLine bytes) out of what was
    // received, NUL-terminated, and the program time (us) its last byte came: its
    // length, 0 when no whole line waits.
    size_t TakeLine(char* line, double& atUs);
    // A received line: 1 a value (fed to the crossings), 0 refused, -1 empty (noise).
    int TakeReading(const char* line, size_t length, double atUs, double& volts);
    // What the reader thread took, moved behind m_received; waits up to waitMs for it.
    int TakeArrived(uint32_t waitMs);
    // A read of the port begun at readAt brought got bytes (0: it found none).
    void NotePortRead(int got, Clock::time_point readAt);
    // Each whole time-out the port was seen empty since the last byte, not counted
    // yet, counts as a read that timed out.
    void NoteSilence();
    // The reader thread, on an open port; stopped before the port is closed or reopened.
    bool StartReader();
    void StopReader();
    void ReaderLoop() noexcept;
    // The line watch's view of a read, said on the Errors page when it changes.
    void NoteRead(int result);
    void ForgetReceived() { m_receivedLength = 0; }
    bool Reopen();
    // While lost: opens the port again when due.
    void ReopenIfDue();

    static constexpr size_t kReceiveBytes = 512;
    static constexpr size_t kChunkBytes = 64;
    // About 64 kB: several seconds of a converter sending a thousand lines a second.
    static constexpr size_t kArrivedChunks = 1024;
    struct Chunk {
        double atUs = 0.0;  // program time the bytes came
        size_t length = 0;
        char bytes[kChunkBytes] = {};
    };

    CSerialPort m_port;
    CTriggerCrossings m_crossings;
    char m_received[kReceiveBytes] = {};  // bytes of lines not taken yet
    double m_receivedAt[kReceiveBytes] = {};  // when each of them came
    size_t m_receivedLength = 0;
    // From the reader thread: what it received, in order, with when.
    mutable std::mutex m_arrivedMutex;  // leaf lock: the chunks, their counts, m_readerFailed
    std::condition_variable m_arrivedCv;
    std::array<Chunk, kArrivedChunks> m_arrived{};
    size_t m_arrivedHead = 0;
    size_t m_arrivedCount = 0;
    size_t m_arrivedOffset = 0;  // bytes of the head chunk taken already
    int64_t m_droppedBytes = 0;
    bool m_readerFailed = false;  // the port failed under the reader, which ended
    // When bytes last came, and when the last read that found none began (from the
    // reader's start on): the line was silent between them, if in that order.
    Clock::time_point m_heardAt;
    Clock::time_point m_emptyAt;
    std::atomic<bool> m_stopReader{false};
    std::atomic<void (*)()> m_wakeUp{nullptr};
    std::atomic<void (*)()> m_beforeRead{nullptr};
    std::thread m_reader;
    Clock::time_point m_silenceCounted;  // silence before this counted already
    CLineWatch m_line;
    wxString m_portName;
    int64_t m_refusedLines = 0;
    int64_t m_refusedSinceReading = 0;
    Clock::time_point m_deafFrom;    // the first line refused since the last reading
    Clock::time_point m_deafSaidAt;  // when SayIfDeaf last said so
    std::chrono::milliseconds m_deafNoteInterval{3000};
    int64_t m_lossesAtOpen = 0;
    bool m_refusalReported = false;
    SerialSettings m_settings;
    uint32_t m_timeoutMs;
    bool m_isOpen = false;
};
