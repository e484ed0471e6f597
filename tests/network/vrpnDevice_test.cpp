// The VRPN client device against our own server on 127.0.0.1: poses, analog values and
// buttons arrive bit-exact, the channels follow the remote, parameters keep their rules.
#include "network/vrpnDevice.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "analog/fakeNetwork.h"
#include "analog/paramType.h"
#include "network/vrpnServerModule.h"
#include "process/fakeDevice.h"
#include "process/messageQueue.h"
#include "support/localeGuard.h"
#include "support/logCapture.h"
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

// A server of our own making on 127.0.0.1 that says what a test wants: it takes the
// device's connection, exchanges cookies and describes one tracker service.
class CRawTrackerServer {
public:
    CRawTrackerServer()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof local;
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
            ::listen(m_listener, 1) == 0 &&
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&local), &length) == 0)
            m_port = ntohs(local.sin_port);
    }
    ~CRawTrackerServer() { ::close(m_listener); }
    int Port() const { return m_port; }

    // Until the device is connected and has the opening.
    bool Open(CVrpnDevice& device)
    {
        if (!PumpUntil([&] { device.Poll(); }, [&] {
                const int socket = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK);
                if (socket < 0) return false;
                m_peer.Adopt(socket);
                return true;
            }))
            return false;
        std::vector<uint8_t> cookie;
        return m_peer.SendCookie() &&
               PumpUntil(
                   [&] {
                       device.Poll();
                       m_peer.ReadSome();
                   },
                   [&] { return m_peer.TakeCookie(cookie); }) &&
               m_peer.SendDescription(vrpn::kSenderDescription, 0, "Raw") &&
               m_peer.SendDescription(vrpn::kTypeDescription, 0, vrpn::kPosQuat) &&
               m_peer.SendDescription(vrpn::kTypeDescription, 1, vrpn::kButtonChange);
    }
    // Any payload under our type 0 (pose) or 1 (button change).
    bool SendRaw(int32_t type, const std::vector<uint8_t>& payload)
    {
        return m_peer.SendMessage(0, type, payload.data(), payload.size());
    }
    bool SendPose(int32_t sensor, double x)
    {
        const double pos[3] = {x, 0.0, 0.0};
        const double quat[4] = {0.0, 0.0, 0.0, 1.0};
        uint8_t payload[vrpn::kPosQuatSize];
        const size_t length = vrpn::EncodePosQuat(payload, sensor, pos, quat);
        return m_peer.SendMessage(0, 0, payload, length);
    }

private:
    int m_listener = -1;
    int m_port = 0;
    vrpntest::Peer m_peer;
};

// A tracker device on a raw server, connected, the messages so far drained.
class CRawTrackerRig {
public:
    CRawTrackerRig() : device(wxString::Format("Raw@tcp://127.0.0.1:%d", server.Port()), true)
    {
        device.SetOwner(&owner);
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
    std::vector<std::string> said;
    for (const QueuedMessage& message : g_messages.Drain()) {
        if (message.text.find("<VRPN> ") != std::string::npos) said.push_back(message.text);
    }
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("sensor 1023 refused"), std::string::npos) << said[0];
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
    std::vector<std::string> said;
    for (const QueuedMessage& message : g_messages.Drain()) {
        if (message.text.find("<VRPN> ") != std::string::npos) said.push_back(message.text);
    }
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("tracker report of 64 bytes for number 1024 refused"), std::string::npos)
        << said[0];
    EXPECT_EQ(said[0].back(), '\n');
    device.Close();
}
