// Recording costs: per-frame cost in the recording thread for the plain and the
// threaded writer, writer throughput against a plain fwrite loop of the same
// bytes to the same disk, and eight 1 kHz devices recording for ten seconds
// through threaded writers. Each case prints one key=value line.

#include <wx/init.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "analog/analogFile.h"
#include "analog/analogThreadWriter.h"
#include "analog/analogWriter.h"
#include "benchCommon.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRepetitions = 5;

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::unique_ptr<CAnalogWriter> MakeWriter(bool threaded, uint64_t capacity)
{
    if (threaded) return std::make_unique<CAnalogThreadWriter>(50, capacity);
    return std::make_unique<CAnalogWriter>();
}

// p50 and p99 of one WriteFrame call, median over the repetitions.
// Writes count frames, the first value numbering them; each write's cost in ns.
std::vector<double> TimedWrites(CAnalogWriter& writer, std::vector<double>& frame, int count)
{
    std::vector<double> costs(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        frame[0] = i;
        const auto before = Clock::now();
        writer.WriteFrame(frame.data(), frame.size());
        costs[size_t(i)] = std::chrono::duration<double, std::nano>(Clock::now() - before).count();
    }
    return costs;
}

void FrameCost(const std::string& dir, bool threaded, int channels)
{
    constexpr int kFrames = 20000;
    std::vector<double> p50s;
    std::vector<double> p99s;
    std::vector<double> frame(static_cast<size_t>(channels), 0.5);
    for (int rep = 0; rep <= kRepetitions; ++rep) {       // the first is the warm-up
        auto writer = MakeWriter(threaded, kFrames + 1);  // room for every frame: none dropped
        const std::string path = dir + "/cost.qvd";
        if (!writer->OpenFile(path, channels, 1, 1000.0, false, "") ||
            !writer->WriteProperties(nullptr, 0) || !writer->Start()) {
            std::fprintf(stderr, "cannot open %s\n", path.c_str());
            std::exit(1);
        }
        std::vector<double> costs(kFrames);
        for (int i = 0; i < kFrames; ++i) {
            frame[0] = i;
            const auto start = Clock::now();
            writer->WriteFrame(frame.data(), uint64_t(channels));
            costs[size_t(i)] =
                std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        }
        writer->Finish(nullptr);
        writer->Close();
        if (rep == 0) continue;
        p50s.push_back(Percentile(costs, 0.50));
        p99s.push_back(Percentile(costs, 0.99));
    }
    std::printf("recording writer=%s channels=%d p50_ns=%.0f p99_ns=%.0f\n",
                threaded ? "thread" : "plain", channels, Median(p50s), Median(p99s));
}

// The writer's disk path (buffer, write, count, trailer) against fwrite of the same bytes.
void Throughput(const std::string& dir)
{
    constexpr int kChannels = 64;
    constexpr int kFrames = 200000;  // about 100 MB
    const double megabytes = double(kFrames) * kChannels * 8 / 1e6;
    std::vector<double> frame(kChannels, 1.25);
    std::vector<double> writerSeconds;
    std::vector<double> fwriteSeconds;
    for (int rep = 0; rep <= kRepetitions; ++rep) {
        const std::string path = dir + "/throughput.qvd";
        const auto start = Clock::now();
        {
            CAnalogWriter writer;
            writer.OpenFile(path, kChannels, 1, 1000.0, false, "");
            writer.WriteProperties(nullptr, 0);
            for (int i = 0; i < kFrames; ++i) writer.WriteFrame(frame.data(), kChannels);
            writer.Finish(nullptr);
            writer.Close();
        }
        const double writerTime = std::chrono::duration<double>(Clock::now() - start).count();
        std::filesystem::remove(path);

        const std::string refPath = dir + "/fwrite.bin";
        const auto refStart = Clock::now();
        std::FILE* out = std::fopen(refPath.c_str(), "wb");
        if (!out) std::exit(1);
        for (int i = 0; i < kFrames; ++i) std::fwrite(frame.data(), sizeof(double), kChannels, out);
        std::fclose(out);
        const double fwriteTime = std::chrono::duration<double>(Clock::now() - refStart).count();
        std::filesystem::remove(refPath);
        if (rep == 0) continue;
        writerSeconds.push_back(writerTime);
        fwriteSeconds.push_back(fwriteTime);
    }
    const double writerTime = Median(writerSeconds);
    std::printf(
        "recording throughput_mb_s=%.1f fwrite_mb_s=%.1f frames_per_s=%.0f channels=%d "
        "writer=plain\n",
        megabytes / writerTime, megabytes / Median(fwriteSeconds), kFrames / writerTime, kChannels);
}

