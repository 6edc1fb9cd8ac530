// Versions such as 1.2.3, 2.0-rc1 or 3.*, split into typed parts: parsed and printed, never compared.
#pragma once

#include <atomic>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "core/memory_pool.hpp"
#include "core/overloaded.hpp"

namespace trelk::core::version {

enum class WildcardKind : std::uint8_t { Single, Rest };  // written * and >

struct Separator {
    char character;  // '.', '-' or '+'
    bool operator==(const Separator&) const = default;
};

// One part as seen from outside: Int, Str (ASCII letters and digits), Wildcard,
// Sep, in this order. A Str views text inside the Version it came from.
using VersionPart = std::variant<std::uint64_t, std::string_view, WildcardKind, Separator>;

struct VersionParseError {
    enum class Kind : std::uint8_t { TrailingSeparator, InvalidPart, EmptyPart, PartAfterRest };
    Kind kind;
    std::string_view part;  // for InvalidPart: the offending part, inside the text parsed
};

class Version;
using ParseResult = std::variant<Version, VersionParseError>;

class Version {
public:
    // A copy shares the block (docs/design.md, "Nodes"); the count of sharers
    // is atomic only where threads run at once (TRELK_FREE_THREADED).
    Version(const Version& other) noexcept
        : stored_parts_(other.stored_parts_), block_size_(other.block_size_), block_(other.block_) {
#ifdef TRELK_FREE_THREADED
        if (block_ != nullptr) std::atomic_ref<std::size_t>(block_->sharers).fetch_add(1, std::memory_order_relaxed);
#else
        if (block_ != nullptr) ++block_->sharers;
#endif
    }
    Version(Version&& other) noexcept
        : stored_parts_(std::exchange(other.stored_parts_, 0)),
          block_size_(std::exchange(other.block_size_, 0)),
          block_(std::exchange(other.block_, nullptr)) {}
    Version& operator=(const Version& other) noexcept { return *this = Version(other); }
    Version& operator=(Version&& other) noexcept {
        std::swap(block_, other.block_);
        std::swap(stored_parts_, other.stored_parts_);
        std::swap(block_size_, other.block_size_);
        return *this;
    }
    ~Version() {
#ifdef TRELK_FREE_THREADED
        if (block_ != nullptr && std::atomic_ref<std::size_t>(block_->sharers).fetch_sub(1, std::memory_order_acq_rel) == 1) {
            memory_pool::release_node(block_, block_size_);
        }
#else
        if (block_ != nullptr && --block_->sharers == 0) memory_pool::release_node(block_, block_size_);
#endif
    }

    // Non-separator parts and separators alternate, beginning and ending with a
    // non-separator part; a Rest wildcard can only come last.
    std::size_t part_count() const noexcept { return stored_parts_ == 0 ? 0 : 2 * stored_parts_ - 1; }
    VersionPart part(std::size_t index) const noexcept;

    // One pooled block holds the count of its sharers, then the non-separator
    // parts, each with the separator behind it, then a copy of the text, into
    // which the Str parts point. The layout of a part is known only where
    // versions are parsed.
    struct StoredPart;

private:
    struct Block {
        std::size_t sharers;
    };
    Version(std::size_t stored_parts, std::size_t text_size);
    StoredPart* parts() const noexcept { return reinterpret_cast<StoredPart*>(block_ + 1); }
    friend ParseResult parse(std::string_view text);

    std::size_t stored_parts_ = 0;  // none only once moved from
    std::size_t block_size_ = 0;    // the count, the parts, then the text
    Block* block_ = nullptr;
};

ParseResult parse(std::string_view text);
// The text form of `version`, handed to `piece` piece by piece; a Str part
// goes as a view of itself.
template <class Piece>
void lay_out_text(const Version& version, Piece&& piece) {
    for (std::size_t i = 0; i < version.part_count(); ++i) {
        std::visit(Overloaded{
                       [&](std::uint64_t number) {
                           char buffer[24];
                           auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, number);
                           piece(std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
                       },
                       [&](std::string_view text) { piece(text); },
                       [&](WildcardKind wildcard) { piece(wildcard == WildcardKind::Single ? "*" : ">"); },
                       [&](Separator separator) { piece(std::string_view(&separator.character, 1)); },
                   },
                   version.part(i));
    }
}
std::string to_text(const Version& version);
std::string debug_text(const Version& version);
// The refusal's text; an InvalidPart's part is cut as texts in messages are.
std::string error_text(const VersionParseError& error);

}  // namespace trelk::core::version
