// Diagnostic events: a level, a target naming the reporting namespace, and a
// message. They cost one atomic load until a writer is installed, and from then
// on every event at INFO or above is one line on the process's standard output.
//
// Standard output can block for as long as its reader pleases (a full pipe, a
// paused terminal), and so can the line that another thread is writing. The
// writer knows nothing of its host, so the host says how to wait: it lets its
// other threads run meanwhile and runs its own handlers when a signal cuts a
// wait short, and one of those handlers failing stops the write.
//
// Every line (an event, an announcement, a plain write) is one turn at the
// line; every call returns an Outcome. Where a thread stands, and what moves it:
//   Idle, holding the host. A write begins (`take_turn`): the line taken if
//     free, then the host let go of -> Holding, else Waiting.
//   Waiting, stepped aside, holding nothing. The lock acquired -> Holding. A
//     signal ends the wait: the host taken back, its handlers run (one that
//     writes or installs is refused: Reentered; an event is reported lost);
//     they succeed: the line taken if free, the host let go of -> Holding, else
//     Waiting; one raises -> Idle (Interrupted). The lock broken (its making
//     failed) -> Idle (Failed).
//   Holding the line lock, never the host. The bytes all out: the lock let go
//     of, then the host taken back -> Idle (Done). A signal cuts the write (or
//     the wait for a handle set not to block) short: the line marked torn if
//     partway, the lock let go of -> Waiting, as at a signal. A handle set not to block
//     is full: waits for it. The system refuses it -> Idle (Failed, told on standard error).
// So no thread waits for the line holding the host, nor asks for the host holding the line, and
// a host that ends, stopping for good a thread that asks for it back, stops none holding the line.
#pragma once

#include <atomic>
#include <string_view>

namespace trelk::core::tracing {

enum class Level : int { Trace, Debug, Info, Warn, Error };

// How a thread waits for standard output on behalf of its host.
struct WaitPolicy {
    // Lets the host's other threads go on while this one waits; returns what
    // `reenter` takes back on this thread.
    void* (*step_aside)() noexcept;
    void (*reenter)(void* token) noexcept;
    // Runs the host's signal handlers after a signal cut a wait short, between
    // `reenter` and the next `step_aside`, never with the line lock held;
    // false when one of them failed, and the failure is then the emitter's.
    bool (*signals_handled)() noexcept;
    // Where a signal ends no wait by itself (Windows): the event that the host
    // sets when one should end this thread's wait, or null; asked before each
    // `step_aside`. Null where signals end waits (POSIX).
    void* (*interrupt_event)() noexcept;
};

// What became of a call into the writer: one type for every entry.
struct [[nodiscard]] Outcome {
    enum Kind : unsigned char {
        Done,
        // A signal handler failed while the call waited: the failure is the caller's.
        Interrupted,
        // A signal handler wrote while its own thread was writing: it may
        // neither wait for the line its thread holds nor mix into it.
        Reentered,
        AlreadyInstalled,
        // The system refused the write; `error` says why.
        Failed,
    };
    Kind kind;
    int error = 0;  // the system's error number, when Failed
};

namespace detail {
// The least severe level that is written; above Error while nothing is installed.
extern std::atomic<int> lowest_enabled;
Outcome write_event(Level level, std::string_view target, std::string_view message) noexcept;
}  // namespace detail

// Done or Interrupted: a line that could not be written is reported on
// standard error, but an interrupt is the emitter's.
inline Outcome emit_event(Level level, std::string_view target, std::string_view message) noexcept {
    if (static_cast<int>(level) < detail::lowest_enabled.load(std::memory_order_relaxed)) {
        return {Outcome::Done};
    }
    return detail::write_event(level, target, message);
}

// Installs the process-wide writer, styled with colours or not, waiting as
// `policy` says (kept: it must outlive every write), and writes the event that
// announces it as its first line: no other event is written before it, and
// events emitted before it begins are dropped. AlreadyInstalled when a writer
// was installed before (it stays in place, unchanged), also for a signal
// handler that runs while its thread installs; Interrupted when a signal
// handler failed while the call waited (installed only if a byte of its
// announcement had gone out); Reentered, with nothing installed, for a signal
// handler that runs while its thread writes.
Outcome install_writer(bool styled, const WaitPolicy& policy, Level level, std::string_view target,
                       std::string_view message) noexcept;

// Whether the value of NO_COLOR (null when unset) switches styling off: any
// non-empty value that is valid UTF-8 does.
bool no_color_requested(const char* value) noexcept;

// Writes `bytes` to the standard output handle under the lock that event lines
// take, waiting as `policy` says: Done, Interrupted (the write stopped, perhaps
// partway), Reentered or Failed. A line cut off partway is ended before the
// next one is written.
Outcome write_standard_output(std::string_view bytes, const WaitPolicy& policy) noexcept;

// In a forked child: the line lock is let go of. Only a thread that the child
// does not have can have held it: the forking thread ran its host's code (Idle,
// or Waiting if a handler forked mid-turn), and its turn and installation go on.
void reset_after_fork() noexcept;

// The line of one event, with a line feed, as the writer formats it.
void format_line(std::string& out, Level level, std::string_view target, std::string_view message,
                 bool styled);

}  // namespace trelk::core::tracing
