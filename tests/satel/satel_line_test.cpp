// The SATEL device against boards written from what is known of the line: every way
// of counting the length bytes, both endings, short acknowledgements, and the faults
// of a real line. Every frame is traced to a sample the board sent, and what the
// frames skip and repeat is what the device says at closing.
#include "satel/satel_device.h"

#include "../analog/fakeSinks.h"
#include "../analog/runningDevice.h"
#include "satel/describedSatelBoard.h"
#include "satel/satelClockRun.h"
#include "serial/lineLink.h"
#include "serial/ptyPair.h"
#include "support/simSeeds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
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
    int64_t longestGapMs = 0;   // the longest wait between two dribbled bytes
    int64_t unseen = 0;         // samples of a reply the adapter took away unseen
    bool goneInGap = false;     // the adapter's last reply lies between frames' samples
    int64_t unseenSkipped = 0;  // unseen samples between two samples frames carried
    std::string closing;        // the closing text on samples
    int resets = 0;             // times the board came back another way
    int64_t starHigh = 0;       // '*'-high samples the board sent
    int64_t copies = 0;         // replies it sent twice
    // Frames that begin or end on a still value leave the samples they carried open by
    // this much: skipped less repeated, as the frames show it, lies in the range.
    int64_t openLow = 0;
    int64_t openHigh = 0;
    int64_t stillSlack = 0;  // copies of still replies that only their counts tell
    int holds = 0;              // times the device's thread was held between passes
    int64_t longReplyBytes = 0; // bytes of sample replies past their 64th
    int64_t oversized = 0;      // replies the board sent longer than any read takes
    int64_t oversizedDamaged = 0;  // of those it damaged inside, that may close before
    int64_t unfrozen = 0;       // frames of a lost line that show new values
    int64_t answeringLosses = 0;  // line losses before the board was hushed
    bool offsetsDone = false;
    // The calm tail, frames calmFrom to calmTo: what its frames skip and repeat, how many
    // samples the board had gathered that its frames had not shown yet (the least, past
    // those a lone '*' kept waiting while the device's thread was held, and the most), and
    // whether the device was held up or the board silent meanwhile.
    int calmFrom = -1;
    int calmTo = -1;
    int64_t tailSkipped = 0;
    int64_t tailRepeated = 0;
    int64_t lag = -1;
    int64_t maxLag = -1;
    bool tailHeldUp = false;
    bool tailQuiet = false;  // judged once the board stopped, a late answer counted
    int tailSilences = 0;
    int tailDamaging = 0;
    int64_t staleLosses = 0;  // losses whose named frame follows no fresh one
    int64_t namedBack = 0;    // loss and return texts naming a frame before one named
};

// The calm tail: the board meets no fault and the device's thread is held no more.
// Once the line answers and a moment passed, frames calmFrom to calmTo are watched.
void RunCalmTail(int periodMs, CDescribedSatelBoard& board, CSerialSatelDevice& device,
                 CTimedView& view, LineRun& run)
{
    board.Calm();
    for (int i = 0; i < 1000 && device.IsLineLost(); ++i) std::this_thread::sleep_for(10ms);
    run.ran = view.WaitFrames(FramesOf(view) + 5 + 200 / periodMs, 60s);
    run.calmFrom = FramesOf(view);
    run.tailSilences = board.Silences();
    run.tailDamaging = board.Damaging();
    view.longestGapUs = 0;
    const int64_t heldBefore = device.GetHeldRepeatCount();
    run.ran = run.ran && view.WaitFrames(run.calmFrom + 10 + std::max(150 / periodMs, 40), 60s);
    run.calmTo = FramesOf(view) - 1;
    // Frames a thread held past a second repeats as it catches up come late, at once.
    run.tailHeldUp = view.HeldUp(periodMs) || device.GetHeldRepeatCount() != heldBefore;
}

// The first sample of the still spell sample s lies in, or -1 (none, or no sample).
int64_t SpellOf(int64_t s, const CDescribedSatelBoard& board)
{
    const std::vector<int64_t>& carried = board.Carried();
    if (s < 0 || s >= static_cast<int64_t>(carried.size())) return -1;
    const int64_t first = carried[static_cast<size_t>(s)];
    return first >= 0 && board.StillUntil(first) > first ? first : -1;
}

