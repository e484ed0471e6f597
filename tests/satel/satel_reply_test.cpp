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
#include <iterator>
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

// A board that closes its replies with five zero bytes and '*' pauses on its line
// right after a sample's first byte '*' (a USB adapter hands bytes over in chunks):
// the lone '*' ends nothing, wherever the sample stands in the reply.
TEST_F(SatelReplyTest, ALoneStarEndsNoReplyOfABoardThatClosesWithABlock)
{
    auto device = OpenProbe(m_pty);
    CFakeSatelBoard board(m_pty);
    board.Queue({{1, 2, 3}});  // how this board ends its replies
    board.Start();
    ASSERT_TRUE(device->ReadFrames(0));
    device->TakeQueued();
    for (size_t place = 0; place < 3; ++place) {
        SCOPED_TRACE(testing::Message() << "'*' first in sample " << place);
        std::vector<SatelSample> samples = {{10, 20, 30}, {40, 50, 60}, {70, 80, 90}};
        samples[place][0] = static_cast<int16_t>(0x2A00 + static_cast<int>(place));
        board.Queue(samples);
        board.SplitNextReply(CSerialSatelDevice::kHeaderSize +
                                 place * CSerialSatelDevice::kSampleSize + 1,
                             30ms);
        ASSERT_TRUE(device->ReadFrames(0));
        EXPECT_EQ(device->TakeQueued(), samples);
    }
    board.Stop();
    EXPECT_EQ(device->GetDamagedReplies(), 0);
    EXPECT_EQ(device->GetMissedReplies(), 0);
}

// Where the board gives the length of its replies, the length ends them: a sample 0,
// 0, 42 or a first byte '*' before a pause ends nothing, whatever the ending. A length
// that fits no reading is a hint that fails: the reply, whole by its framing, is taken,
// and the next reply is read as usual.
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
        std::string wrong = reply({{1, 2, 3}});
        wrong[3] = 8;  // fits no reading
        board.QueueRaw(wrong);
        board.QueueRaw(reply({{4, 5, 6}}));
        ASSERT_TRUE(device->ReadFrames(0));
        EXPECT_EQ(device->TakeQueued(), (std::vector<SatelSample>{{1, 2, 3}}));
        ASSERT_TRUE(device->ReadFrames(0));
        EXPECT_EQ(device->TakeQueued(), (std::vector<SatelSample>{{4, 5, 6}}));
        EXPECT_EQ(device->GetDamagedReplies(), 0);
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

// The device, running, on a line where the test places every byte before the device
// reads: where a reply stops and when its rest comes is certain on any machine. Nothing
// answers the device's requests but what the test puts on the line.
class CScriptedLine {
public:
    CScriptedLine(bool lone, Length length, int periodMs = 25)
        : m_lone(lone), m_length(length)
    {
        if (!m_pty.IsValid()) return;
        m_device = OpenProbe(m_pty, periodMs);
        m_device->SetClockAhead();
        // Short waits: every byte a step reads is there before it starts.
        m_device->SetReplyTimeouts(5ms, 5ms);
        m_device->SetRunning(true);
    }
    ~CScriptedLine()
    {
        if (m_device) m_device->SetRunning(false);
    }
    bool IsValid() const { return m_device != nullptr; }
    CSatelProbe& Device() { return *m_device; }
    CPtyPair& Pty() { return m_pty; }
    // A reply of the ramp samples first .. first + count - 1, in this board's way.
    std::string Reply(int64_t first, int count) const { return ReplyOf(Ramp(first, count)); }
    std::string ReplyOf(const std::vector<SatelSample>& samples) const
    {
        std::string reply = m_lone ? CFakeSatelBoard::LoneStarReply(samples)
                                   : CFakeSatelBoard::SampleReply(samples);
        const size_t own = reply.size() - CSerialSatelDevice::kHeaderSize;
        const size_t length = m_length == Length::Own    ? own
                              : m_length == Length::Star ? own + 1
                              : m_length == Length::Samples
                                  ? samples.size() * CSerialSatelDevice::kSampleSize
                                  : 0;
        reply[2] = static_cast<char>(length >> 8);
        reply[3] = static_cast<char>(length & 0xFF);
        return reply;
    }
    static std::vector<SatelSample> Ramp(int64_t first, int count)
    {
        std::vector<SatelSample> samples;
        for (int64_t j = first; j < first + count; ++j) samples.push_back(RampSample(j));
        return samples;
    }
    // Two whole replies teach the device how this board ends and counts them; the
    // ramp sample the next reply starts with.
    int64_t Teach()
    {
        Step(Reply(0, 1));
        Step(Reply(1, 1));
        EXPECT_EQ(m_device->TakeQueued(), Ramp(0, 2));
        return 2;
    }
    // The bytes go on the line; one step reads them once all wait for the device.
    void Step(const std::string& bytes)
    {
        if (!bytes.empty()) {
            ASSERT_TRUE(m_pty.Send(bytes));
            ASSERT_TRUE(m_device->WaitForWaiting(static_cast<int>(bytes.size()), 5s));
        }
        m_device->ReadFrames(0);
    }
    // As Step, but the last bytes go out only once the device read the first ones (a
    // line that hands a reply over in two pieces).
    void StepInTwo(const std::string& first, const std::string& last)
    {
        ASSERT_TRUE(m_pty.Send(first));
        ASSERT_TRUE(m_device->WaitForWaiting(static_cast<int>(first.size()), 5s));
        std::thread rest([&] {
            const auto deadline = std::chrono::steady_clock::now() + 5s;
            while (m_device->PortWaiting() > 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            EXPECT_TRUE(m_pty.Send(last));
        });
        m_device->ReadFrames(0);
        rest.join();
    }

private:
    CPtyPair m_pty;
    std::unique_ptr<CSatelProbe> m_device;
    const bool m_lone;
    const Length m_length;
};

// The frame number after `before` in text, or -1.
long long FrameIn(const std::string& text, const std::string& before)
{
    const size_t at = text.find(before);
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + before.size());
}

