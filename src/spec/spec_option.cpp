#include "spec/spec_option.hpp"

#include <charconv>
#include <cmath>

namespace trelk::spec::spec_option {

namespace {

// The shortest decimal that reads back as the same double, written
// positionally: 1e21 is 1 and twenty-one zeros, 1.5e-7 is 0.00000015.
void append_float_text(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    char buffer[400];  // the longest fixed form of a double has 327 characters
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    out.append(buffer, end);
}

}  // namespace

void append_spec_option_value_text(std::string& out, const SpecOptionValue& value) {
    switch (value.index()) {
        case 0: out += std::get<0>(value) ? "true" : "false"; break;
        case 1: {
            char buffer[24];
            auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, std::get<1>(value));
            out.append(buffer, end);
            break;
        }
        case 2: append_float_text(out, std::get<2>(value)); break;
        case 3: out += std::get<3>(value); break;
        default: package::version::append_text(out, std::get<4>(value)); break;
    }
}

std::string spec_option_value_text(const SpecOptionValue& value) {
    std::string out;
    append_spec_option_value_text(out, value);
    return out;
}

}  // namespace trelk::spec::spec_option
