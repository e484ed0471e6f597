// The VRPN client device against our own server on 127.0.0.1: poses, analog values and
// buttons arrive bit-exact, the channels follow the remote, parameters keep their rules.
#include "network/vrpnDevice.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <thread>
#include <vector>

#include "analog/analogReader.h"
#include "analog/fakeNetwork.h"
#include "analog/paramType.h"
#include "network/vrpnServerModule.h"
#include "process/fakeDevice.h"
#include "process/messageQueue.h"
#include "support/localeGuard.h"
#include "support/logCapture.h"
#include "visibleChannelsReader.h"
#include "vrpnTestSupport.h"

using vrpntest::PumpUntil;

namespace {

// Exposes the row and runs the device on a simulated clock: one sample per Process.
class CProbeDevice : public CVrpnDevice {
public:
    CProbeDevice(const wxString& name, bool tracker) : CVrpnDevice(false, name, tracker)
    {
        ResetClock();  // the base anchored its schedule on the real clock
    }
    std::vector<double> Row()
    {
        CMutexLock lock(&m_dataMutex);
        if (!m_values) return {};
        return std::vector<double>(m_values.get(), m_values.get() + m_rowLength);
    }
    void Step() { Process(true, true); }

protected:
    void ReadPreciseClock(TimeVal* out) override
    {
        m_simulatedUs += 40000;  // one period at 25 Hz
        out->tv_sec = m_simulatedUs / 1000000;
        out->tv_usec = m_simulatedUs % 1000000;
    }

private:
    int64_t m_simulatedUs = 0;
};

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

wxString NameFor(const char* service)
{
    return wxString::Format("%s@tcp://127.0.0.1:%d", service, GetVrpnServerBoundPort());
}

// One server pass and one device poll, the two sides of the loopback.
void Both(CVrpnDevice& device)
{
    VrpnServerMainloop();
    device.Poll();
}

using VrpnDeviceTest = vrpntest::CServerFixture;

using vrpntest::CRawTrackerServer;

// The "<VRPN> " lines said since the last call.
std::vector<std::string> VrpnNotes()
{
    std::vector<std::string> said;
    for (const QueuedMessage& message : g_messages.Drain()) {
        if (message.text.find("<VRPN> ") != std::string::npos) said.push_back(message.text);
    }
    return said;
}

// The notes about the link: those about sources not received are the silence suite's.
std::vector<std::string> LinkNotes()
{
    std::vector<std::string> said = VrpnNotes();
    said.erase(std::remove_if(said.begin(), said.end(),
                              [](const std::string& text) {
                                  return text.find(" silent from frame ") != std::string::npos ||
                                         text.find(" back at frame ") != std::string::npos;
                              }),
               said.end());
    return said;
}

// A tracker device on a raw server, connected, the messages so far drained.
class CRawTrackerRig {
public:
    // noteInterval: the shortest time between two notes (0: every event said).
    explicit CRawTrackerRig(std::chrono::seconds noteInterval = std::chrono::hours(1))
        : device(wxString::Format("Raw@tcp://127.0.0.1:%d", server.Port()), true)
    {
        device.SetOwner(&owner);
        device.SetNoteInterval(noteInterval);
        // The link's own notes are checked here; silent sensors in the simulation suite.
        device.GetSourceWatch().SetSilentAfter(HUGE_VAL);
    }
    bool Open()
    {
        if (server.Port() <= 0 || !server.Open(device)) return false;
        g_messages.Drain();
        return true;
    }

    CRawTrackerServer server;
    CRecordingOwner owner;  // outlives the device
    CProbeDevice device;
};

// A folder of a test's own for its trials, removed afterwards.
class CTrialFolder {
public:
    CTrialFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "qvvrpn-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) m_path = pattern;
    }
    ~CTrialFolder()
    {
        std::error_code error;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, error);
    }
    CTrialFolder(const CTrialFolder&) = delete;
    CTrialFolder& operator=(const CTrialFolder&) = delete;
    wxString Path() const { return wxString(m_path.string()); }

private:
    std::filesystem::path m_path;
};

// A recording's frames as the device made them, to be found in its file.
class CRecordedRows {
public:
    explicit CRecordedRows(CProbeDevice& device) : m_device(device) {}
    void Step()
    {
        m_device.Step();
        rows.push_back(m_device.Row());
    }
    // Steps until the row begins with first.
    bool StepUntil(double first)
    {
        return PumpUntil([&] { Step(); },
                         [&] { return !rows.back().empty() && rows.back()[0] == first; });
    }
    // The file holds the header's layout (channels x dim) and every frame made, bit-exact.
    void ExpectInFile(const wxString& file, int channels, int dim) const
    {
        CAnalogReader reader;
        ASSERT_TRUE(reader.Open(file)) << file;
        EXPECT_EQ(reader.GetChannelCount(), channels);
        EXPECT_EQ(reader.GetDim(), dim);
        ASSERT_EQ(reader.GetFrameCount(), static_cast<int64_t>(rows.size()));
        const size_t width = static_cast<size_t>(channels * dim);
        std::vector<double> frame(width);
        for (size_t f = 0; f < rows.size(); ++f) {
            ASSERT_EQ(rows[f].size(), width) << "frame " << f;
            ASSERT_TRUE(reader.GetFrame(frame.data(), static_cast<int64_t>(width),
                                        static_cast<int64_t>(f)));
            for (size_t i = 0; i < width; ++i)
                ASSERT_TRUE(SameBits(frame[i], rows[f][i])) << "frame " << f << " value " << i;
        }
    }

    std::vector<std::vector<double>> rows;

private:
    CProbeDevice& m_device;
};

bool SendAnalog(CRawTrackerServer& server, const std::vector<double>& values)
{
    std::vector<uint8_t> payload(8 + 8 * values.size());
    const size_t length =
        vrpn::EncodeAnalog(payload.data(), values.data(), static_cast<int>(values.size()));
    payload.resize(length);
    return server.SendRaw(2, payload);
}

std::vector<double> Counting(double first, int count)
{
    std::vector<double> values;
    for (int i = 0; i < count; ++i) values.push_back(first + i);
    return values;
}

}  // namespace

