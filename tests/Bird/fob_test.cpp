// The flock on a simulated line: commands and replies, the start-up sequence,
// flock errors, stream decoding, and what broken or silent lines do.
#include "Bird/fob.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <future>
#include <random>
#include <thread>

#include "Bird/fobSimulator.h"

using namespace fob_wire;

namespace {

constexpr auto kTimeout = std::chrono::seconds(10);  // bounds a broken build only
constexpr uint32_t kBaud = 115200;
constexpr uint32_t kDelayMs = 1;

// No settling waits; replies get a generous time (a starved simulator may answer a
// second late), except in the tests of a flock that does not answer, which shorten it.
fob_setup QuickSetup(uint32_t readTimeoutMs = 5000)
{
    fob_setup setup;
    setup.resetMs = 0;
    setup.configureMs = 0;
    setup.resetPulse = false;  // a pseudo-terminal has no modem lines
    setup.minReadTimeoutMs = readTimeoutMs;
    // An update waits for the record sent before it (a test that sends none waits it out).
    setup.streamWaitMs = std::min<uint32_t>(readTimeoutMs, 1000);
    return setup;
}

class FobLibrary : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.IsOk());
        flock.set_setup(QuickSetup());
        flock.set_verbose(false);
    }
    // Two birds by default: address 1 (the master, takes a hemisphere) and 2.
    void StartSimulator()
    {
        if (std::all_of(std::begin(sim.status), std::end(sim.status),
                        [](uint8_t s) { return s == 0; })) {
            sim.AddBird(1, true);
            sim.AddBird(2, false);
        }
        ASSERT_TRUE(sim.Start());
    }
    // The flock opened and streaming position and quaternion at 36 inches.
    void StartStreaming()
    {
        ASSERT_NO_FATAL_FAILURE(StartSimulator());
        ASSERT_TRUE(OpenFlock());
        ASSERT_TRUE(flock.start());
        ASSERT_TRUE(flock.set_mode(kModePosition | kModeQuaternion, 36.0f, false));
        ASSERT_TRUE(flock.stream());
    }
    bool OpenFlock(uint32_t hemisphere = 1, uint32_t delayMs = kDelayMs)
    {
        return flock.open(sim.SlaveName().c_str(), hemisphere, kBaud, delayMs);
    }
    static std::vector<uint8_t> Seq(std::initializer_list<int> bytes)
    {
        std::vector<uint8_t> out;
        for (int b : bytes) out.push_back(static_cast<uint8_t>(b));
        return out;
    }
    // A record of the simulator's words for a bird, with an address byte.
    static std::vector<uint8_t> Streamed(uint32_t wordsOf, int address)
    {
        std::vector<uint8_t> record = MakeRecord(CFobSimulator::StreamWords(wordsOf));
        record.push_back(static_cast<uint8_t>(address));
        return record;
    }
    static float Position0(const fob::bird* b)
    {
        float position[3];
        b->get_position(position);
        return position[0];
    }

    CFobSimulator sim;
    fob flock;
};

}  // namespace

TEST_F(FobLibrary, OpenFailuresLeaveThePortFree)
{
    EXPECT_FALSE(flock.open(nullptr, 0, kBaud, kDelayMs));
    EXPECT_FALSE(flock.open("/nonexistent/fob-line", 0, kBaud, kDelayMs));
    EXPECT_EQ(flock.get_error(), "/nonexistent/fob-line does not exist");
    // A baud the line cannot take: the port opened but is released again.
    EXPECT_FALSE(flock.open(sim.SlaveName().c_str(), 0, 230400, kDelayMs));
    EXPECT_EQ(flock.get_error(), sim.SlaveName() + " does not take the baud rate");
    EXPECT_FALSE(flock.IsOpen());
    StartSimulator();
    EXPECT_TRUE(OpenFlock());
    EXPECT_TRUE(sim.WaitForSequence(Seq({'/'}), kTimeout));
    EXPECT_EQ(flock.get_delay_us(), 1000u);
}

