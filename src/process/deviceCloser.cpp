#include "process/deviceCloser.h"

#include "process/device.h"

#include <algorithm>
#include <chrono>

CDeviceCloser& CDeviceCloser::Instance()
{
    static CDeviceCloser closer;
    return closer;
}

void CDeviceCloser::Adopt(CNullDevice* device)
{
    if (device == nullptr)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_devices.push_back(device);
}

size_t CDeviceCloser::Collect()
{
    std::vector<CNullDevice*> ended;
    size_t left = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto running = std::partition(m_devices.begin(), m_devices.end(),
                                      [](CNullDevice* device) { return !device->HasThreadEnded(); });
        ended.assign(running, m_devices.end());
        m_devices.erase(running, m_devices.end());
        left = m_devices.size();
    }
    // The thread has left its loop: closing joins it at once, and the device can go.
    for (CNullDevice* device : ended)
        CDeviceDeleter{}(device);
    return left;
}

size_t CDeviceCloser::Pending()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_devices.size();
}

size_t CDeviceCloser::CloseAll(std::chrono::milliseconds within)
{
    const auto deadline = std::chrono::steady_clock::now() + within;
    for (;;) {
        std::vector<CNullDevice*> devices;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            devices.swap(m_devices);
        }
        std::vector<CNullDevice*> held;
        for (CNullDevice* device : devices) {
            device->Close();  // waits on the thread's end (bounded), then joins it
            if (device->IsClosed())
                delete device;
            else
                held.push_back(device);
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_devices.insert(m_devices.end(), held.begin(), held.end());
        if (m_devices.empty() || std::chrono::steady_clock::now() >= deadline)
            return m_devices.size();
    }
}
