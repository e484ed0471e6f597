// A lab's load on the VRPN server: 8 trackers of 8 sensors at 100 Hz and 2 analog devices
// of 16 channels at 1 kHz, each on its own thread, read by 3 clients on loopback, for
// --seconds (default 120), optionally beside --busy N spinning threads. Prints, per run,
// the frames each client missed or got twice, report times that went back, the server's
// loss counters, and the cost of a device's set-and-pass against copying its frame.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "network/vrpnLink.h"
#include "network/vrpnServerModule.h"
#include "network/vrpnWire.h"

namespace {

constexpr int kTrackers = 8;
constexpr int kSensorsPerTracker = 8;
constexpr int kSensors = kTrackers * kSensorsPerTracker;
constexpr int kAnalogs = 2;
constexpr int kChannelsPerAnalog = 16;
constexpr int kClients = 3;
constexpr double kStep = 100000.0;  // value = frame * kStep + index

using Clock = std::chrono::steady_clock;

// One client: reads the stream on its own thread and checks each sensor's frames.
class CLabReader {
public:
    explicit CLabReader(int port) : m_lastFrame(kSensors, 0)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int size = 1 << 22;
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        target.sin_port = htons(static_cast<uint16_t>(port));
        uint8_t cookie[vrpn::kCookieSize];
        vrpn::MakeCookie(cookie);
        m_isOpen = ::connect(m_fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0 &&
                   ::send(m_fd, cookie, sizeof cookie, MSG_NOSIGNAL) ==
                       static_cast<ssize_t>(sizeof cookie);
        m_thread = std::thread([this] { Run(); });
    }
    ~CLabReader()
    {
        m_stop.store(true);
        m_thread.join();
        ::close(m_fd);
    }
    bool IsOpen() const { return m_isOpen; }
    uint64_t Poses() const { return m_poses.load(); }
    uint64_t Missing() const { return m_missing.load(); }
    uint64_t Repeated() const { return m_repeated.load(); }
    uint64_t TimesBack() const { return m_timesBack.load(); }

private:
    void Run()
    {
        std::vector<uint8_t> in(1 << 22);
        size_t size = 0;
        bool hasCookie = false;
        while (!m_stop.load()) {
            pollfd poller{m_fd, POLLIN, 0};
            if (::poll(&poller, 1, 20) <= 0) continue;
            const ssize_t got = ::recv(m_fd, in.data() + size, in.size() - size, 0);
            if (got <= 0) return;
            size += static_cast<size_t>(got);
            size_t start = 0;
            if (!hasCookie) {
                if (size < vrpn::kCookieSize) continue;
                hasCookie = true;
                start = vrpn::kCookieSize;
            }
            for (;;) {
                vrpn::Message message;
                size_t consumed = 0;
                if (vrpn::ParseMessage(in.data() + start, size - start, message, consumed) !=
                    vrpn::ParseResult::kComplete)
                    break;
                start += consumed;
                Take(message);
            }
            std::memmove(in.data(), in.data() + start, size - start);
            size -= start;
        }
    }
    void Take(const vrpn::Message& message)
    {
        if (message.type == vrpn::kTypeDescription) {
            std::string_view name;
            if (!vrpn::DecodeDescription(message, name)) return;
            if (name == vrpn::kPosQuat) m_posQuatType = message.sender;
            if (message.sender >= 0 && message.sender < 8)
                m_isReportType[message.sender] =
                    name == vrpn::kPosQuat || name == vrpn::kVelocity ||
                    name == vrpn::kAcceleration || name == vrpn::kAnalogChannel;
            return;
        }
        // Report times only: pongs and button states carry the time they were sent.
        if (message.type < 0 || message.type > 7 || !m_isReportType[message.type]) return;
        const bool isBack =
            message.time.sec < m_lastTime.sec ||
            (message.time.sec == m_lastTime.sec && message.time.usec < m_lastTime.usec);
        if (isBack) m_timesBack.fetch_add(1);
        m_lastTime = message.time;
        if (message.type != m_posQuatType) return;
        int32_t sensor = 0;
        double pos[3];
        double quat[4];
        if (!vrpn::DecodePosQuat(message, sensor, pos, quat) || sensor >= kSensors) return;
        const int frame = static_cast<int>(pos[0] / kStep);
        if (frame == 0) return;  // the values before the first frame
        int& last = m_lastFrame[static_cast<size_t>(sensor)];
        if (frame <= last)
            m_repeated.fetch_add(1);
        else if (last > 0)
            m_missing.fetch_add(static_cast<uint64_t>(frame - last - 1));
        last = std::max(last, frame);
        m_poses.fetch_add(1);
    }

