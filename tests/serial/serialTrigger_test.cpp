#include "serial/serialTrigger.h"

#include "process/clock.h"

#include "serial/lineLink.h"
#include "serial/ptyPair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

class SerialTriggerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_pty.IsValid()); }
    // Opens on a silent line (the first read times out quickly), then reads with a
    // limit that only bounds a broken build.
    void OpenQuiet(CSerialTrigger& trigger)
    {
        trigger.SetTimeout(20);
        ASSERT_TRUE(trigger.Open(m_pty.SlaveName(), 19200));
        trigger.SetTimeout(5000);
    }
    bool ReadLine(CSerialTrigger& trigger, const std::string& line, double& volts)
    {
        EXPECT_TRUE(m_pty.Send(line));
        return trigger.ReadValue(volts);
    }
    CPtyPair m_pty;
};

TEST_F(SerialTriggerTest, ReadingsBecomeVoltsOnAFiveVoltScale)
{
    CSerialTrigger trigger(0);
    OpenQuiet(trigger);
    EXPECT_TRUE(trigger.IsOpen());
    EXPECT_EQ(trigger.GetSettings().baud, 19200u);
    double volts = -1.0;
    ASSERT_TRUE(ReadLine(trigger, "data=512\r\n", volts));
    EXPECT_DOUBLE_EQ(volts, 2.5);
    ASSERT_TRUE(ReadLine(trigger, "data=1023\r\n", volts));
    EXPECT_DOUBLE_EQ(volts, 4.9951171875);
    ASSERT_TRUE(ReadLine(trigger, "data=0\r\n", volts));
    EXPECT_DOUBLE_EQ(volts, 0.0);
    // A one-digit reading ended by a bare newline is 7 bytes long and still a value:
    // refusing it would keep the last (high) voltage and a capture would never stop.
    ASSERT_TRUE(ReadLine(trigger, "data=0\n", volts));
    EXPECT_DOUBLE_EQ(volts, 0.0);
    ASSERT_TRUE(ReadLine(trigger, "data=8\n", volts));
    EXPECT_DOUBLE_EQ(volts, 8.0 / 1024.0 * 5.0);
}

TEST_F(SerialTriggerTest, BadLinesAreRefusedAndLeaveTheValue)
{
    CSerialTrigger trigger(0);
    OpenQuiet(trigger);
    for (const char* line : {"data=1024\r\n", "data=-1\r\n", "data=12x\r\n", "value=512\r\n",
                             "data=\r\n", "data=-\r\n", "data=99999999999999999999\r\n",
                             "Data=512\r\n", "data= 512\r\n", "data=5\xff\r\n"}) {
        double volts = 1.25;
        EXPECT_FALSE(ReadLine(trigger, line, volts)) << line;
        EXPECT_EQ(volts, 1.25) << line;
    }
    const std::string garbage("da\0ta=5\xff\x80\r\n", 11);
    double volts = 1.25;
    EXPECT_FALSE(ReadLine(trigger, garbage, volts));
    EXPECT_EQ(volts, 1.25);
    ASSERT_TRUE(ReadLine(trigger, "data=256\r\n", volts));  // back in step afterwards
    EXPECT_DOUBLE_EQ(volts, 1.25);
}

// Converters end their lines with CR, LF or both in either order, and a line picks up
// NULs and 8-bit noise (a start-up, a cable): every form is a reading, none refused.
TEST_F(SerialTriggerTest, EveryLineEndAndNoiseAroundAReadingIsRead)
{
    CSerialTrigger trigger(0);
    OpenQuiet(trigger);
    const std::string forms[] = {
        "data=512\r\n", "data=512\n", "data=512\r", "data=512\n\r",
        std::string("da\0ta=512\r\n", 11), std::string("\0data=512\r\n", 11),
        "\xfe\xff" "data=512\r\n\x80", std::string("data=512\r\n\0", 11)};
    for (const std::string& form : forms) {
        double volts = 0.0;
        EXPECT_TRUE(ReadLine(trigger, form, volts)) << form;
        EXPECT_DOUBLE_EQ(volts, 2.5) << form;
    }
    EXPECT_EQ(trigger.GetRefusedLines(), 0);
}

