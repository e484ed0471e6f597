#pragma once

#include "analog/analogDevice.h"
#include "serial/lineWatch.h"
#include "serial/serialPort.h"

#include <wx/string.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

// The SATEL balance board, a three-sensor force platform on a serial line, as an
// analog device: three sensor loads, the weight and the centre of pressure. Owned by
// the main frame. Construction, parameters and Close: GUI thread; Process and what it
// reaches (the board protocol): the acquisition thread.
class CSerialSatelDevice : public CAnalogDevice {
public:
    // periodMs: sampling period sent to the board (1 to 255; anything else is 25).
    // sizeMm: side of the sensor triangle.
    CSerialSatelDevice(const wxString& port, int periodMs, bool synchronised, double sizeMm,
                       bool verbose);
    ~CSerialSatelDevice() override;

    static wxString MakeDevicePath(const wxString& port);

    // Command frames: '#' 'I' 00 03 command argument 00 '*'.
    static constexpr size_t kFrameSize = 8;
    static constexpr uint8_t kSetPeriod = 0x50;   // 'P', argument: period in ms
    static constexpr uint8_t kConfigure = 0x43;   // 'C', argument 1
    static constexpr uint8_t kReset = 0x52;       // 'R', argument 0
    static constexpr uint8_t kSamples = 0x42;     // 'B': start, send samples gathered since
    static constexpr uint8_t kTerminator = 0x2A;  // '*': ends frames and replies
    static constexpr size_t kHeaderSize = 5;      // of a sample reply
    static constexpr size_t kSampleSize = 6;      // three big-endian int16, sensors 1 to 3
    static constexpr size_t kClosingSize = 6;     // ends a sample reply: five zero bytes, '*'
    // Largest reply taken in one read (over a second at 1000 Hz); longer ones are cut.
    static constexpr size_t kMaxReply = 8192;
    // Samples held back for later frames, besides the one the next frame takes, once
    // the schedule is caught up: at most this many.
    static constexpr size_t kHoldBack = 2;
    static void MakeFrame(uint8_t command, uint8_t argument, uint8_t frame[kFrameSize]);
    static uint16_t DecodeU16(const uint8_t* bytes);  // high byte first
    // One sample's three sensor values.
    static void DecodeSample(const uint8_t* bytes, double values[3]);
    // Bytes one read takes for a reply of that many samples, and extra more (a reply
    // that comes late brings what the board gathered meanwhile).
    static size_t SampleReplySize(int samples, int extra = 0);

    bool open(const wxString& port);
    const wxString& GetPortName() const { return m_portName; }
    int GetPeriodMs() const { return m_period; }
    bool AreOffsetsDone() const { return m_offsetsDone.load(); }
    // Raw units; read them while the acquisition thread does not run.
    double GetBoardOffset(int sensor) const
    {
        return sensor >= 0 && sensor < 3 ? m_boardOffset[sensor] : 0.0;
    }
    // Any thread: samples the spike filter dropped.
    int64_t GetDroppedSamples() const { return m_droppedSamples.load(); }
    // Any thread: sample requests the board did not answer in time, those of them whose
    // reply came later (its samples kept), and replies refused as damaged (stopped
    // midway, or bytes that came unasked).
    int64_t GetMissedReplies() const { return m_missedReplies.load(); }
    int64_t GetLateReplies() const { return m_lateReplies.load(); }
    int64_t GetDamagedReplies() const { return m_damagedReplies.load(); }
    // Any thread: replies longer than the largest read, cut there.
    int64_t GetCutReplies() const { return m_cutReplies.load(); }
    // Any thread: board samples dropped, and frames that went out without a new board
    // sample (repeating the last values), to keep the schedule while running: where
    // the board's clock drifts from ours, while the line is silent.
    int64_t GetSkippedSamples() const { return m_skippedSamples.load(); }
    int64_t GetRepeatedFrames() const { return m_repeatedFrames.load(); }
    int64_t GetLineLosses() const { return m_line.GetLostCount(); }
    bool IsLineLost() const { return m_line.IsLost(); }
    // GUI thread, before the acquisition thread runs: the longest wait for a sample
    // reply (by default a few sample periods) and for a configuration reply.
    void SetReplyTimeouts(std::chrono::milliseconds sample, std::chrono::milliseconds config);
    void SetReopenInterval(std::chrono::milliseconds interval) { m_line.SetReopenInterval(interval); }
    // The default sample reply time-out for a period: a few periods, never very short.
    static uint32_t DefaultReplyTimeoutMs(int periodMs);

