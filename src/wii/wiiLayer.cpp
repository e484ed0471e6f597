#include "wii/wiiLayer.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "wii/wiiHidSource.h"
#include "wii/wiiPlatform.h"

std::atomic<int> g_wii_time_out{3};

namespace {

constexpr int kMaxSlots = 4;
constexpr uint8_t kSlotLeds[kMaxSlots] = {kWiiLed1, kWiiLed2, kWiiLed3, kWiiLed4};
constexpr std::chrono::milliseconds kRumbleTime{200};

// Serialises searches and the clean-up (taken before g_mutex, never inside it).
std::mutex g_searchMutex;
// Guards everything below and every record of the arrays.
std::mutex g_mutex;
std::unique_ptr<CWiiRemoteArray> g_remotes;
// Arrays of earlier searches, disconnected; kept so that a record pointer handed out
// by GetWiimote stays valid until the clean-up.
std::vector<std::unique_ptr<CWiiRemoteArray>> g_retired;
std::atomic<uint32_t> g_searches{0};
int g_slotCount = kMaxSlots;
int g_foundCount = 0;
int g_connectedCount = 0;
int g_deniedCount = 0;
bool g_banner = true;

void Print(const std::string& text)
{
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

// Under g_mutex: the slot's record, or null.
CWiiRemote* SlotRecord(int slot)
{
    if (g_remotes == nullptr || slot < 0 || slot >= kMaxSlots || slot >= g_slotCount)
        return nullptr;
    return g_remotes->At(slot);
}

bool AnyConnected()
{
    if (g_remotes == nullptr) return false;
    for (int i = 0; i < g_slotCount; ++i) {
        const CWiiRemote* remote = g_remotes->At(i);
        if (remote != nullptr && remote->IsConnected()) return true;
    }
    return false;
}

// Under g_mutex: the current array leaves service (its remotes disconnected).
void RetireCurrent()
{
    if (g_remotes == nullptr) return;
    for (int i = 0; i < g_remotes->Count(); ++i) g_remotes->At(i)->Detach();
    g_retired.push_back(std::move(g_remotes));
    g_connectedCount = 0;
}

// What a device asked of a remote before a new search reconnected it goes on.
// The newest earlier record of the same device that was asked for something: one away
// from the last search comes back through an older one.
const CWiiRemote* EarlierSettings(uint64_t serial)
{
    for (auto array = g_retired.rbegin(); array != g_retired.rend(); ++array) {
        for (int j = 0; j < (*array)->Count(); ++j) {
            const CWiiRemote* old = (*array)->At(j);
            const bool asked = (old->state & kWiiStateAccelerometer) != 0 || old->WantsMotionPlus();
            if (old->serial == serial && asked) return old;
        }
    }
    return nullptr;
}

void CarryOverSettings(CWiiRemoteArray& fresh, int connected)
{
    for (int i = 0; i < connected; ++i) {
        CWiiRemote* remote = fresh.At(i);
        const CWiiRemote* old = EarlierSettings(remote->serial);
        if (old == nullptr) continue;
        if ((old->state & kWiiStateAccelerometer) != 0) wiiuse_motion_sensing(remote, 1);
        // Asked for, not seen: a remote lost before the search shows no expansion.
        if (old->WantsMotionPlus()) wiiuse_set_motion_plus(remote, 1);
    }
}

std::string ReportLine(int slot, const CWiiRemote& remote)
{
    const char* kind = remote.expansion == kWiiExpansionBoard ? " wii board"
                       : remote.type != 0                     ? "motion plus"
                                                              : "regular";
    return FormatStdString("<WII> device[%d] id = %d : %s - raw battery level %g\n", slot,
                           remote.id, kind, static_cast<double>(remote.batteryLevel));
}

}  // namespace

std::string FormatStdString(const char* format, ...)
{
    if (format == nullptr) return std::string();
    char buffer[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    std::string text;
    if (length < 0) {
        va_end(again);
        return text;
    }
    if (static_cast<size_t>(length) < sizeof buffer) {
        text.assign(buffer, static_cast<size_t>(length));
    } else {
        std::vector<char> longer(static_cast<size_t>(length) + 1);
        std::vsnprintf(longer.data(), longer.size(), format, again);
        text.assign(longer.data(), static_cast<size_t>(length));
    }
    va_end(again);
    return text;
}

std::string GetWiiuseVersion() { return wiiuse_version(); }

int GetWiiDeniedCount()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_deniedCount;
}

int InitWiiDevices()
{
    std::lock_guard<std::mutex> search(g_searchMutex);
    int slotCount = kMaxSlots;
    bool banner = false;
    {
        // Nothing is printed under the lock: a slow output must not hold up the polls.
        std::lock_guard<std::mutex> lock(g_mutex);
        banner = g_banner;
        g_banner = false;
        if (g_slotCount < 1 || g_slotCount > kMaxSlots) g_slotCount = kMaxSlots;
        slotCount = g_slotCount;
        // The remotes go back to the new search: no poll reads them meanwhile.
        RetireCurrent();
    }
    if (banner) {
        Print(std::string("wiiuse v") + wiiuse_version() + " loaded.\n");
        Print("  Wii Remotes and Balance Boards through the system's HID driver.\n");
        Print("  Pair them with the system's Bluetooth tools first.\n");
    }
    Print("<WII> Init wii devices\n");
    std::unique_ptr<CWiiRemoteArray> fresh = wiiuse_init(slotCount);
    Print("<WII> Scanning wii devices...\n");
    // Discovery and connection block; they work on the new array, which nobody else
    // sees yet, so the lock is not held meanwhile.
    const int found = wiiuse_find(fresh.get(), slotCount, g_wii_time_out.load());
    int connected = 0;
    int denied = 0;
    if (found == 0) {
        Print("<WII> Failed to find to any wiimote.\n");
    } else {
        Print("<WII> Connecting wii devices\n");
        connected = wiiuse_connect(fresh.get(), slotCount);
        if (connected < 1) Print("<WII> Failed to connect to any wiimote.\n");
        // Found but not opened for want of permission: say what to do about it.
        std::string deniedPath;
        for (int i = 0; i < slotCount; ++i) {
            const CWiiRemote* remote = fresh->At(i);
            const int error = remote->OpenError();
            if (remote->IsConnected() || (error != EACCES && error != EPERM)) continue;
            if (denied++ == 0) deniedPath = remote->GetCandidate().path;
        }
        if (denied > 0) {
            const std::string advice = WiiPermissionAdvice(denied, deniedPath);
            std::fputs(advice.c_str(), stderr);
            std::fflush(stderr);
        }
    }
    if (connected >= 1) {
        Print(FormatStdString("<WII> Connected to %d wiimotes (of %d found).\n", connected, found));
        for (int i = 0; i < slotCount; ++i) wiiuse_set_leds(fresh->At(i), kSlotLeds[i]);
        wiiuse_rumble(fresh->At(0), 1);
        std::this_thread::sleep_for(kRumbleTime);  // how long the motor runs
        wiiuse_rumble(fresh->At(0), 0);
    }
    std::string report;
    for (int i = 0; i < connected; ++i) report += ReportLine(i, *fresh->At(i));
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (connected >= 1) CarryOverSettings(*fresh, connected);
        g_remotes = std::move(fresh);
        g_foundCount = found;
        g_connectedCount = connected;
        g_deniedCount = denied;
        g_searches.fetch_add(1);
    }
    Print(report);
    return connected;
}

