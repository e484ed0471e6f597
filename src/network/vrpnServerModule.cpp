#include "network/vrpnServerModule.h"

#include "process/messageQueue.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace {

struct Module {
    // Exclusive: start, stop, re-creation. Shared: the per-frame calls.
    std::shared_mutex lock;
    std::unique_ptr<CVrpnServer> server;
    std::vector<int32_t> buttonOffsets;
    std::vector<int32_t> analogOffsets;
    std::vector<int32_t> sensorOffsets;
    size_t deviceCount = 0;
};

Module& TheModule()
{
    static Module module;
    return module;
}

std::atomic<unsigned> g_started{0};
// Set while the GUI thread waits to re-create the server: passes step aside for it.
std::atomic<bool> g_writerWaiting{false};
std::atomic<int> g_port{vrpn::kDefaultPort};
std::atomic<uint32_t> g_address{0};
std::atomic<int64_t> g_cookieTimeoutMs{
    std::chrono::milliseconds(CVrpnLink::kCookieTimeout).count()};
std::atomic<int64_t> g_stuckTimeoutMs{
    std::chrono::milliseconds(CVrpnServer::kStuckTimeout).count()};

std::unique_ptr<CVrpnServer> MakeServer(const char* name, size_t analog, size_t sensors,
                                        size_t buttons, int port)
{
    auto server = std::make_unique<CVrpnServer>(name, analog, sensors, buttons, port,
                                                g_address.load());
    server->SetCookieTimeout(std::chrono::milliseconds(g_cookieTimeoutMs.load()));
    server->SetStuckTimeout(std::chrono::milliseconds(g_stuckTimeoutMs.load()));
    return server;
}

// Holds the module lock exclusively; frames skip their pass meanwhile.
class CExclusive {
public:
    explicit CExclusive(Module& module) : m_module(module)
    {
        g_writerWaiting.store(true);
        m_module.lock.lock();
    }
    ~CExclusive()
    {
        m_module.lock.unlock();
        g_writerWaiting.store(false);
    }
    CExclusive(const CExclusive&) = delete;
    CExclusive& operator=(const CExclusive&) = delete;

private:
    Module& m_module;
};

void StopLocked(Module& module)
{
    module.server.reset();
    module.buttonOffsets.clear();
    module.analogOffsets.clear();
    module.sensorOffsets.clear();
    module.deviceCount = 0;
    g_started.store(0);
}

bool StartLocked(Module& module, const char* name)
{
    StopLocked(module);
    module.server = MakeServer(name, 0, 0, 1, g_port.load());
    module.buttonOffsets.push_back(0);
    module.analogOffsets.push_back(0);
    module.sensorOffsets.push_back(0);
    g_started.store(1);
    return module.server->IsRunning();
}

// How many of count items from offset fit below limit.
size_t SentPart(size_t offset, size_t count, size_t limit)
{
    return offset >= limit ? 0 : std::min(count, limit - offset);
}

// The warning for a block that runs past what VRPN clients take; empty when it fits.
std::string TruncationText(const char* name, int index, size_t analogOffset, size_t channels,
                           size_t buttonOffset, size_t buttons)
{
    const size_t analogSent = SentPart(analogOffset, channels, vrpn::kMaxAnalogChannels);
    const size_t buttonsSent = SentPart(buttonOffset, buttons, vrpn::kMaxButtons);
    std::string parts;
    if (analogSent < channels)
        parts = std::to_string(analogSent) + " of its " + std::to_string(channels) +
                " analog channels";
    if (buttonsSent < buttons)
        parts += (parts.empty() ? "" : " and ") + std::to_string(buttonsSent) + " of its " +
                 std::to_string(buttons) + " buttons";
    if (parts.empty()) return std::string();
    const std::string device = name != nullptr && name[0] != '\0'
                                   ? std::string(name)
                                   : "device " + std::to_string(index);
    return "<VRPN> " + device + ": only " + parts +
           " are sent (VRPN clients take at most " + std::to_string(vrpn::kMaxAnalogChannels) +
           " analog channels and " + std::to_string(vrpn::kMaxButtons) + " buttons)";
}

// The registry entry of a device, or -1.
int Entry(const std::vector<int32_t>& offsets, int device)
{
    if (device < 0 || static_cast<size_t>(device) >= offsets.size()) return -1;
    return offsets[static_cast<size_t>(device)];
}

}  // namespace

void SetVrpnServerPort(int port) { g_port.store(port); }
int GetVrpnServerPort() { return g_port.load(); }
void SetVrpnServerAddress(uint32_t address) { g_address.store(address); }
void SetVrpnServerCookieTimeout(std::chrono::milliseconds timeout)
{
    g_cookieTimeoutMs.store(timeout.count());
}

void SetVrpnServerStuckTimeout(std::chrono::milliseconds timeout)
{
    g_stuckTimeoutMs.store(timeout.count());
}

bool StartVrpnServer(const char* name)
{
    Module& module = TheModule();
    CExclusive lock(module);
    return StartLocked(module, name);
}

void StopVrpnServer()
{
    Module& module = TheModule();
    CExclusive lock(module);
    StopLocked(module);
}

bool RestartVrpnServer(const char* name) { return StartVrpnServer(name); }

unsigned IsVrpnServerStarted() { return g_started.load(); }

