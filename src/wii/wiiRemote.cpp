#include "wii/wiiRemote.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

CWiiRemote::~CWiiRemote() { Detach(); }

bool CWiiRemote::SendReport(const uint8_t* report, size_t size)
{
    if (m_link == nullptr) return false;
    if (m_link->Send(report, size)) return true;
    if (m_link->IsGone()) LoseConnection();
    return false;
}

bool CWiiRemote::Attach(std::unique_ptr<CWiiLink> link, int timeoutMs)
{
    Detach();
    if (link == nullptr || !link->IsOpen()) return false;
    m_link = std::move(link);
    // The address names the device across pairings; a node's path may change with them.
    const std::string& identity = m_candidate.uniq.empty() ? m_candidate.path : m_candidate.uniq;
    serial = std::hash<std::string>{}(identity) | 1u;
    m_queueCount = 0;
    m_waiting = false;
    m_statusSeen = false;
    m_extensionPresent = false;
    m_identifying = false;
    m_motionPlusActive = false;
    m_proController = false;
    m_wantMotionPlus = false;
    m_refused = 0;
    m_foreignModes = 0;
    m_mode = 0;
    m_stashSize = 0;
    expansion = kWiiExpansionNone;
    event = kWiiEventNone;
    Queue({Step::Status, Kind::Status, 0, 0, 0, 0});
    QueueRead(Step::AccelCalibration, kWiiSpaceEeprom, kWiiAccelCalibrationAddress, 10);
    // The answers come in order; what a status report starts (the extension's
    // identification and calibration) is queued behind and awaited too.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t report[kReceiveCapacity];
    while (m_link != nullptr && (m_waiting || m_queueCount > 0)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) break;
        const int got = m_link->Receive(report, sizeof report, static_cast<int>(left));
        if (got < 0) {
            m_link.reset();
            break;
        }
        if (got > 0) HandleReport(report, static_cast<size_t>(got));
        CheckTimeout();
    }
    if (m_link == nullptr || !m_statusSeen || m_proController) {
        Detach();
        return false;
    }
    state |= kWiiStateConnected;
    event = kWiiEventNone;
    ApplyReportMode();
    return true;
}

void CWiiRemote::Detach()
{
    if (m_link != nullptr && m_refused > 1) {
        std::fprintf(stderr, "<WII> %s: %d malformed reports refused in all\n",
                     m_candidate.path.c_str(), m_refused);
        std::fflush(stderr);
    }
    if (m_link != nullptr) m_link->Close();
    m_link.reset();
    state &= ~kWiiStateConnected;
    m_queueCount = 0;
    m_waiting = false;
    m_stashSize = 0;
    ClearMeasurements();
}

void CWiiRemote::ClearMeasurements()
{
    // A record without a connection must not go on showing the last loads or angles.
    batteryLevel = 0.0f;
    expansion = kWiiExpansionNone;
    orientation = WiiOrientation();
    gravity = WiiGravity();
    const bool calibrated = board.calibrationValid;
    uint16_t calibration[3][4];
    std::memcpy(calibration, board.calibration, sizeof calibration);
    nunchuk = WiiNunchukData();
    board = WiiBoardData();
    board.calibrationValid = calibrated;
    std::memcpy(board.calibration, calibration, sizeof calibration);
    motionPlus = WiiMotionPlusData();
    parts = 0;
    m_down = m_pressed = m_released = 0;
    m_nunchukDown = m_nunchukPressed = m_nunchukReleased = 0;
    m_extensionPresent = false;
    m_motionPlusActive = false;
    m_identifying = false;
    RefreshButtonFields();
}

void CWiiRemote::LoseConnection()
{
    const bool wasConnected = IsConnected();
    Detach();
    if (wasConnected) event = kWiiEventUnexpectedDisconnect;
}

bool CWiiRemote::Pump()
{
    if (m_link == nullptr) return HasPendingEvent();
    uint8_t report[kReceiveCapacity];
    for (int i = 0; i < kMaxReportsPerPump && m_link != nullptr; ++i) {
        if (m_stashSize > 0) {
            std::memcpy(report, m_stash, m_stashSize);
            const size_t size = m_stashSize;
            m_stashSize = 0;
            if (!HandleReport(report, size)) break;
            continue;
        }
        const int got = m_link->Receive(report, sizeof report, 0);
        if (got < 0) {
            if (m_link->IsGone()) LoseConnection();
            break;
        }
        if (got == 0) break;
        if (!HandleReport(report, static_cast<size_t>(got))) break;
    }
    CheckTimeout();
    return HasPendingEvent();
}

