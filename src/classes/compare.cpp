#include "classes/compare.hpp"

#include "binding/constructor.hpp"
#include "classes/constraint_classes.hpp"
#include "classes/constraint.hpp"
#include "core/type_check.hpp"

namespace trelk::classes::constraint {

using namespace core::constraint;

using namespace trelk::binding;

namespace {

// By meaning, not by number: the interpreter puts == before != and > before >=.
constexpr CmpType operator_of[] = {
    CmpType::Less,     // Py_LT
    CmpType::LessOrEqual,  // Py_LE
    CmpType::Equal,    // Py_EQ
    CmpType::NotEqual,  // Py_NE
    CmpType::Greater,  // Py_GT
    CmpType::GreaterOrEqual,  // Py_GE
};

PyObject* not_implemented() { Py_RETURN_NOTIMPLEMENTED; }

}  // namespace

PyObject* constraint_rich_compare(ClassDef& def, PyObject* self, PyObject* other, int op) noexcept {
    return guarded(
        [&]() -> PyObject* {
            // Both are held for the whole comparison: a caller may pass borrowed
            // references (a list comparison does), and converting the operand
            // runs Python code that may drop every other reference to either.
            // Only the thread check can refuse it: the slot is its class's own, and
            // no instance is written while Python code runs.
            Reading<ConstraintObject> receiver = enter_quietly<ConstraintObject, false>(self, def);
            if (!receiver) return hand_over(entry_refusal(self, def, false));
            Ref operand_held = Ref::borrow(other);
            Result<NodeRef> operand = constraint_from_python(operand_held.get());
            if (!operand.ok()) {
                // A refusal only means "not for us"; its event has been written.
                // Internal failures and interrupts are raised.
                if (operand.error().kind() == ErrorKind::Type) return not_implemented();
                raise_error(operand.take_error());
                return nullptr;
            }
            if (op < 0 || op > 5) return not_implemented();
            auto checked = make_cmp(receiver->node, operand.take(), operator_of[op]);
            if (auto* refusal = std::get_if<std::string>(&checked)) {
                raise_error(Error::not_implemented(std::move(*refusal)));
                return nullptr;
            }
            return hand_over(constraint_to_python(std::move(std::get<NodeRef>(checked))));
        });
}

}  // namespace trelk::classes::constraint
