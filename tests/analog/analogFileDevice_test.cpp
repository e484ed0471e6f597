#include "analog/analogFileDevice.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <wx/fileconf.h>
#include <wx/filefn.h>
#include <wx/log.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>

#include "analog/analogFile.h"
#include "analog/analogReader.h"
#include "analog/fakeSinks.h"
#include "analog/formatTime.h"
#include "analog/paramType.h"
#include "analog/plainDevice.h"
#include "analog/recordBytes.h"
#include "analog/recordFormat.h"
#include "network/oscConnection.h"
#include "network/oscSourceSupport.h"
#include "process/countingOwner.h"
#include "process/deviceOwner.h"
#include "process/messageQueue.h"
#include "support/tempDir.h"

namespace {

// Plays frames by hand, as its acquisition thread does on each tick.
class SteppedPlayer : public CAnalogFileDevice {
public:
    using CAnalogFileDevice::CAnalogFileDevice;
    void Step() { PlayFrame(); }
};

Bytes Block(const std::vector<std::string>& names, double minimum, double maximum,
            bool tracker = false)
{
    Bytes block;
    block.PString("recorder");
    for (const std::string& name : names) block.PString(name);
    block.PBool(tracker).PInt(5).PDouble(0.25).PDouble(minimum).PDouble(maximum);
    return block;
}

// channels x dim values per frame; frame f, value v = 10 f + v.
Bytes Recording(int channels, int dim, int frames, double rate, const Bytes& block)
{
    Bytes bytes;
    bytes.Header(99887755, rate, channels, dim, frames, block.Size()).Append(block);
    for (int f = 0; f < frames; ++f)
        for (int v = 0; v < channels * dim; ++v) bytes.F64(10.0 * f + v);
    // The label takes the file above the reader's minimum size: the trailer ends the file.
    const size_t trailer = 8 + 20 + 2;
    const size_t padding = bytes.Size() + trailer < 200 ? 200 - bytes.Size() - trailer : 0;
    bytes.U64(1).Marker(7, 1, "go" + std::string(padding, ' '));
    return bytes;
}

// A 2D view whose reset resets its device, as the real one does.
class ResettingView : public CFakeView {
public:
    explicit ResettingView(CAnalogDevice& device) : m_device(device) {}
    void ResetView() override
    {
        CFakeView::ResetView();
        if (m_device.IsReady()) m_device.Reset();
    }

private:
    CAnalogDevice& m_device;
};

class AnalogFileDeviceTest : public TempDirTest {
protected:
    std::string Save(const Bytes& bytes, const std::string& name)
    {
        const std::string path = Path(name).string();
        bytes.Save(path);
        return path;
    }
};

class AnalogFileDeviceThreads : public AnalogFileDeviceTest {};

}  // namespace

TEST_F(AnalogFileDeviceTest, LoadTakesOverTheRecordingsDescription)
{
    const std::string path =
        Save(Recording(2, 1, 1000, 100.0, Block({"left", "right"}, -3.0, 2.0)), "walk.qvd");
    SteppedPlayer player(false, "", path);
    ASSERT_TRUE(player.IsReady());
    EXPECT_TRUE(player.IsRunning());
    EXPECT_TRUE(player.IsFileDevice());
    EXPECT_FALSE(player.CanOffset());
    EXPECT_TRUE(player.CanReset());
    EXPECT_EQ(player.GetDeviceName(), "walk");
    EXPECT_EQ(player.GetDeviceKey(), "analog_file_device");
    EXPECT_EQ(player.GetDevicePath(), wxString(path));
    EXPECT_EQ(player.GetConfigPath(), "/Analog/File_device");
    EXPECT_EQ(player.GetRate(), 100.0);
    EXPECT_EQ(player.GetTotalFrames(), 1000);
    EXPECT_EQ(player.GetDeviceType(), 5);
    EXPECT_EQ(player.GetUnitScale(), 0.25);
    EXPECT_EQ(player.GetChannelName(0), "left");
    EXPECT_EQ(player.GetChannelName(1), "right");
    EXPECT_DOUBLE_EQ(player.GetDuration(), 10.0);
    EXPECT_TRUE(player.CanShowCPStat());
    EXPECT_EQ(player.GetCPXIndex(), 0);
    EXPECT_EQ(player.GetCPYIndex(), 1);
    // In memory the reader widens the data range (0 to 9991): the device is symmetric.
    EXPECT_EQ(player.GetMaxValue(), -player.GetMinValue());
    std::vector<uint32_t> codes, frames;
    std::vector<wxString> labels;
    player.GetMarkers(codes, frames, labels);
    ASSERT_EQ(codes.size(), 1u);
    EXPECT_EQ(labels[0], "go");
    EXPECT_EQ(player.GetInfo(),
              wxString(path) +
                  "\n2 Analog Channel(s)\nDim = 1\nSampling Rate = 100 Hz\nFrames 1000 (" +
                  FormatTime(10.0) + ")");
}

