// The flock on a noisy line, a seeded simulation: a flock written from its description
// streams records, each unique, through a pseudo-terminal, and a seed draws the line's
// faults (bytes doubled, dropped or added, records cut short, noise before, inside and
// after records, records sent twice, a slow or dribbling line, birds that fall silent,
// records of a bird the flock does not have)
// and the trials, each begun with a reset. Every frame holds, for each bird, a record
// that bird sent and never an older one than before; every record the line left whole
// reaches the frames; the frames said to hold values not received are exactly those that
// do; the refusals said are those counted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "Bird/fobSimulator.h"
#include "Bird/fob_device.h"
#include "analog/analogReader.h"
#include "analog/fakeSinks.h"
#include "analog/steppedDevice.h"
#include "process/messageQueue.h"
#include "serial/lineLink.h"
#include "support/simSeeds.h"
#include "support/tempDir.h"

namespace {

enum class FaultKind {
    kDoubledByte,
    kDroppedByte,
    kCutRecord,  // the flock restarts its stream within a record
    kAddedByte,
    kNoiseBefore,
    kNoiseInside,
    kNoiseAfter,
    kRepeatedRecord,
    kSlowLine,
    kDribble,
    kSilentBird,
    kStrangerRecord,  // a whole record before the bird's, addressed to no bird of the flock
    kCount
};

constexpr double kSilentPeriods = 5.5;  // a bird is silent after this many frames unheard
constexpr float kRangeInches = 72.0f;
constexpr auto kTimeout = std::chrono::seconds(20);  // bounds a broken build only

struct Fault {
    FaultKind kind;
    int step, bird;
    int size;  // steps (slow line, silence), noise bytes, dribble piece
};

// What a seed draws: the birds, the trials (first step, steps), the faults and their places.
struct Plan {
    std::vector<uint32_t> addresses;
    std::vector<std::pair<int, int>> trials;
    int steps = 0;
    int slowPercent = 100;  // a slow line's bytes per step, in percent of one round of records
    std::vector<Fault> faults;
    // The adapter pulled mid-stream: at step, after keep of that step's bytes (in
    // thousandths), gone for goneSteps, then back unless that is past the end; its device
    // file gone meanwhile (or left to the dead line); the flock restarted meanwhile.
    struct Pull {
        int step, keep, goneSteps;
        bool isFileGone, isPowerCycled;
    };
    std::vector<Pull> pulls;

