// The VRPN server fed from many threads at once while the GUI thread re-creates it, and
// the whole chain on real acquisition threads: test devices serve, a VRPN device reads.
#include "analog/testDevice.h"
#include "network/vrpnDevice.h"
#include "network/vrpnServerModule.h"
#include "process/networkServices.h"

#include "vrpnTestSupport.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

using vrpntest::Await;
using vrpntest::OpenPeer;
using vrpntest::Peer;
using vrpntest::PumpUntil;
using vrpntest::Received;

namespace {

using VrpnServerThreads = vrpntest::CServerFixture;

// Reads its row under the data mutex, so any thread may look.
class CRowDevice : public CVrpnDevice {
public:
    using CVrpnDevice::CVrpnDevice;
    std::vector<double> Row()
    {
        CMutexLock lock(&m_dataMutex);
        if (!m_values) return {};
        return std::vector<double>(m_values.get(), m_values.get() + m_rowLength);
    }
};

// Until the peer has a button change; counts the pose reports per sensor meanwhile.
bool CountPosesUntilButton(Peer& peer, std::vector<int>& poses)
{
    Received message;
    return Await(peer, message, [&](const Received& m) {
        if (m.type < 0) return false;
        const std::string name = peer.TypeName(m.type);
        if (name == vrpn::kPosQuat) {
            const int sensor = vrpn::GetI32(m.payload.data());
            if (sensor >= 0 && static_cast<size_t>(sensor) < poses.size())
                ++poses[static_cast<size_t>(sensor)];
        }
        return name == vrpn::kButtonChange;
    });
}

}  // namespace

TEST_F(VrpnServerThreads, FramesFromManyThreadsWhileDevicesAreAdded)
{
    constexpr int kThreads = 4;
    constexpr double kLast = 0.5;  // the value of every thread's final frame
    for (int i = 0; i < kThreads; ++i) ASSERT_EQ(VrpnServerAddDevice(1, 0, 2, nullptr), i + 1);
    const int port = GetVrpnServerBoundPort();
    std::atomic<bool> stop{false};
    std::atomic<int> frames{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &stop, &frames] {
            double poses[14] = {};
            for (int frame = 0; !stop.load(); ++frame) {
                for (double& value : poses) value = t * 1e6 + frame;
                VrpnServerSetTracker(t + 1, poses, 2);
                VrpnServerMainloop();
                if (frame % 100 == 0) VrpnServerSetButton(t + 1, 0, (frame / 100) % 2);
                frames.fetch_add(1);
            }
            for (double& value : poses) value = t * 1e6 + kLast;
            VrpnServerSetTracker(t + 1, poses, 2);
            VrpnServerMainloop();
        });
    }
    // The GUI thread meanwhile: a client comes and goes, two devices join.
    {
        Peer peer;
        EXPECT_TRUE(OpenPeer(peer, port, nullptr));
    }
    EXPECT_EQ(VrpnServerAddDevice(1, 3, 0, nullptr), kThreads + 1);
    EXPECT_EQ(VrpnServerAddDevice(1, 0, 1, nullptr), kThreads + 2);
    const int seenBefore = frames.load();
    EXPECT_TRUE(PumpUntil([] { std::this_thread::yield(); },
                          [&] { return frames.load() > seenBefore + 1000; }));
    stop.store(true);
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(GetVrpnServerBoundPort(), port);

    // The last frame of every thread reaches a client that connects afterwards.
    Peer peer;
    ASSERT_TRUE(OpenPeer(peer, port, nullptr));
    std::vector<bool> seen(2 * kThreads, false);
    int count = 0;
    Received report;
    ASSERT_TRUE(Await(peer, report, [&](const Received& m) {
        if (m.type < 0 || peer.TypeName(m.type) != vrpn::kPosQuat) return false;
        const int sensor = vrpn::GetI32(m.payload.data());
        const double x = vrpn::GetF64(m.payload.data() + 8);
        if (sensor < 2 * kThreads && !seen[sensor] && x == (sensor / 2) * 1e6 + kLast) {
            seen[sensor] = true;
            ++count;
        }
        return count == 2 * kThreads;
    }));
}

TEST_F(VrpnServerThreads, TestDevicesServeAVrpnDeviceOnAcquisitionThreads)
{
    SetNetworkServices(nullptr);  // the live services: the process-wide server
    ASSERT_TRUE(StartVrpnServer("Bench"));
    CTestDevice tracker(false, true);
    CTestDevice analog(false, false);
    tracker.AddToVrpn(true);
    analog.AddToVrpn(true);
    ASSERT_EQ(IsVrpnServerStarted(), 3u);
    const int port = GetVrpnServerBoundPort();
    ASSERT_GT(port, 0);
    ASSERT_TRUE(tracker.Create(false));
    ASSERT_TRUE(analog.Create(false));
    ASSERT_TRUE(tracker.RunThread());
    ASSERT_TRUE(analog.RunThread());

    const wxString location = wxString::Format("@tcp://127.0.0.1:%d", port);
    CVrpnDevice trackerReader(false, "Bench" + location, true);
    CVrpnDevice analogReader(false, "Bench" + location, false);
    ASSERT_TRUE(trackerReader.Create(false));
    ASSERT_TRUE(analogReader.Create(false));
    ASSERT_TRUE(trackerReader.RunThread());
    ASSERT_TRUE(analogReader.RunThread());
    // The re-shape happens on the readers' own threads; this thread only looks at atomics
    // and checks the channels once those threads have ended.
    EXPECT_TRUE(PumpUntil([] { std::this_thread::yield(); }, [&] {
        return trackerReader.GetStoredReports() > 32 && analogReader.GetStoredReports() > 4;
    })) << "stored " << trackerReader.GetStoredReports() << ", " << analogReader.GetStoredReports()
         << "; connected " << trackerReader.IsConnected() << analogReader.IsConnected()
         << "; samples " << trackerReader.GetSampleCounter() << ", " << tracker.GetSampleCounter()
         << "; clients " << GetVrpnServerClientCount();
    trackerReader.Close();
    analogReader.Close();
    tracker.Close();
    analog.Close();
    EXPECT_EQ(trackerReader.GetChannelCount(), 8);
    EXPECT_EQ(analogReader.GetChannelCount(), 8);
}