void CleanupWiiDevices()
{
    std::lock_guard<std::mutex> search(g_searchMutex);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_remotes != nullptr) wiiuse_cleanup(std::move(g_remotes), kMaxSlots);
    g_remotes.reset();
    g_retired.clear();
    g_foundCount = 0;
    g_connectedCount = 0;
    g_deniedCount = 0;
    g_searches.fetch_add(1);
}

std::string GetWiiDeviceName(int slot)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const CWiiRemote* remote = slot < g_connectedCount ? SlotRecord(slot) : nullptr;
    if (remote == nullptr) return "???";
    return FormatStdString(remote->expansion == kWiiExpansionBoard ? "WiiBoard[%d]" : "Wiimote[%d]",
                           remote->id);
}

bool PollWiiDevices()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_remotes == nullptr) return false;
    return wiiuse_poll(g_remotes.get(), g_slotCount) > 0;
}

bool TakeWiiRemote(int slot, WiiRemoteData* out)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    CWiiRemote* remote = SlotRecord(slot);
    if (remote == nullptr) return false;
    remote->TakeEvents(out);
    return true;
}

void ResyncWiiDevice(int slot)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    wiiuse_resync(SlotRecord(slot));
}

void DisconnectWiiDevice(int slot)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    wiiuse_disconnect(SlotRecord(slot));
}

