// The VRPN client device against our own server on 127.0.0.1: poses, analog values and
// buttons arrive bit-exact, the channels follow the remote, parameters keep their rules.
#include "network/vrpnDevice.h"

#include <atomic>
#include <numeric>
#include <thread>
#include <vector>

#include "analog/analogReader.h"
#include "analog/paramType.h"
#include "network/vrpnServerModule.h"
#include "process/fakeDevice.h"
#include "support/localeGuard.h"
#include "support/logCapture.h"
#include "support/tempDir.h"
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
    CProbeDevice tracker("Dev@tcp://127.0.0.1:1", true);
    EXPECT_EQ(tracker.GetDeviceType(), 8);
    EXPECT_TRUE(tracker.IsTracker());
    EXPECT_EQ(tracker.Row(), (std::vector<double>{0, 0, 0, 1, 0, 0, 0}));  // identity, w first
    tracker.Close();

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

// Trials opened, started and closed while the device records on its acquisition thread
// and the server changes its channel count all along: each file holds the layout of its
// header and every frame the device offered it; none is refused.
using VrpnTrialThreads = TempDirTest;

TEST_F(VrpnTrialThreads, TrialsKeepTheirHeadersShapeWhileTheServerReshapes)
{
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
        std::vector<double> values(12);
        std::iota(values.begin(), values.end(), 1.0);
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
        ASSERT_TRUE(device.SetupWriter(wxString(Dir().string()), "threads", trial, false, "", trial % 2 == 0,
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
