// The node pool of each thread, on an interpreter without the lock.
#include "core/memory_pool.hpp"

#ifdef TRELK_FREE_THREADED

namespace trelk::core::memory_pool {

namespace {

struct GivenBackAtExit {
    GivenBackAtExit() = default;
    GivenBackAtExit(const GivenBackAtExit&) = delete;
    GivenBackAtExit& operator=(const GivenBackAtExit&) = delete;
    ~GivenBackAtExit() { node_pool.give_all_back(); }
};

}  // namespace

void give_back_at_thread_exit() noexcept {
    // Made on the one call on each thread, and destroyed when it ends.
    thread_local GivenBackAtExit registration;
    static_cast<void>(registration);
}

}  // namespace trelk::core::memory_pool

#endif
