#include "analog/analogFile.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "analog/analogReader.h"
#include "analog/formatTime.h"
#include "analog/recordBytes.h"
#include "analog/recordFormat.h"
#include "analog/testDevice.h"
#include "captureFiles.h"
#include "process/countingOwner.h"
#include "process/deviceOwner.h"
#include "support/allocCounter.h"
#include "support/logCapture.h"
#include "support/refusingDisk.h"
#include "support/simSeeds.h"
#include "support/syncLog.h"
#include "support/tempDir.h"

namespace {

// A device seam with three channels of which the test chooses the enabled ones.
class FakeSource : public CRecordSource {
public:
    double rate = 10.0;
    std::vector<wxString> names = {"Channel #0", "Channel #1", "Channel #2"};
    std::vector<uint8_t> flags = {1, 1, 1};
    int32_t dim = 1;
    bool running = true;
    int stops = 0;
    int starts = 0;
    std::atomic<int> stopCaptures{0};
    RecordMarkers markers;

    double GetRate() override { return rate; }
    int32_t GetRecordedChannelCount() override
    {
        int32_t count = 0;
        for (uint8_t flag : flags) count += flag ? 1 : 0;
        return count;
    }
    int32_t GetChannelDim() override { return dim; }
    wxString GetDeviceName() override { return "fake"; }
    wxString GetExportExtension() override { return ""; }
    RecordHeaderInfo GetHeaderInfo() override
    {
        RecordHeaderInfo info;
        info.deviceKey = "fake_device";
        info.channelNames = SelectRecordedNames(names, flags.data(), int32_t(names.size()));
        info.deviceType = 1;
        return info;
    }
    RecordMarkers CopyMarkers() override { return markers; }
    bool IsRunning() override { return running; }
    void Stop() override
    {
        running = false;
        ++stops;
    }
    void Start() override
    {
        running = true;
        ++starts;
    }
    void StopCapture() override { ++stopCaptures; }
};

// A test device stepped by hand, as its acquisition thread would on each tick.
class SteppedDevice : public CTestDevice {
public:
    SteppedDevice() : CTestDevice(false, false) {}
    void Step()
    {
        Generate();
        DispatchFrame();
        CountSample();
    }
    const double* Row() const { return m_values.get(); }
};

class AnalogFileTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        m_file.SetDevice(&m_device);
    }
    std::string Folder() const { return Dir().string(); }

    // Opens a writer of either kind for a run with the given limit, raising its
    // stop request on owner, and starts it; the path of its recording.
    wxString StartRun(CountingOwner& owner, bool useThread, double limitSec)
    {
        m_file.SetOwner(&owner);
        m_file.SetDuration(limitSec);
        m_device.stopCaptures = 0;
        if (!m_file.OpenWriter(Folder(), useThread ? "t" : "p", 1, false, "", useThread, 100, 1))
            return wxString();
        const wxString path = m_file.GetFileName();
        return m_file.StartRecording() ? path : wxString();
    }

    // The capture start on a test device: a writer of either kind, the limit,
    // the reset and the start; the path of its recording, empty on a failure.
    wxString StartDeviceRun(CAnalogDevice& device, CountingOwner& owner, bool useThread,
                            double limitSec, int queueDepth)
    {
        auto* controller = dynamic_cast<CAnalogFile*>(device.GetRecorder());
        if (!controller) return wxString();
        controller->SetOwner(&owner);
        if (!device.SetupWriter(Folder(), useThread ? "t" : "p", 1, false, "", useThread,
                                queueDepth, 1))
            return wxString();
        const wxString path = device.GetWriterFileName();
        device.SetRecordDuration(limitSec);
        device.Reset();
        return device.StartRecording() ? path : wxString();
    }

    FakeSource m_device;
    CAnalogFile m_file;
};

class AnalogFileThreads : public AnalogFileTest {};

}  // namespace

TEST_F(AnalogFileTest, RecordsTheEnabledChannelsAndNamesThemInFrameOrder)
{
    m_device.flags = {1, 0, 1};
    m_device.markers.codes = {1};
    m_device.markers.frames = {2};
    m_device.markers.labels = {"E 1"};
    ASSERT_TRUE(m_file.OpenWriter(Folder(), "subject", 7, true, Folder(), false, 100, 1));
    const std::string path = Folder() + "/subjectfake_0007.qvd";
    EXPECT_EQ(m_file.GetFileName(), wxString(path));
    EXPECT_EQ(m_file.GetTextFileName(), wxString(Folder() + "/subjectfake_0007.txt"));
    ASSERT_TRUE(m_file.StartRecording());
    const double frames[3][2] = {{1.0, 3.0}, {1.5, 3.5}, {2.0, 4.0}};  // channels 0 and 2
    for (int i = 0; i < 3; ++i) m_file.RecordFrame(frames[i], 2, i, i / 10.0);
    EXPECT_EQ(m_file.GetFramesWritten(), 3);
    ASSERT_TRUE(m_file.FinishRecording());
    EXPECT_EQ(m_device.stops, 1);
    EXPECT_TRUE(m_device.running);
    EXPECT_TRUE(
        m_file.FinaliseRecordFile(path, 1));  // finished: unchanged, whatever count was read
    ASSERT_TRUE(m_file.StopRecording());
    EXPECT_TRUE(m_file.GetFileName().empty());

    Bytes block;
    block.PString("fake_device").PString("Channel #0").PString("Channel #2");
    block.PBool(false).PInt(1).PDouble(1.0).PDouble(-1.0).PDouble(1.0);
    Bytes expected;
    expected.Header(99887755, 10.0, 2, 1, 3, block.Size()).Append(block);
    for (const auto& frame : frames) expected.F64(frame[0]).F64(frame[1]);
    expected.U64(1).Marker(1, 2, "E 1");
    EXPECT_EQ(ReadFileBytes(path), expected.Data());
}

