#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/tracing.hpp"
#include "core/utf8.hpp"
#include "platform/interruptible_lock.hpp"
#include "platform/standard_streams.hpp"

namespace trelk::core::tracing {

namespace detail {
std::atomic<int> lowest_enabled{static_cast<int>(Level::Error) + 1};
}  // namespace detail

namespace {

enum : int { Empty, Installing, Installed };
std::atomic<int> writer_state{Empty};
// Both fixed before writer_state becomes Installed.
bool writer_styled = false;
WaitPolicy writer_policy{};

// The lock that keeps lines whole: a thread waiting for it, as one blocked in
// a write, goes back to its host when a signal arrives.
platform::InterruptibleLock line_lock;

// Set while this thread writes to standard output. Only the host's signal
// handlers, run in the middle of such a write, can write again on this thread,
// and they must neither wait for the line lock that it holds nor mix in.
thread_local bool writing = false;
// Set while this thread holds the line lock.
thread_local bool holding_line = false;
// Set while this thread installs the writer.
thread_local bool installing_here = false;
// Under the line lock: the output stands partway through a line, because a
// write stopped there or is still under way, so the next line first ends it.
// Atomic, so that a forked child can read what the writer left.
std::atomic<bool> line_torn{false};

// This thread's wait on behalf of the host, for the length of one write.
class StepAside {
public:
    explicit StepAside(const WaitPolicy& policy) noexcept : policy_(policy), token_(policy.step_aside()) {}
    StepAside(const StepAside&) = delete;
    StepAside& operator=(const StepAside&) = delete;
    ~StepAside() {
        if (aside_) policy_.reenter(token_);
    }

