// PackageOutline: one package's name, constraints, option settings and defaults.
#pragma once

#include "binding/class.hpp"

namespace trelk::classes::outline {

extern binding::ClassDef package_outline_class;

}  // namespace trelk::classes::outline
