#include "json/strings.hpp"

#include <array>
#include <cstdint>
#include <utility>

namespace vek::json {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void append_unicode_escape(std::string& out, std::uint32_t unit) {
    const char escape[] = {'\\', 'u', kHexDigits[unit >> 12 & 15], kHexDigits[unit >> 8 & 15],
                           kHexDigits[unit >> 4 & 15], kHexDigits[unit & 15]};
    out.append(escape, sizeof escape);
}

struct Escapes {
    std::array<std::array<char, 6>, 0x60> text{};
    std::array<std::uint8_t, 0x60> size{};
};

constexpr Escapes kEscapes = [] {
    Escapes escapes;
    for (std::uint32_t byte = 0; byte < 0x20; ++byte) {
        escapes.text[byte] = {'\\', 'u', '0', '0', kHexDigits[byte >> 4], kHexDigits[byte & 15]};
        escapes.size[byte] = 6;
    }
    for (const auto& [byte, letter] : {std::pair{'"', '"'}, {'\\', '\\'}, {'\b', 'b'}, {'\t', 't'}, {'\n', 'n'},
                                      {'\f', 'f'}, {'\r', 'r'}}) {
        escapes.text[static_cast<unsigned char>(byte)] = {'\\', letter};
        escapes.size[static_cast<unsigned char>(byte)] = 2;
    }
    return escapes;
}();

// The code point that starts at `text[i]` and its length in bytes. The texts escaped are
// UTF-8 (a lone surrogate in its three bytes); a sequence cut short by the end of the text counts as one byte of U+FFFD
// rather than a read past it.
std::pair<std::uint32_t, std::size_t> decode(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(text[i + k])); };
    const std::uint32_t lead = byte(0);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
    if (i + length > text.size()) return {0xfffd, 1};
    switch (length) {
        case 1: return {lead, 1};
        case 2: return {(lead & 0x1f) << 6 | (byte(1) & 0x3f), 2};
        case 3: return {(lead & 0x0f) << 12 | (byte(1) & 0x3f) << 6 | (byte(2) & 0x3f), 3};
        default: return {(lead & 0x07) << 18 | (byte(1) & 0x3f) << 12 | (byte(2) & 0x3f) << 6 | (byte(3) & 0x3f), 4};
    }
}

}  // namespace

std::string_view short_escape(unsigned char byte) {
    if (byte >= kEscapes.size.size() || kEscapes.size[byte] == 0) return {};
    return {kEscapes.text[byte].data(), kEscapes.size[byte]};
}

std::size_t append_ascii_escaped(std::string& out, std::string_view text, std::size_t limit) {
    std::size_t characters = 0, i = 0;
    for (; i < text.size() && characters < limit; ++characters) {
        const auto [code, length] = decode(text, i);
        i += length;
        if (code < 0x80 && code != 0x7f) {
            const std::string_view escape = short_escape(static_cast<unsigned char>(code));
            if (escape.empty()) {
                out += static_cast<char>(code);
            } else {
                out += escape;
            }
        } else if (code < 0x10000) {
            append_unicode_escape(out, code);
        } else {
            append_unicode_escape(out, 0xd800 + ((code - 0x10000) >> 10));
            append_unicode_escape(out, 0xdc00 + ((code - 0x10000) & 0x3ff));
        }
    }
    return i;
}

std::string quoted(std::string_view text, std::size_t limit) {
    std::string out = "\"";
    const std::size_t written = append_ascii_escaped(out, text, limit);
    out += '"';
    if (written < text.size()) out += "...";
    return out;
}

}  // namespace vek::json
