#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/thread_id.hpp"
#include "core/tracing.hpp"
#include "core/utf8.hpp"
#include "platform/interruptible_lock.hpp"
#include "platform/standard_streams.hpp"

namespace trelk::core::tracing {

namespace detail {
std::atomic<int> lowest_enabled{static_cast<int>(Level::Error) + 1};
}  // namespace detail

namespace {

// The installation: nobody's, the id of the thread installing the writer, or
// `installed`.
constexpr std::uint64_t nobody = 0;
constexpr std::uint64_t installed = UINT64_MAX;
std::atomic<std::uint64_t> installation{nobody};
// Both fixed before the installation becomes `installed`.
bool writer_styled = false;
WaitPolicy writer_policy{};

// The line that every write goes to, one writer at a time.
struct Line {
    // Keeps lines whole: a thread waiting for it, as one blocked in a write,
    // goes back to its host when a signal arrives.
    platform::InterruptibleLock lock;
    // Under the lock: the output stands partway through a line, because a
    // write stopped there or is still under way, so the next line first ends
    // it. Atomic, so that a forked child can read what the writer left.
    std::atomic<bool> torn{false};
};
Line line;

// Where this thread stands: every write is one turn at the line,
//   Idle -> Waiting (stepped aside, for the lock) -> Holding (writing) -> Idle,
// the lock let go of before the host is reentered. Only the host's signal
// handlers, run in the middle of a turn, can write again on this thread, and
// they are refused: they must neither wait for the lock that it holds nor mix
// into its line.
enum class Turn : unsigned char { Idle, Waiting, Holding };
thread_local Turn turn = Turn::Idle;

// This thread's wait on behalf of its host, for the length of one turn.
class Aside {
public:
    explicit Aside(const WaitPolicy& policy) noexcept : policy_(policy), token_(policy.step_aside()) {}
    Aside(const Aside&) = delete;
    Aside& operator=(const Aside&) = delete;

    // After a signal cut a wait short: whether the host's handlers let the
    // write go on. The host stays reentered when they do not.
    bool signals_handled() noexcept {
        policy_.reenter(token_);
        aside_ = policy_.signals_handled();
        if (aside_) token_ = policy_.step_aside();
        return aside_;
    }

    void end() noexcept {
        if (aside_) policy_.reenter(token_);
    }

private:
    const WaitPolicy& policy_;
    void* token_;
    bool aside_ = true;
};

Outcome acquire_line(Aside& aside) noexcept {
    for (;;) {
        int error = line.lock.acquire();
        if (error == 0) return {Outcome::Done};
        if (error != EINTR) return {Outcome::Failed, error};
        if (!aside.signals_handled()) return {Outcome::Interrupted};
    }
}

// One turn at the line: `body` runs holding the lock, which is let go of
// before the host is reentered, so that the next writer need not wait until
// this thread gets the host back.
template <class Body>
Outcome take_turn(const WaitPolicy& policy, Body body) noexcept {
    if (turn != Turn::Idle) return {Outcome::Reentered};
    turn = Turn::Waiting;
    // A free line is taken before the host is let go of: whoever sees this
    // thread step aside sees it holding the line.
    const bool taken = line.lock.try_acquire();
    Aside aside(policy);
    Outcome outcome = taken ? Outcome{Outcome::Done} : acquire_line(aside);
    if (outcome.kind == Outcome::Done) {
        turn = Turn::Holding;
        outcome = body(aside);
        line.lock.release();
    }
    turn = Turn::Idle;
    aside.end();
    return outcome;
}

constexpr std::string_view level_text[] = {"TRACE", "DEBUG", " INFO", " WARN", "ERROR"};
constexpr std::string_view level_colour[] = {"35", "34", "32", "33", "31"};
constexpr std::string_view reset = "\x1b[0m";

void append_styled(std::string& out, std::string_view code, std::string_view text) {
    out += "\x1b[";
    out += code;
    out += 'm';
    out += text;
    out += reset;
}

// ESC, BEL, BS, FF and DEL as \xNN, C1 controls as \u{NN}; the rest unchanged.
void append_escaped(std::string& out, std::string_view message) {
    static constexpr char hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < message.size(); ++i) {
        auto byte = static_cast<unsigned char>(message[i]);
        if (byte == 0x1b || byte == 0x07 || byte == 0x08 || byte == 0x0c || byte == 0x7f) {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xf];
        } else if (byte == 0xc2 && i + 1 < message.size() &&
                   static_cast<unsigned char>(message[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(message[i + 1]) <= 0x9f) {
            auto code = static_cast<unsigned char>(message[++i]);
            out += "\\u{";
            out += hex[code >> 4];
            out += hex[code & 0xf];
            out += '}';
        } else {
            out += static_cast<char>(byte);
        }
    }
}

// Writes `bytes` out, the line held: Done, Interrupted (the write stopped,
// perhaps partway) or Failed.
Outcome write_held(std::string_view bytes, Aside& aside) noexcept {
    while (!bytes.empty()) {
        auto [written, error] = platform::write_standard_output(bytes);
        // A non-blocking handle that is full: wait until it takes more.
        if (error == EAGAIN) error = platform::wait_for_standard_output();
        if (error != 0 && error != EINTR) return {Outcome::Failed, error};
        if (written > 0) {
            bytes.remove_prefix(written);
            line.torn.store(!bytes.empty(), std::memory_order_relaxed);
        }
        // A signal ends a blocked wait with EINTR, or a write short once part went out.
        if (!bytes.empty() && !aside.signals_handled()) return {Outcome::Interrupted};
    }
    return {Outcome::Done};
}

// Writes `bytes` whole, the line held, after ending a line that was cut off.
Outcome write_whole(std::string_view bytes, Aside& aside) noexcept {
    if (line.torn.load(std::memory_order_relaxed)) {
        Outcome ended = write_held("\n", aside);
        if (ended.kind != Outcome::Done) return ended;
    }
    return write_held(bytes, aside);
}

// Reports a line that was not written; an event's emitter is not disturbed.
Outcome lost_line(int error) noexcept {
    // Built in place: this may follow a failed allocation.
    char report[160];
    int length = std::snprintf(report, sizeof report,
                               "trelk: a diagnostic line could not be written to standard output: %s\n",
                               std::strerror(error));
    if (length > 0) platform::report_on_standard_error({report, std::min(sizeof report - 1, std::size_t(length))});
    return {Outcome::Done};
}

bool valid_utf8(std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size();) {
        utf8::CodePoint point = utf8::decode(text, i);
        if (!point.valid) return false;
        i += point.length;
    }
    return true;
}

}  // namespace

