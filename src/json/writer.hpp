// The one JSON writer: values written as they come, in one of two layouts. Compact has no
// white space at all; pretty puts each member and element on a line of its own, indented by
// two spaces per level, "name": value, and no line feed at the end. Empty objects and arrays
// are {} and [] in both. Strings are escaped as the engine escapes them (json/strings.hpp).
// Which members come in which order is the caller's choice: this writer only lays out.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

namespace vek::json {

enum class Layout { Compact, Pretty };

// Engine: every character but the few the engine escapes stands for itself. Ascii: every
// non-ASCII character is escaped too, for a value with a text that has no UTF-8 form (a lone
// surrogate, given in its three bytes), which has no other printable spelling.
enum class Escaping { Engine, Ascii };

class Writer {
public:
    // Appends to `out`, which holds the text once the writer is gone. In the pretty layout
    // the value starts at `level` (two spaces each): its first line is already indented by
    // the caller, its further lines are indented here.
    Writer(std::string& out, Layout layout, int level = 0, Escaping escaping = Escaping::Engine);
    ~Writer() { out_.resize(size_); }
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
    // The same for a name known to need no escaping (one of the schema's): written as it is,
    // without a look at its bytes.
    void plain_name(std::string_view text);
    void plain_member(std::string_view member_name, std::string_view text);
    // A text known to need no escaping (read from JSON where it had none): written as it is.
    void plain_string(std::string_view text);
    // A value written as it is given: a number's spelling, true, false or null.
    void literal(std::string_view text);

    // False once a text was not well-formed UTF-8: the output is then no JSON text.
    bool utf8() const { return utf8_; }
    // The length of the output so far, `out`'s earlier text included.
    std::size_t size() const { return size_; }

private:
    // The text is written into `out_` grown ahead, `size_` bytes of it used: one check of
    // the room per piece instead of a call of the string's own for each.
    void reserve(std::size_t bytes) {
        if (out_.size() - size_ < bytes) grow(bytes);
    }
    void grow(std::size_t bytes);
    void put(char c) { out_[size_++] = c; }
    void put(std::string_view text) {
        // An empty view may hold no pointer at all, which memcpy must never be given.
        if (text.empty()) return;
        std::memcpy(out_.data() + size_, text.data(), text.size());
        size_ += text.size();
    }

    // What comes before a value or a name: nothing after a name, else a comma after an
    // earlier one and, when pretty, a new line at the depth.
    void separate() {
        if (after_name_) {
            after_name_ = false;
            return;
        }
        if (depth_ == 0) return;
        if (!first_) {
            reserve(1);
            put(',');
        }
        first_ = false;
        if (pretty_) new_line(depth_);
    }
    void new_line(int depth);
    void write_name(std::string_view text);
    void write_plain_name(std::string_view text);
    void write_text(std::string_view text);
    void write_escaped(std::string_view text);
    void write_ascii(std::string_view text);
    void open(char bracket);
    void close(char bracket);

    std::string& out_;
    std::size_t size_;
    bool pretty_;
    bool ascii_;
    int level_;
    int depth_ = 0;
    // Nothing written yet in the innermost object or array.
    bool first_ = true;
    bool after_name_ = false;
    bool utf8_ = true;
};

}  // namespace vek::json
