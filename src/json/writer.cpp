#include "json/writer.hpp"

#include <algorithm>

#include "json/plain_run.hpp"
#include "json/strings.hpp"
#include "json/utf8.hpp"

namespace vek::json {

Writer::Writer(std::string& out, Layout layout, int level, Escaping escaping)
    : out_(out), size_(out.size()), pretty_(layout == Layout::Pretty), spaced_(layout == Layout::Spaced),
      colon_space_(layout != Layout::Compact), ascii_(escaping == Escaping::Ascii),
      level_(level) {
    grow(std::max<std::size_t>(out.capacity() - size_, 256));
}

void Writer::grow(std::size_t bytes) {
    // The bytes beyond size_ are written before they are read.
    const std::size_t size = std::max(size_ + bytes, 2 * out_.size());
    out_.resize_and_overwrite(size, [](char*, std::size_t length) { return length; });
}

void Writer::write_text(std::string_view text) {
    if (ascii_) {
        write_ascii(text);
        return;
    }
    // Most texts have nothing to escape: written with their quotes in one step.
    if (is_trusted(text) || plain_run(text, true) == text.size()) {
        advance_to(trusted_text_at(room(text.size() + 2), text));
        return;
    }
    write_escaped(text);
}

void Writer::write_escaped(std::string_view text) {
    reserve(1);
    put('"');
    while (true) {
        // ASCII needs no check: runs of it are copied as they are.
        const std::size_t run = plain_run(text, true);
        reserve(run + 6);
        put(text.substr(0, run));
        if (run == text.size()) break;
        const auto byte = static_cast<unsigned char>(text[run]);
        std::size_t length = 1;
        if (byte < 0x80) {
            put(short_escape(byte));
        } else {
            length = utf8_sequence_length(text.substr(run));
            if (length == 0) {  // written all the same; the caller refuses the output
                utf8_ = false;
                length = 1;
            }
            put(text.substr(run, length));
        }
        text.remove_prefix(run + length);
    }
    reserve(1);
    put('"');
}

void Writer::write_ascii(std::string_view text) {
    std::string escaped;
    append_ascii_escaped(escaped, text);
    reserve(escaped.size() + 2);
    put('"');
    put(escaped);
    put('"');
}

void Writer::write_name(std::string_view text) {
    write_text(text);
    reserve(2);
    if (colon_space_) {
        put(": ");
    } else {
        put(':');
    }
}

void Writer::write_plain_name(std::string_view text) {
    char* at = room(text.size() + 4);
    *at++ = '"';
    at = copy(at, text);
    *at++ = '"';
    *at++ = ':';
    if (colon_space_) *at++ = ' ';
    advance_to(at);
}

void Writer::plain_name(std::string_view text) {
    separate();
    write_plain_name(text);
    after_name_ = true;
}

void Writer::plain_member(std::string_view member_name, std::string_view text) {
    separate();
    if (!is_trusted(text)) {
        write_plain_name(member_name);
        write_text(text);
        return;
    }
    // The common case, a member of a text read without escapes, written in one piece.
    char* at = room(member_name.size() + text.size() + 6);
    *at++ = '"';
    at = copy(at, member_name);
    *at++ = '"';
    *at++ = ':';
    if (colon_space_) *at++ = ' ';
    advance_to(trusted_text_at(at, text));
}

void Writer::plain_string(std::string_view text) {
    separate();
    reserve(text.size() + 2);
    put('"');
    put(text);
    put('"');
}

void Writer::name(std::string_view text) {
    separate();
    write_name(text);
    after_name_ = true;
}

void Writer::string(std::string_view text) {
    separate();
    write_text(text);
}

void Writer::member(std::string_view member_name, std::string_view text) {
    separate();
    write_name(member_name);
    write_text(text);
}

void Writer::literal(std::string_view text) {
    separate();
    reserve(text.size());
    put(text);
}

void Writer::open(char bracket) {
    separate();
    reserve(1);
    put(bracket);
    ++depth_;
    first_ = true;
}

void Writer::close(char bracket) {
    --depth_;
    // An empty object or array stays on its line.
    if (pretty_ && !first_) advance_to(new_line_at(room(1 + kIndentRoom + indent(depth_)), depth_));
    reserve(1);
    put(bracket);
    first_ = false;
}

}  // namespace vek::json
