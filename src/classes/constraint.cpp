// What the constraint classes share: conversions from Python objects, comparisons, the release of instances.
#include "classes/constraint.hpp"

#include <algorithm>

#include "binding/args.hpp"
#include "classes/spec_option.hpp"
#include "core/type_check.hpp"

namespace trelk::classes::constraint {

using namespace core::constraint;

using namespace trelk::binding;

namespace {

// Appends the conversion of `item`; false with the error in `failure`.
bool append_converted(std::vector<NodeRef>& out, PyObject* item, Result<std::vector<NodeRef>>& failure) {
    Result<NodeRef> converted = constraint_from_python(item);
    if (!converted.ok()) {
        failure = converted.take_error();
        return false;
    }
    out.push_back(converted.take());
    return true;
}

// By meaning, not by number: the interpreter puts == before != and > before >=.
constexpr CmpType operator_of[] = {
    CmpType::Less,            // Py_LT
    CmpType::LessOrEqual,     // Py_LE
    CmpType::Equal,           // Py_EQ
    CmpType::NotEqual,        // Py_NE
    CmpType::Greater,         // Py_GT
    CmpType::GreaterOrEqual,  // Py_GE
};

PyObject* not_implemented() { Py_RETURN_NOTIMPLEMENTED; }

// An operand converted while the receiver is read. The read is said to be held
// over Python code only where the conversion may run some: then, and up to the
// operand's release, another thread's write gets the answer it gets with the
// lock. A constraint object or a common value runs none; until one of those
// is taken, the receiver's read is not marked, so its wait gives no way.
Result<NodeRef> operand_from_python(Reading<ConstraintObject>& receiver, PyObject* operand) {
    if (NodeRef node; node_without_python(operand, node, WhileWaiting::holding_another)) return node;
    if (spec_option::SpecOptionValue common; spec_option::common_value_from_python(operand, common)) {
        return value_node(std::move(common));
    }
    receiver.hold_over_python_code();
    return constraint_from_python_in_full(operand);
}

// Cmp.if_then(then): an IfThen whose cond is the receiver, without a type check.
PyObject* cmp_if_then(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            static Signature sig{"Cmp", "if_then", {"then"}, 1, 1};
            BoundArguments bound;
            if (!bind_arguments(sig, args, static_cast<std::size_t>(nargsf), kwnames, bound)) return nullptr;
            Result<Reading<ConstraintObject>> reading =
                enter<ConstraintObject, false>(self, constraint_class(Kind::Cmp));
            if (!reading.ok()) return hand_over(reading.take_error());
            Result<NodeRef> then = operand_from_python(reading.value(), bound.slots[0].get());
            if (!then.ok()) return hand_over(argument_error(then.take_error(), "then"));
            return hand_over(constraint_to_python(branch_node(Kind::IfThen, reading.value()->node, then.take())));
        });
}

}  // namespace

