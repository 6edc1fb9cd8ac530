// The value type of each side of a comparison, and the refusal's text.
#include "core/type_check.hpp"

#include <optional>

#include "core/overloaded.hpp"
#include "platform/compiler.hpp"

namespace trelk::core::constraint {

namespace {

// What a side of a comparison holds.
enum class ValueType : std::uint8_t { Unknown, Bool, Int, Float, Str, Version };

const char* value_type_name(ValueType type) {
    switch (type) {
        case ValueType::Unknown: return "Unknown";
        case ValueType::Bool: return "Bool";
        case ValueType::Int: return "Int";
        case ValueType::Float: return "Float";
        case ValueType::Str: return "Str";
        case ValueType::Version: return "Version";
    }
    platform::unreachable();
}

// From the kind of the node alone; none for IfThen, Maximize and Minimize.
std::optional<ValueType> value_type(const Node& node) noexcept {
    switch (node.kind) {
        case Kind::Cmp:
        case Kind::Depends: return ValueType::Bool;
        case Kind::NumOf: return ValueType::Int;
        case Kind::SpecOption: return ValueType::Unknown;
        case Kind::Value:
            return visit_every(Overloaded{
                                  [](bool) { return ValueType::Bool; },
                                  [](std::int64_t) { return ValueType::Int; },
                                  [](double) { return ValueType::Float; },
                                  [](const std::string&) { return ValueType::Str; },
                                  [](const version::Version&) { return ValueType::Version; },
                              },
                              value(node));
        case Kind::IfThen:
        case Kind::Maximize:
        case Kind::Minimize: return std::nullopt;
    }
    platform::unreachable();
}

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
    if (accepted) return branch_node(Kind::Cmp, std::move(lhs), std::move(rhs), op);
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

}  // namespace trelk::core::constraint
