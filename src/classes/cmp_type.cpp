// The class CmpType: one member per comparison operator, and its conversions.
#include "classes/cmp_type.hpp"

#include <array>
#include <string>

#include "binding/text.hpp"

namespace trelk::classes::constraint {

using namespace core::constraint;

using namespace trelk::binding;

namespace {

PyObject* cmp_type_repr(PyObject* self) noexcept {
    return guarded(
        [&]() -> PyObject* {
            Result<Reading<CmpTypeObject>> reading = enter<CmpTypeObject, false>(self, cmp_type_class);
            if (!reading.ok()) return hand_over(reading.take_error());
            return hand_over(text_to_python(std::string("CmpType.") + cmp_type_name(reading.value()->member)));
        });
}

PyObject* cmp_type_int(PyObject* self) noexcept {
    return guarded(
        [&]() -> PyObject* {
            Result<Reading<CmpTypeObject>> reading = enter<CmpTypeObject, false>(self, cmp_type_class);
            if (!reading.ok()) return hand_over(reading.take_error());
            PyObject* result = PyLong_FromLong(static_cast<long>(reading.value()->member));
            if (result == nullptr) raise_error(Error::python_api_failed());
            return result;
        });
}

// The class attributes, one per member, by the names of the operators' table.
constexpr std::array<const char*, cmp_type_count> member_names = [] {
    std::array<const char*, cmp_type_count> names{};
    for (std::size_t i = 0; i < cmp_type_count; ++i) names[i] = cmp_type_name(static_cast<CmpType>(i));
    return names;
}();

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
    .basicsize = sizeof(CmpTypeObject),
    .instantiable = false,
    .slots = cmp_type_slots,
    .attribute_names = member_names.data(),
    .attribute_count = cmp_type_count,
    .make_attribute = make_member,
};

Error cmp_type_refusal(PyObject* obj) { return entry_refusal(obj, cmp_type_class, false); }

Result<Ref> cmp_type_to_python(CmpType op) {
    PyTypeObject* cls = class_object(cmp_type_class);
    if (cls == nullptr) return Error::pending();
    return new_instance<CmpTypeObject>(cls, op);
}

}  // namespace trelk::classes::constraint
