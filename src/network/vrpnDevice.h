#pragma once

// A remote VRPN server's device as an acquisition device: a tracker (one channel of seven
// values per sensor: x, y, z, qw, qx, qy, qz) or an analog device (one value per channel);
// button presses of the same VRPN device become markers. Owned by the main frame.
// Threads: construction, parameters, Close: GUI thread. Process and the reports: the
// acquisition thread; Poll: GUI thread, which runs the client only while no acquisition
// thread runs the device's loop (the re-shapes then come between that thread's frames).

#include "analog/analogDevice.h"
#include "network/repeatNote.h"
#include "network/vrpnClient.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

class CVrpnDevice : public CAnalogDevice, private CVrpnClientSink {
public:
    // Sensors a tracker takes (0 to 255): a report past them is refused, so that one
    // hostile report cannot widen the device for good.
    static constexpr int kMaxSensors = 256;

    CVrpnDevice(bool synchronised, const wxString& name, bool tracker);
    ~CVrpnDevice() override;

    // "tracker/" + name or "analog/" + name.
    static wxString MakeDevicePath(const wxString& name, bool tracker);

    bool Process(bool tick, bool running) override;
    void Close() override;
    void Reset() override;
    bool IsReady() const override { return m_ready.load(); }
    // The channel parameters are read and changed under the data mutex: the channels
    // re-shape on the acquisition thread.
    int GetParamCount() override;
    void* GetParam(int id, int* count, int* type) override;
    wxString GetParamLabel(int id) override;
    wxString GetParamKey(int id) override;
    bool SetParam(const void* value, int id, int count, int type, bool* changed) override;
    bool CanOffset() const override { return !m_trackerVariant; }
    bool CanReset() const override { return false; }
    bool IsOffsetRunning() const override { return CDevice::IsOffsetRunning(); }
    void Poll() override;
    // "VRPN Device", with "(no server answers)" while none does: the device's page says it.
    wxString GetDisplayName() const override;
    // GUI thread: true once each time the display name changed.
    bool TakeDisplayChange() { return m_displayChanged.exchange(false); }
    // Any thread: the last attempts to connect found no server, none since answered.
    bool IsServerUnanswered() const { return m_noServer.load(); }

    // A button report: a marker labelled "BT[button] : state", announced when pressed.
    virtual void OnButton(int button, int state);
    // Re-shapes the channels under the data mutex (the device paused around it). The
    // strict variant takes n only when n >= 1 and it differs from the channel count.
    // Reports keep the shape while a recording runs: its frames must keep the layout of
    // its header; the next report once it ended re-shapes.
    // The shape is held from a writer's header until StopRecording closes it.
    bool SetChannelCount(int n);
    bool SetChannelCountIfNew(int n);