TEST_F(AnalogFileTest, DurationLimitRaisesTheStopRequestOnceAndTheRunIsStillFinished)
{
    for (bool useThread : {false, true}) {
        CountingOwner owner;
        const wxString path = StartRun(owner, useThread, 2.0);
        ASSERT_FALSE(path.empty());
        for (int i = 0; i <= 30; ++i) {  // 0 to 3 s at 10 Hz
            const double frame[3] = {double(i), 0.0, -double(i)};
            m_file.RecordFrame(frame, 3, i, i / 10.0);
        }
        EXPECT_FALSE(m_file.IsRecording());
        EXPECT_TRUE(m_file.NeedsFinish());
        EXPECT_EQ(owner.requests.load(), 1);
        EXPECT_TRUE(owner.TakeCaptureStopRequest());
        EXPECT_EQ(m_device.stopCaptures.load(), 1);
        EXPECT_EQ(m_file.GetTime(), 2.0);
        // The capture stop: finaliser (threaded saving), then the close.
        if (useThread) {
            EXPECT_TRUE(m_file.FinaliseRecordFile(path, m_file.GetFrameCount()));
        }
        ASSERT_TRUE(m_file.StopRecording());
        EXPECT_FALSE(m_file.NeedsFinish());

        const std::vector<uint8_t> bytes = ReadFileBytes(path.ToStdString());
        ASSERT_GT(bytes.size(), 40u);
        EXPECT_EQ(GetU64(bytes.data() + 24), 21u)
            << "frames 0 to 2.0 s";  // the frame at 2.0 s is written
        CAnalogReader reader;
        ASSERT_TRUE(reader.Open(path));
        EXPECT_EQ(reader.GetFrameCount(), 21);
        const uint64_t block = GetU64(bytes.data() + 32);
        EXPECT_EQ(bytes.size(), 40 + block + 21 * 24 + 8) << "exactly one trailer";
    }
}

TEST_F(AnalogFileTest, StartWithoutWriterOrTwiceAndFailedOpen)
{
    EXPECT_FALSE(m_file.StartRecording());
    EXPECT_FALSE(m_file.FinishRecording());
    EXPECT_FALSE(m_file.StopRecording());
    EXPECT_FALSE(m_file.OpenWriter(Folder() + "/missing", "x", 1, false, "", true, 100, 1));
    EXPECT_FALSE(m_file.IsAvailable());
    EXPECT_TRUE(m_file.GetFileName().empty());

    ASSERT_TRUE(m_file.OpenWriter(Folder(), "x", 1, false, "", true, 100, 1));
    EXPECT_TRUE(m_file.IsAvailable());
    ASSERT_TRUE(m_file.StartRecording());
    testing::internal::CaptureStderr();
    EXPECT_TRUE(m_file.StartRecording());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Data writer not ready or is already in use (1)\n");
    EXPECT_FALSE(m_file.IsAvailable());
}

TEST_F(AnalogFileTest, ReplacingOrDestroyingAnUnfinishedRecordingFinishesIt)
{
    ASSERT_TRUE(m_file.OpenWriter(Folder(), "a", 1, false, "", true, 100, 1));
    const std::string first = m_file.GetFileName().ToStdString();
    ASSERT_TRUE(m_file.StartRecording());
    const double frame[3] = {1, 2, 3};
    for (int i = 0; i < 5; ++i) m_file.RecordFrame(frame, 3, i, i / 10.0);
    ASSERT_TRUE(m_file.OpenWriter(Folder(), "a", 2, false, "", false, 100, 1));
    EXPECT_EQ(GetU64(ReadFileBytes(first).data() + 24), 5u);
    const std::string second = m_file.GetFileName().ToStdString();
    {
        CAnalogFile other;
        other.SetDevice(&m_device);
        ASSERT_TRUE(other.OpenWriter(Folder(), "b", 1, false, "", true, 100, 1));
        ASSERT_TRUE(other.StartRecording());
        for (int i = 0; i < 4; ++i) other.RecordFrame(frame, 3, i, i / 10.0);
    }  // the device goes away mid-recording
    const std::vector<uint8_t> bytes = ReadFileBytes(Folder() + "/bfake_0001.qvd");
    ASSERT_GE(bytes.size(), 40u);
    EXPECT_EQ(GetU64(bytes.data() + 24), 4u);
}

