#pragma once

#include <wx/string.h>

#include <cstdint>

#include "analog/recordFormat.h"

class CAnalogDevice;

// What the recording controller needs of the device it records; the analog
// device provides it. Called from the GUI thread, except StopCapture, which the
// acquisition thread calls when a run reaches its duration limit.
class CRecordSource {
public:
    virtual ~CRecordSource() = default;
    virtual double GetRate() = 0;
    // Channels recorded per frame (enabled channels), not values.
    virtual int32_t GetRecordedChannelCount() = 0;
    virtual int32_t GetChannelDim() = 0;
    virtual wxString GetDeviceName() = 0;
    virtual wxString GetExportExtension() = 0;
    // Key, names of the recorded channels in frame order, tracker flag, type, scale, range.
    virtual RecordHeaderInfo GetHeaderInfo() = 0;
    // A copy of the marker lists, taken under the device's marker lock.
    virtual RecordMarkers CopyMarkers() = 0;
    virtual bool IsRunning() = 0;
    virtual void Stop() = 0;
    virtual void Start() = 0;
    virtual void StopCapture() = 0;
    virtual bool IsReady() { return true; }
    virtual bool IsFileDevice() { return false; }
    virtual void SeekFrame(int64_t /*frame*/) {}
    virtual void SeekTime(double /*seconds*/) {}
    virtual int64_t GetTotalFrames() { return 0; }
};

// The analog device seen through CRecordSource. Non-owning: the device owns
// the controller that owns this link.
class CAnalogDeviceSource : public CRecordSource {
public:
    explicit CAnalogDeviceSource(CAnalogDevice& device) : m_device(device) {}
    double GetRate() override;
    int32_t GetRecordedChannelCount() override;
    int32_t GetChannelDim() override;
    wxString GetDeviceName() override;
    wxString GetExportExtension() override;
    RecordHeaderInfo GetHeaderInfo() override;
    RecordMarkers CopyMarkers() override;
    bool IsRunning() override;
    void Stop() override;
    void Start() override;
    void StopCapture() override;
    bool IsReady() override;
    bool IsFileDevice() override;
    void SeekFrame(int64_t frame) override;
    void SeekTime(double seconds) override;
    int64_t GetTotalFrames() override;

private:
    CAnalogDevice& m_device;
};

// The property block of the device as it records now (GUI thread).
uint64_t BuildHeaderProperties(CAnalogDevice& device, HeaderPropertyBuffer& buffer);
