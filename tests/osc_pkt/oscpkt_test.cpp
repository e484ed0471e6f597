#include "osc_pkt/oscpkt.h"

#include <gtest/gtest.h>

#include "network/oscTestSupport.h"
#include "oscFuzzOne.h"

#include <cstring>
#include <random>
#include <string>
#include <vector>

using osctest::Bundle;
using osctest::Bytes;
using osctest::Message;
using osctest::Packet;
using osctest::PutBe32;
using osctest::PutBe64;
using osctest::PutString;

namespace {

OscErrorCode ParseError(const Bytes& packet)
{
    OscPacketParser parser(packet.data(), packet.size());
    if (!parser.IsOk()) {
        EXPECT_EQ(parser.PopMessage(), nullptr);
    }
    return parser.Error();
}

}  // namespace

TEST(OscPacketTest, EncodesTheExactWireLayout)
{
    OscMessage message("/x");
    message.PushString("abc");
    const Bytes expected = {0x2F, 0x78, 0, 0, 0x2C, 0x73, 0, 0, 0x61, 0x62, 0x63, 0};
    EXPECT_EQ(Packet(message), expected);

    // Numbers are big-endian: 1.0f = 3F800000, 1.0 = 3FF0000000000000.
    OscMessage numbers("/n");
    numbers.PushFloat(1.0f).PushDouble(1.0).PushString("");
    const Bytes args = {0x3F, 0x80, 0, 0, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Packet(numbers), Message("/n", ",fds", args));

    OscMessage empty("/a");
    EXPECT_EQ(Packet(empty), Message("/a", ","));
}

TEST(OscPacketTest, RoundTripsEveryEncodedType)
{
    OscMessage message("/data/osc_device", 77);
    message.PushFloat(-2.5f).PushDouble(1e300).PushString("label text").PushInt32(-7);
    const Bytes packet = Packet(message);
    OscPacketParser parser(packet.data(), packet.size());
    const OscMessage* decoded = parser.PopMessage();
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->Address(), "/data/osc_device");
    EXPECT_EQ(decoded->TypeTags(), "fdsi");
    EXPECT_EQ(decoded->TimeTag(), kOscImmediate);
    OscArgCursor args = decoded->Args();
    EXPECT_EQ(args.PopFloat(), -2.5);
    EXPECT_EQ(args.PopDouble(), 1e300);
    std::string text;
    EXPECT_TRUE(args.PopString(text));
    EXPECT_EQ(text, "label text");
    EXPECT_EQ(args.PopInt32(), -7);
    EXPECT_TRUE(args.IsOk());
    EXPECT_EQ(parser.PopMessage(), nullptr);
}

TEST(OscPacketTest, PacketSizesAndEmptyMessages)
{
    const Bytes six = {'/', 'a', 0, 0, ',', 0};
    OscPacketParser parser(six.data(), six.size());
    EXPECT_EQ(parser.Error(), OscErrorCode::InvalidPacketSize);
    EXPECT_EQ(parser.PopMessage(), nullptr);

    parser.Init(nullptr, 0);
    EXPECT_TRUE(parser.IsOk());
    EXPECT_EQ(parser.PopMessage(), nullptr);

    const Bytes bare = Message("/a", ",");
    parser.Init(bare.data(), bare.size());
    const OscMessage* message = parser.PopMessage();
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->Address(), "/a");
    EXPECT_EQ(message->TypeTags(), "");
    EXPECT_EQ(message->ArgCount(), 0u);
}

