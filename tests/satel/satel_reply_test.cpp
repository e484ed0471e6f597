#include "satel/satel_device.h"

#include "process/messageQueue.h"
#include "satel/describedSatelBoard.h"
#include "satel/fakeSatelBoard.h"
#include "satel/satelClockRun.h"
#include "satel/satelProbe.h"
#include "serial/ptyPair.h"
#include "serial/lineLink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Length = CDescribedSatelBoard::Length;

class SatelReplyTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_pty.IsValid()); }
    CPtyPair m_pty;
};

// Where the board gives the length of its replies, once two of them showed how it
// counts, the length ends them: a sample 0, 0, 42 or a first byte '*' before a pause
// ends nothing, whatever the ending.
TEST(SatelReplyLength, TheLengthTheBoardGivesEndsItsReplies)
{
    for (bool lone : {false, true}) {
        SCOPED_TRACE(lone ? "lone '*'" : "closing block");
        CPtyPair pty;
        ASSERT_TRUE(pty.IsValid());
        auto device = OpenProbe(pty);
        CFakeSatelBoard board(pty);
        board.SetLengthField(true);
        board.Start();
        const auto reply = [lone](const std::vector<SatelSample>& samples) {
            return lone ? CFakeSatelBoard::LoneStarReply(samples)
                        : CFakeSatelBoard::SampleReply(samples);
        };
        // Two replies show how the board counts.
        for (int16_t first : {1, 4}) {
            board.QueueRaw(reply({{first, 2, 3}}));
            ASSERT_TRUE(device->ReadFrames(0));
        }
        device->TakeQueued();
        const std::vector<SatelSample> block = {{0, 0, 42}, {0, 0, 42}};
        board.QueueRaw(reply(block));
        board.SplitNextReply(CSerialSatelDevice::kHeaderSize + CSerialSatelDevice::kSampleSize,
                             30ms);
        ASSERT_TRUE(device->ReadFrames(0));
        EXPECT_EQ(device->TakeQueued(), block);
        const std::vector<SatelSample> star = {{5, 6, 7}, {0x2A01, 8, 9}};
        board.QueueRaw(reply(star));
        board.SplitNextReply(CSerialSatelDevice::kHeaderSize + CSerialSatelDevice::kSampleSize + 1,
                             30ms);
        ASSERT_TRUE(device->ReadFrames(0));
        EXPECT_EQ(device->TakeQueued(), star);
        EXPECT_EQ(device->GetDamagedReplies(), 0);
        // A length no reply of this board can have is no reply of it: refused, and the
        // next reply is read as usual.
        std::string wrong = reply({{1, 2, 3}});
        wrong[3] = 8;  // fits no reading
        board.QueueRaw(wrong);
        board.QueueRaw(reply({{4, 5, 6}}));
        EXPECT_FALSE(device->ReadFrames(0));
        EXPECT_EQ(device->GetDamagedReplies(), 1);
        ASSERT_TRUE(device->ReadFrames(0));
        EXPECT_EQ(device->TakeQueued(), (std::vector<SatelSample>{{4, 5, 6}}));
        board.Stop();
    }
}

// A reply that comes late, while the board is being configured again, is a sample
// reply and no acknowledgement: its samples are kept, in order, and the configuration
// waits for the board's own acknowledgements.
TEST_F(SatelReplyTest, ConfigurationKeepsTheSamplesOfALateReply)
{
    auto device = OpenProbe(m_pty);
    device->SetReplyTimeouts(60ms, 2s);
    CFakeSatelBoard board(m_pty);
    const std::vector<SatelSample> late = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
    board.Queue(late);
    board.DelayNextReply(200ms);
    board.Start();
    EXPECT_FALSE(device->ReadFrames(0));
    EXPECT_EQ(device->GetLastOutcome(), CSatelProbe::ReadOutcome::Missed);
    ASSERT_TRUE(device->ConfigureBoard());  // the late reply comes meanwhile
    EXPECT_EQ(device->TakeQueued(), late);
    board.Queue({{10, 11, 12}});
    ASSERT_TRUE(device->ReadFrames(0));
    EXPECT_EQ(device->TakeQueued(), (std::vector<SatelSample>{{10, 11, 12}}));
    board.Stop();
    EXPECT_EQ(device->GetDamagedReplies(), 0);
    EXPECT_EQ(device->GetLateReplies(), 1);
}

// Every frame carries a board sample, and what the frames skip is exactly what the
// device counted as reaching no frame; no sample is taken for a spike; frames keep
// their schedule.
void ExpectEverySampleAccountedFor(const SatelClockRun& run)
{
    ASSERT_TRUE(run.ran);
    EXPECT_EQ(run.decoded, run.frames);
    EXPECT_EQ(run.reportedSkipped + run.reportedLost, run.skipped)
        << "dropped " << run.reportedSkipped << ", lost in replies " << run.reportedLost;
    EXPECT_EQ(run.reportedRepeated, run.repeated);
    EXPECT_EQ(run.filtered, 0);
    EXPECT_TRUE(run.onSchedule);
}

SatelLineFault PauseAt(int frame, std::chrono::milliseconds pause, bool lengthField = false)
{
    SatelLineFault fault;
    fault.atFrame = frame;
    fault.act = [pause](CFakeSatelBoard& board) { board.PauseFor(pause); };
    fault.lengthField = lengthField;
    return fault;
}

