#pragma once

#include <link.h>

#include <string>
#include <vector>

// The shared libraries this process has loaded, by path.
inline std::vector<std::string> LoadedLibraries()
{
    std::vector<std::string> paths;
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0')
                static_cast<std::vector<std::string>*>(data)->push_back(info->dlpi_name);
            return 0;
        },
        &paths);
    return paths;
}

// Those of OpenCV's video input and neural network modules: each test process of a
// program that links them spends a quarter of a second loading their dependencies.
inline std::vector<std::string> LoadedCameraLibraries()
{
    std::vector<std::string> found;
    for (const std::string& path : LoadedLibraries()) {
        if (path.find("libopencv_videoio") != std::string::npos ||
            path.find("libopencv_dnn") != std::string::npos)
            found.push_back(path);
    }
    return found;
}
