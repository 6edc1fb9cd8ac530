// Texts across the boundary: a Python str in, an owned UTF-8 text out, and back.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "binding/error.hpp"
#include "binding/ref.hpp"

namespace trelk::binding {

// A str (or an instance of a str subclass) as its UTF-8 content, exactly as is.
// Anything else is the type mismatch naming "str"; a str without a UTF-8 form
// (a lone surrogate) leaves the interpreter's UnicodeEncodeError pending.
Result<std::string> text_from_python(PyObject* obj);
// The same text as a view into the str's own UTF-8 buffer, valid while `obj` lives.
Result<std::string_view> text_view_from_python_in_full(PyObject* obj);
inline Result<std::string_view> text_view_from_python(PyObject* obj) {
    // A compact ASCII str is its own UTF-8: no lookup needed.
    if (PyUnicode_CheckExact(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) {
        return std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
    }
    return text_view_from_python_in_full(obj);
}

// A new str holding `text`; an internal failure if the interpreter cannot make it.
Result<Ref> text_to_python(std::string_view text);

}  // namespace trelk::binding
