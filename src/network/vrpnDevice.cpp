#include "network/vrpnDevice.h"

#include "analog/paramType.h"

#include <wx/translation.h>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kOwnParams = 5;
enum VrpnParam { kRate = 0, kMinValue, kMaxValue, kDeviceName, kOffsetTime };

struct ParamText {
    const char* key;
    const char* label;
};
constexpr ParamText kParams[kOwnParams] = {
    {"Sampling Rate", "Sampling Rate"},
    {"Min Value", "Min Value"},
    {"Max Value", "Max Value"},
    {"DeviceName", "Device Name"},
    {"Offset Time", "Offset Time (s)"},
};
constexpr int kParamTypes[kOwnParams] = {PARAM_DOUBLE, PARAM_DOUBLE, PARAM_DOUBLE, PARAM_STRING,
                                         PARAM_DOUBLE};

}  // namespace

CVrpnDevice::CVrpnDevice(bool synchronised, const wxString& name, bool tracker)
    : CAnalogDevice(synchronised), m_vrpnName(name.Clone()), m_trackerVariant(tracker)
{
    m_deviceKey = "vrpn_device";
    m_deviceName = m_vrpnName.Clone();
    m_displayName = _("VRPN Device");
    m_configPath = "/Analog/VRPN";
    ResetCounters();
    m_channelCount = 1;
    m_firstChannelParam = kOwnParams;
    m_rate = 25.0;
    m_minValue = -10.0;
    m_maxValue = 10.0;
    // Only the tracker variant is a tracker: a 3D view reads seven values per channel.
    m_isTracker = tracker;
    // The service name goes on the wire as UTF-8, whatever the locale.
    const std::string narrow = name.utf8_string();
    if (tracker) {
        m_dim = 7;
        m_deviceType = 8;
        std::printf("<VRPN> Opening tracker %s\n", narrow.c_str());
    } else {
        m_dim = 1;
        m_deviceType = 7;
        std::printf("<VRPN> Opening analog %s\n", narrow.c_str());
    }
    std::fflush(stdout);
    m_client = std::make_unique<CVrpnClient>(narrow, static_cast<CVrpnClientSink*>(this));
    if (!m_client->IsValid())
        std::fprintf(stderr, "<VRPN> %s: %s\n", narrow.c_str(), m_client->GetError().c_str());
    m_devicePath = MakeDevicePath(name, tracker);
    InitChannels();
    m_reported.assign(static_cast<size_t>(m_channelCount * m_dim), 0.0);
    if (tracker) {
        // Sensor 0 starts at the origin with the identity orientation (w first).
        m_reported[3] = 1.0;
        const double pose[7] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0};
        SetTrackerValue(pose, 0, true);
    }
    m_ready = true;
    m_running = true;
    m_initPending = true;
}

CVrpnDevice::~CVrpnDevice()
{
    // The acquisition thread ends before the client and the buffers go.
    Close();
    FreezeViews();
}

wxString CVrpnDevice::MakeDevicePath(const wxString& name, bool tracker)
{
    return (tracker ? "tracker/" : "analog/") + name;
}

void CVrpnDevice::RunClient()
{
    std::unique_lock<std::mutex> lock(m_clientMutex, std::try_to_lock);
    if (!lock.owns_lock() || !m_client) return;
    m_client->Mainloop();
    m_connected.store(m_client->IsConnected());
    m_connects.store(m_client->GetConnectCount());
    m_drops.store(m_client->GetDropCount());
    // Said once: a misbehaving server may send one with every frame.
    const uint64_t malformed = m_client->GetMalformedCount();
    if (malformed > 0 && m_malformedReports.exchange(malformed) == 0) {
        Log(
            wxString::Format("<VRPN> %s: %s refused (the connection is kept; later ones are "
                             "counted)\n",
                             m_vrpnName, wxString::FromUTF8(m_client->GetFirstRefusal())));
    }
}

void CVrpnDevice::TakeReportedValues()
{
    CMutexLock lock(&m_dataMutex);
    if (!m_values || m_reported.size() != static_cast<size_t>(m_rowLength)) return;
    std::copy(m_reported.begin(), m_reported.end(), m_values.get());
}

bool CVrpnDevice::Process(bool tick, bool running)
{
    const bool isTime = IsTimeToSample(tick);
    RunClient();
    if (isTime && running) {
        TakeReportedValues();
        if (!m_trackerVariant) {
            if (IsOffsetRunning())
                AccumulateOffset();
            else
                SubtractOffset();
        }
        DispatchFrame();
        CountSample();
    }
    return false;
}

// The GUI thread dispatches here only while no acquisition thread does.
void CVrpnDevice::Poll()
{
    CheckInit();
    RunClient();
    if (!HasWorker()) {
        TakeReportedValues();
        DispatchFrame();
    }
}

void CVrpnDevice::Close()
{
    if (m_closed.load()) return;
    CDevice::Close();
    if (!m_closed.load()) return;  // the thread did not end: it may still use the client
    std::lock_guard<std::mutex> lock(m_clientMutex);
    m_client.reset();
    m_connected.store(false);
}

void CVrpnDevice::Reset()
{
    CAnalogDevice::Reset();
    ResetCounters();
    m_initPending = true;
}

