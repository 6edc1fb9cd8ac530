#include "classes/cmp_if_then.hpp"

#include "binding/args.hpp"
#include "binding/constructor.hpp"
#include "classes/constraint.hpp"

namespace trelk::classes::constraint {

using namespace core::constraint;

using namespace trelk::binding;

namespace {

PyObject* cmp_if_then(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            static Signature sig{"Cmp", "if_then", {"then"}, 1, 1};
            BoundArguments bound;
            if (!bind_arguments(sig, args, static_cast<std::size_t>(nargsf), kwnames, bound)) return nullptr;
            Result<Reading<ConstraintObject>> reading =
                enter_for_reading<ConstraintObject>(self, constraint_class(Kind::Cmp));
            if (!reading.ok()) return hand_over(reading.take_error());
            Result<NodeRef> then = constraint_from_python(bound.slots[0].get());
            if (!then.ok()) return hand_over(argument_error(then.take_error(), "then"));
            return hand_over(constraint_to_python(branch_node(Kind::IfThen, reading.value()->node, then.take())));
        });
}

}  // namespace

PyMethodDef cmp_if_then_method = {
    "if_then", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cmp_if_then)), METH_FASTCALL | METH_KEYWORDS,
    "if_then($self, then)\n--\n\nWrap this condition in an IfThen constraint.\n\n"
    "cond.if_then(then) => If ( cond ) Then ( then )"};

}  // namespace trelk::classes::constraint
