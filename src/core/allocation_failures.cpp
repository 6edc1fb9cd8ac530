// The failure countdown and the module's own operator new, in the test build only.
#ifdef TRELK_ALLOCATION_FAILURES

#include "core/allocation_failures.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace trelk::core::allocation_failures {

namespace {

std::atomic<std::int64_t> allocations{0};  // since the countdown was set
std::atomic<std::int64_t> first_failing{-1};  // none when negative
std::atomic<std::int64_t> failing{0};  // how many fail from the first on; 0: all of them
std::atomic<std::int64_t> blocks_in_use{0};

void* allocate(std::size_t size) {
    if (next_fails()) throw std::bad_alloc();
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    count_block(1);
    return block;
}

void release(void* block) noexcept {
    if (block == nullptr) return;
    count_block(-1);
    std::free(block);
}

}  // namespace

bool next_fails() noexcept {
    const std::int64_t first = first_failing.load(std::memory_order_relaxed);
    if (first < 0) return false;
    const std::int64_t number = allocations.fetch_add(1, std::memory_order_relaxed);
    const std::int64_t count = failing.load(std::memory_order_relaxed);
    return number >= first && (count == 0 || number < first + count);
}

void count_block(int change) noexcept { blocks_in_use.fetch_add(change, std::memory_order_relaxed); }

}  // namespace trelk::core::allocation_failures

using namespace trelk::core::allocation_failures;

// Found by a test through the module's shared object (ctypes): the next
// `start` allocations succeed and `count` after them fail (0: all after them);
// a negative start fails none.
extern "C" [[gnu::visibility("default")]] void trelk_fail_allocations(long long start, long long count) {
    first_failing.store(-1, std::memory_order_relaxed);
    allocations.store(0, std::memory_order_relaxed);
    failing.store(count, std::memory_order_relaxed);
    first_failing.store(start, std::memory_order_relaxed);
}

// The blocks of the module in use: taken from the pools or operator new and
// not given back.
extern "C" [[gnu::visibility("default")]] long long trelk_blocks_in_use() {
    return blocks_in_use.load(std::memory_order_relaxed);
}

// The module's own: the test build binds its calls to them (-Bsymbolic).
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* block) noexcept { release(block); }
void operator delete[](void* block) noexcept { release(block); }
void operator delete(void* block, std::size_t) noexcept { release(block); }
void operator delete[](void* block, std::size_t) noexcept { release(block); }

#endif
