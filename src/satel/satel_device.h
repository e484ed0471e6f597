#pragma once

#include "analog/analogDevice.h"
#include "satel/satel_line_measure.h"
#include "serial/lineWatch.h"
#include "serial/serialPort.h"

#include <wx/string.h>

#include <array>
#include <chrono>
#include <cmath>
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
    // Largest reply read whole: the longest its two length bytes can mean (about eleven
    // seconds at 1000 Hz). Only a reply that gives no length can be longer: it is cut.
    static constexpr size_t kMaxReply = kHeaderSize + 0xFFFF + kClosingSize;
    // Bytes that are no reply read in a row at most: past that no reply is on its way.
    static constexpr size_t kLongestNoise = 8192;
    // Samples held back for later frames, besides the one the next frame takes, once
    // the schedule is caught up: at most this many.
    static constexpr size_t kHoldBack = 2;
    static void MakeFrame(uint8_t command, uint8_t argument, uint8_t frame[kFrameSize]);
    static uint16_t DecodeU16(const uint8_t* bytes);  // high byte first
    // One sample's three sensor values.
    static void DecodeSample(const uint8_t* bytes, double values[3]);

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
    // Any thread: of those, how many may be more than were lost: a reply the line took
    // away that gave no length is counted as the most the board can have gathered.
    int64_t GetUnsureLost() const { return m_unsureLost.load(); }
    int64_t GetRepeatedFrames() const { return m_repeatedFrames.load(); }
    // Any thread: samples the spike filter dropped while running, each shown as a
    // repeated frame, between two samples that frames showed.
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
    static constexpr int kChannels = 6;  // sensors 1 to 3, weight, centre of pressure X, Y