// Once the board stopped: what the calm tail's frames skip and repeat, how far they
// are behind the board's clock, and the losses whose named frame follows a
// frame that carried no fresh sample (judged where the board measured a plain ramp,
// or in the calm tail).
void TraceTail(const std::vector<int64_t>& samples, const CTimedView& view,
               const CDescribedSatelBoard& board, int periodMs, LineRun& run)
{
    const auto at = [&samples](long long f) { return samples[static_cast<size_t>(f)]; };
    if (run.calmFrom > 0 && run.calmTo < static_cast<int>(samples.size()) && at(run.calmTo) >= 0) {
        // Each frame judged at its due time: the frames' earliest against the schedule
        // (a loaded machine may hold them all a while).
        const auto due = [&](int f) {
            return view.times[static_cast<size_t>(f)] - std::chrono::milliseconds(periodMs) * f;
        };
        auto anchor = due(run.calmFrom);
        auto latest = anchor;
        for (int f = run.calmFrom; f <= run.calmTo; ++f) {
            anchor = std::min(anchor, due(f));
            latest = std::max(latest, due(f));
        }
        // Frames that came that late on it caught up after a hold begun before the tail.
        const auto held = std::chrono::milliseconds(4 * periodMs + 50);
        run.tailHeldUp = run.tailHeldUp || latest - anchor > held;
        // The samples of a reply closed by a lone '*' wait for the next reply's header:
        // where a loaded machine held the device's thread between passes, the frames of
        // the next pass show what the board gathered meanwhile that much later. A pass
        // begins where a frame came half a period or more after the one before.
        const auto period = std::chrono::milliseconds(periodMs);
        const auto heldBehind = [&](int f) {
            const auto time = [&view](int j) { return view.times[static_cast<size_t>(j)]; };
            if (!board.EndsLone()) return int64_t{0};
            int j = f;
            while (j > 1 && (time(j) - time(j - 1)) * 2 < period) --j;
            const auto gap = j > 0 ? time(j) - time(j - 1) : period;
            return gap > period ? static_cast<int64_t>((gap - period) / period) : int64_t{0};
        };
        const auto lag = [&](int f) {
            return board.GatheredAt(anchor + period * f) - 1 - at(f) - heldBehind(f);
        };
        // And at the time it went: the most shows the board late a moment.
        const auto late = [&](int f) {
            return board.GatheredAt(view.times[static_cast<size_t>(f)]) - 1 - at(f);
        };
        run.lag = lag(run.calmFrom);
        run.maxLag = late(run.calmFrom);
        for (int f = run.calmFrom + 1; f <= run.calmTo; ++f) {
            if (at(f) == at(f - 1))
                ++run.tailRepeated;
            else
                run.tailSkipped += at(f) - at(f - 1) - 1;
            run.lag = std::min(run.lag, lag(f));
            run.maxLag = std::max(run.maxLag, late(f));
        }
    }
    const std::vector<int64_t>& carried = board.Carried();
    bool plain = true;
    for (size_t j = 0; j < carried.size() && plain; ++j)
        plain = carried[j] == static_cast<int64_t>(j);
    long long named = -1;  // the last frame a loss or return named
    for (size_t i = 0; i < run.texts.size(); ++i) {
        const long long lost = FrameIn(run.texts[i], "does not answer from frame ");
        const long long again = FrameIn(run.texts[i], "answers again at frame ");
        run.namedBack += std::max(lost, again) >= 0 && std::max(lost, again) < named;
        // Named where the return was (no fresh frame since), or returned there: none held.
        const bool none = lost == named || (i + 1 < run.texts.size() &&
                                            FrameIn(run.texts[i + 1], "again at frame ") == lost);
        named = std::max({named, lost, again});
        if (none || lost < 2 || lost > run.decoded || !(plain || lost - 2 >= run.calmFrom))
            continue;
        // Two frames of one still spell may be two samples or one: nothing to judge.
        const int64_t spell = SpellOf(at(lost - 1), board);
        if (spell >= 0 && spell == SpellOf(at(lost - 2), board)) continue;
        run.staleLosses += at(lost - 1) < 0 || at(lost - 1) <= at(lost - 2);
    }
}

// Holds the device's thread between two passes now and then, as a loaded machine does,
// for times drawn from seed, until stopped; Stop: the holds taken.
struct CPassHolder {
    CPassHolder(CSerialSatelDevice& device, uint32_t seed)
        : thread([this, &device, seed] {
              std::mt19937 random(seed);
              std::unique_lock<std::mutex> lock(mutex);
              const auto stopped = [this] { return stop; };
              while (!wake.wait_for(lock, std::chrono::milliseconds(10 + random() % 200), stopped)) {
                  if (!device.HoldPasses(std::chrono::seconds(20))) continue;
                  ++holds;
                  wake.wait_for(lock, std::chrono::milliseconds(1 + random() % 120), stopped);
                  device.ReleasePasses();
              }
          })
    {
    }
    ~CPassHolder() { Stop(); }
    int Stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        wake.notify_all();
        if (thread.joinable()) thread.join();
        return holds;
    }
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    int holds = 0;
    std::thread thread;
};

// How open the first and last frames leave the trace where they carry a still value
// (CRampFollower takes each such frame as fresh while it can): the first may be any
// sample of its spell, the last any from its value's first on.
void OpenEnds(const std::vector<int64_t>& samples, int decoded, const CDescribedSatelBoard& board,
              LineRun& run)
{
    const std::vector<int64_t>& carried = board.Carried();
    const auto first = std::find_if(samples.begin(), samples.begin() + decoded,
                                    [](int64_t s) { return s >= 0; });
    if (first == samples.begin() + decoded) return;
    run.openLow -= board.StillUntil(*first) - *first;
    const int64_t last = samples[static_cast<size_t>(decoded) - 1];
    if (last < 0 || last >= static_cast<int64_t>(carried.size())) return;
    const int64_t value = carried[static_cast<size_t>(last)];
    if (value < 0) return;
    run.openLow -= last - value;
    run.openHigh += board.StillUntil(value) - last;
}

