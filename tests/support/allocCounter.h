#pragma once

#include <cstdint>

// Counts the allocations that the calling thread makes while a
// CAllocationCount lives (the test binary replaces operator new).
class CAllocationCount {
public:
    CAllocationCount();
    ~CAllocationCount();
    CAllocationCount(const CAllocationCount&) = delete;
    CAllocationCount& operator=(const CAllocationCount&) = delete;
    uint64_t Count() const;
};
