#include "support/allocCounter.h"

#include <gtest/gtest.h>

TEST(AllocationCountTest, SeesAnAllocation)
{
    CAllocationCount count;
    int* block = new int(3);
    asm volatile("" : : "r"(block) : "memory");  // keep the allocation
    delete block;
    EXPECT_EQ(count.Count(), 1u);
}
