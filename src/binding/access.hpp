// The access state of every instance, and the scope that holds an entry into one.
//
// The state counts readers or marks one writer: an overlap (Python code run
// while access is held that touches the same instance) is refused instead of
// corrupting the value. Without the interpreter lock, another thread's access
// that runs no Python code is waited for instead.
#pragma once

#include <Python.h>

#include <atomic>
#include <cassert>
#include <cstdint>
#include <utility>

#include "binding/ref.hpp"

namespace trelk::binding {

struct ClassDef;

// With the interpreter lock: loads and stores (docs/design.md, "Python code
// inside a call"). Without it, compare-and-exchange on one word that also
// tells which readers are held over Python code and how many writers wait
// (docs/development.md, "The free-threaded build").
class AccessState {
public:
#ifdef Py_GIL_DISABLED
    bool try_read() noexcept {
        std::uint64_t seen = state_.load(std::memory_order_relaxed);
        while ((seen & (written | writers_waiting)) == 0) {
            if (state_.compare_exchange_weak(seen, seen + reader, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                return true;
            }
        }
        return false;
    }
    void end_read(bool over_python) noexcept {
        state_.fetch_sub(over_python ? reader + reader_over_python : reader, std::memory_order_release);
    }
    // A read already held goes on over Python code: a writer meeting it is
    // refused at once, as with the lock, instead of waiting for that code.
    void hold_over_python() noexcept { state_.fetch_add(reader_over_python, std::memory_order_relaxed); }

    bool try_write() noexcept {
        std::uint64_t seen = state_.load(std::memory_order_relaxed);
        while ((seen & ~write_ends) == 0) {
            if (state_.compare_exchange_weak(seen, seen | written, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                return true;
            }
        }
        return false;
    }
    // One more write ended: the count of them wraps at the top of the word.
    void end_write() noexcept { state_.fetch_add(write_end - written, std::memory_order_release); }

    // The word, for the wait of access.cpp, from the lowest bits: readers, of
    // them those held over Python code, writers waiting, the writer's mark,
    // and how many writes have ended (modulo 512).
    static constexpr std::uint64_t reader = 1;
    static constexpr std::uint64_t readers = (std::uint64_t{1} << 20) - 1;
    static constexpr std::uint64_t reader_over_python = std::uint64_t{1} << 20;
    static constexpr std::uint64_t readers_over_python = ((std::uint64_t{1} << 40) - 1) & ~readers;
    static constexpr std::uint64_t writer_waiting = std::uint64_t{1} << 40;
    static constexpr std::uint64_t writers_waiting = ((std::uint64_t{1} << 54) - 1) & ~((std::uint64_t{1} << 40) - 1);
    static constexpr std::uint64_t written = std::uint64_t{1} << 54;
    static constexpr std::uint64_t write_end = std::uint64_t{1} << 55;
    static constexpr std::uint64_t write_ends = ~((std::uint64_t{1} << 55) - 1);
    std::atomic<std::uint64_t>& word() noexcept { return state_; }

private:
    std::atomic<std::uint64_t> state_{0};
#else
    bool try_read() noexcept {
        std::int64_t seen = state_.load(std::memory_order_relaxed);
        if (seen < 0) return false;
        state_.store(seen + 1, std::memory_order_relaxed);
        return true;
    }
    void end_read(bool) noexcept { state_.store(state_.load(std::memory_order_relaxed) - 1, std::memory_order_release); }

    bool try_write() noexcept {
        if (state_.load(std::memory_order_relaxed) != 0) return false;
        state_.store(-1, std::memory_order_relaxed);
        return true;
    }
    void end_write() noexcept { state_.store(0, std::memory_order_release); }

private:
    std::atomic<std::int64_t> state_{0};
#endif
};

// How a wait for another thread's access (without the interpreter lock) goes:
// it runs the signal handlers only at a door that raises what they raise; and
// a thread that holds another access, which runs no Python code, gives
// writers that wait no way, since they may be waiting for that access.
enum class WhileWaiting : std::uint8_t { quiet, run_signal_handlers, holding_another };

#ifdef Py_GIL_DISABLED
// After `access` refused this thread: waits, stepped aside, until another
// thread's access lets this one in, and takes it (true). False, with nothing
// taken, where the locked build refuses too (a write meeting a read held over
// Python code), and where a signal handler that the wait ran raised, its
// exception then pending.
bool wait_for_access(AccessState& access, bool writes, WhileWaiting waiting) noexcept;

// In a forked child, where the parent's other threads are not: their writers
// that were waiting are given no way.
void give_no_way_after_fork() noexcept;
#endif

// What every instance holds beside its value.
struct Instance {
    PyObject_HEAD
    AccessState access;
};

// An instance entered for reading or writing: it is kept alive, and its access
// is held, until the end of the scope. Python code that runs meanwhile (any
// conversion, a finalizer, a hook) may drop every other reference to it.
//
// Only the doors of class.hpp enter an instance, after the class and thread
// checks; every slot goes through them.
template <class Obj, bool Writes>
class Entered {
public:
    Entered() noexcept = default;
    Entered(Entered&&) noexcept = default;  // the moved-from one holds nothing
    Entered& operator=(Entered&&) = delete;
    ~Entered() {
        if (!alive_) return;
        AccessState& access = get()->access;
        if constexpr (Writes) {
            access.end_write();
            write_access_held(-1);
        } else {
            access.end_read(over_python_);
        }
        // alive_ lets go last: that may free the instance.
    }

    explicit operator bool() const noexcept { return static_cast<bool>(alive_); }
    Obj* get() const noexcept { return reinterpret_cast<Obj*>(alive_.get()); }
    Obj* operator->() const noexcept { return get(); }

    // Said of a read held while the caller runs Python code (converts an
    // operand, makes a refusal's text): another thread that would wait for it
    // could be what that code waits for, so it gets the locked build's answer
    // at once instead. Nothing to do with the lock, which such code lets go of.
    void hold_over_python_code() noexcept {
        static_assert(!Writes, "no Python code runs while write access is held");
#ifdef Py_GIL_DISABLED
        if (!alive_ || over_python_) return;
        get()->access.hold_over_python();
        over_python_ = true;
#endif
    }

private:
    template <class O, bool W>
    friend Entered<O, W> enter_quietly(PyObject* obj, const ClassDef& def, WhileWaiting waiting) noexcept;
    template <class O, bool W, destructor Dealloc>
    friend Entered<O, W> enter_family_quietly(PyObject* obj, WhileWaiting waiting) noexcept;

    // Enters `obj`, known to be an instance of its class and held by the
    // caller (without the lock, a thread may wait here, and other threads go
    // on meanwhile); empty when the access is refused.
    static Entered try_enter(PyObject* obj, [[maybe_unused]] WhileWaiting waiting) noexcept {
        assert(obj != nullptr);
        auto* instance = reinterpret_cast<Obj*>(obj);
        bool granted = Writes ? instance->access.try_write() : instance->access.try_read();
#ifdef Py_GIL_DISABLED
        if (!granted) {
            granted = wait_for_access(instance->access, Writes, waiting);
        }
#endif
        if (!granted) return Entered();
        if constexpr (Writes) write_access_held(+1);
        return Entered(obj);
    }

    explicit Entered(PyObject* obj) noexcept : alive_(Ref::borrow(obj)) {}
    Ref alive_;
#ifdef Py_GIL_DISABLED
    bool over_python_ = false;
#else
    static constexpr bool over_python_ = false;
#endif
};

template <class Obj>
using Reading = Entered<Obj, false>;
template <class Obj>
using Writing = Entered<Obj, true>;

}  // namespace trelk::binding
