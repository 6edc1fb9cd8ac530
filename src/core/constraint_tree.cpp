#include "core/constraint_tree.hpp"

#include <algorithm>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "core/overloaded.hpp"

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

// A dead node's children are let go from its last slot to its first, until
// one of them dies too: that one's slot, emptied, is answered; null once none
// is left. A branch node's `refs`, 0 when it died, becomes 1 once its first
// slot is reached; a NumOf node's vector holds the slots not let go yet.
NodeRef* let_go_until_dead(Node* node, Node*& dead) noexcept {
    auto dies = [&dead](NodeRef& slot) {
        dead = slot.detach();
        return dead != nullptr && drop_reference(dead);
    };
    switch (node->kind) {
        case Kind::Cmp:
        case Kind::IfThen: {
            NodeRef* children = static_cast<BranchNode<2>*>(node)->children;
            if (node->refs == 0 && dies(children[1])) return &children[1];
            node->refs = 1;
            return dies(children[0]) ? &children[0] : nullptr;
        }
        case Kind::Maximize:
        case Kind::Minimize: {
            node->refs = 1;
            NodeRef& only = static_cast<BranchNode<1>*>(node)->children[0];
            return dies(only) ? &only : nullptr;
        }
        case Kind::NumOf: {
            std::vector<NodeRef>& slots = static_cast<ListNode*>(node)->items;
            for (; !slots.empty(); slots.pop_back()) {
                if (dies(slots.back())) return &slots.back();
            }
            return nullptr;
        }
        default: return nullptr;
    }
}

// Whether the slot answered last is the node's first, so that it waits for nothing.
bool at_first_slot(const Node* node) noexcept {
    return node->kind == Kind::NumOf ? static_cast<const ListNode*>(node)->items.size() == 1 : node->refs == 1;
}

// Empties the slot answered last, of a node that waited on it, and answers
// what the slot held meanwhile.
Node* take_answered_slot(Node* node) noexcept {
    if (node->kind == Kind::NumOf) {
        std::vector<NodeRef>& slots = static_cast<ListNode*>(node)->items;
        Node* held = slots.back().detach();
        slots.pop_back();
        return held;
    }
    node->refs = 1;  // only a two-slot node waits, on its second slot
    return static_cast<BranchNode<2>*>(node)->children[1].detach();
}

}  // namespace