TEST_F(FobLibrary, FailedResetReleasesTheLine)
{
    fob_setup setup = QuickSetup();
    setup.resetPulse = true;
    flock.set_setup(setup);
    EXPECT_FALSE(OpenFlock());
    EXPECT_EQ(flock.get_error(), "fob::reset: could not pulse the reset line");
    EXPECT_FALSE(flock.IsOpen());
    // The line is free for the next attempt.
    flock.set_setup(QuickSetup());
    StartSimulator();
    EXPECT_TRUE(OpenFlock()) << flock.get_error();
}

TEST_F(FobLibrary, StartConfiguresTheFlockBirdByBird)
{
    StartSimulator();
    ASSERT_TRUE(OpenFlock(4));          // UP
    EXPECT_EQ(flock.max_rate(9), 0.0);  // not running yet
    ASSERT_TRUE(flock.start()) << flock.get_error();
    EXPECT_TRUE(flock.is_running());
    ASSERT_EQ(flock.bird_count(), 2u);
    EXPECT_EQ(flock.get_bird(0)->address, 1u);
    EXPECT_TRUE(flock.get_bird(0)->flagA);
    EXPECT_EQ(flock.get_bird(1)->address, 2u);
    EXPECT_FALSE(flock.get_bird(1)->flagA);
    EXPECT_EQ(flock.get_bird(2), nullptr);
    EXPECT_EQ(flock.get_master(), 1u);
    EXPECT_EQ(flock.max_rate(9), 177.0);

    EXPECT_TRUE(sim.ReceivedSequence(Seq({0xF1, 'P', 0x32, 1})));  // configure for one bird
    EXPECT_TRUE(sim.ReceivedSequence(Seq({'O', 0x13})));
    EXPECT_TRUE(sim.ReceivedSequence(Seq({'O', 0x24})));
    EXPECT_TRUE(sim.ReceivedSequence(Seq({0xF1, 'O', 0x00})));
    EXPECT_TRUE(sim.ReceivedSequence(Seq({0xF2, 'O', 0x00})));
    EXPECT_TRUE(sim.ReceivedSequence(Seq({0xF1, 'P', 0x32, 2})));  // then for both
    EXPECT_TRUE(sim.ReceivedSequence(Seq({'F', 'O', 0x0A})));
    // Only the bird that takes a hemisphere is given one.
    EXPECT_TRUE(sim.ReceivedSequence(Seq({0xF1, 'L', 0x0C, 0x01})));
    EXPECT_FALSE(sim.ReceivedSequence(Seq({0xF2, 'L'})));

    sim.ClearReceived();
    ASSERT_TRUE(flock.set_mode(kModePosition | kModeQuaternion, 72.0f, true));
    EXPECT_TRUE(sim.ReceivedSequence(Seq({0xF1, ']', 0xF1, 'M', 0, 'O', 0x0A})));
    EXPECT_TRUE(sim.ReceivedSequence(Seq({0xF2, ']', 0xF2, 'M', 0, 'O', 0x0A})));
    EXPECT_EQ(flock.get_bird(1)->get_mode(), 9u);
    EXPECT_EQ(flock.get_bird(1)->get_range(), 72.0f);
    ASSERT_TRUE(flock.set_mode(kModePosition | kModeAngles | kModeButtons, 36.0f, false));
    EXPECT_TRUE(sim.ReceivedSequence(Seq({0xF2, 'Y', 0xF2, 'M', 1})));

    ASSERT_TRUE(flock.stream());
    EXPECT_TRUE(flock.is_streaming());
    EXPECT_TRUE(sim.WaitForSequence(Seq({'P', 0x23, 1, '@'}), kTimeout));

    sim.ClearReceived();
    flock.close();
    EXPECT_FALSE(flock.is_running());
    EXPECT_FALSE(flock.IsOpen());
    EXPECT_TRUE(sim.WaitForSequence(Seq({0xF1, 'B', 'G'}), kTimeout));
}