TEST(OscPacketTest, MalformedMessagesGiveTheErrorOfTheFaultyElement)
{
    EXPECT_EQ(ParseError(Message("a", ",")), OscErrorCode::MalformedAddressPattern);
    EXPECT_EQ(ParseError(Message("/a", "i", {0, 0, 0, 1})), OscErrorCode::MalformedTypeTags);
    EXPECT_EQ(ParseError(Message("/a", ",x", {0, 0, 0, 1})), OscErrorCode::UnhandledTypeTag);
    EXPECT_EQ(ParseError(Message("/abc", ",i")), OscErrorCode::MalformedArguments);
    EXPECT_EQ(ParseError(Message("/a", ",", {0, 0, 0, 0})), OscErrorCode::MalformedArguments);
    Bytes noTags;
    PutString(noTags, "/a");
    EXPECT_EQ(ParseError(noTags), OscErrorCode::MalformedTypeTags);
    Bytes noNul = {'/', 'a', 'b', 'c'};
    EXPECT_EQ(ParseError(noNul), OscErrorCode::MalformedAddressPattern);

    // A non-zero padding byte: the error of the element it follows.
    Bytes address = Message("/a", ",");
    address[3] = 1;
    EXPECT_EQ(ParseError(address), OscErrorCode::MalformedAddressPattern);
    Bytes tags = Message("/a", ",");
    tags[6] = 1;
    EXPECT_EQ(ParseError(tags), OscErrorCode::MalformedTypeTags);
    Bytes text;
    PutString(text, "ab");
    Bytes string = Message("/a", ",s", text);
    string.back() = 1;
    EXPECT_EQ(ParseError(string), OscErrorCode::MalformedArguments);
    Bytes unterminated = Message("/a", ",s", {'a', 'b', 'c', 'd'});
    EXPECT_EQ(ParseError(unterminated), OscErrorCode::MalformedArguments);
}

TEST(OscPacketTest, BlobCountsAreCheckedBeforeUse)
{
    Bytes blob;
    PutBe32(blob, 3);
    blob.insert(blob.end(), {9, 8, 7, 0});
    OscPacketParser parser;
    const Bytes good = Message("/b", ",b", blob);
    parser.Init(good.data(), good.size());
    ASSERT_TRUE(parser.IsOk());
    EXPECT_EQ(parser.PopMessage()->Args().NextTag(), 'b');

    // Counts near 2^32 used to wrap the 32-bit offset and read past the packet.
    for (std::uint32_t count : {0xFFFFFFFFu, 0xFFFFFFFCu, 0xFFFFFFF9u, 0x80000000u, 5u}) {
        Bytes huge;
        PutBe32(huge, count);
        huge.insert(huge.end(), {1, 2, 3, 4});
        EXPECT_EQ(ParseError(Message("/b", ",b", huge)), OscErrorCode::MalformedArguments) << count;
    }
    EXPECT_EQ(ParseError(Message("/b", ",b")), OscErrorCode::MalformedArguments);
}

TEST(OscPacketTest, BundlesCarryTheirTimeTag)
{
    const Bytes packet = Bundle(0x0102030405060708ull, {Message("/a", ","), Message("/b", ",")});
    OscPacketParser parser(packet.data(), packet.size());
    ASSERT_TRUE(parser.IsOk());
    const OscMessage* first = parser.PopMessage();
    const OscMessage* second = parser.PopMessage();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->Address(), "/a");
    EXPECT_EQ(second->Address(), "/b");
    EXPECT_EQ(first->TimeTag(), 0x0102030405060708ull);
    EXPECT_EQ(second->TimeTag(), 0x0102030405060708ull);
    EXPECT_EQ(parser.PopMessage(), nullptr);

    // Nested bundles and zero-size elements.
    const Bytes nested = Bundle(5, {Bundle(6, {Message("/in", ",")}), Bytes{}});
    parser.Init(nested.data(), nested.size());
    ASSERT_TRUE(parser.IsOk());
    const OscMessage* inner = parser.PopMessage();
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->TimeTag(), 6u);

    // A bundle of no element is valid: no message, no error, alone or nested.
    for (const Bytes& empty : {Bundle(7, {}), Bundle(7, {Bundle(8, {})})}) {
        parser.Init(empty.data(), empty.size());
        EXPECT_TRUE(parser.IsOk());
        EXPECT_EQ(parser.PopMessage(), nullptr);
    }
}

