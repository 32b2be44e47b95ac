// The one JSON writer: values written as they come, in one of two layouts. Compact has no
// white space at all; pretty puts each member and element on a line of its own, indented by
// two spaces per level, "name": value, and no line feed at the end. Empty objects and arrays
// are {} and [] in both. Strings are escaped as the engine escapes them (json/strings.hpp).
// Which members come in which order is the caller's choice: this writer only lays out.
#pragma once

#include <string>
#include <string_view>

#include "json/strings.hpp"

namespace vek::json {

enum class Layout { Compact, Pretty };

class Writer {
public:
    // Appends to `out`. In the pretty layout the value starts at `level` (two spaces each):
    // its first line is already indented by the caller, its further lines are indented here.
    Writer(std::string& out, Layout layout, int level = 0) : out_(out), pretty_(layout == Layout::Pretty), level_(level) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void begin_object() { open('{'); }
    void end_object() { close('}'); }
    void begin_array() { open('['); }
    void end_array() { close(']'); }

    // A member's name; its value follows.
    void name(std::string_view text);
    void string(std::string_view text);

    // A member whose value is a text.
    void member(std::string_view member_name, std::string_view text);

    // False once a text was not well-formed UTF-8: the output is then no JSON text.
    bool utf8() const { return utf8_; }
    std::string& out() { return out_; }

private:
    // What comes before a value or a name: nothing after a name, else a comma after an
    // earlier one and, when pretty, a new line at the depth.
    void separate() {
        if (after_name_) {
            after_name_ = false;
            return;
        }
        if (depth_ == 0) return;
        if (!first_) out_ += ',';
        first_ = false;
        if (pretty_) new_line(depth_);
    }
    void write_name(std::string_view text);
    void write_text(std::string_view text) {
        if (!append_string(out_, text)) utf8_ = false;
    }
    void open(char bracket);
    void close(char bracket);
    void new_line(int depth) {
        out_ += '\n';
        out_.append(static_cast<std::size_t>(2 * (level_ + depth)), ' ');
    }

    std::string& out_;
    bool pretty_;
    int level_;
    int depth_ = 0;
    // Nothing written yet in the innermost object or array.
    bool first_ = true;
    bool after_name_ = false;
    bool utf8_ = true;
};

}  // namespace vek::json
