#include "json/strings.hpp"

#include "json/plain_run.hpp"
#include "json/utf8.hpp"

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

// Appends the escape of a quote, a backslash or a control character; false for any other byte.
bool append_short_escape(std::string& out, unsigned char byte) {
    switch (byte) {
        case '"': out += "\\\""; return true;
        case '\\': out += "\\\\"; return true;
        case '\b': out += "\\b"; return true;
        case '\t': out += "\\t"; return true;
        case '\n': out += "\\n"; return true;
        case '\f': out += "\\f"; return true;
        case '\r': out += "\\r"; return true;
        default:
            if (byte < 0x20) {
                append_unicode_escape(out, byte);
                return true;
            }
            return false;
    }
}

// The code point that starts at `text[i]` and its length in bytes. The texts quoted are
// valid UTF-8; a sequence cut short by the end of the text counts as one byte of U+FFFD
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

bool append_string(std::string& out, std::string_view text) {
    out += '"';
    bool utf8 = true;
    while (true) {
        // ASCII needs no check: runs of it are copied as they are.
        const std::size_t run = plain_run(text, true);
        out.append(text.data(), run);
        if (run == text.size()) break;
        const auto byte = static_cast<unsigned char>(text[run]);
        std::size_t length = 1;
        if (byte >= 0x80) {
            length = utf8_sequence_length(text.substr(run));
            if (length == 0) {
                utf8 = false;
                length = 1;
            }
            out.append(text.data() + run, length);
        } else {
            append_short_escape(out, byte);
        }
        text.remove_prefix(run + length);
    }
    out += '"';
    return utf8;
}

std::string quoted(std::string_view text, std::size_t limit) {
    std::string out = "\"";
    std::size_t characters = 0, i = 0;
    for (; i < text.size() && characters < limit; ++characters) {
        const auto [code, length] = decode(text, i);
        i += length;
        if (code < 0x80 && code != 0x7f) {
            if (!append_short_escape(out, static_cast<unsigned char>(code))) out += static_cast<char>(code);
        } else if (code < 0x10000) {
            append_unicode_escape(out, code);
        } else {  // as a surrogate pair, the way UTF-16 writes it
            append_unicode_escape(out, 0xd800 + ((code - 0x10000) >> 10));
            append_unicode_escape(out, 0xdc00 + ((code - 0x10000) & 0x3ff));
        }
    }
    out += '"';
    if (i < text.size()) out += "...";
    return out;
}

}  // namespace vek::json
