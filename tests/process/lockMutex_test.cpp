#include "process/lockMutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

TEST(LockMutexThreads, FirstUsersRaceToOneMutexThatExcludes)
{
    for (int round = 0; round < 20; ++round) {
        MutexHandle handle{nullptr};
        std::atomic<bool> go{false};
        std::atomic<int> failures{0};
        long counter = 0;  // guarded by the data mutex only
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                while (!go.load()) {
                }
                for (int i = 0; i < 200; ++i) {
                    if (LockMutex(&handle)) {
                        failures.fetch_add(1);
                        continue;
                    }
                    ++counter;
                    ReleaseMutex(&handle);
                }
            });
        }
        go.store(true);
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(failures.load(), 0);
        EXPECT_EQ(counter, 800);
        EXPECT_NE(handle.load(), nullptr);
        CloseSystemMutex(&handle);
        EXPECT_EQ(handle.load(), nullptr);
    }
}

TEST(LockMutexTest, RelockByOwnerFailsInsteadOfHanging)
{
    MutexHandle handle{CreateSystemMutex()};
    ASSERT_FALSE(LockMutex(&handle));
    EXPECT_TRUE(LockMutex(&handle));  // reported, not a deadlock
    EXPECT_TRUE(ReleaseMutex(&handle));
    EXPECT_FALSE(ReleaseMutex(&handle));
    {
        CMutexLock lock(&handle);
        EXPECT_TRUE(lock.IsLocked());
    }
    EXPECT_FALSE(LockMutex(&handle));
    ReleaseMutex(&handle);
    CloseSystemMutex(&handle);
    EXPECT_TRUE(LockMutex(nullptr));
}
