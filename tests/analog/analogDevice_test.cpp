#include "analog/analogDevice.h"

#include "analog/plainDevice.h"

#include <gtest/gtest.h>
#include <wx/log.h>

#include <memory>
#include <vector>

namespace {

bool SwitchChannel(CAnalogDevice& device, int channel, bool on, bool* changed)
{
    const uint8_t value = on ? 1 : 0;
    return device.SetParam(&value, channel, 1, PARAM_BOOL, changed);
}

TEST(AnalogChannelsTest, ThreeChannelParameterExample)
{
    CPlainDevice device(3);
    EXPECT_EQ(device.GetParamCount(), 6);
    const CColour expected[] = {CColour(255, 0, 0), CColour(0, 255, 0), CColour(0, 255, 255)};
    for (int i = 0; i < 3; ++i) {
        const wxString name = wxString::Format("Channel #%d", i);
        EXPECT_EQ(device.GetChannelName(i), name);
        EXPECT_EQ(device.GetChannelColour(i), expected[i]);
        EXPECT_EQ(device.GetParamLabel(i), name);
        EXPECT_EQ(device.GetParamKey(i), wxString::Format("Channel[%d].ON", i));
        EXPECT_EQ(device.GetParamLabel(3 + i), wxString::Format("Analog Channel[%d] Name", i + 1));
        EXPECT_EQ(device.GetParamKey(3 + i), wxString::Format("Channel[%d].Name", i));
        int count = -1;
        int type = -1;
        const void* flag = device.GetParam(i, &count, &type);
        ASSERT_NE(flag, nullptr);
        EXPECT_EQ(count, 1);
        EXPECT_EQ(type, PARAM_BOOL);
        EXPECT_EQ(*static_cast<const uint8_t*>(flag), 1);
        const void* text = device.GetParam(3 + i, &count, &type);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(type, PARAM_STRING);
        EXPECT_EQ(*static_cast<const wxString*>(text), name);
    }
    int count = -1;
    int type = -1;
    EXPECT_EQ(device.GetParam(6, &count, &type), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(device.GetParamLabel(6), "");
    EXPECT_EQ(device.GetParamKey(6), "");
    EXPECT_EQ(device.GetChannelColour(-1), CColour(128, 128, 128));
    EXPECT_EQ(device.GetChannelColour(3), CColour(128, 128, 128));
    EXPECT_EQ(device.GetChoiceLabel(0, 0), "???");
}

TEST(AnalogChannelsTest, TrackerNamesAndNoChannels)
{
    CPlainDevice tracker(3, 7, true);
    EXPECT_EQ(tracker.GetParamLabel(4), "Tracker[2] Name");
    EXPECT_TRUE(tracker.IsTracker());

    CPlainDevice empty(0);
    EXPECT_EQ(empty.GetParamCount(), 0);
    int count = -1;
    int type = -1;
    EXPECT_EQ(empty.GetParam(0, &count, &type), nullptr);
    EXPECT_EQ(empty.GetParamLabel(0), "");
    EXPECT_EQ(empty.GetParamKey(1), "");
    EXPECT_EQ(empty.GetChannelName(0), "");
}

TEST(AnalogChannelsTest, AtLeastOneChannelStaysOn)
{
    CPlainDevice device(3);
    bool changed = true;
    ASSERT_TRUE(SwitchChannel(device, 2, false, &changed));
    EXPECT_TRUE(changed);
    ASSERT_TRUE(SwitchChannel(device, 1, false, &changed));
    EXPECT_EQ(device.GetVisibleList(), std::vector<int>({0}));
    {
        wxLogNull quiet;
        EXPECT_FALSE(SwitchChannel(device, 0, false, &changed));
        EXPECT_FALSE(changed);
        EXPECT_FALSE(SwitchChannel(device, 2, false, &changed));  // already off
    }
    EXPECT_EQ(device.GetVisibleList(), std::vector<int>({0}));
    EXPECT_TRUE(device.IsVisibleListValid());
    ASSERT_TRUE(SwitchChannel(device, 2, true, &changed));
    EXPECT_EQ(device.GetVisibleList(), std::vector<int>({0, 2}));
    EXPECT_EQ(device.GetEnabledChannelCount(), 2);
    EXPECT_EQ(device.GetVisibleChannelName(1), "Channel #2");
    EXPECT_EQ(device.GetVisibleChannelName(2), "");
}

TEST(AnalogChannelsTest, ParameterTypeAndCountRules)
{
    CPlainDevice device(3);
    bool changed = false;
    const uint8_t on = 1;
    EXPECT_TRUE(device.SetParam(&on, 0, 0, PARAM_BOOL, &changed));  // count plays no part
    EXPECT_FALSE(device.SetParam(&on, 0, 1, PARAM_INT, &changed));
    const wxString name = "Left";
    EXPECT_FALSE(device.SetParam(&name, 3, 2, PARAM_STRING, &changed));
    EXPECT_FALSE(changed);
    EXPECT_TRUE(device.SetParam(&name, 3, 1, PARAM_STRING, &changed));
    EXPECT_EQ(device.GetChannelName(0), "Left");
    EXPECT_FALSE(device.SetParam(&name, 6, 1, PARAM_STRING, &changed));
    EXPECT_FALSE(device.SetParam(&name, -1, 1, PARAM_STRING, &changed));
}

TEST(AnalogChannelsTest, NameValueBufferBelongsToItsDevice)
{
    CPlainDevice first(3);
    CPlainDevice second(3);
    const wxString other = "Other";
    bool changed = false;
    ASSERT_TRUE(second.SetParam(&other, 4, 1, PARAM_STRING, &changed));
    int count = 0;
    int type = 0;
    const auto* a = static_cast<const wxString*>(first.GetParam(3, &count, &type));
    const auto* b = static_cast<const wxString*>(first.GetParam(4, &count, &type));
    EXPECT_EQ(a, b);  // one buffer per device: the text asked for last
    EXPECT_EQ(*b, "Channel #1");
    // Another device's call leaves this device's text alone.
    const auto* c = static_cast<const wxString*>(second.GetParam(4, &count, &type));
    EXPECT_NE(c, b);
    EXPECT_EQ(*b, "Channel #1");
    EXPECT_EQ(*c, "Other");
}

TEST(AnalogChannelsTest, VisibleChannelsFromAList)
{
    CPlainDevice device(3);
    device.SetVisibleChannels({});
    EXPECT_EQ(device.GetVisibleList(), std::vector<int>({0, 1, 2}));
    device.SetVisibleChannels({2, 0, 9});
    EXPECT_EQ(device.GetVisibleList(), std::vector<int>({0, 2}));
    device.SetVisibleChannels({7});
    EXPECT_TRUE(device.GetVisibleList().empty());
    EXPECT_EQ(device.GetEnabledChannelCount(), 0);
    device.ShowAllChannels();
    EXPECT_EQ(device.GetVisibleList(), std::vector<int>({0, 1, 2}));
}

// A new name or unit changes one entry of the list readers get: same shape, the other
// entries as they were, and a list a reader holds keeps the name it had.
TEST(AnalogChannelsTest, RenamingPatchesOneEntryOfTheVisibleList)
{
    CPlainDevice device(200);
    std::vector<int> shown;
    for (int c = 0; c < 200; c += 2) shown.push_back(c);
    device.SetVisibleChannels(shown);
    const VisibleChannelsPtr before = device.GetVisibleChannels();
    ASSERT_TRUE(device.SetChannelName(150, "Fz"));
    ASSERT_TRUE(device.SetChannelUnit(150, "N"));
    ASSERT_TRUE(device.SetChannelName(151, "hidden"));
    const VisibleChannelsPtr after = device.GetVisibleChannels();
    EXPECT_EQ(after->shape, before->shape);
    EXPECT_EQ(after->channels, before->channels);
    ASSERT_EQ(after->names.size(), 100u);
    for (size_t i = 0; i < 100; ++i) {
        EXPECT_EQ(after->names[i], i == 75 ? wxString("Fz") : before->names[i]) << i;
        EXPECT_EQ(after->units[i], i == 75 ? wxString("N") : wxString()) << i;
    }
    EXPECT_NE(before->names[75], "Fz");
    device.SetVisibleChannels({150, 151});  // a hidden channel's name comes with the list
    EXPECT_EQ(device.GetVisibleChannelName(1), "hidden");
}

TEST(AnalogChannelsTest, ChannelsPastThePaletteGetAColour)
{
    CPlainDevice device(100);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(device.GetChannelColour(i), PaletteColour(i % 48)) << i;
    EXPECT_EQ(device.GetChannelColour(21), CColour(255, 255, 0));  // "MIDNIGHT"
    EXPECT_EQ(device.GetChannelColour(44), CColour(255, 255, 0));  // "BLUE, NAVY"
    EXPECT_EQ(device.GetChannelColour(48 + 1), CColour(0, 255, 0));
}

TEST(AnalogChannelsTest, EnabledChannelCountIsNotTheValueCount)
{
    // A tracker whose frames left the enabled count at channels x 7 still
    // tells the recorder how many sensors are on.
    CPlainDevice tracker(8, 7, true);
    uint8_t off = 0;
    bool changed = false;
    ASSERT_TRUE(tracker.SetParam(&off, 3, 1, PARAM_BOOL, &changed));
    EXPECT_EQ(tracker.GetEnabledChannelCount(), 7);
    tracker.Step(0.0);
    EXPECT_EQ(tracker.GetVisibleCount(), 49);
    EXPECT_EQ(tracker.GetEnabledChannelCount(), 7);
    EXPECT_EQ(tracker.GetEnabledChannelCount() * tracker.GetChannelDim(), tracker.GetVisibleCount());
}

TEST(AnalogChannelsTest, HeaderPropertyRecordsStopAtTheBlockEnd)
{
    uint8_t block[2048] = {};
    uint64_t position = 2045;
    EXPECT_TRUE(CAnalogDevice::AddBoolProperty(block, &position, true));
    EXPECT_EQ(position, 2047u);
    EXPECT_EQ(block[2045], 1);
    EXPECT_EQ(block[2046], 1);
    position = 2046;
    EXPECT_FALSE(CAnalogDevice::AddBoolProperty(block, &position, true));
    EXPECT_EQ(position, 2046u);
    position = 2042;
    EXPECT_TRUE(CAnalogDevice::AddIntProperty(block, &position, -2));
    EXPECT_EQ(block[2042], 2);
    EXPECT_EQ(block[2043], 0xFE);
    EXPECT_EQ(block[2046], 0xFF);
    position = 2043;
    EXPECT_FALSE(CAnalogDevice::AddIntProperty(block, &position, 1));
    position = 2038;
    EXPECT_TRUE(CAnalogDevice::AddDoubleProperty(block, &position, 1.0));
    EXPECT_EQ(block[2038], 3);
    EXPECT_EQ(block[2046], 0x3F);  // 1.0 = 0x3FF0000000000000, little-endian
    EXPECT_EQ(block[2045], 0xF0);
    position = 2039;
    EXPECT_FALSE(CAnalogDevice::AddDoubleProperty(block, &position, 1.0));
}

}  // namespace
