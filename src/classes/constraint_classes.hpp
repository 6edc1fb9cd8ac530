// The eight constraint classes: one definition, driven by a table of what
// differs between them (name, constructor parameters, properties).
#pragma once

#include <array>

#include "binding/class.hpp"
#include "core/constraint_tree.hpp"

namespace trelk::package::constraint {

binding::ClassDef& constraint_class(Kind kind);

// The classes of the constraint module, in the order of its __all__.
const std::array<binding::ClassDef*, kind_count + 1>& constraint_module_classes();

}  // namespace trelk::package::constraint