TEST(VrpnNameTest, LocationsAreTakenApart)
{
    VrpnName name;
    std::string error;
    ASSERT_TRUE(ParseVrpnName("Tracker0@localhost", name, error));
    EXPECT_EQ(name.service, "Tracker0");
    EXPECT_EQ(name.host, "localhost");
    EXPECT_EQ(name.port, 3883);
    EXPECT_FALSE(name.tcpOnly);
    ASSERT_TRUE(ParseVrpnName("Dev@x@tcp://10.1.2.3:3891", name, error));
    EXPECT_EQ(name.service, "Dev");
    EXPECT_EQ(name.host, "10.1.2.3");
    EXPECT_EQ(name.port, 3891);
    EXPECT_TRUE(name.tcpOnly);
    ASSERT_TRUE(ParseVrpnName("A@x-vrpn://host:4000", name, error));
    EXPECT_EQ(name.host, "host");
    EXPECT_EQ(name.port, 4000);
    for (const char* bad : {"NoAt", "@host", "Dev@", "Dev@host:0", "Dev@host:99999",
                            "Dev@host:12x", "Dev@file:/tmp/log.vrpn", "Dev@x-vrsh://h/p"})
        EXPECT_FALSE(ParseVrpnName(bad, name, error)) << bad;
}

TEST(VrpnDevicePlainTest, PathsKeysAndParameterRules)
{
    EXPECT_EQ(CVrpnDevice::MakeDevicePath("Dev@host", true), "tracker/Dev@host");
    EXPECT_EQ(CVrpnDevice::MakeDevicePath("Dev@host", false), "analog/Dev@host");
    // An unreachable name: the device still opens, with its first channel.
    CProbeDevice device("Dev@tcp://127.0.0.1:1", false);
    EXPECT_TRUE(device.IsReady());
    EXPECT_EQ(device.GetDevicePath(), "analog/Dev@tcp://127.0.0.1:1");
    EXPECT_EQ(device.GetDeviceKey(), "vrpn_device");
    EXPECT_EQ(device.GetChannelCount(), 1);
    EXPECT_EQ(device.GetDeviceType(), 7);
    EXPECT_FALSE(device.IsTracker());  // only the tracker variant offers a 3D view
    EXPECT_TRUE(device.CanOffset());
    EXPECT_FALSE(device.CanReset());
    EXPECT_EQ(device.GetParamKey(4), "Offset Time");
    EXPECT_EQ(device.GetParamLabel(3), "Device Name");

    CLogCapture log;
    bool changed = true;
    double value = 5.0;
    EXPECT_FALSE(device.SetParam(&value, 1, 1, PARAM_DOUBLE, &changed));  // min above max
    EXPECT_FALSE(changed);
    EXPECT_EQ(device.GetMinValue(), 5.0);
    value = 2.0;
    device.SetParam(&value, 2, 1, PARAM_DOUBLE, &changed);
    EXPECT_EQ(device.GetMinValue(), 2.0);
    EXPECT_EQ(device.GetMaxValue(), 5.0);
    value = 5.0;
    device.SetParam(&value, 1, 1, PARAM_DOUBLE, &changed);  // both equal
    EXPECT_EQ(device.GetMinValue(), -10.0);
    EXPECT_EQ(device.GetMaxValue(), 10.0);
    value = 1001.0;
    device.SetParam(&value, 0, 1, PARAM_DOUBLE, &changed);
    EXPECT_EQ(device.GetRate(), 25.0);
    EXPECT_EQ(log.Warnings(), 1);
    value = 100.0;
    device.SetParam(&value, 0, 1, PARAM_DOUBLE, &changed);
    EXPECT_EQ(device.GetRate(), 100.0);
    int count = 0;
    int type = 0;
    EXPECT_EQ(*static_cast<double*>(device.GetParam(0, &count, &type)), 100.0);
    EXPECT_EQ(type, PARAM_DOUBLE);
    const wxString name("Renamed");
    device.SetParam(&name, 3, 1, PARAM_STRING, &changed);
    EXPECT_TRUE(changed);
    EXPECT_EQ(device.GetDeviceName(), "Renamed");
    device.Close();
}

TEST_F(VrpnDeviceTest, TrackerPosesArriveBitExactAndTheChannelsGrow)
{
    ASSERT_EQ(VrpnServerAddDevice(1, 0, 3, nullptr), 1);
    CProbeDevice device(NameFor("Quorvane"), true);
    EXPECT_EQ(device.GetChannelCount(), 1);
    EXPECT_EQ(device.GetDeviceType(), 8);
    EXPECT_TRUE(device.IsTracker());
    std::vector<double> start = device.Row();
    ASSERT_EQ(start.size(), 7u);
    EXPECT_EQ(start[3], 1.0);  // identity orientation, w first

    const double poses[21] = {1.0 / 3.0, -2.5, 1e-310, 0.9, 0.1, -0.2, 0.3,
                              -0.0, 1e308, 4.0, 0.0, 1.0, 0.0, 0.0,
                              7.125, 8.0, -9.0, 0.5, 0.5, 0.5, -0.5};
    // A serving device sets its block on every frame; each frame is reported once.
    std::vector<double> row;
    ASSERT_TRUE(PumpUntil(
        [&] {
            ASSERT_TRUE(VrpnServerSetTracker(1, poses, 3));
            Both(device);
        },
                          [&] {
                              row = device.Row();
                              return row.size() == 21 && SameBits(row[20], poses[20]);
                          }));
    for (size_t i = 0; i < 21; ++i) EXPECT_TRUE(SameBits(row[i], poses[i])) << "value " << i;
    EXPECT_EQ(device.GetChannelCount(), 3);  // the highest sensor + 1
    EXPECT_TRUE(device.TakeViewGridRequest());
    EXPECT_FALSE(device.TakeViewGridRequest());
    EXPECT_EQ(device.GetChannelName(2), "Channel #2");
    EXPECT_TRUE(device.IsConnected());
    device.Close();
}

