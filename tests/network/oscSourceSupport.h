#pragma once

// Helpers of the OSC source and trigger tests: settings restored after each
// test, an OSC device driven pass by pass on a simulated clock, and a way to run
// the liblo command line tools.

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "analog/steppedDevice.h"
#include "network/oscClientSettings.h"
#include "network/oscDevice.h"
#include "network/oscTrigger.h"
#include "oscTestSupport.h"

extern char** environ;

namespace osctest {

// Checks done until it holds; false at the limit, which only a broken build reaches.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Installs client and trigger settings for one test; the defaults come back after it.
class SettingsGuard {
public:
    SettingsGuard() = default;
    ~SettingsGuard()
    {
        StopOscTrigger();
        SetOscClientSettings(OscClientSettings());
        SetOscTriggerSettings(OscTriggerSettings());
    }
    SettingsGuard(const SettingsGuard&) = delete;
    SettingsGuard& operator=(const SettingsGuard&) = delete;
};

// Client settings for a source on the loopback at sourcePort; we listen on listenPort.
inline OscClientSettings LoopbackClient(int sourcePort, int listenPort, int connectTimeoutMs = 20)
{
    OscClientSettings settings;
    settings.address = "127.0.0.1";
    settings.broadcastPort = sourcePort;
    settings.listeningPort = listenPort;
    settings.maxTimeoutMs = connectTimeoutMs;
    return settings;
}

inline OscMessage Floats(const std::string& address, const std::vector<float>& values)
{
    OscMessage message(address);
    for (float value : values) message.PushFloat(value);
    return message;
}

// An OSC device whose own pacing runs on a simulated clock: each Step is one due pass.
class SteppedOscDevice : public CStepped<COscDevice> {
public:
    SteppedOscDevice() : CStepped<COscDevice>(false) {}
    // Steps (not dispatching) until pred holds; false after a generous bound.
    template <typename Pred>
    bool PollUntil(Pred pred)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kArriveMs);
        while (std::chrono::steady_clock::now() < end) {
            Step(false);
            if (pred()) return true;
            std::this_thread::yield();
        }
        return false;
    }
    int ChannelCount() { return GetChannelCount(); }
};

// Runs a tool found on PATH to its end; its exit status, or -1 when it could not run.
inline int RunTool(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) == -1) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace osctest
