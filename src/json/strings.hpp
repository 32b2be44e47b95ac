// JSON strings: escaped as the engine escapes them, and quoted for messages.
#pragma once

#include <string>
#include <string_view>

namespace vek::json {

// How the engine escapes a byte in a JSON string: a quote, a backslash and the control
// characters U+0000 to U+001F (\b \t \n \f \r by letter, the others as \u00xx in lower
// case); empty for every other byte, which stands for itself, U+007F and all non-ASCII
// characters included.
std::string_view short_escape(unsigned char byte);

// Appends the characters of `text` (UTF-8, where a lone surrogate may stand as its three
// bytes) with every non-ASCII and control character (U+007F included) escaped as \uxxxx,
// those beyond U+FFFF as a surrogate pair, the way UTF-16 writes them; at most `limit`
// characters. Returns the number of bytes of `text` written out.
std::size_t append_ascii_escaped(std::string& out, std::string_view text, std::size_t limit = std::string_view::npos);

// `text` for a message: a JSON string escaped as above, so the message stays one printable
// line; texts longer than `limit` characters are cut there and followed by "...".
std::string quoted(std::string_view text, std::size_t limit = 80);

}  // namespace vek::json
