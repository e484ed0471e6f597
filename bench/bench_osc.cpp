// OSC benchmarks: codec cost per 32-float message; OscServerSetData throughput
// and latency against a raw sendto loop of the same datagrams; and delivery of
// 8 devices x 1 kHz to 4 loopback clients. Each case warms up and reports the
// median of five repetitions.

#include "benchOsc.h"
#include "network/oscServer.h"
#include "osc_pkt/oscpkt.h"
#include "osc_pkt/udp.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kValues = 32;
constexpr int kRepetitions = 5;
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

#ifdef NDEBUG
constexpr const char* kBuild = "Release";
#else
constexpr const char* kBuild = "Debug";
#endif

double Median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

double NsSince(Clock::time_point start, long count)
{
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
           static_cast<double>(count);
}

void FillMessage(OscMessage& message, const double* values)
{
    message.Init("/data/bench_device").PushFloat(1.25f);
    for (int i = 0; i < kValues; ++i) message.PushFloat(static_cast<float>(values[i]));
}

void BenchCodec()
{
    double values[kValues];
    for (int i = 0; i < kValues; ++i) values[i] = i * 0.5;
    OscMessage message;
    OscPacketBuilder builder;
    OscPacketParser parser;
    constexpr long kCount = 200000;
    std::vector<double> encodeNs, parseNs, copyNs;
    std::vector<std::uint8_t> copy(1024);
    volatile std::size_t sink = 0;
    for (int rep = 0; rep <= kRepetitions; ++rep) {  // repetition 0 warms up
        auto start = Clock::now();
        for (long i = 0; i < kCount; ++i) {
            FillMessage(message, values);
            builder.Init().AddMessage(message);
            sink = sink + builder.PacketSize();
        }
        const double encode = NsSince(start, kCount);
        start = Clock::now();
        for (long i = 0; i < kCount; ++i) {
            parser.Init(builder.PacketData(), builder.PacketSize());
            sink = sink + parser.PopMessage()->ArgCount();
        }
        const double parse = NsSince(start, kCount);
        start = Clock::now();
        for (long i = 0; i < kCount; ++i) {
            std::memcpy(copy.data(), builder.PacketData(), builder.PacketSize());
            sink = sink + copy[i % 16];
        }
        const double memcpyNs = NsSince(start, kCount);
        if (rep == 0) continue;
        encodeNs.push_back(encode);
        parseNs.push_back(parse);
        copyNs.push_back(memcpyNs);
    }
    std::printf(
        "bench=osc_codec values=%d bytes=%zu encode_ns_per_msg=%.1f parse_ns_per_msg=%.1f "
        "ref=memcpy_packet ref_ns_per_msg=%.1f build=%s\n",
        kValues, builder.PacketSize(), Median(encodeNs), Median(parseNs), Median(copyNs), kBuild);
}

// Loopback receivers, each draining its socket on its own thread.
class Receivers {
public:
    explicit Receivers(int count) : m_counts(static_cast<std::size_t>(count))
    {
        for (int i = 0; i < count; ++i) {
            auto endpoint = std::make_unique<UdpEndpoint>();
            if (!endpoint->BindTo(0))
                std::fprintf(stderr, "bind: %s\n", endpoint->ErrorText().c_str());
            endpoint->SetReceiveBufferSize(kReceiveBufferBytes);
            m_endpoints.push_back(std::move(endpoint));
        }
        for (int i = 0; i < count; ++i) m_threads.emplace_back([this, i]() noexcept { Run(i); });
    }
    ~Receivers() { Stop(); }
    int Port(int i) const
    {
        return m_endpoints[static_cast<std::size_t>(i)]->LocalAddress().Port();
    }
    // Stops once every socket has been quiet for a moment, so nothing in flight is lost.
    void Stop()
    {
        m_stop = true;
        for (std::thread& thread : m_threads)
            if (thread.joinable()) thread.join();
    }
    long Total() const
    {
        long total = 0;
        for (const auto& count : m_counts) total += count.load();
        return total;
    }
    void ResetCounts()
    {
        for (auto& count : m_counts) count = 0;
    }

private:
    void Run(int i) noexcept
    {
        UdpEndpoint& endpoint = *m_endpoints[static_cast<std::size_t>(i)];
        for (;;) {
            if (endpoint.ReceiveNextPacket(200)) {
                // Only data counts; welcomes and goodbyes do not.
                if (endpoint.PacketSize() > 5 &&
                    std::memcmp(endpoint.PacketData(), "/data", 5) == 0)
                    m_counts[static_cast<std::size_t>(i)].fetch_add(1, std::memory_order_relaxed);
            } else if (m_stop) {
                return;
            }
        }
    }
    std::vector<std::unique_ptr<UdpEndpoint>> m_endpoints;
    std::vector<std::atomic<long>> m_counts;
    std::vector<std::thread> m_threads;
    std::atomic<bool> m_stop{false};
};

