#include "analog/analogWriter.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <clocale>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "analog/analogReader.h"
#include "analog/analogThreadWriter.h"
#include "analog/formatTime.h"
#include "analog/recordBytes.h"
#include "analog/recordFormat.h"
#include "analog/textExport.h"
#include "support/closeFault.h"
#include "support/localeGuard.h"
#include "support/logCapture.h"
#include "support/refusingDisk.h"
#include "support/syncLog.h"
#include "support/tempDir.h"

namespace {

const double kFramesA[3][3] = {{0.5, -1.25, 3.0}, {1e-7, 2.5e10, -0.0}, {42.0, 0.125, -7.75}};

RecordHeaderInfo AnalogInfo(int channels)
{
    RecordHeaderInfo info;
    info.deviceKey = "test_device";
    for (int i = 0; i < channels; ++i)
        info.channelNames.push_back(wxString::Format("Channel #%d", i));
    info.isTracker = false;
    info.deviceType = 1;
    info.unitScale = 0.001;
    info.minValue = -10.0;
    info.maxValue = 10.0;
    return info;
}

Bytes AnalogBlock(int channels)
{
    Bytes block;
    block.PString("test_device");
    for (int i = 0; i < channels; ++i) block.PString("Channel #" + std::to_string(i));
    block.PBool(false).PInt(1).PDouble(0.001).PDouble(-10.0).PDouble(10.0);
    return block;
}

RecordMarkers SomeMarkers()
{
    RecordMarkers markers;
    markers.codes = {7, 0xFFFFFFF0u};
    markers.frames = {1, 0x80000000u};  // the second is stored as a negative i64
    markers.labels = {"E 1", ""};
    return markers;
}

class AnalogWriterTest : public TempDirTest {
protected:
    std::string File(const std::string& name) const { return Path(name).string(); }

    // Opens, writes the block of info, the frames of kFramesA and finishes.
    void WriteThreeFrames(CAnalogWriter& writer, const std::string& path, bool exportText)
    {
        ASSERT_TRUE(writer.OpenFile(path, 3, 1, 100.0, exportText, Dir().string()));
        HeaderPropertyBuffer block;
        const uint64_t length = BuildHeaderProperties(AnalogInfo(3), block);
        ASSERT_TRUE(writer.WriteProperties(block.data(), length));
        ASSERT_TRUE(writer.Start());
        for (const auto& frame : kFramesA) writer.WriteFrame(frame, 3);
        const RecordMarkers markers = SomeMarkers();
        ASSERT_TRUE(writer.Finish(&markers));
        ASSERT_TRUE(writer.Close());
    }
};

class AnalogWriterThreads : public TempDirTest {};

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The end of a recording is told once: the file, then the note that says
// where it ends and why.
void ExpectSaidOnce(const CAnalogWriter& writer, const std::vector<std::string>& messages,
                    const std::string& path, const std::string& note)
{
    EXPECT_EQ(writer.GetEndNote().ToStdString(), note);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(EndsWith(messages[0], "<REC> Error writing analog file : " + path + " : " + note))
        << messages[0];
}

}  // namespace

TEST_F(AnalogWriterTest, ThreeChannelRecordingMatchesTheLayoutByteForByte)
{
    const std::string path = File("capture.qvd");
    CAnalogWriter writer;
    WriteThreeFrames(writer, path, false);

    const Bytes block = AnalogBlock(3);
    Bytes expected;
    expected.Header(99887755, 100.0, 3, 1, 3, block.Size()).Append(block);
    for (const auto& frame : kFramesA) expected.F64(frame[0]).F64(frame[1]).F64(frame[2]);
    expected.U64(2).Marker(7, 1, "E 1").Marker(0xFFFFFFF0u, -2147483648LL, "");
    EXPECT_EQ(ReadFileBytes(path), expected.Data());
    EXPECT_EQ(writer.GetFrameCount(), 3);
    EXPECT_TRUE(writer.GetFileName().empty());
}

TEST_F(AnalogWriterTest, TwoSensorTrackerHas112ByteFramesAndOneNamePerSensor)
{
    RecordHeaderInfo info;
    info.deviceKey = "test_tracker";
    info.channelNames = {"Tracker #0", "Tracker #1"};
    info.isTracker = true;
    info.deviceType = 1;
    info.unitScale = 1.0;
    info.minValue = -2.0;
    info.maxValue = 2.0;
    HeaderPropertyBuffer block;
    const uint64_t length = BuildHeaderProperties(info, block);

    const std::string path = File("tracker.qvd");
    CAnalogWriter writer;
    ASSERT_TRUE(writer.OpenFile(path, 2, 7, 50.0, false, ""));
    ASSERT_TRUE(writer.WriteProperties(block.data(), length));
    double frame[14];
    for (int i = 0; i < 14; ++i) frame[i] = i * 0.5 - 1.0;
    writer.WriteFrame(frame, 14);
    writer.WriteFrame(frame, 13);  // a frame of the wrong size is refused
    ASSERT_TRUE(writer.Finish(nullptr));
    ASSERT_TRUE(writer.Close());

    Bytes expectedBlock;
    expectedBlock.PString("test_tracker").PString("Tracker #0").PString("Tracker #1");
    expectedBlock.PBool(true).PInt(1).PDouble(1.0).PDouble(-2.0).PDouble(2.0);
    Bytes expected;
    expected.Header(99887755, 50.0, 2, 7, 1, expectedBlock.Size()).Append(expectedBlock);
    for (double value : frame) expected.F64(value);
    expected.U64(0);
    EXPECT_EQ(ReadFileBytes(path), expected.Data());
    EXPECT_EQ(expected.Size(), 40 + expectedBlock.Size() + 112 + 8);
    EXPECT_EQ(writer.GetRefusedFrames(), 1u);
    EXPECT_EQ(writer.GetFailedFrames(), 0u);
}

TEST_F(AnalogWriterTest, PropertyBlockKeepsEveryNameInItsOwnRecord)
{
    HeaderPropertyBuffer buffer;
    uint64_t position = 2045;
    EXPECT_TRUE(AddBoolProperty(buffer.data(), &position, true));
    position = 2046;
    EXPECT_FALSE(AddBoolProperty(buffer.data(), &position, true));
    position = 2042;
    EXPECT_TRUE(AddIntProperty(buffer.data(), &position, 1));
    position = 2043;
    EXPECT_FALSE(AddIntProperty(buffer.data(), &position, 1));
    position = 2038;
    EXPECT_TRUE(AddDoubleProperty(buffer.data(), &position, 1.0));
    position = 2039;
    EXPECT_FALSE(AddDoubleProperty(buffer.data(), &position, 1.0));

    // Readers take string k after the key for channel k - 1: a name too long
    // for the block is shortened, never left out while the next one goes in,
    // and the records after the names always fit. Key 9 bytes, two name
    // prefixes 12, the tail 34: 1992 bytes of name text, "b" keeps its 1.
    RecordHeaderInfo info;
    info.deviceKey = "key";
    info.isTracker = true;
    const auto tail = [](Bytes& bytes) {
        bytes.PBool(true).PInt(0).PDouble(1.0).PDouble(-1.0).PDouble(1.0);
    };
    struct Case {
        std::vector<wxString> names;
        std::vector<std::string> written;
    };
    const std::string e = "\xC3\xA9";  // two bytes
    std::string accents;
    for (int i = 0; i < 1000; ++i) accents += e;
    const Case cases[] = {
        {{wxString(2030, 'a'), "b"}, {std::string(1991, 'a'), "b"}},
        {{"b", wxString(2030, 'a')}, {"b", std::string(1991, 'a')}},
        {{wxString(2100, 'x'), wxString::FromUTF8(e + "t" + e)},
         {std::string(1987, 'x'), e + "t" + e}},
        // Cut on a character boundary: 1991 bytes would split the 996th accent.
        {{wxString::FromUTF8(accents), "b"}, {accents.substr(0, 1990), "b"}},
        // Two long names share the room; the short one stays whole.
        {{wxString(1500, 'p'), "", wxString(1500, 'q')},
         {std::string(993, 'p'), "", std::string(993, 'q')}},
        {{"left", "", "right"}, {"left", "", "right"}},
    };
    for (const Case& c : cases) {
        info.channelNames = c.names;
        const uint64_t length = BuildHeaderProperties(info, buffer);
        Bytes expected;
        expected.PString("key");
        for (const std::string& name : c.written) expected.PString(name);
        tail(expected);
        ASSERT_EQ(length, expected.Size()) << c.written[0].size();
        EXPECT_LE(length, 2047u);
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + long(length)),
                  expected.Data());
    }
}

TEST_F(AnalogWriterTest, RecordingFinishedWithoutFramesHasItsTrailerRightAfterTheBlock)
{
    const std::string path = File("empty.qvd");
    CAnalogWriter writer;
    ASSERT_TRUE(writer.OpenFile(path, 3, 1, 100.0, false, ""));
    HeaderPropertyBuffer block;
    const uint64_t length = BuildHeaderProperties(AnalogInfo(3), block);
    ASSERT_TRUE(writer.WriteProperties(block.data(), length));
    const RecordMarkers markers = SomeMarkers();
    ASSERT_TRUE(writer.Finish(&markers));
    // A second finish (or trailer) leaves the file as it is.
    ASSERT_TRUE(writer.Finish(&markers));
    ASSERT_TRUE(writer.WriteMarkers(&markers));
    ASSERT_TRUE(writer.Close());
    ASSERT_TRUE(writer.Close());

    Bytes expected;
    expected.Header(99887755, 100.0, 3, 1, 0, AnalogBlock(3).Size()).Append(AnalogBlock(3));
    ASSERT_EQ(expected.Size(), 40 + length);
    expected.U64(2).Marker(7, 1, "E 1").Marker(0xFFFFFFF0u, -2147483648LL, "");
    EXPECT_EQ(ReadFileBytes(path), expected.Data());
}

