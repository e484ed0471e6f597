#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

// True once no thread of this process carries the acquisition threads' name.
// The acquisition thread is a detached toolkit thread: Close returns when the
// worker object is gone, a moment before the system thread itself ends, and a
// process that exits in that moment crashes inside the toolkit. Tests that ran
// acquisition threads wait here before they end.
inline bool WaitForAcquisitionThreadsToEnd(std::chrono::seconds timeout = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        bool found = false;
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
            std::ifstream comm(task.path() / "comm");
            std::string name;
            std::getline(comm, name);
            if (name == "qv-acquisition") found = true;
        }
        if (!found) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}
