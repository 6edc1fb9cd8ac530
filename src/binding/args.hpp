// Binding a call's positional and keyword arguments to a function's parameters.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>

#include "binding/ref.hpp"

namespace trelk::binding {

inline constexpr std::size_t max_parameters = 4;

struct Signature {
    const char* class_name;
    const char* function_name;
    std::array<const char*, max_parameters> names;
    std::size_t count;     // positional parameters
    std::size_t required;  // the first `required` of them must be given
    bool collects_extra = false;  // extra keywords are collected instead of refused

    // The parameter names as interned strings, made on first use, so that a
    // keyword is usually matched by identity before its text is compared; kept
    // while the interpreter lives, and read once `names_interned` is seen set.
    std::array<PyObject*, max_parameters> interned{};
    std::atomic<bool> names_interned{false};
    // Those of the last interpreter that ended, left to it and never touched:
    // kept reachable, so that leak checkers do not take them for a leak.
    std::array<PyObject*, max_parameters> abandoned{};
    // The signature interned before this one, in the list that
    // `forget_interned_names` goes through.
    Signature* interned_before = nullptr;
};

// For the end of the interpreter, calling nothing of Python: every signature's
// interned names, to be made anew by the next interpreter.
void forget_interned_names() noexcept;

// The arguments of one call, held for its duration: converting one argument
// runs Python code that may drop every other reference to another (a caller's
// keyword dict can be changed under it).
struct BoundArguments {
    std::array<Ref, max_parameters> slots{};  // empty: not given
    Ref first_extra;  // the first collected extra keyword, if any
};

// The fast calling convention: a vector of arguments and a tuple of keyword names.
bool bind_arguments_in_full(Signature& sig, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                            BoundArguments& bound);
inline bool bind_arguments(Signature& sig, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                           BoundArguments& bound) {
    auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    if (kwnames == nullptr && nargs >= sig.required && nargs <= sig.count) {
        // The common call: positional arguments only, and enough of them.
        for (std::size_t i = 0; i < nargs; ++i) bound.slots[i] = Ref::borrow(args[i]);
        return true;
    }
    return bind_arguments_in_full(sig, args, nargsf, kwnames, bound);
}
// The classic one: a tuple and a dictionary of keywords.
bool bind_arguments(Signature& sig, PyObject* args, PyObject* kwargs, BoundArguments& bound);

}  // namespace trelk::binding
