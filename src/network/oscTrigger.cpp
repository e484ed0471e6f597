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

std::atomic<std::uint64_t> g_lost{0};       // dropped on the ports of inputs gone
std::atomic<std::uint64_t> g_datagrams{0};  // read by inputs gone

// g_controlMutex held, the input unpublished. What waits on its port is taken and what
// the system dropped there is counted and said before the socket closes; its
// disconnect message goes out when it is still open.
void Dispose(std::unique_ptr<OscConnection> input)
{
    if (input == nullptr) return;
    input->Leave();
    g_lost.fetch_add(input->GetLostDatagramCount());
    g_datagrams.fetch_add(input->GetDatagramCount());
}

// g_controlMutex held. The old input goes outside g_inputMutex: its disconnect
// message is no business of the pollers.
std::unique_ptr<OscConnection> Unpublish()
{
    std::lock_guard<std::mutex> lock(g_inputMutex);
    g_connected = false;
    return std::move(g_input);
}

// g_controlMutex held. previous (unpublished, closed): the input replaced by a restart.
// It hands its socket over when the port stays, else is left once the new port listens;
// its crossings stay queued and what waited on its port is taken as coming now, so that
// no command sent is lost unseen.
bool OpenLocked(std::unique_ptr<OscConnection> previous, std::string* reason)
{
    const OscTriggerSettings settings = GetOscTriggerSettings();
    const OscClientSettings client = GetOscClientSettings();
    auto input = std::make_unique<OscConnection>(nullptr);
    input->SetPatterns("/connect", "/disconnect");
    // The trigger is polled from acquisition threads: its polls never wait.
    input->SetTimeouts(client.maxTimeoutMs, 0);
    if (previous == nullptr) g_crossings.Clear();
    g_crossings.SetLevels(settings.highValue, settings.lowValue, true);
    input->SetCrossings(&g_crossings);
    if (previous != nullptr) {
        const double nowUs = GetProgramTime();
        input->SetEarliestArrival(nowUs);
        previous->SetEarliestArrival(nowUs);
    }
    // The handshake runs before the input is published, so no poller waits for it.
    const bool isOpen = input->Open(settings.serverName, settings.address, settings.outPort,
                                    settings.inPort, previous.get());
    if (previous != nullptr) {
        // The latest value the old input read and nobody took, unless a newer came.
        double value = 0.0;
        if (previous->TakeFirstValue(value)) {
            double newer = 0.0;
            input->StoreValue(input->TakeFirstValue(newer) ? newer : value, 0);
        }
        Dispose(std::move(previous));
    }
    if (!isOpen) {
        if (reason) *reason = input->FailureText();
        Dispose(std::move(input));
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
    Dispose(Unpublish());
    return OpenLocked(nullptr, reason);
}

void StopOscTrigger()
{
    std::lock_guard<std::mutex> control(g_controlMutex);
    Dispose(Unpublish());
}

bool RestartOscTrigger()
{
    std::lock_guard<std::mutex> control(g_controlMutex);
    std::unique_ptr<OscConnection> old = Unpublish();
    if (old == nullptr) return false;
    if (!IsOscTriggerEnabled()) {
        Dispose(std::move(old));
        return true;
    }
    old->Close();  // its goodbye before the new input's hello
    return OpenLocked(std::move(old), nullptr);
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

std::uint64_t GetOscTriggerLostCount() { return g_lost.load(); }

std::uint64_t GetOscTriggerDatagramCount()
{
    std::lock_guard<std::mutex> lock(g_inputMutex);
    return g_datagrams.load() + (g_input != nullptr ? g_input->GetDatagramCount() : 0);
}

std::uint64_t GetOscTriggerMalformedCount()
{
    std::lock_guard<std::mutex> lock(g_inputMutex);
    return g_input != nullptr ? g_input->GetMalformedCount() : 0;
}