// A board busy for a moment answers every request that came meanwhile once it is
// back, the first reply with all it gathered: at 40 and 1000 Hz, pauses shorter and
// longer than a lost line, with and without a length in the replies.
TEST(SatelLineFaultThreads, PausesAnsweredLateLoseNothingUncounted)
{
    struct Case {
        int periodMs;
        int pauseMs;
        bool lengthField;
    };
    const std::vector<Case> cases = {Case{25, 150, false}, Case{25, 300, false},
                                     Case{25, 450, true}, Case{1, 100, false},
                                     Case{1, 300, true}};
    const std::vector<SatelClockRun> runs = RunAtOnce(cases, [](const Case& c) {
        const SatelLineFault fault =
            PauseAt(40, std::chrono::milliseconds(c.pauseMs), c.lengthField);
        const int frames = 40 + c.pauseMs / c.periodMs + 60 * 25 / c.periodMs;
        return RunClockedBoard(c.periodMs, 0.5, 1.0, frames, &fault);
    });
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "period " << cases[i].periodMs << " ms, pause "
                                        << cases[i].pauseMs << " ms, length "
                                        << cases[i].lengthField);
        ExpectEverySampleAccountedFor(runs[i]);
    }
}

// A pause long enough to lose the line: the late reply comes while the line is being
// configured again. Its samples are kept, the line is back after the pause and an
// attempt or two (long before the reopen interval, here a minute), the frame the loss
// names is the first to hold the last values, and the closing text, which names the
// port, gives the samples the frames skip.
TEST(SatelLineFaultThreads, LostLineReturnsWithALateReplyInFlight)
{
    const std::vector<int> periods = {25, 1};
    const std::vector<SatelClockRun> runs = RunAtOnce(periods, [](int periodMs) {
        SatelLineFault fault = PauseAt(40, 600ms);
        fault.pauseUntil = "does not answer";  // however long losing the line takes
        fault.reopenInterval = 60s;
        fault.until = "answers again";
        fault.within = 20s;
        fault.framesAfter = 400 / periodMs;
        return RunClockedBoard(periodMs, 0.25, 1.0, 0, &fault);
    });
    for (size_t i = 0; i < periods.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "period " << periods[i] << " ms");
        const SatelClockRun& run = runs[i];
        ExpectEverySampleAccountedFor(run);
        EXPECT_EQ(run.losses, 1);
        const std::string head = "<SATEL> satel_device on " + run.port + ": ";
        const std::string closing = FindText(run.texts, "reached no frame");
        EXPECT_EQ(closing.rfind(head, 0), 0u) << closing;
        EXPECT_NE(closing.find(std::to_string(run.skipped) + " board samples reached no frame"),
                  std::string::npos)
            << closing << " skipped " << run.skipped;
        EXPECT_EQ(FindText(run.texts, "line lost 1 times").rfind(head, 0), 0u);
        // What the texts say of the frames is what they hold: the frame of the loss is the
        // first to repeat the last sample read before; the return comes after it.
        const long long lost = FrameIn(FindText(run.texts, "does not answer from frame"),
                                       "from frame ");
        const long long back = FrameIn(FindText(run.texts, "answers again at frame"),
                                       "again at frame ");
        ASSERT_GT(lost, 0);
        ASSERT_GE(back, lost);
        ASSERT_LT(back, static_cast<long long>(run.samples.size()));
        // Frames lost to back - 1 hold the last values read before, as the texts say.
        for (size_t frozen = static_cast<size_t>(lost); frozen < static_cast<size_t>(back);
             ++frozen)
            EXPECT_EQ(run.samples[frozen], run.samples[frozen - 1]) << "frame " << frozen;
    }
}

// At 1000 Hz a board silent for 2 s sends a backlog longer than any read: its rest is
// read off and its samples counted, and nothing of it is taken for the next reply.
TEST(SatelLineFaultThreads, TwoSecondSilenceIsCountedToTheSample)
{
    const SatelLineFault fault = PauseAt(40, 2000ms);
    const SatelClockRun run = RunClockedBoard(1, 0.5, 1.0, 40 + 2000 + 500, &fault);
    ExpectEverySampleAccountedFor(run);
    EXPECT_GE(run.cut, 1);
    EXPECT_GT(run.reportedLost, 0);
}

// A board that leaves requests unanswered sends what it holds with the next reply it
// gives: the room for that reply is sized from what the board holds, not from the last
// request, so it is never cut.
TEST(SatelLineFaultThreads, ABacklogAfterUnansweredRequestsFindsRoom)
{
    const std::vector<int> periods = {25, 1};
    const std::vector<SatelClockRun> runs = RunAtOnce(periods, [](int periodMs) {
        SatelLineFault fault;
        fault.act = [](CFakeSatelBoard& board) { board.SkipSampleRequests(3); };
        return RunClockedBoard(periodMs, 0.5, 1.0, 40 + 1500 / periodMs, &fault);
    });
    for (size_t i = 0; i < periods.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "period " << periods[i] << " ms");
        ExpectEverySampleAccountedFor(runs[i]);
        if (Overlong(runs[i].longestReply)) continue;  // cut and counted
        EXPECT_EQ(runs[i].cut, 0);
        EXPECT_EQ(runs[i].reportedLost, 0);
    }
}

}  // namespace
