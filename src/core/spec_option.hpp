// The typed value that a package option or a literal holds.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "core/overloaded.hpp"
#include "core/version.hpp"

namespace trelk::core::spec_option {

// Bool, Int, Float, Str, Version, in this order.
using SpecOptionValue = std::variant<bool, std::int64_t, double, std::string, version::Version>;

// The shortest decimal that reads back as the same double, written positionally.
void append_float_text(std::string& out, double value);

// The text form of `value`, handed to `piece` piece by piece: a text or a
// version goes as views of itself, so that a caller may copy only part of it.
template <class Piece>
void lay_out_value_text(const SpecOptionValue& value, Piece&& piece) {
    visit_every(Overloaded{
                   [&](bool truth) { piece(truth ? "true" : "false"); },
                   [&](std::int64_t integer) {
                       char buffer[24];
                       auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, integer);
                       piece(std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
                   },
                   [&](double real) {
                       std::string text;
                       append_float_text(text, real);
                       piece(std::string_view(text));
                   },
                   [&](const std::string& text) { piece(std::string_view(text)); },
                   [&](const version::Version& version) { version::lay_out_text(version, piece); },
               },
               value);
}

std::string spec_option_value_text(const SpecOptionValue& value);

}  // namespace trelk::core::spec_option
