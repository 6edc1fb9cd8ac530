// Building and releasing constraint trees, and their text forms.
#include "core/constraint_tree.hpp"

#include <algorithm>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "platform/compiler.hpp"

namespace trelk::core::constraint {

namespace {

void free_node(Node* node) noexcept {
    switch (shape_of(node->kind)) {
        case NodeShape::TwoChildren: delete static_cast<BranchNode<2>*>(node); break;
        case NodeShape::OneChild: delete static_cast<BranchNode<1>*>(node); break;
        case NodeShape::ChildList: delete static_cast<ListNode*>(node); break;
        case NodeShape::OneText:
            memory_pool::release_node(node, static_cast<TextNode<1>*>(node)->block_size());
            break;
        case NodeShape::TwoTexts:
            memory_pool::release_node(node, static_cast<TextNode<2>*>(node)->block_size());
            break;
        case NodeShape::Literal: delete static_cast<ValueNode*>(node); break;
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
    switch (shape_of(node->kind)) {
        case NodeShape::TwoChildren: {
            NodeRef* children = static_cast<BranchNode<2>*>(node)->children;
            if (node->refs == 0 && dies(children[1])) return &children[1];
            node->refs = 1;
            return dies(children[0]) ? &children[0] : nullptr;
        }
        case NodeShape::OneChild: {
            node->refs = 1;
            NodeRef& only = static_cast<BranchNode<1>*>(node)->children[0];
            return dies(only) ? &only : nullptr;
        }
        case NodeShape::ChildList: {
            std::vector<NodeRef>& slots = static_cast<ListNode*>(node)->items;
            for (; !slots.empty(); slots.pop_back()) {
                if (dies(slots.back())) return &slots.back();
            }
            return nullptr;
        }
        case NodeShape::OneText: case NodeShape::TwoTexts: case NodeShape::Literal: return nullptr;
    }
    platform::unreachable();
}

// Whether the slot answered last is the node's first, so that it waits for nothing.
bool at_first_slot(const Node* node) noexcept {
    switch (shape_of(node->kind)) {
        case NodeShape::ChildList: return static_cast<const ListNode*>(node)->items.size() == 1;
        case NodeShape::OneChild: case NodeShape::TwoChildren: return node->refs == 1;
        case NodeShape::OneText: case NodeShape::TwoTexts: case NodeShape::Literal: break;  // no slots
    }
    platform::unreachable();
}

// Empties the slot answered last, of a node that waited on it, and answers
// what the slot held meanwhile.
Node* take_answered_slot(Node* node) noexcept {
    switch (shape_of(node->kind)) {
        case NodeShape::ChildList: {
            std::vector<NodeRef>& slots = static_cast<ListNode*>(node)->items;
            Node* held = slots.back().detach();
            slots.pop_back();
            return held;
        }
        case NodeShape::TwoChildren:  // it waits on its second slot only
            node->refs = 1;
            return static_cast<BranchNode<2>*>(node)->children[1].detach();
        case NodeShape::OneChild:  // answered at its first slot, it waited for nothing
        case NodeShape::OneText: case NodeShape::TwoTexts: case NodeShape::Literal: break;
    }
    platform::unreachable();
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

NodeRef branch_node(Kind kind, NodeRef only) {
    assert(shape_of(kind) == NodeShape::OneChild);
    return NodeRef::adopt(new BranchNode<1>{{kind}, {std::move(only)}});
}

NodeRef branch_node(Kind kind, NodeRef first, NodeRef second, CmpType op) {
    assert(shape_of(kind) == NodeShape::TwoChildren);
    auto* node = new BranchNode<2>{{kind}, {std::move(first), std::move(second)}};
    node->op = op;
    return NodeRef::adopt(node);
}

NodeRef list_node(Kind kind, std::vector<NodeRef> items) {
    assert(shape_of(kind) == NodeShape::ChildList);
    return NodeRef::adopt(new ListNode{{kind}, std::move(items)});
}

namespace {

template <std::size_t N>
NodeRef text_node_of(Kind kind, const std::string_view (&texts)[N]) {
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

}  // namespace

NodeRef text_node(Kind kind, std::string_view only) {
    assert(shape_of(kind) == NodeShape::OneText);
    return text_node_of<1>(kind, {only});
}

NodeRef text_node(Kind kind, std::string_view first, std::string_view second) {
    assert(shape_of(kind) == NodeShape::TwoTexts);
    return text_node_of<2>(kind, {first, second});
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
    return shape_of(node.kind) == NodeShape::ChildList ? items(node).size() : child_count(node);
}
const NodeRef& subtree(const Node& node, std::size_t index) noexcept {
    return shape_of(node.kind) == NodeShape::ChildList ? items(node)[index] : child(node, index);
}

template <class Text, class... Pieces>
void write_in_order(Text& text, const Pieces&... pieces) {
    (text(pieces), ...);
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
                write_in_order(text, " ] ", cmp_type_text(node.op), " [ ");
            } else {
                text(" ]");
            }
            break;
        case Kind::Depends:
            write_in_order(text, "Depends( ", constraint::text(node, 0), " )");
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
            write_in_order(text, "Package '", constraint::text(node, 0), "' -> Option '", constraint::text(node, 1),
                           "'");
            break;
        case Kind::Value: spec_option::lay_out_value_text(value(node), text); break;
    }
}

constexpr std::uint64_t unlimited = std::numeric_limits<std::uint64_t>::max();

// Appends pieces to `out` until they pass `keep` characters, and then only
// as far as the cut: a long name or literal is not copied beyond it.
class CutAppender {
public:
    CutAppender(std::string& out, std::uint64_t keep) noexcept
        : out_(out), keep_(keep), start_(out.size()), checked_(out.size()) {}

    void operator()(std::string_view piece) {
        // No more bytes than `keep`, so no more characters. Once cut, the
        // text has `keep` characters, so at least `keep` bytes.
        if (out_.size() - start_ + piece.size() <= keep_) {
            out_ += piece;
        } else {
            append_near_keep(piece);
        }
    }
    bool cut() const noexcept { return cut_; }

private:
    TRELK_NOINLINE void append_near_keep(std::string_view piece) {
        if (cut_) return;
        counted_ += text_cut::count_characters(std::string_view(out_).substr(checked_));
        checked_ = out_.size();
        const std::size_t kept = text_cut::prefix_bytes(piece, keep_ - counted_);
        out_.append(piece.substr(0, kept));
        cut_ = kept < piece.size();
    }

    std::string& out_;
    const std::uint64_t keep_;
    const std::size_t start_;
    std::size_t checked_;  // the characters before it are counted, once the bytes could pass `keep`
    std::uint64_t counted_ = 0;
    bool cut_ = false;
};

// Appends the text form of `root`, or, when it has more than `keep`
// characters, only the first `keep` of them and answers true.
bool print(std::string& out, const Node& root, std::uint64_t keep) {
    // One frame per node on the path from the root: the node and the segment
    // that it prints next.
    struct Frame {
        const Node* node;
        std::size_t segment;
    };
    std::vector<Frame> path{{&root, 0}};
    CutAppender text(out, keep);
    while (!path.empty() && !text.cut()) {
        const Node& node = *path.back().node;
        const std::size_t index = path.back().segment++;
        lay_out_segment(node, index, text);
        if (index < subtree_count(node)) {
            path.push_back({subtree(node, index).get(), 0});
        } else {
            path.pop_back();
        }
    }
    return text.cut();
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
        const bool shared = reference_count(node) > 1 && &node != &root;
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

}  // namespace trelk::core::constraint