TEST_F(SerialTriggerTest, ThirtyTwoBytesWithoutNewlineAreOneLine)
{
    CSerialTrigger trigger(0);
    OpenQuiet(trigger);
    const std::string line = "data=" + std::string(24, '0') + "512";
    ASSERT_EQ(line.size(), 32u);
    double volts = 0.0;
    ASSERT_TRUE(ReadLine(trigger, line, volts));
    EXPECT_DOUBLE_EQ(volts, 2.5);
}

// A converter sends all the time: lines that queued up between two reads are each
// read, in order; none is skipped for a fresher one.
TEST_F(SerialTriggerTest, QueuedLinesAreReadInOrderNoneSkipped)
{
    CSerialTrigger trigger(0);
    OpenQuiet(trigger);
    ASSERT_TRUE(m_pty.Send("data=900\r\ndata=100\r\ndata=900\r\n"));
    for (int reading : {900, 100, 900}) {
        double volts = 0.0;
        ASSERT_TRUE(trigger.ReadValue(volts)) << reading;
        EXPECT_DOUBLE_EQ(volts, reading * 5.0 / 1024.0);
    }
}

// Every line goes to the crossings, however many came between two passes and
// wherever a pass cut one: a single low line between highs is a stop and a start.
TEST_F(SerialTriggerTest, ShortLowBetweenPassesIsAStopAndAStart)
{
    CSerialTrigger trigger(100);
    OpenQuiet(trigger);
    trigger.SetLevels(4.0, 1.0);
    std::string lines;
    for (int i = 0; i < 5; ++i) lines += "data=900\r\n";  // 4.39 V
    lines += "data=100\r\n";                              // 0.49 V, one line
    for (int i = 0; i < 5; ++i) lines += "data=900\r\n";
    lines += "data=2";  // the rest comes after this pass
    ASSERT_TRUE(m_pty.Send(lines));
    int readings = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (readings < 11 && std::chrono::steady_clock::now() < end)
        readings += trigger.ReadLines(1000);
    EXPECT_EQ(readings, 11);
    ASSERT_TRUE(m_pty.Send("00\r\n"));  // 0.98 V: below the low level
    while (trigger.ReadLines(1000) == 0 && std::chrono::steady_clock::now() < end) {
    }
    EXPECT_DOUBLE_EQ(trigger.GetCrossings().GetLastValue(), 200 * 5.0 / 1024.0);
    std::vector<TriggerCrossing::Kind> kinds;
    TriggerCrossing crossing;
    while (trigger.GetCrossings().Pop(crossing)) kinds.push_back(crossing.kind);
    using Kind = TriggerCrossing::Kind;
    EXPECT_EQ(kinds, (std::vector<Kind>{Kind::Start, Kind::Stop, Kind::Start, Kind::Stop}));
    EXPECT_EQ(trigger.GetRefusedLines(), 0);
}

TEST_F(SerialTriggerTest, TimeOutAndClosedTriggerGiveNoValue)
{
    CSerialTrigger trigger(20);
    double volts = 3.0;
    EXPECT_FALSE(trigger.ReadValue(volts));
    trigger.Close();  // not open: nothing happens
    EXPECT_FALSE(trigger.IsOpen());
    ASSERT_TRUE(trigger.Open(m_pty.SlaveName(), 9600));
    EXPECT_FALSE(trigger.ReadValue(volts));
    EXPECT_EQ(volts, 3.0);
    trigger.Close();
    EXPECT_FALSE(trigger.IsOpen());
    EXPECT_FALSE(ReadLine(trigger, "data=1\r\n", volts));
}

