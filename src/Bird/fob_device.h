#pragma once

#include <wx/string.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>

#include "Bird/fob.h"
#include "analog/analogDevice.h"
#include "serial/lineWatch.h"

// What the Flock of Birds start-up asks of the user interface, and its waits.
// The shell fills prompt with a message box (text, caption) and yield with its
// pending-event processing; without them the start-up runs silently (tests).
struct CFobStartup {
    std::function<void(const wxString& text, const wxString& caption)> prompt;
    std::function<void()> yield;
    fob_setup flock;
    uint32_t retryMs = 1000;   // between two attempts to open the flock
    uint32_t settleMs = 1000;  // after streaming was switched on
};

// A Flock of Birds tracker as a tracker device: one channel per bird, seven
// values each (x, y, z in metres, then the quaternion w, x, y, z). Owns its
// flock. Owned by the main frame.
// Threads: construction (the whole start-up), parameters, Close and destruction
// in the GUI thread; Process and ReadSample in the acquisition thread.
class CFobDevice : public CAnalogDevice {
public:
    CFobDevice(const wxString& port, uint32_t baud, uint32_t delayMs, uint32_t hemisphere,
               float rangeInches, bool synchronised, bool verbose,
               const CFobStartup& startup = CFobStartup());
    ~CFobDevice() override;

    static wxString MakeDevicePath(const wxString& port);

    bool Process(bool tick, bool running) override;
    void Close() override;
    void Reset() override;
    void ReadSample() override;
    bool IsReady() const override { return m_ready.load(); }
    void* GetParam(int id, int* count, int* type) override;
    wxString GetParamLabel(int id) override;
    wxString GetParamKey(int id) override;
    bool SetParam(const void* value, int id, int count, int type, bool* changed) override;
    bool CanShowCPStat() const override { return false; }
    bool CanOffset() const override { return false; }
    bool CanReset() const override { return false; }
    bool HasBattery() const override { return false; }
    wxString GetInfo() override;

    double GetMaxRate() const { return m_maxRate; }
    // The flock, for what the shell reports (its last error). GUI thread.
    const fob& GetFlock() const { return m_flock; }
    // Any thread: how often the line stopped answering.
    int64_t GetLineLosses() const { return m_line.GetLostCount(); }
    bool IsLineLost() const { return m_line.IsLost(); }
    // GUI thread, before the acquisition thread runs.
    void SetReopenInterval(std::chrono::milliseconds interval) { m_line.SetReopenInterval(interval); }

    static constexpr double kRangeLimit = 1.8288;  // metres, the display default
    static constexpr double kMinRate = 10.0;       // Hz

private:
    void StartUp(const wxString& port, const CFobStartup& startup);
    bool OpenFlock(const wxString& port, const CFobStartup& startup);
    void Prompt(const CFobStartup& startup, const wxString& text);
    // Acquisition thread: a failed read, and the first refused record, said once.
    void LineFailed();
    void ReportFirstRefusal();

    fob m_flock;
    wxString m_port;
    uint32_t m_baud;
    uint32_t m_delayMs;
    uint32_t m_hemisphere;
    float m_rangeInches;
    double m_maxRate = 0.0;
    std::atomic<double> m_lastRead{0.0};  // program time, microseconds
    double m_readPeriod = 0.0;            // seconds
    double m_rateParam = 0.0;             // the rate as GetParam hands it out
    // update already waits out a few read time-outs: its first failure loses the line.
    CLineWatch m_line{1};
    int64_t m_lostFrame = -1;         // acquisition thread: the first frozen frame
    int64_t m_countAt = 0;            // acquisition thread: the frame count at the last read
    bool m_refusalReported = false;   // acquisition thread
    // Acquisition thread: each bird's record count at the last read.
    std::array<uint64_t, fob_wire::kMaxBirds> m_birdRecords{};
    wxString GetSourceTag() const override { return "<FOB> "; }
};