void CVrpnDevice::OnTrackerReport(int sensor, const double pos[3], const double quat[4])
{
    if (!m_trackerVariant) return;
    if (sensor < m_channelCount) {
        CMutexLock lock(&m_dataMutex);
        if (m_reported.size() < static_cast<size_t>(sensor + 1) * 7) return;
        double* row = &m_reported[static_cast<size_t>(sensor) * 7];
        // VRPN's quaternion is x, y, z, w; ours is w, x, y, z.
        row[0] = pos[0];
        row[1] = pos[1];
        row[2] = pos[2];
        row[3] = quat[3];
        row[4] = quat[0];
        row[5] = quat[1];
        row[6] = quat[2];
        m_storedReports.fetch_add(1);
        return;
    }
    if (sensor >= kMaxSensors) {
        // Counted, and said once: a misbehaving server may send it at every frame.
        if (m_refusedReports.fetch_add(1) == 0)
            Log(wxString::Format("<VRPN> %s: report for sensor %d refused (at most %d sensors)\n",
                                 m_vrpnName, sensor, kMaxSensors));
        return;
    }
    // The channels grow to the highest sensor seen; this report is dropped.
    SetChannelCountIfNew(sensor + 1);
}

void CVrpnDevice::OnAnalogReport(int count, const double* values)
{
    if (m_trackerVariant) return;
    if (count != m_channelCount) {
        if (count > 0) SetChannelCountIfNew(count);
        return;
    }
    CMutexLock lock(&m_dataMutex);
    if (m_reported.size() != static_cast<size_t>(count)) return;
    std::copy(values, values + count, m_reported.begin());
    m_storedReports.fetch_add(1);
}

void CVrpnDevice::OnButtonReport(int button, int state) { OnButton(button, state); }

void CVrpnDevice::OnButton(int button, int state)
{
    const wxString label = wxString::Format("BT[%d] : %d", button, state);
    AddMarker(static_cast<uint32_t>(button), static_cast<uint32_t>(GetSampleCounter()), label,
              state != 0);
}

bool CVrpnDevice::SetChannelCountIfNew(int n)
{
    if (n < 1 || n == m_channelCount) return false;
    return SetChannelCount(n);
}

bool CVrpnDevice::SetChannelCount(int n)
{
    const bool wasRunning = IsRunning();
    if (wasRunning) Stop();
    m_visibleListValid = false;
    {
        CMutexLock lock(&m_dataMutex);
        FreeBuffers();
        m_channelCount = n;
        // InitChannels appends the default names and units: start from none.
        m_channelNames.clear();
        m_channelUnits.clear();
        InitChannels();
        UpdateVisibleList();
        m_reported.assign(static_cast<size_t>(n) * static_cast<size_t>(m_dim), 0.0);
        if (m_dim == 7) {
            for (int i = 0; i < n; ++i) m_reported[static_cast<size_t>(i) * 7 + 3] = 1.0;
        }
    }
    // The view grid is GUI work: the GUI thread takes the request.
    m_viewGridRequest.store(true);
    m_initPending = true;
    m_visibleListValid = true;
    if (wasRunning) Start();
    return true;
}

void* CVrpnDevice::GetParam(int id, int* count, int* type)
{
    if (id < 0 || id >= kOwnParams) return CAnalogDevice::GetParam(id, count, type);
    *count = 1;
    *type = kParamTypes[id];
    switch (id) {
        case kRate:
            m_paramDouble = m_rate.load();
            return &m_paramDouble;
        case kMinValue:
            return &m_minValue;
        case kMaxValue:
            return &m_maxValue;
        case kDeviceName:
            m_paramText = GetDeviceName();
            return &m_paramText;
        default:
            return &m_offsetTime;
    }
}

wxString CVrpnDevice::GetParamLabel(int id)
{
    if (id < 0 || id >= kOwnParams) return CAnalogDevice::GetParamLabel(id);
    return wxGetTranslation(kParams[id].label);
}

wxString CVrpnDevice::GetParamKey(int id)
{
    if (id < 0 || id >= kOwnParams) return CAnalogDevice::GetParamKey(id);
    return kParams[id].key;
}

bool CVrpnDevice::SetParam(const void* value, int id, int count, int type, bool* changed)
{
    if (id < 0 || id >= kOwnParams) return CAnalogDevice::SetParam(value, id, count, type, changed);
    *changed = false;
    const bool wasRunning = IsRunning();
    if (wasRunning) Stop();
    if (value != nullptr && count == 1 && type == kParamTypes[id]) {
        const wxString label = GetParamLabel(id);
        switch (id) {
            case kRate:
                m_rate = check_real_value(*static_cast<const double*>(value), m_rate.load(), 1.0,
                                          1000.0, label);
                break;
            case kMinValue:
                m_minValue = *static_cast<const double*>(value);
                break;
            case kMaxValue:
                m_maxValue = *static_cast<const double*>(value);
                break;
            case kDeviceName:
                SetDeviceName(*static_cast<const wxString*>(value));
                *changed = true;
                break;
            default:
                m_offsetTime = check_real_value(*static_cast<const double*>(value), m_offsetTime,
                                                4.0 / m_rate.load(), 10.0, label);
                break;
        }
    }
    if (m_minValue > m_maxValue) std::swap(m_minValue, m_maxValue);
    if (m_minValue == m_maxValue) {
        m_minValue = -10.0;
        m_maxValue = 10.0;
    }
    if (wasRunning) Start();
    return false;
}
