#pragma once

// Flushes to disk of the code the core tests link: the test programs are linked
// with --wrap=fsync and --wrap=fdatasync, so each passes here. While a log runs,
// each flush of a path under its folder is noted with what the file held then,
// so that a test tells what reached the disk in which order, without a file
// system that loses power.

#include <cstdint>
#include <string>
#include <vector>

struct SyncEvent {
    std::string path;  // what the descriptor names
    bool isFolder = false;
    int64_t size = 0;         // the file's size at the flush
    uint64_t countField = 0;  // bytes 24 to 31 (a recording's frame count) at the flush
};

// Logs the flushes of paths under folder from now on; the previous log is dropped.
void StartSyncLog(const std::string& folder);
// Stops logging and hands over what was logged.
std::vector<SyncEvent> TakeSyncLog();
// The next flush of a path ending with suffix fails with error (after flushing).
void FailNextSync(const std::string& suffix, int error);
