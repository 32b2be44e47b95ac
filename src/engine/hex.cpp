#include "engine/hex.hpp"

#include <algorithm>

namespace vek::engine {
namespace {

constexpr char kDigits[] = "0123456789abcdef";

}  // namespace

std::string to_hex(std::span<const std::uint8_t> bytes) {
    std::string text(bytes.size() * 2, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 0x0f];
    }
    return text;
}

bool is_hex(std::string_view text) {
    return text.size() % 2 == 0 && std::ranges::all_of(text, [](char c) { return hex_digit_value(c) >= 0; });
}

bool decode_hex_exact(std::string_view text, std::span<std::uint8_t> out) {
    if (text.size() != out.size() * 2) return false;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int high = hex_digit_value(text[2 * i]);
        const int low = hex_digit_value(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<std::uint8_t>((high << 4) | low);
    }
    return true;
}

}  // namespace vek::engine