TEST_F(AnalogFileThreads, FinishingWhileFramesFlowWritesOneConsistentRecording)
{
    for (bool useThread : {false, true}) {
        ASSERT_TRUE(
            m_file.OpenWriter(Folder(), useThread ? "t" : "p", 1, false, "", useThread, 50000, 1));
        const wxString path = m_file.GetFileName();
        ASSERT_TRUE(m_file.StartRecording());
        std::promise<void> started;
        std::atomic<bool> quit{false};
        std::thread acquisition([&] {
            for (int i = 0; i < 40000 && !quit.load(); ++i) {
                const double frame[3] = {double(i), double(i) * 2, -1.0};
                m_file.RecordFrame(frame, 3, i, i / 1000.0);
                if (i == 500) started.set_value();
            }
        });
        ASSERT_EQ(started.get_future().wait_for(std::chrono::seconds(30)),
                  std::future_status::ready);
        const bool isFinished = m_file.FinishRecording();
        quit = true;
        acquisition.join();
        ASSERT_TRUE(isFinished);
        ASSERT_TRUE(m_file.FinaliseRecordFile(path, 0));
        ASSERT_TRUE(m_file.StopRecording());

        CAnalogReader reader;
        ASSERT_TRUE(reader.Open(path));
        const int64_t frames = reader.GetFrameCount();
        ASSERT_GT(frames, 500);
        const std::vector<uint8_t> bytes = ReadFileBytes(path.ToStdString());
        EXPECT_EQ(bytes.size(), uint64_t(reader.GetDataOffset() + frames * 24 + 8))
            << "one trailer";
        for (int64_t f = 0; f < frames; ++f) {
            double frame[3];
            ASSERT_TRUE(reader.GetFrame(frame, 3, f));
            ASSERT_EQ(frame[0], double(f)) << "no gap and no frame out of order";
        }
    }
}

// Power cuts drawn from a seed, judged by what the flushes to disk kept (each
// flush logged with the bytes it was bound to keep, a name only once its folder
// was flushed): while a trial runs, both writers have its frames on disk up to
// the last interval; during the finish a file keeps what it had; once the
// trial is said saved, the recording and its export are whole. A recording
// holds only frames the writer took, in order, never more than its count says;
// under its own name an export is whole, its lines going elsewhere until then.
// kSlowDisk: a running flush of the recording waits while the threaded writer is
// handed more frames than its queue holds; none may be dropped for it.
// kSilentSource: the source falls silent a while; the frames it sent reach the disk
// all the same, before the next one comes.
// kDeleted: the saved trial is deleted (its folders' flushes refused or not): a
// deletion said done stays done after a cut. kOpenRefused: a first open fails for
// want of room and says so; the file it made goes again, its folder flushed (refused
// or not), and no export is left.
enum class PowerCut {
    kAfterSaved,
    kWhileRunning,
    kDuringFinish,
    kFlushRefused,
    kSlowDisk,
    kSilentSource,
    kDeleted,
    kOpenRefused,
    kCount
};

class AnalogFilePowerCutThreads : public AnalogFileTest,
                                  public ::testing::WithParamInterface<uint32_t> {};

struct CutImage {
    int64_t frames = -1;  // read back from the recording; -1 when it is not there
    size_t markers = 0;
    int64_t exportLines = -1;  // frame lines under the export's name; -1 when absent
    int64_t partLines = -1;    // under the name its lines go to meanwhile
    size_t events = 0;
};