// The service name goes on the wire as UTF-8 under any locale: converted through a
// plain C locale, a name outside ASCII came out empty and named no service at all.
TEST_F(VrpnDeviceTest, NamesOutsideAsciiReachTheirServiceUnderAPlainLocale)
{
    for (const char* service : {"Ger\xC3\xA4t \xC3\xBC", "\xE6\xB8\xAC\xE8\xA9\xA6"}) {
        LocaleGuard plain("C");
        ASSERT_TRUE(plain.IsSet());
        ASSERT_TRUE(StartVrpnServer(service));
        ASSERT_EQ(VrpnServerAddDevice(0, 0, 1, nullptr), 1);
        const wxString name = wxString::FromUTF8(service) +
                              wxString::Format("@tcp://127.0.0.1:%d", GetVrpnServerBoundPort());
        CProbeDevice device(name, true);
        const double pose[7] = {1.5, -2.0, 3.25, 1.0, 0.0, 0.0, 0.0};
        std::vector<double> row;
        ASSERT_TRUE(PumpUntil(
            [&] {
                ASSERT_TRUE(VrpnServerSetTracker(1, pose, 1));
                Both(device);
            },
            [&] {
                row = device.Row();
                return row.size() == 7 && row[0] == 1.5;
            }))
            << service;
        EXPECT_EQ(row[2], 3.25);
        device.Close();
        StopVrpnServer();
    }
}

using VrpnDeviceThreads = VrpnDeviceTest;

