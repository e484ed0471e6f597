// Every recorded value is one a peer sent for its channel, or its frame is said to hold
// values not received: a seeded simulation over peers written from their description (a
// VRPN tracker and analog server, an OSC sender, a flock of birds, balance boards) whose
// sources start late, fall silent, come back or send fewer values, or whose whole server
// is silent or absent; a board may also have no usable calibration, or be unplugged.
#include "analog/sourceWatch.h"

#include <cmath>
#include <map>
#include <random>
#include <vector>

#include "Bird/fobSimulator.h"
#include "Bird/fob_device.h"
#include "analog/analogReader.h"
#include "analog/markedIntervals.h"
#include "analog/steppedDevice.h"
#include "network/oscSourceSupport.h"
#include "network/vrpnTestSupport.h"
#include "process/messageQueue.h"
#include "support/simSeeds.h"
#include "support/tempDir.h"
#include "wii/wiiDevice.h"
#include "wii/wiiLayer.h"
#include "wii/wiiPlatform.h"
#include "wii/wiiSimulator.h"

namespace {

using markedtest::Interval;
using markedtest::MarkedIntervals;

constexpr double kSilentPeriods = 5.5;  // silent after this many frames without a value

enum class Family { kVrpnTracker, kVrpnAnalog, kOsc, kFlock, kWiiBoard, kCount };
// A board's reports without a usable calibration carry no loads; a gone board is
// unplugged; an absent slot is listed for the device with no board there.
enum class FaultKind {
    kLateStart,
    kSilence,
    kGone,
    kServerSilent,
    kFewerValues,
    kUncalibrated,
    kAbsentSlot,
    kCount
};

struct Fault {
    FaultKind kind;
    int source, from, to;
    int count;  // kFewerValues: values still sent
};

// What a seed draws: the peer, its sources and their periods (in device frames), the
// frames before and of the recording, and the faults with their places.
struct Plan {
    Family family = Family::kVrpnTracker;
    int sources = 1, before = 0, frames = 0;
    bool noServer = false;  // nothing answers at the device's address
    std::vector<int> periods;
    std::vector<Fault> faults;