void release_tree(Node* node) noexcept {
    // Depth first, allocating nothing, so that no tree can be lost halfway: a
    // dead node whose child died too waits for it, and the slot that held that
    // child holds the way back to the node's own waiting parent meanwhile. A
    // node whose first child dies waits for nothing: it goes at once, so that
    // a chain is let go in one pass.
    Node* waiting = nullptr;  // the parent of `node`, itself dead
    for (;;) {
        Node* dead = nullptr;
        NodeRef* slot = let_go_until_dead(node, dead);
        if (slot != nullptr && !at_first_slot(node)) {
            *slot = NodeRef::adopt(waiting);
            waiting = node;
        } else {
            free_node(node);
            if (slot == nullptr) {
                if (waiting == nullptr) return;
                node = waiting;
                waiting = take_answered_slot(node);
                continue;
            }
        }
        node = dead;
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

namespace {

// The subtrees printed inside a node's text form, in reading order.
std::size_t subtree_count(const Node& node) noexcept {
    return node.kind == Kind::NumOf ? items(node).size() : child_count(node);
}
const NodeRef& subtree(const Node& node, std::size_t index) noexcept {
    return node.kind == Kind::NumOf ? items(node)[index] : child(node, index);
}

// The text form of a node is its segments and subtrees in turn: segment 0,
// subtree 0, segment 1, ..., the last segment. Segment `index` goes to `text`
// piece by piece, a literal too. The printer and the measure both follow this
// layout.
template <class Text>
void lay_out_segment(const Node& node, std::size_t index, Text&& text) {
    switch (node.kind) {
        case Kind::Cmp:
            if (index == 0) {
                text("[ ");
            } else if (index == 1) {
                text(" ] ");
                text(cmp_type_text(node.op));
                text(" [ ");
            } else {
                text(" ]");
            }
            break;
        case Kind::Depends:
            text("Depends( ");
            text(constraint::text(node, 0));
            text(" )");
            break;
        case Kind::IfThen: text(index == 0 ? "If( " : index == 1 ? " ) Then [ " : " ]"); break;
        case Kind::Maximize:
        case Kind::Minimize:
            text(index == 1 ? " )" : node.kind == Kind::Maximize ? "Maximize( " : "Minimize( ");
            break;
        case Kind::NumOf:
            if (index == 0) text("NumOf( ");
            if (index == items(node).size()) {
                text(" )");
            } else if (index > 0) {
                text(", ");
            }
            break;
        case Kind::SpecOption:
            text("Package '");
            text(constraint::text(node, 0));
            text("' -> Option '");
            text(constraint::text(node, 1));
            text("'");
            break;
        case Kind::Value: spec::spec_option::lay_out_value_text(value(node), text); break;
    }
}

constexpr std::uint64_t unlimited = std::numeric_limits<std::uint64_t>::max();

// Appends the text form of `root`, or, when it has more than `keep`
// characters, only the first `keep` of them and answers true. A piece goes in
// only as far as the cut: a long name or literal is not copied beyond it.
bool print(std::string& out, const Node& root, std::uint64_t keep) {
    // One frame per node on the path from the root: the node and the segment
    // that it prints next.
    struct Frame {
        const Node* node;
        std::size_t segment;
    };
    std::vector<Frame> path{{&root, 0}};
    const std::size_t start = out.size();
    // The characters out before `checked`, counted only once the bytes could
    // pass `keep`.
    std::size_t checked = start;
    std::uint64_t counted = 0;
    bool cut = false;
    auto near_keep = [&](std::string_view piece) __attribute__((noinline)) {
        if (cut) return;
        counted += text_cut::count_characters(std::string_view(out).substr(checked));
        checked = out.size();
        const std::size_t kept = text_cut::prefix_bytes(piece, keep - counted);
        out.append(piece.substr(0, kept));
        cut = kept < piece.size();
    };
    auto text = [&](std::string_view piece) {
        // No more bytes than `keep`, so no more characters. Once cut, the
        // text has `keep` characters, so at least `keep` bytes.
        if (out.size() - start + piece.size() <= keep) {
            out += piece;
        } else {
            near_keep(piece);
        }
    };
    while (!path.empty() && !cut) {
        const Node& node = *path.back().node;
        const std::size_t index = path.back().segment++;
        lay_out_segment(node, index, text);
        if (index < subtree_count(node)) {
            path.push_back({subtree(node, index).get(), 0});
        } else {
            path.pop_back();
        }
    }
    return cut;
}

std::uint64_t saturating_sum(std::uint64_t a, std::uint64_t b) { return b > unlimited - a ? unlimited : a + b; }

}  // namespace

std::uint64_t constraint_text_length(const Node& root) {
    // A node with one reference is reached only through its one parent, so
    // remembering the length of every shared node measures each node once.
    // (The root is met once, whatever its references.)
    constexpr std::size_t not_laid_out = std::numeric_limits<std::size_t>::max();
    struct Step {
        const Node* node;
        std::uint64_t own;     // the characters of its pieces, texts and literals
        std::size_t children;  // or not_laid_out
    };
    std::vector<Step> steps{{&root, 0, not_laid_out}};
    std::vector<std::uint64_t> lengths;  // of the subtrees measured, the latest last
    std::unordered_map<const Node*, std::uint64_t> measured;
    while (!steps.empty()) {
        Step step = steps.back();
        steps.pop_back();
        const Node& node = *step.node;
        const bool shared = node.refs > 1 && &node != &root;
        if (step.children == not_laid_out) {
            if (auto found = shared ? measured.find(&node) : measured.end(); found != measured.end()) {
                lengths.push_back(found->second);
                continue;
            }
            // Its subtrees come off the stack before it does.
            std::uint64_t own = 0;
            auto text = [&own](std::string_view piece) { own += text_cut::count_characters(piece); };
            const std::size_t subtrees = subtree_count(node);
            for (std::size_t index = 0; index <= subtrees; ++index) lay_out_segment(node, index, text);
            steps.push_back({&node, own, subtrees});
            for (std::size_t index = 0; index < subtrees; ++index) {
                steps.push_back({subtree(node, index).get(), 0, not_laid_out});
            }
            continue;
        }
        std::uint64_t length = step.own;
        for (std::size_t i = 0; i < step.children; ++i) {
            length = saturating_sum(length, lengths.back());
            lengths.pop_back();
        }
        if (shared) measured.emplace(&node, length);
        lengths.push_back(length);
    }
    return lengths.back();
}

void append_constraint_text(std::string& out, const Node& node, std::uint64_t bound) {
    // Printing stops at the bound, so that a small tree with a huge text costs
    // no more than that; only then is the whole length measured.
    if (print(out, node, bound)) text_cut::append_cut_mark(out, constraint_text_length(node));
}

std::string constraint_text(const Node& node, std::uint64_t bound) {
    std::string out;
    append_constraint_text(out, node, bound);
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
        case Kind::Value:
            return std::visit(Overloaded{
                                  [](bool) { return ValueType::Bool; },
                                  [](std::int64_t) { return ValueType::Int; },
                                  [](double) { return ValueType::Float; },
                                  [](const std::string&) { return ValueType::Str; },
                                  [](const package::version::Version&) { return ValueType::Version; },
                              },
                              value(node));
        default: return std::nullopt;
    }
}

}  // namespace trelk::package::constraint
