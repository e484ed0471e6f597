// Wii devices on faulty links, a seeded simulation: balance boards and remotes with a
// Motion Plus, written from their description, send reports that each carry values of
// their own and log them; a seed draws the devices, the trials and the faults (reports
// lost, doubled, out of order, cut, malformed, bursts (their tail lost past the host's
// room), a held thread, extensions
// pulled or seated again, calibration answers late, partial or garbled, another
// reader's answers, devices that go and are paired again or stay away from a search). In
// every recorded frame each slot's block holds values its device sent, no older than the
// frame before, or the frame is said to hold values not received; a board without a
// usable calibration never gives loads; the frames said are those the file marks; a lost
// device's record shows nothing; the reports refused are those sent malformed, as said.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "analog/analogReader.h"
#include "analog/markedIntervals.h"
#include "analog/steppedDevice.h"
#include "process/messageQueue.h"
#include "support/simSeeds.h"
#include "support/tempDir.h"
#include "wii/wiiDevice.h"
#include "wii/wiiTestSupport.h"

namespace {

using markedtest::Interval;
using markedtest::MarkedIntervals;

enum class FaultKind {
    kLost,
    kDoubled,
    kReordered,
    kCut,        // a report short of its layout's length, or over it
    kMalformed,  // size reports of noise: ids none sends, fields cut short, too long
    kGarbledStatus,
    kBurst,
    kHeld,       // the device's thread neither polls nor makes frames
    kExtension,  // a remote's Motion Plus pulled and seated again, a board re-seated
    kRepair,     // gone, then found again by a search
    kAway,       // gone, away from the search that follows, found by the next
    kCount
};

using Calibration = CWiiSimulator::CalibrationFault;

struct Fault {
    FaultKind kind;
    int step, device, size;
};

// What a seed draws: the devices (true: a board), their calibration faults at each
// connection, the trials (first step, frames) and the faults.
struct Plan {
    std::vector<bool> boards;
    std::vector<Calibration> calibration;
    std::vector<std::pair<int, int>> trials;
    int steps = 0;
    std::vector<Fault> faults;
    int latecomer =
        -1;  // a device of no block, found by the first search after the start: 1 a board
    std::vector<bool> foreign;  // per device (the latecomer last): another reader shares it