    static Plan Draw(uint32_t seed)
    {
        SimDraw pick(seed);
        Plan p;
        for (uint32_t address = 1; address <= fob_wire::kMaxBirds; ++address)
            p.addresses.push_back(address);
        std::shuffle(p.addresses.begin(), p.addresses.end(), pick.Engine());
        p.addresses.resize(static_cast<size_t>(pick(1, 4)));
        std::sort(p.addresses.begin(), p.addresses.end());
        int at = pick(2, 10);
        for (int t = pick(1, 3); t > 0; --t) {
            p.trials.push_back({at, pick(30, 100)});
            at += p.trials.back().second + pick(0, 8);
        }
        p.steps = at;
        p.slowPercent = pick(40, 95);
        unsigned kinds = 0;  // the mix of this seed
        while (kinds == 0)
            kinds = static_cast<unsigned>(pick(0, (1 << int(FaultKind::kCount)) - 1));
        const int percent = pick(2, 30);
        int lastOnBytes = -2;
        for (int step = 0; step < p.steps; ++step) {
            if (pick(0, 99) >= percent) continue;
            FaultKind kind = FaultKind::kCount;
            while (kind == FaultKind::kCount || ((kinds >> int(kind)) & 1) == 0)
                kind = static_cast<FaultKind>(pick(0, int(FaultKind::kCount) - 1));
            // A whole round of records between two changes of bytes: a record whose
            // bytes two changes left at its length (one dropped, one added) cannot be
            // told from one sent, as the flock's records carry no check.
            if (kind <= FaultKind::kNoiseAfter) {
                if (step - lastOnBytes < 2) continue;
                lastOnBytes = step;
            }
            // Noise shorter than a record: a longer burst may itself be one, between two
            // others, and nothing in a record tells it from one sent.
            const int size = kind == FaultKind::kSlowLine || kind == FaultKind::kSilentBird
                                 ? pick(3, 40)
                                 : pick(1, 12);
            p.faults.push_back({kind, step, pick(0, int(p.addresses.size()) - 1), size});
        }
        // Drawn apart, so that the draws above stay what they were for each seed.
        SimDraw pulled(seed ^ 0x9011EDu);
        // Now and then pulled again once back.
        for (int first = 1; first < p.steps - 1 && pulled(0, 2) == 0;) {
            Pull pull{pulled(first, p.steps - 2), pulled(0, 1000), 0, false, false};
            pull.goneSteps = pulled(0, 3) == 0 ? p.steps : pulled(1, 20);
            pull.isFileGone = pulled(0, 1) == 0;
            pull.isPowerCycled = pulled(0, 1) == 0;
            p.pulls.push_back(pull);
            first = pull.step + pull.goneSteps + 1;
        }
        return p;
    }
    const Pull* PulledAt(int step) const
    {
        for (const Pull& pull : pulls)
            if (pull.step == step) return &pull;
        return nullptr;
    }
    const Pull* BackAt(int step) const
    {
        for (const Pull& pull : pulls)
            if (pull.step + pull.goneSteps == step) return &pull;
        return nullptr;
    }
    bool IsGone(int step) const
    {
        return std::any_of(pulls.begin(), pulls.end(), [step](const Pull& pull) {
            return step > pull.step && step < pull.step + pull.goneSteps;
        });
    }
    bool Within(FaultKind kind, int step, int bird) const
    {
        for (const Fault& f : faults)
            if (f.kind == kind && step >= f.step && step < f.step + f.size &&
                (bird < 0 || f.bird == bird))
                return true;
        return false;
    }
    std::string Describe() const
    {
        std::string text = "birds";
        for (uint32_t a : addresses) text += " " + std::to_string(a);
        text += ", " + std::to_string(steps) + " steps, trials";
        for (const auto& t : trials)
            text += " " + std::to_string(t.first) + "+" + std::to_string(t.second);
        for (const Pull& pull : pulls)
            text += ", pulled at step " + std::to_string(pull.step) + " after " +
                    std::to_string(pull.keep) + "/1000 for " + std::to_string(pull.goneSteps) +
                    (pull.isFileGone ? ", file gone" : "") +
                    (pull.isPowerCycled ? ", power cycled" : "");
        for (const Fault& f : faults)
            text += "; kind " + std::to_string(int(f.kind)) + " step " + std::to_string(f.step) +
                    " bird " + std::to_string(f.bird) + " size " + std::to_string(f.size);
        return text;
    }
};

// The words of record number n (position, then quaternion): each record's own.
std::vector<int16_t> Words(int n)
{
    const auto w = static_cast<int16_t>(4 * n);
    return {w,
            static_cast<int16_t>(-w),
            static_cast<int16_t>(4 * (n % 997)),
            16384,
            w,
            8192,
            static_cast<int16_t>(-4 * (n % 1009))};
}

// One record the flock sent: whose, its number (every record's own, it is its x word),
// where it lies in the line's bytes, and whether the line left it whole.
struct Sent {
    int bird = 0;
    int number = 0;
    size_t start = 0, end = 0;
    bool isSpoiled = false;
    bool isRepeat = false;  // sent once more right after itself
    int cameAt = -1;        // the step by which it had come whole
    int closedAt = -1;      // the step by which the record after it had come whole
};

// The flock's line as the plan garbles it: what was sent, and what was delivered by when.
class CNoisyLine {
public:
    CNoisyLine(const Plan& plan, CFobSimulator& flock, uint32_t seed)
        : m_plan(plan), m_flock(flock), m_rng(seed * 7919u + 1u)
    {
    }
    // The step's round of records, one per bird that is not silent, with the faults.
    void Compose(int step)
    {
        for (int b = 0; b < static_cast<int>(m_plan.addresses.size()); ++b) {
            if (m_plan.Within(FaultKind::kSilentBird, step, b) ||
                !m_flock.SendsRecord(m_plan.addresses[static_cast<size_t>(b)]))
                continue;
            const int number = ++m_count;
            std::vector<uint8_t> record =
                m_flock.Record(m_plan.addresses[static_cast<size_t>(b)], Words(number));
            Sent sent{b, number};
            bool isRepeated = false;
            for (const Fault& f : m_plan.faults) {
                if (f.step != step || f.bird != b) continue;
                // From its first byte on, or after it (what comes before it is noise before).
                const auto at = [&](long first) {
                    return record.begin() + std::uniform_int_distribution<long>(
                                                first, static_cast<long>(record.size()) - 1)(m_rng);
                };
                const auto inside = [&] { return at(1); };
                switch (f.kind) {
                    case FaultKind::kDoubledByte: {
                        const auto doubled = at(0);
                        record.insert(doubled, *doubled);
                        break;
                    }
                    case FaultKind::kDroppedByte:
                        record.erase(at(0));
                        break;
                    case FaultKind::kCutRecord:
                        record.erase(inside(), record.end());
                        break;
                    case FaultKind::kAddedByte:
                        record.insert(inside(), Noise(1).front());
                        break;
                    case FaultKind::kNoiseInside: {
                        const std::vector<uint8_t> noise = Noise(f.size);
                        record.insert(inside(), noise.begin(), noise.end());
                        break;
                    }
                    case FaultKind::kNoiseBefore:
                        Append(Noise(f.size));
                        break;
                    case FaultKind::kRepeatedRecord:
                        isRepeated = true;
                        break;
                    case FaultKind::kStrangerRecord: {
                        std::vector<uint8_t> stranger =
                            m_flock.Record(m_plan.addresses[static_cast<size_t>(b)], Words(++m_count));
                        stranger.back() = StrangerAddress();
                        Append(stranger);
                        ++m_strangers;
                        break;
                    }
                    default:
                        continue;
                }
                sent.isSpoiled = sent.isSpoiled || (f.kind != FaultKind::kNoiseBefore &&
                                                    f.kind != FaultKind::kRepeatedRecord &&
                                                    f.kind != FaultKind::kStrangerRecord);
                m_changes += f.kind != FaultKind::kRepeatedRecord ? 1 : 0;
            }
            sent.start = m_bytes.size();
            Append(record);
            sent.end = m_bytes.size();
            m_sent.push_back(sent);
            if (isRepeated) {
                sent.isRepeat = true;
                sent.start = m_bytes.size();
                Append(record);
                sent.end = m_bytes.size();
                m_sent.push_back(sent);
            }
            for (const Fault& f : m_plan.faults) {
                if (f.step != step || f.bird != b || f.kind != FaultKind::kNoiseAfter) continue;
                Append(Noise(f.size));
                ++m_changes;
            }
        }
    }
    // Delivers what the line carries in this step, letting the device read as it comes
    // (pump) and waiting until it has read all of it. pullKeep: the adapter goes once that
    // many thousandths of it went.
    ::testing::AssertionResult Deliver(int step, const std::function<void()>& pump,
                                       const std::function<uint64_t()>& bytesRead, int pullKeep = -1)
    {
        size_t budget = m_bytes.size() - m_delivered;
        if (m_plan.Within(FaultKind::kSlowLine, step, -1))
            budget = std::min(budget, 15 * m_plan.addresses.size() * m_plan.slowPercent / 100);
        if (pullKeep >= 0) {
            budget = budget * static_cast<size_t>(pullKeep) / 1000;
            Pull(m_delivered + budget);
        }
        size_t piece = budget;
        for (const Fault& f : m_plan.faults)
            if (f.kind == FaultKind::kDribble && f.step == step)
                piece = static_cast<size_t>(f.size);
        for (size_t done = 0; done < budget;) {
            const size_t n = std::min(piece, budget - done);
            if (!m_flock.Send(
                    std::vector<uint8_t>(m_bytes.begin() + static_cast<long>(m_delivered),
                                         m_bytes.begin() + static_cast<long>(m_delivered + n))))
                return ::testing::AssertionFailure() << "the line refused bytes";
            m_delivered += n;
            done += n;
            const auto deadline = std::chrono::steady_clock::now() + kTimeout;
            while (bytesRead() < m_delivered) {
                if (std::chrono::steady_clock::now() > deadline)
                    return ::testing::AssertionFailure()
                           << "read " << bytesRead() << " of " << m_delivered << " bytes";
                pump();
            }
        }
        for (size_t i = 0; i < m_sent.size(); ++i) {
            if (m_sent[i].cameAt < 0 && m_delivered >= m_sent[i].end) m_sent[i].cameAt = step;
            if (m_sent[i].closedAt < 0 && i + 1 < m_sent.size() && m_delivered > m_sent[i + 1].end)
                m_sent[i].closedAt = step;
        }
        return ::testing::AssertionSuccess();
    }
    // Whether the i-th record reaches the device whole: unchanged and ended by a first
    // byte, between the stream's start or another such record and another such record
    // (the order that tells a record from noise that looks like one).
    bool IsWhole(size_t i) const
    {
        const auto isRecord = [this](size_t a) {
            return a < m_sent.size() && !m_sent[a].isSpoiled && m_sent[a].end < m_bytes.size() &&
                   IsFirst(m_sent[a].end) && !IsLineStart(m_sent[a].end);
        };
        const auto isNext = [&](size_t a) {
            return isRecord(a) && isRecord(a + 1) && m_sent[a].end == m_sent[a + 1].start;
        };
        return isNext(i) && (IsLineStart(m_sent[i].start) || (i > 0 && isNext(i - 1)));
    }
    int Changes() const { return m_changes; }
    // The adapter goes at byte end: what was not sent by then never is, the record it cuts
    // is spoiled; the next bytes begin a new line.
    void Pull(size_t end)
    {
        m_bytes.resize(end);
        while (!m_sent.empty() && m_sent.back().start >= end) m_sent.pop_back();
        if (!m_sent.empty() && m_sent.back().end > end) {
            m_sent.back().end = end;
            m_sent.back().isSpoiled = true;
        }
        m_lineStarts.push_back(end);
        ++m_changes;
    }
    // The spans the device has whole: from a first byte to the next one delivered, or to
    // the adapter's going, which ends the span it cuts.
    uint64_t ClosedSpans() const
    {
        uint64_t spans = 0;
        for (size_t i = 0; i < m_lineStarts.size(); ++i) {
            const bool isPulled = i + 1 < m_lineStarts.size();
            const size_t end = std::min(m_delivered, isPulled ? m_lineStarts[i + 1] : m_bytes.size());
            const auto firsts = std::count_if(
                m_bytes.begin() + static_cast<long>(std::min(m_lineStarts[i], end)),
                m_bytes.begin() + static_cast<long>(end),
                [](uint8_t byte) { return (byte & fob_wire::kPhasingBit) != 0; });
            spans += static_cast<uint64_t>(isPulled ? firsts : std::max<long>(firsts - 1, 0));
        }
        return spans;
    }
    int Strangers() const { return m_strangers; }
    const std::vector<Sent>& Records() const { return m_sent; }

private:
    bool IsFirst(size_t at) const { return (m_bytes[at] & fob_wire::kPhasingBit) != 0; }
    bool IsLineStart(size_t at) const
    {
        return std::count(m_lineStarts.begin(), m_lineStarts.end(), at) > 0;
    }
    // An address no bird of the flock has: one a flock may hold, or past any flock's.
    uint8_t StrangerAddress()
    {
        uint8_t address = static_cast<uint8_t>(1 + m_rng() % 0x7F);
        while (std::count(m_plan.addresses.begin(), m_plan.addresses.end(), address) > 0)
            address = static_cast<uint8_t>(1 + m_rng() % 0x7F);
        return address;
    }
    void Append(const std::vector<uint8_t>& bytes)
    {
        m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
    }
    // Line noise: data bytes, first bytes, bird addresses and zeros.
    std::vector<uint8_t> Noise(int size)
    {
        std::vector<uint8_t> noise;
        for (int i = 0; i < size; ++i) {
            const unsigned draw = m_rng() % 8;
            noise.push_back(draw == 0   ? static_cast<uint8_t>(0x80 | m_rng())
                            : draw == 1 ? static_cast<uint8_t>(1 + m_rng() % fob_wire::kMaxBirds)
                            : draw == 2 ? 0
                                        : static_cast<uint8_t>(m_rng() & 0x7F));
        }
        return noise;
    }