protected:
    // The board protocol, acquisition thread (construction aside).
    bool SendCommand(const uint8_t* frame, size_t length);
    // What one read off the line found.
    enum class Reply {
        None,      // nothing (more) came in time
        Samples,   // a whole sample reply in m_reply (m_replySamples whole samples)
        Ack,       // an acknowledgement, of the command in m_reply[4]
        Damaged,   // a reply refused: its samples counted lost
        Vanished,  // the port failed
        Closing,   // the device is closing
        Repeat,    // a reply that brings nothing: no request waits for it, or a copy
        Noise,     // bytes that are no reply, then nothing
        Pending    // a frame fell due while a reply was awaited or on its way: read on later
    };
    // Framing: reads on from what came before until one reply ends, by the board's
    // length where it has shown how it counts, else by its ending; bytes that are no
    // reply are noise. Each byte may take up to timeoutMs.
    Reply ReadOneReply(uint32_t timeoutMs);
    Reply ReadReplyBytes(size_t count, std::chrono::steady_clock::time_point yieldAt,
                         uint32_t timeoutMs);
    Reply ReplyStopped(size_t count);
    Reply RefuseStoppedReply(size_t count);
    // Whether a reply with no request left answers the one a stopped refusal took (see
    // m_tookAhead); then what that refusal counted lost is taken back.
    bool AnswersAhead() const;
    void UseAhead();
    Reply RefuseStopped(size_t count);
    // A header inside a reply read by its length: noted, taken for the reply if its
    // ending stands where its own length ends it. None: read on (from count bytes).
    Reply SettleInner(size_t& count);
    void NoteInnerHeader(size_t count);
    Reply CloseOuter(size_t count);
    bool InnerCloses(size_t count) const;
    size_t TakeInner(size_t count);
    void OpenHeader();
    Reply StartCut(size_t count);
    // What a refused reply of that many bytes held, by its length or else its bytes.
    int64_t RefusedSamples(size_t bytes) const;
    int64_t RefusedAnew(size_t count, bool grown = false);
    int64_t OtherRuleReading(size_t count, size_t length, unsigned& rules) const;
    void SettleRuleRest(size_t length, size_t count, Ending ending);
    // A sample reply of count bytes the line took away midway: its samples counted lost.
    void CountVanished(size_t count);
    void CountGone(size_t count);  // the same, a request known to wait
    int64_t GoneByReadings(size_t length, int64_t most);
    // A whole reply of that length, count bytes and ending shows the board's way: the
    // rest of a reply the line took away, by the reading of that way.
    void SettleGone(size_t length, size_t count, Ending ending);
    // A refused reply's length read every way that fits its bytes, while the board's rule
    // is learnt again: the fewest samples; the rest by the way a whole reply shows.
    int64_t FewestReadingKept(int64_t byBytes, size_t length);
    void SettleReadingRest(size_t length, size_t count, Ending ending);
    // The most samples the reply begun at m_firstByteUs can hold (-1: no bound known).
    int64_t MostGathered() const;
    int64_t FormerWayOr(size_t count, int64_t byBytes, bool grown = false);
    int64_t SamplesByLengthGuess(size_t count, bool grown = false) const;
    // When a read gives way to a due frame, on the steady clock.
    std::chrono::steady_clock::time_point YieldPoint();
    // Whether the '*' at m_reply[count - 1] completes the ending at whole samples.
    bool CanClose(size_t count, Ending ending) const;
    // Whether m_reply ends at count in a block a byte off whole samples, no length given,
    // from a board known to end with a block.
    bool BlockOffEnd(size_t count) const;
    bool InHeaderLength(size_t count) const;
    bool FormerWayDamaged(size_t count, Ending ending);
    bool BlockByteOff(size_t count);
    bool BlockNearEnd(size_t count) const;
    int SamplesIn(size_t count, Ending ending) const;
    static size_t LengthEnd(size_t length, LengthRule rule, Ending ending);
    // A length read each way a board counts (own, star, samples) in that ending: where
    // it ends the reply, and the whole samples before its ending (-1: none whole).
    struct Reading {
        size_t end;
        int64_t samples;
    };
    static constexpr LengthRule kReadRules[3] = {LengthRule::Own, LengthRule::Star,
                                                 LengthRule::Samples};  // in that order
    static std::array<Reading, 3> Readings(size_t length, Ending ending);
    static LengthRule RuleFor(size_t length, size_t count, Ending ending);
    // The samples the header in m_reply says by the board's rule; -1: it says none (no
    // rule learnt, or no length); -2: none this board can mean (not whole samples, more
    // than it can have gathered): noise that looks like a header.
    int64_t SamplesByLength(size_t at = 0) { return SamplesByLength(at, m_lengthRule, m_ending); }
    int64_t SamplesByLength(size_t at, LengthRule rule, Ending ending);
    // A whole sample reply of count bytes that ends in that way: learnt from, then
    // taken (Samples) or found to bring nothing (Repeat).
    Reply CloseSampleReply(size_t count, Ending ending);
    void LearnWay(size_t count, Ending ending, size_t length, int samples);
    void WithdrawAgain();
    size_t DropNewestQueued(size_t count);
    // Refuses the count bytes in m_reply: damaged, its samples (as many as the board
    // sent in it, -1: none known) counted lost unless it is a copy of an earlier reply.
    Reply Refuse(size_t count, int64_t samples);
    // The samples a refused reply of count bytes held by its bytes alone.
    // tail: its last kClosingSize bytes.
    int64_t SamplesByBytes(size_t count, const uint8_t* tail) const;
    // A count by bytes no more than the most a header's length can mean within it.
    int64_t NoMoreThanLength(int64_t byBytes, size_t length, Ending known = Ending::Unknown) const;
    int64_t FewerReading(int64_t byBytes, size_t length, Ending known = Ending::Unknown);
    // The readings of a length (in the known ending, else in either) whole and no more
    // than byBytes: the fewest and the most (-1: none), the rules that read the most.
    struct Span {
        int64_t fewest = -1;
        int64_t most = -1;
        unsigned mostRules = 0;
    };
    Span ReadingsWithin(int64_t byBytes, size_t length, Ending known) const;
    // Accounting: a lost count bounded by what the board can have gathered since the
    // request the last reply taken answered.
    int64_t Bounded(int64_t samples);
    // Whether the count bytes repeat an earlier reply, whose samples were taken or
    // counted already.
    bool IsCopy(const uint8_t* bytes, size_t count) const;
    bool BegunAsCopy(const uint8_t* bytes, size_t count) const;  // the start of an earlier one
    // Keeps a reply read whole, to know its copies: the slot it went to (kSeen: one
    // alike is kept already).
    size_t Remember(const uint8_t* bytes, size_t count);
    // Whether the samples of a reply of count bytes, ended in that way, all hold the
    // values of the newest sample taken: a still board's, never older than those taken.
    bool IsStill(size_t count, Ending ending) const;
    // Whether a byte other than a header's follows the lone '*' that ends m_reply at
    // count (then a byte added inside may have put a sample's '*' there): refused.
    bool LoneFollowed(size_t count);
    // A reply closed by a lone '*' holds until what follows shows the '*' its own.
    void ConfirmLone();
    double LinePauseUs() const;
    bool LoneQuietAWhile();
    // damaged: bytes that followed refuted it (else nothing can confirm it any more).
    void RefuteLone(bool damaged = true);
    Reply SettleLone(std::chrono::steady_clock::time_point yieldAt);
    // A refused reply without a length read on: its bytes up to its ending or the next
    // header tell its samples.
    void StartRefuted(size_t count);
    // The port went before any byte of a stopped reply's rest: it went with the line.
    void RefutedWentWithLine();
    void NoteRefutedByte(uint8_t byte);
    // Whether no byte but the next header can end a damaged reply: a board that gives no
    // length (learnt, or said by the reply's length field, saysNone, while being learnt)
    // whose ending is a lone '*' or not known (any '*' may be a sample's).
    bool EndsOnlyAtHeader(bool saysNone) const;
    bool RestToHeader() const { return EndsOnlyAtHeader(m_refutedSaysNone); }
    static int64_t LoneSamples(size_t bytes);
    // The refused segment read on to its ending (closed) or the next header: its
    // samples counted then.
    void EndRefuted(bool closed = false);
    // Whether its bytes reach the least its header's length can mean, less a byte lost.
    bool RefutedReachedLength() const;
    // Reads off the rest of a reply longer than the largest read: its samples lost.
    Reply ReadOffCut(uint32_t timeoutMs);
    void NoteGarbage();
    // sentUs: program time before the request was written (the thread may be held up
    // while it goes; the board may answer at once).
    void NoteRequest(double sentUs);
    void NoteAnswered();
    // The newest request got no reply in time: counted missed, and its reply, if it
    // comes, late.
    void NoteMissed();
    bool IsRequestWaiting();
    // A set-up step sent (period, configure, reset), and one acknowledged: the board
    // answers in order, so an acknowledgement ends the wait of the requests sent before
    // the step it answers (the oldest unanswered: one may come after the device gave up).
    void NoteSetUpSent();
    void NoteSetUpAnswered();
    // Replies that wait on the line (late ones): their samples taken in order.
    Reply TakeWaitingReplies();
    // A reply begun before: read on (Samples, None, Pending...).
    Reply SettlePartialReply();
    // One reply read as ReadOneReply does, noise before an awaited one passed over.
    Reply ReadAnswer(uint32_t timeoutMs);
    bool AwaitAck(uint8_t command, uint32_t timeoutMs);
    bool CalcOffsets(int ms);
    // The first sample reply after the offsets' wait: its samples, at most expected;
    // -1: none came whole in time.
    int ReadOffsetReply(int expected);
    bool ConfigureBoard(uint32_t timeoutMs = 0);
    // The board's length rule and ending learnt anew from the next replies.
    void ForgetWay();
    bool ReadFrames(int ms);
    enum class ReadOutcome { Samples, Empty, Missed, Damaged, Failed, Pending };
    // Pending: a frame fell due while a reply was on its way (read on next time).
    ReadOutcome GetLastOutcome() const { return m_lastOutcome; }
    bool ParseSample();
    // Whether raw sensor values lie where the spike filter takes them.
    static bool InRawRange(const double raw[3]);
    size_t QueuedSamples() const { return m_queueCount; }
    bool PopSample();
    void TakeSample(bool running);
    bool IsNextTickDue();
    void Pause(int ms);
    void DiscardStale();
    int Waiting();
    int ReadByteBefore(uint8_t* byte, std::chrono::steady_clock::time_point deadline);
    bool IsClosing() const;
    void Unread(const uint8_t* bytes, size_t count);
    void ReadStep();
    bool TryResume();
    void ReadOrResume();
    void PostBack();
    // A loss with samples still queued is said once the frames took them: frames the
    // schedule repeats meanwhile (a held-up thread) come before them.
    void SayLostOnceTaken();
    // The frame a loss or return text names: never one before a frame named already (a
    // return before the samples queued at the loss went, a loss with no fresh frame
    // since the return), so the texts read in order whatever the schedule.
    int64_t NameFrame(int64_t frame);
    void SetYield();
    // The sample reply in m_reply: its samples queued in order. late: it came after its
    // request's time-out.
    void TakeReply(bool late);
    // unsure: of those samples, how many may be more than were lost.
    void CountLost(int64_t samples, int64_t unsure = 0);
    void ForgetReply();
    void QueueSample(const double values[3]);
    size_t DropQueued(size_t keep, bool counted = false);
    void CarryGap(const std::array<int64_t, 3>& gap);
    void ClearGaps();
    void PrimeQueue();
    void PauseUs(int64_t us);
    wxString TextHead() const;
    void NoteLineByte(size_t count);
    void NoteReplyStart();
    void NotedTaken();  // the last byte taken was noted to the line measure

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
    // Acquisition thread: one reply's bytes (sized once, held apart from the object).
    std::vector<uint8_t> m_reply = std::vector<uint8_t>(kMaxReply + 1);
    std::atomic<int64_t> m_missedReplies{0};
    std::atomic<int64_t> m_lateReplies{0};
    std::atomic<int64_t> m_damagedReplies{0};
    std::atomic<int64_t> m_cutReplies{0};
    std::atomic<int64_t> m_skippedSamples{0};
    std::atomic<int64_t> m_lostSamples{0};
    std::atomic<int64_t> m_unsureLost{0};
    // Acquisition thread: a reply the line took away whose length reads several ways
    // while the board's way is learnt again: the samples of each reading (by rule and
    // ending, -1: none), the fewest counted already.
    bool m_goneOpen = false;
    std::array<int64_t, 6> m_goneReadings{};
    int64_t m_goneCounted = 0;
    // Acquisition thread: what refused replies held more than counted, by each way
    // (slots as m_goneReadings) their lengths could be read.
    std::array<int64_t, 6> m_readingRest{};
    // Acquisition thread: samples dropped or lost since the last sample queued, shown
    // by the frame of the next one queued.
    int64_t m_skippedBeforeNext = 0;
    int64_t m_lostBeforeNext = 0;
    int64_t m_unsureBeforeNext = 0;  // of those lost, as GetUnsureLost
    // Acquisition thread: for each queued sample, the samples dropped, lost and of those
    // unsure just before it; those of the one popped last.
    std::vector<std::array<int64_t, 3>> m_queueGaps;
    std::array<int64_t, 3> m_poppedGap{};
    bool m_freshShown = false;  // acquisition thread: a frame carried a sample
    std::atomic<int64_t> m_repeatedFrames{0};
    std::atomic<int64_t> m_filteredSamples{0};
    int64_t m_filteredBeforeNext = 0;  // acquisition thread: said by the next fresh frame
    std::atomic<int64_t> m_repeatedReplies{0};
    // Acquisition thread: the length rule learnt (two agreeing replies make it).
    LengthRule m_lengthRule = LengthRule::Unknown;
    LengthRule m_ruleCandidate = LengthRule::Unknown;
    int m_ruleVotes = 0;
    // Acquisition thread: the board's way before it was learnt again.
    LengthRule m_formerRule = LengthRule::Unknown;
    Ending m_formerEnding = Ending::Unknown;
    int m_otherWayRun = 0;  // replies in a row closed another way that fits the former
    // Of the last such reply refused: its samples counted, and those still to count if
    // it was the former way, or the other.
    int64_t m_otherWayCounted = 0;
    std::array<int64_t, 2> m_otherWayRest{};
    // Those replies were whole the other way too: only a reply before the next set-up
    // tells they were the former way's.
    bool m_otherWayWhole = false;
    std::array<int64_t, 2> m_anewRest{};  // of the reply being refused
    // Likewise where the other reading keeps the former ending but counts its length
    // another rule's way: settled by the rule a later whole reply shows (the rules of
    // the other reading, a bit each, and the former one).
    std::array<int64_t, 2> m_ruleRest{};
    std::array<int64_t, 2> m_anewRuleRest{};
    unsigned m_ruleRestRules = 0;
    unsigned m_anewRules = 0;
    bool m_anewFewer = false;  // the rest is of the fewer reading (FewerReading)
    LengthRule m_ruleRestFormer = LengthRule::Unknown;
    // The ending a whole reply settles the rest in (Unknown: any), of it and of the reply
    // being refused.
    Ending m_ruleRestEnding = Ending::Unknown;
    Ending m_anewRuleEnding = Ending::Unknown;
    // Acquisition thread: replies in a row refused as a block a byte off, and the sample
    // the last one holds more if the board's ending proves lone.
    int m_blockOffRun = 0;
    int64_t m_blockOffRest = 0;
    bool m_inGarbage = false;
    // Acquisition thread: the reply being read: where its length ends it (0: by its
    // ending), and whether that length is the board's.
    size_t m_lengthEnd = 0;
    Ending m_lengthEnding = Ending::Unknown;  // the ending that length was read in
    LengthRule m_lengthReadRule = LengthRule::Unknown;  // and the rule
    size_t m_innerAt = 0;     // a header inside it whose length reads the board's way
    size_t m_innerEnd = 0;    // and where that length ends a reply
    size_t m_outerClose = 0;  // where it closed whole before that (0: it did not)
    // Acquisition thread: the last reply stopped right after its header and was refused,
    // its length counted (lost, and against the bound); nothing of its rest came yet.
    bool m_stoppedHeader = false;
    int64_t m_stoppedLost = 0;
    int64_t m_stoppedCounted = 0;
    // Acquisition thread: a reply refused as it stopped took a request and nothing of its
    // rest came since: it may have been a header in noise before a board held up, whose
    // reply then comes with no request left (the next one went to a set-up). What it
    // counted lost and unsure, against the bound, and the samples queued by then.
    bool m_tookAhead = false;
    int64_t m_aheadLost = 0;
    int64_t m_aheadUnsure = 0;
    int64_t m_aheadCounted = 0;
    uint64_t m_aheadMark = 0;
    bool m_refusedAnswered = false;  // the reply refused last took a request
    size_t m_minEnd = 0;           // no ending before (a length whose rule is not learnt)
    int64_t m_byLength = -1;       // the samples its length says, -1: it says none
    bool m_headerPlausible = true; // its length is one this board's way can mean
    // Acquisition thread: the bytes of a refused reply while its rest is read (0: none),
    // and its last ones.
    size_t m_refutedBytes = 0;
    // Acquisition thread: the newest queued samples, of a reply closed by a lone '*' not
    // yet confirmed (no frame takes them), and the samples its length says (-1: none).
    size_t m_unconfirmed = 0;
    bool m_loneOpen = false;     // such a reply (maybe empty) waits to be confirmed
    int64_t m_refutedBase = -1;  // of a refuted one: its samples taken back (-1: none)
    size_t m_refutedRest = 0;    // and the bytes that followed
    size_t m_refutedStarRest = 0;  // of those, up to the last '*'
    bool m_refutedAsked = false;   // refuted once the next request went
    size_t m_refutedAskedRest = 0;  // or else, its rest up to its last '*' when it went
    int64_t m_refutedCloseAt = -1;  // its samples where it could end, bytes behind (-1: none)
    int64_t m_refutedHead = 0;     // the samples its bytes held when refused
    size_t m_refutedLength = 0;    // and the length its header gave (0: none)
    bool m_refutedSaysNone = false;  // its whole length field read 0
    bool m_refutedGone = false;    // a sample reply stopped midway: its length may tell
    int64_t m_unconfirmedByLength = -1;
    bool m_unconfirmedSaysNone = false;  // its length field read 0
    double m_unconfirmedGapUs = 0.0;  // the line's pause allowed after it
    bool m_loneAsked = false;         // the next request went while it waits
    double m_replyGapUs = 0.0;        // the longest pause between bytes of the reply read
    bool m_replyLone = false;
    bool m_refusedCopy = false;  // the reply refused last was a copy
    std::array<uint8_t, kClosingSize> m_refutedLast{};
    // Acquisition thread: the rest of a cut reply being read off.
    bool m_cutting = false;
    std::array<uint8_t, kSampleSize> m_cutGroup{};
    size_t m_cutInGroup = 0;
    int64_t m_cutLost = 0;
    bool m_cutCopy = false;  // no request waited for it
    // Acquisition thread: the last whole replies read, to know a copy.
    static constexpr size_t kSeen = 8;
    std::vector<std::array<uint8_t, kMaxReply + 1>> m_seen =
        std::vector<std::array<uint8_t, kMaxReply + 1>>(kSeen);
    std::array<size_t, kSeen> m_seenSize{};
    size_t m_seenNext = 0;
    size_t m_lastSeen = kSeen;         // the slot the last reply closed was kept in
    size_t m_unconfirmedSeen = kSeen;  // and that of a reply closed by a lone '*' not confirmed
    // Acquisition thread: the newest sample taken, as the board sent it, and the one
    // before the last reply's (a reply taken back leaves it the newest).
    std::array<uint8_t, kSampleSize> m_newest{};
    bool m_hasNewest = false;
    std::array<uint8_t, kSampleSize> m_newestBefore{};
    bool m_hadNewestBefore = false;
    // Acquisition thread: whether the last reply taken held only the values of the one
    // before (a still board, or a copy that came as a request was sent), its samples,
    // and the samples queued in all after it; the reply being taken does.
    bool m_lastWasAgain = false;
    size_t m_againSamples = 0;
    uint64_t m_againMark = 0;
    bool m_replyAgain = false;
    bool m_lastTakenEmpty = false;  // the last reply taken held no sample
    uint64_t m_queuedTotal = 0;  // acquisition thread: samples ever queued
    // Acquisition thread: program times of the 'B' requests not answered yet, oldest
    // first; one unanswered for long waits no more.
    static constexpr size_t kRequestRing = 32;
    std::array<double, kRequestRing> m_requestUs{};
    std::array<bool, kRequestRing> m_requestMissed{};  // counted missed while awaited
    size_t m_requestHead = 0;
    size_t m_requestCount = 0;
    size_t m_expiredRequests = 0;  // given up on, while no reply had come for them
    size_t m_expiredMissed = 0;    // of those, counted missed
    bool m_answeredMissed = false;  // the request the last reply answered was counted missed
    uint64_t m_requestsNoted = 0;   // 'B' requests ever noted
    // Acquisition thread: the set-up steps sent and not acknowledged yet, oldest first:
    // runs of them sent with no request between, each by the requests noted before it.
    static constexpr size_t kSetUpRing = 8;
    std::array<uint64_t, kSetUpRing> m_setUpAfter{};
    std::array<uint32_t, kSetUpRing> m_setUpRun{};
    size_t m_setUpHead = 0;
    size_t m_setUpCount = 0;
    // Acquisition thread: program time of the request the last reply taken answered,
    // and the samples taken or counted lost since: the board gathered no more than the
    // time since allows.
    double m_lastAnsweredUs = 0.0;
    double m_boundFromUs = 0.0;
    int64_t m_countedSince = 0;
    bool m_cutReported = false;    // acquisition thread
    ReadOutcome m_lastOutcome = ReadOutcome::Empty;  // acquisition thread
    bool m_lineVanished = false;  // acquisition thread: the last failure was the port's
    // Acquisition thread: bytes of the reply begun (kept while a frame goes out), the
    // deadline for its next byte, and the samples of the last sample reply read.
    size_t m_replyFill = 0;
    bool m_awaiting = false;
    size_t m_noiseAwaiting = 0;  // noise reads since the last request
    std::chrono::steady_clock::time_point m_byteDeadline;
    int m_replySamples = 0;
    // Acquisition thread: program time by which a read gives way to a due frame.
    double m_yieldAtUs = HUGE_VAL;
    // Acquisition thread: the last byte's time, the first of the reply being read; the
    // read that brought the byte read last (0: a byte read again) and the last read's.
    double m_lastByteUs = 0.0;
    double m_firstByteUs = 0.0;
    uint32_t m_byteRead = 0;
    uint32_t m_readCount = 0;
    size_t m_unreadLeft = 0;  // bytes at the head of m_input read again
    CSatelLineMeasure m_lineMeasure;  // acquisition thread (period set at construction)
    int64_t m_takenReplies = 0;
    int64_t m_takenSamples = 0;
    Ending m_ending = Ending::Unknown;  // acquisition thread (construction aside)
    // Acquisition thread: bytes read ahead of the reply being read, with room for a
    // refused reply's bytes to be read again.
    std::array<uint8_t, 2 * kLongestNoise + 256> m_input{};
    size_t m_inputHead = 0;
    size_t m_inputCount = 0;
    // The reads that brought the bytes read again (0: noted already), as m_input holds
    // them, and those of the last bytes taken (0 once noted): a byte looked ahead at is
    // noted only when read again, with the read it came in.
    std::array<uint32_t, 2 * kLongestNoise + 256> m_inputReads{};
    std::array<uint32_t, 8> m_takenReads{};
    size_t m_takenCount = 0;
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
    bool m_lostUnsaid = false;         // acquisition thread: lost, samples still queued
    int64_t m_namedFrame = 0;          // acquisition thread: the latest frame a text named
    int64_t m_namedAt = 0;             // acquisition thread: and the frame count then
    double m_nextReadUs = 0.0;         // acquisition thread: no read before (program time)
    bool m_missReported = false;       // acquisition thread
    bool m_damageReported = false;     // acquisition thread
    uint32_t m_replyTimeoutMs = 75;    // set before the thread runs
    uint32_t m_configTimeoutMs = 1000;
    std::mutex m_closeMutex;  // leaf lock: m_closing is set under it for the pauses
    std::condition_variable m_closeWake;
    std::atomic<bool> m_closing{false};
};
