// Texts across the boundary: the ways that ask the interpreter for a UTF-8 form.
#include "binding/text.hpp"

namespace trelk::binding {

Result<std::string_view> text_view_from_python_in_full(PyObject* obj) {
    if (!PyUnicode_Check(obj)) return type_mismatch(obj, "str");
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return Error::pending();
    return std::string_view(data, static_cast<size_t>(size));
}

Result<std::string> text_from_python(PyObject* obj) {
    Result<std::string_view> view = text_view_from_python(obj);
    if (!view.ok()) return view.take_error();
    return std::string(view.value());
}

Result<Ref> text_to_python(std::string_view text) {
    Ref result = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!result) return Error::python_api_failed();
    return result;
}

}  // namespace trelk::binding