TEST_F(SerialTriggerTest, OpenFailuresLeaveItClosed)
{
    CSerialTrigger trigger(20);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(trigger.Open("/nonexistent/tty", 19200));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "<COM> Device not found /nonexistent/tty\n");
    EXPECT_FALSE(trigger.IsOpen());
    testing::internal::CaptureStderr();
    EXPECT_FALSE(trigger.Open(m_pty.SlaveName(), 230400));  // not in the baud table
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(trigger.IsOpen());
    // The refused open did not keep the line: a second opener gets it.
    CSerialPort other;
    EXPECT_EQ(other.Open(m_pty.SlaveName().c_str(), nullptr), 1);
}

TEST_F(SerialTriggerTest, OpeningAgainTakesTheNewSettings)
{
    CSerialTrigger trigger(20);
    ASSERT_TRUE(trigger.Open(m_pty.SlaveName(), 9600));
    ASSERT_TRUE(trigger.Open(m_pty.SlaveName(), 38400));
    EXPECT_TRUE(trigger.IsOpen());
    EXPECT_EQ(trigger.GetSettings().baud, 38400u);
}

TEST(SerialTriggerThreads, OpenWithoutLimitDoesNotHangOnASilentConverter)
{
    CPtyPair pty;
    ASSERT_TRUE(pty.IsValid());
    CSerialTrigger trigger(0);
    auto opened =
        std::async(std::launch::async, [&] { return trigger.Open(pty.SlaveName(), 19200); });
    ASSERT_EQ(opened.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(opened.get());
    // Without a limit a read waits for the line, which comes from another thread.
    std::thread converter([&] { pty.Send("data=768\r\n"); });
    double volts = 0.0;
    EXPECT_TRUE(trigger.ReadValue(volts));
    converter.join();
    EXPECT_DOUBLE_EQ(volts, 3.75);
}

std::atomic<int> s_serialWakes{0};
void CountSerialWake() { s_serialWakes.fetch_add(1); }

// Whether the reader thread took every byte sent before the catch-up was asked: a read
// it began afterwards found the port empty (no wake between it and the next read),
// however late a busy machine let the thread run.
std::atomic<bool> s_isCatchUpAsked{false};
std::atomic<bool> s_hasCaughtUp{false};
int s_wakesBeforeRead = -1;  // reader thread only
void NoteCatchUp()
{
    const int wakes = s_serialWakes.load();
    if (s_isCatchUpAsked.load() && wakes == s_wakesBeforeRead) s_hasCaughtUp = true;
    s_wakesBeforeRead = s_isCatchUpAsked.load() ? wakes : -1;
}

// Lines that wait while the owner is busy carry the time they came, not the time
// they were read: a start told late is told from its line. Sent a line at a time,
// with pauses, at rates from 20 to 1000 lines a second; read long after.
TEST(SerialTriggerThreads, LinesReadLateKeepTheTimeTheyCame)
{
    for (const int gapMs : {50, 5, 1}) {
        SCOPED_TRACE("gap " + std::to_string(gapMs) + " ms");
        CPtyPair pty;
        ASSERT_TRUE(pty.IsValid());
        CSerialTrigger trigger(20);
        ASSERT_TRUE(trigger.Open(pty.SlaveName(), 19200));
        trigger.SetTimeout(5000);
        trigger.SetLevels(4.0, 1.0);
        s_serialWakes = 0;
        trigger.SetWakeUp(CountSerialWake);
        s_isCatchUpAsked = false;
        s_hasCaughtUp = false;
        trigger.SetBeforeRead(NoteCatchUp);
        constexpr int kPairs = 10;
        std::vector<double> sentUs;
        for (int i = 0; i < kPairs; ++i) {
            for (const char* line : {"data=900\r\n", "data=100\n"}) {
                sentUs.push_back(GetProgramTime());
                ASSERT_TRUE(pty.Send(line));
                std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
            }
        }
        s_isCatchUpAsked = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the owner is busy
        // ... at least until the reader thread took every line.
        const auto caughtUpBy = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!s_hasCaughtUp.load() && std::chrono::steady_clock::now() < caughtUpBy)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(s_hasCaughtUp.load());
        const double readUs = GetProgramTime();
        int readings = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (readings < 2 * kPairs && std::chrono::steady_clock::now() < end)
            readings += trigger.ReadLines(100);
        ASSERT_EQ(readings, 2 * kPairs);
        EXPECT_GT(s_serialWakes.load(), 0);
        TriggerCrossing crossing;
        double previousUs = 0.0;
        for (int i = 0; i < 2 * kPairs; ++i) {
            ASSERT_TRUE(trigger.GetCrossings().Pop(crossing)) << i;
            EXPECT_EQ(crossing.kind, i % 2 == 0 ? TriggerCrossing::Kind::Start
                                                : TriggerCrossing::Kind::Stop);
            // Came after it was sent, in order, and before the owner read it.
            EXPECT_GE(crossing.atUs, sentUs[size_t(i)]) << i;
            EXPECT_GE(crossing.atUs, previousUs) << i;
            EXPECT_LT(crossing.atUs, readUs) << i;
            previousUs = crossing.atUs;
        }
        EXPECT_FALSE(trigger.GetCrossings().Pop(crossing));
        trigger.SetWakeUp(nullptr);
        trigger.Close();
        trigger.SetBeforeRead(nullptr);
    }
}

