#include "view/multibase.hpp"

#include <vector>

#include "engine/hex.hpp"

namespace vek::view {
namespace {

constexpr char kAlphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

bool is_lower_hex(std::string_view text) {
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return text.size() % 2 == 0;
}

}  // namespace

std::string base58btc(std::span<const std::uint8_t> bytes) {
    std::size_t zeros = 0;
    while (zeros < bytes.size() && bytes[zeros] == 0) ++zeros;
    // The number in base 58, least significant digit first; each byte multiplies it by 256.
    std::vector<std::uint8_t> digits;
    digits.reserve(bytes.size() * 138 / 100 + 1);
    for (const std::uint8_t byte : bytes.subspan(zeros)) {
        unsigned carry = byte;
        for (std::uint8_t& digit : digits) {
            carry += static_cast<unsigned>(digit) << 8;
            digit = static_cast<std::uint8_t>(carry % 58);
            carry /= 58;
        }
        while (carry != 0) {
            digits.push_back(static_cast<std::uint8_t>(carry % 58));
            carry /= 58;
        }
    }
    std::string text(zeros, '1');
    for (auto digit = digits.rbegin(); digit != digits.rend(); ++digit) text.push_back(kAlphabet[*digit]);
    return text;
}

Checked<std::string> multibase_of_hex(std::string_view hex) {
    if (!is_lower_hex(hex)) return refuse("multibase: the bytes must be lower-case hex digits, two a byte");
    std::vector<std::uint8_t> bytes(hex.size() / 2);
    engine::decode_hex_exact(hex, bytes);  // checked above: it cannot fail
    return "z" + base58btc(bytes);
}

}  // namespace vek::view
