#pragma once

#include <cstdint>

class wxConfigBase;

// Both views list the markers of the last 0.3 s beside their data.
constexpr double kRecentMarkerWindowSec = 0.3;

// What an analog device asks of the 2D views that show it. The GUI library's
// view implements it; the device keeps non-owning pointers, registered and
// removed by the GUI thread under the device's data mutex.
class CAnalogViewSink {
public:
    virtual ~CAnalogViewSink() = default;

    // Acquisition thread, under the device's data mutex: copies the row of
    // enabled values (values stays the device's and is overwritten next frame).
    // Must not allocate, wait for painting, nor call back into the device
    // (its data mutex is held).
    virtual void AddData(const double* values, int count, uint32_t sample, double timeSec) = 0;

    // GUI thread from here on.
    virtual void ResetView() = 0;
    virtual void Restart() = 0;
    virtual void FreezeData() = 0;
    virtual void ThawData() = 0;
    virtual void NotifyBatteryChanged(bool changed) = 0;
    virtual bool IsDirty() const = 0;
    virtual void RequestRefresh() = 0;  // repaint, background not erased
    virtual void SaveConfig(wxConfigBase* config) = 0;
    // The device forgets the view (closing or destroyed): drop the link to it.
    virtual void DetachDevice() = 0;
    // How far back from its newest frame, in seconds, the view shows the
    // device's markers: older ones are dropped while nothing records.
    virtual double GetMarkerWindowSec() const { return kRecentMarkerWindowSec; }
};

// What an analog device asks of the 3D views that show it; same contract.
class CAnalog3DViewSink {
public:
    virtual ~CAnalog3DViewSink() = default;

    // Acquisition thread, under the device's data mutex; same rules as 2D.
    virtual void AddData(const double* values, int count, uint32_t sample, double timeSec) = 0;

    // GUI thread from here on.
    virtual void ResetView() = 0;
    virtual void Restart() = 0;
    virtual void SetBusy() = 0;  // skip drawing the sensors; AddData still copies
    virtual void ThawData() = 0;
    virtual bool NeedsRefresh() const = 0;
    virtual void RequestRefresh() = 0;
    virtual void SaveConfig(wxConfigBase* config) = 0;
    virtual void DetachDevice() = 0;
    virtual double GetMarkerWindowSec() const { return kRecentMarkerWindowSec; }
};
