#include "wii/wiiDevice.h"

#include <wx/config.h>
#include <wx/log.h>
#include <wx/translation.h>

#include <algorithm>
#include <cmath>

#include "process/messageQueue.h"
#include "wii/wiiLayer.h"

namespace {

enum WiiParam {
    kName = 0,
    kRate,
    kMin,
    kMax,
    kShowBattery,
    kOffsetTime,
    kEstimateYaw = 6,  // remote
    kHalfLength = 6,   // board, from here on
    kHalfWidth,
    kWeightScale,
    kShowCP,
    kCPTime,
    kCPLevel,
};

constexpr int kSeveralParams = 6;
constexpr int kRemoteParams = 7;
constexpr int kBoardParams = 12;
constexpr int kRemoteRows = 6;
constexpr int kNunchukRows = 13;
constexpr int kBoardRows = 7;
constexpr double kMinRate = 1.0;
constexpr double kMaxRate = 50.0;
constexpr double kDefaultRate = 25.0;
constexpr double kMinTotal = 0.5;  // kg: below it the centre of pressure is 0
constexpr int kLevelCount = 5;
constexpr const char* kLevels[kLevelCount] = {"90 %", "95 %", "97.5 %", "99 %", "99.5 %"};

struct Button {
    const char* label;
    uint16_t mask;
};
// Codes 0..10 in this order; the nunchuk's C and Z are codes 11 and 12.
constexpr Button kButtons[11] = {
    {"BT_A", kWiiButtonA},         {"BT_B", kWiiButtonB},       {"BT_UP", kWiiButtonUp},
    {"BT_DOWN", kWiiButtonDown},   {"BT_LEFT", kWiiButtonLeft}, {"BT_RIGHT", kWiiButtonRight},
    {"BT_MINUS", kWiiButtonMinus}, {"BT_PLUS", kWiiButtonPlus}, {"BT_ONE", kWiiButtonOne},
    {"BT_TWO", kWiiButtonTwo},     {"BT_HOME", kWiiButtonHome}};
constexpr const char* kNunchukLabels[2] = {"BT_C", "BT_Z"};
constexpr uint8_t kNunchukMasks[2] = {kWiiNunchukC, kWiiNunchukZ};

constexpr const char* kRemoteNames[kNunchukRows] = {"Yaw",
                                                    "Pitch",
                                                    "Roll",
                                                    "Yaw rate",
                                                    "Pitch rate",
                                                    "Roll rate",
                                                    "Nunchuk Yaw",
                                                    "Nunchuk Pitch",
                                                    "Nunchuk Roll",
                                                    "Joystick angle",
                                                    "Joystick magnitude",
                                                    "Joystick X",
                                                    "Joystick Y"};
constexpr const char* kRemoteUnits[kNunchukRows] = {
    "deg", "deg", "deg", "deg/s", "deg/s", "deg/s", "deg", "deg", "deg", "deg", "deg", "", ""};
constexpr const char* kBoardNames[kBoardRows] = {
    "Top Right", "Top Left", "Bottom Left", "Bottom Right", "Total", "Xp", "Yp"};
constexpr const char* kBoardUnits[kBoardRows] = {"Kg", "Kg", "Kg", "Kg", "Kg", "mm", "mm"};

// A slot outside 0..3 is no slot: the layer would answer for all of them.
bool SlotConnected(int slot) { return slot >= 0 && slot <= 3 && IsWiiConnected(slot); }

bool HasNunchukExpansion(int expansion)
{
    return expansion == kWiiExpansionNunchuk || expansion == kWiiExpansionMotionPlusNunchuk;
}

}  // namespace