TEST_F(AnalogFileDeviceTest, RangeOfAnOnDemandRecordingIsMadeSymmetric)
{
    // 2 x 40000 x 8 bytes: read on demand, so the block's range is kept: -3 to 2 gives -3 to 3.
    const std::string path = Save(Recording(2, 1, 40000, 100.0, Block({}, -3.0, 2.0)), "long.qvd");
    CAnalogFileDevice player(false, "", path);
    ASSERT_TRUE(player.IsReady());
    EXPECT_EQ(player.GetMinValue(), -3.0);
    EXPECT_EQ(player.GetMaxValue(), 3.0);
    EXPECT_EQ(player.GetChannelName(0), "Channel #0");  // no names stored: the defaults stay
}

TEST_F(AnalogFileDeviceTest, PlaysThreeFramesThenLoopsWithTheViewsReset)
{
    const std::string path = Save(Recording(1, 1, 3, 10.0, Block({"x"}, -1.0, 1.0)), "three.qvd");
    SteppedPlayer player(false, "", path);
    ASSERT_TRUE(player.IsReady());
    CFakeView view;
    player.AddView(&view);
    std::vector<double> played;
    for (int i = 0; i < 7; ++i) {
        player.Step();
        played.push_back(view.frames.back().values[0]);
        if (i == 2) {
            EXPECT_EQ(player.GetCurrentFrame(), 0);
            EXPECT_TRUE(view.notes.empty()) << "views are reset by the GUI thread only";
            player.Poll();
            EXPECT_EQ(view.notes, std::vector<std::string>{"reset"});
            player.Poll();
            EXPECT_EQ(view.notes.size(), 1u);
        }
    }
    EXPECT_EQ(played, (std::vector<double>{0, 10, 20, 0, 10, 20, 0}));
    EXPECT_EQ(view.frames[3].timeSec, 0.0) << "time stamps restart with every repetition";
    EXPECT_DOUBLE_EQ(view.frames[4].timeSec, 0.1);
    EXPECT_DOUBLE_EQ(player.GetElapsedTime(), 0.1);
    player.RemoveAllViews();
}

TEST_F(AnalogFileDeviceTest, TrackerRecordingAndItsInfo)
{
    const std::string path =
        Save(Recording(2, 7, 4, 50.0, Block({"a", "b"}, -1.0, 1.0, true)), "tracker.qvd");
    CAnalogFileDevice player(false, "", path);
    ASSERT_TRUE(player.IsReady());
    EXPECT_TRUE(player.IsTracker());
    EXPECT_EQ(player.GetChannelDim(), 7);
    EXPECT_EQ(player.GetInfo(), wxString(path) +
                                    "\n2 Tracker(s)\nSampling Rate = 50 Hz\nFrames 4 (" +
                                    FormatTime(0.08) + ")");
}

TEST_F(AnalogFileDeviceTest, RefusedOrEmptyRecordingsLeaveTheDeviceNotReady)
{
    CAnalogFileDevice absent(false, "", Path("absent.qvd").string());
    EXPECT_FALSE(absent.IsReady());
    EXPECT_EQ(absent.GetLoadError(), wxString(std::strerror(ENOENT)));

    // A file without channels is refused by the reader, with the reason for the user.
    Bytes noChannels;
    noChannels.Header(99887755, 100.0, 0, 1, 5, 0).Raw(std::string(120, '\0'));
    const std::string path = Save(noChannels, "empty.qvd");
    CAnalogFileDevice empty(false, "", path);
    EXPECT_FALSE(empty.IsReady());
    EXPECT_EQ(empty.GetLoadError(), "channel count 0 out of range (1 to 65536)");

    // No path and no dialog (headless): not ready, the working directory unchanged.
    const wxString cwd = wxGetCwd();
    CAnalogFileDevice unchosen(false, Dir().string(), "");
    EXPECT_FALSE(unchosen.IsReady());
    EXPECT_TRUE(unchosen.GetLoadError().empty());  // cancelled: nothing to report
    EXPECT_EQ(wxGetCwd(), cwd);
}

