// The constraint tree.
//
// Nodes are immutable once built and shared by reference count: a "copy" of a
// subtree is one more reference, and a change builds a new node beside the old
// one. Nothing can tell a shared subtree from a deep copy, since no node ever
// changes, and nothing here recurses on the depth of a tree.
#pragma once

#include <cassert>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/memory_pool.hpp"
#include "core/spec_option.hpp"
#include "core/text_cut.hpp"

namespace trelk::package::constraint {

using spec::spec_option::SpecOptionValue;

// One kind per constraint class, in the classes' order.
enum class Kind : std::uint8_t { Cmp, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption, Value };
inline constexpr std::size_t kind_count = 8;

enum class CmpType : std::uint8_t { Less, LessOrEqual, NotEqual, Equal, GreaterOrEqual, Greater };
inline constexpr std::size_t cmp_type_count = 6;

const char* cmp_type_text(CmpType op);  // "<", "<=", "!=", "==", ">=", ">"
const char* cmp_type_name(CmpType op);  // "Less", ...

struct Node;

// Frees a node whose last reference is gone, and every descendant that this
// leaves unreferenced, without recursion and without allocating.
void release_tree(Node* node) noexcept;

// A counted reference to an immutable node.
class NodeRef {
public:
    NodeRef() noexcept = default;
    static NodeRef adopt(Node* node) noexcept { return NodeRef(node); }
    inline NodeRef(const NodeRef& other) noexcept;
    NodeRef(NodeRef&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
    NodeRef& operator=(NodeRef other) noexcept {
        std::swap(node_, other.node_);
        return *this;
    }
    inline ~NodeRef();

    const Node& operator*() const noexcept { return *node_; }
    const Node* operator->() const noexcept { return node_; }
    const Node* get() const noexcept { return node_; }
    explicit operator bool() const noexcept { return node_ != nullptr; }
    Node* detach() noexcept { return std::exchange(node_, nullptr); }

private:
    explicit NodeRef(Node* node) noexcept : node_(node) {}
    Node* node_ = nullptr;
};

// A node referenced this many times is never freed.
inline constexpr std::uint32_t immortal_refs = 0xffffffffu;

struct Node {
    std::uint32_t refs = 1;  // saturates: a node referenced 2^32 - 1 times is never freed
    Kind kind;
    CmpType op = CmpType::Less;  // Cmp only

    Node(Kind k, std::uint32_t initial_refs = 1) noexcept : refs(initial_refs), kind(k) {}

    static void* operator new(std::size_t size) { return memory_pool::allocate_node(size); }
    static void operator delete(void* block, std::size_t size) noexcept { memory_pool::release_node(block, size); }
};

inline NodeRef::NodeRef(const NodeRef& other) noexcept : node_(other.node_) {
    if (node_ != nullptr && node_->refs != immortal_refs) ++node_->refs;
}

inline NodeRef::~NodeRef() {
    if (node_ != nullptr && node_->refs != immortal_refs && --node_->refs == 0) release_tree(node_);
}

// Cmp (lhs, rhs), IfThen (cond, then), Maximize and Minimize (item).
template <std::size_t N>
struct BranchNode : Node {
    NodeRef children[N];
};
// NumOf (of).
struct ListNode : Node {
    std::vector<NodeRef> items;
};
// Depends (on), SpecOption (package_name, option_name): the texts follow the
// node in the same block, one after the other.
template <std::size_t N>
struct TextNode : Node {
    std::size_t lengths[N];

    std::string_view text(std::size_t index) const noexcept {
        const char* data = reinterpret_cast<const char*>(this + 1);
        std::size_t offset = 0;
        for (std::size_t i = 0; i < index; ++i) offset += lengths[i];
        return {data + offset, lengths[index]};
    }
    std::size_t block_size() const noexcept {
        std::size_t size = sizeof(TextNode);
        for (std::size_t length : lengths) size += length;
        return size;
    }
};
// Value (value).
struct ValueNode : Node {
    SpecOptionValue value;
};

NodeRef cmp_node(NodeRef lhs, NodeRef rhs, CmpType op);
NodeRef if_then_node(NodeRef cond, NodeRef then);
NodeRef objective_node(Kind kind, NodeRef item);  // Maximize or Minimize
NodeRef num_of_node(std::vector<NodeRef> items);
NodeRef depends_node(std::string_view on);
NodeRef spec_option_node(std::string_view package_name, std::string_view option_name);
NodeRef value_node(SpecOptionValue value);

// The children of a Cmp, IfThen, Maximize or Minimize node, in field order.
inline std::size_t child_count(const Node& node) noexcept {
    switch (node.kind) {
        case Kind::Cmp:
        case Kind::IfThen: return 2;
        case Kind::Maximize:
        case Kind::Minimize: return 1;
        default: return 0;
    }
}
inline const NodeRef& child(const Node& node, std::size_t index) noexcept {
    assert(index < child_count(node));
    if (child_count(node) == 2) return static_cast<const BranchNode<2>&>(node).children[index];
    return static_cast<const BranchNode<1>&>(node).children[0];
}
// NumOf
inline const std::vector<NodeRef>& items(const Node& node) noexcept {
    assert(node.kind == Kind::NumOf);
    return static_cast<const ListNode&>(node).items;
}
// Depends, SpecOption
inline std::string_view text(const Node& node, std::size_t index) noexcept {
    assert((node.kind == Kind::Depends && index == 0) || (node.kind == Kind::SpecOption && index < 2));
    if (node.kind == Kind::SpecOption) return static_cast<const TextNode<2>&>(node).text(index);
    return static_cast<const TextNode<1>&>(node).text(0);
}
// Value
inline const SpecOptionValue& value(const Node& node) noexcept {
    assert(node.kind == Kind::Value);
    return static_cast<const ValueNode&>(node).value;
}

// The one-line text form: "[ lhs ] == [ rhs ]", "NumOf( a, b )" and so on.
// Shared subtrees print once per use, so a small tree can have a text of any
// length: one longer than `bound` characters keeps only its first `bound`,
// followed by "… (N characters in all)". No piece of it, a long name or
// literal included, is copied beyond the cut.
using text_cut::text_bound;
std::string constraint_text(const Node& node, std::uint64_t bound = text_bound);
void append_constraint_text(std::string& out, const Node& node, std::uint64_t bound = text_bound);
// The characters (code points) of the whole text form, found without printing
// it, in time linear in the distinct subtrees; saturates at 2^64 - 1, printed
// as "at least 18446744073709551615".
std::uint64_t constraint_text_length(const Node& node);

enum class ValueType : std::uint8_t { Unknown, Bool, Int, Float, Str, Version };
const char* value_type_name(ValueType type);
// What a side of a comparison holds, from the kind of its node alone; none for
// IfThen, Maximize and Minimize.
std::optional<ValueType> value_type(const Node& node) noexcept;

}  // namespace trelk::package::constraint