TEST_P(AnalogFilePowerCutThreads, ACutKeepsTheFramesOnDiskAndAnExportWholeUnderItsName)
{
    SCOPED_TRACE("replay with QV_SIM_SEED=" + std::to_string(GetParam()));
    std::mt19937 random(GetParam());
    const auto draw = [&random](uint64_t below) { return below == 0 ? 0 : random() % below; };
    const auto cut = PowerCut(draw(uint64_t(PowerCut::kCount)));
    const bool useThread = draw(2) == 0 || cut == PowerCut::kSlowDisk;
    const bool hasExport = draw(4) != 0;
    m_device.rate = std::array<double, 4>{25.0, 100.0, 250.0, 1000.0}[draw(4)];
    m_device.flags = {1, uint8_t(draw(2)), uint8_t(draw(2))};
    const int channels = m_device.GetRecordedChannelCount();
    const int64_t interval = int64_t(m_device.rate) * 2;  // the writers' two seconds
    const int64_t frames = cut == PowerCut::kSlowDisk
                               ? interval * 4 + 200
                               : interval * int64_t(1 + draw(3)) + int64_t(draw(uint64_t(interval)));
    for (uint64_t m = draw(3); m > 0; --m) {
        m_device.markers.codes.push_back(uint32_t(draw(9)));
        m_device.markers.frames.push_back(uint32_t(draw(uint64_t(frames))));
        m_device.markers.labels.push_back("mark");
    }
    const std::string folder = std::filesystem::canonical(Dir());
    const std::string exportDir = folder + "/export";
    std::filesystem::create_directory(exportDir);
    if (cut == PowerCut::kFlushRefused) FailNextSync(hasExport && draw(2) ? ".part" : ".qvd", EIO);
    StartSyncLog(folder, true);
    // A small queue drops frames now and then: they are counted, never recorded.
    const int depth = draw(4) == 0 || cut == PowerCut::kSlowDisk ? 100 : int(frames) + 1;
    if (cut == PowerCut::kOpenRefused) {
        const bool isRefused = draw(2) == 0;
        if (isRefused) FailNextSync(folder, EIO);
        std::vector<std::string> said;
        {
            const CFileSizeLimit limit(4096);  // the header goes in, not the room it keeps
            const CLogCapture messages;
            EXPECT_FALSE(m_file.OpenWriter(folder, "cut", 1, hasExport, exportDir, useThread, depth, 1));
            said = messages.Messages();
        }
        FailNextSync("", 0);
        const std::string made = MakeRecordFileName(folder, "cut", "fake", 1).ToStdString();
        const std::string warning = "Unable to delete " + made + " : a flush of its folder to disk " +
                                    "failed, it may come back after a power cut : " + std::strerror(EIO);
        const std::vector<SyncEvent> log = CopySyncLog();
        const auto countSaid = [&said](const std::string& text) {
            return std::count_if(said.begin(), said.end(), [&text](const std::string& m) {
                return m.find(text) != std::string::npos;
            });
        };
        EXPECT_EQ(countSaid(warning), isRefused ? 1 : 0) << ::testing::PrintToString(said);
        EXPECT_EQ(countSaid("Error creating analog file : " + made + " : " + std::strerror(EFBIG)), 1);
        EXPECT_TRUE(std::filesystem::is_empty(exportDir) && !std::filesystem::exists(made));
        EXPECT_TRUE(isRefused || FilesAfterCut(log, log.size()).count(made) == 0)
            << "a file nobody measured comes back after a cut";
    }
    ASSERT_TRUE(m_file.OpenWriter(folder, "cut", 1, hasExport, exportDir, useThread, depth, 1));
    const std::string path = m_file.GetFileName().ToStdString();
    const std::string text = m_file.GetTextFileName().ToStdString();
    const std::string scratch = folder + "/image.qvd";
    ASSERT_TRUE(m_file.StartRecording());
    std::vector<int64_t> taken;
    // What a cut after the first end flushes of the log leaves, against the frames
    // taken (frame f carries f * 4 + channel).
    const auto readCut = [&](const std::vector<SyncEvent>& log, size_t cutEnd) {
        const std::map<std::string, std::string> files = FilesAfterCut(log, cutEnd);
        CutImage image;
        const auto recording = files.find(path);
        if (recording != files.end() && !recording->second.empty()) {
            std::ofstream(scratch, std::ios::binary | std::ios::trunc) << recording->second;
            CAnalogReader reader;
            EXPECT_TRUE(reader.Open(scratch)) << reader.GetError();
            image.frames = reader.GetFrameCount();
            EXPECT_LE(image.frames, int64_t(taken.size())) << "frames nobody recorded";
            double frame[3];
            for (int64_t f = 0; f < std::min<int64_t>(image.frames, int64_t(taken.size())); ++f)
                for (int c = 0; c < channels; ++c)
                    if (!reader.GetFrame(frame, channels, f) ||
                        frame[c] != double(taken[size_t(f)] * 4 + c))
                        return ADD_FAILURE() << "frame " << f << " is not the one taken", image;
            image.markers = reader.GetMarkerCodes().size();
        }
        for (const bool isPart : {false, true}) {
            const auto file = files.find(isPart ? text + kTextPartSuffix : text);
            if (text.empty() || file == files.end()) continue;
            const std::string& lines = file->second;
            EXPECT_TRUE(lines.empty() || lines.compare(lines.size() - 2, 2, "\r\n") == 0)
                << "a line cut short";
            int64_t& frameLines = (isPart ? image.partLines : image.exportLines) = 0;
            for (size_t at = 0, end = 0; at < lines.size(); at = end + 2) {
                end = lines.find("\r\n", at);
                const std::string line = lines.substr(at, end - at);
                image.events += !isPart && line.rfind("event[", 0) == 0;
                if (line.rfind("# ", 0) == 0 || line.rfind("event[", 0) == 0) continue;
                const size_t field = g_Use_Text_Time.load() ? line.find('\t') + 1 : 0;
                if (frameLines >= int64_t(taken.size()) ||
                    std::strtod(line.c_str() + field, nullptr) !=
                        double(taken[size_t(frameLines)] * 4))
                    return ADD_FAILURE() << "export line " << frameLines << ": " << line, image;
                ++frameLines;
            }
        }
        return image;
    };
    taken.reserve(size_t(frames));
    const bool isSilent = cut == PowerCut::kSilentSource;
    const int64_t cutAt = cut == PowerCut::kWhileRunning || isSilent
                              ? interval + int64_t(draw(uint64_t(frames - interval)))
                              : -1;
    uint64_t allocations = 0;  // by the recording thread, syncs asked for included
    if (cut == PowerCut::kSlowDisk) HoldNextSync(".qvd");
    int64_t heldFrames = 0;  // handed over while the flush waits
    for (int64_t f = 0; f < frames; ++f) {
        const double values[3] = {double(f * 4), double(f * 4 + 1), double(f * 4 + 2)};
        const CAllocationCount count;
        if (m_file.RecordFrame(values, channels, uint32_t(f), double(f) / m_device.rate))
            taken.push_back(f);
        allocations += count.Count();
        if (cut == PowerCut::kSlowDisk) {
            // No faster than the writer writes (a quarter of its queue waiting), unless
            // the flush holds the writer itself.
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            std::string held;
            while ((held = HeldSyncThread()) != "qv-rec-writer" &&
                   m_file.GetFramesWritten() + interval / 4 < int64_t(taken.size()) &&
                   std::chrono::steady_clock::now() < limit)
                std::this_thread::yield();
            // An interval written asks its flush: the frames after it go to a held disk.
            while (heldFrames == 0 && held.empty() && m_file.GetFramesWritten() >= interval &&
                   std::chrono::steady_clock::now() < limit)
                held = HeldSyncThread();
            if (!held.empty() && ++heldFrames > 2 * interval + 100) ReleaseHeldSync();
        }
        if (f + 1 != cutAt) continue;
        // Each interval's frames written are on disk, then their count: wait for
        // that, not for time (the limit only bounds a broken build).
        const int64_t due = int64_t(taken.size()) - (isSilent ? 0 : interval - 1);
        const auto isDue = [&](const SyncEvent& e) {
            return e.path == path && e.isOk && int64_t(e.countField) >= due;
        };
        ASSERT_TRUE(due <= 0 || WaitForSyncLog(isDue, std::chrono::seconds(60)))
            << "a running trial is not on disk: " << taken.size() << " frames taken";
        const std::vector<SyncEvent> log = CopySyncLog();
        const CutImage image = readCut(log, log.size());
        EXPECT_GE(image.frames, due);
        EXPECT_EQ(image.exportLines, -1) << "an export under its name before it is whole";
    }
    EXPECT_EQ(allocations, 0u);
    if (cut == PowerCut::kSlowDisk) {
        ReleaseHeldSync();
        EXPECT_GT(heldFrames, 2 * interval + 100) << "no running flush waited";
        EXPECT_EQ(int64_t(taken.size()), frames) << "frames dropped behind a slow flush";
    }
    MarkSyncLog("finish");
    ASSERT_TRUE(m_file.FinishRecording());
    MarkSyncLog("saved");  // the capture stop says so now
    const std::vector<SyncEvent> log = CopySyncLog();
    size_t finish = 0;
    int64_t durable = 0;  // what the disk had before the finish
    for (; !log[finish].isMark || log[finish].path != "finish"; ++finish)
        if (log[finish].path == path && log[finish].isOk) durable = int64_t(log[finish].countField);
    const size_t markers = size_t(
        std::count_if(m_device.markers.frames.begin(), m_device.markers.frames.end(),
                      [&taken](uint32_t frame) { return int64_t(frame) < int64_t(taken.size()); }));
    if (cut == PowerCut::kDuringFinish) {
        const size_t end = finish + 1 + draw(log.size() - finish - 1);
        const CutImage image = readCut(log, end);
        EXPECT_GE(std::max<int64_t>(image.frames, 0), durable) << "the finish lost frames on disk";
        EXPECT_TRUE(image.exportLines == -1 ||
                    (image.exportLines == int64_t(taken.size()) && image.events == markers))
            << "an export under its name that is not whole: " << image.exportLines;
    }
    const CutImage saved = readCut(log, log.size());
    if (cut == PowerCut::kFlushRefused) {
        EXPECT_TRUE(m_file.GetEndNote().StartsWith("a flush to disk failed"))
            << m_file.GetEndNote();
        EXPECT_TRUE(saved.exportLines == -1 || saved.exportLines == int64_t(taken.size()));
    } else {
        EXPECT_EQ(m_file.GetEndNote(), wxString());
        EXPECT_EQ(saved.frames, int64_t(taken.size()));
        EXPECT_EQ(saved.markers, markers);
        EXPECT_EQ(saved.exportLines, hasExport ? int64_t(taken.size()) : -1);
        EXPECT_EQ(saved.events, hasExport ? markers : 0u);
        EXPECT_EQ(saved.partLines, -1) << "the export's lines left beside it";
    }
    ASSERT_TRUE(m_file.StopRecording());
    if (cut == PowerCut::kDeleted) {
        const bool isRefused = draw(2) == 0;
        if (isRefused) FailNextSync(hasExport && draw(2) ? exportDir : folder, EIO);
        wxString error;
        EXPECT_NE(RemoveFiles({path, text}, error), isRefused) << error;
        const std::vector<SyncEvent> after = TakeSyncLog();
        const std::map<std::string, std::string> files = FilesAfterCut(after, after.size());
        EXPECT_TRUE(isRefused || (files.count(path) == 0 && files.count(text) == 0))
            << "a deleted file comes back after a cut";
    }
    TakeSyncLog();
}
INSTANTIATE_TEST_SUITE_P(Seeds, AnalogFilePowerCutThreads, ::testing::ValuesIn(SimSeeds(18)),
                         SimSeedName());

