#include "satel/satel_device.h"

#include "process/messageQueue.h"

#include <wx/config.h>
#include <wx/log.h>
#include <wx/translation.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// " (/dev/ttyS0)" after a port name that is not its device file: the user finds the file.
wxString PathNote(const wxString& port)
{
    const std::string path = CSerialPort::DevicePathFor(port.utf8_str().data());
    if (path.empty() || wxString::FromUTF8(path) == port) return wxString();
    return " (" + wxString::FromUTF8(path) + ")";
}

enum SatelParam { kName = 0, kMin, kMax, kYOffset, kWeightScale, kShowCP, kCPTime, kCPLevel };

constexpr const char* kParamKeys[CSerialSatelDevice::kOwnParams] = {
    "Device Name",  "Min Value",    "Max Value",    "Y Offset",
    "Weight scale", "Show CP stat", "CP Stat time", "CP Stat Level"};
constexpr int kParamTypes[CSerialSatelDevice::kOwnParams] = {
    PARAM_STRING, PARAM_DOUBLE, PARAM_DOUBLE, PARAM_DOUBLE,
    PARAM_DOUBLE, PARAM_BOOL,   PARAM_DOUBLE, PARAM_CHOICE};
constexpr const char* kLevels[] = {"90 %", "95 %", "97.5 %", "99 %", "99.5 %"};
constexpr int kLevelCount = 5;

constexpr const char* kChannelNames[] = {"sensor 1", "sensor 2", "sensor 3", "Weight", "XP", "YP"};
constexpr const char* kChannelUnits[] = {"N", "N", "N", "N", "mm", "mm"};
constexpr int kDefaultPeriodMs = 25;
// A sample reply is due within a few sample periods; a missed one costs no more.
constexpr uint32_t kReplyPeriods = 3;
constexpr uint32_t kMinReplyTimeoutMs = 60;
// Configuration replies (opening, offsets) may take longer.
constexpr uint32_t kConfigReplyMs = 1000;
// A port where no board answers this soon is refused at opening.
constexpr uint32_t kOpenProbeMs = 1000;
// After a loss the line is tried this often for a few seconds: a board busy a moment
// answers again after its pause and one attempt, not a whole reopen interval later.
constexpr std::chrono::milliseconds kQuickReopen{100};
constexpr std::chrono::milliseconds kQuickReopenSpan{5000};

}  // namespace
CSerialSatelDevice::CSerialSatelDevice(const wxString& port, int periodMs, bool synchronised,
                                       double sizeMm, bool verbose)
    : CAnalogDevice(synchronised)
{
    m_verbose = verbose;
    // The period travels as one byte; 0 would also divide by zero below.
    m_period = (periodMs >= 1 && periodMs <= 255) ? periodMs : kDefaultPeriodMs;
    m_lineMeasure.SetPeriod(m_period);
    m_size = std::isfinite(sizeMm) ? sizeMm : 400.0;
    m_displayName = _("SATEL Serial Balance Board");
    m_deviceKey = "satel_device";
    SetDeviceName("satel_device");
    m_configPath = "/Analog/satel_device";
    m_deviceType = 5;
    m_channelCount = kChannels;
    m_dim = 1;
    m_rate = 1000.0 / m_period;
    m_replyTimeoutMs = DefaultReplyTimeoutMs(m_period);
    m_line.SetQuickReopen(kQuickReopen, kQuickReopenSpan);
    m_halfPeriod = 1.0 / (2.0 * m_rate.load());
    m_minValue = -m_size;
    m_maxValue = m_size;
    m_firstChannelParam = kOwnParams;
    m_exportExtension = ".txt";
    m_cpStatTime = 30.0;
    // Room for the longest reply and the samples held back: nothing is allocated per
    // sample on the acquisition thread.
    m_queue.resize(kMaxReply / kSampleSize + kHoldBack + 1);
    m_queueGaps.resize(m_queue.size());
    InitChannels();
    m_ready = open(port);
    if (!m_ready) return;
    m_deviceKey = "SATEL Balance Board";
    m_devicePath = MakeDevicePath(m_portName);
    m_cpDevice = true;
    for (int i = 0; i < kChannels; ++i) {
        SetChannelName(i, kChannelNames[i]);
        SetChannelUnit(i, kChannelUnits[i]);
    }
}

CSerialSatelDevice::~CSerialSatelDevice()
{
    // The acquisition thread ends before the port it reads goes.
    Close();
    if (IsClosed()) m_port.Close();
}

wxString CSerialSatelDevice::MakeDevicePath(const wxString& port) { return "satel/" + port; }