TEST_F(FobLibrary, FlockErrorsStopOrPassByLevel)
{
    StartSimulator();
    ASSERT_TRUE(OpenFlock());
    sim.errorCode = 6;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(flock.check_error());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "fob: ignoring error: 6: Invalid RS232 Command\n");
    sim.errorCode = 1;
    EXPECT_TRUE(flock.check_error());
    EXPECT_EQ(flock.get_error(), "System Ram Failure");
    sim.errorCode = 36;
    EXPECT_TRUE(flock.check_error());
    EXPECT_EQ(flock.get_error(),
              "fob::check_error: fob is returning corrupt data, please reset the flock");
    sim.errorCode = 15;
    EXPECT_FALSE(flock.start());
    EXPECT_EQ(flock.get_error(), "FBB Run Time Error");
    EXPECT_FALSE(flock.is_running());
}

TEST_F(FobLibrary, StartRefusesOddFlocks)
{
    sim.addressMode = 1;
    sim.AddBird(1, true);
    StartSimulator();
    ASSERT_TRUE(OpenFlock());
    EXPECT_FALSE(flock.start());
    EXPECT_EQ(flock.get_error(),
              "fob::check_address_mode: flock must be set in normal addressing mode");
    EXPECT_FALSE(flock.auto_configure(0));
    EXPECT_EQ(flock.get_error(), "fob::auto_configure: no birds detected");
    EXPECT_FALSE(flock.set_hemisphere(nullptr, 0));
}

TEST_F(FobLibrary, NoMasterNoStart)
{
    sim.AddBird(1, true);
    sim.masterAddress = 9;  // no bird says it is the master
    StartSimulator();
    ASSERT_TRUE(OpenFlock());
    EXPECT_FALSE(flock.start());
    EXPECT_EQ(flock.get_error(), "fob::load_flock_status: master bird could not be found");
}

TEST_F(FobLibrary, ButtonsAloneAreRefusedBeforeAnythingIsSent)
{
    StartSimulator();
    ASSERT_TRUE(OpenFlock());
    ASSERT_TRUE(flock.start());
    sim.ClearReceived();
    EXPECT_FALSE(flock.set_mode(kModeButtons, 36.0f, false));
    EXPECT_EQ(flock.get_error(), "fob::bird::set_mode: must specify data mode with buttons");
    EXPECT_FALSE(flock.set_hemisphere(flock.get_bird(0), 6));
    EXPECT_EQ(flock.get_error(), "fob::set_hemisphere: unknown hemisphere");
    ASSERT_TRUE(flock.send_cmd('G'));  // a marker: everything before it has arrived
    ASSERT_TRUE(sim.WaitForSequence(Seq({'G'}), kTimeout));
    EXPECT_EQ(sim.Received(), Seq({0xF1, 'G'}));
}

TEST_F(FobLibrary, StreamedRecordsReachTheirBirds)
{
    StartSimulator();
    ASSERT_TRUE(OpenFlock());
    ASSERT_TRUE(flock.start());
    ASSERT_TRUE(flock.set_mode(kModePosition | kModeQuaternion, 36.0f, true));
    ASSERT_TRUE(flock.stream());
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(flock.update()) << flock.get_error();
    for (uint32_t address = 1; address <= 2; ++address) {
        const std::vector<int16_t> words = CFobSimulator::StreamWords(address);
        float position[3], quaternion[4];
        flock.get_bird(address - 1)->get_position(position);
        flock.get_bird(address - 1)->get_quaternion(quaternion);
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(position[k], words[k] * 36.0 / 32768 * 0.0254, 1e-6) << address;
        for (int k = 0; k < 4; ++k)
            EXPECT_FLOAT_EQ(quaternion[k], words[3 + k] / 32768.0f) << address;
    }
}

