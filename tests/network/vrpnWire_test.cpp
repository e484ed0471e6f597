// Bytes of the VRPN wire layer against the captured exchange of the protocol notes, and
// the bounds every length and count from a peer must pass.
#include "network/vrpnWire.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr vrpn::Time kExampleTime{1700000000, 0};

std::vector<uint8_t> Bytes(std::initializer_list<int> values)
{
    std::vector<uint8_t> out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

vrpn::Message MessageOf(const std::vector<uint8_t>& payload, int32_t sender = 0)
{
    vrpn::Message message;
    message.sender = sender;
    message.payload = payload.data();
    message.length = payload.size();
    return message;
}

}  // namespace

TEST(VrpnWireTest, CookieMatchesTheCapturedBytes)
{
    uint8_t cookie[vrpn::kCookieSize];
    vrpn::MakeCookie(cookie);
    const auto expected = Bytes({0x76, 0x72, 0x70, 0x6e, 0x3a, 0x20, 0x76, 0x65, 0x72, 0x2e, 0x20,
                                 0x30, 0x37, 0x2e, 0x33, 0x38, 0x20, 0x20, 0x30, 0, 0, 0, 0, 0});
    EXPECT_EQ(std::vector<uint8_t>(cookie, cookie + sizeof cookie), expected);
    EXPECT_TRUE(vrpn::IsCookieAccepted(cookie));
    cookie[15] = '4';  // another minor: accepted
    cookie[18] = '3';  // logging asked: accepted (and never honoured)
    EXPECT_TRUE(vrpn::IsCookieAccepted(cookie));
    cookie[18] = '4';
    EXPECT_FALSE(vrpn::IsCookieAccepted(cookie));
    cookie[18] = '0';
    cookie[12] = '6';  // major 06
    EXPECT_FALSE(vrpn::IsCookieAccepted(cookie));
}

TEST(VrpnWireTest, DescriptionsMatchTheCapturedOpening)
{
    uint8_t out[64];
    size_t size = vrpn::EncodeDescription(out, sizeof out, kExampleTime, vrpn::kSenderDescription,
                                          0, "Tracker0");
    const auto sender = Bytes({0x00, 0x00, 0x00, 0x25, 0x65, 0x53, 0xf1, 0x00, 0, 0, 0, 0,
                               0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0,
                               0, 0, 0, 9, 0x54, 0x72, 0x61, 0x63, 0x6b, 0x65, 0x72, 0x30,
                               0, 0, 0, 0});
    ASSERT_EQ(size, 40u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + size), sender);

    size = vrpn::EncodeDescription(out, sizeof out, kExampleTime, vrpn::kTypeDescription, 1,
                                   vrpn::kPong);
    ASSERT_EQ(size, 56u);
    const auto head = Bytes({0x00, 0x00, 0x00, 0x33, 0x65, 0x53, 0xf1, 0x00, 0, 0, 0, 0, 0, 0, 0,
                             1, 0xff, 0xff, 0xff, 0xfe, 0, 0, 0, 0, 0, 0, 0, 0x17});
    EXPECT_EQ(std::vector<uint8_t>(out, out + head.size()), head);
    EXPECT_EQ(std::memcmp(out + 28, "vrpn_Base pong_message", 23), 0);
    for (size_t i = 51; i < 56; ++i) EXPECT_EQ(out[i], 0) << "padding byte " << i;
}