    bool Process(bool tick, bool running) override;
    void Close() override;
    void Reset() override;
    void CheckInit() override;
    bool IsReady() const override { return m_ready.load(); }
    void* GetParam(int id, int* count, int* type) override;
    wxString GetParamLabel(int id) override;
    wxString GetParamKey(int id) override;
    bool SetParam(const void* value, int id, int count, int type, bool* changed) override;
    int GetChoiceCount(int id) override;
    wxString GetChoiceLabel(int id, int choice) override;
    bool LoadConfig(wxConfigBase* config) override;
    bool CanShowCPStat() const override { return m_cpDevice; }
    int GetCPXChannel() const override { return 4; }
    int GetCPYChannel() const override { return 5; }
    int GetCPXIndex() const override;
    int GetCPYIndex() const override;
    bool CanOffset() const override { return false; }
    bool HasBattery() const override { return false; }

    static constexpr int kOwnParams = 8;

protected:
    // The board protocol, acquisition thread (construction aside).
    bool SendCommand(const uint8_t* frame, size_t length);
    // Count of bytes placed in buffer (header dropped when asked), 0 on failure.
    // timeoutMs 0: the sample reply time-out for sample replies, the configuration
    // one for the others.
    int ReadReply(uint8_t* buffer, size_t maxCount, bool stripHeader, uint32_t timeoutMs = 0);
    // A sample reply into m_reply, going on after the m_replyFill bytes already there:
    // its byte count (closed, m_replyClosed set, or maxCount reached), 0 on time-out
    // (m_replyFill keeps what came), negative on failure (-2 the line went away, -3 the
    // device is closing). expected: the samples the reply should about hold.
    int ReadSampleReply(size_t maxCount, uint32_t timeoutMs, int expected = 0);
    // Whether the '*' just stored at m_reply[count - 1] can close the reply, by its
    // place alone (where a closing block or a lone closing byte would end).
    bool CanClose(size_t count) const;
    // A reply ending at the first '*' into m_reply; same results.
    int ReadAck(size_t maxCount, uint32_t timeoutMs);
    bool CalcOffsets(int ms);
    bool ConfigureBoard(uint32_t timeoutMs = 0);
    bool ReadFrames(int ms);
    // What the last ReadFrames met.
    enum class ReadOutcome { Samples, Empty, Missed, Damaged, Failed };
    ReadOutcome GetLastOutcome() const { return m_lastOutcome; }
    // Filters the sample in m_raw and makes the row of it; false when dropped.
    bool ParseSample();
    // Acquisition thread: the samples read and not yet handed to a frame, oldest first.
    size_t QueuedSamples() const { return m_queueCount; }
    // Takes the oldest queued sample into m_raw; false when none waits.
    bool PopSample();
    // A due tick: the oldest queued sample makes the row (none: the row stays and the
    // frame repeats it); dispatched while running; then what a clock that runs ahead
    // left beyond the hold-back goes.
    void TakeSample(bool running);
    // Whether the tick after the one just taken is due already (frames catching up).
    bool IsNextTickDue();
    // Waits ms milliseconds, less when the device is closing.
    void Pause(int ms);
    // Acquisition thread: drops what waits in the receive queue, so that it is never
    // read as the head of the next reply.
    void DiscardStale();
    // One byte before the deadline, waiting in short slices so that closing is seen:
    // 1, 0 time-out, -2 the line went away, -3 closing.
    int ReadByteBefore(uint8_t* byte, std::chrono::steady_clock::time_point deadline);
    bool IsClosing() const;
    // Acquisition thread: one read of the stream and what it means for the line.
    void ReadStep();
    // Acquisition thread: while the line is lost, opens it again when it went away and
    // configures the board; true when the board answers.
    bool TryResume();
    void PostBack();
    // Samples in a reply of count bytes after its header, or -1 when no ending fits.
    static int SamplesIn(int count);
    // A read reply of count bytes (room: the most the read could take): its samples
    // queued in order, the outcome set, the counters moved. late: the reply of an
    // earlier request that had timed out. True when it brought samples.
    bool TakeReply(int count, size_t room, bool late);
    // A request that timed out: the rest of its reply, or the whole of it, when it came
    // meanwhile. True when that settled the step (no new request then).
    bool TakeLateReply();
    // After a cut reply: reads off its rest until the line is quiet a moment.
    void DrainCutReply();
    void QueueSample(const double values[3]);
    // Drops queued samples, oldest first, until keep remain.
    size_t DropQueued(size_t keep);
    // Before the first frame: reads until two samples wait, the newer one less than a
    // period old, so that each tick takes a sample that came a whole period before it,
    // whatever the phase of the board's clock.
    void PrimeQueue();
    void PauseUs(int64_t us);