// The trigger's reader thread, held before a read of the port while a test asks, as a
// busy machine holds it: what the converter sends meanwhile waits in the port.
std::mutex s_holdMutex;
std::condition_variable s_holdChanged;
bool s_isHoldAsked = false;
bool s_isHeld = false;
int s_holdAfterWakes = -1;  // held once the wakes went past this

void HoldReaderWhenAsked()
{
    std::unique_lock<std::mutex> lock(s_holdMutex);
    if (!s_isHoldAsked || s_serialWakes.load() <= s_holdAfterWakes) return;
    s_isHeld = true;
    s_holdChanged.notify_all();
    // Bounded: a build that stops the thread while it is held must not hang the suite.
    s_holdChanged.wait_for(lock, std::chrono::seconds(10), [] { return !s_isHoldAsked; });
    s_isHeld = false;
}

// Holds the reader of one trigger while it lives; released before the trigger closes.
class CReaderHold {
public:
    explicit CReaderHold(CSerialTrigger& trigger) : m_trigger(trigger)
    {
        Release();
        trigger.SetBeforeRead(HoldReaderWhenAsked);
    }
    ~CReaderHold()
    {
        Release();
        m_trigger.SetBeforeRead(nullptr);
    }
    CReaderHold(const CReaderHold&) = delete;
    CReaderHold& operator=(const CReaderHold&) = delete;

    // Held before its next read; afterBytes: right after the next read that brings
    // bytes, with no read of an empty port between.
    void Ask(bool afterBytes)
    {
        std::lock_guard<std::mutex> lock(s_holdMutex);
        s_holdAfterWakes = afterBytes ? s_serialWakes.load() : -1;
        s_isHoldAsked = true;
    }
    bool WaitHeld()
    {
        std::unique_lock<std::mutex> lock(s_holdMutex);
        return s_holdChanged.wait_for(lock, std::chrono::seconds(10), [] { return s_isHeld; });
    }
    void Release()
    {
        {
            std::lock_guard<std::mutex> lock(s_holdMutex);
            s_isHoldAsked = false;
        }
        s_holdChanged.notify_all();
    }

private:
    CSerialTrigger& m_trigger;
};