    const Plan& m_plan;
    CFobSimulator& m_flock;
    std::mt19937 m_rng;
    std::vector<uint8_t> m_bytes;  // every byte sent, faults included
    size_t m_delivered = 0;
    int m_count = 0;
    int m_changes = 0;  // changes of bytes made
    int m_strangers = 0;  // records sent for birds the flock does not have
    std::vector<Sent> m_sent;
    std::vector<size_t> m_lineStarts{0};  // where the stream began, and began again
};

// The record a bird's pose in the frame of a step is (its number), 0 for the pose before
// any record, -1 for a pose no record of that bird that had come by then carried.
int RecordOf(const double* pose, const std::vector<Sent>& sent, int bird, int step)
{
    if (std::all_of(pose, pose + 7, [](double v) { return v == 0.0; })) return 0;
    const float scale = kRangeInches * (1.0f / 32768.0f) * 0.0254f;
    const long number = std::lround(pose[0] / scale / 4.0);
    const auto it =
        std::find_if(sent.begin(), sent.end(), [&](const Sent& s) { return s.number == number; });
    if (it == sent.end() || it->bird != bird || it->cameAt < 0 || it->cameAt > step) return -1;
    const std::vector<int16_t> words = Words(static_cast<int>(number));
    for (size_t k = 0; k < 7; ++k) {
        const double expected = static_cast<float>(words[k]) * (k < 3 ? scale : 1.0f / 32768.0f);
        if (std::fabs(pose[k] - expected) > 1e-6) return -1;
    }
    return static_cast<int>(number);
}

class FlockNoiseSuite : public ::testing::TestWithParam<uint32_t> {};

TEST_P(FlockNoiseSuite, EveryFrameHoldsRecordsTheBirdsSentAndEverySilenceIsSaid)
{
    const uint32_t seed = GetParam();
    const Plan plan = Plan::Draw(seed);
    SCOPED_TRACE("replay with QV_SIM_SEED=" + std::to_string(seed) + ": " + plan.Describe());
    const CTempFolder folder("qvflock");

    CFobSimulator flock;
    ASSERT_TRUE(flock.IsOk());
    for (uint32_t address : plan.addresses) flock.AddBird(address, true);
    flock.masterAddress = plan.addresses.front();
    flock.autoStream = false;  // the records go out as the plan says
    ASSERT_TRUE(flock.Start());
    CFobStartup startup;
    startup.flock.minReadTimeoutMs = 5000;  // a starved simulator may answer late
    startup.flock.resetMs = 0;
    startup.flock.configureMs = 2;  // the set-up resumed on a return spans steps
    startup.flock.resetPulse = false;  // a pseudo-terminal has no modem lines
    startup.flock.streamWaitMs = 1;
    startup.retryMs = startup.settleMs = 0;
    CLineLink link;
    ASSERT_TRUE(link.PointAt(flock.SlaveName()));
    CStepped<CFobDevice> device(wxString(link.Path()), 115200u, 1u, 1u, kRangeInches, false,
                                false, startup);
    ASSERT_TRUE(device.IsReady());
    ASSERT_TRUE(flock.WaitForGroupMode(kTimeout));
    device.SetReopenInterval(std::chrono::milliseconds(5));
    device.GetSourceWatch().SetSilentAfter(kSilentPeriods / device.GetRate());
    CFakeView view;
    device.AddView(&view);
    CNoisyLine line(plan, flock, seed);
    g_messages.Drain();
    CMessageLog messages;

    std::vector<wxString> files;
    std::vector<int64_t> said;  // each trial's frames said to hold values not received
    std::vector<std::pair<int, std::string>> lineTexts;  // the step each loss or return was said at
    const auto takeTexts = [&](int step) {
        const size_t before = messages.texts.size();
        messages.Take();
        for (size_t i = before; i < messages.texts.size(); ++i)
            if (messages.texts[i].find("does not answer") != std::string::npos ||
                messages.texts[i].find("answers again") != std::string::npos)
                lineTexts.push_back({step, messages.texts[i]});
    };
    int losses = 0;
    size_t trial = 0;
    for (int step = 0; step < plan.steps; ++step) {
        if (const Plan::Pull* back = plan.BackAt(step)) {
            // Plugged in again: the flock streams once the device told it to.
            ASSERT_TRUE(flock.PlugIn(back->isPowerCycled));
            ASSERT_TRUE(link.PointAt(flock.SlaveName()));
            const auto deadline = std::chrono::steady_clock::now() + kTimeout;
            while (!flock.WaitForStreamAsked(std::chrono::milliseconds(1))) {
                ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "never reopened";
                device.ReadSample();
            }
            takeTexts(step);
        }
        if (trial < plan.trials.size() && step == plan.trials[trial].first) {
            ASSERT_TRUE(device.SetupWriter(folder.Name(), "flock", static_cast<int>(trial) + 1,
                                           false, "", false, 100, 1));
            files.push_back(device.GetWriterFileName());
            device.Reset();
            ASSERT_TRUE(device.StartRecording());
        }
        const Plan::Pull* pulled = plan.PulledAt(step);
        if (!plan.IsGone(step)) {
            line.Compose(step);
            ASSERT_TRUE(line.Deliver(
                step, [&] { device.ReadSample(); },
                [&] { return device.GetFlock().get_stream_bytes(); },
                pulled != nullptr ? pulled->keep : -1));
        }
        if (pulled != nullptr) {
            losses += device.IsLineLost() ? 0 : 1;  // pulled again before it was back: no new loss
            flock.Unplug();
            ASSERT_TRUE(!pulled->isFileGone || link.Remove());
        }
        device.Step();
        takeTexts(step);
        ASSERT_EQ(view.frames.size(), static_cast<size_t>(step) + 1) << "no frame at step " << step;
        if (trial < plan.trials.size() &&
            step + 1 == plan.trials[trial].first + plan.trials[trial].second) {
            ASSERT_TRUE(device.FinishRecording());
            said.push_back(device.GetUnreceivedFrames());
            ASSERT_TRUE(device.StopRecording());
            ++trial;
        }
    }
    device.RemoveView(&view);
    const uint64_t routed = device.GetFlock().get_routed_records();
    const uint64_t refused = device.GetFlock().get_dropped_records();
    SCOPED_TRACE("records taken " + std::to_string(routed) + ", refused " +
                 std::to_string(refused) + " " + device.GetFlock().get_error());
    const bool isLost = device.IsLineLost();
    device.Close();
    messages.Take();
    EXPECT_EQ(messages.Count(": " + std::to_string(refused) + " streamed records refused, line lost " +
                             std::to_string(losses) + " times"),
              refused > 0 || losses > 0 ? 1 : 0);
    EXPECT_EQ(messages.Count("refused a streamed record"), refused > 0 ? 1 : 0);
    // The adapter's going is said once, its return once if a record came after it.
    EXPECT_EQ(device.GetLineLosses(), losses);
    EXPECT_EQ(messages.Count("does not answer"), losses);
    EXPECT_EQ(messages.Count("answers again"), losses - (isLost ? 1 : 0));
    EXPECT_EQ(flock.heldBack.load(), 0) << "a flock back from a power cycle not configured";

    // Every frame: each bird's pose a record it sent, never one older than before.
    const int birds = static_cast<int>(plan.addresses.size());
    const std::vector<Sent>& sent = line.Records();
    std::vector<std::vector<int>> shown(static_cast<size_t>(birds));  // per bird and step
    for (int step = 0; step < plan.steps; ++step) {
        const CFrame& frame = view.frames[static_cast<size_t>(step)];
        ASSERT_EQ(frame.values.size(), static_cast<size_t>(7 * birds));
        for (int b = 0; b < birds; ++b) {
            const int number = RecordOf(&frame.values[static_cast<size_t>(7 * b)], sent, b, step);
            auto& list = shown[static_cast<size_t>(b)];
            ASSERT_GE(number, 0) << "step " << step << " bird " << b << ": a pose nobody sent, x "
                                 << frame.values[static_cast<size_t>(7 * b)];
            ASSERT_GE(number, list.empty() ? 0 : list.back())
                << "step " << step << " bird " << b << " steps back";
            list.push_back(number);
        }
    }
    // The loss names the first frame that repeats the last values read; the return its own
    // frame, the first with new values, and the frames that held the old ones.
    const auto indexOf = [&](long long sample, int at) {
        if (static_cast<long long>(view.frames[static_cast<size_t>(at)].sample) + 1 == sample)
            return at + 1;
        for (int i = at; i >= 0; --i)
            if (view.frames[static_cast<size_t>(i)].sample == sample) return i;
        return -1;
    };
    const auto frameAfter = [](const std::string& text, const std::string& before) {
        const size_t at = text.find(before);
        return at == std::string::npos ? -1LL : std::atoll(text.c_str() + at + before.size());
    };
    const auto same = [&](int from, int to) {  // frames from..to-1 repeat the one before
        for (int i = from; i < std::min<int>(to, plan.steps); ++i)
            if (view.frames[static_cast<size_t>(i)].values !=
                view.frames[static_cast<size_t>(std::max(from - 1, 0))].values)
                return false;
        return true;
    };
    int frozenAt = -1;
    for (const auto& [at, text] : lineTexts) {
        const bool isLoss = text.find("does not answer") != std::string::npos;
        const int index = indexOf(frameAfter(text, isLoss ? "from frame " : "again at frame "), at);
        ASSERT_GE(index, 0) << text;
        if (isLoss) {
            frozenAt = index;
            continue;
        }
        const int frozen = std::exchange(frozenAt, -1);
        EXPECT_TRUE(frozen >= 0 && same(frozen, index)) << text;
        EXPECT_NE(view.frames[static_cast<size_t>(index)].values,
                  view.frames[static_cast<size_t>(index - 1)].values) << text;
        const long long from = frameAfter(text, "; frames ");
        if (from < 0) continue;
        const int fromIndex =
            index - static_cast<int>(view.frames[static_cast<size_t>(index)].sample - from);
        // Frames counted anew meanwhile (a trial's start): from its first frame on.
        EXPECT_EQ(fromIndex, std::max(frozen, indexOf(0, index))) << text;
    }
    EXPECT_TRUE(frozenAt < 0 || same(frozenAt, plan.steps)) << "frames while the line was lost";
    // Every record the line left whole is in the frame after it came, or a newer one is;
    // the counts said: no more records taken than sent, a refusal for each change.
    size_t whole = 0;
    uint64_t spoiled = 0;
    for (size_t i = 0; i < sent.size(); ++i) {
        const Sent& s = sent[i];
        spoiled += s.isSpoiled && s.closedAt >= 0 ? 1 : 0;
        if (!line.IsWhole(i) || s.closedAt < 0) continue;
        ++whole;
        EXPECT_GE(shown[static_cast<size_t>(s.bird)][static_cast<size_t>(s.closedAt)], s.number)
            << "record " << s.number << " of bird " << s.bird << " lost at step " << s.closedAt;
    }

    EXPECT_GE(routed, whole);
    EXPECT_LE(routed, sent.size());
    EXPECT_GE(refused, spoiled + static_cast<uint64_t>(line.Strangers()));
    // Every span is taken or refused, none passed over unsaid: the last one closed may
    // still wait for the next, and the last one open may already be refused as too long.
    EXPECT_GE(routed + refused + 1, line.ClosedSpans());
    EXPECT_LE(routed + refused, line.ClosedSpans() + 1);
    EXPECT_TRUE(refused == 0 || line.Changes() > 0);

    // Each trial: one frame per step from its reset on, the frames as dispatched, and the
    // frames said to hold values not received those whose bird showed nothing new for long.
    const int64_t silentFrames = static_cast<int64_t>(std::floor(kSilentPeriods)) + 1;
    for (size_t t = 0; t < files.size(); ++t) {
        const int first = plan.trials[t].first;
        CAnalogReader reader;
        ASSERT_TRUE(reader.Open(files[t]));
        ASSERT_EQ(reader.GetFrameCount(), plan.trials[t].second) << "trial " << t;
        std::vector<std::vector<std::pair<int64_t, bool>>> marks(static_cast<size_t>(birds));
        const std::vector<wxString> labels = reader.GetMarkerLabels();
        for (size_t m = 0; m < labels.size(); ++m)
            for (int b = 0; b < birds; ++b)
                if (labels[m].StartsWith(device.GetSourceWatch().SourceName(b) + " "))
                    marks[static_cast<size_t>(b)].push_back(
                        {reader.GetMarkerFrames()[m], !labels[m].EndsWith(" back")});
        std::vector<double> row(static_cast<size_t>(7 * birds));
        int64_t unreceived = 0;
        for (int64_t f = 0; f < reader.GetFrameCount(); ++f) {
            const int step = first + static_cast<int>(f);
            ASSERT_TRUE(reader.GetFrame(row.data(), static_cast<int64_t>(row.size()), f));
            EXPECT_EQ(row, view.frames[static_cast<size_t>(step)].values)
                << "trial " << t << " frame " << f;
            bool isAnyMarked = false;
            for (int b = 0; b < birds; ++b) {
                bool isMarked = false;
                for (const auto& mark : marks[static_cast<size_t>(b)])
                    if (mark.first <= f) isMarked = mark.second;
                const auto& list = shown[static_cast<size_t>(b)];
                int since = step;
                while (since > 0 &&
                       list[static_cast<size_t>(since - 1)] == list[static_cast<size_t>(step)])
                    --since;
                // A record sent twice is heard again, between its coming and the next
                // record's, though the frames show nothing new.
                const bool isEchoed = std::any_of(sent.begin(), sent.end(), [&](const Sent& s) {
                    return s.isRepeat && s.bird == b && s.cameAt >= 0 && s.cameAt <= step &&
                           (s.closedAt < 0 || s.closedAt > step - silentFrames) &&
                           s.number == list[static_cast<size_t>(step)];
                });
                const bool isStale =
                    list[static_cast<size_t>(step)] == 0 || step - since >= silentFrames;
                EXPECT_TRUE(isMarked == isStale || (isEchoed && !isMarked))
                    << "trial " << t << " frame " << f << " bird " << b
                    << (isMarked ? " said" : " not said") << " silent; the same record for "
                    << step - since << " frames";
                isAnyMarked = isAnyMarked || isMarked;
            }
            unreceived += isAnyMarked ? 1 : 0;
        }
        EXPECT_EQ(said[t], unreceived) << "trial " << t;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, FlockNoiseSuite, ::testing::ValuesIn(SimSeeds(8)), SimSeedName());

}  // namespace