TEST_F(AnalogFileTest, TestDeviceRecordsItsEnabledChannelsThroughTheCaptureHooks)
{
    SteppedDevice device;
    ASSERT_NE(device.GetRecorder(), nullptr);  // every analog device owns its controller
    device.SetVisibleChannels({0, 2});
    ASSERT_TRUE(device.SetupWriter(Folder(), "trial", 3, true, Folder(), true, 100, 1));
    const wxString path = device.GetWriterFileName();
    EXPECT_EQ(path, wxString(Folder() + "/trialtest_device_0003.qvd"));
    EXPECT_EQ(device.GetExportFileName(), wxString(Folder() + "/trialtest_device_0003.txt"));
    ASSERT_TRUE(device.StartRecording());
    std::vector<std::array<double, 2>> recorded;
    for (int i = 0; i < 60; ++i) {
        device.Step();
        recorded.push_back({device.Row()[0], device.Row()[2]});
    }
    ASSERT_TRUE(device.FinishRecording());
    EXPECT_FALSE(device.FinishRecording());  // nothing left to finish
    EXPECT_TRUE(FinaliseRecordFile(device, path, 60));
    EXPECT_EQ(device.GetRecordedFrames(), 60);
    ASSERT_TRUE(device.StopRecording());

    CAnalogReader reader;
    ASSERT_TRUE(reader.Open(path));
    EXPECT_EQ(reader.GetChannelCount(), 2);
    EXPECT_EQ(reader.GetFrameCount(), 60);
    EXPECT_EQ(reader.GetRate(), 25.0);
    EXPECT_EQ(reader.GetDeviceKey(), "test_device");
    EXPECT_EQ(reader.GetChannelNames(),
              (std::vector<wxString>{device.GetChannelName(0), device.GetChannelName(2)}));
    EXPECT_EQ(reader.GetUnitScale(), device.GetUnitScale());
    for (int f = 0; f < 60; ++f) {
        double frame[2];
        ASSERT_TRUE(reader.GetFrame(frame, 2, f));
        EXPECT_EQ(frame[0], recorded[size_t(f)][0]);
        EXPECT_EQ(frame[1], recorded[size_t(f)][1]);
    }
    // The test device marks every two seconds of frame time: at 0 and 50.
    ASSERT_EQ(reader.GetMarkerFrames().size(), 2u);
    EXPECT_EQ(reader.GetMarkerFrames()[1], 50u);
}