void CWiiRemote::Refuse(const uint8_t* report, size_t size)
{
    // Said once per connection: a remote sending garbage would flood the page.
    if (m_refused++ == 0) {
        std::fprintf(stderr,
                     "<WII> %s: malformed report refused (id 0x%02X, %zu bytes); "
                     "further ones are counted\n",
                     m_candidate.path.c_str(), size > 0 ? report[0] : 0u, size);
        std::fflush(stderr);
    }
}

void CWiiRemote::CheckForeignMode(uint8_t reportId)
{
    // Another driver of the same remote (the kernel's own) sets its reporting mode
    // whenever it sees fit: set ours again, not more often than the period. Reports
    // still on their way right after a change of mode are not counted.
    if (!IsConnected() || m_mode == 0 || reportId == m_mode) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - m_modeSetAt < kModeReassertPeriod) return;
    ++m_foreignModes;
    ApplyReportMode();
}

bool CWiiRemote::HandleReport(const uint8_t* report, size_t size)
{
    if (size < 1 || size > kWiiMaxReport) {
        Refuse(report, size);
        return true;
    }
    const uint8_t reportId = report[0];
    if (reportId == kWiiInStatus) {
        HandleStatus(report, size);
        return true;
    }
    if (reportId == kWiiInReadData) {
        HandleReadData(report, size);
        return true;
    }
    if (reportId == kWiiInAck) {
        HandleAck(report, size);
        return true;
    }
    const bool isData = reportId >= 0x30 && reportId <= 0x3F;
    if (isData) CheckForeignMode(reportId);
    WiiDataLayout layout;
    if (!WiiDataLayoutOf(reportId, &layout)) {
        // A mode not used here (interleaved halves) is no fault; any other id is.
        if (!isData) Refuse(report, size);
        return true;
    }
    // A data report's length is fixed by its id: one byte short or over is no report
    // of that layout, and its bytes are no loads or buttons.
    if (size != layout.size) {
        Refuse(report, size);
        return true;
    }
    if (HandleData(report, layout)) return true;
    if (size <= sizeof m_stash) {
        std::memcpy(m_stash, report, size);
        m_stashSize = size;
    }
    return false;
}

void CWiiRemote::HandleStatus(const uint8_t* report, size_t size)
{
    if (size < 7) {
        Refuse(report, size);
        return;
    }
    const uint8_t flags = report[3];
    batteryLevel = WiiBatteryLevel(report[6]);
    leds = static_cast<uint8_t>(flags & 0xF0);
    const bool hasExtension = (flags & kWiiStatusExtension) != 0;
    const bool asked = m_waiting && m_current.kind == Kind::Status;
    // An unasked status report means the extension changed (or a Motion Plus woke):
    // look again whenever one is there.
    if (hasExtension && (!m_extensionPresent || !asked)) {
        m_extensionPresent = true;
        IdentifyExtension();
    } else if (!hasExtension && m_extensionPresent) {
        m_extensionPresent = false;
        m_motionPlusActive = false;
        expansion = kWiiExpansionNone;
    }
    // A Motion Plus seated again waits asleep, unseen by the status: look for it.
    if (!hasExtension && !asked && m_wantMotionPlus && IsConnected())
        QueueRead(Step::MotionPlusProbe, kWiiSpaceRegister, kWiiMotionPlusId, 6);
    m_statusSeen = true;
    if (asked) Complete(true);
    // After a status report the remote stops streaming until the mode is set again.
    if (IsConnected()) ApplyReportMode();
}

