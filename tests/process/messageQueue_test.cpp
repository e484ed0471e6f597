#include "process/messageQueue.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

TEST(MessageQueueThreads, PostsFromAThreadReachTheDrainInOrder)
{
    CMessageQueue queue;
    std::thread poster([&] {
        for (int i = 0; i < 10; ++i)
            queue.Post(Severity::Info, std::string("line ") + std::to_string(i));
        queue.Post(Severity::Error, wxString::FromUTF8("d\xC3\xA9" "faut"), true);
    });
    std::vector<QueuedMessage> all;
    while (all.size() < 11) {
        ASSERT_TRUE(queue.WaitForMessage(std::chrono::seconds(10)));
        for (QueuedMessage& message : queue.Drain())
            all.push_back(std::move(message));
    }
    poster.join();
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(all[static_cast<size_t>(i)].text, "line " + std::to_string(i));
    EXPECT_EQ(all[10].severity, Severity::Error);
    EXPECT_TRUE(all[10].log);
    EXPECT_EQ(all[10].text, "d\xC3\xA9" "faut");
}

TEST(MessageQueueTest, FullQueueDropsAndCounts)
{
    CMessageQueue queue(2);
    EXPECT_TRUE(queue.Post(Severity::Info, std::string("a")));
    EXPECT_TRUE(queue.Post(Severity::Info, std::string("b")));
    EXPECT_FALSE(queue.Post(Severity::Info, std::string("c")));
    EXPECT_EQ(queue.TakeDroppedCount(), 1u);
    EXPECT_EQ(queue.TakeDroppedCount(), 0u);
    EXPECT_EQ(queue.Drain().size(), 2u);
    EXPECT_FALSE(queue.WaitForMessage(std::chrono::milliseconds(1)));
}
