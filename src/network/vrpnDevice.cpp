#include "network/vrpnDevice.h"

#include "analog/paramType.h"

#include <wx/translation.h>

#include <algorithm>
#include <cstdio>
#include <utility>

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
    // Sensors and channels numbered from 1, as the 3D view labels them.
    m_sourceWatch.Configure(tracker ? SourceKind::kSensor : SourceKind::kChannel, 1,
                            CSourceWatch::kDefaultSilentAfterSec);
    m_sourceWatch.Resize(m_channelCount);
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

void CVrpnDevice::SetNoteInterval(CRepeatNote::Clock::duration interval)
{
    std::lock_guard<std::mutex> lock(m_clientMutex);
    m_linkNote.SetInterval(interval);
    m_refusalNote.SetInterval(interval);
}

void CVrpnDevice::RunClient()
{
    std::unique_lock<std::mutex> lock(m_clientMutex, std::try_to_lock);
    if (!lock.owns_lock() || !m_client) return;
    m_client->Mainloop();
    m_connected.store(m_client->IsConnected());
    const uint64_t connects = m_client->GetConnectCount();
    const uint64_t drops = m_client->GetDropCount();
    const uint64_t malformed = m_client->GetMalformedCount();
    const uint64_t refused = m_client->GetRefusedMessageCount();
    const auto now = CRepeatNote::Clock::now();
    const uint64_t failedOpenings = m_client->GetFailedOpenings();
    const uint64_t unanswered = m_client->GetUnansweredAttempts();
    // A link lost is known at once: the values held from it are no longer received.
    if (drops != m_drops.load()) {
        for (int i = m_sourceWatch.Count() - 1; i >= 0; --i) m_sourceWatch.Lost(i);
    }
    NoteLink(now, connects - m_connects.exchange(connects), drops - m_drops.exchange(drops),
             failedOpenings - std::exchange(m_failedOpenings, failedOpenings),
             unanswered - std::exchange(m_unanswered, unanswered));
    NoteRefusals(now, malformed - m_malformedReports.exchange(malformed) + refused -
                          m_refusedMessages.exchange(refused));
}

// A server that goes away leaves the device making frames from the last values: the
// user hears when, why, and how many frames were made so until it came back. A server
// that flaps is said at most once per interval, with what happened since.
void CVrpnDevice::NoteLink(CRepeatNote::Clock::time_point now, uint64_t connects, uint64_t drops,
                           uint64_t failedOpenings, uint64_t unanswered)
{
    m_failedOpeningsUnsaid += failedOpenings;
    // No server at the address is said at once and for as long as it lasts: the frames
    // made meanwhile hold nothing received.
    m_unansweredUnsaid += unanswered;
    const bool isUnanswered = !m_connected.load() && (unanswered > 0 || (m_noServer.load() && connects == 0));
    if (m_noServer.exchange(isUnanswered) != isUnanswered) m_displayChanged.store(true);
    if (drops > 0) {
        m_sawLoss = true;
        m_lossesUnsaid += drops;
        m_lossReason = m_client->GetLastDropReason();
        if (!m_connected.load()) m_framesAtLoss = m_framesWithoutServer.load();
    }
    // A first connection is news only when frames were made before it.
    if (failedOpenings > 0) m_sawFailedOpening = true;
    const bool isNews = drops > 0 || failedOpenings > 0 || unanswered > 0 ||
                        (connects > 0 && (m_sawLoss || m_sawFailedOpening ||
                                          m_framesWithoutServer.load() > m_framesSaid));
    if (isNews ? m_linkNote.Count(now, connects + drops + failedOpenings + unanswered)
               : m_linkNote.IsDue(now))
        SayLink(now);
}

