#include "package/constraint/mod.hpp"

#include <algorithm>
#include <string_view>

namespace trelk::package::constraint {

namespace {

// Drops one reference; true when it was the last.
bool drop_reference(Node* node) noexcept {
    if (node->refs == immortal_refs) return false;
    return --node->refs == 0;
}

void free_node(Node* node) noexcept {
    switch (node->kind) {
        case Kind::Cmp:
        case Kind::IfThen: delete static_cast<BranchNode<2>*>(node); break;
        case Kind::Maximize:
        case Kind::Minimize: delete static_cast<BranchNode<1>*>(node); break;
        case Kind::NumOf: delete static_cast<ListNode*>(node); break;
        case Kind::Depends:
            memory_pool::release_node(node, static_cast<TextNode<1>*>(node)->block_size());
            break;
        case Kind::SpecOption:
            memory_pool::release_node(node, static_cast<TextNode<2>*>(node)->block_size());
            break;
        case Kind::Value: delete static_cast<ValueNode*>(node); break;
    }
}

}  // namespace

void release_tree(Node* node) noexcept {
    std::vector<Node*> pending;
    for (;;) {
        auto let_go = [&pending](NodeRef& ref) noexcept {
            Node* child = ref.detach();
            if (child == nullptr || !drop_reference(child)) return;
            try {
                pending.push_back(child);
            } catch (...) {
                // Out of memory for the stack itself: the subtree is lost, not the process.
            }
        };
        switch (node->kind) {
            case Kind::Cmp:
            case Kind::IfThen:
                for (NodeRef& ref : static_cast<BranchNode<2>*>(node)->children) let_go(ref);
                break;
            case Kind::Maximize:
            case Kind::Minimize: let_go(static_cast<BranchNode<1>*>(node)->children[0]); break;
            case Kind::NumOf:
                for (NodeRef& ref : static_cast<ListNode*>(node)->items) let_go(ref);
                break;
            default: break;
        }
        free_node(node);
        if (pending.empty()) return;
        node = pending.back();
        pending.pop_back();
    }
}


const char* cmp_type_text(CmpType op) {
    static constexpr const char* texts[] = {"<", "<=", "!=", "==", ">=", ">"};
    return texts[static_cast<std::size_t>(op)];
}

const char* cmp_type_name(CmpType op) {
    static constexpr const char* names[] = {"Less", "LessOrEqual", "NotEqual", "Equal", "GreaterOrEqual", "Greater"};
    return names[static_cast<std::size_t>(op)];
}

NodeRef cmp_node(NodeRef lhs, NodeRef rhs, CmpType op) {
    auto* node = new BranchNode<2>{{Kind::Cmp}, {std::move(lhs), std::move(rhs)}};
    node->op = op;
    return NodeRef::adopt(node);
}

NodeRef if_then_node(NodeRef cond, NodeRef then) {
    return NodeRef::adopt(new BranchNode<2>{{Kind::IfThen}, {std::move(cond), std::move(then)}});
}

NodeRef objective_node(Kind kind, NodeRef item) {
    return NodeRef::adopt(new BranchNode<1>{{kind}, {std::move(item)}});
}

NodeRef num_of_node(std::vector<NodeRef> items) {
    return NodeRef::adopt(new ListNode{{Kind::NumOf}, std::move(items)});
}

template <std::size_t N>
NodeRef text_node(Kind kind, const std::string_view (&texts)[N]) {
    std::size_t size = sizeof(TextNode<N>);
    for (std::string_view text : texts) size += text.size();
    auto* node = ::new (memory_pool::allocate_node(size)) TextNode<N>{{kind}, {}};
    char* data = reinterpret_cast<char*>(node + 1);
    for (std::size_t i = 0; i < N; ++i) {
        node->lengths[i] = texts[i].size();
        data = std::copy(texts[i].begin(), texts[i].end(), data);
    }
    return NodeRef::adopt(node);
}

NodeRef depends_node(std::string_view on) { return text_node<1>(Kind::Depends, {on}); }

NodeRef spec_option_node(std::string_view package_name, std::string_view option_name) {
    return text_node<2>(Kind::SpecOption, {package_name, option_name});
}

NodeRef value_node(SpecOptionValue value) {
    if (const bool* truth = std::get_if<bool>(&value)) {
        // The two boolean literals are made once and shared by every tree.
        static Node* const literals[2] = {
            new ValueNode{{Kind::Value, immortal_refs}, false},
            new ValueNode{{Kind::Value, immortal_refs}, true},
        };
        return NodeRef::adopt(literals[*truth]);
    }
    return NodeRef::adopt(new ValueNode{{Kind::Value}, std::move(value)});
}

void append_constraint_text(std::string& out, const Node& root) {
    // Work items: a node still to print, or a piece of text to append. A node's
    // opening text goes out at once; the rest is pushed in reverse, so that it
    // comes off the stack in reading order.
    struct Item {
        const Node* node;
        std::string_view text;
    };
    std::vector<Item> stack{{&root, {}}};
    auto piece = [&stack](std::string_view text) { stack.push_back({nullptr, text}); };
    auto subtree = [&stack](const NodeRef& ref) { stack.push_back({ref.get(), {}}); };
    while (!stack.empty()) {
        Item item = stack.back();
        stack.pop_back();
        if (item.node == nullptr) {
            out += item.text;
            continue;
        }
        const Node& node = *item.node;
        switch (node.kind) {
            case Kind::Cmp:
                piece(" ]");
                subtree(child(node, 1));
                piece(" [ ");
                piece(cmp_type_text(node.op));
                piece(" ] ");
                subtree(child(node, 0));
                out += "[ ";
                break;
            case Kind::Depends:
                out += "Depends( ";
                out += text(node, 0);
                out += " )";
                break;
            case Kind::IfThen:
                piece(" ]");
                subtree(child(node, 1));
                piece(" ) Then [ ");
                subtree(child(node, 0));
                out += "If( ";
                break;
            case Kind::Maximize:
            case Kind::Minimize:
                piece(" )");
                subtree(child(node, 0));
                out += node.kind == Kind::Maximize ? "Maximize( " : "Minimize( ";
                break;
            case Kind::NumOf: {
                const std::vector<NodeRef>& elements = items(node);
                piece(" )");
                for (std::size_t i = elements.size(); i-- > 0;) {
                    subtree(elements[i]);
                    if (i > 0) piece(", ");
                }
                out += "NumOf( ";
                break;
            }
            case Kind::SpecOption:
                out += "Package '";
                out += text(node, 0);
                out += "' -> Option '";
                out += text(node, 1);
                out += "'";
                break;
            case Kind::Value: spec::spec_option::append_spec_option_value_text(out, value(node)); break;
        }
    }
}

std::string constraint_text(const Node& node) {
    std::string out;
    append_constraint_text(out, node);
    return out;
}

const char* value_type_name(ValueType type) {
    static constexpr const char* names[] = {"Unknown", "Bool", "Int", "Float", "Str", "Version"};
    return names[static_cast<std::size_t>(type)];
}

std::optional<ValueType> value_type(const Node& node) noexcept {
    switch (node.kind) {
        case Kind::Cmp:
        case Kind::Depends: return ValueType::Bool;
        case Kind::NumOf: return ValueType::Int;
        case Kind::SpecOption: return ValueType::Unknown;
        case Kind::Value: return static_cast<ValueType>(value(node).index() + 1);
        default: return std::nullopt;
    }
}

}  // namespace trelk::package::constraint
