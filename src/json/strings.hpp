// Writing JSON strings: escaped as the engine escapes them, and quoted for messages.
#pragma once

#include <string>
#include <string_view>

namespace vek::json {

// `text` (UTF-8) as a JSON string the way the engine writes it: a quote, a backslash and the
// control characters U+0000 to U+001F escaped (\b \t \n \f \r by letter, the others as
// \u00xx in lower case); everything else, U+007F and all non-ASCII characters included, as
// itself. False when `text` is not well-formed UTF-8 (it is written all the same, and the
// caller refuses the output).
bool append_string(std::string& out, std::string_view text);

// `text` (valid UTF-8) for a message: a JSON string with every non-ASCII and control
// character (U+007F included) escaped, so the message stays one printable line; texts
// longer than `limit` characters are cut there and followed by "...".
std::string quoted(std::string_view text, std::size_t limit = 80);

}  // namespace vek::json
