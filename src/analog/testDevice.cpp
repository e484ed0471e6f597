#include "analog/testDevice.h"

#include <wx/translation.h>

#include <cmath>
#include <limits>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSqrt2 = 1.4142135623730951;
constexpr int kAnalogParams = 6;
constexpr int kTrackerParams = 3;

enum TestParam { kName = 0, kAmplitude, kOmega, kShowCPStat, kCPStatTime, kCPStatLevel };

struct ParamText {
    const char* label;
    const char* key;
};
constexpr ParamText kParams[] = {
    {"Device Name", "DeviceName"},   {"Amplitude", "Amplitude"},
    {"Omega", "Omega"},              {"Show CP stat", "Show CP stat"},
    {"CP Stat time", "CP Stat time"}, {"CP Stat Level", "CP Stat Level"},
};
constexpr const char* kLevels[] = {"90 %", "95 %", "97.5 %", "99 %", "99.5 %"};

// Inverts a process-wide notify flag and returns the value it had.
bool TakeNotify(std::atomic<bool>& flag)
{
    bool current = flag.load();
    while (!flag.compare_exchange_weak(current, !current)) {
    }
    return current;
}

}  // namespace

std::atomic<bool> CTestDevice::s_analogNotify{true};
std::atomic<bool> CTestDevice::s_trackerNotify{true};

CTestDevice::CTestDevice(bool synchronised, bool tracker) : CAnalogDevice(synchronised)
{
    m_isTracker = tracker;
    m_configPath = tracker ? "/Analog/Test_device3D" : "/Analog/Test_device";
    m_displayName = tracker ? _("Test Tracker") : _("Test Analog");
    m_firstChannelParam = tracker ? kTrackerParams : kAnalogParams;
    m_deviceKey = tracker ? "test_device_3D" : "test_device";
    m_batteryPercent = 50;
    m_cpStatLevel = 4;
    m_channelCount = 8;
    m_devicePath = MakeDevicePath(tracker);
    m_deviceName = m_deviceKey;
    m_ready = true;
    m_amplitude = tracker ? 50.0 : 5.0;
    m_dim = tracker ? 7 : 1;
    m_deviceType = 1;
    m_markerCount = 0;
    m_walkX = m_walkY = 0.0;
    m_omega = 2.0 * kPi;
    m_rate = 25.0;
    m_maxValue = tracker ? 500.0 : 5.0;
    m_minValue = -m_maxValue;
    ResetCounters();
    m_showCPStat = 0;
    m_cpStatTime = 30.0;
    InitChannels();
    m_running = true;
    m_initPending = true;
}

CTestDevice::~CTestDevice()
{
    // The acquisition thread ends before the generators' state goes.
    Close();
    FreezeViews();
}

wxString CTestDevice::MakeDevicePath(bool tracker)
{
    return tracker ? "tracker/test" : "analog/test";
}

bool CTestDevice::Process(bool tick, bool running)
{
    const bool isTime = IsTimeToSample(tick);
    if (isTime && running) Step();
    return false;
}

void CTestDevice::Step()
{
    {
        // Settings change from the GUI thread under the same lock.
        CMutexLock lock(&m_dataMutex);
        Generate();
    }
    DispatchFrame();
    CountSample();
}

void CTestDevice::Close()
{
    if (!m_closed) CDevice::Close();
}

void CTestDevice::Reset()
{
    CAnalogDevice::Reset();
    m_initPending = true;
    CMutexLock lock(&m_dataMutex);
    m_markerCount = 0;
    m_walkX = 0.0;
    m_walkY = 0.0;
}

// 0.001 as the single-precision value the recording header has always stored.
double CTestDevice::GetUnitScale() const { return static_cast<double>(0.001f); }

wxString CTestDevice::GetChannelUnit(int) const { return "cm"; }

void CTestDevice::Generate()
{
    if (m_dim == 1)
        GenerateAnalog();
    else if (m_dim == 6 || m_dim == 7)
        GenerateTracker();
}

int CTestDevice::Draw()
{
    return static_cast<int>(m_random() % 32768u);
}

void CTestDevice::GenerateAnalog()
{
    const int n = m_channelCount;
    const double t = m_rate > 0.0 ? GetFrameCount() / m_rate : 0.0;
    const double a = m_amplitude;
    double phase = 0.0;
    for (int i = 0; i <= n - 3; ++i) {
        const double r = i * 0.25 + a * 0.5;
        m_values[i] = (i % 2 == 0) ? r * std::cos(m_omega * t + phase)
                                   : r * std::sin(m_omega * t + phase);
        phase += kPi / 4.0;
    }
    if (n >= 2) {
        const double u1 = Draw() * (1.0 / 32768.0);
        const double u2 = Draw() * (1.0 / 32768.0);
        m_walkX += ((u1 - 0.5) * 2.0 * kSqrt2) / (a + a);
        m_walkY += ((u2 - 0.5) * 2.0 * kSqrt2) / (a + a);
        m_values[n - 2] = m_walkX;
        m_values[n - 1] = m_walkY;
    }
    AddPeriodicMarker(t);
}

void CTestDevice::GenerateTracker()
{
    const int n = m_channelCount;
    const int dim = m_dim;
    const double t = m_rate > 0.0 ? GetFrameCount() / m_rate : 0.0;
    const double a = m_amplitude;
    const double c = std::cos(m_omega * t);
    const double s = std::sin(m_omega * t);
    double signX = 1.0;
    double signY = -1.0;
    for (int i = 0; i < n; ++i) {
        const double r = 0.5 * a + 0.25 * i;
        double* pose = &m_values[static_cast<size_t>(i) * dim];
        pose[0] = r * c * 10.0 * signX;
        signX = -signX;
        pose[1] = r * s * 10.0 * signY;
        pose[2] = ((a / 10.0) * c * s + (a * i) / 5.0) * 10.0;
        if (i % 2 == 1) signY = -signY;
        // Identity orientation: quaternion w first, or three Euler angles.
        pose[3] = dim == 7 ? 1.0 : 0.0;
        pose[4] = 0.0;
        pose[5] = 0.0;
        if (dim == 7) pose[6] = 0.0;
    }
    AddPeriodicMarker(t);
}

