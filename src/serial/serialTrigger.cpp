#include "serial/serialTrigger.h"

#include "process/clock.h"
#include "process/messageQueue.h"

#include <wx/translation.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include <pthread.h>

namespace {

constexpr char kPrefix[] = "data=";
constexpr size_t kPrefixLength = sizeof kPrefix - 1;
constexpr long kReadingCount = 1024;  // 10-bit converter
constexpr double kFullScaleVolts = 5.0;
// Receives of one ReadLines: far more than a converter sends between two passes.
constexpr int kMostReceivesPerRead = 64;
// The reader thread looks at its stop request at least this often.
constexpr uint32_t kReaderPassMs = 20;

// Around a reading: white space, line ends, control bytes and 8-bit bytes are noise
// of the line (a converter's start-up, a cable), never part of the reading.
bool IsNoise(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte <= ' ' || byte >= 0x7f;
}

bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

}  // namespace

CSerialTrigger::CSerialTrigger(uint32_t timeoutMs) : m_timeoutMs(timeoutMs) {}

CSerialTrigger::~CSerialTrigger() { Close(); }

bool CSerialTrigger::Open(const wxString& port, uint32_t baud)
{
    Close();
    m_settings = SerialSettings();
    m_settings.baud = baud;
    const wxCharBuffer name = port.mb_str();  // empty when the locale cannot hold it
    const char* narrow = name.data() ? name.data() : "";
    if (m_port.Open(narrow, &m_settings) != 1) {
        m_port.Close();  // a line left open but unconfigured is of no use
        return false;
    }
    m_isOpen = m_port.IsOpen();
    if (!m_isOpen) return false;
    m_portName = port;
    m_line.Reset();
    m_refusedLines = 0;
    m_refusedSinceReading = 0;
    m_deafSaidAt = Clock::time_point();
    m_refusalReported = false;
    m_lossesAtOpen = m_line.GetLostCount();
    m_port.SetDtr();  // converters without the line (or a pseudo-terminal) refuse; harmless
    ForgetReceived();
    double discarded = 0.0;
    ReadLine(discarded, m_timeoutMs == 0 ? kOpenSyncMs : m_timeoutMs);
    // In step: what came before the opening is no trigger of this program.
    m_port.FlushReceiver();
    ForgetReceived();
    m_crossings.Clear();
    {
        std::lock_guard<std::mutex> lock(m_arrivedMutex);
        m_arrivedHead = 0;
        m_arrivedCount = 0;
        m_arrivedOffset = 0;
        m_droppedBytes = 0;
    }
    StartReader();  // without it, the owner's reads take the bytes themselves
    return m_isOpen;
}

void CSerialTrigger::Close()
{
    if (!m_isOpen) return;
    StopReader();
    m_port.ClearRts();
    m_port.ClearDtr();
    m_port.Close();
    m_isOpen = false;
    // What this opening met, as the devices say it when they close.
    const int64_t losses = m_line.GetLostCount() - m_lossesAtOpen;
    if (m_refusedLines > 0 || losses > 0)
        g_messages.Post(Severity::Error,
                        wxString::Format(_("<COM> %s: %lld lines from %s refused, line lost %lld "
                                           "times\n"),
                                         _("serial trigger"), static_cast<long long>(m_refusedLines),
                                         m_portName, static_cast<long long>(losses)));
    const int64_t dropped = GetDroppedBytes();
    if (dropped > 0)
        g_messages.Post(Severity::Error,
                        wxString::Format(_("<COM> %s: %lld bytes from %s came while nothing read "
                                           "them and were dropped\n"),
                                         _("serial trigger"), static_cast<long long>(dropped),
                                         m_portName));
}

int64_t CSerialTrigger::GetDroppedBytes() const
{
    std::lock_guard<std::mutex> lock(m_arrivedMutex);
    return m_droppedBytes;
}

bool CSerialTrigger::StartReader()
{
    StopReader();
    {
        std::lock_guard<std::mutex> lock(m_arrivedMutex);
        // What the reader before took stays, to be read in order: a line opened again
        // after a silence may have answered while its reader was being stopped.
        m_readerFailed = false;
        // Silence is counted from the opening on.
        m_heardAt = Clock::now();
        m_emptyAt = m_heardAt;
    }
    m_stopReader = false;
    try {
        m_reader = std::thread([this] { ReaderLoop(); });
    } catch (const std::exception& e) {
        g_messages.Post(Severity::Error, wxString::Format(_("<COM> %s on %s: no reader thread (%s); "
                                                            "lines are read when looked at\n"),
                                                          _("serial trigger"), m_portName, e.what()));
        return false;
    }
    return true;
}

