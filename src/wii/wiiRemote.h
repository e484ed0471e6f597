#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "wii/wiiLink.h"
#include "wii/wiiRecord.h"
#include "wii/wiiReports.h"

// Where a remote was found: its HID node and product id.
struct WiiHidCandidate {
    std::string path;
    uint16_t product = 0;
    std::string name;       // the HID name the device gives, when known
    std::string driver;     // the kernel driver bound to its HID device, when known
    std::string hidDevice;  // the HID device's own name ("0005:057E:0306.0001"), when known
    std::string uniq;       // the device's own address, when the system gives it
};

// One record of the platform's remote array: what the remote reported (the
// WiiRemoteData part, which readers copy) and its connection with the requests in
// flight. Owned by its array. Not locked: the Wii layer serialises every call.
class CWiiRemote : public WiiRemoteData {
public:
    CWiiRemote() = default;
    ~CWiiRemote();
    CWiiRemote(const CWiiRemote&) = delete;
    CWiiRemote& operator=(const CWiiRemote&) = delete;

    void SetCandidate(const WiiHidCandidate& candidate) { m_candidate = candidate; }
    const WiiHidCandidate& GetCandidate() const { return m_candidate; }
    bool HasCandidate() const { return !m_candidate.path.empty(); }

    // Adopts a connection and runs the start-up exchange (status, accelerometer
    // calibration, extension), waiting up to timeoutMs. True when the remote answered;
    // it is then marked connected and reporting.
    bool Attach(std::unique_ptr<CWiiLink> link, int timeoutMs);
    // Reads what arrived, without waiting. True when an event waits for a take.
    bool Pump();
    // Closes the connection; the record keeps its id, LEDs and type.
    void Detach();
    bool IsConnected() const { return (state & kWiiStateConnected) != 0; }
    // The last attach met a Wii U Pro Controller, which is no remote: not connected.
    bool IsProController() const { return m_proController; }
    // Malformed reports refused since the last attach (the first is said on the error
    // stream, the total when the connection ends).
    int RefusedReports() const { return m_refused; }
    // Times another driver changed the reporting mode and it was set again.
    int ForeignModeChanges() const { return m_foreignModes; }
    // Why the last attempt to open the device failed (an errno value), 0 if it did not.
    int OpenError() const { return m_openError; }
    void SetOpenError(int error) { m_openError = error; }
    bool HasPendingEvent() const { return event != kWiiEventNone; }
    // Motion Plus reporting was asked for on this connection.
    bool WantsMotionPlus() const { return m_wantMotionPlus; }

    void SetLeds(uint8_t mask);
    void SetRumble(bool on);
    void SetMotionSensing(bool on);
    void SetMotionPlus(bool on);
    // Asks for the status again, which re-arms the reporting.
    void Resync();
    // Copies the record with what happened since the last take, then starts afresh.
    void TakeEvents(WiiRemoteData* out);

    // Longest wait for the answer to one request.
    static constexpr std::chrono::milliseconds kRequestTimeout{1000};
    // Most reports one pump takes from one remote: bounds the time a poll holds on.
    static constexpr int kMaxReportsPerPump = 64;
    // Shortest time between two settings of the reporting mode against another driver.
    static constexpr std::chrono::milliseconds kModeReassertPeriod{500};

private:
    enum class Step : uint8_t {
        None,
        Status,
        AccelCalibration,
        ExtensionInit1,
        ExtensionInit2,
        ExtensionId,
        NunchukCalibration,
        BoardCalibration,
        MotionPlusProbe,
        MotionPlusInit,
        MotionPlusActivate,
    };
    enum class Kind : uint8_t { Status, Read, Write };
    struct Request {
        Step step = Step::None;
        Kind kind = Kind::Status;
        uint8_t space = 0;
        uint32_t address = 0;
        uint16_t size = 0;
        uint8_t value = 0;  // the byte a write sends
    };
    static constexpr size_t kQueueSize = 8;
    static constexpr size_t kReadCapacity = 32;
    // Receive buffer: larger than any report, so that an oversized one shows.
    static constexpr size_t kReceiveCapacity = 64;

    // False when the report was held back to keep a button edge for the next take.
    bool HandleReport(const uint8_t* report, size_t size);
    void HandleStatus(const uint8_t* report, size_t size);
    void HandleReadData(const uint8_t* report, size_t size);
    void HandleAck(const uint8_t* report, size_t size);
    bool HandleData(const uint8_t* report, const WiiDataLayout& layout);
    void Complete(bool ok);
    void OnRequestDone(const Request& request, bool ok);
    void Queue(const Request& request);
    void QueueRead(Step step, uint8_t space, uint32_t address, uint16_t size);
    void QueueWrite(Step step, uint32_t address, uint8_t value);
    void SendNext();
    void CheckTimeout();
    void IdentifyExtension();
    void ApplyReportMode();
    bool SendReport(const uint8_t* report, size_t size);
    void LoseConnection();
    void ClearMeasurements();
    void RefreshButtonFields();
    void Refuse(const uint8_t* report, size_t size);
    void CheckForeignMode(uint8_t reportId);

    WiiHidCandidate m_candidate;
    std::unique_ptr<CWiiLink> m_link;
    Request m_queue[kQueueSize];
    size_t m_queueHead = 0;
    size_t m_queueCount = 0;
    Request m_current;
    bool m_waiting = false;
    std::chrono::steady_clock::time_point m_sentAt;
    uint8_t m_read[kReadCapacity] = {};
    size_t m_readCount = 0;
    bool m_statusSeen = false;
    bool m_extensionPresent = false;
    bool m_identifying = false;
    bool m_motionPlusActive = false;
    bool m_wantMotionPlus = false;  // asked for: woken again whenever it is found asleep
    bool m_boardCalibrationReported = false;
    bool m_proController = false;
    int m_openError = 0;
    int m_refused = 0;
    int m_foreignModes = 0;
    uint8_t m_mode = 0;  // the reporting mode last set, 0 for none
    std::chrono::steady_clock::time_point m_modeSetAt;
    WiiAccelCalibration m_accelCalibration;
    WiiNunchukCalibration m_nunchukCalibration;
    // Button edges kept until the next take.
    uint16_t m_down = 0;
    uint16_t m_pressed = 0;
    uint16_t m_released = 0;
    uint8_t m_nunchukDown = 0;
    uint8_t m_nunchukPressed = 0;
    uint8_t m_nunchukReleased = 0;
    // A report held back because it would merge two edges of one button.
    uint8_t m_stash[kWiiMaxReport] = {};
    size_t m_stashSize = 0;
};