TEST_F(FobLibrary, BrokenStreamsNeverReachTheWrongBird)
{
    sim.autoStream = false;
    ASSERT_NO_FATAL_FAILURE(StartStreaming());
    const fob::bird* first = flock.get_bird(0);
    const fob::bird* second = flock.get_bird(1);
    const uint8_t next = 0x80;  // the next record's first byte ends a record

    // Bytes of a record whose start we missed are skipped.
    std::vector<uint8_t> line = Seq({0x05, 0x06, 0x02});
    const std::vector<uint8_t> one = Streamed(1, 1);
    line.insert(line.end(), one.begin(), one.end());
    ASSERT_TRUE(sim.Send(line));
    ASSERT_TRUE(sim.Send({next}));
    ASSERT_TRUE(flock.update());
    EXPECT_NEAR(Position0(first), 1024 * 36.0 / 32768 * 0.0254, 1e-6);
    EXPECT_EQ(Position0(second), 0.0f);

    // Address 0 and addresses past the flock: nobody's record.
    for (int address : {0, 3, 14}) {
        std::vector<uint8_t> bad = Streamed(7, address);
        bad.erase(bad.begin());  // the pending first byte stands in for it
        bad.push_back(next);
        ASSERT_TRUE(sim.Send(bad));
        flock.set_setup(QuickSetup());
        ASSERT_TRUE(flock.update());
        EXPECT_EQ(flock.get_error(), "fob::update: warning: bad bird address") << address;
        EXPECT_NEAR(Position0(first), 1024 * 36.0 / 32768 * 0.0254, 1e-6);
        EXPECT_EQ(Position0(second), 0.0f);
    }

    // A record of the wrong length for the mode is dropped.
    ASSERT_TRUE(sim.Send(Seq({0x10, 0x20, 0x30, 0x02, next})));
    ASSERT_TRUE(flock.update());
    EXPECT_EQ(Position0(second), 0.0f);

    // A stream that never brings the next first byte is cut off, and reading
    // starts again at the next record.
    std::vector<uint8_t> endless(100, 0x11);
    endless.push_back(0x80);
    const std::vector<uint8_t> two = Streamed(2, 2);
    endless.insert(endless.end(), two.begin() + 1, two.end());
    endless.push_back(next);
    ASSERT_TRUE(sim.Send(endless));
    ASSERT_TRUE(flock.update());
    EXPECT_EQ(flock.get_error(), "fob::update: warning: record too long");
    // Three bad addresses, one of the wrong length, one too long.
    EXPECT_EQ(flock.get_dropped_records(), 5u);
    for (int i = 0; i < 4 && Position0(second) == 0.0f; ++i) ASSERT_TRUE(flock.update());
    EXPECT_NEAR(Position0(second), 2048 * 36.0 / 32768 * 0.0254, 1e-6);
}

TEST_F(FobLibrary, RecordsGoToTheBirdWithTheirAddress)
{
    sim.AddBird(2, true);
    sim.AddBird(3, false);
    sim.masterAddress = 2;
    sim.autoStream = false;
    StartSimulator();
    ASSERT_TRUE(OpenFlock());
    ASSERT_TRUE(flock.start());
    ASSERT_EQ(flock.bird_count(), 2u);
    EXPECT_EQ(flock.get_master(), 2u);
    ASSERT_TRUE(flock.set_mode(kModePosition | kModeQuaternion, 36.0f, false));
    ASSERT_TRUE(flock.stream());
    std::vector<uint8_t> line = Streamed(3, 3);
    const std::vector<uint8_t> two = Streamed(2, 2);
    line.insert(line.end(), two.begin(), two.end());
    line.push_back(0x80);
    ASSERT_TRUE(sim.Send(line));
    ASSERT_TRUE(flock.update());
    ASSERT_TRUE(flock.update());
    EXPECT_NEAR(Position0(flock.get_bird(0)), 2048 * 36.0 / 32768 * 0.0254, 1e-6);
    EXPECT_NEAR(Position0(flock.get_bird(1)), 3072 * 36.0 / 32768 * 0.0254, 1e-6);
}