void format_line(std::string& out, Level level, std::string_view target, std::string_view message,
                 bool styled) {
    auto index = static_cast<std::size_t>(level);
    if (styled) {
        append_styled(out, level_colour[index], level_text[index]);
        out += ' ';
        append_styled(out, "2", target);
        append_styled(out, "2", ":");
    } else {
        out += level_text[index];
        out += ' ';
        out += target;
        out += ':';
    }
    out += ' ';
    append_escaped(out, message);
    out += '\n';
}

namespace {

// Makes the installed writer visible to every thread. The level goes first: a
// child forked between the two stores must not keep an installed writer that
// writes nothing (its installation is dropped, the level alone is harmless).
void publish_writer() noexcept {
    detail::lowest_enabled.store(static_cast<int>(Level::Info), std::memory_order_relaxed);
    installation.store(installed, std::memory_order_release);
}

// Formats and writes one line: Done or Interrupted. `first` runs as soon as
// the line is held, before anything is written.
Outcome write_line(Level level, std::string_view target, std::string_view message,
                   void (*first)() noexcept = []() noexcept {}) noexcept {
    thread_local std::string text;
    // A signal handler of this thread's own turn must not format over its line.
    if (turn != Turn::Idle) return lost_line(EDEADLK);
    text.clear();
    try {
        format_line(text, level, target, message, writer_styled);
    } catch (...) {
        return lost_line(ENOMEM);
    }
    Outcome outcome = take_turn(writer_policy, [first](Aside& aside) {
        first();
        return write_whole(text, aside);
    });
    return outcome.kind == Outcome::Failed ? lost_line(outcome.error) : outcome;
}

}  // namespace

Outcome detail::write_event(Level level, std::string_view target, std::string_view message) noexcept {
    if (installation.load(std::memory_order_acquire) != installed) return {Outcome::Done};
    return write_line(level, target, message);
}

Outcome install_writer(bool styled, const WaitPolicy& policy, Level level, std::string_view target,
                       std::string_view message) noexcept {
    // A racing installer fails once the winner's writer is published, so that
    // its own later events are written, after the announcement: it waits for
    // a turn at the line, since the winner publishes holding it. A signal
    // handler of the installing thread fails at once. In a child forked
    // meanwhile the winner's installation is dropped (reset_after_fork), and
    // the waiting installer installs instead.
    const std::uint64_t self = current_thread_id();
    for (std::uint64_t holder = nobody;
         !installation.compare_exchange_strong(holder, self, std::memory_order_acq_rel); holder = nobody) {
        if (holder == installed || holder == self) return {Outcome::AlreadyInstalled};
        Outcome waited = take_turn(policy, [](Aside&) { return Outcome{Outcome::Done}; });
        if (waited.kind == Outcome::Interrupted) return waited;
        if (waited.kind != Outcome::Done) return {Outcome::AlreadyInstalled};
    }
    if (turn != Turn::Idle) {
        // A signal handler of this thread's own turn: its announcement could
        // neither wait for the line nor mix into it, and a writer must not go
        // in without it.
        installation.store(nobody, std::memory_order_release);
        return {Outcome::Reentered};
    }
    writer_styled = styled;
    writer_policy = policy;
    // Published once the line is held, so that the announcement is the first
    // line: every other event waits for its turn.
    Outcome announced = write_line(level, target, message, publish_writer);
    publish_writer();  // also when the wait for the line was interrupted
    return announced;
}

bool no_color_requested(const char* value) noexcept {
    if (value == nullptr || *value == '\0') return false;
    return valid_utf8(value);
}

Outcome write_standard_output(std::string_view bytes, const WaitPolicy& policy) noexcept {
    return take_turn(policy, [bytes](Aside& aside) { return write_whole(bytes, aside); });
}

void let_go_of_line() noexcept {
    if (turn != Turn::Holding) return;
    turn = Turn::Idle;
    line.torn.store(true, std::memory_order_relaxed);
    line.lock.release();
}

void reset_after_fork() noexcept {
    // Only this thread went on into the child: the line or an installation
    // that another thread held is nobody's now. A line that such a thread
    // left partway stays marked torn, so that the child's first line starts
    // afresh.
    line.lock.reset(turn == Turn::Holding);
    std::uint64_t holder = installation.load(std::memory_order_relaxed);
    if (holder != installed && holder != current_thread_id()) installation.store(nobody, std::memory_order_relaxed);
}

}  // namespace trelk::core::tracing
