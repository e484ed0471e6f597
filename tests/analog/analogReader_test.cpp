#include "analog/analogReader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#include "analog/analogThreadWriter.h"
#include "analog/analogWriter.h"
#include "analog/recordBytes.h"
#include "analog/recordFormat.h"
#include "support/tempDir.h"

namespace {

class AnalogReaderTest : public TempDirTest {
protected:
    std::string File(const std::string& name) const { return Path(name).string(); }

    // A recording of channels x dim values per frame, frame f value v = f + v / 100.
    static Bytes Recording(int32_t channels, int32_t dim, int64_t frames, int64_t countField,
                           const Bytes& block, double rate = 100.0, uint64_t magic = 99887755)
    {
        Bytes bytes;
        bytes.Header(magic, rate, channels, dim, countField, block.Size()).Append(block);
        for (int64_t f = 0; f < frames; ++f)
            for (int v = 0; v < channels * dim; ++v) bytes.F64(double(f) + v / 100.0);
        return bytes;
    }

    static Bytes SmallBlock()
    {
        Bytes block;
        block.PString("test_device").PString("left").PString("right").PBool(false).PInt(1);
        block.PDouble(0.5).PDouble(-4.0).PDouble(4.0);
        return block;
    }

    static std::unique_ptr<CAnalogWriter> MakeWriter(bool threaded)
    {
        if (threaded) return std::make_unique<CAnalogThreadWriter>(1, 100);
        return std::make_unique<CAnalogWriter>();
    }

    bool Load(const Bytes& bytes, CAnalogReader& reader, const std::string& name = "file.qvd")
    {
        bytes.Save(File(name));
        return reader.Open(File(name));
    }
};

RecordHeaderInfo Info(int channels)
{
    RecordHeaderInfo info;
    info.deviceKey = "test_device";
    for (int i = 0; i < channels; ++i)
        info.channelNames.push_back(wxString::Format("Channel #%d", i));
    info.deviceType = 1;
    info.unitScale = 0.001;
    info.minValue = -10.0;
    info.maxValue = 10.0;
    return info;
}

}  // namespace

TEST_F(AnalogReaderTest, ReadsBackWhatBothWritersWrote)
{
    RecordMarkers markers;
    markers.codes = {3, 9};
    markers.frames = {2, 0x80000001u};
    markers.labels = {wxString::FromUTF8("d\xC3\xA9part"), ""};
    HeaderPropertyBuffer block;
    const uint64_t length = BuildHeaderProperties(Info(4), block);
    for (bool threaded : {false, true}) {
        const std::string path = File(threaded ? "thread.qvd" : "plain.qvd");
        std::unique_ptr<CAnalogWriter> writer = MakeWriter(threaded);
        ASSERT_TRUE(writer->OpenFile(path, 4, 1, 250.0, false, ""));
        ASSERT_TRUE(writer->WriteProperties(block.data(), length));
        ASSERT_TRUE(writer->Start());
        for (int f = 0; f < 50; ++f) {
            const double frame[4] = {f * 0.1, -f * 0.1, 1.0, f % 2 ? 0.5 : -0.5};
            writer->WriteFrame(frame, 4);
        }
        ASSERT_TRUE(writer->Finish(&markers));
        ASSERT_TRUE(writer->Close());

        CAnalogReader reader;
        ASSERT_TRUE(reader.Open(path)) << path;
        EXPECT_EQ(reader.GetChannelCount(), 4);
        EXPECT_EQ(reader.GetDim(), 1);
        EXPECT_EQ(reader.GetFrameCount(), 50);
        EXPECT_EQ(reader.GetRate(), 250.0);
        EXPECT_EQ(reader.GetDeviceKey(), "test_device");
        EXPECT_EQ(reader.GetDeviceType(), 1);
        EXPECT_FALSE(reader.IsTracker());
        EXPECT_EQ(reader.GetUnitScale(), 0.001);
        ASSERT_EQ(reader.GetChannelNames().size(), 4u);
        EXPECT_EQ(reader.GetChannelNames()[3], "Channel #3");
        EXPECT_TRUE(reader.IsInMemory());
        EXPECT_FALSE(reader.HoldsFile());
        double frame[4];
        ASSERT_TRUE(reader.GetFrame(frame, 4, 49));
        EXPECT_EQ(frame[0], 49 * 0.1);
        EXPECT_EQ(frame[1], -49 * 0.1);
        EXPECT_EQ(frame[3], 0.5);
        // Data from -4.9 to 4.9: margin 1.96, range -7 to 7.
        EXPECT_EQ(reader.GetMinValue(), -7.0);
        EXPECT_EQ(reader.GetMaxValue(), 7.0);
        // The marker set at frame 2^31 + 1 lies outside the 50 frames: dropped, said.
        ASSERT_EQ(reader.GetMarkerCodes().size(), 1u);
        EXPECT_EQ(reader.GetMarkerCodes()[0], 3u);
        EXPECT_EQ(reader.GetMarkerFrames()[0], 2u);
        EXPECT_EQ(reader.GetMarkerLabels()[0], wxString::FromUTF8("d\xC3\xA9part"));
        EXPECT_EQ(reader.GetNotes(),
                  (std::vector<wxString>{"1 marker(s) outside its 50 frames dropped"}));
    }
}

