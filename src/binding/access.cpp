// Waiting for another thread's access, on an interpreter without the lock.
#include "binding/access.hpp"

#ifdef Py_GIL_DISABLED

#include <atomic>
#include <chrono>
#include <thread>

#include "binding/wait.hpp"

namespace trelk::binding {

namespace {

std::atomic<bool> forked = false;

// Whether this thread must not wait: a reader it would wait for may be waiting
// for an instance that this thread holds (a writer never is), or the threads
// it would wait for are stopped for good (the interpreter ended) or not in the
// process (a forked child).
bool refused_as_with_the_lock(const AccessState& access, bool writes) noexcept {
    return (writes && accesses_held_here > 0 && !access.written()) || Py_IsFinalizing() ||
           forked.load(std::memory_order_relaxed);
}

}  // namespace

void refuse_waits_after_fork() noexcept { forked.store(true, std::memory_order_relaxed); }

bool wait_for_access(AccessState& access, bool writes) noexcept {
    check_python_may_run();  // other threads do meanwhile
    for (;;) {
        if (refused_as_with_the_lock(access, writes)) return false;
        // Stepped aside, as a blocking call is: the interpreter can stop the
        // world or collect meanwhile. No lock of the module's is held.
        void* aside = interpreter_wait_policy.step_aside();
        for (unsigned round = 0; !access.admits(writes) && !refused_as_with_the_lock(access, writes); ++round) {
            // Accesses last one conversion: most waits end within a few turns.
            if (round < 64) {
                std::this_thread::yield();
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        }
        interpreter_wait_policy.reenter(aside);
        if (writes ? access.try_write() : access.try_read()) return true;
    }
}

}  // namespace trelk::binding

#endif
