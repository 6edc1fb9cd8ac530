// Small blocks kept for reuse: tree nodes and instances come and go by the
// million, and a free list is cheaper than the general allocator.
//
// Not thread-safe on its own: every caller holds the interpreter lock, which
// serialises all allocation and release of nodes and instances. Without that
// lock (TRELK_FREE_THREADED), threads run at once, and each has a node pool of
// its own (docs/development.md, "The free-threaded build"). Sanitizer builds
// bypass the lists, so that every block is checked.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "core/allocation_failures.hpp"

namespace trelk::core::memory_pool {

inline void* system_allocate(std::size_t size) noexcept { return std::malloc(size); }
inline void system_release(void* block) noexcept { std::free(block); }

// Set by the host in debug builds: whether this thread may touch the pools
// now (it holds the lock that serialises them). Null: not checked.
inline bool (*pool_access_allowed)() noexcept = nullptr;

// Blocks up to `Largest` bytes in sizes of 16, at most `Kept` kept per size,
// over the allocation functions `Allocate` and `Release`; `BeforeKeeping`, if
// any, is called before the pool keeps its first block.
template <void* (*Allocate)(std::size_t) noexcept, void (*Release)(void*) noexcept, std::size_t Largest = 128,
          std::size_t Kept = 4096, void (*BeforeKeeping)() noexcept = nullptr>
class BlockPool {
public:
    static constexpr std::size_t granule = 16;
    static constexpr std::size_t largest_pooled = Largest;
    static constexpr std::size_t kept_per_size = Kept;

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

    // Gives every kept block back.
    void give_all_back() noexcept {
        for (FreeList& list : lists_) {
            while (FreeBlock* block = list.head) {
                list.head = block->next;
                Release(block);
            }
            list.count = 0;
        }
    }

    // Gives every kept block back and keeps none until `forget`: for an
    // allocator about to go. Each list then reads as full, so that releases
    // pay for no check of their own. A pool that keeps none touches no list,
    // so that other threads may go on using it meanwhile.
    void stop_keeping() noexcept {
        if (kept_per_size == 0) return;
        give_all_back();
        for (FreeList& list : lists_) list.count = kept_per_size;
    }

    // Drops every kept block without giving it back, and keeps blocks again
    // (after `stop_keeping`): for blocks whose allocator can no longer take
    // them. Touches no list of a pool that keeps none, as above.
    void forget() noexcept {
        if (kept_per_size == 0) return;
        for (FreeList& list : lists_) list = FreeList{};
    }

private:
    void* take(std::size_t size) noexcept {
#ifndef TRELK_NO_POOL
        if (kept_per_size > 0 && size <= largest_pooled) {
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
        if (kept_per_size > 0 && size <= largest_pooled) {
            FreeList& list = lists_[index(size)];
            if (list.count < kept_per_size) {
                if constexpr (BeforeKeeping != nullptr) {
                    if (!kept_any_) {
                        kept_any_ = true;
                        BeforeKeeping();
                    }
                }
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
        std::size_t count = 0;  // the blocks in the list; kept_per_size once the pool stops keeping
    };
    static constexpr std::size_t index(std::size_t size) { return (size + granule - 1) / granule; }

    FreeList lists_[largest_pooled / granule + 1];
    struct Unused {};
    [[no_unique_address]] std::conditional_t<BeforeKeeping != nullptr, bool, Unused> kept_any_{};
};

// The pool of tree nodes and of versions (up to two dozen parts).
#ifdef TRELK_FREE_THREADED
// Makes this thread give its pool's blocks back when it ends (memory_pool.cpp).
void give_back_at_thread_exit() noexcept;
// One for each thread; a block taken on one thread and freed on another joins
// the lists of the latter. Built at compile time, with nothing to destroy, so
// that reaching it costs no check: the thread's end is registered once the
// pool keeps a block.
inline constinit thread_local BlockPool<system_allocate, system_release, 512, 4096, give_back_at_thread_exit>
    node_pool;
#else
inline BlockPool<system_allocate, system_release, 512> node_pool;
#endif

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