TEST_F(AnalogReaderTest, OlderGenerationHasMarkersWithoutLabels)
{
    Bytes bytes = Recording(2, 1, 10, 10, SmallBlock(), 100.0, 99887766);
    bytes.U64(2).U32(5).I64(3).U32(6).I64(9);
    CAnalogReader reader;
    ASSERT_TRUE(Load(bytes, reader));
    EXPECT_EQ(CAnalogReader::GetFileVersion(File("file.qvd")), 1);
    ASSERT_EQ(reader.GetMarkerCodes().size(), 2u);
    EXPECT_EQ(reader.GetMarkerCodes()[0], 5u);
    EXPECT_EQ(reader.GetMarkerFrames()[0], 3u);
    EXPECT_EQ(reader.GetMarkerFrames()[1], 9u);
    EXPECT_EQ(reader.GetMarkerLabels()[1], "");
    EXPECT_TRUE(reader.GetNotes().empty());
    EXPECT_EQ(reader.GetChannelNames(), (std::vector<wxString>{"left", "right"}));
    EXPECT_EQ(reader.GetUnitScale(), 0.5);
}

TEST_F(AnalogReaderTest, SizeAndHeaderLimits)
{
    CAnalogReader small;
    Bytes bytes = Recording(1, 1, 11, 11, Bytes());  // 40 + 88 = 128 bytes
    bytes.Data().pop_back();
    EXPECT_FALSE(Load(bytes, small, "127.qvd"));
    EXPECT_EQ(CAnalogReader::GetFileVersion(File("127.qvd")), 2);
    CAnalogReader exact;
    EXPECT_TRUE(Load(Recording(1, 1, 11, 11, Bytes()), exact, "128.qvd"));

    struct Case {
        int32_t channels;
        int32_t dim;
        int64_t frames;
        double rate;
        bool isAccepted;
    };
    const Case cases[] = {
        {256, 1, 2, 100.0, true},        {257, 1, 2, 100.0, true},
        {1024, 1, 2, 100.0, true},       {65536, 1, 2, 100.0, true},
        {65537, 1, 2, 100.0, false},     {256, 256, 2, 100.0, true},
        {257, 256, 2, 100.0, false},     {9362, 7, 2, 100.0, true},
        {9363, 7, 2, 100.0, false},      {70000, 1, 2, 100.0, false},
        {-1, 1, 2, 100.0, false},        {2, 0, 20, 100.0, false},
        {2, 256, 2, 100.0, true},        {2, 257, 2, 100.0, false},
        {20, 1, 1, 100.0, false},        {20, 1, 2, 100.0, true},
        {20, 1, 5, 0.5, false},          {20, 1, 5, 1.0, true},
        {20, 1, 5, std::nan(""), false}, {20, 1, 5, std::numeric_limits<double>::infinity(), false},
    };
    for (const Case& c : cases) {
        Bytes file;
        file.Header(99887755, c.rate, c.channels, c.dim, c.frames, 0);
        const int64_t values =
            std::max(0, c.channels) * int64_t(std::max(0, c.dim)) * std::max<int64_t>(c.frames, 0);
        for (int64_t i = 0; i < std::max<int64_t>(values, 20); ++i) file.F64(1.0);
        CAnalogReader reader;
        EXPECT_EQ(Load(file, reader), c.isAccepted)
            << c.channels << " channels, dim " << c.dim << ", " << c.frames << " frames, " << c.rate
            << " Hz";
        EXPECT_FALSE(reader.HoldsFile() && reader.IsInMemory());
    }
}