TEST_F(AnalogWriterTest, TextExportLinesWithHeaderTimeColumnAndEvents)
{
    const std::string path = File("trial_0007.qvd");
    CAnalogWriter writer;
    writer.SetTextExtension(".cp");
    WriteThreeFrames(writer, path, true);
    EXPECT_EQ(writer.GetTextFileName(), wxString(File("trial_0007.cp")));
    const std::string expected = "# " + path +
                                 " :  channels = 3 dim = 1 rate = 100\r\n"
                                 "0\t0.5\t-1.25\t3\r\n"
                                 "0.01\t1e-07\t2.5e+10\t-0\r\n"
                                 "0.02\t42\t0.125\t-7.75\r\n"
                                 "event[0]\t1\t7\tE 1\r\n"
                                 "event[1]\t-2147483648\t4294967280\t\r\n";
    EXPECT_EQ(ReadFileText(File("trial_0007.cp")), expected);

    // A label's TAB, CR and LF would break its event line: the export has blanks
    // there, the recording keeps the label as it is.
    RecordMarkers markers;
    markers.codes = {1, 2};
    markers.frames = {0, 2};
    markers.labels = {"a\tb", "c\r\nd\n"};
    const std::string labelled = File("labels.qvd");
    ASSERT_TRUE(writer.OpenFile(labelled, 3, 1, 100.0, true, Dir().string()));
    for (const auto& frame : kFramesA) writer.WriteFrame(frame, 3);
    ASSERT_TRUE(writer.Finish(&markers));
    ASSERT_TRUE(writer.Close());
    const std::string text = ReadFileText(File("labels.cp"));
    EXPECT_EQ(text.substr(text.find("event[0]")),
              "event[0]\t0\t1\ta b\r\nevent[1]\t2\t2\tc  d \r\n");
    CAnalogReader reader;
    ASSERT_TRUE(reader.Open(labelled));
    EXPECT_EQ(reader.GetMarkerLabels(), markers.labels);
}

TEST_F(AnalogWriterTest, TextExportWithoutHeaderOrTimeStartsWithTheValues)
{
    g_Use_Text_Header = false;
    g_Use_Text_Time = false;
    const std::string path = File("plain.qvd");
    CAnalogWriter writer;
    WriteThreeFrames(writer, path, true);
    g_Use_Text_Header = true;
    g_Use_Text_Time = true;
    EXPECT_EQ(ReadFileText(File("plain.txt")),
              "0.5\t-1.25\t3\r\n"
              "1e-07\t2.5e+10\t-0\r\n"
              "42\t0.125\t-7.75\r\n"
              "event[0]\t1\t7\tE 1\r\n"
              "event[1]\t-2147483648\t4294967280\t\r\n");
}

TEST_F(AnalogWriterTest, TimeColumnAt50HzAndNumbersIgnoreTheProcessLocale)
{
    // A locale with a decimal comma, when the system has one.
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = previous ? previous : "C";
    const bool hasComma =
        std::setlocale(LC_NUMERIC, "fr_FR.UTF-8") || std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    const std::string path = File("fifty.qvd");
    CAnalogWriter writer;
    ASSERT_TRUE(writer.OpenFile(path, 1, 1, 50.0, true, Dir().string()));
    ASSERT_TRUE(writer.WriteProperties(nullptr, 0));
    for (int i = 0; i < 4; ++i) {
        const double value = 1.5 + i;
        writer.WriteFrame(&value, 1);
    }
    ASSERT_TRUE(writer.Finish(nullptr));
    // Streamed: the lines are on disk before the files are closed.
    const std::string beforeClose = ReadFileText(File("fifty.txt"));
    ASSERT_TRUE(writer.Close());
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(ReadFileText(File("fifty.txt")), beforeClose);
    EXPECT_EQ(beforeClose, "# " + path +
                               " :  channels = 1 dim = 1 rate = 50\r\n"
                               "0\t1.5\r\n0.02\t2.5\r\n0.04\t3.5\r\n0.06\t4.5\r\n");
    if (!hasComma)
        GTEST_LOG_(INFO) << "no decimal-comma locale installed; checked in the C locale only";
}

TEST_F(AnalogWriterTest, NumbersAreWrittenInTheFewestDigitsThatReadBackExactly)
{
    const auto text = [](double value) {
        char out[kNumberTextMax + 1];
        char* end = FormatNumberShortest(out, out + kNumberTextMax, value);
        return std::string(out, end);
    };
    const auto readsBack = [](const std::string& written, double value) {
        double read = 0.0;
        const auto result = std::from_chars(written.data(), written.data() + written.size(), read);
        return result.ec == std::errc() && result.ptr == written.data() + written.size() &&
               std::memcmp(&read, &value, sizeof read) == 0;
    };
    std::mt19937_64 random(20261208);  // fixed seed
    std::uniform_int_distribution<uint64_t> bits;
    std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
    std::uniform_int_distribution<int> exponent(-12, 12);
    for (int i = 0; i < 20000; ++i) {
        // Any double but a NaN, and the values a recording usually holds.
        uint64_t pattern = bits(random);
        double value = 0.0;
        std::memcpy(&value, &pattern, sizeof value);
        if (std::isnan(value)) continue;
        if (i % 2 == 0) value = mantissa(random) * std::pow(10.0, exponent(random));
        const std::string written = text(value);
        ASSERT_TRUE(readsBack(written, value)) << "seed 20261208: " << written;
        ASSERT_LE(written.size(), kNumberTextMax);
        ASSERT_EQ(written.find(','), std::string::npos);
        // Never longer than the 17 significant digits that always read back.
        char full[40];
        std::snprintf(full, sizeof full, "%.17g", value);
        ASSERT_LE(written.size(), std::strlen(full)) << written << " against " << full;
    }
    // Values "%g" wrote rounded or alike: each now reads back as itself.
    const std::pair<double, const char*> cases[] = {
        {1000001000.0, "1000001000"},
        {100.0001, "100.0001"},
        {1000.001, "1000.001"},
        {1.0 / 3.0, "0.3333333333333333"},
        {0.1 + 0.2, "0.30000000000000004"},
        {123456.7, "123456.7"},
        {-0.0, "-0"},
        {0.0, "0"},
        {0.02, "0.02"},
        {1.5, "1.5"},
        {1e6, "1e+06"},
        {1e-7, "1e-07"},
        {2.5e10, "2.5e+10"},
        {5e-324, "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {1.0 / 0.0, "inf"},
        {-1.0 / 0.0, "-inf"},
        {std::nan(""), "nan"}};
    for (const auto& c : cases) EXPECT_EQ(text(c.first), c.second);
}

TEST_F(AnalogWriterTest, FileNamesFollowTheCaptureNaming)
{
    EXPECT_EQ(MakeRecordFileName("/data", "subject", "test_device", 7),
              "/data/subjecttest_device_0007.qvd");
    EXPECT_EQ(MakeRecordFileName("/data", "s", "dev", 12345), "/data/sdev_12345.qvd");
    EXPECT_EQ(MakeTextFileName("/data/sdev_0001.qvd", "/export", ""), "/export/sdev_0001.txt");
}

TEST_F(AnalogWriterTest, ExistingFilesAreReplacedAndAMissingExportFolderMeansNoExport)
{
    const std::string path = File("again.qvd");
    Bytes junk;
    junk.Raw(std::string(5000, 'j'));
    junk.Save(path);
    CAnalogWriter writer;
    ASSERT_TRUE(writer.OpenFile(path, 1, 1, 10.0, true, File("no-such-folder")));
    EXPECT_TRUE(writer.GetTextFileName().empty());
    ASSERT_TRUE(writer.Finish(nullptr));
    ASSERT_TRUE(writer.Close());
    EXPECT_EQ(ReadFileBytes(path).size(), 48u);
}

TEST_F(AnalogWriterTest, UncreatableFileFailsWithTheWriterClosed)
{
    CAnalogWriter writer;
    EXPECT_FALSE(writer.OpenFile(File("missing/dir/x.qvd"), 1, 1, 10.0, false, ""));
    EXPECT_FALSE(writer.IsOpen());
    // A folder that is a regular file fails even for root; the message names the reason.
    const std::string plain = File("plain");
    FILE* plainFile = std::fopen(plain.c_str(), "w");
    ASSERT_NE(plainFile, nullptr);
    std::fclose(plainFile);
    std::vector<std::string> messages;
    {
        CLogCapture log;
        EXPECT_FALSE(writer.OpenFile(plain + "/x.qvd", 1, 1, 10.0, false, ""));
        messages = log.Messages();
    }
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("Error creating analog file : " + plain + "/x.qvd : " +
                               std::strerror(ENOTDIR)),
              std::string::npos)
        << messages[0];
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_FALSE(writer.IsCreated());
    EXPECT_FALSE(writer.WriteProperties(nullptr, 0));
    EXPECT_FALSE(writer.WriteMarkers(nullptr));
}

// The writers of both kinds, by name, as the capture settings choose them.
std::unique_ptr<CAnalogWriter> MakeWriter(bool useThread)
{
    if (useThread) return std::make_unique<CAnalogThreadWriter>(1, 4000);  // room for every frame
    return std::make_unique<CAnalogWriter>();
}

// A writer whose queue, when it has one, holds every frame of the recording:
// what the writer thread does with them is the matter, not how fast.
std::unique_ptr<CAnalogWriter> MakeWriterFor(bool useThread, uint64_t frames)
{
    if (useThread) return std::make_unique<CAnalogThreadWriter>(1, frames + 1);  // one slot spare
    return std::make_unique<CAnalogWriter>();
}

// Frame f of a recording of channels values: f x channels + c + 0.5.
std::vector<double> NumberedFrame(int frame, int channels)
{
    std::vector<double> values(static_cast<size_t>(channels));
    for (int c = 0; c < channels; ++c) values[size_t(c)] = frame * channels + c + 0.5;
    return values;
}

