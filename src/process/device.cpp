#include "process/device.h"

#include "process/deviceCloser.h"
#include "process/deviceOwner.h"
#include "process/messageQueue.h"
#include "process/networkServices.h"
#include "process/trackerWorker.h"

#include <wx/intl.h>
#include <wx/log.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

// ---------------------------------------------------------------- CNullDevice

CNullDevice::CNullDevice(bool synchronised) : m_synchronised(synchronised)
{
    m_dataMutex.store(CreateSystemMutex());
}

CNullDevice::~CNullDevice()
{
    m_running.store(false);
    // A device deleted without Close: end the thread now, while our own fields are whole.
    if (!m_closed.load() && !CloseThread()) {
        // Freeing a running thread's object would crash it at once; keep it.
        (void)m_worker.release();
    }
    CloseSystemMutex(&m_dataMutex);
}

bool CNullDevice::HasWorker()
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    return m_worker != nullptr;
}

bool CNullDevice::HasThreadEnded()
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    return m_worker == nullptr || !m_worker->IsStarted() || m_worker->HasEnded();
}

bool CNullDevice::HoldPasses(std::chrono::milliseconds timeout)
{
    if (!AskHoldPasses()) return true;
    return TakeHeldPasses(std::chrono::steady_clock::now() + timeout);
}

bool CNullDevice::AskHoldPasses()
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (m_worker == nullptr || !m_worker->IsStarted()) return false;
    m_worker->AskHold();
    return true;
}

bool CNullDevice::TakeHeldPasses(std::chrono::steady_clock::time_point deadline)
{
    CTrackerWorker* worker = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        worker = m_worker.get();  // only the GUI thread frees it, and it is here
    }
    return worker == nullptr || worker->TakeHold(deadline);
}

void CNullDevice::ReleasePasses()
{
    CTrackerWorker* worker = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        worker = m_worker.get();
    }
    if (worker != nullptr) worker->ReleasePasses();
}

bool CNullDevice::CreateWorkerThread(CTrackerWorker& worker)
{
    return worker.Create() == wxTHREAD_NO_ERROR;
}

bool CNullDevice::Create(bool shortSleep)
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (m_worker != nullptr)
        return false;
    auto worker = std::make_unique<CTrackerWorker>(this);
    worker->SetShortSleep(shortSleep);
    // On failure the worker goes at once: there is no thread to wait for.
    if (!CreateWorkerThread(*worker))
        return false;
    m_worker = std::move(worker);
    m_closed.store(false);
    return true;
}

bool CNullDevice::RunThread()
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (m_worker == nullptr)
        return false;
    if (m_worker->IsStarted())
        return true;
    m_closed.store(false);
    if (m_worker->Run() != wxTHREAD_NO_ERROR)
        return false;
    m_worker->MarkStarted();
    return true;
}

bool CNullDevice::Process(bool, bool) { return false; }

bool CNullDevice::SetWorkerPriority(unsigned priority)
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (m_worker == nullptr)
        return false;
    m_worker->SetPriorityLevel(std::min(priority, 100u));
    return true;
}

unsigned CNullDevice::WorkerPriorityFromSetting(long setting)
{
    if (setting == 0)
        return 0;
    return setting == 1 ? 50 : 100;
}

bool CNullDevice::CloseThread()
{
    std::unique_ptr<CTrackerWorker> ended;
    {
        std::unique_lock<std::mutex> lock(m_stateLock);
        if (m_worker == nullptr)
            return true;
        m_worker->RequestStop();
        // Created but never run: run it, and it ends at its first test.
        if (!m_worker->IsStarted() && m_worker->Run() == wxTHREAD_NO_ERROR)
            m_worker->MarkStarted();
        const auto timeout = m_promptClose.load()
                                 ? std::min(CDeviceCloser::kPromptEnd, CTrackerWorker::GetEndTimeout())
                                 : CTrackerWorker::GetEndTimeout();
        if (m_worker->IsStarted() &&
            m_workerEnded.wait_for(lock, timeout, [this] { return m_worker->HasEnded(); }))
            ended = std::move(m_worker);
        else if (!m_worker->IsStarted())
            ended = std::move(m_worker);  // the toolkit could not run it: no thread exists
    }
    if (ended == nullptr && m_promptClose.load())
        return false;  // the caller goes on; the device closes in the background
    if (ended == nullptr) {
        wxLogError(_("Can't delete worker thread!"));
        g_messages.Post(Severity::Error,
                        std::string("<ACQ> the acquisition thread did not end; the device stays open"));
        return false;
    }
    // The loop is over: joining returns as soon as the thread has finished its exit.
    if (ended->IsStarted())
        ended->Wait();
    return true;
}

