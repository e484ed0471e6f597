// Every recorded value is one a peer sent for its channel, or its frame is said to hold
// values not received: a seeded simulation over peers written from their description (a
// VRPN tracker and analog server, an OSC sender) whose sources start late, fall silent,
// come back, send fewer values, or whose whole server is silent or absent.
#include "analog/sourceWatch.h"

#include <cmath>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <vector>

#include "Bird/fobSimulator.h"
#include "Bird/fob_device.h"
#include "analog/analogReader.h"
#include "network/oscSourceSupport.h"
#include "network/vrpnTestSupport.h"
#include "process/messageQueue.h"
#include "support/simSeeds.h"

namespace {

constexpr double kSilentPeriods = 5.5;  // silent after this many frames without a value

enum class Family { kVrpnTracker, kVrpnAnalog, kOsc, kFlock, kCount };
enum class FaultKind { kLateStart, kSilence, kGone, kServerSilent, kFewerValues, kCount };

struct Fault {
    FaultKind kind;
    int source;
    int from;
    int to;
    int count;  // kFewerValues: values still sent
};

// What a seed draws: the peer, its sources, the frames before and of the recording, and
// the faults with their places.
struct Plan {
    Family family = Family::kVrpnTracker;
    int sources = 1;
    int before = 0;
    int frames = 0;
    bool noServer = false;  // nothing answers at the device's address
    std::vector<int> periods;  // each source reports every so many frames (slower than the device)
    std::vector<Fault> faults;

