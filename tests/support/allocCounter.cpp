// Replaces the global allocation functions of a test program that counts its
// allocations; everything else goes to malloc as usual.
#include "support/allocCounter.h"

#include <cstdlib>
#include <new>

namespace {

thread_local bool t_counting = false;
thread_local uint64_t t_count = 0;

void* Allocate(std::size_t size)
{
    if (t_counting) ++t_count;
    if (size == 0) size = 1;
    void* block = std::malloc(size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
// These replace the global pair, so new memory does come from malloc: GCC's
// inlining check cannot see that and warns about a mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
#pragma GCC diagnostic pop

CAllocationCount::CAllocationCount()
{
    t_count = 0;
    t_counting = true;
}

CAllocationCount::~CAllocationCount() { t_counting = false; }

uint64_t CAllocationCount::Count() const { return t_count; }
