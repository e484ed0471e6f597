#include "analog/analogFileDevice.h"

#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/translation.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>

#include "analog/analogReader.h"
#include "analog/formatTime.h"
#include "analog/paramType.h"
#include "process/messageQueue.h"

namespace {

constexpr int kShowCPStat = 0;
constexpr int kCPStatTime = 1;
constexpr int kCPStatLevel = 2;
constexpr int kOwnParams = 3;

struct ParamInfo {
    const char* label;  // also the configuration key, untranslated
    int type;
};
const ParamInfo kParams[kOwnParams] = {
    {"Show CP stat", PARAM_BOOL},
    {"CP Stat time", PARAM_DOUBLE},
    {"CP Stat Level", PARAM_CHOICE},
};
const char* const kLevels[5] = {"90 %", "95 %", "97.5 %", "99 %", "99.5 %"};

std::atomic<CAnalogFileDevice::FileChooser> g_fileChooser{nullptr};

}  // namespace

void CAnalogFileDevice::SetFileChooser(FileChooser chooser) { g_fileChooser.store(chooser); }

CAnalogFileDevice::CAnalogFileDevice(bool synchronised, const wxString& folder,
                                     const wxString& path)
    : CAnalogDevice(synchronised), m_folder(folder), m_fileName(path)
{
    m_configPath = "/Analog/File_device";
    m_deviceKey = "analog_file_device";
    m_deviceName = m_deviceKey;
    m_displayName = wxGetTranslation("File Device");
    m_name = wxGetTranslation("File Device");
    m_firstChannelParam = kOwnParams;
    m_isTracker = false;
    m_deviceType = 2;
    m_maxValue = 1.0;
    m_minValue = -1.0;
    m_cpStatTime = 30.0;
    // The channels are those of the file being played: what another file left
    // in the configuration must not rename, switch or colour them.
    m_configChannels = false;
    m_loaded = OpenAndLoad();
    m_ready = m_loaded;
    m_initPending = true;
}

CAnalogFileDevice::~CAnalogFileDevice()
{
    Close();  // the acquisition thread ends before the reader goes
    FreezeViews();
    m_reader.reset();
}

bool CAnalogFileDevice::OpenAndLoad()
{
    if (m_fileName.empty()) {
        const FileChooser chooser = g_fileChooser.load();
        if (!chooser) return false;
        const wxString previous = wxGetCwd();
        if (!m_folder.empty() && wxFileName::DirExists(m_folder)) wxSetWorkingDirectory(m_folder);
        m_fileName = chooser(m_folder);
        wxSetWorkingDirectory(previous);
        if (m_fileName.empty()) return false;  // cancelled
    }
    return Load();
}

bool CAnalogFileDevice::Load()
{
    m_loadError.clear();
    if (m_fileName.empty()) return false;
    m_reader = std::make_unique<CAnalogReader>();
    if (!m_reader->Open(m_fileName)) {
        m_loadError = m_reader->GetError();
        return false;
    }
    m_devicePath = m_fileName;
    Log(wxString::Format(wxGetTranslation("Loading %s \n"), m_fileName));
    SetDeviceName(m_fileName);
    m_name = wxFileName(m_fileName).GetName();

    m_rate = m_reader->GetRate();
    m_dim = m_reader->GetDim();
    m_channelCount = m_reader->GetChannelCount();
    m_frameCount = m_reader->GetFrameCount();
    m_unitScale = m_reader->GetUnitScale();
    m_isTracker = m_reader->IsTracker();
    m_fileMarkerCodes = m_reader->GetMarkerCodes();
    m_fileMarkerFrames = m_reader->GetMarkerFrames();
    m_fileMarkerLabels = m_reader->GetMarkerLabels();
    ReplaceMarkers(m_fileMarkerCodes, m_fileMarkerFrames, m_fileMarkerLabels);
    const double extent =
        std::max(std::fabs(m_reader->GetMinValue()), std::fabs(m_reader->GetMaxValue()));
    m_maxValue = extent;
    m_minValue = -extent;
    m_deviceType = m_reader->GetDeviceType();

    if (m_channelCount < 1 || m_frameCount < 1) {
        // Nothing to play: the device is not ready rather than running without buffers.
        m_loadError = wxGetTranslation("Invalid data file");
        return false;
    }
    InitChannels();
    // Name k of the file names channel k; an empty one leaves the default name.
    const std::vector<wxString>& names = m_reader->GetChannelNames();
    for (size_t i = 0; i < names.size() && i < static_cast<size_t>(m_channelCount); ++i)
        if (!names[i].empty()) SetChannelName(static_cast<int>(i), names[i]);
    for (const wxString& note : m_reader->GetNotes())
        g_messages.Post(Severity::Warning, "<ACQ> " + m_fileName + " : " + note + "\n");
    m_currentFrame = 0;
    m_reader->GetFrame(m_values.get(), m_rowLength, 0);
    SetRunning(true);
    return true;
}

bool CAnalogFileDevice::Process(bool tick, bool running)
{
    if (m_rewindRequested.exchange(false))
        Rewind(false);  // asked for by the GUI thread: done here, between frames
    if (IsTimeToSample(tick) && running && m_loaded) PlayFrame();
    return false;
}

void CAnalogFileDevice::PlayFrame()
{
    const int64_t frame = m_currentFrame.load();
    if (frame >= 0 && frame < m_frameCount &&
        !m_reader->GetFrame(m_values.get(), m_rowLength, frame) && !m_readFailureReported) {
        // The row keeps the previous frame; the failure is counted by the reader.
        m_readFailureReported = true;
        PostError(wxString::Format(wxGetTranslation("cannot read frame %lld of %s"),
                                   static_cast<long long>(frame), m_fileName));
    }
    DispatchFrame();
    CountSample();
    if (frame + 1 >= m_frameCount) {
        Rewind(true);
        m_viewResetRequested = true;  // the views are reset by the GUI thread (Poll)
    } else {
        m_currentFrame = frame + 1;
    }
}

