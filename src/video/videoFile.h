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

// Keeps room on the disk beyond a video file's end for the next frame and for what
// closing the file writes (its index), as the recorders keep room for their trailer: a
// disk filled meanwhile by another program cannot take it, and the video ends readable.
// Moves with the video's writer; used by one thread at a time.
class CVideoRoom {
public:
    CVideoRoom() = default;
    CVideoRoom(const std::string& file, const std::string& folder);
    ~CVideoRoom();
    CVideoRoom(CVideoRoom&& other) noexcept;
    CVideoRoom& operator=(CVideoRoom&& other) noexcept;
    CVideoRoom(const CVideoRoom&) = delete;
    CVideoRoom& operator=(const CVideoRoom&) = delete;

    // Whether one more frame and the index of frames + 1 frames fit, with reserve bytes
    // to spare; keeps that room. *room receives what is left when they do not fit.
    bool Keep(int64_t frames, int64_t reserve, int64_t* room);
    // Gives back the room kept beyond the end, once the file is closed.
    void Release();
    // The file still is the one opened: not removed, and its name not given to another.
    bool IsSameFile() const;

private:
    std::string m_file;
    std::string m_folder;
    int m_fd = -1;
    bool m_canReserve = true;
    int64_t m_sizeLimit = 0;
    int64_t m_largestGrowth = 0;  // of the file between two frames, bytes
    int64_t m_lastSize = 0;
    int64_t m_keptEnd = 0;  // room is kept up to here; asking again for it could give it back
    uint64_t m_device = 0;  // of the file when opened
    uint64_t m_inode = 0;
};
