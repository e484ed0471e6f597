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
    // Of every reply: '#', 'I', the length (high byte first; 0 from boards that give
    // none), the kind ('B' for samples, the command acknowledged).
    static constexpr size_t kHeaderSize = 5;
    static constexpr size_t kSampleSize = 6;      // three big-endian int16, sensors 1 to 3
    static constexpr size_t kClosingSize = 6;     // ends a sample reply: five zero bytes, '*'
    // How this board ends its sample replies, once seen: five zero bytes and '*', or a
    // lone '*'.
    enum class Ending { Unknown, Block, Lone };
    // What this board's two length bytes count, once seen: nothing (always 0), the
    // bytes from the kind to before the closing '*' (as in the commands), the same and
    // the '*', or the sample bytes only.
    enum class LengthRule { Unknown, None, Own, Star, Samples };
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
    // Any thread: replies longer than the largest read, cut there (the samples of
    // their rest are lost).
    int64_t GetCutReplies() const { return m_cutReplies.load(); }
    // Any thread: board samples dropped, and frames that went out without a new board
    // sample (repeating the last values), to keep the schedule while running: where
    // the board's clock drifts from ours, while the line is silent.
    int64_t GetSkippedSamples() const { return m_skippedSamples.load(); }
    // Any thread: board samples lost in replies refused as damaged or cut, that the
    // frames show missing.
    int64_t GetLostSamples() const { return m_lostSamples.load(); }
    int64_t GetRepeatedFrames() const { return m_repeatedFrames.load(); }
    // Any thread: samples the spike filter dropped while running, each shown as a
    // repeated frame.
    int64_t GetFilteredSamples() const { return m_filteredSamples.load(); }
    // Any thread: sample replies that came again (a request answered twice), dropped.
    int64_t GetRepeatedReplies() const { return m_repeatedReplies.load(); }
    // Acquisition thread (tests: while it does not run): what was learnt of the board.
    LengthRule GetLengthRule() const { return m_lengthRule; }
    Ending GetEnding() const { return m_ending; }
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
    // What one read off the line found.
    enum class Reply {
        None,      // nothing more came in time (m_replyFill keeps what did)
        Samples,   // a whole sample reply in m_reply (m_replySamples whole samples)
        Ack,       // an acknowledgement, of the command in m_reply[4]
        Damaged,   // bytes that are no reply: refused, counted, the line read quiet
        Vanished,  // the port failed
        Closing,   // the device is closing
        Repeat,    // the last sample reply again (a request answered twice): dropped
        Noise      // bytes that are no reply and then nothing: skipped, counted
    };
    // Reads one reply on from the m_replyFill bytes already there, checking its header
    // ('#', 'I', length, kind), its length when the board gives one, and its ending.
    // room: the most bytes a sample reply may take; past it the reply is cut and its
    // rest read off and counted. expected: samples the reply should about hold.
    Reply ReadOneReply(size_t room, uint32_t timeoutMs, int expected = 0);
    // Whether the '*' just stored at m_reply[count - 1] can close a sample reply
    // without a length, by its place and the board's ending.
    bool CanClose(size_t count, Ending ending) const;
    // Whole samples in the sample reply of count bytes in m_reply that ends in that
    // way, -1 when it does not.
    int SamplesIn(size_t count, Ending ending) const;
    // Drops the reply being read: counted as damaged, its samples lost. ended: it was
    // read to its closing '*'; otherwise the line is read until it is quiet so that the
    // next reply starts clean.
    Reply Refuse(size_t count, bool ended);
    // The whole sample reply of count bytes that ends in that way: checked against
    // what the board's length bytes say and against the last reply, learnt from.
    Reply CloseSampleReply(size_t count, Ending ending);
    // A sample reply that ends with '*' and nothing after it: taken when whole by the
    // board's ending, else refused.
    Reply FinishSampleReply(size_t count);
    // At a '*' of a sample reply: the ending that closes it here, or Unknown (data).
    Ending ClosesAt(size_t count, int expected, uint32_t timeoutMs);
    // Where the length bytes end a reply under a rule (0: they do not say).
    static size_t LengthEnd(size_t length, LengthRule rule, Ending ending);
    int64_t SamplesOfRefused(size_t bytes) const;
    // Bytes that followed a reply refused at a '*' or a time-out, before the next header:
    // its rest, its samples counted lost.
    void NoteRefusedTail(const uint8_t* bytes, size_t count);
    // Whether the refused reply's bytes so far close with the board's ending.
    bool EndsRefused() const;
    // Whether the sample reply of count bytes in m_reply, with the input's bytes up to
    // at, closes by the board's ending.
    bool EndsBefore(size_t count, size_t at) const;
    // A sample reply refused at count bytes in m_reply, holding samples by what came: its
    // samples counted lost, unless it repeats the last reply read.
    void BeginRefused(size_t count, int64_t samples);
    // One more byte of the refused reply.
    void TrackRefused(uint8_t byte);
    // Counts what the refused reply holds, once it is no copy.
    void CountRefused();
    // Its end: a part shorter than a sample that matched tells no copy.
    void SettleRefused();
    // Whether the count bytes of a sample reply repeat the last one read: all of it, or
    // (cut, or refused with a sample at least) the part that came of it.
    bool IsCopyOfLast(size_t count) const;
    // A copy of the last reply read: no samples (an answer, while a request waits).
    Reply TakeCopy();
    // A reply that repeats the refused one: the samples counted lost for it come after
    // all (when no sample was queued since).
    void WithdrawRefused();
    // Bytes that are no header right after a reply closed at a lone '*' that nothing
    // followed: a byte added inside it had put a sample's '*' there. Its samples still
    // queued are taken back, counted lost.
    void RetractUnseen();
    // The samples the length of the reply in m_reply says it holds, by the rule learnt;
    // -1 where it says nothing.
    int64_t SamplesByLength(size_t count) const;
    static LengthRule RuleFor(size_t length, size_t count, Ending ending);
    // Bytes off the line that are no reply header: skipped, one burst counted once.
    void NoteGarbage();
    // A 'B' sent, and a sample reply taken for the oldest one outstanding.
    void NoteRequest();
    void NoteAnswered();
    // Whether a request sent lately still waits for its answer.
    bool IsRequestWaiting();
    // The rest of a reply cut at count bytes, read off: the samples it held.
    int64_t ReadOffCutRest(size_t count, size_t total);
    // Replies that wait on the line (late ones): their samples taken in order.
    // Samples when a sample reply was taken; None when one is still on its way; Ack
    // when nothing stands in the way of a request; Vanished or Closing.
    Reply TakeWaitingReplies();
    // A reply whose rest is still on its way: read on when bytes came (Samples: taken;
    // None: still not whole); when none came it is refused (Damaged), unless it is whole
    // by the other ending (the board's ending was taken wrongly: Samples).
    Reply SettlePartialReply();
    // Waits for the acknowledgement of command; sample replies met meanwhile are taken
    // (late ones: their samples are the board's), other acknowledgements passed over.
    bool AwaitAck(uint8_t command, uint32_t timeoutMs);
    // Room for the next sample reply: what the board gathered since it sent its last
    // reply, and what it gathers until this one may come.
    size_t RoomForReply(int atLeastSamples = 0);
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
    // Acquisition thread: drops what waits in the receive queue (before any frame).
    void DiscardStale();
    // Bytes waiting: those read ahead and those in the receive queue.
    int Waiting();
    // One byte before the deadline, waiting in short slices so that closing is seen:
    // 1, 0 time-out, -2 the line went away, -3 closing.
    int ReadByteBefore(uint8_t* byte, std::chrono::steady_clock::time_point deadline);
    bool IsClosing() const;
    // What follows on the line, by the deadline: nothing, the header of a reply, or
    // other bytes (data). The bytes stay for the next reads.
    enum class Next { Nothing, Reply, Data };
    Next Follows(std::chrono::steady_clock::time_point deadline);
    // Bytes read once more by the next reads (a header read past the reply before it).
    void Unread(const uint8_t* bytes, size_t count);
    // Acquisition thread: one read of the stream and what it means for the line.
    void ReadStep();
    // Acquisition thread: while the line is lost, opens it again when it went away and
    // configures the board; true when the board answers.
    bool TryResume();
    // Acquisition thread: the read a due step makes, or while the line is lost an
    // attempt to resume it; says the line's return.
    void ReadOrResume();
    void PostBack();
    // The sample reply in m_reply: its samples queued in order, the counters moved.
    // late: it came after its request's time-out.
    void TakeReply(bool late);
    // Samples of the board that no frame will carry (refused, cut replies).
    void CountLost(int64_t samples);
    // A new line: nothing of a reply read before belongs to it.
    void ForgetReply();
    void QueueSample(const double values[3]);
    // Drops queued samples, oldest first, until keep remain; counted: as samples
    // dropped to keep the schedule, shown by the next sample that reaches a frame.
    size_t DropQueued(size_t keep, bool counted = false);
    // Samples gone (dropped, lost) before the oldest queued sample, or before the next
    // one queued when none waits.
    void CarryGap(const std::array<int64_t, 2>& gap);
    // Forgets what went missing before the oldest sample waiting (before the first
    // frame: no frame shows it).
    void ClearGaps();
    // Before the first frame: reads until two samples wait, the newer one less than a
    // period old, so that each tick takes a sample that came a whole period before it,
    // whatever the phase of the board's clock.
    void PrimeQueue();
    void PauseUs(int64_t us);
    // "<SATEL> name on port: ", the head of the texts about this board.
    wxString TextHead() const;

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
    std::atomic<int64_t> m_missedReplies{0};
    std::atomic<int64_t> m_lateReplies{0};
    std::atomic<int64_t> m_damagedReplies{0};
    std::atomic<int64_t> m_cutReplies{0};
    std::atomic<int64_t> m_skippedSamples{0};
    std::atomic<int64_t> m_lostSamples{0};
    // Acquisition thread: samples dropped (to keep the schedule; in refused or cut
    // replies) since the last sample queued, counted when the frame of the next one
    // queued shows the gap (not if the run ends first).
    int64_t m_skippedBeforeNext = 0;
    int64_t m_lostBeforeNext = 0;
    // Acquisition thread: for each queued sample, the samples dropped and lost just
    // before it (the frames show them missing when it is shown); those of the one
    // popped last.
    std::vector<std::array<int64_t, 2>> m_queueGaps;
    std::array<int64_t, 2> m_poppedGap{};
    // Acquisition thread: whether a frame carried a sample since the start; what went
    // missing before the first one that does belongs to no frame.
    bool m_freshShown = false;
    std::atomic<int64_t> m_repeatedFrames{0};
    std::atomic<int64_t> m_filteredSamples{0};
    std::atomic<int64_t> m_repeatedReplies{0};
    // Acquisition thread: the length rule learnt (two agreeing replies in a row make
    // it; one whole reply that disagrees undoes it), and replies in a row that fitted
    // only the other ending (three make it the board's).
    LengthRule m_lengthRule = LengthRule::Unknown;
    LengthRule m_ruleCandidate = LengthRule::Unknown;
    int m_ruleVotes = 0;
    int m_otherEndingRun = 0;
    bool m_inGarbage = false;
    // Acquisition thread: the last sample reply refused at a '*', while bytes that may
    // be its rest follow: its bytes after the header and the samples counted lost.
    bool m_refusedTail = false;
    size_t m_refusedHeaderLeft = 0;  // of a reply stopped within its header
    std::array<uint8_t, kClosingSize> m_refusedLast{};  // its last bytes
    // Acquisition thread: the last reply closed at a lone '*' with nothing after it yet
    // (ClosesAt), the samples it queued, and the samples queued in all when it was taken.
    bool m_loneUnseen = false;
    int64_t m_unseenSamples = 0;
    uint64_t m_unseenMark = 0;
    uint64_t m_queuedTotal = 0;  // acquisition thread: samples ever queued
    size_t m_refusedBytes = 0;
    int64_t m_refusedCounted = 0;
    // Acquisition thread: the reply refused last: its bytes so far (header included),
    // whether they repeat the last sample reply read (a copy: that one counted its
    // samples), the samples it holds by what came, and the samples queued in all when it
    // was refused.
    size_t m_refusedAt = 0;
    bool m_refusedCopy = false;
    int64_t m_refusedDue = 0;
    uint64_t m_refusedMark = 0;
    // Acquisition thread: the last sample reply read, to know it when it comes again: its
    // bytes (of a cut one the part read; of a refused one what came of it) and its fate.
    enum class Fate { Taken, Cut, Refused };
    std::array<uint8_t, kMaxReply + 1> m_lastReply{};
    size_t m_lastReplySize = 0;
    Fate m_lastFate = Fate::Taken;
    // Acquisition thread: program times of the 'B' requests not answered yet, oldest
    // first (a request the board never answers stays until pushed out: the room for
    // a reply is then larger, never smaller).
    static constexpr size_t kRequestRing = 32;
    std::array<double, kRequestRing> m_requestUs{};
    size_t m_requestHead = 0;
    size_t m_requestCount = 0;
    // Acquisition thread: program time of the request the last sample reply taken
    // answered; the board holds at most what it gathered since then.
    double m_lastAnsweredUs = 0.0;
    bool m_cutReported = false;    // acquisition thread
    ReadOutcome m_lastOutcome = ReadOutcome::Empty;  // acquisition thread
    bool m_lineVanished = false;  // acquisition thread: the last failure was the port's
    // Acquisition thread: the reply being read. Bytes of it so far (kept across a
    // time-out), the room of its read, and the whole samples of the last sample reply
    // read.
    size_t m_replyFill = 0;
    size_t m_replyRoom = 0;
    int m_replySamples = 0;
    // Acquisition thread: sample replies and samples taken so far (what a step brought).
    int64_t m_takenReplies = 0;
    int64_t m_takenSamples = 0;
    Ending m_ending = Ending::Unknown;  // acquisition thread (construction aside)
    // Acquisition thread: bytes read ahead of the reply being read; reads leave room
    // for a header to be put back (Unread).
    std::array<uint8_t, 256 + kHeaderSize> m_input{};
    size_t m_inputHead = 0;
    size_t m_inputCount = 0;
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
