// Option values from Python objects and back: the exact types first, then the hooks (__index__, __float__, numpy bools).
#include "classes/spec_option.hpp"

#include <string_view>

#include "binding/class.hpp"
#include "binding/ref.hpp"
#include "binding/text.hpp"
#include "classes/version.hpp"
#include "core/overloaded.hpp"

namespace trelk::classes::spec_option {

using namespace core::spec_option;

using namespace trelk::binding;

namespace {

bool named(std::string_view text, std::string_view a, std::string_view b) { return text == a || text == b; }

// A numpy boolean: a type of module numpy named bool_ or bool.
Result<bool> is_numpy_bool_type(PyTypeObject* type) {
    std::string_view full = type->tp_name;
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        // A static type's module is what stands before the last dot of its name.
        auto dot = full.rfind('.');
        return dot != std::string_view::npos && full.substr(0, dot) == "numpy" &&
               named(full.substr(dot + 1), "bool_", "bool");
    }
    if (!named(full, "bool_", "bool")) return false;
    Ref module_key = Ref::steal(PyUnicode_FromString("__module__"));
    if (!module_key) return Error::pending();
#ifdef Py_GIL_DISABLED
    // Held: another thread may set the class's attribute meanwhile.
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(type->tp_dict, module_key.get(), &found) < 0) return Error::pending();
    Ref held = Ref::steal(found);
    PyObject* module = held.get();
#else
    PyObject* module = PyDict_GetItemWithError(type->tp_dict, module_key.get());
    if (module == nullptr && PyErr_Occurred()) return Error::pending();
#endif
    return module != nullptr && PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "numpy") == 0;
}

}  // namespace

bool may_lack_utf8(PyObject* obj) {
    if (!PyUnicode_IS_COMPACT(obj)) return true;
    const int kind = PyUnicode_KIND(obj);
    if (kind == PyUnicode_1BYTE_KIND) return false;
    const void* data = PyUnicode_DATA(obj);
    for (Py_ssize_t i = 0, length = PyUnicode_GET_LENGTH(obj); i < length; ++i) {
        if (Py_UNICODE_IS_SURROGATE(PyUnicode_READ(kind, data, i))) return true;
    }
    return false;
}

Result<std::optional<SpecOptionValue>> plain_value_from_python(PyObject* obj) {
    if (SpecOptionValue common; common_value_from_python(obj, common)) return std::optional(std::move(common));
    // What remains of the exact types: an int beyond 64 bits becomes a float,
    // a str without a UTF-8 form fails below as a subclass's would.
    // Held: a hook (__index__, __float__) may change the object's class and so
    // drop the last other reference to this one.
    Ref type_held = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    auto* type = reinterpret_cast<PyTypeObject*>(type_held.get());
    if (!PyLong_CheckExact(obj) && !PyUnicode_CheckExact(obj)) {
        Result<bool> numpy_bool = is_numpy_bool_type(type);
        if (!numpy_bool.ok()) return numpy_bool.take_error();
        if (numpy_bool.value()) {
            inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
            int result = truth != nullptr ? truth(obj) : -1;
            if (result >= 0) return std::optional<SpecOptionValue>(result == 1);
            if (truth != nullptr && !discard_ordinary_exception()) return Error::pending();
        }
        // Without __index__ the integer attempt can only fail; it is skipped, not tried.
        if (type->tp_as_number != nullptr && type->tp_as_number->nb_index != nullptr) {
            long long integer = PyLong_AsLongLong(obj);
            if (integer != -1 || !PyErr_Occurred()) {
                return std::optional<SpecOptionValue>(static_cast<std::int64_t>(integer));
            }
            if (!discard_ordinary_exception()) return Error::pending();
        }
    }
    if (type->tp_as_number != nullptr &&
        (type->tp_as_number->nb_float != nullptr || type->tp_as_number->nb_index != nullptr)) {
        double real = PyFloat_AsDouble(obj);
        if (real != -1.0 || !PyErr_Occurred()) return std::optional<SpecOptionValue>(real);
        if (!discard_ordinary_exception()) return Error::pending();
    }
    if (PyUnicode_Check(obj)) {
        Py_ssize_t size;
        if (const char* data = PyUnicode_AsUTF8AndSize(obj, &size)) {
            return std::optional<SpecOptionValue>(std::string(data, static_cast<size_t>(size)));
        }
        if (!discard_ordinary_exception()) return Error::pending();
    }
    // A Version is never written, so it can always be read.
    if (std::optional<version::Version> version = version::exact_version_copy(obj)) {
        return std::optional<SpecOptionValue>(std::move(*version));
    }
    return std::optional<SpecOptionValue>();
}

Result<SpecOptionValue> spec_option_value_from_python(PyObject* obj) {
    Result<std::optional<SpecOptionValue>> plain = plain_value_from_python(obj);
    if (!plain.ok()) return plain.take_error();
    if (plain.value()) return std::move(*plain.value());
    Result<std::string> type_text = str_text(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    if (!type_text.ok()) return type_text.take_error();
    return reported_refusal("trelk::spec::spec_option",
                            Error::type("cannot cast Python type '" + type_text.value() + "' to SpecOptionValue"));
}

Result<Ref> spec_option_value_to_python(const SpecOptionValue& value) {
    auto made = [](PyObject* obj) -> Result<Ref> {
        if (obj == nullptr) return Error::python_api_failed();
        return Ref::steal(obj);
    };
    return core::visit_every(
        core::Overloaded{
            [](bool truth) -> Result<Ref> { return Ref::borrow(truth ? Py_True : Py_False); },
            [&](std::int64_t integer) { return made(PyLong_FromLongLong(integer)); },
            [&](double real) { return made(PyFloat_FromDouble(real)); },
            [](const std::string& text) { return text_to_python(text); },
            [](const version::Version& version) { return version::version_to_python(version); },
        },
        value);
}

}  // namespace trelk::classes::spec_option
