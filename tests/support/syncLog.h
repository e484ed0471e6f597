#pragma once

// Flushes to disk of the code the core tests link (--wrap=fsync, --wrap=fdatasync):
// while a log runs, each flush of a path under its folder is noted with what the
// file held then, so a test tells what reached the disk in which order.

#include <cstdint>
#include <string>
#include <vector>

struct SyncEvent {
    std::string path;
    bool isFolder = false;
    int64_t size = 0;
    uint64_t countField = 0;  // bytes 24 to 31: a recording's frame count
};

// Logs the flushes under folder from now on; the previous log is dropped.
void StartSyncLog(const std::string& folder);
std::vector<SyncEvent> TakeSyncLog();  // and stops
// The next logged flush of a path ending with suffix fails with error.
void FailNextSync(const std::string& suffix, int error);
