// The Python face of the comparison operator: the class CmpType.
#pragma once

#include <Python.h>

#include "binding/class.hpp"
#include "binding/error.hpp"
#include "package/constraint/mod.hpp"

namespace trelk::package::constraint {

extern binding::ClassDef cmp_type_class;

// Only CmpType objects are accepted: no integer, text or other object.
binding::Result<CmpType> cmp_type_from_python(PyObject* obj);
// A new CmpType object, never the class attribute itself.
binding::Result<binding::Ref> cmp_type_to_python(CmpType op);

}  // namespace trelk::package::constraint
