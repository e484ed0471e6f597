#include "satel/satel_device.h"

#include "process/messageQueue.h"
#include "process/trackerWorker.h"

#include <wx/config.h>
#include <wx/log.h>
#include <wx/translation.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// " (/dev/ttyS0)" after a port name that is not its device file: the user finds the file.
wxString PathNote(const wxString& port)
{
    const std::string path = CSerialPort::DevicePathFor(port.utf8_str().data());
    if (path.empty() || wxString::FromUTF8(path) == port) return wxString();
    return " (" + wxString::FromUTF8(path) + ")";
}

enum SatelParam { kName = 0, kMin, kMax, kYOffset, kWeightScale, kShowCP, kCPTime, kCPLevel };

constexpr const char* kParamKeys[CSerialSatelDevice::kOwnParams] = {
    "Device Name",  "Min Value",    "Max Value",    "Y Offset",
    "Weight scale", "Show CP stat", "CP Stat time", "CP Stat Level"};
constexpr int kParamTypes[CSerialSatelDevice::kOwnParams] = {
    PARAM_STRING, PARAM_DOUBLE, PARAM_DOUBLE, PARAM_DOUBLE,
    PARAM_DOUBLE, PARAM_BOOL,   PARAM_DOUBLE, PARAM_CHOICE};
constexpr const char* kLevels[] = {"90 %", "95 %", "97.5 %", "99 %", "99.5 %"};
constexpr int kLevelCount = 5;

constexpr const char* kChannelNames[] = {"sensor 1", "sensor 2", "sensor 3", "Weight", "XP", "YP"};
constexpr const char* kChannelUnits[] = {"N", "N", "N", "N", "mm", "mm"};
constexpr int kChannels = 6;
constexpr int kDefaultPeriodMs = 25;
// A sample reply is due within a few sample periods; a missed one costs no more.
constexpr uint32_t kReplyPeriods = 3;
constexpr uint32_t kMinReplyTimeoutMs = 60;
// Configuration replies (opening, offsets) may take longer.
constexpr uint32_t kConfigReplyMs = 1000;
// A port where no board answers this soon is refused at opening.
constexpr uint32_t kOpenProbeMs = 1000;
constexpr int kOffsetWaitMs = 400;
// After a loss the line is tried this often for a few seconds: a board busy a moment
// answers again after its pause and one attempt, not a whole reopen interval later.
constexpr std::chrono::milliseconds kQuickReopen{100};
constexpr std::chrono::milliseconds kQuickReopenSpan{5000};
constexpr int kMinOffsetWaitMs = 200;
// Spike filter: raw values outside this range, or further than kMaxStep from the last
// accepted sample, are dropped once the board offsets are known.
constexpr double kMinRaw = -10.0;
constexpr double kMaxRaw = 1000.0;
constexpr double kMaxStep = 100.0;

}  // namespace

CSerialSatelDevice::CSerialSatelDevice(const wxString& port, int periodMs, bool synchronised,
                                       double sizeMm, bool verbose)
    : CAnalogDevice(synchronised)
{
    m_verbose = verbose;
    // The period travels as one byte; 0 would also divide by zero below.
    m_period = (periodMs >= 1 && periodMs <= 255) ? periodMs : kDefaultPeriodMs;
    m_size = std::isfinite(sizeMm) ? sizeMm : 400.0;
    m_displayName = _("SATEL Serial Balance Board");
    m_deviceKey = "satel_device";
    SetDeviceName("satel_device");
    m_configPath = "/Analog/satel_device";
    m_deviceType = 5;
    m_channelCount = kChannels;
    m_dim = 1;
    m_rate = 1000.0 / m_period;
    m_replyTimeoutMs = DefaultReplyTimeoutMs(m_period);
    m_line.SetQuickReopen(kQuickReopen, kQuickReopenSpan);
    m_halfPeriod = 1.0 / (2.0 * m_rate.load());
    m_minValue = -m_size;
    m_maxValue = m_size;
    m_firstChannelParam = kOwnParams;
    m_exportExtension = ".txt";
    m_cpStatTime = 30.0;
    // Room for the longest reply and the samples held back: nothing is allocated per
    // sample on the acquisition thread.
    m_queue.resize(kMaxReply / kSampleSize + kHoldBack + 1);
    m_queueGaps.resize(m_queue.size());
    InitChannels();
    m_ready = open(port);
    if (!m_ready) return;
    m_deviceKey = "SATEL Balance Board";
    m_devicePath = MakeDevicePath(m_portName);
    m_cpDevice = true;
    for (int i = 0; i < kChannels; ++i) {
        SetChannelName(i, kChannelNames[i]);
        SetChannelUnit(i, kChannelUnits[i]);
    }
}