TEST_F(AnalogFileTest, RefusedFramesAdvanceNeitherTheTimeNorTheLimit)
{
    for (bool useThread : {false, true}) {
        SCOPED_TRACE(useThread ? "threaded" : "plain");
        CountingOwner owner;
        m_file.SetOwner(&owner);
        m_file.SetDuration(0.3);
        ASSERT_TRUE(
            m_file.OpenWriter(Folder(), useThread ? "t" : "p", 1, false, "", useThread, 100, 1));
        const wxString path = m_file.GetFileName();
        ASSERT_TRUE(m_file.StartRecording());
        // Every other frame has the wrong size: the device time runs on, the recording's not.
        int taken = 0;
        for (int i = 0; i < 6; ++i) {
            const double frame[3] = {double(i), 0.0, 0.0};
            m_file.RecordFrame(frame, (i % 2) ? 2 : 3, i, i / 10.0);
            taken += (i % 2) ? 0 : 1;
            EXPECT_DOUBLE_EQ(m_file.GetTime(), (taken - 1) / 10.0) << "after frame " << i;
        }
        EXPECT_TRUE(m_file.IsRecording()) << "3 frames taken: 0.2 s of recording";
        for (int i = 6; i < 12; ++i) {
            const double frame[3] = {double(i), 0.0, 0.0};
            m_file.RecordFrame(frame, 3, i, i / 10.0);
        }
        EXPECT_FALSE(m_file.IsRecording());
        EXPECT_EQ(owner.requests.load(), 1);
        EXPECT_DOUBLE_EQ(m_file.GetTime(), 0.3);
        ASSERT_TRUE(m_file.FinishRecording());
        ASSERT_TRUE(m_file.StopRecording());
        CAnalogReader reader;
        ASSERT_TRUE(reader.Open(path));
        EXPECT_EQ(reader.GetFrameCount(), 4) << "frames 0, 2, 4 and 6: 0 to 0.3 s";
    }
}

