#pragma once

#include "process/clock.h"
#include "process/device.h"
#include "process/deviceOwner.h"
#include "process/networkServices.h"
#include "process/trackerWorker.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// A device that fills its row with a ramp and records when it samples.
class CFakeDevice : public CDevice {
public:
    CFakeDevice(const wxString& name, double rateHz, bool synchronised, int channels = 1, int dim = 1,
                bool precise = false)
        : CDevice(synchronised, precise)
    {
        m_deviceName = name;
        m_deviceKey = name;
        m_rate.store(rateHz);
        m_channelCount = channels;
        m_dim = dim;
        AllocBuffers();
    }
    ~CFakeDevice() override { Close(); }

    void ReadSample() override
    {
        const double now = GetProgramTime();
        if (m_firstUs.load() < 0.0)
            m_firstUs.store(now);
        m_lastUs.store(now);
        for (int64_t i = 0; i < m_rowLength; ++i)
            m_values[static_cast<size_t>(i)] = static_cast<double>(m_sampleCounter.load() + i);
        if (m_recordTimes) {
            std::lock_guard<std::mutex> lock(m_timesMutex);
            m_times.push_back(now);
        }
        if (m_busyUs > 0.0) {
            const double until = now + m_busyUs;
            while (GetProgramTime() < until) {
            }
        }
        {
            std::lock_guard<std::mutex> lock(m_timesMutex);
            ++m_samples;
        }
        m_sampled.notify_all();
    }

    // Waits until at least count samples were taken; false after the timeout.
    bool WaitForSamples(int64_t count, std::chrono::seconds timeout = std::chrono::seconds(20))
    {
        std::unique_lock<std::mutex> lock(m_timesMutex);
        return m_sampled.wait_for(lock, timeout, [&] { return m_samples >= count; });
    }
    std::vector<double> Times()
    {
        std::lock_guard<std::mutex> lock(m_timesMutex);
        return m_times;
    }
    int64_t Samples()
    {
        std::lock_guard<std::mutex> lock(m_timesMutex);
        return m_samples;
    }

    void SetRate(double rateHz) { m_rate.store(rateHz); }
    void SetName(const wxString& name)
    {
        std::lock_guard<std::mutex> lock(m_nameMutex);
        m_deviceName = name;
    }
    void RecordTimes(size_t reserve)
    {
        m_times.reserve(reserve);
        m_recordTimes = true;
    }
    void SetBusyUs(double busyUs) { m_busyUs = busyUs; }
    CTrackerWorker* Worker() const { return GetWorker(); }
    double* Values() { return m_values.get(); }
    double* Output() { return m_output.get(); }
    double* Offsets() { return m_offsets.get(); }
    uint8_t* ChannelOn() { return m_channelOn.get(); }
    int OutputCount() const { return m_outputCount; }
    void SetSampleCounter(int64_t count) { m_sampleCounter.store(count); }
    void SetOffsetTime(double seconds) { m_offsetTime = seconds; }
    int ResetCalls() const { return m_resetCalls; }
    void Reset() override { ++m_resetCalls; }
    using CDevice::CheckClock;
    using CDevice::ResetClockNow;

    std::atomic<double> m_firstUs{-1.0};
    std::atomic<double> m_lastUs{-1.0};

private:
    std::mutex m_timesMutex;
    std::condition_variable m_sampled;
    std::vector<double> m_times;
    int64_t m_samples = 0;
    bool m_recordTimes = false;
    double m_busyUs = 0.0;
    int m_resetCalls = 0;
};

// An owner that keeps what it is given.
class CRecordingOwner : public CDeviceOwner {
public:
    void SetErrorMessage(const wxString& text, bool log) override
    {
        m_errors.push_back(text);
        m_logFlags.push_back(log);
    }
    void AppendMessage(const wxString& text) override { m_messages.push_back(text); }
    std::vector<wxString> m_errors;
    std::vector<bool> m_logFlags;
    std::vector<wxString> m_messages;
};

// Network services that record what devices send; installed for one test.
class CRecordingNetwork : public CNetworkServices {
public:
    CRecordingNetwork() { SetNetworkServices(this); }
    ~CRecordingNetwork() override { SetNetworkServices(nullptr); }

