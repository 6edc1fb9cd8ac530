// The borrow state of an instance: n > 0 readers, -1 for one writer, 0 when free.
// Overlap can only arise when Python code runs while a borrow is held (a
// finalizer, or a user's __index__ during a conversion) and touches the same
// instance; it is detected instead of corrupting the value.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace trelk::binding {

// Every borrow is taken and given back by a thread that holds the interpreter
// lock, and no Python code runs between the read and the write of the state,
// so atomic loads and stores suffice: no read-modify-write is needed. The
// state stays atomic so that reading it from any thread is well defined.
class BorrowState {
public:
    bool try_shared() noexcept {
        std::int64_t seen = state_.load(std::memory_order_relaxed);
        if (seen < 0) return false;
        state_.store(seen + 1, std::memory_order_relaxed);
        return true;
    }
    void release_shared() noexcept {
        state_.store(state_.load(std::memory_order_relaxed) - 1, std::memory_order_release);
    }

    bool try_exclusive() noexcept {
        if (state_.load(std::memory_order_relaxed) != 0) return false;
        state_.store(-1, std::memory_order_relaxed);
        return true;
    }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

private:
    std::atomic<std::int64_t> state_{0};
};

// Holds a shared or exclusive borrow and gives it back on every path.
template <bool Exclusive>
class BorrowGuard {
public:
    BorrowGuard() noexcept = default;
    explicit BorrowGuard(BorrowState* state) noexcept : state_(state) {}
    BorrowGuard(BorrowGuard&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
    BorrowGuard& operator=(BorrowGuard&&) = delete;
    ~BorrowGuard() {
        if (state_ == nullptr) return;
        if constexpr (Exclusive) {
            state_->release_exclusive();
        } else {
            state_->release_shared();
        }
    }

private:
    BorrowState* state_ = nullptr;
};

using SharedBorrow = BorrowGuard<false>;
using ExclusiveBorrow = BorrowGuard<true>;

}  // namespace trelk::binding
