// The constraint classes: instances, the class of each kind, conversions, and the slots they share.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <vector>

#include "binding/access.hpp"
#include "binding/class.hpp"
#include "binding/error.hpp"
#include "binding/ref.hpp"
#include "core/constraint_tree.hpp"
#include "core/thread_id.hpp"

namespace trelk::classes::constraint {

using namespace core::constraint;

// An instance holds one node of its class's kind.
struct ConstraintObject : binding::Instance {
    NodeRef node;
    void construct(NodeRef&& n) noexcept { new (&node) NodeRef(std::move(n)); }
    void destruct() noexcept { node.~NodeRef(); }
};

// The instances of a class bound to the thread that made them.
struct ThreadBoundObject : ConstraintObject {
    std::uint64_t owner;
    void construct(NodeRef&& n) noexcept {
        ConstraintObject::construct(std::move(n));
        owner = core::current_thread_id();
    }
};

struct ConstraintClass : binding::ClassDef {
    // A new instance of the class holding `node`, of the class's kind, in the
    // instance layout chosen with the class.
    binding::Result<binding::Ref> (*new_object)(PyTypeObject* cls, NodeRef node);
};

namespace detail {
extern const std::array<ConstraintClass*, kind_count> constraint_classes;
}

inline ConstraintClass& constraint_class(Kind kind) {
    return *detail::constraint_classes[static_cast<std::size_t>(kind)];
}

// The classes of the constraint module, in the order of its __all__ (by name).
const std::array<binding::ClassDef*, kind_count + 1>& constraint_module_classes();

// The comparison slot of every class: the receiver becomes lhs, the converted
// operand rhs. An operand that cannot be converted answers NotImplemented;
// sides that cannot be compared raise NotImplementedError.
PyObject* constraint_rich_compare(binding::ClassDef& def, PyObject* self, PyObject* other, int op) noexcept;
extern const PyMethodDef cmp_methods[1];

// The deallocation of the constraint classes usable from any thread, and of
// those bound to one: an instance dropped on a foreign thread is reported
// through the unraisable hook, and released all the same.
void constraint_object_dealloc(PyObject* self) noexcept;
void thread_bound_object_dealloc(PyObject* self) noexcept;

// Whether `obj` is an instance of one of the constraint classes. They admit no
// subclasses, and their instances alone are released by those functions, so
// one look at the type tells; the node then tells the kind.
inline bool is_constraint_object(PyObject* obj) {
    destructor dealloc = Py_TYPE(obj)->tp_dealloc;
    return dealloc == constraint_object_dealloc || dealloc == thread_bound_object_dealloc;
}

// A constraint object gives its own tree; a plain value (bool, int, float, str,
// Version) a Value node; anything else is refused with an ERROR event and a
// TypeError "cannot convert '<type>' to Constraint".
binding::Result<NodeRef> constraint_from_python_in_full(PyObject* obj);
// The common case, which runs no Python code: an object of a class usable from
// any thread that can be read now. False for everything else.
inline bool node_without_python(PyObject* obj, NodeRef& out,
                                binding::WhileWaiting waiting = binding::WhileWaiting::quiet) {
    auto reading = binding::enter_family_quietly<ConstraintObject, false, constraint_object_dealloc>(obj, waiting);
    if (reading) out = reading->node;
    return static_cast<bool>(reading);
}
inline binding::Result<NodeRef> constraint_from_python(PyObject* obj) {
    if (NodeRef node; node_without_python(obj, node)) return node;
    return constraint_from_python_in_full(obj);
}

// Any sequence but a str, converted element by element in iteration order.
binding::Result<std::vector<NodeRef>> constraints_from_python(PyObject* obj);

// A new object of the class of the node's kind, holding the node.
binding::Result<binding::Ref> constraint_to_python(NodeRef node);

}  // namespace trelk::classes::constraint
