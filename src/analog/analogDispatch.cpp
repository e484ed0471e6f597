// CAnalogDevice: views, frame dispatch, markers, capture hooks, commands.
#include "analog/analogDevice.h"

#include "process/networkServices.h"

#include <wx/log.h>
#include <wx/translation.h>

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

// Markers the list may hold before the first look for unused ones.
constexpr size_t kFirstMarkerCheck = 16;
// While nothing records, no more markers than this are kept, whatever their age.
constexpr size_t kMaxUnrecordedMarkers = size_t(1) << 16;

}  // namespace

void CAnalogDevice::AddView(CAnalogViewSink* view)
{
    if (view == nullptr) return;
    {
        CMutexLock lock(&m_dataMutex);
        m_views.push_back(view);
    }
    UpdateMarkerWindow();
}

void CAnalogDevice::AddView3D(CAnalog3DViewSink* view)
{
    if (view == nullptr) return;
    {
        CMutexLock lock(&m_dataMutex);
        m_views3D.push_back(view);
    }
    UpdateMarkerWindow();
}

void CAnalogDevice::UpdateMarkerWindow()
{
    double window = 0.0;
    for (const CAnalogViewSink* view : m_views)
        window = std::max(window, view->GetMarkerWindowSec());
    for (const CAnalog3DViewSink* view : m_views3D)
        window = std::max(window, view->GetMarkerWindowSec());
    m_markerWindowSec = std::isfinite(window) ? window : 0.0;
}

int CAnalogDevice::FindView(const CAnalogViewSink* view) const
{
    const auto found = std::find(m_views.begin(), m_views.end(), view);
    return found == m_views.end() ? -1 : static_cast<int>(found - m_views.begin());
}

int CAnalogDevice::FindView3D(const CAnalog3DViewSink* view) const
{
    const auto found = std::find(m_views3D.begin(), m_views3D.end(), view);
    return found == m_views3D.end() ? -1 : static_cast<int>(found - m_views3D.begin());
}

bool CAnalogDevice::IsMainView3D(const CAnalog3DViewSink* view) const
{
    return !m_views3D.empty() && m_views3D.front() == view;
}

bool CAnalogDevice::IsMainView(const CAnalogViewSink* view) const
{
    return m_views3D.empty() && !m_views.empty() && m_views.front() == view;
}

bool CAnalogDevice::RemoveView(CAnalogViewSink* view)
{
    {
        CMutexLock lock(&m_dataMutex);
        const int index = FindView(view);
        if (index < 0) return false;
        m_views.erase(m_views.begin() + index);
    }
    UpdateMarkerWindow();
    return true;
}

bool CAnalogDevice::RemoveView3D(CAnalog3DViewSink* view)
{
    {
        CMutexLock lock(&m_dataMutex);
        const int index = FindView3D(view);
        if (index < 0) return false;
        m_views3D.erase(m_views3D.begin() + index);
    }
    UpdateMarkerWindow();
    return true;
}

void CAnalogDevice::RemoveAllViews()
{
    std::vector<CAnalogViewSink*> views;
    std::vector<CAnalog3DViewSink*> views3D;
    {
        CMutexLock lock(&m_dataMutex);
        views.swap(m_views);
        views3D.swap(m_views3D);
    }
    m_markerWindowSec = 0.0;
    // Told outside the lock: a view may take its own locks to drop the link.
    for (CAnalogViewSink* view : views) view->DetachDevice();
    for (CAnalog3DViewSink* view : views3D) view->DetachDevice();
}

void CAnalogDevice::ResetViews()
{
    Reset();
    for (CAnalogViewSink* view : m_views) view->ResetView();
    for (CAnalog3DViewSink* view : m_views3D) view->ResetView();
    ResetClock();
    ResetCounters();
    UpdateMarkerWindow();  // a view's time may have changed: it is reset then
}

void CAnalogDevice::RestartViews()
{
    for (CAnalogViewSink* view : m_views) view->Restart();
    for (CAnalog3DViewSink* view : m_views3D) view->Restart();
    UpdateMarkerWindow();
}

void CAnalogDevice::RefreshViews()
{
    for (CAnalogViewSink* view : m_views) {
        if (view->IsDirty()) view->RequestRefresh();
    }
    for (CAnalog3DViewSink* view : m_views3D) {
        if (view->NeedsRefresh()) view->RequestRefresh();
    }
}