Bytes NumberedFrames(int frames, int channels)
{
    Bytes bytes;
    for (int f = 0; f < frames; ++f)
        for (double value : NumberedFrame(f, channels)) bytes.F64(value);
    return bytes;
}

TEST_F(AnalogWriterTest, WriteThatFailsEndsTheRecordingAsAFinishedFileOfTheFramesOnDisk)
{
    // A file-size limit refuses writes as a full disk does. Eight channels: a
    // frame (64 bytes) is larger than the trailer (38 bytes), so the limit
    // chooses exactly where the frames end and the trailer still fits.
    constexpr int kChannels = 8;
    constexpr int kFrames = 3000;  // about three batches of the plain writer
    RecordMarkers markers;
    markers.codes = {3};
    markers.frames = {0};
    markers.labels = {"go!!!!"};
    const size_t trailerBytes = EncodeMarkerTrailer(&markers).size();
    ASSERT_LT(trailerBytes, size_t(kChannels * 8));
    for (bool useThread : {false, true}) {
        for (int kept : {0, 1500}) {  // the first frame fails; a batch after the first fails
            SCOPED_TRACE(testing::Message() << (useThread ? "threaded " : "plain ") << kept);
            const std::string path =
                File(std::string(useThread ? "t" : "p") + std::to_string(kept) + ".qvd");
            auto writer = MakeWriter(useThread);
            ASSERT_TRUE(writer->OpenFile(path, kChannels, 1, 100.0, false, ""));
            ASSERT_TRUE(writer->WriteProperties(nullptr, 0));
            ASSERT_TRUE(writer->Start());
            std::vector<std::string> messages;
            int firstRefused = -1;  // once the recording ended, no frame is taken
            int taken = 0;
            {
                CFileSizeLimit limit(40 + kept * kChannels * 8 + trailerBytes);
                ASSERT_TRUE(limit.IsSet());
                CLogCapture log;
                for (int f = 0; f < kFrames; ++f) {
                    if (writer->WriteFrame(NumberedFrame(f, kChannels).data(), kChannels) != 0) {
                        ++taken;
                        EXPECT_LT(firstRefused, 0) << "frame " << f << " taken after the end";
                    } else if (firstRefused < 0) {
                        firstRefused = f;
                    }
                }
                ASSERT_TRUE(writer->Finish(&markers));
                messages = log.Messages();
            }
            ASSERT_TRUE(writer->Close());
            EXPECT_TRUE(writer->HasEnded());
            EXPECT_EQ(writer->GetFramesOnDisk(), kept);
            EXPECT_EQ(writer->GetFrameCount(), kept);
            EXPECT_EQ(writer->GetFailedFrames(), uint64_t(kFrames - kept));
            if (!useThread) {  // the plain writer meets the limit in the recording thread
                EXPECT_GT(firstRefused, kept);
                EXPECT_EQ(taken, firstRefused);
            }

            // Count, the frames on disk and the trailer, as the layout has them.
            Bytes expected;
            expected.Header(99887755, 100.0, kChannels, 1, kept, 0)
                .Append(NumberedFrames(kept, kChannels));
            expected.U64(1).Marker(3, 0, "go!!!!");
            EXPECT_EQ(ReadFileBytes(path), expected.Data());
            if (kept > 0) {
                CAnalogReader reader;
                ASSERT_TRUE(reader.Open(path));
                EXPECT_EQ(reader.GetFrameCount(), kept);
                std::vector<double> frame(kChannels);
                ASSERT_TRUE(reader.GetFrame(frame.data(), kChannels, kept - 1));
                EXPECT_EQ(frame, NumberedFrame(kept - 1, kChannels));
                EXPECT_EQ(reader.GetMarkerLabels(), std::vector<wxString>{"go!!!!"});
            }
            // Said once: the file, the reason and the time kept.
            const std::string note = "recording cut at " + FormatTime(kept / 100.0).ToStdString() +
                                     " (" + std::to_string(kept) +
                                     " frames kept) : " + std::strerror(EFBIG);
            ExpectSaidOnce(*writer, messages, path, note);
        }
    }
}

TEST_F(AnalogWriterTest, RecordingRemovedWhileItRanIsSaidAtItsFinish)
{
    // Its name deleted, its folder deleted, its name given to another file; and one left alone.
    enum class Fate { Kept, Unlinked, FolderRemoved, Replaced };
    for (bool useThread : {false, true}) {
        for (Fate fate : {Fate::Kept, Fate::Unlinked, Fate::FolderRemoved, Fate::Replaced}) {
            SCOPED_TRACE(testing::Message() << (useThread ? "threaded " : "plain ") << int(fate));
            const std::filesystem::path folder = Path("trial" + std::to_string(int(fate)));
            std::filesystem::remove_all(folder);
            std::filesystem::create_directories(folder);
            const std::string path = (folder / "rec.qvd").string();
            auto writer = MakeWriter(useThread);
            ASSERT_TRUE(writer->OpenFile(path, 2, 1, 100.0, false, ""));
            ASSERT_TRUE(writer->WriteProperties(nullptr, 0));
            ASSERT_TRUE(writer->Start());
            for (int f = 0; f < 10; ++f) writer->WriteFrame(NumberedFrame(f, 2).data(), 2);
            if (fate == Fate::Unlinked) std::filesystem::remove(path);
            if (fate == Fate::FolderRemoved) std::filesystem::remove_all(folder);
            if (fate == Fate::Replaced) {
                std::filesystem::remove(path);
                std::ofstream(path) << "another";
            }
            for (int f = 10; f < 20; ++f) writer->WriteFrame(NumberedFrame(f, 2).data(), 2);
            const RecordMarkers markers = SomeMarkers();
            std::vector<std::string> messages;
            {
                CLogCapture log;
                writer->Finish(&markers);
                messages = log.Messages();
            }
            EXPECT_TRUE(writer->Close());
            if (fate == Fate::Kept) {
                EXPECT_FALSE(writer->IsRemoved());
                EXPECT_TRUE(messages.empty());
                continue;
            }
            EXPECT_TRUE(writer->IsRemoved());
            ExpectSaidOnce(*writer, messages, path, "the recording was removed while it ran");
        }
        // The export's folder goes, the recording stays.
        const std::filesystem::path exportFolder = Path("export");
        std::filesystem::create_directories(exportFolder);
        const std::string path = File(useThread ? "tkept.qvd" : "pkept.qvd");
        auto writer = MakeWriter(useThread);
        ASSERT_TRUE(writer->OpenFile(path, 2, 1, 100.0, true, exportFolder.string()));
        ASSERT_TRUE(writer->WriteProperties(nullptr, 0));
        ASSERT_TRUE(writer->Start());
        for (int f = 0; f < 10; ++f) writer->WriteFrame(NumberedFrame(f, 2).data(), 2);
        std::filesystem::remove_all(exportFolder);
        const RecordMarkers markers = SomeMarkers();
        CLogCapture log;
        EXPECT_TRUE(writer->Finish(&markers));
        writer->Close();
        EXPECT_FALSE(writer->IsRemoved());
        EXPECT_EQ(writer->GetEndNote(), "text export removed while it ran");
        ASSERT_EQ(log.Messages().size(), 1u);
        EXPECT_TRUE(EndsWith(log.Messages()[0], "<REC> Error writing text file : " +
                                                    writer->GetTextFileName().ToStdString() +
                                                    " : text export removed while it ran"))
            << log.Messages()[0];
    }
}

TEST_F(AnalogWriterTest, TextExportCutByAFullDiskEndsAtAWholeLineAndSaysWhereOnce)
{
    // Eight channels at 100 Hz of small negative numbers: a text line (about 100
    // bytes) costs more than a frame (64), so the export meets the limit first,
    // at whatever place in a line the limits fall.
    constexpr int kChannels = 8;
    const auto frameOf = [](int f) {
        std::vector<double> values = NumberedFrame(f, kChannels);
        for (double& value : values) value *= -1e-7;
        return values;
    };
    constexpr int kFrames = 1500;
    const std::filesystem::path exportFolder = Path("export");
    std::filesystem::create_directories(exportFolder);
    RecordMarkers markers;
    markers.codes = {1, 2};
    markers.frames = {0, 5};
    markers.labels = {"start", "five"};
    for (bool useThread : {false, true}) {
        int cutExports = 0;
        for (rlim_t limit : {rlim_t(4000), rlim_t(20011), rlim_t(40000), rlim_t(64007), rlim_t(120007), rlim_t(200000)}) {
            SCOPED_TRACE(testing::Message() << (useThread ? "threaded " : "plain ") << limit);
            const std::string path =
                File(std::string(useThread ? "t" : "p") + std::to_string(limit) + ".qvd");
            auto writer = MakeWriter(useThread);
            std::vector<std::string> messages;
            ASSERT_TRUE(writer->OpenFile(path, kChannels, 1, 100.0, true, exportFolder.string()));
            ASSERT_TRUE(writer->WriteProperties(nullptr, 0));
            ASSERT_TRUE(writer->Start());
            {
                // Set after the open, the limit is one the writers do not know
                // of: a write past it fails as any write can.
                CFileSizeLimit fileLimit(limit);
                ASSERT_TRUE(fileLimit.IsSet());
                CLogCapture log;
                for (int f = 0; f < kFrames; ++f)
                    writer->WriteFrame(frameOf(f).data(), kChannels);
                writer->Finish(&markers);
                writer->Close();
                messages = log.Messages();
            }
            const std::string text = ReadFileText(writer->GetTextFileName().ToStdString());
            ASSERT_FALSE(text.empty());
            EXPECT_TRUE(EndsWith(text, "\r\n")) << "the export ends at a whole line";
            // Header, then one line per frame, in order, each whole.
            std::vector<std::string> lines;
            for (size_t at = 0; at < text.size();) {
                const size_t end = text.find("\r\n", at);
                if (end == std::string::npos) break;
                lines.push_back(text.substr(at, end - at));
                at = end + 2;
            }
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines[0].rfind("# ", 0), 0u);
            int64_t frameLines = 0;
            size_t eventLines = 0;
            for (size_t i = 1; i < lines.size(); ++i) {
                if (lines[i].rfind("event[", 0) == 0) {
                    ++eventLines;
                    continue;
                }
                ASSERT_EQ(eventLines, 0u) << "frame line after the events: " << lines[i];
                const std::vector<double> frame = frameOf(int(frameLines));
                std::istringstream fields(lines[i]);
                double time = -1.0;
                fields >> time;
                EXPECT_DOUBLE_EQ(time, double(frameLines) / 100.0) << lines[i];
                for (int c = 0; c < kChannels; ++c) {
                    double value = -1.0;
                    fields >> value;
                    EXPECT_NEAR(value, frame[size_t(c)], 1e-5 * std::fabs(frame[size_t(c)]))
                        << lines[i];
                }
                EXPECT_TRUE(fields && fields.eof()) << lines[i];
                ++frameLines;
            }
            const int64_t recorded = writer->GetFramesOnDisk();
            const std::string note = writer->GetEndNote().ToStdString();
            EXPECT_LE(frameLines, recorded);
            // An export that holds every frame of its recording and the events is whole.
            if (frameLines == recorded && eventLines == 2) {
                EXPECT_EQ(note.find("text export"), std::string::npos) << note;
                EXPECT_EQ(messages.size(), writer->HasEnded() ? 1u : 0u);
                if (limit >= 200000) {
                    EXPECT_EQ(recorded, kFrames);
                }
                continue;
            }
            ++cutExports;
            // Said once: where the export ends, after the recording's own end if it has one.
            const std::string exportEnd =
                "text export cut at " + FormatTime(double(frameLines) / 100.0).ToStdString() +
                " (" + std::to_string(frameLines) + " frames kept)" +
                (eventLines < 2 ? ", without its events" : "") + " : " + std::strerror(EFBIG);
            EXPECT_TRUE(EndsWith(note, exportEnd)) << note;
            EXPECT_EQ(writer->HasEnded(), note.rfind("text export", 0) != 0) << note;
            ASSERT_EQ(messages.size(), 1u);
            EXPECT_TRUE(EndsWith(messages[0], " : " + note)) << messages[0];
        }
        EXPECT_EQ(cutExports, 5) << "every limit below the export's size cut it";
    }
}