// The last of the texts naming port that holds part, or an empty text.
std::string LastText(const std::string& port, const std::string& part)
{
    const std::vector<std::string> texts = TextsNaming(port);
    for (auto text = texts.rbegin(); text != texts.rend(); ++text)
        if (text->find(part) != std::string::npos) return *text;
    return std::string();
}

// Runs the case on a taught line of each ending and each length reading, with the
// ramp sample the next reply starts with.
template <typename Case>
void OnEveryConvention(Case run)
{
    for (bool lone : {false, true}) {
        for (Length length : {Length::Zero, Length::Own, Length::Star, Length::Samples}) {
            CScriptedLine line(lone, length);
            ASSERT_TRUE(line.IsValid());
            run(line, lone, length, line.Teach());
        }
    }
}

// A reply that stops wherever it may, its header included, and whose rest comes only
// after the device gave it up, then line noise (none, or bytes that look like data or
// an ending): every sample it held is counted lost, the noise is none of its samples,
// no byte becomes a sample, and the reply after the noise is taken whole. Both endings,
// every length.
TEST(SatelReplyRefusals, AReplyStoppedAnywhereCountsEverySampleItHeld)
{
    const std::string kNoise[] = {
        "", std::string("\0\0\0\0\0*", 6), "I",
        std::string("*\x13\x2A\0\x49\xFF\x2A\x2A\0\0\0\0\0\x2A\x11\x22\x33\x44\x55\x66\x77"
                    "\x88\x99*",
                    24)};
    OnEveryConvention([&](CScriptedLine& line, bool lone, Length length, int64_t next) {
        CSatelProbe& device = line.Device();
        const size_t size = line.Reply(0, 3).size();
        for (size_t at = 1; at < size; ++at) {
            SCOPED_TRACE(testing::Message()
                         << (lone ? "lone '*'" : "closing block") << ", length rule "
                         << static_cast<int>(length) << ", stopped after byte " << at);
            const std::string stopped = line.Reply(next, 3);
            const int64_t lostBefore = device.LostSaid();
            line.Step(stopped.substr(0, at));
            line.Step("");  // nothing more came: given up
            line.Step(stopped.substr(at) + kNoise[at % std::size(kNoise)] +
                      line.Reply(next + 3, 2));
            EXPECT_EQ(device.LostSaid() - lostBefore, 3);
            EXPECT_EQ(device.TakeQueued(), CScriptedLine::Ramp(next + 3, 2));
            next += 5;
        }
    });
}