CWiiDevice::CWiiDevice(bool synchronised, int slot, bool forceBoard) : CAnalogDevice(synchronised)
{
    m_deviceType = 6;
    m_deviceKey = "wii_device";
    SetDeviceName("wii_device");
    m_configPath = "/Analog/wii_device";
    m_displayName = wxString::Format(_("Wii Device [%d] "), slot + 1);
    m_slot = slot;
    m_channelCount = kRemoteRows;
    m_rate = kDefaultRate;
    m_cpStatTime = 30.0;
    const bool connected = SlotConnected(slot);
    if (connected) {
        m_devicePath = MakeDevicePath(slot, false);
        if (IsWiiBoard(slot) || forceBoard) {
            m_isBoard = true;
            m_channelCount = kBoardRows;
        } else if (HasWiiNunchuk(slot)) {
            m_hasNunchuk = true;
            m_channelCount = kNunchukRows;
        }
    }
    m_firstChannelParam = kRemoteParams;
    InitCommon();
    InitChannels();
    m_deviceKey =
        wxString(m_isBoard ? "WII Board_" : "WII Remote_") + wxString::Format(" [%d]", slot + 1);
    Entry entry;
    entry.slot = slot;
    entry.count = m_channelCount;
    entry.isBoard = m_isBoard;
    entry.serial = GetWiiSerial(slot);
    for (int i = 0; i < 11; ++i) entry.labels[i] = kButtons[i].label;
    for (int i = 0; i < 2; ++i) entry.labels[11 + i] = kNunchukLabels[i];
    m_entries.push_back(entry);
    m_deviceList.push_back(slot);
    m_blockEnds.push_back(m_channelCount);
    if (connected) {
        if (!m_isBoard) {
            m_displayName = wxString::Format(_("Wiimote [%d] "), slot + 1);
            m_batteryScale = 200.0;
            SetWiiMotionSensing(slot, true);
            if (!HasWiiNunchuk(slot)) SetWiiMotionPlus(slot, true);
            m_configPath = "/Analog/wii_wct";
            NameRemoteRows(0, m_hasNunchuk, wxString(), slot);
            m_maxValue = 200.0;
            m_minValue = -200.0;
        } else {
            m_displayName = wxString::Format(_("Wii Board [%d] "), slot + 1);
            NameBoardRows(0, wxString(), slot);
            m_maxValue = 100.0;
            m_minValue = -100.0;
            m_configPath = "/Analog/wii_wbc";
            m_firstChannelParam = kBoardParams;
        }
        m_showBattery = 1;
        const double level = GetWiiBatteryLevel(slot) * m_batteryScale;
        m_batteryPercent = std::max(0, std::min(100, static_cast<int>(level)));
        m_previousBattery = m_batteryPercent.load();
        if (m_batteryPercent.load() == 0) m_showBattery = 0;
    }
    SetDeviceName(m_deviceKey);
    WatchEntries();
    m_ready = connected;
    m_running = true;
    m_initPending = true;
}

CWiiDevice::CWiiDevice(bool synchronised, const std::vector<int>& slots)
    : CAnalogDevice(synchronised)
{
    m_several = true;
    m_deviceCount = 0;
    m_channelCount = 0;
    m_deviceType = 6;
    m_batteryScale = 100.0;
    m_cpStatTime = 0.0;
    m_vrpnButtons = kButtonCount;
    m_saveChannelNames = false;  // the names below survive the configuration
    m_deviceKey = "wii_multi_device";
    SetDeviceName("wii_multi_device");
    m_configPath = "/Analog/wii_devices";
    m_displayName = wxString::Format(_("%d Wii Devices "), static_cast<int>(slots.size()));
    m_rate = kDefaultRate;
    m_devicePath = "wii_devices";
    m_firstChannelParam = kSeveralParams;
    InitCommon();
    m_maxValue = 200.0;
    m_minValue = -200.0;
    for (int slot : slots) {
        m_deviceList.push_back(slot);
        Entry entry;
        entry.slot = slot;
        entry.first = m_channelCount;
        // A slot listed twice would split its events between two blocks.
        const bool repeated = std::count(m_deviceList.begin(), m_deviceList.end(), slot) > 1;
        if (!SlotConnected(slot) || repeated) {
            wxLogError(_("Unable to connect Wii device %d"), slot + 1);
        } else {
            entry.isBoard = IsWiiBoard(slot);
            entry.serial = GetWiiSerial(slot);
            entry.count = entry.isBoard         ? kBoardRows
                          : HasWiiNunchuk(slot) ? kNunchukRows
                                                : kRemoteRows;
        }
        for (int i = 0; i < 11; ++i)
            entry.labels[i] = wxString::Format("%s_%d", kButtons[i].label, slot + 1);
        for (int i = 0; i < 2; ++i)
            entry.labels[11 + i] = wxString::Format("%s_%d", kNunchukLabels[i], slot + 1);
        m_channelCount += entry.count;
        m_entries.push_back(entry);
    }
    InitChannels();
    m_deviceCount = static_cast<int>(slots.size());
    for (const Entry& entry : m_entries) {
        if (entry.count > 0) {
            if (entry.count == kBoardRows) {
                NameBoardRows(entry.first, "%s[%d]", entry.slot);
            } else {
                SetWiiMotionSensing(entry.slot, true);
                if (entry.count == kRemoteRows) SetWiiMotionPlus(entry.slot, true);
                NameRemoteRows(entry.first, entry.count == kNunchukRows, "%s[%d]", entry.slot);
            }
        }
        m_blockEnds.push_back(entry.first + entry.count);
    }
    if (!m_entries.empty()) m_slot = m_entries.front().slot;
    WatchEntries();
    m_ready = m_channelCount > 0;
    m_running = true;
    m_initPending = true;
}