// The converter's side of the line: what it sent, and the longest the line may have
// been silent as a reader could see it: from before one send to after the next, from
// its making (before the trigger opens) to now.
class CConverterLine {
public:
    using Clock = std::chrono::steady_clock;
    explicit CConverterLine(CPtyPair& pty) : m_pty(pty) {}
    bool Send(const std::string& bytes)
    {
        const Clock::time_point before = Clock::now();
        const bool isSent = m_pty.Send(bytes);
        m_longest = std::max(m_longest, Clock::now() - m_lastBefore);
        m_lastBefore = before;
        return isSent;
    }
    bool SendReading(int reading)
    {
        ++m_lines;
        return Send("data=" + std::to_string(reading) + "\r\n");
    }
    // A line whose end comes later (SendEnd), counted once.
    bool SendStart(int reading) { return Send("data=" + std::to_string(reading).substr(0, 1)); }
    bool SendEnd(int reading)
    {
        ++m_lines;
        return Send(std::to_string(reading).substr(1) + "\r\n");
    }
    int Lines() const { return m_lines; }
    Clock::duration LongestSilence() const
    {
        return std::max(m_longest, Clock::now() - m_lastBefore);
    }
    Clock::time_point LastSent() const { return m_lastBefore; }

private:
    CPtyPair& m_pty;
    Clock::time_point m_lastBefore = Clock::now();
    Clock::duration m_longest{};
    int m_lines = 0;
};

constexpr uint32_t kSilenceTimeoutMs = 100;
// Reads this far apart count a time-out each when nothing is taken between.
constexpr auto kSpacedRead = std::chrono::milliseconds(kSilenceTimeoutMs + 10);

// Opens the trigger on a line that may fall silent: start at 4 V, stop below 1 V, its
// reader's wakes counted, the messages so far forgotten.
bool OpenWatched(CSerialTrigger& trigger, const CPtyPair& pty)
{
    if (!trigger.Open(pty.SlaveName(), 19200)) return false;
    trigger.SetTimeout(kSilenceTimeoutMs);
    trigger.SetLevels(4.0, 1.0);
    trigger.SetWakeUp(CountSerialWake);
    g_messages.Drain();
    return true;
}

// Lines at one line every gapMs; the reader is held, with a start (or a stop) among
// the lines that wait, whole or cut by the hold, while the owner reads on for more
// than three time-outs. The line is no more silent than the converter was: not said
// lost, and every line is read, in order, once the thread runs again.
void HoldTheReaderWhileTheConverterSends(int gapMs, bool isStart)
{
    using Kind = TriggerCrossing::Kind;
    const int before = isStart ? 100 : 900;  // the reading sent before the hold
    const int during = isStart ? 900 : 100;  // and while held
    // A first low reading is a stop too.
    const std::vector<Kind> kinds = isStart ? std::vector<Kind>{Kind::Stop, Kind::Start}
                                            : std::vector<Kind>{Kind::Start, Kind::Stop};
    const auto gap = std::chrono::milliseconds(gapMs);
    // Cut: the first line sent while held begins before the hold.
    for (const bool isCut : {false, true}) {
        SCOPED_TRACE(std::string(isStart ? "a start" : "a stop") +
                     (isCut ? " cut by the hold" : " waiting") + ", a line every " +
                     std::to_string(gapMs) + " ms");
        CPtyPair pty;
        ASSERT_TRUE(pty.IsValid());
        CConverterLine converter(pty);
        CSerialTrigger trigger(20);
        ASSERT_TRUE(OpenWatched(trigger, pty));
        CMessageLog messages;
        CReaderHold hold(trigger);
        // Every read, noting how long the converter may have been silent when a loss
        // was first said.
        CConverterLine::Clock::duration silenceAtLoss{-1};
        auto read = [&](uint32_t waitMs) {
            const int got = trigger.ReadLines(waitMs);
            if (trigger.GetLineLosses() > 0 && silenceAtLoss.count() < 0)
                silenceAtLoss = converter.LongestSilence();
            return got;
        };
        int readings = 0;
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(converter.SendReading(before));
            std::this_thread::sleep_for(gap);
            readings += read(0);
        }
        // Held right after it read the last bytes before the hold.
        hold.Ask(true);
        ASSERT_TRUE(isCut ? converter.SendStart(during) : converter.SendReading(before));
        ASSERT_TRUE(hold.WaitHeld());
        readings += read(0);  // all the thread took
        if (isCut) {
            ASSERT_TRUE(converter.SendEnd(during));
        }
        int readWhileHeld = 0;
        auto nextRead = std::chrono::steady_clock::now() + kSpacedRead;
        for (int spacedReads = 0; spacedReads < 3 && !trigger.IsLineLost();) {
            ASSERT_TRUE(converter.SendReading(during));
            std::this_thread::sleep_for(gap);
            if (std::chrono::steady_clock::now() < nextRead) continue;
            readWhileHeld += read(0);
            ++spacedReads;
            nextRead = std::chrono::steady_clock::now() + kSpacedRead;
        }
        hold.Release();
        EXPECT_EQ(readWhileHeld, 0);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (readings < converter.Lines() && std::chrono::steady_clock::now() < end)
            readings += read(100);
        EXPECT_EQ(readings, converter.Lines());
        EXPECT_EQ(trigger.GetRefusedLines(), 0);
        std::vector<Kind> taken;
        TriggerCrossing crossing;
        while (trigger.GetCrossings().Pop(crossing)) taken.push_back(crossing.kind);
        EXPECT_EQ(taken, kinds);
        // Said lost only where the converter itself (the test's thread, on a busy
        // machine) fell silent three time-outs long before.
        messages.Take();
        if (trigger.GetLineLosses() > 0) {
            EXPECT_GE(silenceAtLoss, 3 * std::chrono::milliseconds(kSilenceTimeoutMs))
                << "said lost while the converter sent: silent at most "
                << std::chrono::duration<double, std::milli>(silenceAtLoss).count() << " ms";
        }
        EXPECT_LE(trigger.GetLineLosses(), 1);
        EXPECT_EQ(messages.Count("does not answer"), trigger.GetLineLosses());
        hold.Release();
        trigger.SetWakeUp(nullptr);
    }
}

