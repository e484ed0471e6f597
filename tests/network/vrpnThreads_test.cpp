// The VRPN server fed from many threads at once while the GUI thread re-creates it, and
// the whole chain on real acquisition threads: test devices serve, a VRPN device reads.
#include "analog/testDevice.h"
#include "network/vrpnDevice.h"
#include "network/vrpnServerModule.h"
#include "process/networkServices.h"

#include "vrpnTestSupport.h"

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