TEST(OscPacketTest, MalformedBundlesAreRefused)
{
    // Shorter than "#bundle" and its time tag.
    Bytes twelve;
    PutString(twelve, "#bundle");
    PutBe32(twelve, 1);
    EXPECT_EQ(ParseError(twelve), OscErrorCode::InvalidBundle);

    Bytes notBundle = Bundle(1, {Message("/a", ",")});
    notBundle[1] = 'B';
    EXPECT_EQ(ParseError(notBundle), OscErrorCode::InvalidBundle);

    Bytes oddElement = Bundle(1, {});
    PutBe32(oddElement, 6);
    oddElement.insert(oddElement.end(), 8, 0);
    EXPECT_EQ(ParseError(oddElement), OscErrorCode::InvalidBundle);

    Bytes pastEnd = Bundle(1, {});
    PutBe32(pastEnd, 64);
    EXPECT_EQ(ParseError(pastEnd), OscErrorCode::InvalidBundle);

    // An error inside an element wins and hides the messages before it.
    const Bytes badInner = Bundle(1, {Message("/a", ","), Message("x", ",")});
    EXPECT_EQ(ParseError(badInner), OscErrorCode::MalformedAddressPattern);
}

TEST(OscPacketTest, BundleNestingIsBounded)
{
    // Each level is "#bundle", a time tag and the size of everything after it.
    const auto nestedTo = [](int depth) {
        const Bytes inner = Message("/deep", ",");
        Bytes packet;
        packet.reserve(static_cast<std::size_t>(depth) * 20 + inner.size());
        for (int level = 0; level < depth; ++level) {
            PutString(packet, "#bundle");
            PutBe64(packet, 1);
            PutBe32(packet, static_cast<std::uint32_t>((depth - level - 1) * 20 + inner.size()));
        }
        packet.insert(packet.end(), inner.begin(), inner.end());
        return packet;
    };
    OscPacketParser parser;
    const Bytes deepest = nestedTo(kOscMaxBundleDepth);
    parser.Init(deepest.data(), deepest.size());
    EXPECT_TRUE(parser.IsOk());
    EXPECT_NE(parser.PopMessage(), nullptr);
    EXPECT_EQ(ParseError(nestedTo(kOscMaxBundleDepth + 1)), OscErrorCode::InvalidBundle);
    // Far deeper than any stack would allow if the recursion were unbounded.
    EXPECT_EQ(ParseError(nestedTo(200000)), OscErrorCode::InvalidBundle);
}

TEST(OscPacketTest, ArgumentCursorChecksInOrder)
{
    OscMessage message("/i");
    message.PushInt32(42);
    OscArgCursor mismatch = message.Args();
    EXPECT_EQ(mismatch.PopFloat(), 0.0);
    EXPECT_EQ(mismatch.Error(), OscErrorCode::TypeMismatch);
    // The first error is kept, and an erroneous cursor reads nothing.
    EXPECT_EQ(mismatch.PopInt32(), 0.0);
    EXPECT_EQ(mismatch.Error(), OscErrorCode::TypeMismatch);

    OscArgCursor past = message.Args();
    EXPECT_EQ(past.PopInt32(), 42.0);
    EXPECT_EQ(past.PopInt32(), 0.0);
    EXPECT_EQ(past.Error(), OscErrorCode::NotEnoughArguments);
    EXPECT_FALSE(past.Skip());

    Bytes args;
    PutBe64(args, static_cast<std::uint64_t>(-4294967301ll));  // past 32 bits
    const Bytes packet = Message("/h", ",h", args);
    OscPacketParser parser(packet.data(), packet.size());
    EXPECT_EQ(parser.PopMessage()->Args().PopInt64(), -4294967301.0);
}

