#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "wii/wiiLayer.h"
#include "wii/wiiPlatform.h"
#include "wii/wiiSimulator.h"

// A search of the Wii layer; what it prints is kept in output when asked for.
inline int SearchWii(std::string* output = nullptr)
{
    testing::internal::CaptureStdout();
    const int connected = InitWiiDevices();
    const std::string printed = testing::internal::GetCapturedStdout();
    if (output != nullptr) *output = printed;
    return connected;
}

// Repeats step until done holds; the time-out only bounds a broken build.
inline bool WiiUntil(
    const std::function<bool()>& done, const std::function<void()>& step = [] { PollWiiDevices(); },
    std::chrono::seconds limit = std::chrono::seconds(5))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        step();
        if (done()) return true;
        std::this_thread::yield();
    }
    return false;
}

// The Wii layer over simulated remotes: each test adds its simulators, searches, and
// the layer is cleaned up after it.
class WiiSimulatedTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_source = std::make_shared<CWiiSimulatedSource>();
        SetWiiHidSource(m_source);
        g_wii_time_out = 1;
    }
    void TearDown() override
    {
        CleanupWiiDevices();
        SetWiiHidSource(nullptr);
        g_wii_time_out = 3;
    }
    int Search() { return SearchWii(&m_output); }

    std::shared_ptr<CWiiSimulatedSource> m_source;
    std::string m_output;
};