TEST_F(AnalogReaderTest, AnyFrameCountTheFileHoldsIsAcceptedBeyondTheOldLimit)
{
    // 10,000,001 frames of one value (a sparse file): read on demand.
    const int64_t frames = 10000001;
    Bytes header;
    header.Header(99887755, 1000.0, 1, 1, frames, 0);
    header.Save(File("long.qvd"));
    const int fd = ::open(File("long.qvd").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 40 + frames * 8), 0);
    const double last = 12.5;
    ASSERT_EQ(::pwrite(fd, &last, 8, 40 + (frames - 1) * 8), 8);
    ::close(fd);
    CAnalogReader reader;
    ASSERT_TRUE(reader.Open(File("long.qvd")));
    EXPECT_EQ(reader.GetFrameCount(), frames);
    EXPECT_FALSE(reader.IsInMemory());
    double value = 0;
    ASSERT_TRUE(reader.GetFrame(&value, 1, frames - 1));
    EXPECT_EQ(value, 12.5);
    EXPECT_FALSE(reader.GetFrame(&value, 1, frames));
}

TEST_F(AnalogReaderTest, RecordingsOverTwoGibibytesUse64BitOffsets)
{
    const int64_t frames = (int64_t(1) << 28) + 16;  // 2 GiB + 128 bytes of frames, sparse
    Bytes header;
    header.Header(99887755, 1000.0, 1, 1, frames, 0);
    header.Save(File("huge.qvd"));
    const int fd = ::open(File("huge.qvd").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const double marks[2] = {-3.25, 7.75};
    ASSERT_EQ(::pwrite(fd, &marks[0], 8, 40 + (frames - 2) * 8), 8);
    ASSERT_EQ(::pwrite(fd, &marks[1], 8, 40 + (frames - 1) * 8), 8);
    Bytes trailer;
    trailer.U64(1).Marker(4, frames - 1, "end");
    ASSERT_EQ(::pwrite(fd, trailer.Data().data(), trailer.Size(), 40 + frames * 8),
              long(trailer.Size()));
    ::close(fd);
    CAnalogReader reader;
    ASSERT_TRUE(reader.Open(File("huge.qvd")));
    EXPECT_EQ(reader.GetFrameCount(), frames);
    double value = 0;
    ASSERT_TRUE(reader.GetFrame(&value, 1, frames - 2));
    EXPECT_EQ(value, -3.25);
    ASSERT_TRUE(reader.GetFrame(&value, 1, frames - 1));
    EXPECT_EQ(value, 7.75);
    ASSERT_EQ(reader.GetMarkerLabels().size(), 1u);
    EXPECT_EQ(reader.GetMarkerLabels()[0], "end");
    EXPECT_EQ(reader.GetMarkerFrames()[0], static_cast<uint32_t>(frames - 1));
}

TEST_F(AnalogReaderTest, UnpatchedOrOverstatedCountGivesTheCompleteFramesAndNoMarkers)
{
    Bytes unpatched = Recording(2, 1, 10, 0, SmallBlock());
    unpatched.U64(1).Marker(1, 1, "x").U8(0xEE);  // trailing bytes are not a trailer
    CAnalogReader reader;
    ASSERT_TRUE(Load(unpatched, reader));
    EXPECT_EQ(reader.GetFrameCount(), 11);  // 170 bytes / 8 / 2 channels
    EXPECT_TRUE(reader.GetMarkerCodes().empty());

    Bytes overstated = Recording(2, 1, 10, 1000, SmallBlock());
    overstated.F64(1.0);  // half a frame
    CAnalogReader clamped;
    ASSERT_TRUE(Load(overstated, clamped, "over.qvd"));
    EXPECT_EQ(clamped.GetFrameCount(), 10);
    double frame[2];
    ASSERT_TRUE(clamped.GetFrame(frame, 2, 9));
    EXPECT_EQ(frame[1], 9.01);
    EXPECT_FALSE(clamped.GetFrame(frame, 2, 10));
    EXPECT_FALSE(clamped.GetFrame(frame, 1, 0));
    EXPECT_FALSE(clamped.GetFrame(nullptr, 2, 0));
    EXPECT_FALSE(clamped.GetFrame(frame, 2, -1));
}

TEST_F(AnalogReaderTest, MemoryModeUpTo512KiBAndRangeWidening)
{
    // Data between -0.7 and -0.2: margin 0.1, range -1 to 0.
    Bytes narrow;
    narrow.Header(99887755, 100.0, 1, 1, 0, SmallBlock().Size()).Append(SmallBlock());
    for (int i = 0; i < 20; ++i) narrow.F64(i % 2 ? -0.7 : -0.2);
    CAnalogReader reader;
    ASSERT_TRUE(Load(narrow, reader));
    EXPECT_EQ(reader.GetMinValue(), -1.0);
    EXPECT_EQ(reader.GetMaxValue(), 0.0);

    // 2 channels x 32768 frames x 8 bytes = 524,288: in memory.
    CAnalogReader atLimit;
    ASSERT_TRUE(Load(Recording(2, 1, 32768, 32768, SmallBlock()), atLimit, "limit.qvd"));
    EXPECT_TRUE(atLimit.IsInMemory());
    EXPECT_FALSE(atLimit.HoldsFile());
    // One frame more: on demand, with the range of the properties.
    CAnalogReader beyond;
    ASSERT_TRUE(Load(Recording(2, 1, 32769, 32769, SmallBlock()), beyond, "beyond.qvd"));
    EXPECT_FALSE(beyond.IsInMemory());
    EXPECT_TRUE(beyond.HoldsFile());
    EXPECT_EQ(beyond.GetMinValue(), -4.0);
    EXPECT_EQ(beyond.GetMaxValue(), 4.0);
    double frame[2];
    ASSERT_TRUE(beyond.GetFrame(frame, 2, 32768));
    EXPECT_EQ(frame[0], 32768.0);
    EXPECT_EQ(frame[1], 32768.01);

    // No range in the block and no usable values: +-1; non-finite values are ignored.
    Bytes noRange;
    noRange.Header(99887755, 100.0, 1, 1, 0, 0);
    for (int i = 0; i < 20; ++i)
        noRange.F64(i == 3 ? std::numeric_limits<double>::infinity() : std::nan(""));
    CAnalogReader fallback;
    ASSERT_TRUE(Load(noRange, fallback, "nan.qvd"));
    EXPECT_EQ(fallback.GetMinValue(), -1.0);
    EXPECT_EQ(fallback.GetMaxValue(), 1.0);
}

TEST_F(AnalogReaderTest, FailedOnDemandReadKeepsTheRowAndIsCounted)
{
    CAnalogReader reader;
    ASSERT_TRUE(Load(Recording(2, 1, 40000, 40000, SmallBlock()), reader, "demand.qvd"));
    ASSERT_FALSE(reader.IsInMemory());
    const int fd = ::open(File("demand.qvd").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 40 + long(SmallBlock().Size()) + 1000 * 16),
              0);  // the file shrinks under it
    ::close(fd);
    double frame[2] = {-5.0, -6.0};
    EXPECT_FALSE(reader.GetFrame(frame, 2, 39999));
    EXPECT_EQ(frame[0], -5.0);
    EXPECT_EQ(frame[1], -6.0);
    EXPECT_EQ(reader.GetFailedReads(), 1u);
    ASSERT_TRUE(reader.GetFrame(frame, 2, 999));
    EXPECT_EQ(frame[0], 999.0);
}