void CNullDevice::Close()
{
    if (m_closed.load())
        return;
    Stop();
    if (CloseThread())
        m_closed.store(true);
}

void CDeviceDeleter::operator()(CNullDevice* device) const
{
    if (device == nullptr)
        return;
    device->SetPromptClose();
    device->Close();
    if (!device->IsClosed() && device->HasWorker()) {
        // Its thread is held in a read: the window goes on, and the device is closed and
        // freed once the read returns. Freeing it now would pull it from under the thread.
        const auto* named = dynamic_cast<const CDevice*>(device);
        g_messages.Post(Severity::Warning,
                        "<ACQ> " + (named != nullptr ? named->GetDeviceName() : wxString("device")) +
                            _(": does not stop at once; it is closed in the background\n"));
        CDeviceCloser::Instance().Adopt(device);
        return;
    }
    delete device;
}

// ---------------------------------------------------------------- CDevice

CDevice::CDevice(bool synchronised, bool preciseClock) : CNullDevice(synchronised)
{
    m_preciseClock.store(preciseClock);
    m_rate.store(25.0);
    m_tag.store(-1);
    m_clockTolerance.store(0.05);
    ResetClockNow();
}

CDevice::~CDevice()
{
    if (m_closeOnDestroy)
        Close();
    else if (!m_closed.load())
        CloseThread();
    FreeBuffers();
}

bool CDevice::Create(bool shortSleep)
{
    if (HasWorker())
        return false;
    if (CNullDevice::Create(shortSleep))
        return true;
    const wxString text = _("Unable to create device process");
    if (CDeviceOwner* owner = m_owner.load())
        owner->SetErrorMessage(text, false);
    wxLogError("%s", text);
    return false;
}

bool CDevice::Process(bool tick, bool)
{
    if (IsTimeToSample(tick))
        AcquireStep();
    return false;
}

void CDevice::SetPreciseClock(bool precise)
{
    CNullDevice::SetPreciseClock(precise);
    ResetClock();
}

void CDevice::Close()
{
    if (m_closed.load())
        return;
    Stop();
    if (!CloseThread())
        return;
    GetNetworkServices().VrpnServerRemoveDevice(m_vrpnIndex.load());
    m_closed.store(true);
}

wxString CDevice::GetDeviceKey() const
{
    std::lock_guard<std::mutex> lock(m_nameMutex);
    return m_deviceKey.Clone();
}

wxString CDevice::GetDeviceName() const
{
    std::lock_guard<std::mutex> lock(m_nameMutex);
    return m_deviceName.Clone();
}

wxString CDevice::GetDevicePath() const
{
    std::lock_guard<std::mutex> lock(m_nameMutex);
    return m_devicePath.Clone();
}

bool CDevice::IsOscServerRunning() const { return GetNetworkServices().IsOscServerStarted(); }

void CDevice::Log(const wxString& text)
{
    if (m_owner.load() != nullptr) {
        g_messages.Post(Severity::Info, text);
        return;
    }
    std::fputs(text.utf8_str().data(), stdout);
    std::fflush(stdout);
}

void CDevice::PostError(const wxString& text)
{
    // Each report is a line of its own on the Errors page.
    g_messages.Post(Severity::Error,
                    "<ACQ> " + GetDeviceName() + ": " + text + (text.EndsWith("\n") ? "" : "\n"));
}

void CDevice::AddToVrpn(bool enable)
{
    const bool wasRunning = IsRunning();
    Stop();
    m_vrpnOutput.store(enable);
    if (enable && m_channelCount >= 1) {
        const bool tracker = m_dim == 7;
        const std::string name(GetDeviceName().utf8_str().data());  // for the server's warnings
        const int64_t index = GetNetworkServices().VrpnServerAddDevice(
            m_vrpnButtons, tracker ? 0 : m_channelCount, tracker ? m_channelCount : 0,
            name.c_str());
        m_vrpnIndex.store(index);
        if (index == 0)
            std::fputs(wxString(_("<VRPN> Error adding device\n")).utf8_str().data(), stderr);
    }
    if (wasRunning)
        Start();
}

bool CDevice::SetChannelValue(double value, int channel)
{
    if (channel < 0 || channel >= m_channelCount || !m_values)
        return false;
    m_values[static_cast<size_t>(channel)] = value;
    return true;
}

