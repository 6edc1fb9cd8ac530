// The line writer: each line written whole, one thread at a time, and the writer installed by its announcement.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <optional>
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

// The writer, changed only by the thread that holds the line (the two fields
// below before `installed`), so that whoever holds it reads it true. An
// installation is taken back while its announcement has not begun and its
// thread lets go of the line: no event goes before the announcement, and an
// installer interrupted then leaves nothing installed.
std::atomic<bool> installed{false};
std::atomic<bool> writer_styled{false};
std::atomic<const WaitPolicy*> writer_policy{nullptr};

// The line that every write goes to, one writer at a time.
struct Line {
    // Keeps lines whole: a thread waiting for it, as one blocked in a write,
    // goes back to its host when a signal arrives.
    platform::InterruptibleLock lock;
    // Under the lock: the thread whose line the output stands partway through
    // (a write stopped there, or let go of the lock to run its host's signal
    // handlers), or 0. The next line first ends it; the write that tore it
    // goes on where it stopped if nobody wrote meanwhile. Atomic, so that a
    // forked child can read what the writer left.
    std::atomic<std::uint64_t> torn_by{0};
};
Line line;

// Where this thread stands: every write is one turn at the line,
//   Idle -> Waiting (stepped aside, for the lock) -> Holding (writing) -> Idle,
// and back to Waiting whenever the host's signal handlers run in between. The
// lock is never held while the host is reentered: at its exit a host may stop
// for good a thread that asks to come back (CPython parks or ends it), and
// the line must not go with it. The handlers that run in the middle of a turn
// are the only code that can write again on this thread, and they are
// refused: their line would cut into this thread's own.
enum class Turn : unsigned char { Idle, Waiting, Holding };
thread_local Turn turn = Turn::Idle;
// Whether this thread is installing the writer: to its signal handlers, the
// writer counts as installed.
thread_local bool installing = false;

// Takes the line if it is free, without waiting.
void take_free_line() noexcept {
    if (line.lock.try_acquire()) turn = Turn::Holding;
}

// This thread's wait on behalf of its host, for the length of one turn.
class Aside {
public:
    explicit Aside(const WaitPolicy& policy) noexcept
        : policy_(policy), interruption_{policy.interrupt_event()}, token_(policy.step_aside()) {}
    Aside(const Aside&) = delete;
    Aside& operator=(const Aside&) = delete;

    // After a signal cut a wait short: lets go of the line, reenters the host
    // and runs its handlers; whether they let the write go on. The host stays
    // reentered when they do not. A free line is taken again before the host
    // is let go of, so that whoever sees this thread step aside sees it
    // holding the line.
    bool signals_handled() noexcept {
        if (turn == Turn::Holding) {
            line.lock.release();
            turn = Turn::Waiting;
        }
        policy_.reenter(token_);
        aside_ = policy_.signals_handled();
        if (aside_) {
            take_free_line();
            token_ = policy_.step_aside();
        }
        return aside_;
    }

    void end() noexcept {
        if (aside_) policy_.reenter(token_);
    }

    // What ends this thread's waits for the host's signal handlers.
    platform::Interruption interruption() const noexcept { return interruption_; }

private:
    const WaitPolicy& policy_;
    platform::Interruption interruption_;
    void* token_;
    bool aside_ = true;
};

// Done once this thread holds the line, waiting for it as long as need be.
Outcome hold_line(Aside& aside) noexcept {
    while (turn != Turn::Holding) {
        int error = line.lock.acquire(aside.interruption());
        if (error == 0) {
            turn = Turn::Holding;
        } else if (error != EINTR) {
            return {Outcome::Failed, error};
        } else if (!aside.signals_handled()) {
            return {Outcome::Interrupted};
        }
    }
    return {Outcome::Done};
}

