// Option values across the boundary.
#pragma once

#include <Python.h>

#include <new>
#include <optional>
#include <string>
#include <utility>

#include "binding/error.hpp"
#include "binding/ref.hpp"
#include "classes/version.hpp"
#include "core/spec_option.hpp"

namespace trelk::classes::spec_option {

using namespace core::spec_option;

// Whether a str has no UTF-8 form (a lone surrogate) or may not be read as
// characters (one not compact, left over from the old API): the interpreter
// would raise, and raising can collect garbage and so run finalizers.
bool may_lack_utf8(PyObject* obj);

// The common values, whose type is exactly int (within 64 bits), float, bool,
// str or Version, go into `out` at once: no lookup, no Python code. False for
// anything else, leaving `out` unchanged.
inline bool common_value_from_python(PyObject* obj, SpecOptionValue& out) {
    if (PyLong_CheckExact(obj)) {
        int overflow = 0;
        long long integer = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow != 0) return false;
        out.emplace<std::int64_t>(integer);
    } else if (PyFloat_CheckExact(obj)) {
        out.emplace<double>(PyFloat_AS_DOUBLE(obj));
    } else if (PyBool_Check(obj)) {
        out.emplace<bool>(obj == Py_True);
    } else if (PyUnicode_CheckExact(obj)) {
        const char* utf8;
        Py_ssize_t size;
        if (PyUnicode_IS_COMPACT_ASCII(obj)) {
            utf8 = static_cast<const char*>(PyUnicode_DATA(obj));
            size = PyUnicode_GET_LENGTH(obj);
        } else if (may_lack_utf8(obj)) {
            return false;
        } else if ((utf8 = PyUnicode_AsUTF8AndSize(obj, &size)) == nullptr) {
            PyErr_Clear();  // memory: the only reason left
            throw std::bad_alloc();
        }
        // Made empty in place and filled there: emplacing from the characters
        // would build a whole variant beside `out` and move that in.
        out.emplace<std::string>().assign(utf8, static_cast<std::size_t>(size));
    } else if (std::optional<version::Version> version = version::exact_version_copy(obj)) {
        out.emplace<version::Version>(std::move(*version));
    } else {
        return false;
    }
    return true;
}

// The attempts, in this order: exactly bool (or a numpy boolean), a signed
// 64-bit integer, a float, a str, a Version. None of them fitting gives no
// value. A failed attempt's exception is discarded, unless it is no Exception
// (an interrupt raised in a user's __index__, say), a MemoryError or a
// RecursionError: that ends the conversion.
binding::Result<std::optional<SpecOptionValue>> plain_value_from_python(PyObject* obj);

// The attempts above, then the refusal with its ERROR event.
binding::Result<SpecOptionValue> spec_option_value_from_python(PyObject* obj);
// The same, into `out`.
inline binding::Status spec_option_value_from_python(PyObject* obj, SpecOptionValue& out) {
    if (common_value_from_python(obj, out)) return binding::success();
    binding::Result<SpecOptionValue> converted = spec_option_value_from_python(obj);
    if (!converted.ok()) return converted.take_error();
    out = converted.take();
    return binding::success();
}

binding::Result<binding::Ref> spec_option_value_to_python(const SpecOptionValue& value);

}  // namespace trelk::classes::spec_option