// Runs the device at periodMs on the board until frameCount frames came, with the reply
// time-outs of a real line. midway: called once atFrame frames came (the board's line
// may go); then frameCount more frames are waited for. Each run has its own line, under
// a path of its own.
LineRun RunLine(int periodMs, CDescribedSatelBoard& board, int frameCount,
                const std::function<void(CSerialSatelDevice&, CLineLink&)>& midway = nullptr,
                int atFrame = 0, uint32_t holdSeed = 0)
{
    LineRun run;
    CPtyPair pty;
    CLineLink link;
    if (!pty.IsValid() || !link.PointAt(pty.SlaveName())) return run;
    board.Start(pty);
    CTimedView view;
    {
        const SatelDevicePtr opened = OpenSatel(link.Path(), periodMs);
        if (!opened->IsReady()) return run;
        CSerialSatelDevice& device = *opened;
        device.SetReopenInterval(200ms);
        device.AddView(&view);
        bool started = device.Create(false) && device.RunThread();
        std::unique_ptr<CPassHolder> holder;
        if (started && holdSeed != 0) holder = std::make_unique<CPassHolder>(device, holdSeed);
        if (started && midway) {
            started = view.WaitFrames(atFrame, 60s);
            if (started) midway(device, link);
            frameCount += FramesOf(view);
        }
        run.ran = started && view.WaitFrames(frameCount, 60s);
        // A board busy at the end: the frames go on until what it held back was read.
        for (int i = 0; i < 6000 && run.ran && !board.BusyOver(); ++i)
            std::this_thread::sleep_for(10ms);
        if (run.ran && board.BusyOver())
            run.ran = view.WaitFrames(FramesOf(view) + 40 + 300 / periodMs, 60s);
        if (holder) run.holds = holder->Stop();
        if (run.ran) RunCalmTail(periodMs, board, device, view, run);
        // What the board sent is read whole before the device closes.
        run.answeringLosses = device.GetLineLosses();
        if (run.ran)
            run.ran = board.Hush() && view.WaitFrames(FramesOf(view) + 4 + 200 / periodMs, 60s);
        device.Close();
        device.RemoveView(&view);
        board.Stop();
        run.sent = board.Sent();
        run.longReplyBytes = board.LongReplyBytes();
        run.longestReply = board.LongestReply();
        run.longestGapMs = board.LongestGapMs();
        run.heldUp = view.HeldUp(periodMs);
        std::lock_guard<std::mutex> lock(view.mutex);
        run.frames = static_cast<int>(view.frames.size());
        const std::vector<int64_t> samples =
            TraceFrames(view.frames, device, 1000.0 / periodMs, run,
                        [&board](int64_t j) { return board.StillUntil(j); });
        if (run.decoded > 0) run.newest = samples[static_cast<size_t>(run.decoded) - 1];
        OpenEnds(samples, run.decoded, board, run);
        const auto shown = std::find_if(samples.begin(), samples.end(),
                                        [](int64_t s) { return s >= 0; });
        // Gone before the frames' first sample, they are no gap (neither said nor skipped).
        run.goneInGap =
            board.GoneSamples() > 0 && shown != samples.end() && *shown < board.GoneFrom();
        if (board.GoneUnseen()) run.unseen = board.GoneSamples();
        if (run.goneInGap) run.unseenSkipped = run.unseen;
        TakeCounts(device, run);
        run.offsetsDone = device.AreOffsetsDone();
        run.filteredFrames = device.GetFilteredSamples();
        run.repeatedReplies = device.GetRepeatedReplies();
        run.port = link.Path();
        run.texts = TextsNaming(run.port);
        // From the frame a loss names to the one its return names, the frames hold what
        // the frame before them held (none where it came back before its queued samples
        // ran out).
        const long long lost = FrameIn(FindText(run.texts, "does not answer from frame"),
                                       "from frame ");
        const long long back = FrameIn(FindText(run.texts, "answers again at frame"),
                                       "again at frame ");
        const long long end = back >= 0 ? std::min<long long>(back, run.frames) : run.frames;
        for (long long f = lost; lost > 0 && f < end; ++f)
            run.unfrozen += view.frames[static_cast<size_t>(f)].values !=
                            view.frames[static_cast<size_t>(lost - 1)].values;
        TraceTail(samples, view, board, periodMs, run);
    }
    run.resets = board.Resets();
    run.tailQuiet = board.Silences() == run.tailSilences && board.Damaging() == run.tailDamaging;
    run.starHigh = board.StarHighSent();
    run.copies = board.CopiesSent();
    run.stillSlack = board.StillCopySlack();
    run.closing = FindText(run.texts, "reached no frame");
    run.oversized = std::count_if(board.ReplySizes().begin(), board.ReplySizes().end(), Overlong);
    run.oversizedDamaged =
        std::count_if(board.DamagedSizes().begin(), board.DamagedSizes().end(), Overlong);
    return run;
}