bool IsWiiConnected(int slot)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (slot < 0 || slot >= kMaxSlots) return AnyConnected();
    const CWiiRemote* remote = SlotRecord(slot);
    return remote != nullptr && remote->IsConnected();
}

uint32_t GetWiiSearchCount() { return g_searches.load(); }

uint64_t GetWiiSerial(int slot)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const CWiiRemote* remote = SlotRecord(slot);
    return remote != nullptr && remote->IsConnected() ? remote->serial : 0;
}

int FindWiiSerial(uint64_t serial)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    for (int slot = 0; serial != 0 && slot < g_connectedCount; ++slot) {
        const CWiiRemote* remote = SlotRecord(slot);
        if (remote != nullptr && remote->serial == serial) return slot;
    }
    return -1;
}

bool IsAnyWiiConnected() { return IsWiiConnected(-1); }

bool IsWiiInitialised()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_remotes != nullptr;
}

bool IsWiiBoard(int slot)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return WiimoteIsBoard(SlotRecord(slot));
}

bool HasWiiNunchuk(int slot)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return WiimoteHasNunchuk(SlotRecord(slot));
}

float GetWiiBatteryLevel(int slot)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const CWiiRemote* remote = SlotRecord(slot);
    return remote != nullptr ? remote->batteryLevel : 0.0f;
}

int GetWiiIdentifier(int slot)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const CWiiRemote* remote = SlotRecord(slot);
    return remote != nullptr ? remote->id : 0;
}

bool SetWiiMotionSensing(int slot, bool on)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    CWiiRemote* remote = SlotRecord(slot);
    if (remote == nullptr) return false;
    wiiuse_motion_sensing(remote, on ? 1 : 0);
    return true;
}

bool SetWiiMotionPlus(int slot, bool on)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    CWiiRemote* remote = SlotRecord(slot);
    if (remote == nullptr) return false;
    wiiuse_set_motion_plus(remote, on ? 1 : 0);
    return true;
}

bool WiimoteIsBoard(const WiiRemoteData* remote)
{
    return remote != nullptr && remote->expansion == kWiiExpansionBoard;
}

bool WiimoteHasNunchuk(const WiiRemoteData* remote)
{
    return remote != nullptr && (remote->expansion == kWiiExpansionNunchuk ||
                                 remote->expansion == kWiiExpansionMotionPlusNunchuk);
}

CWiiRemote* GetWiimote(int slot)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return SlotRecord(slot);
}

void PrintWiiMotion(const WiiRemoteData* remote)
{
    if (remote == nullptr) return;
    if ((remote->state & kWiiStateAccelerometer) != 0)
        Print(
            FormatStdString("wiimote roll  = %g ", static_cast<double>(remote->orientation.roll)));
    if (remote->expansion == kWiiExpansionMotionPlus ||
        remote->expansion == kWiiExpansionMotionPlusNunchuk)
        Print(FormatStdString("Motion+ angular rates (deg/sec) %g , %g , %g\n",
                              static_cast<double>(remote->motionPlus.pitchRate),
                              static_cast<double>(remote->motionPlus.rollRate),
                              static_cast<double>(remote->motionPlus.yawRate)));
}

void RunWiiMotionTrace()
{
    for (int pass = 0; pass < 1000; ++pass) {
        if (!IsAnyWiiConnected()) return;
        if (!PollWiiDevices()) continue;
        for (int slot = 0; slot < kMaxSlots; ++slot) {
            WiiRemoteData copy;
            if (TakeWiiRemote(slot, &copy) && copy.event == kWiiEventData) PrintWiiMotion(&copy);
        }
    }
}
