// The one JSON writer: values written as they come, in one of three layouts. Compact has no
// white space at all; pretty puts each member and element on a line of its own, indented by
// two spaces per level, "name": value, and no line feed at the end; spaced is one line with
// ", " between items and ": " after names, as Python's json.dumps writes by default. Empty
// objects and arrays are {} and [] in all three. Strings are escaped as the engine escapes them (json/strings.hpp).
// Which members come in which order is the caller's choice: this writer only lays out.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vek::json {

enum class Layout { Compact, Pretty, Spaced };

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
    // Texts that are views into `source`, a JSON text the strict reader accepted, are written
    // without a look at their bytes: a view into the source is a string that had no escapes
    // there, so it holds no quote, backslash or control character, and is valid UTF-8.
    void trust_views_of(std::string_view source) { source_ = source; }

    // False once a text was not well-formed UTF-8: the output is then no JSON text.
    bool utf8() const { return utf8_; }
    // The length of the output so far, `out`'s earlier text included.
    std::size_t size() const { return size_; }

private:
    // The text is written into `out_` grown ahead, `size_` bytes of it used: one check of
    // the room per piece instead of a call of the string's own for each. The pieces are
    // written through a local pointer (`room` gives it, `advance_to` takes its end): stores
    // of chars may alias any member, so a member used as the cursor would be read again
    // after every byte.
    char* room(std::size_t bytes) {
        if (out_.size() - size_ < bytes) grow(bytes);
        return out_.data() + size_;
    }
    void advance_to(const char* end) { size_ = static_cast<std::size_t>(end - out_.data()); }
    void grow(std::size_t bytes);
    static char* copy(char* at, std::string_view text) {
        // An empty view may hold no pointer at all, which memcpy must never be given.
        if (!text.empty()) std::memcpy(at, text.data(), text.size());
        return at + text.size();
    }
    void reserve(std::size_t bytes) { room(bytes); }
    void put(char c) { out_[size_++] = c; }
    void put(std::string_view text) { advance_to(copy(out_.data() + size_, text)); }

    // What comes before a value or a name: nothing after a name, else a comma after an
    // earlier one and, when pretty, a new line at the depth.
    void separate() {
        if (after_name_) {
            after_name_ = false;
            return;
        }
        if (depth_ == 0) return;
        const bool comma = !first_;
        first_ = false;
        if (!pretty_) {
            if (comma) {
                char* at = room(2);
                *at++ = ',';
                if (spaced_) *at++ = ' ';
                advance_to(at);
            }
            return;
        }
        char* at = room(1 + kIndentRoom + indent(depth_));
        if (comma) *at++ = ',';
        advance_to(new_line_at(at, depth_));
    }
    // Indentation is written sixteen spaces at a time, into room reserved beyond it.
    static constexpr std::size_t kIndentRoom = 16;
    std::size_t indent(int depth) const { return static_cast<std::size_t>(2 * (level_ + depth)); }
    char* new_line_at(char* at, int depth) const {
        *at++ = '\n';
        const std::size_t spaces = indent(depth);
        for (std::size_t done = 0; done < spaces; done += kIndentRoom) std::memcpy(at + done, "                ", kIndentRoom);
        return at + spaces;
    }
    bool is_trusted(std::string_view text) const {
        const auto start = reinterpret_cast<std::uintptr_t>(text.data());
        const auto source = reinterpret_cast<std::uintptr_t>(source_.data());
        return !ascii_ && text.size() <= source_.size() && start >= source &&
               start - source <= source_.size() - text.size();
    }
    // `"text"` at `at`, which has room for it, for a text that needs no escaping.
    char* trusted_text_at(char* at, std::string_view text) const {
        *at++ = '"';
        at = copy(at, text);
        *at++ = '"';
        return at;
    }
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
    bool spaced_;
    // After a name's colon: a space, except in the compact layout.
    bool colon_space_;
    bool ascii_;
    int level_;
    int depth_ = 0;
    // Nothing written yet in the innermost object or array.
    bool first_ = true;
    bool after_name_ = false;
    bool utf8_ = true;
    std::string_view source_;
};

}  // namespace vek::json