TEST_F(AnalogWriterTest, TrailerThatCannotBeWrittenLeavesAFileThatEndsEarlyWithEveryWholeFrame)
{
    g_Use_Text_Header = false;  // keeps the export under the limit too
    for (bool useThread : {false, true}) {
        for (int written : {2, 5}) {  // the frames fit exactly, or the third fails too
            SCOPED_TRACE(testing::Message() << (useThread ? "threaded " : "plain ") << written);
            const std::string name = std::string(useThread ? "t" : "p") + std::to_string(written);
            const std::string path = File(name + ".qvd");
            auto writer = MakeWriter(useThread);
            ASSERT_TRUE(writer->OpenFile(path, 3, 1, 100.0, true, Dir().string()));
            HeaderPropertyBuffer block;
            const uint64_t length = BuildHeaderProperties(AnalogInfo(3), block);
            ASSERT_TRUE(writer->WriteProperties(block.data(), length));
            ASSERT_TRUE(writer->Start());
            std::vector<std::string> messages;
            {
                // Two frames, and 7 bytes: less than a frame or the trailer.
                CFileSizeLimit limit(40 + length + 2 * 24 + 7);
                ASSERT_TRUE(limit.IsSet());
                CLogCapture log;
                for (int i = 0; i < written; ++i) writer->WriteFrame(kFramesA[i % 3], 3);
                EXPECT_FALSE(writer->Finish(nullptr));
                messages = log.Messages();
            }
            writer->Close();
            EXPECT_EQ(writer->GetFailedFrames(), uint64_t(written - 2));
            EXPECT_EQ(writer->GetFrameCount(), 2);
            // Count 0 and no trailer: the layout of a recording that ends early.
            Bytes expected;
            expected.Header(99887755, 100.0, 3, 1, 0, length).Append(AnalogBlock(3));
            for (int i = 0; i < 2; ++i)
                expected.F64(kFramesA[i][0]).F64(kFramesA[i][1]).F64(kFramesA[i][2]);
            EXPECT_EQ(ReadFileBytes(path), expected.Data());
            CAnalogReader reader;
            ASSERT_TRUE(reader.Open(path)) << "the reader takes every whole frame";
            EXPECT_EQ(reader.GetFrameCount(), 2);
            double frame[3];
            ASSERT_TRUE(reader.GetFrame(frame, 3, 1));
            EXPECT_EQ(frame[1], kFramesA[1][1]);
            EXPECT_TRUE(reader.GetMarkerCodes().empty());
            EXPECT_EQ(reader.GetChannelNames().size(), 3u);
            EXPECT_EQ(ReadFileText(File(name + ".txt")),
                      "0\t0.5\t-1.25\t3\r\n0.01\t1e-07\t2.5e+10\t-0\r\n");
            const std::string note =
                "the file ends early at " + FormatTime(0.02).ToStdString() +
                " (2 frames kept), without its markers : " + std::strerror(EFBIG);
            ExpectSaidOnce(*writer, messages, path, note);
        }
    }
    g_Use_Text_Header = true;
}

// What a writer did on a full file system, as a child reports it.
constexpr size_t kFullDiskBytes = 512 * 1024;

struct FullDiskOutcome {
    int64_t framesOnDisk = -1;
    int64_t framesGiven = -1;   // WriteFrame calls
    uint64_t failedFrames = 0;  // and frames a full queue dropped
    int writeError = 0;
    bool isFinished = false;
    std::string note;
};

// Eight channels whose frames start on a multiple of their size: the frames
// then end exactly where the file system's pages do, and a full disk leaves
// no byte after them unless the writer kept room for the trailer.
RecordHeaderInfo PageAlignedInfo()
{
    RecordHeaderInfo info = AnalogInfo(8);
    HeaderPropertyBuffer block;
    while ((40 + BuildHeaderProperties(info, block)) % 64 != 0) info.deviceKey += "y";
    return info;
}

Bytes BlockOf(const RecordHeaderInfo& info)
{
    HeaderPropertyBuffer block;
    const uint64_t length = BuildHeaderProperties(info, block);
    Bytes bytes;
    for (uint64_t i = 0; i < length; ++i) bytes.U8(block[size_t(i)]);
    return bytes;
}

// In the child: fills the tmpfs at disk until freeBytes are left.
bool FillDisk(const std::filesystem::path& disk, size_t diskBytes, size_t freeBytes)
{
    std::ofstream filler(disk / "filler", std::ios::binary);
    const std::string block(4096, 'f');
    for (size_t done = 0; done + freeBytes < diskBytes; done += block.size())
        filler.write(block.data(), std::streamsize(block.size()));
    return bool(filler);
}

// Runs record (disk, out) in a child that sees a small tmpfs at disk; out
// receives what it reports. Returns the child's result (kNoTmpfsExit: no mount).
int RunOnAFullDisk(const std::filesystem::path& disk, const std::filesystem::path& out,
                   const std::function<int()>& record)
{
    std::filesystem::remove_all(out);
    std::filesystem::create_directories(disk);
    std::filesystem::create_directories(out);
    return RunOnSmallTmpfs(disk, kFullDiskBytes, record);
}

// In the child: fills the tmpfs at disk up to freeBytes, records numbered
// frames of 8 channels at 1 kHz until the disk takes no more, finishes with
// two markers and copies the recording and its outcome to out.
int RecordUntilTheDiskIsFull(const std::filesystem::path& disk, const std::filesystem::path& out,
                             size_t diskBytes, size_t freeBytes, bool useThread)
{
    if (!FillDisk(disk, diskBytes, freeBytes)) return 10;
    const std::string path = (disk / "full.qvd").string();
    auto writer = MakeWriter(useThread);
    if (!writer->OpenFile(path, 8, 1, 1000.0, false, "")) return 11;
    HeaderPropertyBuffer block;
    const uint64_t length = BuildHeaderProperties(PageAlignedInfo(), block);
    if (!writer->WriteProperties(block.data(), length) || !writer->Start()) return 12;
    int given = 0;  // WriteFrame calls
    for (int next = 0; next < 40000 && !writer->HasEnded(); ++given) {
        if (writer->WriteFrame(NumberedFrame(next, 8).data(), 8) != 0)
            ++next;
        else
            std::this_thread::yield();  // a full queue: the writer thread catches up
    }
    RecordMarkers markers;
    markers.codes = {1, 2};
    markers.frames = {0, 5};
    markers.labels = {"start", "five"};
    const bool isFinished = writer->Finish(&markers);
    writer->Close();
    std::filesystem::copy_file(path, out / "full.qvd");
    std::ofstream report(out / "outcome.txt");
    report << writer->GetFramesOnDisk() << "\n"
           << given << "\n"
           << writer->GetFailedFrames() + writer->GetDroppedFrames() << "\n"
           << writer->GetWriteError() << "\n"
           << isFinished << "\n"
           << writer->GetEndNote().ToStdString() << "\n";
    return report ? 0 : 13;
}

