// Coverage-guided fuzzing of the constraint tree: the input is a little
// program that builds, shares and drops nodes; every tree is printed and
// compared. The leak checker of the fuzzer sees every node that is not freed.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "core/constraint_tree.hpp"
#include "core/type_check.hpp"

using namespace trelk::core::constraint;

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
    std::string text = trelk::core::spec_option::spec_option_value_text(SpecOptionValue(value));
    if (std::isnan(value)) {
        require(text == "NaN");
        return;
    }
    require(text.find('e') == std::string::npos);
    require(std::strtod(text.c_str(), nullptr) == value);
    require(std::signbit(value) == (text[0] == '-'));
}

// Shared subtrees print once per use, so a few bytes of program can ask for a
// text of gigabytes: only texts up to this many characters are printed in full.
constexpr std::uint64_t printable = std::uint64_t{1} << 16;

std::uint64_t characters(const std::string& text) {
    std::uint64_t count = 0;
    for (char c : text) count += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    return count;
}

// A text cut at `bound` characters is the first `bound` characters of the whole
// text, `whole` when that is small enough to print, then the marker.
void check_cut(const Node& node, std::uint64_t length, std::uint64_t bound, const std::string* whole) {
    std::string cut = constraint_text(node, bound);
    std::string marker = "\u2026 (" + std::string(length == UINT64_MAX ? "at least " : "") + std::to_string(length) +
                         " characters in all)";
    require(cut.size() >= marker.size() && cut.compare(cut.size() - marker.size(), marker.size(), marker) == 0);
    cut.resize(cut.size() - marker.size());
    require(characters(cut) == bound);
    if (whole != nullptr) require(whole->compare(0, cut.size(), cut) == 0);
}

NodeRef pop(std::vector<NodeRef>& stack) {
    if (stack.empty()) return text_node(Kind::Depends, "");
    NodeRef top = std::move(stack.back());
    stack.pop_back();
    return top;
}

}  // namespace

// The program below builds each of them by hand: a new one needs its case there.
static_assert(kind_count == 8 && std::variant_size_v<trelk::core::spec_option::SpecOptionValue> == 5,
              "text_fuzzer: a case builds every Kind and every option value type");

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Program program(data, size);
    std::vector<NodeRef> stack;
    while (!program.done() && stack.size() < 4096) {
        switch (program.byte() % 13) {
            case 0: stack.push_back(text_node(Kind::Depends, program.text())); break;
            case 1: {
                std::string package = program.text();
                stack.push_back(text_node(Kind::SpecOption, package, program.text()));
                break;
            }
            case 2: stack.push_back(value_node(program.byte() % 2 == 1)); break;
            case 3: stack.push_back(value_node(program.number<std::int64_t>())); break;
            case 4: {
                double value = program.number<double>();
                check_float_text(value);
                stack.push_back(value_node(value));
                break;
            }
            case 5: stack.push_back(value_node(program.text())); break;
            case 6: {
                auto parsed = trelk::core::version::parse(program.text());
                if (auto* version = std::get_if<trelk::core::version::Version>(&parsed)) {
                    stack.push_back(value_node(*version));
                }
                break;
            }
            case 7: {
                NodeRef rhs = pop(stack), lhs = pop(stack);
                auto op = static_cast<CmpType>(program.byte() % cmp_type_count);
                std::uint64_t lhs_length = constraint_text_length(*lhs);
                if (lhs_length <= printable && constraint_text_length(*rhs) <= printable - lhs_length) {
                    auto checked = make_cmp(lhs, rhs, op);
                    if (auto* message = std::get_if<std::string>(&checked)) {
                        require(message->find(constraint_text(*lhs)) != std::string::npos);
                    }
                }
                stack.push_back(branch_node(Kind::Cmp, std::move(lhs), std::move(rhs), op));
                break;
            }
            case 8: {
                NodeRef then = pop(stack), cond = pop(stack);
                stack.push_back(branch_node(Kind::IfThen, std::move(cond), std::move(then)));
                break;
            }
            case 9: {
                NodeRef item = pop(stack);
                stack.push_back(branch_node(program.byte() % 2 ? Kind::Maximize : Kind::Minimize, std::move(item)));
                break;
            }
            case 10: {
                std::vector<NodeRef> items;
                for (std::size_t n = program.byte() % 8; n > 0 && !stack.empty(); --n) items.push_back(pop(stack));
                stack.push_back(list_node(Kind::NumOf, std::move(items)));
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
    // A node prints the same however often it is shared, as long as it
    // measures, and cut wherever the bound says.
    for (const NodeRef& node : stack) {
        std::uint64_t length = constraint_text_length(*node);
        if (length > printable) {
            check_cut(*node, length, length % 1024, nullptr);
            continue;
        }
        std::string text = constraint_text(*node, length);
        require(characters(text) == length);
        if (length > 0) check_cut(*node, length, length / 2, &text);
    }
    return 0;
}