    // GUI thread: true once per re-shape, when the view grid must be rebuilt.
    bool TakeViewGridRequest() { return m_viewGridRequest.exchange(false); }
    // Any thread: the connection to the server exists.
    bool IsConnected() const { return m_connected.load(); }
    const wxString& GetVrpnName() const { return m_vrpnName; }
    // Any thread: tracker and analog reports stored (not dropped by a re-shape).
    uint64_t GetStoredReports() const { return m_storedReports.load(); }
    // Any thread: connections to the server opened and lost so far.
    uint64_t GetConnectCount() const { return m_connects.load(); }
    uint64_t GetDropCount() const { return m_drops.load(); }
    // Any thread: tracker reports refused for a sensor past kMaxSensors.
    uint64_t GetRefusedReports() const { return m_refusedReports.load(); }
    // Any thread: reports the client refused (wrong length, sensor outside 0..1023),
    // the connection kept.
    uint64_t GetMalformedReports() const { return m_malformedReports.load(); }
    // Any thread: other messages refused (ids out of range, bad descriptions), the
    // connection kept.
    uint64_t GetRefusedMessages() const { return m_refusedMessages.load(); }
    // Any thread: reports that carried values past the channels a recording kept (an
    // analog report's extra values, a tracker report's sensor past them: 7 values), and
    // the values dropped.
    uint64_t GetCutReports() const { return m_cutReports.load(); }
    uint64_t GetDroppedValues() const { return m_droppedValues.load(); }
    // Any thread: frames made while no server was connected (holding the last values).
    uint64_t GetFramesWithoutServer() const { return m_framesWithoutServer.load(); }
    // GUI thread, before the acquisition thread runs: the shortest time between two
    // notes about the link or refused messages (the first of a run is said at once).
    void SetNoteInterval(CRepeatNote::Clock::duration interval);

private:
    void OnTrackerReport(int sensor, const double pos[3], const double quat[4]) override;
    void OnAnalogReport(int count, const double* values) override;
    void OnButtonReport(int button, int state) override;
    // Runs the client's loop unless another thread is running it.
    void RunClient();
    // Copies the last reported values into the row (under the data mutex).
    void TakeReportedValues();
    // The notes, client mutex held: the link lost or back, refused messages.
    void NoteLink(CRepeatNote::Clock::time_point now, uint64_t connects, uint64_t drops,
                  uint64_t failedOpenings, uint64_t unanswered);
    wxString DescribeNoServer(unsigned long long frames) const;
    wxString GetSourceTag() const override { return "<VRPN> "; }
    void SayLink(CRepeatNote::Clock::time_point now);
    void NoteRefusals(CRepeatNote::Clock::time_point now, uint64_t refused);
    void SayRefusals(CRepeatNote::Clock::time_point now);
    void SayLeftNotes();
    // Counts a report of count values (channels) of which those past kept have no channel
    // (sensor: the tracker report's, -1 for analog); the first is said.
    void CountDroppedValues(int count, int kept, int sensor);
    // Re-shapes to n channels (if new) and answers true, unless a recording or a writer's
    // header holds the shape.
    bool ReshapeUnlessHeld(int n);

    const wxString m_vrpnName;
    const bool m_trackerVariant;
    std::mutex m_clientMutex;  // taken before the data mutex: one thread runs the client
    std::unique_ptr<CVrpnClient> m_client;  // guarded by m_clientMutex
    // The last reported values, row layout; guarded by the data mutex. The row itself is
    // re-made from them each sample so that offsets are subtracted once, not per frame.
    std::vector<double> m_reported;
    std::atomic<bool> m_viewGridRequest{false};
    std::atomic<bool> m_connected{false};  // the client's state after its last loop
    std::atomic<uint64_t> m_connects{0};
    std::atomic<uint64_t> m_drops{0};
    std::atomic<uint64_t> m_storedReports{0};
    std::atomic<uint64_t> m_refusedReports{0};
    std::atomic<uint64_t> m_malformedReports{0};
    std::atomic<uint64_t> m_refusedMessages{0};
    std::atomic<uint64_t> m_framesWithoutServer{0};
    std::atomic<uint64_t> m_cutReports{0};
    std::atomic<uint64_t> m_droppedValues{0};
    // Guarded by m_clientMutex: what the notes have said so far.
    CRepeatNote m_linkNote;
    uint64_t m_lossesUnsaid = 0;
    uint64_t m_framesSaid = 0;  // m_framesWithoutServer at the last link note
    uint64_t m_framesAtLoss = 0;  // m_framesWithoutServer when the link was last lost
    std::string m_lossReason;
    bool m_sawLoss = false;  // a connection was lost: any later one is the link back
    uint64_t m_failedOpenings = 0;  // the client's count when last looked at
    uint64_t m_failedOpeningsUnsaid = 0;
    bool m_sawFailedOpening = false;
    uint64_t m_unanswered = 0;  // the client's count when last looked at
    uint64_t m_unansweredUnsaid = 0;
    bool m_sawNoServer = false;  // a note said no server answered, none connected since
    std::atomic<bool> m_noServer{false};
    std::atomic<bool> m_displayChanged{false};
    CRepeatNote m_refusalNote;
    double m_paramDouble = 0.0;  // the rate GetParam hands out
};