    // After a signal cut a wait short: whether the host's handlers let the write go on.
    bool signals_handled() noexcept {
        policy_.reenter(token_);
        aside_ = policy_.signals_handled();
        if (aside_) token_ = policy_.step_aside();
        return aside_;
    }

private:
    const WaitPolicy& policy_;
    void* token_;
    bool aside_ = true;
};

class LineHeld {
public:
    LineHeld() noexcept { holding_line = true; }
    LineHeld(const LineHeld&) = delete;
    LineHeld& operator=(const LineHeld&) = delete;
    ~LineHeld() {
        if (!holding_line) return;  // let go of already
        holding_line = false;
        line_lock.release();
    }
};

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

// Writes `bytes` out, the line lock held; 0, EINTR when a signal handler
// failed (the write stopped, perhaps partway), or the system's error number.
int write_held(std::string_view bytes, StepAside& aside) noexcept {
    int error = 0;
    while (!bytes.empty() && error == 0) {
        auto [written, failure] = platform::write_standard_output(bytes);
        if (failure == EAGAIN) {
            // A non-blocking handle that is full: wait until it takes more.
            failure = platform::wait_for_standard_output();
        }
        if (failure != EINTR) error = failure;
        if (written > 0) {
            bytes.remove_prefix(written);
            line_torn.store(!bytes.empty(), std::memory_order_relaxed);
        }
        // A signal ends a blocked wait with EINTR, or a write short once part went out.
        if (error == 0 && (written == 0 || !bytes.empty()) && !aside.signals_handled()) error = EINTR;
    }
    return error;
}

// Writes `bytes` whole under the line lock; `first` runs as soon as the lock
// is held, before anything is written.
int write_whole(std::string_view bytes, const WaitPolicy& policy, void (*first)() noexcept) noexcept {
    StepAside aside(policy);
    int error;
    while ((error = line_lock.acquire()) == EINTR) {
        if (!aside.signals_handled()) return EINTR;
    }
    if (error != 0) return error;
    // Released before the host is reentered, so that the next writer need not
    // wait until this thread gets the host back.
    LineHeld held;
    if (first != nullptr) first();
    if (line_torn.load(std::memory_order_relaxed)) {
        // An interrupted line is ended before the next one, so that lines stay apart.
        if (int ended = write_held("\n", aside)) return ended;
    }
    return write_held(bytes, aside);
}

int write_all(std::string_view bytes, const WaitPolicy& policy, void (*first)() noexcept = nullptr) noexcept {
    if (writing) return EDEADLK;
    writing = true;
    int error = write_whole(bytes, policy, first);
    writing = false;
    return error;
}

void report_lost_line(int error) noexcept {
    // Built in place: this may follow a failed allocation.
    char report[160];
    int length = std::snprintf(report, sizeof report,
                               "trelk: a diagnostic line could not be written to standard output: %s\n",
                               std::strerror(error));
    if (length > 0) platform::report_on_standard_error({report, std::min(sizeof report - 1, std::size_t(length))});
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

// Makes the installed writer visible to every thread.
void publish_writer() noexcept {
    writer_state.store(Installed, std::memory_order_release);
    detail::lowest_enabled.store(static_cast<int>(Level::Info), std::memory_order_relaxed);
}

// Formats and writes one line; `first` as for write_whole.
Delivery write_line(Level level, std::string_view target, std::string_view message,
                    void (*first)() noexcept = nullptr) noexcept {
    thread_local std::string line;
    // A signal handler of this thread's own write must not format over its line.
    if (writing) {
        report_lost_line(EDEADLK);
        return Delivery::Done;
    }
    try {
        format_line(line, level, target, message, writer_styled);
    } catch (...) {
        line.clear();
        static constexpr char lost[] = "trelk: a diagnostic line was lost: out of memory\n";
        platform::report_on_standard_error(lost);
        return Delivery::Done;
    }
    int error = write_all(line, writer_policy, first);
    line.clear();
    if (error == EINTR) return Delivery::Interrupted;
    if (error != 0) report_lost_line(error);
    return Delivery::Done;
}

}  // namespace

Delivery detail::write_event(Level level, std::string_view target, std::string_view message) noexcept {
    if (writer_state.load(std::memory_order_acquire) != Installed) return Delivery::Done;
    return write_line(level, target, message);
}

Installation install_writer(bool styled, const WaitPolicy& policy, Level level, std::string_view target,
                            std::string_view message) noexcept {
    // A racing installer fails once the winner's writer is published, so that
    // its own later events are written, after the announcement: it waits for
    // the line lock as any writer would, since the winner publishes holding
    // it. A signal handler of the winner's own thread fails at once. In a
    // child forked meanwhile the winner's installation is dropped
    // (reset_after_fork), and the waiting installer installs instead.
    for (int expected = Empty; !writer_state.compare_exchange_strong(expected, Installing, std::memory_order_acq_rel);
         expected = Empty) {
        if (expected == Installed) return Installation::AlreadyInstalled;
        int error = write_all({}, policy);
        if (error == EINTR) return Installation::Interrupted;
        if (error != 0) return Installation::AlreadyInstalled;
    }
    installing_here = true;
    writer_styled = styled;
    writer_policy = policy;
    // Published once the line lock is held, so that the announcement is the
    // first line: every other event waits for the lock.
    Delivery announced = write_line(level, target, message, publish_writer);
    publish_writer();  // also when the wait for the lock was interrupted
    installing_here = false;
    return announced == Delivery::Done ? Installation::Done : Installation::Interrupted;
}

bool no_color_requested(const char* value) noexcept {
    if (value == nullptr || *value == '\0') return false;
    return valid_utf8(value);
}

int write_standard_output(std::string_view bytes, const WaitPolicy& policy) noexcept {
    return write_all(bytes, policy);
}

void let_go_of_line() noexcept {
    if (!holding_line) return;
    holding_line = false;
    line_torn.store(true, std::memory_order_relaxed);
    line_lock.release();
}

void reset_after_fork() noexcept {
    // Only this thread went on into the child: a lock or an installation that
    // another thread held is nobody's now. A line that such a thread left
    // partway stays marked torn, so that the child's first line starts afresh.
    line_lock.reset(holding_line);
    int installing = Installing;
    if (!installing_here) writer_state.compare_exchange_strong(installing, Empty, std::memory_order_relaxed);
}

}  // namespace trelk::core::tracing
