// Reader costs: load time of a 0.5 MB and a 500 MB recording against one plain
// fread of the whole file, and GetFrame rates in memory and on-demand mode at
// 64 channels. The files are written by the benchmark itself.

#include <wx/init.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "analog/analogReader.h"
#include "analog/analogWriter.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRepetitions = 5;
constexpr int kChannels = 64;

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void WriteRecording(const std::string& path, int64_t frames)
{
    CAnalogWriter writer;
    if (!writer.OpenFile(path, kChannels, 1, 1000.0, false, "") ||
        !writer.WriteProperties(nullptr, 0))
        std::exit(1);
    std::vector<double> frame(kChannels);
    for (int64_t f = 0; f < frames; ++f) {
        for (int c = 0; c < kChannels; ++c) frame[size_t(c)] = double(f) * 0.001 + c;
        writer.WriteFrame(frame.data(), kChannels);
    }
    writer.Finish(nullptr);
    writer.Close();
}

double FreadMs(const std::string& path)
{
    const auto start = Clock::now();
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) std::exit(1);
    const uintmax_t size = std::filesystem::file_size(path);
    std::vector<char> all(size);
    if (std::fread(all.data(), 1, size, in) != size) std::exit(1);
    std::fclose(in);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void Measure(const std::string& path, int64_t frames)
{
    const double sizeMb = double(std::filesystem::file_size(path)) / 1e6;
    std::vector<double> loads;
    std::vector<double> freads;
    std::vector<double> rates;
    bool inMemory = false;
    for (int rep = 0; rep <= kRepetitions; ++rep) {  // the first is the warm-up
        const auto start = Clock::now();
        CAnalogReader reader;
        if (!reader.Open(path)) std::exit(1);
        const double loadMs =
            std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        inMemory = reader.IsInMemory();
        std::vector<double> frame(kChannels);
        const int64_t reads = std::min<int64_t>(frames, 200000);
        const auto playStart = Clock::now();
        for (int64_t f = 0; f < reads; ++f)
            if (!reader.GetFrame(frame.data(), kChannels, (f * 7919) % frames)) std::exit(1);
        const double seconds = std::chrono::duration<double>(Clock::now() - playStart).count();
        const double freadMs = FreadMs(path);
        if (rep == 0) continue;
        loads.push_back(loadMs);
        freads.push_back(freadMs);
        rates.push_back(double(reads) / seconds);
    }
    std::printf(
        "reader size_mb=%.1f load_ms=%.3f fread_ms=%.3f getframe_mode=%s frames_per_s=%.0f\n",
        sizeMb, Median(loads), Median(freads), inMemory ? "mem" : "disk", Median(rates));
}

}  // namespace

int main(int argc, char** argv)
{
    wxInitializer initializer(argc, argv);
    std::string pattern = (std::filesystem::temp_directory_path() / "qvbench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return 1;
    const std::string dir = pattern;
    const int64_t smallFrames = 1024;     // 64 x 1024 x 8 = 512 KiB: held in memory
    const int64_t largeFrames = 1000000;  // about 512 MB: read on demand
    WriteRecording(dir + "/small.qvd", smallFrames);
    Measure(dir + "/small.qvd", smallFrames);
    WriteRecording(dir + "/large.qvd", largeFrames);
    Measure(dir + "/large.qvd", largeFrames);
    std::error_code error;
    std::filesystem::remove_all(dir, error);
    return 0;
}