TEST_F(AnalogWriterTest, FullFileSystemStillTakesTheTrailerAndEndsAtTheFramesOnDisk)
{
    for (bool useThread : {false, true}) {
        // Room for some batches, then a full disk; room for less than one batch.
        for (size_t freeBytes : {200 * 1024, 20 * 1024}) {
            SCOPED_TRACE(testing::Message()
                         << (useThread ? "threaded " : "plain ") << freeBytes << " bytes free");
            const std::filesystem::path disk = Path("disk");
            const std::filesystem::path out = Path("out");
            const int result = RunOnAFullDisk(disk, out, [&] {
                return RecordUntilTheDiskIsFull(disk, out, kFullDiskBytes, freeBytes, useThread);
            });
            if (result == kNoTmpfsExit) GTEST_SKIP() << "this machine allows no tmpfs mount";
            ASSERT_EQ(result, 0);
            FullDiskOutcome outcome;
            {
                std::ifstream report(out / "outcome.txt");
                report >> outcome.framesOnDisk >> outcome.framesGiven >> outcome.failedFrames >>
                    outcome.writeError >> outcome.isFinished;
                report.ignore();
                std::getline(report, outcome.note);
            }
            EXPECT_EQ(outcome.writeError, ENOSPC);
            EXPECT_TRUE(outcome.isFinished) << "the room kept for the trailer took it";
            ASSERT_GE(outcome.framesOnDisk, 6) << "the disk held some frames";
            EXPECT_LT(outcome.framesOnDisk * 64, int64_t(freeBytes));
            EXPECT_EQ(outcome.framesOnDisk + int64_t(outcome.failedFrames), outcome.framesGiven);

            // Count, every frame on disk, the trailer with both markers, nothing else.
            const std::string path = (out / "full.qvd").string();
            Bytes expected;
            const Bytes block = BlockOf(PageAlignedInfo());
            expected.Header(99887755, 1000.0, 8, 1, outcome.framesOnDisk, block.Size())
                .Append(block)
                .Append(NumberedFrames(int(outcome.framesOnDisk), 8));
            expected.U64(2).Marker(1, 0, "start").Marker(2, 5, "five");
            EXPECT_EQ(ReadFileBytes(path), expected.Data());
            CAnalogReader reader;
            ASSERT_TRUE(reader.Open(path));
            EXPECT_EQ(reader.GetFrameCount(), outcome.framesOnDisk);
            EXPECT_EQ(reader.GetMarkerFrames(), (std::vector<uint32_t>{0, 5}));
            EXPECT_EQ(outcome.note, "recording cut at " +
                                        FormatTime(outcome.framesOnDisk / 1000.0).ToStdString() +
                                        " (" + std::to_string(outcome.framesOnDisk) +
                                        " frames kept) : " + std::strerror(ENOSPC));
        }
    }
}

namespace {

// In the child: fills the tmpfs at disk up to freeBytes, records 8 channels
// at 1 kHz with a text export on the same disk until the disk takes no more,
// finishes with two markers and copies both files and the note to out.
int RecordWithExportUntilTheDiskIsFull(const std::filesystem::path& disk,
                                       const std::filesystem::path& out, size_t diskBytes,
                                       size_t freeBytes, bool useThread)
{
    if (!FillDisk(disk, diskBytes, freeBytes)) return 10;
    const std::string path = (disk / "full.qvd").string();
    auto writer = MakeWriter(useThread);
    if (!writer->OpenFile(path, 8, 1, 1000.0, true, disk.string())) return 11;
    if (!writer->WriteProperties(nullptr, 0) || !writer->Start()) return 12;
    for (int next = 0; next < 40000 && !writer->HasEnded();) {
        std::vector<double> frame = NumberedFrame(next, 8);
        for (double& value : frame) value *= -1e-7;  // long text lines
        if (writer->WriteFrame(frame.data(), 8) != 0)
            ++next;
        else
            std::this_thread::yield();  // a full queue: the writer thread catches up
    }
    RecordMarkers markers;
    markers.codes = {1, 2};
    markers.frames = {0, 5};
    markers.labels = {"start", "five"};
    writer->Finish(&markers);
    writer->Close();
    std::filesystem::copy_file(writer->GetTextFileName().ToStdString(), out / "full.txt");
    std::ofstream report(out / "outcome.txt");
    report << writer->GetFramesOnDisk() << "\n" << writer->GetEndNote().ToStdString() << "\n";
    return report ? 0 : 13;
}

}  // namespace

TEST_F(AnalogWriterTest, TextExportOnAFullDiskEndsAtAWholeLineWithItsEvents)
{
    for (bool useThread : {false, true}) {
        for (size_t freeBytes : {200 * 1024, 30 * 1024}) {
            SCOPED_TRACE(testing::Message()
                         << (useThread ? "threaded " : "plain ") << freeBytes << " bytes free");
            const std::filesystem::path disk = Path("disk");
            const std::filesystem::path out = Path("out");
            const int result = RunOnAFullDisk(disk, out, [&] {
                return RecordWithExportUntilTheDiskIsFull(disk, out, kFullDiskBytes, freeBytes,
                                                          useThread);
            });
            if (result == kNoTmpfsExit) GTEST_SKIP() << "this machine allows no tmpfs mount";
            ASSERT_EQ(result, 0);
            int64_t recorded = -1;
            std::string note;
            {
                std::ifstream report(out / "outcome.txt");
                report >> recorded;
                report.ignore();
                std::getline(report, note);
            }
            const std::string text = ReadFileText((out / "full.txt").string());
            ASSERT_TRUE(EndsWith(text, "\r\n"));
            // Frame lines, each whole and in order, then both event lines.
            int64_t frameLines = 0;
            std::vector<std::string> events;
            for (size_t at = text.find("\r\n") + 2; at < text.size();) {
                const size_t end = text.find("\r\n", at);
                ASSERT_NE(end, std::string::npos);
                const std::string line = text.substr(at, end - at);
                at = end + 2;
                if (line.rfind("event[", 0) == 0) {
                    events.push_back(line);
                    continue;
                }
                ASSERT_TRUE(events.empty()) << line;
                std::istringstream fields(line);
                double time = -1.0;
                fields >> time;
                EXPECT_DOUBLE_EQ(time, double(frameLines) / 1000.0) << line;
                std::vector<double> frame = NumberedFrame(int(frameLines), 8);
                for (double expected : frame) {
                    double value = 0.0;
                    fields >> value;
                    EXPECT_NEAR(value, expected * -1e-7, 1e-5 * expected * 1e-7) << line;
                }
                EXPECT_TRUE(fields && fields.eof()) << line;
                ++frameLines;
            }
            EXPECT_EQ(events, (std::vector<std::string>{"event[0]\t0\t1\tstart",
                                                        "event[1]\t5\t2\tfive"}));
            EXPECT_LE(frameLines, recorded);  // the recording's frames come first
            if (frameLines < recorded) {
                const std::string exportEnd =
                    "text export cut at " + FormatTime(double(frameLines) / 1000.0).ToStdString() +
                    " (" + std::to_string(frameLines) + " frames kept) : " + std::strerror(ENOSPC);
                EXPECT_TRUE(EndsWith(note, exportEnd)) << note;
            } else {
                EXPECT_EQ(note.find("text export"), std::string::npos) << note;
            }
        }
    }
}

namespace {

// Frame f of eight channels of small negative numbers: its text line (about
// 100 bytes) is longer than the frame (64 bytes).
std::vector<double> LongLineFrame(int frame)
{
    std::vector<double> values = NumberedFrame(frame, 8);
    for (double& value : values) value *= -1e-7;
    return values;
}

// The export's line of frame f at rate, each number in its shortest exact form.
std::string LongLineOf(int frame, double rate)
{
    char number[64];
    std::string line(number, std::to_chars(number, number + sizeof number, frame / rate).ptr);
    for (double value : LongLineFrame(frame))
        line +=
            "\t" + std::string(number, std::to_chars(number, number + sizeof number, value).ptr);
    return line + "\r\n";
}

// What a recording under a file-size limit did, as its child reports it.
struct LimitOutcome {
    int64_t framesOnDisk = -1;
    int taken = -1;         // WriteFrame calls that took the frame
    int firstRefused = -1;  // the first that did not
    bool isTakenAfterRefusal = false;
    uint64_t failedFrames = 0;
    uint64_t droppedFrames = 0;
    int writeError = 0;
    bool isFinished = false;
    size_t messageCount = 0;
    std::string note;
    std::string message;
};

// In the child: under a file-size limit set before the recording opens, as
// ulimit -f sets it for the application, records frames with a text export,
// finishes with markers and reports to outcome.
int RecordUnderAFileSizeLimit(const std::string& path, const std::string& exportFolder,
                              const std::filesystem::path& outcome, rlim_t limitBytes,
                              bool useThread, int frames, const RecordMarkers& markers)
{
    CFileSizeLimit limit(limitBytes);
    if (!limit.IsSet()) return 10;
    CLogCapture log;
    auto writer = MakeWriter(useThread);
    if (!writer->OpenFile(path, 8, 1, 100.0, true, exportFolder)) return 11;
    if (!writer->WriteProperties(nullptr, 0) || !writer->Start()) return 12;
    LimitOutcome got;
    got.taken = 0;
    for (int f = 0; f < frames; ++f) {
        if (writer->WriteFrame(LongLineFrame(f).data(), 8) != 0) {
            ++got.taken;
            got.isTakenAfterRefusal = got.isTakenAfterRefusal || got.firstRefused >= 0;
        } else if (got.firstRefused < 0) {
            got.firstRefused = f;
        }
    }
    got.isFinished = writer->Finish(&markers);
    writer->Close();
    const std::vector<std::string> messages = log.Messages();
    std::ofstream report(outcome);
    report << writer->GetFramesOnDisk() << "\n"
           << got.taken << "\n"
           << got.firstRefused << "\n"
           << got.isTakenAfterRefusal << "\n"
           << writer->GetFailedFrames() << "\n"
           << writer->GetDroppedFrames() << "\n"
           << writer->GetWriteError() << "\n"
           << got.isFinished << "\n"
           << messages.size() << "\n"
           << writer->GetEndNote().ToStdString() << "\n"
           << (messages.empty() ? std::string() : messages[0]) << "\n";
    return report ? 0 : 13;
}

LimitOutcome ReadLimitOutcome(const std::filesystem::path& outcome)
{
    LimitOutcome got;
    std::ifstream report(outcome);
    report >> got.framesOnDisk >> got.taken >> got.firstRefused >> got.isTakenAfterRefusal >>
        got.failedFrames >> got.droppedFrames >> got.writeError >> got.isFinished >>
        got.messageCount;
    report.ignore();
    std::getline(report, got.note);
    std::getline(report, got.message);
    return got;
}

}  // namespace

