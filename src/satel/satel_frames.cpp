// The SATEL board's samples on their way to the frames: queued as the replies bring
// them, one taken per tick, what went missing between them carried to the frame that
// shows it; and the reading step each tick makes.
#include "satel/satel_device.h"

#include "process/messageQueue.h"
#include "process/trackerWorker.h"

#include <wx/translation.h>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {

// Spike filter: raw values outside this range, or further than kMaxStep from the last
// accepted sample, are dropped once the board offsets are known.
constexpr double kMinRaw = -10.0;
constexpr double kMaxRaw = 1000.0;
constexpr double kMaxStep = 100.0;

}  // namespace

void CSerialSatelDevice::QueueSample(const double values[3])
{
    const size_t capacity = m_queue.size();
    if (capacity == 0) return;
    // Only a device that is not paced (no ticks take the samples) finds it full.
    if (m_queueCount == capacity) DropQueued(capacity - 1, IsRunning());
    const size_t at = (m_queueHead + m_queueCount) % capacity;
    std::copy(values, values + 3, m_queue[at].begin());
    // What went missing since the sample before shows when this one is shown.
    m_queueGaps[at] = {m_skippedBeforeNext, m_lostBeforeNext, m_unsureBeforeNext};
    m_skippedBeforeNext = 0;
    m_lostBeforeNext = 0;
    m_unsureBeforeNext = 0;
    ++m_queueCount;
    ++m_queuedTotal;
}

void CSerialSatelDevice::CarryGap(const std::array<int64_t, 3>& gap)
{
    if (m_queueCount > 0) {
        for (size_t i = 0; i < gap.size(); ++i) m_queueGaps[m_queueHead][i] += gap[i];
        return;
    }
    m_skippedBeforeNext += gap[0];
    m_lostBeforeNext += gap[1];
    m_unsureBeforeNext += gap[2];
}

void CSerialSatelDevice::ClearGaps()
{
    if (m_queueCount > 0) {
        m_queueGaps[m_queueHead] = {0, 0, 0};
        return;
    }
    m_skippedBeforeNext = 0;
    m_lostBeforeNext = 0;
    m_unsureBeforeNext = 0;
}

bool CSerialSatelDevice::PopSample()
{
    if (m_queueCount <= m_unconfirmed) return false;  // not yet known to be the board's
    const std::array<double, 3>& slot = m_queue[m_queueHead];
    std::copy(slot.begin(), slot.end(), m_raw);
    m_poppedGap = m_queueGaps[m_queueHead];
    m_queueHead = (m_queueHead + 1) % m_queue.size();
    --m_queueCount;
    return true;
}

size_t CSerialSatelDevice::DropQueued(size_t keep, bool counted)
{
    size_t dropped = 0;
    while (m_queueCount > keep + m_unconfirmed) {
        std::array<int64_t, 3> gap = m_queueGaps[m_queueHead];
        m_queueHead = (m_queueHead + 1) % m_queue.size();
        --m_queueCount;
        ++dropped;
        if (counted) ++gap[0];
        CarryGap(gap);
    }
    return dropped;
}

bool CSerialSatelDevice::IsNextTickDue()
{
    const double leftUs = GetTimeToNextSampleUs();
    if (!std::isnan(leftUs)) return leftUs <= 0.0;
    // Paced by the group: its fires that fell behind follow at once.
    const CTrackerWorker* worker = GetWorker();
    const double rate = GetRate();
    if (worker == nullptr || !worker->IsGroupPaced() || !(rate > 0.0)) return false;
    return worker->GetLastFireDueUs() + 1.0e6 / rate <= ReadProgramClockUs();
}

