#include "Bird/fob_device.h"

#include "process/messageQueue.h"

#include <wx/log.h>
#include <wx/translation.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

enum FobParam { kName = 0, kMin, kMax, kRate, kParamCount };
constexpr const char* kParamNames[kParamCount] = {"Device Name", "Min Value", "Max Value",
                                                  "Sampling rate"};
constexpr int kOpenAttempts = 5;
constexpr double kMaxDeviceRate = 100.0;  // Hz
constexpr unsigned kStreamMode = fob_wire::kModePosition | fob_wire::kModeQuaternion;

}  // namespace

CFobDevice::CFobDevice(const wxString& port, uint32_t baud, uint32_t delayMs, uint32_t hemisphere,
                       float rangeInches, bool synchronised, bool verbose,
                       const CFobStartup& startup)
    : CAnalogDevice(synchronised),
      m_baud(baud),
      m_delayMs(delayMs),
      m_hemisphere(hemisphere),
      m_rangeInches(rangeInches)
{
    m_verbose = verbose;
    m_displayName = _("Flock of Birds");
    m_deviceName = "fob_device";
    m_deviceKey = "fob_device";
    m_configPath = "/Analog/fob_device";
    m_deviceType = 4;
    m_isTracker = true;
    m_dim = 7;
    m_channelCount = 1;
    m_rate = kMaxDeviceRate;
    m_minValue = -kRangeLimit;
    m_maxValue = kRangeLimit;
    m_firstChannelParam = kParamCount;
    m_flock.set_setup(startup.flock);
    StartUp(port, startup);
    InitChannels();
    if (m_ready.load()) {
        for (int i = 0; i < m_channelCount; ++i) {
            SetChannelName(i, wxString::Format("Sensor %d", i + 1));
            SetChannelUnit(i, "m");
        }
        // A bird that stops reporting while the others go on is said, not only the
        // whole line going quiet.
        m_sourceWatch.Configure(SourceKind::kBird, 1, CSourceWatch::kDefaultSilentAfterSec);
        m_sourceWatch.Resize(m_channelCount);
    }
}

CFobDevice::~CFobDevice()
{
    // The acquisition thread ends before the flock goes.
    Close();
}

wxString CFobDevice::MakeDevicePath(const wxString& port) { return "fob/" + port; }

void CFobDevice::Prompt(const CFobStartup& startup, const wxString& text)
{
    if (startup.prompt) startup.prompt(text, _("Flock of Birds"));
    if (startup.yield) startup.yield();
}

bool CFobDevice::OpenFlock(const wxString& port, const CFobStartup& startup)
{
    const wxCharBuffer name = port.mb_str();
    for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
        if (attempt > 1) {
            m_flock.close_if_running();
            fob::pause_ms(startup.retryMs);
        }
        Log(wxString::Format("%s%s : %d\n", _("Opening Flock of Birds on "), port, attempt));
        if (name.data() != nullptr && m_flock.open(name.data(), m_hemisphere, m_baud, m_delayMs))
            return true;
    }
    return false;
}

void CFobDevice::StartUp(const wxString& port, const CFobStartup& startup)
{
    if (port.empty()) {
        wxLogError("%s", "Serial Port error !!!\n");
        return;
    }
    Prompt(startup, _("Flock of Birds device must be in STDBY mode"));
    // The reason the flock gives names the device file: "/dev/ttyS4 does not exist".
    const auto said = [this, &port](const wxString& what) {
        wxLogError("%s", wxString::Format(what, port, wxString::FromUTF8(m_flock.get_error())));
    };
    if (!OpenFlock(port, startup)) {
        said(_("Unable to open Flock of Birds device on %s: %s\n"));
        return;
    }
    m_port = port;
    Prompt(startup, _("Set Flock of Birds in FLY mode"));
    Log(_("Starting flock of birds\n"));
    if (startup.yield) startup.yield();
    if (!m_flock.start()) {
        said(_("Unable to start Flock of Birds device on %s: %s\n"));
        return;
    }
    Log(_("Starting flock of birds configuration\n"));
    if (startup.yield) startup.yield();
    if (!m_flock.set_mode(kStreamMode, m_rangeInches, true)) {
        wxLogError("%s", _("Unable to configure Flock of Birds device\n"));
        return;
    }
    m_maxRate = std::ceil(m_flock.max_rate(kStreamMode));
    Log(wxString::Format("%s%g\n", _("<FOB> max sampling rate "), m_maxRate));
    const size_t birds = std::min<size_t>(m_flock.bird_count(), fob_wire::kMaxBirds);
    if (birds == 0 || !(m_maxRate > 0.0)) {
        wxLogError("%s", _("Unable to configure Flock of Birds device\n"));
        return;
    }
    m_channelCount = static_cast<int>(birds);
    m_lastRead = 0.0;
    m_readPeriod = 1.0 / m_maxRate;
    m_rate = std::min(m_maxRate, kMaxDeviceRate);
    m_devicePath = MakeDevicePath(port);
    if (!m_flock.stream()) {
        // Without the stream no record would ever come: not ready, said once.
        m_channelCount = 1;
        wxLogError("%s", _("Unable to start Flock of Birds device\n"));
        return;
    }
    m_ready = true;
    fob::pause_ms(startup.settleMs);
}

