// The SATEL device against boards written from what is known of the line: every way
// of counting the length bytes, both endings, short acknowledgements, and the faults
// of a real line. Every frame is traced to a sample the board sent, and what the
// frames skip and repeat is what the device says at closing.
#include "satel/satel_device.h"

#include "../analog/fakeSinks.h"
#include "process/messageQueue.h"
#include "satel/describedSatelBoard.h"
#include "satel/satelClockRun.h"
#include "serial/lineLink.h"
#include "serial/ptyPair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Length = CDescribedSatelBoard::Length;

const char* NameOf(Length length)
{
    switch (length) {
        case Length::Zero:
            return "length 0";
        case Length::Own:
            return "length from the kind to before '*'";
        case Length::Star:
            return "length counting the '*'";
        default:
            return "length of the samples only";
    }
}

struct LineRun : SatelClockRun {
    int64_t sent = 0;           // samples the board sent
    int64_t newest = -1;        // the newest sample a frame carried
    int64_t filteredFrames = 0; // samples the spike filter dropped, as the device says
    int64_t repeatedReplies = 0;
    std::string closing;        // the closing text on samples
};

// Runs the device at periodMs on the board until frameCount frames came. quick: the
// device keeps the reply time-outs of a real line (else generous ones: a loaded
// machine). midway: called once atFrame frames came (the board's line may go).
LineRun RunLine(int periodMs, CDescribedSatelBoard& board, int frameCount, bool quick,
                const std::function<void(CPtyPair&, CLineLink&, CFakeView&)>& midway = nullptr,
                int atFrame = 0)
{
    LineRun run;
    CPtyPair pty;
    CLineLink link;
    if (!pty.IsValid() || !link.PointAt(pty.SlaveName())) return run;
    board.Start(pty);
    g_messages.Drain();
    CMessageLog messages;
    CFakeView view;
    {
        CSerialSatelDevice device(link.Path(), periodMs, false, 400.0, false);
        if (!device.IsReady()) return run;
        if (!quick) device.SetReplyTimeouts(5s, 5s);
        device.SetReopenInterval(200ms);
        device.AddView(&view);
        bool started = device.Create(false) && device.RunThread();
        if (started && midway) {
            started = view.WaitFrames(atFrame, 60s);
            if (started) midway(pty, link, view);
        }
        run.ran = started && view.WaitFrames(frameCount, 60s);
        device.Close();
        device.RemoveView(&view);
        board.Stop();
        run.sent = board.Sent();
        std::lock_guard<std::mutex> lock(view.mutex);
        run.frames = static_cast<int>(view.frames.size());
        const std::vector<int64_t> samples = TraceFrames(view.frames, device, 1000.0 / periodMs, run);
        if (run.decoded > 0) run.newest = samples[static_cast<size_t>(run.decoded) - 1];
        TakeCounts(device, run);
        run.filteredFrames = device.GetFilteredSamples();
        run.repeatedReplies = device.GetRepeatedReplies();
    }
    messages.Take();
    run.closing = messages.Find("reached no frame");
    return run;
}

// Every frame a sample the board sent, in order; what the frames skip and repeat is
// what the device counted, and its closing text says so.
void ExpectTraced(const LineRun& run)
{
    ASSERT_TRUE(run.ran);
    EXPECT_EQ(run.decoded, run.frames) << "a frame carries no sample the board sent";
    EXPECT_LT(run.newest, run.sent);
    EXPECT_EQ(run.reportedSkipped + run.reportedLost + run.filteredFrames, run.skipped)
        << "dropped " << run.reportedSkipped << ", lost in replies " << run.reportedLost
        << ", filtered " << run.filteredFrames;
    EXPECT_EQ(run.reportedRepeated, run.repeated);
    EXPECT_TRUE(run.onSchedule);
    if (run.skipped > 0 || run.repeated > 0) {
        EXPECT_NE(run.closing.find(std::to_string(run.skipped) + " board samples reached no frame"),
                  std::string::npos)
            << run.closing;
        EXPECT_NE(run.closing.find(std::to_string(run.repeated) + " frames repeated"),
                  std::string::npos)
            << run.closing;
    }
}

constexpr Length kLengths[] = {Length::Zero, Length::Own, Length::Star, Length::Samples};

// However the board counts its length bytes and ends its replies, it is used: every
// sample reaches one frame, nothing is refused or cut.
void ExpectEveryConvention(int periodMs, int frames)
{
    for (Length length : kLengths) {
        for (bool lone : {false, true}) {
            SCOPED_TRACE(testing::Message() << periodMs << " ms, " << NameOf(length)
                                            << (lone ? ", lone '*'" : ", closing block"));
            CDescribedSatelBoard board(1000.0 / periodMs, length, lone);
            const LineRun run = RunLine(periodMs, board, frames, false);
            ExpectTraced(run);
            EXPECT_EQ(run.skipped, 0);
            EXPECT_EQ(run.repeated, 0);
            EXPECT_EQ(run.damaged, 0);
            EXPECT_EQ(run.cut, 0);
        }
    }
}

TEST(SatelLineConventions, EveryLengthAndEndingAt40Hz) { ExpectEveryConvention(25, 60); }
TEST(SatelLineConventions, EveryLengthAndEndingAt1000Hz) { ExpectEveryConvention(1, 600); }

// Acknowledgements whose length field says 2 (or anything else) open the board.
TEST(SatelLineConventions, ShortAcknowledgementsOpenTheBoard)
{
    for (int ack : {2, 1, 0, 3, 200}) {
        SCOPED_TRACE(testing::Message() << "acknowledgement length " << ack);
        CDescribedSatelBoard board(40.0, Length::Samples, false);
        board.SetAckLength(ack);
        const LineRun run = RunLine(25, board, 30, false);
        ExpectTraced(run);
        EXPECT_EQ(run.damaged, 0);
    }
}

