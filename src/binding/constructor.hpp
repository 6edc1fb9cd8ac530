// The constructor that every class with one shares, in both calling conventions.
//
// A class supplies `Ctor::signature()` and `Ctor::build(cls, bound)`, which
// converts the bound arguments in parameter order and fills the instance.
#pragma once

#include <Python.h>

#include "binding/args.hpp"
#include "binding/error.hpp"
#include "binding/ref.hpp"

namespace trelk::binding {

template <class Ctor>
PyObject* constructor_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) noexcept {
    return guarded(
        [&]() -> PyObject* {
            BoundArguments bound;
            if (!bind_arguments(Ctor::signature(), args, kwargs, bound)) return nullptr;
            return hand_over(Ctor::build(cls, bound));
        });
}

template <class Ctor>
PyObject* constructor_vectorcall(PyObject* cls, PyObject* const* args, std::size_t nargsf,
                                 PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            BoundArguments bound;
            if (!bind_arguments(Ctor::signature(), args, nargsf, kwnames, bound)) return nullptr;
            return hand_over(Ctor::build(reinterpret_cast<PyTypeObject*>(cls), bound));
        });
}

}  // namespace trelk::binding