TEST_F(AnalogWriterTest, FileSizeLimitStillTakesTheTrailerAndTheEventsAndEndsAtTheFramesOnDisk)
{
    // Under ulimit -f the room kept beyond the end is no use: the writers stop
    // taking frames while the trailer's and the events' room is still below
    // the limit, and end as at a full disk.
    constexpr int kFrames = 3000;
    constexpr int64_t kReserve = 8 * 1024;  // what each file keeps for its end
    constexpr int64_t kDataStart = 48;      // header and an empty property block
    RecordMarkers markers;                  // before and after every cut
    for (uint32_t i = 0; i < 40; ++i) {
        markers.codes.push_back(i + 1);
        markers.frames.push_back(i * 75);
        markers.labels.push_back(wxString::Format("marker %u", i));
    }
    const std::filesystem::path out = Path("out");
    std::filesystem::create_directories(out);
    for (bool useThread : {false, true}) {
        // Both files cut in the first batch, both mid-run, the export only, neither.
        for (rlim_t limit : {rlim_t(12000), rlim_t(100003), rlim_t(250001), rlim_t(400000)}) {
            SCOPED_TRACE(testing::Message() << (useThread ? "threaded " : "plain ") << limit);
            const std::string path =
                File(std::string(useThread ? "t" : "p") + std::to_string(limit) + ".qvd");
            const int result = RunInChild([&] {
                return RecordUnderAFileSizeLimit(path, Dir().string(), out / "outcome.txt", limit,
                                                 useThread, kFrames, markers);
            });
            ASSERT_EQ(result, 0);
            const LimitOutcome got = ReadLimitOutcome(out / "outcome.txt");
            const int64_t kept =
                std::min<int64_t>(kFrames, (int64_t(limit) - kReserve - kDataStart) / 64);
            EXPECT_EQ(got.framesOnDisk, kept);
            EXPECT_TRUE(got.isFinished) << "the trailer went in";
            EXPECT_EQ(got.droppedFrames, 0u);
            EXPECT_EQ(int64_t(got.failedFrames), kFrames - kept);
            EXPECT_FALSE(got.isTakenAfterRefusal);
            if (!useThread) {  // the plain writer stops at the frame that would not fit
                EXPECT_EQ(got.taken, kept);
                EXPECT_EQ(got.firstRefused, kept < kFrames ? kept : -1);
            }
            EXPECT_EQ(got.writeError, kept < kFrames ? EFBIG : 0);

            // Count, every frame on disk and the trailer with every marker.
            Bytes expected;
            expected.Header(99887755, 100.0, 8, 1, kept, 0);
            for (int f = 0; f < kept; ++f)
                for (double value : LongLineFrame(f)) expected.F64(value);
            expected.U64(markers.Count());
            for (size_t i = 0; i < markers.Count(); ++i)
                expected.Marker(markers.codes[i], markers.frames[i],
                                markers.labels[i].ToStdString());
            const std::vector<uint8_t> bytes = ReadFileBytes(path);
            EXPECT_EQ(bytes, expected.Data());
            EXPECT_LE(bytes.size(), limit);
            CAnalogReader reader;
            ASSERT_TRUE(reader.Open(path));
            EXPECT_EQ(reader.GetFrameCount(), kept);
            std::vector<uint32_t> inside;  // the reader shows the markers of its frames
            for (uint32_t frame : markers.frames)
                if (frame < kept) inside.push_back(frame);
            EXPECT_EQ(reader.GetMarkerFrames(), inside);

            // The header, the frame lines that fit below the events' room, every event.
            const std::string textPath = Path(std::filesystem::path(path).stem().string() + ".txt");
            const std::string text = ReadFileText(textPath);
            EXPECT_LE(text.size(), limit);
            const size_t headerEnd = text.find("\r\n") + 2;
            ASSERT_EQ(text.rfind("# ", 0), 0u);
            int64_t lines = 0;
            std::string frameLines;
            for (int64_t size = int64_t(headerEnd); lines < kept; ++lines) {
                const std::string line = LongLineOf(int(lines), 100.0);
                if (size + int64_t(line.size()) + kReserve > int64_t(limit)) break;
                size += int64_t(line.size());
                frameLines += line;
            }
            std::string events;
            for (size_t i = 0; i < markers.Count(); ++i)
                events += "event[" + std::to_string(i) + "]\t" + std::to_string(markers.frames[i]) +
                          "\t" + std::to_string(markers.codes[i]) + "\tmarker " +
                          std::to_string(i) + "\r\n";
            EXPECT_EQ(text.substr(headerEnd), frameLines + events);

            // Said once, with the times on disk: the recording's end, then the export's.
            const std::string exportEnd =
                lines < kept
                    ? "text export cut at " + FormatTime(lines / 100.0).ToStdString() + " (" +
                          std::to_string(lines) + " frames kept) : " + std::strerror(EFBIG)
                    : std::string();
            std::string note = exportEnd;
            if (kept < kFrames)
                note = "recording cut at " + FormatTime(kept / 100.0).ToStdString() + " (" +
                       std::to_string(kept) + " frames kept) : " + std::strerror(EFBIG) +
                       (exportEnd.empty() ? "" : "; " + exportEnd);
            EXPECT_EQ(got.note, note);
            EXPECT_EQ(got.messageCount, note.empty() ? 0u : 1u);
            const std::string file =
                kept < kFrames ? "analog file : " + path : "text file : " + textPath;
            if (!note.empty()) {
                EXPECT_TRUE(EndsWith(got.message, "<REC> Error writing " + file + " : " + note))
                    << got.message;
            }
        }
    }
}

TEST_F(AnalogWriterTest, FinaliserLeavesAFinishedFileAndFinishesAnUnfinishedOne)
{
    const std::string path = File("done.qvd");
    CAnalogWriter writer;
    WriteThreeFrames(writer, path, false);
    const std::vector<uint8_t> finished = ReadFileBytes(path);
    const RecordMarkers markers = SomeMarkers();
    EXPECT_TRUE(FinaliseRecordFile(path, 99, &markers));
    EXPECT_EQ(ReadFileBytes(path), finished);

    // A recording cut off mid-frame (a crash): count 0, two frames and a bit.
    Bytes cut;
    cut.Header(99887755, 10.0, 2, 1, 0, 0).F64(1).F64(2).F64(3).F64(4).U8(0xAB);
    const std::string cutPath = File("cut.qvd");
    cut.Save(cutPath);
    StartSyncLog(Dir().string());
    EXPECT_TRUE(FinaliseRecordFile(cutPath, 0, &markers));
    const std::vector<SyncEvent> flushes = TakeSyncLog();
    EXPECT_TRUE(!flushes.empty() && flushes.back().isFolder) << "the file's name last";
    Bytes expected;
    expected.Header(99887755, 10.0, 2, 1, 2, 0).F64(1).F64(2).F64(3).F64(4);
    expected.U64(2).Marker(7, 1, "E 1").Marker(0xFFFFFFF0u, -2147483648LL, "");
    EXPECT_EQ(ReadFileBytes(cutPath), expected.Data());
    EXPECT_TRUE(FinaliseRecordFile(cutPath, 0, &markers));  // now finished: unchanged
    EXPECT_EQ(ReadFileBytes(cutPath), expected.Data());

    EXPECT_FALSE(FinaliseRecordFile(File("absent.qvd"), 1, &markers));
}

TEST_F(AnalogWriterThreads, ThreadedWriterMatchesThePlainWriterByteForByte)
{
    const std::string dir = Dir().string();
    const std::string plainPath = dir + "/plain.qvd";
    const std::string threadPath = dir + "/thread.qvd";
    HeaderPropertyBuffer block;
    const uint64_t length = BuildHeaderProperties(AnalogInfo(8), block);
    std::vector<std::vector<double>> frames(3000, std::vector<double>(8));
    std::mt19937_64 random(42);  // fixed seed
    std::normal_distribution<double> noise;
    for (auto& frame : frames)
        for (double& value : frame) value = noise(random);
    const RecordMarkers markers = SomeMarkers();

    CAnalogWriter plain;
    ASSERT_TRUE(plain.OpenFile(plainPath, 8, 1, 1000.0, true, dir));
    ASSERT_TRUE(plain.WriteProperties(block.data(), length));
    auto threaded = std::make_unique<CAnalogThreadWriter>(1, 4000);  // room for every frame
    threaded->SetTextExtension(".text");
    ASSERT_TRUE(threaded->OpenFile(threadPath, 8, 1, 1000.0, true, dir));
    ASSERT_TRUE(threaded->WriteProperties(block.data(), length));
    EXPECT_GE(threaded->GetCapacity(), 4000u);
    ASSERT_TRUE(threaded->Start());
    for (const auto& frame : frames) {
        plain.WriteFrame(frame.data(), 8);
        EXPECT_EQ(threaded->WriteFrame(frame.data(), 8), 8u);
    }
    // Finishing drains the queue before the count and the one trailer.
    ASSERT_TRUE(plain.Finish(&markers));
    ASSERT_TRUE(threaded->Finish(&markers));
    ASSERT_TRUE(plain.Close());
    ASSERT_TRUE(threaded->Close());
    EXPECT_EQ(threaded->GetFrameCount(), 3000);
    EXPECT_EQ(threaded->GetDroppedFrames(), 0u);
    threaded.reset();

    const std::vector<uint8_t> plainBytes = ReadFileBytes(plainPath);
    EXPECT_EQ(plainBytes.size(), 40 + length + 3000 * 64 + 8 + 20 + 3 + 20);
    EXPECT_EQ(ReadFileBytes(threadPath), plainBytes);
    std::string plainText = ReadFileText(dir + "/plain.txt");
    std::string threadText = ReadFileText(dir + "/thread.text");
    plainText.erase(0, plainText.find('\n'));  // the header lines name different files
    threadText.erase(0, threadText.find('\n'));
    EXPECT_EQ(threadText, plainText);
}