TEST(VrpnWireTest, TrackerReportMatchesTheCapturedMessage)
{
    const double pos[3] = {1.0, 2.0, 3.0};
    const double quat[4] = {0.0, 0.0, 0.0, 1.0};
    uint8_t payload[vrpn::kPosQuatSize];
    ASSERT_EQ(vrpn::EncodePosQuat(payload, 0, pos, quat), 64u);
    uint8_t out[128];
    const size_t size = vrpn::EncodeMessage(out, sizeof out, vrpn::Time{1700000000, 250000}, 0, 0,
                                            payload, sizeof payload);
    ASSERT_EQ(size, 88u);
    const auto header = Bytes({0, 0, 0, 0x58, 0x65, 0x53, 0xf1, 0x00, 0x00, 0x03, 0xd0, 0x90,
                               0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(std::vector<uint8_t>(out, out + 24), header);
    const auto body = Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0x3f, 0xf0, 0, 0, 0, 0, 0, 0,
                             0x40, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x08, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(std::vector<uint8_t>(out + 24, out + 56), body);
    for (int i = 56; i < 80; ++i) EXPECT_EQ(out[i], 0);
    EXPECT_EQ(std::vector<uint8_t>(out + 80, out + 88), Bytes({0x3f, 0xf0, 0, 0, 0, 0, 0, 0}));
}

TEST(VrpnWireTest, ButtonAndAnalogPayloads)
{
    uint8_t out[1100];
    EXPECT_EQ(vrpn::EncodeButtonChange(out, 3, 1), 8u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 8), Bytes({0, 0, 0, 3, 0, 0, 0, 1}));
    const int32_t states[3] = {1, 0, 1};
    EXPECT_EQ(vrpn::EncodeButtonStates(out, states, 3), 16u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 16),
              Bytes({0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}));
    const double values[2] = {-0.5, 1e300};
    ASSERT_EQ(vrpn::EncodeAnalog(out, values, 2), 24u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 16),
              Bytes({0x40, 0, 0, 0, 0, 0, 0, 0, 0xbf, 0xe0, 0, 0, 0, 0, 0, 0}));
    // A payload of 4 x (n + 1) bytes is padded to 8 on the wire.
    uint8_t message[64];
    EXPECT_EQ(vrpn::EncodeMessage(message, sizeof message, vrpn::Time{}, 0, 5, out, 12), 40u);
    EXPECT_EQ(vrpn::GetU32(message), 36u);
}

TEST(VrpnWireTest, ParseRefusesLengthsOutsideTheBounds)
{
    uint8_t buffer[64] = {};
    vrpn::Message message;
    size_t consumed = 0;
    EXPECT_EQ(vrpn::ParseMessage(buffer, 23, message, consumed), vrpn::ParseResult::kNeedMore);
    vrpn::PutU32(buffer, 23);  // below the header
    EXPECT_EQ(vrpn::ParseMessage(buffer, 24, message, consumed), vrpn::ParseResult::kMalformed);
    vrpn::PutU32(buffer, 0xffffffffu);  // would wrap a 32-bit size
    EXPECT_EQ(vrpn::ParseMessage(buffer, 24, message, consumed), vrpn::ParseResult::kMalformed);
    vrpn::PutU32(buffer, static_cast<uint32_t>(24 + vrpn::kMaxPayload + 1));
    EXPECT_EQ(vrpn::ParseMessage(buffer, 24, message, consumed), vrpn::ParseResult::kMalformed);
    vrpn::PutU32(buffer, 24 + 5);  // 5 payload bytes occupy 8
    EXPECT_EQ(vrpn::ParseMessage(buffer, 31, message, consumed), vrpn::ParseResult::kNeedMore);
    ASSERT_EQ(vrpn::ParseMessage(buffer, 40, message, consumed), vrpn::ParseResult::kComplete);
    EXPECT_EQ(consumed, 32u);
    EXPECT_EQ(message.length, 5u);
}