    CSerialPort m_port;
    SerialSettings m_settings;
    wxString m_portName;
    int m_period = 25;  // ms
    double m_size = 400.0;
    std::atomic<bool> m_offsetsDone{false};
    double m_boardOffset[3] = {0.0, 0.0, 0.0};
    double m_raw[3] = {0.0, 0.0, 0.0};
    double m_previous[3] = {0.0, 0.0, 0.0};
    // The last sample the step test refused: a new level that repeats is taken.
    double m_rejected[3] = {0.0, 0.0, 0.0};
    bool m_hasRejected = false;
    double m_cpX = 0.0;
    double m_cpY = 0.0;
    double m_weight = 0.0;
    double m_weightScale = 1.0;                    // guarded by the data mutex
    double m_triangleFactor = 3.4641016151377544;  // 2 x sqrt(3)
    double m_yOffset = 0.0;                        // guarded by the data mutex
    double m_minTotal = 10.0;
    std::atomic<double> m_lastRead{0.0};  // program time of the last read, us
    double m_halfPeriod = 0.0;            // seconds
    std::atomic<int64_t> m_droppedSamples{0};
    std::array<uint8_t, kMaxReply + 1> m_reply{};   // acquisition thread: one read's bytes
    std::array<uint8_t, kMaxReply + 1> m_frames{};  // acquisition thread: samples of a read
    std::atomic<int64_t> m_missedReplies{0};
    std::atomic<int64_t> m_lateReplies{0};
    std::atomic<int64_t> m_damagedReplies{0};
    std::atomic<int64_t> m_cutReplies{0};
    std::atomic<int64_t> m_skippedSamples{0};
    // Acquisition thread: samples dropped since the last fresh frame, counted as
    // skipped when the next fresh frame shows the gap (not if the run ends first).
    int64_t m_skippedBeforeNext = 0;
    std::atomic<int64_t> m_repeatedFrames{0};
    double m_lastRequestUs = 0.0;  // acquisition thread: program time of the last 'B'
    bool m_cutReported = false;    // acquisition thread
    ReadOutcome m_lastOutcome = ReadOutcome::Empty;  // acquisition thread
    bool m_lineVanished = false;  // acquisition thread: the last failure was the port's
    // Acquisition thread: the reply being read. Bytes of it so far (kept across a
    // time-out), whether the last read closed it, the room of its read, and whether
    // its request timed out with the reply still to come.
    size_t m_replyFill = 0;
    bool m_replyClosed = false;
    size_t m_replyRoom = 0;
    bool m_replyPending = false;
    // Acquisition thread: the rest of a cut reply is still on its way (not unasked).
    bool m_expectStale = false;
    // Acquisition thread: samples read and not yet dispatched, a ring sized at
    // construction for the longest reply.
    std::vector<std::array<double, 3>> m_queue;
    size_t m_queueHead = 0;
    size_t m_queueCount = 0;

private:
    void ApplyExportExtension();
    int EnabledBefore(int channel) const;
    // Diagnostics for the error stream (the Errors page once an owner is set).
    void LogError(const wxString& text);
    void FixRange();

    void ReportOnce(bool& reported, const wxString& text);

    CLineWatch m_line;
    int64_t m_lostFrame = -1;          // acquisition thread: the first frozen frame
    double m_nextReadUs = 0.0;         // acquisition thread: no read before (program time)
    bool m_missReported = false;       // acquisition thread
    bool m_damageReported = false;     // acquisition thread
    uint32_t m_replyTimeoutMs = 75;    // set before the thread runs
    uint32_t m_configTimeoutMs = 1000;
    std::mutex m_closeMutex;  // leaf lock: m_closing is set under it for the pauses
    std::condition_variable m_closeWake;
    std::atomic<bool> m_closing{false};
};
