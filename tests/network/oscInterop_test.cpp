// Interoperability with an independent OSC implementation: the liblo command
// line tools send the requests and print what the server sends back.

#include "network/oscServer.h"

#include <gtest/gtest.h>

#include "analog/plainDevice.h"
#include "oscTestSupport.h"
#include "process/fakeDevice.h"
#include "support/localeGuard.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

namespace {

bool OnPath(const std::string& tool)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/" + tool;
        if (::access(candidate.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

// A child process whose standard output we read line by line.
class Child {
public:
    explicit Child(const std::vector<std::string>& args, bool captureOutput)
    {
        int pipeFds[2] = {-1, -1};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (captureOutput && ::pipe2(pipeFds, O_CLOEXEC) == 0) {
            posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
            m_out = pipeFds[0];
        }
        std::vector<char*> argv;
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        if (::posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (pipeFds[1] != -1) ::close(pipeFds[1]);
    }
    ~Child()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            Wait();
        }
        if (m_out != -1) ::close(m_out);
    }
    bool IsRunning() const { return m_pid > 0; }
    int Wait()
    {
        int status = 0;
        while (m_pid > 0 && ::waitpid(m_pid, &status, 0) == -1 && errno == EINTR) {
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // The next line that contains `text`, waiting up to timeoutMs.
    bool WaitForLine(const std::string& text, std::string& line, int timeoutMs)
    {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            std::size_t newline;
            while ((newline = m_pending.find('\n')) != std::string::npos) {
                line = m_pending.substr(0, newline);
                m_pending.erase(0, newline + 1);
                if (line.find(text) != std::string::npos) return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || m_out == -1) return false;
            pollfd entry{m_out, POLLIN, 0};
            if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) return false;
            char buffer[4096];
            const ssize_t got = ::read(m_out, buffer, sizeof buffer);
            if (got <= 0) return false;
            m_pending.append(buffer, static_cast<std::size_t>(got));
        }
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_pending;
};

bool OscSend(int port, const std::string& address)
{
    Child send({"oscsend", "127.0.0.1", std::to_string(port), address}, false);
    return send.IsRunning() && send.Wait() == 0;
}

// Starts oscdump on a free port and waits until it prints what we send.
bool StartDump(std::unique_ptr<Child>& dump, int& port)
{
    port = osctest::FreePort();
    dump = std::make_unique<Child>(
        std::vector<std::string>{"oscdump", "-L", std::to_string(port)}, true);
    if (!dump->IsRunning()) return false;
    osctest::Peer probe;
    std::string line;
    for (int attempt = 0; attempt < 50; ++attempt) {
        probe.Send(port, OscMessage("/probe"));
        if (dump->WaitForLine("/probe", line, 200)) return true;
    }
    return false;
}

// An analog device whose name a test sets.
class NamedPlainDevice : public CPlainDevice {
public:
    NamedPlainDevice() : CPlainDevice(1) {}
    using CAnalogDevice::SetDeviceName;
};

}  // namespace

// Names were converted through the current locale and dropped when it could not hold
// them: under LANG=C 'Gerät ü' and '測試' both went to /data/, and a tab passed into
// the address. The program's own text now goes out as UTF-8 whatever the locale, from
// the analog devices' dispatch and from the device base alike, and control characters
// become '_' as the forbidden ones do.
TEST(OscInteropTest, DeviceNamesGoOutAsUtf8WhateverTheLocale)
{
    if (!OnPath("oscdump")) GTEST_SKIP() << "oscdump (Debian package liblo-tools) is not installed";
    osctest::ConsoleCapture console;
    std::unique_ptr<Child> dump;
    int dumpPort = 0;
    ASSERT_TRUE(StartDump(dump, dumpPort)) << "oscdump did not start";
    LocaleGuard locale("C");
    ASSERT_TRUE(locale.IsSet());
    CloseOscServer();
    OscServerClearClients();
    OscServerSettings settings;
    settings.sendToLocal = false;
    OscServerSetSettings(settings);
    ASSERT_TRUE(StartOscServer(osctest::FreePort(), osctest::FreePort()));
    ASSERT_TRUE(OscServerAddClient("127.0.0.1:" + std::to_string(dumpPort)));
    std::string line;
    ASSERT_TRUE(dump->WaitForLine("/AnalogServer", line, osctest::kArriveMs));

    const struct {
        const char* name;  // UTF-8
        const char* part;
    } cases[] = {
        {"Ger\xC3\xA4t \xC3\xBC", "Ger\xC3\xA4t_\xC3\xBC"},
        {"\xE6\xB8\xAC\xE8\xA9\xA6", "\xE6\xB8\xAC\xE8\xA9\xA6"},
        {"\xC3\x85ngstr\xC3\xB6m", "\xC3\x85ngstr\xC3\xB6m"},
        {"tab\there", "tab_here"},
        {"line\nbell\x07" "del\x7F", "line_bell_del_"},
        {"plain", "plain"},
    };
    const wxString label = wxString::FromUTF8("Zeit \xC3\xA4");
    // oscdump prints a time stamp, the address, the type tags and the values.
    const auto expectDataAndEvent = [&](const std::string& part) {
        ASSERT_TRUE(dump->WaitForLine("/data/", line, osctest::kArriveMs)) << part;
        EXPECT_NE(line.find(" /data/" + part + " ff "), std::string::npos) << part << line;
        ASSERT_TRUE(dump->WaitForLine("/event/", line, osctest::kArriveMs)) << part;
        EXPECT_NE(line.find(" /event/" + part + " sf \"Zeit \xC3\xA4\""), std::string::npos)
            << part << line;
    };
    for (const auto& c : cases) {
        const wxString name = wxString::FromUTF8(c.name);
        NamedPlainDevice analog;
        analog.SetDeviceName(name);
        analog.Step(2.0);
        analog.AddMarker(1, 0, label, true);
        expectDataAndEvent(c.part);

        CFakeDevice base(name, 100.0, false);
        base.CopyEnabledValues();
        ASSERT_TRUE(base.SendOscData(0.5)) << c.part;
        ASSERT_TRUE(base.SendOscEvent(label, 0.5)) << c.part;
        expectDataAndEvent(c.part);
    }
    EXPECT_TRUE(CloseOscServer());
    OscServerClearClients();
    OscServerSetSettings(OscServerSettings());
}

// Device names went into addresses unchanged: a VRPN source's name added parts, a blank
// or '#' made an address receivers refuse or never match.
TEST(OscInteropTest, DeviceNamesBecomeOneAddressPartThatOscdumpReads)
{
    if (!OnPath("oscdump")) GTEST_SKIP() << "oscdump (Debian package liblo-tools) is not installed";
    osctest::ConsoleCapture console;
    std::unique_ptr<Child> dump;
    int dumpPort = 0;
    ASSERT_TRUE(StartDump(dump, dumpPort)) << "oscdump did not start";
    OscDataServer server;
    OscServerSettings settings;
    settings.sendToLocal = false;
    server.SetSettings(settings);
    ASSERT_TRUE(server.Start(osctest::FreePort(), osctest::FreePort()));
    ASSERT_TRUE(server.AddClient("127.0.0.1", dumpPort));
    std::string line;
    ASSERT_TRUE(dump->WaitForLine("/AnalogServer", line, osctest::kArriveMs));

    const struct {
        const char* name;
        const char* part;
    } cases[] = {
        {"Tracker0@tcp://host:3883", "Tracker0@tcp:__host:3883"},
        {"left foot", "left_foot"},
        {"pad#2", "pad_2"},
        {"all*,?[]{}", "all_______"},
        {"osc_device", "osc_device"},  // names without them keep their address
    };
    const double value = 1.5;
    for (const auto& c : cases) {
        ASSERT_TRUE(server.SetData(c.name, &value, 1, 0.25)) << c.name;
        const std::string address = std::string("/data/") + c.part;
        ASSERT_TRUE(dump->WaitForLine("/data/", line, osctest::kArriveMs)) << c.name;
        // oscdump prints a time stamp, the address, the type tags and the values.
        EXPECT_NE(line.find(" " + address + " ff "), std::string::npos) << line;
        ASSERT_TRUE(server.SendEvent(c.name, "mark", 0.5)) << c.name;
        ASSERT_TRUE(dump->WaitForLine("/event/", line, osctest::kArriveMs)) << c.name;
        EXPECT_NE(line.find(std::string(" /event/") + c.part + " sf "), std::string::npos)
            << line;
    }
    EXPECT_TRUE(server.Close());
}

TEST(OscInteropTest, LibloToolsConnectAndReceiveData)
{
    if (!OnPath("oscsend") || !OnPath("oscdump"))
        GTEST_SKIP() << "oscsend and oscdump (Debian package liblo-tools) are not installed";

    osctest::ConsoleCapture console;
    std::unique_ptr<Child> started;
    int dumpPort = 0;
    ASSERT_TRUE(StartDump(started, dumpPort)) << "oscdump did not start";
    Child& dump = *started;
    std::string line;

    CloseOscServer();
    OscServerClearClients();
    OscServerSettings settings;
    settings.sendToLocal = false;
    settings.timeoutMs = kOscMaxPollTimeoutMs;
    OscServerSetSettings(settings);
    const int inPort = osctest::FreePort();
    ASSERT_TRUE(StartOscServer(inPort, dumpPort));

    ASSERT_TRUE(OscSend(inPort, "/AnalogServer/connect"));
    for (int poll = 0; poll < 10 && !IsOscServerConnected(); ++poll) ASSERT_TRUE(OscServerPoll());
    ASSERT_TRUE(IsOscServerConnected());
    ASSERT_TRUE(dump.WaitForLine("/AnalogServer", line, osctest::kArriveMs));
    EXPECT_NE(line.find("/AnalogServer s \"connected\""), std::string::npos) << line;

    const double values[2] = {1.5, -2.25};
    ASSERT_TRUE(OscServerSetData("quorvane", values, 2, 0.5));
    ASSERT_TRUE(dump.WaitForLine("/data/quorvane", line, osctest::kArriveMs));
    EXPECT_NE(line.find("/data/quorvane fff 0.500000 1.500000 -2.250000"), std::string::npos)
        << line;
    ASSERT_TRUE(OscServerSendEvent("quorvane", "trial start", 0.75));
    ASSERT_TRUE(dump.WaitForLine("/event/quorvane", line, osctest::kArriveMs));
    EXPECT_NE(line.find("/event/quorvane sf \"trial start\" 0.750000"), std::string::npos) << line;

    ASSERT_TRUE(OscSend(inPort, "/AnalogServer/disconnect"));
    ASSERT_TRUE(OscServerPoll());
    ASSERT_TRUE(dump.WaitForLine("/AnalogServer", line, osctest::kArriveMs));
    EXPECT_NE(line.find("/AnalogServer s \"removed\""), std::string::npos) << line;
    EXPECT_TRUE(CloseOscServer());
    OscServerSetSettings(OscServerSettings());
}