    static Plan Draw(uint32_t seed)
    {
        SimDraw pick(seed);
        Plan p;
        // The first device's kind and calibration follow the seed, so that a few seeds
        // meet a board with each calibration fault.
        for (int d = pick(1, 3); d > 0; --d) {
            const bool first = p.boards.empty();
            p.boards.push_back(first ? (seed / 5) % 2 == 0 : pick(0, 1) == 0);
            p.calibration.push_back(first            ? static_cast<Calibration>((seed + 1) % 5)
                                    : pick(0, 5) < 4 ? Calibration::None
                                                     : static_cast<Calibration>(pick(1, 4)));
        }
        if (pick(0, 3) == 0) p.latecomer = pick(0, 1);
        int at = pick(2, 8);
        for (int t = pick(1, 2); t > 0; --t) {
            p.trials.push_back({at, pick(20, 60)});
            at += p.trials.back().second + pick(0, 6);
        }
        p.steps = at;
        unsigned kinds = 0;
        while (kinds == 0)
            kinds = static_cast<unsigned>(pick(0, (1 << int(FaultKind::kCount)) - 1));
        const int percent = pick(2, 25);
        for (int step = 0; step < p.steps; ++step) {
            if (pick(0, 99) >= percent) continue;
            FaultKind kind = FaultKind::kCount;
            while (kind == FaultKind::kCount || ((kinds >> int(kind)) & 1) == 0)
                kind = static_cast<FaultKind>(pick(0, int(FaultKind::kCount) - 1));
            const int size = kind == FaultKind::kBurst ? pick(5, 100) : pick(1, 8);
            p.faults.push_back({kind, step, pick(0, int(p.boards.size()) - 1), size});
        }
        // Some seeds lose the first device inside the first trial.
        if (seed % 3 == 0 || seed % 4 == 0)
            p.faults.push_back({seed % 2 == 0 ? FaultKind::kRepair : FaultKind::kAway,
                                p.trials[0].first + pick(0, 10), 0, pick(1, 8)});
        // And a few send the first device noise before the first trial.
        if (seed % 4 == 3) p.faults.push_back({FaultKind::kMalformed, 1, 0, pick(2, 8)});
        for (size_t d = 0; d <= p.boards.size(); ++d)
            p.foreign.push_back(d == 0 ? seed % 4 < 2 : pick(0, 3) == 0);
        return p;
    }
    const Fault* Find(FaultKind kind, int step, int device) const
    {
        for (const Fault& f : faults)
            if (f.kind == kind && f.step == step && f.device == device) return &f;
        return nullptr;
    }
    bool Has(FaultKind kind, int step, int device) const { return Find(kind, step, device); }
    bool IsHeld(int step) const
    {
        for (const Fault& f : faults)
            if (f.kind == FaultKind::kHeld && step >= f.step && step < f.step + f.size) return true;
        return false;
    }
    std::string Describe() const
    {
        std::string text = "devices";
        for (size_t d = 0; d < boards.size(); ++d)
            text += std::string(boards[d] ? " board" : " remote") + "/cal" +
                    std::to_string(int(calibration[d])) + (foreign[d] ? "/foreign" : "");
        if (latecomer >= 0) text += ", latecomer " + std::to_string(latecomer);
        text += ", " + std::to_string(steps) + " steps, trials";
        for (const auto& t : trials)
            text += " " + std::to_string(t.first) + "+" + std::to_string(t.second);
        for (const Fault& f : faults)
            text += "; kind " + std::to_string(int(f.kind)) + " step " + std::to_string(f.step) +
                    " device " + std::to_string(f.device) + " size " + std::to_string(f.size);
        return text;
    }
};

// What a device shows for one report it sent: a board's seven rows, or a remote's
// yaw rate as decoded (0 without rates: row 0 is their sum over the reports taken),
// pitch and roll and its three rates (NaN for a part the report did not carry).
using Sent = std::vector<double>;

class CWiiSuitePeer {
public:
    CWiiSuitePeer(const Plan& plan, uint32_t seed) : m_plan(plan), m_pick(seed * 7919u + 3u)
    {
        const int count = static_cast<int>(plan.boards.size());
        for (int d = 0; d <= count; ++d) {
            const bool isBoard = d < count ? plan.boards[d] : plan.latecomer == 1;
            if (d == count && plan.latecomer < 0) break;
            m_sims.push_back(std::make_unique<CWiiSimulator>(
                isBoard ? CWiiSimulator::Kind::Board : CWiiSimulator::Kind::Remote,
                isBoard ? CWiiSimulator::Extension::None : CWiiSimulator::Extension::MotionPlus));
            if (d < count) m_sims.back()->SetCalibrationFault(plan.calibration[d], 40);
            m_sims.back()->SetForeignReads(plan.foreign[size_t(d)]);
            m_sims.back()->SetLossy(true);  // a burst past the host's room loses its tail
            m_sims.back()->SetAway(d == count);
            m_source->Add(m_sims.back().get());
        }
        m_sent.resize(m_sims.size());
        m_number.assign(m_sims.size(), 0);
        m_refusable.assign(m_sims.size(), {});
        m_connection.assign(m_sims.size(), -1);
        SetWiiHidSource(m_source);
        testing::internal::CaptureStderr();
        EXPECT_EQ(Search(), count);  // the latecomer is not there yet
        std::vector<int> slots;
        for (int d = 0; d < count; ++d) slots.push_back(d);
        m_device = count == 1 ? std::make_unique<CStepped<CWiiDevice>>(false, 0, false)
                              : std::make_unique<CStepped<CWiiDevice>>(false, slots);
    }
    ~CWiiSuitePeer()
    {
        Said();
        m_device.reset();
        CleanupWiiDevices();
        SetWiiHidSource(nullptr);
    }
    CStepped<CWiiDevice>& Device() { return *m_device; }
    // The number of the device's connection, -1 while it has none.
    int Connection(int d) const { return m_connection[static_cast<size_t>(d)]; }
    int Disconnections() const { return m_disconnections; }
    int Blocks() const { return static_cast<int>(m_plan.boards.size()); }
    bool IsBoard(int d) const
    {
        return d < Blocks() ? m_plan.boards[size_t(d)] : m_plan.latecomer == 1;
    }
    const std::vector<Sent>& SentBy(int d) const { return m_sent[static_cast<size_t>(d)]; }