    bool IsAnalog() const { return family == Family::kVrpnAnalog || family == Family::kOsc; }
    static Plan Draw(uint32_t seed)
    {
        SimDraw pick(seed);
        Plan p;
        p.family = static_cast<Family>(pick(0, static_cast<int>(Family::kCount) - 1));
        p.sources = pick(1, 5);
        if (p.family == Family::kWiiBoard) p.sources = std::min(p.sources, 4);  // four slots
        p.before = pick(2, 15);
        p.frames = pick(40, 100);
        p.noServer = pick(0, 15) == 0 && p.family != Family::kFlock;
        for (int s = 0; s < p.sources; ++s) p.periods.push_back(pick(0, 2) == 0 ? pick(2, 4) : 1);
        // Motion capture finds its bodies one after the other, the last just before the
        // recording, each reporting slower than the device reads.
        if (p.family == Family::kVrpnTracker && pick(0, 1) == 0) {
            const int gap = pick(1, 3), last = pick(-3, -1);
            for (int& period : p.periods) period = pick(2, 4);
            for (int s = 1; s < p.sources; ++s)
                p.faults.push_back(
                    {FaultKind::kLateStart, s, last - (p.sources - 1 - s) * gap, 0, 0});
        }
        const auto kinds = static_cast<int>(
            p.family == Family::kWiiBoard ? FaultKind::kCount : FaultKind::kUncalibrated);
        for (int i = pick(0, 3); i > 0; --i) {
            Fault fault{static_cast<FaultKind>(pick(0, kinds - 1)), pick(0, p.sources - 1),
                        pick(-p.before, p.frames - 1), 0, 0};
            fault.to = fault.from + pick(1, 40);
            fault.count = pick(1, std::max(1, p.sources - 1));
            p.faults.push_back(fault);
        }
        return p;
    }
    bool Has(FaultKind kind, int s) const
    {
        for (const Fault& fault : faults)
            if (fault.kind == kind && fault.source == s) return true;
        return false;
    }
    // Whether the peer sends measured values of source s at frame f.
    bool Sends(int s, int f) const { return Emits(s, f) && !Has(FaultKind::kUncalibrated, s); }
    // Whether the peer sends source s at frame f. An analog peer's message holds its
    // channels from the first: its faults take the whole server or the last channels.
    bool Emits(int s, int f) const
    {
        if (noServer || (f + 1000) % periods[IsAnalog() ? 0 : static_cast<size_t>(s)] != 0)
            return false;
        for (const Fault& fault : faults) {
            const bool isSource = IsAnalog() || fault.source == s;
            const bool isInside = f >= fault.from && f < fault.to;
            if ((fault.kind == FaultKind::kLateStart && isSource && f < fault.from) ||
                (fault.kind == FaultKind::kSilence && isSource && isInside) ||
                (fault.kind == FaultKind::kGone && isSource && f >= fault.from) ||
                (fault.kind == FaultKind::kServerSilent && isInside) ||
                (fault.kind == FaultKind::kFewerValues && isInside && s >= fault.count))
                return false;
        }
        return true;
    }
    std::string Describe() const
    {
        std::string text = "family " + std::to_string(static_cast<int>(family)) + ", " +
                           std::to_string(sources) + " sources, " + std::to_string(before) + "+" +
                           std::to_string(frames) + " frames" + (noServer ? ", no server" : "");
        for (const Fault& f : faults)
            text += "; fault " + std::to_string(static_cast<int>(f.kind)) + " source " +
                    std::to_string(f.source) + " frames " + std::to_string(f.from) + ".." +
                    std::to_string(f.to) + " count " + std::to_string(f.count);
        return text;
    }
};

// Peer values tell their source and frame; none is a device's initial value.
double ValueOf(int s, int f, int k) { return (s + 1) * 100000.0 + (f + 1000) * 10.0 + k + 0.5; }

// Balance boards on simulated links, one per slot, found by the Wii layer, which is
// released with them.
struct CWiiRig {
    explicit CWiiRig(const Plan& plan)
    {
        for (int s = 0; s < plan.sources; ++s) {
            boards.push_back(std::make_unique<CWiiSimulator>(CWiiSimulator::Kind::Board));
            if (plan.Has(FaultKind::kUncalibrated, s))
                boards.back()->SetCalibrationFault(CWiiSimulator::CalibrationFault::Garbled);
            source->Add(boards.back().get());
        }
        SetWiiHidSource(source);
        testing::internal::CaptureStdout();
        EXPECT_EQ(InitWiiDevices(), plan.sources);
        testing::internal::GetCapturedStdout();
        for (auto& board : boards)
            EXPECT_TRUE(board->WaitForMode([](uint8_t mode) { return mode == kWiiModeExtension; }));
    }
    ~CWiiRig()
    {
        CleanupWiiDevices();
        SetWiiHidSource(nullptr);
    }
    std::shared_ptr<CWiiSimulatedSource> source = std::make_shared<CWiiSimulatedSource>();
    std::vector<std::unique_ptr<CWiiSimulator>> boards;
};

// The peer of a plan on the loopback or a pseudo-terminal: sends frame f's values and
// pumps the device until it has them.
class CSimPeer {
public:
    explicit CSimPeer(const Plan& plan) : m_plan(plan)
    {
        if (plan.family == Family::kFlock) {
            // Records go out when the plan says, not on the simulator's own schedule.
            for (int s = 0; s < plan.sources; ++s)
                m_flock.AddBird(static_cast<uint32_t>(s + 1), true);
            m_flock.autoStream = false;
            EXPECT_TRUE(m_flock.Start());
            CFobStartup startup;
            startup.flock.minReadTimeoutMs = 5000;  // a starved simulator may answer late
            startup.flock.resetMs = startup.flock.configureMs = 0;
            startup.flock.resetPulse = false;  // a pseudo-terminal has no modem lines
            startup.retryMs = startup.settleMs = 0;
            m_flockDevice = std::make_unique<CStepped<CFobDevice>>(
                wxString(m_flock.SlaveName()), 115200u, 1u, 1u, 72.0f, false, false, startup);
            Use(*m_flockDevice);
            m_pump = [this] { m_flockDevice->ReadSample(); };  // its reads follow its own clock
        } else if (plan.family == Family::kWiiBoard) {
            m_wii = std::make_unique<CWiiRig>(plan);
            std::vector<int> slots;
            for (int s = 0; s < plan.sources; ++s) slots.push_back(s);
            for (const Fault& fault : plan.faults)
                if (fault.kind == FaultKind::kAbsentSlot && slots.size() < 4) slots.push_back(3);
            m_wiiDevice = slots.size() == 1
                              ? std::make_unique<CStepped<CWiiDevice>>(false, 0, false)
                              : std::make_unique<CStepped<CWiiDevice>>(false, slots);
            Use(*m_wiiDevice);
            m_pump = [this] { m_wiiDevice->PollWiiEvents(); };  // its polls follow its clock
        } else if (plan.family == Family::kOsc) {
            SetOscClientSettings(osctest::LoopbackClient(m_osc.Port(), 0));
            m_oscDevice = std::make_unique<CStepped<COscDevice>>(false);
            osctest::Received request;
            EXPECT_TRUE(m_osc.Next(request));
            Use(*m_oscDevice);
        } else {
            if (plan.noServer) m_vrpn.GoAway(true);
            m_vrpnDevice = std::make_unique<CStepped<CVrpnDevice>>(
                false, wxString::Format("Raw@tcp://127.0.0.1:%d", m_vrpn.Port()),
                plan.family == Family::kVrpnTracker);
            Use(*m_vrpnDevice);
            EXPECT_TRUE(plan.noServer || m_vrpn.Open(*m_vrpnDevice, m_pump));
        }
    }
    CAnalogDevice& Device() { return *m_device; }
    void Step() { m_step(); }
    bool Send(int f)
    {
        if (m_wiiDevice) return SendLoads(f);
        std::vector<int> sending;
        std::vector<double> values;  // an analog peer's message
        for (int s = 0; s < m_plan.sources; ++s)
            if (m_plan.Sends(s, f)) sending.push_back(s);
        if (sending.empty()) return true;
        if (m_flockDevice) {
            if (!m_flockDevice->IsReady()) return false;
            std::vector<uint64_t> due;
            for (int s : sending) {
                std::vector<int16_t> words =
                    CFobSimulator::StreamWords(static_cast<uint32_t>(s + 1));
                words[0] = static_cast<int16_t>(4 * ((f + 1000) * 5 + s));
                std::vector<uint8_t> record = MakeRecord(words);
                record.push_back(static_cast<uint8_t>(s + 1));
                std::vector<double> pose;  // as the device decodes it (range 72 inches)
                for (size_t k = 0; k < 7; ++k)
                    pose.push_back(static_cast<float>(words[k]) *
                                   (k < 3 ? 72.0f * (1.0f / 32768.0f) * 0.0254f : 1.0f / 32768.0f));
                m_sent[s].push_back(pose);
                due.push_back(BirdRecords(s) + 1);
                if (!m_flock.Send(record)) return false;
            }
            // A record is taken once the record after it is whole: two for a bird the flock
            // does not have close the batch (dropped as the next batch comes).
            return m_flock.Send(Closing()) && vrpntest::PumpUntil(m_pump, [&] {
                       for (size_t i = 0; i < sending.size(); ++i)
                           if (BirdRecords(sending[i]) < due[i]) return false;
                       return true;
                   });
        }
        if (m_plan.family == Family::kVrpnTracker) {
            for (int s : sending) {
                const double a = 0.001 * (f + 1000) + 0.1 * s;
                const double pos[3] = {ValueOf(s, f, 0), ValueOf(s, f, 1), ValueOf(s, f, 2)};
                const double quat[4] = {0.0, 0.0, std::sin(a), std::cos(a)};
                if (!m_vrpn.SendPose(s, pos, quat)) return false;
                m_sent[s].push_back({pos[0], pos[1], pos[2], quat[3], quat[0], quat[1], quat[2]});
            }
            // Each report is stored, or cut when past a recording's sensors.
            const auto taken = [this] {
                return m_vrpnDevice->GetStoredReports() + m_vrpnDevice->GetCutReports();
            };
            const uint64_t due = taken() + sending.size();
            return vrpntest::PumpUntil(m_pump, [&] { return taken() >= due; });
        }
        for (int s : sending) {
            values.push_back(ValueOf(s, f, 0));
            m_sent[s].push_back({values.back()});
        }
        const uint64_t due = Heard() + 1;
        if (m_oscDevice) {
            OscMessage message("/data");
            for (double value : values) message.PushDouble(value);
            if (!m_osc.Send(m_oscDevice->GetBoundListeningPort(), message)) return false;
        } else {
            std::vector<uint8_t> payload(8 + 8 * values.size());
            payload.resize(
                vrpn::EncodeAnalog(payload.data(), values.data(), static_cast<int>(values.size())));
            if (!m_vrpn.SendRaw(2, payload)) return false;
        }
        return vrpntest::PumpUntil(m_pump, [&] { return Heard() >= due; });
    }
    // A flock's values pass through floats: the same within a micrometre. A board's
    // loads pass through its sensors' counts (100 a kilogram).
    bool WasSent(int s, const std::vector<double>& value) const
    {
        const auto near = [this](size_t k, double a, double b) {
            const double tolerance = !m_wiiDevice ? 1e-6 : k < 4 ? 0.011 : k == 4 ? 0.045 : 1.0;
            return std::fabs(a - b) <= tolerance;
        };
        for (const std::vector<double>& sent : m_sent.count(s) ? m_sent.at(s) : m_none) {
            size_t k = 0;
            while (k < sent.size() && k < value.size() && near(k, sent[k], value[k])) ++k;
            if (k == sent.size() && k == value.size()) return true;
        }
        return false;
    }

private:
    // Each board still plugged in sends its loads (an unplugged one is gone for good);
    // what the device is due to show is logged unless the board cannot measure.
    bool SendLoads(int f)
    {
        std::vector<int> emitting;
        for (int s = 0; s < m_plan.sources; ++s) {
            CWiiSimulator& board = *m_wii->boards[static_cast<size_t>(s)];
            for (const Fault& fault : m_plan.faults)
                if (fault.kind == FaultKind::kGone && fault.source == s && f >= fault.from)
                    board.Disconnect();
            if (m_plan.Emits(s, f)) emitting.push_back(s);
        }
        const uint64_t due = m_wiiDevice->GetDataReports() + emitting.size();
        for (int s : emitting) {
            const double tr = 2.0 + 0.05 * (f + 20), tl = 3.0 + s, bl = 4.0, br = 5.0 + 0.5 * s;
            const double total = tr + tl + bl + br;
            CWiiSimulator& board = *m_wii->boards[static_cast<size_t>(s)];
            board.SetLoads(tr, tl, br, bl);
            if (!board.Emit()) return false;
            if (m_plan.Sends(s, f))
                m_sent[s].push_back({tr, tl, bl, br, total, ((tr + br) - (tl + bl)) * 220.0 / total,
                                     ((tl + tr) - (bl + br)) * 110.0 / total});
        }
        return vrpntest::PumpUntil(m_pump, [&] { return m_wiiDevice->GetDataReports() >= due; });
    }
    static std::vector<uint8_t> Closing()
    {
        std::vector<uint8_t> record = MakeRecord(CFobSimulator::StreamWords(1));
        record.push_back(static_cast<uint8_t>(fob_wire::kMaxBirds));
        std::vector<uint8_t> two = record;
        two.insert(two.end(), record.begin(), record.end());
        return two;
    }
    template <typename Device>
    void Use(CStepped<Device>& device)
    {
        m_device = &device;
        m_pump = [&device] { device.Pump(); };
        m_step = [&device] { device.Step(); };
    }
    uint64_t BirdRecords(int s) const
    {
        return m_flockDevice->GetFlock().get_bird(static_cast<size_t>(s))->get_record_count();
    }
    // An analog message is in once its first channel was heard.
    uint64_t Heard() const
    {
        return m_oscDevice ? m_oscDevice->GetSourceWatch().HeardCount(0)
                           : m_vrpnDevice->GetStoredReports();
    }