Result<NodeRef> constraint_from_python_in_full(PyObject* obj) {
    if (is_constraint_object(obj)) {
        ConstraintClass& def = constraint_class(reinterpret_cast<ConstraintObject*>(obj)->node->kind);
        Result<Reading<ConstraintObject>> reading = enter<ConstraintObject, false>(obj, def);
        if (reading.ok()) return reading.value()->node;
        // An object that is being written does not match; the plain-value
        // attempts below then refuse it. A thread check fails as it is.
        if (reading.error().kind() != ErrorKind::Runtime) return reading.take_error();
    }
    Result<std::optional<SpecOptionValue>> plain = spec_option::plain_value_from_python(obj);
    if (!plain.ok()) return plain.take_error();
    if (plain.value()) return value_node(std::move(*plain.value()));
    // The type as it is now: a hook of the attempts above may have changed it.
    Result<std::string> type_text = str_text(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    if (!type_text.ok()) return type_text.take_error();
    return reported_refusal("trelk::package::constraint",
                            Error::type("cannot convert '" + type_text.value() + "' to Constraint"));
}

Result<std::vector<NodeRef>> constraints_from_python(PyObject* obj) {
    if (PyUnicode_Check(obj)) return Error::type("Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) return type_mismatch(obj, "Sequence");
    std::vector<NodeRef> result;
    Result<std::vector<NodeRef>> failure = Error::pending();
    if (const bool list = PyList_CheckExact(obj); list || PyTuple_CheckExact(obj)) {
        // Read by index, as the list's own iterator would: a conversion that runs
        // Python code may change the list, so its size is read anew each time.
        auto size = [obj, list] { return list ? PyList_GET_SIZE(obj) : PyTuple_GET_SIZE(obj); };
        result.reserve(static_cast<std::size_t>(size()));
        for (Py_ssize_t i = 0; i < size(); ++i) {
#ifdef Py_GIL_DISABLED
            // Other threads may change the list at any moment: each item is
            // held while it is read, and one that is gone ends the list.
            Ref owned = list ? Ref::steal(PyList_GetItemRef(obj, i)) : Ref::borrow(PyTuple_GET_ITEM(obj, i));
            if (!owned) {
                if (!PyErr_ExceptionMatches(PyExc_IndexError)) return Error::pending();
                PyErr_Clear();
                break;
            }
            PyObject* item = owned.get();
#else
            PyObject* item = list ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i);
#endif
            if (NodeRef node; node_without_python(item, node)) {
                result.push_back(std::move(node));
                continue;
            }
            // Held: converting it runs Python code, which may drop it from the list.
            Ref held = Ref::borrow(item);
            if (!append_converted(result, held.get(), failure)) return failure;
        }
        return result;
    }
    // Only a hint: a failure is passed over as a failed conversion attempt is.
    Py_ssize_t length = PyObject_Size(obj);
    if (length < 0 && !discard_ordinary_exception()) return Error::pending();
    // A sequence may claim any length.
    result.reserve(static_cast<std::size_t>(std::clamp<Py_ssize_t>(length, 0, 1 << 16)));
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) return Error::pending();
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!append_converted(result, item.get(), failure)) return failure;
        // An endless iterator written in C never returns to the interpreter's
        // loop: let Ctrl-C end it.
        if (result.size() % 4096 == 0 && PyErr_CheckSignals() < 0) return Error::pending();
    }
    if (PyErr_Occurred()) return Error::pending();
    return result;
}

PyObject* constraint_rich_compare(ClassDef& def, PyObject* self, PyObject* other, int op) noexcept {
    return guarded(
        [&]() -> PyObject* {
            // Both are held for the whole comparison: a caller may pass borrowed
            // references (a list comparison does), and converting the operand
            // runs Python code that may drop every other reference to either.
            // Only the thread check can refuse it: the slot is its class's own, and
            // no instance is written while Python code runs. Without the lock, a
            // signal handler that raises while it waits for a writer ends it too.
            Reading<ConstraintObject> receiver =
                enter_quietly<ConstraintObject, false>(self, def, WhileWaiting::run_signal_handlers);
            if (!receiver) return hand_over(entry_refusal(self, def, false));
            Ref operand_held = Ref::borrow(other);
            Result<NodeRef> operand = operand_from_python(receiver, operand_held.get());
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

const PyMethodDef cmp_methods[1] = {
    {"if_then", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cmp_if_then)), METH_FASTCALL | METH_KEYWORDS,
     "if_then($self, then)\n--\n\nWrap this condition in an IfThen constraint.\n\n"
     "cond.if_then(then) => If ( cond ) Then ( then )"},
};

void constraint_object_dealloc(PyObject* self) noexcept { destroy_instance<ConstraintObject>(self); }

void thread_bound_object_dealloc(PyObject* self) noexcept {
    if (reinterpret_cast<ThreadBoundObject*>(self)->owner != core::current_thread_id()) {
        // The trees are released all the same: node counts are changed under
        // the interpreter lock, or atomically without one, so any thread can
        // free them. The hook is Python code.
        [[maybe_unused]] InsideModule inside;
        PendingSetAside pending;
        PyErr_Format(PyExc_RuntimeError, "%s is unsendable, but is being dropped on another thread",
                     constraint_class(reinterpret_cast<ConstraintObject*>(self)->node->kind).unsendable_name);
        PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    }
    destroy_instance<ThreadBoundObject>(self);
}

}  // namespace trelk::classes::constraint
