// Multibase text of bytes in base58btc ("z"): how DID tools read Ed25519 keys
// ("z" + base58btc of the multicodec prefix 0xed 0x01 and the 32 key bytes).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/refusal.hpp"

namespace vek::view {

// The base58btc digits of `bytes`: each leading zero byte is a "1" of its own.
std::string base58btc(std::span<const std::uint8_t> bytes);

// The bytes of base58btc digits; nothing for a text with a character outside the alphabet.
std::optional<std::vector<std::uint8_t>> base58btc_decode(std::string_view text);

// "z" and the base58btc of the bytes that `hex` (lower-case hex digits, an even count) writes.
Checked<std::string> multibase_of_hex(std::string_view hex);

}  // namespace vek::view
