#pragma once

#include "analog/recorderSink.h"
#include "analog/viewSink.h"

#include <wx/string.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

// Shared log of what the fakes were asked, in call order.
struct CCallLog {
    std::vector<std::string> calls;
    void Add(const std::string& call) { calls.push_back(call); }
};

struct CFrame {
    std::vector<double> values;
    uint32_t sample = 0;
    double timeSec = 0.0;
};

// A recorder that keeps every frame it is given.
class CFakeRecorder : public CAnalogRecorder {
public:
    explicit CFakeRecorder(CCallLog* log = nullptr) : m_log(log) {}
    bool RecordFrame(const double* values, int count, uint32_t sample, double timeSec) override
    {
        if (m_log) m_log->Add("record");
        frames.push_back({std::vector<double>(values, values + count), sample, timeSec});
        return true;
    }
    bool IsRecording() const override { return recording; }
    bool OpenWriter(const wxString& folder, const wxString& captureName, int trial, bool exportText,
                    const wxString& exportFolder, bool useThread, int queueDepth,
                    int priority) override
    {
        openArgs = folder + "|" + captureName + "|" + wxString::Format("%d|%d|", trial, exportText) +
                   exportFolder + wxString::Format("|%d|%d|%d", useThread, queueDepth, priority);
        return openResult;
    }
    bool StartRecording() override { return recording = true; }
    bool FinishRecording() override
    {
        ++finishCalls;
        return finishResult;
    }
    bool StopRecording() override
    {
        recording = false;
        return true;
    }
    void SetDuration(double seconds) override { duration = seconds; }
    int64_t GetFramesWritten() const override { return static_cast<int64_t>(frames.size()); }
    double GetTime() const override { return frames.empty() ? 0.0 : frames.back().timeSec; }
    wxString GetFileName() const override { return "trial.qvd"; }
    wxString GetTextFileName() const override { return "trial.txt"; }

    bool recording = false;
    bool openResult = true;
    bool finishResult = true;
    int finishCalls = 0;
    double duration = -1.0;
    wxString openArgs;
    std::vector<CFrame> frames;

private:
    CCallLog* m_log;
};

// A 2D view that records what it is fed; frames may arrive on another thread.
class CFakeView : public CAnalogViewSink {
public:
    explicit CFakeView(CCallLog* log = nullptr, const char* name = "view") : m_log(log), m_name(name)
    {
    }
    void AddData(const double* values, int count, uint32_t sample, double timeSec) override
    {
        if (m_log) m_log->Add(m_name);
        std::lock_guard<std::mutex> lock(mutex);
        if (keepFrames) frames.push_back({std::vector<double>(values, values + count), sample, timeSec});
        ++frameCount;
        arrived.notify_all();
    }
    void ResetView() override { Note("reset"); }
    void Restart() override { Note("restart"); }
    void FreezeData() override { Note("freeze"); }
    void ThawData() override { Note("thaw"); }
    void NotifyBatteryChanged(bool) override { Note("battery"); }
    bool IsDirty() const override { return dirty; }
    void RequestRefresh() override { Note("refresh"); }
    void SaveConfig(wxConfigBase*) override { Note("save"); }
    void DetachDevice() override { Note("detach"); }
    double GetMarkerWindowSec() const override { return markerWindowSec; }

    // Waits until count frames arrived; false after the timeout.
    template <typename Duration>
    bool WaitFrames(int count, Duration timeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return frameCount >= count; });
    }

    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<CFrame> frames;
    bool keepFrames = true;
    int frameCount = 0;
    bool dirty = false;
    double markerWindowSec = kRecentMarkerWindowSec;
    std::vector<std::string> notes;

private:
    void Note(const char* what)
    {
        notes.push_back(what);
        if (m_log) m_log->Add(m_name + ":" + what);
    }
    CCallLog* m_log;
    std::string m_name;
};

class CFakeView3D : public CAnalog3DViewSink {
public:
    explicit CFakeView3D(CCallLog* log = nullptr, const char* name = "view3d")
        : m_log(log), m_name(name)
    {
    }
    void AddData(const double* values, int count, uint32_t sample, double timeSec) override
    {
        if (m_log) m_log->Add(m_name);
        frames.push_back({std::vector<double>(values, values + count), sample, timeSec});
    }
    void ResetView() override { Note("reset"); }
    void Restart() override { Note("restart"); }
    void SetBusy() override { Note("busy"); }
    void ThawData() override { Note("thaw"); }
    bool NeedsRefresh() const override { return dirty; }
    void RequestRefresh() override { Note("refresh"); }
    void SaveConfig(wxConfigBase*) override { Note("save"); }
    void DetachDevice() override { Note("detach"); }

    std::vector<CFrame> frames;
    bool dirty = false;
    std::vector<std::string> notes;

private:
    void Note(const char* what)
    {
        notes.push_back(what);
        if (m_log) m_log->Add(m_name + ":" + what);
    }
    CCallLog* m_log;
    std::string m_name;
};
