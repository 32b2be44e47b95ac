#include "credentials/number_form.hpp"

#include <charconv>
#include <cstdlib>
#include <system_error>

#include "signed/json_text.hpp"

namespace vek::credentials {

record::Checked<void> append_number(std::string& out, std::string_view spelling) {
    // An integer of up to 15 digits is a double exactly and ECMAScript writes its digits as
    // they are; JSON allows no leading zeros, so only -0 needs a change.
    const std::string_view digits_only = spelling.substr(spelling.starts_with('-') ? 1 : 0);
    if (!digits_only.empty() && digits_only.size() <= 15 &&
        digits_only.find_first_not_of("0123456789") == std::string_view::npos) {
        out += spelling == "-0" ? std::string_view("0") : spelling;
        return {};
    }
    double value = 0;
    const auto [end, error] = std::from_chars(spelling.data(), spelling.data() + spelling.size(), value);
    if (error == std::errc::result_out_of_range) {
        // The reader has refused every fraction and exponent beyond a double, so only an
        // integer can be too large here; anything else fell below the smallest double.
        if (spelling.find_first_of(".eE") == std::string_view::npos) {
            return record::refuse("number " + record::quoted(spelling) + " is out of range");
        }
        value = 0;
    }
    if (value == 0) {
        out += '0';
        return {};
    }
    if (value < 0) {
        out += '-';
        value = -value;
    }
    // The shortest round-trip digits, as d.ddde±x; ECMAScript's choice of layout follows.
    char buffer[32];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string_view scientific(buffer, static_cast<std::size_t>(written.ptr - buffer));
    const std::size_t e = scientific.find('e');
    // The significant digits without the point, and n: the point goes after n of them.
    char digit_buffer[24];
    std::size_t k = 0;
    digit_buffer[k++] = scientific[0];
    for (std::size_t i = 2; i < e; ++i) digit_buffer[k++] = scientific[i];
    const std::string_view digits(digit_buffer, k);
    int exponent = 0;
    const std::string_view exponent_text = scientific.substr(e + 1 + (scientific[e + 1] == '+' ? 1 : 0));
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
    const int n = exponent + 1;
    const int length = static_cast<int>(k);
    if (length <= n && n <= 21) {
        out += digits;
        out.append(static_cast<std::size_t>(n - length), '0');
    } else if (0 < n && n <= 21) {
        out += digits.substr(0, static_cast<std::size_t>(n));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(n));
    } else if (-6 < n && n <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-n), '0');
        out += digits;
    } else {
        out += digits[0];
        if (length > 1) {
            out += '.';
            out += digits.substr(1);
        }
        out += n - 1 < 0 ? "e-" : "e+";
        char exponent_digits[8];
        const auto written_end = std::to_chars(exponent_digits, exponent_digits + sizeof exponent_digits, std::abs(n - 1)).ptr;
        out.append(exponent_digits, written_end);
    }
    return {};
}

}  // namespace vek::credentials
