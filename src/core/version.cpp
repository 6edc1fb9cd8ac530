// Parsing versions into their pooled blocks, and their texts.
#include "core/version.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <iterator>
#include <utility>

#include "core/memory_pool.hpp"
#include "core/overloaded.hpp"
#include "core/text_cut.hpp"
#include "core/utf8.hpp"
#include "platform/compiler.hpp"

namespace trelk::core::version {

struct Version::StoredPart {
    enum class Kind : std::uint8_t { Int, Str, Wildcard };
    // Int: the number; Str: where its text starts in the copy; Wildcard: its kind.
    std::uint64_t value;
    std::uint64_t text_length : 48;  // Str only; no text in memory reaches 2^48 bytes
    Kind kind : 8;
    std::uint64_t separator : 8;  // the one behind this part; none behind the last
};

namespace {

// What each byte is to the parser, looked up in one step.
enum class CharClass : std::uint8_t { Other, Separator, Alphanumeric };
constexpr std::array<CharClass, 256> char_classes = [] {
    std::array<CharClass, 256> classes{};
    for (unsigned char c : std::string_view(".-+")) classes[c] = CharClass::Separator;
    for (unsigned char c = '0'; c <= '9'; ++c) classes[c] = CharClass::Alphanumeric;
    for (unsigned char c = 'a'; c <= 'z'; ++c) classes[c] = classes[c - 'a' + 'A'] = CharClass::Alphanumeric;
    return classes;
}();
CharClass char_class(char c) { return char_classes[static_cast<unsigned char>(c)]; }
bool is_separator(char c) { return char_class(c) == CharClass::Separator; }

using Kind = VersionParseError::Kind;

// `*` or `>` alone.
bool is_wildcard(std::string_view text) { return text.size() == 1 && (text[0] == '*' || text[0] == '>'); }

// Whether one part between separators (`alphanumeric` when all its bytes are
// ASCII letters and digits) is refused, and why; allocates nothing. The rest flag is tested before anything else,
// emptiness included.
bool check_part(std::string_view text, bool alphanumeric, bool& after_rest, VersionParseError& error) {
    if (after_rest) {
        error = {Kind::PartAfterRest, {}};
        return false;
    }
    if (is_wildcard(text)) {
        after_rest = text[0] == '>';
        return true;
    }
    if (text.empty()) {
        error = {Kind::EmptyPart, {}};
        return false;
    }
    if (alphanumeric) return true;
    error = {Kind::InvalidPart, text};
    return false;
}

// A part that check_part accepted, whose text starts at `offset` in the whole
// text, with the separator behind it ('\0' behind the last part).
Version::StoredPart stored_part(std::string_view text, std::size_t offset, char separator) {
    using PartKind = Version::StoredPart::Kind;
    auto behind = static_cast<unsigned char>(separator);
    // All digits and within 64 bits (leading zeros dropped); `*` and `>` are no digits.
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc{} && end == text.data() + text.size()) return {value, 0, PartKind::Int, behind};
    if (is_wildcard(text)) {
        WildcardKind wildcard = text[0] == '>' ? WildcardKind::Rest : WildcardKind::Single;
        return {static_cast<std::uint64_t>(wildcard), 0, PartKind::Wildcard, behind};
    }
    return {offset, text.size(), PartKind::Str, behind};  // beyond 64 bits, or letters: kept as text
}

// A text of numbers between single dots ("1.2.3"), at most `most` of them and
// at most 19 digits each (which always fit 64 bits): how many, with their
// values in `numbers`; 0 for any other text. Kept out of line: inlined into
// parse, it crowds out the inlining that the general way relies on.
template <std::size_t most>
TRELK_NOINLINE std::size_t dotted_numbers(std::string_view text, std::uint64_t (&numbers)[most]) noexcept {
    std::size_t count = 0, digits = 0;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9' && digits < 19) {
            value = value * 10 + static_cast<std::uint64_t>(c - '0');
            ++digits;
        } else if (c == '.' && digits > 0 && count + 1 < most) {
            numbers[count++] = value;
            value = 0;
            digits = 0;
        } else {
            return 0;
        }
    }
    if (digits == 0) return 0;
    numbers[count++] = value;
    return count;
}

void append_hex(std::string& out, std::uint32_t code) {
    char buffer[8];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, code, 16);
    out.append(buffer, end);
}

// Characters that the error text escapes as \u{...}: controls, format
// characters, surrogates, private use, unassigned code points, line and
// paragraph separators and combining marks.
bool is_unprintable(std::uint32_t c) {
    struct Range {
        std::uint32_t first, last;
    };
    static constexpr Range ranges[] = {
#include "core/unprintable.inc"
    };
    const Range* after = std::upper_bound(std::begin(ranges), std::end(ranges), c,
                                          [](std::uint32_t code, const Range& r) { return code < r.first; });
    return after != std::begin(ranges) && c <= (after - 1)->last;
}