TEST_F(AnalogFileDeviceTest, ChooserIsAskedOnlyWithoutAPath)
{
    static std::string chosen;
    chosen = Save(Recording(1, 1, 3, 10.0, Block({}, -1.0, 1.0)), "chosen.qvd");
    CAnalogFileDevice::SetFileChooser([](const wxString&) { return wxString(chosen); });
    const wxString cwd = wxGetCwd();
    CAnalogFileDevice player(false, Dir().string(), "");
    CAnalogFileDevice::SetFileChooser(nullptr);
    EXPECT_TRUE(player.IsReady());
    EXPECT_EQ(player.GetDeviceName(), "chosen");
    EXPECT_EQ(wxGetCwd(), cwd);
}

TEST_F(AnalogFileDeviceTest, OwnParametersAndTheirLimits)
{
    const std::string path = Save(Recording(1, 1, 3, 10.0, Block({}, -1.0, 1.0)), "p.qvd");
    CAnalogFileDevice player(false, "", path);
    EXPECT_FALSE(player.CanShowCPStat());  // a single channel
    EXPECT_EQ(player.GetParamLabel(0), "Show CP stat");
    EXPECT_EQ(player.GetParamKey(1), "CP Stat time");
    EXPECT_EQ(player.GetParamKey(2), "CP Stat Level");
    EXPECT_EQ(player.GetChoiceCount(2), 5);
    EXPECT_EQ(player.GetChoiceLabel(2, 2), "97.5 %");
    EXPECT_EQ(player.GetChoiceLabel(2, 5), "???");
    wxLogNull quiet;
    bool changed = false;
    double time = 4.0;
    ASSERT_TRUE(player.SetParam(&time, 1, 1, PARAM_DOUBLE, &changed));
    EXPECT_EQ(player.GetCPStatTime(), 30.0);
    for (double accepted : {5.0, 120.0}) {
        ASSERT_TRUE(player.SetParam(&accepted, 1, 1, PARAM_DOUBLE, &changed));
        EXPECT_EQ(player.GetCPStatTime(), accepted);
    }
    time = 121.0;
    ASSERT_TRUE(player.SetParam(&time, 1, 1, PARAM_DOUBLE, &changed));
    EXPECT_EQ(player.GetCPStatTime(), 120.0);
    int32_t level = 7;
    ASSERT_TRUE(player.SetParam(&level, 2, 1, PARAM_CHOICE, &changed));
    EXPECT_TRUE(changed);
    EXPECT_EQ(player.GetCPStatLevel(), 0);
    EXPECT_TRUE(player.IsRunning()) << "a running device runs again after the change";
    int count = 0;
    int type = 0;
    ASSERT_NE(player.GetParam(2, &count, &type), nullptr);
    EXPECT_EQ(type, PARAM_CHOICE);
}

TEST_F(AnalogFileDeviceThreads, PlaysOnItsOwnThreadAt10HzWhileTheGuiResets)
{
    const std::string path = Save(Recording(1, 1, 3, 10.0, Block({"x"}, -1.0, 1.0)), "three.qvd");
    CAnalogFileDevice player(false, "", path);
    ASSERT_TRUE(player.IsReady());
    CFakeView view;
    player.AddView(&view);
    ASSERT_TRUE(player.Create(false));
    ASSERT_TRUE(player.RunThread());
    ASSERT_TRUE(view.WaitFrames(4, std::chrono::seconds(20)));
    player.Reset();  // handed to the acquisition thread
    player.Poll();
    ASSERT_TRUE(view.WaitFrames(7, std::chrono::seconds(20)));
    player.Close();
    player.Poll();
    player.RemoveAllViews();
    std::lock_guard<std::mutex> lock(view.mutex);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(view.frames[i].values[0], 10.0 * double(i));
    for (const CFrame& frame : view.frames)
        EXPECT_TRUE(frame.values[0] == 0.0 || frame.values[0] == 10.0 || frame.values[0] == 20.0);
}