// A server whose analog reports change their channel count re-shapes the device on its
// acquisition thread while the GUI thread reads the visible channels as the views do.
TEST_F(VrpnDeviceThreads, VisibleChannelsReadWhileTheServerReshapes)
{
    CRawTrackerServer server;
    CVrpnDevice device(false, wxString::Format("Raw@tcp://127.0.0.1:%d", server.Port()), false);
    ASSERT_TRUE(server.Open(device));
    ASSERT_TRUE(device.Create(false));
    ASSERT_TRUE(device.RunThread());
    std::atomic<bool> sent{false};
    // A burst of shapes, the last of three channels.
    std::thread sender([&] {
        const std::vector<double> values(12, 1.0);
        std::vector<uint8_t> payload(8 + 8 * values.size());
        for (int i = 0; i <= 600; ++i) {
            const int count = i < 600 ? 1 + (i * 5) % 12 : 3;
            const size_t length = vrpn::EncodeAnalog(payload.data(), values.data(), count);
            server.SendRaw(2, std::vector<uint8_t>(payload.begin(), payload.begin() + length));
            if (i % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        sent = true;
    });
    const long reads = nettest::ReadVisibleChannels(
        device, 12, [&] { return sent.load() && device.GetVisibleList().size() == 3; });
    sender.join();
    device.Close();
    EXPECT_GT(reads, 0);
}

TEST_F(VrpnDeviceTest, AnalogValuesArriveBitExactAfterOneReshape)
{
    ASSERT_EQ(VrpnServerAddDevice(1, 4, 0, nullptr), 1);
    CProbeDevice device(NameFor("Quorvane"), false);
    const double values[4] = {0.1, -1e-300, 123456789.125, -0.0};
    std::vector<double> row;
    ASSERT_TRUE(PumpUntil(
        [&] {
            ASSERT_TRUE(VrpnServerSetAnalog(1, values, 4));
            Both(device);
        },
                          [&] {
                              row = device.Row();
                              return row.size() == 4 && SameBits(row[1], values[1]);
                          }));
    for (size_t i = 0; i < 4; ++i) EXPECT_TRUE(SameBits(row[i], values[i])) << "value " << i;
    EXPECT_EQ(device.GetVisibleList().size(), 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(device.GetChannelName(i), wxString::Format("Channel #%d", i));
    EXPECT_TRUE(device.TakeViewGridRequest());
    // Later reports with the same count are stored without another re-shape.
    const double next[4] = {1, 2, 3, 4};
    ASSERT_TRUE(VrpnServerSetAnalog(1, next, 4));
    ASSERT_TRUE(PumpUntil([&] { Both(device); }, [&] { return device.Row()[3] == 4.0; }));
    EXPECT_FALSE(device.TakeViewGridRequest());
    device.Close();
}

TEST_F(VrpnDeviceTest, ButtonsBecomeMarkersAndPressesAreAnnounced)
{
    CCallLog log;
    CFakeNetwork network(&log);  // the OSC side; the VRPN server is the module's own
    ASSERT_EQ(VrpnServerAddDevice(1, 1, 0, nullptr), 1);
    CProbeDevice device(NameFor("Quorvane"), false);
    ASSERT_TRUE(PumpUntil([&] { Both(device); }, [&] { return device.IsConnected(); }));
    // Device 1's button 0 is server button 1 (button 0 is the program's).
    ASSERT_TRUE(VrpnServerSetButton(1, 0, 1));
    ASSERT_TRUE(VrpnServerSetButton(1, 0, 0));
    ASSERT_TRUE(PumpUntil([&] { Both(device); },
                          [&] { return device.GetMarkerLabels().size() == 2; }));
    const std::vector<wxString> labels = device.GetMarkerLabels();
    EXPECT_EQ(labels[0], "BT[1] : 1");
    EXPECT_EQ(labels[1], "BT[1] : 0");
    EXPECT_EQ(device.GetMarkerCodes()[0], 1u);
    int events = 0;
    for (const std::string& call : log.calls) events += call.rfind("event:", 0) == 0 ? 1 : 0;
    EXPECT_EQ(events, 1);  // only the press is sent on
    device.Close();
}

TEST_F(VrpnDeviceTest, OffsetIsSubtractedOnceNotOncePerFrame)
{
    ASSERT_EQ(VrpnServerAddDevice(1, 2, 0, nullptr), 1);
    CProbeDevice device(NameFor("Quorvane"), false);
    const double values[2] = {3.0, -1.0};
    ASSERT_TRUE(PumpUntil(
        [&] {
            ASSERT_TRUE(VrpnServerSetAnalog(1, values, 2));
            VrpnServerMainloop();
            device.Step();
        },
        [&] { return device.Row().size() == 2 && device.Row()[0] == 3.0; }));
    device.StartOffset();
    // One second of samples at 25 Hz averages the offset; then the server's values stay.
    for (int i = 0; i < 30; ++i) device.Step();
    EXPECT_FALSE(device.IsOffsetRunning());
    // Frames come faster than reports: each frame is made from the last report again.
    for (int i = 0; i < 20; ++i) device.Step();
    const std::vector<double> row = device.Row();
    EXPECT_NEAR(row[0], 0.0, 1e-12);
    EXPECT_NEAR(row[1], 0.0, 1e-12);
    device.Close();
}

TEST_F(VrpnDeviceTest, ReconnectsAfterTheServerComesBack)
{
    ASSERT_EQ(VrpnServerAddDevice(1, 1, 0, nullptr), 1);
    CProbeDevice device(NameFor("Quorvane"), false);
    ASSERT_TRUE(PumpUntil([&] { Both(device); }, [&] { return device.IsConnected(); }));
    // Another device joins: the server is re-created and this client is dropped.
    ASSERT_EQ(VrpnServerAddDevice(1, 1, 0, nullptr), 2);
    const double value = 2.75;
    // The server now reports 2 channels: the device re-shapes, then stores them.
    ASSERT_TRUE(PumpUntil(
        [&] {
            ASSERT_TRUE(VrpnServerSetAnalog(1, &value, 1));
            Both(device);
        },
                          [&] { return device.Row().size() == 2 && device.Row()[0] == 2.75; },
                          std::chrono::milliseconds(8000)));
    device.Close();
}

// A report naming sensor 1023 left the device 1024 sensors wide until it was re-created.
TEST_F(VrpnDeviceTest, SensorsPastTheLimitAreRefusedCountedAndSaidOnce)
{
    CRawTrackerRig rig;
    ASSERT_TRUE(rig.Open());
    CRawTrackerServer& server = rig.server;
    CProbeDevice& device = rig.device;
    // Hostile sensor numbers, each after a good report that marks where it was read.
    const int32_t hostile[] = {1023, CVrpnDevice::kMaxSensors, 300, 1023};
    for (size_t i = 0; i < std::size(hostile); ++i) {
        ASSERT_TRUE(server.SendPose(hostile[i], 0.0));
        ASSERT_TRUE(server.SendPose(0, static_cast<double>(i + 1)));
        ASSERT_TRUE(PumpUntil([&] { device.Poll(); }, [&] {
            const std::vector<double> row = device.Row();
            return !row.empty() && row[0] == static_cast<double>(i + 1);
        }));
    }
    EXPECT_EQ(device.GetRefusedReports(), std::size(hostile));
    EXPECT_EQ(device.GetChannelCount(), 1);
    EXPECT_FALSE(device.TakeViewGridRequest());
    const std::vector<std::string> said = VrpnNotes();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("sensor 1024 refused"), std::string::npos) << said[0];
    EXPECT_EQ(said[0].back(), '\n');
    // The last sensor the device takes still widens it, as the remote's own do.
    const int32_t last = CVrpnDevice::kMaxSensors - 1;
    ASSERT_TRUE(server.SendPose(last, 0.0));
    ASSERT_TRUE(server.SendPose(last, 9.0));
    ASSERT_TRUE(PumpUntil([&] { device.Poll(); }, [&] {
        const std::vector<double> row = device.Row();
        return row.size() == 7u * CVrpnDevice::kMaxSensors && row[7 * last] == 9.0;
    }));
    EXPECT_TRUE(device.TakeViewGridRequest());
    EXPECT_EQ(device.GetRefusedReports(), std::size(hostile));
    device.Close();
}

// A tracker report for sensor 1024 or a negative one, or a report of the wrong length,
// used to close the connection silently: the retry came 2 s later, 200 reports lost at
// 100 Hz. Each is refused and counted, said once, and the link kept.
TEST_F(VrpnDeviceTest, HostileReportsAreRefusedAndTheLinkKept)
{
    CRawTrackerRig rig;
    ASSERT_TRUE(rig.Open());
    CRawTrackerServer& server = rig.server;
    CProbeDevice& device = rig.device;
    const auto pose = [](int32_t sensor, size_t length) {
        std::vector<uint8_t> payload(std::max<size_t>(length, vrpn::kPosQuatSize), 0);
        const double pos[3] = {0.0, 0.0, 0.0};
        const double quat[4] = {0.0, 0.0, 0.0, 1.0};
        vrpn::EncodePosQuat(payload.data(), sensor, pos, quat);
        payload.resize(length);
        return payload;
    };
    const std::vector<std::pair<int32_t, std::vector<uint8_t>>> hostile = {
        {0, pose(vrpn::kMaxSensors, vrpn::kPosQuatSize)},
        {0, pose(-1, vrpn::kPosQuatSize)},
        {0, pose(std::numeric_limits<int32_t>::min(), vrpn::kPosQuatSize)},
        {0, pose(std::numeric_limits<int32_t>::max(), vrpn::kPosQuatSize)},
        {0, pose(0, vrpn::kPosQuatSize + 8)},
        {0, pose(0, vrpn::kPosQuatSize - 8)},
        {0, pose(0, 0)},
        {1, std::vector<uint8_t>(12, 0)},  // a button change of 12 bytes
        {1, std::vector<uint8_t>(4, 0)},
    };
    // Each after a good report that marks where it was read.
    for (size_t i = 0; i < hostile.size(); ++i) {
        ASSERT_TRUE(server.SendRaw(hostile[i].first, hostile[i].second));
        ASSERT_TRUE(server.SendPose(0, static_cast<double>(i + 1)));
        ASSERT_TRUE(PumpUntil([&] { device.Poll(); },
                              [&] {
                                  const std::vector<double> row = device.Row();
                                  return !row.empty() && row[0] == static_cast<double>(i + 1);
                              }))
            << "hostile report " << i;
    }
    EXPECT_EQ(device.GetMalformedReports(), hostile.size());
    EXPECT_EQ(device.GetConnectCount(), 1u);
    EXPECT_EQ(device.GetDropCount(), 0u);
    EXPECT_TRUE(device.IsConnected());
    EXPECT_EQ(device.GetChannelCount(), 1);
    const std::vector<std::string> said = VrpnNotes();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("tracker report for sensor 1025 refused (sensors 1 to 1024) (the "
                           "connection is kept"),
              std::string::npos)
        << said[0];
    EXPECT_EQ(said[0].back(), '\n');
    device.Close();
}

// A server killed and restarted left the device making frames from the last values
// without a word. Each loss is said with its reason, each return with the frames made
// meanwhile; the link counts follow.
TEST_F(VrpnDeviceTest, LinkLostAndBackAreSaidWithTheFramesMadeMeanwhile)
{
    CRawTrackerRig rig(std::chrono::seconds(0));
    ASSERT_TRUE(rig.Open());
    CRawTrackerServer& server = rig.server;
    CProbeDevice& device = rig.device;
    const int port = server.Port();
    uint64_t framesWithout = 0;
    for (int cycle = 0; cycle < 2; ++cycle) {
        ASSERT_TRUE(server.SendPose(0, 1.5 + cycle));
        ASSERT_TRUE(PumpUntil([&] { device.Step(); }, [&] { return device.Row()[0] == 1.5 + cycle; }));
        EXPECT_EQ(device.GetFramesWithoutServer(), framesWithout);
        // The second time the server is gone for good until it listens again.
        server.GoAway(cycle == 1);
        int steps = 0;
        ASSERT_TRUE(PumpUntil(
            [&] {
                device.Step();
                ++steps;
            },
            [&] { return !device.IsConnected(); }));
        // The step that found the loss made its frame without the server; six more.
        for (int i = 0; i < 6; ++i) device.Step();
        framesWithout += 7;
        EXPECT_EQ(device.GetFramesWithoutServer(), framesWithout);
        EXPECT_EQ(device.Row()[0], 1.5 + cycle);  // the last values held
        std::vector<std::string> said = LinkNotes();
        ASSERT_EQ(said.size(), 1u) << (said.empty() ? "" : said[0]);
        EXPECT_EQ(said[0], "<VRPN> Raw@tcp://127.0.0.1:" + std::to_string(port) +
                               ": link to the server lost (peer closed the connection); frames "
                               "hold the last values until it is back\n");
        if (cycle == 1) {
            // Refused while away: no server answers there, said while it lasts.
            const auto retried = std::chrono::steady_clock::now() + CVrpnClient::kRetryInterval +
                                 std::chrono::milliseconds(300);
            while (std::chrono::steady_clock::now() < retried) device.Poll();
            EXPECT_FALSE(device.IsConnected());
            EXPECT_TRUE(device.IsServerUnanswered());
            const std::vector<std::string> refused = LinkNotes();
            ASSERT_FALSE(refused.empty());
            EXPECT_EQ(refused[0].rfind("<VRPN> Raw@tcp://127.0.0.1:" + std::to_string(port) +
                                           ": no server answers at 127.0.0.1:" +
                                           std::to_string(port) +
                                           " (connection failed: Connection refused) since the "
                                           "link was lost; tried again every 2 s",
                                       0),
                      0u)
                << refused[0];
            ASSERT_TRUE(server.Listen(port));
        }
        ASSERT_TRUE(server.Open(device));
        said = LinkNotes();
        ASSERT_EQ(said.size(), 1u);
        EXPECT_EQ(said[0], "<VRPN> Raw@tcp://127.0.0.1:" + std::to_string(port) +
                               ": link to the server back after 7 frames made without it (they "
                               "hold the last values)\n");
        EXPECT_EQ(device.GetConnectCount(), static_cast<uint64_t>(cycle + 2));
        EXPECT_EQ(device.GetDropCount(), static_cast<uint64_t>(cycle + 1));
    }
    ASSERT_TRUE(server.SendPose(0, 8.0));
    ASSERT_TRUE(PumpUntil([&] { device.Step(); }, [&] { return device.Row()[0] == 8.0; }));
    EXPECT_EQ(device.GetFramesWithoutServer(), framesWithout);
    device.Close();
    EXPECT_TRUE(LinkNotes().empty());
}

// Notes are rate-limited: a flapping server is said once at once, then with what
// happened since; what is left is said when the device closes.
TEST_F(VrpnDeviceTest, AFlappingServerIsSaidOnceThenCounted)
{
    CRawTrackerRig rig;
    ASSERT_TRUE(rig.Open());
    CRawTrackerServer& server = rig.server;
    CProbeDevice& device = rig.device;
    const std::string name = "<VRPN> Raw@tcp://127.0.0.1:" + std::to_string(server.Port());
    for (int cycle = 0; cycle < 2; ++cycle) {
        server.GoAway(false);
        ASSERT_TRUE(PumpUntil([&] { device.Step(); }, [&] { return !device.IsConnected(); }));
        for (int i = 0; i < 4; ++i) device.Step();
        ASSERT_TRUE(server.Open(device));
    }
    std::vector<std::string> said = VrpnNotes();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0], name + ": link to the server lost (peer closed the connection); frames "
                              "hold the last values until it is back\n");
    server.GoAway(false);
    ASSERT_TRUE(PumpUntil([&] { device.Step(); }, [&] { return !device.IsConnected(); }));
    device.Step();
    EXPECT_EQ(device.GetFramesWithoutServer(), 12u);
    EXPECT_TRUE(VrpnNotes().empty());
    device.Close();
    said = VrpnNotes();
    ASSERT_EQ(said.size(), 1u);
    // Five frames of the first loss, five of the second, two of the third.
    EXPECT_EQ(said[0], name + ": link to the server lost (peer closed the connection); frames "
                              "hold the last values until it is back (lost 2 times since the "
                              "last note, 12 frames made without it)\n");
}

