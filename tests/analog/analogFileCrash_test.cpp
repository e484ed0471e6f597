#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "analog/analogFile.h"
#include "analog/analogReader.h"
#include "analog/recordBytes.h"
#include "support/tempDir.h"

// A recording whose process is killed keeps every frame its count announces,
// bit for bit, and stays readable: the count follows the frames to disk every
// two seconds, so no frame older than about three seconds is lost.

namespace {

constexpr int kChannels = 2;  // small frames: a full buffer alone would hold seconds of them
constexpr int kKillAfterFrames = 4000;

double FrameValue(int64_t frame, int channel)
{
    return double(frame) * 1.000000123 + channel / 8.0 - 1.0 / 3.0;
}

class ChildSource : public CRecordSource {
public:
    double GetRate() override { return 1000.0; }
    int32_t GetRecordedChannelCount() override { return kChannels; }
    int32_t GetChannelDim() override { return 1; }
    wxString GetDeviceName() override { return "child"; }
    wxString GetExportExtension() override { return ".txt"; }
    RecordHeaderInfo GetHeaderInfo() override
    {
        RecordHeaderInfo info;
        info.deviceKey = "child_device";
        for (int i = 0; i < kChannels; ++i)
            info.channelNames.push_back(wxString::Format("Channel #%d", i));
        return info;
    }
    RecordMarkers CopyMarkers() override { return RecordMarkers(); }
    bool IsRunning() override { return true; }
    void Stop() override {}
    void Start() override {}
    void StopCapture() override {}
};

struct Dispatched {
    int64_t frame;
    int64_t timeNs;  // steady clock, shared by parent and child
};

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Records at 1 kHz through a threaded writer until killed.
[[noreturn]] void RunChild(const std::string& folder, int reportFd)
{
    ChildSource source;
    CAnalogFile file;
    file.SetDevice(&source);
    if (!file.OpenWriter(folder, "crash", 1, false, "", true, 100, 1) || !file.StartRecording())
        ::_exit(2);
    auto next = std::chrono::steady_clock::now();
    for (int64_t frame = 0; frame < 30000; ++frame) {
        double values[kChannels];
        for (int c = 0; c < kChannels; ++c) values[c] = FrameValue(frame, c);
        file.RecordFrame(values, kChannels, int(frame), frame / 1000.0);
        const Dispatched report{frame, NowNs()};
        if (::write(reportFd, &report, sizeof report) != sizeof report) ::_exit(3);
        next += std::chrono::milliseconds(1);
        std::this_thread::sleep_until(next);  // the child's own 1 kHz pacing
    }
    ::_exit(4);  // the parent never let it get this far
}

class AnalogRecordingCrash : public TempDirTest {};

}  // namespace

TEST_F(AnalogRecordingCrash, KilledRecorderLeavesEveryFrameOlderThanThreeSeconds)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        RunChild(Dir().string(), fds[1]);
    }
    ::close(fds[1]);

    std::vector<Dispatched> reports;
    Dispatched report{};
    size_t got = 0;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (reports.size() < size_t(kKillAfterFrames) && std::chrono::steady_clock::now() < giveUp) {
        pollfd waitFor{fds[0], POLLIN, 0};
        if (::poll(&waitFor, 1, 1000) <= 0) continue;
        const ssize_t n =
            ::read(fds[0], reinterpret_cast<char*>(&report) + got, sizeof report - got);
        if (n <= 0) break;
        got += size_t(n);
        if (got == sizeof report) {
            reports.push_back(report);
            got = 0;
        }
    }
    const int64_t killNs = NowNs();
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself with " << WEXITSTATUS(status);
    ASSERT_GE(reports.size(), size_t(kKillAfterFrames));
    for (;;) {  // what the child reported before it died
        const ssize_t n =
            ::read(fds[0], reinterpret_cast<char*>(&report) + got, sizeof report - got);
        if (n <= 0) break;
        got += size_t(n);
        if (got == sizeof report) {
            reports.push_back(report);
            got = 0;
        }
    }
    ::close(fds[0]);

    int64_t oldFrames = 0;  // frames dispatched more than three seconds before the kill
    for (const Dispatched& r : reports)
        if (r.timeNs < killNs - 3000000000) oldFrames = r.frame + 1;

    const std::string path = Dir().string() + "/crashchild_0001.qvd";
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    ASSERT_GE(bytes.size(), 40u);
    CAnalogReader reader;
    ASSERT_TRUE(reader.Open(path));
    EXPECT_EQ(uint64_t(reader.GetFrameCount()), GetU64(bytes.data() + 24)) << "never finished";
    EXPECT_GE(reader.GetFrameCount(), oldFrames);
    EXPECT_LE(reader.GetFrameCount(), int64_t(reports.size()) + 1);
    const int64_t dataOffset = reader.GetDataOffset();
    for (int64_t f = 0; f < reader.GetFrameCount(); ++f) {
        double expected[kChannels];
        for (int c = 0; c < kChannels; ++c) expected[c] = FrameValue(f, c);
        ASSERT_EQ(
            std::memcmp(bytes.data() + dataOffset + f * kChannels * 8, expected, sizeof expected),
            0)
            << "frame " << f;
    }
}