TEST_F(AnalogFileTest, LateStopKeepsNoMarkerPastTheRecordedFrames)
{
    for (bool useThread : {false, true}) {
        SCOPED_TRACE(useThread ? "threaded" : "plain");
        SteppedDevice device;
        CountingOwner owner;
        const wxString path = StartDeviceRun(device, owner, useThread, 1.0, 100);
        ASSERT_FALSE(path.empty());
        auto* controller = dynamic_cast<CAnalogFile*>(device.GetRecorder());
        int steps = 0;
        while (owner.requests.load() == 0 && steps < 1000) {
            device.Step();
            ++steps;
        }
        EXPECT_EQ(steps, 26) << "0 to 1.0 s at 25 Hz";
        // The stop is carried out 20 s later; the device marks every 2 s meanwhile.
        for (int i = 0; i < 500; ++i) device.Step();
        EXPECT_GT(device.GetMarkerFrames().size(), 10u);
        const int64_t frameCount = controller->GetFrameCount();
        ASSERT_TRUE(device.FinishRecording());
        if (useThread) {
            EXPECT_TRUE(FinaliseRecordFile(device, path, frameCount));
        }
        ASSERT_TRUE(device.StopRecording());

        CAnalogReader reader;
        ASSERT_TRUE(reader.Open(path));
        EXPECT_EQ(reader.GetFrameCount(), 26);
        ASSERT_FALSE(reader.GetMarkerFrames().empty()) << "the marker at frame 0 is kept";
        for (uint32_t frame : reader.GetMarkerFrames()) EXPECT_LT(frame, 26u);
        EXPECT_EQ(owner.requests.load(), 1);
    }
}

