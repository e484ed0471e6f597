#include "network/oscDevice.h"

#include <wx/log.h>
#include <wx/translation.h>

#include <algorithm>
#include <utility>
#include <cstdlib>

#include "network/oscClientSettings.h"
#include "network/oscConnection.h"

namespace {

constexpr double kMinRateHz = 1.0;
constexpr double kMaxRateHz = 1000.0;
constexpr int64_t kMaxPort = 65535;
// Longest receive wait of one step, so that a stop or a start is seen soon.
constexpr double kMaxIdleWaitUs = 20000.0;

// Label (translated for display) and configuration key are the same text.
constexpr const char* kParamNames[COscDevice::kParamCount] = {
    "Device Name",    "Sampling Rate (Hz)", "Min Value",       "Max Value",
    "Server Name",    "Data Pattern",       "Connect Pattern", "Disconnect Pattern",
    "Listening Port", "Broadcast Address",  "Broadcast Port",
};
constexpr int kParamTypes[COscDevice::kParamCount] = {
    PARAM_STRING, PARAM_DOUBLE, PARAM_DOUBLE, PARAM_DOUBLE, PARAM_STRING, PARAM_STRING,
    PARAM_STRING, PARAM_STRING, PARAM_INT,    PARAM_STRING, PARAM_INT,
};

std::string Narrow(const wxString& text)
{
    const wxScopedCharBuffer bytes = text.utf8_str();
    return std::string(bytes.data(), bytes.length());
}

wxString Wide(const std::string& text) { return wxString::FromUTF8(text.data(), text.size()); }

double PollInterval(double rateHz) { return 1.0 / (4.0 * rateHz); }

}  // namespace

wxString FormatOscDevicePath(const wxString& server, const wxString& address, int port)
{
    return wxString::Format("%s@%s:%d", server, address, port);
}

COscDevice::COscDevice(bool synchronised) : CAnalogDevice(synchronised)
{
    const OscClientSettings settings = GetOscClientSettings();
    m_deviceKey = "osc_device";
    m_deviceName = "osc_device";
    m_displayName = _("OSC Device");
    m_configPath = "/Analog/osc_client";
    m_deviceType = 3;
    m_isTracker = false;
    m_channelCount = 1;
    m_dim = 1;
    m_rate = 25.0;
    m_rateParam = 25.0;
    m_minValue = -100.0;
    m_maxValue = 100.0;
    m_firstChannelParam = kParamCount;
    m_serverName = Wide(settings.serverName);
    m_dataPattern = Wide(settings.dataPattern);
    m_connectPattern = Wide(settings.connectPattern);
    m_disconnectPattern = Wide(settings.disconnectPattern);
    m_broadcastAddress = Wide(settings.address);
    m_broadcastPort = settings.broadcastPort;
    m_listeningPort = settings.listeningPort;
    m_ready = true;
    m_lastChangeUs = GetProgramTime();
    m_connected = false;
    m_pollIntervalSec = PollInterval(m_rate.load());
    m_devicePath = FormatOscDevicePath(m_serverName, m_broadcastAddress, m_listeningPort);
    InitChannels();
    m_received.assign(static_cast<size_t>(m_channelCount), 0.0);
    // Channels counted as their names count them, from 1.
    m_sourceWatch.Configure(SourceKind::kChannel, 1, CSourceWatch::kDefaultSilentAfterSec);
    m_sourceWatch.Resize(m_channelCount);
    Reconnect();
}

COscDevice::~COscDevice()
{
    // The acquisition thread ends before the connection it polls goes.
    Close();
    FreezeViews();
    std::lock_guard<std::mutex> lock(m_connectionMutex);
    if (!IsClosed()) {
        // Its thread did not end and may still poll: keep the connection alive.
        (void)m_connection.release();
        return;
    }
    m_connection.reset();
}

void COscDevice::Close()
{
    if (IsClosed()) return;
    FreezeViews();
    CDevice::Close();
    if (!IsClosed()) return;  // the thread did not end: it may still poll the connection
    const uint64_t cut = m_cutMessages.load();
    if (cut > 1)
        Log(wxString::Format("<OSC> %s: %llu messages carried values past the channels; %llu "
                             "values were dropped in all\n",
                             GetDeviceName(), static_cast<unsigned long long>(cut),
                             static_cast<unsigned long long>(m_droppedValues.load())));
    std::unique_ptr<OscConnection> old;
    {
        std::lock_guard<std::mutex> lock(m_connectionMutex);
        old = std::move(m_connection);
        m_connected = false;
        PublishConnectionState();
    }
    old.reset();  // sends the disconnect message
}

