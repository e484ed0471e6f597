#include "streamCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

TEST(StreamCaptureTest, KeepsTextUntilTakenAndWakesOnlyWhenItArrivesInAnEmptyBuffer)
{
    CStreamCapture capture;
    int wakeUps = 0;
    capture.SetWakeUp([&] { ++wakeUps; });
    std::ostream out(&capture);
    EXPECT_FALSE(capture.HasPending());
    out << "first " << 12 << '\n';
    out << "second\n";
    EXPECT_TRUE(capture.HasPending());
    EXPECT_EQ(wakeUps, 1);
    EXPECT_EQ(capture.Take(), "first 12\nsecond\n");
    EXPECT_FALSE(capture.HasPending());
    EXPECT_EQ(capture.Take(), "");
    out << "third";
    EXPECT_EQ(wakeUps, 2);
    EXPECT_EQ(capture.TakeAll(), "third");
}

TEST(StreamCaptureTest, HoldsBackACharacterCutBetweenTwoWrites)
{
    CStreamCapture capture;
    std::ostream out(&capture);
    const std::string text = "caf\xC3\xA9 \xE2\x82\xAC";  // "café €"
    out << text.substr(0, 4);                             // cut inside "é"
    EXPECT_EQ(capture.Take(), "caf");
    EXPECT_TRUE(capture.HasPending());
    out << text.substr(4, 3);  // rest of "é", blank, first byte of "€"
    EXPECT_EQ(capture.Take(), "\xC3\xA9 ");
    out << text.substr(7);
    EXPECT_EQ(capture.Take(), "\xE2\x82\xAC");
    // Bytes that no lead byte will complete are not held back for ever.
    out << "x\x82";
    EXPECT_EQ(capture.Take(), "x\x82");
}

TEST(StreamCaptureTest, DropsAndCountsTextBeyondItsCapacityWithoutFailingTheStream)
{
    CStreamCapture capture(8);
    std::ostream out(&capture);
    out << "1234";
    out << "56789";  // would pass the capacity: dropped whole
    out << "abcd";
    EXPECT_TRUE(out.good());
    EXPECT_EQ(capture.TakeDroppedCount(), 5u);
    EXPECT_EQ(capture.TakeDroppedCount(), 0u);
    EXPECT_EQ(capture.Take(), "1234abcd");
}

TEST(StreamCaptureTest, CStreamWritesEveryCallThroughAtOnce)
{
    CStreamCapture capture;
    std::FILE* stream = OpenCaptureStream(capture);
    ASSERT_NE(stream, nullptr);
    std::fprintf(stream, "<OSC> port %d", 32000);  // no line end: still not held back
    EXPECT_EQ(capture.Take(), "<OSC> port 32000");
    std::fputs(" closed\n", stream);
    EXPECT_EQ(capture.Take(), " closed\n");
    std::fclose(stream);
}

TEST(StreamCaptureTest, FindsTheEndOfTheLastCompleteCharacter)
{
    EXPECT_EQ(CompleteUtf8Length(""), 0u);
    EXPECT_EQ(CompleteUtf8Length("abc"), 3u);
    EXPECT_EQ(CompleteUtf8Length("a\xC3"), 1u);
    EXPECT_EQ(CompleteUtf8Length("a\xC3\xA9"), 3u);
    EXPECT_EQ(CompleteUtf8Length("a\xF0\x9F\x98"), 1u);
    EXPECT_EQ(CompleteUtf8Length("a\xF0\x9F\x98\x80"), 5u);
}

// Writers on several threads, the reader taking text while they write: every line
// arrives whole, once, and each writer's lines in the order written.
TEST(StreamCaptureThreads, EveryWritersLinesArriveWholeAndInOrder)
{
    constexpr int kWriters = 4;
    constexpr int kLines = 2000;
    CStreamCapture capture;
    std::atomic<int> wakeUps{0};
    capture.SetWakeUp([&] { wakeUps.fetch_add(1); });
    std::atomic<int> running{kWriters};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            std::ostream out(&capture);  // own stream state, shared buffer
            for (int i = 0; i < kLines; ++i) {
                // One write per line: separate writes of different threads may interleave.
                out << ("w" + std::to_string(w) + " line " + std::to_string(i) + "\n");
            }
            running.fetch_sub(1);
        });
    }
    std::string received;
    while (running.load() > 0) received += capture.Take();
    for (std::thread& writer : writers) writer.join();
    received += capture.TakeAll();

    std::map<int, int> next;
    std::istringstream lines(received);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        int writer = -1;
        int index = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "w%d line %d", &writer, &index), 2) << line;
        EXPECT_EQ(index, next[writer]) << "writer " << writer;
        next[writer] = index + 1;
        ++count;
    }
    EXPECT_EQ(count, kWriters * kLines);
    EXPECT_GE(wakeUps.load(), 1);
    EXPECT_EQ(capture.TakeDroppedCount(), 0u);
}