TEST_F(AnalogWriterThreads, FullQueueCountsEveryDroppedFrameAndWritesTheRest)
{
    const std::string dir = Dir().string();
    const std::string path = dir + "/full.qvd";
    {
        CAnalogThreadWriter writer(101, 10);
        EXPECT_EQ(writer.GetWriterPriority(), 50u);
        EXPECT_EQ(writer.GetCapacity(), 30u);
        ASSERT_TRUE(writer.OpenFile(path, 1, 1, 1.0, false, ""));
        ASSERT_TRUE(writer.WriteProperties(nullptr, 0));
        // Not started yet: 29 frames fit, the rest are dropped and counted.
        for (int i = 0; i < 35; ++i) {
            const double value = i;
            writer.WriteFrame(&value, 1);
        }
        EXPECT_EQ(writer.GetDroppedFrames(), 6u);
        ASSERT_TRUE(writer.Finish(nullptr));
        EXPECT_EQ(writer.GetFrameCount(), 29);
    }
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), 40u + 29 * 8 + 8);
    EXPECT_EQ(GetU64(bytes.data() + 24), 29u);
    EXPECT_EQ(GetF64(bytes.data() + 40 + 28 * 8), 28.0);
}

TEST_F(AnalogWriterThreads, BothWritersCountAndReportWrongSizeFramesAlike)
{
    const std::string dir = Dir().string();
    for (bool useThread : {false, true}) {
        SCOPED_TRACE(useThread ? "threaded" : "plain");
        std::unique_ptr<CAnalogWriter> writer;
        if (useThread)
            writer = std::make_unique<CAnalogThreadWriter>(1, 100);
        else
            writer = std::make_unique<CAnalogWriter>();
        const std::string path = dir + (useThread ? "/thread.qvd" : "/plain.qvd");
        ASSERT_TRUE(writer->OpenFile(path, 3, 1, 100.0, false, ""));
        ASSERT_TRUE(writer->WriteProperties(nullptr, 0));
        ASSERT_TRUE(writer->Start());
        const double frame[4] = {1.0, 2.0, 3.0, 4.0};
        EXPECT_EQ(writer->WriteFrame(frame, 3), 3u);
        EXPECT_EQ(writer->WriteFrame(frame, 2), 0u);
        EXPECT_EQ(writer->WriteFrame(frame, 4), 0u);
        EXPECT_EQ(writer->WriteFrame(frame, 0), 0u);
        EXPECT_EQ(writer->WriteFrame(nullptr, 3), 0u);
        EXPECT_EQ(writer->WriteFrame(frame, 3), 3u);
        std::vector<std::string> messages;
        {
            CLogCapture log;
            ASSERT_TRUE(writer->Finish(nullptr));
            messages = log.Messages();
        }
        EXPECT_EQ(writer->GetRefusedFrames(), 4u);
        EXPECT_EQ(writer->GetDroppedFrames(), 0u);
        EXPECT_EQ(writer->GetFailedFrames(), 0u);
        EXPECT_EQ(writer->GetFrameCount(), 2);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_NE(messages[0].find(path + " : 4 frames refused"), std::string::npos) << messages[0];
        ASSERT_TRUE(writer->Close());
        EXPECT_EQ(GetU64(ReadFileBytes(path).data() + 24), 2u);
    }
}

TEST_F(AnalogWriterThreads, WriterThatNeverStartedEndsCleanly)
{
    const std::string dir = Dir().string();
    {
        CAnalogThreadWriter writer(1, 100);
        ASSERT_TRUE(writer.OpenFile(dir + "/idle.qvd", 2, 1, 1000.0, false, ""));
        EXPECT_GE(writer.GetCapacity(), 2001u);  // never less than two seconds of frames
        EXPECT_TRUE(writer.Close());
        EXPECT_FALSE(writer.IsOpen());
    }
    {
        CAnalogThreadWriter unopened(1, 100);  // destroyed without a file or thread
    }
    EXPECT_EQ(ReadFileBytes(dir + "/idle.qvd").size(), 40u);  // a whole header, nothing else
}

TEST_F(AnalogWriterTest, QueueDepthIsBoundedByItsMemoryAndNeverBelowTwoSeconds)
{
    // Depth x frame size is allocated for every trial: 2^31 - 1 frames of 8
    // values would ask for 137 GB and fail every trial.
    struct Case {
        uint64_t depth;
        int32_t channels;
        double rate;
        uint64_t capacity;
    };
    const Case cases[] = {
        {2147483647u, 8, 1000.0, (64u << 20) / 64},
        {100000, 8, 1000.0, 100000},
        {100, 8, 1000.0, 2001},  // two seconds at 1 kHz, whatever the setting below that
        {100, 8, 4000.0, 8001},
        {100, 8, 10.0, 100},
        {10, 1, 1.0, 30},
        {2147483647u, 256, 10.0, (64u << 20) / 2048},
        {100, 256, 5000.0, 10001},  // two seconds go first, beyond the budget too
    };
    for (const Case& c : cases) {
        const std::string path = Path("depth.qvd").string();
        CAnalogThreadWriter writer(1, c.depth);
        ASSERT_TRUE(writer.OpenFile(path, c.channels, 1, c.rate, false, ""))
            << c.depth << " frames of " << c.channels;
        EXPECT_EQ(writer.GetCapacity(), c.capacity) << c.depth << " frames of " << c.channels;
        EXPECT_TRUE(writer.Close());
    }
}

TEST_F(AnalogWriterThreads, IdleWriterThreadWaitsInsteadOfSpinning)
{
    CAnalogThreadWriter writer(1, 100);
    ASSERT_TRUE(writer.OpenFile(Dir().string() + "/idle.qvd", 2, 1, 100.0, false, ""));
    ASSERT_TRUE(writer.Start());
    // Over a quarter of a second of wall time an idle writer uses next to no
    // processor time; a polling one would use all of it.
    timespec cpuBefore{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuBefore);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
    {
        std::mutex mutex;
        std::condition_variable never;
        std::unique_lock<std::mutex> lock(mutex);
        never.wait_until(lock, until, [] { return false; });
    }
    timespec cpuAfter{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuAfter);
    const double cpuSeconds =
        double(cpuAfter.tv_sec - cpuBefore.tv_sec) + (cpuAfter.tv_nsec - cpuBefore.tv_nsec) / 1e9;
    EXPECT_LT(cpuSeconds, 0.1);
    ASSERT_TRUE(writer.Finish(nullptr));
}

TEST_F(AnalogWriterTest, TextExportPastAMillionFramesKeepsItsTimesApartAndEveryValueExact)
{
    // At 10 kHz the six digits of "%g" gave frames 1 000 000 to 1 000 019 three
    // times; the values need up to 17 digits. A decimal-comma locale changes nothing.
    LocaleGuard comma("de_DE.UTF-8");
    if (!comma.IsSet()) GTEST_LOG_(INFO) << "no decimal-comma locale; checked in the C locale";
    constexpr int kFrames = 1000020;
    constexpr double kRate = 10000.0;
    const auto valueOf = [](int f, int c) {
        switch (c) {
            case 0:
                return 1000001000.0 + f;
            case 1:
                return (f + 1) / 3.0;
            default:
                return -std::ldexp(1.0 + f, -1070 + (f % 1100));
        }
    };
    for (bool useThread : {false, true}) {
        SCOPED_TRACE(useThread ? "threaded" : "plain");
        const std::string path = File(useThread ? "mt.qvd" : "mp.qvd");
        auto writer = MakeWriterFor(useThread, kFrames);
        ASSERT_TRUE(writer->OpenFile(path, 3, 1, kRate, true, Dir().string()));
        ASSERT_TRUE(writer->WriteProperties(nullptr, 0));
        ASSERT_TRUE(writer->Start());
        double frame[3];
        for (int f = 0; f < kFrames; ++f) {
            for (int c = 0; c < 3; ++c) frame[c] = valueOf(f, c);
            ASSERT_EQ(writer->WriteFrame(frame, 3), 3u);
        }
        ASSERT_TRUE(writer->Finish(nullptr));
        ASSERT_TRUE(writer->Close());
        ASSERT_EQ(writer->GetDroppedFrames(), 0u);
        const std::string text = ReadFileText(writer->GetTextFileName().ToStdString());
        size_t at = text.find("\r\n");
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(text.substr(0, at), "# " + path + " :  channels = 3 dim = 1 rate = 10000");
        at += 2;
        double previous = -1.0;
        int f = 0;
        for (; at < text.size(); ++f) {
            const size_t end = text.find("\r\n", at);
            ASSERT_NE(end, std::string::npos);
            // Plain comparisons on each of the million lines, the first wrong one reported.
            double fields[4];
            const char* next = text.data() + at;
            bool isRead = true;
            for (int i = 0; i < 4 && isRead; ++i) {
                const auto result = std::from_chars(next, text.data() + end, fields[i]);
                next = result.ptr;
                isRead = result.ec == std::errc() && (next == text.data() + end) == (i == 3)
                         && (i == 3 || *next++ == '\t');
            }
            bool isExact = isRead && fields[0] > previous && fields[0] == f / kRate;
            for (int c = 0; c < 3 && isExact; ++c) isExact = fields[c + 1] == valueOf(f, c);
            if (!isExact) {
                FAIL() << "line of frame " << f << (isRead ? " holds other values" : " unreadable")
                       << " : " << text.substr(at, end - at);
            }
            previous = fields[0];
            at = end + 2;
        }
        EXPECT_EQ(f, kFrames);
    }
}