void CWiiRemote::HandleReadData(const uint8_t* report, size_t size)
{
    if (size < 6) {
        Refuse(report, size);
        return;
    }
    if (!m_waiting || m_current.kind != Kind::Read) return;
    const size_t length = static_cast<size_t>(report[3] >> 4) + 1;
    const size_t offset =
        static_cast<size_t>(((report[4] << 8) | report[5]) - (m_current.address & 0xFFFF)) & 0xFFFF;
    // The answer to another reader (the kernel's driver reads the same remote) lies
    // outside what was asked for: not ours to take.
    if (offset >= m_current.size) return;
    const uint8_t error = report[3] & 0x0F;
    if (error != 0) {
        Complete(false);
        return;
    }
    // Untrusted: a chunk must lie inside the report and inside what was asked for.
    if (size < 6 + length || offset + length > m_current.size || offset + length > kReadCapacity) {
        Refuse(report, size);
        Complete(false);
        return;
    }
    std::memcpy(m_read + offset, report + 6, length);
    m_readCount += length;
    if (m_readCount >= m_current.size) Complete(true);
}

void CWiiRemote::HandleAck(const uint8_t* report, size_t size)
{
    if (size < 5) {
        Refuse(report, size);
        return;
    }
    if (!m_waiting || m_current.kind != Kind::Write) return;
    if (report[3] != kWiiOutWrite) return;
    Complete(report[4] == 0);
}

void CWiiRemote::RefreshButtonFields()
{
    buttons = static_cast<uint16_t>(m_down | m_pressed);
    buttonsHeld = static_cast<uint16_t>(m_down & ~m_pressed);
    buttonsReleased = m_released;
    nunchuk.buttons = static_cast<uint8_t>(m_nunchukDown | m_nunchukPressed);
    nunchuk.buttonsHeld = static_cast<uint8_t>(m_nunchukDown & ~m_nunchukPressed);
    nunchuk.buttonsReleased = m_nunchukReleased;
}

bool CWiiRemote::HandleData(const uint8_t* report, const WiiDataLayout& layout)
{
    const uint8_t* body = report + 1;
    const uint8_t* ext = layout.extension >= 0 ? body + layout.extension : nullptr;
    const bool hasNunchuk =
        expansion == kWiiExpansionNunchuk && ext != nullptr && layout.extensionLength >= 6;
    const bool hasMotionPlus =
        (expansion == kWiiExpansionMotionPlus || expansion == kWiiExpansionMotionPlusNunchuk) &&
        ext != nullptr && layout.extensionLength >= 6;
    const bool isPassThrough =
        hasMotionPlus && expansion == kWiiExpansionMotionPlusNunchuk && (ext[5] & 0x02) == 0;
    const uint16_t down = layout.buttons >= 0 ? WiiDecodeButtons(body + layout.buttons) : m_down;
    uint8_t nunchukDown = m_nunchukDown;
    WiiNunchukData decoded = nunchuk;
    if (hasNunchuk)
        WiiDecodeNunchuk(ext, m_nunchukCalibration, &nunchukDown, &decoded);
    else if (isPassThrough)
        WiiDecodePassThroughNunchuk(ext, m_nunchukCalibration, &nunchukDown, &decoded);
    // Two edges of one button between two takes would read as one: keep the report.
    const uint16_t pressedNow = static_cast<uint16_t>(down & ~m_down);
    const uint16_t releasedNow = static_cast<uint16_t>(m_down & ~down);
    const uint8_t nunchukPressedNow = static_cast<uint8_t>(nunchukDown & ~m_nunchukDown);
    const uint8_t nunchukReleasedNow = static_cast<uint8_t>(m_nunchukDown & ~nunchukDown);
    if ((pressedNow & m_released) != 0 || (releasedNow & m_pressed) != 0 ||
        (nunchukPressedNow & m_nunchukReleased) != 0 ||
        (nunchukReleasedNow & m_nunchukPressed) != 0)
        return false;
    m_pressed |= pressedNow;
    m_released |= releasedNow;
    m_down = down;
    m_nunchukPressed |= nunchukPressedNow;
    m_nunchukReleased |= nunchukReleasedNow;
    m_nunchukDown = nunchukDown;
    if (hasNunchuk || isPassThrough) {
        nunchuk.orientation = decoded.orientation;
        nunchuk.gravity = decoded.gravity;
        nunchuk.joystick = decoded.joystick;
    }
    RefreshButtonFields();
    uint8_t carried = (hasNunchuk || isPassThrough) ? kWiiPartNunchuk : 0;
    if (layout.accel >= 0 && (state & kWiiStateAccelerometer) != 0) {
        const uint8_t raw[3] = {body[layout.accel], body[layout.accel + 1], body[layout.accel + 2]};
        WiiGravityOf(raw, m_accelCalibration, &gravity);
        WiiOrientationOf(gravity, &orientation);
        carried |= kWiiPartAngles;
    }
    if (expansion == kWiiExpansionBoard && ext != nullptr && layout.extensionLength >= 8) {
        WiiDecodeBoard(ext, &board);
        carried |= kWiiPartLoads;
    }
    if (hasMotionPlus && !isPassThrough && WiiDecodeMotionPlus(ext, &motionPlus))
        carried |= kWiiPartRates;
    // A nunchuk behind a Motion Plus takes turns with it: each report keeps the other's.
    if (expansion == kWiiExpansionMotionPlusNunchuk)
        carried |= static_cast<uint8_t>(parts & (kWiiPartRates | kWiiPartNunchuk));
    parts = carried;
    event = kWiiEventData;
    return true;
}