CWiiDevice::~CWiiDevice()
{
    // The acquisition thread ends before the lists it walks go.
    Close();
    FreezeViews();
}

void CWiiDevice::InitCommon()
{
    m_halfLength = 220.0;
    m_halfWidth = 110.0;
    m_weightScale = 1.0;
    m_estimateYaw = 1;
    m_batteryPercent = 100;
    m_previousBattery = 100;
    m_pollInterval = 1.0 / (4.0 * m_rate.load());
    m_rateParam = m_rate.load();
    m_searchesSeen = GetWiiSearchCount();
}

void CWiiDevice::NameRemoteRows(int first, bool nunchuk, const wxString& suffixFormat, int slot)
{
    const int rows = nunchuk ? kNunchukRows : kRemoteRows;
    for (int i = 0; i < rows; ++i) {
        if (suffixFormat.empty()) {
            SetChannelName(first + i, wxGetTranslation(kRemoteNames[i]));
            SetChannelUnit(first + i, wxGetTranslation(kRemoteUnits[i]));
        } else {
            SetChannelName(
                first + i,
                wxString::Format(suffixFormat, wxGetTranslation(kRemoteNames[i]), slot + 1));
        }
    }
}

void CWiiDevice::NameBoardRows(int first, const wxString& suffixFormat, int slot)
{
    for (int i = 0; i < kBoardRows; ++i) {
        if (suffixFormat.empty()) {
            SetChannelName(first + i, wxGetTranslation(kBoardNames[i]));
            SetChannelUnit(first + i, wxGetTranslation(kBoardUnits[i]));
        } else {
            SetChannelName(first + i, wxString::Format(suffixFormat,
                                                       wxGetTranslation(kBoardNames[i]), slot + 1));
        }
    }
}

wxString CWiiDevice::MakeDevicePath(int slot, bool several)
{
    if (several) return "wii_devices";
    if (!SlotConnected(slot)) return "Invalid wii device";
    return wxString::Format(IsWiiBoard(slot) ? "wiiboard_%d" : "wiimote_%d", slot);
}

bool CWiiDevice::IsReady() const
{
    if (!m_several) return SlotConnected(m_slot);
    for (const Entry& entry : m_entries) {
        if (entry.count > 0 && SlotConnected(entry.slot)) return true;
    }
    return false;
}

// ---------------------------------------------------------------- acquisition

bool CWiiDevice::Process(bool tick, bool running)
{
    const bool due = IsTimeToSample(tick);
    const double now = ReadProgramClockUs();
    if (!due && (now - m_lastPoll.load()) / 1.0e6 <= m_pollInterval.load()) return false;
    m_lastPoll = now;
    PollWiiEvents();
    if (!due || !running) return false;
    // Between events the row keeps each channel's last value.
    if (CDevice::IsOffsetRunning()) AccumulateOffset();
    DispatchFrame();
    CountSample();
    UpdateBattery();
    return false;
}

void CWiiDevice::UpdateBattery()
{
    if (m_several || !SlotConnected(m_slot)) return;
    const double level = GetWiiBatteryLevel(m_slot) * m_batteryScale;
    // A fresh remote reads above the scale's 100 %: the views show at most a full battery.
    const int percent = std::max(0, std::min(100, static_cast<int>(level)));
    m_batteryPercent = percent;
    if (percent == m_previousBattery) return;
    {
        CMutexLock lock(&m_dataMutex);  // guards the view list
        NotifyBatteryChanged(true);
    }
    m_previousBattery = percent;
}

