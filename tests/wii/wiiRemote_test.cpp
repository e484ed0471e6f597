#include "wii/wiiRemote.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

namespace {

// A remote record on one end of a packet socket pair; the test plays the remote on
// the other end.
class WiiRemoteTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        m_host = pair[0];
        m_far = pair[1];
    }
    void TearDown() override
    {
        if (m_far >= 0) ::close(m_far);
    }
    void Send(const std::vector<uint8_t>& report)
    {
        ASSERT_EQ(::send(m_far, report.data(), report.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(report.size()));
    }
    // Answers queued before the exchange starts: a status report without extension and
    // a failed read of the accelerometer calibration (the defaults then apply).
    bool AttachQuietRemote(CWiiRemote& remote)
    {
        Send({0x20, 0, 0, 0x00, 0, 0, 0x64});
        std::vector<uint8_t> failedRead(22, 0);
        failedRead[0] = 0x21;
        failedRead[3] = 0xF8;
        failedRead[5] = 0x16;  // the address asked for: the calibration block
        Send(failedRead);
        return remote.Attach(std::make_unique<CWiiLink>(m_host), 1000);
    }
    int m_host = -1;  // owned by the link once attached
    int m_far = -1;
};

TEST_F(WiiRemoteTest, ARemoteThatNeverAnswersIsNotConnected)
{
    CWiiRemote remote;
    EXPECT_FALSE(remote.Attach(std::make_unique<CWiiLink>(m_host), 50));
    EXPECT_FALSE(remote.IsConnected());
    EXPECT_FALSE(remote.Attach(nullptr, 50));
}

// Reports from a device are untrusted: cut, oversized, out-of-place and random ones
// must leave the record sane and never write outside it.
TEST_F(WiiRemoteTest, RandomReportsAreHandledSafely)
{
    CWiiRemote remote;
    ASSERT_TRUE(AttachQuietRemote(remote));
    remote.SetMotionSensing(true);
    const unsigned seed = 20261207;
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(1, 30);
    std::uniform_int_distribution<int> id(0x20, 0x3F);
    for (int i = 0; i < 3000; ++i) {
        std::vector<uint8_t> report(static_cast<size_t>(length(random)));
        for (uint8_t& value : report) value = static_cast<uint8_t>(byte(random));
        report[0] = static_cast<uint8_t>(id(random));
        Send(report);
        if (i % 50 == 0) remote.SetMotionPlus(true);  // keeps reads in flight to answer
        if (i % 7 == 0) {
            remote.Pump();
            WiiRemoteData taken;
            remote.TakeEvents(&taken);
            ASSERT_TRUE(std::isfinite(taken.orientation.roll)) << "seed " << seed;
            ASSERT_TRUE(std::isfinite(taken.board.topRight)) << "seed " << seed;
            ASSERT_TRUE(std::isfinite(taken.nunchuk.joystick.angle)) << "seed " << seed;
            ASSERT_GE(taken.batteryLevel, 0.0f);
            ASSERT_LE(taken.batteryLevel, 1.0f);
        }
    }
    while (remote.Pump()) {
        WiiRemoteData taken;
        remote.TakeEvents(&taken);
    }
    EXPECT_TRUE(remote.IsConnected());
    ::close(m_far);
    m_far = -1;
    remote.Pump();
    EXPECT_FALSE(remote.IsConnected());
    EXPECT_EQ(remote.event, kWiiEventUnexpectedDisconnect);
}

}  // namespace
