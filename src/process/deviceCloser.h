#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <vector>

class CNullDevice;

// Devices whose acquisition thread could not end at once (a read stuck in a driver): the
// window lets go of them at once and they are closed and freed here, once their thread
// has ended. Process-wide; a device still running when the program ends is left as it is.
// Adopt and Collect: GUI thread. Pending: any thread.
class CDeviceCloser {
public:
    static CDeviceCloser& Instance();

    // How long closing waits for a device's thread before it goes on in the background.
    static constexpr std::chrono::milliseconds kPromptEnd{250};

    // Takes the device over; it is freed by Collect once its thread has ended.
    void Adopt(CNullDevice* device);
    // Closes and frees the adopted devices whose thread has ended; returns how many are
    // left. Never waits for a thread.
    size_t Collect();
    size_t Pending();
    // GUI thread, at the program's end: closes the adopted devices, each close waiting
    // (bounded) on its thread's end and joining it, again until `within` has passed, so
    // that no thread outlives the program unjoined. Returns how many are still held (left
    // as they are).
    size_t CloseAll(std::chrono::milliseconds within);

private:
    CDeviceCloser() = default;

    std::mutex m_mutex;  // leaf lock: guards m_devices
    std::vector<CNullDevice*> m_devices;
};
