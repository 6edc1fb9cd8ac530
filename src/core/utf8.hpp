// UTF-8, decoded one code point at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace trelk::core::utf8 {

struct CodePoint {
    std::uint32_t code;  // a byte that begins no complete sequence stands for itself
    std::size_t length;  // the bytes it takes
    bool valid;          // complete, in its shortest form, and a scalar value (no surrogate)
};

// The code point that begins at byte `i` of `text`.
inline CodePoint decode(std::string_view text, std::size_t i) noexcept {
    auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = byte < 0x80 ? 1 : (byte >> 5) == 6 ? 2 : (byte >> 4) == 14 ? 3 : (byte >> 3) == 30 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return {byte, 1, false};
    std::uint32_t code = length == 1 ? byte : byte & (0x7fu >> length);
    bool valid = true;
    for (std::size_t k = 1; k < length; ++k) {
        auto next = static_cast<unsigned char>(text[i + k]);
        valid = valid && (next & 0xc0) == 0x80;
        code = (code << 6) | (next & 0x3fu);
    }
    static constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    valid = valid && code >= least[length] && code <= 0x10ffff && (code < 0xd800 || code > 0xdfff);
    return {code, length, valid};
}

}  // namespace trelk::core::utf8