bool CDevice::SetTrackerValue(const double* pose, int sensor, bool reorder)
{
    if (m_dim != 7 || pose == nullptr || !m_values || sensor < 0 || sensor >= m_channelCount)
        return false;
    double* row = &m_values[static_cast<size_t>(sensor) * 7];
    if (!reorder) {
        std::copy(pose, pose + 7, row);
    } else {
        // Source quaternion order x, y, z, w; ours is w, x, y, z.
        row[0] = pose[0];
        row[1] = pose[1];
        row[2] = pose[2];
        row[3] = pose[6];
        row[4] = pose[3];
        row[5] = pose[4];
        row[6] = pose[5];
    }
    return true;
}

int CDevice::CopyEnabledValues()
{
    m_outputCount = 0;
    if (!m_values || !m_output || !m_channelOn || m_channelCount <= 0)
        return 0;
    int count = 0;
    for (int c = 0; c < m_channelCount; ++c) {
        if (m_channelOn[static_cast<size_t>(c)] == 0)
            continue;
        const double* first = &m_values[static_cast<size_t>(c) * static_cast<size_t>(m_dim)];
        std::copy(first, first + m_dim, &m_output[static_cast<size_t>(count)]);
        count += m_dim;
    }
    m_outputCount = count;
    return count;
}

bool CDevice::IsOffsetRunning() const { return m_offsetRunning.load() || m_offsetRequested.load(); }

void CDevice::StartOffset()
{
    if (!m_offsets || IsOffsetRunning())
        return;
    // The acquisition thread owns the offsets: it starts the averaging at its next sample.
    m_offsetRequested.store(true);
}

void CDevice::AccumulateOffset()
{
    if (!m_values || !m_offsets)
        return;
    if (m_offsetRequested.exchange(false)) {
        std::fill(m_offsets.get(), m_offsets.get() + m_rowLength, 0.0);
        m_offsetElapsed = 0.0;
        m_offsetCount = 0;
        m_offsetRunning.store(true);
    }
    if (!m_offsetRunning.load())
        return;
    for (int64_t i = 0; i < m_rowLength; ++i)
        m_offsets[static_cast<size_t>(i)] += m_values[static_cast<size_t>(i)];
    ++m_offsetCount;
    const double rate = m_rate.load();
    if (rate > 0.0 && std::isfinite(rate))
        m_offsetElapsed += 1.0 / rate;
    else
        m_offsetElapsed = m_offsetTime;  // no time base: average what we have
    if (m_offsetElapsed >= m_offsetTime) {
        for (int64_t i = 0; i < m_rowLength; ++i)
            m_offsets[static_cast<size_t>(i)] /= m_offsetCount;
        m_offsetRunning.store(false);
    }
}

void CDevice::SubtractOffset()
{
    if (m_offsetRunning.load() || m_offsetRequested.load() || !m_values || !m_offsets ||
        m_offsetCount == 0)
        return;
    for (int64_t i = 0; i < m_rowLength; ++i)
        m_values[static_cast<size_t>(i)] -= m_offsets[static_cast<size_t>(i)];
}

double CDevice::GetSampleTime() const
{
    const double frames = m_frameCount.load();
    const double rate = m_rate.load();
    if (frames <= 0.0 || !(rate > 0.0) || !std::isfinite(rate))
        return 0.0;
    return (frames - 1.0) / rate;
}

void CDevice::AcquireStep()
{
    ReadSample();
    DispatchFrame();
    CountSample();
}

void CDevice::SendVrpnButton(int button, int state, bool send)
{
    if (!m_values || !m_vrpnOutput.load() || !send)
        return;
    GetNetworkServices().VrpnServerSetButton(m_vrpnIndex.load(), button, state);
}

void CDevice::CheckInit()
{
    if (!m_initPending.load() || GetWorker() == nullptr)
        return;
    // The running thread owns the counters and the pacing fields: asked from another
    // thread (the GUI thread's poll), the reset stays pending for its next pass.
    if (CTrackerWorker::Current() != GetWorker() && !HasThreadEnded())
        return;
    m_initPending.store(false);
    ResetCounters();
    ResetClockNow();
}

