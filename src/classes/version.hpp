// The Python class Version and the conversions that other classes use.
#pragma once

#include <Python.h>

#include <optional>

#include "binding/class.hpp"
#include "binding/error.hpp"
#include "core/version.hpp"

namespace trelk::package::version {

extern binding::ClassDef version_class;

// A copy of the parts of a Version object; a type mismatch naming "Version" for
// any other object.
binding::Result<Version> extract_version(PyObject* obj);
// The common case of the above, for option values taken by the million: when
// `obj` is exactly a Version (no subclass) that can be read now, a copy of its
// parts. No lookup, no Python code; empty for anything else.
std::optional<Version> exact_version_copy(PyObject* obj);

// A new Version object holding `version`.
binding::Result<binding::Ref> version_to_python(Version version);

}  // namespace trelk::package::version
