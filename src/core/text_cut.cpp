// Cutting texts at a number of characters, and the mark of the cut.
#include "core/text_cut.hpp"

#include <limits>

namespace trelk::core::text_cut {

std::size_t prefix_bytes(std::string_view text, std::uint64_t keep) noexcept {
    if (text.size() <= keep) return text.size();  // no more bytes, so no more characters
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (starts_character(text[i]) && keep-- == 0) return i;
    }
    return text.size();
}

void append_cut_mark(std::string& out, std::uint64_t length) {
    out += "\u2026 (";
    if (length == std::numeric_limits<std::uint64_t>::max()) out += "at least ";
    out += std::to_string(length);
    out += " characters in all)";
}

}  // namespace trelk::core::text_cut
