#include "core/version.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <iterator>

#include "core/utf8.hpp"

namespace trelk::package::version {

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
bool is_digit(char c) { return c >= '0' && c <= '9'; }

using Parts = decltype(Version::parts);
using Kind = VersionParseError::Kind;

// `*` or `>` alone.
bool is_wildcard(std::string_view text) { return text.size() == 1 && (text[0] == '*' || text[0] == '>'); }

// Whether one part between separators (`alphanumeric` when all its bytes are
// ASCII letters and digits) is refused, and why; allocates nothing but the
// copy of an invalid part. The rest flag is tested before anything else,
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
    error = {Kind::InvalidPart, std::string(text)};
    return false;
}

// Appends a part that check_part accepted.
void append_part(Parts& parts, std::string_view text) {
    if (is_wildcard(text)) {
        parts.emplace_back(text[0] == '>' ? WildcardKind::Rest : WildcardKind::Single);
        return;
    }
    // One pass: the value while the text is all digits and fits 64 bits.
    std::uint64_t value = 0;
    bool number = true;
    for (char c : text) {
        number = number && is_digit(c) && !__builtin_mul_overflow(value, 10, &value) &&
                 !__builtin_add_overflow(value, static_cast<std::uint64_t>(c - '0'), &value);
    }
    if (number) {
        parts.emplace_back(value);
    } else {  // beyond 64 bits, or letters: kept as text
        parts.emplace_back(std::string(text));
    }
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

    // k separators make 2k + 1 parts: one allocation for all of them.
    Version version;
    version.parts.reserve(2 * separators + 1);
    start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!is_separator(text[i])) continue;
        append_part(version.parts, text.substr(start, i - start));
        version.parts.emplace_back(Separator{text[i]});
        start = i + 1;
    }
    append_part(version.parts, text.substr(start));
    return version;
}

void append_text(std::string& out, const Version& version) {
    for (const VersionPart& part : version.parts) {
        switch (part.index()) {
            case 0: {
                char buffer[24];
                auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, std::get<0>(part));
                out.append(buffer, end);
                break;
            }
            case 1: out += std::get<1>(part); break;
            case 2: out += std::get<2>(part) == WildcardKind::Single ? '*' : '>'; break;
            default: out += std::get<3>(part).character; break;
        }
    }
}

std::string to_text(const Version& version) {
    std::string out;
    append_text(out, version);
    return out;
}

std::string debug_text(const Version& version) {
    std::string out = "Version { parts: [";
    bool first = true;
    for (const VersionPart& part : version.parts) {
        if (!first) out += ", ";
        first = false;
        switch (part.index()) {
            case 0: out += "Int(" + std::to_string(std::get<0>(part)) + ")"; break;
            case 1: out += "Str(\"" + std::get<1>(part) + "\")"; break;
            case 2: out += std::get<2>(part) == WildcardKind::Single ? "Wildcard(Single)" : "Wildcard(Rest)"; break;
            default: out += std::string("Sep('") + std::get<3>(part).character + "')"; break;
        }
    }
    out += "] }";
    return out;
}

std::string error_text(const VersionParseError& error) {
    switch (error.kind) {
        case Kind::TrailingSeparator: return "TrailingSeparator";
        case Kind::EmptyPart: return "EmptyPart";
        case Kind::PartAfterRest: return "PartAfterRest";
        case Kind::InvalidPart: break;
    }
    std::string out = "InvalidPart(";
    append_quoted(out, error.part);
    out += ')';
    return out;
}

}  // namespace trelk::package::version
