// The Python class Version and the conversions that other classes use.
#pragma once

#include <Python.h>

#include <optional>

#include "binding/class.hpp"
#include "binding/error.hpp"
#include "core/version.hpp"

namespace trelk::classes::version {

using namespace core::version;

extern binding::ClassDef version_class;

// When `obj` is exactly a Version (none admits subclasses; none is ever
// written), a copy of it (sharing its parts). No lookup, no Python code; empty for
// anything else.
std::optional<Version> exact_version_copy(PyObject* obj);

// A new Version object holding `version`.
binding::Result<binding::Ref> version_to_python(Version version);

}  // namespace trelk::classes::version
