// The constraint tree: immutable nodes shared by reference count (docs/design.md, "Nodes").
#pragma once

#include <atomic>
#include <cassert>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/keyed_table.hpp"
#include "core/memory_pool.hpp"
#include "core/spec_option.hpp"
#include "core/text_cut.hpp"
#include "platform/compiler.hpp"

namespace trelk::core::constraint {

using spec_option::SpecOptionValue;

// One kind per constraint class, in the classes' order; Value stays last.
enum class Kind : std::uint8_t { Cmp, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption, Value };
inline constexpr std::size_t kind_count = static_cast<std::size_t>(Kind::Value) + 1;

// How a node of each kind is laid out. A kind added without its shape here
// fails to compile: no switch over an enum of ours has a default.
enum class NodeShape : std::uint8_t { OneChild, TwoChildren, ChildList, OneText, TwoTexts, Literal };
constexpr NodeShape shape_of(Kind kind) noexcept {
    switch (kind) {
        case Kind::Maximize:
        case Kind::Minimize: return NodeShape::OneChild;
        case Kind::Cmp:
        case Kind::IfThen: return NodeShape::TwoChildren;
        case Kind::NumOf: return NodeShape::ChildList;
        case Kind::Depends: return NodeShape::OneText;
        case Kind::SpecOption: return NodeShape::TwoTexts;
        case Kind::Value: return NodeShape::Literal;
    }
    platform::unreachable();
}

// Greater stays last.
enum class CmpType : std::uint8_t { Less, LessOrEqual, NotEqual, Equal, GreaterOrEqual, Greater };
inline constexpr std::size_t cmp_type_count = static_cast<std::size_t>(CmpType::Greater) + 1;

// Each operator's text and its member name in Python, one row per operator.
struct CmpTypeRow {
    CmpType op;
    const char* text;
    const char* name;
};
inline constexpr CmpTypeRow cmp_type_rows[] = {
    {CmpType::Less, "<", "Less"},
    {CmpType::LessOrEqual, "<=", "LessOrEqual"},
    {CmpType::NotEqual, "!=", "NotEqual"},
    {CmpType::Equal, "==", "Equal"},
    {CmpType::GreaterOrEqual, ">=", "GreaterOrEqual"},
    {CmpType::Greater, ">", "Greater"},
};
static_assert(one_row_per_key(cmp_type_rows, &CmpTypeRow::op, cmp_type_count),
              "cmp_type_rows: one row per CmpType, row i the row of CmpType i");
constexpr const char* cmp_type_text(CmpType op) { return cmp_type_rows[static_cast<std::size_t>(op)].text; }
constexpr const char* cmp_type_name(CmpType op) { return cmp_type_rows[static_cast<std::size_t>(op)].name; }

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

// Atomic only where threads run at once (TRELK_FREE_THREADED); a dead node is its releaser's alone.
#ifdef TRELK_FREE_THREADED
inline std::atomic_ref<std::uint32_t> shared_count(const Node& node) noexcept {
    return std::atomic_ref<std::uint32_t>(const_cast<std::uint32_t&>(node.refs));
}
#endif

inline void add_reference(Node* node) noexcept {
#ifdef TRELK_FREE_THREADED
    std::atomic_ref<std::uint32_t> refs = shared_count(*node);
    std::uint32_t seen = refs.load(std::memory_order_relaxed);
    while (seen != immortal_refs && !refs.compare_exchange_weak(seen, seen + 1, std::memory_order_relaxed)) {
    }
#else
    if (node->refs != immortal_refs) ++node->refs;
#endif
}

// Drops one reference; true when it was the last.
inline bool drop_reference(Node* node) noexcept {
#ifdef TRELK_FREE_THREADED
    std::atomic_ref<std::uint32_t> refs = shared_count(*node);
    std::uint32_t seen = refs.load(std::memory_order_relaxed);
    do {
        if (seen == immortal_refs) return false;
    } while (!refs.compare_exchange_weak(seen, seen - 1, std::memory_order_acq_rel, std::memory_order_relaxed));
    return seen == 1;
#else
    if (node->refs == immortal_refs) return false;
    return --node->refs == 0;
#endif
}

// The count of a live node, which other threads may be changing.
inline std::uint32_t reference_count(const Node& node) noexcept {
#ifdef TRELK_FREE_THREADED
    return shared_count(node).load(std::memory_order_relaxed);
#else
    return node.refs;
#endif
}

inline NodeRef::NodeRef(const NodeRef& other) noexcept : node_(other.node_) {
    if (node_ != nullptr) add_reference(node_);
}

inline NodeRef::~NodeRef() {
    if (node_ != nullptr && drop_reference(node_)) release_tree(node_);
}

// OneChild and TwoChildren: Cmp (lhs, rhs), IfThen (cond, then), Maximize and Minimize (item).
template <std::size_t N>
struct BranchNode : Node {
    NodeRef children[N];
};
// ChildList: NumOf (of).
struct ListNode : Node {
    std::vector<NodeRef> items;
};
// OneText and TwoTexts: Depends (on), SpecOption (package_name, option_name).
// The texts follow the node in the same block, one after the other.
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
// Literal: Value (value).
struct ValueNode : Node {
    SpecOptionValue value;
};

// Node builders by shape; `kind` must have that shape. The fields go in
// field order: Cmp's are lhs, rhs, op.
NodeRef branch_node(Kind kind, NodeRef only);
NodeRef branch_node(Kind kind, NodeRef first, NodeRef second, CmpType op = CmpType::Less);
NodeRef list_node(Kind kind, std::vector<NodeRef> items);
NodeRef text_node(Kind kind, std::string_view only);
NodeRef text_node(Kind kind, std::string_view first, std::string_view second);
NodeRef value_node(SpecOptionValue value);

// The children of a node of one or two children, in field order.
inline std::size_t child_count(const Node& node) noexcept {
    switch (shape_of(node.kind)) {
        case NodeShape::TwoChildren: return 2;
        case NodeShape::OneChild: return 1;
        case NodeShape::ChildList: case NodeShape::OneText: case NodeShape::TwoTexts: case NodeShape::Literal: return 0;
    }
    platform::unreachable();
}
inline const NodeRef& child(const Node& node, std::size_t index) noexcept {
    assert(index < child_count(node));
    switch (shape_of(node.kind)) {
        case NodeShape::TwoChildren: return static_cast<const BranchNode<2>&>(node).children[index];
        case NodeShape::OneChild: return static_cast<const BranchNode<1>&>(node).children[0];
        case NodeShape::ChildList: case NodeShape::OneText: case NodeShape::TwoTexts: case NodeShape::Literal: break;
    }
    platform::unreachable();
}
inline const std::vector<NodeRef>& items(const Node& node) noexcept {
    assert(shape_of(node.kind) == NodeShape::ChildList);
    return static_cast<const ListNode&>(node).items;
}
inline std::string_view text(const Node& node, std::size_t index) noexcept {
    switch (shape_of(node.kind)) {
        case NodeShape::TwoTexts: assert(index < 2); return static_cast<const TextNode<2>&>(node).text(index);
        case NodeShape::OneText: assert(index == 0); return static_cast<const TextNode<1>&>(node).text(0);
        case NodeShape::OneChild: case NodeShape::TwoChildren: case NodeShape::ChildList: case NodeShape::Literal: break;
    }
    platform::unreachable();
}
inline const SpecOptionValue& value(const Node& node) noexcept {
    assert(shape_of(node.kind) == NodeShape::Literal);
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


}  // namespace trelk::core::constraint