uint32_t CSerialSatelDevice::DefaultReplyTimeoutMs(int periodMs)
{
    const uint32_t period = periodMs > 0 ? static_cast<uint32_t>(periodMs) : kDefaultPeriodMs;
    return std::max(kMinReplyTimeoutMs, kReplyPeriods * period);
}

void CSerialSatelDevice::SetReplyTimeouts(std::chrono::milliseconds sample,
                                          std::chrono::milliseconds config)
{
    m_replyTimeoutMs = static_cast<uint32_t>(std::max<int64_t>(1, sample.count()));
    m_configTimeoutMs = static_cast<uint32_t>(std::max<int64_t>(1, config.count()));
}

void CSerialSatelDevice::MakeFrame(uint8_t command, uint8_t argument, uint8_t frame[kFrameSize])
{
    const uint8_t bytes[kFrameSize] = {0x23,    0x49,     0x00, 0x03,
                                       command, argument, 0x00, kTerminator};
    std::memcpy(frame, bytes, kFrameSize);
}

uint16_t CSerialSatelDevice::DecodeU16(const uint8_t* bytes)
{
    return static_cast<uint16_t>((static_cast<uint16_t>(bytes[0]) << 8) | bytes[1]);
}

void CSerialSatelDevice::DecodeSample(const uint8_t* bytes, double values[3])
{
    for (int i = 0; i < 3; ++i) values[i] = static_cast<int16_t>(DecodeU16(bytes + 2 * i));
}

void CSerialSatelDevice::LogError(const wxString& text)
{
    if (m_owner.load() != nullptr) {
        g_messages.Post(Severity::Error, text);
        return;
    }
    std::fputs(text.utf8_str().data(), stderr);
    std::fflush(stderr);
}

bool CSerialSatelDevice::open(const wxString& port)
{
    m_portName = port.empty() ? wxString("com1") : port;
    if (m_verbose) Log("Opening satel Port : " + m_portName + "\n");
    for (int i = 0; i < 3; ++i) {
        m_raw[i] = 0.0;
        m_boardOffset[i] = 0.0;
    }
    m_cpX = m_cpY = 0.0;
    const wxCharBuffer name = m_portName.mb_str();
    const int code = m_port.Open(name.data() ? name.data() : "", &m_settings);
    if (code != 1) {
        wxLogError(_("Cannot open the SATEL board's port %s: %s"), m_portName,
                   wxString::FromUTF8(CSerialPort::OpenFailureText(code, name.data())));
        m_port.Close();  // a line left half configured serves nobody and blocks a retry
        return false;
    }
    // A port where nothing answers is no board: said now, not later as a failed offset.
    uint8_t frame[kFrameSize];
    MakeFrame(kSetPeriod, static_cast<uint8_t>(m_period), frame);
    DiscardStale();
    if (!SendCommand(frame, kFrameSize) || !AwaitAck(kSetPeriod, kOpenProbeMs)) {
        wxLogError(_("No SATEL board answers on %s%s"), m_portName, PathNote(m_portName));
        m_port.Close();
        return false;
    }
    if (m_verbose) Log(m_portName + " is now opened.\n");
    return true;
}

bool CSerialSatelDevice::SendCommand(const uint8_t* frame, size_t length)
{
    if (!m_port.IsOpen()) return false;
    const int code = m_port.WriteBytes(frame, length);
    const bool setUp = frame[4] == kSetPeriod || frame[4] == kConfigure || frame[4] == kReset;
    if (code == 1 && length == kFrameSize && setUp) NoteSetUpSent();
    if (code == 1) return true;
    if (m_verbose) Log(wxString::Format("<CMD_error> %d\t", code));
    return false;
}

void CSerialSatelDevice::DiscardStale()
{
    m_port.FlushReceiver();
    ForgetReply();
}

wxString CSerialSatelDevice::TextHead() const
{
    return wxString::Format(_("<SATEL> %s on %s: "), GetDeviceName(), m_portName);
}

void CSerialSatelDevice::Pause(int ms)
{
    std::unique_lock<std::mutex> lock(m_closeMutex);
    m_closeWake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_closing.load(); });
}

void CSerialSatelDevice::PauseUs(int64_t us)
{
    std::unique_lock<std::mutex> lock(m_closeMutex);
    m_closeWake.wait_for(lock, std::chrono::microseconds(us), [this] { return m_closing.load(); });
}

void CSerialSatelDevice::ReportOnce(bool& reported, const wxString& text)
{
    if (reported) return;
    reported = true;
    g_messages.Post(Severity::Error, text);
}