TEST_F(AnalogFileTest, WriteThatFailsEndsTheRunOnceWithTheMarkersAndTimeOfTheFramesOnDisk)
{
    // Eight channels (64-byte frames) and a file-size limit after 20 frames and
    // the trailer: the disk is full from frame 20 on.
    m_device.names.clear();
    for (int c = 0; c < 8; ++c) m_device.names.push_back(wxString::Format("Channel #%d", c));
    m_device.flags.assign(8, 1);
    m_device.markers.codes = {1, 2, 3};
    m_device.markers.frames = {0, 4, 50};  // the last comes after the frames on disk
    m_device.markers.labels = {"a", "b", "c"};
    RecordMarkers inside;
    inside.codes = {1, 2};
    inside.frames = {0, 4};
    inside.labels = {"a", "b"};
    HeaderPropertyBuffer block;
    const uint64_t blockLength = BuildHeaderProperties(m_device.GetHeaderInfo(), block);
    const uint64_t limitBytes = 40 + blockLength + 20 * 64 + EncodeMarkerTrailer(&inside).size();
    for (bool useThread : {false, true}) {
        SCOPED_TRACE(useThread ? "threaded" : "plain");
        CountingOwner owner;
        const wxString path = StartRun(owner, useThread, 0.0);
        ASSERT_FALSE(path.empty());
        {
            CFileSizeLimit limit(limitBytes);
            ASSERT_TRUE(limit.IsSet());
            // The acquisition thread goes on until the run ends by itself; the
            // time only bounds a broken build.
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            for (int i = 0; m_file.IsRecording() && std::chrono::steady_clock::now() < giveUp;
                 ++i) {
                double frame[8];
                for (int c = 0; c < 8; ++c) frame[c] = i * 8 + c;
                m_file.RecordFrame(frame, 8, i, i / 10.0);
                if (i % 64 == 63) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            EXPECT_FALSE(m_file.IsRecording());
            EXPECT_TRUE(m_file.NeedsFinish());
            EXPECT_EQ(owner.requests.load(), 1);
            EXPECT_EQ(m_device.stopCaptures.load(), 1);
            const double frame[8] = {};
            m_file.RecordFrame(frame, 8, 0, 0.0);  // a frame that comes late changes nothing
            EXPECT_EQ(owner.requests.load(), 1);
            EXPECT_TRUE(m_file.FinishRecording());
        }
        // The time and frames the shell lists are those on disk.
        EXPECT_EQ(m_file.GetFramesWritten(), 20);
        EXPECT_DOUBLE_EQ(m_file.GetTime(), 1.9);
        EXPECT_EQ(m_file.GetEndNote(), "recording cut at " + FormatTime(2.0) +
                                           " (20 frames kept) : " + std::strerror(EFBIG));
        ASSERT_TRUE(m_file.StopRecording());
        EXPECT_FALSE(m_file.NeedsFinish());

        CAnalogReader reader;
        ASSERT_TRUE(reader.Open(path));
        EXPECT_EQ(reader.GetFrameCount(), 20);
        EXPECT_EQ(reader.GetMarkerFrames(), (std::vector<uint32_t>{0, 4}));
        double last[8];
        ASSERT_TRUE(reader.GetFrame(last, 8, 19));
        EXPECT_EQ(last[7], 19 * 8 + 7);
        EXPECT_EQ(ReadFileBytes(path.ToStdString()).size(), limitBytes) << "one whole trailer";
    }
}

TEST_F(AnalogFileTest, RecordingWhoseHeaderCannotBeWrittenLeavesNoFile)
{
    for (bool useThread : {false, true}) {
        SCOPED_TRACE(useThread ? "threaded" : "plain");
        {
            CFileSizeLimit limit(60);  // the header, not its property block
            ASSERT_TRUE(limit.IsSet());
            EXPECT_FALSE(m_file.OpenWriter(Folder(), "h", 1, true, Folder(), useThread, 100, 1));
        }
        EXPECT_TRUE(m_file.GetFileName().empty());
        EXPECT_FALSE(m_file.StartRecording());
        EXPECT_TRUE(std::filesystem::is_empty(Dir())) << "neither recording nor export";
    }
}

TEST_F(AnalogFileTest, MarkersOfARunEndedByItsLimitAreAllKeptUntilItIsFinished)
{
    for (bool useThread : {false, true}) {
        SCOPED_TRACE(useThread ? "threaded" : "plain");
        SteppedDevice device;  // no view: only the markers of the last second are shown
        CountingOwner owner;
        // A queue with room for every frame: the steps come faster than any disk.
        const wxString path = StartDeviceRun(device, owner, useThread, 200.0, 6000);
        ASSERT_FALSE(path.empty());
        for (int i = 0; i <= 5000; ++i) device.Step();  // 200 s at 25 Hz: 101 markers
        ASSERT_FALSE(device.IsRecording());
        // The stop comes two minutes late; the device runs on meanwhile.
        for (int i = 0; i < 3000; ++i) device.Step();
        ASSERT_TRUE(device.FinishRecording());
        ASSERT_TRUE(device.StopRecording());

        CAnalogReader reader;
        ASSERT_TRUE(reader.Open(path));
        EXPECT_EQ(reader.GetFrameCount(), 5001);
        std::vector<uint32_t> expected;
        for (uint32_t frame = 0; frame <= 5000; frame += 50) expected.push_back(frame);
        EXPECT_EQ(reader.GetMarkerFrames(), expected);
    }
}

TEST_F(AnalogFileTest, NegativeOrNonFiniteLimitIsNoLimit)
{
    int trial = 0;
    for (double limit : {-5.0, std::nan(""), -std::numeric_limits<double>::infinity()}) {
        SCOPED_TRACE(limit);
        CountingOwner owner;
        m_file.SetOwner(&owner);
        m_file.SetDuration(limit);
        ASSERT_TRUE(m_file.OpenWriter(Folder(), "n", ++trial, false, "", false, 100, 1));
        ASSERT_TRUE(m_file.StartRecording());
        for (int i = 0; i < 10; ++i) {
            const double frame[3] = {double(i), 0.0, 0.0};
            m_file.RecordFrame(frame, 3, i, i / 10.0);
        }
        EXPECT_TRUE(m_file.IsRecording());
        EXPECT_EQ(owner.requests.load(), 0);
        EXPECT_EQ(m_file.GetFramesWritten(), 10);
        ASSERT_TRUE(m_file.StopRecording());
    }
}

// A trial's stop instant is chosen with the frames held: a frame sent out as it fell
// due, before the stop was set, is due before the instant taken, so the recording
// holds exactly the frames due before it, whatever the moment read from the clock.
TEST_F(AnalogFileTest, StopInstantHeldPastTheLastFrameOfferedKeepsExactlyTheFramesDueBeforeIt)
{
    for (bool useThread : {false, true}) {
        SCOPED_TRACE(useThread ? "threaded" : "plain");
        CountingOwner owner;
        const wxString path = StartRun(owner, useThread, 0.0);
        ASSERT_FALSE(path.IsEmpty());
        m_file.SetRunStart(1000.0);  // 10 Hz: frame k due at 1000 + k * 100 000 us
        for (int i = 0; i < 4; ++i) {
            const double frame[3] = {double(i), 0.0, 0.0};
            m_file.RecordFrame(frame, 3, i, i / 10.0);
        }
        double stopUs = 0.0;
        {
            auto hold = m_file.HoldFrames();
            EXPECT_DOUBLE_EQ(m_file.LastOfferedDueUs(), 301000.0);
            // The clock read 5 us before frame 3's due time, which already went out.
            stopUs = std::max(300995.0, m_file.LastOfferedDueUs() + 0.5);
            m_file.SetRunStopHeld(stopUs);
        }
        EXPECT_TRUE(m_file.HasReachedStop());
        const double late[3] = {4.0, 0.0, 0.0};
        m_file.RecordFrame(late, 3, 4, 0.4);
        ASSERT_TRUE(m_file.FinishRecording());
        ASSERT_TRUE(m_file.StopRecording());
        CAnalogReader reader;
        ASSERT_TRUE(reader.Open(path));
        EXPECT_EQ(reader.GetFrameCount(), std::ceil((stopUs - 1000.0) * 10.0 / 1.0e6));
        EXPECT_EQ(reader.GetFrameCount(), 4);
    }
}