// Ids past the peers' tables and descriptions that fail their checks closed the link
// without a word (the reports behind them lost until a reconnect 2 s later). Each is
// refused, counted and said; the link is kept. A length that breaks the stream still
// closes it, and the loss says why.
TEST_F(VrpnDeviceTest, NonReportMessagesAreRefusedCountedSaidAndTheLinkKept)
{
    CRawTrackerRig rig(std::chrono::seconds(0));
    ASSERT_TRUE(rig.Open());
    CRawTrackerServer& server = rig.server;
    CProbeDevice& device = rig.device;
    const auto description = [](uint32_t count, const std::string& name) {
        std::vector<uint8_t> payload(4 + name.size());
        vrpn::PutU32(payload.data(), count);
        std::memcpy(payload.data() + 4, name.data(), name.size());
        return payload;
    };
    const std::string good = std::string(vrpn::kPosQuat) + '\0';
    const std::string longName = std::string(96, 'n') + '\0';
    std::string embedded = good;
    embedded[12] = '\0';  // a NUL inside the name
    struct Hostile {
        int32_t sender;
        int32_t type;
        std::vector<uint8_t> payload;
        const char* said;
    };
    const std::vector<Hostile> hostile = {
        {0, 2000, {}, "message of type id 2000 refused (ids 0 to 1999)"},
        {0, std::numeric_limits<int32_t>::max(), std::vector<uint8_t>(8, 0),
         "message of type id 2147483647 refused (ids 0 to 1999)"},
        {2000, 0, std::vector<uint8_t>(64, 0), "message from sender id 2000 refused (ids 0 to 1999)"},
        {-1, 1, {}, "message from sender id -1 refused (ids 0 to 1999)"},
        {-1, vrpn::kSenderDescription, description(4, std::string("Raw") + '\0'),
         "sender description for id -1 refused (ids 0 to 1999)"},
        {2000, vrpn::kTypeDescription, description(22, good),
         "type description for id 2000 refused (ids 0 to 1999)"},
        {5, vrpn::kTypeDescription, description(97, longName),
         "type description of 101 bytes refused (names up to 95 characters)"},
        {5, vrpn::kTypeDescription, description(40, good),
         "type description giving a name of 40 bytes in 22 refused"},
        {5, vrpn::kSenderDescription, description(0, good),
         "sender description giving a name of 0 bytes in 22 refused"},
        {5, vrpn::kTypeDescription, description(21, good.substr(0, 21)),
         "type description whose name of 21 bytes does not end in its one NUL refused"},
        {5, vrpn::kTypeDescription, description(22, embedded),
         "type description whose name of 22 bytes does not end in its one NUL refused"},
        {5, vrpn::kTypeDescription, {0, 0}, "type description of 2 bytes refused (too short to "
                                            "hold a name)"},
    };
    // Each after a good report that marks where it was read.
    for (size_t i = 0; i < hostile.size(); ++i) {
        ASSERT_TRUE(server.SendMessage(hostile[i].sender, hostile[i].type, hostile[i].payload));
        ASSERT_TRUE(server.SendPose(0, static_cast<double>(i + 1)));
        ASSERT_TRUE(PumpUntil([&] { device.Poll(); },
                              [&] { return device.Row()[0] == static_cast<double>(i + 1); }))
            << "message " << i;
        const std::vector<std::string> said = VrpnNotes();
        ASSERT_EQ(said.size(), 1u) << "message " << i;
        const std::string want =
            i == 0 ? std::string(hostile[i].said) + " (the connection is kept"
                   : std::to_string(i + 1) + " in all (first: " + hostile[0].said +
                         "; last: " + hostile[i].said + "); the connection is kept\n";
        EXPECT_NE(said[0].find(want), std::string::npos) << said[0] << "\nwanted: " << want;
    }
    EXPECT_EQ(device.GetRefusedMessages(), hostile.size());
    EXPECT_EQ(device.GetMalformedReports(), 0u);
    EXPECT_EQ(device.GetConnectCount(), 1u);
    EXPECT_EQ(device.GetDropCount(), 0u);
    // The refused descriptions changed nothing: a pose still reaches sensor 0.
    ASSERT_TRUE(server.SendPose(0, 99.0));
    ASSERT_TRUE(PumpUntil([&] { device.Poll(); }, [&] { return device.Row()[0] == 99.0; }));
    // A length below the header loses the stream's step: the link closes and says why.
    std::vector<uint8_t> header(vrpn::kHeaderSize, 0);
    vrpn::PutU32(header.data(), 10);
    ASSERT_TRUE(server.SendBytes(header));
    ASSERT_TRUE(PumpUntil([&] { device.Poll(); }, [&] { return !device.IsConnected(); }));
    const std::vector<std::string> said = VrpnNotes();
    ASSERT_EQ(said.size(), 2u);
    EXPECT_NE(said[1].find(": sensor 1 silent from frame"), std::string::npos) << said[1];
    EXPECT_NE(said[0].find(": link to the server lost (malformed message length); frames hold "
                           "the last values until it is back\n"),
              std::string::npos)
        << said[0];
    device.Close();
}

