#pragma once

// What the views, the view grid and the settings read of a device's visible channels on
// the GUI thread, done over and over while another thread re-shapes the device.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>

#include "analog/analogDevice.h"

namespace nettest {

// Reads until done() holds after a read (the bound only stops a broken build). Every
// list must be whole (0 .. n-1, n at most maxChannels) with default names and no units,
// and a take of the visible channels names its own channels. The number of whole reads.
inline long ReadVisibleChannels(const CAnalogDevice& device, int maxChannels,
                                const std::function<bool()>& done)
{
    long reads = 0;
    uint64_t shape = 0;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool finished = false;
    while (!finished && std::chrono::steady_clock::now() < limit) {
        finished = done();
        if (!device.IsVisibleListValid()) {
            finished = false;
            continue;
        }
        int expected = 0;
        for (int index : device.GetVisibleList()) EXPECT_EQ(index, expected++);
        EXPECT_LE(expected, maxChannels);
        for (int n = 0; n < expected; ++n) {
            const wxString name = device.GetVisibleChannelName(n);
            EXPECT_TRUE(name.empty() || name.StartsWith("Channel #")) << name;
            EXPECT_TRUE(device.GetVisibleChannelUnit(n).empty());
        }
        // One take: the list and its names are of one shape, and shapes only move on.
        const VisibleChannelsPtr visible = device.GetVisibleChannels();
        EXPECT_GE(visible->shape, shape);
        shape = visible->shape;
        EXPECT_EQ(visible->names.size(), visible->channels.size());
        EXPECT_EQ(visible->units.size(), visible->channels.size());
        for (size_t i = 0; i < visible->channels.size() && i < visible->names.size(); ++i) {
            EXPECT_EQ(visible->channels[i], static_cast<int>(i));
            EXPECT_EQ(visible->names[i], wxString::Format("Channel #%d", visible->channels[i]));
        }
        if (::testing::Test::HasFailure()) break;
        ++reads;
    }
    EXPECT_TRUE(finished);
    return reads;
}

}  // namespace nettest