void CSerialSatelDevice::PostBack()
{
    if (m_lostUnsaid) {
        // Back before the frames took what was queued: no frame held the last values.
        m_lostUnsaid = false;
        m_lostFrame = NameFrame(GetSampleCounter() + static_cast<int64_t>(QueuedSamples()));
        g_messages.Post(Severity::Error,
                        CLineWatch::LostText("<SATEL> ", GetDeviceName(), m_portName, m_lostFrame));
    }
    const int64_t back = NameFrame(GetSampleCounter());
    g_messages.Post(Severity::Error, CLineWatch::BackText("<SATEL> ", GetDeviceName(), m_portName,
                                                          m_lostFrame, back));
}

int64_t CSerialSatelDevice::NameFrame(int64_t frame)
{
    // Frames counted anew since the last text (a reset, a start): those named are gone.
    const int64_t counter = GetSampleCounter();
    if (counter < m_namedAt) m_namedFrame = 0;
    m_namedAt = counter;
    m_namedFrame = std::max(m_namedFrame, frame);
    return m_namedFrame;
}

void CSerialSatelDevice::Close()
{
    if (IsClosed()) return;
    {
        std::lock_guard<std::mutex> lock(m_closeMutex);
        m_closing = true;
    }
    m_closeWake.notify_all();
    CDevice::Close();
    // A thread that did not end may still read the line: leave it its port.
    if (!IsClosed()) return;
    m_port.Close();
    m_ready = false;
    const int64_t missed = m_missedReplies.load();
    const int64_t damaged = m_damagedReplies.load();
    const int64_t cut = m_cutReplies.load();
    const int64_t losses = m_line.GetLostCount();
    if (missed > 0 || damaged > 0 || cut > 0 || losses > 0) {
        wxString text = TextHead() + wxString::Format(
            _("%lld replies missed (%lld came late, their samples kept), %lld damaged replies "
              "or stretches of noise refused, %lld replies cut, line lost %lld times"),
            static_cast<long long>(missed), static_cast<long long>(m_lateReplies.load()),
            static_cast<long long>(damaged), static_cast<long long>(cut),
            static_cast<long long>(losses));
        if (m_line.IsLost())
            text += wxString::Format(_(", silent from frame %lld on"),
                                     static_cast<long long>(m_lostFrame));
        g_messages.Post(Severity::Error, text + "\n");
    }
    // Every board sample that no frame carries, by cause: the total is what the frames
    // show missing.
    const int64_t skipped = m_skippedSamples.load();
    const int64_t lost = m_lostSamples.load();
    const int64_t filtered = m_filteredSamples.load();
    const int64_t repeated = m_repeatedFrames.load();
    if (skipped > 0 || lost > 0 || filtered > 0 || repeated > 0) {
        wxString text = TextHead() +
                        wxString::Format(_("%lld board samples reached no frame (%lld dropped to "
                                           "keep the schedule, %lld lost in refused or cut "
                                           "replies"),
                                         static_cast<long long>(skipped + lost + filtered),
                                         static_cast<long long>(skipped),
                                         static_cast<long long>(lost));
        const int64_t unsure = m_unsureLost.load();
        if (unsure > 0)
            text += wxString::Format(_(", up to %lld fewer where a reply the line took away "
                                       "gave no length"),
                                     static_cast<long long>(unsure));
        if (filtered > 0)
            text += wxString::Format(_(", %lld refused by the spike filter"),
                                     static_cast<long long>(filtered));
        text += wxString::Format(_("); %lld frames repeated the last values"),
                                 static_cast<long long>(repeated));
        const int64_t twice = m_repeatedReplies.load();
        if (twice > 0)
            text += wxString::Format(_("; %lld replies that answered no request dropped"),
                                     static_cast<long long>(twice));
        g_messages.Post(Severity::Error, text + "\n");
    }
}

void CSerialSatelDevice::Reset()
{
    CAnalogDevice::Reset();
    ResetCounters();
    ClearMarkers();
    m_lastRead = ReadProgramClockUs();
}

void* CSerialSatelDevice::GetParam(int id, int* count, int* type)
{
    if (id < 0 || id >= kOwnParams) return CAnalogDevice::GetParam(id, count, type);
    *count = 1;
    *type = kParamTypes[id];
    switch (id) {
        case kName:
            m_paramText = GetDeviceName();  // a copy: the name is guarded
            return &m_paramText;
        case kMin:
            return &m_minValue;
        case kMax:
            return &m_maxValue;
        case kYOffset:
            return &m_yOffset;
        case kWeightScale:
            return &m_weightScale;
        case kShowCP:
            return &m_showCPStat;
        case kCPTime:
            return &m_cpStatTime;
        case kCPLevel:
            return &m_cpStatLevel;
        default:
            *count = 0;
            return nullptr;
    }
}