TEST_F(FobLibrary, SecondStartKeepsOneBirdPerAddress)
{
    StartSimulator();
    ASSERT_TRUE(OpenFlock());
    ASSERT_TRUE(flock.start());
    ASSERT_TRUE(flock.stream());
    flock.close();
    ASSERT_TRUE(OpenFlock());
    ASSERT_TRUE(flock.start());
    EXPECT_EQ(flock.bird_count(), 2u);
    EXPECT_EQ(flock.max_rate(9), 177.0);
    // The reopened flock is told to stream again.
    EXPECT_FALSE(flock.is_streaming());
    sim.ClearReceived();
    ASSERT_TRUE(flock.stream());
    EXPECT_TRUE(sim.WaitForSequence(Seq({'@'}), kTimeout));
}

// Runs work on a thread; when it has not returned within the timeout, the line
// is hung up so that it ends, and the result is false.
template <typename Work>
bool EndsInTime(CFobSimulator& sim, Work work)
{
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread runner([&] {
        work();
        done.set_value();
    });
    const bool inTime = finished.wait_for(kTimeout) == std::future_status::ready;
    if (!inTime) sim.HangUp();
    runner.join();
    return inTime;
}

TEST_F(FobLibrary, SilentStreamFailsTheUpdateInTime)
{
    ASSERT_NO_FATAL_FAILURE(StartStreaming());
    ASSERT_TRUE(flock.update());
    sim.SetStreaming(false);
    flock.set_setup(QuickSetup(100));
    bool result = true;
    ASSERT_TRUE(EndsInTime(sim, [&] {
        for (int i = 0; i < 100 && result; ++i) result = flock.update();
    }));
    EXPECT_FALSE(result);
    EXPECT_EQ(flock.get_error(), "fob::update: flock no longer responding");
}

TEST_F(FobLibrary, EndlessStreamWithoutRecordsReturnsInTime)
{
    StartSimulator();
    ASSERT_TRUE(OpenFlock());
    ASSERT_TRUE(flock.start());
    ASSERT_TRUE(flock.set_mode(kModePosition | kModeQuaternion, 36.0f, false));
    sim.garbage = true;
    ASSERT_TRUE(flock.stream());
    bool result = false;
    ASSERT_TRUE(EndsInTime(sim, [&] { result = flock.update(); }));
    EXPECT_TRUE(result);
    EXPECT_EQ(flock.get_error(), "fob::update: warning: record too long");
    EXPECT_EQ(Position0(flock.get_bird(0)), 0.0f);
}

// More birds than one record per update keeps up with: one update takes every whole
// record that came, each to the bird of its address, and each bird keeps its newest.
TEST_F(FobLibrary, OneUpdateTakesEveryRecordThatCame)
{
    for (uint32_t address = 1; address <= 4; ++address) sim.AddBird(address, address == 1);
    sim.autoStream = false;
    StartSimulator();
    ASSERT_TRUE(OpenFlock());
    ASSERT_TRUE(flock.start());
    ASSERT_EQ(flock.bird_count(), 4u);
    ASSERT_TRUE(flock.set_mode(kModePosition | kModeQuaternion, 36.0f, false));
    ASSERT_TRUE(flock.stream());
    std::vector<uint8_t> line;
    for (int round = 1; round <= 2; ++round) {
        for (uint32_t address = 1; address <= 4; ++address) {
            std::vector<int16_t> words = CFobSimulator::StreamWords(address);
            words[2] = static_cast<int16_t>(400 * round);  // z tells the two records apart
            std::vector<uint8_t> record = MakeRecord(words);
            record.push_back(static_cast<uint8_t>(address));
            line.insert(line.end(), record.begin(), record.end());
        }
    }
    line.push_back(0x80);  // the next record's first byte shows the last one whole
    ASSERT_TRUE(sim.Send(line));
    ASSERT_TRUE(flock.update()) << flock.get_error();
    EXPECT_EQ(flock.get_routed_records(), 8u);
    EXPECT_EQ(flock.get_dropped_records(), 0u);
    const double scale = 36.0 / 32768 * 0.0254;
    for (uint32_t address = 1; address <= 4; ++address) {
        float position[3];
        flock.get_bird(address - 1)->get_position(position);
        EXPECT_NEAR(position[0], 1024.0 * address * scale, 1e-6) << address;
        EXPECT_NEAR(position[2], 800 * scale, 1e-6) << address;
    }
}