void CVrpnDevice::SayLink(CRepeatNote::Clock::time_point now)
{
    m_linkNote.TakeUnsaid(now);
    const uint64_t total = m_framesWithoutServer.load();
    auto frames = static_cast<unsigned long long>(total - m_framesSaid);
    m_framesSaid = total;
    const auto losses = static_cast<unsigned long long>(m_lossesUnsaid);
    m_lossesUnsaid = 0;
    const auto failedOpenings = static_cast<unsigned long long>(m_failedOpeningsUnsaid);
    m_failedOpeningsUnsaid = 0;
    const uint64_t unanswered = std::exchange(m_unansweredUnsaid, 0);
    wxString text;
    if (!m_connected.load() && losses == 0 && failedOpenings == 0 && unanswered > 0) {
        text = DescribeNoServer(frames);
        m_sawNoServer = true;
    } else if (!m_connected.load() && losses == 0 && failedOpenings > 0) {
        // The server is there but the link does not open: said, or it would look absent.
        text = wxString::Format("the server answered but the link did not open (%s); tried "
                                "again every %d s",
                                wxString::FromUTF8(m_client->GetLastOpeningFailure()),
                                static_cast<int>(CVrpnClient::kRetryInterval.count()));
        if (failedOpenings > 1 || frames > 0)
            text += wxString::Format(" (%llu tries since the last note, %llu frames made "
                                     "without it)",
                                     failedOpenings, frames);
    } else if (m_connected.load()) {
        // Frames a note on the absent server already counted still belong to the wait.
        if (m_sawNoServer)
            frames = std::max(frames, static_cast<unsigned long long>(
                                          m_sawLoss ? total - m_framesAtLoss : total));
        m_sawNoServer = false;
        if (!m_sawLoss && frames == 0)
            text = "connected to the server";
        else if (!m_sawLoss)
            text = wxString::Format("connected to the server after %llu frames made without it "
                                    "(they hold the first values)",
                                    frames);
        else
            text = wxString::Format("link to the server back after %llu frames made without it "
                                    "(they hold the last values)",
                                    frames);
        if (losses > 1)
            text += wxString::Format("; lost %llu times since the last note (last: %s)", losses,
                                     wxString::FromUTF8(m_lossReason));
    } else {
        text = wxString::Format("link to the server lost (%s); frames hold the last values until "
                                "it is back",
                                wxString::FromUTF8(m_lossReason));
        if (losses > 1 || frames > 0)
            text += wxString::Format(" (lost %llu times since the last note, %llu frames made "
                                     "without it)",
                                     losses, frames);
    }
    Log(wxString::Format("<VRPN> %s: %s\n", m_vrpnName, text));
}

wxString CVrpnDevice::DescribeNoServer(unsigned long long frames) const
{
    const VrpnName& name = m_client->GetName();
    wxString text = wxString::Format("no server answers at %s:%d (%s)%s; tried again every %d s",
                                     wxString::FromUTF8(name.host), name.port,
                                     wxString::FromUTF8(m_client->GetLastUnanswered()),
                                     m_sawLoss ? " since the link was lost" : "",
                                     static_cast<int>(CVrpnClient::kRetryInterval.count()));
    if (frames > 0)
        text += wxString::Format(" (%llu frames made without it, holding %s values)", frames,
                                 m_sawLoss ? "the last" : "no received");
    return text;
}

wxString CVrpnDevice::GetDisplayName() const
{
    if (!m_noServer.load()) return m_displayName;
    return m_displayName + _(" (no server answers)");
}

// A misbehaving server may send a bad message with every frame: the first is said at
// once, the others at most once per interval, counted.
void CVrpnDevice::NoteRefusals(CRepeatNote::Clock::time_point now, uint64_t refused)
{
    if (refused > 0 ? m_refusalNote.Count(now, refused) : m_refusalNote.IsDue(now))
        SayRefusals(now);
}

void CVrpnDevice::SayRefusals(CRepeatNote::Clock::time_point now)
{
    const bool isFirst = m_refusalNote.Total() == m_refusalNote.Unsaid();
    const auto since = static_cast<unsigned long long>(m_refusalNote.TakeUnsaid(now));
    const auto total = static_cast<unsigned long long>(m_refusalNote.Total());
    if (isFirst && since == 1) {
        Log(wxString::Format("<VRPN> %s: %s (the connection is kept; later ones are counted)\n",
                             m_vrpnName,
                             wxString::FromUTF8(DescribeVrpnRefusal(m_client->GetFirstRefusal()))));
        return;
    }
    Log(wxString::Format("<VRPN> %s: %llu messages refused since the last note, %llu in all "
                         "(first: %s; last: %s); the connection is kept\n",
                         m_vrpnName, since, total,
                         wxString::FromUTF8(DescribeVrpnRefusal(m_client->GetFirstRefusal())),
                         wxString::FromUTF8(DescribeVrpnRefusal(m_client->GetLastRefusal()))));
}