bool CFobDevice::Process(bool tick, bool running)
{
    const bool isDue = IsTimeToSample(tick);
    const double now = ReadProgramClockUs();
    if ((now - m_lastRead.load()) / 1000.0 > m_readPeriod * 1000.0 || isDue) {
        m_lastRead.store(now);
        ReadSample();
    }
    if (isDue && running) {
        DispatchFrame();
        CountSample();
    }
    return false;
}

void CFobDevice::LineFailed()
{
    ReportFirstRefusal();  // the records the line's loss cut off are refused too
    if (m_line.Failed(m_flock.line_vanished()) != CLineWatch::Change::Lost) return;
    // The loss is known a few read time-outs late: name the first frame that holds
    // the last values read.
    m_lostFrame = m_line.GetFrozenFrom();
    g_messages.Post(Severity::Error,
                    CLineWatch::LostText("<FOB> ", GetDeviceName(), m_port, m_lostFrame));
}

void CFobDevice::ReportFirstRefusal()
{
    if (m_refusalReported || m_flock.get_dropped_records() == 0) return;
    m_refusalReported = true;
    g_messages.Post(Severity::Error,
                    wxString::Format(_("<FOB> %s: refused a streamed record (%s); further "
                                       "refusals are counted and reported at closing\n"),
                                     GetDeviceName(), wxString(m_flock.get_error())));
}

// Birds that sent no new record keep their last values; a lost line keeps them all,
// while the frames go on at their rate.
void CFobDevice::ReadSample()
{
    if (!m_ready.load()) return;
    // Frames counted anew (a reset, a trial's start): the frames a text names are this
    // count's, and none of them carried values read from the line yet.
    const int64_t counter = GetSampleCounter();
    if (counter < m_countAt) {
        m_line.NoteFreshFrame(-1);
        if (m_line.IsLost()) m_lostFrame = 0;
    }
    m_countAt = counter;
    // A set-up under way is let finish: its waits are longer than the reopen interval.
    if (m_line.IsLost() && !m_flock.is_resuming() && m_line.IsReopenDue()) {
        m_flock.resume_stream();
        m_line.ReopenTried();
    }
    m_flock.resume_step();
    if (m_line.IsLost() && !m_flock.IsOpen()) return;
    const uint64_t routedBefore = m_flock.get_routed_records();
    if (!m_flock.update()) {
        LineFailed();
        return;
    }
    ReportFirstRefusal();
    if (m_flock.get_routed_records() == routedBefore) return;
    m_line.NoteFreshFrame(GetSampleCounter());  // the next frame carries these records
    if (m_line.Succeeded() == CLineWatch::Change::Back)
        g_messages.Post(Severity::Error, CLineWatch::BackText("<FOB> ", GetDeviceName(), m_port,
                                                              m_lostFrame, GetSampleCounter()));
    const size_t birds = std::min(m_flock.bird_count(), static_cast<size_t>(m_channelCount));
    float position[3];
    float quaternion[4];
    CMutexLock lock(&m_dataMutex);
    if (!m_values) return;
    for (size_t i = 0; i < birds; ++i) {
        const fob::bird* each = m_flock.get_bird(i);
        each->get_position(position);
        each->get_quaternion(quaternion);
        double* pose = &m_values[7 * i];
        for (int k = 0; k < 3; ++k) pose[k] = position[k];
        for (int k = 0; k < 4; ++k) pose[3 + k] = quaternion[k];
        const uint64_t records = each->get_record_count();
        if (records != m_birdRecords[i]) {
            m_birdRecords[i] = records;
            m_sourceWatch.Heard(static_cast<int>(i));
        }
    }
}