    const Plan& m_plan;
    vrpntest::CRawTrackerServer m_vrpn;
    osctest::Peer m_osc;
    osctest::SettingsGuard m_settings;
    CFobSimulator m_flock;
    std::unique_ptr<CStepped<CFobDevice>> m_flockDevice;
    std::unique_ptr<CStepped<CVrpnDevice>> m_vrpnDevice;
    std::unique_ptr<CStepped<COscDevice>> m_oscDevice;
    std::unique_ptr<CWiiRig> m_wii;  // outlives its device
    std::unique_ptr<CStepped<CWiiDevice>> m_wiiDevice;
    CAnalogDevice* m_device = nullptr;  // one of the four
    std::function<void()> m_pump, m_step;
    std::map<int, std::vector<std::vector<double>>> m_sent;  // per source, every value sent
    const std::vector<std::vector<double>> m_none;
};

class UnreceivedValuesSuite : public ::testing::TestWithParam<uint32_t> {};

TEST_P(UnreceivedValuesSuite, EveryValueWasSentOrItsFrameIsSaid)
{
    const uint32_t seed = GetParam();
    const Plan plan = Plan::Draw(seed);
    SCOPED_TRACE("replay with QV_SIM_SEED=" + std::to_string(seed) + ": " + plan.Describe());
    const CTempFolder folder("qvsilent");
    CSimPeer peer(plan);
    CAnalogDevice& device = peer.Device();
    // A board is silent after the program's own pause; the others sooner, for the test.
    const bool isBoard = plan.family == Family::kWiiBoard;
    const double silentFrames =
        isBoard ? CSourceWatch::kDefaultSilentAfterSec * device.GetRate() : kSilentPeriods;
    if (!isBoard) device.GetSourceWatch().SetSilentAfter(kSilentPeriods / device.GetRate());
    wxString file;
    for (int f = -plan.before; f < plan.frames; ++f) {
        if (f == 0) {
            ASSERT_TRUE(device.SetupWriter(folder.Name(), "sim", 1, false, "", false, 100, 1));
            file = device.GetWriterFileName();
            device.Reset();
            ASSERT_TRUE(device.StartRecording());
        }
        ASSERT_TRUE(peer.Send(f)) << "frame " << f;
        peer.Step();
    }
    ASSERT_TRUE(device.FinishRecording());
    const int64_t said = device.GetUnreceivedFrames();
    EXPECT_EQ(device.GetUnreceivedNote().empty(), said == 0);
    ASSERT_TRUE(device.StopRecording());
    g_messages.Drain();

    CAnalogReader reader;
    ASSERT_TRUE(reader.Open(file));
    const int channels = reader.GetChannelCount(), dim = reader.GetDim();
    const int width = isBoard ? 7 : dim;  // values of one source
    const int sources = channels * dim / width;
    ASSERT_EQ(reader.GetFrameCount(), plan.frames);  // one per step from the reset on
    const auto marked = MarkedIntervals(reader, device.GetSourceWatch(), sources);
    // Sources go by the numbers their channels' labels show, from 1.
    for (int s = 0; s < sources; ++s)
        EXPECT_EQ(device.GetSourceWatch().SourceName(s).AfterLast(' '),
                  wxString::Format("%d", s + 1));
    std::vector<double> row(static_cast<size_t>(channels * dim));
    int64_t markedFrames = 0;
    for (int64_t f = 0; f < reader.GetFrameCount(); ++f) {
        ASSERT_TRUE(reader.GetFrame(row.data(), static_cast<int64_t>(row.size()), f));
        bool isMarked = false, isAllFresh = true;
        for (int s = 0; s < sources; ++s) {
            const Interval* in = nullptr;
            for (const Interval& interval : marked[static_cast<size_t>(s)])
                if (f >= interval.from && f < interval.to) in = &interval;
            isMarked = isMarked || in != nullptr;
            const std::vector<double> value(row.begin() + s * width, row.begin() + (s + 1) * width);
            // Only a source never received holds values its peer did not send.
            EXPECT_TRUE(peer.WasSent(s, value) || (in != nullptr && in->never))
                << "frame " << f << " source " << s << " value " << value[0];
            const int step = static_cast<int>(f);
            int last = step;
            while (last >= -plan.before && !plan.Sends(s, last)) --last;
            isAllFresh = isAllFresh && last == step;
            // Long without a value: said.
            EXPECT_TRUE(step - last <= silentFrames + 1.0 || in != nullptr)
                << "frame " << f << " source " << s << " unsaid";
        }
        // Every source delivered for this frame: nothing to say.
        EXPECT_TRUE(!isAllFresh || !isMarked) << "frame " << f;
        markedFrames += isMarked ? 1 : 0;
    }
    EXPECT_EQ(said, markedFrames);
}

INSTANTIATE_TEST_SUITE_P(Seeds, UnreceivedValuesSuite, ::testing::ValuesIn(SimSeeds(24)),
                         SimSeedName());

}  // namespace