// A byte sent twice, or one more byte, inside a sample: the reply fits neither ending
// and is refused, its samples counted; no frame holds a sample never sent, and the
// board's ending stays.
TEST(SatelLineFaults, BytesDoubledOrAddedInsideSamplesAreRefused)
{
    struct Case {
        int periodMs;
        Length length;
        bool lone;
        bool doubled;
    };
    for (const Case& c : {Case{25, Length::Zero, false, true}, Case{25, Length::Own, true, false},
                          Case{1, Length::Zero, false, true}, Case{1, Length::Samples, false, false},
                          Case{5, Length::Zero, true, true}}) {
        SCOPED_TRACE(testing::Message() << c.periodMs << " ms, " << NameOf(c.length)
                                        << (c.lone ? ", lone '*'" : ", closing block")
                                        << (c.doubled ? ", doubled" : ", added"));
        CDescribedSatelBoard board(1000.0 / c.periodMs, c.length, c.lone);
        CDescribedSatelBoard::Faults faults;
        (c.doubled ? faults.doubleByteEvery : faults.extraByteEvery) = 5;
        board.SetFaults(faults);
        const LineRun run = RunLine(c.periodMs, board, 40 + 1500 / c.periodMs, true);
        ExpectTraced(run);
        EXPECT_GT(board.Injected(), 3);
        EXPECT_GE(run.damaged, board.Injected() - 1);  // the last may come after closing
        EXPECT_GT(run.reportedLost, 0);
        EXPECT_EQ(run.filtered, 0) << "a sample never sent reached the filter";
    }
}

// A request answered twice: the second copy answers nothing and is dropped; the frames
// never step back.
TEST(SatelLineFaults, RepliesSentTwiceNeverStepBack)
{
    for (int periodMs : {25, 5, 1}) {
        for (Length length : {Length::Zero, Length::Star}) {
            SCOPED_TRACE(testing::Message() << periodMs << " ms, " << NameOf(length));
            CDescribedSatelBoard board(1000.0 / periodMs, length, false);
            CDescribedSatelBoard::Faults faults;
            faults.doubleReplyEvery = 10;
            board.SetFaults(faults);
            const LineRun run = RunLine(periodMs, board, 40 + 1000 / periodMs, true);
            ExpectTraced(run);
            EXPECT_GT(run.repeatedReplies, 0);
            EXPECT_EQ(run.damaged, 0);
        }
    }
}

// Replies that leave a byte at a time, 2 to 8 ms apart, are never cut: the board
// gathered the next reply's samples while the last one was on its way.
TEST(SatelLineFaults, DribbledRepliesAreNeverCut)
{
    struct Case {
        int periodMs;
        int every;
    };
    for (const Case& c : {Case{5, 5}, Case{1, 50}, Case{25, 3}}) {
        SCOPED_TRACE(testing::Message() << c.periodMs << " ms, every " << c.every << " replies");
        CDescribedSatelBoard board(1000.0 / c.periodMs, Length::Zero, false);
        CDescribedSatelBoard::Faults faults;
        faults.dribbleEvery = c.every;
        board.SetFaults(faults);
        const LineRun run = RunLine(c.periodMs, board, 40 + 2000 / c.periodMs, true);
        ExpectTraced(run);
        EXPECT_GT(board.Injected(), 2);
        EXPECT_EQ(run.cut, 0);
        EXPECT_EQ(run.reportedLost, 0);
    }
}

// Bursts of line noise between replies are skipped: no sample is made of them, none is
// counted for them, and the reply after them is taken.
TEST(SatelLineFaults, GarbageBurstsMakeNoSamples)
{
    for (int periodMs : {25, 1}) {
        for (Length length : {Length::Zero, Length::Own}) {
            SCOPED_TRACE(testing::Message() << periodMs << " ms, " << NameOf(length));
            CDescribedSatelBoard board(1000.0 / periodMs, length, false);
            CDescribedSatelBoard::Faults faults;
            faults.garbageEvery = 7;
            board.SetFaults(faults);
            const LineRun run = RunLine(periodMs, board, 40 + 1500 / periodMs, true);
            ExpectTraced(run);
            EXPECT_GT(board.Injected(), 3);
            EXPECT_GT(run.damaged, 0);
            EXPECT_EQ(run.filtered, 0);
        }
    }
}

// The adapter goes in the middle of a reply and comes back on another line: the
// samples of the cut reply are counted, the rest comes after the line is back.
TEST(SatelLineFaults, AdapterVanishingMidReplyIsCounted)
{
    for (int periodMs : {25, 1}) {
        for (Length length : {Length::Own, Length::Samples}) {
            SCOPED_TRACE(testing::Message() << periodMs << " ms, " << NameOf(length));
            CDescribedSatelBoard board(1000.0 / periodMs, length, false);
            CPtyPair second;
            ASSERT_TRUE(second.IsValid());
            const auto replug = [&](CPtyPair&, CLineLink& link, CFakeView&) {
                board.VanishSoon();
                for (int i = 0; i < 500 && !board.Vanished(); ++i)
                    std::this_thread::sleep_for(10ms);
                std::this_thread::sleep_for(100ms);
                board.Resume(second);
                link.PointAt(second.SlaveName());
            };
            const LineRun run = RunLine(periodMs, board, 60 + 2000 / periodMs, true, replug, 20);
            ExpectTraced(run);
            EXPECT_GE(run.losses, 1);
            EXPECT_GT(run.reportedLost, 0);
        }
    }
}

}  // namespace
