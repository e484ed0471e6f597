#pragma once

#include <wx/string.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <opencv2/core/mat.hpp>
#include <string>
#include <thread>

#include "process/messageQueue.h"

namespace cv {
class VideoWriter;
}

// A video file as its writer left it: what closing it and writing its last frames need,
// on any thread.
struct VideoTail {
    std::unique_ptr<cv::VideoWriter> writer;
    wxString name;
    std::string path;
    std::string folder;
    wxString tag;  // starts the messages about it
    double fps = 0.0;
    int64_t frames = 0;      // in the file
    int64_t missing = 0;     // of them, repeats of the image before them
    int64_t unwritten = 0;   // refused by the writer
    int64_t reserve = 0;     // bytes to leave free on the disk
    int64_t largestGrowth = 0;  // of the file between two frames, bytes
    int64_t lastSize = 0;       // of the file after its last frame, bytes
    // Still to write: count copies of image, each a missing frame.
    cv::Mat image;
    int64_t count = 0;
};

// The message of a video that ended early for want of room.
wxString VideoEndedText(int64_t room, const wxString& name, int64_t frames, double fps);

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
    size_t Pending();

private:
    CVideoFinisher() = default;
    void Run() noexcept;
    static void Finish(VideoTail& video);

    std::mutex m_mutex;  // leaf lock: guards the fields below
    std::condition_variable m_changed;
    std::deque<VideoTail> m_videos;
    size_t m_busy = 0;  // videos taken off the queue, not yet closed
    bool m_stop = false;
    std::thread m_thread;
};