void COscDevice::Reset()
{
    CAnalogDevice::Reset();
    ResetCounters();
    ClearMarkers();
    m_lastChangeUs = GetProgramTime();
}

bool COscDevice::Process(bool tick, bool running)
{
    const bool due = IsTimeToSample(tick);
    // The GUI thread holds the lock only while it replaces the connection, with the
    // device stopped: skip the pass rather than wait for its handshake.
    std::unique_lock<std::mutex> lock(m_connectionMutex, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    const double sinceChangeSec = (GetProgramTime() - m_lastChangeUs.load()) * 1.0e-6;
    if ((due || sinceChangeSec > m_pollIntervalSec.load()) && !m_configBusy.load() &&
        m_connected.load() && m_connection != nullptr)
        m_connection->Poll(due ? 0 : IdleWaitUs(running));
    if (!due || !running) return false;
    RefreshRow();
    DispatchFrame();
    CountSample();
    return false;
}

// A held tick with no frame before it: the row of a due step, from what was received.
void COscDevice::RefreshRow()
{
    CMutexLock data(&m_dataMutex);
    CopyReceivedValues();
    if (CDevice::IsOffsetRunning())
        AccumulateOffset();
    else
        SubtractOffset();
}

// Until the next sample is due (a stopped device: a while), the step waits for a
// datagram in the receive call instead of passing again at once. A group-paced device
// follows its group's tick and does not wait.
int64_t COscDevice::IdleWaitUs(bool running)
{
    if (!running) return static_cast<int64_t>(kMaxIdleWaitUs);
    const double remainingUs = GetTimeToNextSampleUs();
    if (!(remainingUs > 0.0)) return 0;  // due, or unknown (NaN)
    return static_cast<int64_t>(std::min(remainingUs, kMaxIdleWaitUs));
}

// Data mutex held.
void COscDevice::CopyReceivedValues()
{
    if (!m_values || m_rowLength <= 0 || m_received.size() < static_cast<size_t>(m_rowLength))
        return;
    std::copy(m_received.begin(), m_received.begin() + m_rowLength, m_values.get());
}

bool COscDevice::SetChannelValue(double value, int channel)
{
    if (channel < 0 || channel >= m_channelCount ||
        static_cast<size_t>(channel) >= m_received.size())
        return false;
    m_received[static_cast<size_t>(channel)] = value;
    m_sourceWatch.Heard(channel);
    return true;
}

bool COscDevice::SetChannelCount(int count)
{
    // While a recording runs, or its writer waits with its header written, its frames
    // keep the layout of that header.
    std::lock_guard<std::mutex> lock(m_shapeMutex);
    const bool isHeld = IsShapeHeld();
    const int kept = isHeld ? m_channelCount : kOscMaxChannels;
    if (count > kept) CountDroppedValues(count, kept);
    if (isHeld)
        NoteShortMessage(count, m_channelCount);
    else
        m_shortCount = 0;  // a source free to re-shape has no short messages
    count = std::min(count, kOscMaxChannels);
    if (count < 1 || count == m_channelCount || isHeld) return false;
    return ApplyChannelCount(count);
}


// Values past the channels are dropped: said at the first such message, counted for
// all, and the totals said when the device closes.
void COscDevice::CountDroppedValues(int count, int kept)
{
    m_droppedValues.fetch_add(static_cast<uint64_t>(count - kept));
    if (m_cutMessages.fetch_add(1) != 0) return;
    Log(wxString::Format("<OSC> %s: a message of %d values, %d more than the %d channels kept "
                         "(%s): values past the channels are dropped and counted\n",
                         GetDeviceName(), count, count - kept, kept,
                         kept == kOscMaxChannels ? "the most a source gets"
                                                 : "the layout of the recording under way"));
}

void COscDevice::NoteShortMessage(int count, int kept)
{
    const int shortCount = count < kept ? count : 0;
    if (shortCount == m_shortCount) return;
    const int previous = std::exchange(m_shortCount, shortCount);
    if (shortCount > 0) {
        const wxString which =
            kept - count > 1
                ? wxString::Format("channels %d to %d keep their", count + 1, kept)
                : wxString::Format("channel %d keeps its", kept);
        Log(wxString::Format("<OSC> %s: the source now sends %d value%s for the %d channels kept "
                             "(the layout of the recording under way): %s last values until it "
                             "sends them again\n",
                             GetDeviceName(), count, count > 1 ? "s" : "", kept, which));
    } else if (previous > 0) {
        Log(wxString::Format("<OSC> %s: the source sends values for all %d channels again\n",
                             GetDeviceName(), kept));
    }
}

bool COscDevice::ApplyChannelCount(int count)
{
    count = std::clamp(count, 1, kOscMaxChannels);
    m_visibleListValid = false;
    {
        // The step and the views' feed read the row under this lock.
        CMutexLock lock(&m_dataMutex);
        FreeBuffers();
        m_channelCount = count;
        // InitChannels appends the default names and units.
        m_channelNames.clear();
        m_channelUnits.clear();
        // Every channel on and visible; the readers get the new list as one.
        InitChannels();
        // Values received for the channels that stay are kept.
        m_received.resize(static_cast<size_t>(count), 0.0);
        m_sourceWatch.Resize(count);
        // Offsets belong to the old channels: an averaging under way starts again on
        // the new ones, a finished offset is dropped.
        const bool averaging = m_offsetRunning.load() || m_offsetRequested.load();
        m_offsetRunning = false;
        m_offsetRequested = averaging;
        m_offsetCount = 0;
        m_offsetElapsed = 0.0;
    }
    m_viewGridStale = true;
    m_lastChangeUs = GetProgramTime();
    m_visibleListValid = true;
    // The next step restarts the clock and the counters for the new shape.
    m_initPending = true;
    return true;
}

void COscDevice::Reconnect()
{
    if (m_configBusy.load()) return;
    const bool wasRunning = IsRunning();
    if (wasRunning) Stop();
    m_connected = false;
    const OscClientSettings settings = GetOscClientSettings();
    auto connection = std::make_unique<OscConnection>(this);
    connection->SetPatterns(Narrow(m_connectPattern), Narrow(m_disconnectPattern));
    connection->SetTimeouts(settings.maxTimeoutMs, settings.minTimeoutMs);
    {
        std::lock_guard<std::mutex> lock(m_connectionMutex);
        // The old link says goodbye and hands over what its source sent before it heard
        // that. The device is stopped: those values are the latest it shows once it runs
        // again. The new link keeps its listening socket when the port stays, else
        // binds its own before the old one leaves: no moment without a listener.
        std::unique_ptr<OscConnection> old = std::move(m_connection);
        if (old != nullptr) old->Retire();
        m_connection = std::move(connection);
        m_connection->Open(Narrow(m_serverName), Narrow(m_broadcastAddress), m_broadcastPort,
                           m_listeningPort, old.get());
        PublishConnectionState();
        m_connected = true;
    }
    if (wasRunning) Start();
}

// m_connectionMutex held. The state is copied out so that asking for it never takes
// the lock: the acquisition thread would skip a pass, and with it a sample.
void COscDevice::PublishConnectionState()
{
    const OscConnection* connection = m_connection.get();
    m_connectionReady = connection != nullptr && connection->IsReady();
    m_connectResult = connection != nullptr ? connection->LastResult() : -1;
    m_boundListeningPort = connection != nullptr ? connection->BoundListeningPort() : -1;
}

void COscDevice::ApplyConfig() { Reconnect(); }

void* COscDevice::GetParam(int id, int* count, int* type)
{
    if (id >= kParamCount) return GetChannelParamCopy(id, count, type);
    if (id < 0) return CAnalogDevice::GetParam(id, count, type);
    *count = 1;
    *type = kParamTypes[id];
    switch (id) {
        case kDeviceName:
            m_paramText = GetDeviceName();  // a copy: the name is guarded
            return &m_paramText;
        case kSamplingRate:
            m_rateParam = m_rate.load();
            return &m_rateParam;
        case kMinValue:
            return &m_minValue;
        case kMaxValue:
            return &m_maxValue;
        case kServerName:
            return &m_serverName;
        case kDataPattern:
            return &m_dataPattern;
        case kConnectPattern:
            return &m_connectPattern;
        case kDisconnectPattern:
            return &m_disconnectPattern;
        case kListeningPort:
            return &m_listeningPort;
        case kBroadcastAddress:
            return &m_broadcastAddress;
        case kBroadcastPort:
            return &m_broadcastPort;
        default:
            *count = 0;
            return nullptr;
    }
}

int COscDevice::GetParamCount()
{
    CMutexLock lock(&m_dataMutex);
    return CAnalogDevice::GetParamCount();
}

wxString COscDevice::GetParamLabel(int id)
{
    if (id >= kParamCount) {
        CMutexLock lock(&m_dataMutex);
        return CAnalogDevice::GetParamLabel(id);
    }
    if (id < 0) return CAnalogDevice::GetParamLabel(id);
    return wxGetTranslation(kParamNames[id]);
}

wxString COscDevice::GetParamKey(int id)
{
    if (id >= kParamCount) {
        CMutexLock lock(&m_dataMutex);
        return CAnalogDevice::GetParamKey(id);
    }
    if (id < 0) return CAnalogDevice::GetParamKey(id);
    return kParamNames[id];
}

// A negative port is taken as its absolute value; one past 65535 keeps the old port.
bool COscDevice::StorePort(const void* value, int32_t& port, const wxString& label)
{
    const int64_t wanted = std::llabs(static_cast<int64_t>(*static_cast<const int32_t*>(value)));
    if (wanted > kMaxPort) {
        wxLogWarning(_("Invalid value %s [%ld, %ld]"), label, 0L, static_cast<long>(kMaxPort));
        return false;
    }
    port = static_cast<int32_t>(wanted);
    return true;
}

bool COscDevice::SetParam(const void* value, int id, int count, int type, bool* changed)
{
    if (id >= kParamCount) {
        // Held across the base's own locking, which then finds the mutex taken by this
        // thread and goes on: the channels keep their shape while a flag or name changes.
        CMutexLock lock(&m_dataMutex);
        return CAnalogDevice::SetParam(value, id, count, type, changed);
    }
    if (id < 0) return CAnalogDevice::SetParam(value, id, count, type, changed);
    *changed = false;
    const bool wasRunning = IsRunning();
    if (wasRunning) Stop();
    if (value != nullptr && count == 1 && type == kParamTypes[id]) StoreParam(value, id);
    *changed = true;
    if (id >= kServerName) {
        m_connected = false;
        Reconnect();
    }
    if (wasRunning) Start();
    return true;
}

// value has the type of property id.
void COscDevice::StoreParam(const void* value, int id)
{
    const wxString label = GetParamLabel(id);
    const auto text = [value] { return *static_cast<const wxString*>(value); };
    const auto number = [value] { return *static_cast<const double*>(value); };
    switch (id) {
        case kDeviceName:
            if (!text().empty()) SetDeviceName(text());
            break;
        case kSamplingRate: {
            const double rate =
                check_real_value(number(), m_rate.load(), kMinRateHz, kMaxRateHz, label);
            m_rate = rate;
            m_pollIntervalSec = PollInterval(rate);
            break;
        }
        case kMinValue:
            m_minValue = number();
            break;
        case kMaxValue:
            m_maxValue = number();
            break;
        case kServerName:
            m_serverName = text();
            break;
        case kDataPattern:
            m_dataPattern = text();
            break;
        case kConnectPattern:
            m_connectPattern = text();
            break;
        case kDisconnectPattern:
            m_disconnectPattern = text();
            break;
        case kListeningPort:
            StorePort(value, m_listeningPort, label);
            break;
        case kBroadcastAddress:
            m_broadcastAddress = text();
            break;
        case kBroadcastPort:
            StorePort(value, m_broadcastPort, label);
            break;
        default:
            break;
    }
}

wxString COscDevice::GetInfo()
{
    return CAnalogDevice::GetInfo() +
           wxString::Format("\n%s@%s:%d", m_serverName, m_broadcastAddress, m_broadcastPort);
}
