// The check that the two sides of a comparison can be compared at all.
#pragma once

#include <string>
#include <variant>

#include "core/constraint_tree.hpp"

namespace trelk::core::constraint {

// A Cmp node owning both sides, or the refusal's message. Both sides need the
// same value type, and Bool admits only == and !=.
std::variant<NodeRef, std::string> make_cmp(NodeRef lhs, NodeRef rhs, CmpType op);

}  // namespace trelk::core::constraint
