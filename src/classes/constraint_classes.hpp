// The eight constraint classes: one definition, driven by a table of what
// differs between them (name, constructor parameters, properties).
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

#include "binding/class.hpp"
#include "core/thread_id.hpp"
#include "classes/if_then.hpp"
#include "core/constraint_tree.hpp"

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

// Whether `obj` is an instance of one of the eight classes. They admit no
// subclasses, and their instances alone are released by these two functions,
// so one look at the type tells; the node then tells the kind.
inline bool is_constraint_object(PyObject* obj) {
    destructor dealloc = Py_TYPE(obj)->tp_dealloc;
    return dealloc == binding::destroy_instance<ConstraintObject> || dealloc == if_then_dealloc;
}

// The classes of the constraint module, in the order of its __all__.
const std::array<binding::ClassDef*, kind_count + 1>& constraint_module_classes();

}  // namespace trelk::package::constraint
