#include "credentials/number_form.hpp"

#include <algorithm>
#include <charconv>
#include <string>
#include <cstdlib>
#include <optional>
#include <system_error>

#include "json/strings.hpp"

namespace vek::credentials {

namespace {

// Up to 15 significant decimal digits always read back from a double as themselves, so the
// shortest digits of such a number are its own.
constexpr std::size_t kExactDigits = 15;

// ECMAScript's form of `spelling` (a JSON number) when it is the spelling itself or a start of
// it: an integer of up to 15 digits, or a plain decimal of up to 15 significant digits that,
// below 1, starts with at most five zeros, each without the zeros that end its fraction
// (5.0 is 5); zero in any spelling is "0". Nothing for any other number.
std::optional<std::string_view> spelled_form(std::string_view spelling) {
    const std::size_t sign = spelling.starts_with('-') ? 1 : 0;
    const std::string_view magnitude = spelling.substr(sign);
    const std::size_t point = magnitude.find('.');
    const std::string_view whole = magnitude.substr(0, point);
    if (whole.empty() || whole.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    std::string_view fraction = point == std::string_view::npos ? std::string_view() : magnitude.substr(point + 1);
    if (fraction.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    fraction = fraction.substr(0, fraction.find_last_not_of('0') + 1);
    if (fraction.empty()) {
        if (whole == "0") return std::string_view("0");
        if (whole.size() > kExactDigits) return std::nullopt;
        return spelling.substr(0, sign + whole.size());
    }
    if (whole == "0") {
        const std::size_t zeros = fraction.find_first_not_of('0');
        if (zeros > 5 || fraction.size() - zeros > kExactDigits) return std::nullopt;
    } else if (whole.size() + fraction.size() > kExactDigits) {
        return std::nullopt;
    }
    return spelling.substr(0, sign + whole.size() + 1 + fraction.size());
}

}  // namespace

// Appends into a NumberBuffer, which holds every form (at most 25 characters).
class Form {
public:
    explicit Form(NumberBuffer& buffer) : buffer_(buffer) {}
    void operator+=(std::string_view text) {
        std::copy_n(text.data(), text.size(), buffer_.data() + size_);
        size_ += text.size();
    }
    void operator+=(char c) { buffer_[size_++] = c; }
    void zeros(int count) {
        std::fill_n(buffer_.data() + size_, count, '0');
        size_ += static_cast<std::size_t>(count);
    }
    std::string_view text() const { return {buffer_.data(), size_}; }

private:
    NumberBuffer& buffer_;
    std::size_t size_ = 0;
};

Checked<std::string_view> number_form(std::string_view spelling, NumberBuffer& buffer) {
    if (const auto spelled = spelled_form(spelling)) return *spelled;
    double value = 0;
    const auto [end, error] = std::from_chars(spelling.data(), spelling.data() + spelling.size(), value);
    if (error == std::errc::result_out_of_range) {
        // The reader has refused every fraction and exponent beyond a double, so only an
        // integer can be too large here; anything else fell below the smallest double.
        if (spelling.find_first_of(".eE") == std::string_view::npos) {
            return refuse("number " + json::quoted(spelling) + " is out of range");
        }
        value = 0;
    }
    if (value == 0) return std::string_view("0");
    Form out(buffer);
    if (value < 0) {
        out += '-';
        value = -value;
    }
    // The shortest round-trip digits, as d.ddde±x; ECMAScript's choice of layout follows.
    char scientific_buffer[32];
    const auto written = std::to_chars(scientific_buffer, scientific_buffer + sizeof scientific_buffer, value,
                                       std::chars_format::scientific);
    const std::string_view scientific(scientific_buffer, static_cast<std::size_t>(written.ptr - scientific_buffer));
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
        out.zeros(n - length);
    } else if (0 < n && n <= 21) {
        out += digits.substr(0, static_cast<std::size_t>(n));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(n));
    } else if (-6 < n && n <= 0) {
        out += "0.";
        out.zeros(-n);
        out += digits;
    } else {
        out += digits[0];
        if (length > 1) {
            out += '.';
            out += digits.substr(1);
        }
        out += n - 1 < 0 ? "e-" : "e+";
        char exponent_digits[8];
        const auto exponent_end =
            std::to_chars(exponent_digits, exponent_digits + sizeof exponent_digits, std::abs(n - 1)).ptr;
        out += std::string_view(exponent_digits, static_cast<std::size_t>(exponent_end - exponent_digits));
    }
    return out.text();
}

}  // namespace vek::credentials
