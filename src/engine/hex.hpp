// Hexadecimal text of key material: produced in lower case, accepted in any case.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vek::engine {

// Two lower-case digits per byte, high nibble first.
std::string to_hex(std::span<const std::uint8_t> bytes);

// True when `text` has even length and holds only 0-9, a-f and A-F.
bool is_hex(std::string_view text);

// Decodes `text` into exactly `out.size()` bytes. False (and `out` untouched only up to
// the first bad digit) when the text is not hex or has another length.
bool decode_hex_exact(std::string_view text, std::span<std::uint8_t> out);

}  // namespace vek::engine
