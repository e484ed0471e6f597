#include "video/videoFinisher.h"

#include <pthread.h>
#include <unistd.h>
#include <wx/arrstr.h>
#include <wx/translation.h>

#include <cstring>
#include <exception>
#include <opencv2/videoio.hpp>
#include <utility>

#include "analog/recordFormat.h"
#include "captureFiles.h"
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
            video.writer->Release();
        } catch (const std::exception& e) {
            report(video.name + ": " + e.what(), Severity::Error);
        }
        video.writer.reset();
    }
    if (!video.room.IsSameFile()) {
        video.room.Release();
        // A trial deleted while its end was written took its file along, and its name may
        // already stand for the trial recorded again: nothing of it is left to tell.
        if (!video.isOwnersTrial) return true;
        *error = wxString::Format(_("the video %s was removed while it ran"), video.name);
        report(*error, Severity::Error);
        return false;
    }
    video.room.Release();
    if (video.unwritten > 0)
        report(wxString::Format(_("%lld frame(s) could not be written to "),
                                static_cast<long long>(video.unwritten)) +
                   video.name,
               Severity::Error);
    if (video.frames == 0) {
        // A video without a frame is no video: nothing of it stays on the disk.
        // Its folder is flushed too, or it may come back after a power cut.
        wxString removeError;
        if (!video.path.empty() && !RemoveFiles({wxString::FromUTF8(video.path)}, removeError))
            for (const wxString& line : wxSplit(removeError, '\n', '\0'))
                report(_("Unable to delete ") + line, Severity::Error);
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
    // On the disk, and named in its folder, before it is listed: a power cut keeps it.
    if (const int syncError = SyncWrittenFile(wxString::FromUTF8(video.path)); syncError != 0) {
        report(wxString::Format(_("a flush to disk of %s failed, it may not all be on disk : %s"),
                                video.name, std::strerror(syncError)),
               Severity::Error);
        // Said with the video's saving too, as a recording's.
        video.endNote = wxString::Format(
            _("a flush to disk failed, what was written may not all be on disk : %s"),
            std::strerror(syncError));
    }
    if (video.leading > 0)
        report(wxString::Format(_("the camera's first image of the trial came %.3f s after its "
                                  "start: the first %lld frames of %s are copies of it"),
                                video.firstLateSec, static_cast<long long>(video.leading),
                                video.name),
               Severity::Warning);
    if (video.scaled > 0)
        report(wxString::Format(_("the camera changed its image size to %dx%d during the trial: "
                                  "%lld of its images were scaled to the %dx%d of %s"),
                                video.scaledWidth, video.scaledHeight,
                                static_cast<long long>(video.scaled), video.width, video.height,
                                video.name),
               Severity::Warning);
    const int64_t repeats = video.missing - video.leading;
    if (repeats > 0)
        report(wxString::Format(_("%lld of the %lld frames of %s did not come from the camera in "
                                  "time; each repeats the image before it, so that the video "
                                  "keeps the trial's time"),
                                static_cast<long long>(repeats),
                                static_cast<long long>(video.frames), video.name),
               Severity::Warning);
    if (video.dropped > 0)
        report(wxString::Format(_("%lld images came from the camera faster than the %.3f frames/s "
                                  "of %s: each gave its place to the next one, so that the video "
                                  "keeps the trial's time"),
                                static_cast<long long>(video.dropped), video.fps, video.name),
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
    video.isOwnersTrial = false;
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
            m_framesLeft.fetch_add(video.count);
            m_videos.push_back(std::move(video));
            m_changed.notify_all();
            return true;
        }
    }
    m_framesLeft.fetch_add(video.count);
    Finish(video);
    return false;
}

void CVideoFinisher::Wait()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_videos.empty() && m_busy == 0; });
}

bool CVideoFinisher::WaitFor(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [this] { return m_videos.empty() && m_busy == 0; });
}

std::vector<FinishedVideo> CVideoFinisher::TakeFinished()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<FinishedVideo> finished(m_finished.begin(), m_finished.end());
    m_finished.clear();
    return finished;
}

void CVideoFinisher::NoteFinished(const VideoTail& video, int64_t listedFrames, bool isKept)
{
    // Only the last ones matter to a window that has not asked for a while.
    constexpr size_t kKept = 64;
    FinishedVideo finished;
    finished.name = video.name;
    finished.listedFrames = listedFrames;
    finished.frames = isKept ? video.frames : 0;
    finished.seconds = isKept && video.fps > 0.0 ? static_cast<double>(video.frames) / video.fps : 0.0;
    finished.endNote = video.endNote;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_finished.size() >= kKept) m_finished.pop_front();
    m_finished.push_back(finished);
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
    const int64_t listedFrames = video.frames + video.count;
    int64_t written = 0;
    for (; written < video.count && video.writer != nullptr; ++written) {
        // The trial was deleted meanwhile: its end is of no use.
        if (!video.room.IsSameFile()) break;
        int64_t room = 0;
        if (!video.room.Keep(video.frames, video.reserve, &room)) {
            g_messages.Post(Severity::Error,
                            video.tag + VideoEndedText(room, video.name, video.frames, video.fps));
            break;
        }
        try {
            video.writer->Write(video.image);
            ++video.frames;
        } catch (...) {
            ++video.unwritten;
        }
        m_framesLeft.fetch_sub(1);
    }
    m_framesLeft.fetch_sub(video.count - written);
    video.missing -= video.count - written;
    video.count = 0;
    const bool isOurs = video.room.IsSameFile();
    wxString error;
    const bool isKept = CloseVideoFile(video, &error);
    // A deleted trial's video is no row of the file list any more.
    if (isOurs) NoteFinished(video, listedFrames, isKept);
}