CSerialSatelDevice::~CSerialSatelDevice()
{
    // The acquisition thread ends before the port it reads goes.
    Close();
    if (IsClosed()) m_port.Close();
}

wxString CSerialSatelDevice::MakeDevicePath(const wxString& port) { return "satel/" + port; }

uint32_t CSerialSatelDevice::DefaultReplyTimeoutMs(int periodMs)
{
    const uint32_t period = periodMs > 0 ? static_cast<uint32_t>(periodMs) : kDefaultPeriodMs;
    return std::max(kMinReplyTimeoutMs, kReplyPeriods * period);
}

void CSerialSatelDevice::SetReplyTimeouts(std::chrono::milliseconds sample,
                                          std::chrono::milliseconds config)
{
    m_replyTimeoutMs = static_cast<uint32_t>(std::max<int64_t>(1, sample.count()));
    m_configTimeoutMs = static_cast<uint32_t>(std::max<int64_t>(1, config.count()));
}

void CSerialSatelDevice::MakeFrame(uint8_t command, uint8_t argument, uint8_t frame[kFrameSize])
{
    const uint8_t bytes[kFrameSize] = {0x23,    0x49,     0x00, 0x03,
                                       command, argument, 0x00, kTerminator};
    std::memcpy(frame, bytes, kFrameSize);
}

uint16_t CSerialSatelDevice::DecodeU16(const uint8_t* bytes)
{
    return static_cast<uint16_t>((static_cast<uint16_t>(bytes[0]) << 8) | bytes[1]);
}

void CSerialSatelDevice::DecodeSample(const uint8_t* bytes, double values[3])
{
    for (int i = 0; i < 3; ++i) values[i] = static_cast<int16_t>(DecodeU16(bytes + 2 * i));
}

void CSerialSatelDevice::LogError(const wxString& text)
{
    if (m_owner.load() != nullptr) {
        g_messages.Post(Severity::Error, text);
        return;
    }
    std::fputs(text.utf8_str().data(), stderr);
    std::fflush(stderr);
}

bool CSerialSatelDevice::open(const wxString& port)
{
    m_portName = port.empty() ? wxString("com1") : port;
    if (m_verbose) Log("Opening satel Port : " + m_portName + "\n");
    for (int i = 0; i < 3; ++i) {
        m_raw[i] = 0.0;
        m_boardOffset[i] = 0.0;
    }
    m_cpX = m_cpY = 0.0;
    const wxCharBuffer name = m_portName.mb_str();
    const int code = m_port.Open(name.data() ? name.data() : "", &m_settings);
    if (code != 1) {
        wxLogError(_("Cannot open the SATEL board's port %s: %s"), m_portName,
                   wxString::FromUTF8(CSerialPort::OpenFailureText(code, name.data())));
        m_port.Close();  // a line left half configured serves nobody and blocks a retry
        return false;
    }
    // A port where nothing answers is no board: said now, not later as a failed offset.
    uint8_t frame[kFrameSize];
    MakeFrame(kSetPeriod, static_cast<uint8_t>(m_period), frame);
    DiscardStale();
    if (!SendCommand(frame, kFrameSize) || !AwaitAck(kSetPeriod, kOpenProbeMs)) {
        wxLogError(_("No SATEL board answers on %s%s"), m_portName, PathNote(m_portName));
        m_port.Close();
        return false;
    }
    if (m_verbose) Log(m_portName + " is now opened.\n");
    return true;
}

bool CSerialSatelDevice::SendCommand(const uint8_t* frame, size_t length)
{
    if (!m_port.IsOpen()) return false;
    const int code = m_port.WriteBytes(frame, length);
    if (code == 1) return true;
    if (m_verbose) Log(wxString::Format("<CMD_error> %d\t", code));
    return false;
}

void CSerialSatelDevice::DiscardStale()
{
    m_port.FlushReceiver();
    ForgetReply();
}

