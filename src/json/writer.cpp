#include "json/writer.hpp"

namespace vek::json {

void Writer::write_name(std::string_view text) {
    write_text(text);
    if (pretty_) {
        out_.append(": ", 2);
    } else {
        out_ += ':';
    }
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

void Writer::open(char bracket) {
    separate();
    out_ += bracket;
    ++depth_;
    first_ = true;
}

void Writer::close(char bracket) {
    --depth_;
    // An empty object or array stays on its line.
    if (pretty_ && !first_) new_line(depth_);
    out_ += bracket;
    first_ = false;
}

}  // namespace vek::json
