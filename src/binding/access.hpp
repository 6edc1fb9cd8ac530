// The access state of every instance, and the scope that holds an entry into one.
//
// The state counts readers (n > 0), marks one writer (-1), or is free (0): an
// overlap (Python code run while access is held that touches the same
// instance, or another thread) is refused instead of corrupting the value.
#pragma once

#include <Python.h>

#include <atomic>
#include <cassert>
#include <cstdint>
#include <utility>

#include "binding/ref.hpp"

namespace trelk::binding {

struct ClassDef;

// Loads and stores with the interpreter lock, compare-and-exchange without
// (docs/design.md, "Python code inside a call").
class AccessState {
public:
#ifdef Py_GIL_DISABLED
    bool try_read() noexcept {
        std::int64_t seen = state_.load(std::memory_order_relaxed);
        while (seen >= 0) {
            if (state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
                return true;
            }
        }
        return false;
    }
    void end_read() noexcept { state_.fetch_sub(1, std::memory_order_release); }

    bool try_write() noexcept {
        std::int64_t free = 0;
        return state_.compare_exchange_strong(free, -1, std::memory_order_acquire, std::memory_order_relaxed);
    }

    bool written() const noexcept { return state_.load(std::memory_order_relaxed) < 0; }
    // Whether the access asked would be granted now.
    bool admits(bool writes) const noexcept {
        std::int64_t seen = state_.load(std::memory_order_relaxed);
        return writes ? seen == 0 : seen >= 0;
    }
#else
    bool try_read() noexcept {
        std::int64_t seen = state_.load(std::memory_order_relaxed);
        if (seen < 0) return false;
        state_.store(seen + 1, std::memory_order_relaxed);
        return true;
    }
    void end_read() noexcept { state_.store(state_.load(std::memory_order_relaxed) - 1, std::memory_order_release); }

    bool try_write() noexcept {
        if (state_.load(std::memory_order_relaxed) != 0) return false;
        state_.store(-1, std::memory_order_relaxed);
        return true;
    }
#endif
    void end_write() noexcept { state_.store(0, std::memory_order_release); }

private:
    std::atomic<std::int64_t> state_{0};
};

#ifdef Py_GIL_DISABLED
// The accesses that this thread holds, of any instance.
inline thread_local std::uint64_t accesses_held_here = 0;

// After `access` refused this thread: waits, stepped aside, until another
// thread's access lets this one in, and takes it (true); false, with nothing
// taken, where the locked build refuses too (docs/design.md, "Free-threaded interpreters").
bool wait_for_access(AccessState& access, bool writes) noexcept;

// In a forked child, where the accesses of the parent's other threads stay
// held: what would be waited for is refused, as with the lock.
void refuse_waits_after_fork() noexcept;
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
    Entered(Entered&& other) noexcept : alive_(std::move(other.alive_)) {}
    Entered& operator=(Entered&&) = delete;
    ~Entered() {
        if (!alive_) return;
        AccessState& access = get()->access;
        if constexpr (Writes) {
            access.end_write();
            write_access_held(-1);
        } else {
            access.end_read();
        }
#ifdef Py_GIL_DISABLED
        --accesses_held_here;
#endif
        // alive_ lets go last: that may free the instance.
    }

    explicit operator bool() const noexcept { return static_cast<bool>(alive_); }
    Obj* get() const noexcept { return reinterpret_cast<Obj*>(alive_.get()); }
    Obj* operator->() const noexcept { return get(); }

private:
    template <class O, bool W>
    friend Entered<O, W> enter_quietly(PyObject* obj, const ClassDef& def) noexcept;
    template <class O, bool W, destructor Dealloc>
    friend Entered<O, W> enter_family_quietly(PyObject* obj) noexcept;

    // Enters `obj`, known to be an instance of its class and held by the
    // caller (without the lock, a thread may wait here, and other threads go
    // on meanwhile); empty when the access is refused.
    static Entered try_enter(PyObject* obj) noexcept {
        assert(obj != nullptr);
        auto* instance = reinterpret_cast<Obj*>(obj);
        bool granted = Writes ? instance->access.try_write() : instance->access.try_read();
#ifdef Py_GIL_DISABLED
        if (!granted) granted = wait_for_access(instance->access, Writes);
        if (granted) ++accesses_held_here;
#endif
        if (!granted) return Entered();
        if constexpr (Writes) write_access_held(+1);
        return Entered(obj);
    }

    explicit Entered(PyObject* obj) noexcept : alive_(Ref::borrow(obj)) {}
    Ref alive_;
};

template <class Obj>
using Reading = Entered<Obj, false>;
template <class Obj>
using Writing = Entered<Obj, true>;

}  // namespace trelk::binding
