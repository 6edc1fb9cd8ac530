// Texts of any length in messages, cut at `text_bound` characters (code points).
//
// A name, a literal or the text form of shared subtrees goes in only up to the
// cut, followed by its mark: the memory a message needs is bounded by the cut.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace trelk::core::text_cut {

inline constexpr std::uint64_t text_bound = std::uint64_t{64} << 20;

// Characters of UTF-8 text: every byte that does not continue a sequence.
inline bool starts_character(char c) noexcept { return (static_cast<unsigned char>(c) & 0xc0) != 0x80; }
inline std::uint64_t count_characters(std::string_view text) noexcept {
    return static_cast<std::uint64_t>(std::count_if(text.begin(), text.end(), starts_character));
}

// The bytes that the first `keep` characters of `text` take: all of them when
// it has no more; only those bytes are read.
std::size_t prefix_bytes(std::string_view text, std::uint64_t keep) noexcept;

// Appends the mark of a text cut short of its `length` characters:
// "… (N characters in all)", or "… (at least 18446744073709551615 characters
// in all)" for a length that saturated there.
void append_cut_mark(std::string& out, std::uint64_t length);

}  // namespace trelk::core::text_cut