TEST(SerialTriggerThreads, ReaderHeldWithAStartWaitingAtTwentyLinesASecondIsNoSilence)
{
    HoldTheReaderWhileTheConverterSends(50, true);
}

TEST(SerialTriggerThreads, ReaderHeldWithAStopWaitingAtTwentyLinesASecondIsNoSilence)
{
    HoldTheReaderWhileTheConverterSends(50, false);
}

TEST(SerialTriggerThreads, ReaderHeldWithAStartWaitingAtAThousandLinesASecondIsNoSilence)
{
    HoldTheReaderWhileTheConverterSends(1, true);
}

TEST(SerialTriggerThreads, ReaderHeldWithAStopWaitingAtAThousandLinesASecondIsNoSilence)
{
    HoldTheReaderWhileTheConverterSends(1, false);
}

// A converter that falls silent is said lost once, three time-outs after its last
// line at the soonest, whether the reader thread ran through the silence or was held;
// its return is said once too.
TEST(SerialTriggerThreads, SilentConverterIsSaidLostOnceAfterThreeTimeOuts)
{
    for (const bool isHeld : {false, true}) {
        SCOPED_TRACE(isHeld ? "reader held through the silence" : "reader running");
        CPtyPair pty;
        ASSERT_TRUE(pty.IsValid());
        CConverterLine converter(pty);
        CSerialTrigger trigger(20);
        ASSERT_TRUE(OpenWatched(trigger, pty));
        trigger.SetReopenInterval(std::chrono::seconds(30));  // one reopening only
        CMessageLog messages;
        CReaderHold hold(trigger);
        if (isHeld) hold.Ask(true);
        ASSERT_TRUE(converter.SendReading(512));
        const auto lastSent = converter.LastSent();
        int readings = 0;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        if (isHeld) {
            ASSERT_TRUE(hold.WaitHeld());
            readings += trigger.ReadLines(0);
            // The owner reads on through more than three time-outs while the thread is held.
            for (int i = 0; i < 4; ++i) {
                std::this_thread::sleep_for(kSpacedRead);
                readings += trigger.ReadLines(0);
            }
            hold.Release();
        }
        while (!trigger.IsLineLost() && std::chrono::steady_clock::now() < end)
            readings += trigger.ReadLines(20);
        const auto lostAt = std::chrono::steady_clock::now();
        EXPECT_EQ(readings, 1);
        EXPECT_TRUE(trigger.IsLineLost());
        EXPECT_GE(lostAt - lastSent, 3 * std::chrono::milliseconds(kSilenceTimeoutMs))
            << std::chrono::duration<double, std::milli>(lostAt - lastSent).count() << " ms";
        // Back once it sends again, after the port was opened again (at once, on the
        // next read).
        readings += trigger.ReadLines(0);
        ASSERT_TRUE(converter.SendReading(512));
        end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (readings < 2 && std::chrono::steady_clock::now() < end)
            readings += trigger.ReadLines(100);
        EXPECT_EQ(readings, 2);
        EXPECT_FALSE(trigger.IsLineLost());
        EXPECT_EQ(trigger.GetLineLosses(), 1);
        messages.Take();
        EXPECT_EQ(messages.Count("does not answer"), 1);
        EXPECT_EQ(messages.Count("answers again"), 1);
        trigger.SetWakeUp(nullptr);
    }
}