void CWiiDevice::CheckInit()
{
    if (!m_initPending.load() || GetWorker() == nullptr) return;
    m_initPending = false;
    for (Entry& entry : m_entries) entry.yawSum = 0.0;
    ResetCounters();
    ResetClockNow();
    PollWiiEvents();
    m_lastPoll = ReadProgramClockUs();
}

void CWiiDevice::Reset()
{
    CAnalogDevice::Reset();
    ResetCounters();
    ClearMarkers();
    m_lastPoll = ReadProgramClockUs();
    m_initPending = true;
}

void CWiiDevice::PollWiiEvents()
{
    const uint32_t searches = GetWiiSearchCount();
    if (searches != m_searchesSeen) {
        m_searchesSeen = searches;
        FollowDevices();
    }
    if (!PollWiiDevices()) return;
    if (m_deviceCount < 2) {
        DispatchWiiEvent(m_slot);
        return;
    }
    for (int slot : m_deviceList) {
        m_slot = slot;
        DispatchWiiEvent(slot);
    }
}

void CWiiDevice::DispatchWiiEvent(int slot)
{
    if (slot < 0 || slot > 3 || !TakeWiiRemote(slot, &m_record)) return;
    switch (m_record.event) {
        case kWiiEventData:
            if ((m_record.state & kWiiStateConnected) != 0) OnWiiEvent(slot);
            break;
        case kWiiEventDisconnect:
            // The layer clears the connected bit when it notices the loss: act on the code.
            if (Entry* entry = FindEntry(slot)) OnLost(*entry);
            ResyncWiiDevice(slot);
            break;
        case kWiiEventUnexpectedDisconnect:
            if (Entry* entry = FindEntry(slot)) OnLost(*entry);
            DisconnectWiiDevice(slot);
            ResyncWiiDevice(slot);
            break;
        default:
            break;
    }
}

void CWiiDevice::ReleaseRemote(int slot, bool disconnect)
{
    if (disconnect) DisconnectWiiDevice(slot);
    ResyncWiiDevice(slot);
}

CWiiDevice::Entry* CWiiDevice::FindEntry(int slot)
{
    // A block without rows keeps the slot it was listed with, which a device followed
    // to it may now hold.
    Entry* found = nullptr;
    for (Entry& entry : m_entries) {
        if (entry.slot == slot && (found == nullptr || entry.count > 0)) found = &entry;
    }
    return found;
}

// A search lays the devices it finds in slots in the order it finds them: one away
// from it moves the others. Each block follows its own device, or, with its device
// gone, holds values no longer received.
void CWiiDevice::FollowDevices()
{
    for (size_t i = 0; i < m_entries.size(); ++i) {
        Entry& entry = m_entries[i];
        if (entry.serial == 0) continue;
        entry.slot = FindWiiSerial(entry.serial);
        if (entry.slot < 0) m_sourceWatch.Lost(entry.source);
        if (entry.slot >= 0) entry.lost = false;  // found again: its next loss is news
        if (i < m_deviceList.size()) m_deviceList[i] = entry.slot;
    }
    if (!m_several && !m_entries.empty()) m_slot = m_entries.front().slot;
}

void CWiiDevice::WatchEntries()
{
    // A remote is known gone by its disconnection, never by a pause in its reports (a
    // remote may report only on change). A board streams its loads without a pause: one
    // that stops sending while still connected holds loads no longer measured.
    // A slot without rows (not connected when the device was made) holds no value: its
    // silence is no frame's.
    m_sourceWatch.Configure(SourceKind::kWiiDevice, 1, CSourceWatch::kDefaultSilentAfterSec);
    int sources = 0;
    for (Entry& entry : m_entries) {
        entry.source = entry.count > 0 ? sources++ : -1;
        m_sourceWatch.SetNumber(entry.source, entry.slot + 1);
        m_sourceWatch.SetUntimed(entry.source, !entry.isBoard);
    }
    m_sourceWatch.Resize(sources);
}