// Each text said once: a loss with the first frame that holds the last values, the
// return, and the first reply missed, refused or cut.
void ExpectSaidOnce(const LineRun& run)
{
    const auto count = [&run](const std::string& part) {
        return std::count_if(run.texts.begin(), run.texts.end(), [&part](const std::string& t) {
            return t.find(part) != std::string::npos;
        });
    };
    for (const char* once : {"no reply at frame", "damaged reply or noise refused at frame",
                             "longer than expected was cut", "replies missed ("})
        EXPECT_LE(count(once), 1) << once;
    const std::string counted = FindText(run.texts, "replies missed (");
    const long long silentFrom = FrameIn(counted, "silent from frame ");
    EXPECT_EQ(count("does not answer from frame"), run.losses);
    EXPECT_EQ(count("answers again"), run.losses - (silentFrom >= 0 ? 1 : 0));
    EXPECT_EQ(run.staleLosses, 0)
        << "a loss names a frame after the first that holds the last values";
    EXPECT_EQ(run.namedBack, 0) << "a loss or return names a frame before one named already";
    std::string last;
    for (const std::string& text : run.texts) {
        if (text.find("does not answer from frame") == std::string::npos) continue;
        last = text;
        EXPECT_EQ(text.rfind("<SATEL> satel_device: " + run.port, 0), 0u) << text;
        EXPECT_EQ(text.back(), '\n');
    }
    if (silentFrom >= 0) {
        EXPECT_EQ(FrameIn(last, "does not answer from frame "), silentFrom) << counted;
    }
}

// Every frame a sample the board sent, in order; what the frames skip and repeat is
// what the device counted, and its closing text says so. Frames of a still board may
// be fresh samples or repeats: there the repeats lie between the certain ones and all
// that may be, and what was skipped less what was repeated is what the frames show.
void ExpectTraced(const LineRun& run)
{
    ASSERT_TRUE(run.ran);
    EXPECT_EQ(run.decoded, run.frames) << "a frame carries no sample the board sent";
    EXPECT_LT(run.newest, run.sent);
    // A reply the adapter took away before the device could tell it held samples
    // leaves the device nothing to count.
    const int64_t skipped = run.skipped - run.unseenSkipped;
    const int64_t said = run.reportedSkipped + run.reportedLost + run.filteredFrames;
    const int64_t beyond = (said - run.reportedRepeated) - (skipped - run.repeated);
    EXPECT_TRUE(beyond >= run.openLow - run.stillSlack &&
                beyond <= run.openHigh + run.stillSlack + run.unsureLost)
        << "dropped " << run.reportedSkipped << ", lost in replies " << run.reportedLost
        << " (up to " << run.unsureLost << " fewer)"
        << ", filtered " << run.filteredFrames << ", repeated " << run.reportedRepeated
        << ", gone unseen " << run.unseen << "; the frames skip " << skipped << " and repeat "
        << run.repeated << " (" << run.uncertain << " more may be repeats, ends open by "
        << run.openLow << " to " << run.openHigh << ", still copies by " << run.stillSlack << ")";
    EXPECT_GE(run.reportedRepeated, run.repeated - run.stillSlack);
    EXPECT_LE(run.reportedRepeated, run.repeated + run.uncertain + run.stillSlack);
    EXPECT_TRUE(run.onSchedule);
    if (said > 0 || run.reportedRepeated > run.heldRepeated) {
        EXPECT_NE(run.closing.find(std::to_string(said) + " board samples reached no frame"),
                  std::string::npos)
            << run.closing;
        EXPECT_NE(run.closing.find(std::to_string(run.reportedRepeated - run.heldRepeated) +
                                   " frames repeated"),
                  std::string::npos)
            << run.closing;
    }
    // A still board's replies are fresh values: only replies the board sent twice are
    // copies.
    EXPECT_LE(run.repeatedReplies, run.copies) << "replies said to have come twice";
    // A reply is cut only when it is longer than any read, and the cut is said.
    EXPECT_TRUE(run.cut >= run.oversized && run.cut <= run.oversized + run.oversizedDamaged)
        << run.cut << " replies cut; longer than any read: " << run.oversized << ", and "
        << run.oversizedDamaged << " damaged inside";
    EXPECT_EQ(FindText(run.texts, "longer than expected was cut").empty(), run.cut == 0);
    EXPECT_EQ(run.unfrozen, 0) << "frames the texts say the line was lost for";
    const std::string head = "<SATEL> satel_device on " + run.port + ": ";
    EXPECT_TRUE(run.closing.empty() || run.closing.rfind(head, 0) == 0) << run.closing;
    const std::string counted = FindText(run.texts, "replies cut");
    EXPECT_TRUE(counted.empty() || counted.rfind(head, 0) == 0) << counted;
    if (run.missed + run.damaged + run.cut + run.losses > 0) {
        EXPECT_NE(counted.find(wxString::Format("%lld replies missed (%lld came late, their "
                                                "samples kept), %lld damaged replies or stretches "
                                                "of noise refused, "
                                                "%lld replies cut, line lost %lld times",
                                                static_cast<long long>(run.missed),
                                                static_cast<long long>(run.late),
                                                static_cast<long long>(run.damaged),
                                                static_cast<long long>(run.cut),
                                                static_cast<long long>(run.losses))
                                   .ToStdString()),
                  std::string::npos)
            << counted;
    } else {
        EXPECT_EQ(counted, "");
    }
    ExpectSaidOnce(run);
}

