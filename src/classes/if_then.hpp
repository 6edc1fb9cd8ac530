// Cmp.if_then: implications made from a comparison.
#pragma once

#include <Python.h>

namespace trelk::package::constraint {

// Cmp.if_then(then): an IfThen whose cond is the receiver, without a type check.
PyObject* cmp_if_then(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

}  // namespace trelk::package::constraint