void CAnalogFileDevice::Rewind(bool isNextLoop)
{
    if (isNextLoop) {
        m_framesBeforeLoop += m_frameCount;
        // A recording goes on over the next loop: the file's markers come again,
        // after the frames played before it. (The views count each loop from 0
        // and keep showing the file's own markers.)
        if (IsRecording())
            for (size_t i = 0; i < m_fileMarkerCodes.size(); ++i)
                AddMarker(m_fileMarkerCodes[i],
                          static_cast<uint32_t>(m_fileMarkerFrames[i] + m_framesBeforeLoop),
                          m_fileMarkerLabels[i], false);
    } else {
        m_framesBeforeLoop = 0;
        ReplaceMarkers(m_fileMarkerCodes, m_fileMarkerFrames, m_fileMarkerLabels);
    }
    ResetClock();
    const bool wasRunning = IsRunning();
    SetRunning(false);
    ResetCounters();
    m_currentFrame = 0;
    if (m_reader && m_values) m_reader->GetFrame(m_values.get(), m_rowLength, 0);
    ResetClock();
    SetRunning(wasRunning);
}

void CAnalogFileDevice::Reset()
{
    // The wrap has rewound already; a view reset it caused must not replay
    // the first frames of the loop once more.
    if (m_wrapResetActive.load()) return;
    // With an acquisition thread the frame position and the file belong to it.
    if (HasWorker())
        m_rewindRequested = true;
    else
        Rewind(false);
}

void CAnalogFileDevice::Poll()
{
    if (!m_viewResetRequested.exchange(false)) return;
    m_wrapResetActive = true;
    for (CAnalogViewSink* view : m_views) view->ResetView();
    for (CAnalog3DViewSink* view : m_views3D) view->ResetView();
    m_wrapResetActive = false;
}

uint64_t CAnalogFileDevice::GetFailedReads() const
{
    return m_reader ? m_reader->GetFailedReads() : 0;
}

wxString CAnalogFileDevice::GetDeviceName() const
{
    std::lock_guard<std::mutex> lock(m_nameMutex);
    return m_name.Clone();
}

double CAnalogFileDevice::GetElapsedTime() const
{
    const double rate = m_rate.load();
    return rate != 0.0 ? double(m_currentFrame.load()) / rate : 0.0;
}

double CAnalogFileDevice::GetSampleTime() const { return GetElapsedTime(); }

double CAnalogFileDevice::GetDuration() const
{
    const double rate = m_rate.load();
    return rate != 0.0 ? double(m_frameCount) / rate : 0.0;
}

wxString CAnalogFileDevice::GetInfo()
{
    const wxString duration = FormatTime(GetDuration());
    wxString info = m_fileName + "\n";
    if (!m_isTracker)
        info += wxString::Format(
            "%d Analog Channel(s)\nDim = %d\nSampling Rate = %.0f Hz\nFrames %ld (%s)",
            m_channelCount, m_dim, m_rate.load(), static_cast<long>(m_frameCount), duration);
    else
        info += wxString::Format("%d Tracker(s)\nSampling Rate = %.0f Hz\nFrames %ld (%s)",
                                 m_channelCount, m_rate.load(), static_cast<long>(m_frameCount),
                                 duration);
    return info;
}

void* CAnalogFileDevice::GetParam(int id, int* count, int* type)
{
    if (id < 0 || id >= kOwnParams) return CAnalogDevice::GetParam(id, count, type);
    *count = 1;
    *type = kParams[id].type;
    switch (id) {
        case kShowCPStat:
            return &m_showCPStat;
        case kCPStatTime:
            return &m_cpStatTime;
        default:
            return &m_cpStatLevel;
    }
}

wxString CAnalogFileDevice::GetParamLabel(int id)
{
    if (id < 0 || id >= kOwnParams) return CAnalogDevice::GetParamLabel(id);
    return wxGetTranslation(kParams[id].label);
}

wxString CAnalogFileDevice::GetParamKey(int id)
{
    if (id < 0 || id >= kOwnParams) return CAnalogDevice::GetParamKey(id);
    return kParams[id].label;
}

bool CAnalogFileDevice::SetParam(const void* value, int id, int count, int type, bool* changed)
{
    if (id < 0 || id >= kOwnParams) return CAnalogDevice::SetParam(value, id, count, type, changed);
    *changed = false;
    const bool wasRunning = IsRunning();
    if (wasRunning) Stop();
    if (value && count == 1 && type == kParams[id].type) {
        if (id == kShowCPStat) {
            m_showCPStat = *static_cast<const uint8_t*>(value) != 0 ? 1 : 0;
        } else if (id == kCPStatTime) {
            m_cpStatTime = check_real_value(*static_cast<const double*>(value), m_cpStatTime, 5.0,
                                            120.0, GetParamLabel(id));
        } else {
            const int32_t level = *static_cast<const int32_t*>(value);
            m_cpStatLevel = (level >= 0 && level < 5) ? level : 0;
        }
        *changed = true;
    }
    if (wasRunning) Start();
    return true;
}

int CAnalogFileDevice::GetChoiceCount(int id) { return id == kCPStatLevel ? 5 : 0; }

wxString CAnalogFileDevice::GetChoiceLabel(int id, int choice)
{
    if (id == kCPStatLevel && choice >= 0 && choice < 5) return kLevels[choice];
    return wxGetTranslation("???");
}
