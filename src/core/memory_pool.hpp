// Small blocks kept for reuse: tree nodes and instances come and go by the
// million, and a free list is cheaper than the general allocator.
//
// Not thread-safe on its own: every caller holds the interpreter lock, which
// serialises all allocation and release of nodes and instances. Sanitizer
// builds bypass the lists, so that every block is checked, and so do builds
// for an interpreter without that lock (TRELK_FREE_THREADED), whose threads
// run at once: see docs/design.md.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdlib>
#include <new>

#include "core/allocation_failures.hpp"

namespace trelk::core::memory_pool {

inline void* system_allocate(std::size_t size) noexcept { return std::malloc(size); }
inline void system_release(void* block) noexcept { std::free(block); }

// Set by the host in debug builds: whether this thread may touch the pools
// now (it holds the lock that serialises them). Null: not checked.
inline bool (*pool_access_allowed)() noexcept = nullptr;

// Blocks up to `Largest` bytes in sizes of 16, at most 4096 kept per size,
// over the allocation functions `Allocate` and `Release`.
template <void* (*Allocate)(std::size_t) noexcept, void (*Release)(void*) noexcept, std::size_t Largest = 128>
class BlockPool {
public:
    static constexpr std::size_t granule = 16;
    static constexpr std::size_t largest_pooled = Largest;
    static constexpr std::size_t kept_per_size = 4096;

    // A block of at least `size` bytes; null when memory runs out.
    void* allocate(std::size_t size) noexcept {
        assert(pool_access_allowed == nullptr || pool_access_allowed());
        if (allocation_failures::next_fails()) return nullptr;
        void* block = take(size);
        if (block != nullptr) allocation_failures::count_block(1);
        return block;
    }

    // Gives back a block that `allocate(size)` returned.
    void release(void* block, std::size_t size) noexcept {
        assert(pool_access_allowed == nullptr || pool_access_allowed());
        allocation_failures::count_block(-1);
        give_back(block, size);
    }

    // Drops every kept block without giving it back: for blocks whose
    // allocator can no longer take them.
    void forget() noexcept {
        for (FreeList& list : lists_) list = FreeList{};
    }

private:
    void* take(std::size_t size) noexcept {
#ifndef TRELK_NO_POOL
        if (size <= largest_pooled) {
            FreeList& list = lists_[index(size)];
            if (FreeBlock* block = list.head) {
                list.head = block->next;
                --list.count;
                return block;
            }
            size = index(size) * granule;
        }
#endif
        return Allocate(size);
    }

    void give_back(void* block, std::size_t size) noexcept {
#ifndef TRELK_NO_POOL
        if (size <= largest_pooled) {
            FreeList& list = lists_[index(size)];
            if (list.count < kept_per_size) {
                list.head = ::new (block) FreeBlock{list.head};
                ++list.count;
                return;
            }
        }
#else
        static_cast<void>(size);
#endif
        Release(block);
    }

    struct FreeBlock {
        FreeBlock* next;
    };
    struct FreeList {
        FreeBlock* head = nullptr;
        std::size_t count = 0;
    };
    static constexpr std::size_t index(std::size_t size) { return (size + granule - 1) / granule; }

    FreeList lists_[largest_pooled / granule + 1];
};

// The pool of tree nodes and of versions (up to two dozen parts).
inline BlockPool<system_allocate, system_release, 512> node_pool;

inline void* allocate_node(std::size_t size) {
    void* block = node_pool.allocate(size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

inline void release_node(void* block, std::size_t size) noexcept { node_pool.release(block, size); }

// A standard allocator over the same pool, for the arrays inside values.
template <class T>
struct PoolAllocator {
    using value_type = T;
    PoolAllocator() noexcept = default;
    template <class U>
    PoolAllocator(const PoolAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(allocate_node(n * sizeof(T))); }
    void deallocate(T* block, std::size_t n) noexcept { release_node(block, n * sizeof(T)); }
    friend bool operator==(const PoolAllocator&, const PoolAllocator&) noexcept { return true; }
};

}  // namespace trelk::core::memory_pool