void CAnalogDevice::FreezeViews()
{
    for (CAnalogViewSink* view : m_views) view->FreezeData();
    for (CAnalog3DViewSink* view : m_views3D) view->SetBusy();
}

void CAnalogDevice::ThawViews()
{
    for (CAnalogViewSink* view : m_views) view->ThawData();
    for (CAnalog3DViewSink* view : m_views3D) view->ThawData();
}

void CAnalogDevice::NotifyBatteryChanged(bool changed)
{
    for (CAnalogViewSink* view : m_views) view->NotifyBatteryChanged(changed);
}

bool CAnalogDevice::SaveViewsConfig(wxConfigBase* config)
{
    if (config == nullptr) return false;
    for (CAnalogViewSink* view : m_views) view->SaveConfig(config);
    for (CAnalog3DViewSink* view : m_views3D) view->SaveConfig(config);
    return true;
}

// Order matters to the consumers: the recorder first (nothing may be lost),
// then the network servers, then the views, which may skip.
void CAnalogDevice::DispatchFrame()
{
    const uint64_t counter = static_cast<uint64_t>(m_sampleCounter);
    const double timeSec = FrameTime(counter);
    CAnalogRecorder* recorder = m_recorder.get();
    // Before the row is copied: the states must be those of the values it holds.
    const int unreceived =
        m_sourceWatch.Count() > 0
            ? WatchSources(counter, recorder != nullptr && recorder->IsRecording())
            : 0;
    int n = 0;
    uint64_t shape = 0;
    {
        // The GUI thread switches channels under the same lock; the row and its count
        // are taken together, and only this thread writes either: every consumer below
        // gets a count that matches its row.
        CMutexLock lock(&m_dataMutex);
        n = CopyEnabledValues();
        shape = m_visibleShape.load();
        if (n > 0) m_hasOutputRow.store(true, std::memory_order_relaxed);
    }
    m_lastShape = shape;
    if (n > 0 && recorder != nullptr && recorder->IsRecording() &&
        recorder->RecordFrame(m_output.get(), n, static_cast<uint32_t>(counter), timeSec) &&
        unreceived > 0)
        m_sourceWatch.CountRecordedFrame(!m_isHeldTick);
    if (m_vrpnOutput) SendVrpnData();  // takes the data mutex itself
    if (n <= 0) return;
    if (IsOscServerRunning()) SendOscData(timeSec);
    if (!m_dispatchToViews.load(std::memory_order_relaxed)) return;
    // Registration and removal take the same lock, so no view is walked while
    // it is being removed; each view only copies the row here.
    CMutexLock lock(&m_dataMutex);
    // A row copied for other channels than those listed now would reach the views under
    // the new names.
    if (m_visibleShape.load() != shape) return;
    for (CAnalogViewSink* view : m_views)
        view->AddData(m_output.get(), n, static_cast<uint32_t>(counter), timeSec);
    for (CAnalog3DViewSink* view : m_views3D)
        view->AddData(m_output.get(), n, static_cast<uint32_t>(counter), timeSec);
}