// The interval flush of a threaded writer at a high rate: from the first frame to
// the recording saved (on disk), and the enqueue cost in the recording thread,
// with a flush to disk every two seconds of recording against one at the finish
// only, in the same run. Ten intervals of 32 channels at 10 kHz, 51 MB.
void SyncCost(const std::string& dir)
{
    constexpr int kChannels = 32;
    constexpr double kRate = 10000.0;
    constexpr int kFrames = 200000;
    constexpr int kIntervals = 10;  // kFrames / (kRate x 2 s)
    const double megabytes = double(kFrames) * kChannels * 8 / 1e6;
    std::vector<double> frame(kChannels, 0.75);
    std::vector<double> seconds[2];
    std::vector<double> p99s[2];
    std::vector<double> drops[2];
    for (int rep = 0; rep <= kRepetitions; ++rep) {
        for (int mode = 0; mode < 2; ++mode) {  // 0: every two seconds, 1: the reference
            const std::string path = dir + "/sync.qvd";
            CAnalogThreadWriter writer(50, kFrames + 1);
            writer.SetSyncInterval(std::chrono::milliseconds(mode == 0 ? 2000 : 0));
            if (!writer.OpenFile(path, kChannels, 1, kRate, false, "") ||
                !writer.WriteProperties(nullptr, 0) || !writer.Start())
                std::exit(1);
            const auto start = Clock::now();
            std::vector<double> costs = TimedWrites(writer, frame, kFrames);
            writer.Finish(nullptr);  // on disk from here
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            writer.Close();
            std::filesystem::remove(path);
            if (rep == 0) continue;
            seconds[mode].push_back(elapsed);
            p99s[mode].push_back(Percentile(costs, 0.99));
            drops[mode].push_back(double(writer.GetDroppedFrames()));
        }
    }
    const double withSync = Median(seconds[0]);
    const double reference = Median(seconds[1]);
    std::printf(
        "recording bench=interval_flush channels=%d rate_hz=%.0f frames=%d flushes=%d "
        "saved_mb_s=%.1f p99_enqueue_ns=%.0f dropped=%.0f ref=flush_at_finish_only "
        "ref_saved_mb_s=%.1f ref_p99_enqueue_ns=%.0f ref_dropped=%.0f ratio=%.3f "
        "ms_per_flush=%.2f\n",
        kChannels, kRate, kFrames, kIntervals, megabytes / withSync, Median(p99s[0]),
        Median(drops[0]), megabytes / reference, Median(p99s[1]), Median(drops[1]),
        withSync / reference, 1000.0 * (withSync - reference) / kIntervals);
}

// The plain writer's hot path with its flushes to disk every two seconds of
// recording (waited on by its sync thread) against the same writer flushing to
// disk at the finish only, and the threaded writer's enqueue, in the same run:
// per-frame cost in the recording thread (p99 and worst) and the time to saved.
void PlainSyncCost(const std::string& dir)
{
    constexpr int kChannels = 32;
    constexpr double kRate = 10000.0;
    constexpr int kFrames = 200000;
    constexpr int kIntervals = 10;
    const double megabytes = double(kFrames) * kChannels * 8 / 1e6;
    std::vector<double> frame(kChannels, 0.25);
    constexpr int kModes = 3;  // 0: plain with syncs, 1: plain at the finish only, 2: threaded
    std::vector<double> seconds[kModes];
    std::vector<double> p99s[kModes];
    std::vector<double> worsts[kModes];
    std::vector<double> p999s[kModes];
    for (int rep = 0; rep <= kRepetitions; ++rep) {
        for (int mode = 0; mode < kModes; ++mode) {
            const std::string path = dir + "/plainsync.qvd";
            auto writer = MakeWriter(mode == 2, kFrames + 1);
            writer->SetSyncInterval(std::chrono::milliseconds(mode == 1 ? 0 : 2000));
            if (!writer->OpenFile(path, kChannels, 1, kRate, false, "") ||
                !writer->WriteProperties(nullptr, 0) || !writer->Start())
                std::exit(1);
            const auto start = Clock::now();
            std::vector<double> costs = TimedWrites(*writer, frame, kFrames);
            writer->Finish(nullptr);  // on disk from here
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            writer->Close();
            std::filesystem::remove(path);
            if (rep == 0) continue;
            seconds[mode].push_back(elapsed);
            p99s[mode].push_back(Percentile(costs, 0.99));
            worsts[mode].push_back(*std::max_element(costs.begin(), costs.end()) / 1000.0);
            p999s[mode].push_back(Percentile(costs, 0.999) / 1000.0);
        }
    }
    std::printf(
        "recording bench=plain_interval_flush channels=%d rate_hz=%.0f frames=%d flushes=%d "
        "p99_ns=%.0f p999_us=%.1f worst_us=%.1f saved_mb_s=%.1f ref=plain_flush_at_finish_only "
        "ref_p99_ns=%.0f ref_p999_us=%.1f ref_worst_us=%.1f ref_saved_mb_s=%.1f "
        "thread_p99_enqueue_ns=%.0f thread_p999_us=%.1f thread_worst_us=%.1f "
        "thread_saved_mb_s=%.1f ratio_p99=%.3f\n",
        kChannels, kRate, kFrames, kIntervals, Median(p99s[0]), Median(p999s[0]),
        Median(worsts[0]), megabytes / Median(seconds[0]), Median(p99s[1]), Median(p999s[1]),
        Median(worsts[1]), megabytes / Median(seconds[1]), Median(p99s[2]), Median(p999s[2]),
        Median(worsts[2]), megabytes / Median(seconds[2]), Median(p99s[0]) / Median(p99s[1]));
}

