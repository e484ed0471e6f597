#pragma once

#include <cstdint>
#include <string>

// What the camera device asks of the file system about its video files. Any thread;
// each call reads the file system and nothing else.

// Bytes that may still be written to file (which may not exist yet) in folder: the
// free space of the file system, or less when a size limit on this process's files, or
// the file system's own largest file, leaves less. Negative when it cannot be known.
int64_t VideoFileRoom(const std::string& folder, const std::string& file);

// Size of file in bytes; 0 when it cannot be read.
int64_t VideoFileSize(const std::string& file);

// The file is a QuickTime/MP4 container whose index ("moov" box) was written: a player
// can read its frames. A file cut short by a failed write has none.
bool HasMovieIndex(const std::string& file);
