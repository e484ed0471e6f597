// OSC trigger input: what every acquisition pass pays for it (enabled flag,
// connected flag, poll) with 1 and 4 threads polling a started input that
// receives nothing, against reading the program clock once per pass. Each case
// warms up and reports the median of five repetitions.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "network/oscClientSettings.h"
#include "network/oscTrigger.h"
#include "osc_pkt/udp.h"
#include "process/clock.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRepetitions = 5;
constexpr long kPasses = 2000000;

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

// ns per pass of body, run by `threads` threads at once, kPasses passes each.
template <typename Body>
double NsPerPass(int threads, Body body)
{
    std::vector<double> samples;
    for (int repetition = 0; repetition <= kRepetitions; ++repetition) {
        std::atomic<bool> go{false};
        std::vector<std::thread> workers;
        std::vector<double> perThread(static_cast<size_t>(threads));
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                while (!go.load()) {
                }
                const auto start = Clock::now();
                for (long i = 0; i < kPasses; ++i) body();
                perThread[static_cast<size_t>(t)] =
                    std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                    kPasses;
            });
        }
        go = true;
        for (auto& worker : workers) worker.join();
        if (repetition > 0) samples.push_back(Median(perThread));  // the first one warms up
    }
    return Median(samples);
}

}  // namespace

int main()
{
    UdpEndpoint source;
    UdpEndpoint probe;
    if (!source.BindTo(0) || !probe.BindTo(0)) {
        std::fprintf(stderr, "bench_osc_trigger: no loopback port\n");
        return 1;
    }
    OscTriggerSettings settings;
    settings.use = true;
    settings.outPort = source.LocalAddress().Port();
    settings.inPort = probe.LocalAddress().Port();
    probe.Close();
    SetOscTriggerSettings(settings);
    OscClientSettings client;
    client.maxTimeoutMs = 0;
    SetOscClientSettings(client);
    if (!StartOscTrigger()) {
        std::fprintf(stderr, "bench_osc_trigger: the trigger input did not start\n");
        return 1;
    }
    volatile double sink = 0.0;
    for (int threads : {1, 4}) {
        const double pass = NsPerPass(threads, [] {
            if (IsOscTriggerEnabled() && IsOscTriggerConnected()) PollOscTrigger();
        });
        const double ref = NsPerPass(threads, [&] { sink = GetProgramTime(); });
        std::printf(
            "bench=osc_trigger_pass threads=%d passes=%ld ns_per_pass=%.1f "
            "ref=program_clock ref_ns_per_pass=%.1f ratio=%.2f build=%s\n",
            threads, kPasses, pass, ref, ref > 0.0 ? pass / ref : 0.0, kBuild);
    }
    StopOscTrigger();
    return 0;
}