// One stray byte at every position of a record, of every kind (an address, data, a
// first byte), where the record's last data byte equals a bird's address: no bird ever
// shows a pose that was not sent, and each record spoiled is refused and counted.
TEST_F(FobLibrary, StrayBytesAtEveryPositionNeverGiveAPoseNeverSent)
{
    sim.autoStream = false;
    ASSERT_NO_FATAL_FAILURE(StartStreaming());
    const double scale = 36.0 / 32768 * 0.0254;
    // Bird address, x word; the last word's high byte is the address `tail`.
    const auto record = [](int address, int x, int tail) {
        std::vector<int16_t> words = CFobSimulator::StreamWords(static_cast<uint32_t>(address));
        words[0] = static_cast<int16_t>(4 * x);
        words[6] = static_cast<int16_t>(4 * (128 * tail + 5));
        std::vector<uint8_t> bytes = MakeRecord(words);
        bytes.push_back(static_cast<uint8_t>(address));
        return bytes;
    };
    const uint8_t strays[] = {0x01, 0x02, 0x00, 0x7F, 0x85, 0xFF};
    int step = 0;
    std::vector<uint8_t> good = record(1, 1, 1);
    ASSERT_TRUE(sim.Send({good[0]}));
    double lastSecond = 0.0;
    for (size_t at = 0; at <= good.size(); ++at) {
        for (uint8_t stray : strays) {
            const int x = 3 * ++step;
            const std::vector<uint8_t> first = record(1, x, 1 + step % 2);
            std::vector<uint8_t> spoiled = record(1, x + 1, 1 + step % 2);
            const std::vector<uint8_t> second = record(2, x + 2, 1 + step % 2);
            const std::vector<uint8_t> next = record(1, x + 3, 1);
            spoiled.insert(spoiled.begin() + static_cast<std::ptrdiff_t>(at), stray);
            // The first byte went with the step before.
            std::vector<uint8_t> line(first.begin() + 1, first.end());
            line.insert(line.end(), spoiled.begin(), spoiled.end());
            line.insert(line.end(), second.begin(), second.end());
            line.push_back(next[0]);
            const uint64_t routed = flock.get_routed_records();
            const uint64_t dropped = flock.get_dropped_records();
            ASSERT_TRUE(sim.Send(line));
            const bool isFirstByte = (stray & kPhasingBit) != 0;
            for (int i = 0; i < 20 && flock.get_routed_records() - routed < 2; ++i)
                ASSERT_TRUE(flock.update()) << flock.get_error();
            const std::string where =
                "stray " + std::to_string(stray) + " at " + std::to_string(at);
            // Two of the three records reach their birds (the spoiled one, or its
            // neighbour the stray joins, refused); a first byte splits one more.
            EXPECT_EQ(flock.get_routed_records() - routed, 2u) << where;
            EXPECT_EQ(flock.get_dropped_records() - dropped, isFirstByte ? 2u : 1u) << where;
            const double shown1 = Position0(flock.get_bird(0)) / scale / 4;
            const double shown2 = Position0(flock.get_bird(1)) / scale / 4;
            EXPECT_TRUE(std::fabs(shown1 - x) < 1e-3 || std::fabs(shown1 - (x + 1)) < 1e-3)
                << where << ": bird 1 shows " << shown1;
            EXPECT_TRUE(std::fabs(shown2 - (x + 2)) < 1e-3 || std::fabs(shown2 - lastSecond) < 1e-3)
                << where << ": bird 2 shows " << shown2;
            float quaternion[4];
            flock.get_bird(0)->get_quaternion(quaternion);
            EXPECT_FLOAT_EQ(quaternion[3], 4 * (128 * (1 + step % 2) + 5) / 32768.0f) << where;
            lastSecond = shown2;
            good = next;
        }
    }
}