TEST_F(AnalogFileDeviceTest, UnreadableFrameKeepsThePreviousRowAndIsReportedOnce)
{
    // Read on demand; the file then loses all but its first 1000 frames.
    const std::string path = Save(Recording(2, 1, 40000, 1000.0, Block({}, -1.0, 1.0)), "cut.qvd");
    SteppedPlayer player(false, "", path);
    ASSERT_TRUE(player.IsReady());
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 40 + long(Block({}, -1.0, 1.0).Size()) + 1000 * 16), 0);
    ::close(fd);
    CFakeView view;
    player.AddView(&view);
    g_messages.Drain();
    for (int i = 0; i < 1003; ++i) player.Step();
    player.RemoveAllViews();
    ASSERT_EQ(view.frames.size(), 1003u);
    EXPECT_EQ(view.frames[999].values, (std::vector<double>{9990.0, 9991.0}));
    for (size_t i = 1000; i < 1003; ++i)
        EXPECT_EQ(view.frames[i].values, view.frames[999].values) << "frame " << i;
    EXPECT_EQ(player.GetFailedReads(), 3u);
    int reports = 0;
    for (const QueuedMessage& message : g_messages.Drain())
        reports += message.text.find("cannot read frame") != std::string::npos ? 1 : 0;
    EXPECT_EQ(reports, 1);
}

TEST_F(AnalogFileDeviceTest, EachLoopPlaysEveryFrameOnceWhateverTheViewsResetDoes)
{
    const std::string path = Save(Recording(1, 1, 10, 100.0, Block({"x"}, -1.0, 1.0)), "ten.qvd");
    SteppedPlayer player(false, "", path);
    ASSERT_TRUE(player.IsReady());
    ResettingView view(player);
    player.AddView(&view);
    // The GUI thread carries out the wrap's view reset a few frames after the wrap.
    for (int i = 0; i < 30; ++i) {
        player.Step();
        if (i % 10 == 3) player.Poll();
    }
    EXPECT_EQ(view.notes, (std::vector<std::string>{"reset", "reset"}));
    player.RemoveAllViews();
    std::vector<double> played;
    for (const CFrame& frame : view.frames) played.push_back(frame.values[0] / 10.0);
    std::vector<double> expected;
    for (int loop = 0; loop < 3; ++loop)
        for (int f = 0; f < 10; ++f) expected.push_back(f);
    EXPECT_EQ(played, expected);
    // A reset asked for by hand still rewinds.
    player.Step();
    player.Reset();
    EXPECT_EQ(player.GetCurrentFrame(), 0);
}

TEST_F(AnalogFileDeviceTest, DurationLimitOfALoopingPlayerCountsTheRecordedFrames)
{
    // 10 frames at 100 Hz: one loop lasts 0.1 s and the device time restarts with each.
    const std::string path = Save(Recording(1, 1, 10, 100.0, Block({"x"}, -1.0, 1.0)), "ten.qvd");
    SteppedPlayer player(false, "", path);
    ASSERT_TRUE(player.IsReady());
    auto* controller = dynamic_cast<CAnalogFile*>(player.GetRecorder());
    ASSERT_NE(controller, nullptr);
    int trial = 0;
    for (bool useThread : {false, true}) {
        for (double limit : {0.05, 0.25}) {
            SCOPED_TRACE(testing::Message() << (useThread ? "threaded " : "plain ") << limit);
            CountingOwner owner;
            controller->SetOwner(&owner);
            ASSERT_TRUE(
                player.SetupWriter(Dir().string(), "loop", ++trial, false, "", useThread, 100, 1));
            const wxString file = player.GetWriterFileName();
            player.SetRecordDuration(limit);
            player.Reset();
            ASSERT_TRUE(player.StartRecording());
            for (int i = 0; i < 100; ++i) player.Step();  // ten loops
            EXPECT_EQ(owner.requests.load(), 1);
            EXPECT_NEAR(controller->GetTime(), limit, 1e-9);
            ASSERT_TRUE(player.FinishRecording());
            ASSERT_TRUE(player.StopRecording());

            CAnalogReader reader;
            ASSERT_TRUE(reader.Open(file));
            const int64_t frames = reader.GetFrameCount();
            EXPECT_NEAR(double(frames), limit * 100.0, 1.0);
            for (int64_t f = 0; f < frames; ++f) {
                double value = -1.0;
                ASSERT_TRUE(reader.GetFrame(&value, 1, f));
                EXPECT_EQ(value, 10.0 * double(f % 10)) << "frame " << f;
            }
        }
    }
}