// The adapter goes with the next reply with samples, and is plugged in again on
// another line once the device had a moment without it; until the device says the
// board answers again. holdMs: the device's thread is held from the loss until that
// long after the adapter came back.
void Replug(CDescribedSatelBoard& board, CPtyPair& second, CLineLink& link,
            CSerialSatelDevice& device, int holdMs)
{
    board.VanishSoon();
    // It goes with a reply, however long a loaded machine takes to ask for one: a line
    // taken over while it is still there would never come back.
    for (int i = 0; i < 6000 && !board.Vanished(); ++i) std::this_thread::sleep_for(10ms);
    if (!board.Vanished()) {
        ADD_FAILURE() << "no samples asked for in a minute: the adapter never went";
        return;
    }
    // Until it says the line is back once more than when the adapter went.
    const auto backs = [&link] {
        const std::vector<std::string> texts = TextsNaming(link.Path());
        return std::count_if(texts.begin(), texts.end(), [](const std::string& text) {
            return text.find("answers again") != std::string::npos;
        });
    };
    const auto before = backs();
    for (int i = 0; i < 1000 && holdMs > 0 && !device.IsLineLost(); ++i)
        std::this_thread::sleep_for(1ms);
    const bool held = holdMs > 0 && device.HoldPasses(20s);
    std::this_thread::sleep_for(100ms);
    board.Resume(second);
    link.PointAt(second.SlaveName());
    std::this_thread::sleep_for(std::chrono::milliseconds(held ? holdMs : 0));
    if (held) device.ReleasePasses();
    for (int i = 0; i < 6000 && backs() <= before; ++i) std::this_thread::sleep_for(10ms);
}

constexpr Length kLengths[] = {Length::Zero, Length::Own, Length::Star, Length::Samples};

// The calm tail: no fault, no hold, the line answering. The frames keep close behind
// the board's clock (a few samples; a fast board a few milliseconds' worth; one that
// closes with a lone '*' more by what it gathered while a loaded machine kept the
// device's thread waiting) and carry every sample once: a clock that drifts drops or repeats what it drifts, now and then
// one more either way. steady: a board that ends its replies with a block all along (a
// lone '*' may wait for the next header while a frame goes). Where the board fell
// behind a moment (a loaded machine) the frames repeat, then skip to catch up.
void ExpectCalmTail(const LineRun& run, const CDescribedSatelBoard::Plan& plan, int periodMs,
                    bool steady)
{
    ASSERT_GE(run.calmFrom, 0);
    if (plan.lineBytesPerSecond > 0 || run.tailHeldUp || !run.tailQuiet) return;
    // The hold-back and the newest sample, not read yet: one more shows the board late.
    constexpr int64_t kClose = 2;
    // A board set up again may leave its first replies unconfirmed a while (a loaded
    // machine): only one that kept its way is held to it, back in step whatever noise
    // or junk came before.
    if (run.resets == 0) {
        EXPECT_LE(run.lag, std::max<int64_t>(kClose + 4, 20 / periodMs))
            << "frames behind the board's clock";
    }
    if (!steady || run.maxLag > kClose) return;
    const int64_t either = plan.rateFactor == 1.0 ? 0 : 1;
    const int64_t drift =
        std::llround(std::fabs(plan.rateFactor - 1.0) * (run.calmTo - run.calmFrom));
    EXPECT_LE(std::min(run.tailSkipped, run.tailRepeated), either);
    EXPECT_LE(std::max(run.tailSkipped, run.tailRepeated), drift + 2 * either);
}

// One seeded suite for the board's line. A seed draws the board (rate, what its length
// bytes count, its ending), how often its replies meet a fault and of which kinds
// (bytes doubled, dropped or added; noise before, inside, right behind; a header in
// noise; replies sent again from up to three requests back; dribbled and stalled
// replies; resets that change the board's way), and whether the line is slower than
// the board's data. On every run every frame is a sample the board sent, the frames
// never step back, and what the frames miss and repeat is what the device says.
class SatelNoiseSuite : public ::testing::TestWithParam<uint32_t> {};

