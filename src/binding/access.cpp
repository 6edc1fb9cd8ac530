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

// Whether this thread must not wait: a reader it could be waiting for may,
// from Python code, be waiting for an instance that this thread holds. A
// writer holds its access over no Python code and enters nothing meanwhile,
// so it is always waited for; and it is never this thread (this thread,
// while writing, asks for no access). An instance that this thread reads
// and enters again counts among what it holds. Once the interpreter ends,
// the other threads are stopped for good, holding what they held: waiting
// for them would never end, so the access is refused there as with the lock;
// so it is in a forked child (see `refuse_waits_after_fork`).
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
