#include "classes/cmp_type.hpp"

#include <string>

#include "binding/text.hpp"

namespace trelk::package::constraint {

using namespace trelk::binding;

namespace {

CmpType member_of(PyObject* self) { return reinterpret_cast<CmpTypeObject*>(self)->member; }

PyObject* cmp_type_repr(PyObject* self) noexcept {
    return guarded(
        [&]() -> PyObject* {
            return hand_over(text_to_python(std::string("CmpType.") + cmp_type_name(member_of(self))));
        });
}

PyObject* cmp_type_int(PyObject* self) noexcept {
    PyObject* result = PyLong_FromLong(static_cast<long>(member_of(self)));
    if (result == nullptr) raise_error(Error::python_api_failed());
    return result;
}

constexpr const char* member_names[cmp_type_count] = {"Less",  "LessOrEqual",    "NotEqual",
                                                      "Equal", "GreaterOrEqual", "Greater"};

Result<Ref> make_member(PyTypeObject* cls, std::size_t index) {
    return new_instance<CmpTypeObject>(cls, static_cast<CmpType>(index));
}

PyType_Slot cmp_type_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<CmpTypeObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(cmp_type_repr)},
    {Py_nb_int, reinterpret_cast<void*>(cmp_type_int)},
    {0, nullptr},
};

}  // namespace

ClassDef cmp_type_class{
    .name = "CmpType",
    .type_name = "builtins.CmpType",
    .basicsize = sizeof(CmpTypeObject),
    .instantiable = false,
    .slots = cmp_type_slots,
    .attribute_names = member_names,
    .attribute_count = cmp_type_count,
    .make_attribute = make_member,
};

Result<CmpType> cmp_type_from_python_in_full(PyObject* obj) {
    Result<Reading<CmpTypeObject>> reading = enter_for_reading<CmpTypeObject>(obj, cmp_type_class);
    if (!reading.ok()) return reading.take_error();
    return reading.value()->member;
}

Result<Ref> cmp_type_to_python(CmpType op) {
    PyTypeObject* cls = class_object(cmp_type_class);
    if (cls == nullptr) return Error::pending();
    return new_instance<CmpTypeObject>(cls, op);
}

}  // namespace trelk::package::constraint