wxString CSerialSatelDevice::TextHead() const
{
    return wxString::Format(_("<SATEL> %s on %s: "), GetDeviceName(), m_portName);
}

void CSerialSatelDevice::Pause(int ms)
{
    std::unique_lock<std::mutex> lock(m_closeMutex);
    m_closeWake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_closing.load(); });
}

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
            if (m_verbose) Log(step.sendError);
            return false;
        }
        if (!AwaitAck(step.command, timeoutMs)) {
            if (m_verbose) Log(step.readError);
            return false;
        }
        // The board answers in order: a request sent before it acknowledged its period
        // and unanswered by then waits no more.
        if (step.command == kSetPeriod) m_requestCount = m_expiredRequests = 0;
    }
    return true;
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
    const double sentUs = ReadProgramClockUs();
    if (!SendCommand(frame, kFrameSize)) {
        if (m_verbose) Log("Unable to start data collection\n");
        return false;
    }
    NoteRequest(sentUs);
    // The first reply after the offsets holds what the board gathered since this one.
    const int expected = waitMs / m_period;
    int samples = 0;
    for (int i = 0; i < 4; ++i) {  // acknowledgements that came late are passed over
        const Reply reply = ReadOneReply(m_configTimeoutMs);
        if (reply == Reply::Ack || reply == Reply::Damaged || reply == Reply::Repeat ||
            reply == Reply::Noise)
            continue;
        if (reply == Reply::Samples) {
            NoteAnswered();
            samples = std::min(m_replySamples, expected);
        }
        break;
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
    // next bytes may still show misread (an unconfirmed reply) is no start.
    if (m_queueCount > m_unconfirmed) {
        CMutexLock lock(&m_dataMutex);
        std::copy(m_queue[m_queueHead].begin(), m_queue[m_queueHead].end(), m_previous);
    }
    m_line.NoteFreshFrame(-1);
    m_freshShown = false;
    m_lastRead = ReadProgramClockUs();
}

void CSerialSatelDevice::PauseUs(int64_t us)
{
    std::unique_lock<std::mutex> lock(m_closeMutex);
    m_closeWake.wait_for(lock, std::chrono::microseconds(us), [this] { return m_closing.load(); });
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
    // Samples gathered before the first frame belong to no frame.
    DropQueued(2);
}

void CSerialSatelDevice::QueueSample(const double values[3])
{
    const size_t capacity = m_queue.size();
    if (capacity == 0) return;
    // Only a device that is not paced (no ticks take the samples) finds it full.
    if (m_queueCount == capacity) DropQueued(capacity - 1, IsRunning());
    const size_t at = (m_queueHead + m_queueCount) % capacity;
    std::copy(values, values + 3, m_queue[at].begin());
    // What went missing since the sample before shows when this one is shown.
    m_queueGaps[at] = {m_skippedBeforeNext, m_lostBeforeNext};
    m_skippedBeforeNext = 0;
    m_lostBeforeNext = 0;
    ++m_queueCount;
    ++m_queuedTotal;
}

void CSerialSatelDevice::CarryGap(const std::array<int64_t, 2>& gap)
{
    if (m_queueCount > 0) {
        m_queueGaps[m_queueHead][0] += gap[0];
        m_queueGaps[m_queueHead][1] += gap[1];
        return;
    }
    m_skippedBeforeNext += gap[0];
    m_lostBeforeNext += gap[1];
}

