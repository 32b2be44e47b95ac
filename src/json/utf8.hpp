// Well-formed UTF-8, as both the reader and the writer demand it.
#pragma once

#include <cstddef>
#include <string_view>

namespace vek::json {

// The length of the well-formed UTF-8 sequence at the start of `text` (its first byte is
// 0x80 or above), or 0: no overlong forms, no surrogates, nothing above U+10FFFF.
inline std::size_t utf8_sequence_length(std::string_view text) {
    const auto at = [&](std::size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    const unsigned lead = at(0);
    const auto continuation = [&](std::size_t i, unsigned low = 0x80, unsigned high = 0xbf) {
        return at(i) >= low && at(i) <= high;
    };
    if (lead >= 0xc2 && lead <= 0xdf) return continuation(1) ? 2 : 0;
    if (lead == 0xe0) return continuation(1, 0xa0) && continuation(2) ? 3 : 0;
    if (lead == 0xed) return continuation(1, 0x80, 0x9f) && continuation(2) ? 3 : 0;
    if (lead >= 0xe1 && lead <= 0xef) return continuation(1) && continuation(2) ? 3 : 0;
    if (lead == 0xf0) return continuation(1, 0x90) && continuation(2) && continuation(3) ? 4 : 0;
    if (lead >= 0xf1 && lead <= 0xf3) return continuation(1) && continuation(2) && continuation(3) ? 4 : 0;
    if (lead == 0xf4) return continuation(1, 0x80, 0x8f) && continuation(2) && continuation(3) ? 4 : 0;
    return 0;
}

}  // namespace vek::json
