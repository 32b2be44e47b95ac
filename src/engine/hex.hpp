// Hexadecimal text of key material: produced in lower case, accepted in any case.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vek::engine {

// The value of one hex digit of either case, or -1.
constexpr int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// N bytes written as 2N hex digits in the source: tables of constants. A malformed
// literal does not compile.
template <std::size_t N>
consteval std::array<std::uint8_t, N> hex_constant(std::string_view hex) {
    if (hex.size() != 2 * N) throw "hex_constant: wrong length";
    std::array<std::uint8_t, N> bytes{};
    for (std::size_t i = 0; i < N; ++i) {
        const int high = hex_digit_value(hex[2 * i]), low = hex_digit_value(hex[2 * i + 1]);
        if (high < 0 || low < 0) throw "hex_constant: not a hex digit";
        bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return bytes;
}

// Two lower-case digits per byte, high nibble first.
std::string to_hex(std::span<const std::uint8_t> bytes);

// True when `text` has even length and holds only 0-9, a-f and A-F.
bool is_hex(std::string_view text);

// Decodes `text` into exactly `out.size()` bytes. False (and `out` untouched only up to
// the first bad digit) when the text is not hex or has another length.
bool decode_hex_exact(std::string_view text, std::span<std::uint8_t> out);

}  // namespace vek::engine
