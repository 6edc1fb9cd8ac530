// The Python class Version and the conversions that other classes use.
#pragma once

#include <Python.h>

#include "binding/class.hpp"
#include "binding/error.hpp"
#include "core/version.hpp"

namespace trelk::package::version {

extern binding::ClassDef version_class;

// A copy of the parts of a Version object; a type mismatch naming "Version" for
// any other object.
binding::Result<Version> extract_version(PyObject* obj);

// A new Version object holding `version`.
binding::Result<binding::Ref> version_to_python(Version version);

}  // namespace trelk::package::version
