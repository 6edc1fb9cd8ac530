// The core and the platform layer on their own, without an interpreter: built
// for every system the module is ported to by tools/cross_builds.sh, and run
// there or under an emulator (Windows under wine). Versions and text forms
// check the standard library of each system's compiler; the line lock and
// standard output check the platform layer, down to a blocked write to a full
// pipe that the host interrupts.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/constraint_tree.hpp"
#include "core/tracing.hpp"
#include "core/type_check.hpp"
#include "core/version.hpp"
#include "platform/interruptible_lock.hpp"
#include "platform/standard_streams.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <cerrno>

using namespace trelk;
using namespace std::chrono_literals;

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, std::string_view what) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::fprintf(stderr, "FAILED: %.*s\n", static_cast<int>(what.size()), what.data());
    }
}

void versions() {
    struct Case {
        std::string_view input, text;  // the text form, or the refusal
    };
    const Case cases[] = {
        {"1.2.3", "1.2.3"},
        {"01.2-rc3+*", "1.2-rc3+*"},
        {"1.2.>", "1.2.>"},
        {"18446744073709551616.007", "18446744073709551616.7"},  // beyond 64 bits, a part stays text
        {"1.", "TrailingSeparator"},
        {"1..2", "EmptyPart"},
        {"1.>.2", "PartAfterRest"},
        {"1.a-b!", "InvalidPart(\"b!\")"},
    };
    for (const Case& c : cases) {
        core::version::ParseResult parsed = core::version::parse(c.input);
        std::string text;
        if (auto* version = std::get_if<core::version::Version>(&parsed)) {
            text = core::version::to_text(*version);
            core::version::ParseResult again = core::version::parse(text);
            check(std::holds_alternative<core::version::Version>(again) &&
                      core::version::to_text(std::get<core::version::Version>(again)) == text,
                  std::string("version text parses back: ") + std::string(c.input));
        } else {
            text = core::version::error_text(std::get<core::version::VersionParseError>(parsed));
        }
        check(text == c.text, std::string("version ") + std::string(c.input) + " -> " + text);
    }
}

void text_forms() {
    using namespace core::constraint;
    auto version = std::get<core::version::Version>(core::version::parse("3.0"));
    auto option = [] { return text_node(Kind::SpecOption, "openssl", "version"); };
    struct Case {
        NodeRef node;
        std::string_view text;
    };
    const Case cases[] = {
        {branch_node(Kind::Cmp, option(), value_node(version), CmpType::GreaterOrEqual),
         "[ Package 'openssl' -> Option 'version' ] >= [ 3.0 ]"},
        {branch_node(Kind::IfThen,
                     branch_node(Kind::Cmp, list_node(Kind::NumOf, {text_node(Kind::Depends, "gnutls"),
                                                                     text_node(Kind::Depends, "openssl")}),
                                 value_node(std::int64_t{1}), CmpType::GreaterOrEqual),
                     text_node(Kind::Depends, "a")),
         "If( [ NumOf( Depends( gnutls ), Depends( openssl ) ) ] >= [ 1 ] ) Then [ Depends( a ) ]"},
        {branch_node(Kind::Cmp, text_node(Kind::Depends, "\xc3\xa9"), value_node(0.1), CmpType::Less),
         "[ Depends( \xc3\xa9 ) ] < [ 0.1 ]"},
        {branch_node(Kind::Cmp, text_node(Kind::Depends, "a"), value_node(-1e22), CmpType::Less),
         "[ Depends( a ) ] < [ -10000000000000000000000 ]"},
    };
    for (const Case& c : cases) {
        std::string text = constraint_text(*c.node);
        check(text == c.text, "text form " + text);
    }
    auto refused = make_cmp(text_node(Kind::SpecOption, "curl", "timeout"), value_node(2.5), CmpType::Greater);
    check(std::get_if<std::string>(&refused) != nullptr &&
              std::get<std::string>(refused) ==
                  "Cannot compare type Some(Unknown) from constraint Package 'curl' -> Option 'timeout' with "
                  "type Some(Float) from constraint 2.5 using operator '>'",
          "a refused comparison names both sides");
}

// What ends a wait on this system, sent from another thread.
#if defined(_WIN32)
// Ctrl-C as the interpreter passes it on: an event set for the main thread.
class Interrupter {
public:
    Interrupter() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Interrupter() { CloseHandle(event_); }
    platform::Interruption interruption() const { return {event_}; }
    void interrupt() { SetEvent(event_); }
    void settle() { ResetEvent(event_); }

private:
    HANDLE event_;
};
#else
// A signal to the waiting thread, whose handler does nothing.
class Interrupter {
public:
    Interrupter() : target_(pthread_self()) {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigaction(SIGUSR1, &action, nullptr);  // no SA_RESTART: the wait ends
    }
    platform::Interruption interruption() const { return {}; }
    void interrupt() { pthread_kill(target_, SIGUSR1); }
    void settle() {}

private:
    pthread_t target_;
};
#endif

