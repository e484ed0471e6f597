#pragma once

#include <wx/string.h>

#include <array>
#include <atomic>
#include <vector>

#include "analog/analogDevice.h"
#include "wii/wiiRecord.h"

// Wii Remotes and Balance Boards as an analog device (type 6): one slot of the Wii
// layer (a remote: orientation, Motion Plus rates, nunchuk; a board: corner loads,
// total weight, centre of pressure), or several slots laid one block of channels after
// another. Owned by the main frame. Construction, parameters, configuration and
// destruction: GUI thread; Process, CheckInit and the event handlers: the acquisition
// thread.
class CWiiDevice : public CAnalogDevice {
public:
    // One slot; forceBoard reads a connected remote as a board.
    CWiiDevice(bool synchronised, int slot, bool forceBoard);
    // Several slots (the shell gives them in ascending order).
    CWiiDevice(bool synchronised, const std::vector<int>& slots);
    ~CWiiDevice() override;

    // "wiimote_%d", "wiiboard_%d", "wii_devices"; "Invalid wii device" for a slot that is
    // not connected. Any thread.
    static wxString MakeDevicePath(int slot, bool several);

    // Acquisition thread: polls the layer and hands each of the device's slots its event.
    void PollWiiEvents();
    // Acquisition thread: acts on the slot's event code (data, disconnection).
    void DispatchWiiEvent(int slot);
    // Acquisition thread: copies the slot's last taken record into its block of rows.
    void OnWiiEvent(int slot);
    // Disconnects the slot first when asked, then re-synchronises it. GUI thread.
    void ReleaseRemote(int slot, bool disconnect);

    bool Process(bool tick, bool running) override;
    void Reset() override;
    void CheckInit() override;
    bool IsReady() const override;
    void* GetParam(int id, int* count, int* type) override;
    wxString GetParamLabel(int id) override;
    wxString GetParamKey(int id) override;
    bool SetParam(const void* value, int id, int count, int type, bool* changed) override;
    int GetChoiceCount(int id) override;
    wxString GetChoiceLabel(int id, int choice) override;
    bool LoadConfig(wxConfigBase* config) override;
    SourceState GetChannelReceipt(int channel) const override;
    bool CanShowCPStat() const override { return m_cpDevice; }
    int GetCPXChannel() const override { return 5; }
    int GetCPYChannel() const override { return 6; }
    int GetCPXIndex() const override;
    int GetCPYIndex() const override;
    bool CanOffset() const override { return true; }
    bool HasBattery() const override { return true; }
    int GetBatteryLevel() const override { return m_batteryPercent.load(); }
    bool IsBatteryShown() const override { return m_showBattery != 0; }

    bool IsBoard() const { return m_isBoard; }
    bool HasNunchuk() const { return m_hasNunchuk; }
    bool IsSeveral() const { return m_several; }
    // Seconds: the longest time between two polls of the layer.
    double GetPollInterval() const { return m_pollInterval.load(); }
    // Any thread: data reports handled, taken or not (a board without calibration).
    uint64_t GetDataReports() const { return m_dataReports.load(); }

    static constexpr int kButtonCount = 13;

protected:
    // One slot's block of rows.
    struct Entry {
        int slot = -1;
        int first = 0;  // first row
        int count = 0;  // rows; 0 for a slot that was not connected
        bool isBoard = false;
        int source = -1;                // its place among the watched sources; -1: no rows to watch
        bool lost = false;              // acquisition thread: its disconnection was reported
        bool uncalibratedSaid = false;  // acquisition thread
        double yawSum = 0.0;            // acquisition thread: this remote's rates, summed
        uint64_t serial = 0;            // its device; 0 for none
        std::array<wxString, kButtonCount> labels;
    };

    Entry* FindEntry(int slot);
    void StoreRow(const Entry& entry, int row, double value);
    double OffsetOf(const Entry& entry, int row) const;
    void AddButtonMarkers(const Entry& entry);
    // The last take gives every row of the remote's block.
    bool FillsBlock(const Entry& entry) const;
    void StoreRemote(Entry& entry, bool offsetRunning);
    void StoreBoard(const Entry& entry, bool offsetRunning);
    void OnLost(Entry& entry);
    // After a search: each block to the slot its device now has.
    void FollowDevices();
    void OnUnmeasured(Entry& entry);
    // The entries with rows become the watched sources, each by its slot's number.
    void WatchEntries();
    wxString GetSourceTag() const override { return "<WII> "; }
    void UpdateBattery();

    WiiRemoteData m_record;  // acquisition thread: the slot's last take
    std::vector<Entry> m_entries;

private:
    void InitCommon();
    void NameRemoteRows(int first, bool nunchuk, const wxString& suffixFormat, int slot);
    void NameBoardRows(int first, const wxString& suffixFormat, int slot);
    void ApplyExportExtension();
    int EnabledBefore(int channel) const;
    int ParamType(int id) const;
    const char* ParamKey(int id) const;
    template <typename T>
    void SetGuarded(T& field, T value);

    std::atomic<int> m_slot{0};
    uint32_t m_searchesSeen = 0;  // acquisition thread
    bool m_several = false;
    std::vector<int> m_deviceList;
    std::vector<int> m_blockEnds;
    int m_deviceCount = 1;
    bool m_isBoard = false;
    bool m_hasNunchuk = false;
    // Guarded by the data mutex: the event handler reads them.
    double m_halfLength = 220.0;  // mm
    double m_halfWidth = 110.0;   // mm
    double m_weightScale = 1.0;
    uint8_t m_estimateYaw = 1;
    std::atomic<int> m_batteryPercent{100};
    int m_previousBattery = 100;  // acquisition thread
    uint8_t m_showBattery = 0;
    double m_batteryScale = 100.0;
    std::atomic<uint64_t> m_dataReports{0};
    std::atomic<double> m_lastPoll{0.0};       // program clock, microseconds
    std::atomic<double> m_pollInterval{0.01};  // seconds
    double m_rateParam = 25.0;                 // the rate as GetParam hands it out
};
