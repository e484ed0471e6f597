// The flock's wire format: word decoding, record scaling and layouts, tables.
#include "Bird/fob_wire.h"

#include <gtest/gtest.h>

#include <random>

#include "Bird/fobSimulator.h"

using namespace fob_wire;

TEST(FobWire, WordsTakeSevenBitsFromEachByte)
{
    EXPECT_EQ(decode_word(0x81, 0x00), 4);  // phasing bit set, data 1
    EXPECT_EQ(decode_word(0x01, 0x00), 4);
    EXPECT_EQ(decode_word(0x7F, 0x7F), -4);
    // A stray bit 7 in the high byte (line noise) does not change the value.
    EXPECT_EQ(decode_word(0x7F, 0xFF), -4);
    EXPECT_EQ(decode_word(0x7F, 0x3F), 32764);
    EXPECT_EQ(decode_word(0x00, 0x40), -32768);
    // Every reading survives the round trip through the simulator's encoder.
    for (int reading = 0; reading < (1 << 14); ++reading) {
        const int16_t value = static_cast<int16_t>(static_cast<uint16_t>(reading << 2));
        uint8_t bytes[2];
        EncodeWord(value, bytes);
        ASSERT_EQ(decode_word(bytes[0] | 0x80, bytes[1]), value) << reading;
    }
}

TEST(FobWire, RecordsScaleToMetresDegreesAndUnitQuaternions)
{
    bird_values values;
    std::vector<uint8_t> record = MakeRecord({8192, 0, 0});
    ASSERT_TRUE(decode_record(kModePosition, false, 36.0f, record.data(), record.size(), values));
    EXPECT_NEAR(values.position[0], 0.2286, 1e-6);
    EXPECT_EQ(values.position[1], 0.0f);

    record = MakeRecord({32764, 0, 0, -32768});
    ASSERT_TRUE(decode_record(kModeQuaternion, false, 36.0f, record.data(), record.size(), values));
    EXPECT_DOUBLE_EQ(values.quaternion[0], 0.9998779296875);
    EXPECT_DOUBLE_EQ(values.quaternion[3], -1.0);

    record = MakeRecord({16384, -8192, 4096});
    ASSERT_TRUE(decode_record(kModeAngles, false, 36.0f, record.data(), record.size(), values));
    EXPECT_FLOAT_EQ(values.angles[0], 90.0f);
    EXPECT_FLOAT_EQ(values.angles[1], -45.0f);
    EXPECT_FLOAT_EQ(values.angles[2], 22.5f);

    // Position and quaternion: three position words then q0 (scalar) to q3.
    record = MakeRecord({4096, -4096, 8192, 16384, 0, 8192, -4096});
    ASSERT_TRUE(decode_record(kModePosition | kModeQuaternion, false, 72.0f, record.data(),
                              record.size(), values));
    EXPECT_NEAR(values.position[0], 4096 * 72.0 / 32768 * 0.0254, 1e-6);
    EXPECT_NEAR(values.position[1], -4096 * 72.0 / 32768 * 0.0254, 1e-6);
    EXPECT_FLOAT_EQ(values.quaternion[0], 0.5f);
    EXPECT_FLOAT_EQ(values.quaternion[2], 0.25f);
    EXPECT_FLOAT_EQ(values.quaternion[3], -0.125f);
}

TEST(FobWire, FlipReordersAnglesPerRecordKind)
{
    const float a = 4096 * 180.0f / 32768, b = 8192 * 180.0f / 32768, c = 12288 * 180.0f / 32768;
    bird_values values;
    std::vector<uint8_t> record = MakeRecord({4096, 8192, 12288});
    ASSERT_TRUE(decode_record(kModeAngles, true, 36.0f, record.data(), record.size(), values));
    EXPECT_FLOAT_EQ(values.angles[0], -b);
    EXPECT_FLOAT_EQ(values.angles[1], -c);
    EXPECT_FLOAT_EQ(values.angles[2], a);

    record = MakeRecord({0, 0, 0, 4096, 8192, 12288});
    ASSERT_TRUE(decode_record(kModePosition | kModeAngles, true, 36.0f, record.data(),
                              record.size(), values));
    EXPECT_FLOAT_EQ(values.angles[0], -b);
    EXPECT_FLOAT_EQ(values.angles[1], -a);
    EXPECT_FLOAT_EQ(values.angles[2], c);
}