    bool IsOscServerStarted() override { return m_oscStarted; }
    bool OscServerSetData(const std::string& name, const double* values, int count,
                          double time) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_dataName = name;
        m_data.assign(values, values + count);
        m_dataTime = time;
        return true;
    }
    bool OscServerSendEvent(const std::string& name, const std::string& text, double time) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(name + "|" + text + "|" + std::to_string(time));
        return true;
    }
    bool IsOscTriggerEnabled() override { return m_triggerEnabled; }
    bool IsOscTriggerConnected() override { return true; }
    bool PollOscTrigger() override
    {
        m_polls.fetch_add(1);
        return true;
    }
    int64_t VrpnServerAddDevice(int buttons, int channels, int sensors, const char*) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_added.push_back({buttons, channels, sensors});
        return m_nextIndex;
    }
    void VrpnServerRemoveDevice(int64_t index) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_removed.push_back(index);
    }
    bool VrpnServerSetTracker(int64_t index, const double* poses, int count) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_trackerIndex = index;
        m_tracker.assign(poses, poses + count * 7);
        return true;
    }
    bool VrpnServerSetAnalog(int64_t index, const double* values, int count) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_analogIndex = index;
        m_analog.assign(values, values + count);
        return true;
    }
    void VrpnServerMainloop() override { m_mainloops.fetch_add(1); }
    bool VrpnServerSetButton(int64_t index, int button, int state) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_buttons.push_back({static_cast<int>(index), button, state});
        return true;
    }

    bool m_oscStarted = false;
    bool m_triggerEnabled = false;
    int64_t m_nextIndex = 1;
    std::mutex m_mutex;
    std::string m_dataName;
    std::vector<double> m_data;
    double m_dataTime = 0.0;
    std::vector<std::string> m_events;
    std::vector<std::vector<int>> m_added;
    std::vector<int64_t> m_removed;
    int64_t m_trackerIndex = 0;
    std::vector<double> m_tracker;
    int64_t m_analogIndex = 0;
    std::vector<double> m_analog;
    std::vector<std::vector<int>> m_buttons;
    std::atomic<int> m_polls{0};
    std::atomic<int> m_mainloops{0};
};

// Samples a device produces in windowUs, measured on the monotonic clock from the
// reading times of its samples. Sample k is read at t_k = start + k x period + lateness;
// it is never early, and on a busy machine many readings are late by a time slice or
// more, for a whole stretch when the machine is overloaded. The offsets
// t_k - k x nominal period have a lower envelope whose slope is the drift per sample,
// which a wrong rate makes grow steadily and lateness does not: each tenth of the
// window gives its most punctual reading, and the median of the slopes between those
// ignores the few tenths a stall kept late throughout.
inline double SamplesWithin(const std::vector<double>& times, double windowUs, double rateHz)
{
    const double periodUs = 1.0e6 / rateHz;
    std::vector<double> offsets;
    for (size_t k = 0; k < times.size() && times[k] - times.front() < windowUs; ++k)
        offsets.push_back(times[k] - static_cast<double>(k) * periodUs);
    if (offsets.size() < 20)
        return static_cast<double>(offsets.size());
    constexpr size_t kParts = 10;
    const size_t part = offsets.size() / kParts;
    std::vector<std::pair<double, double>> lows;  // (sample index, offset)
    for (size_t p = 0; p < kParts; ++p) {
        const auto begin = offsets.begin() + static_cast<std::ptrdiff_t>(p * part);
        const auto low = std::min_element(begin, begin + static_cast<std::ptrdiff_t>(part));
        lows.emplace_back(static_cast<double>(low - offsets.begin()), *low);
    }
    std::vector<double> slopes;
    for (size_t i = 0; i < lows.size(); ++i)
        for (size_t j = i + 1; j < lows.size(); ++j)
            slopes.push_back((lows[j].second - lows[i].second) / (lows[j].first - lows[i].first));
    const auto middle = slopes.begin() + static_cast<std::ptrdiff_t>(slopes.size() / 2);
    std::nth_element(slopes.begin(), middle, slopes.end());
    const double driftPerSample = *middle;
    const double nominal = rateHz * windowUs / 1.0e6;
    return nominal * (1.0 - driftPerSample / periodUs);
}