SourceState CWiiDevice::GetChannelReceipt(int channel) const
{
    for (const Entry& entry : m_entries) {
        if (channel >= entry.first && channel < entry.first + entry.count)
            return m_sourceWatch.State(entry.source);
    }
    return SourceState::kLive;
}

// Its channels keep their last values, as a disconnection leaves them; the frames that
// hold them are counted and marked as holding values no longer received.
void CWiiDevice::OnLost(Entry& entry)
{
    m_sourceWatch.Lost(entry.source);
    if (entry.lost) return;
    entry.lost = true;
    g_messages.Post(Severity::Error,
                    wxString::Format(_("<WII> Wii device %d disconnected\n"), entry.slot + 1));
}

void CWiiDevice::StoreRow(const Entry& entry, int row, double value)
{
    // Only the slot's own block: an expansion plugged in later stores what fits.
    if (row < 0 || row >= entry.count || m_values == nullptr) return;
    const int64_t at = entry.first + row;
    if (at < m_rowLength) m_values[static_cast<size_t>(at)] = value;
}

double CWiiDevice::OffsetOf(const Entry& entry, int row) const
{
    if (m_offsets == nullptr || m_offsetCount == 0 || row < 0 || row >= entry.count) return 0.0;
    const int64_t at = entry.first + row;
    return at < m_rowLength ? m_offsets[static_cast<size_t>(at)] : 0.0;
}

void CWiiDevice::OnWiiEvent(int slot)
{
    Entry* entry = FindEntry(slot);
    if (entry == nullptr) return;
    entry->lost = false;
    m_dataReports.fetch_add(1);
    AddButtonMarkers(*entry);
    const bool isBoard = m_record.expansion == kWiiExpansionBoard;
    // Another device in the slot (a search moved it there before this block followed
    // its own), or a record that lost its board: none of its values belong here.
    if (isBoard != entry->isBoard || (entry->serial != 0 && m_record.serial != entry->serial)) {
        if (!entry->isBoard) m_sourceWatch.Lost(entry->source);
        return;
    }
    if (isBoard && !m_record.board.calibrationValid) {
        OnUnmeasured(*entry);
        return;
    }
    // A report without all the block's parts (a remote whose extension went, one sent
    // before its mode changed) leaves those rows at their last values: no longer
    // received, while the rest goes on being stored.
    if (FillsBlock(*entry))
        m_sourceWatch.Heard(entry->source);
    else if (isBoard)
        return;  // no loads in it: its rows keep theirs
    else
        m_sourceWatch.Lost(entry->source);
    const bool offsetRunning = CDevice::IsOffsetRunning();
    CMutexLock lock(&m_dataMutex);
    if (isBoard)
        StoreBoard(*entry, offsetRunning);
    else
        StoreRemote(*entry, offsetRunning);
}

// Without a usable calibration (unreadable, or not read yet) a board's loads read 0
// whatever stands on it: nothing measured. Its rows keep what they held and its frames
// count as holding values not received, as long as that lasts.
void CWiiDevice::OnUnmeasured(Entry& entry)
{
    if (entry.uncalibratedSaid) return;
    entry.uncalibratedSaid = true;
    g_messages.Post(Severity::Error,
                    wxString::Format(_("<WII> Wii device %d: a board's loads cannot be measured "
                                       "without its calibration: they are not taken, its "
                                       "frames hold values not received\n"),
                                     entry.slot + 1));
}

void CWiiDevice::AddButtonMarkers(const Entry& entry)
{
    const uint32_t frame = static_cast<uint32_t>(m_sampleCounter.load());
    for (int code = 0; code < 11; ++code) {
        const uint16_t mask = kButtons[code].mask;
        if ((m_record.buttons & mask) != 0 && (m_record.buttonsHeld & mask) == 0)
            AddMarker(static_cast<uint32_t>(code), frame, entry.labels[code], true);
        else if ((m_record.buttonsReleased & mask) != 0)
            AddMarker(static_cast<uint32_t>(code), frame, entry.labels[code], false);
    }
    if (!HasNunchukExpansion(m_record.expansion)) return;
    const WiiNunchukData& nunchuk = m_record.nunchuk;
    for (int i = 0; i < 2; ++i) {
        const uint8_t mask = kNunchukMasks[i];
        const uint32_t code = static_cast<uint32_t>(11 + i);
        if ((nunchuk.buttons & mask) != 0 && (nunchuk.buttonsHeld & mask) == 0)
            AddMarker(code, frame, entry.labels[11 + i], true);
        else if ((nunchuk.buttonsReleased & mask) != 0)
            AddMarker(code, frame, entry.labels[11 + i], false);
    }
}