TEST(OscPacketTest, BuildersAndMessagesKeepTheirFirstError)
{
    OscPacketBuilder builder;
    OscMessage message("/one");
    builder.AddMessage(message);
    EXPECT_GT(builder.PacketSize(), 0u);
    builder.AddMessage(message);
    EXPECT_EQ(builder.Error(), OscErrorCode::BadArgument);
    EXPECT_EQ(builder.PacketSize(), 0u);
    EXPECT_EQ(builder.PacketData(), nullptr);

    OscMessage bad("no-slash");
    EXPECT_EQ(bad.Error(), OscErrorCode::MalformedAddressPattern);
    OscMessage empty("");
    EXPECT_EQ(empty.Error(), OscErrorCode::MalformedAddressPattern);
    builder.Init().AddMessage(bad);
    EXPECT_EQ(builder.Error(), OscErrorCode::MalformedAddressPattern);
    EXPECT_EQ(builder.PacketSize(), 0u);

    // Reuse after Init gives a fresh packet.
    builder.Init();
    EXPECT_EQ(builder.PacketData(), nullptr);
    builder.AddMessage(message);
    EXPECT_TRUE(builder.IsOk());
}

TEST(OscPacketTest, DecoderSurvivesRandomAndMutatedPackets)
{
    const unsigned seed = 20261207;
    std::mt19937 random(seed);
    std::vector<Bytes> seeds;
    OscMessage message("/data/dev");
    message.PushFloat(1.5f).PushDouble(2.0).PushString("abc");
    seeds.push_back(Packet(message));
    Bytes blob;
    PutBe32(blob, 2);
    blob.insert(blob.end(), {1, 2, 0, 0});
    seeds.push_back(Message("/b", ",bTFih", [&] {
        Bytes args = blob;
        PutBe32(args, 7);
        PutBe64(args, 9);
        return args;
    }()));
    seeds.push_back(Bundle(3, {seeds[0], Bundle(4, {seeds[1]})}));

    for (int round = 0; round < 20000; ++round) {
        Bytes packet;
        if (round % 4 == 0) {
            packet.resize(4 * (random() % 24));
            for (auto& byte : packet) byte = static_cast<std::uint8_t>(random());
            if (!packet.empty() && random() % 2) packet[0] = random() % 2 ? '/' : '#';
        } else {
            packet = seeds[random() % seeds.size()];
            const int edits = 1 + static_cast<int>(random() % 4);
            for (int e = 0; e < edits && !packet.empty(); ++e) {
                const std::size_t at = random() % packet.size();
                switch (random() % 3) {
                    case 0:
                        packet[at] = static_cast<std::uint8_t>(random());
                        break;
                    case 1:
                        packet[at] ^= static_cast<std::uint8_t>(1u << (random() % 8));
                        break;
                    default:
                        packet[at] = (random() % 2) ? 0xFF : 0x00;
                        break;
                }
            }
            if (random() % 8 == 0)
                packet.resize(packet.size() - 4 * (random() % 3) % packet.size());
        }
        // Copy into an exact-size heap block so sanitizers catch any overread.
        std::vector<std::uint8_t> exact(packet);
        ASSERT_TRUE(OscFuzzOne(exact.data(), exact.size()))
            << "seed " << seed << " round " << round;
    }
}

TEST(OscPacketTest, ReusedMessagesAndBuildersKeepTheirBuffers)
{
    // The server encodes every frame with one message and one builder: after
    // the first frame, encoding the next must not move (reallocate) the packet.
    OscMessage message;
    OscPacketBuilder builder;
    const auto encodeFrame = [&](int frame) {
        message.Init("/data/device");
        for (int i = 0; i < 64; ++i) message.PushFloat(static_cast<float>(frame + i));
        builder.Init().AddMessage(message);
    };
    encodeFrame(0);
    const std::uint8_t* packet = builder.PacketData();
    const std::uint8_t* payload = message.Payload().data();
    const std::size_t size = builder.PacketSize();
    for (int frame = 1; frame < 100; ++frame) {
        encodeFrame(frame);
        ASSERT_EQ(builder.PacketData(), packet);
        ASSERT_EQ(message.Payload().data(), payload);
        ASSERT_EQ(builder.PacketSize(), size);
    }
    OscPacketParser parser(builder.PacketData(), builder.PacketSize());
    EXPECT_EQ(parser.PopMessage()->Args().PopFloat(), 99.0);
}