// A byte sent twice, or one more byte, in the first sample shifts every sample after it:
// a sample's last byte '*' then stands where a lone '*' closes a reply, and where the
// length ends it. When the reply's true closing '*' comes a moment later, the reply is
// refused and its samples counted lost; no sample never sent is taken. Both endings,
// every length, every place in the first sample.
TEST(SatelReplyRefusals, AByteAddedInsideSamplesNeverMakesAReplyOfTheShiftedOnes)
{
    for (int periodMs : {25, 5, 1}) {
        for (bool lone : {true, false}) {
            for (Length length : {Length::Zero, Length::Own, Length::Star, Length::Samples}) {
                CScriptedLine line(lone, length, periodMs);
                ASSERT_TRUE(line.IsValid());
                CSatelProbe& device = line.Device();
                int64_t next = line.Teach();
                for (size_t place = 0; place < CSerialSatelDevice::kSampleSize; ++place) {
                    for (bool doubled : {true, false}) {
                        // The closing '*' comes while the device reads, or only with
                        // the next reply (the device took the shifted one meanwhile).
                        for (bool meanwhile : {true, false}) {
                            SCOPED_TRACE(testing::Message()
                                         << periodMs << " ms, "
                                         << (lone ? "lone '*'" : "closing block")
                                         << ", length rule " << static_cast<int>(length)
                                         << (doubled ? ", doubled" : ", added") << " byte at "
                                         << place << (meanwhile ? "" : ", '*' with the next"));
                            std::string damaged = line.Reply(next, 2);
                            const size_t at = CSerialSatelDevice::kHeaderSize + place;
                            damaged.insert(at, 1, doubled ? damaged[at] : '\x5A');
                            const std::string star = damaged.substr(damaged.size() - 1);
                            damaged.pop_back();
                            const int64_t lostBefore = device.LostSaid();
                            if (meanwhile) {
                                line.StepInTwo(damaged, star);
                                line.Step(line.Reply(next + 2, 1));
                            } else {
                                line.Step(damaged);
                                line.Step(star + line.Reply(next + 2, 1));
                            }
                            EXPECT_EQ(device.LostSaid() - lostBefore, 2);
                            EXPECT_EQ(device.TakeQueued(), CScriptedLine::Ramp(next + 2, 1));
                            next += 3;
                        }
                    }
                }
            }
        }
    }
}

// Replies back to back with line noise between them, all in one read: the first reply
// ends at its own ending, the noise is one damaged burst of no samples, the next reply
// is taken whole, and nothing is counted lost. Noise of random bytes, a lone '*', the
// bytes of a sample, one byte; both endings, every length. A lone '*' right after a lone
// ending reads as a byte added inside the samples: that reply is refused, its samples
// counted lost, none taken. Without a length, a sample after a lone ending is one more
// sample of that reply (one whose last sample begins with '*' looks alike): not tried.
TEST(SatelReplyRefusals, NoiseBetweenRepliesInOneReadIsNoneOfTheirSamples)
{
    std::string sample;
    for (int16_t value : RampSample(777)) {
        sample += static_cast<char>(static_cast<uint16_t>(value) >> 8);
        sample += static_cast<char>(value & 0xFF);
    }
    const std::string kNoise[] = {
        std::string("\x91\x07\x2A\xE3\x00\x5C\xFF\x2A\x10\x49\x84\x3B", 12), "*", sample, "\x5A"};
    OnEveryConvention([&](CScriptedLine& line, bool lone, Length length, int64_t next) {
        CSatelProbe& device = line.Device();
        for (size_t n = 0; n < std::size(kNoise); ++n) {
            if (lone && length == Length::Zero && kNoise[n] == sample) continue;
            SCOPED_TRACE(testing::Message()
                         << (lone ? "lone '*'" : "closing block") << ", length rule "
                         << static_cast<int>(length) << ", noise " << n);
            const bool refused = lone && kNoise[n] == "*";
            const int64_t lostBefore = device.LostSaid();
            const int64_t damagedBefore = device.GetDamagedReplies();
            line.Step(line.Reply(next, 2) + kNoise[n] + line.Reply(next + 2, 1));
            EXPECT_EQ(device.LostSaid() - lostBefore, refused ? 2 : 0);
            EXPECT_EQ(device.TakeQueued(),
                      CScriptedLine::Ramp(refused ? next + 2 : next, refused ? 1 : 3));
            EXPECT_EQ(device.GetDamagedReplies() - damagedBefore, 1);
            line.Step(line.Reply(next + 3, 1));
            EXPECT_EQ(device.LostSaid(), 0);
            EXPECT_EQ(device.TakeQueued(), CScriptedLine::Ramp(next + 3, 1));
            next += 4;
        }
    });
}