// At close, what the notes still hold back is said, and frames made since a loss.
void CVrpnDevice::SayLeftNotes()
{
    const auto now = CRepeatNote::Clock::now();
    if (m_refusalNote.Unsaid() > 0) SayRefusals(now);
    if (m_linkNote.Unsaid() > 0) SayLink(now);
    const uint64_t total = m_framesWithoutServer.load();
    if (m_connected.load() || total == m_framesSaid) return;
    m_framesSaid = total;
    if (!m_sawLoss) {
        Log(wxString::Format("<VRPN> %s: closed without ever reaching the server; %llu frames "
                             "were made without it\n",
                             m_vrpnName, static_cast<unsigned long long>(total)));
        return;
    }
    Log(wxString::Format("<VRPN> %s: closed without a server; %llu frames were made without it "
                         "(%llu since the link was lost)\n",
                         m_vrpnName, static_cast<unsigned long long>(total),
                         static_cast<unsigned long long>(total - m_framesAtLoss)));
}

void CVrpnDevice::TakeReportedValues()
{
    CMutexLock lock(&m_dataMutex);
    m_sourceWatch.Latch();  // what the row takes is what counts as received
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
        if (!m_connected.load()) m_framesWithoutServer.fetch_add(1);
    }
    return false;
}

// The GUI thread runs the client and dispatches here only while no acquisition thread
// runs the device's loop: that thread alone takes the reports, re-shapes between its
// frames and paces.
void CVrpnDevice::Poll()
{
    if (!HasThreadEnded()) return;
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
    const uint64_t cut = m_cutReports.load();
    if (cut > 1)
        Log(wxString::Format("<VRPN> %s: %llu reports carried values past the channels; %llu "
                             "values were dropped in all\n",
                             m_vrpnName, static_cast<unsigned long long>(cut),
                             static_cast<unsigned long long>(m_droppedValues.load())));
    std::lock_guard<std::mutex> lock(m_clientMutex);
    if (m_client) SayLeftNotes();
    m_client.reset();
    m_connected.store(false);
}

void CVrpnDevice::Reset()
{
    CAnalogDevice::Reset();
    ResetCounters();
    m_initPending = true;
}

// A sensor seen for the first time grows the channels to it; every pose received so far
// stays, and so does this report. While a recording runs its frames keep the layout of
// its header.
void CVrpnDevice::OnTrackerReport(int sensor, const double pos[3], const double quat[4])
{
    if (!m_trackerVariant || sensor < 0) return;
    if (sensor >= m_channelCount) {
        if (sensor >= kMaxSensors) {
            // Counted, and said once: a misbehaving server may send it at every frame.
            if (m_refusedReports.fetch_add(1) == 0)
                Log(wxString::Format("<VRPN> %s: report for sensor %d refused (at most %d "
                                     "sensors)\n",
                                     m_vrpnName, sensor + 1, kMaxSensors));
            return;
        }
        if (!ReshapeUnlessHeld(sensor + 1)) {
            CountDroppedValues(sensor + 1, m_channelCount, sensor);
            return;
        }
    }
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
    m_sourceWatch.Heard(sensor);
}

// A new channel count re-shapes (the values of the channels that stay are kept) and the
// report is stored. While a recording runs its frames keep the layout of its header: the
// channels take the values they have room for, missing ones keep their last value until
// the watch says them silent.
void CVrpnDevice::OnAnalogReport(int count, const double* values)
{
    if (m_trackerVariant || count < 1) return;
    if (count != m_channelCount && !ReshapeUnlessHeld(count) && count > m_channelCount)
        CountDroppedValues(count, m_channelCount, -1);
    CMutexLock lock(&m_dataMutex);
    const size_t taken = std::min(static_cast<size_t>(count), m_reported.size());
    std::copy(values, values + taken, m_reported.begin());
    m_storedReports.fetch_add(1);
    for (size_t i = 0; i < taken; ++i) m_sourceWatch.Heard(static_cast<int>(i));
}