void CSerialSatelDevice::ClearGaps()
{
    if (m_queueCount > 0) {
        m_queueGaps[m_queueHead] = {0, 0};
        return;
    }
    m_skippedBeforeNext = 0;
    m_lostBeforeNext = 0;
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
        std::array<int64_t, 2> gap = m_queueGaps[m_queueHead];
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
    ConfirmLoneIfQuiet();
    bool fresh = PopSample();
    if (fresh) {
        // A sample the spike filter refuses keeps the row: the frame repeats the last
        // values and the sample reaches no frame.
        const int64_t droppedBefore = m_droppedSamples.load();
        ParseSample();
        if (m_droppedSamples.load() != droppedBefore) {
            fresh = false;
            if (running) m_filteredSamples.fetch_add(1);
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
            }
            m_freshShown = true;
        } else
            m_repeatedFrames.fetch_add(1);
        DispatchFrame();
        CountSample();
    }
    // Once the schedule is caught up, a clock that runs ahead of ours leaves more
    // samples than the hold-back: the oldest go, so that frames never fall behind.
    if (m_queueCount <= kHoldBack + m_unconfirmed || IsNextTickDue()) return;
    DropQueued(kHoldBack, running);
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
    ConfirmLoneIfQuiet();
    if (m_replyFill > 0 || m_awaiting || m_cutting) {
        const bool awaited = m_awaiting && m_replyFill == 0;
        last = SettlePartialReply();
        if (last == Reply::Samples) TakeReply(false);
        if (last == Reply::None && awaited) m_missedReplies.fetch_add(1);
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
    ConfirmLoneIfQuiet();
    if (m_loneOpen) {
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
    m_byteDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_replyTimeoutMs);
    m_awaiting = true;
    for (int i = 0; i < 16; ++i) {  // acknowledgements that came late are passed over
        last = ReadOneReply(m_replyTimeoutMs);
        if (last != Reply::Ack && last != Reply::Repeat && last != Reply::Noise) break;
    }
    if (last == Reply::Samples) TakeReply(false);
    if (last == Reply::None && m_replyFill == 0) m_missedReplies.fetch_add(1);
    return settle();
}

