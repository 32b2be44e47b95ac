// The runs of bytes in a JSON string that need no attention, found many bytes at a time:
// most of a document's text is such runs, and both reading and writing skip them.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vek::json {

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

// plain_run, eight bytes at a time.
inline std::size_t plain_run_by_words(std::string_view text, bool ascii_only) {
    if constexpr (std::endian::native == std::endian::little) {
        // The lowest byte a test marks is always one it looks for (a borrow only marks bytes
        // above it), so the first special byte of a word is found without a loop.
        const auto first = [](std::uint64_t special) { return static_cast<std::size_t>(std::countr_zero(special) >> 3); };
        std::size_t i = 0;
        for (std::uint64_t word; i + 8 <= text.size(); i += 8) {
            std::memcpy(&word, text.data() + i, 8);
            if (const std::uint64_t special = detail::any_special(word, ascii_only); special != 0) return i + first(special);
        }
        if (i == text.size()) return i;
        if (text.size() >= 8) {
            // The last eight bytes, some of them seen already: those are plain, so what is
            // found lies among the others.
            std::uint64_t word;
            std::memcpy(&word, text.data() + text.size() - 8, 8);
            const std::uint64_t special = detail::any_special(word, ascii_only);
            return special != 0 ? text.size() - 8 + first(special) : text.size();
        }
        while (i < text.size() && !detail::is_special(static_cast<unsigned char>(text[i]), ascii_only)) ++i;
        return i;
    } else {
        std::size_t i = 0;
        for (std::uint64_t word; i + 8 <= text.size(); i += 8) {
            std::memcpy(&word, text.data() + i, 8);
            if (detail::any_special(word, ascii_only) != 0) break;
        }
        while (i < text.size() && !detail::is_special(static_cast<unsigned char>(text[i]), ascii_only)) ++i;
        return i;
    }
}

}  // namespace detail

// The number of bytes at the start of `text` that are neither control characters, quotes
// nor backslashes, nor (when `ascii_only`) bytes of non-ASCII characters.
inline std::size_t plain_run(std::string_view text, bool ascii_only) {
#if defined(__SSE2__)
    if (ascii_only) {
        // Sixteen bytes at a time. Compared as signed bytes, every byte from 0x80 on is below
        // 0x20 too, so one comparison finds both control characters and non-ASCII bytes.
        const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), space = _mm_set1_epi8(0x20);
        std::size_t i = 0;
        for (; i + 16 <= text.size(); i += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
            const __m128i special = _mm_or_si128(_mm_cmplt_epi8(bytes, space),
                                                 _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)));
            if (const int found = _mm_movemask_epi8(special); found != 0) {
                return i + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(found)));
            }
        }
        return i + detail::plain_run_by_words(text.substr(i), true);
    }
#endif
    return detail::plain_run_by_words(text, ascii_only);
}

}  // namespace vek::json