// A converter said lost after a real silence that then sends a burst (its own thread
// was held): the lines that came are read, not dropped by opening the port again, and
// the line is said back.
TEST(SerialTriggerThreads, LinesThatCameWhileTheLineWasLostAreReadNotDropped)
{
    CPtyPair pty;
    ASSERT_TRUE(pty.IsValid());
    CConverterLine converter(pty);
    CSerialTrigger trigger(20);
    ASSERT_TRUE(OpenWatched(trigger, pty));
    trigger.SetReopenInterval(std::chrono::milliseconds(0));  // each read may reopen
    CMessageLog messages;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!trigger.IsLineLost() && std::chrono::steady_clock::now() < end) trigger.ReadLines(20);
    ASSERT_TRUE(trigger.IsLineLost());
    EXPECT_EQ(trigger.ReadLines(0), 0);  // opened again
    const int wakes = s_serialWakes.load();
    std::string burst;
    for (const int reading : {900, 900, 900, 100, 100})
        burst += "data=" + std::to_string(reading) + "\n";
    ASSERT_TRUE(converter.Send(burst));
    while (s_serialWakes.load() == wakes && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    int readings = 0;
    while (readings < 5 && std::chrono::steady_clock::now() < end)
        readings += trigger.ReadLines(100);
    EXPECT_EQ(readings, 5);
    EXPECT_FALSE(trigger.IsLineLost());
    std::vector<TriggerCrossing::Kind> kinds;
    TriggerCrossing crossing;
    while (trigger.GetCrossings().Pop(crossing)) kinds.push_back(crossing.kind);
    EXPECT_EQ(kinds, (std::vector<TriggerCrossing::Kind>{TriggerCrossing::Kind::Start,
                                                         TriggerCrossing::Kind::Stop}));
    messages.Take();
    EXPECT_EQ(messages.Count("does not answer"), 1);
    EXPECT_EQ(messages.Count("answers again"), 1);
    trigger.SetWakeUp(nullptr);
}

TEST(SerialTriggerLine, ParsesWithoutAPort)
{
    double volts = 0.0;
    EXPECT_TRUE(CSerialTrigger::ParseLine("data=1\r\n", 8, volts));
    EXPECT_DOUBLE_EQ(volts, 5.0 / 1024.0);
    EXPECT_FALSE(CSerialTrigger::ParseLine(nullptr, 4, volts));
    EXPECT_FALSE(CSerialTrigger::ParseLine("data=", 5, volts));
}