namespace {

// Records 20 000 frames of 4 channels at 20 kHz with an export and three
// markers, and finishes the recording; the files are left open.
void RecordAWholeSecond(CAnalogWriter& writer, const std::string& path, const std::string& folder,
                        const RecordMarkers& markers)
{
    ASSERT_TRUE(writer.OpenFile(path, 4, 1, 20000.0, true, folder));
    ASSERT_TRUE(writer.WriteProperties(nullptr, 0));
    ASSERT_TRUE(writer.Start());
    for (int f = 0; f < 20000; ++f) ASSERT_EQ(writer.WriteFrame(NumberedFrame(f, 4).data(), 4), 4u);
    ASSERT_TRUE(writer.Finish(&markers));
    EXPECT_TRUE(writer.GetEndNote().empty()) << writer.GetEndNote();
}

// The recording holds its 20 000 frames and the markers; the export its header,
// 20 000 frame lines and the event lines.
void ExpectWholeSecond(const std::string& path, const std::string& textPath,
                       const RecordMarkers& markers)
{
    CAnalogReader reader;
    ASSERT_TRUE(reader.Open(path)) << reader.GetError();
    EXPECT_TRUE(reader.GetNotes().empty());
    EXPECT_EQ(reader.GetFrameCount(), 20000);
    std::vector<double> frame(4);
    ASSERT_TRUE(reader.GetFrame(frame.data(), 4, 19999));
    EXPECT_EQ(frame, NumberedFrame(19999, 4));
    EXPECT_EQ(reader.GetMarkerLabels(), markers.labels);
    const std::string text = ReadFileText(textPath);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 20000 + 3);
    EXPECT_NE(text.find("\r\n0.99995\t79996.5\t79997.5\t79998.5\t79999.5\r\nevent[0]\t"),
              std::string::npos);
    EXPECT_TRUE(EndsWith(text, "event[2]\t19999\t3\tend\r\n"));
}

RecordMarkers ThreeMarkers()
{
    RecordMarkers markers;
    markers.codes = {1, 2, 3};
    markers.frames = {0, 10000, 19999};
    markers.labels = {"start", "half", "end"};
    return markers;
}

}  // namespace

TEST_F(AnalogWriterTest, InterruptedCloseOfWholeFilesIsNoFailure)
{
    // A signal can interrupt close (on a network file system, say). On Linux the
    // descriptor is gone all the same and what was written before stays: there
    // is nothing to retry and nothing to tell.
    const RecordMarkers markers = ThreeMarkers();
    for (bool useThread : {false, true}) {
        for (const std::vector<std::string>& interrupted :
             {std::vector<std::string>{".qvd"}, {".txt"}, {".qvd", ".txt"}}) {
            SCOPED_TRACE(testing::Message() << (useThread ? "threaded " : "plain ")
                                            << interrupted.size() << " " << interrupted[0]);
            const std::string path = File("whole.qvd");
            auto writer = MakeWriterFor(useThread, 20000);
            RecordAWholeSecond(*writer, path, Dir().string(), markers);
            CLogCapture log;
            for (const std::string& suffix : interrupted) FailNextClose("/whole" + suffix, EINTR);
            EXPECT_TRUE(writer->Close());
            EXPECT_EQ(ClearCloseFaults(), 0) << "every close armed was interrupted";
            EXPECT_TRUE(log.Messages().empty()) << log.Messages()[0];
            ExpectWholeSecond(path, File("whole.txt"), markers);
        }
    }
    // The finaliser of a file no writer holds, likewise.
    Bytes unfinished;
    unfinished.Header(99887755, 10.0, 2, 1, 0, 0).F64(1).F64(2).F64(3).F64(4);
    const std::string path = File("unfinished.qvd");
    unfinished.Save(path);
    RecordMarkers early = markers;
    early.frames = {0, 1, 1};
    CLogCapture log;
    FailNextClose("/unfinished.qvd", EINTR);
    EXPECT_TRUE(FinaliseRecordFile(path, 0, &early));
    EXPECT_EQ(ClearCloseFaults(), 0);
    EXPECT_TRUE(log.Messages().empty()) << log.Messages()[0];
    CAnalogReader reader;
    ASSERT_TRUE(reader.Open(path)) << reader.GetError();
    EXPECT_EQ(reader.GetFrameCount(), 2);
    EXPECT_EQ(reader.GetMarkerLabels(), markers.labels);
}

TEST_F(AnalogWriterTest, FailedCloseIsSaidAsAFailedCloseNotAsACut)
{
    // EIO on close: the disk may not hold all that was written (a network file
    // system's write-back failed). Every line went in whole: it is the close
    // that failed, and it is said as such, once.
    const RecordMarkers markers = ThreeMarkers();
    for (bool useThread : {false, true}) {
        for (int error : {EIO, ENOSPC, EDQUOT}) {
            for (const std::string suffix : {".qvd", ".txt"}) {
                SCOPED_TRACE(testing::Message() << (useThread ? "threaded " : "plain ") << suffix
                                                << " " << std::strerror(error));
                const std::string path = File("failed.qvd");
                auto writer = MakeWriterFor(useThread, 20000);
                RecordAWholeSecond(*writer, path, Dir().string(), markers);
                CLogCapture log;
                FailNextClose("/failed" + suffix, error);
                EXPECT_FALSE(writer->Close());
                EXPECT_EQ(ClearCloseFaults(), 0);
                const std::string file = suffix == ".qvd" ? "analog" : "text";
                ASSERT_EQ(log.Messages().size(), 1u);
                EXPECT_TRUE(EndsWith(
                    log.Messages()[0],
                    "<REC> Error closing " + file + " file : " + File("failed" + suffix) + " : " +
                        std::strerror(error) + " (what was written may not all be on disk)"))
                    << log.Messages()[0];
                EXPECT_EQ(log.Messages()[0].find("cut at"), std::string::npos);
                ExpectWholeSecond(path, File("failed.txt"), markers);
            }
        }
    }
}

TEST_F(AnalogWriterTest, TextExportTimesStayApartAtAnyRateAndLength)
{
    // The time column of long recordings at low and high rates: every line's
    // time reads back as its frame's own, later than the line before.
    for (double rate : {1.0, 50.0, 1000.0, 10000.0, 44100.0, 100000.0, 1e6}) {
        for (int64_t first : {int64_t(999990), int64_t(2147483640), int64_t(1) << 40}) {
            SCOPED_TRACE(testing::Message() << rate << " Hz from frame " << first);
            const std::string path = File("times.txt");
            {
                CTextExport text;
                ASSERT_TRUE(text.Open(path, true, rate));
                for (int64_t index = first; index < first + 40; ++index) {
                    const double value = double(index) / 7.0;
                    text.AddFrame(index, &value, 1);
                }
                ASSERT_TRUE(text.Close());
            }
            const std::string written = ReadFileText(path);
            double previous = -1.0;
            int64_t index = first;
            for (size_t at = 0; at < written.size(); ++index) {
                const size_t end = written.find("\r\n", at);
                ASSERT_NE(end, std::string::npos);
                double time = 0.0;
                double value = 0.0;
                const char* tab =
                    std::from_chars(written.data() + at, written.data() + end, time).ptr;
                ASSERT_EQ(*tab, '\t');
                ASSERT_EQ(std::from_chars(tab + 1, written.data() + end, value).ptr,
                          written.data() + end);
                EXPECT_EQ(time, double(index) / rate) << written.substr(at, end - at);
                EXPECT_GT(time, previous) << written.substr(at, end - at);
                EXPECT_EQ(value, double(index) / 7.0);
                previous = time;
                at = end + 2;
            }
            EXPECT_EQ(index, first + 40);
        }
    }
}

TEST_F(AnalogWriterTest, EveryFrameWidthTheWritersTakeIsReadBack)
{
    // What a writer records, the reader (and so the player) takes; a frame
    // wider than that is refused when the recording is created, not found out
    // at playback.
    struct Case {
        int32_t channels;
        int32_t dim;
        bool isTaken;
    };
    for (const Case& c : {Case{257, 1, true}, Case{1024, 1, true}, Case{65536, 1, true},
                          Case{9362, 7, true}, Case{256, 256, true}, Case{65537, 1, false},
                          Case{9363, 7, false}, Case{257, 256, false}, Case{1, 257, false}}) {
        for (bool useThread : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << c.channels << " x " << c.dim << (useThread ? " threaded" : " plain"));
            const std::string path = File(std::to_string(c.channels) + "x" + std::to_string(c.dim) +
                                          (useThread ? "t.qvd" : "p.qvd"));
            auto writer = MakeWriter(useThread);
            CLogCapture log;
            ASSERT_EQ(writer->OpenFile(path, c.channels, c.dim, 100.0, false, ""), c.isTaken);
            if (!c.isTaken) {
                EXPECT_FALSE(std::filesystem::exists(path));
                ASSERT_EQ(log.Messages().size(), useThread ? 2u : 1u);
                EXPECT_NE(log.Messages()[0].find("more than a frame holds"), std::string::npos)
                    << log.Messages()[0];
                continue;
            }
            ASSERT_TRUE(writer->WriteProperties(nullptr, 0));
            ASSERT_TRUE(writer->Start());
            const size_t values = size_t(c.channels) * size_t(c.dim);
            std::vector<double> frame(values);
            for (int f = 0; f < 2; ++f) {
                for (size_t v = 0; v < values; ++v) frame[v] = f * 1e6 + double(v);
                ASSERT_EQ(writer->WriteFrame(frame.data(), values), values);
            }
            ASSERT_TRUE(writer->Finish(nullptr));
            ASSERT_TRUE(writer->Close());
            EXPECT_TRUE(log.Messages().empty());
            CAnalogReader reader;
            ASSERT_TRUE(reader.Open(path)) << reader.GetError();
            EXPECT_EQ(reader.GetChannelCount(), c.channels);
            EXPECT_EQ(reader.GetDim(), c.dim);
            ASSERT_EQ(reader.GetFrameCount(), 2);
            ASSERT_TRUE(reader.GetFrame(frame.data(), int64_t(values), 1));
            for (size_t v = 0; v < values; ++v) ASSERT_EQ(frame[v], 1e6 + double(v));
        }
    }
}
