#pragma once

#include "analog/testDevice.h"

#include <wx/string.h>

#include <vector>

// The synthetic analog device with its frames stepped by hand and the few
// properties a view test needs to set (range, rate, path, battery, recording).
class CViewTestDevice : public CTestDevice {
public:
    // Every channel visible, as after the device's configuration is loaded.
    CViewTestDevice() : CTestDevice(false, false) { UpdateVisibleList(); }

    // One frame, as the acquisition thread produces it.
    void Step()
    {
        Generate();
        DispatchFrame();
        CountSample();
    }
    void Steps(int count)
    {
        for (int i = 0; i < count; ++i)
            Step();
    }
    // One frame whose channel c holds values[c].
    void StepWith(const std::vector<double>& values)
    {
        Generate();
        for (size_t c = 0; c < values.size() && c < static_cast<size_t>(m_channelCount); ++c)
            m_values[c] = values[c];
        DispatchFrame();
        CountSample();
    }

    void SetRange(double minValue, double maxValue)
    {
        m_minValue = minValue;
        m_maxValue = maxValue;
    }
    void SetRateHz(double rate) { m_rate = rate; }
    void SetPath(const wxString& path) { m_devicePath = path; }
    void SetCPStat(bool show, double seconds)
    {
        m_showCPStat = show ? 1 : 0;
        m_cpStatTime = seconds;
    }
    void SetReady(bool ready) { m_ready = ready; }
    void HideAllChannels()
    {
        CMutexLock lock(&m_dataMutex);
        m_visibleList.clear();
        PublishVisibleList();
    }
    void SetBattery(bool hasBattery, int level)
    {
        m_hasBattery = hasBattery;
        m_level = level;
    }
    void SetRecordingName(const wxString& name) { m_recordingName = name; }

    bool HasBattery() const override { return m_hasBattery; }
    bool IsBatteryShown() const override { return m_hasBattery; }
    int GetBatteryLevel() const override { return m_level; }
    bool IsRecording() const override { return !m_recordingName.empty(); }
    wxString GetRecordFileName() const override { return m_recordingName; }

private:
    bool m_hasBattery = false;
    int m_level = 0;
    wxString m_recordingName;
};