bool IsVrpnServerRunning()
{
    Module& module = TheModule();
    std::shared_lock<std::shared_mutex> lock(module.lock);
    return module.server && module.server->IsRunning();
}

int GetVrpnServerBoundPort()
{
    Module& module = TheModule();
    std::shared_lock<std::shared_mutex> lock(module.lock);
    return module.server && module.server->IsRunning() ? module.server->GetPort() : -1;
}

std::string GetVrpnServerName()
{
    Module& module = TheModule();
    std::shared_lock<std::shared_mutex> lock(module.lock);
    return module.server ? module.server->GetName() : std::string();
}

CVrpnServerStats GetVrpnServerStats()
{
    Module& module = TheModule();
    std::shared_lock<std::shared_mutex> lock(module.lock);
    return module.server ? module.server->GetStats() : CVrpnServerStats();
}

size_t GetVrpnServerClientCount()
{
    Module& module = TheModule();
    std::shared_lock<std::shared_mutex> lock(module.lock);
    return module.server ? module.server->GetClientCount() : 0;
}

namespace {

int AddDeviceLocked(int buttons, int channels, int sensors, const char* name,
                    std::string& warning)
{
    Module& module = TheModule();
    CExclusive lock(module);
    if (!module.server) StartLocked(module, nullptr);  // the name counts only at a start
    const std::string current = module.server->GetName();
    const size_t totalButtons = module.server->GetButtonCount();
    const size_t totalAnalog = module.server->GetAnalogCount();
    const size_t totalSensors = module.server->GetSensorCount();
    const size_t devices = module.deviceCount;
    // With a free port asked for, the re-created server stays on the port clients know.
    const int port = g_port.load() == 0 && module.server->IsRunning() ? module.server->GetPort()
                                                                      : g_port.load();
    constexpr size_t kLimit = std::numeric_limits<int32_t>::max();
    if (totalButtons + buttons > kLimit || totalAnalog + channels > kLimit ||
        totalSensors + sensors > kLimit || module.buttonOffsets.size() >= kLimit)
        return 0;
    // The old server goes first: the new one binds the same port.
    module.server.reset();
    module.buttonOffsets.push_back(static_cast<int32_t>(totalButtons));
    module.analogOffsets.push_back(static_cast<int32_t>(totalAnalog));
    module.sensorOffsets.push_back(static_cast<int32_t>(totalSensors));
    g_started.store(static_cast<unsigned>(module.buttonOffsets.size()));
    module.server = MakeServer(
        current.c_str(), totalAnalog + static_cast<size_t>(channels),
        totalSensors + static_cast<size_t>(sensors), totalButtons + static_cast<size_t>(buttons),
        port);
    if (!module.server->IsRunning()) {
        StopLocked(module);
        return 0;
    }
    module.deviceCount = devices + 1;
    const int index = static_cast<int>(module.deviceCount);
    warning = TruncationText(name, index, totalAnalog, static_cast<size_t>(channels), totalButtons,
                             static_cast<size_t>(buttons));
    return index;
}

}  // namespace

int VrpnServerAddDevice(int buttons, int channels, int sensors, const char* name)
{
    // Negative counts would wrap the totals: refused, the server left as it is.
    if (buttons < 0 || channels < 0 || sensors < 0) return 0;
    std::string warning;
    const int index = AddDeviceLocked(buttons, channels, sensors, name, warning);
    // Posted once the module lock is released.
    if (index != 0 && !warning.empty()) g_messages.Post(Severity::Warning, warning);
    return index;
}

// A device's block stays until the server is restarted.
void VrpnServerRemoveDevice(int) {}

bool VrpnServerMainloop()
{
    if (g_writerWaiting.load()) return false;
    Module& module = TheModule();
    std::shared_lock<std::shared_mutex> lock(module.lock);
    if (!module.server || !module.server->IsRunning()) return false;
    return module.server->Mainloop();
}

bool VrpnServerSetButton(int device, int button, int state)
{
    if (button < 0) return false;
    Module& module = TheModule();
    std::shared_lock<std::shared_mutex> lock(module.lock);
    const int offset = Entry(module.buttonOffsets, device);
    if (offset < 0 || !module.server || !module.server->IsRunning()) return false;
    return module.server->SetButton(static_cast<size_t>(button), static_cast<size_t>(offset),
                                    state);
}

bool VrpnServerSetAnalog(int device, const double* values, int n)
{
    if (values == nullptr || n < 0) return false;
    Module& module = TheModule();
    std::shared_lock<std::shared_mutex> lock(module.lock);
    const int offset = Entry(module.analogOffsets, device);
    if (offset < 0 || !module.server || module.server->GetAnalogCount() == 0) return false;
    return module.server->SetAnalog(static_cast<size_t>(offset), values, static_cast<size_t>(n));
}

bool VrpnServerSetTracker(int device, const double* poses, int n)
{
    if (poses == nullptr || n < 0) return false;
    Module& module = TheModule();
    std::shared_lock<std::shared_mutex> lock(module.lock);
    const int offset = Entry(module.sensorOffsets, device);
    if (offset < 0 || !module.server || module.server->GetSensorCount() == 0) return false;
    return module.server->SetPoses(static_cast<size_t>(offset), poses, static_cast<size_t>(n));
}

bool VrpnServerSkipButton() { return false; }
