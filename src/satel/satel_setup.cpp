// Configuring the SATEL board: its period and reset at opening and after a loss, the
// empty board's offsets, and the first samples before the frames start.
#include "satel/satel_device.h"

#include "process/messageQueue.h"

#include <wx/translation.h>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {

constexpr int kOffsetWaitMs = 400;
constexpr int kMinOffsetWaitMs = 200;
// The offsets' request is asked this many times, each awaited the configuration wait,
// before the board is said not to answer: a loaded machine may hold the board's answer
// past one wait, and its first answer holds all it gathered since its reset.
constexpr int kOffsetAsks = 3;

}  // namespace

bool CSerialSatelDevice::ConfigureBoard(uint32_t timeoutMs)
{
    // A reply on its way, or replies that came late, are the board's samples: taken
    // before the acknowledgements are awaited, never taken for them.
    Reply before = m_replyFill > 0 ? SettlePartialReply() : Reply::Ack;
    if (before == Reply::Samples) TakeReply(true);
    if (before != Reply::Vanished && before != Reply::Closing) before = TakeWaitingReplies();
    if (before == Reply::Vanished || before == Reply::Closing || before == Reply::Pending) {
        m_lineVanished = before == Reply::Vanished;
        return false;  // Pending: a frame fell due while they came; asked again later
    }
    uint8_t frame[kFrameSize];
    const struct {
        uint8_t command, argument;
        const char* sendError;
        const char* readError;
    } steps[] = {
        {kSetPeriod, static_cast<uint8_t>(m_period), "Unable to set sampling frequency\n",
         "Unable to get sampling frequency\n"},
        {kConfigure, 1, "Unable to send command 2\n", "Unable to read command 2\n"},
        {kReset, 0, "Unable to send command 3\n", "Unable to read command 3\n"},
    };
    for (const auto& step : steps) {
        MakeFrame(step.command, step.argument, frame);
        if (!SendCommand(frame, kFrameSize)) {
            if (step.command == kSetPeriod) ForgetWay();  // it may have gone in part
            // A port that takes no command is gone (an adapter pulled while the line was
            // lost, nothing read since): it is opened anew.
            m_lineVanished = true;
            if (m_verbose) Log(step.sendError);
            return false;
        }
        const bool acknowledged = AwaitAck(step.command, timeoutMs);
        // A board that lost power may come back counting and ending its replies
        // otherwise, from the moment it takes its period (its acknowledgement may be
        // lost): its way is learnt again. Replies read before that answered requests
        // sent before it, the old way.
        if (step.command == kSetPeriod) ForgetWay();
        if (!acknowledged) {
            if (m_verbose) Log(step.readError);
            return false;
        }
    }
    return true;
}

void CSerialSatelDevice::ForgetWay()
{
    // A rule one whole reply showed since the last set-up is the board's newest word on
    // how it counts: a board set up again without a reset still counts so.
    if (m_lengthRule != LengthRule::Unknown)
        m_formerRule = m_lengthRule;
    else if (m_ruleVotes > 0)
        m_formerRule = m_ruleCandidate;
    if (m_ending != Ending::Unknown) m_formerEnding = m_ending;
    m_lengthRule = m_ruleCandidate = LengthRule::Unknown;
    m_ruleVotes = 0;
    m_ending = Ending::Unknown;
    m_blockOffRun = 0;
    m_blockOffRest = 0;
    // A reply the former way after a set-up may be a board's set up back to it: it tells
    // nothing of one whole another way before, whose fewer samples stand.
    if (m_otherWayWhole) m_otherWayRest[0] = 0;
}