TEST_F(AnalogReaderTest, MarkerCountLimitsAndEmptyLabels)
{
    Bytes many = Recording(1, 1, 100000, 100000, Bytes());
    many.U64(99999);
    for (uint32_t i = 0; i < 99999; ++i) many.Marker(i, i, i == 0 ? "first" : "");
    CAnalogReader reader;
    ASSERT_TRUE(Load(many, reader));
    EXPECT_EQ(reader.GetMarkerCodes().size(), 99999u);
    EXPECT_EQ(reader.GetMarkerLabels()[0], "first");
    EXPECT_EQ(reader.GetMarkerLabels()[1], "");
    EXPECT_EQ(reader.GetMarkerCodes()[99998], 99998u);

    Bytes tooMany = Recording(1, 1, 20, 20, Bytes());
    tooMany.U64(100000);
    for (uint32_t i = 0; i < 100000; ++i) tooMany.Marker(1, 1, "");
    CAnalogReader none;
    ASSERT_TRUE(Load(tooMany, none, "many.qvd"));
    EXPECT_TRUE(none.GetMarkerCodes().empty());
    EXPECT_EQ(none.GetNotes(),
              (std::vector<wxString>{"its 100000 markers are not read (more than 99999)"}));

    // A file cut inside its trailer: the whole markers before the cut are read, and said.
    Bytes cut = Recording(1, 1, 20, 20, Bytes());
    cut.U64(3).Marker(1, 10, "one").Marker(2, 19, "two").U32(3).U32(0);
    CAnalogReader partial;
    ASSERT_TRUE(Load(cut, partial, "cut.qvd"));
    EXPECT_EQ(partial.GetMarkerLabels(), (std::vector<wxString>{"one", "two"}));
    EXPECT_EQ(partial.GetNotes(),
              (std::vector<wxString>{"the file ends inside its markers: 2 marker(s) read"}));
}

