// Base58 in the Bitcoin alphabet, as multibase writes it after the prefix "z".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vek::credentials {

std::string base58_encode(std::span<const std::uint8_t> bytes);

// Nothing for a text with a character outside the alphabet.
std::optional<std::vector<std::uint8_t>> base58_decode(std::string_view text);

}  // namespace vek::credentials