// Values past the channels kept are dropped: said at the first such report, counted for
// all, and the totals said when the device closes.
void CVrpnDevice::CountDroppedValues(int count, int kept, int sensor)
{
    // A tracker report past the channels drops its whole pose.
    m_droppedValues.fetch_add(static_cast<uint64_t>(sensor >= 0 ? m_dim : count - kept));
    if (m_cutReports.fetch_add(1) != 0) return;
    if (sensor >= 0)
        Log(wxString::Format("<VRPN> %s: a report for sensor %d, past the %d channels kept (the "
                             "layout of the recording under way): reports past the channels are "
                             "dropped and counted\n",
                             m_vrpnName, sensor + 1, kept));
    else
        Log(wxString::Format("<VRPN> %s: a report of %d values, %d more than the %d channels "
                             "kept (the layout of the recording under way): values past the "
                             "channels are dropped and counted\n",
                             m_vrpnName, count, count - kept, kept));
}

void CVrpnDevice::OnButtonReport(int button, int state) { OnButton(button, state); }

void CVrpnDevice::OnButton(int button, int state)
{
    const wxString label = wxString::Format("BT[%d] : %d", button, state);
    AddMarker(static_cast<uint32_t>(button), static_cast<uint32_t>(GetSampleCounter()), label,
              state != 0);
}

// A writer's header is the shape of the moment it opens: the decision and the re-shape
// happen under the lock the opening takes, so that a header has one shape or the other.
bool CVrpnDevice::ReshapeUnlessHeld(int n)
{
    std::lock_guard<std::mutex> lock(m_shapeMutex);
    if (IsShapeHeld()) return false;
    SetChannelCountIfNew(n);
    return true;
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
        // InitChannels appends the default names and units (start from none) and
        // publishes the new list of all channels as one.
        m_channelNames.clear();
        m_channelUnits.clear();
        InitChannels();
        // What was received stays: channels that remain keep their values, new ones
        // start at the origin with the identity orientation until they report.
        const size_t dim = static_cast<size_t>(m_dim);
        const size_t old = m_reported.size() / dim;
        m_reported.resize(static_cast<size_t>(n) * dim, 0.0);
        if (m_dim == 7) {
            for (size_t i = old; i < static_cast<size_t>(n); ++i) m_reported[i * 7 + 3] = 1.0;
        }
        m_sourceWatch.Resize(n);
    }
    // The view grid is GUI work: the GUI thread takes the request.
    m_viewGridRequest.store(true);
    m_initPending = true;
    m_visibleListValid = true;
    if (wasRunning) Start();
    return true;
}

int CVrpnDevice::GetParamCount()
{
    CMutexLock lock(&m_dataMutex);  // the channels re-shape on the acquisition thread
    return CAnalogDevice::GetParamCount();
}

void* CVrpnDevice::GetParam(int id, int* count, int* type)
{
    if (id >= kOwnParams) return GetChannelParamCopy(id, count, type);
    if (id < 0) return CAnalogDevice::GetParam(id, count, type);
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
    if (id < 0 || id >= kOwnParams) {
        CMutexLock lock(&m_dataMutex);
        return CAnalogDevice::GetParamLabel(id);
    }
    return wxGetTranslation(kParams[id].label);
}

wxString CVrpnDevice::GetParamKey(int id)
{
    if (id < 0 || id >= kOwnParams) {
        CMutexLock lock(&m_dataMutex);
        return CAnalogDevice::GetParamKey(id);
    }
    return kParams[id].key;
}

bool CVrpnDevice::SetParam(const void* value, int id, int count, int type, bool* changed)
{
    if (id < 0 || id >= kOwnParams) {
        // Held across the base's own locking (which finds it taken by this thread): the
        // channels keep their shape while a flag or a name changes.
        CMutexLock lock(&m_dataMutex);
        return CAnalogDevice::SetParam(value, id, count, type, changed);
    }
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