TEST_F(AnalogReaderTest, PropertyBlockParseRules)
{
    // Each name stays on its own channel, an empty one too; unknown tags are skipped.
    Bytes block;
    block.PString("dev").PString("a").PString("").PString("c").U8(9).PBool(true).PInt(4).PInt(5);
    block.PDouble(2.0).PDouble(-3.0).PDouble(1.5).PDouble(99.0);
    Bytes file = Recording(3, 7, 3, 3, block);
    CAnalogReader reader;
    ASSERT_TRUE(Load(file, reader));
    EXPECT_EQ(reader.GetDeviceKey(), "dev");
    EXPECT_EQ(reader.GetChannelNames(), (std::vector<wxString>{"a", "", "c"}));
    EXPECT_TRUE(reader.IsTracker());
    EXPECT_EQ(reader.GetDeviceType(), 4);
    EXPECT_EQ(reader.GetUnitScale(), 2.0);
    EXPECT_FALSE(reader.IsTrackerModel());

    // Huge, negative and past-the-end string lengths end the block parse; the
    // frames that follow the declared block are still read.
    for (uint32_t length : {2048u, 0xFFFFFFFFu, 0x80000000u, 500u}) {
        Bytes bad;
        bad.PString("key").U8(4).U8(2).U32(length).Raw("abc");
        while (bad.Size() < 60) bad.U8(3);
        CAnalogReader crafted;
        ASSERT_TRUE(Load(Recording(1, 1, 4, 4, bad), crafted, "bad.qvd")) << length;
        EXPECT_EQ(crafted.GetDeviceKey(), "key");
        double value = 0;
        ASSERT_TRUE(crafted.GetFrame(&value, 1, 3));
        EXPECT_EQ(value, 3.0);
    }

    // A block length past the end of the file refuses the file at once.
    Bytes pastEnd;
    pastEnd.Header(99887755, 100.0, 1, 1, 20, 1u << 30);
    for (int i = 0; i < 20; ++i) pastEnd.F64(i);
    CAnalogReader refused;
    EXPECT_FALSE(Load(pastEnd, refused, "past.qvd"));
    EXPECT_FALSE(refused.HoldsFile());
}

TEST_F(AnalogReaderTest, NotARecordingIsRefusedAndTheReaderLetsGoOfTheFile)
{
    Bytes other;
    other.U64(12345).Raw(std::string(200, 'x'));
    CAnalogReader reader;
    EXPECT_FALSE(Load(other, reader));
    EXPECT_EQ(CAnalogReader::GetFileVersion(File("file.qvd")), 0);
    EXPECT_FALSE(reader.ReadFileNewFormat(File("file.qvd")));
    EXPECT_FALSE(reader.HoldsFile());
    EXPECT_EQ(CAnalogReader::GetFileVersion(File("absent.qvd")), 0);
    // The same reader can then load a good file.
    EXPECT_TRUE(Load(Recording(1, 1, 20, 20, Bytes()), reader, "good.qvd"));
    EXPECT_TRUE(reader.IsTrackerModel() == false);
}

namespace {

// A finished recording of 6 channels and 76 frames with two markers inside them.
Bytes SixChannels(int64_t countField, int32_t channels = 6)
{
    Bytes block;
    block.PString("test_device").PBool(false).PInt(1).PDouble(1.0).PDouble(-1.0).PDouble(1.0);
    Bytes bytes;
    bytes.Header(99887755, 100.0, channels, 1, countField, block.Size()).Append(block);
    for (int f = 0; f < 76; ++f)
        for (int v = 0; v < 6; ++v) bytes.F64(0.5 + f + v / 100.0);
    return bytes;
}

Bytes TwoMarkers()
{
    Bytes trailer;
    trailer.U64(2).Marker(1, 3, "start").Marker(2, 70, "end");
    return trailer;
}

}  // namespace

