#pragma once
// A SATEL device reading a board that gathers samples on its own clock: which board
// samples its frames carried. For the device tests and the benchmark.

#include "../analog/fakeSinks.h"
#include "../serial/lineLink.h"
#include "fakeSatelBoard.h"
#include "process/messageQueue.h"
#include "satel/satel_device.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The texts of the process-wide message queue, gathered for runs that go at once:
// each takes those that name its own port (a path of its own, CLineLink). Runs that go
// at once drain the queue through here only.
inline std::vector<std::string> TextsNaming(const std::string& port)
{
    static std::mutex mutex;
    static std::vector<std::string> texts;
    std::lock_guard<std::mutex> lock(mutex);
    for (const QueuedMessage& message : g_messages.Drain()) texts.push_back(message.text);
    std::vector<std::string> own;
    for (const std::string& text : texts)
        if (text.find(port) != std::string::npos) own.push_back(text);
    return own;
}

// The first of texts that holds part, or an empty text.
inline std::string FindText(const std::vector<std::string>& texts, const std::string& part)
{
    for (const std::string& text : texts)
        if (text.find(part) != std::string::npos) return text;
    return std::string();
}

// The frame number after `before` in text, or -1.
inline long long FrameIn(const std::string& text, const std::string& before)
{
    const size_t at = text.find(before);
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + before.size());
}

// A frame before the first one that carried a sample: it holds the empty row (a device
// whose first replies were refused or late, on a loaded machine).
constexpr int64_t kNoSampleYet = -2;

// The board sample each frame carried, from the frame's sensor values and the board
// offsets, in frame order; kNoSampleYet for the frames of zeros before the first
// sample; -1 for a frame that is no ramp sample near the last one (and for every frame
// after it). stillUntil: where the board held its samples still (CRampFollower);
// uncertain: set to the frames of a still value that may be repeats.
inline std::vector<int64_t> FrameSamples(const std::vector<CFrame>& frames,
                                         const CSerialSatelDevice& device,
                                         const std::function<int64_t(int64_t)>& stillUntil = nullptr,
                                         int64_t* uncertain = nullptr)
{
    std::vector<int64_t> samples;
    CRampFollower follow;
    follow.stillUntil = stillUntil;
    bool lost = false;
    for (const CFrame& frame : frames) {
        if (follow.frames == 0 && !lost && !frame.values.empty() &&
            std::all_of(frame.values.begin(), frame.values.end(),
                        [](double value) { return value == 0.0; })) {
            samples.push_back(kNoSampleYet);
            continue;
        }
        double raw[3] = {};
        for (int i = 0; i < 3 && i < static_cast<int>(frame.values.size()); ++i)
            raw[i] = frame.values[static_cast<size_t>(i)] + device.GetBoardOffset(i);
        lost = lost || frame.values.size() < 3 || !follow.Take(raw);
        samples.push_back(lost ? -1 : follow.last);
    }
    if (uncertain != nullptr) *uncertain = follow.uncertain;
    return samples;
}

struct SatelClockRun {
    bool ran = false;       // the device opened and the frames came
    int frames = 0;         // frames the view had
    int decoded = 0;        // frames that carried a board sample (none of them lost)
    int64_t skipped = 0;    // board samples between the first and the last that no frame carried
    int64_t repeated = 0;   // frames that carried the previous frame's sample again
    int64_t uncertain = 0;  // frames of a still board that may be repeats too
    int64_t reportedSkipped = 0;   // what the device counted of each
    int64_t reportedRepeated = 0;
    int64_t heldRepeated = 0;  // of them, said by the pacing, not with the closing counts
    int64_t missed = 0;
    int64_t damaged = 0;
    int64_t cut = 0;
    int64_t reportedLost = 0;  // samples lost in refused or cut replies
    int64_t unsureLost = 0;    // of those, how many may be more than were
    int64_t filtered = 0;      // samples the spike filter dropped
    int64_t late = 0;
    int64_t losses = 0;
    bool onSchedule = true;  // frame numbers follow each other, time = frame / rate
    std::string port;                // the device's port: a path of the run's own
    std::vector<std::string> texts;  // the texts naming it, closing ones included
    size_t longestReply = 0;         // the board's longest sample reply (bytes)
    bool heldUp = false;  // frames once came 4 periods + 50 ms apart (a loaded machine)
};

// A view that also keeps the longest wait between two frames: a device held up by a
// loaded machine, whose frames then catch up.
class CTimedView : public CFakeView {
public:
    void AddData(const double* values, int count, uint32_t sample, double timeSec) override
    {
        const auto now = std::chrono::steady_clock::now();
        if (m_seen)
            longestGapUs = std::max<int64_t>(
                longestGapUs.load(),
                std::chrono::duration_cast<std::chrono::microseconds>(now - m_last).count());
        m_seen = true;
        m_last = now;
        {
            std::lock_guard<std::mutex> lock(mutex);
            times.push_back(now);
        }
        CFakeView::AddData(values, count, sample, timeSec);
    }
    // Whether frames once came four periods and 50 ms apart.
    bool HeldUp(int periodMs) const { return longestGapUs.load() > 4000 * periodMs + 50000; }
    std::atomic<int64_t> longestGapUs{0};
    std::vector<std::chrono::steady_clock::time_point> times;  // each frame's, under mutex

private:
    bool m_seen = false;  // acquisition thread only, as m_last
    std::chrono::steady_clock::time_point m_last;
};