TEST_F(AnalogFileDeviceTest, EachLoopOfARecordedPlayerReplaysTheFilesMarkersAfterTheFramesPlayed)
{
    // 10 frames at 100 Hz with markers at frames 1 and 7.
    const Bytes block = Block({"x"}, -1.0, 1.0);
    Bytes bytes;
    bytes.Header(99887755, 100.0, 1, 1, 10, block.Size()).Append(block);
    for (int f = 0; f < 10; ++f) bytes.F64(10.0 * f);
    bytes.U64(2).Marker(4, 1, "one").Marker(5, 7, "seven");
    const std::string path = Save(bytes, "markers.qvd");
    int trial = 0;
    for (bool useThread : {false, true}) {
        // Loops played before the capture; a limit that ends the run mid-loop or none.
        for (int before : {0, 23}) {
            for (double limit : {0.0, 0.25}) {
                SCOPED_TRACE(testing::Message() << (useThread ? "threaded" : "plain") << ", "
                                                << before << " frames before, limit " << limit);
                SteppedPlayer player(false, "", path);
                ASSERT_TRUE(player.IsReady());
                for (int i = 0; i < before; ++i) player.Step();
                ASSERT_TRUE(player.SetupWriter(Dir().string(), "loops", ++trial, false, "",
                                               useThread, 100, 1));
                const wxString file = player.GetWriterFileName();
                player.SetRecordDuration(limit);
                player.Reset();  // as the capture start does
                ASSERT_TRUE(player.StartRecording());
                for (int i = 0; i < 35; ++i) player.Step();  // three loops and a half
                ASSERT_TRUE(player.FinishRecording());
                ASSERT_TRUE(player.StopRecording());

                CAnalogReader reader;
                ASSERT_TRUE(reader.Open(file));
                const int64_t frames = reader.GetFrameCount();
                EXPECT_EQ(frames, limit > 0.0 ? 26 : 35);
                std::vector<uint32_t> expectedFrames;
                std::vector<wxString> expectedLabels;
                for (uint32_t loop = 0; loop < 4; ++loop) {
                    for (const auto& [frame, label] :
                         {std::make_pair(1u, "one"), std::make_pair(7u, "seven")}) {
                        if (loop * 10 + frame >= frames) continue;
                        expectedFrames.push_back(loop * 10 + frame);
                        expectedLabels.push_back(label);
                    }
                }
                EXPECT_EQ(reader.GetMarkerFrames(), expectedFrames);
                EXPECT_EQ(reader.GetMarkerLabels(), expectedLabels);
                // A reset starts anew with the file's own markers.
                player.Reset();
                EXPECT_EQ(player.GetMarkerFrames(), (std::vector<uint32_t>{1, 7}));
                for (int i = 0; i < 25; ++i) player.Step();  // loops while nothing records
                EXPECT_EQ(player.GetMarkerFrames(), (std::vector<uint32_t>{1, 7}));
            }
        }
    }
}

namespace {

// Records frames of a device through its capture hooks and its plain writer;
// the path of the finished recording.
wxString RecordThroughTheDevice(CAnalogDevice& device, const std::string& folder,
                                const std::function<void()>& step)
{
    if (!device.SetupWriter(folder, "names", 1, false, "", false, 100, 1)) return wxString();
    const wxString path = device.GetWriterFileName();
    if (!device.StartRecording()) return wxString();
    for (int i = 0; i < 5; ++i) step();
    if (!device.FinishRecording() || !device.StopRecording()) return wxString();
    return path;
}

}  // namespace