TEST_F(AnalogReaderTest, HeaderThatTheFileContradictsIsRefusedWithTheReason)
{
    CAnalogReader whole;
    ASSERT_TRUE(Load(SixChannels(76).Append(TwoMarkers()), whole, "whole.qvd"));
    EXPECT_EQ(whole.GetFrameCount(), 76);
    EXPECT_EQ(whole.GetMarkerLabels(), (std::vector<wxString>{"start", "end"}));
    EXPECT_TRUE(whole.GetNotes().empty());
    EXPECT_TRUE(whole.GetError().empty());

    struct Case {
        Bytes bytes;
        const char* error;
    };
    Case cases[] = {
        // A count altered to fewer frames puts the trailer among the frames.
        {SixChannels(40).Append(TwoMarkers()),
         "damaged: its header (40 frames of 6 x 1 values) does not match the file's size and "
         "marker trailer"},
        {SixChannels(75).Append(TwoMarkers()),
         "damaged: its header (75 frames of 6 x 1 values) does not match the file's size and "
         "marker trailer"},
        // Channels altered: the frames would be read re-interleaved.
        {SixChannels(76, 3).Append(TwoMarkers()),
         "damaged: its header (76 frames of 3 x 1 values) does not match the file's size and "
         "marker trailer"},
        {SixChannels(76, 5).Append(TwoMarkers()),
         "damaged: its header (76 frames of 5 x 1 values) does not match the file's size and "
         "marker trailer"},
        // A count one frame too large takes the trailer for a frame.
        {SixChannels(77).Append(TwoMarkers()),
         "damaged: its header (77 frames of 6 x 1 values) does not match the file's size and "
         "marker trailer"},
        {SixChannels(76, 0).Append(TwoMarkers()), "channel count 0 out of range (1 to 65536)"},
        {SixChannels(1).Append(TwoMarkers()), "holds 1 frame(s); a recording has at least 2"},
    };
    for (Case& c : cases) {
        CAnalogReader reader;
        EXPECT_FALSE(Load(c.bytes, reader, "damaged.qvd")) << c.error;
        EXPECT_EQ(reader.GetError(), c.error);
        EXPECT_FALSE(reader.HoldsFile());
        EXPECT_TRUE(reader.GetMarkerCodes().empty());
    }
    CAnalogReader other;
    Bytes notARecording;
    notARecording.U64(12345).Raw(std::string(200, 'x'));
    EXPECT_FALSE(Load(notARecording, other, "other.qvd"));
    EXPECT_EQ(other.GetError(), "not a Quorvane File");
    EXPECT_FALSE(other.Open(File("absent.qvd")));
    EXPECT_EQ(other.GetError(), wxString(std::strerror(ENOENT)));
}

TEST_F(AnalogReaderTest, FileThatEndsEarlyIsReadWithANote)
{
    struct Case {
        Bytes bytes;
        int64_t frames;
        size_t markers;
        const char* note;
    };
    Bytes unfinished = SixChannels(0);
    unfinished.F64(1.0).F64(2.0);  // a frame cut while it was written
    Bytes overstated = SixChannels(200);
    overstated.F64(1.0);
    Bytes cutInTrailer = SixChannels(76).Append(TwoMarkers());
    cutInTrailer.Data().resize(cutInTrailer.Size() - 5);
    Case cases[] = {
        {unfinished, 76, 0,
         "the recording was not finished: 76 frames read to the end of the file, without "
         "markers"},
        {overstated, 76, 0,
         "the file ends early: its header announces 200 frames, it holds 76; no markers"},
        {SixChannels(76), 76, 0, "the file ends after its frames, without its markers"},
        {cutInTrailer, 76, 1, "the file ends inside its markers: 1 marker(s) read"},
        {SixChannels(76).Append(TwoMarkers()).U8(0), 76, 2,
         "what follows its 76 frames is damaged or unfinished: 2 marker(s) read, the rest "
         "ignored"},
    };
    for (Case& c : cases) {
        CAnalogReader reader;
        ASSERT_TRUE(Load(c.bytes, reader, "early.qvd")) << c.note << ": " << reader.GetError();
        EXPECT_EQ(reader.GetFrameCount(), c.frames) << c.note;
        EXPECT_EQ(reader.GetMarkerCodes().size(), c.markers) << c.note;
        EXPECT_EQ(reader.GetNotes(), (std::vector<wxString>{c.note}));
        double frame[6];
        ASSERT_TRUE(reader.GetFrame(frame, 6, c.frames - 1));
        EXPECT_EQ(frame[5], 0.5 + 75 + 0.05);
    }
    // Finished without a frame: only the trailer follows the block.
    Bytes noFrames;
    noFrames.Header(99887755, 100.0, 1, 1, 0, 0).U64(6);
    for (int i = 0; i < 6; ++i) noFrames.Marker(1, 0, "x");
    CAnalogReader empty;
    EXPECT_FALSE(Load(noFrames, empty, "none.qvd"));
    EXPECT_EQ(empty.GetError(), "holds 0 frame(s); a recording has at least 2");
}

