// The typed value that a package option or a literal holds.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "core/version.hpp"

namespace trelk::spec::spec_option {

// Bool, Int, Float, Str, Version, in this order.
using SpecOptionValue = std::variant<bool, std::int64_t, double, std::string, package::version::Version>;

void append_spec_option_value_text(std::string& out, const SpecOptionValue& value);
std::string spec_option_value_text(const SpecOptionValue& value);

}  // namespace trelk::spec::spec_option
