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

// Where the threads that hold accesses are stopped for good (the interpreter
// ended) or not in the process (a forked child), what would be waited for is
// refused as with the lock; their writers waiting are not waited for.
bool threads_may_be_gone() noexcept { return Py_IsFinalizing() || forked.load(std::memory_order_relaxed); }

// A reader gives writers that wait the way for this long, then waits only for
// a writer that holds: neither side keeps the other out for long.
constexpr auto reader_gives_way = std::chrono::milliseconds(10);

// Between the signal handlers' turns, on the main thread.
constexpr auto handlers_every = std::chrono::milliseconds(20);

// What a look at the word decides.
enum class Step { take, wait, refuse };

Step reading_step(std::uint64_t seen, bool gives_way) noexcept {
    if ((seen & AccessState::written) != 0) return Step::wait;  // a writer runs no Python code
    if (gives_way && (seen & AccessState::writers_waiting) != 0) return Step::wait;
    return Step::take;
}

Step writing_step(std::uint64_t seen) noexcept {
    // A reader held over Python code may be what that code waits for: refused,
    // as it is with the lock, where no other thread's access is ever seen
    // but one held over Python code.
    if ((seen & AccessState::readers_over_python) != 0) return Step::refuse;
    if ((seen & (AccessState::readers | AccessState::written)) != 0) return Step::wait;
    return Step::take;
}

// The turns of a wait, stepped aside from the interpreter as a blocking call
// is (it can stop the world or collect meanwhile) from the first turn on. No
// lock of the module's is held.
class Pause {
public:
    explicit Pause(bool run_handlers) noexcept : run_handlers_(run_handlers) {}
    ~Pause() {
        if (aside_ != nullptr) interpreter_wait_policy.reenter(aside_);
    }
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;

    // One turn; false when a signal handler raised, its exception pending.
    bool turn() noexcept {
        if (aside_ == nullptr) {
            aside_ = interpreter_wait_policy.step_aside();
            handlers_due_ = Clock::now() + handlers_every;
        }
        // Accesses that run no Python code last a copy: most waits end within a
        // few turns; longer ones sleep longer, up to a millisecond.
        if (turns_ < 64) {
            ++turns_;
            std::this_thread::yield();
            return true;
        }
        std::this_thread::sleep_for(sleep_);
        sleep_ = std::min(sleep_ * 2, std::chrono::microseconds(1000));
        if (!run_handlers_ || Clock::now() < handlers_due_) return true;
        // The handlers are Python code. This thread holds nothing but reads
        // held over Python code: a read that runs none enters nothing else.
        interpreter_wait_policy.reenter(std::exchange(aside_, nullptr));
        return interpreter_wait_policy.signals_handled();
    }

private:
    bool run_handlers_;
    void* aside_ = nullptr;
    Clock::time_point handlers_due_;
    unsigned turns_ = 0;
    std::chrono::microseconds sleep_{50};
};

bool wait_to_read(std::atomic<std::uint64_t>& word, bool run_handlers) noexcept {
    const Clock::time_point way_given_until = Clock::now() + reader_gives_way;
    Pause pause(run_handlers);
    for (;;) {
        const bool gone = threads_may_be_gone();
        std::uint64_t seen = word.load(std::memory_order_relaxed);
        switch (reading_step(seen, !gone && Clock::now() < way_given_until)) {
            case Step::take:
                if (word.compare_exchange_weak(seen, seen + AccessState::reader, std::memory_order_acquire,
                                               std::memory_order_relaxed)) {
                    return true;
                }
                continue;
            case Step::wait:
                if (gone) return false;
                break;
            case Step::refuse:
                return false;
        }
        if (!pause.turn()) return false;
    }
}

bool wait_to_write(std::atomic<std::uint64_t>& word, bool run_handlers) noexcept {
    // Counted among the writers that wait (while there is room), so that new
    // readers give way: then the readers that hold it now are all it waits for.
    bool counted = false;
    auto leave = [&] {
        if (counted) word.fetch_sub(AccessState::writer_waiting, std::memory_order_relaxed);
        return false;
    };
    Pause pause(run_handlers);
    for (;;) {
        const bool gone = threads_may_be_gone();
        std::uint64_t seen = word.load(std::memory_order_relaxed);
        switch (writing_step(seen)) {
            case Step::take: {
                std::uint64_t taken = (seen - (counted ? AccessState::writer_waiting : 0)) | AccessState::written;
                if (word.compare_exchange_weak(seen, taken, std::memory_order_acquire, std::memory_order_relaxed)) {
                    return true;
                }
                continue;
            }
            case Step::wait:
                if (gone) return leave();
                break;
            case Step::refuse:
                return leave();
        }
        if (!counted && (seen & AccessState::writers_waiting) != AccessState::writers_waiting) {
            counted = word.compare_exchange_weak(seen, seen + AccessState::writer_waiting, std::memory_order_relaxed);
            continue;
        }
        if (!pause.turn()) return leave();
    }
}

}  // namespace

void refuse_waits_after_fork() noexcept { forked.store(true, std::memory_order_relaxed); }

bool wait_for_access(AccessState& access, bool writes, bool run_handlers) noexcept {
    check_python_may_run();  // other threads do meanwhile
    return writes ? wait_to_write(access.word(), run_handlers) : wait_to_read(access.word(), run_handlers);
}

}  // namespace trelk::binding

#endif