    int m_fd = -1;
    bool m_isOpen = false;
    int32_t m_posQuatType = -100;
    bool m_isReportType[8] = {};  // our server describes its few types from 0
    vrpn::Time m_lastTime;
    std::vector<int> m_lastFrame;
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_poses{0};
    std::atomic<uint64_t> m_missing{0};
    std::atomic<uint64_t> m_repeated{0};
    std::atomic<uint64_t> m_timesBack{0};
    std::thread m_thread;
};

// One device: its frames at its rate, each set then a pass, as an acquisition thread does.
// The time of each set-and-pass and of copying the same frame go to the two totals.
void RunDevice(bool isTracker, int device, int first, int width, double rateHz, double seconds,
               std::atomic<uint64_t>& passNs, std::atomic<uint64_t>& copyNs,
               std::atomic<uint64_t>& frames)
{
    const int valueCount = isTracker ? 7 * width : width;
    std::vector<double> values(static_cast<size_t>(valueCount));
    std::vector<double> copy(values.size());
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rateHz));
    const int count = static_cast<int>(seconds * rateHz);
    auto next = Clock::now();
    for (int frame = 1; frame <= count; ++frame) {
        for (int i = 0; i < valueCount; ++i) {
            const int index = isTracker ? 7 * first + i : first + i;
            values[static_cast<size_t>(i)] = frame * kStep + index;
        }
        const auto start = Clock::now();
        if (isTracker)
            VrpnServerSetTracker(device, values.data(), width);
        else
            VrpnServerSetAnalog(device, values.data(), width);
        VrpnServerMainloop();
        const auto passed = Clock::now();
        std::memcpy(copy.data(), values.data(), values.size() * sizeof(double));
        const auto copied = Clock::now();
        passNs.fetch_add(static_cast<uint64_t>((passed - start).count()));
        copyNs.fetch_add(static_cast<uint64_t>((copied - passed).count()));
        frames.fetch_add(1);
        next += period;
        std::this_thread::sleep_until(next);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 120.0;
    int busyThreads = 0;
    for (int i = 1; i < argc; ++i) {
        if (i + 1 < argc && std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::atof(argv[++i]);
        } else if (i + 1 < argc && std::strcmp(argv[i], "--busy") == 0) {
            busyThreads = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--seconds N] [--busy THREADS]\n", argv[0]);
            return 2;
        }
    }
    if (!(seconds > 0.0) || busyThreads < 0) {
        std::fprintf(stderr, "%s: --seconds needs a positive number\n", argv[0]);
        return 2;
    }
    SetVrpnServerPort(0);
    SetVrpnServerAddress(INADDR_LOOPBACK);
    if (!StartVrpnServer("Lab")) return 1;
    for (int t = 0; t < kTrackers; ++t) VrpnServerAddDevice(0, 0, kSensorsPerTracker, nullptr);
    for (int a = 0; a < kAnalogs; ++a) VrpnServerAddDevice(0, kChannelsPerAnalog, 0, nullptr);
    const int port = GetVrpnServerBoundPort();
    std::vector<std::unique_ptr<CLabReader>> readers;
    for (int c = 0; c < kClients; ++c) readers.push_back(std::make_unique<CLabReader>(port));
    // Until every client is open, with its opening and current values.
    const auto openBy = Clock::now() + std::chrono::seconds(10);
    while (GetVrpnServerClientCount() < static_cast<size_t>(kClients) && Clock::now() < openBy) {
        VrpnServerMainloop();
        std::this_thread::yield();
    }
    std::atomic<bool> stopBusy{false};
    std::vector<std::thread> busy;
    for (int i = 0; i < busyThreads; ++i) {
        busy.emplace_back([&] {
            while (!stopBusy.load(std::memory_order_relaxed)) {
            }
        });
    }
    std::atomic<uint64_t> passNs{0};
    std::atomic<uint64_t> copyNs{0};
    std::atomic<uint64_t> frames{0};
    std::vector<std::thread> devices;
    for (int t = 0; t < kTrackers; ++t) {
        devices.emplace_back(RunDevice, true, t + 1, t * kSensorsPerTracker, kSensorsPerTracker,
                             100.0, seconds, std::ref(passNs), std::ref(copyNs), std::ref(frames));
    }
    for (int a = 0; a < kAnalogs; ++a) {
        devices.emplace_back(RunDevice, false, kTrackers + a + 1, a * kChannelsPerAnalog,
                             kChannelsPerAnalog, 1000.0, seconds, std::ref(passNs),
                             std::ref(copyNs), std::ref(frames));
    }
    for (std::thread& device : devices) device.join();
    stopBusy.store(true);
    for (std::thread& thread : busy) thread.join();
    // The last frames reach the clients.
    const uint64_t expectedPoses = static_cast<uint64_t>(seconds * 100.0) * kSensors;
    const auto drainBy = Clock::now() + std::chrono::seconds(10);
    for (bool isDone = false; !isDone && Clock::now() < drainBy;) {
        VrpnServerMainloop();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        isDone = true;
        for (const auto& reader : readers) isDone = isDone && reader->Poses() >= expectedPoses;
    }
    const CVrpnServerStats stats = GetVrpnServerStats();
    const double framesDone = static_cast<double>(std::max<uint64_t>(frames.load(), 1));
    std::printf(
        "bench=vrpn_lab seconds=%.0f busy=%d clients=%d frames=%llu "
        "ns_per_set_and_pass=%.0f ref=copy_frame ref_ns_per_frame=%.0f ratio=%.1f "
        "frames_lost=%llu frames_skipped=%llu",
        seconds, busyThreads, kClients, static_cast<unsigned long long>(frames.load()),
        static_cast<double>(passNs.load()) / framesDone,
        static_cast<double>(copyNs.load()) / framesDone,
        static_cast<double>(passNs.load()) /
            static_cast<double>(std::max<uint64_t>(copyNs.load(), 1)),
        static_cast<unsigned long long>(stats.framesLost),
        static_cast<unsigned long long>(stats.framesSkipped));
    for (int c = 0; c < kClients; ++c) {
        const CLabReader& reader = *readers[static_cast<size_t>(c)];
        std::printf(
            " client%d_poses=%llu client%d_missing=%llu client%d_repeated=%llu "
            "client%d_times_back=%llu",
            c, static_cast<unsigned long long>(reader.Poses()), c,
            static_cast<unsigned long long>(reader.Missing()), c,
            static_cast<unsigned long long>(reader.Repeated()), c,
            static_cast<unsigned long long>(reader.TimesBack()));
    }
    std::printf(" expected_poses=%llu\n", static_cast<unsigned long long>(expectedPoses));
    readers.clear();
    StopVrpnServer();
    return 0;
}
