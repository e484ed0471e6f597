#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <random>

#include "analog/analogReader.h"
#include "analog/recordBytes.h"
#include "support/simSeeds.h"
#include "support/tempDir.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();  // AddressSanitizer runtime
#endif

// Damaged recordings: every one must be refused or read without a crash, a
// hang or an allocation out of proportion to the file.

namespace {

constexpr uint32_t kSeed = 20261207;
constexpr auto kCaseBound = std::chrono::seconds(2);  // catches a hang, never a speed target
constexpr size_t kAllocationBound = 4u << 20;

size_t AllocatedBytes()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

Bytes ValidRecording(uint64_t magic)
{
    Bytes block;
    block.PString("test_device").PString("left").PString("right").PBool(false).PInt(1);
    block.PDouble(0.001).PDouble(-2.0).PDouble(2.0);
    Bytes bytes;
    bytes.Header(magic, 100.0, 2, 1, 12, block.Size()).Append(block);
    for (int f = 0; f < 12; ++f) bytes.F64(f * 0.25).F64(-f * 0.5);
    if (magic == 99887755)
        bytes.U64(2).Marker(1, 3, "start").Marker(2, 9, "");
    else
        bytes.U64(2).U32(1).I64(3).U32(2).I64(9);
    return bytes;
}

class AnalogReaderCorruption : public TempDirTest {
protected:
    // Writes bytes to the test file and reads it; returns whether it loaded.
    void Check(const std::vector<uint8_t>& bytes, const std::string& what)
    {
        // One file rewritten in place: truncating to zero and closing would make
        // some file systems flush every case to disk.
        const std::string path = Path("damaged.qvd").string();
        if (m_fd < 0) m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(m_fd, 0);
        ASSERT_EQ(::pwrite(m_fd, bytes.data(), bytes.size(), 0),
                  static_cast<ssize_t>(bytes.size()));
        ASSERT_EQ(::ftruncate(m_fd, static_cast<off_t>(bytes.size())), 0);
        const size_t before = AllocatedBytes();
        const auto start = std::chrono::steady_clock::now();
        {
            CAnalogReader reader;
            if (reader.Open(path)) {
                ASSERT_GE(reader.GetFrameCount(), 2) << what;
                const int64_t count = int64_t(reader.GetChannelCount()) * reader.GetDim();
                std::vector<double> frame(static_cast<size_t>(std::max<int64_t>(count, 1)));
                const int64_t last = reader.GetFrameCount() - 1;
                for (int64_t f : {int64_t(0), last / 2, last, last + 1})
                    reader.GetFrame(frame.data(), count, f);
                EXPECT_EQ(reader.GetMarkerCodes().size(), reader.GetMarkerLabels().size()) << what;
                EXPECT_LE(reader.GetChannelNames().size(),
                          size_t(std::max(reader.GetChannelCount(), 0)))
                    << what;
                const size_t after = AllocatedBytes();
                EXPECT_LE(after > before ? after - before : 0, kAllocationBound) << what;
            }
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, kCaseBound) << what;
    }

    void TearDown() override
    {
        if (m_fd >= 0) ::close(m_fd);
        TempDirTest::TearDown();
    }

private:
    int m_fd = -1;
};

}  // namespace

TEST_F(AnalogReaderCorruption, EveryTruncationOfAValidFile)
{
    for (uint64_t magic : {99887755ull, 99887766ull}) {
        const Bytes valid = ValidRecording(magic);
        for (size_t length = 0; length <= valid.Size(); ++length) {
            std::vector<uint8_t> bytes(valid.Data().begin(), valid.Data().begin() + long(length));
            Check(bytes,
                  "magic " + std::to_string(magic) + " truncated to " + std::to_string(length));
            if (HasFatalFailure()) return;
        }
    }
}

TEST_F(AnalogReaderCorruption, TenThousandSeededMutations)
{
    std::mt19937 random(kSeed);
    const Bytes valid = ValidRecording(99887755);
    const uint64_t extremes[] = {0, 1, 0x7F, 0xFF, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF,
                                 0x7FFFFFFFFFFFFFFFull, 0x8000000000000000ull,
                                 0xFFFFFFFFFFFFFFFFull, 2047, 2048, 99999, 100000};
    for (int round = 0; round < 10000; ++round) {
        std::vector<uint8_t> bytes = valid.Data();
        const int changes = 1 + int(random() % 4);
        for (int c = 0; c < changes; ++c) {
            const size_t at = random() % bytes.size();
            switch (random() % 4) {
                case 0:  // one random byte
                    bytes[at] = static_cast<uint8_t>(random());
                    break;
                case 1: {  // an extreme 4- or 8-byte value at a random place
                    const uint64_t value =
                        extremes[random() % (sizeof extremes / sizeof extremes[0])];
                    const size_t width = random() % 2 ? 8 : 4;
                    for (size_t i = 0; i < width && at + i < bytes.size(); ++i)
                        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
                    break;
                }
                case 2:  // cut
                    bytes.resize(std::max<size_t>(at, 1));
                    break;
                default:  // a run of garbage
                    for (size_t i = at; i < std::min(bytes.size(), at + 16); ++i)
                        bytes[i] = static_cast<uint8_t>(random());
                    break;
            }
        }
        Check(bytes, "seed " + std::to_string(kSeed) + " round " + std::to_string(round));
        if (HasFatalFailure() || HasNonfatalFailure())
            return;  // the first failing round is enough to reproduce
    }
}