void CFobDevice::Close()
{
    if (IsClosed()) return;
    CDevice::Close();
    // A thread that did not end may still read the line: leave the flock to it.
    if (!IsClosed()) return;
    if (m_ready.load()) {
        m_flock.close_if_running();
        m_ready = false;
    }
    const uint64_t refused = m_flock.get_dropped_records();
    if (refused > 0 || m_line.GetLostCount() > 0) {
        wxString text = wxString::Format(_("<FOB> %s: %llu streamed records refused, line lost "
                                           "%lld times"),
                                         GetDeviceName(), static_cast<unsigned long long>(refused),
                                         static_cast<long long>(m_line.GetLostCount()));
        if (m_line.IsLost())
            text += wxString::Format(_(", silent from frame %lld on"),
                                     static_cast<long long>(m_lostFrame));
        g_messages.Post(Severity::Error, text + "\n");
    }
}

void CFobDevice::Reset()
{
    CAnalogDevice::Reset();
    ResetCounters();
    ClearMarkers();
    m_lastRead.store(ReadProgramClockUs());
}

void* CFobDevice::GetParam(int id, int* count, int* type)
{
    if (id < 0 || id >= kParamCount) return CAnalogDevice::GetParam(id, count, type);
    *count = 1;
    switch (id) {
        case kName:
            *type = PARAM_STRING;
            m_paramText = GetDeviceName();
            return &m_paramText;
        case kMin:
            *type = PARAM_DOUBLE;
            return &m_minValue;
        case kMax:
            *type = PARAM_DOUBLE;
            return &m_maxValue;
        default:
            *type = PARAM_DOUBLE;
            m_rateParam = m_rate.load();
            return &m_rateParam;
    }
}

wxString CFobDevice::GetParamLabel(int id)
{
    if (id < 0 || id >= kParamCount) return CAnalogDevice::GetParamLabel(id);
    return wxGetTranslation(kParamNames[id]);
}

wxString CFobDevice::GetParamKey(int id)
{
    if (id < 0 || id >= kParamCount) return CAnalogDevice::GetParamKey(id);
    return kParamNames[id];
}

bool CFobDevice::SetParam(const void* value, int id, int count, int type, bool* changed)
{
    if (id < 0 || id >= kParamCount)
        return CAnalogDevice::SetParam(value, id, count, type, changed);
    *changed = false;
    const int expected = id == kName ? PARAM_STRING : PARAM_DOUBLE;
    if (count != 1 || type != expected || value == nullptr) return false;
    const bool wasRunning = IsRunning();
    if (wasRunning) Stop();
    switch (id) {
        case kName: {
            const wxString& name = *static_cast<const wxString*>(value);
            if (!name.empty()) {
                SetDeviceName(name);
                *changed = true;
            }
            break;
        }
        case kMin:
            m_minValue = *static_cast<const double*>(value);
            break;
        case kMax:
            m_maxValue = *static_cast<const double*>(value);
            break;
        default:
            m_rate = check_real_value(*static_cast<const double*>(value), m_rate.load(), kMinRate,
                                      m_maxRate, GetParamLabel(id));
            break;
    }
    if (m_minValue > m_maxValue) std::swap(m_minValue, m_maxValue);
    if (m_minValue == m_maxValue) {
        m_minValue = -kRangeLimit;
        m_maxValue = kRangeLimit;
    }
    if (wasRunning) Start();
    return true;
}

wxString CFobDevice::GetInfo()
{
    const char* hemisphere = fob_wire::hemisphere_name(m_hemisphere);
    wxString info = CAnalogDevice::GetInfo() + "\n";
    info += wxString::Format("\nRange of motion : %.2f (m)", m_rangeInches * 0.0254);
    info += "\nHemisphere : ";
    info += hemisphere != nullptr ? hemisphere : "?";
    return info;
}