    // The step's reports of every device present, with the plan's faults.
    void Send(int step)
    {
        for (int d = 0; d < static_cast<int>(m_sims.size()); ++d) {
            CWiiSimulator& sim = *m_sims[static_cast<size_t>(d)];
            const Fault* repair = m_plan.Find(FaultKind::kRepair, step, d);
            const Fault* away = m_plan.Find(FaultKind::kAway, step, d);
            if (repair || away) {
                Settle();  // what was sent before is read, then the link goes
                sim.Disconnect();
                if (Connection(d) >= 0) CheckForgotten(d);
                m_disconnections += d < Blocks() && Connection(d) >= 0 ? 1 : 0;
                m_connection[static_cast<size_t>(d)] = -1;
                if (repair) m_searches.push_back({step + repair->size, -1});
                if (away) {
                    sim.SetAway(true);
                    m_searches.push_back({step + away->size, -1});
                    m_searches.push_back({step + 3 * away->size + 10, d});
                }
                continue;
            }
            if (m_plan.Has(FaultKind::kExtension, step, d)) Reseat(d);
            if (m_plan.Has(FaultKind::kGarbledStatus, step, d)) {
                std::vector<uint8_t> status(7);
                for (uint8_t& byte : status) byte = Byte();
                status[0] = kWiiInStatus;
                sim.EmitRaw(status);
            }
            const Fault* burst = m_plan.Find(FaultKind::kBurst, step, d);
            int reports = burst ? burst->size : 1;
            if (m_plan.Has(FaultKind::kLost, step, d)) reports = 0;
            for (int r = 0; r < reports; ++r) SendOne(d, step);
        }
        for (const auto& search : m_searches) {
            if (search.first != step) continue;
            if (search.second >= 0) m_sims[static_cast<size_t>(search.second)]->SetAway(false);
            if (m_plan.latecomer >= 0) m_sims.back()->SetAway(false);
            Settle();
            Search();
        }
    }
    // Polls until the host and the remotes have taken what the other sent (a held thread
    // does not poll).
    void Settle()
    {
        WiiUntil(
            [&] {
                return std::all_of(m_sims.begin(), m_sims.end(),
                                   [](const auto& sim) { return sim->IsQuiet(); });
            },
            [&] { m_device->PollWiiEvents(); }, std::chrono::seconds(20));
        m_device->PollWiiEvents();
    }
    // What the host wrote to stderr, until the first call, which ends every connection.
    const std::string& Said()
    {
        if (!m_saidTaken) {
            CleanupWiiDevices();
            m_said = testing::internal::GetCapturedStderr();
        }
        m_saidTaken = true;
        return m_said;
    }
    // Per device, the first report refused of each connection is said, and when the
    // connection ends, how many it refused if more than one.
    void CheckRefusalsSaid()
    {
        for (size_t d = 0; d < m_sims.size(); ++d) {
            const std::string who = "<WII> sim:" + std::to_string(d) + ": ";
            std::string expected, said;
            char line[120];
            for (const Refusals& refusals : m_refusable[d]) {
                if (refusals.count == 0) continue;
                std::snprintf(line, sizeof line, "(id 0x%02X, %zu bytes)", refusals.first.first,
                              refusals.first.second);
                expected +=
                    who + "malformed report refused " + line + "; further ones are counted\n";
                if (refusals.count > 1)
                    expected += who + std::to_string(refusals.count) +
                                " malformed reports refused in all\n";
            }
            std::istringstream lines(Said());
            for (std::string text; std::getline(lines, text);)
                if (text.rfind(who, 0) == 0 && text.find("malformed report") != std::string::npos)
                    said += text + "\n";
            EXPECT_EQ(said, expected) << "device " << d;
        }
    }

private:
    int Search()
    {
        const int found = SearchWii();
        for (size_t d = 0; d < m_sims.size(); ++d) {
            // Each connection asks for its calibration once more, with the same fault.
            m_connection[d] = m_sims[d]->IsAway() ? -1 : ++m_connections;
            if (m_connection[d] < 0) continue;
            m_refusable[d].emplace_back();
            m_sims[d]->WaitForMode([](uint8_t mode) { return mode != 0; }, std::chrono::seconds(2));
        }
        return found;
    }
    uint8_t Byte() { return static_cast<uint8_t>(m_pick(0, 255)); }

