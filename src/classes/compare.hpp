// Python's six comparison operators on constraint objects: each builds a Cmp.
#pragma once

#include <Python.h>

#include "binding/class.hpp"

namespace trelk::classes::constraint {

// The comparison slot shared by the constraint classes: the receiver becomes lhs,
// the converted operand rhs. An operand that cannot be converted answers
// NotImplemented; sides that cannot be compared raise NotImplementedError.
PyObject* constraint_rich_compare(binding::ClassDef& def, PyObject* self, PyObject* other, int op) noexcept;

}  // namespace trelk::classes::constraint
