// Owning references to Python objects.
//
// `Ref` owns one reference and gives it back when it goes out of scope, so every
// error path cleans up by construction. It is built only by explicit
// `steal`/`borrow`, and leaves for the interpreter only through `release()`.
#pragma once

#include <Python.h>

#include <utility>

namespace trelk::binding {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (or null, which marks a pending Python error).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference of its own to an object someone else holds.
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference over to the caller (usually the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace trelk::binding