void append_quoted(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        std::size_t start = i;
        // Lone surrogates decode too: text made with surrogatepass carries them.
        const utf8::CodePoint point = utf8::decode(text, i);
        const std::uint32_t c = point.code;
        i += point.length;
        switch (c) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case '\0': out += "\\0"; continue;
            default: break;
        }
        if (is_unprintable(c)) {
            out += "\\u{";
            append_hex(out, c);
            out += '}';
        } else {
            out.append(text.substr(start, i - start));
        }
    }
    out += '"';
}

}  // namespace

ParseResult parse(std::string_view text) {
    // The common version, numbers between single dots, is read in one pass;
    // anything else, refusals included, takes the general way below.
    std::uint64_t numbers[8];
    if (const std::size_t count = dotted_numbers(text, numbers)) {
        Version version(count, 0);  // numbers need no copy of the text
        for (std::size_t i = 0; i < count; ++i) {
            version.parts()[i] = {numbers[i], 0, Version::StoredPart::Kind::Int, i + 1 < count ? '.' : 0u};
        }
        return version;
    }

    // The whole text is checked before anything is built, so that a refused
    // text costs no memory in proportion to its length; the first error from
    // the left wins, and TrailingSeparator only after every part has passed.
    VersionParseError error{};
    bool after_rest = false;
    std::size_t separators = 0, start = 0;
    bool alphanumeric = true;  // the current part, so far
    for (std::size_t i = 0; i < text.size(); ++i) {
        const CharClass kind = char_class(text[i]);
        if (kind != CharClass::Separator) {
            alphanumeric = alphanumeric && kind == CharClass::Alphanumeric;
            continue;
        }
        if (!check_part(text.substr(start, i - start), alphanumeric, after_rest, error)) return error;
        ++separators;
        start = i + 1;
        alphanumeric = true;
    }
    if (start == text.size()) return VersionParseError{Kind::TrailingSeparator, {}};
    if (!check_part(text.substr(start), alphanumeric, after_rest, error)) return error;

    // k separators make k + 1 stored parts, followed by the copy of the text.
    Version version(separators + 1, text.size());
    Version::StoredPart* part = version.parts();
    std::memcpy(part + separators + 1, text.data(), text.size());
    start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!is_separator(text[i])) continue;
        *part++ = stored_part(text.substr(start, i - start), start, text[i]);
        start = i + 1;
    }
    *part = stored_part(text.substr(start), start, '\0');
    return version;
}

Version::Version(std::size_t stored_parts, std::size_t text_size)
    : stored_parts_(stored_parts),
      block_size_(sizeof(Block) + stored_parts * sizeof(StoredPart) + text_size),
      block_(::new (memory_pool::allocate_node(block_size_)) Block{1}) {
    static_assert(sizeof(Block) % alignof(StoredPart) == 0, "the parts follow the count");
}

VersionPart Version::part(std::size_t index) const noexcept {
    const StoredPart& stored = parts()[index / 2];
    if (index % 2 == 1) return Separator{static_cast<char>(stored.separator)};
    switch (stored.kind) {
        case StoredPart::Kind::Int: return stored.value;
        case StoredPart::Kind::Str:
            return std::string_view(reinterpret_cast<const char*>(parts() + stored_parts_) + stored.value,
                                    stored.text_length);
        case StoredPart::Kind::Wildcard: return static_cast<WildcardKind>(stored.value);
    }
    platform::unreachable();
}

std::string to_text(const Version& version) {
    std::string out;
    lay_out_text(version, [&out](std::string_view piece) { out += piece; });
    return out;
}

std::string debug_text(const Version& version) {
    std::string out = "Version { parts: [";
    bool first = true;
    for (std::size_t i = 0; i < version.part_count(); ++i) {
        if (!first) out += ", ";
        first = false;
        std::visit(Overloaded{
                       [&](std::uint64_t number) { out += "Int(" + std::to_string(number) + ")"; },
                       [&](std::string_view text) { out += "Str(\"" + std::string(text) + "\")"; },
                       [&](WildcardKind wildcard) {
                           out += wildcard == WildcardKind::Single ? "Wildcard(Single)" : "Wildcard(Rest)";
                       },
                       [&](Separator separator) { out += std::string("Sep('") + separator.character + "')"; },
                   },
                   version.part(i));
    }
    out += "] }";
    return out;
}

std::string error_text(const VersionParseError& error) {
    switch (error.kind) {
        case Kind::TrailingSeparator: return "TrailingSeparator";
        case Kind::EmptyPart: return "EmptyPart";
        case Kind::PartAfterRest: return "PartAfterRest";
        case Kind::InvalidPart: {
            std::string out = "InvalidPart(";
            const std::size_t kept = text_cut::prefix_bytes(error.part, text_cut::text_bound);
            append_quoted(out, error.part.substr(0, kept));
            if (kept < error.part.size()) text_cut::append_cut_mark(out, text_cut::count_characters(error.part));
            out += ')';
            return out;
        }
    }
    platform::unreachable();
}

}  // namespace trelk::core::version