    void Reseat(int d)
    {
        CWiiSimulator& sim = *m_sims[static_cast<size_t>(d)];
        if (IsBoard(d)) {
            sim.Announce();  // the board is read again: its calibration too
            return;
        }
        // Pulled (the remote reports without it) and seated again: it then waits asleep
        // for a request that wakes it.
        sim.Plug(CWiiSimulator::Extension::None);
        sim.Plug(CWiiSimulator::Extension::MotionPlus);
    }

    // Report n's values, set on the simulator; returns what the host is to show.
    Sent Compose(int d, int n)
    {
        CWiiSimulator& sim = *m_sims[static_cast<size_t>(d)];
        if (IsBoard(d)) {
            // Both segments of the calibration (17 kg its middle point).
            const double tr = 1.0 + 0.35 * (n % 200), tl = 3.0 + 0.5 * d, bl = 4.0 + 13.0 * (n % 4),
                         br = 5.0;
            const double total = tr + tl + bl + br;
            sim.SetLoads(tr, tl, br, bl);
            return {tr,
                    tl,
                    bl,
                    br,
                    total,
                    ((tr + br) - (tl + bl)) * 220.0 / total,
                    ((tl + tr) - (bl + br)) * 110.0 / total};
        }
        // Never level, never still: no value a device starts with.
        const uint8_t accel[3] = {static_cast<uint8_t>(0x81 + n % 9),
                                  static_cast<uint8_t>(0x81 + n % 5), 0x9A};
        sim.SetAccel(accel[0], accel[1], accel[2]);
        WiiGravity gravity;
        WiiOrientation orientation;
        WiiGravityOf(accel, sim.TakenAccelCalibration(), &gravity);
        WiiOrientationOf(gravity, &orientation);
        const double yaw = -250.2 + 0.4 * (n % 1250) + 30.0 * d, pitch = 100.0 - 0.3 * (n % 600),
                     roll = 7.0 + (n % 11);
        sim.SetRates(yaw, roll, pitch);
        return {0.0, orientation.pitch, orientation.roll, yaw, pitch, roll};
    }

