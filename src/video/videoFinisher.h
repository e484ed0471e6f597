#pragma once

#include <wx/string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <opencv2/core/mat.hpp>
#include <string>
#include <thread>
#include <vector>

#include "process/messageQueue.h"
#include "video/videoFile.h"
#include "video/videoIo.h"


// A video file as its writer left it: what closing it and writing its last frames need,
// on any thread.
struct VideoTail {
    std::unique_ptr<CVideoWriterIo> writer;
    wxString name;
    std::string path;
    std::string folder;
    wxString tag;  // starts the messages about it
    double fps = 0.0;
    int64_t frames = 0;      // in the file
    int64_t missing = 0;     // of them, repeats of the image before them
    int64_t leading = 0;     // of those, copies of the first image, which came late
    double firstLateSec = 0.0;  // how late that first image came
    int64_t dropped = 0;     // camera frames that came faster than the video's slots
    int64_t unwritten = 0;   // refused by the writer
    int64_t scaled = 0;      // images of another size than the video's, scaled to it
    int scaledWidth = 0;     // the size the first of them came at
    int scaledHeight = 0;
    int width = 0;           // the video's
    int height = 0;
    int64_t reserve = 0;     // bytes to leave free on the disk
    CVideoRoom room;         // kept on the disk for the rest and the index
    bool isOwnersTrial = true;  // false once handed over: a deleted trial takes it along
    wxString endNote;  // set by CloseVideoFile for a video that may not all be on disk
    // Still to write: count copies of image, each a missing frame.
    cv::Mat image;
    int64_t count = 0;
};

// The message of a video that ended early for want of room.
wxString VideoEndedText(int64_t room, const wxString& name, int64_t frames, double fps);

// What a video finished in the background holds, for the file list.
struct FinishedVideo {
    wxString name;
    int64_t listedFrames = 0;  // as said when its trial stopped
    int64_t frames = 0;        // in the file; 0 when it cannot be read
    double seconds = 0.0;      // the file's duration
    wxString endNote;          // as VideoTail's
};

// Releases the video's writer and says what is left of it: false when the file cannot
// be read (its frames are lost, *error says why); a video without a frame is removed.
// Reports frames the writer refused and frames that were missing.
bool CloseVideoFile(VideoTail& video, wxString* error);

// Writes the ends of videos whose camera stopped delivering before the trial's end (the
// last image repeated up to it) and closes them, on a thread of its own: each repeat costs
// an encoding, and a long hang would hold the window for seconds. Process-wide; a video
// still waiting when the program ends is finished before it exits.
// Add, Wait and Pending: any thread.
class CVideoFinisher {
public:
    static CVideoFinisher& Instance();
    ~CVideoFinisher();

    // Takes the video over; false (and the video finished here) when no thread starts.
    bool Add(VideoTail video);
    // Waits until every video handed over is closed.
    void Wait();
    // Waits at most timeout; true when every video handed over is closed.
    bool WaitFor(std::chrono::milliseconds timeout);
    size_t Pending();
    // Frames still to write, of every video handed over.
    int64_t FramesLeft() const { return m_framesLeft.load(); }
    // Hands over what the videos finished since the last call hold (the oldest are let go
    // when nobody asks); any thread.
    std::vector<FinishedVideo> TakeFinished();

private:
    CVideoFinisher() = default;
    void Run() noexcept;
    void Finish(VideoTail& video);
    void NoteFinished(const VideoTail& video, int64_t listedFrames, bool isKept);

    std::mutex m_mutex;  // leaf lock: guards the fields below
    std::condition_variable m_changed;
    std::deque<VideoTail> m_videos;
    size_t m_busy = 0;  // videos taken off the queue, not yet closed
    std::deque<FinishedVideo> m_finished;
    std::atomic<int64_t> m_framesLeft{0};
    bool m_stop = false;
    std::thread m_thread;
};
