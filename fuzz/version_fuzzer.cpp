// Coverage-guided fuzzing of the version parser and its text forms.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/version.hpp"

using namespace trelk::core::version;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

bool all_digits(std::string_view text) {
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// The invariants of every parsed version.
void check_parts(const Version& version) {
    require(version.part_count() % 2 == 1);
    for (std::size_t i = 0; i < version.part_count(); ++i) {
        const VersionPart part = version.part(i);
        require((i % 2 == 1) == std::holds_alternative<Separator>(part));
        if (auto* wildcard = std::get_if<WildcardKind>(&part); wildcard && *wildcard == WildcardKind::Rest) {
            require(i + 1 == version.part_count());
        }
        if (auto* text = std::get_if<std::string_view>(&part)) {
            require(!text->empty());
            // Digits alone stay text only beyond 64 bits.
            if (all_digits(*text)) require(text->size() >= 20);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    ParseResult parsed = parse(input);
    if (auto* error = std::get_if<VersionParseError>(&parsed)) {
        std::string message = error_text(*error);
        require(!message.empty());
        if (error->kind == VersionParseError::Kind::InvalidPart) {
            require(input.find(error->part) != std::string_view::npos);
        }
        return 0;
    }
    const Version& version = std::get<Version>(parsed);
    check_parts(version);
    // A copy owns its parts: it reads the same once the original is gone.
    Version copy = version;
    parsed = VersionParseError{};
    require(debug_text(copy) == debug_text(std::get<Version>(parse(input))));
    // The text form parses back to the same version and is its own text form.
    std::string text = to_text(copy);
    ParseResult again = parse(text);
    require(std::holds_alternative<Version>(again));
    require(to_text(std::get<Version>(again)) == text);
    require(debug_text(std::get<Version>(again)) == debug_text(copy));
    return 0;
}