TEST_F(AnalogReaderTest, MarkersOutsideTheFramesAreDroppedWithANoteAndNeverWrap)
{
    Bytes bytes = SixChannels(76);
    bytes.U64(6)
        .Marker(1, 0, "first")
        .Marker(2, (int64_t(1) << 32) + 5, "wraps to 5")
        .Marker(3, 76, "past the end")
        .Marker(4, -1, "frame 2^32 - 1")
        .Marker(5, 75, "last")
        .Marker(6, int64_t(1) << 62, "far");
    CAnalogReader reader;
    ASSERT_TRUE(Load(bytes, reader));
    EXPECT_EQ(reader.GetMarkerLabels(), (std::vector<wxString>{"first", "last"}));
    EXPECT_EQ(reader.GetMarkerFrames(), (std::vector<uint32_t>{0, 75}));
    EXPECT_EQ(reader.GetMarkerCodes(), (std::vector<uint32_t>{1, 5}));
    EXPECT_EQ(reader.GetNotes(),
              (std::vector<wxString>{"4 marker(s) outside its 76 frames dropped"}));
}

TEST_F(AnalogReaderTest, SecondTrailerOfAFileFinishedTwiceIsAccepted)
{
    // A threaded recording of an older version got a second trailer at its finalisation.
    Bytes bytes = SixChannels(76).Append(TwoMarkers());
    bytes.U64(3).Marker(1, 3, "start").Marker(2, 70, "end").Marker(9, 72, "late");
    CAnalogReader reader;
    ASSERT_TRUE(Load(bytes, reader));
    EXPECT_EQ(reader.GetMarkerLabels(), (std::vector<wxString>{"start", "end"}));
    EXPECT_TRUE(reader.GetNotes().empty());
}

TEST_F(AnalogReaderTest, EveryFileTheWritersLeaveIsRead)
{
    RecordMarkers markers;
    markers.codes = {4};
    markers.frames = {10};
    markers.labels = {"mark"};
    for (bool threaded : {false, true}) {
        const std::string path = File(threaded ? "thread.qvd" : "plain.qvd");
        std::unique_ptr<CAnalogWriter> writer = MakeWriter(threaded);
        HeaderPropertyBuffer block;
        const uint64_t length = BuildHeaderProperties(Info(2), block);
        ASSERT_TRUE(writer->OpenFile(path, 2, 1, 100.0, false, ""));
        ASSERT_TRUE(writer->WriteProperties(block.data(), length));
        ASSERT_TRUE(writer->Start());
        for (int f = 0; f < 30; ++f) {
            const double frame[2] = {double(f), -double(f)};
            writer->WriteFrame(frame, 2);
        }
        // Closed without being finished, as after a crash: ends early.
        ASSERT_TRUE(writer->Close());
        CAnalogReader unfinished;
        ASSERT_TRUE(unfinished.Open(path)) << unfinished.GetError();
        EXPECT_EQ(unfinished.GetFrameCount(), 30);
        EXPECT_EQ(unfinished.GetChannelNames()[1], "Channel #1");
        ASSERT_EQ(unfinished.GetNotes().size(), 1u);
        // Then finished by the finaliser: whole, with its marker.
        ASSERT_TRUE(FinaliseRecordFile(path, 30, &markers));
        CAnalogReader finished;
        ASSERT_TRUE(finished.Open(path)) << finished.GetError();
        EXPECT_EQ(finished.GetFrameCount(), 30);
        EXPECT_EQ(finished.GetMarkerLabels(), (std::vector<wxString>{"mark"}));
        EXPECT_TRUE(finished.GetNotes().empty());
    }
}
