// Conversions between Python objects and constraints.
#pragma once

#include <Python.h>

#include <vector>

#include "binding/error.hpp"
#include "binding/ref.hpp"
#include "classes/constraint_classes.hpp"
#include "core/constraint_tree.hpp"

namespace trelk::package::constraint {

// A constraint object gives its own tree; a plain value (bool, int, float, str,
// Version) a Value node; anything else is refused with an ERROR event and a
// TypeError "cannot convert '<type>' to Constraint".
binding::Result<NodeRef> constraint_from_python_in_full(PyObject* obj);
// The common case, which runs no Python code: an object of a class not bound
// to a thread, not being written. False for everything else.
inline bool node_without_python(PyObject* obj, NodeRef& out) {
    if (!is_constraint_object(obj) || reinterpret_cast<ConstraintObject*>(obj)->node->kind == Kind::IfThen) {
        return false;
    }
    auto reading = binding::Reading<ConstraintObject>::try_enter(obj);
    if (reading) out = reading->node;
    return static_cast<bool>(reading);
}
inline binding::Result<NodeRef> constraint_from_python(PyObject* obj) {
    if (NodeRef node; node_without_python(obj, node)) return node;
    return constraint_from_python_in_full(obj);
}

// Any sequence but a str, converted element by element in iteration order.
binding::Result<std::vector<NodeRef>> constraints_from_python(PyObject* obj);

// A new object of the class named after the node's kind, holding the node.
binding::Result<binding::Ref> constraint_to_python(NodeRef node);

}  // namespace trelk::package::constraint
