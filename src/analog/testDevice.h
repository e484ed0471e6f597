#pragma once

#include "analog/analogDevice.h"

#include <atomic>
#include <cstdint>
#include <random>

// Synthetic device needing no hardware: "Test Analog" (six sines and cosines
// and two random walks) or "Test Tracker" (eight sensors on circles), with a
// marker every two seconds of frame time. Owned by the main frame.
// Process and the generators run in the acquisition thread; the rest in the
// GUI thread.
class CTestDevice : public CAnalogDevice {
public:
    CTestDevice(bool synchronised, bool tracker);
    ~CTestDevice() override;

    static wxString MakeDevicePath(bool tracker);

    // One sampling step: generate, dispatch, count. Acquisition thread.
    void Step();
    void Generate();
    void GenerateAnalog();
    void GenerateTracker();

    bool Process(bool tick, bool running) override;
    void Close() override;
    void Reset() override;
    double GetUnitScale() const override;
    wxString GetChannelUnit(int n) const override;
    void* GetParam(int id, int* count, int* type) override;
    wxString GetParamLabel(int id) override;
    wxString GetParamKey(int id) override;
    bool SetParam(const void* value, int id, int count, int type, bool* changed) override;
    int GetChoiceCount(int id) override;
    wxString GetChoiceLabel(int id, int choice) override;
    bool CanShowCPStat() const override { return false; }
    int GetCPXIndex() const override;
    int GetCPYIndex() const override;
    bool CanOffset() const override { return false; }
    bool HasBattery() const override { return false; }
    int GetBatteryLevel() const override { return m_batteryPercent; }
    bool IsBatteryShown() const override { return false; }

    // Reseeds the random walks' generator (tests use a fixed seed).
    void SeedRandom(uint32_t seed) { m_random.seed(seed); }

    // Process-wide notify flags: markers of one kind alternately announce
    // themselves over OSC, counted across all devices of that kind.
    static std::atomic<bool> s_analogNotify;
    static std::atomic<bool> s_trackerNotify;

private:
    int EnabledChannelsBelow(int channel) const;
    void AddPeriodicMarker(double timeSec);
    int Draw();  // uniform over 0..32767, from this device's own generator

protected:
    double m_amplitude = 5.0;
    double m_omega = 0.0;
    int32_t m_batteryPercent = 50;
    int32_t m_markerCount = 0;
    double m_walkX = 0.0;
    double m_walkY = 0.0;
    std::minstd_rand m_random;
};