void CSerialSatelDevice::TakeSample(bool running)
{
    bool fresh = PopSample();
    if (fresh) {
        // A sample the spike filter refuses keeps the row: the frame repeats the last
        // values and the sample reaches no frame, which the next sample a frame shows
        // tells, as it tells what went missing (after the first sample shown).
        const int64_t droppedBefore = m_droppedSamples.load();
        ParseSample();
        if (m_droppedSamples.load() != droppedBefore) {
            fresh = false;
            if (running && m_freshShown) ++m_filteredBeforeNext;
            CarryGap(m_poppedGap);  // shown by the next sample that reaches a frame
        }
    }
    if (running) {
        if (fresh) {
            m_line.NoteFreshFrame(GetSampleCounter());
            // The frames before the first sample repeat the empty row: no frame shows
            // what went missing before it (replies refused while the first ones came).
            if (m_freshShown) {
                m_skippedSamples.fetch_add(m_poppedGap[0]);
                m_lostSamples.fetch_add(m_poppedGap[1]);
                m_unsureLost.fetch_add(m_poppedGap[2]);
                m_filteredSamples.fetch_add(m_filteredBeforeNext);
            }
            m_filteredBeforeNext = 0;
            m_freshShown = true;
        } else
            m_repeatedFrames.fetch_add(1);
        DispatchFrame();
        CountSample();
    }
    SayLostOnceTaken();
    // Once the schedule is caught up, a clock that runs ahead of ours leaves more
    // samples than the hold-back: the oldest go, so that frames never fall behind. A
    // thread that stays behind (a loaded machine) keeps one more for each frame due.
    if (m_queueCount <= kHoldBack + m_unconfirmed) return;
    const double leftUs = GetTimeToNextSampleUs();
    if (std::isnan(leftUs)) {
        if (IsNextTickDue()) return;  // paced by the group: its fires tell
        DropQueued(kHoldBack, running);
        return;
    }
    const double dueTicks = leftUs > 0.0 ? 0.0 : 1.0 + std::floor(-leftUs / (m_period * 1000.0));
    DropQueued(kHoldBack + static_cast<size_t>(std::min(dueTicks, 1.0e6)), running);
}

void CSerialSatelDevice::SayLostOnceTaken()
{
    if (!m_lostUnsaid || m_queueCount > 0 || !m_line.IsLost()) return;
    m_lostUnsaid = false;
    m_lostFrame = NameFrame(m_line.GetFrozenFrom());
    g_messages.Post(Severity::Error,
                    CLineWatch::LostText("<SATEL> ", GetDeviceName(), m_portName, m_lostFrame));
}

bool CSerialSatelDevice::ReadFrames(int ms)
{
    if (ms > 0) Pause(ms);
    const int64_t repliesBefore = m_takenReplies;
    const int64_t samplesBefore = m_takenSamples;
    const int64_t damagedBefore = m_damagedReplies.load();
    Reply last = Reply::None;
    // What the step brought: any sample shows the line alive.
    const auto settle = [&]() {
        if (last == Reply::Closing)
            m_lastOutcome = ReadOutcome::Empty;  // closing: nobody is to blame
        else if (last == Reply::Vanished)
            m_lastOutcome = ReadOutcome::Failed;
        else if (m_takenSamples > samplesBefore)
            m_lastOutcome = ReadOutcome::Samples;
        else if (m_takenReplies > repliesBefore)
            m_lastOutcome = ReadOutcome::Empty;
        else if (last == Reply::Pending)
            m_lastOutcome = ReadOutcome::Pending;
        else if (m_damagedReplies.load() > damagedBefore)
            m_lastOutcome = ReadOutcome::Damaged;
        else
            m_lastOutcome = ReadOutcome::Missed;
        m_lineVanished = last == Reply::Vanished;
        return m_lastOutcome == ReadOutcome::Samples;
    };
    // The reply on its way comes before anything else is asked: a new request's reply
    // would follow it.
    if (m_replyFill > 0 || m_awaiting || m_cutting) {
        const bool awaited = m_awaiting && m_replyFill == 0;
        last = SettlePartialReply();
        if (last == Reply::Samples) TakeReply(false);
        if (last == Reply::None && awaited) NoteMissed();
        if (last != Reply::Ack && last != Reply::Damaged && last != Reply::Repeat &&
            last != Reply::Noise)
            return settle();
    }
    // Replies that came after their time-out, in order: the board's samples all the
    // same. They settle the step.
    last = TakeWaitingReplies();
    if (last != Reply::Ack) return settle();
    // A reply closed by a lone '*' is settled before the next request: bytes after that
    // answer it (noise before its reply, or the reply).
    if (!LoneQuietAWhile()) {
        last = Reply::Pending;
        return settle();
    }
    uint8_t frame[kFrameSize];
    MakeFrame(kSamples, 0, frame);
    const double sentUs = ReadProgramClockUs();
    if (!SendCommand(frame, kFrameSize)) {
        last = Reply::Vanished;
        return settle();
    }
    NoteRequest(sentUs);
    m_loneAsked = m_loneOpen;
    m_byteDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_replyTimeoutMs);
    m_awaiting = true;
    for (int i = 0; i < 16; ++i) {  // acknowledgements that came late are passed over
        last = ReadAnswer(m_replyTimeoutMs);
        if (last != Reply::Ack && last != Reply::Repeat && last != Reply::Noise) break;
    }
    if (last == Reply::Samples) TakeReply(false);
    if (last == Reply::None && m_replyFill == 0) NoteMissed();
    return settle();
}

