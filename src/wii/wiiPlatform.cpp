#include "wii/wiiPlatform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <mutex>
#include <thread>
#include <utility>

#include "wii/wiiHidSource.h"

namespace {

// Between two looks for remotes that are still connecting.
constexpr std::chrono::milliseconds kRescanPeriod{250};

std::mutex g_sourceMutex;  // leaf lock: guards g_source
std::shared_ptr<CWiiHidSource> g_source;

void Say(FILE* stream, const std::string& text)
{
    if (text.empty()) return;
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
}

int Bound(const CWiiRemoteArray* remotes, int count)
{
    if (remotes == nullptr) return 0;
    return std::max(0, std::min(count, remotes->Count()));
}

}  // namespace

CWiiRemoteArray::CWiiRemoteArray(int count)
{
    for (int i = 0; i < count; ++i) m_remotes.push_back(std::make_unique<CWiiRemote>());
}

CWiiRemote* CWiiRemoteArray::At(int slot) const
{
    if (slot < 0 || slot >= Count()) return nullptr;
    return m_remotes[static_cast<size_t>(slot)].get();
}

void CWiiRemoteArray::Swap(int a, int b)
{
    if (At(a) == nullptr || At(b) == nullptr) return;
    std::swap(m_remotes[static_cast<size_t>(a)], m_remotes[static_cast<size_t>(b)]);
}

void SetWiiHidSource(std::shared_ptr<CWiiHidSource> source)
{
    std::lock_guard<std::mutex> lock(g_sourceMutex);
    g_source = std::move(source);
}

std::shared_ptr<CWiiHidSource> GetWiiHidSource()
{
    std::lock_guard<std::mutex> lock(g_sourceMutex);
    if (g_source == nullptr) g_source = std::make_shared<CWiiHidrawSource>();
    return g_source;
}

const char* wiiuse_version() { return "1.0 (HID raw)"; }

std::unique_ptr<CWiiRemoteArray> wiiuse_init(int count)
{
    return std::make_unique<CWiiRemoteArray>(std::max(0, count));
}

int wiiuse_find(CWiiRemoteArray* remotes, int count, int timeoutSec)
{
    count = Bound(remotes, count);
    if (count == 0) return 0;
    const std::shared_ptr<CWiiHidSource> source = GetWiiHidSource();
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(std::max(0, timeoutSec));
    std::vector<WiiHidCandidate> found;
    // Remotes the HID layer already drives are there at once; a remote that is
    // connecting (buttons 1 and 2 pressed) turns up during the time-out.
    for (auto next = start;;) {
        found.clear();
        source->Scan(found);
        if (!found.empty() || !source->CanDiscover()) break;
        next += kRescanPeriod;
        if (next >= deadline) break;
        std::this_thread::sleep_until(next);
    }
    const int n = std::min(count, static_cast<int>(found.size()));
    for (int i = 0; i < count; ++i)
        remotes->At(i)->SetCandidate(i < n ? found[static_cast<size_t>(i)] : WiiHidCandidate());
    return n;
}

int wiiuse_connect(CWiiRemoteArray* remotes, int count)
{
    count = Bound(remotes, count);
    if (count == 0) return 0;
    const std::shared_ptr<CWiiHidSource> source = GetWiiHidSource();
    int connected = 0;
    for (int i = 0; i < count; ++i) {
        CWiiRemote* remote = remotes->At(i);
        if (!remote->HasCandidate() || remote->IsConnected()) continue;
        const WiiHidCandidate& candidate = remote->GetCandidate();
        int error = 0;
        const int fd = source->Open(candidate, &error);
        remote->SetOpenError(fd < 0 ? (error != 0 ? error : EIO) : 0);
        if (fd < 0) continue;
        remote->type = candidate.product == CWiiHidrawSource::kProductRemotePlus ? 1 : 0;
        const bool attached = remote->Attach(std::make_unique<CWiiLink>(fd), kWiiConnectTimeoutMs);
        if (remote->IsProController()) {
            Say(stdout, "<WII> " + candidate.path +
                            " is a Wii U Pro Controller, not a Wii Remote: left alone\n");
        } else if (attached) {
            Say(stderr, WiiKernelDriverNotice(candidate));
        }
    }
    // The connected ones first, in the order they were found.
    for (int i = 0; i < count; ++i) {
        if (!remotes->At(i)->IsConnected()) continue;
        remotes->Swap(i, connected);
        ++connected;
    }
    for (int i = 0; i < count; ++i) remotes->At(i)->id = i + 1;
    return connected;
}

void wiiuse_set_leds(CWiiRemote* remote, int leds)
{
    if (remote != nullptr) remote->SetLeds(static_cast<uint8_t>(leds));
}

void wiiuse_rumble(CWiiRemote* remote, int on)
{
    if (remote != nullptr) remote->SetRumble(on != 0);
}

int wiiuse_poll(CWiiRemoteArray* remotes, int count)
{
    count = Bound(remotes, count);
    int withEvents = 0;
    for (int i = 0; i < count; ++i) {
        if (remotes->At(i)->Pump()) ++withEvents;
    }
    return withEvents;
}

void wiiuse_resync(CWiiRemote* remote)
{
    if (remote != nullptr) remote->Resync();
}

void wiiuse_disconnect(CWiiRemote* remote)
{
    if (remote != nullptr) remote->Detach();
}

void wiiuse_cleanup(std::unique_ptr<CWiiRemoteArray> remotes, int count)
{
    count = Bound(remotes.get(), count);
    for (int i = 0; i < count; ++i) remotes->At(i)->Detach();
}

void wiiuse_motion_sensing(CWiiRemote* remote, int on)
{
    if (remote != nullptr) remote->SetMotionSensing(on != 0);
}

void wiiuse_set_motion_plus(CWiiRemote* remote, int on)
{
    if (remote != nullptr) remote->SetMotionPlus(on != 0);
}