bool CSerialSatelDevice::ParseSample()
{
    CMutexLock lock(&m_dataMutex);
    if (m_offsetsDone.load()) {
        bool outOfRange = false;
        bool stepped = false;
        for (int i = 0; i < 3; ++i) {
            outOfRange = outOfRange || m_raw[i] < kMinRaw || m_raw[i] > kMaxRaw;
            stepped = stepped || std::fabs(m_raw[i] - m_previous[i]) > kMaxStep;
        }
        if (outOfRange) {
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

void CSerialSatelDevice::ReportOnce(bool& reported, const wxString& text)
{
    if (reported) return;
    reported = true;
    g_messages.Post(Severity::Error, text);
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
                   TextHead() + wxString::Format(_("damaged reply refused at frame %lld; refusals "
                                                   "are counted and reported at closing\n"),
                                                 static_cast<long long>(GetSampleCounter())));
    if (m_cutReplies.load() > 0)
        ReportOnce(m_cutReported,
                   TextHead() + wxString::Format(_("a reply longer than expected was cut at "
                                                   "frame %lld; its newest samples are lost\n"),
                                                 static_cast<long long>(GetSampleCounter())));
    if (change == CLineWatch::Change::Lost) {
        // The first frame without a sample read from the line: samples still queued
        // go out first.
        const int64_t queued = static_cast<int64_t>(QueuedSamples());
        m_lostFrame = queued > 0 ? GetSampleCounter() + queued : m_line.GetFrozenFrom();
        g_messages.Post(Severity::Error,
                        CLineWatch::LostText("<SATEL> ", GetDeviceName(), m_portName, m_lostFrame));
    }
    if (change == CLineWatch::Change::Back) PostBack();
}

void CSerialSatelDevice::SetYield()
{
    // A reply on its way gives way to a frame that falls due: the frames keep their
    // rate however slow the line. A frame late by a few periods is no harm (it catches
    // up at once); one held for the whole of a long reply on a slow line is.
    const double dueUs = IsRunning() ? GetNextSampleDueUs() : std::nan("");
    m_yieldAtUs = std::isfinite(dueUs) ? std::max(dueUs, ReadProgramClockUs()) +
                                             std::max(2.0 * m_period, 50.0) * 1000.0
                                       : HUGE_VAL;
}

void CSerialSatelDevice::PostBack()
{
    g_messages.Post(Severity::Error, CLineWatch::BackText("<SATEL> ", GetDeviceName(), m_portName,
                                                          m_lostFrame, GetSampleCounter()));
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
        ForgetReply();  // a new line: nothing read before belongs to it
    }
    m_lineVanished = false;
    // A board that lost power forgot its period: configure it again. It is back once
    // it answers a sample request too; or once a late reply's samples came meanwhile,
    // which the next frames carry.
    const int64_t samplesBefore = m_takenSamples;
    if (!ConfigureBoard(m_replyTimeoutMs)) {
        m_lineVanished = !m_port.IsOpen() || m_lineVanished;
        return !m_lineVanished && m_takenSamples > samplesBefore;
    }
    // A board that lost power may come back counting and ending its replies otherwise:
    // its way is learnt again.
    m_lengthRule = m_ruleCandidate = LengthRule::Unknown;
    m_ruleVotes = 0;
    m_ending = Ending::Unknown;
    ReadFrames(0);
    return m_lastOutcome == ReadOutcome::Samples || m_lastOutcome == ReadOutcome::Empty ||
           (m_lastOutcome != ReadOutcome::Failed && m_takenSamples > samplesBefore);
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

void CSerialSatelDevice::Close()
{
    if (IsClosed()) return;
    {
        std::lock_guard<std::mutex> lock(m_closeMutex);
        m_closing = true;
    }
    m_closeWake.notify_all();
    CDevice::Close();
    // A thread that did not end may still read the line: leave it its port.
    if (!IsClosed()) return;
    m_port.Close();
    m_ready = false;
    const int64_t missed = m_missedReplies.load();
    const int64_t damaged = m_damagedReplies.load();
    const int64_t cut = m_cutReplies.load();
    const int64_t losses = m_line.GetLostCount();
    if (missed > 0 || damaged > 0 || cut > 0 || losses > 0) {
        wxString text = TextHead() + wxString::Format(
            _("%lld replies missed (%lld came late, their samples kept), %lld damaged replies "
              "refused, %lld replies cut, line lost %lld times"),
            static_cast<long long>(missed), static_cast<long long>(m_lateReplies.load()),
            static_cast<long long>(damaged), static_cast<long long>(cut),
            static_cast<long long>(losses));
        if (m_line.IsLost())
            text += wxString::Format(_(", silent from frame %lld on"),
                                     static_cast<long long>(m_lostFrame));
        g_messages.Post(Severity::Error, text + "\n");
    }
    // Every board sample that no frame carries, by cause: the total is what the frames
    // show missing.
    const int64_t skipped = m_skippedSamples.load();
    const int64_t lost = m_lostSamples.load();
    const int64_t filtered = m_filteredSamples.load();
    const int64_t repeated = m_repeatedFrames.load();
    if (skipped > 0 || lost > 0 || filtered > 0 || repeated > 0) {
        wxString text = TextHead() +
                        wxString::Format(_("%lld board samples reached no frame (%lld dropped to "
                                           "keep the schedule, %lld lost in refused or cut "
                                           "replies"),
                                         static_cast<long long>(skipped + lost + filtered),
                                         static_cast<long long>(skipped),
                                         static_cast<long long>(lost));
        if (filtered > 0)
            text += wxString::Format(_(", %lld refused by the spike filter"),
                                     static_cast<long long>(filtered));
        text += wxString::Format(_("); %lld frames repeated the last values"),
                                 static_cast<long long>(repeated));
        const int64_t twice = m_repeatedReplies.load();
        if (twice > 0)
            text += wxString::Format(_("; %lld replies that answered no request dropped"),
                                     static_cast<long long>(twice));
        g_messages.Post(Severity::Error, text + "\n");
    }
}

void CSerialSatelDevice::Reset()
{
    CAnalogDevice::Reset();
    ResetCounters();
    ClearMarkers();
    m_lastRead = ReadProgramClockUs();
}

void* CSerialSatelDevice::GetParam(int id, int* count, int* type)
{
    if (id < 0 || id >= kOwnParams) return CAnalogDevice::GetParam(id, count, type);
    *count = 1;
    *type = kParamTypes[id];
    switch (id) {
        case kName:
            m_paramText = GetDeviceName();  // a copy: the name is guarded
            return &m_paramText;
        case kMin:
            return &m_minValue;
        case kMax:
            return &m_maxValue;
        case kYOffset:
            return &m_yOffset;
        case kWeightScale:
            return &m_weightScale;
        case kShowCP:
            return &m_showCPStat;
        case kCPTime:
            return &m_cpStatTime;
        case kCPLevel:
            return &m_cpStatLevel;
        default:
            *count = 0;
            return nullptr;
    }
}

wxString CSerialSatelDevice::GetParamLabel(int id)
{
    if (id < 0 || id >= kOwnParams) return CAnalogDevice::GetParamLabel(id);
    return wxGetTranslation(kParamKeys[id]);
}

wxString CSerialSatelDevice::GetParamKey(int id)
{
    if (id < 0 || id >= kOwnParams) return CAnalogDevice::GetParamKey(id);
    return kParamKeys[id];
}

bool CSerialSatelDevice::SetParam(const void* value, int id, int count, int type, bool* changed)
{
    if (id < 0 || id >= kOwnParams) {
        const bool taken = CAnalogDevice::SetParam(value, id, count, type, changed);
        ApplyExportExtension();
        return taken;
    }
    bool isChanged = false;
    bool taken = false;
    const bool wasRunning = IsRunning();
    if (wasRunning) Stop();
    if (count == 1 && value != nullptr && type == kParamTypes[id]) {
        taken = true;
        const wxString label = GetParamLabel(id);
        const double real = type == PARAM_DOUBLE ? *static_cast<const double*>(value) : 0.0;
        switch (id) {
            case kName: {
                const wxString& name = *static_cast<const wxString*>(value);
                if (!check_string_value(name, GetDeviceName(), label).empty() && !name.empty()) {
                    SetDeviceName(name);
                    isChanged = true;
                }
                break;
            }
            case kMin:
            case kMax:
                if (!std::isfinite(real)) {
                    taken = false;  // a range of NaN or infinity cannot be drawn
                    break;
                }
                (id == kMin ? m_minValue : m_maxValue) = real;
                break;
            case kYOffset: {
                const double offset =
                    check_real_value(real, m_yOffset, -m_size / 2, m_size / 2, label);
                CMutexLock lock(&m_dataMutex);  // the samples are parsed with it
                m_yOffset = offset;
                break;
            }
            case kWeightScale: {
                const double scale = check_real_value(real, m_weightScale, 0.1, 1000.0, label);
                CMutexLock lock(&m_dataMutex);
                m_weightScale = scale;
                break;
            }
            case kShowCP:
                m_showCPStat = *static_cast<const uint8_t*>(value) != 0 ? 1 : 0;
                isChanged = true;
                break;
            case kCPTime:
                m_cpStatTime = check_real_value(real, m_cpStatTime, 5.0, 120.0, label);
                isChanged = true;
                break;
            case kCPLevel: {
                const uint32_t level = static_cast<uint32_t>(*static_cast<const int32_t*>(value));
                m_cpStatLevel =
                    level < static_cast<uint32_t>(kLevelCount) ? static_cast<int32_t>(level) : 0;
                isChanged = true;
                break;
            }
            default:
                break;
        }
        FixRange();
    }
    if (changed != nullptr) *changed = isChanged;
    if (wasRunning) Start();
    ApplyExportExtension();
    return taken;
}

void CSerialSatelDevice::FixRange()
{
    if (m_minValue > m_maxValue)
        std::swap(m_minValue, m_maxValue);
    else if (m_minValue == m_maxValue) {
        m_minValue = -m_size;
        m_maxValue = m_size;
    }
}

int CSerialSatelDevice::GetChoiceCount(int id) { return id == kCPLevel ? kLevelCount : 0; }

wxString CSerialSatelDevice::GetChoiceLabel(int id, int choice)
{
    if (id == kCPLevel && choice >= 0 && choice < kLevelCount) return kLevels[choice];
    return _("???");
}

bool CSerialSatelDevice::LoadConfig(wxConfigBase* config)
{
    m_exportExtension = ".txt";
    const bool loaded = CAnalogDevice::LoadConfig(config);
    if (loaded) ApplyExportExtension();
    return loaded;
}

void CSerialSatelDevice::ApplyExportExtension()
{
    int enabled = 0;
    if (m_channelOn != nullptr) {
        for (int i = 0; i < m_channelCount; ++i) enabled += m_channelOn[i] ? 1 : 0;
    }
    const bool onlyCP =
        enabled == 2 && m_channelCount >= kChannels && m_channelOn[4] && m_channelOn[5];
    m_exportExtension = onlyCP ? ".cp" : ".txt";
}

int CSerialSatelDevice::EnabledBefore(int channel) const
{
    if (m_channelOn == nullptr || channel < 0 || channel >= m_channelCount || !m_channelOn[channel])
        return -1;
    int before = 0;
    for (int i = 0; i < channel; ++i) before += m_channelOn[i] ? 1 : 0;
    return before;
}

int CSerialSatelDevice::GetCPXIndex() const { return EnabledBefore(4); }

int CSerialSatelDevice::GetCPYIndex() const { return EnabledBefore(5); }