// A request answered twice, one copy of it cut (longer than the room the device had for
// it) or refused (stopped, its rest late or never), the other whole: its samples are
// taken once, in order, and only those that no copy brought are counted lost. The copy
// may be the first or the second, the refused copy may stop anywhere. Both endings,
// every length.
TEST(SatelReplyCopies, ARequestAnsweredTwiceBringsItsSamplesOnce)
{
    constexpr int kLong = 30;  // samples of a reply longer than a room just after an answer
    const auto ramp = [](int64_t first, int count) { return CScriptedLine::Ramp(first, count); };
    OnEveryConvention([&](CScriptedLine& line, bool lone, Length length, int64_t next) {
        CSatelProbe& device = line.Device();
        const auto trace = [&](const std::string& what) {
            return testing::Message() << (lone ? "lone '*'" : "closing block") << ", length rule "
                                      << static_cast<int>(length) << ", " << what;
        };
        // A cut copy: the samples of the room are taken, the rest counted lost.
        const auto expectCut = [&](int64_t first, int64_t cutBefore) {
            const int64_t lost = device.LostSaid();
            const std::vector<SatelSample> queued = device.TakeQueued();
            const int taken = static_cast<int>(queued.size()) - 1;
            ASSERT_GE(taken, 2);
            ASSERT_LT(taken, kLong);
            std::vector<SatelSample> expected = ramp(first, taken);
            expected.push_back(RampSample(first + kLong));
            EXPECT_EQ(queued, expected);
            EXPECT_EQ(lost, kLong - taken);
            EXPECT_EQ(device.GetCutReplies() - cutBefore, 1);
        };
        {
            SCOPED_TRACE(trace("whole, then a copy cut"));
            const int64_t twiceBefore = device.GetRepeatedReplies();
            const std::string reply = line.Reply(next, kLong);
            device.AnsweredAgo(10s);  // room for the first copy
            line.Step("");            // the request the copies answer: no room for the second
            line.Step(reply + reply + line.Reply(next + kLong, 1));
            EXPECT_EQ(device.LostSaid(), 0);
            EXPECT_EQ(device.TakeQueued(), ramp(next, kLong + 1));
            EXPECT_EQ(device.GetRepeatedReplies() - twiceBefore, 1);
            next += kLong + 1;
        }
        {
            SCOPED_TRACE(trace("cut, then a copy cut"));
            const int64_t cutBefore = device.GetCutReplies();
            const std::string reply = line.Reply(next, kLong);
            device.AnsweredAgo(0ms);
            line.Step(reply + reply + line.Reply(next + kLong, 1));
            expectCut(next, cutBefore);
            next += kLong + 1;
        }
        {
            SCOPED_TRACE(trace("cut, then a copy with room"));
            const int64_t cutBefore = device.GetCutReplies();
            const std::string reply = line.Reply(next, kLong);
            device.AnsweredAgo(0ms);
            line.Step(reply);
            device.AnsweredAgo(10s);
            line.Step(reply + line.Reply(next + kLong, 1));
            expectCut(next, cutBefore);
            next += kLong + 1;
        }
        const size_t size = line.Reply(0, 3).size();
        for (size_t at : {size_t{2}, size_t{8}, size_t{11}, size_t{20}, size - 1}) {
            const std::string reply = line.Reply(next, 3);
            {
                SCOPED_TRACE(trace("whole, then a copy stopped after byte " + std::to_string(at)));
                line.Step(reply + reply.substr(0, at));
                line.Step("");  // nothing more came: given up
                line.Step(reply.substr(at) + line.Reply(next + 3, 1));
                EXPECT_EQ(device.LostSaid(), 0);
                EXPECT_EQ(device.TakeQueued(), ramp(next, 4));
            }
            {
                SCOPED_TRACE(trace("stopped after byte " + std::to_string(at) + ", then a copy"));
                line.Step(reply.substr(0, at));
                line.Step("");
                line.Step(reply.substr(at) + reply + line.Reply(next + 3, 1));
                EXPECT_EQ(device.LostSaid(), 0);
                EXPECT_EQ(device.TakeQueued(), ramp(next, 4));
            }
            // A part without a whole sample may be any reply's: its samples stay lost.
            if (at >= CSerialSatelDevice::kHeaderSize + CSerialSatelDevice::kSampleSize) {
                SCOPED_TRACE(trace("stopped after byte " + std::to_string(at) +
                                   ", its rest never sent, then a copy"));
                line.Step(reply.substr(0, at));
                line.Step("");
                line.Step(reply + line.Reply(next + 3, 1));
                EXPECT_EQ(device.LostSaid(), 0);
                EXPECT_EQ(device.TakeQueued(), ramp(next, 4));
            }
        }
    });
}