// The note for a bad analog report gave the first 4 bytes of its count as a "number".
// Each report refusal names what was wrong.
TEST_F(VrpnDeviceTest, RefusedReportsNameWhatWasWrong)
{
    CRawTrackerRig rig(std::chrono::seconds(0));
    ASSERT_TRUE(rig.Open());
    CRawTrackerServer& server = rig.server;
    CProbeDevice& device = rig.device;
    const auto analog = [](double count, size_t length) {
        std::vector<uint8_t> payload(std::max<size_t>(length, 8), 0);
        vrpn::PutF64(payload.data(), count);
        payload.resize(length);
        return payload;
    };
    std::vector<uint8_t> pose(vrpn::kPosQuatSize, 0);
    vrpn::PutI32(pose.data(), -3);
    const std::vector<std::pair<std::pair<int32_t, std::vector<uint8_t>>, std::string>> hostile = {
        {{2, analog(0, 4)}, "analog report of 4 bytes refused (no channel count)"},
        {{2, analog(300, 8 * 301)}, "analog report with channel count 300 refused (whole numbers "
                                    "0 to 128)"},
        {{2, analog(1.5, 24)}, "analog report with channel count 1.5 refused (whole numbers 0 to "
                               "128)"},
        {{2, analog(-1, 16)}, "analog report with channel count -1 refused (whole numbers 0 to "
                              "128)"},
        {{2, analog(std::numeric_limits<double>::quiet_NaN(), 16)},
         "analog report with channel count nan refused (whole numbers 0 to 128)"},
        {{2, analog(3, 24)}, "analog report of 24 bytes refused (3 channels take 32)"},
        {{0, pose}, "tracker report for sensor -2 refused (sensors 1 to 1024)"},
        {{0, std::vector<uint8_t>(56, 0)}, "tracker report of 56 bytes refused (a pose takes 64)"},
        {{1, std::vector<uint8_t>(12, 0)}, "button report of 12 bytes refused (a change takes 8)"},
    };
    for (size_t i = 0; i < hostile.size(); ++i) {
        ASSERT_TRUE(server.SendRaw(hostile[i].first.first, hostile[i].first.second));
        ASSERT_TRUE(server.SendPose(0, static_cast<double>(i + 1)));
        ASSERT_TRUE(PumpUntil([&] { device.Poll(); },
                              [&] { return device.Row()[0] == static_cast<double>(i + 1); }))
            << "report " << i;
        const std::vector<std::string> said = VrpnNotes();
        ASSERT_EQ(said.size(), 1u) << "report " << i;
        EXPECT_NE(said[0].find((i == 0 ? "" : "last: ") + hostile[i].second), std::string::npos)
            << said[0];
        EXPECT_EQ(said[0].find("for number"), std::string::npos) << said[0];
    }
    EXPECT_EQ(device.GetMalformedReports(), hostile.size());
    EXPECT_EQ(device.GetDropCount(), 0u);
    device.Close();
}

