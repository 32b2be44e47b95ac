#include "credentials/base58.hpp"

#include <algorithm>

namespace vek::credentials {
namespace {

constexpr std::string_view kAlphabet = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

int digit_value(char c) {
    const std::size_t at = kAlphabet.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

}  // namespace

std::string base58_encode(std::span<const std::uint8_t> bytes) {
    const std::size_t zeros = static_cast<std::size_t>(std::ranges::find_if(bytes, [](auto b) { return b != 0; }) -
                                                       bytes.begin());
    // Little-endian base-58 digits of the number the bytes spell, big-endian.
    std::vector<std::uint8_t> digits;
    digits.reserve(bytes.size() * 138 / 100 + 1);
    for (const std::uint8_t byte : bytes.subspan(zeros)) {
        unsigned carry = byte;
        for (std::uint8_t& digit : digits) {
            carry += static_cast<unsigned>(digit) << 8;
            digit = static_cast<std::uint8_t>(carry % 58);
            carry /= 58;
        }
        for (; carry != 0; carry /= 58) digits.push_back(static_cast<std::uint8_t>(carry % 58));
    }
    std::string text(zeros, '1');
    for (auto digit = digits.rbegin(); digit != digits.rend(); ++digit) text += kAlphabet[*digit];
    return text;
}

std::optional<std::vector<std::uint8_t>> base58_decode(std::string_view text) {
    const std::size_t ones = std::min(text.find_first_not_of('1'), text.size());
    // Little-endian bytes of the number the digits spell.
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() * 733 / 1000 + 1);
    for (const char c : text.substr(ones)) {
        const int value = digit_value(c);
        if (value < 0) return std::nullopt;
        unsigned carry = static_cast<unsigned>(value);
        for (std::uint8_t& byte : bytes) {
            carry += static_cast<unsigned>(byte) * 58;
            byte = static_cast<std::uint8_t>(carry & 0xff);
            carry >>= 8;
        }
        for (; carry != 0; carry >>= 8) bytes.push_back(static_cast<std::uint8_t>(carry & 0xff));
    }
    std::vector<std::uint8_t> out(ones, 0);
    out.insert(out.end(), bytes.rbegin(), bytes.rend());
    return out;
}

}  // namespace vek::credentials