bool CSerialSatelDevice::CalcOffsets(int ms)
{
    Log("<SATEL> Calculating sensor offsets. Please wait...\n");
    for (double& offset : m_boardOffset) offset = 0.0;
    uint8_t frame[kFrameSize];
    MakeFrame(kSetPeriod, static_cast<uint8_t>(m_period), frame);
    DiscardStale();
    if (!SendCommand(frame, kFrameSize)) {
        if (m_verbose) LogError("Unable to set sampling frequency\n");
        return false;
    }
    if (!AwaitAck(kSetPeriod, m_configTimeoutMs)) {
        if (m_verbose) Log("Unable to check sampling frequency\n");
        return false;
    }
    MakeFrame(kConfigure, 1, frame);
    if (!SendCommand(frame, kFrameSize)) {
        if (m_verbose) Log("Unable send command 2\n");
        return false;
    }
    if (!AwaitAck(kConfigure, m_configTimeoutMs)) {
        if (m_verbose) Log("Unable read command 2\n");
        return false;
    }
    MakeFrame(kReset, 0, frame);
    // The board gathers from its reset on: the offsets reply, however late it comes,
    // holds at most what came since (its room is reckoned from here, or from the last
    // reply taken).
    if (m_lastAnsweredUs <= 0.0) m_lastAnsweredUs = ReadProgramClockUs();
    if (!SendCommand(frame, kFrameSize)) {
        if (m_verbose) Log("Unable send command 3\n");
        return false;
    }
    if (!AwaitAck(kReset, m_configTimeoutMs)) {
        if (m_verbose) Log("Unable read command 3\n");
        return false;
    }
    const int waitMs = std::max(ms, kMinOffsetWaitMs);
    Pause(waitMs);
    if (IsClosing()) return false;
    MakeFrame(kSamples, 0, frame);
    DiscardStale();
    int samples = -1;
    for (int ask = 0; ask < kOffsetAsks && samples < 0 && !IsClosing(); ++ask) {
        const double sentUs = ReadProgramClockUs();
        if (!SendCommand(frame, kFrameSize)) {
            if (m_verbose) Log("Unable to start data collection\n");
            return false;
        }
        NoteRequest(sentUs);
        // The first reply after the offsets holds what the board gathered since its reset.
        samples = ReadOffsetReply(waitMs / m_period);
    }
    if (samples <= 0) {
        if (m_verbose) Log("Unable to read values\n");
        return false;
    }
    for (int j = 0; j < samples; ++j) {
        double values[3];
        DecodeSample(m_reply.data() + kHeaderSize + static_cast<size_t>(j) * kSampleSize, values);
        for (int i = 0; i < 3; ++i) m_boardOffset[i] += values[i] / samples;
    }
    Log("<SATEL> Offset done\n");
    return true;
}

int CSerialSatelDevice::ReadOffsetReply(int expected)
{
    for (int i = 0; i < 4; ++i) {  // acknowledgements that came late are passed over
        const Reply reply = ReadOneReply(m_configTimeoutMs);
        if (reply == Reply::Ack || reply == Reply::Damaged || reply == Reply::Repeat ||
            reply == Reply::Noise)
            continue;
        if (reply == Reply::None) return -1;  // nothing in time: asked again
        if (reply != Reply::Samples) return 0;
        NoteAnswered();
        return std::min(m_replySamples, expected);
    }
    return -1;  // no whole sample reply among them (one refused): asked again
}

