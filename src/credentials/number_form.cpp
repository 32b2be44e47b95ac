#include "credentials/number_form.hpp"

#include <charconv>
#include <cstdlib>
#include <system_error>

#include "signed/json_text.hpp"

namespace vek::credentials {

record::Checked<void> append_number(std::string& out, std::string_view spelling) {
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
    std::string digits(1, scientific[0]);
    if (e > 1) digits.append(scientific.substr(2, e - 2));
    const int n = std::atoi(std::string(scientific.substr(e + 1)).c_str()) + 1;  // the point after n digits
    const int k = static_cast<int>(digits.size());
    if (k <= n && n <= 21) {
        out += digits;
        out.append(static_cast<std::size_t>(n - k), '0');
    } else if (0 < n && n <= 21) {
        out.append(digits, 0, static_cast<std::size_t>(n));
        out += '.';
        out.append(digits, static_cast<std::size_t>(n));
    } else if (-6 < n && n <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-n), '0');
        out += digits;
    } else {
        out += digits[0];
        if (k > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += n - 1 < 0 ? "e-" : "e+";
        out += std::to_string(std::abs(n - 1));
    }
    return {};
}

}  // namespace vek::credentials
