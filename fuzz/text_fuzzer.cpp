// Coverage-guided fuzzing of the constraint tree: the input is a little
// program that builds, shares and drops nodes; every tree is printed and
// compared. The leak checker of the fuzzer sees every node that is not freed.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "package/constraint/mod.hpp"
#include "package/constraint/type_check.hpp"

using namespace trelk::package::constraint;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

class Program {
public:
    Program(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return position_ >= size_; }
    std::uint8_t byte() { return done() ? 0 : data_[position_++]; }
    std::string text() {
        std::size_t length = byte() % 16;
        std::string out;
        while (length-- > 0 && !done()) out.push_back(static_cast<char>(byte()));
        return out;
    }
    template <class T>
    T number() {
        T value{};
        unsigned char bytes[sizeof(T)] = {};
        for (unsigned char& b : bytes) b = byte();
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

// A float prints positionally and reads back as the same double.
void check_float_text(double value) {
    std::string text = trelk::spec::spec_option::spec_option_value_text(SpecOptionValue(value));
    if (std::isnan(value)) {
        require(text == "NaN");
        return;
    }
    require(text.find('e') == std::string::npos);
    require(std::strtod(text.c_str(), nullptr) == value);
    require(std::signbit(value) == (text[0] == '-'));
}

// Shared subtrees print once per use, so a few bytes of program can ask for a
// text of gigabytes: each entry keeps the size its text form will have, and
// only texts up to this size are printed.
constexpr std::size_t printable = std::size_t{1} << 16;

struct Entry {
    NodeRef node;
    std::size_t text_size;
};

Entry pop(std::vector<Entry>& stack) {
    if (stack.empty()) return {depends_node(""), 11};
    Entry top = std::move(stack.back());
    stack.pop_back();
    return top;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Program program(data, size);
    std::vector<Entry> stack;
    auto leaf = [&stack](NodeRef node) { stack.push_back({node, constraint_text(*node).size()}); };
    while (!program.done() && stack.size() < 4096) {
        switch (program.byte() % 13) {
            case 0: leaf(depends_node(program.text())); break;
            case 1: {
                std::string package = program.text();
                leaf(spec_option_node(package, program.text()));
                break;
            }
            case 2: leaf(value_node(program.byte() % 2 == 1)); break;
            case 3: leaf(value_node(program.number<std::int64_t>())); break;
            case 4: {
                double value = program.number<double>();
                check_float_text(value);
                leaf(value_node(value));
                break;
            }
            case 5: leaf(value_node(program.text())); break;
            case 6: {
                auto parsed = trelk::package::version::parse(program.text());
                if (auto* version = std::get_if<trelk::package::version::Version>(&parsed)) {
                    leaf(value_node(*version));
                }
                break;
            }
            case 7: {
                Entry rhs = pop(stack), lhs = pop(stack);
                auto op = static_cast<CmpType>(program.byte() % cmp_type_count);
                std::size_t text_size = lhs.text_size + rhs.text_size + 10 + std::strlen(cmp_type_text(op));
                if (text_size <= printable) {
                    auto checked = make_cmp(lhs.node, rhs.node, op);
                    if (auto* message = std::get_if<std::string>(&checked)) {
                        require(message->find(constraint_text(*lhs.node)) != std::string::npos);
                    }
                }
                stack.push_back({cmp_node(std::move(lhs.node), std::move(rhs.node), op), text_size});
                break;
            }
            case 8: {
                Entry then = pop(stack), cond = pop(stack);
                std::size_t text_size = cond.text_size + then.text_size + 16;
                stack.push_back({if_then_node(std::move(cond.node), std::move(then.node)), text_size});
                break;
            }
            case 9: {
                Entry item = pop(stack);
                Kind kind = program.byte() % 2 ? Kind::Maximize : Kind::Minimize;
                stack.push_back({objective_node(kind, std::move(item.node)), item.text_size + 12});
                break;
            }
            case 10: {
                std::vector<NodeRef> items;
                std::size_t text_size = 9;
                for (std::size_t n = program.byte() % 8; n > 0 && !stack.empty(); --n) {
                    Entry item = pop(stack);
                    text_size += item.text_size + (items.empty() ? 0 : 2);
                    items.push_back(std::move(item.node));
                }
                stack.push_back({num_of_node(std::move(items)), text_size});
                break;
            }
            case 11:  // share a subtree
                if (!stack.empty()) stack.push_back(stack[program.byte() % stack.size()]);
                break;
            default:  // drop one
                if (!stack.empty()) stack.erase(stack.begin() + program.byte() % stack.size());
                break;
        }
    }
    // A node prints the same however often it is shared, and as long as its parts add up to.
    for (const Entry& entry : stack) {
        if (entry.text_size > printable) continue;
        std::string text = constraint_text(*entry.node);
        require(text.size() == entry.text_size);
        require(constraint_text(*entry.node) == text);
    }
    return 0;
}