// Runs `wait` on this thread while another interrupts it every 20 ms until it
// returns: the first interruption may come before the wait has begun.
template <class Wait>
auto interrupted(Interrupter& interrupter, Wait wait) {
    std::atomic<bool> done{false};
    std::thread sender([&] {
        while (!done.load()) {
            std::this_thread::sleep_for(20ms);
            if (!done.load()) interrupter.interrupt();
        }
    });
    auto result = wait();
    done.store(true);
    sender.join();
    interrupter.settle();
    return result;
}

void line_lock(Interrupter& interrupter) {
    platform::InterruptibleLock lock;
    constexpr int threads = 4, rounds = 2000;
    long long counter = 0;  // written under the lock only
    std::atomic<int> refused{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                if (!lock.try_acquire() && lock.acquire({}) != 0) {
                    ++refused;
                    continue;
                }
                long long seen = counter;
                if (i % 64 == 0) std::this_thread::yield();  // lets another thread try meanwhile
                counter = seen + 1;
                lock.release();
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    check(refused.load() == 0 && counter == threads * rounds, "the lock under 4 threads loses no increment");

    check(lock.try_acquire() && !lock.try_acquire(), "a held lock is not free");
    int error = interrupted(interrupter, [&] { return lock.acquire(interrupter.interruption()); });
    check(error == EINTR, "a wait for a held lock ends when interrupted");
    lock.release();
    check(lock.try_acquire(), "a released lock is free");
    lock.release();
}

// Standard output sent to a pipe that nobody reads, for as long as it lives.
#if defined(_WIN32)
class PipeAsOutput {
public:
    PipeAsOutput() : saved_(GetStdHandle(STD_OUTPUT_HANDLE)) {
        CreatePipe(&read_end_, &write_end_, nullptr, 4096);
        SetStdHandle(STD_OUTPUT_HANDLE, write_end_);
    }
    ~PipeAsOutput() {
        SetStdHandle(STD_OUTPUT_HANDLE, saved_);
        CloseHandle(read_end_);
        CloseHandle(write_end_);
    }
    void set_blocking(bool blocking) {
        DWORD mode = PIPE_READMODE_BYTE | (blocking ? PIPE_WAIT : PIPE_NOWAIT);
        SetNamedPipeHandleState(write_end_, &mode, nullptr, nullptr);
    }

private:
    HANDLE saved_, read_end_ = nullptr, write_end_ = nullptr;
};
#else
class PipeAsOutput {
public:
    PipeAsOutput() : saved_(dup(1)) {
        if (pipe(ends_) == 0) dup2(ends_[1], 1);
    }
    ~PipeAsOutput() {
        dup2(saved_, 1);
        close(saved_);
        close(ends_[0]);
        close(ends_[1]);
    }
    void set_blocking(bool blocking) {
        int flags = fcntl(1, F_GETFL);
        fcntl(1, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
    }

private:
    int saved_;
    int ends_[2] = {-1, -1};
};
#endif

Interrupter* host_interrupter = nullptr;

// A host whose signal handlers fail, as Ctrl-C makes the interpreter's do.
const core::tracing::WaitPolicy failing_host = {
    []() noexcept -> void* { return nullptr; },
    [](void*) noexcept {},
    []() noexcept { return false; },
    []() noexcept { return host_interrupter->interruption().event; },
};

void standard_output(Interrupter& interrupter) {
    const std::string block(1 << 20, 'x');  // more than any pipe holds
    PipeAsOutput output;
    check(platform::standard_output_blocks(), "a pipe blocks when full");
    host_interrupter = &interrupter;
    core::tracing::Outcome outcome = interrupted(
        interrupter, [&] { return core::tracing::write_standard_output(block, failing_host); });
    check(outcome.kind == core::tracing::Outcome::Interrupted,
          "a write blocked on a full pipe ends when interrupted, and the host's failure is the caller's");

    output.set_blocking(false);
    check(!platform::standard_output_blocks(), "a pipe set not to block does not block");
    platform::WriteAttempt attempt{};
    for (int i = 0; i < 64 && attempt.error == 0; ++i) attempt = platform::write_standard_output(block, {});
    check(attempt.written == 0 && attempt.error == EAGAIN, "a full pipe set not to block takes nothing: EAGAIN");
    int error = interrupted(interrupter, [&] {
        int result;
        while ((result = platform::wait_for_standard_output(interrupter.interruption())) == 0) {
        }
        return result;
    });
    check(error == EINTR, "the wait for a full pipe set not to block ends when interrupted");
    output.set_blocking(true);
}

}  // namespace

int main() {
    versions();
    text_forms();
    Interrupter interrupter;
    line_lock(interrupter);
    standard_output(interrupter);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