    // The host's record of a device lost shows nothing it measured and says the loss once.
    void CheckForgotten(int d)
    {
        Settle();
        PollWiiDevices();
        for (int slot = 0; slot < 4; ++slot) {
            const CWiiRemote* record = GetWiimote(slot);
            if (record == nullptr || record->GetCandidate().path != "sim:" + std::to_string(d))
                continue;
            EXPECT_FALSE(record->IsConnected() || record->HasPendingEvent() || IsWiiBoard(slot));
            EXPECT_EQ(record->batteryLevel + record->board.topRight + record->orientation.roll +
                          record->motionPlus.yawRate,
                      0.0f)
                << "device " << d << " lost, slot " << slot;
        }
    }
    // Bytes no device sends as a report: an id of none, a status, read or acknowledgement
    // short of its fields, or more than any report. The halves of a mode not used here
    // are no fault: left alone, not refused.
    void EmitNoise(int d)
    {
        std::vector<uint8_t> noise(static_cast<size_t>(m_pick(1, 30)));
        for (uint8_t& byte : noise) byte = Byte();
        const bool fits = noise.size() <= kWiiMaxReport;
        const int kind = m_pick(0, 4);
        if (kind == 0) {
            const int answer = m_pick(0, 2);  // of 7, 6 and 5 bytes
            noise.resize(static_cast<size_t>(m_pick(1, 6 - answer)));
            noise[0] = static_cast<uint8_t>(kWiiInStatus + answer);
        } else if (fits) {
            const int ids[4][2] = {{}, {0, 0x1F}, {0x23, 0x2F}, {0x40, 0xFF}};
            noise[0] = static_cast<uint8_t>(kind == 4 ? m_pick(0x3E, 0x3F)
                                                      : m_pick(ids[kind][0], ids[kind][1]));
        }
        EmitRefusable(d, noise, kind != 4 || !fits);
    }
    void EmitRefusable(int d, const std::vector<uint8_t>& bytes, bool refusable)
    {
        std::vector<Refusals>& connections = m_refusable[static_cast<size_t>(d)];
        if (!m_sims[static_cast<size_t>(d)]->EmitRaw(bytes) || !refusable || connections.empty())
            return;
        Refusals& refusals = connections.back();
        if (refusals.count++ == 0) refusals.first = {bytes[0], bytes.size()};
    }
    void SendOne(int d, int step)
    {
        CWiiSimulator& sim = *m_sims[static_cast<size_t>(d)];
        std::vector<uint8_t> report;
        Sent sent;
        const auto next = [&] {
            sent = Compose(d, ++m_number[static_cast<size_t>(d)]);
            report = sim.Build();
            const bool isBoard = IsBoard(d);
            WiiDataLayout layout;
            const bool whole = !report.empty() && WiiDataLayoutOf(report[0], &layout);
            const auto blank = [&](size_t from, size_t to) {
                for (size_t k = from; k < to; ++k) sent[k] = std::nan("");
            };
            if (!whole || layout.extension < 0) blank(isBoard ? 0 : 3, sent.size());
            if (!isBoard && (!whole || layout.accel < 0)) blank(0, 3);
            if (!isBoard && !sim.IsMotionPlusActive()) blank(3, 6);  // a Motion Plus asleep
        };
        const auto emit = [&](const std::vector<uint8_t>& bytes, Sent value) {
            if (bytes.empty() || !sim.EmitRaw(bytes)) return;
            WiiDataLayout layout;
            WiiMotionPlusData rates;
            if (!IsBoard(d))
                value[0] = !std::isnan(value[3]) && WiiDataLayoutOf(bytes[0], &layout) &&
                                   WiiDecodeMotionPlus(bytes.data() + 1 + layout.extension, &rates)
                               ? rates.yawRate
                               : 0.0;
            m_sent[static_cast<size_t>(d)].push_back(value);
        };
        next();
        if (m_plan.Has(FaultKind::kCut, step, d) && report.size() > 1) {
            std::vector<uint8_t> cut(report.begin(),
                                     report.begin() + m_pick(1, int(report.size()) - 1));
            if (m_pick(0, 1) == 0) {
                cut = report;
                for (int extra = m_pick(1, 3); extra > 0; --extra) cut.push_back(Byte());
            }
            EmitRefusable(d, cut, true);
        }
        if (const Fault* noise = m_plan.Find(FaultKind::kMalformed, step, d))
            for (int n = 0; n < noise->size; ++n) EmitNoise(d);
        if (m_plan.Has(FaultKind::kReordered, step, d)) {
            const std::vector<uint8_t> first = report;
            const Sent firstSent = sent;
            next();
            emit(report, sent);
            emit(first, firstSent);
            return;
        }
        emit(report, sent);
        if (m_plan.Has(FaultKind::kDoubled, step, d)) emit(report, sent);
    }

