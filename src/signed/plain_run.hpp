// The runs of bytes in a JSON string that need no attention, found eight bytes at a time:
// most of a document's text is such runs, and both reading and writing skip them.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vek::record {

namespace detail {

constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHighBits = 0x8080808080808080;

// Non-zero when a byte of `word` is zero.
constexpr std::uint64_t any_zero(std::uint64_t word) { return (word - kOnes) & ~word & kHighBits; }

// Non-zero when a byte of `word` is below 0x20, is a quote or a backslash, or (when
// `ascii_only`) has its high bit set.
constexpr std::uint64_t any_special(std::uint64_t word, bool ascii_only) {
    const std::uint64_t control = (word - kOnes * 0x20) & ~word & kHighBits;
    return control | any_zero(word ^ (kOnes * '"')) | any_zero(word ^ (kOnes * '\\')) |
           (ascii_only ? word & kHighBits : 0);
}

constexpr bool is_special(unsigned char byte, bool ascii_only) {
    return byte < 0x20 || byte == '"' || byte == '\\' || (ascii_only && byte >= 0x80);
}

}  // namespace detail

// The number of bytes at the start of `text` that are neither control characters, quotes
// nor backslashes, nor (when `ascii_only`) bytes of non-ASCII characters.
inline std::size_t plain_run(std::string_view text, bool ascii_only) {
    std::size_t i = 0;
    for (std::uint64_t word; i + 8 <= text.size(); i += 8) {
        std::memcpy(&word, text.data() + i, 8);
        if (detail::any_special(word, ascii_only) != 0) break;
    }
    while (i < text.size() && !detail::is_special(static_cast<unsigned char>(text[i]), ascii_only)) ++i;
    return i;
}

}  // namespace vek::record