TEST_F(AnalogFileDeviceTest, NamesWithAnEmptyAndAnOverlongOneStayOnTheirOwnChannels)
{
    CPlainDevice device(5);
    device.SetRate(100.0);
    const wxString overlong(3000, 'L');
    ASSERT_TRUE(device.SetChannelName(0, "Fx"));
    ASSERT_TRUE(device.SetChannelName(1, ""));  // cleared in the settings grid
    ASSERT_TRUE(device.SetChannelName(2, overlong));
    ASSERT_TRUE(device.SetChannelName(3, "Mz"));
    ASSERT_TRUE(device.SetChannelName(4, "EMG"));
    double base = 0.0;
    const wxString path =
        RecordThroughTheDevice(device, Dir().string(), [&] { device.Step(base++); });
    ASSERT_FALSE(path.empty());

    CAnalogFileDevice player(false, "", path);
    ASSERT_TRUE(player.IsReady()) << player.GetLoadError();
    ASSERT_EQ(player.GetChannelCount(), 5);
    EXPECT_EQ(player.GetChannelName(0), "Fx");
    EXPECT_EQ(player.GetChannelName(1), "Channel #1");  // its own default, not its neighbour's
    EXPECT_GT(player.GetChannelName(2).size(), 1000u);  // as much of it as the header holds
    EXPECT_TRUE(overlong.StartsWith(player.GetChannelName(2)));
    EXPECT_EQ(player.GetChannelName(3), "Mz");
    EXPECT_EQ(player.GetChannelName(4), "EMG");
}