TEST(VrpnWireTest, DescriptionsAreValidatedBeforeUse)
{
    std::string_view name;
    auto good = Bytes({0, 0, 0, 4, 'a', 'b', 'c', 0});
    EXPECT_TRUE(vrpn::DecodeDescription(MessageOf(good, 1999), name));
    EXPECT_EQ(name, "abc");
    EXPECT_FALSE(vrpn::DecodeDescription(MessageOf(good, 2000), name));  // id past the table
    EXPECT_FALSE(vrpn::DecodeDescription(MessageOf(good, -1), name));
    auto longer = Bytes({0, 0, 0, 9, 'a', 'b', 'c', 0});  // N past the payload
    EXPECT_FALSE(vrpn::DecodeDescription(MessageOf(longer), name));
    auto zero = Bytes({0, 0, 0, 0, 'a'});
    EXPECT_FALSE(vrpn::DecodeDescription(MessageOf(zero), name));
    auto unterminated = Bytes({0, 0, 0, 3, 'a', 'b', 'c', 0});
    EXPECT_FALSE(vrpn::DecodeDescription(MessageOf(unterminated), name));
    auto embedded = Bytes({0, 0, 0, 4, 'a', 0, 'c', 0});
    EXPECT_FALSE(vrpn::DecodeDescription(MessageOf(embedded), name));
    std::vector<uint8_t> big(101, 'x');
    vrpn::PutU32(big.data(), 97);
    big[100] = 0;
    EXPECT_FALSE(vrpn::DecodeDescription(MessageOf(big), name));
}

TEST(VrpnWireTest, ReportsAreValidatedBeforeUse)
{
    int32_t sensor = -7;
    double pos[3];
    double quat[4];
    std::vector<uint8_t> pose(64, 0);
    vrpn::PutI32(pose.data(), 2);
    vrpn::PutF64(pose.data() + 56, 1.0);
    ASSERT_TRUE(vrpn::DecodePosQuat(MessageOf(pose), sensor, pos, quat));
    EXPECT_EQ(sensor, 2);
    EXPECT_EQ(quat[3], 1.0);
    pose.push_back(0);
    EXPECT_FALSE(vrpn::DecodePosQuat(MessageOf(pose), sensor, pos, quat));  // not exactly 64
    pose.pop_back();
    vrpn::PutI32(pose.data(), -1);
    EXPECT_FALSE(vrpn::DecodePosQuat(MessageOf(pose), sensor, pos, quat));
    vrpn::PutI32(pose.data(), vrpn::kMaxSensors);
    EXPECT_FALSE(vrpn::DecodePosQuat(MessageOf(pose), sensor, pos, quat));

    int count = -1;
    double values[vrpn::kMaxAnalogChannels];
    std::vector<uint8_t> analog(8 * 3, 0);
    vrpn::PutF64(analog.data(), 2.0);
    vrpn::PutF64(analog.data() + 16, 4.25);
    ASSERT_TRUE(vrpn::DecodeAnalog(MessageOf(analog), count, values));
    EXPECT_EQ(count, 2);
    EXPECT_EQ(values[1], 4.25);
    for (double n : {3.0, 129.0, -1.0, 1.5, std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity(), 1e300}) {
        vrpn::PutF64(analog.data(), n);
        count = -1;
        EXPECT_FALSE(vrpn::DecodeAnalog(MessageOf(analog), count, values)) << n;
        EXPECT_EQ(count, -1);
    }
    int32_t button = 0;
    int32_t state = 0;
    EXPECT_FALSE(vrpn::DecodeButtonChange(MessageOf(std::vector<uint8_t>(12, 0)), button, state));
}

TEST(VrpnWireTest, RandomStreamsNeverReadPastTheBuffer)
{
    // Fixed seed: a failure names the case.
    uint32_t seed = 20240607u;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> data(next() % 200);
        for (auto& byte : data) byte = static_cast<uint8_t>(next());
        if (data.size() >= 4 && round % 2 == 0) vrpn::PutU32(data.data(), 24 + next() % 180);
        size_t offset = 0;
        while (offset < data.size()) {
            vrpn::Message message;
            size_t consumed = 0;
            const auto result =
                vrpn::ParseMessage(data.data() + offset, data.size() - offset, message, consumed);
            if (result != vrpn::ParseResult::kComplete) break;
            ASSERT_LE(offset + consumed, data.size()) << "round " << round;
            std::string_view name;
            if (vrpn::DecodeDescription(message, name)) {
                ASSERT_LE(name.data() + name.size(),
                          reinterpret_cast<const char*>(data.data() + data.size()));
            }
            int count = 0;
            double values[vrpn::kMaxAnalogChannels];
            vrpn::DecodeAnalog(message, count, values);
            offset += consumed;
        }
    }
}