void CSerialTrigger::StopReader()
{
    if (!m_reader.joinable()) return;
    m_stopReader = true;
    m_reader.join();
}

// Reads what comes as it comes and notes when; the owner parses it on its own thread.
void CSerialTrigger::ReaderLoop() noexcept
{
    pthread_setname_np(pthread_self(), "qv-trigger-rx");
    while (!m_stopReader.load()) {
        if (void (*beforeRead)() = m_beforeRead.load()) beforeRead();
        char bytes[kChunkBytes];
        const Clock::time_point readAt = Clock::now();
        const int got = m_port.ReadAvailable(bytes, kChunkBytes, kReaderPassMs);
        const double atUs = GetProgramTime();
        if (got >= 0) NotePortRead(got, readAt);
        if (got == 0) continue;
        {
            std::lock_guard<std::mutex> lock(m_arrivedMutex);
            if (got < 0) {
                m_readerFailed = true;  // the owner closes the port and opens it again
            } else if (m_arrivedCount == kArrivedChunks) {
                m_droppedBytes += got;
            } else {
                Chunk& chunk = m_arrived[(m_arrivedHead + m_arrivedCount) % kArrivedChunks];
                chunk.atUs = atUs;
                chunk.length = static_cast<size_t>(got);
                std::memcpy(chunk.bytes, bytes, chunk.length);
                ++m_arrivedCount;
            }
        }
        m_arrivedCv.notify_all();
        if (void (*wakeUp)() = m_wakeUp.load()) wakeUp();
        if (got < 0) return;
    }
}

bool CSerialTrigger::Reopen()
{
    StopReader();
    m_port.Close();
    ForgetReceived();  // a line cut by the loss is no reading
    const wxCharBuffer name = m_portName.mb_str();
    m_port.SetReportErrors(false);  // retried every few seconds: no repeated messages
    const int code = m_port.Open(name.data() ? name.data() : "", &m_settings);
    m_port.SetReportErrors(true);
    if (code != 1) {
        m_port.Close();
        return false;
    }
    m_port.SetDtr();
    StartReader();
    return true;
}

void CSerialTrigger::ReopenIfDue()
{
    if (!m_line.IsLost()) return;
    if (m_port.IsOpen()) {
        // Bytes that came since the loss wait to be read: the line answers, and opening
        // it again would drop them.
        std::lock_guard<std::mutex> lock(m_arrivedMutex);
        if (m_arrivedCount > 0) return;
    }
    if (!m_line.IsReopenDue()) return;
    Reopen();
    m_line.ReopenTried();
}

bool CSerialTrigger::ReadValue(double& volts)
{
    if (!m_isOpen) return false;
    ReopenIfDue();
    if (!m_port.IsOpen()) return false;
    const int result = ReadLine(volts, m_timeoutMs);
    if (result == -1)
        NoteSilence();
    else
        NoteRead(result);
    return result == 1;
}

int CSerialTrigger::ReadLines(uint32_t waitMs)
{
    if (!m_isOpen) return 0;
    ReopenIfDue();
    if (!m_port.IsOpen()) return 0;
    int readings = 0;
    int lines = 0;
    int refused = 0;
    bool hasWaited = false;
    // Bounded: a line that never falls silent must not hold the caller.
    for (int receives = 0; receives < kMostReceivesPerRead; ++receives) {
        char line[kMaxLine + 1];
        double atUs = 0.0;
        for (size_t length = TakeLine(line, atUs); length > 0; length = TakeLine(line, atUs)) {
            double volts = 0.0;
            ++lines;
            const int result = TakeReading(line, length, atUs, volts);
            if (result == 1)
                ++readings;
            else if (result == 0)
                ++refused;
        }
        const int got = Receive(hasWaited || lines > 0 ? 0 : waitMs);
        hasWaited = true;
        if (got < 0) {
            NoteRead(-2);
            return readings;
        }
        if (got == 0) break;
    }
    if (lines > 0)
        NoteRead(refused > 0 ? 0 : 1);  // both make the line answer again
    else
        NoteSilence();
    return readings;
}

