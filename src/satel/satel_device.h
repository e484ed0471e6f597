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
    static constexpr size_t kClosingSize = 6;     // ends a sample reply, '*' last
    // Largest reply taken in one read; longer ones are cut there.
    static constexpr size_t kMaxReply = 4096;
    static void MakeFrame(uint8_t command, uint8_t argument, uint8_t frame[kFrameSize]);
    static uint16_t DecodeU16(const uint8_t* bytes);  // high byte first
    // One sample's three sensor values.
    static void DecodeSample(const uint8_t* bytes, double values[3]);
    // Bytes one read takes for a reply of that many samples.
    static size_t SampleReplySize(int samples);

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
    // Any thread: sample requests the board did not answer in time, and replies
    // refused as damaged (a length that fits no reply).
    int64_t GetMissedReplies() const { return m_missedReplies.load(); }
    int64_t GetDamagedReplies() const { return m_damagedReplies.load(); }
    // Any thread: replies longer than the largest read, cut there.
    int64_t GetCutReplies() const { return m_cutReplies.load(); }
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
    // A sample reply into m_reply: its byte count, 0 on time-out, negative on failure
    // (-2 the line went away, -3 the device is closing).
    int ReadSampleReply(size_t maxCount, uint32_t timeoutMs);
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
    // Waits ms milliseconds, less when the device is closing.
    void Pause(int ms);
    // Acquisition thread: drops what a cut reply left in the receive queue, so that it
    // is never read as the head of the next reply.
    void DiscardStale();
    // One byte before the deadline, waiting in short slices so that closing is seen:
    // 1, 0 time-out, -2 the line went away, -3 closing.
    int ReadByteBefore(uint8_t* byte, std::chrono::steady_clock::time_point deadline);
    bool IsClosing();
    // Acquisition thread: one read of the stream and what it means for the line.
    void ReadStep();
    // Acquisition thread: while the line is lost, opens it again when it went away and
    // configures the board; true when the board answers.
    bool TryResume();
    void PostBack();
    // Samples in a reply of count bytes after its header, or -1 when no ending fits.
    static int SamplesIn(int count);

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
    std::atomic<int64_t> m_damagedReplies{0};
    std::atomic<int64_t> m_cutReplies{0};
    double m_lastRequestUs = 0.0;  // acquisition thread: program time of the last 'B'
    bool m_cutReported = false;    // acquisition thread
    ReadOutcome m_lastOutcome = ReadOutcome::Empty;  // acquisition thread
    // Closing bytes of a sample reply as this board sends them: 6 (five bytes and
    // '*') or 1 (a lone '*'); 0 until the first whole reply told.
    size_t m_ending = 0;
    bool m_lineVanished = false;  // acquisition thread: the last failure was the port's

private:
    void ApplyExportExtension();
    int EnabledBefore(int channel) const;
    // Diagnostics for the error stream (the Errors page once an owner is set).
    void LogError(const wxString& text);
    void FixRange();

    void ReportOnce(bool& reported, const wxString& text);

    CLineWatch m_line;
    int64_t m_lostFrame = -1;          // acquisition thread
    double m_nextReadUs = 0.0;         // acquisition thread: no read before (program time)
    bool m_missReported = false;       // acquisition thread
    bool m_damageReported = false;     // acquisition thread
    uint32_t m_replyTimeoutMs = 75;    // set before the thread runs
    uint32_t m_configTimeoutMs = 1000;
    std::mutex m_closeMutex;  // leaf lock: guards m_closing for the pause
    std::condition_variable m_closeWake;
    bool m_closing = false;
};