void CWiiRemote::TakeEvents(WiiRemoteData* out)
{
    if (out != nullptr) *out = static_cast<const WiiRemoteData&>(*this);
    m_pressed = m_released = 0;
    m_nunchukPressed = m_nunchukReleased = 0;
    RefreshButtonFields();
    event = kWiiEventNone;
}

void CWiiRemote::Queue(const Request& request)
{
    if (m_queueCount >= kQueueSize) return;  // a stuck remote: later requests are dropped
    m_queue[(m_queueHead + m_queueCount) % kQueueSize] = request;
    ++m_queueCount;
    if (!m_waiting) SendNext();
}

void CWiiRemote::QueueRead(Step step, uint8_t space, uint32_t address, uint16_t size)
{
    Queue({step, Kind::Read, space, address, size, 0});
}

void CWiiRemote::QueueWrite(Step step, uint32_t address, uint8_t value)
{
    Queue({step, Kind::Write, kWiiSpaceRegister, address, 1, value});
}

void CWiiRemote::SendNext()
{
    while (!m_waiting && m_queueCount > 0 && m_link != nullptr) {
        m_current = m_queue[m_queueHead];
        m_queueHead = (m_queueHead + 1) % kQueueSize;
        --m_queueCount;
        uint8_t report[kWiiMaxReport];
        size_t size = 0;
        switch (m_current.kind) {
            case Kind::Status:
                size = WiiMakeStatusRequest(report, rumble);
                break;
            case Kind::Read:
                size =
                    WiiMakeRead(report, m_current.space, m_current.address, m_current.size, rumble);
                break;
            case Kind::Write:
                size = WiiMakeWrite(report, m_current.space, m_current.address, &m_current.value, 1,
                                    rumble);
                break;
        }
        m_readCount = 0;
        std::memset(m_read, 0, sizeof m_read);
        if (!SendReport(report, size)) {
            if (m_link == nullptr) return;
            OnRequestDone(m_current, false);
            continue;
        }
        m_waiting = true;
        m_sentAt = std::chrono::steady_clock::now();
    }
}

void CWiiRemote::CheckTimeout()
{
    if (m_waiting && std::chrono::steady_clock::now() - m_sentAt > kRequestTimeout) Complete(false);
}

void CWiiRemote::Complete(bool ok)
{
    if (!m_waiting) return;
    m_waiting = false;
    const Request done = m_current;
    OnRequestDone(done, ok);
    SendNext();
}