TEST_P(SatelNoiseSuite, EveryFrameIsASampleTheBoardSentOrIsSaid)
{
    using Fault = CDescribedSatelBoard::Fault;
    const uint32_t seed = GetParam();
    SCOPED_TRACE("replay with QV_SIM_SEED=" + std::to_string(seed));
    std::mt19937 random(seed);
    const int periodMs = std::array<int, 4>{25, 5, 1, 10}[random() % 4];
    const Length length = kLengths[random() % 4];
    const bool lone = random() % 2 == 0;
    CDescribedSatelBoard::Plan plan;
    plan.seed = seed;
    plan.faultShare = 0.05 + 0.25 * static_cast<double>(random() % 100) / 100.0;
    for (uint32_t i = 0, kinds = 1 + random() % 5; i < kinds; ++i)
        plan.kinds.push_back(static_cast<Fault>(1 + random() % static_cast<int>(Fault::Reset)));
    // A line that carries seven tenths of the board's sample bytes (200 Hz on 9600 Bd).
    const bool slow = random() % 6 == 0;
    if (slow) plan.lineBytesPerSecond = 7 * 6 * 100 / periodMs;
    // A loaded machine: the device's thread held between passes now and then.
    bool held = random() % 3 == 0;
    plan.stallMs = 3 * static_cast<int>(CSerialSatelDevice::DefaultReplyTimeoutMs(periodMs));
    // What the board measures: still spells, and samples opening a reply with a '*'.
    const uint32_t scheme = random() % 4;
    if (scheme & 1) plan.stillShare = 0.02 + 0.08 * static_cast<double>(random() % 100) / 100.0;
    if (scheme & 2) plan.starHighShare = 0.05 + 0.25 * static_cast<double>(random() % 100) / 100.0;
    // Drawn apart, so that the draws above stay what they were for each seed: a board
    // busy once (its offsets' reply late, or a backlog longer than any read at 1000 Hz),
    // a clean line, and the length its acknowledgements give.
    std::mt19937 more(seed ^ 0x9E3779B9u);
    const int timeoutMs = static_cast<int>(CSerialSatelDevice::DefaultReplyTimeoutMs(periodMs));
    if (more() % 3 == 0) {
        plan.busyAt = more() % 4 == 0 ? 0 : 6 + static_cast<int>(more() % 40);
        plan.busyMs = static_cast<int>(plan.busyAt == 0    ? 100 + more() % 2100
                                       : periodMs == 1 ? 200 + more() % 1800
                                                       : 100 + more() % 600);
    }
    // A slow line's replies grow ever longer, its requests ever fewer: it is busy early.
    if (slow && plan.busyAt > 0) plan.busyAt = 1 + plan.busyAt % 2;
    const bool clean = more() % 8 == 0;
    const int ackLength = more() % 4 == 0 ? std::array<int, 5>{0, 1, 2, 3, 200}[more() % 5] : -1;
    if (clean) plan.kinds.clear();
    // Now and then a busy board on a clean line comes back only once set up again, its
    // backlog spread over a tenth of a second (a reply on its way as the set-up goes).
    if (clean && plan.busyAt > 0 && !slow && more() % 2 == 0) plan.backlogMs = 100;
    // Drawn apart again: the board's clock against the device's (its phase, and a rate
    // up to 1 % off), and an adapter that goes mid-reply and comes back on another line.
    std::mt19937 clock(seed ^ 0xC10C4u);
    plan.phase = static_cast<double>(clock() % 4) / 4.0;
    if (clock() % 2 == 0)
        plan.rateFactor = 1.0 + (clock() % 2 ? 0.005 : -0.005) * (1.0 + (clock() % 100) / 100.0);
    // Only a board that gives a length and closes with a block tells what the half of a
    // reply that went with the adapter held.
    // Held meanwhile it is drawn no more.
    const bool replug = clock() % 6 == 0 && length != Length::Zero && !lone && !slow;
    held = held && !replug;
    // Now and then the adapter goes a while after the half it took (the device may refuse
    // that half as stopped first).
    if (replug && clock() % 3 == 0) plan.goneAfterMs = plan.stallMs;
    // Drawn last: the platform emptied while the board was busy.
    std::mt19937 emptied(seed ^ 0x57111u);
    plan.stillFromBusy = plan.busyAt > 0 && emptied() % 3 == 0;
    // And apart after it: what follows the first reply after a reset now and then.
    std::mt19937 after(seed ^ 0x51A7E4u);
    plan.resetBehindFirst = after() % 4 == 0;
    if (after() % 4 == 0) plan.quietBehindFirstMs = 3 * plan.stallMs;
    // And last: a busy board back only once set up again on a noisy line too, its backlog
    // spread over a tenth of a second or paced as a line may carry it (1.5 to 4 times what
    // the board gathers, or 19 200 Bd), now and then stalled or meeting a line fault.
    std::mt19937 paced(seed ^ 0xBAC1065u);
    if (plan.busyAt > 0 && !slow && paced() % 3 == 0) plan.backlogMs = 100;
    const int gathers = 6000 / periodMs;
    const int paces[] = {0, gathers * 3 / 2, gathers * 2, gathers * 4,
                         std::max(1920, gathers * 3 / 2)};
    if (plan.backlogMs > 0) plan.backlogBytesPerSecond = paces[paced() % 5];
    if (plan.backlogMs > 0 && !plan.kinds.empty() && paced() % 2 == 0)
        plan.backlogFault = paced() % 2 ? Fault::Stall : plan.kinds[paced() % plan.kinds.size()];
    // Its backlog gone, the set-up that follows answered after the device gave up on it.
    if (plan.backlogMs > 0 && emptied() % 2 == 0) plan.lateSetUpMs = 3 * plan.stallMs;
    // Apart once more: samples with a '*' in any byte place, and long junk before replies.
    std::mt19937 placed(seed ^ 0x2A57A4u);
    if (placed() % 2 == 0) plan.starPlaceShare = 0.05 + 0.3 * static_cast<double>(placed() % 100) / 100.0;
    if (placed() % 3 == 0 && !clean && !slow)
        plan.junkShare = 0.02 + 0.1 * static_cast<double>(placed() % 100) / 100.0;
    // Drawn after all the others: a header in noise that reads like one of the board's replies.
    std::mt19937 fake(seed ^ 0xFA4E5u);
    plan.fakeLikeReply = fake() % 2 == 0;
    // Apart: one before a backlog, held past when a read lets a frame go (a set-up then
    // forgets the board's way while they come).
    std::mt19937 behind(seed ^ 0x4E1DFAu);
    if (plan.backlogMs > 0 &&
        (plan.backlogFault == Fault::None || plan.backlogFault == Fault::FakeHeader) &&
        behind() % 2 == 0)
        plan.fakeBeforeBacklogMs = 3 * periodMs + 60;
    // And apart from it: the reply the adapter goes with behind one.
    std::mt19937 gone(seed ^ 0x60FA4Eu);
    plan.fakeBeforeGone = replug && plan.fakeLikeReply && gone() % 3 == 2;
    std::mt19937 twice(seed ^ 0x5EC0Du);
    plan.dropSecond = twice() % 2 == 0;
    plan.restLate = twice() % 2 == 0;
    // Apart: the second reply after a reset read late, once the next request went.
    std::mt19937 lateSecond(seed ^ 0x2A7E0u);
    plan.secondLate = lateSecond() % 2 == 0;
    // And after it: a damaged reply that also stalls midway, on a third of noisy lines; on
    // half of those the first after a set-up is one, stalled just past its damage.
    std::mt19937 stalled(seed ^ 0x57A11Du);
    if (!plan.kinds.empty() && stalled() % 3 == 0) plan.kinds.push_back(Fault::StallDamage);
    plan.stallAfterSetUp =
        !plan.kinds.empty() && plan.kinds.back() == Fault::StallDamage && stalled() % 2 == 0;
    // Drawn apart: the device's thread held from the adapter's going until after it is
    // back, now and then past a second (its frames repeat meanwhile).
    std::mt19937 holdOver(seed ^ 0x401DEDu);
    const int replugHoldMs =
        replug && holdOver() % 3 == 0 ? static_cast<int>(holdOver() % 2 ? 50 : 1100) : 0;
    // Apart: on a noisy line, the first reply after a set-up while running, its way not
    // shown again yet, stalls with a byte of its closing block doubled or changed.
    std::mt19937 setUpHit(seed ^ 0xB10C4u);
    plan.blockHitAfterSetUp = !lone && !plan.kinds.empty() && setUpHit() % 3 == 0;
    // And where one goes before a backlog, now and then the set-ups sent while the board
    // was busy go unheard.
    plan.setUpsLostAfterBusy = plan.fakeBeforeBacklogMs > 0 && setUpHit() % 2 == 0;
    // Apart: on a noisy line, a busy board that ends with a block and gives no length
    // sends its busy reply with a byte doubled and junk right behind.
    std::mt19937 junkBehind(seed ^ 0x7B15Du);
    plan.junkBehindBusy = length == Length::Zero && !lone && plan.busyAt > 0 &&
                          !plan.kinds.empty() && junkBehind() % 2 == 0;
    CDescribedSatelBoard board(1000.0 / periodMs, length, lone);
    board.SetPlan(plan);
    if (ackLength >= 0) board.SetAckLength(ackLength);
    std::string kinds;
    for (Fault kind : plan.kinds) kinds += std::to_string(static_cast<int>(kind)) + " ";
    SCOPED_TRACE(testing::Message() << periodMs << " ms, " << NameOf(length)
                                    << (lone ? ", lone '*'" : ", closing block") << ", faults "
                                    << kinds << "in " << plan.faultShare
                                    << (slow ? ", slow line" : "") << (held ? ", held" : "")
                                    << ", still spells in " << plan.stillShare
                                    << ", '*'-high samples in " << plan.starHighShare
                                    << ", busy " << plan.busyMs << " ms at request "
                                    << plan.busyAt << ", acknowledgement length " << ackLength
                                    << ", clock " << plan.rateFactor << " phase " << plan.phase
                                    << (replug ? ", replugged" : "")
                                    << (replugHoldMs > 0 ? ", held over it" : "")
                                    << (plan.goneAfterMs > 0 ? " after a pause" : "")
                                    << (plan.stillFromBusy ? ", still from the busy spell" : "")
                                    << (plan.resetBehindFirst ? ", reset behind the first" : "")
                                    << (plan.quietBehindFirstMs > 0 ? ", quiet behind the first"
                                                                    : "")
                                    << ", backlog over " << plan.backlogMs << " ms, '*' placed in "
                                    << plan.starPlaceShare << ", junk in " << plan.junkShare
                                    << (plan.lateSetUpMs > 0 ? ", set-up late after it" : "")
                                    << (plan.fakeLikeReply ? ", fake headers like replies" : "")
                                    << (plan.fakeBeforeGone ? ", one before the reply gone" : "")
                                    << (plan.dropSecond ? ", second after a reset short too" : "")
                                    << (plan.restLate ? ", damaged rest late" : "")
                                    << (plan.stallAfterSetUp ? ", stalled after set-up" : "")
                                    << (plan.blockHitAfterSetUp ? ", block hit after a set-up" : "")
                                    << (plan.setUpsLostAfterBusy ? ", set-ups lost while busy" : "")
                                    << (plan.secondLate ? ", second after a reset late" : "")
                                    << (plan.junkBehindBusy ? ", junk behind the busy reply" : ""));
    SCOPED_TRACE(testing::Message() << "backlog at " << plan.backlogBytesPerSecond << " B/s, fault "
                                    << static_cast<int>(plan.backlogFault) << ", held behind one "
                                    << plan.fakeBeforeBacklogMs << " ms");
    const int frames = 40 + 1500 / periodMs;
    CPtyPair second;
    const auto moved = [&](CSerialSatelDevice& device, CLineLink& link) {
        Replug(board, second, link, device, replugHoldMs);
    };
    const uint32_t hold = held ? seed : 0;
    const LineRun run = replug
                            ? RunLine(periodMs, board, frames / 2, moved, frames / 2, hold)
                            : RunLine(periodMs, board, frames, nullptr, 0, hold);
    ExpectTraced(run);
    ExpectCalmTail(run, plan, periodMs, !lone && board.Resets() == 0);
    // A clean line at the device's own rate, nothing holding either side up (a loaded
    // machine may hold the board past the device's wait): whatever the board's way and
    // the phase of its clock, no reply is refused or cut; where it ends with a block and
    // no reply came past the device's wait (handed over late by a loaded machine: its
    // frames repeat, then catch up, counted), every sample reaches one frame but those
    // the filter drops (their frame repeats the last values).
    if (clean && plan.busyAt < 0 && !slow && !held && !replug && plan.rateFactor == 1.0 &&
        !run.heldUp && board.Silences() == 0) {
        EXPECT_EQ(run.damaged, 0);
        EXPECT_EQ(run.cut, 0);
        if (!lone && run.missed == 0) {
            EXPECT_EQ(run.skipped, run.filteredFrames) << "a clean line's frames skip";
            EXPECT_EQ(run.repeated, run.filteredFrames) << "a clean line's frames repeat";
        }
    }
    if (replug) {
        EXPECT_NE(FindText(run.texts, "answers again"), "");
        // A device that read no byte of the reply, or showed no sample yet, has nothing
        // to count.
        if (run.unseen == 0 && run.goneInGap) {
            EXPECT_GT(run.reportedLost, 0);
        }
        // Only a reply that gave no length leaves its count unsure (by the time bound: a
        // loaded machine that read it late widens it), or a lone '*' without one the
        // board went to after a reset (the rest of such a reply refused).
        if (!board.GoneWithoutLength() && !board.LoneWithoutLength()) {
            EXPECT_EQ(run.unsureLost, 0);
        }
    }
    EXPECT_TRUE(!held || run.holds > 0) << "the device was never held";
    // A slow line whose board answered every request, if slowly, is never lost (until the
    // board is hushed at the end).
    if (slow && board.Silences() == 0) {
        EXPECT_EQ(run.answeringLosses, 0) << "a slow line said lost though the board answered";
    }
    // Refused replies are those the line damaged; a dropped byte is always refused.
    if (board.Damaging() == 0) {
        EXPECT_EQ(run.damaged, 0) << "a reply refused where the line damaged none; busy "
                                  << board.BusyOver();
    }
    if (board.DroppedBytes() > 0) {
        EXPECT_GE(run.damaged, 1) << "a reply with a byte dropped taken";
    }
    // Requests a busy board left unanswered are missed; the reply that comes after is
    // late, its samples kept (unless the line was lost meanwhile and set up again).
    if (plan.busyAt > 0 && plan.busyMs > timeoutMs + 250) {
        EXPECT_GE(run.missed, 1) << "a busy board's silence unsaid";
        if (run.losses == 0) {
            EXPECT_GE(run.late, 1) << "a busy board's late reply unsaid";
        }
    }
    // A board that answered the offsets' request within the device's three asks of a
    // second each, and its set-up within the second each step waits, gave it its offsets.
    if (board.FirstAnswerQuietMs() < 2500 && board.SetupQuietMs() < 800) {
        EXPECT_TRUE(run.offsetsDone) << "offsets' answer after " << board.FirstAnswerQuietMs()
                                     << " ms, set-up's after up to " << board.SetupQuietMs();
    }
    // '*'-high samples and those a changed byte put out of range are the only ones.
    EXPECT_LE(run.filtered, run.starHigh) << "a value never sent reached the spike filter";
    // A line too slow for the rate is said once, with both figures, where its long
    // replies brought what it carries in half a second (the device tells it over less);
    // no other line is but one a held board thread made slow.
    const std::string said = FindText(run.texts, "the line carries about");
    const auto saidCount = std::count_if(run.texts.begin(), run.texts.end(), [](const std::string& t) {
        return t.find("the line carries") != std::string::npos;
    });
    if (slow && run.longReplyBytes >= plan.lineBytesPerSecond / 2) {
        int carried = -1;
        int rate = -1;
        const size_t at = said.find("the line carries about");
        if (at != std::string::npos)
            std::sscanf(said.c_str() + at, "the line carries about %d samples a second, fewer than the %d",
                        &carried, &rate);
        EXPECT_EQ(rate, 1000 / periodMs) << said;
        EXPECT_TRUE(carried > 0 && carried < rate) << "carried figure: " << said;
        EXPECT_EQ(saidCount, 1);
    } else {
        EXPECT_LE(saidCount, slow || board.WentSlow() ? 1 : 0) << said;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, SatelNoiseSuite, ::testing::ValuesIn(SimSeeds(8)), SimSeedName());

}  // namespace