TEST_F(AnalogReaderCorruption, CraftedHugeLengthsAndCounts)
{
    const Bytes valid = ValidRecording(99887755);
    struct Patch {
        size_t offset;
        uint64_t value;
        size_t width;
        const char* what;
    };
    const size_t blockStart = 40;
    const size_t trailer = valid.Size() - (8 + 25 + 20);
    const Patch patches[] = {
        {16, 0xFFFFFFFF, 4, "channel count -1"},
        {20, 0x7FFFFFFF, 4, "dim huge"},
        {24, 0x7FFFFFFFFFFFFFFFull, 8, "frame count i64 max"},
        {24, 0x8000000000000000ull, 8, "frame count i64 min"},
        {32, 0xFFFFFFFFFFFFFFFFull, 8, "block length u64 max"},
        {32, 0x7FFFFFFFFFFFFFFFull, 8, "block length i64 max"},
        {blockStart + 2, 0x7FFFFFFF, 4, "string length i32 max"},
        {blockStart + 2, 0x80000000, 4, "string length negative"},
        {trailer, 0xFFFFFFFFFFFFFFFFull, 8, "marker count u64 max"},
        {trailer + 8 + 12, 0xFFFFFFFFFFFFFFFFull, 8, "label length u64 max"},
        {trailer + 8 + 12, 0x7FFFFFFFFFFFFFFFull, 8, "label length i64 max"},
        {8, 0x7FF8000000000000ull, 8, "rate NaN"},
    };
    for (const Patch& patch : patches) {
        std::vector<uint8_t> bytes = valid.Data();
        for (size_t i = 0; i < patch.width; ++i)
            bytes[patch.offset + i] = static_cast<uint8_t>(patch.value >> (8 * i));
        Check(bytes, patch.what);
    }
}

// Damage after the frames, drawn from a seed: every frame the header announces
// is read bit for bit, and nothing after them is played; a count never written
// before a whole trailer reads the frames up to it.
enum class TailDamage { None, Zeroed, Cut, Appended, Mutated, CountNeverWritten };

class AnalogReaderTailDamage : public AnalogReaderCorruption,
                               public ::testing::WithParamInterface<uint32_t> {};

TEST_P(AnalogReaderTailDamage, EveryAnnouncedFrameIsReadAndNothingAfterThem)
{
    SCOPED_TRACE("replay with QV_SIM_SEED=" + std::to_string(GetParam()));
    std::mt19937 random(GetParam());
    const auto draw = [&random](uint64_t below) { return below == 0 ? 0 : random() % below; };
    const int channels = 1 + int(draw(6));
    // 128 bytes at least; past 512 KiB of frames they are read from the file on demand.
    const int64_t frames = 11 + int64_t(draw(draw(4) == 0 ? 12000 : 400));
    const auto damage = TailDamage(draw(6));
    Bytes bytes;
    bytes.Header(99887755, 100.0, channels, 1, damage == TailDamage::CountNeverWritten ? 0 : frames,
                 0);
    std::vector<double> values;
    for (int64_t i = 0; i < frames * channels; ++i) {
        // Zeros and tiny values among them: their bytes look most like a trailer's.
        const uint64_t kind = draw(4);
        values.push_back(kind == 0   ? 0.0
                         : kind == 1 ? double(draw(100)) * 1e-310
                                     : double(int64_t(random())) / 7.0);
        bytes.F64(values.back());
    }
    const size_t frameEnd = bytes.Size();
    const uint64_t markers = draw(5);
    bytes.U64(markers);
    for (uint64_t m = 0; m < markers; ++m)
        bytes.Marker(uint32_t(draw(9)), int64_t(draw(uint64_t(frames))),
                     std::string(draw(3) == 0 ? draw(3000) : draw(12), char('a' + m)));
    std::vector<uint8_t> file = bytes.Data();
    const size_t at = frameEnd + draw(file.size() - frameEnd + 1);
    const size_t length = 1 + draw(draw(2) ? 16 : 64 * 1024);
    const size_t end = std::min(file.size(), at + length);
    if (damage == TailDamage::Zeroed || damage == TailDamage::Mutated)
        for (size_t i = at; i < end; ++i)
            file[i] = damage == TailDamage::Zeroed ? 0 : static_cast<uint8_t>(random());
    if (damage == TailDamage::Cut) file.resize(at);
    for (size_t i = 0; damage == TailDamage::Appended && i < length; ++i)
        file.push_back(draw(2) ? 0 : static_cast<uint8_t>(random()));
    const std::string path = Path("tail.qvd").string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    CAnalogReader reader;
    ASSERT_TRUE(reader.Open(path)) << reader.GetError();
    ASSERT_EQ(reader.GetFrameCount(), frames);
    std::vector<double> frame(size_t(channels), 0.0);
    for (int64_t f = 0; f < frames; ++f) {
        ASSERT_TRUE(reader.GetFrame(frame.data(), channels, f));
        ASSERT_EQ(std::memcmp(frame.data(), values.data() + f * channels, frame.size() * 8), 0)
            << "frame " << f;
    }
    const bool isWhole = damage == TailDamage::None || damage == TailDamage::CountNeverWritten;
    EXPECT_TRUE(isWhole ? reader.GetMarkerCodes().size() == markers
                        : reader.GetMarkerCodes().size() <= markers);
}
INSTANTIATE_TEST_SUITE_P(Seeds, AnalogReaderTailDamage, ::testing::ValuesIn(SimSeeds(40)),
                         SimSeedName());
