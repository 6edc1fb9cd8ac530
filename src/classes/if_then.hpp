// IfThen: implications, and the thread binding of their objects.
#pragma once

#include <Python.h>

namespace trelk::package::constraint {

// Cmp.if_then(then): an IfThen whose cond is the receiver, without a type check.
PyObject* cmp_if_then(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

// Deallocation of IfThen objects; on a foreign thread it is reported through
// the unraisable hook.
void if_then_dealloc(PyObject* self) noexcept;

}  // namespace trelk::package::constraint