// The last frame's row again, as it was sent: the row may hold values read since. To the
// recording (counted, said with its file) and the views; OSC and VRPN peers get no news.
void CAnalogDevice::DispatchRepeat()
{
    if (!m_hasOutputRow.load(std::memory_order_relaxed)) {
        // The output row was never filled: repeating it would record values nobody sent.
        // Said as a tick the thread was held through, like the repeats that follow it.
        RefreshRow();
        m_isHeldTick = true;
        DispatchFrame();
        m_isHeldTick = false;
        CAnalogRecorder* recorder = m_recorder.get();
        if (recorder != nullptr && recorder->IsRecording())
            m_runHeldRepeats.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const uint64_t counter = static_cast<uint64_t>(m_sampleCounter);
    CAnalogRecorder* recorder = m_recorder.get();
    int n = 0;
    {
        CMutexLock lock(&m_dataMutex);
        n = m_output ? m_outputCount : 0;
    }
    if (n <= 0) return;
    if (recorder != nullptr && recorder->IsRecording() &&
        recorder->RecordFrame(m_output.get(), n, static_cast<uint32_t>(counter),
                              FrameTime(counter)))
        m_runHeldRepeats.fetch_add(1, std::memory_order_relaxed);
    if (!m_dispatchToViews.load(std::memory_order_relaxed)) return;
    CMutexLock lock(&m_dataMutex);
    if (m_visibleShape.load() != m_lastShape) return;
    for (CAnalogViewSink* view : m_views)
        view->AddData(m_output.get(), n, static_cast<uint32_t>(counter), FrameTime(counter));
    for (CAnalog3DViewSink* view : m_views3D)
        view->AddData(m_output.get(), n, static_cast<uint32_t>(counter), FrameTime(counter));
}

int64_t CAnalogDevice::HeldRepeatRoom()
{
    CAnalogRecorder* recorder = m_recorder.get();
    return recorder != nullptr ? recorder->FramesRoom() : INT64_MAX;
}

void CAnalogDevice::MarkHeldSpell(int64_t count)
{
    AddMarker(CSourceWatch::kSilentMarkerCode, static_cast<uint32_t>(m_sampleCounter.load()),
              wxString::Format(_("thread held: %lld frames repeat the last values"),
                               static_cast<long long>(count)),
              false);
}

void CAnalogDevice::MarkHeldSpellEnd()
{
    AddMarker(CSourceWatch::kBackMarkerCode, static_cast<uint32_t>(m_sampleCounter.load()),
              _("thread back"), false);
}

// Markers and texts only where a source changes: nothing is made per frame.
int CAnalogDevice::WatchSources(uint64_t counter, bool isRecording)
{
    const int unreceived =
        m_sourceWatch.Update(static_cast<int64_t>(counter), ReadProgramClockUs(), isRecording);
    for (int i = 0; i < m_sourceWatch.EventCount(); ++i) {
        const CSourceWatch::Event& event = m_sourceWatch.EventAt(i);
        const bool isBack = event.state == SourceState::kLive;
        const wxString what = isBack ? " back"
                              : event.state == SourceState::kSilent ? " silent"
                                                                    : " not received";
        AddMarker(isBack ? CSourceWatch::kBackMarkerCode : CSourceWatch::kSilentMarkerCode,
                  static_cast<uint32_t>(event.frame), m_sourceWatch.SourceName(event.source) + what,
                  false);
    }
    const wxString note = m_sourceWatch.TakeNote(CRepeatNote::Clock::now());
    if (!note.empty()) Log(GetSourceTag() + GetDeviceName() + ": " + note + "\n");
    return unreceived;
}

wxString CAnalogDevice::GetUnreceivedNote() const
{
    const int64_t recorded = GetRecordedFrames();
    wxString note = m_sourceWatch.RunSummary(recorded);
    const int64_t repeats = m_runHeldRepeats.load();
    if (repeats <= 0) return note;
    if (!note.empty()) note += "; ";
    return note + wxString::Format(_("%lld of %lld frames repeat the last values: the "
                                     "device's thread was held more than a second"),
                                   static_cast<long long>(repeats),
                                   static_cast<long long>(std::max(recorded, repeats)));
}

void CAnalogDevice::CopyOscName(std::string& name)
{
    std::lock_guard<std::mutex> lock(m_nameMutex);
    if (m_oscSource != m_deviceName) {
        m_oscSource = m_deviceName.Clone();
        // UTF-8 whatever the locale: a name the locale cannot hold keeps its address.
        m_oscName = OscText(m_oscSource);
    }
    name.assign(m_oscName);  // reuses the target's storage: no allocation per frame
}

// The enabled count is written by the dispatching thread alone (the frame just copied).
bool CAnalogDevice::SendOscData(double timeSec)
{
    CNetworkServices& network = GetNetworkServices();
    if (!network.IsOscServerStarted() || !m_output || m_outputCount == 0) return false;
    CopyOscName(m_oscNameCopy);
    return network.OscServerSetData(m_oscNameCopy, m_output.get(), m_outputCount, timeSec);
}

bool CAnalogDevice::SendOscEvent(const wxString& text, double timeSec)
{
    CNetworkServices& network = GetNetworkServices();
    if (!network.IsOscServerStarted()) return false;
    std::string name;  // markers may come from a callback thread: a copy of its own
    CopyOscName(name);
    return network.OscServerSendEvent(name, OscText(text), timeSec);
}

void CAnalogDevice::AddMarker(uint32_t code, uint32_t frame, const wxString& label, bool notify)
{
    {
        std::lock_guard<std::mutex> lock(m_markerMutex);
        m_markerCodes.push_back(code);
        m_markerFrames.push_back(frame);
        m_markerLabels.push_back(label);
        // Looked at each time the list doubles: a constant cost per marker.
        if (m_markerCodes.size() >= m_markerCheckAt) DropUnusedMarkers();
    }
    if (notify) {
        const double rate = m_rate;
        const double timeSec = rate > 0.0 ? static_cast<int32_t>(frame) / rate : 0.0;
        SendOscEvent(label, timeSec);
    }
    SendVrpnButton(static_cast<int>(code), notify ? 1 : 0, false);
}

void CAnalogDevice::DropUnusedMarkers()
{
    const CAnalogRecorder* recorder = m_recorder.get();
    // A recording takes every marker of its run; a player's markers are its file's.
    const bool isEveryMarkerKept = IsFileDevice() || (recorder && recorder->HoldsMarkers());
    const size_t count = m_markerCodes.size();
    size_t unused = 0;
    if (!isEveryMarkerKept) {
        // A margin for the frames the views have not drawn yet.
        const double keepSec = m_markerWindowSec.load() * 1.1 + 1.0;
        const double rate = m_rate.load();
        const double keep = std::isfinite(rate) && rate > 0.0 ? std::ceil(keepSec * rate) : 0.0;
        const int64_t keepFrames = keep < 1e12 ? static_cast<int64_t>(keep) : int64_t(1e12);
        const uint32_t now = static_cast<uint32_t>(m_sampleCounter.load());
        // The list is in the order markers came, oldest first; the age is taken
        // in 32 bits as the frames are, so a counter past 2^32 still compares.
        while (unused < count &&
               static_cast<int32_t>(now - m_markerFrames[unused]) > keepFrames)
            ++unused;
        if (count - unused > kMaxUnrecordedMarkers) unused = count - kMaxUnrecordedMarkers;
    }
    if (unused > 0) {
        const auto end = static_cast<std::ptrdiff_t>(unused);
        m_markerCodes.erase(m_markerCodes.begin(), m_markerCodes.begin() + end);
        m_markerFrames.erase(m_markerFrames.begin(), m_markerFrames.begin() + end);
        m_markerLabels.erase(m_markerLabels.begin(), m_markerLabels.begin() + end);
    }
    m_markerCheckAt = std::max(kFirstMarkerCheck, 2 * m_markerCodes.size());
}

void CAnalogDevice::ClearMarkers()
{
    std::lock_guard<std::mutex> lock(m_markerMutex);
    std::vector<uint32_t>().swap(m_markerCodes);
    std::vector<uint32_t>().swap(m_markerFrames);
    std::vector<wxString>().swap(m_markerLabels);
    m_markerCheckAt = kFirstMarkerCheck;
}

void CAnalogDevice::ReplaceMarkers(const std::vector<uint32_t>& codes,
                                   const std::vector<uint32_t>& frames,
                                   const std::vector<wxString>& labels)
{
    const size_t count = std::min(codes.size(), std::min(frames.size(), labels.size()));
    std::lock_guard<std::mutex> lock(m_markerMutex);
    m_markerCodes.assign(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(count));
    m_markerFrames.assign(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(count));
    m_markerLabels.assign(labels.begin(), labels.begin() + static_cast<std::ptrdiff_t>(count));
    m_markerCheckAt = std::max(kFirstMarkerCheck, 2 * count);
}

std::vector<uint32_t> CAnalogDevice::GetMarkerCodes() const
{
    std::lock_guard<std::mutex> lock(m_markerMutex);
    return m_markerCodes;
}

std::vector<uint32_t> CAnalogDevice::GetMarkerFrames() const
{
    std::lock_guard<std::mutex> lock(m_markerMutex);
    return m_markerFrames;
}

std::vector<wxString> CAnalogDevice::GetMarkerLabels() const
{
    std::lock_guard<std::mutex> lock(m_markerMutex);
    return m_markerLabels;
}

void CAnalogDevice::GetMarkers(std::vector<uint32_t>& codes, std::vector<uint32_t>& frames,
                               std::vector<wxString>& labels) const
{
    std::lock_guard<std::mutex> lock(m_markerMutex);
    codes = m_markerCodes;
    frames = m_markerFrames;
    labels = m_markerLabels;
}

void CAnalogDevice::StartCapture()
{
    ClearMarkers();
    Reset();
    ResetClock();
    m_capturing = true;
    ResetCounters();
}

void CAnalogDevice::StopCapture() { m_capturing = false; }

void CAnalogDevice::Reset()
{
    if (!IsFileDevice()) ClearMarkers();
    ResetClock();
    ResetCounters();
}

void CAnalogDevice::SetRecorder(std::unique_ptr<CAnalogRecorder> recorder)
{
    m_recorder = std::move(recorder);
}

bool CAnalogDevice::IsRecording() const { return m_recorder && m_recorder->IsRecording(); }

wxString CAnalogDevice::GetRecordFileName() const
{
    return m_recorder ? m_recorder->GetFileName() : wxString();
}

wxString CAnalogDevice::GetWriterFileName() const
{
    return m_recorder ? m_recorder->GetFileName() : wxString();
}

wxString CAnalogDevice::GetExportFileName() const
{
    return m_recorder ? m_recorder->GetTextFileName() : wxString();
}

bool CAnalogDevice::SetupWriter(const wxString& folder, const wxString& captureName, int trial,
                                bool exportText, const wxString& exportFolder, bool useThread,
                                int queueDepth, int priority)
{
    HoldShape(true);
    const bool isOpen =
        m_recorder && m_recorder->OpenWriter(folder, captureName, trial, exportText,
                                             exportFolder, useThread, queueDepth, priority);
    if (!isOpen) HoldShape(false);  // the old writer, if any, was closed
    return isOpen;
}

void CAnalogDevice::HoldShape(bool held)
{
    std::lock_guard<std::mutex> lock(m_shapeMutex);
    m_shapeHeld = held;
}

bool CAnalogDevice::StartRecording()
{
    m_sourceWatch.StartRun();
    m_runHeldRepeats.store(0);
    // A run's first frame is read, never repeated: what the sources delivered is said
    // with it.
    m_hasOutputRow.store(false, std::memory_order_relaxed);
    return m_recorder && m_recorder->StartRecording();
}

// Forwarded whether or not a run is still going: a run that the duration
// limit ended must still be finished (count patched, trailer written); the
// controller answers false when there is nothing to finish.
bool CAnalogDevice::FinishRecording() { return m_recorder && m_recorder->FinishRecording(); }

bool CAnalogDevice::StopRecording()
{
    const bool isStopped = m_recorder && m_recorder->StopRecording();
    HoldShape(false);
    return isStopped;
}

void CAnalogDevice::SetRecordDuration(double seconds)
{
    if (m_recorder) m_recorder->SetDuration(seconds);
}

int64_t CAnalogDevice::GetRecordedFrames() const
{
    return m_recorder ? m_recorder->GetFramesWritten() : 0;
}

double CAnalogDevice::GetRecordTime() const
{
    if (m_recorder && m_recorder->IsRecording()) return m_recorder->GetTime();
    const double frames = m_frameCount;
    const double rate = m_rate;
    return (frames > 0.0 && rate > 0.0) ? (frames - 1.0) / rate : 0.0;
}

void CAnalogDevice::AnalogStart()
{
    if (!IsReady()) {
        wxLogError("%s", _("Device is not ready"));
        return;
    }
    Start();
}

void CAnalogDevice::AnalogStop()
{
    if (IsReady()) Stop();
}

void CAnalogDevice::AnalogStartStop()
{
    if (IsRunning())
        AnalogStop();
    else
        AnalogStart();
}

void CAnalogDevice::AnalogOffset()
{
    if (IsReady()) StartOffset();
}

wxString CAnalogDevice::GetInfo()
{
    wxString info = GetDisplayName() + " : " + GetDeviceName() + "\n";
    if (m_isTracker)
        info += wxString::Format("%d Tracker(s)\nSampling Rate = %.0f Hz", m_channelCount,
                                 static_cast<double>(m_rate));
    else
        info += wxString::Format("%d Analog Channel(s)\nDim = %d\nSampling Rate = %.0f Hz",
                                 m_channelCount, m_dim, static_cast<double>(m_rate));
    return info;
}

wxString CAnalogDevice::GetFileSafeName()
{
    wxString name = GetDeviceName();
    for (auto it = name.begin(); it != name.end(); ++it) {
        const wxUniChar c = *it;
        const auto code = c.GetValue();
        if (c == '/' || c == '\\' || code < 0x20 || code == 0x7f) *it = '_';
    }
    // "." and ".." would name the folder itself or its parent.
    if (name.empty() || name == "." || name == "..") name = "_" + name;
    return name;
}