wxString CSerialSatelDevice::GetParamLabel(int id)
{
    if (id < 0 || id >= kOwnParams) return CAnalogDevice::GetParamLabel(id);
    return wxGetTranslation(kParamKeys[id]);
}

wxString CSerialSatelDevice::GetParamKey(int id)
{
    if (id < 0 || id >= kOwnParams) return CAnalogDevice::GetParamKey(id);
    return kParamKeys[id];
}

bool CSerialSatelDevice::SetParam(const void* value, int id, int count, int type, bool* changed)
{
    if (id < 0 || id >= kOwnParams) {
        const bool taken = CAnalogDevice::SetParam(value, id, count, type, changed);
        ApplyExportExtension();
        return taken;
    }
    bool isChanged = false;
    bool taken = false;
    const bool wasRunning = IsRunning();
    if (wasRunning) Stop();
    if (count == 1 && value != nullptr && type == kParamTypes[id]) {
        taken = true;
        const wxString label = GetParamLabel(id);
        const double real = type == PARAM_DOUBLE ? *static_cast<const double*>(value) : 0.0;
        switch (id) {
            case kName: {
                const wxString& name = *static_cast<const wxString*>(value);
                if (!check_string_value(name, GetDeviceName(), label).empty() && !name.empty()) {
                    SetDeviceName(name);
                    isChanged = true;
                }
                break;
            }
            case kMin:
            case kMax:
                if (!std::isfinite(real)) {
                    taken = false;  // a range of NaN or infinity cannot be drawn
                    break;
                }
                (id == kMin ? m_minValue : m_maxValue) = real;
                break;
            case kYOffset: {
                const double offset =
                    check_real_value(real, m_yOffset, -m_size / 2, m_size / 2, label);
                CMutexLock lock(&m_dataMutex);  // the samples are parsed with it
                m_yOffset = offset;
                break;
            }
            case kWeightScale: {
                const double scale = check_real_value(real, m_weightScale, 0.1, 1000.0, label);
                CMutexLock lock(&m_dataMutex);
                m_weightScale = scale;
                break;
            }
            case kShowCP:
                m_showCPStat = *static_cast<const uint8_t*>(value) != 0 ? 1 : 0;
                isChanged = true;
                break;
            case kCPTime:
                m_cpStatTime = check_real_value(real, m_cpStatTime, 5.0, 120.0, label);
                isChanged = true;
                break;
            case kCPLevel: {
                const uint32_t level = static_cast<uint32_t>(*static_cast<const int32_t*>(value));
                m_cpStatLevel =
                    level < static_cast<uint32_t>(kLevelCount) ? static_cast<int32_t>(level) : 0;
                isChanged = true;
                break;
            }
            default:
                break;
        }
        FixRange();
    }
    if (changed != nullptr) *changed = isChanged;
    if (wasRunning) Start();
    ApplyExportExtension();
    return taken;
}

void CSerialSatelDevice::FixRange()
{
    if (m_minValue > m_maxValue)
        std::swap(m_minValue, m_maxValue);
    else if (m_minValue == m_maxValue) {
        m_minValue = -m_size;
        m_maxValue = m_size;
    }
}

int CSerialSatelDevice::GetChoiceCount(int id) { return id == kCPLevel ? kLevelCount : 0; }

wxString CSerialSatelDevice::GetChoiceLabel(int id, int choice)
{
    if (id == kCPLevel && choice >= 0 && choice < kLevelCount) return kLevels[choice];
    return _("???");
}

bool CSerialSatelDevice::LoadConfig(wxConfigBase* config)
{
    m_exportExtension = ".txt";
    const bool loaded = CAnalogDevice::LoadConfig(config);
    if (loaded) ApplyExportExtension();
    return loaded;
}

void CSerialSatelDevice::ApplyExportExtension()
{
    int enabled = 0;
    if (m_channelOn != nullptr) {
        for (int i = 0; i < m_channelCount; ++i) enabled += m_channelOn[i] ? 1 : 0;
    }
    const bool onlyCP =
        enabled == 2 && m_channelCount >= kChannels && m_channelOn[4] && m_channelOn[5];
    m_exportExtension = onlyCP ? ".cp" : ".txt";
}

int CSerialSatelDevice::EnabledBefore(int channel) const
{
    if (m_channelOn == nullptr || channel < 0 || channel >= m_channelCount || !m_channelOn[channel])
        return -1;
    int before = 0;
    for (int i = 0; i < channel; ++i) before += m_channelOn[i] ? 1 : 0;
    return before;
}

int CSerialSatelDevice::GetCPXIndex() const { return EnabledBefore(4); }

int CSerialSatelDevice::GetCPYIndex() const { return EnabledBefore(5); }