    const Plan& m_plan;
    SimDraw m_pick;  // the peer's own draws: noise, cuts
    std::shared_ptr<CWiiSimulatedSource> m_source = std::make_shared<CWiiSimulatedSource>();
    std::vector<std::unique_ptr<CWiiSimulator>> m_sims;
    std::unique_ptr<CStepped<CWiiDevice>> m_device;
    std::vector<std::vector<Sent>> m_sent;  // per device, in the order sent
    std::vector<int> m_number;
    // Per device, per connection: the reports sent malformed, the first's id and size.
    struct Refusals {
        int64_t count = 0;
        std::pair<int, size_t> first;
    };
    std::vector<std::vector<Refusals>> m_refusable;
    std::vector<int> m_connection;  // by the last search and not gone since; -1 none
    int m_connections = 0;
    int m_disconnections = 0;                     // of devices with a block
    std::vector<std::pair<int, int>> m_searches;  // step, the device back for it (-1 none)
    std::string m_said;
    bool m_saidTaken = false;
};

// The first report at or after from whose values the block shows (NaN: not carried,
// matched by anything), -1 for none. A board's loads pass through its sensors' counts.
int Match(const std::vector<Sent>& sent, int from, const double* block, bool isBoard, size_t first,
          size_t last)
{
    const auto tolerance = [&](size_t k) {
        if (isBoard) return k < 4 ? 0.011 : k == 4 ? 0.045 : 1.0;
        return k < 3 ? 1e-3 : 0.08;
    };
    for (int i = std::max(0, from); i < static_cast<int>(sent.size()); ++i) {
        const std::vector<double>& v = sent[static_cast<size_t>(i)];
        bool same = true;
        for (size_t k = first; k < last && same; ++k)
            same = std::isnan(v[k]) ? false : std::fabs(v[k] - block[k]) <= tolerance(k);
        if (same) return i;
    }
    return -1;
}

// Whether a yaw estimate can be the one before plus the rates of the reports taken since:
// the one shown, if new, and any of those between (reports that arrive together are taken
// as one, so the suite cannot tell which).
bool Summed(const std::vector<Sent>& sent, std::pair<int, double> before, int shown, double yaw)
{
    double low = 0.0, high = 0.0;
    for (int k = before.first + 1;
         k < int(sent.size()) && (k <= shown || sent[size_t(k)] == sent[size_t(shown)]); ++k)
        if (k != shown) (sent[size_t(k)][0] < 0.0 ? low : high) += sent[size_t(k)][0];
    const double rest =
        (yaw - before.second) * 100.0 - (shown > before.first ? sent[size_t(shown)][0] : 0.0);
    return rest >= low - 0.01 && rest <= high + 0.01;
}

// Each loss of a device is said once.
int SaidLost()
{
    int said = 0;
    for (const QueuedMessage& message : g_messages.Drain())
        said += message.text.find(" disconnected\n") != std::string::npos ? 1 : 0;
    return said;
}

class WiiSuite : public ::testing::TestWithParam<uint32_t> {};

TEST_P(WiiSuite, EveryValueWasSentInOrderOrItsFrameIsSaid)
{
    const uint32_t seed = GetParam();
    const Plan plan = Plan::Draw(seed);
    SCOPED_TRACE("replay with QV_SIM_SEED=" + std::to_string(seed) + ": " + plan.Describe());
    const CTempFolder folder("qvwii");
    CWiiSuitePeer peer(plan, seed);
    CStepped<CWiiDevice>& device = peer.Device();
    const int count = peer.Blocks();
    // Per device, per part (a board's loads; a remote's angles, its rates): the last
    // report a frame showed.
    std::vector<std::array<int, 2>> last(static_cast<size_t>(count), {-1, -1});
    // Per device and connection ((number + 1) x 8 + device): the frames recorded while it
    // lasted, and those showing a whole report newer than the frame before's.
    std::map<int, std::array<int, 2>> connections;
    std::vector<std::vector<int>> connectionAt;
    // Per remote: the last report a frame showed whole, and its yaw estimate.
    std::vector<std::pair<int, double>> yaws(
        static_cast<size_t>(count), {-1, 0.0});  // the trial's frames: each device's connection
    size_t trial = 0;
    int saidLost = 0;
    wxString file;
    int recorded = 0;
    for (int step = 0; step < plan.steps; ++step) {
        const bool starts = trial < plan.trials.size() && step == plan.trials[trial].first;
        if (starts) {
            ASSERT_TRUE(
                device.SetupWriter(folder.Name(), "wii", int(trial) + 1, false, "", false, 100, 1));
            file = device.GetWriterFileName();
            device.Reset();
            ASSERT_TRUE(device.StartRecording());
            recorded = 0;
            connectionAt.clear();
        }
        peer.Send(step);
        if (!plan.IsHeld(step)) {
            peer.Settle();
            device.Step();
            const bool isRecording = trial < plan.trials.size() && step >= plan.trials[trial].first;
            recorded += isRecording ? 1 : 0;
            if (isRecording) connectionAt.emplace_back();
            for (int d = 0; d < count && isRecording; ++d) {
                connectionAt.back().push_back(peer.Connection(d));
                ++connections[(peer.Connection(d) + 1) * 8 + d][0];
            }
        }
        const bool ends = trial < plan.trials.size() &&
                          step + 1 == plan.trials[trial].first + plan.trials[trial].second;
        if (!ends) continue;
        ++trial;
        ASSERT_TRUE(device.FinishRecording());
        const int64_t said = device.GetUnreceivedFrames();
        ASSERT_TRUE(device.StopRecording());
        saidLost += SaidLost();

        CAnalogReader reader;
        ASSERT_TRUE(reader.Open(file));
        ASSERT_EQ(reader.GetFrameCount(), recorded);
        const int width = reader.GetChannelCount() * reader.GetDim();
        ASSERT_EQ(width, device.GetChannelCount());
        const CSourceWatch& watch = device.GetSourceWatch();
        const auto marked = MarkedIntervals(reader, watch, count);
        std::vector<double> row(static_cast<size_t>(width));
        int64_t markedFrames = 0;
        for (int64_t f = 0; f < reader.GetFrameCount(); ++f) {
            ASSERT_TRUE(reader.GetFrame(row.data(), width, f));
            bool isMarked = false;
            int first = 0;
            for (int d = 0; d < count; ++d) {
                const bool isBoard = plan.boards[static_cast<size_t>(d)];
                const double* block = row.data() + first;
                first += isBoard ? 7 : 6;
                const Interval* in = nullptr;
                for (const Interval& interval : marked[static_cast<size_t>(d)])
                    if (f >= interval.from && f < interval.to) in = &interval;
                isMarked = isMarked || in != nullptr;
                const std::string where = "trial " + std::to_string(trial) + " frame " +
                                          std::to_string(f) + " device " + std::to_string(d);
                const int connection = connectionAt[size_t(f)][size_t(d)];
                EXPECT_TRUE(connection >= 0 || in != nullptr) << where << " unconnected, unsaid";
                const std::vector<Sent>& sent = peer.SentBy(d);
                // A report newer than the frame before's: this connection's own.
                int& news = connections[(connection + 1) * 8 + d][1];
                auto& at = last[static_cast<size_t>(d)];
                if (in != nullptr && in->never) continue;  // any value, and no place in order
                if (isBoard) {
                    const int i = Match(sent, at[0], block, true, 0, 7);
                    EXPECT_TRUE(i >= 0) << where << " load " << block[0] << " never sent in order";
                    news += i > at[0] ? 1 : 0;
                    if (i >= 0) at[0] = i;
                    continue;
                }
                // Angles and rates of one report, or the frame is said.
                const int both = Match(sent, std::max(at[0], at[1]), block, false, 1, 6);
                if (both >= 0) {
                    EXPECT_TRUE(Summed(sent, yaws[size_t(d)], both, block[0]))
                        << where << " yaw " << block[0] << " is no sum of rates taken";
                    yaws[size_t(d)] = {both, block[0]};
                    news += both > std::max(at[0], at[1]) ? 1 : 0;
                    at = {both, both};
                    continue;
                }
                const int angles = Match(sent, at[0], block, false, 1, 3);
                const int rates = Match(sent, at[1], block, false, 3, 6);
                EXPECT_TRUE(angles >= 0 && rates >= 0 && in != nullptr)
                    << where << " angles " << angles << " rates " << rates << " rate " << block[3]
                    << (in ? " said" : " unsaid");
                if (angles >= 0) at[0] = angles;
                if (rates >= 0) at[1] = rates;
            }
            markedFrames += isMarked ? 1 : 0;
            if (HasFailure()) break;  // the first frame that fails tells the story
        }
        if (!HasFailure()) {
            EXPECT_EQ(said, markedFrames) << "trial " << trial;
        }
    }
    peer.Settle();
    EXPECT_EQ(saidLost + SaidLost(), peer.Disconnections());
    peer.CheckRefusalsSaid();
    bool unusable = false;  // a board whose calibration never arrives whole and rising
    for (int d = 0; d < count; ++d)
        unusable =
            unusable || (plan.boards[size_t(d)] && plan.calibration[size_t(d)] > Calibration::Late);
    EXPECT_EQ(peer.Said().find("balance board calibration unusable") != std::string::npos,
              unusable);
    // What a device with a usable calibration sends reaches the frames of each of its
    // connections that lasted (unless a status report of noise said its extension went).
    for (const auto& connection : connections) {
        const auto d = static_cast<size_t>(connection.first % 8);
        const Calibration c = plan.calibration[d];
        bool noise = connection.first < 8;  // none
        for (const Fault& f : plan.faults)
            noise = noise || (f.kind == FaultKind::kGarbledStatus && f.device == int(d));
        if (!noise && connection.second[0] >= 10 &&
            (!plan.boards[d] || c == Calibration::None || c == Calibration::Late)) {
            EXPECT_GT(connection.second[1], 0)
                << "device " << d << " connection " << connection.first / 8;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, WiiSuite, ::testing::ValuesIn(SimSeeds(8)), SimSeedName());

}  // namespace