void CSerialSatelDevice::CheckInit()
{
    if (!m_initPending.load() || GetWorker() == nullptr) return;
    bool answers = m_offsetsDone.load();
    if (!answers) {
        if (CalcOffsets(kOffsetWaitMs)) {
            // The empty board's level is where the spike filter starts from.
            CMutexLock lock(&m_dataMutex);
            std::copy(m_boardOffset, m_boardOffset + 3, m_previous);
            m_hasRejected = false;
            m_offsetsDone = true;
            answers = true;
        } else if (!IsClosing()) {
            // A close that cut the offsets short is a close, not a failure.
            g_messages.Post(Severity::Error, wxString(_("Unable to calculate board offset\n")),
                            true);
        }
    }
    DropQueued(0);
    if (answers && !IsClosing()) PrimeQueue();
    m_initPending = false;
    // Samples lost before the first frame's sample belong to no frame; those lost
    // after it, in a reply refused while priming, the frames show.
    ClearGaps();
    ResetCounters();
    ResetClockNow();
    // The first frame takes the older of the two samples when it is due at once; when
    // it is due a period later the newer one has become a period old by then.
    const double firstUs = GetTimeToNextSampleUs();
    if (!std::isnan(firstUs) && firstUs > m_period * 500.0) DropQueued(1);
    ClearGaps();
    // The spike filter starts from the first sample the frames take; one the board's
    // next bytes may still show misread (an unconfirmed reply) is no start, nor one
    // the filter drops (a sensor out of range).
    for (size_t i = 0; i + m_unconfirmed < m_queueCount; ++i) {
        const std::array<double, 3>& sample = m_queue[(m_queueHead + i) % m_queue.size()];
        if (!InRawRange(sample.data())) continue;
        CMutexLock lock(&m_dataMutex);
        std::copy(sample.begin(), sample.end(), m_previous);
        break;
    }
    m_line.NoteFreshFrame(-1);
    m_namedFrame = m_namedAt = 0;  // the frames are counted anew
    m_freshShown = false;
    m_filteredBeforeNext = 0;
    m_lastRead = ReadProgramClockUs();
}

void CSerialSatelDevice::PrimeQueue()
{
    // The board's samples come at its own phase. Polled at an eighth of a period, a
    // read that brings a sample after one that brought none tells how new the sample
    // is: at most the time since that quiet read's request. Under a period old, each
    // tick then takes a sample that came a whole period before it.
    const double periodUs = m_period * 1000.0;
    const double endUs = ReadProgramClockUs() + 20.0 * periodUs + m_replyTimeoutMs * 1000.0;
    double quietSinceUs = -1.0;  // request time of the last read that brought nothing
    // A long reply on a slow line holds the first frame no longer: its rest is read
    // once the frames run.
    m_yieldAtUs = endUs;
    while (ReadProgramClockUs() < endUs && !IsClosing()) {
        const size_t before = QueuedSamples();
        const double requestUs = ReadProgramClockUs();
        ReadFrames(0);
        if (m_lastOutcome != ReadOutcome::Samples && m_lastOutcome != ReadOutcome::Empty &&
            m_lastOutcome != ReadOutcome::Pending)
            break;
        if (QueuedSamples() == before) {
            quietSinceUs = requestUs;
        } else if (quietSinceUs >= 0.0 && QueuedSamples() >= 2 &&
                   ReadProgramClockUs() - quietSinceUs < 0.9 * periodUs) {
            break;
        } else {
            quietSinceUs = -1.0;  // too slow a poll to tell: wait for the next sample
        }
        PauseUs(static_cast<int64_t>(periodUs / 8.0));
    }
    m_yieldAtUs = HUGE_VAL;
    // Samples gathered before the first frame belong to no frame.
    DropQueued(2);
}

bool CSerialSatelDevice::TryResume()
{
    if (m_lineVanished || !m_port.IsOpen()) {
        m_port.Close();
        const wxCharBuffer name = m_portName.mb_str();
        m_port.SetReportErrors(false);  // once every few seconds while away: no repeats
        const int code = m_port.Open(name.data() ? name.data() : "", &m_settings);
        m_port.SetReportErrors(true);
        if (code != 1) {
            m_port.Close();
            return false;
        }
        RefutedWentWithLine();
        ForgetReply();  // a new line: nothing read before belongs to it
    }
    m_lineVanished = false;
    // A board that lost power forgot its period: configure it again. It is back once
    // it answers a sample request too; or once a late reply's samples came meanwhile,
    // which the next frames carry, even where the line went again right after (then
    // said lost again once they went out).
    const int64_t samplesBefore = m_takenSamples;
    if (!ConfigureBoard(m_replyTimeoutMs)) {
        m_lineVanished = !m_port.IsOpen() || m_lineVanished;
        return m_takenSamples > samplesBefore;
    }
    ReadFrames(0);
    return m_lastOutcome == ReadOutcome::Samples || m_lastOutcome == ReadOutcome::Empty ||
           m_takenSamples > samplesBefore;
}