// A server that takes the connection but whose link never opens (another version's
// cookie) looked like no server at all. The failure is said with its reason, and so is
// the link once it opens.
TEST_F(VrpnDeviceTest, ALinkThatDoesNotOpenIsSaid)
{
    CRawTrackerRig rig(std::chrono::seconds(0));
    CRawTrackerServer& server = rig.server;
    CProbeDevice& device = rig.device;
    g_messages.Drain();
    const std::string name = "<VRPN> Raw@tcp://127.0.0.1:" + std::to_string(server.Port());
    ASSERT_TRUE(server.RefuseCookie(device));
    std::vector<std::string> said;
    ASSERT_TRUE(PumpUntil([&] { device.Poll(); }, [&] {
        const std::vector<std::string> notes = VrpnNotes();
        said.insert(said.end(), notes.begin(), notes.end());
        return !said.empty();
    }));
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0], name + ": the server answered but the link did not open (cookie "
                              "refused); tried again every 2 s\n");
    EXPECT_EQ(device.GetConnectCount(), 0u);
    ASSERT_TRUE(server.Open(device));
    said = VrpnNotes();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0], name + ": connected to the server\n");
    device.Close();
}

// Frames made before the first connection hold the initial values: said with their
// count when the link opens.
TEST_F(VrpnDeviceTest, FramesBeforeTheFirstConnectionAreSaid)
{
    CRawTrackerRig rig;
    CRawTrackerServer& server = rig.server;
    CProbeDevice& device = rig.device;
    g_messages.Drain();
    for (int i = 0; i < 5; ++i) device.Step();
    EXPECT_EQ(device.GetFramesWithoutServer(), 5u);
    ASSERT_TRUE(server.Open(device));
    const std::vector<std::string> said = VrpnNotes();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0], "<VRPN> Raw@tcp://127.0.0.1:" + std::to_string(server.Port()) +
                           ": connected to the server after 5 frames made without it (they hold "
                           "the first values)\n");
    device.Close();
    EXPECT_TRUE(VrpnNotes().empty());
    // A server never reached: its frames are said when the device closes.
    CRawTrackerRig absent;
    absent.server.GoAway(true);
    for (int i = 0; i < 3; ++i) absent.device.Step();
    absent.device.Close();
    // Said at once, then when it closes.
    const std::vector<std::string> closing = VrpnNotes();
    ASSERT_EQ(closing.size(), 2u);
    const std::string absentName = "<VRPN> Raw@tcp://127.0.0.1:" + std::to_string(absent.server.Port());
    EXPECT_EQ(closing[0], absentName + ": no server answers at 127.0.0.1:" +
                              std::to_string(absent.server.Port()) +
                              " (connection failed: Connection refused); tried again every 2 s\n");
    EXPECT_EQ(closing[1], absentName + ": closed without ever reaching the server; 3 frames were "
                                       "made without it\n");
}

// A recording's header fixes its frame layout from the moment its writer opens: a server
// that changes its channel count meanwhile (waiting for the start, at the start, during,
// at the stop) leaves the shape as it was; the channels take the values they have room
// for, missing ones keep their last value, extra ones are dropped, counted and said. The
// file reads back whole. Once the writer closed, the next report re-shapes.
TEST_F(VrpnDeviceTest, AnalogRecordingKeepsItsHeadersShapeWhileTheServerReshapes)
{
    for (bool useThread : {false, true}) {
        SCOPED_TRACE(useThread ? "threaded writer" : "plain writer");
        CTrialFolder folder;
        CRawTrackerServer server;
        CRecordingOwner owner;
        CProbeDevice device(wxString::Format("Raw@tcp://127.0.0.1:%d", server.Port()), false);
        device.SetOwner(&owner);
        ASSERT_TRUE(server.Open(device));
        ASSERT_TRUE(PumpUntil(
            [&] {
                ASSERT_TRUE(SendAnalog(server, Counting(1, 4)));
                device.Poll();
            },
            [&] { return device.Row() == Counting(1, 4); }));
        EXPECT_TRUE(device.TakeViewGridRequest());
        g_messages.Drain();

        ASSERT_TRUE(device.SetupWriter(folder.Path(), "shape", 1, false, "", useThread, 100, 1));
        const wxString file = device.GetWriterFileName();
        // Fewer channels while the trial waits for its start.
        ASSERT_TRUE(SendAnalog(server, {5, 6}));
        ASSERT_TRUE(PumpUntil([&] { device.Poll(); },
                              [&] { return device.Row() == std::vector<double>{5, 6, 3, 4}; }));
        device.Reset();
        ASSERT_TRUE(device.StartRecording());
        CRecordedRows recorded(device);
        // More at the start, then fewer, more, as many.
        ASSERT_TRUE(SendAnalog(server, Counting(10, 6)));
        ASSERT_TRUE(recorded.StepUntil(10));
        EXPECT_EQ(recorded.rows.back(), Counting(10, 4));
        ASSERT_TRUE(SendAnalog(server, {20}));
        ASSERT_TRUE(recorded.StepUntil(20));
        EXPECT_EQ(recorded.rows.back(), (std::vector<double>{20, 11, 12, 13}));
        ASSERT_TRUE(SendAnalog(server, Counting(30, 8)));
        ASSERT_TRUE(recorded.StepUntil(30));
        ASSERT_TRUE(SendAnalog(server, Counting(40, 4)));
        ASSERT_TRUE(recorded.StepUntil(40));
        for (int i = 0; i < 3; ++i) recorded.Step();
        // Fewer right at the stop.
        ASSERT_TRUE(SendAnalog(server, {50, 51, 52}));
        ASSERT_TRUE(recorded.StepUntil(50));
        EXPECT_EQ(recorded.rows.back(), (std::vector<double>{50, 51, 52, 43}));
        EXPECT_EQ(device.GetChannelCount(), 4);
        EXPECT_FALSE(device.TakeViewGridRequest());
        ASSERT_TRUE(device.FinishRecording());
        ASSERT_TRUE(device.StopRecording());
        recorded.ExpectInFile(file, 4, 1);
        EXPECT_EQ(device.GetCutReports(), 2u);
        EXPECT_EQ(device.GetDroppedValues(), 6u);
        std::vector<std::string> said = VrpnNotes();
        ASSERT_EQ(said.size(), 1u);
        EXPECT_NE(said[0].find("a report of 6 values, 2 more than the 4 channels kept (the "
                               "layout of the recording under way)"),
                  std::string::npos)
            << said[0];

        // The writer closed: the server's shape is taken at its next report.
        EXPECT_EQ(device.GetChannelCount(), 4);
        ASSERT_TRUE(PumpUntil(
            [&] {
                ASSERT_TRUE(SendAnalog(server, {60, 61, 62}));
                device.Poll();
            },
            [&] { return device.Row() == std::vector<double>{60, 61, 62}; }));
        EXPECT_EQ(device.GetChannelCount(), 3);
        EXPECT_TRUE(device.TakeViewGridRequest());
        device.Close();
        said = VrpnNotes();
        ASSERT_EQ(said.size(), 1u);
        EXPECT_NE(said[0].find("2 reports carried values past the channels; 6 values were "
                               "dropped in all"),
                  std::string::npos)
            << said[0];
    }
}

