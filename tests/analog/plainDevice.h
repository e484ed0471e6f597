#pragma once

#include "analog/analogDevice.h"

// An analog device with the channels a test asks for and no parameter of
// its own; it samples nothing unless a test writes its row.
class CPlainDevice : public CAnalogDevice {
public:
    CPlainDevice(int channels, int dim = 1, bool tracker = false, const char* group = "/Analog/Plain")
        : CAnalogDevice(false)
    {
        m_channelCount = channels;
        m_dim = dim;
        m_isTracker = tracker;
        m_configPath = group;
        m_ready = true;
        InitChannels();
        ShowAllChannels();
    }
    ~CPlainDevice() override { Close(); }

    // Sets every value of the row, then dispatches one frame as a device's
    // sampling step does.
    void Step(double base)
    {
        for (int i = 0; i < m_channelCount * m_dim; ++i) m_values[i] = base + i;
        DispatchFrame();
        CountSample();
    }
    void SetRate(double rate) { m_rate = rate; }
    void SetSampleCounter(int64_t counter) { m_sampleCounter = counter; }
    void SetSaveChannelNames(bool save) { m_saveChannelNames = save; }
    void SetConfigPath(const wxString& path) { m_configPath = path; }
    void SetVrpnOutput(bool on) { m_vrpnOutput = on; }
    void SetReady(bool ready) { m_ready = ready; }
    int OutputCount() const { return m_outputCount; }
};