// One turn at the line: `body` runs holding it. The line is let go of before
// the host is reentered, so that the next writer need not wait until this
// thread gets the host back.
template <class Body>
Outcome take_turn(const WaitPolicy& policy, Body body) noexcept {
    if (turn != Turn::Idle) return {Outcome::Reentered};
    turn = Turn::Waiting;
    take_free_line();
    Aside aside(policy);
    Outcome outcome = hold_line(aside);
    if (outcome.kind == Outcome::Done) outcome = body(aside);
    if (turn == Turn::Holding) line.lock.release();
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

// What a write needs before the first of its bytes goes out: taken each
// time its thread holds the line until then (a refusal ends the write), and
// given back whenever it lets go of the line with nothing written.
struct NoClaim {
    std::optional<Outcome> take() noexcept { return std::nullopt; }
    void give_back() noexcept {}
};

// An event needs the writer installed; before, it is dropped unwritten.
struct WriterInstalled {
    std::optional<Outcome> take() noexcept {
        if (installed.load(std::memory_order_relaxed)) return std::nullopt;
        return Outcome{Outcome::Done};
    }
    void give_back() noexcept {}
};

// An announcement is the installation of the writer.
struct Installation {
    bool styled;
    const WaitPolicy* policy;
    std::optional<Outcome> take() noexcept {
        if (installed.load(std::memory_order_relaxed)) return Outcome{Outcome::AlreadyInstalled};
        writer_styled.store(styled, std::memory_order_relaxed);
        writer_policy.store(policy, std::memory_order_relaxed);
        // The level goes first: a child forked between the two stores keeps
        // no writer, and the level alone is harmless.
        detail::lowest_enabled.store(static_cast<int>(Level::Info), std::memory_order_relaxed);
        installed.store(true, std::memory_order_release);
        return std::nullopt;
    }
    void give_back() noexcept {
        installed.store(false, std::memory_order_relaxed);
        detail::lowest_enabled.store(static_cast<int>(Level::Error) + 1, std::memory_order_relaxed);
    }
};

// Writes `bytes` whole, the line held, after ending a line that was cut off:
// Done, Interrupted (the write stopped, perhaps partway), Failed, or what
// `claim` refused. The line is let go of while the host's signal handlers
// run, and then taken again.
template <class Claim>
Outcome write_whole(std::string_view bytes, Aside& aside, Claim& claim) noexcept {
    const std::uint64_t self = current_thread_id();
    bool started = false;
    bool claimed = false;
    while (!bytes.empty()) {
        if (!claimed) {
            if (std::optional<Outcome> refused = claim.take()) return *refused;
            claimed = true;
        }
        const std::uint64_t torn_by = line.torn_by.load(std::memory_order_relaxed);
        const bool ending = torn_by != 0 && !(started && torn_by == self);
        const std::string_view piece = ending ? std::string_view("\n") : bytes;
        auto [written, error] = platform::write_standard_output(piece, aside.interruption());
        if (written > 0) {
            if (!ending) {
                bytes.remove_prefix(written);
                started = true;
            }
            const bool whole = written == piece.size();
            line.torn_by.store(ending || whole ? 0 : self, std::memory_order_relaxed);
            if (whole) continue;
            // A handle set not to block takes what fits: the next write waits.
            if (!platform::standard_output_blocks()) continue;
            error = EINTR;  // one that blocks is cut short only by a signal
        }
        // A non-blocking handle that is full: wait until it takes more.
        if (error == EAGAIN) error = platform::wait_for_standard_output(aside.interruption());
        if (error == 0) continue;
        if (error != EINTR) return {Outcome::Failed, error};
        if (!started) {
            claim.give_back();
            claimed = false;
        }
        if (!aside.signals_handled()) return {Outcome::Interrupted};
        if (Outcome held = hold_line(aside); held.kind != Outcome::Done) return held;
    }
    return {Outcome::Done};
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

// The most that a thread's line buffer keeps between lines: far more than the
// usual line, and a line of any length may come (a refusal can spell out a
// text of 64 Mi characters), whose buffer would otherwise stay with the
// thread as long as it lives.
constexpr std::size_t line_capacity_kept = 4096;

// Formats and writes one line, with what `claim` gives (see write_whole):
// Done, Interrupted or what `claim` refused.
template <class Claim>
Outcome write_line(bool styled, Level level, std::string_view target, std::string_view message,
                   const WaitPolicy& policy, Claim claim) noexcept {
    thread_local std::string text;
    // A signal handler of this thread's own turn must not format over its line.
    if (turn != Turn::Idle) return lost_line(EDEADLK);
    text.clear();
    bool formatted = true;
    try {
        format_line(text, level, target, message, styled);
    } catch (...) {
        formatted = false;
    }
    Outcome outcome = take_turn(policy, [&claim, formatted](Aside& aside) {
        if (formatted) return write_whole(text, aside, claim);
        if (std::optional<Outcome> refused = claim.take()) return *refused;
        return lost_line(ENOMEM);
    });
    if (text.capacity() > line_capacity_kept) std::string().swap(text);
    return outcome.kind == Outcome::Failed ? lost_line(outcome.error) : outcome;
}

}  // namespace

Outcome detail::write_event(Level level, std::string_view target, std::string_view message) noexcept {
    if (!installed.load(std::memory_order_acquire)) return {Outcome::Done};
    return write_line(writer_styled.load(std::memory_order_relaxed), level, target, message,
                      *writer_policy.load(std::memory_order_relaxed), WriterInstalled{});
}

Outcome install_writer(bool styled, const WaitPolicy& policy, Level level, std::string_view target,
                       std::string_view message) noexcept {
    if (installing || installed.load(std::memory_order_acquire)) return {Outcome::AlreadyInstalled};
    // A signal handler of a write under way on this thread: its announcement
    // could neither wait for the line nor mix into it, and a writer must not
    // go in without it.
    if (turn != Turn::Idle) return {Outcome::Reentered};
    // Installed by the thread that holds the line, so that racing installers
    // take it one after the other and the later ones find the writer
    // installed; taken back whenever the line is let go of before the
    // announcement begins (see `installed`).
    installing = true;
    Outcome announced = write_line(styled, level, target, message, policy, Installation{styled, &policy});
    installing = false;
    return announced;
}

bool no_color_requested(const char* value) noexcept {
    if (value == nullptr || *value == '\0') return false;
    return valid_utf8(value);
}

Outcome write_standard_output(std::string_view bytes, const WaitPolicy& policy) noexcept {
    return take_turn(policy, [bytes](Aside& aside) {
        NoClaim claim;
        return write_whole(bytes, aside, claim);
    });
}

void reset_after_fork() noexcept {
    // Only this thread went on into the child, and it holds no line: it forked
    // from its host's code, which no thread runs holding the line. The line
    // that another thread held is nobody's now; a line that such a thread left
    // partway stays marked torn, so that the child's first line starts afresh.
    line.lock.reset();
}

}  // namespace trelk::core::tracing