void CWiiRemote::OnRequestDone(const Request& request, bool ok)
{
    switch (request.step) {
        case Step::AccelCalibration:
            if (!ok || !WiiParseAccelCalibration(m_read, m_readCount, &m_accelCalibration))
                m_accelCalibration = WiiAccelCalibration();
            break;
        case Step::ExtensionId:
            m_identifying = false;
            if (ok && WiiIsProControllerId(m_read)) m_proController = true;
            expansion = ok ? WiiExpansionFromId(m_read) : kWiiExpansionOther;
            if (expansion == kWiiExpansionMotionPlus || expansion == kWiiExpansionMotionPlusNunchuk)
                m_motionPlusActive = true;
            if (expansion == kWiiExpansionNunchuk)
                QueueRead(Step::NunchukCalibration, kWiiSpaceRegister, kWiiNunchukCalibration, 16);
            else if (expansion == kWiiExpansionBoard)
                QueueRead(Step::BoardCalibration, kWiiSpaceRegister, kWiiBoardCalibration, 24);
            if (IsConnected()) ApplyReportMode();
            break;
        case Step::NunchukCalibration:
            // A degenerate part of the block keeps its defaults; the rest is taken.
            if (ok)
                WiiParseNunchukCalibration(m_read, m_readCount, &m_nunchukCalibration);
            else
                m_nunchukCalibration = WiiNunchukCalibration();
            break;
        case Step::BoardCalibration:
            board.calibrationValid =
                ok && WiiParseBoardCalibration(m_read, m_readCount, board.calibration);
            if (!board.calibrationValid && !m_boardCalibrationReported) {
                // Without three rising points the loads cannot be interpolated.
                std::fputs("<WII> balance board calibration unusable: its loads are not taken\n", stderr);
                std::fflush(stderr);
                m_boardCalibrationReported = true;
            }
            break;
        case Step::MotionPlusProbe:
            // Activation is two writes: 0x55 to its init register, then the mode.
            if (ok && WiiIsInactiveMotionPlus(m_read))
                QueueWrite(Step::MotionPlusInit, kWiiMotionPlusInit, 0x55);
            break;
        case Step::MotionPlusInit:
            if (ok)
                QueueWrite(Step::MotionPlusActivate, kWiiMotionPlusActivate,
                           expansion == kWiiExpansionNunchuk ? 0x05 : 0x04);
            break;
        case Step::MotionPlusActivate:
            if (ok) {
                m_motionPlusActive = true;
                m_extensionPresent = true;
                IdentifyExtension();
            }
            break;
        default:
            break;
    }
}

void CWiiRemote::IdentifyExtension()
{
    if (m_identifying) return;
    m_identifying = true;
    // An active Motion Plus reads its identifier as it is; the plain-data writes would
    // switch it off.
    if (!m_motionPlusActive) {
        QueueWrite(Step::ExtensionInit1, kWiiExtensionInit1, 0x55);
        QueueWrite(Step::ExtensionInit2, kWiiExtensionInit2, 0x00);
    }
    QueueRead(Step::ExtensionId, kWiiSpaceRegister, kWiiExtensionId, 6);
}

void CWiiRemote::ApplyReportMode()
{
    const bool accel = (state & kWiiStateAccelerometer) != 0;
    uint8_t mode = accel ? kWiiModeAccel : kWiiModeButtons;
    if (m_extensionPresent) mode = accel ? kWiiModeAccelExtension : kWiiModeExtension;
    uint8_t report[kWiiMaxReport];
    m_mode = mode;
    m_modeSetAt = std::chrono::steady_clock::now();
    SendReport(report, WiiMakeReportMode(report, mode, true, rumble));
}

void CWiiRemote::SetLeds(uint8_t mask)
{
    leds = static_cast<uint8_t>(mask & 0xF0);
    uint8_t report[kWiiMaxReport];
    SendReport(report, WiiMakeLeds(report, leds, rumble));
}

void CWiiRemote::SetRumble(bool on)
{
    rumble = on;
    uint8_t report[kWiiMaxReport];
    SendReport(report, WiiMakeRumble(report, rumble));
}

void CWiiRemote::SetMotionSensing(bool on)
{
    if (on)
        state |= kWiiStateAccelerometer;
    else
        state &= ~kWiiStateAccelerometer;
    if (IsConnected()) ApplyReportMode();
}

void CWiiRemote::SetMotionPlus(bool on)
{
    if (!IsConnected()) return;
    m_wantMotionPlus = on;
    if (on) {
        if (!m_motionPlusActive)
            QueueRead(Step::MotionPlusProbe, kWiiSpaceRegister, kWiiMotionPlusId, 6);
        return;
    }
    if (m_motionPlusActive) {
        // Plain-data mode switches it off; the remote then reports what is left.
        m_motionPlusActive = false;
        QueueWrite(Step::ExtensionInit1, kWiiExtensionInit1, 0x55);
    }
}

void CWiiRemote::Resync()
{
    if (!IsConnected()) return;
    Queue({Step::Status, Kind::Status, 0, 0, 0, 0});
}
