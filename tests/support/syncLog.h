#pragma once

// Flushes to disk of the code the core tests link (--wrap=fsync, --wrap=fdatasync):
// while a log runs, each flush of a path under its folder is noted with what the
// file held when it was asked (what the flush is bound to keep), so a test tells
// what reached the disk in which order, and what a power cut would leave. Names
// taken away (--wrap=unlink, --wrap=rename) are noted too.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct SyncEvent {
    std::string path;  // a mark's label for a mark
    bool isFolder = false;
    bool isMark = false;  // MarkSyncLog: no flush, an instant of the test's own
    bool isOk = true;     // the flush succeeded
    bool isRemoval = false;  // the name was removed (or renamed away), no flush
    int64_t size = 0;
    uint64_t countField = 0;  // bytes 24 to 31: a recording's frame count
    uint64_t inode = 0;
    std::string bytes;  // the file's bytes, when the log keeps contents
    std::vector<std::pair<std::string, uint64_t>> entries;  // a folder's names and inodes
};

// Logs the flushes under folder from now on; the previous log is dropped.
// withContents keeps each file's bytes and each folder's entries.
void StartSyncLog(const std::string& folder, bool withContents = false);
std::vector<SyncEvent> TakeSyncLog();  // and stops
// The log so far, which goes on.
std::vector<SyncEvent> CopySyncLog();
// Notes an instant of the test in the log (a trial said saved, a finish begun).
void MarkSyncLog(const std::string& label);
// Waits until an event of the log satisfies isReached; false after timeout.
bool WaitForSyncLog(const std::function<bool(const SyncEvent&)>& isReached,
                    std::chrono::milliseconds timeout);
// The next logged flush of a path ending with suffix fails with error; with
// afterRemoval, only a flush of a folder a name was removed from since its last one
// (and, in a log with contents, not made again).
void FailNextSync(const std::string& suffix, int error, bool afterRemoval = false);
// The next logged flush of a path ending with suffix waits, as on a busy disk,
// until ReleaseHeldSync; HeldSyncThread names the thread waiting in it now.
void HoldNextSync(const std::string& suffix);
std::string HeldSyncThread();
void ReleaseHeldSync();

// What a power cut right after the first end events of a log kept with contents
// leaves: a name stands when a flush of its folder listed it, or when it was
// removed and no flush of its folder followed (the disk may have its creation and
// not its removal); a file holds the bytes of its last flush (by inode, whatever
// it was named then), none without one. Full path to bytes.
std::map<std::string, std::string> FilesAfterCut(const std::vector<SyncEvent>& log, size_t end);