bool CDevice::IsTimeToSample(bool tick)
{
    if (m_initPending.load())
        CheckInit();
    CNetworkServices& network = GetNetworkServices();
    if (network.IsOscTriggerEnabled() && network.IsOscTriggerConnected())
        network.PollOscTrigger();
    CTrackerWorker* worker = GetWorker();
    if (m_synchronised && worker != nullptr && worker->IsGroupPaced()) {
        m_elapsedTime.store(worker->GetElapsed());
        m_clockDeviation.store(worker->GetDeviation());
        // A trial's instant: the group's schedule goes on, but this device's frame 0 is
        // its first tick at or after it, whatever the fires a hold left owing.
        const double startAtUs = m_clockStartAtUs.load();
        if (startAtUs >= 0.0) {
            m_clockStartAtUs.store(-1.0);
            if (worker->StartFiresAt(startAtUs))
                return false;
        }
        // Fires the thread was held through: the worker makes no fire until they are paid.
        if (worker->GetHeldRepeats() > 0)
            worker->TakeHeldRepeats(PayHeldRepeats(worker->GetHeldRepeats()));
        else
            m_isHeldSpell = false;  // a trial's start dropped what a spell still owed
        return tick;
    }
    return CheckClock();
}

void CDevice::CountSample()
{
    // One step each: a reset by another thread lands before or after it, never inside.
    const int64_t count = m_sampleCounter.fetch_add(1) + 1;
    double frames = m_frameCount.load();
    while (!m_frameCount.compare_exchange_weak(frames, frames + 1.0)) {
    }
    if (count >= 4294967294LL) {
        ResetCounters();
        Reset();
    }
}

void CDevice::ResetCounters()
{
    m_sampleCounter.store(0);
    m_frameCount.store(0.0);
    ClearClockStats();
}

const std::string& CDevice::GetOscName()
{
    std::lock_guard<std::mutex> lock(m_nameMutex);
    if (!m_hasOscName || m_oscNameSource != m_deviceName) {
        m_hasOscName = true;
        m_oscNameSource = m_deviceName.Clone();
        // UTF-8 whatever the locale: a name the locale cannot hold keeps its address.
        m_oscName = OscText(m_oscNameSource);
    }
    return m_oscName;
}

bool CDevice::SendOscData(double time)
{
    CNetworkServices& network = GetNetworkServices();
    if (!network.IsOscServerStarted() || !m_output || m_outputCount == 0)
        return false;
    return network.OscServerSetData(GetOscName(), m_output.get(), m_outputCount, time);
}

bool CDevice::SendOscEvent(const wxString& text, double time)
{
    CNetworkServices& network = GetNetworkServices();
    if (!network.IsOscServerStarted())
        return false;
    return network.OscServerSendEvent(GetOscName(), OscText(text), time);
}

void CDevice::SendVrpnData()
{
    CMutexLock lock(&m_dataMutex);
    if (!m_vrpnOutput.load() || !m_values)
        return;
    CNetworkServices& network = GetNetworkServices();
    const int64_t index = m_vrpnIndex.load();
    if (m_dim == 7)
        network.VrpnServerSetTracker(index, m_values.get(), m_channelCount);
    else
        network.VrpnServerSetAnalog(index, m_values.get(), m_channelCount);
    network.VrpnServerMainloop();
}

void CDevice::AllocBuffers()
{
    FreeBuffers();
    if (m_channelCount < 1 || m_dim < 1)
        return;
    m_rowLength = static_cast<int64_t>(m_channelCount) * m_dim;
    const size_t length = static_cast<size_t>(m_rowLength);
    m_values = std::make_unique<double[]>(length);
    m_output = std::make_unique<double[]>(length);
    m_offsets = std::make_unique<double[]>(length);
    m_channelOn = std::make_unique<uint8_t[]>(static_cast<size_t>(m_channelCount));
    std::fill(m_channelOn.get(), m_channelOn.get() + m_channelCount, uint8_t{1});
    m_outputCount = m_channelCount;
}

void CDevice::FreeBuffers()
{
    m_values.reset();
    m_output.reset();
    m_offsets.reset();
    m_channelOn.reset();
    m_rowLength = 0;
}

double CDevice::check_real_value(double value, double fallback, double min, double max,
                                 const wxString& name)
{
    if (min <= value && value <= max)
        return value;
    wxLogWarning(_("Invalid value %s [%f, %f]"), name, min, max);
    return fallback;
}

int32_t CDevice::check_long_value(int32_t value, int32_t fallback, int32_t min, int32_t max,
                                  const wxString& name)
{
    if (min <= value && value <= max)
        return value;
    wxLogWarning(_("Invalid value %s [%ld, %ld]"), name, static_cast<long>(min),
                 static_cast<long>(max));
    return fallback;
}

wxString CDevice::check_string_value(const wxString& value, const wxString& fallback,
                                     const wxString& name)
{
    if (!value.empty())
        return value;
    wxLogWarning(_("Invalid value %s [empty string]"), name);
    return fallback;
}