class BenchSource : public CRecordSource {
public:
    explicit BenchSource(int index) : m_name(wxString::Format("dev%d", index)) {}
    double GetRate() override { return 1000.0; }
    int32_t GetRecordedChannelCount() override { return 8; }
    int32_t GetChannelDim() override { return 1; }
    wxString GetDeviceName() override { return m_name; }
    wxString GetExportExtension() override { return ".txt"; }
    RecordHeaderInfo GetHeaderInfo() override
    {
        RecordHeaderInfo info;
        info.deviceKey = "test_device";
        return info;
    }
    RecordMarkers CopyMarkers() override { return RecordMarkers(); }
    bool IsRunning() override { return true; }
    void Stop() override {}
    void Start() override {}
    void StopCapture() override {}

private:
    wxString m_name;
};

// Eight devices at 1 kHz, each on its own paced thread, for ten seconds.
void EightDevices(const std::string& dir)
{
    constexpr int kDevices = 8;
    constexpr int kSeconds = 10;
    std::vector<std::unique_ptr<BenchSource>> sources;
    std::vector<std::unique_ptr<CAnalogFile>> files;
    for (int d = 0; d < kDevices; ++d) {
        sources.push_back(std::make_unique<BenchSource>(d));
        files.push_back(std::make_unique<CAnalogFile>());
        files.back()->SetDevice(sources.back().get());
        if (!files.back()->OpenWriter(dir, "bench", 1, true, dir, true, 100, 1) ||
            !files.back()->StartRecording())
            std::exit(1);
    }
    std::vector<std::thread> threads;
    for (int d = 0; d < kDevices; ++d)
        threads.emplace_back([&files, d] {
            double values[8];
            auto next = Clock::now();
            for (int frame = 0; frame < kSeconds * 1000; ++frame) {
                for (int c = 0; c < 8; ++c) values[c] = frame + c;
                files[size_t(d)]->RecordFrame(values, 8, frame, frame / 1000.0);
                next += std::chrono::milliseconds(1);
                std::this_thread::sleep_until(next);
            }
        });
    for (std::thread& thread : threads) thread.join();
    int64_t written = 0;
    for (auto& file : files) {
        file->FinishRecording();
        written += file->GetFramesWritten();
        file->StopRecording();
    }
    const int64_t dropped = int64_t(kDevices) * kSeconds * 1000 - written;
    std::printf("recording devices=%d rate=1000 dropped=%lld\n", kDevices,
                static_cast<long long>(dropped));
}

}  // namespace

int main(int argc, char** argv)
{
    wxInitializer initializer(argc, argv);
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::string pattern = (base / "qvbench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return 1;
    const std::string dir = pattern;
    for (bool threaded : {false, true})
        for (int channels : {8, 64}) FrameCost(dir, threaded, channels);
    Throughput(dir);
    SyncCost(dir);
    PlainSyncCost(dir);
    EightDevices(dir);
    std::error_code error;
    std::filesystem::remove_all(dir, error);
    return 0;
}