bool CWiiDevice::FillsBlock(const Entry& entry) const
{
    const uint8_t needs = entry.isBoard                 ? kWiiPartLoads
                          : entry.count == kNunchukRows ? kWiiPartAngles | kWiiPartNunchuk
                                                        : kWiiPartAngles | kWiiPartRates;
    return (m_record.parts & needs) == needs;
}

void CWiiDevice::StoreRemote(Entry& entry, bool offsetRunning)
{
    auto store = [&](int row, double value, bool withOffset) {
        StoreRow(entry, row, value - (withOffset && !offsetRunning ? OffsetOf(entry, row) : 0.0));
    };
    // Only what the last report carried: a part it lacked holds no new measurement.
    const uint8_t parts = m_record.parts;
    if ((parts & kWiiPartAngles) != 0) {
        // No camera: the orientation's yaw is no measurement, the estimate's row keeps its own.
        if (m_estimateYaw == 0) store(0, m_record.orientation.yaw, true);
        store(1, m_record.orientation.pitch, true);
        store(2, m_record.orientation.roll, true);
    }
    if ((parts & kWiiPartNunchuk) != 0) {
        const WiiNunchukData& nunchuk = m_record.nunchuk;
        store(6, nunchuk.orientation.yaw, false);
        store(7, nunchuk.orientation.pitch, false);
        store(8, nunchuk.orientation.roll, false);
        store(9, nunchuk.joystick.angle, false);
        store(10, nunchuk.joystick.magnitude * 100.0, false);
        store(11, nunchuk.joystick.x * 100.0, false);
        store(12, nunchuk.joystick.y * 100.0, false);
    }
    if ((parts & kWiiPartRates) == 0) return;
    const WiiMotionPlusData& rates = m_record.motionPlus;
    store(3, rates.yawRate, true);
    store(4, rates.pitchRate, true);
    store(5, rates.rollRate, false);
    entry.yawSum += rates.yawRate;
    // Reports come at about 100 Hz: the sum over a hundred is the angle in degrees.
    if (m_estimateYaw != 0) store(0, entry.yawSum / 100.0, true);
}

void CWiiDevice::StoreBoard(const Entry& entry, bool offsetRunning)
{
    const WiiBoardData& board = m_record.board;
    double corner[4] = {board.topRight, board.topLeft, board.bottomLeft, board.bottomRight};
    if (!offsetRunning) {
        for (int k = 0; k < 4; ++k) corner[k] -= OffsetOf(entry, k);
    }
    const double total = corner[0] + corner[1] + corner[2] + corner[3];
    double xp = 0.0;
    double yp = 0.0;
    if (total > kMinTotal) {
        xp = ((corner[0] + corner[3]) - (corner[1] + corner[2])) * m_halfLength / total;
        yp = ((corner[1] + corner[0]) - (corner[2] + corner[3])) * m_halfWidth / total;
    }
    for (int k = 0; k < 4; ++k) StoreRow(entry, k, corner[k]);
    StoreRow(entry, 4, total * m_weightScale);
    StoreRow(entry, 5, xp);
    StoreRow(entry, 6, yp);
}

// ---------------------------------------------------------------- parameters

template <typename T>
void CWiiDevice::SetGuarded(T& field, T value)
{
    // The event handler reads the board and yaw settings in the acquisition thread.
    CMutexLock lock(&m_dataMutex);
    field = value;
}

