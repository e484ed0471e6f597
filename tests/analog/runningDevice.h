#pragma once
// A device running on its acquisition thread into a fake view, for the device tests.

#include "analog/analogDevice.h"
#include "analog/fakeSinks.h"

#include <gtest/gtest.h>

#include <mutex>

// The frames the view has had so far.
inline int FramesOf(CFakeView& view)
{
    std::lock_guard<std::mutex> lock(view.mutex);
    return view.frameCount;
}

// A device streaming into a view. Whatever fails in a test, the device's thread ends
// and the view is removed before the view goes.
class CRunningDevice {
public:
    explicit CRunningDevice(CAnalogDevice& device) : m_device(device) { m_device.AddView(&view); }
    ~CRunningDevice()
    {
        m_device.Close();
        m_device.RemoveView(&view);
    }
    CRunningDevice(const CRunningDevice&) = delete;
    CRunningDevice& operator=(const CRunningDevice&) = delete;

    ::testing::AssertionResult Start()
    {
        if (!m_device.Create(false)) return ::testing::AssertionFailure() << "Create failed";
        if (!m_device.RunThread()) return ::testing::AssertionFailure() << "RunThread failed";
        m_device.Start();
        return ::testing::AssertionSuccess();
    }

    CFakeView view;

private:
    CAnalogDevice& m_device;
};
