// Option values across the boundary.
#pragma once

#include <Python.h>

#include <optional>

#include "binding/error.hpp"
#include "binding/ref.hpp"
#include "spec/spec_option.hpp"

namespace trelk::spec::spec_option {

// The attempts, in this order: exactly bool (or a numpy boolean), a signed
// 64-bit integer, a float, a str, a Version. None of them fitting gives no
// value. A failed attempt's exception is discarded, unless it is no Exception
// (an interrupt raised in a user's __index__, say): that ends the conversion.
binding::Result<std::optional<SpecOptionValue>> plain_value_from_python(PyObject* obj);

// The attempts above, then the refusal with its ERROR event.
binding::Result<SpecOptionValue> spec_option_value_from_python(PyObject* obj);

binding::Result<binding::Ref> spec_option_value_to_python(const SpecOptionValue& value);

}  // namespace trelk::spec::spec_option