// Whether the board sent a reply longer than any read takes (one without a length, a
// backlog of over ten seconds at 1000 Hz): cutting it is then what the device is to do.
inline bool Overlong(size_t replyBytes) { return replyBytes > CSerialSatelDevice::kMaxReply; }

// Which board samples the frames carried (as FrameSamples gives them): the frames that
// carried one, the samples skipped between them, the frames that carried the previous
// one again, and whether the frames kept their schedule at rate.
inline std::vector<int64_t> TraceFrames(const std::vector<CFrame>& frames,
                                        const CSerialSatelDevice& device, double rate,
                                        SatelClockRun& run,
                                        const std::function<int64_t(int64_t)>& stillUntil = nullptr)
{
    const std::vector<int64_t> samples = FrameSamples(frames, device, stillUntil, &run.uncertain);
    for (size_t f = 0; f < samples.size() && samples[f] != -1; ++f) {
        ++run.decoded;
        if (samples[f] == kNoSampleYet || f == 0 || samples[f - 1] == kNoSampleYet) {
            if (samples[f] == kNoSampleYet) ++run.repeated;  // the device's empty row
            continue;
        }
        if (samples[f] == samples[f - 1])
            ++run.repeated;
        else
            run.skipped += samples[f] - samples[f - 1] - 1;
    }
    for (size_t f = 0; f < frames.size(); ++f) {
        const CFrame& frame = frames[f];
        run.onSchedule = run.onSchedule && frame.sample == f &&
                         std::fabs(frame.timeSec - static_cast<double>(frame.sample) / rate) <
                             1e-9;
    }
    return samples;
}

// What the device counted and says at closing.
inline void TakeCounts(const CSerialSatelDevice& device, SatelClockRun& run)
{
    run.reportedSkipped = device.GetSkippedSamples();
    // A thread held more than a second repeats the last frame for the ticks it missed.
    run.heldRepeated = device.GetHeldRepeatCount();
    run.reportedRepeated = device.GetRepeatedFrames() + run.heldRepeated;
    run.missed = device.GetMissedReplies();
    run.damaged = device.GetDamagedReplies();
    run.cut = device.GetCutReplies();
    run.reportedLost = device.GetLostSamples();
    run.unsureLost = device.GetUnsureLost();
    run.filtered = device.GetDroppedSamples();
    run.late = device.GetLateReplies();
    run.losses = device.GetLineLosses();
}

// Devices of runs that go at once are made and destroyed one at a time: the toolkit's
// own locks, which the thread checker cannot see into, then pass from run to run in order.
inline std::mutex& SatelLifeMutex()
{
    static std::mutex mutex;
    return mutex;
}
struct SatelDeleter {
    void operator()(CSerialSatelDevice* device) const
    {
        std::lock_guard<std::mutex> lock(SatelLifeMutex());
        delete device;
    }
};
using SatelDevicePtr = std::unique_ptr<CSerialSatelDevice, SatelDeleter>;

// The device on a board's line. A board held up past the open's whole probe (a loaded
// machine) is asked again: the tests are not about the open.
inline SatelDevicePtr OpenSatel(const std::string& port, int periodMs)
{
    SatelDevicePtr device;
    for (int attempt = 0; attempt < 3 && !(device && device->IsReady()); ++attempt) {
        device.reset();
        std::lock_guard<std::mutex> lock(SatelLifeMutex());
        device.reset(new CSerialSatelDevice(port, periodMs, false, 400.0, false));
    }
    return device;
}

// Waits until a text naming port holds part; false after the timeout.
inline bool WaitForText(const std::string& port, const std::string& part,
                        std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (FindText(TextsNaming(port), part).empty()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A board on its own clock at rateFactor times the device's rate, gathering from phase
// periods after its 'R', read by a device at periodMs until frameCount frames came.
inline SatelClockRun RunClockedBoard(int periodMs, double phase, double rateFactor,
                                     int frameCount)
{
    using namespace std::chrono_literals;
    SatelClockRun run;
    CPtyPair pty;
    CLineLink link;
    if (!pty.IsValid() || !link.PointAt(pty.SlaveName())) return run;
    run.port = link.Path();
    const double rate = 1000.0 / periodMs;
    CFakeSatelBoard board(pty);
    board.SetClock(rate * rateFactor, phase);
    board.Start();
    CTimedView view;
    {
        const SatelDevicePtr opened = OpenSatel(link.Path(), periodMs);
        if (!opened->IsReady()) return run;
        CSerialSatelDevice& device = *opened;
        // Replies that come, come in time, even on a loaded machine.
        device.SetReplyTimeouts(5s, 5s);
        device.AddView(&view);
        run.ran = device.Create(false) && device.RunThread() && view.WaitFrames(frameCount, 60s);
        device.Close();
        device.RemoveView(&view);
        std::lock_guard<std::mutex> lock(view.mutex);
        run.frames = static_cast<int>(view.frames.size());
        TraceFrames(view.frames, device, rate, run);
        TakeCounts(device, run);
    }
    board.Stop();
    run.longestReply = board.LongestReply();
    run.heldUp = view.HeldUp(periodMs);
    run.texts = TextsNaming(run.port);
    return run;
}