// A line that goes away fails the update at once and says so; the stream is taken up
// again when the line is back.
TEST_F(FobLibrary, VanishedLineFailsTheUpdateAndResumes)
{
    ASSERT_NO_FATAL_FAILURE(StartStreaming());
    ASSERT_TRUE(flock.update());
    sim.HangUp();
    bool result = true;
    ASSERT_TRUE(EndsInTime(sim, [&] {
        for (int i = 0; i < 100 && result; ++i) result = flock.update();
    }));
    EXPECT_FALSE(result);
    EXPECT_TRUE(flock.line_vanished());
    EXPECT_EQ(flock.get_error(), "fob::update: serial line lost");
    EXPECT_FALSE(flock.resume_stream());  // the line is still away
}

TEST_F(FobLibrary, ZeroDelayDoesNotWaitForeverForAReply)
{
    sim.silent = true;
    StartSimulator();
    flock.set_setup(QuickSetup(100));
    ASSERT_TRUE(OpenFlock(1, 0));
    bool answered = true;
    uint8_t code = 0;
    ASSERT_TRUE(EndsInTime(sim, [&] { answered = flock.examine(kParamErrorCode, 1, &code); }));
    EXPECT_FALSE(answered);
    EXPECT_EQ(flock.get_error(), "no bird answered on " + sim.SlaveName());
}

TEST_F(FobLibrary, ClosedLineFailsEveryCommand)
{
    EXPECT_FALSE(flock.open("/nonexistent/fob-line", 0, kBaud, kDelayMs));  // short delay
    EXPECT_FALSE(flock.send_cmd('B'));
    EXPECT_EQ(flock.get_error(), "fob::send_cmd: could not send command");
    const uint8_t data[2] = {0, 1};
    EXPECT_FALSE(flock.send_cmd('L', data, 2));
    EXPECT_EQ(flock.get_error(), "fob::send_cmd: could not send command !");
    EXPECT_FALSE(flock.select_bird(1u));
    EXPECT_EQ(flock.get_error(), "fob::select_bird: could not send select bird");
    uint8_t reply[2];
    EXPECT_FALSE(flock.examine(kParamBirdStatus, 2, reply));
    EXPECT_EQ(flock.get_error(), "fob::examine: could not send examine command");
    EXPECT_FALSE(flock.start());
    EXPECT_FALSE(flock.reset());
    EXPECT_EQ(flock.recv(reply, 2), 0);
    EXPECT_EQ(flock.max_rate(9), 0.0);
    EXPECT_TRUE(flock.set_mode(9, 36.0f, false));  // no birds: nothing to do
}

TEST_F(FobLibrary, RandomLineNoiseNeverLeavesTheRecordBounds)
{
    sim.autoStream = false;
    StartSimulator();
    ASSERT_TRUE(OpenFlock());
    ASSERT_TRUE(flock.start());
    ASSERT_TRUE(flock.set_mode(kModePosition | kModeQuaternion | kModeButtons, 36.0f, false));
    ASSERT_TRUE(flock.stream());
    constexpr unsigned kSeed = 7031;
    std::mt19937 random(kSeed);
    std::vector<uint8_t> noise(3000);  // fits the line's buffer: sent before reading
    for (uint8_t& byte : noise) {
        // Mostly data bytes, some first bytes and small addresses, as a real line garbles.
        const unsigned draw = random() % 16;
        byte = draw == 0   ? static_cast<uint8_t>(0x80 | random())
               : draw == 1 ? static_cast<uint8_t>(random() % 4)
                           : static_cast<uint8_t>(random() & 0x7F);
    }
    ASSERT_TRUE(sim.Send(noise));
    flock.set_setup(QuickSetup(20));  // the end of the noise is noticed soon
    int updates = 0;
    while (updates < 10000 && flock.update()) ++updates;
    EXPECT_EQ(flock.get_error(), "fob::update: flock no longer responding") << "seed " << kSeed;
    EXPECT_GT(flock.get_dropped_records(), 0u);
    for (size_t i = 0; i < flock.bird_count(); ++i) {
        float quaternion[4];
        flock.get_bird(i)->get_quaternion(quaternion);
        for (float q : quaternion) EXPECT_LE(std::fabs(q), 1.0f) << "seed " << kSeed;
    }
}