    bool IsAnalog() const { return family == Family::kVrpnAnalog || family == Family::kOsc; }
    static Plan Draw(uint32_t seed)
    {
        std::mt19937 rng(seed);
        const auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
        Plan plan;
        plan.family = static_cast<Family>(pick(0, static_cast<int>(Family::kCount) - 1));
        plan.sources = pick(1, 5);
        plan.before = pick(2, 15);
        plan.frames = pick(40, 100);
        plan.noServer = pick(0, 15) == 0;
        for (int s = 0; s < plan.sources; ++s) plan.periods.push_back(pick(0, 2) == 0 ? pick(2, 4) : 1);
        // Trackers find their sensors one after the other, as motion capture finds bodies,
        // the last one just before the recording starts.
        if (plan.family == Family::kFlock) plan.noServer = false;  // a flock that answers
        if (plan.family == Family::kVrpnTracker && pick(0, 1) == 0) {
            const int gap = pick(1, 3);
            const int last = pick(-3, -1);
            // Reporting slower than the device reads (50 Hz read at 200 Hz).
            for (int& period : plan.periods) period = pick(2, 4);
            for (int s = 1; s < plan.sources; ++s)
                plan.faults.push_back({FaultKind::kLateStart, s, last - (plan.sources - 1 - s) * gap, 0, 0});
        }
        for (int i = pick(0, 3); i > 0; --i) {
            Fault fault{static_cast<FaultKind>(pick(0, static_cast<int>(FaultKind::kCount) - 1)),
                        pick(0, plan.sources - 1), pick(-plan.before, plan.frames - 1), 0, 0};
            fault.to = fault.from + pick(1, 40);
            fault.count = pick(1, std::max(1, plan.sources - 1));
            plan.faults.push_back(fault);
        }
        return plan;
    }
    // Whether the peer sends source s at frame f. A message of an analog peer holds its
    // channels from the first: its faults take the whole server or the last channels.
    bool Sends(int s, int f) const
    {
        if (noServer) return false;
        const int period = periods[IsAnalog() ? 0 : static_cast<size_t>(s)];
        if ((f + 1000) % period != 0) return false;
        for (const Fault& fault : faults) {
            const bool isSource = IsAnalog() || fault.source == s;
            const bool isInside = f >= fault.from && f < fault.to;
            switch (fault.kind) {
                case FaultKind::kLateStart:
                    if (isSource && f < fault.from) return false;
                    break;
                case FaultKind::kSilence:
                    if (isSource && isInside) return false;
                    break;
                case FaultKind::kGone:
                    if (isSource && f >= fault.from) return false;
                    break;
                case FaultKind::kServerSilent:
                    if (isInside) return false;
                    break;
                case FaultKind::kFewerValues:
                    if (isInside && s >= fault.count) return false;
                    break;
                case FaultKind::kCount:
                    break;
            }
        }
        return true;
    }
    std::string Describe() const
    {
        std::ostringstream text;
        text << "family " << static_cast<int>(family) << ", " << sources << " sources, "
             << before << "+" << frames << " frames" << (noServer ? ", no server" : "")
             << ", periods";
        for (int period : periods) text << " " << period;
        for (const Fault& f : faults)
            text << "; fault " << static_cast<int>(f.kind) << " source " << f.source << " frames "
                 << f.from << ".." << f.to << " count " << f.count;
        return text.str();
    }
};

// Peer values tell their source and frame, and none is a device's initial value.
double ValueOf(int s, int f, int k) { return (s + 1) * 100000.0 + (f + 1000) * 10.0 + k + 0.5; }

// A device on a simulated clock: Pump runs its link without making a frame, Step makes
// one frame a period later.
template <typename Device>
class CStepped : public Device {
public:
    template <typename... Args>
    explicit CStepped(Args&&... args) : Device(std::forward<Args>(args)...)
    {
        this->ResetClock();
    }
    void Pump() { this->Process(false, false); }
    void Step()
    {
        m_nowUs += 1.0e6 / this->GetRate();
        this->Process(false, true);
    }

protected:
    double ReadProgramClockUs() override { return m_nowUs; }
    void ReadPreciseClock(TimeVal* out) override
    {
        const auto us = static_cast<int64_t>(m_nowUs);
        out->tv_sec = us / 1000000;
        out->tv_usec = us % 1000000;
    }

private:
    double m_nowUs = 1.0e9;
};
using CSimVrpn = CStepped<CVrpnDevice>;
using CSimOsc = CStepped<COscDevice>;
using CSimFlock = CStepped<CFobDevice>;

// A flock's pose as the device decodes it from words (range 72 inches).
std::vector<double> FlockPose(const std::vector<int16_t>& words)
{
    std::vector<double> pose;
    for (int k = 0; k < 3; ++k)
        pose.push_back(static_cast<float>(words[static_cast<size_t>(k)]) * (72.0f * (1.0f / 32768.0f) * 0.0254f));
    for (int k = 3; k < 7; ++k) pose.push_back(static_cast<float>(words[static_cast<size_t>(k)]) * (1.0f / 32768.0f));
    return pose;
}

// The peer of a plan: sends frame f's values and waits until the device has them.
class CSimPeer {
public:
    explicit CSimPeer(const Plan& plan) : m_plan(plan)
    {
        if (plan.family == Family::kFlock) {
            // Records go out when the plan says, not on the simulator's own schedule.
            for (int s = 0; s < plan.sources; ++s) m_flock.AddBird(static_cast<uint32_t>(s + 1), true);
            m_flock.autoStream = false;
            EXPECT_TRUE(m_flock.Start());
            CFobStartup startup;
            startup.flock.minReadTimeoutMs = 5000;  // a starved simulator may answer late
            startup.flock.resetMs = 0;
            startup.flock.configureMs = 0;
            startup.flock.resetPulse = false;  // a pseudo-terminal has no modem lines
            startup.retryMs = 0;
            startup.settleMs = 0;
            m_flockDevice = std::make_unique<CSimFlock>(wxString(m_flock.SlaveName()), 115200, 1, 1,
                                                        72.0f, false, false, startup);
            EXPECT_TRUE(m_flockDevice->IsReady());
            return;
        }
        if (plan.family == Family::kOsc) {
            SetOscClientSettings(osctest::LoopbackClient(m_osc.Port(), 0));
            m_oscDevice = std::make_unique<CSimOsc>(false);
            osctest::Received request;
            EXPECT_TRUE(m_osc.Next(request));
            return;
        }
        const wxString name = wxString::Format("Raw@tcp://127.0.0.1:%d", m_vrpn.Port());
        if (plan.noServer) m_vrpn.GoAway(true);
        m_vrpnDevice = std::make_unique<CSimVrpn>(false, name, plan.family == Family::kVrpnTracker);
        if (!plan.noServer) {
            EXPECT_TRUE(m_vrpn.Open(*m_vrpnDevice, [this] { m_vrpnDevice->Pump(); }));
        }
    }
    CAnalogDevice& Device()
    {
        if (m_flockDevice) return *m_flockDevice;
        return m_oscDevice ? static_cast<CAnalogDevice&>(*m_oscDevice) : *m_vrpnDevice;
    }
    void Step()
    {
        if (m_flockDevice)
            m_flockDevice->Step();
        else if (m_oscDevice)
            m_oscDevice->Step();
        else
            m_vrpnDevice->Step();
    }
    // Sends frame f and pumps until it is in: false when it does not come.
    bool Send(int f)
    {
        std::vector<int> sending;
        for (int s = 0; s < m_plan.sources; ++s)
            if (m_plan.Sends(s, f)) sending.push_back(s);
        if (sending.empty()) return true;
        if (m_flockDevice) {
            if (!m_flockDevice->IsReady()) return false;
            std::vector<uint64_t> due;
            for (int s : sending) {
                const auto address = static_cast<uint32_t>(s + 1);
                std::vector<int16_t> words = CFobSimulator::StreamWords(address);
                words[0] = static_cast<int16_t>(4 * ((f + 1000) * 5 + s));
                std::vector<uint8_t> record = MakeRecord(words);
                record.push_back(static_cast<uint8_t>(address));
                if (!m_flock.Send(record)) return false;
                m_sent[s].insert(FlockPose(words));
                due.push_back(BirdRecords(s) + 1);
            }
            // A record ends where the next begins: one for no bird closes the batch (the
            // flock drops it when the next batch closes it in turn).
            std::vector<uint8_t> closing = MakeRecord(CFobSimulator::StreamWords(1));
            closing.push_back(static_cast<uint8_t>(fob_wire::kMaxBirds + 1));
            if (!m_flock.Send(closing)) return false;
            return vrpntest::PumpUntil([&] { m_flockDevice->ReadSample(); }, [&] {
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
                m_sent[s].insert({pos[0], pos[1], pos[2], quat[3], quat[0], quat[1], quat[2]});
            }
            const uint64_t due = Processed() + sending.size();
            return vrpntest::PumpUntil([&] { m_vrpnDevice->Pump(); }, [&] { return Processed() >= due; });
        }
        std::vector<double> values;
        for (int s : sending) {
            values.push_back(ValueOf(s, f, 0));
            m_sent[s].insert({values.back()});
        }
        if (m_oscDevice) {
            OscMessage message("/data");
            for (double value : values) message.PushDouble(value);
            const uint32_t due = m_oscDevice->GetSourceWatch().HeardCount(0) + 1;
            return m_osc.Send(m_oscDevice->GetBoundListeningPort(), message) &&
                   vrpntest::PumpUntil([&] { m_oscDevice->Pump(); }, [&] {
                       return m_oscDevice->GetSourceWatch().HeardCount(0) >= due;
                   });
        }
        std::vector<uint8_t> payload(8 + 8 * values.size());
        payload.resize(vrpn::EncodeAnalog(payload.data(), values.data(), static_cast<int>(values.size())));
        const uint64_t due = m_vrpnDevice->GetStoredReports() + 1;
        return m_vrpn.SendRaw(2, payload) &&
               vrpntest::PumpUntil([&] { m_vrpnDevice->Pump(); },
                                   [&] { return m_vrpnDevice->GetStoredReports() >= due; });
    }
    // A flock's values pass through floats: equal within a micrometre.
    bool WasSent(int s, const std::vector<double>& value) const
    {
        const auto found = m_sent.find(s);
        if (found == m_sent.end()) return false;
        for (const std::vector<double>& sent : found->second) {
            bool isSame = sent.size() == value.size();
            for (size_t k = 0; isSame && k < sent.size(); ++k)
                isSame = std::fabs(sent[k] - value[k]) <= 1e-6;
            if (isSame) return true;
        }
        return false;
    }

private:
    uint64_t BirdRecords(int s) const
    {
        return m_flockDevice->GetFlock().get_bird(static_cast<size_t>(s))->get_record_count();
    }
    uint64_t Processed() const { return m_vrpnDevice->GetStoredReports() + m_vrpnDevice->GetCutReports(); }

    const Plan& m_plan;
    vrpntest::CRawTrackerServer m_vrpn;
    osctest::Peer m_osc;
    osctest::SettingsGuard m_settings;
    CFobSimulator m_flock;
    std::unique_ptr<CSimFlock> m_flockDevice;
    std::unique_ptr<CSimVrpn> m_vrpnDevice;
    std::unique_ptr<CSimOsc> m_oscDevice;
    std::map<int, std::set<std::vector<double>>> m_sent;  // per source, every value sent
};

// The file's markers as intervals per source: [from, to) with whether its values were
// never received (any value allowed) or are no longer (the last received stays).
struct Interval {
    int64_t from;
    int64_t to;
    bool never;
};

std::map<int, std::vector<Interval>> MarkedIntervals(const CAnalogReader& reader,
                                                     const CSourceWatch& watch, int sources,
                                                     int64_t frames)
{
    std::map<int, std::vector<Interval>> marked;
    for (int s = 0; s < sources; ++s) marked[s];
    for (size_t m = 0; m < reader.GetMarkerCodes().size(); ++m) {
        const wxString& label = reader.GetMarkerLabels()[m];
        for (int s = 0; s < sources; ++s) {
            const wxString name = watch.SourceName(s);
            std::vector<Interval>& list = marked[s];
            const bool isOpen = !list.empty() && list.back().to == frames;
            const int64_t at = reader.GetMarkerFrames()[m];
            if (label == name + " back" && isOpen) list.back().to = at;
            if ((label == name + " silent" || label == name + " not received") && !isOpen)
                list.push_back({at, frames, label.EndsWith(" not received")});
        }
    }
    return marked;
}

const Interval* Inside(const std::vector<Interval>& list, int64_t f)
{
    for (const Interval& interval : list)
        if (f >= interval.from && f < interval.to) return &interval;
    return nullptr;
}

class UnreceivedValuesSuite : public ::testing::TestWithParam<uint32_t> {};

TEST_P(UnreceivedValuesSuite, EveryValueWasSentOrItsFrameIsSaid)
{
    const uint32_t seed = GetParam();
    const Plan plan = Plan::Draw(seed);
    SCOPED_TRACE("replay with QV_SIM_SEED=" + std::to_string(seed) + ": " + plan.Describe());
    std::string folder = (std::filesystem::temp_directory_path() / "qvsilent-XXXXXX").string();
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    CSimPeer peer(plan);
    CAnalogDevice& device = peer.Device();
    device.GetSourceWatch().SetSilentAfter(kSilentPeriods / device.GetRate());
    wxString file;
    std::vector<int> stepOf;  // the step (plan frame) each recorded frame was made at
    for (int f = -plan.before; f < plan.frames; ++f) {
        if (f == 0) {
            ASSERT_TRUE(device.SetupWriter(folder, "sim", 1, false, "", false, 100, 1));
            file = device.GetWriterFileName();
            device.Reset();
            ASSERT_TRUE(device.StartRecording());
        }
        ASSERT_TRUE(peer.Send(f)) << "frame " << f;
        const int64_t made = device.GetSampleCounter();
        peer.Step();
        if (f >= 0 && device.GetSampleCounter() > made) stepOf.push_back(f);
    }
    ASSERT_TRUE(device.FinishRecording());
    const int64_t said = device.GetUnreceivedFrames();
    EXPECT_EQ(device.GetUnreceivedNote().empty(), said == 0);
    ASSERT_TRUE(device.StopRecording());
    g_messages.Drain();

    CAnalogReader reader;
    ASSERT_TRUE(reader.Open(file));
    const int channels = reader.GetChannelCount();
    const int dim = reader.GetDim();
    const int64_t frames = reader.GetFrameCount();
    ASSERT_EQ(frames, static_cast<int64_t>(stepOf.size()));
    const auto marked = MarkedIntervals(reader, device.GetSourceWatch(), channels, frames);
    std::vector<double> row(static_cast<size_t>(channels * dim));
    int64_t markedFrames = 0;
    for (int64_t f = 0; f < frames; ++f) {
        ASSERT_TRUE(reader.GetFrame(row.data(), static_cast<int64_t>(row.size()), f));
        bool isMarked = false;
        bool isAllFresh = true;
        for (int s = 0; s < channels; ++s) {
            const Interval* interval = Inside(marked.at(s), f);
            isMarked = isMarked || interval != nullptr;
            const std::vector<double> value(row.begin() + s * dim, row.begin() + (s + 1) * dim);
            // Only a source never received holds values its peer did not send.
            EXPECT_TRUE(peer.WasSent(s, value) || (interval != nullptr && interval->never))
                << "frame " << f << " source " << s << " value " << value[0];
            const int step = stepOf[static_cast<size_t>(f)];
            int last = step;
            while (last >= -plan.before && !plan.Sends(s, last)) --last;
            isAllFresh = isAllFresh && last == step;
            // Long without a value: said.
            if (step - last > kSilentPeriods + 1.0) {
                EXPECT_NE(interval, nullptr) << "frame " << f << " source " << s << " unsaid";
            }
        }
        // Every source delivered for this frame: nothing to say.
        if (isAllFresh) {
            EXPECT_FALSE(isMarked) << "frame " << f;
        }
        markedFrames += isMarked ? 1 : 0;
    }
    EXPECT_EQ(said, markedFrames);
    std::error_code error;
    std::filesystem::remove_all(folder, error);
}

INSTANTIATE_TEST_SUITE_P(Seeds, UnreceivedValuesSuite, ::testing::ValuesIn(SimSeeds(24)),
                         SimSeedName());

}  // namespace
