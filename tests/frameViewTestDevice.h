#pragma once

#include <wx/string.h>

#include "analog/testDevice.h"

// The synthetic device of the frame's view tests: a recording flag set by the
// test, a count of resets (what ResetViews does first) and a settable rate.
class CFrameTestDevice : public CTestDevice {
public:
    explicit CFrameTestDevice(bool tracker = false) : CTestDevice(false, tracker)
    {
        UpdateVisibleList();
    }

    void Reset() override
    {
        ++m_resets;
        CTestDevice::Reset();
    }
    bool IsRecording() const override { return m_recording; }
    void SetRecording(bool recording) { m_recording = recording; }
    void SetRateHz(double rate) { m_rate = rate; }
    void SetName(const wxString& name) { SetDeviceName(name); }
    int Resets() const { return m_resets; }

private:
    int m_resets = 0;
    bool m_recording = false;
};