// A backlog longer than the room, with a sample that reads as an ending (0, 0, 42; a
// first byte '*') and the next reply's header read with it: cut, its samples past the
// room counted lost, none taken for line noise; the next reply taken whole.
TEST(SatelReplyRefusals, ABacklogLongerThanTheRoomIsCutThoughASampleLooksLikeItsEnd)
{
    constexpr int kLong = 39;  // with the next header, one read of the input
    OnEveryConvention([&](CScriptedLine& line, bool lone, Length length, int64_t next) {
        SCOPED_TRACE(testing::Message() << (lone ? "lone '*'" : "closing block")
                                        << ", length rule " << static_cast<int>(length));
        CSatelProbe& device = line.Device();
        std::vector<SatelSample> backlog = CScriptedLine::Ramp(next, kLong);
        backlog[1] = {0, 0, 42};
        backlog[2] = {0x2A01, 8, 9};
        const int64_t damagedBefore = device.GetDamagedReplies();
        device.AnsweredAgo(0ms);
        line.Step(line.ReplyOf(backlog) + line.Reply(next + kLong, 1));
        const int64_t lost = device.LostSaid();
        const std::vector<SatelSample> queued = device.TakeQueued();
        const int taken = static_cast<int>(queued.size()) - 1;
        ASSERT_GE(taken, 3);
        ASSERT_LT(taken, kLong);
        std::vector<SatelSample> expected(backlog.begin(), backlog.begin() + taken);
        expected.push_back(RampSample(next + kLong));
        EXPECT_EQ(queued, expected);
        EXPECT_EQ(lost, kLong - taken);
        EXPECT_EQ(device.GetCutReplies(), 1);
        EXPECT_EQ(device.GetDamagedReplies(), damagedBefore);
    });
}

// A late reply taken while the device tries to resume a lost line, the board then
// silent again (no acknowledgement) or answering all but the sample request: the board
// answers. The line is back at the frame that carries the reply's first sample, as the
// text says: no frame after the loss carries a sample before it.
TEST(SatelLineReturn, ALateReplyTakenWhileResumingEndsTheLoss)
{
    OnEveryConvention([&](CScriptedLine& line, bool lone, Length length, int64_t next) {
        CSatelProbe& device = line.Device();
        device.TakeQueued();
        const std::string port = line.Pty().SlaveName();
        CFakeSatelBoard board(line.Pty());  // acknowledges commands, never a sample request
        board.SetSilentSamples(true);
        board.Start();
        for (bool acknowledges : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << (lone ? "lone '*'" : "closing block") << ", length rule "
                         << static_cast<int>(length)
                         << (acknowledges ? ", configured again" : ", no acknowledgement"));
            board.SetSilent(!acknowledges);
            for (int i = 0; i < 20 && !device.IsLineLost(); ++i) {
                std::this_thread::sleep_for(6ms);  // the next read is due
                device.ReadOrResume();
                device.TakeSample(true);
            }
            ASSERT_TRUE(device.IsLineLost());
            const long long lost =
                FrameIn(LastText(port, "does not answer from frame"), "from frame ");
            ASSERT_GE(lost, 0);
            ASSERT_TRUE(line.Pty().Send(line.Reply(next, 2)));  // late, after its time-out
            ASSERT_TRUE(device.WaitForBytes(5s));
            device.ReadOrResume();
            EXPECT_FALSE(device.IsLineLost());
            const long long back =
                FrameIn(LastText(port, "answers again at frame"), "again at frame ");
            EXPECT_EQ(back, device.GetSampleCounter());
            EXPECT_GE(back, lost);
            EXPECT_EQ(device.TakeQueued(), CScriptedLine::Ramp(next, 2));
            next += 2;
        }
        board.Stop();
    });
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
