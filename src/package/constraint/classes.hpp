// The eight constraint classes: one definition, driven by a table of what
// differs between them (name, constructor parameters, properties).
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

#include "binding/class.hpp"
#include "binding/thread.hpp"
#include "package/constraint/mod.hpp"

namespace trelk::package::constraint {

// An instance holds one node of its class's kind.
struct ConstraintObject : binding::Instance {
    NodeRef node;
    void construct(NodeRef&& n) noexcept { new (&node) NodeRef(std::move(n)); }
    void destruct() noexcept { node.~NodeRef(); }
};

// IfThen instances are bound to the thread that made them.
struct IfThenObject : ConstraintObject {
    std::uint64_t owner;
    void construct(NodeRef&& n) noexcept {
        ConstraintObject::construct(std::move(n));
        owner = binding::current_thread_id();
    }
};

binding::ClassDef& constraint_class(Kind kind);

// The classes of the constraint module, in the order of its __all__.
const std::array<binding::ClassDef*, kind_count + 1>& constraint_module_classes();

}  // namespace trelk::package::constraint