bool CSerialSatelDevice::InRawRange(const double raw[3])
{
    for (int i = 0; i < 3; ++i)
        if (raw[i] < kMinRaw || raw[i] > kMaxRaw) return false;
    return true;
}

bool CSerialSatelDevice::ParseSample()
{
    CMutexLock lock(&m_dataMutex);
    if (m_offsetsDone.load()) {
        bool stepped = false;
        for (int i = 0; i < 3; ++i)
            stepped = stepped || std::fabs(m_raw[i] - m_previous[i]) > kMaxStep;
        if (!InRawRange(m_raw)) {
            m_droppedSamples.fetch_add(1);
            return false;
        }
        if (stepped) {
            // A spike is one sample; a load that moved (someone stepped on) repeats
            // at its new level and is taken on its second sample.
            bool repeated = m_hasRejected;
            for (int i = 0; i < 3 && repeated; ++i)
                repeated = std::fabs(m_raw[i] - m_rejected[i]) <= kMaxStep;
            if (!repeated) {
                std::copy(m_raw, m_raw + 3, m_rejected);
                m_hasRejected = true;
                m_droppedSamples.fetch_add(1);
                return false;
            }
        }
    }
    m_hasRejected = false;
    std::copy(m_raw, m_raw + 3, m_previous);
    double value[3];
    const bool hasUserOffsets = m_offsets != nullptr && m_offsetCount > 0;
    for (int i = 0; i < 3; ++i)
        value[i] = m_raw[i] - m_boardOffset[i] - (hasUserOffsets ? m_offsets[i] : 0.0);
    m_weight = m_cpX = m_cpY = 0.0;
    const double total = value[0] + value[1] + value[2];
    if (std::fabs(total) >= m_minTotal) {
        m_cpX = (value[1] - value[0]) / total * (m_size / 2.0);
        m_weight = total * m_weightScale;
        m_cpY = (2.0 * value[2] - value[1] - value[0]) / (m_triangleFactor * total) * m_size +
                m_yOffset;
    }
    if (m_values == nullptr || m_rowLength < kChannels) return false;
    m_values[0] = value[0];
    m_values[1] = value[1];
    m_values[2] = value[2];
    m_values[3] = m_weight;
    m_values[4] = m_cpX;
    m_values[5] = m_cpY;
    return true;
}

