#include "network/oscTrigger.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "network/oscClientSettings.h"
#include "network/oscConnection.h"
#include "process/clock.h"
#include "process/triggerCrossings.h"

namespace {

// Every acquisition thread polls on every pass; a spinning worker would otherwise
// make a system call per pass. The drain per poll keeps nothing waiting long.
constexpr double kMinPollIntervalUs = 200.0;

std::mutex g_controlMutex;  // serialises Start, Stop and Restart (taken first)
std::mutex g_inputMutex;    // guards g_input; pollers only try it
std::unique_ptr<OscConnection> g_input;
std::atomic<bool> g_connected{false};
std::atomic<double> g_lastPollUs{-1.0e300};
CTriggerCrossings g_crossings;  // outlives every input, which only feeds it

// g_controlMutex held. The old input goes outside g_inputMutex: its disconnect
// message is no business of the pollers.
void StopLocked()
{
    std::unique_ptr<OscConnection> old;
    {
        std::lock_guard<std::mutex> lock(g_inputMutex);
        old = std::move(g_input);
        g_connected = false;
    }
    old.reset();
}

bool StartLocked(std::string* reason = nullptr)
{
    StopLocked();
    const OscTriggerSettings settings = GetOscTriggerSettings();
    const OscClientSettings client = GetOscClientSettings();
    auto input = std::make_unique<OscConnection>(nullptr);
    input->SetPatterns("/connect", "/disconnect");
    // The trigger is polled from acquisition threads: its polls never wait.
    input->SetTimeouts(client.maxTimeoutMs, 0);
    g_crossings.Clear();
    g_crossings.SetLevels(settings.highValue, settings.lowValue, true);
    input->SetCrossings(&g_crossings);
    // The handshake runs before the input is published, so no poller waits for it.
    if (!input->Open(settings.serverName, settings.address, settings.outPort, settings.inPort)) {
        if (reason) *reason = input->FailureText();
        return false;
    }
    std::lock_guard<std::mutex> lock(g_inputMutex);
    g_input = std::move(input);
    g_connected = g_input->IsReady();
    return true;
}

}  // namespace

bool StartOscTrigger(std::string* reason)
{
    std::lock_guard<std::mutex> control(g_controlMutex);
    return StartLocked(reason);
}

void StopOscTrigger()
{
    std::lock_guard<std::mutex> control(g_controlMutex);
    StopLocked();
}

bool RestartOscTrigger()
{
    std::lock_guard<std::mutex> control(g_controlMutex);
    {
        std::lock_guard<std::mutex> lock(g_inputMutex);
        if (g_input == nullptr) return false;
    }
    StopLocked();
    return IsOscTriggerEnabled() ? StartLocked() : true;
}

bool PollOscTrigger()
{
    if (!g_connected.load(std::memory_order_acquire)) return false;
    const double nowUs = GetProgramTime();
    if (nowUs - g_lastPollUs.load(std::memory_order_relaxed) < kMinPollIntervalUs) return false;
    std::unique_lock<std::mutex> lock(g_inputMutex, std::try_to_lock);
    if (!lock.owns_lock() || g_input == nullptr) return false;
    g_lastPollUs.store(nowUs, std::memory_order_relaxed);
    return g_input->Poll();
}

bool DrainOscTrigger()
{
    if (!g_connected.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> lock(g_inputMutex);
    if (g_input == nullptr) return false;
    g_lastPollUs.store(GetProgramTime(), std::memory_order_relaxed);
    return g_input->Poll();
}

bool IsOscTriggerConnected() { return g_connected.load(std::memory_order_acquire); }

bool GetOscTriggerValue(double* value)
{
    if (value == nullptr) return false;
    std::lock_guard<std::mutex> lock(g_inputMutex);
    return g_input != nullptr && g_input->TakeFirstValue(*value);
}

int GetOscTriggerListeningPort()
{
    std::lock_guard<std::mutex> lock(g_inputMutex);
    return g_input != nullptr ? g_input->BoundListeningPort() : -1;
}

CTriggerCrossings& GetOscTriggerCrossings() { return g_crossings; }

std::uint64_t GetOscTriggerMalformedCount()
{
    std::lock_guard<std::mutex> lock(g_inputMutex);
    return g_input != nullptr ? g_input->GetMalformedCount() : 0;
}
