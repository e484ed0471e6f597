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
    int Search()
    {
        testing::internal::CaptureStdout();
        const int connected = InitWiiDevices();
        m_output = testing::internal::GetCapturedStdout();
        return connected;
    }
    // Repeats step until done holds; the time-out only bounds a broken build.
    static bool Until(
        const std::function<bool()>& done,
        const std::function<void()>& step = [] { PollWiiDevices(); })
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            step();
            if (done()) return true;
            std::this_thread::yield();
        }
        return false;
    }

    std::shared_ptr<CWiiSimulatedSource> m_source;
    std::string m_output;
};
