#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "analog/fakeSinks.h"
#include "wii/wiiDevice.h"
#include "wii/wiiLayer.h"
#include "wii/wiiTestSupport.h"

namespace {

using namespace std::chrono_literals;

class WiiLayerThreads : public WiiSimulatedTest {
protected:
    // Waits until every poller has made more passes than it had; bounded.
    bool WaitPasses(int more)
    {
        const int target = m_passes.load() + more;
        return WiiUntil([&] { return m_passes.load() >= target; },
                        [] { std::this_thread::yield(); });
    }
    std::atomic<int> m_passes{0};
};

// The GUI thread searches again and cleans up while acquisition threads poll and read
// their slots: every query sees a whole array or none.
TEST_F(WiiLayerThreads, SearchAndCleanupRacePolls)
{
    CWiiSimulator board(CWiiSimulator::Kind::Board);
    CWiiSimulator remote(CWiiSimulator::Kind::Remote, CWiiSimulator::Extension::Nunchuk);
    board.SetStreamPeriod(5);
    remote.SetStreamPeriod(5);
    board.SetLoads(20.0, 20.0, 20.0, 20.0);
    m_source->Add(&board);
    m_source->Add(&remote);
    ASSERT_EQ(Search(), 2);

    std::atomic<bool> stop{false};
    std::vector<std::thread> pollers;
    for (int slot = 0; slot < 2; ++slot) {
        pollers.emplace_back([&, slot] {
            WiiRemoteData record;
            while (!stop.load()) {
                PollWiiDevices();
                if (TakeWiiRemote(slot, &record) && record.event == kWiiEventData &&
                    record.expansion == kWiiExpansionBoard) {
                    EXPECT_NEAR(record.board.topRight, 20.0, 0.05);
                }
                IsWiiConnected(slot);
                IsWiiBoard(slot);
                HasWiiNunchuk(slot);
                GetWiiBatteryLevel(slot);
                ++m_passes;
            }
        });
    }
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(WaitPasses(50));
        EXPECT_EQ(Search(), 2);
        EXPECT_EQ(GetWiiDeviceName(0), "WiiBoard[1]");
    }
    ASSERT_TRUE(WaitPasses(50));
    CleanupWiiDevices();
    EXPECT_FALSE(IsWiiInitialised());
    ASSERT_TRUE(WaitPasses(50));
    EXPECT_EQ(Search(), 2);
    ASSERT_TRUE(WaitPasses(50));
    stop = true;
    for (std::thread& poller : pollers) poller.join();
    EXPECT_TRUE(IsWiiBoard(0));
    EXPECT_TRUE(HasWiiNunchuk(1));
}

// Two Wii devices poll the one array from their own acquisition threads; a new search
// in between takes their remotes away for a moment and gives them back.
TEST_F(WiiLayerThreads, RunningDevicesGoOnAcrossANewSearch)
{
    CWiiSimulator board(CWiiSimulator::Kind::Board);
    CWiiSimulator remote(CWiiSimulator::Kind::Remote);
    board.SetStreamPeriod(5);
    remote.SetStreamPeriod(5);
    board.SetLoads(15.0, 5.0, 0.0, 0.0);
    m_source->Add(&board);
    m_source->Add(&remote);
    ASSERT_EQ(Search(), 2);
    CFakeView boardView;
    CFakeView remoteView;
    boardView.keepFrames = false;
    remoteView.keepFrames = false;
    {
        CWiiDevice boardDevice(false, 0, false);
        CWiiDevice remoteDevice(false, 1, false);
        ASSERT_TRUE(boardDevice.IsBoard());
        ASSERT_FALSE(remoteDevice.IsBoard());
        boardDevice.AddView(&boardView);
        remoteDevice.AddView(&remoteView);
        ASSERT_TRUE(boardDevice.Create(false));
        ASSERT_TRUE(remoteDevice.Create(false));
        ASSERT_TRUE(boardDevice.RunThread());
        ASSERT_TRUE(remoteDevice.RunThread());
        ASSERT_TRUE(boardView.WaitFrames(10, 20s));
        ASSERT_TRUE(remoteView.WaitFrames(10, 20s));

        ASSERT_EQ(Search(), 2);
        // What the remote's device asked for (motion sensing) survives the new search.
        EXPECT_TRUE(remote.WaitForMode([](uint8_t mode) { return mode == kWiiModeAccel; }));
        int boardFrames = 0;
        {
            std::lock_guard<std::mutex> lock(boardView.mutex);
            boardFrames = boardView.frameCount;
        }
        ASSERT_TRUE(boardView.WaitFrames(boardFrames + 10, 20s));
        EXPECT_TRUE(boardDevice.IsReady());
        boardDevice.Close();
        remoteDevice.Close();
    }
    CleanupWiiDevices();
    EXPECT_FALSE(IsAnyWiiConnected());
}

}  // namespace
