// The text form of option values.
#include "core/spec_option.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace trelk::core::spec_option {

// 1e21 is 1 and twenty-one zeros, 1.5e-7 is 0.00000015.
void append_float_text(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    // The shortest round-trip digits come in scientific form ("d.ddde+XX");
    // they are then laid out positionally.
    char buffer[32];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string_view form(buffer, static_cast<std::size_t>(end - buffer));
    std::size_t e = form.find('e');
    int exponent = 0;
    std::from_chars(form.data() + e + (form[e + 1] == '+' ? 2 : 1), form.data() + form.size(), exponent);
    std::string_view mantissa = form.substr(0, e);
    if (mantissa.front() == '-') {
        out += '-';
        mantissa.remove_prefix(1);
    }
    std::string digits;
    for (char c : mantissa) {
        if (c != '.') digits += c;
    }
    auto count = static_cast<int>(digits.size());
    if (exponent >= count - 1) {
        out += digits;
        out.append(static_cast<std::size_t>(exponent - (count - 1)), '0');
    } else if (exponent >= 0) {
        out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
        out += '.';
        out.append(digits, static_cast<std::size_t>(exponent + 1));
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    }
}

std::string spec_option_value_text(const SpecOptionValue& value) {
    std::string out;
    lay_out_value_text(value, [&out](std::string_view piece) { out += piece; });
    return out;
}

}  // namespace trelk::core::spec_option