// The GUI thread's idle polling, on its own thread while a case runs.
class Poller {
public:
    Poller()
        : m_thread([this]() noexcept {
              while (!m_stop) OscServerPoll();
          })
    {
    }
    ~Poller()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

bool StartServerWith(const Receivers& receivers, int clients)
{
    std::vector<int> ports;
    for (int i = 0; i < clients; ++i) ports.push_back(receivers.Port(i));
    return StartOscServerForClients(ports);
}

// The same datagrams with plain sendto on one socket: the limit for the server.
double RawSendtoRate(const Receivers& receivers, int clients, long count)
{
    double values[kValues] = {};
    OscMessage message;
    FillMessage(message, values);
    OscPacketBuilder builder;
    builder.AddMessage(message);
    UdpEndpoint socket;
    socket.BindTo(0);
    std::vector<NetAddress> targets(static_cast<std::size_t>(clients));
    std::string error;
    for (int i = 0; i < clients; ++i)
        NetAddress::Resolve("127.0.0.1", receivers.Port(i), targets[static_cast<std::size_t>(i)],
                            error);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const auto start = Clock::now();
    for (long n = 0; n < count; ++n)
        for (const NetAddress& target : targets)
            ::sendto(fd, builder.PacketData(), builder.PacketSize(), MSG_DONTWAIT, target.Raw(),
                     target.Length());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    return static_cast<double>(count) / seconds;
}

void BenchThroughput(int clients)
{
    Receivers receivers(clients);
    if (!StartServerWith(receivers, clients)) {
        std::printf("osc clients=%d error=server_not_started\n", clients);
        return;
    }
    constexpr long kCount = 20000;
    double values[kValues];
    for (int i = 0; i < kValues; ++i) values[i] = i;
    std::vector<double> rates, p99s, rawRates;
    std::vector<float> latencies(static_cast<std::size_t>(kCount));
    {
        Poller poller;
        for (int rep = 0; rep <= kRepetitions; ++rep) {
            const auto start = Clock::now();
            for (long n = 0; n < kCount; ++n) {
                const auto before = Clock::now();
                values[0] = static_cast<double>(n);
                OscServerSetData("bench_device", values, kValues, n * 0.001);
                latencies[static_cast<std::size_t>(n)] =
                    std::chrono::duration<float, std::micro>(Clock::now() - before).count();
            }
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            const double raw = RawSendtoRate(receivers, clients, kCount);
            if (rep == 0) continue;
            std::sort(latencies.begin(), latencies.end());
            rates.push_back(static_cast<double>(kCount) / seconds);
            p99s.push_back(latencies[static_cast<std::size_t>(kCount * 99 / 100)]);
            rawRates.push_back(raw);
        }
    }
    const double rate = Median(rates);
    const double raw = Median(rawRates);
    std::printf(
        "osc clients=%d msgs_per_s=%.0f p99_us=%.2f raw_sendto_msgs_per_s=%.0f ratio=%.2f "
        "build=%s\n",
        clients, rate, Median(p99s), raw, rate / raw, kBuild);
    CloseOscServer();
    OscServerClearClients();
}

void BenchDelivery()
{
    constexpr int kDevices = 8;
    constexpr int kClients = 4;
    constexpr int kRateHz = 1000;
    constexpr int kSeconds = 5;
    constexpr int kChannels = 8;
    Receivers receivers(kClients);
    if (!StartServerWith(receivers, kClients)) {
        std::printf("osc delivered=0 expected=%d error=server_not_started\n",
                    kDevices * kRateHz * kSeconds * kClients);
        return;
    }
    std::atomic<long> accepted{0};
    {
        Poller poller;
        std::vector<std::thread> devices;
        for (int d = 0; d < kDevices; ++d) {
            devices.emplace_back([d, &accepted]() noexcept {
                const std::string name = "device" + std::to_string(d);
                double values[kChannels] = {};
                const auto period = std::chrono::microseconds(1000000 / kRateHz);
                auto next = Clock::now();
                for (int frame = 0; frame < kRateHz * kSeconds; ++frame) {
                    next += period;  // absolute deadlines: no drift
                    std::this_thread::sleep_until(next);
                    values[0] = frame;
                    if (OscServerSetData(name.c_str(), values, kChannels,
                                         static_cast<double>(frame) / kRateHz))
                        accepted.fetch_add(1, std::memory_order_relaxed);
                }
            });
        }
        for (std::thread& device : devices) device.join();
    }
    receivers.Stop();
    const OscServerStats stats = OscServerGetStats();
    std::printf(
        "osc delivered=%ld expected=%d accepted_frames=%ld send_failures=%llu "
        "would_block=%llu build=%s\n",
        receivers.Total(), kDevices * kRateHz * kSeconds * kClients, accepted.load(),
        static_cast<unsigned long long>(stats.sendFailures),
        static_cast<unsigned long long>(stats.wouldBlock), kBuild);
    CloseOscServer();
    OscServerClearClients();
}

void QuietConsole(bool, const std::string&) {}

}  // namespace

int main()
{
    SetOscConsoleSink(&QuietConsole);
    BenchCodec();
    BenchThroughput(1);
    BenchThroughput(4);
    BenchDelivery();
    return 0;
}
