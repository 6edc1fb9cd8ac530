// Cmp.if_then: implications made from a comparison.
#pragma once

#include <Python.h>

namespace trelk::classes::constraint {

// Cmp.if_then(then): an IfThen whose cond is the receiver, without a type check.
extern PyMethodDef cmp_if_then_method;

}  // namespace trelk::classes::constraint