void CSerialTrigger::NotePortRead(int got, Clock::time_point readAt)
{
    std::lock_guard<std::mutex> lock(m_arrivedMutex);
    if (got > 0)
        m_heardAt = Clock::now();
    else
        m_emptyAt = readAt;  // bytes stay in the port until read: none came before
}

void CSerialTrigger::NoteSilence()
{
    if (m_timeoutMs == 0) return;
    Clock::time_point heardAt;
    Clock::time_point emptyAt;
    {
        std::lock_guard<std::mutex> lock(m_arrivedMutex);
        heardAt = m_heardAt;
        emptyAt = m_emptyAt;
    }
    // Measured where the bytes come, not when they are taken: a reader held up has not
    // looked at the port, and its bytes carry when they came.
    const std::chrono::milliseconds timeout(m_timeoutMs);
    if (heardAt > m_silenceCounted) {
        m_silenceCounted = heardAt;
        // Bytes came since the last time-out counted: the next ones are a new silence.
        if (!m_line.IsLost()) m_line.Succeeded();
    }
    for (int i = 0; i < CLineWatch::kFailuresToLose && emptyAt - m_silenceCounted >= timeout; ++i) {
        m_silenceCounted += timeout;
        NoteRead(-1);
    }
    // Longer still: lost already, nothing more to count.
    if (emptyAt - m_silenceCounted >= timeout) m_silenceCounted = emptyAt;
}

void CSerialTrigger::NoteRead(int result)
{
    const wxString device = _("serial trigger");
    CLineWatch::Change change = CLineWatch::Change::None;
    if (result >= 0) {
        change = m_line.Succeeded();
    } else {
        change = m_line.Failed(result == -2);
        if (result == -2) {
            StopReader();
            m_port.Close();  // the port is gone: opened again later
        }
    }
    if (change == CLineWatch::Change::Lost)
        g_messages.Post(Severity::Error, CLineWatch::LostText("<COM> ", device, m_portName, -1));
    else if (change == CLineWatch::Change::Back)
        g_messages.Post(Severity::Error, CLineWatch::BackText("<COM> ", device, m_portName, -1, -1));
    if (result == 0 && !m_refusalReported) {
        m_refusalReported = true;
        g_messages.Post(Severity::Error,
                        wxString::Format(_("<COM> %s: a line from %s that is no reading was "
                                           "refused; further ones are only counted\n"),
                                         device, m_portName));
    }
}

int CSerialTrigger::Receive(uint32_t waitMs)
{
    if (!m_port.IsOpen()) return -2;
    if (m_reader.joinable()) return TakeArrived(waitMs);
    const Clock::time_point readAt = Clock::now();
    const int got =
        m_port.ReadAvailable(m_received + m_receivedLength,
                             static_cast<uint32_t>(kReceiveBytes - m_receivedLength), waitMs);
    if (got < 0) return -2;
    NotePortRead(got, readAt);
    std::fill_n(m_receivedAt + m_receivedLength, got, GetProgramTime());
    m_receivedLength += static_cast<size_t>(got);
    return got;
}

int CSerialTrigger::TakeArrived(uint32_t waitMs)
{
    std::unique_lock<std::mutex> lock(m_arrivedMutex);
    if (m_arrivedCount == 0 && !m_readerFailed && waitMs > 0)
        m_arrivedCv.wait_for(lock, std::chrono::milliseconds(waitMs),
                             [this] { return m_arrivedCount > 0 || m_readerFailed; });
    size_t moved = 0;
    while (m_arrivedCount > 0 && m_receivedLength < kReceiveBytes) {
        Chunk& chunk = m_arrived[m_arrivedHead];
        const size_t count =
            std::min(chunk.length - m_arrivedOffset, kReceiveBytes - m_receivedLength);
        std::memcpy(m_received + m_receivedLength, chunk.bytes + m_arrivedOffset, count);
        std::fill_n(m_receivedAt + m_receivedLength, count, chunk.atUs);
        m_receivedLength += count;
        m_arrivedOffset += count;
        moved += count;
        if (m_arrivedOffset == chunk.length) {
            m_arrivedHead = (m_arrivedHead + 1) % kArrivedChunks;
            --m_arrivedCount;
            m_arrivedOffset = 0;
        }
    }
    // What came before the failure is read first; the failure then.
    if (moved == 0 && m_readerFailed) return -2;
    return static_cast<int>(moved);
}