// A tracker's sensors grow only while no recording holds the layout: a report for a
// sensor past the channels is dropped, counted (its seven values) and said meanwhile.
TEST_F(VrpnDeviceTest, TrackerRecordingKeepsItsSensorsWhileTheServerAddsOne)
{
    CTrialFolder folder;
    CRawTrackerRig rig;
    ASSERT_TRUE(rig.Open());
    CRawTrackerServer& server = rig.server;
    CProbeDevice& device = rig.device;
    ASSERT_TRUE(server.SendPose(0, 1.0));
    ASSERT_TRUE(PumpUntil([&] { device.Poll(); }, [&] { return device.Row()[0] == 1.0; }));
    ASSERT_TRUE(device.SetupWriter(folder.Path(), "sensors", 1, false, "", false, 100, 1));
    const wxString file = device.GetWriterFileName();
    // A new sensor while the trial waits for its start, at the start and during it.
    ASSERT_TRUE(server.SendPose(2, 9.0));
    ASSERT_TRUE(server.SendPose(0, 2.0));
    ASSERT_TRUE(PumpUntil([&] { device.Poll(); }, [&] { return device.Row()[0] == 2.0; }));
    device.Reset();
    ASSERT_TRUE(device.StartRecording());
    CRecordedRows recorded(device);
    ASSERT_TRUE(server.SendPose(1, 9.0));
    ASSERT_TRUE(server.SendPose(0, 3.0));
    ASSERT_TRUE(recorded.StepUntil(3.0));
    for (int i = 0; i < 3; ++i) recorded.Step();
    ASSERT_TRUE(server.SendPose(5, 9.0));
    ASSERT_TRUE(server.SendPose(0, 4.0));
    ASSERT_TRUE(recorded.StepUntil(4.0));
    EXPECT_EQ(device.GetChannelCount(), 1);
    ASSERT_TRUE(device.FinishRecording());
    ASSERT_TRUE(device.StopRecording());
    recorded.ExpectInFile(file, 1, 7);
    EXPECT_EQ(device.GetCutReports(), 3u);
    EXPECT_EQ(device.GetDroppedValues(), 21u);
    const std::vector<std::string> said = VrpnNotes();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("a report for sensor 3, past the 1 channels kept"), std::string::npos)
        << said[0];
    // Once the writer closed, the next report for a new sensor grows the channels: it is
    // stored, and the pose sensor 0 reported last stays.
    ASSERT_TRUE(server.SendPose(2, 9.0));
    ASSERT_TRUE(PumpUntil([&] { device.Poll(); }, [&] { return device.Row().size() == 21u; }));
    EXPECT_EQ(device.Row()[14], 9.0);
    EXPECT_EQ(device.Row()[0], 4.0);
    device.Close();
}

// Trials opened, started and closed while the device records on its acquisition thread
// and the server changes its channel count all along: each file holds the layout of its
// header and every frame the device offered it; none is refused.
TEST_F(VrpnDeviceThreads, TrialsKeepTheirHeadersShapeWhileTheServerReshapes)
{
    CTrialFolder folder;
    CRawTrackerServer server;
    CRecordingOwner owner;
    CVrpnDevice device(false, wxString::Format("Raw@tcp://127.0.0.1:%d", server.Port()), false);
    device.SetOwner(&owner);
    const double rate = 200.0;
    bool changed = false;
    device.SetParam(&rate, 0, 1, PARAM_DOUBLE, &changed);
    ASSERT_TRUE(server.Open(device));
    ASSERT_TRUE(device.Create(false));
    ASSERT_TRUE(device.RunThread());
    CLogCapture log;
    std::atomic<bool> isDone{false};
    std::thread sender([&] {
        const std::vector<double> values = Counting(1, 12);
        for (int i = 0; !isDone.load(); ++i) {
            std::vector<uint8_t> payload(8 + 8 * values.size());
            const int count = 1 + (i * 5) % 12;
            const size_t length = vrpn::EncodeAnalog(payload.data(), values.data(), count);
            payload.resize(length);
            server.SendRaw(2, payload);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    CAnalogRecorder* recorder = device.GetRecorder();
    ASSERT_NE(recorder, nullptr);
    for (int trial = 1; trial <= 4; ++trial) {
        SCOPED_TRACE(testing::Message() << "trial " << trial);
        ASSERT_TRUE(device.SetupWriter(folder.Path(), "threads", trial, false, "", trial % 2 == 0,
                                       100, 1));
        const wxString file = device.GetWriterFileName();
        ASSERT_TRUE(device.StartRecording());
        EXPECT_TRUE(PumpUntil([] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); },
                              [&] { return recorder->GetFramesWritten() >= 10; }));
        ASSERT_TRUE(device.FinishRecording());
        const int64_t written = recorder->GetFramesWritten();
        ASSERT_TRUE(device.StopRecording());
        CAnalogReader reader;
        ASSERT_TRUE(reader.Open(file));
        const int32_t channels = reader.GetChannelCount();
        ASSERT_GE(channels, 1);
        EXPECT_EQ(reader.GetDim(), 1);
        EXPECT_EQ(reader.GetFrameCount(), written);
        std::vector<double> frame(static_cast<size_t>(channels));
        for (int64_t f = 0; f < reader.GetFrameCount(); ++f)
            ASSERT_TRUE(reader.GetFrame(frame.data(), channels, f)) << "frame " << f;
    }
    isDone = true;
    sender.join();
    device.Close();
    for (const std::string& message : log.Messages())
        EXPECT_EQ(message.find("<REC>"), std::string::npos) << message;
}