int CWiiDevice::ParamType(int id) const
{
    if (id < 0 || id >= m_firstChannelParam) return PARAM_NONE;
    switch (id) {
        case kName:
            return PARAM_STRING;
        case kRate:
        case kMin:
        case kMax:
        case kOffsetTime:
            return PARAM_DOUBLE;
        case kShowBattery:
            return PARAM_BOOL;
        default:
            break;
    }
    if (m_several) return PARAM_NONE;
    if (!m_isBoard) return id == kEstimateYaw ? PARAM_BOOL : PARAM_NONE;
    switch (id) {
        case kHalfLength:
        case kHalfWidth:
        case kWeightScale:
        case kCPTime:
            return PARAM_DOUBLE;
        case kShowCP:
            return PARAM_BOOL;
        case kCPLevel:
            return PARAM_CHOICE;
        default:
            return PARAM_NONE;
    }
}

const char* CWiiDevice::ParamKey(int id) const
{
    static constexpr const char* kCommon[] = {"Device Name", "Sampling Rate", "Min Value",
                                              "Max Value",   "Show Battery",  "Offset Time"};
    static constexpr const char* kBoard[] = {"Half Length",  "Half Width",   "Weight scale",
                                             "Show CP stat", "CP Stat time", "CP Stat Level"};
    if (ParamType(id) == PARAM_NONE) return "";
    if (id < kSeveralParams) return kCommon[id];
    return m_isBoard ? kBoard[id - kSeveralParams] : "Estimate Yaw";
}

void* CWiiDevice::GetParam(int id, int* count, int* type)
{
    if (id < 0 || id >= m_firstChannelParam) return CAnalogDevice::GetParam(id, count, type);
    *count = 0;
    *type = ParamType(id);
    if (*type == PARAM_NONE) return nullptr;
    *count = 1;
    switch (id) {
        case kName:
            m_paramText = GetDeviceName();
            return &m_paramText;
        case kRate:
            m_rateParam = m_rate.load();
            return &m_rateParam;
        case kMin:
            return &m_minValue;
        case kMax:
            return &m_maxValue;
        case kShowBattery:
            return &m_showBattery;
        case kOffsetTime:
            return &m_offsetTime;
        default:
            break;
    }
    if (!m_isBoard) return &m_estimateYaw;
    switch (id) {
        case kHalfLength:
            return &m_halfLength;
        case kHalfWidth:
            return &m_halfWidth;
        case kWeightScale:
            return &m_weightScale;
        case kShowCP:
            return &m_showCPStat;
        case kCPTime:
            return &m_cpStatTime;
        default:
            return &m_cpStatLevel;
    }
}

wxString CWiiDevice::GetParamLabel(int id)
{
    if (id < 0 || id >= m_firstChannelParam) return CAnalogDevice::GetParamLabel(id);
    if (ParamType(id) == PARAM_NONE) return wxString();
    switch (id) {
        case kRate:
            return _("Sampling Rate (Hz)");
        case kOffsetTime:
            return _("Offset Time (s)");
        default:
            break;
    }
    if (!m_several && !m_isBoard && id == kEstimateYaw) return _("Estimate Yaw from Yaw velocity");
    return wxGetTranslation(ParamKey(id));
}

wxString CWiiDevice::GetParamKey(int id)
{
    if (id < 0 || id >= m_firstChannelParam) return CAnalogDevice::GetParamKey(id);
    return ParamKey(id);
}

