// Conversions between Python objects and constraints.
#pragma once

#include <Python.h>

#include <vector>

#include "binding/error.hpp"
#include "binding/ref.hpp"
#include "package/constraint/mod.hpp"

namespace trelk::package::constraint {

// A constraint object gives its own tree; a plain value (bool, int, float, str,
// Version) a Value node; anything else is refused with an ERROR event and a
// TypeError "cannot convert '<type>' to Constraint".
binding::Result<NodeRef> constraint_from_python(PyObject* obj);

// Any sequence but a str, converted element by element in iteration order.
binding::Result<std::vector<NodeRef>> constraints_from_python(PyObject* obj);

// A new object of the class named after the node's kind, holding the node.
binding::Result<binding::Ref> constraint_to_python(NodeRef node);

}  // namespace trelk::package::constraint
