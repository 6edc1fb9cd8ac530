// Waiting for another thread's access, on an interpreter without the lock.
#include "binding/access.hpp"

#ifdef Py_GIL_DISABLED

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "binding/wait.hpp"

namespace trelk::binding {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> forked = false;

// Where threads may be stopped for good (the interpreter ends) or not in the
// process (a forked child), their writers that wait are given no way: they
// may never come. Whatever they hold they took attached, and let go of before
// they could be stopped, but for reads held over Python code, which a writer
// does not wait for.
bool threads_may_be_gone() noexcept { return Py_IsFinalizing() || forked.load(std::memory_order_relaxed); }

// Between the signal handlers' turns, on the main thread.
constexpr auto handlers_every = std::chrono::milliseconds(20);

// The turns of a wait, stepped aside from the interpreter as a blocking call
// is (it can stop the world or collect meanwhile). No lock of the module's is
// held. The access is taken attached only: a thread that the interpreter
// stops where it reenters (a fork, the interpreter's end) holds none.
class Pause {
public:
    explicit Pause(bool run_handlers) noexcept
        : run_handlers_(run_handlers), handlers_due_(Clock::now() + handlers_every) {}
    ~Pause() { attach(); }
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;

    void attach() noexcept {
        if (aside_ != nullptr) interpreter_wait_policy.reenter(std::exchange(aside_, nullptr));
    }

    // One turn; false when a signal handler raised, its exception pending.
    bool turn() noexcept {
        if (aside_ == nullptr) aside_ = interpreter_wait_policy.step_aside();
        // Accesses that run no Python code last a copy: most waits end within a
        // few turns; longer ones sleep longer, up to a millisecond.
        if (turns_ < 64) {
            ++turns_;
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(sleep_);
            sleep_ = std::min(sleep_ * 2, std::chrono::microseconds(1000));
        }
        if (!run_handlers_ || Clock::now() < handlers_due_) return true;
        // The handlers are Python code. This thread holds nothing but reads
        // held over Python code: a read that runs none enters nothing else.
        attach();
        handlers_due_ = Clock::now() + handlers_every;
        return interpreter_wait_policy.signals_handled();
    }

private:
    bool run_handlers_;
    void* aside_ = nullptr;
    Clock::time_point handlers_due_;
    unsigned turns_ = 0;
    std::chrono::microseconds sleep_{50};
};

// A reader waits for a writer that holds, which runs no Python code; where
// writers wait, it gives them the way until one more write has ended, so
// that readers that keep coming keep no writer out, nor writers a reader.
// One that holds another access gives none: a writer may wait for that one.
bool wait_to_read(std::atomic<std::uint64_t>& word, bool run_handlers, bool holding_another) noexcept {
    const bool gives_way = !holding_another && !threads_may_be_gone();
    std::uint64_t seen = word.load(std::memory_order_relaxed);
    const std::uint64_t ends_seen = seen & AccessState::write_ends;
    Pause pause(run_handlers);
    for (;;) {
        const bool blocked = (seen & AccessState::written) != 0 ||
                             (gives_way && (seen & AccessState::writers_waiting) != 0 &&
                              (seen & AccessState::write_ends) == ends_seen);
        if (!blocked) {
            pause.attach();
            if (word.compare_exchange_weak(seen, seen + AccessState::reader, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
                return true;
            }
            continue;
        }
        if (!pause.turn()) return false;
        seen = word.load(std::memory_order_relaxed);
    }
}

// A writer that meets a reader held over Python code is refused, as it is
// with the lock, where no other thread's access is ever seen but one held
// over Python code: that code may be waiting for the writer's thread. Other
// readers and a writer are waited for.
bool wait_to_write(std::atomic<std::uint64_t>& word, bool run_handlers) noexcept {
    // Counted among the writers that wait (while there is room), so that new
    // readers give way: then the readers that hold it now are all it waits for.
    bool counted = false;
    auto leave = [&] {
        if (counted) word.fetch_sub(AccessState::writer_waiting, std::memory_order_relaxed);
        return false;
    };
    std::uint64_t seen = word.load(std::memory_order_relaxed);
    Pause pause(run_handlers);
    for (;;) {
        if ((seen & AccessState::readers_over_python) != 0) return leave();
        if ((seen & (AccessState::readers | AccessState::written)) == 0) {
            pause.attach();
            std::uint64_t taken = (seen - (counted ? AccessState::writer_waiting : 0)) | AccessState::written;
            if (word.compare_exchange_weak(seen, taken, std::memory_order_acquire, std::memory_order_relaxed)) {
                return true;
            }
            continue;
        }
        if (!counted && (seen & AccessState::writers_waiting) != AccessState::writers_waiting) {
            counted = word.compare_exchange_weak(seen, seen + AccessState::writer_waiting, std::memory_order_relaxed);
            continue;
        }
        if (!pause.turn()) return leave();
        seen = word.load(std::memory_order_relaxed);
    }
}

}  // namespace

void give_no_way_after_fork() noexcept { forked.store(true, std::memory_order_relaxed); }

bool wait_for_access(AccessState& access, bool writes, WhileWaiting waiting) noexcept {
    check_python_may_run();  // other threads do meanwhile
    const bool run_handlers = waiting == WhileWaiting::run_signal_handlers;
    if (writes) return wait_to_write(access.word(), run_handlers);
    return wait_to_read(access.word(), run_handlers, waiting == WhileWaiting::holding_another);
}

}  // namespace trelk::binding

#endif
