// The flock on a simulated line: commands and replies, the start-up sequence,
// flock errors, and what broken or silent lines do (line noise: flockNoise_test).
#include "Bird/fob.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
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

TEST_F(FobLibrary, SecondStartKeepsOneBirdPerAddress)
{
    StartSimulator();
    ASSERT_TRUE(OpenFlock());
    ASSERT_TRUE(flock.start());
    ASSERT_TRUE(flock.stream());
    flock.close();
    // Its stream stopped before the line opens again: a record it sent meanwhile (a busy
    // machine holds the flock's thread) would be taken for a reply of the start.
    ASSERT_TRUE(sim.WaitForSequence(Seq({kCmdPoint, kCmdSleep}), kTimeout));
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
