// The constraint classes: one definition, driven by a table of what differs
// between them (name, constructor parameters, properties, thread binding).
#pragma once

#include <array>

#include "binding/class.hpp"
#include "binding/error.hpp"
#include "core/constraint_tree.hpp"

namespace trelk::classes::constraint {

using namespace core::constraint;

struct ConstraintClass : binding::ClassDef {
    // A new instance of the class holding `node`, of the class's kind, in the
    // instance layout chosen with the class.
    binding::Result<binding::Ref> (*new_object)(PyTypeObject* cls, NodeRef node);
};

namespace detail {
extern const std::array<ConstraintClass*, kind_count> constraint_classes;
}

// The class of each kind.
inline ConstraintClass& constraint_class(Kind kind) {
    return *detail::constraint_classes[static_cast<std::size_t>(kind)];
}

// The classes of the constraint module, in the order of its __all__ (by name).
const std::array<binding::ClassDef*, kind_count + 1>& constraint_module_classes();

// A new object of the class of the node's kind, holding the node.
binding::Result<binding::Ref> constraint_to_python(NodeRef node);

}  // namespace trelk::classes::constraint
