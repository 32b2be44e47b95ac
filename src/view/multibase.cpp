#include "view/multibase.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "engine/hex.hpp"

namespace vek::view {
namespace {

constexpr std::string_view kAlphabet = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

// The number is held in limbs of five base-58 digits (58^5 < 2^32) or of four bytes, so that a
// signature converts in a few hundred steps rather than one per digit and byte.
constexpr std::uint64_t kDigitLimb = 58ull * 58 * 58 * 58 * 58;
constexpr std::uint64_t kByteLimb = 1ull << 32;

constexpr std::array<std::int8_t, 256> digit_values() {
    std::array<std::int8_t, 256> values{};
    values.fill(-1);
    for (std::size_t i = 0; i < kAlphabet.size(); ++i) values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    return values;
}
constexpr auto kDigitValues = digit_values();

// Multiplies the little-endian limbs (each below `base`) by `factor` and adds `carry`.
void multiply_add(std::vector<std::uint32_t>& limbs, std::uint64_t base, std::uint64_t factor, std::uint64_t carry) {
    for (std::uint32_t& limb : limbs) {
        carry += limb * factor;
        limb = static_cast<std::uint32_t>(carry % base);
        carry /= base;
    }
    for (; carry != 0; carry /= base) limbs.push_back(static_cast<std::uint32_t>(carry % base));
}


bool is_lower_hex(std::string_view text) {
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return text.size() % 2 == 0;
}

}  // namespace

std::string base58btc(std::span<const std::uint8_t> bytes) {
    const std::size_t zeros = static_cast<std::size_t>(std::ranges::find_if(bytes, [](auto b) { return b != 0; }) -
                                                       bytes.begin());
    std::vector<std::uint32_t> limbs;  // base 58^5, little-endian
    limbs.reserve(bytes.size() / 3 + 1);
    const std::span<const std::uint8_t> rest = bytes.subspan(zeros);
    // The leading bytes that do not fill a group of four come first, as a shorter group.
    std::size_t at = 0;
    for (std::size_t group = rest.size() % 4 == 0 ? 4 : rest.size() % 4; at < rest.size(); at += group, group = 4) {
        std::uint64_t value = 0;
        for (std::size_t k = 0; k < group; ++k) value = value << 8 | rest[at + k];
        multiply_add(limbs, kDigitLimb, 1ull << (8 * group), value);
    }
    std::string digits;
    for (const std::uint32_t limb : limbs) {
        std::uint32_t value = limb;
        for (int k = 0; k < 5; ++k, value /= 58) digits += kAlphabet[value % 58];
    }
    while (!digits.empty() && digits.back() == kAlphabet[0]) digits.pop_back();  // the top limb's zeros
    std::string text(zeros, kAlphabet[0]);
    text.append(digits.rbegin(), digits.rend());
    return text;
}

std::optional<std::vector<std::uint8_t>> base58btc_decode(std::string_view text) {
    const std::size_t ones = std::min(text.find_first_not_of(kAlphabet[0]), text.size());
    std::vector<std::uint32_t> limbs;  // base 2^32, little-endian
    limbs.reserve(text.size() / 5 + 1);
    const std::string_view rest = text.substr(ones);
    std::size_t at = 0;
    for (std::size_t group = rest.size() % 5 == 0 ? 5 : rest.size() % 5; at < rest.size(); at += group, group = 5) {
        std::uint64_t value = 0, factor = 1;
        for (std::size_t k = 0; k < group; ++k) {
            const int digit = kDigitValues[static_cast<unsigned char>(rest[at + k])];
            if (digit < 0) return std::nullopt;
            value = value * 58 + static_cast<std::uint64_t>(digit);
            factor *= 58;
        }
        multiply_add(limbs, kByteLimb, factor, value);
    }
    std::vector<std::uint8_t> bytes;  // big-endian, without leading zeros
    for (auto limb = limbs.rbegin(); limb != limbs.rend(); ++limb) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            const auto byte = static_cast<std::uint8_t>(*limb >> shift);
            if (bytes.empty() && byte == 0) continue;
            bytes.push_back(byte);
        }
    }
    std::vector<std::uint8_t> out(ones, 0);
    out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

Checked<std::string> multibase_of_hex(std::string_view hex) {
    if (!is_lower_hex(hex)) return refuse("multibase: the bytes must be lower-case hex digits, two a byte");
    std::vector<std::uint8_t> bytes(hex.size() / 2);
    engine::decode_hex_exact(hex, bytes);  // checked above: it cannot fail
    return "z" + base58btc(bytes);
}

}  // namespace vek::view
