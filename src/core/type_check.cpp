#include "core/type_check.hpp"

namespace trelk::package::constraint {

namespace {

void append_type(std::string& out, std::optional<ValueType> type) {
    if (!type) {
        out += "None";
        return;
    }
    out += "Some(";
    out += value_type_name(*type);
    out += ')';
}

}  // namespace

std::variant<NodeRef, std::string> make_cmp(NodeRef lhs, NodeRef rhs, CmpType op) {
    std::optional<ValueType> left = value_type(*lhs), right = value_type(*rhs);
    bool accepted = left && right && *left == *right &&
                    (*left != ValueType::Bool || op == CmpType::Equal || op == CmpType::NotEqual);
    if (accepted) return cmp_node(std::move(lhs), std::move(rhs), op);
    std::string message = "Cannot compare type ";
    append_type(message, left);
    message += " from constraint ";
    append_constraint_text(message, *lhs);
    message += " with type ";
    append_type(message, right);
    message += " from constraint ";
    append_constraint_text(message, *rhs);
    message += " using operator '";
    message += cmp_type_text(op);
    message += '\'';
    return message;
}

}  // namespace trelk::package::constraint
