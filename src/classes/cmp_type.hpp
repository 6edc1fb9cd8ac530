// The Python face of the comparison operator: the class CmpType.
#pragma once

#include <Python.h>

#include "binding/class.hpp"
#include "binding/error.hpp"
#include "core/constraint_tree.hpp"

namespace trelk::classes::constraint {

using namespace core::constraint;

extern binding::ClassDef cmp_type_class;

struct CmpTypeObject : binding::Instance {
    CmpType member;
    void construct(CmpType op) noexcept { member = op; }
    void destruct() noexcept {}
};

// Only CmpType objects are accepted: no integer, text or other object. A
// CmpType is never written, so it can always be read.
binding::Error cmp_type_refusal(PyObject* obj);
inline binding::Result<CmpType> cmp_type_from_python(PyObject* obj) {
    if (const auto* instance = binding::unwritten_instance<CmpTypeObject>(obj, cmp_type_class)) return instance->member;
    return cmp_type_refusal(obj);
}
// A new CmpType object, never the class attribute itself.
binding::Result<binding::Ref> cmp_type_to_python(CmpType op);

}  // namespace trelk::classes::constraint
