#include "video/videoFinisher.h"

#include <pthread.h>
#include <unistd.h>
#include <wx/translation.h>

#include <exception>
#include <opencv2/videoio.hpp>
#include <utility>

#include "video/videoFile.h"

wxString VideoEndedText(int64_t room, const wxString& name, int64_t frames, double fps)
{
    return wxString::Format(
        _("only %.1f MB left for %s: the video ended at %.3f s (%lld frames), the rest of the "
          "trial has no video"),
        static_cast<double>(room) / (1024.0 * 1024.0), name,
        fps > 0.0 ? static_cast<double>(frames) / fps : 0.0, static_cast<long long>(frames));
}

bool CloseVideoFile(VideoTail& video, wxString* error)
{
    const auto report = [&video](const wxString& text, Severity severity) {
        g_messages.Post(severity, video.tag + text);
    };
    if (video.writer != nullptr) {
        try {
            video.writer->release();
        } catch (const std::exception& e) {
            report(video.name + ": " + e.what(), Severity::Error);
        }
        video.writer.reset();
    }
    if (video.unwritten > 0)
        report(wxString::Format(_("%lld frame(s) could not be written to "),
                                static_cast<long long>(video.unwritten)) +
                   video.name,
               Severity::Error);
    if (video.frames == 0) {
        // A video without a frame is no video: nothing of it stays on the disk.
        if (!video.path.empty()) ::unlink(video.path.c_str());
        return true;
    }
    // The writer reports no closing status: a file cut by a failed write has no index,
    // and no player can read it.
    if (!HasMovieIndex(video.path)) {
        const int64_t room = VideoFileRoom(video.folder, video.path);
        const wxString why = room >= 0 && room < video.reserve ? _("the disk is full")
                                                                : _("a write failed");
        *error = wxString::Format(_("the video %s could not be finished (%s): its %lld frames "
                                    "cannot be read, the video is lost"),
                                  video.name, why, static_cast<long long>(video.frames));
        report(*error, Severity::Error);
        return false;
    }
    if (video.missing > 0)
        report(wxString::Format(_("%lld of the %lld frames of %s did not come from the camera in "
                                  "time; each repeats the image before it, so that the video "
                                  "keeps the trial's time"),
                                static_cast<long long>(video.missing),
                                static_cast<long long>(video.frames), video.name),
               Severity::Warning);
    return true;
}

// ---------------------------------------------------------------- the finishing thread

CVideoFinisher& CVideoFinisher::Instance()
{
    static CVideoFinisher finisher;
    return finisher;
}

CVideoFinisher::~CVideoFinisher()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_changed.notify_all();
    }
    // The videos still queued are finished first: an unclosed video cannot be read.
    if (m_thread.joinable()) m_thread.join();
}

bool CVideoFinisher::Add(VideoTail video)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        bool isRunning = m_thread.joinable();
        if (!isRunning && !m_stop) {
            try {
                m_thread = std::thread(&CVideoFinisher::Run, this);
                isRunning = true;
            } catch (const std::exception&) {
            }
        }
        if (isRunning) {
            m_videos.push_back(std::move(video));
            m_changed.notify_all();
            return true;
        }
    }
    Finish(video);
    return false;
}

void CVideoFinisher::Wait()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_videos.empty() && m_busy == 0; });
}

size_t CVideoFinisher::Pending()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_videos.size() + m_busy;
}

void CVideoFinisher::Run() noexcept
{
    pthread_setname_np(pthread_self(), "videoFinisher");
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || !m_videos.empty(); });
        if (m_videos.empty()) return;  // stopping, nothing left
        VideoTail video = std::move(m_videos.front());
        m_videos.pop_front();
        ++m_busy;
        lock.unlock();
        try {
            Finish(video);
        } catch (...) {
            g_messages.Post(Severity::Error, video.tag + video.name + _(": the video could not be "
                                                                        "finished"));
        }
        video = VideoTail();  // its writer and image go before the wait ends
        lock.lock();
        --m_busy;
        m_changed.notify_all();
    }
}

void CVideoFinisher::Finish(VideoTail& video)
{
    int64_t written = 0;
    for (; written < video.count && video.writer != nullptr; ++written) {
        int64_t room = 0;
        if (!HasVideoRoom(video.path, video.folder, video.frames, video.reserve,
                          video.largestGrowth, video.lastSize, &room)) {
            g_messages.Post(Severity::Error,
                            video.tag + VideoEndedText(room, video.name, video.frames, video.fps));
            break;
        }
        try {
            video.writer->write(video.image);
            ++video.frames;
        } catch (...) {
            ++video.unwritten;
        }
    }
    video.missing -= video.count - written;
    // A trial deleted meanwhile took its file along: nothing is left to report.
    if (::access(video.path.c_str(), F_OK) != 0) {
        if (video.writer != nullptr) video.writer->release();
        return;
    }
    wxString error;
    CloseVideoFile(video, &error);
}