// Every two seconds of frame time, the first frame included.
void CTestDevice::AddPeriodicMarker(double timeSec)
{
    const double half = 0.5 * timeSec;
    if (half - std::floor(half) != 0.0) return;
    m_markerCount =
        m_markerCount == std::numeric_limits<int32_t>::max() ? 1 : m_markerCount + 1;
    const bool notify = TakeNotify(m_isTracker ? s_trackerNotify : s_analogNotify);
    AddMarker(0, static_cast<uint32_t>(m_sampleCounter),
              wxString::Format("E %d", m_markerCount), notify);
}

void* CTestDevice::GetParam(int id, int* count, int* type)
{
    *count = 0;
    if (id < 0 || id >= m_firstChannelParam) return CAnalogDevice::GetParam(id, count, type);
    *count = 1;
    switch (id) {
    case kName:
        *type = PARAM_STRING;
        m_paramText = GetDeviceName();  // a copy: the name is guarded
        return &m_paramText;
    case kAmplitude:
        *type = PARAM_DOUBLE;
        return &m_amplitude;
    case kOmega:
        *type = PARAM_DOUBLE;
        return &m_omega;
    case kShowCPStat:
        *type = PARAM_BOOL;
        return &m_showCPStat;
    case kCPStatTime:
        *type = PARAM_DOUBLE;
        return &m_cpStatTime;
    case kCPStatLevel:
        *type = PARAM_CHOICE;
        return &m_cpStatLevel;
    default:
        *count = 0;
        return nullptr;
    }
}

wxString CTestDevice::GetParamLabel(int id)
{
    if (id < 0 || id >= m_firstChannelParam) return CAnalogDevice::GetParamLabel(id);
    return wxGetTranslation(kParams[id].label);
}

wxString CTestDevice::GetParamKey(int id)
{
    if (id < 0 || id >= m_firstChannelParam) return CAnalogDevice::GetParamKey(id);
    return kParams[id].key;
}

bool CTestDevice::SetParam(const void* value, int id, int count, int type, bool* changed)
{
    if (id < 0 || id >= m_firstChannelParam)
        return CAnalogDevice::SetParam(value, id, count, type, changed);
    *changed = false;
    const bool wasRunning = IsRunning();
    if (wasRunning) Stop();
    const wxString label = GetParamLabel(id);
    const bool isLarge = m_dim > 5 || m_isTracker;
    const double upper = isLarge ? 100.0 : 10.0;
    const int expected[] = {PARAM_STRING, PARAM_DOUBLE, PARAM_DOUBLE,
                            PARAM_BOOL,   PARAM_DOUBLE, PARAM_CHOICE};
    if (count == 1 && value != nullptr && type == expected[id]) {
        switch (id) {
        case kName: {
            const wxString& name = *static_cast<const wxString*>(value);
            // An empty name is refused with a warning; the name is kept.
            const wxString kept = GetDeviceName();
            if (!check_string_value(name, kept, label).empty() && !name.empty()) {
                SetDeviceName(name);
                *changed = true;
            }
            break;
        }
        case kAmplitude: {
            const double amplitude = check_real_value(*static_cast<const double*>(value),
                                                      m_amplitude, 0.1, upper, label);
            CMutexLock lock(&m_dataMutex);  // the generators read it every frame
            m_amplitude = amplitude;
            break;
        }
        case kOmega: {
            const double omega = check_real_value(*static_cast<const double*>(value), m_omega,
                                                  kPi / 10.0, 10.0 * kPi, label);
            CMutexLock lock(&m_dataMutex);
            m_omega = omega;
            break;
        }
        case kShowCPStat:
            m_showCPStat = *static_cast<const uint8_t*>(value) != 0 ? 1 : 0;
            *changed = true;
            break;
        case kCPStatTime:
            m_cpStatTime = check_real_value(*static_cast<const double*>(value), m_cpStatTime, 5.0,
                                            120.0, label);
            *changed = true;
            break;
        case kCPStatLevel: {
            const uint32_t level = static_cast<uint32_t>(*static_cast<const int32_t*>(value));
            m_cpStatLevel = level <= 4 ? static_cast<int32_t>(level) : 0;
            *changed = true;
            break;
        }
        default:
            break;
        }
    }
    m_maxValue = isLarge ? 10.0 * m_amplitude : m_amplitude;
    m_minValue = -m_maxValue;
    if (wasRunning) Start();
    return true;
}

int CTestDevice::GetChoiceCount(int id) { return id == kCPStatLevel ? 5 : 0; }

wxString CTestDevice::GetChoiceLabel(int id, int choice)
{
    if (id == kCPStatLevel && choice >= 0 && choice < 5)
        return kLevels[choice];
    return _("???");
}

int CTestDevice::EnabledChannelsBelow(int channel) const
{
    if (m_isTracker || m_channelOn == nullptr || channel >= m_channelCount) return -1;
    if (!m_channelOn[channel]) return -1;
    int below = 0;
    for (int i = 0; i < channel; ++i) below += m_channelOn[i] ? 1 : 0;
    return below;
}

int CTestDevice::GetCPXIndex() const { return EnabledChannelsBelow(6); }

int CTestDevice::GetCPYIndex() const { return EnabledChannelsBelow(7); }