// A pulled cable is said once; the port is opened again every so often, and the
// trigger reads again once the line is back, which is said too.
TEST(SerialTriggerLine, PulledCableIsSaidOnceAndReopened)
{
    auto first = std::make_unique<CPtyPair>();
    ASSERT_TRUE(first->IsValid());
    CLineLink link;
    ASSERT_TRUE(link.PointAt(first->SlaveName()));
    CSerialTrigger trigger(20);
    ASSERT_TRUE(trigger.Open(link.Path(), 19200));
    trigger.SetTimeout(5000);
    trigger.SetReopenInterval(std::chrono::milliseconds(0));
    g_messages.Drain();
    CMessageLog messages;
    double volts = 0.0;
    ASSERT_TRUE(first->Send("data=512\r\n"));
    ASSERT_TRUE(trigger.ReadValue(volts));
    first->CloseMaster();
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(trigger.ReadValue(volts));
    EXPECT_TRUE(trigger.IsLineLost());
    EXPECT_DOUBLE_EQ(volts, 2.5);

    CPtyPair second;
    ASSERT_TRUE(second.IsValid());
    ASSERT_TRUE(link.PointAt(second.SlaveName()));
    trigger.SetTimeout(200);
    bool read = false;
    for (int i = 0; i < 100 && !read; ++i) {
        ASSERT_TRUE(second.Send("data=256\r\n"));
        read = trigger.ReadValue(volts);
    }
    ASSERT_TRUE(read);
    EXPECT_DOUBLE_EQ(volts, 1.25);
    EXPECT_FALSE(trigger.IsLineLost());
    messages.Take();
    EXPECT_EQ(messages.Count("does not answer"), 1);
    EXPECT_EQ(messages.Count("answers again"), 1);
    EXPECT_EQ(messages.Find("does not answer").rfind("<COM> serial trigger: " + link.Path(), 0),
              0u);
    EXPECT_EQ(trigger.GetLineLosses(), 1);
    trigger.Close();
    messages.Take();
    EXPECT_EQ(messages.Count("refused, line lost 1 times"), 1);
}

// Lines that are no reading are refused, counted, and said once.
TEST(SerialTriggerLine, RefusedLinesAreCountedAndSaidOnce)
{
    CPtyPair pty;
    ASSERT_TRUE(pty.IsValid());
    CSerialTrigger trigger(20);
    ASSERT_TRUE(trigger.Open(pty.SlaveName(), 19200));
    trigger.SetTimeout(5000);
    g_messages.Drain();
    CMessageLog messages;
    double volts = 0.0;
    for (const char* line : {"junk\n", "data=2000\n", "data=x\n"}) {
        ASSERT_TRUE(pty.Send(line));
        EXPECT_FALSE(trigger.ReadValue(volts));
    }
    EXPECT_EQ(trigger.GetRefusedLines(), 3);
    EXPECT_FALSE(trigger.IsLineLost());  // the line answers, with nonsense
    // A wait on such a line says, every interval, that it hears no readings; a
    // reading ends that.
    trigger.SetDeafNoteInterval(std::chrono::milliseconds(0));
    trigger.SayIfDeaf();
    ASSERT_TRUE(pty.Send("data=100\r\n"));
    EXPECT_TRUE(trigger.ReadValue(volts));
    trigger.SayIfDeaf();
    messages.Take();
    EXPECT_EQ(messages.Count("no reading was refused"), 1);
    EXPECT_EQ(messages.Count("3 lines came and were refused; the trigger hears no readings"), 1);
    // Closing gives the total, as the devices do.
    trigger.Close();
    messages.Take();
    EXPECT_EQ(messages.Count("<COM> serial trigger: 3 lines from " + pty.SlaveName() +
                             " refused, line lost 0 times\n"),
              1);
    // Each opening counts anew; one without refusals or losses says nothing.
    trigger.SetTimeout(20);
    ASSERT_TRUE(trigger.Open(pty.SlaveName(), 19200));
    EXPECT_EQ(trigger.GetRefusedLines(), 0);
    trigger.Close();
    messages.Take();
    EXPECT_EQ(messages.Count("lines from"), 1);
}

}  // namespace
