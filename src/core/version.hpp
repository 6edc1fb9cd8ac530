// Generic versions: a text such as 1.2.3, 2.0-rc1 or 3.* split at its
// separators into typed parts. Parsed, validated and printed; never compared.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/memory_pool.hpp"

namespace trelk::package::version {

enum class WildcardKind : std::uint8_t { Single, Rest };  // written * and >

struct Separator {
    char character;  // '.', '-' or '+'
    bool operator==(const Separator&) const = default;
};

// Int, Str (ASCII letters and digits), Wildcard, Sep, in this order.
using VersionPart = std::variant<std::uint64_t, std::string, WildcardKind, Separator>;

struct Version {
    // Non-separator parts and separators alternate, beginning and ending with a
    // non-separator part; a Rest wildcard can only come last.
    std::vector<VersionPart, memory_pool::PoolAllocator<VersionPart>> parts;
};

struct VersionParseError {
    enum class Kind : std::uint8_t { TrailingSeparator, InvalidPart, EmptyPart, PartAfterRest };
    Kind kind;
    std::string part;  // the offending part's text, for InvalidPart
};

using ParseResult = std::variant<Version, VersionParseError>;

ParseResult parse(std::string_view text);
std::string to_text(const Version& version);
void append_text(std::string& out, const Version& version);
std::string debug_text(const Version& version);
std::string error_text(const VersionParseError& error);

}  // namespace trelk::package::version