// With two devices joined, each device's frames reached a client twice: every frame ran
// a pass that re-sent every block.
TEST_F(VrpnServerThreads, TwoJoinedDevicesReportEachFrameOnce)
{
    SetNetworkServices(nullptr);
    ASSERT_TRUE(StartVrpnServer("Pair"));
    CTestDevice first(false, true);
    CTestDevice second(false, true);
    first.AddToVrpn(true);
    second.AddToVrpn(true);
    ASSERT_EQ(IsVrpnServerStarted(), 3u);
    Peer peer;
    ASSERT_TRUE(OpenPeer(peer, GetVrpnServerBoundPort()));
    std::vector<int> poses(16, 0);
    ASSERT_TRUE(VrpnServerSetButton(0, 0, 1));  // the end of the opening's full state
    ASSERT_TRUE(CountPosesUntilButton(peer, poses));
    std::fill(poses.begin(), poses.end(), 0);

    ASSERT_TRUE(first.Create(false));
    ASSERT_TRUE(second.Create(false));
    ASSERT_TRUE(first.RunThread());
    ASSERT_TRUE(second.RunThread());
    // About a second of frames at 25 Hz, read as they come.
    Received message;
    EXPECT_TRUE(PumpUntil(
        [&] {
            peer.ReadSome();
            while (peer.TakeMessage(message)) {
                if (message.type >= 0 && peer.TypeName(message.type) == vrpn::kPosQuat) {
                    const int sensor = vrpn::GetI32(message.payload.data());
                    if (sensor >= 0 && sensor < 16) ++poses[static_cast<size_t>(sensor)];
                }
            }
        },
        [&] { return first.GetSampleCounter() >= 25 && second.GetSampleCounter() >= 25; }));
    first.Close();
    second.Close();
    ASSERT_TRUE(VrpnServerSetButton(0, 0, 0));
    ASSERT_TRUE(CountPosesUntilButton(peer, poses));
    const int64_t frames[2] = {first.GetSampleCounter(), second.GetSampleCounter()};
    for (size_t sensor = 0; sensor < 16; ++sensor) {
        const int64_t sent = frames[sensor / 8];
        // Passes that meet may merge two frames into one report; never more reports.
        EXPECT_LE(poses[sensor], sent + 1) << "sensor " << sensor;
        EXPECT_GE(poses[sensor], sent / 2) << "sensor " << sensor;
    }
}

// The client device resumes on its own when its server goes away and comes back on the
// same port: values flow again, the channels keep their shape, one drop, one reconnect.
TEST_F(VrpnServerThreads, ClientDeviceResumesAfterTheServerRestarts)
{
    ASSERT_TRUE(StartVrpnServer("Restart"));
    ASSERT_EQ(VrpnServerAddDevice(1, 3, 0, nullptr), 1);
    const int port = GetVrpnServerBoundPort();
    ASSERT_GT(port, 0);
    CRowDevice reader(false, wxString::Format("Restart@tcp://127.0.0.1:%d", port), false);
    ASSERT_TRUE(reader.Create(false));
    ASSERT_TRUE(reader.RunThread());
    // This thread serves: a frame of the joined device per step.
    const auto serve = [](double base) {
        return [base] {
            const double values[3] = {base, base + 1, base + 2};
            VrpnServerSetAnalog(1, values, 3);
            VrpnServerMainloop();
            std::this_thread::yield();
        };
    };
    ASSERT_TRUE(PumpUntil(serve(1.0), [&] {
        const std::vector<double> row = reader.Row();
        return row.size() == 3 && row[2] == 3.0;
    }));
    EXPECT_TRUE(reader.TakeViewGridRequest());  // 1 -> 3 channels, once
    EXPECT_EQ(reader.GetConnectCount(), 1u);

    StopVrpnServer();
    ASSERT_TRUE(PumpUntil([] { std::this_thread::yield(); },
                          [&] { return reader.GetDropCount() == 1; }));
    EXPECT_FALSE(reader.IsConnected());
    SetVrpnServerPort(port);
    ASSERT_TRUE(StartVrpnServer("Restart"));
    ASSERT_EQ(VrpnServerAddDevice(1, 3, 0, nullptr), 1);
    ASSERT_EQ(GetVrpnServerBoundPort(), port);
    // The client retries every few seconds; the bound only stops a broken build.
    ASSERT_TRUE(PumpUntil(serve(10.0), [&] {
        const std::vector<double> row = reader.Row();
        return row.size() == 3 && row[0] == 10.0 && row[2] == 12.0;
    }));
    EXPECT_FALSE(reader.TakeViewGridRequest());  // the shape was kept
    EXPECT_EQ(reader.GetConnectCount(), 2u);
    EXPECT_EQ(reader.GetDropCount(), 1u);
    reader.Close();
    EXPECT_EQ(reader.GetChannelCount(), 3);
}