void CSerialSatelDevice::ReadStep()
{
    const int64_t damagedBefore = m_damagedReplies.load();
    SetYield();
    ReadFrames(0);
    m_yieldAtUs = HUGE_VAL;
    CLineWatch::Change change = CLineWatch::Change::None;
    switch (m_lastOutcome) {
        case ReadOutcome::Pending:
            break;
        case ReadOutcome::Samples:
        case ReadOutcome::Empty:
            change = m_line.Succeeded();
            break;
        case ReadOutcome::Missed:
        case ReadOutcome::Damaged:
            if (m_lastOutcome == ReadOutcome::Missed)
                ReportOnce(m_missReported,
                           TextHead() + wxString::Format(_("no reply at frame %lld; missed "
                                                           "replies are counted and reported at "
                                                           "closing\n"),
                                                         static_cast<long long>(GetSampleCounter())));
            // The frames due meanwhile go out at once with the last values; the next
            // request to a silent board waits as long, so that it never holds the
            // schedule. A board that answered, however badly, is asked again at once.
            if (m_lastOutcome == ReadOutcome::Missed)
                m_nextReadUs = ReadProgramClockUs() + m_replyTimeoutMs * 1000.0;
            change = m_line.Failed(false);
            break;
        case ReadOutcome::Failed:
            change = m_line.Failed(m_lineVanished);
            break;
    }
    if (m_damagedReplies.load() > damagedBefore)
        ReportOnce(m_damageReported,
                   TextHead() + wxString::Format(_("damaged reply or noise refused at frame %lld; "
                                                   "refusals are counted and reported at closing\n"),
                                                 static_cast<long long>(GetSampleCounter())));
    if (m_cutReplies.load() > 0)
        ReportOnce(m_cutReported,
                   TextHead() + wxString::Format(_("a reply longer than expected was cut at "
                                                   "frame %lld; its newest samples are lost\n"),
                                                 static_cast<long long>(GetSampleCounter())));
    if (change == CLineWatch::Change::Lost) {
        // A reply closed by a lone '*' that nothing confirmed before the loss is lost
        // with it: what the line brings later (the board configured again, its
        // acknowledgement's header) says nothing of its last byte.
        if (m_loneOpen) {
            m_loneAsked = true;
            RefuteLone(false);
        }
        // The first frame without a sample read from the line: samples still queued
        // go out first (their frames are known once they went).
        const int64_t queued = static_cast<int64_t>(QueuedSamples());
        m_lostFrame = queued > 0 ? GetSampleCounter() + queued : m_line.GetFrozenFrom();
        m_lostUnsaid = queued > 0;
        if (!m_lostUnsaid) {
            m_lostFrame = NameFrame(m_lostFrame);
            g_messages.Post(Severity::Error,
                            CLineWatch::LostText("<SATEL> ", GetDeviceName(), m_portName, m_lostFrame));
        }
    }
    if (change == CLineWatch::Change::Back) PostBack();
}

void CSerialSatelDevice::SetYield()
{
    // A reply on its way gives way to a frame that falls due: the frames keep their
    // rate however slow the line. A frame late by a few periods is no harm (it catches
    // up at once); one held for the whole of a long reply on a slow line is.
    const double dueUs = IsRunning() ? GetNextSampleDueUs() : std::nan("");
    // Frames already behind catch up first: a read of a long reply each pass would hold
    // them a while every time, and they would fall ever further behind.
    m_yieldAtUs = std::isfinite(dueUs) ? dueUs + std::max(2.0 * m_period, 50.0) * 1000.0 : HUGE_VAL;
}

void CSerialSatelDevice::ReadOrResume()
{
    if (!m_line.IsLost()) {
        if (ReadProgramClockUs() >= m_nextReadUs) ReadStep();
        return;
    }
    if (!m_line.IsReopenDue()) return;
    // The backlog of a board that was busy may come while it is configured again: the
    // frames due meanwhile go first, the rest is read at the next attempt.
    SetYield();
    const bool resumed = TryResume();
    m_yieldAtUs = HUGE_VAL;
    m_line.ReopenTried();
    if (resumed && m_line.Succeeded() == CLineWatch::Change::Back) PostBack();
}

bool CSerialSatelDevice::Process(bool tick, bool running)
{
    if (IsClosing()) return false;  // no frames while the device goes: nothing to read them
    const bool due = IsTimeToSample(tick);
    const double now = ReadProgramClockUs();
    const bool readDue = (now - m_lastRead.load()) / 1000.0 > m_halfPeriod * 1000.0;
    if (!readDue && !due) return false;
    // A due tick with a sample in hand does not wait for the line: frames that fell
    // behind (a long reply, a held-up thread) catch up at once. The next read comes
    // half a period after this one ended, so that a slow line leaves the ticks time.
    if (readDue || QueuedSamples() == 0) {
        ReadOrResume();
        m_lastRead = ReadProgramClockUs();
    }
    if (due && !IsClosing()) TakeSample(running);  // a read the close cut short brought nothing
    return false;
}