TEST_F(AnalogFileDeviceTest, PlayerKeepsItsFilesChannelsWhateverAnotherFileLeftInTheSettings)
{
    const std::string first =
        Save(Recording(3, 1, 20, 100.0, Block({"a", "b", "c"}, -1.0, 1.0)), "first.qvd");
    const std::string second =
        Save(Recording(3, 1, 20, 100.0, Block({"Fx", "Fy", "Fz"}, -1.0, 1.0)), "second.qvd");
    const wxString configPath = Path("qv.cfg").string();
    {
        // The first file is played, a channel switched off and recoloured, a
        // parameter changed; closing it saves the player's group.
        CAnalogFileDevice player(false, "", first);
        ASSERT_TRUE(player.IsReady());
        player.ShowAllChannels();
        bool changed = false;
        const uint8_t off = 0;
        ASSERT_TRUE(player.SetParam(&off, 3 + 1, 1, PARAM_BOOL, &changed));
        ASSERT_TRUE(player.SetChannelColour(0, CColour(1, 2, 3)));
        const double seconds = 60.0;
        ASSERT_TRUE(player.SetParam(&seconds, 1, 1, PARAM_DOUBLE, &changed));
        wxFileConfig config("qv", "qv", configPath, "", wxCONFIG_USE_LOCAL_FILE);
        ASSERT_TRUE(player.SaveConfig(&config));
        ASSERT_TRUE(config.Flush());
    }
    wxFileConfig config("qv", "qv", configPath, "", wxCONFIG_USE_LOCAL_FILE);
    ASSERT_EQ(config.Read("/Analog/File_device/channel_name_1"), "b");
    SteppedPlayer player(false, "", second);
    ASSERT_TRUE(player.IsReady());
    player.ShowAllChannels();
    ASSERT_TRUE(player.LoadConfig(&config));
    EXPECT_EQ(player.GetChannelName(0), "Fx");
    EXPECT_EQ(player.GetChannelName(1), "Fy");
    EXPECT_EQ(player.GetChannelName(2), "Fz");
    EXPECT_EQ(player.GetVisibleList(), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(player.GetChannelColour(0), CColour(255, 0, 0));  // the palette's
    int count = 0;
    int type = 0;
    EXPECT_EQ(*static_cast<double*>(player.GetParam(1, &count, &type)), 60.0)
        << "the player's own settings are still restored";

    // A recording of the player names its channels as its file does.
    const wxString path = RecordThroughTheDevice(player, Dir().string(), [&] { player.Step(); });
    ASSERT_FALSE(path.empty());
    CAnalogReader reader;
    ASSERT_TRUE(reader.Open(path)) << reader.GetError();
    EXPECT_EQ(reader.GetChannelNames(), (std::vector<wxString>{"Fx", "Fy", "Fz"}));
}

TEST_F(AnalogFileDeviceTest, OutOfRangeStoredLevelKeepsTheDefaultInsteadOfWrapping)
{
    const std::string path = Save(Recording(2, 1, 20, 100.0, Block({}, -1.0, 1.0)), "p.qvd");
    const wxString configPath = Path("qv.cfg").string();
    for (const char* stored : {"4294967297", "-4294967295", "9223372036854775807", "3"}) {
        wxFileConfig config("qv", "qv", configPath, "", wxCONFIG_USE_LOCAL_FILE);
        config.Write("/Analog/File_device/CP Stat Level", wxString(stored));
        CAnalogFileDevice player(false, "", path);
        ASSERT_TRUE(player.IsReady());
        int count = 0;
        int type = 0;
        const int32_t before = *static_cast<int32_t*>(player.GetParam(2, &count, &type));
        ASSERT_NE(before, 1);
        ASSERT_TRUE(player.LoadConfig(&config));
        const int32_t level = *static_cast<int32_t*>(player.GetParam(2, &count, &type));
        EXPECT_EQ(level, std::string(stored) == "3" ? 3 : before) << stored;
    }
}

namespace {

const std::string kEllipsis = "\xE2\x80\xA6";

// Names of n channels: the devices' defaults, or a long shared beginning, a long
// shared end, the number in the middle, or characters of several bytes.
std::vector<wxString> NameSet(int set, int n)
{
    std::vector<wxString> names;
    for (int k = 0; k < n; ++k) {
        const std::string number = std::to_string(k);
        switch (set) {
            case 0:
                names.push_back(DefaultChannelName(k));
                break;
            case 1:
                names.push_back("Subject 12 left force plate vertical channel " + number);
                break;
            case 2:
                names.push_back(number + " : vertical load of the left force plate, subject 12");
                break;
            case 3:
                names.push_back("Left plate, sensor " + number + ", vertical load in newtons");
                break;
            default:
                names.push_back(wxString::FromUTF8("Capteur \xC3\xA9tendu n\xC2\xB0" + number +
                                                   " \xE2\x86\x92 pied gauche"));
        }
    }
    return names;
}

// Every channel reads back apart from the others: its own name, that name
// shortened around an ellipsis keeping both ends, or (left out, and counted)
// its default name. The number of names read back as their default.
size_t ExpectNamesApart(const std::vector<wxString>& names, const std::vector<wxString>& read)
{
    size_t leftOut = 0;
    std::set<wxString> seen;
    for (size_t k = 0; k < names.size(); ++k) {
        const std::string original = names[k].utf8_string();
        const std::string got = read[k].utf8_string();
        EXPECT_TRUE(seen.insert(read[k]).second) << "channel " << k << " reads as another: " << got;
        if (got == original) continue;
        if (read[k] == DefaultChannelName(int(k))) {
            ++leftOut;
            continue;
        }
        EXPECT_LT(got.size(), original.size()) << got;
        // The pieces between ellipses are pieces of the name, in order; a
        // piece without an ellipsis before it begins the name, the last after an
        // ellipsis ends it (a name without one is its own beginning).
        size_t from = 0;
        size_t at = 0;
        while (at <= got.size()) {
            const size_t cut = std::min(got.find(kEllipsis, at), got.size());
            const std::string piece = got.substr(at, cut - at);
            const size_t found = at == 0 ? (original.rfind(piece, 0) == 0 ? 0 : std::string::npos)
                                         : original.find(piece, from);
            if (found == std::string::npos) {
                ADD_FAILURE() << got << " is no shortened form of " << original;
                break;
            }
            if (cut == got.size() && at > 0 && !piece.empty()) {
                EXPECT_EQ(original.compare(original.size() - piece.size(), piece.size(), piece), 0)
                    << got << " of " << original;
            }
            from = found + piece.size();
            at = cut + kEllipsis.size();
        }
        EXPECT_FALSE(read[k].empty());
    }
    return leftOut;
}

}  // namespace

TEST_F(AnalogFileDeviceTest, WideRecordingsPlayWithEveryNameApartThroughTheCapturePath)
{
    // The block holds 2047 bytes: from about 118 channels the names no longer
    // fit whole, from about 330 not even as empty records.
    for (int n : {118, 150, 200, 256, 257, 320, 336, 500, 1024}) {
        for (int set = 0; set < 5; ++set) {
            SCOPED_TRACE(testing::Message() << n << " channels, names " << set);
            CPlainDevice device(n);
            device.SetRate(100.0);
            const std::vector<wxString> names = NameSet(set, n);
            for (int k = 0; k < n; ++k) ASSERT_TRUE(device.SetChannelName(k, names[size_t(k)]));
            g_messages.Drain();
            double base = 0.0;
            const wxString path =
                RecordThroughTheDevice(device, Dir().string(), [&] { device.Step(base++); });
            ASSERT_FALSE(path.empty());
            std::vector<std::string> said;
            for (const QueuedMessage& message : g_messages.Drain()) said.push_back(message.text);

            SteppedPlayer player(false, "", path);
            ASSERT_TRUE(player.IsReady()) << player.GetLoadError();
            ASSERT_EQ(player.GetChannelCount(), n);
            std::vector<wxString> read;
            for (int k = 0; k < n; ++k) read.push_back(player.GetChannelName(k));
            const size_t leftOut = ExpectNamesApart(names, read);
            if (set == 0) {
                EXPECT_EQ(read, names) << "default names read back whole";
            }
            if (leftOut == 0) {
                EXPECT_TRUE(said.empty()) << said[0];
            } else {
                ASSERT_EQ(said.size(), 1u);
                EXPECT_NE(
                    said[0].find("<REC> " + path.ToStdString() + " : " + std::to_string(leftOut) +
                                 " of " + std::to_string(n) + " channel names left out"),
                    std::string::npos)
                    << said[0];
            }
            // Every value of every frame on its own channel.
            CFakeView view;
            player.AddView(&view);
            for (int f = 0; f < 5; ++f) player.Step();
            player.RemoveAllViews();
            ASSERT_EQ(view.frames.size(), 5u);
            for (int f = 0; f < 5; ++f) {
                ASSERT_EQ(view.frames[size_t(f)].values.size(), size_t(n));
                for (int k = 0; k < n; ++k)
                    ASSERT_EQ(view.frames[size_t(f)].values[size_t(k)], f + k) << f << " " << k;
            }
        }
    }
}

TEST_F(AnalogFileDeviceTest, OscSourceOfUpTo1024ChannelsPlaysBackWithEveryNameAndValue)
{
    // The widest device there is, recorded through its capture hooks with the
    // names it gives its channels: every one reads back as it was, values too.
    osctest::SettingsGuard settings;
    osctest::ConsoleCapture console;
    osctest::Peer source;
    SetOscClientSettings(osctest::LoopbackClient(source.Port(), 0));
    for (int n : {118, 150, 256, 320, kOscMaxChannels}) {
        SCOPED_TRACE(testing::Message() << n << " OSC channels");
        osctest::SteppedOscDevice device;
        osctest::Received request;
        ASSERT_TRUE(source.Next(request));
        OscMessage message("/data");
        for (int k = 0; k < n; ++k) message.PushDouble(k + 0.25);
        ASSERT_TRUE(source.Send(device.GetBoundListeningPort(), message));
        ASSERT_TRUE(device.PollUntil([&] { return device.ChannelCount() == n; }));
        g_messages.Drain();
        const wxString path =
            RecordThroughTheDevice(device, Dir().string(), [&] { device.Step(); });
        ASSERT_FALSE(path.empty());
        EXPECT_TRUE(g_messages.Drain().empty());

        SteppedPlayer player(false, "", path);
        ASSERT_TRUE(player.IsReady()) << player.GetLoadError();
        ASSERT_EQ(player.GetChannelCount(), n);
        for (int k = 0; k < n; ++k) {
            ASSERT_EQ(player.GetChannelName(k), device.GetChannelName(k));
            ASSERT_EQ(player.GetChannelName(k), DefaultChannelName(k));
        }
        CFakeView view;
        player.AddView(&view);
        player.Step();
        player.RemoveAllViews();
        ASSERT_EQ(view.frames.size(), 1u);
        for (int k = 0; k < n; ++k) ASSERT_EQ(view.frames[0].values[size_t(k)], k + 0.25);
        device.Close();
    }
}