bool CWiiDevice::SetParam(const void* value, int id, int count, int type, bool* changed)
{
    bool isChanged = false;
    bool taken = false;
    if (id < 0 || id >= m_firstChannelParam) {
        taken = CAnalogDevice::SetParam(value, id, count, type, &isChanged);
        if (changed != nullptr) *changed = isChanged;
        ApplyExportExtension();
        return taken;
    }
    const bool wasRunning = IsRunning();
    if (wasRunning) Stop();
    const int expected = ParamType(id);
    if (count == 1 && value != nullptr && expected != PARAM_NONE && type == expected) {
        taken = true;
        const wxString label = GetParamLabel(id);
        const double real = type == PARAM_DOUBLE ? *static_cast<const double*>(value) : 0.0;
        const uint8_t flag = type == PARAM_BOOL && *static_cast<const uint8_t*>(value) != 0;
        switch (id) {
            case kName: {
                const wxString& name = *static_cast<const wxString*>(value);
                if (!name.empty()) SetDeviceName(name);
                isChanged = !name.empty();
                break;
            }
            case kRate: {
                const double rate =
                    check_real_value(real, m_rate.load(), kMinRate, kMaxRate, label);
                m_rate = rate;
                m_pollInterval = 1.0 / (4.0 * rate);
                isChanged = true;
                break;
            }
            case kMin:
            case kMax:
                // A range of NaN or infinity cannot be drawn.
                if (std::isfinite(real))
                    (id == kMin ? m_minValue : m_maxValue) = real;
                else
                    taken = false;
                break;
            case kShowBattery:
                m_showBattery = flag;
                {
                    CMutexLock lock(&m_dataMutex);  // the acquisition thread notifies too
                    NotifyBatteryChanged(true);
                }
                break;
            case kOffsetTime:
                m_offsetTime =
                    check_real_value(real, m_offsetTime, 4.0 / m_rate.load(), 10.0, label);
                break;
            default:
                if (!m_isBoard) {
                    SetGuarded(m_estimateYaw, flag);
                    isChanged = true;
                } else if (id == kHalfLength) {
                    SetGuarded(m_halfLength,
                               check_real_value(real, m_halfLength, 0.0, 1000.0, label));
                } else if (id == kHalfWidth) {
                    SetGuarded(m_halfWidth,
                               check_real_value(real, m_halfWidth, 0.0, 1000.0, label));
                } else if (id == kWeightScale) {
                    SetGuarded(m_weightScale,
                               check_real_value(real, m_weightScale, 0.1, 1000.0, label));
                } else if (id == kShowCP) {
                    m_showCPStat = flag;
                    isChanged = true;
                } else if (id == kCPTime) {
                    m_cpStatTime = check_real_value(real, m_cpStatTime, 5.0, 120.0, label);
                    isChanged = true;
                } else {
                    const int32_t level = *static_cast<const int32_t*>(value);
                    m_cpStatLevel = level >= 0 && level < kLevelCount ? level : 0;
                    isChanged = true;
                }
                break;
        }
        if (m_minValue > m_maxValue) {
            std::swap(m_minValue, m_maxValue);
        } else if (m_minValue == m_maxValue) {
            m_minValue = -1.0;
            m_maxValue = -1.0;
        }
    }
    if (changed != nullptr) *changed = isChanged;
    if (wasRunning) Start();
    ApplyExportExtension();
    return taken;
}

int CWiiDevice::GetChoiceCount(int id) { return id == kCPLevel && m_isBoard ? kLevelCount : 0; }

wxString CWiiDevice::GetChoiceLabel(int id, int choice)
{
    if (id == kCPLevel && m_isBoard && choice >= 0 && choice < kLevelCount) return kLevels[choice];
    return _("???");
}

bool CWiiDevice::LoadConfig(wxConfigBase* config)
{
    m_exportExtension = ".txt";
    const bool loaded = CAnalogDevice::LoadConfig(config);
    if (loaded) ApplyExportExtension();
    if (m_channelOn != nullptr && m_channelCount > 0) {
        int enabled = 0;
        for (int i = 0; i < m_channelCount; ++i) enabled += m_channelOn[i] ? 1 : 0;
        if (enabled == 0) {
            {
                CMutexLock lock(&m_dataMutex);
                m_channelOn[0] = 1;
            }
            UpdateVisibleList();
        }
    }
    return loaded;
}

void CWiiDevice::ApplyExportExtension()
{
    int enabled = 0;
    if (m_channelOn != nullptr) {
        for (int i = 0; i < m_channelCount; ++i) enabled += m_channelOn[i] ? 1 : 0;
    }
    // Only a board's channels 5 and 6 are a centre of pressure.
    const bool onlyCP = !m_several && m_isBoard && enabled == 2 && m_channelCount >= kBoardRows &&
                        m_channelOn[5] && m_channelOn[6];
    m_exportExtension = onlyCP ? ".cp" : ".txt";
}

int CWiiDevice::EnabledBefore(int channel) const
{
    if (m_several || m_channelOn == nullptr || channel >= m_channelCount || !m_channelOn[channel])
        return -1;
    int before = 0;
    for (int i = 0; i < channel; ++i) before += m_channelOn[i] ? 1 : 0;
    return before;
}

int CWiiDevice::GetCPXIndex() const { return EnabledBefore(5); }

int CWiiDevice::GetCPYIndex() const { return EnabledBefore(6); }
