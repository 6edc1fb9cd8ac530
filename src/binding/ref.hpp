// Owning references to Python objects.
//
// `Ref` owns one reference and gives it back when it goes out of scope, so every
// error path cleans up by construction. It is built only by explicit
// `steal`/`borrow`, and leaves for the interpreter only through `release()`.
#pragma once

#include <Python.h>

#include <cassert>
#include <utility>

#include "binding/free_threaded.hpp"

namespace trelk::binding {

// Two rules of this layer, checked in debug and sanitizer builds: a reference
// count changes only on a thread that may call the interpreter, and no Python code runs while
// this thread holds write access to an instance (dropping a reference can run
// a finalizer, and Python code can reach the instance).
#ifndef NDEBUG
inline thread_local int write_accesses_held = 0;
inline void write_access_held(int change) noexcept { write_accesses_held += change; }
inline void check_python_may_run() noexcept { assert(write_accesses_held == 0); }
inline void check_lock_held() noexcept { assert(thread_state_attached()); }
#else
inline void write_access_held(int) noexcept {}
inline void check_python_may_run() noexcept {}
inline void check_lock_held() noexcept {}
#endif

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (or null, which marks a pending Python error).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference of its own to an object someone else holds.
    static Ref borrow(PyObject* obj) noexcept {
        if (obj != nullptr) check_lock_held();
        Py_XINCREF(obj);
        return Ref(obj);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            drop(std::exchange(obj_, std::exchange(other.obj_, nullptr)));
        }
        return *this;
    }
    ~Ref() { drop(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference over to the caller (usually the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    static void drop(PyObject* obj) noexcept {
        if (obj == nullptr) return;
        check_lock_held();
        check_python_may_run();
        Py_DECREF(obj);
    }
    PyObject* obj_ = nullptr;
};

}  // namespace trelk::binding