TEST(FobWire, RecordsOfTheWrongLengthChangeNothing)
{
    bird_values values;
    values.position[0] = 7.0f;
    std::vector<uint8_t> record = MakeRecord({8192, 0, 0, 0});
    EXPECT_FALSE(decode_record(kModePosition, false, 36.0f, record.data(), record.size(), values));
    EXPECT_FALSE(decode_record(kModePosition, false, 36.0f, record.data(), 5, values));
    EXPECT_FALSE(decode_record(kModeButtons, false, 36.0f, record.data(), 1, values));
    EXPECT_FALSE(
        decode_record(kModePosition | kModeButtons, false, 36.0f, record.data(), 0, values));
    EXPECT_FALSE(decode_record(kModePosition, false, 36.0f, nullptr, 6, values));
    EXPECT_EQ(values.position[0], 7.0f);

    // With buttons the last byte is the button byte.
    record = MakeRecord({8192, 0, 0});
    record.push_back(0x10);
    ASSERT_TRUE(decode_record(kModePosition | kModeButtons, false, 36.0f, record.data(),
                              record.size(), values));
    EXPECT_EQ(values.buttons, 0x10);
    EXPECT_NEAR(values.position[0], 0.2286, 1e-6);

    // Random bytes of every length never decode outside the word range.
    std::mt19937 random(20261207);
    uint8_t bytes[kMaxRecord];
    for (int round = 0; round < 2000; ++round) {
        const size_t length = random() % (kMaxRecord + 1);
        for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(random());
        const unsigned mode = random() % 16;
        bird_values out;
        if (decode_record(mode, (round & 1) != 0, 36.0f, bytes, length, out)) {
            ASSERT_EQ(length - ((mode & kModeButtons) != 0 ? 1 : 0), record_length(mode))
                << "seed 20261207 round " << round;
            for (float q : out.quaternion) ASSERT_LE(std::fabs(q), 1.0f);
        }
    }
}

TEST(FobWire, TablesAndLineCapacity)
{
    uint8_t bytes[2];
    const uint8_t expected[6][2] = {{0x00, 0x01}, {0x00, 0x00}, {0x06, 0x01},
                                    {0x06, 0x00}, {0x0C, 0x01}, {0x0C, 0x00}};
    const char* names[6] = {"AFT", "FORWARD", "LEFT", "RIGHT", "UP", "DOWN"};
    for (unsigned i = 0; i < 6; ++i) {
        ASSERT_TRUE(hemisphere_bytes(i, bytes));
        EXPECT_EQ(bytes[0], expected[i][0]);
        EXPECT_EQ(bytes[1], expected[i][1]);
        EXPECT_STREQ(hemisphere_name(i), names[i]);
    }
    EXPECT_FALSE(hemisphere_bytes(6, bytes));
    EXPECT_EQ(hemisphere_name(6), nullptr);

    const char* message = nullptr;
    int level = -1;
    ASSERT_TRUE(error_entry(6, &message, &level));
    EXPECT_STREQ(message, "Invalid RS232 Command");
    EXPECT_EQ(level, 1);
    ASSERT_TRUE(error_entry(27, &message, &level));
    EXPECT_STREQ(message, "CPU Error");
    EXPECT_EQ(level, 2);
    ASSERT_TRUE(error_entry(35, &message, &level));
    EXPECT_STREQ(message, "Over Temperature");
    EXPECT_FALSE(error_entry(0, &message, &level));
    EXPECT_FALSE(error_entry(36, &message, &level));

    EXPECT_EQ(line_rate(9, 115200, 2), 177.0);
    EXPECT_EQ(line_rate(1, 115200, 1), 515.0);
    EXPECT_EQ(line_rate(3, 19200, 3), std::ceil(412.0 * 19200 / 115200 / 3));
    EXPECT_EQ(line_rate(8, 115200, 1), 0.0);
    EXPECT_EQ(line_rate(9, 0, 1), 0.0);
    EXPECT_EQ(line_rate(9, 115200, 0), 0.0);

    EXPECT_EQ(data_mode_command(1), 'V');
    EXPECT_EQ(data_mode_command(2), 'W');
    EXPECT_EQ(data_mode_command(3), 'Y');
    EXPECT_EQ(data_mode_command(8), '\\');
    EXPECT_EQ(data_mode_command(9), ']');
    EXPECT_EQ(data_mode_command(11), 'Y');
    EXPECT_EQ(data_mode_command(4), 0);
}
