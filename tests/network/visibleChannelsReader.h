#pragma once

// What the views, the view grid and the settings read of a device's visible channels on
// the GUI thread, done over and over while another thread re-shapes the device.

#include <gtest/gtest.h>

#include <chrono>

#include "analog/analogDevice.h"

namespace nettest {

// Reads for the given time; every list must be whole (0 .. n-1, n at most maxChannels)
// with default names and no units. The number of whole reads.
inline long ReadVisibleChannels(const CAnalogDevice& device, int maxChannels,
                                std::chrono::milliseconds duration)
{
    long reads = 0;
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        if (!device.IsVisibleListValid()) continue;
        int expected = 0;
        for (int index : device.GetVisibleList()) EXPECT_EQ(index, expected++);
        EXPECT_LE(expected, maxChannels);
        for (int n = 0; n < expected; ++n) {
            const wxString name = device.GetVisibleChannelName(n);
            EXPECT_TRUE(name.empty() || name.StartsWith("Channel #")) << name;
            EXPECT_TRUE(device.GetVisibleChannelUnit(n).empty());
        }
        if (::testing::Test::HasFailure()) break;
        ++reads;
    }
    return reads;
}

}  // namespace nettest
