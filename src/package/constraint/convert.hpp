// Conversions between Python objects and constraints.
#pragma once

#include <Python.h>

#include <vector>

#include "binding/error.hpp"
#include "binding/ref.hpp"
#include "package/constraint/classes.hpp"
#include "package/constraint/mod.hpp"

namespace trelk::package::constraint {

// A constraint object gives its own tree; a plain value (bool, int, float, str,
// Version) a Value node; anything else is refused with an ERROR event and a
// TypeError "cannot convert '<type>' to Constraint".
binding::Result<NodeRef> constraint_from_python_in_full(PyObject* obj);
inline binding::Result<NodeRef> constraint_from_python(PyObject* obj) {
    // The common case inline: an object of a class not bound to a thread, not
    // being written. Everything else takes the whole way.
    if (is_constraint_object(obj)) {
        if (reinterpret_cast<ConstraintObject*>(obj)->node->kind != Kind::IfThen) {
            if (auto reading = binding::Reading<ConstraintObject>::try_enter(obj)) return reading->node;
        }
    }
    return constraint_from_python_in_full(obj);
}

// Any sequence but a str, converted element by element in iteration order.
binding::Result<std::vector<NodeRef>> constraints_from_python(PyObject* obj);

// A new object of the class named after the node's kind, holding the node.
binding::Result<binding::Ref> constraint_to_python(NodeRef node);

}  // namespace trelk::package::constraint