size_t CSerialTrigger::TakeLine(char* line, double& atUs)
{
    const size_t window = std::min(m_receivedLength, static_cast<size_t>(kMaxLine));
    // A carriage return ends a line as a line feed does: converters send either, or
    // both in either order (the second then ends an empty line).
    const char* end = std::find_if(m_received, m_received + window, IsLineEnd);
    size_t length = 0;
    if (end != m_received + window)
        length = static_cast<size_t>(end - m_received) + 1;
    else if (m_receivedLength >= kMaxLine)
        length = kMaxLine;  // that many bytes without a line end count as one line
    if (length == 0) return 0;
    std::memcpy(line, m_received, length);
    line[length] = '\0';
    atUs = m_receivedAt[length - 1];  // a line has come once its last byte has
    m_receivedLength -= length;
    std::memmove(m_received, m_received + length, m_receivedLength);
    std::memmove(m_receivedAt, m_receivedAt + length, m_receivedLength * sizeof(double));
    return length;
}

int CSerialTrigger::TakeReading(const char* line, size_t length, double atUs, double& volts)
{
    if (std::all_of(line, line + length, IsNoise)) return -1;  // an empty line, or noise
    double value = 0.0;
    if (!ParseLine(line, length, value)) {
        ++m_refusedLines;
        if (m_refusedSinceReading++ == 0) m_deafFrom = Clock::now();
        return 0;
    }
    m_refusedSinceReading = 0;
    volts = value;
    m_crossings.Feed(value, atUs);
    return 1;
}

void CSerialTrigger::SayIfDeaf()
{
    if (!m_isOpen || m_refusedSinceReading == 0) return;
    const Clock::time_point now = Clock::now();
    if (now - m_deafFrom < m_deafNoteInterval || now - m_deafSaidAt < m_deafNoteInterval) return;
    m_deafSaidAt = now;
    const double seconds = std::chrono::duration<double>(now - m_deafFrom).count();
    g_messages.Post(Severity::Error,
                    wxString::Format(_("<COM> %s: no reading from %s for %.0f s: %lld lines came "
                                       "and were refused; the trigger hears no readings\n"),
                                     _("serial trigger"), m_portName, seconds,
                                     static_cast<long long>(m_refusedSinceReading)),
                    true);
}

int CSerialTrigger::ReadLine(double& volts, uint32_t timeoutMs)
{
    if (!m_isOpen || !m_port.IsOpen()) return -2;
    // 0: no limit; the wait is then taken a second at a time.
    const bool hasLimit = timeoutMs > 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        char line[kMaxLine + 1];
        double atUs = 0.0;
        const size_t length = TakeLine(line, atUs);
        if (length > 0) {
            const int result = TakeReading(line, length, atUs, volts);
            if (result >= 0) return result;
            continue;  // noise between lines: the next one is read
        }
        uint32_t waitMs = 1000;
        if (hasLimit) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return -1;
            waitMs = static_cast<uint32_t>(left.count());
        }
        if (Receive(waitMs) < 0) return -2;
    }
}

bool CSerialTrigger::ParseLine(const char* line, size_t length, double& volts)
{
    if (!line) return false;
    // NULs are no text anywhere; other noise only before the reading.
    std::string text;
    std::copy_if(line, line + length, std::back_inserter(text), [](char c) { return c != '\0'; });
    const auto begin = std::find_if_not(text.begin(), text.end(), IsNoise);
    // After the digits only white space and line ends: an 8-bit byte there may be a
    // digit the line lost.
    const auto end = std::find_if_not(text.rbegin(), text.rend(), [](char c) {
                         return static_cast<unsigned char>(c) <= ' ';
                     }).base();
    text = begin < end ? std::string(begin, end) : std::string();
    if (text.size() <= kPrefixLength || text.compare(0, kPrefixLength, kPrefix) != 0) return false;
    // Bytes come off the wire: only an optional sign and decimal digits make a number.
    const std::string number = text.substr(kPrefixLength);
    size_t first = (number[0] == '-' || number[0] == '+') ? 1 : 0;
    if (first >= number.size()) return false;
    for (size_t i = first; i < number.size(); ++i) {
        if (number[i] < '0' || number[i] > '9') return false;
    }
    errno = 0;
    const long reading = std::strtol(number.c_str(), nullptr, 10);
    if (errno == ERANGE || reading < 0 || reading >= kReadingCount) return false;
    volts = static_cast<double>(reading) * (1.0 / kReadingCount) * kFullScaleVolts;
    return true;
}
